// render.screen_ms: one full phone screen drawn with the canvas, as the renderer would draw a
// busy view tree: 390 × 844 points at scale 3, about 30 rounded rectangles with borders, 15
// text runs of several sizes and 5 pictures in different content modes. Median of several
// runs, each on a fresh canvas.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "qmui/canvas.hpp"

namespace qm::bench {

namespace {

namespace pf = qm::platform;

pf::Bitmap gradient(int width, int height, std::uint32_t tint) {
    pf::Bitmap b(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            b.at(x, y) = 0xFF000000 | (tint & 0xFF0000) | static_cast<std::uint32_t>((x * 255 / width) << 8) |
                         static_cast<std::uint32_t>(y * 255 / height);
    return b;
}

void drawScreen(const std::vector<pf::Bitmap>& pictures) {
    pf::Canvas canvas({390, 844}, 3);
    canvas.paint(pf::Color::white(0.96));
    // A navigation bar and a tab bar.
    canvas.fillRect({0, 0, 390, 96}, pf::Color::whiteColor());
    canvas.strokeBorder({-1, -1, 392, 97}, 0.5, pf::Color::white(0.8));
    canvas.fillRect({0, 760, 390, 84}, pf::Color::whiteColor());
    pf::TextStyle title;
    title.font = pf::Font::boldSystemFont(17);
    title.alignment = pf::TextAlignment::Center;
    canvas.drawText("Inbox", {0, 52, 390, 40}, title);

    pf::TextStyle heading, body, small;
    heading.font = pf::Font::systemFont(16, pf::FontWeight::Semibold);
    body.font = pf::Font::systemFont(13);
    body.color = pf::Color::white(0.35);
    body.numberOfLines = 2;
    small.font = pf::Font::systemFont(11);
    small.color = pf::Color::gray();
    small.alignment = pf::TextAlignment::Right;
    const pf::ContentMode modes[] = {pf::ContentMode::ScaleAspectFill, pf::ContentMode::ScaleAspectFit,
                                     pf::ContentMode::ScaleToFill, pf::ContentMode::Center,
                                     pf::ContentMode::TopLeft};
    // Five cards: each a bordered rounded card, a picture, a badge, two buttons and three
    // text runs.
    for (int i = 0; i < 5; ++i) {
        const double y = 108 + i * 128;
        canvas.fillRect({12, y, 366, 118}, pf::Color::whiteColor(), 12);
        canvas.strokeBorder({12, y, 366, 118}, 1, pf::Color::white(0.85), 12);
        canvas.save();
        canvas.clip({22, y + 10, 72, 72}, 8);
        canvas.drawBitmap(pictures[static_cast<std::size_t>(i)], {22, y + 10, 72, 72}, modes[i], 3);
        canvas.restore();
        canvas.strokeBorder({22, y + 10, 72, 72}, 1, pf::Color::white(0, 0.1), 8);
        canvas.fillRect({80, y + 4, 20, 20}, pf::Color::redColor(), 10);
        canvas.strokeBorder({80, y + 4, 20, 20}, 2, pf::Color::whiteColor(), 10);
        canvas.drawText("Weekend sale " + std::to_string(i + 1), {106, y + 10, 200, 22}, heading);
        canvas.drawText("Everything in the shop is 20% off until Sunday night, delivery included.",
                        {106, y + 34, 262, 40}, body);
        canvas.drawText(std::to_string(i + 2) + " h ago", {296, y + 10, 72, 16}, small);
        for (int b = 0; b < 2; ++b) {
            const pf::Rect button{106.0 + b * 136, y + 80, 124, 28};
            canvas.fillRect(button, b ? pf::Color::whiteColor() : pf::Color::systemBlue(), 8);
            canvas.strokeBorder(button, 1, pf::Color::systemBlue(), 8);
        }
    }
    // The tab bar's items.
    for (int t = 0; t < 4; ++t) {
        canvas.fillRect({30.0 + t * 92, 770, 36, 36}, pf::Color::white(0.9), 10);
        canvas.strokeBorder({30.0 + t * 92, 770, 36, 36}, 1.5, pf::Color::systemBlue(), 10);
    }
    // Half-opaque toast over the content.
    canvas.beginGroup(0.85, {40, 690, 310, 52});
    canvas.fillRect({40, 690, 310, 52}, pf::Color::white(0.15), 26);
    canvas.strokeBorder({40, 690, 310, 52}, 1, pf::Color::white(0.4), 26);
    pf::TextStyle toast;
    toast.font = pf::Font::systemFont(14);
    toast.color = pf::Color::whiteColor();
    toast.alignment = pf::TextAlignment::Center;
    canvas.drawText("Saved to your wallet", {40, 690, 310, 52}, toast);
    canvas.endGroup();
}

}  // namespace

// Prints "render.screen_ms VALUE ms".
void printRenderBench() {
    std::vector<pf::Bitmap> pictures;
    for (std::uint32_t tint : {0xFF3060u, 0x20A0E0u, 0x70C040u, 0xE0A020u, 0x9050D0u})
        pictures.push_back(gradient(360, 240, tint));
    drawScreen(pictures);  // warms the fonts and glyph caches
    std::vector<double> samples;
    for (int run = 0; run < 11; ++run) {
        const auto start = std::chrono::steady_clock::now();
        drawScreen(pictures);
        samples.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    std::printf("%s %.3f %s\n", "render.screen_ms", samples[samples.size() / 2], "ms");
}

}  // namespace qm::bench
