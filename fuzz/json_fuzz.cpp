// Parses arbitrary bytes as JSON (with and without fragments); whatever parses must write in
// both styles and the written text must parse again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "qmplatform/json.hpp"

namespace json = qm::platform::json;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (bool fragments : {false, true}) {
        auto value = json::parse(text, {fragments});
        if (!value) continue;
        for (auto style : {json::WriteStyle::Compact, json::WriteStyle::Pretty}) {
            auto written = json::write(*value, {style, fragments});
            if (!written) std::abort();
            auto again = json::parse(*written, {fragments});
            if (!again || !(*again == *value)) std::abort();
        }
    }
    return 0;
}
