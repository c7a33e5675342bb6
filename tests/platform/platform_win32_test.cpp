// The Windows platform layer (under Wine): the lock and its holder across
// processes, `vimo --quit`'s event, windows the test creates, monitors,
// refusing addresses that are not web ones, UTF-8 paths, randomness.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// UTF-8 text as a path, and back.
fs::path u8(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }
std::string utf8(const fs::path& path) {
    std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

struct TempDir {
    fs::path path;
    TempDir() {
        std::random_device random;
        path = fs::temp_directory_path() / u8("vimo_platform_\xc3\xa9_" + std::to_string(random()));
        fs::create_directory(path);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

template <class Cond>
bool wait_until(Cond cond, double seconds = 20.0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// This test program started again as the holder of a lock: it runs only
// LockChild.HoldsTheLock, which takes the lock of VIMO_LOCK_PATH, listens for
// end requests, and exits with status 40 + the request's number.
struct Child {
    PROCESS_INFORMATION process{};
    explicit Child(const std::string& lockPath) {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=LockChild.HoldsTheLock";
        SetEnvironmentVariableW(L"VIMO_LOCK_PATH", u8(lockPath).wstring().c_str());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
        SetEnvironmentVariableW(L"VIMO_LOCK_PATH", nullptr);
    }
    ~Child() {
        if (process.hProcess) {
            TerminateProcess(process.hProcess, 99);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
    }
    int64_t pid() const { return process.dwProcessId; }
    // Exit status, or -1 while it still runs after the wait.
    long wait(DWORD ms) {
        if (WaitForSingleObject(process.hProcess, ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        return (long)code;
    }
};

void exit_on_request(int number) { platform_exit_now(40 + number); }

}  // namespace

TEST(LockChild, HoldsTheLock) {
    const wchar_t* path = _wgetenv(L"VIMO_LOCK_PATH");  // getenv would give the ANSI code page's bytes
    if (path == nullptr) GTEST_SKIP() << "runs only as the child of InstanceLock tests";
    platform_on_end_request(exit_on_request);
    if (platform_lock_take(utf8(fs::path(path))) != PLATFORM_LOCK_TAKEN) platform_exit_now(3);
    Sleep(60000);
    platform_exit_now(4);
}

TEST(InstanceLock, HeldByOneProcessNamedByItsIdAndEndedByQuit) {
    TempDir dir;
    const std::string path = utf8(dir.path / "vimo.lock");
    EXPECT_EQ(platform_lock_holder(path), 0);
    EXPECT_FALSE(fs::exists(u8(path)));  // asking creates nothing

    Child first(path);
    ASSERT_GT(first.pid(), 0);
    ASSERT_TRUE(wait_until([&] { return platform_lock_holder(path) == first.pid(); })) << first.wait(0);
    EXPECT_EQ(read_all(u8(path)), std::to_string(first.pid()) + "\n");  // readable while locked
    // This process is refused, and its try leaves the holder's id alone.
    EXPECT_EQ(platform_lock_take(path), PLATFORM_LOCK_BUSY);
    EXPECT_EQ(read_all(u8(path)), std::to_string(first.pid()) + "\n");

    // `vimo --quit`: the holder's own handler runs with the interrupt's number.
    EXPECT_TRUE(platform_interrupt_process(first.pid()));
    EXPECT_EQ(first.wait(20000), 40 + PLATFORM_END_INTERRUPT);
    EXPECT_EQ(platform_lock_holder(path), 0);  // the id left in the file names nobody

    // Killed outright: the system still drops the lock.
    Child second(path);
    ASSERT_TRUE(wait_until([&] { return platform_lock_holder(path) == second.pid(); }));
    TerminateProcess(second.process.hProcess, 9);
    EXPECT_EQ(second.wait(20000), 9);
    EXPECT_EQ(platform_lock_holder(path), 0);

    // Refused: pids that name nobody or no companion (this one listens for nothing).
    EXPECT_FALSE(platform_interrupt_process(0));
    EXPECT_FALSE(platform_interrupt_process(-1));
    EXPECT_FALSE(platform_interrupt_process(GetCurrentProcessId()));
    EXPECT_EQ(platform_lock_take(utf8(dir.path / "missing" / "vimo.lock")), PLATFORM_LOCK_FAILED);
}

TEST(PlatformFiles, Utf8PathsReachTheSystemAsTheirCharacters) {
    TempDir dir;
    const std::string name = "config \xe2\x98\x83\xf0\x9f\x98\x80.json";  // a snowman and an emoji (a surrogate pair)
    const std::string path = utf8(dir.path) + "/" + name;
    ASSERT_TRUE(platform_file_replace(path, "{\"a\":1}"));
    EXPECT_TRUE(fs::exists(dir.path / L"config \u2603\U0001F600.json"));
    std::string content;
    EXPECT_TRUE(platform_file_read(path, &content));
    EXPECT_EQ(content, "{\"a\":1}");
    EXPECT_FALSE(platform_file_read(utf8(dir.path) + "/missing", &content));
    EXPECT_EQ(content, "");

    std::string exe = platform_executable_path();
    EXPECT_EQ(exe.substr(exe.find_last_of("\\/") + 1), "test_platform.exe");
    EXPECT_TRUE(fs::exists(u8(exe)));
}

TEST(PlatformBrowser, RefusesAnythingButWebAddresses) {
    // ShellExecuteW would run these; none may reach it.
    for (const char* url : {"C:\\Windows\\System32\\calc.exe", "file:///C:/Windows/notepad.exe", "calc",
                            "javascript:alert(1)", "ms-settings:", "http://a b", "https://x/\r\ny", ""})
        EXPECT_FALSE(platform_open_url(url)) << url;
    EXPECT_TRUE(platform_url_is_web("HTTPS://example.org/a?b=c"));
}

TEST(PlatformRandom, BytesDifferBetweenDraws) {
    unsigned char a[32] = {}, b[32] = {};
    ASSERT_TRUE(platform_random_bytes(a, sizeof a));
    ASSERT_TRUE(platform_random_bytes(b, sizeof b));
    EXPECT_NE(std::string((char*)a, 32), std::string((char*)b, 32));
    EXPECT_NE(std::string((char*)a, 32), std::string(32, '\0'));
    EXPECT_TRUE(platform_random_bytes(a, 0));
}

TEST(PlatformClock, MonotonicAndMovingWithRealTime) {
    int64_t f = platform_clock_frequency();
    ASSERT_GT(f, 0);
    int64_t c0 = platform_clock_counter();
    auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([&] { return std::chrono::steady_clock::now() - begin >= std::chrono::milliseconds(20); }));
    EXPECT_GE(platform_clock_counter() - c0, f / 50);
}

TEST(PlatformWindows, AWindowOfOurOwnFoundShownHiddenAndGone) {
    WNDCLASSW cls{};
    cls.lpfnWndProc = DefWindowProcW;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.lpszClassName = L"vimo_platform_test";
    RegisterClassW(&cls);
    // A title outside ASCII: found by its UTF-8 bytes.
    HWND w = CreateWindowExW(0, cls.lpszClassName, L"vimo test \u2603 host window", WS_POPUP, 100, 120, 300, 200,
                             nullptr, nullptr, cls.hInstance, nullptr);
    if (w == nullptr) GTEST_SKIP() << "no window could be made (Wine without a display)";
    ShowWindow(w, SW_SHOWNOACTIVATE);
    ASSERT_TRUE(platform_windows_connect());
    const uint64_t id = (uint64_t)(uintptr_t)w;
    EXPECT_EQ(platform_find_window("vimo test \xe2\x98\x83"), id);
    EXPECT_EQ(platform_find_window("vimo test \xe2\x98\x83 host window and more"), 0u);

    // Screen pixels count from the virtual screen's corner.
    const int vx = GetSystemMetrics(SM_XVIRTUALSCREEN), vy = GetSystemMetrics(SM_YVIRTUALSCREEN);
    PlatformWindowInfo info = platform_window_info(id);
    EXPECT_EQ(info.state, PLATFORM_WINDOW_SHOWN);
    EXPECT_EQ(info.rect.left, 100 - vx);
    EXPECT_EQ(info.rect.top, 120 - vy);
    EXPECT_EQ(info.rect.right - info.rect.left, 300);
    EXPECT_EQ(info.rect.bottom - info.rect.top, 200);
    EXPECT_FALSE(info.fullscreen);

    // Covering its monitor makes it full screen.
    std::vector<PlatformRect> monitors = platform_monitors();
    ASSERT_FALSE(monitors.empty());
    const PlatformRect& primary = monitors[0];
    EXPECT_EQ(primary.left, -vx);  // the primary monitor's corner is the system origin
    EXPECT_EQ(primary.top, -vy);
    MONITORINFO m{};
    m.cbSize = sizeof m;
    GetMonitorInfoW(MonitorFromWindow(w, MONITOR_DEFAULTTOPRIMARY), &m);
    SetWindowPos(w, nullptr, m.rcMonitor.left, m.rcMonitor.top, m.rcMonitor.right - m.rcMonitor.left,
                 m.rcMonitor.bottom - m.rcMonitor.top, SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_TRUE(platform_window_info(id).fullscreen);
    int width = 0, height = 0;
    ASSERT_TRUE(platform_screen_size(&width, &height));
    EXPECT_EQ(width, GetSystemMetrics(SM_CXVIRTUALSCREEN));
    EXPECT_FALSE(platform_monitors_changed());  // nothing changed since connecting
    // Each monitor's work area is its rcWork in screen pixels: the primary's
    // is what the system gives as the work area.
    std::vector<PlatformRect> work = platform_work_areas(monitors);
    ASSERT_EQ(work.size(), monitors.size());
    RECT system{};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &system, 0));
    EXPECT_EQ(work[0].left, system.left - vx);
    EXPECT_EQ(work[0].top, system.top - vy);
    EXPECT_EQ(work[0].right, system.right - vx);
    EXPECT_EQ(work[0].bottom, system.bottom - vy);
    EXPECT_TRUE(platform_work_areas_changed());  // the first look
    EXPECT_FALSE(platform_work_areas_changed());

    ShowWindow(w, SW_HIDE);
    EXPECT_EQ(platform_window_info(id).state, PLATFORM_WINDOW_HIDDEN);
    PlatformRect r;
    EXPECT_FALSE(platform_window_rect(id, &r));
    DestroyWindow(w);
    EXPECT_EQ(platform_window_info(id).state, PLATFORM_WINDOW_GONE);
    EXPECT_EQ(platform_window_info(0).state, PLATFORM_WINDOW_GONE);

    platform_windows_disconnect();
    EXPECT_EQ(platform_window_info(id).state, PLATFORM_WINDOW_UNKNOWN);
    EXPECT_EQ(platform_find_window("vimo"), 0u);
}

// "Start with Windows": the Run value names this very executable, and turning
// it off leaves a value that names another copy alone.
TEST(PlatformAutostart, RunValueNamesThisExecutableAndOffLeavesOtherCopiesAlone) {
    const wchar_t* key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"vimo");
    EXPECT_FALSE(platform_autostart_enabled());
    ASSERT_TRUE(platform_autostart_set(true));
    EXPECT_TRUE(platform_autostart_enabled());
    wchar_t data[1024];
    DWORD size = sizeof data;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, key, L"vimo", RRF_RT_REG_SZ, nullptr, data, &size), ERROR_SUCCESS);
    std::wstring command = data;
    std::string exe = platform_executable_path();
    EXPECT_EQ(command, L"\"" + std::wstring(exe.begin(), exe.end()) + L"\"") << "quoted: the path may hold spaces";
    ASSERT_TRUE(platform_autostart_set(false));
    EXPECT_FALSE(platform_autostart_enabled());
    EXPECT_NE(RegGetValueW(HKEY_CURRENT_USER, key, L"vimo", RRF_RT_REG_SZ, nullptr, data, &size), ERROR_SUCCESS);

    // Another installation's value: not ours, not ticked, not removed.
    const wchar_t other[] = L"\"C:\\Other Place\\vimo.exe\"";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, L"vimo", REG_SZ, other, sizeof other), ERROR_SUCCESS);
    EXPECT_FALSE(platform_autostart_enabled());
    EXPECT_TRUE(platform_autostart_set(false));
    size = sizeof data;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, key, L"vimo", RRF_RT_REG_SZ, nullptr, data, &size), ERROR_SUCCESS);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"vimo");
}
