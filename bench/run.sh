#!/usr/bin/env bash
# Runs every benchmark comparison in one run and prints a table of ratios (ours / baseline) with
# the absolute figures beside them, the machine described and PASS/FAIL per target. The server
# rows (zema_bench_pg, when libpq was found) run on a throwaway PostgreSQL server that
# compare.py starts with scripts/pg-test-server.sh.
#
# Usage: bench/run.sh BUILD_DIR      (make bench builds BUILD_DIR with -DZEMA_BUILD_BENCH=ON first)
#
# Environment:
#   ZEMA_BENCH_TAGS   tags of the plant (100000); CI runs it small, e.g. 2000
#   ZEMA_BENCH_TYPES  tag types (40)
#   ZEMA_BENCH_REPS   repetitions of each measurement (3); medians are reported
#   ZEMA_BENCH_BIG=1  also Load 1,000,000 tags against 100,000 (minutes, several GB)
#   ZEMA_BENCH_DATA   where the generated files go (BUILD_DIR/bench-data); they are reused
#                     until the generator changes
#
# Exits 0 whether or not targets are met; 1 when a benchmark could not do its work.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: bench/run.sh BUILD_DIR" >&2
  exit 2
fi
build=$1
here=$(cd "$(dirname "$0")" && pwd)
for program in zema_bench_gen zema_bench_db zema_bench_load zema_bench_xml; do
  if [ ! -x "$build/bench/$program" ]; then
    echo "bench: $build/bench/$program is missing; configure with -DZEMA_BUILD_BENCH=ON and build" >&2
    exit 2
  fi
done
status=0
python3 "$here/compare.py" "$build" || status=$?
python3 "$here/changes.py" "$build" || status=$?

exit $status
