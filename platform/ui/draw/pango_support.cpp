#include "pango_support.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "qmbase/no_destructor.hpp"

namespace qm::platform::draw {

namespace {

// Font maps are created one at a time: the first one initialises fontconfig and loads the
// machine's font list, which must not happen on two threads at once.
std::mutex& fontMapCreation() {
    static NoDestructor<std::mutex> mutex;
    return *mutex;
}

struct ThreadContext {
    PangoFontMap* fontMap = nullptr;
    PangoContext* context = nullptr;

    ThreadContext() {
        std::lock_guard lock(fontMapCreation());
        fontMap = pango_cairo_font_map_new();
        pango_cairo_font_map_set_resolution(PANGO_CAIRO_FONT_MAP(fontMap), 72);
        context = pango_font_map_create_context(fontMap);
        pango_cairo_context_set_resolution(context, 72);
        pango_cairo_context_set_font_options(context, fixedFontOptions());
        // Unrounded glyph positions keep widths the same at every scale.
        pango_context_set_round_glyph_positions(context, FALSE);
        pango_context_set_language(context, pango_language_from_string("en"));
        // Load the system font once here, under the lock, so that fontconfig's first
        // configuration load happens inside it.
        FontDescription system(Font::systemFont(Font::kDefaultSize));
        if (PangoFont* font = pango_context_load_font(context, system.get())) g_object_unref(font);
    }
    ~ThreadContext() {
        g_object_unref(context);
        g_object_unref(fontMap);
    }
    ThreadContext(const ThreadContext&) = delete;
    ThreadContext& operator=(const ThreadContext&) = delete;
};

}  // namespace

PangoContext* threadContext() {
    thread_local ThreadContext state;
    return state.context;
}

const cairo_font_options_t* fixedFontOptions() {
    static const cairo_font_options_t* options = [] {
        cairo_font_options_t* o = cairo_font_options_create();
        cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
        cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
        cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
        cairo_font_options_set_subpixel_order(o, CAIRO_SUBPIXEL_ORDER_DEFAULT);
        return o;
    }();
    return options;
}

double usableSize(double pointSize) {
    if (!std::isfinite(pointSize) || pointSize <= 0) return Font::kDefaultSize;
    return std::clamp(pointSize, Font::kMinimumSize, Font::kMaximumSize);
}

FontDescription::FontDescription(const Font& font) : description_(pango_font_description_new()) {
    pango_font_description_set_family(description_, font.family.empty() ? Font::kSystemFamily : font.family.c_str());
    pango_font_description_set_absolute_size(description_, usableSize(font.pointSize) * PANGO_SCALE);
    PangoWeight weight = PANGO_WEIGHT_NORMAL;
    switch (font.weight) {
        case FontWeight::Regular: weight = PANGO_WEIGHT_NORMAL; break;
        case FontWeight::Medium: weight = PANGO_WEIGHT_MEDIUM; break;
        case FontWeight::Semibold: weight = PANGO_WEIGHT_SEMIBOLD; break;
        case FontWeight::Bold: weight = PANGO_WEIGHT_BOLD; break;
    }
    pango_font_description_set_weight(description_, weight);
    pango_font_description_set_style(description_, font.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
}

std::string validUTF8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* invalid = nullptr;
        g_utf8_validate(p, end - p, &invalid);
        // g_utf8_validate stops at a NUL as at a malformed byte.
        out.append(p, invalid);
        if (invalid == end) break;
        if (*invalid == '\0') {
            p = invalid + 1;
        } else {
            out += "\xEF\xBF\xBD";
            p = invalid + 1;
            // Skip the rest of a malformed sequence: continuation bytes that follow.
            while (p < end && (static_cast<unsigned char>(*p) & 0xC0) == 0x80) ++p;
        }
    }
    return out;
}

}  // namespace qm::platform::draw
