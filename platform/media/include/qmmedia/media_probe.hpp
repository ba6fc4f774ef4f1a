// The FFmpeg-backed media prober, for Configuration::mediaProbe.
#pragma once

#include <memory>

#include "qmplatform/media_probe.hpp"

namespace qm::platform::media {

// Reads local files with describeFile (media.hpp): a picture the image codec decodes is an
// image; otherwise the file's sound and film tracks are reported. Safe from any thread.
std::shared_ptr<MediaProbe> mediaProbe();

}  // namespace qm::platform::media
