#include "offscreen_gl.h"

#include <EGL/eglext.h>

#include <stdexcept>

#include "shader_texts.h"

namespace {

bool has_extension(const char* extensions, const std::string& name)
{
    std::string list = extensions ? extensions : "";
    list = " " + list + " ";
    return list.find(" " + name + " ") != std::string::npos;
}

EGLDisplay platform_display()
{
    auto get_platform_display =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    const char* client_extensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!get_platform_display)
        throw std::runtime_error("EGL has no eglGetPlatformDisplayEXT");
    EGLint major, minor;
    if (has_extension(client_extensions, "EGL_MESA_platform_surfaceless")) {
        EGLDisplay display = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display != EGL_NO_DISPLAY && eglInitialize(display, &major, &minor))
            return display;
    }
    if (has_extension(client_extensions, "EGL_EXT_platform_device")) {
        auto query_devices = reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
        EGLDeviceEXT devices[16];
        EGLint count = 0;
        if (query_devices && query_devices(16, devices, &count)) {
            for (EGLint i = 0; i < count; ++i) {
                EGLDisplay display = get_platform_display(EGL_PLATFORM_DEVICE_EXT, devices[i], nullptr);
                if (display != EGL_NO_DISPLAY && eglInitialize(display, &major, &minor))
                    return display;
            }
        }
    }
    throw std::runtime_error("no EGL display without a window system (surfaceless or device platform)");
}

}  // namespace

OffscreenGl::OffscreenGl() : display_(platform_display())
{
    if (!eglBindAPI(EGL_OPENGL_API))
        throw std::runtime_error("EGL cannot bind desktop OpenGL");
    EGLConfig config = EGL_NO_CONFIG_KHR;
    if (!has_extension(eglQueryString(display_, EGL_EXTENSIONS), "EGL_KHR_no_config_context")) {
        const EGLint wanted[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_NONE};
        EGLint count = 0;
        if (!eglChooseConfig(display_, wanted, &config, 1, &count) || count == 0)
            throw std::runtime_error("no EGL config for desktop OpenGL");
    }
    const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 3,
                                 EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
    context_ = eglCreateContext(display_, config, EGL_NO_CONTEXT, attributes);
    if (context_ == EGL_NO_CONTEXT)
        throw std::runtime_error("no OpenGL 4.3 core context");
    if (!eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_))
        throw std::runtime_error("cannot make the context current without a surface");
}

OffscreenGl::~OffscreenGl()
{
    eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(display_, context_);
    eglTerminate(display_);
}

std::string OffscreenGl::renderer() const
{
    return reinterpret_cast<const char*>(glGetString(GL_RENDERER));
}

Framebuffer::Framebuffer(int width, int height, GLenum internal_format) : width(width), height(height)
{
    glGenTextures(1, &texture_);
    glBindTexture(GL_TEXTURE_2D, texture_);
    glTexStorage2D(GL_TEXTURE_2D, 1, internal_format, width, height);
    glGenFramebuffers(1, &framebuffer_);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture_, 0);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
        throw std::runtime_error("incomplete framebuffer");
    glViewport(0, 0, width, height);
}

Framebuffer::~Framebuffer()
{
    glDeleteFramebuffers(1, &framebuffer_);
    glDeleteTextures(1, &texture_);
}

void Framebuffer::fill(const float rgba[4]) const
{
    glClearTexImage(texture_, 0, GL_RGBA, GL_FLOAT, rgba);
}

std::vector<unsigned char> Framebuffer::read_rgba8() const
{
    std::vector<unsigned char> pixels(size_t(width) * height * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

std::vector<float> Framebuffer::read_rgba_float() const
{
    std::vector<float> pixels(size_t(width) * height * 4);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_FLOAT, pixels.data());
    return pixels;
}

namespace {

// Throws with the GL's log of `object` unless its status is set.
template <typename GetStatus, typename GetLog, typename Delete>
void check_status(GLuint object, GLenum status_name, GetStatus get_status, GetLog get_log, Delete delete_object,
                  const std::string& failure)
{
    GLint status = 0;
    get_status(object, status_name, &status);
    if (status)
        return;
    char log[8192] = "";
    get_log(object, sizeof log, nullptr, log);
    delete_object(object);
    throw std::runtime_error(failure + ":\n" + log);
}

GLuint compiled_shader(GLenum stage, const std::vector<const char*>& pieces)
{
    GLuint shader = glCreateShader(stage);
    glShaderSource(shader, GLsizei(pieces.size()), pieces.data(), nullptr);
    glCompileShader(shader);
    check_status(shader, GL_COMPILE_STATUS, glGetShaderiv, glGetShaderInfoLog, glDeleteShader,
                 std::string(stage == GL_VERTEX_SHADER ? "vertex" : "fragment") + " shader does not compile");
    return shader;
}

}  // namespace

GLuint build_program(const std::vector<const char*>& vertex_pieces, const std::vector<const char*>& fragment_pieces)
{
    GLuint vertex = compiled_shader(GL_VERTEX_SHADER, vertex_pieces);
    GLuint fragment = compiled_shader(GL_FRAGMENT_SHADER, fragment_pieces);
    GLuint program = glCreateProgram();
    glAttachShader(program, vertex);
    glAttachShader(program, fragment);
    glLinkProgram(program);
    glDeleteShader(vertex);
    glDeleteShader(fragment);
    check_status(program, GL_LINK_STATUS, glGetProgramiv, glGetProgramInfoLog, glDeleteProgram,
                 "program does not link");
    return program;
}

GLuint build_image_program(const char* samples_text)
{
    return build_program({vertex_source}, {fragment_prelude, samples_text, "\n", fragment_body});
}
