// Window, frame pacing, input state and screen read-back (raylib's rcore),
// on GLFW 3.3. Main thread only.
#include <GLFW/glfw3.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "gfx/gfx_ext.h"
#include "gfx/gfx_internal.h"
#include "gfx/raylib.h"
#include "gfx/x11_bridge.h"

GLFWwindow* GFX_WINDOW = nullptr;

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

unsigned int CONFIG_FLAGS = 0;    // SetConfigFlags, applied by InitWindow
unsigned int STATE_FLAGS = 0;     // flags currently in force
// Rectangles in the window's input region as last set; -1 = the whole window
// (X's None). FLAG_WINDOW_MOUSE_PASSTHROUGH is in STATE_FLAGS exactly while
// this is not -1: the window lets the pointer through somewhere.
int INPUT_RECTS = -1;
int SCALE = 1;                    // physical pixels per logical pixel (gfx_set_scale), 1..3
int SCREEN_W = 0, SCREEN_H = 0;   // window size in logical pixels, 0 without a window
int FRAME_W = 0, FRAME_H = 0;     // framebuffer size in physical pixels, 0 without a window
bool CLOSE_KEY_SEEN = false;      // Escape went down while the window had the keyboard
double TARGET_FRAME = 0.0;        // seconds per frame wanted, 0 = unpaced
double FRAME_START = 0.0;         // glfwGetTime() when the current frame began
float FRAME_TIME = 0.0f;          // seconds of the previous whole frame
float FPS_SAMPLES[kFpsSamples];   // recent frame times
int FPS_INDEX = 0;                // next slot in FPS_SAMPLES
int FPS_FILLED = 0;               // slots written so far
int LAST_FRAME_CALLS = 0;         // draw calls of the last finished frame
bool FOCUSABLE = false;           // the window may take the keyboard (gfx_set_window_focusable)

void press_button(int button, bool down) {
    if (button < 0 || button >= kButtons) return;
    if (down) {
        if (!INPUT.down[button]) INPUT.pressed[button] = true;
    } else {
        if (INPUT.down[button]) INPUT.released[button] = true;
    }
    INPUT.down[button] = down;
}

void push_char(int codepoint) {
    if (INPUT.charCount < kCharQueue) INPUT.chars[INPUT.charCount++] = codepoint;
}

void on_mouse_button(GLFWwindow*, int button, int action, int) {
    press_button(button, action == GLFW_PRESS);
}

void on_cursor(GLFWwindow*, double x, double y) {
    INPUT.mouse = Vector2{(float)x / (float)SCALE, (float)y / (float)SCALE};
}

void on_key(GLFWwindow*, int key, int, int action, int) {
    if (action != GLFW_PRESS || key < 0 || key >= kKeys) return;  // repeats do not count
    INPUT.keyPressed[key] = true;
    // Key events reach only the focused window, so this is "Escape while it had the keyboard".
    if (key == KEY_ESCAPE) CLOSE_KEY_SEEN = true;
}

void on_char(GLFWwindow*, unsigned int codepoint) {
    push_char((int)codepoint);
}

void on_error(int code, const char* text) {
    std::printf("GLFW: error %d: %s\n", code, text);
    std::fflush(stdout);
}

void sleep_seconds(double s) {
    if (s <= 0) return;
    timespec ts;
    ts.tv_sec = (time_t)s;
    ts.tv_nsec = (long)((s - (double)ts.tv_sec) * 1e9);
    while (nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace

// ---- Window and frame ----------------------------------------------------------

void SetConfigFlags(unsigned int flags) {
    CONFIG_FLAGS = flags;
}

void InitWindow(int width, int height, const char* title) {
    if (GFX_WINDOW) return;
    glfwSetErrorCallback(on_error);
    if (!glfwInit()) {
        std::printf("GLFW: could not initialise (no display?)\n");
        std::fflush(stdout);
        return;
    }
    // 0 x 0 asks for the whole X screen: the overlay spans every monitor (the
    // dead areas between monitors of different sizes are left to its user).
    int screenW = 0, screenH = 0;
    gfx_x11_screen_size(&screenW, &screenH);
    if (width <= 0) width = screenW;
    if (height <= 0) height = screenH;
    if (width <= 0) width = 800;
    if (height <= 0) height = 450;

    glfwDefaultWindowHints();
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 2);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 1);
    glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    // An overlay as large as the screen or a monitor shows no title bar whether or not it asked.
    GLFWmonitor* monitor = glfwGetPrimaryMonitor();
    const GLFWvidmode* mode = monitor ? glfwGetVideoMode(monitor) : nullptr;
    const bool monitorSized = (mode && width == mode->width && height == mode->height) ||
                              (width == screenW && height == screenH);
    const bool undecorated = (CONFIG_FLAGS & FLAG_WINDOW_UNDECORATED) || monitorSized;
    glfwWindowHint(GLFW_DECORATED, undecorated ? GLFW_FALSE : GLFW_TRUE);
    glfwWindowHint(GLFW_TRANSPARENT_FRAMEBUFFER, (CONFIG_FLAGS & FLAG_WINDOW_TRANSPARENT) ? GLFW_TRUE : GLFW_FALSE);
    glfwWindowHint(GLFW_FLOATING, (CONFIG_FLAGS & FLAG_WINDOW_TOPMOST) ? GLFW_TRUE : GLFW_FALSE);
    glfwWindowHint(GLFW_ALPHA_BITS, 8);
    // Showing must not take the keyboard from the user's window.
    glfwWindowHint(GLFW_FOCUS_ON_SHOW, GLFW_FALSE);

    GFX_WINDOW = glfwCreateWindow(width, height, title ? title : "", nullptr, nullptr);
    if (!GFX_WINDOW) {
        std::printf("GLFW: could not open the window\n");
        std::fflush(stdout);
        glfwTerminate();
        return;
    }
    glfwSetWindowPos(GFX_WINDOW, 0, 0);
    glfwMakeContextCurrent(GFX_WINDOW);
    glfwSwapInterval(0);  // pacing is ours (SetTargetFPS), not the display's
    glfwSetMouseButtonCallback(GFX_WINDOW, on_mouse_button);
    glfwSetCursorPosCallback(GFX_WINDOW, on_cursor);
    glfwSetKeyCallback(GFX_WINDOW, on_key);
    glfwSetCharCallback(GFX_WINDOW, on_char);

    STATE_FLAGS = CONFIG_FLAGS;
    // The input shape is set before mapping so the overlay never swallows a click.
    INPUT_RECTS = -1;
    if (CONFIG_FLAGS & FLAG_WINDOW_MOUSE_PASSTHROUGH) {
        gfx_x11_set_input_region(GFX_WINDOW, nullptr, 0);
        INPUT_RECTS = 0;
    }
    // Likewise the window type, workspaces, taskbar and focus: managers read them at map time.
    FOCUSABLE = false;
    gfx_x11_set_desktop_citizen(GFX_WINDOW, (CONFIG_FLAGS & FLAG_WINDOW_TOPMOST) != 0);
    gfx_x11_set_focusable(GFX_WINDOW, false);
    STATE_FLAGS &= ~FLAG_WINDOW_HIDDEN;
    glfwShowWindow(GFX_WINDOW);

    glfwGetFramebufferSize(GFX_WINDOW, &FRAME_W, &FRAME_H);
    if (FRAME_W <= 0 || FRAME_H <= 0) {
        FRAME_W = width;
        FRAME_H = height;
    }
    // A physical column or row left over by an odd size stays outside the world.
    SCREEN_W = FRAME_W / SCALE;
    SCREEN_H = FRAME_H / SCALE;
    gfx_batch_init();
    CLOSE_KEY_SEEN = false;
    gfx_reset_input();
    double x = 0, y = 0;
    glfwGetCursorPos(GFX_WINDOW, &x, &y);
    on_cursor(GFX_WINDOW, x, y);
    glfwSetTime(0.0);
    FRAME_START = 0.0;
    FRAME_TIME = 0.0f;
    FPS_INDEX = FPS_FILLED = 0;
}

void CloseWindow(void) {
    if (!GFX_WINDOW) return;
    gfx_batch_shutdown();
    glfwDestroyWindow(GFX_WINDOW);
    GFX_WINDOW = nullptr;
    glfwTerminate();
    SCREEN_W = SCREEN_H = 0;
    FRAME_W = FRAME_H = 0;
    STATE_FLAGS = 0;
    INPUT_RECTS = -1;
}

void gfx_on_display_lost(void (*handler)(void)) {
    gfx_x11_on_connection_broken(handler);
}

bool IsWindowReady(void) {
    return GFX_WINDOW != nullptr;
}

bool WindowShouldClose(void) {
    if (!GFX_WINDOW) return true;
    return glfwWindowShouldClose(GFX_WINDOW) || CLOSE_KEY_SEEN;
}

void SetWindowState(unsigned int flags) {
    if (!GFX_WINDOW) return;
    // Passthrough everywhere: an empty input region, also in place of one
    // that gfx_set_input_region left.
    if ((flags & FLAG_WINDOW_MOUSE_PASSTHROUGH) && INPUT_RECTS != 0) {
        gfx_x11_set_input_region(GFX_WINDOW, nullptr, 0);
        INPUT_RECTS = 0;
        STATE_FLAGS |= FLAG_WINDOW_MOUSE_PASSTHROUGH;
    }
    if ((flags & FLAG_WINDOW_TOPMOST) && !(STATE_FLAGS & FLAG_WINDOW_TOPMOST)) {
        glfwSetWindowAttrib(GFX_WINDOW, GLFW_FLOATING, GLFW_TRUE);
        STATE_FLAGS |= FLAG_WINDOW_TOPMOST;
    }
    if (flags & FLAG_WINDOW_ALWAYS_RUN) STATE_FLAGS |= FLAG_WINDOW_ALWAYS_RUN;
    if ((flags & FLAG_WINDOW_HIDDEN) && !(STATE_FLAGS & FLAG_WINDOW_HIDDEN)) {
        // Unmapped, not iconified: works without a window manager, and no
        // taskbar could offer it back. Frames go on drawing into it.
        glfwHideWindow(GFX_WINDOW);
        STATE_FLAGS |= FLAG_WINDOW_HIDDEN;
    }
}

void ClearWindowState(unsigned int flags) {
    if (!GFX_WINDOW) return;
    if ((flags & FLAG_WINDOW_MOUSE_PASSTHROUGH) && INPUT_RECTS != -1) {
        gfx_x11_set_input_region(GFX_WINDOW, nullptr, -1);
        INPUT_RECTS = -1;
        STATE_FLAGS &= ~FLAG_WINDOW_MOUSE_PASSTHROUGH;
    }
    if ((flags & FLAG_WINDOW_TOPMOST) && (STATE_FLAGS & FLAG_WINDOW_TOPMOST)) {
        glfwSetWindowAttrib(GFX_WINDOW, GLFW_FLOATING, GLFW_FALSE);
        STATE_FLAGS &= ~FLAG_WINDOW_TOPMOST;
    }
    if (flags & FLAG_WINDOW_ALWAYS_RUN) STATE_FLAGS &= ~FLAG_WINDOW_ALWAYS_RUN;
    if ((flags & FLAG_WINDOW_HIDDEN) && (STATE_FLAGS & FLAG_WINDOW_HIDDEN)) {
        // The manager dropped our states when the window was withdrawn: they
        // are set again for the new map, as at start.
        gfx_x11_set_desktop_citizen(GFX_WINDOW, (STATE_FLAGS & FLAG_WINDOW_TOPMOST) != 0);
        gfx_x11_set_focusable(GFX_WINDOW, FOCUSABLE);
        glfwShowWindow(GFX_WINDOW);
        STATE_FLAGS &= ~FLAG_WINDOW_HIDDEN;
    }
}

void gfx_set_window_focusable(bool on) {
    if (!GFX_WINDOW || on == FOCUSABLE) return;
    FOCUSABLE = on;
    gfx_x11_set_focusable(GFX_WINDOW, on);
}

bool gfx_window_focusable(void) {
    return FOCUSABLE;
}

bool IsWindowState(unsigned int flag) {
    return (STATE_FLAGS & flag) == flag && flag != 0;
}

void SetWindowSize(int width, int height) {
    if (!GFX_WINDOW || width <= 0 || height <= 0) return;
    glfwSetWindowSize(GFX_WINDOW, width, height);
    // Drawing follows at once; the server's answer comes with the next events.
    FRAME_W = width;
    FRAME_H = height;
    SCREEN_W = FRAME_W / SCALE;
    SCREEN_H = FRAME_H / SCALE;
}

void SetWindowPosition(int x, int y) {
    if (!GFX_WINDOW) return;
    glfwSetWindowPos(GFX_WINDOW, x, y);
}

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

double GetTime(void) {
    return GFX_WINDOW ? glfwGetTime() : 0.0;
}

void BeginDrawing(void) {
    if (!GFX_WINDOW) return;
    gfx_batch_begin_frame(SCREEN_W, SCREEN_H, SCALE, FRAME_H);
}

void EndDrawing(void) {
    if (!GFX_WINDOW) return;
    gfx_batch_flush();
    LAST_FRAME_CALLS = gfx_batch_frame_calls();
    glfwSwapBuffers(GFX_WINDOW);

    // Sleep out the rest of the frame; the frame time counts work plus wait.
    double now = glfwGetTime();
    if (TARGET_FRAME > 0 && now - FRAME_START < TARGET_FRAME) {
        sleep_seconds(TARGET_FRAME - (now - FRAME_START));
        now = glfwGetTime();
    }
    FRAME_TIME = (float)(now - FRAME_START);
    FRAME_START = now;
    FPS_SAMPLES[FPS_INDEX] = FRAME_TIME;
    FPS_INDEX = (FPS_INDEX + 1) % kFpsSamples;
    if (FPS_FILLED < kFpsSamples) FPS_FILLED++;

    // Events that arrive from here on belong to the next frame's tests.
    gfx_next_input_frame();
    glfwPollEvents();
}

void* GetWindowHandle(void) {
    return (void*)(uintptr_t)gfx_x11_window(GFX_WINDOW);
}

// ---- Input -------------------------------------------------------------------------

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

// ---- Extras (gfx_ext.h) -----------------------------------------------------------

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
    press_button(button, down);
}

void gfx_inject_key_pressed(int key) {
    if (key >= 0 && key < kKeys) INPUT.keyPressed[key] = true;
}

void gfx_inject_char(int codepoint) {
    push_char(codepoint);
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

// count logical rectangles as x, y, w, h quadruples of the whole physical
// pixels they touch.
static std::vector<int> whole_pixels(const Rectangle* rects, int count) {
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

// Read one of the window's shapes back through reader as logical Rectangles.
static int read_rects(int (*reader)(GLFWwindow*, int*, int), Rectangle* out, int max) {
    if (!GFX_WINDOW) return -1;
    int n = reader(GFX_WINDOW, nullptr, 0);
    if (n <= 0) return n;
    std::vector<int> xywh(4 * (size_t)n);
    n = reader(GFX_WINDOW, xywh.data(), n);
    const float s = (float)SCALE;
    for (int i = 0; i < n && i < max; i++)
        out[i] = Rectangle{(float)xywh[4 * i] / s, (float)xywh[4 * i + 1] / s, (float)xywh[4 * i + 2] / s,
                           (float)xywh[4 * i + 3] / s};
    return n;
}

void gfx_set_input_region(const Rectangle* rects, int count) {
    if (!GFX_WINDOW || count < 0) return;
    std::vector<int> xywh = whole_pixels(rects, count);
    gfx_x11_set_input_region(GFX_WINDOW, xywh.data(), count);
    INPUT_RECTS = count;
    STATE_FLAGS |= FLAG_WINDOW_MOUSE_PASSTHROUGH;
}

int gfx_get_input_region(Rectangle* out, int max) {
    return read_rects(gfx_x11_input_rects, out, max);
}

int gfx_input_shape_rect_count(void) {
    return gfx_x11_input_rects(GFX_WINDOW, nullptr, 0);
}

bool gfx_compositor_running(void) {
    return gfx_x11_compositor_running(GFX_WINDOW);
}

void gfx_set_window_shape(const Rectangle* rects, int count) {
    if (!GFX_WINDOW || count < 0) return;
    std::vector<int> xywh = whole_pixels(rects, count);
    gfx_x11_set_bounding(GFX_WINDOW, xywh.data(), count);
}

void gfx_clear_window_shape(void) {
    gfx_x11_clear_bounding(GFX_WINDOW);
}

int gfx_get_window_shape(Rectangle* out, int max) {
    return read_rects(gfx_x11_bounding_rects, out, max);
}
