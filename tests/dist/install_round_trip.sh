#!/usr/bin/env bash
# Installs the build tree given into a scratch DESTDIR with the prefix /usr,
# checks what landed where (the units naming the installed programs, nothing
# in /etc), then uninstalls and checks that the tree is exactly as before:
# folders that were there, empty or not, stay.
# Uses the component's own manifest, so a real install's record in the build
# tree is left alone.
set -euo pipefail

build=${1:?usage: install_round_trip.sh BUILD_DIR SOURCE_DIR}
source=${2:?usage: install_round_trip.sh BUILD_DIR SOURCE_DIR}
component=Unspecified

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT; [ -n "${KEEP:-}" ] && trap - EXIT
export DESTDIR=$root/dest
# What a fresh system may have: an empty bin folder, another package's docs.
mkdir -p "$DESTDIR/usr/bin" "$DESTDIR/usr/share/doc/other"
echo other > "$DESTDIR/usr/share/doc/other/README"
before=$(cd "$DESTDIR" && find . | sort)

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build" --prefix /usr --component "$component" >"$root/install.log" ||
  { cat "$root/install.log"; fail "cmake --install failed"; exit 1; }

for program in Brindlewood BrindlewoodExporter BrindlewoodClient; do
  [ -x "$DESTDIR/usr/bin/$program" ] || fail "usr/bin/$program missing"
done
shopt -s nullglob
units=("$source"/dist/systemd/*.service "$source"/dist/systemd/*.timer)
[ ${#units[@]} -gt 0 ] || fail "no unit in dist/systemd"
for unit in "${units[@]}"; do
  installed=$DESTDIR/usr/lib/systemd/system/$(basename "$unit")
  if [ ! -f "$installed" ]; then
    fail "unit $(basename "$unit") not installed"
    continue
  fi
  if grep -q '/usr/local/bin/' "$installed"; then fail "$installed still names /usr/local/bin"; fi
  while read -r line; do
    [[ $line == *=/usr/bin/* ]] || fail "$(basename "$unit"): $line does not run a program in /usr/bin"
  done < <(grep '^Exec' "$installed" || true)
done
for opts in "$source"/dist/etc/*.opts; do
  [ -f "$DESTDIR/usr/share/doc/brindlewood/examples/$(basename "$opts")" ] || fail "example $(basename "$opts") missing"
done
[ -f "$DESTDIR/usr/share/doc/brindlewood/README.md" ] || fail "README.md missing"
[ ! -e "$DESTDIR/etc" ] || fail "the install wrote into etc/"
echo "installed: $(cd "$DESTDIR" && find . -type f | wc -l) files"

cmake -DMANIFEST="$build/install_manifest_$component.txt" -P "$source/cmake/uninstall.cmake" >"$root/uninstall.log" ||
  { cat "$root/uninstall.log"; fail "uninstall failed"; exit 1; }
after=$(cd "$DESTDIR" && find . | sort)
if [ "$before" != "$after" ]; then
  diff <(echo "$before") <(echo "$after") || true
  fail "uninstall did not leave the tree as it was"
fi
[ ! -e "$build/install_manifest_$component.txt" ] || fail "uninstall kept its manifest"

echo "$failures failed"
[ $failures -eq 0 ]
