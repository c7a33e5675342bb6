"""A desktop without a compositing manager: the overlay must not blacken the
screen. It is cut (X Shape) to the pixels its elements draw, the desktop
pattern around them, the transparent corners of the mascot's picture
included, stays visible, clicks there reach the windows below, and the mascot
still takes the pointer. A compositor that starts later makes the window whole and
transparent again; one that stops brings the cut back."""

import ctypes
import os
import re
import subprocess
import time

from harness import (HOST_BG, MASCOT_BODY, SCREEN_H, SCREEN_W, Companion, Service, check, hover, locate_mascot, log,
                     wait_until)
from scenario_desktop import offline_config, still_mascot_point

# The desktop: a 32-pixel checkerboard of two colours the companion never draws.
PATTERN_A = (240, 230, 140)  # top-left 16 x 16 of each tile
PATTERN_B = (46, 139, 87)
NO_COMPOSITOR = r"^No compositing manager"
COMPOSITOR = r"^Compositing manager running"


def pattern_at(x, y):
    return PATTERN_A if ((x % 32) < 16) == ((y % 32) < 16) else PATTERN_B


def paint_desktop(stack):
    path = os.path.join(stack.tmp, "pattern.png")
    subprocess.run(["convert", "-size", "32x32", "xc:#%02x%02x%02x" % PATTERN_B, "-fill", "#%02x%02x%02x" % PATTERN_A,
                    "-draw", "rectangle 0,0 15,15", "-draw", "rectangle 16,16 31,31", "-type", "TrueColor", path],
                   check=True, timeout=30)
    # display sets the root's background tile and leaves (its status is 1 even then).
    stack.run(["display", "-window", "root", path], check_rc=False)
    wait_until(lambda: stack.screenshot().pixel(5, 5) == PATTERN_A, 10, "the desktop pattern")
    # display's tile is gone once it exits (the root keeps its own reference):
    # a compositor that looked the tile up by this property would paint
    # nothing under transparent windows and leave trails. Without it,
    # xcompmgr paints a plain grey desktop.
    stack.run(["xprop", "-root", "-remove", "_XSETROOT_ID"], check_rc=False)


def bounding_shape(stack, wid):
    """(x0, y0, x1, y1) of the overlay's bounding shape, or None when it has none."""
    out = stack.run(["xwininfo", "-shape", "-id", str(wid)])
    if re.search(r"No window shape defined", out):
        return None
    m = re.search(r"Bounding shape extents:\s+(\d+)x(\d+)([+-]\d+)([+-]\d+)", out)
    if m is None:  # older xwininfo: -geometry line after "Window shape extents"
        m = re.search(r"Window shape extents:\s+(\d+)x(\d+)([+-]\d+)([+-]\d+)", out)
    check(m is not None, f"unreadable xwininfo -shape output: {out[-400:]}")
    w, h, x, y = (int(v) for v in m.groups())
    return (x, y, x + w, y + h)


def steady_shot(stack, wid):
    """A screenshot with the shape it was taken under (the same before and after)."""
    def attempt():
        before = bounding_shape(stack, wid)
        shot = stack.screenshot()
        after = bounding_shape(stack, wid)
        return (shot, after) if before == after else None
    return wait_until(attempt, 30, "a screenshot while the overlay's shape holds still")


def outside(point, boxes, margin=4):
    x, y = point
    return all(not (b[0] - margin <= x < b[2] + margin and b[1] - margin <= y < b[3] + margin) for b in boxes)


def grid(rect=(0, 0, SCREEN_W, SCREEN_H), step=37):
    x0, y0, x1, y1 = rect
    return [(x, y) for y in range(y0 + 3, y1 - 3, step) for x in range(x0 + 3, x1 - 3, step)]


def check_cut_desktop(stack, companion, hosts, label):
    """Without a compositor: the shape is small and holds the mascot; every
    point outside it shows the desktop pattern or the host window."""
    shot, shape = steady_shot(stack, companion.overlay)
    stack.save(shot, label)
    check(shape is not None, "no compositor, yet the overlay is not shaped")
    area = (shape[2] - shape[0]) * (shape[3] - shape[1])
    check(area < SCREEN_W * SCREEN_H // 4, f"the overlay's shape {shape} covers much of the screen")
    mascot = locate_mascot(shot)
    check(mascot is not None, "the mascot is not on the screen")
    check(shape[0] <= mascot[0] and mascot[2] < shape[2] and shape[1] <= mascot[1] and mascot[3] < shape[3],
          f"the mascot {mascot} lies outside the overlay's shape {shape}")
    wrong = []
    for p in grid():
        if not outside(p, [shape]):
            continue
        host = next((h for h in hosts if not outside(p, [h], margin=2)), None)
        if host is not None:
            # Inside a host window: its background, away from its frame,
            # title bar, first line of text and cursor.
            if outside(p, [(host[0] + 6, host[1] + 60, host[2] - 6, host[3] - 6)], margin=0):
                continue
            want = HOST_BG
        else:
            want = pattern_at(*p)
        got = shot.pixel(*p)
        if got != want:
            wrong.append((p, got, want))
    check(not wrong, f"{len(wrong)} desktop points hidden by the overlay, e.g. {wrong[:5]}")
    log(f"{label}: shape {shape}, mascot {mascot}, desktop visible around them")
    return shape


SCALE = 4  # screen pixels per picture pixel (a 32 x 32 picture drawn 128 x 128)


def pose_pictures(stack):
    """The mascot's pose pictures as the build generated them, each also
    mirrored (it faces the way it walks): (name, 32 x 32 rows of RGBA
    tuples, the body colour's first and last column and row) triples."""
    folder = os.path.join(stack.build_dir, "assets", "vimo")
    poses = []
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".png"):
            continue
        raw = subprocess.run(["convert", os.path.join(folder, name), "-depth", "8", "rgba:-"],
                             capture_output=True, check=True, timeout=30).stdout
        check(len(raw) == 32 * 32 * 4, f"{name} is not a 32 x 32 picture")
        rows = [[tuple(raw[(y * 32 + x) * 4:(y * 32 + x + 1) * 4]) for x in range(32)] for y in range(32)]
        for label, grid_ in ((name[:-4], rows), (name[:-4] + " mirrored", [row[::-1] for row in rows])):
            body = [(x, y) for y, row in enumerate(grid_) for x, c in enumerate(row) if c == MASCOT_BODY + (255,)]
            span = (min(x for x, _ in body), min(y for _, y in body), max(x for x, _ in body), max(y for _, y in body))
            poses.append((label, grid_, span))
    return poses


def place_picture(shot, body, poses):
    """Where the mascot's picture lies, read from the body colour's box: the
    pose and the picture's top-left screen pixel whose every opaque picture
    pixel shows its own colour (sampled at the middle of its 4 x 4 square,
    so a position a pixel off the grid still matches). The box is anchored
    on its sides that the screen's edges did not cut. None when no pose fits
    (a pose changing between frames, a box partly hidden)."""
    for label, pic, span in poses:
        # The screen cuts a picture that hangs over its edge: anchor on the sides it left.
        left = body[0] - span[0] * SCALE if body[0] > 0 else body[2] - (span[2] + 1) * SCALE + 1
        top = body[1] - span[1] * SCALE if body[1] > 0 else body[3] - (span[3] + 1) * SCALE + 1
        fits, seen = True, 0
        for y in range(32):
            for x in range(32):
                c = pic[y][x]
                sx, sy = left + x * SCALE + SCALE // 2, top + y * SCALE + SCALE // 2
                if c[3] != 255 or not (0 <= sx < SCREEN_W and 0 <= sy < SCREEN_H):
                    continue
                if shot.pixel(sx, sy) != c[:3]:
                    fits = False
                    break
                seen += 1
            if not fits:
                break
        if fits and seen >= 100:
            return label, pic, left, top
    return None


def check_mascot_picture_cut(stack, companion, hosts):
    """The mascot's 128 x 128 picture is cut to its own pixels: wherever its
    picture is transparent the desktop pattern shows (its corners, between
    its feet, around its leaf), nothing in its box is black (what a
    transparent pixel shows without a compositor), and the pointer there
    reaches what lies below. The picture is placed by matching the pose
    pictures of the build against the screen, so a mascot in another pose,
    partly beyond the screen's edge or in front of a window is still read
    right; points over the host windows are left out (what shows there is
    theirs)."""
    poses = pose_pictures(stack)
    looked = {}

    def attempt():
        a = stack.screenshot()
        shot = stack.screenshot()
        body = locate_mascot(shot)
        if body is None or body != locate_mascot(a):
            return None  # walking: a still picture is needed
        placed = place_picture(shot, body, poses)
        looked["last"] = (body, placed and placed[0])
        if placed is None:
            return None
        label, pic, left, top = placed
        picture = (left, top, left + 32 * SCALE, top + 32 * SCALE)
        clear, wrong = [], []
        for y in range(32):
            for x in range(32):
                p = (left + x * SCALE + SCALE // 2, top + y * SCALE + SCALE // 2)
                if pic[y][x][3] != 0 or not (0 <= p[0] < SCREEN_W and 0 <= p[1] < SCREEN_H):
                    continue
                if not outside(p, hosts, margin=SCALE):
                    continue
                # A transparent picture pixel whose neighbours are transparent too
                # (a cut one pixel generous at the edges of the drawing is no fault).
                if any(pic[j][i][3] != 0 for j in range(max(0, y - 1), min(32, y + 2))
                       for i in range(max(0, x - 1), min(32, x + 2))):
                    continue
                clear.append(p)
                if shot.pixel(*p) != pattern_at(*p):
                    wrong.append((p, shot.pixel(*p)))
        if wrong:
            stack.save(shot, "mascot-picture-not-cut")
        check(not wrong, f"{len(wrong)} of {len(clear)} transparent points of the mascot's picture {picture} "
                         f"({label}) hide the desktop, e.g. {wrong[:4]}")
        black = [p for p in shot.find_colour((0, 0, 0), picture) if outside(p, hosts, margin=2)]
        if black:
            stack.save(shot, "mascot-picture-black")
        check(not black, f"{len(black)} black pixels in the mascot's picture {picture} ({label}), e.g. {black[:4]}: "
                         "transparent pixels left in the cut")
        if len(clear) < 100:
            return None  # mostly beyond the screen or over a window: too little to judge
        # The transparent point farthest from the picture's drawn pixels.
        drawn = [(left + x * SCALE, top + y * SCALE) for y in range(32) for x in range(32) if pic[y][x][3] != 0]
        point = max(clear, key=lambda p: min(abs(p[0] - d[0]) + abs(p[1] - d[1]) for d in drawn))
        stack.move_pointer(*point)
        if locate_mascot(stack.screenshot()) != body:
            return None  # it moved meanwhile
        check(not companion.takes_pointer(), f"the overlay takes the pointer at {point}, a transparent point "
                                             f"of the mascot's picture {picture}")
        log(f"mascot picture {picture} ({label}): {len(clear)} transparent points show the desktop")
        return shot
    try:
        shot = wait_until(attempt, 30, "the mascot to stand still, its picture readable")
    finally:
        log("last look at the mascot (body box, pose):", looked.get("last"))
    stack.save(shot, "mascot-corners")
    log("the mascot's transparent pixels show the desktop and let the pointer through")


def compositor(stack):
    stack.start_desktop(compositor=False)
    paint_desktop(stack)
    term = stack.start_xterm(1100, 120, cols=60, rows=15, title="below")
    other = stack.start_xterm(100, 120, cols=40, rows=8, title="other")
    def corners(wid):
        x, y, w, h = stack.frame_rect(wid)
        return (x, y, x + w, y + h)
    term_rect = corners(term)
    hosts = [term_rect, corners(other)]
    companion = Companion(stack, offline_config()).start()
    companion.proc.wait_line(NO_COMPOSITOR, 10)
    wait_until(lambda: locate_mascot(stack.screenshot()), 30, "the mascot to appear")
    shape = check_cut_desktop(stack, companion, hosts, "no-compositor")
    check_mascot_picture_cut(stack, companion, hosts)

    # A click on the host window away from the elements reaches it: openbox
    # focuses a window that is clicked.
    stack.activate(other)
    target = None
    for p in grid((term_rect[0] + 20, term_rect[1] + 60, term_rect[2] - 20, term_rect[3] - 20), step=23):
        if outside(p, [bounding_shape(stack, companion.overlay) or shape], margin=30):
            target = p
            break
    check(target is not None, "no point of the host window lies away from the overlay's elements")
    stack.move_pointer(*target)
    check(not companion.takes_pointer(), f"the overlay takes the pointer at {target}, away from its elements")
    stack.xdotool("click", 1)
    wait_until(lambda: stack.active_window() == term, 10, "the click to reach and focus the window below")

    # The mascot still takes the pointer inside the cut window (the input
    # shape is switched apart from the bounding shape).
    def mascot_takes_pointer():
        point = still_mascot_point(stack)
        return point is not None and hover(stack, companion, point)
    wait_until(mascot_takes_pointer, 30, "the overlay to take the pointer over the mascot")
    stack.move_pointer(*target)
    wait_until(lambda: not companion.takes_pointer(), 5, "the pointer to pass through again")

    # A compositor starts: the shape goes, plain transparency shows what is below.
    mark = len(companion.proc.output())
    xcompmgr = stack.spawn("xcompmgr-late", ["xcompmgr"])
    companion.proc.wait_line(COMPOSITOR, 10, start=mark)
    check(bounding_shape(stack, companion.overlay) is None, "a compositor runs, yet the overlay is still shaped")
    def transparent():
        shot = stack.screenshot()
        mascot = locate_mascot(shot)
        if mascot is None:
            return None
        boxes = [(mascot[0] - 150, mascot[1] - 300, mascot[2] + 150, mascot[3] + 150)]
        inner = (term_rect[0] + 10, term_rect[1] + 60, term_rect[2] - 10, term_rect[3] - 10)
        seen = [shot.pixel(*p) for p in grid(inner, 19) if outside(p, boxes)]
        desk = [shot.pixel(*p) for p in grid((0, 0, SCREEN_W, SCREEN_H), 53)
                if outside(p, boxes + hosts, margin=8)]
        # One plain desktop colour everywhere: neither black nor trails of
        # earlier frames.
        ok = seen and all(c == HOST_BG for c in seen) and desk and desk[0] != (0, 0, 0) and len(set(desk)) == 1
        return shot if ok else None
    stack.save(wait_until(transparent, 15, "the host window and desktop to show through the whole overlay"),
               "compositor")
    log("with a compositor: no shape, transparent overlay")

    # It stops: the cut comes back.
    mark = len(companion.proc.output())
    xcompmgr.stop()
    companion.proc.wait_line(NO_COMPOSITOR, 10, start=mark)
    wait_until(lambda: stack.screenshot().pixel(3, 3) == pattern_at(3, 3), 10, "the desktop to be repainted")
    check_cut_desktop(stack, companion, hosts, "compositor-stopped")
    check(companion.proc.alive(), "the companion ended")


CHAT_TEXT = "안녕 こんにちは世界 emoji \U0001F389 test"


def white_boxes(shot, away_from=None, cell=4, least=4):
    """Bounding boxes (x0, y0, x1, y1) of white areas (chat paper), grouped by
    touching cells of `cell` pixels; areas within 40 px of away_from (the
    mascot's box: its eyes' glints) and of fewer than `least` cells left out."""
    cells = set()
    for x, y in shot.find_colour((255, 255, 255)):
        if away_from and away_from[0] - 40 <= x <= away_from[2] + 40 and away_from[1] - 40 <= y <= away_from[3] + 40:
            continue
        cells.add((x // cell, y // cell))
    boxes, seen = [], set()
    for start in cells:
        if start in seen:
            continue
        todo, members = [start], []
        seen.add(start)
        while todo:
            c = todo.pop()
            members.append(c)
            for dx in (-1, 0, 1):
                for dy in (-1, 0, 1):
                    n = (c[0] + dx, c[1] + dy)
                    if n in cells and n not in seen:
                        seen.add(n)
                        todo.append(n)
        if len(members) >= least:
            xs = [c[0] for c in members]
            ys = [c[1] for c in members]
            boxes.append((min(xs) * cell, min(ys) * cell, (max(xs) + 1) * cell, (max(ys) + 1) * cell))
    return boxes


class _XRect(ctypes.Structure):
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short), ("w", ctypes.c_ushort), ("h", ctypes.c_ushort)]


def frame_cut_apart(stack, wid, seconds):
    """Samples, for `seconds`, the bounding shapes of the overlay and of the
    window manager's frame around it, both read under one server grab of
    this process (so no request of another client falls between them).
    Returns (samples, samples in which the frame's shape differed from the
    overlay's): a frame that follows the cut only when its manager hears of
    it clips the overlay's present to the old cut meanwhile."""
    x11 = ctypes.CDLL("libX11.so.6")
    ext = ctypes.CDLL("libXext.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    for name in ("XGrabServer", "XUngrabServer", "XCloseDisplay"):
        getattr(x11, name).argtypes = [ctypes.c_void_p]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XFree.argtypes = [ctypes.c_void_p]
    x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.POINTER(ctypes.c_ulong)] * 2 + [
        ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_uint)]
    ext.XShapeGetRectangles.restype = ctypes.POINTER(_XRect)
    ext.XShapeGetRectangles.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                        ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
    dpy = x11.XOpenDisplay(stack.display.encode())
    check(dpy, f"cannot open {stack.display} to read the shapes")

    def rects(win):
        count, ordering = ctypes.c_int(), ctypes.c_int()
        got = ext.XShapeGetRectangles(dpy, win, 0, ctypes.byref(count), ctypes.byref(ordering))
        out = [(got[i].x, got[i].y, got[i].w, got[i].h) for i in range(count.value)]
        if got:
            x11.XFree(got)
        return out  # the server's regions are canonical: equal regions, equal lists
    try:
        root, parent, children, n = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p(), ctypes.c_uint()
        check(x11.XQueryTree(dpy, wid, ctypes.byref(root), ctypes.byref(parent), ctypes.byref(children),
                             ctypes.byref(n)), "XQueryTree of the overlay failed")
        if children:
            x11.XFree(children)
        check(parent.value not in (0, root.value), "the overlay has no window manager's frame")
        samples = apart = 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            x11.XGrabServer(dpy)
            overlay, frame = rects(wid), rects(parent.value)
            x11.XUngrabServer(dpy)
            x11.XSync(dpy, 0)
            samples += 1
            apart += overlay != frame
            time.sleep(0.002)
        return samples, apart
    finally:
        x11.XCloseDisplay(dpy)


def chat_cut(stack):
    """Without a compositor, a chat box in Korean, Japanese and an emoji (its
    screenshot is kept), which tumbles as it lands: right around its paper,
    also at the corners a turned box leaves in its bounding box, the desktop
    pattern shows, never the black of a transparent pixel kept in the cut."""
    stack.start_desktop(compositor=False)
    paint_desktop(stack)
    service = Service(stack).start()
    config = {"service_origin": service.origin, "bluesky_origin": service.origin}
    companion = Companion(stack, config).start()
    companion.proc.wait_line(NO_COMPOSITOR, 10)
    out = companion.proc
    out.wait_line(r"/api/chat\?count=1", 15)
    out.wait_line(r"^poll chat parse result: |chat poll inturrupted", 15)
    mark = len(out.output())
    service.admin("/api/ingest", {"platform": "twitch", "sender_id": "41001", "sender_name": "Alba",
                                  "text": CHAT_TEXT})
    out.wait_line(r"^last chat is now ", 15, mark)
    # While the box falls and tumbles the cut changes every frame: the frame
    # openbox puts around the overlay must be cut with it each time, or the
    # present is clipped to the frame's old cut (black rows on the box's
    # leading edge, stale white where it was).
    samples, apart = frame_cut_apart(stack, companion.overlay, 3.0)
    log(f"frame and overlay cuts read together {samples} times while the box fell: {apart} apart")
    check(samples >= 100, f"only {samples} reads of the two cuts in 3 s")
    check(apart == 0, f"the window manager's frame was cut differently from the overlay in {apart} of {samples} reads")

    def around_is_desktop(img, b, margin=1):
        """Points of a ring just outside box b that show black, and how many show the pattern."""
        ring = [(x, y) for x in range(b[0] - margin, b[2] + margin, 2) for y in (b[1] - margin, b[3] + margin - 1)]
        ring += [(x, y) for y in range(b[1] - margin, b[3] + margin, 2) for x in (b[0] - margin, b[2] + margin - 1)]
        ring = [(x, y) for x, y in ring if 0 <= x < SCREEN_W and 0 <= y < SCREEN_H]
        black = [p for p in ring if img.pixel(*p) == (0, 0, 0)]
        return black, sum(1 for p in ring if img.pixel(*p) == pattern_at(*p))

    # What is checked is a screenshot in which the box has come to rest
    # (the desktop all around it), which a cut to the boxes (black box
    # corners in every frame) never gives.
    seen = {}

    def box_clear():
        shot = stack.screenshot()
        boxes = sorted(white_boxes(shot, locate_mascot(shot), cell=1, least=600),
                       key=lambda b: (b[2] - b[0]) * (b[3] - b[1]), reverse=True)
        if not boxes:
            return None
        black, desk = around_is_desktop(shot, boxes[0])
        seen["last"] = (boxes[0], black[:5], desk)
        return (shot, boxes[0]) if not black and desk > 0 else None
    try:
        shot, box = wait_until(box_clear, 30, "the chat box with the desktop all around it")
    finally:
        log("chat box, black around it, desktop points:", seen.get("last"))
    stack.save(shot, "chat-box")
    stack.save(shot.crop((box[0] - 24, box[1] - 24, box[2] + 24, box[3] + 24)), "chat-box-close")

    check(companion.proc.alive(), "the companion ended")
