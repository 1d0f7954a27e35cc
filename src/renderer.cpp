#include "orv/renderer.hpp"

#include "renderer_internal.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <utility>

namespace orv::renderer {

using kernel::fsDistance;
using kernel::W_EPS;

namespace {

// Vectors at most this long count as degenerate.
constexpr double kDegenerateNorm = 1e-15;

// a + k*b and a - k*b, component by component, each product rounded before the sum.
HomVec4 plusScaled(const HomVec4& a, double k, const HomVec4& b) noexcept {
  return HomVec4::init(a.x + k * b.x, a.y + k * b.y, a.z + k * b.z, a.w + k * b.w);
}
HomVec4 minusScaled(const HomVec4& a, double k, const HomVec4& b) noexcept {
  return HomVec4::init(a.x - k * b.x, a.y - k * b.y, a.z - k * b.z, a.w - k * b.w);
}

// The side plane through `position` with normal `n`.
ProjectiveHyperplane planeThrough(const HomVec4& n, const HomVec4& position) noexcept {
  return ProjectiveHyperplane::init(n.x, n.y, n.z, -n.dot(position));
}

}  // namespace

// --- Camera ------------------------------------------------------------------------------------

OrvCamera OrvCamera::init(const HomVec4& position, const HomVec4& forward, const HomVec4& up,
                          double fov, double aspect, double near_fs, double far_fs) noexcept {
  const HomVec4 p =
      position.norm() > kDegenerateNorm ? position.normalize() : HomVec4::init(0, 0, 0, 1);

  HomVec4 f = minusScaled(forward, forward.dot(p), p);
  if (f.norm() > kDegenerateNorm) f = f.normalize();

  HomVec4 u = minusScaled(up, up.dot(p), p);
  u = minusScaled(u, u.dot(f), f);
  if (u.norm() > kDegenerateNorm) u = u.normalize();

  const HomVec4 r = HomVec4::init(f.y * u.z - f.z * u.y, f.z * u.x - f.x * u.z,
                                  f.x * u.y - f.y * u.x, 0.0);
  const HomVec4 right = r.norm() > kDegenerateNorm ? r.normalize() : HomVec4::init(1, 0, 0, 0);

  return {p, f, u, right, fov, aspect, near_fs, far_fs, PGL4::identity(), true};
}

OrvCamera OrvCamera::makeDefault() noexcept {
  // 1.0471975511965979 is the double nearest pi/3; dividing the double nearest pi by 3 gives one
  // unit in the last place less.
  return init(HomVec4::init(0, 0, 0, 1), HomVec4::init(0, 0, -1, 0), HomVec4::init(0, 1, 0, 0),
              1.0471975511965979, 16.0 / 9.0, 0.01, 1000.0);
}

void OrvCamera::updateViewMatrix() noexcept {
  if (!dirty) return;
  const double tx = -right.dot(position);
  const double ty = -up.dot(position);
  const double tz = -forward.dot(position);
  view_pgl4 = PGL4::init({right.x, up.x, -forward.x, 0.0, right.y, up.y, -forward.y, 0.0, right.z,
                          up.z, -forward.z, 0.0, tx, ty, tz, 1.0});
  dirty = false;
}

namespace {

// Rotates `position` by `ds` radians toward `direction` along their great circle.
void moveAlong(OrvCamera& camera, const HomVec4& direction, double ds) noexcept {
  const double c = std::cos(ds);
  const double s = std::sin(ds);
  const HomVec4& p = camera.position;
  const HomVec4 moved = HomVec4::init(c * p.x + s * direction.x, c * p.y + s * direction.y,
                                      c * p.z + s * direction.z, c * p.w + s * direction.w);
  if (moved.norm() > kDegenerateNorm) camera.position = moved.normalize();
  camera.dirty = true;
}

}  // namespace

void OrvCamera::moveForward(double ds) noexcept { moveAlong(*this, forward, ds); }

void OrvCamera::moveRight(double ds) noexcept { moveAlong(*this, right, ds); }

double OrvCamera::distanceTo(const HomVec4& point) const noexcept {
  return fsDistance(position, point);
}

// --- Frustum -----------------------------------------------------------------------------------

OrvFrustum OrvFrustum::fromCamera(const OrvCamera& camera) noexcept {
  const double half_fov = camera.fov / 2.0;
  const double half_fov_ver = half_fov / camera.aspect;
  const double tan_h = std::tan(half_fov);
  const double tan_v = std::tan(half_fov_ver);
  const HomVec4& f = camera.forward;
  const HomVec4& p = camera.position;
  return {{planeThrough(plusScaled(f, tan_h, camera.right), p),
           planeThrough(minusScaled(f, tan_h, camera.right), p),
           planeThrough(minusScaled(f, tan_v, camera.up), p),
           planeThrough(plusScaled(f, tan_v, camera.up), p)},
          camera.near_fs,
          camera.far_fs,
          p};
}

bool OrvFrustum::isSphereVisible(const HomVec4& center, double fs_radius) const noexcept {
  for (const ProjectiveHyperplane& plane : planes) {
    const double val = plane.evaluate(center);
    const double plane_norm =
        std::sqrt(((plane.a * plane.a + plane.b * plane.b) + plane.c * plane.c) + plane.d * plane.d);
    if (-fs_radius * plane_norm > val) return false;
  }
  const double d = fsDistance(observer, center);
  if (near_fs > d + fs_radius) return false;
  if (d - fs_radius > far_fs) return false;
  return true;
}

OrvFrustum OrvFrustum::transformBy(const PGL4& m) const noexcept {
  return {{planes[0].transformBy(m), planes[1].transformBy(m), planes[2].transformBy(m),
           planes[3].transformBy(m)},
          near_fs,
          far_fs,
          m.apply(observer)};
}

// --- Observer ----------------------------------------------------------------------------------

namespace {

// A part of a vector left after removing components counts as missing when it is at most this
// share of the vector's length: the vector then lies within about this many radians of what was
// removed, and the rounding of its coordinates (about 1e-16 of its length) would decide the
// direction of what is left.
constexpr double kParallelTolerance = 1e-12;

bool isFinite(const HomVec4& v) noexcept {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
}

// `v` times the power of two that brings its largest coordinate magnitude into [1, 2): the same
// point, exactly, with sums of squares that neither overflow nor underflow. Zero stays zero.
HomVec4 scaledToUnitRange(const HomVec4& v) noexcept {
  const double largest = std::fmax(std::fmax(std::fabs(v.x), std::fabs(v.y)),
                                   std::fmax(std::fabs(v.z), std::fabs(v.w)));
  if (largest == 0.0) return v;
  const int e = std::ilogb(largest);
  return HomVec4::init(std::ldexp(v.x, -e), std::ldexp(v.y, -e), std::ldexp(v.z, -e),
                       std::ldexp(v.w, -e));
}

// `v` without its component along the unit vector `u`: v - (v.u) u.
HomVec4 withoutComponent(const HomVec4& v, const HomVec4& u) noexcept {
  return minusScaled(v, v.dot(u), u);
}

HomVec4 negated(const HomVec4& v) noexcept { return HomVec4::init(-v.x, -v.y, -v.z, -v.w); }

// The vector r orthogonal to p, f and u with det[p; f; u; r] = -|r|^2, which makes the matrix with
// the rows r, u, -f, p a rotation: the negated cofactors of the last row of that determinant,
// from the 2x2 minors of p and f.
HomVec4 completingRight(const HomVec4& p, const HomVec4& f, const HomVec4& u) noexcept {
  const double m01 = p.x * f.y - p.y * f.x;
  const double m02 = p.x * f.z - p.z * f.x;
  const double m03 = p.x * f.w - p.w * f.x;
  const double m12 = p.y * f.z - p.z * f.y;
  const double m13 = p.y * f.w - p.w * f.y;
  const double m23 = p.z * f.w - p.w * f.z;
  return HomVec4::init((u.y * m23 - u.z * m13) + u.w * m12, (u.z * m03 - u.x * m23) - u.w * m02,
                       (u.x * m13 - u.y * m03) + u.w * m01, (u.y * m02 - u.x * m12) - u.z * m01);
}

// An angle of view clamped to [0, pi], NaN counting as 0.
double clampedAngleOfView(double angle) noexcept {
  if (!(angle > 0.0)) return 0.0;
  return angle < std::numbers::pi ? angle : std::numbers::pi;
}

}  // namespace

std::string_view describe(ObserverError error) noexcept {
  switch (error) {
    case ObserverError::non_finite:
      return "a coordinate of the observer's position, forward or up is infinite or NaN";
    case ObserverError::zero_position:
      return "the observer's position is the zero vector, which is no point";
    case ObserverError::forward_parallel_to_position:
      return "the observer's forward is zero or parallel to its position: no direction to look in";
    case ObserverError::up_parallel_to_forward:
      return "the observer's up is zero or in the plane of its position and forward: no up";
  }
  return "unknown observer error";
}

std::expected<Observer, ObserverError> Observer::init(const HomVec4& position,
                                                      const HomVec4& forward,
                                                      const HomVec4& up) noexcept {
  if (!isFinite(position) || !isFinite(forward) || !isFinite(up)) {
    return std::unexpected(ObserverError::non_finite);
  }
  const HomVec4 p_scaled = scaledToUnitRange(position);
  if (p_scaled.norm() == 0.0) return std::unexpected(ObserverError::zero_position);
  const HomVec4 p = p_scaled.normalize();

  // Each residual is taken twice: when most of the vector is removed, the second pass removes
  // what the rounding of the first left behind.
  const HomVec4 f_scaled = scaledToUnitRange(forward);
  const HomVec4 f_rest = withoutComponent(withoutComponent(f_scaled, p), p);
  if (!(f_rest.norm() > kParallelTolerance * f_scaled.norm())) {
    return std::unexpected(ObserverError::forward_parallel_to_position);
  }
  const HomVec4 f = f_rest.normalize();

  const HomVec4 u_scaled = scaledToUnitRange(up);
  HomVec4 u_rest = withoutComponent(withoutComponent(u_scaled, p), f);
  u_rest = withoutComponent(withoutComponent(u_rest, p), f);
  if (!(u_rest.norm() > kParallelTolerance * u_scaled.norm())) {
    return std::unexpected(ObserverError::up_parallel_to_forward);
  }
  const HomVec4 u = u_rest.normalize();

  Observer observer;
  observer.position_ = p;
  observer.forward_ = f;
  observer.up_ = u;
  observer.right_ = completingRight(p, f, u).normalize();
  return observer;
}

void Observer::rotateFrame(HomVec4& a, HomVec4& b, double angle) noexcept {
  if (!std::isfinite(angle)) return;
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  const HomVec4 a0 = a;
  a = HomVec4::init(c * a0.x + s * b.x, c * a0.y + s * b.y, c * a0.z + s * b.z, c * a0.w + s * b.w);
  b = HomVec4::init(c * b.x - s * a0.x, c * b.y - s * a0.y, c * b.z - s * a0.z, c * b.w - s * a0.w);
  // One Gram-Schmidt pass: the rotation leaves the frame orthonormal up to its rounding, and this
  // removes that rounding before the next operation can add to it.
  position_ = position_.normalize();
  forward_ = withoutComponent(forward_, position_).normalize();
  up_ = withoutComponent(withoutComponent(up_, position_), forward_).normalize();
  right_ = withoutComponent(withoutComponent(withoutComponent(right_, position_), forward_), up_)
               .normalize();
}

void Observer::moveForward(double angle) noexcept { rotateFrame(position_, forward_, angle); }
void Observer::moveRight(double angle) noexcept { rotateFrame(position_, right_, angle); }
void Observer::moveUp(double angle) noexcept { rotateFrame(position_, up_, angle); }
void Observer::yaw(double angle) noexcept { rotateFrame(forward_, right_, angle); }
void Observer::pitch(double angle) noexcept { rotateFrame(forward_, up_, angle); }
void Observer::roll(double angle) noexcept { rotateFrame(up_, right_, angle); }

PGL4 Observer::frame() const noexcept {
  return kernel::pglFromFrame(right_, up_, negated(forward_), position_);
}

PGL4 Observer::view() const noexcept { return frame().inverseOrthogonal(); }

OrvFrustum Observer::frustum(double horizontal_angle, double vertical_angle, double near_fs,
                             double far_fs) const noexcept {
  const double half_h = clampedAngleOfView(horizontal_angle) / 2.0;
  const double half_v = clampedAngleOfView(vertical_angle) / 2.0;
  const double ch = std::cos(half_h);
  const double sh = std::sin(half_h);
  const double cv = std::cos(half_v);
  const double sv = std::sin(half_v);
  // At the origin, looking down -z: a point (x, y, z, w) ahead at depth -z is kept while
  // |x| <= tan(half_h) * -z and |y| <= tan(half_v) * -z.
  const OrvFrustum canonical{{ProjectiveHyperplane::init(ch, 0, -sh, 0),
                              ProjectiveHyperplane::init(-ch, 0, -sh, 0),
                              ProjectiveHyperplane::init(0, -cv, -sv, 0),
                              ProjectiveHyperplane::init(0, cv, -sv, 0)},
                             near_fs,
                             far_fs,
                             HomVec4::init(0, 0, 0, 1)};
  // frame() is the transpose of view(), to the bit.
  return canonical.transformBy(frame());
}

double verticalAngleOfView(double horizontal_angle, double aspect) noexcept {
  if (!(aspect > 0.0)) return 0.0;
  return 2.0 * std::atan(std::tan(clampedAngleOfView(horizontal_angle) / 2.0) / aspect);
}

// --- Depth and W-visibility --------------------------------------------------------------------

double fsDepth(const HomVec4& observer, const HomVec4& point, double near_fs,
               double far_fs) noexcept {
  return fsDepthOfDistance(fsDistance(observer, point), near_fs, far_fs);
}

double fsDepthOfDistance(double d, double near_fs, double far_fs) noexcept {
  if (near_fs >= d) return 0.0;
  if (d >= far_fs) return 1.0;
  return (d - near_fs) / (far_fs - near_fs);
}

double fsDepthToDistance(double depth, double near_fs, double far_fs) noexcept {
  return near_fs + depth * (far_fs - near_fs);
}

WVisibilityClass wVisibility(const HomVec4& point) noexcept {
  if (point.w > W_EPS) return WVisibilityClass::in_front;
  if (point.w < -W_EPS) return WVisibilityClass::behind;
  return WVisibilityClass::at_infinity;
}

// --- Culling and clipping ----------------------------------------------------------------------
//
// Both operations test every point against a few planes and write one flag per point. The baseline
// evaluates point by point. Against one plane the AVX2 path transposes four points into registers
// of x, y, z and w (the AVX-512 path eight, against any number of planes) and evaluates the plane
// for all of them at once; against the frustum's four planes it evaluates one point at a time, one
// plane per lane. Every lane does exactly the scalar operations ((a*x + b*y) + c*z) + d*w and the
// same ordered, NaN-false comparison with zero.

namespace {

template <std::size_t kPlanes>
std::uint32_t markInsideBaseline(const std::array<ProjectiveHyperplane, kPlanes>& planes,
                                 const HomVec4* points, bool* mask, std::size_t n) noexcept {
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    bool inside = true;
    for (const ProjectiveHyperplane& plane : planes) inside &= plane.isVisible(points[i]);
    mask[i] = inside;
    count += inside ? 1u : 0u;
  }
  return count;
}

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define ORV_RENDERER_AVX2 1

// How far ahead of the points in use the AVX-512 paths ask for memory: there the hardware
// prefetcher alone leaves them waiting on memory for part of each step. The AVX2 paths ask for
// nothing: on the AVX2 machines measured (AMD EPYC), asking slowed the frustum's pass from about
// 1.1 to about 1.9 times a streaming read. A prefetch never faults, past the end of the array too.
constexpr std::size_t kPrefetchBytes = 4096;

// Byte k of entry `bits` is bit k of `bits`: four mask flags from a 4-bit compare result.
constexpr std::array<std::uint32_t, 16> kFlagBytes = [] {
  std::array<std::uint32_t, 16> table{};
  for (std::uint32_t bits = 0; bits < 16; ++bits) {
    for (std::uint32_t k = 0; k < 4; ++k) table[bits] |= ((bits >> k) & 1u) << (8 * k);
  }
  return table;
}();

// The four planes of a frustum: one point per register, each coordinate broadcast from memory (a
// load that needs no shuffle) to meet the four planes' coefficients, one plane per lane. Against
// four points transposed into registers this saves the transposing shuffles and the merging of
// four compare results, a quarter of the vector instructions per point.
[[gnu::target("avx2")]] std::uint32_t markInsideFrustumAvx2(
    const std::array<ProjectiveHyperplane, 4>& planes, const HomVec4* points, bool* mask,
    std::size_t n) noexcept {
  const __m256d a = _mm256_setr_pd(planes[0].a, planes[1].a, planes[2].a, planes[3].a);
  const __m256d b = _mm256_setr_pd(planes[0].b, planes[1].b, planes[2].b, planes[3].b);
  const __m256d c = _mm256_setr_pd(planes[0].c, planes[1].c, planes[2].c, planes[3].c);
  const __m256d d = _mm256_setr_pd(planes[0].d, planes[1].d, planes[2].d, planes[3].d);
  const __m256d zero = _mm256_setzero_pd();
  std::uint32_t count = 0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    std::uint32_t flags = 0;
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) {
      const double* p = &points[i + k].x;
      const __m256d ab = _mm256_add_pd(_mm256_mul_pd(a, _mm256_broadcast_sd(p)),
                                       _mm256_mul_pd(b, _mm256_broadcast_sd(p + 1)));
      const __m256d abc = _mm256_add_pd(ab, _mm256_mul_pd(c, _mm256_broadcast_sd(p + 2)));
      const __m256d value = _mm256_add_pd(abc, _mm256_mul_pd(d, _mm256_broadcast_sd(p + 3)));
      const auto planes_passed =
          static_cast<std::uint32_t>(_mm256_movemask_pd(_mm256_cmp_pd(value, zero, _CMP_GE_OQ)));
      const std::uint32_t inside = (planes_passed + 1) >> 4;  // 1 when all four bits are set
      flags |= inside << (8 * k);
      count += inside;
    }
    std::memcpy(mask + i, &flags, 4);
  }
  count += markInsideBaseline(planes, points + i, mask + i, n - i);
  _mm256_zeroupper();  // as in markInsideAvx2 below
  return count;
}

template <std::size_t kPlanes>
[[gnu::target("avx2")]] std::uint32_t markInsideAvx2(
    const std::array<ProjectiveHyperplane, kPlanes>& planes, const HomVec4* points, bool* mask,
    std::size_t n) noexcept {
  __m256d a[kPlanes], b[kPlanes], c[kPlanes], d[kPlanes];
  for (std::size_t j = 0; j < kPlanes; ++j) {
    a[j] = _mm256_set1_pd(planes[j].a);
    b[j] = _mm256_set1_pd(planes[j].b);
    c[j] = _mm256_set1_pd(planes[j].c);
    d[j] = _mm256_set1_pd(planes[j].d);
  }
  const __m256d zero = _mm256_setzero_pd();
  std::uint32_t count = 0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    // Halves of points 0 and 2 in one register, of 1 and 3 in another, then in-lane unpacks:
    // 16-byte loads never straddle a cache line, and no shuffle crosses the 128-bit lanes.
    const double* p = &points[i].x;
    const __m256d xy02 = _mm256_loadu2_m128d(p + 8, p);       // x0 y0 x2 y2
    const __m256d xy13 = _mm256_loadu2_m128d(p + 12, p + 4);  // x1 y1 x3 y3
    const __m256d zw02 = _mm256_loadu2_m128d(p + 10, p + 2);  // z0 w0 z2 w2
    const __m256d zw13 = _mm256_loadu2_m128d(p + 14, p + 6);  // z1 w1 z3 w3
    const __m256d x = _mm256_unpacklo_pd(xy02, xy13);
    const __m256d y = _mm256_unpackhi_pd(xy02, xy13);
    const __m256d z = _mm256_unpacklo_pd(zw02, zw13);
    const __m256d w = _mm256_unpackhi_pd(zw02, zw13);
    __m256d inside = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    // Unrolled, so that the planes' coefficients stay in registers at -O2 too.
#pragma GCC unroll 4
    for (std::size_t j = 0; j < kPlanes; ++j) {
      const __m256d ab = _mm256_add_pd(_mm256_mul_pd(a[j], x), _mm256_mul_pd(b[j], y));
      const __m256d abc = _mm256_add_pd(ab, _mm256_mul_pd(c[j], z));
      const __m256d value = _mm256_add_pd(abc, _mm256_mul_pd(d[j], w));
      inside = _mm256_and_pd(inside, _mm256_cmp_pd(value, zero, _CMP_GE_OQ));
    }
    const auto bits = static_cast<std::uint32_t>(_mm256_movemask_pd(inside));
    std::memcpy(mask + i, &kFlagBytes[bits], 4);
    count += static_cast<std::uint32_t>(std::popcount(bits));
  }
  count += markInsideBaseline(planes, points + i, mask + i, n - i);
  // Leave the upper halves of the vector registers clean: code compiled without AVX that runs
  // after this (the caller's) would otherwise pay for every SIMD instruction. GCC 12 at -O2 leaves
  // this out of functions compiled for AVX by a target attribute.
  _mm256_zeroupper();
  return count;
}

// Eight points from `p` (x y z w each, one after another), one coordinate per register, lane k
// holding point k.
[[gnu::target("avx512f"), gnu::always_inline]] inline void loadEightPoints(
    const double* p, __m512d& x, __m512d& y, __m512d& z, __m512d& w) noexcept {
  // Lanes of unpacklo(points 0-1, points 2-3): x0 x2 z0 z2 x1 x3 z1 z3, and likewise for 4-7.
  const __m512i first_of_pair = _mm512_setr_epi64(0, 4, 1, 5, 8, 12, 9, 13);
  const __m512i second_of_pair = _mm512_setr_epi64(2, 6, 3, 7, 10, 14, 11, 15);
  const __m512d p01 = _mm512_loadu_pd(p);
  const __m512d p23 = _mm512_loadu_pd(p + 8);
  const __m512d p45 = _mm512_loadu_pd(p + 16);
  const __m512d p67 = _mm512_loadu_pd(p + 24);
  // The zero-masking forms with every lane selected are the plain unpacks; GCC 12 warns about
  // the undefined source of the plain forms.
  const __m512d xz03 = _mm512_maskz_unpacklo_pd(0xff, p01, p23);
  const __m512d yw03 = _mm512_maskz_unpackhi_pd(0xff, p01, p23);
  const __m512d xz47 = _mm512_maskz_unpacklo_pd(0xff, p45, p67);
  const __m512d yw47 = _mm512_maskz_unpackhi_pd(0xff, p45, p67);
  x = _mm512_permutex2var_pd(xz03, first_of_pair, xz47);
  z = _mm512_permutex2var_pd(xz03, second_of_pair, xz47);
  y = _mm512_permutex2var_pd(yw03, first_of_pair, yw47);
  w = _mm512_permutex2var_pd(yw03, second_of_pair, yw47);
}

// AVX-512: eight points per register. Two points fill a 512-bit load; in-lane unpacks and one
// two-source permute per coordinate put the eight x (y, z, w) in point order. The compares give
// mask bits directly, and pdep spreads them into eight flag bytes.
template <std::size_t kPlanes>
[[gnu::target("avx512f,bmi2")]] std::uint32_t markInsideAvx512(
    const std::array<ProjectiveHyperplane, kPlanes>& planes, const HomVec4* points, bool* mask,
    std::size_t n) noexcept {
  __m512d a[kPlanes], b[kPlanes], c[kPlanes], d[kPlanes];
  for (std::size_t j = 0; j < kPlanes; ++j) {
    a[j] = _mm512_set1_pd(planes[j].a);
    b[j] = _mm512_set1_pd(planes[j].b);
    c[j] = _mm512_set1_pd(planes[j].c);
    d[j] = _mm512_set1_pd(planes[j].d);
  }
  const __m512d zero = _mm512_setzero_pd();
  std::uint32_t count = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const double* p = &points[i].x;
    _mm_prefetch(reinterpret_cast<const char*>(p) + kPrefetchBytes, _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(p) + kPrefetchBytes + 128, _MM_HINT_T0);
    __m512d x, y, z, w;
    loadEightPoints(p, x, y, z, w);
    __mmask8 inside = 0xff;
    // Unrolled, so that the planes' coefficients stay in registers at -O2 too.
#pragma GCC unroll 4
    for (std::size_t j = 0; j < kPlanes; ++j) {
      const __m512d ab = _mm512_add_pd(_mm512_mul_pd(a[j], x), _mm512_mul_pd(b[j], y));
      const __m512d abc = _mm512_add_pd(ab, _mm512_mul_pd(c[j], z));
      const __m512d value = _mm512_add_pd(abc, _mm512_mul_pd(d[j], w));
      inside = _mm512_mask_cmp_pd_mask(inside, value, zero, _CMP_GE_OQ);
    }
    const auto bits = static_cast<std::uint32_t>(inside);
    const std::uint64_t flags = _pdep_u64(bits, 0x0101010101010101ULL);
    std::memcpy(mask + i, &flags, 8);
    count += static_cast<std::uint32_t>(std::popcount(bits));
  }
  count += markInsideAvx2(planes, points + i, mask + i, n - i);
  _mm256_zeroupper();  // as in markInsideAvx2
  return count;
}

bool cpuHasAvx2() noexcept {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

bool cpuHasAvx512() noexcept {
  static const bool has = cpuHasAvx2() && __builtin_cpu_supports("avx512f") &&
                          __builtin_cpu_supports("bmi2");
  return has;
}
#endif

template <std::size_t kPlanes>
std::uint32_t markInside(BatchPath path, const std::array<ProjectiveHyperplane, kPlanes>& planes,
                         std::span<const HomVec4> positions, std::span<bool> mask) noexcept {
  const std::size_t n = std::min(positions.size(), mask.size());
#ifdef ORV_RENDERER_AVX2
  if (path == BatchPath::avx512 && cpuHasAvx512()) {
    return markInsideAvx512(planes, positions.data(), mask.data(), n);
  }
  if (path == BatchPath::avx2 && cpuHasAvx2()) {
    if constexpr (kPlanes == 4) {
      return markInsideFrustumAvx2(planes, positions.data(), mask.data(), n);
    } else {
      return markInsideAvx2(planes, positions.data(), mask.data(), n);
    }
  }
#endif
  (void)path;
  return markInsideBaseline(planes, positions.data(), mask.data(), n);
}

BatchPath bestPath() noexcept {
  if (isSupported(BatchPath::avx512)) return BatchPath::avx512;
  return isSupported(BatchPath::avx2) ? BatchPath::avx2 : BatchPath::baseline;
}

}  // namespace

bool isSupported(BatchPath path) noexcept {
  switch (path) {
    case BatchPath::baseline: return true;
    case BatchPath::avx2:
#ifdef ORV_RENDERER_AVX2
      return cpuHasAvx2();
#else
      return false;
#endif
    case BatchPath::avx512:
#ifdef ORV_RENDERER_AVX2
      return cpuHasAvx512();
#else
      return false;
#endif
  }
  return false;
}

void faceObserver(const HomVec4& observer, std::span<const HomVec4> points,
                  std::span<HomVec4> out) noexcept {
  const HomVec4 eye = observer;  // `observer` may itself be an element of `out`
  const std::size_t n = std::min(points.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = facing(eye, points[i]);
}

void faceObserver(const OrvFrustum& frustum, std::span<const HomVec4> points,
                  std::span<HomVec4> out) noexcept {
  const OrvFrustum view = frustum;  // a copy that writes to `out` cannot change: kept in registers
  const std::size_t n = std::min(points.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = facing(view, points[i]);
}

std::uint32_t frustumCull(const OrvFrustum& frustum, std::span<const HomVec4> positions,
                          std::span<bool> visible_mask) noexcept {
  return markInside(bestPath(), frustum.planes, positions, visible_mask);
}

std::uint32_t projectiveClip(const ProjectiveHyperplane& plane,
                             std::span<const HomVec4> positions,
                             std::span<bool> visible_mask) noexcept {
  return markInside(bestPath(), std::array<ProjectiveHyperplane, 1>{plane}, positions, visible_mask);
}

namespace detail {

std::uint32_t frustumCullOn(BatchPath path, const OrvFrustum& frustum,
                            std::span<const HomVec4> positions,
                            std::span<bool> visible_mask) noexcept {
  return markInside(path, frustum.planes, positions, visible_mask);
}

std::uint32_t projectiveClipOn(BatchPath path, const ProjectiveHyperplane& plane,
                               std::span<const HomVec4> positions,
                               std::span<bool> visible_mask) noexcept {
  return markInside(path, std::array<ProjectiveHyperplane, 1>{plane}, positions, visible_mask);
}

}  // namespace detail

// --- Facing, culling and compacting in one pass -------------------------------------------------
//
// Each point is faced as `facing(frustum, p)` faces it and its representative is tested as
// `frustumCull` tests it. The AVX2 path takes four points at a time, transposed as in
// markInsideAvx2: their products with the observer, in the scalar order, decide which to negate
// (an exact sign flip, as the scalar negation), and the four planes are evaluated on the result.
// The AVX-512 path takes eight. A group where a product is exactly zero, whose choice needs the
// planes, goes through the scalar code instead. Visible indices are packed to the front of a
// 4-lane store from a table.

namespace {

// Points [first, last) appended after `count` entries of `indices` (and `visible`, unless null).
std::uint32_t appendVisibleBaseline(const OrvFrustum& view, const HomVec4* points,
                                    std::size_t first, std::size_t last, std::uint32_t* indices,
                                    HomVec4* visible, std::uint32_t count) noexcept {
  for (std::size_t i = first; i < last; ++i) {
    const HomVec4 p = facing(view, points[i]);
    if (!view.isVisibleFast(p)) continue;
    indices[count] = static_cast<std::uint32_t>(i);
    if (visible != nullptr) visible[count] = p;
    ++count;
  }
  return count;
}

#ifdef ORV_RENDERER_AVX2
// Entry `bits`: the numbers of the lanes whose bit is set, in increasing order, then zeros.
constexpr std::array<std::array<std::uint32_t, 4>, 16> kPackedLanes = [] {
  std::array<std::array<std::uint32_t, 4>, 16> table{};
  for (std::uint32_t bits = 0; bits < 16; ++bits) {
    std::uint32_t k = 0;
    for (std::uint32_t lane = 0; lane < 4; ++lane) {
      if ((bits >> lane) & 1u) table[bits][k++] = lane;
    }
  }
  return table;
}();

// The indices of the lanes set in `bits` (four lanes), plus `base`, stored at `to` whole.
[[gnu::target("avx2"), gnu::always_inline]] inline void storePackedLanes(std::uint32_t bits,
                                                                         std::size_t base,
                                                                         std::uint32_t* to) noexcept {
  const __m128i lanes =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPackedLanes[bits].data()));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                   _mm_add_epi32(lanes, _mm_set1_epi32(static_cast<int>(base))));
}

// Point `lane` of the group at `p`, with the sign flip of its lane in `flip` applied, stored at
// `to`; `lane` is a constant.
template <int kLane>
[[gnu::target("avx2"), gnu::always_inline]] inline void storeFaced(const HomVec4* p, __m256d flip,
                                                                   HomVec4* to) noexcept {
  const __m256d lane_flip = _mm256_permute4x64_pd(flip, kLane * 0x55);
  _mm256_storeu_pd(&to->x, _mm256_xor_pd(_mm256_loadu_pd(&p[kLane].x), lane_flip));
}

[[gnu::target("avx2")]] std::uint32_t appendVisibleAvx2(const OrvFrustum& view,
                                                        const HomVec4* points, std::size_t n,
                                                        std::uint32_t* indices,
                                                        HomVec4* visible) noexcept {
  __m256d a[4], b[4], c[4], d[4];
  for (std::size_t j = 0; j < 4; ++j) {
    a[j] = _mm256_set1_pd(view.planes[j].a);
    b[j] = _mm256_set1_pd(view.planes[j].b);
    c[j] = _mm256_set1_pd(view.planes[j].c);
    d[j] = _mm256_set1_pd(view.planes[j].d);
  }
  const __m256d ox = _mm256_set1_pd(view.observer.x);
  const __m256d oy = _mm256_set1_pd(view.observer.y);
  const __m256d oz = _mm256_set1_pd(view.observer.z);
  const __m256d ow = _mm256_set1_pd(view.observer.w);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d sign = _mm256_set1_pd(-0.0);
  std::uint32_t count = 0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const double* p = &points[i].x;
    const __m256d xy02 = _mm256_loadu2_m128d(p + 8, p);
    const __m256d xy13 = _mm256_loadu2_m128d(p + 12, p + 4);
    const __m256d zw02 = _mm256_loadu2_m128d(p + 10, p + 2);
    const __m256d zw13 = _mm256_loadu2_m128d(p + 14, p + 6);
    __m256d x = _mm256_unpacklo_pd(xy02, xy13);
    __m256d y = _mm256_unpackhi_pd(xy02, xy13);
    __m256d z = _mm256_unpacklo_pd(zw02, zw13);
    __m256d w = _mm256_unpackhi_pd(zw02, zw13);
    // point.dot(observer): ((x*ox + y*oy) + z*oz) + w*ow.
    const __m256d toward = _mm256_add_pd(
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(x, ox), _mm256_mul_pd(y, oy)),
                      _mm256_mul_pd(z, oz)),
        _mm256_mul_pd(w, ow));
    if (_mm256_movemask_pd(_mm256_cmp_pd(toward, zero, _CMP_EQ_OQ)) != 0) [[unlikely]] {
      count = appendVisibleBaseline(view, points, i, i + 4, indices, visible, count);
      continue;
    }
    const __m256d flip = _mm256_and_pd(_mm256_cmp_pd(toward, zero, _CMP_LT_OQ), sign);
    x = _mm256_xor_pd(x, flip);
    y = _mm256_xor_pd(y, flip);
    z = _mm256_xor_pd(z, flip);
    w = _mm256_xor_pd(w, flip);
    __m256d inside = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
#pragma GCC unroll 4
    for (std::size_t j = 0; j < 4; ++j) {
      const __m256d ab = _mm256_add_pd(_mm256_mul_pd(a[j], x), _mm256_mul_pd(b[j], y));
      const __m256d abc = _mm256_add_pd(ab, _mm256_mul_pd(c[j], z));
      const __m256d value = _mm256_add_pd(abc, _mm256_mul_pd(d[j], w));
      inside = _mm256_and_pd(inside, _mm256_cmp_pd(value, zero, _CMP_GE_OQ));
    }
    const auto bits = static_cast<std::uint32_t>(_mm256_movemask_pd(inside));
    // Four entries stored whatever the count: count + 4 <= i + 4 <= n, and any beyond the count
    // are overwritten by later points or left as unspecified values.
    storePackedLanes(bits, i, indices + count);
    if (visible != nullptr) {
      // Likewise each point is stored at the count reached before it, and kept by counting it;
      // with `visible` equal to `points` every store lands on a point already loaded.
      std::uint32_t at = count;
      storeFaced<0>(&points[i], flip, visible + at);
      at += bits & 1u;
      storeFaced<1>(&points[i], flip, visible + at);
      at += (bits >> 1) & 1u;
      storeFaced<2>(&points[i], flip, visible + at);
      at += (bits >> 2) & 1u;
      storeFaced<3>(&points[i], flip, visible + at);
    }
    count += static_cast<std::uint32_t>(std::popcount(bits));
  }
  count = appendVisibleBaseline(view, points, i, n, indices, visible, count);
  _mm256_zeroupper();  // as in markInsideAvx2
  return count;
}

// Eight points per group, transposed as in markInsideAvx512. The planes are evaluated on the
// points as given: the negation's value is the exact negation of the point's, so a point to be
// negated is inside where every value is at most zero, with the same NaN-false comparisons.
[[gnu::target("avx512f,bmi2")]] std::uint32_t appendVisibleAvx512(const OrvFrustum& view,
                                                                  const HomVec4* points,
                                                                  std::size_t n,
                                                                  std::uint32_t* indices,
                                                                  HomVec4* visible) noexcept {
  __m512d a[4], b[4], c[4], d[4];
  for (std::size_t j = 0; j < 4; ++j) {
    a[j] = _mm512_set1_pd(view.planes[j].a);
    b[j] = _mm512_set1_pd(view.planes[j].b);
    c[j] = _mm512_set1_pd(view.planes[j].c);
    d[j] = _mm512_set1_pd(view.planes[j].d);
  }
  const __m512d ox = _mm512_set1_pd(view.observer.x);
  const __m512d oy = _mm512_set1_pd(view.observer.y);
  const __m512d oz = _mm512_set1_pd(view.observer.z);
  const __m512d ow = _mm512_set1_pd(view.observer.w);
  const __m512d zero = _mm512_setzero_pd();
  std::uint32_t count = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const double* p = &points[i].x;
    _mm_prefetch(reinterpret_cast<const char*>(p) + kPrefetchBytes, _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(p) + kPrefetchBytes + 128, _MM_HINT_T0);
    __m512d x, y, z, w;
    loadEightPoints(p, x, y, z, w);
    const __m512d toward = _mm512_add_pd(
        _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(x, ox), _mm512_mul_pd(y, oy)),
                      _mm512_mul_pd(z, oz)),
        _mm512_mul_pd(w, ow));
    if (_mm512_cmp_pd_mask(toward, zero, _CMP_EQ_OQ) != 0) [[unlikely]] {
      count = appendVisibleBaseline(view, points, i, i + 8, indices, visible, count);
      continue;
    }
    const __mmask8 negate = _mm512_cmp_pd_mask(toward, zero, _CMP_LT_OQ);
    __mmask8 kept_inside = static_cast<__mmask8>(~negate);
    __mmask8 negated_inside = negate;
#pragma GCC unroll 4
    for (std::size_t j = 0; j < 4; ++j) {
      const __m512d ab = _mm512_add_pd(_mm512_mul_pd(a[j], x), _mm512_mul_pd(b[j], y));
      const __m512d abc = _mm512_add_pd(ab, _mm512_mul_pd(c[j], z));
      const __m512d value = _mm512_add_pd(abc, _mm512_mul_pd(d[j], w));
      kept_inside = _mm512_mask_cmp_pd_mask(kept_inside, value, zero, _CMP_GE_OQ);
      negated_inside = _mm512_mask_cmp_pd_mask(negated_inside, value, zero, _CMP_LE_OQ);
    }
    const auto bits = static_cast<std::uint32_t>(kept_inside | negated_inside);
    // As in appendVisibleAvx2: whole stores, each at most 8 entries past i.
    storePackedLanes(bits & 15u, i, indices + count);
    const auto low_count = static_cast<std::uint32_t>(std::popcount(bits & 15u));
    storePackedLanes(bits >> 4, i + 4, indices + count + low_count);
    if (visible != nullptr) {
      std::uint32_t at = count;
      for (std::uint32_t k = 0; k < 8; ++k) {
        const auto flip = static_cast<long long>(((negate >> k) & 1u)) << 63;
        const __m256d point = _mm256_loadu_pd(&points[i + k].x);
        _mm256_storeu_pd(&visible[at].x,
                         _mm256_xor_pd(point, _mm256_castsi256_pd(_mm256_set1_epi64x(flip))));
        at += (bits >> k) & 1u;
      }
    }
    count += static_cast<std::uint32_t>(std::popcount(bits));
  }
  count = appendVisibleBaseline(view, points, i, n, indices, visible, count);
  _mm256_zeroupper();  // as in markInsideAvx2
  return count;
}
#endif

std::uint32_t appendVisible(BatchPath path, const OrvFrustum& frustum,
                            std::span<const HomVec4> points, std::span<std::uint32_t> indices,
                            std::span<HomVec4> visible, bool with_points) noexcept {
  const OrvFrustum view = frustum;  // a copy that writes to `visible` cannot change
  std::size_t n = std::min(points.size(), indices.size());
  if (with_points) n = std::min(n, visible.size());
  HomVec4* const out = with_points ? visible.data() : nullptr;
#ifdef ORV_RENDERER_AVX2
  if (path == BatchPath::avx512 && cpuHasAvx512()) {
    return appendVisibleAvx512(view, points.data(), n, indices.data(), out);
  }
  if (path == BatchPath::avx2 && cpuHasAvx2()) {
    return appendVisibleAvx2(view, points.data(), n, indices.data(), out);
  }
#endif
  (void)path;
  return appendVisibleBaseline(view, points.data(), 0, n, indices.data(), out, 0);
}

}  // namespace

std::uint32_t visibleIndices(const OrvFrustum& frustum, std::span<const HomVec4> points,
                             std::span<std::uint32_t> indices) noexcept {
  return appendVisible(bestPath(), frustum, points, indices, {}, false);
}

std::uint32_t visibleIndices(const OrvFrustum& frustum, std::span<const HomVec4> points,
                             std::span<std::uint32_t> indices, std::span<HomVec4> visible) noexcept {
  return appendVisible(bestPath(), frustum, points, indices, visible, true);
}

namespace detail {

std::uint32_t visibleIndicesOn(BatchPath path, const OrvFrustum& frustum,
                               std::span<const HomVec4> points, std::span<std::uint32_t> indices,
                               std::span<HomVec4> visible) noexcept {
  return appendVisible(path, frustum, points, indices, visible, !visible.empty());
}

}  // namespace detail

// --- Depth sorting -----------------------------------------------------------------------------
//
// The drawing order is decreasing Fubini-Study distance with ties in input order: the order a
// stable insertion sort that stops at the first earlier point at least as far would give. Keyed by
// distance, each distance is computed once. Distances are never negative or NaN, and below 2 the
// two top bits of their patterns are zero, so the inverted pattern shifted left by two, the key,
// orders "farthest first" as "smallest key first" with all 64 bits informative; equal distances
// have equal keys.
//
// The index list is the only memory, besides about 25 KiB of stack. Each of its 64-bit entries
// first holds a slot: the key's high bits above the point's index, which takes the low `index_bits`
// bits. All slots differ, so an unstable in-place sort of the slots (grouping by distance, then a
// most-significant-digit radix sort) orders them by (high key bits, index); a group that fits a
// 16 KiB buffer on the stack is instead sorted through it by its high key bits alone, with a
// least-significant-digit radix sort. Points whose high key bits tie may still be out of order:
// each such run is sorted again on slots holding the key's remaining low bits above the index,
// which completes the order by (key, index). Finally every slot is reduced to its index.
//
// A caller who wants no distances back spares the arc cosines: the slots are keyed by the cosine
// instead, whose pattern shifted left by two orders "farthest first" as "smallest key first" too,
// since the distance never increases as the cosine grows. Two different cosines may still give
// equal distances, which then order by index rather than by cosine; that can only happen where the
// cosines lie closer than kCosineMargin. So once the slots are in order, each run of neighbours
// whose cosines could lie that close is keyed again by its distances and sorted as above; across
// the other neighbours the order by cosine is the order by distance.
//
// With 2^32 points or more the index leaves too few bits for the key; such lists, and every list
// where std::size_t is narrower than 64 bits, are ordered by a comparison sort instead.

namespace {

using Slot = std::size_t;

std::uint64_t farthestFirstKey(double distance) noexcept {
  return ~std::bit_cast<std::uint64_t>(distance) << 2;
}

// The key of a cosine in [0, 1]: the smallest cosine, the farthest point, first.
std::uint64_t cosineKey(double cosine) noexcept { return std::bit_cast<std::uint64_t>(cosine) << 2; }

// Cosines at least this far apart have distances in the same order and unequal: the arc cosine
// changes at least as fast as its argument, so their distances lie at least this far apart too,
// thousands of units in the last place of any distance, far beyond the maths library's error.
constexpr double kCosineMargin = 0x1p-40;

// kernel::fsDistance(observer, p) for many points p: the same operations in the same order, so the
// same bits, with the observer's sum of squares and norm formed once. A distance is found in two
// steps, the cosine and then its arc cosine, so that a loop can form the cosines of several points
// before it calls acos for them, and the square roots and divisions need not wait for the calls.
class DistanceFrom {
 public:
  explicit DistanceFrom(const HomVec4& observer) noexcept
      : observer_(observer), squares_(observer.dot(observer)), norm_(std::sqrt(squares_)) {}

  // |cos| of the angle, clamped to 1 (NaN counts as 1), which is 1 for a degenerate vector, whose
  // distance is 0 = acos(1); or -1 where a sum is not finite and fsDistance must decide.
  double cosine(const HomVec4& p) const noexcept {
    const double squares = p.dot(p);
    const double dp = observer_.dot(p);
    if (!(std::isfinite(squares_) && std::isfinite(squares) && std::isfinite(dp))) [[unlikely]] {
      return -1.0;
    }
    const double norm = std::sqrt(squares);
    if (norm_ < kDegenerateNorm || norm < kDegenerateNorm) return 1.0;
    const double c = std::fabs(dp) / (norm_ * norm);
    return c < 1.0 ? c : 1.0;
  }

  double distance(double cosine, const HomVec4& p) const noexcept {
    return cosine < 0.0 ? fsDistance(observer_, p) : std::acos(cosine);
  }

  double operator()(const HomVec4& p) const noexcept { return distance(cosine(p), p); }

 private:
  HomVec4 observer_;
  double squares_;
  double norm_;
};

// Distance i once it has been computed: from the caller's array where that reaches, else computed
// again, which gives the same bits.
class Distances {
 public:
  Distances(const HomVec4& observer, std::span<const HomVec4> positions,
            std::span<double> stored) noexcept
      : from_(observer), positions_(positions), stored_(stored) {}
  double operator()(std::size_t i) const noexcept {
    return i < stored_.size() ? stored_[i] : from_(positions_[i]);
  }

 private:
  DistanceFrom from_;
  std::span<const HomVec4> positions_;
  std::span<double> stored_;
};

constexpr unsigned kDigitBits = 8;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
// Up to this many slots, sorted by insertion.
constexpr std::size_t kInsertionSortLimit = 32;
// Groups of the first pass over many slots, by distance or cosine (see sortBySlots).
constexpr std::size_t kDistanceGroups = 1024;
// Up to this many slots (256 KiB), grouping follows one cycle of swaps at a time.
constexpr std::ptrdiff_t kCachedSlots = std::ptrdiff_t{1} << 15;

// Groups fewer than 2^32 slots in place by `group_of`, a function of the slot into 0..kGroups-1, in
// increasing group order, and returns the size of the largest group: all of them, with nothing
// moved, when they fall into one. Out of line, so that its tables take stack only while it runs,
// never once per level of recursion.
//
// Over more slots than a cache holds, each sweep walks the unplaced part of every group and swaps
// each slot met there with the first unplaced slot of the group it belongs to, which places it;
// the slot swapped in waits for the next sweep. Unlike following one cycle of swaps at a time, the
// steps of a sweep do not wait for each other's loads, so the random accesses of a large array
// overlap.
template <std::size_t kGroups, class GroupOf>
[[gnu::noinline]] std::size_t groupSlots(Slot* first, Slot* last, GroupOf group_of) noexcept {
  std::array<std::uint32_t, kGroups + 1> start{};  // counts, then where each group starts
  for (const Slot* p = first; p != last; ++p) ++start[group_of(*p) + 1];
  const std::uint32_t largest = *std::max_element(start.begin(), start.end());
  if (largest == static_cast<std::uint32_t>(last - first)) return largest;
  for (std::size_t g = 0; g < kGroups; ++g) start[g + 1] += start[g];
  std::array<std::uint32_t, kGroups> next;  // first unplaced position of each group
  std::copy_n(start.begin(), kGroups, next.begin());
  if (last - first <= kCachedSlots) {
    // In cache the loads are short: follow each cycle of swaps to its end.
    for (std::size_t g = 0; g < kGroups; ++g) {
      while (next[g] != start[g + 1]) {
        Slot slot = first[next[g]];
        for (std::size_t h = group_of(slot); h != g; h = group_of(slot)) {
          std::swap(slot, first[next[h]++]);
        }
        first[next[g]++] = slot;
      }
    }
    return largest;
  }
  for (bool unplaced = true; unplaced;) {
    unplaced = false;
    for (std::size_t g = 0; g < kGroups; ++g) {
      for (std::uint32_t i = next[g], group_end = start[g + 1]; i < group_end; ++i) {
        std::swap(first[i], first[next[group_of(first[i])]++]);
      }
      unplaced |= next[g] != start[g + 1];
    }
  }
  return largest;
}

// The end of the group that starts at `group`, in slots grouped by `group_of`.
template <class GroupOf>
Slot* groupEnd(Slot* group, Slot* last, GroupOf group_of) noexcept {
  return std::upper_bound(group + 1, last, group_of(*group),
                          [&](std::size_t g, Slot slot) { return g < group_of(slot); });
}

// The digit below the one at `shift`: it may overlap bits already grouped, which then agree.
int lowerDigitShift(int shift) noexcept {
  return shift == 0 ? -1 : std::max(shift - static_cast<int>(kDigitBits), 0);
}

void insertionSort(Slot* first, Slot* last) noexcept {
  for (Slot* i = first + 1; i < last; ++i) {
    const Slot slot = *i;
    Slot* j = i;
    for (; j > first && j[-1] > slot; --j) *j = j[-1];
    *j = slot;
  }
}

// Sorts distinct slots in increasing order. They may differ only in the digit at `shift` and
// below; a negative `shift` means they cannot differ. The recursion is at most 64 / kDigitBits
// deep. Once grouped by a digit into groups of at most kInsertionSortLimit, every slot is that
// close to its place, and one insertion sort over all of them finishes.
void sortSlots(Slot* first, Slot* last, int shift) noexcept {
  const auto digit_at = [](int at) {
    return [at](Slot slot) { return static_cast<std::size_t>(slot >> at) & (kBuckets - 1); };
  };
  const auto n = static_cast<std::size_t>(last - first);
  std::size_t largest = n;
  for (; n > kInsertionSortLimit && shift >= 0; shift = lowerDigitShift(shift)) {
    largest = groupSlots<kBuckets>(first, last, digit_at(shift));
    if (largest < n) break;
  }
  if (largest <= kInsertionSortLimit || shift < 0) {
    insertionSort(first, last);
    return;
  }
  const auto prefix = [shift](Slot slot) { return static_cast<std::size_t>(slot >> shift); };
  for (Slot* group = first; group != last;) {
    Slot* const group_end = groupEnd(group, last, prefix);
    if (group_end - group > 1) sortSlots(group, group_end, lowerDigitShift(shift));
    group = group_end;
  }
}

// The starting shift of sortSlots for slots whose bits differ only where `differing` is set: the
// digit whose top bit is the highest differing one.
int highestDigitShift(Slot differing) noexcept {
  if (differing == 0) return -1;
  const int top = std::numeric_limits<Slot>::digits - 1 - std::countl_zero(differing);
  return std::max(top + 1 - static_cast<int>(kDigitBits), 0);
}

// Sorts distinct slots in increasing order, wherever they may differ.
void sortSlots(Slot* first, Slot* last) noexcept {
  Slot differing = 0;
  for (const Slot* p = first; p != last; ++p) differing |= *p ^ *first;
  sortSlots(first, last, highestDigitShift(differing));
}

// Room for the slots of a group of the first pass (16 KiB), sorted through it digit by digit.
constexpr std::size_t kBufferedSlots = 2048;
// The widest digit of that sort, and the most digits worth its passes.
constexpr int kBufferedDigitBits = 10;
constexpr int kBufferedPasses = 4;

// Orders at most kBufferedSlots slots by their key bits above `index_bits`, slots whose key bits
// tie in no particular order, through `buffer`: a least-significant-digit radix sort over the bits
// where the keys differ, each pass a count and a stable scatter with no branch on the data. In a
// cache-sized group that is several times faster than sorting in place, whose swaps and insertions
// branch on every slot. Returns false, nothing moved, where the keys differ in more bits than
// kBufferedPasses digits cover.
bool sortKeysThroughBuffer(Slot* first, Slot* last, unsigned index_bits,
                           std::span<Slot, kBufferedSlots> buffer) noexcept {
  const auto n = static_cast<std::size_t>(last - first);
  assert(n <= buffer.size());
  Slot differing = 0;
  for (const Slot* p = first; p != last; ++p) differing |= *p ^ *first;
  const auto width = static_cast<int>(std::bit_width(differing >> index_bits));
  if (width == 0) return true;
  const int passes = (width + kBufferedDigitBits - 1) / kBufferedDigitBits;
  if (passes > kBufferedPasses) return false;
  const int digit_bits = (width + passes - 1) / passes;  // (passes - 1) digits stay below `width`
  const std::size_t digits = std::size_t{1} << digit_bits;
  std::array<std::uint32_t, std::size_t{1} << kBufferedDigitBits> start;
  Slot* from = first;
  Slot* to = buffer.data();
  for (int pass = 0; pass < passes; ++pass) {
    const unsigned shift = index_bits + static_cast<unsigned>(pass * digit_bits);
    const auto digit = [shift, digits](Slot slot) {
      return static_cast<std::size_t>(slot >> shift) & (digits - 1);
    };
    std::fill_n(start.begin(), digits, 0u);
    for (std::size_t i = 0; i < n; ++i) ++start[digit(from[i])];
    std::uint32_t sum = 0;
    for (std::size_t d = 0; d < digits; ++d) sum += std::exchange(start[d], sum);
    for (std::size_t i = 0; i < n; ++i) to[start[digit(from[i])]++] = from[i];
    std::swap(from, to);
  }
  if (from != first) std::copy_n(from, n, first);
  return true;
}

// Sorts distinct slots of `index_bits` index bits by their high key bits; slots that tie there end
// in order by index, or through the buffer in no particular order.
void sortHighKeys(Slot* first, Slot* last, unsigned index_bits,
                  std::span<Slot, kBufferedSlots> buffer) noexcept {
  const auto n = static_cast<std::size_t>(last - first);
  if (n <= kInsertionSortLimit || n > buffer.size() ||
      !sortKeysThroughBuffer(first, last, index_bits, buffer)) {
    sortSlots(first, last);
  }
}

// Sorts distinct slots of `index_bits` index bits, keyed by distance, into the order by (key,
// index), then reduces them to their indices. Runs of slots whose high key bits tie are sorted
// again on slots of the key's low bits (which `distance` gives) above the index.
void sortAndReduce(Slot* first, Slot* last, unsigned index_bits, const Distances& distance,
                   std::span<Slot, kBufferedSlots> buffer) noexcept {
  sortHighKeys(first, last, index_bits, buffer);
  const Slot index_mask = (Slot{1} << index_bits) - 1;
  for (Slot* run = first; run != last;) {
    Slot* run_end = run + 1;
    while (run_end != last && ((*run_end ^ *run) & ~index_mask) == 0) ++run_end;
    if (run_end - run > 1) {
      for (Slot* p = run; p != run_end; ++p) {
        const Slot index = *p & index_mask;
        const Slot low_key = farthestFirstKey(distance(index)) & index_mask;
        *p = (low_key << (64 - index_bits)) | index;
      }
      sortSlots(run, run_end);
    }
    for (Slot* p = run; p != run_end; ++p) *p &= index_mask;
    run = run_end;
  }
}

// Slots keyed by cosine and sorted by their high key bits, put in order by (distance, index) and
// reduced to their indices: each run of neighbours whose cosines may lie closer than kCosineMargin
// (slots that tie in their high bits among them) is keyed again by distance and sorted on that.
// What the slot keeps of a cosine bounds it from both sides: its bits below the slot's high bits
// all cleared, or all set.
void orderCloseCosines(Slot* first, Slot* last, unsigned index_bits, const Distances& distance,
                       std::span<Slot, kBufferedSlots> buffer) noexcept {
  const Slot index_mask = (Slot{1} << index_bits) - 1;
  const auto least = [index_mask](Slot slot) {
    return std::bit_cast<double>((slot & ~index_mask) >> 2);
  };
  const auto most = [index_mask](Slot slot) {
    return std::bit_cast<double>((slot | index_mask) >> 2);
  };
  for (Slot* run = first; run != last;) {
    Slot* run_end = run + 1;
    while (run_end != last && least(*run_end) - most(run_end[-1]) < kCosineMargin) ++run_end;
    if (run_end - run == 1) {
      *run &= index_mask;
    } else {
      for (Slot* p = run; p != run_end; ++p) {
        const Slot index = *p & index_mask;
        *p = (farthestFirstKey(distance(index)) & ~index_mask) | index;
      }
      sortAndReduce(run, run_end, index_bits, distance, buffer);
    }
    run = run_end;
  }
}

// Fewer than 2^32 points, at least two, ordered by slots in place in `order` (see above), keyed by
// cosine where `by_cosine` and no cosine needs fsDistance's treatment of a non-finite sum.
//
// Over many points the first pass groups the slots by their keyed value (distance or cosine),
// linearly between the farthest and the nearest, rather than by the highest digit of their keys:
// the values crowd into few binary exponents, so that digit splits them unevenly. The value of a
// slot is the one its high key bits spell; the farther it puts the point, the smaller the slot, so
// groups of increasing number hold increasing slots, and slots whose high key bits tie share a
// group. Each group is then sorted (and, keyed by distance, reduced) while it is in cache.
void sortBySlots(const HomVec4& observer, std::span<const HomVec4> positions,
                 std::span<double> distances, std::span<std::size_t> order,
                 bool by_cosine) noexcept {
  const std::size_t n = positions.size();
  const auto index_bits = static_cast<unsigned>(std::bit_width(n - 1));
  const Slot index_mask = (Slot{1} << index_bits) - 1;
  // What the high key bits of a slot spell, as a number that grows with the slot: the cosine, or
  // the distance negated.
  const auto rank_of = [index_mask, by_cosine](Slot slot) {
    return by_cosine ? std::bit_cast<double>((slot & ~index_mask) >> 2)
                     : -std::bit_cast<double>(~(slot | index_mask) >> 2);
  };
  const DistanceFrom distance_from(observer);
  double lowest = std::numeric_limits<double>::infinity();
  double highest = -lowest;
  constexpr std::size_t kBlock = 16;
  for (std::size_t block = 0; block < n; block += kBlock) {
    std::array<double, kBlock> cosine;
    const std::size_t block_end = std::min(block + kBlock, n);
    for (std::size_t i = block; i < block_end; ++i) {
      cosine[i - block] = distance_from.cosine(positions[i]);
    }
    for (std::size_t i = block; i < block_end; ++i) {
      std::uint64_t key = 0;
      if (!by_cosine) {
        const double d = distance_from.distance(cosine[i - block], positions[i]);
        if (i < distances.size()) distances[i] = d;
        key = farthestFirstKey(d);
      } else if (cosine[i - block] >= 0.0) [[likely]] {
        key = cosineKey(cosine[i - block]);
      } else {
        sortBySlots(observer, positions, distances, order, false);
        return;
      }
      order[i] = (key & ~index_mask) | i;
      lowest = std::min(lowest, rank_of(order[i]));
      highest = std::max(highest, rank_of(order[i]));
    }
  }
  Slot* const first = order.data();
  Slot* const last = first + n;
  const Distances distance(observer, positions, distances);
  std::array<Slot, kBufferedSlots> buffer;
  const double scale = static_cast<double>(kDistanceGroups) / (highest - lowest);
  const auto by_rank = [&](Slot slot) {
    const double position = (rank_of(slot) - lowest) * scale;  // 0 for the farthest
    return position < static_cast<double>(kDistanceGroups - 1)
               ? static_cast<std::size_t>(position)
               : kDistanceGroups - 1;
  };
  const auto sort_group = [&](Slot* group, Slot* group_end) {
    if (by_cosine) {
      sortHighKeys(group, group_end, index_bits, buffer);
    } else {
      sortAndReduce(group, group_end, index_bits, distance, buffer);
    }
  };
  if (n <= kDistanceGroups * 4 || !(lowest < highest) ||
      groupSlots<kDistanceGroups>(first, last, by_rank) == n) {
    sort_group(first, last);
  } else {
    for (Slot* group = first; group != last;) {
      Slot* const group_end = groupEnd(group, last, by_rank);
      sort_group(group, group_end);
      group = group_end;
    }
  }
  if (by_cosine) orderCloseCosines(first, last, index_bits, distance, buffer);
}

// Any number of points, in place in `order`: a comparison sort on (distance, index), which looks up
// two distances per comparison and computes them again beyond the caller's array.
void sortByComparison(const HomVec4& observer, std::span<const HomVec4> positions,
                      std::span<double> distances, std::span<std::size_t> order) noexcept {
  const DistanceFrom distance_from(observer);
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i < distances.size()) distances[i] = distance_from(positions[i]);
    order[i] = i;
  }
  const Distances distance(observer, positions, distances);
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const double da = distance(a);
    const double db = distance(b);
    return da > db || (da == db && a < b);
  });
}

enum class SortPath : std::uint8_t { by_size, comparison };

std::expected<std::pmr::vector<std::size_t>, Error> sortByDepth(
    SortPath path, std::pmr::memory_resource& resource, const HomVec4& observer,
    std::span<const HomVec4> positions, std::span<double> distances) {
  const std::size_t n = positions.size();
  std::pmr::vector<std::size_t> order(&resource);
  try {
    order.resize(n);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  distances = distances.first(std::min(distances.size(), n));
  const bool slots_fit =
      std::numeric_limits<Slot>::digits >= 64 && n <= std::numeric_limits<std::uint32_t>::max();
  if (path == SortPath::comparison || !slots_fit) {
    sortByComparison(observer, positions, distances, order);
  } else if (n == 1) {
    if (!distances.empty()) distances[0] = DistanceFrom(observer)(positions[0]);
  } else if (n > 1) {
    sortBySlots(observer, positions, distances, order, distances.empty());
  }
  return order;
}

}  // namespace

std::expected<std::pmr::vector<std::size_t>, Error> sortByFSDepth(
    std::pmr::memory_resource& resource, const HomVec4& observer,
    std::span<const HomVec4> positions) {
  return sortByDepth(SortPath::by_size, resource, observer, positions, {});
}

std::expected<std::pmr::vector<std::size_t>, Error> sortByFSDepth(
    std::pmr::memory_resource& resource, const HomVec4& observer,
    std::span<const HomVec4> positions, std::span<double> distances) {
  assert(distances.size() >= positions.size() && "one distance per point");
  return sortByDepth(SortPath::by_size, resource, observer, positions, distances);
}

namespace detail {

std::expected<std::pmr::vector<std::size_t>, Error> sortByFSDepthByComparison(
    std::pmr::memory_resource& resource, const HomVec4& observer,
    std::span<const HomVec4> positions, std::span<double> distances) {
  return sortByDepth(SortPath::comparison, resource, observer, positions, distances);
}

}  // namespace detail

// --- Pipelines ---------------------------------------------------------------------------------

ForwardPlusPipeline ForwardPlusPipeline::init(const OrvCamera& camera,
                                              const ForwardPlusConfig& config) noexcept {
  return {camera, OrvFrustum::fromCamera(camera), 0, config};
}

DeferredPipeline DeferredPipeline::init(const OrvCamera& camera,
                                        const DeferredConfig& config) noexcept {
  return {camera, OrvFrustum::fromCamera(camera), 0, config};
}

}  // namespace orv::renderer
