// The image drawn in sample passes: the frame's running sums kept in float
// between passes, each pass going on with the body's sample loop where the
// last one stopped, so that the finished pixels are those of a render in one
// go, however the samples were split.
#pragma once

#include <stdexcept>
#include <vector>

#include "offscreen_gl.h"

// A SAMPLES text that the renderer cannot take: status 1 and this message,
// as for a shader that does not build.
struct SamplesTextFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class SamplePasses {
public:
    // The renderer counts samples in floats, exact below this.
    static constexpr int most_samples = 1 << 24;

    // Builds the pass, counting and finishing programs for this SAMPLES
    // text and counts the samples it asks for: as many as the program's
    // sample loop would take. Throws SamplesTextFailure, with the GL's log
    // where a program does not build.
    explicit SamplePasses(const char* samples_text);
    SamplePasses(const SamplePasses&) = delete;
    SamplePasses& operator=(const SamplePasses&) = delete;

    int samples_asked() const { return samples_asked_; }

    // The running sums to go on from: RGBA, row 0 at the bottom, as the
    // frame's float copy; zero until given.
    void load_sums(const std::vector<float>& rgba);
    std::vector<float> sums() const;

    // One pass over samples first to last - 1, drawn in pieces (GL window
    // coordinates), each finished before it returns. Only once every piece
    // of the frame is drawn does end_pass make them the running sums; a pass
    // left unended changes nothing.
    void begin_pass(int first, int last);
    void draw_piece(int x, int y, int width, int height);
    void end_pass();

    // The image of the sums so far, RGBA 8 bits, row 0 at the bottom: the
    // mean under the tone curve, computed as the body does it.
    std::vector<unsigned char> finished_image();

private:
    // Two copies of the sums: a pass reads one and writes the other, as a
    // shader may not read what it draws into.
    Framebuffer sums_[2];
    int current_ = 0;
    Framebuffer image_;
    GLuint pass_program_, finishing_program_, quad_vertex_array_;
    GLint first_location_, last_location_;
    int samples_asked_;
};
