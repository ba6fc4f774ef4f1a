// The app icon's badge count.
#pragma once

namespace qm {

class QMSDKPushBadgeHandler {
public:
    static QMSDKPushBadgeHandler& sharedInstance();
    void qmClearPushNottificationBadgeCountNumber();

private:
    QMSDKPushBadgeHandler() = default;
};

}  // namespace qm
