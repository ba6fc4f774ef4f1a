// Fonts and text measurement: what labels need to size themselves.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "qmui/font.hpp"
#include "qmui/text.hpp"

using qm::platform::Font;
using qm::platform::FontWeight;
using qm::platform::LineBreakMode;
using qm::platform::measureText;

namespace {
const std::string kSentence = "The quick brown fox jumps over the lazy dog while the cat watches from the fence";
}

TEST(DrawFont, SystemFontsAndMetricsFollowTheFontFile) {
    const Font body = Font::systemFont(17);
    EXPECT_EQ(body.family, "DejaVu Sans");
    EXPECT_EQ(body.weight, FontWeight::Regular);
    EXPECT_EQ(Font::boldSystemFont(12).weight, FontWeight::Bold);
    EXPECT_EQ(Font::systemFont(12, FontWeight::Semibold).weight, FontWeight::Semibold);

    // DejaVu Sans: ascender 1901 and descender 483 font units to the 2048-unit em.
    const Font f = Font::systemFont(20);
    EXPECT_NEAR(f.ascender(), 20 * 1901.0 / 2048, 0.01);
    EXPECT_NEAR(f.descender(), -20 * 483.0 / 2048, 0.01);
    EXPECT_NEAR(f.lineHeight(), f.ascender() - f.descender(), 1e-9);
    EXPECT_NEAR(Font::systemFont(40).lineHeight(), 2 * f.lineHeight(), 0.01);

    // Sizes that are no size fall back to the label default; huge ones are held.
    EXPECT_EQ(Font::systemFont(0).pointSize, Font::kDefaultSize);
    EXPECT_EQ(Font::systemFont(-3).pointSize, Font::kDefaultSize);
    EXPECT_EQ(Font::systemFont(NAN).pointSize, Font::kDefaultSize);
    EXPECT_EQ(Font::systemFont(1e12).pointSize, Font::kMaximumSize);
    Font odd = Font::systemFont(10);
    odd.pointSize = NAN;  // set directly, past the constructors
    EXPECT_NEAR(odd.lineHeight(), Font::systemFont(Font::kDefaultSize).lineHeight(), 1e-9);
}

TEST(DrawFont, FontsByNameReadFamilyAndFaceNames) {
    auto bold = Font::fontWithName("DejaVuSans-Bold", 14);
    ASSERT_TRUE(bold);
    EXPECT_EQ(bold->family, "DejaVu Sans");
    EXPECT_EQ(bold->weight, FontWeight::Bold);
    EXPECT_EQ(bold->pointSize, 14);

    auto mono = Font::fontWithName("DejaVu Sans Mono", 11);  // not "DejaVu Sans" with style "Mono"
    ASSERT_TRUE(mono);
    EXPECT_EQ(mono->family, "DejaVu Sans Mono");

    auto serif = Font::fontWithName("dejavu serif bold italic", 11);
    ASSERT_TRUE(serif);
    EXPECT_EQ(serif->family, "DejaVu Serif");
    EXPECT_EQ(serif->weight, FontWeight::Bold);
    EXPECT_TRUE(serif->italic);

    // The face name reads back to the same font.
    EXPECT_EQ(Font::fontWithName(serif->fontName(), 11), serif);
    EXPECT_EQ(Font::fontWithName(Font::systemFont(9, FontWeight::Medium).fontName(), 9),
              Font::systemFont(9, FontWeight::Medium));

    for (const char* name : {"", "Helvetica Neue", "NoSuchFont-Bold", "DejaVuSans-Wobbly"})
        EXPECT_FALSE(Font::fontWithName(name, 12)) << name;

    // A monospaced font gives every character the same advance.
    EXPECT_EQ(measureText("iiii", *mono).size, measureText("MMMM", *mono).size);
}

TEST(DrawText, OneLineSizesRoundUpAndGrowWithTheText) {
    const Font f = Font::systemFont(17);
    const auto shortText = measureText("Hello", f);
    const auto longer = measureText("Hello, world", f);
    EXPECT_GT(longer.size.width, shortText.size.width);
    EXPECT_EQ(shortText.lineCount, 1);
    EXPECT_EQ(shortText.size.height, std::ceil(f.lineHeight()));
    EXPECT_EQ(shortText.size.width, std::floor(shortText.size.width));
    EXPECT_NEAR(shortText.firstBaseline, f.ascender(), 1e-6);
    EXPECT_FALSE(shortText.truncated);
    // Bold is wider; a paragraph break makes two lines.
    EXPECT_GT(measureText("Hello", Font::boldSystemFont(17)).size.width, shortText.size.width);
    EXPECT_EQ(measureText("Hello\nworld", f).lineCount, 2);
    EXPECT_EQ(measureText("Hello\nworld", f, 0, 1, LineBreakMode::WordWrap).lineCount, 1);

    for (const std::string& empty : {std::string(), std::string("\0", 1)}) {
        const auto none = measureText(empty, f, 100, 0);
        EXPECT_EQ(none.size.width, 0);
        EXPECT_EQ(none.size.height, 0);
        EXPECT_EQ(none.lineCount, 0);
    }
    // Malformed UTF-8 is measured with replacement characters, not refused or crashed on.
    EXPECT_GT(measureText("ab\xC3\x28\xFF\xE2\x82 cd", f).size.width, measureText("ab cd", f).size.width);
}

TEST(DrawText, WrappingAtAWidthStacksWholeLines) {
    const Font f = Font::systemFont(15);
    const double oneLine = measureText(kSentence, f).size.width;
    for (auto mode : {LineBreakMode::WordWrap, LineBreakMode::CharWrap}) {
        const auto wrapped = measureText(kSentence, f, 120, 0, mode);
        EXPECT_GE(wrapped.lineCount, static_cast<int>(oneLine / 120)) << static_cast<int>(mode);
        EXPECT_LE(wrapped.size.width, 120);
        EXPECT_EQ(wrapped.size.height, std::ceil(wrapped.lineCount * f.lineHeight()));
        EXPECT_NEAR(wrapped.lastBaseline - wrapped.firstBaseline, (wrapped.lineCount - 1) * f.lineHeight(), 1e-6);
        EXPECT_FALSE(wrapped.truncated);
    }
    // Breaking between characters fills lines at least as well as breaking between words.
    EXPECT_LE(measureText(kSentence, f, 120, 0, LineBreakMode::CharWrap).lineCount,
              measureText(kSentence, f, 120, 0, LineBreakMode::WordWrap).lineCount);
    // A word longer than the line is broken, never wider than the line.
    const auto word = measureText("Antidisestablishmentarianism", f, 60, 0);
    EXPECT_GT(word.lineCount, 1);
    EXPECT_LE(word.size.width, 60);
}

TEST(DrawText, TheLineLimitCutsAndTruncationStaysWithinTheWidth) {
    const Font f = Font::systemFont(15);
    const auto all = measureText(kSentence, f, 120, 0);
    ASSERT_GT(all.lineCount, 3);
    for (auto mode : {LineBreakMode::WordWrap, LineBreakMode::CharWrap, LineBreakMode::Clip, LineBreakMode::TruncateHead,
                      LineBreakMode::TruncateTail, LineBreakMode::TruncateMiddle}) {
        const auto two = measureText(kSentence, f, 120, 2, mode);
        EXPECT_EQ(two.lineCount, 2) << static_cast<int>(mode);
        EXPECT_EQ(two.size.height, std::ceil(2 * f.lineHeight())) << static_cast<int>(mode);
        EXPECT_TRUE(two.truncated) << static_cast<int>(mode);
    }
    for (auto mode : {LineBreakMode::TruncateHead, LineBreakMode::TruncateTail, LineBreakMode::TruncateMiddle}) {
        for (double width : {8.0, 25.0, 60.0, 133.0, 250.0}) {
            const auto one = measureText(kSentence, f, width, 1, mode);
            EXPECT_EQ(one.lineCount, 1);
            EXPECT_LE(one.size.width, width) << static_cast<int>(mode) << " at " << width;
            EXPECT_TRUE(one.truncated);
        }
        // Text that fits is left whole.
        EXPECT_FALSE(measureText("Fox", f, 250, 1, mode).truncated);
    }
    // A single clipped line is as wide as the width allows, however long the text.
    EXPECT_EQ(measureText(kSentence, f, 90, 1, LineBreakMode::Clip).size.width, 90);
}

TEST(DrawText, MeasuresAlikeFromSeveralThreads) {
    const Font f = Font::systemFont(13);
    const auto expected = measureText(kSentence, f, 100, 3, LineBreakMode::TruncateMiddle);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const auto m = measureText(kSentence, f, 100, 3, LineBreakMode::TruncateMiddle);
                if (m.size != expected.size || m.lineCount != expected.lineCount) ++mismatches[t];
                if (Font::fontWithName("DejaVuSerif-Bold", 9 + i)->lineHeight() <= 0) ++mismatches[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}
