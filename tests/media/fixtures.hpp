// Test media made at run time with libavcodec's encoders: pictures, animations, a sound and
// small films whose frames can be told apart by colour.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::testkit::media {

// Pixels as 0xAARRGGBB words, not premultiplied, rows from the top.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> argb;

    Picture() = default;
    Picture(int w, int h, std::uint32_t fill) : width(w), height(h), argb(static_cast<std::size_t>(w) * h, fill) {}
    std::uint32_t& at(int x, int y) { return argb[static_cast<std::size_t>(y) * width + x]; }
};

// One encoded still; empty when the encoder is not part of the installed libavcodec.
std::string encodePNG(const Picture& picture);
std::string encodeJPEG(const Picture& picture);
std::string encodeWebP(const Picture& picture);
// An animated GIF whose frames carry exactly these delays (hundredths of a second, as the
// file stores them). Colours must fit one 256-entry palette; alpha 0 is the transparent one.
std::string encodeGIF(const std::vector<Picture>& frames, const std::vector<int>& delaysCentiseconds);

// A mono 16-bit PCM WAV file of `seconds` (a tone at 440 Hz).
std::string encodeWAV(double seconds, int sampleRate = 8000);

// A film of `frames` frames at `fps`, frame i filled with filmColour(i). `container` is a
// muxer name ("matroska", "avi"), `codec` an encoder name ("mpeg4", "mjpeg"). With
// `withSound` a PCM track of the same length goes along. Written to `path`; false when the
// encoder or muxer is missing.
bool writeFilm(const std::string& path, const std::string& container, const std::string& codec, int frames,
               int fps, int width, int height, bool withSound = false);
// The grey level of film frame i.
int filmGrey(int frame);

// The premultiplied word the decoder should give for an unpremultiplied one.
std::uint32_t premultiplied(std::uint32_t argb);

// A folder removed with everything in it when the object goes.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes the bytes to a file of the folder and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

}  // namespace qm::testkit::media
