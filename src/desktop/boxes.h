// Screen boxes of elements in whole window pixels, shared by the two X
// regions the overlay keeps: the input region (desktop/input.h), which must
// hold every point the hover test accepts, and the bounding region of the cut
// window (desktop/shape.h), which must hold the input region or a click on an
// element would fall through. One formula here keeps the two in agreement.
//
// Pure functions of their arguments; any thread, though callers are the frame loop's.
#pragma once

#include <vector>

#include "gfx/raylib.h"

struct Element;

// Pixels of margin around a hover box: the hover test takes a float pointer
// position with its bounds included, so a pixel more on every side covers
// every pointer position it accepts whatever the rounding.
constexpr float BOX_HOVER_MARGIN = 1.0f;

// Whole pixels touched by the screen-aligned bounds of a w x h rectangle
// centred on centre and turned by degrees (clockwise on screen), grown by
// margin pixels on every side.
Rectangle box_turned(Vector2 centre, float w, float h, float degrees, float margin);
// Clip box to the window (0, 0, window.x, window.y); false when nothing is
// left. With window.x or window.y <= 0 (no window yet) box is kept as it is.
bool box_clip(Rectangle* box, Vector2 window);
// The screen-aligned bounds of the box input_check tests (e's size centred on
// its position, turned by its rotation), in whole pixels with BOX_HOVER_MARGIN;
// false for an element that is never hovered (clickThrough) or has no area.
bool box_hover(const Element* e, Rectangle* out);
// Whether two region lists hold the same rectangles in the same order (the
// regions are sent to the X server only when this is false).
bool boxes_equal(const std::vector<Rectangle>& a, const std::vector<Rectangle>& b);
