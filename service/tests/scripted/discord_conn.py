"""One connection of the scripted Discord gateway (discord_gateway.py): its
frames in and out, the heartbeat it expects, and the log of checks the
scenarios write."""
import asyncio
import json
import time

import websockets

from discord_frames import dispatch


class Failed(Exception):
    """A check the rest of a scenario cannot go on without."""


class Log:
    def __init__(self, path):
        self.path, self.failures = path, []

    def write(self, entry):
        if self.path:
            with open(self.path, "a") as f:
                f.write(json.dumps(entry) + "\n")

    def check(self, ok, what, fatal=False):
        self.write({"check": what, "ok": bool(ok)})
        if not ok:
            self.failures.append(what)
            if fatal:
                raise Failed(what)
        return ok

    def done(self):
        self.write({"done": True, "failures": self.failures})


def rank(seq):
    return -1 if seq is None else seq


class Conn:
    """One client connection: the bridge's heartbeats answered (or not) as they
    come and checked for their sequence number, everything else queued."""

    def __init__(self, ws, kind, log):
        self.ws, self.kind, self.log = ws, kind, log
        self.accepted_at = time.monotonic()
        self.inbox = asyncio.Queue()
        self.beats = []           # the heartbeats' d values, in order
        self.beat_event = asyncio.Event()
        self.ack = True           # answer heartbeats with op 11
        self.valid_seqs = {None}  # what a heartbeat may carry: the seqs this client has seen
        self.check_beats = True   # off where the frames' own "s" values are hostile
        self.finished = asyncio.Event()
        self.closed = asyncio.Event()
        self.reader = asyncio.ensure_future(self.read())

    async def read(self):
        try:
            async for raw in self.ws:
                try:
                    frame = json.loads(raw)
                except ValueError:
                    self.log.check(False, "the bridge sent JSON")
                    continue
                if isinstance(frame, dict) and frame.get("op") == 1:
                    await self.on_beat(frame.get("d"))
                else:
                    await self.inbox.put(frame)
        except websockets.ConnectionClosed:
            pass
        self.closed.set()
        self.beat_event.set()  # a waiter for a beat hears of the end at once

    async def on_beat(self, d):
        last = self.beats[-1] if self.beats else None
        if self.check_beats and (d not in self.valid_seqs or rank(d) < rank(last)):  # only failures: many beats
            self.log.check(False, f"heartbeat carries a seen sequence number, never going back "
                                  f"(got {d!r}, last {last!r}, seen {self.valid_seqs})")
        self.beats.append(d)
        self.beat_event.set()
        if self.ack:
            await self.send({"op": 11})

    async def send(self, frame):
        try:
            await self.ws.send(frame if isinstance(frame, str) else json.dumps(frame))
        except websockets.ConnectionClosed:
            pass

    async def hello(self, interval_ms):
        await self.send({"op": 10, "d": {"heartbeat_interval": interval_ms}})

    async def dispatch(self, t, s, d):
        self.valid_seqs.add(s)
        await self.send(dispatch(t, s, d))

    async def receive(self, op, timeout=10):
        try:
            frame = await asyncio.wait_for(self.inbox.get(), timeout)
        except asyncio.TimeoutError:
            raise Failed(f"op {op} from the bridge within {timeout} s")
        self.log.check(isinstance(frame, dict) and frame.get("op") == op, f"op {op} from the bridge: {frame}",
                       fatal=True)
        d = frame.get("d")
        return d if isinstance(d, dict) else {}

    async def beat_with(self, seq, timeout=5):
        """Waits for a heartbeat carrying seq."""
        deadline = time.monotonic() + timeout
        while seq not in self.beats:
            self.beat_event.clear()
            left = deadline - time.monotonic()
            if left <= 0 or self.closed.is_set():
                raise Failed(f"a heartbeat with d={seq!r} within {timeout} s (got {self.beats})")
            try:
                await asyncio.wait_for(self.beat_event.wait(), left)
            except asyncio.TimeoutError:
                pass
        self.beats.clear()
        self.beats.append(seq)

    def drop(self):
        self.ws.transport.abort()
