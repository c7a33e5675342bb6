// The contact phase's pair pre-filter: which pairs of bodies can touch this
// step, in table order.
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
//
// The sweep runs on bounds grown by PAIR_MARGIN more, and its pairs, in (i, j)
// order, are kept as candidates for later steps: while every body's bounds stay
// inside those grown ones (and the table, the layers, the static bodies and the
// wild ones are as they were), a pair whose bounds overlap is among them, so a
// step only keeps the candidates that overlap now, already in order. Bodies
// move a fraction of a pixel per step, so a heap sweeps once every few steps.
//
// Runs on the stepping thread with PhysicsMutex() held.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#include "physics/physics.h"
#include "physics/physics_internal.h"

using namespace PhysicsWorld;

namespace physics_detail {

bool pairPrefilter = true;
std::vector<uint32_t> pairKeys;

namespace {

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
std::vector<uint32_t> keyScratch;     // sort buffer
std::vector<uint32_t> keyCounts;      // per first index: keys before it
std::vector<uint32_t> sweepCandidates;  // one body's overlapping candidates (table indices)
std::vector<int32_t> bodyLayer;       // by table index: collisionLayer
std::vector<uint8_t> bodyStatic;      // by table index: inverseMass is 0
constexpr float PAIR_MARGIN = 8.0f;   // px the candidates' bounds are grown by
std::vector<BodyBounds> marginBounds;  // by table index: the bounds the candidates were swept with
std::vector<uint32_t> candidateKeys;  // pairs of overlapping grown bounds, in (i, j) order
std::vector<uint64_t> bodyKind, candidateKind;  // by table index: layer, static, wild (now, and at the sweep)


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

// sweepBounds in ascending order of left edges. Bodies move little between
// steps, so the previous step's order is nearly sorted: an insertion sort
// finishes it in about one pass. A table that changed size, or an order that
// needs many moves, is sorted afresh. (Equal left edges may come in any
// order: the pairs found, sorted afterwards, are the same.)
void SortBounds(const std::vector<BodyBounds>& byIndex) {
    const uint32_t n = physicsBodiesCount;
    const size_t count = sweepBounds.size();
    bool sorted = false;
    if (sweepOrderBodies == n && sweepOrder.size() == count && count == n) {
        for (size_t a = 0; a < count; a++) sweepBounds[a] = byIndex[sweepOrder[a]];
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
            for (size_t a = 0; a < count; a++) sweepBounds[a] = byIndex[sweepOrder[a]];
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

// The sweep over the grown bounds: candidateKeys, in (i, j) order.
void SweepCandidates(uint32_t n) {
    sweepBounds.clear();
    marginBounds.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        const BodyBounds& b = boundsByIndex[i];
        marginBounds[i] = {b.minX - PAIR_MARGIN, b.maxX + PAIR_MARGIN, b.minY - PAIR_MARGIN, b.maxY + PAIR_MARGIN, i};
        if (!(bodyKind[i] & 1)) sweepBounds.push_back(marginBounds[i]);
    }
    SortBounds(marginBounds);
    // The sweep: for each body, the later ones (by left edge) that start
    // before it ends; those whose vertical extents overlap are noted without a
    // branch, then filtered by layers and masses.
    const size_t count = sweepBounds.size();
    // Past the end a left edge of infinity that ends any body's scan.
    sweepBounds.push_back({INFINITY, INFINITY, 0.0f, 0.0f, 0});
    const BodyBounds* sorted = sweepBounds.data();
    sweepCandidates.resize(count);
    uint32_t* candidates = sweepCandidates.data();
    size_t kept = 0;
    pairKeys.clear();
    for (size_t a = 0; a < count; a++) {
        const float aMaxX = sorted[a].maxX, aMinY = sorted[a].minY, aMaxY = sorted[a].maxY;
        uint32_t found = 0;
        for (size_t b = a + 1; sorted[b].minX <= aMaxX; b++) {
            candidates[found] = sorted[b].index;
            // (Bounds here are finite: "<=" is "not >".) Both tests always
            // made, so the compiler has no short circuit to branch on.
            found += static_cast<uint32_t>(sorted[b].minY <= aMaxY) & static_cast<uint32_t>(aMinY <= sorted[b].maxY);
        }
        // Layers and masses filtered without branches (LayersCollide's rule:
        // equal layers meet; otherwise INT_MAX meets any layer but INT_MIN).
        const uint32_t ia = sorted[a].index;
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
    SortKeys(n);
    candidateKeys.swap(pairKeys);
    candidateKind = bodyKind;
    fastPathRuns.candidateSweeps++;
}

// The wild bodies' pairs and the heavy pairs added to pairKeys, which is then
// put back in order, without repeats, when there were any.
void AddExtraPairs(uint32_t n) {
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
    if (extra) {
        SortKeys(n);
        pairKeys.erase(std::unique(pairKeys.begin(), pairKeys.end()), pairKeys.end());
    }
}

}  // namespace

void GatherPairs() {
    if (!pairPrefilter) {
        GatherAllPairs();
        return;
    }
    fastPathRuns.sweeps++;
    const uint32_t n = physicsBodiesCount;
    wildBodies.clear();
    heavyBodies.clear();
    boundsByIndex.resize(n);
    bodyLayer.resize(n);
    bodyStatic.resize(n);
    bodyKind.resize(n);
    bool inside = marginBounds.size() == n;
    for (uint32_t i = 0; i < n; i++) {
        const PhysicsBodyData* body = bodies[i];
        BodyBounds& bounds = boundsByIndex[i];
        bool finite = ComputeBounds(body, worldShapes[i], &bounds);
        bounds.index = i;
        bodyLayer[i] = body->collisionLayer;
        bodyStatic[i] = body->inverseMass == 0.0f;
        float inv = body->inverseMass;
        const bool wild = !finite || !std::isfinite(inv) || inv < 0.0f;
        bodyKind[i] = static_cast<uint64_t>(static_cast<uint32_t>(bodyLayer[i])) << 2 | bodyStatic[i] << 1 | wild;
        if (wild) {
            wildBodies.push_back(i);
            continue;
        }
        if (inv <= PHYSICS_EPSILON) heavyBodies.push_back(i);
        if (inside) {
            const BodyBounds& m = marginBounds[i];
            inside = m.minX <= bounds.minX && bounds.maxX <= m.maxX && m.minY <= bounds.minY && bounds.maxY <= m.maxY;
        }
    }
    if (!inside || bodyKind != candidateKind) SweepCandidates(n);
    // The candidates whose bounds overlap now (closed intervals, as the sweep compares them).
    pairKeys.resize(candidateKeys.size());
    size_t kept = 0;
    for (uint32_t key : candidateKeys) {
        const BodyBounds& a = boundsByIndex[key >> PAIR_SHIFT];
        const BodyBounds& b = boundsByIndex[key & PAIR_MASK];
        pairKeys[kept] = key;
        kept += (b.minX <= a.maxX) & (a.minX <= b.maxX) & (b.minY <= a.maxY) & (a.minY <= b.maxY);
    }
    pairKeys.resize(kept);
    AddExtraPairs(n);
    // Each pair takes at least one record: pairs past the table's room are never reached.
    if (pairKeys.size() > PHYSICS_MANIFOLD_LIMIT) pairKeys.resize(PHYSICS_MANIFOLD_LIMIT);
}

}  // namespace physics_detail
