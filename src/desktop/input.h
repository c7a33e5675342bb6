// Pointer input and click-through: hit tests elements against the cursor,
// switches the window's mouse passthrough, dispatches onClick/onDrag/onRelease.
// Main thread only: every global below belongs to the frame loop.
//
// The window takes the mouse exactly while an element is hovered. Passthrough
// is switched only on hover transitions (and when the hovered element is
// deleted), never every frame.
#pragma once

#include "gfx/raylib.h"

struct Element;
struct GLFWwindow;

extern GLFWwindow* input_window;   // the window raylib opened; null before input_initialize
extern Element* held;              // element that got the last press and is not released yet; null = free
extern MouseButton held_button;    // the button holding `held` (passed to its onDrag)
extern Vector2 prev_mouse;         // pointer at the end of the previous input_update, window pixels
extern Element* prev_detected;     // element hovered in the previous frame; null = window is click-through
extern int input_passthrough_switches;  // click-through switches requested so far (diagnostics and tests)

void input_initialize();                          // Remember the window raylib opened (after InitWindow)
Vector2 input_poll();                             // Cursor position in window pixels; (0, 0) without a window
bool input_check(Element* e, Vector2 point);      // Is point inside e's turned box (bounds included)
void input_update(Element* hovered, Vector2 mouse);  // Switch click-through, dispatch callbacks; hovered may be null
void input_deleted(Element* e);                   // Forget e (it is being removed); gives click-through back if e was hovered
void input_reset();                               // Back to the start-up state (no window, nothing hovered or held)
