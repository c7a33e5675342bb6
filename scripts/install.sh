#!/usr/bin/env bash
# Installs the companion for the current user: the executable with its assets
# and the community service into one folder the user can write (default
# ~/.local/share/vimo; "config.json" is kept there), and a desktop entry under
# ~/.local/share/applications so it shows in the applications menu, with a
# "Quit" action that ends the running companion (vimo --quit). --autostart also
# puts the entry in ~/.config/autostart, so the companion starts at login.
#
#   bash scripts/install.sh [--autostart] [FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."

AUTOSTART=0
DEST=""
for arg in "$@"; do
  case "$arg" in
    --autostart) AUTOSTART=1 ;;
    -*) echo "usage: bash scripts/install.sh [--autostart] [FOLDER]" >&2; exit 2 ;;
    *)
      [ -z "$DEST" ] || { echo "usage: bash scripts/install.sh [--autostart] [FOLDER]" >&2; exit 2; }
      DEST=$arg ;;
  esac
done
DEST=${DEST:-"${XDG_DATA_HOME:-$HOME/.local/share}/vimo"}
APPS="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
AUTOSTART_DIR="${XDG_CONFIG_HOME:-$HOME/.config}/autostart"

# Refuse early, before building, when the folder cannot be written: the
# companion writes its configuration beside itself.
if ! mkdir -p "$DEST" 2>/dev/null || ! probe=$(mktemp "$DEST/.vimo-write-test.XXXXXX" 2>/dev/null); then
  echo "install: cannot write to '$DEST'; choose a folder you own, e.g. bash scripts/install.sh ~/vimo" >&2
  exit 1
fi
rm -f "$probe"
DEST=$(cd "$DEST" && pwd)

# VIMO_BUILD_DIR: an existing build tree to install from (tests use their own).
BUILD=${VIMO_BUILD_DIR:-build}
if [ "${VIMO_SKIP_SETUP:-0}" != 1 ]; then bash scripts/setup.sh --run; fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target vimo vimo_assets vimo_font vimo-service
cmake --install "$BUILD" --prefix "$DEST" >/dev/null

# A second start from the same folder leaves at once, so a login that finds
# the companion already running (or a double click) does no harm.
entry=$(cat <<ENTRY
[Desktop Entry]
Type=Application
Name=vimo
Comment=A desktop companion for the community
Exec="$DEST/vimo"
Icon=$DEST/assets/guy.png
Terminal=false
Categories=Game;Amusement;
Actions=quit;

[Desktop Action quit]
Name=Quit
Exec="$DEST/vimo" --quit
ENTRY
)
mkdir -p "$APPS"
printf '%s\n' "$entry" > "$APPS/vimo.desktop"
echo "install: installed to $DEST (desktop entry $APPS/vimo.desktop)"
if [ "$AUTOSTART" = 1 ]; then
  mkdir -p "$AUTOSTART_DIR"
  printf '%s\n' "$entry" > "$AUTOSTART_DIR/vimo.desktop"
  echo "install: starts at login ($AUTOSTART_DIR/vimo.desktop)"
fi
