// What a media file holds, read by a prober the media library provides (the core platform
// decodes no media itself; see Configuration::mediaProbe). Notification attachments are
// checked through it.
#pragma once

#include <memory>
#include <string>

namespace qm::platform {

class MediaProbe {
public:
    virtual ~MediaProbe() = default;

    struct Result {
        bool image = false;  // the file decodes as a picture
        bool audio = false;  // it has a sound track
        bool video = false;  // it has a moving-picture track (cover pictures do not count)
        std::string error;   // not empty: the file could not be read as media; nothing else is set
        bool ok() const { return error.empty(); }
    };
    // Reads the local file; called from any thread.
    virtual Result probe(const std::string& path) = 0;

    // The configured prober (none until a host or a test configures one).
    static std::shared_ptr<MediaProbe> current();
    static void setCurrent(std::shared_ptr<MediaProbe> probe);
};

}  // namespace qm::platform
