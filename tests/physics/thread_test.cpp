// The physics thread against a main thread that creates, destroys, reads and
// delivers collision records while steps run. Run under ThreadSanitizer too.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "physics/physics_fixture.h"
#include "physics/physics_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

// Polls cond until it holds or the deadline passes; returns whether it held.
template <typename Cond>
bool WaitFor(Cond cond, std::chrono::seconds limit = std::chrono::seconds(10)) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (cond()) return true;
        std::this_thread::yield();
    }
    return cond();
}

uint32_t StepsSoFar() {
    PhysicsLock lock;
    return PhysicsWorld::stepsCount;
}

TEST_F(PhysicsTest, ThreadStartsStepsAndStops) {
    InitPhysics();
    ASSERT_TRUE(WaitFor([] { return IsPhysicsEnabled(); }));
    const uint32_t start = StepsSoFar();
    EXPECT_TRUE(WaitFor([&] { return StepsSoFar() >= start + 60; }));
    ClosePhysics();
    EXPECT_FALSE(IsPhysicsEnabled());
    const uint32_t after = StepsSoFar();
    EXPECT_EQ(StepsSoFar(), after);  // joined: nothing steps any more

    // Closing right after starting, before the thread has run, still ends it.
    for (int i = 0; i < 20; i++) {
        InitPhysics();
        ClosePhysics();
    }
    EXPECT_FALSE(IsPhysicsEnabled());
}

TEST_F(PhysicsTest, MainThreadWorksOnTheWorldWhileTheThreadSteps) {
    InitPhysics();
    ASSERT_TRUE(WaitFor([] { return IsPhysicsEnabled(); }));
    // Screen walls as start-up makes them.
    Wall({960, -128}, 2432, 256);
    PhysicsBodyData* floor = Wall({960, 1080 + 128}, 2432, 256);
    Wall({-128, 540}, 256, 1592);
    Wall({1920 + 128, 540}, 256, 1592);

    std::vector<int> live;
    int delivered = 0;
    for (int frame = 0; frame < 300; frame++) {
        // Spawn and remove like chat boxes and blocks do.
        PhysicsBodyData* box = CreatePhysicsBodyRectangle({100.0f + (frame % 40) * 40, 1050.0f}, 32, 32, 1);
        ASSERT_NE(box, nullptr);
        {
            PhysicsLock lock;
            box->restitution = 0.5f;
            box->velocity = {0.0f, 0.2f};
        }
        live.push_back(int(box->id));
        if (live.size() > 40) {
            DestroyPhysicsBody(GetPhysicsBodyByID(live.front()));
            live.erase(live.begin());
        }
        // The frame loop: sync from the body, deliver its collision record.
        for (int id : live) {
            PhysicsBodyData* body = GetPhysicsBodyByID(id);
            ASSERT_NE(body, nullptr);
            {
                PhysicsLock lock;
                ASSERT_TRUE(std::isfinite(body->position.y));
                (void)body->velocity.x;
            }
            (void)GetPhysicsShapeVertex(body, 0);
            PhysicsCollision hit;
            if (PhysicsTakeCollision(body, &hit)) {
                delivered++;
                EXPECT_GE(hit.collidedWith, 0);
            }
        }
        // Let the world move on by two steps before the next frame.
        const uint32_t now = StepsSoFar();
        ASSERT_TRUE(WaitFor([&] { return StepsSoFar() >= now + 2; }));
    }
    // The last box falls onto the floor and comes to rest there.
    PhysicsBodyData* last = GetPhysicsBodyByID(live.back());
    EXPECT_TRUE(WaitFor([&] {
        PhysicsLock lock;
        return last->isGrounded && last->position.y > 1080 - 20;
    }));
    PhysicsCollision hit;
    ASSERT_TRUE(PhysicsTakeCollision(last, &hit));
    EXPECT_EQ(hit.collidedWith, int32_t(floor->id));
    EXPECT_LT(hit.collisionNormal.y, 0.0f);
    std::printf("records delivered during the frames: %d\n", delivered);
    EXPECT_EQ(GetPhysicsBodiesCount(), 4 + 40);
    {
        PhysicsLock lock;
        EXPECT_EQ(floor->collidedWith, -1);  // disabled: records nothing
    }
    ClosePhysics();
    EXPECT_EQ(GetPhysicsBodiesCount(), 0);
}

TEST_F(PhysicsTest, RestMeansEveryMovingBodyNearlyStill) {
    using physics_detail::REST_SPEED;
    using physics_detail::REST_TURN;
    using physics_detail::WorldAtRest;
    EXPECT_TRUE(WorldAtRest());  // an empty world
    PhysicsBodyData* wall = Wall({500, 500}, 100, 20);
    PhysicsBodyData* box = CreatePhysicsBodyRectangle({500, 300}, 32, 32, 1);
    PhysicsBodyData* heavy = CreatePhysicsBodyRectangle({100, 300}, 32, 32, 0);  // no mass: never moves
    PhysicsLock lock;
    wall->velocity = {5, 5};  // disabled: never moves either
    heavy->velocity = {5, 5};
    box->velocity = {REST_SPEED, -REST_SPEED};
    box->angularVelocity = -REST_TURN;
    EXPECT_TRUE(WorldAtRest());
    box->velocity = {0, REST_SPEED * 1.5f};
    EXPECT_FALSE(WorldAtRest());
    box->velocity = {0, 0};
    box->angularVelocity = REST_TURN * 1.5f;
    EXPECT_FALSE(WorldAtRest());
    box->angularVelocity = std::nanf("");
    EXPECT_FALSE(WorldAtRest());  // a broken body is never taken for resting
}

// A box lying on the floor under gravity is at rest step after step; one that
// slides at twice a step of gravity's speed is not.
TEST_F(PhysicsTest, ABoxLyingOnTheFloorIsAtRestASlidingOneIsNot) {
    using physics_detail::WorldAtRest;
    Wall({500, 600}, 1000, 100);  // top edge at y = 550
    PhysicsBodyData* box = CreatePhysicsBodyRectangle({500, 500}, 32, 32, 1);
    Steps(600);  // a second to fall and settle
    int atRest = 0;
    for (int s = 0; s < 600; s++) {
        PhysicsStep();
        atRest += WorldAtRest();
    }
    EXPECT_GE(atRest, 590);
    PhysicsLock lock;
    EXPECT_NEAR(box->position.y, 534.0f, 1.0f);  // lying on the wall
    box->velocity.x = 0.033f;
    EXPECT_FALSE(WorldAtRest());
}

TEST_F(PhysicsTest, ThreadWakesLessOftenWhileEverythingRests) {
    using physics_detail::physicsWakeUps;
    // A ball without gravity, far from everything: at rest, then moving.
    PhysicsBodyData* ball = CreatePhysicsBodyCircle({500, 500}, 10, 1);
    {
        PhysicsLock lock;
        ball->useGravity = false;
    }
    InitPhysics();
    ASSERT_TRUE(WaitFor([] { return IsPhysicsEnabled(); }));
    auto measure = [](uint32_t steps, uint32_t* wakeUps) {
        const uint32_t firstStep = StepsSoFar(), firstWake = physicsWakeUps.load();
        EXPECT_TRUE(WaitFor([&] { return StepsSoFar() >= firstStep + steps; }));
        *wakeUps = physicsWakeUps.load() - firstWake;
        return StepsSoFar() - firstStep;
    };
    // At rest: one wake-up per REST_STEPS_PER_WAKE steps (fewer when late).
    uint32_t wakeUps = 0;
    uint32_t steps = measure(240, &wakeUps);
    EXPECT_LE(wakeUps, steps / 4 + 2) << steps << " steps";
    // Moving: a wake-up per step (catch-ups on a busy machine merge a few).
    {
        PhysicsLock lock;
        ball->velocity = {0.1f, 0.0f};
    }
    measure(6, &wakeUps);  // the thread notices within one resting sleep
    steps = measure(240, &wakeUps);
    EXPECT_GT(wakeUps, steps / 4 + 2) << steps << " steps";
    {
        PhysicsLock lock;
        EXPECT_GT(ball->position.x, 510.0f);  // it kept moving throughout
    }
    ClosePhysics();
}

}  // namespace
