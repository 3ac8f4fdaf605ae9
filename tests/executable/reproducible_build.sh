#!/usr/bin/env bash
# Two clean builds of the executable and of its packed form from the same
# sources must be identical to the byte: nothing of time, place or build
# directory may leak into either, nor the hardening that distributions'
# compilers and build flags add. The second build has Ubuntu's fortified
# library calls, stack probes and protector, frame pointers and immediate
# binding, ahead of the project's own flags as a compiler's defaults are.
# Installed, they are the same files, beside the renderer, the manual pages,
# which render without a warning, the licence and the documents.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for build in first second; do
    flags=() link_flags=()
    if [ $build = second ]; then
        flags=(-D_FORTIFY_SOURCE=3 -fstack-clash-protection -fstack-protector-strong -fcf-protection -fno-omit-frame-pointer)
        link_flags=(-Wl,-z,now -Wl,-z,relro -Wl,--as-needed)
    fi
    CXXFLAGS="${flags[*]}" LDFLAGS="${link_flags[*]}" \
        cmake -S "$source_dir" -B "$work/$build" -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$work/$build" --target mirrorfold mirrorfold_packed >/dev/null
done
cmake --build "$work/first" --target mirrorfold-render >/dev/null
for file in mirrorfold mirrorfold-packed; do
    cmp "$work/first/$file" "$work/second/$file"
    echo "$file: two clean builds are identical, the second one hardened, $(stat -c %s "$work/first/$file") bytes"
done
cmake --install "$work/first" --prefix "$work/prefix" >/dev/null
for file in mirrorfold mirrorfold-packed mirrorfold-render; do
    cmp "$work/first/$file" "$work/prefix/bin/$file"
    [ -x "$work/prefix/bin/$file" ]
done
pages=$work/prefix/share/man/man1
for page in mirrorfold mirrorfold-render; do
    warnings=$(groff -ww -z -man "$pages/$page.1" 2>&1)
    [ -z "$warnings" ] || { echo "$page.1: $warnings"; exit 1; }
done
[ "$(cat "$pages/mirrorfold-packed.1")" = ".so man1/mirrorfold.1" ]
documents=$work/prefix/share/doc/mirrorfold
for file in LICENSE README.md docs/running.md docs/mirrorfold.png; do
    cmp "$source_dir/$file" "$documents/$file"
done
echo "installed: the programs into bin/, the manual pages into share/man/man1/, the licence, README and docs into share/doc/mirrorfold/"
