// Runs arbitrary bytes through the picture codec and the media reader and checks what comes
// back: an error, or frames whose sizes, delays and premultiplied pixels hold together.
// Shared by the fuzzer and the test that replays what it found.
#pragma once

#include <cmath>
#include <string>
#include <string_view>

#include "qmmedia/media.hpp"

namespace qm::fuzz {

inline std::string checkBitmap(const platform::Bitmap& bitmap, const char* what) {
    if (bitmap.width <= 0 || bitmap.height <= 0) return std::string(what) + ": an empty bitmap";
    if (bitmap.pixels.size() != static_cast<std::size_t>(bitmap.width) * bitmap.height)
        return std::string(what) + ": pixel count differs from width × height";
    for (std::uint32_t pixel : bitmap.pixels) {
        const std::uint32_t alpha = pixel >> 24;
        if (((pixel >> 16) & 0xff) > alpha || ((pixel >> 8) & 0xff) > alpha || (pixel & 0xff) > alpha)
            return std::string(what) + ": a colour exceeds its alpha (not premultiplied)";
    }
    return {};
}

// "" when every promise held; otherwise what broke.
inline std::string exerciseMedia(std::string_view bytes) {
    namespace media = platform::media;
    const auto decoded = media::imageCodec()->decode(bytes);
    if (decoded.error.empty()) {
        if (decoded.frames.empty()) return "decode: success without frames";
        if (decoded.frames.size() > media::kMaxFrames) return "decode: more frames than allowed";
        if (decoded.delays.size() != decoded.frames.size()) return "decode: delays do not match frames";
        for (double delay : decoded.delays)
            if (!std::isfinite(delay) || delay < 0) return "decode: a delay that is not a time";
        long long pixels = 0;
        for (const auto& frame : decoded.frames) {
            if (auto problem = checkBitmap(frame, "decode"); !problem.empty()) return problem;
            pixels += static_cast<long long>(frame.width) * frame.height;
        }
        if (pixels > media::kMaxTotalPixels) return "decode: more pixels than allowed";
    } else if (!decoded.frames.empty()) {
        return "decode: an error with frames";
    }

    const auto description = media::describe(bytes);
    if (description.ok()) {
        if (!std::isfinite(description.duration) || description.duration < 0) return "describe: a bad duration";
        if (description.kind == media::Kind::Image && (description.frames == 0 || description.width <= 0))
            return "describe: a picture without frames";
    } else if (description.error.empty()) {
        return "describe: failure without a reason";
    }

    const double at = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]) / 50.0;
    const auto still = media::videoFrame(bytes, at);
    if (still.ok()) {
        if (auto problem = checkBitmap(still.bitmap, "videoFrame"); !problem.empty()) return problem;
        if (!std::isfinite(still.time) || still.time < 0) return "videoFrame: a bad time";
    }
    return {};
}

}  // namespace qm::fuzz
