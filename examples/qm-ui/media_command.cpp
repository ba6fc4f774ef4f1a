#include "media_command.hpp"

#include <cstdio>

namespace qmui {

int runMedia(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) {
        std::fprintf(stderr, "usage: qm-ui media FILE\n");
        return 2;
    }
    std::printf("{\"error\": \"this build cannot decode media yet\"}\n");
    return 1;
}

}  // namespace qmui
