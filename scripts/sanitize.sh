#!/usr/bin/env bash
# Sanitizer runs: ThreadSanitizer over the suites where threads meet (physics
# thread, network worker, online hand-over), AddressSanitizer with
# UndefinedBehaviorSanitizer over every unit suite.
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc)
status=0

# run_build DIR SANITIZER REGEX: build the unit test executables whose names
# match REGEX (and the service, which some suites start) and run each of them.
run_build() {
  local dir=$1 san=$2 regex=$3
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIMO_SANITIZE="$san" \
    -DVIMO_BUILD_BENCH=OFF >/dev/null || return 1
  local all targets extra=""
  # Every target ninja knows, by its bare name (executables of the top folder
  # are listed by their file, those of subfolders by a phony alias).
  all=$(ninja -C "$dir" -t targets all | sed -n 's/^\([A-Za-z0-9_/.-]*\): .*/\1/p' | sed 's#.*/##' | sort -u)
  targets=$(echo "$all" | grep -E "$regex" | grep -vE '^test_.*_desktop$' | sort -u)
  echo "$all" | grep -qx 'vimo-service' && extra="vimo-service"
  if [ -z "$targets" ]; then echo "sanitize($san): no test targets"; return 0; fi
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$JOBS" --target $targets $extra || return 1
  local t exe
  for t in $targets; do
    exe=$(find "$dir" -name "$t" -type f -perm -u+x | head -n 1)
    echo "== $san: $t"
    "$exe" --gtest_brief=1 || status=1
  done
}

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"
run_build build-tsan thread '^test_(physics|net|online|service)$' || status=1
run_build build-asan address '^test_' || status=1
exit $status
