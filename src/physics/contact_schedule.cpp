// The schedule of one step's impulse passes on the fast solver: every unit's
// five runs (one per pass) given levels, so that the runs of a level share no
// moving body and go side by side into lanes, while every body still sees its
// runs in pass and table order. contact_solver.cpp builds the units and runs
// the levels in the order made here; the units' lane values are filled here too
// (MakeUnitLane, lane_records.h); impulse_lanes.cpp holds the lanes.
//
// Runs on the stepping thread with PhysicsMutex() held.
#include <algorithm>

#include "physics/lane_records.h"

namespace physics_detail {

// Each run gets a level one above the last earlier run (earlier pass, or
// earlier unit of the same pass) that shares a moving body with it, and runs
// go level by level: runs of one level touch disjoint moving bodies, and every
// body still sees its runs in pass and table order, so each body's sequence of
// operations, and the result, is that of the plain passes. Later passes start
// on parts of the heap the earlier ones are done with, so levels hold enough
// runs to fill the lanes.
uint32_t ScheduleLevels(const std::vector<SolverContact>& units, const std::vector<uint8_t>& readOnly,
                        const SolverBody* sb, LevelSchedule* s) {
    const uint32_t n = static_cast<uint32_t>(readOnly.size()), unitCount = static_cast<uint32_t>(units.size());
    const uint32_t readSink = n, writeSink = n + 1;  // a read-only body's level reads 0, its writes go aside
    s->bodySlot.resize(2 * unitCount);
    s->unitLanes.resize(unitCount + 1);
    for (uint32_t r = 0; r < unitCount; r++) {
        const SolverContact& c = units[r];
        s->bodySlot[2 * r] = readOnly[c.a] ? readSink : c.a;
        s->bodySlot[2 * r + 1] = readOnly[c.b] ? readSink : c.b;
        MakeUnitLane(c, sb, &s->unitLanes[r]);
    }
    s->unitLanes[unitCount] = EmptyUnitLane(n);
    s->lastLevel.assign(n + 2, 0);
    s->runLevel.resize(static_cast<size_t>(PHYSICS_IMPULSE_PASSES) * unitCount);
    s->levelLaned.assign(1, 0);
    s->levelZero.assign(1, 0);
    uint32_t levels = 0;
    uint32_t* last = s->lastLevel.data();
    uint32_t* level = s->runLevel.data();
    // Units come sorted by their first body, so that body's level is kept
    // in a register while it lasts (a store and reload per run would
    // chain every run to the one before).
    for (uint32_t pass = 0; pass < PHYSICS_IMPULSE_PASSES; pass++) {
        uint32_t heldSlot = readSink, held = 0;
        for (uint32_t r = 0; r < unitCount; r++) {
            const uint32_t sa = s->bodySlot[2 * r], sB = s->bodySlot[2 * r + 1];
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
                s->levelLaned.push_back(0);
                s->levelZero.push_back(0);
            }
            (units[r].zeroMass ? s->levelZero : s->levelLaned)[l]++;
        }
        if (heldSlot != readSink) last[heldSlot] = held;
    }
    // Regions: laned units padded to a multiple of MAX_LANES, then zero-mass ones.
    s->levelStart.resize(levels + 2);
    s->levelCursor.resize(2 * (levels + 2));
    uint32_t size = 0;
    for (uint32_t l = 1; l <= levels; l++) {
        s->levelStart[l] = size;
        s->levelCursor[2 * l] = size;
        size += (s->levelLaned[l] + MAX_LANES - 1) / MAX_LANES * MAX_LANES;
        s->levelCursor[2 * l + 1] = size;
        size += s->levelZero[l];
    }
    s->levelStart[levels + 1] = size;
    s->levelOrder.assign(size, static_cast<int32_t>(unitCount));  // padding: the empty unit
    level = s->runLevel.data();
    for (uint32_t pass = 0; pass < PHYSICS_IMPULSE_PASSES; pass++) {
        for (uint32_t r = 0; r < unitCount; r++) {
            s->levelOrder[s->levelCursor[2 * *level++ + units[r].zeroMass]++] = static_cast<int32_t>(r);
        }
    }
    return levels;
}

}  // namespace physics_detail
