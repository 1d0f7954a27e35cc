#version 460
// The fast path's fragments: the colour interpolated by the GPU, stored as the CPU device stores
// it; with FRAGMENT_DEPTH (lines, arcs and triangles) the depth of the fragment's own point in four
// dimensions, interpolated perspective-correctly by the GPU, else (points) the depth of the
// vertex. COLOR_OUTPUTS, set when the shader is compiled, is the number of colour attachments.

#include "fast.glsl"
#include "store.glsl"

layout(location = 0) in vec4 in_color;
layout(location = 1) in vec4 in_point;

#include "outputs.glsl"

void main() {
#if FRAGMENT_DEPTH
  gl_FragDepth = depthOf(in_point);
#endif
  writeColor(stored(in_color, draw.flags));
}
