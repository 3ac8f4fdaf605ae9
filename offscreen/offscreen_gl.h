// OpenGL without a window system: a 4.3 core context through EGL, a
// framebuffer object to draw into, and shader programs built from pieces.
// Used by the benchmark and by the tests that run shader code directly.
#pragma once

#define GL_GLEXT_PROTOTYPES
#include <EGL/egl.h>
#include <GL/gl.h>
#include <GL/glext.h>

#include <string>
#include <vector>

// Made current on construction. Mesa's surfaceless platform first; where a
// GPU driver has none, the first EGL device. Throws std::runtime_error.
class OffscreenGl {
public:
    OffscreenGl();
    ~OffscreenGl();
    OffscreenGl(const OffscreenGl&) = delete;
    OffscreenGl& operator=(const OffscreenGl&) = delete;

    std::string renderer() const;

private:
    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;
};

// A framebuffer object with one colour texture, bound for drawing, its
// viewport set to the whole texture.
class Framebuffer {
public:
    Framebuffer(int width, int height, GLenum internal_format);
    ~Framebuffer();
    Framebuffer(const Framebuffer&) = delete;
    Framebuffer& operator=(const Framebuffer&) = delete;

    // Sets every pixel to `rgba`, whatever the scissor test says.
    void fill(const float rgba[4]) const;
    // RGBA, row 0 at the bottom.
    std::vector<unsigned char> read_rgba8() const;
    std::vector<float> read_rgba_float() const;

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
