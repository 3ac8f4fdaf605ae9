// LD_PRELOAD library that records, in order, the toolkit and GL calls the
// mirrorfold executable makes, so tests can watch the program from outside.
// Each wrapper logs only calls made from the executable's own code and then
// forwards to the real function.
//
// It also wraps the three signal handlers the program connects, to log each
// emission: "render" with the width of the area's framebuffer (allocated
// width times scale factor), its nesting depth and result;
// "key_press_event" with the key and result; "destroy".
//
// Environment:
//   MIRRORFOLD_CALL_LOG        file the lines are appended to
//   MIRRORFOLD_PROVOKE_RENDERS if set, queue a render of the area after every
//                              strip the program finishes and every key, to
//                              cause the nested and late emissions the
//                              program must ignore; and after every strip
//                              leave work pending that takes two dispatches,
//                              which a drain that stops early leaves behind
//
// One line a call, tab-separated: name, arguments, and "->" with the result
// where there is one. Strings are escaped (\n, \t, \\) and quoted.

#define GL_GLEXT_PROTOTYPES
#include <GL/gl.h>
#include <GL/glext.h>
#include <fcntl.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "program_calls.h"

namespace {

using program_calls::called_by_program;
using program_calls::real_function;

void write_line(const std::string& line)
{
    // Kept far above the descriptors the program would get itself: where
    // it starts with one of 0, 1 and 2 closed, the log must not fill it.
    static const int fd = [] {
        const char* path = getenv("MIRRORFOLD_CALL_LOG");
        int opened = path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
        if (opened < 0)
            return -1;
        int kept = fcntl(opened, F_DUPFD_CLOEXEC, 100);
        close(opened);
        return kept;
    }();
    // Unbuffered: the program ends with a bare exit_group.
    if (fd >= 0)
        (void)!write(fd, (line + "\n").data(), line.size() + 1);
}

std::string quoted(const char* text)
{
    if (!text)
        return "null";
    std::string result = "\"";
    for (const char* c = text; *c; ++c) {
        if (*c == '\n')
            result += "\\n";
        else if (*c == '\t')
            result += "\\t";
        else if (*c == '\\')
            result += "\\\\";
        else
            result += *c;
    }
    return result + "\"";
}

std::string formatted(const char* text) { return quoted(text); }

std::string formatted(double value)
{
    char text[64];
    snprintf(text, sizeof text, "%.6f", value);
    return text;
}

template <typename T>
std::string formatted(T value)
{
    if constexpr (std::is_pointer_v<T>) {
        if (!value)
            return "null";
        char text[32];
        snprintf(text, sizeof text, "%p", reinterpret_cast<const void*>(value));
        return text;
    } else {
        return std::to_string(static_cast<long long>(value));
    }
}

template <typename... Args>
void log_call(const char* name, const std::string& result, Args... args)
{
    std::string line = name;
    ((line += "\t" + formatted(args)), ...);
    if (!result.empty())
        line += "\t->\t" + result;
    write_line(line);
}

// Calls the real function and logs the call if the program made it: before
// the call when there is no result, so that a call that never returns
// (gtk_main) or runs handlers is still logged in its place.
template <typename Result, typename... Args>
Result forward(void* caller, const char* name, Result (*real)(Args...), Args... args)
{
    if constexpr (std::is_void_v<Result>) {
        if (called_by_program(caller))
            log_call(name, "", args...);
        real(args...);
    } else {
        Result result = real(args...);
        if (called_by_program(caller))
            log_call(name, formatted(result), args...);
        return result;
    }
}

}  // namespace

// The next definition of `function` after this library's own.
#define REAL(function) real_function<decltype(&function)>(#function)

// Defines the body of a wrapper that logs and forwards its own call.
#define LOGGED(function, ...)                                                                   \
    static const auto real = REAL(function);                                                    \
    return forward(__builtin_return_address(0), #function, real __VA_OPT__(, ) __VA_ARGS__)

extern "C" {

// --- GL -----------------------------------------------------------------------

GLuint glCreateShader(GLenum type) { LOGGED(glCreateShader, type); }
void glCompileShader(GLuint shader) { LOGGED(glCompileShader, shader); }
GLuint glCreateProgram() { LOGGED(glCreateProgram); }
void glAttachShader(GLuint program, GLuint shader) { LOGGED(glAttachShader, program, shader); }
void glLinkProgram(GLuint program) { LOGGED(glLinkProgram, program); }
void glUseProgram(GLuint program) { LOGGED(glUseProgram, program); }
void glBindVertexArray(GLuint array) { LOGGED(glBindVertexArray, array); }
void glEnable(GLenum capability) { LOGGED(glEnable, capability); }
void glScissor(GLint x, GLint y, GLsizei width, GLsizei height) { LOGGED(glScissor, x, y, width, height); }
void glDrawArrays(GLenum mode, GLint first, GLsizei count) { LOGGED(glDrawArrays, mode, first, count); }
void glGetShaderInfoLog(GLuint shader, GLsizei size, GLsizei* length, GLchar* log)
{
    LOGGED(glGetShaderInfoLog, shader, size, length, log);
}

// The pieces, and the values written back, are what the tests look at.
void glShaderSource(GLuint shader, GLsizei count, const GLchar* const* pieces, const GLint* lengths)
{
    static const auto real = REAL(glShaderSource);
    real(shader, count, pieces, lengths);
    if (!called_by_program(__builtin_return_address(0)))
        return;
    std::string line = "glShaderSource\t" + formatted(shader) + "\t" + formatted(count) + "\t" + formatted(lengths);
    for (GLsizei i = 0; i < count; ++i)
        line += "\t" + quoted(pieces[i]);
    write_line(line);
}

void glGenVertexArrays(GLsizei count, GLuint* arrays)
{
    static const auto real = REAL(glGenVertexArrays);
    real(count, arrays);
    if (called_by_program(__builtin_return_address(0)))
        log_call("glGenVertexArrays", formatted(arrays[0]), count);
}

// The program asks only for the viewport, whose width is what it compares.
void glGetIntegerv(GLenum name, GLint* values)
{
    static const auto real = REAL(glGetIntegerv);
    real(name, values);
    if (called_by_program(__builtin_return_address(0)))
        log_call("glGetIntegerv", formatted(values[name == GL_VIEWPORT ? 2 : 0]), name);
}

void glGetProgramiv(GLuint program, GLenum name, GLint* value)
{
    static const auto real = REAL(glGetProgramiv);
    real(program, name, value);
    if (called_by_program(__builtin_return_address(0)))
        log_call("glGetProgramiv", formatted(*value), program, name);
}

void glFinish();

// --- GLib, GObject, GTK, GDK --------------------------------------------------------

GTimer* g_timer_new() { LOGGED(g_timer_new); }
gdouble g_timer_elapsed(GTimer* timer, gulong* microseconds) { LOGGED(g_timer_elapsed, timer, microseconds); }
void gtk_init(int* argc, char*** argv) { LOGGED(gtk_init, argc, argv); }
GtkWidget* gtk_window_new(GtkWindowType type) { LOGGED(gtk_window_new, type); }
GtkWidget* gtk_gl_area_new() { LOGGED(gtk_gl_area_new); }
void gtk_container_add(GtkContainer* container, GtkWidget* widget) { LOGGED(gtk_container_add, container, widget); }
void gtk_widget_show_all(GtkWidget* widget) { LOGGED(gtk_widget_show_all, widget); }
void gtk_window_fullscreen(GtkWindow* window) { LOGGED(gtk_window_fullscreen, window); }
GdkWindow* gtk_widget_get_window(GtkWidget* widget) { LOGGED(gtk_widget_get_window, widget); }
void gtk_main() { LOGGED(gtk_main); }
gboolean gtk_events_pending() { LOGGED(gtk_events_pending); }
// Logged before it runs: the handlers it dispatches log their own lines.
gboolean gtk_main_iteration()
{
    static const auto real = REAL(gtk_main_iteration);
    if (called_by_program(__builtin_return_address(0)))
        log_call("gtk_main_iteration", "");
    return real();
}
void gtk_gl_area_queue_render(GtkGLArea* area) { LOGGED(gtk_gl_area_queue_render, area); }
G_GNUC_BEGIN_IGNORE_DEPRECATIONS
GdkCursor* gdk_cursor_new(GdkCursorType type) { LOGGED(gdk_cursor_new, type); }
G_GNUC_END_IGNORE_DEPRECATIONS
void gdk_window_set_cursor(GdkWindow* window, GdkCursor* cursor) { LOGGED(gdk_window_set_cursor, window, cursor); }

}  // extern "C"

// --- The program's signal handlers ------------------------------------------------

namespace {

using RenderHandler = gboolean (*)(GtkWidget*, GdkGLContext*, gpointer);
using KeyHandler = gboolean (*)(GtkWidget*, GdkEventKey*, gpointer);
using DestroyHandler = void (*)(GtkWidget*, gpointer);

RenderHandler program_render;
KeyHandler program_key_press;
DestroyHandler program_destroy;
GtkGLArea* rendered_area;
int render_depth;

bool provoking_renders()
{
    static const bool provoking = getenv("MIRRORFOLD_PROVOKE_RENDERS") != nullptr;
    return provoking;
}

void provoke_render()
{
    static const auto real = REAL(gtk_gl_area_queue_render);
    if (provoking_renders() && rendered_area)
        real(rendered_area);
}

// An idle callback that, the first time, adds another: pending until the
// second dispatch.
gboolean pending_twice(gpointer first)
{
    if (first)
        g_idle_add(pending_twice, nullptr);
    return G_SOURCE_REMOVE;
}

gboolean logged_render(GtkWidget* area, GdkGLContext* context, gpointer data)
{
    rendered_area = reinterpret_cast<GtkGLArea*>(area);
    int depth = ++render_depth;
    log_call("render_begin", "", depth, gtk_widget_get_allocated_width(area) * gtk_widget_get_scale_factor(area));
    gboolean result = program_render(area, context, data);
    log_call("render_end", formatted(result), depth);
    --render_depth;
    return result;
}

gboolean logged_key_press(GtkWidget* window, GdkEventKey* event, gpointer data)
{
    log_call("key_press", "", event->keyval, event->state);
    gboolean result = program_key_press(window, event, data);
    log_call("key_press_end", formatted(result));
    provoke_render();
    return result;
}

void logged_destroy(GtkWidget* window, gpointer data)
{
    log_call("destroy", "");
    program_destroy(window, data);
}

}  // namespace

extern "C" {

void glFinish()
{
    static const auto real = REAL(glFinish);
    bool by_program = called_by_program(__builtin_return_address(0));
    if (by_program)
        log_call("glFinish", "");
    real();
    if (by_program && provoking_renders()) {
        provoke_render();
        g_idle_add(pending_twice, GINT_TO_POINTER(1));
    }
}

gulong g_signal_connect_data(gpointer instance, const gchar* signal, GCallback handler, gpointer data,
                             GClosureNotify destroy_data, GConnectFlags flags)
{
    static const auto real = REAL(g_signal_connect_data);
    if (!called_by_program(__builtin_return_address(0)))
        return real(instance, signal, handler, data, destroy_data, flags);
    log_call("g_signal_connect_data", "", instance, signal, data, destroy_data, flags);
    std::string name = signal;
    if (name == "render") {
        program_render = reinterpret_cast<RenderHandler>(handler);
        handler = G_CALLBACK(logged_render);
    } else if (name == "key_press_event") {
        program_key_press = reinterpret_cast<KeyHandler>(handler);
        handler = G_CALLBACK(logged_key_press);
    } else if (name == "destroy") {
        program_destroy = reinterpret_cast<DestroyHandler>(handler);
        handler = G_CALLBACK(logged_destroy);
    }
    return real(instance, signal, handler, data, destroy_data, flags);
}

}  // extern "C"
