#!/usr/bin/python3
"""A scripted stand-in of the Pusher WebSocket Kick's chat is read from, over TLS
(python3-websockets 10.4), for the service's Kick bridge tests.

It listens on 127.0.0.1 at --port with a certificate of the test CA made by
tlsutil.py in --certs-dir, and writes --ready-file ({"port", "ca"}) once
listening. --script is a JSON file: {"chatrooms": ["77", ...], "connections":
[{"activity_timeout": 120, "steps": [...]}, ...]}. Each connection the bridge
makes takes the next entry: pusher:connection_established (with its
activity_timeout), then one pusher:subscribe for each chatroom is checked
({"auth": "", "channel": "chatrooms.ID.v2"}) and answered with
pusher_internal:subscription_succeeded, then its steps run in order:

  {"send": FRAME}        FRAME (an object) sent as JSON text
  {"raw": "text"}        sent as it is (a text frame)
  {"binary": "text"}     its bytes sent as a binary frame
  {"ping": true}         pusher:ping; a pusher:pong must come back within 5 s
  {"expect_ping": S}     the bridge's own pusher:ping must come within S s (left unanswered)
  {"flood": N, "chatroom": "77", "prefix": "b"}  N chat messages (ids flood-PREFIXi, each from
                         a sender of its own) as fast as the socket takes them
  {"drop": true}         the connection is closed without a close frame
  {"wait_file": PATH}    waits (up to 300 s) until PATH exists: a test's cue

Connections past the script's only get connection_established and their
subscriptions. Checks go to --log as JSON lines ({"check", "ok"}), ending with
{"done": true, "failures": [...]} after the last scripted connection's steps.

  /usr/bin/python3 kick_pusher.py --certs-dir /tmp/kp --port 4443 --script s.json --ready-file r.json --log l.jsonl
  (then vimo-service --kick-chatroom 77 --kick-pusher 'wss://127.0.0.1:4443/app/k?protocol=7' --tls-ca /tmp/kp/ca.pem)
"""
import argparse
import asyncio
import json
import os
import sys

import websockets

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tlsutil  # noqa: E402


class Failed(Exception):
    pass


class Stand:
    def __init__(self, args):
        self.args = args
        with open(args.script) as f:
            self.script = json.load(f)
        self.connections = 0
        self.failures = []
        self.log_file = open(args.log, "a") if args.log else None

    def log(self, obj):
        if self.log_file:
            self.log_file.write(json.dumps(obj) + "\n")
            self.log_file.flush()

    def check(self, ok, what):
        self.log({"check": what, "ok": bool(ok)})
        if not ok:
            self.failures.append(what)

    async def receive(self, ws, event, seconds):
        """The next frame from the bridge whose event is event (others are logged)."""
        deadline = asyncio.get_running_loop().time() + seconds
        while True:
            left = deadline - asyncio.get_running_loop().time()
            if left <= 0:
                raise Failed(f"{event} from the bridge within {seconds} s")
            try:
                frame = json.loads(await asyncio.wait_for(ws.recv(), left))
            except asyncio.TimeoutError:
                raise Failed(f"{event} from the bridge within {seconds} s")
            if frame.get("event") == event:
                return frame
            self.log({"unexpected": frame})

    async def subscribe(self, ws, activity):
        data = json.dumps({"socket_id": "1234.5678", "activity_timeout": activity})
        await ws.send(json.dumps({"event": "pusher:connection_established", "data": data}))
        for _ in self.script["chatrooms"]:
            frame = await self.receive(ws, "pusher:subscribe", 10)
            d = frame.get("data") or {}
            channel = d.get("channel", "")
            wanted = [f"chatrooms.{c}.v2" for c in self.script["chatrooms"]]
            self.check(d.get("auth") == "" and channel in wanted, f"a subscribe to a chatroom's channel ({frame})")
            await ws.send(json.dumps({"event": "pusher_internal:subscription_succeeded", "channel": channel,
                                      "data": "{}"}))

    async def step(self, ws, s):
        if "send" in s:
            await ws.send(json.dumps(s["send"]))
        elif "raw" in s:
            await ws.send(s["raw"])
        elif "binary" in s:
            await ws.send(s["binary"].encode())
        elif "ping" in s:
            await ws.send(json.dumps({"event": "pusher:ping", "data": {}}))
            await self.receive(ws, "pusher:pong", 5)
            self.check(True, "pusher:pong answers pusher:ping")
        elif "expect_ping" in s:
            await self.receive(ws, "pusher:ping", s["expect_ping"])
            self.check(True, "the bridge pings a silent server")
        elif "flood" in s:
            channel, prefix = f"chatrooms.{s['chatroom']}.v2", s.get("prefix", "")
            for i in range(s["flood"]):
                data = {"id": f"flood-{prefix}{i}", "content": f"flood line {i}", "type": "message",
                        "sender": {"id": 900000 + i, "username": f"flooder{i}", "slug": f"flooder{i}",
                                   "identity": {"color": "#123456", "badges": []}}}
                await ws.send(json.dumps({"event": "App\\Events\\ChatMessageEvent", "channel": channel,
                                          "data": json.dumps(data)}))
        elif "drop" in s:
            ws.transport.abort()
        elif "wait_file" in s:
            for _ in range(3000):
                if os.path.exists(s["wait_file"]):
                    break
                await asyncio.sleep(0.1)

    async def handler(self, ws, path=None):
        n = self.connections
        self.connections += 1
        self.log({"connection": n, "path": ws.path})
        scripted = self.script["connections"]
        entry = scripted[n] if n < len(scripted) else {"steps": []}
        try:
            await self.subscribe(ws, entry.get("activity_timeout", 120))
            for s in entry["steps"]:
                await self.step(ws, s)
        except Failed as e:
            self.check(False, str(e))
        except websockets.ConnectionClosed:
            pass
        if n == len(scripted) - 1:
            self.log({"done": True, "failures": self.failures, "connections": self.connections})
        try:
            await ws.wait_closed()
        except Exception:
            pass

    async def main(self):
        a = self.args
        certs = os.path.join(a.certs_dir, "server.pem")
        certs = ({"ca": os.path.join(a.certs_dir, "ca.pem"), "cert": certs,
                  "key": os.path.join(a.certs_dir, "server.key")}
                 if os.path.exists(certs) else tlsutil.make_certs(a.certs_dir))
        server = await websockets.serve(self.handler, "127.0.0.1", a.port, ssl=tlsutil.server_context(certs),
                                        compression=None, max_size=1 << 20, ping_interval=None,
                                        max_queue=None, write_limit=1 << 22)
        with open(a.ready_file + ".tmp", "w") as f:
            json.dump({"port": server.sockets[0].getsockname()[1], "ca": certs["ca"]}, f)
        os.replace(a.ready_file + ".tmp", a.ready_file)
        await asyncio.Future()  # serve until killed


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--certs-dir", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--script", required=True)
    p.add_argument("--ready-file", required=True)
    p.add_argument("--log")
    return p.parse_args()


if __name__ == "__main__":
    asyncio.run(Stand(parse_args()).main())
