// Contact generation inside a step (the pair tests and the contact records),
// the mixing of coefficients, and the positional correction. The pairs come
// from broad_phase.cpp; the impulse passes are in contact_solver.cpp.
//
// Where each formula of the shape tests lives (change them together, in the
// same order of operations: the lanes must give the plain path's bits):
//  - world-space vertices and normals of a polygon: FillWorldShapes (once per
//    step, for the plain path) and SolveBoxLanes (per pair, in lanes);
//  - the polygon test (least-penetration axis with its support search, the
//    reference and incident faces, clipping, contact points and depth):
//    SolvePolygonToPolygon with FindAxisLeastPenetration, GetSupport and
//    ClipSegment (the plain path, any polygons) and SolveBoxLanes (the lane
//    kernel, pairs of four-vertex polygons, every SIMD target Highway builds);
//  - circles: SolveCircleToCircle and SolveDifferentShapes only.
//
// Every function here runs on the stepping thread with PhysicsMutex() held.
#ifndef VIMO_PHYSICS_COLLISION_ONCE
#define VIMO_PHYSICS_COLLISION_ONCE
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#include "physics/physics.h"
#include "physics/physics_internal.h"

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

// Four-vertex polygons' values for the box lanes, BOX_WORDS words per body by
// table index: rotation, position, model vertices and normals (one array per
// coordinate); the first words are the lanes' room for the world vertices and
// normals they work out.
constexpr int32_t BOX_WORDS = 40;
enum BoxWord : int32_t {
    BW_VX = 0, BW_VY = 4, BW_NX = 8, BW_NY = 12, BW_T00 = 16, BW_T01, BW_T10, BW_T11, BW_PX = 20, BW_PY,
    BW_MX = 22, BW_MY = 26, BW_MNX = 30, BW_MNY = 34, BW_USED = 38,
};
std::vector<float> boxWords;
// Box pairs are tested in groups of BOX_GROUP (a group when its first pair is
// reached, so pairs past a full table are never tested); fewer than
// MIN_BOX_PAIRS in a step go one by one.
constexpr uint32_t BOX_GROUP = 16, MIN_BOX_PAIRS = 8;
// The outcome of the box test for a group of pairs, one per lane: normal,
// depth, contact points and how many (0, 1 or 2).
struct alignas(64) BoxResults {
    float nx[BOX_GROUP], ny[BOX_GROUP], penetration[BOX_GROUP], p0x[BOX_GROUP], p0y[BOX_GROUP],
        p1x[BOX_GROUP], p1y[BOX_GROUP], kept[BOX_GROUP];
};
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
        for (uint32_t k = 0; k < shape.vertexCount && k < PHYSICS_MAX_VERTICES; k++) {
            w.vertices[k] = Add(MatMul(shape.transform, shape.positions[k]), body->position);
            w.normals[k] = MatMul(shape.transform, shape.normals[k]);
        }
        if (!boxLanes || shape.vertexCount != 4) continue;
        float* q = &boxWords[static_cast<size_t>(i) * BOX_WORDS];
        for (uint32_t k = 0; k < 4; k++) {
            q[BW_MX + k] = shape.positions[k].x, q[BW_MY + k] = shape.positions[k].y;
            q[BW_MNX + k] = shape.normals[k].x, q[BW_MNY + k] = shape.normals[k].y;
        }
        const Matrix2x2& t = shape.transform;
        q[BW_T00] = t.m00, q[BW_T01] = t.m01, q[BW_T10] = t.m10, q[BW_T11] = t.m11;
        q[BW_PX] = body->position.x, q[BW_PY] = body->position.y;
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

}  // namespace

namespace {
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
    float penetrationA, penetrationB;
    penetrationA = FindAxisLeastPenetration(&faceA, A, wa, B);
    if (penetrationA >= 0.0f) return;
    penetrationB = FindAxisLeastPenetration(&faceB, B, wb, A);
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

}  // namespace
}  // namespace physics_detail
#endif  // VIMO_PHYSICS_COLLISION_ONCE

// ---- The box lanes, compiled once per SIMD target ----
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "physics/collision.cpp"
#include <hwy/foreach_target.h>  // re-includes this file for every target
#include <hwy/highway.h>

#include "physics/lane_pairs-inl.h"

HWY_BEFORE_NAMESPACE();
namespace physics_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// SolvePolygonToPolygon for a group of BOX_GROUP pairs of four-vertex
// polygons, one pair per lane (pairA[l], pairB[l]: word offsets of the bodies
// in words): every lane performs that function's operations on its pair in
// the same order, each early return turned into a mask, each choice of face
// into selects (face numbers held as floats), so each record gets the same
// bits. (The least-penetration search does not stop at a gap: the largest
// distance is then at least as large, and the pair is dropped all the same.)
void SolveBoxLanes(const int32_t* pairA, const int32_t* pairB, const float* words, BoxResults* out) {
    const hn::CappedTag<float, BOX_GROUP> df;
    const hn::RebindToSigned<decltype(df)> di;
    using VF = decltype(hn::Zero(df));
    using M = decltype(hn::FirstN(df, 0));
    const size_t lanes = hn::Lanes(df);
    fastPathRuns.boxLaneGroups++;
    for (size_t first = 0; first < BOX_GROUP; first += lanes) {
        // Each body's words, one vector per word (lane = pair).
        HWY_ALIGN float sideA[BW_USED * BOX_GROUP], sideB[BW_USED * BOX_GROUP];
        const auto ia = hn::LoadU(di, pairA + first), ib = hn::LoadU(di, pairB + first);
        // Words (w, w + 1) of every lane's body at once (pairs from even words).
        auto gather = [&](int32_t w, const decltype(ia)& at, float* side) {
            VF even, odd;
            GatherPair(df, words + w, at, &even, &odd);
            hn::Store(even, df, side + w * lanes);
            hn::Store(odd, df, side + (w + 1) * lanes);
        };
        static_assert(BW_T00 % 2 == 0 && BW_USED % 2 == 0 && BOX_WORDS % 2 == 0, "word pairs");
        for (int32_t w = BW_T00; w < BW_USED; w += 2) {
            gather(w, ia, sideA);
            gather(w, ib, sideB);
        }
        auto A = [&](int32_t w) { return hn::Load(df, sideA + w * lanes); };
        auto B = [&](int32_t w) { return hn::Load(df, sideB + w * lanes); };
        // World vertices and normals as FillWorldShapes has them: vertex =
        // transform x model vertex + position, normal = transform x model normal.
        auto world = [&](auto X, float* side) {
            const VF m00 = X(BW_T00), m01 = X(BW_T01), m10 = X(BW_T10), m11 = X(BW_T11);
            for (int32_t k = 0; k < 4; k++) {
                const VF x = X(BW_MX + k), y = X(BW_MY + k), nx = X(BW_MNX + k), ny = X(BW_MNY + k);
                hn::Store((m00 * x + m01 * y) + X(BW_PX), df, side + (BW_VX + k) * lanes);
                hn::Store((m10 * x + m11 * y) + X(BW_PY), df, side + (BW_VY + k) * lanes);
                hn::Store(m00 * nx + m01 * ny, df, side + (BW_NX + k) * lanes);
                hn::Store(m10 * nx + m11 * ny, df, side + (BW_NY + k) * lanes);
            }
        };
        world(A, sideA);
        world(B, sideB);
        const VF zero = hn::Zero(df), lowest = hn::Set(df, -FLT_MAX);
        auto face = [&](int32_t i) { return hn::Set(df, static_cast<float>(i)); };

        // FindAxisLeastPenetration of X's faces against Y: the largest distance and its face.
        auto axis = [&](auto X, auto Y, VF* bestFace) {
            const VF m00 = Y(BW_T00), m01 = Y(BW_T01), m10 = Y(BW_T10), m11 = Y(BW_T11);
            VF best = lowest;
            *bestFace = zero;
            for (int32_t i = 0; i < 4; i++) {
                const VF wnx = X(BW_NX + i), wny = X(BW_NY + i);
                const VF nx = m00 * wnx + m10 * wny, ny = m01 * wnx + m11 * wny;
                const VF dx = hn::Neg(nx), dy = hn::Neg(ny);
                // GetSupport along -n: the first vertex with the largest projection.
                VF top = lowest, sx = zero, sy = zero;
                for (int32_t k = 0; k < 4; k++) {
                    const VF px = Y(BW_MX + k), py = Y(BW_MY + k);
                    const VF projection = px * dx + py * dy;
                    const M take = hn::Gt(projection, top);
                    top = hn::IfThenElse(take, projection, top);
                    sx = hn::IfThenElse(take, px, sx);
                    sy = hn::IfThenElse(take, py, sy);
                }
                const VF rx = X(BW_VX + i) - Y(BW_PX), ry = X(BW_VY + i) - Y(BW_PY);
                const VF vx = m00 * rx + m10 * ry, vy = m01 * rx + m11 * ry;
                const VF distance = nx * (sx - vx) + ny * (sy - vy);
                const M take = hn::Gt(distance, best);
                best = hn::IfThenElse(take, distance, best);
                *bestFace = hn::IfThenElse(take, face(i), *bestFace);
            }
            return best;
        };
        VF faceA, faceB;
        const VF penA = axis(A, B, &faceA);
        const VF penB = axis(B, A, &faceB);
        M ok = hn::And(hn::Not(hn::Ge(penA, zero)), hn::Not(hn::Ge(penB, zero)));
        // flip: !BiasGreaterThan(penA, penB); B is then the reference polygon.
        const M flip = hn::Not(hn::Ge(penA, penB * hn::Set(df, 0.95f) + penA * hn::Set(df, 0.01f)));
        const VF refIndex = hn::IfThenElse(flip, faceB, faceA);
        const VF three = face(3), one = face(1);
        auto next = [&](VF i) { return hn::IfThenElse(hn::Eq(i, three), zero, i + one); };
        // Word w + index i of the reference polygon (A unless flipped), or of the incident one.
        auto pick = [&](bool reference, int32_t w, VF i) {
            auto at = [&](int32_t word) {
                return reference ? hn::IfThenElse(flip, B(word), A(word)) : hn::IfThenElse(flip, A(word), B(word));
            };
            VF v = at(w);
            for (int32_t j = 1; j < 4; j++) v = hn::IfThenElse(hn::Eq(i, face(j)), at(w + j), v);
            return v;
        };
        auto incident = [&](int32_t w) { return hn::IfThenElse(flip, A(w), B(w)); };
        // Incident face: the incident polygon's face most opposed to the reference normal.
        const VF wnx = pick(true, BW_NX, refIndex), wny = pick(true, BW_NY, refIndex);
        const VF rnx = incident(BW_T00) * wnx + incident(BW_T10) * wny;
        const VF rny = incident(BW_T01) * wnx + incident(BW_T11) * wny;
        VF minDot = hn::Set(df, FLT_MAX), incFace = zero;
        for (int32_t i = 0; i < 4; i++) {
            const VF dot = rnx * incident(BW_MNX + i) + rny * incident(BW_MNY + i);
            const M take = hn::Lt(dot, minDot);
            minDot = hn::IfThenElse(take, dot, minDot);
            incFace = hn::IfThenElse(take, face(i), incFace);
        }
        VF i0x = pick(false, BW_VX, incFace), i0y = pick(false, BW_VY, incFace);
        VF i1x = pick(false, BW_VX, next(incFace)), i1y = pick(false, BW_VY, next(incFace));

        const VF v1x = pick(true, BW_VX, refIndex), v1y = pick(true, BW_VY, refIndex);
        const VF v2x = pick(true, BW_VX, next(refIndex)), v2y = pick(true, BW_VY, next(refIndex));
        // side = Normalize(v2 - v1): unchanged when of zero length.
        VF sx = v2x - v1x, sy = v2y - v1y;
        const VF len = hn::Sqrt(sx * sx + sy * sy);
        const M scaled = hn::Not(hn::Eq(len, zero));
        const VF inv = one / len;
        sx = hn::IfThenElse(scaled, sx * inv, sx);
        sy = hn::IfThenElse(scaled, sy * inv, sy);
        const VF fnx = sy, fny = hn::Neg(sx);
        const VF refC = fnx * v1x + fny * v1y;
        const VF negSide = hn::Neg(sx * v1x + sy * v1y);
        const VF posSide = sx * v2x + sy * v2y;
        // ClipSegment: whether two points are kept, and the two points.
        auto clip = [&](VF nx, VF ny, VF c) {
            const VF dA = (nx * i0x + ny * i0y) - c, dB = (nx * i1x + ny * i1y) - c;
            const M inA = hn::Le(dA, zero), inB = hn::Le(dB, zero), crosses = hn::Lt(dA * dB, zero);
            const VF alpha = dA / (dA - dB);
            const VF ix = i0x + (i1x - i0x) * alpha, iy = i0y + (i1y - i0y) * alpha;
            // Two points: both inside (f0, f1), or one inside and the crossing (that one, crossing).
            const M both = hn::And(inA, inB);
            const M two = hn::Or(both, hn::And(hn::Xor(inA, inB), crosses));
            const VF o0x = hn::IfThenElse(inA, i0x, i1x), o0y = hn::IfThenElse(inA, i0y, i1y);
            i1x = hn::IfThenElse(both, i1x, ix);
            i1y = hn::IfThenElse(both, i1y, iy);
            i0x = o0x;
            i0y = o0y;
            return two;
        };
        ok = hn::And(ok, clip(hn::Neg(sx), hn::Neg(sy), negSide));
        ok = hn::And(ok, clip(sx, sy, posSide));

        const VF sep0 = (fnx * i0x + fny * i0y) - refC, sep1 = (fnx * i1x + fny * i1y) - refC;
        const M keep0 = hn::And(hn::Le(sep0, zero), ok), keep1 = hn::And(hn::Le(sep1, zero), ok);
        VF depth = zero;
        depth = hn::IfThenElse(keep0, depth + hn::Neg(sep0), depth);
        depth = hn::IfThenElse(keep1, depth + hn::Neg(sep1), depth);
        const VF kept = hn::IfThenElseZero(keep0, one) + hn::IfThenElseZero(keep1, one);
        const M any = hn::Or(keep0, keep1);
        BoxResults& r = *out;
        hn::StoreU(hn::IfThenElseZero(any, depth / kept), df, r.penetration + first);
        hn::StoreU(hn::IfThenElseZero(any, hn::IfThenElse(keep0, i0x, i1x)), df, r.p0x + first);
        hn::StoreU(hn::IfThenElseZero(any, hn::IfThenElse(keep0, i0y, i1y)), df, r.p0y + first);
        hn::StoreU(hn::IfThenElseZero(hn::And(keep0, keep1), i1x), df, r.p1x + first);
        hn::StoreU(hn::IfThenElseZero(hn::And(keep0, keep1), i1y), df, r.p1y + first);
        hn::StoreU(hn::IfThenElseZero(ok, hn::IfThenElse(flip, hn::Neg(fnx), fnx)), df, r.nx + first);
        hn::StoreU(hn::IfThenElseZero(ok, hn::IfThenElse(flip, hn::Neg(fny), fny)), df, r.ny + first);
        hn::StoreU(kept, df, r.kept + first);
    }
    fastPathRuns.boxLaneTargets |= HWY_TARGET;
}

}  // namespace HWY_NAMESPACE
}  // namespace physics_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace physics_detail {

HWY_EXPORT(SolveBoxLanes);

// ---- Step phases -------------------------------------------------------------------

void ClearContacts() {
    usedMemory -= physicsManifoldsCount * static_cast<uint32_t>(sizeof(PhysicsManifoldData));
    physicsManifoldsCount = 0;
}

void BuildContacts() {
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
                    HWY_DYNAMIC_DISPATCH(SolveBoxLanes)(&boxPairA[BOX_GROUP * g], &boxPairB[BOX_GROUP * g],
                                                        boxWords.data(), &boxResults[g]);
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
        if (m->contactsCount > 0) {
            // A touching pair is entered twice, one record right after the
            // other; both are resolved and corrected (the mascot's feel
            // depends on the doubled response).
            PhysicsManifoldData* twin = NewManifold(A, B, ia, ib);
            if (!twin) return;
            contactIsTwin[physicsManifoldsCount - 1] = true;
            const uint32_t id = twin->id;
            *twin = *m;
            twin->id = id;
        }
    }
}

void PrepareContacts() {
    const double gx = gravityForce.x * deltaTime / 1000.0;
    const double gy = gravityForce.y * deltaTime / 1000.0;
    const double restingSpeedSqr = gx * gx + gy * gy + PHYSICS_EPSILON;
    for (uint32_t i = 0; i < physicsManifoldsCount; i++) {
        PhysicsManifoldData* m = contacts[i];
        const PhysicsBodyData* A = m->bodyA;
        const PhysicsBodyData* B = m->bodyB;
        if (!A || !B) continue;
        if (contactIsTwin[i] && preparedTwins) {
            fastPathRuns.copiedTwins++;
            // Same bodies, same points, same velocities as the record before
            // it: the same three roots and the same resting test.
            const PhysicsManifoldData* first = contacts[i - 1];
            m->restitution = first->restitution;
            m->staticFriction = first->staticFriction;
            m->dynamicFriction = first->dynamicFriction;
            continue;
        }
        m->restitution = std::sqrt(A->restitution * B->restitution);
        m->staticFriction = std::sqrt(A->staticFriction * B->staticFriction);
        m->dynamicFriction = std::sqrt(A->dynamicFriction * B->dynamicFriction);
        for (uint32_t k = 0; k < m->contactsCount; k++) {
            Vector2 rA = Sub(m->contactPoints[k], A->position);
            Vector2 rB = Sub(m->contactPoints[k], B->position);
            Vector2 rv = RelativeVelocity(A->velocity, A->angularVelocity, B->velocity, B->angularVelocity, rA, rB);
            // Slower than one step of gravity: a resting contact, which must not bounce.
            if (LenSqr(rv) < restingSpeedSqr) m->restitution = 0.0f;
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
#endif  // HWY_ONCE
