// Host-window tracking on a real X server: finding the overlay by its title,
// following the focused window (frame included, in overlay pixels), staying
// with the previous window while the overlay has the focus or after the
// focused window closed. No window manager runs: the EWMH properties it would
// keep are set by hand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/app.h"
#include "desktop/window.h"
#include "desktop/xclient_helpers.h"
#include "gfx/gfx_ext.h"
#include "physics/physics.h"

namespace {

void expectRect(Rectangle r, float x, float y, float w, float h) {
    EXPECT_FLOAT_EQ(r.x, x);
    EXPECT_FLOAT_EQ(r.y, y);
    EXPECT_FLOAT_EQ(r.width, w);
    EXPECT_FLOAT_EQ(r.height, h);
}

class WindowTrackingDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display";
        ASSERT_TRUE(xclient_open());
        xclient_set_active(0);
        SetConfigFlags(FLAG_WINDOW_MOUSE_PASSTHROUGH | FLAG_WINDOW_TOPMOST | FLAG_WINDOW_ALWAYS_RUN |
                       FLAG_WINDOW_TRANSPARENT);
        InitWindow(0, 0, WINDOW_NAME);
        ASSERT_TRUE(IsWindowReady());
        RESOLUTION = {(float)GetScreenWidth(), (float)GetScreenHeight()};
        window_reset();
        gfx_reset_input();
        opened = true;
    }
    void TearDown() override {
        overlay_remove_walls();
        window_disconnect();
        window_reset();
        xclient_set_active(0);
        if (opened) CloseWindow();
        xclient_close();
        PhysicsStep();  // release the destroyed walls
    }
    bool opened = false;
};

}  // namespace

TEST_F(WindowTrackingDesktopTest, FindsTheOverlayAndFollowsTheFocusedWindow) {
    testing::internal::CaptureStdout();
    window_connect();
    std::string out = testing::internal::GetCapturedStdout();
    uint64_t own = (uint64_t)(uintptr_t)GetWindowHandle();
    ASSERT_NE(own, 0u);
    EXPECT_EQ(currentwindow, own);
    char expected[64];
    std::snprintf(expected, sizeof expected, "Setting %p as current window\n", (void*)(uintptr_t)own);
    EXPECT_EQ(out, expected);

    // No focused window known (no window manager property): nothing, and the
    // first tick walls in the origin until a real window is seen.
    expectRect(getWindowPosition(), 0, 0, 0, 0);
    overlay_update(0.97f, 0.05f);
    ASSERT_NE(wallIDs, nullptr);
    expectRect(wallRect, 0, 0, 0, 0);

    uint64_t host = xclient_make_window(100, 200, 300, 150, "host");
    ASSERT_NE(host, 0u);
    xclient_set_frame_extents(host, 2, 3, 20, 4);
    xclient_set_active(host);
    expectRect(getWindowPosition(), 98, 180, 305, 174);  // the frame counts
    overlay_update(1.07f, 0.05f);
    expectRect(wallRect, 98, 180, 305, 174);
    EXPECT_EQ(lastwindow, host);

    // The overlay itself takes the focus: stay with the window before it.
    xclient_set_active(own);
    expectRect(getWindowPosition(), 98, 180, 305, 174);

    // Another window gets the focus; walls move to it.
    uint64_t other = xclient_make_window(700, 400, 200, 100, "other");
    ASSERT_NE(other, 0u);
    xclient_set_active(other);
    overlay_update(1.17f, 0.05f);
    expectRect(wallRect, 700, 400, 200, 100);
}

TEST_F(WindowTrackingDesktopTest, FocusedWindowThatClosesKeepsItsLastRectangle) {
    window_connect();
    uint64_t host = xclient_make_window(300, 250, 400, 300, "closing host");
    ASSERT_NE(host, 0u);
    xclient_set_active(host);
    overlay_update(0.97f, 0.05f);
    expectRect(wallRect, 300, 250, 400, 300);
    int* walls = wallIDs;

    // The window manager has not caught up yet: the property still names the
    // dead window. Asking about it must neither end the process nor move the walls.
    xclient_destroy_window(host);
    expectRect(getWindowPosition(), 300, 250, 400, 300);
    overlay_update(1.07f, 0.05f);
    EXPECT_EQ(wallIDs, walls);  // unchanged: not rebuilt
    expectRect(wallRect, 300, 250, 400, 300);

    // The overlay gets the focus after that: still the last known rectangle.
    xclient_set_active((uint64_t)(uintptr_t)GetWindowHandle());
    overlay_update(1.17f, 0.05f);
    EXPECT_EQ(wallIDs, walls);
}
