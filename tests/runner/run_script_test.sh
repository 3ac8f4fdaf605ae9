#!/usr/bin/env bash
# scripts/run as a user runs it, its standard error not a terminal: progress
# and saving, refusals before any rendering, Ctrl-C and SIGTERM, no GL
# context, a build tree left by a failed configure at a path with a blank
# and two first runs at once, no Debian tools, a display too narrow and one
# without a window manager; then on a terminal. The compiler the scripts
# install, a release check without an archive, and CI's own script.
#
# Limits on how soon something happens are some ten times what it takes
# here on an idle machine, so that a machine busy with other work meets
# them, while a step that hangs, or waits for a render, does not.
#
#   run_script_test.sh REPOSITORY BUILD_DIRECTORY
set -uo pipefail
run=$1/scripts/run
# The build this test belongs to, wherever it was configured.
export MIRRORFOLD_BUILD_DIR=$2
work=$(mktemp -d)
started_pids=()
trap 'kill "${started_pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
unset DISPLAY WAYLAND_DISPLAY
# The narrow display below is the test's own: no session bus started there
# may outlive it.
export DBUS_SESSION_BUS_ADDRESS=disabled: NO_AT_BRIDGE=1
failures=0
check() {  # check DESCRIPTION COMMAND...; fails as the command does
    if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); return 1; fi
}
wait_until() {  # wait_until SECONDS COMMAND...
    local _
    for _ in $(seq $(($1 * 10))); do
        "${@:2}" && return 0
        sleep 0.1
    done
    return 1
}
wait_for_line() {  # wait_for_line PATTERN FILE SECONDS
    wait_until "$3" grep -q "$1" "$2"
}

# A relative path from elsewhere lands where the user stands. The build
# tree is named from the checkout, as the default build/ is. openbox's
# configuration comes through a pipe 5 s late, as from a cold, busy disk:
# a program started before openbox's start-up is over would have a window
# it never manages, and the run would wait for ever: it is ended at 120 s.
mkdir -p "$work/elsewhere" "$work/config/openbox"
mkfifo "$work/config/openbox/rc.xml"
(sleep 5 && echo '<openbox_config xmlns="http://openbox.org/3.4/rc"/>' >"$work/config/openbox/rc.xml") &
started_pids+=($!)
(cd "$work/elsewhere" && MIRRORFOLD_BUILD_DIR=$(realpath --relative-to="$1" "$2") XDG_CONFIG_HOME="$work/config" \
    SAMPLES=0 timeout 120 "$run" relative.png >"$work/output" 2>"$work/errors")
check "SAMPLES=0 finishes with status 0" [ $? -eq 0 ]
check "the time line comes" grep -q '^render time: [0-9]*\.[0-9]*$' "$work/output"
check "the image is saved in the caller's directory" \
    grep -qx "image saved: $work/elsewhere/relative.png" "$work/output"
check "and nothing else is left there" [ "$(ls -A "$work/elsewhere")" = relative.png ]
check "it is a 1920x1080 PNG" [ "$(identify -format '%m %wx%h' "$work/elsewhere/relative.png")" = "PNG 1920x1080" ]
check "the progress reaches 108 of 108" grep -q '^strips 108/108 (100%)' "$work/errors"
check "a line at most every 10 per cent" [ "$(grep -c '^strips ' "$work/errors")" -le 10 ]
cat "$work/errors"

# /proc takes no file, even from root; an empty name is no name. At once:
# well under a second here, where a render at one sample takes 25 s.
for refusal in "/nonexistent/image.png|/nonexistent: no such directory" \
    "$work/elsewhere/no-extension|name it so" "$work/elsewhere/image.jpg|name it so" \
    "/proc/x.png|cannot write /proc/x.png" "|the image's name is empty"; do
    bad=${refusal%|*}
    started=$SECONDS
    SAMPLES=1 "$run" "$bad" >"$work/output" 2>"$work/errors"
    status=$?
    check "$bad is refused" [ "$status" -ne 0 ]
    check "$bad is refused before rendering" [ ! -s "$work/output" ]
    check "$bad is refused with its reason" grep -q "scripts/run: .*${refusal#*|}" "$work/errors"
    check "$bad is refused at once" [ $((SECONDS - started)) -lt 20 ]
done

# Ctrl-C reaches the whole foreground process group: here the session the
# run leads. A job started with & would ignore SIGINT from the start, and a
# shell cannot trap what it starts ignoring; from a terminal it does not.
# SIGTERM comes alone, as from a service manager.
mkdir "$work/temporary"
for signal_status in INT:130 TERM:143; do
    signal=SIG${signal_status%:*} expected=${signal_status#*:}
    TMPDIR="$work/temporary" SAMPLES=1 setsid env --default-signal=INT "$run" "$work/never.png" \
        >"$work/output" 2>"$work/errors" &
    run_pid=$!
    check "a progress line before $signal" wait_for_line '^strips ' "$work/errors" 120
    kill -"$signal" -- "-$run_pid"
    # Signals that come while it cleans up wait for the clean-up.
    wait_for_line interrupted "$work/errors" 30
    while kill -TERM "$run_pid" 2>/dev/null; do sleep 0.01; done
    wait "$run_pid"
    status=$?
    check "$signal ends it with status $expected" [ "$status" -eq "$expected" ]
    check "in one short line" [ "$(grep -c "interrupted by $signal" "$work/errors")" -eq 1 ]
    # The script has ended: whatever it started has ended before it.
    check "no process of the run is left" [ -z "$(pgrep -s "$run_pid")" ]
    check "no temporary file is left" [ -z "$(ls -A "$work/temporary")" ]
    check "no image is saved" [ ! -e "$work/never.png" ]
    cat "$work/errors"
done

# No GL context (as over ssh -X): said at once, and the run ends. At once:
# some 2 s here; a run left waiting is ended at 60.
LIBGL_ALWAYS_INDIRECT=1 SAMPLES=0 timeout 60 "$run" "$work/no-gl.png" >"$work/output" 2>"$work/errors"
check "without a GL context it ends at once with status 1" [ $? -eq 1 ]
check "in GTK's words" grep -q "OpenGL context for the image: Unable to create a GL context" "$work/errors"
cat "$work/errors"

# A configure that failed (here: no pkg-config modules) leaves a cache and
# no build files; two first runs at once on that tree take turns building.
# The tree's path has a blank, which the preloaded library must get past.
export MIRRORFOLD_BUILD_DIR="$work/build tree"
PKG_CONFIG_LIBDIR=/nonexistent cmake -S "$1" -B "$MIRRORFOLD_BUILD_DIR" >/dev/null 2>&1
check "the configure failed" [ ! -f "$MIRRORFOLD_BUILD_DIR/Makefile" ]
for name in first second; do
    SAMPLES=0 "$run" "$work/$name.png" >"$work/$name.output" 2>&1 &
    started_pids+=($!)
done
for name in first second; do
    wait "${started_pids[-1]}"
    check "a run at once with another succeeds" [ $? -eq 0 ]
    unset 'started_pids[-1]'
done
for name in first second; do
    check "$name image saved" [ -s "$work/$name.png" ] || cat "$work/$name.output"
    check "$name run shows its progress from a path with a blank" grep -q '^strips 108/108' "$work/$name.output"
done

# Without Debian's tools, as on Fedora, what their packages give is looked
# for instead; here it is all there. They are hidden in a mount namespace.
hiding() {  # hiding "TOOL..." COMMAND...
    unshare --mount sh -c 'for tool in $1; do mount --bind /dev/null "$(command -v $tool)"; done; shift; exec "$@"' \
        - "$@"
}
if unshare --mount true 2>/dev/null; then
    hiding "dpkg-query apt-get" env SAMPLES=0 "$run" "$work/no-debian.png" >"$work/output" 2>"$work/errors"
    check "without Debian's tools it renders" [ -s "$work/no-debian.png" ]
    cat "$work/errors"
    # And where no pkg-config module and no ImageMagick are found, it says
    # what is missing: the image would otherwise fail to be saved at the end.
    hiding "dpkg-query apt-get import" env PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH= SAMPLES=0 \
        "$run" "$work/no-gtk.png" >"$work/output" 2>"$work/errors"
    check "without GTK's files it stops with status 1" [ $? -eq 1 ]
    check "naming GTK's files" grep -q "module gtk+-3.0)" "$work/errors"
    check "and GL's" grep -q "module gl)" "$work/errors"
    check "and ImageMagick" grep -q "ImageMagick" "$work/errors"
    check "before rendering" [ ! -e "$work/no-gtk.png" ]
    cat "$work/errors"
else
    echo "skipped: no mount namespace here to hide Debian's tools in"
fi

# Displays that cannot show the image: a narrow one, and a wide one without
# a window manager. Said within seconds (some 3 s here, 30 allowed); Escape
# ends the run. Without a window manager the keys go to the window under
# the pointer.
for display_case in "1366x768 openbox:area is 1366 pixels wide; the image needs 1920" \
    "1920x1080 no:no window manager made it full screen"; do
    read -r size manager <<<"${display_case%%:*}"
    # The last case's number goes first: the shell empties the file only
    # once the background job has started, which can come after the wait.
    # No reset, as in scripts/run.
    rm -f "$work/display"
    Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
    started_pids+=($!)
    check "Xvfb comes up" wait_for_line . "$work/display" 30
    export DISPLAY=":$(cat "$work/display")"
    if [ "$manager" = openbox ]; then
        # Once its start-up is over: a window mapped before can wait
        # unmanaged for the next event to reach openbox.
        openbox --startup "xprop -root -f _MIRRORFOLD_WM_READY 32c -set _MIRRORFOLD_WM_READY 1" \
            >"$work/openbox" 2>&1 &
        started_pids+=($!)
        check "openbox comes up on $DISPLAY" wait_until 30 sh -c 'xprop -root _MIRRORFOLD_WM_READY 2>/dev/null | grep -q "= 1"' ||
            cat "$work/openbox"
    fi
    SAMPLES=0 "$run" >"$work/output" 2>"$work/errors" &
    run_pid=$!
    check "$size, window manager $manager: explained within seconds" \
        wait_for_line "${display_case#*:}" "$work/errors" 30
    check "with the way to a file" grep -q "scripts/run mirrorfold.png" "$work/errors"
    xdotool mousemove 20 20 key Escape
    wait "$run_pid"
    check "Escape then ends it with status 0" [ $? -eq 0 ]
    cat "$work/errors"
done
unset DISPLAY

# On a terminal the progress is one line redrawn in place, not a line a
# strip.
SAMPLES=0 script -qfec "$(printf '%q ' "$run" "$work/terminal.png")" /dev/null >"$work/output" 2>&1
check "on a terminal it finishes with status 0" [ $? -eq 0 ]
check "the progress redrawn in place" grep -q $'\r\\[##########\\] 108/108 100%' "$work/output"
check "in a few lines" [ "$(wc -l <"$work/output")" -le 6 ]
cat -v "$work/output" | tail -n 3

# The compiler the scripts install is the one CXX names.
for compiler in "g++:g++" "clang++:clang" "/usr/bin/clang++-19:clang-19" "g++-14:g++-14" ":g++"; do
    check "CXX=${compiler%%:*} needs ${compiler#*:}" \
        [ "$(CXX=${compiler%%:*} bash -c 'source "$1/scripts/setup.sh" && echo "$COMPILER_PACKAGE"' - "$1")" = "${compiler#*:}" ]
done

# A release check where the archive cannot be reached (nothing listens on
# port 9 here), or where none is named (apt's sources hidden), is skipped,
# in one line, with a status of its own.
unreachable_archive() {
    MIRRORFOLD_DEBIAN_ARCHIVE=http://127.0.0.1:9/debian "$@"
}
no_archive_named() {
    unshare --mount sh -c 'mount -t tmpfs tmpfs /etc/apt && exec "$@"' - env -u MIRRORFOLD_DEBIAN_ARCHIVE "$@"
}
if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
    for archive_case in "unreachable_archive:cannot be reached" "no_archive_named:names no Debian archive"; do
        ${archive_case%%:*} "$1/scripts/test-on-debian" trixie >"$work/output" 2>"$work/errors"
        check "${archive_case%%:*}: the release check is skipped with status 77" [ $? -eq 77 ]
        check "in one line saying so" [ "$(grep -c "${archive_case#*:}" "$work/errors")/$(wc -l <"$work/errors")" = 1/1 ]
        cat "$work/errors"
    done
else
    echo "skipped: the release check needs root and a mount namespace"
fi

# CI's script: the tests, then the Debian 13 check, whose 77 alone counts
# as skipped. Stand-ins play both, with the statuses given.
mkdir -p "$work/ci/.ci" "$work/ci/scripts"
cp "$1/.ci/run" "$work/ci/.ci/run"
for statuses in "0 0:0" "0 77:0" "0 1:1" "1 0:1"; do
    read -r tests release <<<"${statuses%:*}"
    printf '#!/bin/sh\nexit %s\n' "$tests" >"$work/ci/scripts/test"
    printf '#!/bin/sh\necho "$@" >"%s"\nexit %s\n' "$work/ci/release" "$release" >"$work/ci/scripts/test-on-debian"
    chmod +x "$work/ci/scripts/test" "$work/ci/scripts/test-on-debian"
    rm -f "$work/ci/release"
    "$work/ci/.ci/run" >/dev/null 2>&1
    check ".ci/run after tests $tests and release check $release: ${statuses#*:}" [ $? -eq "${statuses#*:}" ]
    [ "$tests" -ne 0 ] || check "the release checked is Debian 13" [ "$(cat "$work/ci/release")" = trixie ]
done

echo "$((failures == 0 ? 1 : 0)) passed, $((failures > 0 ? 1 : 0)) failed"
[ "$failures" -eq 0 ]
