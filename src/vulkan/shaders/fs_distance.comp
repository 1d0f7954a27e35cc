#version 460
// orv_compute_fs_distance: results[i] = the Fubini-Study distance of a[i] and b[i], for the
// elements first + global invocation index below count.

#extension GL_EXT_buffer_reference : require

#include "geometry.glsl"

layout(local_size_x = 64) in;

layout(buffer_reference, std430, buffer_reference_align = 8) readonly buffer Positions {
  double v[];  // HomVec4s: x, y, z, w
};
layout(buffer_reference, std430, buffer_reference_align = 8) writeonly buffer Distances {
  double v[];
};

layout(push_constant, std430) uniform Dispatch {
  Positions a;
  Positions b;
  Distances results;
  uint first;
  uint count;
} pc;

dvec4 position(Positions p, uint i) {
  return dvec4(p.v[4u * i], p.v[4u * i + 1u], p.v[4u * i + 2u], p.v[4u * i + 3u]);
}

void main() {
  const uint i = pc.first + gl_GlobalInvocationID.x;
  if (i >= pc.count) return;
  pc.results.v[i] = fsDistance(position(pc.a, i), position(pc.b, i));
}
