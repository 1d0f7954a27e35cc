#version 460
// orv_compute_fs_distance on the fast path, in single precision: results[i] = the Fubini-Study
// distance of a[i] and b[i], for the elements first + global invocation index below count. Each
// vector is scaled and rounded to floats (single.glsl's loadPoint), normalised, and the distance
// taken as 2 asin(|a - b| / 2) with b's sign chosen to face a. As the kernel's: 0 when either
// vector is shorter than 1e-15, or not finite.

#include "single.glsl"

layout(local_size_x = 64) in;

layout(buffer_reference, std430, buffer_reference_align = 8) writeonly buffer Results {
  uvec2 v[];  // doubles, as (low word, high word)
};

layout(push_constant, std430) uniform Dispatch {
  DoubleWords a;
  DoubleWords b;
  Results results;
  uint first;
  uint count;
} pc;

// The unit vector along element i of p; false for a vector that is not finite or shorter than
// 1e-15 (decided on its float norm times the power of two it was scaled by).
bool unitVector(DoubleWords p, uint i, out vec4 u) {
  uint top;
  vec4 v;
  u = vec4(0.0);
  if (!loadPoint(p, i, v, top) || top == 0u) return false;
  const float n = length(v);  // in [1, 2]: the largest coordinate lies in [1, 2)
  // The true norm is n * 2^(top - 1023); 1e-15 lies between 2^-50 and 2^-49.
  const int e = int(top) - 1023;
  if (e < -52) return false;
  if (e < -48 && n < ldexp(1e-15, -e)) return false;
  u = v / n;
  return true;
}

void main() {
  const uint i = pc.first + gl_GlobalInvocationID.x;
  if (i >= pc.count) return;
  vec4 a;
  vec4 b;
  float d = 0.0;
  if (unitVector(pc.a, i, a) && unitVector(pc.b, i, b)) {
    d = min(angleBetween(a, dot(a, b) < 0.0 ? -b : b), 1.5707963);
  }
  pc.results.v[i] = doubleWords(d);
}
