#!/usr/bin/env python3
"""The wake-up channel behind nginx with Nchan (deploy/nginx), on loopback.

crowd (default): one vimo-service publishing to one nginx. 10,000 waiting
companions hold GET /api/wake; one message is stored through /api/ingest; each
waiter is answered with its "message" value, then behaves as the companion
does: waits 0 to 2 s, asks /api/chat?count=1 (and count=2 when that shows the
message), and asks again 1 to 2 s later, at most twice, when the page it got
was cached from before the message. Checks: at least 99 % woken within 2 s,
every waiter saw the message, the pages reached the service at most 5 times.
Prints the wake-up latency (p50, p99), nginx's memory for the connections and
the service's requests during the wave.

--redis: two nginx sharing one local Redis (Nchan's Redis mode), the service
publishing through the first: a waiter on the second (and one on the first)
is woken by the one publication, and a waiter that reconnects to the second
with the message's ETag is not woken by it again.

Waiters connect from 127.0.1.0/24, rendered --exempt (the per-address limits
are for one companion per address). Exit status: 0 passed, 1 a check failed,
77 nginx, its Nchan module or redis-server is not installed.
"""
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wake_stack import (NCHAN, NGINX, REDIS, Stack, Waiter, ask, check, free_port, nginx_memory_kib,  # noqa: E402
                        parse_head, port_open, results, subscribers, take_answer, wait_for)


WAITERS = 10000
SOURCES = ["127.0.1.%d" % (1 + i) for i in range(200)]  # 50 waiters an address
SPREAD = 2.0          # the companion's random delay before its poll, seconds
RECHECKS = 2          # polls asked again while the page predates the message
RECHECK_AFTER = 1.0   # seconds, plus up to SPREAD / 2


def crowd_wave(port, publish_port, stack, master_pid, access_log, old):
    """The wave on one epoll loop: each event costs microseconds, so the
    latencies are nginx's rather than the test's own."""
    baseline = nginx_memory_kib(master_pid)
    waiters = []
    request = b"GET /api/wake HTTP/1.1\r\nHost: vimo\r\n\r\n"
    for i in range(WAITERS):
        sock = socket.socket()
        sock.bind((SOURCES[i % len(SOURCES)], 0))
        sock.connect(("127.0.0.1", port))
        sock.sendall(request)
        sock.setblocking(False)
        waiters.append(Waiter(sock))
    held = wait_for(lambda: (lambda n: n >= WAITERS and n)(subscribers(publish_port)), 30,
                    "nginx to hold %d waiters" % WAITERS)
    check(held >= WAITERS, "nginx holds %d waiting /api/wake requests (of %d)" % (held, WAITERS))
    memory = nginx_memory_kib(master_pid)
    print("nginx memory (PSS of master and workers): %.1f MiB before, %.1f MiB with %d waiters: %.1f KiB each"
          % (baseline / 1024, memory / 1024, held, (memory - baseline) / max(1, held)), flush=True)

    by_fd = {w.sock.fileno(): w for w in waiters}
    poller = select.epoll()
    for fd in by_fd:
        poller.register(fd, select.EPOLLIN)
    timers = []  # (due, fd): polls waiting for their moment
    logged = os.path.getsize(access_log)

    # The message, as a bridge sends it; its answer is read on the same loop.
    body = json.dumps({"platform": "corvane", "sender_name": "Wave", "text": "the wave"}).encode()
    bridge = socket.create_connection(("127.0.0.1", stack.service_port))
    t0 = time.monotonic()
    bridge.sendall(("POST /api/ingest HTTP/1.1\r\nHost: vimo\r\nAuthorization: Bearer %s\r\n"
                    "Content-Type: application/json\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                    % (stack.token, len(body))).encode() + body)
    bridge.setblocking(False)
    poller.register(bridge.fileno(), select.EPOLLIN)
    bridge_buf, message, stored = b"", None, None

    def ask_page(w, count):
        w.sock.send(("GET /api/chat?count=%d HTTP/1.1\r\nHost: vimo\r\n\r\n" % count).encode())

    left = WAITERS
    deadline = t0 + 30
    while left and time.monotonic() < deadline:
        now = time.monotonic()
        while timers and timers[0][0] <= now:
            _, fd = heapq.heappop(timers)
            w = by_fd[fd]
            w.state = "page1"
            w.pages += 1
            ask_page(w, 1)
        wait = max(0.0, min(0.05, timers[0][0] - now)) if timers else 0.05
        for fd, _ in poller.poll(wait):
            if fd == bridge.fileno():
                bridge_buf += bridge.recv(65536)
                got = take_answer(bridge_buf)
                if got:
                    stored = time.monotonic() - t0
                    message = json.loads(got[1])["message"]
                    poller.unregister(fd)
                    bridge.close()
                continue
            w = by_fd[fd]
            try:
                data = w.sock.recv(65536)
            except OSError as e:
                data, w.error = b"", repr(e)
            if not data:
                w.error = w.error or "closed in state " + w.state
                w.state = "done"
                poller.unregister(fd)
                left -= 1
                continue
            w.buf += data
            got = take_answer(w.buf)
            if not got:
                continue
            status, text, w.buf = got
            if w.state == "wake":
                w.woken_at, w.woken = time.monotonic(), text
                if status != 200:
                    w.error, w.state = "wake status %d" % status, "done"
                    left -= 1
                    continue
                # The companion's random delay before its poll.
                w.state = "sleep"
                heapq.heappush(timers, (w.woken_at + random.uniform(0, SPREAD), fd))
            elif w.state == "page1":
                newest = json.loads(text)[-1]["message"] if status == 200 else None
                if newest == w.woken:
                    w.saw, w.state = True, "page2"
                    ask_page(w, 2)  # the poll's next page, as the companion asks it
                elif w.pages <= RECHECKS:
                    # A page cached from before the message: asked again a little later.
                    w.state = "sleep"
                    heapq.heappush(timers, (time.monotonic() + RECHECK_AFTER + random.uniform(0, SPREAD / 2), fd))
                else:
                    w.state = "done"
                    left -= 1
            elif w.state == "page2":
                w.state = "done"
                left -= 1
    wave_end = time.monotonic()
    poller.close()
    for w in waiters:
        w.sock.close()

    latencies = sorted(w.woken_at - t0 for w in waiters if w.woken_at is not None and w.woken == message)
    within = sum(1 for x in latencies if x <= 2.0)
    p50 = statistics.median(latencies) if latencies else float("nan")
    p99 = latencies[int(len(latencies) * 0.99) - 1] if latencies else float("nan")
    print("wake-up latency from /api/ingest, %d waiters: first %.3f s, p50 %.3f s, p99 %.3f s, slowest %.3f s "
          "(the ingest call returned after %s s)"
          % (len(latencies), latencies[0] if latencies else float("nan"), p50, p99,
             latencies[-1] if latencies else float("nan"),
             "%.3f" % stored if stored is not None else "?"), flush=True)
    check(within >= 0.99 * WAITERS, "%d of %d waiters woken within 2 s naming the message" % (within, WAITERS),
          "errors: %s" % [w.error for w in waiters if w.error][:3])

    # What the wave asked of the service: the access log's lines with an upstream.
    with open(access_log) as f:
        f.seek(logged)
        lines = f.readlines()
    pages = [l for l in lines if '"GET /api/chat?count=' in l]
    upstream = [l for l in pages if not re.search(r"upstream=- ", l)]
    rechecked = sum(1 for w in waiters if w.pages > 1)
    saw = sum(1 for w in waiters if w.saw)
    print("the wave: %d pages asked in %.1f s, %d reached the service; %d waiters asked again after a page "
          "from before the message" % (len(pages), wave_end - t0, len(upstream), rechecked), flush=True)
    for l in upstream:
        print("  to the service: " + l.strip())
    check(saw == WAITERS, "%d of %d waiters were shown the message by the poll that followed" % (saw, WAITERS))
    check(len(upstream) <= 5, "the wave's pages reached the service %d times (at most 5)" % len(upstream))
    check(message is not None and old != message, "a new message value")


def test_crowd(st):
    port, publish = free_port(), free_port()
    st.start_service(publish)
    nginx, access_log = st.start_nginx("nginx", port, publish)
    old = st.ingest("before the wave")
    # The cache holds the pages from before the message, as it would in a busy audience.
    for count in (1, 2):
        urllib.request.urlopen("http://127.0.0.1:%d/api/chat?count=%d" % (port, count), timeout=5).read()
    crowd_wave(port, publish, st, nginx.pid, access_log, old)


def test_redis(st):
    st.start_redis()
    redis = "redis://127.0.0.1:%d" % st.redis_port
    ports = [free_port() for _ in range(4)]
    st.start_service(ports[1])
    st.start_nginx("nginx-a", ports[0], ports[1], redis)
    st.start_nginx("nginx-b", ports[2], ports[3], redis)

    async def wave():
        async def waiter(port, etag=""):
            r, w = await asyncio.open_connection("127.0.0.1", port)
            try:
                return await asyncio.wait_for(ask(r, w, "/api/wake", etag and "If-None-Match: %s\r\n" % etag), 10)
            except asyncio.TimeoutError:
                return None
            finally:
                w.close()
        loop = asyncio.get_running_loop()

        async def held(port, publish_port):
            # An nginx answers 503 until its Redis connection is up: ask until held.
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                future = asyncio.ensure_future(waiter(port))
                while not future.done() and (await loop.run_in_executor(None, subscribers, publish_port)) < 1:
                    await asyncio.sleep(0.05)
                if not future.done():
                    return future
                await asyncio.sleep(0.1)
            raise RuntimeError("nginx on %d never held a waiter" % port)
        on_b = await held(ports[2], ports[3])
        on_a = await held(ports[0], ports[1])
        t0 = time.monotonic()
        message = await loop.run_in_executor(None, st.ingest, "across machines")
        b, a = await on_b, await on_a
        took = time.monotonic() - t0
        check(b is not None and b[0] == 200 and b[2] == message,
              "a waiter on the second nginx woken by a publication through the first, in %.3f s" % took, repr(b))
        check(a is not None and a[0] == 200 and a[2] == message, "and a waiter on the first", repr(a))
        # Asking again with that message's ETag waits for the next one rather than repeating it.
        again = await waiter(ports[2], b[1].get("etag", "") if b else "") if b else None
        check(again is not None and again[0] == 408 or again is None,
              "a waiter naming the message it was woken for is not woken by it again", repr(again))

    asyncio.run(wave())


def main():
    global WAITERS
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--redis", action="store_true", help="two nginx sharing one Redis")
    ap.add_argument("--waiters", type=int, default=WAITERS, help="the crowd's size (a smaller one for a look)")
    args = ap.parse_args()
    WAITERS = args.waiters
    missing = [what for what, there in (("nginx", NGINX), ("libnginx-mod-nchan", os.path.exists(NCHAN)),
                                        ("redis-server", REDIS or not args.redis)) if not there]
    if missing:
        print("SKIPPED: %s not installed (scripts/setup.sh installs them)" % ", ".join(missing))
        return 77
    # 10,000 waiting sockets and the test's own: raise the soft limit to the hard one.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if not args.redis and hard < WAITERS + 1000:
        print("SKIPPED: the open-file limit %d is below %d waiters" % (hard, WAITERS))
        return 77
    print("processor: " + next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                                 if l.startswith("model name")), "?"), flush=True)
    work = tempfile.mkdtemp(prefix="vimo-wake-test-")
    st = Stack(args.build_dir, work)
    try:
        (test_redis if args.redis else test_crowd)(st)
        check(all(p.poll() is None for p in st.procs), "service, nginx and redis still running")
    except Exception as e:
        check(False, "the checks ran to the end", repr(e))
    finally:
        st.stop()
    failed = results.count(False)
    if failed:
        for name in ("service.log", "nginx/logs/error.log", "nginx-a/logs/error.log", "nginx-b/logs/error.log"):
            path = os.path.join(work, name)
            if os.path.exists(path):
                print("---- %s (last 20 lines)" % name)
                print("".join(open(path).readlines()[-20:]))
    shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (results.count(True), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
