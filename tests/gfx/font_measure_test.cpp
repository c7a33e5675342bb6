// Measuring text follows raylib's rule exactly, for every script the font
// file has. Fonts load without a window (measuring only), so this runs headless.
#include <gtest/gtest.h>

#include <string>

#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"

namespace {

const std::string kFontPath = std::string(VIMO_BUILD_DIR) + "/assets/neodgm.ttf";

class GfxUnifont : public ::testing::Test {
   protected:
    void SetUp() override {
        font = LoadFont(kFontPath.c_str());
        ASSERT_NE(font.texture.id, 0u);
    }
    void TearDown() override { UnloadFont(font); }
    Font font = {};
};

}  // namespace

TEST_F(GfxUnifont, LoadsAsciiAtBaseSize32WithPadding4) {
    EXPECT_EQ(font.baseSize, 32);
    EXPECT_EQ(font.glyphPadding, 4);
    ASSERT_EQ(font.glyphCount, 95);
    EXPECT_EQ(font.glyphs[0].value, 32);
    EXPECT_EQ(font.glyphs['A' - 32].advanceX, 16);  // 8 font pixels, doubled
    EXPECT_EQ(font.glyphs[94].value, 126);
    EXPECT_EQ(gfx_font_loaded_glyphs(font), 95);
}

TEST_F(GfxUnifont, WidthsFollowTheAdvanceRule) {
    Vector2 a = MeasureTextEx(font, "A", 16, 0);
    EXPECT_EQ(a.x, 8);
    EXPECT_EQ(a.y, 16);
    EXPECT_EQ(MeasureTextEx(font, "A", 32, 0).x, 16);
    EXPECT_EQ(MeasureTextEx(font, "한", 16, 0).x, 16);
    EXPECT_EQ(MeasureTextEx(font, "こんにちは", 16, 0).x, 80);
    EXPECT_EQ(MeasureTextEx(font, "é", 16, 0).x, 8);
    EXPECT_EQ(MeasureTextEx(font, "Жж", 16, 0).x, 16);
    // Spacing counts between code points: (count - 1) x spacing.
    EXPECT_EQ(MeasureTextEx(font, "AB", 16, 3).x, 19);
    EXPECT_EQ(MeasureTextEx(font, "안녕", 16, 2).x, 34);
    EXPECT_GT(gfx_font_loaded_glyphs(font), 95);  // rasterised on first use
}

TEST_F(GfxUnifont, LinesTakeTheWidestAndAddFontSizePlusTwo) {
    Vector2 two = MeasureTextEx(font, "A\nB", 16, 0);
    EXPECT_EQ(two.x, 8);
    EXPECT_EQ(two.y, 34);
    Vector2 wide = MeasureTextEx(font, "AB\n안녕하", 16, 1);
    EXPECT_EQ(wide.x, 48 + 2);  // widest line, spacing by the line with most code points
    EXPECT_EQ(wide.y, 34);
    Vector2 newline = MeasureTextEx(font, "\n", 16, 0);
    EXPECT_EQ(newline.x, 0);
    EXPECT_EQ(newline.y, 34);
    EXPECT_EQ(MeasureTextEx(font, "A\n\n", 20, 0).y, 20 + 22 + 22);
}

TEST_F(GfxUnifont, MissingAndMalformedCodePointsMeasureAsQuestionMark) {
    const float question = MeasureTextEx(font, "?", 16, 0).x;
    ASSERT_FALSE(gfx_font_has_codepoint(font, 0x1f600));
    EXPECT_EQ(MeasureTextEx(font, "\xf0\x9f\x98\x80", 16, 0).x, question);      // U+1F600, not in the file
    EXPECT_EQ(MeasureTextEx(font, "\xff", 16, 0).x, question);                  // not UTF-8
    EXPECT_EQ(MeasureTextEx(font, "\xe6\x97", 16, 0).x, 2 * question);         // cut short: one '?' per byte
    EXPECT_EQ(MeasureTextEx(font, "\t", 16, 0).x, question);                    // controls are not loaded
    EXPECT_EQ(MeasureTextEx(font, "", 16, 0).x, 0);
    EXPECT_EQ(MeasureTextEx(font, "", 16, 0).y, 0);
}

TEST(GfxFont, UnreadableFileGivesAnEmptyFont) {
    Font none = LoadFont("/nonexistent/neodgm.ttf");
    EXPECT_EQ(none.texture.id, 0u);
    EXPECT_FALSE(IsFontReady(none));
    Vector2 size = MeasureTextEx(none, "A", 16, 0);
    EXPECT_EQ(size.x, 0);
    EXPECT_EQ(size.y, 0);
    DrawTextPro(none, "A", Vector2{0, 0}, Vector2{0, 0}, 0, 16, 0, WHITE);
    UnloadFont(none);
    Font notAFont = LoadFont(__FILE__);
    EXPECT_EQ(notAFont.texture.id, 0u);
    UnloadFont(notAFont);
}
