// Shared set-up for the physics tests: every test starts from an empty world
// with the default gravity and time step, and leaves one behind.
#pragma once

#include <gtest/gtest.h>

#include <cfloat>

#include "physics/physics.h"

class PhysicsTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }

    static void Reset() {
        ClosePhysics();
        SetPhysicsGravity(0.0f, 9.81f);
        SetPhysicsTimeStep(1.6666666666666665);
        PhysicsLock lock;
        PhysicsWorld::accumulator = 0.0;
        PhysicsWorld::startTime = 0.0;
    }

    // A static screen wall as the application makes them: infinite mass,
    // disabled, bouncy, frictionless at rest.
    static PhysicsBodyData* Wall(Vector2 centre, float width, float height, int layer = 2147483647) {
        PhysicsBodyData* wall = CreatePhysicsBodyRectangle(centre, width, height, FLT_MAX);
        wall->restitution = 1.0f;
        wall->enabled = false;
        wall->staticFriction = 0.0f;
        wall->dynamicFriction = 1.0f;
        wall->collisionLayer = layer;
        return wall;
    }

    static void Steps(int n) {
        for (int i = 0; i < n; i++) PhysicsStep();
    }
};
