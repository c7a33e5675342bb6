// Host-window tracking on a real X server: finding the overlay by its title,
// following the focused window (frame included, in overlay pixels), staying
// with the previous window while the overlay has the focus, dropping the
// walls of a window that closed or was put away, and hiding the overlay under
// a full-screen window. No window manager runs: the EWMH properties it would
// keep are set by hand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/base.h"
#include "desktop/walls.h"
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

TEST_F(WindowTrackingDesktopTest, FocusedWindowThatClosesTakesItsWallsAlong) {
    window_connect();
    uint64_t host = xclient_make_window(300, 250, 400, 300, "closing host");
    ASSERT_NE(host, 0u);
    xclient_set_active(host);
    overlay_update(0.97f, 0.05f);
    expectRect(wallRect, 300, 250, 400, 300);
    ASSERT_NE(wallIDs, nullptr);

    // The window manager has not caught up yet: the property still names the
    // dead window. Asking about it must not end the process; what stood on
    // the window falls.
    xclient_destroy_window(host);
    overlay_update(1.07f, 0.05f);
    EXPECT_EQ(wallIDs, nullptr);
    EXPECT_TRUE(window_host_away());

    // The overlay gets the focus after that, or nothing has it: the walls do
    // not come back around the old rectangle.
    xclient_set_active((uint64_t)(uintptr_t)GetWindowHandle());
    overlay_update(1.17f, 0.05f);
    EXPECT_EQ(wallIDs, nullptr);
    xclient_set_active(0);
    overlay_update(1.27f, 0.05f);
    EXPECT_EQ(wallIDs, nullptr);

    // A new window: walls again.
    uint64_t next = xclient_make_window(50, 60, 200, 100, "next host");
    ASSERT_NE(next, 0u);
    xclient_set_active(next);
    overlay_update(1.37f, 0.05f);
    ASSERT_NE(wallIDs, nullptr);
    expectRect(wallRect, 50, 60, 200, 100);
}

TEST_F(WindowTrackingDesktopTest, PutAwayWindowsHaveNoWallsUntilShownAgain) {
    window_connect();
    xclient_set_cardinals(0, "_NET_CURRENT_DESKTOP", {0});
    uint64_t host = xclient_make_window(300, 250, 400, 300, "host");
    ASSERT_NE(host, 0u);
    xclient_set_active(host);
    float t = 0.97f;
    auto tick = [&] {
        overlay_update(t, 0.05f);
        t += 0.1f;
    };
    tick();
    ASSERT_NE(wallIDs, nullptr);

    // Minimised: the manager marks it hidden and, as openbox does, leaves no
    // window active; the window is still the one to come back to.
    xclient_set_atoms(host, "_NET_WM_STATE", {"_NET_WM_STATE_HIDDEN"});
    xclient_set_active(0);
    tick();
    EXPECT_EQ(wallIDs, nullptr);
    tick();
    EXPECT_EQ(wallIDs, nullptr);  // and not rebuilt around the old rectangle
    xclient_delete_property(host, "_NET_WM_STATE");
    tick();
    ASSERT_NE(wallIDs, nullptr);
    expectRect(wallRect, 300, 250, 400, 300);

    // On another workspace.
    xclient_set_cardinals(host, "_NET_WM_DESKTOP", {1});
    tick();
    EXPECT_EQ(wallIDs, nullptr);
    xclient_set_cardinals(0, "_NET_CURRENT_DESKTOP", {1});
    tick();
    EXPECT_NE(wallIDs, nullptr);
    xclient_delete_property(0, "_NET_CURRENT_DESKTOP");
}

TEST_F(WindowTrackingDesktopTest, FullScreenWindowHidesTheOverlayWhileTheWorldRuns) {
    window_connect();
    uint64_t own = (uint64_t)(uintptr_t)GetWindowHandle();
    uint64_t host = xclient_make_window(0, 0, (int)RESOLUTION.x, (int)RESOLUTION.y, "film");
    ASSERT_NE(host, 0u);
    xclient_set_atoms(host, "_NET_WM_STATE", {"_NET_WM_STATE_FULLSCREEN"});
    xclient_set_active(host);
    overlay_update(0.97f, 0.05f);
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_HIDDEN));
    // Frames and walls go on: the full-screen window stands at the origin
    // exactly the screen's size, which is a plausible rectangle.
    ASSERT_NE(wallIDs, nullptr);
    expectRect(wallRect, 0, 0, RESOLUTION.x, RESOLUTION.y);
    BeginDrawing();
    EndDrawing();

    // Back to a window: the overlay shows again.
    xclient_delete_property(host, "_NET_WM_STATE");
    overlay_update(1.07f, 0.05f);
    EXPECT_FALSE(IsWindowState(FLAG_WINDOW_HIDDEN));

    // The overlay's own full-screen state (it covers the monitor) never hides it.
    xclient_set_atoms(own, "_NET_WM_STATE", {"_NET_WM_STATE_FULLSCREEN"});
    xclient_set_active(own);
    overlay_update(1.17f, 0.05f);
    EXPECT_FALSE(IsWindowState(FLAG_WINDOW_HIDDEN));
    testing::internal::CaptureStdout();
    overlay_follow_fullscreen(true);
    overlay_follow_fullscreen(true);
    overlay_follow_fullscreen(false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "A full-screen window is active: hiding the overlay\n"
              "No full-screen window any more: showing the overlay\n");

    // Hidden by the user: a full-screen window that comes and goes does not
    // bring it back, and showing it again waits for a full-screen one to go.
    overlay_hide_for_user(true);
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_HIDDEN));
    overlay_follow_fullscreen(true);
    overlay_follow_fullscreen(false);
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_HIDDEN)) << "a full-screen window's end showed what the user hid";
    overlay_hide_for_user(false);
    EXPECT_FALSE(IsWindowState(FLAG_WINDOW_HIDDEN));
    overlay_hide_for_user(true);
    overlay_follow_fullscreen(true);
    overlay_hide_for_user(false);
    EXPECT_TRUE(IsWindowState(FLAG_WINDOW_HIDDEN)) << "shown under a full-screen window";
    overlay_follow_fullscreen(false);
    EXPECT_FALSE(IsWindowState(FLAG_WINDOW_HIDDEN));
}
