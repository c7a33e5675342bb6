// Contact generation and resolution inside a step: the pair tests with their
// bounding-box pre-filter, the contact records, the impulse passes that fill
// each body's collision record, and the positional correction.
//
// Every function here runs on the stepping thread with PhysicsMutex() held.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <immintrin.h>
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
bool preparedTwins = true;
bool boxTests = true;

bool SolverKernelSupported(int kernel) {
#if defined(__SSE2__)
    static const bool avx = __builtin_cpu_supports("avx2");
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    switch (kernel) {
        case SOLVER_SSE2: return true;
        case SOLVER_AVX: return avx;
        case SOLVER_AVX512: return avx512;
        case SOLVER_AUTO: return true;
    }
    return false;
#else
    return kernel == SOLVER_SSE2 || kernel == SOLVER_AUTO;
#endif
}
int solverKernel = SOLVER_AUTO;

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
    // The same, one array per coordinate (for the four-face test of two boxes).
    alignas(16) float vx[PHYSICS_MAX_VERTICES], vy[PHYSICS_MAX_VERTICES];
    alignas(16) float nx[PHYSICS_MAX_VERTICES], ny[PHYSICS_MAX_VERTICES];
};
std::vector<WorldShape> worldShapes;  // by table index, filled by FillWorldShapes

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

struct BodyBounds {
    float minX, maxX, minY, maxY;
    uint32_t index;  // table index of the body
};

std::vector<BodyBounds> sweepBounds;  // non-wild bodies, sorted by minX
std::vector<uint32_t> sweepOrder;     // the previous step's sorted table indices (bodies move little)
uint32_t sweepOrderBodies = 0;        // table size when sweepOrder was made
std::vector<BodyBounds> boundsByIndex;  // this step's bounds by table index
std::vector<uint32_t> wildBodies;     // table indices of wild bodies
std::vector<uint32_t> heavyBodies;    // table indices with 0 <= inverseMass <= epsilon
std::vector<uint32_t> pairKeys;       // i << 12 | j with i < j
std::vector<uint32_t> keyScratch;     // sort buffer
std::vector<uint32_t> keyCounts;      // per first index: keys before it
std::vector<float> sweepMinX, sweepMinY, sweepMaxY;  // sweepBounds' edges, packed for the sweep's loops
std::vector<uint32_t> sweepIndex;     // sweepBounds' table indices, packed
std::vector<uint32_t> sweepCandidates;  // one body's overlapping candidates (table indices)
std::vector<int32_t> bodyLayer;       // by table index: collisionLayer
std::vector<uint8_t> bodyStatic;      // by table index: inverseMass is 0

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
    return LayersCollide(a->collisionLayer, b->collisionLayer) && !(a->inverseMass == 0.0f && b->inverseMass == 0.0f);
}

// Keys into ascending order: two counting passes (second index, then first;
// both below n), each stable, without a comparison to mispredict.
void SortKeys(uint32_t n) {
    keyScratch.resize(pairKeys.size());
    for (uint32_t shift : {0u, PAIR_SHIFT}) {
        keyCounts.assign(n + 1, 0);
        for (uint32_t k : pairKeys) keyCounts[((k >> shift) & PAIR_MASK) + 1]++;
        for (uint32_t i = 1; i <= n; i++) keyCounts[i] += keyCounts[i - 1];
        for (uint32_t k : pairKeys) keyScratch[keyCounts[(k >> shift) & PAIR_MASK]++] = k;
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

#if VIMO_PHYSICS_SSE
// For each 4-bit mask: the positions of its set bits in order (the rest 0),
// then how many there are.
struct SweepPick {
    uint8_t table[16][5];
    constexpr SweepPick() : table() {
        for (int m = 0; m < 16; m++) {
            int k = 0;
            for (int bit = 0; bit < 4; bit++) {
                if (m & (1 << bit)) table[m][k++] = static_cast<uint8_t>(bit);
            }
            table[m][4] = static_cast<uint8_t>(k);
        }
    }
};
constexpr SweepPick SWEEP_PICK_TABLE;
constexpr const uint8_t (&SWEEP_PICK)[16][5] = SWEEP_PICK_TABLE.table;
#endif

// sweepBounds in ascending order of left edges. Bodies move little between
// steps, so the previous step's order is nearly sorted: an insertion sort
// finishes it in about one pass. A table that changed size, or an order that
// needs many moves, is sorted afresh. (Equal left edges may come in any
// order: the pairs found, sorted afterwards, are the same.)
void SortBounds() {
    const uint32_t n = physicsBodiesCount;
    const size_t count = sweepBounds.size();
    bool sorted = false;
    if (sweepOrderBodies == n && sweepOrder.size() == count && count == n) {
        for (size_t a = 0; a < count; a++) sweepBounds[a] = boundsByIndex[sweepOrder[a]];
        size_t budget = 8 * count + 64;
        sorted = true;
        for (size_t a = 1; a < count && sorted; a++) {
            const BodyBounds item = sweepBounds[a];
            size_t b = a;
            for (; b > 0 && sweepBounds[b - 1].minX > item.minX; b--) {
                sweepBounds[b] = sweepBounds[b - 1];
                if (--budget == 0) {
                    sorted = false;
                    break;
                }
            }
            sweepBounds[b] = item;
        }
        if (!sorted) {
            // Refill (the abandoned pass left the array partly moved).
            for (size_t a = 0; a < count; a++) sweepBounds[a] = boundsByIndex[sweepOrder[a]];
        }
    }
    if (!sorted) {
        std::sort(sweepBounds.begin(), sweepBounds.end(),
                  [](const BodyBounds& a, const BodyBounds& b) { return a.minX < b.minX; });
    }
    sweepOrder.resize(count);
    for (size_t a = 0; a < count; a++) sweepOrder[a] = sweepBounds[a].index;
    sweepOrderBodies = n;
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
    boundsByIndex.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        const PhysicsBodyData* body = bodies[i];
        BodyBounds bounds;
        bool finite = ComputeBounds(body, worldShapes[i], &bounds);
        bounds.index = i;
        boundsByIndex[i] = bounds;
        float inv = body->inverseMass;
        if (!finite || !std::isfinite(inv) || inv < 0.0f) {
            wildBodies.push_back(i);
            continue;
        }
        if (inv <= PHYSICS_EPSILON) heavyBodies.push_back(i);
        sweepBounds.push_back(bounds);
    }
    SortBounds();
    // The sweep: for each body, the later ones (by left edge) that start
    // before it ends; those whose vertical extents overlap are noted without a
    // branch, then filtered by layers and masses.
    const size_t count = sweepBounds.size();
    // Packed edges, with four entries of padding past the end for the
    // four-wide sweep (a left edge of infinity ends any body's scan).
    constexpr size_t PAD = 4;
    sweepMinX.resize(count + PAD);
    sweepMinY.resize(count + PAD);
    sweepMaxY.resize(count + PAD);
    sweepIndex.resize(count + PAD);
    sweepCandidates.resize(count + PAD);
    for (size_t a = 0; a < count; a++) {
        sweepMinX[a] = sweepBounds[a].minX;
        sweepMinY[a] = sweepBounds[a].minY;
        sweepMaxY[a] = sweepBounds[a].maxY;
        sweepIndex[a] = sweepBounds[a].index;
    }
    for (size_t a = count; a < count + PAD; a++) {
        sweepMinX[a] = INFINITY;
        sweepMinY[a] = sweepMaxY[a] = 0.0f;
        sweepIndex[a] = 0;
    }
    bodyLayer.resize(n);
    bodyStatic.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        bodyLayer[i] = bodies[i]->collisionLayer;
        bodyStatic[i] = bodies[i]->inverseMass == 0.0f;
    }
    const float* minX = sweepMinX.data();
    const float* minY = sweepMinY.data();
    const float* maxY = sweepMaxY.data();
    const uint32_t* index = sweepIndex.data();
    uint32_t* candidates = sweepCandidates.data();
    size_t kept = 0;
    for (size_t a = 0; a < count; a++) {
        const float aMaxX = sweepBounds[a].maxX, aMinY = minY[a], aMaxY = maxY[a];
        uint32_t found = 0;
#if VIMO_PHYSICS_SSE
        // Four later bodies at a time; left edges ascend, so the first block
        // with one starting past this body's right edge is the last.
        const __m128 xEnd = _mm_set1_ps(aMaxX), yEnd = _mm_set1_ps(aMaxY), yStart = _mm_set1_ps(aMinY);
        for (size_t b = a + 1;; b += 4) {
            const __m128 inX = _mm_cmple_ps(_mm_loadu_ps(minX + b), xEnd);
            const __m128 inY = _mm_and_ps(_mm_cmple_ps(_mm_loadu_ps(minY + b), yEnd),
                                          _mm_cmple_ps(yStart, _mm_loadu_ps(maxY + b)));
            const int xBits = _mm_movemask_ps(inX);
            const int bits = _mm_movemask_ps(_mm_and_ps(inX, inY));
            // The overlapping ones, in order, packed at the end of the list.
            const uint8_t* pick = SWEEP_PICK[bits];
            candidates[found] = index[b + pick[0]];
            candidates[found + 1] = index[b + pick[1]];
            candidates[found + 2] = index[b + pick[2]];
            candidates[found + 3] = index[b + pick[3]];
            found += SWEEP_PICK[bits][4];
            if (xBits != 15) break;
        }
#else
        for (size_t b = a + 1; b < count && minX[b] <= aMaxX; b++) {
            candidates[found] = index[b];
            // (Bounds here are finite: "<=" is "not >".) Both tests always
            // made, so the compiler has no short circuit to branch on.
            found += static_cast<uint32_t>(minY[b] <= aMaxY) & static_cast<uint32_t>(aMinY <= maxY[b]);
        }
#endif
        // Layers and masses filtered without branches (LayersCollide's rule:
        // equal layers meet; otherwise INT_MAX meets any layer but INT_MIN).
        const uint32_t ia = index[a];
        const int32_t layer = bodyLayer[ia];
        const uint32_t aStatic = bodyStatic[ia], aMin = layer == INT32_MIN, aMax = layer == INT32_MAX;
        if (kept + found > pairKeys.size()) pairKeys.resize(2 * (kept + found));
        uint32_t* out = pairKeys.data() + kept;
        uint32_t wanted = 0;
        for (uint32_t c = 0; c < found; c++) {
            const uint32_t ib = candidates[c];
            const int32_t other = bodyLayer[ib];
            const uint32_t meet = (layer == other) | ((1u ^ (aMin | (other == INT32_MIN))) & (aMax | (other == INT32_MAX)));
            out[wanted] = PairKey(ia, ib);
            wanted += meet & (1u ^ (aStatic & bodyStatic[ib]));
        }
        kept += wanted;
    }
    pairKeys.resize(kept);
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
    SortKeys(n);
    if (extra) pairKeys.erase(std::unique(pairKeys.begin(), pairKeys.end()), pairKeys.end());
}

// ---- Records ---------------------------------------------------------------------

// Table indices of each record's two bodies, beside contacts[] (same index).
struct ContactPair {
    uint32_t a, b;
};
ContactPair contactPairs[PHYSICS_MAX_MANIFOLDS];
// Per record: it is the twin of the record before it (a copy made in BuildContacts).
bool contactIsTwin[PHYSICS_MAX_MANIFOLDS];

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
    auto pick = [&](int word, const __m512i& index) {  // reference polygon's word + index
        __m512 v = _mm512_mask_mov_ps(A[word], flip, B[word]);
        for (int j = 1; j < 4; j++) {
            const __mmask16 at = _mm512_cmpeq_epi32_mask(index, _mm512_set1_epi32(j));
            v = _mm512_mask_mov_ps(v, at, _mm512_mask_mov_ps(A[word + j], flip, B[word + j]));
        }
        return v;
    };
    auto pickIncident = [&](int word, const __m512i& index) {  // incident polygon's word + index
        __m512 v = _mm512_mask_mov_ps(B[word], flip, A[word]);
        for (int j = 1; j < 4; j++) {
            const __mmask16 at = _mm512_cmpeq_epi32_mask(index, _mm512_set1_epi32(j));
            v = _mm512_mask_mov_ps(v, at, _mm512_mask_mov_ps(B[word + j], flip, A[word + j]));
        }
        return v;
    };
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
    uint32_t repeat;       // 2: the record and its identical twin right after it, resolved back to back
    SolverPoint points[2];
};

std::vector<SolverBody> solverBodies;       // by table index, plus a scratch body past the table
std::vector<SolverContact> solverContacts;  // by unit, in table order
std::vector<uint32_t> solverUnits;          // first record of each unit (a record, or a record and its twin)
std::vector<uint32_t> unitRepeats;          // records in each unit: 1 or 2
std::vector<uint8_t> readOnly;              // per body: never written by the passes

// Record b is a twin of record a: same bodies and every value the passes read
// equal bit for bit (so resolving b repeats a's arithmetic on newer velocities).
bool IsTwin(const PhysicsManifoldData* a, const PhysicsManifoldData* b) {
    if (a->bodyA != b->bodyA || a->bodyB != b->bodyB || a->contactsCount != b->contactsCount) return false;
    if (a->contactsCount == 0 || a->contactsCount > 2) return false;
    return std::memcmp(&a->normal, &b->normal, sizeof a->normal) == 0 &&
           std::memcmp(a->contactPoints, b->contactPoints, sizeof(Vector2) * a->contactsCount) == 0 &&
           std::memcmp(&a->restitution, &b->restitution, sizeof(float)) == 0 &&
           std::memcmp(&a->dynamicFriction, &b->dynamicFriction, sizeof(float)) == 0 &&
           std::memcmp(&a->staticFriction, &b->staticFriction, sizeof(float)) == 0;
}


// One record, one pass.
void SolveRecord(const SolverContact& c, SolverBody* sb) {
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

// One unit, one pass: its record, then its twin when it has one.
void SolveOne(const SolverContact& c, SolverBody* sb) {
    SolveRecord(c, sb);
    if (c.repeat == 2) SolveRecord(c, sb);
}


#if VIMO_PHYSICS_SSE
// Units solved side by side, one per lane: eight with SSE2 register pairs or
// AVX2, sixteen, thirty-two or forty-eight (one to three registers' worth,
// their chains of divisions and roots interleaved) with AVX-512. The units of one group touch distinct
// moving bodies (disabled ones are never written), and every lane performs
// exactly the scalar operations of SolveRecord in the same order (IEEE single
// precision per lane, never fused: every kernel is compiled with contraction
// off), so the same bits result. What stays fixed through the passes is laid
// out once per step, one UnitLane per unit; a lane loads its unit's values and
// its bodies' velocities by index. Wide vectors are handed between inline
// functions only, never across a library boundary, so the ABI note about them
// does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

// One unit's fixed values, 32 words, read by the lanes with gathers (word
// offsets below).
struct alignas(128) UnitLane {
    float nx, ny, negE1, sf, df;  // normal, -(1 + e), static and dynamic friction
    float aim, aii, bim, bii;     // inverse masses and inertias of A and B
    int32_t flags;                // UNIT_* bits
    struct Point {
        float rax, ray, rbx, rby;  // lever arms
        float ks, em;              // inverse effective mass and its reciprocal
    } p[2];
    int32_t a, b;                  // word offsets of the bodies in the SolverBody array
    int32_t pad[8];
};
static_assert(sizeof(UnitLane) == 128, "a unit's values are 32 words");
static_assert(sizeof(SolverBody) == 48, "a solver body is 12 words");
constexpr int32_t UNIT_SHIFT = 5;  // 32 words per unit
constexpr int32_t BODY_WORDS = 12;
// Unit flags: the body is enabled; enabled and free to turn; a twin record
// follows (a second round); point 0 / 1 exists. A unit with point 1 has two
// points, so its share per point (countScale) is 0.5, else 1.
constexpr int32_t UNIT_A_ENABLED = 1, UNIT_B_ENABLED = 2, UNIT_A_TURNS = 4, UNIT_B_TURNS = 8, UNIT_TWIN = 16,
                  UNIT_POINT0 = 32, UNIT_POINT1 = 64;
constexpr int32_t W_NX = 0, W_NY = 1, W_NEGE1 = 2, W_SF = 3, W_DF = 4, W_AIM = 5, W_AII = 6, W_BIM = 7,
                  W_BII = 8, W_FLAGS = 9, W_POINT = 10, W_POINT_WORDS = 6, W_A = 22, W_B = 23;
// Within a point: rax, ray, rbx, rby, ks, em.
constexpr int32_t P_RAX = 0, P_RAY = 1, P_RBX = 2, P_RBY = 3, P_KS = 4, P_EM = 5;
// Within a SolverBody: velocity x, y, angular velocity, collision delta x, y.
constexpr int32_t B_VX = 0, B_VY = 1, B_W = 2, B_CDX = 8, B_CDY = 9;

void MakeUnitLane(const SolverContact& u, const SolverBody* sb, UnitLane* out) {
    const SolverBody& A = sb[u.a];
    const SolverBody& B = sb[u.b];
    UnitLane& q = *out;
    q.nx = u.normal.x;
    q.ny = u.normal.y;
    q.negE1 = -(1.0f + u.restitution);
    q.sf = u.staticFriction;
    q.df = u.dynamicFriction;
    q.aim = A.inverseMass;
    q.aii = A.inverseInertia;
    q.bim = B.inverseMass;
    q.bii = B.inverseInertia;
    q.flags = (A.enabled ? UNIT_A_ENABLED : 0) | (B.enabled ? UNIT_B_ENABLED : 0) |
              (A.enabled && !A.freezeRotation ? UNIT_A_TURNS : 0) |
              (B.enabled && !B.freezeRotation ? UNIT_B_TURNS : 0) | (u.repeat == 2 ? UNIT_TWIN : 0) |
              (u.count > 0 ? UNIT_POINT0 : 0) | (u.count > 1 ? UNIT_POINT1 : 0);
    for (uint32_t k = 0; k < 2; k++) {
        q.p[k].rax = u.points[k].rA.x;
        q.p[k].ray = u.points[k].rA.y;
        q.p[k].rbx = u.points[k].rB.x;
        q.p[k].rby = u.points[k].rB.y;
        q.p[k].ks = u.points[k].inverseMassSum;
        q.p[k].em = u.points[k].effectiveMass;
    }
    q.a = static_cast<int32_t>(u.a) * BODY_WORDS;
    q.b = static_cast<int32_t>(u.b) * BODY_WORDS;
}

// An empty lane: no points, both bodies the scratch body past the table.
UnitLane EmptyUnitLane(uint32_t scratch) {
    UnitLane q{};
    for (auto& p : q.p) p.ks = p.em = 1.0f;
    q.a = q.b = static_cast<int32_t>(scratch) * BODY_WORDS;
    return q;
}

std::vector<UnitLane> unitLanes;  // by unit, then the empty lane

// The eight-lane kernel for plain SSE2: each vector two SSE registers.
#pragma GCC push_options
#pragma GCC optimize("fp-contract=off")
namespace lanes_sse {
constexpr int LANES = 8;
typedef float FV __attribute__((vector_size(LANES * 4), aligned(64)));
typedef int32_t IV __attribute__((vector_size(LANES * 4), aligned(64)));
static inline __attribute__((always_inline)) FV SqrtV(FV v) {
    FV out;
    for (int i = 0; i < LANES; i += 4) {
        __m128 part;
        std::memcpy(&part, reinterpret_cast<const char*>(&v) + i * 4, sizeof part);
        part = _mm_sqrt_ps(part);
        std::memcpy(reinterpret_cast<char*>(&out) + i * 4, &part, sizeof part);
    }
    return out;
}
static inline __attribute__((always_inline)) int MovemaskV(IV m) {
    int bits = 0;
    for (int i = 0; i < LANES; i += 4) {
        __m128 part;
        std::memcpy(&part, reinterpret_cast<const char*>(&m) + i * 4, sizeof part);
        bits |= _mm_movemask_ps(part) << i;
    }
    return bits;
}
static inline __attribute__((always_inline)) FV GatherF(const float* base, IV index) {
    FV out;
    for (int l = 0; l < LANES; l++) out[l] = base[index[l]];
    return out;
}
static inline __attribute__((always_inline)) IV GatherI(const int32_t* base, IV index) {
    IV out;
    for (int l = 0; l < LANES; l++) out[l] = base[index[l]];
    return out;
}
#include "physics/solver_lanes.inc"
}  // namespace lanes_sse
#pragma GCC pop_options

// The same kernel for processors with AVX2: eight lanes in one register,
// loaded with gathers. No fused multiply-add is enabled, whose single rounding
// would change results.
#pragma GCC push_options
#pragma GCC target("avx2")
#pragma GCC optimize("fp-contract=off")
namespace lanes_avx {
constexpr int LANES = 8;
typedef float FV __attribute__((vector_size(LANES * 4), aligned(64)));
typedef int32_t IV __attribute__((vector_size(LANES * 4), aligned(64)));
static inline __attribute__((always_inline)) FV SqrtV(FV v) {
    return reinterpret_cast<FV>(_mm256_sqrt_ps(reinterpret_cast<__m256>(v)));
}
static inline __attribute__((always_inline)) int MovemaskV(IV m) {
    return _mm256_movemask_ps(reinterpret_cast<__m256>(m));
}
static inline __attribute__((always_inline)) FV GatherF(const float* base, IV index) {
    return reinterpret_cast<FV>(_mm256_i32gather_ps(base, reinterpret_cast<__m256i>(index), 4));
}
static inline __attribute__((always_inline)) IV GatherI(const int32_t* base, IV index) {
    return reinterpret_cast<IV>(
        _mm256_i32gather_epi32(reinterpret_cast<const int*>(base), reinterpret_cast<__m256i>(index), 4));
}
#include "physics/solver_lanes.inc"
}  // namespace lanes_avx
#pragma GCC pop_options

// Sixteen lanes per register for processors with AVX-512, masks in mask
// registers, G registers' worth of units (16 x G) at once: the G chains are
// independent, so the processor overlaps one's divisions and roots with the
// other's loads and arithmetic. This instruction set has fused multiply-add,
// so contraction being off is what keeps every multiply and add separately
// rounded here.
#pragma GCC push_options
#pragma GCC target("avx512f")
#pragma GCC optimize("fp-contract=off")
namespace lanes_avx512 {
inline __attribute__((always_inline)) __m512 Neg(__m512 v) {
    return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(v), _mm512_set1_epi32(INT32_MIN)));
}
inline __attribute__((always_inline)) __m512 Abs(__m512 v) {
    return _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(v), _mm512_set1_epi32(INT32_MAX)));
}
inline __attribute__((always_inline)) __m512 Gather(const float* base, __m512i index) {
    return _mm512_i32gather_ps(index, base, 4);
}

// Each statement runs for every register g (the loops over g are unrolled),
// so the G chains interleave in the instruction stream.
template <int G>
void SolveLanes(const int32_t* unitIndex, const UnitLane* units, SolverBody* sb) {
    const float* uf = reinterpret_cast<const float*>(units);
    const int32_t* ui = reinterpret_cast<const int32_t*>(units);
    float* bf = reinterpret_cast<float*>(sb);
    const __m512 zero = _mm512_setzero_ps();
    const __m512 one = _mm512_set1_ps(1.0f);
    const __m512 half = _mm512_set1_ps(0.5f);
    const __m512 eps = _mm512_set1_ps(PHYSICS_EPSILON);
    __m512i u[G], ia[G], ib[G];
    __m512 avx[G], avy[G], aw[G], bvx[G], bvy[G], bw[G], cax[G], cay[G], cbx[G], cby[G];
    __mmask16 aEn[G], bEn[G], aRot[G], bRot[G], twin[G], inUse[2][G], hitA[G], hitB[G];
    // Fixed values live in memory and are read where used, which leaves the
    // registers to the G chains.
    alignas(64) float fixed[G][W_A][16];
#pragma GCC unroll 4
    for (int g = 0; g < G; g++) {
        u[g] = _mm512_slli_epi32(_mm512_loadu_si512(unitIndex + 16 * g), UNIT_SHIFT);
        ia[g] = _mm512_i32gather_epi32(u[g], ui + W_A, 4);
        ib[g] = _mm512_i32gather_epi32(u[g], ui + W_B, 4);
    }
#pragma GCC unroll 4
    for (int g = 0; g < G; g++) {
        avx[g] = Gather(bf + B_VX, ia[g]);
        avy[g] = Gather(bf + B_VY, ia[g]);
        aw[g] = Gather(bf + B_W, ia[g]);
        bvx[g] = Gather(bf + B_VX, ib[g]);
        bvy[g] = Gather(bf + B_VY, ib[g]);
        bw[g] = Gather(bf + B_W, ib[g]);
        cax[g] = Gather(bf + B_CDX, ia[g]);
        cay[g] = Gather(bf + B_CDY, ia[g]);
        cbx[g] = Gather(bf + B_CDX, ib[g]);
        cby[g] = Gather(bf + B_CDY, ib[g]);
        const __m512i flags = _mm512_i32gather_epi32(u[g], ui + W_FLAGS, 4);
        aEn[g] = _mm512_test_epi32_mask(flags, _mm512_set1_epi32(UNIT_A_ENABLED));
        bEn[g] = _mm512_test_epi32_mask(flags, _mm512_set1_epi32(UNIT_B_ENABLED));
        aRot[g] = _mm512_test_epi32_mask(flags, _mm512_set1_epi32(UNIT_A_TURNS));
        bRot[g] = _mm512_test_epi32_mask(flags, _mm512_set1_epi32(UNIT_B_TURNS));
        twin[g] = _mm512_test_epi32_mask(flags, _mm512_set1_epi32(UNIT_TWIN));
        inUse[0][g] = _mm512_test_epi32_mask(flags, _mm512_set1_epi32(UNIT_POINT0));
        inUse[1][g] = _mm512_test_epi32_mask(flags, _mm512_set1_epi32(UNIT_POINT1));
        for (int w = 0; w < W_A; w++) {
            if (w == W_FLAGS) continue;
            _mm512_store_ps(fixed[g][w], Gather(uf + w, u[g]));
        }
        hitA[g] = hitB[g] = 0;
    }
    auto F = [&fixed](int g, int w) { return _mm512_load_ps(fixed[g][w]); };
    bool changed = false;

    for (uint32_t round = 0; round < 2; round++) {
        __mmask16 active[G];
        int any = 0;
#pragma GCC unroll 4
        for (int g = 0; g < G; g++) {
            active[g] = round == 0 ? __mmask16(0xffff) : twin[g];
        }
        for (uint32_t k = 0; k < 2; k++) {
            // Fixed values are read again in each point's pass.
            __asm__ volatile("" ::: "memory");
            any = 0;
#pragma GCC unroll 4
            for (int g = 0; g < G; g++) {
                active[g] &= inUse[k][g];
                any |= active[g];
            }
            if (any == 0) break;
            const int w = W_POINT + static_cast<int>(k) * W_POINT_WORDS;
            __m512 vn[G], rvx[G], rvy[G];
            any = 0;
#pragma GCC unroll 4
            for (int g = 0; g < G; g++) {
                // rv = B.v + w_B x rB - A.v - w_A x rA
                rvx[g] = _mm512_sub_ps(
                    _mm512_sub_ps(_mm512_add_ps(bvx[g], _mm512_mul_ps(Neg(bw[g]), F(g, w + P_RBY))), avx[g]),
                    _mm512_mul_ps(Neg(aw[g]), F(g, w + P_RAY)));
                rvy[g] = _mm512_sub_ps(
                    _mm512_sub_ps(_mm512_add_ps(bvy[g], _mm512_mul_ps(bw[g], F(g, w + P_RBX))), avy[g]),
                    _mm512_mul_ps(aw[g], F(g, w + P_RAX)));
                vn[g] = _mm512_add_ps(_mm512_mul_ps(rvx[g], F(g, W_NX)), _mm512_mul_ps(rvy[g], F(g, W_NY)));
                // separating: the rest of this record waits a pass
                active[g] &= ~_mm512_cmp_ps_mask(vn[g], zero, _CMP_GT_OQ);
                any |= active[g];
            }
            if (any == 0) break;
            changed = true;
            __m512 j[G];
#pragma GCC unroll 4
            for (int g = 0; g < G; g++) {
                const __m512 ks = F(g, w + P_KS);
                j[g] = _mm512_div_ps(_mm512_mul_ps(F(g, W_NEGE1), vn[g]), ks);
                const __m512 cs = _mm512_mask_mov_ps(one, inUse[1][g], half);
                j[g] = _mm512_mask_mul_ps(j[g], _mm512_cmp_ps_mask(j[g], F(g, w + P_EM), _CMP_LT_OQ), j[g], cs);
                const __m512 ix = _mm512_mul_ps(F(g, W_NX), j[g]), iy = _mm512_mul_ps(F(g, W_NY), j[g]);

                const __mmask16 mA = active[g] & aEn[g];
                const __m512 aim = F(g, W_AIM);
                const __m512 dax = _mm512_mul_ps(Neg(ix), aim), day = _mm512_mul_ps(Neg(iy), aim);
                avx[g] = _mm512_mask_add_ps(avx[g], mA, avx[g], dax);
                avy[g] = _mm512_mask_add_ps(avy[g], mA, avy[g], day);
                cax[g] = _mm512_mask_add_ps(cax[g], mA, cax[g], dax);
                cay[g] = _mm512_mask_add_ps(cay[g], mA, cay[g], day);
                hitA[g] |= mA;
                const __m512 crossA = _mm512_sub_ps(_mm512_mul_ps(F(g, w + P_RAX), Neg(iy)),
                                                    _mm512_mul_ps(F(g, w + P_RAY), Neg(ix)));
                aw[g] = _mm512_mask_add_ps(aw[g], active[g] & aRot[g], aw[g], _mm512_mul_ps(F(g, W_AII), crossA));

                const __mmask16 mB = active[g] & bEn[g];
                const __m512 bim = F(g, W_BIM);
                const __m512 dbx = _mm512_mul_ps(ix, bim), dby = _mm512_mul_ps(iy, bim);
                bvx[g] = _mm512_mask_add_ps(bvx[g], mB, bvx[g], dbx);
                bvy[g] = _mm512_mask_add_ps(bvy[g], mB, bvy[g], dby);
                cbx[g] = _mm512_mask_add_ps(cbx[g], mB, cbx[g], dbx);
                cby[g] = _mm512_mask_add_ps(cby[g], mB, cby[g], dby);
                hitB[g] |= mB;
                const __m512 crossB = _mm512_sub_ps(_mm512_mul_ps(F(g, w + P_RBX), iy),
                                                    _mm512_mul_ps(F(g, w + P_RBY), ix));
                bw[g] = _mm512_mask_add_ps(bw[g], active[g] & bRot[g], bw[g], _mm512_mul_ps(F(g, W_BII), crossB));
            }
#pragma GCC unroll 4
            for (int g = 0; g < G; g++) {
                // Friction: velocities only, never the collision record.
                const __m512 nx = F(g, W_NX), ny = F(g, W_NY);
                rvx[g] = _mm512_sub_ps(
                    _mm512_sub_ps(_mm512_add_ps(bvx[g], _mm512_mul_ps(Neg(bw[g]), F(g, w + P_RBY))), avx[g]),
                    _mm512_mul_ps(Neg(aw[g]), F(g, w + P_RAY)));
                rvy[g] = _mm512_sub_ps(
                    _mm512_sub_ps(_mm512_add_ps(bvy[g], _mm512_mul_ps(bw[g], F(g, w + P_RBX))), avy[g]),
                    _mm512_mul_ps(aw[g], F(g, w + P_RAX)));
                const __m512 dn = _mm512_add_ps(_mm512_mul_ps(rvx[g], nx), _mm512_mul_ps(rvy[g], ny));
                __m512 tx = _mm512_sub_ps(rvx[g], _mm512_mul_ps(nx, dn));
                __m512 ty = _mm512_sub_ps(rvy[g], _mm512_mul_ps(ny, dn));
                const __m512 len = _mm512_sqrt_ps(_mm512_add_ps(_mm512_mul_ps(tx, tx), _mm512_mul_ps(ty, ty)));
                const __m512 inv = _mm512_div_ps(one, len);
                const __mmask16 lenNonZero = _mm512_cmp_ps_mask(len, zero, _CMP_NEQ_UQ);
                tx = _mm512_mask_mul_ps(tx, lenNonZero, tx, inv);
                ty = _mm512_mask_mul_ps(ty, lenNonZero, ty, inv);
                __m512 jt = Neg(_mm512_add_ps(_mm512_mul_ps(rvx[g], tx), _mm512_mul_ps(rvy[g], ty)));
                const __m512 cs = _mm512_mask_mov_ps(one, inUse[1][g], half);
                jt = _mm512_mul_ps(_mm512_div_ps(jt, F(g, w + P_KS)), cs);
                const __m512 absJt = Abs(jt);
                active[g] &= ~_mm512_cmp_ps_mask(absJt, eps, _CMP_LE_OQ);
                const __mmask16 isStatic = _mm512_cmp_ps_mask(absJt, _mm512_mul_ps(j[g], F(g, W_SF)), _CMP_LT_OQ);
                const __m512 dyn = _mm512_mul_ps(Neg(j[g]), F(g, W_DF));
                const __m512 tix = _mm512_mask_mul_ps(_mm512_mul_ps(tx, dyn), isStatic, tx, jt);
                const __m512 tiy = _mm512_mask_mul_ps(_mm512_mul_ps(ty, dyn), isStatic, ty, jt);

                const __mmask16 fA = active[g] & aEn[g];
                const __m512 aim = F(g, W_AIM);
                avx[g] = _mm512_mask_add_ps(avx[g], fA, avx[g], _mm512_mul_ps(Neg(tix), aim));
                avy[g] = _mm512_mask_add_ps(avy[g], fA, avy[g], _mm512_mul_ps(Neg(tiy), aim));
                const __m512 fcrossA = _mm512_sub_ps(_mm512_mul_ps(F(g, w + P_RAX), Neg(tiy)),
                                                     _mm512_mul_ps(F(g, w + P_RAY), Neg(tix)));
                aw[g] = _mm512_mask_add_ps(aw[g], active[g] & aRot[g], aw[g], _mm512_mul_ps(F(g, W_AII), fcrossA));
                const __mmask16 fB = active[g] & bEn[g];
                const __m512 bim = F(g, W_BIM);
                bvx[g] = _mm512_mask_add_ps(bvx[g], fB, bvx[g], _mm512_mul_ps(tix, bim));
                bvy[g] = _mm512_mask_add_ps(bvy[g], fB, bvy[g], _mm512_mul_ps(tiy, bim));
                const __m512 fcrossB = _mm512_sub_ps(_mm512_mul_ps(F(g, w + P_RBX), tiy),
                                                     _mm512_mul_ps(F(g, w + P_RBY), tix));
                bw[g] = _mm512_mask_add_ps(bw[g], active[g] & bRot[g], bw[g], _mm512_mul_ps(F(g, W_BII), fcrossB));
            }
        }
    }
    if (!changed) return;  // every lane separating at its first point in both rounds: nothing changed

    // Lanes may share a disabled body (or the scratch body); those get back
    // the very values they were read with, so the order of such writes does
    // not matter.
#pragma GCC unroll 4
    for (int g = 0; g < G; g++) {
        _mm512_i32scatter_ps(bf + B_VX, ia[g], avx[g], 4);
        _mm512_i32scatter_ps(bf + B_VY, ia[g], avy[g], 4);
        _mm512_i32scatter_ps(bf + B_W, ia[g], aw[g], 4);
        _mm512_i32scatter_ps(bf + B_CDX, ia[g], cax[g], 4);
        _mm512_i32scatter_ps(bf + B_CDY, ia[g], cay[g], 4);
        _mm512_i32scatter_ps(bf + B_VX, ib[g], bvx[g], 4);
        _mm512_i32scatter_ps(bf + B_VY, ib[g], bvy[g], 4);
        _mm512_i32scatter_ps(bf + B_W, ib[g], bw[g], 4);
        _mm512_i32scatter_ps(bf + B_CDX, ib[g], cbx[g], 4);
        _mm512_i32scatter_ps(bf + B_CDY, ib[g], cby[g], 4);
    }
    for (int g = 0; g < G; g++) {
        for (unsigned bits = hitA[g] | hitB[g]; bits != 0; bits &= bits - 1) {
            const int l = __builtin_ctz(bits);
            const UnitLane& q = units[unitIndex[16 * g + l]];
            SolverBody* a = reinterpret_cast<SolverBody*>(bf + q.a);
            SolverBody* b = reinterpret_cast<SolverBody*>(bf + q.b);
            if (hitA[g] & (1u << l)) {
                a->collidedWith = b->id;
                a->collisionNormal = {-q.nx, -q.ny};
            }
            if (hitB[g] & (1u << l)) {
                b->collidedWith = a->id;
                b->collisionNormal = {q.nx, q.ny};
            }
        }
    }
}
template void SolveLanes<1>(const int32_t*, const UnitLane*, SolverBody*);
template void SolveLanes<2>(const int32_t*, const UnitLane*, SolverBody*);
template void SolveLanes<3>(const int32_t*, const UnitLane*, SolverBody*);
}  // namespace lanes_avx512
#pragma GCC pop_options

// The schedule of one step's impulse passes (fast solver): every unit's five
// runs, ordered by level. Each level's region of levelOrder holds its units
// that go into lanes, padded with the empty unit to a multiple of sixteen (so
// a lane group may read past its last unit), then its zero-mass units.
std::vector<uint32_t> bodySlot;     // per unit: A's and B's slots in lastLevel (read-only bodies: the sinks)
std::vector<uint32_t> lastLevel;    // per body, then the sinks: level of its last run so far
std::vector<uint32_t> runLevel;     // per run (pass x units + unit): its level
std::vector<uint8_t> unitZeroMass;  // per unit
std::vector<uint32_t> levelLaned;   // per level: units that go into lanes
std::vector<uint32_t> levelZero;    // per level: zero-mass units
std::vector<uint32_t> levelStart;   // per level: start of its region
std::vector<uint32_t> levelCursor;  // per level: next free places for a laned unit and a zero-mass one
std::vector<int32_t> levelOrder;
#endif
}  // namespace

void SolveContacts() {
    const uint32_t n = physicsBodiesCount;
    solverBodies.resize(n + 1);
    solverBodies[n] = SolverBody{};  // scratch body of empty lanes: disabled, never written back
    readOnly.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        const PhysicsBodyData* body = bodies[i];
        solverBodies[i] = {body->velocity,       body->angularVelocity, body->inverseMass,
                           body->inverseInertia, body->enabled,         body->freezeRotation,
                           body->collidedWith,   int32_t(body->id),     body->collisionDelta,
                           body->collisionNormal};
        readOnly[i] = !body->enabled;
    }
    SolverBody* sb = solverBodies.data();
    // Units: records that can act (with points, or masses both near zero; a
    // disabled body that no zero-mass record touches is never written here).
    // A touching pair's two records are identical and adjacent: with the fast
    // solver they form one unit, resolved twice in a row by the same lane,
    // exactly as the table order has them.
    solverUnits.clear();
    unitRepeats.clear();
    const uint32_t records = physicsManifoldsCount;
    for (uint32_t i = 0; i < records; i++) {
        const ContactPair pair = contactPairs[i];
        const PhysicsManifoldData* m = contacts[i];
        const bool zeroMass = std::fabs(sb[pair.a].inverseMass + sb[pair.b].inverseMass) <= PHYSICS_EPSILON;
        if (zeroMass) {
            readOnly[pair.a] = 0;
            readOnly[pair.b] = 0;
        } else if (m->contactsCount == 0) {
            continue;
        }
        const bool twin = fastSolver && i + 1 < records && contactIsTwin[i + 1] && IsTwin(m, contacts[i + 1]);
        solverUnits.push_back(i);
        unitRepeats.push_back(twin ? 2 : 1);
        if (twin) i++;
    }
    const uint32_t unitCount = static_cast<uint32_t>(solverUnits.size());
    solverContacts.resize(unitCount);
    for (uint32_t r = 0; r < unitCount; r++) {
        const uint32_t i = solverUnits[r];
        const PhysicsManifoldData* m = contacts[i];
        const PhysicsBodyData* A = m->bodyA;
        const PhysicsBodyData* B = m->bodyB;
        SolverContact& c = solverContacts[r];
        c.a = contactPairs[i].a;
        c.b = contactPairs[i].b;
        c.normal = m->normal;
        c.count = m->contactsCount;
        c.countScale = m->contactsCount == 2 ? 0.5f : 1.0f;
        c.restitution = m->restitution;
        c.staticFriction = m->staticFriction;
        c.dynamicFriction = m->dynamicFriction;
        c.zeroMass = std::fabs(A->inverseMass + B->inverseMass) <= PHYSICS_EPSILON;
        c.repeat = unitRepeats[r];
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

#if VIMO_PHYSICS_SSE
    // A few units are quicker run in table order than scheduled into lanes.
    constexpr uint32_t MIN_SCHEDULED_UNITS = 8;
    if (fastSolver && unitCount >= MIN_SCHEDULED_UNITS) {
        // Every unit runs once per pass. Each run gets a level one above the
        // last earlier run (earlier pass, or earlier unit of the same pass)
        // that shares a moving body with it, and runs go level by level: runs
        // of one level touch disjoint moving bodies, and every body still sees
        // its runs in pass and table order, so each body's sequence of
        // operations, and the result, is that of the plain passes. Later
        // passes start on parts of the heap the earlier ones are done with,
        // so levels hold enough runs to fill the lanes.
        const uint32_t readSink = n, writeSink = n + 1;  // a read-only body's level reads 0, its writes go aside
        bodySlot.resize(2 * unitCount);
        unitZeroMass.resize(unitCount);
        unitLanes.resize(unitCount + 1);
        for (uint32_t r = 0; r < unitCount; r++) {
            const SolverContact& c = solverContacts[r];
            bodySlot[2 * r] = readOnly[c.a] ? readSink : c.a;
            bodySlot[2 * r + 1] = readOnly[c.b] ? readSink : c.b;
            unitZeroMass[r] = c.zeroMass;
            MakeUnitLane(c, sb, &unitLanes[r]);
        }
        unitLanes[unitCount] = EmptyUnitLane(n);
        lastLevel.assign(n + 2, 0);
        runLevel.resize(static_cast<size_t>(PHYSICS_IMPULSE_PASSES) * unitCount);
        levelLaned.assign(1, 0);
        levelZero.assign(1, 0);
        uint32_t levels = 0;
        uint32_t* last = lastLevel.data();
        uint32_t* level = runLevel.data();
        // Units come sorted by their first body, so that body's level is kept
        // in a register while it lasts (a store and reload per run would
        // chain every run to the one before).
        for (uint32_t pass = 0; pass < PHYSICS_IMPULSE_PASSES; pass++) {
            uint32_t heldSlot = readSink, held = 0;
            for (uint32_t r = 0; r < unitCount; r++) {
                const uint32_t sa = bodySlot[2 * r], sB = bodySlot[2 * r + 1];
                if (sa != heldSlot) {
                    if (heldSlot != readSink) last[heldSlot] = held;
                    heldSlot = sa;
                    held = last[sa];
                }
                // (B is never the held body: a unit's bodies differ, or both
                // are read-only and read 0.)
                const uint32_t l = std::max(held, last[sB]) + 1;
                if (sa != readSink) held = l;
                last[sB == readSink ? writeSink : sB] = l;
                *level++ = l;
                if (l > levels) {
                    levels = l;
                    levelLaned.push_back(0);
                    levelZero.push_back(0);
                }
                (unitZeroMass[r] ? levelZero : levelLaned)[l]++;
            }
            if (heldSlot != readSink) last[heldSlot] = held;
        }
        // Regions: laned units padded to a multiple of 16, then zero-mass ones.
        levelStart.resize(levels + 2);
        levelCursor.resize(2 * (levels + 2));
        uint32_t size = 0;
        for (uint32_t l = 1; l <= levels; l++) {
            levelStart[l] = size;
            levelCursor[2 * l] = size;
            size += (levelLaned[l] + 15) / 16 * 16;
            levelCursor[2 * l + 1] = size;
            size += levelZero[l];
        }
        levelStart[levels + 1] = size;
        const int32_t empty = static_cast<int32_t>(unitCount);
        levelOrder.assign(size, empty);
        level = runLevel.data();
        for (uint32_t pass = 0; pass < PHYSICS_IMPULSE_PASSES; pass++) {
            for (uint32_t r = 0; r < unitCount; r++) {
                levelOrder[levelCursor[2 * *level++ + unitZeroMass[r]]++] = static_cast<int32_t>(r);
            }
        }

        // Per level: lane groups over its laned units, then one by one the
        // few left over (fewer than MIN_GROUP_UNITS) and the zero-mass units.
        // With AVX-512: groups of 48 (three registers' worth) while more than
        // 32 units are left, of 32 while more than 16 are, of 16 while more
        // than 8 are; else groups of 8 (AVX2 or SSE2): where most of a wide
        // group would be empty, a narrower one (with shorter division and root
        // latencies) finishes sooner.
        constexpr uint32_t MIN_GROUP_UNITS = 3;
        const bool wideAllowed = solverKernel == SOLVER_AVX512 ||
                                 (solverKernel == SOLVER_AUTO && SolverKernelSupported(SOLVER_AVX512));
        const bool wideAlways = solverKernel == SOLVER_AVX512;
        const bool avx2 = solverKernel == SOLVER_AVX ||
                          (solverKernel == SOLVER_AUTO && SolverKernelSupported(SOLVER_AVX));
        const UnitLane* units = unitLanes.data();
        for (uint32_t l = 1; l <= levels; l++) {
            const int32_t* slice = levelOrder.data() + levelStart[l];
            const uint32_t laned = levelLaned[l];
            uint32_t first = 0;
            while (laned - first >= MIN_GROUP_UNITS) {
                const uint32_t left = laned - first;
                if (!wideAllowed) {
                    if (avx2) {
                        lanes_avx::SolveLanes(slice + first, units, sb);
                    } else {
                        lanes_sse::SolveLanes(slice + first, units, sb);
                    }
                    first += std::min(8u, left);
                } else if (left > 32) {
                    lanes_avx512::SolveLanes<3>(slice + first, units, sb);
                    first += std::min(48u, left);
                } else if (left > 16) {
                    lanes_avx512::SolveLanes<2>(slice + first, units, sb);
                    first += left;
                } else if (wideAlways || left > 8) {
                    lanes_avx512::SolveLanes<1>(slice + first, units, sb);
                    first += left;
                } else if (avx2) {
                    lanes_avx::SolveLanes(slice + first, units, sb);
                    first += left;
                } else {
                    lanes_sse::SolveLanes(slice + first, units, sb);
                    first += left;
                }
            }
            for (; first < laned; first++) SolveOne(solverContacts[slice[first]], sb);
            const int32_t* zero = levelOrder.data() + levelStart[l + 1] - levelZero[l];
            for (uint32_t z = 0; z < levelZero[l]; z++) SolveOne(solverContacts[zero[z]], sb);
        }
    } else
#endif
    {
        // Records one by one in table order (a unit is one record without the
        // fast solver; twins still run back to back without lanes).
        for (int pass = 0; pass < PHYSICS_IMPULSE_PASSES; pass++) {
            for (uint32_t r = 0; r < unitCount; r++) SolveOne(solverContacts[r], sb);
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
