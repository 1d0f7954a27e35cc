// What the raster shaders share: the draw's push constants, the ViewUniform and the geometry of
// primitives on the image, each step as the CPU device takes it (src/device/cpu_raster.cpp).

#extension GL_EXT_buffer_reference : require

#include "geometry.glsl"

layout(buffer_reference, std430, buffer_reference_align = 8) readonly buffer Doubles { double v[]; };
layout(buffer_reference, std430, buffer_reference_align = 4) readonly buffer Words { uint v[]; };
layout(buffer_reference, std430, buffer_reference_align = 4) readonly buffer Floats { float v[]; };

// What primitives the pipeline makes: fixed when the pipeline is made, so that the driver compiles
// the path of one kind only.
const uint kPoints = 0u;
const uint kLines = 1u;
const uint kGeodesics = 2u;
const uint kTriangles = 3u;
layout(constant_id = 0) const uint kKind = kPoints;

// The bits of `flags`.
const uint kStrip = 4u;        // consecutive primitives share vertices
const uint kIndexed = 8u;      // vertex k is position indices[k], else position k
const uint kTransformed = 16u; // instance j moves its positions by transforms[j]
const uint kColored = 32u;     // position i has colour colors[i], else `color`
const uint kStoreUnorm8 = 64u; // the colour is stored unblended in rgba8_unorm
const uint kStoreHalf = 128u;  // the colour is stored unblended in rgba16_float

layout(push_constant, std430) uniform Draw {
  Doubles view;        // the ViewUniform: planes l, r, t, b (a, b, c, d each), observer, near_fs,
                       // far_fs, width, height
  Doubles positions;   // HomVec4s
  Words indices;
  Doubles transforms;  // PGL4s, column-major
  Floats colors;       // rgba32_float, one per position
  uint position_count;
  uint flags;
  uint first_primitive;
  uint width;          // of the attachments, in pixels
  uint height;
  float point_size;
  float line_width;
  vec4 color;
} draw;

// What the fragment shader learns of its primitive (flat), for its corners: the point in four
// dimensions, the image position and perspective weight (x, y, 1/(l + r)) and the colour. A point
// carries the pixels it covers, [point[0].x, point[0].z) x [point[0].y, point[0].w), and its depth
// in screen[0].x.

// The ViewUniform, read once by `loadView` at the start of each invocation.
struct View {
  dvec4 planes[4];  // l, r, t, b: (a, b, c, d) each
  dvec4 observer;
  double near_fs;
  double far_fs;
  double width;
  double height;
};
View view;

void loadView() {
  for (uint k = 0u; k < 4u; ++k) {
    view.planes[k] = dvec4(draw.view.v[4u * k], draw.view.v[4u * k + 1u], draw.view.v[4u * k + 2u],
                           draw.view.v[4u * k + 3u]);
  }
  view.observer = dvec4(draw.view.v[16], draw.view.v[17], draw.view.v[18], draw.view.v[19]);
  view.near_fs = draw.view.v[20];
  view.far_fs = draw.view.v[21];
  view.width = draw.view.v[22];
  view.height = draw.view.v[23];
}

// renderer::fsDepth of q seen from the view's observer, as a 32-bit float.
float fsDepth(dvec4 q) {
  precise double d = fsDistance(view.observer, q);
  if (view.near_fs >= d) return 0.0;
  if (d >= view.far_fs) return 1.0;
  precise double depth = (d - view.near_fs) / (view.far_fs - view.near_fs);
  return float(depth);
}

// (1 - t) a + t b, component by component.
precise dvec4 mixPoint(dvec4 a, dvec4 b, double t) {
  precise double s = 1.0lf - t;
  precise dvec4 r = dvec4(s * a.x + t * b.x, s * a.y + t * b.y, s * a.z + t * b.z, s * a.w + t * b.w);
  return r;
}

vec4 mixColor(vec4 a, vec4 b, double t) {
  precise double s = 1.0lf - t;
  precise dvec4 r = dvec4(s * double(a.x) + t * double(b.x), s * double(a.y) + t * double(b.y),
                          s * double(a.z) + t * double(b.z), s * double(a.w) + t * double(b.w));
  return vec4(r);
}

// The edge function of a -> b at p: positive on the inside of a triangle of positive area,
// evaluated from the edge's upper end (the smaller y, then the smaller x) whichever way the edge
// runs, so that triangles sharing an edge get exactly opposite values on it, as on the CPU device.
precise double edge(dvec2 a, dvec2 b, dvec2 p) {
  if (b.y < a.y || (b.y == a.y && b.x < a.x)) {
    precise double e = (a.x - b.x) * (p.y - b.y) - (a.y - b.y) * (p.x - b.x);
    return -e;
  }
  precise double e = (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
  return e;
}

// Whether a triangle of positive area owns the centres on its edge a -> b: top and left edges.
bool ownsEdge(dvec2 a, dvec2 b) { return b.y < a.y || (b.y == a.y && b.x > a.x); }

// Whether the triangle v0 v1 v2 covers the centre of `pixel` by the CPU device's rule, and then
// the screen-space barycentric weights of its corners at that centre.
bool covers(dvec2 v0, dvec2 v1, dvec2 v2, ivec2 pixel, out dvec3 lambda) {
  lambda = dvec3(0.0lf);
  precise double area = edge(v0, v1, v2);
  if (!finite(area) || area == 0.0lf) return false;
  // Corners in the order that gives the triangle positive area.
  uvec3 order = uvec3(0u, 1u, 2u);
  dvec2 a = v0;
  dvec2 b = v1;
  dvec2 c = v2;
  if (area < 0.0lf) {
    order = uvec3(0u, 2u, 1u);
    b = v2;
    c = v1;
    area = -area;
  }
  const double min_x = minOf(minOf(a.x, b.x), c.x);
  const double max_x = maxOf(maxOf(a.x, b.x), c.x);
  const double min_y = minOf(minOf(a.y, b.y), c.y);
  const double max_y = maxOf(maxOf(a.y, b.y), c.y);
  const double px = double(pixel.x);
  const double py = double(pixel.y);
  precise double first_x = ceil(min_x - 0.5lf);
  precise double last_x = floor(max_x - 0.5lf);
  precise double first_y = ceil(min_y - 0.5lf);
  precise double last_y = floor(max_y - 0.5lf);
  if (!(first_x <= px && px <= last_x && first_y <= py && py <= last_y)) return false;
  precise dvec2 p = dvec2(px + 0.5lf, py + 0.5lf);
  precise double e_bc = edge(b, c, p);  // weight of a
  precise double e_ca = edge(c, a, p);  // weight of b
  precise double e_ab = edge(a, b, p);  // weight of c
  if (!(e_bc > 0.0lf || (e_bc == 0.0lf && ownsEdge(b, c)))) return false;
  if (!(e_ca > 0.0lf || (e_ca == 0.0lf && ownsEdge(c, a)))) return false;
  if (!(e_ab > 0.0lf || (e_ab == 0.0lf && ownsEdge(a, b)))) return false;
  precise double weights[3];
  weights[order.x] = e_bc / area;
  weights[order.y] = e_ca / area;
  weights[order.z] = e_ab / area;
  lambda = dvec3(weights[0], weights[1], weights[2]);
  return true;
}

// The corners of the band of a line of width `line_width` from s0 to s1, as the CPU device
// builds them: two triangles (0, 1, 2) and (0, 2, 3).
void bandCorners(dvec2 s0, dvec2 s1, out dvec2 corner[4]) {
  precise double dx = s1.x - s0.x;
  precise double dy = s1.y - s0.y;
  precise double length_sq = dx * dx + dy * dy;
  precise double scale = 0.5lf * double(draw.line_width) / sqrt(length_sq);
  precise double nx = -dy * scale;
  precise double ny = dx * scale;
  precise dvec2 c0 = dvec2(s0.x + nx, s0.y + ny);
  precise dvec2 c1 = dvec2(s0.x - nx, s0.y - ny);
  precise dvec2 c2 = dvec2(s1.x - nx, s1.y - ny);
  precise dvec2 c3 = dvec2(s1.x + nx, s1.y + ny);
  corner = dvec2[](c0, c1, c2, c3);
}
