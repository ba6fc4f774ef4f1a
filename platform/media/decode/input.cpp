#include "input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "qmmedia/media.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace qm::platform::media::detail {

namespace {

constexpr int kIOBufferSize = 32 * 1024;

void discardLogLine(void*, int, const char*, va_list) {}

// Containers may ask to open further files or URLs (playlists, external references); ours
// read one piece of media and nothing else.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

}  // namespace

const char* const kImageFormats = "png_pipe,jpeg_pipe,gif,webp_pipe";
const char* const kMediaFormats =
    "png_pipe,jpeg_pipe,gif,webp_pipe,mov,mp4,matroska,webm,avi,wav,mp3,aac,flac,ogg,caf,aiff,amr,mpegts,mpeg,"
    "asf,flv,w64";

void silenceLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        av_log_set_callback(discardLogLine);
    });
}

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, text, sizeof text) < 0) return "error " + std::to_string(code);
    return text;
}

// ---------------------------------------------------------------------------------------------
Demuxer::~Demuxer() {
    if (format_) avformat_close_input(&format_);
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0) ::close(fd_);
}

std::string Demuxer::openBytes(std::string_view bytes, const char* formats) {
    if (bytes.empty()) return "the data is empty";
    bytes_ = bytes;
    size_ = static_cast<std::int64_t>(bytes.size());
    return open(formats);
}

std::string Demuxer::openFile(const std::string& path, const char* formats) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return "cannot open " + path + ": " + std::strerror(errno);
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return "cannot read " + path + ": " + std::strerror(errno);
    // Only plain files: a device or a pipe could feed the demuxer without end.
    if (!S_ISREG(info.st_mode)) return path + " is not a plain file";
    if (info.st_size == 0) return path + " is empty";
    size_ = info.st_size;
    return open(formats);
}

std::string Demuxer::open(const char* formats) {
    silenceLibraryLog();
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIOBufferSize));
    if (!buffer) return "out of memory";
    io_ = avio_alloc_context(buffer, kIOBufferSize, 0, this, &Demuxer::readPacket, nullptr, &Demuxer::seek);
    if (!io_) {
        av_free(buffer);
        return "out of memory";
    }
    format_ = avformat_alloc_context();
    if (!format_) return "out of memory";
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    format_->io_open = refuseNestedOpen;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", formats, 0);
    // GIF delays arrive as written; the rule for very short ones is applied by the codec.
    av_dict_set(&options, "min_delay", "0", 0);
    const int result = avformat_open_input(&format_, "", nullptr, &options);
    av_dict_free(&options);
    if (result < 0) {
        format_ = nullptr;  // freed by avformat_open_input
        if (result == AVERROR(EINVAL)) return "not a kind of media that is read here";
        if (result == AVERROR_INVALIDDATA) return "not a recognised media format";
        if (result == AVERROR_EOF) return "the data ends before its header";
        return "cannot be read (" + errorText(result) + ")";
    }
    return {};
}

std::string Demuxer::findStreamInfo() {
    AVDictionary** options = nullptr;
    const unsigned count = format_->nb_streams;
    if (count > 0) {
        options = static_cast<AVDictionary**>(av_calloc(count, sizeof(AVDictionary*)));
        if (!options) return "out of memory";
        const std::string maxPixels = std::to_string(kMaxFramePixels);
        for (unsigned i = 0; i < count; ++i) {
            av_dict_set(&options[i], "max_pixels", maxPixels.c_str(), 0);
            av_dict_set(&options[i], "threads", "1", 0);
        }
    }
    const int result = avformat_find_stream_info(format_, options);
    for (unsigned i = 0; i < count; ++i) av_dict_free(&options[i]);
    av_free(options);
    if (result < 0) return "cannot read the streams (" + errorText(result) + ")";
    return {};
}

const char* Demuxer::formatName() const { return format_ && format_->iformat ? format_->iformat->name : ""; }

int Demuxer::readPacket(void* opaque, std::uint8_t* buffer, int size) {
    auto* self = static_cast<Demuxer*>(opaque);
    if (size <= 0) return 0;
    if (self->position_ >= self->size_) return AVERROR_EOF;
    const std::int64_t wanted = std::min<std::int64_t>(size, self->size_ - self->position_);
    if (self->fd_ >= 0) {
        const ssize_t got = ::pread(self->fd_, buffer, static_cast<std::size_t>(wanted), self->position_);
        if (got < 0) return AVERROR(errno);
        if (got == 0) return AVERROR_EOF;
        self->position_ += got;
        return static_cast<int>(got);
    }
    std::memcpy(buffer, self->bytes_.data() + self->position_, static_cast<std::size_t>(wanted));
    self->position_ += wanted;
    return static_cast<int>(wanted);
}

std::int64_t Demuxer::seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<Demuxer*>(opaque);
    whence &= ~AVSEEK_FORCE;
    std::int64_t target = 0;
    switch (whence) {
        case AVSEEK_SIZE: return self->size_;
        case SEEK_SET: target = offset; break;
        case SEEK_CUR: target = self->position_ + offset; break;
        case SEEK_END: target = self->size_ + offset; break;
        default: return AVERROR(EINVAL);
    }
    if (target < 0) return AVERROR(EINVAL);
    self->position_ = target;
    return target;
}

// ---------------------------------------------------------------------------------------------
Decoder::~Decoder() { avcodec_free_context(&context_); }

std::string Decoder::open(AVFormatContext* format, int streamIndex) {
    const AVStream* stream = format->streams[streamIndex];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) return "no decoder for this kind of stream";
    context_ = avcodec_alloc_context3(codec);
    if (!context_) return "out of memory";
    if (avcodec_parameters_to_context(context_, stream->codecpar) < 0) return "the stream's parameters are not valid";
    context_->thread_count = 1;
    context_->max_pixels = kMaxFramePixels;
    context_->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK;
    context_->pkt_timebase = stream->time_base;
    const int result = avcodec_open2(context_, codec, nullptr);
    if (result < 0) return "cannot start the decoder (" + errorText(result) + ")";
    return {};
}

// ---------------------------------------------------------------------------------------------
Converter::~Converter() { sws_freeContext(sws_); }

std::string Converter::convert(const AVFrame* frame, Bitmap& out) {
    const int width = frame->width, height = frame->height;
    if (width <= 0 || height <= 0) return "a frame has no pixels";
    if (static_cast<std::int64_t>(width) * height > kMaxFramePixels) return "a frame is larger than allowed";
    const auto source = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(source);
    if (!descriptor) return "a frame has an unknown pixel format";

    out = Bitmap(width, height);
    auto* destination = reinterpret_cast<std::uint8_t*>(out.pixels.data());
    const int destinationStride = width * 4;
    if (source == AV_PIX_FMT_RGB32) {
        for (int y = 0; y < height; ++y)
            std::memcpy(destination + static_cast<std::size_t>(y) * destinationStride,
                        frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0],
                        static_cast<std::size_t>(destinationStride));
    } else {
        sws_ = sws_getCachedContext(sws_, width, height, source, width, height, AV_PIX_FMT_RGB32,
                                    SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
        if (!sws_) return std::string("frames in ") + descriptor->name + " cannot be converted";
        if (!(descriptor->flags & AV_PIX_FMT_FLAG_RGB) && !(descriptor->flags & AV_PIX_FMT_FLAG_PAL)) {
            // Full-range YUV that is not marked by its format (WebP, some JPEGs).
            int* inverse = nullptr;
            int* table = nullptr;
            int sourceRange = 0, destinationRange = 0, brightness = 0, contrast = 0, saturation = 0;
            if (sws_getColorspaceDetails(sws_, &inverse, &sourceRange, &table, &destinationRange, &brightness,
                                         &contrast, &saturation) >= 0 &&
                frame->color_range == AVCOL_RANGE_JPEG && !sourceRange) {
                sws_setColorspaceDetails(sws_, inverse, 1, table, destinationRange, brightness, contrast,
                                         saturation);
            }
        }
        std::uint8_t* planes[4] = {destination, nullptr, nullptr, nullptr};
        int strides[4] = {destinationStride, 0, 0, 0};
        if (sws_scale(sws_, frame->data, frame->linesize, 0, height, planes, strides) != height)
            return "a frame could not be converted";
    }
    // Premultiply the colour by alpha.
    for (std::uint32_t& pixel : out.pixels) {
        const std::uint32_t alpha = pixel >> 24;
        if (alpha == 255) continue;
        if (alpha == 0) {
            pixel = 0;
            continue;
        }
        const auto scale = [alpha](std::uint32_t channel) { return (channel * alpha + 127) / 255; };
        pixel = (alpha << 24) | (scale((pixel >> 16) & 0xff) << 16) | (scale((pixel >> 8) & 0xff) << 8) |
                scale(pixel & 0xff);
    }
    return {};
}

void PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }
PacketPtr makePacket() { return PacketPtr(av_packet_alloc()); }
FramePtr makeFrame() { return FramePtr(av_frame_alloc()); }

}  // namespace qm::platform::media::detail
