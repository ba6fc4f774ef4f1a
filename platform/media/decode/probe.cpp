#include "qmmedia/media_probe.hpp"

#include "qmmedia/media.hpp"

namespace qm::platform::media {

namespace {

class FFmpegMediaProbe final : public MediaProbe {
public:
    Result probe(const std::string& path) override {
        Result result;
        const Description description = describeFile(path);
        if (!description.ok()) {
            result.error = description.error;
            return result;
        }
        switch (description.kind) {
            case Kind::Image: result.image = true; break;
            case Kind::Audio: result.audio = true; break;
            case Kind::Video:
                result.video = true;
                result.audio = description.hasAudio;
                break;
        }
        return result;
    }
};

}  // namespace

std::shared_ptr<MediaProbe> mediaProbe() {
    static const auto probe = std::make_shared<FFmpegMediaProbe>();
    return probe;
}

}  // namespace qm::platform::media
