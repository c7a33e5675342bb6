// Contact generation inside a step (the pair tests and the contact records),
// the mixing of coefficients, and the positional correction. The pairs come
// from broad_phase.cpp; the impulse passes are in contact_solver.cpp; pairs of
// four-vertex polygons are tested in SIMD lanes by box_lanes.cpp, a group at a
// time, on the words FillWorldShapes fills here (layout in lane_records.h).
//
// Where each formula of the shape tests lives (change them together, in the
// same order of operations: the lanes must give the plain path's bits):
//  - world-space vertices and normals of a polygon: FillWorldShapes (once per
//    step, for the plain path) and SolveBoxLanes (box_lanes.cpp, per pair, in
//    lanes);
//  - the polygon test (least-penetration axis with its support search, the
//    reference and incident faces, clipping, contact points and depth):
//    SolvePolygonToPolygon with FindAxisLeastPenetration, GetSupport and
//    ClipSegment (the plain path, any polygons) and SolveBoxLanes
//    (box_lanes.cpp: the lane kernel, pairs of four-vertex polygons, every
//    SIMD target Highway builds);
//  - circles: SolveCircleToCircle and SolveDifferentShapes only.
//
// Every function here runs on the stepping thread with PhysicsMutex() held.
#include <algorithm>
#include <cfloat>

#include "physics/lane_records.h"

using namespace PhysicsWorld;

namespace physics_detail {

bool preparedTwins = true;
bool boxLanes = true;

std::vector<WorldShape> worldShapes;
ContactPair contactPairs[PHYSICS_MAX_MANIFOLDS];
bool contactIsTwin[PHYSICS_MAX_MANIFOLDS];

namespace {

// Records are reused from step to step instead of being allocated and freed:
// contacts[i] always points at manifoldPool[i].
PhysicsManifoldData manifoldPool[PHYSICS_MAX_MANIFOLDS];
struct PoolInit {
    PoolInit() {
        for (int i = 0; i < PHYSICS_MAX_MANIFOLDS; i++) contacts[i] = &manifoldPool[i];
    }
} poolInit;

std::vector<float> boxWords;              // BOX_WORDS words per body by table index (four-vertex polygons)
std::vector<int32_t> boxPairA, boxPairB;  // this step's box pairs: word offsets of their bodies in boxWords
std::vector<BoxResults> boxResults;       // one per group

// Transforms and positions do not change in the contact phase: each polygon's
// world-space vertices and normals once per step, as vertex = transform x
// model vertex + position, normal = transform x model normal.
void FillWorldShapes() {
    worldShapes.resize(physicsBodiesCount);
    if (boxLanes) boxWords.resize(static_cast<size_t>(physicsBodiesCount) * BOX_WORDS);
    for (uint32_t i = 0; i < physicsBodiesCount; i++) {
        const PhysicsBodyData* body = bodies[i];
        const PhysicsShape& shape = body->shape;
        if (shape.type != SHAPE_POLYGON) continue;
        WorldShape& w = worldShapes[i];
        // Copies, so the stores below (floats too) do not make the compiler read them again.
        const Matrix2x2 t = shape.transform;
        const Vector2 position = body->position;
        for (uint32_t k = 0; k < shape.vertexCount && k < PHYSICS_MAX_VERTICES; k++) {
            w.vertices[k] = Add(MatMul(t, shape.positions[k]), position);
            w.normals[k] = MatMul(t, shape.normals[k]);
        }
        if (!boxLanes || shape.vertexCount != 4) continue;
        float* q = &boxWords[static_cast<size_t>(i) * BOX_WORDS];
        for (uint32_t k = 0; k < 4; k++) {
            q[BW_MX + k] = shape.positions[k].x, q[BW_MY + k] = shape.positions[k].y;
            q[BW_MNX + k] = shape.normals[k].x, q[BW_MNY + k] = shape.normals[k].y;
        }
        q[BW_T00] = t.m00, q[BW_T01] = t.m01, q[BW_T10] = t.m10, q[BW_T11] = t.m11;
        q[BW_PX] = position.x, q[BW_PY] = position.y;
    }
}


// ---- Records ---------------------------------------------------------------------


PhysicsManifoldData* NewManifold(PhysicsBodyData* a, PhysicsBodyData* b, uint32_t ia, uint32_t ib) {
    if (physicsManifoldsCount + 1 > PHYSICS_MANIFOLD_LIMIT) return nullptr;
    contactPairs[physicsManifoldsCount] = {ia, ib};
    contactIsTwin[physicsManifoldsCount] = false;
    PhysicsManifoldData* m = contacts[physicsManifoldsCount++];
    *m = PhysicsManifoldData{};
    m->id = physicsManifoldsCount;
    m->bodyA = a;
    m->bodyB = b;
    usedMemory += sizeof(PhysicsManifoldData);
    return m;
}

// ---- Shape tests -----------------------------------------------------------------

void SolveCircleToCircle(PhysicsManifoldData* m) {
    PhysicsBodyData* A = m->bodyA;
    PhysicsBodyData* B = m->bodyB;
    Vector2 normal = Sub(B->position, A->position);
    float distSqr = LenSqr(normal);
    float radius = A->shape.radius + B->shape.radius;
    if (distSqr >= radius * radius) {
        m->contactsCount = 0;
        return;
    }
    float distance = std::sqrt(distSqr);
    m->contactsCount = 1;
    if (distance == 0.0f) {
        m->penetration = A->shape.radius;
        m->normal = {1.0f, 0.0f};
        m->contactPoints[0] = A->position;
    } else {
        m->penetration = radius - distance;
        m->normal = {normal.x / distance, normal.y / distance};
        m->contactPoints[0] = Add(Scale(m->normal, A->shape.radius), A->position);
    }
    if (!A->isGrounded) A->isGrounded = m->normal.y < 0.0f;
}

// Circle against polygon; the normal points from the circle towards the polygon.
void SolveDifferentShapes(PhysicsManifoldData* m, PhysicsBodyData* circle, PhysicsBodyData* polygon) {
    m->contactsCount = 0;
    const PhysicsShape& poly = polygon->shape;
    const float radius = circle->shape.radius;
    Vector2 centre = MatTMul(poly.transform, Sub(circle->position, polygon->position));
    float separation = -FLT_MAX;
    uint32_t face = 0;
    for (uint32_t i = 0; i < poly.vertexCount; i++) {
        float s = Dot(poly.normals[i], Sub(centre, poly.positions[i]));
        if (s > radius) return;
        if (s > separation) {
            separation = s;
            face = i;
        }
    }
    if (poly.vertexCount == 0) return;
    Vector2 v1 = poly.positions[face];
    Vector2 v2 = poly.positions[(face + 1) % poly.vertexCount];
    if (separation < PHYSICS_EPSILON) {
        m->contactsCount = 1;
        m->normal = Negate(MatMul(poly.transform, poly.normals[face]));
        m->contactPoints[0] = Add(Scale(m->normal, radius), circle->position);
        m->penetration = radius;
        return;
    }
    float dot1 = Dot(Sub(centre, v1), Sub(v2, v1));
    float dot2 = Dot(Sub(centre, v2), Sub(v1, v2));
    float penetration = radius - separation;
    if (dot1 <= 0.0f || dot2 <= 0.0f) {
        // Past an end of the face: that corner (v1 when past both).
        const Vector2 corner = dot1 <= 0.0f ? v1 : v2;
        if (LenSqr(Sub(centre, corner)) > radius * radius) return;
        m->normal = Normalize(MatMul(poly.transform, Sub(corner, centre)));
        m->contactPoints[0] = Add(MatMul(poly.transform, corner), polygon->position);
    } else {
        Vector2 n = poly.normals[face];
        if (Dot(Sub(centre, v1), n) > radius) return;
        m->normal = Negate(MatMul(poly.transform, n));
        m->contactPoints[0] = Add(Scale(m->normal, radius), circle->position);
    }
    m->contactsCount = 1;
    m->penetration = penetration;
}


// The vertex of shape furthest along dir (first on ties); (0, 0) when none.
Vector2 GetSupport(const PhysicsShape& shape, Vector2 dir) {
    float bestProjection = -FLT_MAX;
    Vector2 bestVertex = {0.0f, 0.0f};
    for (uint32_t i = 0; i < shape.vertexCount; i++) {
        float projection = Dot(shape.positions[i], dir);
        if (projection > bestProjection) {
            bestVertex = shape.positions[i];
            bestProjection = projection;
        }
    }
    return bestVertex;
}

inline bool BiasGreaterThan(float a, float b) { return a >= b * 0.95f + a * 0.01f; }

// Clips segment (a, b) against the half-plane n . p <= c; returns the points kept.
int ClipSegment(Vector2 normal, float clip, Vector2* faceA, Vector2* faceB) {
    int sp = 0;
    Vector2 out[2] = {*faceA, *faceB};
    float distanceA = Dot(normal, *faceA) - clip;
    float distanceB = Dot(normal, *faceB) - clip;
    if (distanceA <= 0.0f) out[sp++] = *faceA;
    if (distanceB <= 0.0f) out[sp++] = *faceB;
    if (distanceA * distanceB < 0.0f) {
        float alpha = distanceA / (distanceA - distanceB);
        out[sp] = Add(*faceA, Scale(Sub(*faceB, *faceA), alpha));
        sp++;
    }
    *faceA = out[0];
    *faceB = out[1];
    return sp;
}

// Largest separation of B from A's faces, measured in B's model space. A face
// that already shows a gap ends the search early (the largest distance could
// only be at least as large).
float FindAxisLeastPenetration(uint32_t* faceIndex, const PhysicsBodyData* A, const WorldShape& wa,
                                 const PhysicsBodyData* B) {
    const PhysicsShape& b = B->shape;
    float bestDistance = -FLT_MAX;
    uint32_t bestIndex = 0;
    for (uint32_t i = 0; i < A->shape.vertexCount; i++) {
        Vector2 n = MatTMul(b.transform, wa.normals[i]);
        Vector2 support = GetSupport(b, Negate(n));
        Vector2 v = MatTMul(b.transform, Sub(wa.vertices[i], B->position));
        float distance = Dot(n, Sub(support, v));
        if (distance > bestDistance) {
            bestDistance = distance;
            bestIndex = i;
            if (distance >= 0.0f) break;  // a separating axis: no contact whatever the other faces give
        }
    }
    *faceIndex = bestIndex;
    return bestDistance;
}

// Polygon against polygon (ia, ib: the bodies' table indices, for their world shapes).
void SolvePolygonToPolygon(PhysicsManifoldData* m, uint32_t ia, uint32_t ib) {
    m->contactsCount = 0;
    const PhysicsBodyData* A = m->bodyA;
    const PhysicsBodyData* B = m->bodyB;
    if (A->shape.vertexCount == 0 || B->shape.vertexCount == 0) return;
    const WorldShape& wa = worldShapes[ia];
    const WorldShape& wb = worldShapes[ib];
    uint32_t faceA = 0, faceB = 0;
    const float penetrationA = FindAxisLeastPenetration(&faceA, A, wa, B);
    if (penetrationA >= 0.0f) return;
    const float penetrationB = FindAxisLeastPenetration(&faceB, B, wb, A);
    if (penetrationB >= 0.0f) return;

    const bool flip = !BiasGreaterThan(penetrationA, penetrationB);
    const PhysicsBodyData* inc = flip ? A : B;
    const WorldShape& wr = flip ? wb : wa;
    const WorldShape& wi = flip ? wa : wb;
    const uint32_t refIndex = flip ? faceB : faceA;
    const uint32_t refCount = (flip ? B : A)->shape.vertexCount;

    // Incident face: the incident polygon's face most opposed to the reference normal.
    const PhysicsShape& s = inc->shape;
    Vector2 refNormal = MatTMul(s.transform, wr.normals[refIndex]);
    uint32_t incidentFace = 0;
    float minDot = FLT_MAX;
    for (uint32_t i = 0; i < s.vertexCount; i++) {
        float dot = Dot(refNormal, s.normals[i]);
        if (dot < minDot) {
            minDot = dot;
            incidentFace = i;
        }
    }
    // The next vertex without a division: i + 1 wraps to 0 at the count.
    Vector2 incident[2] = {wi.vertices[incidentFace],
                           wi.vertices[incidentFace + 1 == s.vertexCount ? 0 : incidentFace + 1]};

    Vector2 v1 = wr.vertices[refIndex];
    Vector2 v2 = wr.vertices[refIndex + 1 == refCount ? 0 : refIndex + 1];
    Vector2 side = Normalize(Sub(v2, v1));
    Vector2 faceNormal = {side.y, -side.x};
    float refC = Dot(faceNormal, v1);
    float negSide = -Dot(side, v1);
    float posSide = Dot(side, v2);
    if (ClipSegment(Negate(side), negSide, &incident[0], &incident[1]) < 2) return;
    if (ClipSegment(side, posSide, &incident[0], &incident[1]) < 2) return;

    m->normal = flip ? Negate(faceNormal) : faceNormal;
    uint32_t kept = 0;
    float depth = 0.0f;
    for (int i = 0; i < 2; i++) {
        float separation = Dot(faceNormal, incident[i]) - refC;
        if (separation <= 0.0f) {
            m->contactPoints[kept++] = incident[i];
            depth += -separation;
        }
    }
    m->penetration = kept > 0 ? depth / static_cast<float>(kept) : 0.0f;
    m->contactsCount = kept;
}

// Mixed coefficients of a record and, with the velocities after the first half
// of the force integration, the resting test: a point slower than one step of
// gravity makes the record rest (no bounce).
void PrepareRecord(PhysicsManifoldData* m, double restingSpeedSqr) {
    const PhysicsBodyData* A = m->bodyA;
    const PhysicsBodyData* B = m->bodyB;
    m->restitution = std::sqrt(A->restitution * B->restitution);
    m->staticFriction = std::sqrt(A->staticFriction * B->staticFriction);
    m->dynamicFriction = std::sqrt(A->dynamicFriction * B->dynamicFriction);
    for (uint32_t k = 0; k < m->contactsCount; k++) {
        Vector2 rA = Sub(m->contactPoints[k], A->position);
        Vector2 rB = Sub(m->contactPoints[k], B->position);
        Vector2 rv = RelativeVelocity(A->velocity, A->angularVelocity, B->velocity, B->angularVelocity, rA, rB);
        if (LenSqr(rv) < restingSpeedSqr) m->restitution = 0.0f;
    }
}

}  // namespace

// ---- Step phases -------------------------------------------------------------------

void ClearContacts() {
    usedMemory -= physicsManifoldsCount * static_cast<uint32_t>(sizeof(PhysicsManifoldData));
    physicsManifoldsCount = 0;
}

void BuildContacts() {
    const double gx = gravityForce.x * deltaTime / 1000.0;
    const double gy = gravityForce.y * deltaTime / 1000.0;
    const double restingSpeedSqr = gx * gx + gy * gy + PHYSICS_EPSILON;
    for (uint32_t i = 0; i < physicsBodiesCount; i++) bodies[i]->isGrounded = false;
    FillWorldShapes();
    GatherPairs();
    auto isBox = [](const PhysicsBodyData* body) {
        return body->shape.type == SHAPE_POLYGON && body->shape.vertexCount == 4;
    };
    // Pairs of four-vertex polygons in groups of lanes, in table order.
    boxPairA.clear();
    boxPairB.clear();
    for (uint32_t key : pairKeys) {
        const uint32_t ia = key >> PAIR_SHIFT, ib = key & PAIR_MASK;
        if (boxLanes && isBox(bodies[ia]) && isBox(bodies[ib])) {
            boxPairA.push_back(static_cast<int32_t>(ia) * BOX_WORDS);
            boxPairB.push_back(static_cast<int32_t>(ib) * BOX_WORDS);
        }
    }
    const bool batch = boxPairA.size() >= MIN_BOX_PAIRS && LanesPay();
    while (batch && boxPairA.size() % BOX_GROUP != 0) {  // padding lanes repeat a pair
        boxPairA.push_back(boxPairA[0]);
        boxPairB.push_back(boxPairB[0]);
    }
    boxResults.resize(boxPairA.size() / BOX_GROUP);
    uint32_t boxesDone = 0;
    for (uint32_t key : pairKeys) {
        const uint32_t ia = key >> PAIR_SHIFT, ib = key & PAIR_MASK;
        PhysicsBodyData* A = bodies[ia];
        PhysicsBodyData* B = bodies[ib];
        PhysicsManifoldData* m = NewManifold(A, B, ia, ib);
        if (!m) return;  // the table is full: further pairs wait for the next step
        const PhysicsShapeType ta = A->shape.type, tb = B->shape.type;
        if (ta == SHAPE_CIRCLE && tb == SHAPE_CIRCLE) {
            SolveCircleToCircle(m);
        } else if (ta == SHAPE_CIRCLE && tb == SHAPE_POLYGON) {
            SolveDifferentShapes(m, A, B);
        } else if (ta == SHAPE_POLYGON && tb == SHAPE_CIRCLE) {
            SolveDifferentShapes(m, B, A);
            m->normal = Negate(m->normal);
        } else if (ta == SHAPE_POLYGON && tb == SHAPE_POLYGON) {
            if (batch && isBox(A) && isBox(B)) {
                const uint32_t g = boxesDone / BOX_GROUP, l = boxesDone++ % BOX_GROUP;
                const BoxResults& r = boxResults[g];
                if (l == 0) {
                    SolveBoxLanesDispatch(&boxPairA[BOX_GROUP * g], &boxPairB[BOX_GROUP * g], boxWords.data(),
                                          &boxResults[g]);
                }
                m->contactsCount = static_cast<uint32_t>(r.kept[l]);
                m->normal = {r.nx[l], r.ny[l]};
                m->penetration = r.penetration[l];
                m->contactPoints[0] = {r.p0x[l], r.p0y[l]};
                m->contactPoints[1] = {r.p1x[l], r.p1y[l]};
            } else {
                SolvePolygonToPolygon(m, ia, ib);
            }
        }
        if (!B->isGrounded) B->isGrounded = m->normal.y < 0.0f;
        PrepareRecord(m, restingSpeedSqr);
        if (m->contactsCount > 0) {
            // A touching pair is entered twice, one record right after the
            // other; both are resolved and corrected (the mascot's feel
            // depends on the doubled response).
            PhysicsManifoldData* twin = NewManifold(A, B, ia, ib);
            if (!twin) return;
            contactIsTwin[physicsManifoldsCount - 1] = true;
            const uint32_t id = twin->id;
            *twin = *m;  // prepared too: same bodies, points and velocities give the same roots and test
            twin->id = id;
            if (preparedTwins) {
                fastPathRuns.copiedTwins++;
            } else {
                PrepareRecord(twin, restingSpeedSqr);
            }
        }
    }
}

void CorrectPositions() {
    for (uint32_t i = 0; i < physicsManifoldsCount; i++) {
        PhysicsManifoldData* m = contacts[i];
        PhysicsBodyData* A = m->bodyA;
        PhysicsBodyData* B = m->bodyB;
        if (!A || !B) continue;
        float depth = std::max(m->penetration - PHYSICS_PENETRATION_ALLOWANCE, 0.0f) / (A->inverseMass + B->inverseMass);
        Vector2 correction = {m->normal.x * depth * PHYSICS_PENETRATION_CORRECTION,
                              m->normal.y * depth * PHYSICS_PENETRATION_CORRECTION};
        if (A->enabled) {
            A->position.x -= correction.x * A->inverseMass;
            A->position.y -= correction.y * A->inverseMass;
        }
        if (B->enabled) {
            B->position.x += correction.x * B->inverseMass;
            B->position.y += correction.y * B->inverseMass;
        }
    }
}

}  // namespace physics_detail
