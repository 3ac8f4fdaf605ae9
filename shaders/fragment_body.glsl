// The image: a path tracer for one pixel, run for every pixel of a strip.
//
// The scene is the inside of a cube-shaped mirror room filled with a lattice
// of small rounded boxes, repeated by folding space; every surface is rough
// with a fine noise; bands of a ring pattern on the walls glow and are the
// only light. Paths bounce off the mirrors, losing more energy the more
// head-on they meet them.
//
// The build squeezes this text onto one line, so every name is one letter
// and letters are reused wherever a scope allows: the first parameter of
// each function is v, which shadows the output. Constants are written in
// their shortest form, and an integer stands for a float wherever GLSL
// converts it, since every character is a byte of the executable.

// The surface pattern at the point of the last scene evaluation: exactly 1
// on the boxes (mirror), sin of the ring pattern on the walls. Walls where
// it is at or below -.5 are the glowing bands; the rest of the walls mirror.
float f;

// The pixel's colour, and while the samples run their sum: RGB adds up the
// sample colours, w counts the samples.
out vec4 v;

// Signed distance from point v to the box of half-extents m centred at the
// origin: negative inside, positive outside.
float n(vec3 v, vec3 m)
{
    v = abs(v) - m;
    return length(max(v, 0)) + min(0, max(v.x, max(v.y, v.z)));
}

// Wave noise: two products of sines and cosines of weighted sums of sines
// and cosines, each term in [-1,1]. Cheap, smooth, no tables; exactly 0 at
// the origin because both terms start with sin(0). The frequencies (32, 43;
// 52, 73) share no common period, so no repeat shows.
float n(vec3 v)
{
    return sin(dot(sin(v * 32), vec3(2, 3, 1))) * cos(dot(cos(v * 43), vec3(3, 1, 2)))
         + sin(dot(sin(v * 52), vec3(2, 3, 1))) * cos(dot(cos(v * 73), vec3(3, 1, 2)));
}

// Scene distance at point v; sets f for the nearest surface.
float s(vec3 v)
{
    // z: space folded into a triangle wave of period 2 pi in every axis, so
    // one box stands on every point whose coordinates are multiples of pi,
    // its neighbours mirrored.
    vec3 z = asin(sin(v));
    // s: the roughness, a displacement of at most 2/5000 whose size swings
    // with three coarser noises, so some regions are glossier than others.
    float s = n(v * 100) / 5000 * (exp(n(v) + n(v * 2) + n(v / 5)) * .3 + .6),
    // m: the room, a cube of half-size 7.9 seen from inside, hence negated.
          m = -n(v, vec3(7.9)),
    // e: the boxes, half-extents .7, .6, .6, grown by .02 for rounded edges.
          e = n(z, vec3(.7, .6, .6)) - .02;
    // Rings on the walls where they are strictly nearer; a tie counts as box.
    f = e > m ? sin(length(z) * 20) : 1;
    return s + min(m, e);
}

void main()
{
    v = vec4(0);
    // m: the sample index. Every pixel uses the same sequence of offsets, so
    // more samples only add to the earlier ones.
    for (int m = 0; m < SAMPLES; m++) {
        // a, b: this sample's jitter, noise at the sample index; r: the
        // energy the path still carries; e: the last distance.
        float a = n(vec3(m)), b = n(vec3(m + 1)), r = 1, e;
        // z: the screen point, 1000 pixels a unit, optical centre at pixel
        // (1000,500), moved by up to a pixel for antialiasing.
        vec2 z = (gl_FragCoord.xy - vec2(1000, 500)) / 1000 + vec2(b, a) / 2000;
        // i: the ray direction, looking along +x with the screen's x and y
        // as world y and z; the forward part (.5, less .6 per squared unit)
        // shrinks away from the centre for a wide lens that looks past its
        // own sides at the frame's edges. The jitter blurs the focus
        // slightly; the sum is left unnormalised on purpose.
        vec3 i = normalize(vec3(.5 - .6 * dot(z, z), z)) + vec3(0, a, b) * .01,
        // c: the ray origin, in one corner of the room, jittered for depth of
        // field.
             c = vec3(-6.5, 2, -5.2) - vec3(0, a, b) * .03;
        // Sphere tracing: 150 steps, enough to cross the room after a few
        // bounces, with no early exit. The step's index is m again: the
        // sample's is not needed in here.
        for (int m = 0; m < 150; m++) {
            e = s(c);
            // On a mirror (anything but a glowing band, f > -.5), within .001
            // of the surface: bounce.
            if (e * e < 1e-6 && f > -.5) {
                // z: the normal, from one-sided differences of step .01.
                vec3 z = normalize(s(c) - vec3(s(c - vec3(.01, 0, 0)),
                                               s(c - vec3(0, .01, 0)),
                                               s(c - vec3(0, 0, .01))));
                // A head-on bounce keeps 2 per cent, a grazing one nearly all.
                r *= 1 - .98 * abs(dot(i, z));
                i = reflect(i, z);
                // Lift the path off the surface along its new direction.
                e = .1;
            }
            c += i * e;
        }
        // A path resting on a glowing band takes its light, 1 to 1.4 times
        // what it carries, each channel swinging with the end point's x, y
        // and z at its own phase (0, 5, 4); a path still in flight (or just
        // reflected) sees a faint grey.
        v += vec4(e * e < 1e-6 ? (sin(vec3(0, 5, 4) - c * .2) * .2 + 1.2) * r : vec3(.01), 1);
    }
    // The mean under a square-root tone curve; w becomes 1.
    v = sqrt(v / v.w);
}
