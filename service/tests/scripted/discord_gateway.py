#!/usr/bin/python3
"""A scripted Discord gateway over TLS (python3-websockets 10.4), for the
service's Discord bridge tests and for feeding a real companion.

It listens on 127.0.0.1 at --port (the gateway) and --resume-port (what READY
names as resume_gateway_url), with a certificate of the test CA made by
tlsutil.py in --certs-dir (reused when already there). Once listening it writes
--ready-file: {"port", "resume_port", "control_port", "ca"}. Checks go to --log,
one JSON object a line ({"check": ..., "ok": ...}), ending with
{"done": true, "failures": [...]} when a scenario has run its course.

Scenarios (--scenario):
  bridge  the bridge's whole life: Identify, heartbeats and their sequence
          numbers, members' messages, a drop and Resume at the resume URL,
          Invalid Session and a fresh Identify, Reconnect (op 7), deletions,
          a missed heartbeat ACK and Resume again, close 4009 and Identify.
  reject  Hello, then Identify answered by close 4014 for the token
          "no-intents" and 4004 for any other.
  fuzz    a session, then --frames hostile frames (random bytes as text and
          binary, wrong shapes and types, huge strings, unknown ops, deep
          nesting), then one good message ("after the storm").
  serve   a well-behaved gateway for people and end-to-end tests: any token,
          sessions resumed while this process lives, --chatter-ms sends a line
          of chat that often, and --control-port takes JSON lines:
            {"content": "hi", "author_id": "42", "name": "Ann", "channel": "111"}
              ("name" is the username; "global_name" and "nick" optional)
            {"delete": "<message id>", "channel": "111"}

Example:
  /usr/bin/python3 discord_gateway.py --certs-dir /tmp/gw --port 4443 --scenario serve \\
      --channel 111 --control-port 4444
  (then vimo-service --discord-gateway 'wss://127.0.0.1:4443/?v=10&encoding=json'
   --discord-channels 111 --tls-ca /tmp/gw/ca.pem --discord-token-file TOKEN_FILE)
"""
import argparse
import asyncio
import json
import os
import random
import sys
import time

import websockets

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tlsutil  # noqa: E402
from discord_conn import Conn, Failed, Log, rank  # noqa: E402
from discord_frames import CHANNEL_A, CHANNEL_B, CHANNEL_OTHER, FuzzFrames, author, dispatch, message  # noqa: E402

GOOD_TOKEN = "good-token"
INTENTS_NEEDED = (1 << 9) | (1 << 15)


class Gateway:
    def __init__(self, args):
        self.args = args
        self.log = Log(args.log)
        self.conns = asyncio.Queue()
        self.live = []      # connections of the serve scenario with a session
        self.sessions = {}  # serve: session id -> its last sequence number

    async def handler(self, ws, path=None):
        kind = "resume" if ws.local_address[1] == self.resume_port else "main"
        conn = Conn(ws, kind, self.log)
        conn.path = ws.path
        conn.host = ws.request_headers.get("Host", "")
        await self.conns.put(conn)
        await conn.finished.wait()

    async def next_conn(self, timeout=20):
        try:
            return await asyncio.wait_for(self.conns.get(), timeout)
        except asyncio.TimeoutError:
            raise Failed(f"a connection from the bridge within {timeout} s")

    def check_path(self, conn):
        self.log.check("v=10" in conn.path and "encoding=json" in conn.path and "compress" not in conn.path,
                       f"the gateway URL asks for v=10, JSON and no compression ({conn.path})")

    def check_identify(self, d):
        props = d.get("properties")
        self.log.check(d.get("token") == GOOD_TOKEN, "Identify carries the token", fatal=True)
        intents = d.get("intents")
        self.log.check(isinstance(intents, int) and intents & INTENTS_NEEDED == INTENTS_NEEDED,
                       f"Identify asks for GUILD_MESSAGES and MESSAGE_CONTENT ({intents})")
        self.log.check(isinstance(props, dict) and all(isinstance(props.get(k), str) for k in ("os", "browser", "device")),
                       "Identify carries properties os, browser and device")
        self.log.check(not d.get("compress"), "Identify does not ask for compression")

    def check_resume(self, d, session, seq):
        self.log.check(d.get("token") == GOOD_TOKEN and d.get("session_id") == session and d.get("seq") == seq,
                       f"Resume carries the token, session {session} and seq {seq} (got {d})", fatal=True)

    async def scenario_bridge(self):
        log = self.log
        c1 = await self.next_conn()
        log.check(c1.kind == "main", "the first connection goes to the gateway")
        self.check_path(c1)
        await c1.hello(200)
        self.check_identify(await c1.receive(2))
        await c1.dispatch("READY", 1, {"v": 10, "session_id": "sess-1", "user": author("1", "vimo-bot", bot=True),
                                       "resume_gateway_url": f"wss://localhost:{self.resume_port}", "guilds": []})
        await c1.beat_with(1)
        nick = message("1001", CHANNEL_A, author("501", "nickuser", "Global Nick"), "hello from a nick",
                       {"nick": "Nick Name", "roles": []})
        await c1.dispatch("MESSAGE_CREATE", 2, nick)
        await c1.dispatch("MESSAGE_CREATE", 3, message("1002", CHANNEL_A, author("502", "globaluser", "Only Global"),
                                                      "hello from a global name", {"nick": None}))
        await c1.dispatch("MESSAGE_CREATE", 4, message("1003", CHANNEL_B, author("503", "plainuser"),
                                                      "hello from a username"))
        await c1.dispatch("MESSAGE_CREATE", 5, message("1004", CHANNEL_A, author("504", "robot", "Robot", True),
                                                      "beep from a bot"))
        await c1.dispatch("MESSAGE_CREATE", 6, message("1005", CHANNEL_OTHER, author("505", "elsewhere"),
                                                      "hello from another channel"))
        await c1.dispatch("MESSAGE_CREATE", 7, message("1010", CHANNEL_A, author("509", "nocontent"), ""))
        twolines = message("1006", CHANNEL_A, author("501", "nickuser", "Global Nick"), "two\nlines",
                           {"nick": "Nick Name"})
        await c1.dispatch("MESSAGE_CREATE", 8, twolines)
        await c1.beat_with(8)
        c1.drop()

        c2 = await self.next_conn()
        log.check(c2.kind == "resume" and c2.host.startswith("localhost"),
                  f"after a drop the bridge comes back at READY's resume URL ({c2.kind}, {c2.host})")
        self.check_path(c2)
        c2.valid_seqs = {8}
        await c2.hello(200)
        self.check_resume(await c2.receive(6), "sess-1", 8)
        await c2.dispatch("MESSAGE_CREATE", 8, twolines)  # replayed: must not be stored twice
        await c2.dispatch("MESSAGE_CREATE", 9, message("1007", CHANNEL_A, author("506", "later", "Later"),
                                                      "after the drop"))
        await c2.dispatch("RESUMED", 10, {})
        await c2.beat_with(10)
        await c2.send({"op": 9, "d": False})
        invalidated = time.monotonic()

        c3 = await self.next_conn()
        waited = c3.accepted_at - invalidated
        log.check(c3.kind == "main", "after Invalid Session (d=false) the bridge goes to the gateway")
        log.check(0.9 <= waited <= 7, f"and waits 1-5 s before it ({waited:.2f} s)")
        await c3.hello(60000)
        self.check_identify(await c3.receive(2))
        await c3.send({"op": 1, "d": None})
        await c3.beat_with(None, timeout=2)  # at once, and the old session's seq forgotten
        await c3.dispatch("READY", 1, {"v": 10, "session_id": "sess-2", "user": author("1", "vimo-bot", bot=True),
                                       "resume_gateway_url": f"wss://127.0.0.1:{self.resume_port}"})
        await c3.dispatch("MESSAGE_CREATE", 2, message("1008", CHANNEL_B, author("507", "fresh", "Fresh"),
                                                      "after a fresh identify", {"nick": "Fresh Nick"}))
        await c3.send({"op": 1, "d": None})
        await c3.beat_with(2, timeout=2)
        await c3.send({"op": 7, "d": None})
        reconnect_asked = time.monotonic()

        c4 = await self.next_conn()
        log.write({"reconnect_after_op7_s": round(c4.accepted_at - reconnect_asked, 3)})
        log.check(c4.kind == "resume" and c4.host.startswith("127.0.0.1"),
                  f"after Reconnect the bridge resumes at the new session's URL ({c4.kind}, {c4.host})")
        c4.valid_seqs = {2}
        await c4.hello(200)
        self.check_resume(await c4.receive(6), "sess-2", 2)
        await c4.dispatch("RESUMED", 3, {})
        await c4.dispatch("MESSAGE_DELETE", 4, {"id": "1001", "channel_id": CHANNEL_A, "guild_id": "900"})
        await c4.beat_with(4)
        c4.ack = False  # a zombie from here: the bridge must notice and resume

        c5 = await self.next_conn()
        log.check(c5.kind == "resume", "after a missed heartbeat ACK the bridge resumes")
        c5.valid_seqs = {4}
        await c5.hello(200)
        self.check_resume(await c5.receive(6), "sess-2", 4)
        await c5.dispatch("RESUMED", 5, {})
        await c5.dispatch("MESSAGE_CREATE", 6, message("1009", CHANNEL_A, author("508", "timed", "Timed"),
                                                      "before a timed-out session"))
        await c5.beat_with(6)
        await c5.ws.close(4009, "Session timed out.")

        c6 = await self.next_conn()
        log.check(c6.kind == "main", "after close 4009 the bridge goes to the gateway")
        await c6.hello(200)
        self.check_identify(await c6.receive(2))  # not a Resume: the session is gone
        await c6.dispatch("READY", 1, {"v": 10, "session_id": "sess-3",
                                       "resume_gateway_url": f"wss://localhost:{self.resume_port}"})
        await c6.dispatch("MESSAGE_CREATE", 2, message("1011", CHANNEL_A, author("510", "last", "Last"), "the end"))
        await c6.beat_with(2)

    async def scenario_reject(self):
        while True:
            conn = await self.next_conn(timeout=3600)
            await conn.hello(45000)
            d = await conn.receive(2)
            code = 4014 if d.get("token") == "no-intents" else 4004
            self.log.write({"connection": d.get("token"), "closed_with": code})
            await conn.ws.close(code, "Disallowed intent(s)." if code == 4014 else "Authentication failed.")

    async def scenario_fuzz(self):
        frames = FuzzFrames(self.args.seed, self.args.frames)
        good = message("777777", CHANNEL_A, author("4242", "survivor", "Survivor"), "after the storm")
        items = frames.items + [("text", dispatch("MESSAGE_CREATE", 3, good))]
        confirmed, killers_sent, checkpoints = 0, set(), 0
        while confirmed < len(items):
            conn = await self.next_conn()
            conn.check_beats = False
            if not await self.fuzz_session(conn):
                continue
            # Batches, each confirmed by a heartbeat carrying a checkpoint's seq: the
            # bridge has read them all. A batch on a connection that ended is sent again
            # on the next, but not the frame that ended it.
            while confirmed < len(items) and not conn.closed.is_set():
                end = min(confirmed + 250, len(items))
                for i in range(confirmed, end):
                    if i in frames.killers:
                        if i in killers_sent:
                            continue
                        killers_sent.add(i)
                    kind, data = items[i]
                    try:
                        if kind == "raw-text":
                            await conn.ws.write_frame(True, 0x1, data)
                        else:
                            await conn.ws.send(data)
                    except websockets.ConnectionClosed:
                        break
                checkpoints += 1
                marker = 10**12 + checkpoints  # above any seq the storm uses
                await conn.send(dispatch("CHECKPOINT", marker, {}))
                await conn.send({"op": 1, "d": None})
                try:
                    await conn.beat_with(marker, timeout=60)
                except Failed:
                    if conn.closed.is_set():
                        break
                    raise
                confirmed = end
        self.log.write({"fuzz_frames_confirmed": confirmed, "killers_sent": len(killers_sent)})

    async def fuzz_session(self, conn):
        """Hello, then READY or RESUMED; False when the bridge gave this connection up."""
        await conn.hello(45000)
        try:
            frame = await asyncio.wait_for(conn.inbox.get(), 10)
        except asyncio.TimeoutError:
            if conn.closed.is_set():
                return False
            raise Failed("Identify or Resume within 10 s of Hello")
        op = frame.get("op") if isinstance(frame, dict) else None
        self.log.check(op in (2, 6), f"Identify or Resume after Hello (op {op})")
        if op == 2:
            await conn.dispatch("READY", 1, {"session_id": "fuzz", "resume_gateway_url": f"wss://127.0.0.1:{self.port}"})
        else:
            await conn.dispatch("RESUMED", 1, {})
        return True

    async def scenario_serve(self):
        serial = [0]

        async def chatter(conn):
            while not conn.closed.is_set():
                await asyncio.sleep(self.args.chatter_ms / 1000)
                serial[0] += 1
                await self.deliver({"content": f"{self.args.tag} chat line {serial[0]}", "author_id": "4100",
                                    "name": "Chatter"}, [conn])

        while True:
            conn = await self.next_conn(timeout=365 * 86400)
            asyncio.ensure_future(self.serve_conn(conn, chatter))

    async def serve_conn(self, conn, chatter):
        await conn.hello(41250)
        frame = await asyncio.wait_for(conn.inbox.get(), 30)
        op = frame.get("op") if isinstance(frame, dict) else None
        d = frame.get("d") if isinstance(frame, dict) and isinstance(frame.get("d"), dict) else {}
        if op == 6 and d.get("session_id") in self.sessions:
            conn.session = d["session_id"]
            conn.seq = self.sessions[conn.session] + 1
            await conn.dispatch("RESUMED", conn.seq, {})
        elif op == 2:
            conn.session, conn.seq = f"serve-{random.randrange(1 << 30)}", 1
            await conn.dispatch("READY", 1, {"session_id": conn.session,
                                             "resume_gateway_url": f"wss://127.0.0.1:{self.resume_port}"})
        else:  # a session this process does not know (it was restarted): start a new one
            await conn.send({"op": 9, "d": False})
            return
        self.sessions[conn.session] = conn.seq
        self.live.append(conn)
        if self.args.chatter_ms > 0:
            asyncio.ensure_future(chatter(conn))
        await conn.closed.wait()
        self.live.remove(conn)

    async def deliver(self, order, conns=None):
        for conn in list(conns if conns is not None else self.live):
            conn.seq += 1
            self.sessions[conn.session] = conn.seq
            channel = str(order.get("channel", self.args.channel[0]))
            if "delete" in order:
                await conn.dispatch("MESSAGE_DELETE", conn.seq, {"id": str(order["delete"]), "channel_id": channel})
                continue
            mid = str(order.get("id", f"{int(time.time() * 1000)}{conn.seq:06d}"))
            # "name" alone is the username; "global_name" and "nick" set those too.
            who = author(str(order.get("author_id", "4000")), str(order.get("name", "someone")), order.get("global_name"))
            member = {"nick": order["nick"]} if "nick" in order else None
            await conn.dispatch("MESSAGE_CREATE", conn.seq,
                                message(mid, channel, who, str(order.get("content", "")), member))

    async def control(self, reader, writer):
        while line := await reader.readline():
            try:
                await self.deliver(json.loads(line))
                writer.write(b"ok\n")
            except (ValueError, AttributeError, TypeError) as e:
                writer.write(f"error {e}\n".encode())
        writer.close()

    async def main(self):
        a = self.args
        certs = os.path.join(a.certs_dir, "server.pem")
        certs = ({"ca": os.path.join(a.certs_dir, "ca.pem"), "cert": certs,
                  "key": os.path.join(a.certs_dir, "server.key")}
                 if os.path.exists(certs) else tlsutil.make_certs(a.certs_dir))
        tls = tlsutil.server_context(certs)
        options = dict(ssl=tls, compression=None, max_size=1 << 20, ping_interval=None)
        main = await websockets.serve(self.handler, "127.0.0.1", a.port, **options)
        resume = await websockets.serve(self.handler, "127.0.0.1", a.resume_port, **options)
        self.port = main.sockets[0].getsockname()[1]
        self.resume_port = resume.sockets[0].getsockname()[1]
        control_port = 0
        if a.control_port >= 0 and a.scenario == "serve":
            control = await asyncio.start_server(self.control, "127.0.0.1", a.control_port)
            control_port = control.sockets[0].getsockname()[1]
        if a.ready_file:
            with open(a.ready_file + ".tmp", "w") as f:
                json.dump({"port": self.port, "resume_port": self.resume_port, "control_port": control_port,
                           "ca": certs["ca"]}, f)
            os.replace(a.ready_file + ".tmp", a.ready_file)
        try:
            await getattr(self, "scenario_" + a.scenario)()
        except Failed as e:
            self.log.check(False, str(e))
        self.log.done()
        await asyncio.Future()  # keep serving until killed


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--certs-dir", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--resume-port", type=int, default=0)
    p.add_argument("--control-port", type=int, default=-1, help="serve: JSON lines of chat to send (0 = any port)")
    p.add_argument("--scenario", choices=["bridge", "reject", "fuzz", "serve"], default="serve")
    p.add_argument("--channel", action="append", default=None, help="serve: the default channel id")
    p.add_argument("--chatter-ms", type=int, default=0, help="serve: a chat line this often (0 = none)")
    p.add_argument("--tag", default="gateway", help="serve: the chatter's lines start with this")
    p.add_argument("--frames", type=int, default=10000, help="fuzz: hostile frames before the good one")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--ready-file")
    p.add_argument("--log")
    args = p.parse_args()
    args.channel = args.channel or [CHANNEL_A]
    return args


if __name__ == "__main__":
    asyncio.run(Gateway(parse_args()).main())
