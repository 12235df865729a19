#!/usr/bin/env bash
# Installs what building, testing and the demo need, when it is missing.
# Debian packages only; needs root (or sudo) when something must be installed.
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

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
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

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then
    sudo=sudo
  else
    echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y --no-install-recommends "${missing[@]}"; then
  # A fresh machine may have no package lists yet.
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
npm_packages
