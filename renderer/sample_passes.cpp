#include "sample_passes.h"

#include <string>

#include "pass_shader_texts.h"
#include "shader_texts.h"

namespace {

using namespace image_frame;

GLuint built(const char* samples_text, const std::vector<const char*>& fragment_pieces)
{
    try {
        return build_program({vertex_source}, fragment_pieces);
    } catch (const std::exception& error) {
        throw SamplesTextFailure(std::string("could not build the image shader for OpenGL 4.3 with SAMPLES=\"") +
                                 samples_text + "\": " + error.what());
    }
}

void draw_whole_frame()
{
    glDisable(GL_SCISSOR_TEST);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glFinish();
}

}  // namespace

SamplePasses::SamplePasses(const char* samples_text)
    : sums_{{width, height, GL_RGBA32F}, {width, height, GL_RGBA32F}}, image_(width, height, GL_RGBA8)
{
    // The quad's corners come from gl_VertexID alone; the core profile
    // still insists on a bound vertex array.
    glGenVertexArrays(1, &quad_vertex_array_);

    // The text is counted where the body would take it, after the program's
    // own prelude: a text the program does not build with fails here too.
    GLuint count_program = built(samples_text, {fragment_prelude, samples_text, "\n", sample_count_body});
    sums_[1].bind();
    glBindVertexArray(quad_vertex_array_);
    glUseProgram(count_program);
    draw_whole_frame();
    std::vector<float> counts = sums_[1].read_rgba_float();
    glDeleteProgram(count_program);
    for (float count : counts)
        if (count != counts[0])
            throw SamplesTextFailure(std::string("SAMPLES=\"") + samples_text +
                                     "\" asks for another number of samples at each pixel; the renderer needs one "
                                     "number for the whole frame");
    if (counts[0] >= most_samples)
        throw SamplesTextFailure(std::string("SAMPLES=\"") + samples_text + "\" asks for " +
                                 std::to_string(most_samples) + " samples or more");
    samples_asked_ = int(counts[0]);

    pass_program_ = built(samples_text, {sample_pass_prelude, "\n", fragment_body});
    first_location_ = glGetUniformLocation(pass_program_, "F");
    last_location_ = glGetUniformLocation(pass_program_, "L");
    finishing_program_ = built(samples_text, {finishing_source});

    const float zero[4] = {0, 0, 0, 0};
    sums_[0].fill(zero);
    sums_[1].fill(zero);
    // Drivers may put off the real compilation to the first draw (llvmpipe
    // does): one pixel of an empty pass keeps it out of the first piece's
    // time, which sizes the next.
    begin_pass(0, 0);
    draw_piece(0, 0, 1, 1);
}

void SamplePasses::load_sums(const std::vector<float>& rgba)
{
    sums_[current_].write_rgba_float(rgba);
}

std::vector<float> SamplePasses::sums() const
{
    return sums_[current_].read_rgba_float();
}

// Every draw binds what it uses: the context may have served others since.
void SamplePasses::begin_pass(int first, int last)
{
    sums_[1 - current_].bind();
    glBindVertexArray(quad_vertex_array_);
    glUseProgram(pass_program_);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, sums_[current_].texture());
    glUniform1i(first_location_, first);
    glUniform1i(last_location_, last);
    glEnable(GL_SCISSOR_TEST);
}

void SamplePasses::draw_piece(int x, int y, int piece_width, int piece_height)
{
    glScissor(x, y, piece_width, piece_height);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glFinish();
}

void SamplePasses::end_pass()
{
    current_ = 1 - current_;
}

std::vector<unsigned char> SamplePasses::finished_image()
{
    image_.bind();
    glBindVertexArray(quad_vertex_array_);
    glUseProgram(finishing_program_);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, sums_[current_].texture());
    draw_whole_frame();
    return image_.read_rgba8();
}
