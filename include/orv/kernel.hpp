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

// The inline code of orv's headers (dot and matrix products, determinants, plane tests) would give
// other bits under fast-math than the compiled library, and a NaN point could pass a plane test in
// the caller's code yet be culled by the library. A program that accepts that defines
// ORV_ALLOW_FAST_MATH.
#if (defined(__FAST_MATH__) || (defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__)) && \
    !defined(ORV_ALLOW_FAST_MATH)
#error "orv's results are fixed to the bit and -ffast-math (or -ffinite-math-only) changes them: \
NaN and infinity tests fold away and sums are reordered. Compile without it, or define \
ORV_ALLOW_FAST_MATH to accept results that differ from the library's."
#endif

#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

/// The same angle to full precision at every distance: within 2 units in the last place of the
/// exact angle between the lines the two vectors span, from 0 to pi/2 (at most 1 over 10,000 pairs
/// measured against 113-bit references). It is the angle whose tangent is the ratio of the norm of
/// the wedge product a ^ b to |a.b|, both formed from exact products in twice double precision.
///
/// `fsDistance` takes the arc cosine of a cosine rounded to about 1e-16, and the arc cosine divides
/// that error by the sine of the angle: a few 1e-16 rad at large angles, but near 0 the error is
/// most of the angle (below about 1.5e-8 rad the distance comes out exactly 0, and at 2e-8 it is 5%
/// off). Use this one where small distances count: ordering points very near each other or the
/// observer, measuring small angles. Keep `fsDistance` where its error is below what matters, as
/// for depth between near and far limits: it is about 10 times cheaper (bench/kernel_bench), and it
/// is the distance the rest of orv (depth, culling of spheres, the depth sort, the devices) uses.
///
/// Degenerate input gives what `fsDistance` gives: 0 when either vector is shorter than 1e-15 or
/// has a coordinate that is infinite or NaN. Symmetric to the bit, unchanged to the bit by the sign
/// of either vector and by scaling it with a power of two; never above the double nearest pi/2.
[[nodiscard]] double fsDistancePrecise(const HomVec4& a, const HomVec4& b) noexcept;

/// W = cos(s / (2R)) for an arc of length `s_meters` on a sphere of radius `R_meters`.
[[nodiscard]] double wFromDistance(double s_meters, double R_meters) noexcept;

/// The arc length in metres, 2R * acos(W), with W clamped to [-1, 1] (a NaN W counts as 1), so
/// the result is in [0, 2*pi*R] and never NaN while 2R is finite.
[[nodiscard]] double sFromW(double W, double R_meters) noexcept;

// --- SIMD lanes ----------------------------------------------------------------------------------

namespace detail {
// Vector types of the compiler: lane-wise arithmetic that does in each lane exactly the scalar
// operation, in one instruction where the target has one. 32-byte vectors only where the target
// compiles them natively (AVX), so no function changes its calling convention.
#if defined(__GNUC__) || defined(__clang__)
#define ORV_KERNEL_HAS_VECTOR_EXTENSIONS 1  // undefined again after F32x4
using NativeF32x4 = float __attribute__((vector_size(16)));
using NativeF64x2 = double __attribute__((vector_size(16)));
#if defined(__AVX__)
using NativeF64x4 = double __attribute__((vector_size(32)));
#endif

// Lanes loaded from and stored to consecutive doubles at any alignment.
template <class Lanes>
[[nodiscard]] inline Lanes loadLanes(const double* p) noexcept {
  Lanes lanes;
  std::memcpy(&lanes, p, sizeof lanes);
  return lanes;
}
template <class Lanes>
inline void storeLanes(double* p, const Lanes& lanes) noexcept {
  std::memcpy(p, &lanes, sizeof lanes);
}

// ((0 + c0 * w[0]) + c1 * w[1]) + c2 * w[2]) + c3 * w[3], lane by lane: four columns weighted.
template <class Lanes>
[[nodiscard, gnu::always_inline]] inline Lanes columnSum(Lanes c0, Lanes c1, Lanes c2, Lanes c3,
                                                         const double* w) noexcept {
  return (((Lanes{} + c0 * w[0]) + c1 * w[1]) + c2 * w[2]) + c3 * w[3];
}
#endif
}  // namespace detail

// --- Projective transforms ---------------------------------------------------------------------

/// A 4x4 projective transform acting on homogeneous column vectors, taken up to scale but never
/// rescaled by any operation except `normalizeDet`. Storage is column-major: element (row, col) is
/// `data[col * 4 + row]`, and the translation of an affine transform sits in `data[12..14]`. The
/// layout (sixteen doubles, 128 bytes) is the element of a projective transform buffer.
///
/// Non-finite entries are not screened; they propagate through every product.
struct PGL4 {
  std::array<double, 16> data;

  /// The identity transform.
  [[nodiscard]] static constexpr PGL4 identity() noexcept {
    return PGL4{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
  }

  /// The transform holding exactly these sixteen values in storage (column-major) order.
  [[nodiscard]] static constexpr PGL4 init(const std::array<double, 16>& values) noexcept {
    return PGL4{values};
  }

  /// The transform whose element (row, col) is `m[row][col]`.
  [[nodiscard]] static constexpr PGL4 fromRowMajor(
      const std::array<std::array<double, 4>, 4>& m) noexcept {
    PGL4 result{};
    for (std::size_t col = 0; col < 4; ++col) {
      for (std::size_t row = 0; row < 4; ++row) {
        result.data[col * 4 + row] = m[row][col];
      }
    }
    return result;
  }

  /// Element (row, col); both indices must be 0 to 3.
  [[nodiscard]] constexpr double get(std::size_t row, std::size_t col) const noexcept {
    assert(row < 4 && col < 4);
    return data[col * 4 + row];
  }

  /// Stores `val` at element (row, col); both indices must be 0 to 3.
  constexpr void set(std::size_t row, std::size_t col, double val) noexcept {
    assert(row < 4 && col < 4);
    data[col * 4 + row] = val;
  }

  // apply and mul take wider lanes where the including code is compiled for AVX. Always inlined,
  // every call runs the body its own translation unit compiled, never another unit's copy built
  // for instructions this machine may lack.

  /// The product M*v, summed from 0.0 over the columns in order. Neither normalised nor
  /// dehomogenised: a factor in the matrix or in `v` carries over unchanged.
  [[nodiscard, gnu::always_inline]] constexpr HomVec4 apply(const HomVec4& v) const noexcept;

  /// The matrix product this*b: applying it to a point applies `b` first. Each element is summed
  /// from 0.0 over k in order.
  [[nodiscard, gnu::always_inline]] constexpr PGL4 mul(const PGL4& b) const noexcept;

  /// The transposed matrix.
  [[nodiscard]] constexpr PGL4 transpose() const noexcept;

  /// The exact inverse of an orthogonal matrix (orthonormal columns: a rotation of 4-space such as
  /// `pglRotate` or `pglFromFrame` of an orthonormal frame builds), which is its transpose; no
  /// arithmetic is done, so the result is exact to the bit. For any other matrix the transpose is
  /// not the inverse and this gives a wrong answer without warning: use `inverse` there.
  [[nodiscard]] constexpr PGL4 inverseOrthogonal() const noexcept { return transpose(); }

  /// The determinant by cofactor expansion along the first row, ((a0*M0 - a1*M1) + a2*M2) - a3*M3,
  /// each 3x3 minor itself expanded along its first row.
  [[nodiscard]] constexpr double det() const noexcept;

  /// The representative with determinant +1 or -1: every entry times |det|^(-1/4). The sign of the
  /// determinant is kept. Returned unchanged when |det| < 1e-15; a NaN determinant from non-finite
  /// entries gives NaN entries. Where finite entries overflow the determinant, each row is first
  /// scaled by an exact power of two, which keeps the transform (returned unchanged if the scaled
  /// determinant is 0).
  [[nodiscard]] PGL4 normalizeDet() const noexcept;

  /// Approximate inverse of this + delta*I by Newton-Schulz iteration X <- X(2I - AX), started from
  /// A^T / |A|_F^2. Stops after the first step whose residual max|AX - I| (NaN entries ignored) is
  /// below 1e-12, or after `max_iter` steps; with `max_iter` = 0 it returns the start value. No
  /// pivoting and no test for singularity: a singular matrix runs all steps and returns the last
  /// iterate, and the zero matrix gives all NaN.
  [[nodiscard]] PGL4 inverse(double delta, std::uint32_t max_iter) const noexcept;
};

static_assert(sizeof(PGL4) == 128, "PGL4 is the 128-byte element of transform buffers");
static_assert(std::is_standard_layout_v<PGL4> && std::is_trivially_copyable_v<PGL4>);

// The products below are written out in full, and in SIMD lanes where the compiler has vector
// types, so that they are fast at every optimisation level of the code that includes them. Each
// lane does exactly the scalar operations in the scalar order: every product is rounded before it
// is added, and each sum starts from 0.0 (which turns a sum of -0.0 terms into +0.0).

constexpr HomVec4 PGL4::apply(const HomVec4& v) const noexcept {
#ifdef ORV_KERNEL_HAS_VECTOR_EXTENSIONS
  if !consteval {
    using detail::columnSum;
    using detail::loadLanes;
    const std::array<double, 4> w{v.x, v.y, v.z, v.w};
#ifdef __AVX__
    using V = detail::NativeF64x4;
    const V r = columnSum(loadLanes<V>(&data[0]), loadLanes<V>(&data[4]), loadLanes<V>(&data[8]),
                          loadLanes<V>(&data[12]), w.data());
    return HomVec4::init(r[0], r[1], r[2], r[3]);
#else
    using V = detail::NativeF64x2;
    const V lo = columnSum(loadLanes<V>(&data[0]), loadLanes<V>(&data[4]), loadLanes<V>(&data[8]),
                           loadLanes<V>(&data[12]), w.data());
    const V hi = columnSum(loadLanes<V>(&data[2]), loadLanes<V>(&data[6]), loadLanes<V>(&data[10]),
                           loadLanes<V>(&data[14]), w.data());
    return HomVec4::init(lo[0], lo[1], hi[0], hi[1]);
#endif
  }
#endif
  const std::array<double, 4> comp{v.x, v.y, v.z, v.w};
  std::array<double, 4> result{0.0, 0.0, 0.0, 0.0};
  for (std::size_t col = 0; col < 4; ++col) {
    for (std::size_t row = 0; row < 4; ++row) {
      result[row] = result[row] + data[col * 4 + row] * comp[col];
    }
  }
  return HomVec4::init(result[0], result[1], result[2], result[3]);
}

constexpr PGL4 PGL4::mul(const PGL4& b) const noexcept {
#ifdef ORV_KERNEL_HAS_VECTOR_EXTENSIONS
  if !consteval {
    // Column c of the result is the sum over k of column k of this times b(k, c).
    using detail::columnSum;
    using detail::loadLanes;
    PGL4 result;
#ifdef __AVX__
    using V = detail::NativeF64x4;
    const V a0 = loadLanes<V>(&data[0]);
    const V a1 = loadLanes<V>(&data[4]);
    const V a2 = loadLanes<V>(&data[8]);
    const V a3 = loadLanes<V>(&data[12]);
    detail::storeLanes(&result.data[0], columnSum(a0, a1, a2, a3, &b.data[0]));
    detail::storeLanes(&result.data[4], columnSum(a0, a1, a2, a3, &b.data[4]));
    detail::storeLanes(&result.data[8], columnSum(a0, a1, a2, a3, &b.data[8]));
    detail::storeLanes(&result.data[12], columnSum(a0, a1, a2, a3, &b.data[12]));
#else
    using V = detail::NativeF64x2;
    const V a0 = loadLanes<V>(&data[0]);  // rows 0 and 1 of column 0
    const V a1 = loadLanes<V>(&data[2]);  // rows 2 and 3 of column 0
    const V a2 = loadLanes<V>(&data[4]);
    const V a3 = loadLanes<V>(&data[6]);
    const V a4 = loadLanes<V>(&data[8]);
    const V a5 = loadLanes<V>(&data[10]);
    const V a6 = loadLanes<V>(&data[12]);
    const V a7 = loadLanes<V>(&data[14]);
    detail::storeLanes(&result.data[0], columnSum(a0, a2, a4, a6, &b.data[0]));
    detail::storeLanes(&result.data[2], columnSum(a1, a3, a5, a7, &b.data[0]));
    detail::storeLanes(&result.data[4], columnSum(a0, a2, a4, a6, &b.data[4]));
    detail::storeLanes(&result.data[6], columnSum(a1, a3, a5, a7, &b.data[4]));
    detail::storeLanes(&result.data[8], columnSum(a0, a2, a4, a6, &b.data[8]));
    detail::storeLanes(&result.data[10], columnSum(a1, a3, a5, a7, &b.data[8]));
    detail::storeLanes(&result.data[12], columnSum(a0, a2, a4, a6, &b.data[12]));
    detail::storeLanes(&result.data[14], columnSum(a1, a3, a5, a7, &b.data[12]));
#endif
    return result;
  }
#endif
  PGL4 result{};
  for (std::size_t col = 0; col < 4; ++col) {
    for (std::size_t row = 0; row < 4; ++row) {
      double sum = 0.0;
      for (std::size_t k = 0; k < 4; ++k) sum = sum + data[k * 4 + row] * b.data[col * 4 + k];
      result.data[col * 4 + row] = sum;
    }
  }
  return result;
}

constexpr PGL4 PGL4::transpose() const noexcept {
  PGL4 result{};
#ifdef ORV_KERNEL_HAS_VECTOR_EXTENSIONS
  if !consteval {
    // Two rows of two columns at a time: the 2x2 blocks swap places and each is transposed.
    using V = detail::NativeF64x2;
    for (std::size_t c = 0; c < 16; c += 8) {
      for (std::size_t r = 0; r < 4; r += 2) {
        const V upper = detail::loadLanes<V>(&data[c + r]);      // (r, c/4), (r + 1, c/4)
        const V lower = detail::loadLanes<V>(&data[c + 4 + r]);  // (r, c/4 + 1), (r + 1, c/4 + 1)
        const std::size_t to = r * 4 + c / 4;
        detail::storeLanes(&result.data[to], __builtin_shufflevector(upper, lower, 0, 2));
        detail::storeLanes(&result.data[to + 4], __builtin_shufflevector(upper, lower, 1, 3));
      }
    }
    return result;
  }
#endif
  for (std::size_t row = 0; row < 4; ++row) {
    for (std::size_t col = 0; col < 4; ++col) result.set(row, col, get(col, row));
  }
  return result;
}

constexpr double PGL4::det() const noexcept {
  // Element (row, col) is data[col * 4 + row]. The 3x3 minor without row 0 and column c expands
  // along its first row; its 2x2 brackets are the determinants of rows 2 and 3 in two of the
  // remaining columns, j < k: m(2, j) * m(3, k) - m(2, k) * m(3, j). Each bracket is the same
  // expression in every minor it appears in, so it is formed once.
  const auto& m = data;
  const double d01 = m[2] * m[7] - m[6] * m[3];
  const double d02 = m[2] * m[11] - m[10] * m[3];
  const double d03 = m[2] * m[15] - m[14] * m[3];
  const double d12 = m[6] * m[11] - m[10] * m[7];
  const double d13 = m[6] * m[15] - m[14] * m[7];
  const double d23 = m[10] * m[15] - m[14] * m[11];
  // Minor c: (s00 * d(s1, s2) - s01 * d(s0, s2)) + s02 * d(s0, s1), where s0 < s1 < s2 are the
  // columns other than c and s0j is row 1 of column sj.
  const double minor0 = (m[5] * d23 - m[9] * d13) + m[13] * d12;
  const double minor1 = (m[1] * d23 - m[9] * d03) + m[13] * d02;
  const double minor2 = (m[1] * d13 - m[5] * d03) + m[13] * d01;
  const double minor3 = (m[1] * d12 - m[5] * d02) + m[9] * d01;
  return ((m[0] * minor0 - m[4] * minor1) + m[8] * minor2) - m[12] * minor3;
}

/// Translation by (tx, ty, tz): (x, y, z, w) goes to (x + tx*w, y + ty*w, z + tz*w, w), so points at
/// infinity stay where they are.
[[nodiscard]] constexpr PGL4 pglTranslate(double tx, double ty, double tz) noexcept {
  return PGL4::init({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, tx, ty, tz, 1});
}

/// Scaling of the three spatial axes, diag(sx, sy, sz, 1).
[[nodiscard]] constexpr PGL4 pglScale(double sx, double sy, double sz) noexcept {
  return PGL4::init({sx, 0, 0, 0, 0, sy, 0, 0, 0, 0, sz, 0, 0, 0, 0, 1});
}

/// Rotation by `angle` radians about the z axis; a positive angle turns +x toward +y. The same
/// matrix, to the bit, as `pglRotate(RotationPlane::xy, angle)`.
[[nodiscard]] PGL4 pglRotateZ(double angle) noexcept;

/// A coordinate plane of 4-space, the plane a rotation of `pglRotate` turns. Each is named by its
/// two axes in the order x, y, z, w; the first axis turns toward the second.
enum class RotationPlane : std::uint8_t {
  xy = 0,  ///< +x toward +y (about the z axis of 3-space, fixing z and w)
  xz = 1,  ///< +x toward +z
  xw = 2,  ///< +x toward +w
  yz = 3,  ///< +y toward +z
  yw = 4,  ///< +y toward +w
  zw = 5,  ///< +z toward +w
};

/// Rotation of 4-space by `angle` radians in one coordinate plane (a, b), fixing the other two
/// axes: with c = cos(angle) and s = sin(angle), element (a, a) and (b, b) are c, (b, a) is s and
/// (a, b) is -s, the exact negation of s, every other element that of the identity. So +a goes to
/// c*a + s*b: a positive angle turns +a toward +b. A non-finite angle gives NaN in those four
/// elements; a value outside the six enumerators gives the identity. The determinant is 1 and
/// `inverseOrthogonal` is the rotation by -angle.
[[nodiscard]] PGL4 pglRotate(RotationPlane plane, double angle) noexcept;

/// The transform whose columns are `c0`, `c1`, `c2`, `c3`: it sends the axis x to `c0`, y to `c1`,
/// z to `c2` and w to `c3`, the values copied unchanged. For an orthonormal frame it is a rotation
/// (determinant +1) or a rotation composed with a reflection (-1), and `inverseOrthogonal` sends the
/// frame back to the axes; nothing is checked, and any four vectors give their matrix.
[[nodiscard]] constexpr PGL4 pglFromFrame(const HomVec4& c0, const HomVec4& c1, const HomVec4& c2,
                                          const HomVec4& c3) noexcept {
  return PGL4::init({c0.x, c0.y, c0.z, c0.w, c1.x, c1.y, c1.z, c1.w, c2.x, c2.y, c2.z, c2.w, c3.x,
                     c3.y, c3.z, c3.w});
}

namespace detail {
// Reached only while a constant expression is evaluated, where calling a function that is not
// constexpr is an error: the compiler then names this function in its diagnostic.
inline void pglFromHomogeneous_rowsAreSingular() noexcept {}
}  // namespace detail

/// `fromRowMajor` of constant rows, checked while the program is built: rows that are singular (a
/// zero or non-finite row, or a determinant below 1e-12 once every row is scaled to largest entry
/// 1) make the call ill-formed, so the program does not compile. Costs nothing at run time.
///
///     constexpr PGL4 m = pglFromHomogeneous({{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}});
consteval PGL4 pglFromHomogeneous(const std::array<std::array<double, 4>, 4>& rows) {
  // Scaling a row does not change whether the matrix is singular, but it makes a fixed threshold
  // meaningful: with every entry in [-1, 1] the determinant is at most 16 in magnitude.
  std::array<std::array<double, 4>, 4> scaled{};
  for (std::size_t r = 0; r < 4; ++r) {
    double largest = 0.0;
    for (const double v : rows[r]) {
      if (!(v - v == 0.0)) detail::pglFromHomogeneous_rowsAreSingular();  // infinite or NaN
      const double magnitude = v < 0.0 ? -v : v;
      largest = magnitude > largest ? magnitude : largest;
    }
    if (largest == 0.0) detail::pglFromHomogeneous_rowsAreSingular();
    for (std::size_t c = 0; c < 4; ++c) scaled[r][c] = rows[r][c] / largest;
  }
  const double d = PGL4::fromRowMajor(scaled).det();
  if (!(d > 1e-12 || d < -1e-12)) detail::pglFromHomogeneous_rowsAreSingular();
  return PGL4::fromRowMajor(rows);
}

// --- Kernel operators --------------------------------------------------------------------------

/// The resonance J = a - a^T: exactly antisymmetric, twice the antisymmetric part of `a`.
[[nodiscard]] PGL4 computeResonance(const PGL4& a) noexcept;

/// The regularised projector I - J^T (J J^T + 2 delta I)^-1 J onto the null space of J = `jc`,
/// with the inverse taken by `PGL4::inverse` (regularisation `delta`, at most 8 steps).
[[nodiscard]] PGL4 computeProjector(const PGL4& jc, double delta) noexcept;

/// The deformed product x*y + epsilon * (x o y), where o is the entrywise product; each added term
/// is (epsilon * x_ij) * y_ij. With epsilon = 0 and finite entries it equals `x.mul(y)` exactly.
[[nodiscard]] PGL4 deformedTensorProduct(const PGL4& x, const PGL4& y, double epsilon) noexcept;

// --- Single-precision fast paths ---------------------------------------------------------------

/// Four single-precision lanes x, y, z, w (lanes 0 to 3) in one 16-byte, 16-aligned record. Its two
/// operators, lane-wise `*` and `/`, are one SIMD instruction each where the compiler has vector
/// extensions (GCC, Clang), four scalar operations elsewhere. Inlined code keeps the value in one
/// 128-bit register; passed by value to a function that is not inlined, or returned from one, it is
/// a record of four floats and crosses in two 8-byte halves (the x86-64 System V convention), so
/// orv's functions take it by reference.
struct alignas(16) F32x4 {
  float x;
  float y;
  float z;
  float w;

  // The results are built from the lanes rather than bit-cast back: GCC then keeps them in a
  // register where the fields are read.
  friend F32x4 operator*(const F32x4& a, const F32x4& b) noexcept {
#ifdef ORV_KERNEL_HAS_VECTOR_EXTENSIONS
    const detail::NativeF32x4 p =
        std::bit_cast<detail::NativeF32x4>(a) * std::bit_cast<detail::NativeF32x4>(b);
    return F32x4{p[0], p[1], p[2], p[3]};
#else
    return F32x4{a.x * b.x, a.y * b.y, a.z * b.z, a.w * b.w};
#endif
  }

  friend F32x4 operator/(const F32x4& a, const F32x4& b) noexcept {
#ifdef ORV_KERNEL_HAS_VECTOR_EXTENSIONS
    const detail::NativeF32x4 q =
        std::bit_cast<detail::NativeF32x4>(a) / std::bit_cast<detail::NativeF32x4>(b);
    return F32x4{q[0], q[1], q[2], q[3]};
#else
    return F32x4{a.x / b.x, a.y / b.y, a.z / b.z, a.w / b.w};
#endif
  }
};

#undef ORV_KERNEL_HAS_VECTOR_EXTENSIONS

static_assert(sizeof(F32x4) == 16 && alignof(F32x4) == 16);
static_assert(std::is_trivially_copyable_v<F32x4>);

/// The 4-lane vector (x, y, z, w).
[[nodiscard]] inline F32x4 f32x4(float x, float y, float z, float w) noexcept {
  return F32x4{x, y, z, w};
}

/// Lane-wise product, then ((p0 + p1) + p2) + p3 in single precision.
[[nodiscard]] inline float simdDot4(const F32x4& a, const F32x4& b) noexcept {
  const F32x4 p = a * b;
  return ((p.x + p.y) + p.z) + p.w;
}

/// All four lanes divided by the length over all four lanes, or (0, 0, 0, 1) when the squared
/// length is below 1e-15f. Pass w = 0 to normalise a 3-vector. NaN lanes give NaN lanes. Finite
/// lanes whose squared length overflows are first scaled by an exact power of two, so they too give
/// a unit vector.
[[nodiscard]] F32x4 simdNormalize3(const F32x4& v) noexcept;

/// Approximately 1/sqrt(x): a first guess from the bit pattern of `x` refined by three Newton steps,
/// relative error below about 3.2e-11. Gives 0 for x <= 0 and for +infinity, NaN for NaN; a
/// subnormal `x` is first scaled by an exact power of two so the guess stays valid.
[[nodiscard]] double cordicInvSqrt(double x) noexcept;

}  // namespace orv::kernel
