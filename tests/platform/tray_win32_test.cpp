// The notification-area icon (Windows, under Wine): its menu's commands reach
// the main thread or the end-request handler, it comes back when the shell
// announces a new notification area (TaskbarCreated), and it is gone after
// platform_tray_stop. The menu's choices are posted as WM_COMMAND, exactly
// what the menu sends; the ids and the window class are tray_win32.cpp's.
#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace {

std::atomic<int> QUIT_NUMBER{0};
void record_quit(int number) { QUIT_NUMBER = number; }

template <class Cond>
bool wait_until(Cond cond, double seconds = 10.0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// Whether the shell knows the icon of window: a tip change succeeds only for a known one.
bool icon_known(HWND window) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = 1;
    data.uFlags = NIF_TIP;
    lstrcpyW(data.szTip, L"probe");
    return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

// The icon's hidden window of this process (FindWindow would also find another program's).
HWND own_tray_window() {
    struct Search {
        HWND found = nullptr;
    } search;
    EnumWindows(
        [](HWND w, LPARAM data) -> BOOL {
            wchar_t name[32] = {};
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid != GetCurrentProcessId() || !GetClassNameW(w, name, 32) || lstrcmpW(name, L"vimo-tray") != 0)
                return TRUE;
            reinterpret_cast<Search*>(data)->found = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

TEST(PlatformTray, MenuCommandsReachTheAppAndTheIconComesBackWithTheShell) {
    PlatformTrayResult result = platform_tray_start("Z:\\no\\such\\icon.ico", "vimo: not logged in",
                                                    "Z:\\no\\such\\vimo.log", record_quit);
    if (result != PLATFORM_TRAY_ADDED) GTEST_SKIP() << "no notification area (Wine without a display)";
    HWND window = own_tray_window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(icon_known(window)) << "a missing .ico file falls back to the system's icon";

    // "Hide for an hour", then, once the app says it is hidden, "Show".
    PostMessageW(window, WM_COMMAND, 1, 0);
    PlatformTrayCommand got = PLATFORM_TRAY_NOTHING;
    ASSERT_TRUE(wait_until([&] { return (got = platform_tray_take_command()) != PLATFORM_TRAY_NOTHING; }));
    EXPECT_EQ(got, PLATFORM_TRAY_HIDE);
    EXPECT_EQ(platform_tray_take_command(), PLATFORM_TRAY_NOTHING) << "a command is taken once";
    platform_tray_set_hidden(true);
    PostMessageW(window, WM_COMMAND, 1, 0);
    ASSERT_TRUE(wait_until([&] { return (got = platform_tray_take_command()) != PLATFORM_TRAY_NOTHING; }));
    EXPECT_EQ(got, PLATFORM_TRAY_SHOW);

    // "Quit" is an interrupt, as Ctrl-C is.
    PostMessageW(window, WM_COMMAND, 4, 0);
    ASSERT_TRUE(wait_until([] { return QUIT_NUMBER.load() != 0; }));
    EXPECT_EQ(QUIT_NUMBER.load(), PLATFORM_END_INTERRUPT);

    // Explorer restarted: its new notification area knows no icons until told.
    NOTIFYICONDATAW gone{};
    gone.cbSize = sizeof gone;
    gone.hWnd = window;
    gone.uID = 1;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &gone));
    ASSERT_FALSE(icon_known(window));
    PostMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(wait_until([&] { return icon_known(window); })) << "not added again after TaskbarCreated";

    platform_tray_set_tip("vimo: logged in as Mira");
    platform_tray_stop();
    // Wine's notification area can keep the icon's thread waiting for seconds.
    EXPECT_TRUE(wait_until([&] { return !IsWindow(window); }, 5));
    EXPECT_TRUE(wait_until([&] { return !icon_known(window); }, 5)) << "an icon left behind after stop";
}
