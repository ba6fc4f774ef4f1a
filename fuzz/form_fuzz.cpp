// Feeds arbitrary text to what turns values into form text and what redacts form text,
// URLs and answers for the log. A value must come back unchanged from its form encoding.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_app.hpp"

#include "core/QMFormFields.hpp"
#include "core/QMRedaction.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/url.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qm::fuzzing::setUpApp("form-fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Encoding keeps no separator and decodes back to the value ("(null)" removed).
    const std::string encoded = qm::qmFormValue(qm::Value(text));
    if (encoded.find_first_of("&=+ ") != std::string::npos) std::abort();
    std::string expected = text;
    for (auto at = expected.find("(null)"); at != std::string::npos; at = expected.find("(null)", at)) expected.erase(at, 6);
    if (qm::platform::percentDecode(encoded) != expected) std::abort();

    (void)qm::QMRedaction::qmRedactFormText(text);
    (void)qm::QMRedaction::qmRedactURLText(text);
    (void)qm::QMRedaction::qmRedactText(text);
    if (auto parsed = qm::platform::json::parse(text)) {
        (void)qm::QMRedaction::qmRedactSensitiveKeys(*parsed);
        bool replaced = false;
        (void)qm::qmReplacingInvalidUTF8(*parsed, replaced);
    }
    bool replaced = false;
    const qm::Value repaired = qm::qmReplacingInvalidUTF8(qm::Value(qm::Value{{"k", qm::Value(text)}}), replaced);
    if (!qm::platform::json::write(repaired)) std::abort();  // repaired text is always JSON
    return 0;
}
