#include "cpu_raster.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>

#include "orv/renderer.hpp"

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define ORV_RASTER_AVX2 1
#include <immintrin.h>
#endif

namespace orv::device::detail {

using kernel::HomVec4;
using rhi::BlendFactor;
using rhi::CompareOp;
using rhi::Format;

// --- texel formats ------------------------------------------------------------------------------

namespace {

// floatToHalf, inlined where texels are stored.
inline std::uint16_t halfOf(float value) noexcept {
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

}  // namespace

std::uint16_t floatToHalf(float value) noexcept { return halfOf(value); }

namespace {

#ifdef ORV_RASTER_AVX2
// Whether the processor converts to halfs itself (F16C, with AVX).
bool hasHalfConversion() noexcept {
  static const bool has = __builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c");
  return has;
}

// The texel of depthCued(cue, depth, color) as storeColor stores it in rgba16_float, by the
// processor's conversions: each colour channel times the cue in double, rounded to float, alpha as
// it is, then the four halfs nearest, ties to even, as halfOf gives them. False, with nothing
// stored, where a channel is NaN, whose payload halfOf keeps in its own way.
[[gnu::target("avx,f16c")]] bool storeCuedHalfs(std::byte* texel, const DepthCue& cue, float depth,
                                                const Rgba& color) noexcept {
  __m128 v = _mm_loadu_ps(color.data());
  if (cue.enabled) {
    const auto& c = cue.coefficients;
    const double n = 1.0 - static_cast<double>(depth);
    const double k = (((c[4] * n + c[3]) * n + c[2]) * n + c[1]) * n + c[0];
    const __m128 cued = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(v), _mm256_set1_pd(k)));
    v = _mm_blend_ps(cued, v, 0x8);
  }
  if (_mm_movemask_ps(_mm_cmpunord_ps(v, v)) != 0) return false;
  _mm_storel_epi64(reinterpret_cast<__m128i*>(texel), _mm_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
  return true;
}
#endif

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
#ifdef ORV_RASTER_AVX2
      if (hasHalfConversion() && storeCuedHalfs(texels + index * 8, DepthCue{}, 0.0f, color)) {
        return;
      }
#endif
      const std::array<std::uint16_t, 4> out{halfOf(color[0]), halfOf(color[1]), halfOf(color[2]),
                                             halfOf(color[3])};
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

// Colour attachments a point writes through its fast path (more take the general one).
constexpr std::size_t kMaxPointAttachments = 8;

// Bytes of a texel of a colour attachment's format.
std::size_t texelSize(Format format) noexcept {
  switch (format) {
    case Format::rgba8_unorm: return 4;
    case Format::rgba16_float: return 8;
    case Format::rgba32_float: return 16;
    default: return 0;  // storeColor writes nothing either
  }
}

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

// `edge` of one edge, its end and orientation chosen once: the same products in the same order,
// so the same values to the bit.
class EdgeFunction {
 public:
  EdgeFunction(const std::array<double, 2>& a, const std::array<double, 2>& b) noexcept {
    const double ax = a[0], ay = a[1], bx = b[0], by = b[1];
    negate_ = by < ay || (by == ay && bx < ax);
    if (negate_) {
      x0_ = bx, y0_ = by, dx_ = ax - bx, dy_ = ay - by;
    } else {
      x0_ = ax, y0_ = ay, dx_ = bx - ax, dy_ = by - ay;
    }
  }
  double operator()(double px, double py) const noexcept {
    const double e = dx_ * (py - y0_) - dy_ * (px - x0_);
    return negate_ ? -e : e;
  }

 private:
  double x0_, y0_, dx_, dy_;
  bool negate_;
};

// Whether a triangle of positive area owns the centres on its edge a -> b: top edges (horizontal,
// running right) and left edges (running up, as y grows downward).
bool ownsEdge(double ax, double ay, double bx, double by) noexcept {
  return by < ay || (by == ay && bx > ax);
}

// Calls `cover(x, y, l0, l1, l2)` for every pixel centre the triangle covers, with the screen-space
// barycentric weights of its vertices, within [0, width) x [0, height).
// What coverTriangle calls: `f` with the weights when `Weighted`, else with zeros.
template <bool Weighted, class F>
struct Coverage {
  static constexpr bool kWeighted = Weighted;
  F f;
  void operator()(std::size_t x, std::size_t y, double l0, double l1, double l2) const {
    f(x, y, l0, l1, l2);
  }
};
template <bool Weighted, class F>
Coverage<Weighted, F> coverage(F f) {
  return {f};
}

template <class Cover>
void coverTriangle(const std::array<std::array<double, 2>, 3>& v, std::uint32_t width,
                   std::uint32_t height, const Cover& cover) noexcept {
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
  // tried to those from the pixel whose centre lies at or just before its computed crossing (or to
  // the one at or just after it): with the crossing and the edge function's sign near it both off
  // by far less than a pixel, the first pixel covered is never further left (nor the last further
  // right). Edges that are almost horizontal narrow nothing, since their crossing of the row is
  // ill-conditioned.
  const std::array<std::array<const std::array<double, 2>*, 2>, 3> edges{
      {{&a, &b}, {&b, &c}, {&c, &a}}};
  const EdgeFunction ab(a, b);
  const EdgeFunction bc(b, c);
  const EdgeFunction ca(c, a);
  const std::array<const EdgeFunction*, 3> function{&ab, &bc, &ca};
  const std::array<bool, 3> owned{own_ab, own_bc, own_ca};
  std::array<double, 3> rise{};   // d(edge)/dx of each
  std::array<double, 3> slope{};  // dx/dy along each, where it narrows the rows
  for (std::size_t k = 0; k < 3; ++k) {
    const auto& [p, q] = edges[k];
    rise[k] = (*p)[1] - (*q)[1];
    slope[k] = ((*q)[0] - (*p)[0]) / ((*q)[1] - (*p)[1]);
  }
  for (auto y = static_cast<std::size_t>(first_y); y <= static_cast<std::size_t>(last_y); ++y) {
    const double py = static_cast<double>(y) + 0.5;
    double lo = first_x;
    double hi = last_x;
    for (std::size_t k = 0; k < 3; ++k) {
      if (std::abs(rise[k]) < 1.0 / 64.0) continue;
      const auto& p = *edges[k][0];
      const double cross = p[0] + slope[k] * (py - p[1]);
      const double centre = cross - 0.5;  // the pixel whose centre is at the crossing
      if (rise[k] > 0.0) {
        lo = std::max(lo, std::floor(centre));
      } else {
        hi = std::min(hi, std::ceil(centre));
      }
    }
    if (!(lo <= hi)) continue;
    // As evaluated, each edge function is monotone along a row (every rounding is): the centres of
    // the range it covers are those from some x on where it rises, up to some x where it falls,
    // all or none where it is flat. The centres all three cover are the run between the last of
    // the first ones and the first of the last ones, each found by stepping in from the range's end.
    auto left = static_cast<std::size_t>(lo);
    auto right = static_cast<std::size_t>(hi);
    for (std::size_t k = 0; k < 3 && left <= right; ++k) {
      const EdgeFunction& e = *function[k];
      const auto covers = [&](std::size_t x) {
        return inside(e(static_cast<double>(x) + 0.5, py), owned[k]);
      };
      if (rise[k] > 0.0) {
        while (left <= right && !covers(left)) ++left;
      } else if (rise[k] < 0.0) {
        while (left <= right && !covers(right)) {
          if (right == 0) {
            left = 1;  // none: right would go below zero
            break;
          }
          --right;
        }
      } else if (!covers(left)) {
        left = right + 1;
      }
    }
    if (left > right) continue;
    for (std::size_t x = left; x <= right; ++x) {
      if constexpr (!Cover::kWeighted) {
        cover(x, y, 0.0, 0.0, 0.0);
      } else {
        const double px = static_cast<double>(x) + 0.5;
        std::array<double, 3> weight{};
        weight[order[0]] = bc(px, py) / area;  // weight of a
        weight[order[1]] = ca(px, py) / area;  // weight of b
        weight[order[2]] = ab(px, py) / area;  // weight of c
        cover(x, y, weight[0], weight[1], weight[2]);
      }
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

namespace {

// storeColor of depthCued(cue, depth, color) into one rgba16_float texel.
void storeCuedHalf(std::byte* texel, const DepthCue& cue, float depth, const Rgba& color) noexcept {
#ifdef ORV_RASTER_AVX2
  if (hasHalfConversion() && storeCuedHalfs(texel, cue, depth, color)) return;
#endif
  storeColor(texel, Format::rgba16_float, 0, depthCued(cue, depth, color));
}

}  // namespace

Rasteriser::Rasteriser(const RenderTarget& target, const ViewUniform& view,
                       const rhi::GraphicsPipelineDescriptor& pipeline,
                       const PipelineOptions& options, PointQueue* queue) noexcept
    : target_(target),
      view_(view),
      frustum_{view.planes, view.near_fs, view.far_fs, view.observer},
      guard_{guardShare(pipeline.line_width, view.width),
             guardShare(pipeline.line_width, view.height)},
      pipeline_(pipeline),
      cue_(options.depth_cue),
      test_depth_(target.depth != nullptr && pipeline.depth.depth_test),
      write_depth_(target.depth != nullptr && pipeline.depth.depth_test &&
                   pipeline.depth.depth_write),
      queue_(queue),
      observer_norm2_(((view.observer.x * view.observer.x + view.observer.y * view.observer.y) +
                       view.observer.z * view.observer.z) +
                      view.observer.w * view.observer.w),
      depth_scale_(1.0 / (view.far_fs - view.near_fs)),
      // The fast depth where the view is plain: a finite observer of norm near 1, limits within
      // [0, pi/2] and apart.
      depth_fast_(observer_norm2_ > 0.25 && observer_norm2_ < 4.0 && view.near_fs >= 0.0 &&
                  view.far_fs <= 1.5707963267948966 && view.far_fs - view.near_fs > 1e-3) {
  if (queue_ != nullptr) {
    queue_->gathered = 0;
  }
}

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

namespace {

// asin(s) for s in [0, 0.5]: s + s^3 R(s^2), R a polynomial fitted to it (within 2e-15),
// evaluated in pairs of terms and powers t^2, t^4, t^8 of t = s^2 rather than term after term, so
// that its steps do not wait on each other (it rounds within a few units of the last place of R,
// far inside the slack pointDepth allows).
constexpr std::array<double, 12> kAsinCoefficients{
    0.16666666666668628,  0.07499999999852046,  0.04464285727081898,   0.030381939435165407,
    0.022372259152815436, 0.01735179907400043,  0.013966057993655124,  0.011624496653693007,
    0.008930701469861703, 0.012855621977966207, -0.005640837682802616, 0.02460302577538372};

double asinSmall(double s) noexcept {
  const auto& c = kAsinCoefficients;
  const double t = s * s;
  const double t2 = t * t;
  const double t4 = t2 * t2;
  const double t8 = t4 * t4;
  const double low = (c[0] + c[1] * t) + (c[2] + c[3] * t) * t2;
  const double middle = (c[4] + c[5] * t) + (c[6] + c[7] * t) * t2;
  const double high = (c[8] + c[9] * t) + (c[10] + c[11] * t) * t2;
  const double r = (low + middle * t4) + high * t8;
  return s + s * t * r;
}

// The bounds pointDepth allows for the error of its fast distance: near pi/2 of the observer, and
// `kSlackBase + kSlackNear / s` nearer, s = sin(d / 2).
constexpr double kSlackFar = 1e-13 + 1.2e-14;
constexpr double kSlackBase = 1e-13;
constexpr double kSlackNear = 0.75e-14;

// ceil(v) for |v| < 2^52, up to the sign of a zero result, without a call into the maths library.
double ceilSmall(double v) noexcept {
  const auto t = static_cast<double>(static_cast<std::int64_t>(v));
  return t < v ? t + 1.0 : t;
}

}  // namespace

float Rasteriser::pointDepth(const HomVec4& q) const noexcept {
  // The float of renderer::fsDepth(observer, q, near, far), which is what a fragment stores,
  // without the arc cosine of the maths library where it cannot matter. The distance d is
  // evaluated fast, within a bound `slack` that covers the fitted arc sine, the rounding of the
  // cosine here and in the kernel (steeper as the point nears the observer) and the library's last
  // place; the depth of each end of that interval is bracketed, the kernel's rounding included.
  // Where both brackets round to one float, so does the kernel's depth, which lies between them
  // (the depth rises with the distance, and so does every rounding on the way). Elsewhere, and for
  // anything unusual, the kernel decides.
  const HomVec4& o = view_.observer;
  const auto exact = [&] {
    return static_cast<float>(renderer::fsDepth(o, q, view_.near_fs, view_.far_fs));
  };
  const double sb = ((q.x * q.x + q.y * q.y) + q.z * q.z) + q.w * q.w;
  const double dp = ((o.x * q.x + o.y * q.y) + o.z * q.z) + o.w * q.w;
  // Below a norm of 1e-15 the kernel takes a point for no point at all (distance 0).
  if (!(depth_fast_ && sb > 1e-28 && sb < 1e200 && std::isfinite(dp))) return exact();
  const double x = std::min(std::fabs(dp) / std::sqrt(observer_norm2_ * sb), 1.0);
  double d = 0.0;
  double slack = 0.0;
  if (x <= 0.5) {
    d = 1.5707963267948966 - asinSmall(x);
    slack = kSlackFar;  // sin d >= 0.86
  } else {
    // acos x = 2 asin s with s = sqrt((1 - x) / 2) = sin(d / 2), and sin d >= 1.41 s for d <= pi/2.
    const double s = std::sqrt((1.0 - x) * 0.5);
    if (!(s > 1e-5)) return exact();  // within 2e-5 of the observer, the cosine is too flat
    d = 2.0 * asinSmall(s);
    slack = kSlackBase + kSlackNear / s;
  }
  const double t = d - view_.near_fs;
  const double low = std::clamp((t - slack) * depth_scale_ - 1e-15, 0.0, 1.0);
  const double high = std::clamp((t + slack) * depth_scale_ + 1e-15, 0.0, 1.0);
  const auto f = static_cast<float>(low);
  return f == static_cast<float>(high) ? f : exact();
}

#ifdef ORV_RASTER_AVX2
namespace {

static_assert(sizeof(HomVec4) == 4 * sizeof(double), "points are four packed doubles");

// The four points at `q`, one coordinate per register, lane k holding point k: halves of points 0
// and 2 in one register, of 1 and 3 in another, then in-lane unpacks.
[[gnu::target("avx2")]] inline void loadFourPoints(const HomVec4* q, __m256d& x, __m256d& y,
                                                   __m256d& z, __m256d& w) noexcept {
  const auto* p = reinterpret_cast<const double*>(q);
  const __m256d xy02 = _mm256_loadu2_m128d(p + 8, p);
  const __m256d xy13 = _mm256_loadu2_m128d(p + 12, p + 4);
  const __m256d zw02 = _mm256_loadu2_m128d(p + 10, p + 2);
  const __m256d zw13 = _mm256_loadu2_m128d(p + 14, p + 6);
  x = _mm256_unpacklo_pd(xy02, xy13);
  y = _mm256_unpackhi_pd(xy02, xy13);
  z = _mm256_unpacklo_pd(zw02, zw13);
  w = _mm256_unpackhi_pd(zw02, zw13);
}

// a + b t, lane by lane.
[[gnu::target("avx2")]] inline __m256d linear4(double a, double b, __m256d t) noexcept {
  return _mm256_add_pd(_mm256_set1_pd(a), _mm256_mul_pd(_mm256_set1_pd(b), t));
}

// asinSmall of four values, step for step.
[[gnu::target("avx2")]] inline __m256d asinSmall4(__m256d s) noexcept {
  const auto& c = kAsinCoefficients;
  const __m256d t = _mm256_mul_pd(s, s);
  const __m256d t2 = _mm256_mul_pd(t, t);
  const __m256d t4 = _mm256_mul_pd(t2, t2);
  const __m256d t8 = _mm256_mul_pd(t4, t4);
  const __m256d low =
      _mm256_add_pd(linear4(c[0], c[1], t), _mm256_mul_pd(linear4(c[2], c[3], t), t2));
  const __m256d middle =
      _mm256_add_pd(linear4(c[4], c[5], t), _mm256_mul_pd(linear4(c[6], c[7], t), t2));
  const __m256d high =
      _mm256_add_pd(linear4(c[8], c[9], t), _mm256_mul_pd(linear4(c[10], c[11], t), t2));
  const __m256d r =
      _mm256_add_pd(_mm256_add_pd(low, _mm256_mul_pd(middle, t4)), _mm256_mul_pd(high, t8));
  return _mm256_add_pd(s, _mm256_mul_pd(_mm256_mul_pd(s, t), r));
}

// std::clamp(v, 0.0, 1.0), comparison for comparison.
[[gnu::target("avx2")]] inline __m256d clampUnit4(__m256d v) noexcept {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d low = _mm256_blendv_pd(v, zero, _mm256_cmp_pd(v, zero, _CMP_LT_OQ));
  return _mm256_blendv_pd(low, one, _mm256_cmp_pd(one, low, _CMP_LT_OQ));
}

// The fast path of Rasteriser::pointDepth for four points, one coordinate per register, lane by
// lane the same operations in the same order, so the same bits. Returns the lanes it leaves
// undecided (a bit each), which pointDepth decides alone; the others' depths are in `depth`.
[[gnu::target("avx2")]] inline unsigned fastDepths4(__m256d x, __m256d y, __m256d z, __m256d w,
                                                    const HomVec4& o, double observer_norm2,
                                                    double near, double scale,
                                                    __m128& depth) noexcept {
  const __m256d sb = _mm256_add_pd(
      _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y)), _mm256_mul_pd(z, z)),
      _mm256_mul_pd(w, w));
  const __m256d dp = _mm256_add_pd(
      _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(o.x), x),
                                  _mm256_mul_pd(_mm256_set1_pd(o.y), y)),
                    _mm256_mul_pd(_mm256_set1_pd(o.z), z)),
      _mm256_mul_pd(_mm256_set1_pd(o.w), w));
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), dp);
  __m256d ok = _mm256_and_pd(_mm256_cmp_pd(sb, _mm256_set1_pd(1e-28), _CMP_GT_OQ),
                             _mm256_cmp_pd(sb, _mm256_set1_pd(1e200), _CMP_LT_OQ));
  const __m256d infinity = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  ok = _mm256_and_pd(ok, _mm256_cmp_pd(magnitude, infinity, _CMP_LT_OQ));
  const __m256d ratio =
      _mm256_div_pd(magnitude, _mm256_sqrt_pd(_mm256_mul_pd(_mm256_set1_pd(observer_norm2), sb)));
  const __m256d cosine = _mm256_blendv_pd(ratio, one, _mm256_cmp_pd(one, ratio, _CMP_LT_OQ));
  const __m256d far = _mm256_cmp_pd(cosine, _mm256_set1_pd(0.5), _CMP_LE_OQ);
  const __m256d s =
      _mm256_sqrt_pd(_mm256_mul_pd(_mm256_sub_pd(one, cosine), _mm256_set1_pd(0.5)));
  // One arc sine a lane: of the cosine far from the observer, of s near it.
  const __m256d arc = asinSmall4(_mm256_blendv_pd(s, cosine, far));
  const __m256d d_far = _mm256_sub_pd(_mm256_set1_pd(1.5707963267948966), arc);
  const __m256d d_near = _mm256_mul_pd(_mm256_set1_pd(2.0), arc);
  const __m256d slack_near =
      _mm256_add_pd(_mm256_set1_pd(kSlackBase), _mm256_div_pd(_mm256_set1_pd(kSlackNear), s));
  ok = _mm256_and_pd(ok, _mm256_or_pd(far, _mm256_cmp_pd(s, _mm256_set1_pd(1e-5), _CMP_GT_OQ)));
  const __m256d d = _mm256_blendv_pd(d_near, d_far, far);
  const __m256d slack = _mm256_blendv_pd(slack_near, _mm256_set1_pd(kSlackFar), far);
  const __m256d t = _mm256_sub_pd(d, _mm256_set1_pd(near));
  const __m256d scale4 = _mm256_set1_pd(scale);
  const __m256d low = clampUnit4(_mm256_sub_pd(_mm256_mul_pd(_mm256_sub_pd(t, slack), scale4),
                                               _mm256_set1_pd(1e-15)));
  const __m256d high = clampUnit4(_mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(t, slack), scale4),
                                                _mm256_set1_pd(1e-15)));
  depth = _mm256_cvtpd_ps(low);
  const __m128 same = _mm_cmp_ps(depth, _mm256_cvtpd_ps(high), _CMP_EQ_OQ);
  const auto decided = static_cast<unsigned>(_mm256_movemask_pd(ok) & _mm_movemask_ps(same));
  return ~decided & 0xFu;
}

// fastDepths4 of the four points at `q`, their depths into `out`.
[[gnu::target("avx2")]] unsigned fastDepths4(const HomVec4* q, const HomVec4& o,
                                              double observer_norm2, double near, double scale,
                                              float* out) noexcept {
  __m256d x, y, z, w;
  loadFourPoints(q, x, y, z, w);
  __m128 depth;
  const unsigned undecided = fastDepths4(x, y, z, w, o, observer_norm2, near, scale, depth);
  _mm_storeu_ps(out, depth);
  return undecided;
}

}  // namespace
#endif

void Rasteriser::pointDepths(const HomVec4* q, float* out, std::size_t count) const noexcept {
  std::size_t i = 0;
#ifdef ORV_RASTER_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (depth_fast_ && avx2) {
    for (; i + 4 <= count; i += 4) {
      unsigned undecided = fastDepths4(q + i, view_.observer, observer_norm2_, view_.near_fs,
                                       depth_scale_, out + i);
      for (; undecided != 0; undecided &= undecided - 1) {
        const auto lane = static_cast<std::size_t>(std::countr_zero(undecided));
        out[i + lane] = pointDepth(q[i + lane]);
      }
    }
  }
#endif
  for (; i < count; ++i) out[i] = pointDepth(q[i]);
}

bool Rasteriser::pointRecord(const HomVec4& position, const Rgba& color, PointQueue::Record& out,
                             HomVec4& q) const noexcept {
  // As ViewUniform::project places it, the view's frustum made once.
  q = renderer::facing(frustum_, position);
  const auto& planes = view_.planes;
  const std::array<double, 4> p{planes[0].evaluate(q), planes[1].evaluate(q), planes[2].evaluate(q),
                                planes[3].evaluate(q)};
  if (!(p[0] >= 0.0 && p[1] >= 0.0 && p[2] >= 0.0 && p[3] >= 0.0)) return false;
  const double lr = p[0] + p[1];
  const double tb = p[2] + p[3];
  const double ndc_x = lr > 0.0 ? (p[0] - p[1]) / lr : 0.0;
  const double ndc_y = tb > 0.0 ? (p[2] - p[3]) / tb : 0.0;
  const double x = (ndc_x + 1.0) * 0.5 * view_.width;
  const double y = (ndc_y + 1.0) * 0.5 * view_.height;
  if (!(std::isfinite(x) && std::isfinite(y))) return false;
  const double half = 0.5 * static_cast<double>(pipeline_.point_size);
  // Centres i + 0.5 in [x - half, x + half): i from ceil(x - half - 0.5) to ceil(x + half - 0.5) - 1.
  // x and y lie within the image (the point is in view), so the ceilings are small integers.
  const double first_x = std::max(0.0, ceilSmall(x - half - 0.5));
  const double end_x = std::min(static_cast<double>(target_.width), ceilSmall(x + half - 0.5));
  const double first_y = std::max(0.0, ceilSmall(y - half - 0.5));
  const double end_y = std::min(static_cast<double>(target_.height), ceilSmall(y + half - 0.5));
  if (!(first_x < end_x && first_y < end_y)) return false;
  out = {0.0f, static_cast<std::uint32_t>(first_x),
         static_cast<std::uint32_t>(end_x), static_cast<std::uint32_t>(first_y),
         static_cast<std::uint32_t>(end_y), color};
  return true;
}

namespace {

// Points gathered before they are drawn tile by tile.
constexpr std::size_t kPointChunk = 32768;

}  // namespace

#ifdef ORV_RASTER_AVX2
namespace {

// ceilSmall of four values, up to the sign of a zero result.
[[gnu::target("avx2")]] inline __m256d ceilSmall4(__m256d v) noexcept {
  const __m256d t = _mm256_round_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  return _mm256_add_pd(t, _mm256_and_pd(_mm256_cmp_pd(t, v, _CMP_LT_OQ), _mm256_set1_pd(1.0)));
}

// ((a x + b y) + c z) + d w, lane by lane.
[[gnu::target("avx2")]] inline __m256d weighed4(__m256d x, __m256d y, __m256d z, __m256d w,
                                                double a, double b, double c, double d) noexcept {
  return _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(a), x),
                                                   _mm256_mul_pd(_mm256_set1_pd(b), y)),
                                     _mm256_mul_pd(_mm256_set1_pd(c), z)),
                       _mm256_mul_pd(_mm256_set1_pd(d), w));
}

// Along one axis of the image, from the plane values `a` and `b` of its two sides (left and
// right, or top and bottom): the first pixel and the end of the pixels covered, into `first` and
// `end` for each lane; `drawn` loses the lanes that cover none or land nowhere.
[[gnu::target("avx2")]] inline void placeAlong4(__m256d a, __m256d b, double extent, double half,
                                                double target, __m256d& drawn, __m128i& first,
                                                __m128i& end) noexcept {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d half_one = _mm256_set1_pd(0.5);
  const __m256d sum = _mm256_add_pd(a, b);
  const __m256d ndc =
      _mm256_and_pd(_mm256_cmp_pd(sum, zero, _CMP_GT_OQ), _mm256_div_pd(_mm256_sub_pd(a, b), sum));
  const __m256d c =
      _mm256_mul_pd(_mm256_mul_pd(_mm256_add_pd(ndc, one), half_one), _mm256_set1_pd(extent));
  const __m256d finite =
      _mm256_cmp_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), c),
                    _mm256_set1_pd(std::numeric_limits<double>::infinity()), _CMP_LT_OQ);
  const __m256d h = _mm256_set1_pd(half);
  const __m256d from_c = ceilSmall4(_mm256_sub_pd(_mm256_sub_pd(c, h), half_one));
  const __m256d end_c = ceilSmall4(_mm256_sub_pd(_mm256_add_pd(c, h), half_one));
  const __m256d limit = _mm256_set1_pd(target);
  // std::max(0.0, first) and std::min(target, end), comparison for comparison.
  const __m256d from = _mm256_blendv_pd(zero, from_c, _mm256_cmp_pd(zero, from_c, _CMP_LT_OQ));
  const __m256d to = _mm256_blendv_pd(limit, end_c, _mm256_cmp_pd(end_c, limit, _CMP_LT_OQ));
  drawn = _mm256_and_pd(drawn, _mm256_and_pd(finite, _mm256_cmp_pd(from, to, _CMP_LT_OQ)));
  // Whole numbers in [0, target] where drawn; zero elsewhere, never read.
  first = _mm256_cvttpd_epi32(_mm256_and_pd(drawn, from));
  end = _mm256_cvttpd_epi32(_mm256_and_pd(drawn, to));
}

// What placeFour needs of a view and a pipeline.
struct FourPointPlacement {
  const ViewUniform* view;
  double half;  // half the point size
  double target_width;
  double target_height;
  bool fast_depth;  // whether Rasteriser::pointDepth may take its fast path
  double observer_norm2;
  double depth_scale;
};

static_assert(offsetof(PointQueue::Record, depth) == 0 && offsetof(PointQueue::Record, x0) == 4 &&
                  offsetof(PointQueue::Record, x1) == 8 && offsetof(PointQueue::Record, y0) == 12 &&
                  offsetof(PointQueue::Record, y1) == 16 &&
                  offsetof(PointQueue::Record, color) == 20,
              "a record is its depth, then its pixels, then its colour");

// Four points in colours `colors` placed and given their depths as Rasteriser::pointRecord
// places each and Rasteriser::pointDepth takes its depth, lane by lane the same operations in the
// same order, so the same bits: the records of those drawn written in order from `out` (the
// places of all four may be written), and their number returned. Where a point drawn needs more
// than these lanes decide (a point exactly on the hyperplane orthogonal to the observer, one whose
// product with the observer is not a number, a depth the fast path leaves undecided), nothing is
// counted and -1 is returned, for Rasteriser::pointRecord and pointDepth to place each.
[[gnu::target("avx2")]] int placeFour(const HomVec4* points, const Rgba* colors,
                                      const FourPointPlacement& how,
                                      PointQueue::Record* out) noexcept {
  __m256d x, y, z, w;
  loadFourPoints(points, x, y, z, w);
  const ViewUniform& view = *how.view;
  const HomVec4& o = view.observer;
  const __m256d zero = _mm256_setzero_pd();
  // point.dot(observer): the same products, each operand order aside.
  const __m256d toward = weighed4(x, y, z, w, o.x, o.y, o.z, o.w);
  const __m256d undecided = _mm256_cmp_pd(toward, zero, _CMP_EQ_UQ);  // zero, or NaN
  const __m256d flip = _mm256_and_pd(_mm256_cmp_pd(toward, zero, _CMP_LT_OQ), _mm256_set1_pd(-0.0));
  x = _mm256_xor_pd(x, flip);
  y = _mm256_xor_pd(y, flip);
  z = _mm256_xor_pd(z, flip);
  w = _mm256_xor_pd(w, flip);
  __m256d plane[4];
  for (std::size_t k = 0; k < 4; ++k) {
    const auto& l = view.planes[k];
    plane[k] = weighed4(x, y, z, w, l.a, l.b, l.c, l.d);
  }
  __m256d drawn = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(plane[0], zero, _CMP_GE_OQ),
                                              _mm256_cmp_pd(plane[1], zero, _CMP_GE_OQ)),
                                _mm256_and_pd(_mm256_cmp_pd(plane[2], zero, _CMP_GE_OQ),
                                              _mm256_cmp_pd(plane[3], zero, _CMP_GE_OQ)));
  __m128i x0, x1, y0, y1;
  placeAlong4(plane[0], plane[1], view.width, how.half, how.target_width, drawn, x0, x1);
  placeAlong4(plane[2], plane[3], view.height, how.half, how.target_height, drawn, y0, y1);
  const auto drawn_bits = static_cast<unsigned>(_mm256_movemask_pd(drawn));
  if (_mm256_movemask_pd(undecided) != 0 || !how.fast_depth) return -1;
  __m128 depths;
  const unsigned deep = fastDepths4(x, y, z, w, o, how.observer_norm2, view.near_fs,
                                    how.depth_scale, depths);
  if ((deep & drawn_bits) != 0) return -1;
  // Each lane's x0, x1, y0, y1 together, as a record holds them.
  const __m128i xs_low = _mm_unpacklo_epi32(x0, x1);
  const __m128i ys_low = _mm_unpacklo_epi32(y0, y1);
  const __m128i xs_high = _mm_unpackhi_epi32(x0, x1);
  const __m128i ys_high = _mm_unpackhi_epi32(y0, y1);
  const __m128i pixels[4] = {
      _mm_unpacklo_epi64(xs_low, ys_low), _mm_unpackhi_epi64(xs_low, ys_low),
      _mm_unpacklo_epi64(xs_high, ys_high), _mm_unpackhi_epi64(xs_high, ys_high)};
  alignas(16) std::array<float, 4> depth{};
  _mm_store_ps(depth.data(), depths);
  int count = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    // Written whether drawn or not, the next one drawn taking its place: no branch to mispredict.
    auto* record = reinterpret_cast<std::byte*>(out + count);
    std::memcpy(record, &depth[k], sizeof(float));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(record + 4), pixels[k]);
    _mm_storeu_ps(reinterpret_cast<float*>(record + 20), _mm_loadu_ps(colors[k].data()));
    count += static_cast<int>(drawn_bits >> k & 1u);
  }
  return count;
}

}  // namespace
#endif

void Rasteriser::pointWithoutRoom(const HomVec4& position, const Rgba& color) noexcept {
  if (queue_ != nullptr && makeRoom()) {
    queue_->positions[queue_->gathered] = position;
    queue_->colors[queue_->gathered] = color;
    ++queue_->gathered;
    return;
  }
  PointQueue::Record r{};
  HomVec4 q;
  if (pointRecord(position, color, r, q)) {
    r.depth = pointDepth(q);
    drawPoint(r, r.x0, r.x1, r.y0, r.y1);
  }
}

bool Rasteriser::makeRoom() noexcept {
  PointQueue& q = *queue_;
  if (q.capacity >= kPointChunk) {
    drawQueue();
    return true;
  }
  try {
    // Made once and kept by the device, so that later draws gather without allocating.
    q.positions.resize(kPointChunk);
    q.colors.resize(kPointChunk);
    q.records.resize(kPointChunk);
    q.binned.reserve(2 * kPointChunk);
    q.capacity = kPointChunk;
    return true;
  } catch (...) {
    // No memory to gather: draw what was gathered, and the rest at once.
    drawQueue();
    queue_ = nullptr;
    return false;
  }
}

std::size_t Rasteriser::placeGathered() noexcept {
  PointQueue& q = *queue_;
  const std::size_t count = q.gathered;
  std::size_t drawn = 0;
  const auto placeOne = [&](std::size_t i) {
    PointQueue::Record r{};
    HomVec4 faced;
    if (pointRecord(q.positions[i], q.colors[i], r, faced)) {
      r.depth = pointDepth(faced);
      q.records[drawn++] = r;
    }
  };
  std::size_t i = 0;
#ifdef ORV_RASTER_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    const FourPointPlacement how{&view_,
                                 0.5 * static_cast<double>(pipeline_.point_size),
                                 static_cast<double>(target_.width),
                                 static_cast<double>(target_.height),
                                 depth_fast_,
                                 observer_norm2_,
                                 depth_scale_};
    for (; i + 4 <= count; i += 4) {
      const int placed =
          placeFour(q.positions.data() + i, q.colors.data() + i, how, q.records.data() + drawn);
      if (placed >= 0) {
        drawn += static_cast<std::size_t>(placed);
      } else {
        for (std::size_t k = 0; k < 4; ++k) placeOne(i + k);
      }
    }
  }
#endif
  for (; i < count; ++i) placeOne(i);
  return drawn;
}

namespace {

// Tiles of the image that points are drawn by: a tile's depths and colours stay in the cache
// while its points are drawn.
constexpr std::uint32_t kTileWidth = 64;
constexpr std::uint32_t kTileHeight = 32;

}  // namespace

#ifdef ORV_RASTER_AVX2
namespace {

// Rasteriser::drawPointHalf of each of `records` within the tile `bounds` (left, right, top,
// bottom), in their order, with the processor's conversions to halfs: the same steps.
[[gnu::target("avx2,f16c")]] void drawTileHalf(std::span<const PointQueue::Record> records,
                                               std::array<std::uint32_t, 4> bounds,
                                               const RenderTarget& target, const DepthCue& cue,
                                               bool write_depth) noexcept {
  const auto [left, right, top, bottom] = bounds;
  float* const depths = target.depth;
  std::byte* const texels = target.colors[0].texels;
  const std::size_t width = target.width;
  for (const PointQueue::Record& r : records) {
    const std::uint32_t x0 = std::max(r.x0, left);
    const std::uint32_t x1 = std::min(r.x1, right);
    const std::uint32_t y0 = std::max(r.y0, top);
    const std::uint32_t y1 = std::min(r.y1, bottom);
    const float depth = r.depth;
    std::array<std::byte, 8> texel{};
    bool encoded = false;
    for (std::size_t py = y0; py < y1; ++py) {
      const std::size_t row = py * width;
      for (std::size_t px = x0; px < x1; ++px) {
        const std::size_t index = row + px;
        if (!(depth <= depths[index])) continue;
        if (write_depth) depths[index] = depth;
        if (!encoded) {
          if (!storeCuedHalfs(texel.data(), cue, depth, r.color)) {
            storeColor(texel.data(), Format::rgba16_float, 0, depthCued(cue, depth, r.color));
          }
          encoded = true;
        }
        std::memcpy(texels + index * 8, texel.data(), 8);
      }
    }
  }
}

}  // namespace
#endif

void Rasteriser::flush() noexcept { drawQueue(); }

void Rasteriser::drawQueue() noexcept {
  if (queue_ == nullptr || queue_->gathered == 0) return;
  PointQueue& q = *queue_;
  const std::span<const PointQueue::Record> records(q.records.data(), placeGathered());
  q.gathered = 0;
  const std::uint32_t tiles_x = (target_.width + kTileWidth - 1) / kTileWidth;
  const std::uint32_t tiles_y = (target_.height + kTileHeight - 1) / kTileHeight;
  const std::size_t tiles = std::size_t{tiles_x} * tiles_y;
  bool binned = true;
  try {
    q.starts.assign(tiles + 1, 0);
    for (const PointQueue::Record& r : records) {
      for (std::uint32_t ty = r.y0 / kTileHeight; ty <= (r.y1 - 1) / kTileHeight; ++ty) {
        for (std::uint32_t tx = r.x0 / kTileWidth; tx <= (r.x1 - 1) / kTileWidth; ++tx) {
          ++q.starts[std::size_t{ty} * tiles_x + tx + 1];
        }
      }
    }
    for (std::size_t t = 0; t < tiles; ++t) q.starts[t + 1] += q.starts[t];
    q.binned.resize(q.starts[tiles]);
  } catch (...) {
    binned = false;
  }
  if (!binned) {
    // No memory to sort them by tile: in their order, one by one.
    for (const PointQueue::Record& r : records) drawPoint(r, r.x0, r.x1, r.y0, r.y1);
    return;
  }
  // Each tile's records in draw order, copied so that a tile's are drawn from consecutive memory:
  // the starts move up as they are filled, then move back.
  for (const PointQueue::Record& r : records) {
    for (std::uint32_t ty = r.y0 / kTileHeight; ty <= (r.y1 - 1) / kTileHeight; ++ty) {
      for (std::uint32_t tx = r.x0 / kTileWidth; tx <= (r.x1 - 1) / kTileWidth; ++tx) {
        q.binned[q.starts[std::size_t{ty} * tiles_x + tx]++] = r;
      }
    }
  }
  for (std::size_t t = tiles; t > 0; --t) q.starts[t] = q.starts[t - 1];
  q.starts[0] = 0;
  // The tiles that have points, in order; each one's depths and texels are asked for while the
  // one before it is drawn.
  const auto bounds = [&](std::size_t t) {
    const auto left = static_cast<std::uint32_t>(t % tiles_x) * kTileWidth;
    const auto top = static_cast<std::uint32_t>(t / tiles_x) * kTileHeight;
    return std::array<std::uint32_t, 4>{left, std::min(left + kTileWidth, target_.width), top,
                                        std::min(top + kTileHeight, target_.height)};
  };
  const auto nextTile = [&](std::size_t t) {
    while (t < tiles && q.starts[t] == q.starts[t + 1]) ++t;
    return t;
  };
  const auto prefetch = [&](std::size_t tile) {
    const auto [left, right, top, bottom] = bounds(tile);
    prefetchPoints(std::span(q.binned).subspan(q.starts[tile], q.starts[tile + 1] - q.starts[tile]),
                   left, top, bottom);
  };
  const bool half = halfPoints();
#ifdef ORV_RASTER_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  const bool half_tiles = half && avx2 && hasHalfConversion();
#endif
  std::size_t t = nextTile(0);
  if (t < tiles) prefetch(t);
  while (t < tiles) {
    const std::size_t next = nextTile(t + 1);
    if (next < tiles) prefetch(next);
    const auto [left, right, top, bottom] = bounds(t);
#ifdef ORV_RASTER_AVX2
    if (half_tiles) {
      drawTileHalf(std::span(q.binned).subspan(q.starts[t], q.starts[t + 1] - q.starts[t]),
                   {left, right, top, bottom}, target_, cue_, write_depth_);
      t = next;
      continue;
    }
#endif
    for (std::uint32_t k = q.starts[t]; k < q.starts[t + 1]; ++k) {
      const PointQueue::Record& r = q.binned[k];
      const std::uint32_t x0 = std::max(r.x0, left);
      const std::uint32_t x1 = std::min(r.x1, right);
      const std::uint32_t y0 = std::max(r.y0, top);
      const std::uint32_t y1 = std::min(r.y1, bottom);
      if (half) {
        drawPointHalf(r, x0, x1, y0, y1);
      } else {
        drawPoint(r, x0, x1, y0, y1);
      }
    }
    t = next;
  }
}

void Rasteriser::prefetchPoints(std::span<const PointQueue::Record> records, std::uint32_t left,
                                std::uint32_t top, std::uint32_t bottom) const noexcept {
  // Asks for the depths and texels the tile's points start at on each of their rows, all at once
  // rather than one miss after another as the points reach them; changes nothing.
  const std::byte* const texels = target_.colors.empty() ? nullptr : target_.colors[0].texels;
  const std::size_t size = texels == nullptr ? 0 : texelSize(target_.colors[0].format);
  for (const PointQueue::Record& r : records) {
    const std::uint32_t first = std::max(r.y0, top);
    const std::uint32_t end = std::min(r.y1, bottom);
    std::size_t index = std::size_t{first} * target_.width + std::max(r.x0, left);
    for (std::uint32_t y = first; y < end; ++y, index += target_.width) {
      if (target_.depth != nullptr) __builtin_prefetch(target_.depth + index, 1);
      if (texels != nullptr) __builtin_prefetch(texels + index * size, 1);
    }
  }
}

bool Rasteriser::halfPoints() const noexcept {
  return !pipeline_.blend_enabled && target_.colors.size() == 1 &&
         target_.colors[0].format == Format::rgba16_float && test_depth_ &&
         pipeline_.depth.depth_compare == CompareOp::less_equal;
}

void Rasteriser::drawPointHalf(const PointQueue::Record& r, std::uint32_t x0, std::uint32_t x1,
                               std::uint32_t y0, std::uint32_t y1) noexcept {
  // drawPoint for one rgba16_float attachment and a less_equal depth test: the same steps.
  const float depth = r.depth;
  std::array<std::byte, 8> texel{};
  bool encoded = false;
  std::byte* const texels = target_.colors[0].texels;
  for (std::size_t py = y0; py < y1; ++py) {
    const std::size_t row = py * target_.width;
    for (std::size_t px = x0; px < x1; ++px) {
      const std::size_t index = row + px;
      if (!(depth <= target_.depth[index])) continue;
      if (write_depth_) target_.depth[index] = depth;
      if (!encoded) {
        storeCuedHalf(texel.data(), cue_, depth, r.color);
        encoded = true;
      }
      std::memcpy(texels + index * 8, texel.data(), 8);
    }
  }
}

void Rasteriser::drawPoint(const PointQueue::Record& r, std::uint32_t x0, std::uint32_t x1,
                           std::uint32_t y0, std::uint32_t y1) noexcept {
  const float depth = r.depth;
  if (pipeline_.blend_enabled || target_.colors.size() > kMaxPointAttachments) {
    for (std::size_t py = y0; py < y1; ++py) {
      for (std::size_t px = x0; px < x1; ++px) fragment(px, py, depth, r.color);
    }
    return;
  }
  if (halfPoints()) {
    drawPointHalf(r, x0, x1, y0, y1);  // the demo's targets, with less work per fragment
    return;
  }
  // Unblended, every fragment of a point stores the same texels: its colour, cued by its one
  // depth, is converted to each attachment's format once, when the first fragment passes.
  std::array<std::array<std::byte, 16>, kMaxPointAttachments> texel;
  bool encoded = false;
  for (std::size_t py = y0; py < y1; ++py) {
    for (std::size_t px = x0; px < x1; ++px) {
      const std::size_t index = py * target_.width + px;
      if (test_depth_) {
        if (!compare(pipeline_.depth.depth_compare, depth, target_.depth[index])) continue;
        if (write_depth_) target_.depth[index] = depth;
      }
      if (!encoded) {
        const Rgba cued = depthCued(cue_, depth, r.color);
        for (std::size_t k = 0; k < target_.colors.size(); ++k) {
          storeColor(texel[k].data(), target_.colors[k].format, 0, cued);
        }
        encoded = true;
      }
      for (std::size_t k = 0; k < target_.colors.size(); ++k) {
        const ColorAttachment& attachment = target_.colors[k];
        const std::size_t size = texelSize(attachment.format);
        std::memcpy(attachment.texels + index * size, texel[k].data(), size);
      }
    }
  }
}

void Rasteriser::line(const HomVec4& a, const Rgba& color_a, const HomVec4& b,
                      const Rgba& color_b) noexcept {
  flush();
  segment(vertex(facing(a), color_a), vertex(facing(b), color_b));
}

void Rasteriser::geodesic(const HomVec4& a, const Rgba& color_a, const HomVec4& b,
                          const Rgba& color_b) noexcept {
  flush();
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
  // Each pixel is shaded by where along the segment its centre lies, not by the triangles'
  // weights, four at a time.
  const BandShading band{p0.q,   p1.q,     p0.color, p1.color, s0->x, s0->y, s0->inv_w,
                         s1->inv_w, dx, dy,   length_sq};
  std::array<std::size_t, 4> xs{};
  std::array<std::size_t, 4> ys{};
  std::size_t waiting = 0;
  const auto cover = coverage<false>([&](std::size_t x, std::size_t y, double, double, double) {
    xs[waiting] = x;
    ys[waiting] = y;
    if (++waiting == xs.size()) {
      bandFragments(band, xs, ys, waiting);
      waiting = 0;
    }
  });
  coverTriangle({corner[0], corner[1], corner[2]}, target_.width, target_.height, cover);
  coverTriangle({corner[0], corner[2], corner[3]}, target_.width, target_.height, cover);
  if (waiting > 0) bandFragments(band, xs, ys, waiting);
}

#ifdef ORV_RASTER_AVX2
namespace {

// The four points x, y, z, w (a coordinate per register, lane k holding point k) into `q`.
[[gnu::target("avx2")]] inline void storeFourPoints(__m256d x, __m256d y, __m256d z, __m256d w,
                                                    HomVec4* q) noexcept {
  const __m256d xy_even = _mm256_unpacklo_pd(x, y);  // x0 y0 x2 y2
  const __m256d xy_odd = _mm256_unpackhi_pd(x, y);   // x1 y1 x3 y3
  const __m256d zw_even = _mm256_unpacklo_pd(z, w);
  const __m256d zw_odd = _mm256_unpackhi_pd(z, w);
  auto* out = reinterpret_cast<double*>(q);
  _mm256_storeu_pd(out, _mm256_permute2f128_pd(xy_even, zw_even, 0x20));
  _mm256_storeu_pd(out + 4, _mm256_permute2f128_pd(xy_odd, zw_odd, 0x20));
  _mm256_storeu_pd(out + 8, _mm256_permute2f128_pd(xy_even, zw_even, 0x31));
  _mm256_storeu_pd(out + 12, _mm256_permute2f128_pd(xy_odd, zw_odd, 0x31));
}

// (1 - t) a + t b of four lanes, s = 1 - t.
[[gnu::target("avx2")]] inline __m256d mix4(__m256d s, __m256d t, double a, double b) noexcept {
  return _mm256_add_pd(_mm256_mul_pd(s, _mm256_set1_pd(a)), _mm256_mul_pd(t, _mm256_set1_pd(b)));
}

// Rasteriser::bandFragments's shading of four pixel centres (cx[k], cy[k]), lane by lane the same
// steps as one at a time: the points seen there into `q`, their colours into `color` and their
// depths into `depth`. Returns the lanes whose depths the fast path leaves undecided (all where
// it may not be taken), for Rasteriser::pointDepth.
[[gnu::target("avx2")]] unsigned shadeBand4(const Rasteriser::BandShading& band, const double* cx,
                                             const double* cy, const HomVec4& observer,
                                             double observer_norm2, double near, double scale,
                                             bool fast_depth, HomVec4* q, Rgba* color,
                                             float* depth) noexcept {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d px = _mm256_sub_pd(_mm256_loadu_pd(cx), _mm256_set1_pd(band.x0));
  const __m256d py = _mm256_sub_pd(_mm256_loadu_pd(cy), _mm256_set1_pd(band.y0));
  const __m256d along = _mm256_add_pd(_mm256_mul_pd(px, _mm256_set1_pd(band.dx)),
                                      _mm256_mul_pd(py, _mm256_set1_pd(band.dy)));
  const __m256d sigma = clampUnit4(_mm256_div_pd(along, _mm256_set1_pd(band.length_sq)));
  const __m256d w0 = _mm256_mul_pd(_mm256_sub_pd(one, sigma), _mm256_set1_pd(band.inv_w0));
  const __m256d w1 = _mm256_mul_pd(sigma, _mm256_set1_pd(band.inv_w1));
  const __m256d t = _mm256_div_pd(w1, _mm256_add_pd(w0, w1));
  const __m256d s = _mm256_sub_pd(one, t);
  const __m256d x = mix4(s, t, band.q0.x, band.q1.x);
  const __m256d y = mix4(s, t, band.q0.y, band.q1.y);
  const __m256d z = mix4(s, t, band.q0.z, band.q1.z);
  const __m256d w = mix4(s, t, band.q0.w, band.q1.w);
  storeFourPoints(x, y, z, w, q);
  __m128 channel[4];
  for (std::size_t c = 0; c < 4; ++c) {
    channel[c] = _mm256_cvtpd_ps(mix4(s, t, static_cast<double>(band.c0[c]),
                                      static_cast<double>(band.c1[c])));
  }
  _MM_TRANSPOSE4_PS(channel[0], channel[1], channel[2], channel[3]);
  for (std::size_t k = 0; k < 4; ++k) _mm_storeu_ps(color[k].data(), channel[k]);
  if (!fast_depth) return 0xFu;
  __m128 depths;
  const unsigned undecided = fastDepths4(x, y, z, w, observer, observer_norm2, near, scale, depths);
  _mm_storeu_ps(depth, depths);
  return undecided;
}

// Rasteriser::fragment of the `count` fragments at (x[k], y[k]) with depths `depth` and colours
// `color`, in order, into one unblended rgba16_float attachment, with the processor's conversions:
// the same steps.
[[gnu::target("avx2,f16c")]] void storeHalfFragments(const RenderTarget& target,
                                                     const DepthCue& cue, bool test_depth,
                                                     bool write_depth, CompareOp op,
                                                     const std::size_t* x, const std::size_t* y,
                                                     const float* depth, const Rgba* color,
                                                     std::size_t count) noexcept {
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t index = y[k] * target.width + x[k];
    if (test_depth) {
      if (!compare(op, depth[k], target.depth[index])) continue;
      if (write_depth) target.depth[index] = depth[k];
    }
    std::byte* const texel = target.colors[0].texels + index * 8;
    if (!storeCuedHalfs(texel, cue, depth[k], color[k])) {
      storeColor(texel, Format::rgba16_float, 0, depthCued(cue, depth[k], color[k]));
    }
  }
}

}  // namespace
#endif

void Rasteriser::bandFragments(const BandShading& band, const std::array<std::size_t, 4>& x,
                               const std::array<std::size_t, 4>& y, std::size_t count) noexcept {
#ifdef ORV_RASTER_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    std::array<double, 4> cx{};
    std::array<double, 4> cy{};
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t from = k < count ? k : 0;  // lanes beyond `count` repeat the first
      cx[k] = static_cast<double>(x[from]) + 0.5;
      cy[k] = static_cast<double>(y[from]) + 0.5;
    }
    std::array<HomVec4, 4> q{};
    std::array<Rgba, 4> color{};
    std::array<float, 4> depth{};
    const unsigned undecided =
        shadeBand4(band, cx.data(), cy.data(), view_.observer, observer_norm2_, view_.near_fs,
                   depth_scale_, depth_fast_, q.data(), color.data(), depth.data());
    if (undecided == 0 && !pipeline_.blend_enabled && target_.colors.size() == 1 &&
        target_.colors[0].format == Format::rgba16_float && hasHalfConversion()) {
      storeHalfFragments(target_, cue_, test_depth_, write_depth_, pipeline_.depth.depth_compare,
                         x.data(), y.data(), depth.data(), color.data(), count);
      return;
    }
    for (std::size_t k = 0; k < count; ++k) {
      fragment(x[k], y[k], (undecided >> k & 1u) != 0 ? pointDepth(q[k]) : depth[k], color[k]);
    }
    return;
  }
#endif
  for (std::size_t k = 0; k < count; ++k) {
    // Where along the segment the pixel centre lies, then the point there in four dimensions.
    const double px = static_cast<double>(x[k]) + 0.5 - band.x0;
    const double py = static_cast<double>(y[k]) + 0.5 - band.y0;
    const double sigma = std::clamp((px * band.dx + py * band.dy) / band.length_sq, 0.0, 1.0);
    const double w0 = (1.0 - sigma) * band.inv_w0;
    const double w1 = sigma * band.inv_w1;
    const double t = w1 / (w0 + w1);
    fragment(x[k], y[k], pointDepth(mix(band.q0, band.q1, t)), mix(band.c0, band.c1, t));
  }
}

void Rasteriser::triangle(const HomVec4& a, const Rgba& color_a, const HomVec4& b,
                          const Rgba& color_b, const HomVec4& c, const Rgba& color_c) noexcept {
  flush();
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
                  coverage<true>([&](std::size_t x, std::size_t y, double l0, double l1, double l2) {
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
                  }));
  }
  resolveFragments();
}

void Rasteriser::fragment(std::size_t x, std::size_t y, const HomVec4& q, const Rgba& color) noexcept {
  pending_q_[pending_count_] = q;
  pending_[pending_count_] = {x, y, color};
  if (++pending_count_ == pending_.size()) resolveFragments();
}

void Rasteriser::resolveFragments() noexcept {
  std::array<float, kPending> depth{};
  pointDepths(pending_q_.data(), depth.data(), pending_count_);
  for (std::size_t k = 0; k < pending_count_; ++k) {
    fragment(pending_[k].x, pending_[k].y, depth[k], pending_[k].color);
  }
  pending_count_ = 0;
}

void Rasteriser::fragment(std::size_t x, std::size_t y, float depth, const Rgba& incoming) noexcept {
  const std::size_t index = y * target_.width + x;
  if (test_depth_) {
    if (!compare(pipeline_.depth.depth_compare, depth, target_.depth[index])) return;
    if (write_depth_) target_.depth[index] = depth;
  }
  if (!pipeline_.blend_enabled && target_.colors.size() == 1 &&
      target_.colors[0].format == Format::rgba16_float) {
    storeCuedHalf(target_.colors[0].texels + index * 8, cue_, depth, incoming);  // the usual target
    return;
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
