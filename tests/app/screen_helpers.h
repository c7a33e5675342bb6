// What the X server holds for a window, read on a connection of the test's
// own: the pixels last presented (not the GL back buffer) and a forced
// expose. Plain types, so tests include this beside gfx/raylib.h (Xlib's
// Font would collide). Main thread only.
#pragma once

#include <cstdint>

// RGB of the window's pixel (x, y) as the server shows it, 0xRRGGBB; -1 on error.
long screen_window_pixel(uint64_t window, int x, int y);
// Make the server send the window an Expose for its whole area, as when a
// window above it goes away without a compositor. False on error.
bool screen_expose(uint64_t window);
