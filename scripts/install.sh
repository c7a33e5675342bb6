#!/usr/bin/env bash
# Installs the companion for the current user: the executable with its assets
# and the community service into one folder the user can write (default
# ~/.local/share/vimo; "config.json" is kept there), and a desktop entry under
# ~/.local/share/applications so it shows in the applications menu.
#
#   bash scripts/install.sh [FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."

DEST=${1:-"${XDG_DATA_HOME:-$HOME/.local/share}/vimo"}
APPS="${XDG_DATA_HOME:-$HOME/.local/share}/applications"

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
if [ "${VIMO_SKIP_SETUP:-0}" != 1 ]; then bash scripts/setup.sh; fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target vimo vimo_assets vimo_font vimo-service
cmake --install "$BUILD" --prefix "$DEST" >/dev/null

mkdir -p "$APPS"
cat > "$APPS/vimo.desktop" <<ENTRY
[Desktop Entry]
Type=Application
Name=vimo
Comment=A desktop companion for the community
Exec="$DEST/vimo"
Icon=$DEST/assets/guy.png
Terminal=false
Categories=Game;Amusement;
ENTRY
echo "install: installed to $DEST (desktop entry $APPS/vimo.desktop)"
