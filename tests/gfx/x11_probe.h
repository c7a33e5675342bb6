// Test-side X11 probes (x11_probe_helpers.cpp), on a connection of their own.
#pragma once

int probe_input_shape_rects(unsigned long window);  // Rectangles in the window's input shape, -1 without X
// The input shape's rectangles as x, y, w, h into xywh (at most max); returns
// how many there are, -1 without X.
int probe_input_shape(unsigned long window, int* xywh, int max);
bool probe_window_title(unsigned long window, char* out, int size);  // WM_NAME of the window
bool probe_window_size(unsigned long window, int* width, int* height);  // Window size as X sees it
#include <string>
// Names of the atoms in a window's ATOM-list property, each followed by a blank; "" when unset.
std::string probe_window_atoms(unsigned long window, const char* property);
long probe_window_cardinal(unsigned long window, const char* property);  // First item of a CARDINAL property, -1 when unset
int probe_wm_input(unsigned long window);        // WM_HINTS input field: 1, 0, or -1 when not given
bool probe_window_mapped(unsigned long window);  // map_state is not IsUnmapped
bool probe_warp_pointer(int x, int y);           // Move the pointer to (x, y) on the screen
