#version 460
// Keeps exactly the pixels whose centres the CPU device's primitive covers, and gives each the
// CPU device's colour and depth: the coverage test, perspective-correct interpolation and
// Fubini-Study depth are repeated here in double precision, step by step. COLOR_OUTPUTS, set
// when the shader is compiled, is the number of colour attachments written, all with one colour.

#include "raster.glsl"
#include "store.glsl"

layout(location = 0) flat in dvec4 in_point[3];
layout(location = 6) flat in dvec3 in_screen[3];
layout(location = 12) flat in vec4 in_color[3];

#include "outputs.glsl"

// A pixel of the band of a segment: covered by one of its two triangles, then the point along the
// segment nearest the centre, weighted for perspective.
bool shadeSegment(ivec2 pixel, out float depth, out vec4 color) {
  depth = 0.0;
  color = vec4(0.0);
  const dvec3 s0 = in_screen[0];
  const dvec3 s1 = in_screen[1];
  dvec2 corner[4];
  bandCorners(s0.xy, s1.xy, corner);
  dvec3 unused;
  if (!covers(corner[0], corner[1], corner[2], pixel, unused) &&
      !covers(corner[0], corner[2], corner[3], pixel, unused)) {
    return false;
  }
  precise double dx = s1.x - s0.x;
  precise double dy = s1.y - s0.y;
  precise double length_sq = dx * dx + dy * dy;
  precise double px = (double(pixel.x) + 0.5lf) - s0.x;
  precise double py = (double(pixel.y) + 0.5lf) - s0.y;
  precise double along = (px * dx + py * dy) / length_sq;
  const double sigma = along < 0.0lf ? 0.0lf : (1.0lf < along ? 1.0lf : along);
  precise double w0 = (1.0lf - sigma) * s0.z;
  precise double w1 = sigma * s1.z;
  precise double t = w1 / (w0 + w1);
  depth = fsDepth(mixPoint(in_point[0], in_point[1], t));
  color = mixColor(in_color[0], in_color[1], t);
  return true;
}

// A pixel of a triangle of the fan: covered by it, then its point and colour interpolated with
// the weights l + r of its corners.
bool shadeTriangle(ivec2 pixel, out float depth, out vec4 color) {
  depth = 0.0;
  color = vec4(0.0);
  dvec3 lambda;
  if (!covers(in_screen[0].xy, in_screen[1].xy, in_screen[2].xy, pixel, lambda)) return false;
  precise double weight[3];
  precise double total = 0.0lf;
  for (uint j = 0u; j < 3u; ++j) {
    weight[j] = lambda[j] * in_screen[j].z;
    total = total + weight[j];
  }
  precise dvec4 q = dvec4(0.0lf);
  precise dvec4 sum = dvec4(0.0lf);
  for (uint j = 0u; j < 3u; ++j) {
    precise double wj = weight[j] / total;
    const dvec4 v = in_point[j];
    q = dvec4(q.x + wj * v.x, q.y + wj * v.y, q.z + wj * v.z, q.w + wj * v.w);
    const vec4 c = in_color[j];
    sum = dvec4(sum.x + wj * double(c.x), sum.y + wj * double(c.y), sum.z + wj * double(c.z),
                sum.w + wj * double(c.w));
  }
  depth = fsDepth(q);
  color = vec4(sum);
  return true;
}

// The pipeline's depth cue, fixed when the pipeline is made: rgb times a polynomial of nearness
// 1 - depth, evaluated in double precision step by step as the CPU device evaluates it.
layout(constant_id = 1) const bool kDepthCue = false;
layout(constant_id = 2) const double kCue0 = 1.0lf;
layout(constant_id = 3) const double kCue1 = 0.0lf;
layout(constant_id = 4) const double kCue2 = 0.0lf;
layout(constant_id = 5) const double kCue3 = 0.0lf;
layout(constant_id = 6) const double kCue4 = 0.0lf;

vec4 depthCued(float depth, vec4 color) {
  if (!kDepthCue) return color;
  precise double n = 1.0lf - double(depth);
  precise double k = (((kCue4 * n + kCue3) * n + kCue2) * n + kCue1) * n + kCue0;
  precise double r = double(color.r) * k;
  precise double g = double(color.g) * k;
  precise double b = double(color.b) * k;
  return vec4(float(r), float(g), float(b), color.a);
}

void main() {
  const ivec2 pixel = ivec2(gl_FragCoord.xy);
  float depth;
  vec4 color;
  if (kKind == kPoints) {
    const dvec4 square = in_point[0];
    if (!(square.x <= pixel.x && pixel.x < square.z && square.y <= pixel.y && pixel.y < square.w)) {
      discard;
    }
    depth = float(in_screen[0].x);
    color = in_color[0];
  } else if (kKind == kTriangles) {
    loadView();
    if (!shadeTriangle(pixel, depth, color)) discard;
  } else {
    loadView();
    if (!shadeSegment(pixel, depth, color)) discard;
  }
  gl_FragDepth = depth;
  writeColor(stored(depthCued(depth, color), draw.flags));
}
