// Pictures as files and for review: PNG reading and writing, comparing two bitmaps with a
// tolerance, and contact sheets that put several frames side by side for the eye.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qmplatform/image.hpp"

namespace qm::platform {

// The bitmap as a PNG file (written whole to a temporary name, then renamed); false when the
// bitmap is empty or inconsistent, or the file cannot be written.
bool writePNG(const Bitmap& bitmap, const std::string& path);
// A PNG file as a bitmap (premultiplied, any PNG colour type); nothing when the file is
// missing, is not a PNG, or is larger than a canvas may be.
std::optional<Bitmap> readPNG(const std::string& path);
// The same for PNG bytes in memory.
std::optional<Bitmap> decodePNG(std::string_view bytes);

struct PictureDifference {
    bool sameSize = false;
    // Largest difference of one channel (alpha, red, green, blue; 0…255) over all pixels.
    int maxChannelDifference = 0;
    // Pixels where some channel differs by more than the tolerance, and their share of all.
    std::size_t differingPixels = 0;
    double differingShare = 0;
    // For review: the expected picture faded, the differing pixels in red. Empty when the
    // sizes differ.
    Bitmap picture;

    bool within(double share) const { return sameSize && differingShare <= share; }
};

// Compares channel by channel; a pixel differs when one of its channels is off by more than
// `channelTolerance`. Bitmaps of different sizes are all different.
PictureDifference comparePictures(const Bitmap& actual, const Bitmap& expected, int channelTolerance = 0);

// One labelled frame of a contact sheet.
struct ContactFrame {
    Bitmap bitmap;
    std::string label;  // e.g. the frame's time, "0.25 s"
};

// The frames in a grid, in order, row by row, each with its label below it, on a white
// sheet. `columns` 0 chooses a near-square grid. Frames larger than `maxCellWidth` pixels
// (0: no limit) are scaled down to it; the sheet is scaled down further if it would pass the
// canvas limits. Empty for no frames.
Bitmap contactSheet(const std::vector<ContactFrame>& frames, int columns = 0, int maxCellWidth = 0);

}  // namespace qm::platform
