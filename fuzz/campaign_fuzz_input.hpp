// Campaign records for the in-app fuzzer and the test that replays what it found. An input is
// decoded into the stored campaign file (the settings answer's "banner" data), the user tokens
// and custom rule an app passes to Show, and a few choices (launch count, scroll offset, taps):
//   first byte even: the rest is JSON text: a list of campaign records, one record, or the
//     whole stored object (with optional "tokens" and "rules" beside "notifications");
//   first byte odd: the bytes steer changes to realistic records (wrong types, nulls, huge
//     and non-finite numbers, odd colour and version texts, garbage nested in rules, tokens
//     and extras, every template id and unknown ones).
// exerciseCampaigns stores the file as the settings fetch does, runs Show, moves the test clock
// so delayed displays, entrances and close buttons happen, scrolls, then hands every record to
// every view builder and taps what they put on screen.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppPresentation.hpp"
#include "qmplatform/json.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"

namespace qm::fuzz {

struct CampaignInput {
    Value stored;  // what the campaign file holds
    Value tokens;
    Value rules;
    long long appLaunches = 1;
    double scrollOffset = 0;
    std::string taps;  // one byte per popup on screen: which control it gets
    bool track = true;
};

class CampaignBytes {
public:
    explicit CampaignBytes(std::string_view bytes) : bytes_(bytes) {}
    bool empty() const { return at_ >= bytes_.size(); }
    std::uint8_t byte() { return empty() ? 0 : static_cast<std::uint8_t>(bytes_[at_++]); }
    std::string text(std::size_t most) {
        // The length byte is read first: arguments of one call are evaluated in no set order.
        const std::size_t want = byte() % (most + 1);
        const std::size_t n = std::min<std::size_t>(want, bytes_.size() - std::min(at_, bytes_.size()));
        std::string out(bytes_.substr(at_, n));
        at_ += n;
        return out;
    }
    std::string rest() { return empty() ? std::string() : std::string(bytes_.substr(std::exchange(at_, bytes_.size()))); }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

namespace campaign_pools {

inline const std::vector<const char*>& texts() {
    static const std::vector<const char*> pool{
        "", "#", "#fff", "#ffffff", "#FF000080", "#gggggg", "#1234567890abcdef", "rgba(1,2,3)",
        "rgba(255,0,0,0.5)", "rgba(999,-1,nan,2)", "rgba(,,,)", "rgba(1e999,1,1,1)", "rgb(1,2,3)", "transparent",
        "1.0", "10.2", "9.3", "..", "1..2", "-1.2", "1.-2", "99999999999999999999999.1", "0000000000001", "a.b",
        "1.0-beta", "[[name]]", "[[", "]]", "[[]]", "%@", "%s%n%d", "YES", "true", "0", "-0", "nan", "1e309",
        "2024-02-30", "0000-00-00", "https://example.com/x?a=[[name]]", "javascript:alert(1)", "<script>x</script>",
        "HomeVC", "\xff\xfe", "\xe2\x80\x8f"};
    return pool;
}

inline const std::vector<const char*>& keys() {
    static const std::vector<const char*> pool{
        "notificationID", "template", "pageUrls", "pageUrlCond", "noOfTimesPerUser", "noOfTimesPerAL", "appLaunches",
        "customRule", "customRuleGC", "os_version", "app_version", "dynamicTokens", "hideTokens", "description",
        "timeDelayPage", "scroll", "repeat_close", "repeat_click", "bgColor", "ctaColor", "ctaBgColor", "close_btn",
        "qmShowCloseBtn", "qmShowCloseBtntimeDelay", "actionText", "actionTextTwo", "ctaTemplate", "animation", "pos",
        "actionExtra", "actionExtraTwo", "actionTarget", "actionTargetTwo", "actionUrl", "actionUrlTwo",
        "actionParams", "actionParamsTwo", "actionItune", "qm_sdkSurveyTmpUserTokens", "surveyUrl"};
    return pool;
}

inline const std::vector<const char*>& ruleKeys() {
    static const std::vector<const char*> pool{"name", "points", "member", "tier", "signup", "", "[[name]]"};
    return pool;
}

}  // namespace campaign_pools

inline Value fuzzNumber(CampaignBytes& in) {
    switch (in.byte() % 12) {
    case 0: return Value(std::numeric_limits<long long>::max());
    case 1: return Value(std::numeric_limits<long long>::min());
    case 2: return Value(std::numeric_limits<unsigned long long>::max());
    case 3: return Value(std::numeric_limits<double>::quiet_NaN());
    case 4: return Value(std::numeric_limits<double>::infinity());
    case 5: return Value(-std::numeric_limits<double>::infinity());
    case 6: return Value(1e308);
    case 7: return Value(-1e308);
    case 8: return Value(-0.0);
    case 9: return Value(static_cast<double>(static_cast<std::int8_t>(in.byte())) / 4);
    case 10: return Value(static_cast<long long>(in.byte()) << (in.byte() % 56));
    default: return Value(static_cast<int>(static_cast<std::int8_t>(in.byte())));
    }
}

inline Value fuzzText(CampaignBytes& in) {
    const auto& pool = campaign_pools::texts();
    if (in.byte() % 3 == 0) return Value(in.text(24));
    return Value(pool[in.byte() % pool.size()]);
}

inline Value fuzzValue(CampaignBytes& in, int depth = 0) {
    switch (in.byte() % 11) {
    case 0: return Value::null();
    case 1: return Value();
    case 2: return Value(in.byte() % 2 == 0);
    case 3:
    case 4: return fuzzNumber(in);
    case 5:
    case 6: return fuzzText(in);
    case 7: return Value(Date{static_cast<double>(static_cast<std::int8_t>(in.byte())) * 1e7});
    case 8:
        if (depth < 3) {
            Value list = Value::array();
            for (int n = in.byte() % 4; n > 0; --n) list.append(fuzzValue(in, depth + 1));
            return list;
        }
        return Value::array();
    default:
        if (depth < 3) {
            Value dict = Value::dictionary();
            const auto& keys = campaign_pools::keys();
            for (int n = in.byte() % 4; n > 0; --n) {
                const std::uint8_t k = in.byte();
                dict.set(k % 2 ? std::string(keys[k % keys.size()]) : in.text(8), fuzzValue(in, depth + 1));
            }
            return dict;
        }
        return Value::dictionary();
    }
}

inline Value fuzzCondition(CampaignBytes& in) {
    if (in.byte() % 5 == 0) return fuzzValue(in, 1);
    const auto& keys = campaign_pools::ruleKeys();
    Value c{{"e", keys[in.byte() % keys.size()]},
            {"d", static_cast<int>(in.byte() % 7) - 1},
            {"c", static_cast<int>(in.byte() % 8) - 1},
            {"v", in.byte() % 2 ? fuzzText(in) : fuzzValue(in, 2)}};
    if (in.byte() % 4 == 0) c.set(in.byte() % 2 ? "e" : "d", fuzzValue(in, 2));
    return c;
}

inline Value fuzzRanges(CampaignBytes& in) {
    if (in.byte() % 5 == 0) return fuzzValue(in, 1);
    Value list = Value::array();
    for (int n = in.byte() % 3 + 1; n > 0; --n) {
        Value range = Value::dictionary();
        if (in.byte() % 4) range.set("d", in.byte() % 3 ? fuzzText(in) : fuzzValue(in, 2));
        if (in.byte() % 4) range.set("e", in.byte() % 3 ? fuzzText(in) : fuzzValue(in, 2));
        list.append(in.byte() % 6 ? range : fuzzValue(in, 2));
    }
    return list;
}

inline Value realisticCampaign(int index) {
    return Value{{"notificationID", std::to_string(100 + index)},
                 {"template", 3},
                 {"description", "<p>Hi [[name]], [[points]] points</p>"},
                 {"pageUrls", Value::array({"HomeVC"})},
                 {"pageUrlCond", 0},
                 {"noOfTimesPerUser", 5},
                 {"noOfTimesPerAL", 5},
                 {"appLaunches", 1},
                 {"customRule", Value::array({Value{{"e", "points"}, {"d", 1}, {"c", 2}, {"v", 100}}})},
                 {"customRuleGC", 0},
                 {"os_version", Value::array({Value{{"d", "0"}, {"e", "999"}}})},
                 {"app_version", Value::array({Value{{"d", "1.0"}, {"e", "2.0"}}})},
                 {"dynamicTokens", Value{{"name", "friend"}, {"points", "0"}}},
                 {"hideTokens", 0},
                 {"timeDelayPage", 0},
                 {"scroll", 0},
                 {"repeat_close", 1},
                 {"repeat_click", 501},
                 {"bgColor", "#ffffff"},
                 {"ctaColor", "#000000"},
                 {"ctaBgColor", "rgba(0,0,0,0.5)"},
                 {"close_btn", 1},
                 {"qmShowCloseBtn", 1},
                 {"qmShowCloseBtntimeDelay", 2},
                 {"actionText", "Shop"},
                 {"actionTextTwo", "Later"},
                 {"ctaTemplate", 1},
                 {"animation", 2},
                 {"pos", 0},
                 {"actionExtra", Value{{"dismiss", 1}, {"copy", "SPRING10"}}},
                 {"actionTarget", 1},
                 {"actionUrl", "example.com/offer"},
                 {"actionParams", Value::array({Value{{"k", "a"}, {"v", "b"}}})}};
}

inline void mutateCampaign(CampaignBytes& in, Value& record) {
    static const long long templates[] = {1, 2, 3, 4, 5, 6, 7, 8, 101, 102, 0, -1, 9, 100, 103, 1LL << 40};
    const auto& keys = campaign_pools::keys();
    for (int n = in.byte() % 10 + 1; n > 0 && !in.empty(); --n) {
        const std::uint8_t op = in.byte();
        const std::string key = keys[in.byte() % keys.size()];
        switch (op % 8) {
        case 0: record.set(key, fuzzValue(in)); break;
        case 1: record.remove(key); break;
        case 2: {
            const std::uint8_t t = in.byte();
            const long long id = templates[t % std::size(templates)];
            record.set("template", t & 0x80 ? Value(std::to_string(id)) : Value(id));
            break;
        }
        case 3: {
            Value rules = Value::array();
            for (int c = in.byte() % 4; c > 0; --c) rules.append(fuzzCondition(in));
            record.set("customRule", rules);
            record.set("customRuleGC", in.byte() % 2 ? fuzzValue(in) : Value(static_cast<int>(in.byte() % 4)));
            break;
        }
        case 4: record.set(in.byte() % 2 ? "os_version" : "app_version", fuzzRanges(in)); break;
        case 5: {
            Value tokens = Value::dictionary();
            for (int t = in.byte() % 4; t > 0; --t) tokens.set(in.byte() % 2 ? in.text(6) : "name", fuzzValue(in, 2));
            record.set("dynamicTokens", in.byte() % 5 ? tokens : fuzzValue(in));
            record.set("hideTokens", fuzzNumber(in));
            break;
        }
        case 6: {
            static const char* colours[] = {"bgColor", "ctaColor", "ctaBgColor"};
            record.set(colours[in.byte() % 3], fuzzText(in));
            break;
        }
        default: {
            Value extra{{"dismiss", fuzzValue(in, 2)}, {"copy", fuzzValue(in, 2)}};
            if (in.byte() % 3 == 0) extra = fuzzValue(in, 1);
            record.set(in.byte() % 2 ? "actionExtra" : "actionExtraTwo", extra);
            break;
        }
        }
    }
}

inline CampaignInput decodeCampaignInput(std::string_view bytes) {
    CampaignInput input;
    CampaignBytes in(bytes);
    const std::uint8_t mode = in.byte();
    input.appLaunches = in.byte() % 8;
    input.scrollOffset = static_cast<double>(static_cast<std::int8_t>(in.byte())) * 10;
    input.track = in.byte() % 4 != 0;
    input.taps = in.text(8);
    if (mode % 2 == 0) {
        const auto parsed = platform::json::parse(in.rest(), {true});
        const Value value = parsed ? *parsed : Value();
        if (value.isDictionary() && value.contains("notifications")) {
            input.stored = value;
            input.tokens = value["tokens"];
            input.rules = value["rules"];
        } else {
            input.stored = Value{{"Authentication", "success"},
                                 {"notifications", value.isDictionary() ? Value::array({value}) : value}};
        }
        return input;
    }
    Value list = Value::array();
    for (int n = in.byte() % 4 + 1, i = 0; i < n; ++i) {
        Value record = realisticCampaign(i);
        mutateCampaign(in, record);
        list.append(in.byte() % 16 ? record : fuzzValue(in));
    }
    input.stored = Value{{"Authentication", "success"}, {"notifications", list}};
    input.tokens = Value{{"name", "Ann"}};
    input.rules = Value{{"points", 150}};
    for (int n = in.byte() % 4; n > 0; --n) {
        const auto& keys = campaign_pools::ruleKeys();
        const std::uint8_t k = in.byte();
        (k % 2 ? input.tokens : input.rules).set(keys[k % keys.size()], fuzzValue(in, 2));
    }
    if (in.byte() % 8 == 0) input.tokens = fuzzValue(in);
    if (in.byte() % 8 == 0) input.rules = fuzzValue(in);
    return input;
}

// The popups on screen under `root`.
inline std::vector<std::shared_ptr<qmInAppPopupView>> campaignPopups(const std::shared_ptr<platform::View>& root) {
    std::vector<std::shared_ptr<qmInAppPopupView>> popups;
    for (const auto& view : root->subviews()) {
        if (auto popup = std::dynamic_pointer_cast<qmInAppPopupView>(view)) popups.push_back(popup);
    }
    return popups;
}

// Needs a started library with its settings applied and a key window whose root view is
// `root`. Leaves the in-app state as it found it (no popups, no pending display, counters and
// session lists cleared) so that memory stays bounded over a long run.
inline void exerciseCampaigns(testkit::TestHost& host, const CampaignInput& input,
                              const std::shared_ptr<platform::View>& root) {
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    auto engine = qmInternalProcessClass::sharedInstance();
    auto settle = [&](std::initializer_list<double> steps) {
        host.runUntilIdle(5);
        for (double step : steps) {
            host.advance(step);
            host.runUntilIdle(5);
        }
    };

    prefs.qmSetInteger(input.appLaunches, Value("qm_CountAppLaunch"), QMStore::Library);
    QMRuntime::shared().qmStoreData()->write_qm_notifications_bID_Data(input.stored);
    quelmar::Show(input.tokens, input.rules);
    settle({0.5, 3, 30});
    engine->qmScrollViewDidScroll(input.scrollOffset, 1000, 400);
    engine->qmScrollViewDidScroll(input.scrollOffset, 300, 400);
    settle({1});

    // Every record through its own builder and every other one.
    static const long templates[] = {1, 2, 3, 4, 5, 6, 7, 8, 101, 102, 0, 103};
    std::size_t records = 0;
    for (const Value& record : input.stored["notifications"].arrayItems()) {
        if (++records > 2) break;
        inapp::qmBuildCampaignView(static_cast<long>(record["template"].integerValue()), record, input.track);
        for (long t : templates) inapp::qmBuildCampaignView(t, record, input.track);
    }
    settle({0.2, 1, 2.5, 10, 90});

    std::size_t tap = 0;
    for (const auto& popup : campaignPopups(root)) {
        const std::uint8_t choice = tap < input.taps.size() ? static_cast<std::uint8_t>(input.taps[tap++]) : 0;
        switch (choice % 7) {
        case 1: popup->qmCloseBtnAction(); break;
        case 2: popup->qmInAppPopupFirstCtaBtnAction(); break;
        case 3: popup->qmInAppPopupSecondCtaBtnAction(); break;
        case 4: popup->qmInAppPopupImageViewCtaAction(); break;
        case 5: popup->qmInAppStickyBarTapAction(); break;
        case 6: popup->qmInAppPopupAnimateOut(); break;
        default: break;
        }
        root->layoutIfNeeded();
    }
    settle({1});
    // A second decision sees the counters, close records and session lists the first left.
    quelmar::Show(input.tokens, input.rules);
    settle({0.5, 30});

    for (const auto& popup : campaignPopups(root)) popup->qmInAppPopupViewCloseNow();
    quelmar::StopInAppNotifications();
    engine->qmScrollActiveNotification.set(Value::array());
    QMRuntime::shared().updateContainer("qmRestictInAppforThisSession", [](Value& list) { list = Value::array(); });
    QMRuntime::shared().updateContainer("qmRestictSurveyCrossBtnforSession", [](Value& list) { list = Value::array(); });
    prefs.qmClearAllSDKPreferencesDataIntoUserDefaultsType(QMStore::Library);
    settle({});
    host.clearLog();
}

}  // namespace qm::fuzz
