// How far a render has come, for the person waiting: the strips done, the
// time since start-up and an estimate of the time left. On a terminal one
// line redrawn in place; in a log a line at each tenth. Shown by the
// renderer for itself, and by the library that scripts/run preloads into
// the program, so that both show the same.
#pragma once

#include <chrono>

class ProgressDisplay {
public:
    using Clock = std::chrono::steady_clock;
    // Writes to `descriptor` directly, past stdio's buffer: the program ends
    // with a bare system call that flushes nothing.
    ProgressDisplay(int descriptor, int strip_count, Clock::time_point started);

    // Strips finished so far; the line at the last one ends the display.
    void show(int strips_done);

private:
    void write_text(const char* text) const;
    void offer_preview(long remaining_seconds);

    int descriptor_, strip_count_;
    bool terminal_;
    Clock::time_point started_, first_seen_;
    int first_seen_count_ = -1, next_report_percent_ = 10;
    bool line_open_ = false, preview_offered_ = false, finished_ = false;
};
