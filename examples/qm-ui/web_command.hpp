#pragma once

#include <string>
#include <vector>

namespace qmui {

// qm-ui web FILE.html OUT.png [--width W] [--height H] [--handler NAME]...
int runWeb(const std::vector<std::string>& arguments);

}  // namespace qmui
