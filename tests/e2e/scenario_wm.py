"""The companion among other windows under openbox: its own window's standing
with the window manager, the walls of a client-side-decorated window, a
minimised window, and a full-screen program."""

import re
import time

from harness import SCREEN_H, SCREEN_W, Companion, ScenarioFailure, check, locate_mascot, log, wait_until
from scenario_compositor import place_picture, pose_pictures
from scenario_desktop import WALL, offline_config, standing_on
from scenario_monitors import drop_mascot

# The shadow a GTK program draws inside its own window: left, right, top, bottom.
GTK_SHADOW = (24, 24, 48, 24)
GTK_TITLE = "gtkhost"  # openbox leaves it undecorated (harness.py's rc.xml), as GTK asks


def net_wm_state(stack, wid):
    out = stack.run(["xprop", "-id", str(wid), "_NET_WM_STATE"], False)
    return set(re.findall(r"_NET_WM_STATE_[A-Z_]+", out))


def mapped(stack, wid):
    return "IsUnMapped" not in stack.run(["xwininfo", "-id", str(wid)])


def stacking(stack):
    out = stack.run(["xprop", "-root", "_NET_CLIENT_LIST_STACKING"], False)
    return [int(w, 16) for w in re.findall(r"0x[0-9a-f]+", out)]


def above(stack, top, below):
    order = stacking(stack)
    return top in order and below in order and order.index(top) > order.index(below)


def wm(stack):
    stack.start_desktop(compositor=True)
    # Nearly as wide as the screen: the mascot lands on it from its start and
    # seldom walks off its ends. Its visible top lies below the mascot's body
    # where it appears (128 pixels around the screen's middle): walls built
    # around a body would hold it inside.
    host = stack.start_xterm(40, 620, cols=300, rows=20, title=GTK_TITLE)
    shadow = ",".join(str(v) for v in GTK_SHADOW)
    stack.run(["xprop", "-id", str(host), "-f", "_GTK_FRAME_EXTENTS", "32c", "-set", "_GTK_FRAME_EXTENTS", shadow])
    frame = stack.frame_rect(host)
    log("host window frame", frame)
    companion = Companion(stack, offline_config()).start()
    overlay = companion.overlay

    # -- its standing: every workspace, no taskbar or pager, above, no focus --
    # openbox has no _NET_WM_STATE_STICKY (it is not in _NET_SUPPORTED): it
    # shows a sticky window by _NET_WM_DESKTOP = all and drops the state.
    wanted = {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE"}
    if "_NET_WM_STATE_STICKY" in stack.run(["xprop", "-root", "_NET_SUPPORTED"]):
        wanted.add("_NET_WM_STATE_STICKY")
    states = wait_until(lambda: (lambda s: wanted <= s and s)(net_wm_state(stack, overlay)), 10,
                        f"the overlay's _NET_WM_STATE to hold {sorted(wanted)}")
    log("overlay _NET_WM_STATE", sorted(states))
    desktop = stack.run(["xprop", "-id", str(overlay), "_NET_WM_DESKTOP"])
    check(re.search(r"= (4294967295|0xffffffff)", desktop), f"the overlay is not on every workspace: {desktop}")
    check(stack.run(["xprop", "-id", str(overlay), "_NET_WM_WINDOW_TYPE"]).find("_NET_WM_WINDOW_TYPE_DOCK") >= 0,
          "the overlay is not a dock")
    check(stack.active_window() == host, f"the overlay took the focus when it mapped: {stack.active_window():#x}")
    # openbox cannot focus it: a click-to-focus manager's focus cycle skips it.
    stack.run(["wmctrl", "-i", "-a", str(overlay)], False)
    check(stack.active_window() != overlay, "the window manager gave the overlay the focus")
    stack.activate(host)
    check(above(stack, overlay, host), f"the overlay is not above the focused window: {stacking(stack)}")
    geometry = stack.frame_rect(overlay)
    check(geometry == (0, 0, SCREEN_W, SCREEN_H), f"the overlay does not cover the monitor: {geometry}")

    # -- a client-side-decorated window: walls at its visible top edge -------
    visible_top = frame[1] + GTK_SHADOW[2]
    x_range = (frame[0] + GTK_SHADOW[0], frame[0] + frame[2] - GTK_SHADOW[1])
    seen = {}

    def standing_on_visible_top():
        shot = stack.screenshot()
        box = standing_on(shot, visible_top - WALL - 1, x_range)
        still = box is not None and seen.get("box") == box
        seen["box"] = box
        return still and shot
    # It may walk off the window's ends before it is seen; it jumps back up
    # to the focused window on about half of its walks.
    stack.save(wait_until(standing_on_visible_top, 90, "the mascot to stand on the GTK window's visible top edge"),
               "on-gtk-visible-top")

    # -- minimised: its walls go, the mascot falls to the floor ----------------
    stack.xdotool("windowminimize", host)
    wait_until(lambda: not mapped(stack, host), 10, "the host window to be minimised")
    floor = wait_until(lambda: (lambda s: standing_on(s, SCREEN_H - 1) and s)(stack.screenshot()), 15,
                       "the mascot to fall to the floor once the window is minimised")
    stack.save(floor, "window-minimised")

    # -- a full-screen program hides the companion; leaving full screen brings it back
    stack.run(["wmctrl", "-i", "-a", str(host)])
    wait_until(lambda: stack.active_window() == host, 10, "the host window to be restored and active")
    start = len(companion.proc.output())
    stack.run(["wmctrl", "-i", "-r", str(host), "-b", "add,fullscreen"])
    companion.proc.wait_line(r"^A full-screen window is active: hiding the overlay$", 10, start)
    wait_until(lambda: not mapped(stack, overlay), 5, "the overlay to be unmapped")
    hidden = stack.screenshot("fullscreen-program")
    check(locate_mascot(hidden) is None, "the mascot is drawn over a full-screen program")
    start = len(companion.proc.output())
    stack.run(["wmctrl", "-i", "-r", str(host), "-b", "remove,fullscreen"])
    companion.proc.wait_line(r"^No full-screen window any more: showing the overlay$", 10, start)
    wait_until(lambda: mapped(stack, overlay), 5, "the overlay to be mapped again")
    states = wait_until(lambda: (lambda s: wanted <= s and s)(net_wm_state(stack, overlay)), 10,
                        "the overlay's states to be back after it was hidden")
    check(stack.active_window() == host, "the overlay took the focus when it came back")
    wait_until(lambda: above(stack, overlay, host), 5, "the overlay to be above the host window again")
    back = wait_until(lambda: (lambda s: locate_mascot(s) and s)(stack.screenshot()), 10,
                      "the mascot to be seen again")
    stack.save(back, "after-fullscreen")

    # -- another workspace: the overlay comes along ----------------------------
    stack.run(["wmctrl", "-n", "2"])
    stack.run(["wmctrl", "-s", "1"])
    wait_until(lambda: "= 1" in stack.run(["xprop", "-root", "_NET_CURRENT_DESKTOP"]), 5, "workspace 2")
    wait_until(lambda: not mapped(stack, host), 5, "the host window to stay on workspace 1")
    check("IsViewable" in stack.run(["xwininfo", "-id", str(overlay)]), "the overlay stayed on workspace 1")
    stack.save(wait_until(lambda: (lambda s: locate_mascot(s) and s)(stack.screenshot()), 10,
                          "the mascot on workspace 2"), "workspace-2")
    check(companion.proc.alive(), "the companion died during the scenario")


def wm_edge(stack):
    """A focused window moved onto a mascot by the screen's edge, to stand less
    than a mascot's size from it (left, then top): the wall pushes the mascot
    away from the edge, never into the slot where it would hang off screen."""
    stack.start_desktop(compositor=True)
    # Its bottom stays below the screen: what falls inside it lands on the floor.
    host = stack.start_xterm(1000, 400, cols=120, rows=80)
    companion = Companion(stack, offline_config()).start()
    poses = pose_pictures(stack)

    def look():
        shot = stack.screenshot()
        box = locate_mascot(shot)
        return shot, box, box and place_picture(shot, box, poses)

    def squeeze(what, drop_at, level, ready, to):
        def dropped():
            drop_mascot(stack, companion, drop_at)
            try:
                shot, _, placed = wait_until(lambda: (lambda s: s[2] and s[2][0].split()[0] in ("idle", "landed")
                                                      and standing_on(s[0], level) and s)(look()), 5, "a landing")
            except ScenarioFailure:  # it landed elsewhere
                return False
            # Moved at once: the mascot may walk off at any moment.
            return ready(placed[2], placed[3]) and stack.xdotool("windowmove", host, *to) is not None and shot
        stack.save(wait_until(dropped, 120, f"the mascot to rest {what}", interval=0), what)
        wait_until(lambda: stack.frame_rect(host)[:2] == to, 10, "the host window to move")
        moved_at, last, falls, shown = time.monotonic(), None, 0, None
        # Walls are rebuilt ten times a second and push at once: from half a
        # second on it never rests partly off the screen nor hangs in "fall".
        # (A picture the edge cuts may match no pose: its body's box tells.)
        while time.monotonic() - moved_at < 6:
            shot, box, placed = look()
            if box and time.monotonic() - moved_at > 0.5:
                label, _, left, top = placed or ("?", None, None, None)
                # The body colour lies 4 to 8 pixels inside the picture's edges.
                cut = box[0] < 4 or box[1] < 8 or box[2] > SCREEN_W - 5 or box[3] > SCREEN_H - 9
                whole = not cut and (not placed or (0 <= left <= SCREEN_W - 128 and 0 <= top <= SCREEN_H - 128))
                still, last = box == last, box
                falls = falls + 1 if still and label.startswith("fall") else 0
                if (still and not whole) or falls >= 4:
                    check(False, f"{what}: the mascot rests at {box} as {label}: {stack.save(shot, 'wedged')}")
                if still and not shown:
                    shown = stack.save(shot, what + "-after-the-move")
            time.sleep(0.25)

    # Its left wall will stand at x 84 .. 100: a mascot whose middle is left
    # of the wall's is pushed towards the edge.
    squeeze("by-the-left-edge", (60, SCREEN_H - 80), SCREEN_H - 1, lambda x, y: x + 64 < 92, (100, 600))
    # On its top edge at y 150 (the mascot's top at 6), then the window rises
    # to 120: its top wall (104 .. 120) comes down over the mascot's middle.
    stack.xdotool("windowmove", host, 600, 150)
    squeeze("on-the-window-top", (900, 60), 150 - WALL - 1, lambda x, y: 600 <= x <= 1200, (600, 120))
    check(companion.proc.alive(), "the companion died during the scenario")
