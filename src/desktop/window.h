// Host-window tracking: finds the overlay's own window, follows the focused
// window and keeps static physics walls around it. Main thread only.
#pragma once

#include "gfx/raylib.h"

void window_connect();                            // Find the overlay's own window (after InitWindow)
Rectangle getWindowPosition();                    // Focused window's rectangle in overlay pixels, all zero when none
void overlay_update(float time, float dt);        // Per frame: rebuild the walls when the rectangle changed
void window_disconnect();                         // Forget the windows (shutdown)
