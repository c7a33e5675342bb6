// The geometric queries on an element's drawables: hit-testing, text sizes,
// the log line. No window: fonts are measured without one.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/base.h"
#include "draw/draw.h"
#include "element/element.h"

namespace {

// At the end of the process, as cleanup does: fonts loaded by measuring are
// released, so the leak checker sees only real leaks.
class ReleaseCaches : public ::testing::Environment {
public:
    void TearDown() override {
        for (auto& entry : FONTS) UnloadFont(entry.second);
        FONTS.clear();
    }
};
const auto* const kRelease = ::testing::AddGlobalTestEnvironment(new ReleaseCaches);

class ElementTest : public ::testing::Test {
protected:
    void SetUp() override {
        RESOLUTION = Vector2{1920, 1080};
        clear();
    }
    void TearDown() override {
        clear();
        TEXT_MEASURE = MeasureTextEx;
        // A font that failed to load stays cached: the next suite loads its own.
        for (auto& entry : FONTS) UnloadFont(entry.second);
        FONTS.clear();
        TEXT_CACHE.clear();
    }
    static void clear() {
        while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
        ELEMENTS_TO_BE_REMOVED.clear();
    }
};

Vector2 measure_100x20(Font, const char*, float, float) { return Vector2{100, 20}; }

TEST_F(ElementTest, DrawableAtPositionTopmostFirst) {
    Element* e = newElement(0);
    e->position = {100, 100};
    EXPECT_EQ(getDrawableAtPosition(e, e->position), -1);  // no drawables

    Drawable big{};
    big.type = DRAWABLE_COLOR;
    big.size = {40, 40};
    Drawable small = big;
    small.size = {10, 10};
    small.offset = {10, 0};
    e->drawables = {big, small};
    EXPECT_EQ(getDrawableAtPosition(e, {110, 100}), 1);  // overlap: the later one wins
    EXPECT_EQ(getDrawableAtPosition(e, {115, 105}), 1);  // bounds included
    EXPECT_EQ(getDrawableAtPosition(e, {90, 90}), 0);
    EXPECT_EQ(getDrawableAtPosition(e, {121, 100}), -1);

    // The offset turns with the element: at 90 degrees (10, 0) lies below.
    e->rotation = 90;
    EXPECT_EQ(getDrawableAtPosition(e, {100, 110}), 1);
    EXPECT_EQ(getDrawableAtPosition(e, {110, 100}), 0);

    // The drawable's own rotation turns its box: a 40 x 4 bar at 90 degrees is upright.
    e->rotation = 0;
    Drawable bar = big;
    bar.size = {40, 4};
    bar.rotation = 90;
    e->drawables = {bar};
    EXPECT_EQ(getDrawableAtPosition(e, {100, 118}), 0);
    EXPECT_EQ(getDrawableAtPosition(e, {118, 100}), -1);
}

TEST_F(ElementTest, TextDrawablesAreHitWhereTheyAreDrawn) {
    TEXT_MEASURE = measure_100x20;
    Element* e = newElement(0);
    e->position = {500, 500};
    Drawable t{};
    t.type = DRAWABLE_TEXT;
    t.source = "assets/neodgm.ttf:16:Hello";
    e->drawables = {t};
    Vector2 size = getDrawableSize(e, t);
    EXPECT_FLOAT_EQ(size.x, 100);
    EXPECT_FLOAT_EQ(size.y, 20);
    // drawText centres the measured block on the placed centre, so the hit box
    // is that block: y in [490, 510], x in [450, 550].
    EXPECT_EQ(getDrawableAtPosition(e, {500, 500}), 0);
    EXPECT_EQ(getDrawableAtPosition(e, {500, 490}), 0);
    EXPECT_EQ(getDrawableAtPosition(e, {500, 510}), 0);
    EXPECT_EQ(getDrawableAtPosition(e, {550, 505}), 0);
    EXPECT_EQ(getDrawableAtPosition(e, {500, 489}), -1);
    EXPECT_EQ(getDrawableAtPosition(e, {500, 511}), -1);
    EXPECT_EQ(getDrawableAtPosition(e, {500, 476}), -1);  // a line above, 20 px apart, is not this one

    // Two stacked lines 20 px apart: the centre of each visible line picks it.
    Drawable second = t;
    second.offset = {0, 20};
    e->drawables = {t, second};
    EXPECT_EQ(getDrawableAtPosition(e, {500, 500}), 0);
    EXPECT_EQ(getDrawableAtPosition(e, {500, 520}), 1);
}

TEST_F(ElementTest, DescribeElementListsDrawablesAndPosition) {
    Element* e = newElement(0);
    e->position = {960, 540};
    Drawable image{};
    image.source = "assets/guy";
    e->drawables = {image};
    EXPECT_EQ(describeElement(e), "image: assets/guy at (960.000000, 540.000000)\n");

    Drawable nine{};
    nine.type = DRAWABLE_NINE_SLICE;
    nine.source = "assets/bubble";
    Drawable color{};
    color.type = DRAWABLE_COLOR;
    color.color = {255, 128, 0, 255};
    Drawable text{};
    text.type = DRAWABLE_TEXT;
    text.source = "assets/neodgm.ttf:16:hi";
    Drawable odd{};
    odd.type = 7;
    e->drawables = {nine, color, text, odd};
    e->position = {-1.5f, 2.25f};
    EXPECT_EQ(describeElement(e), " color: #ff8000ff text: assets/neodgm.ttf:16:hi  at (-1.500000, 2.250000)\n");
}

}  // namespace
