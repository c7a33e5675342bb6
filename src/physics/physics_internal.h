// Private to the physics engine: vector helpers in the float precision the
// solver works in, and the step phases that collision.cpp provides to the
// step in physics.cpp. Everything here runs with PhysicsMutex() held.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <immintrin.h>
#define VIMO_PHYSICS_SSE 1  // x86: the SSE, AVX2 and AVX-512 paths are built (chosen at run time)
#else
#define VIMO_PHYSICS_SSE 0
#endif

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
inline float Len(Vector2 v) { return std::sqrt(v.x * v.x + v.y * v.y); }
// Cross product of two vectors (a scalar).
inline float Cross(Vector2 a, Vector2 b) { return a.x * b.y - a.y * b.x; }
// Cross product of an angular speed w with a lever r: the velocity w x r.
inline Vector2 CrossWV(float w, Vector2 r) { return {-w * r.y, w * r.x}; }
// Unit vector along v; a zero-length vector is returned unchanged (never divided by 0).
inline Vector2 Normalize(Vector2 v) {
    float len = Len(v);
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
// The polygon test's use of world-space vertices and normals worked out once
// per step instead of once per pair; on by default. Off: the plain per-pair
// transforms (tests only).
extern bool worldShapeCache;
// Preparing a twin record by copying its first record's mixed coefficients
// instead of working them out again; on by default (tests switch it off).
extern bool preparedTwins;
// Pairs of four-vertex polygons tested sixteen at a time (AVX-512) instead of
// one by one; on by default (tests switch it off).
extern bool boxTests;
// The impulse passes' reordering by levels and solving in lanes; on by
// default. Off, records run one by one in table order (tests only).
extern bool fastSolver;

// The impulse passes' lane kernel: eight lanes on SSE2 register pairs, eight
// on AVX2, sixteen on AVX-512, or (the default) chosen each step from what the
// processor has and how many units a level holds. The same bits whichever
// runs (tests switch it).
enum SolverKernel { SOLVER_SSE2 = 0, SOLVER_AVX = 1, SOLVER_AVX512 = 2, SOLVER_AUTO = 3 };
extern int solverKernel;
// Whether this processor can run a kernel.
bool SolverKernelSupported(int kernel);

// The stepping thread: while every body rests it wakes once per
// REST_STEPS_PER_WAKE steps and runs them together, else once per step.
// At rest: no moving body faster than this (px/ms; one step of gravity adds
// 0.016), none turning faster than REST_TURN (rad/ms).
constexpr float REST_SPEED = 0.05f;
constexpr float REST_TURN = 0.001f;
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
    // The same, one array per coordinate (for the four-face test of two boxes).
    alignas(16) float vx[PHYSICS_MAX_VERTICES], vy[PHYSICS_MAX_VERTICES];
    alignas(16) float nx[PHYSICS_MAX_VERTICES], ny[PHYSICS_MAX_VERTICES];
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
void BuildContacts();       // Phase 4: isGrounded reset, pair tests, records
void PrepareContacts();     // Phase 6: mixed coefficients, resting restitution
void SolveContacts();       // Phase 7: the impulse passes, collision records (contact_solver.cpp)
void CorrectPositions();    // Phase 9: positional correction

// Shape tests used by BuildContacts (they fill normal, penetration and points).
void SolvePolygonToPolygon(PhysicsManifoldData* manifold);
void SolveDifferentShapes(PhysicsManifoldData* manifold, PhysicsBodyData* circle, PhysicsBodyData* polygon);
int Clip(Vector2 normal, float clip, Vector2* faceA, Vector2* faceB);  // Clip a segment; returns points kept

}  // namespace physics_detail
