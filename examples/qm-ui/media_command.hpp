// qm-ui's media verb: what the decoder sees in a file.
#pragma once

#include <string>
#include <vector>

namespace qmui {

// media FILE: {"kind": "image"|"audio"|"video", "width", "height", "frames", "durations",
// "duration"} (keys that do not apply left out), or {"error": "…"} and status 1.
int runMedia(const std::vector<std::string>& arguments);

}  // namespace qmui
