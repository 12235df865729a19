#!/usr/bin/env bash
# Installs what building, testing and the demo need, when it is missing.
# Debian packages only; needs root (or sudo) when something must be installed.
# A set-up that fails ends with one line saying what failed and what to run.
set -euo pipefail

packages=(
  g++ make cmake ninja-build pkg-config git
  googletest libgtest-dev
  libjson-c-dev libwebsockets-dev
  ffmpeg fonts-dejavu-core
  libspdlog-dev          # the logger benchmark compares against it
  chromium               # headless, for the web console's tests
  systemd                # systemd-analyze rates the units in dist/systemd
)

# `make fuzz` asks for clang and its libFuzzer runtime too (--fuzz); the
# other builds use g++ alone.
if [ "${1:-}" = --fuzz ]; then
  packages+=(clang libclang-rt-dev)
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep 'install ok installed' >/dev/null; }

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

# The console's player library comes from npm, pinned by package-lock.json:
# npm ci when node_modules is missing or was filled from another lock file.
# Node.js and npm come from Debian unless a Node.js (with its npm) is there.
npm_packages() {
  local root stamp
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  stamp=$root/node_modules/.brindlewood-lock
  if [ -f "$stamp" ] && cmp -s "$stamp" "$root/package-lock.json"; then return 0; fi
  echo "setup: npm ci (the console's player library)"
  (cd "$root" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) ||
    { echo "setup: npm ci failed (see above); run it in $root once the registry answers" >&2; exit 1; }
  cp "$root/package-lock.json" "$stamp"
}
command -v node >/dev/null && command -v npm >/dev/null || missing+=(nodejs npm)
[ ${#missing[@]} -eq 0 ] && { npm_packages; exit 0; }

fail() { echo "setup: $*" >&2; exit 1; }

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null ||
    fail "installing ${missing[*]} needs root, and there is no sudo: run scripts/setup.sh as root, then this command again"
  sudo=sudo
fi

echo "setup: installing ${missing[*]}"
if [ -n "$sudo" ]; then
  sudo true || fail "sudo refused (see above): run scripts/setup.sh as root, then this command again"
fi
export DEBIAN_FRONTEND=noninteractive

# On a freshly started machine an automatic upgrade often holds the locks of
# dpkg and apt for the first minutes: wait for them this many seconds.
# SETUP_LOCK_TIMEOUT serves only to try the wait by hand with a short one.
lock_timeout=${SETUP_LOCK_TIMEOUT:-300}
locks=(/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/cache/apt/archives/lock /var/lib/apt/lists/lock)
lock_deadline=""

span() {
  local n=$1 unit=second
  [ $((n % 60)) -ne 0 ] || { n=$((n / 60)); unit=minute; }
  [ "$n" -eq 1 ] && echo "1 $unit" || echo "$n ${unit}s"
}

# Who holds one of the locks, as "process 1234 (name)"; nothing when none is
# held. dpkg and apt lock with fcntl, which /proc/locks lists as
# "1: POSIX ADVISORY WRITE <pid> <major>:<minor>:<inode> 0 EOF" (waiters
# carry "->"; an open file description lock shows no pid).
lock_holder() {
  local f dev id pid name
  for f in "${locks[@]}"; do
    [ -e "$f" ] || continue
    dev=$(stat -c %d "$f")
    id=$(printf '%02x:%02x:%s' $(((dev >> 8) & 0xfff)) $(((dev & 0xff) | ((dev >> 12) & 0xfff00))) "$(stat -c %i "$f")")
    pid=$(awk -v id="$id" '$2 != "->" && $6 == id { print $5; exit }' /proc/locks 2>/dev/null)
    [ -n "$pid" ] || continue
    if [ "$pid" -gt 0 ] 2>/dev/null && [ -e "/proc/$pid" ]; then
      # A process gone since took its lock with it.
      name=$(cat "/proc/$pid/comm" 2>/dev/null) || continue
      echo "process $pid ($name)"
    else
      echo "another process"
    fi
    return
  done
}

lock_still_held() {
  fail "the package lock is still held by $1 after $(span "$lock_timeout") of waiting: let it finish (or stop it), then run this command again"
}

# Waits for the locks to be free, saying so once; the time runs from the
# first wait and is shared by all apt-get calls.
wait_for_locks() {
  local holder
  holder=$(lock_holder)
  [ -n "$holder" ] || return 0
  if [ -z "$lock_deadline" ]; then
    lock_deadline=$((SECONDS + lock_timeout))
    echo "setup: waiting up to $(span "$lock_timeout") for the package lock, held by $holder"
  fi
  while [ -n "$holder" ]; do
    [ $SECONDS -lt "$lock_deadline" ] || lock_still_held "$holder"
    sleep 1
    holder=$(lock_holder)
  done
}

# apt-get itself waits for what is left of the time, should another process
# take the lock between the look and apt's own attempt.
apt_get() {
  wait_for_locks
  local left=$lock_timeout holder
  [ -z "$lock_deadline" ] || left=$((lock_deadline - SECONDS))
  [ "$left" -gt 0 ] || left=1
  $sudo apt-get -o DPkg::Lock::Timeout="$left" "$@" && return 0
  holder=$(lock_holder)
  [ -z "$holder" ] || lock_still_held "$holder"
  return 1
}

# The packages apt has nothing to install from: all of them where there are
# no package lists yet, as on a new machine. (Not grep -q: ending the pipe
# early, it would leave apt-cache a SIGPIPE that pipefail counts as failure.)
without_candidate() {
  local p
  for p in "$@"; do
    apt-cache policy "$p" 2>/dev/null | grep '^ *Candidate: [^(]' >/dev/null || echo "$p"
  done
}

update() {
  apt_get update ||
    fail "apt-get update failed (see above): mend what it names (the network, the sources in /etc/apt/sources.list*), then run apt-get update as root and this command again"
}

# After an update: a package still without a candidate is named, or the lists
# are missing altogether.
check_candidates() {
  local unknown lists
  unknown=$(without_candidate "${missing[@]}" | tr '\n' ' ')
  [ -n "$unknown" ] || return 0
  eval "$(apt-config shell lists Dir::State::lists/d)"
  compgen -G "${lists:-/var/lib/apt/lists/}*_Packages*" >/dev/null ||
    fail "there are no package lists: apt-get update fetched none (see above); mend the network or the sources in /etc/apt/sources.list*, then run apt-get update as root and this command again"
  fail "no package ${unknown% } in the package lists: add a Debian source that has it to /etc/apt/sources.list, then run apt-get update as root and this command again"
}

# The last line of an install that failed: the cause apt found, or the
# packages that cannot be installed.
install_failed() {
  local still=() broken=() p
  for p in "${missing[@]}"; do installed "$p" || still+=("$p"); done
  [ ${#still[@]} -gt 0 ] || still=("${missing[@]}")
  if compgen -G '/var/lib/dpkg/updates/*' >/dev/null; then
    fail "an earlier dpkg run was interrupted: run dpkg --configure -a as root, then this command again"
  fi
  for p in "${still[@]}"; do
    apt-get -s install --no-install-recommends "$p" >/dev/null 2>&1 || broken+=("$p")
  done
  [ ${#broken[@]} -eq 0 ] ||
    fail "${broken[*]} cannot be installed (apt-get says why above): run apt-get install ${broken[*]} as root to see it again, mend it, then run this command again"
  fail "installing ${still[*]} failed (apt-get says why above): mend it, then run this command again"
}

install() { apt_get install -y --no-install-recommends "${missing[@]}"; }

# A new machine may have no package lists yet.
if [ -n "$(without_candidate "${missing[@]}")" ]; then
  update
  check_candidates
fi
if ! install; then
  # Lists older than the archive name files it no longer has.
  update
  install || install_failed
fi
npm_packages
