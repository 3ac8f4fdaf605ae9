#!/usr/bin/env bash
# scripts/run as a user runs it, its standard error not a terminal: a PNG
# with no X server anywhere, refusals before any rendering (the renderer's
# and the benchmark's too), Ctrl-C and SIGTERM (the renderer's own too), no
# OpenGL 4.3, a build tree left by a failed configure at a path with a
# blank and two first runs at once, no Debian tools; the program on a
# display that draws, one too narrow, one without a window manager and
# one without a GL context; then on a terminal. The compiler the scripts
# install, a release check without an archive, and CI's own script.
#
# Limits on how soon something happens are some ten times what it takes
# here on an idle machine, so that a machine busy with other work meets
# them, while a step that hangs, or waits for a render, does not.
#
#   run_script_test.sh REPOSITORY BUILD_DIRECTORY
set -uo pipefail
run=$1/scripts/run render=$2/mirrorfold-render bench=$2/mirrorfold-bench
# The build this test belongs to, wherever it was configured.
export MIRRORFOLD_BUILD_DIR=$2
work=$(mktemp -d)
started_pids=()
# What a release check failed to unmount is unmounted here, the deepest
# first, before anything is removed: below it lie the machine's own /dev
# and /proc. And nothing is removed across a file system's edge.
unmount_left_behind() {
    local target
    for target in $(findmnt -rn -o TARGET | grep "^$work/" | sort -r); do
        umount --lazy "$target" 2>/dev/null || true
    done
}
trap 'kill "${started_pids[@]}" 2>/dev/null; unmount_left_behind; rm -rf --one-file-system "$work"' EXIT
unset DISPLAY WAYLAND_DISPLAY
# The narrow display below is the test's own: no session bus started there
# may outlive it.
export DBUS_SESSION_BUS_ADDRESS=disabled: NO_AT_BRIDGE=1
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
wait_for_line() {  # wait_for_line PATTERN FILE SECONDS
    wait_until "$3" grep -q "$1" "$2"
}

# A relative path from elsewhere lands where the user stands. The build
# tree is named from the checkout, as the default build/ is. No X server
# can be reached: the run has a network namespace of its own (for X's
# abstract sockets) and an empty socket directory.
no_x_server() {
    if unshare --net --mount true 2>/dev/null; then
        unshare --net --mount sh -c 'mkdir -p /tmp/.X11-unix && mount -t tmpfs tmpfs /tmp/.X11-unix && exec "$@"' - "$@"
    else
        echo "(X servers still reachable: no namespaces here)" >&2
        "$@"
    fi
}
mkdir -p "$work/elsewhere"
(cd "$work/elsewhere" && MIRRORFOLD_BUILD_DIR=$(realpath --relative-to="$1" "$2") \
    SAMPLES=0 no_x_server timeout 120 "$run" relative.png >"$work/output" 2>"$work/errors")
check "SAMPLES=0 finishes with status 0" [ $? -eq 0 ]
check "the time line comes" grep -q '^render time: [0-9]*\.[0-9]*$' "$work/output"
check "the image is saved in the caller's directory" \
    grep -qx "image saved: $work/elsewhere/relative.png" "$work/output"
check "and nothing else is left there" [ "$(ls -A "$work/elsewhere")" = relative.png ]
check "it is a 1920x1080 PNG" [ "$(identify -format '%m %wx%h' "$work/elsewhere/relative.png")" = "PNG 1920x1080" ]
check "which says how it was made" [ "$(identify -format '%[Software] %[Samples] %[Renderer]' \
    "$work/elsewhere/relative.png")" = "mirrorfold-render 0 $(sed -n 's/.*drawing with \(.*\) on .*/\1/p' "$work/errors")" ]
check "on llvmpipe, in draws of 2 s" grep -q "drawing with llvmpipe .* on .*, in draws of about 2 s$" "$work/errors"
check "the progress reaches 0 of 0 samples" grep -q '^samples 0/0 (100%)' "$work/errors"
check "a line at most every 10 per cent" [ "$(grep -c '^samples ' "$work/errors")" -le 10 ]
cat "$work/errors"

# /proc takes no file, even from root; an empty name is no name; the
# extension counts in any case. At once: well under a second here, where a
# render at one sample takes 25 s. The renderer and the benchmark accept
# and refuse the same names, and the renderer a device that is not there.
mkdir "$work/elsewhere/directory.png"
for refusal in "/nonexistent/image.png|/nonexistent: no such directory" \
    "$work/elsewhere/no-extension|name it so" "$work/elsewhere/image.jpg|name it so" \
    "/proc/x.png|cannot write /proc/x.png" "|the image's name is empty" "$work/elsewhere/directory.png|cannot write" \
    "$work/elsewhere/upper.PNG|"; do
    bad=${refusal%|*} reason=${refusal#*|}
    for tool in scripts/run mirrorfold-render mirrorfold-bench; do
        case $tool in
        scripts/run) command=("$run" "$bad") ;;
        mirrorfold-render) command=("$render" "$bad") ;;
        mirrorfold-bench) command=("$bench" --repeat 1 --png "$bad") ;;
        esac
        started=$SECONDS
        SAMPLES=0 timeout 120 "${command[@]}" >"$work/output" 2>"$work/errors"
        status=$?
        if [ -z "$reason" ]; then
            check "$tool takes $bad" [ "$status" -eq 0 ] && rm -f "$bad"
            continue
        fi
        check "$tool refuses \"$bad\" with status 2, before rendering, at once" \
            [ "$status/$(wc -c <"$work/output")/$((SECONDS - started < 20))" = 2/0/1 ]
        check "with its reason" grep -q "^$tool: .*$reason" "$work/errors"
    done
done
"$render" --list-devices >"$work/output" 2>&1
check "--list-devices names Mesa's software device" grep -q "^0: software, .*llvmpipe" "$work/output"
SAMPLES=0 "$render" --device 99 "$work/elsewhere/x.png" >"$work/output" 2>"$work/errors"
check "a device that is not there is refused with status 2" [ $? -eq 2 ]
check "before anything is drawn" [ "$(wc -c <"$work/output")/$(ls -A "$work/elsewhere")" = "0/$(printf 'directory.png\nrelative.png')" ]

# Ctrl-C reaches the whole foreground process group: here the session the
# run leads. A job started with & would ignore SIGINT from the start, and a
# shell cannot trap what it starts ignoring; from a terminal it does not.
# The renderer, run alone, ends by the signal itself, leaving neither its
# temporary file nor the image.
mkdir "$work/temporary" "$work/target"
nothing_left() {
    [ -z "$(find "$work/temporary" "$work/target" -mindepth 1)" ]
}
for signal_case in scripts/run:INT:130 scripts/run:TERM:143 mirrorfold-render:INT:130 mirrorfold-render:TERM:143; do
    IFS=: read -r tool signal expected <<<"$signal_case"
    signal=SIG$signal command=$run
    [ "$tool" = scripts/run ] || command=$render
    TMPDIR="$work/temporary" SAMPLES=1 setsid env --default-signal=INT "$command" "$work/target/never.png" \
        >"$work/output" 2>"$work/errors" &
    run_pid=$!
    check "$tool: a progress line before $signal" wait_for_line '^samples ' "$work/errors" 120
    kill -"$signal" -- "-$run_pid"
    if [ "$tool" = scripts/run ]; then
        # Signals that come while it cleans up wait for the clean-up.
        wait_for_line interrupted "$work/errors" 30
        while kill -TERM "$run_pid" 2>/dev/null; do sleep 0.01; done
    fi
    wait "$run_pid"
    status=$?
    check "$signal ends $tool with status $expected" [ "$status" -eq "$expected" ]
    [ "$tool" != scripts/run ] || check "in one short line" [ "$(grep -c "interrupted by $signal" "$work/errors")" -eq 1 ]
    # Whatever the run started has ended before it.
    check "no process of the run is left" [ -z "$(pgrep -s "$run_pid")" ]
    check "neither a temporary file nor an image is left" nothing_left
    cat "$work/errors"
done

# A write that fails (a file-size limit), no OpenGL 4.3 and a shader that
# does not build: one line each, with the GL's log for the shader, status 1,
# and nothing left.
(ulimit -f 4 && SAMPLES=0 exec "$render" "$work/target/large.png") >"$work/output" 2>"$work/errors"
check "a write that fails ends the renderer with status 1" [ $? -eq 1 ]
check "saying so" grep -q "^mirrorfold-render: cannot save $work/target/large.png: File too large$" "$work/errors"
check "and leaves nothing behind" nothing_left
MESA_GL_VERSION_OVERRIDE=4.2 SAMPLES=0 timeout 60 "$run" "$work/target/old-gl.png" >"$work/output" 2>"$work/errors"
check "below OpenGL 4.3 scripts/run ends with status 1" [ $? -eq 1 ]
check "in one line naming what is missing" [ "$(grep -c "no OpenGL 4.3 core context" "$work/errors")/$(wc -l <"$work/errors")" = 1/1 ]
SAMPLES=")" "$render" "$work/target/broken.png" >"$work/output" 2>"$work/errors"
check "a shader that does not build ends the renderer with status 1" [ $? -eq 1 ]
check "with the GL's log" grep -q "error: syntax error" "$work/errors"
check "and leaves nothing behind" nothing_left
cat "$work/errors"

# A configure that failed (here: no pkg-config modules) leaves a cache and
# no build files; two first runs at once on that tree take turns building.
# The tree's path has a blank.
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
    check "$name run shows its progress from a path with a blank" grep -q '^samples 0/0' "$work/$name.output"
done
check "that tree is configured without the tests" grep -q "^BUILD_TESTING:BOOL=OFF$" "$MIRRORFOLD_BUILD_DIR/CMakeCache.txt"
export MIRRORFOLD_BUILD_DIR=$2

# Run once as root (as with sudo) in a checkout that is another user's, then
# as that user, with another compiler: the build tree is theirs, and the
# build is made with the compiler they named. The other compiler is g++
# (this build's) behind a wrapper, which CMake knows by the wrapper's path.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    checkout=$work/checkout user=65534
    mkdir -p "$checkout" "$work/images"
    tar -C "$1" --exclude=./build --exclude=./.git -cf - . | tar -C "$checkout" -xf -
    printf '#!/bin/sh\nexec %s "$@"\n' "$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$2/CMakeCache.txt")" \
        >"$work/other-compiler"
    chmod 755 "$work" "$work/other-compiler"
    chmod 777 "$work/images"
    chown -R "$user:$user" "$checkout"
    env -u MIRRORFOLD_BUILD_DIR SUDO_UID=$user SAMPLES=0 "$checkout/scripts/run" "$work/images/as-root.png" >"$work/output" 2>&1
    check "as root in another user's checkout: the image saved" [ -s "$work/images/as-root.png" ] || cat "$work/output"
    check "and the build tree left to that user" [ -z "$(find "$checkout/build" ! -uid "$user")" ]
    setpriv --reuid="$user" --regid="$user" --clear-groups env -u MIRRORFOLD_BUILD_DIR HOME="$work/images" \
        CXX="$work/other-compiler" \
        SAMPLES=0 "$checkout/scripts/run" "$work/images/as-user.png" >"$work/output" 2>&1
    check "then as that user, with another compiler: the image saved" [ -s "$work/images/as-user.png" ] ||
        cat "$work/output"
    check "built with the compiler named" \
        grep -q "^CMAKE_CXX_COMPILER:[A-Z]*=$work/other-compiler$" "$checkout/build/CMakeCache.txt"
else
    echo "skipped: running as root and then as another user needs root and setpriv"
fi

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
    # And where no pkg-config module is found, it says what is missing for
    # a PNG, which needs no GTK.
    hiding "dpkg-query apt-get" env PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH= SAMPLES=0 \
        "$run" "$work/no-egl.png" >"$work/output" 2>"$work/errors"
    check "without EGL's files it stops with status 1" [ $? -eq 1 ]
    check "naming EGL's files" grep -q "module egl)" "$work/errors"
    check "and libpng's" grep -q "module libpng)" "$work/errors"
    check "and not GTK's" [ "$(grep -c gtk "$work/errors")" -eq 0 ]
    check "before rendering" [ ! -e "$work/no-egl.png" ]
    cat "$work/errors"
else
    echo "skipped: no mount namespace here to hide Debian's tools in"
fi

# The program on displays: one that draws (the progress comes from the
# library preloaded into it), a narrow one, a wide one without a window
# manager, and one that gives GTK no GL context (as over ssh -X). Each is
# said within seconds (some 3 s here, 30 allowed); Escape ends the run, but
# for the last, which ends itself. Without a window manager the keys go to
# the window under the pointer.
for display_case in "1920x1080 openbox -|^strips 108/108 (100%)|0" \
    "1366x768 openbox -|area is 1366 pixels wide; the image needs 1920|0" \
    "1920x1080 no -|no window manager made it full screen|0" \
    "1920x1080 openbox LIBGL_ALWAYS_INDIRECT=1|OpenGL context for the image: Unable to create a GL context|1"; do
    IFS='|' read -r setting expected_line expected_status <<<"$display_case"
    read -r size manager environment <<<"$setting"
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
    [ "$environment" != - ] || environment=
    env $environment SAMPLES=0 "$run" >"$work/output" 2>"$work/errors" &
    run_pid=$!
    check "$setting: said within seconds" wait_for_line "$expected_line" "$work/errors" 30
    case $expected_line in
    ^strips*) check "with the time line" wait_for_line "^render time: " "$work/output" 30 ;;
    *GL*) ;;
    *) check "with the way to a file" grep -q "scripts/run mirrorfold.png" "$work/errors" ;;
    esac
    [ "$expected_status" -ne 0 ] || xdotool mousemove 20 20 key Escape
    wait "$run_pid"
    check "then it ends with status $expected_status" [ $? -eq "$expected_status" ]
    cat "$work/errors"
done
unset DISPLAY

# On a terminal the progress is one line redrawn in place, not a line a
# strip.
SAMPLES=0 script -qfec "$(printf '%q ' "$run" "$work/terminal.png")" /dev/null >"$work/output" 2>&1
check "on a terminal it finishes with status 0" [ $? -eq 0 ]
check "the progress redrawn in place" grep -q $'\r\\[##########\\]   0/0 100%' "$work/output"
check "in a few lines" [ "$(wc -l <"$work/output")" -le 6 ]
cat -v "$work/output" | tail -n 3

# The compiler the scripts install is the one CXX names.
for compiler in "g++:g++" "clang++:clang" "/usr/bin/clang++-19:clang-19" "g++-14:g++-14" ":g++" "/opt/my-wrapper:"; do
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
    # Whether the tests there pass, fail or are interrupted, everything
    # mounted is unmounted and everything made is removed. A stand-in for
    # debootstrap makes a small system whose "env", which runs the tests
    # there, does as it is told.
    cat >"$work/debootstrap" <<'STAND_IN'
#!/bin/bash
root=$3
mkdir -p "$root"/{proc,sys,dev,tmp,etc/apt/apt.conf.d,usr/bin,root}
for file in /bin/sh /bin/sleep $(ldd /bin/sh /bin/sleep | grep -o '/[^ ]*'); do cp --parents -L "$file" "$root"; done
printf '#!/bin/sh\necho >/started\n%s\n' "$TESTS_THERE" >"$root/usr/bin/env"
chmod 755 "$root/usr/bin/env"
STAND_IN
    chmod 755 "$work/debootstrap"
    mkdir "$work/releases"
    started_there() {
        [ -n "$(find "$work/releases" -maxdepth 3 -name started)" ]
    }
    for outcome in "exit 0:0" "exit 1:1" "sleep 600:130"; do
        TMPDIR="$work/releases" MIRRORFOLD_DEBOOTSTRAP="$work/debootstrap" TESTS_THERE=${outcome%:*} \
            setsid env --default-signal=INT "$1/scripts/test-on-debian" trixie >"$work/output" 2>&1 &
        run_pid=$!
        if [ "${outcome#*:}" -eq 130 ]; then
            check "the tests there begin" wait_until 60 started_there
            kill -INT -- "-$run_pid"
        fi
        wait "$run_pid"
        check "tests there that end with \"${outcome%:*}\": status ${outcome#*:}" [ $? -eq "${outcome#*:}" ] ||
            cat "$work/output"
        check "nothing left mounted" [ -z "$(findmnt -rn -o TARGET | grep "^$work/releases/")" ] ||
            unmount_left_behind
        check "nothing left" [ -z "$(ls -A "$work/releases")" ]
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

report_and_end
