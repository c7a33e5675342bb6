// X11 queries the graphics tests make on their own connection, independent of
// the layer under test. Kept apart from raylib.h, whose Font collides with Xlib's.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include "gfx/x11_probe.h"

int probe_input_shape(unsigned long window, int* xywh, int max) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return -1;
    int count = 0, ordering = 0;
    XRectangle* rects = XShapeGetRectangles(dpy, (Window)window, ShapeInput, &count, &ordering);
    for (int i = 0; i < count && i < max; i++) {
        xywh[4 * i] = rects[i].x;
        xywh[4 * i + 1] = rects[i].y;
        xywh[4 * i + 2] = rects[i].width;
        xywh[4 * i + 3] = rects[i].height;
    }
    if (rects) XFree(rects);
    XCloseDisplay(dpy);
    return count;
}

int probe_input_shape_rects(unsigned long window) { return probe_input_shape(window, nullptr, 0); }

bool probe_window_title(unsigned long window, char* out, int size) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return false;
    char* name = nullptr;
    bool ok = XFetchName(dpy, (Window)window, &name) && name;
    if (ok) {
        int i = 0;
        for (; name[i] && i < size - 1; i++) out[i] = name[i];
        out[i] = 0;
        XFree(name);
    }
    XCloseDisplay(dpy);
    return ok;
}

bool probe_window_size(unsigned long window, int* width, int* height) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return false;
    XWindowAttributes a;
    bool ok = XGetWindowAttributes(dpy, (Window)window, &a);
    if (ok) {
        *width = a.width;
        *height = a.height;
    }
    XCloseDisplay(dpy);
    return ok;
}

std::string probe_window_atoms(unsigned long window, const char* property) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return "";
    std::string names;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, (Window)window, XInternAtom(dpy, property, False), 0, 64, False, XA_ATOM, &type,
                           &format, &count, &after, &data) == Success &&
        data && format == 32) {
        for (unsigned long i = 0; i < count; i++) {
            char* name = XGetAtomName(dpy, ((Atom*)data)[i]);
            if (name) {
                names += name;
                names += ' ';
                XFree(name);
            }
        }
    }
    if (data) XFree(data);
    XCloseDisplay(dpy);
    return names;
}

long probe_window_cardinal(unsigned long window, const char* property) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return -1;
    long value = -1;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, (Window)window, XInternAtom(dpy, property, False), 0, 1, False, XA_CARDINAL, &type,
                           &format, &count, &after, &data) == Success &&
        data && format == 32 && count == 1)
        value = (long)(((unsigned long*)data)[0] & 0xFFFFFFFFul);
    if (data) XFree(data);
    XCloseDisplay(dpy);
    return value;
}

int probe_wm_input(unsigned long window) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return -1;
    int input = -1;
    XWMHints* hints = XGetWMHints(dpy, (Window)window);
    if (hints) {
        if (hints->flags & InputHint) input = hints->input ? 1 : 0;
        XFree(hints);
    }
    XCloseDisplay(dpy);
    return input;
}

bool probe_window_mapped(unsigned long window) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return false;
    XWindowAttributes a;
    bool mapped = XGetWindowAttributes(dpy, (Window)window, &a) && a.map_state != IsUnmapped;
    XCloseDisplay(dpy);
    return mapped;
}

bool probe_warp_pointer(int x, int y) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return false;
    XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, x, y);
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return true;
}
