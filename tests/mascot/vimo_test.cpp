// The mascot: the creation table, wandering and its guards, the pose table
// and the throw machine, dragging while live.
#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "desktop/behaviours.h"
#include "desktop/walls.h"
#include "mascot_fixture.h"

namespace {

// The live state the mascot reads through its hooks.
bool live = false, snoozed = false;

class VimoTest : public MascotScene {
protected:
    void SetUp() override {
        MascotScene::SetUp();
        live = snoozed = false;
        vimo_hooks.is_live = [] { return live; };
        vimo_hooks.is_snoozed = [] { return snoozed; };
    }
};

TEST_F(VimoTest, CreatedAsDescribed) {
    EXPECT_EQ(vimo->id, "vimo");
    EXPECT_EQ(vimo->layer, 0);
    EXPECT_EQ(vimo->size.x, 128);
    EXPECT_EQ(vimo->size.y, 128);
    EXPECT_EQ(vimo->position.x, 960);
    EXPECT_EQ(vimo->position.y, 540);
    EXPECT_FALSE(vimo->canRotate);
    EXPECT_TRUE(vimo->autoFlip);
    ASSERT_EQ(vimo->drawables.size(), 1u);
    EXPECT_EQ(vimo->drawables[0].source, "assets/guy");
    EXPECT_EQ(vimo->drawables[0].color.a, 255);
    ASSERT_NE(body(), nullptr);
    EXPECT_TRUE(body()->freezeRotation);
    EXPECT_EQ(vimo->onUpdate, vimo_update);
    EXPECT_EQ(vimo->onClick, vimo_click);
    EXPECT_EQ(vimo->onDrag, vimo_drag);
    EXPECT_EQ(vimo->onRelease, vimo_release);
    EXPECT_EQ(getElementByID("vimo"), vimo);
}

// ---- Wandering ---------------------------------------------------------------

TEST_F(VimoTest, NoNewWalkWhileHeldThrownOrInAMenu) {
    PhysicsBodyData* b = body();
    auto blocked = [&](const char* why) {
        vimo_move_timer = 0.001f;
        vimo_walk_timer = 0;
        b->velocity = {0, 0};
        vimo_wander(b, 0.1f);
        EXPECT_EQ(vimo_walk_timer, 0) << why;
        EXPECT_EQ(vimo_move_timer, 0.001f) << why;
        EXPECT_EQ(b->velocity.x, 0) << why;
        EXPECT_EQ(b->velocity.y, 0) << why;
    };
    held = vimo;
    blocked("held");
    held = nullptr;
    vimo_was_thrown = true;
    blocked("thrown");
    vimo_was_thrown = false;
    Element* bubble = spawn_menu({"x"}, {0}, onChosen_noop);
    blocked("menu");
    menu_destroy();
    (void)bubble;

    // A walk in progress is frozen too, not only the choice of a new one.
    held = vimo;
    vimo_walk_timer = 1;
    vimo_wander(b, 0.1f);
    EXPECT_EQ(vimo_walk_timer, 1);
    held = nullptr;

    // Free: a walk starts.
    vimo_walk_timer = 0;
    vimo_move_timer = 0.001f;
    vimo_wander(b, 0.1f);
    EXPECT_GE(vimo_walk_timer, 0.5f);
    EXPECT_GE(vimo_move_timer, vimo_walk_timer);
    EXPECT_LE(vimo_move_timer, vimo_walk_timer + 10);
}

TEST_F(VimoTest, HoldingAnotherElementDoesNotStopTheMascot) {
    Element* other = newElement(0);
    held = other;
    vimo_move_timer = 0.001f;
    vimo_wander(body(), 0.1f);
    EXPECT_GT(vimo_walk_timer, 0);
}

TEST_F(VimoTest, AWalkKeepsItsSpeedAndEndsWithAStop) {
    PhysicsBodyData* b = body();
    vimo_walk_timer = 0.25f;
    vimo_target_x = 0.3f;
    b->velocity.x = 0.01f;  // friction slowed it
    vimo_wander(b, 0.125f);
    EXPECT_EQ(b->velocity.x, 0.3f);
    vimo_wander(b, 0.125f);
    EXPECT_EQ(b->velocity.x, 0);
    EXPECT_LE(vimo_walk_timer, 0);
}

// Chooses one walk with the generator seeded by seed; true for a window walk.
// The mascot stands at the window's centre, so a window walk has speed 0 and
// jumps by exactly (wallRect.y - y) / 60 / 2.
static bool windowWalk(Element* v, PhysicsBodyData* b, unsigned seed) {
    srand(seed);
    vimo_walk_timer = 0;
    vimo_move_timer = 0;
    b->velocity = {0, 0};
    vimo_wander(b, 0.01f);
    return vimo_target_x == 0 && b->velocity.y == (wallRect.y - v->position.y) / 60 * 0.5f;
}

TEST_F(VimoTest, WindowWalksOnlyWithWallsAndRoomAbove) {
    int ids[4] = {0, 0, 0, 0};
    vimo->position = {1000, 980};
    wallRect = {600, 400, 800, 500};  // centre x = 1000

    int windowWalks = 0;
    wallIDs = ids;
    // Seeds spread over the whole range: the first draw after seeding with 1,
    // 2, 3, ... grows with the seed on some C libraries (Windows's).
    for (unsigned k = 1; k <= 200; k++) windowWalks += windowWalk(vimo, body(), k * 2654435761u);
    EXPECT_GT(windowWalks, 50);
    EXPECT_LT(windowWalks, 150);

    // No walls (a button is held, or no window known).
    wallIDs = nullptr;
    for (unsigned seed = 1; seed <= 200; seed++) EXPECT_FALSE(windowWalk(vimo, body(), seed)) << seed;

    // The window's top edge within the mascot's height of the screen top.
    wallIDs = ids;
    wallRect.y = 128;
    for (unsigned seed = 1; seed <= 200; seed++) EXPECT_FALSE(windowWalk(vimo, body(), seed)) << seed;
    wallRect.y = 129;
    windowWalks = 0;
    for (unsigned seed = 1; seed <= 200; seed++) windowWalks += windowWalk(vimo, body(), seed);
    EXPECT_GT(windowWalks, 0);
}

TEST_F(VimoTest, ScreenWalkSpeedCoversTheDistanceInTheWalkTime) {
    for (unsigned seed = 1; seed <= 50; seed++) {
        srand(seed);
        vimo_walk_timer = 0;
        vimo_move_timer = 0;
        body()->velocity = {0, 0};
        vimo_wander(body(), 0.01f);
        float target = vimo->position.x + vimo_target_x * vimo_walk_timer * 1200;
        EXPECT_GE(target, -0.01f);
        EXPECT_LE(target, 1920.01f);
        EXPECT_LE(body()->velocity.y, 0);                 // only upward jumps
        EXPECT_GE(body()->velocity.y, -1080.0f / 120 - 1e-4f);
    }
}

// ---- Poses -------------------------------------------------------------------

TEST_F(VimoTest, PoseTable) {
    PhysicsBodyData* b = body();
    b->isGrounded = true;
    EXPECT_EQ(vimo_pose(b, 0.01f, 0), "idle");
    vimo_walk_timer = 1;
    EXPECT_EQ(vimo_pose(b, 0.01f, 0), "walk");
    b->isGrounded = false;
    b->velocity.y = -0.1f;
    EXPECT_EQ(vimo_pose(b, 0.01f, 0), "jump");
    b->velocity.y = 0.1f;
    EXPECT_EQ(vimo_pose(b, 0.01f, 0), "fall");

    Element* bubble = spawn_menu({"x"}, {0}, onChosen_noop);
    (void)bubble;
    EXPECT_EQ(vimo_pose(b, 0.01f, 10.25f), "idle");
    EXPECT_EQ(vimo_pose(b, 0.01f, 10.75f), "talk");
    menu_destroy();

    held = vimo;
    bool wasGrounded = vimo_was_grounded;
    b->isGrounded = !wasGrounded;
    EXPECT_EQ(vimo_pose(b, 0.01f, 0.1f), "held_0");
    EXPECT_EQ(vimo_pose(b, 0.01f, 0.4f), "held_1");
    EXPECT_EQ(vimo_pose(b, 0.01f, 0.7f), "held_2");
    EXPECT_EQ(vimo_pose(b, 0.01f, 1.0f), "held_0");
    EXPECT_EQ(vimo_was_grounded, wasGrounded);  // held frames leave it alone

    live = true;  // above everything, snoozed or not
    snoozed = true;
    b->velocity = {1, 1};
    b->force = {2, 2};
    EXPECT_EQ(vimo_pose(b, 0.01f, 0), "wired");
    EXPECT_EQ(b->velocity.x, 0);
    EXPECT_EQ(b->velocity.y, 0);
    EXPECT_EQ(b->force.x, 0);
    EXPECT_EQ(b->force.y, 0);
}

TEST_F(VimoTest, DroppedOnTheGroundShowsLandedForHalfASecond) {
    PhysicsBodyData* b = body();
    held = vimo;
    EXPECT_EQ(vimo_pose(b, 0.125f, 0), "held_0");
    vimo_release(vimo, {}, {}, MOUSE_BUTTON_LEFT);
    held = nullptr;
    b->isGrounded = true;
    std::vector<std::string> poses;
    for (int i = 0; i < 5; i++) poses.push_back(vimo_pose(b, 0.125f, 1));
    // 0.5 - dt, then down by dt: landed for the frames while the timer is > 0.
    EXPECT_EQ(poses, (std::vector<std::string>{"landed", "landed", "landed", "idle", "idle"}));
    EXPECT_FALSE(vimo_was_thrown);

    // The frame the throw ends already shows walk when a walk is pending.
    vimo_release(vimo, {}, {}, MOUSE_BUTTON_LEFT);
    vimo_walk_timer = 1;
    vimo_pose(b, 0.25f, 1);
    EXPECT_EQ(vimo_pose(b, 0.25f, 1), "walk");
}

TEST_F(VimoTest, ThrownInTheAirThenBumpedAfterEachBounce) {
    PhysicsBodyData* b = body();
    vimo_release(vimo, {}, {}, MOUSE_BUTTON_LEFT);
    const float dt = 1.0f / 32;
    b->isGrounded = false;
    EXPECT_EQ(vimo_pose(b, dt, 0), "thrown");
    EXPECT_EQ(vimo_pose(b, dt, 0), "thrown");
    b->isGrounded = true;  // touches down
    EXPECT_EQ(vimo_pose(b, dt, 0), "landed");
    b->isGrounded = false;  // bounces up: 0.1 s of "bumped"
    std::vector<std::string> poses;
    for (int i = 0; i < 5; i++) poses.push_back(vimo_pose(b, dt, 0));
    EXPECT_EQ(poses, (std::vector<std::string>{"bumped", "bumped", "bumped", "thrown", "thrown"}));
    EXPECT_TRUE(vimo_was_thrown);

    // The release always starts from "not grounded", also mid-air.
    vimo_was_grounded = true;
    vimo_release(vimo, {}, {}, MOUSE_BUTTON_RIGHT);
    EXPECT_TRUE(vimo_was_thrown);
    EXPECT_FALSE(vimo_was_grounded);
}

TEST_F(VimoTest, AThrowOntoANewerWallEnds) {
    // Walls around a window below the mascot, made after it (as they are
    // after every click): the engine never marks the mascot grounded on them.
    int* walls = createWalls({760, 620, 400, 300}, 16, INT_MAX);  // top wall: y 604 .. 620
    PhysicsBodyData* b = body();
    vimo_release(vimo, {}, {}, MOUSE_BUTTON_LEFT);
    std::vector<std::string> poses;
    float t = 0;
    for (int frame = 0; frame < 120 && vimo_was_thrown; frame++) {
        for (int step = 0; step < 10; step++) PhysicsStep();
        PhysicsLock lock;
        EXPECT_FALSE(b->isGrounded);
        poses.push_back(vimo_pose(b, 1.0f / 60, t));
        PhysicsCollision ignored;
        PhysicsTakeCollision(b, &ignored);  // the frame loop's delivery
        t += 1.0f / 60;
    }
    delete[] walls;
    EXPECT_FALSE(vimo_was_thrown);
    ASSERT_FALSE(poses.empty());
    EXPECT_EQ(poses.front(), "landed");
    EXPECT_EQ(poses.back(), "idle");
    EXPECT_NEAR(b->position.y, 540, 2);

    // A push from the side or from above is not standing on anything.
    PhysicsBodyData fake{};
    fake.collidedWith = 3;
    fake.collisionNormal = {1, 0};
    fake.collisionDelta = {0.4f, -0.001f};  // bumped into a wall while falling
    EXPECT_FALSE(vimo_grounded(&fake));
    fake.collisionNormal = {0, 1};
    EXPECT_FALSE(vimo_grounded(&fake));
    fake.collisionNormal = {0, -1};
    EXPECT_TRUE(vimo_grounded(&fake));
    fake.collidedWith = -1;
    EXPECT_FALSE(vimo_grounded(&fake));
}

TEST_F(VimoTest, StandingInACornerOfNewerWallsIsGrounded) {
    // Walls made after the mascot (a window's, rebuilt after every click):
    // the engine never marks it grounded on them, and in the corner the last
    // push of a frame comes from the side wall. Standing there is "idle", not
    // "fall".
    PhysicsBodyData* b = body();
    b->position = {700, 500};
    int* walls = createWalls(Rectangle{636, 0, 600, 564}, 16, INT_MAX);
    vimo_move_timer = 100;
    vimo_was_thrown = false;
    std::vector<std::string> poses;
    float t = 0;
    for (int frame = 0; frame < 60; frame++) {
        b->velocity.x = -0.3f;  // leaning into the left wall, as a walk does
        for (int step = 0; step < 10; step++) PhysicsStep();
        PhysicsLock lock;
        EXPECT_FALSE(b->isGrounded);
        poses.push_back(vimo_pose(b, 1.0f / 60, t));
        PhysicsCollision ignored;
        PhysicsTakeCollision(b, &ignored);
        t += 1.0f / 60;
    }
    delete[] walls;
    EXPECT_NEAR(b->position.x, 700, 2);
    EXPECT_NEAR(b->position.y, 500, 2);
    EXPECT_EQ(std::count(poses.end() - 30, poses.end(), "idle"), 30) << poses.back();
}

TEST_F(VimoTest, UpdateSetsPictureAndJumpLayer) {
    PhysicsBodyData* b = body();
    vimo_move_timer = 100;
    b->isGrounded = false;
    b->velocity = {0, -0.5f};
    vimo_update(vimo, 1.0f / 60, 10);
    EXPECT_EQ(vimo->drawables[0].source, "assets/vimo/jump");
    EXPECT_EQ(b->collisionLayer, INT_MIN);
    b->velocity = {0, 0.5f};
    vimo_update(vimo, 1.0f / 60, 10);
    EXPECT_EQ(vimo->drawables[0].source, "assets/vimo/fall");
    EXPECT_EQ(b->collisionLayer, 0);
}

TEST_F(VimoTest, CannotBeDraggedWhileLiveUnlessSnoozed) {
    PhysicsBodyData* b = body();
    live = true;
    vimo_drag(vimo, {}, {vimo->position.x + 100, vimo->position.y}, MOUSE_BUTTON_LEFT);
    EXPECT_EQ(b->force.x, 0);
    snoozed = true;
    vimo_drag(vimo, {}, {vimo->position.x + 100, vimo->position.y}, MOUSE_BUTTON_LEFT);
    EXPECT_GT(b->force.x, 0);
}

}  // namespace
