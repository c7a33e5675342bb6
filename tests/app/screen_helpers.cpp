#include "app/screen_helpers.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

Display* connection() {
    static Display* d = XOpenDisplay(nullptr);
    return d;
}

}  // namespace

long screen_window_pixel(uint64_t window, int x, int y) {
    Display* d = connection();
    if (!d) return -1;
    XImage* image = XGetImage(d, (Window)window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return -1;
    unsigned long p = XGetPixel(image, 0, 0);
    long rgb = (long)(((p & image->red_mask) >> 16 & 0xff) << 16 | ((p & image->green_mask) >> 8 & 0xff) << 8 |
                      (p & image->blue_mask & 0xff));
    XDestroyImage(image);
    return rgb;
}

bool screen_expose(uint64_t window) {
    Display* d = connection();
    if (!d) return false;
    // exposures = True: the server sends Expose; the window's contents stay
    // (GLFW windows have no background to paint).
    XClearArea(d, (Window)window, 0, 0, 0, 0, True);
    XSync(d, False);
    return true;
}
