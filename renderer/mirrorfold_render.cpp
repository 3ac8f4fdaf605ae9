// mirrorfold-render: the program's image, drawn offscreen through EGL and
// saved as a PNG, with no display server, window manager or X client; on a
// GPU where there is one.
//
//   SAMPLES=N mirrorfold-render [--device N] [--piece-time SECONDS] IMAGE.png
//   mirrorfold-render --list-devices | --help
//
// It builds the shader from the very pieces the program embeds, with the
// SAMPLES text pasted as it stands (300 when unset), so its pixels are the
// program's. It prints what the program prints, "render time: %f" with the
// seconds since start-up, then "image saved: PATH"; its progress and the
// renderer it draws with go to standard error.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "image_file.h"
#include "offscreen_gl.h"
#include "progress_display.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A desktop GPU ends a context whose one draw runs too long: some drivers
// after seconds, Intel's after 640 ms once another context wants the GPU.
// So the frame is drawn in pieces, each finished before the next, sized
// from the time the last one took to take about this long.
constexpr double default_piece_seconds = 0.15;
// Never smaller than this, where per-draw costs would outweigh the drawing:
// a band of a few rows, split into columns only where even that is too slow.
constexpr int minimum_rows = 4, minimum_columns = 64;
// A piece grows at most this much over the last, so one fast piece (a dark
// corner) does not make the next one huge.
constexpr double largest_growth = 4;

void print_usage(FILE* stream)
{
    fprintf(stream,
            "usage: SAMPLES=N mirrorfold-render [--device N] [--piece-time SECONDS] IMAGE.png\n"
            "       mirrorfold-render --list-devices\n"
            "Draws the mirrorfold image offscreen through EGL, with no display server, and\n"
            "saves it as a 1920x1080 PNG. SAMPLES, samples per pixel, is 300 when unset.\n"
            "  --device N            draw on EGL device N (see --list-devices); by default a\n"
            "                        GPU where there is one, else Mesa's software renderer\n"
            "  --piece-time SECONDS  aim for draws of about this long (default %.2f), so that\n"
            "                        a GPU's watchdog lets each one finish\n"
            "  --list-devices        list the devices EGL offers, and the GL each one gives\n",
            default_piece_seconds);
}

// A bad command line, or an image path or device that cannot be used, in
// one line with the usage after it; always with status 2, before anything
// is drawn.
[[noreturn]] void refuse(const std::string& reason)
{
    fprintf(stderr, "mirrorfold-render: %s\n", reason.c_str());
    print_usage(stderr);
    exit(2);
}

[[noreturn]] void fail(const std::string& reason)
{
    fprintf(stderr, "mirrorfold-render: %s\n", reason.c_str());
    exit(1);
}

double parse_number(const std::string& option, const char* text, double least, double most)
{
    char* end;
    errno = 0;
    double value = strtod(text, &end);
    if (end == text || *end || errno || !(value >= least && value <= most))
        refuse(option + " takes a number from " + std::to_string(least) + " to " + std::to_string(most) +
               ", not \"" + text + "\"");
    return value;
}

int list_devices()
{
    std::vector<EglDevice> devices = egl_devices();
    if (devices.empty())
        printf("EGL lists no devices here (no EGL_EXT_device_enumeration)\n");
    for (const EglDevice& device : devices) {
        std::string renderer;
        try {
            renderer = OffscreenGl(device.number).renderer();
        } catch (const std::exception& error) {
            renderer = std::string("no OpenGL 4.3: ") + error.what();
        }
        printf("%d: %s, %s, %s\n", device.number, device.software ? "software" : "hardware",
               device.render_node.empty() ? "no render node" : device.render_node.c_str(), renderer.c_str());
    }
    return 0;
}

// What a signal handler may touch: the half-written image to remove, and
// whether a progress line is open on the terminal.
const char* temporary_to_remove;
bool progress_on_terminal;

// Ctrl-C, SIGTERM and SIGHUP leave nothing behind, and the process then ends
// by the signal itself, so that the shell reports it as for any program
// (130, 143, 129).
void stop_on_signal(int signal_number)
{
    if (temporary_to_remove)
        unlink(temporary_to_remove);
    if (progress_on_terminal)
        (void)!write(STDERR_FILENO, "\r\033[K", 4);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void stop_cleanly_on_signals()
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored from the start (a job started with & ignores
        // SIGINT) stays ignored, as the shell meant.
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            signal(signal_number, stop_on_signal);
    }
    // A file-size limit makes the write fail, which is reported and cleaned
    // up, rather than end the process with the temporary file left.
    signal(SIGXFSZ, SIG_IGN);
}

// Bottom-up as the program draws, and left to right within a band.
void draw_in_pieces(double piece_seconds, ProgressDisplay& progress)
{
    using namespace image_frame;
    glEnable(GL_SCISSOR_TEST);
    double piece_pixels = double(minimum_rows) * width;
    for (int y = 0; y < height;) {
        int rows = std::min(minimum_rows, height - y), columns = width;
        if (piece_pixels >= double(minimum_rows) * width)
            rows = std::min(int(piece_pixels / width), height - y);
        else
            columns = std::max(minimum_columns, int(piece_pixels / rows));
        for (int x = 0; x < width; x += columns) {
            int piece_width = std::min(columns, width - x);
            auto start = Clock::now();
            glScissor(x, y, piece_width, rows);
            glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
            glFinish();
            double seconds = std::max(seconds_since(start), 1e-6);
            piece_pixels = std::min(piece_seconds / seconds * piece_width * rows, piece_pixels * largest_growth);
            bool band_done = x + piece_width == width;
            progress.show((y + (band_done ? rows : 0)) / strip_height);
        }
        y += rows;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    auto started = Clock::now();
    int device = OffscreenGl::any_device;
    double piece_seconds = default_piece_seconds;
    const char* image_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            print_usage(stdout);
            return 0;
        }
        if (option == "--list-devices")
            return list_devices();
        if (option.empty() || option[0] != '-') {
            if (image_path)
                refuse("one image at a time: \"" + std::string(image_path) + "\" and \"" + option + "\"");
            image_path = argv[i];
            continue;
        }
        // "--option value" or "--option=value".
        const char* value = nullptr;
        size_t equals = option.find('=');
        if (equals != std::string::npos) {
            value = argv[i] + equals + 1;
            option.resize(equals);
        }
        if (option != "--device" && option != "--piece-time")
            refuse("unknown argument \"" + std::string(argv[i]) + "\"");
        if (!value && i + 1 == argc)
            refuse(option + " needs a value");
        if (!value)
            value = argv[++i];
        if (option == "--device")
            device = int(parse_number(option, value, 0, 1000));
        else
            piece_seconds = parse_number(option, value, 0.001, 60);
    }
    if (!image_path)
        refuse("name the image to save (IMAGE.png)");
    if (device != OffscreenGl::any_device && size_t(device) >= egl_devices().size())
        refuse("there is no EGL device " + std::to_string(device) + " (see --list-devices)");
    const char* samples = getenv("SAMPLES");
    if (!samples)
        samples = "300";

    // The handler's copy of the temporary file's name outlives the file's
    // owner, which removes it on the way out of a failure.
    std::string temporary_path;
    try {
        ImageFile image(image_path);
        temporary_path = image.temporary_path();
        temporary_to_remove = temporary_path.c_str();
        stop_cleanly_on_signals();

        OffscreenGl gl(device);
        fprintf(stderr, "mirrorfold-render: drawing with %s on %s\n", gl.renderer().c_str(), gl.source().c_str());
        Framebuffer framebuffer(image_frame::width, image_frame::height, GL_RGBA8);
        // The quad's corners come from gl_VertexID alone; the core profile
        // still insists on a bound vertex array.
        GLuint quad_vertex_array;
        glGenVertexArrays(1, &quad_vertex_array);
        glBindVertexArray(quad_vertex_array);

        ProgressDisplay progress(STDERR_FILENO, image_frame::height / image_frame::strip_height, started);
        progress_on_terminal = isatty(STDERR_FILENO);
        progress.show(0);
        GLuint program;
        try {
            program = build_image_program(samples);
        } catch (const std::exception& error) {
            throw std::runtime_error(std::string("could not build the image shader for OpenGL 4.3 with SAMPLES=\"") +
                                     samples + "\": " + error.what());
        }
        glUseProgram(program);
        // Drivers may put off the real compilation to the first draw
        // (llvmpipe does): one pixel drawn first keeps it out of the first
        // piece's time, which sizes the next.
        glEnable(GL_SCISSOR_TEST);
        glScissor(0, 0, 1, 1);
        glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        glFinish();
        draw_in_pieces(piece_seconds, progress);
        progress_on_terminal = false;
        double render_seconds = seconds_since(started);
        printf("render time: %f\n", render_seconds);
        fflush(stdout);

        char seconds_text[32];
        snprintf(seconds_text, sizeof seconds_text, "%f s", render_seconds);
        image.save(image_frame::width, image_frame::height, framebuffer.read_rgba8(),
                   {{"Software", "mirrorfold-render"},
                    {"Samples", samples},
                    {"Renderer", gl.renderer()},
                    {"Render time", seconds_text}});
        temporary_to_remove = nullptr;
        printf("image saved: %s\n", image_path);
    } catch (const ImageFileRefused& refusal) {
        refuse(refusal.what());
    } catch (const std::exception& error) {
        if (progress_on_terminal)
            fputs("\r\033[K", stderr);
        fail(error.what());
    }
    return 0;
}
