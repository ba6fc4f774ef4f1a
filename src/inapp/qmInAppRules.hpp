// In-app targeting: which stored campaign may appear on the current screen now. The pure
// parts (conditions, version ranges, screens, tokens) are here so that they can be checked on
// their own; the counters and per-campaign state live with the engine and the utility object.
#pragma once

#include <functional>
#include <string>

#include "quelmar/value.hpp"

namespace qm::inapp {

// The campaign kinds that have a view builder.
bool isShowableTemplate(long templateValue);

// One "customRule" condition against the app's custom-rule dictionary.
bool conditionHolds(const Value& condition, const Value& customRule);
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
