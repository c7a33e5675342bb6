// The few operating-system calls the companion makes, behind one header so no
// feature code includes X11 or Win32 headers. platform_x11.cpp implements them
// on Linux/X11; a platform_win32.cpp would implement the same on Windows.
//
// Threads: platform_executable_path, platform_random_bytes, platform_clock_*, platform_open_url are
// safe from any thread. The window functions use one X connection of their own
// and belong to the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- Process ---------------------------------------------------------------
std::string platform_executable_path();         // Full path of the running executable, "" when unknown
// Send the interrupt (what Ctrl-C sends: SIGINT) to process pid; false when it
// could not. A pid <= 0 is refused: it would name a group or every process.
bool platform_interrupt_process(int64_t pid);

// ---- One instance (main thread, at start-up) ------------------------------------------
enum PlatformLock {
    PLATFORM_LOCK_TAKEN,  // this process holds the lock until it ends
    PLATFORM_LOCK_BUSY,   // another process holds it
    PLATFORM_LOCK_FAILED  // the file could not be opened or locked (say, a read-only folder)
};
// Take the exclusive lock of the file at path (created, owner-only, when missing)
// for the rest of the process's life, and write this process's id into the file
// for people to read. The system drops the lock when the process ends in any way,
// SIGKILL included. Once per process: the lock is the process's, so a second
// call only succeeds again and leaves one more file open.
PlatformLock platform_lock_take(const std::string& path);
// Id of the process that holds the lock of path: 0 when none does (or the file
// does not exist: nothing is created), -1 when one does that this process
// cannot name. Asks the system, never trusts the id written in the file. Not
// for the process that holds the lock: it sees no holder, and closing its look
// at the file would drop its own lock.
int64_t platform_lock_holder(const std::string& path);

// ---- Session -------------------------------------------------------------------------
// True in a Wayland session (WAYLAND_DISPLAY set and not empty, or
// XDG_SESSION_TYPE "wayland"), where the companion runs through XWayland.
bool platform_session_is_wayland();

// ---- Randomness ----------------------------------------------------------------
// Fill out with size bytes from the system's random source (getrandom, then
// /dev/urandom on Linux). False when no source answered; out is then undefined.
bool platform_random_bytes(void* out, size_t size);

// ---- Clock -------------------------------------------------------------------
int64_t platform_clock_counter();               // Monotonic high-resolution counter (ticks)
int64_t platform_clock_frequency();             // Ticks per second of platform_clock_counter

// ---- Browser -------------------------------------------------------------------
// Start the user's browser on url without waiting (xdg-open through an argument
// vector, never a shell; the child is reaped). Returns false when it could not start.
bool platform_open_url(const std::string& url);

// ---- Windows of the desktop --------------------------------------------------------
struct PlatformRect {
    int left, top, right, bottom;  // screen pixels, right/bottom exclusive
};

bool platform_windows_connect();                // Open the connection used by the calls below; false without X
void platform_windows_disconnect();             // Close it; the calls below then find nothing
// The X server's resource database as text, "name:\tvalue" lines (what
// `xrdb -query` prints: the RESOURCE_MANAGER property of the root window,
// where desktops keep Xft.dpi); "" without X or when none is set. Opens the
// connection when it is not open yet (and leaves it open), so it works
// before any window exists.
std::string platform_x_resources();
// First top-level window whose title starts with the bytes of title (as many as
// title has); 0 when none. The id is the X window id.
uint64_t platform_find_window(const char* title);
uint64_t platform_foreground_window();          // Window with the focus (_NET_ACTIVE_WINDOW), 0 when none
// What a window is to the user right now. Only SHOWN windows get walls;
// HIDDEN and GONE take them away, UNKNOWN keeps what the caller had.
enum PlatformWindowState {
    PLATFORM_WINDOW_UNKNOWN = 0,  // could not be asked (no connection, an X error other than a closed window)
    PLATFORM_WINDOW_SHOWN,        // viewable on the current workspace and not minimised
    PLATFORM_WINDOW_HIDDEN,       // minimised, on another workspace, or not viewable (unmapped)
    PLATFORM_WINDOW_GONE,         // no such window (closed, or the id 0)
};

struct PlatformWindowInfo {
    PlatformWindowState state;  // see PlatformWindowState
    // Visible outer rectangle in screen pixels: the window-manager frame
    // (_NET_FRAME_EXTENTS) added, the shadow a client draws inside its own
    // window (_GTK_FRAME_EXTENTS) taken away. Set for SHOWN and HIDDEN, else all zero.
    PlatformRect rect;
    bool fullscreen;  // the window asked its manager for the whole monitor (_NET_WM_STATE_FULLSCREEN)
};

// State, visible rectangle and full-screen flag of window, in one look.
PlatformWindowInfo platform_window_info(uint64_t window);
// Visible outer rectangle of window (as PlatformWindowInfo::rect). False (and
// out untouched) unless the window is SHOWN: closed, minimised, on another
// workspace, unmapped or not answering.
bool platform_window_rect(uint64_t window, PlatformRect* out);

// ---- Monitors (the connection above) ---------------------------------------------------
// Size of the whole X screen (the root window) in pixels: every monitor lies
// inside it. False without a connection.
bool platform_screen_size(int* width, int* height);
// The monitors as the desktop shows them, in screen pixels, the primary one
// first: RandR 1.5 monitors, else Xinerama's screens, without duplicates
// (mirrored outputs). Empty when neither can be read: callers then treat the
// whole screen as one monitor.
std::vector<PlatformRect> platform_monitors();
// A monitor was added, removed, moved or resized, or the screen changed size,
// since the last call (RandR notifies on this connection). Never blocks; false
// without RandR.
bool platform_monitors_changed();
