// Click-through on a real X server: the overlay covers the screen above an
// ordinary X window and takes the pointer only over its elements' boxes (the
// whole window while one is dragged). The input region is read back from the
// server on a connection of the test's own; clicks are injected with xdotool.
// Needs $DISPLAY and xdotool.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
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
// Follows the pointer, as the drag behaviour of the toys does.
void dragAlong(Element* e, Vector2 prev, Vector2 mouse, MouseButton) {
    e->position.x += mouse.x - prev.x;
    e->position.y += mouse.y - prev.y;
}

// The input region of an element of size w x h at (x, y), unturned: its box in
// whole pixels with the pixel of margin the hover test's bounds call for.
XClientRect boxOf(float x, float y, float w, float h) {
    return {(int)(x - w / 2) - 1, (int)(y - h / 2) - 1, (int)w + 2, (int)h + 2};
}

std::string str(const std::vector<XClientRect>& rects) {
    std::string out;
    for (const XClientRect& r : rects)
        out += "(" + std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.w) + "x" +
               std::to_string(r.h) + ")";
    return out.empty() ? "(none)" : out;
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
        overlay = (uint64_t)(uintptr_t)GetWindowHandle();
        CLICKS = 0;
        CLICK_BUTTON = -1;
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
    // The overlay's input region as the server has it, sorted like `want`.
    std::vector<XClientRect> region() { return xclient_input_shape(overlay); }
    bool regionIs(std::vector<XClientRect> want) {
        std::sort(want.begin(), want.end(), [](auto& a, auto& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
        return region() == want;
    }
    // Run frames until the window underneath has a press; the first one.
    bool pressBelow(XClientPress* out) {
        std::vector<XClientPress> presses;
        bool got = framesUntil([&] {
            for (XClientPress p : xclient_take_presses(below)) presses.push_back(p);
            return !presses.empty();
        });
        if (got) *out = presses[0];
        return got;
    }
    Element* square(Vector2 at, float side) {
        Element* e = newElement(0);
        e->position = at;
        e->size = {side, side};
        e->onClick = countClick;
        return e;
    }

    uint64_t below = 0;
    uint64_t overlay = 0;
    bool opened = false;
    float time = 0;
};

}  // namespace

TEST_F(ClickThroughDesktopTest, ClicksReachTheElementOrTheWindowUnderneath) {
    // Created click-through: nothing takes the pointer before the first frame.
    EXPECT_TRUE(region().empty()) << str(region());
    Element* e = square({800, 500}, 100);

    // Beside the element: the overlay lets the click through to the window below.
    ASSERT_TRUE(pointerAt(1000, 500));
    ASSERT_TRUE(framesUntil([&] { return regionIs({boxOf(800, 500, 100, 100)}); })) << str(region());
    EXPECT_EQ(gfx_input_shape_rect_count(), 1);
    ASSERT_TRUE(xclient_xdotool({"click", "1"}));
    XClientPress press{};
    ASSERT_TRUE(pressBelow(&press)) << "the window underneath never got the press";
    EXPECT_EQ(press.x, 400);
    EXPECT_EQ(press.y, 200);
    EXPECT_EQ(press.button, 1);
    EXPECT_EQ(CLICKS, 0);

    // Onto the element: it is hovered, the element gets the click.
    ASSERT_TRUE(pointerAt(820, 470));
    ASSERT_TRUE(framesUntil([&] { return prev_detected == e; }));
    ASSERT_TRUE(xclient_xdotool({"click", "3"}));
    ASSERT_TRUE(framesUntil([] { return CLICKS == 1; })) << "onClick never ran";
    EXPECT_EQ(CLICK_BUTTON, MOUSE_BUTTON_RIGHT);
    ASSERT_TRUE(framesUntil([] { return held == nullptr; }));  // the release came too
    EXPECT_TRUE(xclient_take_presses(below).empty());
    EXPECT_TRUE(regionIs({boxOf(800, 500, 100, 100)})) << str(region());

    // Away again: the window below gets clicks.
    ASSERT_TRUE(pointerAt(1100, 600));
    ASSERT_TRUE(framesUntil([&] { return prev_detected == nullptr; }));
    ASSERT_TRUE(xclient_xdotool({"click", "1"}));
    ASSERT_TRUE(pressBelow(&press));
    EXPECT_EQ(press.x, 500);
    EXPECT_EQ(press.y, 300);
    EXPECT_EQ(CLICKS, 1);
}

TEST_F(ClickThroughDesktopTest, RegionIsTheElementsBoxesAndFollowsThem) {
    Element* a = square({700, 500}, 100);
    Element* b = square({1000, 400}, 60);
    Element* ghost = square({300, 300}, 80);
    ghost->clickThrough = true;  // never hovered: takes no pointer
    Element* corner = square({5, 1075}, 40);  // clipped to the window
    ASSERT_TRUE(framesUntil([&] {
        return regionIs({boxOf(700, 500, 100, 100), boxOf(1000, 400, 60, 60), XClientRect{0, 1054, 26, 26}});
    })) << str(region());

    // A moving element takes its box along, frame by frame.
    _removeElement(corner);
    _removeElement(b);
    for (int step = 1; step <= 3; step++) {
        a->position.x = 700.0f + 37.0f * step;
        ASSERT_TRUE(framesUntil([&] { return true; }));
        EXPECT_TRUE(regionIs({boxOf(a->position.x, 500, 100, 100)})) << step << ": " << str(region());
    }
    // Turned: the screen-aligned bounds of the turned box, (100 + 100) / sqrt 2 wide.
    a->rotation = 45;
    ASSERT_TRUE(framesUntil([&] { return true; }));
    EXPECT_TRUE(regionIs({XClientRect{(int)a->position.x - 72, 428, 144, 144}})) << str(region());
}

TEST_F(ClickThroughDesktopTest, ClickBesideAnElementReachesTheWindowBelowWhileAnotherIsHovered) {
    Element* a = square({700, 500}, 100);
    square({1000, 500}, 100);
    ASSERT_TRUE(pointerAt(700, 500));
    ASSERT_TRUE(framesUntil([&] { return prev_detected == a; }));

    // Still hovering a as far as the frame loop knows (no frame runs between
    // the move and the click): beside the other element, the click goes below.
    ASSERT_TRUE(pointerAt(1080, 500));
    ASSERT_TRUE(xclient_xdotool({"click", "1"}));
    EXPECT_EQ(prev_detected, a);
    XClientPress press{};
    ASSERT_TRUE(pressBelow(&press)) << "the overlay swallowed a click outside every element";
    EXPECT_EQ(press.x, 480);
    EXPECT_EQ(press.y, 200);
    // And between the two elements.
    ASSERT_TRUE(pointerAt(850, 500));
    ASSERT_TRUE(xclient_xdotool({"click", "1"}));
    ASSERT_TRUE(pressBelow(&press));
    EXPECT_EQ(press.x, 250);
    EXPECT_EQ(CLICKS, 0);
}

TEST_F(ClickThroughDesktopTest, ADraggedElementKeepsThePointerWhenItOutrunsIt) {
    Element* e = square({800, 500}, 60);
    e->onDrag = dragAlong;
    ASSERT_TRUE(pointerAt(800, 500));
    ASSERT_TRUE(framesUntil([&] { return prev_detected == e; }));

    ASSERT_TRUE(xclient_xdotool({"mousedown", "1"}));
    // A failed assertion must not leave the button down for the next test.
    struct Release {
        bool done = false;
        ~Release() {
            if (!done) xclient_xdotool({"mouseup", "1"});
        }
    } release;
    ASSERT_TRUE(framesUntil([&] { return held == e; }));
    // While held, the whole window takes the pointer.
    ASSERT_TRUE(framesUntil([&] { return regionIs({XClientRect{0, 0, 1920, 1080}}); })) << str(region());
    // One jump far beyond the element's box, then the release out there.
    ASSERT_TRUE(pointerAt(1100, 650));
    ASSERT_TRUE(framesUntil([&] { return e->position.x == 1100 && e->position.y == 650; }))
        << "the drag lost the pointer: the element is at " << e->position.x << "," << e->position.y;
    ASSERT_TRUE(xclient_xdotool({"mouseup", "1"}));
    release.done = true;
    ASSERT_TRUE(framesUntil([&] { return held == nullptr; }));
    EXPECT_TRUE(regionIs({boxOf(1100, 650, 60, 60)})) << str(region());
    EXPECT_TRUE(xclient_take_presses(below).empty());  // nothing of the drag went below
    EXPECT_EQ(CLICKS, 1);

    // Dropped: a click beside it reaches the window underneath again.
    ASSERT_TRUE(pointerAt(1000, 650));
    ASSERT_TRUE(xclient_xdotool({"click", "1"}));
    XClientPress press{};
    ASSERT_TRUE(pressBelow(&press));
    EXPECT_EQ(press.x, 400);
    EXPECT_EQ(press.y, 350);
}

TEST_F(ClickThroughDesktopTest, RemovingTheHoveredElementLetsInputThroughAtOnce) {
    Element* e = square({800, 500}, 100);

    ASSERT_TRUE(pointerAt(800, 500));
    ASSERT_TRUE(framesUntil([&] { return prev_detected == e; }));
    ASSERT_FALSE(region().empty());
    removeElement(e);
    EXPECT_TRUE(region().empty()) << str(region());
    EXPECT_EQ(gfx_input_shape_rect_count(), 0);

    // Still listed until the next frame's removal pass, but no longer hovered:
    // a click at once goes to the window underneath.
    ASSERT_TRUE(xclient_xdotool({"click", "1"}));
    XClientPress press{};
    ASSERT_TRUE(pressBelow(&press));
    EXPECT_EQ(press.x, 200);
    EXPECT_EQ(press.y, 200);
    EXPECT_EQ(CLICKS, 0);
    EXPECT_TRUE(region().empty());
}
