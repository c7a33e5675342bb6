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
XID glfwGetGLXWindow(GLFWwindow* window);
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
    // A round trip, not just a flush: when this returns the server has the new
    // region, so a click that follows at once (from this program's user or
    // from another client) already meets it. Sent only when the region changes.
    XSync(dpy, False);
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

// Requests about windows of other clients, which may be gone by the time the
// server reads them: their errors are caught here (Xlib's default handler
// would end the program). Returns false when one of them failed.
static bool QUERY_FAILED = false;
static int note_query_error(Display*, XErrorEvent*) {
    QUERY_FAILED = true;
    return 0;
}

template <typename Requests>
static bool without_x_errors(Display* dpy, Requests requests) {
    XSync(dpy, False);
    QUERY_FAILED = false;
    XErrorHandler previous = XSetErrorHandler(note_query_error);
    requests();
    XSync(dpy, False);
    XSetErrorHandler(previous);
    return !QUERY_FAILED;
}

// A reparenting window manager cuts its frame to the client's shape when it
// hears of a new one, after the client's server hold: until then the frame's
// old shape clips what the client presents. Where the new shape reaches past
// the old, the frame then shows pixels of an earlier frame (a falling box's
// lower edge black, text rows from where the box was), and where the old
// shape reaches past the new, the frame's own stale pixels (white lines
// around a box). A frame that only holds the window (same size, the window
// at its origin, so no decoration of the manager is lost) is cut to the same
// shape here, in the same request stream as the client's shape and the
// present that follows; the manager's own copy later changes nothing.
static void frame_follows_shape_requests(Display* dpy, Window win, bool unshaped) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(dpy, win, &root, &parent, &children, &count)) return;
    if (children) XFree(children);
    if (parent == 0 || parent == root) return;  // no manager's frame
    Window r = 0;
    int x = 0, y = 0, px = 0, py = 0;
    unsigned int w = 0, h = 0, border = 0, depth = 0, pw = 0, ph = 0, pborder = 0;
    if (!XGetGeometry(dpy, win, &r, &x, &y, &w, &h, &border, &depth)) return;
    if (!XGetGeometry(dpy, parent, &r, &px, &py, &pw, &ph, &pborder, &depth)) return;
    if (x != 0 || y != 0 || border != 0 || pw != w || ph != h) return;  // a decorated frame is the manager's
    if (unshaped)
        XShapeCombineMask(dpy, parent, ShapeBounding, 0, 0, None, ShapeSet);
    else
        XShapeCombineShape(dpy, parent, ShapeBounding, 0, 0, win, ShapeBounding, ShapeSet);
}

static void frame_follows_shape(Display* dpy, Window win, bool unshaped) {
    // The manager may unframe the window at any moment outside a hold.
    without_x_errors(dpy, [&] { frame_follows_shape_requests(dpy, win, unshaped); });
}

void gfx_x11_set_bounding(GLFWwindow* window, const int* xywh, int count) {
    if (!window) return;
    Display* dpy = glfwGetX11Display();
    std::vector<XRectangle> rects = x_rectangles(xywh, count);
    XShapeCombineRectangles(dpy, glfwGetX11Window(window), ShapeBounding, 0, 0, rects.data(), (int)rects.size(),
                            ShapeSet, Unsorted);
    frame_follows_shape(dpy, glfwGetX11Window(window), false);
    XFlush(dpy);
}

void gfx_x11_clear_bounding(GLFWwindow* window) {
    if (!window) return;
    Display* dpy = glfwGetX11Display();
    XShapeCombineMask(dpy, glfwGetX11Window(window), ShapeBounding, 0, 0, None, ShapeSet);
    frame_follows_shape(dpy, glfwGetX11Window(window), true);
    XFlush(dpy);
}

namespace {
// GLX_MESA_copy_sub_buffer: glXCopySubBufferMESA(display, drawable, x, y, w, h).
typedef void (*CopySubBufferFn)(Display*, XID, int, int, int, int);
int COPY_KNOWN = -1;                // -1 not asked yet, 0 missing, 1 there (for the window open now)
CopySubBufferFn COPY_SUB = nullptr;
}  // namespace

void gfx_x11_window_closed(void) {
    COPY_KNOWN = -1;
    COPY_SUB = nullptr;
}

bool gfx_x11_can_present_area(GLFWwindow* window) {
    if (!window || !glfwGetCurrentContext()) return false;
    if (COPY_KNOWN < 0) {
        COPY_KNOWN = glfwExtensionSupported("GLX_MESA_copy_sub_buffer") ? 1 : 0;
        if (COPY_KNOWN) COPY_SUB = (CopySubBufferFn)glfwGetProcAddress("glXCopySubBufferMESA");
        if (!COPY_SUB) COPY_KNOWN = 0;
    }
    return COPY_KNOWN == 1 && glfwGetGLXWindow(window) != 0;
}

bool gfx_x11_present_area(GLFWwindow* window, int x, int y, int w, int h) {
    if (!gfx_x11_can_present_area(window)) return false;
    COPY_SUB(glfwGetX11Display(), glfwGetGLXWindow(window), x, y, w, h);
    return true;
}

bool gfx_x11_take_exposes(GLFWwindow* window, int* box) {
    if (!window) return false;
    Display* dpy = glfwGetX11Display();
    Window w = glfwGetX11Window(window);
    XEvent ev;
    bool any = false;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    while (XCheckTypedWindowEvent(dpy, w, Expose, &ev)) {
        const XExposeEvent& e = ev.xexpose;
        if (!any) {
            x0 = e.x, y0 = e.y, x1 = e.x + e.width, y1 = e.y + e.height;
        } else {
            x0 = x0 < e.x ? x0 : e.x;
            y0 = y0 < e.y ? y0 : e.y;
            x1 = x1 > e.x + e.width ? x1 : e.x + e.width;
            y1 = y1 > e.y + e.height ? y1 : e.y + e.height;
        }
        any = true;
    }
    if (any) box[0] = x0, box[1] = y0, box[2] = x1 - x0, box[3] = y1 - y0;
    return any;
}

void gfx_x11_hold_server(bool hold) {
    Display* dpy = glfwGetX11Display();
    if (!dpy) return;
    if (hold) {
        XGrabServer(dpy);
    } else {
        XUngrabServer(dpy);
        XFlush(dpy);
    }
}

int gfx_x11_bounding_rects(GLFWwindow* window, int* xywh, int max) {
    return read_shape(window, ShapeBounding, xywh, max);
}

// ---- Standing with the window manager --------------------------------------------

// Tried under openbox: a dock, a notification (which openbox takes for a
// normal window) and a utility window all stay above, unfocused, off the
// taskbar and over the whole monitor with the states below; only the dock
// also stays when the user shows the desktop, where the companion lives.
// No strut is set, so no manager reserves screen space for it. (Tiling
// managers that give every dock a bar of its own, i3 for one, were not tried.)
static const char* const OVERLAY_WINDOW_TYPE = "_NET_WM_WINDOW_TYPE_DOCK";
static const unsigned long ALL_DESKTOPS = 0xFFFFFFFFul;  // _NET_WM_DESKTOP: on every workspace

// The window that was active when the overlay last asked for the keyboard;
// 0 when none. Main thread only.
static Window FOCUS_BEFORE = 0;

static Atom atom(Display* dpy, const char* name) {
    return XInternAtom(dpy, name, False);
}

// A request to the window manager about w (EWMH: sent to the root).
static void send_to_wm(Display* dpy, Window w, const char* type, long l0, long l1, long l2, long l3) {
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = atom(dpy, type);
    event.xclient.format = 32;
    event.xclient.data.l[0] = l0;
    event.xclient.data.l[1] = l1;
    event.xclient.data.l[2] = l2;
    event.xclient.data.l[3] = l3;
    XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureNotifyMask | SubstructureRedirectMask, &event);
}

static Window active_window(Display* dpy) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    Window active = 0;
    if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), atom(dpy, "_NET_ACTIVE_WINDOW"), 0, 1, False, XA_WINDOW,
                           &type, &format, &count, &after, &data) == Success &&
        data && type == XA_WINDOW && format == 32 && count == 1)
        active = (Window)((unsigned long*)data)[0];
    if (data) XFree(data);
    return active;
}

// Whether w is a window of the server that is shown now: one that had the
// keyboard before may have been closed, minimised or left on another
// workspace since. A BadWindow answer is caught for this one query.
static bool window_shown(Display* dpy, Window w) {
    XWindowAttributes attributes;
    Status ok = 0;
    const bool answered = without_x_errors(dpy, [&] { ok = XGetWindowAttributes(dpy, w, &attributes); });
    return ok && answered && attributes.map_state == IsViewable;
}

bool gfx_x11_is_mapped(GLFWwindow* window) {
    if (!window) return false;
    XWindowAttributes attributes;
    return XGetWindowAttributes(glfwGetX11Display(), glfwGetX11Window(window), &attributes) &&
           attributes.map_state != IsUnmapped;
}

void gfx_x11_set_desktop_citizen(GLFWwindow* window, bool above) {
    if (!window) return;
    Display* dpy = glfwGetX11Display();
    Window win = glfwGetX11Window(window);
    // Managers read the type when they take the window on; it is set either way.
    Atom type = atom(dpy, OVERLAY_WINDOW_TYPE);
    XChangeProperty(dpy, win, atom(dpy, "_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                    (const unsigned char*)&type, 1);
    const char* names[] = {"_NET_WM_STATE_STICKY", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER",
                           "_NET_WM_STATE_ABOVE"};
    const int count = above ? 4 : 3;
    if (!gfx_x11_is_mapped(window)) {
        // Before mapping the client owns these; the manager reads them at map time.
        Atom states[4];
        for (int i = 0; i < count; i++) states[i] = atom(dpy, names[i]);
        XChangeProperty(dpy, win, atom(dpy, "_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                        (const unsigned char*)states, count);
        unsigned long desktop = ALL_DESKTOPS;
        XChangeProperty(dpy, win, atom(dpy, "_NET_WM_DESKTOP"), XA_CARDINAL, 32, PropModeReplace,
                        (const unsigned char*)&desktop, 1);
    } else {
        // Once mapped the manager owns them: ask (1 = add; source 1 = an application).
        for (int i = 0; i < count; i++) send_to_wm(dpy, win, "_NET_WM_STATE", 1, (long)atom(dpy, names[i]), 0, 1);
        send_to_wm(dpy, win, "_NET_WM_DESKTOP", (long)ALL_DESKTOPS, 1, 0, 0);
    }
    XFlush(dpy);
}

void gfx_x11_set_focusable(GLFWwindow* window, bool on) {
    if (!window) return;
    Display* dpy = glfwGetX11Display();
    Window win = glfwGetX11Window(window);
    // Keep GLFW's initial-state hint; only the input field changes.
    XWMHints* hints = XGetWMHints(dpy, win);
    if (!hints) hints = XAllocWMHints();
    if (!hints) return;
    hints->flags |= InputHint;
    hints->input = on ? True : False;
    XSetWMHints(dpy, win, hints);
    XFree(hints);
    if (gfx_x11_is_mapped(window)) {
        Window active = active_window(dpy);
        // Source 2 (a user's request through a pager): the user has just
        // chosen what needs the keyboard, and managers that guard against
        // focus stealing refuse a plain application's request.
        if (on) {
            if (active != win) FOCUS_BEFORE = active;
            send_to_wm(dpy, win, "_NET_ACTIVE_WINDOW", 2, CurrentTime, 0, 0);
        } else if (active == win) {
            if (FOCUS_BEFORE != 0 && window_shown(dpy, FOCUS_BEFORE)) {
                send_to_wm(dpy, FOCUS_BEFORE, "_NET_ACTIVE_WINDOW", 2, CurrentTime, 0, 0);
            } else {
                // Nothing to go back to: a request for a closed window is
                // dropped and the keyboard would stay here, where typing now
                // reaches nothing. Handed to the root, it makes the manager
                // give it to a window of its choice (its focus fallback).
                XSetInputFocus(dpy, PointerRoot, RevertToPointerRoot, CurrentTime);
            }
        }
        if (!on) FOCUS_BEFORE = 0;
    }
    XFlush(dpy);
}

bool gfx_x11_screen_size(int* width, int* height) {
    Display* dpy = glfwGetX11Display();
    if (!dpy) return false;
    Window root = 0;
    int x = 0, y = 0;
    unsigned int w = 0, h = 0, border = 0, depth = 0;
    if (!XGetGeometry(dpy, DefaultRootWindow(dpy), &root, &x, &y, &w, &h, &border, &depth)) return false;
    *width = (int)w;
    *height = (int)h;
    return true;
}
