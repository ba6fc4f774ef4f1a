// The canvas, checked pixel by pixel at coordinates worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <array>
#include <numbers>
#include <string>

#include "qmui/canvas.hpp"
#include "qmui/picture.hpp"

using namespace qm::platform;

namespace {

constexpr std::uint32_t kClear = 0x00000000, kWhite = 0xFFFFFFFF, kRed = 0xFFFF0000, kBlue = 0xFF0000FF;

// The pixel under the point (x, y) of a canvas at `scale`.
std::uint32_t at(const Bitmap& b, double x, double y, double scale = 1) {
    return b.at(static_cast<int>(x * scale), static_cast<int>(y * scale));
}

std::string hex(std::uint32_t p) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08X", p);
    return buffer;
}

// Channels within two steps of each other.
bool near(std::uint32_t a, std::uint32_t b) {
    constexpr int tolerance = 2;
    for (int shift = 0; shift < 32; shift += 8)
        if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) > tolerance)
            return false;
    return true;
}

#define EXPECT_PIXEL(bitmap, x, y, scale, expected) \
    EXPECT_PRED2(near, at(bitmap, x, y, scale), expected) << "at " << (x) << "," << (y) << ": " << hex(at(bitmap, x, y, scale))

// Left half red, right half blue.
Bitmap halves(int width, int height) {
    Bitmap b(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) b.at(x, y) = x < width / 2 ? kRed : kBlue;
    return b;
}

// Columns of the row at y (in pixels) whose pixel is not clear: first and one past the last.
std::pair<int, int> coveredColumns(const Bitmap& b, int y) {
    int first = -1, last = -1;
    for (int x = 0; x < b.width; ++x) {
        if ((b.at(x, y) >> 24) > 0x80) {
            if (first < 0) first = x;
            last = x + 1;
        }
    }
    return {first, last};
}

}  // namespace

TEST(DrawCanvas, RoundedRectanglesAndBordersCoverWhatTheGeometrySays) {
    Canvas canvas({100, 100}, 2);
    ASSERT_TRUE(canvas.valid());
    EXPECT_EQ(canvas.pixelWidth(), 200);
    canvas.paint(Color::whiteColor());
    canvas.fillRect({10, 10, 80, 60}, Color::redColor(), 20);
    Bitmap b = canvas.bitmap();
    EXPECT_PIXEL(b, 50, 40, 2, kRed);
    EXPECT_PIXEL(b, 11, 40, 2, kRed);  // the straight edge
    // (12, 12) is 25 points from the corner arc's centre (30, 30), outside its radius of 20.
    EXPECT_PIXEL(b, 12, 12, 2, kWhite);
    EXPECT_PIXEL(b, 17, 17, 2, kRed);  // 18 points from it
    EXPECT_PIXEL(b, 5, 40, 2, kWhite);

    // A 2-point border lies inside the bounds and follows the corner.
    Canvas border({100, 100}, 2);
    border.strokeBorder({10, 10, 80, 80}, 2, Color::blueColor(), 20);
    b = border.bitmap();
    EXPECT_PIXEL(b, 10.5, 50, 2, kBlue);
    EXPECT_PIXEL(b, 11.5, 50, 2, kBlue);
    EXPECT_PIXEL(b, 12.5, 50, 2, kClear);
    EXPECT_PIXEL(b, 9.5, 50, 2, kClear);
    EXPECT_PIXEL(b, 50, 89.5, 2, kBlue);
    // On the corner's diagonal the arc of radius 20 about (30, 30) runs 1 point inside.
    const double d = 30 - 19 / std::numbers::sqrt2;
    EXPECT_PIXEL(b, d, d, 2, kBlue);
    EXPECT_PIXEL(b, 12, 12, 2, kClear);
    EXPECT_PIXEL(b, 50, 50, 2, kClear);

    // A border wider than half the rectangle fills it.
    Canvas thick({20, 20});
    thick.strokeBorder({0, 0, 20, 10}, 8, Color::blueColor());
    EXPECT_PIXEL(thick.bitmap(), 10, 5, 1, kBlue);
}

TEST(DrawCanvas, ClipsNestAndRestore) {
    Canvas canvas({60, 60});
    canvas.save();
    canvas.clip({20, 20, 20, 20});
    canvas.save();
    canvas.clip({30, 0, 60, 60}, 0);
    canvas.paint(Color::redColor());
    canvas.restore();
    canvas.fillRect({0, 0, 60, 25}, Color::blueColor());
    canvas.restore();
    canvas.fillRect({0, 50, 10, 10}, Color::blueColor());
    const Bitmap b = canvas.bitmap();
    EXPECT_PIXEL(b, 35, 35, 1, kRed);
    EXPECT_PIXEL(b, 25, 35, 1, kClear);  // outside the inner clip
    EXPECT_PIXEL(b, 25, 22, 1, kBlue);   // the outer clip only
    EXPECT_PIXEL(b, 10, 22, 1, kClear);
    EXPECT_PIXEL(b, 5, 55, 1, kBlue);  // no clip left

    Canvas rounded({40, 40});
    rounded.clip({0, 0, 40, 40}, 20);  // a circle
    rounded.paint(Color::redColor());
    EXPECT_PIXEL(rounded.bitmap(), 20, 20, 1, kRed);
    EXPECT_PIXEL(rounded.bitmap(), 2, 2, 1, kClear);
}

TEST(DrawCanvas, GroupOpacityBlendsTheGroupOnce) {
    Canvas canvas({40, 20});
    canvas.paint(Color::whiteColor());
    canvas.beginGroup(0.5);
    canvas.fillRect({0, 0, 30, 20}, Color::redColor());
    canvas.fillRect({10, 0, 30, 20}, Color::redColor());  // overlaps the first over 10…30
    canvas.endGroup();
    const Bitmap b = canvas.bitmap();
    // Half red over white, the overlap no redder than the rest.
    EXPECT_PIXEL(b, 5, 10, 1, 0xFFFF8080);
    EXPECT_PIXEL(b, 20, 10, 1, 0xFFFF8080);
    EXPECT_PIXEL(b, 35, 10, 1, 0xFFFF8080);

    // On a clear canvas the result keeps alpha 0.5, premultiplied.
    Canvas clear({10, 10});
    clear.beginGroup(0.5);
    clear.paint(Color::blueColor());
    clear.save();  // left open: endGroup closes it
    clear.endGroup();
    clear.restore();
    EXPECT_PIXEL(clear.bitmap(), 5, 5, 1, 0x80000080);

    // A group given its bounds keeps to them.
    Canvas bounded({40, 20});
    bounded.translate(10, 0);
    bounded.beginGroup(0.5, {0, 0, 20, 20});
    bounded.paint(Color::redColor());
    bounded.endGroup();
    bounded.fillRect({0, 0, 5, 5}, Color::blueColor());  // the group's clip is gone
    EXPECT_PIXEL(bounded.bitmap(), 5, 10, 1, kClear);
    EXPECT_PIXEL(bounded.bitmap(), 15, 10, 1, 0x80800000);
    EXPECT_PIXEL(bounded.bitmap(), 35, 10, 1, kClear);
    EXPECT_PIXEL(bounded.bitmap(), 12, 2, 1, kBlue);
}

TEST(DrawCanvas, TransformsMovePixels) {
    Canvas canvas({100, 100});
    canvas.save();
    canvas.translate(50, 50);
    canvas.concat(AffineTransform::rotation(std::numbers::pi / 2));
    // x' = 50 - y, y' = 50 + x: the rectangle lands on x 40…50, y 50…70.
    canvas.fillRect({0, 0, 20, 10}, Color::redColor());
    EXPECT_NEAR(canvas.currentTransform().tx, 50, 1e-9);
    canvas.restore();
    EXPECT_TRUE(canvas.currentTransform().isIdentity());
    Bitmap b = canvas.bitmap();
    EXPECT_PIXEL(b, 45, 60, 1, kRed);
    EXPECT_PIXEL(b, 55, 52, 1, kClear);
    EXPECT_PIXEL(b, 5, 5, 1, kClear);

    // A transform that flattens everything hides what is drawn under it, up to the restore.
    canvas.save();
    canvas.concat(AffineTransform::scale(0, 1));
    canvas.fillRect({0, 0, 100, 100}, Color::blueColor());
    canvas.restore();
    canvas.fillRect({0, 0, 10, 10}, Color::blueColor());
    b = canvas.bitmap();
    EXPECT_PIXEL(b, 5, 5, 1, kBlue);
    EXPECT_PIXEL(b, 80, 80, 1, kClear);
}

TEST(DrawCanvas, ThreeDimensionalTransformsDrawTheirFlatPicture) {
    const Rect layer{-50, -50, 100, 100};
    // Turned 60° about the vertical axis, without perspective the layer is half as wide.
    Canvas turned({200, 100});
    turned.translate(100, 50);
    turned.concat(Transform3D::rotation(std::numbers::pi / 3, 0, 1, 0), layer);
    turned.fillRect(layer, Color::redColor());
    EXPECT_EQ(coveredColumns(turned.bitmap(), 50), std::make_pair(75, 125));

    // With perspective the corners no longer make a parallelogram: the layer is drawn with
    // the affine transform nearest the projected corners, centred on their average.
    Transform3D perspective;
    perspective.m34 = -1.0 / 150;
    const Transform3D t = Transform3D::rotation(std::numbers::pi / 4, 0, 1, 0).concatenating(perspective);
    double meanX = 0;
    for (Point corner : {Point{-50, -50}, Point{50, -50}, Point{-50, 50}, Point{50, 50}}) meanX += t.apply(corner).x / 4;
    Canvas deep({200, 100});
    deep.translate(100, 50);
    deep.concat(t, layer);
    deep.fillRect(layer, Color::redColor());
    const auto [first, last] = coveredColumns(deep.bitmap(), 50);
    ASSERT_GE(first, 0);
    EXPECT_NEAR((first + last) / 2.0, 100 + meanX, 1.0);
    EXPECT_LT(last - first, 100);

    // Turned a quarter round the layer is seen edge-on; a corner behind the viewer hides it.
    for (const Transform3D& hidden : {Transform3D::rotation(std::numbers::pi / 2, 0, 1, 0),
                                      Transform3D::rotation(std::numbers::pi / 3, 0, 1, 0).concatenating([] {
                                          Transform3D p;
                                          p.m34 = -1.0 / 20;
                                          return p;
                                      }())}) {
        Canvas c({200, 100});
        c.translate(100, 50);
        c.concat(hidden, layer);
        c.fillRect(layer, Color::redColor());
        EXPECT_EQ(coveredColumns(c.bitmap(), 50).first, -1);
    }

    // A plain 3D translation moves as its 2D part does.
    Canvas moved({50, 50});
    moved.concat(Transform3D::translation(20, 10, 7), layer);
    moved.fillRect({0, 0, 5, 5}, Color::redColor());
    EXPECT_PIXEL(moved.bitmap(), 22, 12, 1, kRed);
    EXPECT_PIXEL(moved.bitmap(), 2, 2, 1, kClear);
}

TEST(DrawCanvas, ContentModesPlaceThePictureByArithmetic) {
    // 20 × 10 pixels at scale 2: a 10 × 5 point picture, red on the left, blue on the right,
    // in 40 × 40 point bounds.
    const Bitmap picture = halves(20, 10);
    struct Case {
        ContentMode mode;
        Point point;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {ContentMode::ScaleToFill, {5, 20}, kRed},     {ContentMode::ScaleToFill, {35, 39}, kBlue},
        {ContentMode::Redraw, {35, 1}, kBlue},         // as scaleToFill
        {ContentMode::ScaleAspectFit, {20, 5}, kClear},  // ×4: 40 × 20 at y 10…30
        {ContentMode::ScaleAspectFit, {5, 12}, kRed},  {ContentMode::ScaleAspectFit, {35, 28}, kBlue},
        {ContentMode::ScaleAspectFill, {1, 1}, kRed},  // ×8: 80 × 40 at x -20…60
        {ContentMode::ScaleAspectFill, {10, 39}, kRed}, {ContentMode::ScaleAspectFill, {30, 20}, kBlue},
        {ContentMode::Center, {16, 20}, kRed},         // 15…25 × 17.5…22.5
        {ContentMode::Center, {24, 20}, kBlue},        {ContentMode::Center, {14, 20}, kClear},
        {ContentMode::Center, {20, 16}, kClear},       {ContentMode::Top, {16, 1}, kRed},
        {ContentMode::Top, {20, 6}, kClear},           {ContentMode::Bottom, {24, 39}, kBlue},
        {ContentMode::Bottom, {20, 34}, kClear},       {ContentMode::Left, {1, 20}, kRed},
        {ContentMode::Left, {11, 20}, kClear},         {ContentMode::Right, {39, 20}, kBlue},
        {ContentMode::Right, {29, 20}, kClear},        {ContentMode::TopLeft, {1, 1}, kRed},
        {ContentMode::TopLeft, {9, 4}, kBlue},         {ContentMode::TopRight, {31, 1}, kRed},
        {ContentMode::TopRight, {39, 4}, kBlue},       {ContentMode::BottomLeft, {1, 39}, kRed},
        {ContentMode::BottomLeft, {1, 34}, kClear},    {ContentMode::BottomRight, {39, 39}, kBlue},
        {ContentMode::BottomRight, {29, 39}, kClear},
    };
    for (const Case& c : cases) {
        Canvas canvas({40, 40}, 2);
        canvas.drawBitmap(picture, {0, 0, 40, 40}, c.mode, 2);
        EXPECT_PIXEL(canvas.bitmap(), c.point.x + 0.25, c.point.y + 0.25, 2, c.expected)
            << " in mode " << static_cast<int>(c.mode);
    }
    // Through an Image, at its own scale; at half alpha.
    Canvas canvas({40, 40});
    canvas.drawImage(*Image::withBitmap(picture, 2), {0, 0, 40, 40}, ContentMode::TopLeft, 0, 0.5);
    EXPECT_PIXEL(canvas.bitmap(), 1, 1, 1, 0x80800000);
    EXPECT_PIXEL(canvas.bitmap(), 12, 1, 1, kClear);
}

TEST(DrawCanvas, TextSitsCentredAndAlignedInItsRectangle) {
    auto ink = [](const Bitmap& b) {  // bounding box of dark pixels: left, top, right, bottom
        int l = b.width, t = b.height, r = -1, bottom = -1;
        for (int y = 0; y < b.height; ++y)
            for (int x = 0; x < b.width; ++x)
                if ((b.at(x, y) >> 24) > 0x60) {
                    l = std::min(l, x);
                    r = std::max(r, x + 1);
                    t = std::min(t, y);
                    bottom = std::max(bottom, y + 1);
                }
        return std::array<int, 4>{l, t, r, bottom};
    };
    TextStyle style;
    style.font = Font::systemFont(20);
    style.alignment = TextAlignment::Left;
    Canvas left({200, 60});
    left.drawText("Hxxxxxxxxxx", {10, 0, 180, 60}, style);
    const auto l = ink(left.bitmap());
    EXPECT_NEAR(l[0], 10, 3);
    // The line box (ascender + descent) is centred; "H" reaches up to the cap height and
    // "x" sits on the baseline, which lies at the box's top plus the ascender.
    const double top = (60 - std::ceil(style.font.lineHeight())) / 2;
    EXPECT_NEAR(l[3], top + style.font.ascender(), 1.5);

    style.alignment = TextAlignment::Right;
    Canvas right({200, 60});
    right.drawText("Hxxxxxxxxxx", {10, 0, 180, 60}, style);
    EXPECT_NEAR(ink(right.bitmap())[2], 190, 3);

    style.alignment = TextAlignment::Center;
    Canvas centred({200, 60});
    centred.drawText("Hxxxxxxxxxx", {10, 0, 180, 60}, style);
    const auto c = ink(centred.bitmap());
    EXPECT_NEAR((c[0] + c[2]) / 2.0, 100, 2);

    // The same text at scale 3 lands on the same points.
    Canvas sharp({200, 60}, 3);
    sharp.drawText("Hxxxxxxxxxx", {10, 0, 180, 60}, style);
    const auto s = ink(sharp.bitmap());
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(s[i] / 3.0, c[i], 1.0) << i;

    // Lines that do not fit the height are not drawn: two lines' height, two lines of ink.
    style.alignment = TextAlignment::Natural;
    style.numberOfLines = 0;
    style.lineBreakMode = LineBreakMode::WordWrap;
    const double two = 2 * style.font.lineHeight() + 1;
    Canvas tall({120, 200});
    tall.drawText("one two three four five six seven eight nine ten", {0, 0, 120, two}, style);
    EXPECT_LE(ink(tall.bitmap())[3], two + 1);
}

TEST(DrawCanvas, BadInputIsRefusedOrSkippedNeverFatal) {
    for (const auto& [size, scale] : {std::pair{Size{0, 10}, 1.0}, std::pair{Size{-5, 10}, 1.0},
                                      std::pair{Size{NAN, 10}, 1.0}, std::pair{Size{10, INFINITY}, 1.0},
                                      std::pair{Size{10, 10}, 0.0}, std::pair{Size{10, 10}, -2.0},
                                      std::pair{Size{10, 10}, static_cast<double>(NAN)}, std::pair{Size{16385, 1}, 1.0},
                                      std::pair{Size{5000, 5000}, 2.0}, std::pair{Size{1e300, 1e300}, 3.0}}) {
        Canvas canvas(size, scale);
        EXPECT_FALSE(canvas.valid()) << size.width << "x" << size.height << "@" << scale;
        EXPECT_FALSE(canvas.error().empty());
        canvas.fillRect({0, 0, 10, 10}, Color::redColor());
        canvas.drawText("text", {0, 0, 10, 10}, {});
        canvas.restore();
        canvas.endGroup();
        EXPECT_TRUE(canvas.bitmap().empty());
        EXPECT_FALSE(canvas.writePNG(std::string(QM_BINARY_DIR) + "/never.png"));
    }
    EXPECT_NE(Canvas({16385, 1}).error().find("16384"), std::string::npos);
    EXPECT_TRUE(Canvas({0.2, 0.2}, 1).valid());  // rounds up to one pixel

    // Nonsense drawing calls leave the canvas working.
    Canvas canvas({20, 20});
    canvas.restore();   // without a save
    canvas.endGroup();  // without a group
    canvas.fillRect({NAN, 0, 5, 5}, Color::redColor());
    canvas.fillRect({-1e300, -1e300, 2e300, 2e300}, Color{NAN, 0, 0, 1});  // black over everything
    canvas.strokeBorder({0, 0, 10, 10}, NAN, Color::redColor());
    canvas.strokeLine({0, 0}, {INFINITY, 1}, 1, Color::redColor());
    Bitmap broken(4, 4);
    broken.pixels.resize(3);  // fewer pixels than its size says
    canvas.drawBitmap(broken, {0, 0, 20, 20}, ContentMode::ScaleToFill);
    canvas.drawBitmap(halves(4, 4), {0, 0, 20, 20}, ContentMode::ScaleAspectFit, NAN);
    canvas.drawBitmap(halves(4, 4), {0, 0, 1e300, 1e300}, ContentMode::ScaleToFill);  // a scale past inverting
    static constexpr char kBadText[] = "bad \xFF\xFE utf-8 \0 nul";
    canvas.drawText(std::string(kBadText, sizeof kBadText - 1), {0, 0, 20, 20}, {});
    TextStyle huge;
    huge.font = Font::systemFont(900);
    huge.color = Color::redColor();
    huge.alignment = TextAlignment::Center;
    canvas.save();
    // A full block of millions of pixels per em, centred on the origin: filled as an outline.
    canvas.concat(AffineTransform::scale(1e4, 1e4));
    canvas.drawText("\u2588", {-500, -500, 1000, 1000}, huge);
    canvas.concat(AffineTransform{NAN, 0, 0, 1, 0, 0});
    canvas.concat(Transform3D{}, {NAN, 0, 1, 1});
    canvas.fillRect({-500, -500, 1000, 1000}, Color::blueColor());  // hidden by the NaN transform
    canvas.restore();
    EXPECT_PIXEL(canvas.bitmap(), 10, 10, 1, kRed);
    EXPECT_EQ(canvas.error(), "");
    canvas.fillRect({0, 0, 20, 20}, Color::blueColor());
    EXPECT_PIXEL(canvas.bitmap(), 10, 10, 1, kBlue);
    EXPECT_EQ(canvas.error(), "");
}

TEST(DrawPicture, PNGFilesRoundTripAndHostileFilesAreRefused) {
    Canvas canvas({30, 20}, 2);
    canvas.fillRect({0, 0, 30, 20}, Color::rgba(0.2, 0.4, 0.6, 0.5), 6);
    canvas.drawText("Aa", {0, 0, 30, 20}, {});
    const Bitmap drawn = canvas.bitmap();
    const std::string dir = std::string(QM_BINARY_DIR) + "/test-pictures";
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(canvas.writePNG(dir + "/roundtrip.png"));
    const auto read = readPNG(dir + "/roundtrip.png");
    ASSERT_TRUE(read);
    // PNG keeps colours unpremultiplied: half-transparent pixels may move by one step.
    const PictureDifference diff = comparePictures(*read, drawn, 1);
    EXPECT_TRUE(diff.sameSize);
    EXPECT_EQ(diff.differingPixels, 0u);

    EXPECT_FALSE(readPNG(dir + "/no-such-file.png"));
    EXPECT_FALSE(writePNG(Bitmap(), dir + "/empty.png"));
    // A header that claims 100000 × 100000 pixels is refused before anything is allocated.
    std::string header("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\x01\x86\xa0\0\x01\x86\xa0\x08\x06\0\0\0\0\0\0\0", 33);
    std::ofstream(dir + "/huge.png", std::ios::binary) << header;
    EXPECT_FALSE(readPNG(dir + "/huge.png"));
    std::ofstream(dir + "/cut.png", std::ios::binary) << header.substr(0, 20);
    EXPECT_FALSE(readPNG(dir + "/cut.png"));
    std::ofstream(dir + "/text.png", std::ios::binary) << "not a picture at all, just some words";
    EXPECT_FALSE(readPNG(dir + "/text.png"));
}

TEST(DrawPicture, ComparisonCountsPixelsPastTheTolerance) {
    Bitmap a(10, 10, kWhite);
    Bitmap b = a;
    b.at(3, 3) = 0xFFFFFFF5;  // blue off by 10
    b.at(4, 4) = kRed;
    const auto strict = comparePictures(b, a, 5);
    EXPECT_EQ(strict.differingPixels, 2u);
    EXPECT_EQ(strict.maxChannelDifference, 255);
    EXPECT_DOUBLE_EQ(strict.differingShare, 0.02);
    EXPECT_EQ(strict.picture.at(3, 3), kRed);  // marked in the difference picture
    EXPECT_EQ(comparePictures(b, a, 10).differingPixels, 1u);
    EXPECT_TRUE(comparePictures(a, a).within(0));
    EXPECT_FALSE(comparePictures(Bitmap(10, 11), a, 255).within(1));
}
