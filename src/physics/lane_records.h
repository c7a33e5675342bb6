// The records the plain contact code and its SIMD lane kernels share, word for
// word, and the kernels' plain entry points (each dispatches to the best
// Highway target this processor has, or the one RestrictSimdTargets chose):
//  - the box test: the bodies' words and a group's results (collision.cpp
//    fills and reads them, box_lanes.cpp tests the pairs);
//  - the impulse passes: the solver's copies of the bodies, its units and
//    their lane values, and the level schedule (contact_solver.cpp builds the
//    units and runs the levels, contact_schedule.cpp orders them,
//    impulse_lanes.cpp solves a level's units in lanes).
// Everything here runs on the stepping thread with PhysicsMutex() held.
#pragma once

#include "physics/physics_internal.h"

namespace physics_detail {

// ---- The box test ----------------------------------------------------------------

// Four-vertex polygons' values for the box lanes, BOX_WORDS words per body by
// table index: rotation, position, model vertices and normals (one array per
// coordinate); the first words are the lanes' room for the world vertices and
// normals they work out.
constexpr int32_t BOX_WORDS = 40;
enum BoxWord : int32_t {
    BW_VX = 0, BW_VY = 4, BW_NX = 8, BW_NY = 12, BW_T00 = 16, BW_T01, BW_T10, BW_T11, BW_PX = 20, BW_PY,
    BW_MX = 22, BW_MY = 26, BW_MNX = 30, BW_MNY = 34, BW_USED = 38,
};
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
// SolvePolygonToPolygon for a group of BOX_GROUP pairs (box_lanes.cpp);
// pairA[l], pairB[l]: the word offsets of lane l's bodies in words.
void SolveBoxLanesDispatch(const int32_t* pairA, const int32_t* pairB, const float* words, BoxResults* out);

// ---- The impulse passes ----------------------------------------------------------

// The impulse passes work on compact copies of what they touch, written back
// once at the end: the bodies' velocities and collision records, and per contact
// point the lever arms and effective mass, which stay fixed through the passes
// (positions and masses do not change in this phase). The arithmetic and its
// order are exactly those of resolving the records in place.
struct SolverBody {
    Vector2 velocity;
    float angularVelocity, inverseMass, inverseInertia;
    bool enabled, freezeRotation;
    int32_t collidedWith, id;
    Vector2 collisionDelta, collisionNormal;
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

// ---- The lanes' data ----
// One unit's fixed values, 32 words, read by the lanes with gathers (word
// offsets below). A lane loads its unit's values and its bodies' velocities by
// index.
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
constexpr int UNIT_SHIFT = 5;  // 32 words per unit
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
// The lanes read words two at a time from an even word: (nx, ny), (-(1 + e),
// sf), (df, aim), (aii, bim), (bii, flags), each point's three pairs, (a, b);
// a body's (vx, vy) and (cdx, cdy).
static_assert(W_NX % 2 == 0 && W_NY == W_NX + 1 && W_SF == W_NEGE1 + 1 && W_AIM == W_DF + 1 &&
                  W_BIM == W_AII + 1 && W_FLAGS == W_BII + 1 && W_POINT % 2 == 0 && W_POINT_WORDS % 2 == 0 &&
                  W_A % 2 == 0 && W_B == W_A + 1 && B_VY == B_VX + 1 && B_CDX % 2 == 0 && B_CDY == B_CDX + 1 &&
                  BODY_WORDS % 2 == 0,
              "word pairs");
// Lanes per group at most: a level's laned units are padded to a multiple of
// this, so a group may read past its last unit.
constexpr uint32_t MAX_LANES = 16;
// A group of lanes is worth its set-up from this many units on; fewer left
// over in a level run one by one.
constexpr uint32_t MIN_GROUP_UNITS = 3;

inline void MakeUnitLane(const SolverContact& u, const SolverBody* sb, UnitLane* out) {
    const SolverBody& A = sb[u.a];
    const SolverBody& B = sb[u.b];
    UnitLane& q = *out;
    q.nx = u.normal.x, q.ny = u.normal.y;
    q.negE1 = -(1.0f + u.restitution), q.sf = u.staticFriction, q.df = u.dynamicFriction;
    q.aim = A.inverseMass, q.aii = A.inverseInertia, q.bim = B.inverseMass, q.bii = B.inverseInertia;
    q.flags = (A.enabled ? UNIT_A_ENABLED : 0) | (B.enabled ? UNIT_B_ENABLED : 0) |
              (A.enabled && !A.freezeRotation ? UNIT_A_TURNS : 0) |
              (B.enabled && !B.freezeRotation ? UNIT_B_TURNS : 0) | (u.repeat == 2 ? UNIT_TWIN : 0) |
              (u.count > 0 ? UNIT_POINT0 : 0) | (u.count > 1 ? UNIT_POINT1 : 0);
    for (uint32_t k = 0; k < 2; k++) {
        q.p[k] = {u.points[k].rA.x, u.points[k].rA.y, u.points[k].rB.x, u.points[k].rB.y,
                  u.points[k].inverseMassSum, u.points[k].effectiveMass};
    }
    q.a = static_cast<int32_t>(u.a) * BODY_WORDS;
    q.b = static_cast<int32_t>(u.b) * BODY_WORDS;
}

// An empty lane: no points, both bodies the scratch body past the table.
inline UnitLane EmptyUnitLane(uint32_t scratch) {
    UnitLane q{};
    for (auto& p : q.p) p.ks = p.em = 1.0f;
    q.a = q.b = static_cast<int32_t>(scratch) * BODY_WORDS;
    return q;
}

// The schedule of one step's impulse passes (fast solver): every unit's five
// runs, ordered by level, levels counted from 1. Each level's region of
// levelOrder holds its units that go into lanes, padded with the empty unit to
// a multiple of MAX_LANES (so a lane group may read past its last unit), then
// its zero-mass units. Kept from step to step with the scheduler's working
// arrays, so their memory is reused.
struct LevelSchedule {
    std::vector<UnitLane> unitLanes;    // by unit, then the empty lane
    std::vector<uint32_t> levelLaned;   // per level: units that go into lanes
    std::vector<uint32_t> levelZero;    // per level: zero-mass units
    std::vector<uint32_t> levelStart;   // per level: start of its region; past the last level, the end
    std::vector<int32_t> levelOrder;    // unit indices, level by level
    std::vector<uint32_t> bodySlot;     // per unit: A's and B's slots in lastLevel (read-only bodies: the sinks)
    std::vector<uint32_t> lastLevel;    // per body, then the sinks: level of its last run so far
    std::vector<uint32_t> runLevel;     // per run (pass x units + unit): its level
    std::vector<uint32_t> levelCursor;  // per level: next free places for a laned unit and a zero-mass one
};
// Orders units (in table order; readOnly and sb by table index, sb with the
// scratch body past the table) into s; returns the number of levels
// (contact_schedule.cpp).
uint32_t ScheduleLevels(const std::vector<SolverContact>& units, const std::vector<uint8_t>& readOnly,
                        const SolverBody* sb, LevelSchedule* s);

// A level's laned units in lanes (impulse_lanes.cpp's SolveLanes): returns how
// many were done; the rest are for the caller to run one by one.
uint32_t SolveLanesDispatch(const int32_t* unitIndex, uint32_t count, const UnitLane* units, SolverBody* sb);
// VIMO_SIMD_TARGETS, applied once per process (impulse_lanes.cpp).
void ApplySimdTargetsFromEnvironment();

}  // namespace physics_detail
