// The window's cut without a compositing manager: which rectangles cover the
// elements, and when the region is sent, kept or cleared as a compositor comes
// and goes. No X server: the graphics calls are replaced through the seams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "desktop/shape.h"
#include "draw/draw.h"
#include "element/element.h"
#include "gfx/gfx_ext.h"

namespace {

bool compositor = false;
int sets = 0, clears = 0;
std::vector<Rectangle> region;

bool fake_compositor(void) { return compositor; }
void fake_set(const Rectangle* rects, int count) {
    sets++;
    region.assign(rects, rects + count);
}
void fake_clear(void) {
    clears++;
    region.clear();
}
// 8 px per byte, one 16 px line: independent of any font file.
Vector2 fake_measure(Font, const char* text, float fontSize, float) {
    return Vector2{8.0f * static_cast<float>(std::strlen(text)), fontSize};
}

class ShapeTest : public ::testing::Test {
protected:
    void SetUp() override {
        RESOLUTION = Vector2{1280, 720};
        clear();
        SHAPE_COMPOSITOR_RUNNING = fake_compositor;
        SHAPE_SET = fake_set;
        SHAPE_CLEAR = fake_clear;
        saved_measure = TEXT_MEASURE;
        TEXT_MEASURE = fake_measure;
        compositor = false;
        sets = clears = 0;
        region.clear();
        shape_reset();
        sets = clears = 0;
        testing::internal::CaptureStdout();
    }
    void TearDown() override {
        said = testing::internal::GetCapturedStdout();
        shape_reset();
        clear();
        TEXT_MEASURE = saved_measure;
        SHAPE_COMPOSITOR_RUNNING = gfx_compositor_running;
        SHAPE_SET = gfx_set_window_shape_drawn;
        SHAPE_CLEAR = gfx_clear_window_shape;
    }
    static void clear() {
        while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
        ELEMENTS_TO_BE_REMOVED.clear();
    }
    // An element that cannot be hovered, with one flat-colour drawable.
    static Element* colour(Vector2 at, Vector2 size, Vector2 offset = {0, 0}) {
        Element* e = newElement(0);
        e->position = at;
        e->clickThrough = true;
        Drawable d{};
        d.type = DRAWABLE_COLOR;
        d.size = size;
        d.offset = offset;
        e->drawables = {d};
        return e;
    }
    static std::vector<Rectangle> rects() { return shape_rects(ELEMENTS, RESOLUTION); }
    std::string output() { return testing::internal::GetCapturedStdout(); }
    TextMeasureFn saved_measure = nullptr;
    std::string said;
};

void expect_rect(const Rectangle& r, float x, float y, float w, float h) {
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(r.y, y);
    EXPECT_EQ(r.width, w);
    EXPECT_EQ(r.height, h);
}

}  // namespace

TEST_F(ShapeTest, RectanglesCoverDrawablesAsPlacedTurnedAndMirrored) {
    EXPECT_TRUE(rects().empty());
    Element* e = colour({100, 100}, {20, 10}, {10, 0});
    std::vector<Rectangle> r = rects();
    ASSERT_EQ(r.size(), 1u);  // centre (110, 100), a pixel of margin, whole pixels
    expect_rect(r[0], 99, 94, 22, 12);

    e->flipped = true;  // the offset mirrors: centre (90, 100)
    r = rects();
    expect_rect(r[0], 79, 94, 22, 12);

    e->rotation = 90;  // and turns with the element: centre (100, 90), upright
    r = rects();
    expect_rect(r[0], 94, 79, 12, 22);

    e->rotation = 45;  // a turned box's bounds: (20 + 10) / sqrt 2 = 21.2 wide
    e->flipped = false;
    e->drawables[0].offset = {0, 0};
    r = rects();
    EXPECT_EQ(r[0].x, 100 - 12);  // floor(100 - 10.6 - 1)
    EXPECT_EQ(r[0].width, 24);

    e->drawables[0].rotation = -45;  // the drawable's own turn cancels the element's
    r = rects();
    expect_rect(r[0], 89, 94, 22, 12);

    e->position = {100.4f, 100.6f};  // sub-pixel positions round outwards
    r = rects();
    expect_rect(r[0], 89, 94, 23, 13);

    e->drawables[0].type = 7;  // draws nothing, needs no room
    EXPECT_TRUE(rects().empty());
}

TEST_F(ShapeTest, HoverBoxesAndTextAreInTheRegionAndContainedBoxesAreLeftOut) {
    // A hoverable element: its box must be in the region, or a click on it
    // would reach the desktop instead.
    Element* e = newElement(0);
    e->position = {300, 300};
    e->size = {40, 60};
    std::vector<Rectangle> r = rects();
    ASSERT_EQ(r.size(), 1u);
    expect_rect(r[0], 279, 269, 42, 62);
    e->clickThrough = true;  // never hovered: no box of its own
    EXPECT_TRUE(rects().empty());
    e->clickThrough = false;

    // A drawable inside the box adds nothing; one that reaches beyond it does.
    Drawable inner{};
    inner.type = DRAWABLE_COLOR;
    inner.size = {20, 20};
    Drawable text{};
    text.type = DRAWABLE_TEXT;
    text.source = "assets/none.ttf:16:hello";  // 40 x 16 by the stand-in measure
    text.offset = {0, -50};
    e->drawables = {inner, text};
    r = rects();
    ASSERT_EQ(r.size(), 2u);
    expect_rect(r[1], 278, 240, 44, 20);  // two pixels for the glyphs' padding

    // Another element's box is kept even where it overlaps.
    colour({300, 300}, {10, 10});
    EXPECT_EQ(rects().size(), 3u);
}

TEST_F(ShapeTest, RectanglesAreClippedToTheWindow) {
    colour({-100, 50}, {40, 40});    // wholly off the left edge
    colour({5, 710}, {40, 40});      // across the bottom-left corner
    colour({60000, 60000}, {4, 4});  // far away (X rectangles are 16-bit)
    std::vector<Rectangle> r = rects();
    ASSERT_EQ(r.size(), 1u);
    expect_rect(r[0], 0, 689, 26, 31);
    // Without a window size (not opened yet) nothing is clipped.
    EXPECT_EQ(shape_rects(ELEMENTS, Vector2{0, 0}).size(), 3u);
}

TEST_F(ShapeTest, WithoutCompositorTheRegionIsSentOnlyWhenItChanges) {
    Element* e = colour({100.3f, 100}, {20, 20});  // x 89.3 .. 111.3 with the margin
    shape_start();
    EXPECT_TRUE(SHAPED_WINDOW);
    EXPECT_EQ(sets, 1);
    ASSERT_EQ(region.size(), 1u);

    shape_update(0.1);
    shape_update(0.2);
    EXPECT_EQ(sets, 1);  // nothing moved: no X request
    e->position.x += 0.2f;  // 89.5 .. 111.5: still the same whole pixels
    shape_update(0.3);
    EXPECT_EQ(sets, 1);
    e->position.x += 5;
    shape_update(0.4);
    EXPECT_EQ(sets, 2);
    EXPECT_EQ(region[0].x, 94);
    removeElement(e);
    frame_remove_queued();
    shape_update(0.5);
    EXPECT_EQ(sets, 3);
    EXPECT_TRUE(region.empty());  // nothing on screen: the whole window lets the desktop show
    EXPECT_NE(output().find("No compositing manager"), std::string::npos);
    testing::internal::CaptureStdout();
}

TEST_F(ShapeTest, ACompositorThatComesAndGoesIsFollowedWithinASecond) {
    compositor = true;
    colour({100, 100}, {20, 20});
    shape_start();
    EXPECT_FALSE(SHAPED_WINDOW);
    EXPECT_EQ(sets + clears, 0);  // with a compositor nothing changes
    EXPECT_EQ(output(), "");
    testing::internal::CaptureStdout();

    compositor = false;  // it stops
    shape_update(0.5);
    EXPECT_FALSE(SHAPED_WINDOW);  // not asked again before a second has passed
    shape_update(1.0);
    EXPECT_TRUE(SHAPED_WINDOW);
    EXPECT_EQ(sets, 1);
    EXPECT_EQ(region.size(), 1u);
    EXPECT_NE(output().find("No compositing manager"), std::string::npos);
    testing::internal::CaptureStdout();

    compositor = true;  // and starts again
    shape_update(1.5);
    EXPECT_TRUE(SHAPED_WINDOW);
    shape_update(2.0);
    EXPECT_FALSE(SHAPED_WINDOW);
    EXPECT_EQ(clears, 1);
    shape_update(2.1);
    EXPECT_EQ(sets, 1);  // the whole window stays whole
    EXPECT_NE(output().find("Compositing manager running"), std::string::npos);
    testing::internal::CaptureStdout();

    compositor = false;  // a region is sent again even though the elements did not move
    shape_update(3.0);
    EXPECT_EQ(sets, 2);
    EXPECT_EQ(region.size(), 1u);
}

TEST_F(ShapeTest, NothingHappensBeforeStart) {
    colour({100, 100}, {20, 20});
    shape_update(5);
    EXPECT_FALSE(SHAPED_WINDOW);
    EXPECT_EQ(sets + clears, 0);
}
