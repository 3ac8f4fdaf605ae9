// How far a render has come, for the person waiting: the units done (the
// program's strips, the renderer's samples), the time since start-up and an
// estimate of the time left. On a terminal one line redrawn in place; in a
// log a line at each tenth. Shown by the renderer for itself, and by the
// library that scripts/run preloads into the program, so that both show the
// same.
#pragma once

#include <chrono>

class ProgressDisplay {
public:
    using Clock = std::chrono::steady_clock;
    // Writes to `descriptor` directly, past stdio's buffer: the program ends
    // with a bare system call that flushes nothing.
    // `unit` names what is counted, in the plural: "strips", "samples".
    ProgressDisplay(int descriptor, const char* unit, int total, Clock::time_point started);

    // Units done so far, parts of one included; the line at the total ends
    // the display. The first value shown is where the render starts (a
    // resumed one, past its first samples): the estimate goes by what was
    // done since.
    void show(double done);

private:
    void write_text(const char* text) const;
    void offer_preview(long remaining_seconds);

    int descriptor_;
    const char* unit_;
    int total_;
    bool terminal_;
    Clock::time_point started_, first_seen_;
    double start_done_ = -1, first_seen_done_ = -1;
    int next_report_percent_ = 10;
    bool line_open_ = false, preview_offered_ = false, finished_ = false;
};
