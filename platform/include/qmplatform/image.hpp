// Decoded pictures: a bitmap is one frame of pixels; an image is what views show (one frame,
// or the frames of an animation with their delays) at a scale. Decoding goes through the
// configured image codec (the media library's, see Configuration::imageCodec).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qmplatform/geometry.hpp"

namespace qm::platform {

// Pixels in rows from the top, each a 32-bit native-endian word 0xAARRGGBB with the colour
// premultiplied by alpha (the layout cairo draws from).
struct Bitmap {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;  // width × height

    Bitmap() = default;
    Bitmap(int w, int h, std::uint32_t fill = 0)
        : width(w), height(h), pixels(static_cast<std::size_t>(w > 0 && h > 0 ? w : 0) * (h > 0 ? h : 0), fill) {}
    bool empty() const { return width <= 0 || height <= 0; }
    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
    std::uint32_t& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

class Image {
public:
    // One still frame. `scale` is pixels per point (2 for "@2x" pictures).
    static std::shared_ptr<Image> withBitmap(Bitmap bitmap, double scale = 1);
    // An animation: frames shown one after the other, each for its delay (seconds).
    static std::shared_ptr<Image> animated(std::vector<Bitmap> frames, std::vector<double> delays, double scale = 1);
    // Decodes with the configured codec; nothing when the data is not a picture the codec
    // reads (the reason is logged) or no codec is configured.
    static std::shared_ptr<Image> withData(std::string_view bytes, double scale = 1);
    static std::shared_ptr<Image> withContentsOfFile(const std::string& path);

    // In points: the first frame's pixels divided by the scale.
    Size size() const;
    double scale() const { return scale_; }
    const std::vector<Bitmap>& frames() const { return frames_; }
    const std::vector<double>& delays() const { return delays_; }
    bool isAnimated() const { return frames_.size() > 1; }
    // Sum of the delays.
    double duration() const;
    // The frame shown `seconds` after the animation started (it loops).
    const Bitmap& frameAt(double seconds) const;

private:
    Image() = default;
    std::vector<Bitmap> frames_;
    std::vector<double> delays_;
    double scale_ = 1;
};

// Turns bytes into pictures. Implementations are called from any thread.
class ImageCodec {
public:
    virtual ~ImageCodec() = default;
    // Every frame of a still or animated picture; an error text when the data is not one,
    // is cut short, or would decode to more pixels than allowed.
    struct Decoded {
        std::vector<Bitmap> frames;
        std::vector<double> delays;
        std::string error;  // empty on success
    };
    virtual Decoded decode(std::string_view bytes) = 0;

    // The configured codec (none until a host or the test host configures one).
    static std::shared_ptr<ImageCodec> current();
    static void setCurrent(std::shared_ptr<ImageCodec> codec);
};

}  // namespace qm::platform
