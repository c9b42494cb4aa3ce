#!/usr/bin/env bash
# Builds the fuzz targets with clang into the given folder and runs each for a bounded time.
# Usage: fuzz/run.sh BUILD_DIR      (make fuzz calls it with build-fuzz)
# ZEMA_FUZZ_SECONDS: seconds per target (default 60). ZEMA_FUZZ_TARGETS: the targets to run
# (default all four). ZEMA_FUZZ_JOBS: build jobs (default: the number of processors).
# ZEMA_WERROR: ON (the default) treats compiler warnings as errors.
# Each target starts from fuzz/corpus/<target>/ and keeps what it learns in BUILD_DIR/corpus/.
# A crash or sanitizer report stops the script with the reproducer in BUILD_DIR/artifacts/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${1:?usage: fuzz/run.sh BUILD_DIR}"
seconds="${ZEMA_FUZZ_SECONDS:-60}"
targets="${ZEMA_FUZZ_TARGETS:-fuzz_xml fuzz_catalogue fuzz_writer fuzz_jet}"
jobs="${ZEMA_FUZZ_JOBS:-$(nproc)}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEMA_BUILD_FUZZ=ON -DZEMA_BUILD_TESTS=OFF -DZEMA_BUILD_TOOLS=OFF -DZEMA_BUILD_BENCH=OFF \
  -DZEMA_WERROR="${ZEMA_WERROR:-ON}"
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets

mkdir -p "$build/artifacts"
for target in $targets; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "fuzz: $target for ${seconds}s"
  log="$build/$target.log"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$build/fuzz/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -max_len=4096 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
      "$corpus" "$here/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $target failed; reproducer in $build/artifacts/" >&2
    exit 1
  fi
  grep -E "stat::number_of_executed_units|stat::new_units_added" "$log" | sed "s/^/fuzz: $target /"
done
echo "fuzz: all targets ran clean"
