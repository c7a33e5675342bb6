// Body creation, ids, the table, mass and inertia, vertices, queries, layers,
// destruction and randf.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "physics/physics_fixture.h"

namespace {

TEST_F(PhysicsTest, IdsAreSmallestFreeAndTheTableShiftsOnDestroy) {
    PhysicsBodyData* a = CreatePhysicsBodyRectangle({10, 10}, 10, 10, 1);
    PhysicsBodyData* b = CreatePhysicsBodyRectangle({30, 10}, 10, 10, 1);
    PhysicsBodyData* c = CreatePhysicsBodyRectangle({50, 10}, 10, 10, 1);
    EXPECT_EQ(a->id, 0u);
    EXPECT_EQ(b->id, 1u);
    EXPECT_EQ(c->id, 2u);

    DestroyPhysicsBody(a);
    ASSERT_EQ(GetPhysicsBodiesCount(), 2);
    EXPECT_EQ(GetPhysicsBody(0), b);  // later entries moved down, ids kept
    EXPECT_EQ(GetPhysicsBody(1), c);
    EXPECT_EQ(GetPhysicsBodyByID(0), nullptr);
    EXPECT_EQ(GetPhysicsBodyByID(2), c);

    // Id 0 is free again at once, although higher ids are alive; the new body
    // goes to the end of the table.
    PhysicsBodyData* d = CreatePhysicsBodyCircle({70, 10}, 5, 1);
    EXPECT_EQ(d->id, 0u);
    EXPECT_EQ(GetPhysicsBody(2), d);
    EXPECT_EQ(GetPhysicsBodyByID(0), d);
    EXPECT_EQ(GetPhysicsBodyByID(-1), nullptr);
    EXPECT_EQ(GetPhysicsBodyByID(4096), nullptr);
}

TEST_F(PhysicsTest, DestroyingAStalePointerLeavesTheBodyThatReusedItsId) {
    PhysicsBodyData* a = CreatePhysicsBodyRectangle({10, 10}, 10, 10, 1);
    DestroyPhysicsBody(a);
    PhysicsBodyData* b = CreatePhysicsBodyRectangle({20, 10}, 10, 10, 1);
    ASSERT_EQ(b->id, 0u);
    DestroyPhysicsBody(a);        // already destroyed: ignored
    DestroyPhysicsBody(nullptr);  // ignored
    EXPECT_EQ(GetPhysicsBodiesCount(), 1);
    EXPECT_EQ(GetPhysicsBodyByID(0), b);
}

TEST_F(PhysicsTest, CreatorsReturnNullWhenAllIdsAreInUse) {
    std::vector<PhysicsBodyData*> made;
    for (int i = 0; i < PHYSICS_MAX_BODIES; i++) {
        PhysicsBodyData* body = CreatePhysicsBodyRectangle({float(i % 64) * 20, float(i / 64) * 20}, 4, 4, 1);
        ASSERT_NE(body, nullptr) << i;
        made.push_back(body);
    }
    EXPECT_EQ(CreatePhysicsBodyRectangle({0, 0}, 4, 4, 1), nullptr);
    EXPECT_EQ(CreatePhysicsBodyCircle({0, 0}, 4, 1), nullptr);
    EXPECT_EQ(CreatePhysicsBodyPolygon({0, 0}, 4, 3, 1), nullptr);
    EXPECT_EQ(GetPhysicsBodiesCount(), PHYSICS_MAX_BODIES);

    // More than 128 destroyed between two steps all wait in the pending list.
    for (int i = 0; i < 300; i++) DestroyPhysicsBody(made[1000 + i]);
    PhysicsBodyData* again = CreatePhysicsBodyRectangle({0, 0}, 4, 4, 1);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->id, 1000u);
    {
        PhysicsLock lock;
        EXPECT_EQ(PhysicsWorld::bodiesToDelete.size(), 300u);
    }
    PhysicsStep();
    PhysicsLock lock;
    EXPECT_TRUE(PhysicsWorld::bodiesToDelete.empty());
}

TEST_F(PhysicsTest, BoxInertiaIsTakenAboutTheWorldOrigin) {
    PhysicsBodyData* far = CreatePhysicsBodyRectangle({500, 300}, 100, 100, 1);
    EXPECT_FLOAT_EQ(far->mass, 10000.0f);
    EXPECT_FLOAT_EQ(far->inverseMass, 1.0f / 10000.0f);
    EXPECT_NEAR(far->inertia, 10000.0 * (20000.0 / 12.0 + 340000.0), 3.4167e9 * 1e-5);
    EXPECT_NEAR(far->inverseInertia, 1.0 / far->inertia, 1e-15);

    PhysicsBodyData* origin = CreatePhysicsBodyRectangle({0, 0}, 100, 100, 1);
    EXPECT_NEAR(origin->inertia, 10000.0 * 20000.0 / 12.0, 1.6667e7 * 1e-5);

    // Vertices are stored about the centre, normals point out in winding order.
    const PhysicsShape& s = far->shape;
    ASSERT_EQ(s.vertexCount, 4u);
    EXPECT_NEAR(s.positions[0].x, 50, 1e-3);
    EXPECT_NEAR(s.positions[0].y, -50, 1e-3);
    EXPECT_NEAR(s.positions[2].x, -50, 1e-3);
    EXPECT_NEAR(s.positions[2].y, 50, 1e-3);
    const Vector2 normals[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    for (int i = 0; i < 4; i++) {
        EXPECT_FLOAT_EQ(s.normals[i].x, normals[i].x) << i;
        EXPECT_FLOAT_EQ(s.normals[i].y, normals[i].y) << i;
    }
    EXPECT_EQ(s.body, far);
    EXPECT_FLOAT_EQ(s.transform.m00, 1.0f);
    EXPECT_TRUE(std::signbit(s.transform.m01));

    // Walls: the largest float as density gives a static body.
    PhysicsBodyData* wall = CreatePhysicsBodyRectangle({960, -128}, 2432, 256, FLT_MAX);
    EXPECT_EQ(wall->inverseMass, 0.0f);
    EXPECT_EQ(wall->inverseInertia, 0.0f);
}

TEST_F(PhysicsTest, CircleAndRegularPolygonShapes) {
    PhysicsBodyData* circle = CreatePhysicsBodyCircle({0, 0}, 10, 2);
    EXPECT_EQ(circle->shape.type, SHAPE_CIRCLE);
    EXPECT_FLOAT_EQ(circle->mass, float(M_PI * 10 * 10 * 2));
    EXPECT_FLOAT_EQ(circle->inertia, circle->mass * 100);

    // A square on a circle of radius r has side r * sqrt(2): area 2 r^2,
    // and its inertia is about its own centre.
    PhysicsBodyData* square = CreatePhysicsBodyPolygon({400, 400}, 10, 4, 1);
    ASSERT_NE(square, nullptr);
    EXPECT_NEAR(square->mass, 200.0f, 1e-3);
    EXPECT_NEAR(square->inertia, 200.0 * (400.0 / 12.0), 1e-2);
    EXPECT_FLOAT_EQ(square->position.x, 400.0f);

    PhysicsBodyData* triangle = CreatePhysicsBodyPolygon({0, 0}, 10, 3, 1);
    ASSERT_NE(triangle, nullptr);
    EXPECT_EQ(triangle->shape.vertexCount, 3u);
    EXPECT_NEAR(triangle->mass, 3.0 * std::sqrt(3.0) / 4.0 * 100.0, 1e-3);

    EXPECT_EQ(CreatePhysicsBodyPolygon({0, 0}, 10, 2, 1), nullptr);
    EXPECT_EQ(CreatePhysicsBodyPolygon({0, 0}, 10, 5, 1), nullptr);
}

TEST_F(PhysicsTest, ShapeQueriesAndVertices) {
    CreatePhysicsBodyCircle({0, 0}, 10, 1);
    PhysicsBodyData* box = CreatePhysicsBodyRectangle({100, 100}, 40, 20, 1);
    EXPECT_EQ(GetPhysicsShapeType(0), SHAPE_CIRCLE);
    EXPECT_EQ(GetPhysicsShapeType(1), SHAPE_POLYGON);
    EXPECT_EQ(GetPhysicsShapeType(2), -1);
    EXPECT_EQ(GetPhysicsShapeType(-1), -1);
    EXPECT_EQ(GetPhysicsShapeVerticesCount(0), 24);
    EXPECT_EQ(GetPhysicsShapeVerticesCount(1), 4);
    EXPECT_EQ(GetPhysicsShapeVerticesCount(2), 0);

    Vector2 v = GetPhysicsShapeVertex(box, 0);
    EXPECT_NEAR(v.x, 120, 1e-4);
    EXPECT_NEAR(v.y, 90, 1e-4);
    SetPhysicsBodyRotation(box, float(M_PI / 2));
    v = GetPhysicsShapeVertex(box, 0);
    EXPECT_NEAR(v.x, 110, 1e-4);
    EXPECT_NEAR(v.y, 120, 1e-4);

    Vector2 c = GetPhysicsShapeVertex(GetPhysicsBody(0), 6);  // 90 degrees: straight down the screen
    EXPECT_NEAR(c.x, 0, 1e-5);
    EXPECT_NEAR(c.y, 10, 1e-5);
    Vector2 none = GetPhysicsShapeVertex(nullptr, 0);
    EXPECT_EQ(none.x, 0.0f);
    EXPECT_EQ(none.y, 0.0f);
}

TEST_F(PhysicsTest, LayerTable) {
    const int32_t MIN = INT_MIN, MAX = INT_MAX;
    EXPECT_TRUE(PhysicsLayersCollide(MIN, MIN));
    EXPECT_FALSE(PhysicsLayersCollide(MIN, 0));
    EXPECT_FALSE(PhysicsLayersCollide(MIN, MAX));
    EXPECT_FALSE(PhysicsLayersCollide(7, MIN));
    EXPECT_FALSE(PhysicsLayersCollide(MAX, MIN));
    EXPECT_TRUE(PhysicsLayersCollide(MAX, 0));
    EXPECT_TRUE(PhysicsLayersCollide(MAX, -5));
    EXPECT_TRUE(PhysicsLayersCollide(MAX, MAX));
    EXPECT_TRUE(PhysicsLayersCollide(3, MAX));
    EXPECT_TRUE(PhysicsLayersCollide(5, 5));
    EXPECT_TRUE(PhysicsLayersCollide(0, 0));
    EXPECT_FALSE(PhysicsLayersCollide(5, 6));
    EXPECT_FALSE(PhysicsLayersCollide(0, 1));
}

TEST_F(PhysicsTest, ForcesAndTorqueAreAddedAndIgnoreNull) {
    PhysicsBodyData* box = CreatePhysicsBodyRectangle({0, 0}, 10, 10, 1);
    PhysicsAddForce(box, {1, 2});
    PhysicsAddForce(box, {1, 2});
    PhysicsAddTorque(box, 3);
    PhysicsAddForce(nullptr, {1, 1});
    PhysicsAddTorque(nullptr, 1);
    SetPhysicsBodyRotation(nullptr, 1);
    EXPECT_FLOAT_EQ(box->force.x, 2);
    EXPECT_FLOAT_EQ(box->force.y, 4);
    EXPECT_FLOAT_EQ(box->torque, 3);
}

TEST_F(PhysicsTest, ShatterReplacesAPolygonByTriangles) {
    PhysicsBodyData* box = CreatePhysicsBodyRectangle({200, 200}, 40, 40, 1);
    box->collisionLayer = 4;
    const float mass = box->mass;
    PhysicsShatter(box, {200, 200}, 1000);
    ASSERT_EQ(GetPhysicsBodiesCount(), 4);
    float total = 0;
    for (int i = 0; i < 4; i++) {
        PhysicsBodyData* piece = GetPhysicsBody(i);
        EXPECT_EQ(piece->shape.vertexCount, 3u);
        EXPECT_EQ(piece->collisionLayer, 4);
        total += piece->mass;
        // Each piece flies away from the point of the blast.
        float dx = piece->position.x - 200, dy = piece->position.y - 200;
        EXPECT_GT(dx * piece->velocity.x + dy * piece->velocity.y, 0.0f) << i;
    }
    EXPECT_NEAR(total, mass, mass * 1e-4);

    PhysicsBodyData* circle = CreatePhysicsBodyCircle({0, 0}, 5, 1);
    PhysicsShatter(circle, {0, 0}, 10);
    EXPECT_EQ(GetPhysicsBodiesCount(), 5);
}

TEST(PhysicsRandom, RandfStaysInZeroToOne) {
    srand(12345);
    float lo = 1, hi = 0;
    for (int i = 0; i < 20000; i++) {
        float r = randf();
        ASSERT_GE(r, 0.0f);
        ASSERT_LE(r, 1.0f);
        lo = std::min(lo, r);
        hi = std::max(hi, r);
    }
    EXPECT_LT(lo, 0.01f);
    EXPECT_GT(hi, 0.99f);
    srand(7);
    float first = randf();
    srand(7);
    EXPECT_EQ(randf(), first);
}

}  // namespace
