// The app icon's badge count.
#pragma once

namespace qm {

template <typename T>
class NoDestructor;

class QMSDKPushBadgeHandler {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static QMSDKPushBadgeHandler& sharedInstance();
    void qmClearPushNottificationBadgeCountNumber();

private:
    QMSDKPushBadgeHandler() = default;
};

}  // namespace qm
