// The configuration file "config.json" and the start of the scene: loading
// CONFIG (base/base.h, beside USER), the online features' start-up and the
// mascot (vimo_create, mascot/vimo.h). Main thread only: network callbacks
// never touch CONFIG or USER.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "base/base.h"

struct Element;

extern const std::string DEFAULT_CONFIG;  // "{}": used when "config.json" is missing or empty

void game_init();                      // Load the configuration and create the mascot
void game_close(Element* e);           // Write "config.json" (the mascot's onDestroy; e is not read)

// The first step of game_init, apart so that it can run on its own (tests).
// config_load reads "config.json" into CONFIG, generates a missing login id,
// writes the file at once when there was no usable one and hands CONFIG to the
// endpoint settings; true when the file was usable. A file that is not JSON,
// or whose top level is neither an object nor null, is reported, kept as
// "config.json.bak" (never replacing an older, different backup) and replaced
// by the default; a login id still readable in it is kept.
bool config_load();
std::string config_dump();             // CONFIG in the compact form written to "config.json"

// ---- HiDPI scale (before the window opens) ----------------------------------------
// The scale is chosen before InitWindow, ahead of config_load: config.json's
// integer "scale" 1..3; when absent, null or 0, the desktop's setting:
// GDK_SCALE (a whole number, at most 3 used), else the X resource Xft.dpi as
// round(dpi / 96) within 1..3, else 1. Any other "scale" is reported and the
// desktop's setting used. The key stays in CONFIG and is saved back like any other.
struct ConfigScale {
    int scale;             // physical pixels per logical pixel, 1..3
    std::string source;    // where it came from, for the start-up line ("config.json", "GDK_SCALE", ...)
    std::string problem;   // why config.json's "scale" was passed over; "" when it was absent or used
};
// The choice from config.json's "scale" value (null when absent), GDK_SCALE's
// text (null when unset) and the X resource database's text ("" when none).
ConfigScale config_scale_choose(const nlohmann::json& configured, const char* gdkScale, const std::string& xResources);
// Read "scale" alone from config.json (the file is not changed), GDK_SCALE and
// the X resources; print the choice (and any problem) on stdout; return the scale.
int config_scale_read();
