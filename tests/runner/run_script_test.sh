#!/usr/bin/env bash
# scripts/run as a user runs it, its standard error not a terminal: progress
# and saving, refusals before any rendering, Ctrl-C, a display too narrow, no
# GL context, a build tree left by a failed configure and two first runs at
# once.
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
check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
wait_for_line() {  # wait_for_line PATTERN FILE SECONDS
    local _
    for _ in $(seq $(($3 * 10))); do
        grep -q "$1" "$2" && return 0
        sleep 0.1
    done
    return 1
}

# A relative path from elsewhere lands where the user stands.
mkdir "$work/elsewhere"
(cd "$work/elsewhere" && SAMPLES=0 "$run" relative.png >"$work/output" 2>"$work/errors")
check "SAMPLES=0 finishes with status 0" [ $? -eq 0 ]
check "the time line comes" grep -q '^render time: [0-9]*\.[0-9]*$' "$work/output"
check "the image is saved in the caller's directory" \
    grep -qx "image saved: $work/elsewhere/relative.png" "$work/output"
check "it is a 1920x1080 PNG" [ "$(identify -format '%m %wx%h' "$work/elsewhere/relative.png")" = "PNG 1920x1080" ]
check "the progress reaches 108 of 108" grep -q '^strips 108/108 (100%)' "$work/errors"
check "a line at most every 10 per cent" [ "$(grep -c '^strips ' "$work/errors")" -le 10 ]
cat "$work/errors"

for bad in /nonexistent/image.png "$work/elsewhere/no-extension" "$work/elsewhere/image.jpg"; do
    started=$SECONDS
    SAMPLES=0 "$run" "$bad" >"$work/output" 2>"$work/errors"
    status=$?
    check "$bad is refused" [ "$status" -ne 0 ]
    check "$bad is refused before rendering" [ ! -s "$work/output" ]
    check "$bad is refused with a reason" grep -q "scripts/run: " "$work/errors"
    check "$bad is refused at once" [ $((SECONDS - started)) -lt 10 ]
done

# Ctrl-C reaches the whole foreground process group: here the session the
# run leads. A job started with & would ignore SIGINT from the start, and a
# shell cannot trap what it starts ignoring; from a terminal it does not.
mkdir "$work/temporary"
TMPDIR="$work/temporary" SAMPLES=1 setsid env --default-signal=INT "$run" "$work/never.png" \
    >"$work/output" 2>"$work/errors" &
run_pid=$!
check "a progress line before the interruption" wait_for_line '^strips ' "$work/errors" 120
kill -INT -- "-$run_pid"
wait "$run_pid"
status=$?
check "interrupted, it ends with status 130" [ "$status" -eq 130 ]
check "in one short line" [ "$(grep -c interrupted "$work/errors")" -eq 1 ]
sleep 1
check "no process of the run is left" [ -z "$(pgrep -s "$run_pid")" ]
check "no temporary file is left" [ -z "$(ls -A "$work/temporary")" ]
check "no image is saved" [ ! -e "$work/never.png" ]
cat "$work/errors"

# No GL context (as over ssh -X): said at once, and the run ends.
started=$SECONDS
LIBGL_ALWAYS_INDIRECT=1 SAMPLES=0 "$run" "$work/no-gl.png" >"$work/output" 2>"$work/errors"
check "without a GL context it ends with status 1" [ $? -eq 1 ]
check "saying why, at once" [ $((SECONDS - started)) -lt 20 ]
check "in GTK's words" grep -q "OpenGL context for the image: Unable to create a GL context" "$work/errors"
cat "$work/errors"

# A display narrower than the image: said within seconds; Escape ends it.
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
started_pids+=($!)
wait_for_line . "$work/display" 10
export DISPLAY=":$(cat "$work/display")"
openbox >/dev/null 2>&1 &
started_pids+=($!)
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; do sleep 0.1; done
SAMPLES=0 "$run" >"$work/output" 2>"$work/errors" &
run_pid=$!
check "a narrow display is explained within seconds" \
    wait_for_line "area is 1366 pixels wide; the image needs 1920" "$work/errors" 10
check "with the way to a file" grep -q "scripts/run mirrorfold.png" "$work/errors"
xdotool key Escape
wait "$run_pid"
check "Escape then ends it with status 0" [ $? -eq 0 ]
cat "$work/errors"
unset DISPLAY

# A configure that failed (here: no pkg-config modules) leaves a cache and
# no build files; two first runs at once on that tree take turns building.
export MIRRORFOLD_BUILD_DIR=$work/build
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
done

echo "$((failures == 0 ? 1 : 0)) passed, $((failures > 0 ? 1 : 0)) failed"
[ "$failures" -eq 0 ]
