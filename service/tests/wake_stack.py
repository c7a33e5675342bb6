"""The pieces of the wake-up channel's test behind nginx (wake_nchan_test.py):
the nginx, Redis and service stack it starts on loopback, the checks it
prints, and one waiting companion of the crowd."""
import argparse
import asyncio
import heapq
import json
import os
import random
import re
import resource
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RENDER = os.path.join(ROOT, "deploy", "nginx", "render.sh")
NGINX = shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/sbin")
NCHAN = "/usr/lib/nginx/modules/ngx_nchan_module.so"
REDIS = shutil.which("redis-server") or shutil.which("redis-server", path="/usr/bin:/usr/sbin")

results = []


def check(ok, what, detail=""):
    results.append(bool(ok))
    print(("ok: " if ok else "FAILED: ") + what + ("" if ok or not detail else " (" + detail + ")"), flush=True)
    return ok


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


def port_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


class Stack:
    """The service, nginx instances and (optionally) Redis, stopped by stop()."""

    def __init__(self, build_dir, work):
        self.build_dir, self.work = build_dir, work
        self.procs = []

    def start_redis(self):
        self.redis_port = free_port()
        self.procs.append(subprocess.Popen(
            [REDIS, "--port", str(self.redis_port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--dir", self.work], stdout=open(os.path.join(self.work, "redis.log"), "w"), stderr=subprocess.STDOUT))
        wait_for(lambda: port_open(self.redis_port), 10, "redis-server")

    def start_service(self, publish_port):
        log_path = os.path.join(self.work, "service.log")
        self.procs.append(subprocess.Popen(
            [os.path.join(self.build_dir, "vimo-service"), "--port", "0", "--behind-proxy", "--db",
             os.path.join(self.work, "service.db"), "--publish-url", "http://127.0.0.1:%d/publish" % publish_port],
            stdout=open(log_path, "w"), stderr=subprocess.STDOUT))
        text = wait_for(lambda: (lambda t: "listening on" in t and t)(open(log_path).read()), 10, "vimo-service")
        self.service_port = int(re.search(r"listening on http://127\.0\.0\.1:(\d+)", text).group(1))
        self.token = re.search(r"admin token \(shown once, keep it\): (\S+)", text).group(1)

    def start_nginx(self, name, port, publish_port, redis=None):
        prefix = os.path.join(self.work, name)
        argv = ["bash", RENDER, "--standalone", prefix, "--listen", "127.0.0.1:%d" % port, "--upstream",
                "127.0.0.1:%d" % self.service_port, "--publish-listen", "127.0.0.1:%d" % publish_port,
                "--exempt", "127.0.1.0/24"]
        if redis:
            argv += ["--redis", redis]
        subprocess.run(argv, check=True)
        proc = subprocess.Popen([NGINX, "-p", prefix, "-c", os.path.join(prefix, "nginx.conf"),
                                 "-e", os.path.join(prefix, "logs", "start.log")])
        self.procs.append(proc)
        wait_for(lambda: port_open(port) and port_open(publish_port), 10, "nginx " + name)
        return proc, os.path.join(prefix, "logs", "vimo-access.log")

    def ingest(self, text):
        req = urllib.request.Request(
            "http://127.0.0.1:%d/api/ingest" % self.service_port, method="POST",
            data=json.dumps({"platform": "corvane", "sender_name": "Wave", "text": text}).encode(),
            headers={"Authorization": "Bearer " + self.token, "Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=5) as r:
            return json.loads(r.read())["message"]

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()


def subscribers(publish_port):
    """Nchan's count of requests waiting on the channel."""
    req = urllib.request.Request("http://127.0.0.1:%d/publish" % publish_port, headers={"Accept": "text/json"})
    try:
        with urllib.request.urlopen(req, timeout=5) as r:
            return json.loads(r.read()).get("subscribers", 0)
    except urllib.error.HTTPError as e:  # 404: no channel yet (nobody waited, nothing published)
        return 0 if e.code == 404 else -1


def nginx_memory_kib(master_pid):
    """Proportional set size (KiB) of nginx's master and workers together: shared
    pages (the Nchan and cache zones) counted once."""
    pids = [master_pid] + [int(p) for p in subprocess.run(["pgrep", "-P", str(master_pid)], capture_output=True,
                                                          text=True).stdout.split()]
    total = 0
    for pid in pids:
        try:
            for line in open("/proc/%d/smaps_rollup" % pid):
                if line.startswith("Pss:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total


async def read_answer(reader):
    """(status, headers dict, body) of one HTTP/1.1 answer with Content-Length."""
    head = await reader.readuntil(b"\r\n\r\n")
    status, headers = parse_head(head)
    body = await reader.readexactly(int(headers.get("content-length", "0")))
    return status, headers, body.decode()


async def ask(reader, writer, path, headers=""):
    writer.write(("GET %s HTTP/1.1\r\nHost: vimo\r\n%s\r\n" % (path, headers)).encode())
    return await read_answer(reader)


def parse_head(head):
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        if ":" in line:
            k, v = line.split(":", 1)
            headers[k.strip().lower()] = v.strip()
    return int(lines[0].split()[1]), headers


def take_answer(buf):
    """(status, body, rest of buf) when buf begins with a whole answer, else None."""
    end = buf.find(b"\r\n\r\n")
    if end < 0:
        return None
    status, headers = parse_head(buf[:end])
    size = int(headers.get("content-length", "0"))
    if len(buf) < end + 4 + size:
        return None
    return status, buf[end + 4:end + 4 + size].decode(), buf[end + 4 + size:]


class Waiter:
    """One companion of the crowd: its connection and where it is in the wave."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""
        self.state = "wake"     # wake: held; sleep: its poll is due later; page1, page2: asked; done
        self.woken_at = None    # monotonic time its wake-up answer was read
        self.woken = None       # the announced message
        self.pages = 0          # count=1 pages asked
        self.saw = False        # a page showed the announced message
        self.error = None
