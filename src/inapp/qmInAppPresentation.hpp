// The view builders: a chosen campaign record becomes a popup view over the key window (alert,
// confirmation dialog, modal and full-screen popups, the full-screen survey, sticky bars).
// Main thread.
#pragma once

#include <memory>

#include "quelmar/value.hpp"

namespace qm {
class qmInAppPopupView;
}

namespace qm::inapp {

// Null values of the record's fields become "".
Value updateNullValuesInNotificationDictionary(const Value& record);

// What every builder does first: the page rule, the display counted in this launch, the
// close-button rule, and (when tracked) the daily count. The record with nulls replaced, or
// nothing when the campaign no longer belongs on the current screen.
Value qmBeginCampaignDisplay(const Value& record, bool trackViewStates);

// The record a campaign was last shown with in this process (personalised), or nothing. Any
// thread.
Value qmLastShownCampaignRecord(const std::string& notificationID);

// The builder of a template (1 to 8 and 102 make a popup view, added to the key window and
// pinned there; 101 shows the survey in a modal, qmInAppSurveyModal.hpp). Returns the popup
// view it put on screen, if any (none for 101).
std::shared_ptr<qmInAppPopupView> qmBuildCampaignView(long templateValue, const Value& record, bool trackViewStates);

}  // namespace qm::inapp
