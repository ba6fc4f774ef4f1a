// Reads arbitrary bytes as a visual format with options, metrics and view names (see
// visual_format_input.hpp), lays out whatever parses, and aborts when a promise breaks.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "visual_format_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;  // longer formats only repeat what shorter ones reach
    const auto input = qm::fuzz::splitVisualFormatInput({reinterpret_cast<const char*>(data), size});
    const std::string problem = qm::fuzz::exerciseVisualFormat(input);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
