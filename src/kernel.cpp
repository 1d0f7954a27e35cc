#include "orv/kernel.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

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

}  // namespace

// --- Homogeneous points -------------------------------------------------------------------------

double HomVec4::norm() const noexcept {
  const double s = sumOfSquares(*this);
  if (overflowedFromFinite(s, *this)) [[unlikely]] {
    const Rescaled r = rescaled(*this);
    return std::ldexp(std::sqrt(sumOfSquares(r.v)), r.exponent);
  }
  return std::sqrt(s);
}

HomVec4 HomVec4::normalize() const noexcept {
  const double s = sumOfSquares(*this);
  if (overflowedFromFinite(s, *this)) [[unlikely]] return rescaled(*this).v.normalize();
  const double n = std::sqrt(s);
  if (n < kDegenerateNorm) return init(0.0, 0.0, 0.0, 1.0);
  return init(x / n, y / n, z / n, w / n);
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

double fsDistance(const HomVec4& a, const HomVec4& b) noexcept {
  const double na = a.norm();
  const double nb = b.norm();
  if (na < kDegenerateNorm || nb < kDegenerateNorm) return 0.0;
  const double cos_theta = minIgnoringNaN(absCosine(a, b, na, nb), 1.0);
  return std::acos(cos_theta);
}

double wFromDistance(double s_meters, double R_meters) noexcept {
  return std::cos(s_meters / (2.0 * R_meters));
}

double sFromW(double W, double R_meters) noexcept {
  const double c = maxIgnoringNaN(minIgnoringNaN(W, 1.0), -1.0);
  return (2.0 * R_meters) * std::acos(c);
}

}  // namespace orv::kernel
