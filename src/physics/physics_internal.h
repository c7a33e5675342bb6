// Private to the physics engine: vector helpers in the float precision the
// solver works in, the fast paths' switches and counts, the choice of SIMD
// target, and the step phases that collision.cpp and contact_solver.cpp
// provide to the step in physics.cpp. What the plain code shares with its SIMD
// lane kernels (box_lanes.cpp, impulse_lanes.cpp) is in lane_records.h.
// Everything here runs with PhysicsMutex() held.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "physics/physics.h"

namespace physics_detail {

constexpr float PHYSICS_EPSILON = 0.000001f;            // zero-mass test, tangent cut-off, circle-inside test
constexpr int PHYSICS_IMPULSE_PASSES = 5;               // passes over all contact records per step
constexpr float PHYSICS_PENETRATION_ALLOWANCE = 0.05f;  // depth the positional correction ignores
constexpr float PHYSICS_PENETRATION_CORRECTION = 0.4f;  // share of the remaining depth corrected per step
constexpr uint32_t PHYSICS_MANIFOLD_LIMIT = 4095;       // records entered per step at most

inline Vector2 Add(Vector2 a, Vector2 b) { return {a.x + b.x, a.y + b.y}; }
inline Vector2 Sub(Vector2 a, Vector2 b) { return {a.x - b.x, a.y - b.y}; }
inline Vector2 Scale(Vector2 v, float s) { return {v.x * s, v.y * s}; }
inline Vector2 Negate(Vector2 v) { return {-v.x, -v.y}; }
inline float Dot(Vector2 a, Vector2 b) { return a.x * b.x + a.y * b.y; }
inline float LenSqr(Vector2 v) { return v.x * v.x + v.y * v.y; }
// Cross product of two vectors (a scalar).
inline float Cross(Vector2 a, Vector2 b) { return a.x * b.y - a.y * b.x; }
// Cross product of an angular speed w with a lever r: the velocity w x r.
inline Vector2 CrossWV(float w, Vector2 r) { return {-w * r.y, w * r.x}; }
// Velocity of B's point at rB relative to A's point at rA: vB + wB x rB - vA - wA x rA.
inline Vector2 RelativeVelocity(Vector2 vA, float wA, Vector2 vB, float wB, Vector2 rA, Vector2 rB) {
    return Sub(Sub(Add(vB, CrossWV(wB, rB)), vA), CrossWV(wA, rA));
}
// Unit vector along v; a zero-length vector is returned unchanged (never divided by 0).
inline Vector2 Normalize(Vector2 v) {
    float len = std::sqrt(v.x * v.x + v.y * v.y);
    if (len == 0.0f) return v;
    float inv = 1.0f / len;
    return {v.x * inv, v.y * inv};
}

// PhysicsLayersCollide, inline for the contact phase's pair filter: INT_MIN
// meets only its own kind; INT_MAX meets everything else; any other layer
// meets its own value.
inline bool LayersCollide(int32_t a, int32_t b) {
    if (a == INT32_MIN || b == INT32_MIN) return a == b;
    if (a == INT32_MAX || b == INT32_MAX) return true;
    return a == b;
}

inline Matrix2x2 MatFromAngle(float radians) {
    float c = std::cos(radians);
    float s = std::sin(radians);
    return {c, -s, s, c};
}
inline Vector2 MatMul(const Matrix2x2& m, Vector2 v) { return {m.m00 * v.x + m.m01 * v.y, m.m10 * v.x + m.m11 * v.y}; }
inline Vector2 MatTMul(const Matrix2x2& m, Vector2 v) { return {m.m00 * v.x + m.m10 * v.y, m.m01 * v.x + m.m11 * v.y}; }

// The bounding-box pair pre-filter of the contact phase; on by default. Turning
// it off tests every pair, which must give bit-identical results (tests only).
extern bool pairPrefilter;
// Preparing a twin record by copying its first record's mixed coefficients
// instead of working them out again; on by default (tests switch it off).
extern bool preparedTwins;
// Pairs of four-vertex polygons tested in SIMD lanes, a group at a time,
// instead of one by one; on by default (tests switch it off).
extern bool boxLanes;
// The impulse passes' reordering by levels and solving in SIMD lanes; on by
// default. Off, records run one by one in table order (tests only).
extern bool fastSolver;

// How often each fast path ran since the counts were last cleared (tests read
// them to know a comparison did compare the fast path).
struct FastPathRuns {
    uint64_t sweeps = 0;       // pair pre-filter runs (GatherPairs)
    uint64_t candidateSweeps = 0;  // of them, those that swept for new candidates
    uint64_t copiedTwins = 0;  // twin records prepared by copying
    uint64_t twinUnits = 0;    // twin records resolved back to back as one unit
    uint64_t laneGroups = 0;   // groups of units solved in lanes
    int64_t laneTargets = 0;   // Highway targets (HWY_* bits) the impulse lanes ran as
    uint64_t boxLaneGroups = 0;   // groups of box pairs tested in lanes
    int64_t boxLaneTargets = 0;   // Highway targets the box lanes ran as
};
extern FastPathRuns fastPathRuns;

// SIMD targets of the lane kernels (Highway's HWY_* bits): those built and
// supported by this processor, one bit each. Restricting them to a set (0:
// back to all) changes which one runs from the next step on; the environment
// variable VIMO_SIMD_TARGETS (names such as "avx2" or "sse4,avx2") does the
// same once per process. Builds without run-time dispatch have one target.
// These three and LanesPay are defined in impulse_lanes.cpp.
std::vector<int64_t> SimdTargets();
void RestrictSimdTargets(int64_t targets);
std::string SimdTargetName(int64_t target);
// Whether the lanes pay on the target the kernels run as: not on Highway's
// one-lane and emulated targets (as in a build without dispatch, such as the
// MinGW one), where the plain path runs instead.
bool LanesPay();

// The stepping thread: while every body rests it wakes once per
// REST_STEPS_PER_WAKE steps and runs them together, else once per step.
// At rest: no moving body faster, along either axis, than one step of gravity
// adds (9.81/1000 px/ms^2 x 1.667 ms = 0.01635 px/ms; a body lying on the
// floor ends each step with about half of that, the half-step of gravity
// added after the impulses), and none turning faster than REST_TURN (rad/ms:
// the corner of a 32-pixel box then moves at most 0.011 px/ms).
constexpr float REST_SPEED = 0.0164f;
constexpr float REST_TURN = 0.0005f;
constexpr int REST_STEPS_PER_WAKE = 6;
// Whether every body that can move (enabled, with mass) is that still (lock held).
bool WorldAtRest();
// The thread's wake-ups so far (tests).
extern std::atomic<uint32_t> physicsWakeUps;

// ---- Shared by the contact phases (world lock held) ----

// Each polygon's vertices and face normals in world space, worked out once per
// step (transforms and positions do not change in the contact phase) with the
// very operations the pair tests would repeat for every pair: vertex =
// transform x model vertex + position, normal = transform x model normal.
struct WorldShape {
    Vector2 vertices[PHYSICS_MAX_VERTICES];
    Vector2 normals[PHYSICS_MAX_VERTICES];
};
extern std::vector<WorldShape> worldShapes;  // by table index (polygons only), filled in collision.cpp

// Pairs to test this step, in table order: key = i << PAIR_SHIFT | j, i < j.
constexpr uint32_t PAIR_SHIFT = 12;  // table indices are below 4096
constexpr uint32_t PAIR_MASK = (1u << PAIR_SHIFT) - 1;
extern std::vector<uint32_t> pairKeys;  // filled by GatherPairs (broad_phase.cpp)
void GatherPairs();                     // the wanted pairs whose bounds overlap (all pairs without the pre-filter)

// Table indices of each record's two bodies, beside contacts[] (same index).
struct ContactPair {
    uint32_t a, b;
};
extern ContactPair contactPairs[PHYSICS_MAX_MANIFOLDS];
// Per record: it is the twin of the record before it (a copy made in BuildContacts).
extern bool contactIsTwin[PHYSICS_MAX_MANIFOLDS];

// Step phases implemented in collision.cpp and contact_solver.cpp (world lock held).
void ClearContacts();       // Phase 3: drop the previous step's records
// Phase 4 with phase 6: isGrounded reset, pair tests, records, each record's
// mixed coefficients and resting restitution (after phase 5, the first half of
// the force integration, which touches nothing phase 4 reads).
void BuildContacts();
void SolveContacts();       // Phase 7: the impulse passes, collision records (contact_solver.cpp)
void CorrectPositions();    // Phase 9: positional correction


}  // namespace physics_detail
