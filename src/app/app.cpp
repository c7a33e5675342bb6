#include "app/app.h"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "app/tray.h"
#include "desktop/input.h"
#include "desktop/shape.h"
#include "desktop/window.h"
#include "draw/draw.h"
#include "element/element.h"
#include "net/net.h"
#include "online/chat.h"
#include "online/online.h"
#include "online/wake.h"
#include "physics/physics.h"

std::atomic<bool> cleaned_up{false};
std::atomic<int> INTERRUPTED{0};

static_assert(std::atomic<bool>::is_always_lock_free, "cleaned_up is read from a signal handler");
static_assert(std::atomic<int>::is_always_lock_free, "INTERRUPTED is written from a signal handler");

// The shutdown sequence; with_display false leaves out every step that needs
// the X server (closing the window, unloading textures and fonts, forgetting
// the host window), for when the connection to it has broken.
static void shutdown_sequence(bool with_display) {
    tray_stop();  // no icon left behind in the notification area
    ClosePhysics();  // the thread is joined before any body goes away
    if (with_display) CloseWindow();
    // Each onDestroy runs exactly once; the mascot's writes "config.json".
    while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
    ELEMENTS_TO_BE_REMOVED.clear();
    if (with_display) {
        for (auto& entry : SPRITES) UnloadTexture(entry.second);
        for (auto& entry : FONTS) UnloadFont(entry.second);
        window_disconnect();
    }
    wake_stop();  // its held GET is cancelled at once; its thread is gone before the transport is
    net_stop();  // the worker is gone before the transport is torn down
    cleaned_up = true;
}

void cleanup() {
    if (cleaned_up) return;
    shutdown_sequence(true);
}

void app_display_lost() {
    net_log("The display is gone: saving the configuration and ending.");
    if (!cleaned_up) shutdown_sequence(false);
    std::cout << std::flush;
    std::fflush(stdout);
    // At once: static destructors and exit handlers of the graphics libraries
    // would talk to the dead server again.
    platform_exit_now(APP_DISPLAY_LOST_STATUS);
}

// Async-signal-safe decimal formatting for the handler's line.
static size_t format_int(char* out, int value) {
    char digits[12];
    size_t n = 0;
    unsigned int v = value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    size_t len = 0;
    if (value < 0) out[len++] = '-';
    while (n > 0) out[len++] = digits[--n];
    return len;
}

void handleSignal(int sig) {
    // Tearing down GL, threads and the network here is unsafe: the handler only
    // reports and asks the frame loop to end; main runs cleanup once and
    // exits with status sig.
    static const char head[] = "Interrupt signal (";
    static const char tail[] = ") received.\n";
    char line[64];
    size_t len = 0;
    for (size_t i = 0; i + 1 < sizeof head; i++) line[len++] = head[i];
    len += format_int(line + len, sig);
    for (size_t i = 0; i + 1 < sizeof tail; i++) line[len++] = tail[i];
    platform_write_stdout(line, len);
    if (cleaned_up) platform_exit_now(sig);  // shutdown already done: nothing left to do but leave
    // Seconds on the monotonic clock (clock_gettime, QueryPerformanceCounter:
    // both safe here).
    const int64_t now = platform_clock_counter() / platform_clock_frequency();
    // INT64_MAX until the first request has set it: a second request that
    // arrives in between never counts as late.
    static std::atomic<int64_t> first_second{INT64_MAX};
    static_assert(std::atomic<int64_t>::is_always_lock_free, "first_second is used in a signal handler");
    int expected = 0;
    // One step, so two requests at once on Windows (threads) cannot both be first.
    if (!INTERRUPTED.compare_exchange_strong(expected, sig)) {
        // Another signal while the first one's shutdown runs. Within the second
        // the shutdown is given it is ignored (a session manager sends SIGTERM
        // and SIGHUP together, a key may bounce); after that the user insists.
        if (now - first_second.load() >= 2) {
            static const char forced[] = "Shutdown is taking too long: leaving without finishing it.\n";
            platform_write_stdout(forced, sizeof forced - 1);
            platform_exit_now(sig);
        }
        return;
    }
    first_second = now;
}

void frame_remove_queued() {
    // Elements queued by an onDestroy during this pass wait for the next frame.
    std::vector<Element*> queue;
    queue.swap(ELEMENTS_TO_BE_REMOVED);
    for (Element* e : queue) _removeElement(e);
}

void frame_deliver_collision(Element* e) {
    if (e->physicsId == -1) return;
    PhysicsBodyData* body = GetPhysicsBodyByID(e->physicsId);
    if (body == nullptr) return;
    // Taken and reset under the physics lock, so no impulse of a running step
    // is lost between reading and clearing; the callback runs without the lock.
    PhysicsCollision collision;
    if (!PhysicsTakeCollision(body, &collision)) return;
    if (e->onCollide) {
        e->onCollide(e, e->physicsId, collision.collidedWith, collision.collisionNormal, collision.collisionDelta);
    }
}

static bool is_queued(Element* e) {
    for (Element* queued : ELEMENTS_TO_BE_REMOVED) {
        if (queued == e) return true;
    }
    return false;
}

Element* frame_update(float dt, float time, Vector2 mouse) {
    Element* hovered = nullptr;
    // A copy: callbacks may create elements, which newElement inserts anywhere
    // in ELEMENTS; those are first updated in the next frame. Nothing is
    // destroyed during the pass (removal is deferred), so the copy stays valid.
    std::vector<Element*> pass = ELEMENTS;
    for (Element* e : pass) {
        updateElement(e, dt);
        if (e->onUpdate) e->onUpdate(e, dt, time);
        frame_deliver_collision(e);
        // A queued element is no longer hovered, also when it was queued by
        // its own onUpdate a moment ago.
        if (!e->clickThrough && !is_queued(e) && input_check(e, mouse)) hovered = e;
    }
    return hovered;
}

void frame_draw_elements(float dt) {
    std::vector<Element*> pass = ELEMENTS;
    for (Element* e : pass) {
        drawElement(e);
        if (e->onDraw) e->onDraw(e, dt);
    }
}

void frame_draw(float dt) {
    BeginDrawing();
    ClearBackground(Color{0, 0, 0, 0});  // fully transparent where nothing is drawn
    frame_draw_elements(dt);
    shape_update(GetTime());  // before the frame is shown, so the cut matches it
    EndDrawing();  // also paces to 60 fps and collects the next frame's input
}

float frame_run_once(float time) {
    frame_remove_queued();
    float dt = GetFrameTime();
    overlay_update(time, dt);
    Vector2 mouse = input_poll();
    // Before the elements' update, so that a box or notice made by a job is
    // part of this frame and the mascot sees this frame's live state.
    online_tick(dt, time);
    Element* hovered = frame_update(dt, time, mouse);
    input_update(hovered, mouse);
    frame_draw(dt);
    return dt;
}

bool app_should_stop() {
    return INTERRUPTED != 0 || WindowShouldClose();
}

// With VIMO_FRAME_REPORT set in the environment the loop prints one line a
// second: the frames of that second, the longest of them (wall clock from one
// frame's start to the next, the pacing wait included) and the chat boxes on
// the desktop, "frames: 60 in 1.00 s, longest 17.9 ms, chat boxes 12". For
// measuring the running program from outside (the end-to-end tests);
// without it nothing is timed or printed.
namespace {
struct FrameReport {
    using clock = std::chrono::steady_clock;
    bool on = std::getenv("VIMO_FRAME_REPORT") != nullptr;
    clock::time_point since = clock::now(), last = since;
    int frames = 0;
    double longest_ms = 0;

    void frame_ended() {
        if (!on) return;
        clock::time_point now = clock::now();
        longest_ms = std::max(longest_ms, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
        frames++;
        double seconds = std::chrono::duration<double>(now - since).count();
        if (seconds < 1.0) return;
        char line[160];
        std::snprintf(line, sizeof line, "frames: %d in %.2f s, longest %.1f ms, chat boxes %zu", frames, seconds,
                      longest_ms, chat_box_count());
        net_log(line);
        since = now;
        frames = 0;
        longest_ms = 0;
    }
};
}  // namespace

int app_run() {
    FrameReport report;
    float time = 0;  // seconds of all earlier frames
    while (!app_should_stop()) {
        time += frame_run_once(time);
        tray_update(time);
        report.frame_ended();
    }
    if (!cleaned_up) cleanup();
    return INTERRUPTED.load();
}
