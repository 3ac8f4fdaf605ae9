// The application shell, watched from outside on a private X server: the
// start-up order, the full-screen window with its blank pointer, and every
// way the process ends.

#include <elf.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>

#include "x_session.h"

using namespace mirrorfold_test;

namespace {

// The calls that do not depend on event timing, without object addresses:
// what the program asked for, in order.
std::vector<std::string> timing_free_calls(const std::vector<Call>& calls)
{
    std::vector<std::string> skeleton;
    for (const Call& call : calls) {
        if (call.name.rfind("render_", 0) == 0 || call.name.rfind("key_press", 0) == 0 ||
            call.name == "gtk_events_pending" || call.name == "gtk_main_iteration" ||
            call.name == "glGetIntegerv" ||
            call.name == "g_timer_elapsed")
            continue;
        std::string line = call.name;
        for (const std::string& argument : call.arguments)
            line += " " + (argument.rfind("0x", 0) == 0 ? std::string("<address>") : argument);
        skeleton.push_back(line);
    }
    return skeleton;
}

// One run carries most assertions: started with arguments, SAMPLES=0, its
// output on a pipe; once the image is done, a few keys that must do nothing,
// then Escape.
class StandardRun : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        display = new VirtualDisplay(1920, 1080);
        run = new ProgramRun(*display, {"0", {"--help", "-x", "ignored"}, {}, false, true});
        finished = run->wait_for_image();
        process_image = read_file("/proc/" + std::to_string(run->pid()) + "/exe");
        window = display->client_window_of(run->pid());
        if (window) {
            fullscreen = display->is_fullscreen(*window);
            geometry = display->geometry(*window);
        }
        pointer_blank = display->cursor_is_blank_at(700, 400);
        // Five key events: Control_L and q come separately.
        for (const char* key : {"a", "Return", "F10", "ctrl+q"})
            display->press(key);
        keys_handled = run->wait_for_call("key_press_end", 5, 30s);
        alive_after_other_keys = run->running();
        display->press("Escape");
        exit_status = run->wait_exit();
        calls = run->calls();
        output = run->standard_output();
    }

    static void TearDownTestSuite()
    {
        delete run;
        delete display;
    }

    static inline VirtualDisplay* display;
    static inline ProgramRun* run;
    static inline bool finished, fullscreen, pointer_blank, keys_handled, alive_after_other_keys;
    static inline std::optional<::Window> window;
    static inline VirtualDisplay::Geometry geometry;
    static inline std::optional<int> exit_status;
    static inline std::vector<Call> calls;
    static inline std::string output, process_image;
};

TEST_F(StandardRun, TheStartedProcessRunsTheProgramItself)
{
    // The packed form unpacks in memory and becomes the program in place. It
    // carries what the segment maps, every byte of it as it is but where
    // nothing reads: the ELF header's fields for the section table, which
    // is left out, and the compiler's identification text, zeroed.
    const std::string plain = read_file(plain_program_path());
    Elf64_Ehdr header;
    Elf64_Phdr segment;
    ASSERT_GT(plain.size(), sizeof header + 3 * sizeof segment);
    memcpy(&header, plain.data(), sizeof header);
    memcpy(&segment, plain.data() + header.e_phoff + 2 * sizeof segment, sizeof segment);
    ASSERT_TRUE(process_image.size() == plain.size() || process_image.size() == segment.p_filesz)
        << process_image.size() << " bytes";
    size_t identification = std::min(plain.find("GCC: ("), plain.find("clang version"));
    ASSERT_NE(identification, std::string::npos);
    const size_t text_begin = plain.rfind('\0', identification) + 1, text_end = plain.find('\0', identification);
    // The packed form clears all of those; the plain file is itself.
    const bool packed = process_image.size() != plain.size();
    for (size_t i = 0; i < process_image.size(); ++i) {
        bool unread = (i >= offsetof(Elf64_Ehdr, e_shoff) && i < offsetof(Elf64_Ehdr, e_flags)) ||
                      (i >= offsetof(Elf64_Ehdr, e_shentsize) && i < sizeof header) ||
                      (i >= text_begin && i < text_end);
        if (packed && unread)
            ASSERT_EQ(process_image[i], 0) << "not cleared at offset " << i;
        else
            ASSERT_EQ(process_image[i], plain[i]) << "the running process image differs at offset " << i;
    }
}

TEST_F(StandardRun, StartsUpInOrderWithoutTheCommandLine)
{
    ASSERT_GE(calls.size(), 14u);
    std::vector<std::string> names;
    for (size_t i = 0; i < 14; ++i)
        names.push_back(calls[i].name);
    EXPECT_EQ(names, (std::vector<std::string>{
                         "g_timer_new", "gtk_init", "gtk_window_new", "gtk_gl_area_new", "gtk_container_add",
                         "g_signal_connect_data", "g_signal_connect_data", "g_signal_connect_data",
                         "gtk_widget_show_all", "gtk_window_fullscreen", "gtk_widget_get_window",
                         "gdk_cursor_new", "gdk_window_set_cursor", "gtk_main"}));

    EXPECT_EQ(calls[1].arguments, (std::vector<std::string>{"null", "null"})) << "gtk_init gets no command line";
    EXPECT_EQ(calls[2].number(0), 0) << "GTK_WINDOW_TOPLEVEL";
    const std::string window = calls[2].result, area = calls[3].result;
    EXPECT_EQ(calls[4].arguments, (std::vector<std::string>{window, area}));

    struct Connection {
        std::string instance, signal;
    };
    const Connection expected[] = {{window, "destroy"}, {window, "key_press_event"}, {area, "render"}};
    for (int i = 0; i < 3; ++i) {
        const Call& connect = calls[5 + i];
        EXPECT_EQ(connect.arguments[0], expected[i].instance);
        EXPECT_EQ(connect.text(1), expected[i].signal);
        EXPECT_EQ(connect.arguments[2], "null") << "no user data";
        EXPECT_EQ(connect.arguments[3], "null") << "no destroy notifier";
        EXPECT_EQ(connect.arguments[4], "0") << "connect flags";
    }
    EXPECT_EQ(calls[8].arguments[0], window);
    EXPECT_EQ(calls[9].arguments[0], window);
    EXPECT_EQ(calls[10].arguments[0], window);
    EXPECT_EQ(calls[11].number(0), -2) << "GDK_BLANK_CURSOR";
    EXPECT_EQ(calls[12].arguments, (std::vector<std::string>{calls[10].result, calls[11].result}));
}

TEST_F(StandardRun, WindowFillsTheScreenWithABlankPointer)
{
    ASSERT_TRUE(finished) << "the image was never finished";
    ASSERT_TRUE(window.has_value()) << "no managed window belongs to the program";
    EXPECT_TRUE(fullscreen);
    EXPECT_EQ(geometry.x, 0);
    EXPECT_EQ(geometry.y, 0);
    EXPECT_EQ(geometry.width, 1920);
    EXPECT_EQ(geometry.height, 1080);
    EXPECT_TRUE(pointer_blank);
}

TEST_F(StandardRun, OtherKeysPassOnAndDoNothing)
{
    EXPECT_TRUE(keys_handled);
    EXPECT_TRUE(alive_after_other_keys);
    std::vector<std::string> results;
    for (const Call& call : calls)
        if (call.name == "key_press_end")
            results.push_back(call.result);
    // Five or more: where the keymap has F10 on a level that needs Alt too,
    // xdotool presses Alt_L first.
    EXPECT_GE(results.size(), 5u);
    ASSERT_EQ(results.size(), count_calls(calls, "key_press") - 1)
        << "Escape returns no result: the process ends inside the handler";
    for (const std::string& result : results)
        EXPECT_EQ(result, "0") << "the handler must return FALSE for keys other than Escape";
}

TEST_F(StandardRun, EscapeAfterTheImageEndsWithStatusZero)
{
    EXPECT_EQ(exit_status, 0);
    EXPECT_TRUE(is_time_line(output)) << output;
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().name, "key_press");
    EXPECT_EQ(calls.back().number(0), 0xff1b);
}

TEST_F(StandardRun, CommandLineChangesNothing)
{
    // The same program without arguments, its output on a file, ended with
    // Shift+Escape: the calls and the output have the same form.
    ProgramRun bare(*display, {"0", {}, {}, true, true});
    ASSERT_TRUE(bare.wait_for_image());
    display->press("shift+Escape");
    EXPECT_EQ(bare.wait_exit(), 0) << "Escape with a modifier still quits";
    std::vector<Call> bare_calls = bare.calls();
    auto skeleton = timing_free_calls(calls), bare_skeleton = timing_free_calls(bare_calls);
    EXPECT_EQ(skeleton, bare_skeleton);
    EXPECT_TRUE(is_time_line(bare.standard_output()));
}

TEST(Termination, EscapeWhileDrawingEndsAfterTheCurrentStrip)
{
    VirtualDisplay display(1920, 1080);
    // One sample makes a strip take a noticeable time here; queueing renders
    // on every strip makes nested emissions happen while drawing.
    ProgramRun run(display, {"1", {}, {}, false, true});
    ASSERT_TRUE(run.wait_for_call("glFinish", 3, 120s));
    display.press("ctrl+Escape");
    ASSERT_EQ(run.wait_exit(60s), 0);
    EXPECT_EQ(run.standard_output(), "") << "no time line for an unfinished image";

    std::vector<Call> calls = run.calls();
    size_t strips = count_calls(calls, "glScissor");
    EXPECT_GE(strips, 3u);
    EXPECT_LT(strips, 108u);
    ASSERT_EQ(calls.back().name, "key_press");
    // Between the strip's glFinish and the key only the event drain ran.
    auto last_finish = std::find_if(calls.rbegin(), calls.rend(), [](const Call& c) { return c.name == "glFinish"; });
    for (auto call = calls.rbegin(); call != last_finish; ++call)
        EXPECT_TRUE(call->name == "gtk_events_pending" || call->name == "gtk_main_iteration" ||
                    call->name.rfind("render_", 0) == 0 || call->name.rfind("key_press", 0) == 0)
            << call->name << " after the last strip finished";
}

TEST(Termination, EscapeEndsTheProgramWithTheStandardDescriptorsClosed)
{
    // None of 0, 1 and 2 may become the X connection, whose stream the time
    // line or a toolkit warning would then break: each is /dev/null.
    VirtualDisplay display(1920, 1080);
    ProgramRun run(display, {"0", {}, {}, false, false, true});
    ASSERT_TRUE(run.wait_for_image());
    for (int fd : {0, 1, 2})
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(run.pid()) + "/fd/" + std::to_string(fd)),
                  "/dev/null")
            << "descriptor " << fd;
    display.press("Escape");
    EXPECT_EQ(run.wait_exit(), 0);
    EXPECT_EQ(run.calls().back().name, "key_press");
}

TEST(Termination, ClosingTheWindowEndsWithStatusZero)
{
    VirtualDisplay display(1920, 1080);
    // The call log at a path with a blank, as a checkout at such a path
    // has it: the harness must still get it into the program.
    const auto blank_directory =
        std::filesystem::temp_directory_path() / ("mirrorfold call log " + std::to_string(getpid()));
    std::filesystem::create_directory(blank_directory);
    std::filesystem::create_symlink(call_log_library_path(), blank_directory / "call log.so");
    ProgramRun run(display, {"0", {}, {}, false, false, false, (blank_directory / "call log.so").string()});
    const bool drawn = run.wait_for_image();
    std::filesystem::remove_all(blank_directory);
    ASSERT_TRUE(drawn);
    // openbox's close: the toolkit destroys the window. A new openbox can
    // take a moment to bind its keys; until then the program sees the keys
    // themselves, which do nothing, so they are pressed again.
    std::optional<int> status;
    for (auto deadline = Clock::now() + 60s; !status && Clock::now() < deadline;) {
        display.press("alt+F4");
        status = run.wait_exit(2s);
    }
    ASSERT_EQ(status, 0);
    std::vector<Call> calls = run.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().name, "destroy");
}

}  // namespace
