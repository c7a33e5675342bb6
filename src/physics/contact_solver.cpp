// The impulse passes of a step: the contact records resolved five times over,
// filling each body's velocity and collision record, in SIMD lanes where the
// processor has them. SolveContacts copies the bodies (LoadBodies), turns the
// records into units (BuildUnits), then either has the units' runs ordered by
// level (ScheduleLevels, contact_schedule.cpp) and runs the levels, in lanes
// where they fill them (RunLevels), or runs the units in table order; last it
// writes the bodies back (StoreBodies). The records it shares with the lanes
// are in lane_records.h.
//
// Where each formula of the passes lives (change them together, in the same
// order of operations: the lanes must give the plain path's bits):
//  - relative velocity: RelativeVelocity (physics_internal.h, for SolveRecord
//    and PrepareRecord's resting test in collision.cpp) and SolveGroups (impulse_lanes.cpp);
//  - normal impulse, its application and the collision record, friction
//    (tangent, its impulse, static or dynamic, application): SolveRecord (the
//    plain path, one record) and SolveGroups (impulse_lanes.cpp: the lane
//    kernel, one unit per lane, every SIMD target Highway builds);
//  - lever arms and the effective mass along the normal: BuildUnits only,
//    worked out once per step for both;
//  - -(1 + restitution), a body's "enabled" and "turns" rules and the share
//    per point: SolverContact with BuildUnits and SolveRecord (plain) and
//    MakeUnitLane (lanes), the two records side by side in lane_records.h.
//
// The whole physics library is compiled with contraction off
// (-ffp-contract=off): no multiply and add is ever fused, in either path.
//
// Runs on the stepping thread with PhysicsMutex() held.

#include "physics/lane_records.h"

using namespace PhysicsWorld;

namespace physics_detail {

bool fastSolver = true;
FastPathRuns fastPathRuns;

namespace {

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

std::vector<SolverBody> solverBodies;       // by table index, plus a scratch body past the table
std::vector<SolverContact> solverContacts;  // by unit, in table order
std::vector<uint8_t> readOnly;              // per body: never written by the passes
LevelSchedule schedule;                     // fast solver: this step's levels

// The passes' copies of the bodies, by table index, and which of them the
// passes may write (the enabled ones; BuildUnits adds those of zero-mass records).
void LoadBodies() {
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
}

// Units: records that can act (with points, or masses both near zero; a
// disabled body that no zero-mass record touches is never written here).
// A touching pair's two records are identical and adjacent: with the fast
// solver they form one unit, resolved twice in a row by the same lane,
// exactly as the table order has them.
void BuildUnits() {
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
        // A twin is a copy of its first record made and prepared in BuildContacts, equal bit for bit.
        const bool twin = fastSolver && i + 1 < records && contactIsTwin[i + 1];
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
}

// The levels in order. Per level: lane groups over its laned units, then one
// by one the few left over and the zero-mass units.
void RunLevels(const LevelSchedule& s, uint32_t levels, SolverBody* sb) {
    for (uint32_t l = 1; l <= levels; l++) {
        const int32_t* slice = s.levelOrder.data() + s.levelStart[l];
        const uint32_t laned = s.levelLaned[l];
        uint32_t first = SolveLanesDispatch(slice, laned, s.unitLanes.data(), sb);
        for (; first < laned; first++) SolveOne(solverContacts[slice[first]], sb);
        const int32_t* zero = s.levelOrder.data() + s.levelStart[l + 1] - s.levelZero[l];
        for (uint32_t z = 0; z < s.levelZero[l]; z++) SolveOne(solverContacts[zero[z]], sb);
    }
}

// The passes' results into the bodies.
void StoreBodies() {
    for (uint32_t i = 0; i < physicsBodiesCount; i++) {
        if (readOnly[i]) continue;  // untouched by the passes
        PhysicsBodyData* body = bodies[i];
        const SolverBody& s = solverBodies[i];
        body->velocity = s.velocity, body->angularVelocity = s.angularVelocity;
        body->collidedWith = s.collidedWith, body->collisionDelta = s.collisionDelta;
        body->collisionNormal = s.collisionNormal;
    }
}

}  // namespace

void SolveContacts() {
    ApplySimdTargetsFromEnvironment();
    LoadBodies();
    BuildUnits();
    SolverBody* sb = solverBodies.data();
    const uint32_t unitCount = static_cast<uint32_t>(solverContacts.size());
    // Up to a few dozen units are quicker run in table order than scheduled
    // into lanes (14 units, 10 boxes on the floor: 6% quicker; 160 units,
    // 100 boxes in a heap: lanes 40% quicker).
    constexpr uint32_t MIN_SCHEDULED_UNITS = 32;
    if (fastSolver && unitCount >= MIN_SCHEDULED_UNITS && LanesPay()) {
        const uint32_t levels = ScheduleLevels(solverContacts, readOnly, sb, &schedule);
        RunLevels(schedule, levels, sb);
    } else {
        // Records one by one in table order (a unit is one record without the
        // fast solver; twins still run back to back without lanes).
        for (int pass = 0; pass < PHYSICS_IMPULSE_PASSES; pass++) {
            for (uint32_t r = 0; r < unitCount; r++) SolveOne(solverContacts[r], sb);
        }
    }
    StoreBodies();
}

}  // namespace physics_detail
