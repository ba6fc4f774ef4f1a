#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "image_decode.hpp"
#include "input.hpp"
#include "qmmedia/media.hpp"
#include "qmplatform/sandbox.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace qm::platform::media {

namespace {

// A film decoded this far without reaching the time asked for gives the last frame it saw.
constexpr int kMaxFramesScanned = 20000;

bool isPictureFormat(const char* name) {
    return std::strcmp(name, "png_pipe") == 0 || std::strcmp(name, "jpeg_pipe") == 0 ||
           std::strcmp(name, "gif") == 0 || std::strcmp(name, "webp_pipe") == 0;
}

Description failed(std::string text) {
    Description description;
    description.error = std::move(text);
    return description;
}

Description describePicture(std::string_view bytes) {
    ImageCodec::Decoded decoded = detail::decodeImage(bytes);
    if (!decoded.error.empty()) return failed(decoded.error);
    Description description;
    description.kind = Kind::Image;
    description.width = decoded.frames.front().width;
    description.height = decoded.frames.front().height;
    description.frames = decoded.frames.size();
    description.durations = decoded.delays;
    for (double delay : decoded.delays) description.duration += delay;
    return description;
}

// A picture file is read into memory (within the codec's input limit) and decoded whole.
std::optional<std::string> readPictureFile(const std::string& path, std::string& error) {
    const auto size = Files::fileSize(path);
    if (size && *size > kMaxImageInputBytes) {
        error = "the picture has " + std::to_string(*size) + " bytes, more than the " +
                std::to_string(kMaxImageInputBytes) + " allowed";
        return std::nullopt;
    }
    auto bytes = Files::readFile(path);
    if (!bytes) error = "cannot read " + path;
    return bytes;
}

// The film's picture stream: a video stream that is not a cover picture.
int filmStream(AVFormatContext* format) {
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return -1;
    if (format->streams[index]->disposition & AV_DISPOSITION_ATTACHED_PIC) {
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            const AVStream* stream = format->streams[i];
            if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
                return static_cast<int>(i);
        }
        return -1;
    }
    return index;
}

double streamSeconds(const AVStream* stream, std::int64_t value) {
    return static_cast<double>(value) * av_q2d(stream->time_base);
}

Description describeStreams(detail::Demuxer& demuxer) {
    if (std::string error = demuxer.findStreamInfo(); !error.empty()) return failed(error);
    AVFormatContext* format = demuxer.format();
    const int video = filmStream(format);
    const int audio = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (video < 0 && audio < 0) return failed("neither sound nor pictures in the file");

    Description description;
    const AVStream* main = format->streams[video >= 0 ? video : audio];
    description.kind = video >= 0 ? Kind::Video : Kind::Audio;
    description.hasAudio = audio >= 0;
    if (video >= 0) {
        description.width = main->codecpar->width;
        description.height = main->codecpar->height;
        if (main->nb_frames > 0) description.frames = static_cast<std::size_t>(main->nb_frames);
    }
    double duration = 0;
    if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
        duration = static_cast<double>(format->duration) / AV_TIME_BASE;
    else if (main->duration != AV_NOPTS_VALUE && main->duration > 0)
        duration = streamSeconds(main, main->duration);
    description.duration = std::isfinite(duration) ? duration : 0;
    return description;
}

Still stillFailed(std::string text) {
    Still still;
    still.error = std::move(text);
    return still;
}

// The frame of a picture's animation shown at `seconds`.
Still pictureFrame(std::string_view bytes, double seconds) {
    ImageCodec::Decoded decoded = detail::decodeImage(bytes);
    if (!decoded.error.empty()) return stillFailed(decoded.error);
    auto image = Image::animated(std::move(decoded.frames), decoded.delays);
    Still still;
    const Bitmap& shown = image->frameAt(seconds);
    double start = 0;
    for (std::size_t i = 0; i < image->frames().size() && &image->frames()[i] != &shown; ++i)
        start += image->delays()[i];
    still.bitmap = shown;
    still.time = start;
    still.nextTime = start;  // the animation loops: no frame is kept for a while
    return still;
}

Still filmFrame(detail::Demuxer& demuxer, double seconds) {
    if (std::string error = demuxer.findStreamInfo(); !error.empty()) return stillFailed(error);
    AVFormatContext* format = demuxer.format();
    const int index = filmStream(format);
    if (index < 0) return stillFailed("no pictures in the file");
    const AVStream* stream = format->streams[index];
    if (static_cast<std::int64_t>(stream->codecpar->width) * stream->codecpar->height > kMaxFramePixels)
        return stillFailed("the film's frames are larger than allowed");
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    const double ticks = seconds / av_q2d(stream->time_base);
    // A time that is a frame's start up to rounding (0.7 s is 699.999… ms) counts as that start.
    const std::int64_t target = start + static_cast<std::int64_t>(std::floor(std::min(ticks, 9.0e15) + 1e-6));
    if (seconds > 0) av_seek_frame(format, index, target, AVSEEK_FLAG_BACKWARD);

    detail::Decoder decoder;
    if (std::string error = decoder.open(format, index); !error.empty()) return stillFailed(error);
    AVCodecContext* context = decoder.context();
    auto frame = detail::makeFrame();
    auto kept = detail::makeFrame();
    auto packet = detail::makePacket();
    if (!frame || !kept || !packet) return stillFailed("out of memory");
    bool haveKept = false, done = false;
    std::int64_t keptTime = 0;
    std::optional<std::int64_t> nextTime;
    int scanned = 0;
    std::string damage;

    const auto receive = [&] {
        while (!done) {
            const int result = avcodec_receive_frame(context, frame.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
            if (result < 0) {
                damage = detail::errorText(result);
                done = true;
                return;
            }
            std::int64_t time = frame->best_effort_timestamp;
            if (time == AV_NOPTS_VALUE) time = haveKept ? keptTime : start;
            // Keep the last frame that starts at or before the target; a later one ends the
            // search (or is the answer when none came before it).
            if (time <= target || !haveKept) {
                av_frame_unref(kept.get());
                av_frame_move_ref(kept.get(), frame.get());
                keptTime = time;
                haveKept = true;
                if (time > target) done = true;
            } else {
                nextTime = time;
                done = true;
            }
            av_frame_unref(frame.get());
            if (++scanned >= kMaxFramesScanned) done = true;
        }
    };

    while (!done) {
        const int read = av_read_frame(format, packet.get());
        if (read < 0) break;  // the end, or damage: what was decoded so far stands
        if (packet->stream_index == index) {
            const int sent = avcodec_send_packet(context, packet.get());
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN)) {
                damage = detail::errorText(sent);
                break;
            }
            receive();
        } else {
            av_packet_unref(packet.get());
        }
    }
    if (!done) {
        avcodec_send_packet(context, nullptr);
        receive();
    }
    if (!haveKept) return stillFailed(damage.empty() ? "no frame could be decoded" : "the film is damaged (" + damage + ")");
    Still still;
    detail::Converter converter;
    if (std::string error = converter.convert(kept.get(), still.bitmap); !error.empty()) return stillFailed(error);
    still.time = std::max(0.0, streamSeconds(stream, keptTime - start));
    if (nextTime) still.nextTime = std::max(still.time, streamSeconds(stream, *nextTime - start));
    else if (keptTime > target || scanned >= kMaxFramesScanned || !damage.empty()) still.nextTime = still.time;
    else still.nextTime = std::numeric_limits<double>::infinity();
    return still;
}

}  // namespace

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Image: return "image";
        case Kind::Audio: return "audio";
        case Kind::Video: return "video";
    }
    return "image";
}

Description describe(std::string_view bytes) {
    detail::Demuxer demuxer;
    if (std::string error = demuxer.openBytes(bytes, detail::kMediaFormats); !error.empty()) return failed(error);
    if (isPictureFormat(demuxer.formatName())) return describePicture(bytes);
    return describeStreams(demuxer);
}

Description describeFile(const std::string& path) {
    detail::Demuxer demuxer;
    if (std::string error = demuxer.openFile(path, detail::kMediaFormats); !error.empty()) return failed(error);
    if (isPictureFormat(demuxer.formatName())) {
        std::string error;
        const auto bytes = readPictureFile(path, error);
        return bytes ? describePicture(*bytes) : failed(error);
    }
    return describeStreams(demuxer);
}

Still videoFrame(std::string_view bytes, double seconds) {
    detail::Demuxer demuxer;
    if (std::string error = demuxer.openBytes(bytes, detail::kMediaFormats); !error.empty()) return stillFailed(error);
    if (isPictureFormat(demuxer.formatName())) return pictureFrame(bytes, seconds);
    return filmFrame(demuxer, seconds);
}

Still videoFrameFromFile(const std::string& path, double seconds) {
    detail::Demuxer demuxer;
    if (std::string error = demuxer.openFile(path, detail::kMediaFormats); !error.empty()) return stillFailed(error);
    if (isPictureFormat(demuxer.formatName())) {
        std::string error;
        const auto bytes = readPictureFile(path, error);
        return bytes ? pictureFrame(*bytes, seconds) : stillFailed(error);
    }
    return filmFrame(demuxer, seconds);
}

}  // namespace qm::platform::media
