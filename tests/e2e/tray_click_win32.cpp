// vimo_tray_click.exe ITEM: choose ITEM of the running companion's
// notification-icon menu, as the menu does when it is clicked: a WM_COMMAND
// with the item's id to the icon's window. ITEM is quit, hide-or-show or
// autostart; "menu" instead opens the menu as a right click on the icon does.
// Exit status 0 when the message was posted, 1 when no companion has an
// icon window, 2 for an unknown ITEM.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/tray_win32.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    HWND tray = FindWindowW(TRAY_WINDOW_CLASS, nullptr);
    if (tray == nullptr) {
        std::printf("no notification icon window\n");
        return 1;
    }
    const char* item = argv[1];
    BOOL posted = FALSE;
    if (std::strcmp(item, "menu") == 0) {
        posted = PostMessageW(tray, TRAY_CALLBACK, 0, WM_RBUTTONUP);
    } else if (std::strcmp(item, "quit") == 0) {
        posted = PostMessageW(tray, WM_COMMAND, TRAY_MENU_QUIT, 0);
    } else if (std::strcmp(item, "hide-or-show") == 0) {
        posted = PostMessageW(tray, WM_COMMAND, TRAY_MENU_HIDE_OR_SHOW, 0);
    } else if (std::strcmp(item, "autostart") == 0) {
        posted = PostMessageW(tray, WM_COMMAND, TRAY_MENU_AUTOSTART, 0);
    } else {
        return 2;
    }
    std::printf("posted %s: %s\n", item, posted ? "yes" : "no");
    return posted ? 0 : 1;
}
