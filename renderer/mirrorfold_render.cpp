// mirrorfold-render: the program's image, drawn offscreen through EGL and
// saved as a PNG, with no display server, window manager or X client; on a
// GPU where there is one. A long render survives being stopped.
//
//   SAMPLES=N mirrorfold-render [OPTIONS] IMAGE.png
//   SAMPLES=N mirrorfold-render [OPTIONS] --samples FIRST:LAST PART.exr
//   mirrorfold-render [--device N] --merge PART.exr... IMAGE.png
//   mirrorfold-render --list-devices | --help
//
// It draws the frame in passes over the samples, keeping their running sums
// in float between passes, so its pixels are the program's. Along the way it
// keeps a checkpoint of those sums beside the image, and a preview; started
// again, it goes on from the checkpoint. A render can also be split by
// samples among machines and the parts merged. It prints what the program
// prints, "render time: %f" with the seconds since start-up, then "image
// saved: PATH"; its progress and the renderer it draws with go to standard
// error.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "image_file.h"
#include "offscreen_gl.h"
#include "option_value.h"
#include "progress_display.h"
#include "sample_passes.h"
#include "sample_sums_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace image_frame;

constexpr double frame_pixels = double(width) * height;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Each draw is finished before the next and sized from the time the last one
// took, to take about `seconds`: a pass takes as many samples as one draw of
// the whole frame can, and at least one; its pieces are at least
// `minimum_rows` high, and a band of that many rows is split into columns,
// no narrower than `minimum_columns`, only where it would take longer.
struct PiecePlan {
    double seconds;
    int minimum_rows, minimum_columns;
};
// A desktop GPU ends a context whose one draw runs too long: some drivers
// after seconds, Intel's after 640 ms once another context wants the GPU.
// The first draw is the smallest piece at one sample.
constexpr PiecePlan gpu_pieces{0.15, 4, 64};
// A software renderer has no watchdog, but thin pieces cost it: llvmpipe
// shares a piece's tiles among its threads, and the few costly tiles of a
// thin band leave the others idle. Bands of 4 rows took it 1.7 times as
// long as one draw of the frame, bands of 32 or more no longer. Pieces of
// a few seconds still show the progress, and let a signal be answered soon.
constexpr PiecePlan software_pieces{2, 32, width};
// A draw grows at most this much over the last, so one fast piece (a dark
// corner) does not make the next one huge.
constexpr double largest_growth = 4;

// A checkpoint about this often, by default.
constexpr double default_checkpoint_interval = 60;

void print_usage(FILE* stream)
{
    fprintf(stream,
            "usage: SAMPLES=N mirrorfold-render [OPTIONS] IMAGE.png\n"
            "       SAMPLES=N mirrorfold-render [OPTIONS] --samples FIRST:LAST PART.exr\n"
            "       mirrorfold-render [--device N] --merge PART.exr... IMAGE.png\n"
            "       mirrorfold-render --list-devices\n"
            "Draws the mirrorfold image offscreen through EGL, with no display server, and\n"
            "saves it as a 1920x1080 PNG. SAMPLES, samples per pixel, is 300 when unset.\n"
            "While it draws it keeps a checkpoint, IMAGE.checkpoint.exr, and a preview,\n"
            "IMAGE.preview.png; run again, it goes on from the checkpoint.\n"
            "  --device N            draw on EGL device N (see --list-devices); by default a\n"
            "                        GPU where there is one, else Mesa's software renderer\n"
            "  --piece-time SECONDS  aim for draws of about this long, pieces as small as 4\n"
            "                        rows by 64 columns; by default %.2f s on a GPU, so that\n"
            "                        its watchdog lets each one finish, %.0f s on a software\n"
            "                        renderer, in pieces of at least %d rows\n"
            "  --checkpoint FILE     keep the checkpoint there (an .exr file)\n"
            "  --checkpoint-interval SECONDS\n"
            "                        write the checkpoint this often (%.0f by default), and\n"
            "                        after the first pass, and when stopped by a signal\n"
            "  --keep-checkpoint     keep it once the image is saved, to add samples later\n"
            "  --restart             start afresh, replacing the checkpoint once a new one\n"
            "                        is written\n"
            "  --samples FIRST:LAST  draw samples FIRST to LAST-1 alone, into PART.exr\n"
            "  --merge               add parts that cover the samples once, and save IMAGE\n"
            "  --list-devices        list the devices EGL offers, and the GL each one gives\n",
            gpu_pieces.seconds, software_pieces.seconds, software_pieces.minimum_rows,
            default_checkpoint_interval);
}

// A bad command line, or a file or device that cannot be used, in one line
// with the usage after it; always with status 2, before anything is drawn.
[[noreturn]] void refuse(const std::string& reason)
{
    fprintf(stderr, "mirrorfold-render: %s\n", reason.c_str());
    print_usage(stderr);
    exit(2);
}

// A file that does not fit this render, or a range that does not fit the
// samples asked: one line, status 2, nothing drawn, every file left as it
// was. Thrown, so that the temporary files claimed so far go on the way
// out.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

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

// FIRST:LAST, whole numbers, FIRST below LAST.
std::pair<int, int> parse_range(const char* text)
{
    int first, last, length = 0;
    if (sscanf(text, "%9d:%9d%n", &first, &last, &length) != 2 || text[length] || first < 0 || last <= first ||
        !isdigit(static_cast<unsigned char>(text[0])))
        refuse(std::string("--samples takes FIRST:LAST, whole numbers with FIRST below LAST (0:100 draws "
                           "samples 0 to 99), not \"") +
               text + "\"");
    return {first, last};
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

// The first of SIGINT, SIGTERM and SIGHUP to come, 0 before. The render
// takes it at the end of the draw in progress, keeps what it has and then
// ends by that signal, so that the shell reports it as for any program (130,
// 143, 129). Later signals change nothing: scripts/run's clean-up sends
// SIGTERM after the Ctrl-C that reached both, and the checkpoint must still
// be written.
volatile sig_atomic_t stop_signal;

void note_signal(int signal_number)
{
    if (!stop_signal)
        stop_signal = signal_number;
}

void stop_cleanly_on_signals()
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored from the start (a job started with & ignores
        // SIGINT) stays ignored, as the shell meant.
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            signal(signal_number, note_signal);
    }
    // A file-size limit makes a write fail, which is reported and cleaned
    // up, rather than end the process with a temporary file left.
    signal(SIGXFSZ, SIG_IGN);
}

[[noreturn]] void end_by_signal(int signal_number)
{
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    _exit(128 + signal_number);
}

// Lines for the person waiting, on standard error; a progress line open on
// a terminal is cleared first, and redrawn with the next piece.
bool progress_on_terminal;

void say(const std::string& text)
{
    if (progress_on_terminal)
        fputs("\r\033[K", stderr);
    fprintf(stderr, "mirrorfold-render: %s\n", text.c_str());
}

[[noreturn]] void fail(const std::string& reason)
{
    say(reason);
    exit(1);
}

bool exists(const std::string& path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

// NAME.png or NAME.exr, any case, as NAME and the ending given.
std::string beside(const std::string& path, const char* ending)
{
    return path.substr(0, path.size() - 4) + ending;
}

std::string counted(int samples)
{
    return std::to_string(samples) + (samples == 1 ? " sample" : " samples");
}

std::string sample_range(int first, int end)
{
    return "samples " + std::to_string(first) + " to " + std::to_string(end - 1);
}

// How much the next draw takes on, in pixel-samples, from the time the last
// one took.
class DrawSize {
public:
    explicit DrawSize(const PiecePlan& plan) : plan_(plan), work_(double(plan.minimum_rows) * plan.minimum_columns) {}

    int pass_samples(int remaining) const { return std::clamp(int(work_ / frame_pixels), 1, remaining); }
    double piece_pixels(int samples) const { return work_ / samples; }
    void measured(double work, double seconds)
    {
        work_ = std::min(plan_.seconds / std::max(seconds, 1e-6) * work, work_ * largest_growth);
    }

private:
    PiecePlan plan_;
    double work_;
};

// One pass over samples first to last - 1, bottom-up as the program draws,
// and left to right within a band. `shown` hears the share of the frame
// done after each piece. Returns false where a signal came: the pass is then
// left unended.
bool draw_pass(SamplePasses& passes, int first, int last, const PiecePlan& plan, DrawSize& size,
               const std::function<void(double)>& shown)
{
    passes.begin_pass(first, last);
    const int samples = last - first;
    const double least_band = double(plan.minimum_rows) * width;
    double pixels_done = 0;
    for (int y = 0; y < height;) {
        double piece_pixels = size.piece_pixels(samples);
        int rows = std::min(plan.minimum_rows, height - y), columns = width;
        if (piece_pixels >= least_band)
            rows = std::min(int(piece_pixels / width), height - y);
        else
            columns = std::max(plan.minimum_columns, int(piece_pixels / rows));
        for (int x = 0; x < width; x += columns) {
            int piece_width = std::min(columns, width - x);
            auto start = Clock::now();
            passes.draw_piece(x, y, piece_width, rows);
            size.measured(double(piece_width) * rows * samples, seconds_since(start));
            pixels_done += double(piece_width) * rows;
            shown(pixels_done / frame_pixels);
            if (stop_signal)
                return false;
        }
        y += rows;
    }
    passes.end_pass();
    return true;
}

struct Settings {
    int device = OffscreenGl::any_device;
    double piece_seconds = 0;  // chosen by the renderer, unless given
    std::vector<std::string> paths;
    std::optional<std::pair<int, int>> part;  // --samples
    bool merge = false, keep_checkpoint = false, restart = false;
    std::string checkpoint;
    double checkpoint_interval = default_checkpoint_interval;
};

Settings parse_command_line(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            print_usage(stdout);
            exit(0);
        }
        if (option == "--list-devices")
            exit(list_devices());
        if (option.empty() || option[0] != '-') {
            settings.paths.push_back(option);
            continue;
        }
        if (option == "--merge" || option == "--keep-checkpoint" || option == "--restart") {
            (option == "--merge" ? settings.merge : option == "--restart" ? settings.restart : settings.keep_checkpoint) =
                true;
            continue;
        }
        const char* value;
        option = option_with_value(argc, argv, i, value);
        if (option != "--device" && option != "--piece-time" && option != "--checkpoint" &&
            option != "--checkpoint-interval" && option != "--samples")
            refuse("unknown option \"" + option + "\"");
        if (!value)
            refuse(option + " needs a value");
        if (option == "--device")
            settings.device = int(parse_number(option, value, 0, 1000));
        else if (option == "--piece-time")
            settings.piece_seconds = parse_number(option, value, 0.001, 60);
        else if (option == "--checkpoint-interval")
            settings.checkpoint_interval = parse_number(option, value, 0, 86400);
        else if (option == "--samples")
            settings.part = parse_range(value);
        else if (!*value)
            refuse("--checkpoint needs a file's name");
        else
            settings.checkpoint = value;
    }
    if (settings.merge) {
        if (settings.part || !settings.checkpoint.empty() || settings.keep_checkpoint || settings.restart)
            refuse("--merge keeps no checkpoint and draws no samples: it takes parts and an image alone");
        if (settings.paths.size() < 2)
            refuse("--merge takes the parts, then the image to save (PART.exr... IMAGE.png)");
    } else if (settings.paths.size() > 1) {
        refuse("one image at a time: \"" + settings.paths[0] + "\" and \"" + settings.paths[1] + "\"");
    } else if (settings.paths.empty()) {
        refuse(settings.part ? "name the part to save (PART.exr)" : "name the image to save (IMAGE.png)");
    }
    if (settings.device != OffscreenGl::any_device && size_t(settings.device) >= egl_devices().size())
        refuse("there is no EGL device " + std::to_string(settings.device) + " (see --list-devices)");
    return settings;
}

std::unique_ptr<ImageFile> claimed(const std::string& path, ImageFile::Format format)
{
    try {
        return std::make_unique<ImageFile>(path, format);
    } catch (const ImageFileRefused& refusal) {
        refuse(refusal.what());
    }
}

PiecePlan piece_plan(const Settings& settings, const OffscreenGl& gl)
{
    if (settings.piece_seconds)
        return {settings.piece_seconds, gpu_pieces.minimum_rows, gpu_pieces.minimum_columns};
    return gl.software() ? software_pieces : gpu_pieces;
}

// Says what draws, and, for a render, in draws of about how long.
std::unique_ptr<OffscreenGl> opened_gl(const Settings& settings)
{
    auto gl = std::make_unique<OffscreenGl>(settings.device);
    char plan[64] = "";
    if (!settings.merge)
        snprintf(plan, sizeof plan, ", in draws of about %g s", piece_plan(settings, *gl).seconds);
    fprintf(stderr, "mirrorfold-render: drawing with %s on %s%s\n", gl->renderer().c_str(), gl->source().c_str(), plan);
    return gl;
}

// Draws the image, or a part of its samples, going on from a checkpoint
// where there is one, and saves it. Returns the signal that stopped it, 0
// where none did.
int render(const Settings& settings, Clock::time_point started)
{
    const std::string& output_path = settings.paths[0];
    const bool part = settings.part.has_value();
    std::unique_ptr<ImageFile> output = claimed(output_path, part ? ImageFile::Format::exr : ImageFile::Format::png);
    const std::string checkpoint_path =
        settings.checkpoint.empty() ? beside(output_path, ".checkpoint.exr") : settings.checkpoint;
    const std::string preview_path = part ? "" : beside(output_path, ".preview.png");
    stop_cleanly_on_signals();
    if (checkpoint_path == output_path)
        throw Refusal("the checkpoint cannot take the place of what it is for: " + output_path);
    try {
        ImageFile(checkpoint_path, ImageFile::Format::exr);
    } catch (const ImageFileRefused& refusal) {
        throw Refusal(std::string("the checkpoint: ") + refusal.what());
    }

    const int first = part ? settings.part->first : 0;
    std::optional<SampleSums> resumed;
    if (!settings.restart && exists(checkpoint_path)) {
        try {
            resumed = load_sample_sums(checkpoint_path);
        } catch (const SampleSumsUnfit& unfit) {
            throw Refusal(std::string(unfit.what()) + "; --restart replaces it");
        }
        if (resumed->first_sample != first)
            throw Refusal(checkpoint_path + ": holds " + sample_range(resumed->first_sample, resumed->end_sample()) +
                        ", not samples from " + std::to_string(first) + "; --restart replaces it");
    }

    const char* samples_text = getenv("SAMPLES");
    if (!samples_text)
        samples_text = "300";
    std::unique_ptr<OffscreenGl> gl = opened_gl(settings);
    SamplePasses passes(samples_text);
    const int asked = passes.samples_asked();
    const int end = part ? settings.part->second : asked;
    if (end > asked)
        throw Refusal("--samples " + std::to_string(first) + ":" + std::to_string(end) + " goes past the " +
               std::to_string(asked) + " samples that SAMPLES=\"" + samples_text + "\" asks for");
    int done = first;
    if (resumed) {
        if (resumed->end_sample() > end)
            throw Refusal(checkpoint_path + ": holds " + counted(resumed->samples_done) + ", more than the " +
                        std::to_string(end - first) + " now asked; --restart replaces it");
        done = resumed->end_sample();
        say("resuming at " + std::to_string(done - first) + " of " + std::to_string(end - first) + " samples from " +
            checkpoint_path);
        passes.load_sums(resumed->rgba);
        resumed.reset();
    }

    // What the checkpoint on disk holds, where it is this render's: its end
    // sample; otherwise -1, and a file there (refused, with --restart) is
    // left alone until a new one replaces it.
    int checkpoint_end = done > first ? done : -1;
    bool write_failure_said = false, preview_said = false, preview_written = false;
    auto sums_so_far = [&] { return SampleSums{first, done - first, asked, passes.sums()}; };
    // With a preview of it, but for a render that is done: its image is.
    auto write_checkpoint = [&] {
        try {
            ImageFile file(checkpoint_path, ImageFile::Format::exr);
            save_sample_sums(file, sums_so_far());
            checkpoint_end = done;
            if (!part && done < end) {
                std::string samples = std::to_string(done) + " of " + std::to_string(end);
                ImageFile(preview_path)
                    .save(width, height, passes.finished_image(),
                          {{"Software", "mirrorfold-render"}, {"Samples", samples}, {"Renderer", gl->renderer()}},
                          ImageFile::Compression::fast);
                preview_written = true;
                if (!preview_said)
                    say("the picture so far, renewed at each checkpoint: " + preview_path);
                preview_said = true;
            }
        } catch (const std::exception& failure) {
            if (!write_failure_said)
                say(std::string(failure.what()) + (done < end ? "; the render goes on" : "") +
                    (checkpoint_end >= 0 ? ", and the last checkpoint written stays" : ""));
            write_failure_said = true;
        }
    };
    auto kept = [&] {
        return std::to_string(checkpoint_end - first) + " of " + std::to_string(end - first) + " samples kept in " +
               checkpoint_path;
    };

    ProgressDisplay progress(STDERR_FILENO, "samples", end - first, started);
    progress_on_terminal = isatty(STDERR_FILENO);
    progress.show(done - first);
    const PiecePlan plan = piece_plan(settings, *gl);
    DrawSize size(plan);
    Clock::time_point last_checkpoint = Clock::now();
    bool first_pass = true;
    while (done < end && !stop_signal) {
        const int pass_end = done + size.pass_samples(end - done);
        auto shown = [&](double share) { progress.show(done - first + share * (pass_end - done)); };
        if (!draw_pass(passes, done, pass_end, plan, size, shown))
            break;
        done = pass_end;
        if (done < end && (first_pass || stop_signal || seconds_since(last_checkpoint) >= settings.checkpoint_interval)) {
            write_checkpoint();
            last_checkpoint = Clock::now();
        }
        first_pass = false;
    }
    if (stop_signal) {
        if (done > std::max(checkpoint_end, first))
            write_checkpoint();
        std::string stopped = std::string("stopped by SIG") + sigabbrev_np(stop_signal);
        if (checkpoint_end > first)
            say(stopped + ": " + kept() + "; the same command goes on from there");
        else
            say(stopped + " before the first pass was done: nothing kept");
        return stop_signal;
    }
    progress_on_terminal = false;
    double render_seconds = seconds_since(started);
    printf("render time: %f\n", render_seconds);
    fflush(stdout);

    try {
        if (part) {
            save_sample_sums(*output, sums_so_far());
        } else {
            char seconds_text[32];
            snprintf(seconds_text, sizeof seconds_text, "%f s", render_seconds);
            output->save(width, height, passes.finished_image(),
                         {{"Software", "mirrorfold-render"},
                          {"Samples", samples_text},
                          {"Renderer", gl->renderer()},
                          {"Render time", seconds_text}});
        }
    } catch (const std::exception& failure) {
        // The samples drawn since the last checkpoint are kept where they
        // can be.
        if (done > checkpoint_end)
            write_checkpoint();
        fail(std::string(failure.what()) + (checkpoint_end > first ? "; " + kept() : ""));
    }
    // Kept, it is written anew with every sample and the count now asked.
    if (settings.keep_checkpoint)
        write_checkpoint();
    else if (checkpoint_end >= 0)
        unlink(checkpoint_path.c_str());
    // The preview of this render, from this run or the one it went on from.
    if (preview_written || (!part && checkpoint_end >= 0))
        unlink(preview_path.c_str());
    printf("%s saved: %s\n", part ? "part" : "image", output_path.c_str());
    if (settings.keep_checkpoint && checkpoint_end == done)
        say(kept() + "; with a higher SAMPLES, the same command adds samples to it");
    return 0;
}

// Adds parts that cover the samples once each, and saves the image. Returns
// the signal that stopped it, 0 where none did.
int merge(const Settings& settings)
{
    const std::vector<std::string> parts(settings.paths.begin(), settings.paths.end() - 1);
    std::unique_ptr<ImageFile> output = claimed(settings.paths.back(), ImageFile::Format::png);
    stop_cleanly_on_signals();
    // Each part read whole and checked first, then added in the order of its
    // samples: the float additions' order, and so the pixels, do not depend
    // on the order the parts were named in.
    struct Part {
        std::string path;
        int first, end, asked;
    };
    std::vector<Part> ranges;
    for (const std::string& path : parts) {
        try {
            SampleSums sums = load_sample_sums(path);
            ranges.push_back({path, sums.first_sample, sums.end_sample(), sums.samples_asked});
        } catch (const SampleSumsUnfit& unfit) {
            throw Refusal(unfit.what());
        }
        if (ranges.back().asked != ranges.front().asked)
            throw Refusal(path + ": a part of a render of " + std::to_string(ranges.back().asked) + " samples, " +
                        ranges.front().path + " of " + std::to_string(ranges.front().asked));
    }
    std::stable_sort(ranges.begin(), ranges.end(), [](const Part& a, const Part& b) { return a.first < b.first; });
    const int asked = ranges.front().asked;
    int covered = 0;
    const Part* previous = nullptr;
    for (const Part& range : ranges) {
        if (range.first > covered)
            throw Refusal(sample_range(covered, range.first) + " are in no part");
        if (range.first < covered)
            throw Refusal(sample_range(range.first, std::min(covered, range.end)) + " are in both " + previous->path +
                        " and " + range.path);
        covered = range.end;
        previous = &range;
    }
    if (covered < asked)
        throw Refusal(sample_range(covered, asked) + " of the " + std::to_string(asked) + " asked are in no part");

    std::vector<float> sums;
    for (const Part& range : ranges) {
        std::vector<float> rgba = load_sample_sums(range.path).rgba;
        if (sums.empty())
            sums = std::move(rgba);
        else
            for (size_t i = 0; i < sums.size(); ++i)
                sums[i] += rgba[i];
    }
    std::unique_ptr<OffscreenGl> gl = opened_gl(settings);
    const std::string samples_text = std::to_string(asked);
    SamplePasses passes(samples_text.c_str());
    passes.load_sums(sums);
    if (stop_signal)
        return stop_signal;
    output->save(width, height, passes.finished_image(),
                 {{"Software", "mirrorfold-render --merge"}, {"Samples", samples_text}, {"Renderer", gl->renderer()}});
    printf("image saved: %s\n", settings.paths.back().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    auto started = Clock::now();
    Settings settings = parse_command_line(argc, argv);
    int signal_number = 0;
    try {
        signal_number = settings.merge ? merge(settings) : render(settings, started);
    } catch (const Refusal& refusal) {
        say(refusal.what());
        return 2;
    } catch (const std::exception& error) {
        fail(error.what());
    }
    // Every temporary file is gone by now.
    if (signal_number)
        end_by_signal(signal_number);
    return 0;
}
