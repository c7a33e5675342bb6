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

unsigned int CONFIG_FLAGS = 0;    // SetConfigFlags, applied by InitWindow
unsigned int STATE_FLAGS = 0;     // flags currently in force
// Rectangles in the window's input region as last set; -1 = the whole window
// (X's None). FLAG_WINDOW_MOUSE_PASSTHROUGH is in STATE_FLAGS exactly while
// this is not -1: the window lets the pointer through somewhere.
int INPUT_RECTS = -1;
bool CLOSE_KEY_SEEN = false;      // Escape went down while the window had the keyboard
bool FOCUSABLE = false;           // the window may take the keyboard (gfx_set_window_focusable)

// The cut that follows the drawn pixels (gfx_set_window_shape_drawn); all in
// physical x, y, w, h quadruples.
bool CUT_DRAWN = false;           // the bounding shape follows the frames' pixels
std::vector<int> CUT_BOXES;       // where to look for drawn pixels, as last asked
std::vector<int> CUT_BOXES_USED;  // the boxes the shape in force was made from
std::vector<int> CUT_SENT;        // the shape in force
bool CUT_VALID = false;           // CUT_SENT is what the server holds

// Before the present of a frame that was drawn: the shape from its pixels,
// sent when it changed. Returns true when it was sent; the server is then
// held until the frame is presented (EndDrawing), or a screenshot or a
// compositor taken in between would show the new shape over the old
// frame: black where the shape grew onto pixels the old frame left
// transparent.
bool cut_to_drawn() {
    std::vector<int> rects = gfx_drawn_rects(CUT_BOXES);
    CUT_BOXES_USED = CUT_BOXES;
    if (CUT_VALID && rects == CUT_SENT) return false;
    gfx_x11_hold_server(true);
    gfx_x11_set_bounding(GFX_WINDOW, rects.data(), (int)(rects.size() / 4));
    CUT_SENT = std::move(rects);
    CUT_VALID = true;
    return true;
}

void on_mouse_button(GLFWwindow*, int button, int action, int) {
    gfx_input_button(button, action == GLFW_PRESS);
}

void on_cursor(GLFWwindow*, double x, double y) {
    gfx_input_cursor(x, y);
}

void on_key(GLFWwindow*, int key, int, int action, int) {
    if (action != GLFW_PRESS) return;  // repeats do not count
    gfx_input_key(key);
    // Key events reach only the focused window, so this is "Escape while it had the keyboard".
    if (key == KEY_ESCAPE) CLOSE_KEY_SEEN = true;
}

void on_char(GLFWwindow*, unsigned int codepoint) {
    gfx_input_char((int)codepoint);
}

// Expose and size changes: the server lost (part of) what was shown, so the
// next frame is drawn even when it matches the last one.
void on_refresh(GLFWwindow*) {
    gfx_request_redraw();
}

void on_framebuffer_size(GLFWwindow*, int, int) {
    gfx_request_redraw();
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
    glfwSetWindowRefreshCallback(GFX_WINDOW, on_refresh);
    glfwSetFramebufferSizeCallback(GFX_WINDOW, on_framebuffer_size);

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

    int frameW = 0, frameH = 0;
    glfwGetFramebufferSize(GFX_WINDOW, &frameW, &frameH);
    if (frameW <= 0 || frameH <= 0) {
        frameW = width;
        frameH = height;
    }
    gfx_set_framebuffer_size(frameW, frameH);
    gfx_batch_init();
    CLOSE_KEY_SEEN = false;
    gfx_reset_input();
    double x = 0, y = 0;
    glfwGetCursorPos(GFX_WINDOW, &x, &y);
    on_cursor(GFX_WINDOW, x, y);
    glfwSetTime(0.0);
    gfx_clock_reset(0.0);
}

void CloseWindow(void) {
    if (!GFX_WINDOW) return;
    gfx_batch_shutdown();
    glfwDestroyWindow(GFX_WINDOW);
    GFX_WINDOW = nullptr;
    gfx_x11_window_closed();  // before glfwTerminate unloads the GL library
    glfwTerminate();
    gfx_set_framebuffer_size(0, 0);
    STATE_FLAGS = 0;
    INPUT_RECTS = -1;
    CUT_DRAWN = CUT_VALID = false;
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
        gfx_request_redraw();  // an unmapped window kept no pixels
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
    gfx_set_framebuffer_size(width, height);
}

void SetWindowPosition(int x, int y) {
    if (!GFX_WINDOW) return;
    glfwSetWindowPos(GFX_WINDOW, x, y);
}

double GetTime(void) {
    return GFX_WINDOW ? glfwGetTime() : 0.0;
}

void EndDrawing(void) {
    if (!GFX_WINDOW) return;
    // New boxes need the pixels inside them: the frame is drawn even when
    // it matches the last one.
    if (CUT_DRAWN && (!CUT_VALID || CUT_BOXES != CUT_BOXES_USED)) gfx_batch_want_present(nullptr);
    int damage[4];
    if (gfx_batch_end_frame(damage)) {
        // The cut before the present, so the cut matches the frame shown.
        bool held = CUT_DRAWN && cut_to_drawn();
        // Only the part that changed goes to the server: a mascot that walks
        // costs its own box, not the whole screen.
        int fw = 0, fh = 0;
        gfx_framebuffer_size(&fw, &fh);
        if (damage[2] > 0 && damage[3] > 0 &&
            !gfx_x11_present_area(GFX_WINDOW, damage[0], fh - damage[1] - damage[3], damage[2], damage[3]))
            glfwSwapBuffers(GFX_WINDOW);
        if (held) gfx_x11_hold_server(false);
    }

    // Sleep out the rest of the frame; the frame time counts work plus wait.
    double now = glfwGetTime();
    double wait = gfx_clock_wait(now);
    if (wait > 0) {
        sleep_seconds(wait);
        now = glfwGetTime();
    }
    gfx_clock_frame_end(now);

    // Events that arrive from here on belong to the next frame's tests.
    gfx_next_input_frame();
    // Exposes are taken first, so the next frame draws again only the part
    // lost (a cut that grew exposes just the pixels it added), not the whole
    // screen as GLFW's refresh callback would ask.
    int lost[4];
    if (gfx_x11_take_exposes(GFX_WINDOW, lost)) gfx_batch_want_present(lost);
    glfwPollEvents();
}

void* GetWindowHandle(void) {
    return (void*)(uintptr_t)gfx_x11_window(GFX_WINDOW);
}

// ---- Extras (gfx_ext.h) -----------------------------------------------------------

bool gfx_can_present_area() {
    return gfx_x11_can_present_area(GFX_WINDOW);
}

GfxWindow* gfx_current_window(void) {
    return reinterpret_cast<GfxWindow*>(glfwGetCurrentContext());
}

Vector2 gfx_window_pointer(GfxWindow* window) {
    if (window == nullptr) return {0, 0};
    double x = 0, y = 0;
    glfwGetCursorPos(reinterpret_cast<GLFWwindow*>(window), &x, &y);
    return {(float)x, (float)y};
}

bool gfx_has_context() {
    return GFX_WINDOW != nullptr && glfwGetCurrentContext() != nullptr;
}

GfxProc gfx_gl_proc(const char* name) {
    return (GfxProc)glfwGetProcAddress(name);
}

// Read one of the window's shapes back through reader as logical Rectangles.
static int read_rects(int (*reader)(GLFWwindow*, int*, int), Rectangle* out, int max) {
    if (!GFX_WINDOW) return -1;
    int n = reader(GFX_WINDOW, nullptr, 0);
    if (n <= 0) return n;
    std::vector<int> xywh(4 * (size_t)n);
    n = reader(GFX_WINDOW, xywh.data(), n);
    gfx_logical_rects(xywh.data(), n, out, max);
    return n;
}

void gfx_set_input_region(const Rectangle* rects, int count) {
    if (!GFX_WINDOW || count < 0) return;
    std::vector<int> xywh = gfx_whole_pixels(rects, count);
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
    std::vector<int> xywh = gfx_whole_pixels(rects, count);
    gfx_x11_set_bounding(GFX_WINDOW, xywh.data(), count);
    CUT_DRAWN = CUT_VALID = false;
}

void gfx_set_window_shape_drawn(const Rectangle* rects, int count) {
    if (!GFX_WINDOW || count < 0) return;
    CUT_BOXES = gfx_whole_pixels(rects, count);
    if (!CUT_DRAWN) CUT_VALID = false;
    CUT_DRAWN = true;
}

void gfx_clear_window_shape(void) {
    gfx_x11_clear_bounding(GFX_WINDOW);
    CUT_DRAWN = CUT_VALID = false;
}

int gfx_get_window_shape(Rectangle* out, int max) {
    return read_rects(gfx_x11_bounding_rects, out, max);
}

