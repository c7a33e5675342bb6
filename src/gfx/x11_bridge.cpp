// X11 side of the graphics layer: click-through through the XFixes input
// shape, the X Shape bounding region and the compositor query. Kept apart
// because Xlib's `Font` and friends collide with raylib's names.
#include "gfx/x11_bridge.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/shape.h>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

// GLFW's native-access calls, declared here because glfw3native.h also wants
// the Xrandr headers, which the layer has no other use for.
extern "C" {
Display* glfwGetX11Display(void);
Window glfwGetX11Window(GLFWwindow* window);
}

#include <unistd.h>

#include <cstdio>
#include <vector>

static void (*DISPLAY_LOST)(void) = nullptr;  // the program's handler, or none

// Xlib calls this when a connection to the X server breaks, on the thread whose
// call noticed it, and ends the process if it returns: nothing may touch the
// display from here on, so the handler leaves without returning.
static int on_connection_broken(Display* dpy) {
    static bool handling = false;
    if (!handling) {
        handling = true;
        std::printf("X connection to %s broken (the display server ended)\n", dpy ? DisplayString(dpy) : "?");
        std::fflush(stdout);
        if (DISPLAY_LOST) DISPLAY_LOST();
    }
    std::fflush(stdout);
    _exit(1);
}

void gfx_x11_on_connection_broken(void (*handler)(void)) {
    DISPLAY_LOST = handler;
    XSetIOErrorHandler(on_connection_broken);
}

uint64_t gfx_x11_window(GLFWwindow* window) {
    if (!window) return 0;
    return (uint64_t)glfwGetX11Window(window);
}

// X rectangles of count x, y, w, h quadruples; empty ones are dropped
// (16-bit fields: callers clip to the window first).
static std::vector<XRectangle> x_rectangles(const int* xywh, int count) {
    std::vector<XRectangle> rects;
    rects.reserve(count > 0 ? count : 0);
    for (int i = 0; i < count; i++) {
        XRectangle r;
        r.x = (short)xywh[4 * i];
        r.y = (short)xywh[4 * i + 1];
        r.width = (unsigned short)(xywh[4 * i + 2] > 0 ? xywh[4 * i + 2] : 0);
        r.height = (unsigned short)(xywh[4 * i + 3] > 0 ? xywh[4 * i + 3] : 0);
        if (r.width && r.height) rects.push_back(r);
    }
    return rects;
}

// count x, y, w, h quadruples of one of the window's shapes into xywh (at most
// max of them); returns how many the shape has, -1 on error.
static int read_shape(GLFWwindow* window, int kind, int* xywh, int max) {
    if (!window) return -1;
    Display* dpy = glfwGetX11Display();
    int count = 0, ordering = 0;
    XRectangle* rects = XShapeGetRectangles(dpy, glfwGetX11Window(window), kind, &count, &ordering);
    for (int i = 0; i < count && i < max; i++) {
        xywh[4 * i] = rects[i].x;
        xywh[4 * i + 1] = rects[i].y;
        xywh[4 * i + 2] = rects[i].width;
        xywh[4 * i + 3] = rects[i].height;
    }
    if (rects) XFree(rects);
    return count;
}

void gfx_x11_set_input_region(GLFWwindow* window, const int* xywh, int count) {
    if (!window) return;
    Display* dpy = glfwGetX11Display();
    Window win = glfwGetX11Window(window);
    if (count < 0) {
        // None restores the default input region, the whole window.
        XFixesSetWindowShapeRegion(dpy, win, ShapeInput, 0, 0, None);
    } else {
        // Pointer events outside the rectangles fall through to what lies below.
        std::vector<XRectangle> rects = x_rectangles(xywh, count);
        XserverRegion region = XFixesCreateRegion(dpy, rects.data(), (int)rects.size());
        XFixesSetWindowShapeRegion(dpy, win, ShapeInput, 0, 0, region);
        XFixesDestroyRegion(dpy, region);
    }
    XFlush(dpy);
}

int gfx_x11_input_rects(GLFWwindow* window, int* xywh, int max) {
    return read_shape(window, ShapeInput, xywh, max);
}

bool gfx_x11_compositor_running(GLFWwindow* window) {
    Display* dpy = window ? glfwGetX11Display() : XOpenDisplay(nullptr);
    if (!dpy) return false;
    char name[32];
    std::snprintf(name, sizeof name, "_NET_WM_CM_S%d", DefaultScreen(dpy));
    Atom selection = XInternAtom(dpy, name, False);
    bool running = XGetSelectionOwner(dpy, selection) != None;
    if (!window) XCloseDisplay(dpy);
    return running;
}

void gfx_x11_set_bounding(GLFWwindow* window, const int* xywh, int count) {
    if (!window) return;
    Display* dpy = glfwGetX11Display();
    std::vector<XRectangle> rects = x_rectangles(xywh, count);
    XShapeCombineRectangles(dpy, glfwGetX11Window(window), ShapeBounding, 0, 0, rects.data(), (int)rects.size(),
                            ShapeSet, Unsorted);
    XFlush(dpy);
}

void gfx_x11_clear_bounding(GLFWwindow* window) {
    if (!window) return;
    Display* dpy = glfwGetX11Display();
    XShapeCombineMask(dpy, glfwGetX11Window(window), ShapeBounding, 0, 0, None, ShapeSet);
    XFlush(dpy);
}

int gfx_x11_bounding_rects(GLFWwindow* window, int* xywh, int max) {
    return read_shape(window, ShapeBounding, xywh, max);
}
