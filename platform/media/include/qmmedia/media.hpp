// The media library: pictures, sounds and films read with FFmpeg's libraries.
//
// Everything here reads from memory or from a local file only (never a URL, never a file a
// container names inside itself), never throws, and is safe from any thread. Input that is
// not media, is cut short, or would need more memory than the limits below allow gives an
// error text instead of a result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qmplatform/image.hpp"

namespace qm::platform::media {

// Limits of the picture decoder.
// Bytes of one encoded picture.
inline constexpr std::size_t kMaxImageInputBytes = 32u * 1024 * 1024;
// Pixels of one decoded frame (a 8192 × 4096 picture).
inline constexpr std::int64_t kMaxFramePixels = 32ll * 1024 * 1024;
// Pixels of all the frames of one picture together (256 MB of ARGB).
inline constexpr std::int64_t kMaxTotalPixels = 64ll * 1024 * 1024;
// Frames of one animation.
inline constexpr std::size_t kMaxFrames = 1000;
// An animation frame whose delay is shorter than this is shown for kDefaultFrameDelay, as
// browsers and phones do with GIFs that ask for "as fast as possible".
inline constexpr double kMinFrameDelay = 0.02;
inline constexpr double kDefaultFrameDelay = 0.1;

// The FFmpeg-backed picture codec, for Configuration::imageCodec. Reads PNG, JPEG, GIF
// (every frame with its delay) and WebP stills into premultiplied ARGB bitmaps. A still's
// delay is 0.
std::shared_ptr<ImageCodec> imageCodec();

// What a piece of media is.
enum class Kind { Image, Audio, Video };

const char* kindName(Kind kind);  // "image", "audio", "video"

struct Description {
    Kind kind = Kind::Image;
    // Pictures and films: size in pixels of the (first) frame.
    int width = 0, height = 0;
    // Pictures: the number of frames and each one's delay in seconds (a still: 1 frame of 0 s).
    // Films: the frames the container announces (0 when it does not say).
    std::size_t frames = 0;
    std::vector<double> durations;
    // Seconds: an animation's delays added up; a sound's or film's length.
    double duration = 0;
    bool hasAudio = false;  // films: whether there is a sound track as well
    std::string error;      // not empty: nothing else is set
    bool ok() const { return error.empty(); }
};

// Reads what the bytes (or the local file) hold: a picture the image codec reads, or a sound
// or film in a common container (MP4/MOV, Matroska/WebM, AVI, WAV, MP3, AAC, Ogg, FLAC, ...).
Description describe(std::string_view bytes);
Description describeFile(const std::string& path);

// A film's frame as shown `seconds` after its start (the last frame that starts at or before
// that time; the first frame for times before it, the last for times after the end).
struct Still {
    Bitmap bitmap;
    double time = 0;  // when the frame starts, in seconds from the film's start
    // When the next frame starts (infinity for the last frame; `time` when not known), so a
    // caller can keep the frame until then.
    double nextTime = 0;
    std::string error;
    bool ok() const { return error.empty(); }
};
Still videoFrame(std::string_view bytes, double seconds);
Still videoFrameFromFile(const std::string& path, double seconds);

}  // namespace qm::platform::media
