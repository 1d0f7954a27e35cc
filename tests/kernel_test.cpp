#include "orv/kernel.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>

namespace {

using namespace orv::kernel;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

::testing::AssertionResult sameBits(const HomVec4& a, const HomVec4& b) {
  if (bits(a.x) == bits(b.x) && bits(a.y) == bits(b.y) && bits(a.z) == bits(b.z) &&
      bits(a.w) == bits(b.w)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "(" << a.x << ", " << a.y << ", " << a.z << ", " << a.w
                                       << ") vs (" << b.x << ", " << b.y << ", " << b.z << ", "
                                       << b.w << ")";
}

// Random coordinates spread over many orders of magnitude, both signs: different evaluation
// orders round differently on a good share of them.
struct Sampler {
  std::mt19937_64 rng{20261208};
  std::uniform_real_distribution<double> mantissa{-1.0, 1.0};
  std::uniform_int_distribution<int> exponent{-8, 8};

  double scalar() { return std::ldexp(mantissa(rng), exponent(rng)); }
  HomVec4 point() { return HomVec4::init(scalar(), scalar(), scalar(), scalar()); }
};

// The plain formulas written out independently, for bit comparisons.
double plainNorm(const HomVec4& v) {
  return std::sqrt(((v.x * v.x + v.y * v.y) + v.z * v.z) + v.w * v.w);
}
double plainDistance(const HomVec4& a, const HomVec4& b) {
  const double na = plainNorm(a);
  const double nb = plainNorm(b);
  if (na < 1e-15 || nb < 1e-15) return 0.0;
  const double d = std::fabs(((a.x * b.x + a.y * b.y) + a.z * b.z) + a.w * b.w) / (na * nb);
  return std::acos(d < 1.0 ? d : 1.0);
}
HomVec4 scaledBy(const HomVec4& v, int power_of_two) {
  return HomVec4::init(std::ldexp(v.x, power_of_two), std::ldexp(v.y, power_of_two),
                       std::ldexp(v.z, power_of_two), std::ldexp(v.w, power_of_two));
}

// --- Homogeneous points -------------------------------------------------------------------------

TEST(HomVec4, ConstructorsKeepCoordinatesAndLayout) {
  constexpr HomVec4 p = HomVec4::init(1.5, -2.0, 0.0, 4.0);
  static_assert(p.x == 1.5 && p.y == -2.0 && p.w == 4.0);
  constexpr HomVec4 c = HomVec4::fromCartesian(3, 4, 5);
  static_assert(c.x == 3 && c.y == 4 && c.z == 5 && c.w == 1.0);
  static_assert(offsetof(HomVec4, x) == 0 && offsetof(HomVec4, y) == 8 &&
                offsetof(HomVec4, z) == 16 && offsetof(HomVec4, w) == 24);
  static_assert(HomVec4::init(1, 0, 0, 0).dot(HomVec4::init(0, 1, 0, 0)) == 0.0);
  EXPECT_TRUE(std::signbit(HomVec4::init(-0.0, 0, 0, 0).x));
}

TEST(HomVec4, DotAndNormSumLeftToRight) {
  // ((1e16 + 1) - 1e16) + 1 is 1; any other grouping gives 0 or 2.
  EXPECT_EQ(HomVec4::init(1e16, 1, -1e16, 1).dot(HomVec4::init(1, 1, 1, 1)), 1.0);
  // ((2^54 + 1) + 1) + 4 stays 2^54 + 4; summing from the end would reach 2^54 + 8.
  const double big = 0x1p27;
  EXPECT_EQ(HomVec4::init(big, 1, 1, 2).norm(), std::sqrt(0x1p54 + 4.0));
  EXPECT_NE(std::sqrt(0x1p54 + 4.0), std::sqrt(0x1p54 + 8.0));

  Sampler s;
  for (int i = 0; i < 2000; ++i) {
    const HomVec4 v = s.point();
    ASSERT_EQ(bits(v.norm()), bits(plainNorm(v)));
  }
}

TEST(HomVec4, NormalizeDividesByTheNormOrFallsBackToTheOrigin) {
  const HomVec4 n = HomVec4::init(3, 0, 0, 4).normalize();
  EXPECT_TRUE(sameBits(n, HomVec4::init(3.0 / 5.0, 0, 0, 4.0 / 5.0)));

  // Each coordinate divided by the norm, not multiplied by its reciprocal.
  Sampler s;
  int reciprocal_differs = 0;
  for (int i = 0; i < 2000; ++i) {
    const HomVec4 v = s.point();
    const double len = plainNorm(v);
    ASSERT_TRUE(sameBits(v.normalize(), HomVec4::init(v.x / len, v.y / len, v.z / len, v.w / len)));
    if (bits(v.x / len) != bits(v.x * (1.0 / len))) ++reciprocal_differs;
  }
  EXPECT_GT(reciprocal_differs, 0);

  EXPECT_TRUE(sameBits(HomVec4::init(0, 0, 0, 0).normalize(), HomVec4::init(0, 0, 0, 1)));
  EXPECT_TRUE(sameBits(HomVec4::init(9e-16, 0, 0, 0).normalize(), HomVec4::init(0, 0, 0, 1)));
  // The threshold is strict: a norm of exactly 1e-15 is a direction.
  ASSERT_EQ(HomVec4::init(1e-15, 0, 0, 0).norm(), 1e-15);
  EXPECT_TRUE(sameBits(HomVec4::init(1e-15, 0, 0, 0).normalize(), HomVec4::init(1, 0, 0, 0)));
  // Subnormal coordinates are the zero vector; NaN propagates into every coordinate.
  EXPECT_TRUE(sameBits(HomVec4::init(5e-324, 0, 0, 5e-324).normalize(), HomVec4::init(0, 0, 0, 1)));
  const HomVec4 nan = HomVec4::init(kNaN, 0, 0, 1).normalize();
  EXPECT_TRUE(std::isnan(nan.x) && std::isnan(nan.y) && std::isnan(nan.z) && std::isnan(nan.w));
}

TEST(HomVec4, Cartesian3DehomogenisesOrReturnsTheDirectionAtInfinity) {
  const auto c = HomVec4::init(2, 4, 6, 2).cartesian3();
  EXPECT_EQ(c[0], 1.0);
  EXPECT_EQ(c[1], 2.0);
  EXPECT_EQ(c[2], 3.0);

  // |w| < W_EPS: the direction divided by the full 4-norm, never by w.
  const HomVec4 far = HomVec4::init(3, 4, 0, 1e-7);
  const double n = plainNorm(far);
  const auto d = far.cartesian3();
  EXPECT_EQ(bits(d[0]), bits(3.0 / n));
  EXPECT_EQ(bits(d[1]), bits(4.0 / n));
  EXPECT_NEAR(d[0], 0.6, 1e-12);
  const auto neg = HomVec4::init(3, 4, 0, -1e-7).cartesian3();
  EXPECT_EQ(bits(neg[0]), bits(3.0 / n));

  // |w| == W_EPS takes the ordinary branch.
  const auto edge = HomVec4::init(1, 0, 0, W_EPS).cartesian3();
  EXPECT_EQ(edge[0], 1.0 / W_EPS);
  const auto edge_neg = HomVec4::init(1, 0, 0, -W_EPS).cartesian3();
  EXPECT_EQ(edge_neg[0], -1.0 / W_EPS);

  const auto zero = HomVec4::init(0, 0, 0, 0).cartesian3();
  EXPECT_EQ(zero[0], 0.0);
  EXPECT_EQ(zero[1], 0.0);
  EXPECT_EQ(zero[2], 0.0);
  const auto axis = HomVec4::init(1, 0, 0, 0).cartesian3();
  EXPECT_EQ(axis[0], 1.0);
  EXPECT_TRUE(std::isnan(HomVec4::init(1, 2, 3, kNaN).cartesian3()[0]));
}

TEST(HomVec4, SamePointIgnoresSignAndScale) {
  EXPECT_TRUE(HomVec4::init(1, 0, 0, 0).isSamePoint(HomVec4::init(-1, 0, 0, 0), 1e-8));
  EXPECT_TRUE(HomVec4::init(1, 2, 3, 4).isSamePoint(HomVec4::init(-3, -6, -9, -12), 1e-8));
  EXPECT_FALSE(HomVec4::init(1, 2, 3, 4).isSamePoint(HomVec4::init(1, 2, 3, 5), 1e-8));
  // The tolerance is also a length floor, compared strictly.
  EXPECT_FALSE(HomVec4::init(0, 0, 0, 0).isSamePoint(HomVec4::init(1, 0, 0, 0), 1e-8));
  EXPECT_FALSE(HomVec4::init(1, 0, 0, 0).isSamePoint(HomVec4::init(0, 0, 0, 0), 1e-8));
  EXPECT_FALSE(HomVec4::init(0.25, 0, 0, 0).isSamePoint(HomVec4::init(1, 0, 0, 0), 0.5));
  EXPECT_TRUE(HomVec4::init(0.5, 0, 0, 0).isSamePoint(HomVec4::init(1, 0, 0, 0), 0.5));
  // The cosine must exceed 1 - tol strictly: for (1, 0, 0, 0) and (3, 4, 0, 0) it is 0.6 = 1 - 0.4.
  ASSERT_EQ(1.0 - 0.4, 3.0 / 5.0);
  EXPECT_FALSE(HomVec4::init(1, 0, 0, 0).isSamePoint(HomVec4::init(3, 4, 0, 0), 0.4));
  EXPECT_TRUE(HomVec4::init(1, 0, 0, 0).isSamePoint(HomVec4::init(3, 4, 0, 0), 0.4000001));
  EXPECT_FALSE(HomVec4::init(kNaN, 0, 0, 1).isSamePoint(HomVec4::init(kNaN, 0, 0, 1), 1e-8));
}

TEST(HomVec4, AntipodalAgreesWithSamePoint) {
  EXPECT_TRUE(HomVec4::init(1, 2, 3, 4).isAntipodalTo(HomVec4::init(-1, -2, -3, -4), 1e-8));
  EXPECT_TRUE(HomVec4::init(1, 2, 3, 4).isAntipodalTo(HomVec4::init(1, 2, 3, 4), 1e-8));
  EXPECT_FALSE(HomVec4::init(1, 2, 3, 4).isAntipodalTo(HomVec4::init(1, 2, 3, 5), 1e-8));
  EXPECT_FALSE(HomVec4::init(0, 0, 0, 0).isAntipodalTo(HomVec4::init(0, 0, 0, 0), 1e-8));
  Sampler s;
  for (int i = 0; i < 500; ++i) {
    const HomVec4 a = s.point();
    const HomVec4 b = i % 2 ? a : s.point();
    const double tol = std::ldexp(1.0, -(i % 40));
    ASSERT_EQ(a.isAntipodalTo(b, tol), a.isSamePoint(b, tol));
  }
}

TEST(HomVec4, PickBestCardPrefersLargestMagnitudeAndEarlierCardOnTies) {
  EXPECT_EQ(HomVec4::init(1, 2, 3, 4).pickBestCard(), AffineCard::UW);
  EXPECT_EQ(HomVec4::init(5, 1, 1, 1).pickBestCard(), AffineCard::UX);
  EXPECT_EQ(HomVec4::init(1, 6, 1, 1).pickBestCard(), AffineCard::UY);
  EXPECT_EQ(HomVec4::init(1, 1, 7, 1).pickBestCard(), AffineCard::UZ);
  EXPECT_EQ(HomVec4::init(1, 1, 1, 1).pickBestCard(), AffineCard::UW);
  EXPECT_EQ(HomVec4::init(2, 2, 1, 1).pickBestCard(), AffineCard::UX);
  EXPECT_EQ(HomVec4::init(1, 2, 2, 1).pickBestCard(), AffineCard::UY);
  EXPECT_EQ(HomVec4::init(-5, 1, 1, 1).pickBestCard(), AffineCard::UX);
  EXPECT_EQ(HomVec4::init(0, 0, -1, 0).pickBestCard(), AffineCard::UZ);
  // A NaN never wins a comparison, and makes every comparison with it fail.
  EXPECT_EQ(HomVec4::init(kNaN, 1, 1, 1).pickBestCard(), AffineCard::UY);
  EXPECT_EQ(HomVec4::init(1, 2, 3, kNaN).pickBestCard(), AffineCard::UZ);
  static_assert(sizeof(AffineCard) == 1 && static_cast<int>(AffineCard::UZ) == 3);
}

// --- Fubini-Study distance ---------------------------------------------------------------------

TEST(FsDistance, MeasuresTheAngleBetweenLines) {
  const double pi = std::numbers::pi;
  EXPECT_EQ(fsDistance(HomVec4::init(1, 0, 0, 0), HomVec4::init(1, 0, 0, 0)), 0.0);
  EXPECT_EQ(fsDistance(HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 1, 0, 0)), pi / 2);
  EXPECT_EQ(fsDistance(HomVec4::init(2, 0, 0, 0), HomVec4::init(0, 0, 0, 5)), pi / 2);
  EXPECT_NEAR(fsDistance(HomVec4::init(1, 0, 0, 1).normalize(),
                         HomVec4::init(-1, 0, 0, -1).normalize()),
              0.0, W_EPS);
  EXPECT_NEAR(fsDistance(HomVec4::init(1, 0, 0, 0).normalize(),
                         HomVec4::init(1, 0, 0, 1).normalize()),
              pi / 4, 1e-15);
}

TEST(FsDistance, DegenerateInputGivesZero) {
  const HomVec4 zero = HomVec4::init(0, 0, 0, 0);
  const HomVec4 p = HomVec4::init(1, 2, 3, 4);
  EXPECT_EQ(bits(fsDistance(zero, p)), bits(0.0));
  EXPECT_EQ(bits(fsDistance(p, zero)), bits(0.0));
  EXPECT_EQ(bits(fsDistance(HomVec4::init(1e-300, 0, 0, 0), p)), bits(0.0));
  // A NaN cosine is clamped to 1, so NaN input gives 0 rather than NaN.
  EXPECT_EQ(bits(fsDistance(HomVec4::init(kNaN, 0, 0, 1), p)), bits(0.0));
  EXPECT_EQ(bits(fsDistance(HomVec4::init(kInf, 0, 0, 1), p)), bits(0.0));
  // |v.v| / (|v| |v|) rounds above 1 for (1, 1, 1, 0): the clamp keeps acos away from NaN.
  const HomVec4 v = HomVec4::init(1, 1, 1, 0);
  ASSERT_GT(std::fabs(v.dot(v)) / (v.norm() * v.norm()), 1.0);
  EXPECT_EQ(bits(fsDistance(v, v)), bits(0.0));
}

TEST(FsDistance, IsSymmetricAndFollowsThePlainFormulaToTheBit) {
  Sampler s;
  for (int i = 0; i < 5000; ++i) {
    const HomVec4 a = s.point();
    const HomVec4 b = s.point();
    const double d = fsDistance(a, b);
    ASSERT_EQ(bits(d), bits(fsDistance(b, a)));
    ASSERT_EQ(bits(d), bits(plainDistance(a, b)));
    ASSERT_GE(d, 0.0);
    ASSERT_LE(d, std::numbers::pi / 2);
  }
}

// Coordinates beyond about 1.3e154 overflow the plain sums of squares. Such vectors are rescaled
// by a power of two first, which gives exactly the result of the unscaled point.
TEST(Overflow, HugeVectorsKeepTheirGeometry) {
  const HomVec4 diagonal = HomVec4::init(1e200, 1e200, 0, 0);
  const HomVec4 axis = HomVec4::init(1e200, 0, 0, 0);
  EXPECT_NEAR(fsDistance(diagonal, axis), std::numbers::pi / 4, 1e-15);
  EXPECT_TRUE(diagonal.isSamePoint(diagonal, 1e-8));
  EXPECT_TRUE(diagonal.isAntipodalTo(diagonal, 1e-8));
  EXPECT_FALSE(diagonal.isSamePoint(axis, 1e-8));
  EXPECT_NEAR(diagonal.norm(), std::sqrt(2.0) * 1e200, 1e185);

  const HomVec4 unit = diagonal.normalize();
  EXPECT_NEAR(unit.x, std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(unit.norm(), 1.0, 1e-15);

  // Beyond the largest finite double: the norm is infinite, the point is still sound.
  const HomVec4 top = HomVec4::init(1e308, -1e308, 1e308, 1e308);
  EXPECT_EQ(top.norm(), kInf);
  EXPECT_TRUE(sameBits(top.normalize(), HomVec4::init(0.5, -0.5, 0.5, 0.5)));
  EXPECT_EQ(fsDistance(top, top), 0.0);
  const auto dir = HomVec4::init(1e300, 1e300, 0, 0).cartesian3();
  EXPECT_NEAR(dir[0], std::sqrt(0.5), 1e-15);

  // Infinite input is not rescued: it propagates as the plain formula says.
  EXPECT_EQ(HomVec4::init(kInf, 0, 0, 0).norm(), kInf);
}

TEST(Overflow, ScalingByPowersOfTwoLeavesEveryResultBitIdentical) {
  Sampler s;
  for (int i = 0; i < 2000; ++i) {
    const HomVec4 a = s.point();
    const HomVec4 b = s.point();
    const int up = 500 + i % 500;  // pushes the squares past the largest double
    const HomVec4 big_a = scaledBy(a, up);
    const HomVec4 big_b = scaledBy(b, up / 2 + 300);
    const double d = fsDistance(a, b);
    ASSERT_EQ(bits(fsDistance(big_a, big_b)), bits(d));
    ASSERT_EQ(bits(fsDistance(big_b, big_a)), bits(d));
    ASSERT_EQ(bits(fsDistance(big_a, b)), bits(d));
    ASSERT_TRUE(sameBits(big_a.normalize(), a.normalize()));
    if (a.norm() >= 1e-3 && b.norm() >= 1e-3) {  // else the length floor decides, not the angle
      ASSERT_EQ(big_a.isSamePoint(big_b, 1e-3), a.isSamePoint(b, 1e-3));
    }
    ASSERT_EQ(bits(big_a.norm()), bits(std::ldexp(a.norm(), up)));
  }
}

// --- W/S conversions ---------------------------------------------------------------------------

TEST(WsConversions, RoundTripAndClamp) {
  const double r = R_TALVEN_KM * 1000.0;
  EXPECT_EQ(r, 5838400.0);
  EXPECT_NEAR(sFromW(wFromDistance(1000.0, r), r), 1000.0, 0.01);
  EXPECT_EQ(wFromDistance(0.0, r), 1.0);
  EXPECT_EQ(wFromDistance(0.0, 1.0), 1.0);
  const double full = (2.0 * r) * std::acos(-1.0);
  EXPECT_EQ(sFromW(1.0, r), 0.0);
  EXPECT_EQ(sFromW(-1.0, r), full);
  EXPECT_EQ(sFromW(1.5, r), 0.0);
  EXPECT_EQ(sFromW(-3.0, r), full);
  EXPECT_EQ(sFromW(kNaN, r), 0.0);
  EXPECT_EQ(sFromW(-kInf, r), full);
  EXPECT_EQ(bits(wFromDistance(1.0, r)), bits(std::cos(1.0 / (2.0 * r))));
}

}  // namespace
