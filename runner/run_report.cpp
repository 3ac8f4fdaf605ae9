// Preloaded by scripts/run into mirrorfold, to tell the user what the
// program is doing without the program printing anything of its own. One
// line for each of these goes to the descriptor that MIRRORFOLD_REPORT_FD
// names:
//
//   started         the library is loaded, before the program's first
//                   instruction: without it the runner knows it is blind
//   strip           a strip is finished: the program waits for every strip it
//                   draws with glFinish, and each such wait, once over, counts
//   width N         the area's framebuffer is now N pixels wide, as the
//                   program measures it (the viewport's width) before
//                   deciding whether to draw
//   no-gl REASON    the toolkit could not give the area a GL context, so the
//                   program's render handler will never run; REASON is the
//                   toolkit's own, on one line
//
// Where MIRRORFOLD_PROGRESS_FD names a descriptor, it also shows there how
// far the render has come, as the renderer shows its own: from the moment
// the area is wide enough to draw in, and at each strip.
//
// Without those variables it only forwards the calls.

#include <GL/gl.h>
#include <gtk/gtk.h>
#include <stdio.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "program_calls.h"
#include "progress_display.h"

using program_calls::called_by_program;
using program_calls::real_function;

namespace {

int descriptor_named(const char* variable)
{
    const char* number = getenv(variable);
    return number ? atoi(number) : -1;
}

int report_descriptor()
{
    static const int descriptor = descriptor_named("MIRRORFOLD_REPORT_FD");
    return descriptor;
}

// Elapsed time counts from here, before the program's first instruction.
const ProgressDisplay::Clock::time_point loaded = ProgressDisplay::Clock::now();
constexpr int strip_count = 108, image_width = 1920;

void show_progress(int strips_done)
{
    static const int descriptor = descriptor_named("MIRRORFOLD_PROGRESS_FD");
    static ProgressDisplay display(descriptor, "strips", strip_count, loaded);
    if (descriptor >= 0)
        display.show(strips_done);
}

void report(const std::string& line)
{
    if (report_descriptor() >= 0)
        dprintf(report_descriptor(), "%s\n", line.c_str());
}

__attribute__((constructor)) void report_loaded()
{
    report("started");
}

// Connected after the area's own "realize", which is where the toolkit makes
// the area's GL context or keeps the reason it could not.
void report_missing_context(GtkWidget* area, gpointer)
{
    GError* error = gtk_gl_area_get_error(GTK_GL_AREA(area));
    if (!error)
        return;
    std::string reason = error->message;
    for (char& c : reason)
        if (c == '\n')
            c = ' ';
    report("no-gl " + reason);
}

}  // namespace

extern "C" {

void glFinish()
{
    static const auto real = real_function<void (*)()>("glFinish");
    static int strips_done = 0;
    real();
    // The toolkit may wait for the GL too; only the program's waits are strips.
    if (called_by_program(__builtin_return_address(0))) {
        report("strip");
        show_progress(++strips_done);
    }
}

// The program reads the viewport, which the area sets to its framebuffer,
// and compares its width with the image's.
void glGetIntegerv(GLenum name, GLint* values)
{
    static const auto real = real_function<void (*)(GLenum, GLint*)>("glGetIntegerv");
    static int reported_width = -1;
    real(name, values);
    if (name == GL_VIEWPORT && called_by_program(__builtin_return_address(0))) {
        if (values[2] != reported_width) {
            report("width " + std::to_string(values[2]));
            if (values[2] >= image_width && reported_width < image_width)
                show_progress(0);
        }
        reported_width = values[2];
    }
}

gulong g_signal_connect_data(gpointer instance, const gchar* signal, GCallback handler, gpointer data,
                             GClosureNotify destroy_data, GConnectFlags flags)
{
    static const auto real =
        real_function<gulong (*)(gpointer, const gchar*, GCallback, gpointer, GClosureNotify, GConnectFlags)>(
            "g_signal_connect_data");
    if (called_by_program(__builtin_return_address(0)) && strcmp(signal, "render") == 0)
        real(instance, "realize", G_CALLBACK(report_missing_context), nullptr, nullptr, G_CONNECT_AFTER);
    return real(instance, signal, handler, data, destroy_data, flags);
}

}  // extern "C"
