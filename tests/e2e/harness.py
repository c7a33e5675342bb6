"""End-to-end harness: a private X display with a window manager, a host
window, the community service and the real companion, driven like a user.

Everything a scenario starts is owned by a `Stack` and stopped (process group
by process group) when the scenario ends, whether it passed or failed.
Synchronisation is always a condition polled until a deadline; the waits in
between polls are short and never decide an outcome on their own.
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

SCREEN_W, SCREEN_H = 1920, 1080
# The two-monitor desktop: a SCREEN_W x SCREEN_H monitor with a smaller one to
# its right, tops aligned, on a TWO_MONITORS_W x SCREEN_H screen.
TWO_MONITORS_W = 3200
SECOND_W, SECOND_H = 1280, 1024
SECOND_MODE = "1280x1024_60"
SECOND_MODELINE = ["108.00", "1280", "1328", "1440", "1688", "1024", "1025", "1028", "1066", "+hsync", "+vsync"]
OVERLAY_TITLE = "vimo.exe v1.0"
UNIFONT = "/usr/share/fonts/opentype/unifont/unifont.otf"

# Colours of the generated pictures (tools/pixel_art.cpp).
MASCOT_BODY = (183, 163, 245)
MASCOT_OUTLINE = (42, 29, 69)
HOST_BG = (32, 64, 96)  # the xterm's background, chosen to stand out


class ScenarioFailure(AssertionError):
    pass


def check(cond, message):
    if not cond:
        raise ScenarioFailure(message)


def wait_until(predicate, timeout, what, interval=0.05):
    """Poll predicate until it returns a true value; return that value.
    Raises ScenarioFailure naming `what` when the deadline passes."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = predicate()
            if value:
                return value
        except ScenarioFailure:
            raise
        except Exception as error:  # a tool failing mid-poll is retried until the deadline
            last_error = error
        if time.monotonic() > deadline:
            detail = f" (last error: {last_error})" if last_error else ""
            raise ScenarioFailure(f"timed out after {timeout:.0f} s waiting for {what}{detail}")
        time.sleep(interval)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def log(*parts):
    print("[e2e %7.2f]" % (time.monotonic() - _T0), *parts, flush=True)


_T0 = time.monotonic()


# ---------------------------------------------------------------------------
# Processes

class Proc:
    """A child in its own process group, its output in a file (or read line by line)."""

    def __init__(self, name, argv, env, cwd=None, log_path=None, capture=False, pass_fds=(), feed=False):
        self.name = name
        self.lines = []
        self.times = []  # time.monotonic() at which each line was read
        self.lock = threading.Lock()
        self.log_file = open(log_path, "wb") if log_path else subprocess.DEVNULL
        stdout = subprocess.PIPE if capture else self.log_file
        # feed: its standard input is a pipe the scenario writes to (send()).
        self.popen = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.PIPE if feed else subprocess.DEVNULL,
                                      stdout=stdout,
                                      stderr=subprocess.STDOUT, start_new_session=True,
                                      pass_fds=pass_fds)
        self.pid = self.popen.pid
        self.reader = None
        if capture:
            self.reader = threading.Thread(target=self._read, daemon=True)
            self.reader.start()

    def _read(self):
        for raw in self.popen.stdout:
            if self.log_file is not subprocess.DEVNULL:
                self.log_file.write(raw)
                self.log_file.flush()
            with self.lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.times.append(time.monotonic())

    def send(self, line):
        self.popen.stdin.write((line + "\n").encode())
        self.popen.stdin.flush()

    def output(self):
        with self.lock:
            return list(self.lines)

    def find_line(self, pattern, start=0):
        """First output line from index `start` matching the regex, or None."""
        rx = re.compile(pattern)
        for line in self.output()[start:]:
            if rx.search(line):
                return line
        return None

    def wait_line(self, pattern, timeout, start=0):
        return wait_until(lambda: self.find_line(pattern, start), timeout,
                          f"{self.name} to print /{pattern}/")

    def line_time(self, pattern, start=0):
        """When the first line from `start` matching the regex was read, or None."""
        rx = re.compile(pattern)
        with self.lock:
            for line, t in zip(self.lines[start:], self.times[start:]):
                if rx.search(line):
                    return t
        return None

    def alive(self):
        return self.popen.poll() is None

    def stop(self, timeout=5):
        if self.popen.poll() is None:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(self.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    self.popen.wait(timeout)
                    break
                except subprocess.TimeoutExpired:
                    continue
        else:
            # The leader is gone; children it left in its group go too.
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        if self.reader:
            self.reader.join(2)
        if self.log_file is not subprocess.DEVNULL:
            self.log_file.close()


class Stack:
    """Owns the processes and temporary folders of one scenario."""

    def __init__(self, name, build_dir):
        self.name = name
        self.build_dir = os.path.abspath(build_dir)
        self.artifacts = os.path.join(self.build_dir, "e2e-artifacts", name)
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)
        self.tmp = tempfile.mkdtemp(prefix=f"vimo-e2e-{name}-")
        self.procs = []
        self.env = dict(os.environ)
        self.env.pop("DISPLAY", None)
        # The desktop's scale would apply to every scenario; the scale scenario sets its own.
        self.env.pop("GDK_SCALE", None)
        self.display = None
        self.shot_count = 0

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None and self.display:
            try:
                self.screenshot("at-failure")
            except Exception as error:
                log(f"no screenshot at failure: {error}")
        for proc in reversed(self.procs):
            try:
                proc.stop()
            except Exception as error:
                log(f"stopping {proc.name}: {error}")
        shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def spawn(self, name, argv, capture=False, cwd=None, env=None, feed=False):
        proc = Proc(name, argv, env or self.env, cwd=cwd, capture=capture,
                    log_path=os.path.join(self.artifacts, f"{name}.log"), feed=feed)
        self.procs.append(proc)
        return proc

    def run(self, argv, check_rc=True, timeout=20):
        r = subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        if check_rc and r.returncode != 0:
            raise ScenarioFailure(f"{argv[0]} failed ({r.returncode}): {r.stderr.decode(errors='replace')}")
        return r.stdout.decode(errors="replace")

    # -- the desktop -------------------------------------------------------

    def start_desktop(self, compositor, two_monitors=False):
        if two_monitors:
            self._start_two_monitors()
        else:
            self._start_server("Xvfb", ["Xvfb", "-screen", "0", f"{SCREEN_W}x{SCREEN_H}x24", "-nolisten", "tcp",
                                        "-br", "+extension", "Composite"])

        def window_manager():
            if not any(p.name == "openbox" and p.alive() for p in self.procs):
                self.spawn("openbox", ["openbox", "--sm-disable", "--config-file", self._openbox_config()])
            return "window id" in self.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], False)
        wait_until(window_manager, 30, "openbox to manage the screen", interval=0.2)
        if compositor:
            self.spawn("xcompmgr", ["xcompmgr"])
            wait_until(self._composite_manager_running, 20, "xcompmgr to own the compositing selection")

    def _start_server(self, name, argv):
        # -displayfd: the server picks a free display number and writes it
        # once it accepts connections.
        read_fd, write_fd = os.pipe()
        proc = Proc(name, [argv[0], "-displayfd", str(write_fd), *argv[1:]], self.env,
                    log_path=os.path.join(self.artifacts, f"{name}.log"), pass_fds=(write_fd,))
        self.procs.append(proc)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline or not proc.alive():
                raise ScenarioFailure(f"{name} did not report its display")
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        if not number.strip():
            raise ScenarioFailure(f"{name} ended before it took clients (see {name}.log)")
        self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display
        log("display", self.display)
        wait_until(lambda: subprocess.run(["xdpyinfo"], env=self.env, capture_output=True, timeout=10).returncode == 0,
                   20, f"the X server on {self.display} to take clients")

    def _start_two_monitors(self):
        """A real X server reporting two monitors of different sizes side by
        side, tops aligned: Xorg's dummy driver (run as root)."""
        conf = os.path.join(self.tmp, "xorg.conf")
        with open(conf, "w") as f:
            f.write(f"""Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoAddGPU" "false"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0 - 1000.0
  VertRefresh 5.0 - 200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual {TWO_MONITORS_W} {SCREEN_H}
  EndSubSection
EndSection
""")
        self._start_server("Xorg", ["Xorg", "-config", conf, "-logfile", os.path.join(self.artifacts, "Xorg.server.log"),
                                    "-noreset", "-nolisten", "tcp"])
        self.run(["xrandr", "--newmode", SECOND_MODE, *SECOND_MODELINE])
        self.run(["xrandr", "--addmode", "DUMMY1", SECOND_MODE])
        self.set_second_monitor(True)

    def set_second_monitor(self, on):
        if on:
            self.run(["xrandr", "--fb", f"{TWO_MONITORS_W}x{SCREEN_H}", "--output", "DUMMY0", "--mode",
                      f"{SCREEN_W}x{SCREEN_H}", "--pos", "0x0", "--output", "DUMMY1", "--mode", SECOND_MODE,
                      "--pos", f"{SCREEN_W}x0"])
        else:
            self.run(["xrandr", "--output", "DUMMY1", "--off", "--fb", f"{SCREEN_W}x{SCREEN_H}"])
        log("monitors", self.run(["xrandr", "--listmonitors"]).replace("\n", " | "))

    def _openbox_config(self):
        path = os.path.join(self.tmp, "rc.xml")
        with open(path, "w") as f:
            f.write("""<?xml version="1.0"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <placement><policy>Smart</policy></placement>
  <desktops><number>1</number></desktops>
  <applications>
    <!-- Stands for a GTK program with client-side decorations: no frame. -->
    <application title="gtkhost"><decor>no</decor></application>
  </applications>
</openbox_config>
""")
        return path

    def _composite_manager_running(self):
        # xcompmgr redirects the root's children; the compositor's selection
        # _NET_WM_CM_S0 is not visible through xprop, but the redirection is:
        # xwininfo then reports the children as "IsViewable" through the
        # overlay. The plain liveness of the process plus one round trip is
        # what can be checked without Xlib.
        return self.procs[-1].alive() and self.run(["xdpyinfo"], False).find("Composite") >= 0

    def start_xterm(self, x, y, cols=80, rows=20, title="hostterm"):
        proc = self.spawn("xterm", ["xterm", "-geometry", f"{cols}x{rows}+{x}+{y}", "-T", title, "-bg",
                                    "#%02x%02x%02x" % HOST_BG, "-fg", "white", "-e", "sh", "-c",
                                    "echo host window; exec cat"])
        wid = wait_until(lambda: self._search_window(title), 20, "the xterm to map")
        self.activate(wid)
        return wid

    def _search_window(self, title):
        out = self.run(["xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(title)}$"], False).split()
        return int(out[0]) if out else None

    def activate(self, wid):
        self.run(["xdotool", "windowactivate", "--sync", str(wid)], False)
        wait_until(lambda: self.active_window() == wid, 10, f"window {wid:#x} to be active")

    def active_window(self):
        out = self.run(["xprop", "-root", "_NET_ACTIVE_WINDOW"], False)
        m = re.search(r"window id # (0x[0-9a-f]+)", out)
        return int(m.group(1), 16) if m else 0

    def frame_rect(self, wid):
        """(x, y, w, h) of the window including the window manager's frame."""
        out = self.run(["xwininfo", "-id", str(wid)])
        ax = int(re.search(r"Absolute upper-left X:\s+(-?\d+)", out).group(1))
        ay = int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", out).group(1))
        w = int(re.search(r"Width:\s+(\d+)", out).group(1))
        h = int(re.search(r"Height:\s+(\d+)", out).group(1))
        ext = self.run(["xprop", "-id", str(wid), "_NET_FRAME_EXTENTS"], False)
        m = re.search(r"=\s*(\d+),\s*(\d+),\s*(\d+),\s*(\d+)", ext)
        left, right, top, bottom = (int(v) for v in m.groups()) if m else (0, 0, 0, 0)
        return (ax - left, ay - top, w + left + right, h + top + bottom)

    # -- pointer and keyboard ---------------------------------------------

    def xdotool(self, *args):
        return self.run(["xdotool", *[str(a) for a in args]])

    def move_pointer(self, x, y):
        # (xdotool's --sync waits for a motion event, which never comes when
        # the pointer already is there.)
        x, y = int(x), int(y)
        self.xdotool("mousemove", x, y)
        wait_until(lambda: self.pointer_location() == (x, y), 5, f"the pointer to reach ({x}, {y})")

    def pointer_location(self):
        out = self.run(["xdotool", "getmouselocation", "--shell"])
        return (int(re.search(r"X=(-?\d+)", out).group(1)), int(re.search(r"Y=(-?\d+)", out).group(1)))

    def pointer_window(self):
        """The X window that receives pointer events at the pointer (honours input shapes)."""
        out = self.run(["xdotool", "getmouselocation", "--shell"])
        m = re.search(r"WINDOW=(\d+)", out)
        return int(m.group(1)) if m else 0

    # -- screen ------------------------------------------------------------

    def screenshot(self, label=None):
        data = subprocess.run(["import", "-display", self.display, "-window", "root", "-depth", "8", "ppm:-"],
                              capture_output=True, check=True, timeout=30).stdout
        shot = Image.from_ppm(data)
        if label:
            self.save(shot, label)
        return shot

    def save(self, shot, label):
        self.shot_count += 1
        path = os.path.join(self.artifacts, f"{self.shot_count:02d}-{label}.png")
        subprocess.run(["convert", "ppm:-", path], input=shot.to_ppm(), check=True, timeout=30)
        return path


# ---------------------------------------------------------------------------
# Screenshots

class Image:
    def __init__(self, w, h, data):
        self.w, self.h, self.data = w, h, data

    @staticmethod
    def from_ppm(data):
        # P6 <w> <h> <max>\n<rgb bytes>
        check(data.startswith(b"P6"), f"not a PPM picture ({len(data)} bytes)")
        fields, pos = [], 0
        while len(fields) < 4:
            check(pos < len(data), "truncated PPM header")
            while data[pos:pos + 1].isspace():
                pos += 1
            if data[pos:pos + 1] == b"#":
                pos = data.index(b"\n", pos) + 1
                continue
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[pos:end])
            pos = end
        check(fields[0] == b"P6" and fields[3] == b"255", "screenshot is not an 8-bit PPM")
        w, h = int(fields[1]), int(fields[2])
        return Image(w, h, data[pos + 1:pos + 1 + w * h * 3])

    def to_ppm(self):
        return b"P6\n%d %d\n255\n" % (self.w, self.h) + self.data

    def pixel(self, x, y):
        i = (y * self.w + x) * 3
        return tuple(self.data[i:i + 3])

    def find_colour(self, rgb, rect=None, limit=200000):
        """Positions (x, y) of pixels of exactly this colour inside rect."""
        x0, y0, x1, y1 = self._clip(rect)
        needle = re.compile(re.escape(bytes(rgb)))
        found = []
        for y in range(y0, y1):
            row = self.data[(y * self.w + x0) * 3:(y * self.w + x1) * 3]
            for m in needle.finditer(row):
                if m.start() % 3 == 0:
                    found.append((x0 + m.start() // 3, y))
                    if len(found) >= limit:
                        return found
        return found

    def bbox(self, rgb, rect=None, min_count=1):
        pts = self.find_colour(rgb, rect)
        if len(pts) < min_count:
            return None
        xs = [p[0] for p in pts]
        ys = [p[1] for p in pts]
        return (min(xs), min(ys), max(xs), max(ys), len(pts))

    def count(self, predicate, rect=None):
        x0, y0, x1, y1 = self._clip(rect)
        n = 0
        for y in range(y0, y1):
            row = self.data[(y * self.w + x0) * 3:(y * self.w + x1) * 3]
            for i in range(0, len(row), 3):
                if predicate(row[i], row[i + 1], row[i + 2]):
                    n += 1
        return n

    def crop(self, rect):
        x0, y0, x1, y1 = self._clip(rect)
        rows = [self.data[(y * self.w + x0) * 3:(y * self.w + x1) * 3] for y in range(y0, y1)]
        return Image(x1 - x0, y1 - y0, b"".join(rows))

    def _clip(self, rect):
        if rect is None:
            return 0, 0, self.w, self.h
        x0, y0, x1, y1 = rect
        return max(0, int(x0)), max(0, int(y0)), min(self.w, int(x1)), min(self.h, int(y1))


def dark_mask(img, threshold=80):
    """Rows of booleans: the pixel is dark (text ink)."""
    out = []
    for y in range(img.h):
        row = img.data[y * img.w * 3:(y + 1) * img.w * 3]
        out.append([max(row[i], row[i + 1], row[i + 2]) < threshold for i in range(0, len(row), 3)])
    return out


def ink_box(mask):
    ys = [y for y, row in enumerate(mask) if any(row)]
    if not ys:
        return None
    xs = [x for row in mask for x, v in enumerate(row) if v]
    return min(xs), min(ys), max(xs), max(ys)


_glyph_cache = {}


def render_text_mask(text, size=16):
    """The text as the companion's font draws it (black on white), as a dark mask."""
    key = (text, size)
    if key not in _glyph_cache:
        data = subprocess.run(["convert", "-background", "white", "-fill", "black", "-font", UNIFONT,
                               "-pointsize", str(size), "-density", "72", "+antialias", f"label:{text}", "-type", "TrueColor", "-depth", "8", "ppm:-"],
                              capture_output=True, check=True, timeout=30).stdout
        _glyph_cache[key] = dark_mask(Image.from_ppm(data), 128)
    return _glyph_cache[key]


def mask_difference(region, template, ox, oy, give_up=1.0):
    """Fraction of template pixels that differ from region placed at (ox, oy);
    stops counting once the fraction passes give_up."""
    th, tw = len(template), len(template[0])
    limit = give_up * th * tw
    diff = 0
    for y in range(th):
        ry = oy + y
        rrow = region[ry] if 0 <= ry < len(region) else None
        trow = template[y]
        for x in range(tw):
            rx = ox + x
            r = rrow[rx] if rrow is not None and 0 <= rx < len(rrow) else False
            if r != trow[x]:
                diff += 1
        if diff > limit:
            return 1.0
    return diff / float(th * tw)


WHITE = (255, 255, 255)


def find_text(img, text, rect, tolerance=0.04, paper=WHITE, drop_bottom=0):
    """Where `text` (16-pixel Unifont, dark ink) stands inside rect of the
    screenshot, as (x, y) of its ink's top-left corner, or None. The template
    is aligned on the ink of each candidate row band, so a line is matched
    exactly as drawn, not just by having ink in the right place."""
    template = render_text_mask(text)
    tbox = ink_box(template)
    if tbox is None:
        return None
    tx0, ty0, tx1, ty1 = tbox
    tmpl = [row[tx0:tx1 + 1] for row in template[ty0:ty1 + 1 - drop_bottom]]
    th, tw = len(tmpl), len(tmpl[0])
    # Text stands on a white bubble or box: search only where that paper is.
    sheet = img.bbox(paper, rect, min_count=100)
    if sheet is None:
        return None
    rect = (sheet[0] - 2, sheet[1] - 2, sheet[2] + 3, sheet[3] + 3)
    region_img = img.crop(rect)
    # Text ink is black; the bubble's plum outline (max channel 69) is not, so a
    # line drawn over the frame's edge still matches.
    region = dark_mask(region_img, 40)
    best = None
    # Candidate anchors: every dark pixel that could be the template's first
    # ink pixel in its top row.
    first_x = tmpl[0].index(True)
    for y in range(0, len(region) - th + 1):
        row = region[y]
        for x in range(len(row)):
            if not row[x]:
                continue
            ox = x - first_x
            if ox < 0 or ox + tw > len(row):
                continue
            d = mask_difference(region, tmpl, ox, y, tolerance)
            if best is None or d < best[0]:
                best = (d, ox, y)
            if d == 0:
                return (rect[0] + ox, rect[1] + y)
    if best and best[0] <= tolerance:
        return (rect[0] + best[1], rect[1] + best[2])
    return None


# ---------------------------------------------------------------------------
# The companion

class Companion:
    def __init__(self, stack, config):
        self.stack = stack
        self.dir = os.path.join(stack.tmp, "vimo-install")
        os.makedirs(self.dir)
        shutil.copy2(os.path.join(stack.build_dir, "vimo"), self.dir)
        shutil.copytree(os.path.join(stack.build_dir, "assets"), os.path.join(self.dir, "assets"))
        self.config_path = os.path.join(self.dir, "config.json")
        if config is not None:
            with open(self.config_path, "w") as f:
                json.dump(config, f)
        self.proc = None
        self.overlay = 0

    def start(self, env_extra=None):
        env = dict(self.stack.env)
        env.update(env_extra or {})
        # Started from another directory: every file it opens is found beside the executable.
        self.proc = self.stack.spawn("vimo", [os.path.join(self.dir, "vimo")], capture=True,
                                     cwd=self.stack.tmp, env=env)
        line = self.proc.wait_line(r"^Setting 0x[0-9a-f]+ as current window", 30)
        self.overlay = int(re.search(r"0x[0-9a-f]+", line).group(0), 16)
        # The window manager reparents the overlay into a frame of the same
        # size; the pointer lands on either when the overlay takes input.
        tree = self.stack.run(["xwininfo", "-children", "-id", str(self.overlay)])
        m = re.search(r"Parent window id: (0x[0-9a-f]+)", tree)
        self.overlay_windows = {self.overlay, int(m.group(1), 16) if m else self.overlay}
        log("companion overlay window", hex(self.overlay))
        return self

    def takes_pointer(self):
        """The overlay receives pointer events where the pointer is now."""
        return self.stack.pointer_window() in self.overlay_windows

    def read_config(self):
        with open(self.config_path) as f:
            return json.load(f)


def locate_mascot(shot, rect=None):
    """Bounding box (x0, y0, x1, y1) of the mascot's body colour, or None.
    (Its outline colour is shared by the bubble's frame.)"""
    body = shot.bbox(MASCOT_BODY, rect, min_count=40)
    return body[:4] if body else None


def centre(box):
    return ((box[0] + box[2]) // 2, (box[1] + box[3]) // 2)


def hover(stack, companion, point):
    """Move the pointer to point; whether the overlay takes it there within a second."""
    stack.move_pointer(*point)
    try:
        wait_until(companion.takes_pointer, 1.0, "the overlay to take the pointer")
        return True
    except ScenarioFailure:
        return False


def click_element(stack, companion, locate, button, what, timeout=20):
    """Point at what `locate()` finds (a screen point), wait until the overlay
    takes the pointer there (it lets clicks through everywhere else), then click."""
    def attempt():
        point = locate()
        if point is None:
            return False
        if not hover(stack, companion, point):
            log(f"the overlay did not take the pointer at {point} for {what}")
            return False
        stack.xdotool("click", button)
        log(f"clicked {button} at {point} on {what}")
        return point
    return wait_until(attempt, timeout, f"a {('left', 'middle', 'right')[button - 1]} click on {what}")


def find_lines(img, lines, rect, pitch=None, paper=WHITE):
    """Find each line of a bubble (in order) inside rect. Checks that every
    line is drawn exactly: its ink matches the font's rendering, nothing is
    drawn just after it on its row (so " - Log In" does not pass for
    " - Log Inside"), the lines share one left edge (leading blanks included)
    and, with `pitch`, follow each other at that many pixels.
    Returns, for each line, the left end of its ink and the top of its
    16-pixel text cell, or None when any check fails."""
    found = []
    sheet = img.bbox(paper, rect, min_count=100)
    if sheet is None:
        return None
    for i, text in enumerate(lines):
        # A bubble leaves no margin under its last line: the frame's bottom
        # edge covers that line's lowest rows (descenders), so they are not compared.
        pos = find_text(img, text, rect, paper=paper, drop_bottom=4 if i == len(lines) - 1 else 0)
        if pos is None:
            return None
        tmpl = render_text_mask(text)
        box = ink_box(tmpl)
        # Text ink (black, unlike the frame's plum outline) within one blank
        # after the line, on its rows: a longer text.
        # (Only on the bubble's white: beyond its frame lies the desktop.)
        x_after = pos[0] + (box[2] - box[0]) + 2
        x_end = min(x_after + 12, sheet[2] + 1)
        band = dark_mask(img.crop((x_after, pos[1], x_end, pos[1] + box[3] - box[1] + 1)), 40) if x_end > x_after else []
        if any(any(row) for row in band):
            return None
        found.append((pos, box))
    # One left edge: the line's own leading blank shifts its ink by a known amount.
    # The renderer drops leading blanks; a Unifont blank is 8 pixels wide.
    lead = [8 * (len(t) - len(t.lstrip(" "))) for t in lines]
    left = [p[0] - b[0] - l for (p, b), l in zip(found, lead)]
    if max(left) - min(left) > 1:
        return None
    if pitch is not None:
        tops = [p[1] - b[1] for p, b in found]
        for a, b in zip(tops, tops[1:]):
            if abs((b - a) - pitch) > 1:
                return None
    return [(p[0], p[1] - b[1]) for p, b in found]


def bubble_rect_for(mascot_box, side=1):
    """Where a bubble beside the mascot can be: its left edge is 32 pixels
    right of the mascot's centre and its centre 80 pixels above it (side 1);
    near the right edge of the screen it is mirrored to the left (side -1)."""
    cx, cy = centre(mascot_box)
    if side > 0:
        return (cx + 16, cy - 260, cx + 900, cy + 40)
    return (max(0, cx - 900), cy - 260, cx - 16, cy + 40)


def beside(find, shot, what, mascot_box, **kw):
    """find(shot, what, rect, **kw) on the bubble's right side, then its left."""
    if mascot_box is None:
        return None
    for side in (1, -1):
        found = find(shot, what, bubble_rect_for(mascot_box, side), **kw)
        if found:
            return found
    return None


# ---------------------------------------------------------------------------
# The community service

class Service:
    def __init__(self, stack):
        self.stack = stack
        self.exe = self._find(stack.build_dir)
        check(self.exe is not None, f"no vimo-service executable under {stack.build_dir}")
        self.port = free_port()
        self.origin = f"http://127.0.0.1:{self.port}"
        self.db = os.path.join(stack.tmp, "service.db")
        self.proc = None
        self.token = None

    @staticmethod
    def _find(build_dir):
        for root, _, files in os.walk(build_dir):
            if "vimo-service" in files and os.access(os.path.join(root, "vimo-service"), os.X_OK):
                return os.path.join(root, "vimo-service")
        return None

    def start(self, *extra_args):
        self.proc = self.stack.spawn("service", [self.exe, "--port", str(self.port), "--db", self.db, *extra_args],
                                     capture=True)
        if self.token is None:  # printed at the database's first start only
            line = self.proc.wait_line(r"admin token", 20)
            self.token = line.rsplit(":", 1)[1].strip()
        self.proc.wait_line(r"listening on", 20)
        wait_until(lambda: self.get("/api/ferncircle") is not None, 20, "the service to answer")
        log("service at", self.origin)
        return self

    def get(self, path):
        try:
            with urllib.request.urlopen(self.origin + path, timeout=10) as r:
                return r.read().decode()
        except urllib.error.URLError:
            return None

    def get_json(self, path):
        body = self.get(path)
        return json.loads(body) if body is not None else None

    def admin_get(self, path):
        req = urllib.request.Request(self.origin + path, headers={"Authorization": f"Bearer {self.token}"})
        with urllib.request.urlopen(req, timeout=10) as r:
            return json.loads(r.read().decode())

    def admin(self, path, payload):
        req = urllib.request.Request(self.origin + path, data=json.dumps(payload).encode(), method="POST",
                                     headers={"Authorization": f"Bearer {self.token}",
                                              "Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(req, timeout=10) as r:
                return json.loads(r.read().decode())
        except urllib.error.HTTPError as error:
            raise ScenarioFailure(f"service refused {path} {payload}: {error.code} {error.read()[:200]!r}")
