"""Gateway payloads for the scripted Discord gateway (discord_gateway.py): the
dispatches it sends, and the hostile frames of its fuzz scenario."""
import json
import random

CHANNEL_A, CHANNEL_B, CHANNEL_OTHER = "111", "222", "999"


def dispatch(t, s, d):
    return json.dumps({"op": 0, "t": t, "s": s, "d": d})


def message(mid, channel, author, content, member=None):
    d = {"id": mid, "channel_id": channel, "guild_id": "900", "author": author, "content": content,
         "type": 0, "timestamp": "2024-05-01T12:00:00.000000+00:00", "tts": False, "mentions": []}
    if member is not None:
        d["member"] = member
    return d


def author(uid, username, global_name=None, bot=None):
    a = {"id": uid, "username": username, "global_name": global_name, "discriminator": "0"}
    if bot is not None:
        a["bot"] = bot
    return a


class FuzzFrames:
    """Hostile frames made from a seed: (kind, data) with kind "text", "binary" or
    "raw-text" (bytes sent as a text frame without UTF-8 checks)."""

    def __init__(self, seed, count):
        self.r = random.Random(seed)
        makers = [self.random_binary, self.random_text, self.wrong_shape, self.wrong_type, self.wrong_type,
                  self.wrong_type, self.unknown_op, self.deep]
        self.items = [self.r.choice(makers)() for _ in range(count)]
        # Rare kinds, each ending the connection (a bridge must come back and go on):
        # invalid UTF-8 in a text frame, a frame over the 1 MiB bound.
        for kind, data in (("raw-text", b'{"op":0,"t":"MESSAGE_CREATE","d":"\xff\xfe"}'), ("text", "x" * (1536 * 1024))):
            self.items.insert(self.r.randrange(len(self.items)), (kind, data))
        # A few nestings as deep as the frame bound allows.
        for _ in range(3):
            self.items.insert(self.r.randrange(len(self.items)), self.deep(100000))
        # A few huge (but allowed) strings in places the bridge reads.
        for _ in range(4):
            huge = message("8" + str(self.r.randrange(10**9)), CHANNEL_A, author("31", "huge", "h" * 200000),
                           "y" * 700000)
            self.items.insert(self.r.randrange(len(self.items)), ("text", dispatch("MESSAGE_CREATE", 3, huge)))
        # The frames that end a connection, by their place.
        self.killers = {i for i, (kind, data) in enumerate(self.items) if kind == "raw-text" or len(data) > 1 << 20}

    def random_binary(self):
        return "binary", bytes(self.r.getrandbits(8) for _ in range(self.r.randrange(0, 300)))

    def random_text(self):
        return "text", "".join(chr(self.r.randrange(1, 0xD7FF)) for _ in range(self.r.randrange(0, 200)))

    def random_value(self, depth=0):
        choices = [None, True, False, -1, 0, 2**63, -2**70, 1e308, -0.5, "", "s" * self.r.randrange(0, 5000),
                   "\u0000\u202e\ud7ff", [], {}, [1, "a", None], {"id": 5}]
        if depth < 3 and self.r.random() < 0.3:
            return {"k": self.random_value(depth + 1)} if self.r.random() < 0.5 else [self.random_value(depth + 1)]
        return self.r.choice(choices)

    def wrong_shape(self):
        shapes = ["", "null", "[]", "42", '"text"', "{", '{"op":', '{"op":"0"}', '{"op":-1}', '{"op":1.5}',
                  '{"op":99999999999999999999999}', '{"d":{}}', '{"op":0}', '{"op":0,"t":5,"s":"x"}',
                  '{"op":10,"d":[]}', '{"op":0,"t":"MESSAGE_CREATE","d":[]}', '{"op":0,"t":"READY","d":null}',
                  '{"op":0,"s":-5,"t":"MESSAGE_DELETE"}', '{"op":11,"d":{"x":1}} trailing', "\ufeff{}"]
        return "text", self.r.choice(shapes)

    def templates(self):
        member = message("5" + str(self.r.randrange(10**6)), self.r.choice([CHANNEL_A, CHANNEL_OTHER]),
                         author(str(self.r.randrange(10**6)), "fz", "Fuzz"), "fuzz text", {"nick": "F"})
        return [
            {"op": 0, "t": "MESSAGE_CREATE", "s": self.r.randrange(2, 10**6), "d": member},
            {"op": 0, "t": "MESSAGE_DELETE", "s": 9, "d": {"id": "1", "channel_id": CHANNEL_A}},
            {"op": 0, "t": "MESSAGE_DELETE_BULK", "s": 9, "d": {"ids": ["1", 2], "channel_id": CHANNEL_A}},
            {"op": 0, "t": "READY", "s": 1, "d": {"session_id": "fuzz", "resume_gateway_url": "wss://127.0.0.1:1"}},
            {"op": 10, "d": {"heartbeat_interval": 1}},
            {"op": 11, "d": None},
            {"op": 1, "d": None},
        ]

    def wrong_type(self):
        frame = self.r.choice(self.templates())
        # Replace one field, at any depth, by a value of another type.
        node, keys = frame, []
        while isinstance(node, dict) and node:
            key = self.r.choice(list(node))
            keys.append(key)
            if not isinstance(node[key], dict) or self.r.random() < 0.4:
                node[key] = self.random_value()
                break
            node = node[key]
        if frame.get("op") in (7, 9):
            frame["op"] = 0  # reconnects are the main scenario's; here they would only slow the run
        return "text", json.dumps(frame)

    def unknown_op(self):
        op = self.r.choice([3, 4, 5, 8, 12, 13, 14, 99, 255, 1000, 2**31])
        return "text", json.dumps({"op": op, "t": "SOMETHING_NEW", "s": None, "d": self.random_value()})

    def deep(self, n=None):
        n = n or self.r.randrange(100, 5000)
        inner = "[" * n + "]" * n
        return "text", self.r.choice([inner, '{"op":0,"t":"MESSAGE_CREATE","s":3,"d":' + inner + "}",
                                      '{"op":0,"t":"MESSAGE_CREATE","d":{"author":' + "{\"a\":" * n + "1" + "}" * n + "}}"])
