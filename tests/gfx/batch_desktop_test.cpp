// Batching in the real window: flat boxes drawn between the glyphs of one
// font (a chat box: white panel, then its text, then the next box...) stay in
// the font page's draw call and give the same pixels as boxes drawn alone.
#include <gtest/gtest.h>

#include <string>

#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"

namespace {

const std::string kFontPath = std::string(VIMO_BUILD_DIR) + "/assets/neodgm.ttf";

bool same(Color a, Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

}  // namespace

TEST(GfxBatch, BoxesBetweenGlyphsShareTheFontsDrawCallAndKeepTheirColour) {
    ASSERT_TRUE(IsWindowReady());
    Font font = LoadFont(kFontPath.c_str());
    ASSERT_NE(font.texture.id, 0u);
    const Color panel = {255, 255, 255, 255}, tinted = {40, 160, 90, 128};

    // Boxes alone: drawn from the layer's white texture.
    BeginDrawing();
    ClearBackground(BLANK);
    DrawRectanglePro(Rectangle{50, 50, 40, 20}, Vector2{}, 0, panel);
    DrawRectanglePro(Rectangle{150, 50, 40, 20}, Vector2{20, 10}, 30, tinted);
    Image alone = LoadImageFromScreen();
    EndDrawing();

    // The same boxes, each after text of the font: one batch for the frame.
    BeginDrawing();
    ClearBackground(BLANK);
    DrawTextPro(font, "hi", Vector2{300, 300}, {}, 0, 16, 0, BLACK);
    DrawRectanglePro(Rectangle{50, 50, 40, 20}, Vector2{}, 0, panel);
    DrawTextPro(font, "there", Vector2{300, 340}, {}, 0, 16, 0, BLACK);
    DrawRectanglePro(Rectangle{150, 50, 40, 20}, Vector2{20, 10}, 30, tinted);
    DrawTextPro(font, "again", Vector2{300, 380}, {}, 0, 16, 0, BLACK);
    EndDrawing();
    EXPECT_EQ(gfx_draw_calls_last_frame(), 1);
    BeginDrawing();
    ClearBackground(BLANK);
    DrawTextPro(font, "hi", Vector2{300, 300}, {}, 0, 16, 0, BLACK);
    DrawRectanglePro(Rectangle{50, 50, 40, 20}, Vector2{}, 0, panel);
    DrawTextPro(font, "there", Vector2{300, 340}, {}, 0, 16, 0, BLACK);
    DrawRectanglePro(Rectangle{150, 50, 40, 20}, Vector2{20, 10}, 30, tinted);
    Image mixed = LoadImageFromScreen();
    EndDrawing();

    int differ = 0, covered = 0;
    for (int y = 20; y < 90; y++)
        for (int x = 30; x < 200; x++) {
            Color a = GetImageColor(alone, x, y), b = GetImageColor(mixed, x, y);
            if (!same(a, b)) differ++;
            if (a.a != 0) covered++;
        }
    EXPECT_EQ(differ, 0);
    EXPECT_GT(covered, 40 * 20);  // the boxes were drawn at all
    EXPECT_TRUE(same(GetImageColor(mixed, 70, 60), panel));
    UnloadImage(alone);
    UnloadImage(mixed);

    // Once the font is gone its page is no longer used for boxes.
    UnloadFont(font);
    BeginDrawing();
    ClearBackground(BLANK);
    DrawRectanglePro(Rectangle{50, 50, 40, 20}, Vector2{}, 0, panel);
    Image after = LoadImageFromScreen();
    EndDrawing();
    EXPECT_TRUE(same(GetImageColor(after, 70, 60), panel));
    UnloadImage(after);
}
