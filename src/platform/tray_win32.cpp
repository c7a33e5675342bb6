// The notification-area icon and the log-on start (platform.h), Windows.
//
// Threads: the icon lives on a thread of its own with a hidden top-level
// window (not a message-only one: those never hear the TaskbarCreated
// broadcast), so its menu works while the frame loop draws, and so its Quit
// reaches the end-request handler as Ctrl-C does. The main thread talks to it
// by posting messages; the tip is handed over under TRAY.mutex, the hidden
// state and the pending command are atomics.
#include "platform/platform.h"
#include "platform/wide_win32.h"

#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <mutex>
#include <string>

namespace {

constexpr const wchar_t* TRAY_WINDOW_CLASS = L"vimo-tray";  // one such window per companion
constexpr UINT TRAY_CALLBACK = WM_APP + 1;     // the icon's mouse messages (lParam: WM_RBUTTONUP, ...)
constexpr UINT TRAY_TIP_CHANGED = WM_APP + 2;  // platform_tray_set_tip has a new text
constexpr UINT TRAY_ICON_ID = 1;

// Menu item ids, the WM_COMMAND wParam of each choice.
enum TrayMenuItem : WORD {
    TRAY_MENU_HIDE_OR_SHOW = 1,  // "Hide for an hour" / "Show"
    TRAY_MENU_AUTOSTART = 2,     // "Start with Windows", ticked while registered
    TRAY_MENU_OPEN_LOG = 3,      // "Open log"
    TRAY_MENU_QUIT = 4,          // "Quit"
};
constexpr DWORD TRAY_START_WAIT_MS = 5000;  // how long platform_tray_start waits for the thread's first try
constexpr DWORD TRAY_STOP_WAIT_MS = 2000;   // how long platform_tray_stop waits for the icon to be taken away

struct Tray {
    std::mutex mutex;                     // guards tip
    std::wstring tip;                     // the tooltip to show; the icon thread copies it under the mutex
    std::wstring icon_path, log_path;     // set before the thread starts, then read only
    void (*quit)(int) = nullptr;          // the end-request handler "Quit" calls
    std::atomic<bool> hidden{false};      // the mascot is hidden: the menu offers "Show"
    std::atomic<int> command{PLATFORM_TRAY_NOTHING};  // chosen, not yet taken by the main thread
    std::atomic<int> result{PLATFORM_TRAY_WAITING};   // of the thread's first NIM_ADD
    std::atomic<HWND> window{nullptr};    // the hidden window; written by the icon thread
    HICON icon = nullptr;                 // small-icon size from icon_path, or the system's default
    UINT taskbar_created = 0;             // the shell's broadcast after Explorer (re)starts
    HANDLE thread = nullptr;              // the icon thread, null when none runs
    HANDLE ready = nullptr;               // set once the thread has made its first try
};
Tray TRAY;

NOTIFYICONDATAW icon_data(UINT flags) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = TRAY.window;
    data.uID = TRAY_ICON_ID;
    data.uFlags = flags;
    data.uCallbackMessage = TRAY_CALLBACK;
    data.hIcon = TRAY.icon;
    std::lock_guard<std::mutex> lock(TRAY.mutex);
    lstrcpynW(data.szTip, TRAY.tip.c_str(), (int)(sizeof data.szTip / sizeof data.szTip[0]));
    return data;
}

bool add_icon() {
    NOTIFYICONDATAW data = icon_data(NIF_ICON | NIF_MESSAGE | NIF_TIP);
    return Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

bool file_exists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void show_menu(HWND window) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    AppendMenuW(menu, MF_STRING, TRAY_MENU_HIDE_OR_SHOW, TRAY.hidden ? L"Show" : L"Hide for an hour");
    AppendMenuW(menu, MF_STRING | (platform_autostart_enabled() ? MF_CHECKED : MF_UNCHECKED), TRAY_MENU_AUTOSTART,
                L"Start with Windows");
    AppendMenuW(menu, MF_STRING | (file_exists(TRAY.log_path) ? MF_ENABLED : MF_GRAYED), TRAY_MENU_OPEN_LOG,
                L"Open log");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, TRAY_MENU_QUIT, L"Quit");
    POINT at;
    GetCursorPos(&at);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN | TPM_RIGHTALIGN, at.x, at.y, 0, window, nullptr);
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

void run_command(WORD item) {
    switch (item) {
    case TRAY_MENU_HIDE_OR_SHOW:
        TRAY.command = TRAY.hidden ? PLATFORM_TRAY_SHOW : PLATFORM_TRAY_HIDE;
        break;
    case TRAY_MENU_AUTOSTART:
        platform_autostart_set(!platform_autostart_enabled());
        break;
    case TRAY_MENU_OPEN_LOG:
        ShellExecuteW(nullptr, L"open", TRAY.log_path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        break;
    case TRAY_MENU_QUIT:
        if (TRAY.quit) TRAY.quit(PLATFORM_END_INTERRUPT);
        break;
    }
}

void say(const char* line) {
    platform_write_stdout(line, std::char_traits<char>::length(line));
}

LRESULT CALLBACK tray_window(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == TRAY.taskbar_created && message != 0) {
        // Explorer (re)started: its notification area knows no icons.
        if (add_icon()) say("tray icon added (the notification area restarted)\n");
        return 0;
    }
    switch (message) {
    case TRAY_CALLBACK:
        if (lParam == WM_RBUTTONUP || lParam == WM_LBUTTONUP || lParam == WM_CONTEXTMENU) show_menu(window);
        return 0;
    case TRAY_TIP_CHANGED: {
        NOTIFYICONDATAW data = icon_data(NIF_TIP);
        Shell_NotifyIconW(NIM_MODIFY, &data);
        return 0;
    }
    case WM_COMMAND:
        run_command(LOWORD(wParam));
        return 0;
    case WM_CLOSE: {
        NOTIFYICONDATAW data{};  // the icon is named by its window and id alone
        data.cbSize = sizeof data;
        data.hWnd = window;
        data.uID = TRAY_ICON_ID;
        Shell_NotifyIconW(NIM_DELETE, &data);
        DestroyWindow(window);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

DWORD WINAPI tray_thread(LPVOID) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = tray_window;
    cls.hInstance = instance;
    cls.lpszClassName = TRAY_WINDOW_CLASS;
    RegisterClassExW(&cls);
    TRAY.taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    // Never shown; a tool window, so it never appears in the taskbar either.
    TRAY.window = CreateWindowExW(WS_EX_TOOLWINDOW, TRAY_WINDOW_CLASS, L"vimo notification icon", WS_POPUP, 0, 0, 0,
                                  0, nullptr, nullptr, instance, nullptr);
    if (TRAY.window == nullptr) {
        TRAY.result = PLATFORM_TRAY_UNSUPPORTED;
        SetEvent(TRAY.ready);
        return 1;
    }
    TRAY.result = add_icon() ? PLATFORM_TRAY_ADDED : PLATFORM_TRAY_WAITING;
    SetEvent(TRAY.ready);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

// The Run key's command for this executable: its path in quotes.
const wchar_t* RUN_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t* RUN_VALUE = L"vimo";

std::wstring own_path() { return platform_wide(platform_executable_path()); }

// The program a Run value starts: its first argument, without quotes.
std::wstring run_program(const std::wstring& command) {
    if (!command.empty() && command[0] == L'"') {
        size_t end = command.find(L'"', 1);
        return command.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    return command.substr(0, command.find(L' '));
}

bool registered_value(std::wstring* command) {
    wchar_t data[2048];
    DWORD size = sizeof data;
    if (RegGetValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return false;
    *command = data;
    return true;
}

}  // namespace

PlatformTrayResult platform_tray_start(const std::string& icon_path, const std::string& tip,
                                       const std::string& log_path, void (*quit)(int)) {
    if (TRAY.thread != nullptr) return (PlatformTrayResult)TRAY.result.load();
    TRAY.icon_path = platform_wide(icon_path);
    TRAY.log_path = platform_wide(log_path);
    TRAY.tip = platform_wide(tip);
    TRAY.quit = quit;
    // The size the notification area draws (16 px at 100 %, 24 at 150 %, 32 at 200 %).
    TRAY.icon = (HICON)LoadImageW(nullptr, TRAY.icon_path.c_str(), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                  GetSystemMetrics(SM_CYSMICON), LR_LOADFROMFILE);
    if (TRAY.icon == nullptr) TRAY.icon = LoadIconW(nullptr, (LPCWSTR)IDI_APPLICATION);
    TRAY.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    TRAY.thread = CreateThread(nullptr, 0, tray_thread, nullptr, 0, nullptr);
    if (TRAY.thread == nullptr) return PLATFORM_TRAY_UNSUPPORTED;
    WaitForSingleObject(TRAY.ready, TRAY_START_WAIT_MS);
    return (PlatformTrayResult)TRAY.result.load();
}

void platform_tray_set_tip(const std::string& tip) {
    {
        std::lock_guard<std::mutex> lock(TRAY.mutex);
        TRAY.tip = platform_wide(tip);
    }
    if (HWND w = TRAY.window) PostMessageW(w, TRAY_TIP_CHANGED, 0, 0);
}

void platform_tray_set_hidden(bool hidden) { TRAY.hidden = hidden; }

PlatformTrayCommand platform_tray_take_command() {
    return (PlatformTrayCommand)TRAY.command.exchange(PLATFORM_TRAY_NOTHING);
}

void platform_tray_stop() {
    if (TRAY.thread == nullptr) return;
    if (HWND w = TRAY.window) PostMessageW(w, WM_CLOSE, 0, 0);
    // An open menu holds the thread in its own loop, and a busy shell may
    // answer slowly; after the wait the icon goes with the process (the shell
    // drops icons whose window is gone).
    WaitForSingleObject(TRAY.thread, TRAY_STOP_WAIT_MS);
    CloseHandle(TRAY.thread);
    TRAY.thread = nullptr;
    TRAY.window = nullptr;
}

bool platform_autostart_enabled() {
    std::wstring command;
    if (!registered_value(&command)) return false;
    return CompareStringOrdinal(run_program(command).c_str(), -1, own_path().c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool platform_autostart_set(bool on) {
    if (on) {
        std::wstring command = L"\"" + own_path() + L"\"";
        return RegSetKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, REG_SZ, command.c_str(),
                               (DWORD)((command.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    if (!platform_autostart_enabled()) return true;  // not ours to remove, or not there
    return RegDeleteKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE) == ERROR_SUCCESS;
}
