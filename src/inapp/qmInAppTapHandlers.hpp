// What a tap on a campaign does once its view has closed: the click is recorded (its repeat
// rule, first or later click), a coupon code is copied, the click is reported, the campaign's
// action runs and the host app is told.
// Main thread.
#pragma once

#include <memory>
#include <string>

#include "inapp/qmInAppPopupView.hpp"

namespace qm::inapp {

class qmInAppTapHandler : public qmInAppPopupViewDelegate {
public:
    // The one handler popup views report to.
    static std::shared_ptr<qmInAppTapHandler> shared();

    void qmInAppPopupFirstCTAButtonAction(const std::string& notificationID, long dismissValue) override;
    void qmInAppPopupSecondCTAButtonAction(const std::string& notificationID, long dismissValue) override;
    void qmInAppPopupImageViewAction(const std::string& notificationID, long dismissValue) override;

    // The stats action of the last click: "uniqueClick" for a campaign's first, "click" after.
    std::string qmStatsClickAction() const { return statsClickAction_; }

private:
    // `second`: the second button's fields ("actionTargetTwo" and the rest), call to action 2.
    void handle(const std::string& notificationID, long dismissValue, bool second, bool image);
    // The campaign's action for targets 0 to 4.
    void act(const std::string& notificationID, long dismissValue, const Value& campaign, long target, Value destination,
             const Value& parameters, long callToAction);
    std::string statsClickAction_;
};

}  // namespace qm::inapp
