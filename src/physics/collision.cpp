// Contact generation inside a step (the pair tests and the contact records),
// the mixing of coefficients, and the positional correction. The pairs come
// from broad_phase.cpp; the impulse passes are in contact_solver.cpp.
//
// Every function here runs on the stepping thread with PhysicsMutex() held.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "physics/physics.h"
#include "physics/physics_internal.h"

using namespace PhysicsWorld;

namespace physics_detail {

bool worldShapeCache = true;
bool preparedTwins = true;
bool boxTests = true;

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

// Four-vertex polygons' values for the batched box test, BOX_WORDS words per
// body by table index (see BoxWord).
constexpr uint32_t BOX_WORDS = 48;
enum BoxWord : uint32_t {
    BW_VX = 0, BW_VY = 4, BW_NX = 8, BW_NY = 12,  // world vertices and face normals
    BW_T00 = 16, BW_T01, BW_T10, BW_T11,          // rotation
    BW_PX = 20, BW_PY,                            // position
    BW_MX = 22, BW_MY = 26,                       // model vertices
    BW_MNX = 30, BW_MNY = 34,                     // model face normals
};
std::vector<float> boxWords;
bool boxBatch = false;  // this step's box pairs go through the batched test

void FillWorldShapes() {
    worldShapes.resize(physicsBodiesCount);
    if (boxBatch) boxWords.resize(static_cast<size_t>(physicsBodiesCount) * BOX_WORDS);
    for (uint32_t i = 0; i < physicsBodiesCount; i++) {
        const PhysicsBodyData* body = bodies[i];
        const PhysicsShape& shape = body->shape;
        if (shape.type != SHAPE_POLYGON) continue;
        WorldShape& w = worldShapes[i];
        for (uint32_t k = 0; k < shape.vertexCount && k < PHYSICS_MAX_VERTICES; k++) {
            w.vertices[k] = Add(MatMul(shape.transform, shape.positions[k]), body->position);
            w.normals[k] = MatMul(shape.transform, shape.normals[k]);
            w.vx[k] = w.vertices[k].x;
            w.vy[k] = w.vertices[k].y;
            w.nx[k] = w.normals[k].x;
            w.ny[k] = w.normals[k].y;
        }
        if (boxBatch && shape.vertexCount == 4) {
            float* q = &boxWords[static_cast<size_t>(i) * BOX_WORDS];
            for (uint32_t k = 0; k < 4; k++) {
                q[BW_VX + k] = w.vx[k];
                q[BW_VY + k] = w.vy[k];
                q[BW_NX + k] = w.nx[k];
                q[BW_NY + k] = w.ny[k];
                q[BW_MX + k] = shape.positions[k].x;
                q[BW_MY + k] = shape.positions[k].y;
                q[BW_MNX + k] = shape.normals[k].x;
                q[BW_MNY + k] = shape.normals[k].y;
            }
            q[BW_T00] = shape.transform.m00;
            q[BW_T01] = shape.transform.m01;
            q[BW_T10] = shape.transform.m10;
            q[BW_T11] = shape.transform.m11;
            q[BW_PX] = body->position.x;
            q[BW_PY] = body->position.y;
        }
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

namespace {
// Clips segment (a, b) against the half-plane n . p <= c; returns the points kept.
inline __attribute__((always_inline)) int ClipSegment(Vector2 normal, float clip, Vector2* faceA, Vector2* faceB) {
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
}  // namespace

int Clip(Vector2 normal, float clip, Vector2* faceA, Vector2* faceB) {
    return ClipSegment(normal, clip, faceA, faceB);
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

#if VIMO_PHYSICS_SSE
// The same search for two four-vertex polygons, A's four faces side by side in
// SSE lanes: each lane performs the scalar operations of the loop above for
// its face (support search first-on-ties included), and the faces are then
// compared in order, so the same face and distance result.
inline __attribute__((always_inline)) float AxisLeastPenetration4(uint32_t* faceIndex, const WorldShape& wa,
                                                                 const PhysicsBodyData* B) {
    const Matrix2x2& t = B->shape.transform;
    const __m128 m00 = _mm_set1_ps(t.m00), m01 = _mm_set1_ps(t.m01), m10 = _mm_set1_ps(t.m10),
                 m11 = _mm_set1_ps(t.m11);
    const __m128 sign = _mm_set1_ps(-0.0f);
    const __m128 wnx = _mm_load_ps(wa.nx), wny = _mm_load_ps(wa.ny);
    // n = transpose(B) x world normal
    const __m128 nx = _mm_add_ps(_mm_mul_ps(m00, wnx), _mm_mul_ps(m10, wny));
    const __m128 ny = _mm_add_ps(_mm_mul_ps(m01, wnx), _mm_mul_ps(m11, wny));
    const __m128 dx = _mm_xor_ps(nx, sign), dy = _mm_xor_ps(ny, sign);
    // Support of B along -n: the first vertex with the largest projection.
    __m128 best = _mm_set1_ps(-FLT_MAX);
    __m128 sx = _mm_setzero_ps(), sy = _mm_setzero_ps();
    for (uint32_t k = 0; k < 4; k++) {
        const __m128 px = _mm_set1_ps(B->shape.positions[k].x), py = _mm_set1_ps(B->shape.positions[k].y);
        const __m128 projection = _mm_add_ps(_mm_mul_ps(px, dx), _mm_mul_ps(py, dy));
        const __m128 take = _mm_cmpgt_ps(projection, best);
        best = _mm_or_ps(_mm_and_ps(take, projection), _mm_andnot_ps(take, best));
        sx = _mm_or_ps(_mm_and_ps(take, px), _mm_andnot_ps(take, sx));
        sy = _mm_or_ps(_mm_and_ps(take, py), _mm_andnot_ps(take, sy));
    }
    // v = transpose(B) x (world vertex - B's position)
    const __m128 rx = _mm_sub_ps(_mm_load_ps(wa.vx), _mm_set1_ps(B->position.x));
    const __m128 ry = _mm_sub_ps(_mm_load_ps(wa.vy), _mm_set1_ps(B->position.y));
    const __m128 vx = _mm_add_ps(_mm_mul_ps(m00, rx), _mm_mul_ps(m10, ry));
    const __m128 vy = _mm_add_ps(_mm_mul_ps(m01, rx), _mm_mul_ps(m11, ry));
    const __m128 distance = _mm_add_ps(_mm_mul_ps(nx, _mm_sub_ps(sx, vx)), _mm_mul_ps(ny, _mm_sub_ps(sy, vy)));
    // The scalar loop keeps the first face whose distance is greater than
    // every earlier one, starting from -FLT_MAX: so a NaN (never greater)
    // counts as -FLT_MAX, and the answer is the first face holding the
    // largest value (face 0 when none exceeds -FLT_MAX). Found without
    // branches: the maximum, then the first lane equal to it.
    const __m128 floor = _mm_set1_ps(-FLT_MAX);
    const __m128 gt = _mm_cmpgt_ps(distance, floor);
    const __m128 d = _mm_or_ps(_mm_and_ps(gt, distance), _mm_andnot_ps(gt, floor));
    __m128 top = _mm_max_ps(d, _mm_shuffle_ps(d, d, _MM_SHUFFLE(2, 3, 0, 1)));
    top = _mm_max_ps(top, _mm_shuffle_ps(top, top, _MM_SHUFFLE(1, 0, 3, 2)));
    const uint32_t bestIndex = static_cast<uint32_t>(__builtin_ctz(_mm_movemask_ps(_mm_cmpeq_ps(d, top))));
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, d);
    *faceIndex = bestIndex;
    return lanes[bestIndex];
}
#endif

void SolvePolygonsCached(PhysicsManifoldData* m, uint32_t ia, uint32_t ib) {
    m->contactsCount = 0;
    const PhysicsBodyData* A = m->bodyA;
    const PhysicsBodyData* B = m->bodyB;
    if (A->shape.vertexCount == 0 || B->shape.vertexCount == 0) return;
    const WorldShape& wa = worldShapes[ia];
    const WorldShape& wb = worldShapes[ib];
    uint32_t faceA = 0, faceB = 0;
    float penetrationA, penetrationB;
#if VIMO_PHYSICS_SSE
    if (A->shape.vertexCount == 4 && B->shape.vertexCount == 4) {
        penetrationA = AxisLeastPenetration4(&faceA, wa, B);
        if (penetrationA >= 0.0f) return;
        penetrationB = AxisLeastPenetration4(&faceB, wb, A);
        if (penetrationB >= 0.0f) return;
    } else
#endif
    {
        penetrationA = AxisLeastPenetrationCached(&faceA, A, wa, B);
        if (penetrationA >= 0.0f) return;
        penetrationB = AxisLeastPenetrationCached(&faceB, B, wb, A);
        if (penetrationB >= 0.0f) return;
    }

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

// The outcome of the box test for sixteen pairs, one per lane.
struct alignas(64) BoxResults {
    float nx[16], ny[16], penetration[16], p0x[16], p0y[16], p1x[16], p1y[16];
    int32_t count[16];
};
std::vector<int32_t> boxPairA, boxPairB;  // batched pairs' word offsets in boxWords
constexpr size_t MIN_BATCHED_BOXES = 8;
std::vector<BoxResults> boxResults;       // one per sixteen batched pairs

#if VIMO_PHYSICS_SSE
// SolvePolygonsCached for sixteen pairs of four-vertex polygons at once (the
// AVX-512 path): every lane performs that function's operations on its pair in
// the same order, each early return turned into a mask, each choice of face
// into selects, so each pair's record gets the same bits.
#pragma GCC push_options
#pragma GCC target("avx512f")
#pragma GCC optimize("fp-contract=off")
namespace boxes_avx512 {
inline __attribute__((always_inline)) __m512 Neg(__m512 v) {
    return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(v), _mm512_set1_epi32(INT32_MIN)));
}
inline __attribute__((always_inline)) __m512 Mul(__m512 a, __m512 b) { return _mm512_mul_ps(a, b); }
inline __attribute__((always_inline)) __m512 Add(__m512 a, __m512 b) { return _mm512_add_ps(a, b); }
inline __attribute__((always_inline)) __m512 Sub(__m512 a, __m512 b) { return _mm512_sub_ps(a, b); }

// A body's words, one register's worth per word (lane = pair).
struct Side {
    alignas(64) float w[38][16];
    __m512 operator[](int word) const { return _mm512_load_ps(w[word]); }
};

// AxisLeastPenetration4 of X's faces against Y: the largest distance and its face.
inline __attribute__((always_inline)) __m512 Axis(const Side& X, const Side& Y, __m512i* face) {
    const __m512 m00 = Y[BW_T00], m01 = Y[BW_T01], m10 = Y[BW_T10], m11 = Y[BW_T11];
    __m512 best = _mm512_set1_ps(-FLT_MAX);
    __m512i bestFace = _mm512_setzero_si512();
    for (int i = 0; i < 4; i++) {
        const __m512 wnx = X[BW_NX + i], wny = X[BW_NY + i];
        const __m512 nx = Add(Mul(m00, wnx), Mul(m10, wny));
        const __m512 ny = Add(Mul(m01, wnx), Mul(m11, wny));
        const __m512 dx = Neg(nx), dy = Neg(ny);
        // Support of Y along -n: the first vertex with the largest projection.
        __m512 top = _mm512_set1_ps(-FLT_MAX), sx = _mm512_setzero_ps(), sy = _mm512_setzero_ps();
        for (int k = 0; k < 4; k++) {
            const __m512 px = Y[BW_MX + k], py = Y[BW_MY + k];
            const __m512 projection = Add(Mul(px, dx), Mul(py, dy));
            const __mmask16 take = _mm512_cmp_ps_mask(projection, top, _CMP_GT_OQ);
            top = _mm512_mask_mov_ps(top, take, projection);
            sx = _mm512_mask_mov_ps(sx, take, px);
            sy = _mm512_mask_mov_ps(sy, take, py);
        }
        const __m512 rx = Sub(X[BW_VX + i], Y[BW_PX]), ry = Sub(X[BW_VY + i], Y[BW_PY]);
        const __m512 vx = Add(Mul(m00, rx), Mul(m10, ry));
        const __m512 vy = Add(Mul(m01, rx), Mul(m11, ry));
        const __m512 distance = Add(Mul(nx, Sub(sx, vx)), Mul(ny, Sub(sy, vy)));
        // The first face whose distance is greater than every earlier one.
        const __mmask16 take = _mm512_cmp_ps_mask(distance, best, _CMP_GT_OQ);
        best = _mm512_mask_mov_ps(best, take, distance);
        bestFace = _mm512_mask_mov_epi32(bestFace, take, _mm512_set1_epi32(i));
    }
    *face = bestFace;
    return best;
}

// ClipSegment on lanes: which lanes keep two points, and the two points.
inline __attribute__((always_inline)) __mmask16 Clip(__m512 nx, __m512 ny, __m512 clip, __m512* f0x, __m512* f0y,
                                                     __m512* f1x, __m512* f1y) {
    const __m512 zero = _mm512_setzero_ps();
    const __m512 dA = Sub(Add(Mul(nx, *f0x), Mul(ny, *f0y)), clip);
    const __m512 dB = Sub(Add(Mul(nx, *f1x), Mul(ny, *f1y)), clip);
    const __mmask16 inA = _mm512_cmp_ps_mask(dA, zero, _CMP_LE_OQ);
    const __mmask16 inB = _mm512_cmp_ps_mask(dB, zero, _CMP_LE_OQ);
    const __mmask16 crosses = _mm512_cmp_ps_mask(Mul(dA, dB), zero, _CMP_LT_OQ);
    const __m512 alpha = _mm512_div_ps(dA, Sub(dA, dB));
    const __m512 ix = Add(*f0x, Mul(Sub(*f1x, *f0x), alpha));
    const __m512 iy = Add(*f0y, Mul(Sub(*f1y, *f0y), alpha));
    // Two points: both inside (f0, f1), or one inside and the crossing (that one, crossing).
    const __mmask16 both = inA & inB;
    const __mmask16 two = both | ((inA ^ inB) & crosses);
    const __m512 o0x = _mm512_mask_mov_ps(*f1x, inA, *f0x), o0y = _mm512_mask_mov_ps(*f1y, inA, *f0y);
    *f1x = _mm512_mask_mov_ps(ix, both, *f1x);
    *f1y = _mm512_mask_mov_ps(iy, both, *f1y);
    *f0x = o0x;
    *f0y = o0y;
    return two;
}

// Lane l tests the pair whose bodies' words start at a[l] and b[l].
void SolveBoxes(const int32_t* a, const int32_t* b, const float* words, BoxResults* out) {
    Side A, B;
    const __m512i ia = _mm512_loadu_si512(a), ib = _mm512_loadu_si512(b);
    for (int w = 0; w < 38; w++) {
        _mm512_store_ps(A.w[w], _mm512_i32gather_ps(ia, words + w, 4));
        _mm512_store_ps(B.w[w], _mm512_i32gather_ps(ib, words + w, 4));
    }
    const __m512 zero = _mm512_setzero_ps();
    __m512i faceA, faceB;
    const __m512 penA = Axis(A, B, &faceA);
    const __m512 penB = Axis(B, A, &faceB);
    __mmask16 ok = _mm512_cmp_ps_mask(penA, zero, _CMP_NGE_UQ) & _mm512_cmp_ps_mask(penB, zero, _CMP_NGE_UQ);
    // flip: !BiasGreaterThan(penA, penB); B is then the reference polygon.
    const __m512 bias = Add(Mul(penB, _mm512_set1_ps(0.95f)), Mul(penA, _mm512_set1_ps(0.01f)));
    const __mmask16 flip = _mm512_cmp_ps_mask(penA, bias, _CMP_NGE_UQ);
    const __m512i refIndex = _mm512_mask_mov_epi32(faceA, flip, faceB);
    // Word + index of the reference polygon (A unless flipped), or of the incident one.
    auto pickFrom = [&](bool reference, int word, const __m512i& index) {
        const Side& unflipped = reference ? A : B;
        const Side& flipped = reference ? B : A;
        __m512 v = _mm512_mask_mov_ps(unflipped[word], flip, flipped[word]);
        for (int j = 1; j < 4; j++) {
            const __mmask16 at = _mm512_cmpeq_epi32_mask(index, _mm512_set1_epi32(j));
            v = _mm512_mask_mov_ps(v, at, _mm512_mask_mov_ps(unflipped[word + j], flip, flipped[word + j]));
        }
        return v;
    };
    auto pick = [&](int word, const __m512i& index) { return pickFrom(true, word, index); };
    auto pickIncident = [&](int word, const __m512i& index) { return pickFrom(false, word, index); };
    auto incident = [&](int word) { return _mm512_mask_mov_ps(B[word], flip, A[word]); };
    const __m512i three = _mm512_set1_epi32(3);
    // Incident face: the incident polygon's face most opposed to the reference normal.
    const __m512 wnx = pick(BW_NX, refIndex), wny = pick(BW_NY, refIndex);
    const __m512 rnx = Add(Mul(incident(BW_T00), wnx), Mul(incident(BW_T10), wny));
    const __m512 rny = Add(Mul(incident(BW_T01), wnx), Mul(incident(BW_T11), wny));
    __m512 minDot = _mm512_set1_ps(FLT_MAX);
    __m512i face = _mm512_setzero_si512();
    for (int i = 0; i < 4; i++) {
        const __m512 dot = Add(Mul(rnx, incident(BW_MNX + i)), Mul(rny, incident(BW_MNY + i)));
        const __mmask16 take = _mm512_cmp_ps_mask(dot, minDot, _CMP_LT_OQ);
        minDot = _mm512_mask_mov_ps(minDot, take, dot);
        face = _mm512_mask_mov_epi32(face, take, _mm512_set1_epi32(i));
    }
    const __m512i nextFace = _mm512_and_si512(_mm512_add_epi32(face, _mm512_set1_epi32(1)), three);
    __m512 i0x = pickIncident(BW_VX, face), i0y = pickIncident(BW_VY, face);
    __m512 i1x = pickIncident(BW_VX, nextFace), i1y = pickIncident(BW_VY, nextFace);

    const __m512i nextRef = _mm512_and_si512(_mm512_add_epi32(refIndex, _mm512_set1_epi32(1)), three);
    const __m512 v1x = pick(BW_VX, refIndex), v1y = pick(BW_VY, refIndex);
    const __m512 v2x = pick(BW_VX, nextRef), v2y = pick(BW_VY, nextRef);
    // side = Normalize(v2 - v1): unchanged when of zero length.
    __m512 sx = Sub(v2x, v1x), sy = Sub(v2y, v1y);
    const __m512 len = _mm512_sqrt_ps(Add(Mul(sx, sx), Mul(sy, sy)));
    const __mmask16 scaled = _mm512_cmp_ps_mask(len, zero, _CMP_NEQ_UQ);
    const __m512 inv = _mm512_div_ps(_mm512_set1_ps(1.0f), len);
    sx = _mm512_mask_mul_ps(sx, scaled, sx, inv);
    sy = _mm512_mask_mul_ps(sy, scaled, sy, inv);
    const __m512 fnx = sy, fny = Neg(sx);
    const __m512 refC = Add(Mul(fnx, v1x), Mul(fny, v1y));
    const __m512 negSide = Neg(Add(Mul(sx, v1x), Mul(sy, v1y)));
    const __m512 posSide = Add(Mul(sx, v2x), Mul(sy, v2y));
    ok &= Clip(Neg(sx), Neg(sy), negSide, &i0x, &i0y, &i1x, &i1y);
    ok &= Clip(sx, sy, posSide, &i0x, &i0y, &i1x, &i1y);

    const __m512 sep0 = Sub(Add(Mul(fnx, i0x), Mul(fny, i0y)), refC);
    const __m512 sep1 = Sub(Add(Mul(fnx, i1x), Mul(fny, i1y)), refC);
    const __mmask16 keep0 = _mm512_cmp_ps_mask(sep0, zero, _CMP_LE_OQ) & ok;
    const __mmask16 keep1 = _mm512_cmp_ps_mask(sep1, zero, _CMP_LE_OQ) & ok;
    __m512 depth = zero;
    depth = _mm512_mask_add_ps(depth, keep0, depth, Neg(sep0));
    depth = _mm512_mask_add_ps(depth, keep1, depth, Neg(sep1));
    const __m512i kept = _mm512_add_epi32(_mm512_maskz_mov_epi32(keep0, _mm512_set1_epi32(1)),
                                          _mm512_maskz_mov_epi32(keep1, _mm512_set1_epi32(1)));
    const __mmask16 any = keep0 | keep1;
    const __m512 penetration = _mm512_maskz_div_ps(any, depth, _mm512_cvtepi32_ps(kept));
    // Points: those kept, in order; the rest zero.
    const __m512 p0x = _mm512_maskz_mov_ps(any, _mm512_mask_mov_ps(i1x, keep0, i0x));
    const __m512 p0y = _mm512_maskz_mov_ps(any, _mm512_mask_mov_ps(i1y, keep0, i0y));
    const __m512 p1x = _mm512_maskz_mov_ps(keep0 & keep1, i1x);
    const __m512 p1y = _mm512_maskz_mov_ps(keep0 & keep1, i1y);
    _mm512_store_ps(out->nx, _mm512_maskz_mov_ps(ok, _mm512_mask_mov_ps(fnx, flip, Neg(fnx))));
    _mm512_store_ps(out->ny, _mm512_maskz_mov_ps(ok, _mm512_mask_mov_ps(fny, flip, Neg(fny))));
    _mm512_store_ps(out->penetration, penetration);
    _mm512_store_ps(out->p0x, p0x);
    _mm512_store_ps(out->p0y, p0y);
    _mm512_store_ps(out->p1x, p1x);
    _mm512_store_ps(out->p1y, p1y);
    _mm512_store_si512(out->count, kept);
}
}  // namespace boxes_avx512
#pragma GCC pop_options
#endif

}  // namespace

// ---- Step phases -------------------------------------------------------------------

void ClearContacts() {
    usedMemory -= physicsManifoldsCount * static_cast<uint32_t>(sizeof(PhysicsManifoldData));
    physicsManifoldsCount = 0;
}

void BuildContacts() {
    for (uint32_t i = 0; i < physicsBodiesCount; i++) bodies[i]->isGrounded = false;
#if VIMO_PHYSICS_SSE
    boxBatch = worldShapeCache && boxTests && SolverKernelSupported(SOLVER_AVX512);
#endif
    if (pairPrefilter || worldShapeCache) FillWorldShapes();
    GatherPairs();
    // Pairs of four-vertex polygons are tested sixteen at a time, each group
    // when the first of its pairs is reached (pairs past a full table are
    // never tested); the records are entered in order.
    auto isBox = [](const PhysicsBodyData* body) {
        return body->shape.type == SHAPE_POLYGON && body->shape.vertexCount == 4;
    };
    uint32_t boxesDone = 0;
#if VIMO_PHYSICS_SSE
    if (boxBatch) {
        boxPairA.clear();
        boxPairB.clear();
        for (uint32_t key : pairKeys) {
            const uint32_t ia = key >> PAIR_SHIFT, ib = key & PAIR_MASK;
            if (isBox(bodies[ia]) && isBox(bodies[ib])) {
                boxPairA.push_back(static_cast<int32_t>(ia * BOX_WORDS));
                boxPairB.push_back(static_cast<int32_t>(ib * BOX_WORDS));
            }
        }
        // A handful of pairs is quicker one by one than padded to sixteen lanes.
        if (boxPairA.size() < MIN_BATCHED_BOXES) boxBatch = false;
        while (boxBatch && boxPairA.size() % 16 != 0) {  // padding lanes repeat a pair
            boxPairA.push_back(boxPairA[0]);
            boxPairB.push_back(boxPairB[0]);
        }
        boxResults.resize(boxPairA.size() / 16);
    }
#endif
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
            if (boxBatch && isBox(A) && isBox(B)) {
                const uint32_t g = boxesDone / 16, l = boxesDone++ % 16;
                BoxResults& r = boxResults[g];
#if VIMO_PHYSICS_SSE
                if (l == 0) boxes_avx512::SolveBoxes(&boxPairA[16 * g], &boxPairB[16 * g], boxWords.data(), &r);
#endif
                m->contactsCount = static_cast<uint32_t>(r.count[l]);
                m->normal = {r.nx[l], r.ny[l]};
                m->penetration = r.penetration[l];
                m->contactPoints[0] = {r.p0x[l], r.p0y[l]};
                m->contactPoints[1] = {r.p1x[l], r.p1y[l]};
            } else if (worldShapeCache) {
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
            contactIsTwin[physicsManifoldsCount - 1] = true;
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
        if (contactIsTwin[i] && preparedTwins) {
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
            Vector2 rv = RelativeVelocity(A, B, rA, rB);
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
