#version 460
// The fast path's vertices: each primitive's corners put in clip space, in single precision, for
// the GPU's own clipper, rasteriser and depth test. No vertex input: the shader reads positions,
// indices, transforms and colours from the draw's buffers.
//
// Each primitive owns a fixed run of vertices: a point 1 (a point primitive of the pipeline's
// size) or 6 (two triangles making its square, for sizes the GPU's points do not reach), a line 6
// (the two triangles of its band), a geodesic arc 12 (a band for each of its two pieces), a
// triangle 3. Vertices of pieces that do not exist land outside the view and are clipped.

#include "fast.glsl"

// What the pipeline draws (kinds of src/vulkan/pipelines.hpp).
const uint kPointSprites = 0u;
const uint kLines = 1u;
const uint kGeodesics = 2u;
const uint kTriangles = 3u;
const uint kPointQuads = 4u;
layout(constant_id = 0) const uint kKind = kPointSprites;
// Whether the pipeline's draws are moved by transforms: without, the shader leaves out reading
// them (a GPU may run a branch that no lane takes).
layout(constant_id = 7) const bool kMoved = true;

#if POINTS
// Points only (compiled apart, as the GPU's cost of a point grows with what it carries): the
// colour, the same at every fragment.
layout(location = 0) flat out vec4 out_color;
vec4 out_flat[4];
#else
layout(location = 0) out vec4 out_color;
// What the fragment shader needs to find the point in four dimensions behind its pixel, for its
// depth (fast.frag): of a point, the point; of a band, its ends on the image, their weights
// 1 / (l + r) and their points; of a triangle, the matrix taking a position in normalised device
// coordinates to its point.
layout(location = 1) flat out vec4 out_flat[4];
#endif

// Position k of the draw moved by the instance's transform, its colour and the exponent of its
// scale (see loadPoint); false when its index is beyond the positions or it is not finite.
bool fetch(uint k, out vec4 point, out vec4 color, out int scale) {
  point = vec4(0.0);
  color = draw.color;
  scale = 0;
  const uint i = (draw.flags & kIndexed) != 0u ? draw.indices.v[k] : k;
  if (i >= draw.position_count) return false;
  uint top;
  if (!loadPoint(draw.positions, i, point, top)) return false;
  scale = int(top);
  if (kMoved && (draw.flags & kTransformed) != 0u) {
    const uint m = 16u * uint(gl_InstanceIndex);
    uint matrix_top = 0u;
    for (uint e = 0u; e < 16u; ++e) matrix_top = max(matrix_top, exponentOf(draw.transforms.v[m + e]));
    if (matrix_top == 0x7ffu) return false;
    vec4 moved = vec4(0.0);
    for (uint column = 0u; column < 4u; ++column) {
      for (uint row = 0u; row < 4u; ++row) {
        moved[row] += scaledFloat(draw.transforms.v[m + 4u * column + row], matrix_top) * point[column];
      }
    }
    point = moved;
  }
  if ((draw.flags & kColored) != 0u) {
    color = vec4(draw.colors.v[4u * i], draw.colors.v[4u * i + 1u], draw.colors.v[4u * i + 2u],
                 draw.colors.v[4u * i + 3u]);
  }
  return true;
}

// p brought from the scale 2^-scale to 2^-common, so that the corners of a primitive keep the
// proportions of their doubles (which decide how colours and depths are interpolated).
vec4 rescaled(vec4 p, int scale, int common_scale) { return ldexp(p, ivec4(scale - common_scale)); }

// The representative of p facing the view: by the sign of its product with the observer, and
// where that is zero by the first of l + r, t + b, l, t and its coordinates that is not.
vec4 facing(vec4 p) {
  const float toward = dot(p, view.observer);
  if (toward < 0.0) return -p;
  if (toward > 0.0) return p;
  const vec4 v = planesOf(p);
  const float ahead[8] = float[](v.x + v.y, v.z + v.w, v.x, v.z, p.x, p.y, p.z, p.w);
  for (uint i = 0u; i < 8u; ++i) {
    if (ahead[i] < 0.0) return -p;
    if (ahead[i] > 0.0) return p;
  }
  return p;
}

// The values at the ends of an arc of the function whose sign picks the representative facing
// the view (see raster.vert).
vec2 sides(vec4 a, vec4 b) {
  const vec2 toward = vec2(dot(a, view.observer), dot(b, view.observer));
  if (!(toward.x == 0.0 && toward.y == 0.0)) return toward;
  const vec4 at_a = planesOf(a);
  const vec4 at_b = planesOf(b);
  const vec2 ahead[4] = vec2[](vec2(at_a.x + at_a.y, at_b.x + at_b.y),
                               vec2(at_a.z + at_a.w, at_b.z + at_b.w), vec2(at_a.x, at_b.x),
                               vec2(at_a.z, at_b.z));
  for (uint i = 0u; i < 4u; ++i) {
    if (!(ahead[i].x == 0.0 && ahead[i].y == 0.0)) return ahead[i];
  }
  return toward;
}

// Clip-space position of the image position `pixel` for a vertex of weight w = l + r.
vec4 clipAt(vec2 pixel, float w) {
  const vec2 ndc = vec2(2.0 * pixel.x / view.width - 1.0, 2.0 * pixel.y / view.height - 1.0);
  return vec4(ndc * w, 0.0, w);
}

// Vertex k of the point at `position`: a point primitive at its image position, or corner k of
// its square.
void point(vec4 position, vec4 color, uint k) {
  const vec4 q = facing(position);
  const vec4 p = planesOf(q);
  if (!(p.x >= 0.0 && p.y >= 0.0 && p.z >= 0.0 && p.w >= 0.0)) return;
  const float lr = p.x + p.y;
  const float tb = p.z + p.w;
  const float ndc_x = lr > 0.0 ? (p.x - p.y) / lr : 0.0;
  const float ndc_y = tb > 0.0 ? (p.z - p.w) / tb : 0.0;
  const float depth = depthOf(q);
  out_color = depthCued(depth, color);
  out_flat[0] = q;
  if (kKind == kPointSprites) {
    gl_Position = vec4(ndc_x, ndc_y, depth, 1.0);
    gl_PointSize = view.point_size;
    return;
  }
  // Corners (0,0) (1,0) (0,1), (0,1) (1,0) (1,1) of the square of side point_size.
  const vec2 corner = vec2(k == 1u || k == 4u || k == 5u ? 0.5 : -0.5, k == 2u || k == 3u || k == 5u ? 0.5 : -0.5);
  const vec2 extent = 2.0 * view.point_size / vec2(view.width, view.height);
  gl_Position = vec4(vec2(ndc_x, ndc_y) + corner * extent, depth, 1.0);
}

// The plane values widened by the guard band: l + k r, r + k l, t + k' b, b + k' t.
vec4 guarded(vec4 p) {
  return vec4(p.x + view.guard_x * p.y, p.y + view.guard_x * p.x,
              p.z + view.guard_y * p.w, p.w + view.guard_y * p.z);
}

// Where a point of plane values p lands, in pixels; false at the apex of the view.
bool project(vec4 p, out vec2 s) {
  s = vec2(0.0);
  const float lr = p.x + p.y;
  const float tb = p.z + p.w;
  if (!(lr > 0.0 && tb > 0.0)) return false;
  s = vec2(((p.x - p.y) / lr + 1.0) * 0.5 * view.width,
           ((p.z - p.w) / tb + 1.0) * 0.5 * view.height);
  return true;
}

// Vertex k (0 to 5) of the band of the segment from a to b, clipped to the view widened by the
// guard band.
void segment(vec4 a, vec4 color_a, vec4 b, vec4 color_b, uint k) {
  const vec4 pa = planesOf(a);
  const vec4 pb = planesOf(b);
  const vec4 ga = guarded(pa);
  const vec4 gb = guarded(pb);
  float t0 = 0.0;
  float t1 = 1.0;
  for (uint i = 0u; i < 4u; ++i) {
    const float va = ga[i];
    const float vb = gb[i];
    if (isnan(va) || isnan(vb) || isinf(va) || isinf(vb)) return;
    if (va < 0.0 && vb < 0.0) return;
    if (va < 0.0) t0 = max(t0, va / (va - vb));
    if (vb < 0.0) t1 = min(t1, va / (va - vb));
  }
  if (!(t0 <= t1)) return;
  const vec4 p0 = mix(pa, pb, t0);
  const vec4 p1 = mix(pa, pb, t1);
  vec2 s0;
  vec2 s1;
  if (!project(p0, s0) || !project(p1, s1)) return;
  const vec2 along = s1 - s0;
  const float length_sq = dot(along, along);
  if (!(length_sq > 0.0) || isinf(length_sq)) return;
  const vec2 across = vec2(-along.y, along.x) * (0.5 * view.line_width / sqrt(length_sq));
  // Corners s0 + n, s0 - n, s1 - n, s1 + n; triangles (0, 1, 2) and (0, 2, 3).
  const uint corner = k < 3u ? k : (k == 3u ? 0u : k - 2u);
  const bool first = corner < 2u;
  const vec2 at = (first ? s0 : s1) + (corner == 0u || corner == 3u ? across : -across);
  const float t = first ? t0 : t1;
  const vec4 p = first ? p0 : p1;
  gl_Position = clipAt(at, p.x + p.y);
  out_flat = vec4[](vec4(s0, s1), vec4(1.0 / (p0.x + p0.y), 1.0 / (p1.x + p1.y), 0.0, 0.0),
                    mix(a, b, t0), mix(a, b, t1));
  out_color = mix(color_a, color_b, t);
}

// Vertex k of piece `piece` (0 or 1) of the shortest arc from a to b, as raster.vert draws it:
// where the arc crosses the hyperplane orthogonal to the observer it continues through the other
// representative.
void geodesic(vec4 a, vec4 color_a, vec4 b, vec4 color_b, uint piece, uint k) {
  vec4 first = a;
  vec4 end = b;
  const float along = dot(a, b);
  if (along < 0.0) {
    end = -b;
  } else if (along == 0.0) {
    first = facing(a);
    end = facing(b);
  }
  const vec2 side = sides(first, end);
  if (!(side.x < 0.0) && !(side.y < 0.0)) {
    if (piece == 0u) segment(first, color_a, end, color_b, k);
    return;
  }
  if (side.x < 0.0 && side.y < 0.0) {
    if (piece == 0u) segment(-first, color_a, -end, color_b, k);
    return;
  }
  const float t = side.x / (side.x - side.y);
  const vec4 middle = mix(first, end, t);
  const vec4 middle_color = mix(color_a, color_b, t);
  if (piece == 0u) {
    segment(side.x < 0.0 ? -first : first, color_a, side.x < 0.0 ? -middle : middle, middle_color, k);
  } else {
    segment(side.y < 0.0 ? -middle : middle, middle_color, side.y < 0.0 ? -end : end, color_b, k);
  }
}

void main() {
  gl_Position = vec4(0.0, 0.0, 0.0, -1.0);  // outside every clip plane: nothing drawn
  gl_PointSize = 1.0;
  out_color = vec4(0.0);
  out_flat = vec4[](vec4(0.0), vec4(0.0), vec4(0.0), vec4(0.0));
  const bool strip = (draw.flags & kStrip) != 0u;
  const uint per_primitive = kKind == kPointSprites ? 1u
                             : kKind == kGeodesics  ? 12u
                             : kKind == kTriangles  ? 3u
                                                    : 6u;
  const uint primitive = draw.first_primitive + uint(gl_VertexIndex) / per_primitive;
  const uint local = uint(gl_VertexIndex) % per_primitive;
  vec4 p[3];
  vec4 c[3];
  int scale[3];
  if (kKind == kPointSprites || kKind == kPointQuads) {
    if (fetch(primitive, p[0], c[0], scale[0])) point(p[0], c[0], local);
  } else if (kKind == kLines || kKind == kGeodesics) {
    const uint first = strip ? primitive : 2u * primitive;
    if (!fetch(first, p[0], c[0], scale[0]) || !fetch(first + 1u, p[1], c[1], scale[1])) return;
    const int common_scale = max(scale[0], scale[1]);
    const vec4 a = rescaled(p[0], scale[0], common_scale);
    const vec4 b = rescaled(p[1], scale[1], common_scale);
    if (kKind == kLines) {
      segment(facing(a), c[0], facing(b), c[1], local);
    } else {
      geodesic(a, c[0], b, c[1], local / 6u, local % 6u);
    }
  } else {
    const uint first = strip ? primitive : 3u * primitive;
    for (uint j = 0u; j < 3u; ++j) {
      if (!fetch(first + j, p[j], c[j], scale[j])) return;
    }
    const int common_scale = max(max(scale[0], scale[1]), scale[2]);
    vec4 q[3];
    vec3 clip[3];
    for (uint j = 0u; j < 3u; ++j) {
      q[j] = facing(rescaled(p[j], scale[j], common_scale));
      const vec4 v = planesOf(q[j]);
      clip[j] = vec3(v.x - v.y, (v.z - v.w) * view.y_scale, v.x + v.y);
    }
    // The GPU clips the triangle to -w <= x, y <= w, which is l, r, t, b >= 0.
    gl_Position = vec4(clip[local].xy, 0.0, clip[local].z);
    // The point whose clip coordinates are proportional to (X, Y, 1): sum q_j (c_k x c_m).P.
    const vec3 weight[3] = vec3[](cross(clip[1], clip[2]), cross(clip[2], clip[0]),
                                  cross(clip[0], clip[1]));
    for (uint a = 0u; a < 3u; ++a) {
      out_flat[a] = q[0] * weight[0][a] + q[1] * weight[1][a] + q[2] * weight[2][a];
    }
    out_color = c[local];
  }
}
