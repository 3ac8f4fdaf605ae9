// OpenGL without a window system: a 4.3 core context through EGL, a
// framebuffer object to draw into, and shader programs built from pieces.
// Used by the renderer, the benchmark and the tests that run shader code
// directly.
#pragma once

#define GL_GLEXT_PROTOTYPES
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>

#include <string>
#include <vector>

// The program's image: 1920 by 1080 pixels, drawn by the program in strips
// of 10 rows.
namespace image_frame {
constexpr int width = 1920, height = 1080, strip_height = 10;
}

// An EGL device, as eglQueryDevicesEXT lists it: its number is its place
// in that list. Software is what Mesa marks so (llvmpipe); every other
// device is a GPU's, a DRM device's or one that a vendor's EGL lists.
struct EglDevice {
    int number;
    EGLDeviceEXT handle;
    bool software;
    std::string render_node;  // empty where the device names none
};

// Every device EGL lists; none where it cannot list them.
std::vector<EglDevice> egl_devices();

// Made current on construction, with no window system. By default a GPU
// first: the first hardware device, through the device platform (how
// NVIDIA's driver renders without an X server); then Mesa's surfaceless
// platform; then any device. Given a device's number, that device alone.
// Throws std::runtime_error.
class OffscreenGl {
public:
    static constexpr int any_device = -1;
    explicit OffscreenGl(int device_number = any_device);
    ~OffscreenGl();
    OffscreenGl(const OffscreenGl&) = delete;
    OffscreenGl& operator=(const OffscreenGl&) = delete;

    std::string renderer() const;
    // Where it draws: "device N (hardware, /dev/dri/renderD128)", say, or
    // "the surfaceless platform".
    const std::string& source() const { return source_; }
    // Whether it draws on the CPU, with one of Mesa's software renderers.
    bool software() const { return software_; }

private:
    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;
    std::string source_;
    bool software_ = false;
};

// A framebuffer object with one colour texture, bound for drawing, its
// viewport set to the whole texture.
class Framebuffer {
public:
    Framebuffer(int width, int height, GLenum internal_format);
    ~Framebuffer();
    Framebuffer(const Framebuffer&) = delete;
    Framebuffer& operator=(const Framebuffer&) = delete;

    // Makes it the target of drawing again, after another.
    void bind() const;
    // Its colour texture, to be read by a shader while another is drawn.
    GLuint texture() const { return texture_; }

    // Sets every pixel to `rgba`, whatever the scissor test says.
    void fill(const float rgba[4]) const;
    // RGBA, row 0 at the bottom.
    std::vector<unsigned char> read_rgba8() const;
    std::vector<float> read_rgba_float() const;
    void write_rgba_float(const std::vector<float>& pixels) const;

    int width, height;

private:
    GLuint framebuffer_ = 0, texture_ = 0;
};

// Compiles both stages from their pieces and links them; throws
// std::runtime_error carrying the GL's log on failure.
GLuint build_program(const std::vector<const char*>& vertex_pieces,
                     const std::vector<const char*>& fragment_pieces);

// The image program exactly as mirrorfold assembles it.
GLuint build_image_program(const char* samples_text);
