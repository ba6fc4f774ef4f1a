// Feeds arbitrary bytes to the picture codec, describe() and videoFrame() (see
// media_fuzz_input.hpp), and aborts when a promise breaks.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "media_fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256 * 1024) return 0;  // bigger inputs only repeat what smaller ones reach, slower
    const std::string problem = qm::fuzz::exerciseMedia({reinterpret_cast<const char*>(data), size});
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
