// The vertex stage: a quad over the whole viewport, made from the vertex
// index alone, so the host needs no vertex buffer and no attribute.
#version 430

void main()
{
    // Indices 0..3 give the corners (-1,-1), (1,-1), (-1,1), (1,1): drawn as
    // a triangle strip of four vertices they cover the viewport.
    gl_Position = vec4(gl_VertexID % 2 == 0 ? -1 : 1,
                       gl_VertexID % 4 / 2 == 0 ? -1 : 1,
                       1, 1);
}
