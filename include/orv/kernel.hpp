#pragma once

// The projective math kernel: points of real projective 3-space in homogeneous coordinates, the
// Fubini-Study distance between them, 4x4 projective transforms, and a few single-precision fast
// paths.
//
// Floating point is part of the interface. Every result is computed in IEEE double precision with
// the operations in a fixed order, each product rounded before it is added (no fused multiply-add),
// sums accumulated left to right. Two places that compute the same quantity therefore agree bit for
// bit. The library must be compiled, and used, without floating-point contraction or fast-math; the
// `orv::kernel` target passes `-ffp-contract=off` on to everything that links it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace orv::kernel {

// --- Homogeneous points -------------------------------------------------------------------------

/// Tolerance on `w`: a vector with |w| < W_EPS is a point at infinity (a direction).
inline constexpr double W_EPS = 1e-6;

/// Radius of the world sphere in kilometres. `wFromDistance` and `sFromW` take metres, so pass
/// `R_TALVEN_KM * 1000`.
inline constexpr double R_TALVEN_KM = 5838.4;

/// An affine chart of projective space, named by the coordinate that is non-zero on it.
enum class AffineCard : std::uint8_t {
  UW = 0,  ///< w != 0, the ordinary Cartesian chart.
  UX = 1,  ///< x != 0.
  UY = 2,  ///< y != 0.
  UZ = 3,  ///< z != 0.
};

/// A point of real projective 3-space in homogeneous coordinates. A vector and every non-zero
/// multiple of it, its negation included, are the same point; the preferred representative lies on
/// the unit 3-sphere. The Cartesian point (x, y, z) is (x, y, z, 1); w = 0 is a point at infinity.
///
/// The layout (four doubles x, y, z, w, 32 bytes) is the element of a projective position buffer.
///
/// Vectors whose length is below 1e-15 count as the zero vector. Lengths and angles stay correct for
/// coordinates up to the largest finite double: where a sum of squares would overflow, the vector is
/// first scaled by an exact power of two, which does not change the point.
struct HomVec4 {
  double x;
  double y;
  double z;
  double w;

  /// The vector (x, y, z, w) exactly; nothing is normalised.
  [[nodiscard]] static constexpr HomVec4 init(double x_, double y_, double z_, double w_) noexcept {
    return HomVec4{x_, y_, z_, w_};
  }

  /// The Cartesian point (x, y, z) as the homogeneous vector (x, y, z, 1).
  [[nodiscard]] static constexpr HomVec4 fromCartesian(double x_, double y_, double z_) noexcept {
    return HomVec4{x_, y_, z_, 1.0};
  }

  /// Euclidean 4-dot product ((x*x' + y*y') + z*z') + w*w'.
  [[nodiscard]] constexpr double dot(const HomVec4& b) const noexcept {
    return ((x * b.x + y * b.y) + z * b.z) + w * b.w;
  }

  /// Euclidean 4-norm: the square root of ((x*x + y*y) + z*z) + w*w.
  [[nodiscard]] double norm() const noexcept;

  /// The representative on the unit 3-sphere (each coordinate divided by the norm), or the
  /// Cartesian origin (0, 0, 0, 1) when the norm is below 1e-15.
  [[nodiscard]] HomVec4 normalize() const noexcept;

  /// Cartesian coordinates (x/w, y/w, z/w). When |w| < W_EPS the point is at infinity and the
  /// result is its unit direction (x, y, z) divided by the full 4-norm, or (0, 0, 0) for a vector
  /// shorter than 1e-15. Non-finite coordinates propagate.
  [[nodiscard]] std::array<double, 3> cartesian3() const noexcept;

  /// True when both vectors are at least `tol` long and |cos| of the angle between them exceeds
  /// 1 - tol: the same projective point regardless of sign and scale.
  [[nodiscard]] bool isSamePoint(const HomVec4& b, double tol) const noexcept;

  /// Whether this vector is the same point as the antipode of `b`. A point of projective space and
  /// its antipode are one point, so this always agrees with `isSamePoint`.
  [[nodiscard]] bool isAntipodalTo(const HomVec4& b, double tol) const noexcept;

  /// The chart whose coordinate is largest in magnitude, where the point is best conditioned. Ties
  /// go to the first of UW, UX, UY, UZ; a NaN coordinate never wins a comparison.
  [[nodiscard]] AffineCard pickBestCard() const noexcept;
};

static_assert(sizeof(HomVec4) == 32, "HomVec4 is the 32-byte element of position buffers");
static_assert(std::is_standard_layout_v<HomVec4> && std::is_trivially_copyable_v<HomVec4>);

// --- Fubini-Study distance and W/S conversions -------------------------------------------------

/// Fubini-Study distance: the angle in radians, in [0, pi/2], between the lines spanned by `a` and
/// `b`. It depends only on the projective points, is symmetric to the bit, is pi/2 for orthogonal
/// vectors and is 0 when either vector is shorter than 1e-15 or the cosine is NaN.
[[nodiscard]] double fsDistance(const HomVec4& a, const HomVec4& b) noexcept;

/// W = cos(s / (2R)) for an arc of length `s_meters` on a sphere of radius `R_meters`.
[[nodiscard]] double wFromDistance(double s_meters, double R_meters) noexcept;

/// The arc length in metres, 2R * acos(W), with W clamped to [-1, 1] (a NaN W counts as 1), so
/// the result is in [0, 2*pi*R] and never NaN for finite R.
[[nodiscard]] double sFromW(double W, double R_meters) noexcept;

}  // namespace orv::kernel
