#!/usr/bin/env bash
# Installs what is needed, builds, starts the community service on this machine
# (database in ./data) and runs the companion pointed at it. The companion's
# compiled default origin is this service (http://127.0.0.1:8787), so it needs
# nothing more. The service is stopped when the companion exits.
#
# The companion is built first and starts at once; on a first run the service
# (the larger build) goes on building in the background at a lower priority and
# starts when it is ready. The companion keeps asking for it meanwhile, less
# and less often (its wake-up channel at most every five minutes), and a
# log-in asks at once.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --run  # what building and running need; the tests install the rest
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Only what is run: the companion (its target also makes the assets beside it:
# the generated pictures and the font) and the service. The tests, benchmarks
# and fuzz targets are built by scripts/test.sh, which builds everything.
cmake --build build -j "$(nproc)" --target vimo vimo_assets vimo_font

mkdir -p data
service_built=0
case "$(ninja -C build -n vimo-service 2>&1)" in *"no work to do"*) service_built=1 ;; esac
# The service's build when it needs one, then the service itself, in a process
# group of their own, so that quitting the companion (or Ctrl-C) ends whichever
# is running. First start prints the streamer's admin token once; keep it.
SERVICE_BUILT=$service_built setsid bash -c '
  if [ "$SERVICE_BUILT" != 1 ]; then
    echo "run: the companion is starting; the service is still being built (build/service-build.log). Once it runs, the companion finds it at its next try (within five minutes; at once for a log-in)"
    if ! nice -n 10 cmake --build build -j "$(nproc)" --target vimo-service >build/service-build.log 2>&1; then
      echo "run: the service did not build (the end of build/service-build.log says why); the companion runs without chat" >&2
      exit 1
    fi
    echo "run: the service is built and starting"
  fi
  exec build/vimo-service --db data/service.db
' &
service_group=$!
trap 'kill -TERM -- "-$service_group" 2>/dev/null || true; wait "$service_group" 2>/dev/null || true' EXIT
# A built service gets a moment to listen (bounded); the companion copes with a
# late service anyway.
for _ in $(seq 1 50); do
  [ "$service_built" = 1 ] || break
  curl -fs -o /dev/null http://127.0.0.1:8787/api/ferncircle && break
  kill -0 "$service_group" 2>/dev/null || break
  sleep 0.1
done
status=0
build/vimo || status=$?
exit $status
