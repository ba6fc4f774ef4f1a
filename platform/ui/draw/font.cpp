#include "qmui/font.hpp"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <utility>
#include <vector>

#include "pango_support.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm::platform {

namespace {

// Lower case without spaces, hyphens or underscores: "DejaVu Sans-Bold" and "dejavusansbold"
// name the same face.
std::string squeezed(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (c == ' ' || c == '-' || c == '_') continue;
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// Installed families as (squeezed name, name), longest first so that "DejaVu Sans Mono" wins
// over "DejaVu Sans". Read once: the list does not change while the process runs.
const std::vector<std::pair<std::string, std::string>>& installedFamilies() {
    static NoDestructor<std::vector<std::pair<std::string, std::string>>> families;
    static std::once_flag once;
    std::call_once(once, [] {
        PangoFontFamily** list = nullptr;
        int count = 0;
        pango_font_map_list_families(pango_context_get_font_map(draw::threadContext()), &list, &count);
        for (int i = 0; i < count; ++i) {
            const char* name = pango_font_family_get_name(list[i]);
            if (name && *name) families->emplace_back(squeezed(name), name);
        }
        g_free(list);
        std::sort(families->begin(), families->end(),
                  [](const auto& x, const auto& y) { return x.first.size() > y.first.size(); });
    });
    return *families;
}

bool removeSuffix(std::string& text, std::string_view suffix) {
    if (text.size() < suffix.size() || text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    text.resize(text.size() - suffix.size());
    return true;
}

// A face's style words ("bold", "semibolditalic", "oblique"); nothing for styles the font
// value cannot express.
std::optional<std::pair<FontWeight, bool>> parseStyle(std::string style) {
    const bool italic = removeSuffix(style, "italic") || removeSuffix(style, "oblique");
    if (style.empty() || style == "regular" || style == "book" || style == "roman" || style == "normal")
        return std::pair{FontWeight::Regular, italic};
    if (style == "medium") return std::pair{FontWeight::Medium, italic};
    if (style == "semibold" || style == "demibold" || style == "demi") return std::pair{FontWeight::Semibold, italic};
    if (style == "bold") return std::pair{FontWeight::Bold, italic};
    return std::nullopt;
}

struct Metrics {
    double ascent = 0, descent = 0;
};

Metrics metricsOf(const Font& font) {
    draw::FontDescription description(font);
    PangoFontMetrics* metrics = pango_context_get_metrics(draw::threadContext(), description.get(), nullptr);
    if (!metrics) return {};
    Metrics out{draw::fromPango(pango_font_metrics_get_ascent(metrics)),
                draw::fromPango(pango_font_metrics_get_descent(metrics))};
    pango_font_metrics_unref(metrics);
    return out;
}

}  // namespace

Font Font::systemFont(double size) { return systemFont(size, FontWeight::Regular); }

Font Font::boldSystemFont(double size) { return systemFont(size, FontWeight::Bold); }

Font Font::systemFont(double size, FontWeight weight) {
    Font font;
    font.pointSize = draw::usableSize(size);
    font.weight = weight;
    return font;
}

Font Font::italicSystemFont(double size) {
    Font font = systemFont(size);
    font.italic = true;
    return font;
}

std::optional<Font> Font::fontWithName(std::string_view name, double size) {
    const std::string wanted = squeezed(name);
    if (wanted.empty()) return std::nullopt;
    for (const auto& [key, family] : installedFamilies()) {
        if (wanted.compare(0, key.size(), key) != 0) continue;
        const auto style = parseStyle(wanted.substr(key.size()));
        if (!style) continue;  // a shorter family name may still read the rest as a style
        Font font;
        font.family = family;
        font.pointSize = draw::usableSize(size);
        font.weight = style->first;
        font.italic = style->second;
        return font;
    }
    return std::nullopt;
}

Font Font::withSize(double size) const {
    Font font = *this;
    font.pointSize = draw::usableSize(size);
    return font;
}

std::string Font::fontName() const {
    std::string name;
    for (char c : family)
        if (c != ' ') name += c;
    static constexpr const char* kWeights[] = {"", "Medium", "Semibold", "Bold"};
    const int w = static_cast<int>(weight);
    std::string style = kWeights[w >= 0 && w < 4 ? w : 0];
    if (italic) style += "Italic";
    if (!style.empty()) name += "-" + style;
    return name;
}

double Font::lineHeight() const {
    const Metrics m = metricsOf(*this);
    return m.ascent + m.descent;
}

double Font::ascender() const { return metricsOf(*this).ascent; }

double Font::descender() const { return -metricsOf(*this).descent; }

}  // namespace qm::platform
