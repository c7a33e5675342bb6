#!/usr/bin/env bash
# Install into a fresh folder, then run the desktop entry's command from another
# working directory: the companion must start, find its assets (it draws the
# mascot, so no "Failed to load" line) and write config.json in the install
# folder; the entry's Quit action ends it as Ctrl-C does. Also: a folder that
# cannot be written is refused with a message, and --autostart (with a folder)
# adds the entry to the autostart folder, which a plain install leaves alone.
set -euo pipefail
SRC=$1
BUILD=$2
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; [ -f "$work/vimo.log" ] && sed 's/^/  vimo: /' "$work/vimo.log" | tail -20; exit 1; }

export XDG_DATA_HOME="$work/data"
export XDG_CONFIG_HOME="$work/config"
dest="$work/data/vimo"
VIMO_SKIP_SETUP=1 VIMO_BUILD_DIR="$BUILD" bash "$SRC/scripts/install.sh" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; fail "install.sh failed"; }
for f in vimo vimo-service assets/neodgm.ttf assets/guy.png assets/vimo/idle.png assets/bubble.mc.png; do
  [ -e "$dest/$f" ] || fail "install did not lay out $f"
done
entry="$work/data/applications/vimo.desktop"
[ -f "$entry" ] || fail "no desktop entry at $entry"
grep -q '^Type=Application$' "$entry" || fail "desktop entry has no Type=Application"
# The main group's Exec, and the Quit action's.
cmd=$(sed -n '/^\[Desktop Entry\]/,/^\[/s/^Exec=//p' "$entry")
[ -n "$cmd" ] || fail "desktop entry has no Exec line"
grep -q '^Actions=quit;$' "$entry" || fail "desktop entry lists no quit action"
quit_cmd=$(sed -n '/^\[Desktop Action quit\]/,/^\[/s/^Exec=//p' "$entry")
[ "$quit_cmd" = "\"$dest/vimo\" --quit" ] || fail "quit action runs '$quit_cmd'"
sed -n '/^\[Desktop Action quit\]/,/^\[/p' "$entry" | grep -q '^Name=Quit$' || fail "quit action has no Name"
[ ! -e "$XDG_CONFIG_HOME/autostart/vimo.desktop" ] || fail "an install without --autostart wrote an autostart entry"

# Refusal: a folder nobody can write (not even root: /proc).
if out=$(VIMO_SKIP_SETUP=1 VIMO_BUILD_DIR="$BUILD" bash "$SRC/scripts/install.sh" /proc/vimo-install-test 2>&1); then
  fail "install into /proc was not refused"
fi
echo "$out" | grep -q "cannot write" || fail "refusal gave no clear message: $out"

# Start the entry's command (the way a launcher does: a shell-quoted argument
# vector) from an unrelated working directory on a display of our own.
disp=""
for n in $(seq 140 180); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then disp=":$n"; break; fi
done
[ -n "$disp" ] || fail "no free X display"
Xvfb "$disp" -screen 0 1280x720x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X${disp#:}" ] && break; sleep 0.05; done
mkdir -p "$work/elsewhere"
(cd "$work/elsewhere" && DISPLAY=$disp eval "exec $cmd" >"$work/vimo.log" 2>&1) & pids+=($!)
vimo_pid=$!
for _ in $(seq 1 200); do
  [ -s "$dest/config.json" ] && break
  kill -0 "$vimo_pid" 2>/dev/null || fail "the companion ended early"
  sleep 0.05
done
[ -s "$dest/config.json" ] || fail "config.json was not written in $dest"
grep -q '"login_id":"[0-9]*:[0-9]*:[0-9]*"' "$dest/config.json" || fail "config.json has no login id: $(cat "$dest/config.json")"
[ ! -e "$work/elsewhere/config.json" ] || fail "config.json was written in the working directory"
grep -qi "failed to load" "$work/vimo.log" && fail "the companion could not load an asset"
# The Quit action, from yet another folder, ends it as Ctrl-C does.
quit_status=0
(cd "$work" && eval "exec $quit_cmd" >"$work/quit.log" 2>&1) || quit_status=$?
[ "$quit_status" -eq 0 ] || fail "the quit action exited with $quit_status: $(cat "$work/quit.log")"
status=0
wait "$vimo_pid" || status=$?
[ "$status" -eq 2 ] || fail "exit status $status after the quit action, expected 2 (as after Ctrl-C)"
grep -q '^Interrupt signal (2) received\.$' "$work/vimo.log" || fail "the quit action did not end it as Ctrl-C does"

# --autostart after the folder: the same entry, for that folder, also in the
# autostart folder (under XDG_CONFIG_HOME).
second="$work/second"
VIMO_SKIP_SETUP=1 VIMO_BUILD_DIR="$BUILD" bash "$SRC/scripts/install.sh" "$second" --autostart >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; fail "install.sh FOLDER --autostart failed"; }
auto="$XDG_CONFIG_HOME/autostart/vimo.desktop"
[ -f "$auto" ] || fail "no autostart entry at $auto"
grep -qx "Exec=\"$second/vimo\"" "$auto" || fail "autostart entry does not start $second/vimo: $(cat "$auto")"
grep -qx "Exec=\"$second/vimo\" --quit" "$auto" || fail "autostart entry has no quit action for $second"
[ -x "$second/vimo" ] || fail "install FOLDER --autostart did not install into $second"
echo "install: laid out, desktop entry runs from another folder and its Quit action ends it, config.json beside the executable, autostart entry"
