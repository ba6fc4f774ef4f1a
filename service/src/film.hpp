// A short film for push attachments, written by hand so that the service needs no encoder: an
// MP4 (ISO base-media file) whose one video track holds greyscale baseline JPEG frames (sample
// entry 'jpeg'), each frame made of flat 8 x 8 blocks.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qm::service::detail {

// The film under /media/clip.mp4: kClipFrames frames of kClipWidth x kClipHeight pixels,
// kClipFrameMilliseconds each (two seconds in all), a light bar moving from left to right over
// a dark field. Made at first use and kept.
inline constexpr int kClipWidth = 64;
inline constexpr int kClipHeight = 48;
inline constexpr int kClipFrames = 8;
inline constexpr int kClipFrameMilliseconds = 250;
const std::string& clipMP4();

// A greyscale baseline JPEG of width x height pixels (both multiples of 8, 8 to 4096) in
// which the 8 x 8 block at block column bx, block row by is the flat grey level(bx, by)
// (0 to 255; values outside are clamped). Empty for a size it cannot make.
std::string flatBlocksJPEG(int width, int height, const std::function<int(int, int)>& level);

// An MP4 with one video track of `frames` (JPEG pictures of width x height), each shown for
// frameMilliseconds, all in one chunk after the movie header. Empty when there are no frames.
std::string jpegFilmMP4(int width, int height, const std::vector<std::string>& frames, int frameMilliseconds);

}  // namespace qm::service::detail
