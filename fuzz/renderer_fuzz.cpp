// Fuzzes the renderer. A camera built from the input's bytes is moved and refreshed, and its
// frustum culls, clips, sorts and measures the depth of a point set read from the same bytes. Each
// step is checked against what it promises: the camera stays on the 3-sphere, masks and counts
// agree, the depth order is a stable back-to-front permutation that ignores the scale of every
// point, depths stay in [0, 1], and the sort returns every byte it took, also when its memory
// resource refuses a request.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "orv/renderer.hpp"
#include "support/counting_resource.hpp"

namespace {

using namespace orv::renderer;
using orv::fuzz::bits;
using orv::fuzz::FuzzInput;
using orv::fuzz::isFinite;
using orv::fuzz::require;
using orv::fuzz::sameBits;
using orv::fuzz::sameValue;
using orv::fuzz::scaled;
using orv::kernel::fsDistance;
using orv::testing::CountingResource;

// Vectors at most this long count as degenerate.
constexpr double kDegenerateNorm = 1e-15;
// A normalised vector is a few roundings away from unit length.
constexpr double kUnitNorm = 1e-15;
// Enough points for the sort's counting path, few enough for microseconds per input.
constexpr std::size_t kMaxPoints = 600;
constexpr int kMaxOperations = 40;

bool onSphere(const HomVec4& v) { return std::fabs(v.norm() - 1.0) <= kUnitNorm; }

double largestMagnitude(const HomVec4& v) {
  return std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z), std::fabs(v.w)});
}

// --- Camera ------------------------------------------------------------------------------------

void checkInit(const OrvCamera& cam, const HomVec4& position, const HomVec4& forward,
               const HomVec4& up, const std::array<double, 4>& scalars) {
  require(cam.dirty, "init marks the view dirty");
  require(bits(cam.fov) == bits(scalars[0]) && bits(cam.aspect) == bits(scalars[1]) &&
              bits(cam.near_fs) == bits(scalars[2]) && bits(cam.far_fs) == bits(scalars[3]),
          "init stores its scalars unchanged");
  for (std::size_t i = 0; i < 16; ++i) {
    require(bits(cam.view_pgl4.data[i]) == bits(PGL4::identity().data[i]), "init's view is I");
  }
  // The right vector is always usable: a unit vector with w = +0, or the x axis.
  require(bits(cam.right.w) == bits(0.0), "right has w = +0");
  require(sameBits(cam.right, HomVec4::init(1, 0, 0, 0)) || onSphere(cam.right),
          "right is a unit vector or the x axis");

  if (!isFinite(position)) return;
  if (position.norm() > kDegenerateNorm) {
    require(onSphere(cam.position), "a finite position is normalised onto the 3-sphere");
  } else {
    require(sameBits(cam.position, HomVec4::init(0, 0, 0, 1)), "a degenerate position is the origin");
  }
  // Frame vectors of moderate size cannot overflow their projections: each is a unit vector or a
  // residual too short to normalise. Up is projected off forward as well, so it needs both.
  const auto moderate = [](const HomVec4& v) { return isFinite(v) && largestMagnitude(v) <= 1e150; };
  const auto unitOrShort = [](const HomVec4& v) {
    return onSphere(v) || v.norm() <= kDegenerateNorm;
  };
  if (moderate(forward)) {
    require(unitOrShort(cam.forward), "forward is a unit vector or a short residual");
    if (moderate(up)) require(unitOrShort(cam.up), "up is a unit vector or a short residual");
  }
}

void checkMove(const OrvCamera& before, const OrvCamera& after) {
  require(after.dirty, "a move marks the view dirty");
  require(sameBits(after.forward, before.forward) && sameBits(after.up, before.up) &&
              sameBits(after.right, before.right),
          "a move leaves the frame as it was");
  require(sameBits(after.position, before.position) || onSphere(after.position),
          "a move keeps the position on the 3-sphere or leaves it where it was");
  require(bits(after.fov) == bits(before.fov) && bits(after.far_fs) == bits(before.far_fs),
          "a move changes nothing but the position");
}

void checkView(OrvCamera& cam) {
  cam.updateViewMatrix();
  require(!cam.dirty, "updateViewMatrix clears dirty");
  const PGL4 v = cam.view_pgl4;
  require(bits(v.data[3]) == bits(0.0) && bits(v.data[7]) == bits(0.0) &&
              bits(v.data[11]) == bits(0.0) && bits(v.data[15]) == bits(1.0),
          "the view's last row is (0, 0, 0, 1)");
  require(bits(v.get(0, 0)) == bits(cam.right.x) && bits(v.get(1, 1)) == bits(cam.up.y) &&
              bits(v.get(2, 2)) == bits(-cam.forward.z),
          "the view's rows are right, up and -forward");
  cam.updateViewMatrix();
  for (std::size_t i = 0; i < 16; ++i) {
    require(bits(cam.view_pgl4.data[i]) == bits(v.data[i]), "a clean view is not recomputed");
  }
}

// --- Culling and clipping ----------------------------------------------------------------------

// Runs `classify` with a mask of a chosen length whose entries past the points hold a pattern,
// then checks count, mask and the untouched tail.
template <typename Classify, typename Criterion>
void checkMask(FuzzInput& in, const std::vector<HomVec4>& points, Classify classify,
               Criterion criterion) {
  const std::size_t length = in.below(points.size() + 4);
  const std::uint8_t pattern = in.byte();
  const auto mask = std::make_unique<bool[]>(length);  // plain bools, as a caller's array holds them
  for (std::size_t i = 0; i < length; ++i) mask[i] = ((pattern >> (i % 8)) & 1) != 0;

  const std::uint32_t count =
      classify(std::span<const HomVec4>(points), std::span<bool>(mask.get(), length));
  const std::size_t n = std::min(points.size(), length);
  std::uint32_t marked = 0;
  for (std::size_t i = 0; i < n; ++i) {
    require(mask[i] == criterion(points[i]), "the mask holds each point's own test");
    marked += mask[i] ? 1u : 0u;
  }
  require(count == marked, "the count is the number of true mask entries");
  for (std::size_t i = n; i < length; ++i) {
    require(mask[i] == (((pattern >> (i % 8)) & 1) != 0), "mask entries past the points stay");
  }
}

// --- Depth sorting -----------------------------------------------------------------------------

void checkOrder(const HomVec4& observer, const std::vector<HomVec4>& points,
                std::span<const std::size_t> order) {
  require(order.size() == points.size(), "the order has one index per point");
  std::vector<bool> seen(points.size(), false);
  for (const std::size_t i : order) {
    require(i < points.size() && !seen[i], "the order is a permutation");
    seen[i] = true;
  }
  for (std::size_t k = 1; k < order.size(); ++k) {
    const double previous = fsDistance(observer, points[order[k - 1]]);
    const double current = fsDistance(observer, points[order[k]]);
    require(previous >= current, "the order is by decreasing distance");
    if (previous == current) require(order[k - 1] < order[k], "ties keep their input order");
  }
}

// Every point scaled by its own power of two, half of them negated: the same projective points.
bool rescaledCopy(const HomVec4& observer, const std::vector<HomVec4>& points, int seed,
                  std::vector<HomVec4>& copy) {
  if (!isFinite(observer) || observer.norm() < kDegenerateNorm) return false;
  copy.clear();
  for (std::size_t i = 0; i < points.size(); ++i) {
    const int k = static_cast<int>((i * 37 + static_cast<std::size_t>(seed)) % 1601) - 800;
    const HomVec4 s = scaled(points[i], k, i % 2 == 1);
    const bool comparable = isFinite(points[i]) && isFinite(s) &&
                            points[i].norm() >= kDegenerateNorm && s.norm() >= kDegenerateNorm;
    copy.push_back(comparable ? s : points[i]);
  }
  return true;
}

void checkSort(FuzzInput& in, const HomVec4& observer, const std::vector<HomVec4>& points) {
  CountingResource resource(in.below(2) == 0 ? 0 : 4096);
  const std::size_t refuse = in.below(4);  // 0 refuses nothing
  resource.failAllocation(refuse);
  std::vector<std::size_t> first;
  {
    const auto order = sortByFSDepth(resource, observer, points);
    if (order) {
      require(order->get_allocator().resource() == &resource, "the list is the caller's");
      checkOrder(observer, points, *order);
      first.assign(order->begin(), order->end());
    } else {
      require(order.error() == orv::Error::OutOfMemory, "the only error is OutOfMemory");
      require(refuse != 0 && resource.allocations() >= refuse, "only a refusal makes it fail");
      require(resource.bytesInUse() == 0, "a failed sort keeps nothing");
    }
  }
  require(resource.bytesInUse() == 0 && resource.mismatchedReleases() == 0,
          "every byte goes back to the resource as it was handed out");

  std::vector<HomVec4> copy;
  if (first.empty() || !rescaledCopy(observer, points, in.byte(), copy)) return;
  resource.failAllocation(0);
  const auto again = sortByFSDepth(resource, observer, copy);
  require(again.has_value(), "a sort with a willing resource succeeds");
  require(std::equal(again->begin(), again->end(), first.begin(), first.end()),
          "the order ignores the scale and sign of every point");
}

// --- Depth, visibility classes, spheres ---------------------------------------------------------

void checkDepth(const HomVec4& observer, const HomVec4& point, double near_fs, double far_fs) {
  const double depth = fsDepth(observer, point, near_fs, far_fs);
  if (!std::isfinite(near_fs) || !std::isfinite(far_fs)) return;
  require(depth >= 0.0 && depth <= 1.0, "depth is in [0, 1] for finite limits");
  if (depth > 0.0 && depth < 1.0 && std::isfinite(far_fs - near_fs)) {
    // Four roundings on quantities no larger than the limits and the distance.
    const double d = fsDistance(observer, point);
    const double bound = 8 * std::numeric_limits<double>::epsilon() *
                         (std::fabs(near_fs) + std::fabs(far_fs) + d);
    require(std::fabs(fsDepthToDistance(depth, near_fs, far_fs) - d) <= bound,
            "fsDepthToDistance inverts fsDepth between the limits");
  }
}

void checkClass(const HomVec4& p) {
  const WVisibilityClass c = wVisibility(p);
  const WVisibilityClass mirrored = wVisibility(scaled(p, 0, true));
  switch (c) {
    case WVisibilityClass::in_front: require(mirrored == WVisibilityClass::behind, "mirror"); break;
    case WVisibilityClass::behind: require(mirrored == WVisibilityClass::in_front, "mirror"); break;
    case WVisibilityClass::at_infinity:
      require(mirrored == WVisibilityClass::at_infinity, "at infinity either way");
      break;
  }
}

void checkSphere(const OrvFrustum& frustum, const HomVec4& center, double radius, double growth) {
  const double larger = radius + std::fabs(growth);
  if (std::isnan(radius) || std::isnan(larger)) return;
  if (frustum.isSphereVisible(center, radius)) {
    require(frustum.isSphereVisible(center, larger), "a larger sphere stays visible");
  }
}

void checkTransform(const OrvFrustum& frustum, const PGL4& m) {
  const OrvFrustum moved = frustum.transformBy(m);
  require(bits(moved.near_fs) == bits(frustum.near_fs) && bits(moved.far_fs) == bits(frustum.far_fs),
          "transformBy keeps the limits");
  const HomVec4 observer = m.apply(frustum.observer);
  require(sameValue(moved.observer.x, observer.x) && sameValue(moved.observer.w, observer.w),
          "transformBy moves the observer with apply");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(std::span(data, size));
  OrvCamera cam = OrvCamera::makeDefault();
  std::vector<HomVec4> points;

  for (int op = 0; op < kMaxOperations && !in.empty(); ++op) {
    switch (in.below(12)) {
      case 0: {
        const HomVec4 position = in.point();
        const HomVec4 forward = in.point();
        const HomVec4 up = in.point();
        const std::array<double, 4> scalars{in.number(), in.number(), in.number(), in.number()};
        cam = OrvCamera::init(position, forward, up, scalars[0], scalars[1], scalars[2], scalars[3]);
        checkInit(cam, position, forward, up, scalars);
        break;
      }
      case 1:
      case 2: {
        const OrvCamera before = cam;
        const double ds = in.number();
        if (in.byte() % 2 == 0) {
          cam.moveForward(ds);
        } else {
          cam.moveRight(ds);
        }
        checkMove(before, cam);
        break;
      }
      case 3: checkView(cam); break;
      case 4: {
        const std::size_t count = 1 + in.below(8);
        for (std::size_t i = 0; i < count && points.size() < kMaxPoints; ++i) {
          points.push_back(in.point());
        }
        break;
      }
      case 5: {  // copies of earlier points, exactly scaled: exact distance ties
        if (points.empty()) break;
        const std::size_t count = 1 + in.below(200);
        for (std::size_t i = 0; i < count && points.size() < kMaxPoints; ++i) {
          const HomVec4 source = points[in.below(points.size())];
          points.push_back(scaled(source, in.between(-4, 4), in.byte() % 2 == 1));
        }
        break;
      }
      case 6: {
        const OrvFrustum frustum = OrvFrustum::fromCamera(cam);
        require(sameBits(frustum.observer, cam.position), "the frustum's observer is the camera");
        checkMask(
            in, points,
            [&](std::span<const HomVec4> p, std::span<bool> m) { return frustumCull(frustum, p, m); },
            [&](const HomVec4& p) { return frustum.isVisibleFast(p); });
        break;
      }
      case 7: {
        const HomVec4 c = in.point();
        const ProjectiveHyperplane plane = ProjectiveHyperplane::init(c.x, c.y, c.z, c.w);
        checkMask(
            in, points,
            [&](std::span<const HomVec4> p, std::span<bool> m) { return projectiveClip(plane, p, m); },
            [&](const HomVec4& p) { return plane.isVisible(p); });
        break;
      }
      case 8: {
        const HomVec4 observer = in.byte() % 2 == 0 ? cam.position : in.point();
        checkSort(in, observer, points);
        break;
      }
      case 9: {
        const double near_fs = in.number();
        const double far_fs = in.number();
        for (const HomVec4& p : points) {
          checkDepth(cam.position, p, near_fs, far_fs);
          checkClass(p);
        }
        break;
      }
      case 10: {
        const OrvFrustum frustum = OrvFrustum::fromCamera(cam);
        const HomVec4 center = points.empty() ? in.point() : points[in.below(points.size())];
        const double radius = in.number();
        checkSphere(frustum, center, radius, in.number());
        break;
      }
      default: checkTransform(OrvFrustum::fromCamera(cam), in.matrix()); break;
    }
  }
  return 0;
}
