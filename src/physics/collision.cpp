// Contact generation and resolution inside a step: the pair tests with their
// bounding-box pre-filter, the contact records, the impulse passes that fill
// each body's collision record, and the positional correction.
//
// Every function here runs on the stepping thread with PhysicsMutex() held.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#define VIMO_PHYSICS_SSE 1
#else
#define VIMO_PHYSICS_SSE 0
#endif

#include "physics/physics.h"
#include "physics/physics_internal.h"

using namespace PhysicsWorld;

namespace physics_detail {

bool pairPrefilter = true;
bool fastSolver = true;
bool worldShapeCache = true;

namespace {

// Records are reused from step to step instead of being allocated and freed:
// contacts[i] always points at manifoldPool[i].
PhysicsManifoldData manifoldPool[PHYSICS_MAX_MANIFOLDS];
struct PoolInit {
    PoolInit() {
        for (int i = 0; i < PHYSICS_MAX_MANIFOLDS; i++) contacts[i] = &manifoldPool[i];
    }
} poolInit;

// ---- Pair pre-filter ---------------------------------------------------------------
//
// The step tests pairs i < j in table order. A pair whose bounding boxes are
// apart cannot touch: its record would end with no points and a zero normal,
// and such a record changes nothing in any later phase, so it is not built.
// Two kinds of body keep every pair, because an empty record does act on them:
//  - "wild" bodies (non-finite bounds or inverse mass, or a negative one),
//    whose arithmetic on an empty record may still produce NaNs;
//  - pairs of "heavy" bodies whose inverse masses add up to at most epsilon
//    (but are not both 0): the impulse phase zeroes their velocities whatever
//    their distance.
// Everything else goes through a sort-and-sweep along x. The surviving pairs
// are then put back into (i, j) order, so records are built, numbered and
// resolved exactly as if every pair had been tried.

// Each polygon's vertices and face normals in world space, worked out once per
// step (transforms and positions do not change in the contact phase) with the
// very operations the pair tests would repeat for every pair: vertex =
// transform x model vertex + position, normal = transform x model normal.
struct WorldShape {
    Vector2 vertices[PHYSICS_MAX_VERTICES];
    Vector2 normals[PHYSICS_MAX_VERTICES];
};
std::vector<WorldShape> worldShapes;  // by table index, filled by FillWorldShapes

void FillWorldShapes() {
    worldShapes.resize(physicsBodiesCount);
    for (uint32_t i = 0; i < physicsBodiesCount; i++) {
        const PhysicsBodyData* body = bodies[i];
        const PhysicsShape& shape = body->shape;
        if (shape.type != SHAPE_POLYGON) continue;
        WorldShape& w = worldShapes[i];
        for (uint32_t k = 0; k < shape.vertexCount && k < PHYSICS_MAX_VERTICES; k++) {
            w.vertices[k] = Add(MatMul(shape.transform, shape.positions[k]), body->position);
            w.normals[k] = MatMul(shape.transform, shape.normals[k]);
        }
    }
}

struct BodyBounds {
    float minX, maxX, minY, maxY;
    uint32_t index;  // table index of the body
};

std::vector<BodyBounds> sweepBounds;  // non-wild bodies, sorted by minX
std::vector<uint32_t> wildBodies;     // table indices of wild bodies
std::vector<uint32_t> heavyBodies;    // table indices with 0 <= inverseMass <= epsilon
std::vector<uint32_t> pairKeys;       // i << 12 | j with i < j
std::vector<uint32_t> keyScratch;     // radix sort buffer

constexpr uint32_t PAIR_SHIFT = 12;  // table indices are below 4096
constexpr uint32_t PAIR_MASK = (1u << PAIR_SHIFT) - 1;

inline uint32_t PairKey(uint32_t a, uint32_t b) { return a < b ? (a << PAIR_SHIFT) | b : (b << PAIR_SHIFT) | a; }

// Bounds grown by a margin far above the rounding of the exact test, so a pair
// the exact test could find touching is never dropped.
bool ComputeBounds(const PhysicsBodyData* body, const WorldShape& world, BodyBounds* out) {
    const PhysicsShape& shape = body->shape;
    float minX, maxX, minY, maxY;
    if (shape.type == SHAPE_CIRCLE) {
        minX = body->position.x - shape.radius;
        maxX = body->position.x + shape.radius;
        minY = body->position.y - shape.radius;
        maxY = body->position.y + shape.radius;
    } else {
        minX = minY = FLT_MAX;
        maxX = maxY = -FLT_MAX;
        for (uint32_t k = 0; k < shape.vertexCount; k++) {
            Vector2 v = world.vertices[k];
            minX = std::min(minX, v.x);
            maxX = std::max(maxX, v.x);
            minY = std::min(minY, v.y);
            maxY = std::max(maxY, v.y);
        }
        if (shape.vertexCount == 0) minX = maxX = minY = maxY = 0.0f;
    }
    float extent = std::max(std::max(std::fabs(minX), std::fabs(maxX)), std::max(std::fabs(minY), std::fabs(maxY)));
    float margin = 0.1f + extent * 1e-4f;
    *out = {minX - margin, maxX + margin, minY - margin, maxY + margin, 0};
    return std::isfinite(out->minX) && std::isfinite(out->maxX) && std::isfinite(out->minY) &&
           std::isfinite(out->maxY);
}

// Pairs that are skipped anyway (layers, two static bodies) are not kept.
inline bool PairWanted(const PhysicsBodyData* a, const PhysicsBodyData* b) {
    return PhysicsLayersCollide(a->collisionLayer, b->collisionLayer) &&
           !(a->inverseMass == 0.0f && b->inverseMass == 0.0f);
}

void SortKeys() {
    // Few keys (the usual case): a comparison sort beats clearing the counts.
    if (pairKeys.size() < 1024) {
        std::sort(pairKeys.begin(), pairKeys.end());
        return;
    }
    // Two 12-bit radix passes: keys are below 2^24.
    keyScratch.resize(pairKeys.size());
    for (uint32_t shift = 0; shift < 24; shift += 12) {
        static uint32_t counts[1u << 12];
        std::fill(std::begin(counts), std::end(counts), 0u);
        for (uint32_t k : pairKeys) counts[(k >> shift) & PAIR_MASK]++;
        uint32_t sum = 0;
        for (uint32_t& c : counts) {
            uint32_t n = c;
            c = sum;
            sum += n;
        }
        for (uint32_t k : pairKeys) keyScratch[counts[(k >> shift) & PAIR_MASK]++] = k;
        pairKeys.swap(keyScratch);
    }
}

// Every wanted pair, already in (i, j) order: what the step does without the pre-filter.
void GatherAllPairs() {
    pairKeys.clear();
    for (uint32_t i = 0; i < physicsBodiesCount; i++) {
        for (uint32_t j = i + 1; j < physicsBodiesCount; j++) {
            if (PairWanted(bodies[i], bodies[j])) pairKeys.push_back((i << PAIR_SHIFT) | j);
        }
    }
}

void GatherPairs() {
    if (!pairPrefilter) {
        GatherAllPairs();
        return;
    }
    const uint32_t n = physicsBodiesCount;
    sweepBounds.clear();
    wildBodies.clear();
    heavyBodies.clear();
    pairKeys.clear();
    for (uint32_t i = 0; i < n; i++) {
        const PhysicsBodyData* body = bodies[i];
        BodyBounds bounds;
        bool finite = ComputeBounds(body, worldShapes[i], &bounds);
        bounds.index = i;
        float inv = body->inverseMass;
        if (!finite || !std::isfinite(inv) || inv < 0.0f) {
            wildBodies.push_back(i);
            continue;
        }
        if (inv <= PHYSICS_EPSILON) heavyBodies.push_back(i);
        sweepBounds.push_back(bounds);
    }
    std::sort(sweepBounds.begin(), sweepBounds.end(),
              [](const BodyBounds& a, const BodyBounds& b) { return a.minX < b.minX; });
    const size_t count = sweepBounds.size();
    for (size_t a = 0; a < count; a++) {
        const BodyBounds& ba = sweepBounds[a];
        const PhysicsBodyData* bodyA = bodies[ba.index];
        for (size_t b = a + 1; b < count && sweepBounds[b].minX <= ba.maxX; b++) {
            const BodyBounds& bb = sweepBounds[b];
            if (bb.minY > ba.maxY || ba.minY > bb.maxY) continue;
            if (PairWanted(bodyA, bodies[bb.index])) pairKeys.push_back(PairKey(ba.index, bb.index));
        }
    }
    bool extra = false;
    for (uint32_t w : wildBodies) {
        for (uint32_t k = 0; k < n; k++) {
            if (k != w && PairWanted(bodies[w], bodies[k])) pairKeys.push_back(PairKey(w, k));
        }
        extra = true;
    }
    for (size_t a = 0; a < heavyBodies.size(); a++) {
        for (size_t b = a + 1; b < heavyBodies.size(); b++) {
            const PhysicsBodyData* A = bodies[heavyBodies[a]];
            const PhysicsBodyData* B = bodies[heavyBodies[b]];
            if (std::fabs(A->inverseMass + B->inverseMass) <= PHYSICS_EPSILON && PairWanted(A, B)) {
                pairKeys.push_back(PairKey(heavyBodies[a], heavyBodies[b]));
                extra = true;
            }
        }
    }
    SortKeys();
    if (extra) pairKeys.erase(std::unique(pairKeys.begin(), pairKeys.end()), pairKeys.end());
}

// ---- Records ---------------------------------------------------------------------

// Table indices of each record's two bodies, beside contacts[] (same index).
struct ContactPair {
    uint32_t a, b;
};
ContactPair contactPairs[PHYSICS_MAX_MANIFOLDS];

PhysicsManifoldData* NewManifold(PhysicsBodyData* a, PhysicsBodyData* b, uint32_t ia, uint32_t ib) {
    if (physicsManifoldsCount + 1 > PHYSICS_MANIFOLD_LIMIT) return nullptr;
    contactPairs[physicsManifoldsCount] = {ia, ib};
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

}  // namespace

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
    if (dot1 <= 0.0f) {
        if (LenSqr(Sub(centre, v1)) > radius * radius) return;
        m->contactsCount = 1;
        m->normal = Normalize(MatMul(poly.transform, Sub(v1, centre)));
        m->contactPoints[0] = Add(MatMul(poly.transform, v1), polygon->position);
    } else if (dot2 <= 0.0f) {
        if (LenSqr(Sub(centre, v2)) > radius * radius) return;
        m->contactsCount = 1;
        m->normal = Normalize(MatMul(poly.transform, Sub(v2, centre)));
        m->contactPoints[0] = Add(MatMul(poly.transform, v2), polygon->position);
    } else {
        Vector2 n = poly.normals[face];
        if (Dot(Sub(centre, v1), n) > radius) return;
        m->contactsCount = 1;
        m->normal = Negate(MatMul(poly.transform, n));
        m->contactPoints[0] = Add(Scale(m->normal, radius), circle->position);
    }
    m->penetration = penetration;
}

namespace {

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

// Largest separation of B from A's faces, measured in B's model space.
float FindAxisLeastPenetration(uint32_t* faceIndex, const PhysicsBodyData* A, const PhysicsBodyData* B) {
    const PhysicsShape& a = A->shape;
    const PhysicsShape& b = B->shape;
    float bestDistance = -FLT_MAX;
    uint32_t bestIndex = 0;
    for (uint32_t i = 0; i < a.vertexCount; i++) {
        Vector2 n = MatTMul(b.transform, MatMul(a.transform, a.normals[i]));
        Vector2 support = GetSupport(b, Negate(n));
        Vector2 v = Sub(Add(MatMul(a.transform, a.positions[i]), A->position), B->position);
        v = MatTMul(b.transform, v);
        float distance = Dot(n, Sub(support, v));
        if (distance > bestDistance) {
            bestDistance = distance;
            bestIndex = i;
        }
    }
    *faceIndex = bestIndex;
    return bestDistance;
}

// World end points of the incident polygon's face most opposed to the reference face.
void FindIncidentFace(Vector2* v0, Vector2* v1, const PhysicsBodyData* ref, const PhysicsBodyData* inc,
                      uint32_t index) {
    const PhysicsShape& r = ref->shape;
    const PhysicsShape& s = inc->shape;
    Vector2 refNormal = MatTMul(s.transform, MatMul(r.transform, r.normals[index]));
    uint32_t incidentFace = 0;
    float minDot = FLT_MAX;
    for (uint32_t i = 0; i < s.vertexCount; i++) {
        float dot = Dot(refNormal, s.normals[i]);
        if (dot < minDot) {
            minDot = dot;
            incidentFace = i;
        }
    }
    *v0 = Add(MatMul(s.transform, s.positions[incidentFace]), inc->position);
    *v1 = Add(MatMul(s.transform, s.positions[(incidentFace + 1) % s.vertexCount]), inc->position);
}

inline bool BiasGreaterThan(float a, float b) { return a >= b * 0.95f + a * 0.01f; }

}  // namespace

// Clips segment (a, b) against the half-plane n . p <= c; returns the points kept.
int Clip(Vector2 normal, float clip, Vector2* faceA, Vector2* faceB) {
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

void SolvePolygonToPolygon(PhysicsManifoldData* m) {
    m->contactsCount = 0;
    PhysicsBodyData* A = m->bodyA;
    PhysicsBodyData* B = m->bodyB;
    if (A->shape.vertexCount == 0 || B->shape.vertexCount == 0) return;
    uint32_t faceA = 0;
    float penetrationA = FindAxisLeastPenetration(&faceA, A, B);
    if (penetrationA >= 0.0f) return;
    uint32_t faceB = 0;
    float penetrationB = FindAxisLeastPenetration(&faceB, B, A);
    if (penetrationB >= 0.0f) return;

    const PhysicsBodyData* ref;
    const PhysicsBodyData* inc;
    uint32_t refIndex;
    bool flip;
    if (BiasGreaterThan(penetrationA, penetrationB)) {
        ref = A;
        inc = B;
        refIndex = faceA;
        flip = false;
    } else {
        ref = B;
        inc = A;
        refIndex = faceB;
        flip = true;
    }
    Vector2 incident[2];
    FindIncidentFace(&incident[0], &incident[1], ref, inc, refIndex);

    const PhysicsShape& r = ref->shape;
    Vector2 v1 = Add(MatMul(r.transform, r.positions[refIndex]), ref->position);
    Vector2 v2 = Add(MatMul(r.transform, r.positions[(refIndex + 1) % r.vertexCount]), ref->position);
    Vector2 side = Normalize(Sub(v2, v1));
    Vector2 faceNormal = {side.y, -side.x};
    float refC = Dot(faceNormal, v1);
    float negSide = -Dot(side, v1);
    float posSide = Dot(side, v2);
    if (Clip(Negate(side), negSide, &incident[0], &incident[1]) < 2) return;
    if (Clip(side, posSide, &incident[0], &incident[1]) < 2) return;

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

namespace {

// The polygon test again, reading each body's world-space vertices and normals
// from worldShapes instead of transforming them for every pair: the same
// operations on the same values, so the same bits as SolvePolygonToPolygon.
// A face that already shows a gap ends the search for the least-penetration
// axis early (the largest distance could only be at least as large).
float AxisLeastPenetrationCached(uint32_t* faceIndex, const PhysicsBodyData* A, const WorldShape& wa,
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

void SolvePolygonsCached(PhysicsManifoldData* m, uint32_t ia, uint32_t ib) {
    m->contactsCount = 0;
    const PhysicsBodyData* A = m->bodyA;
    const PhysicsBodyData* B = m->bodyB;
    if (A->shape.vertexCount == 0 || B->shape.vertexCount == 0) return;
    const WorldShape& wa = worldShapes[ia];
    const WorldShape& wb = worldShapes[ib];
    uint32_t faceA = 0;
    float penetrationA = AxisLeastPenetrationCached(&faceA, A, wa, B);
    if (penetrationA >= 0.0f) return;
    uint32_t faceB = 0;
    float penetrationB = AxisLeastPenetrationCached(&faceB, B, wb, A);
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
    Vector2 incident[2] = {wi.vertices[incidentFace], wi.vertices[(incidentFace + 1) % s.vertexCount]};

    Vector2 v1 = wr.vertices[refIndex];
    Vector2 v2 = wr.vertices[(refIndex + 1) % refCount];
    Vector2 side = Normalize(Sub(v2, v1));
    Vector2 faceNormal = {side.y, -side.x};
    float refC = Dot(faceNormal, v1);
    float negSide = -Dot(side, v1);
    float posSide = Dot(side, v2);
    if (Clip(Negate(side), negSide, &incident[0], &incident[1]) < 2) return;
    if (Clip(side, posSide, &incident[0], &incident[1]) < 2) return;

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

}  // namespace

// ---- Step phases -------------------------------------------------------------------

void ClearContacts() {
    usedMemory -= physicsManifoldsCount * static_cast<uint32_t>(sizeof(PhysicsManifoldData));
    physicsManifoldsCount = 0;
}

void BuildContacts() {
    for (uint32_t i = 0; i < physicsBodiesCount; i++) bodies[i]->isGrounded = false;
    if (pairPrefilter || worldShapeCache) FillWorldShapes();
    GatherPairs();
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
            if (worldShapeCache) {
                SolvePolygonsCached(m, ia, ib);
            } else {
                SolvePolygonToPolygon(m);
            }
        }
        if (!B->isGrounded) B->isGrounded = m->normal.y < 0.0f;
        if (m->contactsCount > 0) {
            // A touching pair is entered twice, one record right after the
            // other; both are resolved and corrected (the mascot's feel
            // depends on the doubled response).
            PhysicsManifoldData* twin = NewManifold(A, B, ia, ib);
            if (!twin) return;
            twin->penetration = m->penetration;
            twin->normal = m->normal;
            twin->contactPoints[0] = m->contactPoints[0];
            twin->contactPoints[1] = m->contactPoints[1];
            twin->contactsCount = m->contactsCount;
            twin->restitution = m->restitution;
            twin->dynamicFriction = m->dynamicFriction;
            twin->staticFriction = m->staticFriction;
        }
    }
}

namespace {
inline Vector2 RelativeVelocity(const PhysicsBodyData* A, const PhysicsBodyData* B, Vector2 rA, Vector2 rB) {
    return Sub(Sub(Add(B->velocity, CrossWV(B->angularVelocity, rB)), A->velocity), CrossWV(A->angularVelocity, rA));
}
}  // namespace

void PrepareContacts() {
    const double gx = gravityForce.x * deltaTime / 1000.0;
    const double gy = gravityForce.y * deltaTime / 1000.0;
    const double restingSpeedSqr = gx * gx + gy * gy + PHYSICS_EPSILON;
    for (uint32_t i = 0; i < physicsManifoldsCount; i++) {
        PhysicsManifoldData* m = contacts[i];
        const PhysicsBodyData* A = m->bodyA;
        const PhysicsBodyData* B = m->bodyB;
        if (!A || !B) continue;
        m->restitution = std::sqrt(A->restitution * B->restitution);
        m->staticFriction = std::sqrt(A->staticFriction * B->staticFriction);
        m->dynamicFriction = std::sqrt(A->dynamicFriction * B->dynamicFriction);
        for (uint32_t k = 0; k < m->contactsCount; k++) {
            Vector2 rA = Sub(m->contactPoints[k], A->position);
            Vector2 rB = Sub(m->contactPoints[k], B->position);
            Vector2 rv = RelativeVelocity(A, B, rA, rB);
            // Slower than one step of gravity: a resting contact, which must not bounce.
            if (LenSqr(rv) < restingSpeedSqr) m->restitution = 0.0f;
        }
    }
}

namespace {

// The impulse passes work on compact copies of what they touch, written back
// once at the end: the bodies' velocities and collision records, and per contact
// point the lever arms and effective mass, which stay fixed through the passes
// (positions and masses do not change in this phase). The arithmetic and its
// order are exactly those of resolving the records in place.
struct SolverBody {
    Vector2 velocity;
    float angularVelocity;
    float inverseMass;
    float inverseInertia;
    bool enabled;
    bool freezeRotation;
    int32_t collidedWith;
    int32_t id;
    Vector2 collisionDelta;
    Vector2 collisionNormal;
};

struct SolverPoint {
    Vector2 rA, rB;        // contact point relative to each body's centre
    float inverseMassSum;  // k: the inverse effective mass along the normal
    float effectiveMass;   // 1 / k
};

struct SolverContact {
    uint32_t a, b;         // table indices of bodyA and bodyB
    Vector2 normal;
    uint32_t count;
    float countScale;      // 1 / contactsCount, exact for 1 and 2 points
    float restitution, staticFriction, dynamicFriction;
    bool zeroMass;         // |A.inverseMass + B.inverseMass| <= epsilon
    SolverPoint points[2];
};

std::vector<SolverBody> solverBodies;
std::vector<SolverContact> solverContacts;  // active records in level order
std::vector<uint32_t> activeContacts;       // record indices that can act, in table order
std::vector<uint32_t> contactLevels;        // level of each active record
std::vector<uint32_t> levelStart;           // first slot of each level in solverContacts
std::vector<uint32_t> lastLevel;            // per body: level of its last record so far
std::vector<uint8_t> readOnly;              // per body: never written by the passes
std::vector<uint32_t> levelBounds;          // records of level l are [levelBounds[l], levelBounds[l + 1])
std::vector<uint32_t> quadBounds;           // per level (from 0): its quads in solverQuads
std::vector<uint32_t> singles;              // solverContacts indices run one by one
std::vector<uint32_t> singleBounds;         // per level (from 0): its entries in singles


// One record, one pass.
void SolveOne(const SolverContact& c, SolverBody* sb) {
    SolverBody& A = sb[c.a];
    SolverBody& B = sb[c.b];
    if (c.zeroMass) {
        A.velocity = {0.0f, 0.0f};
        B.velocity = {0.0f, 0.0f};
        return;
    }
    for (uint32_t k = 0; k < c.count; k++) {
        const SolverPoint& p = c.points[k];
        Vector2 rv = Sub(Sub(Add(B.velocity, CrossWV(B.angularVelocity, p.rB)), A.velocity),
                         CrossWV(A.angularVelocity, p.rA));
        float contactVelocity = Dot(rv, c.normal);
        if (contactVelocity > 0.0f) return;  // separating: the rest of this record waits a pass

        float j = -(1.0f + c.restitution) * contactVelocity;
        j /= p.inverseMassSum;
        // Slow contacts share the impulse between their points; fast ones
        // (at least one unit of momentum) get it whole at each point.
        if (j < p.effectiveMass) j *= c.countScale;

        Vector2 impulse = Scale(c.normal, j);
        if (A.enabled) {
            Vector2 dv = Scale(Negate(impulse), A.inverseMass);
            A.velocity = Add(A.velocity, dv);
            A.collidedWith = B.id;
            A.collisionDelta = Add(A.collisionDelta, dv);
            A.collisionNormal = Negate(c.normal);
            if (!A.freezeRotation) A.angularVelocity += A.inverseInertia * Cross(p.rA, Negate(impulse));
        }
        if (B.enabled) {
            Vector2 dv = Scale(impulse, B.inverseMass);
            B.velocity = Add(B.velocity, dv);
            B.collidedWith = A.id;
            B.collisionDelta = Add(B.collisionDelta, dv);
            B.collisionNormal = c.normal;
            if (!B.freezeRotation) B.angularVelocity += B.inverseInertia * Cross(p.rB, impulse);
        }

        // Friction: velocities only, never the collision record.
        rv = Sub(Sub(Add(B.velocity, CrossWV(B.angularVelocity, p.rB)), A.velocity),
                 CrossWV(A.angularVelocity, p.rA));
        Vector2 tangent = Normalize(Sub(rv, Scale(c.normal, Dot(rv, c.normal))));
        float jt = -Dot(rv, tangent);
        jt /= p.inverseMassSum;
        jt *= c.countScale;
        if (std::fabs(jt) <= PHYSICS_EPSILON) return;
        Vector2 tangentImpulse = std::fabs(jt) < j * c.staticFriction ? Scale(tangent, jt)
                                                                       : Scale(tangent, -j * c.dynamicFriction);
        if (A.enabled) {
            A.velocity = Add(A.velocity, Scale(Negate(tangentImpulse), A.inverseMass));
            if (!A.freezeRotation) A.angularVelocity += A.inverseInertia * Cross(p.rA, Negate(tangentImpulse));
        }
        if (B.enabled) {
            B.velocity = Add(B.velocity, Scale(tangentImpulse, B.inverseMass));
            if (!B.freezeRotation) B.angularVelocity += B.inverseInertia * Cross(p.rB, tangentImpulse);
        }
    }
}

#if VIMO_PHYSICS_SSE
// Four records of one level at once, one per SSE lane. The lanes' bodies are
// distinct (or disabled and never written), and every lane performs exactly
// the scalar operations of SolveOne in the same order (IEEE single precision
// per lane), with its early stops turned into masks: the same bits result.
// What stays fixed through the passes is laid out per lane once per step.
inline __m128 Select(__m128 mask, __m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }
inline __m128 Neg(__m128 v) { return _mm_xor_ps(v, _mm_set1_ps(-0.0f)); }
inline __m128 Mask(bool a, bool b, bool c, bool d) {
    return _mm_castsi128_ps(_mm_setr_epi32(a ? -1 : 0, b ? -1 : 0, c ? -1 : 0, d ? -1 : 0));
}

struct SolverQuad {
    __m128 nx, ny, negE1, sf, df, cs;  // normal, -(1 + restitution), frictions, 1 / contactsCount
    __m128 aim, aii, bim, bii;         // inverse masses and inertias
    __m128 aEn, bEn, aRot, bRot;       // enabled; enabled and free to turn
    __m128 inUse[2];                   // point k exists
    __m128 rax[2], ray[2], rbx[2], rby[2], ks[2], em[2];
    Vector2 normal[4];
    uint32_t a[4], b[4];
};

std::vector<SolverQuad> solverQuads;

void BuildQuad(const SolverContact* c, const SolverBody* sb, SolverQuad* q) {
#define LANES(expr) _mm_setr_ps(expr(0), expr(1), expr(2), expr(3))
#define NX(l) c[l].normal.x
#define NY(l) c[l].normal.y
#define REST(l) c[l].restitution
#define SF(l) c[l].staticFriction
#define DF(l) c[l].dynamicFriction
#define CS(l) c[l].countScale
#define AIM(l) sb[c[l].a].inverseMass
#define AII(l) sb[c[l].a].inverseInertia
#define BIM(l) sb[c[l].b].inverseMass
#define BII(l) sb[c[l].b].inverseInertia
    q->nx = LANES(NX);
    q->ny = LANES(NY);
    q->negE1 = Neg(_mm_add_ps(_mm_set1_ps(1.0f), LANES(REST)));
    q->sf = LANES(SF);
    q->df = LANES(DF);
    q->cs = LANES(CS);
    q->aim = LANES(AIM);
    q->aii = LANES(AII);
    q->bim = LANES(BIM);
    q->bii = LANES(BII);
    const SolverBody *A0 = &sb[c[0].a], *A1 = &sb[c[1].a], *A2 = &sb[c[2].a], *A3 = &sb[c[3].a];
    const SolverBody *B0 = &sb[c[0].b], *B1 = &sb[c[1].b], *B2 = &sb[c[2].b], *B3 = &sb[c[3].b];
    q->aEn = Mask(A0->enabled, A1->enabled, A2->enabled, A3->enabled);
    q->bEn = Mask(B0->enabled, B1->enabled, B2->enabled, B3->enabled);
    q->aRot = _mm_andnot_ps(Mask(A0->freezeRotation, A1->freezeRotation, A2->freezeRotation, A3->freezeRotation), q->aEn);
    q->bRot = _mm_andnot_ps(Mask(B0->freezeRotation, B1->freezeRotation, B2->freezeRotation, B3->freezeRotation), q->bEn);
    for (uint32_t k = 0; k < 2; k++) {
#define RAX(l) c[l].points[k].rA.x
#define RAY(l) c[l].points[k].rA.y
#define RBX(l) c[l].points[k].rB.x
#define RBY(l) c[l].points[k].rB.y
#define KS(l) c[l].points[k].inverseMassSum
#define EM(l) c[l].points[k].effectiveMass
        q->inUse[k] = Mask(k < c[0].count, k < c[1].count, k < c[2].count, k < c[3].count);
        q->rax[k] = LANES(RAX);
        q->ray[k] = LANES(RAY);
        q->rbx[k] = LANES(RBX);
        q->rby[k] = LANES(RBY);
        q->ks[k] = LANES(KS);
        q->em[k] = LANES(EM);
    }
    for (int l = 0; l < 4; l++) {
        q->normal[l] = c[l].normal;
        q->a[l] = c[l].a;
        q->b[l] = c[l].b;
    }
#undef LANES
#undef NX
#undef NY
#undef REST
#undef SF
#undef DF
#undef CS
#undef AIM
#undef AII
#undef BIM
#undef BII
#undef RAX
#undef RAY
#undef RBX
#undef RBY
#undef KS
#undef EM
}

void SolveQuad(const SolverQuad& q, SolverBody* sb) {
    SolverBody* A[4] = {&sb[q.a[0]], &sb[q.a[1]], &sb[q.a[2]], &sb[q.a[3]]};
    SolverBody* B[4] = {&sb[q.b[0]], &sb[q.b[1]], &sb[q.b[2]], &sb[q.b[3]]};
    __m128 avx = _mm_setr_ps(A[0]->velocity.x, A[1]->velocity.x, A[2]->velocity.x, A[3]->velocity.x);
    __m128 avy = _mm_setr_ps(A[0]->velocity.y, A[1]->velocity.y, A[2]->velocity.y, A[3]->velocity.y);
    __m128 aw = _mm_setr_ps(A[0]->angularVelocity, A[1]->angularVelocity, A[2]->angularVelocity, A[3]->angularVelocity);
    __m128 bvx = _mm_setr_ps(B[0]->velocity.x, B[1]->velocity.x, B[2]->velocity.x, B[3]->velocity.x);
    __m128 bvy = _mm_setr_ps(B[0]->velocity.y, B[1]->velocity.y, B[2]->velocity.y, B[3]->velocity.y);
    __m128 bw = _mm_setr_ps(B[0]->angularVelocity, B[1]->angularVelocity, B[2]->angularVelocity, B[3]->angularVelocity);
    // Summed velocity changes of this record's normal impulses, added to the
    // bodies' collision records one by one below (same additions, same order).
    const __m128 zero = _mm_setzero_ps();
    const __m128 eps = _mm_set1_ps(PHYSICS_EPSILON);
    const __m128 nx = q.nx, ny = q.ny, aim = q.aim, bim = q.bim, aii = q.aii, bii = q.bii;
    __m128 dvA[2][2], dvB[2][2];  // [point][x, y]
    __m128 hitA[2] = {zero, zero}, hitB[2] = {zero, zero};
    __m128 active = _mm_castsi128_ps(_mm_set1_epi32(-1));
    uint32_t points = 0;

    for (uint32_t k = 0; k < 2; k++) {
        active = _mm_and_ps(active, q.inUse[k]);
        if (_mm_movemask_ps(active) == 0) break;
        const __m128 rax = q.rax[k], ray = q.ray[k], rbx = q.rbx[k], rby = q.rby[k], ks = q.ks[k];

        // rv = B.v + w_B x rB - A.v - w_A x rA
        __m128 rvx = _mm_sub_ps(_mm_sub_ps(_mm_add_ps(bvx, _mm_mul_ps(Neg(bw), rby)), avx), _mm_mul_ps(Neg(aw), ray));
        __m128 rvy = _mm_sub_ps(_mm_sub_ps(_mm_add_ps(bvy, _mm_mul_ps(bw, rbx)), avy), _mm_mul_ps(aw, rax));
        __m128 vn = _mm_add_ps(_mm_mul_ps(rvx, nx), _mm_mul_ps(rvy, ny));
        active = _mm_and_ps(active, _mm_cmpngt_ps(vn, zero));
        if (_mm_movemask_ps(active) == 0) break;
        points = k + 1;

        __m128 j = _mm_div_ps(_mm_mul_ps(q.negE1, vn), ks);
        j = Select(_mm_cmplt_ps(j, q.em[k]), _mm_mul_ps(j, q.cs), j);
        const __m128 ix = _mm_mul_ps(nx, j), iy = _mm_mul_ps(ny, j);

        const __m128 mA = _mm_and_ps(active, q.aEn);
        const __m128 dax = _mm_mul_ps(Neg(ix), aim), day = _mm_mul_ps(Neg(iy), aim);
        avx = Select(mA, _mm_add_ps(avx, dax), avx);
        avy = Select(mA, _mm_add_ps(avy, day), avy);
        dvA[k][0] = dax;
        dvA[k][1] = day;
        hitA[k] = mA;
        const __m128 crossA = _mm_sub_ps(_mm_mul_ps(rax, Neg(iy)), _mm_mul_ps(ray, Neg(ix)));
        aw = Select(_mm_and_ps(active, q.aRot), _mm_add_ps(aw, _mm_mul_ps(aii, crossA)), aw);

        const __m128 mB = _mm_and_ps(active, q.bEn);
        const __m128 dbx = _mm_mul_ps(ix, bim), dby = _mm_mul_ps(iy, bim);
        bvx = Select(mB, _mm_add_ps(bvx, dbx), bvx);
        bvy = Select(mB, _mm_add_ps(bvy, dby), bvy);
        dvB[k][0] = dbx;
        dvB[k][1] = dby;
        hitB[k] = mB;
        const __m128 crossB = _mm_sub_ps(_mm_mul_ps(rbx, iy), _mm_mul_ps(rby, ix));
        bw = Select(_mm_and_ps(active, q.bRot), _mm_add_ps(bw, _mm_mul_ps(bii, crossB)), bw);

        // Friction.
        rvx = _mm_sub_ps(_mm_sub_ps(_mm_add_ps(bvx, _mm_mul_ps(Neg(bw), rby)), avx), _mm_mul_ps(Neg(aw), ray));
        rvy = _mm_sub_ps(_mm_sub_ps(_mm_add_ps(bvy, _mm_mul_ps(bw, rbx)), avy), _mm_mul_ps(aw, rax));
        const __m128 dn = _mm_add_ps(_mm_mul_ps(rvx, nx), _mm_mul_ps(rvy, ny));
        __m128 tx = _mm_sub_ps(rvx, _mm_mul_ps(nx, dn));
        __m128 ty = _mm_sub_ps(rvy, _mm_mul_ps(ny, dn));
        const __m128 len = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(tx, tx), _mm_mul_ps(ty, ty)));
        const __m128 inv = _mm_div_ps(_mm_set1_ps(1.0f), len);
        const __m128 lenZero = _mm_cmpeq_ps(len, zero);
        tx = Select(lenZero, tx, _mm_mul_ps(tx, inv));
        ty = Select(lenZero, ty, _mm_mul_ps(ty, inv));
        __m128 jt = Neg(_mm_add_ps(_mm_mul_ps(rvx, tx), _mm_mul_ps(rvy, ty)));
        jt = _mm_mul_ps(_mm_div_ps(jt, ks), q.cs);
        const __m128 absJt = _mm_andnot_ps(_mm_set1_ps(-0.0f), jt);
        active = _mm_and_ps(active, _mm_cmpnle_ps(absJt, eps));
        const __m128 isStatic = _mm_cmplt_ps(absJt, _mm_mul_ps(j, q.sf));
        const __m128 dyn = _mm_mul_ps(Neg(j), q.df);
        const __m128 tix = Select(isStatic, _mm_mul_ps(tx, jt), _mm_mul_ps(tx, dyn));
        const __m128 tiy = Select(isStatic, _mm_mul_ps(ty, jt), _mm_mul_ps(ty, dyn));

        const __m128 fA = _mm_and_ps(active, q.aEn);
        avx = Select(fA, _mm_add_ps(avx, _mm_mul_ps(Neg(tix), aim)), avx);
        avy = Select(fA, _mm_add_ps(avy, _mm_mul_ps(Neg(tiy), aim)), avy);
        const __m128 fcrossA = _mm_sub_ps(_mm_mul_ps(rax, Neg(tiy)), _mm_mul_ps(ray, Neg(tix)));
        aw = Select(_mm_and_ps(active, q.aRot), _mm_add_ps(aw, _mm_mul_ps(aii, fcrossA)), aw);
        const __m128 fB = _mm_and_ps(active, q.bEn);
        bvx = Select(fB, _mm_add_ps(bvx, _mm_mul_ps(tix, bim)), bvx);
        bvy = Select(fB, _mm_add_ps(bvy, _mm_mul_ps(tiy, bim)), bvy);
        const __m128 fcrossB = _mm_sub_ps(_mm_mul_ps(rbx, tiy), _mm_mul_ps(rby, tix));
        bw = Select(_mm_and_ps(active, q.bRot), _mm_add_ps(bw, _mm_mul_ps(bii, fcrossB)), bw);
    }
    if (points == 0) return;  // every lane separating at its first point: nothing changed

    alignas(16) float v[6][4];
    _mm_store_ps(v[0], avx);
    _mm_store_ps(v[1], avy);
    _mm_store_ps(v[2], aw);
    _mm_store_ps(v[3], bvx);
    _mm_store_ps(v[4], bvy);
    _mm_store_ps(v[5], bw);
    alignas(16) float d[2][4][4];  // [point][ax, ay, bx, by][lane]
    int hit[2][2];
    for (uint32_t k = 0; k < points; k++) {
        _mm_store_ps(d[k][0], dvA[k][0]);
        _mm_store_ps(d[k][1], dvA[k][1]);
        _mm_store_ps(d[k][2], dvB[k][0]);
        _mm_store_ps(d[k][3], dvB[k][1]);
        hit[k][0] = _mm_movemask_ps(hitA[k]);
        hit[k][1] = _mm_movemask_ps(hitB[k]);
    }
    for (int l = 0; l < 4; l++) {
        // Disabled bodies may sit in several lanes; they get back what they had.
        SolverBody* a = A[l];
        SolverBody* b = B[l];
        a->velocity = {v[0][l], v[1][l]};
        a->angularVelocity = v[2][l];
        b->velocity = {v[3][l], v[4][l]};
        b->angularVelocity = v[5][l];
        for (uint32_t k = 0; k < points; k++) {
            if (hit[k][0] & (1 << l)) {
                a->collisionDelta = Add(a->collisionDelta, Vector2{d[k][0][l], d[k][1][l]});
                a->collidedWith = b->id;
                a->collisionNormal = Negate(q.normal[l]);
            }
            if (hit[k][1] & (1 << l)) {
                b->collisionDelta = Add(b->collisionDelta, Vector2{d[k][2][l], d[k][3][l]});
                b->collidedWith = a->id;
                b->collisionNormal = q.normal[l];
            }
        }
    }
}
#endif
}  // namespace

void SolveContacts() {
    const uint32_t n = physicsBodiesCount;
    solverBodies.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        const PhysicsBodyData* body = bodies[i];
        solverBodies[i] = {body->velocity,       body->angularVelocity, body->inverseMass,
                           body->inverseInertia, body->enabled,         body->freezeRotation,
                           body->collidedWith,   int32_t(body->id),     body->collisionDelta,
                           body->collisionNormal};
    }
    // Records that can change nothing (no points, masses not both near zero)
    // are left out. The rest are put in an order in which neighbours rarely
    // share a body, so the processor can overlap their arithmetic: each record
    // gets a level one above the last earlier record that shares a moving body
    // with it, and records run level by level. Records of one level touch
    // disjoint bodies, and every body still sees its records in table order,
    // so each body's sequence of operations, and the result, is unchanged.
    // A disabled body that no zero-mass record touches is never written here,
    // so it orders nothing.
    readOnly.assign(n, 0);
    for (uint32_t i = 0; i < n; i++) readOnly[i] = !bodies[i]->enabled;
    activeContacts.clear();
    for (uint32_t i = 0; i < physicsManifoldsCount; i++) {
        const PhysicsManifoldData* m = contacts[i];
        bool zeroMass = std::fabs(m->bodyA->inverseMass + m->bodyB->inverseMass) <= PHYSICS_EPSILON;
        if (zeroMass) {
            readOnly[contactPairs[i].a] = 0;
            readOnly[contactPairs[i].b] = 0;
        }
        if (zeroMass || m->contactsCount > 0) activeContacts.push_back(i);
    }
    lastLevel.assign(n, 0);
    contactLevels.resize(activeContacts.size());
    uint32_t levels = 0;
    for (size_t r = 0; r < activeContacts.size(); r++) {
        const ContactPair& pair = contactPairs[activeContacts[r]];
        uint32_t la = readOnly[pair.a] ? 0 : lastLevel[pair.a];
        uint32_t lb = readOnly[pair.b] ? 0 : lastLevel[pair.b];
        uint32_t level = fastSolver ? std::max(la, lb) + 1 : static_cast<uint32_t>(r) + 1;
        if (!readOnly[pair.a]) lastLevel[pair.a] = level;
        if (!readOnly[pair.b]) lastLevel[pair.b] = level;
        contactLevels[r] = level;
        levels = std::max(levels, level);
    }
    levelStart.assign(levels + 2, 0);
    for (uint32_t level : contactLevels) levelStart[level + 1]++;
    for (uint32_t l = 1; l < levelStart.size(); l++) levelStart[l] += levelStart[l - 1];
    levelBounds = levelStart;

    solverContacts.resize(activeContacts.size());
    for (size_t r = 0; r < activeContacts.size(); r++) {
        const uint32_t i = activeContacts[r];
        const PhysicsManifoldData* m = contacts[i];
        const PhysicsBodyData* A = m->bodyA;
        const PhysicsBodyData* B = m->bodyB;
        SolverContact& c = solverContacts[levelStart[contactLevels[r]]++];
        c.a = contactPairs[i].a;
        c.b = contactPairs[i].b;
        c.normal = m->normal;
        c.count = m->contactsCount;
        c.countScale = m->contactsCount == 2 ? 0.5f : 1.0f;
        c.restitution = m->restitution;
        c.staticFriction = m->staticFriction;
        c.dynamicFriction = m->dynamicFriction;
        c.zeroMass = std::fabs(A->inverseMass + B->inverseMass) <= PHYSICS_EPSILON;
        for (uint32_t k = 0; k < m->contactsCount; k++) {
            SolverPoint& p = c.points[k];
            p.rA = Sub(m->contactPoints[k], A->position);
            p.rB = Sub(m->contactPoints[k], B->position);
            float raCrossN = Cross(p.rA, m->normal);
            float rbCrossN = Cross(p.rB, m->normal);
            p.inverseMassSum = A->inverseMass + B->inverseMass + raCrossN * raCrossN * A->inverseInertia +
                               rbCrossN * rbCrossN * B->inverseInertia;
            p.effectiveMass = 1.0f / p.inverseMassSum;
        }
        for (uint32_t k = m->contactsCount; k < 2; k++) c.points[k] = SolverPoint{};
    }

    // Per level: its quads (four records that run side by side) and the
    // records left over (fewer than four, or zero-mass ones), run one by one.
    SolverBody* sb = solverBodies.data();
    quadBounds.assign(1, 0);
    singleBounds.assign(1, 0);
    singles.clear();
#if VIMO_PHYSICS_SSE
    solverQuads.clear();
#endif
    for (uint32_t level = 1; level + 1 < levelBounds.size(); level++) {
        uint32_t i = levelBounds[level];
        const uint32_t end = levelBounds[level + 1];
#if VIMO_PHYSICS_SSE
        uint32_t group[4];
        uint32_t grouped = 0;
        for (; i < end; i++) {
            if (solverContacts[i].zeroMass || !fastSolver) {
                singles.push_back(i);
                continue;
            }
            group[grouped++] = i;
            if (grouped == 4) {
                const SolverContact lanes[4] = {solverContacts[group[0]], solverContacts[group[1]],
                                                solverContacts[group[2]], solverContacts[group[3]]};
                solverQuads.emplace_back();
                BuildQuad(lanes, sb, &solverQuads.back());
                grouped = 0;
            }
        }
        for (uint32_t g = 0; g < grouped; g++) singles.push_back(group[g]);
        quadBounds.push_back(static_cast<uint32_t>(solverQuads.size()));
#else
        for (; i < end; i++) singles.push_back(i);
        quadBounds.push_back(0);
#endif
        singleBounds.push_back(static_cast<uint32_t>(singles.size()));
    }
    const size_t levelCount = quadBounds.size() - 1;
    for (int pass = 0; pass < PHYSICS_IMPULSE_PASSES; pass++) {
        for (size_t level = 0; level < levelCount; level++) {
#if VIMO_PHYSICS_SSE
            for (uint32_t qi = quadBounds[level]; qi < quadBounds[level + 1]; qi++) SolveQuad(solverQuads[qi], sb);
#endif
            for (uint32_t si = singleBounds[level]; si < singleBounds[level + 1]; si++) {
                SolveOne(solverContacts[singles[si]], sb);
            }
        }
    }

    for (uint32_t i = 0; i < n; i++) {
        if (readOnly[i]) continue;  // untouched by the passes
        PhysicsBodyData* body = bodies[i];
        const SolverBody& s = sb[i];
        body->velocity = s.velocity;
        body->angularVelocity = s.angularVelocity;
        body->collidedWith = s.collidedWith;
        body->collisionDelta = s.collisionDelta;
        body->collisionNormal = s.collisionNormal;
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
