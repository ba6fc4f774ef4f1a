// FFmpeg demuxing over bytes in memory or a local file, with nothing else reachable: a custom
// I/O context feeds the demuxer, only the formats named are accepted, and a container that
// asks to open another file or URL (playlists, references) is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "qmplatform/image.hpp"

extern "C" {
struct AVFormatContext;
struct AVIOContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;
}

namespace qm::platform::media::detail {

// Routes FFmpeg's own log lines to nowhere (once per process).
void silenceLibraryLog();

// Picture demuxers only.
extern const char* const kImageFormats;
// Pictures and the common sound and film containers.
extern const char* const kMediaFormats;

class Demuxer {
public:
    Demuxer() = default;
    ~Demuxer();
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    // Opens the bytes (which must outlive the demuxer) or a local file; an error text or "".
    std::string openBytes(std::string_view bytes, const char* formats);
    std::string openFile(const std::string& path, const char* formats);
    // Reads stream information (durations, sizes); an error text or "".
    std::string findStreamInfo();

    AVFormatContext* format() const { return format_; }
    const char* formatName() const;

private:
    std::string open(const char* formats);
    static int readPacket(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

    std::string_view bytes_;
    int fd_ = -1;
    std::int64_t size_ = 0;
    std::int64_t position_ = 0;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
};

// A decoder for one stream of an open demuxer, with FFmpeg's frame-size limit and strict
// error checking; single-threaded so one decode uses one thread.
class Decoder {
public:
    Decoder() = default;
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    std::string open(AVFormatContext* format, int streamIndex);
    AVCodecContext* context() const { return context_; }

private:
    AVCodecContext* context_ = nullptr;
};

// Converts decoded frames to premultiplied ARGB bitmaps.
class Converter {
public:
    Converter() = default;
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // An error text, or "" with `out` filled.
    std::string convert(const AVFrame* frame, Bitmap& out);

private:
    SwsContext* sws_ = nullptr;
};

// Owning holders for packets and frames.
struct PacketDeleter {
    void operator()(AVPacket* packet) const;
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const;
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
PacketPtr makePacket();
FramePtr makeFrame();

// FFmpeg's text for an error code.
std::string errorText(int code);

}  // namespace qm::platform::media::detail
