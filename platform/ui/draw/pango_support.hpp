// Pango and cairo plumbing shared by fonts, text and the canvas (private to the screen
// library).
#pragma once

#include <pango/pangocairo.h>

#include <string>
#include <string_view>
#include <utility>

#include "qmui/font.hpp"

namespace qm::platform::draw {

// Owns one reference of a GObject.
template <typename T>
class GRef {
public:
    GRef() = default;
    explicit GRef(T* object) : object_(object) {}
    ~GRef() {
        if (object_) g_object_unref(object_);
    }
    GRef(GRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GRef& operator=(GRef&& other) noexcept {
        if (this != &other) {
            if (object_) g_object_unref(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;

    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T* object_ = nullptr;
};

// A font description for `font`, freed with the holder.
class FontDescription {
public:
    explicit FontDescription(const Font& font);
    ~FontDescription() { pango_font_description_free(description_); }
    FontDescription(const FontDescription&) = delete;
    FontDescription& operator=(const FontDescription&) = delete;
    const PangoFontDescription* get() const { return description_; }

private:
    PangoFontDescription* description_;
};

// The calling thread's Pango context: its own font map (Pango's objects are not shared
// between threads), 72 units per inch so that one point is one unit, and font options fixed
// so that metrics do not depend on the machine or on the scale the text is drawn at. Created
// on first use, released when the thread ends.
PangoContext* threadContext();

// The font options every text is laid out and drawn with.
const cairo_font_options_t* fixedFontOptions();

// The size the font is used at: the label default for a size that is not a positive number,
// held to the maximum.
double usableSize(double pointSize);

// Valid UTF-8 for Pango: malformed sequences become U+FFFD, NUL characters are dropped.
std::string validUTF8(std::string_view text);

constexpr double fromPango(int units) { return static_cast<double>(units) / PANGO_SCALE; }

}  // namespace qm::platform::draw
