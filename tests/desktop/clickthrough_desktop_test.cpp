// Click-through on a real X server: the overlay covers the screen above an
// ordinary X window; a click on an element reaches its onClick, a click beside
// it reaches the window underneath, and with no element under the pointer
// the overlay's input shape is empty. Needs $DISPLAY and xdotool.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "app/app.h"
#include "desktop/input.h"
#include "desktop/xclient_helpers.h"
#include "element/element.h"
#include "gfx/gfx_ext.h"

namespace {

int CLICKS = 0;
int CLICK_BUTTON = -1;
void countClick(Element*, Vector2, MouseButton button) {
    CLICKS++;
    CLICK_BUTTON = button;
}

class ClickThroughDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display";
        ASSERT_TRUE(xclient_open());
        // The desktop underneath: mapped before the overlay, so it lies below it.
        below = xclient_make_window(600, 300, 600, 400, "underneath");
        ASSERT_NE(below, 0u);

        SetConfigFlags(FLAG_WINDOW_MOUSE_PASSTHROUGH | FLAG_WINDOW_TOPMOST | FLAG_WINDOW_ALWAYS_RUN |
                       FLAG_WINDOW_TRANSPARENT);
        InitWindow(0, 0, WINDOW_NAME);
        ASSERT_TRUE(IsWindowReady());
        RESOLUTION = {(float)GetScreenWidth(), (float)GetScreenHeight()};
        SetTargetFPS(60);
        input_reset();
        input_initialize();
        opened = true;
    }
    void TearDown() override {
        for (Element* e : std::vector<Element*>(ELEMENTS)) _removeElement(e);
        ELEMENTS_TO_BE_REMOVED.clear();
        input_reset();
        if (opened) CloseWindow();
        xclient_close();
    }

    // Run whole frames until done() holds; false after 5 s.
    bool framesUntil(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            time += frame_run_once(time);
            if (done()) return true;
        }
        return false;
    }
    bool pointerAt(int x, int y) {
        return xclient_xdotool({"mousemove", "--sync", std::to_string(x), std::to_string(y)});
    }
    bool clickThrough() { return IsWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH); }

    uint64_t below = 0;
    bool opened = false;
    float time = 0;
};

}  // namespace

TEST_F(ClickThroughDesktopTest, ClicksReachTheElementOrTheWindowUnderneath) {
    Element* e = newElement(0);
    e->position = {800, 500};
    e->size = {100, 100};
    e->onClick = countClick;
    CLICKS = 0;

    // Beside the element: the overlay lets the click through to the window below.
    ASSERT_TRUE(pointerAt(1000, 500));
    ASSERT_TRUE(framesUntil([] { return true; }));
    EXPECT_TRUE(clickThrough());
    EXPECT_EQ(gfx_input_shape_rect_count(), 0);
    ASSERT_TRUE(xclient_xdotool({"click", "1"}));
    std::vector<XClientPress> presses;
    ASSERT_TRUE(framesUntil([&] {
        for (XClientPress p : xclient_take_presses(below)) presses.push_back(p);
        return !presses.empty();
    })) << "the window underneath never got the press";
    EXPECT_EQ(presses[0].x, 400);
    EXPECT_EQ(presses[0].y, 200);
    EXPECT_EQ(presses[0].button, 1);
    EXPECT_EQ(CLICKS, 0);

    // Onto the element: the overlay takes the mouse, the element gets the click.
    ASSERT_TRUE(pointerAt(820, 470));
    ASSERT_TRUE(framesUntil([&] { return !clickThrough(); }));
    EXPECT_NE(gfx_input_shape_rect_count(), 0);
    ASSERT_TRUE(xclient_xdotool({"click", "3"}));
    ASSERT_TRUE(framesUntil([] { return CLICKS == 1; })) << "onClick never ran";
    EXPECT_EQ(CLICK_BUTTON, MOUSE_BUTTON_RIGHT);
    EXPECT_TRUE(xclient_take_presses(below).empty());
    ASSERT_TRUE(framesUntil([] { return held == nullptr; }));  // the release came too

    // Away again: click-through comes back and the window below gets clicks.
    ASSERT_TRUE(pointerAt(1100, 600));
    ASSERT_TRUE(framesUntil([&] { return clickThrough(); }));
    EXPECT_EQ(gfx_input_shape_rect_count(), 0);
    ASSERT_TRUE(xclient_xdotool({"click", "1"}));
    presses.clear();
    ASSERT_TRUE(framesUntil([&] {
        for (XClientPress p : xclient_take_presses(below)) presses.push_back(p);
        return !presses.empty();
    }));
    EXPECT_EQ(presses[0].x, 500);
    EXPECT_EQ(presses[0].y, 300);
    EXPECT_EQ(CLICKS, 1);
}

TEST_F(ClickThroughDesktopTest, RemovingTheHoveredElementLetsInputThroughAtOnce) {
    Element* e = newElement(0);
    e->position = {800, 500};
    e->size = {100, 100};
    e->onClick = countClick;
    CLICKS = 0;

    ASSERT_TRUE(pointerAt(800, 500));
    ASSERT_TRUE(framesUntil([&] { return !clickThrough(); }));
    removeElement(e);
    EXPECT_TRUE(clickThrough());
    EXPECT_EQ(gfx_input_shape_rect_count(), 0);

    // Still listed until the next frame's removal pass, but no longer hovered:
    // a click at once goes to the window underneath.
    ASSERT_TRUE(xclient_xdotool({"click", "1"}));
    std::vector<XClientPress> presses;
    ASSERT_TRUE(framesUntil([&] {
        for (XClientPress p : xclient_take_presses(below)) presses.push_back(p);
        return !presses.empty();
    }));
    EXPECT_EQ(presses[0].x, 200);
    EXPECT_EQ(presses[0].y, 200);
    EXPECT_EQ(CLICKS, 0);
    EXPECT_TRUE(clickThrough());
}
