#version 460
// The fast path's fragments: the colour interpolated by the GPU, stored by the GPU's own
// conversion to the attachment's format; with FRAGMENT_DEPTH (lines, arcs and triangles) the depth
// of the fragment's own point in four dimensions, found from the pixel's centre as the CPU device
// finds it (in single precision), else (points) the depth of the vertex; the depth cue goes by
// that depth. COLOR_OUTPUTS, set when the shader is compiled, is the number of colour attachments.

#include "fast.glsl"

// What the pipeline draws (kinds of fast.vert).
const uint kLines = 1u;
const uint kGeodesics = 2u;
layout(constant_id = 0) const uint kKind = kLines;

#if FRAGMENT_DEPTH
layout(location = 0) in vec4 in_color;
layout(location = 1) flat in vec4 in_flat[4];  // see fast.vert
#else
layout(location = 0) flat in vec4 in_color;  // a point's
#endif

#if FRAGMENT_DEPTH
// The point in four dimensions behind the centre of this fragment's pixel.
vec4 fragmentPoint() {
  const vec2 centre = gl_FragCoord.xy;
  if (kKind == kLines || kKind == kGeodesics) {
    // The point along the band's segment nearest the centre, weighted for perspective.
    const vec2 s0 = in_flat[0].xy;
    const vec2 along = in_flat[0].zw - s0;
    const float sigma = clamp(dot(centre - s0, along) / dot(along, along), 0.0, 1.0);
    const float w0 = (1.0 - sigma) * in_flat[1].x;
    const float w1 = sigma * in_flat[1].y;
    return mix(in_flat[2], in_flat[3], w1 / (w0 + w1));
  }
  const vec3 ndc = vec3(2.0 * centre.x / view.width - 1.0,
                        2.0 * centre.y / view.height - 1.0, 1.0);
  const vec4 q = in_flat[0] * ndc.x + in_flat[1] * ndc.y + in_flat[2];
  return dot(q, view.observer) < 0.0 ? -q : q;
}
#endif

#include "outputs.glsl"

void main() {
#if FRAGMENT_DEPTH
  const float depth = depthOf(fragmentPoint());
  gl_FragDepth = depth;
  writeColor(depthCued(depth, in_color));
#else
  writeColor(in_color);  // a point's colour, cued by its vertex
#endif
}
