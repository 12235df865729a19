#!/usr/bin/env bash
# Rates every service unit in the folder given (templates through an
# instance of them) with systemd-analyze's offline security check, prints
# each unit's exposure and fails when one is above the limit (2.5 unless a
# second argument says otherwise). Exits 77, a skip, where systemd-analyze or
# its --offline mode is missing.
set -euo pipefail

units_dir=${1:?usage: unit_exposure.sh UNITS_DIR [LIMIT]}
limit=${2:-2.5}

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
if ! systemd-analyze --help 2>&1 | grep -q -- '--offline'; then
  echo "SKIP: this systemd-analyze ($(systemd-analyze --version | head -n1)) has no --offline mode"
  exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

shopt -s nullglob
units=("$units_dir"/*.service)
if [ ${#units[@]} -eq 0 ]; then
  echo "FAIL: no service unit in $units_dir"
  exit 1
fi

failed=0
for unit in "${units[@]}"; do
  name=$(basename "$unit")
  file=$unit
  # A template is rated as one of its instances, as systemd would run it.
  if [[ $name == *@.service ]]; then
    file=$scratch/${name%@.service}@check.service
    cp "$unit" "$file"
  fi
  if ! report=$(systemd-analyze security --offline=yes "$file" 2>&1); then
    echo "$report"
    echo "FAIL: $name could not be rated"
    failed=1
    continue
  fi
  exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p' <<<"$report")
  if [ -z "$exposure" ]; then
    echo "$report"
    echo "FAIL: $name: no exposure level in systemd-analyze's report"
    failed=1
  elif awk -v e="$exposure" -v l="$limit" 'BEGIN { exit !(e > l) }'; then
    grep '✗' <<<"$report" || true
    echo "FAIL: $name exposure $exposure, above $limit"
    failed=1
  else
    echo "$name exposure $exposure"
  fi
done
exit $failed
