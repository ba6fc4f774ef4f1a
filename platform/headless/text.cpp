#include "qmplatform/text.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace qm::platform {
namespace {
icu::UnicodeString fromUTF8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}
std::string toUTF8(const icu::UnicodeString& u) {
    std::string out;
    u.toUTF8String(out);
    return out;
}
}  // namespace

std::string Text::replacingInvalidUTF8(std::string_view text) { return toUTF8(fromUTF8(text)); }

std::string Text::uppercase(std::string_view text) { return toUTF8(fromUTF8(text).toUpper(icu::Locale::getRoot())); }
std::string Text::lowercase(std::string_view text) { return toUTF8(fromUTF8(text).toLower(icu::Locale::getRoot())); }

std::string Text::foldCaseAndDiacritics(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    icu::UnicodeString u = fromUTF8(text);
    if (U_SUCCESS(status)) {
        icu::UnicodeString decomposed = nfd->normalize(u, status);
        if (U_SUCCESS(status)) u = decomposed;
    }
    icu::UnicodeString stripped;
    for (int32_t i = 0; i < u.length();) {
        UChar32 c = u.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
        i += U16_LENGTH(c);
    }
    return toUTF8(stripped.foldCase());
}

bool Text::hasPrefixIgnoringCaseAndDiacritics(std::string_view text, std::string_view prefix) {
    std::string t = foldCaseAndDiacritics(text);
    std::string p = foldCaseAndDiacritics(prefix);
    return t.compare(0, p.size(), p) == 0;
}

bool Text::equalIgnoringCaseAndDiacritics(std::string_view a, std::string_view b) {
    return foldCaseAndDiacritics(a) == foldCaseAndDiacritics(b);
}

}  // namespace qm::platform
