#!/usr/bin/env bash
# scripts/run as a user runs it without a display, its standard error not a
# terminal: progress and saving, refusals before any rendering, and Ctrl-C.
#
#   run_script_test.sh REPOSITORY
set -uo pipefail
run=$1/scripts/run
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset DISPLAY WAYLAND_DISPLAY
failures=0
check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
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
for _ in $(seq 600); do
    grep -q '^strips ' "$work/errors" && break
    sleep 0.2
done
check "a progress line before the interruption" grep -q '^strips ' "$work/errors"
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

echo "$((failures == 0 ? 1 : 0)) passed, $((failures > 0 ? 1 : 0)) failed"
[ "$failures" -eq 0 ]
