// Integration, the accumulator and the bodies that must not move.
#include "physics/physics_fixture.h"

namespace {

TEST_F(PhysicsTest, GravityIsScaledByTheStepOverAThousand) {
    PhysicsBodyData* box = CreatePhysicsBodyRectangle({100, 100}, 10, 10, 1);
    PhysicsStep();
    EXPECT_NEAR(box->velocity.y, 9.81 * 1.6666666666666665 / 1000.0, 1e-7);
    EXPECT_EQ(box->velocity.x, 0.0f);
    Steps(59);
    EXPECT_NEAR(box->velocity.y, 0.981, 1e-5);
    EXPECT_GT(box->position.y, 100.0f);
}

TEST_F(PhysicsTest, ForcesScaleByTheStepAndAreClearedAfterIt) {
    PhysicsBodyData* box = CreatePhysicsBodyRectangle({100, 100}, 10, 10, 1);  // mass 100
    box->useGravity = false;
    PhysicsAddForce(box, {100, 0});
    PhysicsStep();
    EXPECT_NEAR(box->velocity.x, 1.6666666666666665, 1e-6);
    EXPECT_EQ(box->force.x, 0.0f);
    PhysicsStep();
    EXPECT_NEAR(box->velocity.x, 1.6666666666666665, 1e-6);
}

TEST_F(PhysicsTest, DisabledAndStaticBodiesStayPut) {
    PhysicsBodyData* disabled = CreatePhysicsBodyRectangle({100, 100}, 10, 10, 1);
    disabled->enabled = false;
    disabled->velocity = {1, 1};
    PhysicsBodyData* heavy = CreatePhysicsBodyRectangle({300, 100}, 10, 10, 0);  // mass 0: static
    Steps(30);
    EXPECT_EQ(disabled->position.x, 100.0f);
    EXPECT_EQ(disabled->position.y, 100.0f);
    EXPECT_EQ(heavy->velocity.y, 0.0f);  // no gravity on an infinite mass
    EXPECT_EQ(heavy->position.y, 100.0f);
}

TEST_F(PhysicsTest, FrozenRotationNeverTurns) {
    PhysicsBodyData* box = CreatePhysicsBodyRectangle({10, 10}, 10, 10, 1);
    box->freezeRotation = true;
    PhysicsAddTorque(box, 1e6f);
    box->angularVelocity = 0.5f;
    Steps(10);
    EXPECT_EQ(box->rotation, 0.0f);
    EXPECT_EQ(box->angularVelocity, 0.5f);
}

TEST_F(PhysicsTest, HundredMillisecondsOfCatchUpRunFiftyNineSteps) {
    {
        PhysicsLock lock;
        PhysicsWorld::startTime = 0.0;
        PhysicsWorld::accumulator = 0.0;
    }
    uint32_t before = PhysicsWorld::stepsCount;
    EXPECT_EQ(RunPhysicsPassAt(100.0), 59);
    EXPECT_EQ(PhysicsWorld::stepsCount - before, 59u);
    // Just under one step is kept for the next pass.
    EXPECT_GT(PhysicsWorld::accumulator, 1.6666666666666);
    EXPECT_LT(PhysicsWorld::accumulator, 1.6666666666666665);
    EXPECT_EQ(PhysicsWorld::startTime, 100.0);
    // The remainder is not lost: a tiny bit more time completes the step.
    EXPECT_EQ(RunPhysicsPassAt(100.001), 1);
    EXPECT_EQ(RunPhysicsPassAt(100.002), 0);
}

TEST_F(PhysicsTest, TimeStepAndGravityAreSettable) {
    SetPhysicsGravity(0, 0);
    SetPhysicsTimeStep(10.0);
    PhysicsBodyData* box = CreatePhysicsBodyRectangle({0, 0}, 10, 10, 1);
    box->velocity = {1, 0};
    PhysicsStep();
    EXPECT_FLOAT_EQ(box->position.x, 10.0f);
    EXPECT_EQ(box->velocity.y, 0.0f);
    {
        PhysicsLock lock;
        PhysicsWorld::startTime = 0.0;
        PhysicsWorld::accumulator = 0.0;
    }
    EXPECT_EQ(RunPhysicsPassAt(35.0), 3);
}

}  // namespace
