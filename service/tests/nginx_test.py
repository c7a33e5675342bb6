#!/usr/bin/env python3
"""vimo-service behind nginx with deploy/nginx's configuration, on loopback.

Starts a real vimo-service (fresh database) and nginx with the configuration
rendered by deploy/nginx/render.sh into a temporary prefix, then checks what
the configuration is for: slow and oversized requests do not take the service
from others, the public answers are cached for about a second and nothing
else is, and one address beyond its rate gets 429.

Clients bind to different loopback addresses (Linux routes all of 127/8 to lo)
so that per-address limits apply as they would to different machines.

Exit status: 0 all passed, 1 a check failed, 77 nginx is not installed.
"""
import argparse
import concurrent.futures
import http.client
import json
import os
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RENDER = os.path.join(ROOT, "deploy", "nginx", "render.sh")
# Debian puts nginx in /usr/sbin, which is not on an ordinary user's PATH.
NGINX = shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/sbin")

# Who asks: each part of the test from its own address.
NORMAL = "127.0.0.1"      # an ordinary companion
EXEMPT = "127.0.0.10"     # rendered with --exempt: no per-address limits
LIMITED = "127.0.0.20"    # goes beyond the per-address rate
BYSTANDER = "127.0.0.21"  # another address meanwhile
BIG = "127.0.0.30"        # sends oversized requests
DRIPPERS = ["127.0.0.%d" % (100 + i) for i in range(5)]  # 5 addresses, 100 slow connections each

CHAT = "/api/chat?count=8"

results = []


def check(ok, what, detail=""):
    results.append(ok)
    print(("ok: " if ok else "FAILED: ") + what + ("" if ok or not detail else " (" + detail + ")"), flush=True)
    return ok


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, deadline):
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class Stack:
    def __init__(self, build_dir, work):
        self.work = work
        self.procs = []
        log_path = os.path.join(work, "service.log")
        self.service_log = open(log_path, "w")
        service = subprocess.Popen([os.path.join(build_dir, "vimo-service"), "--port", "0", "--behind-proxy", "--db",
                                    os.path.join(work, "service.db")], stdout=self.service_log, stderr=subprocess.STDOUT)
        self.procs.append(service)
        deadline = time.monotonic() + 10
        text = ""
        while time.monotonic() < deadline:
            text = open(log_path).read()
            m = re.search(r"listening on http://127\.0\.0\.1:(\d+)", text)
            if m:
                break
            time.sleep(0.05)
        else:
            raise RuntimeError("vimo-service did not start:\n" + text)
        self.service_port = int(m.group(1))
        self.token = re.search(r"admin token \(shown once, keep it\): (\S+)", text).group(1)

        self.port = free_port()
        prefix = os.path.join(work, "nginx")
        subprocess.run(["bash", RENDER, "--standalone", prefix, "--listen", "127.0.0.1:%d" % self.port,
                        "--upstream", "127.0.0.1:%d" % self.service_port, "--exempt", EXEMPT], check=True)
        self.access_log = os.path.join(prefix, "logs", "vimo-access.log")
        self.nginx_err = os.path.join(prefix, "logs", "error.log")
        nginx = subprocess.Popen([NGINX, "-p", prefix, "-c", os.path.join(prefix, "nginx.conf"),
                                  "-e", os.path.join(prefix, "logs", "start.log")])
        self.procs.append(nginx)
        if not wait_port(self.port, time.monotonic() + 10):
            raise RuntimeError("nginx did not start: " + open(os.path.join(prefix, "logs", "start.log")).read())

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        self.service_log.close()

    def request(self, method, path, source=NORMAL, body=None, headers=None, direct=False, timeout=5):
        """(status, headers dict with lower-case names, body bytes) on a connection of its own."""
        conn = http.client.HTTPConnection("127.0.0.1", self.service_port if direct else self.port,
                                          timeout=timeout, source_address=(source, 0))
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
        finally:
            conn.close()

    def ingest(self, text):
        status, _, _ = self.request("POST", "/api/ingest", direct=True,
                                    body=json.dumps({"platform": "twitch", "sender_id": "42", "sender_name": "chatter",
                                                     "text": text}),
                                    headers={"Authorization": "Bearer " + self.token, "Content-Type": "application/json"})
        assert status == 200, status

    def log_lines(self, path):
        """Access-log lines of requests for path: (status, cache status, went to the service)."""
        out = []
        for line in open(self.access_log):
            m = re.search(r'"\S+ (\S+) [^"]*" (\d+) \d+ cache=(\S+) upstream=(\S+)', line)
            if m and m.group(1) == path:
                out.append((int(m.group(2)), m.group(3), m.group(4) != "-"))
        return out


def raw_status(port, source, data, timeout=5):
    """Status code nginx answers to the bytes data, or None when it only closed."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0)) as s:
        try:
            s.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # nginx may answer and close before it has read everything
        head = b""
        try:
            while b"\r\n" not in head:
                chunk = s.recv(4096)
                if not chunk:
                    break
                head += chunk
        except ConnectionResetError:
            pass
        m = re.match(rb"HTTP/1\.[01] (\d{3})", head)
        return int(m.group(1)) if m else None


def test_cache(st):
    # A burst of the same poll from many companions (here: threads at an unlimited address).
    st.ingest("first message")
    logged = len(st.log_lines(CHAT))
    start = time.monotonic()

    def poll(_):
        statuses = []
        while time.monotonic() - start < 2.5:
            statuses.append(st.request("GET", CHAT, source=EXEMPT)[0])
        return statuses

    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        statuses = sum(pool.map(poll, range(16)), [])
    elapsed = time.monotonic() - start
    lines = st.log_lines(CHAT)[logged:]
    upstream = sum(1 for _, _, went in lines if went)
    check(len(statuses) > 100 and statuses.count(200) == len(statuses),
          "%d polls of %s from 16 companions through nginx answered 200" % (len(statuses), CHAT), str(set(statuses)))
    # One request per second per key reaches the service, plus one for the first miss.
    check(len(lines) >= len(statuses) and 1 <= upstream <= elapsed + 2,
          "%d polls in %.1f s reached the service %d times" % (len(lines), elapsed, upstream))

    # The cache is a second, not longer: a new message shows within about that.
    st.ingest("second message")
    t0 = time.monotonic()
    seen = False
    # nginx's clock for cache entries counts whole seconds: an entry valid for 1 s
    # serves for 1 to 2 s, then one more request starts its refresh.
    while time.monotonic() - t0 < 4:
        if b"second message" in st.request("GET", CHAT, source=EXEMPT)[2]:
            seen = True
            break
        time.sleep(0.05)
    check(seen and time.monotonic() - t0 < 3,
          "a new message is in the cached page %.2f s after it arrived" % (time.monotonic() - t0))

    # Each of the other public answers is cached too.
    for path in ["/api/ferncircle", "/data/blog.xml", "/api/user?select=twitch.name&where=twitch.id=42",
                 "/xrpc/app.bsky.feed.getAuthorFeed?actor=streamer.example&limit=1", "/api/emote/badge-vip-1"]:
        a = st.request("GET", path, source=EXEMPT)
        b = st.request("GET", path, source=EXEMPT)
        check(a[0] == 200 and b[1].get("x-cache-status") == "HIT", "GET %s is cached" % path,
              "%d %s" % (b[0], b[1].get("x-cache-status")))

    # Answers that belong to their caller are never served from or stored in the cache.
    auth = {"Authorization": "Bearer " + st.token}
    a = st.request("GET", CHAT, source=EXEMPT, headers=auth)
    check(a[1].get("x-cache-status") == "BYPASS", "a GET with Authorization bypasses the cache",
          str(a[1].get("x-cache-status")))
    for path in ["/api/vimoexe/login?id=installation-1", "/admin", "/link?token=nothing"]:
        before = sum(1 for _, _, went in st.log_lines(path) if went)
        for _ in range(3):
            st.request("GET", path, source=EXEMPT)
        after = sum(1 for _, _, went in st.log_lines(path) if went)
        check(after - before == 3, "GET %s is not cached: 3 asks, %d reached the service" % (path, after - before))
    post = "/api/vimoexe/chat?id=installation-1&content=hello"
    answers = [st.request("POST", post, source=EXEMPT, body=b"")[0] for _ in range(3)]
    went = sum(1 for _, _, w in st.log_lines(post) if w)
    check(answers == [403] * 3 and went == 3, "POST is not cached: 3 posts, %d reached the service" % went,
          str(answers))


def test_rate_limit(st):
    # One address asking far beyond its rate, on one keep-alive connection.
    conn = http.client.HTTPConnection("127.0.0.1", st.port, timeout=5, source_address=(LIMITED, 0))
    statuses = []
    for _ in range(120):
        conn.request("GET", CHAT)
        r = conn.getresponse()
        r.read()
        statuses.append(r.status)
    conn.close()
    ok = statuses.count(200)
    check(40 <= ok < 60 and statuses.count(429) == 120 - ok,
          "120 requests at once from one address: %d answered, %d refused with 429" % (ok, statuses.count(429)))
    check(st.request("GET", CHAT, source=BYSTANDER)[0] == 200, "meanwhile another address is answered")
    check(st.request("POST", "/api/vimoexe/chat?id=x&content=y", source=LIMITED, body=b"")[0] == 429,
          "a POST from the limited address is refused with 429 too")


def test_oversized(st):
    big_header = b"GET " + CHAT.encode() + b" HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 65536 + b"\r\n\r\n"
    s = raw_status(st.port, BIG, big_header)
    check(s in (400, 431, 494), "a 64 KiB header line is refused", str(s))
    long_line = b"GET " + CHAT.encode() + b"&pad=" + b"b" * 16384 + b" HTTP/1.1\r\nHost: x\r\n\r\n"
    s = raw_status(st.port, BIG, long_line)
    check(s in (400, 414), "a 16 KiB request line is refused", str(s))
    many = b"GET " + CHAT.encode() + b" HTTP/1.1\r\nHost: x\r\n" + b"".join(
        b"X-H%d: %s\r\n" % (i, b"c" * 4000) for i in range(12)) + b"\r\n"
    s = raw_status(st.port, BIG, many)
    check(s in (400, 431, 494), "48 KB of headers in 4 KB lines are refused", str(s))
    body = b"x" * (65 * 1024)
    s = raw_status(st.port, BIG, b"POST /api/ingest HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    check(s == 413, "a body over 64 KiB is refused", str(s))
    check(st.request("GET", CHAT, source=BIG)[0] == 200 and st.request("GET", CHAT, source=NORMAL)[0] == 200,
          "nginx and the service still answer")


def test_slow_headers(st):
    # 500 connections that send their header a byte at a time and never finish it,
    # from 5 addresses. Through nginx each costs a connection, not one of the
    # service's threads, and is closed when its header takes longer than 5 s.
    drippers = []
    for addr in DRIPPERS:
        for _ in range(100):
            s = socket.create_connection(("127.0.0.1", st.port), timeout=5, source_address=(addr, 0))
            s.sendall(b"GET " + CHAT.encode() + b" HTTP/1.1\r\nHost: x\r\nX-Slow: ")
            s.setblocking(False)
            drippers.append(s)
    open_socks = set(drippers)
    latencies = []
    failures = []
    held = None  # how many were still open after 3 s
    start = time.monotonic()
    next_drip = start
    next_ask = start + 0.2
    while time.monotonic() - start < 8:
        now = time.monotonic()
        if now >= next_drip:
            for s in list(open_socks):
                try:
                    s.send(b"a")
                except OSError:
                    open_socks.discard(s)
            next_drip = now + 0.25
        if held is None and now - start >= 3:
            held = len(open_socks)
        if now >= next_ask:
            # An ordinary companion's poll, on a new connection, from its own address.
            t0 = time.monotonic()
            try:
                status = st.request("GET", CHAT, source=NORMAL, timeout=3)[0]
            except OSError as e:
                status = str(e)
            latencies.append(time.monotonic() - t0)
            if status != 200:
                failures.append(status)
            next_ask = time.monotonic() + 0.4
        # Drop the connections nginx has closed.
        readable, _, _ = select.select(list(open_socks), [], [], 0.02) if open_socks else ([], [], [])
        for s in readable:
            try:
                if not s.recv(4096):
                    open_socks.discard(s)
            except OSError:
                open_socks.discard(s)
    for s in drippers:
        s.close()
    check(not failures and latencies and max(latencies) < 1.0,
          "with 500 slow headers open, %d polls from another address answered, slowest in %.3f s" %
          (len(latencies), max(latencies) if latencies else -1), "failures: %s" % failures[:5])
    check(held is not None and held >= 450, "nginx held the slow connections open for 3 s: %s of 500" % held)
    check(len(open_socks) < 25, "slow headers are cut after 5 s: %d of 500 connections still open after 8 s" %
          len(open_socks))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    args = ap.parse_args()
    if NGINX is None:
        print("SKIPPED: nginx is not installed (scripts/setup.sh installs it)")
        return 77
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < 2048:  # 500 slow connections plus the rest
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
    work = tempfile.mkdtemp(prefix="vimo-nginx-test-")
    st = Stack(args.build_dir, work)
    try:
        # The slow-header part first, while the rest has not yet filled the limits' state.
        test_slow_headers(st)
        test_oversized(st)
        test_cache(st)
        test_rate_limit(st)
        check(st.procs[0].poll() is None and st.procs[1].poll() is None, "service and nginx still running")
    except Exception as e:  # a broken stack fails the test with its cause
        check(False, "the checks ran to the end", repr(e))
    finally:
        st.stop()
    failed = results.count(False)
    if failed:
        for name in ("service.log", "nginx/logs/error.log"):
            path = os.path.join(work, name)
            if os.path.exists(path):
                print("---- %s (last 30 lines)" % name)
                print("".join(open(path).readlines()[-30:]))
    shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (results.count(True), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
