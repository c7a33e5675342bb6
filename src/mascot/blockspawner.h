// The block spawner toy: while active, a full-window element on top catches
// every click; a left click drops a 128 x 128 box of a random colour at the
// pointer, a right click ends placing. Boxes stay, can be dragged and thrown,
// and a right click on one removes it.
//
// Threads: main thread only.
#pragma once

#include "gfx/raylib.h"

struct Element;

extern Element* blockspawner;  // the spawner element while placing is active; null otherwise

Element* blockspawner_spawn();  // Start placing: spawner element plus the instruction bubble
void blockspawner_click(Element* spawner, Vector2 mouse, MouseButton button);  // Left: a box; right: stop placing
void block_click(Element* box, Vector2 mouse, MouseButton button);  // Right: remove the box
// One box at mouse with a random colour; null (and nothing made) when the
// physics world has no room for another body.
Element* blockspawner_box(Vector2 mouse);
