// Private to the Windows platform layer and its tests: the hidden window of
// the notification-area icon (tray_win32.cpp) and the commands of its menu,
// which a test may post as WM_COMMAND exactly as the menu does.
#pragma once

#include <windows.h>

inline constexpr const wchar_t* TRAY_WINDOW_CLASS = L"vimo-tray";  // one such window per companion
inline constexpr UINT TRAY_CALLBACK = WM_APP + 1;      // the icon's mouse messages (lParam: WM_RBUTTONUP, ...)
inline constexpr UINT TRAY_TIP_CHANGED = WM_APP + 2;   // platform_tray_set_tip has a new text

// Menu item ids, the WM_COMMAND wParam of each choice.
enum TrayMenuItem : WORD {
    TRAY_MENU_HIDE_OR_SHOW = 1,  // "Hide for an hour" / "Show"
    TRAY_MENU_AUTOSTART = 2,     // "Start with Windows", ticked while registered
    TRAY_MENU_OPEN_LOG = 3,      // "Open log"
    TRAY_MENU_QUIT = 4,          // "Quit"
};
