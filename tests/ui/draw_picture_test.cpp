// Composed scenes against reference pictures in tests/data/pictures (re-bless on purpose with
// scripts/bless-pictures.sh), and a contact sheet of an animation's frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "picture_check.hpp"
#include "qmui/canvas.hpp"
#include "qmui/picture.hpp"

using namespace qm::platform;
using qm::testing::expectPicture;

namespace {

// A small picture with a gradient and a dot, 60 × 40 pixels.
Bitmap samplePicture() {
    Bitmap b(60, 40);
    for (int y = 0; y < b.height; ++y) {
        for (int x = 0; x < b.width; ++x) {
            const auto r = static_cast<std::uint32_t>(40 + x * 3), g = static_cast<std::uint32_t>(90 + y * 3);
            const bool dot = (x - 42) * (x - 42) + (y - 14) * (y - 14) < 64;
            b.at(x, y) = dot ? 0xFFFFE070 : 0xFF000000 | r << 16 | g << 8 | 0xC0;
        }
    }
    return b;
}

}  // namespace

TEST(DrawPictures, CardWithTitleBodyPictureAndButton) {
    Canvas canvas({320, 200}, 2);
    canvas.paint(Color::white(0.94));
    // The card with its border.
    canvas.fillRect({12, 12, 296, 176}, Color::whiteColor(), 14);
    canvas.strokeBorder({12, 12, 296, 176}, 1, Color::white(0.8), 14);
    // A picture, clipped to rounded corners, beside the text.
    canvas.save();
    canvas.clip({24, 24, 90, 90}, 10);
    canvas.drawBitmap(samplePicture(), {24, 24, 90, 90}, ContentMode::ScaleAspectFill);
    canvas.restore();

    TextStyle title;
    title.font = Font::boldSystemFont(17);
    canvas.drawText("Summer offer", {126, 24, 170, 22}, title);
    TextStyle body;
    body.font = Font::systemFont(13);
    body.color = Color::white(0.35);
    body.numberOfLines = 3;
    body.lineBreakMode = LineBreakMode::TruncateTail;
    canvas.drawText("Save 20% on every order above 50 € until the end of the month, in every shop and online.",
                    {126, 48, 170, 3 * body.font.lineHeight()}, body);

    // A button: filled, rounded, its title centred.
    canvas.fillRect({24, 132, 272, 40}, Color::systemBlue(), 10);
    TextStyle button;
    button.font = Font::systemFont(16, FontWeight::Semibold);
    button.color = Color::whiteColor();
    button.alignment = TextAlignment::Center;
    canvas.drawText("Show me", {24, 132, 272, 40}, button);
    expectPicture(canvas.bitmap(), "card");
}

TEST(DrawPictures, GroupsTransformsAndThePlaceholder) {
    Canvas canvas({300, 180}, 2);
    canvas.paint(Color::whiteColor());
    // Half-opaque group: the overlap of its two squares is no darker.
    canvas.beginGroup(0.5);
    canvas.fillRect({16, 16, 60, 60}, Color::rgba(0.9, 0.2, 0.2), 8);
    canvas.fillRect({46, 46, 60, 60}, Color::rgba(0.2, 0.3, 0.9), 8);
    canvas.endGroup();
    // A label turned by 30° about its centre, and a layer turned about the vertical axis with
    // perspective.
    canvas.save();
    canvas.translate(60, 140);
    canvas.concat(AffineTransform::rotation(-std::numbers::pi / 6));
    canvas.fillRect({-50, -12, 100, 24}, Color::rgba(0.1, 0.6, 0.3), 12);
    TextStyle label;
    label.font = Font::systemFont(12, FontWeight::Medium);
    label.color = Color::whiteColor();
    label.alignment = TextAlignment::Center;
    canvas.drawText("turned", {-50, -12, 100, 24}, label);
    canvas.restore();
    canvas.save();
    canvas.translate(200, 50);
    Transform3D perspective;
    perspective.m34 = -1.0 / 300;
    const Rect layer{-60, -35, 120, 70};
    canvas.concat(Transform3D::rotation(std::numbers::pi / 5, 0, 1, 0).concatenating(perspective), layer);
    canvas.fillRect(layer, Color::rgba(1, 0.75, 0.2), 6);
    canvas.strokeBorder(layer, 3, Color::rgba(0.6, 0.4, 0), 6);
    canvas.restore();
    // A web view that cannot be drawn.
    canvas.drawPlaceholder({150, 100, 140, 70}, "web view");
    expectPicture(canvas.bitmap(), "groups_transforms_placeholder");
}

TEST(DrawPictures, LineBreakModesAndAlignments) {
    Canvas canvas({360, 228}, 2);
    canvas.paint(Color::whiteColor());
    const std::string text = "Pack my box with five dozen liquor jugs, then ship it overseas";
    struct Row {
        const char* name;
        LineBreakMode mode;
        TextAlignment alignment;
        int lines;
    };
    const Row rows[] = {
        {"word", LineBreakMode::WordWrap, TextAlignment::Left, 2},
        {"char", LineBreakMode::CharWrap, TextAlignment::Left, 2},
        {"clip", LineBreakMode::Clip, TextAlignment::Left, 1},
        {"head", LineBreakMode::TruncateHead, TextAlignment::Right, 1},
        {"tail", LineBreakMode::TruncateTail, TextAlignment::Center, 2},
        {"middle", LineBreakMode::TruncateMiddle, TextAlignment::Natural, 1},
        {"justified", LineBreakMode::WordWrap, TextAlignment::Justified, 3},
    };
    double y = 6;
    TextStyle caption;
    caption.font = Font::systemFont(10);
    caption.color = Color::gray();
    for (const Row& row : rows) {
        TextStyle style;
        style.font = Font::systemFont(13);
        style.lineBreakMode = row.mode;
        style.alignment = row.alignment;
        style.numberOfLines = row.lines;
        const double height = row.lines * style.font.lineHeight();
        canvas.drawText(row.name, {6, y, 60, 14}, caption);
        canvas.strokeBorder({70, y, 200, height}, 0.5, Color::rgba(0.4, 0.6, 1));
        canvas.drawText(text, {70, y, 200, height}, style);
        y += height + 6;
    }
    expectPicture(canvas.bitmap(), "text_modes");
}

TEST(DrawPictures, ContactSheetShowsLabelledFrames) {
    // Six frames of a square sliding and fading in, a quarter second apart.
    std::vector<ContactFrame> frames;
    for (int i = 0; i < 6; ++i) {
        Canvas frame({80, 50}, 1);
        frame.paint(Color::white(0.97));
        frame.beginGroup(0.3 + 0.14 * i);
        frame.fillRect({6 + 10.0 * i, 12, 26, 26}, Color::systemBlue(), 5);
        frame.endGroup();
        char label[16];
        std::snprintf(label, sizeof label, "%.2f s", 0.25 * i);
        frames.push_back({frame.bitmap(), label});
    }
    const Bitmap sheet = contactSheet(frames, 3);
    // Three columns of 80 and two rows of 50 + label, with 8-pixel margins.
    EXPECT_EQ(sheet.width, 8 + 3 * (80 + 8));
    EXPECT_EQ(sheet.height, 8 + 2 * (50 + 20 + 8));
    expectPicture(sheet, "contact_sheet");

    // Cells wider than asked are scaled down; no frames, no sheet.
    EXPECT_EQ(contactSheet(frames, 6, 40).width, 8 + 6 * (40 + 8));
    EXPECT_TRUE(contactSheet({}).empty());
}
