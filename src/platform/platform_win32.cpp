// Windows implementation of platform.h: Win32, DWM, BCrypt and the shell,
// wide-character calls inside, UTF-8 outside (wide_win32.h).
//
// Choices that have no counterpart on Linux:
// - `vimo --quit`: no signal reaches another Windows program, and a console
//   control event only reaches programs that share the sender's console (the
//   companion may have none). The companion therefore creates a named event
//   "Local\vimo-end-<pid>" (platform_on_end_request) and a thread of its own
//   waits on it; platform_interrupt_process(pid) opens that event and sets it,
//   and the waiting thread feeds PLATFORM_END_INTERRUPT to the same handler
//   as Ctrl-C. "Local\" keeps it within the user's session.
// - Lock holder: Windows cannot name the process that holds a file lock. The
//   lock is taken on one byte far past the id (so readers are not blocked by
//   it); a look tries that byte: taken means held, and only then is the id in
//   the file read and believed while that process runs.
// - Monitors changed: EnumDisplayMonitors and the virtual screen compared with
//   the previous call's (cheap, needs no window of our own to get
//   WM_DISPLAYCHANGE).
// - Coordinates: everything is returned relative to the virtual screen's
//   corner (platform.h), which the overlay covers from its corner on.
#include "platform/platform.h"
#include "platform/wide_win32.h"

#include <windows.h>

#include <bcrypt.h>
#include <dwmapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <thread>
#include <vector>

namespace {

// An access list that lets the current user, and nobody else, at a file
// created with it (protected: nothing inherited from the folder).
struct OwnerOnly {
    SECURITY_ATTRIBUTES attributes{};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    OwnerOnly() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        union {
            TOKEN_USER user;
            BYTE bytes[256];
        } info;
        DWORD size = 0;
        LPWSTR sid = nullptr;
        if (GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
            ConvertSidToStringSidW(info.user.User.Sid, &sid)) {
            std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
            ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
            LocalFree(sid);
        }
        CloseHandle(token);
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = descriptor;
        attributes.bInheritHandle = FALSE;
    }
    ~OwnerOnly() {
        if (descriptor) LocalFree(descriptor);
    }
    // Without a descriptor the folder's defaults apply: a file is still better saved.
    SECURITY_ATTRIBUTES* get() { return descriptor ? &attributes : nullptr; }
};

std::wstring end_event_name(int64_t pid) {
    return L"Local\\vimo-end-" + std::to_wstring(pid);
}

void (*END_HANDLER)(int) = nullptr;  // set once by platform_on_end_request, before the threads that call it

BOOL WINAPI console_event(DWORD type) {
    if (END_HANDLER == nullptr) return FALSE;
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            END_HANDLER(PLATFORM_END_INTERRUPT);
            return TRUE;  // the process goes on; the frame loop ends it
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            END_HANDLER(type == CTRL_CLOSE_EVENT ? PLATFORM_END_HANGUP : PLATFORM_END_TERMINATE);
            // Returning lets the system end the process at once, before the
            // main thread has saved anything; its leaving ends this wait.
            Sleep(PLATFORM_END_GRACE_MS);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

// ---- Process -------------------------------------------------------------------

std::string platform_executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), (DWORD)buffer.size());
        if (n == 0) return "";
        if (n < buffer.size()) return platform_utf8(buffer.data(), (int)n);
        buffer.resize(buffer.size() * 2);  // truncated: try a larger buffer
    }
}

bool platform_interrupt_process(int64_t pid) {
    if (pid <= 0) return false;
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, end_event_name(pid).c_str());
    if (event == nullptr) return false;
    BOOL set = SetEvent(event);
    CloseHandle(event);
    return set != FALSE;
}

// ---- Ending the process ------------------------------------------------------------

void platform_on_end_request(void (*handler)(int)) {
    END_HANDLER = handler;
    SetConsoleCtrlHandler(console_event, TRUE);
    // Auto-reset: each `vimo --quit` is one request, as each SIGINT is.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, end_event_name(GetCurrentProcessId()).c_str());
    if (event == nullptr) return;
    std::thread([event] {
        while (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) END_HANDLER(PLATFORM_END_INTERRUPT);
    }).detach();
}

void platform_exit_now(int status) {
    platform_output_finish();  // the log thread's last lines, which TerminateProcess would drop
    TerminateProcess(GetCurrentProcess(), (UINT)status);
    ExitProcess((UINT)status);  // not reached: TerminateProcess does not return for the caller's own process
}

void platform_write_stdout(const char* data, size_t size) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(out, data, (DWORD)(size > 65536 ? 65536 : size), &written, nullptr) || written == 0) return;
        data += written;
        size -= written;
    }
}

// ---- Files -----------------------------------------------------------------------------

bool platform_file_read(const std::string& path, std::string* content) {
    content->clear();
    FILE* file = _wfopen(platform_wide(path).c_str(), L"rb");
    if (file == nullptr) return false;
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) content->append(buffer, n);
    std::fclose(file);
    return true;
}

namespace {

bool write_all(HANDLE file, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        DWORD piece = (DWORD)std::min<size_t>(content.size() - done, 1u << 20);
        DWORD written = 0;
        if (!WriteFile(file, content.data() + done, piece, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

// Six characters of [A-Za-z0-9], as mkstemp's.
std::string temporary_suffix() {
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6];
    if (!platform_random_bytes(bytes, sizeof bytes)) {
        unsigned long long t = (unsigned long long)platform_clock_counter() ^ GetCurrentProcessId();
        for (unsigned char& b : bytes) b = (unsigned char)(t >>= 5);
    }
    std::string out;
    for (unsigned char b : bytes) out += LETTERS[b % 62];
    return out;
}

}  // namespace

bool platform_file_replace(const std::string& target, const std::string& content) {
    const std::wstring wideTarget = platform_wide(target);
    OwnerOnly owner;
    std::wstring temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; attempt++) {
        temp = platform_wide(target + ".tmp-" + temporary_suffix());
        file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, owner.get(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = write_all(file, content) && FlushFileBuffers(file);
    if (!CloseHandle(file)) ok = false;
    // A read-only file cannot be replaced: it is made writable for the move,
    // and the new file is read-only in its turn (the stricter mode stays).
    DWORD old = GetFileAttributesW(wideTarget.c_str());
    bool readOnly = old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) && !(old & FILE_ATTRIBUTE_DIRECTORY);
    if (ok && readOnly) SetFileAttributesW(wideTarget.c_str(), old & ~FILE_ATTRIBUTE_READONLY);
    if (ok) ok = MoveFileExW(temp.c_str(), wideTarget.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (readOnly) {
        DWORD now = GetFileAttributesW(wideTarget.c_str());
        if (now != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(wideTarget.c_str(), now | FILE_ATTRIBUTE_READONLY);
    }
    if (!ok) {
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

int platform_file_remove_temporaries(const std::string& target) {
    size_t slash = target.find_last_of("/\\");
    std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp-";
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW(platform_wide(dir + prefix + "*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) return 0;
    int removed = 0;
    do {
        std::string name = platform_utf8(found.cFileName);
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        if (DeleteFileW(platform_wide(dir + name).c_str())) removed++;
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
    return removed;
}

// ---- One instance --------------------------------------------------------------------

namespace {

// The locked byte: at 4 GiB, far past the id at the start of the file, which
// stays readable by others (a locked range blocks their reads).
OVERLAPPED lock_range() {
    OVERLAPPED range{};
    range.Offset = 0;
    range.OffsetHigh = 1;
    return range;
}

bool process_runs(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // exists, not ours to ask
    DWORD code = 0;
    bool runs = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return runs;
}

}  // namespace

PlatformLock platform_lock_take(const std::string& path) {
    OwnerOnly owner;
    // OPEN_ALWAYS, no truncation: while another process holds the file, its id stays in it.
    HANDLE file = CreateFileW(platform_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, owner.get(), OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return PLATFORM_LOCK_FAILED;
    OVERLAPPED range = lock_range();
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
        DWORD error = GetLastError();
        CloseHandle(file);
        return error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION ? PLATFORM_LOCK_BUSY
                                                                                 : PLATFORM_LOCK_FAILED;
    }
    std::string id = std::to_string(GetCurrentProcessId()) + "\n";
    DWORD written = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(file))
        WriteFile(file, id.data(), (DWORD)id.size(), &written, nullptr);  // the id is for people and for looks
    return PLATFORM_LOCK_TAKEN;  // the handle is never closed: the lock lasts as long as the process
}

int64_t platform_lock_holder(const std::string& path) {
    HANDLE file = CreateFileW(platform_wide(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    OVERLAPPED range = lock_range();
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
        range = lock_range();
        UnlockFileEx(file, 0, 1, 0, &range);
        CloseHandle(file);
        return 0;
    }
    // Held. The holder writes its id right after taking the lock: a look in
    // between finds none yet, or a dead one's, and looks again a moment later.
    int64_t holder = -1;
    for (int look = 0; look < 20 && holder < 0; look++) {
        if (look > 0) Sleep(5);
        char text[32] = {};
        DWORD got = 0;
        if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0 ||
            !ReadFile(file, text, sizeof text - 1, &got, nullptr))
            break;
        char* end = nullptr;
        long long id = std::strtoll(text, &end, 10);
        if (end != text && id > 0 && id <= 0xFFFFFFFFLL && process_runs((DWORD)id)) holder = id;
    }
    CloseHandle(file);
    return holder;
}

// ---- Session ---------------------------------------------------------------------------

bool platform_session_is_wayland() {
    return false;
}

// ---- Randomness ------------------------------------------------------------------

bool platform_random_bytes(void* out, size_t size) {
    auto* bytes = static_cast<unsigned char*>(out);
    while (size > 0) {
        ULONG piece = (ULONG)std::min<size_t>(size, 1u << 20);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
        bytes += piece;
        size -= piece;
    }
    return true;
}

// ---- Clock -----------------------------------------------------------------------

int64_t platform_clock_counter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t platform_clock_frequency() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return (int64_t)f.QuadPart;
    }();
    return frequency;
}

// ---- Browser -----------------------------------------------------------------------

bool platform_open_url(const std::string& url) {
    // ShellExecuteW would as gladly start a program or open a file.
    if (!platform_url_is_web(url)) return false;
    HINSTANCE result = ShellExecuteW(nullptr, L"open", platform_wide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return (INT_PTR)result > 32;
}

// ---- Windows of the desktop -----------------------------------------------------------

namespace {

bool CONNECTED = false;  // between platform_windows_connect and _disconnect

bool same_rects(const std::vector<PlatformRect>& a, const std::vector<PlatformRect>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].left != b[i].left || a[i].top != b[i].top || a[i].right != b[i].right || a[i].bottom != b[i].bottom)
            return false;
    return true;
}

// What platform_monitors_changed compares: the virtual screen and the monitors.
struct DesktopLayout {
    RECT screen;
    std::vector<PlatformRect> monitors;
    bool operator==(const DesktopLayout& o) const {
        return EqualRect(&screen, &o.screen) && same_rects(monitors, o.monitors);
    }
};
DesktopLayout LAST_LAYOUT;  // as the previous look saw it

// The virtual screen in system coordinates (its corner may be negative).
RECT virtual_screen() {
    int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    return RECT{x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN), y + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

// System coordinates to screen pixels (platform.h): from the virtual screen's corner.
PlatformRect from_system(const RECT& r) {
    RECT screen = virtual_screen();
    return PlatformRect{r.left - screen.left, r.top - screen.top, r.right - screen.left, r.bottom - screen.top};
}

// What the system says of every monitor, in its own order.
std::vector<MONITORINFO> monitor_infos() {
    std::vector<MONITORINFO> infos;
    EnumDisplayMonitors(
        nullptr, nullptr,
        [](HMONITOR monitor, HDC, LPRECT, LPARAM data) -> BOOL {
            MONITORINFO info{};
            info.cbSize = sizeof info;
            if (GetMonitorInfoW(monitor, &info)) reinterpret_cast<std::vector<MONITORINFO>*>(data)->push_back(info);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&infos));
    return infos;
}

std::vector<PlatformRect> read_monitors() {
    struct Found {
        std::vector<PlatformRect> primary, others;
    } found;
    for (const MONITORINFO& info : monitor_infos())
        (info.dwFlags & MONITORINFOF_PRIMARY ? found.primary : found.others).push_back(from_system(info.rcMonitor));
    std::vector<PlatformRect> out;
    for (auto* list : {&found.primary, &found.others})
        for (const PlatformRect& r : *list) {
            if (r.right <= r.left || r.bottom <= r.top) continue;
            bool seen = false;  // mirrored monitors answer twice
            for (const PlatformRect& have : out)
                seen = seen || (have.left == r.left && have.top == r.top && have.right == r.right && have.bottom == r.bottom);
            if (!seen) out.push_back(r);
        }
    return out;
}

DesktopLayout read_layout() {
    return DesktopLayout{virtual_screen(), read_monitors()};
}

std::string title_of(HWND window) {
    int length = GetWindowTextLengthW(window);
    if (length <= 0) return "";
    std::wstring text(length + 1, L'\0');
    int got = GetWindowTextW(window, text.data(), length + 1);
    return platform_utf8(text.data(), got);
}

// The desktop itself covers every monitor without being full screen.
bool is_desktop(HWND window) {
    if (window == GetDesktopWindow() || window == GetShellWindow()) return true;
    wchar_t name[32] = {};
    GetClassNameW(window, name, 32);
    return std::wcscmp(name, L"Progman") == 0 || std::wcscmp(name, L"WorkerW") == 0;
}

}  // namespace

bool platform_windows_connect() {
    CONNECTED = true;
    LAST_LAYOUT = read_layout();
    return true;
}

void platform_windows_disconnect() {
    CONNECTED = false;
}

std::string platform_x_resources() {
    // Windows keeps no resource database; its display scaling is the system
    // DPI, handed over in the form the scale choice reads (96 = 100 %).
    HDC screen = GetDC(nullptr);
    if (!screen) return "";
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? "Xft.dpi:\t" + std::to_string(dpi) + "\n" : "";
}

uint64_t platform_find_window(const char* title) {
    if (!CONNECTED || !title) return 0;
    struct Search {
        std::string title;
        HWND found;
    } search{title, nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            // As many bytes as the wanted title has, so a longer title with that prefix matches.
            std::string have = title_of(window);
            if (have.size() < s->title.size() || have.compare(0, s->title.size(), s->title) != 0) return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return (uint64_t)(uintptr_t)search.found;
}

uint64_t platform_foreground_window() {
    if (!CONNECTED) return 0;
    return (uint64_t)(uintptr_t)GetForegroundWindow();
}

PlatformWindowInfo platform_window_info(uint64_t window) {
    PlatformWindowInfo info = {PLATFORM_WINDOW_UNKNOWN, {0, 0, 0, 0}, false};
    if (!CONNECTED) return info;
    HWND w = (HWND)(uintptr_t)window;
    if (w == nullptr || !IsWindow(w)) {
        info.state = PLATFORM_WINDOW_GONE;
        return info;
    }
    RECT outer;
    if (!GetWindowRect(w, &outer)) {
        info.state = IsWindow(w) ? PLATFORM_WINDOW_UNKNOWN : PLATFORM_WINDOW_GONE;  // closed in between
        return info;
    }
    // Since Windows 10 the outer rectangle holds invisible resize borders; DWM
    // knows what is drawn.
    RECT visible = outer;
    if (DwmGetWindowAttribute(w, DWMWA_EXTENDED_FRAME_BOUNDS, &visible, sizeof visible) != S_OK ||
        visible.right <= visible.left || visible.bottom <= visible.top)
        visible = outer;
    DWORD cloaked = 0;  // on another virtual desktop, or a suspended store app
    if (DwmGetWindowAttribute(w, DWMWA_CLOAKED, &cloaked, sizeof cloaked) != S_OK) cloaked = 0;
    bool shown = IsWindowVisible(w) && !IsIconic(w) && cloaked == 0;

    HMONITOR monitor = MonitorFromWindow(w, MONITOR_DEFAULTTONULL);
    MONITORINFO m{};
    m.cbSize = sizeof m;
    if (monitor != nullptr && GetMonitorInfoW(monitor, &m) && !is_desktop(w)) {
        info.fullscreen = outer.left <= m.rcMonitor.left && outer.top <= m.rcMonitor.top &&
                          outer.right >= m.rcMonitor.right && outer.bottom >= m.rcMonitor.bottom;
    }
    info.rect = from_system(visible);
    info.state = shown ? PLATFORM_WINDOW_SHOWN : PLATFORM_WINDOW_HIDDEN;
    return info;
}

// ---- Monitors ------------------------------------------------------------------------

bool platform_screen_size(int* width, int* height) {
    if (!CONNECTED || !width || !height) return false;
    RECT screen = virtual_screen();
    *width = screen.right - screen.left;
    *height = screen.bottom - screen.top;
    return *width > 0 && *height > 0;
}

std::vector<PlatformRect> platform_monitors() {
    if (!CONNECTED) return {};
    return read_monitors();
}

namespace {

// Every monitor's rcMonitor and rcWork, in screen pixels, in the system's order.
struct ToldAreas {
    std::vector<PlatformRect> monitors, work;
    bool operator==(const ToldAreas& o) const { return same_rects(monitors, o.monitors) && same_rects(work, o.work); }
};
ToldAreas LAST_WORK;       // as the previous platform_work_areas_changed saw them
bool WORK_LOOKED = false;  // whether it has looked yet (the first look answers true)

ToldAreas read_work_areas() {
    ToldAreas told;
    for (const MONITORINFO& info : monitor_infos()) {
        told.monitors.push_back(from_system(info.rcMonitor));
        told.work.push_back(from_system(info.rcWork));
    }
    return told;
}

}  // namespace

std::vector<PlatformRect> platform_work_areas(const std::vector<PlatformRect>& monitors) {
    if (!CONNECTED) return {};
    ToldAreas told = read_work_areas();
    return platform_work_areas_match(monitors, told.monitors, told.work);
}

bool platform_work_areas_changed() {
    if (!CONNECTED) return false;
    // The taskbar moving or auto-hiding changes rcWork; no message is needed
    // to see it, and the look is cheap at ten a second.
    ToldAreas now = read_work_areas();
    if (WORK_LOOKED && now == LAST_WORK) return false;
    WORK_LOOKED = true;
    LAST_WORK = std::move(now);
    return true;
}

bool platform_monitors_changed() {
    if (!CONNECTED) return false;
    DesktopLayout now = read_layout();
    if (now == LAST_LAYOUT) return false;
    LAST_LAYOUT = std::move(now);
    return true;
}
