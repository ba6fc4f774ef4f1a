#include "push/QMSDKPushBadgeHandler.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm {

QMSDKPushBadgeHandler& QMSDKPushBadgeHandler::sharedInstance() {
    static NoDestructor<QMSDKPushBadgeHandler> instance;
    return *instance;
}

// The badge lives on the application, which arrives with the view layer.
void QMSDKPushBadgeHandler::qmClearPushNottificationBadgeCountNumber() {}

}  // namespace qm
