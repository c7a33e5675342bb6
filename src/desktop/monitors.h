// The monitors the overlay spans, and the world's solid edges: walls around the
// whole overlay and static bodies over every part of it that no monitor shows
// (beside a smaller monitor, say), so nothing comes to rest where the user
// cannot see it. A monitor added, removed or resized while running is
// followed, and so is a panel (taskbar, dock) on a monitor's bottom, left or
// right edge: the floor is the bottom of the monitor's work area, the side
// walls its sides.
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
// The part of each monitor the world keeps open, given its work area (same
// order; a missing one counts as the whole monitor): down to the work area's
// bottom and between its sides, so a panel below or beside is solid ground or
// wall, but up to the monitor's own top, so chat boxes still drop in from the
// top of the screen through a panel there.
std::vector<Rectangle> monitors_open_areas(const std::vector<Rectangle>& monitors, const std::vector<Rectangle>& work);
// Read the monitors and their work areas and build the screen walls and the
// solid bodies (after InitPhysics and window_connect).
void monitors_start();
// On a monitor change since the last call: read the monitors again, resize the
// overlay to the screen, rebuild walls and solid bodies, and bring every element
// left where the world is solid back onto the nearest monitor. On a panel that
// came, moved or went (the work areas changed): the same without the resize.
// Cheap when nothing changed.
void monitors_follow();
// Take monitors (overlay pixels; empty: the whole overlay is one) as the
// monitors and work (same order; empty: no panels) as their work areas:
// rebuild walls and solid bodies, then gather strays.
void monitors_apply(std::vector<Rectangle> monitors, std::vector<Rectangle> work = {});
// Move each physics element whose centre lies outside every monitor's open
// area, or whose box reaches into solid ground (a panel that appeared under
// it), into the open area of its nearest monitor, at rest.
void monitors_gather_strays();
// The open area of the monitor nearest to point (the whole overlay when no
// monitor is known), reaching far past each side where another monitor's open
// area goes on (no wall there): the solid edges around point.
Rectangle monitors_walled_area_at(Vector2 point);
// Forget the monitors and the bodies' ids (the bodies go with the physics world).
void monitors_reset();
