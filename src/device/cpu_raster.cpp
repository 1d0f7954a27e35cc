#include "cpu_raster.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#include "orv/renderer.hpp"

namespace orv::device::detail {

using kernel::HomVec4;
using rhi::BlendFactor;
using rhi::CompareOp;
using rhi::Format;

// --- texel formats ------------------------------------------------------------------------------

std::uint16_t floatToHalf(float value) noexcept {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
  const std::uint32_t magnitude = bits & 0x7fff'ffffu;
  if (magnitude >= 0x7f80'0000u) {  // infinity, or NaN kept quiet with its top payload bits
    const std::uint32_t payload = magnitude > 0x7f80'0000u ? 0x200u | ((magnitude >> 13) & 0x3ffu) : 0;
    return static_cast<std::uint16_t>(sign | 0x7c00u | payload);
  }
  if (magnitude >= 0x4780'0000u) return static_cast<std::uint16_t>(sign | 0x7c00u);  // >= 65536
  if (magnitude < 0x3880'0000u) {
    // Below the smallest normal half (2^-14): a subnormal half, or zero. The value in units of
    // 2^-24 is magnitude's significand shifted; round to nearest, ties to even.
    if (magnitude < 0x3300'0000u) return sign;  // below 2^-25: rounds to zero
    const std::uint32_t exponent = magnitude >> 23;
    const std::uint32_t significand = (magnitude & 0x7f'ffffu) | 0x80'0000u;
    const std::uint32_t shift = 126u - exponent;  // the value is significand * 2^(exponent - 126) units
    const std::uint32_t kept = significand >> shift;
    const std::uint32_t rest = significand & ((1u << shift) - 1u);
    const std::uint32_t half_way = 1u << (shift - 1u);
    const std::uint32_t rounded = kept + ((rest > half_way || (rest == half_way && (kept & 1u))) ? 1u : 0u);
    return static_cast<std::uint16_t>(sign | rounded);
  }
  // Normal: rebias the exponent and round the 23-bit significand to 10 bits; a carry out of the
  // significand correctly bumps the exponent (up to infinity).
  const std::uint32_t rebiased = magnitude - 0x3800'0000u;  // exponent 127 bias -> 15 bias
  const std::uint32_t kept = rebiased >> 13;
  const std::uint32_t rest = rebiased & 0x1fffu;
  const std::uint32_t rounded = kept + ((rest > 0x1000u || (rest == 0x1000u && (kept & 1u))) ? 1u : 0u);
  return static_cast<std::uint16_t>(sign | rounded);
}

namespace {

std::uint8_t toUnorm8(float v) noexcept {
  const float clamped = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;  // NaN gives 0
  return static_cast<std::uint8_t>(std::floor(clamped * 255.0f + 0.5f));
}

}  // namespace

void storeColor(std::byte* texels, Format format, std::size_t index, const Rgba& color) noexcept {
  switch (format) {
    case Format::rgba8_unorm: {
      const std::array<std::uint8_t, 4> out{toUnorm8(color[0]), toUnorm8(color[1]),
                                            toUnorm8(color[2]), toUnorm8(color[3])};
      std::memcpy(texels + index * 4, out.data(), 4);
      return;
    }
    case Format::rgba16_float: {
      const std::array<std::uint16_t, 4> out{floatToHalf(color[0]), floatToHalf(color[1]),
                                             floatToHalf(color[2]), floatToHalf(color[3])};
      std::memcpy(texels + index * 8, out.data(), 8);
      return;
    }
    case Format::rgba32_float: std::memcpy(texels + index * 16, color.data(), 16); return;
    default: return;  // not a colour attachment format; validation keeps it from here
  }
}

Rgba loadColor(const std::byte* texels, Format format, std::size_t index) noexcept {
  switch (format) {
    case Format::rgba8_unorm: {
      std::array<std::uint8_t, 4> in{};
      std::memcpy(in.data(), texels + index * 4, 4);
      return {in[0] / 255.0f, in[1] / 255.0f, in[2] / 255.0f, in[3] / 255.0f};
    }
    case Format::rgba16_float: {
      std::array<std::uint16_t, 4> in{};
      std::memcpy(in.data(), texels + index * 8, 8);
      return {device::halfToFloat(in[0]), device::halfToFloat(in[1]), device::halfToFloat(in[2]),
              device::halfToFloat(in[3])};
    }
    case Format::rgba32_float: {
      Rgba in{};
      std::memcpy(in.data(), texels + index * 16, 16);
      return in;
    }
    default: return {};
  }
}

// --- rasteriser ---------------------------------------------------------------------------------

namespace {

bool compare(CompareOp op, float incoming, float stored) noexcept {
  switch (op) {
    case CompareOp::never: return false;
    case CompareOp::less: return incoming < stored;
    case CompareOp::equal: return incoming == stored;
    case CompareOp::less_equal: return incoming <= stored;
    case CompareOp::greater: return incoming > stored;
    case CompareOp::not_equal: return incoming != stored;
    case CompareOp::greater_equal: return incoming >= stored;
    case CompareOp::always: return true;
  }
  return false;
}

float factor(BlendFactor f, float source_alpha) noexcept {
  switch (f) {
    case BlendFactor::zero: return 0.0f;
    case BlendFactor::one: return 1.0f;
    case BlendFactor::src_alpha: return source_alpha;
    case BlendFactor::one_minus_src_alpha: return 1.0f - source_alpha;
  }
  return 0.0f;
}

HomVec4 negated(const HomVec4& v) noexcept { return HomVec4::init(-v.x, -v.y, -v.z, -v.w); }

// (1 - t) * a + t * b, component by component.
HomVec4 mix(const HomVec4& a, const HomVec4& b, double t) noexcept {
  const double s = 1.0 - t;
  return HomVec4::init(s * a.x + t * b.x, s * a.y + t * b.y, s * a.z + t * b.z, s * a.w + t * b.w);
}

Rgba mix(const Rgba& a, const Rgba& b, double t) noexcept {
  const double s = 1.0 - t;
  Rgba out{};
  for (std::size_t c = 0; c < 4; ++c) out[c] = static_cast<float>(s * a[c] + t * b[c]);
  return out;
}

Rasteriser::Vertex mix(const Rasteriser::Vertex& a, const Rasteriser::Vertex& b, double t) noexcept {
  Rasteriser::Vertex out{mix(a.q, b.q, t), {}, mix(a.color, b.color, t)};
  const double s = 1.0 - t;
  for (std::size_t k = 0; k < 4; ++k) out.planes[k] = s * a.planes[k] + t * b.planes[k];
  return out;
}

// A vertex projected onto the image: pixel position and the weight 1/(l + r) of perspective-correct
// interpolation.
struct Projected {
  double x;
  double y;
  double inv_w;
};

// The edge function of a -> b at p: positive on the inside of a triangle of positive area. It is
// evaluated from the edge's upper end (the smaller y, then the smaller x) whichever way the edge
// runs, so the two triangles that share an edge get exactly opposite values at every centre, and
// the top-left rule gives each centre on it to exactly one of them.
double edge(double ax, double ay, double bx, double by, double px, double py) noexcept {
  if (by < ay || (by == ay && bx < ax)) return -((ax - bx) * (py - by) - (ay - by) * (px - bx));
  return (bx - ax) * (py - ay) - (by - ay) * (px - ax);
}

// Whether a triangle of positive area owns the centres on its edge a -> b: top edges (horizontal,
// running right) and left edges (running up, as y grows downward).
bool ownsEdge(double ax, double ay, double bx, double by) noexcept {
  return by < ay || (by == ay && bx > ax);
}

// Calls `cover(x, y, l0, l1, l2)` for every pixel centre the triangle covers, with the screen-space
// barycentric weights of its vertices, within [0, width) x [0, height).
template <class Cover>
void coverTriangle(const std::array<std::array<double, 2>, 3>& v, std::uint32_t width,
                   std::uint32_t height, Cover&& cover) noexcept {
  double area = edge(v[0][0], v[0][1], v[1][0], v[1][1], v[2][0], v[2][1]);
  if (!(std::isfinite(area)) || area == 0.0) return;
  std::array<std::size_t, 3> order{0, 1, 2};
  if (area < 0.0) {
    std::swap(order[1], order[2]);
    area = -area;
  }
  const auto& a = v[order[0]];
  const auto& b = v[order[1]];
  const auto& c = v[order[2]];
  const double min_x = std::min({a[0], b[0], c[0]});
  const double max_x = std::max({a[0], b[0], c[0]});
  const double min_y = std::min({a[1], b[1], c[1]});
  const double max_y = std::max({a[1], b[1], c[1]});
  // Pixel i has its centre at i + 0.5: the candidates are ceil(min - 0.5) .. floor(max - 0.5).
  const double first_x = std::max(0.0, std::ceil(min_x - 0.5));
  const double last_x = std::min(static_cast<double>(width) - 1.0, std::floor(max_x - 0.5));
  const double first_y = std::max(0.0, std::ceil(min_y - 0.5));
  const double last_y = std::min(static_cast<double>(height) - 1.0, std::floor(max_y - 0.5));
  if (!(first_x <= last_x && first_y <= last_y)) return;
  const bool own_ab = ownsEdge(a[0], a[1], b[0], b[1]);
  const bool own_bc = ownsEdge(b[0], b[1], c[0], c[1]);
  const bool own_ca = ownsEdge(c[0], c[1], a[0], a[1]);
  const auto inside = [](double e, bool owned) { return e > 0.0 || (e == 0.0 && owned); };
  // Along a row the edge function of p -> q is linear in x, rising where q lies above p: it bounds
  // the row's inside from the left, or from the right where it falls. Each bound narrows the pixels
  // tried to a range one pixel wider on each side than computed; whether a centre is covered is
  // then decided by the edge functions alone. Edges that are almost horizontal narrow nothing,
  // since their crossing of the row is ill-conditioned.
  const std::array<std::array<const std::array<double, 2>*, 2>, 3> edges{
      {{&a, &b}, {&b, &c}, {&c, &a}}};
  for (auto y = static_cast<std::size_t>(first_y); y <= static_cast<std::size_t>(last_y); ++y) {
    const double py = static_cast<double>(y) + 0.5;
    double lo = first_x;
    double hi = last_x;
    for (const auto& [p, q] : edges) {
      const double rise = (*p)[1] - (*q)[1];  // d(edge)/dx
      if (std::abs(rise) < 1.0 / 64.0) continue;
      const double cross = (*p)[0] + ((*q)[0] - (*p)[0]) * (py - (*p)[1]) / ((*q)[1] - (*p)[1]);
      const double centre = cross - 0.5;  // the pixel whose centre is at the crossing
      if (rise > 0.0) {
        lo = std::max(lo, std::floor(centre) - 1.0);
      } else {
        hi = std::min(hi, std::ceil(centre) + 1.0);
      }
    }
    if (!(lo <= hi)) continue;
    for (auto x = static_cast<std::size_t>(lo); x <= static_cast<std::size_t>(hi); ++x) {
      const double px = static_cast<double>(x) + 0.5;
      const double e_bc = edge(b[0], b[1], c[0], c[1], px, py);  // weight of a
      const double e_ca = edge(c[0], c[1], a[0], a[1], px, py);  // weight of b
      const double e_ab = edge(a[0], a[1], b[0], b[1], px, py);  // weight of c
      if (!inside(e_bc, own_bc) || !inside(e_ca, own_ca) || !inside(e_ab, own_ab)) continue;
      std::array<double, 3> weight{};
      weight[order[0]] = e_bc / area;
      weight[order[1]] = e_ca / area;
      weight[order[2]] = e_ab / area;
      cover(x, y, weight[0], weight[1], weight[2]);
    }
  }
}

// The share k of the opposite plane's value that moves a side plane of the view half a line's width
// beyond its edge of the image, `extent` pixels across: a point lands (l - r) / (l + r) = 1 + g
// across, g = line_width / extent, where r + k l = 0 for k = g / (2 + g); likewise on every side.
double guardShare(float line_width, double extent) noexcept {
  const double g = static_cast<double>(line_width) / extent;
  return g / (2.0 + g);
}

}  // namespace

Rgba depthCued(const DepthCue& cue, float depth, const Rgba& color) noexcept {
  if (!cue.enabled) return color;
  const auto& c = cue.coefficients;
  const double n = 1.0 - static_cast<double>(depth);
  const double k = (((c[4] * n + c[3]) * n + c[2]) * n + c[1]) * n + c[0];
  return {static_cast<float>(static_cast<double>(color[0]) * k),
          static_cast<float>(static_cast<double>(color[1]) * k),
          static_cast<float>(static_cast<double>(color[2]) * k), color[3]};
}

Rasteriser::Rasteriser(const RenderTarget& target, const ViewUniform& view,
                       const rhi::GraphicsPipelineDescriptor& pipeline,
                       const PipelineOptions& options) noexcept
    : target_(target),
      view_(view),
      frustum_{view.planes, view.near_fs, view.far_fs, view.observer},
      guard_{guardShare(pipeline.line_width, view.width),
             guardShare(pipeline.line_width, view.height)},
      pipeline_(pipeline),
      cue_(options.depth_cue),
      test_depth_(target.depth != nullptr && pipeline.depth.depth_test),
      write_depth_(target.depth != nullptr && pipeline.depth.depth_test &&
                   pipeline.depth.depth_write) {}

Rasteriser::Vertex Rasteriser::vertex(const HomVec4& facing_point, const Rgba& color) const noexcept {
  return {facing_point,
          {view_.planes[0].evaluate(facing_point), view_.planes[1].evaluate(facing_point),
           view_.planes[2].evaluate(facing_point), view_.planes[3].evaluate(facing_point)},
          color};
}

HomVec4 Rasteriser::facing(const HomVec4& p) const noexcept {
  return renderer::facing(frustum_, p);
}

std::array<double, 2> Rasteriser::sides(const HomVec4& a, const HomVec4& b) const noexcept {
  const double from = a.dot(view_.observer);
  const double to = b.dot(view_.observer);
  if (!(from == 0.0 && to == 0.0)) return {from, to};
  // As renderer::facing looks at them.
  const auto& l = view_.planes;
  const std::array<double, 4> at_a{l[0].evaluate(a), l[1].evaluate(a), l[2].evaluate(a),
                                   l[3].evaluate(a)};
  const std::array<double, 4> at_b{l[0].evaluate(b), l[1].evaluate(b), l[2].evaluate(b),
                                   l[3].evaluate(b)};
  const std::array<std::array<double, 2>, 4> ahead{{{at_a[0] + at_a[1], at_b[0] + at_b[1]},
                                                    {at_a[2] + at_a[3], at_b[2] + at_b[3]},
                                                    {at_a[0], at_b[0]},
                                                    {at_a[2], at_b[2]}}};
  for (const auto& values : ahead) {
    if (!(values[0] == 0.0 && values[1] == 0.0)) return values;
  }
  return {from, to};  // the arc lies at the apex of the view, where nothing has a direction
}

namespace {

// Where a vertex inside the view lands, or nothing at the apex of the view (l + r = 0), where no
// primitive but a point has a direction.
std::optional<Projected> project(const std::array<double, 4>& p, const ViewUniform& view) noexcept {
  const double lr = p[0] + p[1];
  const double tb = p[2] + p[3];
  if (!(lr > 0.0 && tb > 0.0)) return std::nullopt;
  const double ndc_x = (p[0] - p[1]) / lr;
  const double ndc_y = (p[2] - p[3]) / tb;
  return Projected{(ndc_x + 1.0) * 0.5 * view.width, (ndc_y + 1.0) * 0.5 * view.height, 1.0 / lr};
}

}  // namespace

}  // namespace orv::device::detail

namespace orv::device {

// The projection of points, public so that programs place labels exactly where a point is drawn.
std::optional<ImagePoint> ViewUniform::project(const kernel::HomVec4& point) const noexcept {
  const kernel::HomVec4 q =
      renderer::facing(renderer::OrvFrustum{planes, near_fs, far_fs, observer}, point);
  const std::array<double, 4> p{planes[0].evaluate(q), planes[1].evaluate(q), planes[2].evaluate(q),
                                planes[3].evaluate(q)};
  if (!(p[0] >= 0.0 && p[1] >= 0.0 && p[2] >= 0.0 && p[3] >= 0.0)) return std::nullopt;
  const double lr = p[0] + p[1];
  const double tb = p[2] + p[3];
  const double ndc_x = lr > 0.0 ? (p[0] - p[1]) / lr : 0.0;
  const double ndc_y = tb > 0.0 ? (p[2] - p[3]) / tb : 0.0;
  const double x = (ndc_x + 1.0) * 0.5 * width;
  const double y = (ndc_y + 1.0) * 0.5 * height;
  if (!(std::isfinite(x) && std::isfinite(y))) return std::nullopt;  // no place in the image
  return ImagePoint{x, y, renderer::fsDepth(observer, q, near_fs, far_fs)};
}

}  // namespace orv::device

namespace orv::device::detail {

void Rasteriser::point(const HomVec4& position, const Rgba& color) noexcept {
  const std::optional<ImagePoint> at = view_.project(position);
  if (!at) return;
  const double x = at->x;
  const double y = at->y;
  const double half = 0.5 * static_cast<double>(pipeline_.point_size);
  // Centres i + 0.5 in [x - half, x + half): i from ceil(x - half - 0.5) to ceil(x + half - 0.5) - 1.
  const double first_x = std::max(0.0, std::ceil(x - half - 0.5));
  const double end_x = std::min(static_cast<double>(target_.width), std::ceil(x + half - 0.5));
  const double first_y = std::max(0.0, std::ceil(y - half - 0.5));
  const double end_y = std::min(static_cast<double>(target_.height), std::ceil(y + half - 0.5));
  if (!(first_x < end_x && first_y < end_y)) return;
  const auto depth = static_cast<float>(at->depth);
  for (auto py = static_cast<std::size_t>(first_y); py < static_cast<std::size_t>(end_y); ++py) {
    for (auto px = static_cast<std::size_t>(first_x); px < static_cast<std::size_t>(end_x); ++px) {
      fragment(px, py, depth, color);
    }
  }
}

void Rasteriser::line(const HomVec4& a, const Rgba& color_a, const HomVec4& b,
                      const Rgba& color_b) noexcept {
  segment(vertex(facing(a), color_a), vertex(facing(b), color_b));
}

void Rasteriser::geodesic(const HomVec4& a, const Rgba& color_a, const HomVec4& b,
                          const Rgba& color_b) noexcept {
  // The shorter arc runs from a to the representative of b on a's side. Ends exactly pi/2 apart
  // have two arcs of that length: the one between their representatives facing the view.
  HomVec4 first = a;
  HomVec4 end = b;
  const double along = a.dot(b);
  if (along < 0.0) {
    end = negated(b);
  } else if (along == 0.0) {
    first = facing(a);
    end = facing(b);
  }
  const auto [from, to] = sides(first, end);
  if (!(from < 0.0) && !(to < 0.0)) {
    segment(vertex(first, color_a), vertex(end, color_b));
    return;
  }
  if (from < 0.0 && to < 0.0) {
    segment(vertex(negated(first), color_a), vertex(negated(end), color_b));
    return;
  }
  // The arc crosses the hyperplane orthogonal to the observer (or, lying in it, the boundary of
  // what is ahead) at t: beyond it the other representative faces the view.
  const double t = from / (from - to);
  const HomVec4 middle = mix(first, end, t);
  const Rgba middle_color = mix(color_a, color_b, t);
  const HomVec4 start = from < 0.0 ? negated(first) : first;
  const HomVec4 middle_start = from < 0.0 ? negated(middle) : middle;
  const HomVec4 middle_end = to < 0.0 ? negated(middle) : middle;
  const HomVec4 finish = to < 0.0 ? negated(end) : end;
  segment(vertex(start, color_a), vertex(middle_start, middle_color));
  segment(vertex(middle_end, middle_color), vertex(finish, color_b));
}

std::array<double, 4> Rasteriser::guarded(const std::array<double, 4>& p) const noexcept {
  return {p[0] + guard_[0] * p[1], p[1] + guard_[0] * p[0], p[2] + guard_[1] * p[3],
          p[3] + guard_[1] * p[2]};
}

void Rasteriser::segment(const Vertex& a, const Vertex& b) noexcept {
  // Clip the segment (1 - t) a + t b to the view widened by half the line's width beyond every
  // edge of the image (a guard band), so that a band leaving the image is cut beyond its edge, not
  // square across it inside; the fragments beyond the attachments are dropped. The widened plane
  // values, like the plane values, are linear in t.
  const std::array<double, 4> guarded_a = guarded(a.planes);
  const std::array<double, 4> guarded_b = guarded(b.planes);
  double t0 = 0.0;
  double t1 = 1.0;
  for (std::size_t k = 0; k < 4; ++k) {
    const double va = guarded_a[k];  // not finite where a plane value is not
    const double vb = guarded_b[k];
    if (!(std::isfinite(va) && std::isfinite(vb))) return;
    if (va < 0.0 && vb < 0.0) return;
    if (va < 0.0) t0 = std::max(t0, va / (va - vb));
    if (vb < 0.0) t1 = std::min(t1, va / (va - vb));
  }
  if (!(t0 <= t1)) return;
  Vertex p0 = t0 > 0.0 ? mix(a, b, t0) : a;
  Vertex p1 = t1 < 1.0 ? mix(a, b, t1) : b;
  const auto s0 = project(p0.planes, view_);
  const auto s1 = project(p1.planes, view_);
  if (!s0 || !s1) return;
  const double dx = s1->x - s0->x;
  const double dy = s1->y - s0->y;
  const double length_sq = dx * dx + dy * dy;
  if (!(length_sq > 0.0) || !std::isfinite(length_sq)) return;
  // The band of the line's width around the segment, as two triangles sharing a diagonal.
  const double scale = 0.5 * static_cast<double>(pipeline_.line_width) / std::sqrt(length_sq);
  const double nx = -dy * scale;
  const double ny = dx * scale;
  const std::array<std::array<double, 2>, 4> corner{{{s0->x + nx, s0->y + ny},
                                                     {s0->x - nx, s0->y - ny},
                                                     {s1->x - nx, s1->y - ny},
                                                     {s1->x + nx, s1->y + ny}}};
  const auto shade = [&](std::size_t x, std::size_t y, double, double, double) {
    // Where along the segment the pixel centre lies, then the point there in four dimensions.
    const double px = static_cast<double>(x) + 0.5 - s0->x;
    const double py = static_cast<double>(y) + 0.5 - s0->y;
    const double sigma = std::clamp((px * dx + py * dy) / length_sq, 0.0, 1.0);
    const double w0 = (1.0 - sigma) * s0->inv_w;
    const double w1 = sigma * s1->inv_w;
    const double t = w1 / (w0 + w1);
    fragment(x, y, mix(p0.q, p1.q, t), mix(p0.color, p1.color, t));
  };
  coverTriangle({corner[0], corner[1], corner[2]}, target_.width, target_.height, shade);
  coverTriangle({corner[0], corner[2], corner[3]}, target_.width, target_.height, shade);
}

void Rasteriser::triangle(const HomVec4& a, const Rgba& color_a, const HomVec4& b,
                          const Rgba& color_b, const HomVec4& c, const Rgba& color_c) noexcept {
  // Clip the triangle to the view, plane by plane (each plane value is linear over it), then draw
  // the polygon left as a fan.
  std::array<Vertex, 8> polygon{vertex(facing(a), color_a), vertex(facing(b), color_b),
                                vertex(facing(c), color_c)};
  std::size_t count = 3;
  for (const Vertex& v : std::span(polygon).first(3)) {
    for (const double value : v.planes) {
      if (!std::isfinite(value)) return;
    }
  }
  for (std::size_t k = 0; k < 4 && count > 0; ++k) {
    std::array<Vertex, 8> clipped{};
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const Vertex& p = polygon[i];
      const Vertex& q = polygon[(i + 1) % count];
      const double vp = p.planes[k];
      const double vq = q.planes[k];
      if (vp >= 0.0) clipped[kept++] = p;
      if ((vp >= 0.0) != (vq >= 0.0)) {
        // From the end inside the plane toward the one outside, whichever way the polygon runs:
        // triangles that share the edge get the same crossing to the bit.
        const Vertex& in = vp >= 0.0 ? p : q;
        const Vertex& out = vp >= 0.0 ? q : p;
        Vertex crossing = mix(in, out, in.planes[k] / (in.planes[k] - out.planes[k]));
        crossing.planes[k] = 0.0;
        clipped[kept++] = crossing;
      }
    }
    polygon = clipped;
    count = kept;
  }
  if (count < 3) return;
  std::array<Projected, 8> screen{};
  for (std::size_t i = 0; i < count; ++i) {
    const auto s = project(polygon[i].planes, view_);
    if (!s) return;
    screen[i] = *s;
  }
  for (std::size_t i = 1; i + 1 < count; ++i) {
    const std::array<std::size_t, 3> corner{0, i, i + 1};
    coverTriangle({{{screen[0].x, screen[0].y}, {screen[i].x, screen[i].y},
                    {screen[i + 1].x, screen[i + 1].y}}},
                  target_.width, target_.height,
                  [&](std::size_t x, std::size_t y, double l0, double l1, double l2) {
                    const std::array<double, 3> lambda{l0, l1, l2};
                    std::array<double, 3> weight{};
                    double total = 0.0;
                    for (std::size_t j = 0; j < 3; ++j) {
                      weight[j] = lambda[j] * screen[corner[j]].inv_w;
                      total += weight[j];
                    }
                    HomVec4 q = HomVec4::init(0, 0, 0, 0);
                    Rgba color{};
                    std::array<double, 4> sum{};
                    for (std::size_t j = 0; j < 3; ++j) {
                      const double wj = weight[j] / total;
                      const Vertex& v = polygon[corner[j]];
                      q = HomVec4::init(q.x + wj * v.q.x, q.y + wj * v.q.y, q.z + wj * v.q.z,
                                        q.w + wj * v.q.w);
                      for (std::size_t ch = 0; ch < 4; ++ch) sum[ch] += wj * v.color[ch];
                    }
                    for (std::size_t ch = 0; ch < 4; ++ch) color[ch] = static_cast<float>(sum[ch]);
                    fragment(x, y, q, color);
                  });
  }
}

void Rasteriser::fragment(std::size_t x, std::size_t y, const HomVec4& q, const Rgba& color) noexcept {
  fragment(x, y,
           static_cast<float>(renderer::fsDepth(view_.observer, q, view_.near_fs, view_.far_fs)),
           color);
}

void Rasteriser::fragment(std::size_t x, std::size_t y, float depth, const Rgba& incoming) noexcept {
  const std::size_t index = y * target_.width + x;
  if (test_depth_) {
    if (!compare(pipeline_.depth.depth_compare, depth, target_.depth[index])) return;
    if (write_depth_) target_.depth[index] = depth;
  }
  const Rgba color = depthCued(cue_, depth, incoming);
  for (const ColorAttachment& attachment : target_.colors) {
    Rgba out = color;
    if (pipeline_.blend_enabled) {
      const Rgba destination = loadColor(attachment.texels, attachment.format, index);
      const float source_factor = factor(pipeline_.src_color_factor, color[3]);
      const float destination_factor = factor(pipeline_.dst_color_factor, color[3]);
      for (std::size_t c = 0; c < 4; ++c) {
        out[c] = color[c] * source_factor + destination[c] * destination_factor;
      }
    }
    storeColor(attachment.texels, attachment.format, index, out);
  }
}

}  // namespace orv::device::detail
