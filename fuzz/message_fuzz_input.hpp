// What a campaign's page posts, for the script-message fuzzer and the test that replays what it
// kept. An input is decoded into a receiver and a list of steps:
//   first byte: the receiver: a popup showing an HTML campaign (centre, full screen, sticky
//     bars), the survey in a modal (template 101) or the full-screen survey (template 102);
//   then steps, each led by one byte: a message (one of the page's eight names, now and then
//     an unknown one or arbitrary bytes) with a body steered by the following bytes (valid
//     bodies, JSON-ish mutations of them, nested "tokens" text, addresses, heights, huge and
//     deeply nested texts, numbers, lists, null, or an object posted as such), the campaign
//     closed (by its close button, its animation, at once), the test clock moved on, the page's
//     process stopped, or the campaign shown again.
// exerciseMessages shows the campaign on the scripted web engine, keeps its view and page alive
// (so that messages after a close still reach the receiver, as they do while a closing view
// animates away), runs the steps on the main run loop and the test clock, then leaves the
// in-app state as it found it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "campaign_fuzz_input.hpp"
#include "inapp/qmInAppScriptBridge.hpp"
#include "inapp/qmInAppSurveyModal.hpp"
#include "qmweb/web_view.hpp"

namespace qm::fuzz {

struct MessageStep {
    enum class Kind { Post, Close, Advance, Crash, ShowAgain };
    Kind kind = Kind::Post;
    std::string name;
    Value body;
    int variant = 0;  // which close
    double seconds = 0;
};

struct MessageInput {
    long templateID = 3;
    std::vector<MessageStep> steps;
};

namespace message_pools {

inline const std::vector<const char*>& names() {
    static const std::vector<const char*> pool{"surveyAttempt",   "surveySubmit", "qmOpenWeb",       "qmOpenThirdPartyApp",
                                               "qmInAppCall",     "qmOpenInApp",  "qmResizeWebView", "qmStopShowAgain"};
    return pool;
}

// Names a page might also try: near misses of the real ones.
inline const std::vector<const char*>& otherNames() {
    static const std::vector<const char*> pool{"", "qmopenweb", "qmOpenWeb ", "surveyattempt", "qmStopShowAgain\n",
                                               "qmResizeWebView2", "postMessage", "__proto__", "\xff\xfe"};
    return pool;
}

inline const std::vector<const char*>& keys() {
    static const std::vector<const char*> pool{"notificationID", "tokens", "url", "height", "q1", "rating",
                                               "answers", "", "notificationid", "tokens ", "__proto__"};
    return pool;
}

inline const std::vector<const char*>& addresses() {
    static const std::vector<const char*> pool{
        "https://www.example.com/sale?code=A1&x=%20", "example.com", "http://shop.example.co.uk/a/b",
        "https://localhost/path", "ftp://example.com", "javascript:alert(1)", "https://example.com/a b",
        "https://ex\xc3\xa4mple.com", "https://a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a!",
        "qminapp://Offers?id=7&src=banner", "qminapp://Offers?flag", "qminapp://?=&==&a=b=c&&", "qminapp://",
        "qminapp://Offers?%zz=%00", "shopapp://cart", "telprompt:5551234", "5551234", "+1 (555) 123-4567",
        "tel:", "https://", "www.", "a.bc", "https://www.example.com/thankYou?notificationid=41"};
    return pool;
}

// Pieces a mutation drops into JSON text.
inline const std::vector<const char*>& splinters() {
    static const std::vector<const char*> pool{"{", "}", "[", "]", "\"", ":", ",", "\\", "\\u", "\\ud800", "null",
                                               "true", "1e999", "-0", "NaN", "\x00", "\xff", "\xc3", " ", "\"tokens\":",
                                               "\"notificationID\":", "\"{\\\"a\\\":1}\"", "0x10", "99999999999999999999"};
    return pool;
}

}  // namespace message_pools

// Well-formed bodies for each name, as the campaign's scripts post them (the campaign's id
// where one is needed).
inline std::string validMessageBody(const std::string& name, const std::string& id) {
    if (name == "surveyAttempt" || name == "surveySubmit")
        return R"({"q1":"yes","rating":4,"tokens":"{\"name\":\"Ann\",\"points\":\"150\"}"})";
    if (name == "qmOpenWeb") return "https://www.example.com/sale?code=A1";
    if (name == "qmOpenThirdPartyApp") return "shopapp://cart";
    if (name == "qmInAppCall") return "5551234";
    if (name == "qmOpenInApp") return "qminapp://Offers?id=7&src=banner";
    return R"({"notificationID":")" + id + R"("})";
}

inline std::string mutateText(CampaignBytes& in, std::string text) {
    const auto& pieces = message_pools::splinters();
    for (int n = in.byte() % 6 + 1; n > 0 && !in.empty(); --n) {
        const std::size_t at = in.byte() % (text.size() + 1);
        switch (in.byte() % 5) {
        case 0: text.insert(at, pieces[in.byte() % pieces.size()]); break;
        case 1: text.erase(at, in.byte() % 8); break;
        case 2: text.resize(at); break;
        case 3: text.insert(at, text.substr(at, in.byte() % 32)); break;
        default: text.insert(at, in.text(8)); break;
        }
    }
    return text;
}

inline std::string jsonText(const Value& value) {
    const auto text = platform::json::write(value);
    return text ? *text : value.description();
}

// A dictionary of the keys pages use, with values of any kind; "tokens" often JSON text of
// another such dictionary.
inline Value messageDictionary(CampaignBytes& in, const std::string& id, int depth = 0) {
    Value dict = Value::dictionary();
    const auto& keys = message_pools::keys();
    if (in.byte() % 2) dict.set("notificationID", in.byte() % 3 ? Value(id) : fuzzValue(in, 2));
    for (int n = in.byte() % 5; n > 0 && !in.empty(); --n) {
        const std::string key = in.byte() % 4 ? keys[in.byte() % keys.size()] : in.text(8);
        if (key == "tokens" && depth < 3) {
            switch (in.byte() % 4) {
            case 0: dict.set(key, Value(jsonText(messageDictionary(in, id, depth + 1)))); break;
            case 1: dict.set(key, messageDictionary(in, id, depth + 1)); break;
            case 2: dict.set(key, Value(mutateText(in, R"({"name":"Ann"})"))); break;
            default: dict.set(key, fuzzValue(in, 1)); break;
            }
        } else if (key == "url") {
            dict.set(key, Value(message_pools::addresses()[in.byte() % message_pools::addresses().size()]));
        } else {
            dict.set(key, fuzzValue(in, 1));
        }
    }
    return dict;
}

// Bodies at and past the length a page may post, and nestings deeper than readers take.
inline Value hugeBody(CampaignBytes& in, const std::string& id) {
    static const std::size_t sizes[] = {inapp::kMaxScriptMessageBody - 1, inapp::kMaxScriptMessageBody,
                                        inapp::kMaxScriptMessageBody + 1, 3 * inapp::kMaxScriptMessageBody, 4096};
    const std::size_t size = sizes[in.byte() % std::size(sizes)];
    switch (in.byte() % 5) {
    case 0: {
        std::string text = R"({"notificationID":")" + id + R"(","pad":")";
        const std::string end = "\"}";
        text.append(size > text.size() + end.size() ? size - text.size() - end.size() : 0, 'x');
        return Value(text + end);
    }
    case 1: return Value(std::string(size / 2, '[') + std::string(size / 2, ']'));
    case 2: {
        std::string inner;
        while (inner.size() + 16 < size) inner += "{\\\"a\\\":";
        return Value(R"({"tokens":")" + inner + "1" + R"("})");
    }
    case 3: {
        Value many = Value::dictionary();
        for (std::size_t i = 0; i * 12 < size && i < 2000; ++i) many.set("k" + std::to_string(i), Value(static_cast<long long>(i)));
        return in.byte() % 2 ? many : Value(jsonText(many));
    }
    default: return Value(std::string(size, static_cast<char>(in.byte() | 0x80)));
    }
}

inline Value messageBody(CampaignBytes& in, const std::string& name, const std::string& id) {
    const std::string valid = validMessageBody(name, in.byte() % 5 ? id : std::to_string(in.byte()));
    switch (in.byte() % 14) {
    case 0:
    case 1: return Value(valid);
    case 2: return platform::json::parse(valid).value_or(Value(valid));  // an object posted as such
    case 3:
    case 4: return Value(mutateText(in, valid));
    case 5: return Value(jsonText(messageDictionary(in, id)));
    case 6: return messageDictionary(in, id);
    case 7: return Value(mutateText(in, jsonText(messageDictionary(in, id))));
    case 8: return Value(message_pools::addresses()[in.byte() % message_pools::addresses().size()]);
    case 9: return hugeBody(in, id);
    case 10: return fuzzNumber(in);
    case 11: {
        Value list = Value::array();
        for (int n = in.byte() % 4; n > 0; --n) list.append(in.byte() % 2 ? messageDictionary(in, id) : fuzzValue(in, 1));
        return list;
    }
    case 12: return in.byte() % 2 ? Value::null() : Value();
    default: return in.byte() % 2 ? Value(in.text(48)) : fuzzValue(in);
    }
}

// The receivers: popups of HTML campaigns (centre, full screen, sticky bar), the survey in a
// modal, the full-screen survey.
inline const std::vector<long>& messageReceivers() {
    static const std::vector<long> templates{3, 4, 5, 6, 8, 101, 102};
    return templates;
}

inline std::string campaignIDFor(long templateID) {
    return templateID == 101 ? "41" : templateID == 102 ? "51" : "31";
}

inline MessageInput decodeMessageInput(std::string_view bytes) {
    MessageInput input;
    CampaignBytes in(bytes);
    input.templateID = messageReceivers()[in.byte() % messageReceivers().size()];
    const std::string id = campaignIDFor(input.templateID);
    static const double steps[] = {0.1, 0.5, 1, 2.5, 10, 90};
    while (!in.empty() && input.steps.size() < 48) {
        const std::uint8_t op = in.byte();
        MessageStep step;
        if (op % 16 < 11) {
            const std::uint8_t which = in.byte();
            if (which < 232) {
                step.name = message_pools::names()[which % message_pools::names().size()];
            } else if (which < 244) {
                step.name = message_pools::otherNames()[which % message_pools::otherNames().size()];
            } else {
                step.name = in.text(16);
            }
            step.body = messageBody(in, step.name, id);
        } else if (op % 16 == 11) {
            step.kind = MessageStep::Kind::Close;
            step.variant = in.byte();
        } else if (op % 16 < 14) {
            step.kind = MessageStep::Kind::Advance;
            step.seconds = steps[in.byte() % std::size(steps)];
        } else if (op % 16 == 14) {
            step.kind = MessageStep::Kind::Crash;
        } else {
            step.kind = MessageStep::Kind::ShowAgain;
        }
        input.steps.push_back(std::move(step));
    }
    return input;
}

inline Value messageCampaign(long templateID) {
    Value record{{"notificationID", campaignIDFor(templateID)},
                 {"template", templateID},
                 {"description", "<p>Hi [[name]], rate us</p><form><input name='q1'></form>"},
                 {"pageUrls", Value::array({"HomeVC"})},
                 {"noOfTimesPerUser", 9},
                 {"noOfTimesPerAL", 9},
                 {"repeat_click", 2},
                 {"close_btn", 1},
                 {"bgColor", "#ffffff"}};
    if (templateID == 101) record.set("height", 50);
    return record;
}

// The web engine's answers the receivers ask for (content heights, the survey's page).
inline void scriptMessagePages(testkit::TestHost& host) {
    auto& engine = host.webEngine();
    engine.onEvaluate(testkit::TextMatch::contains("scrollHeight"), Value(200));
    engine.onEvaluate(testkit::TextMatch::contains("innerHTML"), Value("<form>Rate us</form>"));
    engine.onEvaluate(testkit::TextMatch::contains("offsetHeight"), Value(300));
}

// Needs a started library with its settings applied and a key window whose root view is
// `root` (see campaign_fuzz_input.hpp); leaves no campaign on screen and the in-app state
// cleared, so that memory stays bounded over a long run.
// What reached the receiver's page: messages the page posted, and of those the ones posted
// after a close (while its view was away).
struct MessageRun {
    std::size_t delivered = 0;
    std::size_t deliveredAfterClose = 0;
};

inline MessageRun exerciseMessages(testkit::TestHost& host, const MessageInput& input,
                                   const std::shared_ptr<platform::View>& root) {
    MessageRun run;
    auto& engine = host.webEngine();
    auto settle = [&](double seconds) {
        host.runUntilIdle(5);
        if (seconds > 0) {
            host.advance(seconds);
            host.runUntilIdle(5);
        }
    };
    const Value record = messageCampaign(input.templateID);
    const long tag = static_cast<long>(record["notificationID"].integerValue());

    // The receiver and its page, held across closes as a view animating away holds them.
    std::shared_ptr<qmInAppPopupView> popup;
    std::shared_ptr<platform::View> panel;
    std::shared_ptr<platform::WebView> web;
    std::optional<std::size_t> page;
    auto onScreen = [&] {
        return popup ? popup->superview() != nullptr : panel && panel->superview() != nullptr;
    };
    auto show = [&] {
        const std::size_t before = engine.pageCount();
        popup = inapp::qmBuildCampaignView(input.templateID, record, true);
        if (input.templateID == 101) {
            const auto survey = inapp::qmCurrentModalSurvey();
            panel = survey.panel;
            web = survey.webView;
        } else {
            web = popup ? popup->qmInAppPopupWebView : nullptr;
        }
        settle(0.5);
        page = engine.pageCount() > before ? std::optional<std::size_t>(before) : std::nullopt;
    };
    show();

    for (const MessageStep& step : input.steps) {
        switch (step.kind) {
        case MessageStep::Kind::Post:
            if (page && engine.postMessage(step.name, step.body, page)) {
                ++run.delivered;
                if (!onScreen()) ++run.deliveredAfterClose;
            }
            host.runUntilIdle(5);
            break;
        case MessageStep::Kind::Close:
            if (popup) {
                switch (step.variant % 3) {
                case 0: popup->qmCloseBtnAction(); break;
                case 1: popup->qmInAppPopupAnimateOut(); break;
                default: popup->qmInAppPopupViewCloseNow(); break;
                }
            } else if (step.variant % 2) {
                inapp::qmRemoveModalSurveyFromSuperViewForTagValue(tag);
            } else {
                inapp::qmDismissModalSurvey();
            }
            host.runUntilIdle(5);
            break;
        case MessageStep::Kind::Advance: settle(step.seconds); break;
        case MessageStep::Kind::Crash:
            if (page) engine.crash("the page stopped", page);
            host.runUntilIdle(5);
            break;
        case MessageStep::Kind::ShowAgain:
            if (popup) popup->qmInAppPopupViewCloseNow();
            inapp::qmDismissModalSurvey();
            show();
            break;
        }
    }
    settle(1);

    for (const auto& shown : campaignPopups(root)) shown->qmInAppPopupViewCloseNow();
    inapp::qmDismissModalSurvey();
    popup.reset();
    panel.reset();
    web.reset();
    quelmar::StopInAppNotifications();
    QMRuntime::shared().updateContainer("qmRestictInAppforThisSession", [](Value& list) { list = Value::array(); });
    QMRuntime::shared().updateContainer("qmRestictSurveyCrossBtnforSession", [](Value& list) { list = Value::array(); });
    QMSDKUserDefaultsData::sharedInstance().qmClearAllSDKPreferencesDataIntoUserDefaultsType(QMStore::Library);
    settle(0);
    host.clearLog();
    return run;
}

}  // namespace qm::fuzz
