// Offscreen benchmark of the image shader: what drawing it costs, in strips
// as mirrorfold draws it and as one full-frame draw, on whatever GL EGL
// offers without a window system.
//
//   SAMPLES=N mirrorfold-bench [--repeat N] [--png FILE.png]
//
// Uses the very shader texts the program embeds, assembled the same way.
// Compile and link (with one pixel drawn, see below) are timed once; the two
// drawing modes are timed --repeat times each (default 3), alternating which
// goes first. Each finished draw says so on standard error, since at the
// default 300 samples a software renderer takes hours for one.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "image_file.h"
#include "option_value.h"
#include "offscreen_gl.h"

namespace {

using namespace image_frame;

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Before each timed draw the frame is filled with a colour that the image
// never has (an alpha of 0, where the shader writes 1, or 0 in every
// channel for SAMPLES=0), and after it no pixel may still have it: a mode
// that drew less than the whole frame would time less than the image.
constexpr float undrawn[4] = {1, 0, 1, 0};

void require_whole_frame(const Framebuffer& framebuffer, const char* mode)
{
    std::vector<unsigned char> pixels = framebuffer.read_rgba8();
    size_t left = 0;
    for (size_t i = 0; i < pixels.size(); i += 4)
        left += pixels[i] == 255 && pixels[i + 1] == 0 && pixels[i + 2] == 255 && pixels[i + 3] == 0;
    if (left)
        throw std::runtime_error(std::string(mode) + " left " + std::to_string(left) + " of " +
                                 std::to_string(pixels.size() / 4) + " pixels undrawn");
}

// The program's own loop, less the toolkit's event drain.
double time_strips()
{
    auto start = std::chrono::steady_clock::now();
    glEnable(GL_SCISSOR_TEST);
    for (int y = 0; y != height; y += strip_height) {
        glScissor(0, y, width, strip_height);
        glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        glFinish();
    }
    return seconds_since(start);
}

double time_one_draw()
{
    auto start = std::chrono::steady_clock::now();
    glDisable(GL_SCISSOR_TEST);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glFinish();
    return seconds_since(start);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void print_figures(const char* name, const std::vector<double>& seconds)
{
    printf("%s: min %.6f s, median %.6f s, max %.6f s\n", name, *std::min_element(seconds.begin(), seconds.end()),
           median(seconds), *std::max_element(seconds.begin(), seconds.end()));
}

void print_usage(FILE* stream)
{
    fprintf(stream,
            "usage: SAMPLES=N mirrorfold-bench [--repeat N] [--png FILE.png]\n"
            "Draws the image offscreen in the program's 108 strips and as one draw, --repeat\n"
            "times each (default 3), and prints the times; --png saves the first strips' image.\n"
            "Both options may also be written --repeat=N and --png=FILE.png.\n"
            "SAMPLES is 300 when unset, as in the program. The default run draws the image\n"
            "6 times at 300 samples: on a software renderer (llvmpipe, 2 cores) about 25 s\n"
            "per sample per draw, some 12 hours in all; SAMPLES=1 takes a few minutes.\n");
}

// Refuses a bad command line, or a PNG that cannot be written, in one line
// with the usage after it; always with status 2.
[[noreturn]] void refuse(const std::string& reason)
{
    fprintf(stderr, "mirrorfold-bench: %s\n", reason.c_str());
    print_usage(stderr);
    exit(2);
}

int parse_repeat(const char* text)
{
    char* end;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || *end || errno || value < 1 || value > 1000)
        refuse(std::string("--repeat takes a whole number from 1 to 1000, not \"") + text + "\"");
    return int(value);
}

void report_draw(const char* mode, int round, int repeat, double seconds)
{
    fprintf(stderr, "mirrorfold-bench: %s %d/%d: %.3f s\n", mode, round + 1, repeat, seconds);
}

}  // namespace

int main(int argc, char** argv)
{
    int repeat = 3;
    const char* png_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            print_usage(stdout);
            return 0;
        }
        const char* value;
        std::string option = option_with_value(argc, argv, i, value);
        if (option != "--repeat" && option != "--png")
            refuse("unknown option \"" + option + "\"");
        if (!value)
            refuse(option + " needs a value");
        if (option == "--repeat")
            repeat = parse_repeat(value);
        else
            png_path = value;
    }
    // Claimed before anything is drawn, so that a path that cannot be
    // written is refused at once rather than after hours of drawing.
    std::unique_ptr<ImageFile> png_file;
    try {
        if (png_path)
            png_file = std::make_unique<ImageFile>(png_path);
    } catch (const ImageFileRefused& refusal) {
        refuse(refusal.what());
    }
    const char* samples = getenv("SAMPLES");
    if (!samples)
        samples = "300";

    try {
        OffscreenGl gl;
        Framebuffer framebuffer(width, height, GL_RGBA8);

        GLuint quad_vertex_array;
        glGenVertexArrays(1, &quad_vertex_array);
        glBindVertexArray(quad_vertex_array);

        // Drivers may put off the real compilation until the first draw
        // (llvmpipe does), so one pixel is drawn here to keep that out of
        // the drawing figures.
        auto start = std::chrono::steady_clock::now();
        GLuint program = build_image_program(samples);
        glUseProgram(program);
        glEnable(GL_SCISSOR_TEST);
        glScissor(0, 0, 1, 1);
        glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        glFinish();
        double compile_seconds = seconds_since(start);

        auto timed = [&](const char* mode, double (*draw)(), int round) {
            framebuffer.fill(undrawn);
            double seconds = draw();
            report_draw(mode, round, repeat, seconds);
            require_whole_frame(framebuffer, mode);
            return seconds;
        };
        std::vector<double> strips, one_draw, ratios;
        for (int round = 0; round < repeat; ++round) {
            double strip_seconds, draw_seconds;
            if (round % 2 == 0) {
                strip_seconds = timed("strips", time_strips, round);
                if (round == 0 && png_file)
                    png_file->save(width, height, framebuffer.read_rgba8(),
                                   {{"Software", "mirrorfold-bench"}, {"Samples", samples}, {"Renderer", gl.renderer()}});
                draw_seconds = timed("one draw", time_one_draw, round);
            } else {
                draw_seconds = timed("one draw", time_one_draw, round);
                strip_seconds = timed("strips", time_strips, round);
            }
            strips.push_back(strip_seconds);
            one_draw.push_back(draw_seconds);
            ratios.push_back(strip_seconds / draw_seconds);
        }

        printf("compile+link: %.6f s\n", compile_seconds);
        print_figures("strips", strips);
        print_figures("one draw", one_draw);
        printf("strips / one draw: %.4f (median over %d pairs)\n", median(ratios), repeat);
        printf("renderer: %s\n", gl.renderer().c_str());
        printf("samples: %s\n", samples);
    } catch (const std::exception& error) {
        fprintf(stderr, "mirrorfold-bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
