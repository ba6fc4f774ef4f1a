// When a campaign's close button appears: never, at once, or after a number of seconds, by the
// campaign's "close_btn" value, kept per campaign id for the process.
#pragma once

#include <memory>

#include "quelmar/value.hpp"

namespace qm::platform {
class View;
}

namespace qm::inapp {

// Records the rule of `closeButton` ("close_btn": 0 never, 5000 at once, n after n seconds)
// for the campaign, replacing an earlier one.
void qmCheckCrossBtnInPopups(const Value& closeButton, const Value& notificationID);
// Adds the button to the parent on the main queue after the campaign's delay (at once when
// the campaign has no record); nothing when its rule hides the button, or when the parent
// has gone by then.
void qmAddCloseButtonInPopupstoParentView(const std::shared_ptr<platform::View>& parent,
                                          const std::shared_ptr<platform::View>& button, const Value& notificationID);

// Finds the close button's picture once per start: the app's own (named in the appearance
// file's "qmStrings" / "qmCloseButtonImageResource": an image of the app's bundle, or a PNG or
// JPEG URL), else the service's default. A download replaces the cached copy, which stands in
// until then. Returns at once; the picture is set on the main queue.
void qmLoadCloseButtonImage();

}  // namespace qm::inapp
