#!/usr/bin/env bash
# Rebuilds the bundled 8051 examples with SDCC (Debian package "sdcc"): each examples/NAME/NAME.c
# becomes examples/NAME/NAME.ihx. SDCC's other outputs stay in a temporary directory.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

if ! command -v sdcc >/dev/null 2>&1; then
    echo "build.sh: sdcc not found; install it with: apt-get install sdcc" >&2
    exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for source in "$here"/*/*.c; do
    name="$(basename "$source" .c)"
    dir="$(dirname "$source")"
    mkdir -p "$work/$name"
    sdcc -mmcs51 --std-c11 -o "$work/$name/" "$source"
    cp "$work/$name/$name.ihx" "$dir/$name.ihx"
    echo "built $dir/$name.ihx"
done
