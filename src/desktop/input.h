// Pointer input and click-through: hit tests elements against the cursor,
// switches the window's mouse passthrough, dispatches onClick/onDrag/onRelease.
// Main thread only.
#pragma once

#include "gfx/raylib.h"

struct Element;

void input_initialize();                          // Remember the window raylib opened (after InitWindow)
Vector2 input_poll();                             // Cursor position in window pixels
bool input_check(Element* e, Vector2 point);      // Is point inside e's turned box
void input_update(Element* hovered, Vector2 mouse);  // Switch click-through, dispatch callbacks; hovered may be null
void input_deleted(Element* e);                   // Forget e (it is being removed)
