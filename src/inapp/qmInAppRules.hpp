// In-app targeting: which stored campaign may appear on the current screen now. The pure
// parts (conditions, version ranges, screens, tokens) are here so that they can be checked on
// their own; the counters and per-campaign state live with the engine and the utility object.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quelmar/value.hpp"

namespace qm::inapp {

// The campaign kinds that have a view builder.
bool isShowableTemplate(long templateValue);

// One "customRule" condition against the app's custom-rule dictionary.
bool conditionHolds(const Value& condition, const Value& customRule);

// A condition with the campaign's side read once (its key, type, operator and value in the
// form its type compares), for decisions that check the same campaigns again and again.
struct PreparedCondition {
    bool valid = false;  // false for a condition that is not a dictionary: never holds
    std::string key;
    long long type = -1, op = -1;
    std::string text;
    long long integer = 0;
    std::optional<Date> date;
    bool truth = false;
};
PreparedCondition prepareCondition(const Value& condition);
// The app's rule dates parsed so far in one decision, by key.
using AppRuleDates = std::map<std::string, std::optional<Date>, std::less<>>;
bool conditionHolds(const PreparedCondition& condition, const Value& customRule, AppRuleDates* dates);
bool customRulesHold(const std::vector<PreparedCondition>& conditions, long combiner, const Value& customRule,
                     AppRuleDates* dates);
// The conditions combined by "customRuleGC" (0 any, 1 all, other: the last one decides).
bool customRulesHold(const Value& conditions, long combiner, const Value& customRule);
// The Boolean reading of a rule value: "YES", "Yes", "yes", "TRUE", "True", "true", "1".
bool ruleTruth(const Value& value);
// Compares version texts with digit runs as numbers ("10.2" > "9.3"): <0, 0, >0.
int compareVersions(const std::string& a, const std::string& b);
// Whether `version` lies in at least one {"d": lowest, "e": highest} range (inclusive); an
// empty or absent list allows every version.
bool versionInRanges(const std::string& version, const Value& ranges);
// The screen rule: every screen when "pageUrls" is empty, else the listed ones ("pageUrlCond"
// 0) or all but them (any other value).
bool showsOnScreen(const Value& campaign, const std::string& screenName);

// What a decision reads of one campaign record, taken in one pass and kept with the stored
// list so that each Show does not look the same fields up again.
struct CampaignFacts {
    std::string id;                          // "notificationID" as text
    Value dailyKey, launchKey, scrolledKey;  // its counter keys
    long long perDay = 0, perLaunch = 0, appLaunches = 0;
    std::vector<PreparedCondition> conditions;
    long combiner = 0;
    Value systemRanges, appRanges;
};
CampaignFacts campaignFacts(const Value& campaign);

// The campaign record with its "description" personalised: "[[name]]" placeholders take the
// user's token, else (with "hideTokens" 0) the token's default; nothing when "hideTokens" is
// 1 and a token has no user value.
Value replaceTokens(const Value& campaign, const Value& userTokens);

// Percentage of a scroll view's content scrolled past; nothing when the content is not taller
// than the view (nothing to scroll, so no on-scroll campaign may fire).
std::optional<double> scrolledPercentage(double offsetY, double contentHeight, double frameHeight);

// Builds and shows a campaign's view (main queue). Without one set, the library's own view
// builders show it (tests set one to see the decision alone).
using ViewBuilder = std::function<void(long templateValue, const Value& campaign, bool trackViewStates)>;
void setViewBuilder(ViewBuilder builder);
ViewBuilder viewBuilder();

}  // namespace qm::inapp
