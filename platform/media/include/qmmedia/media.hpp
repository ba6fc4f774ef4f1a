// The media library's entry points.
#pragma once

#include <memory>

#include "qmplatform/image.hpp"

namespace qm::platform::media {

// The FFmpeg-backed picture codec, for Configuration::imageCodec.
std::shared_ptr<ImageCodec> imageCodec();

}  // namespace qm::platform::media
