#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, `make run` and `make package`
# (icons drawn by rsvg-convert, dependencies found by dpkg-shlibdeps) need, and any
# named on the command line, only those missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build ccache pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    xvfb xauth x11-utils xdotool imagemagick fonts-dejavu-core
    socat telnet clang-format python3
    libhamlib-utils # rotctl: the rotator listener is tested with Hamlib's own client
    librsvg2-bin dpkg-dev file
)
# Extra packages a particular target needs (scripts/fuzz.sh: clang).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
