// Reading and writing two neighbouring 32-bit words per lane at once, for the
// physics lane kernels: one 64-bit gather (or scatter) per half vector moves
// what two 32-bit ones would, with half the loads (or stores). Offsets are in
// words and even, so every pair is 8-byte aligned. Included once per SIMD
// target from a kernel's file, box_lanes.cpp and impulse_lanes.cpp (Highway's
// per-target include guard).
#if defined(VIMO_PHYSICS_LANE_PAIRS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VIMO_PHYSICS_LANE_PAIRS_INL_H_
#undef VIMO_PHYSICS_LANE_PAIRS_INL_H_
#else
#define VIMO_PHYSICS_LANE_PAIRS_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace physics_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// *even = base[at[l]], *odd = base[at[l] + 1] in every lane l.
template <class D, class VI, class V>
HWY_INLINE void GatherPair(D d, const float* base, VI at, V* even, V* odd) {
#if HWY_TARGET == HWY_SCALAR
    *even = hn::GatherIndex(d, base, at);
    *odd = hn::GatherIndex(d, base + 1, at);
#else
    const hn::Repartition<uint64_t, D> d64;
    const hn::RebindToSigned<decltype(d64)> di64;
    const hn::Half<hn::RebindToSigned<D>> dh;
    const uint64_t* pairs = reinterpret_cast<const uint64_t*>(base);
    const V lo = hn::BitCast(d, hn::GatherIndex(d64, pairs, hn::ShiftRight<1>(hn::PromoteTo(di64, hn::LowerHalf(dh, at)))));
    const V hi = hn::BitCast(d, hn::GatherIndex(d64, pairs, hn::ShiftRight<1>(hn::PromoteTo(di64, hn::UpperHalf(dh, at)))));
    *even = hn::ConcatEven(d, hi, lo);
    *odd = hn::ConcatOdd(d, hi, lo);
#endif
}

// base[at[l]] = even[l], base[at[l] + 1] = odd[l] in every lane l; interleaving
// pairs each lane's two words, in the order the interleaved offsets give.
template <class D, class VI, class V>
HWY_INLINE void ScatterPair(D d, float* base, VI at, V even, V odd) {
#if HWY_TARGET == HWY_SCALAR
    hn::ScatterIndex(even, d, base, at);
    hn::ScatterIndex(odd, d, base + 1, at);
#else
    const hn::Repartition<uint64_t, D> d64;
    const hn::RebindToSigned<decltype(d64)> di64;
    const hn::RebindToSigned<D> di;
    uint64_t* pairs = reinterpret_cast<uint64_t*>(base);
    const auto low = hn::Set(di64, 0xffffffff);
    auto index = [&](VI both) { return hn::ShiftRight<1>(hn::And(hn::BitCast(di64, both), low)); };
    hn::ScatterIndex(hn::BitCast(d64, hn::InterleaveLower(d, even, odd)), d64, pairs, index(hn::InterleaveLower(di, at, at)));
    hn::ScatterIndex(hn::BitCast(d64, hn::InterleaveUpper(d, even, odd)), d64, pairs, index(hn::InterleaveUpper(di, at, at)));
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace physics_detail
HWY_AFTER_NAMESPACE();

#endif  // VIMO_PHYSICS_LANE_PAIRS_INL_H_
