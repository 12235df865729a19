#!/usr/bin/env bash
# Proves the hardened units in dist/systemd on a real systemd: boots a
# minimal Debian in a container (systemd-nspawn, no network but its own
# loopback), installs the programs, units and examples into it as
# `make install` does, and runs scripts/unit-check-guest.sh inside.
#
#   scripts/unit-check.sh ROOT
#
# ROOT is a scratch folder outside the repository; the first run fills it
# with debootstrap (a few minutes), later runs reuse it. Needs root and the
# Debian packages systemd-container and debootstrap. Not part of `make test`.
set -euo pipefail

root=${1:?usage: scripts/unit-check.sh ROOT (a scratch folder outside the repository)}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build
machine=brindlewood-check
root=$(realpath -m "$root")
case "$root/" in "$repo"/*) echo "unit-check: ROOT must lie outside the repository" >&2; exit 2 ;; esac
[ "$(id -u)" -eq 0 ] || { echo "unit-check: needs root" >&2; exit 2; }
for tool in systemd-nspawn debootstrap nsenter; do
  command -v $tool >/dev/null || { echo "unit-check: $tool is missing (apt-get install systemd-container debootstrap)" >&2; exit 2; }
done

if [ ! -x "$root/usr/bin/ffmpeg" ]; then
  echo "unit-check: debootstrap into $root"
  debootstrap --variant=minbase \
    --include=systemd,systemd-sysv,dbus,procps,ffmpeg,libjson-c5,libwebsockets17 \
    bookworm "$root" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 20 "$root.debootstrap.log"; exit 1; }
fi

echo "unit-check: building and installing into $root/usr/local"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target Brindlewood BrindlewoodExporter BrindlewoodClient >/dev/null
# Its own component manifest, so the build tree's record of a real install
# stays as it is.
DESTDIR=$root cmake --install "$build" --prefix /usr/local --component Unspecified >/dev/null
install -m 0755 "$repo/scripts/unit-check-guest.sh" "$root/root/unit-check-guest.sh"

log=$root.nspawn.log
# The unified cgroup hierarchy, as a current Debian boots with.
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 \
  systemd-nspawn --boot --directory "$root" --machine "$machine" --register=no --keep-unit \
  --private-network >"$log" 2>&1 &
nspawn=$!
cleanup() {
  kill -TERM "$nspawn" 2>/dev/null || true
  wait "$nspawn" 2>/dev/null || true
}
trap cleanup EXIT

# The container's systemd is the child of systemd-nspawn.
leader=""
for _ in $(seq 100); do
  leader=$(pgrep -P "$nspawn" -x systemd || true)
  [ -n "$leader" ] && break
  sleep 0.2
done
[ -n "$leader" ] || { cat "$log"; echo "unit-check: the container did not boot" >&2; exit 1; }
inside() { nsenter --target "$leader" --all "$@"; }
for _ in $(seq 150); do
  state=$(inside systemctl is-system-running 2>/dev/null || true)
  case $state in running|degraded) break ;; esac
  sleep 0.2
done
echo "unit-check: the container is $state ($(inside systemctl --version | head -n1))"

inside /root/unit-check-guest.sh
