// The address of a campaign's survey page on the service, with everything the page needs to
// know about the app, the device and the user in its query.
#pragma once

#include <string>

#include "quelmar/value.hpp"

namespace qm::inapp {

// For a template 101 (survey in a modal) or 102 (full-screen survey) campaign record. Never
// contains "(null)"; percent-encoded for a query.
std::string qmInAppSurveyURLForCampaign(const Value& campaign);

}  // namespace qm::inapp
