#include "offscreen_gl.h"

#include <stdexcept>
#include <tuple>
#include <utility>

#include "shader_texts.h"

namespace {

bool has_extension(const char* extensions, const std::string& name)
{
    std::string list = extensions ? extensions : "";
    list = " " + list + " ";
    return list.find(" " + name + " ") != std::string::npos;
}

template <typename Function>
Function egl_function(const char* name)
{
    return reinterpret_cast<Function>(eglGetProcAddress(name));
}

bool client_has(const char* extension)
{
    return has_extension(eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS), extension);
}

EGLDisplay initialised_display(EGLenum platform, void* native)
{
    auto get_platform_display = egl_function<PFNEGLGETPLATFORMDISPLAYEXTPROC>("eglGetPlatformDisplayEXT");
    if (!get_platform_display)
        return EGL_NO_DISPLAY;
    EGLDisplay display = get_platform_display(platform, native, nullptr);
    EGLint major, minor;
    return display != EGL_NO_DISPLAY && eglInitialize(display, &major, &minor) ? display : EGL_NO_DISPLAY;
}

std::string describe(const EglDevice& device)
{
    std::string text = "device " + std::to_string(device.number) + (device.software ? " (software" : " (hardware");
    return text + (device.render_node.empty() ? "" : ", " + device.render_node) + ")";
}

// The display to draw on and what it is, or EGL_NO_DISPLAY.
std::pair<EGLDisplay, std::string> device_display(const EglDevice& device)
{
    return {initialised_display(EGL_PLATFORM_DEVICE_EXT, device.handle), describe(device)};
}

std::pair<EGLDisplay, std::string> chosen_display(int device_number)
{
    std::vector<EglDevice> devices = egl_devices();
    if (device_number != OffscreenGl::any_device) {
        if (device_number < 0 || size_t(device_number) >= devices.size())
            throw std::runtime_error("there is no EGL device " + std::to_string(device_number));
        auto chosen = device_display(devices[device_number]);
        if (chosen.first == EGL_NO_DISPLAY)
            throw std::runtime_error("EGL cannot draw on " + chosen.second);
        return chosen;
    }
    for (const EglDevice& device : devices) {
        if (device.software)
            continue;
        auto chosen = device_display(device);
        if (chosen.first != EGL_NO_DISPLAY)
            return chosen;
    }
    if (client_has("EGL_MESA_platform_surfaceless")) {
        EGLDisplay display = initialised_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY);
        if (display != EGL_NO_DISPLAY)
            return {display, "the surfaceless platform"};
    }
    for (const EglDevice& device : devices) {
        auto chosen = device_display(device);
        if (chosen.first != EGL_NO_DISPLAY)
            return chosen;
    }
    throw std::runtime_error("no EGL display without a window system (no GPU device, surfaceless platform or "
                             "software device)");
}

}  // namespace

std::vector<EglDevice> egl_devices()
{
    std::vector<EglDevice> devices;
    auto query_devices = egl_function<PFNEGLQUERYDEVICESEXTPROC>("eglQueryDevicesEXT");
    auto query_string = egl_function<PFNEGLQUERYDEVICESTRINGEXTPROC>("eglQueryDeviceStringEXT");
    if (!client_has("EGL_EXT_platform_device") || !query_devices || !query_string)
        return devices;
    EGLint count = 0;
    if (!query_devices(0, nullptr, &count) || count <= 0)
        return devices;
    std::vector<EGLDeviceEXT> handles(count);
    if (!query_devices(count, handles.data(), &count))
        return devices;
    for (EGLint i = 0; i < count; ++i) {
        EglDevice device{int(i), handles[i], false, ""};
        const char* extensions = query_string(handles[i], EGL_EXTENSIONS);
        device.software = has_extension(extensions, "EGL_MESA_device_software");
        // Mesa names the extension on its software device too, where the
        // query then gives nothing.
        if (has_extension(extensions, "EGL_EXT_device_drm_render_node"))
            if (const char* node = query_string(handles[i], EGL_DRM_RENDER_NODE_FILE_EXT))
                device.render_node = node;
        devices.push_back(device);
    }
    return devices;
}

OffscreenGl::OffscreenGl(int device_number)
{
    std::tie(display_, source_) = chosen_display(device_number);
    if (!eglBindAPI(EGL_OPENGL_API))
        throw std::runtime_error("EGL cannot bind desktop OpenGL on " + source_);
    EGLConfig config = EGL_NO_CONFIG_KHR;
    if (!has_extension(eglQueryString(display_, EGL_EXTENSIONS), "EGL_KHR_no_config_context")) {
        const EGLint wanted[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_NONE};
        EGLint count = 0;
        if (!eglChooseConfig(display_, wanted, &config, 1, &count) || count == 0)
            throw std::runtime_error("no EGL config for desktop OpenGL on " + source_);
    }
    const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 3,
                                 EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
    context_ = eglCreateContext(display_, config, EGL_NO_CONTEXT, attributes);
    if (context_ == EGL_NO_CONTEXT)
        throw std::runtime_error("no OpenGL 4.3 core context on " + source_ + ": the image needs OpenGL 4.3");
    if (!eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_))
        throw std::runtime_error("cannot make the context current without a surface on " + source_);
    // Mesa's software renderers, on its software device or the surfaceless
    // platform alike, name themselves so.
    std::string name = renderer();
    software_ = name.find("llvmpipe") != std::string::npos || name.find("softpipe") != std::string::npos;
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
    // Float textures filter only where an extension says so; shaders read
    // them by texel, which needs no filter, but the texture must be complete.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glGenFramebuffers(1, &framebuffer_);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture_, 0);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
        throw std::runtime_error("incomplete framebuffer");
    glViewport(0, 0, width, height);
}

void Framebuffer::bind() const
{
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
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
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

std::vector<float> Framebuffer::read_rgba_float() const
{
    std::vector<float> pixels(size_t(width) * height * 4);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_FLOAT, pixels.data());
    return pixels;
}

void Framebuffer::write_rgba_float(const std::vector<float>& pixels) const
{
    glBindTexture(GL_TEXTURE_2D, texture_);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGBA, GL_FLOAT, pixels.data());
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
