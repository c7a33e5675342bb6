// Standard output of vimo.exe, a GUI-subsystem program (platform.h,
// platform_output_start): Windows gives such a program no console, so its
// lines go where its starter can see them, else into the log file.
//
// The log is fed through an anonymous pipe: the C runtime's descriptors 1
// and 2 and the system's standard handles all name its write end, so printf,
// std::cout and platform_write_stdout (which the end-request handlers use
// from other threads) reach it alike, and one reader thread alone writes
// and rolls the file (platform_log_append).
#include "platform/platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

struct LogPipe {
    HANDLE reader = nullptr;         // the log thread's end of the pipe
    HANDLE thread = nullptr;         // the log thread; ends when every write end is closed
    std::string path;                // the log file, UTF-8
    std::atomic<bool> finished{false};  // platform_output_finish has run
};
LogPipe LOG;  // set up once by platform_output_start, main thread

DWORD WINAPI log_thread(LPVOID) {
    char buffer[4096];
    DWORD got = 0;
    // Ends with ERROR_BROKEN_PIPE once the last write end is closed and the
    // pipe is drained.
    while (ReadFile(LOG.reader, buffer, sizeof buffer, &got, nullptr) && got > 0)
        platform_log_append(LOG.path, buffer, got);
    return 0;
}

// A standard output handle the starter gave us: a console, a pipe or a file.
bool handed_over(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    return GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// The C runtime's stdout and stderr, and the system's standard handles,
// rewired to fd (mode: _O_BINARY, lines end in "\n" as on Linux, or
// _O_TEXT, "\r\n" as a console shows them).
void point_standard_output_at(int fd, int mode) {
    for (int target : {1, 2}) {
        FILE* stream = target == 1 ? stdout : stderr;
        _dup2(fd, target);
        _setmode(target, mode);
        // A GUI program's streams start without a descriptor (-2), and
        // freopen refuses such a stream: it takes over a fresh one for fd.
        if (_fileno(stream) != target) {
            if (FILE* fresh = _fdopen(target, mode == _O_BINARY ? "wb" : "w")) *stream = *fresh;
        }
        // Unbuffered: a line printed without a flush must not wait in the
        // runtime's buffer for a crash to lose it (the runtime knows no line buffering).
        setvbuf(stream, nullptr, _IONBF, 0);
    }
    SetStdHandle(STD_OUTPUT_HANDLE, (HANDLE)_get_osfhandle(1));
    SetStdHandle(STD_ERROR_HANDLE, (HANDLE)_get_osfhandle(2));
    std::cout.clear();  // a write before the rewiring may have left the stream failed
    std::cerr.clear();
}

bool attach_parent_console() {
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return false;
    int fd = _open_osfhandle((intptr_t)console, _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        CloseHandle(console);
        return false;
    }
    point_standard_output_at(fd, _O_TEXT);
    _close(fd);
    return true;
}

bool start_log(const std::string& path) {
    HANDLE writer = nullptr;
    if (!CreatePipe(&LOG.reader, &writer, nullptr, 0)) return false;
    int fd = _open_osfhandle((intptr_t)writer, _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(LOG.reader);
        CloseHandle(writer);
        return false;
    }
    LOG.path = path;
    point_standard_output_at(fd, _O_BINARY);
    _close(fd);  // descriptors 1 and 2 hold write ends of their own
    LOG.thread = CreateThread(nullptr, 0, log_thread, nullptr, 0, nullptr);
    std::atexit(platform_output_finish);
    return LOG.thread != nullptr;
}

}  // namespace

PlatformOutput platform_output_start(const std::string& log_path) {
    if (handed_over(GetStdHandle(STD_OUTPUT_HANDLE))) return PLATFORM_OUTPUT_INHERITED;
    if (attach_parent_console()) return PLATFORM_OUTPUT_CONSOLE;
    return start_log(log_path) ? PLATFORM_OUTPUT_LOG : PLATFORM_OUTPUT_INHERITED;
}

void platform_output_finish() {
    if (LOG.thread == nullptr || LOG.finished.exchange(true)) return;
    std::cout.flush();
    std::fflush(nullptr);
    // Closing every write end lets the log thread read to the end of the pipe and stop.
    int nul = _open("NUL", _O_WRONLY | _O_BINARY);
    if (nul >= 0) {
        _dup2(nul, 1);
        _dup2(nul, 2);
        _close(nul);
    }
    SetStdHandle(STD_OUTPUT_HANDLE, (HANDLE)_get_osfhandle(1));
    SetStdHandle(STD_ERROR_HANDLE, (HANDLE)_get_osfhandle(2));
    WaitForSingleObject(LOG.thread, 1000);
}
