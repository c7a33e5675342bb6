// Host-window tracking: finds the overlay's own window, follows the focused
// window and keeps static physics walls around it. Main thread only: every
// global below belongs to the frame loop. Walls are created and destroyed
// through the physics world's public calls, which serialise with its thread.
//
// Rectangles are in overlay pixels (the overlay's window origin subtracted,
// then divided by gfx_scale()), window-manager frame included, a client-drawn
// shadow (GTK) left out: the window as the user sees it.
//
// A focused (or last focused) window that is minimised, on another workspace,
// unmapped or closed has no walls until a window shows again; a look that
// fails for another reason (the X server did not answer) keeps the last
// rectangle. While the focused window is full screen the overlay's own window
// is hidden; the scene keeps running behind it.
#pragma once

#include <cstdint>

#include "gfx/raylib.h"
#include "platform/platform.h"

extern uint64_t currentwindow;  // the overlay's own window (X window id); 0 = not found
extern uint64_t lastwindow;     // last window whose rectangle was taken; 0 = none yet
extern int* wallIDs;            // the 4 body ids of the current walls (array new); null = no walls
extern Rectangle wallRect;      // rectangle the walls were last built for; all zero at start

void window_connect();                            // Find the overlay's own window (after InitWindow)
// Matching step of the search: window is what the title lookup found (0 =
// nothing). Remembers and announces a match; returns nonzero to go on
// searching, zero when done.
int check_window(uint64_t window, long long parameter);
Rectangle getWindowPosition();                    // Focused window's rectangle in overlay pixels, all zero when none
void overlay_origin_update();                     // Read the overlay's own screen position again (kept when hidden)
Rectangle screen_to_overlay(const PlatformRect& r);  // Screen pixels to overlay pixels (origin as last read, scale)
void overlay_update(float time, float dt);        // Per frame: full-screen check, rebuild the walls when the rectangle changed
void window_disconnect();                         // Forget the windows (shutdown)

// False for the rectangles the walls must not follow: the all-zero answer and
// any rectangle at the screen origin with no height, no width, or larger than
// the screen in both directions.
bool window_rect_plausible(Rectangle r, Vector2 resolution);
// The walls' part of a tick with no button held: rebuild them around r when
// it differs from wallRect (or none exist); an implausible r keeps wallRect.
void overlay_follow(Rectangle r);
// True when the last getWindowPosition found the tracked window put away
// (minimised, another workspace, unmapped, closed): it then answered all zero.
bool window_host_away();
// Hide the overlay's window while fullscreen is true, show it again (same
// properties, on top) when it is not; nothing when already so or no window.
// While the user has hidden the overlay it stays hidden whatever the full-screen state.
void overlay_follow_fullscreen(bool fullscreen);
// Hide the overlay's window at the user's wish (the Windows notification
// icon's "Hide for an hour"), or let it show again unless a full-screen
// window keeps it hidden. Frames go on as for a full-screen window.
void overlay_hide_for_user(bool hidden);
void overlay_remove_walls();                      // Destroy the current walls, if any (wallRect unchanged)
void window_reset();                              // Back to the start-up state (walls forgotten, not destroyed)
