// qm-ui's scene verbs: lay out and draw a scene file (the JSON format of qmui/scene.hpp).
#pragma once

#include <string>
#include <vector>

namespace qmui {

// layout FILE.json: the laid-out frames in window coordinates and the broken constraints,
// as one JSON object.
int runLayout(const std::vector<std::string>& arguments);
// draw FILE.json OUT.png [--time SECONDS] [--sheet STEPS]: the window at its screen's size
// and scale, at SECONDS into the scene's animations (0 when absent); with --sheet, a contact
// sheet of STEPS frames from 0 to SECONDS instead.
int runDraw(const std::vector<std::string>& arguments);

}  // namespace qmui
