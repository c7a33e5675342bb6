#!/usr/bin/env bash
# Whole-program figures of the companion, each against a baseline measured in
# the same run (see README.md, "Whole program"):
#   idle     CPU of the whole companion process over SECONDS with the mascot
#            wandering and no chat, against bench_baseline_window (the same
#            window, cleared at 60 fps), without and with a compositor
#   busy     main-thread CPU per frame, 200 chat boxes + 300 letters vs idle
#   startup  launch to the first screen showing the mascot, against the
#            baseline window's first frame (xcompmgr running)
#   stall    longest frame while polling a chat service that answers after
#            200 ms, and one that never answers, against one that answers at once
#   quit     SIGINT to exit while the poll's request hangs, against the same
#            with a service that answers
#   memory   resident memory (VmRSS, and the peak VmHWM) of the companion and
#            of bench_baseline_window after MEMORY_SECONDS (default 600) of
#            idling side by side without a compositor (not in the default set)
#   wine     CPU of vimo.exe (the Windows build, WINDOWS_BUILD, default
#            build-windows) under Wine against the Linux companion, both idle
#            without a compositor (not in the default set)
# Usage: bench/product.sh [BUILD_DIR] [SECONDS]   (defaults: build, 60)
#        SECTIONS="idle busy startup stall quit" (the default) picks sections.
# Runs its own Xvfb (1280 x 720) and stops everything it started.
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
SECONDS_IDLE=${2:-60}
SECTIONS=${SECTIONS:-idle busy startup stall quit}
want() { case " $SECTIONS " in *" $1 "*) return 0 ;; esac; return 1; }
WARMUP=5
RUNS=5
TCK=$(getconf CLK_TCK)

for tool in Xvfb xcompmgr; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 2; }
done
for exe in vimo bench/bench_baseline_window bench/bench_app_frame bench/bench_startup_probe; do
  [ -x "$BUILD/$exe" ] || { echo "missing $BUILD/$exe (cmake --build $BUILD --target vimo bench_baseline_window bench_app_frame bench_startup_probe)"; exit 2; }
done

WORK=$(mktemp -d /tmp/vimo-product-XXXXXX)
PIDS=()
cleanup() {
  for ((i=${#PIDS[@]}-1; i>=0; i--)); do kill "${PIDS[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number once it accepts clients.
Xvfb -displayfd 1 -screen 0 1280x720x24 -nolisten tcp +extension Composite >"$WORK/display" 2>"$WORK/xvfb.log" &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$WORK/display")"

# The companion from a folder of its own; the services are a loopback port
# nobody listens on, so there is no chat and every online call fails at once.
mkdir "$WORK/vimo"
cp "$BUILD/vimo" "$WORK/vimo/"
cp -r "$BUILD/assets" "$WORK/vimo/assets"
DEAD="http://127.0.0.1:9"
printf '{"service_origin": "%s", "bluesky_origin": "%s"}' "$DEAD" "$DEAD" >"$WORK/vimo/config.json"

XCOMPMGR=""
compositor_on() {
  xcompmgr >/dev/null 2>&1 &
  XCOMPMGR=$!
  PIDS+=($XCOMPMGR)
  sleep 1
}
compositor_off() {
  [ -n "$XCOMPMGR" ] && kill "$XCOMPMGR" 2>/dev/null && wait "$XCOMPMGR" 2>/dev/null || true
  XCOMPMGR=""
  sleep 1
}

# utime + stime of the whole process (all threads), in clock ticks.
cpu_ticks() {
  local stat
  stat=$(cat "/proc/$1/stat")
  stat=${stat##*) }  # fields after the command name
  set -- $stat
  echo $(( ${12} + ${13} ))
}

# CPU share of one core used by the command over SECONDS_IDLE, after WARMUP s.
idle_share() {
  "$@" >"$WORK/last.log" 2>&1 &
  local pid=$!
  sleep "$WARMUP"
  local t0 c0 t1 c1
  t0=$(date +%s.%N); c0=$(cpu_ticks "$pid")
  sleep "$SECONDS_IDLE"
  t1=$(date +%s.%N); c1=$(cpu_ticks "$pid")
  kill -INT "$pid"; wait "$pid" 2>/dev/null || true
  awk -v c=$((c1 - c0)) -v tck="$TCK" -v t0="$t0" -v t1="$t1" 'BEGIN { printf "%.2f", 100 * c / tck / (t1 - t0) }'
}

if want idle; then
echo "== idle: process CPU over ${SECONDS_IDLE} s, % of one core (1280 x 720 Xvfb, llvmpipe)"
for mode in none xcompmgr; do
  [ "$mode" = xcompmgr ] && compositor_on
  base=$(idle_share "$BUILD/bench/bench_baseline_window")
  comp=$(idle_share "$WORK/vimo/vimo")
  awk -v m="$mode" -v b="$base" -v c="$comp" 'BEGIN { printf "compositor %-8s baseline %6.2f%%  companion %6.2f%%  ratio %.2f\n", m, b, c, c / b }'
  [ "$mode" = xcompmgr ] && compositor_off
done
fi

if want busy; then
echo "== busy: main-thread CPU per frame (no compositor)"
"$BUILD/bench/bench_app_frame" busy --frames 600 2>/dev/null | grep -E "^(idle|busy)"
fi

if want startup; then
echo "== startup: launch to the first screen with the mascot, ms (xcompmgr running; median of $RUNS)"
compositor_on
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
: >"$WORK/base_ms"; : >"$WORK/comp_ms"
for _ in $(seq "$RUNS"); do
  "$BUILD/bench/bench_startup_probe" -- "$BUILD/bench/bench_baseline_window" --mark | awk '/^startup_ms/ { print $2 }' >>"$WORK/base_ms"
  (cd "$WORK" && "$BUILD/bench/bench_startup_probe" -- "$WORK/vimo/vimo") | awk '/^startup_ms/ { print $2 }' >>"$WORK/comp_ms"
done
b=$(median <"$WORK/base_ms"); c=$(median <"$WORK/comp_ms")
echo "baseline runs: $(tr '\n' ' ' <"$WORK/base_ms")"
echo "companion runs: $(tr '\n' ' ' <"$WORK/comp_ms")"
awk -v b="$b" -v c="$c" 'BEGIN { printf "baseline %.1f ms  companion %.1f ms  ratio %.2f\n", b, c, c / b }'
compositor_off
fi

if want stall; then
echo "== stall: frames while polling a loopback chat service"
"$BUILD/bench/bench_app_frame" stall --seconds 16 2>/dev/null | grep -E "^answer"
fi

if want quit; then
echo "== quit: SIGINT to exit while the chat poll's request hangs, ms (baseline: the same with a service that answers)"
# A loopback service that accepts and never answers, and one that answers at
# once (404 for everything); the companion's first poll goes out 3 s after start.
python3 - "$WORK/vimo" "$RUNS" <<'PY'
import http.server, os, shutil, signal, socket, subprocess, sys, tempfile, threading, time
src, runs = sys.argv[1], int(sys.argv[2])
silent = socket.socket(); silent.bind(("127.0.0.1", 0)); silent.listen(64)
class Quick(http.server.BaseHTTPRequestHandler):
    def do_GET(self): self.send_error(404)
    def log_message(self, *a): pass
quick = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Quick)
threading.Thread(target=quick.serve_forever, daemon=True).start()
def one(port):
    d = tempfile.mkdtemp(prefix="vimo-quit-")
    shutil.copy(os.path.join(src, "vimo"), d); os.symlink(os.path.join(src, "assets"), os.path.join(d, "assets"))
    origin = "http://127.0.0.1:%d" % port
    open(os.path.join(d, "config.json"), "w").write('{"service_origin":"%s","bluesky_origin":"%s"}' % (origin, origin))
    p = subprocess.Popen([os.path.join(d, "vimo")], stdout=subprocess.PIPE, text=True)
    for line in p.stdout:
        if "/api/chat?count=1" in line: break
    time.sleep(0.3)  # the request is in flight (or answered, for the baseline)
    t = time.monotonic(); p.send_signal(signal.SIGINT); p.stdout.read(); p.wait()
    ms = (time.monotonic() - t) * 1000
    saved = '"login_id"' in open(os.path.join(d, "config.json")).read()
    shutil.rmtree(d)
    return ms, p.returncode, saved
for name, port in (("answering", quick.server_address[1]), ("hanging", silent.getsockname()[1])):
    got = [one(port) for _ in range(runs)]
    ms = sorted(g[0] for g in got)
    print("%-10s runs %s ms  median %.0f ms  max %.0f ms  exit %s  config saved %s" % (
        name, " ".join("%.0f" % m for m in ms), ms[len(ms) // 2], ms[-1],
        sorted(set(g[1] for g in got)), all(g[2] for g in got)))
PY
fi

if want memory; then
MEMORY_SECONDS=${MEMORY_SECONDS:-600}
echo "== memory: resident size after ${MEMORY_SECONDS} s idle, no compositor, KiB"
"$BUILD/bench/bench_baseline_window" >"$WORK/base_mem.log" 2>&1 &
base_pid=$!
PIDS+=($base_pid)
"$WORK/vimo/vimo" >"$WORK/comp_mem.log" 2>&1 &
comp_pid=$!
PIDS+=($comp_pid)
sleep "$MEMORY_SECONDS"
kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
b=$(kb "$base_pid" VmRSS); c=$(kb "$comp_pid" VmRSS)
echo "baseline VmRSS $b (peak $(kb "$base_pid" VmHWM))  companion VmRSS $c (peak $(kb "$comp_pid" VmHWM))"
awk -v b="$b" -v c="$c" 'BEGIN { printf "companion - baseline %.1f MiB  ratio %.2f\n", (c - b) / 1024, c / b }'
kill -INT "$comp_pid" "$base_pid" 2>/dev/null || true
wait "$comp_pid" "$base_pid" 2>/dev/null || true
fi

if want wine; then
WINDOWS_BUILD=$(cd "${WINDOWS_BUILD:-$BUILD/../build-windows}" && pwd)
[ -f "$WINDOWS_BUILD/vimo.exe" ] || { echo "missing $WINDOWS_BUILD/vimo.exe"; exit 2; }
echo "== wine: process CPU over ${SECONDS_IDLE} s, % of one core, no compositor (Wine's own server apart)"
mkdir "$WORK/vimo-windows"
cp "$WINDOWS_BUILD/vimo.exe" "$WORK/vimo-windows/"
cp -r "$BUILD/assets" "$WORK/vimo-windows/assets"
cp "$WORK/vimo/config.json" "$WORK/vimo-windows/"
export WINEPREFIX="$WORK/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
linux=$(idle_share "$WORK/vimo/vimo")
# wine execs into the Windows process: the pid started is vimo.exe's.
windows=$(cd "$WORK/vimo-windows" && idle_share wine "$WORK/vimo-windows/vimo.exe")
# The server Wine started with vimo.exe outlives it by a few seconds.
server=$(pgrep -n wineserver || true)
server_ms=$([ -n "$server" ] && echo $(( $(cpu_ticks "$server") * 1000 / TCK )) || echo "?")
awk -v l="$linux" -v w="$windows" 'BEGIN { printf "linux vimo %6.2f%%  vimo.exe under wine %6.2f%%  ratio %.2f\n", l, w, w / l }'
echo "wineserver over vimo.exe's whole run (start-up included): $server_ms ms CPU"
wineserver -k || true
fi
