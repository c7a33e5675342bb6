#!/usr/bin/env bash
# Installs what is needed, builds, starts the community service on this machine
# (database in ./data) and runs the companion pointed at it. The companion's
# compiled default origin is this service (http://127.0.0.1:8787), so it needs
# nothing more. The service is stopped when the companion exits.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --run  # what building and running need; the tests install the rest
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Only what is run: the companion (its target also makes the assets beside it:
# the generated pictures and the font) and the service. The tests, benchmarks
# and fuzz targets are built by scripts/test.sh, which builds everything.
cmake --build build -j "$(nproc)" --target vimo vimo_assets vimo_font vimo-service

mkdir -p data
# First start prints the streamer's admin token once; keep it.
build/vimo-service --db data/service.db &
service_pid=$!
trap 'kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true' EXIT
# Give it a moment to listen (bounded); the companion copes with a late service anyway.
for _ in $(seq 1 50); do
  curl -fs -o /dev/null http://127.0.0.1:8787/api/ferncircle && break
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
status=0
build/vimo || status=$?
exit $status
