// The head of the fragment stage for a render in sample passes (the
// renderer's; the program never uses it). The body that follows is the
// program's own, unchanged, so every sample is computed exactly as there.
// Two macros bend it to one pass:
//
// - SAMPLES, the bound of the body's sample loop "for(int m=0;m<SAMPLES;m++)",
//   becomes a condition that, the first time it is tested, loads the pixel's
//   running sums into the accumulator v and moves m on to this pass's first
//   sample F; the loop then runs to L, as if it had never stopped. The sums
//   come from a float texture, which holds them exactly, so each sum grows
//   by the very additions, in the very order, of a render in one go.
// - sqrt(x), the body's last step "v=sqrt(v/v.w)", becomes "v=v": the pass
//   writes the sums, and the mean and the tone curve are left to the
//   finishing stage, once.
//
// Both rest on the body's names, v for the accumulator and m for the sample
// index; should they change, this stops compiling, and the tests say so.
#version 420
// S: the running sums of samples 0 to F-1; F, L: this pass's samples.
uniform sampler2D S;
uniform int F, L;
#define sqrt(x) v
#define SAMPLES L&&(m<=F?(v=texelFetch(S,ivec2(gl_FragCoord.xy),0),m=F):m)<L
