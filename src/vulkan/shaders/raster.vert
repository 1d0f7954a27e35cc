#version 460
// Builds, for each primitive of a draw, the triangles the GPU rasterises, and hands the fragment
// shader the primitive's exact description. No vertex input: the shader reads positions, indices,
// transforms and colours from the draw's buffers.
//
// Each primitive owns a fixed run of vertices, so primitives keep their order: a point 3 (one
// triangle holding its square), a line 3 (one triangle holding its band), a geodesic arc 6 (such a
// triangle for each of its two pieces), a triangle 15 (up to five triangles of the fan of its
// clipped polygon). Vertices of pieces that do not exist all land on one spot and cover nothing.
// What the GPU rasterises is larger than what is drawn; the fragment shader keeps exactly the
// pixels the CPU device covers.

#include "raster.glsl"

layout(location = 0) flat out dvec4 out_point[3];
layout(location = 6) flat out dvec3 out_screen[3];
layout(location = 12) flat out vec4 out_color[3];

// Slack, in pixels, between what the GPU rasterises and the primitive, against the snapping of
// vertex positions; and the most a thin triangle is enlarged for it.
const double kMargin = 0.25lf;
const double kMostEnlarged = 4.0lf;

struct Vertex {
  dvec4 q;       // the point in four dimensions
  dvec4 planes;  // its values of the planes l, r, t, b
  vec4 color;
};

Vertex vertexOf(dvec4 q, vec4 color) {
  return Vertex(q, dvec4(dot4(view.planes[0], q), dot4(view.planes[1], q), dot4(view.planes[2], q),
                         dot4(view.planes[3], q)),
                color);
}

Vertex mixVertex(Vertex a, Vertex b, double t) {
  precise double s = 1.0lf - t;
  precise dvec4 planes = dvec4(s * a.planes.x + t * b.planes.x, s * a.planes.y + t * b.planes.y,
                               s * a.planes.z + t * b.planes.z, s * a.planes.w + t * b.planes.w);
  return Vertex(mixPoint(a.q, b.q, t), planes, mixColor(a.color, b.color, t));
}

// The representative of p facing the view, as renderer::facing chooses it: by the sign of its
// product with the observer, and where that is zero by the first of l + r, t + b, l, t and its
// coordinates that is not.
dvec4 facing(dvec4 p) {
  const double toward = dot4(p, view.observer);
  if (toward < 0.0lf) return -p;
  if (!(toward == 0.0lf)) return p;
  const double l = dot4(view.planes[0], p);
  const double r = dot4(view.planes[1], p);
  const double t = dot4(view.planes[2], p);
  const double b = dot4(view.planes[3], p);
  precise double lr = l + r;
  precise double tb = t + b;
  const double ahead[8] = double[](lr, tb, l, t, p.x, p.y, p.z, p.w);
  for (uint i = 0u; i < 8u; ++i) {
    if (ahead[i] < 0.0lf) return -p;
    if (ahead[i] > 0.0lf) return p;
  }
  return p;
}

// The values at the ends a and b of an arc of the linear function whose sign picks the
// representative facing the view: the product with the observer, or for an arc lying in the
// hyperplane orthogonal to the observer the first of l + r, t + b, l, t not zero at both ends.
dvec2 sides(dvec4 a, dvec4 b) {
  const dvec2 toward = dvec2(dot4(a, view.observer), dot4(b, view.observer));
  if (!(toward.x == 0.0lf && toward.y == 0.0lf)) return toward;
  const dvec4 at_a = dvec4(dot4(view.planes[0], a), dot4(view.planes[1], a),
                           dot4(view.planes[2], a), dot4(view.planes[3], a));
  const dvec4 at_b = dvec4(dot4(view.planes[0], b), dot4(view.planes[1], b),
                           dot4(view.planes[2], b), dot4(view.planes[3], b));
  precise dvec2 lr = dvec2(at_a.x + at_a.y, at_b.x + at_b.y);
  precise dvec2 tb = dvec2(at_a.z + at_a.w, at_b.z + at_b.w);
  const dvec2 ahead[4] = dvec2[](lr, tb, dvec2(at_a.x, at_b.x), dvec2(at_a.z, at_b.z));
  for (uint i = 0u; i < 4u; ++i) {
    if (!(ahead[i].x == 0.0lf && ahead[i].y == 0.0lf)) return ahead[i];
  }
  return toward;
}

// Where a vertex inside the view lands: (x, y) in pixels and 1/(l + r); false at the apex of the
// view, where l + r = 0.
bool project(dvec4 p, out dvec3 s) {
  s = dvec3(0.0lf);
  precise double lr = p.x + p.y;
  precise double tb = p.z + p.w;
  if (!(lr > 0.0lf && tb > 0.0lf)) return false;
  precise double ndc_x = (p.x - p.y) / lr;
  precise double ndc_y = (p.z - p.w) / tb;
  precise dvec3 r = dvec3((ndc_x + 1.0lf) * 0.5lf * view.width,
                          (ndc_y + 1.0lf) * 0.5lf * view.height, 1.0lf / lr);
  s = r;
  return true;
}

// Clip-space position of a pixel position in the attachments.
vec4 clipPosition(dvec2 pixel) {
  return vec4(vec2(2.0lf * pixel.x / double(draw.width) - 1.0lf,
                   2.0lf * pixel.y / double(draw.height) - 1.0lf),
              0.0, 1.0);
}

// Vertex k (0 to 2) of a triangle holding the parallelogram with corner o and sides u and v:
// o, o + 2u and o + 2v, whose long side passes through the far corner o + u + v.
dvec2 holding(dvec2 o, dvec2 u, dvec2 v, uint k) {
  return k == 1u ? o + 2.0lf * u : k == 2u ? o + 2.0lf * v : o;
}

// Vertex k of the point at `position`: the square of pixels whose centres it covers.
void point(dvec4 position, vec4 color, uint k) {
  const dvec4 q = facing(position);
  const Vertex v = vertexOf(q, color);
  const dvec4 p = v.planes;
  if (!(p.x >= 0.0lf && p.y >= 0.0lf && p.z >= 0.0lf && p.w >= 0.0lf)) return;
  precise double lr = p.x + p.y;
  precise double tb = p.z + p.w;
  precise double ndc_x = lr > 0.0lf ? (p.x - p.y) / lr : 0.0lf;
  precise double ndc_y = tb > 0.0lf ? (p.z - p.w) / tb : 0.0lf;
  precise double x = (ndc_x + 1.0lf) * 0.5lf * view.width;
  precise double y = (ndc_y + 1.0lf) * 0.5lf * view.height;
  if (!(finite(x) && finite(y))) return;
  precise double half_size = 0.5lf * double(draw.point_size);
  // Centres i + 0.5 in [x - half, x + half): pixels first .. end - 1, the rectangle from
  // (first_x, first_y) to (end_x, end_y).
  precise double first_x = maxOf(0.0lf, ceil(x - half_size - 0.5lf));
  precise double end_x = minOf(double(draw.width), ceil(x + half_size - 0.5lf));
  precise double first_y = maxOf(0.0lf, ceil(y - half_size - 0.5lf));
  precise double end_y = minOf(double(draw.height), ceil(y + half_size - 0.5lf));
  if (!(first_x < end_x && first_y < end_y)) return;
  gl_Position = clipPosition(holding(dvec2(first_x, first_y), dvec2(end_x - first_x, 0.0lf),
                                     dvec2(0.0lf, end_y - first_y), k));
  out_point[0] = dvec4(first_x, first_y, end_x, end_y);
  out_screen[0] = dvec3(double(fsDepth(q)), 0.0lf, 0.0lf);
  out_color[0] = color;
}

// The share of the opposite plane's value that moves a side plane of the view half a line's width
// beyond its edge of the image, `extent` pixels across: g / (2 + g) for g = line_width / extent.
double guardShare(double extent) {
  precise double g = double(draw.line_width) / extent;
  precise double share = g / (2.0lf + g);
  return share;
}

// The plane values l, r, t, b widened by that guard band: l + k r, r + k l, t + k' b, b + k' t.
dvec4 guarded(dvec4 p) {
  const double k = guardShare(view.width);
  const double k_down = guardShare(view.height);
  precise dvec4 r = dvec4(p.x + k * p.y, p.y + k * p.x, p.z + k_down * p.w, p.w + k_down * p.z);
  return r;
}

// Vertex k of the band drawn for the segment from a to b, clipped to the view widened by the guard
// band, so that a band leaving the image is cut beyond its edge.
void segment(Vertex a, Vertex b, uint k) {
  const dvec4 guarded_a = guarded(a.planes);
  const dvec4 guarded_b = guarded(b.planes);
  precise double t0 = 0.0lf;
  precise double t1 = 1.0lf;
  for (uint i = 0u; i < 4u; ++i) {
    const double va = guarded_a[i];  // not finite where a plane value is not
    const double vb = guarded_b[i];
    if (!(finite(va) && finite(vb))) return;
    if (va < 0.0lf && vb < 0.0lf) return;
    if (va < 0.0lf) t0 = maxOf(t0, va / (va - vb));
    if (vb < 0.0lf) t1 = minOf(t1, va / (va - vb));
  }
  if (!(t0 <= t1)) return;
  const Vertex p0 = t0 > 0.0lf ? mixVertex(a, b, t0) : a;
  const Vertex p1 = t1 < 1.0lf ? mixVertex(a, b, t1) : b;
  dvec3 s0;
  dvec3 s1;
  if (!project(p0.planes, s0) || !project(p1.planes, s1)) return;
  precise double dx = s1.x - s0.x;
  precise double dy = s1.y - s0.y;
  precise double length_sq = dx * dx + dy * dy;
  if (!(length_sq > 0.0lf) || !finite(length_sq)) return;
  // The band's rectangle grown by the margin on every side.
  const double length = sqrt(length_sq);
  const dvec2 along = dvec2(dx, dy) / length * kMargin;
  const dvec2 across = dvec2(-dy, dx) / length * (0.5lf * double(draw.line_width) + kMargin);
  gl_Position = clipPosition(holding(s0.xy - along - across, s1.xy - s0.xy + 2.0lf * along,
                                     2.0lf * across, k));
  out_point[0] = p0.q;
  out_point[1] = p1.q;
  out_screen[0] = s0;
  out_screen[1] = s1;
  out_color[0] = p0.color;
  out_color[1] = p1.color;
}

// Vertex k of piece `piece` (0 or 1) of the shortest arc from a to b (for ends pi/2 apart, the one
// between their representatives facing the view): where the arc crosses the hyperplane orthogonal
// to the observer it continues through the other representative.
void geodesic(dvec4 a, vec4 color_a, dvec4 b, vec4 color_b, uint piece, uint k) {
  dvec4 first = a;
  dvec4 end = b;
  const double along = dot4(a, b);
  if (along < 0.0lf) {
    end = -b;
  } else if (along == 0.0lf) {
    first = facing(a);
    end = facing(b);
  }
  const dvec2 side = sides(first, end);
  const double from = side.x;
  const double to = side.y;
  if (!(from < 0.0lf) && !(to < 0.0lf)) {
    if (piece == 0u) segment(vertexOf(first, color_a), vertexOf(end, color_b), k);
    return;
  }
  if (from < 0.0lf && to < 0.0lf) {
    if (piece == 0u) segment(vertexOf(-first, color_a), vertexOf(-end, color_b), k);
    return;
  }
  precise double t = from / (from - to);
  const dvec4 middle = mixPoint(first, end, t);
  const vec4 middle_color = mixColor(color_a, color_b, t);
  if (piece == 0u) {
    segment(vertexOf(from < 0.0lf ? -first : first, color_a),
            vertexOf(from < 0.0lf ? -middle : middle, middle_color), k);
  } else {
    segment(vertexOf(to < 0.0lf ? -middle : middle, middle_color),
            vertexOf(to < 0.0lf ? -end : end, color_b), k);
  }
}

// Vertex k of fan triangle `fan` (0 to 4) of the triangle a b c clipped to the view.
void triangle(Vertex a, Vertex b, Vertex c, uint fan, uint k) {
  Vertex polygon[8];
  polygon[0] = vertexOf(facing(a.q), a.color);
  polygon[1] = vertexOf(facing(b.q), b.color);
  polygon[2] = vertexOf(facing(c.q), c.color);
  for (uint i = 0u; i < 3u; ++i) {
    if (!finite(polygon[i].planes)) return;
  }
  uint count = 3u;
  for (uint p = 0u; p < 4u && count > 0u; ++p) {
    Vertex clipped[8];
    uint kept = 0u;
    for (uint i = 0u; i < count; ++i) {
      const Vertex u = polygon[i];
      const Vertex v = polygon[(i + 1u) % count];
      const double vu = u.planes[p];
      const double vv = v.planes[p];
      if (vu >= 0.0lf) clipped[kept++] = u;
      if ((vu >= 0.0lf) != (vv >= 0.0lf)) {
        // From the end inside the plane toward the one outside, as on the CPU device.
        Vertex crossing;
        if (vu >= 0.0lf) {
          precise double t = vu / (vu - vv);
          crossing = mixVertex(u, v, t);
        } else {
          precise double t = vv / (vv - vu);
          crossing = mixVertex(v, u, t);
        }
        crossing.planes[p] = 0.0lf;
        clipped[kept++] = crossing;
      }
    }
    polygon = clipped;
    count = kept;
  }
  if (count < 3u) return;
  dvec3 screen[8];
  for (uint i = 0u; i < count; ++i) {
    if (!project(polygon[i].planes, screen[i])) return;
  }
  if (fan + 2u >= count) return;
  const uint corner[3] = uint[](0u, fan + 1u, fan + 2u);
  // The fan triangle grown about its incentre by the margin (less for a thin one).
  const dvec2 v0 = screen[corner[0]].xy;
  const dvec2 v1 = screen[corner[1]].xy;
  const dvec2 v2 = screen[corner[2]].xy;
  const double side0 = distance(v1, v2);
  const double side1 = distance(v2, v0);
  const double side2 = distance(v0, v1);
  const double perimeter = side0 + side1 + side2;
  const dvec2 d1 = v1 - v0;
  const dvec2 d2 = v2 - v0;
  const double inradius = abs(d1.x * d2.y - d1.y * d2.x) / perimeter;
  dvec2 at = screen[corner[k]].xy;
  if (inradius > 0.0lf && finite(inradius)) {
    const dvec2 incentre = (side0 * v0 + side1 * v1 + side2 * v2) / perimeter;
    const double scale = min(1.0lf + kMargin / inradius, kMostEnlarged);
    at = incentre + (at - incentre) * scale;
  }
  gl_Position = clipPosition(at);
  for (uint j = 0u; j < 3u; ++j) {
    out_point[j] = polygon[corner[j]].q;
    out_screen[j] = screen[corner[j]];
    out_color[j] = polygon[corner[j]].color;
  }
}

// Position k of the draw: its point moved by the instance's transform, and its colour; false when
// its index is beyond the positions.
bool fetch(uint k, out dvec4 point, out vec4 color) {
  point = dvec4(0.0lf);
  color = draw.color;
  const uint i = (draw.flags & kIndexed) != 0u ? draw.indices.v[k] : k;
  if (i >= draw.position_count) return false;
  point = dvec4(draw.positions.v[4u * i], draw.positions.v[4u * i + 1u],
                draw.positions.v[4u * i + 2u], draw.positions.v[4u * i + 3u]);
  if ((draw.flags & kTransformed) != 0u) {
    // M * point summed from 0 over the columns in order, as PGL4::apply.
    const uint m = 16u * uint(gl_InstanceIndex);
    precise dvec4 moved = dvec4(0.0lf);
    for (uint column = 0u; column < 4u; ++column) {
      for (uint row = 0u; row < 4u; ++row) {
        moved[row] = moved[row] + draw.transforms.v[m + 4u * column + row] * point[column];
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

void main() {
  gl_Position = vec4(0.0, 0.0, 0.0, 1.0);  // nothing drawn: every vertex of the piece lands here
  for (uint j = 0u; j < 3u; ++j) {
    out_point[j] = dvec4(0.0lf);
    out_screen[j] = dvec3(0.0lf);
    out_color[j] = vec4(0.0);
  }
  loadView();
  const bool strip = (draw.flags & kStrip) != 0u;
  const uint per_primitive = kKind == kGeodesics ? 6u : kKind == kTriangles ? 15u : 3u;
  const uint primitive = draw.first_primitive + uint(gl_VertexIndex) / per_primitive;
  const uint local = uint(gl_VertexIndex) % per_primitive;
  dvec4 p[3];
  vec4 c[3];
  if (kKind == kPoints) {
    if (fetch(primitive, p[0], c[0])) point(p[0], c[0], local);
  } else if (kKind == kLines || kKind == kGeodesics) {
    const uint first = strip ? primitive : 2u * primitive;
    if (!fetch(first, p[0], c[0]) || !fetch(first + 1u, p[1], c[1])) return;
    if (kKind == kLines) {
      segment(vertexOf(facing(p[0]), c[0]), vertexOf(facing(p[1]), c[1]), local);
    } else {
      geodesic(p[0], c[0], p[1], c[1], local / 3u, local % 3u);
    }
  } else {
    const uint first = strip ? primitive : 3u * primitive;
    if (!fetch(first, p[0], c[0]) || !fetch(first + 1u, p[1], c[1]) ||
        !fetch(first + 2u, p[2], c[2])) {
      return;
    }
    triangle(Vertex(p[0], dvec4(0.0lf), c[0]), Vertex(p[1], dvec4(0.0lf), c[1]),
             Vertex(p[2], dvec4(0.0lf), c[2]), local / 3u, local % 3u);
  }
}
