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
[ ${#missing[@]} -eq 0 ] && exit 0

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
