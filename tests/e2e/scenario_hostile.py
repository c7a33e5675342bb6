"""The companion against a hostile service: a chat poll whose first request
hangs, a live list of 40,000 handles, answers nested 100,000 levels deep, an
odd blog feed. The mascot must stay draggable while the poll hangs, nothing
may crash, at most one live notice may be open, and Ctrl-C must end the
program within a second with the configuration saved."""

import json
import os
import re
import select
import signal
import socket
import subprocess
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from harness import (MASCOT_BODY, SCREEN_W, Companion, Image, ScenarioFailure, centre, check, find_text,
                     locate_mascot, log, wait_until)
from scenario_desktop import still_mascot_point
from scenario_online import white_blobs

HANG_S = 60              # how long every first chat page (count=1) is held before it is answered
SLOW_PAGE_S = 0.2        # delay of every other chat page
LIVE_HANDLES = [f"fern{i:05d}" for i in range(40000)]  # none of them the streamer's
NESTED = "[" * 100000 + "]" * 100000
HISTORY = [{"message": f"m{k}", "text": f"hostile line {k}", "chatter": {"corvane": "bo"}} for k in range(1, 9)]
ODD_BLOG = (b"<?xml version='1.0'?><rss><channel><item><guid>a</guid><guid>\x00\xff\xfe"
            b"<guid><guid></guid></guid><title>" + b"<" * 2000 + b"</channel>")
NOTICE_LINE = " - Watch Stream"
LOGIN_ID = "1050253722:1061997773:1065353216"
EXTRA_KEY = "hostile_marker"
EXTRA_VALUE = {"kept": [1, 2, 3], "name": "wary"}
EXIT_LIMIT_S = 1.0       # SIGINT to process exit
NOTICE_LIMIT_S = 5.0     # live list served to its notice on the screen
# Lines of an uncaught exception, an abort, a crash or a sanitizer report.
CRASH_LINE = re.compile(r"terminate called|^Aborted|^Segmentation fault|Sanitizer|runtime error:")


# ---------------------------------------------------------------------------
# The hostile service: a thread of this process

class Served:
    """One request as the server saw it. Times are time.monotonic()."""

    def __init__(self, path):
        self.path = path
        self.received = time.monotonic()
        self.ended = None
        self.outcome = None  # "answered", "client left", "server stopped", "write failed"
        self.bytes = 0

    def in_flight(self):
        return self.ended is None

    def __repr__(self):
        if self.ended is None:
            return f"<{self.path} open for {time.monotonic() - self.received:.2f} s>"
        return f"<{self.path} {self.outcome} after {self.ended - self.received:.2f} s, {self.bytes} bytes>"


class HostileServer:
    def __init__(self):
        self.requests = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        server = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                record = Served(self.path)
                with server.lock:
                    server.requests.append(record)
                try:
                    server.answer(self, record)
                except OSError:
                    record.outcome = record.outcome or "write failed"
                finally:
                    record.ended = record.ended or time.monotonic()

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.origin = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)

    def __enter__(self):
        self.thread.start()
        log("hostile service at", self.origin)
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        log("hostile service saw:", self.summary())
        return False

    # -- answers -------------------------------------------------------------

    def answer(self, handler, record):
        url = urllib.parse.urlsplit(handler.path)
        query = urllib.parse.parse_qs(url.query)
        if url.path == "/api/chat" and query.get("count") == ["1"]:
            if not self.hang(handler, record):
                return
            self.send(handler, record, json.dumps(HISTORY[-1:]).encode())
        elif url.path == "/api/chat" and query.get("count", [""])[0].isdigit():
            count = int(query["count"][0])
            if self.stopping.wait(SLOW_PAGE_S):
                record.outcome = "server stopped"
                return
            self.send(handler, record, json.dumps(HISTORY[-count:] if count else []).encode())
        elif url.path == "/api/ferncircle":
            self.send(handler, record, json.dumps(LIVE_HANDLES).encode())
        elif url.path in ("/xrpc/app.bsky.feed.getAuthorFeed", "/api/user"):
            self.send(handler, record, NESTED.encode())
        elif url.path == "/data/blog.xml":
            self.send(handler, record, ODD_BLOG, "text/xml")
        else:
            self.send(handler, record, b'{"error":"not here"}', status=404)

    def hang(self, handler, record):
        """Hold the request for HANG_S seconds without a byte of answer.
        False when the client hung up first (noticed within 20 ms) or the
        server is stopping."""
        conn = handler.connection
        deadline = record.received + HANG_S
        while time.monotonic() < deadline:
            if self.stopping.is_set():
                record.outcome = "server stopped"
                return False
            readable, _, _ = select.select([conn], [], [], 0.02)
            if readable:
                try:
                    peeked = conn.recv(1, socket.MSG_PEEK)
                except OSError:
                    peeked = b""
                if not peeked:  # end of stream: the client closed the connection
                    record.ended = time.monotonic()
                    record.outcome = "client left"
                    return False
                break  # a client that talks on: answer it now
        return True

    @staticmethod
    def send(handler, record, body, content_type="application/json", status=200):
        handler.send_response(status)
        handler.send_header("Content-Type", content_type)
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)
        handler.wfile.flush()
        record.bytes = len(body)
        record.ended = time.monotonic()
        record.outcome = "answered"

    # -- what was asked --------------------------------------------------------

    def seen(self, prefix):
        with self.lock:
            return [r for r in self.requests if r.path.startswith(prefix)]

    def hanging(self, fresh_within=None):
        """The newest chat poll request still held open, optionally only one
        received less than fresh_within seconds ago."""
        now = time.monotonic()
        for r in reversed(self.seen("/api/chat?count=1")):
            if r.in_flight() and (fresh_within is None or now - r.received < fresh_within):
                return r
        return None

    def answered(self, prefix):
        return [r for r in self.seen(prefix) if r.outcome == "answered"]

    def summary(self):
        with self.lock:
            return list(self.requests)


# ---------------------------------------------------------------------------
# Reading the screen

def open_notices(shot):
    """White areas that hold a live notice's " - Watch Stream" line."""
    return [a for a in white_blobs(shot, None) if find_text(shot, NOTICE_LINE, (a[0] - 4, a[1] - 4, a[2] + 4, a[3] + 4))]


# ---------------------------------------------------------------------------

def write_indented_config(path, origin):
    config = {"service_origin": origin, "bluesky_origin": origin, "login_id": LOGIN_ID, EXTRA_KEY: EXTRA_VALUE}
    with open(path, "w") as f:
        json.dump(config, f, indent=4)
        f.write("\n")


def held_body_size(stack):
    """(w, h) on screen of the mascot's body colour in its "held" pose: the
    only pose of that shape, so it tells that a press took hold."""
    sprite = os.path.join(stack.build_dir, "assets", "vimo", "held_0.png")
    data = subprocess.run(["convert", sprite, "-depth", "8", "ppm:-"], capture_output=True, check=True,
                          timeout=30).stdout
    img = Image.from_ppm(data)
    x0, y0, x1, y1, _ = img.bbox(MASCOT_BODY)
    scale = 128 // img.w  # drawn 128 pixels wide, scaled by whole pixels
    return ((x1 - x0 + 1) * scale, (y1 - y0 + 1) * scale)


def drag_once(stack, companion, held_size, hang):
    """Press on the still mascot, wait for its held pose, move the pointer
    300 pixels aside and 250 up in five steps, look for the mascot near the
    pointer; always release. Returns a failure text, or None when it followed."""
    start = wait_until(lambda: still_mascot_point(stack), 10, "the mascot standing still")
    stack.save(stack.screenshot(), "before-drag")
    stack.move_pointer(*start)
    try:
        # The overlay lets the pointer through until a frame sees it over the mascot.
        wait_until(companion.takes_pointer, 3, "the overlay to take the pointer over the mascot")
    except ScenarioFailure:
        return f"the overlay did not take the pointer over the mascot at {start}"
    target = (start[0] + (-300 if start[0] > SCREEN_W // 2 else 300), max(150, start[1] - 250))
    log(f"dragging the mascot from {start} to {target} while {hang} hangs")
    seen = {}

    def look():
        seen["shot"] = stack.screenshot()
        seen["box"] = locate_mascot(seen["shot"])
        return seen["box"]

    def held():
        box = look()
        return box and abs(box[2] - box[0] + 1 - held_size[0]) <= 3 and abs(box[3] - box[1] + 1 - held_size[1]) <= 3

    def near_pointer():
        box = look()
        return box and abs(centre(box)[0] - target[0]) <= 80 and abs(centre(box)[1] - target[1]) <= 80
    stack.xdotool("mousedown", 1)
    try:
        # A frame must see the press with the pointer still over the mascot.
        try:
            wait_until(held, 3, "the mascot's held pose")
        except ScenarioFailure:
            return f"no held pose within 3 s of a press on the mascot at {start} (mascot box {seen['box']})"
        for k in range(1, 6):
            stack.move_pointer(start[0] + (target[0] - start[0]) * k // 5, start[1] + (target[1] - start[1]) * k // 5)
        try:
            wait_until(near_pointer, 3, "the mascot to follow the pointer")
        except ScenarioFailure:
            return (f"the mascot did not follow the pointer: pressed at {start}, pointer at {target}, "
                    f"mascot at {seen['box'] and centre(seen['box'])} 3 s later")
        log(f"the mascot followed the pointer to {centre(seen['box'])}")
        return None
    finally:
        stack.xdotool("mouseup", 1)
        stack.save(seen["shot"], "dragged")


def drag_while_hanging(stack, companion, server, failures):
    """Drag the mascot while a chat poll request is held open; the drag
    counts only when the request was still open after it."""
    held_size = held_body_size(stack)
    for _ in range(3):
        hang = wait_until(server.hanging, 40, "a chat poll request held open by the service")
        problem = drag_once(stack, companion, held_size, hang)
        if hang.in_flight():
            if problem:
                failures.append(f"while a chat poll hung ({hang}): {problem}")
            return
        # The poll ended during the drag: this drag proves nothing either way.
        log(f"the poll ended during the drag ({hang}); trying with the next one")
    failures.append("no chat poll hung long enough for a drag to be judged (three tries)")


def watch_notices(stack, companion, server, failures):
    """The 40,000 handles and the deep answers are served; afterwards the
    companion runs on, with at most one live notice open at any look."""
    wait_until(lambda: server.answered("/api/ferncircle") and server.answered("/xrpc/app.bsky.feed.getAuthorFeed"),
               60, "the service to answer the live list and the Bluesky feed")
    served = max(r.ended for r in server.answered("/api/ferncircle"))
    counts = []

    def notice_shown():
        shot = stack.screenshot()
        n = len(open_notices(shot))
        counts.append(n)
        if n > 1:
            stack.save(shot, "several-notices")
        return n >= 1 and shot
    try:
        shot = wait_until(notice_shown, 30, "a live notice after the 40,000-handle list")
        stack.save(shot, "live-notice")
        delay = time.monotonic() - served
        log(f"a live notice {delay:.1f} s after the list was served")
        # Reading the list and opening its notices must not stall the frames.
        if delay > NOTICE_LIMIT_S:
            failures.append(f"the first live notice came {delay:.1f} s after the 40,000-handle list was served "
                            f"(limit {NOTICE_LIMIT_S:.0f} s)")
    except ScenarioFailure:
        failures.append(f"no live notice on the screen in the 30 s after the 40,000-handle list was served "
                        f"({len(counts)} looks)")
    # A few more looks: the notices come one after another, each replacing the last.
    looks_until = time.monotonic() + 3
    while time.monotonic() < looks_until and companion.proc.alive():
        notice_shown()
    log(f"open live notices after the list: at most {max(counts, default=0)} in {len(counts)} looks")
    if max(counts, default=0) > 1:
        failures.append(f"several live notices open at once: {max(counts)} (per look: {counts})")
    check(companion.proc.alive(), f"the companion died after the hostile answers: {companion.proc.output()[-5:]}")
    log(f"still running {time.monotonic() - served:.1f} s after the 40,000-handle list was served")


def interrupt_while_hanging(stack, companion, server, failures):
    """SIGINT while a chat poll request is held open ends the process within
    a second, with status 2 and the configuration saved."""
    proc = companion.proc
    # A request a few seconds old: still far from any client-side time-out,
    # so it is certainly in flight when the signal lands.
    hang = wait_until(lambda: server.hanging(fresh_within=5), 60, "a fresh chat poll request held open")
    stack.save(stack.screenshot(), "before-sigint")
    sent = time.monotonic()
    os.kill(proc.pid, signal.SIGINT)
    try:
        wait_until(lambda: not proc.alive(), 30, "the companion to exit after SIGINT", interval=0.005)
    except ScenarioFailure:
        raise ScenarioFailure(f"the companion still runs 30 s after SIGINT (sent while {hang} was open)")
    took = time.monotonic() - sent
    rc = proc.popen.returncode
    proc.reader.join(5)
    out = proc.output()
    log(f"exit {took:.3f} s after SIGINT, status {rc}; last lines {out[-3:]}")
    wait_until(lambda: not hang.in_flight(), 5, "the service to see the held request end")
    check(hang.outcome == "client left" and hang.ended >= sent - 0.05,
          f"the held request was not in flight at SIGINT: {hang}")
    if took > EXIT_LIMIT_S:
        failures.append(f"exit {took:.2f} s after SIGINT (limit {EXIT_LIMIT_S:.1f} s)")
    if rc != 2:
        failures.append(f"exit status {rc}, expected 2")
    if "Interrupt signal (2) received." not in out:
        failures.append(f"no interrupt line in the output: {out[-5:]}")
    crashes = [line for line in out if CRASH_LINE.search(line)]
    if crashes:
        failures.append(f"crash or sanitizer output: {crashes[:5]}")

    with open(companion.config_path) as f:
        text = f.read()
    try:
        saved = json.loads(text)
    except ValueError:
        saved = None
    if saved is None or text.strip().count("\n") or ": " in text or "    " in text:
        failures.append(f"config.json was not saved in the compact form: {text[:300]!r}")
    elif saved.get("login_id") != LOGIN_ID or saved.get(EXTRA_KEY) != EXTRA_VALUE:
        failures.append(f"config.json lost the login id or the extra key: {text[:300]!r}")


def hostile(stack):
    stack.start_desktop(compositor=False)
    failures = []
    with HostileServer() as server:
        companion = Companion(stack, None)
        write_indented_config(companion.config_path, server.origin)
        companion.start()
        companion.proc.wait_line(r"^config result: \{", 10)

        try:
            drag_while_hanging(stack, companion, server, failures)
            watch_notices(stack, companion, server, failures)
            interrupt_while_hanging(stack, companion, server, failures)
        except ScenarioFailure as failure:
            # What failed before this point is reported with it.
            failures.append(str(failure))
    check(not failures, "; ".join(failures))


# ---------------------------------------------------------------------------
# A hostile and then a busy chat: what one message and a flood may cost

HUGE_TEXT_BYTES = 1000000   # eight of them still fit in one page the companion accepts (8 MiB)
MARKS = 100000              # combining marks after the "a" of each name
CHAT_BOXES = 12             # "chat_boxes" in config.json: the flood passes it at every poll
FLOOD_S = 100               # how long the flood runs after the hostile pages (the shortened 10 minutes)
CPU_WINDOW_S = 20           # CPU compared over two windows of four polls each
FRAME_LIMIT_MS = 50.0
RSS_LIMIT_KB = 200 * 1024
FRAME_LINE = re.compile(r"^frames: (\d+) in ([\d.]+) s, longest ([\d.]+) ms, chat boxes (\d+)$")
DIAGNOSTIC_MAX = 4096 + 200  # a cut body and its prefix and note


def huge_text(k):
    unit = f"hostile {k} \u00fc\u20ac "  # 1- 2- and 3-byte characters, so a cut can land inside one
    return (unit * (HUGE_TEXT_BYTES // len(unit.encode())))


def marked_name():
    return "a" + "\u0301" * MARKS


class ChatFeedServer(HostileServer):
    """The first poll finds an empty chat (the companion's frame rate on this
    machine with nothing but the mascot, to compare the flood's with). Every
    later first page of a poll (count=1) brings the next batch of eight
    messages: the first batch with 1 MB texts, the second from senders whose
    names carry 100,000 combining marks (half by name, half by a looked-up
    id), then a flood of short lines. Such a poll thus always finds eight new
    messages."""

    def __init__(self):
        super().__init__()
        self.history = []
        self.batches = 0
        self.quiet = True  # the first poll's page is empty

    def next_batch(self):
        k = self.batches
        self.batches += 1
        base = len(self.history)
        for i in range(8):
            n = base + i
            if k == 0:
                message = {"message": f"c{n}", "text": huge_text(n), "chatter": {"corvane": "bo"}}
            elif k == 1:
                chatter = {"corvane": marked_name()} if i % 2 else {"twitch": str(9000 + i)}
                message = {"message": f"c{n}", "text": f"marked {n}", "chatter": chatter}
            else:
                message = {"message": f"c{n}", "text": f"flood line {n} from a busy chat", "chatter": {"corvane": "fl"}}
            self.history.append(message)

    def answer(self, handler, record):
        url = urllib.parse.urlsplit(handler.path)
        query = urllib.parse.parse_qs(url.query)
        if url.path == "/api/chat" and query.get("count", [""])[0].isdigit():
            count = int(query["count"][0])
            with self.lock:
                if count == 1 and not self.quiet:
                    self.next_batch()
                self.quiet = False
                page = self.history[-count:]
            self.send(handler, record, json.dumps(page, ensure_ascii=False).encode())
        elif url.path == "/api/user":
            self.send(handler, record, json.dumps([{"twitch": {"name": marked_name()}}], ensure_ascii=False).encode())
        elif url.path == "/api/ferncircle":
            self.send(handler, record, b"[]")
        else:
            self.send(handler, record, b'{"error":"not here"}', status=404)

    def polls(self):
        """Times the first page of each poll was answered, in order."""
        return [r.ended for r in self.answered("/api/chat?count=1")]


def proc_figures(pid):
    """(CPU seconds so far, VmRSS kB, VmHWM kB) of a process from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    status = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            status[key] = value.strip()
    return cpu, int(status["VmRSS"].split()[0]), int(status["VmHWM"].split()[0])


OTHERS_BUSY_CORES = 0.3  # other programs' average load over a window beyond which its frame times are not judged


def machine_busy_seconds():
    """CPU seconds every core has spent busy since boot (stolen by the
    hypervisor included), from /proc/stat."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:9]]
    return (v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) / os.sysconf("SC_CLK_TCK")


def ours_seconds(pids):
    """CPU seconds of the given processes and of this scenario's own."""
    own = os.times()
    return sum(proc_figures(pid)[0] for pid in pids) + own.user + own.system


def others_cores(samples, start, end):
    """Cores' worth of CPU that programs other than the companion, its X
    server and this scenario used over [start, end], from (seconds, machine
    busy seconds, ours seconds) samples in time order."""
    def at(t):
        return next((x for x in samples if x[0] >= t), samples[-1])
    (t0, m0, o0), (t1, m1, o1) = at(start), at(end)
    return max(0.0, ((m1 - m0) - (o1 - o0)) / (t1 - t0)) if t1 > t0 else 0.0


def span_rates(samples, start, end, span=5):
    """CPU per second (share of a core) over each span seconds of [start,
    end), from (seconds, CPU seconds) samples in time order, sorted from the
    lowest: each span runs from the first sample at or after its start to the
    first at or after its end."""
    def at(t):
        return next((s for s in samples if s[0] >= t), samples[-1])
    rates = []
    for a in range(start, end, span):
        (t0, c0), (t1, c1) = at(a), at(a + span)
        if t1 > t0:
            rates.append((c1 - c0) / (t1 - t0))
    check(len(rates) >= 2, f"CPU samples too sparse over {start} to {end} s of the flood")
    return sorted(rates)


def frame_reports(proc, since):
    """(time read, frames, seconds, longest ms, chat boxes) of each frame
    report line read at or after since."""
    out = []
    with proc.lock:
        pairs = list(zip(proc.lines, proc.times))
    for line, t in pairs:
        m = FRAME_LINE.match(line)
        if m and t >= since:
            out.append((t, int(m.group(1)), float(m.group(2)), float(m.group(3)), int(m.group(4))))
    return out


def hostile_chat(stack):
    """The companion polls a chat whose first page holds 1 MB texts and whose
    second comes from names of 100,000 combining marks, then a flood of eight
    messages a poll (a poll every 5 s) for FLOOD_S seconds with "chat_boxes"
    at CHAT_BOXES. Its frame report (VIMO_FRAME_REPORT: each second's frames
    and longest frame) and /proc give the figures: resident memory under
    200 MB at its peak, no frame over 50 ms (or 1.25 x the flood's longest,
    where that is more) from the hostile pages to the burst of their boxes
    (a second of the flood may see a slower one when the machine is busy:
    the flood is judged by its frame rate), never more than CHAT_BOXES boxes,
    through the flood a frame rate within a tenth of the one the first, empty
    poll's quiet spell had (60 where the software renderer keeps up with
    nothing but the mascot to draw), and
    CPU over its last CPU_WINDOW_S within 1.2 x of a window after its first
    30 s. Diagnostic lines stay short. Frame times are judged only over
    windows in which other programs left the machine to the companion (at
    most OTHERS_BUSY_CORES of /proc/stat's busy time, steal included, was
    not the companion's, its X server's or this scenario's); otherwise they
    are printed with the load that took their cores.

    The CPU windows are cut into spans of one poll (5 s) each: work that grows
    with the flood raises every span of the last window, while other programs
    on a shared machine raise one span or two, so the last window counts by its
    second lowest span and the first by its median."""
    stack.start_desktop(compositor=False)
    failures = []
    with ChatFeedServer() as server:
        companion = Companion(stack, {"service_origin": server.origin, "bluesky_origin": server.origin,
                                      "login_id": LOGIN_ID, "chat_boxes": CHAT_BOXES})
        companion.start({"VIMO_FRAME_REPORT": "1"})
        proc = companion.proc
        pid = proc.pid

        xserver = next(p.pid for p in stack.procs if p.name == "Xvfb")
        machine = []  # (seconds since the start, machine busy seconds, ours seconds)
        started = time.monotonic()

        def sample():
            check(proc.alive(), f"the companion died: {proc.output()[-5:]}")
            machine.append((time.monotonic() - started, machine_busy_seconds(), ours_seconds([pid, xserver])))
            return proc_figures(pid)

        # The quiet spell between the empty first poll (3 s) and the next (10 s
        # later), then the hostile pages: two polls, sixteen boxes (four burst
        # at once by the second).
        wait_until(lambda: sample() and len(server.polls()) >= 4, 70, "four polls of the chat")
        quiet_from, hostile_from = server.polls()[0] + 1, server.polls()[1] - 0.5
        flood_from = server.polls()[3]
        # No screenshot until the figures are taken: grabbing the screen holds
        # the X server, and with it the companion's frame, for tens of ms.
        cpu_samples = []  # (seconds since the flood's start, CPU seconds)
        while time.monotonic() < flood_from + FLOOD_S:
            cpu, _, _ = sample()
            cpu_samples.append((time.monotonic() - flood_from, cpu))
            time.sleep(0.5)
        cpu, rss_now, hwm = sample()
        flood_until = time.monotonic()
        cpu_samples.append((flood_until - flood_from, cpu))
        polls = len(server.polls())
        stack.save(stack.screenshot(), "after-flood")

        quiet = [r for r in frame_reports(proc, quiet_from) if r[0] <= hostile_from]
        check(quiet, "no frame report lines in the quiet spell")
        quiet_fps = sum(r[1] for r in quiet) / max(sum(r[2] for r in quiet), 1e-9)
        reports = [r for r in frame_reports(proc, hostile_from) if r[0] <= flood_until]
        check(reports, "no frame report lines after the hostile pages")
        # The hostile boxes: made by the first two polls, burst by the first of the flood.
        hostile = [r for r in reports if r[0] <= flood_from + 10]
        longest = max(r[3] for r in hostile)
        worst = max(hostile, key=lambda r: r[3])
        most_boxes = max(r[4] for r in reports)
        flood = [r for r in reports if r[0] >= flood_from + 10]
        fps = sorted(r[1] / r[2] for r in flood)
        median_fps = fps[len(fps) // 2] if fps else 0
        early_spans = span_rates(cpu_samples, 30, 30 + CPU_WINDOW_S)
        late_spans = span_rates(cpu_samples, FLOOD_S - CPU_WINDOW_S, FLOOD_S)
        early, late = early_spans[len(early_spans) // 2], late_spans[1]
        # Frame times are the companion's only while the machine is its own: a
        # build or a neighbour on a shared machine takes the cores it draws with.
        since = lambda t: t - started  # noqa: E731
        busy_hostile = others_cores(machine, since(hostile_from), since(flood_from + 10))
        busy_flood = others_cores(machine, since(flood_from + 10), since(flood_until))
        log(f"{polls} polls, {server.batches * 8} messages; peak resident {hwm / 1024:.1f} MiB "
            f"(now {rss_now / 1024:.1f}); longest frame {longest:.1f} ms "
            f"(second ending {worst[0] - flood_from:+.1f} s from the flood's start; in the flood after that "
            f"{max((r[3] for r in flood), default=0):.1f} ms); chat boxes at most {most_boxes}, "
            f"at the end {reports[-1][4]}; fps through the flood median {median_fps:.1f}, lowest "
            f"{fps[0] if fps else 0:.1f} (quiet spell {quiet_fps:.1f}); CPU {early * 100:.1f}% of a core after 30 s, {late * 100:.1f}% at the end "
            f"({late / early:.2f} x; spans of a poll, % of a core: {' '.join(f'{r * 100:.0f}' for r in early_spans)}"
            f" / {' '.join(f'{r * 100:.0f}' for r in late_spans)}); other programs used {busy_hostile:.2f} "
            f"cores over the hostile pages, {busy_flood:.2f} through the flood")
        if hwm > RSS_LIMIT_KB:
            failures.append(f"peak resident memory {hwm / 1024:.1f} MiB (limit {RSS_LIMIT_KB / 1024:.0f})")
        # Hostile boxes may cost what ordinary ones do: a machine whose flood
        # (bursts included) has frames near the bound gets the flood's longest
        # frame and a quarter as the bound instead.
        limit = max(FRAME_LIMIT_MS, 1.25 * max((r[3] for r in flood), default=0))
        if longest > limit:
            slow = [f"{r[3]:.1f} ms at {r[0] - flood_from:+.1f} s" for r in hostile if r[3] > limit]
            if busy_hostile <= OTHERS_BUSY_CORES:
                failures.append(f"frames over {limit:.0f} ms: {slow}")
            else:
                log(f"not judged (other programs used {busy_hostile:.2f} cores): frames over {limit:.0f} ms: {slow}")
        if most_boxes > CHAT_BOXES or reports[-1][4] != CHAT_BOXES:
            failures.append(f"chat boxes: at most {most_boxes}, at the end {reports[-1][4]} (limit {CHAT_BOXES})")
        # About the quiet spell's rate (60 where the renderer keeps up) within a
        # tenth: a second of a burst (or of another program's load on the
        # machine) may fall lower; the run as a whole, and its end, may not.
        # The flood's boxes are drawn by a software renderer on the same cores
        # (on a 2-core VM 54 to 58 frames a second against the quiet spell's 59),
        # so the bar is the same machine's quiet rate, not a number.
        end = [r for r in reports if r[0] >= flood_from + FLOOD_S - CPU_WINDOW_S]
        end_fps = sum(r[1] for r in end) / max(sum(r[2] for r in end), 1e-9)
        if median_fps < 0.9 * quiet_fps or end_fps < 0.85 * quiet_fps:
            slow = (f"frame rate through the flood: median {median_fps:.1f}, over its last {CPU_WINDOW_S} s "
                    f"{end_fps:.1f}, lowest {fps[0] if fps else 0:.1f}; {quiet_fps:.1f} in the quiet spell")
            if busy_flood <= OTHERS_BUSY_CORES:
                failures.append(slow)
            else:
                log(f"not judged (other programs used {busy_flood:.2f} cores): {slow}")
        if late > 1.2 * early:
            failures.append(f"CPU at the end {late * 100:.1f}% against {early * 100:.1f}% after 30 s of flood")
        if polls < 4 + FLOOD_S // 5 - 2:
            failures.append(f"only {polls} polls in {FLOOD_S} s of flood")

        out = proc.output()
        long_lines = [len(line) for line in out if len(line.encode()) > DIAGNOSTIC_MAX]
        if long_lines:
            failures.append(f"{len(long_lines)} output lines longer than {DIAGNOSTIC_MAX} bytes (longest {max(long_lines)})")
        cut = [line for line in out if line.startswith("poll chat parse result: ") and line.endswith("bytes in all)")]
        if not cut:
            failures.append("no chat page printed cut with its full length")
        crashes = [line for line in out if CRASH_LINE.search(line)]
        if crashes:
            failures.append(f"crash or sanitizer output: {crashes[:5]}")
        os.kill(pid, signal.SIGINT)
        wait_until(lambda: not proc.alive(), 10, "the companion to exit after SIGINT")
        saved = companion.read_config()
        if saved.get("chat_boxes") != CHAT_BOXES:
            failures.append(f"config.json lost \"chat_boxes\": {saved}")
    check(not failures, "; ".join(failures))
