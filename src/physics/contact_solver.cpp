// The impulse passes of a step: the contact records resolved five times over,
// filling each body's velocity and collision record, in lanes where the
// processor has them.
//
// Runs on the stepping thread with PhysicsMutex() held.
#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "physics/physics.h"
#include "physics/physics_internal.h"

using namespace PhysicsWorld;

namespace physics_detail {

bool fastSolver = true;

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

}  // namespace physics_detail
