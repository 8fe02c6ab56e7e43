#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need. Idempotent:
# nothing is fetched when everything is already there.
set -euo pipefail

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev clang libclang-rt-14-dev llvm valgrind binutils groff-base clang-format
          libevdev-dev libinput-dev libudev-dev libsystemd-dev)
if [ "$#" -gt 0 ]; then
    packages+=("$@")
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
