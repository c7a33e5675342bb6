// Host-window tracking and walls. See window.h.
#include "desktop/window.h"

#include <iostream>

#include "app/app.h"
#include "physics/physics.h"
#include "platform/platform.h"

uint64_t currentwindow = 0;
uint64_t lastwindow = 0;
int* wallIDs = nullptr;
Rectangle wallRect = {0, 0, 0, 0};

// Last rectangle read successfully, in overlay pixels. A window that closes
// between two looks cannot be asked any more; its last rectangle stands in.
static Rectangle lastRect = {0, 0, 0, 0};

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
    uint64_t w = platform_foreground_window();
    // While the overlay itself has the focus, stay with the window before it.
    if (w == 0 || w == currentwindow) w = lastwindow;
    if (w == 0) return {0, 0, 0, 0};
    PlatformRect r;
    if (!platform_window_rect(w, &r)) {
        if (w == lastwindow) lastwindow = 0;  // gone: do not ask it again
        return lastRect;
    }
    lastwindow = w;
    // The overlay need not sit at the screen origin (a second monitor, a
    // panel above it); walls live in its pixels.
    PlatformRect own;
    int ox = 0, oy = 0;
    if (currentwindow != 0 && platform_window_rect(currentwindow, &own)) {
        ox = own.left;
        oy = own.top;
    }
    lastRect = {(float)(r.left - ox), (float)(r.top - oy), (float)(r.right - r.left), (float)(r.bottom - r.top)};
    return lastRect;
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

static bool same_rect(Rectangle a, Rectangle b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

void overlay_follow(Rectangle r) {
    if (!window_rect_plausible(r, RESOLUTION)) r = wallRect;
    if (wallIDs != nullptr) {
        if (same_rect(r, wallRect)) return;
        overlay_remove_walls();
    }
    wallIDs = createWalls(r, 16, 2147483647);
    wallRect = r;
}

void overlay_update(float time, float dt) {
    if (!everyInterval(time, dt, 0.1f, 0)) return;
    // Walls would catch a thrown element at a window edge it is dragged
    // across; they come back at the first tick after release.
    if (IsMouseButtonDown(MOUSE_BUTTON_LEFT) || IsMouseButtonDown(MOUSE_BUTTON_RIGHT)) {
        overlay_remove_walls();
        return;
    }
    overlay_follow(getWindowPosition());
}

void window_disconnect() {
    // The walls' bodies went with the physics world; only the windows are forgotten.
    platform_windows_disconnect();
    currentwindow = 0;
    lastwindow = 0;
}

void window_reset() {
    delete[] wallIDs;
    wallIDs = nullptr;
    wallRect = {0, 0, 0, 0};
    lastRect = {0, 0, 0, 0};
    currentwindow = 0;
    lastwindow = 0;
}
