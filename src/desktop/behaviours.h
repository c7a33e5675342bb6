// Generic element behaviours that other features plug into an element's
// callback slots or call directly: drag-and-throw, limited life, bursting.
// They live in desktop because they build on the pointer (a removed element
// lets go of it) and on draw (a burst piece takes its drawable's measured size).
// Main thread only. Forces are written under the physics world's lock and
// taken up by its next step.
#pragma once

#include "gfx/raylib.h"

struct Element;

// onDrag: pull e's body towards the pointer (force overwritten, renewed every
// frame while held); on release the body keeps its speed and is thrown.
// previousMouse and button are not read. Nothing happens without a body.
void genericDragElement(Element* e, Vector2 previousMouse, Vector2 mouse, MouseButton button);
// onUpdate: count the float property "life" (seconds) down by dt and queue e
// for removal once it is 0 or less. time is not read; no "life": nothing.
void genericTemporaryElement(Element* e, float dt, float time);
// Replace element by one free-flying element per drawable (last drawable
// first), each pushed outwards by its turned offset x force plus the
// element's own speed, living between life and 2 x life seconds (life <= 0:
// until removed otherwise). element is queued for removal.
void explodeIntoDrawables(Element* element, float force, float life);
