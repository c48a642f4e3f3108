#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, only when some are missing.
# Usage: scripts/setup-debian.sh [EXTRA-PACKAGE...]   (what a particular step needs besides)
set -euo pipefail

packages=(g++ meson ninja-build pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
          python3-dev python3-pytest python3-mesonpy "$@")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
