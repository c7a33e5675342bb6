"""Random and malformed /sync answers for the scripted Matrix homeserver
(matrix_server.py): random bytes, wrong JSON shapes, wrong types in every
field, huge strings, deep nesting, truncated bodies and bad HTTP framing. Each
answer is (bytes to send, close the connection after). Small on average so that
thousands are served in seconds; a few large ones go past the client's bounds."""
import json

JUNK = [None, True, False, 0, -1, 2 ** 64, 1.5e308, -0.0, "", "x", "\u202e\u0000\ud7ff", [], {}, [1, [2, [3]]],
        {"a": {"b": None}}, "@", "!:", "$"]


def junk(rng, depth=0):
    r = rng.random()
    if r < 0.1 and depth < 4:
        return [junk(rng, depth + 1) for _ in range(rng.randrange(4))]
    if r < 0.2 and depth < 4:
        return {rand_text(rng, 6): junk(rng, depth + 1) for _ in range(rng.randrange(4))}
    if r < 0.3:
        return rand_text(rng, rng.choice([1, 20, 300, 5000]))
    return rng.choice(JUNK)


def rand_text(rng, n):
    # Code points from every plane, controls, lone surrogates (as escapes) and bidi marks.
    pool = [0x0, 0x1f, 0x7f, 0x85, 0x200b, 0x202e, 0xfeff, 0xd800, 0xdfff, 0x10ffff, 0x1f600, 0x41, 0x20, 0x3042]
    return "".join(chr(rng.choice(pool)) if rng.random() < 0.3 else chr(rng.randrange(0x20, 0x7f))
                   for _ in range(rng.randrange(n + 1)))


def sample(rng, token, rooms):
    """A well-formed answer with a member, texts, an edit, a reply, a redaction."""
    room = rng.choice(rooms)
    n = rng.randrange(1 << 30)
    user = "@fz%d:example.org" % rng.randrange(50)
    events = [
        {"type": "m.room.member", "state_key": user, "sender": user, "event_id": "$m%d" % n,
         "content": {"membership": "join", "displayname": rand_text(rng, 40)}},
        {"type": "m.room.message", "sender": user, "event_id": "$f%d" % n,
         "content": {"msgtype": "m.text", "body": rand_text(rng, 80)}},
        {"type": "m.room.message", "sender": user, "event_id": "$g%d" % n,
         "content": {"msgtype": "m.text", "body": "> <@a:b> q\n> more\n\nreply " + rand_text(rng, 10),
                     "m.relates_to": {"m.in_reply_to": {"event_id": "$f%d" % n}}}},
        {"type": "m.room.message", "sender": user, "event_id": "$h%d" % n,
         "content": {"msgtype": "m.text", "body": "* e", "m.relates_to": {"rel_type": "m.replace"}}},
        {"type": "m.room.redaction", "sender": user, "event_id": "$r%d" % n, "redacts": "$f%d" % (n - 1)},
    ]
    return {"next_batch": token, "rooms": {"join": {room: {"state": {"events": events[:1]},
                                                           "timeline": {"events": events, "limited": rng.random() < 0.1}}}}}


def mutate(rng, value, rate):
    """value with some of its parts (at any depth) replaced by junk of another type."""
    if rng.random() < rate:
        return junk(rng)
    if isinstance(value, dict):
        return {k: mutate(rng, v, rate) for k, v in value.items()}
    if isinstance(value, list):
        return [mutate(rng, v, rate) for v in value]
    return value


def http(status, body, extra=b"", length=None, close=False):
    length = len(body) if length is None else length
    head = b"HTTP/1.1 %d X\r\nContent-Type: application/json\r\n" % status
    if length >= 0:
        head += b"Content-Length: %d\r\n" % length
    return head + extra + b"\r\n" + body, close


def framing(rng, body):
    """Answers whose HTTP is broken (or unusual but valid: the client must read those)."""
    chunked = b"Transfer-Encoding: chunked\r\n"
    choices = [
        lambda: http(200, body[: len(body) // 2], length=len(body), close=True),  # truncated body
        lambda: (b"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n" + body, True),
        lambda: (b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 9\r\n\r\n" + body, True),
        lambda: (b"HTTP/1.1 200 OK\r\n" + chunked + b"\r\nzz\r\n" + body, True),
        lambda: (b"HTTP/1.1 200 OK\r\n" + chunked + b"\r\nFFFFFFFFFFFFFFFF\r\n" + body, True),
        lambda: (b"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n" + body, True),
        lambda: (b"HTTP/1.1 200 OK\r\nno colon here\r\n\r\n", True),
        lambda: (b"HTTP/1.1 abc OK\r\nContent-Length: 0\r\n\r\n", True),
        lambda: (b"HTTP/9.9 200 OK\r\nContent-Length: 0\r\n\r\n", True),
        lambda: (b"HTTP/1.1 200 OK\r\nX: " + b"a" * 20000 + b"\r\n\r\n", True),
        lambda: (b"\r\n\r\n", True),
        lambda: (b"HTTP/1.1 200 OK\r\n\r\n" + body, True),  # valid: the body runs to the close
        lambda: (b"HTTP/1.1 200 OK\r\n" + chunked + b"\r\n%x\r\n" % len(body) + body + b"\r\n0\r\n\r\n", False),
        lambda: (b"HTTP/1.1 200 OK\r\n" + chunked + b"\r\n%x\r\n" % len(body) + body, True),  # no last chunk
        lambda: (bytes(rng.randrange(256) for _ in range(rng.randrange(1, 600))), True),
        lambda: (b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n{}{}{}garbage after", True),
    ]
    return rng.choice(choices)()


def answer(rng, token, rooms):
    good = json.dumps(sample(rng, token, rooms)).encode()
    kind = rng.randrange(10)
    if kind == 0:
        return framing(rng, good)
    if kind == 1:
        return http(200, bytes(rng.randrange(256) for _ in range(rng.randrange(400))))
    if kind == 2:
        shapes = [[], 1, "x", None, {}, {"next_batch": 5}, {"next_batch": {}}, {"next_batch": "x" * 5000},
                  {"next_batch": "a b"}, {"next_batch": ""}, {"next_batch": token, "rooms": []},
                  {"next_batch": token, "rooms": {"join": "x"}}, {"next_batch": token, "rooms": {"join": {r: 5 for r in rooms}}},
                  {"next_batch": token, "rooms": {"join": {r: {"timeline": {"events": {}}} for r in rooms}}},
                  {"next_batch": token, "rooms": {"join": {r: {"timeline": {"events": [1, "x", None, []]}} for r in rooms}}}]
        return http(200, json.dumps(rng.choice(shapes)).encode())
    if kind in (3, 4, 5):
        doc = mutate(rng, sample(rng, token, rooms), rng.choice([0.05, 0.2, 0.5]))
        if isinstance(doc, dict) and rng.random() < 0.7:
            doc["next_batch"] = token  # mostly a usable answer, so the events themselves are read
        return http(200, json.dumps(doc).encode())
    if kind == 6:
        doc = sample(rng, token, rooms)
        big = "\u00e9" * rng.choice([1000, 10000, 70000])  # sent as UTF-8: up to 140 KB
        ev = doc["rooms"]["join"][rooms[0] if rooms[0] in doc["rooms"]["join"] else next(iter(doc["rooms"]["join"]))]
        ev["timeline"]["events"][1]["content"]["body"] = big
        ev["timeline"]["events"][0]["content"]["displayname"] = big
        ev["timeline"]["events"][1]["event_id"] = "$" + "e" * rng.choice([10, 5000])
        return http(200, json.dumps(doc, ensure_ascii=False).encode("utf-8", "surrogatepass"))
    if kind == 7:
        depth = rng.choice([65, 1000, 100000])
        nested = '{"next_batch":"%s","rooms":%s}' % (token, "[" * depth + "]" * depth)
        return http(200, (nested if rng.random() < 0.5 else "[" * depth).encode())
    if kind == 8:
        data = bytearray(good)
        for _ in range(rng.randrange(1, 6)):
            i = rng.randrange(len(data))
            op = rng.randrange(3)
            if op == 0:
                data[i] = rng.randrange(256)
            elif op == 1:
                del data[i]
            else:
                data.insert(i, rng.randrange(256))
        return http(200, bytes(data))
    status = rng.choice([200, 400, 404, 302, 204, 418])
    return http(status, rng.choice([b"", b"<html>oops</html>", b'{"errcode":5}', good]))


def oversized(token):
    """An answer over the client's 16 MiB bound, sent in full in chunks."""
    piece = b"A" * (1 << 20)
    chunks = b"".join(b"%x\r\n" % len(piece) + piece + b"\r\n" for _ in range(17))
    return b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks + b"0\r\n\r\n", True
