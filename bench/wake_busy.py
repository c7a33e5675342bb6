#!/usr/bin/env python3
"""The wake-up channel under a busy chat, two builds in the same run: each
build's vimo-service and a real vimo companion of the same build (on the
display in $DISPLAY), alternated ROUNDS times.

Each run: the service on a fresh database and the companion started; after
8 s (its first poll), PHASE_S s of 50 messages a second through /api/ingest
with no other waiter, then PHASE_S s more with WAITERS raw waiters, each from
an address of its own in 127.0.0.0/8, asking /api/wake again the moment it is
answered (naming the ETag it got). Printed per run: the waiters' wake answers
(and the most any one waiter got), the service's CPU in each phase (% of a
core, from /proc), the companion's chat polls and its CPU over both phases.

Usage: xvfb-run -a bench/wake_busy.py BEFORE_BUILD AFTER_BUILD [ROUNDS]
(a build directory holding vimo-service, vimo and assets/)."""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

PHASE_S = 10
RATE = 50
WAITERS = 100
POLL = re.compile(r"Sending request to: .*/api/chat\?count=1$")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Lines:
    """A process's output lines, read on a thread."""

    def __init__(self, proc):
        self.lines = []
        self.thread = threading.Thread(target=self._read, args=(proc,), daemon=True)
        self.thread.start()

    def _read(self, proc):
        for line in proc.stdout:
            self.lines.append(line.rstrip("\n"))


def ask(port, source, etag):
    """One /api/wake from source; (status, etag) of its answer, or None."""
    try:
        conn = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(source, 0))
        tag = f"If-None-Match: {etag}\r\n" if etag else ""
        conn.sendall(f"GET /api/wake HTTP/1.1\r\nHost: x\r\nConnection: close\r\n{tag}\r\n".encode())
        data = b""
        while True:
            piece = conn.recv(4096)
            if not piece:
                break
            data += piece
        conn.close()
    except OSError:
        return None
    head = data.split(b"\r\n\r\n", 1)[0].decode(errors="replace")
    m = re.search(r"^ETag: (.*)$", head, re.M | re.I)
    return int(head.split()[1]), (m.group(1).strip() if m else etag)


def run(build, work):
    port = free_port()
    service = subprocess.Popen([os.path.join(build, "vimo-service"), "--port", str(port), "--db",
                                os.path.join(work, "service.db")], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True)
    out = Lines(service)
    token = None
    for _ in range(200):
        token = next((l.rsplit(":", 1)[1].strip() for l in out.lines if "admin token" in l), None)
        if token and any("listening on" in l for l in out.lines):
            break
        time.sleep(0.05)
    origin = f"http://127.0.0.1:{port}"
    home = os.path.join(work, "vimo")
    os.makedirs(home)
    shutil.copy2(os.path.join(build, "vimo"), home)
    shutil.copytree(os.path.join(build, "assets"), os.path.join(home, "assets"))
    with open(os.path.join(home, "config.json"), "w") as f:
        json.dump({"service_origin": origin, "bluesky_origin": origin}, f)
    companion = subprocess.Popen([os.path.join(home, "vimo")], cwd=work, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
    said = Lines(companion)
    time.sleep(8)

    def ingest(i):
        body = json.dumps({"platform": "corvane", "sender_name": f"Busy{i}",
                           "text": f"busy {i}"}).encode()
        req = urllib.request.Request(origin + "/api/ingest", data=body, method="POST",
                                     headers={"Authorization": f"Bearer {token}", "Content-Type": "application/json"})
        try:
            urllib.request.urlopen(req, timeout=10).read()
        except OSError:
            pass

    def phase(seconds, first):
        start = time.monotonic()
        for i in range(seconds * RATE):
            ingest(first + i)
            time.sleep(max(0.0, start + (i + 1) / RATE - time.monotonic()))

    polls_from = len(said.lines)
    vimo_cpu = cpu_seconds(companion.pid)
    cpu0, t0 = cpu_seconds(service.pid), time.monotonic()
    phase(PHASE_S, 0)
    cpu1, t1 = cpu_seconds(service.pid), time.monotonic()
    stopping = threading.Event()
    answers = [0] * WAITERS

    def waiter(w):
        etag = ""
        while not stopping.is_set():
            got = ask(port, f"127.0.{1 + w // 250}.{1 + w % 250}", etag)
            if got is None:
                time.sleep(0.1)
                continue
            etag = got[1]
            answers[w] += got[0] == 200
            if got[0] != 200 and got[0] != 304:
                time.sleep(1)

    threads = [threading.Thread(target=waiter, args=(w,), daemon=True) for w in range(WAITERS)]
    for t in threads:
        t.start()
    phase(PHASE_S, PHASE_S * RATE)
    cpu2, t2 = cpu_seconds(service.pid), time.monotonic()
    stopping.set()
    polls = sum(1 for l in said.lines[polls_from:] if POLL.search(l))
    vimo_cpu = cpu_seconds(companion.pid) - vimo_cpu
    companion.terminate()
    companion.wait(10)
    service.terminate()
    service.wait(10)
    return {"answers": sum(answers), "most": max(answers), "cpu_alone": (cpu1 - cpu0) / (t1 - t0),
            "cpu_waiters": (cpu2 - cpu1) / (t2 - t1), "polls": polls, "vimo_cpu": vimo_cpu / (t2 - t0),
            "seconds": t2 - t0}


def main():
    builds = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    for r in range(rounds):
        for build in builds:
            with tempfile.TemporaryDirectory() as work:
                f = run(build, work)
            print(f"round {r + 1} {build}: {f['answers']} wake answers to {WAITERS} waiters in {PHASE_S} s "
                  f"(at most {f['most']} to one); service CPU {f['cpu_alone'] * 100:.1f}% of a core without waiters, "
                  f"{f['cpu_waiters'] * 100:.1f}% with; companion: {f['polls']} chat polls in {f['seconds']:.0f} s, "
                  f"CPU {f['vimo_cpu'] * 100:.1f}%", flush=True)


if __name__ == "__main__":
    main()
