#!/usr/bin/env bash
# Load figures of the chat page (what every companion polls) through nginx with
# deploy/nginx's configuration and straight at the service, in the same run:
# wrk, 200 connections, against /api/chat?count=8 on loopback, each way
# ROUNDS times (alternating), on a fresh database of 200 messages. Through
# nginx it also counts the requests that reached the service (access-log lines
# naming the upstream: misses and refreshes). Then the writer's figure:
# bench_service_writer, messages per second stored by one SQLite writer.
#
# wrk runs from 127.0.0.1, which is rendered exempt from the per-address
# limits (render.sh --exempt 127.0.0.1): otherwise the one benchmarking
# address would be held to 10 requests/s like any single companion's.
# Client, nginx and service share this machine's cores.
#
# Usage: bench/service_nginx_load.sh [build dir] [seconds] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
rounds=${3:-2}
conns=200
bin="$build/vimo-service"
[ -x "$bin" ] || { echo "build $bin first (cmake --build $build --target vimo-service)"; exit 1; }
PATH=$PATH:/usr/sbin:/sbin  # where Debian puts nginx
command -v nginx >/dev/null || { echo "nginx is not installed (scripts/setup.sh installs it)"; exit 1; }
command -v wrk >/dev/null || { echo "wrk is not installed (scripts/setup.sh installs it)"; exit 1; }
ulimit -n 16384 2>/dev/null || ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d)
log="$work/service.log"
pids=()
cleanup() {
  for p in "${pids[@]+"${pids[@]}"}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]+"${pids[@]}"}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

"$bin" --port 0 --behind-proxy --db "$work/service.db" >"$log" 2>&1 &
pids+=($!)
origin=""
for _ in $(seq 1 100); do
  origin=$(sed -n 's/^vimo-service: listening on \([^ ]*\).*/\1/p' "$log")
  [ -n "$origin" ] && break
  sleep 0.05
done
[ -n "$origin" ] || { cat "$log"; exit 1; }
token=$(sed -n 's/^vimo-service: admin token (shown once, keep it): //p' "$log")
service_addr=${origin#http://}

platforms=(twitch discord web matrix corvane)
for i in $(seq 1 200); do
  p=${platforms[$((i % 5))]}
  curl -fs -o /dev/null -H "Authorization: Bearer $token" \
    -d "{\"platform\":\"$p\",\"sender_id\":\"$((1000 + i % 37))\",\"sender_name\":\"chatter $((i % 37))\",\"text\":\"message number $i with some words\"}" \
    "$origin/api/ingest"
done

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
prefix="$work/nginx"
deploy/nginx/render.sh --standalone "$prefix" --listen "127.0.0.1:$port" --upstream "$service_addr" --exempt 127.0.0.1
nginx -p "$prefix" -c "$prefix/nginx.conf" -e "$prefix/logs/start.log" &
pids+=($!)
for _ in $(seq 1 100); do
  curl -fs -o /dev/null "http://127.0.0.1:$port/api/chat?count=8" && break
  sleep 0.05
done
access="$prefix/logs/vimo-access.log"

echo "processor: $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) CPUs"
echo "service $origin, nginx http://127.0.0.1:$port (deploy/nginx/vimo.conf), $rounds rounds of ${seconds}s each"
printf '%-8s %-6s %10s %9s %9s %9s %8s %s\n' way round "requests/s" p50 p99 non-2xx sockerr "reached the service"

# One wrk run: prints its summary line; full output in $work/wrk-<way>-<round>.txt.
run() {
  local way=$1 round=$2 url=$3 out="$work/wrk-$1-$2.txt" before=0
  [ "$way" = nginx ] && before=$(wc -l <"$access")
  wrk -t2 -c"$conns" -d"${seconds}s" --latency "$url" >"$out"
  local rps p50 p99 non2xx sockerr reached="-"
  rps=$(awk '/^Requests\/sec:/ {print $2}' "$out")
  p50=$(awk '$1 == "50%" {print $2}' "$out")
  p99=$(awk '$1 == "99%" {print $2}' "$out")
  non2xx=$(awk '/Non-2xx or 3xx responses:/ {print $NF}' "$out")
  sockerr=$(awk '/Socket errors:/ {gsub(",", ""); print $4 + $6 + $8 + $10}' "$out")
  if [ "$way" = nginx ]; then
    # Requests whose line names the upstream went to the service (MISS, EXPIRED: the refreshes).
    reached=$(tail -n +"$((before + 1))" "$access" |
      awk '{ n++ } /upstream=[0-9]/ { u++ } END { printf "%d of %d (%.4f%%)", u, n, n ? 100 * u / n : 0 }')
  fi
  printf '%-8s %-6s %10s %9s %9s %9s %8s %s\n' "$way" "$round" "$rps" "$p50" "$p99" "${non2xx:-0}" "${sockerr:-0}" "$reached"
}

for r in $(seq 1 "$rounds"); do
  run nginx "$r" "http://127.0.0.1:$port/api/chat?count=8"
  run direct "$r" "$origin/api/chat?count=8"
done
echo "commands: wrk -t2 -c$conns -d${seconds}s --latency http://127.0.0.1:PORT/api/chat?count=8 (nginx, then the service's own port)"

writer="$build/bench/bench_service_writer"
if [ -x "$writer" ]; then
  echo
  echo "writer: $writer (store_add_message, one transaction per message)"
  "$writer" 2>&1 | grep -E '^BM_'
else
  echo "writer: build $writer for the writer's figure (cmake --build $build --target bench_service_writer)"
fi
