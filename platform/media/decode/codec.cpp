#include "qmmedia/media.hpp"

namespace qm::platform::media {

namespace {
// Placeholder until the FFmpeg decoder lands: reads nothing.
class NoCodec final : public ImageCodec {
public:
    Decoded decode(std::string_view) override { return {{}, {}, "no decoder is built in yet"}; }
};
}  // namespace

std::shared_ptr<ImageCodec> imageCodec() { return std::make_shared<NoCodec>(); }

}  // namespace qm::platform::media
