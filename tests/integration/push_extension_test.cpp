// The notification-service extension as its own process (examples/qm-extension) beside the app
// of this test: it attaches the push's picture, sound or film from the service, numbers the
// badge across pushes while the app clears it, reports the view and records the push in the
// app group, and shows the push as it came when it cannot do its part.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "library_fixture.hpp"
#include "process.hpp"
#include "push/QMSDKPushBadgeHandler.hpp"
#include "push/qmPushStatistics.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"

using namespace qm;

namespace {

class PushExtension : public ::testing::Test {
protected:
    void SetUp() override {
        // What the app stored for the extension at its start.
        auto& prefs = QMSDKUserDefaultsData::sharedInstance();
        prefs.qmSetInteger(1234, "qm_brandID", QMStore::AppGroup);
        prefs.qmSetString("k3y", "qm_encryptedKey", QMStore::AppGroup);
        prefs.qmSetString("TOKEN-1", "qm_deviceID", QMStore::AppGroup);
        prefs.qmSetString("Agent/1.0", "qm_secretAgent", QMStore::AppGroup);
        ASSERT_TRUE(platform::UserDefaults::flushAll(10));
        groupID = QMSDKUserDefaultsData::appGroupIDFromInfoDictionary(false);
        writeBundle(bundle, "<key>qmAppGroupKey</key><string>" + groupID + "</string>");
    }

    void writeBundle(const std::string& folder, const std::string& keys) {
        platform::Files::createDirectory(folder);
        std::ofstream(folder + "/Info.plist")
            << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
            << "<key>CFBundleIdentifier</key><string>com.example.testapp.extension</string>" << keys
            << "</dict></plist>";
    }

    struct Run {
        int exitCode = -1;
        Value content;  // what the extension would show
        std::string output;
    };
    // One push through the extension process.
    Run extend(const Value& payload, const std::string& identifier, const std::string& bundleDir) {
        const std::string file = env.host.root() + "/push-" + identifier + ".json";
        std::ofstream(file) << *platform::json::write(payload);
        auto run = testkit::runProgram(QM_BINARY_DIR "/examples/qm-extension",
                                       {"--bundle", bundleDir, "--sandbox", env.host.root() + "/Extension", "--service",
                                        env.service->address(), "--ca", env.service->caFile(), "--identifier",
                                        identifier, file});
        Run result{run.exitCode, Value(), run.output};
        // The content is the last line.
        const auto end = run.output.find_last_not_of('\n');
        const auto start = run.output.rfind('\n', end);
        const std::string last = run.output.substr(start == std::string::npos ? 0 : start + 1);
        if (auto parsed = platform::json::parse(last)) result.content = *parsed;
        return result;
    }
    Run extend(const Value& payload, const std::string& identifier) { return extend(payload, identifier, bundle); }

    static Value push(const std::string& nid, const Value& media = Value(), const Value& mediaType = Value()) {
        Value data{{"nid", nid}, {"sid", "S" + nid}, {"cta1", Value{{"Identifier", "qmpush-cta1"}, {"title", "Shop"}}}};
        if (media) data.set("mediaUrl", media);
        if (mediaType) data.set("mediaType", mediaType);
        return Value{{"aps", Value{{"alert", Value{{"title", "Push " + nid}, {"body", "Body " + nid}}},
                                   {"category", "qmpush"},
                                   {"qm_data", data}}}};
    }
    std::vector<service::RecordedRequest> viewReports() const {
        std::vector<service::RecordedRequest> found;
        for (const auto& request : env.service->requestsFor("stats")) {
            if (request.service == "push" && request.fields["type"] == Value("views")) found.push_back(request);
        }
        return found;
    }
    Value group(const char* key) {
        auto& suite = platform::UserDefaults::suite(groupID);
        suite.reload();
        return suite.objectForKey(key);
    }

    testkit::ServiceHost env;
    std::string groupID;
    std::string bundle = env.host.root() + "/Extension.app";
};

}  // namespace

TEST_F(PushExtension, AttachesEachKindOfMediaAndNumbersTheBadgeWhileTheAppClearsIt) {
    struct Case {
        std::string nid, file, type;
        long badge;
    };
    const std::vector<Case> cases{{"701", "banner.png", "image", 1}, {"702", "chime.wav", "audio", 2},
                                  {"703", "clip.mp4", "video", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        if (c.nid == "703") {
            // The app opens and clears the badge between the pushes.
            QMSDKPushBadgeHandler::sharedInstance().qmClearPushNottificationBadgeCountNumber();
            ASSERT_TRUE(QMSDKDataStore::qmFinishPendingFileWork(20));
            ASSERT_TRUE(platform::UserDefaults::flushAll(10));
        }
        const Run run = extend(push(c.nid, "https://push.quelmar.io/media/" + c.file, c.type), "REQ-" + c.nid);
        ASSERT_EQ(run.exitCode, 0) << run.output;
        const Value& content = run.content;
        ASSERT_TRUE(content.isDictionary()) << run.output;
        EXPECT_EQ(content["title"], Value("Push " + c.nid));
        EXPECT_EQ(content["body"], Value("Body " + c.nid));
        EXPECT_EQ(content["badge"].integerValue(), c.badge) << run.output;
        // The payload carries the request's identifier as its view id.
        EXPECT_EQ(content["userInfo"]["aps"]["qm_data"]["qm_pushViewID"], Value("REQ-" + c.nid));
        ASSERT_EQ(content["attachments"].count(), 1u) << run.output;
        const Value& attachment = content["attachments"][0];
        EXPECT_EQ(attachment["type"], Value(c.type));
        const std::string file = attachment["file"].description();
        EXPECT_TRUE(file.ends_with(c.file)) << file;
        EXPECT_TRUE(platform::Files::fileExists(file)) << file;
    }

    // Each push's view reached the service, with its push's fields.
    ASSERT_EQ(viewReports().size(), 3u);
    EXPECT_EQ(viewReports()[0].fields["notificationID"], Value("701"));
    EXPECT_EQ(viewReports()[0].fields["sid"], Value("S701"));
    EXPECT_EQ(viewReports()[0].fields["bid"], Value("1234"));
    EXPECT_EQ(viewReports()[0].fields["3"], Value("TOKEN-1"));
    EXPECT_FALSE(viewReports()[0].fields.contains("clickType"));
    EXPECT_EQ(viewReports()[2].fields["notificationID"], Value("703"));
    // The app finds every push recorded, and is told to read its inbox again.
    const Value received = group(push::kReceivedPushListKey);
    ASSERT_EQ(received.count(), 3u) << received.description();
    EXPECT_EQ(received[2]["qmPushNID"], Value("703"));
    EXPECT_EQ(group("qm_shouldResetCenterDataOnNewPush"), Value(true));
    EXPECT_EQ(group(QMSDKPushBadgeHandler::kBadgeCountKey).integerValue(), 1);
}

TEST_F(PushExtension, ShowsThePushAsItCameWhenItCannotDoItsPart) {
    // A download that fails: the view id and badge are applied, no media.
    Run run = extend(push("801", "https://127.0.0.1:1/media/photo.jpg", "image"), "REQ-801");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("[quelmar]-[ERROR]: Failed to download push rich media content with an error description:"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.content["badge"].integerValue(), 1);
    EXPECT_EQ(run.content["userInfo"]["aps"]["qm_data"]["qm_pushViewID"], Value("REQ-801"));
    EXPECT_EQ(run.content["attachments"].count(), 0u);
    // A file that is not what its name says (the service's error page) is not attached.
    run = extend(push("802", "https://push.quelmar.io/media/missing.jpg", "image"), "REQ-802");
    EXPECT_EQ(run.content["badge"].integerValue(), 2);
    EXPECT_EQ(run.content["attachments"].count(), 0u) << run.output;

    // Another provider's push keeps its payload and badge; it has no view to report.
    const Value foreign{{"aps", Value{{"alert", "Hello"}, {"badge", 7}}}, {"provider", "other"}};
    run = extend(foreign, "REQ-F");
    EXPECT_EQ(run.content["body"], Value("Hello"));
    EXPECT_EQ(run.content["badge"].integerValue(), 7);
    EXPECT_EQ(run.content["userInfo"], foreign);

    // An extension whose Info.plist names no app group: nothing is changed or reported.
    writeBundle(env.host.root() + "/Bare.app", "");
    const std::size_t reportsBefore = viewReports().size();
    run = extend(push("803", "https://push.quelmar.io/media/banner.png", "image"), "REQ-803", env.host.root() + "/Bare.app");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("[quelmar]-[ERROR]: 'App Bundle identifier' or 'qmAppGroupKey' key is not set in info.plist "
                              "of your Notification Service Extension."),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.content["userInfo"], push("803", "https://push.quelmar.io/media/banner.png", "image"));
    EXPECT_TRUE(run.content["badge"].isNull());
    EXPECT_EQ(run.content["attachments"].count(), 0u);
    EXPECT_EQ(viewReports().size(), reportsBefore);
    // The two library pushes above were reported, the failed download's too.
    EXPECT_EQ(reportsBefore, 2u);
}
