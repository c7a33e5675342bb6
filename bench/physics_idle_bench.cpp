// CPU time of the physics thread while the world holds the screen walls (both
// sets, as start-up makes them) and three boxes resting on the floor, as a
// share of one core over a 10 s window. With --polling the same world is
// stepped by a loop that sleeps 16.7 microseconds between passes instead of
// sleeping until the next step is due, for comparison.
//
//   bench_physics_idle [--polling] [--seconds=10]
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "physics/physics.h"

namespace {

void Walls(int layer) {
    const float W = 1920, H = 1080, T = 256;
    const float rects[4][4] = {{W / 2, -T / 2, W + 2 * T, T},
                               {W / 2, H + T / 2, W + 2 * T, T},
                               {-T / 2, H / 2, T, H + 2 * T},
                               {W + T / 2, H / 2, T, H + 2 * T}};
    for (const auto& r : rects) {
        PhysicsBodyData* b = CreatePhysicsBodyRectangle({r[0], r[1]}, r[2], r[3], FLT_MAX);
        PhysicsLock lock;
        b->restitution = 1.0f;
        b->enabled = false;
        b->staticFriction = 0.0f;
        b->dynamicFriction = 1.0f;
        b->collisionLayer = layer;
    }
}

struct TaskTimes {
    double cpuSeconds = 0;       // utime + stime
    long voluntarySwitches = 0;  // wake-ups after sleeping, roughly
};

// CPU time and voluntary context switches of every thread but the main one.
TaskTimes OtherThreads() {
    TaskTimes total;
    const long ticks = sysconf(_SC_CLK_TCK);
    const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return total;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == self) continue;
        std::string base = std::string("/proc/self/task/") + entry->d_name;
        if (FILE* f = fopen((base + "/stat").c_str(), "r")) {
            char buf[1024];
            size_t n = fread(buf, 1, sizeof buf - 1, f);
            buf[n] = 0;
            fclose(f);
            // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
            const char* p = strrchr(buf, ')');
            unsigned long utime = 0, stime = 0;
            if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) == 2) {
                total.cpuSeconds += double(utime + stime) / double(ticks);
            }
        }
        if (FILE* f = fopen((base + "/status").c_str(), "r")) {
            char line[256];
            while (fgets(line, sizeof line, f)) {
                long v;
                if (sscanf(line, "voluntary_ctxt_switches: %ld", &v) == 1) total.voluntarySwitches += v;
            }
            fclose(f);
        }
    }
    closedir(dir);
    return total;
}

double ProcessCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

std::atomic<bool> pollingRun{true};

// The stepping loop as first designed: a pass, then 16,666 ns of sleep.
void PollingLoop() {
    while (pollingRun) {
        RunPhysicsStep();
        timespec ts = {0, 16666};
        nanosleep(&ts, nullptr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool polling = false;
    double seconds = 10;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--polling")) polling = true;
        if (!strncmp(argv[i], "--seconds=", 10)) seconds = atof(argv[i] + 10);
    }

    std::thread poller;
    if (polling) {
        srand(static_cast<unsigned>(time(nullptr)));
        RunPhysicsStep();  // sets the pass clock going from now
        poller = std::thread(PollingLoop);
    } else {
        InitPhysics();
    }
    Walls(INT_MAX);
    Walls(INT_MIN);
    for (int i = 0; i < 3; i++) CreatePhysicsBodyRectangle({500.0f + i * 300, 1080 - 16}, 32, 32, 1);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // let them settle

    const uint32_t steps0 = [] { PhysicsLock l; return PhysicsWorld::stepsCount; }();
    const TaskTimes t0 = OtherThreads();
    const double p0 = ProcessCpuSeconds();
    const auto w0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));  // the measuring window
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    const double p1 = ProcessCpuSeconds();
    const TaskTimes t1 = OtherThreads();
    const uint32_t steps1 = [] { PhysicsLock l; return PhysicsWorld::stepsCount; }();

    if (polling) {
        pollingRun = false;
        poller.join();
    }
    ClosePhysics();

    std::printf("mode: %s\n", polling ? "polling (16.7 us sleeps)" : "the physics thread (sleeps until the next step is due; six steps per wake-up while everything rests)");
    std::printf("window: %.2f s, steps: %u (%.1f per s)\n", wall, steps1 - steps0, (steps1 - steps0) / wall);
    std::printf("physics thread CPU: %.3f s = %.2f%% of one core (from /proc/self/task, 10 ms ticks)\n",
                t1.cpuSeconds - t0.cpuSeconds, (t1.cpuSeconds - t0.cpuSeconds) / wall * 100);
    std::printf("process CPU: %.4f s = %.3f%% of one core (CLOCK_PROCESS_CPUTIME_ID; the main thread sleeps)\n",
                p1 - p0, (p1 - p0) / wall * 100);
    std::printf("wake-ups: %.0f per s\n", (t1.voluntarySwitches - t0.voluntarySwitches) / wall);
    return 0;
}
