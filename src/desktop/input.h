// Pointer input and click-through: hit tests elements against the cursor,
// keeps the window's input region on the elements, dispatches
// onClick/onDrag/onRelease.
// Main thread only: every global below belongs to the frame loop.
//
// The window takes the pointer only over the boxes of the elements that can be
// hovered (box_hover in desktop/boxes.h: the turned box's screen-aligned
// bounds), so a click anywhere else reaches the window below, also while an
// element is hovered. Under XWayland this is also what lets the program see the
// pointer at all: the X server learns its position only over a surface that
// takes input. While an element is held (a drag), the whole window takes the
// pointer, so that a pointer that outruns the element is not lost to the
// desktop. The region is sent only when its rectangles change; an idle frame
// makes no X request.
#pragma once

#include <vector>

#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"

struct Element;

extern GfxWindow* input_window;    // the window raylib opened; null before input_initialize
extern Element* held;              // element that got the last press and is not released yet; null = free
extern MouseButton held_button;    // the button holding `held` (passed to its onDrag)
extern Vector2 prev_mouse;         // pointer at the end of the previous input_update, window pixels
extern Element* prev_detected;     // element hovered in the previous frame; null = none
extern int input_region_sends;     // input regions sent to the window so far (diagnostics and tests)
// Seam to the graphics layer, replaced by tests; defaults to gfx_set_input_region.
extern void (*INPUT_SET_REGION)(const Rectangle* rects, int count);

// Remember the window raylib opened (after InitWindow); the next update sends the region.
void input_initialize();
Vector2 input_poll();                             // Cursor position in (logical) window pixels; (0, 0) without a window
bool input_check(Element* e, Vector2 point);      // Is point inside e's turned box (bounds included)
// Dispatch callbacks, then send the input region if it changed; hovered may be null.
void input_update(Element* hovered, Vector2 mouse);
// Forget e (it is being removed) and take its box out of the input region at
// once, so a click where it was reaches the desktop before the next frame.
// Listens to the element registry's removals from program start.
void input_deleted(Element* e);
// The input region the window should have now, in window pixels: the whole
// window (0, 0, window.x, window.y) while an element is held, else the hover
// boxes of the elements in ELEMENTS that are not queued for removal and not
// `leaving`, clipped to the window (unclipped with window.x or window.y <= 0).
std::vector<Rectangle> input_region(Vector2 window, const Element* leaving = nullptr);
// Back to the start-up state (no window, nothing hovered or held, no region sent).
void input_reset();
