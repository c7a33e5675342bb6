// Finding windows by title and reading their rectangles, against plain Xlib
// windows under Xvfb (no window manager: the EWMH properties are set by hand).
// gtest first: Xlib's None macro breaks gtest's headers.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xatom.h>
// clang-format on

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

struct TestDisplay {
    Display* dpy = XOpenDisplay(nullptr);
    ~TestDisplay() {
        if (dpy) XCloseDisplay(dpy);
    }
    Window create(int x, int y, int w, int h, const char* wmName, const char* netName) {
        XSetWindowAttributes attributes = {};
        attributes.override_redirect = False;
        Window win = XCreateWindow(dpy, DefaultRootWindow(dpy), x, y, w, h, 0, CopyFromParent, InputOutput,
                                   CopyFromParent, 0, &attributes);
        if (wmName) XStoreName(dpy, win, wmName);
        if (netName)
            XChangeProperty(dpy, win, XInternAtom(dpy, "_NET_WM_NAME", False), XInternAtom(dpy, "UTF8_STRING", False),
                            8, PropModeReplace, (const unsigned char*)netName, (int)std::strlen(netName));
        XMapWindow(dpy, win);
        XSync(dpy, False);
        return win;
    }
    void set_cardinals(Window w, const char* name, Atom type, const long* values, int count) {
        XChangeProperty(dpy, w, XInternAtom(dpy, name, False), type, 32, PropModeReplace,
                        (const unsigned char*)values, count);
        XSync(dpy, False);
    }
};

}  // namespace

TEST(PlatformWindows, FindsATopLevelWindowByTitlePrefix) {
    TestDisplay x;
    ASSERT_NE(x.dpy, nullptr);
    Window plain = x.create(10, 10, 50, 50, "vimo.exe v1.0 (test)", nullptr);
    Window utf8 = x.create(10, 10, 50, 50, "ascii fallback", "창 – 窓 window");
    Window shorter = x.create(10, 10, 50, 50, "vimo find", nullptr);
    ASSERT_TRUE(platform_windows_connect());

    // As many bytes as the wanted title has: a longer title with that prefix matches.
    EXPECT_EQ(platform_find_window("vimo.exe v1.0"), plain);
    EXPECT_EQ(platform_find_window("창 – 窓"), utf8);  // _NET_WM_NAME wins over WM_NAME
    EXPECT_EQ(platform_find_window("vimo find me"), 0u);  // the window's title is shorter
    EXPECT_EQ(platform_find_window("no such window title"), 0u);
    EXPECT_EQ(platform_find_window("vimo find"), shorter);

    platform_windows_disconnect();
    EXPECT_EQ(platform_find_window("vimo.exe v1.0"), 0u);
    EXPECT_EQ(platform_foreground_window(), 0u);
    PlatformRect r = {1, 2, 3, 4};
    EXPECT_FALSE(platform_window_rect(plain, &r));
}

TEST(PlatformWindows, ForegroundAndOuterRectangleWithFrameExtents) {
    TestDisplay x;
    ASSERT_NE(x.dpy, nullptr);
    // The properties are set by hand here; a running window manager owns them.
    Atom check = XInternAtom(x.dpy, "_NET_SUPPORTING_WM_CHECK", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(x.dpy, DefaultRootWindow(x.dpy), check, 0, 1, False, AnyPropertyType, &type, &format, &count,
                       &after, &data);
    if (data) XFree(data);
    if (type != None) GTEST_SKIP() << "a window manager runs on this display";
    Window host = x.create(100, 200, 300, 150, "host window", nullptr);
    ASSERT_TRUE(platform_windows_connect());

    Window root = DefaultRootWindow(x.dpy);
    XDeleteProperty(x.dpy, root, XInternAtom(x.dpy, "_NET_ACTIVE_WINDOW", False));
    XSync(x.dpy, False);
    EXPECT_EQ(platform_foreground_window(), 0u);  // no property: no window
    long none = 0;
    x.set_cardinals(root, "_NET_ACTIVE_WINDOW", XA_WINDOW, &none, 1);
    EXPECT_EQ(platform_foreground_window(), 0u);
    long active = (long)host;
    x.set_cardinals(root, "_NET_ACTIVE_WINDOW", XA_WINDOW, &active, 1);
    EXPECT_EQ(platform_foreground_window(), host);

    PlatformRect r = {};
    ASSERT_TRUE(platform_window_rect(host, &r));
    EXPECT_EQ(r.left, 100);
    EXPECT_EQ(r.top, 200);
    EXPECT_EQ(r.right, 400);
    EXPECT_EQ(r.bottom, 350);

    // The window manager's frame: left, right, top, bottom.
    const long extents[4] = {4, 6, 24, 8};
    x.set_cardinals(host, "_NET_FRAME_EXTENTS", XA_CARDINAL, extents, 4);
    ASSERT_TRUE(platform_window_rect(host, &r));
    EXPECT_EQ(r.left, 96);
    EXPECT_EQ(r.top, 176);
    EXPECT_EQ(r.right, 406);
    EXPECT_EQ(r.bottom, 358);

    // A closed window: no rectangle, the previous one untouched, the process alive.
    XDestroyWindow(x.dpy, host);
    XSync(x.dpy, False);
    PlatformRect kept = {1, 2, 3, 4};
    EXPECT_FALSE(platform_window_rect(host, &kept));
    EXPECT_EQ(kept.left, 1);
    EXPECT_EQ(kept.bottom, 4);
    EXPECT_FALSE(platform_window_rect(0x7ffffff0, &kept));  // never existed
    EXPECT_EQ(platform_find_window("host window"), 0u);
    // Still usable after the errors.
    Window again = x.create(5, 6, 7, 8, "again", nullptr);
    EXPECT_EQ(platform_find_window("again"), again);
    ASSERT_TRUE(platform_window_rect(again, &r));
    EXPECT_EQ(r.right, 12);
    XDeleteProperty(x.dpy, root, XInternAtom(x.dpy, "_NET_ACTIVE_WINDOW", False));
    XSync(x.dpy, False);
    platform_windows_disconnect();
}
