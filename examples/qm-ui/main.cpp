// qm-ui: lays out, draws and decodes what the screen layer would show.
//
//   qm-ui layout FILE.json                      the laid-out frames as JSON
//   qm-ui draw FILE.json OUT.png [--time S]     a PNG of the window (screen size × scale)
//   qm-ui media FILE                            what the decoder sees in a picture, sound or film
//   qm-ui web FILE.html OUT.png [--width W] [--height H] [--handler NAME]...
//                                               a page in the real web engine: its snapshot, the
//                                               messages it posts and its content height
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "media_command.hpp"
#include "scene_commands.hpp"
#include "web_command.hpp"

namespace {

struct Verb {
    const char* name;
    int (*run)(const std::vector<std::string>&);
    const char* help;
};

constexpr Verb kVerbs[] = {
    {"layout", qmui::runLayout, "layout FILE.json                  print the frames of the scene's views in window points"},
    {"draw", qmui::runDraw,
     "draw FILE.json OUT.png [--time S] [--sheet N]\n"
     "                                    draw the window at S seconds into its animations (0), or a\n"
     "                                    contact sheet of N frames from 0 to S"},
    {"media", qmui::runMedia, "media FILE                        describe a picture, sound or film as the decoder sees it"},
    {"web", qmui::runWeb,
     "web FILE.html OUT.png [--width W] [--height H] [--handler NAME]...\n"
     "                                    load the page into a real web view of W x H CSS pixels\n"
     "                                    (390 x 844) with those script-message handlers, write its\n"
     "                                    snapshot, print each message it posts as a JSON line\n"
     "                                    ({\"name\":..., \"body\":...}) and then {\"contentHeight\": N}"},
};

int usage() {
    std::fprintf(stderr, "usage: qm-ui VERB [ARGS]...\nverbs:\n");
    for (const auto& verb : kVerbs) std::fprintf(stderr, "  %s\n", verb.help);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) return usage();
    std::vector<std::string> arguments(argv + 2, argv + argc);
    for (const auto& verb : kVerbs) {
        if (std::strcmp(argv[1], verb.name) == 0) return verb.run(arguments);
    }
    std::fprintf(stderr, "qm-ui: unknown verb '%s'\n", argv[1]);
    return usage();
}
