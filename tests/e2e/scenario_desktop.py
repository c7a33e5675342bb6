"""Scenarios that need no community service: the mascot on the desktop,
click-through, and the shutdown on SIGINT."""

import os
import time
import re
import signal

from harness import (SCREEN_H, SCREEN_W, Companion, ScenarioFailure, beside, centre, check,
                     click_element, dark_mask, find_lines, find_text, free_port, locate_mascot, log, wait_until,
                     MASCOT_OUTLINE)

MAIN_MENU = ["hi hii ~", " - Log In", " - Spawn Blocks", " - Dismiss"]
SPAWNER_LINES = ["Left click to", "spawn boxes.", "Right click to", "finish placing."]
# While placing, the spawner's faint panel (white at alpha 28, tinted #ff8000)
# lies over everything: the bubble's white shows as this.
SPAWNER_PAPER = (255, 241, 227)
WALL = 16  # thickness of the walls around the focused window; they stand outside its frame


def offline_config():
    # A loopback port nobody listens on: every online call fails at once.
    dead = f"http://127.0.0.1:{free_port()}"
    return {"service_origin": dead, "bluesky_origin": dead}


# ---------------------------------------------------------------------------
# Reading the mascot off the screen

def mascot_feet(shot, box):
    """Lowest row of the mascot's outline under its body: where it stands."""
    x0, y0, x1, y1 = box
    feet = shot.bbox(MASCOT_OUTLINE, (x0 - 4, y0, x1 + 5, y1 + 40))
    return feet[3] if feet else y1


def standing_on(shot, level, x_range=None, tolerance=5):
    """The mascot's box when it stands with its feet on row `level`, else None."""
    box = locate_mascot(shot)
    if box is None:
        return None
    feet = mascot_feet(shot, box)
    if abs(feet - level) > tolerance:
        return None
    if x_range is not None:
        cx = centre(box)[0]
        if not (x_range[0] <= cx <= x_range[1]):
            return None
    return box


def window_top_level(frame):
    # The top wall lies on the frame's top edge, outside it: the mascot's
    # feet rest on the row just above the wall.
    return frame[1] - WALL - 1


def mascot_point(stack):
    box = locate_mascot(stack.screenshot())
    return centre(box) if box else None


def still_mascot_point(stack):
    """The mascot's centre when it stands still in two screenshots in a row
    (a walk crosses the screen in half a second: clicking a walking mascot
    races its next frame)."""
    a = locate_mascot(stack.screenshot())
    b = locate_mascot(stack.screenshot())
    return centre(b) if a and a == b else None


def open_main_menu(stack, companion, lines=MAIN_MENU, missed=None):
    """Right click on the mascot; returns the ink corners of the menu's lines.
    A click can still miss a mascot that starts a walk at that moment: then
    `missed()` (if given) is told and the click is tried again."""
    def menu_shown():
        shot = stack.screenshot()
        box = locate_mascot(shot)
        return box and beside(find_lines, shot, lines, box, pitch=20)

    def attempt():
        click_element(stack, companion, lambda: still_mascot_point(stack), 3, "the mascot")
        try:
            return wait_until(menu_shown, 3, f"the main menu {lines}")
        except ScenarioFailure:
            log("right click on the mascot showed no menu; trying again")
            if missed:
                missed()
            return None
    return wait_until(attempt, 40, f"the main menu {lines} after a right click on the mascot", interval=0)


def click_line(stack, companion, corner, text, button=1):
    """Click a bubble line whose text cell starts at corner: a text line is hit
    where it is drawn."""
    x, y = corner[0] + 12, corner[1] + 8
    click_element(stack, companion, lambda: (x, y), button, f"the line {text!r}")


# ---------------------------------------------------------------------------
# Boxes of the block spawner, read from one pixel column

def column_runs(shot, x):
    """Runs of one colour in column x from the bottom up: [(colour, length)],
    runs shorter than 4 pixels (edges) dropped."""
    runs = []
    current, length = None, 0
    for y in range(shot.h - 1, -1, -1):
        p = shot.pixel(x, y)
        if p == current:
            length += 1
            continue
        if current is not None and length >= 4:
            runs.append((current, length))
        current, length = p, 1
    if length >= 4:
        runs.append((current, length))
    return runs


def stacked_boxes(shot, x):
    """Colours of the boxes standing on the floor in column x, bottom first:
    runs of one colour about 128 pixels tall, from the floor up, each checked
    at x - 40 and x + 40 too (a box is 128 wide and does not turn)."""
    boxes = []
    y = shot.h
    runs = column_runs(shot, x)
    # While placing, the spawner's panel draws a thin frame along the screen edge.
    while runs and runs[0][1] < 10:
        y -= runs[0][1]
        runs.pop(0)
    for colour, length in runs:
        if not (116 <= length <= 136):
            break
        mid = y - length // 2
        if shot.pixel(x - 40, mid) != colour or shot.pixel(x + 40, mid) != colour:
            break
        boxes.append(colour)
        y -= length
    return boxes


# ---------------------------------------------------------------------------

def mascot(stack):
    stack.start_desktop(compositor=True)
    host = stack.start_xterm(100, 600)
    frame = stack.frame_rect(host)
    log("host window frame", frame)
    companion = Companion(stack, offline_config()).start()
    stack.activate(host)  # (the overlay takes no focus when it maps; this only makes sure)

    # It falls from the middle of the screen onto the floor.
    first_shot = wait_until(lambda: (lambda s: locate_mascot(s) and s)(stack.screenshot()), 20,
                            "the mascot to appear")
    first = locate_mascot(first_shot)
    stack.save(first_shot, "falling")
    log("mascot first seen at", first)
    # It stands on the floor and, as it wanders, sooner or later on the focused
    # window's top edge. Its first walk may start before it lands (it may visit
    # the window first), so the floor is awaited within the same deadline.
    top = window_top_level(frame)
    x_range = (frame[0], frame[0] + frame[2])
    seen = {}

    def floor_then_window():
        # Standing means the same box on the edge in two looks in a row: a
        # mascot jumping past the edge's height is not standing on it.
        s = stack.screenshot()
        if "floor" not in seen and standing_on(s, SCREEN_H - 1):
            seen["floor"] = s
            stack.save(s, "on-floor")
        box = standing_on(s, top, x_range) if "floor" in seen else None
        still = box is not None and seen.get("window") == box
        seen["window"] = box
        return still and s

    # The main menu, exactly. While it is open the mascot wanders no more. The
    # mascot may start its next walk between the look and the click: then the
    # menu opened elsewhere; it is dismissed and the mascot awaited again.
    deadline = time.monotonic() + 240
    while True:
        left = deadline - time.monotonic()
        on_window = wait_until(floor_then_window, max(left, 1),
                               "the mascot to stand on the floor and then on the host window's top edge")
        lines = open_main_menu(stack, companion)
        menu_shot = stack.screenshot()
        box = locate_mascot(menu_shot)
        if standing_on(menu_shot, top, x_range):
            break
        check(time.monotonic() < deadline, f"the mascot left the window's top edge when clicked: {box}")
        log("the mascot walked off the window before the menu opened; dismissing and waiting again")
        click_line(stack, companion, lines[3], " - Dismiss")
        wait_until(lambda: (lambda s: not beside(find_lines, s, MAIN_MENU, locate_mascot(s), pitch=20))(
            stack.screenshot()), 5, "the menu to close")
        seen.pop("window", None)
    landed = locate_mascot(seen["floor"])
    check(landed[1] > first[1], f"the mascot did not fall: first seen at {first}, on the floor at {landed}")
    stack.save(on_window, "on-window-top")
    stack.save(menu_shot, "main-menu")

    # Moving the window moves its walls: the mascot, standing still on the
    # old top edge, drops onto the new one.
    cx = centre(box)[0]
    new_x = frame[0] + 150 if frame[0] + 150 + 20 <= cx <= frame[0] + 150 + frame[2] - 20 else frame[0] - 60
    stack.xdotool("windowmove", host, new_x, frame[1] + 180)
    moved = wait_until(lambda: (lambda f: f[:2] != frame[:2] and f)(stack.frame_rect(host)), 10,
                       "the host window to move")
    log("host window moved to", moved)
    new_top = window_top_level(moved)
    new_range = (moved[0], moved[0] + moved[2])
    on_moved = wait_until(lambda: (lambda s: standing_on(s, new_top, new_range) and s)(stack.screenshot()), 10,
                          "the mascot to drop onto the moved window's top edge")
    stack.save(on_moved, "on-moved-window")

    # " - Dismiss" bursts the menu. The menu follows the mascot as it drops
    # and settles: its lines are clicked once two looks in a row find them in
    # one place (a click while it still moves lands on the line above).
    menu_at = []

    def menu_still():
        shot = stack.screenshot()
        menu_at.append(beside(find_lines, shot, MAIN_MENU, locate_mascot(shot), pitch=20))
        return menu_at[-1] is not None and menu_at[-2:] == [menu_at[-1]] * 2 and menu_at[-1]
    lines = wait_until(menu_still, 5, "the menu to follow the mascot and stand still")
    click_line(stack, companion, lines[3], " - Dismiss")
    title_rect = (lines[0][0] - 4, lines[0][1], lines[0][0] + 80, lines[0][1] + 20)
    burst = wait_until(lambda: (lambda s: find_text(s, MAIN_MENU[0], title_rect) is None and s)(stack.screenshot()),
                       5, "the menu to burst")
    stack.save(burst, "menu-burst")

    # " - Spawn Blocks": three left clicks, three boxes stacked on the floor.
    lines = open_main_menu(stack, companion)
    # The menu holds the mascot still, and so does the spawner's bubble; the
    # spawner's panel tints the mascot's colours, so it is located now.
    box_now = locate_mascot(stack.screenshot())
    click_line(stack, companion, lines[2], " - Spawn Blocks")

    def spawner_shown():
        shot = stack.screenshot()
        found = [beside(find_text, shot, t, box_now, paper=SPAWNER_PAPER) for t in SPAWNER_LINES]
        return all(found) and sorted(found, key=lambda p: p[1]) == found and shot
    stack.save(wait_until(spawner_shown, 10, f"the block spawner's bubble {SPAWNER_LINES}"), "spawner")
    column = 500 if centre(box_now)[0] > 900 else 1500
    if moved[0] - 80 <= column <= moved[0] + moved[2] + 80:
        column = 1750
    for count in (1, 2, 3):
        click_element(stack, companion, lambda: (column, 150), 1, f"the desktop to place box {count}")
        stack_shot = wait_until(lambda: (lambda s: len(stacked_boxes(s, column)) == count and s)(stack.screenshot()),
                                10, f"box {count} to fall onto the pile")
    stack.save(stack_shot, "three-boxes")
    colours = stacked_boxes(stack_shot, column)
    check(len(set(colours)) == 3, f"the three boxes share colours: {colours}")

    # A right click ends placing; the boxes stay.
    background_probe = (column, 60)
    placing_bg = stack_shot.pixel(*background_probe)
    click_element(stack, companion, lambda: (column, 60), 3, "the spawner to end placing")

    def placing_over():
        shot = stack.screenshot()
        return (shot.pixel(*background_probe) != placing_bg and len(stacked_boxes(shot, column)) == 3
                and not companion.takes_pointer() and shot)
    stack.save(wait_until(placing_over, 10, "placing to end with the three boxes left"), "placing-ended")

    # A right click on the top box removes it.
    top_box_y = SCREEN_H - 128 * 2 - 64
    click_element(stack, companion, lambda: (column, top_box_y), 3, "the top box")
    removed = wait_until(lambda: (lambda s: len(stacked_boxes(s, column)) == 2 and s)(stack.screenshot()), 10,
                         "the top box to go")
    stack.save(removed, "box-removed")
    check(companion.proc.alive(), "the companion died during the scenario")


# ---------------------------------------------------------------------------

def clickthrough(stack):
    # No compositor: click-through must not depend on one.
    stack.start_desktop(compositor=False)
    # A window that logs its button presses, under almost the whole overlay
    # (in reverse video: its black does not pass for a bubble's white paper).
    xev = stack.spawn("xev", ["stdbuf", "-oL", "xev", "-rv", "-event", "button", "-geometry", "1880x960+10+60",
                              "-name", "clicktarget"], capture=True)
    target = wait_until(lambda: stack._search_window("clicktarget") or stack._search_window("Event Tester"),
                        20, "the xev window to map")
    stack.activate(target)
    companion = Companion(stack, offline_config()).start()
    stack.activate(target)
    wait_until(lambda: mascot_point(stack), 20, "the mascot to appear")

    def presses():
        return [l for l in xev.output() if l.startswith("ButtonPress")]

    def empty_point():
        # A point well away from the mascot (it wanders).
        shot = stack.screenshot()
        box = locate_mascot(shot)
        if box is None:
            return None
        return (400, 400) if centre(box)[0] > SCREEN_W // 2 else (1500, 400)

    # 1. Empty overlay area: the click reaches the window underneath.
    before = len(presses())
    point = wait_until(empty_point, 10, "the mascot to be seen")
    stack.move_pointer(*point)
    check(not companion.takes_pointer(), f"the overlay takes the pointer over empty area at {point}")
    stack.xdotool("click", 1)
    wait_until(lambda: len(presses()) > before, 5, "xev to log the click through the overlay")
    pressed = xev.output()
    stack.save(stack.screenshot(), "clicked-through")

    # 2. On the mascot: the companion takes it (its menu opens), xev hears nothing.
    counts = {"before": len(presses())}

    def missed():  # the mascot walked away under the pointer: that click went below and does not count
        counts["before"] = len(presses())
    lines = open_main_menu(stack, companion, missed=missed)
    stack.save(stack.screenshot(), "menu-on-mascot")
    before = counts["before"]
    check(len(presses()) == before, f"a click on the mascot reached the window below: {presses()[before:]}")

    # 3. Empty area again while the menu is open: through to the window.
    point = wait_until(empty_point, 10, "the mascot to be seen")
    stack.move_pointer(*point)
    check(not companion.takes_pointer(), "the overlay swallows clicks outside its elements while a menu is open")
    stack.xdotool("click", 3)
    wait_until(lambda: len(presses()) > before, 5, "xev to log the second click through the overlay")

    # 4. A menu line is the companion's: " - Dismiss" closes the menu, xev hears nothing.
    before = len(presses())
    click_line(stack, companion, lines[3], " - Dismiss")
    title_rect = (lines[0][0] - 4, lines[0][1], lines[0][0] + 80, lines[0][1] + 20)
    wait_until(lambda: find_text(stack.screenshot(), MAIN_MENU[0], title_rect) is None, 5, "the menu to close")
    check(len(presses()) == before, f"a click on a menu line reached the window below: {presses()[before:]}")
    check(any("button 1" in l for l in pressed), f"xev logged no left button press: {pressed}")
    check(companion.proc.alive(), "the companion died during the scenario")


# ---------------------------------------------------------------------------

def shutdown(stack):
    stack.start_desktop(compositor=False)
    config = offline_config()
    companion = Companion(stack, None)  # first start: no configuration file at all
    companion.start()
    companion.proc.wait_line(r"^config result: $", 10)
    # The first start writes the generated id at once.
    first_id = wait_until(lambda: os.path.exists(companion.config_path) and companion.read_config().get("login_id"),
                          10, "config.json with a login id after the first start")
    check(re.fullmatch(r"\d+:\d+:\d+", first_id), f"login id {first_id!r} is not three numbers joined by colons")
    stop_with_sigint(stack, companion)

    # Second run with extra keys: SIGINT keeps the id and the keys.
    saved = companion.read_config()
    check(saved.get("login_id") == first_id, f"login id changed at shutdown: {first_id} -> {saved}")
    saved.update(config)
    with open(companion.config_path, "w") as f:
        import json
        json.dump(saved, f)
    companion.start()
    companion.proc.wait_line(r"^config result: \{", 10)
    stop_with_sigint(stack, companion)
    final = companion.read_config()
    check(final.get("login_id") == first_id, f"login id lost on the second run: {final}")
    check(final.get("service_origin") == config["service_origin"], f"an unknown key was dropped: {final}")
    with open(companion.config_path) as f:
        text = f.read()
    check(" " not in text and "\n" not in text.strip(), f"config.json is not compact: {text!r}")


def stop_with_sigint(stack, companion):
    proc = companion.proc
    # Running frames: wait until the mascot is on screen.
    wait_until(lambda: mascot_point(stack), 20, "the mascot to appear")
    os.kill(proc.pid, signal.SIGINT)
    try:
        rc = proc.popen.wait(20)
    except Exception:
        raise ScenarioFailure("the companion did not exit within 20 s of SIGINT")
    proc.reader.join(5)
    out = proc.output()
    log("exit status", rc, "last lines", out[-3:])
    check("Interrupt signal (2) received." in out, f"no interrupt line in the output: {out[-5:]}")
    check(rc == 2, f"exit status {rc}, expected 2")
