// The box test in SIMD lanes: SolvePolygonToPolygon (collision.cpp) for a
// group of BOX_GROUP pairs of four-vertex polygons, one pair per lane, in the
// same operations and order as that function (change them together: the lanes
// must give the plain path's bits). Compiled once per SIMD target Highway
// builds (this file re-includes itself through foreach_target.h); collision.cpp
// calls it through SolveBoxLanesDispatch, which runs the chosen target's copy
// (SimdTargets and RestrictSimdTargets are in impulse_lanes.cpp).
//
// Runs on the stepping thread with PhysicsMutex() held.
#include <cfloat>

#include "physics/lane_records.h"

// ---- The box lanes, compiled once per SIMD target ----
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "physics/box_lanes.cpp"
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

void SolveBoxLanesDispatch(const int32_t* pairA, const int32_t* pairB, const float* words, BoxResults* out) {
    HWY_DYNAMIC_DISPATCH(SolveBoxLanes)(pairA, pairB, words, out);
}

}  // namespace physics_detail
#endif  // HWY_ONCE
