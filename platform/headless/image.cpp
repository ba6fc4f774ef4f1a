#include "qmplatform/image.hpp"

#include <cmath>
#include <mutex>

#include "qmbase/no_destructor.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"

namespace qm::platform {

namespace {

struct CodecChoice {
    std::mutex mutex;
    std::shared_ptr<ImageCodec> codec;
};

CodecChoice& codecChoice() {
    static NoDestructor<CodecChoice> choice;
    return *choice;
}

double sanitizedScale(double scale) { return std::isfinite(scale) && scale > 0 ? scale : 1; }

}  // namespace

std::shared_ptr<ImageCodec> ImageCodec::current() {
    CodecChoice& choice = codecChoice();
    std::lock_guard lock(choice.mutex);
    return choice.codec;
}

void ImageCodec::setCurrent(std::shared_ptr<ImageCodec> codec) {
    std::shared_ptr<ImageCodec> previous;  // released after the lock
    CodecChoice& choice = codecChoice();
    std::lock_guard lock(choice.mutex);
    previous = std::exchange(choice.codec, std::move(codec));
}

std::shared_ptr<Image> Image::withBitmap(Bitmap bitmap, double scale) {
    std::shared_ptr<Image> image(new Image);
    image->frames_.push_back(std::move(bitmap));
    image->delays_.push_back(0);
    image->scale_ = sanitizedScale(scale);
    return image;
}

std::shared_ptr<Image> Image::animated(std::vector<Bitmap> frames, std::vector<double> delays, double scale) {
    if (frames.empty()) return nullptr;
    std::shared_ptr<Image> image(new Image);
    delays.resize(frames.size(), 0.1);
    for (double& delay : delays)
        if (!std::isfinite(delay) || delay < 0) delay = 0;
    image->frames_ = std::move(frames);
    image->delays_ = std::move(delays);
    image->scale_ = sanitizedScale(scale);
    return image;
}

std::shared_ptr<Image> Image::withData(std::string_view bytes, double scale) {
    const auto codec = ImageCodec::current();
    if (!codec) {
        SystemLog::write("quelmar: no image codec is configured; a picture was not decoded");
        return nullptr;
    }
    ImageCodec::Decoded decoded = codec->decode(bytes);
    if (!decoded.error.empty() || decoded.frames.empty()) {
        SystemLog::write("quelmar: a picture could not be decoded: " +
                         (decoded.error.empty() ? std::string("no frames") : decoded.error));
        return nullptr;
    }
    return animated(std::move(decoded.frames), std::move(decoded.delays), scale);
}

std::shared_ptr<Image> Image::withContentsOfFile(const std::string& path) {
    auto bytes = Files::readFile(path);
    if (!bytes) return nullptr;
    // "name@2x.png" and "name@3x.png" hold pictures drawn for that many pixels per point.
    double scale = 1;
    const auto slash = path.find_last_of('/');
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (name.find("@2x.") != std::string::npos) scale = 2;
    else if (name.find("@3x.") != std::string::npos) scale = 3;
    return withData(*bytes, scale);
}

Size Image::size() const {
    if (frames_.empty()) return {};
    return {frames_.front().width / scale_, frames_.front().height / scale_};
}

double Image::duration() const {
    double total = 0;
    for (double delay : delays_) total += delay;
    return total;
}

const Bitmap& Image::frameAt(double seconds) const {
    const double total = duration();
    if (frames_.size() == 1 || !(total > 0) || !std::isfinite(seconds)) return frames_.front();
    double t = std::fmod(seconds, total);
    if (t < 0) t += total;
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        if (t < delays_[i]) return frames_[i];
        t -= delays_[i];
    }
    return frames_.back();
}

}  // namespace qm::platform
