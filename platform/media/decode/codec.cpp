#include <cmath>
#include <cstdint>
#include <deque>
#include <string>

#include "image_decode.hpp"
#include "input.hpp"
#include "qmmedia/media.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace qm::platform::media {

namespace detail {

namespace {

bool isPictureCodec(AVCodecID id) {
    return id == AV_CODEC_ID_PNG || id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_GIF || id == AV_CODEC_ID_WEBP;
}

ImageCodec::Decoded failure(std::string text) { return {{}, {}, std::move(text)}; }

// The decoders show what arrived of a picture that is cut short; a picture that does not end
// the way its format ends is refused instead, so a broken download is never shown (or
// cached) as if it were whole.
std::string endingProblem(AVCodecID id, std::string_view bytes) {
    switch (id) {
        case AV_CODEC_ID_PNG: {
            // The IEND chunk: no data, its type, and that type's fixed checksum.
            static constexpr std::string_view kEnd("IEND\xae\x42\x60\x82", 8);
            if (bytes.find(kEnd) == std::string_view::npos) return "the PNG is cut short (it has no end chunk)";
            return {};
        }
        case AV_CODEC_ID_MJPEG: {
            const auto scan = bytes.rfind("\xff\xda");
            const auto end = bytes.rfind("\xff\xd9");
            if (scan == std::string_view::npos || end == std::string_view::npos || end < scan)
                return "the JPEG is cut short (it has no end marker)";
            return {};
        }
        case AV_CODEC_ID_GIF: {
            // The trailer byte, possibly followed by padding.
            std::size_t last = bytes.find_last_not_of('\0');
            if (last == std::string_view::npos || bytes[last] != ';') return "the GIF is cut short (it has no trailer)";
            return {};
        }
        case AV_CODEC_ID_WEBP: {
            // "RIFF", the length of what follows, "WEBP".
            if (bytes.size() < 12) return "the WebP is cut short";
            const auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])); };
            const std::uint64_t length = byte(4) | byte(5) << 8 | byte(6) << 16 | byte(7) << 24;
            if (length + 8 > bytes.size()) return "the WebP is cut short";
            return {};
        }
        default: return {};
    }
}

}  // namespace

ImageCodec::Decoded decodeImage(std::string_view bytes) {
    if (bytes.empty()) return failure("the data is empty");
    if (bytes.size() > kMaxImageInputBytes)
        return failure("the picture has " + std::to_string(bytes.size()) + " bytes, more than the " +
                       std::to_string(kMaxImageInputBytes) + " allowed");
    Demuxer demuxer;
    if (std::string error = demuxer.openBytes(bytes, kImageFormats); !error.empty())
        return failure("not a picture: " + error);
    AVFormatContext* format = demuxer.format();
    const int streamIndex = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (streamIndex < 0) return failure("no picture in the data");
    const AVStream* stream = format->streams[streamIndex];
    const AVCodecID codecId = stream->codecpar->codec_id;
    if (!isPictureCodec(codecId)) return failure("not a PNG, JPEG, GIF or WebP picture");
    if (std::string problem = endingProblem(codecId, bytes); !problem.empty()) return failure(problem);
    // A size the header announces is checked before anything is allocated for it.
    const std::int64_t announced = static_cast<std::int64_t>(stream->codecpar->width) * stream->codecpar->height;
    if (announced > kMaxFramePixels)
        return failure("the picture is " + std::to_string(stream->codecpar->width) + " × " +
                       std::to_string(stream->codecpar->height) + " pixels, more than the " +
                       std::to_string(kMaxFramePixels) + " allowed");

    Decoder decoder;
    if (std::string error = decoder.open(format, streamIndex); !error.empty()) return failure(error);
    AVCodecContext* context = decoder.context();
    Converter converter;
    ImageCodec::Decoded decoded;
    std::deque<double> packetDelays;  // pictures decode in order: one frame per packet
    std::int64_t totalPixels = 0;
    auto frame = makeFrame();
    auto packet = makePacket();
    if (!frame || !packet) return failure("out of memory");

    const auto receive = [&]() -> std::string {
        for (;;) {
            const int result = avcodec_receive_frame(context, frame.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return {};
            if (result < 0) return "the picture is damaged (" + errorText(result) + ")";
            if (decoded.frames.size() >= kMaxFrames)
                return "the animation has more than " + std::to_string(kMaxFrames) + " frames";
            totalPixels += static_cast<std::int64_t>(frame->width) * frame->height;
            if (totalPixels > kMaxTotalPixels)
                return "the frames together have more than " + std::to_string(kMaxTotalPixels) + " pixels";
            Bitmap bitmap;
            if (std::string error = converter.convert(frame.get(), bitmap); !error.empty()) return error;
            decoded.frames.push_back(std::move(bitmap));
            double delay = 0;
            if (!packetDelays.empty()) {
                delay = packetDelays.front();
                packetDelays.pop_front();
            }
            decoded.delays.push_back(delay);
            av_frame_unref(frame.get());
        }
    };

    for (;;) {
        const int read = av_read_frame(format, packet.get());
        if (read == AVERROR_EOF) break;
        if (read < 0) return failure("the picture is cut short or damaged (" + errorText(read) + ")");
        if (packet->stream_index == streamIndex) {
            const double seconds = packet->duration > 0 ? static_cast<double>(packet->duration) * av_q2d(stream->time_base) : 0;
            packetDelays.push_back(std::isfinite(seconds) ? seconds : 0);
            const int sent = avcodec_send_packet(context, packet.get());
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN))
                return failure("the picture is damaged (" + errorText(sent) + ")");
            if (std::string error = receive(); !error.empty()) return failure(error);
        } else {
            av_packet_unref(packet.get());
        }
    }
    avcodec_send_packet(context, nullptr);
    if (std::string error = receive(); !error.empty()) return failure(error);
    if (decoded.frames.empty()) return failure("no picture in the data");

    if (decoded.frames.size() == 1) {
        decoded.delays.assign(1, 0);
    } else {
        for (double& delay : decoded.delays)
            if (delay < kMinFrameDelay) delay = kDefaultFrameDelay;
    }
    return decoded;
}

}  // namespace detail

namespace {

class FFmpegImageCodec final : public ImageCodec {
public:
    Decoded decode(std::string_view bytes) override { return detail::decodeImage(bytes); }
};

}  // namespace

std::shared_ptr<ImageCodec> imageCodec() {
    static const auto codec = std::make_shared<FFmpegImageCodec>();
    return codec;
}

}  // namespace qm::platform::media
