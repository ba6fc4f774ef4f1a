// The local service over real loopback TLS: verified handshakes with the service host names,
// routing, recording, faults, the admin listing, the survey page and the media files.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "qmmedia/media.hpp"
#include "qmmedia/media_probe.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/media_probe.hpp"
#include "qmplatform/user_notifications.hpp"
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

// Sends `request` to 127.0.0.1:port over plain TCP and returns everything answered until the
// server closes.
std::string plainExchange(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer;
}

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
                                     {"attributes", R"({"a":1})"}, {"plus", "a b"}}));
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

TEST_F(LocalServiceTest, FormFieldsAreDecodedAndMegabyteBodiesRead) {
    const std::string analytics = "analytics.quelmar.io";
    ASSERT_TRUE(post(analytics, "/mobile/api/user",
                     "email=ann%2Bpromo%40example.com&q=a+b%26c%3Dd&pct=100%25&city=K%C3%B6ln&odd+name=x=y&bad=%zz")
                    .ok);
    const Value expected{{"email", "ann+promo@example.com"}, {"q", "a b&c=d"}, {"pct", "100%"},
                         {"city", "K\xC3\xB6ln"}, {"odd name", "x=y"}, {"bad", "%zz"}};
    EXPECT_EQ(service_->requests().back().fields, expected);
    EXPECT_EQ(json(get(analytics, "/__admin/requests"))[0]["fields"], expected);

    // Requests grow with cookies: a megabyte of form text is read like any other body.
    const std::string cookies(1024 * 1024, 'c');
    ProbeAnswer large = post(analytics, "/mobile/api/event", "event_name=big&cookieData=" + cookies);
    EXPECT_EQ(large.status, 200) << large.body;
    EXPECT_EQ(json(large)["Message"], Value("Event big recorded"));
    EXPECT_EQ(service_->requests().back().fields["cookieData"].string().size(), cookies.size());

    // Past the limit the answer says why, in JSON; nothing is recorded.
    const std::size_t recorded = service_->requests().size();
    ProbeAnswer tooLarge =
        post(analytics, "/mobile/api/event", "event_name=x&p=" + std::string(LocalService::kMaxRequestBody, 'c'));
    EXPECT_EQ(tooLarge.status, 413);
    EXPECT_EQ(json(tooLarge), (Value{{"Authentication", "failed"}, {"Message", "request body too large"}}));
    EXPECT_EQ(service_->requests().size(), recorded);
}

TEST_F(LocalServiceTest, RedirectTrickleAndOversizeFaultsFromTheAdminEndpoint) {
    const std::string analytics = "analytics.quelmar.io";
    auto setFault = [&](const std::string& fields) {
        ProbeAnswer answer = post(analytics, "/__admin/fault", fields);
        ASSERT_EQ(answer.status, 200) << fields << ": " << answer.body;
    };
    setFault("endpoint=event&kind=redirect-http&count=1");
    ProbeAnswer toPlain = post(analytics, "/mobile/api/event?x=1", "a=1");
    EXPECT_EQ(toPlain.status, 307);
    EXPECT_EQ(toPlain.headers["location"],
              "http://127.0.0.1:" + std::to_string(service_->plainPort()) + "/mobile/api/event?x=1");
    setFault("endpoint=event&kind=redirect-host&status=308&count=1");
    ProbeAnswer elsewhere = post(analytics, "/mobile/api/event", "a=1");
    EXPECT_EQ(elsewhere.status, 308);
    EXPECT_EQ(elsewhere.headers["location"], "https://elsewhere.quelmar.io/mobile/api/event");
    setFault("endpoint=event&kind=redirect&count=1");
    EXPECT_EQ(post(analytics, "/mobile/api/event", "a=1").headers["location"], "/mobile/api/event");
    EXPECT_EQ(post(analytics, "/mobile/api/event", "a=1").status, 200);  // used up

    // The plain listener answers and keeps what reached it.
    EXPECT_TRUE(service_->plainContacts().empty());
    const std::string plainRequest = "POST /mobile/api/event HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 9\r\n\r\nsecret=42";
    const std::string plainAnswer = plainExchange(service_->plainPort(), plainRequest);
    EXPECT_EQ(plainAnswer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << plainAnswer;
    EXPECT_TRUE(plainAnswer.ends_with("\r\n\r\n{\"plain\":true}")) << plainAnswer;
    EXPECT_EQ(service_->plainContacts(), std::vector<std::string>{plainRequest});

    // A trickled answer is the whole answer, in pieces with a pause between them.
    setFault("endpoint=event&kind=trickle&delay=0.02&count=1");
    const std::size_t before = service_->streamedBytes();
    const auto start = std::chrono::steady_clock::now();
    ProbeAnswer slow = post(analytics, "/mobile/api/event", "event_name=slow");
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(json(slow)["Message"], Value("Event slow recorded"));
    EXPECT_EQ(service_->streamedBytes() - before, slow.body.size());
    // The pauses add up (a timed wait may end a little early, so with a margin).
    EXPECT_GE(took.count(), 0.8 * 0.02 * static_cast<double>(slow.body.size() / 8 - 1));

    // Oversized answers: valid JSON of the size asked for, with a length or chunked.
    setFault("endpoint=event&kind=oversize&size=100000&count=1");
    ProbeAnswer sized = post(analytics, "/mobile/api/event", "a=1");
    EXPECT_EQ(sized.headers["content-length"], "100000");
    EXPECT_EQ(sized.body.size(), 100000u);
    EXPECT_EQ(json(sized)["Authentication"], Value("success"));
    setFault("endpoint=event&kind=oversize&size=300000&chunked=1&count=1");
    ProbeAnswer chunked = post(analytics, "/mobile/api/event", "a=1");
    EXPECT_EQ(chunked.headers["transfer-encoding"], "chunked");
    EXPECT_EQ(chunked.body.size(), 300000u);
    EXPECT_EQ(json(chunked)["padding"].count(),
              300000u - std::string_view(R"({"Authentication":"success","padding":""})").size());
}

TEST_F(LocalServiceTest, NoAnswerHoldsTheRequestAndStopStaysPrompt) {
    service_->setFault("event", Fault{FaultKind::NoAnswer});
    // The client's limit also bounds its handshake: long enough that the request is sent
    // even in a ThreadSanitizer build under load, and the service then keeps it unanswered.
    ProbeAnswer gaveUp = post("analytics.quelmar.io", "/mobile/api/event", "event_name=a", 1.5);
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

    ProbeAnswer probe = get("mobile.quelmar.io", "/pages/probe.html");
    EXPECT_EQ(probe.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_NE(probe.body.find("function probeAnswer"), std::string::npos);
    EXPECT_EQ(get("mobile.quelmar.io", "/pages/../fixtures/settings.json").status, 404);
    EXPECT_EQ(get("mobile.quelmar.io", "/pages/absent.html").status, 404);
}

TEST_F(LocalServiceTest, TheFilmIsAVideoForTheMediaLayerAndForAttachments) {
    ProbeAnswer clip = get("push.quelmar.io", "/media/clip.mp4");
    ASSERT_EQ(clip.status, 200) << clip.error;
    EXPECT_EQ(clip.headers["content-type"], "video/mp4");
    EXPECT_EQ(clip.body.substr(4, 8), "ftypisom");
    EXPECT_EQ(get("push.quelmar.io", "/media/clip.mp4").body, clip.body);  // made once, served alike
    const std::string file = dir_ + "/clip.mp4";
    std::ofstream(file, std::ios::binary) << clip.body;

    namespace media = qm::platform::media;
    const media::Description film = media::describeFile(file);
    ASSERT_TRUE(film.ok()) << film.error;
    EXPECT_EQ(film.kind, media::Kind::Video);
    EXPECT_EQ(film.width, 64);
    EXPECT_EQ(film.height, 48);
    EXPECT_EQ(film.frames, 8u);
    EXPECT_NEAR(film.duration, 2.0, 0.01);
    EXPECT_FALSE(film.hasAudio);
    // Every frame decodes, and the light bar moves one block to the right per quarter second.
    for (int k : {0, 3, 7}) {
        const media::Still still = media::videoFrameFromFile(file, 0.25 * k + 0.1);
        ASSERT_TRUE(still.ok()) << k << ": " << still.error;
        EXPECT_NEAR(still.time, 0.25 * k, 1e-6);
        ASSERT_EQ(still.bitmap.width, 64);
        const auto grey = [&](int x) { return still.bitmap.at(x, 20) & 0xff; };
        EXPECT_GT(grey(8 * k + 4), 200u) << k;
        EXPECT_LT(grey((8 * k + 20) % 64), 80u) << k;
    }

    qm::platform::MediaProbe::setCurrent(media::mediaProbe());
    qm::platform::Error error;
    auto attachment = qm::platform::NotificationAttachment::attachmentWithIdentifier("film", file, {}, error);
    qm::platform::MediaProbe::setCurrent(nullptr);
    ASSERT_TRUE(attachment) << error.localizedDescription;
    EXPECT_EQ(attachment->type(), qm::platform::AttachmentType::Video);
}

TEST_F(LocalServiceTest, StartFailsWhenThePortIsTaken) {
    LocalService second(LocalService::Options{dir_ + "/second", "", "quelmar.io", service_->port()});
    EXPECT_FALSE(second.start());
    EXPECT_FALSE(second.lastError().empty());
    EXPECT_FALSE(second.running());
}

}  // namespace
