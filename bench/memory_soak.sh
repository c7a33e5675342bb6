#!/usr/bin/env bash
# Memory of the whole companion over a long run: peak resident size (VmHWM)
# and current resident size (VmRSS) from /proc at 1 minute and at the end.
#   Usage: bench/memory_soak.sh [BUILD_DIR] [SECONDS] [CHAT_EVERY]
#   (defaults: build, 600, 30)
# Runs its own Xvfb (1920 x 1080), openbox, xcompmgr, an xterm as the focused
# window and vimo-service on a free loopback port; a bridge message is sent
# every CHAT_EVERY seconds (0: none), so the chat poll, the boxes and the
# network worker are exercised. Stops everything it started.
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
DURATION=${2:-600}
CHAT_EVERY=${3:-30}
FIRST=60

for tool in Xvfb openbox xcompmgr xterm curl python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 2; }
done
[ -x "$BUILD/vimo" ] || { echo "missing $BUILD/vimo"; exit 2; }
SERVICE=$(find "$BUILD" -name vimo-service -type f -perm -u+x | head -n 1)
[ -n "$SERVICE" ] || { echo "missing vimo-service under $BUILD"; exit 2; }

WORK=$(mktemp -d /tmp/vimo-soak-XXXXXX)
PIDS=()
cleanup() {
  for ((i=${#PIDS[@]}-1; i>=0; i--)); do kill "${PIDS[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp +extension Composite >"$WORK/display" 2>"$WORK/xvfb.log" &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$WORK/display")"
openbox --sm-disable >/dev/null 2>&1 &
PIDS+=($!)
xcompmgr >/dev/null 2>&1 &
PIDS+=($!)
xterm -geometry 80x20+200+500 -T soakhost -e sh -c 'exec cat' >/dev/null 2>&1 &
PIDS+=($!)

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$SERVICE" --port "$PORT" --db "$WORK/service.db" >"$WORK/service.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do grep -q "admin token" "$WORK/service.log" 2>/dev/null && break; sleep 0.1; done
TOKEN=$(sed -n 's/.*admin token[^:]*: *//p' "$WORK/service.log" | head -n 1)
ORIGIN="http://127.0.0.1:$PORT"
for _ in $(seq 100); do curl -fs "$ORIGIN/api/ferncircle" >/dev/null && break; sleep 0.1; done

mkdir -p "$WORK/vimo"
cp "$BUILD/vimo" "$WORK/vimo/"
cp -r "$BUILD/assets" "$WORK/vimo/"
printf '{"service_origin":"%s","bluesky_origin":"%s"}' "$ORIGIN" "$ORIGIN" >"$WORK/vimo/config.json"
"$WORK/vimo/vimo" >"$WORK/vimo.log" 2>&1 &
VIMO=$!
PIDS+=($VIMO)

field() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$VIMO/status"; }
sample() {
  kill -0 "$VIMO" 2>/dev/null || { echo "the companion exited early"; tail -n 5 "$WORK/vimo.log"; exit 1; }
  printf '%-8s VmHWM %6d KiB  VmRSS %6d KiB\n' "$1" "$(field VmHWM)" "$(field VmRSS)"
}

START=$(date +%s)
NEXT_CHAT=$((START + 5))
N=0
echo "vimo pid $VIMO on $DISPLAY, service $ORIGIN, ${DURATION} s, a chat message every ${CHAT_EVERY} s"
sampled_first=0
while :; do
  NOW=$(date +%s)
  ELAPSED=$((NOW - START))
  if [ "$sampled_first" = 0 ] && [ "$ELAPSED" -ge "$FIRST" ]; then sample "${FIRST}s"; sampled_first=1; fi
  [ "$ELAPSED" -ge "$DURATION" ] && break
  if [ "$CHAT_EVERY" -gt 0 ] && [ "$NOW" -ge "$NEXT_CHAT" ]; then
    N=$((N + 1))
    curl -fs -H "Authorization: Bearer $TOKEN" -H 'Content-Type: application/json' \
      -d "{\"platform\":\"twitch\",\"sender_id\":\"$((N % 7))\",\"sender_name\":\"viewer$((N % 7))\",\"text\":\"soak message $N\"}" \
      "$ORIGIN/api/ingest" >/dev/null || echo "ingest $N failed"
    NEXT_CHAT=$((NOW + CHAT_EVERY))
  fi
  sleep 1  # pacing of the sampling loop, not synchronisation
done
sample "${DURATION}s"
echo "messages sent: $N; polls answered: $(grep -c '^poll chat parse result' "$WORK/vimo.log" || true)"
