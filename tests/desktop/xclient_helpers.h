// A plain X client for desktop tests: a window that stands for "the desktop
// underneath" and records the button presses it receives, plus the pointer
// driven through xdotool. Plain types only, so tests can include this next to
// gfx/raylib.h (Xlib's Font would collide). Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct XClientRect {
    int x, y, w, h;  // window pixels
    bool operator==(const XClientRect&) const = default;
};

struct XClientPress {
    int x, y;     // window-relative position of the press
    int button;   // X button number (1 = left)
};

bool xclient_open();                                   // Own connection to $DISPLAY (retried up to 5 s); false without X
void xclient_close();                                  // Destroy the windows made and close
// A mapped top-level window at (x, y), w x h, that records button presses;
// returns once the server has mapped it, 0 on failure.
uint64_t xclient_make_window(int x, int y, int w, int h, const std::string& title);
void xclient_destroy_window(uint64_t window);          // Unmap and destroy now
// Presses the window has received since the last call (drains the queue).
std::vector<XClientPress> xclient_take_presses(uint64_t window);
// The EWMH properties a window manager would keep, set by hand (no window
// manager runs in the tests): the root's _NET_ACTIVE_WINDOW (0 deletes it)
// and a window's _NET_FRAME_EXTENTS (left, right, top, bottom).
void xclient_set_active(uint64_t window);
void xclient_set_frame_extents(uint64_t window, int left, int right, int top, int bottom);
// The window's input shape (ShapeInput) as the X server holds it, read on this
// connection: rectangles in the server's banded order (y, then x); empty on error.
std::vector<XClientRect> xclient_input_shape(uint64_t window);
// Any other property a window manager or a client would keep: a list of
// atoms (by name) or of 32-bit cardinals on window (0 = the root).
void xclient_set_atoms(uint64_t window, const char* property, const std::vector<std::string>& names);
void xclient_set_cardinals(uint64_t window, const char* property, const std::vector<long>& values);
void xclient_delete_property(uint64_t window, const char* property);
// Run xdotool with args (argument vector, no shell) and wait for it; true on exit status 0.
bool xclient_xdotool(const std::vector<std::string>& args);
