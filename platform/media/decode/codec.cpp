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
