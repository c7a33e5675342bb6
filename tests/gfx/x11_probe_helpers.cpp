// X11 queries the graphics tests make on their own connection, independent of
// the layer under test. Kept apart from raylib.h, whose Font collides with Xlib's.
#include <X11/Xlib.h>
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
