"""A Wayland session: the companion runs through XWayland under a headless
weston. It says it is under Wayland, maps its window, runs without an error
and ends cleanly on SIGINT with config.json saved."""

import os
import re
import signal
import subprocess
import time

from harness import (OVERLAY_TITLE, Companion, Image, ScenarioFailure, Service, check, locate_mascot, log,
                     wait_until)

SCREEN_W, SCREEN_H = 1280, 720  # the headless output's size
RUN_SECONDS = 20  # how long the companion runs under the compositor before it is interrupted
# Lines that mean something went wrong: GLFW's error callback, Xlib's default
# handlers (the companion dies on them), the lost display, sanitizer reports.
ERROR_LINE = re.compile(r"GLFW: (error|could not)|X Error|XIO:|fatal IO error|The display is gone|"
                        r"Sanitizer|runtime error:|terminate called|Segmentation fault|Aborted")


def error_lines(proc):
    return [line for line in proc.output() if ERROR_LINE.search(line)]


def process_group(pgid):
    """Pids of the live (not zombie) processes in process group pgid."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                # "pid (comm) state ppid pgrp ...": comm may hold spaces and parentheses.
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            members.append(int(entry))
    return members


def start_weston(stack):
    """A headless weston with XWayland; sets DISPLAY, WAYLAND_DISPLAY and
    XDG_RUNTIME_DIR in stack.env. Returns the weston process."""
    runtime = os.path.join(stack.artifacts, "runtime")
    if len(runtime) > 80:  # a Unix socket's path holds at most 107 bytes
        runtime = os.path.join(stack.tmp, "runtime")
    os.makedirs(runtime)
    os.chmod(runtime, 0o700)  # libwayland wants it private to the user
    socket_name = f"vimo-e2e-{os.getpid()}"
    stack.env.update({"XDG_RUNTIME_DIR": runtime, "WAYLAND_DISPLAY": socket_name})
    # --debug offers the screenshooter protocol to any client; the headless
    # backend's default renderer draws nothing, so screenshots need pixman.
    weston = stack.spawn("weston", ["weston", "--backend=headless-backend.so", "--use-pixman", "--xwayland", "--debug",
                                    f"--width={SCREEN_W}", f"--height={SCREEN_H}", f"--socket={socket_name}"],
                         capture=True, cwd=runtime)
    try:
        line = weston.wait_line(r"xserver listening on display :\d+", 30)
    except ScenarioFailure:
        check(weston.alive(), f"weston ended at start: {weston.output()[-5:]}")
        raise
    display = ":" + re.search(r"display :(\d+)", line).group(1)
    stack.env["DISPLAY"] = display
    log("weston on", socket_name, "with XWayland on", display)
    # weston only listens on the X sockets: it starts Xwayland when the first
    # X client connects (this one), and its window manager once Xwayland is up.
    wait_until(lambda: subprocess.run(["xdpyinfo"], env=stack.env, capture_output=True, timeout=10).returncode == 0,
               30, f"XWayland on {display} to take clients")
    wait_until(lambda: "window id" in stack.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], False), 30,
               "weston's X window manager")
    spawned = weston.find_line(r"Spawned Xwayland server, pid \d+")
    log("XWayland:", spawned)
    return weston


def weston_screenshot(stack, folder):
    """The compositor's output as an Image (weston-screenshooter writes a PNG
    into its working folder)."""
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    r = subprocess.run(["weston-screenshooter"], env=stack.env, cwd=folder, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=20)
    check(r.returncode == 0, f"weston-screenshooter failed ({r.returncode}): {r.stderr.decode(errors='replace')}")
    shots = [f for f in os.listdir(folder) if f.endswith(".png")]
    check(len(shots) == 1, f"weston-screenshooter wrote {shots}")
    data = subprocess.run(["convert", os.path.join(folder, shots[0]), "-depth", "8", "ppm:-"],
                          capture_output=True, check=True, timeout=30).stdout
    return Image.from_ppm(data)


def stop_weston(weston):
    """SIGTERM to weston's pid: it shuts down, removing its sockets and the X
    display's lock, and Xwayland and its shell clients end with it."""
    if weston.alive():
        os.kill(weston.pid, signal.SIGTERM)
        try:
            weston.popen.wait(20)
        except subprocess.TimeoutExpired:
            raise ScenarioFailure("weston did not exit within 20 s of SIGTERM")
    wait_until(lambda: not process_group(weston.pid), 10, "the processes weston started to end")


def wayland(stack):
    weston = start_weston(stack)
    service = Service(stack).start()
    config = {"service_origin": service.origin, "bluesky_origin": service.origin}
    companion = Companion(stack, config)
    try:
        companion.start()
        run_companion(stack, companion, service)
    except BaseException:
        # Everything weston started ends with it, also when a check failed;
        # the companion first, which would otherwise lose its display.
        try:
            stack.save(weston_screenshot(stack, os.path.join(stack.artifacts, "screenshots")), "at-failure")
        except Exception as error:
            log(f"no screenshot at failure: {error}")
        if companion.proc is not None:
            companion.proc.stop()
        try:
            stop_weston(weston)
        except ScenarioFailure as failure:
            log(failure)
        raise
    stop_weston(weston)


def run_companion(stack, companion, service):
    out = companion.proc
    check(out.find_line(r"^Wayland session: ") is not None, f"no Wayland line at start: {out.output()[:5]}")

    # -- the window: found by its title, mapped and viewable -------------------
    title = "^" + re.escape(OVERLAY_TITLE) + "$"
    found = wait_until(lambda: stack.run(["xdotool", "search", "--onlyvisible", "--name", title], False).split(),
                       20, f"a viewable window titled {OVERLAY_TITLE!r}")
    check([int(w) for w in found] == [companion.overlay], f"windows titled {OVERLAY_TITLE!r}: {found}")
    info = stack.run(["xwininfo", "-id", str(companion.overlay)])
    check("Map State: IsViewable" in info, f"the overlay is not viewable: {info}")
    geometry = re.search(r"Width: (\d+)\s+Height: (\d+)", info).groups()
    log("overlay", hex(companion.overlay), "size", "x".join(geometry))
    check(geometry == (str(SCREEN_W), str(SCREEN_H)), f"the overlay does not cover the output: {geometry}")

    # -- it runs under the compositor ------------------------------------------
    def no_error():
        check(not error_lines(out), f"error lines from the companion: {error_lines(out)[:5]}")
        check(out.alive(), f"the companion ended: {out.output()[-5:]}")
    end = time.monotonic() + RUN_SECONDS
    shots = os.path.join(stack.artifacts, "screenshots")

    # weston's shell places the overlay as an ordinary window, under its
    # 32-pixel panel: the overlay's bottom rows, the mascot's floor among
    # them, lie beyond the output. So the mascot is looked for, not its feet.
    def mascot_drawn():
        no_error()
        shot = weston_screenshot(stack, shots)
        return locate_mascot(shot) and shot
    shot = wait_until(mascot_drawn, RUN_SECONDS, "the mascot on the compositor's output", interval=0.5)
    check((shot.w, shot.h) == (SCREEN_W, SCREEN_H), f"a {shot.w} x {shot.h} screenshot")
    log("mascot drawn at", locate_mascot(shot))
    stack.save(shot, "mascot-under-weston")
    while time.monotonic() < end:
        no_error()
        check("Map State: IsViewable" in stack.run(["xwininfo", "-id", str(companion.overlay)]),
              "the overlay is no longer viewable")
        time.sleep(0.5)
    stack.save(wait_until(mascot_drawn, 10, "the mascot on the output after the run", interval=0.5), "after-run")
    # weston's X window manager owns the compositing selection: the window
    # stays whole and transparent instead of being cut to its elements.
    check(out.find_line(r"^No compositing manager") is None, "the companion saw no compositing manager")

    # -- SIGINT: exit status 2, config.json written by the shutdown ------------
    # The file had no login id: the one generated at this start is saved only
    # when the companion ends.
    os.kill(out.pid, signal.SIGINT)
    try:
        rc = out.popen.wait(20)
    except subprocess.TimeoutExpired:
        raise ScenarioFailure("the companion did not exit within 20 s of SIGINT")
    out.reader.join(5)
    log("exit status", rc, "last lines", out.output()[-3:])
    check(not error_lines(out), f"error lines from the companion at shutdown: {error_lines(out)[:5]}")
    check("Interrupt signal (2) received." in out.output(), f"no interrupt line: {out.output()[-5:]}")
    check(rc == 2, f"exit status {rc}, expected 2")
    saved = companion.read_config()
    check(re.fullmatch(r"\d+:\d+:\d+", str(saved.get("login_id"))) and saved.get("service_origin") == service.origin,
          f"config.json was not saved at shutdown with a login id and the keys it had: {saved}")
