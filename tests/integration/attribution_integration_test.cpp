// Campaign cookies handed out by the local service and sent back with later requests.
#include <gtest/gtest.h>

#include "core/QMRuntime.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/json.hpp"
#include "library_fixture.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;

TEST(AttributionService, SettingsCookiesRideOnTheNextEventRequest) {
    testkit::ServiceHost env;
    quelmar::Initialize("live");
    auto engine = QMRuntime::shared().qmInternalProcess();
    ASSERT_TRUE(env.host.runUntil([&] { return engine->fetchBrandSettingsComplete(); }));

    // The first settings request went out before any cookie was known.
    const auto settings = env.service->requestsFor("settings");
    ASSERT_FALSE(settings.empty());
    EXPECT_FALSE(settings.front().fields.contains("cookieData"));

    quelmar::trackEvents("purchase", Value(), Value(), 2);
    std::optional<service::RecordedRequest> purchase;
    ASSERT_TRUE(env.host.runUntil([&] {
        for (const auto& r : env.service->requestsFor("event")) {
            if (r.fields["event_name"] == Value("purchase")) purchase = r;
        }
        return purchase.has_value();
    }));
    // The settings answer's session, user and campaign cookies, in that order, as given.
    const std::string expected =
        "_qm_sess=sess.1001.5f2c9a;_qm_uid=uid.1001.8d41e0;_qm_utm=utm_source=newsletter|utm_campaign=spring;";
    const std::string cookieData = purchase->fields["cookieData"].description();
    EXPECT_EQ(cookieData.substr(0, expected.size()), expected);
}

TEST(AttributionService, DeepLinkAttributionTravelsWithTheNextRequests) {
    testkit::ServiceHost env;
    // The app is opened by a campaign link before start-up.
    quelmar::OpenUrlWithApplication(nullptr, "shopapp://Offers?qm_anal_id=42&utm_source=mail&utm_campaign=spring");
    quelmar::Initialize("live");
    auto engine = QMRuntime::shared().qmInternalProcess();
    ASSERT_TRUE(env.host.runUntil([&] { return engine->fetchBrandSettingsComplete(); }));

    // The analytics id replaces the click fetch and rides in every request as clickID.
    EXPECT_TRUE(env.service->requestsFor("fetch_click").empty());
    const auto settings = env.service->requestsFor("settings");
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_EQ(settings[0].fields["clickID"], Value("42"));
    auto utm = platform::json::parse(settings[0].fields["utm_params"].description());
    ASSERT_TRUE(utm);
    EXPECT_EQ(*utm, (Value{{"utm_source", "mail"}, {"utm_campaign", "spring"}}));

    // A later link with other UTM parameters fetches settings again with them.
    quelmar::OpenUrlWithApplication(nullptr, "shopapp://Home?utm_medium=push");
    ASSERT_TRUE(env.waitForRequests("settings", 2));
    utm = platform::json::parse(env.service->requestsFor("settings")[1].fields["utm_params"].description());
    ASSERT_TRUE(utm);
    EXPECT_EQ(*utm, (Value{{"utm_medium", "push"}}));
}

TEST(AttributionService, EventsNameTheLiveJourneys) {
    testkit::ServiceHost env;
    quelmar::Initialize("live");
    auto engine = QMRuntime::shared().qmInternalProcess();
    ASSERT_TRUE(env.host.runUntil([&] { return engine->fetchBrandSettingsComplete(); }));

    auto& utility = qmGetFilteredData::sharedInstance();
    utility.qmStoreJourneyInfo(Value{{"journeyID", "spring-1"}, {"time", "1"}});
    utility.qmStoreJourneyInfo(Value{{"journeyID", "welcome"}, {"time", "48"}});
    auto journeyOf = [&](const char* name) -> std::optional<Value> {
        for (const auto& r : env.service->requestsFor("event")) {
            if (r.fields["event_name"] == Value(name)) return r.fields.contains("journey") ? r.fields["journey"] : Value();
        }
        return std::nullopt;
    };

    quelmar::trackEvents("browse", Value(), Value(), 2);
    ASSERT_TRUE(env.host.runUntil([&] { return journeyOf("browse").has_value(); }));
    EXPECT_EQ(*journeyOf("browse"), Value("welcome,spring-1"));

    // Two hours on, the one-hour journey has ended.
    env.host.advance(2 * 3600);
    quelmar::trackEvents("checkout", Value(), Value(), 2);
    ASSERT_TRUE(env.host.runUntil([&] { return journeyOf("checkout").has_value(); }));
    EXPECT_EQ(*journeyOf("checkout"), Value("welcome"));
}
