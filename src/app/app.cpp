#include "app/app.h"

#include <unistd.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <vector>

#include <curl/curl.h>

#include "desktop/input.h"
#include "desktop/window.h"
#include "draw/draw.h"
#include "element/element.h"
#include "gfx/gfx_ext.h"
#include "net/net.h"
#include "physics/physics.h"

const char* WINDOW_NAME = "vimo.exe v1.0";
Vector2 RESOLUTION = {0, 0};
std::atomic<bool> cleaned_up{false};
volatile std::sig_atomic_t INTERRUPTED = 0;
bool SHAPED_WINDOW = false;

static_assert(std::atomic<bool>::is_always_lock_free, "cleaned_up is read from a signal handler");

int* createWalls(Rectangle area, float thickness, int layer) {
    const float x = area.x, y = area.y, w = area.width, h = area.height, T = thickness;
    const Vector2 centre[4] = {{x + w / 2, y - T / 2}, {x + w / 2, y + h + T / 2}, {x - T / 2, y + h / 2},
                               {x + w + T / 2, y + h / 2}};
    const Vector2 size[4] = {{w + 2 * T, T}, {w + 2 * T, T}, {T, h + 2 * T}, {T, h + 2 * T}};
    int* ids = new int[4];
    // One lock for all four, so no step sees a wall before it is static.
    PhysicsLock lock;
    for (int i = 0; i < 4; i++) {
        // The largest float as density makes the mass infinite: a static body.
        PhysicsBodyData* body = CreatePhysicsBodyRectangle(centre[i], size[i].x, size[i].y, FLT_MAX);
        if (body == nullptr) {
            ids[i] = -1;
            continue;
        }
        ids[i] = static_cast<int>(body->id);
        body->restitution = 1.0f;
        body->enabled = false;
        body->staticFriction = 0.0f;
        body->dynamicFriction = 1.0f;
        body->collisionLayer = layer;
    }
    return ids;
}

bool everyInterval(float time, float delta, float interval, float offset) {
    // Each sum left to right in single precision: the phase wraps in the
    // frame that crosses offset + k * interval.
    float a = fmodf(time + delta + interval - offset, interval);
    float b = fmodf(time + interval - offset, interval);
    return b > a;
}

void cleanup() {
    if (cleaned_up) return;
    ClosePhysics();  // the thread is joined before any body goes away
    CloseWindow();
    // Each onDestroy runs exactly once; the mascot's writes "config.json".
    while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
    ELEMENTS_TO_BE_REMOVED.clear();
    for (auto& entry : SPRITES) UnloadTexture(entry.second);
    for (auto& entry : FONTS) UnloadFont(entry.second);
    window_disconnect();
    if (ONLINE) {
        fetch_shutdown();  // the worker must be gone before libcurl is torn down
        curl_global_cleanup();
    }
    cleaned_up = true;
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
    // Tearing down GL, threads and libcurl here is unsafe: the handler only
    // reports and asks the frame loop to end; main runs cleanup once and
    // exits with status sig.
    static const char head[] = "Interrupt signal (";
    static const char tail[] = ") received.\n";
    char line[64];
    size_t len = 0;
    for (size_t i = 0; i + 1 < sizeof head; i++) line[len++] = head[i];
    len += format_int(line + len, sig);
    for (size_t i = 0; i + 1 < sizeof tail; i++) line[len++] = tail[i];
    ssize_t written = ::write(STDOUT_FILENO, line, len);
    (void)written;
    if (cleaned_up) _exit(sig);  // shutdown already done: nothing left to do but leave
    INTERRUPTED = sig;
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
    EndDrawing();  // also paces to 60 fps and collects the next frame's input
}

float frame_run_once(float time) {
    frame_remove_queued();
    float dt = GetFrameTime();
    overlay_update(time, dt);
    Vector2 mouse = input_poll();
    Element* hovered = frame_update(dt, time, mouse);
    input_update(hovered, mouse);
    frame_draw(dt);
    if (SHAPED_WINDOW) frame_update_shape();
    return dt;
}

// Screen-aligned box of a w x h rectangle centred on centre, turned by degrees.
static Rectangle turned_bounds(Vector2 centre, float w, float h, float degrees) {
    float a = degrees / 180.0f * 3.1415927f;
    float c = fabsf(cosf(a)), s = fabsf(sinf(a));
    float hw = (fabsf(w) * c + fabsf(h) * s) * 0.5f;
    float hh = (fabsf(w) * s + fabsf(h) * c) * 0.5f;
    return Rectangle{centre.x - hw, centre.y - hh, hw * 2, hh * 2};
}

std::vector<Rectangle> frame_shape_rects() {
    std::vector<Rectangle> rects;
    for (Element* e : ELEMENTS) {
        float theta = e->rotation / 180.0f * 3.1415927f;
        float c = cosf(theta), s = sinf(theta);
        for (const Drawable& d : e->drawables) {
            if (d.type < DRAWABLE_IMAGE || d.type > DRAWABLE_COLOR) continue;
            Vector2 size = getDrawableSize(e, d);
            Vector2 offset = d.offset;
            if (d.type == DRAWABLE_NINE_SLICE) {
                // Unequal borders move the panel's middle off the offset.
                float L = static_cast<float>(fetchTexture(d.source + ".ml.png").width);
                float R = static_cast<float>(fetchTexture(d.source + ".mr.png").width);
                float T = static_cast<float>(fetchTexture(d.source + ".tc.png").height);
                float B = static_cast<float>(fetchTexture(d.source + ".bc.png").height);
                offset.x += (R - L) * 0.5f;
                offset.y += (B - T) * 0.5f;
            }
            float r = d.rotation;
            if (e->flipped) {
                offset.x = -offset.x;
                r = -r;
            }
            Vector2 centre{e->position.x + (offset.x * c - offset.y * s), e->position.y + (offset.x * s + offset.y * c)};
            Rectangle box = turned_bounds(centre, size.x, size.y, e->rotation + r);
            if (box.width <= 0 || box.height <= 0) continue;
            // One pixel more on every side for the filtering at the edges.
            rects.push_back(Rectangle{box.x - 1, box.y - 1, box.width + 2, box.height + 2});
        }
    }
    return rects;
}

void frame_update_shape() {
    // Only a changed shape costs an X request.
    static std::vector<Rectangle> last;
    static bool set = false;
    std::vector<Rectangle> rects = frame_shape_rects();
    bool same = set && rects.size() == last.size();
    for (size_t i = 0; same && i < rects.size(); i++) {
        same = rects[i].x == last[i].x && rects[i].y == last[i].y && rects[i].width == last[i].width &&
               rects[i].height == last[i].height;
    }
    if (same) return;
    gfx_set_window_shape(rects.data(), static_cast<int>(rects.size()));
    last = std::move(rects);
    set = true;
}

void app_check_compositor() {
    SHAPED_WINDOW = !gfx_compositor_running();
    if (SHAPED_WINDOW) {
        std::printf("No compositing manager: transparency is unavailable, the window is cut to its elements\n");
        std::fflush(stdout);
    }
}

bool app_should_stop() {
    return INTERRUPTED != 0 || WindowShouldClose();
}

int app_run() {
    float time = 0;  // seconds of all earlier frames
    while (!app_should_stop()) time += frame_run_once(time);
    if (!cleaned_up) cleanup();
    return INTERRUPTED != 0 ? static_cast<int>(INTERRUPTED) : 0;
}
