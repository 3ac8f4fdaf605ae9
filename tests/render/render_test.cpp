// The render handler, watched from outside on a private X server: when it
// draws, what it hands the GL, the strips, what it ignores, and what it says
// on standard output and standard error.

#include <gtest/gtest.h>

#include <algorithm>

#include "shader_texts.h"
#include "x_session.h"

using namespace mirrorfold_test;

namespace {

constexpr int GL_FRAGMENT_SHADER = 0x8B30, GL_VERTEX_SHADER = 0x8B31, GL_LINK_STATUS = 0x8B82,
              GL_SCISSOR_TEST = 0x0C11, GL_TRIANGLE_STRIP = 5, GL_VIEWPORT = 0x0BA2,
              GL_NUM_SHADING_LANGUAGE_VERSIONS = 0x82E9;

// What an emission does before deciding: it reads the viewport, which the
// area sets to its framebuffer, in device pixels.
bool reads_only_the_width(const std::vector<Call>& inside)
{
    return inside.size() == 1 && inside[0].name == "glGetIntegerv" && inside[0].number(0) == GL_VIEWPORT;
}

// Presses a key, to which the call log answers by queueing a render (the
// run provokes renders), and waits until that emission has ended.
bool emission_after_a_key(const VirtualDisplay& display, const ProgramRun& run)
{
    const size_t before = run.calls().size();
    display.press("a");
    return run.wait_for(
        [&](const std::vector<Call>& calls) {
            auto key = std::find_if(calls.begin() + std::min(before, calls.size()), calls.end(),
                                    [](const Call& c) { return c.name == "key_press_end"; });
            return std::any_of(key, calls.end(), [](const Call& c) { return c.name == "render_end"; });
        },
        20s);
}

// SAMPLES=0 on a 1920x1080 screen; a render is queued after every strip and
// key, so emissions arrive while drawing and after it.
class StandardRun : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        display = new VirtualDisplay(1920, 1080);
        ProgramRun run(*display, {"0", {}, {}, false, true});
        finished = run.wait_for_image();
        emission_after_a_key(*display, run);
        display->press("Escape");
        exit_status = run.wait_exit();
        calls = run.calls();
        output = run.standard_output();
    }

    static void TearDownTestSuite() { delete display; }

    static inline VirtualDisplay* display;
    static inline bool finished;
    static inline std::optional<int> exit_status;
    static inline std::vector<Call> calls;
    static inline std::string output;
};

TEST_F(StandardRun, FirstWideEmissionOnlyAsksForAnother)
{
    ASSERT_TRUE(finished);
    std::vector<Emission> emissions = render_emissions(calls);
    auto first_wide = std::find_if(emissions.begin(), emissions.end(), [](const Emission& e) { return e.width >= 1920; });
    ASSERT_NE(first_wide, emissions.end());
    // Narrow ones before it only read the width.
    for (auto narrow = emissions.begin(); narrow != first_wide; ++narrow) {
        EXPECT_TRUE(reads_only_the_width(between(calls, narrow->begin, narrow->end)));
        EXPECT_EQ(narrow->result, "1");
    }
    std::vector<Call> inside = between(calls, first_wide->begin, first_wide->end);
    ASSERT_EQ(inside.size(), 2u);
    EXPECT_TRUE(reads_only_the_width({inside[0]}));
    EXPECT_EQ(inside[0].result, "1920");
    EXPECT_EQ(inside[1].name, "gtk_gl_area_queue_render");
    EXPECT_EQ(first_wide->result, "1");
    // And the next top-level emission is the one that draws.
    auto next = std::find_if(first_wide + 1, emissions.end(), [](const Emission& e) { return e.depth == 1; });
    ASSERT_NE(next, emissions.end());
    EXPECT_EQ(next->begin, drawing_emission(calls)->begin);
}

TEST_F(StandardRun, BuildsTheProgramFromTheShaderPieces)
{
    auto drawing = drawing_emission(calls);
    ASSERT_TRUE(drawing);
    std::vector<Call> inside = between(calls, drawing->begin, drawing->end);
    ASSERT_TRUE(reads_only_the_width({inside.begin(), inside.begin() + std::min<size_t>(1, inside.size())}));
    inside.erase(inside.begin());
    std::vector<std::string> names;
    for (size_t i = 0; i < 15 && i < inside.size(); ++i)
        names.push_back(inside[i].name);
    ASSERT_EQ(names, (std::vector<std::string>{
                         "glCreateShader", "glShaderSource", "glCompileShader", "glCreateShader",
                         "glShaderSource", "glCompileShader", "glCreateProgram", "glAttachShader",
                         "glAttachShader", "glGetIntegerv", "glLinkProgram", "glGetProgramiv", "glUseProgram",
                         "glGenVertexArrays", "glBindVertexArray"}));

    const Call& fragment = inside[0];
    EXPECT_EQ(fragment.number(0), GL_FRAGMENT_SHADER);
    const Call& fragment_source = inside[1];
    EXPECT_EQ(fragment_source.arguments[0], fragment.result);
    ASSERT_EQ(fragment_source.number(1), 4);
    EXPECT_EQ(fragment_source.arguments[2], "null") << "pieces end at their zero byte";
    EXPECT_EQ(fragment_source.text(3), "#version 420\n#define SAMPLES ");
    EXPECT_EQ(fragment_source.text(4), "0") << "the SAMPLES text verbatim";
    EXPECT_EQ(fragment_source.text(5), "\n");
    EXPECT_EQ(fragment_source.text(6), fragment_body);
    EXPECT_EQ(inside[2].arguments[0], fragment.result);

    const Call& vertex = inside[3];
    EXPECT_EQ(vertex.number(0), GL_VERTEX_SHADER);
    const Call& vertex_source = inside[4];
    EXPECT_EQ(vertex_source.arguments[0], vertex.result);
    ASSERT_EQ(vertex_source.number(1), 1);
    EXPECT_EQ(vertex_source.text(3),
              "#version 430\nvoid main(){gl_Position=vec4(gl_VertexID%2==0?-1:1,gl_VertexID%4/2==0?-1:1,1,1);}");
    EXPECT_EQ(inside[5].arguments[0], vertex.result);

    const std::string program = inside[6].result;
    EXPECT_EQ(inside[7].arguments, (std::vector<std::string>{program, vertex.result})) << "vertex shader first";
    EXPECT_EQ(inside[8].arguments, (std::vector<std::string>{program, fragment.result}));
    // Linked on a GL of 4.3 or later only: one that counts its shading
    // language versions.
    EXPECT_EQ(inside[9].number(0), GL_NUM_SHADING_LANGUAGE_VERSIONS);
    EXPECT_NE(inside[9].result, "0");
    EXPECT_EQ(inside[10].arguments[0], program);
    EXPECT_EQ(inside[11].number(1), GL_LINK_STATUS);
    EXPECT_EQ(inside[11].result, "1");
    EXPECT_EQ(inside[12].arguments[0], program);
    EXPECT_EQ(inside[13].number(0), 1);
    EXPECT_EQ(inside[14].arguments[0], inside[13].result);
    ASSERT_GT(inside.size(), 15u);
    EXPECT_EQ(inside[15].name, "glEnable");
    EXPECT_EQ(inside[15].number(0), GL_SCISSOR_TEST);
}

TEST_F(StandardRun, Draws108StripsFromTheBottomUpDrainingEventsAfterEach)
{
    auto drawing = drawing_emission(calls);
    ASSERT_TRUE(drawing);
    std::vector<Call> inside = between(calls, drawing->begin, drawing->end);
    auto call = std::find_if(inside.begin(), inside.end(), [](const Call& c) { return c.name == "glScissor"; });
    for (int strip = 0; strip < 108; ++strip) {
        SCOPED_TRACE("strip " + std::to_string(strip));
        ASSERT_NE(call, inside.end());
        ASSERT_EQ(call->name, "glScissor");
        EXPECT_EQ(call->arguments, (std::vector<std::string>{"0", std::to_string(10 * strip), "1920", "10"}));
        ++call;
        ASSERT_EQ(call->name, "glDrawArrays");
        EXPECT_EQ(call->arguments, (std::vector<std::string>{std::to_string(GL_TRIANGLE_STRIP), "0", "4"}));
        ++call;
        ASSERT_EQ(call->name, "glFinish");
        ++call;
        // Drain: pending events dispatched until none is left; anything the
        // dispatch runs (nested emissions) lies between.
        int depth = 0;
        while (call != inside.end() && call->name != "glScissor" && call->name != "g_timer_elapsed") {
            if (call->name == "render_begin")
                ++depth;
            else if (call->name == "render_end")
                --depth;
            else if (depth == 0)
                EXPECT_TRUE(call->name == "gtk_events_pending" || call->name == "gtk_main_iteration") << call->name;
            ++call;
        }
        auto last_poll = std::find_if(std::make_reverse_iterator(call), inside.rend(),
                                      [](const Call& c) { return c.name == "gtk_events_pending"; });
        ASSERT_NE(last_poll, inside.rend());
        EXPECT_EQ(last_poll->result, "0") << "the drain stops only when nothing is pending";
    }
    ASSERT_NE(call, inside.end());
    EXPECT_EQ(call->name, "g_timer_elapsed");
    EXPECT_EQ(call->arguments[1], "null");
    EXPECT_EQ(drawing->result, "1");
}

TEST_F(StandardRun, IgnoresEveryEmissionDuringAndAfterTheDrawing)
{
    auto drawing = drawing_emission(calls);
    ASSERT_TRUE(drawing);
    size_t ignored = 0;
    for (const Emission& emission : render_emissions(calls)) {
        if (emission.begin <= drawing->begin)
            continue;
        ++ignored;
        EXPECT_EQ(emission.end, emission.begin + 1) << "an emission after the build made calls";
        EXPECT_EQ(emission.result, "1");
    }
    EXPECT_GT(ignored, 0u) << "no emission arrived during or after the drawing; nothing was tested";
    EXPECT_EQ(count_calls(calls, "glCreateProgram"), 1u);
    EXPECT_EQ(count_calls(calls, "glScissor"), 108u);
    EXPECT_EQ(count_calls(calls, "glDrawArrays"), 108u);
}

TEST_F(StandardRun, PrintsTheTimeLineOnAPipe)
{
    EXPECT_EQ(exit_status, 0);
    EXPECT_TRUE(is_time_line(output)) << output;
}

TEST(Samples, TextIsPastedVerbatimOr300WhenUnset)
{
    VirtualDisplay display(1920, 1080);
    {
        // An expression still works: no parsing on the host. Output on a file.
        ProgramRun run(display, {"1-1", {}, {}, true, false});
        ASSERT_TRUE(run.wait_for_image());
        display.press("Escape");
        ASSERT_EQ(run.wait_exit(), 0);
        std::vector<Call> calls = run.calls();
        auto source = std::find_if(calls.begin(), calls.end(), [](const Call& c) { return c.name == "glShaderSource"; });
        ASSERT_NE(source, calls.end());
        EXPECT_EQ(source->text(4), "1-1");
        EXPECT_TRUE(is_time_line(run.standard_output())) << "the time line reaches a file too";
    }
    {
        // 300 samples would take hours here: stop once the first strip is
        // under way.
        ProgramRun run(display, {std::nullopt, {}, {}, false, false});
        ASSERT_TRUE(run.wait_for_call("glDrawArrays", 1, 120s));
        std::vector<Call> calls = run.calls();
        auto source = std::find_if(calls.begin(), calls.end(), [](const Call& c) { return c.name == "glShaderSource"; });
        ASSERT_NE(source, calls.end());
        EXPECT_EQ(source->text(4), "300");
    }
}

TEST(BuildFailure, IsReportedOnStandardErrorWithoutDrawing)
{
    VirtualDisplay display(1920, 1080);
    struct Case {
        std::optional<std::string> samples;
        std::map<std::string, std::string> environment;
    };
    const Case cases[] = {
        {"abc", {}},
        {"", {}},
        {"3;", {}},
        // A GL without GLSL 4.20 and 4.30, and one with 4.20 but not 4.30.
        // Neither is linked: Mesa's shader cache, which has seen these
        // shaders compile at 4.5, would skip their compilation, and Mesa 25
        // crashes when it compiles them at the link instead. Without the
        // cache, the vertex stage's log gives the reason.
        {std::nullopt,
         {{"MESA_GL_VERSION_OVERRIDE", "3.3"}, {"MESA_GLSL_VERSION_OVERRIDE", "330"}, {"MESA_SHADER_CACHE_DISABLE", "true"}}},
        {"0",
         {{"MESA_GL_VERSION_OVERRIDE", "4.2"}, {"MESA_GLSL_VERSION_OVERRIDE", "420"}, {"MESA_SHADER_CACHE_DISABLE", "true"}}},
    };
    for (const Case& test_case : cases) {
        std::string shown = test_case.samples.value_or("300");
        SCOPED_TRACE("SAMPLES=\"" + shown + "\"");
        ProgramRun run(display, {test_case.samples, {}, test_case.environment, false, false});
        ASSERT_TRUE(run.wait_for_build());
        std::optional<int> status = run.wait_exit(60s);
        ASSERT_TRUE(status.has_value());
        EXPECT_NE(*status, 0);
        EXPECT_EQ(run.standard_output(), "");
        std::string error = run.standard_error();
        EXPECT_NE(error.find("could not build the image shader for OpenGL 4.3 with SAMPLES=\"" + shown + "\""),
                  std::string::npos)
            << error;
        const bool new_enough = test_case.environment.empty();
        EXPECT_NE(error.find(new_enough ? "error" : "4.30"), std::string::npos) << "the GL's own reason: " << error;
        std::vector<Call> calls = run.calls();
        EXPECT_EQ(count_calls(calls, "glLinkProgram"), new_enough ? 1u : 0u);
        EXPECT_EQ(count_calls(calls, "glGetShaderInfoLog"), 2u) << "both stages' logs";
        for (const char* name : {"glUseProgram", "glScissor", "glDrawArrays", "g_timer_elapsed"})
            EXPECT_EQ(count_calls(calls, name), 0u) << name;
    }
}

// The image counts framebuffer pixels: at scale 2 the allocated width is
// half of them.
struct Screen {
    int width, height, scale;
    bool draws;
};

class Screens : public ::testing::TestWithParam<Screen> {};

TEST_P(Screens, DrawOnlyTheLowerLeftImageWhenWideEnough)
{
    const Screen screen = GetParam();
    VirtualDisplay display(screen.width, screen.height);
    ProgramRun run(display, {"0", {}, {{"GDK_SCALE", std::to_string(screen.scale)}}, false, true});
    if (screen.draws) {
        ASSERT_TRUE(run.wait_for_image());
    } else {
        // At its final width, and once more after it: a program that would
        // draw there has had the emission to do it in.
        ASSERT_TRUE(run.wait_for([&](const std::vector<Call>& calls) {
            for (const Emission& emission : render_emissions(calls))
                if (emission.width == screen.width)
                    return true;
            return false;
        }));
        ASSERT_TRUE(emission_after_a_key(display, run));
    }
    // Escape before any drawing, or after it.
    display.press("Escape");
    EXPECT_EQ(run.wait_exit(), 0);
    std::vector<Call> calls = run.calls();
    if (!screen.draws) {
        for (const Emission& emission : render_emissions(calls))
            EXPECT_TRUE(reads_only_the_width(between(calls, emission.begin, emission.end)));
        EXPECT_EQ(count_calls(calls, "gtk_gl_area_queue_render"), 0u);
        EXPECT_EQ(count_calls(calls, "glCreateShader"), 0u);
        EXPECT_EQ(run.standard_output(), "");
        return;
    }
    EXPECT_TRUE(is_time_line(run.standard_output()));
    EXPECT_EQ(drawing_emission(calls)->width, screen.width);
    int strip = 0;
    for (const Call& call : calls)
        if (call.name == "glScissor")
            EXPECT_EQ(call.arguments, (std::vector<std::string>{"0", std::to_string(10 * strip++), "1920", "10"}));
    EXPECT_EQ(strip, 108);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Screens,
                         ::testing::Values(Screen{1280, 1024, 1, false}, Screen{2560, 1440, 1, true},
                                           Screen{2560, 1440, 2, true}, Screen{1920, 1080, 2, true},
                                           Screen{1918, 1080, 2, false}),
                         [](const auto& info) {
                             const Screen& screen = info.param;
                             return std::to_string(screen.width) + "x" + std::to_string(screen.height) + "_scale" +
                                    std::to_string(screen.scale);
                         });

}  // namespace
