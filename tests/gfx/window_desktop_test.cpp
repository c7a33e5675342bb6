// The real overlay window under Xvfb: transparency, placement of quads,
// click-through through the input shape, crisp text. Each case draws one frame
// and reads its own framebuffer back before presenting it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"
#include "gfx/overlay_env.h"
#include "gfx/x11_probe.h"

namespace {


bool same(Color a, Color b, int tolerance = 2) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance &&
           std::abs(a.a - b.a) <= tolerance;
}

std::string str(Color c) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "(%d,%d,%d,%d)", c.r, c.g, c.b, c.a);
    return buffer;
}

// A 4 x 2 texture with a distinct opaque colour per texel.
Color texel(int x, int y) {
    return Color{(unsigned char)(40 + 50 * x), (unsigned char)(30 + 180 * y), (unsigned char)(200 - 40 * x), 255};
}
Texture2D make_texture() {
    std::vector<Color> pixels;
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 4; x++) pixels.push_back(texel(x, y));
    Image image = {pixels.data(), 4, 2, 1, PIXELFORMAT_UNCOMPRESSED_R8G8B8A8};
    return LoadTextureFromImage(image);
}

}  // namespace

TEST(GfxWindow, CoversTheMonitorWithTitleAndStartsClickThrough) {
    EXPECT_EQ(GetScreenWidth(), 1920);
    EXPECT_EQ(GetScreenHeight(), 1080);
    unsigned long window = (unsigned long)(uintptr_t)GetWindowHandle();
    ASSERT_NE(window, 0u);
    char title[64] = {};
    ASSERT_TRUE(probe_window_title(window, title, sizeof title));
    EXPECT_STREQ(title, kOverlayTitle);
    int w = 0, h = 0;
    ASSERT_TRUE(probe_window_size(window, &w, &h));
    EXPECT_EQ(w, 1920);
    EXPECT_EQ(h, 1080);

    // Created click-through: an empty input shape.
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH));
    EXPECT_EQ(probe_input_shape_rects(window), 0);
    ClearWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH);
    EXPECT_FALSE(IsWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH));
    EXPECT_EQ(probe_input_shape_rects(window), 1);  // the whole window takes input again
    SetWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH);
    EXPECT_EQ(probe_input_shape_rects(window), 0);
    EXPECT_EQ(gfx_input_shape_rect_count(), 0);
}

TEST(GfxWindow, InputRegionTakesThePointerOnlyInsideItsRectangles) {
    unsigned long window = (unsigned long)(uintptr_t)GetWindowHandle();
    // Whole pixels touched; two boxes side by side in one band, a third below.
    const Rectangle rects[3] = {{100.5f, 50, 20, 10}, {300, 50, 40, 10.2f}, {10, 200, 5, 5}};
    gfx_set_input_region(rects, 3);
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH));  // the pointer passes everywhere else
    int xywh[4 * 4] = {};
    ASSERT_EQ(probe_input_shape(window, xywh, 4), 4);  // the server bands it: the taller box spans two bands
    const int want[4][4] = {{100, 50, 21, 10}, {300, 50, 40, 10}, {300, 60, 40, 1}, {10, 200, 5, 5}};
    for (int i = 0; i < 4; i++)
        for (int k = 0; k < 4; k++) EXPECT_EQ(xywh[4 * i + k], want[i][k]) << i << "," << k;
    Rectangle back[4] = {};
    ASSERT_EQ(gfx_get_input_region(back, 4), 4);
    EXPECT_EQ(back[3].x, 10);
    EXPECT_EQ(back[3].height, 5);

    // Passthrough everywhere replaces the region; clearing it gives the whole window.
    SetWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH);
    EXPECT_EQ(probe_input_shape_rects(window), 0);
    gfx_set_input_region(rects, 1);
    EXPECT_EQ(probe_input_shape_rects(window), 1);
    ClearWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH);
    EXPECT_FALSE(IsWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH));
    ASSERT_EQ(probe_input_shape(window, xywh, 1), 1);
    EXPECT_EQ(xywh[2], 1920);
    gfx_set_input_region(nullptr, 0);
    EXPECT_EQ(probe_input_shape_rects(window), 0);
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH));
}

TEST(GfxWindow, BackgroundIsFullyTransparentAndBlendingIsSourceOver) {
    BeginDrawing();
    ClearBackground(BLANK);
    DrawRectanglePro(Rectangle{10, 10, 20, 20}, Vector2{0, 0}, 0, Color{255, 255, 255, 128});
    DrawRectanglePro(Rectangle{40, 10, 20, 20}, Vector2{0, 0}, 0, Color{255, 0, 0, 255});
    DrawRectanglePro(Rectangle{40, 10, 20, 20}, Vector2{0, 0}, 0, Color{0, 0, 255, 128});
    Image shot = LoadImageFromScreen();
    EndDrawing();
    ASSERT_EQ(shot.width, 1920);
    ASSERT_EQ(shot.height, 1080);
    for (int y = 0; y < 1080; y += 37)
        for (int x = 100; x < 1920; x += 41) ASSERT_EQ(GetImageColor(shot, x, y).a, 0) << x << "," << y;
    EXPECT_EQ(GetImageColor(shot, 0, 1079).a, 0);
    // Half-transparent white on nothing: half covered, half bright.
    EXPECT_TRUE(same(GetImageColor(shot, 20, 20), Color{128, 128, 128, 128})) << str(GetImageColor(shot, 20, 20));
    // Half blue over opaque red: a mix, and still opaque.
    EXPECT_TRUE(same(GetImageColor(shot, 50, 20), Color{127, 0, 128, 255})) << str(GetImageColor(shot, 50, 20));
    UnloadImage(shot);
}

TEST(GfxWindow, DrawTextureProPlacesScalesTurnsAndMirrors) {
    Texture2D tex = make_texture();
    ASSERT_NE(tex.id, 0u);
    const Rectangle full = {0, 0, 4, 2};
    BeginDrawing();
    ClearBackground(BLANK);
    // 10 x 10 pixels per texel; origin at the quad's centre lands on (100, 100).
    DrawTexturePro(tex, full, Rectangle{100, 100, 40, 20}, Vector2{20, 10}, 0, WHITE);
    // Turned 90 degrees clockwise about its top-left corner at (300, 100).
    DrawTexturePro(tex, full, Rectangle{300, 100, 40, 20}, Vector2{0, 0}, 90, WHITE);
    // Negative source width mirrors; negative dest sizes count as positive.
    DrawTexturePro(tex, Rectangle{0, 0, -4, 2}, Rectangle{500, 100, -40, -20}, Vector2{0, 0}, 0, WHITE);
    // A tint multiplies the texels.
    DrawTexturePro(tex, full, Rectangle{700, 100, 40, 20}, Vector2{0, 0}, 0, Color{255, 0, 255, 255});
    // A texture that never loaded draws nothing.
    DrawTexturePro(Texture2D{}, full, Rectangle{900, 100, 40, 20}, Vector2{0, 0}, 0, WHITE);
    Image shot = LoadImageFromScreen();
    EndDrawing();

    for (int ty = 0; ty < 2; ty++)
        for (int tx = 0; tx < 4; tx++) {
            Color plain = GetImageColor(shot, 80 + 10 * tx + 5, 90 + 10 * ty + 5);
            EXPECT_TRUE(same(plain, texel(tx, ty))) << tx << "," << ty << " " << str(plain);
            // Turned: texel column runs down the screen, texel rows run right to left.
            Color turned = GetImageColor(shot, 300 - 10 * ty - 5, 100 + 10 * tx + 5);
            EXPECT_TRUE(same(turned, texel(tx, ty))) << tx << "," << ty << " " << str(turned);
            Color mirrored = GetImageColor(shot, 500 + 10 * (3 - tx) + 5, 100 + 10 * ty + 5);
            EXPECT_TRUE(same(mirrored, texel(tx, ty))) << tx << "," << ty << " " << str(mirrored);
            Color tinted = GetImageColor(shot, 700 + 10 * tx + 5, 100 + 10 * ty + 5);
            Color want = texel(tx, ty);
            want.g = 0;
            EXPECT_TRUE(same(tinted, want)) << tx << "," << ty << " " << str(tinted);
        }
    // Exact edges: nothing outside the placed quads.
    EXPECT_EQ(GetImageColor(shot, 79, 95).a, 0);
    EXPECT_EQ(GetImageColor(shot, 120, 95).a, 0);
    EXPECT_EQ(GetImageColor(shot, 100, 89).a, 0);
    EXPECT_EQ(GetImageColor(shot, 100, 110).a, 0);
    EXPECT_EQ(GetImageColor(shot, 279, 120).a, 0);
    EXPECT_EQ(GetImageColor(shot, 301, 120).a, 0);
    EXPECT_EQ(GetImageColor(shot, 290, 141).a, 0);
    EXPECT_EQ(GetImageColor(shot, 920, 110).a, 0);
    UnloadImage(shot);
    UnloadTexture(tex);
    UnloadTexture(Texture2D{});  // id 0 is ignored
}

TEST(GfxWindow, DrawRectangleProTurnsAboutItsOrigin) {
    BeginDrawing();
    ClearBackground(BLANK);
    // 60 x 20 centred on (500, 100), turned upright: x 490..510, y 70..130.
    DrawRectanglePro(Rectangle{500, 100, 60, 20}, Vector2{30, 10}, 90, Color{0, 255, 0, 255});
    // Turned 45 degrees about its top-left corner (800, 100).
    DrawRectanglePro(Rectangle{800, 100, 100, 10}, Vector2{0, 0}, 45, Color{255, 255, 0, 255});
    Image shot = LoadImageFromScreen();
    EndDrawing();
    EXPECT_TRUE(same(GetImageColor(shot, 500, 72), Color{0, 255, 0, 255}));
    EXPECT_TRUE(same(GetImageColor(shot, 492, 127), Color{0, 255, 0, 255}));
    EXPECT_EQ(GetImageColor(shot, 500, 66).a, 0);
    EXPECT_EQ(GetImageColor(shot, 487, 100).a, 0);
    EXPECT_EQ(GetImageColor(shot, 513, 100).a, 0);
    EXPECT_EQ(GetImageColor(shot, 530, 100).a, 0);  // where the unturned rectangle would be
    // Clockwise on screen: the long side runs down-right from the corner.
    EXPECT_TRUE(same(GetImageColor(shot, 850, 156), Color{255, 255, 0, 255}));
    EXPECT_EQ(GetImageColor(shot, 850, 44).a, 0);
    EXPECT_EQ(GetImageColor(shot, 850, 170).a, 0);  // beyond its 10-pixel width
    UnloadImage(shot);
}

TEST(GfxWindow, QuadsBatchPerTexture) {
    Texture2D a = make_texture(), b = make_texture();
    BeginDrawing();
    ClearBackground(BLANK);
    for (int i = 0; i < 500; i++) DrawTexturePro(a, Rectangle{0, 0, 4, 2}, Rectangle{(float)i, 0, 4, 2}, {}, 0, WHITE);
    for (int i = 0; i < 500; i++) DrawRectanglePro(Rectangle{(float)i, 10, 4, 2}, {}, 0, WHITE);
    DrawTexturePro(b, Rectangle{0, 0, 4, 2}, Rectangle{0, 20, 4, 2}, {}, 0, WHITE);
    EndDrawing();
    EXPECT_EQ(gfx_draw_calls_last_frame(), 3);
    UnloadTexture(a);
    UnloadTexture(b);
}

TEST(GfxWindow, FramesArePacedAndInputFrameEndsAtEndDrawing) {
    SetTargetFPS(50);
    gfx_inject_mouse_button(MOUSE_BUTTON_LEFT, true);
    gfx_inject_char('x');
    EXPECT_TRUE(IsMouseButtonPressed(MOUSE_BUTTON_LEFT));
    for (int i = 0; i < 3; i++) {
        BeginDrawing();
        ClearBackground(BLANK);
        EndDrawing();
    }
    // A frame lasts at least its 20 ms (the sleep may overshoot, never undershoot much).
    EXPECT_GE(GetFrameTime(), 0.019f);
    EXPECT_FALSE(IsMouseButtonPressed(MOUSE_BUTTON_LEFT));
    EXPECT_TRUE(IsMouseButtonDown(MOUSE_BUTTON_LEFT));
    EXPECT_EQ(GetCharPressed(), 0);
    gfx_reset_input();
    SetTargetFPS(0);
    EXPECT_FALSE(WindowShouldClose());
}

TEST(GfxWindow, ShapeRegionAndCompositorQuery) {
    Rectangle boxes[2] = {{10, 20, 30, 40}, {100.5f, 200, 10, 10}};
    gfx_set_window_shape(boxes, 2);
    Rectangle back[4] = {};
    ASSERT_EQ(gfx_get_window_shape(back, 4), 2);
    EXPECT_EQ(back[0].x, 10);
    EXPECT_EQ(back[0].height, 40);
    EXPECT_EQ(back[1].x, 100);  // whole pixels the box touches
    EXPECT_EQ(back[1].width, 11);
    gfx_clear_window_shape();
    ASSERT_EQ(gfx_get_window_shape(back, 4), 1);
    EXPECT_EQ(back[0].width, 1920);
    // Plain Xvfb runs no compositing manager.
    EXPECT_FALSE(gfx_compositor_running());
}

TEST(GfxWindow, StaysOutOfTheUsersWayAndHidesWithItsStandingKept) {
    unsigned long window = (unsigned long)(uintptr_t)GetWindowHandle();
    ASSERT_NE(window, 0u);
    auto expectStanding = [&](const char* when) {
        SCOPED_TRACE(when);
        EXPECT_EQ(probe_window_atoms(window, "_NET_WM_WINDOW_TYPE"), "_NET_WM_WINDOW_TYPE_DOCK ");
        std::string states = probe_window_atoms(window, "_NET_WM_STATE");
        for (const char* s : {"_NET_WM_STATE_STICKY ", "_NET_WM_STATE_SKIP_TASKBAR ", "_NET_WM_STATE_SKIP_PAGER ",
                              "_NET_WM_STATE_ABOVE "})
            EXPECT_NE(states.find(s), std::string::npos) << s << " missing from " << states;
        EXPECT_EQ(probe_window_cardinal(window, "_NET_WM_DESKTOP"), 0xFFFFFFFFl);  // every workspace
        EXPECT_EQ(probe_wm_input(window), 0);  // never takes the keyboard by itself
    };
    expectStanding("at start");
    EXPECT_FALSE(gfx_window_focusable());

    // Text entry switches the keyboard on and off again.
    gfx_set_window_focusable(true);
    EXPECT_TRUE(gfx_window_focusable());
    EXPECT_EQ(probe_wm_input(window), 1);
    gfx_set_window_focusable(false);
    EXPECT_EQ(probe_wm_input(window), 0);

    // Hidden: unmapped, frames still run; shown again with the same standing.
    SetWindowState(FLAG_WINDOW_HIDDEN);
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_HIDDEN));
    EXPECT_FALSE(probe_window_mapped(window));
    BeginDrawing();
    ClearBackground(BLANK);
    EndDrawing();
    ClearWindowState(FLAG_WINDOW_HIDDEN);
    EXPECT_FALSE(IsWindowState(FLAG_WINDOW_HIDDEN));
    EXPECT_TRUE(probe_window_mapped(window));
    expectStanding("shown again");
    EXPECT_EQ(GetScreenWidth(), 1920);
}
