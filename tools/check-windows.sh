#!/usr/bin/env bash
# Cross-builds the non-visual stack and zelvator-cli.exe for 64-bit Windows with MinGW-w64 and
# runs every Windows test program under Wine, in a Wine prefix of its own in a temporary folder.
#
# Wine maps the host's /dev/ttyS* to COM ports when it starts, so the programs run in a mount
# namespace of their own in which those devices are /dev/null: no test can touch a real device.
# The comm conformance and port I/O tests run on a pair of COM ports (ZELVATOR_TEST_PORT_A/_B):
# here a pseudo-terminal pair made by socat, mapped to COM201 and COM202 in the Wine prefix.
# Tests that meet a difference of Wine's serial emulation skip and name it.
#
# The last line is "N passed, M failed, K skipped" over all test cases of all programs; the
# exit status is non-zero when anything failed.
#
#   tools/check-windows.sh            install what is missing, build, run
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
build=build/windows

if [ "${1:-}" != "--in-namespace" ]; then
    packages=(cmake ninja-build g++-mingw-w64-x86-64 mingw-w64 wine64 googletest socat)
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

    # A compiler cache speeds up a second run where one is installed.
    launcher=()
    command -v ccache >/dev/null &&
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

    # GoogleTest from Debian's sources, built once with the cross compiler.
    deps=$here/$build/deps
    if [ ! -e "$deps/lib/cmake/GTest/GTestConfig.cmake" ]; then
        cmake -S /usr/src/googletest -B "$build/googletest" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$deps" "${launcher[@]}" >/dev/null
        cmake --build "$build/googletest"
        cmake --install "$build/googletest" >/dev/null
    fi
    cmake -S . -B "$build/project" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVATOR_GUI=OFF -DZELVATOR_BENCH=OFF \
        -DGTest_DIR="$deps/lib/cmake/GTest" "${launcher[@]}" >/dev/null
    cmake --build "$build/project"

    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    exec "${sudo[@]}" unshare --mount --propagation private "$0" --in-namespace
fi

# ---- Inside the private mount namespace ------------------------------------------------------
for dev in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    [ -e "$dev" ] && mount --bind /dev/null "$dev"
done

scratch=$(mktemp -d)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || command -v wineserver64 || echo /usr/lib/wine/wineserver64)
cleanup() {
    "$wineserver" -k >/dev/null 2>&1 || true
    [ -n "${socat_pid:-}" ] && kill "$socat_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
# One server for the whole run: each program starts faster.
mkdir -p "$WINEPREFIX"
"$wineserver" -p >/dev/null 2>&1 || true
timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || true

# The pair of COM ports: a pseudo-terminal pair, each end mapped into the prefix's dosdevices.
socat pty,raw,echo=0,link="$scratch/ptyA" pty,raw,echo=0,link="$scratch/ptyB" &
socat_pid=$!
for _ in $(seq 50); do [ -e "$scratch/ptyB" ] && break; sleep 0.1; done
if [ ! -e "$scratch/ptyB" ]; then
    echo "socat made no pseudo-terminal pair" >&2
    exit 1
fi
ln -sf "$(readlink -f "$scratch/ptyA")" "$WINEPREFIX/dosdevices/com201"
ln -sf "$(readlink -f "$scratch/ptyB")" "$WINEPREFIX/dosdevices/com202"
export ZELVATOR_TEST_PORT_A=COM201 ZELVATOR_TEST_PORT_B=COM202

passed=0 failed=0 skipped=0
while IFS= read -r program; do
    name=$(basename "$program")
    echo "=== $name"
    status=0
    output=$(timeout 300 "$wine" "$program" --gtest_color=no 2>&1) || status=$?
    printf '%s\n' "$output" | grep -E '^\[ +(OK|FAILED|SKIPPED) +\]|^\[==========\]' || true
    p=$(printf '%s\n' "$output" | sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' | tail -1)
    s=$(printf '%s\n' "$output" | sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' | tail -1)
    f=$(printf '%s\n' "$output" | sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' | tail -1)
    p=${p:-0} s=${s:-0} f=${f:-0}
    if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then
        # Crashed, hung or refused to start: the program counts as one failure.
        echo "$name: exit status $status"
        printf '%s\n' "$output" | tail -20
        f=1
    fi
    passed=$((passed + p)) skipped=$((skipped + s)) failed=$((failed + f))
done < <(find "$build/project" -name '*_tests.exe' | sort)

# The command-line program itself.
echo "=== zelvator-cli.exe"
cli=$build/project/app/cli/zelvator-cli.exe
for args in "--version" "info examples/hello/hello.ihx" "image examples/hello/hello.ihx -o $scratch/hello.bin" "ports"; do
    # shellcheck disable=SC2086
    if out=$(timeout 120 "$wine" "$cli" $args 2>&1); then
        echo "[       OK ] zelvator-cli $args"
        passed=$((passed + 1))
    else
        echo "[  FAILED  ] zelvator-cli $args"
        printf '%s\n' "$out" | tail -5
        failed=$((failed + 1))
    fi
done

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
