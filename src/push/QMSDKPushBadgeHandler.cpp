#include "push/QMSDKPushBadgeHandler.hpp"

namespace qm {

QMSDKPushBadgeHandler& QMSDKPushBadgeHandler::sharedInstance() {
    static auto* instance = new QMSDKPushBadgeHandler();
    return *instance;
}

// The badge lives on the application, which arrives with the view layer.
void QMSDKPushBadgeHandler::qmClearPushNottificationBadgeCountNumber() {}

}  // namespace qm
