#include "orv/kernel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

namespace orv::kernel {

namespace {

// Vectors shorter than this are the zero vector.
constexpr double kDegenerateNorm = 1e-15;

double sumOfSquares(const HomVec4& v) noexcept {
  return ((v.x * v.x + v.y * v.y) + v.z * v.z) + v.w * v.w;
}

bool isFinite(const HomVec4& v) noexcept {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
}

// The one case where the plain formulas are wrong although the input is sound: every coordinate
// is finite but a sum of squares (or a product built from one) overflowed. Only then are vectors
// rescaled, so results inside the plain range keep their exact bits.
bool overflowedFromFinite(double s, const HomVec4& v) noexcept {
  return !std::isfinite(s) && isFinite(v);
}

struct Rescaled {
  HomVec4 v;     // the input times 2^-exponent, largest coordinate magnitude in [1, 2)
  int exponent;  // 0 for the zero vector, which is returned unchanged
};

// Scales a finite vector by an exact power of two. The projective point does not change, and the
// sums of squares of the result stay far from overflow.
Rescaled rescaled(const HomVec4& v) noexcept {
  const double largest =
      std::fmax(std::fmax(std::fabs(v.x), std::fabs(v.y)), std::fmax(std::fabs(v.z), std::fabs(v.w)));
  if (largest == 0.0) return {v, 0};
  const int e = std::ilogb(largest);
  return {HomVec4::init(std::ldexp(v.x, -e), std::ldexp(v.y, -e), std::ldexp(v.z, -e),
                        std::ldexp(v.w, -e)),
          e};
}

// |a.b| / (|a| |b|), the product of the norms formed first; `na` and `nb` are the norms of a and b.
double absCosine(const HomVec4& a, const HomVec4& b, double na, double nb) noexcept {
  const double dp = a.dot(b);
  const double nn = na * nb;
  const bool overflowed = !(std::isfinite(dp) && std::isfinite(nn)) && isFinite(a) && isFinite(b);
  if (overflowed) [[unlikely]] {
    const HomVec4 as = rescaled(a).v;
    const HomVec4 bs = rescaled(b).v;
    return std::fabs(as.dot(bs)) / (as.norm() * bs.norm());
  }
  return std::fabs(dp) / nn;
}

// Clamping helpers: a NaN operand is ignored and the other one returned.
double minIgnoringNaN(double a, double b) noexcept { return a < b ? a : b; }
double maxIgnoringNaN(double a, double b) noexcept { return b > a ? b : a; }

// normalizeDet of a matrix whose entries are finite but whose determinant overflowed (to infinity,
// or to NaN through inf - inf), where |det|^-1/4 would turn every entry into 0 or NaN. Scaling each
// row by an exact power of two, so that its largest entry lies in [1, 2), divides the determinant
// by the product of those powers and brings it into range; the representative is then assembled
// from the scaled rows without ever forming the overflowing determinant. A matrix whose scaled
// determinant is 0 (a zero row among them) is singular and is returned unchanged.
PGL4 normalizeOverflowedDet(const PGL4& m) noexcept {
  PGL4 rows{};
  std::array<int, 4> row_exponent{};
  int total = 0;
  for (std::size_t r = 0; r < 4; ++r) {
    double largest = 0.0;
    for (std::size_t c = 0; c < 4; ++c) largest = std::fmax(largest, std::fabs(m.get(r, c)));
    if (largest == 0.0) return m;
    row_exponent[r] = std::ilogb(largest);
    total += row_exponent[r];
    for (std::size_t c = 0; c < 4; ++c) rows.set(r, c, std::ldexp(m.get(r, c), -row_exponent[r]));
  }
  const double rows_det = rows.det();
  if (rows_det == 0.0 || !std::isfinite(rows_det)) return m;
  // |det| = |rows_det| * 2^total with total = 4q + rest, rest in 0..3, so that
  // |det|^-1/4 = (|rows_det| * 2^rest)^-1/4 * 2^-q, and row r of the result is
  // row r of `rows` times 2^row_exponent[r] times that.
  const int q = total >= 0 ? total / 4 : -((3 - total) / 4);
  const int rest = total - 4 * q;
  const double factor = std::pow(std::ldexp(std::fabs(rows_det), rest), -0.25);
  PGL4 result{};
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      result.set(r, c, std::ldexp(rows.get(r, c) * factor, row_exponent[r] - q));
    }
  }
  return result;
}

}  // namespace

// --- Homogeneous points -------------------------------------------------------------------------

namespace {

// The rare cases of norm() and normalize(): a sum of squares that is infinite or NaN, from an
// overflow of finite coordinates or from non-finite ones. Kept out of line so the common path
// stays short.
[[gnu::cold, gnu::noinline]] double normOfNonFiniteSquares(const HomVec4& v) noexcept {
  const double s = sumOfSquares(v);
  if (overflowedFromFinite(s, v)) {
    const Rescaled r = rescaled(v);
    return std::ldexp(std::sqrt(sumOfSquares(r.v)), r.exponent);
  }
  return std::sqrt(s);
}

HomVec4 divideByNorm(const HomVec4& v, double n) noexcept {
  if (n < kDegenerateNorm) return HomVec4::init(0.0, 0.0, 0.0, 1.0);
  return HomVec4::init(v.x / n, v.y / n, v.z / n, v.w / n);
}

[[gnu::cold, gnu::noinline]] HomVec4 normalizeNonFiniteSquares(const HomVec4& v) noexcept {
  const double s = sumOfSquares(v);
  if (overflowedFromFinite(s, v)) return rescaled(v).v.normalize();
  return divideByNorm(v, std::sqrt(s));
}

}  // namespace

double HomVec4::norm() const noexcept {
  const double s = sumOfSquares(*this);
  if (!std::isfinite(s)) [[unlikely]] return normOfNonFiniteSquares(*this);
  return std::sqrt(s);
}

HomVec4 HomVec4::normalize() const noexcept {
  const double s = sumOfSquares(*this);
  if (!std::isfinite(s)) [[unlikely]] return normalizeNonFiniteSquares(*this);
  return divideByNorm(*this, std::sqrt(s));
}

std::array<double, 3> HomVec4::cartesian3() const noexcept {
  if (std::fabs(w) < W_EPS) {
    // A point at infinity: its direction, divided by the full 4-norm.
    const HomVec4 v = overflowedFromFinite(sumOfSquares(*this), *this) ? rescaled(*this).v : *this;
    const double n = v.norm();
    if (n < kDegenerateNorm) return {0.0, 0.0, 0.0};
    return {v.x / n, v.y / n, v.z / n};
  }
  return {x / w, y / w, z / w};
}

bool HomVec4::isSamePoint(const HomVec4& b, double tol) const noexcept {
  const double na = norm();
  const double nb = b.norm();
  if (na < tol || nb < tol) return false;
  return absCosine(*this, b, na, nb) > 1.0 - tol;
}

bool HomVec4::isAntipodalTo(const HomVec4& b, double tol) const noexcept {
  return isSamePoint(init(-b.x, -b.y, -b.z, -b.w), tol);
}

AffineCard HomVec4::pickBestCard() const noexcept {
  const double aw = std::fabs(w);
  const double ax = std::fabs(x);
  const double ay = std::fabs(y);
  const double az = std::fabs(z);
  if (aw >= ax && aw >= ay && aw >= az) return AffineCard::UW;
  if (ax >= ay && ax >= az) return AffineCard::UX;
  if (ay >= az) return AffineCard::UY;
  return AffineCard::UZ;
}

// --- Fubini-Study distance and W/S conversions -------------------------------------------------

namespace {

// Some sum of squares or the dot product is infinite or NaN: overflow from finite coordinates, or
// non-finite ones. The norms rescale overflowed vectors, and absCosine the dot product.
[[gnu::cold, gnu::noinline]] double fsDistanceOfNonFiniteSums(const HomVec4& a,
                                                              const HomVec4& b) noexcept {
  const double na = a.norm();
  const double nb = b.norm();
  if (na < kDegenerateNorm || nb < kDegenerateNorm) return 0.0;
  return std::acos(minIgnoringNaN(absCosine(a, b, na, nb), 1.0));
}

}  // namespace

double fsDistance(const HomVec4& a, const HomVec4& b) noexcept {
  const double sa = sumOfSquares(a);
  const double sb = sumOfSquares(b);
  const double dp = a.dot(b);
  // With finite sums the norms and their product are finite too (at most sqrt(DBL_MAX) each), so
  // this is the plain formula with nothing to rescale.
  if (!(std::isfinite(sa) && std::isfinite(sb) && std::isfinite(dp))) [[unlikely]] {
    return fsDistanceOfNonFiniteSums(a, b);
  }
  const double na = std::sqrt(sa);
  const double nb = std::sqrt(sb);
  if (na < kDegenerateNorm || nb < kDegenerateNorm) return 0.0;
  return std::acos(minIgnoringNaN(std::fabs(dp) / (na * nb), 1.0));
}

// The precise distance carries numbers as the unevaluated sum of two doubles, hi + lo with |lo| at
// most half a unit in the last place of hi: sums and products of doubles are kept exactly, and
// sums of such numbers to a relative error of a few 2^-106.
namespace {

struct Wide {
  double hi;
  double lo;
};

// a + b exactly: the rounded sum and its rounding error.
Wide twoSum(double a, double b) noexcept {
  const double s = a + b;
  const double v = s - a;
  return {s, (a - (s - v)) + (b - v)};
}

// a as the sum of two halves of at most 26 significant bits each, whose products with the halves
// of another such number are exact (Veltkamp's split; |a| must lie below 2^995).
Wide halves(double a) noexcept {
  const double c = 134217729.0 * a;  // 2^27 + 1
  const double high = c - (c - a);
  return {high, a - high};
}

// a * b exactly, while the product's rounding error does not underflow: the rounded product and
// that error, from the exact products of their halves (Dekker's product).
Wide twoProduct(double a, const Wide& a_halves, double b, const Wide& b_halves) noexcept {
  const double p = a * b;
  const double error = (((a_halves.hi * b_halves.hi - p) + a_halves.hi * b_halves.lo) +
                        a_halves.lo * b_halves.hi) +
                       a_halves.lo * b_halves.lo;
  return {p, error};
}

Wide twoProduct(double a, double b) noexcept { return twoProduct(a, halves(a), b, halves(b)); }

// x + y. The two high parts and the two low parts are each added exactly, so where the high parts
// cancel the result is exact; otherwise its relative error is a few 2^-106.
Wide plus(const Wide& x, const Wide& y) noexcept {
  const Wide high = twoSum(x.hi, y.hi);
  const Wide low = twoSum(x.lo, y.lo);
  const Wide partial = twoSum(high.hi, high.lo + low.hi);
  return twoSum(partial.hi, partial.lo + low.lo);
}

// Sums of products whose value, not only whose absolute error, may be tiny against the terms
// (Ogita, Rump and Oishi's compensated sum): the terms' high parts are added exactly and every
// error and low part is gathered apart, which gives the sum as if formed in twice double
// precision, plus an error of a few 2^-106 times the sum of the terms' magnitudes.
class CompensatedSum {
 public:
  void add(const Wide& term) noexcept {
    const Wide s = twoSum(sum_, term.hi);
    sum_ = s.hi;
    errors_ += s.lo + term.lo;
  }
  [[nodiscard]] Wide value() const noexcept { return twoSum(sum_, errors_); }

 private:
  double sum_ = 0.0;
  double errors_ = 0.0;
};

// The power of two 2^-e that brings a finite, normal `largest` into [1, 2), as an exact double:
// scaling by it is exact, or rounds once where the result falls below the normal range.
double reciprocalBinade(double largest) noexcept {
  const auto e = static_cast<int>((std::bit_cast<std::uint64_t>(largest) >> 52) & 0x7ff) - 1023;
  return e < 1023 ? std::bit_cast<double>(static_cast<std::uint64_t>(1023 - e) << 52)
                  : std::bit_cast<double>(std::uint64_t{1} << 51);  // 2^-1023, subnormal
}

// The coordinates of a finite vector whose largest magnitude is normal, scaled into [1, 2).
std::array<double, 4> unitRangeCoordinates(const HomVec4& v) noexcept {
  const double largest =
      std::max(std::max(std::fabs(v.x), std::fabs(v.y)), std::max(std::fabs(v.z), std::fabs(v.w)));
  const double scale = reciprocalBinade(largest);
  return {v.x * scale, v.y * scale, v.z * scale, v.w * scale};
}

}  // namespace

double fsDistancePrecise(const HomVec4& a, const HomVec4& b) noexcept {
  if (!isFinite(a) || !isFinite(b)) return 0.0;
  if (a.norm() < kDegenerateNorm || b.norm() < kDegenerateNorm) return 0.0;
  // The same points, each scaled by a power of two so that its largest coordinate lies in [1, 2)
  // (a vector at least 1e-15 long has a normal largest coordinate): no product reaches 4.
  const std::array<double, 4> u = unitRangeCoordinates(a);
  const std::array<double, 4> v = unitRangeCoordinates(b);
  std::array<Wide, 4> u_halves{};
  std::array<Wide, 4> v_halves{};
  for (std::size_t i = 0; i < 4; ++i) {
    u_halves[i] = halves(u[i]);
    v_halves[i] = halves(v[i]);
  }
  const auto product = [&](std::size_t i, std::size_t j) {
    return twoProduct(u[i], u_halves[i], v[j], v_halves[j]);
  };

  // The six components u_i v_j - u_j v_i of the wedge product, each from its two exact products:
  // where they nearly cancel (small angles) the difference is exact.
  std::array<Wide, 6> wedge{};
  double largest = 0.0;
  for (std::size_t i = 0, k = 0; i < 4; ++i) {
    for (std::size_t j = i + 1; j < 4; ++j, ++k) {
      const Wide minor = product(j, i);
      wedge[k] = plus(product(i, j), {-minor.hi, -minor.lo});
      largest = std::max(largest, std::fabs(wedge[k].hi));
    }
  }
  if (largest == 0.0) return 0.0;  // the same line
  // Its norm, |u||v| sin(angle). Components below 8 square without overflow; below 2^-480, at tiny
  // angles, they are first scaled up so that the rounding errors of their squares stay normal.
  const double up = largest < 0x1p-480 ? reciprocalBinade(largest) : 1.0;
  CompensatedSum squares;
  for (const Wide& w : wedge) {
    const double hi = w.hi * up;
    const double lo = w.lo * up;
    const Wide square = twoProduct(hi, hi);
    squares.add({square.hi, square.lo + 2.0 * hi * lo});
  }
  const Wide sum = squares.value();
  const double root = std::sqrt(sum.hi);
  const Wide root_squared = twoProduct(root, root);
  const double root_error = (((sum.hi - root_squared.hi) - root_squared.lo) + sum.lo) / (2.0 * root);
  const Wide sine{root / up, root_error / up};

  CompensatedSum dot;  // u.v, |u||v| cos(angle) up to its sign
  for (std::size_t i = 0; i < 4; ++i) dot.add(product(i, i));
  Wide cosine = dot.value();
  if (cosine.hi < 0.0) cosine = {-cosine.hi, -cosine.lo};

  // atan2 of the high parts, corrected to first order for the low parts: d(atan2(y, x)) is
  // (x dy - y dx) / (x^2 + y^2), and x^2 + y^2 = |u|^2 |v|^2 >= 1.
  const double angle = std::atan2(sine.hi, cosine.hi);
  const double correction = (cosine.hi * sine.lo - sine.hi * cosine.lo) /
                            (sine.hi * sine.hi + cosine.hi * cosine.hi);
  return std::min(angle + correction, std::numbers::pi / 2);
}

double wFromDistance(double s_meters, double R_meters) noexcept {
  return std::cos(s_meters / (2.0 * R_meters));
}

double sFromW(double W, double R_meters) noexcept {
  const double c = maxIgnoringNaN(minIgnoringNaN(W, 1.0), -1.0);
  return (2.0 * R_meters) * std::acos(c);
}

// --- Projective transforms ---------------------------------------------------------------------

PGL4 pglRotateZ(double angle) noexcept { return pglRotate(RotationPlane::xy, angle); }

PGL4 pglRotate(RotationPlane plane, double angle) noexcept {
  std::size_t a = 0;
  std::size_t b = 0;
  switch (plane) {
    case RotationPlane::xy: a = 0; b = 1; break;
    case RotationPlane::xz: a = 0; b = 2; break;
    case RotationPlane::xw: a = 0; b = 3; break;
    case RotationPlane::yz: a = 1; b = 2; break;
    case RotationPlane::yw: a = 1; b = 3; break;
    case RotationPlane::zw: a = 2; b = 3; break;
    default: return PGL4::identity();  // not one of the six planes
  }
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  PGL4 result = PGL4::identity();
  result.set(a, a, c);
  result.set(b, a, s);
  result.set(a, b, -s);
  result.set(b, b, c);
  return result;
}

PGL4 PGL4::normalizeDet() const noexcept {
  const double d = det();
  if (std::fabs(d) < 1e-15) return *this;
  if (!std::isfinite(d) && std::all_of(data.begin(), data.end(), [](double v) {
        return std::isfinite(v);
      })) [[unlikely]] {
    return normalizeOverflowedDet(*this);
  }
  const double det_scale = std::pow(std::fabs(d), -0.25);
  PGL4 result{};
  for (std::size_t i = 0; i < 16; ++i) result.data[i] = det_scale * data[i];
  return result;
}

PGL4 PGL4::inverse(double delta, std::uint32_t max_iter) const noexcept {
  const PGL4 I4 = identity();

  PGL4 m_reg = *this;
  for (std::size_t i = 0; i < 4; ++i) m_reg.set(i, i, m_reg.get(i, i) + delta);
  const PGL4 mt = m_reg.transpose();

  double norm_sq = 0.0;
  for (const double entry : m_reg.data) norm_sq = norm_sq + entry * entry;

  // X0 = m_reg^T / |m_reg|_F^2, for which the iteration converges whenever m_reg is invertible.
  PGL4 x{};
  for (std::size_t i = 0; i < 16; ++i) x.data[i] = mt.data[i] / norm_sq;

  if (max_iter == 0) return x;

  // m_reg * x: the product each step starts from. The residual check of a step multiplies m_reg by
  // the new x, which is exactly the next step's starting product, so each step forms it once.
  PGL4 mx = m_reg.mul(x);
  for (std::uint32_t iteration = 0; iteration < max_iter; ++iteration) {
    PGL4 two_i_minus_mx{};
    for (std::size_t i = 0; i < 16; ++i) two_i_minus_mx.data[i] = 2.0 * I4.data[i] - mx.data[i];
    x = x.mul(two_i_minus_mx);

    mx = m_reg.mul(x);
    const PGL4& residual_check = mx;
    // The largest |entry - I4 entry|, NaN entries skipped, starting from 0. A maximum that skips
    // NaN does not depend on the order it visits the entries, so four running maxima (one per row
    // of each column) give the same value as one pass in storage order, and vectorise.
    std::array<double, 4> row_max{0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < 16; ++i) {
      row_max[i % 4] = maxIgnoringNaN(row_max[i % 4], std::fabs(residual_check.data[i] - I4.data[i]));
    }
    const double residual =
        maxIgnoringNaN(maxIgnoringNaN(row_max[0], row_max[1]), maxIgnoringNaN(row_max[2], row_max[3]));
    if (residual < 1e-12) break;
  }
  return x;
}

// --- Kernel operators --------------------------------------------------------------------------

PGL4 computeResonance(const PGL4& a) noexcept {
  const PGL4 at = a.transpose();
  PGL4 result{};
  for (std::size_t i = 0; i < 16; ++i) result.data[i] = a.data[i] - at.data[i];
  return result;
}

PGL4 computeProjector(const PGL4& jc, double delta) noexcept {
  const PGL4 I4 = PGL4::identity();
  const PGL4 jct = jc.transpose();
  PGL4 jjt = jc.mul(jct);
  for (std::size_t i = 0; i < 4; ++i) jjt.set(i, i, jjt.get(i, i) + delta);
  // `inverse` adds delta to the diagonal once more: this inverts J J^T + 2 delta I.
  const PGL4 jjt_inv = jjt.inverse(delta, 8);
  const PGL4 middle = jct.mul(jjt_inv);
  const PGL4 projector_part = middle.mul(jc);
  PGL4 pi_lambda = I4;
  for (std::size_t i = 0; i < 16; ++i) pi_lambda.data[i] = I4.data[i] - projector_part.data[i];
  return pi_lambda;
}

PGL4 deformedTensorProduct(const PGL4& x, const PGL4& y, double epsilon) noexcept {
  PGL4 result = x.mul(y);
  for (std::size_t i = 0; i < 16; ++i) {
    result.data[i] = result.data[i] + (epsilon * x.data[i]) * y.data[i];
  }
  return result;
}

// --- Single-precision fast paths ---------------------------------------------------------------

F32x4 simdNormalize3(const F32x4& v) noexcept {
  const float d = simdDot4(v, v);
  if (d < 1e-15f) return f32x4(0.0f, 0.0f, 0.0f, 1.0f);
  if (std::isinf(d) && std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) &&
      std::isfinite(v.w)) [[unlikely]] {
    // Every lane is finite but the squared length overflowed, and dividing by an infinite length
    // would give the zero vector. Scaling by an exact power of two keeps the direction and brings
    // the largest lane into [1, 2), where the squared length is at most 16.
    const float largest =
        std::fmax(std::fmax(std::fabs(v.x), std::fabs(v.y)), std::fmax(std::fabs(v.z), std::fabs(v.w)));
    const int e = std::ilogb(largest);
    return simdNormalize3(f32x4(std::ldexp(v.x, -e), std::ldexp(v.y, -e), std::ldexp(v.z, -e),
                                std::ldexp(v.w, -e)));
  }
  const float len = std::sqrt(d);
  return v / f32x4(len, len, len, len);
}

double cordicInvSqrt(double x) noexcept {
  if (!(x > 0.0)) return std::isnan(x) ? x : 0.0;
  if (!(x >= std::numeric_limits<double>::min() && x < std::numeric_limits<double>::infinity()))
      [[unlikely]] {
    // The bit-pattern guess assumes a normal exponent. 1/sqrt(inf) is 0; a subnormal is scaled
    // into the normal range by 2^128, which scales the result by exactly 2^-64.
    if (std::isinf(x)) return 0.0;
    return cordicInvSqrt(x * 0x1p128) * 0x1p64;
  }
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t y_bits = 0x5fe6eb50c7b537a9ULL - (bits >> 1);
  double y = std::bit_cast<double>(y_bits);
  const double half_x = 0.5 * x;
  y = y * (1.5 - (half_x * y) * y);
  y = y * (1.5 - (half_x * y) * y);
  y = y * (1.5 - (half_x * y) * y);
  return y;
}

}  // namespace orv::kernel
