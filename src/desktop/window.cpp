// Host-window tracking and walls. See window.h.
#include "desktop/window.h"

#include <iostream>

#include "base/base.h"
#include "base/files.h"
#include "desktop/walls.h"
#include "desktop/monitors.h"
#include "gfx/gfx_ext.h"
#include "physics/physics.h"
#include "platform/platform.h"

uint64_t currentwindow = 0;
uint64_t lastwindow = 0;
int* wallIDs = nullptr;
Rectangle wallRect = {0, 0, 0, 0};

// Last rectangle read successfully, in overlay pixels. A look that fails for
// a reason other than the window itself (the X server did not answer) keeps it.
static Rectangle lastRect = {0, 0, 0, 0};
// The tracked window is minimised, on another workspace, unmapped or closed:
// no walls until a window shows again. Kept across looks that find no window
// at all, so walls do not come back around a window the user put away.
static bool hostAway = false;
// The overlay's own screen origin as last read; its window may be unmapped
// (hidden under a full-screen program) and then cannot be asked.
static int ownLeft = 0, ownTop = 0;
// The last look found another program's window focused and full screen.
static bool hostFullscreen = false;
// The user put the overlay away (overlay_hide_for_user); a full-screen
// window that comes and goes meanwhile does not bring it back.
static bool userHidden = false;

void window_connect() {
    if (!platform_windows_connect()) return;  // no X server: no host window, the screen walls still hold
    check_window(platform_find_window(WINDOW_NAME), 0);
}

int check_window(uint64_t window, long long parameter) {
    (void)parameter;
    if (window == 0) return 1;
    std::cout << "Setting " << (void*)(uintptr_t)window << " as current window" << std::endl;
    currentwindow = window;
    return 0;
}

Rectangle getWindowPosition() {
    uint64_t focused = platform_foreground_window();
    uint64_t w = focused;
    // While the overlay itself has the focus, stay with the window before it.
    if (w == 0 || w == currentwindow) w = lastwindow;
    hostFullscreen = false;
    if (w == 0) return {0, 0, 0, 0};
    PlatformWindowInfo info = platform_window_info(w);
    switch (info.state) {
    case PLATFORM_WINDOW_UNKNOWN:
        return lastRect;
    case PLATFORM_WINDOW_GONE:
        if (w == lastwindow) lastwindow = 0;  // do not ask it again
        hostAway = true;
        return {0, 0, 0, 0};
    case PLATFORM_WINDOW_HIDDEN:
        // Still the window to come back to when it is shown again.
        lastwindow = w;
        hostAway = true;
        return {0, 0, 0, 0};
    case PLATFORM_WINDOW_SHOWN:
        break;
    }
    lastwindow = w;
    hostAway = false;
    // Only the focused window counts: the overlay's own never hides it.
    hostFullscreen = w == focused && info.fullscreen;
    overlay_origin_update();
    lastRect = screen_to_overlay(info.rect);
    return lastRect;
}

void overlay_origin_update() {
    // The overlay need not sit at the screen origin (a second monitor, a
    // panel above it); walls and monitors live in its pixels.
    PlatformWindowInfo own = platform_window_info(currentwindow);
    if (own.state == PLATFORM_WINDOW_SHOWN) {
        ownLeft = own.rect.left;
        ownTop = own.rect.top;
    }
}

Rectangle screen_to_overlay(const PlatformRect& r) {
    // Each overlay pixel is gfx_scale() screen pixels wide. Not rounded, so
    // that a wall meets an odd edge exactly.
    const float scale = (float)gfx_scale();
    return {(float)(r.left - ownLeft) / scale, (float)(r.top - ownTop) / scale, (float)(r.right - r.left) / scale,
            (float)(r.bottom - r.top) / scale};
}

bool window_host_away() {
    return hostAway;
}

// Shows or hides the overlay's window for both reasons at once: a full-screen
// window in front, the user's wish. Only the window goes: frames, physics and
// the network go on, so the scene is where it would have been when the window
// comes back. fullscreenChanged: the call is the full-screen state's, which
// the log tells.
static void overlay_apply_hidden(bool fullscreenChanged) {
    const bool hide = hostFullscreen || userHidden;
    if (!IsWindowReady() || hide == IsWindowState(FLAG_WINDOW_HIDDEN)) return;
    if (hide) {
        if (fullscreenChanged) std::cout << "A full-screen window is active: hiding the overlay" << std::endl;
        SetWindowState(FLAG_WINDOW_HIDDEN);
    } else {
        if (fullscreenChanged) std::cout << "No full-screen window any more: showing the overlay" << std::endl;
        ClearWindowState(FLAG_WINDOW_HIDDEN);
    }
}

void overlay_follow_fullscreen(bool fullscreen) {
    hostFullscreen = fullscreen;
    overlay_apply_hidden(true);
}

void overlay_hide_for_user(bool hidden) {
    userHidden = hidden;
    overlay_apply_hidden(false);
}

bool window_rect_plausible(Rectangle r, Vector2 resolution) {
    if (r.x != 0 || r.y != 0) return true;
    if (r.height == 0 || r.width == 0) return false;
    return !(r.width > resolution.x && r.height > resolution.y);
}

void overlay_remove_walls() {
    if (wallIDs == nullptr) return;
    for (int i = 3; i >= 0; i--) DestroyPhysicsBody(GetPhysicsBodyByID(wallIDs[i]));
    delete[] wallIDs;
    wallIDs = nullptr;
}

static const float WINDOW_WALL_THICKNESS = 16;  // pixels, outside the window's rectangle
// Pixels: the mascot's size (128 x 128), the largest body that walks the desktop.
static const float WALL_NARROWEST_SLOT = 128;

static bool same_rect(Rectangle a, Rectangle b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

void overlay_follow(Rectangle r) {
    if (!window_rect_plausible(r, RESOLUTION)) r = wallRect;
    if (wallIDs != nullptr) {
        if (same_rect(r, wallRect)) return;
        overlay_remove_walls();
    }
    // A window standing less than a mascot from its monitor's edge would leave
    // a slot the mascot cannot fit in: pushed into it out of the wall (walls
    // rebuilt around it, a jump ending inside one), it would hang there partly
    // off screen, held between two static walls.
    Rectangle walls[4];
    wallRects(r, WINDOW_WALL_THICKNESS, walls);
    // Measured on the window's monitor, to its floor and to the sides that are
    // walls (a panel's edge included; the edge shared with a monitor beside it
    // is none).
    const Rectangle edges = monitors_walled_area_at({r.x + r.width / 2, r.y + r.height / 2});
    closeNarrowSlots(walls, edges, WALL_NARROWEST_SLOT);
    wallIDs = createWallRects(walls, 2147483647);
    wallRect = r;
}

void overlay_update(float time, float dt) {
    if (!everyInterval(time, dt, 0.1f, 0)) return;
    monitors_follow();
    // One look at the focused window serves the full-screen check and the walls.
    Rectangle r = getWindowPosition();
    overlay_follow_fullscreen(hostFullscreen);
    // Walls would catch a thrown element at a window edge it is dragged
    // across; they come back at the first tick after release.
    if (IsMouseButtonDown(MOUSE_BUTTON_LEFT) || IsMouseButtonDown(MOUSE_BUTTON_RIGHT)) {
        overlay_remove_walls();
        return;
    }
    // A window put away takes its walls with it: what stood on it falls.
    if (hostAway) {
        overlay_remove_walls();
        return;
    }
    overlay_follow(r);
}

void window_disconnect() {
    // The walls' bodies went with the physics world; only the windows are forgotten.
    platform_windows_disconnect();
    currentwindow = 0;
    lastwindow = 0;
}

void window_reset() {
    monitors_reset();
    delete[] wallIDs;
    wallIDs = nullptr;
    wallRect = {0, 0, 0, 0};
    lastRect = {0, 0, 0, 0};
    hostAway = false;
    hostFullscreen = false;
    userHidden = false;
    ownLeft = ownTop = 0;
    currentwindow = 0;
    lastwindow = 0;
}
