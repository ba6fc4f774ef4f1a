// Text operations that need Unicode knowledge (case mapping, diacritic folding).
#pragma once

#include <string>
#include <string_view>

namespace qm::platform {

class Text {
public:
    static std::string uppercase(std::string_view text);
    static std::string lowercase(std::string_view text);
    // Case- and diacritic-insensitive form used for comparisons ("É" and "e" fold alike).
    static std::string foldCaseAndDiacritics(std::string_view text);
    static bool hasPrefixIgnoringCaseAndDiacritics(std::string_view text, std::string_view prefix);
    static bool equalIgnoringCaseAndDiacritics(std::string_view a, std::string_view b);
    // The text with every byte sequence that is not valid UTF-8 replaced by U+FFFD.
    static std::string replacingInvalidUTF8(std::string_view text);
};

}  // namespace qm::platform
