// The app icon's badge: the library's own count of unread library pushes, kept in the
// app-group suite so that the notification-service extension numbers each arriving push and
// the app counts clicks down. Both processes change the count; every change is a
// read-modify-write of the file under the suite's lock (UserDefaults::updateObjectForKey), so
// neither process loses the other's updates.
#pragma once

namespace qm {

template <typename T>
class NoDestructor;

// The values of quelmar::updatePushBadgeNumberWithValue.
enum QMPushBadgeValueType : long {
    QMPushBadgeIncrease = 0,
    QMPushBadgeDecrease = 1,
    QMPushBadgeClear = 2,
};

class QMSDKPushBadgeHandler {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    // The preference that holds the count (app-group suite): absent, 0 and -1 mean none.
    static constexpr const char* kBadgeCountKey = "qm_PushBadgeCountNumber";

    static QMSDKPushBadgeHandler& sharedInstance();

    // One more arriving push: the stored count plus one (1 when none or negative), stored and
    // returned. Blocking file I/O on the caller's thread (the extension's, which needs the
    // number for the notification at once).
    long qmGetCurrentPushBadgeNumberCount();
    // The operations below return at once and change the count on the data store's file
    // queue (QMSDKDataStore::fileQueue, which the library's stop waits for). Any thread.
    //
    // One push clicked: a positive count goes one down, 1 to -1 (the platform's "no badge"),
    // and then the icon shows it (main queue). Nothing happens without a positive count.
    void qmUpdatePushNottificationBadgeCountNumberOnPushClick();
    // Unless the host set "qmDisableBadgeClearing": no badge on the icon (set at once on the
    // main thread, else on the main queue) and no stored count.
    void qmClearPushNottificationBadgeCountNumber();
    // 0 increase, 1 decrease (only the stored count changes), 2 clear; anything else does
    // nothing.
    void qmUpdatePushBadgeNumberWithValueType(long valueType);

private:
    QMSDKPushBadgeHandler() = default;
};

}  // namespace qm
