// The impulse passes in SIMD lanes: SolveRecord (contact_solver.cpp) for many
// units side by side, one unit per lane, in the same operations and order as
// that function (change them together: the lanes must give the plain path's
// bits). Compiled once per SIMD target Highway builds (this file re-includes
// itself through foreach_target.h); contact_solver.cpp runs a level's units
// through SolveLanesDispatch, which runs the chosen target's copy.
//
// Also the choice of that target, for both lane kernels (this one and
// box_lanes.cpp): which targets exist here (SimdTargets), which one runs
// (RestrictSimdTargets, VIMO_SIMD_TARGETS) and whether lanes pay on it
// (LanesPay).
//
// Runs on the stepping thread with PhysicsMutex() held (SimdTargets,
// RestrictSimdTargets and SimdTargetName from any thread between steps).
#include <algorithm>
#include <cstdlib>

#include "physics/lane_records.h"

// ---- The lane kernel, compiled once per SIMD target ----
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "physics/impulse_lanes.cpp"
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
    for (int g = 0; g < G; g++) {
        const VI u = hn::ShiftLeft<UNIT_SHIFT>(hn::LoadU(di, unitIndex + g * lanes));  // word offsets of the units
        VF a, b, flagBits;
        GatherPair(df, uf + W_A, u, &a, &b);
        ia[g] = hn::BitCast(di, a);
        ib[g] = hn::BitCast(di, b);
        GatherPair(df, bf + B_VX, ia[g], &avx[g], &avy[g]);
        GatherPair(df, bf + B_VX, ib[g], &bvx[g], &bvy[g]);
        aw[g] = hn::GatherIndex(df, bf + B_W, ia[g]);
        bw[g] = hn::GatherIndex(df, bf + B_W, ib[g]);
        // The bodies' collision records' summed velocity changes.
        GatherPair(df, bf + B_CDX, ia[g], &cax[g], &cay[g]);
        GatherPair(df, bf + B_CDX, ib[g], &cbx[g], &cby[g]);
        GatherPair(df, uf + W_NX, u, &nx[g], &ny[g]);
        GatherPair(df, uf + W_NEGE1, u, &negE1[g], &sf[g]);
        GatherPair(df, uf + W_DF, u, &dfr[g], &aim[g]);
        GatherPair(df, uf + W_AII, u, &aii[g], &bim[g]);
        GatherPair(df, uf + W_BII, u, &bii[g], &flagBits);
        const VI flags = hn::BitCast(di, flagBits);
        auto flag = [&](int32_t bit) { return hn::RebindMask(df, hn::TestBit(flags, hn::Set(di, bit))); };
        aEn[g] = flag(UNIT_A_ENABLED), bEn[g] = flag(UNIT_B_ENABLED);
        aRot[g] = flag(UNIT_A_TURNS), bRot[g] = flag(UNIT_B_TURNS), twin[g] = flag(UNIT_TWIN);
        inUse[g][0] = flag(UNIT_POINT0), inUse[g][1] = flag(UNIT_POINT1);
        cs[g] = hn::IfThenElse(inUse[g][1], half, one);  // 1 / points: exact
        // Both points' lever arms and masses, gathered once for both rounds.
        for (int32_t k = 0; k < 2; k++) {
            for (int32_t v = 0; v < 6; v += 2) {
                GatherPair(df, uf + W_POINT + k * W_POINT_WORDS + v, u, &point[g][k][v], &point[g][k][v + 1]);
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

    // Lanes may share a disabled body (or the scratch body); those get back the
    // very values they were read with, so the order of the writes does not matter.
    for (int g = 0; g < G; g++) {
        ScatterPair(df, bf + B_VX, ia[g], avx[g], avy[g]);
        hn::ScatterIndex(aw[g], df, bf + B_W, ia[g]);
        ScatterPair(df, bf + B_CDX, ia[g], cax[g], cay[g]);
        ScatterPair(df, bf + B_VX, ib[g], bvx[g], bvy[g]);
        hn::ScatterIndex(bw[g], df, bf + B_W, ib[g]);
        ScatterPair(df, bf + B_CDX, ib[g], cbx[g], cby[g]);
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

uint32_t SolveLanesDispatch(const int32_t* unitIndex, uint32_t count, const UnitLane* units, SolverBody* sb) {
    return HWY_DYNAMIC_DISPATCH(SolveLanes)(unitIndex, count, units, sb);
}

#if VIMO_PHYSICS_SIMD_DISPATCH
std::vector<int64_t> SimdTargets() { return hwy::SupportedAndGeneratedTargets(); }
void RestrictSimdTargets(int64_t targets) { hwy::SetSupportedTargetsForTest(targets); }
#else
std::vector<int64_t> SimdTargets() { return {HWY_STATIC_TARGET}; }
void RestrictSimdTargets(int64_t) {}
#endif

std::string SimdTargetName(int64_t target) { return hwy::TargetName(target); }

// VIMO_SIMD_TARGETS=avx2 (or a list such as "sse4,avx2"; Highway's target
// names, any case) limits the lane kernels to those targets, once per process.
void ApplySimdTargetsFromEnvironment() {
    [[maybe_unused]] static const bool applied = [] {
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
}

}  // namespace physics_detail
#endif  // HWY_ONCE
