// Window-less parts of the graphics layer: HSV colours and the input state
// that feature code reads each frame (driven here through injection).
#include <gtest/gtest.h>

#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"

namespace {

void expect_color(Color got, int r, int g, int b) {
    EXPECT_EQ(got.r, r);
    EXPECT_EQ(got.g, g);
    EXPECT_EQ(got.b, b);
    EXPECT_EQ(got.a, 255);
}

}  // namespace

TEST(GfxColorFromHSV, PrimariesWrapAndTruncation) {
    expect_color(ColorFromHSV(0, 1, 1), 255, 0, 0);
    expect_color(ColorFromHSV(120, 1, 1), 0, 255, 0);
    expect_color(ColorFromHSV(240, 1, 1), 0, 0, 255);
    expect_color(ColorFromHSV(360, 1, 1), 255, 0, 0);   // a full turn
    expect_color(ColorFromHSV(-60, 1, 1), 255, 0, 255); // fmodf keeps the sign; min(k, 4-k) then clamps
    expect_color(ColorFromHSV(60, 0.5f, 1), 255, 255, 127);  // 127.5 truncated, not rounded
    expect_color(ColorFromHSV(200, 0, 0.5f), 127, 127, 127);
    expect_color(ColorFromHSV(30, 1, 1), 255, 127, 0);
}

TEST(GfxInput, PressAndReleaseInOneFrameAreBothSeen) {
    gfx_reset_input();
    gfx_inject_mouse_button(MOUSE_BUTTON_LEFT, true);
    gfx_inject_mouse_button(MOUSE_BUTTON_LEFT, false);
    EXPECT_TRUE(IsMouseButtonPressed(MOUSE_BUTTON_LEFT));
    EXPECT_TRUE(IsMouseButtonReleased(MOUSE_BUTTON_LEFT));
    EXPECT_FALSE(IsMouseButtonDown(MOUSE_BUTTON_LEFT));
    EXPECT_TRUE(IsMouseButtonUp(MOUSE_BUTTON_LEFT));
    EXPECT_FALSE(IsMouseButtonPressed(MOUSE_BUTTON_RIGHT));
    gfx_next_input_frame();
    EXPECT_FALSE(IsMouseButtonPressed(MOUSE_BUTTON_LEFT));
    EXPECT_FALSE(IsMouseButtonReleased(MOUSE_BUTTON_LEFT));

    // A held button: pressed only in its first frame, down until released.
    gfx_inject_mouse_button(MOUSE_BUTTON_RIGHT, true);
    EXPECT_TRUE(IsMouseButtonPressed(MOUSE_BUTTON_RIGHT));
    gfx_next_input_frame();
    EXPECT_FALSE(IsMouseButtonPressed(MOUSE_BUTTON_RIGHT));
    EXPECT_TRUE(IsMouseButtonDown(MOUSE_BUTTON_RIGHT));
    gfx_inject_mouse_button(MOUSE_BUTTON_RIGHT, true);  // a repeated down is no new press
    EXPECT_FALSE(IsMouseButtonPressed(MOUSE_BUTTON_RIGHT));
    gfx_next_input_frame();
    gfx_inject_mouse_button(MOUSE_BUTTON_RIGHT, false);
    EXPECT_TRUE(IsMouseButtonReleased(MOUSE_BUTTON_RIGHT));
    gfx_inject_mouse_button(MOUSE_BUTTON_RIGHT, false);  // up while up: nothing new
    gfx_next_input_frame();
    EXPECT_FALSE(IsMouseButtonReleased(MOUSE_BUTTON_RIGHT));

    // Buttons outside 0..2 are never down.
    gfx_inject_mouse_button(7, true);
    EXPECT_FALSE(IsMouseButtonDown(7));
    EXPECT_FALSE(IsMouseButtonPressed(-1));
}

TEST(GfxInput, TypedCharactersAndKeysLastOneFrame) {
    gfx_reset_input();
    EXPECT_EQ(GetCharPressed(), 0);
    for (int i = 0; i < 20; i++) gfx_inject_char(0xac00 + i);  // more than the queue keeps
    for (int i = 0; i < 16; i++) EXPECT_EQ(GetCharPressed(), 0xac00 + i);
    EXPECT_EQ(GetCharPressed(), 0);

    gfx_inject_char('a');
    gfx_inject_key_pressed(KEY_BACKSPACE);
    EXPECT_TRUE(IsKeyPressed(KEY_BACKSPACE));
    EXPECT_FALSE(IsKeyPressed(KEY_ENTER));
    gfx_next_input_frame();
    EXPECT_EQ(GetCharPressed(), 0);  // unread characters do not survive the frame
    EXPECT_FALSE(IsKeyPressed(KEY_BACKSPACE));
    EXPECT_FALSE(IsKeyPressed(100000));

    gfx_inject_mouse_position(Vector2{12.5f, 40});
    EXPECT_EQ(GetMousePosition().x, 12.5f);
    EXPECT_EQ(GetMousePosition().y, 40);
}

TEST(GfxWindow, CallsBeforeAWindowExistAreHarmless) {
    EXPECT_EQ(GetScreenWidth(), 0);
    EXPECT_EQ(GetScreenHeight(), 0);
    EXPECT_FALSE(IsWindowReady());
    EXPECT_TRUE(WindowShouldClose());
    EXPECT_EQ(GetWindowHandle(), nullptr);
    BeginDrawing();
    DrawRectanglePro(Rectangle{0, 0, 10, 10}, Vector2{0, 0}, 0, WHITE);
    EndDrawing();
    Image none = LoadImageFromScreen();
    EXPECT_EQ(none.data, nullptr);
    EXPECT_EQ(LoadTexture("/nonexistent.png").id, 0u);
    EXPECT_EQ(gfx_get_window_shape(nullptr, 0), -1);
}
