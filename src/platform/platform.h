// The few operating-system calls the companion makes, behind one header so no
// feature code includes X11 or Win32 headers. platform_x11.cpp implements them
// on Linux/X11, platform_win32.cpp on Windows, platform.cpp what both share.
// Strings are UTF-8 at every boundary (paths, titles, addresses); the Windows
// side converts to and from UTF-16 inside.
//
// Threads: platform_executable_path, platform_random_bytes, platform_clock_*,
// platform_open_url, platform_url_is_web and the file functions are safe from
// any thread. platform_write_stdout and platform_exit_now are safe inside a
// signal handler. The window functions use one X connection of their own
// (on Windows, no connection) and belong to the main thread.
//
// Coordinates: "screen pixels" count from the top-left corner of the whole
// desktop the overlay covers: the X root window on Linux; on Windows the
// virtual screen (every monitor), whose corner SM_XVIRTUALSCREEN,
// SM_YVIRTUALSCREEN may lie left of or above the primary monitor (negative
// system coordinates). platform_win32.cpp subtracts that corner from every
// rectangle it returns, so (0, 0) is the overlay's corner on both systems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- Process ---------------------------------------------------------------
std::string platform_executable_path();         // Full path of the running executable, "" when unknown
// Send the interrupt (what Ctrl-C sends: SIGINT) to process pid; false when it
// could not. A pid <= 0 is refused: it would name a group or every process.
// On Windows, where no signal reaches another program, the running companion
// waits on a named event of its own (see platform_on_end_request) and this sets
// it; false when pid runs no companion that listens.
bool platform_interrupt_process(int64_t pid);

// ---- Ending the process ------------------------------------------------------------
// Numbers handed to an end-request handler, and the exit statuses that follow
// them: the POSIX signal numbers on both systems.
inline constexpr int PLATFORM_END_INTERRUPT = 2;   // Ctrl-C, `vimo --quit` (SIGINT)
inline constexpr int PLATFORM_END_TERMINATE = 15;  // a session manager at log-off or shutdown (SIGTERM)
inline constexpr int PLATFORM_END_HANGUP = 1;      // the terminal or console went away (SIGHUP)
// Call handler(number) whenever the system asks the program to end: on Linux
// SIGINT, SIGTERM and SIGHUP through std::signal (the handler runs as a signal
// handler: async-signal-safe calls only); on Windows the console's Ctrl-C
// (INTERRUPT), Ctrl-Break and close (HANGUP), log-off and shutdown
// (TERMINATE), and `vimo --quit` (INTERRUPT), each on a thread of its own.
// Windows ends a process whose handler returned from a close, log-off or
// shutdown event, so there the call waits up to PLATFORM_END_GRACE_MS for the
// main thread to finish its shutdown and leave. Once per process, main thread.
void platform_on_end_request(void (*handler)(int));
inline constexpr long PLATFORM_END_GRACE_MS = 4500;  // Windows gives a closed console about 5 s
// End the process at once with status: no exit handlers, no static
// destructors, no flushing of stdio (_exit; TerminateProcess on Windows).
[[noreturn]] void platform_exit_now(int status);
// Write size bytes of data to standard output without stdio's buffer.
void platform_write_stdout(const char* data, size_t size);

// ---- Diagnostic output ---------------------------------------------------------------
// Where standard output (stdio, std::cout, platform_write_stdout) goes.
enum PlatformOutput {
    PLATFORM_OUTPUT_INHERITED,  // where the starter put it: a terminal, a pipe or a file (always on Linux)
    PLATFORM_OUTPUT_CONSOLE,    // Windows: the console of the program that started us (cmd, PowerShell)
    PLATFORM_OUTPUT_LOG         // Windows: no console and no handle: the log file (platform_log_append)
};
// Called first thing in main, main thread. Linux: nothing to do. Windows,
// where vimo.exe is a GUI program that gets no console of its own: keep a
// standard output handle the starter passed (a redirection, a pipe); else
// attach to the starting program's console; else send every later line of
// this process, through a pipe and a thread of its own, to the file at
// log_path. Lines written before this call are lost on Windows.
PlatformOutput platform_output_start(const std::string& log_path);
// Flush stdio and wait (at most a second) until the log thread has written
// every line already handed to it; later output is dropped. Runs by itself
// at exit and in platform_exit_now; any thread; does nothing twice.
void platform_output_finish();
inline constexpr size_t PLATFORM_LOG_LIMIT = 1u << 20;  // bytes: the log file stays below this size
// Append size bytes of data to the file at path (created when missing). When
// the file would reach limit bytes, its older half (up to a line end) first
// replaces path + ".1" and the newer half stays, so the file always stays
// below limit and path + ".1" holds the lines before it. Of a piece of half
// the limit or more only its newest part is kept. False when the file could
// not be written. One writer at a time (the log thread); other processes
// appending to the same file lose nothing but may roll it in between.
bool platform_log_append(const std::string& path, const char* data, size_t size, size_t limit = PLATFORM_LOG_LIMIT);

// ---- Notification-area icon (Windows; Linux has none) ---------------------------------------
enum PlatformTrayResult {
    PLATFORM_TRAY_UNSUPPORTED,  // no notification area on this system (Linux)
    PLATFORM_TRAY_ADDED,        // the icon is in the notification area
    PLATFORM_TRAY_WAITING       // not yet: the shell has no notification area now; added when it announces one
};
// What the icon's menu asks of the main thread (platform_tray_take_command).
enum PlatformTrayCommand { PLATFORM_TRAY_NOTHING, PLATFORM_TRAY_HIDE, PLATFORM_TRAY_SHOW };
// Add the icon (the .ico file at icon_path, the sizes the shell wants picked
// from it) with tip as its tooltip, on a thread of its own with a hidden
// window that also puts it back when Explorer restarts (TaskbarCreated). Its
// menu: "Hide for an hour" or "Show" (queued for platform_tray_take_command),
// "Start with Windows" (platform_autostart_*), "Open log" (log_path in the
// user's editor; greyed while the file does not exist) and "Quit", which calls
// quit(PLATFORM_END_INTERRUPT) on the icon's thread, as Ctrl-C would.
// Main thread, once.
PlatformTrayResult platform_tray_start(const std::string& icon_path, const std::string& tip,
                                       const std::string& log_path, void (*quit)(int));
void platform_tray_set_tip(const std::string& tip);    // Tooltip text (UTF-8, cut to 127 characters); any thread
void platform_tray_set_hidden(bool hidden);            // The menu offers "Show" instead of "Hide for an hour"; any thread
PlatformTrayCommand platform_tray_take_command();      // The last command chosen since the previous call; any thread
void platform_tray_stop();                             // Remove the icon and end its thread; main thread

// ---- Start with the session (Windows: HKCU\...\CurrentVersion\Run, value "vimo") ---------------
// True when the system starts this executable at log-on (the value names
// this very file). Linux: false.
bool platform_autostart_enabled();
// Register this executable to start at log-on, or take it out (a value that
// names another copy is left alone when turning off). False when it could
// not, and always on Linux.
bool platform_autostart_set(bool on);

// ---- Files (whole files, paths UTF-8) -------------------------------------------------------
// Content of the file at path into *content; false (content empty) when it
// cannot be opened (missing, a folder, no permission). A read error ends the content.
bool platform_file_read(const std::string& path, std::string* content);
// Replace the file at path with content atomically: a temporary beside it
// (path + ".tmp-" + six characters) is written, flushed to disk and renamed over
// it (rename; MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH),
// so a crash leaves the old or the new file, never a part. Readable and
// writable by the owner only (mode 0600, or the old file's stricter mode; on
// Windows an access list for the user alone, read-only kept). False, the old
// file untouched and no temporary left, when it could not.
bool platform_file_replace(const std::string& path, const std::string& content);
// Remove the temporaries an interrupted platform_file_replace(path, ...) left;
// returns how many were removed.
int platform_file_remove_temporaries(const std::string& path);

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
// cannot name. Asks the system, never trusts the id written in the file alone
// (Windows cannot name a lock's holder: there the lock is tried first, and
// the id in the file counts only while the lock is held and that process
// runs). Not
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
// vector, never a shell; the child is reaped. Windows: ShellExecuteW, which would
// also run programs and open files, so there anything platform_url_is_web
// refuses is refused). Returns false when it could not start.
bool platform_open_url(const std::string& url);
// An http:// or https:// address (scheme in any case) without spaces or
// control characters: the only kind handed to the desktop.
bool platform_url_is_web(const std::string& url);

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
// before any window exists. On Windows: the system DPI as one Xft.dpi line.
std::string platform_x_resources();
// First top-level window whose title starts with the bytes of title (as many as
// title has); 0 when none. The id is the X window id (Windows: the HWND).
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
    // window (_GTK_FRAME_EXTENTS) taken away; on Windows DWM's extended frame
    // bounds (without the invisible resize borders), else GetWindowRect. Set
    // for SHOWN and HIDDEN, else all zero.
    PlatformRect rect;
    // The window asked its manager for the whole monitor (_NET_WM_STATE_FULLSCREEN);
    // on Windows: it covers its whole monitor and is not the desktop itself.
    bool fullscreen;
};

// State, visible rectangle and full-screen flag of window, in one look.
PlatformWindowInfo platform_window_info(uint64_t window);
// Visible outer rectangle of window (as PlatformWindowInfo::rect). False (and
// out untouched) unless the window is SHOWN: closed, minimised, on another
// workspace, unmapped or not answering.
inline bool platform_window_rect(uint64_t window, PlatformRect* out) {
    if (!out) return false;
    PlatformWindowInfo info = platform_window_info(window);
    if (info.state != PLATFORM_WINDOW_SHOWN) return false;
    *out = info.rect;
    return true;
}

// ---- Monitors (the connection above) ---------------------------------------------------
// Size of the whole X screen (the root window; Windows: the virtual screen) in
// pixels: every monitor lies inside it. False without a connection.
bool platform_screen_size(int* width, int* height);
// The monitors as the desktop shows them, in screen pixels, the primary one
// first: RandR 1.5 monitors, else Xinerama's screens, without duplicates
// (mirrored outputs). Windows: EnumDisplayMonitors. Empty when neither can be
// read: callers then treat the whole screen as one monitor.
std::vector<PlatformRect> platform_monitors();
// The work area of each of monitors (screen pixels, as platform_monitors gives
// them), in the same order: the part of the monitor that panels, docks and
// taskbars leave to windows. X11: the struts of the mapped windows of the
// window manager's client list (_NET_WM_STRUT_PARTIAL, else _NET_WM_STRUT),
// each clipped to the monitors it reaches; when no window holds a strut, the
// current desktop's _NET_WORKAREA clipped to each monitor; else the monitor
// itself. Windows: each monitor's rcWork. Empty without a connection: callers
// keep what they had. A window closed while being read is left out.
std::vector<PlatformRect> platform_work_areas(const std::vector<PlatformRect>& monitors);
// A panel may have appeared, moved or gone away since the last call (X11: the
// client list, _NET_WORKAREA, the current desktop or a listed window's strut
// changed, or a window holding a strut was unmapped; Windows: any monitor's
// rcWork differs from the previous call's). Never blocks; the first call
// answers true.
bool platform_work_areas_changed();

// What _NET_WM_STRUT_PARTIAL holds for one window: how many pixels it reserves
// along each edge of the whole screen (the root window, not a monitor), and
// along which span of that edge (first and last pixel, both included).
// _NET_WM_STRUT gives the four widths with every span the whole edge.
struct PlatformStrut {
    long left, right, top, bottom;                // pixels reserved from each screen edge; 0: none
    long left_start_y, left_end_y;                // rows the left strip covers
    long right_start_y, right_end_y;              // rows the right strip covers
    long top_start_x, top_end_x;                  // columns the top strip covers
    long bottom_start_x, bottom_end_x;            // columns the bottom strip covers
};
// Each monitor's work area under struts on a screen of width x height pixels:
// a strut's strip shrinks every monitor it overlaps, from that side, up to the
// strip's inner edge; a strip that misses a monitor (another monitor's panel)
// leaves it alone. A strip that would leave a monitor less than half its width
// or height is not believed for that monitor (a panel never takes that much,
// and the mascot needs room to stand).
std::vector<PlatformRect> platform_work_areas_from_struts(int width, int height,
                                                          const std::vector<PlatformRect>& monitors,
                                                          const std::vector<PlatformStrut>& struts);
// Each monitor clipped to one work area that spans all of them (_NET_WORKAREA,
// whose union cannot say which monitor a panel is on); a monitor it leaves
// less than half of in either direction keeps its whole area.
std::vector<PlatformRect> platform_work_areas_within(const PlatformRect& area,
                                                     const std::vector<PlatformRect>& monitors);
// The monitors' work areas from what the system told per monitor (Windows'
// rcMonitor and rcWork, same order): each of monitors gets the work area of
// the told monitor with the same rectangle, else itself.
std::vector<PlatformRect> platform_work_areas_match(const std::vector<PlatformRect>& monitors,
                                                    const std::vector<PlatformRect>& told_monitors,
                                                    const std::vector<PlatformRect>& told_work);

// A monitor was added, removed, moved or resized, or the screen changed size,
// since the last call (RandR notifies on this connection). Never blocks; false
// without RandR. Windows: the virtual screen and the monitor list are compared
// with what the previous call saw (no window message is needed for it).
bool platform_monitors_changed();
