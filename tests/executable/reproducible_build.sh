#!/usr/bin/env bash
# Two clean builds of the executable from the same sources must be identical
# to the byte: nothing of time, place or build directory may leak into it.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for build in first second; do
    cmake -S "$source_dir" -B "$work/$build" >/dev/null
    cmake --build "$work/$build" --target mirrorfold >/dev/null
done
if cmp "$work/first/mirrorfold" "$work/second/mirrorfold"; then
    echo "two clean builds are identical: $(stat -c %s "$work/first/mirrorfold") bytes"
else
    exit 1
fi
