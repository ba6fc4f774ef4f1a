#include "push/QMSDKPushBadgeHandler.hpp"

#include <functional>
#include <limits>

#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "qmbase/no_destructor.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/preferences.hpp"

namespace qm {
namespace {

// Changes the stored count in one step across the app and its extension; `next` gets the
// stored count (0 when absent) and returns the count to store, or nothing to leave the key as
// it is. Returns what is stored afterwards (0 when absent).
long updateCount(const std::function<Value(long long stored)>& next) {
    auto* suite = QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults;
    const Value after = suite->updateObjectForKey(QMSDKPushBadgeHandler::kBadgeCountKey, [&](const Value& current) {
        Value wanted = next(current.integerValue());
        return wanted ? wanted : current;
    });
    return static_cast<long>(after.integerValue());
}

// One more, except that a count at the top of the range (a damaged preference) stays there.
long long plusOne(long long stored) { return stored < std::numeric_limits<long>::max() ? stored + 1 : stored; }

void showOnIcon(long number) {
    if (platform::RunLoop::main().isMainThread()) {
        platform::Application::shared().setApplicationIconBadgeNumber(number);
        return;
    }
    platform::Queue::main().async([number] { platform::Application::shared().setApplicationIconBadgeNumber(number); });
}

}  // namespace

QMSDKPushBadgeHandler& QMSDKPushBadgeHandler::sharedInstance() {
    static NoDestructor<QMSDKPushBadgeHandler> instance;
    return *instance;
}

long QMSDKPushBadgeHandler::qmGetCurrentPushBadgeNumberCount() {
    return updateCount([](long long stored) { return Value(stored > 0 ? plusOne(stored) : 1LL); });
}

void QMSDKPushBadgeHandler::qmUpdatePushNottificationBadgeCountNumberOnPushClick() {
    // The count is a file under the suite's lock: changed on the file queue, never on the
    // caller's (often the host's main) thread; the icon follows on the main queue.
    QMSDKDataStore::fileQueue().async([] {
        bool changed = false;
        const long count = updateCount([&](long long stored) {
            if (stored <= 0) return Value();
            changed = true;
            return Value(stored == 1 ? -1LL : stored - 1);
        });
        if (!changed) return;
        platform::Queue::main().async([count] { platform::Application::shared().setApplicationIconBadgeNumber(count); });
    });
}

void QMSDKPushBadgeHandler::qmClearPushNottificationBadgeCountNumber() {
    if (platform::Bundle::main().objectForInfoDictionaryKey("qmDisableBadgeClearing").boolValue()) return;
    showOnIcon(-1);
    QMSDKDataStore::fileQueue().async([] {
        auto* suite = QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults;
        suite->updateObjectForKey(kBadgeCountKey, [](const Value& current) {
            return current.integerValue() != 0 ? Value() : current;
        });
    });
}

void QMSDKPushBadgeHandler::qmUpdatePushBadgeNumberWithValueType(long valueType) {
    switch (valueType) {
        case QMPushBadgeIncrease:
            QMSDKDataStore::fileQueue().async([] {
                // No count (absent or 0) counts as -1, the platform's "no badge".
                updateCount([](long long stored) {
                    if (stored == 0) stored = -1;
                    return Value(stored < 1 ? 1LL : plusOne(stored));
                });
            });
            return;
        case QMPushBadgeDecrease:
            QMSDKDataStore::fileQueue().async([] {
                updateCount([](long long stored) {
                    if (stored < 1) return Value();  // nothing to take away
                    return Value(stored == 1 ? -1LL : stored - 1);
                });
            });
            return;
        case QMPushBadgeClear:
            qmClearPushNottificationBadgeCountNumber();
            return;
        default:
            return;
    }
}

}  // namespace qm
