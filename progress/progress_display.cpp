#include "progress_display.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// As m:ss, or h:mm:ss.
std::string clock_text(long seconds)
{
    char text[32];
    if (seconds >= 3600)
        snprintf(text, sizeof text, "%ld:%02ld:%02ld", seconds / 3600, seconds % 3600 / 60, seconds % 60);
    else
        snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
    return text;
}

// Long enough to show, and to be worth a preview instead.
constexpr long preview_worth_seconds = 120;

}  // namespace

ProgressDisplay::ProgressDisplay(int descriptor, const char* unit, int total, Clock::time_point started)
    : descriptor_(descriptor), unit_(unit), total_(total), terminal_(isatty(descriptor)), started_(started)
{
}

void ProgressDisplay::write_text(const char* text) const
{
    for (size_t length = std::char_traits<char>::length(text); length;) {
        ssize_t written = write(descriptor_, text, length);
        if (written <= 0)
            return;
        text += written, length -= size_t(written);
    }
}

void ProgressDisplay::show(double done)
{
    if (finished_)
        return;
    Clock::time_point now = Clock::now();
    // The estimate goes by the units finished since the first were seen,
    // which leaves start-up and the shader's compilation out of it. Units
    // differ in cost, so it is an estimate and says so.
    long remaining = -1;
    if (start_done_ < 0) {
        start_done_ = done;
    } else if (first_seen_done_ < 0 && done > start_done_) {
        first_seen_ = now;
        first_seen_done_ = done;
    } else if (first_seen_done_ >= 0 && done > first_seen_done_) {
        double per_unit = std::chrono::duration<double>(now - first_seen_).count() / (done - first_seen_done_);
        remaining = long(per_unit * (total_ - done));
    }
    long elapsed = long(std::chrono::duration<double>(now - started_).count());
    std::string estimate = remaining < 0 ? std::string("estimate after the first ") + unit_
                                         : "about " + clock_text(remaining) + " left (estimate)";
    // Nothing to do is all done.
    int percent = total_ ? int(done * 100 / total_) : 100, whole_done = int(done);
    char line[256];
    if (terminal_) {
        // Short enough for 80 columns even at hours: a line that wraps
        // cannot be redrawn in place.
        int filled = percent / 10;
        std::string bar = std::string(filled, '#') + std::string(10 - filled, '.');
        snprintf(line, sizeof line, "\r[%s] %3d/%d %3d%% | %s elapsed | %s\033[K", bar.c_str(), whole_done, total_,
                 percent, clock_text(elapsed).c_str(), estimate.c_str());
        write_text(line);
        line_open_ = true;
    } else if (percent >= next_report_percent_) {
        snprintf(line, sizeof line, "%s %d/%d (%d%%), %s elapsed, %s\n", unit_, whole_done, total_, percent,
                 clock_text(elapsed).c_str(), estimate.c_str());
        write_text(line);
        next_report_percent_ = percent / 10 * 10 + 10;
    }
    if (done >= total_) {
        if (line_open_)
            write_text("\n");
        finished_ = true;
    } else if (remaining >= preview_worth_seconds) {
        offer_preview(remaining);
    }
}

// Said once, as soon as the measured estimate shows a long render.
void ProgressDisplay::offer_preview(long remaining_seconds)
{
    if (preview_offered_)
        return;
    preview_offered_ = true;
    std::string text = line_open_ ? "\r\033[K" : "";
    text += "This render needs about " + clock_text(remaining_seconds) +
            " more here. For a quick preview, run it with SAMPLES=1.\n";
    write_text(text.c_str());
    line_open_ = false;
}
