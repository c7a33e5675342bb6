"""The companion on two monitors of different sizes (Xorg's dummy driver): the
overlay spans both, nothing comes to rest under the smaller monitor where no
monitor shows it, the mascot walks on a focused window on the second monitor,
and a monitor switched off and on again is followed."""

import re
import time

from harness import (SCREEN_H, SCREEN_W, SECOND_H, SECOND_W, TWO_MONITORS_W, Companion, ScenarioFailure, centre,
                     check, hover, locate_mascot, log, wait_until)
from scenario_desktop import offline_config, standing_on, still_mascot_point, window_top_level

SECOND = (SCREEN_W, 0, SCREEN_W + SECOND_W, SECOND_H)  # x0, y0, x1, y1 of the smaller monitor


def overlay_size(stack, overlay):
    out = stack.run(["xwininfo", "-id", str(overlay)])
    return (int(re.search(r"Width:\s+(\d+)", out).group(1)), int(re.search(r"Height:\s+(\d+)", out).group(1)))


class DeadArea(ScenarioFailure):
    pass


def standing(stack, level, x_range, forbidden=None):
    """A look that returns a screenshot once two looks in a row found the
    mascot with its feet on row level within x_range (walking along it counts);
    with forbidden (x0, y0, x1, y1), seeing its centre there fails at once."""
    seen = {"count": 0}

    def look():
        shot = stack.screenshot()
        box = locate_mascot(shot)
        if forbidden and box:
            cx, cy = centre(box)
            if forbidden[0] <= cx < forbidden[2] and forbidden[1] <= cy < forbidden[3]:
                stack.save(shot, "in-dead-area")
                raise DeadArea(f"the mascot is where no monitor shows it: {box}")
        seen["count"] = seen["count"] + 1 if standing_on(shot, level, x_range) else 0
        return seen["count"] >= 2 and shot
    return look


def drop_mascot(stack, companion, target):
    """Pick the mascot up and let it go at target (a screen point)."""
    def attempt():
        start = still_mascot_point(stack)
        if start is None or not hover(stack, companion, start):
            return False
        stack.xdotool("mousedown", 1)
        try:
            # A frame must see the press with the pointer still over the mascot.
            time.sleep(0.3)
            for k in range(1, 9):
                stack.move_pointer(start[0] + (target[0] - start[0]) * k // 8,
                                   start[1] + (target[1] - start[1]) * k // 8)
            def near_target():
                box = locate_mascot(stack.screenshot())
                return box is not None and abs(centre(box)[0] - target[0]) <= 100
            try:
                # Frames of a 3200 pixel wide window come slowly in software.
                followed = wait_until(near_target, 3, "the mascot to follow the pointer")
                time.sleep(0.5)  # held still before the release: dropped, not thrown
            except ScenarioFailure:
                followed = False
        finally:
            stack.xdotool("mouseup", 1)
        log(f"dragged the mascot from {start} towards {target}: {'followed' if followed else 'missed'}")
        return followed
    wait_until(attempt, 40, f"the mascot to be carried to {target}", interval=0.5)


def drop_onto(stack, companion, target, level, x_range, what, forbidden=None):
    """Carry the mascot to target and let go until it is seen standing on row
    level within x_range (it may bounce or walk off before it is seen)."""
    def attempt():
        drop_mascot(stack, companion, target)
        try:
            return wait_until(standing(stack, level, x_range, forbidden), 10, what)
        except DeadArea:
            raise
        except ScenarioFailure:
            stack.screenshot("not-seen")
            log(f"not seen: {what}; once more")
            return False
    return wait_until(attempt, 90, what, interval=0.5)


def monitors(stack):
    stack.start_desktop(compositor=False, two_monitors=True)
    companion = Companion(stack, offline_config()).start()
    companion.proc.wait_line(rf"^Monitors: {SCREEN_W}x{SCREEN_H}\+0\+0 {SECOND_W}x{SECOND_H}\+{SCREEN_W}\+0$", 10)
    size = overlay_size(stack, companion.overlay)
    check(size == (TWO_MONITORS_W, SCREEN_H), f"the overlay does not span both monitors: {size}")
    stack.screenshot("both-monitors")

    # -- dropped over the smaller monitor: it lands on that monitor's bottom edge,
    # not in the strip below it that no monitor shows.
    dead_strip = (SCREEN_W, SECOND_H, TWO_MONITORS_W, SCREEN_H)
    stack.save(drop_onto(stack, companion, (SCREEN_W + SECOND_W // 2, 300), SECOND_H - 1, (SECOND[0], SECOND[2]),
                         "the mascot to rest on the smaller monitor's bottom edge", dead_strip),
               "resting-on-second-monitor")

    # -- a focused window on the second monitor: the mascot gets onto it ------
    host = stack.start_xterm(SCREEN_W + 200, 560, cols=140, rows=12)
    frame = stack.frame_rect(host)
    log("host window on the second monitor", frame)
    check(frame[0] >= SCREEN_W, f"the host window is not on the second monitor: {frame}")
    # Carried above it and let go, it lands on the window's top edge (and
    # otherwise jumps up to the focused window on about half of its walks).
    # High enough that the walls are back (a tick after the release) before it arrives.
    stack.save(drop_onto(stack, companion, (frame[0] + frame[2] // 2, frame[1] - 450), window_top_level(frame),
                         (frame[0], frame[0] + frame[2]), "the mascot to stand on the window on the second monitor"),
               "on-window-second-monitor")

    # -- the second monitor goes: the overlay shrinks, the mascot comes back --
    start = len(companion.proc.output())
    stack.set_second_monitor(False)
    companion.proc.wait_line(rf"^Monitors: {SCREEN_W}x{SCREEN_H}\+0\+0$", 10, start)
    wait_until(lambda: overlay_size(stack, companion.overlay) == (SCREEN_W, SCREEN_H), 10,
               "the overlay to shrink to the remaining monitor")
    stack.save(wait_until(lambda: (lambda s: locate_mascot(s) and s)(stack.screenshot()), 10,
                          "the mascot on the remaining monitor"), "second-monitor-off")
    start = len(companion.proc.output())
    stack.set_second_monitor(True)
    companion.proc.wait_line(rf"^Monitors: {SCREEN_W}x{SCREEN_H}\+0\+0 {SECOND_W}x{SECOND_H}\+{SCREEN_W}\+0$", 10,
                             start)
    wait_until(lambda: overlay_size(stack, companion.overlay) == (TWO_MONITORS_W, SCREEN_H), 10,
               "the overlay to span both monitors again")
    check(companion.proc.alive(), "the companion died during the scenario")
