// Static content the service hands out besides JSON answers: the survey pages, the close-button
// image and small media files for pushes and the inbox.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qm::service::detail {

// A PNG (8-bit RGBA, uncompressed deflate blocks) whose pixel (x, y) is pixel(x, y) as
// 0xRRGGBBAA.
std::string encodePNG(int width, int height, const std::function<std::uint32_t(int, int)>& pixel);

// 30 x 30 black cross on a transparent background.
std::string closeButtonPNG();

struct MediaFile {
    std::string contentType;
    std::string bytes;
};
// The files under /media/: "banner.png", "icon.png", "photo.jpg", "chime.wav" and "clip.mp4"
// (see film.hpp).
std::optional<MediaFile> mediaFile(const std::string& name);

// The survey page for a campaign: it reports a resize, an attempt and a submission through
// the platform's script-message handlers and then moves on to the "thankYou" page at
// thankYouURL. notificationID and tokensJSON are taken only when they are plain enough to be
// placed in the page literally.
std::string surveyPage(const std::string& notificationID, const std::string& tokensJSON,
                       const std::string& thankYouURL);
std::string thankYouPage(const std::string& notificationID);

}  // namespace qm::service::detail
