#!/usr/bin/env bash
# Installs every Debian 12 package the companion, its service and its tests need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libglfw3-dev libgl-dev libgl1-mesa-dri libglx-mesa0 libx11-dev libxfixes-dev libxext-dev libxrandr-dev libxinerama-dev
  libstb-dev nlohmann-json3-dev libcurl4-openssl-dev libsqlite3-dev libcpp-httplib-dev libssl-dev libicu-dev
  libgtest-dev libgmock-dev libbenchmark-dev libbox2d-dev libhwy-dev
  fonts-unifont
  xvfb xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils xauth openbox xdotool wmctrl imagemagick x11-utils x11-apps xterm xcompmgr
  weston xwayland
  wrk clang libclang-rt-14-dev procps curl python3 nginx
  libboost-dev ngircd python3-websockets openssl
  libnginx-mod-nchan redis-server
  g++-mingw-w64-x86-64-posix wine64 wine googletest
)

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
