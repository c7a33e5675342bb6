"""Chat as Twitch shows it, from the platform to the desktop: the service's
Twitch bridge reads a scripted IRC server; 7TV, BetterTTV, FrankerFaceZ and
Twitch's emote CDN are one scripted HTTP server on loopback whose images are
each of a colour nothing else on the screen has. The line comes out of the
chat page with its spans, colour and badges, every image path answers a PNG,
and the companion's box shows each emote's pixels, the name in its colour and
the animated emote changing; a click bursts it with the emote as one piece."""

import http.server
import json
import os
import subprocess
import threading
import time
import urllib.request

from harness import Companion, Service, check, click_element, locate_mascot, log, wait_until
from scenario_bridges import start_scripted, twitch_control
from scenario_online import white_outside

ROOM = "777"
# Each emote's colour (R, G, B); the 7TV one is animated through two.
TWITCH_RGB, BTTV_RGB, FFZ_RGB = (255, 0, 200), (32, 255, 64), (255, 96, 0)
SEVENTV_RGBS = ((0, 224, 255), (255, 224, 0))
NAME_RGB = (0x00, 0x74, 0xE5)  # #1E90FF made readable on the white box


def make_image(*frames):
    """PNG (one colour) or GIF (several, 200 ms each) of 28 x 28 pixels, by ImageMagick."""
    colours = ["xc:#%02x%02x%02x" % rgb for rgb in frames]
    if len(frames) == 1:
        argv = ["convert", "-size", "28x28", colours[0], "png:-"]
    else:
        argv = ["convert", "-delay", "20", "-size", "28x28", *colours, "-loop", "0", "gif:-"]
    return subprocess.run(argv, check=True, capture_output=True, timeout=30).stdout


class Providers:
    """The emote providers' APIs and CDNs on one loopback port; counts each path asked."""

    def __init__(self):
        self.hits = {}
        self.images = {"/cdn/tw/emoticons/v2/25/default/dark/1.0": make_image(TWITCH_RGB),
                       "/cdn/7tv/7a/1x.webp": make_image(*SEVENTV_RGBS),
                       "/cdn/bttv/emote/b1/1x": make_image(BTTV_RGB),
                       "/cdn/ffz/5/1": make_image(FFZ_RGB)}
        providers = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                path = self.path.split("?")[0]
                providers.hits[path] = providers.hits.get(path, 0) + 1
                body = providers.images.get(path)
                kind = "image/png"
                if body is None:
                    answer = providers.api(path)
                    body = None if answer is None else json.dumps(answer).encode()
                    kind = "application/json"
                self.send_response(404 if body is None else 200)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body or b"")))
                self.end_headers()
                self.wfile.write(body or b"")

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.base = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def api(self, path):
        files = [{"name": "1x.webp", "width": 28, "height": 28, "format": "WEBP"}]
        seventv = {"id": "7a", "name": "catJAM", "flags": 0,
                   "data": {"animated": True, "host": {"url": self.base + "/cdn/7tv/7a", "files": files}}}
        ffz = {"id": 5, "name": "OMEGALUL", "width": 28, "height": 28, "urls": {"1": self.base + "/cdn/ffz/5/1"}}
        return {"/7tv/emote-sets/global": {"id": "global", "emotes": []},
                f"/7tv/users/twitch/{ROOM}": {"emote_set": {"emotes": [seventv]}},
                "/bttv/cached/emotes/global": [],
                f"/bttv/cached/users/twitch/{ROOM}": {"channelEmotes": [{"id": "b1", "code": "KEKW"}],
                                                      "sharedEmotes": []},
                "/ffz/set/global": {"default_sets": [], "sets": {}},
                f"/ffz/room/id/{ROOM}": {"sets": {"1": {"emoticons": [ffz]}}}}.get(path)

    def flags(self):
        return ["--seventv-api", self.base + "/7tv", "--bttv-api", self.base + "/bttv",
                "--bttv-cdn", self.base + "/cdn/bttv", "--ffz-api", self.base + "/ffz",
                "--twitch-cdn", self.base + "/cdn/tw", "--discord-cdn", self.base + "/cdn/discord",
                "--helix-api", self.base + "/helix"]


def privmsg(user, user_id, text, **tags):
    """A PRIVMSG as Twitch sends it, in #vimochan of ROOM; tags given replace the empty ones."""
    fields = {"badge-info": "", "badges": "", "color": "", "display-name": user, "emotes": "",
              "id": f"{user}-{time.monotonic_ns()}", "room-id": ROOM, "tmi-sent-ts": "1", "user-id": user_id, **tags}
    tag_text = ";".join(f"{k}={v}" for k, v in fields.items())
    return f"@{tag_text} :{user.lower()}!{user.lower()}@t PRIVMSG #vimochan :{text}"


def emotes(stack):
    stack.start_desktop(compositor=True)
    providers = Providers()
    _, twitch = start_scripted(stack, "twitch-server", "twitch_server.py",
                               ["--certs-dir", os.path.join(stack.tmp, "twitch-certs")])
    service = Service(stack).start("--twitch", "vimochan", "--twitch-server", f"127.0.0.1:{twitch['port']}",
                                   "--tls-ca", twitch["ca"], "--image-dir", os.path.join(stack.tmp, "images"),
                                   *providers.flags())
    wait_until(lambda: any("#vimochan" in c["channels"] for c in twitch_control(twitch["control"],
                                                                                {"cmd": "state"})["clients"]),
               30, "the Twitch bridge in #vimochan")
    companion = Companion(stack, {"service_origin": service.origin, "bluesky_origin": service.origin}).start()
    companion.proc.wait_line(r"^poll chat parse result: |chat poll inturrupted", 20)

    # The channel's id comes with its first line; its emote sets are fetched then.
    twitch_control(twitch["control"], {"cmd": "send", "lines": [privmsg("Warm", "5001", "first")]})
    channel_sets = ["/7tv/users/twitch/" + ROOM, "/bttv/cached/users/twitch/" + ROOM, "/ffz/room/id/" + ROOM]
    wait_until(lambda: all(providers.hits.get(p) for p in channel_sets), 30, "the channel's emote sets fetched")
    time.sleep(1)  # the answers parsed and taken in
    said = "Kappa catJAM KEKW OMEGALUL"
    twitch_control(twitch["control"], {"cmd": "send", "lines": [privmsg(
        "Emo_Fan", "5005", said, badges="moderator/1,subscriber/12", color="#1E90FF", emotes="25:0-4")]})

    line = wait_until(lambda: next((m for m in service.get_json("/api/chat?count=2") or [] if m["text"] == said),
                                   None), 20, "the emote line on the chat page")
    log("chat page:", line)
    spans = [(e["start"], e["end"], e["image"].rsplit("/", 1)[1]) for e in line.get("emotes", [])]
    check(spans == [(0, 5, "tw-25"), (6, 12, "7tv-7a"), (13, 17, "bttv-b1"), (18, 26, "ffz-5")], f"spans {spans}")
    check(line.get("color") == "#0074e5" and line.get("name") == "Emo_Fan", f"colour and name {line}")
    check([b["set"] for b in line.get("badges", [])] == ["moderator", "subscriber"], f"badges {line}")
    for image in [e["image"] for e in line["emotes"]] + [b["image"] for b in line["badges"]]:
        with urllib.request.urlopen(service.origin + image, timeout=15) as answer:
            body = answer.read()
        check(body[:8] == b"\x89PNG\r\n\x1a\n", f"{image} answers a PNG")

    # The box on the screen: every emote's colour, the name's, and the 7TV one changing.
    def all_shown():
        shot = stack.screenshot()
        found = {rgb: shot.bbox(rgb, None, 60) for rgb in (TWITCH_RGB, BTTV_RGB, FFZ_RGB, NAME_RGB)}
        return all(found.values()) and (shot, found)
    shot, found = wait_until(all_shown, 30, "the box with its emotes and the coloured name")
    stack.save(shot, "emotes-box")
    log("emotes on screen:", found)
    seen = set()
    until = time.monotonic() + 3
    while time.monotonic() < until and len(seen) < 2:
        frame = stack.screenshot()
        seen |= {rgb for rgb in SEVENTV_RGBS if frame.bbox(rgb, None, 60)}
    check(len(seen) == 2, f"the animated emote showed {len(seen)} of its 2 frames in 3 s")

    # A left click bursts the box (its paper goes at once): the FrankerFaceZ
    # emote flies off as one piece, its colour in one emote-sized patch.
    def on_box():
        box = stack.screenshot().bbox(BTTV_RGB, None, 60)
        return box and ((box[0] + box[2]) // 2, (box[1] + box[3]) // 2)
    before = stack.screenshot()
    mascot = locate_mascot(before)
    white_before = white_outside(before, [mascot] if mascot else [])
    click_element(stack, companion, on_box, 1, "the emote box")
    wait_until(lambda: abs(white_outside(stack.screenshot(), [mascot] if mascot else []) - white_before) >= 800, 5,
               "the box to burst")

    def one_piece():
        shot = stack.screenshot()
        piece = shot.bbox(FFZ_RGB, None, 200)
        return piece and piece[2] - piece[0] < 48 and piece[3] - piece[1] < 48 and (shot, piece)
    shot, piece = wait_until(one_piece, 10, "the emote as one piece of the burst")
    stack.save(shot, "emotes-burst")
    log("burst piece:", piece)
    check(companion.proc.alive(), "the companion ended")

