// Speech bubbles and menus: a nine-slice frame with lines of pixel-font text,
// floating to the upper right of the mascot. Every line can be clicked; the
// bubble's chooser learns the drawable index that was hit (0 = the frame,
// line k = index k + 1, -1 = nothing). At most one bubble is open: `menu`.
// The mascot's main menu (right click on the mascot) is the mascot's own
// (mascot/vimo.h).
//
// Threads: main thread only (element registry and `menu`). Network callbacks
// that want a bubble closed hand that over to the main thread.
#pragma once

#include <string>
#include <vector>

#include "gfx/raylib.h"

struct Drawable;
struct Element;

typedef void (*MenuChosenFn)(Element* bubble, int index);  // a bubble's "onChosen" handler

extern Element* menu;  // the open bubble; null when none is open

// Build and register a bubble (layer 1, no body) with one text line per entry
// of lines, centred vertically at positions[i] (pixels down in the bubble),
// make it the open menu and stop the mascot. Does not close an open bubble.
// positions must hold one entry per line.
Element* spawn_menu(std::vector<std::string> lines, std::vector<float> positions, MenuChosenFn onChosen);
Drawable menu_addText(Element* bubble, std::string text);   // Append one black 16 px line (wraps at half the screen)
void menu_update(Element* bubble, float dt, float time);     // onUpdate: keep the bubble above right of the mascot
void menu_click(Element* bubble, Vector2 mouse, MouseButton button);  // onClick: close for lines after the first, tell the chooser
void menu_destroy();                                          // Burst the open bubble (force 64, life 5); nothing when none
void onChosen_noop(Element* bubble, int index);               // Chooser of bubbles that only speak
