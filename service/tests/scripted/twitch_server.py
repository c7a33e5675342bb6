#!/usr/bin/python3
"""A scripted Twitch chat server: IRC over TLS speaking Twitch's dialect (CAP ACK,
001 after NICK, JOIN echoed, PING answered), driven through a plain-text control
port on loopback. Used by the service's Twitch bridge tests and benchmark, and
runnable by hand to feed a real companion:

    /usr/bin/python3 twitch_server.py --port 6697 --certs-dir /tmp/certs --control-port 6698
    # prints {"port": P, "control": C, "ca": ".../ca.pem"} on its first line, then serves
    echo '{"cmd": "say", "channel": "#chan", "user": "ann", "text": "hello"}' | nc -q1 127.0.0.1 6698

Control commands, one JSON object a line, each answered by one JSON line:
  {"cmd": "state"}                       clients: nick, channels joined, lines they sent
  {"cmd": "send", "lines": [...]}        raw IRC lines (CR LF added) to every client
  {"cmd": "split", "parts": [...]}       bytes written in separate writes, 50 ms apart
  {"cmd": "say", "channel", "user", "text", "id"?, "user_id"?, "display_name"?, "color"? (#RRGGBB)}
  {"cmd": "ping", "arg": "tmi.twitch.tv"}
  {"cmd": "junk", "count": N, "seed": S, "channel"}  N random and malformed lines, cut anywhere
  {"cmd": "flood", "count": N, "senders": K, "channel", "prefix"}  N PRIVMSG at once
  {"cmd": "mute"}                        the clients hear nothing more, PINGs unanswered
  {"cmd": "close"}                       the clients' connections are closed
"""
import argparse
import asyncio
import json
import os
import random
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tlsutil  # noqa: E402

SERVER = "tmi.twitch.tv"


class Client:
    def __init__(self, writer):
        self.writer = writer
        self.nick = ""
        self.channels = []
        self.lines = []     # every line the client sent, in order
        self.muted = False

    def write(self, data):
        if not self.muted and not self.writer.is_closing():
            self.writer.write(data)

    def send(self, line):
        self.write((line + "\r\n").encode("utf-8", "surrogateescape"))


clients = []
connections_total = 0


def escape_tag(value):
    return (value.replace("\\", "\\\\").replace(";", "\\:").replace(" ", "\\s")
            .replace("\r", "\\r").replace("\n", "\\n"))


def privmsg(channel, user, text, msg_id, user_id, display_name, color=""):
    tags = "badge-info=;badges=;color=%s;display-name=%s;emotes=;id=%s;mod=0;room-id=1;tmi-sent-ts=1;user-id=%s" % (
        color, escape_tag(display_name), msg_id, user_id)
    return "@%s :%s!%s@%s.tmi.twitch.tv PRIVMSG %s :%s" % (tags, user, user, user, channel, text)


async def serve_client(reader, writer):
    global connections_total
    connections_total += 1
    c = Client(writer)
    clients.append(c)
    try:
        while True:
            raw = await reader.readline()
            if not raw:
                break
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            c.lines.append(line)
            word = line.split(" ")
            cmd = word[0].upper()
            if cmd == "CAP" and len(word) > 1 and word[1] == "REQ":
                c.send(":%s CAP * ACK %s" % (SERVER, line.split(" ", 2)[2]))
            elif cmd == "NICK" and len(word) > 1:
                c.nick = word[1]
                c.send(":%s 001 %s :Welcome, GLHF!" % (SERVER, c.nick))
                c.send(":%s 376 %s :>" % (SERVER, c.nick))
            elif cmd == "JOIN" and len(word) > 1:
                for channel in word[1].split(","):
                    c.channels.append(channel)
                    c.send(":%s!%s@%s.tmi.twitch.tv JOIN %s" % (c.nick, c.nick, c.nick, channel))
                    c.send("@emote-only=0;room-id=1 :%s ROOMSTATE %s" % (SERVER, channel))
            elif cmd == "PING":
                c.send(":%s PONG %s %s" % (SERVER, SERVER, line[5:]))
            await writer.drain()
    except (ConnectionError, OSError, asyncio.IncompleteReadError):
        pass
    finally:
        clients.remove(c)
        writer.close()


def junk_lines(count, seed, channel):
    """Random and malformed lines: bytes of every value, huge lines, broken tags,
    missing parameters, lone CRs and NULs; some aimed at the channel read."""
    rnd = random.Random(seed)
    chan = channel.encode()
    shapes = [
        lambda: b"PRIVMSG " + chan,
        lambda: b"@id=;user-id= :a!a@a PRIVMSG " + chan + b" :no sender",
        lambda: b"@id=" + b"i" * 300 + b";user-id=1 :a!a@a PRIVMSG " + chan + b" :long id",
        lambda: b"@id=x;user-id=1 :a!a@a PRIVMSG " + chan + b" :\xc3\x28",
        lambda: b"@ban-duration=-5;target-user-id=1 :tmi CLEARCHAT " + chan,
        lambda: b"@target-msg-id= :tmi CLEARMSG " + chan + b" :x",
        lambda: b"@user-id=1;id=ctcp :a!a@a PRIVMSG " + chan + b" :\x01VERSION\x01",
        lambda: bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 200))),
        lambda: b"@" + b"x=" * rnd.randrange(1, 12000) + b" PRIVMSG #c :x",
        lambda: b"A" * rnd.choice([8000, 8704, 16383, 16385, 40000]),
        lambda: b"@;;=;a=\\ :",
        lambda: b"@id=1;user-id= :x PRIVMSG",
        lambda: b"PRIVMSG",
        lambda: b"CLEARCHAT",
        lambda: b"@ban-duration=abc;target-user-id=1 :tmi CLEARCHAT #none",
        lambda: b"CLEARMSG #none",
        lambda: b":",
        lambda: b"\r",
        lambda: b"PRIV\x00MSG #c :x",
        lambda: b"@display-name=\\" + bytes([rnd.randrange(256)]) + b" :a!a@a PRIVMSG #other :\xff\xfe",
        lambda: b"001",
        lambda: b"PING",
        lambda: b":a!b@c PRIVMSG #c :\x01ACTION",
    ]
    out = bytearray()
    for _ in range(count):
        line = rnd.choice(shapes)()
        out += line.replace(b"\n", b" ") + rnd.choice([b"\r\n", b"\n", b"\r\n"])
    return bytes(out)


async def write_cut(data, rnd):
    """data to every client in pieces of random size, letting them read between."""
    pos = 0
    while pos < len(data):
        n = rnd.choice([1, 2, 7, 100, 1000, 5000, 20000])
        for c in list(clients):
            c.write(data[pos:pos + n])
        pos += n
        for c in list(clients):
            try:
                await c.writer.drain()
            except (ConnectionError, OSError):
                pass


async def command(cmd):
    kind = cmd.get("cmd")
    if kind == "state":
        return {"clients": [{"nick": c.nick, "channels": c.channels, "lines": c.lines} for c in clients],
                "connections": connections_total}
    if kind == "send":
        for c in list(clients):
            for line in cmd["lines"]:
                c.send(line)
    elif kind == "split":
        for part in cmd["parts"]:
            for c in list(clients):
                c.write(part.encode("utf-8"))
                await c.writer.drain()
            await asyncio.sleep(0.05)
    elif kind == "say":
        user = cmd["user"]
        line = privmsg(cmd["channel"], user, cmd["text"], cmd.get("id", "m-%d" % random.getrandbits(48)),
                       cmd.get("user_id", str(zlib.crc32(user.encode()))), cmd.get("display_name", user),
                       cmd.get("color", ""))
        for c in list(clients):
            c.send(line)
    elif kind == "ping":
        for c in list(clients):
            c.send("PING :" + cmd.get("arg", SERVER))
    elif kind == "junk":
        await write_cut(junk_lines(cmd["count"], cmd.get("seed", 1), cmd.get("channel", "#c")),
                        random.Random(cmd.get("seed", 1)))
    elif kind == "flood":
        senders, prefix = cmd.get("senders", 1000), cmd.get("prefix", "f")
        lines = [privmsg(cmd["channel"], "u%d" % (i % senders), "flood %d" % i, "%s-%d" % (prefix, i),
                         str(500000 + i % senders), "U%d" % (i % senders)) for i in range(cmd["count"])]
        data = ("\r\n".join(lines) + "\r\n").encode()
        for c in list(clients):
            c.write(data)
    elif kind == "mute":
        for c in clients:
            c.muted = True
    elif kind == "close":
        for c in list(clients):
            c.writer.close()
    else:
        return {"ok": False, "error": "unknown command"}
    for c in list(clients):
        try:
            await c.writer.drain()
        except (ConnectionError, OSError):
            pass
    return {"ok": True}


async def serve_control(reader, writer):
    try:
        while True:
            raw = await reader.readline()
            if not raw:
                break
            try:
                answer = await command(json.loads(raw))
            except (ValueError, KeyError, TypeError) as e:
                answer = {"ok": False, "error": str(e)}
            writer.write((json.dumps(answer) + "\n").encode())
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--control-port", type=int, default=0)
    parser.add_argument("--certs-dir", required=True)
    args = parser.parse_args()
    certs = {"ca": os.path.join(args.certs_dir, "ca.pem"), "cert": os.path.join(args.certs_dir, "server.pem"),
             "key": os.path.join(args.certs_dir, "server.key")}
    if not all(os.path.exists(p) for p in certs.values()):
        certs = tlsutil.make_certs(args.certs_dir)
    irc = await asyncio.start_server(serve_client, "127.0.0.1", args.port, ssl=tlsutil.server_context(certs),
                                     reuse_address=True, limit=1 << 20)
    control = await asyncio.start_server(serve_control, "127.0.0.1", args.control_port, reuse_address=True,
                                         limit=1 << 20)
    print(json.dumps({"port": irc.sockets[0].getsockname()[1], "control": control.sockets[0].getsockname()[1],
                      "ca": certs["ca"]}), flush=True)
    async with irc, control:
        await asyncio.gather(irc.serve_forever(), control.serve_forever())


if __name__ == "__main__":
    asyncio.run(main())
