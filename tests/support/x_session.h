// Running the real mirrorfold executable on a private X server with a
// window manager, and watching it: its calls (through the call_log preload
// library), its output, its window, its exit.
#pragma once

#include "call_records.h"

#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mirrorfold_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The program under test: build/mirrorfold, or the file MIRRORFOLD_PROGRAM
// names (CTest runs the behaviour suites once more on the packed form).
std::string program_path();
// build/mirrorfold itself, whichever form is under test, or the build that
// MIRRORFOLD_EXECUTABLE names (another compiler's).
std::string plain_program_path();
std::string call_log_library_path();

std::string read_file(const std::string& path);

// A child process started with posix_spawn.
class Child {
public:
    // The child gets this process's environment with `changes` applied: a
    // value replaces, nothing removes.
    using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;
    Child(const std::vector<std::string>& command, const EnvironmentChanges& changes,
          int stdout_fd = -1, int stderr_fd = -1, int extra_fd = -1);
    Child(Child&&) noexcept;
    ~Child();  // kills the process if it still runs

    pid_t pid() const { return pid_; }
    // Given for stdout_fd: the child starts with all three standard
    // descriptors closed.
    static constexpr int closed = -2;
    // The exit status, or 128 + the signal; nothing if still running after
    // `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();
    void kill_now();

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Xvfb with one screen of the given size and openbox on it.
class VirtualDisplay {
public:
    VirtualDisplay(int width, int height);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    const std::string& name() const { return name_; }
    ::Display* x() const { return connection_; }

    // Presses keys as a user would (xdotool syntax: "Escape", "ctrl+Escape").
    void press(const std::string& keys) const;

    // The top-level client window of process `pid`, once the window manager
    // manages it.
    std::optional<::Window> client_window_of(pid_t pid) const;
    bool is_fullscreen(::Window window) const;
    // Position on the root window and size.
    struct Geometry {
        int x, y, width, height;
    };
    Geometry geometry(::Window window) const;
    // Whether the pointer, moved to (x, y), comes to show a fully transparent
    // cursor within seconds.
    bool cursor_is_blank_at(int x, int y) const;
    // The screen's pixels as 0xRRGGBB, row 0 at the top.
    std::vector<uint32_t> screenshot() const;

private:
    std::optional<Child> server_;
    std::optional<Child> window_manager_;
    std::string name_;
    ::Display* connection_ = nullptr;
};

struct RunOptions {
    std::optional<std::string> samples;  // SAMPLES; unset when empty
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;
    bool stdout_to_file = false;  // a pipe otherwise
    bool provoke_renders = false;
    bool standard_descriptors_closed = false;  // 0, 1 and 2: no pipe, no files
    // The call log library at another path: the build's, reached otherwise.
    std::optional<std::string> call_log_library;
};

// One run of the program on a display, with its calls logged.
class ProgramRun {
public:
    ProgramRun(const VirtualDisplay& display, RunOptions options);
    ~ProgramRun();

    std::vector<Call> calls() const;
    // Waits until `condition` holds for the calls so far; no longer once
    // the program has ended.
    bool wait_for(const std::function<bool(const std::vector<Call>&)>& condition,
                  std::chrono::milliseconds timeout = 60s) const;
    bool wait_for_call(const std::string& name, size_t count = 1, std::chrono::milliseconds timeout = 60s) const;
    // Waits for the emission at full width that arms the render (start-up
    // is slow on a busy machine), then for the shader's build, which the
    // next emission begins at once.
    bool wait_for_build() const;
    // Then for the last strip too.
    bool wait_for_image(std::chrono::milliseconds drawing = 60s) const;
    // Where the run stands: its emissions, the build, the strips, its
    // window and what it wrote on standard error. Told when a wait for the
    // image runs out.
    std::string progress() const;
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = 30s);
    bool running() { return child_->running(); }
    pid_t pid() const { return child_->pid(); }

    // What the program wrote so far; all of it once it has ended.
    std::string standard_output();
    std::string standard_error();

private:
    const VirtualDisplay& display_;
    std::string directory_;
    // Mutable: whether it still runs is learned by reaping it.
    mutable std::optional<Child> child_;
    int stdout_pipe_ = -1;
    std::mutex stdout_mutex_;
    std::string stdout_text_;
    std::thread stdout_reader_;
    bool stdout_to_file_;
};

}  // namespace mirrorfold_test
