#include "x_session.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace mirrorfold_test {

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

namespace {

// The root window's property that says openbox has started.
constexpr char window_manager_ready[] = "_MIRRORFOLD_WM_READY";

template <typename Condition>
bool poll_until(Condition condition, std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::vector<unsigned long> window_property(::Display* x, ::Window window, const char* name, Atom type)
{
    Atom actual_type;
    int format;
    unsigned long count, remaining;
    unsigned char* data = nullptr;
    std::vector<unsigned long> values;
    if (XGetWindowProperty(x, window, XInternAtom(x, name, False), 0, 1024, False, type, &actual_type, &format,
                           &count, &remaining, &data) == Success &&
        data && format == 32) {
        auto* longs = reinterpret_cast<unsigned long*>(data);
        values.assign(longs, longs + count);
    }
    if (data)
        XFree(data);
    return values;
}

}  // namespace

std::string program_path()
{
    const char* program = getenv("MIRRORFOLD_PROGRAM");
    return program ? program : plain_program_path();
}

std::string plain_program_path()
{
    const char* executable = getenv("MIRRORFOLD_EXECUTABLE");
    return executable ? executable : MIRRORFOLD_EXECUTABLE;
}

std::string call_log_library_path()
{
    return MIRRORFOLD_CALL_LOG_LIBRARY;
}

// --- Child ----------------------------------------------------------------------

Child::Child(const std::vector<std::string>& command, const EnvironmentChanges& changes, int stdout_fd,
             int stderr_fd, int extra_fd)
{
    std::map<std::string, std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        size_t equals = text.find('=');
        if (equals != std::string::npos)
            environment[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value)
            environment[name] = *value;
        else
            environment.erase(name);
    }
    std::vector<std::string> environment_entries;
    for (const auto& [name, value] : environment)
        environment_entries.push_back(name + "=" + value);

    std::vector<char*> argv, envp;
    for (const auto& argument : command)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const auto& entry : environment_entries)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // dup2 clears close-on-exec on the copy, so only these reach the child.
    if (stdout_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
    else if (stdout_fd == closed)
        for (int fd : {0, 1, 2})
            posix_spawn_file_actions_addclose(&actions, fd);
    if (stderr_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stderr_fd, 2);
    if (extra_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, extra_fd, 3);
    int error = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start " + command[0] + ": " + strerror(error));
}

Child::Child(Child&& other) noexcept : pid_(other.pid_), status_(other.status_)
{
    other.pid_ = -1;
}

Child::~Child()
{
    if (pid_ > 0 && running()) {
        kill_now();
        wait(5s);
    }
}

bool Child::running()
{
    return !wait(0ms).has_value();
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout)
{
    poll_until(
        [&] {
            if (status_)
                return true;
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_.has_value();
        },
        timeout);
    return status_;
}

void Child::kill_now()
{
    if (!status_)
        ::kill(pid_, SIGKILL);
}

// --- VirtualDisplay ---------------------------------------------------------------

VirtualDisplay::VirtualDisplay(int width, int height)
{
    int display_pipe[2];
    if (pipe2(display_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp"},
                    Child::EnvironmentChanges{}, -1, -1, display_pipe[1]);
    close(display_pipe[1]);
    // Xvfb writes its display number once it accepts connections.
    std::string number;
    pollfd ready{display_pipe[0], POLLIN, 0};
    char c;
    while (poll(&ready, 1, 20000) > 0 && read(display_pipe[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(display_pipe[0]);
    if (number.empty())
        throw std::runtime_error("Xvfb did not start");
    name_ = ":" + number;
    connection_ = XOpenDisplay(name_.c_str());
    if (!connection_)
        throw std::runtime_error("cannot connect to " + name_);

    // openbox announces itself early in its start-up. A window mapped
    // before that start-up is over can wait unmanaged, neither full screen
    // nor focused, until some later event reaches openbox: the request sits
    // in a queue of openbox's own that its main loop does not look at. The
    // command given with --startup runs once the start-up is over; it marks
    // the root window.
    const std::string mark_ready = "xprop -root -f " + std::string(window_manager_ready) + " 32c -set " +
                                   window_manager_ready + " 1";
    window_manager_.emplace(std::vector<std::string>{"openbox", "--startup", mark_ready},
                            Child::EnvironmentChanges{{"DISPLAY", name_}});
    bool managed = poll_until(
        [&] {
            return !window_property(connection_, DefaultRootWindow(connection_), window_manager_ready, XA_CARDINAL)
                        .empty();
        },
        20s);
    if (!managed)
        throw std::runtime_error("openbox did not start");
}

VirtualDisplay::~VirtualDisplay()
{
    if (connection_)
        XCloseDisplay(connection_);
    window_manager_.reset();
    server_.reset();
}

void VirtualDisplay::press(const std::string& keys) const
{
    Child xdotool({"xdotool", "key", keys}, {{"DISPLAY", name_}});
    xdotool.wait(30s);
}

std::optional<::Window> VirtualDisplay::client_window_of(pid_t pid) const
{
    for (unsigned long window :
         window_property(connection_, DefaultRootWindow(connection_), "_NET_CLIENT_LIST", XA_WINDOW)) {
        auto pids = window_property(connection_, window, "_NET_WM_PID", XA_CARDINAL);
        if (!pids.empty() && pid_t(pids[0]) == pid)
            return window;
    }
    return std::nullopt;
}

bool VirtualDisplay::is_fullscreen(::Window window) const
{
    Atom fullscreen = XInternAtom(connection_, "_NET_WM_STATE_FULLSCREEN", False);
    auto states = window_property(connection_, window, "_NET_WM_STATE", XA_ATOM);
    return std::find(states.begin(), states.end(), fullscreen) != states.end();
}

VirtualDisplay::Geometry VirtualDisplay::geometry(::Window window) const
{
    XWindowAttributes attributes;
    XGetWindowAttributes(connection_, window, &attributes);
    int x = 0, y = 0;
    ::Window child;
    XTranslateCoordinates(connection_, window, DefaultRootWindow(connection_), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
}

bool VirtualDisplay::cursor_is_blank_at(int x, int y) const
{
    int event_base, error_base;
    if (!XFixesQueryExtension(connection_, &event_base, &error_base))
        throw std::runtime_error("no XFixes");
    XWarpPointer(connection_, None, DefaultRootWindow(connection_), 0, 0, 0, 0, x, y);
    XSync(connection_, False);
    return poll_until(
        [&] {
            XFixesCursorImage* image = XFixesGetCursorImage(connection_);
            if (!image)
                throw std::runtime_error("no cursor image");
            bool blank = true;
            for (int i = 0; i < image->width * image->height; ++i)
                blank = blank && (image->pixels[i] >> 24) == 0;
            XFree(image);
            return blank;
        },
        5s);
}

std::vector<uint32_t> VirtualDisplay::screenshot() const
{
    ::Window root = DefaultRootWindow(connection_);
    XWindowAttributes attributes;
    XGetWindowAttributes(connection_, root, &attributes);
    XImage* image = XGetImage(connection_, root, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    std::vector<uint32_t> pixels;
    pixels.reserve(size_t(attributes.width) * attributes.height);
    for (int y = 0; y < attributes.height; ++y)
        for (int x = 0; x < attributes.width; ++x)
            pixels.push_back(uint32_t(XGetPixel(image, x, y)) & 0xffffff);
    XDestroyImage(image);
    return pixels;
}

// --- ProgramRun ---------------------------------------------------------------------

ProgramRun::ProgramRun(const VirtualDisplay& display, RunOptions options)
    : display_(display), stdout_to_file_(options.stdout_to_file)
{
    char directory[] = "/tmp/mirrorfold-test-XXXXXX";
    if (!mkdtemp(directory))
        throw std::runtime_error("mkdtemp");
    directory_ = directory;

    // The loader splits LD_PRELOAD at blanks and colons, which a checkout's
    // path may have: the library goes in through a link in the run's own
    // directory, whose path has neither.
    const std::string call_log_link = directory_ + "/call_log.so";
    std::filesystem::create_symlink(options.call_log_library.value_or(call_log_library_path()), call_log_link);

    Child::EnvironmentChanges environment = {
        {"DISPLAY", display.name()},
        {"WAYLAND_DISPLAY", std::nullopt},
        {"GDK_BACKEND", "x11"},
        {"LD_PRELOAD", call_log_link},
        {"MIRRORFOLD_CALL_LOG", directory_ + "/calls.log"},
        {"SAMPLES", options.samples},
        {"MIRRORFOLD_PROVOKE_RENDERS", options.provoke_renders ? std::optional<std::string>("1") : std::nullopt},
        // Where a session bus can be started on demand, GTK would start one
        // for its accessibility bridge that outlives the run, and the
        // bridge's tail calls would look like the program's own.
        {"DBUS_SESSION_BUS_ADDRESS", "disabled:"},
        {"NO_AT_BRIDGE", "1"},
    };
    for (const auto& [name, value] : options.environment)
        environment[name] = value;

    int stdout_fd = Child::closed;
    if (stdout_to_file_) {
        stdout_fd = open((directory_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } else if (!options.standard_descriptors_closed) {
        int stdout_pipe[2];
        if (pipe2(stdout_pipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        stdout_pipe_ = stdout_pipe[0];
        stdout_fd = stdout_pipe[1];
    }
    int stderr_fd = options.standard_descriptors_closed
                        ? -1
                        : open((directory_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

    std::vector<std::string> command = {program_path()};
    command.insert(command.end(), options.arguments.begin(), options.arguments.end());
    child_.emplace(command, environment, stdout_fd, stderr_fd);
    for (int fd : {stdout_fd, stderr_fd})
        if (fd >= 0)
            close(fd);
    if (!stdout_to_file_) {
        stdout_reader_ = std::thread([this] {
            char buffer[4096];
            ssize_t count;
            while ((count = read(stdout_pipe_, buffer, sizeof buffer)) > 0) {
                std::lock_guard<std::mutex> lock(stdout_mutex_);
                stdout_text_.append(buffer, count);
            }
        });
    }
}

ProgramRun::~ProgramRun()
{
    child_.reset();
    if (stdout_reader_.joinable())
        stdout_reader_.join();
    if (stdout_pipe_ >= 0)
        close(stdout_pipe_);
    std::filesystem::remove_all(directory_);
}

std::vector<Call> ProgramRun::calls() const
{
    return parse_call_log(read_file(directory_ + "/calls.log"));
}

bool ProgramRun::wait_for(const std::function<bool(const std::vector<Call>&)>& condition,
                          std::chrono::milliseconds timeout) const
{
    poll_until([&] { return condition(calls()) || !child_->running(); }, timeout);
    return condition(calls());
}

bool ProgramRun::wait_for_call(const std::string& name, size_t count, std::chrono::milliseconds timeout) const
{
    return wait_for([&](const std::vector<Call>& calls) { return count_calls(calls, name) >= count; }, timeout);
}

bool ProgramRun::wait_for_build() const
{
    auto armed = [](const std::vector<Call>& calls) {
        for (const Emission& emission : render_emissions(calls))
            if (emission.width >= 1920 && emission.end != std::string::npos)
                return true;
        return false;
    };
    // Start-up is slow on a busy machine, and slower on a fresh one, whose
    // caches are cold. The build follows the arming emission at once.
    if (wait_for(armed, 120s) && wait_for_call("glCreateShader", 1, 20s))
        return true;
    std::cerr << "no shader build: " << progress() << std::endl;
    return false;
}

bool ProgramRun::wait_for_image(std::chrono::milliseconds drawing) const
{
    if (!wait_for_build())
        return false;
    if (wait_for(drawing_finished, drawing))
        return true;
    std::cerr << "the image was not finished: " << progress() << std::endl;
    return false;
}

std::string ProgramRun::progress() const
{
    const std::vector<Call> log = calls();
    const std::vector<Emission> emissions = render_emissions(log);
    std::string text = std::to_string(emissions.size()) + " render emissions, widths";
    for (const Emission& emission : emissions)
        text += " " + std::to_string(emission.width) + (emission.end == std::string::npos ? " (running)" : "");
    text += "; " + std::to_string(count_calls(log, "glCreateShader")) + " shaders created; " +
            std::to_string(count_calls(log, "glScissor")) + " strips begun; ";
    const std::optional<::Window> window = display_.client_window_of(pid());
    text += !window ? "no managed window" : display_.is_fullscreen(*window) ? "full screen" : "not full screen";
    text += child_->running() ? "; running" : "; ended";
    return text + "; standard error: \"" + read_file(directory_ + "/stderr") + "\"";
}

std::optional<int> ProgramRun::wait_exit(std::chrono::milliseconds timeout)
{
    return child_->wait(timeout);
}

std::string ProgramRun::standard_output()
{
    if (stdout_to_file_)
        return read_file(directory_ + "/stdout");
    // Once the program has ended, the reader ends at the pipe's end of file.
    if (!child_->running() && stdout_reader_.joinable())
        stdout_reader_.join();
    std::lock_guard<std::mutex> lock(stdout_mutex_);
    return stdout_text_;
}

std::string ProgramRun::standard_error()
{
    return read_file(directory_ + "/stderr");
}

}  // namespace mirrorfold_test
