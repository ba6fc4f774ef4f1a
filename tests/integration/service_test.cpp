// The local service over real loopback TLS: verified handshakes with the service host names,
// routing, recording, faults, the admin listing and the survey page.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "qmplatform/json.hpp"
#include "qmservice/local_service.hpp"
#include "qmservice/probe.hpp"

using qm::Value;
using qm::service::Fault;
using qm::service::FaultKind;
using qm::service::LocalService;
using qm::service::ProbeAnswer;
using qm::service::ProbeRequest;

namespace {

class LocalServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm-service-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        service_ = std::make_unique<LocalService>(LocalService::Options{dir_ + "/state"});
        ASSERT_TRUE(service_->start()) << service_->lastError();
    }
    void TearDown() override {
        service_.reset();
        std::filesystem::remove_all(dir_);
    }

    ProbeAnswer post(const std::string& host, const std::string& path, const std::string& body,
                     double timeout = 5) {
        ProbeRequest request{"POST", host, service_->port(), path, body};
        request.caFile = service_->caFile();
        request.timeoutSeconds = timeout;
        return qm::service::probe(request);
    }
    ProbeAnswer get(const std::string& host, const std::string& path) {
        ProbeRequest request{"GET", host, service_->port(), path};
        request.caFile = service_->caFile();
        return qm::service::probe(request);
    }
    static Value json(const ProbeAnswer& answer) {
        return qm::platform::json::parse(answer.body).value_or(Value());
    }

    std::string dir_;
    std::unique_ptr<LocalService> service_;
};

double systemNowSince2001() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - 978307200.0;
}

TEST_F(LocalServiceTest, VerifiedPostIsAnsweredAndRecorded) {
    std::ifstream caFile(service_->caFile());
    std::stringstream ca;
    ca << caFile.rdbuf();
    EXPECT_EQ(ca.str().rfind("-----BEGIN CERTIFICATE-----", 0), 0u);

    const double before = systemNowSince2001();
    ProbeAnswer answer = post("analytics.quelmar.io", "/mobile/api/event",
                              "bid=1001&event_name=add%20to%20cart&attributes=%7B%22a%22%3A1%7D&plus=a+b");
    const double after = systemNowSince2001();
    ASSERT_TRUE(answer.ok) << answer.error;
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers["content-type"], "application/json; charset=utf-8");
    Value expected = *qm::platform::json::parse(R"({
        "Account": "success", "Authentication": "success", "Message": "Event add to cart recorded",
        "campaignCookie": {
            "cookies": {"_qm_hit": "hit.1001.dWV2ZW50PVsiYWRkIHRvIGNhcnQiXQ==",
                        "_qm_hit_uid": "hituid.1001.dWV2ZW50PVsiYWRkIHRvIGNhcnQiXQ=="},
            "expires": {"_qm_hit": 20, "_qm_hit_uid": 1440}}})");
    EXPECT_EQ(json(answer), expected) << answer.body;

    auto recorded = service_->requestsFor("event");
    ASSERT_EQ(recorded.size(), 1u);
    const auto& request = recorded[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.host, "analytics.quelmar.io");
    EXPECT_EQ(request.path, "/mobile/api/event");
    EXPECT_EQ(request.service, "analytics");
    EXPECT_EQ(request.headers.at("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.fields, (Value{{"bid", "1001"}, {"event_name", "add to cart"},
                                     {"attributes", R"({"a":1})"}, {"plus", "a+b"}}));
    EXPECT_GE(request.time, before - 0.001);
    EXPECT_LE(request.time, after + 0.001);

    // A name the certificate does not cover, and a client without the CA, are refused.
    EXPECT_FALSE(post("analytics.example.org", "/mobile/api/event", "").ok);
    ProbeRequest untrusted{"POST", "analytics.quelmar.io", service_->port(), "/mobile/api/event"};
    untrusted.caFile = "/etc/ssl/certs/ca-certificates.crt";
    EXPECT_FALSE(qm::service::probe(untrusted).ok);
    EXPECT_TRUE(qm::service::probeTLS("devmobile6.quelmar.io", service_->port(), service_->caFile()));
}

TEST_F(LocalServiceTest, EveryEnvironmentLabelMapsToItsService) {
    const std::vector<std::pair<std::string, std::string>> labels = {
        {"devmobile6", "mobile"}, {"mobile1uat", "mobile"},    {"stagemobile", "mobile"},
        {"mobile", "mobile"},     {"devpush6", "push"},        {"push1uat", "push"},
        {"stagepush", "push"},    {"push", "push"},            {"devanal6", "analytics"},
        {"anal1uat", "analytics"}, {"stageanal", "analytics"}, {"analytics", "analytics"},
        {"livechat", "livechat"}};
    for (const auto& [label, kind] : labels) {
        ASSERT_TRUE(post(label + ".quelmar.io", "/mobile/api/schedule", "notificationID=3").ok) << label;
        ASSERT_FALSE(service_->requests().empty());
        EXPECT_EQ(service_->requests().back().service, kind) << label;
    }
    // "stats" answers per service: push statistics on the push host, in-app ones elsewhere.
    EXPECT_EQ(json(post("push.quelmar.io", "/mobile/api/stats", "type=views"))["Message"],
              Value("Push statistics recorded"));
    EXPECT_EQ(json(post("mobile.quelmar.io", "/mobile/api/stats", "action=view"))["Message"],
              Value("Statistics recorded"));
    service_->setAnswer("push/stats", Value{{"Authentication", "failed"}});
    EXPECT_EQ(json(post("stagepush.quelmar.io", "/mobile/api/stats", ""))["Authentication"],
              Value("failed"));
    EXPECT_EQ(json(post("mobile.quelmar.io", "/mobile/api/stats", ""))["Authentication"],
              Value("success"));
}

TEST_F(LocalServiceTest, FaultsChangeTheAnswer) {
    const std::string analytics = "analytics.quelmar.io";
    service_->setFault("event", Fault{FaultKind::ServerError, 0, 1});
    ProbeAnswer failed = post(analytics, "/mobile/api/event", "event_name=a");
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(json(failed), (Value{{"error", "internal"}}));
    EXPECT_EQ(post(analytics, "/mobile/api/event", "event_name=a").status, 200);  // used up

    service_->setFault("settings", Fault{FaultKind::NotJSON});
    EXPECT_EQ(post("mobile.quelmar.io", "/mobile/api_v2/settings", "").body, "<html>oops</html>");
    service_->setFault("fetch_click", Fault{FaultKind::EmptyBody});
    ProbeAnswer empty = post(analytics, "/mobile/api/fetch_click", "");
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body, "");

    service_->setFault("*", Fault{FaultKind::Refusal});
    Value refused = json(post(analytics, "/mobile/api/user", "userID=ann"));
    EXPECT_EQ(refused["Authentication"], Value("failed"));
    EXPECT_EQ(refused["Account"], Value("failed"));
    EXPECT_EQ(refused["Message"], Value("Refused by test"));
    EXPECT_EQ(refused["uuid"], Value("user-ann"));
    // The more specific fault wins over "*".
    EXPECT_EQ(post("mobile.quelmar.io", "/mobile/api_v2/settings", "").body, "<html>oops</html>");
    service_->setFault("settings", Fault{FaultKind::Refusal});
    Value settings = json(post("mobile.quelmar.io", "/mobile/api_v2/settings", ""));
    EXPECT_EQ(settings["banner"]["data"]["Authentication"], Value("failed"));
    EXPECT_EQ(settings["push"]["data"]["push_details"]["ios"], Value(1));

    service_->clearFaults();
    service_->setFault("fetch_click", Fault{FaultKind::Delay, 0.3});
    const auto start = std::chrono::steady_clock::now();
    Value click = json(post(analytics, "/mobile/api/fetch_click", ""));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took.count(), 0.3);
    EXPECT_EQ(click["Authentication"], Value("success"));
    EXPECT_TRUE(click["qm_anal_id"].isString());
}

TEST_F(LocalServiceTest, NoAnswerHoldsTheRequestAndStopStaysPrompt) {
    service_->setFault("event", Fault{FaultKind::NoAnswer});
    ProbeAnswer gaveUp = post("analytics.quelmar.io", "/mobile/api/event", "event_name=a", 0.3);
    EXPECT_FALSE(gaveUp.ok);
    EXPECT_EQ(service_->requestsFor("event").size(), 1u);

    ProbeAnswer held;
    std::thread client([&] { held = post("analytics.quelmar.io", "/mobile/api/event", "n=2", 10); });
    EXPECT_TRUE(service_->waitFor([](const auto& list) { return list.size() == 2; }, 5));
    const auto start = std::chrono::steady_clock::now();
    service_->stop();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    client.join();
    EXPECT_LT(took.count(), 1.0);
    EXPECT_FALSE(held.ok);
    EXPECT_FALSE(service_->running());

    // A stopped service starts again.
    ASSERT_TRUE(service_->start()) << service_->lastError();
    EXPECT_TRUE(qm::service::probeTLS("push.quelmar.io", service_->port(), service_->caFile()));
}

TEST_F(LocalServiceTest, AdminListsAndResetsTheRecordedRequests) {
    ASSERT_TRUE(post("push.quelmar.io", "/mobile/api/ios_subscribe", "subscriptionId=t%2F1").ok);
    ASSERT_TRUE(get("mobile.quelmar.io", "/user/survey/modal?notificationid=7003").ok);
    Value listed = json(get("push.quelmar.io", "/__admin/requests"));
    ASSERT_EQ(listed.count(), 2u);
    EXPECT_EQ(listed[0]["endpoint"], Value("ios_subscribe"));
    EXPECT_EQ(listed[0]["service"], Value("push"));
    EXPECT_EQ(listed[0]["host"], Value("push.quelmar.io"));
    EXPECT_EQ(listed[0]["fields"], (Value{{"subscriptionId", "t/1"}}));
    EXPECT_EQ(listed[1]["method"], Value("GET"));
    EXPECT_EQ(listed[1]["path"], Value("/user/survey/modal"));
    EXPECT_TRUE(listed[1]["time"].isReal());
    EXPECT_EQ(service_->requests().size(), 2u);  // admin calls are not recorded

    ASSERT_TRUE(post("push.quelmar.io", "/__admin/reset", "").ok);
    EXPECT_TRUE(service_->requests().empty());
}

TEST_F(LocalServiceTest, SurveyPageEndsOnThankYouAndMediaIsServed) {
    ProbeAnswer page = get("mobile.quelmar.io",
                           "/user/survey/modal?brandid=1001&notificationid=7003&tokens=%7B%22name%22%3A%22Ann%22%7D");
    ASSERT_TRUE(page.ok) << page.error;
    EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_NE(page.body.find(R"(messageHandlers.surveyAttempt.postMessage('{"notificationID":"7003","q1":"Very satisfied","tokens":{"name":"Ann"}}'))"),
              std::string::npos) << page.body;
    EXPECT_NE(page.body.find("messageHandlers.surveySubmit.postMessage("), std::string::npos);
    EXPECT_NE(page.body.find("https://mobile.quelmar.io/user/survey/thankYou?notificationid=7003"),
              std::string::npos);
    EXPECT_EQ(get("mobile.quelmar.io", "/user/survey/thankYou?notificationid=7003").status, 200);

    ProbeAnswer close = get("mobile.quelmar.io", "/assets/close.png");
    EXPECT_EQ(close.headers["content-type"], "image/png");
    EXPECT_EQ(close.body.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(get("push.quelmar.io", "/media/photo.jpg").body.substr(0, 3), "\xFF\xD8\xFF");
    EXPECT_EQ(get("push.quelmar.io", "/media/chime.wav").body.substr(0, 4), "RIFF");
    EXPECT_EQ(get("push.quelmar.io", "/media/missing.png").status, 404);
}

TEST_F(LocalServiceTest, StartFailsWhenThePortIsTaken) {
    LocalService second(LocalService::Options{dir_ + "/second", "", "quelmar.io", service_->port()});
    EXPECT_FALSE(second.start());
    EXPECT_FALSE(second.lastError().empty());
    EXPECT_FALSE(second.running());
}

}  // namespace
