// The fragment body's own functions, run on the GL offscreen: the real body
// text is compiled with a small probe appended that evaluates them at given
// points and writes the results to a float render target.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "offscreen_gl.h"
#include "shader_texts.h"

namespace {

using Point = std::array<float, 3>;
using Result = std::array<float, 4>;

// Runs `probe_body`, the body of `vec4 probe(vec3 p)`, once per point.
std::vector<Result> probe(const std::string& probe_body, const std::vector<Point>& points)
{
    static OffscreenGl gl;
    const int width = int(std::min<size_t>(points.size(), 1024));
    const int height = int((points.size() + width - 1) / width);

    // The body's main is renamed so the probe's main can take its place; the
    // body still declares the output v the probe writes.
    const std::string source = std::string(fragment_prelude) + "1\n#define main image_main\n" + fragment_body +
                               "\n#undef main\n"
                               "uniform sampler2D points;\n"
                               "vec4 probe(vec3 p){" +
                               probe_body +
                               "}\n"
                               "void main(){v=probe(texelFetch(points,ivec2(gl_FragCoord.xy),0).xyz);}\n";
    GLuint program = build_program({vertex_source}, {source.c_str()});

    Framebuffer target(width, height, GL_RGBA32F);
    std::vector<float> texels(size_t(width) * height * 4, 0.f);
    for (size_t i = 0; i < points.size(); ++i)
        std::copy(points[i].begin(), points[i].end(), texels.begin() + i * 4);
    GLuint texture;
    glGenTextures(1, &texture);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexStorage2D(GL_TEXTURE_2D, 1, GL_RGBA32F, width, height);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGBA, GL_FLOAT, texels.data());

    GLuint vertex_array;
    glGenVertexArrays(1, &vertex_array);
    glBindVertexArray(vertex_array);
    glUseProgram(program);
    glUniform1i(glGetUniformLocation(program, "points"), 0);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    std::vector<float> pixels = target.read_rgba_float();

    glDeleteVertexArrays(1, &vertex_array);
    glDeleteTextures(1, &texture);
    glDeleteProgram(program);
    std::vector<Result> results(points.size());
    for (size_t i = 0; i < points.size(); ++i)
        std::copy(pixels.begin() + i * 4, pixels.begin() + i * 4 + 4, results[i].begin());
    return results;
}

// The wave noise as written down, in double precision.
double reference_noise(double x, double y, double z)
{
    auto term = [&](double sine_frequency, double cosine_frequency) {
        double a = std::sin(sine_frequency * x), b = std::sin(sine_frequency * y), c = std::sin(sine_frequency * z);
        double d = std::cos(cosine_frequency * x), e = std::cos(cosine_frequency * y), f = std::cos(cosine_frequency * z);
        return std::sin(2 * a + 3 * b + c) * std::cos(3 * d + e + 2 * f);
    };
    return term(32, 43) + term(52, 73);
}

TEST(WaveNoise, IsZeroAtTheOriginAndFollowsItsFormula)
{
    // (k, k, k) for the first sample indices: sample 0's jitter is a = n(0)
    // = 0 and b = n(1, 1, 1).
    std::vector<Point> points = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {.3f, -1.7f, .9f}, {-.05f, .11f, 1.3f}};
    std::vector<Result> results = probe("return vec4(n(p),0,0,0);", points);
    EXPECT_EQ(results[0][0], 0.f) << "both terms start with sin(0)";
    for (size_t i = 1; i < points.size(); ++i)
        EXPECT_NEAR(results[i][0], reference_noise(points[i][0], points[i][1], points[i][2]), 2e-4) << "point " << i;
}

TEST(BoxDistance, IsNegativeInsideAndPositiveOutside)
{
    std::vector<Point> points = {{0, 0, 0}, {.65f, 0, 0}, {1.7f, 0, 0}, {-1.7f, 1.6f, .3f}, {0, 0, -2.6f}};
    const double expected[] = {-.6, -.05, 1., std::sqrt(2.), 2.};
    std::vector<Result> results = probe("return vec4(n(p,vec3(.7,.6,.6)),0,0,0);", points);
    for (size_t i = 0; i < points.size(); ++i)
        EXPECT_NEAR(results[i][0], expected[i], 1e-6) << "point " << i;
}

TEST(SceneDistance, AtTheOriginIsInsideTheBoxThere)
{
    std::vector<Result> results = probe("float d=s(p);return vec4(d,f,0,0);", {{0, 0, 0}});
    EXPECT_NEAR(results[0][0], -.62, 1e-6);
    EXPECT_EQ(results[0][1], 1.f);
}

// Near the wall x = 7.9 the room and the box around (2 pi, 0, 0) meet; a scan
// over neighbouring floats finds points where the two distances are equal to
// the last bit. There, as where the boxes are nearer, the pattern is 1.
TEST(SceneDistance, PatternIsOneWhereTheBoxesAreAsNearAsTheRoom)
{
    std::vector<Point> points;
    for (int row = 0; row < 100; ++row) {
        double y = .6 + row * 2e-4;
        auto difference = [&](double x) {
            double box_x = x - 2 * M_PI - .7, box_y = y - .6;
            return (7.9 - x) - (std::sqrt(box_x * box_x + box_y * box_y) - .02);
        };
        double low = 7.3, high = 7.6;
        for (int step = 0; step < 60; ++step)
            (difference((low + high) / 2) > 0 ? low : high) = (low + high) / 2;
        // The GL's sine and arcsine may be off by a few 1e-4; the window of
        // 4000 floats (2e-3) covers that.
        float x = float(low);
        for (int step = 0; step < 2000; ++step)
            x = std::nextafter(x, 0.f);
        for (int step = 0; step < 4000; ++step, x = std::nextafter(x, 8.f))
            points.push_back({x, float(y), 0});
    }
    std::vector<Result> results = probe(
        "float d=s(p);"
        "float room=-n(p,vec3(7.9)),boxes=n(asin(sin(p)),vec3(.7,.6,.6))-.02;"
        "return vec4(room,boxes,f,d);",
        points);
    size_t ties = 0, walls_nearer = 0;
    for (const Result& result : results) {
        float room = result[0], boxes = result[1], pattern = result[2];
        if (boxes > room) {
            ++walls_nearer;
            continue;
        }
        ties += boxes == room;
        ASSERT_EQ(pattern, 1.f) << "room " << room << " boxes " << boxes;
    }
    EXPECT_GT(ties, 0u) << "the scan found no exact tie; move it";
    EXPECT_GT(walls_nearer, 0u);
    std::cout << ties << " exact ties among " << results.size() << " points\n";
}

// Shifting a point by 2 pi along any axis leaves its folded coordinates, and
// with them the ring pattern and the box distance, as they were.
TEST(SceneDistance, FoldRepeatsEveryTwoPi)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> inside(-6.f, 1.4f);
    const float two_pi = float(2 * M_PI);
    std::vector<Point> points;
    std::vector<int> axes;
    for (int axis = 0; axis < 3; ++axis) {
        for (int i = 0; i < 100; ++i) {
            // Near a wall at distance .1, on one of the other axes, so the
            // room is the same at both points and its ring pattern shows.
            Point near_wall = {inside(random), inside(random), inside(random)};
            near_wall[(axis + 1) % 3] = 7.8f;
            Point shifted = near_wall;
            shifted[axis] += two_pi;
            points.push_back(near_wall);
            points.push_back(shifted);
            axes.push_back(axis);
        }
    }
    std::vector<Result> results = probe("float d=s(p);return vec4(d,f,0,0);", points);
    for (size_t i = 0; i < points.size(); i += 2) {
        SCOPED_TRACE("axis " + std::to_string(axes[i / 2]) + ", pair " + std::to_string(i / 2));
        ASSERT_NE(results[i][1], 1.f) << "the wall should be nearer here";
        EXPECT_NEAR(results[i][1], results[i + 1][1], 2e-3) << "ring pattern";
    }

    // Well inside the room, next to the box at the origin: the boxes are
    // nearer at both points and the distances differ only by the roughness.
    std::uniform_real_distribution<float> around_box(-.9f, .9f);
    points.clear();
    for (int axis = 0; axis < 3; ++axis) {
        for (int i = 0; i < 100; ++i) {
            Point near_box = {around_box(random), around_box(random), around_box(random)};
            Point shifted = near_box;
            shifted[axis] += two_pi;
            points.push_back(near_box);
            points.push_back(shifted);
        }
    }
    results = probe("float d=s(p);return vec4(d,f,0,0);", points);
    for (size_t i = 0; i < points.size(); i += 2) {
        EXPECT_EQ(results[i][1], 1.f);
        EXPECT_EQ(results[i + 1][1], 1.f);
        EXPECT_NEAR(results[i][0], results[i + 1][0], .06) << "box distance, pair " << i / 2;
    }
}

}  // namespace
