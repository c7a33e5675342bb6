// The mascot's behaviour: wandering along the screen floor and onto the
// focused window, jumps, being held and thrown, the pose picture, and its
// main menu (right click). The live state and the menu's online choices are
// reached through vimo_hooks (mascot/vimo_hooks.h); the periodic online jobs
// are the frame loop's (online_tick in online/online.h).
//
// Threads: main thread only; every global below belongs to the frame loop.
// The mascot's body is shared with the physics thread and is touched under
// the physics world's lock.
#pragma once

#include <string>

#include "gfx/raylib.h"

struct Element;
struct PhysicsBodyData;

// Wandering and pose state (seconds unless said otherwise).
extern float vimo_move_timer;    // time until the next walk is chosen; randf() x 5 at creation
extern float vimo_walk_timer;    // time left of the current walk; > 0 = walking
extern float vimo_target_x;      // body x velocity while walking, pixels per millisecond
extern float vimo_state_timer;   // time left of the "landed" or "bumped" pose (shared by both)
extern bool vimo_was_thrown;     // released by the pointer and not yet finished landing
extern bool vimo_was_grounded;   // the body's isGrounded at the end of the previous frame
extern std::string vimo_pose_name;  // the pose chosen in the last update ("" before the first)

void vimo_reset();               // Module state back to its start values (vimo_move_timer drawn anew)

extern Element* vimo;            // the mascot element made by vimo_create

// Create the mascot element into vimo (needs the physics world): 128 x 128,
// layer 0, a body, the callbacks below; onDestroy is left to the caller
// (game_init makes it save "config.json").
void vimo_create();

// onUpdate of the mascot: wandering, pose, collision layer, picture.
// Works on the global vimo (e is that element).
void vimo_update(Element* e, float dt, float time);
// onDrag: genericDragElement, except while the stream is live and not snoozed.
void vimo_drag(Element* e, Vector2 previousMouse, Vector2 mouse, MouseButton button);
// onRelease: a throw starts (vimo_was_thrown, not grounded), live or not.
void vimo_release(Element* e, Vector2 previousMouse, Vector2 mouse, MouseButton button);

// The steps of vimo_update, apart so they can be driven one by one.
void vimo_wander(PhysicsBodyData* body, float dt);            // Walk on or choose a new walk (if free to)
std::string vimo_pose(PhysicsBodyData* body, float dt, float time);  // Pose row, throw machine, side effects
bool vimo_live_blocking();       // The stream is live and its notice not snoozed
// Standing on something: the body's isGrounded, or a push from below in its
// collision record since the last frame (bodies made after the mascot, such
// as the window walls, never set the mascot's isGrounded).
bool vimo_grounded(PhysicsBodyData* body);

// ---- The main menu ------------------------------------------------------------------
void vimo_click(Element* mascot, Vector2 mouse, MouseButton button);  // Mascot's onClick: right button opens the main menu
void mainMenu_chosen(Element* bubble, int index);             // Main menu chooser: log in / commune, blocks, dismiss
