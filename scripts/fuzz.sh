#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build tree for some seconds each:
#   scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]
# Each starts from its seed corpus (tests/fuzz/corpus/<target>) and the
# inputs earlier runs kept in BUILD_DIR/corpus/<target>, where the new ones
# go; an input that breaks a property lands in BUILD_DIR/artifacts/<target>/.
# Prints one line per target (runs, runs per second, what it found) and
# fails when any target found something.
set -uo pipefail

[ $# -ge 2 ] || { echo "usage: scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]" >&2; exit 2; }
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$1
seconds=$2
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for dir in "$root"/tests/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

# The targets that go through real files write one to a few per input:
# on a disk's file system replacing a file's content can wait for the disk,
# which would make them a hundred times slower. Memory serves them.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

failed=()
summary=()
for t in "${targets[@]}"; do
  program=$build/fuzz/fuzz_$t
  [ -x "$program" ] || { echo "fuzz: $program is not built" >&2; exit 1; }
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t" "$build/logs"
  log=$build/logs/$t.log
  marker=$build/logs/$t.start
  touch "$marker"
  echo "fuzz: $t for $seconds s (log: $log)"
  "$program" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t/" "$build/corpus/$t" "$root/tests/fuzz/corpus/$t" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  found=$(find "$build/artifacts/$t" -type f -newer "$marker" | wc -l)
  if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
    failed+=("$t")
    what="FOUND: $found input(s) in $build/artifacts/$t/ (exit $status; see the log)"
  else
    what="nothing found"
  fi
  summary+=("$(printf '%-20s %12s runs %8s runs/s  %s' "$t" "${runs:-?}" "${rate:-?}" "$what")")
done

echo
printf '%s\n' "${summary[@]}"
[ ${#failed[@]} -eq 0 ] || { echo "fuzz: ${failed[*]} found inputs that break a property or crash" >&2; exit 1; }
