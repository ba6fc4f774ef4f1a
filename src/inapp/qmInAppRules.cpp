#include "inapp/qmInAppRules.hpp"

#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <tuple>
#include <cmath>
#include <mutex>

#include "core/QMLogger.hpp"
#include "core/QMRedaction.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/qmInAppPresentation.hpp"
#include "qmbase/no_destructor.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/view_controller.hpp"

namespace qm {

namespace inapp {

namespace {

struct BuilderSlot {
    std::mutex mutex;
    ViewBuilder builder;
};
BuilderSlot& builderSlot() {
    static NoDestructor<BuilderSlot> slot;
    return *slot;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A "yyyy-MM-dd" rule date; nothing when the text is not one.
std::optional<Date> ruleDate(const Value& value) {
    static const NoDestructor<platform::DateFormatter> format("yyyy-MM-dd");
    return format->date(value.description());
}

}  // namespace

bool isShowableTemplate(long templateValue) {
    return (templateValue >= 1 && templateValue <= 8) || templateValue == 101 || templateValue == 102;
}

bool ruleTruth(const Value& value) {
    const std::string text = value.description();
    for (const char* yes : {"YES", "Yes", "yes", "TRUE", "True", "true", "1"}) {
        if (text == yes) return true;
    }
    return false;
}

PreparedCondition prepareCondition(const Value& condition) {
    PreparedCondition prepared;
    if (!condition.isDictionary()) return prepared;
    prepared.valid = true;
    prepared.key = condition["e"].description();
    prepared.type = condition["d"].integerValue();
    prepared.op = condition["c"].integerValue();
    const Value& campaign = condition["v"];
    switch (prepared.type) {
    case 0: prepared.text = campaign.description(); break;
    case 1: prepared.integer = campaign.integerValue(); break;
    case 2: prepared.date = ruleDate(campaign); break;
    case 3: prepared.truth = ruleTruth(campaign); break;
    default: break;
    }
    return prepared;
}

bool conditionHolds(const PreparedCondition& condition, const Value& customRule, AppRuleDates* dates) {
    if (!condition.valid || !customRule.isDictionary()) return false;
    if (!customRule.contains(condition.key)) return false;
    const Value& app = customRule[condition.key];
    const long long op = condition.op;
    switch (condition.type) {
    case 0: {
        const std::string a = app.description();
        const std::string& c = condition.text;
        switch (op) {
        case 0: return a == c;
        case 1: return a != c;
        case 4: return a.find(c) != std::string::npos;
        case 5: return a.find(c) == std::string::npos;
        default: return false;
        }
    }
    case 1: {
        const long long a = app.integerValue(), c = condition.integer;
        switch (op) {
        case 0: return a == c;
        case 1: return a != c;
        case 2: return a > c;
        case 3: return a < c;
        default: return false;
        }
    }
    case 2: {
        // The app's dates are the same for every campaign of one decision: parsed once.
        std::optional<Date> a;
        if (dates) {
            auto known = dates->find(condition.key);
            if (known == dates->end()) known = dates->emplace(condition.key, ruleDate(app)).first;
            a = known->second;
        } else {
            a = ruleDate(app);
        }
        const auto& c = condition.date;
        if (!a || !c) return false;
        switch (op) {
        case 0: return *a == *c;
        case 1: return *a != *c;
        case 2: return *a > *c;
        case 3: return *a < *c;
        default: return false;
        }
    }
    case 3:
        switch (op) {
        case 0: return ruleTruth(app) == condition.truth;
        case 1: return ruleTruth(app) != condition.truth;
        default: return false;
        }
    default: return false;
    }
}

bool conditionHolds(const Value& condition, const Value& customRule) {
    return conditionHolds(prepareCondition(condition), customRule, nullptr);
}

bool customRulesHold(const std::vector<PreparedCondition>& conditions, long combiner, const Value& customRule,
                     AppRuleDates* dates) {
    bool last = false;
    for (const PreparedCondition& condition : conditions) {
        last = conditionHolds(condition, customRule, dates);
        if (combiner == 0 && last) return true;
        if (combiner == 1 && !last) return false;
    }
    if (combiner == 0) return false;
    if (combiner == 1) return true;
    return last;
}

bool customRulesHold(const Value& conditions, long combiner, const Value& customRule) {
    bool last = false;
    for (const Value& condition : conditions.arrayItems()) {
        last = conditionHolds(condition, customRule);
        if (combiner == 0 && last) return true;
        if (combiner == 1 && !last) return false;
    }
    if (combiner == 0) return false;
    if (combiner == 1) return true;
    return last;
}

int compareVersions(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Digit runs compare as numbers: without leading zeros, the longer is larger.
            std::size_t ei = i, ej = j;
            while (ei < a.size() && isDigit(a[ei])) ++ei;
            while (ej < b.size() && isDigit(b[ej])) ++ej;
            std::size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0') ++si;
            while (sj + 1 < ej && b[sj] == '0') ++sj;
            if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
            if (int c = a.compare(si, ei - si, b, sj, ej - sj); c != 0) return c < 0 ? -1 : 1;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
            ++i;
            ++j;
        }
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

bool versionInRanges(const std::string& version, const Value& ranges) {
    if (ranges.count() == 0 || !ranges.isArray()) return true;
    for (const Value& range : ranges.arrayItems()) {
        // A range without one of its ends is open on that side.
        const Value& low = range["d"];
        const Value& high = range["e"];
        const bool aboveLow = !low || low.isNull() || compareVersions(version, low.description()) >= 0;
        const bool belowHigh = !high || high.isNull() || compareVersions(version, high.description()) <= 0;
        if (aboveLow && belowHigh) return true;
    }
    return false;
}

bool showsOnScreen(const Value& campaign, const std::string& screenName) {
    const Value& pages = campaign["pageUrls"];
    if (pages.count() == 0) return true;
    bool listed = false;
    for (const Value& page : pages.arrayItems()) {
        if (page.description() == screenName) {
            listed = true;
            break;
        }
    }
    return campaign["pageUrlCond"].integerValue() == 0 ? listed : !listed;
}

Value replaceTokens(const Value& campaign, const Value& userTokens) {
    Value copy = campaign;
    const Value& tokens = campaign["dynamicTokens"];
    if (tokens.count() == 0 || !tokens.isDictionary()) {
        QMLog(QMLogLevelInfo, "No user token found in this inApp Banner/Survey");
        return copy;
    }
    std::string description = campaign["description"].description();
    const long long hide = campaign["hideTokens"].integerValue();
    auto replaceAll = [&](const std::string& placeholder, const std::string& with) {
        if (placeholder.empty()) return;
        for (std::size_t at = description.find(placeholder); at != std::string::npos;
             at = description.find(placeholder, at + with.size())) {
            description.replace(at, placeholder.size(), with);
        }
    };
    for (const auto& [name, fallback] : tokens.dictionaryItems()) {
        const std::string placeholder = "[[" + name + "]]";
        if (userTokens.isDictionary() && userTokens.contains(name)) {
            replaceAll(placeholder, userTokens[name].description());
        } else if (hide == 1) {
            return Value();
        } else if (hide == 0) {
            replaceAll(placeholder, fallback.description());
        }
    }
    copy.set("description", description);
    return copy;
}

CampaignFacts campaignFacts(const Value& campaign) {
    CampaignFacts facts;
    facts.id = campaign["notificationID"].description();
    facts.dailyKey = Value("qm_LaunchedNID" + facts.id);
    facts.launchKey = Value("qm_isShownViewNID" + facts.id);
    facts.scrolledKey = Value("qm_isScrolledNID" + facts.id);
    facts.perDay = campaign["noOfTimesPerUser"].integerValue();
    facts.perLaunch = campaign["noOfTimesPerAL"].integerValue();
    facts.appLaunches = campaign["appLaunches"].integerValue();
    const Value& conditions = campaign["customRule"];
    if (conditions.isArray()) {
        for (const Value& condition : conditions.arrayItems()) facts.conditions.push_back(prepareCondition(condition));
    }
    facts.combiner = static_cast<long>(campaign["customRuleGC"].integerValue());
    facts.systemRanges = campaign["os_version"];
    facts.appRanges = campaign["app_version"];
    return facts;
}

std::optional<double> scrolledPercentage(double offsetY, double contentHeight, double frameHeight) {
    const double scrollable = contentHeight - frameHeight;
    if (!(scrollable > 0) || !std::isfinite(offsetY)) return std::nullopt;
    return offsetY * 100.0 / scrollable;
}

void setViewBuilder(ViewBuilder builder) {
    std::lock_guard lock(builderSlot().mutex);
    builderSlot().builder = std::move(builder);
}

ViewBuilder viewBuilder() {
    std::lock_guard lock(builderSlot().mutex);
    return builderSlot().builder;
}

}  // namespace inapp

// ---- Per-campaign state -------------------------------------------------------------------

namespace {

QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }

std::string dailyCountKey(const std::string& id) { return "qm_LaunchedNID" + id; }
std::string launchCountKey(const std::string& id) { return "qm_isShownViewNID" + id; }
std::string scrolledKey(const std::string& id) { return "qm_isScrolledNID" + id; }


// The counters the last close-and-launch check on this thread found (or started) for a
// campaign, so that the evaluation right after it does not look them up again.
struct CounterReading {
    std::string id;
    long long daily = 0;
    long long launch = 0;
    bool valid = false;
};
thread_local CounterReading lastCounters;

// One evaluation at a time: the utility object's current campaign is shared.
std::mutex& evaluationMutex() {
    static NoDestructor<std::mutex> m;
    return *m;
}

// The stored campaign list decoded, with the facts of each campaign, kept while the file stays
// the same (the same file, size and modification time): Show reads the file at every call, and
// decoding a long list and reading its campaigns' fields cost far more than asking the file
// system whether it changed. Runs on the file queue, so that writes asked for before are on
// disk first.
struct StoredCampaigns {
    Value list;                                  // the "notifications" array
    std::vector<inapp::CampaignFacts> facts;     // one per element of the list
};

std::shared_ptr<const StoredCampaigns> readStoredCampaigns() {
    struct Cache {
        std::mutex mutex;
        std::optional<std::tuple<dev_t, ino_t, off_t, std::int64_t, std::int64_t>> stamp;
        std::shared_ptr<const StoredCampaigns> stored;
    };
    static NoDestructor<Cache> cache;
    const std::string path = QMRuntime::shared().qmStoreData()->qm_notifications_bID_FilePath();
    std::shared_ptr<const StoredCampaigns> result;
    auto read = [&] {
        struct stat info {};
        std::lock_guard lock(cache->mutex);
        if (::stat(path.c_str(), &info) != 0) {
            cache->stamp.reset();
            cache->stored = std::make_shared<StoredCampaigns>();
            result = cache->stored;
            return;
        }
        const auto stamp = std::make_tuple(info.st_dev, info.st_ino, info.st_size, static_cast<std::int64_t>(info.st_mtim.tv_sec),
                                           static_cast<std::int64_t>(info.st_mtim.tv_nsec));
        if (!cache->stored || cache->stamp != stamp) {
            auto stored = std::make_shared<StoredCampaigns>();
            if (auto bytes = platform::Files::readFile(path)) {
                auto decoded = platform::keyed_archive::unarchive(*bytes);
                if (decoded && (*decoded)["notifications"].isArray()) stored->list = (*decoded)["notifications"];
            }
            if (!stored->list.isArray()) stored->list = Value::array();
            stored->facts.reserve(stored->list.count());
            for (const Value& campaign : stored->list.arrayItems()) stored->facts.push_back(inapp::campaignFacts(campaign));
            cache->stored = std::move(stored);
            cache->stamp = stamp;
        }
        result = cache->stored;
    };
    const auto& files = QMSDKDataStore::fileQueue();
    if (files.isCurrent()) {
        read();
    } else {
        files.sync(read);
    }
    return result;
}

void showNow(long templateValue, const Value& campaign) {
    if (auto builder = inapp::viewBuilder()) {
        builder(templateValue, campaign, true);
    } else {
        inapp::qmBuildCampaignView(templateValue, campaign, true);
    }
}

}  // namespace

void qmGetFilteredData::setPageDict1(const Value& campaign) { pageDict1_.set(campaign); }

namespace {
bool closeAndLaunchCheck(const std::string& id, const Value& dailyKey, const Value& launchKey, long long appLaunches);
}  // namespace

bool qmGetFilteredData::qmCheckCloseAndLaunchConditions(const std::string& id, long long appLaunches) {
    return closeAndLaunchCheck(id, Value(dailyCountKey(id)), Value(launchCountKey(id)), appLaunches);
}

namespace {

// The app's and the device's versions, looked up at most once per decision and only when a
// campaign names version ranges.
struct Versions {
    std::optional<std::string> system, app;
    const std::string& systemVersion() {
        if (!system) system = platform::Device::current().systemVersion();
        return *system;
    }
    const std::string& appVersion() {
        if (!app) app = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString").description();
        return *app;
    }
};

// The validations of one campaign, in their order: close and launch conditions, custom
// rules, system and app versions.
bool validate(const inapp::CampaignFacts& facts, const Value& customRule, Versions& versions, inapp::AppRuleDates* dates) {
    if (!closeAndLaunchCheck(facts.id, facts.dailyKey, facts.launchKey, facts.appLaunches)) return false;
    if (!facts.conditions.empty()) {
        if (customRule.count() == 0) return false;
        if (!inapp::customRulesHold(facts.conditions, facts.combiner, customRule, dates)) return false;
    }
    if (facts.systemRanges.count() > 0 && !inapp::versionInRanges(versions.systemVersion(), facts.systemRanges)) {
        return false;
    }
    return facts.appRanges.count() == 0 || inapp::versionInRanges(versions.appVersion(), facts.appRanges);
}

bool closeAndLaunchCheck(const std::string& id, const Value& dailyKey, const Value& launchKey, long long appLaunches) {
    lastCounters.valid = false;
    // Close conditions.
    Value closed = prefs().qmObjectForKey(Value("qm_ClosedNIDConditions"), QMStore::Library);
    const Value& record = closed[id];
    if (record.isDictionary() && record.contains("repeat_close")) {
        if (record["repeat_close"].integerValue() == 500) return false;
        const Date now = platform::Clock::currentDate();
        const Date reset = record["reset_time"].isDate() ? record["reset_time"].date() : now;
        if (reset > now) return false;
        closed.remove(id);
        prefs().qmSetObject(closed, Value("qm_ClosedNIDConditions"), QMStore::Library);
    }
    // Launch restriction.
    const Value restrictedList = QMRuntime::shared().container("qmRestictInAppforThisSession");
    for (const Value& restricted : restrictedList.arrayItems()) {
        if (restricted.description() == id) return false;
    }
    // Counters start at 1.
    const Value dailyValue = prefs().qmObjectForKey(dailyKey, QMStore::Library);
    if (!dailyValue) prefs().qmSetInteger(1, dailyKey, QMStore::Library);
    const Value launchValue = prefs().qmObjectForKey(launchKey, QMStore::Library);
    if (!launchValue) prefs().qmSetInteger(1, launchKey, QMStore::Library);
    // App-launch interval once the campaign was displayed today.
    const long long daily = dailyValue ? dailyValue.integerValue() : 1;
    lastCounters = CounterReading{id, daily, launchValue ? launchValue.integerValue() : 1, true};
    if (daily < 2) return true;
    const long long launches = prefs().qmIntegerForKey(Value("qm_CountAppLaunch"), QMStore::Library);
    if (launches >= 2) {
        const long long every = appLaunches > 0 ? appLaunches : 1;
        if (launches % every != 0) return false;
    }
    return true;
}

}  // namespace

bool qmGetFilteredData::qmCheckInAppNotificationValidationsWithCustomRule(const Value& customRule) {
    Versions versions;
    return validate(inapp::campaignFacts(pageDict1_.get()), customRule, versions, nullptr);
}

bool qmGetFilteredData::qmShouldShowInAppBannerOnScrollValidResponse(const Value& notificationID, long long appLaunches) {
    if (!isValidString(notificationID) && !notificationID.isNumber()) return true;
    const std::string id = notificationID.description();
    if (id.empty()) return true;
    return qmCheckCloseAndLaunchConditions(id, appLaunches);
}

Value qmGetFilteredData::qmReplacedFinalDictWithUserToken(const Value& userTokens, const Value& campaign) {
    return inapp::replaceTokens(campaign, userTokens);
}

bool qmGetFilteredData::shouldShowOnCurrntViewController(const Value& campaign) {
    return inapp::showsOnScreen(campaign, qmCurrentScreenName());
}

std::string qmGetFilteredData::qmCurrentScreenName() const {
    auto top = qmGetTopMostController();
    return top ? top->className() : std::string();
}

bool qmGetFilteredData::qmTrackBannerSurveyIsScrolledForNID(const Value& notificationID) {
    return prefs().qmBoolForKey(Value(scrolledKey(notificationID.description())), QMStore::Library);
}

// ---- The engine's half --------------------------------------------------------------------

void qmInternalProcessClass::qmShowInAppNotificationsWithUserTokens(const Value& userTokens, const Value& customRule) {
    // The tokens describe the app's user: only their names are shown.
    QMLog(QMLogLevelDebug, "In-app display requested with user tokens %@ and custom rule %@",
          QMRedaction::qmRedactValue(userTokens), customRule);
    auto stored = readStoredCampaigns();
    const std::string screen = qmGetFilteredData::sharedInstance().qmCurrentScreenName();
    auto self = shared_from_this();
    platform::Queue::global().async([self, stored, screen, userTokens, customRule] {
        const Value& campaigns = stored->list;
        if (campaigns.count() == 0) {
            QMLog(QMLogLevelInfo, "InApp Banner/survey not found or inactive for this current %@ mode",
                  QMRuntime::shared()._qmModeVale.get());
            return;
        }
        QMRuntime::shared()._qmCurrentVCName.set(Value(screen));
        self->qmAppVcName.set(Value(screen));
        std::vector<std::pair<const Value*, const inapp::CampaignFacts*>> kept;
        const auto& items = campaigns.arrayItems();
        for (std::size_t i = 0; i < items.size() && i < stored->facts.size(); ++i) {
            if (items[i].isDictionary() && inapp::showsOnScreen(items[i], screen)) kept.emplace_back(&items[i], &stored->facts[i]);
        }
        self->qmEvaluateCampaigns(userTokens, customRule, kept);
    });
}

void qmInternalProcessClass::qmCheckInAppNotificatonRulesWithUserToken(const Value& userTokens, const Value& customRule,
                                                                      const Value& campaigns) {
    const auto& items = campaigns.arrayItems();
    std::vector<inapp::CampaignFacts> facts;
    facts.reserve(items.size());
    for (const Value& campaign : items) facts.push_back(inapp::campaignFacts(campaign));
    std::vector<std::pair<const Value*, const inapp::CampaignFacts*>> list;
    for (std::size_t i = 0; i < items.size(); ++i) list.emplace_back(&items[i], &facts[i]);
    qmEvaluateCampaigns(userTokens, customRule, list);
}

void qmInternalProcessClass::qmEvaluateCampaigns(
    const Value& userTokens, const Value& customRule,
    const std::vector<std::pair<const Value*, const inapp::CampaignFacts*>>& campaigns) {
    std::lock_guard evaluation(evaluationMutex());
    auto& utility = qmGetFilteredData::sharedInstance();
    const Date now = platform::Clock::currentDate();

    // Daily reset of the counters.
    const Value launched = prefs().qmObjectForKey(Value("qm_LaunchedDate"), QMStore::Library);
    if (!launched.isDate()) {
        prefs().qmSetObject(Value(now), Value("qm_LaunchedDate"), QMStore::Library);
    } else if (platform::Calendar::daysBetween(launched.date(), now) > 0) {
        for (const auto& [campaign, facts] : campaigns) {
            prefs().qmRemoveObjectForKey(facts->dailyKey, QMStore::Library);
            prefs().qmRemoveObjectForKey(facts->launchKey, QMStore::Library);
        }
        prefs().qmSetObject(Value(now), Value("qm_LaunchedDate"), QMStore::Library);
    }

    struct Chosen {
        long templateValue;
        Value campaign;
        double delay;
    };
    std::optional<Chosen> chosen;
    Versions versions;
    inapp::AppRuleDates appDates;
    for (const auto& [campaignPointer, factsPointer] : campaigns) {
        const Value& campaign = *campaignPointer;
        const inapp::CampaignFacts& facts = *factsPointer;
        const std::string& id = facts.id;
        if (prefs().qmObjectForKey(facts.scrolledKey, QMStore::Library)) {
            prefs().qmRemoveObjectForKey(facts.scrolledKey, QMStore::Library);
        }

        utility.setPageDict1(campaign);
        const bool valid = validate(facts, customRule, versions, &appDates);
        const long long perDay = facts.perDay;
        const long long perLaunch = facts.perLaunch;
        const bool counted = lastCounters.valid && lastCounters.id == id;
        const long long daily = counted ? lastCounters.daily : prefs().qmIntegerForKey(facts.dailyKey, QMStore::Library);
        const long long launch = counted ? lastCounters.launch : prefs().qmIntegerForKey(facts.launchKey, QMStore::Library);
        // Only a campaign that may still show is personalised (a copy of the whole record);
        // the others log what personalising would have.
        const bool mayShow = valid && daily <= perDay && launch <= perLaunch;
        Value personal;
        if (mayShow) {
            personal = utility.qmReplacedFinalDictWithUserToken(userTokens, campaign);
        } else if (const Value& tokens = campaign["dynamicTokens"]; tokens.count() == 0 || !tokens.isDictionary()) {
            QMLog(QMLogLevelInfo, "No user token found in this inApp Banner/Survey");
        }
        if (!mayShow || personal.count() == 0) {
            QMLog(QMLogLevelInfo,
                  "The InApp banner/survey notification expired for today, or the targeting rules are not satisfied.");
            continue;
        }
        const long templateValue = static_cast<long>(personal["template"].integerValue());
        const double delay = std::max(0.0, personal["timeDelayPage"].doubleValue());
        if ((templateValue == 101 || templateValue == 102) && userTokens.count() > 0) {
            personal.set("qm_sdkSurveyTmpUserTokens", platform::json::write(userTokens).value_or(""));
        }
        if (personal["scroll"].doubleValue() > 0) {
            qmScrollActiveNotification.with([&](Value& list) {
                if (!list.isArray()) list = Value::array();
                list.append(personal);
            });
            continue;
        }
        if (!inapp::isShowableTemplate(templateValue)) continue;
        chosen = Chosen{templateValue, personal, delay};
    }
    // Each passing campaign replaces the ones before it; queueing only the last one after the
    // loop keeps an earlier one without delay from being shown while the loop still runs.
    if (chosen) qmQueueDisplayRequest(chosen->templateValue, chosen->campaign, chosen->delay);
}

void qmInternalProcessClass::qmQueueDisplayRequest(long templateValue, const Value& campaign, double delay) {
    // A request stays cancellable until its delayed block runs, also after its operation has
    // finished handing it over, so the pending list keeps every request not yet shown.
    auto request = std::make_shared<platform::Operation>();
    std::weak_ptr<platform::Operation> weak = request;
    request->setBlock([weak, templateValue, campaign, delay] {
        platform::Queue::main().asyncAfter(delay, [weak, templateValue, campaign] {
            auto still = weak.lock();
            if (!still || still->isCancelled()) return;
            still->cancel();  // shown: a later cancellation has nothing left to stop
            showNow(templateValue, campaign);
        });
    });
    std::vector<std::shared_ptr<platform::Operation>> cancelled;
    platform::OperationQueue* queue = nullptr;
    {
        std::lock_guard lock(displayMutex_);
        cancelled.swap(pendingDisplays_);
        pendingDisplays_.push_back(request);
        if (!myQueue_) myQueue_ = std::make_unique<platform::OperationQueue>("qm.inapp.display");
        queue = myQueue_.get();  // made once, lives as long as the engine
    }
    for (auto& earlier : cancelled) earlier->cancel();
    queue->addOperation(request);
}

void qmInternalProcessClass::qmStopInAppNotifications() {
    std::vector<std::shared_ptr<platform::Operation>> cancelled;
    platform::OperationQueue* queue = nullptr;
    {
        std::lock_guard lock(displayMutex_);
        cancelled.swap(pendingDisplays_);
        queue = myQueue_.get();
    }
    for (auto& request : cancelled) request->cancel();
    if (queue) queue->cancelAllOperations();
}

void qmInternalProcessClass::qmInAppNotificationViewLaunchCountWithNotificationID(const Value& notificationID) {
    const Value key(launchCountKey(notificationID.description()));
    const long long count = prefs().qmIntegerForKey(key, QMStore::Library);
    prefs().qmSetInteger(count > 0 ? count + 1 : 1, key, QMStore::Library);
}

void qmInternalProcessClass::qmCreateInAppNotificationAfterScroll(const Value& campaign) {
    const long templateValue = static_cast<long>(campaign["template"].integerValue());
    if (inapp::isShowableTemplate(templateValue)) showNow(templateValue, campaign);
}

void qmInternalProcessClass::qmScrollViewDidScroll(double offsetY, double contentHeight, double frameHeight) {
    const auto percentage = inapp::scrolledPercentage(offsetY, contentHeight, frameHeight);
    if (!percentage) return;
    const Value waiting = qmScrollActiveNotification.get();
    auto& utility = qmGetFilteredData::sharedInstance();
    for (const Value& campaign : waiting.arrayItems()) {
        if (*percentage < campaign["scroll"].doubleValue()) continue;
        const std::string id = campaign["notificationID"].description();
        const Value key(scrolledKey(id));
        if (!prefs().qmObjectForKey(key, QMStore::Library)) prefs().qmSetBOOL(false, key, QMStore::Library);
        if (prefs().qmBoolForKey(key, QMStore::Library)) continue;
        prefs().qmSetBOOL(true, key, QMStore::Library);
        const long long every = campaign.contains("appLaunches") ? campaign["appLaunches"].integerValue() : 1;
        if (utility.qmShouldShowInAppBannerOnScrollValidResponse(campaign["notificationID"], every)) {
            qmCreateInAppNotificationAfterScroll(campaign);
        }
    }
}

void qmInternalProcessClass::qmSetVaidationForPopupsButtonsClickforClickType(long clickType, const Value& notificationID) {
    const std::string id = notificationID.description();
    const Value stored = QMRuntime::shared().qmStoreData()->read_qm_notifications_bID_Data();
    long long n = 0;
    for (const Value& campaign : stored["notifications"].arrayItems()) {
        if (campaign["notificationID"].description() == id) {
            n = campaign[clickType == 0 ? "repeat_close" : "repeat_click"].integerValue();
            break;
        }
    }
    if (n == 501) return;
    if (n != 0) {
        const Date reset = platform::Calendar::addingDays(platform::Clock::currentDate(), static_cast<long>(n));
        QMLog(QMLogLevelInfo, "This InApp banner or survey has been closed for %ld day(s) and will be resumed on %@",
              static_cast<long>(n), Value(reset));
        Value closed = prefs().qmObjectForKey(Value("qm_ClosedNIDConditions"), QMStore::Library);
        if (!closed.isDictionary()) closed = Value::dictionary();
        closed.set(id, Value{{"repeat_close", n}, {"reset_time", reset}});
        prefs().qmSetObject(closed, Value("qm_ClosedNIDConditions"), QMStore::Library);
        return;
    }
    QMRuntime::shared().updateContainer("qmRestictInAppforThisSession", [&](Value& list) {
        if (!list.isArray()) list = Value::array();
        for (const Value& restricted : list.arrayItems()) {
            if (restricted.description() == id) return;
        }
        list.append(Value(id));
    });
}

}  // namespace qm
