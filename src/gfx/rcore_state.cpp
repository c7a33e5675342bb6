// The system-independent half of rcore: the input frame, the frame clock,
// the HiDPI scale and the window's logical size. The window backends
// (rcore.cpp on GLFW, rcore_win32.cpp on Win32) feed it from their events
// through gfx_internal.h, so both keep exactly one rule for each. Main thread
// only.
#include <cmath>
#include <cstring>
#include <vector>

#include "gfx/gfx_ext.h"
#include "gfx/gfx_internal.h"
#include "gfx/raylib.h"

namespace {

constexpr int kButtons = 3;       // left, right, middle
constexpr int kCharQueue = 16;    // typed code points kept per frame
constexpr int kKeys = 512;        // GLFW key codes are below GLFW_KEY_LAST (348)
constexpr int kFpsSamples = 30;   // frames averaged by GetFPS

struct InputState {
    bool down[kButtons];          // button is down now
    bool pressed[kButtons];       // went down during the current input frame (latched)
    bool released[kButtons];      // went up during the current input frame (latched)
    bool keyPressed[kKeys];       // key went down during the current input frame
    int chars[kCharQueue];        // typed code points, oldest first
    int charCount;                // used entries of chars
    int charRead;                 // next entry GetCharPressed returns
    Vector2 mouse;                // last pointer position in logical window pixels
};

InputState INPUT = {};

int SCALE = 1;                    // physical pixels per logical pixel (gfx_set_scale), 1..3
int SCREEN_W = 0, SCREEN_H = 0;   // window size in logical pixels, 0 without a window
int FRAME_W = 0, FRAME_H = 0;     // framebuffer size in physical pixels, 0 without a window
double TARGET_FRAME = 0.0;        // seconds per frame wanted, 0 = unpaced
double FRAME_START = 0.0;         // backend clock when the current frame began
float FRAME_TIME = 0.0f;          // seconds of the previous whole frame
float FPS_SAMPLES[kFpsSamples];   // recent frame times
int FPS_INDEX = 0;                // next slot in FPS_SAMPLES
int FPS_FILLED = 0;               // slots written so far
int LAST_FRAME_CALLS = 0;         // draw calls of the last finished frame

}  // namespace

// ---- Fed by the backends (gfx_internal.h) --------------------------------------------

void gfx_input_button(int button, bool down) {
    if (button < 0 || button >= kButtons) return;
    if (down) {
        if (!INPUT.down[button]) INPUT.pressed[button] = true;
    } else {
        if (INPUT.down[button]) INPUT.released[button] = true;
    }
    INPUT.down[button] = down;
}

void gfx_input_key(int key) {
    if (key >= 0 && key < kKeys) INPUT.keyPressed[key] = true;
}

void gfx_input_char(int codepoint) {
    if (INPUT.charCount < kCharQueue) INPUT.chars[INPUT.charCount++] = codepoint;
}

void gfx_input_cursor(double x, double y) {
    INPUT.mouse = Vector2{(float)x / (float)SCALE, (float)y / (float)SCALE};
}

void gfx_set_framebuffer_size(int width, int height) {
    FRAME_W = width;
    FRAME_H = height;
    // A physical column or row left over by an odd size stays outside the world.
    SCREEN_W = FRAME_W / SCALE;
    SCREEN_H = FRAME_H / SCALE;
}

void gfx_clock_reset(double now) {
    FRAME_START = now;
    FRAME_TIME = 0.0f;
    FPS_INDEX = FPS_FILLED = 0;
}

double gfx_clock_wait(double now) {
    if (TARGET_FRAME > 0 && now - FRAME_START < TARGET_FRAME) return TARGET_FRAME - (now - FRAME_START);
    return 0.0;
}

void gfx_clock_frame_end(double now) {
    LAST_FRAME_CALLS = gfx_batch_frame_calls();
    // The frame time counts work plus wait.
    FRAME_TIME = (float)(now - FRAME_START);
    FRAME_START = now;
    FPS_SAMPLES[FPS_INDEX] = FRAME_TIME;
    FPS_INDEX = (FPS_INDEX + 1) % kFpsSamples;
    if (FPS_FILLED < kFpsSamples) FPS_FILLED++;
}

std::vector<int> gfx_whole_pixels(const Rectangle* rects, int count) {
    std::vector<int> xywh;
    xywh.reserve(4 * (size_t)(count > 0 ? count : 0));
    const float s = (float)SCALE;
    for (int i = 0; i < count; i++) {
        float x0 = std::floor(rects[i].x * s), y0 = std::floor(rects[i].y * s);
        float x1 = std::ceil((rects[i].x + rects[i].width) * s), y1 = std::ceil((rects[i].y + rects[i].height) * s);
        xywh.insert(xywh.end(), {(int)x0, (int)y0, (int)(x1 - x0), (int)(y1 - y0)});
    }
    return xywh;
}

void gfx_logical_rects(const int* xywh, int count, Rectangle* out, int max) {
    const float s = (float)SCALE;
    for (int i = 0; i < count && i < max; i++)
        out[i] = Rectangle{(float)xywh[4 * i] / s, (float)xywh[4 * i + 1] / s, (float)xywh[4 * i + 2] / s,
                           (float)xywh[4 * i + 3] / s};
}

// ---- Window size and frame (raylib.h) -------------------------------------------------

int GetScreenWidth(void) {
    return SCREEN_W;
}

int GetScreenHeight(void) {
    return SCREEN_H;
}

void SetTargetFPS(int fps) {
    TARGET_FRAME = fps > 0 ? 1.0 / (double)fps : 0.0;
}

float GetFrameTime(void) {
    return FRAME_TIME;
}

int GetFPS(void) {
    if (FPS_FILLED == 0) return 0;
    float sum = 0;
    for (int i = 0; i < FPS_FILLED; i++) sum += FPS_SAMPLES[i];
    float average = sum / (float)FPS_FILLED;
    return average > 0 ? (int)std::lround(1.0f / average) : 0;
}

void BeginDrawing(void) {
    if (!GFX_WINDOW) return;
    gfx_batch_begin_frame(SCREEN_W, SCREEN_H, SCALE, FRAME_H);
}

// ---- Input (raylib.h) ------------------------------------------------------------------

bool IsMouseButtonPressed(int button) {
    return button >= 0 && button < kButtons && INPUT.pressed[button];
}

bool IsMouseButtonDown(int button) {
    return button >= 0 && button < kButtons && INPUT.down[button];
}

bool IsMouseButtonReleased(int button) {
    return button >= 0 && button < kButtons && INPUT.released[button];
}

bool IsMouseButtonUp(int button) {
    return !IsMouseButtonDown(button);
}

Vector2 GetMousePosition(void) {
    return INPUT.mouse;
}

bool IsKeyPressed(int key) {
    return key >= 0 && key < kKeys && INPUT.keyPressed[key];
}

int GetCharPressed(void) {
    if (INPUT.charRead >= INPUT.charCount) return 0;
    return INPUT.chars[INPUT.charRead++];
}

// ---- Extras (gfx_ext.h) -----------------------------------------------------------------

void gfx_set_scale(int scale) {
    if (GFX_WINDOW) return;
    SCALE = scale < 1 ? 1 : scale > 3 ? 3 : scale;
}

int gfx_scale(void) {
    return SCALE;
}

void gfx_framebuffer_size(int* width, int* height) {
    *width = FRAME_W;
    *height = FRAME_H;
}

void gfx_inject_mouse_button(int button, bool down) {
    gfx_input_button(button, down);
}

void gfx_inject_key_pressed(int key) {
    gfx_input_key(key);
}

void gfx_inject_char(int codepoint) {
    gfx_input_char(codepoint);
}

void gfx_inject_mouse_position(Vector2 position) {
    INPUT.mouse = position;
}

void gfx_next_input_frame(void) {
    for (int b = 0; b < kButtons; b++) INPUT.pressed[b] = INPUT.released[b] = false;
    std::memset(INPUT.keyPressed, 0, sizeof INPUT.keyPressed);
    INPUT.charCount = 0;
    INPUT.charRead = 0;
}

void gfx_reset_input(void) {
    Vector2 mouse = INPUT.mouse;
    INPUT = InputState{};
    INPUT.mouse = mouse;
}

int gfx_draw_calls_last_frame(void) {
    return LAST_FRAME_CALLS;
}
