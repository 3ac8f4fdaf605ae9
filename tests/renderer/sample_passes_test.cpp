// The renderer's sample passes on offscreen GL, over a small region of the
// frame, which costs a fraction of a second: passes split any way give the
// bytes of a render in one go, and so do sums kept in a file and taken up
// again; parts added are within one level; SAMPLES is counted as the
// program's loop takes it; files that do not fit are refused, and left as
// they were.

#include <gtest/gtest.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIntAttribute.h>
#include <ImfOutputFile.h>
#include <ImfStringAttribute.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "image_file.h"
#include "offscreen_gl.h"
#include "sample_passes.h"
#include "sample_sums_file.h"
#include "shader_texts.h"

namespace {

using namespace image_frame;

// Where rings, mirrors and the sky meet, left of the optical centre.
constexpr int region_x = 930, region_y = 470, region_width = 64, region_height = 24;

OffscreenGl& gl()
{
    static OffscreenGl context;
    return context;
}

std::vector<unsigned char> region_of(const std::vector<unsigned char>& rgba)
{
    std::vector<unsigned char> region;
    for (int y = region_y; y < region_y + region_height; ++y) {
        auto row = rgba.begin() + (size_t(y) * width + region_x) * 4;
        region.insert(region.end(), row, row + region_width * 4);
    }
    return region;
}

// The program's own shader, all the samples in one draw.
std::vector<unsigned char> in_one_go(int samples)
{
    gl();
    Framebuffer target(width, height, GL_RGBA8);
    GLuint vertex_array;
    glGenVertexArrays(1, &vertex_array);
    glBindVertexArray(vertex_array);
    GLuint program = build_image_program(std::to_string(samples).c_str());
    glUseProgram(program);
    glEnable(GL_SCISSOR_TEST);
    glScissor(region_x, region_y, region_width, region_height);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glFinish();
    glDeleteProgram(program);
    glDeleteVertexArrays(1, &vertex_array);
    return region_of(target.read_rgba8());
}

// Samples first to first + the passes' samples, one pass each.
void draw_passes(SamplePasses& passes, int first, const std::vector<int>& pass_samples)
{
    for (int samples : pass_samples) {
        passes.begin_pass(first, first + samples);
        passes.draw_piece(region_x, region_y, region_width, region_height);
        passes.end_pass();
        first += samples;
    }
}

std::string temporary(const std::string& name)
{
    return std::filesystem::temp_directory_path() / ("mirrorfold-passes-" + std::to_string(getpid()) + "-" + name);
}

TEST(SamplePasses, SplitAnyWayGiveTheBytesOfOneGo)
{
    for (auto [samples, splits] : std::vector<std::pair<int, std::vector<std::vector<int>>>>{
             {4, {{1, 1, 1, 1}, {2, 2}}}, {5, {{2, 2, 1}, {1, 4}}}, {6, {{3, 3}, {6}}}}) {
        std::vector<unsigned char> expected = in_one_go(samples);
        for (const std::vector<int>& split : splits) {
            SCOPED_TRACE(testing::PrintToString(split));
            SamplePasses passes(std::to_string(samples).c_str());
            EXPECT_EQ(passes.samples_asked(), samples);
            draw_passes(passes, 0, split);
            EXPECT_EQ(region_of(passes.finished_image()), expected);
        }
    }
}

TEST(SamplePasses, SumsKeptInAFileGoOnToTheSameBytes)
{
    gl();
    const std::string path = temporary("checkpoint.exr");
    {
        SamplePasses passes("5");
        draw_passes(passes, 0, {2});
        // Outside the region nothing was drawn; a file says every pixel
        // holds its samples.
        std::vector<float> sums = passes.sums();
        for (size_t i = 3; i < sums.size(); i += 4)
            sums[i] = 2;
        ImageFile file(path, ImageFile::Format::exr);
        save_sample_sums(file, {0, 2, 5, sums});
    }
    SampleSums kept = load_sample_sums(path);
    std::filesystem::remove(path);
    EXPECT_EQ(kept.first_sample, 0);
    EXPECT_EQ(kept.samples_done, 2);
    EXPECT_EQ(kept.samples_asked, 5);
    SamplePasses passes("5");
    passes.load_sums(kept.rgba);
    draw_passes(passes, 2, {3});
    EXPECT_EQ(region_of(passes.finished_image()), in_one_go(5));
}

TEST(SamplePasses, PartsAddedAreWithinOneLevel)
{
    std::vector<unsigned char> expected = in_one_go(5);
    std::vector<float> sums;
    for (auto [first, samples] : {std::pair{0, 2}, std::pair{2, 1}, std::pair{3, 2}}) {
        SamplePasses part("5");
        draw_passes(part, first, {samples});
        std::vector<float> part_sums = part.sums();
        if (sums.empty())
            sums = part_sums;
        else
            for (size_t i = 0; i < sums.size(); ++i)
                sums[i] += part_sums[i];
    }
    SamplePasses merged("5");
    merged.load_sums(sums);
    std::vector<unsigned char> added = region_of(merged.finished_image());
    size_t differing = 0;
    for (size_t i = 0; i < added.size(); ++i) {
        EXPECT_LE(std::abs(added[i] - expected[i]), 1) << "byte " << i;
        differing += added[i] != expected[i];
    }
    std::cout << differing << " of " << added.size() << " bytes one level off\n";
}

TEST(SamplePasses, CountSamplesAsTheProgramsLoopTakesThem)
{
    gl();
    for (auto [text, count] : {std::pair{"16", 16}, {"2*8", 16}, {"0", 0}, {"-3", 0}, {"2.5", 3}, {"010", 8}})
        EXPECT_EQ(SamplePasses(text).samples_asked(), count) << text;
    for (const char* text : {")", "", "int(gl_FragCoord.y>1079.)", "16777217"})
        EXPECT_THROW(SamplePasses{text}, SamplesTextFailure) << text;
}

// An OpenEXR file of the sums' form, but for the shader and the size given.
void write_foreign_sums(const std::string& path, const std::string& shader, int file_width, int file_height)
{
    Imf::Header header(file_width, file_height);
    for (const char* channel : {"R", "G", "B", "A"})
        header.channels().insert(channel, Imf::Channel(Imf::FLOAT));
    header.insert("mirrorfoldShader", Imf::StringAttribute(shader));
    header.insert("mirrorfoldFirstSample", Imf::IntAttribute(0));
    header.insert("mirrorfoldSamplesDone", Imf::IntAttribute(0));
    header.insert("mirrorfoldSamplesAsked", Imf::IntAttribute(1));
    std::vector<float> zero(size_t(file_width) * file_height * 4);
    Imf::FrameBuffer slices;
    for (int c = 0; c < 4; ++c)
        slices.insert(std::string(1, "RGBA"[c]),
                      Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(zero.data() + c), 16, 16 * size_t(file_width)));
    Imf::OutputFile file(path.c_str(), header);
    file.setFrameBuffer(slices);
    file.writePixels(file_height);
}

std::string contents(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST(SampleSumsFile, ThoseThatDoNotFitAreRefusedAndLeftAsTheyWere)
{
    const std::string good = temporary("good.exr");
    std::vector<float> rgba(size_t(width) * height * 4, 0.5f);
    for (size_t i = 3; i < rgba.size(); i += 4)
        rgba[i] = 3;
    ImageFile file(good, ImageFile::Format::exr);
    save_sample_sums(file, {0, 3, 5, rgba});
    const std::string whole = contents(good);
    std::vector<std::pair<std::string, std::string>> unfit;  // the file, what the refusal says
    auto add = [&](const std::string& name, const std::string& bytes, const std::string& why) {
        std::ofstream(temporary(name), std::ios::binary) << bytes;
        unfit.push_back({temporary(name), why});
    };
    add("cut.exr", whole.substr(0, whole.size() / 2), "cut short or damaged");
    add("text.exr", "not an image\n", "not an OpenEXR file");
    std::string changed = whole;
    // The lowest bit of the first A in the file's last line: a line is its
    // number, its size and then each channel's row, in the names' order.
    changed[whole.size() - (8 + 4 * sizeof(float) * width) + 8] ^= 1;
    add("changed.exr", changed, "damaged: pixel");
    write_foreign_sums(temporary("shader.exr"), std::string(fragment_body) + " ", width, height);
    unfit.push_back({temporary("shader.exr"), "another shader"});
    write_foreign_sums(temporary("size.exr"), fragment_body, 640, 480);
    unfit.push_back({temporary("size.exr"), "a frame of 640x480, not 1920x1080"});
    unfit.push_back({temporary("missing.exr"), "cannot read it: No such file or directory"});
    for (const auto& [path, why] : unfit) {
        const std::string before = contents(path);
        try {
            load_sample_sums(path);
            ADD_FAILURE() << path << " taken";
        } catch (const SampleSumsUnfit& refusal) {
            EXPECT_NE(std::string(refusal.what()).find(path + ": "), std::string::npos) << refusal.what();
            EXPECT_NE(std::string(refusal.what()).find(why), std::string::npos) << refusal.what();
        }
        EXPECT_EQ(contents(path), before) << path;
        std::filesystem::remove(path);
    }
    EXPECT_EQ(load_sample_sums(good).rgba, rgba);
    std::filesystem::remove(good);
}

}  // namespace
