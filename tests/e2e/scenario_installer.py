"""The Windows installer's whole life under Wine on Xvfb with openbox:
`vimo-setup-x64.exe /S` installs vimo.exe, its assets, the Start-menu entry
and the Apps & features entry into the user's own folders; vimo.exe started
from there (no console, no handles: as Explorer starts it) is a GUI program,
draws the mascot, writes its lines into vimo.log and adds its notification
icon. A right click on that icon (Wine shows the notification area as a
small window of its own where no X tray runs) opens its menu: "Hide for an
hour" hides the mascot, "Show" brings it back, "Quit" ends it with
config.json saved. An upgrade over a running companion ends it first and
keeps config.json; the uninstaller, silent, removes the program and keeps
config.json, which a later install finds, unless told to remove the settings.
Started from cmd, vimo.exe's lines reach cmd's output.

The installer comes from VIMO_E2E_SETUP; the service and the artefacts from
the Linux build.
"""

import glob
import json
import os
import struct
import re
import subprocess

from harness import SCREEN_H, SCREEN_W, Service, check, locate_mascot, log, wait_until

IMAGE_SUBSYSTEM_WINDOWS_GUI = 2


def mascot(shot):
    """The mascot's box, away from Wine's notification area in the top-left
    corner, whose icon is the mascot's face in the same colours."""
    return locate_mascot(shot, (240, 0, SCREEN_W, SCREEN_H)) or locate_mascot(shot, (0, 120, 240, SCREEN_H))


def pe_subsystem(path):
    """The Subsystem field of a PE file's optional header."""
    with open(path, "rb") as f:
        data = f.read(4096)
    check(data[:2] == b"MZ", f"{path} is not an executable")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    check(data[pe:pe + 4] == b"PE\0\0", f"{path} has no PE header")
    return struct.unpack_from("<H", data, pe + 24 + 68)[0]  # after the signature and the file header


class Wine:
    """A Wine prefix of its own and the user folders the installer writes to."""

    def __init__(self, stack):
        self.stack = stack
        self.env = dict(stack.env)
        self.env.update({"WINEPREFIX": os.path.join(stack.tmp, "wineprefix"), "WINEDEBUG": "-all",
                         "WINEDLLOVERRIDES": "mscoree,mshtml="})

    def run(self, argv, timeout=120):
        r = subprocess.run(["wine", *argv], env=self.env, cwd=self.stack.tmp, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=timeout)
        out = r.stdout.decode(errors="replace")
        log("wine", *[os.path.basename(a) for a in argv], "->", r.returncode, out.strip()[-300:])
        return r.returncode, out

    def user_dir(self, *parts):
        users = glob.glob(os.path.join(self.env["WINEPREFIX"], "drive_c", "users", "*", "AppData"))
        users = [u for u in users if "Public" not in u]
        check(len(users) == 1, f"no single user folder in the prefix: {users}")
        return os.path.join(users[0], *parts)

    def reg_query(self, key):
        return self.run(["reg", "query", key])


class Installed:
    """vimo as the installer left it, and one run of it at a time."""

    UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\vimo"

    def __init__(self, wine):
        self.wine = wine
        self.dir = wine.user_dir("Local", "Programs", "vimo")
        self.link = wine.user_dir("Roaming", "Microsoft", "Windows", "Start Menu", "Programs", "vimo.lnk")
        self.exe = os.path.join(self.dir, "vimo.exe")
        self.log_path = os.path.join(self.dir, "vimo.log")
        self.config_path = os.path.join(self.dir, "config.json")
        self.proc = None
        self.runs = 0

    def log_text(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_log(self, text, count, timeout, what):
        return wait_until(lambda: self.log_text().count(text) >= count, timeout, what)

    def config(self):
        with open(self.config_path) as f:
            return json.load(f)

    def start(self):
        # `start` runs it through the shell as a double click would: no console
        # and no standard handles. /wait hands its exit status back.
        self.runs += 1
        self.proc = self.wine.stack.spawn(f"vimo-run-{self.runs}", ["wine", "start", "/wait", self.windows_path()],
                                          capture=True, cwd=self.wine.stack.tmp, env=self.wine.env)
        self.wait_log("tray icon added", self.runs, 60, f"run {self.runs} to add its notification icon")
        check("no notification area yet" not in self.log_text(), "the notification icon was not added")

    def windows_path(self):
        rel = os.path.relpath(self.exe, os.path.join(self.wine.env["WINEPREFIX"], "drive_c"))
        return "C:\\" + rel.replace("/", "\\")

    def wait_end(self, what):
        status = wait_until(lambda: (lambda rc: rc is not None and (rc,))(self.proc.popen.poll()), 30, what)[0]
        log(what, "status", status)
        return status


def tray_menu(stack, entry):
    """Right-click the first icon of Wine's notification area and click an
    entry of the menu that opens: "first" or "last". Returns the screenshot
    of the open menu with the pointer's entry highlighted."""
    def tray_window():
        out = stack.run(["xdotool", "search", "--onlyvisible", "--name", "^Wine System Tray$"], False).split()
        return int(out[0]) if out else None
    wid = wait_until(tray_window, 20, "Wine's notification area")
    info = stack.run(["xwininfo", "-id", str(wid)])
    x, y, h = (int(re.search(rf"{k}:\s+(-?\d+)", info).group(1))
               for k in ("Absolute upper-left X", "Absolute upper-left Y", "Height"))
    # The menu opens beside the pointer on light paper; its entry under the
    # pointer turns blue.
    near = (max(0, x - 300), max(0, y - 300), x + 300, y + h + 300)
    before = stack.screenshot()

    def paper(shot):
        """Bounding box of light pixels that were not light before."""
        x0, y0, x1, y1 = near
        xs, ys = [], []
        for py in range(y0, min(y1, shot.h), 2):
            for px in range(x0, min(x1, shot.w), 2):
                if min(shot.pixel(px, py)) > 200 and min(before.pixel(px, py)) <= 200:
                    xs.append(px), ys.append(py)
        return (min(xs), min(ys), max(xs), max(ys)) if len(xs) > 1000 else None
    stack.xdotool("mousemove", x + 10, y + h // 2, "click", 3)
    menu = wait_until(lambda: paper(stack.screenshot()), 10, "the icon's menu to open")
    log("menu at", menu)
    # Entries are about 17 px high; the first starts at the top, the last ends at the bottom.
    at = (menu[0] + menu[2]) // 2, menu[1] + 9 if entry == "first" else menu[3] - 11
    stack.xdotool("mousemove", *at)

    def highlighted(shot):
        return shot.count(lambda r, g, b: b > 180 and r < 120 and b - r > 100, near) > 500
    shot = wait_until(lambda: (lambda s: highlighted(s) and s)(stack.screenshot()), 10,
                      "the menu to highlight the entry under the pointer")
    stack.xdotool("click", 1)
    return shot


def windows_install(stack):
    setup = os.environ.get("VIMO_E2E_SETUP", "")
    check(os.path.isfile(setup), f"no installer to run: VIMO_E2E_SETUP={setup!r}")
    stack.start_desktop(compositor=False)
    service = Service(stack).start()
    wine = Wine(stack)
    try:
        subprocess.run(["wineboot", "-i"], env=wine.env, stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=180, check=True)
        run(stack, service, wine, setup)
    except Exception:
        stack.save(stack.screenshot(), "at-failure-wine-running")  # before Wine's processes go
        raise
    finally:
        subprocess.run(["wineserver", "-k"], env=wine.env, capture_output=True, timeout=30)


def run(stack, service, wine, setup):
    # -- a silent install into the user's own folders ------------------------------
    status, _ = wine.run([setup, "/S"])
    check(status == 0, f"the silent install ended with status {status}")
    app = Installed(wine)
    for part in ("vimo.exe", "uninstall.exe", "assets/vimo.ico", "assets/vimo/idle.png", "assets/neodgm.ttf"):
        check(os.path.isfile(os.path.join(app.dir, part)), f"{part} is not in {app.dir}")
    check(os.path.isfile(app.link), f"no Start-menu entry at {app.link}")
    status, keys = wine.reg_query(Installed.UNINSTALL_KEY)
    check(status == 0 and "uninstall.exe" in keys and "DisplayName" in keys, "no Apps & features entry")
    check(pe_subsystem(app.exe) == IMAGE_SUBSYSTEM_WINDOWS_GUI,
          f"vimo.exe's subsystem is {pe_subsystem(app.exe)}, not the GUI's (2): a console window would open")
    # The user's settings: the service of this run.
    with open(app.config_path, "w") as f:
        json.dump({"service_origin": service.origin, "bluesky_origin": service.origin}, f)

    # -- run from the install folder: the mascot, the log, the icon ------------------
    app.start()
    shot = wait_until(lambda: (lambda s: mascot(s) and s)(stack.screenshot()), 30, "the mascot to be drawn")
    stack.save(shot, "installed-mascot")
    text = app.log_text()
    check("Setting 0x" in text or "current window" in text or "config result" in text,
          f"vimo.log lacks the start-up lines:\n{text[:800]}")

    # -- the icon's menu: hide for an hour, show again, quit ---------------------------------
    stack.save(tray_menu(stack, "first"), "tray-menu-hide")
    app.wait_log("hidden for an hour", 1, 10, "the mascot to hide")
    wait_until(lambda: mascot(stack.screenshot()) is None, 10, "the mascot to leave the screen")
    stack.save(tray_menu(stack, "first"), "tray-menu-show")
    app.wait_log("shown again", 1, 10, "the mascot to come back")
    wait_until(lambda: mascot(stack.screenshot()), 10, "the mascot to be drawn again")
    saved_before = os.stat(app.config_path).st_mtime_ns
    stack.save(tray_menu(stack, "last"), "tray-menu-quit")
    check(app.wait_end("vimo.exe to end after Quit") == 2, "Quit did not end vimo.exe as Ctrl-C does (status 2)")
    check(app.log_text().count("Interrupt signal (2) received.") == 1, "vimo.log does not report the end request")
    check(os.stat(app.config_path).st_mtime_ns != saved_before, "config.json was not saved on Quit")
    # The login id made at the first start is saved on the way out.
    login_id = app.config().get("login_id")
    check(login_id and app.config().get("service_origin") == service.origin,
          f"config.json was not saved whole on Quit: {app.config()}")

    # -- an upgrade over a running companion ----------------------------------------------
    app.start()
    status, _ = wine.run([setup, "/S"])
    check(status == 0, f"the upgrade ended with status {status}")
    check(app.wait_end("the running vimo.exe to end for the upgrade") == 2, "the upgrade did not end vimo.exe")
    check(app.log_text().count("Interrupt signal (2) received.") == 2, "vimo.log does not report the upgrade's end")
    check(app.config().get("login_id") == login_id, f"the upgrade lost the login: {app.config()}")
    check(os.path.isfile(app.exe) and os.path.isfile(os.path.join(app.dir, "assets/vimo.ico")),
          "the upgrade left no program behind")

    # -- a silent uninstall keeps the settings ---------------------------------------------
    status, _ = wine.run([os.path.join(app.dir, "uninstall.exe"), "/S"])
    check(status == 0, f"the uninstaller ended with status {status}")
    # It runs from a copy of itself in the temporary folder, after its first process has ended.
    wait_until(lambda: not os.path.exists(app.exe) and not os.path.exists(os.path.join(app.dir, "uninstall.exe")),
               60, "the uninstaller to remove vimo.exe")
    # The registry entry goes last.
    wait_until(lambda: wine.reg_query(Installed.UNINSTALL_KEY)[0] != 0, 30,
               "the uninstaller to remove the Apps & features entry")
    check(not os.path.exists(os.path.join(app.dir, "assets")), "the uninstaller left assets/")
    check(not os.path.exists(app.link), "the uninstaller left the Start-menu entry")
    check(os.path.isfile(app.config_path) and app.config().get("login_id") == login_id,
          "the uninstaller did not keep config.json")
    log("left behind:", sorted(os.listdir(app.dir)))

    # -- installed again, it finds the settings; started from cmd its lines go there ---------------
    status, _ = wine.run([setup, "/S"])
    check(status == 0 and os.path.isfile(app.exe), f"the second install failed ({status})")
    check(app.config().get("login_id") == login_id, "the second install did not find the kept settings")
    _, out = wine.run(["cmd", "/c", app.windows_path(), "--quit"])
    check("No companion is running from this folder." in out,
          f"vimo.exe started from cmd did not print to cmd's output: {out!r}")
    check("No companion is running" not in app.log_text(), "a started-from-cmd vimo.exe wrote into vimo.log")

    # -- "Remove my settings" (/REMOVESETTINGS when silent) takes config.json and the folder -------
    status, _ = wine.run([os.path.join(app.dir, "uninstall.exe"), "/S", "/REMOVESETTINGS"])
    check(status == 0, f"the uninstaller ended with status {status}")
    wait_until(lambda: not os.path.exists(app.dir), 60, "the uninstaller to remove the folder with the settings")
