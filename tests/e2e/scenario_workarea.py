"""Panels: the floor is the bottom of each monitor's work area. A dock along
the bottom of the screen (a test client with a 40 px _NET_WM_STRUT_PARTIAL)
lifts the mascot onto its top edge; moved to the left edge it gives the floor
back; closed, the mascot rests on the screen's bottom again; with no strut at all the
window manager's _NET_WORKAREA is the floor. On two monitors
(Xorg's dummy driver), a dock on the second one moves only that monitor's
floor. vimo.exe under Wine stands on the dock too: Wine gives the X desktop's
work area as the monitor's rcWork (read when Wine starts)."""

import os
import subprocess
import sys

from harness import (SCREEN_H, SCREEN_W, SECOND_H, SECOND_W, TWO_MONITORS_W, Companion, check, locate_mascot, log,
                     wait_until)
from scenario_desktop import mascot_feet, offline_config
from scenario_monitors import drop_onto, standing
from scenario_wine import WineCompanion

DOCK = 40  # pixels the test dock reserves
DOCK_CLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dock.py")


def start_dock(stack, *args):
    dock = stack.spawn("dock", [sys.executable, DOCK_CLIENT, *map(str, args)], capture=True, feed=True)
    dock.wait_line(r"^dock mapped$", 10)
    return dock


def wait_work_areas(companion, areas, start):
    """The companion's line that says it took these work areas (from output line start)."""
    pattern = "^Work areas: " + " ".join(f"{w}x{h}\\+{x}\\+{y}" for x, y, w, h in areas) + r"\s*$"  # (Wine ends lines with \r)
    companion.proc.wait_line(pattern, 10, start)


def rests_on(stack, level, x_range, what):
    """A screenshot once the mascot stands with its feet on row level: two
    looks in a row on it (a walking or landing pose lifts the feet a few rows,
    which standing allows), the second one to a pixel or two."""
    look = standing(stack, level, x_range)

    def exactly():
        shot = look()
        return shot and abs(mascot_feet(shot, locate_mascot(shot)) - level) <= 2 and shot
    shot = wait_until(exactly, 60, what, interval=0.2)
    log(f"{what}: feet on row {mascot_feet(shot, locate_mascot(shot))}")
    return shot


def workarea(stack):
    stack.start_desktop(compositor=False)
    companion = Companion(stack, offline_config()).start()
    wait_work_areas(companion, [(0, 0, SCREEN_W, SCREEN_H)], 0)
    everywhere = (0, SCREEN_W)
    rests_on(stack, SCREEN_H - 1, everywhere, "the mascot to rest on the screen's bottom")

    # -- a dock appears along the bottom: the mascot is lifted onto it -------
    start = len(companion.proc.output())
    dock = start_dock(stack, "bottom", DOCK, 0, SCREEN_W - 1, 0, SCREEN_H - DOCK, SCREEN_W, DOCK)
    wait_work_areas(companion, [(0, 0, SCREEN_W, SCREEN_H - DOCK)], start)
    stack.save(rests_on(stack, SCREEN_H - DOCK - 1, everywhere, "the mascot to rest on the dock's top edge"),
               "on-dock")

    # -- the dock moves to the left edge: the floor is the screen's again ---
    start = len(companion.proc.output())
    dock.send(f"left {DOCK} 0 {SCREEN_H - 1} 0 0 {DOCK} {SCREEN_H}")
    dock.wait_line(r"^dock moved$", 10)
    wait_work_areas(companion, [(DOCK, 0, SCREEN_W - DOCK, SCREEN_H)], start)
    stack.save(rests_on(stack, SCREEN_H - 1, (DOCK, SCREEN_W), "the mascot to fall back to the screen's bottom"),
               "dock-on-the-left")

    # -- back to the bottom, then closed: down to the screen's bottom -------
    start = len(companion.proc.output())
    dock.send(f"bottom {DOCK} 0 {SCREEN_W - 1} 0 {SCREEN_H - DOCK} {SCREEN_W} {DOCK}")
    wait_work_areas(companion, [(0, 0, SCREEN_W, SCREEN_H - DOCK)], start)
    rests_on(stack, SCREEN_H - DOCK - 1, everywhere, "the mascot to rest on the dock again")
    start = len(companion.proc.output())
    dock.send("quit")
    dock.popen.wait(10)
    wait_work_areas(companion, [(0, 0, SCREEN_W, SCREEN_H)], start)
    stack.save(rests_on(stack, SCREEN_H - 1, everywhere, "the mascot to fall to the screen's bottom"),
               "dock-gone")

    # -- no window holds a strut: the window manager's _NET_WORKAREA counts --
    # (as a manager with a panel of its own publishes it; openbox keeps a
    # value set from outside until its own struts change).
    start = len(companion.proc.output())
    stack.run(["xprop", "-root", "-f", "_NET_WORKAREA", "32c", "-set", "_NET_WORKAREA",
               f"0, 0, {SCREEN_W}, {SCREEN_H - 2 * DOCK}"])
    wait_work_areas(companion, [(0, 0, SCREEN_W, SCREEN_H - 2 * DOCK)], start)
    rests_on(stack, SCREEN_H - 2 * DOCK - 1, everywhere, "the mascot to rest on the work area's bottom")
    check(companion.proc.alive(), "the companion died during the scenario")


def workarea_monitors(stack):
    stack.start_desktop(compositor=False, two_monitors=True)
    companion = Companion(stack, offline_config()).start()
    wait_work_areas(companion, [(0, 0, SCREEN_W, SCREEN_H), (SCREEN_W, 0, SECOND_W, SECOND_H)], 0)

    # A dock along the second monitor's bottom: its strip starts DOCK pixels
    # above that monitor's bottom, which lies above the screen's.
    start = len(companion.proc.output())
    start_dock(stack, "bottom", SCREEN_H - SECOND_H + DOCK, SCREEN_W, TWO_MONITORS_W - 1,
               SCREEN_W, SECOND_H - DOCK, SECOND_W, DOCK)
    wait_work_areas(companion, [(0, 0, SCREEN_W, SCREEN_H), (SCREEN_W, 0, SECOND_W, SECOND_H - DOCK)], start)

    second = (SCREEN_W, TWO_MONITORS_W)
    stack.save(drop_onto(stack, companion, (SCREEN_W + SECOND_W // 2, 300), SECOND_H - DOCK - 1, second,
                         "the mascot to rest on the dock of the second monitor"), "on-second-monitor-dock")
    first = (0, SCREEN_W)
    stack.save(drop_onto(stack, companion, (SCREEN_W // 2, 300), SCREEN_H - 1, first,
                         "the mascot to rest on the first monitor's bottom, which has no dock"),
               "first-monitor-floor")
    check(companion.proc.alive(), "the companion died during the scenario")


def windows_workarea(stack):
    exe = os.environ.get("VIMO_E2E_EXE", "")
    check(os.path.isfile(exe), f"no Windows build to run: VIMO_E2E_EXE={exe!r}")
    stack.start_desktop(compositor=False)
    # Before Wine starts: it reads the work area once.
    start_dock(stack, "bottom", DOCK, 0, SCREEN_W - 1, 0, SCREEN_H - DOCK, SCREEN_W, DOCK)
    companion = WineCompanion(stack, exe, offline_config())
    try:
        companion.prepare()
        companion.start()
        wait_work_areas(companion, [(0, 0, SCREEN_W, SCREEN_H - DOCK)], 0)
        stack.save(rests_on(stack, SCREEN_H - DOCK - 1, (0, SCREEN_W), "vimo.exe's mascot to rest on the dock"),
                   "windows-on-dock")
        check(companion.proc.alive(), "vimo.exe died during the scenario")
    finally:
        # Wine's own server outlives the programs of its prefix.
        subprocess.run(["wineserver", "-k"], env=companion.env, capture_output=True, timeout=30)
