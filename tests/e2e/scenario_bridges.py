"""Chat from the platforms onto the desktop: the service's Twitch and Matrix
bridges read a scripted Twitch IRC server and a scripted Matrix homeserver
(both over TLS with a CA of the test's own), and what their users say comes
down as chat boxes on the companion's screen under the names the platforms
gave."""

import json
import os
import socket
import time
import urllib.request

from harness import SCREEN_H, SCREEN_W, Companion, Service, check, find_text, locate_mascot, log, wait_until
from scenario_online import column_rect, white_blobs

SCRIPTED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "service", "tests", "scripted")
PYTHON = "/usr/bin/python3"  # Debian's, with python3-websockets
ROOM = "!main:example.org"
TWITCH_SAYS = ("Alba_TV", "hello from twitch")
MATRIX_SAYS = ("Bea", "hello from matrix")


def start_scripted(stack, name, script, args):
    """Starts a scripted server; its first line is {"port", "control", "ca"}."""
    proc = stack.spawn(name, [PYTHON, os.path.join(SCRIPTED, script)] + args, capture=True)
    line = proc.wait_line(r'^\{"port"', 30)
    return proc, json.loads(line)


def twitch_control(port, command):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall((json.dumps(command) + "\n").encode())
        return json.loads(s.makefile().readline())


def matrix_control(port, path, body):
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=json.dumps(body).encode(), method="POST",
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=10) as r:
        return json.loads(r.read().decode())


def read_while_falling(stack, out, name, text, mark, label=None):
    """Waits for the poll after mark and reads the box "name: text" as it falls.

    One message a poll, so each box falls alone: two boxes made in the same
    frame start in one place, knock each other over and tumble unread. A box
    falls upright and may land turned, where its text cannot be read:
    screenshots are taken as fast as they come while it falls (around the
    column above the mascot where it was made) and read afterwards."""
    out.wait_line(r"^last chat is now ", 20, mark)
    shots, until = [], time.monotonic() + 4
    while time.monotonic() < until:
        shots.append(stack.screenshot())
    box = locate_mascot(shots[0])
    rect = column_rect(box) if box else (0, 0, SCREEN_W, SCREEN_H)
    line = f"{name}: {text}"
    found = next((shot for shot in shots if find_text(shot, line, rect)), None)
    log(f"'{line}' read in {len(shots)} screenshots of its fall: {found is not None}")
    if found is None:
        for i in range(0, len(shots), 8):
            stack.save(shots[i], f"unread-{name.lower()}-{i}")
    check(found is not None, f"the chat box '{line}' was not read while it fell")
    stack.save(found, label or "bridged-" + name.lower())
    return found


def bridges(stack):
    # With a compositor: without one the window's shape follows a falling box
    # a moment late and cuts its text in the screenshots taken while it falls.
    stack.start_desktop(compositor=True)
    _, twitch = start_scripted(stack, "twitch-server", "twitch_server.py",
                               ["--certs-dir", os.path.join(stack.tmp, "twitch-certs")])
    _, matrix = start_scripted(stack, "matrix-server", "matrix_server.py",
                               ["--certs-dir", os.path.join(stack.tmp, "matrix-certs"), "--token", "e2e-token",
                                "--joined", ROOM])
    # One file of both test CAs: the service takes one extra CA file.
    cas = os.path.join(stack.tmp, "cas.pem")
    with open(cas, "w") as out:
        for ca in (twitch["ca"], matrix["ca"]):
            with open(ca) as f:
                out.write(f.read())
    token_file = os.path.join(stack.tmp, "matrix-token")
    with open(os.open(token_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
        f.write("e2e-token\n")
    service = Service(stack).start(*["--twitch", "vimochan", "--twitch-server", f"127.0.0.1:{twitch['port']}",
                                    "--matrix-homeserver", f"https://127.0.0.1:{matrix['port']}",
                                    "--matrix-token-file", token_file, "--matrix-rooms", ROOM, "--tls-ca", cas,
                                    "--third-party-emotes", "off"])  # loopback only: no emote providers
    service.proc.wait_line(r"twitch: reading", 10)
    service.proc.wait_line(r"matrix: reading", 10)

    def both_connected():
        states = {b["platform"]: b["state"] for b in service.admin_get("/api/admin/bridges")["bridges"]}
        return states.get("twitch") == "connected" and states.get("matrix") == "connected" and states
    states = wait_until(both_connected, 30, "both bridges connected")
    log("bridges:", states)
    wait_until(lambda: any("#vimochan" in c["channels"] for c in twitch_control(twitch["control"],
                                                                                 {"cmd": "state"})["clients"]),
               20, "the Twitch bridge in #vimochan")

    companion = Companion(stack, {"service_origin": service.origin, "bluesky_origin": service.origin}).start()
    out = companion.proc
    out.wait_line(r"/api/chat\?count=1", 15)
    out.wait_line(r"^poll chat parse result: |chat poll inturrupted", 15)

    mark = len(out.output())
    matrix_control(matrix["control"], "/events", [
        {"room": ROOM, "type": "member", "user": "@bea:example.org", "name": MATRIX_SAYS[0]},
        {"room": ROOM, "type": "text", "sender": "@bea:example.org", "body": MATRIX_SAYS[1]}])
    read_while_falling(stack, out, *MATRIX_SAYS, mark)
    mark = len(out.output())
    twitch_control(twitch["control"], {"cmd": "say", "channel": "#vimochan", "user": "alba_tv",
                                       "display_name": TWITCH_SAYS[0], "user_id": "41001", "text": TWITCH_SAYS[1],
                                       "color": "#000000"})  # a Twitch name has a colour: black reads as dark ink
    read_while_falling(stack, out, *TWITCH_SAYS, mark)
    chat = service.get_json("/api/chat?count=2")
    log("chat page:", chat)
    check([list(m["chatter"]) for m in chat] == [["matrix"], ["twitch"]], f"chatters {chat}")
    wait_until(lambda: len(white_blobs(stack.screenshot(), None)) >= 2, 10, "both chat boxes lying on the screen")
    stack.save(stack.screenshot(), "bridged-chat")
    check(companion.proc.alive(), "the companion ended")
