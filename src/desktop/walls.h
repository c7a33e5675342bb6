// Static walls: the bodies that stop everything else, around the overlay, over
// the parts of it no monitor shows (desktop/monitors.h) and around the focused
// window (desktop/window.h).
//
// Threads: main thread. Hold PhysicsLock around several, so no step sees one
// before it is static (createWalls holds it for its four).
#pragma once

#include "gfx/raylib.h"

// A static rectangle (centre and size in pixels) on collision layer layer, as
// walls are: bouncy, sliding. Returns its body id, -1 when the world was full.
int createStaticRect(Vector2 centre, Vector2 size, int layer);
// Four static walls just outside area (top, bottom, left, right), thickness
// pixels thick, on collision layer layer. Returns a new int[4] of their body
// ids (caller frees with delete[]); an id is -1 when the world was full.
int* createWalls(Rectangle area, float thickness, int layer);
// The rectangles createWalls builds: top, bottom, left, right.
void wallRects(Rectangle area, float thickness, Rectangle out[4]);
// walls: as wallRects gives them. Widen each that leaves a slot wider than zero
// and narrower than narrowest pixels between bounds and itself (the top and
// bottom walls above and below, the side walls left and right), outwards to
// narrowest past that side of bounds: nothing that big fits in the slot, and
// what overlaps the wall is pushed back into bounds, not wedged into the slot.
void closeNarrowSlots(Rectangle walls[4], Rectangle bounds, float narrowest);
// Static walls of the given rectangles (as createWalls, whose ids it returns).
int* createWallRects(const Rectangle walls[4], int layer);
