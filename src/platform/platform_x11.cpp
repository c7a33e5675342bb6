// Linux/X11 implementation of platform.h.
#include "platform/platform.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xinerama.h>
#include <X11/extensions/Xrandr.h>
#include <signal.h>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

// ---- Process -------------------------------------------------------------------

std::string platform_executable_path() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return "";
        if ((size_t)n < buffer.size()) return std::string(buffer.data(), (size_t)n);
        buffer.resize(buffer.size() * 2);  // truncated: try a larger buffer
    }
}

bool platform_interrupt_process(int64_t pid) {
    if (pid <= 0) return false;  // kill() would take 0 as our group and -1 as every process
    return kill(static_cast<pid_t>(pid), SIGINT) == 0;
}

// ---- Ending the process ------------------------------------------------------------------

void platform_on_end_request(void (*handler)(int)) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, handler);
}

void platform_exit_now(int status) {
    _exit(status);
}

void platform_write_stdout(const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= size_t(n);
    }
}

// ---- Files ---------------------------------------------------------------------------------

bool platform_file_read(const std::string& path, std::string* content) {
    content->clear();
    // stdio rather than a stream: a read error (a directory, a vanished
    // disk) ends the content instead of throwing out of a stream iterator.
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) content->append(buffer, n);
    std::fclose(file);
    return true;
}

// Write every byte of data to fd, resuming after short writes and signals.
static bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Flush the directory entry of a rename; failures are not fatal (some file
// systems refuse fsync on directories), the data itself is already on disk.
static void sync_directory(const std::string& file) {
    size_t slash = file.rfind('/');
    std::string dir = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool platform_file_replace(const std::string& target, const std::string& content) {
    std::string temp = target + ".tmp-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return false;
    temp = name.data();

    // Owner only: the configuration holds the account's credential. The file
    // being replaced keeps its mode only where that is stricter (bits of 0600
    // the user took away stay away; group and others never get any).
    struct stat old;
    mode_t mode = ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 0600) : 0600;
    (void)::fchmod(fd, mode);  // a mode it cannot set is no reason to lose the save
    bool ok = write_all(fd, content.data(), content.size()) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    sync_directory(target);
    return true;
}

int platform_file_remove_temporaries(const std::string& target) {
    // The names platform_file_replace gives its temporaries: path + ".tmp-" + six characters.
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp-";
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) return 0;
    int removed = 0;
    while (dirent* entry = ::readdir(listing)) {
        std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        struct stat info;
        std::string full = dir + name;
        if (::lstat(full.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (::unlink(full.c_str()) == 0) removed++;
    }
    ::closedir(listing);
    return removed;
}

// ---- One instance --------------------------------------------------------------------
// A POSIX record lock (fcntl) rather than flock: F_GETLK names the process that
// holds it, so an id is never read from a file a dead process left behind.
// Record locks belong to the process and go away when it closes any descriptor
// of the file: the companion opens the file once and keeps it open.

static flock whole_file_lock() {
    flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end of the file, however long it grows
    return lock;
}

PlatformLock platform_lock_take(const std::string& path) {
    // No O_TRUNC: while another process holds the file, its id stays in it.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return PLATFORM_LOCK_FAILED;
    flock lock = whole_file_lock();
    while (fcntl(fd, F_SETLK, &lock) != 0) {
        if (errno == EINTR) continue;
        int error = errno;
        ::close(fd);
        return error == EACCES || error == EAGAIN ? PLATFORM_LOCK_BUSY : PLATFORM_LOCK_FAILED;
    }
    std::string id = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0) {
        ssize_t written = pwrite(fd, id.data(), id.size(), 0);
        (void)written;  // the id is for people; the lock is what counts
    }
    return PLATFORM_LOCK_TAKEN;  // fd is never closed: the lock lasts as long as the process
}

int64_t platform_lock_holder(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    flock probe = whole_file_lock();
    int64_t holder = 0;
    if (fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
        // l_pid is 0 for a holder in another pid namespace.
        holder = probe.l_pid > 0 ? probe.l_pid : -1;
    }
    ::close(fd);
    return holder;
}

// ---- Session ---------------------------------------------------------------------------

bool platform_session_is_wayland() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (display != nullptr && display[0] != '\0') || (type != nullptr && std::strcmp(type, "wayland") == 0);
}

// ---- Randomness ------------------------------------------------------------------

bool platform_random_bytes(void* out, size_t size) {
    auto* bytes = static_cast<unsigned char*>(out);
    size_t got = 0;
    while (got < size) {
        ssize_t n = getrandom(bytes + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    if (got == size) return true;
    // Kernels before 3.17 have no getrandom.
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (got < size) {
        ssize_t n = ::read(fd, bytes + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    ::close(fd);
    return got == size;
}

// ---- Clock -----------------------------------------------------------------------

int64_t platform_clock_counter() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int64_t platform_clock_frequency() {
    return 1000000000LL;
}

// ---- Browser -----------------------------------------------------------------------

bool platform_open_url(const std::string& url) {
    // An argument vector, never a shell: the address cannot become a command.
    std::string program = "xdg-open";
    std::vector<char*> argv = {program.data(), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv.data(), environ) != 0) return false;
    // Reap the child without waiting for it here; a detached thread blocks in
    // waitpid for exactly this pid, so no zombie stays and no other child is touched.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

// ---- Windows of the desktop -----------------------------------------------------------

namespace {

Display* DPY = nullptr;  // connection of the window functions; null when disconnected
bool X_ERROR = false;    // an X error arrived for DPY during the current query
bool X_BAD_WINDOW = false;  // ... and one of them said the window does not exist (BadWindow)

int record_error(Display* dpy, XErrorEvent* error) {
    if (dpy == DPY) {
        X_ERROR = true;
        if (error->error_code == BadWindow) X_BAD_WINDOW = true;
    }
    return 0;
}

// Installs the recording handler for one query and puts back whatever was there
// (GLFW swaps handlers too, so ours is never left installed).
struct ErrorScope {
    XErrorHandler previous;
    ErrorScope() {
        XSync(DPY, False);
        X_ERROR = false;
        X_BAD_WINDOW = false;
        previous = XSetErrorHandler(record_error);
    }
    ~ErrorScope() {
        XSync(DPY, False);
        XSetErrorHandler(previous);
    }
    bool failed() {
        XSync(DPY, False);
        return X_ERROR;
    }
};

// Items of a 32-bit property (Window, CARDINAL) as unsigned longs, as Xlib returns them.
std::vector<unsigned long> long_property(Window w, const char* name, Atom type) {
    std::vector<unsigned long> values;
    Atom prop = XInternAtom(DPY, name, False);
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(DPY, w, prop, 0, 1 << 16, False, type, &actual, &format, &count, &after, &data) ==
            Success &&
        data && actual == type && format == 32) {
        const unsigned long* items = (const unsigned long*)data;
        values.assign(items, items + count);
    }
    if (data) XFree(data);
    return values;
}

bool title_of(Window w, std::string* title) {
    Atom utf8 = XInternAtom(DPY, "UTF8_STRING", False);
    Atom netName = XInternAtom(DPY, "_NET_WM_NAME", False);
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(DPY, w, netName, 0, 4096, False, utf8, &actual, &format, &count, &after, &data) ==
            Success &&
        data && actual == utf8 && format == 8) {
        title->assign((const char*)data, count);
        XFree(data);
        return true;
    }
    if (data) XFree(data);
    char* name = nullptr;
    if (XFetchName(DPY, w, &name) && name) {
        *title = name;
        XFree(name);
        return true;
    }
    return false;
}

bool title_matches(Window w, const char* title, size_t length) {
    std::string have;
    if (!title_of(w, &have)) return false;
    // As many bytes as the wanted title has, so a longer title with that prefix matches.
    return have.size() >= length && std::memcmp(have.data(), title, length) == 0;
}

}  // namespace

namespace {
int RANDR_EVENT_BASE = -1;  // first RandR event number on DPY; -1 without RandR
// What the events read from DPY have said since the last questions (main
// thread): a monitor changed; a panel may have come, moved or gone (true at
// first, so the first question reads the work areas).
bool MONITORS_DIRTY = false;
bool WORK_DIRTY = true;
}  // namespace

bool platform_windows_connect() {
    if (DPY) return true;
    DPY = XOpenDisplay(nullptr);
    if (!DPY) return false;
    // Monitors come and go: ask to be told (platform_monitors_changed reads the notices).
    int eventBase = 0, errorBase = 0;
    RANDR_EVENT_BASE = -1;
    if (XRRQueryExtension(DPY, &eventBase, &errorBase)) {
        RANDR_EVENT_BASE = eventBase;
        XRRSelectInput(DPY, DefaultRootWindow(DPY),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
    // The window manager republishes its client list and work area on the
    // root when a panel comes, goes or changes its strut.
    XSelectInput(DPY, DefaultRootWindow(DPY), PropertyChangeMask);
    WORK_DIRTY = true;
    return true;
}

std::string platform_x_resources() {
    // On this connection, which stays open: one closed at once would leave a
    // server with no other client (Xvfb without -noreset) resetting just as
    // the overlay's window connects. The property itself, not Xlib's copy
    // from when the connection opened.
    if (!platform_windows_connect()) return "";
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(DPY, DefaultRootWindow(DPY), XA_RESOURCE_MANAGER, 0, 1 << 20, False, XA_STRING, &actual,
                           &format, &count, &after, &data) == Success &&
        data && actual == XA_STRING && format == 8)
        text.assign((const char*)data, count);
    if (data) XFree(data);
    return text;
}

void platform_windows_disconnect() {
    if (!DPY) return;
    XCloseDisplay(DPY);
    DPY = nullptr;
}

uint64_t platform_find_window(const char* title) {
    if (!DPY || !title) return 0;
    ErrorScope scope;
    const size_t length = std::strlen(title);
    Window root = DefaultRootWindow(DPY);

    // Managed windows first, in the window manager's order.
    for (unsigned long w : long_property(root, "_NET_CLIENT_LIST", XA_WINDOW)) {
        X_ERROR = false;
        if (title_matches((Window)w, title, length) && !scope.failed()) return w;
    }
    // No window manager list: the root's children and, for reparenting
    // managers, their children one level down.
    Window rootReturn = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(DPY, root, &rootReturn, &parent, &children, &count)) return 0;
    uint64_t found = 0;
    for (unsigned int i = 0; i < count && !found; i++) {
        X_ERROR = false;
        if (title_matches(children[i], title, length) && !scope.failed()) {
            found = children[i];
            break;
        }
        Window r2 = 0, p2 = 0, *inner = nullptr;
        unsigned int innerCount = 0;
        if (XQueryTree(DPY, children[i], &r2, &p2, &inner, &innerCount)) {
            for (unsigned int j = 0; j < innerCount; j++) {
                X_ERROR = false;
                if (title_matches(inner[j], title, length) && !scope.failed()) {
                    found = inner[j];
                    break;
                }
            }
            if (inner) XFree(inner);
        }
    }
    if (children) XFree(children);
    return found;
}

uint64_t platform_foreground_window() {
    if (!DPY) return 0;
    ErrorScope scope;
    std::vector<unsigned long> active = long_property(DefaultRootWindow(DPY), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    if (scope.failed() || active.empty()) return 0;
    return active[0];
}

namespace {

bool holds_atom(const std::vector<unsigned long>& atoms, const char* name) {
    Atom wanted = XInternAtom(DPY, name, False);
    for (unsigned long a : atoms)
        if (a == wanted) return true;
    return false;
}

// Whether the user can see w where it is: not minimised, on this workspace,
// viewable. Reads only properties; an error is left to the caller's scope.
bool window_visible(Window w, const XWindowAttributes& attributes, const std::vector<unsigned long>& netState) {
    // A reparenting manager unmaps the frame, not the client, of a window on
    // another workspace: the client then is IsUnviewable, not IsUnmapped.
    if (attributes.map_state != IsViewable) return false;
    if (holds_atom(netState, "_NET_WM_STATE_HIDDEN")) return false;
    Atom wmState = XInternAtom(DPY, "WM_STATE", False);
    std::vector<unsigned long> icccm = long_property(w, "WM_STATE", wmState);
    if (!icccm.empty() && icccm[0] == IconicState) return false;
    // 0xFFFFFFFF: on every workspace.
    std::vector<unsigned long> desktop = long_property(w, "_NET_WM_DESKTOP", XA_CARDINAL);
    if (!desktop.empty() && (desktop[0] & 0xFFFFFFFFul) != 0xFFFFFFFFul) {
        std::vector<unsigned long> current = long_property(DefaultRootWindow(DPY), "_NET_CURRENT_DESKTOP", XA_CARDINAL);
        if (!current.empty() && (current[0] & 0xFFFFFFFFul) != (desktop[0] & 0xFFFFFFFFul)) return false;
    }
    return true;
}

}  // namespace

PlatformWindowInfo platform_window_info(uint64_t window) {
    PlatformWindowInfo info = {PLATFORM_WINDOW_UNKNOWN, {0, 0, 0, 0}, false};
    if (!DPY) return info;
    if (!window) {
        info.state = PLATFORM_WINDOW_GONE;
        return info;
    }
    ErrorScope scope;
    // A window closed between two looks answers BadWindow to the first request
    // that names it; any other error says nothing about the window itself.
    auto failed = [&] {
        if (!scope.failed()) return false;
        info.state = X_BAD_WINDOW ? PLATFORM_WINDOW_GONE : PLATFORM_WINDOW_UNKNOWN;
        return true;
    };
    Window w = (Window)window;
    XWindowAttributes attributes;
    // (Xlib's calls answer 0 on an error reply too: the error is asked first.)
    Status known = XGetWindowAttributes(DPY, w, &attributes);
    if (failed() || !known) return info;
    int x = 0, y = 0;
    Window child = 0;
    Bool translated = XTranslateCoordinates(DPY, w, DefaultRootWindow(DPY), 0, 0, &x, &y, &child);
    if (failed() || !translated) return info;
    PlatformRect r = {x, y, x + attributes.width, y + attributes.height};
    // The frame the window manager drew around it: left, right, top, bottom.
    std::vector<unsigned long> frame = long_property(w, "_NET_FRAME_EXTENTS", XA_CARDINAL);
    // The shadow and resize margin a client-side-decorated (GTK) window draws
    // inside its own area, same order; the user sees the window within it.
    std::vector<unsigned long> shadow = long_property(w, "_GTK_FRAME_EXTENTS", XA_CARDINAL);
    std::vector<unsigned long> netState = long_property(w, "_NET_WM_STATE", XA_ATOM);
    if (failed()) return info;
    if (frame.size() >= 4) {
        r.left -= (int)frame[0];
        r.right += (int)frame[1];
        r.top -= (int)frame[2];
        r.bottom += (int)frame[3];
    }
    // Margins that would leave nothing of the window are not believed.
    if (shadow.size() >= 4 && shadow[0] + shadow[1] < (unsigned long)attributes.width &&
        shadow[2] + shadow[3] < (unsigned long)attributes.height) {
        r.left += (int)shadow[0];
        r.right -= (int)shadow[1];
        r.top += (int)shadow[2];
        r.bottom -= (int)shadow[3];
    }
    bool visible = window_visible(w, attributes, netState);
    if (failed()) return info;
    info.rect = r;
    info.fullscreen = holds_atom(netState, "_NET_WM_STATE_FULLSCREEN");
    info.state = visible ? PLATFORM_WINDOW_SHOWN : PLATFORM_WINDOW_HIDDEN;
    return info;
}

// ---- Monitors ------------------------------------------------------------------------

bool platform_screen_size(int* width, int* height) {
    if (!DPY || !width || !height) return false;
    // The root's geometry is asked each time: DisplayWidth keeps the size the
    // connection opened with.
    Window root = 0;
    int x = 0, y = 0;
    unsigned int w = 0, h = 0, border = 0, depth = 0;
    if (!XGetGeometry(DPY, DefaultRootWindow(DPY), &root, &x, &y, &w, &h, &border, &depth)) return false;
    *width = (int)w;
    *height = (int)h;
    return true;
}

std::vector<PlatformRect> platform_monitors() {
    std::vector<PlatformRect> found;
    if (!DPY) return found;
    ErrorScope scope;
    auto add = [&found](int x, int y, int w, int h) {
        if (w <= 0 || h <= 0) return;
        PlatformRect r{x, y, x + w, y + h};
        for (const PlatformRect& have : found)
            if (have.left == r.left && have.top == r.top && have.right == r.right && have.bottom == r.bottom) return;
        found.push_back(r);
    };
    int major = 0, minor = 0;
    if (RANDR_EVENT_BASE >= 0 && XRRQueryVersion(DPY, &major, &minor) && (major > 1 || (major == 1 && minor >= 5))) {
        int count = 0;
        XRRMonitorInfo* monitors = XRRGetMonitors(DPY, DefaultRootWindow(DPY), True, &count);
        for (int pass = 0; pass < 2; pass++)  // the primary first
            for (int i = 0; i < count; i++)
                if ((monitors[i].primary != 0) == (pass == 0))
                    add(monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height);
        if (monitors) XRRFreeMonitors(monitors);
    }
    int eventBase = 0, errorBase = 0;
    if (found.empty() && XineramaQueryExtension(DPY, &eventBase, &errorBase) && XineramaIsActive(DPY)) {
        int count = 0;
        XineramaScreenInfo* screens = XineramaQueryScreens(DPY, &count);
        for (int i = 0; i < count; i++) add(screens[i].x_org, screens[i].y_org, screens[i].width, screens[i].height);
        if (screens) XFree(screens);
    }
    if (scope.failed()) found.clear();
    return found;
}

namespace {

bool is_atom(Atom atom, const char* name) { return atom == XInternAtom(DPY, name, True); }

// Read every event queued on DPY and note what it says. Asked for: RandR's on
// the root, property changes on the root, and property and structure changes
// on the windows that hold struts (platform_work_areas selects them).
void read_events() {
    while (XPending(DPY) > 0) {
        XEvent event;
        XNextEvent(DPY, &event);
        if (RANDR_EVENT_BASE >= 0 &&
            (event.type == RANDR_EVENT_BASE + RRScreenChangeNotify || event.type == RANDR_EVENT_BASE + RRNotify)) {
            XRRUpdateConfiguration(&event);
            MONITORS_DIRTY = true;
        } else if (event.type == PropertyNotify) {
            const Atom a = event.xproperty.atom;
            if (is_atom(a, "_NET_CLIENT_LIST") || is_atom(a, "_NET_WORKAREA") || is_atom(a, "_NET_CURRENT_DESKTOP") ||
                is_atom(a, "_NET_WM_STRUT_PARTIAL") || is_atom(a, "_NET_WM_STRUT"))
                WORK_DIRTY = true;
        } else if (event.type == UnmapNotify || event.type == MapNotify || event.type == DestroyNotify) {
            WORK_DIRTY = true;
        }
    }
}

// The strut a window holds, from _NET_WM_STRUT_PARTIAL, else _NET_WM_STRUT;
// false when it holds none (or only zeros).
bool strut_of(Window w, PlatformStrut* out) {
    // CARDINALs are 32 bits, which Xlib hands over sign-extended in longs.
    auto cardinal = [](unsigned long v) { return (long)(v & 0xFFFFFFFFul); };
    std::vector<unsigned long> v = long_property(w, "_NET_WM_STRUT_PARTIAL", XA_CARDINAL);
    if (v.size() >= 12) {
        long f[12];
        for (int i = 0; i < 12; i++) f[i] = cardinal(v[i]);
        *out = PlatformStrut{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11]};
    } else {
        v = long_property(w, "_NET_WM_STRUT", XA_CARDINAL);
        if (v.size() < 4) return false;
        // The whole of every edge: the arithmetic clamps the spans to the screen.
        *out = PlatformStrut{cardinal(v[0]), cardinal(v[1]), cardinal(v[2]), cardinal(v[3]), 0, LONG_MAX, 0, LONG_MAX,
                             0, LONG_MAX, 0, LONG_MAX};
    }
    return out->left > 0 || out->right > 0 || out->top > 0 || out->bottom > 0;
}

}  // namespace

std::vector<PlatformRect> platform_work_areas(const std::vector<PlatformRect>& monitors) {
    if (!DPY) return {};
    ErrorScope scope;
    const Window root = DefaultRootWindow(DPY);
    std::vector<PlatformStrut> struts;
    for (unsigned long client : long_property(root, "_NET_CLIENT_LIST", XA_WINDOW)) {
        PlatformStrut strut;
        if (!strut_of((Window)client, &strut)) continue;
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(DPY, (Window)client, &attributes) || attributes.map_state == IsUnmapped) continue;
        // Told when this panel changes its strut or goes away.
        XSelectInput(DPY, (Window)client, PropertyChangeMask | StructureNotifyMask);
        struts.push_back(strut);
    }
    int width = 0, height = 0;
    std::vector<PlatformRect> work = monitors;
    if (!struts.empty() && platform_screen_size(&width, &height)) {
        work = platform_work_areas_from_struts(width, height, monitors, struts);
    } else if (struts.empty()) {
        // x, y, width, height for each desktop; the current one counts.
        std::vector<unsigned long> area = long_property(root, "_NET_WORKAREA", XA_CARDINAL);
        std::vector<unsigned long> desktop = long_property(root, "_NET_CURRENT_DESKTOP", XA_CARDINAL);
        const unsigned long current = desktop.empty() ? 0 : desktop[0] & 0xFFFFFFFFul;
        if (current < area.size() / 4) {
            // CARDINALs, sign-extended by Xlib; nonsense is refused by the half rule.
            long v[4];
            for (int i = 0; i < 4; i++) v[i] = (long)(area[4 * current + i] & 0x7FFFFFFFul);
            const PlatformRect r{(int)v[0], (int)v[1], (int)std::min<long>(v[0] + v[2], INT_MAX),
                                 (int)std::min<long>(v[1] + v[3], INT_MAX)};
            work = platform_work_areas_within(r, monitors);
        }
    }
    // A panel closed while it was read only leaves itself out (its properties
    // read as absent); look again at the next question all the same.
    if (scope.failed()) WORK_DIRTY = true;
    return work;
}

namespace {

// Whether the events read so far, the queued ones included, set flag; clears it.
bool events_said(bool& flag) {
    if (!DPY) return false;
    read_events();
    const bool said = flag;
    flag = false;
    return said;
}

}  // namespace

bool platform_work_areas_changed() { return events_said(WORK_DIRTY); }

bool platform_monitors_changed() { return events_said(MONITORS_DIRTY); }

// ---- Diagnostic output, notification area, start with the session -----------------------
// A Linux program keeps the standard output its starter gave it; the
// notification-area icon and the log-on start are Windows's (the desktop
// entry of scripts/install.sh is Linux's way in).

PlatformOutput platform_output_start(const std::string&) { return PLATFORM_OUTPUT_INHERITED; }
void platform_output_finish() {}

PlatformTrayResult platform_tray_start(const std::string&, const std::string&, const std::string&, void (*)(int)) {
    return PLATFORM_TRAY_UNSUPPORTED;
}
void platform_tray_set_tip(const std::string&) {}
void platform_tray_set_hidden(bool) {}
PlatformTrayCommand platform_tray_take_command() { return PLATFORM_TRAY_NOTHING; }
void platform_tray_stop() {}

bool platform_autostart_enabled() { return false; }
bool platform_autostart_set(bool) { return false; }
