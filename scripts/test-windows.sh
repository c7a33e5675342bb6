#!/usr/bin/env bash
# The Windows build: cross-compiled with MinGW-w64 into build-windows/ and its
# test programs run under Wine, in a Wine prefix of the build tree (CTest's
# wine_prefix_start and wine_prefix_stop make and stop it). Windows of the
# desktop need an X server for Wine: without DISPLAY the tests run under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

JOBS=$(nproc)
# The end-to-end run takes the service and the pictures from the Linux build.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$JOBS" --target vimo-service vimo_assets vimo_font
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-windows -j "$JOBS"
cmake --build build-windows -j "$JOBS" --target vimo_setup  # the installer scenario's installer

# The programs must need no DLL beyond Windows's own.
for exe in build-windows/*.exe; do
  if x86_64-w64-mingw32-objdump -p "$exe" | grep -iE "DLL Name: (libstdc|libgcc|libwinpthread)"; then
    echo "test-windows: $exe needs a MinGW runtime DLL" >&2
    exit 1
  fi
done

# A suite under Wine takes seconds; one that hangs is stopped at its 180 s
# limit and run once more, and every failed try is printed. (test_net hung so
# after its large answers: under Wine a blocking send of the tests' own server
# to a client that had reset the connection could wait for ever; that server
# now sends without blocking: tests/net/loopback_server.h.)
run=(ctest --test-dir build-windows --output-on-failure --timeout 600 --repeat until-pass:2)
if [ -z "${DISPLAY:-}" ]; then
  run=(xvfb-run -a -s "-screen 0 1920x1080x24" "${run[@]}")
fi
"${run[@]}"
