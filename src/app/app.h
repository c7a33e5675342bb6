// The application shell: process globals, the frame loop split into its
// passes, shutdown and the SIGINT handler. main() in main.cpp runs start-up,
// then app_run(). It sits on top of every other module; what they share
// (RESOLUTION, everyInterval, the file routines) is in base/.
//
// Threads: everything here belongs to the main thread, except handleSignal,
// which the platform calls on an end request (platform_on_end_request: a
// signal handler on Linux, a thread of its own on Windows): it only writes its
// line and sets INTERRUPTED (or, once shutdown has started or completed, ends
// the process). Frame passes read and reset physics bodies under the physics
// lock (PhysicsLock).
#pragma once

#include <atomic>
#include <vector>

#include "base/base.h"
#include "gfx/raylib.h"
#include "platform/platform.h"

struct Element;

extern std::atomic<bool> cleaned_up;  // true once the shutdown sequence has run (read by handleSignal)
// Signal number that asked the loop to end (SIGINT = 2, SIGTERM 15, SIGHUP 1), 0 while none did.
// Written only by handleSignal, read by the frame loop. Atomic (and lock-free,
// so a signal handler may write it) because on Windows the handler runs on
// another thread.
extern std::atomic<int> INTERRUPTED;

// ---- Shutdown and signals ---------------------------------------------------------
// Signals that end the program as Ctrl-C does: SIGINT, and SIGTERM and SIGHUP,
// which a session manager sends at logout (platform.h says what stands for
// them on Windows).
inline constexpr int APP_END_SIGNALS[] = {PLATFORM_END_INTERRUPT, PLATFORM_END_TERMINATE, PLATFORM_END_HANGUP};
inline constexpr int APP_DISPLAY_LOST_STATUS = 1;  // exit status when the X server went away

void cleanup();               // Shutdown sequence; does nothing once cleaned_up is true
// Handler of APP_END_SIGNALS: print "Interrupt signal (N) received." and end
// the loop; another signal more than a second later, while the shutdown still
// runs, leaves at once.
void handleSignal(int sig);
// The connection to the display broke (called from the graphics layer, main
// thread, inside an X call): print a line, run the shutdown sequence without
// the steps that need the display (config.json is saved), and exit with
// APP_DISPLAY_LOST_STATUS. Does not return.
[[noreturn]] void app_display_lost();

// ---- The frame loop, pass by pass (tests drive these without main) ------------------
void frame_remove_queued();                                // 1: destroy ELEMENTS_TO_BE_REMOVED in queue order
// 5: update pass over a copy of ELEMENTS: sync from body, onUpdate, collision,
// hover test. Returns the hovered element (last hit), or null.
Element* frame_update(float dt, float time, Vector2 mouse);
void frame_deliver_collision(Element* e);                  // 5.3: hand the body's record to onCollide once, reset it
void frame_draw_elements(float dt);                        // 7 (inside a drawing frame): drawables, then onDraw
void frame_draw(float dt);                                 // 7: BeginDrawing, transparent clear, elements, window shape (desktop/shape.h), EndDrawing
float frame_run_once(float time);                          // One whole frame at running time time; returns its dt
bool app_should_stop();                                    // Close request or an interrupt
// Run frames until app_should_stop, then cleanup if it has not run. Returns
// the exit status: 0 after a close request, the signal number after one.
int app_run();
