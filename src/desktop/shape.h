// The overlay without a compositing manager. On X11 a transparent window
// shows black wherever nothing is drawn unless a compositing manager runs, so
// the whole screen would go dark. Then the window is cut (X Shape bounding
// region) to the pixels its elements draw inside the screen-aligned boxes
// they occupy, and the desktop stays visible and usable around them, also at
// the transparent corners of a picture and around a turned box. With a compositor the window
// is whole and plain transparency does the job. A compositor that starts or
// stops while the program runs is noticed within a second.
//
// The bounding region is separate from the input region that pointer input
// keeps on the elements' hover boxes (desktop/input.h): X takes their
// intersection, so the hover boxes are among the boxes searched for pixels
// (both come from box_hover in desktop/boxes.h), and everything outside the
// cut, a picture's transparent corner included, lets the pointer through.
//
// Threads: main thread only (the frame loop); every global below belongs to it.
#pragma once

#include <vector>

#include "gfx/raylib.h"

struct Element;

// True while the window is cut to its elements (no compositing manager);
// false before shape_start and while a compositor runs.
extern bool SHAPED_WINDOW;

// Seams to the graphics layer, replaced by tests; default to
// gfx_compositor_running, gfx_set_window_shape_drawn (the boxes, cut to the
// frame's pixels at EndDrawing) and gfx_clear_window_shape.
extern bool (*SHAPE_COMPOSITOR_RUNNING)(void);
extern void (*SHAPE_SET)(const Rectangle* rects, int count);
extern void (*SHAPE_CLEAR)(void);

// Seconds between two compositor queries (each is one X round trip).
constexpr double SHAPE_POLL_INTERVAL = 1.0;

// Whole-pixel, screen-aligned rectangles (window pixels) that cover what the
// elements occupy: for every element that can be hovered its turned box, and
// every drawable as drawn (turned, mirrored, text measured), each with a margin
// of a pixel or two for filtering and glyph padding. Boxes that lie inside an
// earlier box of the same element are left out; with window.x and window.y > 0
// the rectangles are clipped to the window and empty ones dropped.
std::vector<Rectangle> shape_rects(const std::vector<Element*>& elements, Vector2 window);
// After InitWindow: query the compositor, set SHAPED_WINDOW, print one line on
// standard output when there is none and cut the window (empty at first).
void shape_start(void);
// Once per frame, after the draw pass and before EndDrawing so that the cut
// matches the frame being shown; now = seconds (GetTime). Polls the compositor
// every SHAPE_POLL_INTERVAL and switches (with a line) when it started or
// stopped; while shaped, sends a new region only when the rectangles changed.
// Does nothing before shape_start.
void shape_update(double now);
// Back to the state before shape_start (tests): whole window, seams untouched.
void shape_reset(void);
