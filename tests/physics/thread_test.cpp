// The physics thread against a main thread that creates, destroys, reads and
// delivers collision records while steps run. Run under ThreadSanitizer too.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "physics/physics_fixture.h"

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

}  // namespace
