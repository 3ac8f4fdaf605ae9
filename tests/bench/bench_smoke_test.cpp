// The benchmark runs both drawing modes and reports every figure; --png
// writes the framebuffer as a 1920x1080 PNG. The image itself is the image
// test's business: one sample in the top row alone, and none elsewhere,
// keeps this quick and gives the picture a top.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <sys/wait.h>

namespace {

constexpr const char* top_row_samples = "int(gl_FragCoord.y>1079.)";

std::string output_of(const std::string& command, int& status)
{
    FILE* output = popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, output)) > 0)
        text.append(buffer, count);
    status = pclose(output);
    return text;
}

std::string run_bench(const std::string& arguments, int& status)
{
    return output_of(std::string("SAMPLES='") + top_row_samples + "' '" MIRRORFOLD_BENCH "' " + arguments, status);
}

uint32_t big_endian(const unsigned char* bytes)
{
    return uint32_t(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
}

struct Options {
    const char* text;
    int repeat;
};

class Bench : public ::testing::TestWithParam<Options> {};

// Each option in both of its forms; two repeats have a median between two.
INSTANTIATE_TEST_SUITE_P(OptionForms, Bench,
                         ::testing::Values(Options{"--repeat=1 --png ", 1}, Options{"--repeat 2 --png=", 2}));

TEST_P(Bench, ReportsEveryFigureAndWritesThePng)
{
    auto png = std::filesystem::temp_directory_path() / ("mirrorfold-bench-" + std::to_string(getpid()) + ".png");
    int status;
    std::string output = run_bench(GetParam().text + png.string(), status);
    ASSERT_EQ(status, 0) << output;

    const std::string seconds = "([0-9]+\\.[0-9]{6}) s";
    const std::string figure = ": min " + seconds + ", median " + seconds + ", max " + seconds + "\n";
    std::smatch figures;
    ASSERT_TRUE(std::regex_match(output, figures,
                                 std::regex("compile\\+link: " + seconds + "\nstrips" + figure + "one draw" + figure +
                                            "strips / one draw: ([0-9]+\\.[0-9]{4}) \\(median over " +
                                            std::to_string(GetParam().repeat) +
                                            " pairs\\)\n"
                                            "renderer: .+\n"
                                            "samples: (.+)\n")))
        << output;
    auto value = [&](int index) { return std::stod(figures[index]); };
    for (int mode : {2, 5}) {
        double median = value(mode + 1), between = (value(mode) + value(mode + 2)) / 2;
        EXPECT_NEAR(median, GetParam().repeat == 1 ? value(mode) : between, 2e-6) << output;
    }
    if (GetParam().repeat == 1)
        EXPECT_NEAR(value(8), value(3) / value(6), 1e-3 * value(8)) << output;
    EXPECT_EQ(figures[9], top_row_samples);

    std::ifstream file(png, std::ios::binary);
    unsigned char header[24] = {};
    file.read(reinterpret_cast<char*>(header), sizeof header);
    ASSERT_TRUE(file) << "no PNG written";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header) + 1, 3), "PNG");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header) + 12, 4), "IHDR");
    EXPECT_EQ(big_endian(header + 16), 1920u);
    EXPECT_EQ(big_endian(header + 20), 1080u);
    // The file's rows run top-down: the drawn top row, opaque, comes first.
    EXPECT_EQ(output_of("convert '" + png.string() + "' -format '%[fx:p{0,0}.a] %[fx:p{0,1079}.a]' info:", status),
              "1 0");
    std::filesystem::remove(png);
}

TEST(BenchCommandLine, RefusedAtOnceWhenBadAndHelpsOnRequest)
{
    // Each says what was wrong, on standard error, before anything is drawn,
    // and ends with status 2.
    for (const char* arguments : {"--frobnicate", "--repeat 0", "--repeat=x", "--repeat 2x", "--repeat", "--png",
                                  "--png /nonexistent/strips.png", "--png=strips.jpg"}) {
        SCOPED_TRACE(arguments);
        int status;
        std::string output = run_bench(std::string(arguments) + " 2>&1", status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        EXPECT_EQ(output.rfind("mirrorfold-bench: ", 0), 0u) << output;
        EXPECT_EQ(output.find(": strips 1/"), std::string::npos) << "nothing drawn: " << output;
    }
    int status;
    std::string usage = run_bench("--help", status);
    EXPECT_EQ(usage.rfind("usage: ", 0), 0u) << "usage on standard output";
    EXPECT_NE(usage.find("12 hours"), std::string::npos) << "the default run's cost";
    EXPECT_EQ(status, 0);
}

}  // namespace
