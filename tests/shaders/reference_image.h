// The image computed on the CPU, straight from the written description of the
// scene and the camera, independently of the shader text: the expectation
// the program's picture is compared with.
#pragma once

#include <array>

namespace reference_image {

struct Vec3 {
    float x, y, z;
};

float box_distance(Vec3 point, Vec3 half_extents);
float wave_noise(Vec3 point);

struct SceneSample {
    float distance;
    float pattern;  // 1 on the boxes, the ring pattern on the walls
};
SceneSample scene(Vec3 point);

// The pixel's colour as the fragment stage computes it, before it is
// quantised: (x, y) is the pixel's centre in GL window coordinates, origin at
// the lower left.
std::array<float, 3> pixel_colour(float x, float y, int samples);

}  // namespace reference_image
