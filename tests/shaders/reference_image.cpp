#include "reference_image.h"

#include <algorithm>
#include <cmath>

namespace reference_image {

namespace {

// Single precision throughout, as on the GPU.
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(Vec3 a, float k) { return {a.x * k, a.y * k, a.z * k}; }
float dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
float length(Vec3 a) { return std::sqrt(dot(a, a)); }
Vec3 normalize(Vec3 a) { return a * (1.f / length(a)); }

template <typename Function>
Vec3 each(Vec3 a, Function function)
{
    return {function(a.x), function(a.y), function(a.z)};
}

Vec3 sines(Vec3 a) { return each(a, [](float c) { return std::sin(c); }); }
Vec3 cosines(Vec3 a) { return each(a, [](float c) { return std::cos(c); }); }

}  // namespace

float box_distance(Vec3 point, Vec3 half_extents)
{
    Vec3 q = each(point, [](float c) { return std::fabs(c); }) - half_extents;
    Vec3 outside = each(q, [](float c) { return std::max(c, 0.f); });
    return length(outside) + std::min(0.f, std::max(q.x, std::max(q.y, q.z)));
}

float wave_noise(Vec3 p)
{
    const Vec3 sine_weights{2, 3, 1}, cosine_weights{3, 1, 2};
    return std::sin(dot(sines(p * 32), sine_weights)) * std::cos(dot(cosines(p * 43), cosine_weights)) +
           std::sin(dot(sines(p * 52), sine_weights)) * std::cos(dot(cosines(p * 73), cosine_weights));
}

SceneSample scene(Vec3 p)
{
    float bump = wave_noise(p * 100) / 5000 *
                 (std::exp(wave_noise(p) + wave_noise(p * 2) + wave_noise(p * (1.f / 5))) * .3f + .6f);
    float room = -box_distance(p, {7.9f, 7.9f, 7.9f});
    Vec3 folded = each(p, [](float c) { return std::asin(std::sin(c)); });
    float blocks = box_distance(folded, {.7f, .6f, .6f}) - .02f;
    float pattern = blocks > room ? std::sin(20 * length(folded)) : 1.f;
    return {std::min(room, blocks) + bump, pattern};
}

std::array<float, 3> pixel_colour(float x, float y, int samples)
{
    Vec3 sum{0, 0, 0};
    for (int k = 0; k < samples; ++k) {
        float a = wave_noise({float(k), float(k), float(k)});
        float b = wave_noise({float(k + 1), float(k + 1), float(k + 1)});
        float dx = (x - 1000) / 1000 + b / 2000, dy = (y - 500) / 1000 + a / 2000;
        Vec3 jitter{0, a, b};
        Vec3 direction = normalize({.5f - .6f * (dx * dx + dy * dy), dx, dy}) + jitter * .01f;
        Vec3 origin = Vec3{-6.5f, 2, -5.2f} - jitter * .03f;
        float throughput = 1, distance = 0;
        for (int step = 0; step < 150; ++step) {
            SceneSample here = scene(origin);
            distance = here.distance;
            if (distance * distance < 1e-6f && here.pattern > -.5f) {
                float centre = scene(origin).distance;
                Vec3 normal = normalize({centre - scene(origin - Vec3{.01f, 0, 0}).distance,
                                         centre - scene(origin - Vec3{0, .01f, 0}).distance,
                                         centre - scene(origin - Vec3{0, 0, .01f}).distance});
                throughput *= 1 - .98f * std::fabs(dot(direction, normal));
                direction = direction - normal * (2 * dot(normal, direction));
                distance = .1f;
            }
            origin = origin + direction * distance;
        }
        Vec3 colour = distance * distance < 1e-6f
                          ? (sines(Vec3{0, 5, 4} - origin * .2f) * .2f + Vec3{1.2f, 1.2f, 1.2f}) * throughput
                          : Vec3{.01f, .01f, .01f};
        sum = sum + colour;
    }
    sum = sum * (1.f / samples);
    return {std::sqrt(sum.x), std::sqrt(sum.y), std::sqrt(sum.z)};
}

}  // namespace reference_image
