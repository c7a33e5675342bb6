"""The companion at scale 2 ("scale": 2 in its config.json): the world keeps
its logical pixels and every one of them is 2 x 2 on the screen. The mascot's
128-pixel picture (32 texels) shows 256 pixels wide in crisp blocks, stands on
the host window's walls, and a right click where it is seen opens its menu."""

import subprocess

from harness import (MASCOT_OUTLINE, Companion, Image, ScenarioFailure, beside, centre, check, click_element,
                     find_lines, locate_mascot, log, wait_until)
from scenario_desktop import MAIN_MENU, WALL, offline_config, still_mascot_point

SCALE = 2
PICTURE = 128  # the mascot's drawn size in logical pixels (its element's size)


def halved(shot, ox, oy):
    """Every second pixel from (ox, oy): a crisp 2x picture seen at scale 1."""
    w, h = (shot.w - ox) // SCALE, (shot.h - oy) // SCALE
    rows = []
    for y in range(h):
        start = ((oy + SCALE * y) * shot.w + ox) * 3
        row = shot.data[start:start + SCALE * w * 3]
        out = bytearray(w * 3)
        for c in range(3):
            out[c::3] = row[c::3 * SCALE]
        rows.append(bytes(out))
    return Image(w, h, b"".join(rows))


def texel_box(path):
    """Opaque bounding box (x0, y0, x1, y1) of a PNG and its width in texels."""
    out = subprocess.run(["convert", path, "-format", "%w %@", "info:"], capture_output=True, check=True,
                         timeout=30).stdout.decode()
    width, geometry = out.split()
    size, x, y = geometry.split("+")
    w, h = (int(v) for v in size.split("x"))
    return (int(x), int(y), int(x) + w, int(y) + h), int(width)


def standing_on(shot, level, x_range, tolerance=5):
    """The mascot's body box when the lowest row of its outline (its feet,
    6 texels below its body) is row `level` and its centre within x_range."""
    box = locate_mascot(shot)
    if box is None or not x_range[0] <= centre(box)[0] <= x_range[1]:
        return None
    feet = shot.bbox(MASCOT_OUTLINE, (box[0] - 20, box[1], box[2] + 21, box[3] + 8 * SCALE * 4))
    return box if feet and abs(feet[3] - level) <= tolerance else None


def drawn_box(shot, body, bottom):
    """Bounding box (x0, y0, x1 exclusive, y1 exclusive) of everything not
    background around the mascot's body, above row `bottom`; the background
    is the desktop's plain colour at the area's top left corner."""
    x0, y0, x1, y1 = body
    left, top = max(0, x0 - 60), max(0, y0 - 80)
    background = shot.pixel(left, top)
    xs, ys = [], []
    for y in range(top, bottom):
        for x in range(left, min(shot.w, x1 + 61)):
            if shot.pixel(x, y) != background:
                xs.append(x)
                ys.append(y)
    return (min(xs), min(ys), max(xs) + 1, max(ys) + 1)


def scale(stack):
    stack.start_desktop(compositor=True)
    # Nearly as wide as the screen and below the mascot's body where it
    # appears (256 pixels around the screen's middle): it lands on the window.
    host = stack.start_xterm(40, 760, cols=300, rows=10)
    frame = stack.frame_rect(host)
    log("host window frame", frame)
    companion = Companion(stack, dict(offline_config(), scale=SCALE)).start()
    companion.proc.wait_line(r"^scale: 2 \(config\.json\)$", 10)

    # -- the walls: 16 logical pixels above the frame are 32 on the screen --
    wall_top = frame[1] - SCALE * WALL
    x_range = (frame[0], frame[0] + frame[2])
    # -- its picture drawn at 2x: 8 screen pixels per texel -------------------
    # Standing still it shows its idle (or, the same size, talk) picture; it
    # lands in a flatter one for half a second.
    texels, picture_w = texel_box(f"{companion.dir}/assets/vimo/idle.png")
    per_texel = SCALE * PICTURE // picture_w
    want = ((texels[2] - texels[0]) * per_texel, (texels[3] - texels[1]) * per_texel)
    seen = {}

    def standing_still_at_size():
        shot = stack.screenshot()
        body = standing_on(shot, wall_top - 1, x_range)
        still = body is not None and seen.get("body") == body
        seen["body"] = body
        if not still:
            return None
        seen["drawn"] = drawn_box(shot, body, wall_top)
        drawn = seen["drawn"]
        return (drawn[2] - drawn[0], drawn[3] - drawn[1]) == want and shot
    try:
        shot = wait_until(standing_still_at_size, 90, "the mascot to stand still on the host window's walls")
    except ScenarioFailure:
        raise ScenarioFailure(f"the mascot is not drawn at {SCALE}x on the window's walls: last drawn over "
                              f"{seen.get('drawn')}, body {seen.get('body')}; want {want[0]} x {want[1]}")
    stack.save(shot, "standing")
    box = seen["drawn"]
    log(f"mascot drawn over {box}: {box[2] - box[0]} x {box[3] - box[1]},",
        f"its {PICTURE}-pixel picture {SCALE * PICTURE} wide")
    # Crisp: every 2x2 block one colour (a filtered picture blends its texel edges).
    split = [(x, y) for y in range(box[1], box[3], 2) for x in range(box[0], box[2], 2)
             if len({shot.pixel(x + dx, y + dy) for dx in (0, 1) for dy in (0, 1)}) > 1]
    check(not split, f"{len(split)} blurred 2x2 blocks in the mascot, first at {split[:3]}")

    # -- a right click where it is seen opens its menu, drawn at 2x ---------
    phases = [(box[0] % 2, box[1] % 2)] + [(x, y) for x in (0, 1) for y in (0, 1) if (x, y) != (box[0] % 2, box[1] % 2)]

    def menu_shown():
        shot = stack.screenshot()
        for ox, oy in phases:
            half = halved(shot, ox, oy)
            if beside(find_lines, half, MAIN_MENU, locate_mascot(half), pitch=20):
                return shot
        return None

    def attempt():
        click_element(stack, companion, lambda: still_mascot_point(stack), 3, "the mascot")
        try:
            return wait_until(menu_shown, 3, "the main menu")
        except ScenarioFailure:
            log("right click on the mascot showed no menu; trying again")
            return None
    menu = wait_until(attempt, 40, f"the main menu {MAIN_MENU} after a right click on the mascot", interval=0)
    stack.save(menu, "main-menu")
    check(companion.proc.alive(), "the companion died during the scenario")
