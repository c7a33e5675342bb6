#!/usr/bin/python3
"""A scripted Twitch for live notices: the OAuth server's client-credentials
token and Helix's /streams, in plain HTTP on loopback (the service allows http://
bases on this machine only). Used by the live-notice test; runnable by hand:

    /usr/bin/python3 helix_live.py [--port 0] [--client-id ID] [--secret SECRET]
    # prints {"port": P} on its first line; point the service at it with
    #   --twitch-id-base http://127.0.0.1:P --helix-api http://127.0.0.1:P/helix
    curl -d '{"live": ["quelmara"]}' http://127.0.0.1:P/control

  POST /oauth2/token  form client_id, client_secret, grant_type=client_credentials
                      -> {"access_token", "expires_in", "token_type"}; 400/403 otherwise
  GET /helix/streams?user_login=a&user_login=b...  with "Authorization: Bearer T" and
                      "Client-Id: ID": {"data": [the live ones asked], "pagination": {}};
                      401 for a token not granted or revoked; 400 beyond 100 logins
  POST /control {"live": [logins]}?, {"revoke": true}? (the current token answers 401),
                {"fail": N}? (the next N /streams calls answer 503)
                -> {"grants", "asks", "most_logins", "live"}
"""
import argparse
import json
import secrets
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

lock = threading.Lock()
state = {"live": [], "tokens": set(), "grants": 0, "asks": 0, "most_logins": 0, "fail": 0}
args = None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *_):
        pass

    def answer(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def body(self):
        return self.rfile.read(int(self.headers.get("Content-Length", "0")))

    def do_POST(self):
        if self.path == "/oauth2/token":
            form = urllib.parse.parse_qs(self.body().decode())
            one = lambda k: form.get(k, [""])[0]
            if one("grant_type") != "client_credentials":
                return self.answer(400, {"status": 400, "message": "unsupported grant_type"})
            if one("client_id") != args.client_id or one("client_secret") != args.secret:
                return self.answer(403, {"status": 403, "message": "invalid client secret"})
            token = secrets.token_hex(15)
            with lock:
                state["tokens"].add(token)
                state["grants"] += 1
            return self.answer(200, {"access_token": token, "expires_in": 5000000, "token_type": "bearer"})
        if self.path == "/control":
            cmd = json.loads(self.body() or b"{}") or {}
            with lock:
                if "live" in cmd:
                    state["live"] = [login.lower() for login in cmd["live"]]
                if cmd.get("revoke"):
                    state["tokens"].clear()
                state["fail"] = cmd.get("fail", state["fail"])
                return self.answer(200, {k: state[k] for k in ("grants", "asks", "most_logins", "live")})
        self.answer(404, {"status": 404})

    def do_GET(self):
        url = urllib.parse.urlparse(self.path)
        if url.path != "/helix/streams":
            return self.answer(404, {"status": 404})
        logins = urllib.parse.parse_qs(url.query).get("user_login", [])
        auth = self.headers.get("Authorization", "")
        with lock:
            state["asks"] += 1
            state["most_logins"] = max(state["most_logins"], len(logins))
            if state["fail"] > 0:
                state["fail"] -= 1
                return self.answer(503, {"status": 503, "message": "scripted failure"})
            if not auth.startswith("Bearer ") or auth[7:] not in state["tokens"]:
                return self.answer(401, {"status": 401, "message": "Invalid OAuth token"})
            if self.headers.get("Client-Id") != args.client_id:
                return self.answer(401, {"status": 401, "message": "Client ID and OAuth token do not match"})
            if len(logins) > 100:
                return self.answer(400, {"status": 400, "message": "at most 100 user_login"})
            data = [{"user_login": l, "user_name": l, "type": "live", "started_at": "2026-12-09T18:00:00Z"}
                    for l in logins if l.lower() in state["live"]]
        self.answer(200, {"data": data, "pagination": {}})


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--client-id", default="vimo-app")
    parser.add_argument("--secret", default="vimo-secret")
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    print(json.dumps({"port": server.server_address[1]}), flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
