// The monitors the overlay spans, and the world's solid edges: walls around the
// whole overlay and static bodies over every part of it that no monitor shows
// (beside a smaller monitor, say), so nothing comes to rest where the user
// cannot see it. A monitor added, removed or resized while running is followed.
//
// The list itself (MONITORS) and monitor_at sit in base/base.h, so that every
// module can place things on a monitor; this module keeps the list current.
//
// Threads: main thread only. Rectangles are in overlay pixels.
#pragma once

#include <vector>

#include "base/base.h"
#include "gfx/raylib.h"

// The parts of screen that no monitor covers, as few rectangles as bands of
// monitor edges give (each band's gaps, merged down where they line up).
std::vector<Rectangle> monitors_dead_areas(Rectangle screen, const std::vector<Rectangle>& monitors);
// Read the monitors and build the screen walls and the dead areas' bodies
// (after InitPhysics and window_connect).
void monitors_start();
// On a monitor change since the last call: read the monitors again, resize the
// overlay to the screen, rebuild walls and dead areas, and bring every element
// left outside all monitors back onto the nearest one. Cheap when nothing changed.
void monitors_follow();
// Take monitors (overlay pixels; empty: the whole overlay is one) as the
// monitors: rebuild walls and dead areas, then gather strays.
void monitors_apply(std::vector<Rectangle> monitors);
// Move each physics element whose centre lies outside every monitor onto the
// nearest monitor, at rest.
void monitors_gather_strays();
// Forget the monitors and the bodies' ids (the bodies go with the physics world).
void monitors_reset();
