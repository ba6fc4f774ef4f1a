// The sample push payloads that ship with the service (service/fixtures/pushes/): each is one
// of the library's pushes, its statistics reach the service, and the media it names is served
// with a content type of its kind and accepted as a notification attachment of that kind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "core/QMRuntime.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "library_fixture.hpp"
#include "qmmedia/media_probe.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/media_probe.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/url.hpp"
#include "qmplatform/user_notifications.hpp"
#include "qmservice/probe.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;
using namespace qm::platform;

namespace {

const std::string kPushesDir = QM_TEST_DATA_DIR "/../../service/fixtures/pushes";

// The payload files by name ("plain", "buttons", ...).
std::map<std::string, std::string> payloadFiles() {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(kPushesDir))
        if (entry.path().extension() == ".json") files[entry.path().stem().string()] = entry.path().string();
    return files;
}

}  // namespace

TEST(PushFixtures, EveryPayloadIsTheLibrarysPushWithItsStatisticsAndMediaServed) {
    testkit::ServiceHost env;
    Value info = Bundle::main().infoDictionary();
    info.set("qmPushCategory", "qmpush");
    env.host.writeInfo(info);
    quelmar::Initialize("live");
    ASSERT_TRUE(env.waitForSettings());
    env.host.runUntilIdle();
    MediaProbe::setCurrent(media::mediaProbe());

    const auto files = payloadFiles();
    std::set<std::string> names;
    for (const auto& [name, path] : files) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"audio", "buttons", "image", "plain", "video"}));

    std::set<std::string> nids;
    for (const auto& [name, path] : files) {
        SCOPED_TRACE(name);
        std::ifstream in(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string parseError;
        const auto payload = json::parse(text, {}, &parseError);
        ASSERT_TRUE(payload && payload->isDictionary()) << parseError;
        const Value& data = (*payload)["aps"]["qm_data"];
        EXPECT_EQ((*payload)["aps"]["category"], Value("qmpush"));
        EXPECT_TRUE((*payload)["aps"]["alert"]["title"].isString());
        EXPECT_TRUE((*payload)["aps"]["alert"]["body"].isString());
        const std::string nid = data["nid"].description();
        EXPECT_TRUE(nids.insert(nid).second) << "nid " << nid << " is used twice";

        // The library takes it as its own and reports the click where stats_url says.
        env.service->clearRequests();
        const Value clickData = quelmar::PushNotificationActionDataFromUserInfo(*payload);
        EXPECT_GT(clickData.count(), 0u);
        EXPECT_FALSE(clickData.contains("error"));
        ASSERT_TRUE(env.waitForRequests("stats", 1)) << "no statistics for " << nid;
        const auto stats = env.service->requestsFor("stats").front();
        const auto statsURL = URL::parse(data["stats_url"].description());
        ASSERT_TRUE(statsURL);
        EXPECT_EQ(stats.service, "push");
        EXPECT_EQ(stats.host, statsURL->host());
        EXPECT_EQ(stats.path, statsURL->path());
        EXPECT_EQ(stats.fields["notificationID"], Value(nid));
        EXPECT_EQ(stats.fields["sid"], Value(data["sid"].description()));
        EXPECT_EQ(stats.fields["type"], Value("clicks"));

        if (name == "buttons") {
            // One button opens a screen, the other a web page; the coupon is copied.
            EXPECT_EQ(clickData["ActionButton1ViewControllerToLoad"], Value("OffersViewController"));
            EXPECT_TRUE(clickData["ActionButton2actionUrl"].description().starts_with("https://"));
            EXPECT_FALSE(data["actionExtra"]["copy"].description().empty());
        }

        const bool hasMedia = data.contains("mediaUrl");
        EXPECT_EQ(hasMedia, name == "image" || name == "audio" || name == "video");
        if (!hasMedia) continue;
        const std::string kind = data["mediaType"].description();
        EXPECT_EQ(kind, name);
        const auto mediaURL = URL::parse(data["mediaUrl"].description());
        ASSERT_TRUE(mediaURL);
        EXPECT_EQ(mediaURL->host(), env.service->hostFor("push"));
        service::ProbeRequest get{"GET", mediaURL->host(), env.service->port(), mediaURL->path()};
        get.caFile = env.service->caFile();
        service::ProbeAnswer media = service::probe(get);
        ASSERT_EQ(media.status, 200) << media.error;
        EXPECT_TRUE(media.headers["content-type"].starts_with(kind + "/")) << media.headers["content-type"];

        // Saved under its own name, as the service extension does, it attaches as its kind.
        const std::string file = Sandbox::temporaryDirectory() + "/" + mediaURL->lastPathComponent();
        std::ofstream(file, std::ios::binary) << media.body;
        Error error;
        auto attachment = NotificationAttachment::attachmentWithIdentifier("", file, {}, error);
        ASSERT_TRUE(attachment) << error.localizedDescription;
        EXPECT_EQ(attachmentTypeName(attachment->type()), kind);
    }
    MediaProbe::setCurrent(nullptr);
}
