#!/usr/bin/python3
"""Scripted stand-ins for the third-party emote providers over plain HTTP on
loopback: 7TV under /7tv, BetterTTV under /bttv (its images under /bttv-cdn,
never fetched here) and FrankerFaceZ under /ffz, in each provider's own shape.

    /usr/bin/python3 emote_providers.py [--port 0]
    # prints {"port": P} on its first line, then serves; GET /hits lists the paths asked so far

Channel 4242 has sets on all three (a 7TV emote shadowing a global one of the
same name, an animated and a zero-width one). Channel 666 is hostile: 7TV
answers 100,000 emotes, BetterTTV a 9 MB body, FrankerFaceZ does not know it (404).
Any other channel: 404 everywhere.
"""
import argparse
import json
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HOST = "127.0.0.1"


def seventv(eid, name, flags=0, animated=False, w=28, h=28):
    files = [{"name": f"{s}x.{fmt}", "static_name": f"{s}x_static.{fmt}", "width": w * s, "height": h * s,
              "frame_count": 4 if animated else 1, "format": fmt.upper()}
             for s in (1, 2, 3, 4) for fmt in ("avif", "webp")]
    return {"id": eid, "name": name, "flags": flags, "timestamp": 1700000000000,
            "data": {"id": eid, "name": name, "flags": 0, "animated": animated, "owner": {"id": "o", "username": "u"},
                     "host": {"url": f"//{HOST}:{PORT[0]}/7tv-cdn/emote/{eid}", "files": files}}}


def ffz(eid, name, animated=False, w=32, h=32):
    base = f"https://cdn.frankerfacez.com/emote/{eid}"
    e = {"id": eid, "name": name, "width": w, "height": h, "public": True, "owner": {"name": "x"},
         "urls": {"1": f"{base}/1", "2": f"{base}/2", "4": f"{base}/4"}}
    if animated:
        e["animated"] = {"1": f"{base}/animated/1.webp", "2": f"{base}/animated/2.webp"}
    return e


PORT = [0]


def answer(path):
    """(status, body) for a path."""
    if path == "/7tv/emote-sets/global":
        return 200, {"id": "global", "name": "Global", "emotes": [
            seventv("G7anim", "SevenAnim"), seventv("G7glob", "SevenGlobal", w=40)]}
    if path == "/7tv/users/twitch/4242":
        return 200, {"id": "u", "username": "look", "emote_set": {"id": "s", "emotes": [
            seventv("C7anim", "SevenAnim", animated=True, w=56, h=32),
            seventv("C7zw", "SevenZW", flags=1, animated=True)]}}
    if path == "/7tv/users/twitch/666":
        return 200, {"emote_set": {"emotes": [{"id": f"e{i}", "name": f"n{i}"} for i in range(100000)]}}
    if path == "/bttv/cached/emotes/global":
        return 200, [{"id": "Bglobal1", "code": "Kappa", "imageType": "png", "animated": False},
                     {"id": "Bglobal2", "code": "BttvGlobal", "imageType": "png", "animated": False}]
    if path == "/bttv/cached/users/twitch/4242":
        return 200, {"id": "x", "bots": [], "channelEmotes": [
            {"id": "Bchan1", "code": "BttvChan", "imageType": "gif", "animated": True}],
            "sharedEmotes": [{"id": "Bshared1", "code": "BttvShared", "imageType": "png", "animated": False}]}
    if path == "/bttv/cached/users/twitch/666":
        return 200, "x" * (9 << 20)
    if path == "/ffz/set/global":
        return 200, {"default_sets": [3], "sets": {
            "3": {"id": 3, "emoticons": [ffz(9, "FfzGlobal")]},
            "4": {"id": 4, "emoticons": [ffz(10, "NotDefault")]}}}
    if path == "/ffz/room/id/4242":
        return 200, {"room": {"set": 77}, "sets": {"77": {"id": 77, "emoticons": [ffz(700, "FfzChan", animated=True, w=48)]}}}
    return 404, {"message": "not found"}


class Handler(BaseHTTPRequestHandler):
    hits = []
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path == "/hits":
            status, body = 200, Handler.hits
        else:
            Handler.hits.append(self.path)
            status, body = answer(self.path)
        data = body.encode() if isinstance(body, str) else json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        try:
            self.wfile.write(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # a client that refuses a body over its bound hangs up while it is sent

    def log_message(self, *args):
        pass


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    a = p.parse_args()
    server = ThreadingHTTPServer((HOST, a.port), Handler)
    PORT[0] = server.server_address[1]
    print(json.dumps({"port": PORT[0]}), flush=True)
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
