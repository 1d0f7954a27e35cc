#include "orv/kernel.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>

#include "support/same_bits.hpp"

namespace {

using namespace orv::kernel;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using orv::testing::bits;
using orv::testing::sameBits;

// Random coordinates spread over many orders of magnitude, both signs: different evaluation
// orders round differently on a good share of them.
struct Sampler {
  std::mt19937_64 rng{20261208};
  std::uniform_real_distribution<double> mantissa{-1.0, 1.0};
  std::uniform_int_distribution<int> exponent{-8, 8};

  double scalar() { return std::ldexp(mantissa(rng), exponent(rng)); }
  HomVec4 point() { return HomVec4::init(scalar(), scalar(), scalar(), scalar()); }
  PGL4 matrix() {
    PGL4 m{};
    for (double& v : m.data) v = scalar();
    return m;
  }
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

// 113-bit arithmetic for references: every product of two doubles is exact in it.
__extension__ typedef __float128 Quad;

Quad quadSqrt(Quad x) {
  Quad y = std::sqrt(static_cast<double>(x));
  for (int i = 0; i < 3; ++i) y = (y + x / y) / 2;
  return y;
}

// sin and cos of an angle in [0, pi/2] by their Taylor series, far beyond double precision.
std::array<Quad, 2> quadSinCos(double angle) {
  const Quad x = angle;
  Quad sine = 0, cosine = 0, sine_term = x, cosine_term = 1;
  for (int n = 1; n <= 40; ++n) {
    sine += sine_term;
    cosine += cosine_term;
    sine_term *= -x * x / ((2 * n) * (2 * n + 1));
    cosine_term *= -x * x / ((2 * n - 1) * (2 * n));
  }
  return {sine, cosine};
}

// How many units in the last place `angle` lies from the exact angle between the lines of a and
// b: with W = |a ^ b| and D = |a.b| exact to 113 bits, tan(exact - angle) is
// (W cos(angle) - D sin(angle)) / (D cos(angle) + W sin(angle)), and for such tiny differences the
// tangent is the difference.
double ulpsFromExactAngle(const HomVec4& a, const HomVec4& b, double angle) {
  const std::array<Quad, 4> u{a.x, a.y, a.z, a.w};
  const std::array<Quad, 4> v{b.x, b.y, b.z, b.w};
  std::array<Quad, 6> wedge{};
  Quad largest = 0;
  Quad dot = 0;
  for (std::size_t i = 0, k = 0; i < 4; ++i) {
    dot += u[i] * v[i];
    for (std::size_t j = i + 1; j < 4; ++j, ++k) {
      wedge[k] = u[i] * v[j] - u[j] * v[i];
      largest = std::max(largest, wedge[k] < 0 ? -wedge[k] : wedge[k]);
    }
  }
  Quad squares = 0;
  for (const Quad w : wedge) squares += (w / largest) * (w / largest);
  const Quad sine = largest * quadSqrt(squares);
  const Quad cosine = dot < 0 ? -dot : dot;
  const auto [s, c] = quadSinCos(angle);
  const Quad error = (sine * c - cosine * s) / (cosine * c + sine * s);
  const Quad exact = angle + error;
  int e = 0;
  const double m = std::frexp(static_cast<double>(exact), &e);
  if (m == 0.5 && static_cast<Quad>(static_cast<double>(exact)) > exact) --e;  // just below 2^k
  return std::fabs(static_cast<double>(error)) / std::ldexp(1.0, e - 53);
}

// fsDistance loses the small angles in the rounding of the cosine; fsDistancePrecise keeps every
// angle from 0 to pi/2 to within 2 units in the last place, for vectors of any scale and sign.
TEST(FsDistance, PreciseVariantIsWithinTwoUlpOfTheExactAngleFromZeroToHalfPi) {
  const HomVec4 eye = HomVec4::init(0, 0, 0, 1);
  const HomVec4 at_1e9 = HomVec4::init(0, 0, -1e-9, 1);
  const HomVec4 at_5e9 = HomVec4::init(0, 0, -5e-9, 1);
  const HomVec4 at_2e8 = HomVec4::init(0, 2e-8, 0, 1);
  EXPECT_EQ(fsDistance(eye, at_1e9), 0.0);  // so the depth sort ties these two
  EXPECT_EQ(fsDistance(eye, at_5e9), 0.0);
  EXPECT_GT(std::fabs(fsDistance(eye, at_2e8) - 2e-8), 0.04 * 2e-8);
  EXPECT_EQ(fsDistancePrecise(eye, at_1e9), std::atan(1e-9));
  EXPECT_EQ(fsDistancePrecise(eye, at_5e9), std::atan(5e-9));
  EXPECT_EQ(fsDistancePrecise(at_2e8, eye), std::atan(2e-8));
  EXPECT_EQ(fsDistancePrecise(HomVec4::init(3, 0, 0, 0), HomVec4::init(0, 0, -0.5, 0)),
            std::numbers::pi / 2);
  const HomVec4 p = HomVec4::init(1, 2, 3, 4);
  for (const HomVec4& degenerate :
       {HomVec4::init(0, -0.0, 0, 0), HomVec4::init(1e-16, 0, 0, 0), HomVec4::init(kNaN, 0, 0, 1),
        HomVec4::init(kInf, 0, 0, 1), p}) {
    EXPECT_EQ(bits(fsDistancePrecise(degenerate, p)), bits(0.0));
    EXPECT_EQ(bits(fsDistancePrecise(p, degenerate)), bits(0.0));
  }

  // Pairs at angles spread evenly and log-evenly down to 1e-300: dense vectors for angles the
  // rounding of their coordinates leaves (above about 1e-15), and vectors whose non-zero
  // coordinates the angle moves apart for any angle; each scaled by 2^-40 to 2^1000 (their
  // squares overflow), by powers of two and by other factors, and of either sign.
  std::mt19937_64 rng(12);
  std::normal_distribution<double> g;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  double worst = 0.0;
  for (int i = 0; i < 10000; ++i) {
    const double angle = i % 2 == 0 ? unit(rng) * std::numbers::pi / 2
                                    : std::exp(std::log(1e-300) * unit(rng));
    HomVec4 a{};
    HomVec4 b{};
    if (angle > 1e-15 && i % 4 < 2) {
      const HomVec4 u = HomVec4::init(g(rng), g(rng), g(rng), g(rng)).normalize();
      HomVec4 v = HomVec4::init(g(rng), g(rng), g(rng), g(rng));
      const double along = v.dot(u);
      v = HomVec4::init(v.x - along * u.x, v.y - along * u.y, v.z - along * u.z, v.w - along * u.w)
              .normalize();
      const double c = std::cos(angle), s = std::sin(angle);
      a = u;
      b = HomVec4::init(c * u.x + s * v.x, c * u.y + s * v.y, c * u.z + s * v.z, c * u.w + s * v.w);
    } else {
      const double t = unit(rng) * 2 * std::numbers::pi, r = unit(rng) * 2 * std::numbers::pi;
      a = HomVec4::init(std::cos(t), std::sin(t), 0, 0);
      b = HomVec4::init(std::cos(angle) * a.x, std::cos(angle) * a.y, std::sin(angle) * std::cos(r),
                        std::sin(angle) * std::sin(r));
    }
    // Not below 2^-40: a vector shorter than 1e-15 counts as the zero vector.
    a = scaledBy(a, static_cast<int>(rng() % 1041) - 40);
    const double factor =
        (rng() % 2 == 0 ? -1 : 1) * std::ldexp(1 + unit(rng), static_cast<int>(rng() % 1041) - 41);
    b = HomVec4::init(factor * b.x, factor * b.y, factor * b.z, factor * b.w);
    const double d = fsDistancePrecise(a, b);
    ASSERT_EQ(bits(d), bits(fsDistancePrecise(b, a))) << i;
    ASSERT_EQ(bits(d), bits(fsDistancePrecise(scaledBy(a, 7), HomVec4::init(-b.x, -b.y, -b.z, -b.w))))
        << i;
    ASSERT_LE(d, std::numbers::pi / 2) << i;
    const double ulps = ulpsFromExactAngle(a, b, d);
    ASSERT_LE(ulps, 2.0) << i << ": angle " << angle << ", distance " << d;
    worst = std::max(worst, ulps);
  }
  std::printf("fsDistancePrecise over 10000 pairs from 1e-300 to pi/2 rad: at most %.3f ulp from "
              "the exact angle\n", worst);
  RecordProperty("worst_ulps", std::to_string(worst));
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

// --- Projective transforms ---------------------------------------------------------------------

TEST(PGL4, StorageIsColumnMajor) {
  constexpr PGL4 m = PGL4::fromRowMajor({{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}}});
  constexpr std::array<double, 16> expected{1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 4, 8, 12, 16};
  static_assert(m.data == expected);
  static_assert(m.get(0, 1) == 2 && m.get(1, 0) == 5);
  static_assert(PGL4::init(expected).data == expected);

  PGL4 w = PGL4::identity();
  w.set(2, 3, 7.5);
  EXPECT_EQ(w.data[14], 7.5);
  EXPECT_EQ(w.get(2, 3), 7.5);

  constexpr PGL4 t = pglTranslate(10, 20, 30);
  static_assert(t.data[12] == 10 && t.data[13] == 20 && t.data[14] == 30 && t.data[15] == 1);
  static_assert(t.get(0, 3) == 10 && t.get(1, 3) == 20 && t.get(2, 3) == 30);
  constexpr PGL4 sc = pglScale(2, 3, 4);
  static_assert(sc.data == std::array<double, 16>{2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 4, 0, 0, 0, 0, 1});

  const double a = 0.7853981633974483;
  const PGL4 rz = pglRotateZ(a);
  EXPECT_EQ(rz.data[0], std::cos(a));
  EXPECT_EQ(rz.data[1], std::sin(a));
  EXPECT_EQ(bits(rz.data[4]), bits(-std::sin(a)));
  EXPECT_EQ(rz.data[5], std::cos(a));
  EXPECT_EQ(rz.data[10], 1.0);
  EXPECT_EQ(rz.data[15], 1.0);
}

TEST(PGL4, ApplyActsOnColumnVectorsWithoutDehomogenising) {
  EXPECT_TRUE(sameBits(PGL4::identity().apply(HomVec4::init(3, 4, 5, 1)), HomVec4::init(3, 4, 5, 1)));
  const auto moved = pglTranslate(10, 20, 30).apply(HomVec4::fromCartesian(1, 2, 3)).cartesian3();
  EXPECT_EQ(moved[0], 11.0);
  EXPECT_EQ(moved[1], 22.0);
  EXPECT_EQ(moved[2], 33.0);
  EXPECT_TRUE(sameBits(pglTranslate(5, 6, 7).apply(HomVec4::init(1, 2, 3, 0)), HomVec4::init(1, 2, 3, 0)));
  const PGL4 corner = PGL4::init({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2});
  EXPECT_TRUE(sameBits(corner.apply(HomVec4::init(1, 2, 3, 1)), HomVec4::init(1, 2, 3, 2)));

  const HomVec4 turned = pglRotateZ(std::numbers::pi / 4).apply(HomVec4::init(1, 0, 0, 1));
  EXPECT_NEAR(turned.norm(), std::sqrt(2.0), 1e-15);
  EXPECT_NEAR(turned.x, std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(turned.y, std::sqrt(0.5), 1e-15);

  // Each row is summed from 0.0 left to right: ((1e16 + 1) - 1e16) + 1 = 1, and -0.0 products
  // come out as +0.0.
  PGL4 m{};
  m.set(0, 0, 1e16);
  m.set(0, 1, 1);
  m.set(0, 2, -1e16);
  m.set(0, 3, 1);
  const HomVec4 r = m.apply(HomVec4::init(1, 1, 1, 1));
  EXPECT_EQ(r.x, 1.0);
  const HomVec4 z = PGL4::identity().apply(HomVec4::init(-0.0, -0.0, -0.0, -0.0));
  EXPECT_TRUE(sameBits(z, HomVec4::init(0.0, 0.0, 0.0, 0.0)));
  // An infinite coordinate times a zero entry is NaN.
  EXPECT_TRUE(std::isnan(PGL4::identity().apply(HomVec4::init(kInf, 0, 0, 1)).y));
}

TEST(PGL4, MulComposesRightToLeftAndSumsFromZero) {
  const PGL4 ts = pglTranslate(1, 0, 0).mul(pglScale(2, 2, 2));
  const PGL4 st = pglScale(2, 2, 2).mul(pglTranslate(1, 0, 0));
  EXPECT_TRUE(sameBits(ts.apply(HomVec4::init(1, 0, 0, 1)), HomVec4::init(3, 0, 0, 1)));
  EXPECT_TRUE(sameBits(st.apply(HomVec4::init(1, 0, 0, 1)), HomVec4::init(4, 0, 0, 1)));

  PGL4 row{};
  row.set(1, 0, 1e16);
  row.set(1, 1, 1);
  row.set(1, 2, -1e16);
  row.set(1, 3, 1);
  PGL4 ones{};
  for (double& v : ones.data) v = 1.0;
  EXPECT_EQ(row.mul(ones).get(1, 2), 1.0);

  PGL4 negative_zeros{};
  for (double& v : negative_zeros.data) v = -0.0;
  EXPECT_TRUE(sameBits(PGL4{}.mul(negative_zeros), PGL4{}));

  constexpr PGL4 composed = pglTranslate(1, 2, 3).mul(pglTranslate(-1, -2, -3));
  static_assert(composed.data == PGL4::identity().data);
}

TEST(PGL4, TransposeSwapsRowsAndColumns) {
  const PGL4 t = pglTranslate(1, 2, 3).transpose();
  EXPECT_EQ(t.get(3, 0), 1.0);
  EXPECT_EQ(t.get(3, 1), 2.0);
  EXPECT_EQ(t.get(3, 2), 3.0);
  EXPECT_EQ(t.get(0, 3), 0.0);
  EXPECT_EQ(t.get(1, 3), 0.0);
  EXPECT_EQ(t.get(2, 3), 0.0);
  Sampler s;
  const PGL4 m = s.matrix();
  EXPECT_TRUE(sameBits(m.transpose().transpose(), m));
  EXPECT_EQ(m.transpose().get(1, 2), m.get(2, 1));
}

TEST(PGL4, FromHomogeneousIsBuiltAtCompileTime) {
  constexpr PGL4 m = pglFromHomogeneous({{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}});
  static_assert(m.data == PGL4::fromRowMajor({{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}}).data);
  static_assert(m.det() == 120.0);
  constexpr PGL4 general = pglFromHomogeneous({{{1, 2, 3, 4}, {0, 1, 5, 6}, {0, 0, 1, 7}, {-1, 0, 0, 1}}});
  static_assert(general.get(3, 0) == -1.0 && general.get(0, 3) == 4.0);
  EXPECT_NEAR(m.det(), 120.0, 1e-6);
}

// --- Rotations of 4-space ------------------------------------------------------------------------

constexpr std::array<RotationPlane, 6> kPlanes{RotationPlane::xy, RotationPlane::xz,
                                               RotationPlane::xw, RotationPlane::yz,
                                               RotationPlane::yw, RotationPlane::zw};
// The axes of each plane, the first turning toward the second.
constexpr std::array<std::array<std::size_t, 2>, 6> kPlaneAxes{{{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}};

HomVec4 axis(std::size_t k) {
  return HomVec4::init(k == 0 ? 1 : 0, k == 1 ? 1 : 0, k == 2 ? 1 : 0, k == 3 ? 1 : 0);
}

TEST(Rotations, SixPlanesTurnTheirFirstAxisTowardTheSecondAndComposeAsRotations) {
  std::mt19937_64 rng(41);
  std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
  PGL4 q = PGL4::identity();
  for (int i = 0; i < 120; ++i) {
    const std::size_t k = static_cast<std::size_t>(i % 6);
    const double t = i < 6 ? 0.3 : angle(rng);
    const PGL4 r = pglRotate(kPlanes[k], t);
    // +a goes to c*a + s*b, +b to -s*a + c*b, exactly; the other two axes stay.
    const auto [a, b] = kPlaneAxes[k];
    const HomVec4 to_a = r.apply(axis(a));
    const HomVec4 to_b = r.apply(axis(b));
    ASSERT_EQ(bits(to_a.dot(axis(a))), bits(std::cos(t))) << i;
    ASSERT_EQ(bits(to_a.dot(axis(b))), bits(std::sin(t))) << i;
    ASSERT_EQ(bits(to_b.dot(axis(a))), bits(-std::sin(t))) << i;
    for (std::size_t other = 0; other < 4; ++other) {
      if (other != a && other != b) {
        ASSERT_TRUE(sameBits(r.apply(axis(other)), axis(other))) << i;
      }
    }
    // The transpose is the rotation back, to the bit.
    ASSERT_TRUE(sameBits(r.inverseOrthogonal(), pglRotate(kPlanes[k], -t))) << i;
    q = q.mul(r);
  }
  EXPECT_TRUE(sameBits(pglRotate(RotationPlane::xy, 0.7), pglRotateZ(0.7)));
  EXPECT_TRUE(sameBits(pglRotate(static_cast<RotationPlane>(6), 1.0), PGL4::identity()));
  // A product of 120 rotations in every plane: still orthogonal with determinant 1, so that its
  // transpose is its inverse; its columns give it back.
  const PGL4 back = q.inverseOrthogonal().mul(q);
  for (std::size_t j = 0; j < 16; ++j) EXPECT_NEAR(back.data[j], PGL4::identity().data[j], 1e-14);
  EXPECT_NEAR(q.det(), 1.0, 1e-14);
  const auto column = [&](std::size_t c) {
    return HomVec4::init(q.get(0, c), q.get(1, c), q.get(2, c), q.get(3, c));
  };
  EXPECT_TRUE(sameBits(pglFromFrame(column(0), column(1), column(2), column(3)), q));
}

// --- Determinant, normalisation and inverse ----------------------------------------------------

double firstRowExpansion(const PGL4& m) {
  // Literal cofactor expansion of the first row with 3x3 minors expanded along their first row.
  auto minor = [&](std::size_t r, std::size_t c) {
    double s[3][3];
    std::size_t si = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      if (i == r) continue;
      std::size_t sj = 0;
      for (std::size_t j = 0; j < 4; ++j) {
        if (j == c) continue;
        s[si][sj++] = m.get(i, j);
      }
      ++si;
    }
    return (s[0][0] * (s[1][1] * s[2][2] - s[1][2] * s[2][1]) -
            s[0][1] * (s[1][0] * s[2][2] - s[1][2] * s[2][0])) +
           s[0][2] * (s[1][0] * s[2][1] - s[1][1] * s[2][0]);
  };
  return ((m.get(0, 0) * minor(0, 0) - m.get(0, 1) * minor(0, 1)) + m.get(0, 2) * minor(0, 2)) -
         m.get(0, 3) * minor(0, 3);
}

TEST(Determinant, ExpandsAlongTheFirstRow) {
  static_assert(PGL4::identity().det() == 1.0);
  static_assert(pglScale(2, 3, 4).det() == 24.0);
  // An odd permutation: the signs alternate along the row.
  constexpr PGL4 swap = PGL4::fromRowMajor({{{0, 1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}});
  static_assert(swap.det() == -1.0);
  constexpr PGL4 last = PGL4::fromRowMajor({{{0, 0, 0, 2}, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}});
  static_assert(last.det() == -2.0);

  Sampler s;
  int transpose_differs = 0;
  for (int i = 0; i < 2000; ++i) {
    const PGL4 m = s.matrix();
    ASSERT_EQ(bits(m.det()), bits(firstRowExpansion(m)));
    if (bits(m.det()) != bits(m.transpose().det())) ++transpose_differs;
  }
  // Expanding along the first column instead would differ on some of them.
  EXPECT_GT(transpose_differs, 0);
  EXPECT_TRUE(std::isnan(PGL4::init({kNaN, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}).det()));
}

TEST(Determinant, NormalizeDetScalesToUnitMagnitudeKeepingTheSign) {
  const PGL4 n = pglScale(2, 3, 4).normalizeDet();
  const double f = std::pow(24.0, -0.25);
  EXPECT_EQ(n.data[0], f * 2.0);
  EXPECT_EQ(n.data[5], f * 3.0);
  EXPECT_EQ(n.data[10], f * 4.0);
  EXPECT_EQ(n.data[15], f * 1.0);
  EXPECT_EQ(n.data[1], 0.0);
  EXPECT_NEAR(std::fabs(n.det()), 1.0, 1e-6);
  EXPECT_NEAR(pglScale(-2, 3, 4).normalizeDet().det(), -1.0, 1e-6);
  EXPECT_TRUE(sameBits(PGL4::identity().normalizeDet(), PGL4::identity()));
  EXPECT_TRUE(sameBits(pglScale(0, 1, 1).normalizeDet(), pglScale(0, 1, 1)));
  // Just below the threshold stays, the threshold itself is scaled.
  EXPECT_TRUE(sameBits(pglScale(9e-16, 1, 1).normalizeDet(), pglScale(9e-16, 1, 1)));
  EXPECT_FALSE(sameBits(pglScale(1e-15, 1, 1).normalizeDet(), pglScale(1e-15, 1, 1)));
  const PGL4 nan = pglScale(kNaN, 1, 1).normalizeDet();
  for (const double v : nan.data) EXPECT_TRUE(std::isnan(v));

  // Every entry times pow(|det|, -0.25), to the bit: another route to the factor, such as
  // 1 / sqrt(sqrt(|det|)), differs in the last bits of ordinary matrices.
  Sampler s;
  for (int i = 0; i < 2000; ++i) {
    const PGL4 m = s.matrix();
    const double factor = std::pow(std::fabs(firstRowExpansion(m)), -0.25);
    PGL4 expected{};
    for (std::size_t k = 0; k < 16; ++k) expected.data[k] = factor * m.data[k];
    ASSERT_TRUE(sameBits(m.normalizeDet(), expected)) << i;
  }
}

// The iteration count is observed through bits: stopping after step k means a larger budget gives
// exactly the same matrix, and a budget of k - 1 a different one.
::testing::AssertionResult stopsAfter(const PGL4& m, double delta, std::uint32_t steps) {
  const PGL4 at = m.inverse(delta, steps);
  if (!sameBits(m.inverse(delta, steps + 20), at)) {
    return ::testing::AssertionFailure() << "still changing after " << steps << " steps";
  }
  if (sameBits(m.inverse(delta, steps - 1), at)) {
    return ::testing::AssertionFailure() << "already stopped before step " << steps;
  }
  return ::testing::AssertionSuccess();
}

TEST(Inverse, NewtonSchulzConvergesInTheStatedSteps) {
  const PGL4 s = pglScale(2, 3, 4);
  EXPECT_TRUE(stopsAfter(s, 1e-10, 10));
  const PGL4 inv = s.inverse(1e-10, 15);
  const PGL4 product = s.mul(inv);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) EXPECT_NEAR(product.get(r, c), r == c ? 1.0 : 0.0, 1e-6);
  }
  EXPECT_NEAR(inv.get(0, 0), 0.5, 1e-9);
  EXPECT_NEAR(inv.get(1, 1), 1.0 / 3.0, 1e-9);
  EXPECT_NEAR(inv.get(2, 2), 0.25, 1e-9);
  EXPECT_NEAR(inv.get(3, 3), 1.0, 1e-9);
  EXPECT_EQ(inv.get(0, 1), 0.0);

  EXPECT_TRUE(stopsAfter(PGL4::identity(), 0.0, 7));

  const PGL4 t = pglTranslate(10, 20, 30);
  EXPECT_TRUE(stopsAfter(t, 0.0, 26));
  const PGL4 back = t.inverse(0.0, 30);
  const PGL4 expected = pglTranslate(-10, -20, -30);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_NEAR(back.data[i], expected.data[i], 1e-12);
  // With 8 steps the iterate is far from an inverse.
  const PGL4 early = t.mul(t.inverse(0.0, 8));
  double residual = 0.0;
  for (std::size_t i = 0; i < 16; ++i) {
    residual = std::fmax(residual, std::fabs(early.data[i] - PGL4::identity().data[i]));
  }
  EXPECT_GT(residual, 0.99);
}

TEST(Inverse, StartValueRegularisationAndDegenerateInput) {
  // With no steps the result is the start value m^T / |m|_F^2, divided entry by entry.
  const PGL4 x0 = pglScale(2, 3, 4).inverse(0.0, 0);
  EXPECT_TRUE(sameBits(x0, PGL4::init({2.0 / 30.0, 0, 0, 0, 0, 3.0 / 30.0, 0, 0, 0, 0, 4.0 / 30.0,
                                       0, 0, 0, 0, 1.0 / 30.0})));
  // Delta is added to every diagonal entry, the homogeneous corner included.
  const PGL4 reg = PGL4{}.inverse(2.0, 0);
  EXPECT_EQ(reg.get(3, 3), 2.0 / 16.0);
  EXPECT_EQ(reg.get(0, 0), 2.0 / 16.0);
  // The zero matrix: 0/0 everywhere, the residual skips NaN and the loop stops after one step.
  for (const std::uint32_t budget : {0u, 1u, 5u}) {
    const PGL4 nan = PGL4{}.inverse(0.0, budget);
    for (const double v : nan.data) EXPECT_TRUE(std::isnan(v));
  }
  // A singular matrix runs every step and ends near its pseudo-inverse, not an inverse.
  const PGL4 singular = pglScale(0, 1, 1);
  const PGL4 pseudo = singular.inverse(0.0, 40);
  EXPECT_EQ(pseudo.get(0, 0), 0.0);
  EXPECT_NEAR(pseudo.get(1, 1), 1.0, 1e-12);
  EXPECT_EQ(singular.mul(pseudo).get(0, 0), 0.0);
}

// The products are computed column-wise for speed; each element must still be the row-by-row sum
// from 0.0 that defines it, and the inverse the step-by-step iteration, on data with signed zeros,
// infinities and NaN as well as ordinary numbers.
PGL4 definedMul(const PGL4& a, const PGL4& b) {
  PGL4 r{};
  for (std::size_t col = 0; col < 4; ++col) {
    for (std::size_t row = 0; row < 4; ++row) {
      double sum = 0.0;
      for (std::size_t k = 0; k < 4; ++k) sum = sum + a.get(row, k) * b.get(k, col);
      r.set(row, col, sum);
    }
  }
  return r;
}

PGL4 definedInverse(const PGL4& m, double delta, std::uint32_t max_iter) {
  const PGL4 id = PGL4::identity();
  PGL4 reg = m;
  for (std::size_t i = 0; i < 4; ++i) reg.set(i, i, reg.get(i, i) + delta);
  double norm_sq = 0.0;
  for (const double v : reg.data) norm_sq = norm_sq + v * v;
  PGL4 x{};
  for (std::size_t i = 0; i < 16; ++i) x.data[i] = reg.transpose().data[i] / norm_sq;
  for (std::uint32_t it = 0; it < max_iter; ++it) {
    const PGL4 mx = definedMul(reg, x);
    PGL4 t{};
    for (std::size_t i = 0; i < 16; ++i) t.data[i] = 2.0 * id.data[i] - mx.data[i];
    x = definedMul(x, t);
    const PGL4 check = definedMul(reg, x);
    double residual = 0.0;
    for (std::size_t i = 0; i < 16; ++i) {
      const double e = std::fabs(check.data[i] - id.data[i]);
      residual = e > residual ? e : residual;
    }
    if (residual < 1e-12) break;
  }
  return x;
}

TEST(PGL4, ProductsAndInverseMatchTheirDefinitionToTheBit) {
  Sampler s;
  const std::array<double, 6> special{0.0, -0.0, kInf, -kInf, kNaN, 1e300};
  std::mt19937_64 rng(11);
  for (int i = 0; i < 3000; ++i) {
    PGL4 a = s.matrix();
    PGL4 b = s.matrix();
    if (i % 3 == 0) {  // sprinkle special values, and whole rows of -0.0
      a.data[rng() % 16] = special[rng() % special.size()];
      b.data[rng() % 16] = special[rng() % special.size()];
      for (std::size_t c = 0; c < 4; ++c) a.set(static_cast<std::size_t>(i % 4), c, -0.0);
    }
    ASSERT_TRUE(sameBits(a.mul(b), definedMul(a, b))) << i;
    const HomVec4 v = s.point();
    std::array<double, 4> r{0.0, 0.0, 0.0, 0.0};
    const std::array<double, 4> comp{v.x, v.y, v.z, v.w};
    for (std::size_t row = 0; row < 4; ++row) {
      for (std::size_t col = 0; col < 4; ++col) r[row] = r[row] + a.get(row, col) * comp[col];
    }
    ASSERT_TRUE(sameBits(a.apply(v), HomVec4::init(r[0], r[1], r[2], r[3]))) << i;
  }
  for (int i = 0; i < 200; ++i) {
    PGL4 m = s.matrix();
    if (i % 2) {
      for (std::size_t k = 0; k < 4; ++k) m.set(k, k, m.get(k, k) + 4.0);  // converges early
    }
    if (i % 7 == 0) m.data[rng() % 16] = special[rng() % special.size()];
    const auto budget = static_cast<std::uint32_t>(i % 40);
    ASSERT_TRUE(sameBits(m.inverse(1e-10 * (i % 3), budget), definedInverse(m, 1e-10 * (i % 3), budget)))
        << i;
  }
}

// --- Kernel operators --------------------------------------------------------------------------

TEST(Operators, ResonanceIsExactlyAntisymmetric) {
  PGL4 a{};
  for (std::size_t i = 0; i < 16; ++i) a.data[i] = static_cast<double>(i + 1);
  const PGL4 j = computeResonance(a);
  for (std::size_t r = 0; r < 4; ++r) {
    EXPECT_EQ(bits(j.get(r, r)), bits(0.0));
    for (std::size_t c = 0; c < 4; ++c) EXPECT_EQ(j.get(c, r), -j.get(r, c));
  }
  EXPECT_EQ(j.get(0, 1), a.get(0, 1) - a.get(1, 0));
  EXPECT_TRUE(sameBits(computeResonance(PGL4::identity()), PGL4{}));
  EXPECT_TRUE(sameBits(computeResonance(pglScale(2, 3, 4)), PGL4{}));
}

TEST(Operators, ProjectorIsIdempotentUpToRegularisation) {
  const PGL4 jc = PGL4::init({0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0});
  ASSERT_TRUE(sameBits(jc.mul(jc.transpose()), PGL4::identity()));
  const double delta = 1e-8;
  const PGL4 pi = computeProjector(jc, delta);
  const PGL4 pi2 = pi.mul(pi);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_NEAR(pi2.data[i], pi.data[i], 1e-4);
  const double expected = 2 * delta / (1 + 2 * delta);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      EXPECT_NEAR(pi.get(r, c), r == c ? expected : 0.0, 1e-12);
    }
  }
  // J = 0 has everything as its null space: the projector is the identity.
  const PGL4 all = computeProjector(PGL4{}, delta);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_NEAR(all.data[i], PGL4::identity().data[i], 1e-12);
}

TEST(Operators, DeformedProductAddsTheScaledEntrywiseProduct) {
  const PGL4 x = pglScale(2, 1, 1);
  const PGL4 y = pglTranslate(3, 0, 0);
  EXPECT_TRUE(sameBits(deformedTensorProduct(x, y, 0.0), x.mul(y)));
  const PGL4 i = PGL4::identity();
  EXPECT_TRUE(sameBits(deformedTensorProduct(i, i, 0.5),
                       PGL4::init({1.5, 0, 0, 0, 0, 1.5, 0, 0, 0, 0, 1.5, 0, 0, 0, 0, 1.5})));
  // (epsilon * x) * y, in that order: (3 * 0.1) * 0.7 differs from 3 * (0.1 * 0.7).
  PGL4 a{};
  PGL4 b{};
  a.data[6] = 0.1;
  b.data[6] = 0.7;
  ASSERT_NE((3.0 * 0.1) * 0.7, 3.0 * (0.1 * 0.7));
  EXPECT_EQ(deformedTensorProduct(a, b, 3.0).data[6], a.mul(b).data[6] + (3.0 * 0.1) * 0.7);
}

// --- Single-precision fast paths ---------------------------------------------------------------

TEST(FastPaths, Dot4SumsLanesInOrder) {
  EXPECT_EQ(simdDot4(f32x4(1, 0, 0, 0), f32x4(1, 0, 0, 0)), 1.0f);
  // ((1e8 + 1) - 1e8) + 1 in single precision is 1.
  EXPECT_EQ(simdDot4(f32x4(1e8f, 1, -1e8f, 1), f32x4(1, 1, 1, 1)), 1.0f);
  const F32x4 v = f32x4(1, 2, 3, 4);
  EXPECT_EQ(v.x, 1.0f);
  EXPECT_EQ(v.w, 4.0f);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&v) % 16, 0u);
}

TEST(FastPaths, Normalize3UsesAllFourLanes) {
  const F32x4 n = simdNormalize3(f32x4(3, 0, 0, 4));
  EXPECT_EQ(bits(n.x), bits(3.0f / 5.0f));
  EXPECT_EQ(bits(n.w), bits(4.0f / 5.0f));
  EXPECT_EQ(n.y, 0.0f);
  EXPECT_NEAR(simdDot4(n, n), 1.0f, 1e-5f);
  const F32x4 dir = simdNormalize3(f32x4(0, 2, 0, 0));
  EXPECT_EQ(dir.y, 1.0f);
  EXPECT_EQ(dir.w, 0.0f);

  const F32x4 zero = simdNormalize3(f32x4(0, 0, 0, 0));
  EXPECT_EQ(zero.x, 0.0f);
  EXPECT_EQ(zero.w, 1.0f);
  // The squared length is compared strictly with 1e-15f.
  const float edge = std::sqrt(1e-15f);
  ASSERT_LT(edge * edge, 1e-15f);
  EXPECT_EQ(simdNormalize3(f32x4(edge, 0, 0, 0)).w, 1.0f);
  const float above = std::nextafter(edge, 1.0f);
  ASSERT_GE(above * above, 1e-15f);
  EXPECT_EQ(simdNormalize3(f32x4(above, 0, 0, 0)).w, 0.0f);

  const F32x4 nan = simdNormalize3(f32x4(std::numeric_limits<float>::quiet_NaN(), 0, 0, 1));
  EXPECT_TRUE(std::isnan(nan.x) && std::isnan(nan.w));
}

double transcribedInvSqrt(double x) {
  double y = std::bit_cast<double>(0x5fe6eb50c7b537a9ULL - (std::bit_cast<std::uint64_t>(x) >> 1));
  const double half_x = 0.5 * x;
  for (int i = 0; i < 3; ++i) y = y * (1.5 - (half_x * y) * y);
  return y;
}

TEST(FastPaths, InvSqrtRefinesTheBitGuess) {
  EXPECT_NEAR(cordicInvSqrt(4), 0.5, 1e-10);
  EXPECT_NEAR(cordicInvSqrt(1), 1.0, 1e-10);
  EXPECT_NEAR(cordicInvSqrt(9), 1.0 / 3.0, 1e-10);
  EXPECT_NEAR(cordicInvSqrt(2), 1.0 / std::sqrt(2.0), 1e-13);
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::uniform_int_distribution<int> exponent(-1022, 1023);
  for (int i = 0; i < 5000; ++i) {
    const double x = std::ldexp(mantissa(rng), exponent(rng));
    const double y = cordicInvSqrt(x);
    ASSERT_EQ(bits(y), bits(transcribedInvSqrt(x))) << x;
    ASSERT_NEAR(y * std::sqrt(x), 1.0, 3.2e-11) << x;
  }
}

TEST(FastPaths, InvSqrtOutsideTheNormalRange) {
  EXPECT_EQ(cordicInvSqrt(0.0), 0.0);
  EXPECT_EQ(cordicInvSqrt(-0.0), 0.0);
  EXPECT_EQ(cordicInvSqrt(-4.0), 0.0);
  EXPECT_EQ(cordicInvSqrt(-kInf), 0.0);
  // NaN of either sign is NaN, not a number made up from its bit pattern.
  EXPECT_TRUE(std::isnan(cordicInvSqrt(kNaN)));
  EXPECT_TRUE(std::isnan(cordicInvSqrt(-kNaN)));
  EXPECT_EQ(cordicInvSqrt(kInf), 0.0);
  // Subnormals are as accurate as normal numbers.
  for (const double x : {5e-324, 1e-310, std::numeric_limits<double>::min() / 2}) {
    EXPECT_NEAR(cordicInvSqrt(x) * std::sqrt(x), 1.0, 3.2e-11) << x;
  }
  EXPECT_NEAR(cordicInvSqrt(std::numeric_limits<double>::max()) *
                  std::sqrt(std::numeric_limits<double>::max()),
              1.0, 3.2e-11);
  EXPECT_NEAR(cordicInvSqrt(std::numeric_limits<double>::min()) *
                  std::sqrt(std::numeric_limits<double>::min()),
              1.0, 3.2e-11);
}

TEST(Determinant, NormalizeDetFindsTheRepresentativeWhenTheDeterminantOverflows) {
  // diag(1, 3, 4, 1) * 2^300: every entry is finite, the determinant 12 * 2^1200 is not.
  const PGL4 small = PGL4::init({1, 0, 0, 0, 0, 3, 0, 0, 0, 0, 4, 0, 0, 0, 0, 1});
  PGL4 huge{};
  for (std::size_t i = 0; i < 16; ++i) huge.data[i] = std::ldexp(small.data[i], 300);
  ASSERT_EQ(huge.det(), kInf);
  // Each row is scaled to a largest entry in [1, 2) first; the rest is exact, so the result is the
  // representative of the small matrix to the bit.
  EXPECT_TRUE(sameBits(huge.normalizeDet(), small.normalizeDet()));
  EXPECT_NEAR(huge.normalizeDet().det(), 1.0, 1e-12);

  // Here the first-row terms overflow with the same sign and cancel to inf - inf = NaN, although
  // the determinant, -2^1199, is merely too large. The sign is kept.
  const PGL4 cancelling = PGL4::fromRowMajor(
      {{{0x1p600, 0x1p600, 0, 0}, {0x1p600, 0x1p599, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}});
  ASSERT_TRUE(std::isnan(cancelling.det()));
  const PGL4 unit = cancelling.normalizeDet();
  EXPECT_NEAR(unit.det(), -1.0, 1e-12);
  EXPECT_GT(unit.get(0, 0), 0.0);

  // Rows that span a wide range: scaling the whole matrix would flush the unit rows to zero.
  const PGL4 spread = PGL4::fromRowMajor(
      {{{0x1p700, 0, 0, 0}, {0, 0x1p700, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 0x1p-100}}});
  ASSERT_EQ(spread.det(), kInf);
  EXPECT_NEAR(spread.normalizeDet().det(), 1.0, 1e-12);

  // Singular at every scale: returned as it was. Non-finite entries still give NaN.
  PGL4 rank_one{};
  for (double& v : rank_one.data) v = std::numeric_limits<double>::max();
  EXPECT_TRUE(sameBits(rank_one.normalizeDet(), rank_one));
  EXPECT_TRUE(std::isnan(pglScale(kInf, kInf, 1).normalizeDet().data[0]));
}

TEST(FastPaths, Normalize3OfHugeFiniteLanesIsStillAUnitVector) {
  // The squared length of these lanes overflows single precision; their direction does not.
  const F32x4 small = simdNormalize3(f32x4(3, 0, 0, 4));
  const F32x4 huge = simdNormalize3(f32x4(3 * 0x1p70f, 0, 0, 4 * 0x1p70f));
  EXPECT_EQ(bits(huge.x), bits(small.x));
  EXPECT_EQ(bits(huge.y), bits(small.y));
  EXPECT_EQ(bits(huge.w), bits(small.w));
  // 2^64 is the smallest power of two whose square is beyond the float range.
  const F32x4 edge = simdNormalize3(f32x4(0, -0x1p64f, 0, 0));
  EXPECT_EQ(edge.y, -1.0f);
  EXPECT_EQ(edge.x, 0.0f);
  const float top = std::numeric_limits<float>::max();
  const F32x4 corner = simdNormalize3(f32x4(top, -top, top, top));
  EXPECT_NEAR(corner.x, 0.5f, 1e-6f);
  EXPECT_NEAR(corner.y, -0.5f, 1e-6f);
  EXPECT_NEAR(simdDot4(corner, corner), 1.0f, 1e-6f);
  // Infinite lanes are not finite input: they still propagate.
  EXPECT_TRUE(std::isnan(simdNormalize3(f32x4(std::numeric_limits<float>::infinity(), 0, 0, 0)).x));
}

// --- Properties over many random inputs ---------------------------------------------------------
//
// Fixed seeds, so every run checks the same inputs and a failure can be replayed.

// Points whose coordinates share a random scale 2^base (base in [lo, hi]) and spread over 2^-8 to
// 2^8 around it, a few of them zero: ordinary geometry at every magnitude the doubles reach.
struct ScaledSampler {
  std::mt19937_64 rng;
  std::uniform_real_distribution<double> mantissa{-1.0, 1.0};
  std::uniform_int_distribution<int> spread{-8, 8};
  std::uniform_int_distribution<int> zero{0, 11};
  std::uniform_int_distribution<int> base_exponent;

  ScaledSampler(std::uint64_t seed, int lo, int hi) : rng(seed), base_exponent(lo, hi) {}

  HomVec4 point() {
    const int base = base_exponent(rng);
    const auto coordinate = [&] {
      return zero(rng) == 0 ? 0.0 : std::ldexp(mantissa(rng), base + spread(rng));
    };
    const double x = coordinate();
    const double y = coordinate();
    const double z = coordinate();
    return HomVec4::init(x, y, z, coordinate());
  }
};

bool isFiniteVector(const HomVec4& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
}

HomVec4 negated(const HomVec4& v) { return HomVec4::init(-v.x, -v.y, -v.z, -v.w); }

TEST(Properties, ScalingByPlusOrMinusPowersOfTwoKeepsFubiniStudyResultsBitIdentical) {
  // From vectors as short as the degenerate length allows to vectors beyond the largest double,
  // each moved by a power of two to another magnitude in that range.
  ScaledSampler sample(61, -40, 1010);
  std::mt19937_64 rng(62);
  std::uniform_int_distribution<int> target(-40, 1010);
  std::uniform_int_distribution<int> sign(0, 1);
  constexpr double kTol = 1e-9;  // for isSamePoint: far above the rounding of |cos|
  int compared = 0;
  for (int i = 0; i < 20000; ++i) {
    const HomVec4 a = sample.point();
    const HomVec4 b = sample.point();
    const double largest = std::fmax(std::fmax(std::fabs(a.x), std::fabs(a.y)),
                                     std::fmax(std::fabs(a.z), std::fabs(a.w)));
    const int k = largest == 0.0 ? 0 : target(rng) - std::ilogb(largest);
    const bool negate = sign(rng) == 1;
    const HomVec4 s = negate ? negated(scaledBy(a, k)) : scaledBy(a, k);
    // Comparable when every vector is finite and none is below the degenerate length.
    if (!isFiniteVector(a) || !isFiniteVector(b) || !isFiniteVector(s)) continue;
    if (a.norm() < 1e-15 || b.norm() < 1e-15 || s.norm() < 1e-15) continue;
    ++compared;
    const double d = fsDistance(a, b);
    ASSERT_EQ(bits(fsDistance(s, b)), bits(d)) << i;
    ASSERT_EQ(bits(fsDistance(b, s)), bits(d)) << i;
    if (a.norm() >= kTol && s.norm() >= kTol && b.norm() >= kTol) {
      ASSERT_EQ(s.isSamePoint(b, kTol), a.isSamePoint(b, kTol)) << i;
      ASSERT_EQ(s.isAntipodalTo(b, kTol), a.isSamePoint(b, kTol)) << i;
    }
    // Normalising keeps every bit where the scaled coordinates are exact (the sampler keeps the
    // coordinates of a point within 2^16 of each other, so none turns subnormal on the way).
    const HomVec4 u = a.normalize();
    if (sameBits(scaledBy(negate ? negated(s) : s, -k), a)) {
      ASSERT_TRUE(sameBits(s.normalize(), negate ? negated(u) : u)) << i;
    }
  }
  EXPECT_GT(compared, 15000);  // the conditions above leave most samples in
}

TEST(Properties, APointIsTheSamePointAsItsNegationAtEveryMagnitude) {
  ScaledSampler sample(71, -40, 1010);
  constexpr double kTol = 1e-12;  // |cos| of a vector with itself rounds a few units below 1
  int checked = 0;
  for (int i = 0; i < 20000; ++i) {
    const HomVec4 a = sample.point();
    if (!isFiniteVector(a) || a.norm() < kTol) continue;
    ++checked;
    ASSERT_TRUE(a.isSamePoint(negated(a), kTol)) << i;
    ASSERT_TRUE(negated(a).isSamePoint(a, kTol)) << i;
    ASSERT_TRUE(a.isAntipodalTo(a, kTol)) << i;
    ASSERT_TRUE(a.isSamePoint(a, kTol)) << i;
    // acos is steep at 1: a cosine a few units below 1 is an angle of a few 1e-8.
    ASSERT_LE(fsDistance(a, negated(a)), W_EPS) << i;
  }
  EXPECT_GT(checked, 15000);
}

// The product of the row lengths, which bounds |det| (Hadamard's inequality).
double rowLengthProduct(const PGL4& m) {
  double product = 1.0;
  for (std::size_t r = 0; r < 4; ++r) {
    product *= std::sqrt(HomVec4::init(m.get(r, 0), m.get(r, 1), m.get(r, 2), m.get(r, 3))
                             .dot(HomVec4::init(m.get(r, 0), m.get(r, 1), m.get(r, 2), m.get(r, 3))));
  }
  return product;
}

TEST(Properties, DeterminantOfAProductMatchesTheProductOfDeterminants) {
  constexpr double kEps = std::numeric_limits<double>::epsilon();
  // Well-conditioned (diagonally dominant) matrices: det(ab) and det(a) det(b) each carry a few
  // dozen roundings of relative size eps, and nothing cancels; measured worst is about 7 eps.
  constexpr double kRelativeBound = 1e-13;
  // Any matrices: the roundings are relative to the Hadamard bound of a and b rather than to det,
  // which may cancel to nearly nothing; measured worst is about 2.4 eps.
  constexpr double kHadamardBound = 32 * kEps;

  std::mt19937_64 rng(81);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-40, 40);
  std::uniform_int_distribution<int> sign(0, 1);
  for (int i = 0; i < 5000; ++i) {
    PGL4 a{};
    PGL4 b{};
    const int ea = exponent(rng);
    const int eb = exponent(rng);
    for (double& v : a.data) v = std::ldexp(entry(rng), ea);
    for (double& v : b.data) v = std::ldexp(entry(rng), eb);
    const double general = a.mul(b).det() - a.det() * b.det();
    ASSERT_LE(std::fabs(general), kHadamardBound * rowLengthProduct(a) * rowLengthProduct(b)) << i;

    // The same matrices shrunk to a quarter and placed on a diagonal of +-1, at the same scales.
    for (std::size_t d = 0; d < 4; ++d) {
      a.set(d, d, a.get(d, d) / 4 + std::ldexp(sign(rng) ? 1.0 : -1.0, ea));
      b.set(d, d, b.get(d, d) / 4 + std::ldexp(sign(rng) ? 1.0 : -1.0, eb));
      for (std::size_t c = 0; c < 4; ++c) {
        if (c == d) continue;
        a.set(d, c, a.get(d, c) / 4);
        b.set(d, c, b.get(d, c) / 4);
      }
    }
    const double product = a.det() * b.det();
    ASSERT_LE(std::fabs(a.mul(b).det() - product), kRelativeBound * std::fabs(product)) << i;

    // Scaling a matrix by 2^k scales each term of the expansion, and so det, by exactly 2^4k.
    const int k = exponent(rng);
    PGL4 s{};
    for (std::size_t j = 0; j < 16; ++j) s.data[j] = std::ldexp(a.data[j], k);
    ASSERT_EQ(bits(s.det()), bits(std::ldexp(a.det(), 4 * k))) << i;
  }
}

TEST(Properties, InverseOfWellConditionedTransformsMultipliesBackOnceConverged) {
  // Translations by up to 4 in each axis, rotations and scales between 1/2 and 2 (one axis may be
  // mirrored): |A^-1| is at most about 16. The iteration stops once max|AX - I| < 1e-12, so
  // |X - A^-1| <= |A^-1| |AX - I| <= 16 * 4 * 1e-12 (4 turns the largest entry into a norm), and
  // XA - I is as small. Measured worst is about 7e-12.
  constexpr double kInverseBound = 1e-10;
  constexpr std::uint32_t kBudget = 100;  // the slowest of these needs about 18 steps

  std::mt19937_64 rng(91);
  std::uniform_real_distribution<double> scale(0.5, 2.0);
  std::uniform_real_distribution<double> offset(-4.0, 4.0);
  std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
  std::uniform_int_distribution<int> sign(0, 1);
  const PGL4 id = PGL4::identity();
  for (int i = 0; i < 500; ++i) {
    const double sx = sign(rng) ? scale(rng) : -scale(rng);
    const double sy = scale(rng);
    const double sz = scale(rng);
    const double tx = offset(rng);
    const double ty = offset(rng);
    const double tz = offset(rng);
    const double theta = angle(rng);
    const PGL4 a = pglTranslate(tx, ty, tz).mul(pglRotateZ(theta)).mul(pglScale(sx, sy, sz));
    const PGL4 known =
        pglScale(1 / sx, 1 / sy, 1 / sz).mul(pglRotateZ(-theta)).mul(pglTranslate(-tx, -ty, -tz));

    const PGL4 x = a.inverse(0.0, kBudget);
    // Converged: a larger budget gives the same bits, so the iteration stopped by itself.
    ASSERT_TRUE(sameBits(a.inverse(0.0, kBudget + 50), x)) << i;
    const PGL4 left = x.mul(a);
    const PGL4 right = a.mul(x);
    for (std::size_t j = 0; j < 16; ++j) {
      ASSERT_LT(std::fabs(right.data[j] - id.data[j]), 1e-12) << i;  // the stopping rule itself
      ASSERT_LE(std::fabs(left.data[j] - id.data[j]), kInverseBound) << i;
      ASSERT_LE(std::fabs(x.data[j] - known.data[j]), kInverseBound) << i;
    }
  }
}

}  // namespace
