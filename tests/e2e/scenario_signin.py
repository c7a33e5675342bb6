"""Sign-in with Twitch from the desktop: the service signs people in at a local
OAuth 2.0 provider (tools/oauth-mock, oauth2-mock-server under Twitch's paths),
a browser stand-in follows the link page through it as a person would, and the
companion greets the provider's name. The bubble asking to authorise shows the
code the service gave with the link, and the link page shows the same one. Then that person's Twitch chat (from
the scripted Twitch server) and a post from their other installation come down
as boxes under the same name, with one user lookup between them."""

import json
import os
import re
import subprocess
import time
import urllib.parse
import urllib.request

from harness import Companion, Service, beside, check, click_element, find_lines, locate_mascot, log, wait_until
from scenario_bridges import read_while_falling, start_scripted, twitch_control
from scenario_desktop import MAIN_MENU, click_line, open_main_menu
from scenario_online import AUTHORISE

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
PROVIDER = os.path.join(ROOT, "tools", "oauth-mock", "provider.mjs")
BROWSER_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser-signin")
PERSON = {"id": "71234", "login": "streamfan", "name": "Streamfan"}


def start_provider(stack):
    users = {PERSON["login"]: {"id": PERSON["id"], "name": PERSON["name"]}}
    proc = stack.spawn("oauth-provider", ["node", PROVIDER, "--platform", "twitch", "--client-id", "vimo-e2e",
                                          "--client-secret", "e2e-secret", "--users", json.dumps(users)], capture=True)
    port = re.search(r"\d+", proc.wait_line(r"^listening \d+", 30)).group(0)
    return f"http://127.0.0.1:{port}"


def link_other_installation(service, provider_log):
    """The person's second installation signs in too (the same steps, by the
    browser stand-in); its login id."""
    login_id = "e2e:other:desk"
    url = service.get_json(f"/api/vimoexe/login?id={login_id}")["url"]
    env = dict(os.environ, VIMO_E2E_BROWSER_LOG=provider_log, VIMO_E2E_ACCOUNT=PERSON["login"])
    subprocess.run([os.path.join(BROWSER_DIR, "xdg-open"), url], env=env, timeout=60, check=True)
    return login_id


def signin(stack):
    stack.start_desktop(compositor=True)
    host = stack.start_xterm(1350, 560)
    _, twitch = start_scripted(stack, "twitch-server", "twitch_server.py",
                               ["--certs-dir", os.path.join(stack.tmp, "twitch-certs")])
    provider = start_provider(stack)
    secret = os.path.join(stack.tmp, "twitch-secret")
    with open(os.open(secret, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
        f.write("e2e-secret\n")
    service = Service(stack).start("--twitch", "vimochan", "--twitch-server", f"127.0.0.1:{twitch['port']}",
                                   "--tls-ca", twitch["ca"], "--twitch-client-id", "vimo-e2e",
                                   "--twitch-secret-file", secret, "--twitch-id-base", provider,
                                   "--third-party-emotes", "off")  # loopback only: no emote providers
    service.proc.wait_line(r"twitch: reading", 10)
    wait_until(lambda: any("#vimochan" in c["channels"] for c in twitch_control(twitch["control"],
                                                                                 {"cmd": "state"})["clients"]),
               20, "the Twitch bridge in #vimochan")

    # -- a fresh companion logs in: the browser goes through Twitch's stand-in --
    browser_log = os.path.join(stack.artifacts, "browser.log")
    env = {"PATH": BROWSER_DIR + os.pathsep + stack.env.get("PATH", "/usr/bin:/bin"),
           "VIMO_E2E_BROWSER_LOG": browser_log, "VIMO_E2E_SIGNIN": "twitch", "VIMO_E2E_ACCOUNT": PERSON["login"]}
    companion = Companion(stack, {"service_origin": service.origin, "bluesky_origin": service.origin}).start(env)
    stack.activate(host)
    out = companion.proc
    lines = open_main_menu(stack, companion, MAIN_MENU)
    click_line(stack, companion, lines[1], " - Log In")
    wait_until(lambda: os.path.exists(browser_log) and re.search(r"^(signed in|not signed in|refused|failed)",
                                                                 open(browser_log).read(), re.M), 20,
               "the browser stand-in to go through the sign-in")
    with open(browser_log) as f:
        trail = f.read()
    log("browser:", trail)
    check("\nsigned in\n" in trail, f"the sign-in did not end on the service's page: {trail}")
    check(f"consent page {provider}/oauth2/authorize" in trail, "the browser never saw the provider's consent page")
    # The code: from the service's answer, on the page the browser opened, and
    # drawn in the bubble as its third line (read off the screen, glyph for glyph).
    code = out.wait_line(r"^login code: ", 10).split(": ", 1)[1].strip()
    check(re.fullmatch(r"[2-9A-HJ-NP-Z]{3}-[2-9A-HJ-NP-Z]{3}", code), f"the code {code!r} is not a short plain one")
    check(f"\npage code {code}\n" in trail, f"the link page did not show the code {code}: {trail}")
    asking = AUTHORISE + [f"Your code: {code}"]

    def bubble_with_code():
        shot = stack.screenshot()
        found = beside(find_lines, shot, asking, locate_mascot(shot), pitch=40)
        return found and (found, shot)
    ask, shot = wait_until(bubble_with_code, 10, f"the bubble {asking}")
    log("bubble with the code:", stack.save(shot, "signin-code"))
    click_element(stack, companion, lambda: (ask[0][0] + 40, ask[0][1] + 8), 1, "the authorise bubble")
    greeting = [f"Logged in as {PERSON['name']}!"]
    def greeted():
        shot = stack.screenshot()
        return beside(find_lines, shot, greeting, locate_mascot(shot)) and shot
    stack.save(wait_until(greeted, 10, f"the greeting {greeting}"), "greeting")
    # The earlier bubbles burst into letters that live 3 to 6 s: the picture
    # kept is of the greeting alone, still there once they are gone.
    shown = time.monotonic()
    stack.save(wait_until(lambda: time.monotonic() - shown > 6.5 and greeted(), 15, "the greeting to stay"),
               "signed-in-twitch")
    answer = json.loads(out.wait_line(r'^login 1 result: \{"status":true', 5).split(": ", 1)[1])
    check(answer["user"]["twitch"] == {"id": PERSON["id"], "name": PERSON["name"]},
          f"the login answer is not the Twitch identity: {answer}")

    # -- the same person's Twitch chat and their other desk's post: one name --
    mark = len(out.output())
    twitch_control(twitch["control"], {"cmd": "say", "channel": "#vimochan", "user": PERSON["login"],
                                       "display_name": PERSON["name"], "user_id": PERSON["id"],
                                       "text": "hello from twitch", "color": "#000000"})  # read as dark ink
    read_while_falling(stack, out, PERSON["name"], "hello from twitch", mark, "same-name-twitch")
    other = link_other_installation(service, browser_log)
    check(service.get_json(f"/api/vimoexe/login?id={other}")["user"]["id"] == answer["user"]["id"],
          "the second installation did not join the person's account")
    mark = len(out.output())
    post = urllib.request.Request(f"{service.origin}/api/vimoexe/chat?id={other}&content="
                                  + urllib.parse.quote("hello from my other desk"), method="POST")
    with urllib.request.urlopen(post, timeout=10) as r:
        log("posted as", r.read().decode())
    read_while_falling(stack, out, PERSON["name"], "hello from my other desk", mark, "same-name-post")
    page = service.get_json("/api/chat?count=2")
    chatters, names = [m["chatter"] for m in page], [m.get("name") for m in page]
    check(chatters == [{"twitch": PERSON["id"]}] * 2, f"the chat page names {chatters}")
    check(names == [PERSON["name"]] * 2, f"the chat page's names {names}")
    # Each name comes with its message: the companion asks /api/user for none.
    lookups = [l for l in out.output() if re.search(r"Sending request to: .*/api/user\?", l)]
    log("user lookups:", lookups)
    check(not lookups, f"{len(lookups)} user lookups for two boxes whose names came with them: {lookups}")
    check(companion.proc.alive(), "the companion ended")
