#!/usr/bin/env bash
# The build road a newcomer takes, in a copy of the tracked files: a
# `cmake -S . -B build` that fails for want of the libraries leaves a cache
# and no build files; the demo's build step must configure that tree anew
# with Ninja, and leave a whole tree alone, Ninja's or one made by hand with
# Unix Makefiles. Nothing is built: the demo's step stops after configuring,
# and the set-up (which may take apt's lock) is not run.
set -euo pipefail

source=$(cd "${1:?usage: build_road.sh SOURCE_DIR}" && pwd)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT; [ -n "${KEEP:-}" ] && trap - EXIT
if ! git -C "$source" ls-files -z >"$root/files" 2>/dev/null; then
  echo "SKIP: $source is not a git checkout"; exit 77
fi
tree=$root/tree
mkdir "$tree"
# A file deleted but not yet committed is still listed: it is skipped.
tar -C "$source" --ignore-failed-read --null -T "$root/files" -cf - | tar -C "$tree" -xf -
# node_modules/ is not tracked: the set-up installs it. The configure
# needs the player library it holds, so the copy borrows the checkout's.
[ -d "$source/node_modules" ] && ln -s "$source/node_modules" "$tree/node_modules"
cd "$tree"
# Run by make test, this inherits the outer make's flags and job server.
unset MAKEFLAGS MFLAGS MAKELEVEL CMAKE_GENERATOR

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cache_entry() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }
demo_configure() {
  make --no-print-directory -o setup demo-configure BUILD="$1" >"$root/make.log" 2>&1 ||
    { cat "$root/make.log" "$tree/$1/demo-build.log" 2>/dev/null || true; fail "the demo's configure failed in $1/"; }
}

# The newcomer's first step: it fails, and leaves a half-made tree.
if PKG_CONFIG_LIBDIR=/nonexistent cmake -S . -B build -G "Unix Makefiles" >"$root/failed.log" 2>&1; then
  echo "FAIL: the configure without pkg-config's libraries succeeded"; exit 1
fi
if [ ! -f build/CMakeCache.txt ] || [ -e build/Makefile ] || [ -e build/build.ninja ]; then
  ls build; echo "FAIL: the failed configure did not leave a cache without build files"; exit 1
fi

demo_configure build
[ -f build/build.ninja ] || fail "no build.ninja after the demo's configure of a half-made tree"
[ "$(cache_entry build CMAKE_GENERATOR)" = Ninja ] || fail "generator $(cache_entry build CMAKE_GENERATOR), not Ninja"
[ "$(cache_entry build CMAKE_BUILD_TYPE)" = Quick ] || fail "build type $(cache_entry build CMAKE_BUILD_TYPE), not Quick"
[ ! -e build/Brindlewood ] || fail "the demo's configure built the programs"

# The tree is whole now: the demo's configure leaves it as it is.
before=$(stat -c %y build/CMakeCache.txt)
demo_configure build
[ "$(stat -c %y build/CMakeCache.txt)" = "$before" ] || fail "a whole Ninja tree was configured again"

# A tree configured by hand with another generator is whole too.
cmake -S . -B by-hand -G "Unix Makefiles" >"$root/by-hand.log" 2>&1 ||
  { cat "$root/by-hand.log"; echo "FAIL: configuring by hand failed"; exit 1; }
before=$(stat -c %y by-hand/CMakeCache.txt)
demo_configure by-hand
[ "$(stat -c %y by-hand/CMakeCache.txt)" = "$before" ] || fail "the tree configured by hand was configured again"
[ ! -e by-hand/build.ninja ] || fail "the tree configured by hand was given build.ninja"

[ $failures -eq 0 ] || exit 1
echo "the half-made tree was configured anew; whole trees were left alone"
