#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests and the main job
# need, when they are missing. Safe to run again: it only calls apt-get when
# something is absent.
set -euo pipefail

PACKAGES=(
  build-essential cmake g++ clang-14 libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  zlib1g-dev liblz4-dev libdeflate-dev libzstd-dev python3-matplotlib
  openjdk-17-jdk-headless junit5 python3 strace
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
