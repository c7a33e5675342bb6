// Pointer input: the turned hit box, the hover rule, the input region (the
// hover boxes, the whole window while an element is held) and the press /
// drag / release dispatch, driven through injected buttons (no window needed:
// the region is caught at the seam, unclipped).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "desktop/input.h"
#include "element/element.h"
#include "gfx/gfx_ext.h"

namespace {

struct Event {
    std::string kind;  // "click", "drag", "release"
    Element* e;
    Vector2 prev;      // previous pointer (drag, release); unused for click
    Vector2 mouse;
    int button;
};

std::vector<Event> EVENTS;
std::vector<std::vector<Rectangle>> SENT;  // input regions, in the order sent

void recordRegion(const Rectangle* rects, int count) { SENT.emplace_back(rects, rects + count); }

void expectRect(const Rectangle& r, float x, float y, float w, float h) {
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(r.y, y);
    EXPECT_EQ(r.width, w);
    EXPECT_EQ(r.height, h);
}

// The region while an element is held: the whole window (0 x 0 without one).
void expectWholeWindow(const std::vector<Rectangle>& region) {
    ASSERT_EQ(region.size(), 1u);
    expectRect(region[0], 0, 0, (float)GetScreenWidth(), (float)GetScreenHeight());
}

void onClickRec(Element* e, Vector2 mouse, MouseButton b) { EVENTS.push_back({"click", e, {0, 0}, mouse, b}); }
void onDragRec(Element* e, Vector2 prev, Vector2 mouse, MouseButton b) {
    EVENTS.push_back({"drag", e, prev, mouse, b});
}
void onReleaseRec(Element* e, Vector2 prev, Vector2 mouse, MouseButton b) {
    EVENTS.push_back({"release", e, prev, mouse, b});
}
void onDragRemoves(Element* e, Vector2 prev, Vector2 mouse, MouseButton b) {
    onDragRec(e, prev, mouse, b);
    removeElement(e);
}
void onClickRemoves(Element* e, Vector2 mouse, MouseButton b) {
    onClickRec(e, mouse, b);
    removeElement(e);
}

void record(Element* e) {
    e->onClick = onClickRec;
    e->onDrag = onDragRec;
    e->onRelease = onReleaseRec;
}

// One frame of the loop's input part: the buttons that changed since the last
// frame, then input_update, then what EndDrawing does to the input state.
void frame(Element* hovered, Vector2 mouse, std::vector<std::pair<int, bool>> buttons = {}) {
    for (auto [b, down] : buttons) gfx_inject_mouse_button(b, down);
    input_update(hovered, mouse);
    gfx_next_input_frame();
}

void expectEvent(const Event& ev, const char* kind, Element* e, Vector2 prev, Vector2 mouse, int button) {
    EXPECT_EQ(ev.kind, kind);
    EXPECT_EQ(ev.e, e);
    if (std::string(kind) != "click") {
        EXPECT_FLOAT_EQ(ev.prev.x, prev.x);
        EXPECT_FLOAT_EQ(ev.prev.y, prev.y);
    }
    EXPECT_FLOAT_EQ(ev.mouse.x, mouse.x);
    EXPECT_FLOAT_EQ(ev.mouse.y, mouse.y);
    EXPECT_EQ(ev.button, button);
}

class InputTest : public ::testing::Test {
protected:
    void SetUp() override {
        input_reset();
        gfx_reset_input();
        EVENTS.clear();
        SENT.clear();
        INPUT_SET_REGION = recordRegion;
    }
    void TearDown() override {
        input_reset();
        gfx_reset_input();
        for (Element* e : std::vector<Element*>(ELEMENTS)) _removeElement(e);
        ELEMENTS_TO_BE_REMOVED.clear();
        INPUT_SET_REGION = gfx_set_input_region;
    }
};

Element box(Vector2 position, Vector2 size, float rotation) {
    Element e;
    e.position = position;
    e.size = size;
    e.rotation = rotation;
    return e;
}

}  // namespace

TEST_F(InputTest, HitBoxFollowsTheElementsRotation) {
    Element flat = box({0, 0}, {100, 20}, 0);
    EXPECT_TRUE(input_check(&flat, {50, 10}));  // corner: bounds included
    EXPECT_TRUE(input_check(&flat, {-50, -10}));
    EXPECT_FALSE(input_check(&flat, {50.5f, 0}));
    EXPECT_FALSE(input_check(&flat, {0, 10.5f}));

    // Turned clockwise on screen: the long side runs down to the right.
    Element turned45 = box({0, 0}, {100, 20}, 45);
    EXPECT_TRUE(input_check(&turned45, {30, 30}));
    EXPECT_FALSE(input_check(&turned45, {30, -30}));
    EXPECT_FALSE(input_check(&turned45, {45, 0}));  // inside the unturned box, outside the turned one

    Element turned90 = box({0, 0}, {100, 20}, 90);
    EXPECT_TRUE(input_check(&turned90, {0, 40}));
    EXPECT_TRUE(input_check(&turned90, {0, -40}));
    EXPECT_FALSE(input_check(&turned90, {40, 0}));

    // Away from the origin the box is centred on the position.
    Element moved = box({500, 300}, {100, 20}, 90);
    EXPECT_TRUE(input_check(&moved, {500, 340}));
    EXPECT_FALSE(input_check(&moved, {540, 300}));
}

TEST_F(InputTest, FrameLoopHoversTheTopmostElementThatIsNotClickThrough) {
    Element* below = newElement(0);
    Element* above = newElement(0);  // same layer, created later: drawn on top
    Element* ghost = newElement(5);
    for (Element* e : {below, above, ghost}) {
        e->position = {100, 100};
        e->size = {50, 50};
    }
    above->position = {110, 100};
    ghost->clickThrough = true;

    EXPECT_EQ(frame_update(0.016f, 0, {105, 100}), above);  // ghost is on top but lets the click through
    EXPECT_EQ(frame_update(0.016f, 0, {80, 100}), below);
    EXPECT_EQ(frame_update(0.016f, 0, {300, 300}), nullptr);
    Element* top = newElement(10);
    top->position = {100, 100};
    top->size = {50, 50};
    EXPECT_EQ(frame_update(0.016f, 0, {105, 100}), top);
}

TEST_F(InputTest, RegionHoldsTheHoverBoxesAndIsSentOnlyWhenItChanges) {
    for (int i = 0; i < 3; i++) frame(nullptr, {500, 500});
    ASSERT_EQ(input_region_sends, 1);  // nothing to take: an empty region, once
    EXPECT_TRUE(SENT.back().empty());

    Element* a = newElement(0);
    a->position = {100, 100};
    a->size = {40, 20};
    Element* b = newElement(0);
    b->position = {300, 200};
    b->size = {100, 20};
    b->rotation = 45;  // the turned box's screen-aligned bounds: (100 + 20) / sqrt 2 wide
    Element* ghost = newElement(0);
    ghost->position = {600, 600};
    ghost->size = {50, 50};
    ghost->clickThrough = true;  // never hovered: not in the region
    record(a);
    record(b);
    frame(nullptr, {500, 500});
    ASSERT_EQ(input_region_sends, 2);
    ASSERT_EQ(SENT.back().size(), 2u);
    expectRect(SENT.back()[0], 79, 89, 42, 22);  // whole pixels, a pixel of margin
    expectRect(SENT.back()[1], 256, 156, 88, 88);

    // Hovering, idling and moving from one element to another change nothing.
    for (int i = 0; i < 5; i++) frame(a, {100, 100});
    frame(b, {300, 200});
    frame(nullptr, {500, 500});
    EXPECT_EQ(input_region_sends, 2);

    a->position.x += 10;  // a moving element takes its box along
    frame(nullptr, {500, 500});
    ASSERT_EQ(input_region_sends, 3);
    expectRect(SENT.back()[0], 89, 89, 42, 22);
    a->clickThrough = true;
    frame(nullptr, {500, 500});
    ASSERT_EQ(SENT.back().size(), 1u);
    expectRect(SENT.back()[0], 256, 156, 88, 88);
    EXPECT_TRUE(EVENTS.empty());  // hovering alone dispatches nothing
}

TEST_F(InputTest, HoldingAnElementGivesItTheWholeWindowUntilTheRelease) {
    Element* a = newElement(0);
    a->position = {100, 100};
    a->size = {40, 20};
    record(a);
    frame(a, {100, 100});
    ASSERT_EQ(SENT.back().size(), 1u);

    frame(a, {101, 100}, {{MOUSE_BUTTON_LEFT, true}});
    ASSERT_EQ(held, a);
    expectWholeWindow(SENT.back());  // in the press frame, before the pointer can outrun it
    int sends = input_region_sends;
    frame(nullptr, {400, 300});  // it did: still held, still the whole window
    a->position = {400, 300};    // dragged along: while held its box does not matter
    frame(a, {410, 300});
    EXPECT_EQ(input_region_sends, sends);

    frame(a, {410, 300}, {{MOUSE_BUTTON_LEFT, false}});
    EXPECT_EQ(held, nullptr);
    ASSERT_EQ(SENT.back().size(), 1u);  // back to the box where it was dropped
    expectRect(SENT.back()[0], 379, 289, 42, 22);
    ASSERT_EQ(EVENTS.size(), 5u);  // click, three drags, release
    EXPECT_EQ(EVENTS.back().kind, "release");
}

TEST_F(InputTest, LeftPressDragAndReleaseFollowThePointerOffTheElement) {
    Element a = box({0, 0}, {10, 10}, 0);
    record(&a);

    frame(&a, {1, 1});  // hovered first: the window takes the mouse
    EXPECT_TRUE(EVENTS.empty());
    frame(&a, {2, 2}, {{MOUSE_BUTTON_LEFT, true}});
    ASSERT_EQ(EVENTS.size(), 2u);
    expectEvent(EVENTS[0], "click", &a, {}, {2, 2}, 0);
    expectEvent(EVENTS[1], "drag", &a, {1, 1}, {2, 2}, 0);
    EXPECT_EQ(held, &a);
    expectWholeWindow(SENT.back());

    frame(nullptr, {40, 50});  // the pointer outran the element
    frame(nullptr, {60, 70});
    ASSERT_EQ(EVENTS.size(), 4u);
    expectEvent(EVENTS[2], "drag", &a, {2, 2}, {40, 50}, 0);
    expectEvent(EVENTS[3], "drag", &a, {40, 50}, {60, 70}, 0);

    frame(nullptr, {61, 71}, {{MOUSE_BUTTON_LEFT, false}});
    ASSERT_EQ(EVENTS.size(), 5u);
    expectEvent(EVENTS[4], "release", &a, {60, 70}, {61, 71}, 0);
    EXPECT_EQ(held, nullptr);
    EXPECT_TRUE(SENT.back().empty());  // a is not in ELEMENTS: no box to take

    frame(nullptr, {62, 72});
    EXPECT_EQ(EVENTS.size(), 5u);
}

TEST_F(InputTest, PressOfTheOtherButtonTakesOver) {
    Element a = box({0, 0}, {10, 10}, 0), b = box({0, 0}, {10, 10}, 0);
    record(&a);
    record(&b);

    frame(&a, {1, 1}, {{MOUSE_BUTTON_LEFT, true}});
    EVENTS.clear();
    frame(&b, {5, 5}, {{MOUSE_BUTTON_RIGHT, true}});
    ASSERT_EQ(EVENTS.size(), 3u);
    expectEvent(EVENTS[0], "release", &a, {1, 1}, {5, 5}, 0);  // the button that was holding A
    expectEvent(EVENTS[1], "click", &b, {}, {5, 5}, 1);
    expectEvent(EVENTS[2], "drag", &b, {1, 1}, {5, 5}, 1);     // onDrag gets the holding button
    EXPECT_EQ(held, &b);

    // Releasing the left button (no longer the holder) still ends the hold,
    // reported with the button that went up.
    EVENTS.clear();
    frame(&b, {6, 6}, {{MOUSE_BUTTON_LEFT, false}});
    ASSERT_EQ(EVENTS.size(), 1u);
    expectEvent(EVENTS[0], "release", &b, {5, 5}, {6, 6}, 0);
    EXPECT_EQ(held, nullptr);

    // Right-held A, left press on A: A is released with the right button and
    // clicked with the left.
    frame(&a, {7, 7}, {{MOUSE_BUTTON_RIGHT, false}});
    frame(&a, {7, 7}, {{MOUSE_BUTTON_RIGHT, true}});
    EVENTS.clear();
    frame(&a, {8, 8}, {{MOUSE_BUTTON_LEFT, true}});
    ASSERT_EQ(EVENTS.size(), 3u);
    expectEvent(EVENTS[0], "release", &a, {7, 7}, {8, 8}, 1);
    expectEvent(EVENTS[1], "click", &a, {}, {8, 8}, 0);
    expectEvent(EVENTS[2], "drag", &a, {7, 7}, {8, 8}, 0);
}

TEST_F(InputTest, PressAndReleaseInOneFrameAndBothButtonsAtOnce) {
    Element a = box({0, 0}, {10, 10}, 0);
    record(&a);

    frame(&a, {1, 1}, {{MOUSE_BUTTON_LEFT, true}, {MOUSE_BUTTON_LEFT, false}});
    ASSERT_EQ(EVENTS.size(), 2u);
    expectEvent(EVENTS[0], "click", &a, {}, {1, 1}, 0);
    expectEvent(EVENTS[1], "release", &a, {0, 0}, {1, 1}, 0);
    EXPECT_EQ(held, nullptr);

    EVENTS.clear();
    frame(&a, {2, 2}, {{MOUSE_BUTTON_LEFT, true}, {MOUSE_BUTTON_RIGHT, true}});
    ASSERT_EQ(EVENTS.size(), 4u);  // left first, then the right press takes over
    expectEvent(EVENTS[0], "click", &a, {}, {2, 2}, 0);
    expectEvent(EVENTS[1], "release", &a, {1, 1}, {2, 2}, 0);
    expectEvent(EVENTS[2], "click", &a, {}, {2, 2}, 1);
    expectEvent(EVENTS[3], "drag", &a, {1, 1}, {2, 2}, 1);
}

TEST_F(InputTest, PressWithoutCallbacksStillHolds) {
    Element bare = box({0, 0}, {10, 10}, 0);
    Element other = box({0, 0}, {10, 10}, 0);
    record(&other);
    frame(&bare, {1, 1}, {{MOUSE_BUTTON_RIGHT, true}});
    EXPECT_EQ(held, &bare);
    frame(&other, {2, 2}, {{MOUSE_BUTTON_LEFT, true}});
    EXPECT_EQ(held, &other);
    ASSERT_EQ(EVENTS.size(), 2u);
    expectEvent(EVENTS[0], "click", &other, {}, {2, 2}, 0);
}

TEST_F(InputTest, DeletingTheHeldElementDuringItsDragStopsItsCallbacks) {
    Element* a = newElement(0);
    a->position = {0, 0};
    a->size = {10, 10};
    record(a);
    a->onDrag = onDragRemoves;

    frame(a, {1, 1});
    int sends = input_region_sends;
    frame(a, {2, 2}, {{MOUSE_BUTTON_LEFT, true}});
    ASSERT_EQ(EVENTS.size(), 2u);  // click, then the drag that removes it
    EXPECT_EQ(held, nullptr);
    EXPECT_EQ(prev_detected, nullptr);
    // Neither held nor listed any more: the desktop gets the whole screen back
    // in the same frame (and the press did not flash the whole window).
    EXPECT_EQ(input_region_sends, sends + 1);
    EXPECT_TRUE(SENT.back().empty());

    frame(nullptr, {3, 3});
    frame(nullptr, {4, 4}, {{MOUSE_BUTTON_LEFT, false}});
    EXPECT_EQ(EVENTS.size(), 2u);  // no drag, no release
    EXPECT_EQ(input_region_sends, sends + 1);
}

TEST_F(InputTest, DeletingTheHoveredElementTakesItsBoxOutAtOnce) {
    Element* a = newElement(0);
    Element* b = newElement(0);
    a->size = b->size = {10, 10};
    a->position = {0, 0};
    b->position = {100, 0};
    record(a);
    record(b);

    frame(a, {1, 1});
    EXPECT_EQ(input_region_sends, 1);
    EXPECT_EQ(SENT.back().size(), 2u);
    removeElement(a);  // still listed until the next removal pass, but no longer taking the pointer
    EXPECT_EQ(input_region_sends, 2);
    ASSERT_EQ(SENT.back().size(), 1u);
    expectRect(SENT.back()[0], 94, -6, 12, 12);
    EXPECT_EQ(prev_detected, nullptr);
    removeElement(a);  // already forgotten: nothing new to send
    frame_remove_queued();
    EXPECT_EQ(input_region_sends, 2);

    frame(b, {100, 1});
    EXPECT_EQ(input_region_sends, 2);
    EXPECT_EQ(prev_detected, b);
    EXPECT_TRUE(EVENTS.empty());
}

TEST_F(InputTest, ElementRemovedByItsOwnClickIsNotHeld) {
    Element* a = newElement(0);
    record(a);
    a->onClick = onClickRemoves;
    frame(a, {1, 1}, {{MOUSE_BUTTON_LEFT, true}});
    ASSERT_EQ(EVENTS.size(), 1u);
    EXPECT_EQ(EVENTS[0].kind, "click");
    EXPECT_EQ(held, nullptr);
    frame(nullptr, {2, 2}, {{MOUSE_BUTTON_LEFT, false}});
    EXPECT_EQ(EVENTS.size(), 1u);
}
