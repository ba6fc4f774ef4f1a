// Decoding a picture's frames, shared by the codec and describe().
#pragma once

#include <string_view>

#include "qmplatform/image.hpp"

namespace qm::platform::media::detail {

ImageCodec::Decoded decodeImage(std::string_view bytes);

}  // namespace qm::platform::media::detail
