#!/usr/bin/env bash
# Installs every Debian 12 package the companion, its service and its tests need.
# With --run, only what building and running the companion and the service
# needs (scripts/run.sh and scripts/install.sh): no test servers, no Wine, no
# cross compiler, no Node.js.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

MODE=all
case "${1:-}" in
  "") ;;
  --run) MODE=run ;;
  *) echo "usage: bash scripts/setup.sh [--run]" >&2; exit 2 ;;
esac

# Building and running. The test and benchmark libraries are here too: they
# are small, and the build's configure step looks for them.
RUN_PACKAGES=(
  build-essential cmake ninja-build pkg-config git curl
  libglfw3-dev libgl-dev libgl1-mesa-dri libglx-mesa0 libx11-dev libxfixes-dev libxext-dev libxrandr-dev libxinerama-dev
  libstb-dev nlohmann-json3-dev libcurl4-openssl-dev libsqlite3-dev libcpp-httplib-dev libssl-dev libicu-dev
  libwebp-dev libavif-dev
  libgtest-dev libgmock-dev libbenchmark-dev libbox2d-dev libhwy-dev libboost-dev
  fonts-unifont
)
# The tests: displays, window managers and compositors, the servers they
# start on loopback, the sanitizers' and fuzzers' compiler, the Windows build
# under Wine and its installer.
TEST_PACKAGES=(
  xvfb xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils xauth openbox xdotool wmctrl imagemagick x11-utils x11-apps xterm xcompmgr
  weston xwayland
  wrk clang libclang-rt-14-dev procps python3 nginx
  ngircd python3-websockets openssl
  libnginx-mod-nchan redis-server
  g++-mingw-w64-x86-64-posix wine64 wine googletest nsis
)
PACKAGES=("${RUN_PACKAGES[@]}")
if [ "$MODE" = all ]; then PACKAGES+=("${TEST_PACKAGES[@]}"); fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "$MODE" = run ]; then exit 0; fi

# The sign-in tests' OAuth 2.0 provider: npm's oauth2-mock-server, pinned in
# tools/oauth-mock/package-lock.json, installed into tools/oauth-mock/node_modules.
# It needs Node.js 20.19 or later: the machine's own when it has one, else
# Debian's (older: the sign-in tests then say they cannot start the provider).
if ! command -v node >/dev/null 2>&1; then
  echo "setup: installing nodejs npm"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends nodejs npm
fi
OAUTH_MOCK="$(cd "$(dirname "$0")/.." && pwd)/tools/oauth-mock"
if ! grep -qs '"version": "8.2.3"' "$OAUTH_MOCK/node_modules/oauth2-mock-server/package.json"; then
  echo "setup: installing oauth2-mock-server into $OAUTH_MOCK"
  (cd "$OAUTH_MOCK" && npm ci --no-audit --no-fund --loglevel=error)
fi
