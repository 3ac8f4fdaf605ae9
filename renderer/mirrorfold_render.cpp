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
#include <stdexcept>
#include <string>

#include "image_file.h"
#include "option_value.h"
#include "offscreen_gl.h"
#include "progress_display.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The frame is drawn in pieces, each finished before the next, each sized
// from the time the last one took, to take about `seconds`. A piece is at
// least `minimum_rows` high; a band of that many rows is split into
// columns, no narrower than `minimum_columns`, only where it would take
// longer than that.
struct PiecePlan {
    double seconds;
    int minimum_rows, minimum_columns;
};
// A desktop GPU ends a context whose one draw runs too long: some drivers
// after seconds, Intel's after 640 ms once another context wants the GPU.
constexpr PiecePlan gpu_pieces{0.15, 4, 64};
// A software renderer has no watchdog, but thin pieces cost it: llvmpipe
// shares a piece's tiles among its threads, and the few costly tiles of a
// thin band leave the others idle. Bands of 4 rows took it 1.7 times as
// long as one draw of the frame, bands of 32 or more no longer. Pieces of
// a few seconds still show the progress.
constexpr PiecePlan software_pieces{2, 32, image_frame::width};
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
            "  --piece-time SECONDS  aim for draws of about this long, pieces as small as 4\n"
            "                        rows by 64 columns; by default %.2f s on a GPU, so that\n"
            "                        its watchdog lets each one finish, %.0f s on a software\n"
            "                        renderer, in pieces of at least %d rows\n"
            "  --list-devices        list the devices EGL offers, and the GL each one gives\n",
            gpu_pieces.seconds, software_pieces.seconds, software_pieces.minimum_rows);
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
void draw_in_pieces(const PiecePlan& plan, ProgressDisplay& progress)
{
    using namespace image_frame;
    glEnable(GL_SCISSOR_TEST);
    const double least_band = double(plan.minimum_rows) * width;
    double piece_pixels = least_band;
    for (int y = 0; y < height;) {
        int rows = std::min(plan.minimum_rows, height - y), columns = width;
        if (piece_pixels >= least_band)
            rows = std::min(int(piece_pixels / width), height - y);
        else
            columns = std::max(plan.minimum_columns, int(piece_pixels / rows));
        for (int x = 0; x < width; x += columns) {
            int piece_width = std::min(columns, width - x);
            auto start = Clock::now();
            glScissor(x, y, piece_width, rows);
            glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
            glFinish();
            double seconds = std::max(seconds_since(start), 1e-6);
            piece_pixels = std::min(plan.seconds / seconds * piece_width * rows, piece_pixels * largest_growth);
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
    double piece_seconds = 0;  // chosen by the renderer, unless given
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
        const char* value;
        option = option_with_value(argc, argv, i, value);
        if (option != "--device" && option != "--piece-time")
            refuse("unknown option \"" + option + "\"");
        if (!value)
            refuse(option + " needs a value");
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
        PiecePlan plan = gl.software() ? software_pieces : gpu_pieces;
        if (piece_seconds)
            plan = {piece_seconds, gpu_pieces.minimum_rows, gpu_pieces.minimum_columns};
        draw_in_pieces(plan, progress);
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
