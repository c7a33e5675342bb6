// Monitors: the dead areas between them, the nearest monitor, and the solid
// ground the dead areas give the physics. No X connection: the monitors are
// given, and the world is stepped on the test's thread.
#include <gtest/gtest.h>

#include "base/base.h"
#include "desktop/walls.h"
#include "desktop/monitors.h"
#include "draw/draw.h"
#include "element/element.h"
#include "physics/physics.h"

namespace {

bool overlaps(Rectangle a, Rectangle b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

bool holds(Rectangle r, float x, float y) { return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height; }

// Every point of the screen (on a grid finer than any rectangle here) lies in
// a monitor or else in exactly one dead area, never in both.
void expect_tiling(Rectangle screen, const std::vector<Rectangle>& monitors) {
    std::vector<Rectangle> dead = monitors_dead_areas(screen, monitors);
    for (float y = screen.y + 5; y < screen.y + screen.height; y += 10) {
        for (float x = screen.x + 5; x < screen.x + screen.width; x += 10) {
            bool shown = false;
            int deadCount = 0;
            for (const Rectangle& m : monitors) shown = shown || holds(m, x, y);
            for (const Rectangle& d : dead) deadCount += holds(d, x, y);
            ASSERT_EQ(deadCount, shown ? 0 : 1) << "at " << x << ", " << y;
        }
    }
}

TEST(Monitors, DeadAreasBetweenMonitorsOfDifferentSizes) {
    // A smaller monitor to the right, tops aligned: one strip under it.
    std::vector<Rectangle> dead = monitors_dead_areas({0, 0, 3200, 1080}, {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}});
    ASSERT_EQ(dead.size(), 1u);
    EXPECT_EQ(dead[0].x, 1920);
    EXPECT_EQ(dead[0].y, 1024);
    EXPECT_EQ(dead[0].width, 1280);
    EXPECT_EQ(dead[0].height, 56);
    // One monitor covering the screen: nothing dead.
    EXPECT_TRUE(monitors_dead_areas({0, 0, 1920, 1080}, {{0, 0, 1920, 1080}}).empty());
    // A column between two monitors merges over the bands into one rectangle.
    dead = monitors_dead_areas({0, 0, 3280, 1080}, {{0, 0, 1920, 1080}, {2000, 200, 1280, 720}});
    EXPECT_EQ(dead.size(), 3u);
    expect_tiling({0, 0, 3280, 1080}, {{0, 0, 1920, 1080}, {2000, 200, 1280, 720}});
    // Stacked, overlapping (mirrored) and off-screen monitors.
    expect_tiling({0, 0, 2560, 2520}, {{0, 1080, 2560, 1440}, {320, 0, 1920, 1080}});
    expect_tiling({0, 0, 1920, 1200}, {{0, 0, 1920, 1080}, {0, 0, 1600, 1200}});
    expect_tiling({0, 0, 1920, 1080}, {{-100, -100, 500, 500}, {1500, 900, 1000, 1000}});
}

TEST(Monitors, NearestMonitor) {
    RESOLUTION = {3200, 1080};
    monitors_apply({{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}});
    EXPECT_EQ(monitor_at({2500, 500}).x, 1920);
    EXPECT_EQ(monitor_at({100, 100}).x, 0);
    EXPECT_EQ(monitor_at({2500, 1060}).x, 1920);  // in the dead strip: the monitor above is nearer
    monitors_reset();
    EXPECT_EQ(monitor_at({2500, 500}).width, 3200);  // no list: the whole overlay
}

// Boxes dropped along the smaller monitor (one straddling the boundary) come
// to rest on a monitor, never in the dead strip under it; one left in the
// dead area when the monitors changed is brought back.
TEST(Monitors, NothingRestsWhereNoMonitorShows) {
    RESOLUTION = {3200, 1080};
    const int base = GetPhysicsBodiesCount();
    std::vector<Element*> boxes;
    for (float x : {1900.0f, 1950.0f, 2500.0f, 3150.0f}) {
        Element* e = newElement(0);
        e->position = {x, 400};
        e->size = {64, 64};
        ASSERT_NE(enablePhysics(e), nullptr);
        boxes.push_back(e);
    }
    Element* stray = newElement(0);
    stray->position = {2600, 1060};
    stray->size = {32, 32};
    ASSERT_NE(enablePhysics(stray), nullptr);
    boxes.push_back(stray);
    monitors_apply({{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}});
    EXPECT_EQ(stray->position.y, 1024 - 16);

    for (int step = 0; step < 4000; step++) PhysicsStep();
    const Rectangle deadStrip{1920, 1024, 1280, 56};
    for (Element* e : boxes) {
        updateElement(e, 0);
        const Rectangle box{e->position.x - e->size.x / 2 + 1, e->position.y - e->size.y / 2 + 1, e->size.x - 2,
                            e->size.y - 2};
        EXPECT_FALSE(overlaps(box, deadStrip)) << describeElement(e);
        EXPECT_LE(e->position.y + e->size.y / 2, 1081) << describeElement(e);
    }
    while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
    monitors_reset();
    PhysicsLock lock;
    while (GetPhysicsBodiesCount() > base) DestroyPhysicsBody(GetPhysicsBody(GetPhysicsBodiesCount() - 1));
}

}  // namespace
