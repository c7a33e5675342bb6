// The overlay at scale 2: a logical world of half the framebuffer, drawn as
// crisp 2 x 2 blocks, with its input shape and pointer in the same units.
// The case reopens the shared window at scale 2 and gives it back at scale 1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "gfx/gfx_ext.h"
#include "gfx/overlay_env.h"
#include "gfx/raylib.h"
#include "gfx/x11_probe.h"

namespace {

const std::string kFontPath = std::string(VIMO_BUILD_DIR) + "/assets/neodgm.ttf";

bool equal(Color a, Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

// A 3 x 2 texture, one opaque colour per texel.
Color texel(int x, int y) { return Color{(unsigned char)(60 * x + 20), (unsigned char)(200 * y + 30), 90, 255}; }

class ScaledWindow : public ::testing::Test {
   protected:
    void SetUp() override {
        // Frames in the window before it is reopened: what they learnt of its
        // GL driver (partial presents) must not outlive it.
        for (int frame = 0; frame < 2; frame++) {
            BeginDrawing();
            ClearBackground(BLANK);
            EndDrawing();
        }
        CloseWindow();
        gfx_set_scale(2);
        InitWindow(0, 0, kOverlayTitle);
        ASSERT_TRUE(IsWindowReady());
    }
    void TearDown() override {
        CloseWindow();
        gfx_set_scale(1);
        InitWindow(0, 0, kOverlayTitle);
    }
};

}  // namespace

TEST_F(ScaledWindow, DrawsInputAndPointerInLogicalPixels) {
    EXPECT_EQ(gfx_scale(), 2);
    gfx_set_scale(3);  // ignored while the window is open
    EXPECT_EQ(gfx_scale(), 2);
    EXPECT_EQ(GetScreenWidth(), 1920 / 2);
    EXPECT_EQ(GetScreenHeight(), 1080 / 2);

    // -- a texture at logical (101, 51) covers physical 202..207 x 102..105 in 2 x 2 blocks
    std::vector<Color> pixels;
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 3; x++) pixels.push_back(texel(x, y));
    Texture2D tex = LoadTextureFromImage(Image{pixels.data(), 3, 2, 1, PIXELFORMAT_UNCOMPRESSED_R8G8B8A8});
    ASSERT_NE(tex.id, 0u);
    Font font = LoadFont(kFontPath.c_str());
    ASSERT_NE(font.texture.id, 0u);
    Image shot = {};
    for (int frame = 0; frame < 3; frame++) {  // the text is composed into one image by the third frame
        BeginDrawing();
        ClearBackground(BLANK);
        DrawTexturePro(tex, Rectangle{0, 0, 3, 2}, Rectangle{101, 51, 3, 2}, Vector2{0, 0}, 0, WHITE);
        DrawTextPro(font, "Hi \xec\x95\x88", Vector2{300, 200}, Vector2{0, 0}, 0, 16, 0, WHITE);
        if (frame == 2) shot = LoadImageFromScreen();
        EndDrawing();
    }
    EXPECT_EQ(gfx_text_images(), 1);
    ASSERT_EQ(shot.width, 1920);  // the framebuffer as it is
    ASSERT_EQ(shot.height, 1080);
    for (int y = 100; y < 108; y++)
        for (int x = 200; x < 210; x++) {
            bool inside = x >= 202 && x < 208 && y >= 102 && y < 106;
            Color want = inside ? texel((x - 202) / 2, (y - 102) / 2) : Color{0, 0, 0, 0};
            Color got = GetImageColor(shot, x, y);
            EXPECT_TRUE(equal(got, want)) << x << "," << y << " (" << (int)got.r << "," << (int)got.g << ","
                                          << (int)got.b << "," << (int)got.a << ")";
        }
    // Text: only white or nothing, in 2 x 2 blocks on the logical grid.
    int ink = 0, blended = 0, split = 0;
    for (int y = 396; y < 440; y += 2)
        for (int x = 596; x < 700; x += 2) {
            Color c = GetImageColor(shot, x, y);
            if (c.a == 255 && c.r == 255) ink++;
            else if (c.a != 0) blended++;
            for (int d = 1; d < 4; d++)
                if (!equal(GetImageColor(shot, x + d % 2, y + d / 2), c)) split++;
        }
    EXPECT_GT(ink, 40);
    EXPECT_EQ(blended, 0);
    EXPECT_EQ(split, 0);
    UnloadImage(shot);
    UnloadFont(font);
    UnloadTexture(tex);

    // -- the input shape: logical rectangles go out doubled and come back halved
    unsigned long window = (unsigned long)(uintptr_t)GetWindowHandle();
    const Rectangle box = {100.5f, 50, 20, 10.25f};
    gfx_set_input_region(&box, 1);
    int xywh[4] = {};
    ASSERT_EQ(probe_input_shape(window, xywh, 1), 1);
    EXPECT_EQ(xywh[0], 201);
    EXPECT_EQ(xywh[1], 100);
    EXPECT_EQ(xywh[2], 40);
    EXPECT_EQ(xywh[3], 21);  // 20.5 physical rows touched: 21
    Rectangle back = {};
    ASSERT_EQ(gfx_get_input_region(&back, 1), 1);
    EXPECT_EQ(back.x, 100.5f);
    EXPECT_EQ(back.height, 10.5f);
    gfx_set_window_shape(&box, 1);
    ASSERT_EQ(gfx_get_window_shape(&back, 1), 1);
    EXPECT_EQ(back.width, 20);
    gfx_clear_window_shape();
    ASSERT_EQ(gfx_get_window_shape(&back, 1), 1);
    EXPECT_EQ(back.width, 960);

    // -- the pointer: physical (801, 603) is logical (400.5, 301.5)
    ClearWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH);  // the whole window hears the pointer
    ASSERT_TRUE(probe_warp_pointer(801, 603));
    Vector2 mouse = {};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        BeginDrawing();
        EndDrawing();  // polls events
        mouse = GetMousePosition();
    } while ((mouse.x != 400.5f || mouse.y != 301.5f) && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(mouse.x, 400.5f);
    EXPECT_EQ(mouse.y, 301.5f);
    gfx_inject_mouse_position(Vector2{7, 9});  // injected positions are logical already
    EXPECT_EQ(GetMousePosition().x, 7);
}
