// The helper's line protocol: every message survives encoding and decoding, and malformed or
// out-of-bounds lines are refused with a reason (and the id when it could be read).
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "protocol.hpp"

using namespace qm;
using namespace qm::webkit;

namespace {

Request roundTrip(const Request& r) {
    std::string error;
    auto line = encode(r, &error);
    EXPECT_TRUE(line) << error;
    if (!line) return {};
    EXPECT_EQ(line->back(), '\n');
    EXPECT_EQ(line->find('\n'), line->size() - 1) << "one line";
    DecodedRequest decoded = decodeRequest(*line);
    EXPECT_TRUE(decoded.request) << decoded.error << " in " << *line;
    return decoded.request.value_or(Request{});
}

template <typename T>
T incoming(const std::string& line) {
    std::string error;
    auto message = decodeIncoming(line, &error);
    EXPECT_TRUE(message) << error << " in " << line;
    if (!message || !std::holds_alternative<T>(*message)) {
        ADD_FAILURE() << "wrong kind of message: " << line;
        return T{};
    }
    return std::get<T>(*message);
}

// The reason a request line is refused, and the id recovered from it.
std::pair<std::string, std::int64_t> refusal(const std::string& line) {
    DecodedRequest decoded = decodeRequest(line);
    EXPECT_FALSE(decoded.request) << "accepted: " << line;
    EXPECT_FALSE(decoded.error.empty()) << line;
    return {decoded.error, decoded.id};
}

}  // namespace

TEST(WebKitProtocol, EveryRequestSurvivesEncodingAndDecoding) {
    Request create;
    create.id = 1;
    create.op = Op::CreateView;
    create.view = 7;
    create.width = 390;
    create.height = 844;
    create.scale = 3;
    create.userAgent = "Mozilla/5.0 (quelmar test)";
    create.handlers = {"qm", "close_1", "$bridge"};
    EXPECT_EQ(roundTrip(create), create);
    create.userAgent.clear();
    create.applicationName = "Quelmar/7.0.5";
    EXPECT_EQ(roundTrip(create), create);

    Request html;
    html.id = 2;
    html.op = Op::LoadHTML;
    html.view = 7;
    html.html = "<p>\"quoted\" / slash \u00e9 \n new line</p>";
    html.baseURL = "https://example.test/base/";
    EXPECT_EQ(roundTrip(html), html);

    Request eval;
    eval.id = (std::int64_t{1} << 53) - 1;  // the largest id
    eval.op = Op::Evaluate;
    eval.view = 7;
    eval.script = "document.title";
    eval.timeoutMs = 250;
    EXPECT_EQ(roundTrip(eval), eval);

    Request decide;
    decide.id = 3;
    decide.op = Op::DecideNavigation;
    decide.view = 7;
    decide.navigation = 12;
    decide.allow = true;
    EXPECT_EQ(roundTrip(decide), decide);

    Request snap;
    snap.id = 4;
    snap.op = Op::Snapshot;
    snap.view = 7;
    snap.path = "/tmp/snapshot.png";
    EXPECT_EQ(roundTrip(snap), snap);

    Request trust;
    trust.id = 5;
    trust.op = Op::TrustCertificate;
    trust.host = "localhost";
    trust.certificatePEM = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    EXPECT_EQ(roundTrip(trust), trust);

    // A route with the authorities its service is checked against, one without, and none.
    Request route;
    route.id = 6;
    route.op = Op::Route;
    route.address = "127.0.0.1:40123";
    route.certificatePEM = trust.certificatePEM;
    EXPECT_EQ(roundTrip(route), route);
    route.certificatePEM.clear();
    EXPECT_EQ(roundTrip(route), route);
    route.address = "[::1]:443";
    EXPECT_EQ(roundTrip(route), route);
    route.address.clear();
    EXPECT_EQ(roundTrip(route), route);

    for (Op op : {Op::Hello, Op::Ping, Op::Shutdown}) {
        Request r;
        r.id = 9;
        r.op = op;
        EXPECT_EQ(roundTrip(r), r) << opName(op);
    }
    Request load;
    load.id = 10;
    load.op = Op::LoadURL;
    load.view = 1;
    load.url = "https://example.test/";
    EXPECT_EQ(roundTrip(load), load);
    load.headers = {{"User-Agent", "QM/1 (test)"}, {"X-Token", "a\tb \u00e9"}};
    EXPECT_EQ(roundTrip(load), load);

    // Defaults: no scale means 1, no timeout means the default deadline.
    auto resize = decodeRequest(R"({"id":11,"op":"resize","view":1,"width":320,"height":480})");
    ASSERT_TRUE(resize.request) << resize.error;
    EXPECT_EQ(resize.request->scale, 1.0);
    auto evalDefault = decodeRequest(R"({"id":12,"op":"evaluate","view":1,"script":"1"})");
    ASSERT_TRUE(evalDefault.request) << evalDefault.error;
    EXPECT_EQ(evalDefault.request->timeoutMs, kDefaultTimeoutMs);
}

TEST(WebKitProtocol, MalformedRequestsAreRefusedWithTheIdWhenItCanBeRead) {
    // Not a message at all: no id to answer with.
    for (const char* line : {"", "not json", "[1,2]", "\"hello\"", "{\"id\":1", R"({"op":"ping"})",
                             R"({"id":0,"op":"ping"})", R"({"id":-4,"op":"ping"})", R"({"id":"1","op":"ping"})",
                             R"({"id":1.5,"op":"ping"})", R"({"id":9007199254740992,"op":"ping"})",
                             "{\"id\":1,\"op\":\"ping\"}\xff"}) {
        EXPECT_EQ(refusal(line).second, 0) << line;
    }
    // The id is good; the rest is not.
    const char* bad[] = {
        R"({"id":5,"op":"fly"})",
        R"({"id":5,"op":7})",
        R"({"id":5,"op":"createView","view":1,"width":0,"height":10})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":100000})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":10,"scale":100})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":10,"scale":"2"})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":10,"handlers":"qm"})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":10,"handlers":["1qm"]})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":10,"handlers":["q-m"]})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":10,"handlers":["qm","qm"]})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":10,"handlers":[""]})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":10,"userAgent":5})",
        R"({"id":5,"op":"createView","width":10,"height":10})",
        R"({"id":5,"op":"destroyView","view":0})",
        R"({"id":5,"op":"loadHTML","view":1})",
        R"({"id":5,"op":"loadURL","view":1,"url":""})",
        R"({"id":5,"op":"loadURL","view":1,"url":"x","headers":["a"]})",
        R"({"id":5,"op":"loadURL","view":1,"url":"x","headers":{"A":1}})",
        R"({"id":5,"op":"loadURL","view":1,"url":"x","headers":{"Bad Name":"v"}})",
        R"({"id":5,"op":"loadURL","view":1,"url":"x","headers":{"X-A":"v\r\nX-Injected: 1"}})",
        R"({"id":5,"op":"loadURL","view":1,"url":"x","headers":{"":"v"}})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":10,"applicationName":7})",
        R"({"id":5,"op":"createView","view":1,"width":10,"height":10,"applicationName":"a\nb"})",
        R"({"id":5,"op":"evaluate","view":1})",
        R"({"id":5,"op":"evaluate","view":1,"script":"1","timeoutMs":0})",
        R"({"id":5,"op":"evaluate","view":1,"script":"1","timeoutMs":600001})",
        R"({"id":5,"op":"decideNavigation","view":1,"navigation":3})",
        R"({"id":5,"op":"decideNavigation","view":1,"navigation":3,"allow":1})",
        R"({"id":5,"op":"snapshot","view":1,"path":"relative.png"})",
        R"({"id":5,"op":"trustCertificate","host":"localhost"})",
        R"({"id":5,"op":"route"})",
        R"({"id":5,"op":"route","address":7})",
        R"({"id":5,"op":"route","address":"127.0.0.1"})",
        R"({"id":5,"op":"route","address":"127.0.0.1:0"})",
        R"({"id":5,"op":"route","address":"127.0.0.1:65536"})",
        R"({"id":5,"op":"route","address":"127.0.0.1:44x"})",
        R"({"id":5,"op":"route","address":":443"})",
        R"({"id":5,"op":"route","address":"::1:443"})",
        R"({"id":5,"op":"route","address":"a b:443"})",
        R"({"id":5,"op":"route","address":"user@host:443"})",
        R"({"id":5,"op":"route","address":"127.0.0.1:443","pem":5})",
        R"({"id":5,"op":"route","address":"","pem":"x"})",
    };
    for (const char* line : bad) {
        auto [error, id] = refusal(line);
        EXPECT_EQ(id, 5) << line;
    }
    // Too many handlers.
    std::string many = R"({"id":6,"op":"createView","view":1,"width":10,"height":10,"handlers":[)";
    for (std::size_t i = 0; i <= kMaxHandlers; ++i) many += (i ? ",\"h" : "\"h") + std::to_string(i) + "\"";
    many += "]}";
    EXPECT_NE(refusal(many).first.find("handlers"), std::string::npos);
    std::string headers = R"({"id":6,"op":"loadURL","view":1,"url":"x","headers":{)";
    for (std::size_t i = 0; i <= kMaxHeaders; ++i) headers += (i ? ",\"h" : "\"h") + std::to_string(i) + "\":\"v\"";
    headers += "}}";
    EXPECT_NE(refusal(headers).first.find("headers"), std::string::npos);
    // The reason names the op and the field.
    EXPECT_NE(refusal(R"({"id":5,"op":"evaluate","view":1,"script":"1","timeoutMs":0})").first.find("timeoutMs"),
              std::string::npos);
}

TEST(WebKitProtocol, AnswersAndEventsSurviveEncodingAndDecoding) {
    Value fields = Value::dictionary();
    fields.set("value", Value{{"a", 1}, {"b", Value::array({1.5, "x", Value::null(), true})}});
    auto ok = incoming<Response>(*encode(Response::success(3, fields)));
    EXPECT_EQ(ok.id, 3);
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.fields["value"], fields["value"]);

    for (ErrorKind kind : {ErrorKind::Exception, ErrorKind::Timeout, ErrorKind::NoView, ErrorKind::BadRequest,
                           ErrorKind::Failed}) {
        auto error = incoming<Response>(*encode(Response::failure(4, kind, "why")));
        EXPECT_FALSE(error.ok);
        EXPECT_EQ(error.kind, kind) << errorKindName(kind);
        EXPECT_EQ(error.message, "why");
    }
    EXPECT_EQ(*encode(Response::failure(4, ErrorKind::NoView, "x")),
              "{\"id\":4,\"kind\":\"no view\",\"message\":\"x\",\"result\":\"error\"}\n");
    // Answer fields cannot pose as the envelope.
    Value clash = Value::dictionary();
    clash.set("result", "error");
    std::string error;
    EXPECT_FALSE(encode(Response::success(5, clash), &error));
    EXPECT_NE(error.find("reserved"), std::string::npos);

    std::vector<Event> events;
    Event e;
    e.kind = EventKind::Ready;
    e.pid = 100;
    e.xvfbPid = 101;
    e.display = ":3";
    events.push_back(e);
    for (LoadState state : {LoadState::Started, LoadState::Redirected, LoadState::Committed, LoadState::Finished}) {
        Event s;
        s.kind = EventKind::LoadState;
        s.view = 2;
        s.state = state;
        s.url = "https://example.test/";
        s.load = 17;
        events.push_back(s);
    }
    Event failed;
    failed.kind = EventKind::LoadFailed;
    failed.view = 2;
    failed.url = "https://example.test/";
    failed.message = "Could not connect";
    failed.load = 18;
    events.push_back(failed);
    Event nav;
    nav.kind = EventKind::NavigationRequested;
    nav.view = 2;
    nav.navigation = 4;
    nav.url = "https://example.test/next";
    nav.newWindow = true;
    events.push_back(nav);
    nav.mainFrame = false;
    nav.newWindow = false;
    for (NavigationType type : {NavigationType::LinkActivated, NavigationType::FormSubmitted,
                                NavigationType::BackForward, NavigationType::Reload, NavigationType::FormResubmitted,
                                NavigationType::Other}) {
        nav.navigationType = type;
        events.push_back(nav);
    }
    Event message;
    message.kind = EventKind::ScriptMessage;
    message.view = 2;
    message.name = "qm";
    message.body = Value{{"a", 1}};
    events.push_back(message);
    message.body = "just text";
    events.push_back(message);
    Event crashed;
    crashed.kind = EventKind::ViewCrashed;
    crashed.view = 2;
    crashed.message = "the web process crashed";
    events.push_back(crashed);
    Event fatal;
    fatal.kind = EventKind::Fatal;
    fatal.message = "no display";
    events.push_back(fatal);
    for (const Event& event : events) {
        std::string why;
        auto line = encode(event, &why);
        ASSERT_TRUE(line) << why;
        EXPECT_EQ(incoming<Event>(*line), event) << *line;
    }
}

TEST(WebKitProtocol, NavigationsFromOlderHelpersHaveTypeOther) {
    auto event = incoming<Event>(R"({"event":"navigationRequested","view":1,"navigation":2,"url":"x"})");
    EXPECT_EQ(event.navigationType, NavigationType::Other);
}

TEST(WebKitProtocol, MalformedAnswersAndEventsAreRefused) {
    for (const char* line : {
             "", "[]", "{}", R"({"id":1})", R"({"id":1,"result":"maybe"})", R"({"id":1,"result":"error"})",
             R"({"id":1,"result":"error","kind":"gremlins","message":"x"})", R"({"id":-1,"result":"ok"})",
             R"({"event":"ready","id":1,"version":1,"pid":2,"xvfbPid":3,"display":":1"})",
             R"({"event":"sunrise"})", R"({"event":5})",
             R"({"event":"loadState","view":1,"state":"half","url":"x"})",
             R"({"event":"scriptMessage","view":1,"name":"qm"})",
             R"({"event":"navigationRequested","view":1,"navigation":0,"url":"x"})",
             R"({"event":"navigationRequested","view":1,"navigation":2,"url":"x","mainFrame":"yes"})",
             R"({"event":"navigationRequested","view":1,"navigation":2,"url":"x","navigationType":"teleport"})",
             R"({"event":"navigationRequested","view":1,"navigation":2,"url":"x","navigationType":3})",
             R"({"event":"fatal"})"}) {
        std::string error;
        EXPECT_FALSE(decodeIncoming(line, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(WebKitProtocol, LinesSplitAcrossReadsAndOverlongLinesAreDroppedInOrder) {
    LineSplitter lines(16);
    lines.append("ab");
    EXPECT_FALSE(lines.next());
    lines.append("c\n\nde");
    auto first = lines.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->text, "abc");
    auto empty = lines.next();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->text, "");
    EXPECT_FALSE(lines.next());
    EXPECT_EQ(lines.pendingBytes(), 2u);

    // "de" grows past 16 bytes: dropped up to its newline, reported once, in its place.
    lines.append("fghijklmnopqrstuvwxyz");
    EXPECT_EQ(lines.pendingBytes(), 0u) << "an overlong line is not held";
    lines.append("0123456789\nok\n");
    auto overlong = lines.next();
    ASSERT_TRUE(overlong);
    EXPECT_TRUE(overlong->overlong);
    auto after = lines.next();
    ASSERT_TRUE(after);
    EXPECT_FALSE(after->overlong);
    EXPECT_EQ(after->text, "ok");
    EXPECT_FALSE(lines.next());

    // Exactly the limit is fine.
    lines.append(std::string(16, 'x') + "\n");
    auto full = lines.next();
    ASSERT_TRUE(full);
    EXPECT_FALSE(full->overlong);
    EXPECT_EQ(full->text.size(), 16u);
}

TEST(WebKitProtocol, MessagesPastTheLineLimitAreNotEncoded) {
    Value fields = Value::dictionary();
    fields.set("png", std::string(kMaxLineBytes, 'A'));
    std::string error;
    EXPECT_FALSE(encode(Response::success(1, fields), &error));
    EXPECT_NE(error.find("limit"), std::string::npos);
    // Values JSON cannot carry are refused, not written half.
    Event message;
    message.kind = EventKind::ScriptMessage;
    message.view = 1;
    message.name = "qm";
    message.body = Value(qm::Bytes{1, 2, 3});
    EXPECT_FALSE(encode(message, &error));
}

TEST(WebKitProtocol, Base64RoundTripsAndRefusesNonCanonicalText) {
    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("f"), "Zg==");
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    EXPECT_EQ(base64Encode("foo"), "Zm9v");
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (std::size_t n = 0; n <= all.size(); n += 37) {
        auto back = base64Decode(base64Encode(all.substr(0, n)));
        ASSERT_TRUE(back) << n;
        EXPECT_EQ(*back, all.substr(0, n));
    }
    for (const char* bad : {"Zg", "Zg=", "Z===", "Zh==", "Zm9=", "Zm9v!A==", "Zg==Zg==", "=Zg="}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
}
