#!/usr/bin/env bash
# Bounded fuzz runs: builds the libFuzzer targets of fuzz/ with clang (address
# and undefined-behaviour sanitizers) in build-fuzz and runs each for
# VIMO_FUZZ_SECONDS (default 25). Any crash, leak, sanitizer report or broken
# check fails the script; the reproducer is left in build-fuzz/artifacts.
set -uo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${VIMO_FUZZ_SECONDS:-25}
DIR=build-fuzz

cmake -S . -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVIMO_BUILD_BENCH=OFF -DVIMO_BUILD_SERVICE=OFF >/dev/null || exit 1
cmake --build "$DIR" --target vimo_fuzzers -j "$(nproc)" || exit 1

mkdir -p "$DIR/artifacts"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for target in login chat_page user_lookup live bsky blog color text_source; do
  corpus="$DIR/corpus/$target"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$target" ] && seeds=("fuzz/seeds/$target")
  echo "== fuzz_$target (${SECONDS_EACH}s)"
  if ! "$DIR/fuzz/fuzz_$target" -max_total_time="$SECONDS_EACH" -max_len=4096 -rss_limit_mb=2048 \
      -timeout=10 -print_final_stats=0 -artifact_prefix="$DIR/artifacts/$target-" \
      "$corpus" "${seeds[@]}" >"$DIR/fuzz-$target.log" 2>&1; then
    echo "fuzz_$target FAILED (log: $DIR/fuzz-$target.log)"
    tail -n 40 "$DIR/fuzz-$target.log"
    status=1
  else
    grep -E "^#[0-9]+.*DONE" "$DIR/fuzz-$target.log" | tail -n 1
  fi
done
exit $status
