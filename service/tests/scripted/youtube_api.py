#!/usr/bin/python3
"""A scripted YouTube Data API v3 for the YouTube bridge's tests: the three
calls the bridge makes (playlistItems, videos, liveChat/messages) under
/youtube/v3 over TLS on loopback, fed through a plain HTTP control port.

  /usr/bin/python3 youtube_api.py --certs-dir DIR [--key K] [--channel UC...]
      [--interval-ms 1500]

Prints one JSON line once listening: {"port": P, "control": C, "ca": "DIR/ca.pem"}.
The uploads playlist is the channel's id with UC as UU; a call with another key
is answered 400 keyInvalid. Each call is logged with its time (monotonic
seconds) and its cost in units: playlistItems 1, videos 1, liveChat/messages 5.

Control port (plain HTTP, JSON bodies):
  POST /live     {"video": V, "chat": C} V is live with chat C (its upload is the newest)
  POST /messages [item, ...] appended to the live chat: {"type": "text", "author": UC...,
                 "name": N, "text": T, "owner"/"moderator"/"member"/"verified": bool},
                 {"type": "deleted", "target": ID}, {"type": "banned", "author": UC...,
                 "seconds": 0 (permanent) or N}. Answers the message ids.
  POST /end      {"how": "event"} a chatEndedEvent on the next page, or {"how": "403"}:
                 liveChatEnded answers; the video is no longer live either way
  POST /quota    {"exceeded": true|false} every call answered 403 quotaExceeded (still counted)
  GET  /log      [{"path", "t", "cost", "token", "status"}]
  GET  /units    {"units": N} spent so far
"""
import argparse
import http.server
import json
import os
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tlsutil  # noqa: E402

COSTS = {"/youtube/v3/playlistItems": 1, "/youtube/v3/videos": 1, "/youtube/v3/liveChat/messages": 5}


class Api:
    def __init__(self, args):
        self.key, self.channel, self.interval = args.key, args.channel, args.interval_ms
        self.lock = threading.Lock()
        self.uploads = ["old0"]  # newest first
        self.live = {}  # video -> chat, while live
        self.chats = {}  # chat -> [item]
        self.ended = {}  # chat -> "event" | "403"
        self.quota_exceeded = False
        self.log, self.units = [], 0

    def item(self, chat, n, spec):
        author = spec.get("author", "UCnobody0000000000000000")
        snippet = {"liveChatId": chat, "publishedAt": "2026-12-09T18:00:00Z", "authorChannelId": author}
        kind = spec["type"]
        if kind == "text":
            snippet.update(type="textMessageEvent", displayMessage=spec["text"], hasDisplayContent=True,
                           textMessageDetails={"messageText": spec["text"]})
        elif kind == "deleted":
            snippet.update(type="messageDeletedEvent", messageDeletedDetails={"deletedMessageId": spec["target"]})
        elif kind == "banned":
            ban = {"bannedUserDetails": {"channelId": spec["author"], "displayName": "someone"},
                   "banType": "temporary" if spec.get("seconds") else "permanent"}
            if spec.get("seconds"):
                ban["banDurationSeconds"] = str(spec["seconds"])
            snippet.update(type="userBannedEvent", userBannedDetails=ban)
        elif kind == "ended":
            snippet.update(type="chatEndedEvent")
        details = {"channelId": author, "displayName": spec.get("name", "someone"), "isChatOwner": False,
                   "isChatModerator": False, "isChatSponsor": False, "isVerified": False}
        for flag, field in (("owner", "isChatOwner"), ("moderator", "isChatModerator"),
                            ("member", "isChatSponsor"), ("verified", "isVerified")):
            details[field] = bool(spec.get(flag))
        return {"kind": "youtube#liveChatMessage", "id": "LCC.%s.%d" % (chat, n), "snippet": snippet,
                "authorDetails": details}

    def error(self, status, reason, message):
        return status, {"error": {"code": status, "message": message,
                                  "errors": [{"reason": reason, "domain": "youtube", "message": message}]}}

    # ---- the API ------------------------------------------------------------
    def answer(self, path, q):
        if q.get("key") != self.key:
            return self.error(400, "keyInvalid", "API key not valid. Please pass a valid API key.")
        if self.quota_exceeded:
            return self.error(403, "quotaExceeded", "The request cannot be completed because you have exceeded your quota.")
        if path == "/youtube/v3/playlistItems":
            if q.get("playlistId") != "UU" + self.channel[2:]:
                return self.error(404, "playlistNotFound", "no such playlist")
            count = min(int(q.get("maxResults", "5")), 50)
            return 200, {"items": [{"contentDetails": {"videoId": v}} for v in self.uploads[:count]]}
        if path == "/youtube/v3/videos":
            items = []
            for v in q.get("id", "").split(","):
                details = {"actualStartTime": "2026-12-09T18:00:00Z"}
                if v in self.live:
                    details["activeLiveChatId"] = self.live[v]
                else:
                    details["actualEndTime"] = "2026-12-09T17:00:00Z"
                items.append({"id": v, "liveStreamingDetails": details})
            return 200, {"items": items}
        if path == "/youtube/v3/liveChat/messages":
            return self.messages(q)
        return 404, {"error": {"code": 404, "message": "not found"}}

    def messages(self, q):
        chat = q.get("liveChatId", "")
        if self.ended.get(chat) == "403":
            return self.error(403, "liveChatEnded", "The live chat is no longer live.")
        if chat not in self.chats:
            return self.error(404, "liveChatNotFound", "The live chat that you are trying to retrieve cannot be found.")
        timeline = self.chats[chat]
        token = q.get("pageToken")
        start = int(token[1:]) if token and token[0] == "p" and token[1:].isdigit() else 0
        items = timeline[start:] if token else timeline[-200:]  # no token: recent history
        if self.ended.get(chat) == "event":
            items = items + [self.item(chat, len(timeline), {"type": "ended"})]
        return 200, {"kind": "youtube#liveChatMessageListResponse", "nextPageToken": "p%d" % len(timeline),
                     "pollingIntervalMillis": self.interval, "pageInfo": {"totalResults": len(items)},
                     "items": items}

    # ---- the control port ---------------------------------------------------
    def control(self, method, path, body):
        if method == "GET" and path == "/log":
            return list(self.log)
        if method == "GET" and path == "/units":
            return {"units": self.units}
        if path == "/live":
            self.uploads.insert(0, body["video"])
            self.live[body["video"]] = body["chat"]
            self.chats.setdefault(body["chat"], [])
            return {}
        if path == "/messages":
            chat = next(iter(self.live.values()))
            ids = []
            for spec in body:
                timeline = self.chats[chat]
                timeline.append(self.item(chat, len(timeline), spec))
                ids.append(timeline[-1]["id"])
            return ids
        if path == "/end":
            for video, chat in list(self.live.items()):
                self.ended[chat] = body["how"]
                del self.live[video]
            return {}
        if path == "/quota":
            self.quota_exceeded = bool(body["exceeded"])
            return {}
        return None


def handler(api, is_control):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def reply(self, status, obj):
            data = json.dumps(obj).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def handle_any(self, method):
            url = urllib.parse.urlsplit(self.path)
            length = int(self.headers.get("Content-Length") or 0)
            body = json.loads(self.rfile.read(length)) if length else None
            with api.lock:
                if is_control:
                    out = api.control(method, url.path, body)
                    return self.reply(404 if out is None else 200, out)
                q = dict(urllib.parse.parse_qsl(url.query))
                status, out = api.answer(url.path, q)
                cost = COSTS.get(url.path, 0)
                api.units += cost
                api.log.append({"path": url.path, "t": time.monotonic(), "cost": cost, "token": q.get("pageToken"),
                                "status": status})
            self.reply(status, out)

        def do_GET(self):
            self.handle_any("GET")

        def do_POST(self):
            self.handle_any("POST")

    return Handler


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--certs-dir", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--key", default="test-key")
    p.add_argument("--channel", default="UCstreamer00000000000000")
    p.add_argument("--interval-ms", type=int, default=1500)
    args = p.parse_args()
    api = Api(args)
    certs = tlsutil.make_certs(args.certs_dir)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), handler(api, False))
    server.socket = tlsutil.server_context(certs).wrap_socket(server.socket, server_side=True)
    control = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler(api, True))
    for s in (server, control):
        threading.Thread(target=s.serve_forever, daemon=True).start()
    print(json.dumps({"port": server.server_address[1], "control": control.server_address[1], "ca": certs["ca"]}),
          flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    main()
