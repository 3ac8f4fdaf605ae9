# Shared by scripts/run and scripts/test: the packages a command needs and
# the build. Source it; it defines functions and the package lists only.

# Whether a command runs here: one that is present but may not be run (a
# tool hidden by binding /dev/null over it, say) counts as absent.
runs() {
    "$@" >/dev/null 2>&1
}

# Installs the named Debian packages that are missing: with apt-get when run
# as root, otherwise it says what to install and stops. Without Debian's
# tools (Fedora, Arch) it checks instead what the packages give, and names
# what is missing in words any distribution knows.
require_packages() {
    if ! runs dpkg-query --version; then
        require_without_debian "$@"
        return
    fi
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ] || ! runs apt-get --version; then
        echo "missing Debian packages: ${missing[*]}" >&2
        echo "install them as root: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    # With their dependencies that is hundreds of packages on a fresh
    # system; apt's own lines would be as many, so each step says what it
    # does instead.
    echo "installing ${#missing[@]} Debian packages with apt-get: ${missing[*]}" >&2
    echo "  reading the package lists..." >&2
    apt-get update -qq
    echo "  downloading and installing them with what they need (on a fresh system, a few minutes)..." >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    echo "  installed." >&2
}

# What each Debian package gives that can be checked anywhere: "command"
# with the commands of which one will do, or "module" with a pkg-config
# module; then, after "--", what it is in words. The Mesa drivers are not
# listed: any OpenGL driver will do, and none can be told from outside.
declare -gA PACKAGE_GIVES=(
    [g++]="command g++ clang++ -- a C++ compiler (g++ or clang++)"
    [cmake]="command cmake -- CMake"
    [make]="command make -- make"
    [binutils]="command ld.bfd -- GNU ld (binutils), which writes the packed file"
    [pkg-config]="command pkg-config pkgconf -- pkg-config"
    [libgtk-3-dev]="module gtk+-3.0 -- the GTK 3 development files (pkg-config module gtk+-3.0)"
    [libgl-dev]="module gl -- the OpenGL development files (pkg-config module gl)"
    [libegl-dev]="module egl -- the EGL development files (pkg-config module egl)"
    [libopengl-dev]="module opengl -- the OpenGL development files (pkg-config module opengl)"
    [libpng-dev]="module libpng -- the libpng development files (pkg-config module libpng)"
    [libopenexr-dev]="module OpenEXR -- the OpenEXR development files (pkg-config module OpenEXR)"
    [libgtest-dev]="module gtest -- GoogleTest (pkg-config module gtest)"
    [libx11-dev]="module x11 -- the Xlib development files (pkg-config module x11)"
    [libxfixes-dev]="module xfixes -- the XFixes development files (pkg-config module xfixes)"
    [xvfb]="command Xvfb -- the virtual X server Xvfb"
    [xauth]="command xauth -- xauth"
    [openbox]="command openbox -- the openbox window manager"
    [imagemagick]="command identify -- ImageMagick (its identify command)"
    [x11-utils]="command xprop -- the X utilities xprop and xwininfo"
    [xdotool]="command xdotool -- xdotool"
    [glslang-tools]="command glslangValidator -- glslangValidator (glslang)"
    [procps]="command pgrep -- pgrep (procps)"
    [debootstrap]="command debootstrap -- debootstrap"
    [groff-base]="command groff -- groff"
    [openexr]="command exrheader -- OpenEXR's tools (exrheader)"
)

require_without_debian() {
    local missing=() package kind names name gives found
    for package in "$@"; do
        gives=${PACKAGE_GIVES[$package]:-}
        [ -n "$gives" ] || continue
        read -r kind names <<<"${gives%% -- *}"
        found=false
        for name in $names; do
            case $kind in
            # Found on PATH and executable: a file hidden under /dev/null is not.
            command) [ -x "$(type -P "$name")" ] && found=true ;;
            module) runs pkg-config --exists "$name" && found=true ;;
            esac
        done
        $found || missing+=("${gives#* -- }")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "missing, to be installed with this system's package manager:" >&2
    printf '  %s\n' "${missing[@]}" >&2
    exit 1
}

# The C++ compiler is the one CXX names, as CMake takes it: its Debian
# package, and elsewhere the command itself. Where CXX is unset, g++ (or,
# elsewhere, either compiler).
set_compiler_package() {
    local compiler=${CXX:-}
    compiler=${compiler##*/}
    case $compiler in
    clang++ | clang++-[0-9]*) COMPILER_PACKAGE=clang${compiler#clang++} ;;
    g++ | g++-[0-9]*) COMPILER_PACKAGE=$compiler ;;
    "") COMPILER_PACKAGE=g++ && return ;;
    # A compiler of the user's own (a wrapper, ccache): no package gives
    # it, and CMake says so where it is no compiler.
    *) COMPILER_PACKAGE= && return ;;
    esac
    PACKAGE_GIVES[$COMPILER_PACKAGE]="command $compiler -- the C++ compiler $compiler"
}
set_compiler_package

# What building needs: the tools; what the program, its packed form and
# the runner's preload library add; what the renderer adds; what the tests
# and the benchmark add to all that. Mesa's drivers, through EGL, draw
# where there is no GPU driver of another vendor.
BUILD_TOOL_PACKAGES=(${COMPILER_PACKAGE:+"$COMPILER_PACKAGE"} binutils cmake make pkg-config)
PROGRAM_BUILD_PACKAGES=(libgtk-3-dev libgl-dev)
RENDERER_BUILD_PACKAGES=(libegl-dev libopengl-dev libpng-dev libopenexr-dev)
TEST_BUILD_PACKAGES=(libgtest-dev libx11-dev libxfixes-dev)
MESA_PACKAGES=(libgl1-mesa-dri libegl-mesa0)
# The tests run the program itself on virtual displays: the server, Mesa's
# GLX, a window manager, the root-window queries that tell the manager is
# up, and ImageMagick to read the images saved. They also press keys, run
# the reference GLSL compiler, look for processes left behind, try
# scripts/test-on-debian where the archive cannot be reached, render the
# manual pages and read the renderer's checkpoints with exrheader.
TEST_PACKAGES=(libglx-mesa0 xvfb xauth openbox imagemagick x11-utils
    xdotool glslang-tools procps debootstrap groff-base openexr)

# The build tree: build/ at the repository root, or the one
# MIRRORFOLD_BUILD_DIR names (a test run from a tree configured elsewhere).
BUILD_DIR=${MIRRORFOLD_BUILD_DIR:-build}

# Root builds for the checkout's owner: someone who ran "sudo scripts/run"
# once must still own the build tree they run in next, as themselves.
give_build_tree_to_owner() {
    local owner
    owner=$(stat -c %u:%g .)
    if [ "$(id -u)" -eq 0 ] && [ "${owner%%:*}" -ne 0 ] && [ -d "$BUILD_DIR" ]; then
        chown -R "$owner" "$BUILD_DIR"
    fi
}

# CMake reads CXX only when it first configures a tree, so a tree that
# another compiler built would quietly build with that one again. Where CXX
# names a compiler other than the tree's, the tree is emptied, but for its
# lock, and configured anew.
configure_for_compiler() {
    local wanted cached
    [ -n "${CXX:-}" ] && [ -f "$BUILD_DIR/CMakeCache.txt" ] || return 0
    wanted=$(realpath -- "$(type -P "$CXX")" 2>/dev/null) || return 0
    cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
    cached=$(realpath -- "$cached" 2>/dev/null) || true
    [ "$wanted" != "$cached" ] || return 0
    echo "the build tree $BUILD_DIR was configured for ${cached:-another compiler}; configuring it anew for $CXX" >&2
    find "$BUILD_DIR" -mindepth 1 -maxdepth 1 ! -name .build.lock -exec rm -rf {} +
}

# Builds into BUILD_DIR; the compiler's output is shown only when something
# fails. "program" builds what scripts/run needs to show the image (the
# program and its run report library), "renderer" what it needs to save it,
# "everything" the tests and the benchmark too. A tree is configured again
# each time (a second or so), so that what was installed since (GTK, say,
# for a tree first built for the renderer alone) is found. Runs that share
# a build tree take turns here, and only here. Given a directory, it copies
# what was built there before the next build may start: a run executes its
# own copies, which a build for another run cannot relink under it.
build_mirrorfold() {
    if ! mkdir -p "$BUILD_DIR" 2>/dev/null || [ ! -w "$BUILD_DIR" ]; then
        echo "cannot build: $(realpath -m "$BUILD_DIR") is not writable by $(id -un)" >&2
        echo "run it as the owner of the checkout, or from a copy of your own" >&2
        exit 1
    fi
    local lock
    exec {lock}>"$BUILD_DIR/.build.lock"
    flock "$lock"
    configure_for_compiler
    local configure=(cmake -S . -B "$BUILD_DIR") build=(cmake --build "$BUILD_DIR" --parallel "$(nproc)") targets=()
    case $1 in
    everything) configure+=(-DBUILD_TESTING=ON) ;;
    program) targets=(mirrorfold mirrorfold_run_report) ;;
    renderer) targets=(mirrorfold-render) ;;
    esac
    # A tree without build files, new or left by a failed configure, is
    # configured without the tests for a run, so that its first build is
    # the run's alone; a complete tree keeps its settings.
    if [ "$1" != everything ] && [ ! -f "$BUILD_DIR/Makefile" ] && [ ! -f "$BUILD_DIR/build.ninja" ]; then
        configure+=(-DBUILD_TESTING=OFF)
    fi
    [ ${#targets[@]} -eq 0 ] || build+=(--target "${targets[@]}")
    # In a subshell, so that only it writes to the log: a trap that runs
    # while it builds (Ctrl-C) still speaks to the user.
    if ! ("${configure[@]}" && "${build[@]}") >"$BUILD_DIR/build.log" 2>&1; then
        give_build_tree_to_owner
        cat "$BUILD_DIR/build.log" >&2
        echo "the build failed (its log: $BUILD_DIR/build.log)" >&2
        exit 1
    fi
    give_build_tree_to_owner
    if [ -n "${2:-}" ]; then
        case $1 in
        program) cp "$BUILD_DIR/mirrorfold" "$BUILD_DIR/libmirrorfold_run_report.so" "$2/" ;;
        renderer) cp "$BUILD_DIR/mirrorfold-render" "$2/" ;;
        esac
    fi
    exec {lock}>&-
}
