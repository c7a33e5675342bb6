// What every module of the companion shares and nothing owns more than the
// others: the window's title and size, the monitors it spans, the periodic
// trigger of timed jobs, and the configuration and logged-in user as loaded
// from "config.json". The program directory and file routines are beside
// this, in base/files.h.
//
// Threads: main thread only. RESOLUTION is written once right after the
// window opens and again when a monitor change resizes the overlay
// (desktop/monitors.h, which also keeps MONITORS); CONFIG and USER are
// written by the configuration (app/config.h) and the login, never by a
// network callback.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "gfx/raylib.h"

extern const char* WINDOW_NAME;  // window title "vimo.exe v1.0", also used to find the own window
extern Vector2 RESOLUTION;       // window size in pixels, set once right after the window opens

// The monitors, the primary one first. Never empty once the desktop has read
// them: without a monitor list the whole overlay counts as one monitor.
extern std::vector<Rectangle> MONITORS;
// The monitor that holds point, else the one nearest to it; the whole overlay
// (0, 0, RESOLUTION) when there is no monitor list.
Rectangle monitor_at(Vector2 point);

// True in the frame whose running time passes offset + k * interval (seconds):
// pass the time and dt given to onUpdate.
bool everyInterval(float time, float delta, float interval, float offset);

extern nlohmann::json CONFIG;  // loaded by game_init, written back by game_close
extern nlohmann::json USER;    // the logged-in account, null while nobody is logged in
