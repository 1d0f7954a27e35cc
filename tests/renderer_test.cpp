#include "orv/renderer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <memory_resource>
#include <new>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "renderer_internal.hpp"
#include "support/counting_resource.hpp"
#include "support/same_bits.hpp"

// Every global-heap allocation of this program is counted, so that a test can check that an
// operation takes none.
namespace {
std::atomic<std::size_t> global_allocations{0};

void* countedAllocation(std::size_t bytes, std::size_t alignment) {
  global_allocations.fetch_add(1, std::memory_order_relaxed);
  const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
  if (void* p = std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t bytes) {
  return countedAllocation(bytes, alignof(std::max_align_t));
}
void* operator new(std::size_t bytes, std::align_val_t alignment) {
  return countedAllocation(bytes, static_cast<std::size_t>(alignment));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using namespace orv::renderer;
using orv::kernel::fsDistance;
using orv::testing::CountingResource;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using orv::testing::bits;
using orv::testing::sameBits;

// --- Camera ------------------------------------------------------------------------------------

TEST(Camera, DefaultFrameCarriesItsSignsOfZero) {
  OrvCamera cam = OrvCamera::makeDefault();
  EXPECT_TRUE(sameBits(cam.position, HomVec4::init(0, 0, 0, 1)));
  EXPECT_TRUE(sameBits(cam.forward, HomVec4::init(0, 0, -1, 0)));
  EXPECT_TRUE(sameBits(cam.up, HomVec4::init(0, 1, 0, 0)));
  EXPECT_TRUE(sameBits(cam.right, HomVec4::init(1, -0.0, 0, 0)));
  EXPECT_EQ(bits(cam.fov), bits(1.0471975511965979));
  EXPECT_NE(bits(cam.fov), bits(std::numbers::pi / 3 - 2e-16));
  EXPECT_EQ(cam.aspect, 1.7777777777777777);
  EXPECT_EQ(cam.near_fs, 0.01);
  EXPECT_EQ(cam.far_fs, 1000.0);
  EXPECT_TRUE(cam.dirty);
  EXPECT_EQ(cam.view_pgl4.data, PGL4::identity().data);

  cam.updateViewMatrix();
  EXPECT_FALSE(cam.dirty);
  const auto& v = cam.view_pgl4.data;
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(v[i], PGL4::identity().data[i]) << i;
  // Translation entries are negated zero dot products; -forward.x and -forward.y negate zeros.
  EXPECT_TRUE(std::signbit(v[12]) && std::signbit(v[13]) && std::signbit(v[14]));
  EXPECT_TRUE(std::signbit(v[2]) && std::signbit(v[6]));
  EXPECT_TRUE(std::signbit(v[1]) == false && std::signbit(v[4]));  // up.x = +0, right.y = -0
  EXPECT_EQ(v[10], 1.0);

  // Only a dirty camera recomputes its view.
  cam.view_pgl4.data[0] = 42.0;
  cam.updateViewMatrix();
  EXPECT_EQ(cam.view_pgl4.data[0], 42.0);
  cam.dirty = true;
  cam.updateViewMatrix();
  EXPECT_EQ(cam.view_pgl4.data[0], 1.0);
}

TEST(Camera, InitOrthogonalisesTheFrameAroundThePosition) {
  const double pi = std::numbers::pi;
  const OrvCamera cam = OrvCamera::init(HomVec4::init(1, 2, 3, 1), HomVec4::init(0, 0, -1, 0),
                                        HomVec4::init(0, 1, 0, 0), pi / 3, 1.5, 0.01, 1000);
  EXPECT_NEAR(cam.position.norm(), 1.0, 1e-15);
  EXPECT_NEAR(cam.forward.dot(cam.position), 0.0, 1e-15);
  EXPECT_NEAR(cam.up.dot(cam.position), 0.0, 1e-15);
  EXPECT_NEAR(cam.up.dot(cam.forward), 0.0, 1e-15);
  const double s = std::sqrt(4.25);
  EXPECT_NEAR(cam.right.x, 1 / s, 1e-12);
  EXPECT_NEAR(cam.right.y, 1 / s, 1e-12);
  EXPECT_NEAR(cam.right.z, 1.5 / s, 1e-12);
  EXPECT_EQ(bits(cam.right.w), bits(0.0));
  EXPECT_EQ(cam.aspect, 1.5);

  // Degenerate input: a zero or NaN position is the origin, a forward parallel to the position
  // stays an unnormalised residual, and a degenerate right is +x.
  const OrvCamera zero = OrvCamera::init(HomVec4::init(0, 0, 0, 0), HomVec4::init(0, 0, -1, 0),
                                         HomVec4::init(0, 1, 0, 0), 1, 1, 0, 1);
  EXPECT_TRUE(sameBits(zero.position, HomVec4::init(0, 0, 0, 1)));
  const OrvCamera nan = OrvCamera::init(HomVec4::init(kNaN, 0, 0, 1), HomVec4::init(0, 0, -1, 0),
                                        HomVec4::init(0, 1, 0, 0), 1, 1, 0, 1);
  EXPECT_TRUE(sameBits(nan.position, HomVec4::init(0, 0, 0, 1)));
  const OrvCamera parallel = OrvCamera::init(HomVec4::init(0, 0, 0, 1), HomVec4::init(0, 0, 0, 2),
                                             HomVec4::init(0, 1, 0, 0), 1, 1, 0, 1);
  EXPECT_TRUE(sameBits(parallel.forward, HomVec4::init(0, 0, 0, 0)));
  EXPECT_TRUE(sameBits(parallel.right, HomVec4::init(1, 0, 0, 0)));
}

TEST(Camera, MovesFollowGreatCirclesWithoutTouchingTheFrame) {
  OrvCamera cam = OrvCamera::makeDefault();
  cam.updateViewMatrix();
  const OrvCamera before = cam;
  cam.moveForward(0.1);
  EXPECT_TRUE(cam.dirty);
  EXPECT_NEAR(cam.position.norm(), 1.0, 1e-15);
  EXPECT_NEAR(cam.position.z, -std::sin(0.1), 1e-15);
  EXPECT_NEAR(cam.position.w, std::cos(0.1), 1e-15);
  EXPECT_TRUE(sameBits(cam.forward, before.forward));
  EXPECT_TRUE(sameBits(cam.up, before.up));
  EXPECT_TRUE(sameBits(cam.right, before.right));
  EXPECT_NEAR(cam.distanceTo(before.position), 0.1, 1e-15);

  // Repeated moves step along the stored forward, which is no longer orthogonal.
  cam.moveForward(0.1);
  EXPECT_GT(std::fabs(cam.forward.dot(cam.position)), 0.1);

  OrvCamera side = OrvCamera::makeDefault();
  side.moveRight(0.1);
  EXPECT_NEAR(side.position.x, std::sin(0.1), 1e-15);
  EXPECT_NEAR(side.position.norm(), 1.0, 1e-15);

  // A move onto (nearly) the zero vector leaves the position, but still marks the view dirty.
  OrvCamera stuck = OrvCamera::makeDefault();
  stuck.updateViewMatrix();
  stuck.forward = HomVec4::init(0, 0, 0, -1);
  stuck.moveForward(std::numbers::pi / 4);
  EXPECT_TRUE(sameBits(stuck.position, HomVec4::init(0, 0, 0, 1)));
  EXPECT_TRUE(stuck.dirty);

  EXPECT_EQ(OrvCamera::makeDefault().distanceTo(HomVec4::init(0, 0, -1, 0)), std::numbers::pi / 2);
}

// --- Hyperplanes and frustum -------------------------------------------------------------------

TEST(Hyperplane, EvaluatesLeftToRightAndTransformsLikeApply) {
  const ProjectiveHyperplane x = ProjectiveHyperplane::init(1, 0, 0, 0);
  EXPECT_TRUE(x.isVisible(HomVec4::init(1, 0, 0, 1)));
  EXPECT_FALSE(x.isVisible(HomVec4::init(-1, 0, 0, 1)));
  EXPECT_EQ(x.evaluate(HomVec4::init(0, 1, 0, 1)), 0.0);
  EXPECT_TRUE(x.isVisible(HomVec4::init(0, 1, 0, 1)));
  EXPECT_TRUE(x.isVisible(HomVec4::init(-0.0, 1, 0, 1)));
  EXPECT_FALSE(x.isVisible(HomVec4::init(kNaN, 0, 0, 1)));
  EXPECT_EQ(ProjectiveHyperplane::init(1e16, 1, -1e16, 1).evaluate(HomVec4::init(1, 1, 1, 1)), 1.0);

  EXPECT_EQ(x.transformBy(PGL4::identity()), x);
  const PGL4 m = PGL4::fromRowMajor({{{1, 2, 0, 0}, {0, 1, 0, 3}, {0, 0, 1, 0}, {4, 0, 0, 1}}});
  const ProjectiveHyperplane p = ProjectiveHyperplane::init(1, 2, 3, 4);
  const HomVec4 applied = m.apply(HomVec4::init(1, 2, 3, 4));
  // The matrix itself, not its inverse transpose: row 0 of m gives a' = 1*1 + 2*2.
  EXPECT_EQ(p.transformBy(m), ProjectiveHyperplane::init(applied.x, applied.y, applied.z, applied.w));
  EXPECT_EQ(p.transformBy(m).a, 5.0);
}

TEST(Frustum, DefaultCameraPlanesInOrderLeftRightTopBottom) {
  const OrvFrustum f = OrvFrustum::fromCamera(OrvCamera::makeDefault());
  const double half = 1.0471975511965979 / 2.0;
  const double th = std::tan(half);
  const double tv = std::tan(half / (16.0 / 9.0));  // the half-angle divided, not its tangent
  ASSERT_NE(bits(tv), bits(th / (16.0 / 9.0)));
  const std::array<ProjectiveHyperplane, 4> expected{{{th, 0, -1, -0.0},
                                                      {-th, 0, -1, -0.0},
                                                      {0, -tv, -1, -0.0},
                                                      {0, tv, -1, -0.0}}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(bits(f.planes[i].a), bits(expected[i].a)) << i;
    EXPECT_EQ(bits(f.planes[i].b), bits(expected[i].b)) << i;
    EXPECT_EQ(bits(f.planes[i].c), bits(expected[i].c)) << i;
    EXPECT_EQ(bits(f.planes[i].d), bits(-0.0)) << i;
  }
  EXPECT_TRUE(sameBits(f.observer, HomVec4::init(0, 0, 0, 1)));
  EXPECT_EQ(f.near_fs, 0.01);
  EXPECT_EQ(f.far_fs, 1000.0);

  EXPECT_TRUE(f.isVisibleFast(HomVec4::init(0, 0, -1, 1).normalize()));
  EXPECT_NEAR(f.planes[2].evaluate(HomVec4::init(0, 0, -1, 1).normalize()), std::sqrt(0.5), 1e-15);
  EXPECT_TRUE(f.isVisibleFast(HomVec4::init(0, 0, 0, 1)));   // on every plane
  EXPECT_FALSE(f.isVisibleFast(HomVec4::init(0, 0, 1, 1)));  // behind
  EXPECT_FALSE(f.isVisibleFast(HomVec4::init(5, 0, -1, 1)));  // right of the right plane
  EXPECT_FALSE(f.isVisibleFast(HomVec4::init(0, kNaN, -1, 1)));
  // Exactly on the left plane, with the other three positive: inside.
  EXPECT_EQ(f.planes[0].evaluate(HomVec4::init(-1, 0, -th, 0)), 0.0);
  EXPECT_TRUE(f.isVisibleFast(HomVec4::init(-1, 0, -th, 0)));
}

TEST(Frustum, SphereVisibilityComparesStrictly) {
  const OrvFrustum def = OrvFrustum::fromCamera(OrvCamera::makeDefault());
  EXPECT_TRUE(def.isSphereVisible(HomVec4::init(0, 0, 0, 1), 0.1));
  EXPECT_FALSE(def.isSphereVisible(HomVec4::init(0, 0, 0, 1), 0.001));  // wholly nearer than near
  EXPECT_TRUE(def.isSphereVisible(HomVec4::init(0, 0, 0, 1), kNaN));    // NaN never rejects

  // Planes: the centre may lie up to radius * |plane| behind each one.
  OrvFrustum f{};
  f.planes.fill(ProjectiveHyperplane::init(2, 0, 0, 0));
  f.near_fs = 0.0;
  f.far_fs = 10.0;
  f.observer = HomVec4::init(0, 0, 0, 1);
  const HomVec4 c = HomVec4::init(-0.25, 0, 0, 1);  // evaluates to -0.5; |plane| = 2
  EXPECT_TRUE(f.isSphereVisible(c, 0.25));
  EXPECT_FALSE(f.isSphereVisible(c, std::nextafter(0.25, 0.0)));

  // Near and far: the extent [d - r, d + r] may touch the band's ends.
  f.planes.fill(ProjectiveHyperplane::init(0, 0, 0, 1));
  const HomVec4 p = HomVec4::init(0, 0, -1, 2);
  const double d = fsDistance(f.observer, p);
  const double r = 0.125;
  f.near_fs = d + r;
  EXPECT_TRUE(f.isSphereVisible(p, r));
  f.near_fs = std::nextafter(d + r, 10.0);
  EXPECT_FALSE(f.isSphereVisible(p, r));
  f.near_fs = 0.0;
  f.far_fs = d - r;
  EXPECT_TRUE(f.isSphereVisible(p, r));
  f.far_fs = std::nextafter(d - r, 0.0);
  EXPECT_FALSE(f.isSphereVisible(p, r));
}

TEST(Frustum, TransformByMovesPlanesAndObserver) {
  const OrvFrustum f = OrvFrustum::fromCamera(OrvCamera::makeDefault());
  const OrvFrustum moved = f.transformBy(orv::kernel::pglTranslate(1, 0, 0));
  EXPECT_TRUE(sameBits(moved.observer, HomVec4::init(1, 0, 0, 1)));
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(moved.planes[i], f.planes[i]) << i;
  EXPECT_EQ(moved.near_fs, f.near_fs);
  EXPECT_EQ(moved.far_fs, f.far_fs);

  const PGL4 m = orv::kernel::pglRotateZ(0.3).mul(orv::kernel::pglScale(2, 2, 2));
  const OrvFrustum g = f.transformBy(m);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(g.planes[i], f.planes[i].transformBy(m)) << i;
  EXPECT_TRUE(sameBits(g.observer, m.apply(f.observer)));
}

TEST(Frustum, CameraHelpersGiveTheWantedAnglesOfView) {
  const double across = 1.3;  // radians, full angles
  const double tall = 0.9;
  const OrvCamera cam =
      OrvCamera::init(HomVec4::init(0, 0, 0, 1), HomVec4::init(0, 0, -1, 0), HomVec4::init(0, 1, 0, 0),
                      OrvCamera::fovForAngleOfView(across),
                      OrvCamera::aspectForAnglesOfView(across, tall), 0.01, 1.5);
  const OrvFrustum f = OrvFrustum::fromCamera(cam);
  // A direction at angle a from forward toward right (or up), as a point 0.5 rad away.
  const auto at = [](double a, bool vertical) {
    const double x = vertical ? 0.0 : std::sin(a);
    const double y = vertical ? std::sin(a) : 0.0;
    return HomVec4::init(x * std::sin(0.5), y * std::sin(0.5), -std::cos(a) * std::sin(0.5),
                         std::cos(0.5));
  };
  for (const double sign : {1.0, -1.0}) {
    EXPECT_TRUE(f.isVisibleFast(at(sign * (across / 2 - 1e-9), false)));
    EXPECT_FALSE(f.isVisibleFast(at(sign * (across / 2 + 1e-9), false)));
    EXPECT_TRUE(f.isVisibleFast(at(sign * (tall / 2 - 1e-9), true)));
    EXPECT_FALSE(f.isVisibleFast(at(sign * (tall / 2 + 1e-9), true)));
  }
}

// --- Observer ----------------------------------------------------------------------------------

HomVec4 gaussian(std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  const std::array<double, 4> c{g(rng), g(rng), g(rng), g(rng)};  // drawn in this order
  return HomVec4::init(c[0], c[1], c[2], c[3]);
}

constexpr std::array<void (Observer::*)(double), 6> kMovesAndTurns{
    &Observer::moveForward, &Observer::moveRight, &Observer::moveUp,
    &Observer::yaw,         &Observer::pitch,     &Observer::roll};

// One random move or turn: mostly a small step as a player takes it, now and then a large one.
void randomStep(Observer& o, std::mt19937_64& rng) {
  const double a = std::uniform_real_distribution<double>(-std::numbers::pi, std::numbers::pi)(rng);
  (o.*kMovesAndTurns[rng() % 6])(rng() % 4 == 0 ? a : a * 1e-3);
}

Observer randomObserver(std::mt19937_64& rng, int steps) {
  Observer o = *Observer::init(gaussian(rng), gaussian(rng), gaussian(rng));
  for (int i = 0; i < steps; ++i) randomStep(o, rng);
  return o;
}

// The largest |e_i . e_j - [i == j]| over the frame e = (position, forward, up, right).
double frameDrift(const Observer& o) {
  const std::array<HomVec4, 4> e{o.position(), o.forward(), o.up(), o.right()};
  double worst = 0.0;
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = i; j < 4; ++j) {
      worst = std::fmax(worst, std::fabs(e[i].dot(e[j]) - (i == j ? 1.0 : 0.0)));
    }
  }
  return worst;
}

HomVec4 plus(const HomVec4& a, double k, const HomVec4& b) {
  return HomVec4::init(a.x + k * b.x, a.y + k * b.y, a.z + k * b.z, a.w + k * b.w);
}

// The point facing the observer at distance `d` in the direction forward + tan_x right + tan_y up,
// where a pinhole image puts it at (tan_x, tan_y); behind the observer for a negative `d`.
HomVec4 seenAt(const Observer& o, double d, double tan_x, double tan_y) {
  const double w = std::hypot(tan_x, tan_y, 1.0) / std::tan(std::fabs(d));
  const HomVec4 canonical = HomVec4::init(tan_x, tan_y, d < 0 ? 1 : -1, w).normalize();
  return o.view().inverseOrthogonal().apply(canonical);
}

TEST(Observer, InitCompletesTheFrameSoThatViewIsARotation) {
  const HomVec4 ahead = HomVec4::init(0, 0, -1, 0);
  const HomVec4 up = HomVec4::init(0, 1, 0, 0);
  EXPECT_EQ(Observer::init(HomVec4::init(0, 0, 0, 1), ahead, up)->view().data,
            PGL4::identity().data);
  // Away from the origin, right is orthogonal to the position as well.
  EXPECT_TRUE(sameBits(Observer::init(HomVec4::init(1, 0, 0, 0), ahead, up)->right(),
                       HomVec4::init(0, 0, 0, -1)));

  std::mt19937_64 rng(3);
  for (int i = 0; i < 200; ++i) {
    const HomVec4 p = gaussian(rng);
    const HomVec4 f = gaussian(rng);
    const HomVec4 u = gaussian(rng);
    const Observer o = *Observer::init(p, f, u);
    ASSERT_NEAR(o.view().det(), 1.0, 1e-14) << i;
    ASSERT_LE(frameDrift(o), 1e-15) << i;
    ASSERT_GT(o.forward().dot(f), 0.0) << i;
    ASSERT_GT(o.up().dot(u), 0.0) << i;
    // Only the direction of the position counts, and only the part of forward (of up) orthogonal
    // to the position (and forward).
    const HomVec4 tiny = HomVec4::init(std::ldexp(p.x, -900), std::ldexp(p.y, -900),
                                       std::ldexp(p.z, -900), std::ldexp(p.w, -900));
    const Observer same = *Observer::init(tiny, plus(f, 3, p), plus(plus(u, -2, f), 5, p));
    ASSERT_TRUE(sameBits(same.position(), p.normalize())) << i;
    ASSERT_NEAR(same.forward().dot(o.forward()), 1.0, 1e-14) << i;
    ASSERT_NEAR(same.up().dot(o.up()), 1.0, 1e-14) << i;
    ASSERT_NEAR(same.right().dot(o.right()), 1.0, 1e-14) << i;
  }
}

TEST(Observer, DegenerateFramesAreRefused) {
  using enum ObserverError;
  const double inf = std::numeric_limits<double>::infinity();
  const HomVec4 p = HomVec4::init(0, 0, 0, 1);
  const HomVec4 f = HomVec4::init(0, 0, -1, 0);
  const HomVec4 u = HomVec4::init(0, 1, 0, 0);
  const HomVec4 zero = HomVec4::init(-0.0, 0, 0, -0.0);
  const HomVec4 q = HomVec4::init(0.1, 0.2, 0.3, 0.4);
  struct Case {
    HomVec4 position, forward, up;
    ObserverError error;
  };
  const std::array<Case, 9> cases{{
      {HomVec4::init(kNaN, 0, 0, 1), f, u, non_finite},
      {zero, zero, HomVec4::init(0, -inf, 0, 0), non_finite},  // checked first
      {zero, f, u, zero_position},
      {p, zero, u, forward_parallel_to_position},
      {q, q.normalize(), u, forward_parallel_to_position},  // parallel up to rounding
      {p, HomVec4::init(0, 1e-13, 0, 1), u, forward_parallel_to_position},
      {p, f, zero, up_parallel_to_forward},
      {p, f, HomVec4::init(0, 0, 2, -7), up_parallel_to_forward},  // in the plane of p and f
      {q, f, HomVec4::init(0.1, 0.2, 0.3 - 1e-14, 0.4), up_parallel_to_forward},
  }};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto o = Observer::init(cases[i].position, cases[i].forward, cases[i].up);
    ASSERT_FALSE(o.has_value()) << i;
    EXPECT_EQ(o.error(), cases[i].error) << i;
  }
  // The threshold is relative: tiny, subnormal and huge vectors are sound, and so are directions
  // a billionth of a radian away from what is removed.
  EXPECT_TRUE(Observer::init(HomVec4::init(0, 0, 0, 1e-300), HomVec4::init(0, 0, -5e-324, 0),
                             HomVec4::init(0, 1e300, 0, 1e308))
                  .has_value());
  EXPECT_TRUE(
      Observer::init(p, HomVec4::init(0, 0, -1e-9, 1), HomVec4::init(0, 1e-9, 1, 0)).has_value());

  // Near the threshold the frame is as exact as anywhere: a forward 1e-10 off the position's line
  // and an up 1e-10 off the plane of position and forward, where one pass of each removal and a
  // right built from the raw up would leave errors of 1e-6, give a frame orthonormal to the last
  // place.
  std::mt19937_64 rng(29);
  for (int i = 0; i < 100; ++i) {
    const HomVec4 position = gaussian(rng);
    const HomVec4 ahead = plus(position, 1e-10, gaussian(rng));
    const HomVec4 up_near = plus(plus(position, 0.7, ahead), 1e-10, gaussian(rng));
    const auto o = Observer::init(position, ahead, up_near);
    ASSERT_TRUE(o.has_value()) << i;
    ASSERT_LE(frameDrift(*o), 1e-15) << i;
    ASSERT_NEAR(o->view().det(), 1.0, 1e-14) << i;
  }
}

TEST(Observer, MovesCarryTheFrameAndTurnsRotateItInPlace) {
  // In the order of kMovesAndTurns, the frame vector (0 position, 1 forward, 2 up, 3 right) that
  // turns toward another; the other two stay as they were. Moving forward carries forward along.
  constexpr std::array<std::array<std::size_t, 2>, 6> kTurned{
      {{0, 1}, {0, 3}, {0, 2}, {1, 3}, {1, 2}, {2, 3}}};
  const double c = std::cos(0.25);
  const double s = std::sin(0.25);
  std::mt19937_64 rng(5);
  for (std::size_t i = 0; i < 6; ++i) {
    Observer o = randomObserver(rng, 10);
    const std::array<HomVec4, 4> before{o.position(), o.forward(), o.up(), o.right()};
    (o.*kMovesAndTurns[i])(0.25);
    const std::array<HomVec4, 4> after{o.position(), o.forward(), o.up(), o.right()};
    const auto [a, b] = kTurned[i];
    for (std::size_t k = 0; k < 4; ++k) {
      const double to_a = k == a ? c : k == b ? -s : 0.0;
      const double to_b = k == a ? s : k == b ? c : 0.0;
      EXPECT_NEAR(after[k].dot(before[a]), to_a, 1e-15) << i << " " << k;
      EXPECT_NEAR(after[k].dot(before[b]), to_b, 1e-15) << i << " " << k;
      if (k != a && k != b) {
        EXPECT_NEAR(after[k].dot(before[k]), 1.0, 1e-15) << i << " " << k;
      }
    }
    const PGL4 view = o.view();
    (o.*kMovesAndTurns[i])(kNaN);
    (o.*kMovesAndTurns[i])(-std::numeric_limits<double>::infinity());
    EXPECT_TRUE(sameBits(o.view(), view)) << i;
  }
}

// Each step rotates the frame and then runs one Gram-Schmidt pass, which leaves it orthonormal to a
// few units in the last place whatever came before: the drift does not grow with the walk (worst
// measured 6.7e-16, on walks mostly of small steps with a few large ones and on one of 100,000
// small steps). Without the pass it grows with every step, to 1.7e-14 on the first walks. Without
// one of its removals (forward from the position, right from up) large steps still undo the
// errors, but small steps, nearly the identity, let them add up: 1.6e-14 and 8.7e-15.
TEST(Observer, FrameStaysOrthonormalOverLongRandomWalks) {
  std::mt19937_64 rng(11);
  double worst = 0.0;
  for (int walk = 0; walk < 11; ++walk) {
    Observer o = randomObserver(rng, 0);
    const bool small_steps_only = walk == 10;
    std::uniform_real_distribution<double> small(-std::numbers::pi * 1e-3, std::numbers::pi * 1e-3);
    for (int i = 0; i < (small_steps_only ? 100000 : 10000); ++i) {
      if (small_steps_only) {
        (o.*kMovesAndTurns[rng() % 6])(small(rng));
      } else {
        randomStep(o, rng);
      }
      worst = std::fmax(worst, frameDrift(o));
    }
    EXPECT_NEAR(o.view().det(), 1.0, 2e-15);
  }
  std::printf("worst frame drift, max |e_i . e_j - [i == j]| over 10 walks of 10,000 steps and one "
              "of 100,000 small ones: %.3g\n", worst);
  RecordProperty("worst_frame_drift", std::to_string(worst));
  EXPECT_LE(worst, 1e-15);
}

TEST(ObserverFrustum, KeepsStraightAheadAtTheCentreAndExactlyTheDirectionsWithinTheAngles) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> angle(0.01, 3.1);
  std::uniform_real_distribution<double> distance(1e-3, std::numbers::pi / 2);
  constexpr double kMargin = 1e-9;  // radians on either side of each edge
  for (int i = 0; i < 200; ++i) {
    // At (1, 0, 0, 0) the camera built from the same vectors culls what is straight ahead.
    const Observer o = i > 0 ? randomObserver(rng, i * 10)
                             : *Observer::init(HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 0, -1, 0),
                                               HomVec4::init(0, 1, 0, 0));
    const double h = i == 0 ? std::numbers::pi / 3 : angle(rng);
    const double v = i == 0 ? verticalAngleOfView(h, 16.0 / 9.0) : angle(rng);
    const OrvFrustum f = o.frustum(h, v);
    const double d = i == 0 ? 0.3 : distance(rng);
    // A pinhole image puts a point at (left - right) / (left + right) across and likewise up:
    // equal opposite plane values are its centre (up to a few 1e-16 of rounding).
    const HomVec4 ahead = seenAt(o, d, 0, 0);
    ASSERT_TRUE(f.isVisibleFast(ahead)) << i;
    ASSERT_NEAR(f.planes[0].evaluate(ahead), f.planes[1].evaluate(ahead), 1e-15) << i;
    ASSERT_NEAR(f.planes[2].evaluate(ahead), f.planes[3].evaluate(ahead), 1e-15) << i;
    ASSERT_FALSE(f.isVisibleFast(seenAt(o, -d, 0, 0))) << i;  // straight behind
    // Up and to the right, halfway to the corner: a pinhole image puts it right of the centre and
    // above it, (l - r) / (l + r) = 1/2 and (t - b) / (t + b) = -1/2 (image rows grow downward).
    // Unlike culling, this tells left from right and top from bottom.
    const HomVec4 up_right = seenAt(o, d, std::tan(h / 2) / 2, std::tan(v / 2) / 2);
    std::array<double, 4> value{};
    for (std::size_t k = 0; k < 4; ++k) value[k] = f.planes[k].evaluate(up_right);
    ASSERT_NEAR((value[0] - value[1]) / (value[0] + value[1]), 0.5, 1e-9) << i;
    ASSERT_NEAR((value[2] - value[3]) / (value[2] + value[3]), -0.5, 1e-9) << i;
    for (const double side : {-1.0, 1.0}) {
      const double in_h = side * std::tan(h / 2 - kMargin);
      const double out_h = side * std::tan(h / 2 + kMargin);
      const double in_v = side * std::tan(v / 2 - kMargin);
      const double out_v = side * std::tan(v / 2 + kMargin);
      ASSERT_TRUE(f.isVisibleFast(seenAt(o, d, in_h, -in_v))) << i << " " << side;  // corners
      ASSERT_FALSE(f.isVisibleFast(seenAt(o, d, out_h, 0))) << i << " " << side;
      ASSERT_FALSE(f.isVisibleFast(seenAt(o, d, 0, out_v))) << i << " " << side;
    }
  }
  const double vertical = verticalAngleOfView(std::numbers::pi / 2, 16.0 / 9.0);
  EXPECT_NEAR(std::tan(vertical / 2), 9.0 / 16.0, 1e-15);
  EXPECT_EQ(verticalAngleOfView(1.0, kNaN), 0.0);
  EXPECT_EQ(verticalAngleOfView(1.0, 0.0), 0.0);  // exactly at the limit: not positive
  EXPECT_EQ(verticalAngleOfView(1.0, -0.0), 0.0);
  // Angles outside (0, pi) are clamped: the widest view keeps all that is ahead.
  const OrvFrustum clamped = Observer{}.frustum(kNaN, 7.0);
  EXPECT_EQ(clamped.planes, Observer{}.frustum(0.0, std::numbers::pi).planes);
  EXPECT_TRUE(Observer{}.frustum(7.0, 7.0).isVisibleFast(HomVec4::init(1e6, -1e6, -1, 1)));
  EXPECT_EQ(clamped.near_fs, 0.01);
  EXPECT_EQ(clamped.far_fs, std::numbers::pi / 2);
}

// From a moved and turned observer, or moved by its view and seen from the origin, the world is
// culled alike: the frustum is the canonical one carried by the observer's frame. Only rounding
// differs, so the two could disagree on a point within about 1e-16 of a side plane.
TEST(ObserverFrustum, CullingFromAnyObserverEqualsCullingTheRotatedWorld) {
  constexpr std::size_t kPoints = 100000;
  std::mt19937_64 rng(19);
  std::vector<HomVec4> points(kPoints);
  for (HomVec4& p : points) p = gaussian(rng).normalize();
  std::vector<HomVec4> facing_points(kPoints);
  std::vector<HomVec4> rotated(kPoints);
  const auto mask = std::make_unique<bool[]>(kPoints);
  const auto origin_mask = std::make_unique<bool[]>(kPoints);
  std::uniform_real_distribution<double> angle(0.1, 3.0);
  std::size_t disagreements = 0;
  for (int i = 0; i < 5; ++i) {
    const Observer o = randomObserver(rng, 1000);
    const double h = angle(rng);
    const double v = angle(rng);
    faceObserver(o.position(), points, facing_points);
    const std::uint32_t visible =
        frustumCull(o.frustum(h, v), facing_points, {mask.get(), kPoints});
    const PGL4 view = o.view();
    for (std::size_t j = 0; j < kPoints; ++j) rotated[j] = view.apply(points[j]);
    faceObserver(HomVec4::init(0, 0, 0, 1), rotated, rotated);
    EXPECT_EQ(frustumCull(Observer{}.frustum(h, v), rotated, {origin_mask.get(), kPoints}),
              visible);
    EXPECT_GT(visible, 100u) << i;
    for (std::size_t j = 0; j < kPoints; ++j) disagreements += mask[j] != origin_mask[j] ? 1u : 0u;
  }
  std::printf("culling from 5 moved and turned observers against the rotated world, %zu points "
              "each: %zu disagreements\n", kPoints, disagreements);
  RecordProperty("disagreements", std::to_string(disagreements));
  EXPECT_EQ(disagreements, 0u);
}

TEST(Culling, FaceObserverWritesTheFacingRepresentativesApartOrInPlace) {
  const HomVec4 eye = HomVec4::init(0.5, 0, 0, 0.5);
  const std::array<HomVec4, 3> points{HomVec4::init(0, 1, 0, -1), HomVec4::init(-1, 0, 0, 1),
                                      HomVec4::init(kNaN, 0, 0, -1)};
  std::array<HomVec4, 4> out{};
  out.fill(HomVec4::init(7, 7, 7, 7));
  faceObserver(eye, points, out);
  EXPECT_TRUE(sameBits(out[0], HomVec4::init(-0.0, -1, -0.0, 1)));  // negated exactly
  EXPECT_TRUE(sameBits(out[1], points[1]));  // a zero product keeps the point, as NaN does
  EXPECT_TRUE(sameBits(out[2], points[2]));
  EXPECT_TRUE(sameBits(out[3], HomVec4::init(7, 7, 7, 7)));  // beyond the points
  std::array<HomVec4, 3> in_place = points;
  faceObserver(eye, in_place, in_place);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(sameBits(in_place[i], out[i])) << i;
}

// On the hyperplane orthogonal to the observer a vector and its negation are pi/2 away both ways:
// facing the frustum gives both the same representative, the one in view if either is, and
// faceObserver with the frustum culls them alike. Off that hyperplane it is the plain choice.
TEST(Culling, FacingTheFrustumGivesAVectorAndItsNegationOneRepresentative) {
  std::mt19937_64 rng(23);
  std::uniform_real_distribution<double> angle(0.0, std::numbers::pi);
  std::size_t seen = 0;
  for (int i = 0; i < 200; ++i) {
    // Turned in place, the observer stays exactly at the origin: w = 0 is that hyperplane. Wide,
    // narrow and zero angles of view (a frustum that is a plane or a line); every fourth observer
    // unturned, where points on the axes make plane values and their sums exactly zero.
    const bool unturned = i % 4 == 0;
    Observer turned;
    for (int k = 0; k < (unturned ? 0 : 3); ++k) (turned.*kMovesAndTurns[3 + rng() % 3])(angle(rng));
    const double h = i % 10 == 0 ? 0.0 : angle(rng);
    const double v = i % 15 == 0 ? 0.0 : angle(rng);
    const OrvFrustum f = turned.frustum(h, v);
    ASSERT_TRUE(sameBits(f.observer, HomVec4::init(0, 0, 0, 1)));
    HomVec4 q = gaussian(rng);
    q = HomVec4::init(unturned && i % 8 == 0 ? 0.0 : q.x, unturned && i % 24 == 0 ? 0.0 : q.y, q.z,
                      0.0);
    const HomVec4 minus_q = HomVec4::init(-q.x, -q.y, -q.z, -q.w);
    const HomVec4 chosen = facing(f, q);
    ASSERT_TRUE(sameBits(chosen, facing(f, minus_q))) << i;
    ASSERT_TRUE(sameBits(chosen, q) || sameBits(chosen, minus_q)) << i;
    const bool in_view = f.isVisibleFast(q) || f.isVisibleFast(minus_q);
    ASSERT_EQ(f.isVisibleFast(chosen), in_view) << i;
    // The one ahead, even out of view, unless no plane looks ahead (both angles zero) or the point
    // is within rounding of square to the line of sight.
    if ((h > 0 || v > 0) && std::fabs(q.dot(turned.forward())) > 1e-12) {
      ASSERT_GT(chosen.dot(turned.forward()), 0.0) << i;
    }
    const std::array<HomVec4, 2> pair{q, minus_q};
    std::array<HomVec4, 2> faced{};
    faceObserver(f, pair, faced);
    std::array<bool, 2> mask{};
    ASSERT_EQ(frustumCull(f, faced, mask), in_view ? 2u : 0u) << i;
    seen += in_view ? 1u : 0u;

    const HomVec4 off = gaussian(rng);
    ASSERT_TRUE(sameBits(facing(f, off), facing(f.observer, off))) << i;
  }
  EXPECT_GT(seen, 40u);
}

// --- Depth and W-visibility --------------------------------------------------------------------

TEST(Depth, NormalisesBetweenNearAndFar) {
  const HomVec4 origin = HomVec4::init(0, 0, 0, 1);
  const double half_pi = std::numbers::pi / 2;
  EXPECT_EQ(fsDepth(origin, HomVec4::init(0, 0, -1, 0), 0.01, 2.0), (half_pi - 0.01) / (2.0 - 0.01));
  EXPECT_EQ(fsDepth(origin, HomVec4::init(0, 0, 0.001, 1).normalize(), 0.01, 100), 0.0);
  EXPECT_EQ(fsDepth(origin, HomVec4::init(1, 0, 0, 0), 0.01, 0.5), 1.0);
  // Both ends are inclusive, and the near test comes first.
  EXPECT_EQ(fsDepth(origin, HomVec4::init(1, 0, 0, 0), half_pi, 2.0), 0.0);
  EXPECT_EQ(fsDepth(origin, HomVec4::init(1, 0, 0, 0), 0.1, half_pi), 1.0);
  EXPECT_EQ(fsDepth(origin, HomVec4::init(1, 0, 0, 0), half_pi, half_pi), 0.0);
  EXPECT_EQ(fsDepth(origin, HomVec4::init(1, 0, 0, 0), 2.0, 1.0), 0.0);  // reversed limits
  EXPECT_EQ(fsDepth(origin, HomVec4::init(0, 0, 0, 0), 0.0, 1.0), 0.0);  // zero vector: d = 0

  const double depth = (50 - 0.1) / (100 - 0.1);
  EXPECT_EQ(depth, 0.49949949949949946);
  EXPECT_NEAR(fsDepthToDistance(depth, 0.1, 100), 50.0, 1e-10);
  EXPECT_EQ(fsDepthToDistance(2.0, 0.0, 1.0), 2.0);  // not clamped
}

TEST(Depth, WVisibilityLooksAtWAlone) {
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, 1)), WVisibilityClass::in_front);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, -1)), WVisibilityClass::behind);
  EXPECT_EQ(wVisibility(HomVec4::init(1, 0, 0, 0)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, 1e-6)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, -1e-6)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, std::nextafter(1e-6, 1.0))), WVisibilityClass::in_front);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, std::nextafter(-1e-6, -1.0))), WVisibilityClass::behind);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, kNaN)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, -0.0)), WVisibilityClass::at_infinity);
}

// --- Culling and clipping ----------------------------------------------------------------------

TEST(Culling, MarksTheMaskAndCountsWithinTheShorterLength) {
  const OrvFrustum f = OrvFrustum::fromCamera(OrvCamera::makeDefault());
  const std::array<HomVec4, 1> observer{HomVec4::init(0, 0, 0, 1)};
  std::array<bool, 1> one{false};
  EXPECT_EQ(frustumCull(f, observer, one), 1u);
  EXPECT_TRUE(one[0]);

  const ProjectiveHyperplane plane = ProjectiveHyperplane::init(1, 0, 0, 0);
  const std::array<HomVec4, 5> points{HomVec4::init(1, 0, 0, 1), HomVec4::init(-1, 0, 0, 1),
                                      HomVec4::init(0, 1, 0, 1), HomVec4::init(1, 0, 0, 1),
                                      HomVec4::init(1, 0, 0, 1)};
  bool mask3[3] = {false, true, false};
  EXPECT_EQ(projectiveClip(plane, std::span(points).first(3), mask3), 2u);
  EXPECT_TRUE(mask3[0] && !mask3[1] && mask3[2]);

  // A short mask limits the work; a long mask keeps its extra entries.
  bool mask2[2] = {false, false};
  EXPECT_EQ(projectiveClip(plane, points, mask2), 1u);
  bool mask7[7] = {false, false, false, false, false, true, false};
  EXPECT_EQ(projectiveClip(plane, points, mask7), 4u);
  EXPECT_TRUE(mask7[5] && !mask7[6]);
  bool long_cull[3] = {false, false, true};
  EXPECT_EQ(frustumCull(f, std::span(points).first(2), long_cull), 0u);
  EXPECT_TRUE(long_cull[2]);
  EXPECT_EQ(frustumCull(f, {}, long_cull), 0u);
}

// Every batch path the machine runs gives the per-point definition's mask and count, bit for bit:
// random points, points exactly on planes, signed zeros, infinities and NaN, every tail length.
TEST(Culling, EveryBatchPathMatchesThePerPointDefinition) {
  std::mt19937_64 rng(31);
  std::normal_distribution<double> gauss;
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<HomVec4> points;
  for (int i = 0; i < 3000; ++i) {
    points.push_back(HomVec4::init(gauss(rng), gauss(rng), gauss(rng), gauss(rng)));
  }
  const OrvCamera cam = OrvCamera::makeDefault();
  const double th = std::tan(cam.fov / 2.0);
  const std::array<HomVec4, 12> adversarial{
      HomVec4::init(0, 0, 0, 1),         HomVec4::init(-0.0, -0.0, -0.0, -0.0),
      HomVec4::init(-1, 0, -th, 0),      HomVec4::init(1, 0, -th, 0),
      HomVec4::init(kNaN, 0, -1, 1),     HomVec4::init(0, 0, -1, kNaN),
      HomVec4::init(inf, 0, -1, 1),      HomVec4::init(0, 0, -inf, 1),
      HomVec4::init(0, 0, -1, inf),      HomVec4::init(1e308, 1e308, -1e308, 1),
      HomVec4::init(5e-324, 0, -5e-324, 0), HomVec4::init(0, 0, -1, 0)};
  for (int i = 0; i < 40; ++i) {
    for (const HomVec4& p : adversarial) points.insert(points.begin() + 75 * i, p);
    // ((1e16 + 1) - 1e16) - 1 is -1 against the plane (1, 1, 1, 1); other groupings give 0.
    points.insert(points.begin() + 61 * i, HomVec4::init(1e16, 1, -1e16, -1));
  }

  std::vector<OrvFrustum> frustums{OrvFrustum::fromCamera(cam)};
  for (int i = 0; i < 5; ++i) {
    const HomVec4 pos = HomVec4::init(gauss(rng), gauss(rng), gauss(rng), gauss(rng));
    const HomVec4 fwd = HomVec4::init(gauss(rng), gauss(rng), gauss(rng), gauss(rng));
    frustums.push_back(OrvFrustum::fromCamera(
        OrvCamera::init(pos, fwd, HomVec4::init(0, 1, 0, 0), 0.5 + i * 0.4, 1.5, 0.01, 2)));
  }
  frustums.push_back(frustums[0]);
  frustums.back().planes[1].c = kNaN;
  frustums.push_back(frustums[0]);
  frustums.back().planes.fill(ProjectiveHyperplane::init(1, 1, 1, 1));
  ASSERT_FALSE(frustums.back().isVisibleFast(HomVec4::init(1e16, 1, -1e16, -1)));

  for (const BatchPath path : {BatchPath::baseline, BatchPath::avx2, BatchPath::avx512}) {
    if (!isSupported(path)) {
      std::printf("batch path %d not supported here: skipped\n", static_cast<int>(path));
      continue;
    }
    for (const OrvFrustum& f : frustums) {
      for (const std::size_t n : {points.size(), std::size_t{0}, std::size_t{1}, std::size_t{3},
                                  std::size_t{4}, std::size_t{7}, std::size_t{1001}}) {
        const std::span<const HomVec4> some(points.data(), n);
        std::vector<char> cull(n + 1, 2);
        std::vector<char> clip(n + 1, 2);
        const std::uint32_t culled = detail::frustumCullOn(
            path, f, some, std::span(reinterpret_cast<bool*>(cull.data()), n));
        const std::uint32_t clipped = detail::projectiveClipOn(
            path, f.planes[2], some, std::span(reinterpret_cast<bool*>(clip.data()), n));
        std::uint32_t expected_cull = 0;
        std::uint32_t expected_clip = 0;
        for (std::size_t i = 0; i < n; ++i) {
          const bool in_frustum = f.isVisibleFast(points[i]);
          const bool in_plane = f.planes[2].isVisible(points[i]);
          ASSERT_EQ(cull[i], in_frustum ? 1 : 0) << "path " << int(path) << ", point " << i;
          ASSERT_EQ(clip[i], in_plane ? 1 : 0) << "path " << int(path) << ", point " << i;
          expected_cull += in_frustum;
          expected_clip += in_plane;
        }
        EXPECT_EQ(culled, expected_cull);
        EXPECT_EQ(clipped, expected_clip);
        EXPECT_EQ(cull[n], 2);  // nothing beyond the mask is written
        EXPECT_EQ(clip[n], 2);
      }
    }
  }
  EXPECT_TRUE(isSupported(BatchPath::baseline));
}

// One pass of facing, culling and compacting lists exactly what faceObserver with the frustum,
// frustumCull and collecting the mask's indices give, on every path: with points where the product
// with the observer is zero (w = 0 at the origin, in groups and alone), on planes, zero vectors,
// infinities and NaN, every tail length, and compacting in place.
TEST(Culling, VisibleIndicesMatchFacingCullingAndCompacting) {
  std::mt19937_64 rng(37);
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<HomVec4> points;
  for (int i = 0; i < 4000; ++i) {
    HomVec4 q = gaussian(rng);
    if (i % 61 == 0) q.w = 0.0;                            // square to the observer at the origin
    if (i % 400 < 8) q = HomVec4::init(q.x, 0, -1, 0.0);   // whole groups of them
    points.push_back(q);
  }
  const std::array<HomVec4, 9> adversarial{
      HomVec4::init(0, 0, 0, 1),     HomVec4::init(-0.0, -0.0, -0.0, -0.0),
      HomVec4::init(0, 0, 0, -1),    HomVec4::init(kNaN, 0, -1, 1),
      HomVec4::init(0, 0, -1, kNaN), HomVec4::init(inf, 0, -1, 1),
      HomVec4::init(0, 0, inf, -1),  HomVec4::init(0, 0, -1, 0),
      HomVec4::init(1, 0, -1, -0.0)};
  for (int i = 0; i < 30; ++i) {
    for (const HomVec4& p : adversarial) points.insert(points.begin() + 97 * i, p);
  }

  std::vector<OrvFrustum> frustums{OrvFrustum::fromCamera(OrvCamera::makeDefault()),
                                   Observer{}.frustum(2.0, 1.2)};
  for (int i = 0; i < 4; ++i) {
    Observer o;
    for (int k = 0; k < 3; ++k) (o.*kMovesAndTurns[(i < 2 ? 3 : 0) + rng() % 3])(0.7 + i);
    frustums.push_back(o.frustum(0.5 + i * 0.6, 0.4 + i * 0.5));
  }
  // Exactly on a side plane of the canonical frustum, square to its observer or to be negated.
  const ProjectiveHyperplane& left = frustums[1].planes[0];
  for (int i = 1; i < 40; ++i) {
    points.insert(points.begin() + 53 * i, HomVec4::init(left.c, 0, -left.a, 0));
    points.insert(points.begin() + 59 * i, HomVec4::init(-left.c, 0, left.a, -1));
  }

  for (const BatchPath path : {BatchPath::baseline, BatchPath::avx2, BatchPath::avx512}) {
    if (!isSupported(path)) continue;
    for (const OrvFrustum& f : frustums) {
      std::vector<HomVec4> faced(points.size());
      faceObserver(f, points, faced);
      const auto mask = std::make_unique<bool[]>(points.size());
      (void)frustumCull(f, faced, {mask.get(), points.size()});
      for (const std::size_t n : {points.size(), std::size_t{0}, std::size_t{3}, std::size_t{4},
                                  std::size_t{9}, std::size_t{1002}}) {
        std::vector<std::uint32_t> expected;
        for (std::size_t i = 0; i < n; ++i) {
          if (mask[i]) expected.push_back(static_cast<std::uint32_t>(i));
        }
        std::vector<std::uint32_t> indices(n + 1, 0xdeadbeef);
        const std::uint32_t count =
            detail::visibleIndicesOn(path, f, std::span(points).first(n), indices, {});
        // Indices longer than the points: the points limit the work.
        ASSERT_EQ(count, expected.size()) << int(path) << " " << n;
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), indices.begin()));
        EXPECT_EQ(indices[n], 0xdeadbeef);

        // With the facing points, in place over a copy of the points; `indices` now the shorter.
        std::vector<HomVec4> compacted(points.begin(), points.end());
        std::vector<std::uint32_t> short_indices(n, 0);
        ASSERT_EQ(detail::visibleIndicesOn(path, f, compacted, short_indices, compacted), count);
        for (std::size_t k = 0; k < count; ++k) {
          ASSERT_EQ(short_indices[k], expected[k]);
          ASSERT_TRUE(sameBits(compacted[k], faced[expected[k]])) << int(path) << " " << k;
        }
        if (n < points.size()) {
          EXPECT_TRUE(sameBits(compacted[n], points[n]));
        }
      }
    }
  }
  // The public calls take the machine's best path.
  const OrvFrustum& f = frustums[2];
  std::vector<std::uint32_t> indices(points.size());
  std::vector<std::uint32_t> on_baseline(points.size());
  std::vector<HomVec4> visible(points.size());
  const std::uint32_t count = visibleIndices(f, points, indices);
  EXPECT_GT(count, 100u);
  EXPECT_EQ(detail::visibleIndicesOn(BatchPath::baseline, f, points, on_baseline, {}), count);
  EXPECT_EQ(visibleIndices(f, points, indices, visible), count);
  EXPECT_TRUE(std::equal(indices.begin(), indices.begin() + count, on_baseline.begin()));
}

// --- Depth sorting -----------------------------------------------------------------------------

// The drawing order defined by a stable insertion sort that recomputes every distance.
std::vector<std::size_t> referenceOrder(const HomVec4& observer, std::span<const HomVec4> points) {
  std::vector<std::size_t> indices(points.size());
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
  for (std::size_t i = 1; i < indices.size(); ++i) {
    const std::size_t key = indices[i];
    const double key_dist = fsDistance(observer, points[key]);
    std::size_t j = i;
    while (j > 0) {
      const double prev_dist = fsDistance(observer, points[indices[j - 1]]);
      if (prev_dist >= key_dist) break;
      indices[j] = indices[j - 1];
      --j;
    }
    indices[j] = key;
  }
  return indices;
}

// Random points on the 3-sphere with many exact ties: repeats, negations and rescaled copies.
std::vector<HomVec4> pointsWithTies(std::mt19937_64& rng, std::size_t n) {
  std::normal_distribution<double> gauss;
  std::uniform_int_distribution<int> kind(0, 5);
  std::vector<HomVec4> points;
  while (points.size() < n) {
    const int k = points.empty() ? 0 : kind(rng);
    std::uniform_int_distribution<std::size_t> pick(0, points.size() ? points.size() - 1 : 0);
    if (k <= 1) {
      points.push_back(HomVec4::init(gauss(rng), gauss(rng), gauss(rng), gauss(rng)).normalize());
    } else {
      const HomVec4 p = points[pick(rng)];
      const double f = k == 2 ? 1.0 : k == 3 ? -1.0 : k == 4 ? 0x1p40 : -3.0;
      points.push_back(HomVec4::init(f * p.x, f * p.y, f * p.z, f * p.w));
    }
  }
  return points;
}

TEST(DepthSort, FarthestFirstWithTiesInInputOrder) {
  CountingResource resource;
  const HomVec4 observer = HomVec4::init(0, 0, 0, 1);
  const std::array<HomVec4, 3> points{HomVec4::init(0, 0, -0.5, 1).normalize(),
                                      HomVec4::init(0, 0, -0.1, 1).normalize(),
                                      HomVec4::init(0, 0, -0.3, 1).normalize()};
  {
    const auto order = sortByFSDepth(resource, observer, points);
    ASSERT_TRUE(order.has_value());
    EXPECT_EQ(std::vector<std::size_t>(order->begin(), order->end()), (std::vector<std::size_t>{0, 2, 1}));
    EXPECT_EQ(order->get_allocator().resource(), &resource);
  }
  {
    const std::array<HomVec4, 1> single{HomVec4::init(1, 2, 3, 4)};
    const auto order = sortByFSDepth(resource, observer, single);
    EXPECT_EQ(std::vector<std::size_t>(order->begin(), order->end()), (std::vector<std::size_t>{0}));
    const std::array<HomVec4, 3> tie{HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 0, 0, 1),
                                     HomVec4::init(0, -2, 0, 0)};
    const auto tied = sortByFSDepth(resource, observer, tie);
    EXPECT_EQ(std::vector<std::size_t>(tied->begin(), tied->end()), (std::vector<std::size_t>{0, 2, 1}));
  }
  const auto none = sortByFSDepth(resource, observer, {});
  EXPECT_TRUE(none.has_value() && none->empty());
  EXPECT_EQ(resource.bytesInUse(), 0u);

  std::mt19937_64 rng(99);
  for (const std::size_t n : {2u, 5u, 31u, 32u, 33u, 64u, 257u, 3000u}) {
    const std::vector<HomVec4> points_n = pointsWithTies(rng, n);
    const HomVec4 eye = pointsWithTies(rng, 1)[0];
    const auto order = sortByFSDepth(resource, eye, points_n);
    ASSERT_TRUE(order.has_value());
    EXPECT_EQ(std::vector<std::size_t>(order->begin(), order->end()), referenceOrder(eye, points_n)) << n;
  }
  // Non-finite and degenerate points are at distance 0 and tie with the observer's own point.
  {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<HomVec4> odd = pointsWithTies(rng, 60);
    const std::array<HomVec4, 7> adversarial{
        HomVec4::init(kNaN, 0, 0, 1),  HomVec4::init(inf, 0, 0, 1),       HomVec4::init(0, 0, 0, 0),
        HomVec4::init(-0.0, -0.0, -0.0, -0.0), HomVec4::init(1e300, -1e300, 1e300, 1),
        HomVec4::init(0, 0, 0, 1),     HomVec4::init(5e-324, 0, 0, 0)};
    for (std::size_t i = 0; i < adversarial.size(); ++i) {
      odd.insert(odd.begin() + static_cast<std::ptrdiff_t>(7 * i), adversarial[i]);
      odd.push_back(adversarial[i]);
    }
    const auto order = sortByFSDepth(resource, observer, odd);
    EXPECT_EQ(std::vector<std::size_t>(order->begin(), order->end()), referenceOrder(observer, odd));
  }
  // Distances that share their upper bits exercise the skipped radix digits.
  std::vector<HomVec4> close;
  for (int i = 0; i < 200; ++i) close.push_back(HomVec4::init(1, 0, 0, 1e-9 * (i % 7)));
  const auto order = sortByFSDepth(resource, observer, close);
  EXPECT_EQ(std::vector<std::size_t>(order->begin(), order->end()), referenceOrder(observer, close));
}

// Sets large enough to be grouped by distance first and each group sorted in cache: the order by
// decreasing distance, then index, with many exact ties (equal and scaled copies) and many distances
// that agree in all but their last bits (copies moved by a few units in the last place), and the
// distances handed back bit for bit.
TEST(DepthSort, LargeSetsGiveTheStableOrderOfTheirDistances) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> ulps(-3, 3);
  for (const std::size_t n : {5000u, 300000u}) {
    std::vector<HomVec4> points = pointsWithTies(rng, n);
    for (std::size_t i = 0; i < n; i += 3) {
      const HomVec4& p = points[(i * 7919) % n];
      points[i] = HomVec4::init(p.x, p.y, p.z, p.w * (1.0 + ulps(rng) * 0x1p-52));
    }
    const HomVec4 eye = HomVec4::init(0.3, -0.1, 0.2, 0.9);
    std::vector<double> expected_distances(n);
    for (std::size_t i = 0; i < n; ++i) expected_distances[i] = fsDistance(eye, points[i]);
    std::vector<std::size_t> expected(n);
    for (std::size_t i = 0; i < n; ++i) expected[i] = i;
    // The order of a stable sort by decreasing distance (std::stable_sort itself is deprecated
    // inside libstdc++ 12 for Clang's C++23).
    std::sort(expected.begin(), expected.end(), [&](std::size_t a, std::size_t b) {
      const double da = expected_distances[a];
      const double db = expected_distances[b];
      return da > db || (da == db && a < b);
    });
    std::vector<double> distances(n);
    const auto order =
        sortByFSDepth(*std::pmr::new_delete_resource(), eye, points, distances);
    ASSERT_TRUE(order.has_value());
    EXPECT_TRUE(std::equal(order->begin(), order->end(), expected.begin(), expected.end())) << n;
    EXPECT_EQ(std::memcmp(distances.data(), expected_distances.data(), n * sizeof(double)), 0);
  }
}

TEST(DepthSort, UsesOnlyTheCallersResourceAndReturnsItOnFailure) {
  std::mt19937_64 rng(5);
  const std::vector<HomVec4> points = pointsWithTies(rng, 1000);
  const HomVec4 observer = HomVec4::init(0, 0, 0, 1);
  {
    CountingResource resource;
    const auto order = sortByFSDepth(resource, observer, points);
    ASSERT_TRUE(order.has_value());
    // The list is the one request made of the resource.
    EXPECT_EQ(resource.bytesInUse(), points.size() * sizeof(std::size_t));
    EXPECT_EQ(resource.allocations(), 1u);
  }
  for (const std::size_t n : {std::size_t{3}, points.size()}) {
    CountingResource resource;
    resource.failAllocation(1);
    const auto order = sortByFSDepth(resource, observer, std::span(points).first(n));
    ASSERT_FALSE(order.has_value());
    EXPECT_EQ(order.error(), orv::Error::OutOfMemory);
    EXPECT_EQ(resource.bytesInUse(), 0u);
    EXPECT_EQ(resource.mismatchedReleases(), 0u);
  }
}

// --- Pipelines ---------------------------------------------------------------------------------

TEST(Pipelines, PassCountsAndGBufferSize) {
  const OrvCamera cam = OrvCamera::makeDefault();
  const ForwardPlusPipeline forward = ForwardPlusPipeline::init(cam, ForwardPlusConfig{});
  EXPECT_EQ(forward.passCount(), 4u);
  EXPECT_EQ(forward.frame_index, 0u);
  EXPECT_TRUE(forward.camera.dirty);  // copied unchanged, view not refreshed
  EXPECT_EQ(forward.frustum.planes, OrvFrustum::fromCamera(cam).planes);
  ForwardPlusConfig no_prepass{};
  no_prepass.z_prepass = false;
  EXPECT_EQ(ForwardPlusPipeline::init(cam, no_prepass).passCount(), 3u);
  ForwardPlusConfig other{64, 8, 4, true, false, false};
  EXPECT_EQ(ForwardPlusPipeline::init(cam, other).passCount(), 4u);
  EXPECT_EQ(ForwardPlusPipeline::init(cam, other).config.msaa_samples, 4u);

  const DeferredPipeline deferred = DeferredPipeline::init(cam, DeferredConfig{});
  EXPECT_EQ(deferred.passCount(), 3u);
  EXPECT_EQ(deferred.frame_index, 0u);
  DeferredConfig untiled{};
  untiled.tiled = false;
  EXPECT_EQ(DeferredPipeline::init(cam, untiled).passCount(), 3u);
  EXPECT_EQ(DeferredConfig{}.max_lights, 1024u);

  static_assert(GBufferLayout{}.bytesPerPixel() == 56);
  GBufferLayout wide{};
  wide.albedo_format = orv::rhi::Format::pgl4_f64;
  EXPECT_EQ(wide.bytesPerPixel(), 180u);
  EXPECT_EQ(passCountHint(PipelineMode::forward_plus), 4u);
  EXPECT_EQ(passCountHint(PipelineMode::deferred), 3u);
  EXPECT_EQ(passCountHint(PipelineMode::hybrid), 5u);
}

// --- The caller's chain, camera to frame graph -------------------------------------------------

TEST(EndToEnd, CameraToFrameGraph) {
  using namespace orv::rhi;
  OrvCamera cam = OrvCamera::makeDefault();
  cam.moveForward(0.1);
  cam.updateViewMatrix();
  const OrvFrustum frustum = OrvFrustum::fromCamera(cam);

  const std::array<HomVec4, 6> points{
      HomVec4::fromCartesian(0, 0, -1).normalize(),     HomVec4::fromCartesian(0, 0, -3).normalize(),
      HomVec4::fromCartesian(0, 0, 2).normalize(),      HomVec4::fromCartesian(5, 0, -1).normalize(),
      HomVec4::fromCartesian(0.2, 0.1, -2).normalize(), HomVec4::init(0, 0, -1, 0)};
  std::array<bool, 6> mask{};
  ASSERT_EQ(frustumCull(frustum, points, mask), 4u);
  EXPECT_EQ(mask, (std::array<bool, 6>{true, true, false, false, true, true}));

  std::vector<HomVec4> visible;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (mask[i]) visible.push_back(points[i]);
  }
  CountingResource resource;
  const auto order = sortByFSDepth(resource, cam.position, visible);
  ASSERT_TRUE(order.has_value());
  // Back to front: the point at infinity, then the Cartesian points from -z = 3 to -z = 1.
  EXPECT_EQ(std::vector<std::size_t>(order->begin(), order->end()), (std::vector<std::size_t>{3, 1, 2, 0}));

  std::vector<HomVec4> draw_order;
  double previous_depth = 2.0;
  for (const std::size_t i : *order) {
    draw_order.push_back(visible[i]);
    const double depth = fsDepth(cam.position, visible[i], cam.near_fs, cam.far_fs);
    EXPECT_LE(depth, previous_depth);
    EXPECT_GT(depth, 0.0);
    previous_depth = depth;
  }
  EXPECT_NEAR(fsDepthToDistance(fsDepth(cam.position, draw_order[0], cam.near_fs, cam.far_fs),
                                cam.near_fs, cam.far_fs),
              std::acos(std::sin(0.1)), 1e-12);
  EXPECT_EQ(wVisibility(draw_order[0]), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(draw_order[1]), WVisibilityClass::in_front);

  const BufferDescriptor buffer =
      BufferDescriptor::initOrvPositions(static_cast<std::uint32_t>(draw_order.size()));
  EXPECT_EQ(buffer.size, 128u);
  const BufferId positions{1, 1};
  const std::array<GpuCommand, 3> commands{{
      {GpuCommand::OrvUploadPositions{positions, draw_order}},
      {PipelineId::orvProjective(1)},
      {DrawCommand{PipelineId::orvProjective(1), {}, {}, {}, positions,
                   static_cast<std::uint32_t>(draw_order.size()), 1}},
  }};
  FrameGraph graph(resource);
  ASSERT_TRUE(graph.addPass({"points", {}, {}, commands, PassType::geometry}).has_value());
  graph.advanceFrame();
  EXPECT_EQ(graph.passCount(), 1u);
  EXPECT_EQ(graph.frameIndex(), 1u);
  const GpuCommand& upload = graph.passes()[0].commands[0];
  EXPECT_EQ(upload.tag(), GpuCommand::Tag::orv_upload_positions);
  EXPECT_EQ(std::get<GpuCommand::OrvUploadPositions>(upload.payload).positions.data(), draw_order.data());
  EXPECT_EQ(std::get<DrawCommand>(graph.passes()[0].commands[2].payload).index_count, 4u);
}

// --- Fault injection -----------------------------------------------------------------------------

// Decreasing distance, ties in input order: the order the insertion sort defines, found here by
// sorting on (distance, index) with distances computed once.
std::vector<std::size_t> stableOrder(const HomVec4& observer, std::span<const HomVec4> points) {
  std::vector<double> distance;
  for (const HomVec4& p : points) distance.push_back(fsDistance(observer, p));
  std::vector<std::size_t> order(points.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return distance[a] > distance[b] || (distance[a] == distance[b] && a < b);
  });
  return order;
}

// A run of sorts of every size class on one resource, each result kept while the run goes on, where
// the resource refuses its k-th request. Every k from 1 on is tried until a run asks for fewer than
// k blocks, without depending on how many blocks one sort takes. After the refusal the caller's
// resource holds exactly what it held before and the lists already returned are intact; the sort
// is then repeated and succeeds. When the lists are gone, every byte is back.
TEST(DepthSortFaults, EveryRefusedRequestLeavesTheCallersResourceAsItWas) {
  std::mt19937_64 rng(123);
  struct Call {
    HomVec4 observer;
    std::vector<HomVec4> points;
    std::vector<std::size_t> expected;
  };
  std::vector<Call> calls;
  for (const std::size_t n : {0u, 1u, 2u, 17u, 32u, 33u, 100u, 1000u, 2500u, 31u, 64u}) {
    Call call{pointsWithTies(rng, 1)[0], pointsWithTies(rng, n), {}};
    call.expected = stableOrder(call.observer, call.points);
    if (n <= 100) {
      ASSERT_EQ(call.expected, referenceOrder(call.observer, call.points));
    }
    calls.push_back(std::move(call));
  }

  std::size_t failure_points = 0;
  bool refused_in_run = true;
  for (std::size_t k = 1; refused_in_run; ++k) {
    CountingResource resource;
    resource.failAllocation(k);
    refused_in_run = false;
    {
      std::vector<std::pmr::vector<std::size_t>> kept;
      for (std::size_t c = 0; c < calls.size(); ++c) {
        const std::size_t bytes = resource.bytesInUse();
        const std::size_t blocks = resource.blocksInUse();
        auto order = sortByFSDepth(resource, calls[c].observer, calls[c].points);
        if (!order) {
          ASSERT_FALSE(refused_in_run) << "only one request is refused";
          refused_in_run = true;
          EXPECT_EQ(order.error(), orv::Error::OutOfMemory);
          ASSERT_EQ(resource.bytesInUse(), bytes) << "call " << c << ", request " << k;
          ASSERT_EQ(resource.blocksInUse(), blocks);
          for (std::size_t j = 0; j < kept.size(); ++j) {
            ASSERT_TRUE(std::equal(kept[j].begin(), kept[j].end(), calls[j].expected.begin(),
                                   calls[j].expected.end()));
          }
          order = sortByFSDepth(resource, calls[c].observer, calls[c].points);
          ASSERT_TRUE(order.has_value()) << "the resource refuses only once";
        }
        ASSERT_TRUE(std::equal(order->begin(), order->end(), calls[c].expected.begin(),
                               calls[c].expected.end()))
            << "call " << c;
        kept.push_back(std::move(*order));
      }
    }
    EXPECT_EQ(resource.bytesInUse(), 0u) << "request " << k;
    EXPECT_EQ(resource.blocksInUse(), 0u);
    EXPECT_EQ(resource.mismatchedReleases(), 0u);
    if (refused_in_run) ++failure_points;
  }
  // Every call takes at least its list (the empty one excepted), so there are at least ten.
  EXPECT_GE(failure_points, 10u);
  RecordProperty("failure_points", static_cast<int>(failure_points));
}

// Each size class of the sort (insertion up to 32 slots, grouping by distance above 4096 points, by
// sweeps above 32768, each width of the index, runs of tied high key bits, the comparison path of
// 2^32 points or more) against the order on (distance, index), in an arena holding exactly the
// index list and nothing from the global heap; the variant that hands back its distances gives the
// same order and fsDistance's bits.
TEST(DepthSort, EveryPathFitsAnArenaOfTheIndexListAlone) {
  std::mt19937_64 rng(41);
  const double inf = std::numeric_limits<double>::infinity();
  const std::array<HomVec4, 7> adversarial{
      HomVec4::init(kNaN, 0, 0, 1),          HomVec4::init(inf, 0, 0, 1), HomVec4::init(0, 0, 0, 0),
      HomVec4::init(-0.0, -0.0, -0.0, -0.0), HomVec4::init(1e300, -1e300, 1e300, 1),
      HomVec4::init(0, 0, 0, 1),             HomVec4::init(5e-324, 0, 0, 0)};
  for (const std::size_t n :
       {0u, 1u, 2u, 3u, 5u, 32u, 33u, 256u, 257u, 4096u, 4097u, 32768u, 32769u}) {
    for (int set = 0; set < 4; ++set) {
      const HomVec4 observer = set >= 2 ? HomVec4::init(0, 0, 0, 1) : pointsWithTies(rng, 1)[0];
      std::vector<HomVec4> points = pointsWithTies(rng, n);
      for (std::size_t i = 0; set == 1 && i < n; ++i) {
        if (i % 5 == 0) points[i] = adversarial[i % adversarial.size()];
      }
      // Angles a few units in the last place apart: distances that differ only in low bits.
      for (std::size_t i = 0; set == 2 && i < n; ++i) {
        const double t = 1.0 + static_cast<double>((i * 7919) % 13) * 0x1p-52;
        points[i] = HomVec4::init(std::sin(t), 0, 0, std::cos(t));
      }
      // Every other point nearly orthogonal to the observer: different cosines whose distances
      // round to the same few values, so that they order by index, not by cosine.
      for (std::size_t i = 0; set == 3 && i < n; i += 2) {
        const double w = static_cast<double>((i * 7919) % 13) * 0x1p-56;
        points[i] = HomVec4::init(1, 0, 0, w);
      }
      const std::vector<std::size_t> expected = stableOrder(observer, points);

      std::vector<std::size_t> storage(n);
      std::vector<double> distances(n + 1, -1.0);
      const auto sorts = [&](int variant) {
        std::pmr::monotonic_buffer_resource arena(storage.data(), n * sizeof(std::size_t),
                                                  std::pmr::null_memory_resource());
        const std::size_t before = global_allocations.load();
        auto order = variant == 0 ? sortByFSDepth(arena, observer, points)
                     : variant == 1
                         ? sortByFSDepth(arena, observer, points, std::span(distances).first(n))
                         : detail::sortByFSDepthByComparison(arena, observer, points,
                                                             std::span(distances).first(n));
        EXPECT_EQ(global_allocations.load(), before) << "n " << n;
        return order.has_value() && std::equal(order->begin(), order->end(), expected.begin(),
                                               expected.end());
      };
      for (int variant = 0; variant < 3; ++variant) {
        std::fill(distances.begin(), distances.end(), -1.0);
        ASSERT_TRUE(sorts(variant)) << "n " << n << ", set " << set << ", variant " << variant;
        for (std::size_t i = 0; variant > 0 && i < n; ++i) {
          ASSERT_EQ(bits(distances[i]), bits(fsDistance(observer, points[i]))) << i;
        }
        EXPECT_EQ(distances[n], -1.0);  // nothing past the span
      }
    }
  }
  // Too short a span for the distances is a caller error, caught in debug builds; elsewhere it
  // gets the complete order and nothing written past its end.
  const std::vector<HomVec4> points = pointsWithTies(rng, 100);
  const HomVec4 observer = HomVec4::init(0, 0, 0, 1);
  std::vector<double> distances(100, -1.0);
  CountingResource resource;
  EXPECT_DEBUG_DEATH(
      {
        const auto order =
            sortByFSDepth(resource, observer, points, std::span(distances).first(60));
        const std::vector<std::size_t> expected = stableOrder(observer, points);
        EXPECT_TRUE(std::equal(order->begin(), order->end(), expected.begin(), expected.end()));
      },
      "one distance per point");
#ifdef NDEBUG
  EXPECT_EQ(distances[60], -1.0);
  EXPECT_EQ(bits(distances[59]), bits(fsDistance(observer, points[59])));
#endif
}

// --- Properties over many random inputs ---------------------------------------------------------

TEST(Properties, CameraMovesStayOnTheSphereOverTenThousandSteps) {
  // Every move renormalises the position, so rounding cannot accumulate: 1e-12 leaves room for
  // 10,000 steps of drift that must not happen, the norm being a few 1e-16 from 1 at every step.
  constexpr double kOnSphere = 1e-12;
  std::mt19937_64 rng(7);
  std::normal_distribution<double> gauss;
  std::uniform_real_distribution<double> step(-std::numbers::pi, std::numbers::pi);
  std::uniform_int_distribution<int> small(0, 3);
  const auto direction = [&] { return HomVec4::init(gauss(rng), gauss(rng), gauss(rng), gauss(rng)); };
  for (int camera = 0; camera < 20; ++camera) {
    OrvCamera cam = camera == 0 ? OrvCamera::makeDefault()
                                : OrvCamera::init(direction(), direction(), direction(), 1.0, 1.5,
                                                  0.01, 100.0);
    const OrvCamera frame = cam;
    for (int i = 0; i < 10000; ++i) {
      // Mostly small steps as a player takes them, now and then a large one.
      const double ds = small(rng) == 0 ? step(rng) : step(rng) * 1e-3;
      if (i % 2 == 0) {
        cam.moveForward(ds);
      } else {
        cam.moveRight(ds);
      }
      ASSERT_NEAR(cam.position.norm(), 1.0, kOnSphere) << "camera " << camera << ", step " << i;
    }
    EXPECT_TRUE(sameBits(cam.forward, frame.forward));
    EXPECT_TRUE(sameBits(cam.right, frame.right));
  }
}

TEST(Properties, DepthOrderAndDepthsIgnoreTheScaleAndSignOfEveryPoint) {
  std::mt19937_64 rng(17);
  // From just above the degenerate length (1e-15 is about 2^-50) to beyond the largest double.
  std::uniform_int_distribution<int> power(-40, 900);
  std::uniform_int_distribution<int> sign(0, 1);
  for (const std::size_t n : {20u, 700u}) {
    const std::vector<HomVec4> points = pointsWithTies(rng, n);
    const HomVec4 observer = pointsWithTies(rng, 1)[0];
    std::vector<HomVec4> rescaled;
    for (const HomVec4& p : points) {
      const int k = power(rng);
      const double s = sign(rng) ? -1.0 : 1.0;
      rescaled.push_back(HomVec4::init(s * std::ldexp(p.x, k), s * std::ldexp(p.y, k),
                                       s * std::ldexp(p.z, k), s * std::ldexp(p.w, k)));
    }
    // The observer too may be any multiple of itself.
    const HomVec4 far_observer = HomVec4::init(std::ldexp(-observer.x, 700), std::ldexp(-observer.y, 700),
                                               std::ldexp(-observer.z, 700), std::ldexp(-observer.w, 700));
    CountingResource resource;
    const auto order = sortByFSDepth(resource, observer, points);
    const auto again = sortByFSDepth(resource, far_observer, rescaled);
    ASSERT_TRUE(order.has_value() && again.has_value());
    EXPECT_TRUE(std::equal(order->begin(), order->end(), again->begin(), again->end())) << n;
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(bits(fsDepth(observer, points[i], 0.1, 1.2)),
                bits(fsDepth(far_observer, rescaled[i], 0.1, 1.2)))
          << i;
    }
  }
}

}  // namespace
