// One physics step of N boxes (32 x 32 pixels) that were dropped in a grid
// inside 1920 x 1080 screen walls and settled for 2 simulated seconds, against
// the same scene in Box2D 2.4 in the same run. Prints ours / Box2D per N, and
// beside it ours / Box2D v3 when the anchor script box2d-v3-bench.sh is found
// (VIMO_BOX2D_V3_BENCH names it; otherwise ../shared/anchors/ beside the
// source tree, or beside the main checkout of a git worktree): the script's
// table is taken before and after ours, and each ratio is against the mean of
// the two, so both engines are timed in the same minutes; wall time against
// wall time, as the script times its steps with a steady clock.
//
//   bench_physics_step [--benchmark_min_time=2]
//   VIMO_SIMD_TARGETS=avx2 bench_physics_step   (the lanes restricted to one SIMD target)
#include <benchmark/benchmark.h>
#include <box2d/box2d.h>

#include <cfloat>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "physics/physics.h"
#include "physics/physics_internal.h"

namespace {

constexpr float SCREEN_W = 1920, SCREEN_H = 1080, WALL = 256, BOX = 32;
constexpr int SETTLE_STEPS = 1200;  // 2 s of 1.6666666666666665 ms steps
constexpr int COLUMNS = 46;         // grid of 40 px pitch, 8 px apart: boxes stack in columns
constexpr float PITCH = 40;

Vector2 GridPosition(int i) { return {60 + (i % COLUMNS) * PITCH, 40 + (i / COLUMNS) * PITCH}; }

// ---- Ours ---------------------------------------------------------------------------

void OurWalls(int layer) {
    struct Rect {
        float x, y, w, h;
    };
    const Rect rects[4] = {{SCREEN_W / 2, -WALL / 2, SCREEN_W + 2 * WALL, WALL},
                           {SCREEN_W / 2, SCREEN_H + WALL / 2, SCREEN_W + 2 * WALL, WALL},
                           {-WALL / 2, SCREEN_H / 2, WALL, SCREEN_H + 2 * WALL},
                           {SCREEN_W + WALL / 2, SCREEN_H / 2, WALL, SCREEN_H + 2 * WALL}};
    for (const Rect& r : rects) {
        PhysicsBodyData* b = CreatePhysicsBodyRectangle({r.x, r.y}, r.w, r.h, FLT_MAX);
        b->restitution = 1.0f;
        b->enabled = false;
        b->staticFriction = 0.0f;
        b->dynamicFriction = 1.0f;
        b->collisionLayer = layer;
    }
}

int ourSceneN = -1;
std::map<int, uint32_t> ourSettledHash;  // N -> WorldHash() after settling

// FNV-1a over every body's state bits after settling: a speed-up that changes
// no result leaves it unchanged (compare it before and after).
uint32_t WorldHash() {
    uint32_t h = 2166136261u;
    auto mix = [&h](const void* data, size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; i++) h = (h ^ p[i]) * 16777619u;
    };
    for (int i = 0; i < GetPhysicsBodiesCount(); i++) {
        const PhysicsBodyData* b = GetPhysicsBody(i);
        mix(&b->position, sizeof b->position);
        mix(&b->velocity, sizeof b->velocity);
        mix(&b->rotation, sizeof b->rotation);
        mix(&b->angularVelocity, sizeof b->angularVelocity);
        mix(&b->collidedWith, sizeof b->collidedWith);
        mix(&b->collisionDelta, sizeof b->collisionDelta);
        mix(&b->collisionNormal, sizeof b->collisionNormal);
        mix(&b->isGrounded, sizeof b->isGrounded);
    }
    mix(&PhysicsWorld::physicsManifoldsCount, sizeof PhysicsWorld::physicsManifoldsCount);
    return h;
}

void BuildOurScene(int n) {
    if (ourSceneN == n) return;  // keep stepping the settled scene across repetitions
    ClosePhysics();
    OurWalls(INT_MAX);  // both sets, as start-up makes them
    OurWalls(INT_MIN);
    for (int i = 0; i < n; i++) {
        PhysicsBodyData* b = CreatePhysicsBodyRectangle(GridPosition(i), BOX, BOX, 1.0f);
        b->restitution = 0.5f;  // an element's default
    }
    for (int s = 0; s < SETTLE_STEPS; s++) PhysicsStep();
    ourSettledHash[n] = WorldHash();
    ourSceneN = n;
}

void BM_Ours(benchmark::State& state) {
    BuildOurScene(static_cast<int>(state.range(0)));
    for (auto _ : state) PhysicsStep();
    float maxSpeed = 0;
    for (int i = 0; i < GetPhysicsBodiesCount(); i++) {
        PhysicsBodyData* b = GetPhysicsBody(i);
        maxSpeed = std::max(maxSpeed, std::hypot(b->velocity.x, b->velocity.y));
    }
    state.counters["records"] = PhysicsWorld::physicsManifoldsCount;
    state.counters["max_px_per_ms"] = maxSpeed;
}

// ---- Box2D: the same scene, 1 m = 32 px, same gravity in those units ---------------
//
// Materials chosen so each kind of pair mixes to what ours uses. Ours mixes by
// geometric mean; Box2D mixes friction the same way and restitution by the
// larger of the two:
//  - box/box: ours restitution sqrt(0.5 x 0.5) = 0.5, static friction 0.4,
//    dynamic 0.2; Box2D has one friction coefficient (the limit at rest and in
//    motion), set to the static 0.4, and restitution 0.5.
//  - box/wall: ours restitution sqrt(0.5 x 1) = 0.707, static friction 0,
//    dynamic sqrt(0.2 x 1) = 0.447; Box2D walls get restitution 0.707 (the
//    larger wins) and friction 0.5 (sqrt(0.4 x 0.5) = 0.447).
//  - resting contacts do not bounce: ours below the speed one step of gravity
//    adds (0.01635 px/ms = 0.511 m/s), Box2D below its restitution threshold,
//    set to the same speed.

constexpr float PX_PER_M = 32;
constexpr float GRAVITY_PX_PER_S2 = 9.81f * 1000;  // ours: 9.81/1000 px/ms per ms
constexpr float BOX_FRICTION = 0.4f, BOX_RESTITUTION = 0.5f;
constexpr float WALL_FRICTION = 0.5f, WALL_RESTITUTION = 0.70710678f;
constexpr float RESTING_SPEED_M_PER_S = 9.81f * (1.6666666666666665f / 1000.0f) * 1000.0f / PX_PER_M;

std::unique_ptr<b2World> box2dWorld;
int box2dSceneN = -1;

void Box2DStatic(float cx, float cy, float w, float h) {
    b2BodyDef def;
    def.type = b2_staticBody;
    def.position.Set(cx / PX_PER_M, cy / PX_PER_M);
    b2Body* body = box2dWorld->CreateBody(&def);
    b2PolygonShape shape;
    shape.SetAsBox(w / 2 / PX_PER_M, h / 2 / PX_PER_M);
    b2FixtureDef fixture;
    fixture.shape = &shape;
    fixture.density = 0.0f;
    fixture.friction = WALL_FRICTION;
    fixture.restitution = WALL_RESTITUTION;
    fixture.restitutionThreshold = RESTING_SPEED_M_PER_S;
    body->CreateFixture(&fixture);
}

void BuildBox2DScene(int n) {
    if (box2dSceneN == n) return;
    box2dWorld = std::make_unique<b2World>(b2Vec2(0, GRAVITY_PX_PER_S2 / PX_PER_M));
    box2dWorld->SetAllowSleeping(false);
    Box2DStatic(SCREEN_W / 2, -WALL / 2, SCREEN_W + 2 * WALL, WALL);
    Box2DStatic(SCREEN_W / 2, SCREEN_H + WALL / 2, SCREEN_W + 2 * WALL, WALL);
    Box2DStatic(-WALL / 2, SCREEN_H / 2, WALL, SCREEN_H + 2 * WALL);
    Box2DStatic(SCREEN_W + WALL / 2, SCREEN_H / 2, WALL, SCREEN_H + 2 * WALL);
    b2PolygonShape box;
    box.SetAsBox(BOX / 2 / PX_PER_M, BOX / 2 / PX_PER_M);
    for (int i = 0; i < n; i++) {
        b2BodyDef def;
        def.type = b2_dynamicBody;
        Vector2 p = GridPosition(i);
        def.position.Set(p.x / PX_PER_M, p.y / PX_PER_M);
        b2Body* body = box2dWorld->CreateBody(&def);
        b2FixtureDef fixture;
        fixture.shape = &box;
        fixture.density = 1.0f;
        fixture.friction = BOX_FRICTION;
        fixture.restitution = BOX_RESTITUTION;
        fixture.restitutionThreshold = RESTING_SPEED_M_PER_S;
        body->CreateFixture(&fixture);
    }
    for (int s = 0; s < SETTLE_STEPS; s++) box2dWorld->Step(1.0f / 600.0f, 8, 3);
    box2dSceneN = n;
}

void BM_Box2D(benchmark::State& state) {
    BuildBox2DScene(static_cast<int>(state.range(0)));
    for (auto _ : state) box2dWorld->Step(1.0f / 600.0f, 8, 3);
    state.counters["contacts"] = box2dWorld->GetContactCount();
}

// Console output as usual, plus the per-run CPU times kept for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> cpuNs;   // run name -> CPU time per iteration, in the run's time unit
    std::map<std::string, double> realNs;  // run name -> wall time per iteration (Box2D v3's script times wall time)
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                cpuNs[run.benchmark_name()] = run.GetAdjustedCPUTime();
                realNs[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string HashText(int n) {
    auto it = ourSettledHash.find(n);
    if (it == ourSettledHash.end()) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%08x", it->second);
    return text;
}

// The Box2D v3 anchor script: VIMO_BOX2D_V3_BENCH, else ../shared/anchors/
// beside this source tree, else beside the main checkout when the tree is a
// git worktree (its .git file names the main checkout's .git/worktrees/...).
std::string FindBox2DV3Script() {
    if (const char* named = std::getenv("VIMO_BOX2D_V3_BENCH")) return named;
    const std::string source = VIMO_SOURCE_DIR, tail = "/../shared/anchors/box2d-v3-bench.sh";
    std::vector<std::string> candidates = {source + tail};
    std::ifstream gitFile(source + "/.git");
    std::string line;
    if (std::getline(gitFile, line) && line.rfind("gitdir: ", 0) == 0) {
        const std::string gitDir = line.substr(8);
        const size_t cut = gitDir.find("/.git/worktrees/");
        if (cut != std::string::npos) candidates.push_back(gitDir.substr(0, cut) + tail);
    }
    for (const std::string& path : candidates) {
        if (std::ifstream(path).good()) return path;
    }
    return "";
}

// Runs the anchor script once: N -> us per step (empty when it is missing or fails).
std::map<int, double> RunBox2DV3(const std::string& script) {
    std::map<int, double> us;
    if (script.empty()) return us;
    FILE* pipe = popen(("bash '" + script + "' 2>&1").c_str(), "r");
    if (!pipe) return us;
    char line[256];
    while (std::fgets(line, sizeof line, pipe)) {
        int n;
        double value;
        if (std::sscanf(line, "%d %lf", &n, &value) == 2) us[n] = value;
    }
    if (pclose(pipe) != 0) us.clear();
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    const int sizes[] = {10, 100, 500, 1000};
    for (int n : sizes) {
        benchmark::RegisterBenchmark("ours_step", BM_Ours)->Arg(n)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("box2d_step", BM_Box2D)->Arg(n)->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const std::string v3Script = FindBox2DV3Script();
    const std::map<int, double> v3Before = RunBox2DV3(v3Script);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const std::map<int, double> v3After = RunBox2DV3(v3Script);

    std::printf("\n%6s %14s %14s %12s %18s %14s %12s %20s %10s\n", "N", "ours us/step", "box2d us/step",
                "ours/box2d", "share of 1.667 ms", "settled hash", "ours wall us", "v3 us (before/after)", "ours/v3");
    for (int n : sizes) {
        auto ours = reporter.cpuNs.find("ours_step/" + std::to_string(n));
        auto box = reporter.cpuNs.find("box2d_step/" + std::to_string(n));
        if (ours == reporter.cpuNs.end()) continue;
        const double oursWall = reporter.realNs.at("ours_step/" + std::to_string(n));
        char box2d[32] = "-", ratio[32] = "-", v3[48] = "-", v3Ratio[32] = "-";
        if (box != reporter.cpuNs.end()) {
            std::snprintf(box2d, sizeof box2d, "%.2f", box->second);
            std::snprintf(ratio, sizeof ratio, "%.3f", ours->second / box->second);
        }
        if (v3Before.count(n) && v3After.count(n)) {
            std::snprintf(v3, sizeof v3, "%.2f / %.2f", v3Before.at(n), v3After.at(n));
            std::snprintf(v3Ratio, sizeof v3Ratio, "%.3f", oursWall / ((v3Before.at(n) + v3After.at(n)) / 2));
        }
        std::printf("%6d %14.2f %14s %12s %17.1f%% %14s %12.2f %20s %10s\n", n, ours->second, box2d, ratio,
                    ours->second / 1666.6666666666665 * 100.0, HashText(n).c_str(), oursWall, v3, v3Ratio);
    }
    if (v3Script.empty()) std::printf("Box2D v3: no anchor script found (set VIMO_BOX2D_V3_BENCH)\n");
    const int64_t ran = physics_detail::fastPathRuns.laneTargets;
    std::printf("lanes ran as: %s\n", ran ? physics_detail::SimdTargetName(ran & -ran).c_str() : "-");
    ClosePhysics();
    benchmark::Shutdown();
    return 0;
}
