"""vimo.exe, the Windows build, under Wine on Xvfb with openbox and the
project's service on loopback: its window appears, the mascot is drawn, a
right click opens its menu, chat sent to the service arrives as boxes, and
`vimo.exe --quit` ends it with config.json saved.

The executable comes from VIMO_E2E_EXE (the Windows build's vimo.exe); the
service, the assets and the artefacts from the Linux build given as --build-dir.
"""

import json
import os
import re
import shutil
import subprocess

from harness import OVERLAY_TITLE, SCREEN_H, SCREEN_W, Service, check, locate_mascot, log, wait_until
from scenario_desktop import open_main_menu
from scenario_online import white_count

CHAT = [("twitch", "71001", "Mira", "hello from wine"), ("discord", "71002", "Oskar", "boxes on windows")]


class WineCompanion:
    """The Windows companion run by Wine in a prefix of its own."""

    def __init__(self, stack, exe, config):
        self.stack = stack
        self.dir = os.path.join(stack.tmp, "vimo-windows")
        os.makedirs(self.dir)
        shutil.copy2(exe, self.dir)
        shutil.copytree(os.path.join(stack.build_dir, "assets"), os.path.join(self.dir, "assets"))
        self.config_path = os.path.join(self.dir, "config.json")
        with open(self.config_path, "w") as f:
            json.dump(config, f)
        self.env = dict(stack.env)
        self.env.update({"WINEPREFIX": os.path.join(stack.tmp, "wineprefix"), "WINEDEBUG": "-all",
                         "WINEDLLOVERRIDES": "mscoree,mshtml="})
        self.proc = None
        self.overlay_windows = set()

    def prepare(self):
        # The first start of a prefix makes it: seconds, not part of what is checked.
        subprocess.run(["wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=180, check=True)
        return self

    def start(self):
        # Started from another folder: everything it opens is found beside vimo.exe.
        self.proc = self.stack.spawn("vimo.exe", ["wine", os.path.join(self.dir, "vimo.exe")], capture=True,
                                     cwd=self.stack.tmp, env=self.env)
        self.proc.wait_line(r"^Setting 0x[0-9a-f]+ as current window", 60)

        def overlay():
            out = self.stack.run(["xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(OVERLAY_TITLE)}$"],
                                 False).split()
            return int(out[0]) if out else None
        wid = wait_until(overlay, 20, f"an X window titled {OVERLAY_TITLE!r}")
        tree = self.stack.run(["xwininfo", "-children", "-id", str(wid)])
        m = re.search(r"Parent window id: (0x[0-9a-f]+)", tree)
        self.overlay_windows = {wid, int(m.group(1), 16) if m else wid}
        log("vimo.exe overlay window", hex(wid))
        # Where no X tray runs, Wine shows the notification area as a small
        # window of its own, with the mascot's face (in the mascot's colours)
        # as vimo.exe's icon: taken off the screen, so that looking for the
        # mascot's colours finds the mascot alone (scenario_installer uses it).
        self.proc.wait_line(r"^tray icon added", 30)
        tray = wait_until(lambda: self.stack.run(["xdotool", "search", "--onlyvisible", "--name",
                                                  "^Wine System Tray$"], False).split(), 20, "Wine's notification area")
        self.stack.run(["xdotool", "windowunmap", tray[0]])
        return wid

    def takes_pointer(self):
        return self.stack.pointer_window() in self.overlay_windows

    def quit(self):
        r = subprocess.run(["wine", os.path.join(self.dir, "vimo.exe"), "--quit"], env=self.env, cwd=self.stack.tmp,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        log("vimo.exe --quit:", r.returncode, r.stdout.decode(errors="replace").strip())
        return r.returncode


def windows(stack):
    exe = os.environ.get("VIMO_E2E_EXE", "")
    check(os.path.isfile(exe), f"no Windows build to run: VIMO_E2E_EXE={exe!r}")
    stack.start_desktop(compositor=False)
    service = Service(stack).start()
    companion = WineCompanion(stack, exe, {"service_origin": service.origin, "bluesky_origin": service.origin})
    try:
        companion.prepare()
        run(stack, service, companion)
    finally:
        # Wine's own server outlives the programs of its prefix.
        subprocess.run(["wineserver", "-k"], env=companion.env, capture_output=True, timeout=30)


def run(stack, service, companion):
    wid = companion.start()
    out = companion.proc

    geometry = stack.run(["xwininfo", "-id", str(wid)])
    size = tuple(int(re.search(rf"{k}:\s+(\d+)", geometry).group(1)) for k in ("Width", "Height"))
    check(size == (SCREEN_W, SCREEN_H), f"the overlay does not cover the screen: {size}")
    shot = wait_until(lambda: (lambda s: locate_mascot(s) and s)(stack.screenshot()), 20, "the mascot to be drawn")
    stack.save(shot, "mascot")
    log("mascot at", locate_mascot(shot))

    # -- the menu -------------------------------------------------------------
    open_main_menu(stack, companion)
    stack.save(stack.screenshot(), "menu")

    # -- chat from the service ---------------------------------------------------
    # The first poll (3 s after start) finds nothing and backs off; the messages
    # come after it, so a later poll has to find them.
    out.wait_line(r"^poll chat parse result: |chat poll inturrupted", 30)
    mark = len(out.output())
    white_before = white_count(stack.screenshot(), None)
    for platform, sender_id, name, text in CHAT:
        service.admin("/api/ingest", {"platform": platform, "sender_id": sender_id, "sender_name": name, "text": text})
    out.wait_line(r"^last chat is now ", 20, mark)
    # Each box is paper with its text: at least some 1,500 white pixels a box.
    boxes = wait_until(lambda: (lambda s: white_count(s, None) - white_before >= 1500 * len(CHAT) and s)(
        stack.screenshot()), 15, "the chat boxes to be drawn")
    stack.save(boxes, "chat-boxes")
    # They fall from the top edge: its band empties.
    top = (0, 0, SCREEN_W, 120)
    stack.save(wait_until(lambda: (lambda s: white_count(s, top) < 100 and s)(stack.screenshot()), 15,
                          "the chat boxes to fall from the top edge"), "chat-boxes-fallen")

    # -- ending on request ---------------------------------------------------------
    before = companion.proc.output()
    check(companion.quit() == 0, "vimo.exe --quit did not say that the running one ended")
    status = wait_until(lambda: (lambda rc: rc is not None and (rc,))(companion.proc.popen.poll()), 15,
                        "vimo.exe to end")[0]
    check(status == 2, f"vimo.exe ended with status {status}, not 2 (as for Ctrl-C)")
    with open(companion.config_path) as f:
        saved = json.load(f)
    check(saved.get("login_id") and saved.get("last_chat"), f"config.json was not saved on the way out: {saved}")
    log("config.json after the end:", saved)
    check(companion.proc.find_line(r"^Interrupt signal \(2\) received\.$", len(before)),
          "vimo.exe did not report the end request")
