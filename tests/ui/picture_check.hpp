// Reference pictures for tests: expectPicture(bitmap, "name") compares a drawn bitmap with
// tests/data/pictures/name.png. On a mismatch it fails the test and leaves the actual picture
// and a difference picture (differing pixels in red) in <build>/test-pictures/. With
// QM_BLESS_PICTURES=1 in the environment it writes the reference instead
// (scripts/bless-pictures.sh does that on purpose, then lists what changed).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <source_location>
#include <string>

#include "qmplatform/image.hpp"
#include "qmui/picture.hpp"

namespace qm::testing {

struct PictureTolerance {
    // A pixel differs when a channel is off by more than this (0…255): antialiasing may
    // vary a little between library versions.
    int channel = 16;
    // Share of differing pixels that still passes.
    double share = 0.002;
};

inline std::string referencePicturePath(const std::string& name) {
    return std::string(QM_TEST_DATA_DIR) + "/pictures/" + name + ".png";
}

inline void expectPicture(const platform::Bitmap& actual, const std::string& name, PictureTolerance tolerance = {},
                          std::source_location where = std::source_location::current()) {
    const std::string reference = referencePicturePath(name);
    const char* bless = std::getenv("QM_BLESS_PICTURES");
    if (bless && std::string(bless) == "1") {
        if (!platform::writePNG(actual, reference))
            ADD_FAILURE_AT(where.file_name(), where.line()) << "could not write the reference " << reference;
        return;
    }
    const auto expected = platform::readPNG(reference);
    const std::string outDir = std::string(QM_BINARY_DIR) + "/test-pictures";
    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    const std::string actualPath = outDir + "/" + name + ".actual.png";
    if (!expected) {
        platform::writePNG(actual, actualPath);
        ADD_FAILURE_AT(where.file_name(), where.line())
            << "no reference picture " << reference << " (the drawn picture is in " << actualPath
            << "; look at it, then run scripts/bless-pictures.sh)";
        return;
    }
    const platform::PictureDifference diff = platform::comparePictures(actual, *expected, tolerance.channel);
    if (diff.within(tolerance.share)) return;
    platform::writePNG(actual, actualPath);
    const std::string diffPath = outDir + "/" + name + ".diff.png";
    if (!diff.picture.empty()) platform::writePNG(diff.picture, diffPath);
    ADD_FAILURE_AT(where.file_name(), where.line())
        << "picture \"" << name << "\" differs from " << reference << ": "
        << (diff.sameSize ? "" : "sizes differ (" + std::to_string(actual.width) + "x" + std::to_string(actual.height) +
                                     " against " + std::to_string(expected->width) + "x" +
                                     std::to_string(expected->height) + "), ")
        << diff.differingPixels << " pixels (" << diff.differingShare * 100 << "%) off by more than "
        << tolerance.channel << ", largest channel difference " << diff.maxChannelDifference << "; actual in "
        << actualPath << (diff.picture.empty() ? "" : ", difference in " + diffPath);
}

}  // namespace qm::testing
