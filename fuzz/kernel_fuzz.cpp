// Fuzzes the projective kernel. Points, matrices and scalars read from the input go through a
// sequence of operations chosen by the input, and every result is checked against what the
// operation promises: ranges, symmetry to the bit, invariance under scaling by powers of two, the
// fallback values for degenerate input, and the fixed evaluation order of the matrix products.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <span>

#include "fuzz_input.hpp"
#include "orv/kernel.hpp"

namespace {

using namespace orv::kernel;
using orv::fuzz::bits;
using orv::fuzz::FuzzInput;
using orv::fuzz::isFinite;
using orv::fuzz::require;
using orv::fuzz::sameBits;
using orv::fuzz::sameValue;
using orv::fuzz::scaled;

// Vectors shorter than this are the zero vector.
constexpr double kDegenerateNorm = 1e-15;
// A normalised vector is a few roundings away from unit length.
constexpr double kUnitNorm = 1e-15;
// The distance of a point to a multiple of itself: |cos| rounds a few units below 1, where acos is
// steep (acos(1 - 4 * 2^-53) is about 3e-8); the kernel's own tolerance bounds it.
constexpr double kSelfDistance = W_EPS;
// Relative error of cordicInvSqrt: three Newton steps from a guess within 3.4 %.
constexpr double kInvSqrtError = 3.2e-11;
// simdNormalize3 in single precision: a few roundings of 2^-24 each.
constexpr float kF32UnitNorm = 1e-6f;
// Iteration budgets are kept small so that one input runs in microseconds.
constexpr std::uint32_t kMaxIterations = 40;
constexpr int kMaxOperations = 48;

bool degenerate(const HomVec4& v) { return v.norm() < kDegenerateNorm; }

double largestMagnitude(const HomVec4& v) {
  return std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z), std::fabs(v.w)});
}

// Scaling that lost no bit: every coordinate comes back exactly.
bool exactlyScaled(const HomVec4& v, const HomVec4& s, int k) {
  return isFinite(s) && std::ldexp(s.x, -k) == v.x && std::ldexp(s.y, -k) == v.y &&
         std::ldexp(s.z, -k) == v.z && std::ldexp(s.w, -k) == v.w;
}

// --- Points ------------------------------------------------------------------------------------

void checkPoint(const HomVec4& v) {
  const double n = v.norm();
  const double d = fsDistance(v, v);
  require(d >= 0.0 && d <= std::numbers::pi / 2, "fsDistance of a point to itself is in [0, pi/2]");
  if (!isFinite(v)) return;

  require(n >= 0.0, "the norm of a finite vector is a non-negative number");
  const double largest = largestMagnitude(v);
  if (largest >= 1e-150) {
    require(n >= largest * (1.0 - 1e-15), "the norm is at least the largest coordinate");
  }

  const HomVec4 u = v.normalize();
  if (n < kDegenerateNorm) {
    require(sameBits(u, HomVec4::init(0, 0, 0, 1)), "normalize of a degenerate vector is (0,0,0,1)");
  } else {
    require(std::fabs(u.norm() - 1.0) <= kUnitNorm, "normalize has unit norm within 1e-15");
    require(d <= kSelfDistance, "a point is at distance ~0 from itself");
  }

  if (std::fabs(v.w) < W_EPS) {
    const auto c = v.cartesian3();
    if (n < kDegenerateNorm) {
      require(c[0] == 0.0 && c[1] == 0.0 && c[2] == 0.0, "cartesian3 of a short direction is 0");
    } else {
      constexpr double kUnitBound = 1.0 + 4 * std::numeric_limits<double>::epsilon();
      require(std::fabs(c[0]) <= kUnitBound && std::fabs(c[1]) <= kUnitBound &&
                  std::fabs(c[2]) <= kUnitBound,
              "cartesian3 of a point at infinity is a direction of length at most 1");
    }
  }

  // The chart of largest magnitude; on ties the earliest of UW, UX, UY, UZ.
  const std::array<double, 4> by_card{std::fabs(v.w), std::fabs(v.x), std::fabs(v.y),
                                      std::fabs(v.z)};
  const auto card = static_cast<std::size_t>(v.pickBestCard());
  require(card < 4, "pickBestCard names one of four charts");
  for (std::size_t j = 0; j < 4; ++j) {
    require(by_card[j] <= by_card[card], "pickBestCard picks the largest magnitude");
    if (j < card) require(by_card[j] < by_card[card], "pickBestCard breaks ties toward UW");
  }
}

void checkPair(const HomVec4& a, const HomVec4& b, int k, bool negate, double tol) {
  const double d = fsDistance(a, b);
  require(d >= 0.0 && d <= std::numbers::pi / 2, "fsDistance is in [0, pi/2]");
  require(bits(d) == bits(fsDistance(b, a)), "fsDistance is symmetric to the bit");
  const double precise = fsDistancePrecise(a, b);
  require(precise >= 0.0 && precise <= std::numbers::pi / 2, "fsDistancePrecise is in [0, pi/2]");
  require(bits(precise) == bits(fsDistancePrecise(b, a)), "fsDistancePrecise is symmetric");
  // fsDistance is off by at most about 2e-8, near 0, where its cosine rounds.
  require(std::fabs(precise - d) <= 1e-7, "fsDistancePrecise agrees with fsDistance");
  const bool same = a.isSamePoint(b, tol);
  require(same == b.isSamePoint(a, tol), "isSamePoint is symmetric");
  require(a.isAntipodalTo(b, tol) == same, "isAntipodalTo agrees with isSamePoint");

  const HomVec4 s = scaled(a, k, negate);
  if (!isFinite(a) || !isFinite(b) || !isFinite(s)) return;
  if (degenerate(a) || degenerate(s) || degenerate(b)) return;
  require(bits(fsDistance(s, b)) == bits(d), "fsDistance is invariant under scaling by +-2^k");
  require(bits(fsDistance(b, s)) == bits(d), "fsDistance is invariant under scaling by +-2^k");
  if (negate ? exactlyScaled(a, scaled(s, 0, true), k) : exactlyScaled(a, s, k)) {
    require(bits(fsDistancePrecise(s, b)) == bits(precise),
            "fsDistancePrecise is invariant under exact scaling by +-2^k");
  }
  if (a.norm() >= tol && s.norm() >= tol && b.norm() >= tol) {
    require(s.isSamePoint(b, tol) == same, "isSamePoint is invariant under scaling by +-2^k");
  }
  if (tol >= 1e-12 && a.norm() >= tol && s.norm() >= tol) {
    require(a.isSamePoint(s, tol), "a point is the same point as any multiple of itself");
  }
  // Normalising divides every coordinate, so every coordinate must scale exactly, and none may be
  // so small beside the largest that it turns subnormal when a huge vector is brought down to a
  // largest coordinate in [1, 2) (it would round there, and so would its quotient).
  const HomVec4 u = a.normalize();
  const double negligible = std::ldexp(largestMagnitude(a), -960);
  const auto fullPrecision = [negligible](double c) { return c == 0.0 || std::fabs(c) >= negligible; };
  const bool exact = negate ? exactlyScaled(a, scaled(s, 0, true), k) : exactlyScaled(a, s, k);
  if (exact && fullPrecision(a.x) && fullPrecision(a.y) && fullPrecision(a.z) && fullPrecision(a.w)) {
    require(sameBits(s.normalize(), negate ? scaled(u, 0, true) : u),
            "normalize is invariant under scaling by 2^k and odd under negation");
    require(s.pickBestCard() == a.pickBestCard(), "pickBestCard ignores sign and scale");
  }
}

// --- Matrices ----------------------------------------------------------------------------------

// The products as defined: every sum starts at 0.0 and adds its terms in index order, each
// product rounded first. Any other order (or a fused multiply-add) changes some bits.
PGL4 definedMul(const PGL4& a, const PGL4& b) {
  PGL4 r{};
  for (std::size_t col = 0; col < 4; ++col) {
    for (std::size_t row = 0; row < 4; ++row) {
      double sum = 0.0;
      for (std::size_t k = 0; k < 4; ++k) sum = sum + a.data[k * 4 + row] * b.data[col * 4 + k];
      r.data[col * 4 + row] = sum;
    }
  }
  return r;
}

HomVec4 definedApply(const PGL4& m, const HomVec4& v) {
  const std::array<double, 4> in{v.x, v.y, v.z, v.w};
  std::array<double, 4> out{0.0, 0.0, 0.0, 0.0};
  for (std::size_t row = 0; row < 4; ++row) {
    for (std::size_t col = 0; col < 4; ++col) out[row] = out[row] + m.data[col * 4 + row] * in[col];
  }
  return HomVec4::init(out[0], out[1], out[2], out[3]);
}

bool sameValues(const PGL4& a, const PGL4& b) {
  for (std::size_t i = 0; i < 16; ++i) {
    if (!sameValue(a.data[i], b.data[i])) return false;
  }
  return true;
}

bool allFinite(const PGL4& m) {
  return std::all_of(m.data.begin(), m.data.end(), [](double v) { return std::isfinite(v); });
}

// Entries zero or with magnitudes in [2^-100, 2^100]: products of four stay far inside the normal
// range, so scaling by 2^k (|k| <= 100) commutes with every rounding.
bool moderate(const PGL4& m) {
  return std::all_of(m.data.begin(), m.data.end(), [](double v) {
    return v == 0.0 || (std::fabs(v) >= 0x1p-100 && std::fabs(v) <= 0x1p100);
  });
}

void checkApply(const PGL4& m, const HomVec4& v) {
  const HomVec4 r = m.apply(v);
  const HomVec4 expected = definedApply(m, v);
  require(sameValue(r.x, expected.x) && sameValue(r.y, expected.y) && sameValue(r.z, expected.z) &&
              sameValue(r.w, expected.w),
          "apply sums each row from 0.0 in column order");
}

void checkProduct(const PGL4& a, const PGL4& b) {
  require(sameValues(a.mul(b), definedMul(a, b)), "mul sums each entry from 0.0 in index order");
  if (allFinite(a)) {
    const PGL4 left = PGL4::identity().mul(a);
    const PGL4 right = a.mul(PGL4::identity());
    for (std::size_t i = 0; i < 16; ++i) {
      require(left.data[i] == a.data[i] && right.data[i] == a.data[i], "the identity is neutral");
    }
  }
}

void checkTranspose(const PGL4& m) {
  const PGL4 t = m.transpose();
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      require(bits(t.get(r, c)) == bits(m.get(c, r)), "transpose swaps rows and columns");
    }
  }
  for (std::size_t i = 0; i < 16; ++i) {
    require(bits(t.transpose().data[i]) == bits(m.data[i]), "transposing twice is the identity");
  }
}

void checkDeterminant(const PGL4& m, int k) {
  const double d = m.det();
  if (!moderate(m) || k < -100 || k > 100) return;
  PGL4 s{};
  for (std::size_t i = 0; i < 16; ++i) s.data[i] = std::ldexp(m.data[i], k);
  require(bits(s.det()) == bits(std::ldexp(d, 4 * k)), "det(2^k m) is 2^4k det(m) to the bit");
}

void checkNormalizeDet(const PGL4& m) {
  const double d = m.det();
  const PGL4 n = m.normalizeDet();
  if (std::fabs(d) < 1e-15) {
    for (std::size_t i = 0; i < 16; ++i) {
      require(bits(n.data[i]) == bits(m.data[i]), "a determinant below 1e-15 leaves the input");
    }
    return;
  }
  if (!allFinite(m)) {
    if (std::isnan(d)) {
      for (const double v : n.data) require(std::isnan(v), "a NaN determinant gives NaN entries");
    }
    return;
  }
  // A finite matrix whose determinant is not negligible: every entry times one positive factor, so
  // no entry turns NaN, signs are kept and zeros stay zero. The computed |det| is at most
  // 24 * largest^4 (each of its 24 terms at most largest^4), so after scaling by |det|^-1/4 the
  // largest entry is at least 24^-1/4 (about 0.45): the transform never collapses toward zero.
  double largest = 0.0;
  for (std::size_t i = 0; i < 16; ++i) {
    const double v = m.data[i];
    const double r = n.data[i];
    require(!std::isnan(r), "normalizeDet of a finite matrix has no NaN");
    if (v == 0.0) require(r == 0.0, "normalizeDet keeps zero entries");
    if (r != 0.0) require(std::signbit(r) == std::signbit(v), "normalizeDet keeps signs");
    largest = std::max(largest, std::fabs(r));
  }
  require(largest >= 0.25, "normalizeDet of a regular matrix keeps an entry of order 1");
}

PGL4 regularised(const PGL4& m, double delta) {
  PGL4 r = m;
  for (std::size_t i = 0; i < 4; ++i) r.set(i, i, r.get(i, i) + delta);
  return r;
}

// max |m_reg x - I| over the entries, NaN entries skipped.
double residual(const PGL4& m_reg, const PGL4& x) {
  const PGL4 check = definedMul(m_reg, x);
  const PGL4 id = PGL4::identity();
  double worst = 0.0;
  for (std::size_t i = 0; i < 16; ++i) {
    const double e = std::fabs(check.data[i] - id.data[i]);
    if (e > worst) worst = e;
  }
  return worst;
}

void checkInverse(const PGL4& m, double delta, std::uint32_t steps) {
  const PGL4 x = m.inverse(delta, steps);
  const PGL4 m_reg = regularised(m, delta);
  if (std::all_of(m_reg.data.begin(), m_reg.data.end(), [](double v) { return v == 0.0; })) {
    for (const double v : x.data) require(std::isnan(v), "the inverse of the zero matrix is NaN");
    return;
  }
  // Once the residual is below 1e-12 the iteration has stopped: more steps change nothing.
  if (steps > 0 && residual(m_reg, x) < 1e-12) {
    const PGL4 more = m.inverse(delta, steps + 3);
    for (std::size_t i = 0; i < 16; ++i) {
      require(bits(more.data[i]) == bits(x.data[i]), "inverse stops once it has converged");
    }
  }
}

void checkOperators(const PGL4& a, const PGL4& b, double delta) {
  const PGL4 j = computeResonance(a);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      if (!std::isfinite(a.get(r, c)) || !std::isfinite(a.get(c, r))) continue;
      require(j.get(r, c) == -j.get(c, r), "the resonance is antisymmetric");
      if (r == c) require(bits(j.get(r, c)) == bits(0.0), "the resonance has a +0 diagonal");
    }
  }
  if (allFinite(a) && allFinite(b)) {
    require(sameValues(deformedTensorProduct(a, b, 0.0), a.mul(b)),
            "the deformed product with epsilon 0 is the product");
    require(sameValues(deformedTensorProduct(a, b, -0.0), a.mul(b)),
            "the deformed product with epsilon -0 is the product");
  }
  (void)computeProjector(a, delta);  // no promise beyond defined behaviour
}

// --- Scalars and single precision --------------------------------------------------------------

void checkScalars(double x, double r) {
  const double y = cordicInvSqrt(x);
  if (std::isnan(x)) {
    require(std::isnan(y), "cordicInvSqrt of NaN is NaN");
  } else if (x <= 0.0 || std::isinf(x)) {
    require(bits(y) == bits(0.0), "cordicInvSqrt of zero, a negative number or +inf is 0");
  } else {
    require(std::fabs(y * std::sqrt(x) - 1.0) <= kInvSqrtError, "cordicInvSqrt is accurate");
  }

  const double s = sFromW(x, r);
  if (std::isfinite(r) && r >= 0.0 && r <= 1e300) {
    require(s >= 0.0 && s <= (2.0 * r) * std::acos(-1.0), "sFromW is in [0, 2 pi R]");
  }
  const double w = wFromDistance(x, r);
  require(std::isnan(w) || (w >= -1.0 && w <= 1.0), "wFromDistance is a cosine");
}

float lane(FuzzInput& in) {
  const double v = in.number();
  // Doubles beyond the float range become infinities instead of undefined conversions.
  constexpr float kInfF = std::numeric_limits<float>::infinity();
  if (std::isfinite(v) && std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
    return v > 0.0 ? kInfF : -kInfF;
  }
  return static_cast<float>(v);
}

void checkSinglePrecision(const F32x4& v) {
  const float d = simdDot4(v, v);
  const F32x4 p = v * v;
  require(sameValue(static_cast<double>(d), static_cast<double>(((p.x + p.y) + p.z) + p.w)),
          "simdDot4 adds the lanes in order");
  const F32x4 n = simdNormalize3(v);
  if (!(std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w))) return;
  if (d < 1e-15f) {
    require(n.x == 0.0f && n.y == 0.0f && n.z == 0.0f && n.w == 1.0f,
            "simdNormalize3 of a short vector is (0,0,0,1)");
  } else {
    require(std::fabs(simdDot4(n, n) - 1.0f) <= kF32UnitNorm, "simdNormalize3 has unit length");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(std::span(data, size));
  HomVec4 a = HomVec4::init(0, 0, 0, 1);
  HomVec4 b = HomVec4::init(1, 0, 0, 0);
  PGL4 m = PGL4::identity();
  PGL4 n = PGL4::identity();

  for (int op = 0; op < kMaxOperations && !in.empty(); ++op) {
    switch (in.below(16)) {
      case 0: a = in.point(); break;
      case 1: b = in.point(); break;
      case 2: m = in.matrix(); break;
      case 3: n = in.matrix(); break;
      case 4:
        checkPoint(a);
        checkPoint(b);
        break;
      case 5: {
        const int k = in.between(-128, 127) * 8 + in.between(0, 7);  // -1024 to 1023
        const bool negate = (in.byte() & 1) != 0;
        checkPair(a, b, k, negate, in.number());
        break;
      }
      case 6:
        checkApply(m, a);
        a = m.apply(a);
        break;
      case 7: a = a.normalize(); break;
      case 8:
        checkProduct(m, n);
        m = m.mul(n);
        break;
      case 9:
        checkTranspose(m);
        m = m.transpose();
        break;
      case 10: checkDeterminant(m, in.between(-128, 127)); break;
      case 11:
        checkNormalizeDet(m);
        m = m.normalizeDet();
        break;
      case 12: {
        const double delta = in.number();
        const auto steps = static_cast<std::uint32_t>(in.below(kMaxIterations + 1));
        checkInverse(m, delta, steps);
        m = m.inverse(delta, steps);
        break;
      }
      case 13: checkOperators(m, n, in.number()); break;
      case 14: {
        const double x = in.number();
        checkScalars(x, in.number());
        break;
      }
      default: {
        const float x = lane(in);
        const float y = lane(in);
        const float z = lane(in);
        checkSinglePrecision(f32x4(x, y, z, lane(in)));
        break;
      }
    }
  }
  return 0;
}
