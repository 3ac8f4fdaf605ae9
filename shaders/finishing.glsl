// The last step of the body, taken once the sums are complete: the mean of
// the samples under the square-root tone curve, written as the body writes
// it, so the pixels are those of a render in one go.
#version 420
// The running sums: RGB the colours, w the number of samples.
uniform sampler2D S;
out vec4 v;

void main()
{
    v = texelFetch(S, ivec2(gl_FragCoord.xy), 0);
    v = sqrt(v / v.w);
}
