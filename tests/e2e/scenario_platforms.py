"""Every platform a multistreamer uses, on one desktop: the service reads a
scripted YouTube Data API, a scripted Kick Pusher socket and a scripted
Twitch IRC server (each over TLS with a CA of the test's own), follows a
Twitch login through a scripted Helix, and holds each line 3 s for the
moderators. The followed login's live notice opens on the companion; a
Twitch line taken back within the hold never reaches the chat page, the
companion or the screen, the line kept comes 3 s after it was said; a box
from YouTube and one from Kick fall with their senders' names."""

import json
import os
import time
import urllib.request

from harness import Companion, Service, beside, check, find_lines, locate_mascot, log, wait_until
from scenario_bridges import PYTHON, SCRIPTED, read_while_falling, start_scripted, twitch_control

HOLD = 3
FRIEND = "mirelle_tv"
KICK_ROOM = "77"
YOUTUBE_SAYS = ("Yuki_YT", "hello from youtube")
KICK_SAYS = ("Kiko", "hello from kick")
TAKEN_BACK = "this line is taken back"
KEPT = ("Alba_TV", "this line stays")


def post(url, body):
    req = urllib.request.Request(url, data=json.dumps(body).encode(), method="POST",
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=10) as r:
        return json.loads(r.read().decode() or "null")


def secret_file(stack, name, text):
    path = os.path.join(stack.tmp, name)
    with open(os.open(path, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
        f.write(text + "\n")
    return path


def start_kick(stack, go_file):
    """The Pusher stand-in: one connection, whose one message waits for go_file."""
    message = {"id": "kick-e2e-1", "content": KICK_SAYS[1], "type": "message",
               "sender": {"id": 4242, "username": KICK_SAYS[0], "slug": KICK_SAYS[0].lower(),
                          "identity": {"color": "#000000", "badges": []}}}
    script = {"chatrooms": [KICK_ROOM], "connections": [{"activity_timeout": 600, "steps": [
        {"ping": True}, {"wait_file": go_file},
        {"send": {"event": "App\\Events\\ChatMessageEvent", "channel": f"chatrooms.{KICK_ROOM}.v2",
                  "data": json.dumps(message)}}]}]}
    paths = {k: os.path.join(stack.tmp, "kick-" + k) for k in ("script", "ready", "log")}
    with open(paths["script"], "w") as f:
        json.dump(script, f)
    stack.spawn("kick-pusher", [PYTHON, os.path.join(SCRIPTED, "kick_pusher.py"), "--certs-dir",
                                os.path.join(stack.tmp, "kick-certs"), "--script", paths["script"],
                                "--ready-file", paths["ready"], "--log", paths["log"]], capture=True)
    wait_until(lambda: os.path.exists(paths["ready"]), 30, "the Pusher stand-in to listen")
    with open(paths["ready"]) as f:
        return json.load(f)


def start_platforms(stack, go_file):
    _, twitch = start_scripted(stack, "twitch-server", "twitch_server.py",
                               ["--certs-dir", os.path.join(stack.tmp, "twitch-certs")])
    _, youtube = start_scripted(stack, "youtube-api", "youtube_api.py",
                                ["--certs-dir", os.path.join(stack.tmp, "youtube-certs"), "--key", "e2e-key",
                                 "--interval-ms", "1000"])
    kick = start_kick(stack, go_file)
    helix_proc = stack.spawn("helix", [PYTHON, os.path.join(SCRIPTED, "helix_live.py"), "--client-id", "e2e-app",
                                       "--secret", "e2e-secret"], capture=True)
    helix = json.loads(helix_proc.wait_line(r'^\{"port"', 30))
    cas = os.path.join(stack.tmp, "cas.pem")  # the service takes one extra CA file
    with open(cas, "w") as out:
        for ca in (twitch["ca"], youtube["ca"], kick["ca"]):
            with open(ca) as f:
                out.write(f.read())
    return twitch, youtube, kick, f"http://127.0.0.1:{helix['port']}", cas


def platforms(stack):
    stack.start_desktop(compositor=True)
    go_file = os.path.join(stack.tmp, "kick-go")
    twitch, youtube, kick, helix, cas = start_platforms(stack, go_file)
    yt_control = f"http://127.0.0.1:{youtube['control']}"
    post(yt_control + "/live", {"video": "vidE2E", "chat": "chatE2E"})
    post(helix + "/control", {"live": [FRIEND]})
    asked_live = time.monotonic()
    service = Service(stack).start(
        "--twitch", "vimochan", "--twitch-server", f"127.0.0.1:{twitch['port']}",
        "--youtube-key-file", secret_file(stack, "youtube-key", "e2e-key"), "--youtube-video", "vidE2E",
        "--youtube-api", f"https://127.0.0.1:{youtube['port']}/youtube/v3",
        "--kick-chatroom", KICK_ROOM, "--kick-pusher", f"wss://127.0.0.1:{kick['port']}/app/k?protocol=7",
        "--twitch-client-id", "e2e-app", "--twitch-secret-file", secret_file(stack, "twitch-secret", "e2e-secret"),
        "--twitch-id-base", helix, "--helix-api", helix + "/helix", "--live-twitch", FRIEND, "--live-period", "2",
        "--hold", str(HOLD), "--tls-ca", cas, "--third-party-emotes", "off")

    wait_until(lambda: FRIEND in (service.get_json("/api/ferncircle") or []), 30, f"{FRIEND} on the live list")
    log(f"{FRIEND} listed {time.monotonic() - asked_live:.1f} s after the service was started with them live")

    def connected():
        states = {b["platform"]: b["state"] for b in service.admin_get("/api/admin/bridges")["bridges"]}
        return all(states.get(p) == "connected" for p in ("twitch", "youtube", "kick")) and states
    log("bridges:", wait_until(connected, 40, "the Twitch, YouTube and Kick bridges connected"))
    wait_until(lambda: any("#vimochan" in c["channels"] for c in twitch_control(twitch["control"],
                                                                                 {"cmd": "state"})["clients"]),
               20, "the Twitch bridge in #vimochan")

    companion = Companion(stack, {"service_origin": service.origin, "bluesky_origin": service.origin}).start()
    out = companion.proc
    out.wait_line(rf"^{FRIEND} is live!$", 20)
    notice = [f"{FRIEND} is live!", " - Watch Stream", " - Dismiss"]

    def notice_shown():
        shot = stack.screenshot()
        box = locate_mascot(shot)
        return box and beside(find_lines, shot, notice, box, pitch=40) and shot
    stack.save(wait_until(notice_shown, 15, f"the notice {notice}"), "live-followed")
    out.wait_line(r"^poll chat parse result: |chat poll inturrupted", 20)

    held(stack, service, twitch, out)
    mark = len(out.output())
    post(yt_control + "/messages", [{"type": "text", "author": "UCe2eviewer0000000000000", "name": YOUTUBE_SAYS[0],
                                     "text": YOUTUBE_SAYS[1]}])
    read_while_falling(stack, out, *YOUTUBE_SAYS, mark)
    mark = len(out.output())
    open(go_file, "w").close()
    read_while_falling(stack, out, *KICK_SAYS, mark)

    chat = service.get_json("/api/chat?count=3")
    log("chat page:", chat)
    check([(list(m["chatter"])[0], m.get("name")) for m in chat] ==
          [("twitch", KEPT[0]), ("youtube", YOUTUBE_SAYS[0]), ("kick", KICK_SAYS[0])], f"chatters {chat}")
    stack.save(stack.screenshot(), "platforms")
    check(companion.proc.alive(), "the companion ended")


def held(stack, service, twitch, out):
    """A line taken back within the hold never shows; the line kept shows after it."""
    mark = len(out.output())
    twitch_control(twitch["control"], {"cmd": "say", "channel": "#vimochan", "user": "troll_1", "id": "gone-1",
                                       "user_id": "41002", "text": TAKEN_BACK, "color": "#000000"})
    said = time.monotonic()
    time.sleep(1)  # the moderator's second: the delete comes within the hold
    twitch_control(twitch["control"], {"cmd": "send", "lines": [
        "@login=troll_1;room-id=;target-msg-id=gone-1;tmi-sent-ts=1 :tmi.twitch.tv CLEARMSG #vimochan :" + TAKEN_BACK]})
    twitch_control(twitch["control"], {"cmd": "say", "channel": "#vimochan", "user": "alba_tv",
                                       "display_name": KEPT[0], "user_id": "41001", "text": KEPT[1],
                                       "color": "#000000"})
    kept_said = time.monotonic()
    seen = []

    def kept_served():
        texts = [m["text"] for m in service.get_json("/api/chat?count=5") or []]
        seen.extend(texts)
        return KEPT[1] in texts
    wait_until(kept_served, HOLD + 10, "the kept line on the chat page")
    waited = time.monotonic() - kept_said
    log(f"the kept line was served {waited:.2f} s after it was said")
    check(waited >= HOLD - 0.2, f"the kept line was served {waited:.2f} s after it was said, within the hold")
    read_while_falling(stack, out, *KEPT, mark, label="held-kept")
    check(TAKEN_BACK not in seen and all(TAKEN_BACK not in m["text"] for m in service.get_json("/api/chat?count=5")),
          "the line taken back was on the chat page")
    check(not any(TAKEN_BACK in line for line in out.output()[mark:]), "the companion received the line taken back")
    log(f"the line taken back {time.monotonic() - said:.1f} s ago never showed")
