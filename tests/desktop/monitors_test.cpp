// Monitors: the dead areas between them, the nearest monitor, and the solid
// ground the dead areas give the physics. No X connection: the monitors are
// given, and the world is stepped on the test's thread.
#include <gtest/gtest.h>

#include <algorithm>

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

// Panels: the floor is each monitor's work-area bottom and the side walls its
// sides, a panel on one monitor moves only that monitor's floor, a panel that
// appears under a resting box lifts it onto the new floor, and one that goes
// away lets it fall to the screen's bottom. A panel along the top is not solid:
// what drops in from the top of the screen passes it.
TEST(Monitors, PanelsAreTheFloorAndWallsOfTheirMonitorOnly) {
    const std::vector<Rectangle> monitors = {{0, 0, 1280, 800}, {1280, 0, 1280, 800}};
    // Open areas: bottom and sides from the work area, the top from the monitor.
    std::vector<Rectangle> open =
        monitors_open_areas(monitors, {{0, 30, 1280, 730}, {1330, 0, 1230, 800}, {0, 0, 10, 10}});
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].y, 0);
    EXPECT_EQ(open[0].height, 760);
    EXPECT_EQ(open[1].x, 1330);
    EXPECT_EQ(open[1].width, 1230);
    EXPECT_EQ(monitors_open_areas(monitors, {}).size(), 2u);  // without work areas: the monitors
    EXPECT_EQ(monitors_open_areas(monitors, {{-50, 0, 2000, 900}})[0].width, 1280);  // clipped to the monitor

    RESOLUTION = {2560, 800};
    const int base = GetPhysicsBodiesCount();
    auto box_at = [](float x, float y) {
        Element* e = newElement(0);
        e->position = {x, y};
        e->size = {64, 64};
        e->canRotate = false;  // stands as the mascot does
        EXPECT_NE(enablePhysics(e), nullptr);
        return e;
    };
    auto settle = [](std::initializer_list<Element*> boxes) {
        for (int step = 0; step < 3000; step++) PhysicsStep();
        for (Element* e : boxes) updateElement(e, 0);
    };
    auto bottom_of = [](Element* e) { return e->position.y + e->size.y / 2; };
    Element* left = box_at(600, 300);
    Element* right = box_at(1900, 300);
    Element* top = box_at(300, 15);  // where a panel along the top would be
    monitors_apply(monitors);
    settle({left, right, top});
    EXPECT_NEAR(bottom_of(left), 800, 3);
    EXPECT_NEAR(bottom_of(right), 800, 3);

    // A 40 px dock appears along the right monitor's bottom (and a top bar on
    // the left one): the right box is lifted onto it, the left one stays.
    const Vector2 before = left->position;
    monitors_apply(monitors, {{0, 24, 1280, 776}, {1280, 0, 1280, 760}});
    EXPECT_EQ(left->position.y, before.y);
    EXPECT_EQ(bottom_of(right), 760);
    settle({left, right, top});
    EXPECT_NEAR(bottom_of(left), 800, 3);
    EXPECT_NEAR(bottom_of(right), 760, 3);
    // A box dropped from the top of the screen over the top bar falls through it.
    top->position = {300, 10};
    {
        PhysicsLock lock;
        GetPhysicsBodyByID(top->physicsId)->position = top->position;
    }
    monitors_gather_strays();
    EXPECT_EQ(top->position.y, 10);
    settle({left, right, top});
    EXPECT_NEAR(bottom_of(top), 800, 3);

    // A left panel on the right monitor is a wall: a box thrown at it stops there.
    monitors_apply(monitors, {{0, 0, 1280, 800}, {1400, 0, 1160, 760}});
    EXPECT_GE(right->position.x - right->size.x / 2, 1400);
    float leftmost = right->position.x;
    for (int throws = 0; throws < 3; throws++) {
        {
            PhysicsLock lock;
            GetPhysicsBodyByID(right->physicsId)->velocity = {-2, 0};
        }
        for (int step = 0; step < 1000; step++) {
            PhysicsStep();
            updateElement(right, 0);
            leftmost = std::min(leftmost, right->position.x - right->size.x / 2);
        }
    }
    EXPECT_GE(leftmost, 1397);  // it reached the wall and stopped there
    EXPECT_LE(leftmost, 1410);

    // The dock goes away: the box falls to the screen's bottom.
    monitors_apply(monitors);
    settle({left, right, top});
    EXPECT_NEAR(bottom_of(right), 800, 3);

    while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
    monitors_reset();
    PhysicsLock lock;
    while (GetPhysicsBodiesCount() > base) DestroyPhysicsBody(GetPhysicsBody(GetPhysicsBodiesCount() - 1));
}

// The solid edges a window's walls are measured against: a panel's edge is
// one, the side shared with another monitor is none.
TEST(Monitors, WalledAreaEndsAtPanelsNotAtAnotherMonitor) {
    RESOLUTION = {3200, 1080};
    const int base = GetPhysicsBodiesCount();
    monitors_apply({{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}}, {{0, 0, 1920, 1040}, {1980, 0, 1220, 1024}});
    const Rectangle left = monitors_walled_area_at({500, 500}), right = monitors_walled_area_at({2500, 500});
    EXPECT_EQ(left.y + left.height, 1040);  // the bottom panel
    EXPECT_EQ(left.x + left.width, 1920);   // the other's left panel stands between
    EXPECT_EQ(left.x, 0);
    EXPECT_EQ(right.x, 1980);
    monitors_apply({{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}});
    EXPECT_GT(monitors_walled_area_at({500, 500}).width, 3200);  // no panel: open into the other
    monitors_reset();
    PhysicsLock lock;
    while (GetPhysicsBodiesCount() > base) DestroyPhysicsBody(GetPhysicsBody(GetPhysicsBodiesCount() - 1));
}

}  // namespace
