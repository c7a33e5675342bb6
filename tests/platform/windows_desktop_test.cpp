// Finding windows by title and reading their rectangles, against plain Xlib
// windows under Xvfb (no window manager: the EWMH properties are set by hand);
// the resource database the desktop's dpi comes from.
// gtest first: Xlib's None macro breaks gtest's headers.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xatom.h>
// clang-format on

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

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
    void set_atoms(Window w, const char* name, std::initializer_list<const char*> atoms) {
        std::vector<Atom> values;
        for (const char* a : atoms) values.push_back(XInternAtom(dpy, a, False));
        XChangeProperty(dpy, w, XInternAtom(dpy, name, False), XA_ATOM, 32, PropModeReplace,
                        (const unsigned char*)values.data(), (int)values.size());
        XSync(dpy, False);
    }
    // The EWMH properties are set by hand below; a running window manager owns them.
    bool window_manager_runs() {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", False), 0, 1,
                           False, AnyPropertyType, &type, &format, &count, &after, &data);
        if (data) XFree(data);
        return type != None;
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

TEST(PlatformWindows, StateAndVisibleRectangleFromTheWindowsProperties) {
    TestDisplay x;
    ASSERT_NE(x.dpy, nullptr);
    if (x.window_manager_runs()) GTEST_SKIP() << "a window manager runs on this display";
    ASSERT_TRUE(platform_windows_connect());
    Window root = DefaultRootWindow(x.dpy);
    const long current = 1;
    x.set_cardinals(root, "_NET_CURRENT_DESKTOP", XA_CARDINAL, &current, 1);

    // A client-side-decorated window: its shadow (left, right, top, bottom)
    // lies inside it, and a window-manager frame, where there is one, outside.
    Window gtk = x.create(100, 200, 400, 300, "gtk", nullptr);
    const long shadow[4] = {10, 12, 30, 14};
    x.set_cardinals(gtk, "_GTK_FRAME_EXTENTS", XA_CARDINAL, shadow, 4);
    PlatformWindowInfo info = platform_window_info(gtk);
    EXPECT_EQ(info.state, PLATFORM_WINDOW_SHOWN);
    EXPECT_FALSE(info.fullscreen);
    EXPECT_EQ(info.rect.left, 110);
    EXPECT_EQ(info.rect.top, 230);
    EXPECT_EQ(info.rect.right, 488);
    EXPECT_EQ(info.rect.bottom, 486);
    const long frame[4] = {1, 1, 20, 1};
    x.set_cardinals(gtk, "_NET_FRAME_EXTENTS", XA_CARDINAL, frame, 4);
    PlatformRect r = {};
    ASSERT_TRUE(platform_window_rect(gtk, &r));
    EXPECT_EQ(r.top, 210);
    EXPECT_EQ(r.left, 109);
    // A shadow wider than the window is not believed.
    const long absurd[4] = {300, 300, 0, 0};
    x.set_cardinals(gtk, "_GTK_FRAME_EXTENTS", XA_CARDINAL, absurd, 4);
    ASSERT_TRUE(platform_window_rect(gtk, &r));
    EXPECT_EQ(r.left, 99);
    EXPECT_EQ(r.right, 501);

    // Put away in each of the ways a user can: no rectangle, but the window is there.
    Window minimised = x.create(10, 10, 50, 50, "minimised", nullptr);
    x.set_atoms(minimised, "_NET_WM_STATE", {"_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_HIDDEN"});
    Window iconic = x.create(10, 10, 50, 50, "iconic", nullptr);
    const long iconicState[2] = {3, 0};  // IconicState, no icon window
    Atom wmState = XInternAtom(x.dpy, "WM_STATE", False);
    x.set_cardinals(iconic, "WM_STATE", wmState, iconicState, 2);
    Window elsewhere = x.create(10, 10, 50, 50, "elsewhere", nullptr);
    const long desktop0 = 0;
    x.set_cardinals(elsewhere, "_NET_WM_DESKTOP", XA_CARDINAL, &desktop0, 1);
    Window unmapped = x.create(10, 10, 50, 50, "unmapped", nullptr);
    XUnmapWindow(x.dpy, unmapped);
    XSync(x.dpy, False);
    for (Window w : {minimised, iconic, elsewhere, unmapped}) {
        PlatformRect kept = {1, 2, 3, 4};
        EXPECT_EQ(platform_window_info(w).state, PLATFORM_WINDOW_HIDDEN) << w;
        EXPECT_FALSE(platform_window_rect(w, &kept));
        EXPECT_EQ(kept.left, 1);
    }
    // On every workspace, or on the current one: shown.
    const long sticky = 0xFFFFFFFFl;
    x.set_cardinals(elsewhere, "_NET_WM_DESKTOP", XA_CARDINAL, &sticky, 1);
    EXPECT_EQ(platform_window_info(elsewhere).state, PLATFORM_WINDOW_SHOWN);
    x.set_cardinals(elsewhere, "_NET_WM_DESKTOP", XA_CARDINAL, &current, 1);
    EXPECT_EQ(platform_window_info(elsewhere).state, PLATFORM_WINDOW_SHOWN);

    // Full screen, beside other states.
    Window full = x.create(0, 0, 640, 480, "full", nullptr);
    x.set_atoms(full, "_NET_WM_STATE", {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_FULLSCREEN"});
    info = platform_window_info(full);
    EXPECT_EQ(info.state, PLATFORM_WINDOW_SHOWN);
    EXPECT_TRUE(info.fullscreen);
    EXPECT_EQ(info.rect.right, 640);

    // Closed or never there: gone; no connection: unknown.
    XDestroyWindow(x.dpy, full);
    XSync(x.dpy, False);
    EXPECT_EQ(platform_window_info(full).state, PLATFORM_WINDOW_GONE);
    EXPECT_EQ(platform_window_info(0).state, PLATFORM_WINDOW_GONE);
    EXPECT_EQ(platform_window_info(gtk).state, PLATFORM_WINDOW_SHOWN);  // still usable after the error
    XDeleteProperty(x.dpy, root, XInternAtom(x.dpy, "_NET_CURRENT_DESKTOP", False));
    XSync(x.dpy, False);
    platform_windows_disconnect();
    EXPECT_EQ(platform_window_info(gtk).state, PLATFORM_WINDOW_UNKNOWN);
}

TEST(PlatformWindows, ResourceDatabaseIsReadFromTheRoot) {
    TestDisplay x;
    ASSERT_NE(x.dpy, nullptr);
    // Another client's database (xrdb) is put back afterwards.
    char* before = XResourceManagerString(x.dpy);
    std::string saved = before ? before : "";
    const char* text = "Xft.antialias:\t1\nXft.dpi:\t192\n";
    XChangeProperty(x.dpy, DefaultRootWindow(x.dpy), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    (const unsigned char*)text, (int)std::strlen(text));
    XSync(x.dpy, False);
    EXPECT_EQ(platform_x_resources(), text);
    XDeleteProperty(x.dpy, DefaultRootWindow(x.dpy), XA_RESOURCE_MANAGER);
    XSync(x.dpy, False);
    EXPECT_EQ(platform_x_resources(), "");  // read again, not remembered from the first look
    platform_windows_disconnect();
    if (!saved.empty())
        XChangeProperty(x.dpy, DefaultRootWindow(x.dpy), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                        (const unsigned char*)saved.data(), (int)saved.size());
    XSync(x.dpy, False);
}
