// Push payloads for the push fuzzer and the test that replays what it kept. An input is decoded
// into a payload, the request identifier it arrives with, the app's set-up and a list of steps:
//   first byte: the payload's start (a plain push with text or dictionary alert, one with
//     buttons, one with a picture, sound or film, a foreign push, or JSON text of any of them
//     cut and spliced) and the app's set-up (push category and app group named or not);
//   then changes to the payload: keys of every level ("aps", its alert, "qm_data", the buttons,
//     their "actionExtra") set to plausible values, wrong types, null, huge texts and deep
//     nestings, or removed;
//   then steps, each led by one byte: the push shown in front, received in the background, its
//     background fetch, a tap on it or a button (valid, unknown, empty identifiers, dismissal),
//     the two click-data helpers, the payload marked with a view id, the received-push record,
//     badge changes, the buttons registered as a category, the notification-service
//     extension's LoadAttachmentWithRequest, an application-state change, the clock moved on,
//     or another change to the payload.
// exercisePush runs the steps in a started library on the test host (manual clock, requests
// carried by PushTransport, which serves media files and answers statistics without a socket),
// waits for the work to settle and counts how often every completion the library was handed
// was called: each exactly once.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message_fuzz_input.hpp"
#include "push/QMSDKPushBadgeHandler.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/media_probe.hpp"
#include "qmplatform/transport.hpp"
#include "qmplatform/user_notifications.hpp"

namespace qm::fuzz {

// ---------------------------------------------------------------------------------------------
// Media on the wire

// Small media files, made here: a 1×1 GIF, a short WAV sound and the start of an MP4 film.
inline std::string pushMediaBytes(const std::string& kind) {
    if (kind == "gif") {
        static const unsigned char gif[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0,
                                            0xff, 0xff, 0xff, 0x2c, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44,
                                            0x01, 0, 0x3b};
        return std::string(reinterpret_cast<const char*>(gif), sizeof gif);
    }
    if (kind == "wav") {
        auto le = [](std::uint32_t v, int n) {
            std::string out;
            for (int i = 0; i < n; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
            return out;
        };
        const std::string samples(200, '\x80');
        return "RIFF" + le(36 + samples.size(), 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) + le(8000, 4) +
               le(8000, 4) + le(1, 2) + le(8, 2) + "data" + le(samples.size(), 4) + samples;
    }
    if (kind == "mp4") return std::string("\0\0\0\x18" "ftypisom\0\0\x02\0isommp41", 24) + std::string(64, '\0');
    return "this is not media";
}

// Says what the small files above are, by their first bytes (no decoding).
class PushMediaProbe final : public platform::MediaProbe {
public:
    Result probe(const std::string& path) override {
        Result result;
        const auto bytes = platform::Files::readFile(path);
        if (!bytes) {
            result.error = "unreadable";
            return result;
        }
        const std::string& b = *bytes;
        if (b.starts_with("GIF8") || b.starts_with("\x89PNG") || b.starts_with("\xff\xd8\xff")) {
            result.image = true;
        } else if (b.size() > 12 && b.starts_with("RIFF") && b.compare(8, 4, "WAVE") == 0) {
            result.audio = true;
        } else if (b.size() > 8 && b.compare(4, 4, "ftyp") == 0) {
            result.video = result.audio = true;
        } else {
            result.error = "not media";
        }
        return result;
    }
};

// Carries every request without a socket, answering on a global queue: statistics and other
// service calls get {"Authentication": "success"}; on the media host a file's ending picks
// the bytes (".gif", ".wav", ".mp4" and their kin; "wrong" in the path serves a sound as a
// picture), "/missing" answers 404, "/empty" an empty body; the host "down.example.com" fails
// to connect.
class PushTransport final : public platform::Transport {
public:
    void start(std::shared_ptr<platform::URLSessionTask> task) override {
        started_.fetch_add(1);
        platform::Queue::global().async([task] { answer(task); });
    }
    void cancel(std::shared_ptr<platform::URLSessionTask> task) override {
        deliverError(task, platform::URLError::withCode(platform::URLErrorCode::Cancelled));
    }
    std::size_t started() const { return started_.load(); }

private:
    static void answer(const std::shared_ptr<platform::URLSessionTask>& task) {
        const std::string& url = task->originalRequest().url;
        platform::HTTPURLResponse response;
        response.url = url;
        response.statusCode = 200;
        if (url.find("://down.example.com") != std::string::npos) {
            deliverError(task, platform::URLError::withCode(platform::URLErrorCode::CannotConnectToHost));
            return;
        }
        if (url.find("://media.example.com") == std::string::npos) {
            response.headers["content-type"] = "application/json";
            deliverResponse(task, response, R"({"Authentication":"success"})");
            return;
        }
        std::string path = url.substr(0, url.find_first_of("?#"));
        auto ends = [&](const char* ending) { return path.ends_with(ending); };
        if (path.find("/missing") != std::string::npos) {
            response.statusCode = 404;
            deliverResponse(task, response, "not found");
        } else if (path.find("/empty") != std::string::npos) {
            deliverResponse(task, response, "");
        } else if (path.find("wrong") != std::string::npos) {
            deliverResponse(task, response, pushMediaBytes("wav"));
        } else if (ends(".gif") || ends(".png") || ends(".jpg") || ends(".jpeg")) {
            deliverResponse(task, response, pushMediaBytes("gif"));
        } else if (ends(".wav") || ends(".mp3") || ends(".m4a") || ends(".aif") || ends(".aiff")) {
            deliverResponse(task, response, pushMediaBytes("wav"));
        } else if (ends(".mp4") || ends(".m4v") || ends(".mov") || ends(".mpg") || ends(".mpeg") || ends(".avi")) {
            deliverResponse(task, response, pushMediaBytes("mp4"));
        } else {
            deliverResponse(task, response, pushMediaBytes("other"));
        }
    }
    std::atomic<std::size_t> started_{0};
};

// ---------------------------------------------------------------------------------------------
// Input

struct PushStep {
    enum class Kind {
        Present,           // willPresentNotification
        Background,        // didReceiveRemoteNotificationWithUserInfo
        Fetch,             // didReceiveRemoteNotification (fetch completion)
        Tap,               // didReceiveNotificationResponse
        DataFromUserInfo,  // PushNotificationActionDataFromUserInfo
        DataFromResponse,  // PushNotificationActionDataFromResponse
        ViewID,            // pushPayloadWithPushViewID
        Received,          // setReceivedPushInPreferenceWithNotificationID
        Badge,             // updatePushBadgeNumberWithValue and the badge handler
        Category,          // setUserActionForCategoryName
        Attachment,        // LoadAttachmentWithRequest
        State,             // the application state changes
        Advance,           // the test clock moves on
        Change,            // the payload changes for the steps after
    };
    Kind kind = Kind::Present;
    std::string action;  // Tap, DataFromResponse: the response's action identifier
    Value argument;      // ViewID: the identifier; Received: the id; Badge: the value; Category: the name
    int variant = 0;
    double seconds = 0;
    Value payload;  // Change: the payload from here on
};

struct PushInput {
    Value payload;
    std::string requestID = "push-1";
    bool categoryInInfo = true;  // the host names "qmpush" as its push category
    bool groupInInfo = true;     // the host names an app group
    std::vector<PushStep> steps;
};

namespace push_pools {

inline const std::vector<const char*>& mediaURLs() {
    static const std::vector<const char*> pool{
        "https://media.example.com/pic.gif", "https://media.example.com/sound.wav", "https://media.example.com/clip.mp4",
        "https://media.example.com/photo.jpg?w=100#top", "https://media.example.com/missing.png",
        "https://media.example.com/empty.gif", "https://media.example.com/wrong.gif", "https://down.example.com/pic.gif",
        "https://media.example.com/file.txt", "https://media.example.com/", "https://media.example.com",
        "https://media.example.com/a/..", "https://media.example.com/..%2f..%2fescape.gif",
        "https://media.example.com/%2e%2e", "https://media.example.com/.gif", "https://media.example.com/noending",
        "https://media.example.com/name%00.gif", "https://media.example.com/sp ace.gif",
        "https://media.example.com/\xc3\xa4pfel.gif", "https://media.example.com/dir/", "https://media.example.com/x.GIF",
        "http://media.example.com/pic.gif", "file:///etc/hostname", "/tmp/pic.gif", "media.example.com/pic.gif",
        "not a url", "", "(null)", "https://", "ftp://media.example.com/pic.gif", "javascript:alert(1)"};
    return pool;
}

inline const std::vector<const char*>& mediaTypes() {
    static const std::vector<const char*> pool{"image", "audio", "video", "gif", "IMAGE", "", "(null)", "pdf"};
    return pool;
}

inline const std::vector<const char*>& identifiers() {
    static const std::vector<const char*> pool{"qmpush-cta1", "qmpush-cta2", "qmpush-cta3", "", "QMPUSH-CTA1",
                                               "qmpush-cta1 ", "other", "(null)", "\xff"};
    return pool;
}

inline const std::vector<const char*>& statsURLs() {
    static const std::vector<const char*> pool{"", "(null)", "https://push.quelmar.io/mobile/api/stats",
                                               "https://stats.example.com/s?x=1", "not a url", "javascript:x",
                                               "https://down.example.com/s", "http://[::1", "https://stats.example.com/%zz"};
    return pool;
}

inline const std::vector<const char*>& ids() {
    static const std::vector<const char*> pool{"501", "502", "", "(null)", "0", "-1", "99999999999999999999", "a b",
                                               "\xe2\x80\x8f", "<null>"};
    return pool;
}

inline const std::vector<const char*>& categories() {
    static const std::vector<const char*> pool{"qmpush", "qmpush", "qmpush", "other", "", "QMPUSH", "qmpush ", "(null)"};
    return pool;
}

inline const std::vector<const char*>& topKeys() {
    static const std::vector<const char*> pool{"aps", "qm_data", "other", ""};
    return pool;
}
inline const std::vector<const char*>& apsKeys() {
    static const std::vector<const char*> pool{"alert", "category", "qm_data", "badge", "sound", "mutable-content",
                                               "content-available", "thread-id", ""};
    return pool;
}
inline const std::vector<const char*>& alertKeys() {
    static const std::vector<const char*> pool{"title", "body", "subtitle", "loc-key"};
    return pool;
}
inline const std::vector<const char*>& dataKeys() {
    static const std::vector<const char*> pool{
        "nid",       "sid",         "title",      "stats_url", "target",        "url",    "actionItune", "actionParams",
        "actionExtra", "cta1",      "cta2",       "cta3",      "cta",           "ctaX",   "mediaUrl",    "mediaType",
        "_qm_pu_clid", "journeyInfo", "qm_pushViewID", "mediaurl", ""};
    return pool;
}
inline const std::vector<const char*>& buttonKeys() {
    static const std::vector<const char*> pool{"Identifier", "title", "option", "target", "url", "actionItune",
                                               "actionExtra", "identifier"};
    return pool;
}

}  // namespace push_pools

inline Value pushButton(int which, const char* title, long target, const char* url) {
    return Value{{"Identifier", which == 1 ? "qmpush-cta1" : "qmpush-cta2"},
                 {"title", title},
                 {"option", which == 1 ? 2 : 1},
                 {"target", target},
                 {"url", url},
                 {"actionExtra", Value{{"copy", which == 1 ? "BTN1" : "BTN2"}}}};
}

// The valid pushes the service sends, by kind: 0 plain with a text alert, 1 plain with a
// dictionary alert, 2 with two buttons and parameters, 3 a picture, 4 a sound, 5 a film, 6 a
// foreign push (another category, no library data).
inline constexpr int kPushKinds = 7;
inline Value validPush(int kind) {
    if (kind == 6) return Value{{"aps", Value{{"alert", "Your order shipped"}, {"category", "orders"}}}, {"order", 77}};
    Value data{{"nid", "501"},
               {"sid", "77"},
               {"title", "Spring sale"},
               {"stats_url", ""},
               {"target", 1},
               {"url", "https://www.example.com/sale"}};
    Value alert = kind == 0 ? Value("20% off everything") : Value{{"title", "Spring sale"}, {"body", "20% off"}};
    if (kind == 2) {
        data.set("target", 0);
        data.set("url", "OffersViewController");
        data.set("_qm_pu_clid", "pc-9");
        data.set("actionExtra", Value{{"copy", "SAVE10"}});
        data.set("actionParams", Value::array({Value{{"k", "from"}, {"v", "push"}},
                                               Value{{"k", "item"}, {"v", "7"}, {"ap", "action2"}}}));
        data.set("cta1", pushButton(1, "Open", 2, "otherapp://open"));
        data.set("cta2", pushButton(2, "Offers", 0, "OffersViewController"));
    }
    if (kind >= 3 && kind <= 5) {
        static const char* urls[] = {"https://media.example.com/pic.gif", "https://media.example.com/sound.wav",
                                     "https://media.example.com/clip.mp4"};
        static const char* types[] = {"image", "audio", "video"};
        data.set("mediaUrl", urls[kind - 3]);
        data.set("mediaType", types[kind - 3]);
        data.set("cta1", pushButton(1, "View", 1, "https://www.example.com/view"));
    }
    return Value{{"aps", Value{{"alert", alert}, {"category", "qmpush"}, {"mutable-content", 1}, {"qm_data", data}}}};
}

// A list or dictionary nested `depth` levels deep.
inline Value nested(int depth, bool lists) {
    Value v("bottom");
    for (int i = 0; i < depth; ++i) v = lists ? Value::array({v}) : Value{{"a", v}};
    return v;
}

inline Value hugeText(CampaignBytes& in) {
    static const std::size_t sizes[] = {256, 4096, 65536, 1 << 20};
    const std::size_t size = sizes[in.byte() % std::size(sizes)];
    switch (in.byte() % 3) {
    case 0: return Value(std::string(size, 'x'));
    case 1: return Value("https://media.example.com/" + std::string(size, 'a') + ".gif");
    default: return Value(std::string(size, static_cast<char>(in.byte() | 0x80)));
    }
}

// A value for `key` of a payload: mostly one that key takes, often a wrong one.
inline Value pushValue(CampaignBytes& in, const std::string& key) {
    auto pick = [&](const std::vector<const char*>& pool) { return Value(pool[in.byte() % pool.size()]); };
    const std::uint8_t how = in.byte();
    switch (how % 10) {
    case 0: return fuzzValue(in);
    case 1: return hugeText(in);
    case 2: {
        static const int depths[] = {8, 64, 400, 600};
        return nested(depths[in.byte() % std::size(depths)], in.byte() % 2);
    }
    case 3: return in.byte() % 2 ? Value::null() : fuzzNumber(in);
    default: break;
    }
    if (key == "mediaUrl") return pick(push_pools::mediaURLs());
    if (key == "mediaType") return pick(push_pools::mediaTypes());
    if (key == "Identifier") return pick(push_pools::identifiers());
    if (key == "stats_url") return pick(push_pools::statsURLs());
    if (key == "nid" || key == "sid" || key == "_qm_pu_clid" || key == "qm_pushViewID") return pick(push_pools::ids());
    if (key == "category") return pick(push_pools::categories());
    if (key == "target" || key == "option") return in.byte() % 3 ? Value(in.byte() % 9) : Value(std::to_string(in.byte() % 9));
    if (key == "url") return Value(message_pools::addresses()[in.byte() % message_pools::addresses().size()]);
    if (key.starts_with("cta")) return pushButton(in.byte() % 2 + 1, in.byte() % 4 ? "Go" : "", in.byte() % 8, "x");
    if (key == "actionExtra") return in.byte() % 2 ? Value{{"copy", fuzzText(in)}} : Value{{"dismiss", 1}};
    if (key == "actionParams") {
        Value list = Value::array();
        for (int n = in.byte() % 4; n > 0; --n)
            list.append(Value{{"k", fuzzText(in)}, {"v", fuzzValue(in, 2)}, {"ap", in.byte() % 2 ? "action1" : "action2"}});
        return list;
    }
    if (key == "alert") return in.byte() % 2 ? Value("Hello") : Value{{"title", fuzzText(in)}, {"body", fuzzText(in)}};
    if (key == "qm_data") return validPush(in.byte() % 6)["aps"]["qm_data"];
    return fuzzText(in);
}

// Sets or removes one key somewhere in the payload (levels that are not dictionaries are
// left as they are).
inline void changePayload(CampaignBytes& in, Value& payload) {
    using namespace push_pools;
    auto keyFrom = [&](const std::vector<const char*>& pool) {
        return in.byte() % 8 ? std::string(pool[in.byte() % pool.size()]) : in.text(6);
    };
    // Where: the top, "aps", its alert, "qm_data", a button, a button's or the data's extra.
    std::vector<std::string> path;
    std::string key;
    switch (in.byte() % 12) {
    case 0: key = keyFrom(topKeys()); break;
    case 1:
    case 2: path = {"aps"}; key = keyFrom(apsKeys()); break;
    case 3: path = {"aps", "alert"}; key = keyFrom(alertKeys()); break;
    case 4:
    case 5:
    case 6:
    case 7: path = {"aps", "qm_data"}; key = keyFrom(dataKeys()); break;
    case 8:
    case 9: path = {"aps", "qm_data", in.byte() % 2 ? "cta1" : "cta2"}; key = keyFrom(buttonKeys()); break;
    case 10: path = {"aps", "qm_data", "actionExtra"}; key = in.byte() % 4 ? "copy" : "dismiss"; break;
    default: path = {"aps", "qm_data", "cta1", "actionExtra"}; key = "copy"; break;
    }
    const bool remove = in.byte() % 6 == 0;
    Value value = remove ? Value() : pushValue(in, key);
    std::function<bool(Value&, std::size_t)> apply = [&](Value& at, std::size_t depth) {
        if (!at.isDictionary()) return false;
        if (depth == path.size()) {
            at.set(key, value);
            return true;
        }
        Value child = at[path[depth]];
        if (!apply(child, depth + 1)) return false;
        at.set(path[depth], std::move(child));
        return true;
    };
    apply(payload, 0);
}

inline Value startPayload(CampaignBytes& in, int start) {
    if (start < kPushKinds) return validPush(start);
    // JSON text of a valid push, cut and spliced; what does not parse arrives as text.
    const std::string text = mutateText(in, jsonText(validPush(in.byte() % kPushKinds)));
    if (auto parsed = platform::json::parse(text)) return *parsed;
    return in.byte() % 2 ? Value(text) : Value::dictionary();
}

inline PushInput decodePushInput(std::string_view bytes) {
    PushInput input;
    CampaignBytes in(bytes);
    const std::uint8_t first = in.byte();
    input.payload = startPayload(in, first % (kPushKinds + 1));
    // Most inputs run in a fully set-up app; some without the push category or the app group.
    const std::uint8_t setUp = first / (kPushKinds + 1);
    input.categoryInInfo = setUp % 16 != 15;
    input.groupInInfo = setUp % 16 != 14;
    switch (in.byte() % 8) {
    case 0: input.requestID = ""; break;
    case 1: input.requestID = in.text(40); break;
    default: break;
    }
    for (int n = in.byte() % 8; n > 0 && !in.empty(); --n) changePayload(in, input.payload);

    static const double seconds[] = {0.5, 5, 31, 3600, 86400 * 29.0};
    Value current = input.payload;
    while (!in.empty() && input.steps.size() < 32) {
        PushStep step;
        const std::uint8_t op = in.byte();
        auto action = [&] {
            const std::uint8_t which = in.byte();
            if (which % 4 == 0) return std::string(platform::kNotificationDefaultActionIdentifier);
            if (which % 8 == 1) return std::string(platform::kNotificationDismissActionIdentifier);
            if (which % 8 == 3) return in.text(12);
            return std::string(push_pools::identifiers()[which % push_pools::identifiers().size()]);
        };
        switch (op % 16) {
        case 0: step.kind = PushStep::Kind::Present; break;
        case 1: step.kind = PushStep::Kind::Background; break;
        case 2: step.kind = PushStep::Kind::Fetch; step.variant = in.byte(); break;
        case 3:
        case 4: step.kind = PushStep::Kind::Tap; step.action = action(); break;
        case 5: step.kind = PushStep::Kind::DataFromUserInfo; break;
        case 6: step.kind = PushStep::Kind::DataFromResponse; step.action = action(); step.variant = in.byte(); break;
        case 7:
            step.kind = PushStep::Kind::ViewID;
            step.argument = in.byte() % 3 ? Value(input.requestID) : fuzzValue(in);
            break;
        case 8:
            step.kind = PushStep::Kind::Received;
            step.argument = in.byte() % 3 ? current["aps"]["qm_data"]["nid"] : fuzzValue(in);
            break;
        case 9: {
            step.kind = PushStep::Kind::Badge;
            step.variant = in.byte();
            static const long values[] = {0, 1, 2, 3, -1, std::numeric_limits<long>::min(), std::numeric_limits<long>::max()};
            step.argument = Value(static_cast<long long>(values[in.byte() % std::size(values)]));
            break;
        }
        case 10:
            step.kind = PushStep::Kind::Category;
            step.argument = in.byte() % 3 ? current["aps"]["category"] : fuzzValue(in);
            step.variant = in.byte();
            break;
        case 11:
        case 12: step.kind = PushStep::Kind::Attachment; step.variant = in.byte(); break;
        case 13: step.kind = PushStep::Kind::State; step.variant = in.byte() % 3; break;
        case 14: step.kind = PushStep::Kind::Advance; step.seconds = seconds[in.byte() % std::size(seconds)]; break;
        default:
            step.kind = PushStep::Kind::Change;
            changePayload(in, current);
            step.payload = current;
            break;
        }
        input.steps.push_back(std::move(step));
    }
    return input;
}

// ---------------------------------------------------------------------------------------------
// Running

// How often the completions handed to the library were called, one entry per handing.
struct PushRun {
    std::vector<int> contentHandlerCalls;  // LoadAttachmentWithRequest
    std::vector<int> presentationCalls;    // willPresentNotification
    std::vector<int> fetchCalls;           // didReceiveRemoteNotification
    std::vector<int> clickDataCalls;       // PushNotificationActionDataFromResponse
    std::size_t attached = 0;              // contents delivered with a media attachment
    std::vector<std::string> faults;       // what went wrong, for the report

    bool allOnce() const { return faults.empty(); }
};

namespace detail {

struct Counter {
    std::atomic<int> calls{0};
    std::atomic<bool> attached{false};
    std::atomic<bool> unmarked{false};  // a library push delivered without its view id or badge
};

// Whether the extension's entry must mark this push: the library's category, its data, a view
// id to mark it with, and an app group to count the badge in.
inline bool extensionMarks(const Value& payload, const std::string& requestID, bool groupInInfo) {
    const Value& aps = payload["aps"];
    return groupInInfo && aps.isDictionary() && aps["category"].description() == "qmpush" &&
           aps["qm_data"].isDictionary() && !requestID.empty();
}

inline bool markedAsItShouldBe(const std::shared_ptr<platform::NotificationContent>& content, const std::string& requestID) {
    return content && content->userInfo["aps"]["qm_data"]["qm_pushViewID"] == Value(requestID) &&
           content->badge.isNumber() && content->badge.integerValue() > 0;
}

inline std::shared_ptr<platform::UserNotification> notificationFor(const Value& payload, const std::string& requestID) {
    platform::NotificationContent content;
    content.title = "Spring sale";
    content.body = "20% off";
    content.categoryIdentifier = payload["aps"]["category"].isString() ? payload["aps"]["category"].string() : "";
    content.userInfo = payload;
    return std::make_shared<platform::UserNotification>(
        platform::Clock::currentDate(), platform::UserNotificationRequest::requestWithIdentifier(requestID, content));
}

inline Value infoFor(const PushInput& input) {
    Value info = platform::Bundle::main().infoDictionary();
    if (input.categoryInInfo) info.set("qmPushCategory", "qmpush"); else info.remove("qmPushCategory");
    if (input.groupInInfo) info.set("qmAppGroupKey", "group.com.example.fuzz"); else info.remove("qmAppGroupKey");
    return info;
}

}  // namespace detail

// Needs a started library on `host` whose Info.plist names the push category and the app group
// (see setUpPushApp); puts the set-up back, clears what the steps stored and leaves the
// application active, so that memory stays bounded over a long run.
inline PushRun exercisePush(testkit::TestHost& host, const PushInput& input) {
    namespace pf = platform;
    PushRun run;
    std::vector<std::shared_ptr<detail::Counter>> handlers, presentations, fetches, clickData;
    auto counter = [](std::vector<std::shared_ptr<detail::Counter>>& list) {
        list.push_back(std::make_shared<detail::Counter>());
        return list.back();
    };
    const bool fullSetUp = input.categoryInInfo && input.groupInInfo;
    const Value info = pf::Bundle::main().infoDictionary();
    if (!fullSetUp) host.writeInfo(detail::infoFor(input));

    Value payload = input.payload;
    for (const PushStep& step : input.steps) {
        const auto notification = detail::notificationFor(payload, input.requestID);
        switch (step.kind) {
        case PushStep::Kind::Present: {
            auto count = counter(presentations);
            quelmar::willPresentNotification(notification, [count](unsigned long) { count->calls.fetch_add(1); });
            break;
        }
        case PushStep::Kind::Background: quelmar::didReceiveRemoteNotificationWithUserInfo(payload); break;
        case PushStep::Kind::Fetch:
            if (step.variant % 4 == 0) {
                quelmar::didReceiveRemoteNotification(payload, {});
            } else {
                auto count = counter(fetches);
                quelmar::didReceiveRemoteNotification(payload, [count](unsigned long) { count->calls.fetch_add(1); });
            }
            break;
        case PushStep::Kind::Tap:
            quelmar::didReceiveNotificationResponse(std::make_shared<pf::UserNotificationResponse>(notification, step.action));
            break;
        case PushStep::Kind::DataFromUserInfo: (void)quelmar::PushNotificationActionDataFromUserInfo(payload); break;
        case PushStep::Kind::DataFromResponse: {
            const auto response = step.variant % 8 == 7 ? nullptr
                                                        : std::make_shared<pf::UserNotificationResponse>(notification, step.action);
            if (step.variant % 4 == 3) {
                quelmar::PushNotificationActionDataFromResponse(response, step.variant % 2, {});
            } else {
                auto count = counter(clickData);
                quelmar::PushNotificationActionDataFromResponse(response, step.variant % 2,
                                                                [count](const Value&) { count->calls.fetch_add(1); });
            }
            break;
        }
        case PushStep::Kind::ViewID: (void)quelmar::sharedInstance().pushPayloadWithPushViewID(payload, step.argument); break;
        case PushStep::Kind::Received:
            quelmar::sharedInstance().setReceivedPushInPreferenceWithNotificationID(step.argument, "com.example.fuzz");
            break;
        case PushStep::Kind::Badge: {
            auto& badge = QMSDKPushBadgeHandler::sharedInstance();
            switch (step.variant % 4) {
            case 0: quelmar::updatePushBadgeNumberWithValue(static_cast<long>(step.argument.integerValue())); break;
            case 1: (void)badge.qmGetCurrentPushBadgeNumberCount(); break;
            case 2: badge.qmUpdatePushNottificationBadgeCountNumberOnPushClick(); break;
            default: badge.qmClearPushNottificationBadgeCountNumber(); break;
            }
            break;
        }
        case PushStep::Kind::Category: {
            // As the extension does it: on an engine of its own.
            auto own = std::make_shared<qmInternalProcessClass>();
            own->setUserActionForCategoryName(step.argument, step.variant % 3 ? payload["aps"]["qm_data"] : payload);
            break;
        }
        case PushStep::Kind::Attachment: {
            const auto& request = notification->request();
            std::shared_ptr<pf::MutableNotificationContent> best =
                step.variant % 16 == 15 ? nullptr : request->content()->mutableCopy();
            if (step.variant % 8 == 7) {
                quelmar::LoadAttachmentWithRequest(request, best, {});
            } else {
                auto count = counter(handlers);
                const bool marks = best && detail::extensionMarks(payload, input.requestID, input.groupInInfo);
                const std::string id = input.requestID;
                quelmar::LoadAttachmentWithRequest(
                    request, best, [count, marks, id](const std::shared_ptr<pf::NotificationContent>& c) {
                        if (c && !c->attachments.empty()) count->attached.store(true);
                        if (marks && !detail::markedAsItShouldBe(c, id)) count->unmarked.store(true);
                        count->calls.fetch_add(1);
                    });
            }
            break;
        }
        case PushStep::Kind::State: {
            static const pf::ApplicationState states[] = {pf::ApplicationState::Active, pf::ApplicationState::Inactive,
                                                          pf::ApplicationState::Background};
            pf::Application::shared().setApplicationState(states[step.variant % 3]);
            break;
        }
        case PushStep::Kind::Advance: host.advance(step.seconds); break;
        case PushStep::Kind::Change: payload = step.payload; break;
        }
        host.runUntilIdle(5);
    }

    // The work settles: every completion called (downloads answer at once here), the file
    // queue and the main queue drained, and then once more in case a second call was on its way.
    auto allCalled = [&] {
        for (const auto* list : {&handlers, &presentations, &fetches, &clickData})
            for (const auto& c : *list)
                if (c->calls.load() == 0) return false;
        return true;
    };
    host.runUntil(allCalled, 15);
    for (int round = 0; round < 2; ++round) {
        QMSDKDataStore::qmFinishPendingFileWork(10);
        host.advance(1);
        host.runUntilIdle(5);
    }
    auto collect = [&](const std::vector<std::shared_ptr<detail::Counter>>& list, std::vector<int>& into, const char* what) {
        for (std::size_t i = 0; i < list.size(); ++i) {
            const int calls = list[i]->calls.load();
            into.push_back(calls);
            if (list[i]->attached.load()) ++run.attached;
            if (calls != 1)
                run.faults.push_back(std::string(what) + " #" + std::to_string(i) + " called " + std::to_string(calls) + " times");
            if (list[i]->unmarked.load())
                run.faults.push_back(std::string(what) + " #" + std::to_string(i) + " got a library push without its view id or badge");
        }
    };
    collect(handlers, run.contentHandlerCalls, "LoadAttachmentWithRequest's content handler");
    collect(presentations, run.presentationCalls, "willPresentNotification's completion");
    collect(fetches, run.fetchCalls, "didReceiveRemoteNotification's completion");
    collect(clickData, run.clickDataCalls, "PushNotificationActionDataFromResponse's handler");

    // Back to the set-up the next input starts from.
    if (!fullSetUp) host.writeInfo(info);
    pf::Application::shared().setApplicationState(pf::ApplicationState::Active);
    QMRuntime::shared().setContainer("_qmReadPushNotifications", Value::array());
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    // The count is absent or not 0 (one click on a count of 1 leaves -1, the platform's "none").
    const Value badge = prefs.qmObjectForKey(QMSDKPushBadgeHandler::kBadgeCountKey, QMStore::AppGroup);
    if (badge && !badge.isNull() && badge.integerValue() == 0) run.faults.push_back("a stored badge count of 0");
    for (const char* key : {"qm_ReadPushNotifications"}) prefs.qmRemoveObjectForKey(Value(key), QMStore::Library);
    for (const char* key : {"qm_receivedPushNotificationIds", "qm_PushBadgeCountNumber", "qm_shouldResetCenterDataOnNewPush"})
        prefs.qmRemoveObjectForKey(Value(key), QMStore::AppGroup);
    pf::UserNotificationCenter::current().removeAllDeliveredNotifications();
    pf::UserNotificationCenter::current().setNotificationCategories({});
    QMSDKDataStore::qmFinishPendingFileWork(10);
    host.runUntilIdle(5);
    host.clearLog();
    // Attached media stay where the extension moved them (on a phone the system takes them
    // over when it shows the push); downloads are all done by now.
    const std::string tmp = pf::Sandbox::temporaryDirectory();
    for (const auto& name : pf::Files::contentsOfDirectory(tmp))
        if (name.starts_with("qm-download-")) pf::Files::removeItem(tmp + "/" + name);
    return run;
}

// The host the fuzzer and the replay test run in: the push category and an app group named in
// the Info.plist, the media served by PushTransport and read by PushMediaProbe.
inline testkit::TestHost::Options pushHostOptions(const std::shared_ptr<PushTransport>& transport) {
    testkit::TestHost::Options options;
    options.transport = transport;
    options.info.set("qmPushCategory", "qmpush");
    options.info.set("qmAppGroupKey", "group.com.example.fuzz");
    return options;
}

}  // namespace qm::fuzz
