#!/usr/bin/env bash
# Runs every benchmark program in build/bench/ (or those named) and prints
# their figures.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/bench
[ -d "$dir" ] || { echo "bench: $dir is missing; run make build first" >&2; exit 1; }
status=0
for b in "$dir"/bench_*; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  if [ $# -gt 0 ] && [[ ! " $* " == *" $name "* ]]; then continue; fi
  echo "== $name"
  "$b" || status=1
done
exit $status
