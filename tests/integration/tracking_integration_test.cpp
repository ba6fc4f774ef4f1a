// Events and user identification against the local service.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/QMRuntime.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/QMTypes.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "library_fixture.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/url_session.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;

namespace {

struct Results : quelmarDelegate {
    std::vector<Value> received;
    void quelmarEventsResponseCallback(const Value& v) override { received.push_back(v); }
};

platform::UserDefaults& library() { return *QMSDKUserDefaultsData::sharedInstance().qmSDKStdUserDefaults; }
platform::UserDefaults& group() { return *QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults; }

bool hasResultFor(const Results& results, const char* name) {
    return std::any_of(results.received.begin(), results.received.end(),
                       [&](const Value& r) { return r["eventName"] == Value(name); });
}

// Start-up against the service: its settings answer completes set-up and replays the first
// launch's own events, which are awaited so that they do not mix with a test's events.
std::shared_ptr<Results> startReady(testkit::ServiceHost& env) {
    auto results = std::make_shared<Results>();
    quelmar::sharedInstance().delegate = results;
    quelmar::Initialize("live");
    auto engine = QMRuntime::shared().qmInternalProcess();
    EXPECT_TRUE(env.host.runUntil([&] { return engine->fetchBrandSettingsComplete(); }));
    EXPECT_TRUE(env.host.runUntil([&] { return hasResultFor(*results, "install") && hasResultFor(*results, "app_launch"); }));
    results->received.clear();
    return results;
}

// The recorded event request for one event name.
std::optional<service::RecordedRequest> eventRequest(const testkit::ServiceHost& env, const std::string& name) {
    for (const auto& r : env.service->requestsFor("event")) {
        if (r.fields["event_name"] == Value(name)) return r;
    }
    return std::nullopt;
}

// Tracks one event and waits for its result.
Value trackAndWait(testkit::ServiceHost& env, Results& results, const char* name, long scope) {
    const std::size_t before = results.received.size();
    quelmar::trackEvents(name, Value(), Value(), scope);
    EXPECT_TRUE(env.host.runUntil([&] { return results.received.size() > before; }));
    return results.received.empty() ? Value() : results.received.back();
}

}  // namespace

TEST(TrackingService, EventRequestCarriesItsFieldsInOrder) {
    testkit::ServiceHost env;
    platform::Device::current().setSystemVersion("17.2");
    auto results = startReady(env);
    library().setObject("u-1", "qm_userID");

    quelmar::trackEvents("purchase", Value{{"sku", "A1"}, {"qty", 2}}, "19.99", 9);
    quelmar::trackEvents("open", Value::dictionary(), Value(), 2);
    ASSERT_TRUE(env.host.runUntil([&] { return results->received.size() == 2; }));

    auto purchase = eventRequest(env, "purchase");
    ASSERT_TRUE(purchase);
    const Value& f = purchase->fields;
    EXPECT_EQ(f["ltv"], Value("19.99"));
    EXPECT_EQ(f["os_version"], Value("17.200001"));
    EXPECT_EQ(f["app_version"], Value("1.0"));
    EXPECT_EQ(f["scope"], Value("1"));
    EXPECT_EQ(platform::json::parse(f["attributes"].string()).value_or(Value()), (Value{{"qty", 2}, {"sku", "A1"}}));
    EXPECT_EQ(f["userID"], Value("u-1"));
    EXPECT_EQ(f["bid"], Value("1234"));
    EXPECT_EQ(platform::json::parse(f["device_info"].string()).value_or(Value())["manufacturer"], Value("apple"));
    // Field order after the common parameters.
    std::size_t at = purchase->body.find("&sdk_version=");
    for (const char* field : {"&event_name=", "&ltv=", "&os_version=", "&app_version=", "&scope=", "&attributes=",
                              "&userID=", "&device_info="}) {
        const std::size_t next = purchase->body.find(field);
        ASSERT_NE(next, std::string::npos) << field;
        EXPECT_GT(next, at) << field;
        at = next;
    }

    auto open = eventRequest(env, "open");
    ASSERT_TRUE(open);
    EXPECT_EQ(open->fields["scope"], Value("2"));
    EXPECT_EQ(open->fields["ltv"], Value(""));
    EXPECT_FALSE(open->fields.contains("attributes"));

    auto success = [](const char* name) {
        return Value{
            {"status", "success"},
            {"eventName", name},
            {"type", QMEventResult::Tracked},
            {"callbackType", "event"},
            {"message", format("Tracking Conversion successful for %s event or this Event Already Performed", name)}};
    };
    Value purchaseSuccess = success("purchase");
    purchaseSuccess.set("attributes", Value{{"sku", "A1"}, {"qty", 2}});
    for (const Value& expected : {purchaseSuccess, success("open")}) {
        EXPECT_NE(std::find(results->received.begin(), results->received.end(), expected), results->received.end())
            << expected.description();
    }
    // The accepted periodic event starts its waiting period today (2024-01-15 on the test clock).
    EXPECT_EQ(library().objectForKey("qm_Periodicity4Event_purchase"), Value("2024-01-15"));
    EXPECT_FALSE(library().objectForKey("qm_Periodicity4Event_open"));
}

TEST(TrackingService, AnswersAndFailuresMapToResultTypes) {
    testkit::ServiceHost env;
    auto results = startReady(env);

    env.service->setFault("event", {service::FaultKind::Refusal});
    Value r = trackAndWait(env, *results, "weekly", 7);
    EXPECT_EQ(r, (Value{{"status", "fail"},
                        {"eventName", "weekly"},
                        {"message", "Refused by test"},
                        {"type", QMEventResult::AccountRejected},
                        {"callbackType", "event"}}));
    EXPECT_TRUE(r["type"].isReal());
    EXPECT_FALSE(library().objectForKey("qm_Periodicity4Event_weekly"));  // a refusal does not start the period
    env.service->clearFaults();

    struct Case {
        Value answer;
        const char* message;
        double type;
    };
    const Case cases[] = {
        {Value{{"Account", "success"}, {"Authentication", "Attribution tracking is disabled"}},
         "LIFE-CYCLE Events is INACTIVE or Your Account is not Upgraded. Kindly activate lifecycle event from Quelmar "
         "Account or Upgrade your account if required",
         QMEventResult::LifecycleInactive},
        {Value{{"Account", "success"}, {"Authentication", "failed"}, {"Message", "Quota"}}, "Quota",
         QMEventResult::ConversionFailedWithMessage},
        {Value{{"Account", "success"}, {"Authentication", "failed"}}, "Conversion Failed",
         QMEventResult::ConversionFailed},
        {Value{{"Account", "failed"}}, "Authentication error", QMEventResult::AccountRejected},
    };
    for (const auto& c : cases) {
        env.service->setAnswer("event", c.answer);
        r = trackAndWait(env, *results, "e", 1);
        EXPECT_EQ(r["message"], Value(c.message)) << c.answer.description();
        EXPECT_EQ(r["type"].doubleValue(), c.type);
        EXPECT_EQ(r["type"].isReal(), c.type != QMEventResult::LifecycleInactive) << c.answer.description();
    }

    // A service that never answers: the main run loop keeps running until the time-out.
    platform::URLSessionConfiguration::setDefaultTimeoutIntervalForRequest(1);
    env.service->setFault("event", {service::FaultKind::NoAnswer});
    env.host.clearLog();
    const std::size_t before = results->received.size();
    quelmar::trackEvents("stuck", Value(), Value(), 2);
    bool mainRan = false;
    platform::Queue::main().async([&] { mainRan = true; });
    ASSERT_TRUE(env.host.runUntil([&] { return mainRan; }, 0.5));
    EXPECT_EQ(results->received.size(), before);
    ASSERT_TRUE(env.host.runUntil([&] { return results->received.size() > before; }));
    EXPECT_EQ(results->received.back(), (Value{{"status", "fail"},
                                               {"eventName", "stuck"},
                                               {"message", "Something went wrong while processing with API"},
                                               {"type", QMEventResult::RequestFailed},
                                               {"callbackType", "event"}}));
    EXPECT_TRUE(env.host.logContains("[quelmar]-[ERROR]: Authentication failed to trackEvent request with error "
                                     "description: Error Domain=NSURLErrorDomain Code=-1001"));
}

TEST(TrackingService, UserIdentificationStoresTheServiceUserId) {
    testkit::ServiceHost env;
    startReady(env);
    for (auto* suite : {&library(), &group()}) {
        suite->setObject("hit", "qm_AppCookieEventsHitID");
        suite->setObject("hituid", "qm_AppCookieEventsHitUID");
    }
    const std::size_t settingsBefore = env.service->requestsFor("settings").size();
    env.service->setAnswer("user", Value{{"Authentication", "success"}, {"Account", "success"}, {"uuid", "svc-9"},
                                         {"new_user_hit", 2}});

    quelmar::UserIdentifier("alice", Value{{"plan", "gold"}});
    ASSERT_TRUE(env.host.runUntil([] { return QMRuntime::shared().qmUIDFinalStr.get() == Value("svc-9"); }));
    auto users = env.service->requestsFor("user");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].fields["userID"], Value("alice"));
    EXPECT_EQ(platform::json::parse(users[0].fields["userParams"].string()).value_or(Value()), (Value{{"plan", "gold"}}));
    EXPECT_FALSE(users[0].fields.contains("prev_user_id"));

    EXPECT_EQ(library().objectForKey("qm_uuID"), Value("svc-9"));
    EXPECT_EQ(group().objectForKey("qm_uuID"), Value("svc-9"));
    EXPECT_EQ(library().objectForKey("qm_isSendUserData"), Value(false));
    EXPECT_EQ(library().objectForKey("qm_userID"), Value("alice"));
    for (auto* suite : {&library(), &group()}) {
        EXPECT_FALSE(suite->objectForKey("qm_AppCookieEventsHitID"));
        EXPECT_FALSE(suite->objectForKey("qm_AppCookieEventsHitUID"));
    }
    const Value archive = library().objectForKey("qm_user_identifier");
    ASSERT_TRUE(archive.isData());
    EXPECT_EQ(platform::keyed_archive::unarchive(std::string(archive.data().begin(), archive.data().end())),
              std::optional<Value>(Value{{"plan", "gold"}}));
    EXPECT_TRUE(env.waitForRequests("settings", settingsBefore + 1));

    // The next identification names the previous user; a refusal changes nothing.
    env.service->setFault("user", {service::FaultKind::Refusal});
    env.host.clearLog();
    quelmar::UserIdentifier("bob", Value::dictionary());
    ASSERT_TRUE(env.host.runUntil([&] { return env.host.logContains("Authentication failed for User Identifier"); }));
    EXPECT_TRUE(env.host.logContains("[quelmar]-[INFO]: Authentication failed for User Identifier setup method."));
    users = env.service->requestsFor("user");
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[1].fields["prev_user_id"], Value("alice"));
    EXPECT_FALSE(users[1].fields.contains("userParams"));
    EXPECT_EQ(library().objectForKey("qm_userID"), Value("alice"));
    EXPECT_EQ(library().objectForKey("qm_uuID"), Value("svc-9"));
}

TEST(TrackingService, CallsMadeBeforeTheSettingsAnswerAreSentAfterIt) {
    testkit::ServiceHost env;
    platform::Device::current().setSystemVersion("17.2");
    // The click answer must be in before the delayed settings answer releases the waiting
    // calls; the margin covers the first TLS handshake of a ThreadSanitizer build under load.
    env.service->setFault("settings", {service::FaultKind::Delay, 1.5});
    auto results = std::make_shared<Results>();
    quelmar::sharedInstance().delegate = results;

    quelmar::Initialize("live");
    quelmar::trackEvents("purchase", Value{{"sku", "A1"}}, "9.5", 2);
    quelmar::UserIdentifier("ann", Value{{"plan", "gold"}});
    EXPECT_TRUE(env.service->requestsFor("user").empty());

    ASSERT_TRUE(env.waitForRequests("user", 1));
    ASSERT_TRUE(env.host.runUntil([&] { return eventRequest(env, "purchase").has_value(); }));
    const auto clicks = env.service->requestsFor("fetch_click");
    const auto settings = env.service->requestsFor("settings");
    ASSERT_EQ(clicks.size(), 1u);
    // The start-up fetch; the user answer's "new_user_hit" may already have asked for another.
    ASSERT_GE(settings.size(), 1u);
    const auto user = env.service->requestsFor("user").front();
    const auto purchase = *eventRequest(env, "purchase");
    // Nothing deferred left before the settings answer was in.
    EXPECT_GE(user.time, settings.front().time);
    EXPECT_GE(purchase.time, settings.front().time);

    const std::string device = library().objectForKey("qm_iOS_VENDOR_IDENTIFIER").description();
    const std::string clickID = library().objectForKey("qm_anal_id").description();
    EXPECT_FALSE(clickID.empty());
    const Value common{{"bid", "1234"},           {"bid_e", "secret-key-0123456789abcdef"},
                       {"device", "2"},           {"deviceID", device},
                       {"language", "English"},   {"gmOffset", "00"},
                       {"mode", "live"},          {"sdk_version", "7.0.5"},
                       {"mobile_app_id", "com.example.testapp"}};
    Value expectedClick = common;
    expectedClick.remove("mobile_app_id");
    expectedClick.set("package", "com.example.testapp");
    expectedClick.set("clickID", "");
    EXPECT_EQ(clicks.front().fields, expectedClick);
    // Click and settings requests leave side by side; the settings one carries the click id
    // only when the click answer happened to be in first.
    Value settingsFields = settings.front().fields;
    EXPECT_TRUE(settingsFields["clickID"] == Value("") || settingsFields["clickID"] == Value(clickID));
    settingsFields.remove("clickID");
    Value expectedSettings = common;
    EXPECT_EQ(settingsFields, expectedSettings);

    Value expectedUser = common;
    expectedUser.set("clickID", clickID);
    expectedUser.set("userID", "ann");
    expectedUser.set("userParams", "{\"plan\":\"gold\"}");
    // The settings answer handed out campaign cookies; requests after it carry them.
    Value userFields = user.fields;
    EXPECT_FALSE(userFields["cookieData"].string().empty());
    userFields.remove("cookieData");
    // The click answer is not delayed, so it is in before the settings answer replays.
    EXPECT_EQ(userFields, expectedUser);

    Value event = purchase.fields;
    EXPECT_EQ(event["clickID"], Value(clickID));
    EXPECT_EQ(event["ltv"], Value("9.5"));
    EXPECT_EQ(event["os_version"], Value("17.200001"));
    EXPECT_EQ(event["app_version"], Value("1.0"));
    EXPECT_EQ(event["scope"], Value("2"));
    EXPECT_EQ(event["attributes"], Value("{\"sku\":\"A1\"}"));
    ASSERT_TRUE(env.host.runUntil([&] { return hasResultFor(*results, "purchase"); }));
}

// Values that hold the form's own separators travel as text: a crafted event name, user id or
// attribute cannot add or replace fields, and invalid UTF-8 is repaired rather than dropped.
TEST(TrackingService, ValuesCannotRewriteTheForm) {
    testkit::ServiceHost env;
    auto results = startReady(env);

    quelmar::trackEvents("buy&bid=666", Value{{"note", "a&b=c d+e%41"}, {"bad", std::string("ok\xff\xfe")}}, "1+1", 2);
    ASSERT_TRUE(env.host.runUntil([&] { return hasResultFor(*results, "buy&bid=666"); }));
    auto bought = eventRequest(env, "buy&bid=666");
    ASSERT_TRUE(bought);
    EXPECT_EQ(bought->fields["bid"], Value("1234"));
    EXPECT_EQ(bought->fields["ltv"], Value("1+1"));
    const Value attributes = platform::json::parse(bought->fields["attributes"].string()).value_or(Value());
    EXPECT_EQ(attributes["note"], Value("a&b=c d+e%41"));
    EXPECT_EQ(attributes["bad"], Value("ok\xEF\xBF\xBD\xEF\xBF\xBD"));  // each invalid byte as U+FFFD

    quelmar::UserIdentifier("bob&userID=admin", Value{{"mail", "ann+promo@example.com"}});
    ASSERT_TRUE(env.waitForRequests("user", 1));
    ASSERT_TRUE(env.host.runUntil([&] { return library().objectForKey("qm_userID").isString(); }));
    const auto user = env.service->requestsFor("user").front();
    EXPECT_EQ(user.fields["userID"], Value("bob&userID=admin"));
    EXPECT_EQ(platform::json::parse(user.fields["userParams"].string()).value_or(Value())["mail"], Value("ann+promo@example.com"));
    EXPECT_EQ(library().objectForKey("qm_userID"), Value("bob&userID=admin"));
}
