#!/usr/bin/env bash
# Installs every Debian package Korvex needs to build, test and run.
# Idempotent: packages already present are skipped, so a second run is quick.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost-dev libboost-system-dev libboost-date-time-dev
  libbson-dev
  nlohmann-json3-dev
  clang libclang-rt-dev
  chromium chromium-driver
  procps
  python3
  desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# Node.js: Debian's nodejs and npm, unless a Node.js with its own npm is already there.
if ! command -v npm >/dev/null 2>&1; then
  for p in nodejs npm; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "All build packages present."
fi

# The web application's bundled libraries and the browser tests' driver (each pinned in
# its package-lock.json; the tests drive Debian's chromium, so no browser is downloaded).
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
for dir in "$here/webapp" "$here/tests/browser"; do
  if [ -f "$dir/package-lock.json" ] && command -v npm >/dev/null 2>&1; then
    if [ ! -d "$dir/node_modules" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules" ]; then
      (cd "$dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
      touch "$dir/node_modules"
    fi
  fi
done
