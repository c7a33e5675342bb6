#!/usr/bin/env bash
# Installs what is needed, builds, starts the community service on this machine
# (database in ./data) and runs the companion pointed at it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
exec build/vimo
