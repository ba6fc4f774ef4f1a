#include "fixtures.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include "qmplatform/sandbox.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace qm::testkit::media {

namespace {

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

bool supports(const AVCodec* codec, AVPixelFormat format) {
    if (!codec->pix_fmts) return true;
    for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
        if (*f == format) return true;
    return false;
}

// The picture converted to `format` with swscale (source: native-endian ARGB words).
Frame frameOf(const Picture& picture, AVPixelFormat format) {
    Frame frame(av_frame_alloc());
    frame->width = picture.width;
    frame->height = picture.height;
    frame->format = format;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    SwsContext* sws = sws_getContext(picture.width, picture.height, AV_PIX_FMT_RGB32, picture.width, picture.height,
                                     format, SWS_POINT | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!sws) return nullptr;
    const std::uint8_t* source[4] = {reinterpret_cast<const std::uint8_t*>(picture.argb.data()), nullptr, nullptr,
                                     nullptr};
    const int strides[4] = {picture.width * 4, 0, 0, 0};
    sws_scale(sws, source, strides, 0, picture.height, frame->data, frame->linesize);
    sws_freeContext(sws);
    return frame;
}

// Sends one frame (or the flush) and appends what comes out.
bool drain(AVCodecContext* encoder, const AVFrame* frame, std::vector<Packet>& out) {
    if (avcodec_send_frame(encoder, frame) < 0) return false;
    for (;;) {
        Packet packet(av_packet_alloc());
        const int result = avcodec_receive_packet(encoder, packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
        if (result < 0) return false;
        out.push_back(std::move(packet));
    }
}

std::string encodeStill(const char* encoderName, const Picture& picture, AVPixelFormat format,
                        const std::map<std::string, std::string>& options = {}) {
    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName);
    if (!codec || !supports(codec, format)) return {};
    CodecContext encoder(avcodec_alloc_context3(codec));
    encoder->width = picture.width;
    encoder->height = picture.height;
    encoder->pix_fmt = format;
    encoder->time_base = {1, 25};
    encoder->flags |= AV_CODEC_FLAG_QSCALE;
    encoder->global_quality = FF_QP2LAMBDA * 2;
    AVDictionary* dict = nullptr;
    for (const auto& [key, value] : options) av_dict_set(&dict, key.c_str(), value.c_str(), 0);
    const int opened = avcodec_open2(encoder.get(), codec, &dict);
    av_dict_free(&dict);
    if (opened < 0) return {};
    Frame frame = frameOf(picture, format);
    if (!frame) return {};
    frame->pts = 0;
    std::vector<Packet> packets;
    if (!drain(encoder.get(), frame.get(), packets) || !drain(encoder.get(), nullptr, packets)) return {};
    std::string bytes;
    for (const auto& packet : packets) bytes.append(reinterpret_cast<const char*>(packet->data), packet->size);
    return bytes;
}

// A muxer writing into memory (dynamic buffer) or a file.
struct Muxer {
    AVFormatContext* format = nullptr;
    bool toMemory = false;

    bool open(const char* name, const std::string& path) {
        if (avformat_alloc_output_context2(&format, nullptr, name, path.empty() ? nullptr : path.c_str()) < 0)
            return false;
        toMemory = path.empty();
        if (toMemory) return avio_open_dyn_buf(&format->pb) >= 0;
        return avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0;
    }
    std::string close() {
        std::string bytes;
        if (!format) return bytes;
        if (toMemory) {
            std::uint8_t* buffer = nullptr;
            const int size = avio_close_dyn_buf(format->pb, &buffer);
            bytes.assign(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size));
            av_free(buffer);
        } else {
            avio_closep(&format->pb);
        }
        avformat_free_context(format);
        format = nullptr;
        return bytes;
    }
    ~Muxer() { close(); }
};

}  // namespace

std::uint32_t premultiplied(std::uint32_t argb) {
    const std::uint32_t a = argb >> 24;
    if (a == 0) return 0;
    const auto scale = [a](std::uint32_t c) { return (c * a + 127) / 255; };
    return (a << 24) | (scale((argb >> 16) & 0xff) << 16) | (scale((argb >> 8) & 0xff) << 8) | scale(argb & 0xff);
}

std::string encodePNG(const Picture& picture) { return encodeStill("png", picture, AV_PIX_FMT_RGBA); }

std::string encodeJPEG(const Picture& picture) { return encodeStill("mjpeg", picture, AV_PIX_FMT_YUVJ444P); }

std::string encodeWebP(const Picture& picture) {
    return encodeStill("libwebp", picture, AV_PIX_FMT_YUV420P, {{"lossless", "0"}, {"quality", "95"}});
}

std::string encodeGIF(const std::vector<Picture>& frames, const std::vector<int>& delaysCentiseconds) {
    if (frames.empty()) return {};
    const AVCodec* codec = avcodec_find_encoder_by_name("gif");
    if (!codec) return {};
    // One palette for all frames, in order of first appearance.
    std::map<std::uint32_t, int> index;
    std::vector<std::uint32_t> palette;
    for (const auto& frame : frames)
        for (std::uint32_t colour : frame.argb) {
            const std::uint32_t key = (colour >> 24) == 0 ? 0 : colour;
            if (index.emplace(key, static_cast<int>(palette.size())).second) palette.push_back(key);
        }
    if (palette.size() > 256) return {};
    palette.resize(256, 0xff000000);

    Muxer muxer;
    if (!muxer.open("gif", "")) return {};
    CodecContext encoder(avcodec_alloc_context3(codec));
    encoder->width = frames[0].width;
    encoder->height = frames[0].height;
    encoder->pix_fmt = AV_PIX_FMT_PAL8;
    encoder->time_base = {1, 100};
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0) return {};
    AVStream* stream = avformat_new_stream(muxer.format, nullptr);
    avcodec_parameters_from_context(stream->codecpar, encoder.get());
    stream->time_base = {1, 100};
    AVDictionary* options = nullptr;
    av_dict_set(&options, "loop", "0", 0);
    const int header = avformat_write_header(muxer.format, &options);
    av_dict_free(&options);
    if (header < 0) return {};

    std::int64_t pts = 0;
    std::vector<Packet> packets;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        Frame frame(av_frame_alloc());
        frame->width = encoder->width;
        frame->height = encoder->height;
        frame->format = AV_PIX_FMT_PAL8;
        if (av_frame_get_buffer(frame.get(), 0) < 0) return {};
        for (int y = 0; y < frame->height; ++y)
            for (int x = 0; x < frame->width; ++x) {
                const std::uint32_t colour = frames[i].argb[static_cast<std::size_t>(y) * frame->width + x];
                frame->data[0][y * frame->linesize[0] + x] =
                    static_cast<std::uint8_t>(index[(colour >> 24) == 0 ? 0 : colour]);
            }
        std::memcpy(frame->data[1], palette.data(), 256 * 4);
        frame->pts = pts;
        const int delay = i < delaysCentiseconds.size() ? delaysCentiseconds[i] : 10;
        pts += std::max(delay, 1);
        packets.clear();
        if (!drain(encoder.get(), frame.get(), packets)) return {};
        for (auto& packet : packets) {
            packet->stream_index = 0;
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            if (av_write_frame(muxer.format, packet.get()) < 0) return {};
        }
    }
    packets.clear();
    drain(encoder.get(), nullptr, packets);
    for (auto& packet : packets) av_write_frame(muxer.format, packet.get());
    av_write_trailer(muxer.format);
    std::string bytes = muxer.close();

    // Set each frame's delay in its graphic control extension (21 F9 04 flags delay16 index 00)
    // to exactly what was asked, whatever the muxer made of the timestamps.
    std::size_t frameNumber = 0;
    for (std::size_t at = 0; at + 7 < bytes.size() && frameNumber < frames.size(); ++at) {
        if (static_cast<std::uint8_t>(bytes[at]) == 0x21 && static_cast<std::uint8_t>(bytes[at + 1]) == 0xf9 &&
            bytes[at + 2] == 0x04 && bytes[at + 7] == 0x00) {
            const int delay = frameNumber < delaysCentiseconds.size() ? delaysCentiseconds[frameNumber] : 10;
            bytes[at + 4] = static_cast<char>(delay & 0xff);
            bytes[at + 5] = static_cast<char>((delay >> 8) & 0xff);
            ++frameNumber;
            at += 7;
        }
    }
    return frameNumber == frames.size() ? bytes : std::string();
}

namespace {

bool addSound(AVFormatContext* format, CodecContext& encoder, AVStream*& stream, int sampleRate) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
    if (!codec) return false;
    encoder.reset(avcodec_alloc_context3(codec));
    encoder->sample_rate = sampleRate;
    encoder->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&encoder->ch_layout, 1);
    encoder->time_base = {1, sampleRate};
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0) return false;
    stream = avformat_new_stream(format, nullptr);
    avcodec_parameters_from_context(stream->codecpar, encoder.get());
    stream->time_base = {1, sampleRate};
    return true;
}

// Sound frames of 1/10 s covering [from, to) samples.
bool writeSound(AVFormatContext* format, AVCodecContext* encoder, AVStream* stream, std::int64_t& sample,
                std::int64_t until) {
    const int chunk = std::max(1, encoder->sample_rate / 10);
    std::vector<Packet> packets;
    while (sample < until) {
        const int count = static_cast<int>(std::min<std::int64_t>(chunk, until - sample));
        Frame frame(av_frame_alloc());
        frame->nb_samples = count;
        frame->format = encoder->sample_fmt;
        frame->sample_rate = encoder->sample_rate;
        av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
        if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
        auto* samples = reinterpret_cast<std::int16_t*>(frame->data[0]);
        for (int i = 0; i < count; ++i)
            samples[i] = static_cast<std::int16_t>(
                8000 * std::sin(2 * M_PI * 440 * static_cast<double>(sample + i) / encoder->sample_rate));
        frame->pts = sample;
        sample += count;
        packets.clear();
        if (!drain(encoder, frame.get(), packets)) return false;
        for (auto& packet : packets) {
            packet->stream_index = stream->index;
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            if (av_interleaved_write_frame(format, packet.get()) < 0) return false;
        }
    }
    return true;
}

}  // namespace

std::string encodeWAV(double seconds, int sampleRate) {
    Muxer muxer;
    if (!muxer.open("wav", "")) return {};
    CodecContext encoder;
    AVStream* stream = nullptr;
    if (!addSound(muxer.format, encoder, stream, sampleRate)) return {};
    if (avformat_write_header(muxer.format, nullptr) < 0) return {};
    std::int64_t sample = 0;
    if (!writeSound(muxer.format, encoder.get(), stream, sample, static_cast<std::int64_t>(seconds * sampleRate)))
        return {};
    av_write_trailer(muxer.format);
    std::string bytes = muxer.close();
    // Written to memory the muxer cannot go back to fill in the sizes; do it here.
    if (bytes.size() >= 44 && bytes.compare(0, 4, "RIFF") == 0) {
        const auto put32 = [&bytes](std::size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
        };
        put32(4, static_cast<std::uint32_t>(bytes.size() - 8));
        const std::size_t data = bytes.find("data");
        if (data != std::string::npos) put32(data + 4, static_cast<std::uint32_t>(bytes.size() - data - 8));
    }
    return bytes;
}

int filmGrey(int frame) { return 20 + (frame * 23) % 220; }

bool writeFilm(const std::string& path, const std::string& container, const std::string& codecName, int frames,
               int fps, int width, int height, bool withSound) {
    const AVCodec* codec = avcodec_find_encoder_by_name(codecName.c_str());
    if (!codec) return false;
    Muxer muxer;
    if (!muxer.open(container.c_str(), path)) return false;
    CodecContext encoder(avcodec_alloc_context3(codec));
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = codec->id == AV_CODEC_ID_MJPEG ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    encoder->time_base = {1, fps};
    encoder->framerate = {fps, 1};
    encoder->gop_size = 3;
    encoder->max_b_frames = 0;
    encoder->flags |= AV_CODEC_FLAG_QSCALE;
    encoder->global_quality = FF_QP2LAMBDA * 2;
    if (muxer.format->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0) return false;
    AVStream* stream = avformat_new_stream(muxer.format, nullptr);
    avcodec_parameters_from_context(stream->codecpar, encoder.get());
    stream->time_base = encoder->time_base;
    stream->avg_frame_rate = {fps, 1};
    CodecContext soundEncoder;
    AVStream* soundStream = nullptr;
    const int sampleRate = 8000;
    if (withSound && !addSound(muxer.format, soundEncoder, soundStream, sampleRate)) return false;
    if (avformat_write_header(muxer.format, nullptr) < 0) return false;

    std::int64_t sample = 0;
    std::vector<Packet> packets;
    const auto write = [&](std::vector<Packet>& list) {
        for (auto& packet : list) {
            packet->stream_index = stream->index;
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            if (av_interleaved_write_frame(muxer.format, packet.get()) < 0) return false;
        }
        list.clear();
        return true;
    };
    for (int i = 0; i < frames; ++i) {
        const int grey = filmGrey(i);
        Picture picture(width, height, 0xff000000u | (static_cast<std::uint32_t>(grey) * 0x010101u));
        Frame frame = frameOf(picture, encoder->pix_fmt);
        if (!frame) return false;
        frame->pts = i;
        if (!drain(encoder.get(), frame.get(), packets) || !write(packets)) return false;
        if (soundStream &&
            !writeSound(muxer.format, soundEncoder.get(), soundStream, sample,
                        static_cast<std::int64_t>(i + 1) * sampleRate / fps))
            return false;
    }
    if (!drain(encoder.get(), nullptr, packets) || !write(packets)) return false;
    if (av_write_trailer(muxer.format) < 0) return false;
    muxer.close();
    return true;
}

TemporaryFolder::TemporaryFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qm-media-XXXXXX";
    if (char* made = mkdtemp(pattern.data())) path_ = made;
}

TemporaryFolder::~TemporaryFolder() {
    if (!path_.empty()) platform::Files::removeItem(path_);
}

std::string TemporaryFolder::write(const std::string& name, const std::string& bytes) const {
    const std::string path = file(name);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace qm::testkit::media
