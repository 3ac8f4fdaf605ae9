// The running sums of a render, kept in a file between runs: a checkpoint to
// go on from, or one part of a render split by samples among machines. An
// OpenEXR file, so that exrheader and any EXR viewer open it: RGBA floats,
// the colours summed and A the samples, exactly as the renderer holds them
// (a viewer that takes A as premultiplying shows the mean), with what
// identifies the render in attributes of its own.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

struct SampleSums {
    // Samples first_sample to first_sample + samples_done - 1 of a render of
    // samples_asked; each pixel's A is samples_done.
    int first_sample = 0, samples_done = 0, samples_asked = 0;
    // The frame's RGBA, row 0 at the bottom.
    std::vector<float> rgba;

    int end_sample() const { return first_sample + samples_done; }
};

class ImageFile;

// Written whole or not at all, through `file` (a temporary file, synced,
// renamed), with this build's shader and the frame's size. Throws
// std::runtime_error, and leaves whatever file was there before as it was.
void save_sample_sums(ImageFile& file, const SampleSums& sums);

// A file that is not one of this build's sums: what() names the file and
// says why, in one line.
struct SampleSumsUnfit : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads and checks the whole file: that it can be read, is a file of sums,
// whole, made with this build's shader, of this frame's size. Never changes
// it. Throws SampleSumsUnfit.
SampleSums load_sample_sums(const std::string& path);
