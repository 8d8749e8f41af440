#!/usr/bin/env bash
# Takes a fresh Debian 12 machine from a clone to a working Zelvator:
#   tools/setup.sh run    install, build, download hello into the simulated board and show it running
#   tools/setup.sh test   install, build, and run the whole test suite
# Runs as root, or as a user with sudo. Safe to run again: it installs only what is missing.
set -euo pipefail

mode=${1:-}
case "$mode" in
run | test) ;;
*)
    echo "usage: tools/setup.sh run|test" >&2
    exit 2
    ;;
esac

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

# Build and test dependencies, all from Debian 12's own archive.
packages=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev
    qt6-base-dev libgl-dev
    qt6-serialport-dev libvterm-dev
    srecord
    help2man desktop-file-utils
    clang
    sdcc-ucsim
    python3-serial ser2net
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake --preset default
cmake --build --preset default

case "$mode" in
run)
    exec build/default/app/cli/zelvator-cli send --port SIM --monitor 3 examples/hello/hello.ihx
    ;;
test)
    # The locking rules of the comm driver and the virtual line, checked by Clang's
    # thread-safety analysis: a small clang build of the platform library alone.
    CC=clang CXX=clang++ cmake -S . -B build/thread-safety -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DZELVATOR_GUI=OFF -DZELVATOR_TESTS=OFF -DZELVATOR_BENCH=OFF \
        -DCMAKE_CXX_FLAGS="-Wthread-safety -Wthread-safety-beta"
    cmake --build build/thread-safety --target zplatform
    exec ctest --preset default
    ;;
esac
