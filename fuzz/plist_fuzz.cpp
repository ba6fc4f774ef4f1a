// Property lists and keyed archives from untrusted bytes: reading must never crash, and
// whatever reads back must write and re-read in both forms.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "qmplatform/plist.hpp"

namespace plist = qm::platform::plist;
namespace keyed_archive = qm::platform::keyed_archive;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)keyed_archive::unarchive(bytes);
    auto value = plist::read(bytes);
    if (!value) return 0;
    (void)keyed_archive::archive(*value);
    for (auto format : {plist::Format::Binary, plist::Format::XML}) {
        auto written = plist::write(*value, format);
        if (!written) continue;
        auto again = plist::read(*written);
        // Binary output keeps everything a property list holds, so it must read back.
        if (format == plist::Format::Binary && !again) std::abort();
    }
    return 0;
}
