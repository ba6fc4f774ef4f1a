#include "media_command.hpp"

#include <cmath>
#include <cstdio>

#include "qmmedia/media.hpp"
#include "qmplatform/json.hpp"
#include "quelmar/value.hpp"

namespace qmui {

namespace {

namespace media = qm::platform::media;

qm::Value describeAsValue(const media::Description& description) {
    if (!description.ok()) return qm::Value{{"error", description.error}};
    qm::Value out = qm::Value::dictionary();
    out.set("kind", media::kindName(description.kind));
    if (description.kind != media::Kind::Audio) {
        out.set("width", description.width);
        out.set("height", description.height);
    }
    if (description.frames > 0) out.set("frames", static_cast<long long>(description.frames));
    // A still has neither per-frame delays nor a length; an animation has both.
    const bool animated = description.kind == media::Kind::Image && description.frames > 1;
    if (animated) {
        qm::Value durations = qm::Value::array();
        for (double delay : description.durations) durations.append(delay);
        out.set("durations", durations);
    }
    if ((animated || description.kind != media::Kind::Image) && std::isfinite(description.duration))
        out.set("duration", description.duration);
    return out;
}

}  // namespace

int runMedia(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) {
        std::fprintf(stderr, "usage: qm-ui media FILE\n");
        return 2;
    }
    const media::Description description = media::describeFile(arguments[0]);
    std::string error;
    const auto text = qm::platform::json::write(describeAsValue(description), {}, &error);
    if (!text) {
        std::printf("{\"error\": \"the description cannot be written as JSON\"}\n");
        return 1;
    }
    std::printf("%s\n", text->c_str());
    return description.ok() ? 0 : 1;
}

}  // namespace qmui
