#include "orv/renderer.hpp"

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
    // Requests the points eight steps ahead: the hardware prefetcher alone leaves the loop waiting
    // on memory for part of each step. A prefetch never faults, past the end of the array too.
    _mm_prefetch(reinterpret_cast<const char*>(p) + 1024, _MM_HINT_T0);
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
// distance is computed once. Distances are never negative or NaN, and below 2 the two top bits of
// their patterns are zero, so the inverted pattern shifted left by two, the key, orders "farthest
// first" as "smallest key first" with all 64 bits informative; equal distances have equal keys.
//
// The index list is the only memory. Each of its 64-bit entries first holds a slot: the key's high
// bits above the point's index, which takes the low `index_bits` bits. All slots differ, so an
// unstable in-place sort of the slots (a most-significant-digit radix sort) orders them by (high
// key bits, index). Points whose high key bits tie may still be out of order: each such run is
// sorted again on slots holding the key's remaining low bits above the index, which completes the
// order by (key, index). Finally every slot is reduced to its index.
//
// With 2^32 points or more the index leaves too few bits for the key; such lists, and every list
// where std::size_t is narrower than 64 bits, are ordered by a comparison sort instead.

namespace {

using Slot = std::size_t;

std::uint64_t farthestFirstKey(double distance) noexcept {
  return ~std::bit_cast<std::uint64_t>(distance) << 2;
}

// Distance i once it has been computed: from the caller's array where that reaches, else computed
// again by the same call, which gives the same bits.
class Distances {
 public:
  Distances(const HomVec4& observer, std::span<const HomVec4> positions,
            std::span<double> stored) noexcept
      : observer_(observer), positions_(positions), stored_(stored) {}
  double operator()(std::size_t i) const noexcept {
    return i < stored_.size() ? stored_[i] : fsDistance(observer_, positions_[i]);
  }

 private:
  const HomVec4& observer_;
  std::span<const HomVec4> positions_;
  std::span<double> stored_;
};

constexpr unsigned kDigitBits = 8;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::ptrdiff_t kInsertionSortLimit = 32;  // up to this many slots, sorted by insertion

std::size_t digitOf(Slot slot, unsigned shift) noexcept {
  return static_cast<std::size_t>(slot >> shift) & (kBuckets - 1);
}

void insertionSort(Slot* first, Slot* last) noexcept {
  for (Slot* i = first + 1; i < last; ++i) {
    const Slot slot = *i;
    Slot* j = i;
    for (; j > first && j[-1] > slot; --j) *j = j[-1];
    *j = slot;
  }
}

// Groups fewer than 2^32 slots in place by their digit at `shift`, in increasing digit order
// (American flag sort). Returns false, having moved nothing, when all share one digit. Out of line,
// so that its tables take stack only while it runs, never once per level of the recursion.
[[gnu::noinline]] bool groupByDigit(Slot* first, Slot* last, unsigned shift) noexcept {
  std::array<std::uint32_t, kBuckets> count{};
  for (const Slot* p = first; p != last; ++p) ++count[digitOf(*p, shift)];
  if (count[digitOf(*first, shift)] == static_cast<std::uint32_t>(last - first)) return false;
  std::array<std::uint32_t, kBuckets> next;
  std::array<std::uint32_t, kBuckets> end;
  std::uint32_t offset = 0;
  for (std::size_t b = 0; b < kBuckets; ++b) {
    next[b] = offset;
    offset += count[b];
    end[b] = offset;
  }
  for (std::size_t b = 0; b < kBuckets; ++b) {
    while (next[b] != end[b]) {
      Slot slot = first[next[b]];
      for (std::size_t d = digitOf(slot, shift); d != b; d = digitOf(slot, shift)) {
        std::swap(slot, first[next[d]++]);
      }
      first[next[b]++] = slot;
    }
  }
  return true;
}

// The digit below the one at `shift`: it may overlap bits already grouped, which then agree.
int lowerDigitShift(int shift) noexcept {
  return shift == 0 ? -1 : std::max(shift - static_cast<int>(kDigitBits), 0);
}

// Sorts distinct slots in increasing order. They may differ only in the digit at `shift` and
// below; a negative `shift` means they cannot differ. The recursion is at most 64 / kDigitBits
// deep.
void sortSlots(Slot* first, Slot* last, int shift) noexcept {
  for (;; shift = lowerDigitShift(shift)) {
    if (last - first <= kInsertionSortLimit || shift < 0) {
      insertionSort(first, last);
      return;
    }
    if (groupByDigit(first, last, static_cast<unsigned>(shift))) break;
  }
  const auto s = static_cast<unsigned>(shift);
  for (Slot* group = first; group != last;) {
    Slot* group_end = group + 1;
    while (group_end != last && (*group_end >> s) == (*group >> s)) ++group_end;
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

// Fewer than 2^32 points, at least two, ordered by slots in place in `order` (see above).
void sortBySlots(const HomVec4& observer, std::span<const HomVec4> positions,
                 std::span<double> distances, std::span<std::size_t> order) noexcept {
  const std::size_t n = positions.size();
  const auto index_bits = static_cast<unsigned>(std::bit_width(n - 1));
  const Slot index_mask = (Slot{1} << index_bits) - 1;
  Slot differing = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = fsDistance(observer, positions[i]);
    if (i < distances.size()) distances[i] = d;
    order[i] = (farthestFirstKey(d) & ~index_mask) | i;
    differing |= order[i] ^ order[0];
  }
  sortSlots(order.data(), order.data() + n, highestDigitShift(differing));

  // Runs of tied high key bits, sorted again on the low key bits; then every slot to its index.
  const Distances distance(observer, positions, distances);
  for (std::size_t begin = 0; begin < n;) {
    std::size_t end = begin + 1;
    while (end < n && ((order[end] ^ order[begin]) & ~index_mask) == 0) ++end;
    if (end - begin > 1) {
      Slot run_differing = 0;
      for (std::size_t k = begin; k < end; ++k) {
        const Slot index = order[k] & index_mask;
        const Slot low_key = farthestFirstKey(distance(index)) & index_mask;
        order[k] = (low_key << (64 - index_bits)) | index;
        run_differing |= order[k] ^ order[begin];
      }
      sortSlots(order.data() + begin, order.data() + end, highestDigitShift(run_differing));
    }
    for (std::size_t k = begin; k < end; ++k) order[k] &= index_mask;
    begin = end;
  }
}

// Any number of points, in place in `order`: a comparison sort on (distance, index), which looks up
// two distances per comparison and computes them again beyond the caller's array.
void sortByComparison(const HomVec4& observer, std::span<const HomVec4> positions,
                      std::span<double> distances, std::span<std::size_t> order) noexcept {
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i < distances.size()) distances[i] = fsDistance(observer, positions[i]);
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
    if (!distances.empty()) distances[0] = fsDistance(observer, positions[0]);
  } else if (n > 1) {
    sortBySlots(observer, positions, distances, order);
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
