// What the shaders of the fast path share: the draw's push constants, the view in single precision
// and the depth of a point.

#include "single.glsl"

layout(buffer_reference, std430, buffer_reference_align = 4) readonly buffer Words { uint v[]; };
layout(buffer_reference, std430, buffer_reference_align = 4) readonly buffer Floats { float v[]; };

// The view in single precision, written by the device for each draw (struct FastView of
// src/vulkan/pipelines.hpp): the side planes l, r, t, b scaled alike, the observer of unit length,
// the depth limits, the image size, the guard band's shares, the pipeline's sizes and how the
// planes t + b and l + r compare. A uniform buffer, which every invocation reads alike.
layout(set = 0, binding = 0, std140) uniform FastView {
  vec4 planes[4];
  vec4 observer;
  float near_fs;
  float far_fs;
  float width;
  float height;
  float guard_x;
  float guard_y;
  float point_size;
  float line_width;
  float y_scale;  // (t + b) = (l + r) / y_scale as functions of the point, for the views orv makes
} view;

// The bits of `flags`.
const uint kStrip = 4u;        // consecutive primitives share vertices
const uint kIndexed = 8u;      // vertex k is position indices[k], else position k
const uint kTransformed = 16u; // instance j moves its positions by transforms[j]
const uint kColored = 32u;     // position i has colour colors[i], else `color`

layout(push_constant, std430) uniform Draw {
  DoubleWords positions;   // HomVec4s
  Words indices;
  DoubleWords transforms;  // PGL4s, column-major
  Floats colors;           // rgba32_float, one per position
  uint position_count;
  uint flags;
  uint first_primitive;
  uint padding;
  vec4 color;
} draw;

// The plane values l, r, t, b of q.
vec4 planesOf(vec4 q) {
  return vec4(dot(view.planes[0], q), dot(view.planes[1], q), dot(view.planes[2], q),
              dot(view.planes[3], q));
}

// The depth of q, a vector facing the observer (or the zero vector, at depth 0 as on the CPU
// device): its Fubini-Study distance from the observer between the view's limits, from 0 to 1.
float depthOf(vec4 q) {
  const float n = length(q);
  const float d = n > 0.0 ? angleBetween(q / n, view.observer) : 0.0;
  if (view.near_fs >= d) return 0.0;
  if (d >= view.far_fs) return 1.0;
  return (d - view.near_fs) / (view.far_fs - view.near_fs);
}

// The pipeline's depth cue (see orv/device.hpp), fixed when the pipeline is made, in single
// precision: red, green and blue times a polynomial of nearness 1 - depth.
layout(constant_id = 1) const bool kDepthCue = false;
layout(constant_id = 2) const float kCue0 = 1.0;
layout(constant_id = 3) const float kCue1 = 0.0;
layout(constant_id = 4) const float kCue2 = 0.0;
layout(constant_id = 5) const float kCue3 = 0.0;
layout(constant_id = 6) const float kCue4 = 0.0;

vec4 depthCued(float depth, vec4 color) {
  if (!kDepthCue) return color;
  const float n = 1.0 - depth;
  const float k = (((kCue4 * n + kCue3) * n + kCue2) * n + kCue1) * n + kCue0;
  return vec4(color.rgb * k, color.a);
}
