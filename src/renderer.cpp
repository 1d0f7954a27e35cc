#include "orv/renderer.hpp"

#include "renderer_internal.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <optional>
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
  const double d = fsDistance(observer, point);
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
// evaluates point by point; the AVX2 path transposes four points into registers of x, y, z and w
// and evaluates each plane for all four at once, lane by lane with exactly the scalar operations
// ((a*x + b*y) + c*z) + d*w and the same ordered, NaN-false comparison with zero.

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

// Byte k of entry `bits` is bit k of `bits`: four mask flags from a 4-bit compare result.
constexpr std::array<std::uint32_t, 16> kFlagBytes = [] {
  std::array<std::uint32_t, 16> table{};
  for (std::uint32_t bits = 0; bits < 16; ++bits) {
    for (std::uint32_t k = 0; k < 4; ++k) table[bits] |= ((bits >> k) & 1u) << (8 * k);
  }
  return table;
}();

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
  return count + markInsideBaseline(planes, points + i, mask + i, n - i);
}

bool cpuHasAvx2() noexcept {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

template <std::size_t kPlanes>
std::uint32_t markInside(BatchPath path, const std::array<ProjectiveHyperplane, kPlanes>& planes,
                         std::span<const HomVec4> positions, std::span<bool> mask) noexcept {
  const std::size_t n = std::min(positions.size(), mask.size());
#ifdef ORV_RENDERER_AVX2
  if (path == BatchPath::avx2 && cpuHasAvx2()) {
    return markInsideAvx2(planes, positions.data(), mask.data(), n);
  }
#endif
  (void)path;
  return markInsideBaseline(planes, positions.data(), mask.data(), n);
}

BatchPath bestPath() noexcept {
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
  }
  return false;
}

void faceObserver(const HomVec4& observer, std::span<const HomVec4> points,
                  std::span<HomVec4> out) noexcept {
  const HomVec4 eye = observer;  // `observer` may itself be an element of `out`
  const std::size_t n = std::min(points.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = facing(eye, points[i]);
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

// --- Depth sorting -----------------------------------------------------------------------------
//
// The drawing order is decreasing Fubini-Study distance with ties in input order: the order a
// stable insertion sort that stops at the first earlier point at least as far would give. Each
// distance is computed once, and the indices are ordered by a stable least-significant-digit radix
// sort on the distances' bit patterns. Distances are never negative or NaN, so their patterns
// order exactly as the values do, equal doubles having equal patterns; inverting the patterns
// turns "farthest first" into "smallest key first".

namespace {

constexpr std::size_t kInsertionSortLimit = 32;  // below this, sorting in place beats counting
constexpr unsigned kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr unsigned kDigits = (64 + kDigitBits - 1) / kDigitBits;

std::uint64_t farthestFirstKey(double distance) noexcept {
  return ~std::bit_cast<std::uint64_t>(distance);
}

std::size_t digitOf(std::uint64_t key, unsigned digit) noexcept {
  return static_cast<std::size_t>((key >> (digit * kDigitBits)) & (kBuckets - 1));
}

// Few points: insertion sort over distances computed once, in place in the index list.
void insertionSortByDistance(const HomVec4& observer, std::span<const HomVec4> positions,
                             std::span<std::size_t> order) noexcept {
  std::array<double, kInsertionSortLimit> distance{};
  for (std::size_t i = 0; i < positions.size(); ++i) {
    distance[i] = fsDistance(observer, positions[i]);
    order[i] = i;
  }
  for (std::size_t i = 1; i < order.size(); ++i) {
    const std::size_t key = order[i];
    std::size_t j = i;
    while (j > 0 && distance[order[j - 1]] < distance[key]) {
      order[j] = order[j - 1];
      --j;
    }
    order[j] = key;
  }
}

// Memory from the caller's resource, returned to it when the scope ends.
class ScratchBlock {
 public:
  ScratchBlock(std::pmr::memory_resource& resource, std::size_t bytes)
      : resource_(resource), bytes_(bytes), p_(resource.allocate(bytes, alignof(std::uint64_t))) {}
  ~ScratchBlock() { resource_.deallocate(p_, bytes_, alignof(std::uint64_t)); }
  ScratchBlock(const ScratchBlock&) = delete;
  ScratchBlock& operator=(const ScratchBlock&) = delete;
  void* get() const noexcept { return p_; }

 private:
  std::pmr::memory_resource& resource_;
  std::size_t bytes_;
  void* p_;
};

}  // namespace

std::expected<std::pmr::vector<std::size_t>, Error> sortByFSDepth(
    std::pmr::memory_resource& resource, const HomVec4& observer,
    std::span<const HomVec4> positions) {
  const std::size_t n = positions.size();
  std::pmr::vector<std::size_t> order(&resource);
  try {
    order.resize(n);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  if (n <= kInsertionSortLimit) {
    insertionSortByDistance(observer, positions, order);
    return order;
  }

  // Scratch: keys in two buffers, a second index buffer, and one histogram per digit.
  constexpr std::size_t kHistogramBytes = kDigits * kBuckets * sizeof(std::size_t);
  constexpr std::size_t kBytesPerPoint = 2 * sizeof(std::uint64_t) + sizeof(std::size_t);
  if (n > (std::numeric_limits<std::size_t>::max() - kHistogramBytes) / kBytesPerPoint) {
    return std::unexpected(Error::OutOfMemory);
  }
  std::optional<ScratchBlock> scratch;
  try {
    scratch.emplace(resource, n * kBytesPerPoint + kHistogramBytes);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);  // `order` goes back to the resource
  }
  auto* const base = static_cast<std::uint64_t*>(scratch->get());
  std::span<std::uint64_t> keys(base, n);
  std::span<std::uint64_t> other_keys(base + n, n);
  auto* const index_base = static_cast<std::size_t*>(static_cast<void*>(base + 2 * n));
  std::span<std::size_t> other_order(index_base, n);
  std::span<std::size_t> histogram(index_base + n, kDigits * kBuckets);
  std::fill(histogram.begin(), histogram.end(), std::size_t{0});

  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = farthestFirstKey(fsDistance(observer, positions[i]));
    keys[i] = key;
    order[i] = i;
    for (unsigned d = 0; d < kDigits; ++d) ++histogram[d * kBuckets + digitOf(key, d)];
  }

  std::span<std::uint64_t> src_keys = keys;
  std::span<std::uint64_t> dst_keys = other_keys;
  std::span<std::size_t> src_order = order;
  std::span<std::size_t> dst_order = other_order;
  for (unsigned d = 0; d < kDigits; ++d) {
    const std::span<std::size_t> count = histogram.subspan(d * kBuckets, kBuckets);
    if (count[digitOf(keys[0], d)] == n) continue;  // every key has this digit: nothing moves
    std::size_t offset = 0;
    for (std::size_t& c : count) offset += std::exchange(c, offset);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t slot = count[digitOf(src_keys[i], d)]++;
      dst_keys[slot] = src_keys[i];
      dst_order[slot] = src_order[i];
    }
    std::swap(src_keys, dst_keys);
    std::swap(src_order, dst_order);
  }
  if (src_order.data() != order.data()) std::copy(src_order.begin(), src_order.end(), order.begin());
  return order;
}

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
