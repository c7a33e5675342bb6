#!/usr/bin/env bash
# Load figure of the community service's chat page (what every companion polls):
# wrk, 50 connections, 20 s, against /api/chat?count=8 on loopback, with a fresh
# database of 200 messages. Usage: bench/service_load.sh [build dir] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-20}
bin="$build/vimo-service"
[ -x "$bin" ] || { echo "build $bin first (cmake --build $build --target vimo-service)"; exit 1; }

work=$(mktemp -d)
log="$work/service.log"
"$bin" --port 0 --db "$work/service.db" >"$log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT

origin=""
for _ in $(seq 1 100); do
  origin=$(sed -n 's/^vimo-service: listening on \([^ ]*\).*/\1/p' "$log")
  [ -n "$origin" ] && break
  sleep 0.05
done
[ -n "$origin" ] || { cat "$log"; exit 1; }
token=$(sed -n 's/^vimo-service: admin token (shown once, keep it): //p' "$log")

platforms=(twitch discord web matrix corvane)
for i in $(seq 1 200); do
  p=${platforms[$((i % 5))]}
  curl -fs -o /dev/null -H "Authorization: Bearer $token" \
    -d "{\"platform\":\"$p\",\"sender_id\":\"$((1000 + i % 37))\",\"sender_name\":\"chatter $((i % 37))\",\"text\":\"message number $i with some words\"}" \
    "$origin/api/ingest"
done

echo "vimo-service $origin, $(nproc) CPUs, wrk -t4 -c50 -d${seconds}s --latency $origin/api/chat?count=8"
wrk -t4 -c50 -d"${seconds}s" --latency "$origin/api/chat?count=8"
