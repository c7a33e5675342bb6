// See xclient_helpers.h.
#include "desktop/xclient_helpers.h"

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <map>

extern char** environ;

static Display* DPY = nullptr;
static std::map<uint64_t, std::vector<XClientPress>> PRESSES;

bool xclient_open() {
    if (DPY) return true;
    // Xvfb resets itself when its last client leaves (the previous test's);
    // connections made during the reset are refused for a moment.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        DPY = XOpenDisplay(nullptr);
    } while (DPY == nullptr && std::chrono::steady_clock::now() < deadline);
    return DPY != nullptr;
}

void xclient_close() {
    if (!DPY) return;
    for (auto& [w, presses] : PRESSES) XDestroyWindow(DPY, (Window)w);
    PRESSES.clear();
    XCloseDisplay(DPY);
    DPY = nullptr;
}

// Move every pending event into PRESSES.
static void pump() {
    XSync(DPY, False);
    while (XPending(DPY)) {
        XEvent ev;
        XNextEvent(DPY, &ev);
        if (ev.type == ButtonPress) {
            auto it = PRESSES.find(ev.xbutton.window);
            if (it != PRESSES.end()) it->second.push_back({ev.xbutton.x, ev.xbutton.y, (int)ev.xbutton.button});
        }
    }
}

uint64_t xclient_make_window(int x, int y, int w, int h, const std::string& title) {
    if (!DPY) return 0;
    int screen = DefaultScreen(DPY);
    Window win = XCreateSimpleWindow(DPY, RootWindow(DPY, screen), x, y, w, h, 0, BlackPixel(DPY, screen),
                                     WhitePixel(DPY, screen));
    XStoreName(DPY, win, title.c_str());
    XSizeHints hints = {};
    hints.flags = USPosition | PPosition;
    hints.x = x;
    hints.y = y;
    XSetWMNormalHints(DPY, win, &hints);
    XSelectInput(DPY, win, ButtonPressMask | StructureNotifyMask);
    XMapRaised(DPY, win);
    PRESSES[win] = {};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        XEvent ev;
        if (XCheckTypedWindowEvent(DPY, win, MapNotify, &ev)) return win;
        XSync(DPY, False);
    }
    return 0;
}

void xclient_destroy_window(uint64_t window) {
    if (!DPY) return;
    XDestroyWindow(DPY, (Window)window);
    XSync(DPY, False);
    PRESSES.erase(window);
}

std::vector<XClientPress> xclient_take_presses(uint64_t window) {
    if (!DPY) return {};
    pump();
    std::vector<XClientPress> out;
    out.swap(PRESSES[window]);
    return out;
}

void xclient_set_active(uint64_t window) {
    if (!DPY) return;
    Window root = DefaultRootWindow(DPY);
    Atom atom = XInternAtom(DPY, "_NET_ACTIVE_WINDOW", False);
    if (window == 0) {
        XDeleteProperty(DPY, root, atom);
    } else {
        long value = (long)window;
        XChangeProperty(DPY, root, atom, XA_WINDOW, 32, PropModeReplace, (const unsigned char*)&value, 1);
    }
    XSync(DPY, False);
}

void xclient_set_frame_extents(uint64_t window, int left, int right, int top, int bottom) {
    if (!DPY) return;
    long values[4] = {left, right, top, bottom};
    XChangeProperty(DPY, (Window)window, XInternAtom(DPY, "_NET_FRAME_EXTENTS", False), XA_CARDINAL, 32,
                    PropModeReplace, (const unsigned char*)values, 4);
    XSync(DPY, False);
}

std::vector<XClientRect> xclient_input_shape(uint64_t window) {
    std::vector<XClientRect> out;
    if (!DPY) return out;
    int count = 0, ordering = 0;
    XRectangle* rects = XShapeGetRectangles(DPY, (Window)window, ShapeInput, &count, &ordering);
    for (int i = 0; i < count; i++) out.push_back({rects[i].x, rects[i].y, rects[i].width, rects[i].height});
    if (rects) XFree(rects);
    return out;
}

static Window or_root(uint64_t window) {
    return window ? (Window)window : DefaultRootWindow(DPY);
}

void xclient_set_atoms(uint64_t window, const char* property, const std::vector<std::string>& names) {
    if (!DPY) return;
    std::vector<Atom> atoms;
    for (const std::string& n : names) atoms.push_back(XInternAtom(DPY, n.c_str(), False));
    XChangeProperty(DPY, or_root(window), XInternAtom(DPY, property, False), XA_ATOM, 32, PropModeReplace,
                    (const unsigned char*)atoms.data(), (int)atoms.size());
    XSync(DPY, False);
}

void xclient_set_cardinals(uint64_t window, const char* property, const std::vector<long>& values) {
    if (!DPY) return;
    XChangeProperty(DPY, or_root(window), XInternAtom(DPY, property, False), XA_CARDINAL, 32, PropModeReplace,
                    (const unsigned char*)values.data(), (int)values.size());
    XSync(DPY, False);
}

void xclient_delete_property(uint64_t window, const char* property) {
    if (!DPY) return;
    XDeleteProperty(DPY, or_root(window), XInternAtom(DPY, property, False));
    XSync(DPY, False);
}

bool xclient_xdotool(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string program = "xdotool";
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdotool", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
