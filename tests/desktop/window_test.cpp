// Host-window walls: the rectangle filter, rebuilding only on change, and no
// walls while a mouse button is held. The physics world is used without its
// thread; no X connection is opened, so there is no focused window.
#include <gtest/gtest.h>

#include <set>

#include "base/base.h"
#include "desktop/walls.h"
#include "desktop/window.h"
#include "gfx/gfx_ext.h"
#include "physics/physics.h"

namespace {

class WindowWallsTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_reset();
        gfx_reset_input();
        RESOLUTION = {1920, 1080};
        base = GetPhysicsBodiesCount();
    }
    void TearDown() override {
        overlay_remove_walls();
        window_reset();
        gfx_reset_input();
        PhysicsStep();  // release what was destroyed
    }
    int base = 0;

    int wallCount() { return GetPhysicsBodiesCount() - base; }
    // Centre of the current top wall.
    Vector2 topWallCentre() {
        PhysicsLock lock;
        return GetPhysicsBodyByID(wallIDs[0])->position;
    }
    std::set<PhysicsBodyData*> wallBodies() {
        std::set<PhysicsBodyData*> out;
        for (int i = 0; i < 4; i++) out.insert(GetPhysicsBodyByID(wallIDs[i]));
        return out;
    }
};

}  // namespace

TEST(WindowRectFilter, RejectsOnlyImplausibleRectanglesAtTheOrigin) {
    const Vector2 screen = {1920, 1080};
    EXPECT_FALSE(window_rect_plausible({0, 0, 0, 0}, screen));        // no window known
    EXPECT_FALSE(window_rect_plausible({0, 0, 800, 0}, screen));
    EXPECT_FALSE(window_rect_plausible({0, 0, 0, 600}, screen));
    EXPECT_TRUE(window_rect_plausible({0, 0, 1920, 1080}, screen));    // exactly the screen
    EXPECT_FALSE(window_rect_plausible({0, 0, 1921, 1081}, screen));   // larger both ways
    EXPECT_TRUE(window_rect_plausible({0, 0, 1921, 1080}, screen));    // larger one way only
    EXPECT_TRUE(window_rect_plausible({0, 0, 1920, 1081}, screen));
    EXPECT_TRUE(window_rect_plausible({-8, -8, 1936, 1096}, screen));  // maximised with hidden borders
    EXPECT_TRUE(window_rect_plausible({100, 200, 800, 600}, screen));
    EXPECT_TRUE(window_rect_plausible({0, 200, 800, 600}, screen));    // only the exact origin is suspect
}

TEST_F(WindowWallsTest, WallsAreRebuiltOnlyWhenTheRectangleChanges) {
    overlay_follow({100, 200, 800, 600});
    ASSERT_NE(wallIDs, nullptr);
    EXPECT_EQ(wallCount(), 4);
    EXPECT_FLOAT_EQ(topWallCentre().x, 500);
    EXPECT_FLOAT_EQ(topWallCentre().y, 192);  // 16 thick, just outside the top edge
    std::set<PhysicsBodyData*> first = wallBodies();

    for (int i = 0; i < 5; i++) overlay_follow({100, 200, 800, 600});
    EXPECT_EQ(wallCount(), 4);
    EXPECT_EQ(wallBodies(), first);  // the same bodies: nothing destroyed or created

    overlay_follow({101, 200, 800, 600});
    EXPECT_EQ(wallCount(), 4);
    EXPECT_FLOAT_EQ(topWallCentre().x, 501);
    EXPECT_EQ(wallRect.x, 101);
    for (PhysicsBodyData* b : wallBodies()) EXPECT_EQ(first.count(b), 0u);
}

TEST_F(WindowWallsTest, ImplausibleRectangleKeepsThePreviousWalls) {
    overlay_follow({100, 200, 800, 600});
    std::set<PhysicsBodyData*> first = wallBodies();
    overlay_follow({0, 0, 1921, 1081});
    overlay_follow({0, 0, 0, 0});
    EXPECT_EQ(wallBodies(), first);
    EXPECT_EQ(wallRect.x, 100);
    EXPECT_EQ(wallRect.width, 800);

    overlay_follow({0, 0, 1920, 1080});  // a window covering the screen exactly is taken
    EXPECT_EQ(wallRect.width, 1920);
    EXPECT_FLOAT_EQ(topWallCentre().y, -8);
    EXPECT_EQ(wallCount(), 4);
}

TEST_F(WindowWallsTest, FirstTickWithoutAnyWindowWallsInTheOrigin) {
    overlay_follow({0, 0, 0, 0});
    ASSERT_NE(wallIDs, nullptr);
    EXPECT_EQ(wallCount(), 4);
    EXPECT_EQ(wallRect.width, 0);
}

TEST_F(WindowWallsTest, HeldButtonRemovesTheWallsUntilTheNextTickAfterRelease) {
    overlay_follow({100, 200, 800, 600});
    gfx_inject_mouse_button(MOUSE_BUTTON_LEFT, true);
    overlay_update(0.91f, 0.05f);  // no tenth-second tick in this frame
    EXPECT_EQ(wallCount(), 4);
    overlay_update(0.97f, 0.05f);  // crosses 1.0: tick
    EXPECT_EQ(wallIDs, nullptr);
    EXPECT_EQ(wallCount(), 0);
    EXPECT_EQ(wallRect.x, 100);    // remembered for after the release

    gfx_inject_mouse_button(MOUSE_BUTTON_LEFT, false);
    gfx_inject_mouse_button(MOUSE_BUTTON_RIGHT, true);
    overlay_update(1.07f, 0.05f);
    EXPECT_EQ(wallCount(), 0);     // the right button counts too

    gfx_inject_mouse_button(MOUSE_BUTTON_RIGHT, false);
    overlay_update(1.11f, 0.05f);  // no tick yet
    EXPECT_EQ(wallCount(), 0);
    // No focused window is known here: the walls come back around the
    // remembered rectangle even though nothing moved.
    overlay_update(1.17f, 0.05f);
    ASSERT_NE(wallIDs, nullptr);
    EXPECT_EQ(wallCount(), 4);
    EXPECT_FLOAT_EQ(topWallCentre().x, 500);
}

// No slot narrower than the mascot (128) stays between a wall and the screen's
// edge: the wall reaches past the edge, its middle outside any mascot on screen
// (64 or more inside), so what overlaps it is pushed inwards.
TEST(WallSlots, WallsNearTheEdgeReachPastIt) {
    Rectangle w[4];
    wallRects({100, 60, 1520, 980}, 16, w);  // 100 from the left, 60 from the top, its wall 24 above the floor
    closeNarrowSlots(w, {0, 0, 1920, 1080}, 128);
    EXPECT_LT(w[0].y + w[0].height / 2, 64);
    EXPECT_GT(w[1].y + w[1].height / 2, 1080 - 64);
    EXPECT_LT(w[2].x + w[2].width / 2, 64);
    EXPECT_FLOAT_EQ(w[2].x + w[2].width, 100);   // its face on the window stays
    EXPECT_FLOAT_EQ(w[3].width, 16);             // 284 from the right: as built
    wallRects({-500, 300, 560, 400}, 16, w);     // mostly off screen: its right wall 60 from the left edge
    closeNarrowSlots(w, {0, 0, 1920, 1080}, 128);
    EXPECT_LT(w[3].x + w[3].width / 2, 64);
}
