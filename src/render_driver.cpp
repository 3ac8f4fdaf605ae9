// The render driver: the drawing area's "render" handler, which builds the
// image shader once the area is wide enough and draws the image in strips
// while keeping the window responsive.

#define GL_GLEXT_PROTOTYPES
#include <GL/gl.h>
#include <GL/glext.h>

#include "mirrorfold.h"
#include "shader_texts.h"

// The two libc functions the program calls, declared here rather than taken
// from <stdlib.h> and <stdio.h>: built freestanding, newer C++ libraries give
// those headers only their freestanding part, which has neither. Each is
// declared as glibc does, noexcept or not, should glibc's own declaration
// come in too.
extern "C" {
char* getenv(const char* name) noexcept;
int dprintf(int descriptor, const char* format, ...);
}

namespace {

constexpr int image_width = 1920;
constexpr int image_height = 1080;
constexpr int strip_height = 10;

// Both flags only ever go from 0 to 1.
bool render_armed;
bool image_drawn;
GLuint image_program;
GLuint quad_vertex_array;

// glShaderSource wants the address of a pointer to the text.
const char* vertex_source_pointer = vertex_source;
// The fragment stage's four pieces; the samples text goes in when the image
// is drawn. Kept here rather than built on the stack, where each piece
// would cost a store of its own.
const char* fragment_pieces[] = {fragment_prelude, nullptr, "\n", fragment_body};

// Tells on standard error why the image shader could not be built and ends
// the process: drawing the strips without a program would only pass off an
// undefined picture as a finished render. The GL's reason is in the log of
// the stage that failed: the fragment shader's for a samples text that is
// not an integer constant expression, the vertex shader's or both for a GL
// older than 4.3. The version needed is said too: a shader cache may have
// skipped the compilation that would have filled the log.
[[noreturn]] __attribute__((always_inline)) inline void report_build_failure(const char* samples_text,
                                                                             GLuint fragment_shader,
                                                                             GLuint vertex_shader)
{
    char fragment_reason[4096], vertex_reason[4096];
    glGetShaderInfoLog(fragment_shader, sizeof fragment_reason, nullptr, fragment_reason);
    glGetShaderInfoLog(vertex_shader, sizeof vertex_reason, nullptr, vertex_reason);
    dprintf(2, "could not build the image shader for OpenGL 4.3 with SAMPLES=\"%s\":\n%s%s", samples_text,
            fragment_reason, vertex_reason);
    end_process(1);
}

}  // namespace

extern "C" gboolean on_render(GtkWidget* area, GdkGLContext*, gpointer)
{
    // Emissions nested in the strip loop below, and every one after it, end
    // here before touching the GL.
    if (image_drawn)
        return TRUE;

    // Until the window manager has made the window full screen the area is
    // too narrow for the image. The image counts framebuffer pixels, and
    // before every emission the area sets the viewport to its framebuffer:
    // on a display scaled by 2 a 1280-pixel-wide area has a viewport 2560
    // pixels wide.
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    if (viewport[2] < image_width)
        return TRUE;

    // The first wide emission only asks for another one, so the costly draw
    // starts from a fresh emission at the final size.
    if (!render_armed) {
        gtk_gl_area_queue_render(reinterpret_cast<GtkGLArea*>(area));
        render_armed = true;
        return TRUE;
    }

    GLuint fragment_shader = glCreateShader(GL_FRAGMENT_SHADER);
    // The samples text goes into the shader as it stands: the GLSL compiler
    // is its only judge.
    const char* samples_text = getenv("SAMPLES");
    if (!samples_text)
        samples_text = "300";
    fragment_pieces[1] = samples_text;
    glShaderSource(fragment_shader, 4, fragment_pieces, nullptr);
    glCompileShader(fragment_shader);

    GLuint vertex_shader = glCreateShader(GL_VERTEX_SHADER);
    glShaderSource(vertex_shader, 1, &vertex_source_pointer, nullptr);
    glCompileShader(vertex_shader);

    image_program = glCreateProgram();
    glAttachShader(image_program, vertex_shader);
    glAttachShader(image_program, fragment_shader);
    // Linked only on a GL of 4.3 or later, the one that counts the shading
    // language versions it has (a query older ones refuse, leaving the count
    // at 0). Mesa's shader cache skips compiling a shader it has seen
    // compile before, under another GL version too (after a run with
    // MESA_GL_VERSION_OVERRIDE=4.3 on an older GPU), and compiles it at the
    // link instead; where that fails, Mesa 25 crashes.
    GLint shading_language_versions = 0, linked = GL_FALSE;
    glGetIntegerv(GL_NUM_SHADING_LANGUAGE_VERSIONS, &shading_language_versions);
    if (shading_language_versions) {
        glLinkProgram(image_program);
        glGetProgramiv(image_program, GL_LINK_STATUS, &linked);
    }
    if (!linked)
        report_build_failure(samples_text, fragment_shader, vertex_shader);
    glUseProgram(image_program);

    // The quad's corners come from gl_VertexID alone; the core profile still
    // insists on a bound vertex array.
    glGenVertexArrays(1, &quad_vertex_array);
    glBindVertexArray(quad_vertex_array);

    // Set before the first strip: the event drain below re-enters this
    // handler.
    image_drawn = true;
    glEnable(GL_SCISSOR_TEST);

    // One full-viewport quad per strip, clipped by the scissor, from the
    // bottom row up. Waiting for each strip keeps the GPU's queue short and
    // lets the toolkit handle input in between, so Escape works mid-image.
    for (int y = 0; y != image_height; y += strip_height) {
        glScissor(0, y, image_width, strip_height);
        glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        glFinish();
        while (gtk_events_pending())
            gtk_main_iteration();
    }

    // Straight to the descriptor, past stdio's buffer: the process ends with a
    // bare system call that flushes nothing, and on a pipe or a file the line
    // would stay in the buffer.
    dprintf(1, "render time: %f\n", g_timer_elapsed(render_timer, nullptr));
    return TRUE;
}
