// The Windows overlay (rcore_win32.cpp), run under Wine on an X server: its
// standing among windows, click-through switched by the cursor, read-back
// transparency and drawing, the scale, typed text and focus. The suite opens
// its own window and closes it again, so the window-less cases of this
// program see none.
//
// raylib's headers come before <windows.h>, whose function Rectangle hides
// the record: below it is named `struct Rectangle`.
#include <gtest/gtest.h>

#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"

#include <windows.h>

#include <string>
#include <vector>


namespace {

const char* const kTitle = "vimo \xE6\xB5\x8B\xE8\xAF\x95";  // UTF-8: "vimo" and two CJK characters
const wchar_t* const kWideTitle = L"vimo \u6D4B\u8BD5";

HWND overlay() { return (HWND)GetWindowHandle(); }

bool has_ex(LONG_PTR bits) { return (GetWindowLongPtrW(overlay(), GWL_EXSTYLE) & bits) == bits; }

RECT virtual_screen() {
    const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    return RECT{x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN), y + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

void frame() {
    BeginDrawing();
    ClearBackground(BLANK);
    EndDrawing();
}

// Run frames until done() holds, at most 100 of them.
template <class Done>
bool frames_until(Done done) {
    for (int i = 0; i < 100; i++) {
        if (done()) return true;
        frame();
    }
    return done();
}

bool equal(Color a, Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

// A 3 x 2 texture, one opaque colour per texel.
Color texel(int x, int y) { return Color{(unsigned char)(60 * x + 20), (unsigned char)(200 * y + 30), 90, 255}; }

Texture2D make_texture() {
    std::vector<Color> pixels;
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 3; x++) pixels.push_back(texel(x, y));
    return LoadTextureFromImage(Image{pixels.data(), 3, 2, 1, PIXELFORMAT_UNCOMPRESSED_R8G8B8A8});
}

void open_overlay(int scale) {
    gfx_set_scale(scale);
    SetConfigFlags(FLAG_WINDOW_MOUSE_PASSTHROUGH | FLAG_WINDOW_TOPMOST | FLAG_WINDOW_ALWAYS_RUN |
                   FLAG_WINDOW_TRANSPARENT);
    InitWindow(0, 0, kTitle);
}

class Win32Overlay : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { open_overlay(1); }
    static void TearDownTestSuite() {
        CloseWindow();
        gfx_set_scale(1);
        SetConfigFlags(0);
    }
    void SetUp() override {
        ASSERT_TRUE(IsWindowReady());
        gfx_reset_input();
    }
};

}  // namespace

TEST_F(Win32Overlay, StandsOverEveryMonitorOutOfTheWayWithItsTitle) {
    HWND hwnd = overlay();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(has_ex(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE));
    EXPECT_EQ(GetWindowLongPtrW(hwnd, GWL_STYLE) & (WS_POPUP | WS_CAPTION), (LONG_PTR)WS_POPUP);
    const RECT screen = virtual_screen();
    RECT rect;
    ASSERT_TRUE(GetWindowRect(hwnd, &rect));
    EXPECT_EQ(rect.left, screen.left);
    EXPECT_EQ(rect.top, screen.top);
    EXPECT_EQ(rect.right, screen.right);
    EXPECT_EQ(rect.bottom, screen.bottom);
    EXPECT_EQ(GetScreenWidth(), screen.right - screen.left);
    EXPECT_EQ(GetScreenHeight(), screen.bottom - screen.top);
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_NE(GetForegroundWindow(), hwnd);  // showing it took nobody's keyboard

    // Screen pixels count from the virtual screen's corner; the size is drawn at once.
    SetWindowPosition(10, 20);
    SetWindowSize(640, 480);
    ASSERT_TRUE(GetWindowRect(hwnd, &rect));
    EXPECT_EQ(rect.left, screen.left + 10);
    EXPECT_EQ(rect.top, screen.top + 20);
    EXPECT_EQ(rect.right - rect.left, 640);
    EXPECT_EQ(GetScreenWidth(), 640);
    SetWindowPosition(0, 0);
    SetWindowSize(screen.right - screen.left, screen.bottom - screen.top);
    EXPECT_EQ(GetScreenHeight(), screen.bottom - screen.top);

    // The UTF-8 title reads back whole, and a search by title finds the window.
    wchar_t title[64] = {};
    GetWindowTextW(hwnd, title, 64);
    EXPECT_EQ(std::wstring(title), std::wstring(kWideTitle));
    EXPECT_EQ(FindWindowW(nullptr, kWideTitle), hwnd);

    // Created click-through; the flag switches WS_EX_TRANSPARENT on the layered window.
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH));
    EXPECT_TRUE(has_ex(WS_EX_LAYERED | WS_EX_TRANSPARENT));
    EXPECT_EQ(gfx_input_shape_rect_count(), 0);
    ClearWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH);
    EXPECT_FALSE(has_ex(WS_EX_TRANSPARENT));
    EXPECT_TRUE(has_ex(WS_EX_LAYERED));
    EXPECT_EQ(gfx_input_shape_rect_count(), 1);
    SetWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH);
    EXPECT_TRUE(has_ex(WS_EX_TRANSPARENT));
}

TEST_F(Win32Overlay, WindowShapeCutsTheWindowToWholePixelsAndClears) {
    // Wine on a bare X server reports no composition, so the program cuts its
    // window; from Windows 8 on it never has to.
    const struct Rectangle boxes[2] = {{10, 20, 30, 40}, {100.5f, 200, 10, 10}};
    gfx_set_window_shape(boxes, 2);
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_EQ(GetWindowRgn(overlay(), region), COMPLEXREGION);
    EXPECT_TRUE(PtInRegion(region, 10, 20));
    EXPECT_TRUE(PtInRegion(region, 39, 59));
    EXPECT_FALSE(PtInRegion(region, 40, 20));
    EXPECT_TRUE(PtInRegion(region, 100, 200));  // every physical pixel the box touches
    EXPECT_TRUE(PtInRegion(region, 110, 209));
    EXPECT_FALSE(PtInRegion(region, 111, 209));
    struct Rectangle back[2] = {};
    ASSERT_EQ(gfx_get_window_shape(back, 2), 2);
    EXPECT_EQ(back[1].width, 11);
    gfx_clear_window_shape();
    EXPECT_EQ(GetWindowRgn(overlay(), region), ERROR);  // no region: the whole window
    ASSERT_EQ(gfx_get_window_shape(back, 2), 1);
    EXPECT_EQ(back[0].width, GetScreenWidth());
    DeleteObject(region);
}

TEST_F(Win32Overlay, InputRegionTakesThePointerOnlyWhileTheCursorIsInside) {
    const RECT screen = virtual_screen();
    const struct Rectangle rects[2] = {{100.5f, 100, 50, 40}, {400, 300, 0, 10}};  // the second is empty
    gfx_set_input_region(rects, 2);
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH));
    struct Rectangle back[2] = {};
    ASSERT_EQ(gfx_get_input_region(back, 2), 1);
    EXPECT_EQ(back[0].x, 100);  // whole pixels touched
    EXPECT_EQ(back[0].width, 51);
    EXPECT_EQ(back[0].height, 40);

    SetCursorPos(screen.left + 120, screen.top + 130);
    EXPECT_TRUE(frames_until([] { return !has_ex(WS_EX_TRANSPARENT); }));
    SetCursorPos(screen.left + 300, screen.top + 130);
    EXPECT_TRUE(frames_until([] { return has_ex(WS_EX_TRANSPARENT); }));

    // A button pressed inside keeps the window while the pointer runs out of
    // the region; letting go gives the desktop its clicks back.
    SetCursorPos(screen.left + 120, screen.top + 130);
    ASSERT_TRUE(frames_until([] { return !has_ex(WS_EX_TRANSPARENT); }));
    PostMessageW(overlay(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 30));
    frame();
    EXPECT_TRUE(IsMouseButtonPressed(MOUSE_BUTTON_LEFT));
    SetCursorPos(screen.left + 300, screen.top + 130);
    frame();
    frame();
    EXPECT_FALSE(has_ex(WS_EX_TRANSPARENT));
    PostMessageW(overlay(), WM_LBUTTONUP, 0, MAKELPARAM(200, 30));
    frame();
    EXPECT_TRUE(IsMouseButtonReleased(MOUSE_BUTTON_LEFT));
    EXPECT_TRUE(frames_until([] { return has_ex(WS_EX_TRANSPARENT); }));

    // No rectangles: through everywhere, wherever the cursor is.
    gfx_set_input_region(nullptr, 0);
    SetCursorPos(screen.left + 120, screen.top + 130);
    frame();
    EXPECT_TRUE(has_ex(WS_EX_TRANSPARENT));
    EXPECT_EQ(gfx_input_shape_rect_count(), 0);
}

TEST_F(Win32Overlay, ClearedFrameReadsBackTransparentAndATextureWithItsPixels) {
    Texture2D tex = make_texture();
    ASSERT_NE(tex.id, 0u);
    const struct Rectangle source = {0, 0, 3, 2}, dest = {10, 20, 3, 2};
    BeginDrawing();
    ClearBackground(BLANK);
    DrawTexturePro(tex, source, dest, Vector2{0, 0}, 0, WHITE);
    Image shot = LoadImageFromScreen();
    EndDrawing();
    ASSERT_NE(shot.data, nullptr);
    EXPECT_EQ(GetImageColor(shot, 0, 0).a, 0);
    EXPECT_EQ(GetImageColor(shot, 9, 20).a, 0);
    EXPECT_EQ(GetImageColor(shot, 13, 21).a, 0);
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 3; x++) EXPECT_TRUE(equal(GetImageColor(shot, 10 + x, 20 + y), texel(x, y))) << x << "," << y;
    UnloadImage(shot);
    UnloadTexture(tex);
}

TEST_F(Win32Overlay, ScaleTwoDoublesDrawingRegionAndSizeButNotThePointer) {
    CloseWindow();
    open_overlay(2);
    ASSERT_TRUE(IsWindowReady());
    const RECT screen = virtual_screen();
    EXPECT_EQ(GetScreenWidth(), (screen.right - screen.left) / 2);
    EXPECT_EQ(GetScreenHeight(), (screen.bottom - screen.top) / 2);

    Texture2D tex = make_texture();
    const struct Rectangle source = {0, 0, 3, 2}, dest = {5, 7, 3, 2};
    BeginDrawing();
    ClearBackground(BLANK);
    DrawTexturePro(tex, source, dest, Vector2{0, 0}, 0, WHITE);
    Image shot = LoadImageFromScreen();
    EndDrawing();
    ASSERT_NE(shot.data, nullptr);
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 6; x++)
            EXPECT_TRUE(equal(GetImageColor(shot, 10 + x, 14 + y), texel(x / 2, y / 2))) << x << "," << y;
    EXPECT_EQ(GetImageColor(shot, 9, 14).a, 0);
    EXPECT_EQ(GetImageColor(shot, 16, 14).a, 0);
    UnloadImage(shot);
    UnloadTexture(tex);

    // The region is logical; the cursor inside it is found in physical pixels.
    const struct Rectangle box = {50, 50, 10, 10};
    gfx_set_input_region(&box, 1);
    struct Rectangle back = {};
    ASSERT_EQ(gfx_get_input_region(&back, 1), 1);
    EXPECT_EQ(back.x, 50);
    EXPECT_EQ(back.width, 10);
    SetCursorPos(screen.left + 115, screen.top + 105);  // logical (57.5, 52.5)
    EXPECT_TRUE(frames_until([] { return !has_ex(WS_EX_TRANSPARENT); }));
    // The pointer call answers in physical window pixels, as GLFW does.
    ASSERT_EQ(gfx_current_window() != nullptr, true);
    const Vector2 pointer = gfx_window_pointer(gfx_current_window());
    EXPECT_EQ(pointer.x, 115);
    EXPECT_EQ(pointer.y, 105);
    SetCursorPos(screen.left + 90, screen.top + 105);  // logical 45: outside
    EXPECT_TRUE(frames_until([] { return has_ex(WS_EX_TRANSPARENT); }));

    CloseWindow();
    open_overlay(1);
    ASSERT_TRUE(IsWindowReady());
}

TEST_F(Win32Overlay, TypedTextJoinsSurrogatePairsAndKeysIgnoreRepeats) {
    HWND hwnd = overlay();
    // U+1F600 as its UTF-16 pair, then "a", Backspace's control character
    // and half a pair, which are no text.
    for (WPARAM unit : {0xD83D, 0xDE00, (int)'a', 0x08, 0xDC00}) PostMessageW(hwnd, WM_CHAR, unit, 1);
    PostMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 1);
    PostMessageW(hwnd, WM_KEYDOWN, VK_BACK, 1 | (1 << 30));  // an auto-repeat
    frame();
    EXPECT_EQ(GetCharPressed(), 0x1F600);
    EXPECT_EQ(GetCharPressed(), 'a');
    EXPECT_EQ(GetCharPressed(), 0);
    EXPECT_TRUE(IsKeyPressed(KEY_ENTER));
    EXPECT_FALSE(IsKeyPressed(KEY_BACKSPACE));
    frame();
    EXPECT_FALSE(IsKeyPressed(KEY_ENTER));  // one frame only
}

TEST_F(Win32Overlay, TakesTheKeyboardOnlyWhenFocusableAndGivesItBack) {
    // The user's window, in front before the overlay asks for the keyboard.
    HWND user = CreateWindowExW(0, L"STATIC", L"user window", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 200, 200, 300, 200,
                                nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(user, nullptr);
    SetForegroundWindow(user);
    ASSERT_TRUE(frames_until([&] { return GetForegroundWindow() == user; }));

    EXPECT_FALSE(gfx_window_focusable());
    gfx_set_window_focusable(true);
    EXPECT_TRUE(gfx_window_focusable());
    EXPECT_FALSE(has_ex(WS_EX_NOACTIVATE));
    EXPECT_TRUE(frames_until([] { return GetForegroundWindow() == overlay(); }));
    gfx_set_window_focusable(false);
    EXPECT_TRUE(has_ex(WS_EX_NOACTIVATE));
    EXPECT_TRUE(frames_until([&] { return GetForegroundWindow() == user; }));

    // Hidden and shown again without taking the keyboard, still on top.
    SetWindowState(FLAG_WINDOW_HIDDEN);
    EXPECT_FALSE(IsWindowVisible(overlay()));
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_HIDDEN));
    ClearWindowState(FLAG_WINDOW_HIDDEN);
    EXPECT_TRUE(IsWindowVisible(overlay()));
    EXPECT_TRUE(has_ex(WS_EX_TOPMOST));
    frame();
    EXPECT_EQ(GetForegroundWindow(), user);
    DestroyWindow(user);
}

TEST_F(Win32Overlay, CloseRequestAndEscapeWhileFocusedEndTheLoop) {
    EXPECT_FALSE(WindowShouldClose());
    PostMessageW(overlay(), WM_CLOSE, 0, 0);
    frame();
    EXPECT_TRUE(WindowShouldClose());
    EXPECT_TRUE(IsWindowReady());  // the program decides when to close

    CloseWindow();
    open_overlay(1);
    ASSERT_FALSE(WindowShouldClose());
    PostMessageW(overlay(), WM_KEYDOWN, VK_ESCAPE, 1);
    frame();
    EXPECT_TRUE(IsKeyPressed(KEY_ESCAPE));
    EXPECT_TRUE(WindowShouldClose());
}

int SESSION_ENDS = 0;
void session_ended() { SESSION_ENDS++; }

// A program with windows hears of log-off through its window: the end of the
// session runs the display-lost handler; a cancelled end (wParam 0) does not.
TEST_F(Win32Overlay, EndOfTheSessionRunsTheDisplayLostHandler) {
    gfx_on_display_lost(session_ended);
    SendMessageW(overlay(), WM_ENDSESSION, FALSE, 0);
    EXPECT_EQ(SESSION_ENDS, 0);
    SendMessageW(overlay(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_EQ(SESSION_ENDS, 1);
    gfx_on_display_lost(nullptr);
}
