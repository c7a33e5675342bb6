// The app's side of the notification-area icon (platform.h; Windows only,
// every call does nothing where the platform has no notification area): the
// tooltip follows the login, "Hide for an hour" hides the window until the
// hour is over or "Show" is chosen, "Quit" ends the program as Ctrl-C does
// (handleSignal, on the icon's thread).
//
// Threads: main thread only.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/platform.h"

extern const char* LOG_FILE;        // "vimo.log", beside the executable: the lines of a vimo.exe without a console
extern const char* TRAY_ICON_FILE;  // "assets/vimo.ico": the mascot's face at 16, 24 and 32 px
inline constexpr float TRAY_HIDE_SECONDS = 3600;  // "Hide for an hour", in seconds of running time
inline constexpr float TRAY_TIP_INTERVAL = 1;     // seconds between looks at whether the login changed

// Hidden state of the window as the menu drives it.
struct TrayHide {
    bool hidden = false;  // the window is hidden
    float until = 0;      // running time (seconds) at which it shows again; unused while shown
};
// Apply command (PLATFORM_TRAY_NOTHING: only the clock) at running time time;
// true when the window must be hidden or shown now.
bool tray_hide_step(TrayHide* hide, PlatformTrayCommand command, float time);
// The tooltip: who is logged in (user: USER, null when nobody is), and
// whether the mascot is hidden.
std::string tray_tip(const nlohmann::json& user, bool hidden);

void tray_start();               // After the window opens: add the icon, say in a line whether it is there
void tray_update(float time);    // Once a frame: the menu's command, the end of an hour's hiding, the tooltip
void tray_stop();                // At shutdown: remove the icon
