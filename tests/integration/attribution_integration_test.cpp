// Campaign cookies handed out by the local service and sent back with later requests.
#include <gtest/gtest.h>

#include "core/QMModuleState.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "library_fixture.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;

TEST(AttributionService, SettingsCookiesRideOnTheNextEventRequest) {
    testkit::ServiceHost env;
    quelmar::Initialize("live");
    auto engine = QMModuleState::shared().qmInternalProcess();
    ASSERT_TRUE(env.host.runUntil([&] { return engine->_fetchBrandSettingsComplete.load(); }));

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
