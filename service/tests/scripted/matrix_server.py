#!/usr/bin/python3
"""A scripted Matrix homeserver for the Matrix bridge's tests and end-to-end runs:
the client-server calls the bridge makes (/sync long polls, /joined_rooms) over
TLS on loopback, fed through a plain HTTP control port, with faults on demand.

  /usr/bin/python3 matrix_server.py --certs-dir DIR [--port N] [--control-port N]
      [--token T] [--joined !a:example.org,!b:example.org] [--state-file F]

Prints one JSON line once listening: {"port": P, "control": C, "ca": "DIR/ca.pem"}.
The certificates in DIR are made on first use and kept, so a restart on the same
port is trusted by the same CA. With --state-file the timeline outlives a
restart, as a real homeserver's database would.

Control port (plain HTTP, JSON bodies):
  POST /events   [{"room": R, "type": "text", "sender": U, "body": B}, ...] appended to
                 the timeline; types: text ("reply_to": an event id makes it a reply
                 with the quote in its body), notice (m.notice), image (m.image), member
                 ("user", "name"), redact ("target", "in_content": true for room
                 version 11 form), edit ("target", "body"), encryption (the room
                 turns end-to-end encrypted), or "raw": an event as is.
                 Answers the event ids.
  POST /answers  [{"status": S, "body": JSON}, ...] served to the next /sync calls
  POST /fuzz     {"count": N, "seed": S} the next N /sync answers are random or
                 malformed (matrix_fuzz.py), each followed by a good empty one
  GET  /log      the calls seen: [{"path", "since", "auth", "rooms", "t"}]
  GET  /status   {"fuzz_left", "answers_left", "events", "connections"}
"""
import argparse
import asyncio
import json
import os
import random
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matrix_fuzz  # noqa: E402
import tlsutil  # noqa: E402

MAX_HEAD = 64 * 1024  # a request's line and headers


class Homeserver:
    def __init__(self, args):
        self.token = args.token
        self.joined = [r for r in args.joined.split(",") if r]
        self.state_file = args.state_file
        self.timeline = []  # [room, event] in order; position N is token "tN"
        self.answers = []  # canned answers for the next /sync calls
        self.fuzz_left, self.fuzz_good_next, self.fuzz_served, self.rng = 0, False, 0, random.Random(1)
        self.log = []
        self.connections = 0
        self.changed = asyncio.Condition()
        if self.state_file and os.path.exists(self.state_file):
            with open(self.state_file) as f:
                self.timeline = json.load(f)

    def save(self):
        if not self.state_file:
            return
        with open(self.state_file + ".tmp", "w") as f:
            json.dump(self.timeline, f)
        os.replace(self.state_file + ".tmp", self.state_file)

    # ---- the timeline -------------------------------------------------------
    def add(self, spec):
        room, n = spec["room"], len(self.timeline)
        ev = {"event_id": spec.get("id", "$ev%d:example.org" % n), "origin_server_ts": int(time.time() * 1000),
              "sender": spec.get("sender", "@bot:example.org"), "unsigned": {"age": 1}}
        kind = spec.get("type", "text")
        if "raw" in spec:
            ev = spec["raw"]
        elif kind in ("text", "notice", "image"):
            ev.update(type="m.room.message", content={"msgtype": "m." + kind, "body": spec["body"]})
            if "reply_to" in spec:  # a reply's body starts with the quoted message
                ev["content"]["body"] = "> <@someone:example.org> what was said\n> and more\n\n" + spec["body"]
                ev["content"]["m.relates_to"] = {"m.in_reply_to": {"event_id": spec["reply_to"]}}
        elif kind == "edit":
            ev.update(type="m.room.message", content={
                "msgtype": "m.text", "body": "* " + spec["body"],
                "m.new_content": {"msgtype": "m.text", "body": spec["body"]},
                "m.relates_to": {"rel_type": "m.replace", "event_id": spec["target"]}})
        elif kind == "member":
            ev.update(type="m.room.member", state_key=spec["user"], sender=spec["user"],
                      content={"membership": "join", "displayname": spec.get("name")})
        elif kind == "encryption":
            ev.update(type="m.room.encryption", state_key="", content={"algorithm": "m.megolm.v1.aes-sha2"})
        elif kind == "redact":
            ev.update(type="m.room.redaction", content={"reason": "spam"})
            if spec.get("in_content"):
                ev["content"]["redacts"] = spec["target"]
            else:
                ev["redacts"] = spec["target"]
        self.timeline.append([room, ev])
        return ev.get("event_id")

    def state_before(self, position, room):
        """The room's state events before position: {(type, state_key): event}."""
        state = {}
        for r, ev in self.timeline[:position]:
            if r == room and isinstance(ev, dict) and "state_key" in ev:
                state[(ev.get("type"), ev.get("state_key"))] = ev
        return state

    def batch(self, start, initial=False):
        """The joined rooms' events from position start on. State: all of it before the
        first answer's timeline, else the timeline senders' member events (lazy
        loading with redundant members)."""
        join = {}
        for room in self.joined:
            indexed = [(i, ev) for i, (r, ev) in enumerate(self.timeline) if r == room and i >= start]
            if initial:
                indexed = indexed[-10:]
            if not indexed and not initial:
                continue
            events = [ev for _, ev in indexed]
            first = indexed[0][0] if indexed else len(self.timeline)
            state = self.state_before(first, room)
            if not initial:
                senders = {ev.get("sender") for ev in events}
                state = {k: ev for k, ev in state.items() if k[0] == "m.room.member" and k[1] in senders}
            join[room] = {"timeline": {"events": events, "limited": False, "prev_batch": "p%d" % first},
                          "state": {"events": list(state.values())}}
        return {"next_batch": "t%d" % len(self.timeline), "rooms": {"join": join}}

    def position(self, since):
        if since and since[0] == "t" and since[1:].isdigit():
            return min(int(since[1:]), len(self.timeline))
        return len(self.timeline)  # a token of no timeline of ours: from now on

    # ---- the client-server calls -------------------------------------------
    async def sync(self, query):
        since = query.get("since")
        deadline = time.monotonic() + min(int(query.get("timeout", "0") or 0), 60000) / 1000
        async with self.changed:
            while True:
                if self.answers:
                    a = self.answers.pop(0)
                    return reply(a.get("status", 200), json.dumps(a.get("body", {})).encode())
                if self.fuzz_left > 0:
                    return self.fuzz()
                if since is None:
                    return reply(200, json.dumps(self.batch(0, initial=True)).encode())
                start = self.position(since)
                left = deadline - time.monotonic()
                if start < len(self.timeline) or left <= 0:
                    return reply(200, json.dumps(self.batch(start)).encode())
                try:
                    await asyncio.wait_for(self.changed.wait(), left)
                except asyncio.TimeoutError:
                    pass

    def fuzz(self):
        token = "t%d" % len(self.timeline)
        if self.fuzz_good_next:
            self.fuzz_good_next = False
            self.fuzz_left -= 1
            return reply(200, json.dumps({"next_batch": token}).encode())
        self.fuzz_good_next = True
        self.fuzz_served += 1
        if self.fuzz_served == 1:
            return matrix_fuzz.oversized(token)
        return matrix_fuzz.answer(self.rng, token, self.joined)

    async def call(self, method, target, headers):
        url = urllib.parse.urlsplit(target)
        query = dict(urllib.parse.parse_qsl(url.query))
        auth = headers.get("authorization") == "Bearer " + self.token
        rooms = None
        try:
            rooms = json.loads(query.get("filter", "null"))["room"]["rooms"]
        except (ValueError, KeyError, TypeError):
            pass
        self.log.append({"path": url.path, "since": query.get("since"), "auth": auth, "rooms": rooms,
                         "t": time.time()})
        if not auth:
            return reply(401, b'{"errcode":"M_UNKNOWN_TOKEN","error":"Invalid access token passed.","soft_logout":false}')
        if url.path == "/_matrix/client/v3/sync":
            return await self.sync(query)
        if url.path == "/_matrix/client/v3/joined_rooms":
            return reply(200, json.dumps({"joined_rooms": self.joined}).encode())
        return reply(404, b'{"errcode":"M_UNRECOGNIZED","error":"Unrecognized request"}')

    # ---- control ------------------------------------------------------------
    async def control(self, method, path, body):
        async with self.changed:
            out = {}
            if path == "/events":
                out = [self.add(spec) for spec in body]
                self.save()
            elif path == "/answers":
                self.answers.extend(body)
            elif path == "/fuzz":
                self.fuzz_left, self.fuzz_good_next, self.fuzz_served = body["count"], False, 0
                self.rng = random.Random(body.get("seed", 1))
            elif path == "/log":
                out = self.log
            elif path == "/status":
                out = {"fuzz_left": self.fuzz_left, "answers_left": len(self.answers),
                       "events": len(self.timeline), "connections": self.connections}
            else:
                return reply(404, b"{}")
            self.changed.notify_all()
            return reply(200, json.dumps(out).encode())


def reply(status, body, close=False):
    head = "HTTP/1.1 %d X\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % (status, len(body))
    return head.encode() + body, close


async def read_request(reader):
    head = await reader.readuntil(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    method, target, _ = lines[0].split(" ", 2)
    headers = {}
    for line in lines[1:]:
        if ":" in line:
            k, v = line.split(":", 1)
            headers[k.strip().lower()] = v.strip()
    body = await reader.readexactly(int(headers.get("content-length", "0")))
    return method, target, headers, body


async def serve_connection(handler, reader, writer):
    try:
        while True:
            method, target, headers, body = await read_request(reader)
            data, close = await handler(method, target, headers, body)
            writer.write(data)
            await writer.drain()
            if close or headers.get("connection", "").lower() == "close":
                break
    except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError, ValueError, OSError):
        pass
    finally:
        writer.close()


async def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--control-port", type=int, default=0)
    p.add_argument("--certs-dir", required=True)
    p.add_argument("--token", default="secret-token")
    p.add_argument("--joined", default="!main:example.org,!other:example.org,!secret:example.org")
    p.add_argument("--state-file", default="")
    args = p.parse_args()
    if os.path.exists(os.path.join(args.certs_dir, "server.pem")):
        certs = {n: os.path.join(args.certs_dir, f) for n, f in
                 (("ca", "ca.pem"), ("cert", "server.pem"), ("key", "server.key"))}
    else:
        certs = tlsutil.make_certs(args.certs_dir)
    hs = Homeserver(args)

    async def on_client(reader, writer):
        hs.connections += 1
        await serve_connection(lambda m, t, h, b: hs.call(m, t, h), reader, writer)

    async def on_control(reader, writer):
        async def handle(method, target, headers, body):
            data, _ = await hs.control(method, target, json.loads(body) if body else None)
            return data, True
        await serve_connection(handle, reader, writer)

    server = await asyncio.start_server(on_client, "127.0.0.1", args.port, ssl=tlsutil.server_context(certs),
                                        limit=MAX_HEAD, reuse_address=True)
    control = await asyncio.start_server(on_control, "127.0.0.1", args.control_port, limit=1 << 24)
    print(json.dumps({"port": server.sockets[0].getsockname()[1], "control": control.sockets[0].getsockname()[1],
                      "ca": certs["ca"]}), flush=True)
    await asyncio.gather(server.serve_forever(), control.serve_forever())


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
