// qm-host's screen verbs: what the key window shows, taps on it, and its picture.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "quelmar/value.hpp"

namespace qm::platform {
class Window;
class View;
}

namespace qmhost {

// One JSON line per view of the window's tree, depth first: its path ("0/2/1": the window's
// view, then subview indices), class, tag, frame in its superview, alpha, hidden, and the text
// of labels and buttons or the URL of web views.
void printViews(qm::platform::Window& window);

// Taps, through the view tree, "close", "cta1" or "cta2" (the close button or the first and
// second titled call-to-action button shown by the top-most in-app campaign view), "outside"
// (its dimmed area beside the panel), or a view path printed by printViews. False (with a
// line saying why) when there is nothing to tap.
bool tapTarget(qm::platform::Window& window, const std::string& what);

// The window as it is now into a PNG file (web views drawn by their engine's snapshot).
bool writeSnapshot(qm::platform::Window& window, const std::string& path);

// A contact sheet of the campaign's entrance into a PNG file: waits (at most 10 seconds) for
// the entrance to start, then takes `frames` pictures of the window over `seconds` as the
// clock runs, side by side. False when no entrance started or the picture failed.
bool writeEntranceSheet(qm::platform::Window& window, const std::string& path, int frames, double seconds);

// Serves the main run loop until the campaign on screen (if any) has loaded its page and
// finished its entrance, at most `seconds`; false when it did not settle in time.
bool waitUntilEntered(qm::platform::Window& window, double seconds);

// Runs a script in the page of the campaign on screen and serves the main run loop until it
// answered (at most 10 seconds): its result, or nothing (with a line saying why) when there is
// no page or the script failed.
std::optional<qm::Value> runInCampaignPage(qm::platform::Window& window, const std::string& script);

// "campaign ID" for the campaign on screen (its panel's tag), or "nothing".
std::string describeCampaign(qm::platform::Window& window);

// The topmost in-app campaign view in the window, if any.
std::shared_ptr<qm::platform::View> campaignView(qm::platform::Window& window);

}  // namespace qmhost
