// The application shell: process globals, the frame loop split into its
// passes, shutdown, the SIGINT handler, and two helpers other modules use
// (createWalls, everyInterval). main() in main.cpp runs start-up, then
// app_run().
//
// Threads: everything here belongs to the main thread, except handleSignal,
// which the runtime calls on a signal: it only writes its line and sets
// INTERRUPTED (or, once shutdown has completed, ends the process). Frame
// passes read and reset physics bodies under the physics lock (PhysicsLock).
#pragma once

#include <atomic>
#include <csignal>
#include <vector>

#include "gfx/raylib.h"

struct Element;

extern const char* WINDOW_NAME;       // window title "vimo.exe v1.0", also used to find the own window
extern Vector2 RESOLUTION;            // window size in pixels, set once right after the window opens
extern std::atomic<bool> cleaned_up;  // true once the shutdown sequence has run (read by handleSignal)
// True when no compositing manager runs (checked once after the window
// opens): a transparent window would then show black over the whole screen,
// so each frame cuts the window down to what its elements draw.
extern bool SHAPED_WINDOW;
// Signal number that asked the loop to end (SIGINT = 2), 0 while none did.
// Written only by handleSignal, read by the frame loop.
extern volatile std::sig_atomic_t INTERRUPTED;

// ---- Helpers for every module ----------------------------------------------------
// Four static walls just outside area (top, bottom, left, right), thickness
// pixels thick, on collision layer layer. Returns a new int[4] of their body
// ids (caller frees with delete[]); an id is -1 when the world was full.
int* createWalls(Rectangle area, float thickness, int layer);
// True in the frame whose running time passes offset + k * interval (seconds):
// pass the time and dt given to onUpdate.
bool everyInterval(float time, float delta, float interval, float offset);

// ---- Shutdown and signals ---------------------------------------------------------
void cleanup();               // Shutdown sequence; does nothing once cleaned_up is true
void handleSignal(int sig);   // SIGINT handler: print "Interrupt signal (2) received.", end the loop

// ---- The frame loop, pass by pass (tests drive these without main) ------------------
void frame_remove_queued();                                // 1: destroy ELEMENTS_TO_BE_REMOVED in queue order
// 5: update pass over a copy of ELEMENTS: sync from body, onUpdate, collision,
// hover test. Returns the hovered element (last hit), or null.
Element* frame_update(float dt, float time, Vector2 mouse);
void frame_deliver_collision(Element* e);                  // 5.3: hand the body's record to onCollide once, reset it
void frame_draw_elements(float dt);                        // 7 (inside a drawing frame): drawables, then onDraw
void frame_draw(float dt);                                 // 7: BeginDrawing, transparent clear, elements, EndDrawing
float frame_run_once(float time);                          // One whole frame at running time time; returns its dt
// Screen-aligned bounds of every drawable of every element (window pixels,
// turned and mirrored as drawn): the window's shape without a compositor.
std::vector<Rectangle> frame_shape_rects();
void frame_update_shape();                                 // With SHAPED_WINDOW: cut the window to frame_shape_rects
void app_check_compositor();                               // After InitWindow: set SHAPED_WINDOW, say so when set
bool app_should_stop();                                    // Close request or an interrupt
// Run frames until app_should_stop, then cleanup if it has not run. Returns
// the exit status: 0 after a close request, the signal number after one.
int app_run();
