// The shader texts as the GL receives them, checked by the reference GLSL
// compiler: the fragment source assembled from its four pieces compiles for
// sensible SAMPLES texts and fails for texts that are not integer constant
// expressions.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "shader_texts.h"

namespace {

// Runs glslangValidator on `source`, written to a file whose extension names
// the stage; returns whether it compiled.
bool validates(const std::string& source, const std::string& stage)
{
    auto path = std::filesystem::temp_directory_path() /
                ("mirrorfold-glslang-" + std::to_string(getpid()) + "." + stage);
    std::ofstream(path) << source;
    std::string command = "glslangValidator " + path.string() + " > /dev/null 2>&1";
    int status = std::system(command.c_str());
    std::filesystem::remove(path);
    return status == 0;
}

std::string fragment_source(const std::string& samples_text)
{
    return std::string(fragment_prelude) + samples_text + "\n" + fragment_body;
}

TEST(Glslang, VertexSourceCompiles)
{
    EXPECT_TRUE(validates(vertex_source, "vert"));
}

TEST(Glslang, FragmentSourceCompilesForIntegerSampleCounts)
{
    for (const char* samples : {"300", "16", "1"})
        EXPECT_TRUE(validates(fragment_source(samples), "frag")) << "SAMPLES=" << samples;
}

TEST(Glslang, FragmentSourceFailsForOtherSampleTexts)
{
    for (const char* samples : {"", "abc"})
        EXPECT_FALSE(validates(fragment_source(samples), "frag")) << "SAMPLES=\"" << samples << "\"";
}

}  // namespace
