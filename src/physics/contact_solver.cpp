// The impulse passes of a step: the contact records resolved five times over,
// filling each body's velocity and collision record, in SIMD lanes where the
// processor has them.
//
// Where each formula of the passes lives (change them together, in the same
// order of operations: the lanes must give the plain path's bits):
//  - relative velocity: RelativeVelocity (physics_internal.h, for SolveRecord
//    and PrepareContacts' resting test) and SolveLanes;
//  - normal impulse, its application and the collision record, friction
//    (tangent, its impulse, static or dynamic, application): SolveRecord (the
//    plain path, one record) and SolveLanes (the lane kernel, one unit per
//    lane, every SIMD target Highway builds);
//  - lever arms and the effective mass along the normal: SolveContacts only,
//    worked out once per step for both;
//  - -(1 + restitution), a body's "enabled" and "turns" rules and the share
//    per point: SolverContact (plain) and MakeUnitLane (lanes), side by side.
//
// The whole physics library is compiled with contraction off
// (-ffp-contract=off): no multiply and add is ever fused, in either path.
//
// Runs on the stepping thread with PhysicsMutex() held.
#ifndef VIMO_PHYSICS_SOLVER_ONCE
#define VIMO_PHYSICS_SOLVER_ONCE
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "physics/physics.h"
#include "physics/physics_internal.h"

using namespace PhysicsWorld;

namespace physics_detail {

bool fastSolver = true;
FastPathRuns fastPathRuns;

namespace {

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
        Vector2 rv = RelativeVelocity(A.velocity, A.angularVelocity, B.velocity, B.angularVelocity, p.rA, p.rB);
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
        rv = RelativeVelocity(A.velocity, A.angularVelocity, B.velocity, B.angularVelocity, p.rA, p.rB);
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

void MakeUnitLane(const SolverContact& u, const SolverBody* sb, UnitLane* out) {
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
UnitLane EmptyUnitLane(uint32_t scratch) {
    UnitLane q{};
    for (auto& p : q.p) p.ks = p.em = 1.0f;
    q.a = q.b = static_cast<int32_t>(scratch) * BODY_WORDS;
    return q;
}

}  // namespace
}  // namespace physics_detail
#endif  // VIMO_PHYSICS_SOLVER_ONCE

// ---- The lane kernel, compiled once per SIMD target ----
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "physics/contact_solver.cpp"
#include <hwy/foreach_target.h>  // re-includes this file for every target
#include <hwy/highway.h>

#include "physics/lane_pairs-inl.h"

HWY_BEFORE_NAMESPACE();
namespace physics_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Units solved side by side, one per lane, G vectors' worth at once (G x
// lanes units, read from unitIndex; lanes past a level's units hold the empty
// unit). The units of one call touch distinct moving bodies (disabled ones are
// never written), and every lane performs exactly the operations of
// SolveRecord in the same order (IEEE single precision per lane, never
// fused), with SolveRecord's early stops turned into masks; a lane with a twin
// runs its record again. Each statement runs for every g in turn, so the G
// chains of divisions and roots overlap in the processor.
template <int G>
void SolveGroups(const int32_t* unitIndex, const UnitLane* units, SolverBody* sb) {
    const hn::CappedTag<float, MAX_LANES> df;
    const hn::RebindToSigned<decltype(df)> di;
    using VF = decltype(hn::Zero(df));
    using VI = decltype(hn::Zero(di));
    using M = decltype(hn::FirstN(df, 0));
    const size_t lanes = hn::Lanes(df);
    const float* uf = reinterpret_cast<const float*>(units);
    float* bf = reinterpret_cast<float*>(sb);
    const VF zero = hn::Zero(df), one = hn::Set(df, 1.0f), half = hn::Set(df, 0.5f);
    const VF eps = hn::Set(df, PHYSICS_EPSILON);
    VI ia[G], ib[G];
    VF avx[G], avy[G], aw[G], bvx[G], bvy[G], bw[G], cax[G], cay[G], cbx[G], cby[G];
    VF nx[G], ny[G], aim[G], bim[G], aii[G], bii[G], negE1[G], sf[G], dfr[G], cs[G], point[G][2][6];
    M aEn[G], bEn[G], aRot[G], bRot[G], twin[G], inUse[G][2], hitA[G], hitB[G], active[G];
    auto pair = [&](const float* base, const VI& at, VF* even, VF* odd) { GatherPair(df, base, at, even, odd); };
    for (int g = 0; g < G; g++) {
        const VI u = hn::ShiftLeft<UNIT_SHIFT>(hn::LoadU(di, unitIndex + g * lanes));  // word offsets of the units
        VF a, b, flagBits;
        pair(uf + W_A, u, &a, &b);
        ia[g] = hn::BitCast(di, a);
        ib[g] = hn::BitCast(di, b);
        pair(bf + B_VX, ia[g], &avx[g], &avy[g]);
        pair(bf + B_VX, ib[g], &bvx[g], &bvy[g]);
        aw[g] = hn::GatherIndex(df, bf + B_W, ia[g]);
        bw[g] = hn::GatherIndex(df, bf + B_W, ib[g]);
        // The bodies' collision records' summed velocity changes.
        pair(bf + B_CDX, ia[g], &cax[g], &cay[g]);
        pair(bf + B_CDX, ib[g], &cbx[g], &cby[g]);
        pair(uf + W_NX, u, &nx[g], &ny[g]);
        pair(uf + W_NEGE1, u, &negE1[g], &sf[g]);
        pair(uf + W_DF, u, &dfr[g], &aim[g]);
        pair(uf + W_AII, u, &aii[g], &bim[g]);
        pair(uf + W_BII, u, &bii[g], &flagBits);
        const VI flags = hn::BitCast(di, flagBits);
        auto flag = [&](int32_t bit) { return hn::RebindMask(df, hn::TestBit(flags, hn::Set(di, bit))); };
        aEn[g] = flag(UNIT_A_ENABLED), bEn[g] = flag(UNIT_B_ENABLED);
        aRot[g] = flag(UNIT_A_TURNS), bRot[g] = flag(UNIT_B_TURNS), twin[g] = flag(UNIT_TWIN);
        inUse[g][0] = flag(UNIT_POINT0), inUse[g][1] = flag(UNIT_POINT1);
        cs[g] = hn::IfThenElse(inUse[g][1], half, one);  // 1 / points: exact
        // Both points' lever arms and masses, gathered once for both rounds.
        for (int32_t k = 0; k < 2; k++) {
            for (int32_t v = 0; v < 6; v += 2) {
                pair(uf + W_POINT + k * W_POINT_WORDS + v, u, &point[g][k][v], &point[g][k][v + 1]);
            }
        }
        // Lanes whose A (B) received a normal impulse: their collision record
        // names the other body and the normal (the same for every impulse of a unit).
        hitA[g] = hitB[g] = hn::FirstN(df, 0);
    }
    bool changed = false;

    for (uint32_t round = 0; round < 2; round++) {
        for (int g = 0; g < G; g++) active[g] = round == 0 ? hn::FirstN(df, lanes) : twin[g];
        for (uint32_t k = 0; k < 2; k++) {
            bool any = false;
            VF vn[G];
            for (int g = 0; g < G; g++) {
                active[g] = hn::And(active[g], inUse[g][k]);
                const VF* p = point[g][k];
                // rv = B.v + w_B x rB - A.v - w_A x rA
                const VF rvx = bvx[g] + hn::Neg(bw[g]) * p[P_RBY] - avx[g] - hn::Neg(aw[g]) * p[P_RAY];
                const VF rvy = bvy[g] + bw[g] * p[P_RBX] - avy[g] - aw[g] * p[P_RAX];
                vn[g] = rvx * nx[g] + rvy * ny[g];
                active[g] = hn::AndNot(hn::Gt(vn[g], zero), active[g]);  // separating: the rest waits a pass
                any = any || !hn::AllFalse(df, active[g]);
            }
            if (!any) break;
            changed = true;
            VF j[G];
            for (int g = 0; g < G; g++) {
                const VF* p = point[g][k];
                j[g] = (negE1[g] * vn[g]) / p[P_KS];
                j[g] = hn::IfThenElse(hn::Lt(j[g], p[P_EM]), j[g] * cs[g], j[g]);
                const VF ix = nx[g] * j[g], iy = ny[g] * j[g];

                const M mA = hn::And(active[g], aEn[g]);
                const VF dax = hn::Neg(ix) * aim[g], day = hn::Neg(iy) * aim[g];
                avx[g] = hn::IfThenElse(mA, avx[g] + dax, avx[g]);
                avy[g] = hn::IfThenElse(mA, avy[g] + day, avy[g]);
                cax[g] = hn::IfThenElse(mA, cax[g] + dax, cax[g]);
                cay[g] = hn::IfThenElse(mA, cay[g] + day, cay[g]);
                hitA[g] = hn::Or(hitA[g], mA);
                const VF crossA = p[P_RAX] * hn::Neg(iy) - p[P_RAY] * hn::Neg(ix);
                aw[g] = hn::IfThenElse(hn::And(active[g], aRot[g]), aw[g] + aii[g] * crossA, aw[g]);

                const M mB = hn::And(active[g], bEn[g]);
                const VF dbx = ix * bim[g], dby = iy * bim[g];
                bvx[g] = hn::IfThenElse(mB, bvx[g] + dbx, bvx[g]);
                bvy[g] = hn::IfThenElse(mB, bvy[g] + dby, bvy[g]);
                cbx[g] = hn::IfThenElse(mB, cbx[g] + dbx, cbx[g]);
                cby[g] = hn::IfThenElse(mB, cby[g] + dby, cby[g]);
                hitB[g] = hn::Or(hitB[g], mB);
                const VF crossB = p[P_RBX] * iy - p[P_RBY] * ix;
                bw[g] = hn::IfThenElse(hn::And(active[g], bRot[g]), bw[g] + bii[g] * crossB, bw[g]);
            }
            for (int g = 0; g < G; g++) {
                // Friction: velocities only, never the collision record.
                const VF* p = point[g][k];
                const VF rvx = bvx[g] + hn::Neg(bw[g]) * p[P_RBY] - avx[g] - hn::Neg(aw[g]) * p[P_RAY];
                const VF rvy = bvy[g] + bw[g] * p[P_RBX] - avy[g] - aw[g] * p[P_RAX];
                const VF dn = rvx * nx[g] + rvy * ny[g];
                VF tx = rvx - nx[g] * dn, ty = rvy - ny[g] * dn;
                const VF len = hn::Sqrt(tx * tx + ty * ty);
                const VF inv = one / len;
                const M lenZero = hn::Eq(len, zero);
                tx = hn::IfThenElse(lenZero, tx, tx * inv);
                ty = hn::IfThenElse(lenZero, ty, ty * inv);
                VF jt = hn::Neg(rvx * tx + rvy * ty);
                jt = (jt / p[P_KS]) * cs[g];
                const VF absJt = hn::Abs(jt);
                active[g] = hn::AndNot(hn::Le(absJt, eps), active[g]);
                const M isStatic = hn::Lt(absJt, j[g] * sf[g]);
                const VF dyn = hn::Neg(j[g]) * dfr[g];
                const VF tix = hn::IfThenElse(isStatic, tx * jt, tx * dyn);
                const VF tiy = hn::IfThenElse(isStatic, ty * jt, ty * dyn);

                const M fA = hn::And(active[g], aEn[g]);
                avx[g] = hn::IfThenElse(fA, avx[g] + hn::Neg(tix) * aim[g], avx[g]);
                avy[g] = hn::IfThenElse(fA, avy[g] + hn::Neg(tiy) * aim[g], avy[g]);
                const VF fcrossA = p[P_RAX] * hn::Neg(tiy) - p[P_RAY] * hn::Neg(tix);
                aw[g] = hn::IfThenElse(hn::And(active[g], aRot[g]), aw[g] + aii[g] * fcrossA, aw[g]);
                const M fB = hn::And(active[g], bEn[g]);
                bvx[g] = hn::IfThenElse(fB, bvx[g] + tix * bim[g], bvx[g]);
                bvy[g] = hn::IfThenElse(fB, bvy[g] + tiy * bim[g], bvy[g]);
                const VF fcrossB = p[P_RBX] * tiy - p[P_RBY] * tix;
                bw[g] = hn::IfThenElse(hn::And(active[g], bRot[g]), bw[g] + bii[g] * fcrossB, bw[g]);
            }
        }
    }
    if (!changed) return;  // every lane separating at its first point in both rounds

    auto scatterPair = [&](float* base, const VI& at, VF even, VF odd) { ScatterPair(df, base, at, even, odd); };
    // Lanes may share a disabled body (or the scratch body); those get back the
    // very values they were read with, so the order of the writes does not matter.
    for (int g = 0; g < G; g++) {
        scatterPair(bf + B_VX, ia[g], avx[g], avy[g]);
        hn::ScatterIndex(aw[g], df, bf + B_W, ia[g]);
        scatterPair(bf + B_CDX, ia[g], cax[g], cay[g]);
        scatterPair(bf + B_VX, ib[g], bvx[g], bvy[g]);
        hn::ScatterIndex(bw[g], df, bf + B_W, ib[g]);
        scatterPair(bf + B_CDX, ib[g], cbx[g], cby[g]);
    }
    for (int g = 0; g < G; g++) {
        uint8_t bytesA[8] = {}, bytesB[8] = {};  // one bit per lane, lane 0 lowest
        hn::StoreMaskBits(df, hitA[g], bytesA);
        hn::StoreMaskBits(df, hitB[g], bytesB);
        const uint32_t bitsA = bytesA[0] | bytesA[1] << 8, bitsB = bytesB[0] | bytesB[1] << 8;
        for (uint32_t bits = bitsA | bitsB; bits != 0; bits &= bits - 1) {
            const int l = __builtin_ctz(bits);
            const bool hA = (bitsA >> l) & 1, hB = (bitsB >> l) & 1;
            const UnitLane& q = units[unitIndex[g * lanes + l]];
            SolverBody* a = reinterpret_cast<SolverBody*>(bf + q.a);
            SolverBody* b = reinterpret_cast<SolverBody*>(bf + q.b);
            if (hA) {
                a->collidedWith = b->id;
                a->collisionNormal = {-q.nx, -q.ny};
            }
            if (hB) {
                b->collidedWith = a->id;
                b->collisionNormal = {q.nx, q.ny};
            }
        }
    }
}

// A level's laned units, unitIndex[0, count), in calls of two vectors' worth
// while more than one vector's worth is left, then one, while at least
// MIN_GROUP_UNITS units are left (the level's region is padded to a multiple
// of MAX_LANES, so a call may read past count). Returns the units done; the
// rest are for the caller to run one by one.
uint32_t SolveLanes(const int32_t* unitIndex, uint32_t count, const UnitLane* units, SolverBody* sb) {
    const uint32_t lanes = static_cast<uint32_t>(hn::Lanes(hn::CappedTag<float, MAX_LANES>()));
    uint32_t first = 0;
    while (first < count && count - first >= MIN_GROUP_UNITS) {
        fastPathRuns.laneGroups++;
        if (count - first > lanes) {
            SolveGroups<2>(unitIndex + first, units, sb);
            first += 2 * lanes;
        } else {
            SolveGroups<1>(unitIndex + first, units, sb);
            first += lanes;
        }
    }
    fastPathRuns.laneTargets |= HWY_TARGET;
    return std::min(first, count);
}

int64_t LaneTarget() { return HWY_TARGET; }

}  // namespace HWY_NAMESPACE
}  // namespace physics_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace physics_detail {

HWY_EXPORT(SolveLanes);
HWY_EXPORT(LaneTarget);

bool LanesPay() { return (HWY_DYNAMIC_DISPATCH(LaneTarget)() & (HWY_SCALAR | HWY_EMU128)) == 0; }

std::vector<int64_t> SimdTargets() {
#if VIMO_PHYSICS_SIMD_DISPATCH
    return hwy::SupportedAndGeneratedTargets();
#else
    return {HWY_STATIC_TARGET};
#endif
}

void RestrictSimdTargets(int64_t targets) {
#if VIMO_PHYSICS_SIMD_DISPATCH
    hwy::SetSupportedTargetsForTest(targets);
#else
    (void)targets;
#endif
}

std::string SimdTargetName(int64_t target) { return hwy::TargetName(target); }

namespace {

// VIMO_SIMD_TARGETS=avx2 (or a list such as "sse4,avx2"; Highway's target
// names, any case) limits the lane kernel to those targets, once per process.
void ApplySimdTargetsFromEnvironment() {
    static const bool applied = [] {
        const char* wanted = std::getenv("VIMO_SIMD_TARGETS");
        auto lower = [](std::string text) {
            for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            return "," + text + ",";
        };
        int64_t mask = 0;
        for (int64_t target : SimdTargets()) {
            if (wanted && lower(wanted).find(lower(SimdTargetName(target))) != std::string::npos) mask |= target;
        }
        if (mask != 0) RestrictSimdTargets(mask);
        return mask != 0;
    }();
    (void)applied;
}

std::vector<SolverBody> solverBodies;       // by table index, plus a scratch body past the table
std::vector<SolverContact> solverContacts;  // by unit, in table order
std::vector<uint8_t> readOnly;              // per body: never written by the passes
std::vector<UnitLane> unitLanes;            // by unit, then the empty lane

// The schedule of one step's impulse passes (fast solver): every unit's five
// runs, ordered by level. Each level's region of levelOrder holds its units
// that go into lanes, padded with the empty unit to a multiple of MAX_LANES
// (so a lane group may read past its last unit), then its zero-mass units.
std::vector<uint32_t> bodySlot;     // per unit: A's and B's slots in lastLevel (read-only bodies: the sinks)
std::vector<uint32_t> lastLevel;    // per body, then the sinks: level of its last run so far
std::vector<uint32_t> runLevel;     // per run (pass x units + unit): its level
std::vector<uint8_t> unitZeroMass;  // per unit
std::vector<uint32_t> levelLaned;   // per level: units that go into lanes
std::vector<uint32_t> levelZero;    // per level: zero-mass units
std::vector<uint32_t> levelStart;   // per level: start of its region
std::vector<uint32_t> levelCursor;  // per level: next free places for a laned unit and a zero-mass one
std::vector<int32_t> levelOrder;

}  // namespace

void SolveContacts() {
    ApplySimdTargetsFromEnvironment();
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
    solverContacts.clear();
    const uint32_t records = physicsManifoldsCount;
    for (uint32_t i = 0; i < records; i++) {
        const ContactPair pair = contactPairs[i];
        const PhysicsManifoldData* m = contacts[i];
        const PhysicsBodyData* A = m->bodyA;
        const PhysicsBodyData* B = m->bodyB;
        const bool zeroMass = std::fabs(A->inverseMass + B->inverseMass) <= PHYSICS_EPSILON;
        if (zeroMass) {
            readOnly[pair.a] = 0;
            readOnly[pair.b] = 0;
        } else if (m->contactsCount == 0) {
            continue;
        }
        const bool twin = fastSolver && i + 1 < records && contactIsTwin[i + 1] && IsTwin(m, contacts[i + 1]);
        fastPathRuns.twinUnits += twin;
        SolverContact c{pair.a, pair.b, m->normal, m->contactsCount, m->contactsCount == 2 ? 0.5f : 1.0f,
                        m->restitution, m->staticFriction, m->dynamicFriction, zeroMass, twin ? 2u : 1u, {}};
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
        solverContacts.push_back(c);
        i += twin;  // the twin is resolved with its first record
    }
    const uint32_t unitCount = static_cast<uint32_t>(solverContacts.size());

    // A few units are quicker run in table order than scheduled into lanes.
    constexpr uint32_t MIN_SCHEDULED_UNITS = 8;
    if (fastSolver && unitCount >= MIN_SCHEDULED_UNITS && LanesPay()) {
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
        // Regions: laned units padded to a multiple of MAX_LANES, then zero-mass ones.
        levelStart.resize(levels + 2);
        levelCursor.resize(2 * (levels + 2));
        uint32_t size = 0;
        for (uint32_t l = 1; l <= levels; l++) {
            levelStart[l] = size;
            levelCursor[2 * l] = size;
            size += (levelLaned[l] + MAX_LANES - 1) / MAX_LANES * MAX_LANES;
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
        // few left over and the zero-mass units.
        const UnitLane* units = unitLanes.data();
        for (uint32_t l = 1; l <= levels; l++) {
            const int32_t* slice = levelOrder.data() + levelStart[l];
            const uint32_t laned = levelLaned[l];
            uint32_t first = HWY_DYNAMIC_DISPATCH(SolveLanes)(slice, laned, units, sb);
            for (; first < laned; first++) SolveOne(solverContacts[slice[first]], sb);
            const int32_t* zero = levelOrder.data() + levelStart[l + 1] - levelZero[l];
            for (uint32_t z = 0; z < levelZero[l]; z++) SolveOne(solverContacts[zero[z]], sb);
        }
    } else
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
        body->velocity = s.velocity, body->angularVelocity = s.angularVelocity;
        body->collidedWith = s.collidedWith, body->collisionDelta = s.collisionDelta;
        body->collisionNormal = s.collisionNormal;
    }
}

}  // namespace physics_detail
#endif  // HWY_ONCE
