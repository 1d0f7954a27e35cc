#pragma once

// The renderer: an observer on the 3-sphere with its viewing frame, projective hyperplanes and the
// four-plane frustum, Fubini-Study depth and W-visibility, the batch paths over point sets
// (culling, clipping, back-to-front sorting) and the forward-plus and deferred pipeline descriptions.
//
// All distances are Fubini-Study angles in radians, measured with `kernel::fsDistance` with the
// observer as first argument.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <memory_resource>
#include <numbers>
#include <span>
#include <string_view>
#include <vector>

#include "orv/error.hpp"
#include "orv/kernel.hpp"
#include "orv/rhi.hpp"

namespace orv::renderer {

using kernel::HomVec4;
using kernel::PGL4;

// --- Camera ------------------------------------------------------------------------------------

/// The observer: a point of the unit 3-sphere with a viewing frame of homogeneous 4-vectors, moved
/// along great circles. The frame is stored exactly as `init` computed it; moves change only the
/// position and never re-orthonormalise, so after a move `forward` is in general no longer
/// orthogonal to `position`, and repeated moves keep stepping along the stored `forward`.
/// `Observer` keeps an orthonormal frame anywhere on the sphere and carries it along its moves.
struct OrvCamera {
  HomVec4 position;  ///< on the unit 3-sphere
  HomVec4 forward;   ///< viewing direction, orthogonal to `position` after `init`
  HomVec4 up;        ///< orthogonal to `position` and `forward` after `init`
  HomVec4 right;     ///< cross product of the x, y, z parts of `forward` and `up`, w = 0
  /// Horizontal field-of-view parameter, radians. The frustum built from the camera keeps the
  /// directions within pi/2 - fov/2 of forward to either side, an angle of view of pi - fov (for a
  /// frame that is orthonormal and tangent at the position, as `init` makes it at (0, 0, 0, +-1)):
  /// pi/3 sees 120 degrees across, and 0 half of space. `fovForAngleOfView` gives the value for a
  /// wanted angle.
  double fov;
  /// Divides the horizontal half-angle to give the vertical one: the vertical angle of view is
  /// pi - fov / aspect, not the horizontal one narrowed by the image's shape.
  /// `aspectForAnglesOfView` gives the value for wanted angles.
  double aspect;
  double near_fs;    ///< near limit, a Fubini-Study distance (radians)
  double far_fs;     ///< far limit, a Fubini-Study distance (radians); may exceed pi/2
  PGL4 view_pgl4;    ///< view transform, valid while `dirty` is false
  bool dirty;        ///< `view_pgl4` no longer matches the frame

  /// Builds the frame: the position normalised onto the 3-sphere ((0, 0, 0, 1) when its norm is at
  /// most 1e-15 or NaN), `forward` with its component along the position removed, `up` with its
  /// components along the position and the new forward removed (each normalised when longer than
  /// 1e-15, else stored as computed), and `right` the normalised cross product of their x, y, z parts
  /// ((1, 0, 0, 0) when degenerate). The scalars are stored unchecked; `view_pgl4` is the identity
  /// and `dirty` is set.
  [[nodiscard]] static OrvCamera init(const HomVec4& position, const HomVec4& forward,
                                      const HomVec4& up, double fov, double aspect, double near_fs,
                                      double far_fs) noexcept;

  /// The camera at the origin (0, 0, 0, 1) looking down -z with +y up: field of view pi/3
  /// (1.0471975511965979), aspect 16/9, near 0.01, far 1000.
  [[nodiscard]] static OrvCamera makeDefault() noexcept;

  /// Recomputes `view_pgl4` from the frame if `dirty`, then clears `dirty`. The matrix has the rows
  /// (right.xyz, -right.position), (up.xyz, -up.position), (-forward.xyz, -forward.position),
  /// (0, 0, 0, 1), the dot products over all four components.
  void updateViewMatrix() noexcept;

  /// Moves the position by the angle `ds` (radians) along the great circle through `position` and
  /// `forward`, renormalised onto the 3-sphere; a result of norm at most 1e-15 leaves the position
  /// where it was. Marks the view transform dirty either way.
  void moveForward(double ds) noexcept;

  /// As `moveForward`, along the great circle through `position` and `right`.
  void moveRight(double ds) noexcept;

  /// Fubini-Study distance from the position to `point`, in [0, pi/2].
  [[nodiscard]] double distanceTo(const HomVec4& point) const noexcept;

  /// The `fov` whose frustum sees `angle_of_view` radians across, pi - angle_of_view: the angle of
  /// view must lie in (0, pi).
  [[nodiscard]] static constexpr double fovForAngleOfView(double angle_of_view) noexcept {
    return std::numbers::pi - angle_of_view;
  }

  /// The `aspect` whose frustum, with `fovForAngleOfView(horizontal)`, sees `vertical` radians from
  /// top to bottom: (pi - horizontal) / (pi - vertical). Both angles must lie in (0, pi). For square
  /// pixels on a w x h image, tan(vertical / 2) = tan(horizontal / 2) * h / w.
  [[nodiscard]] static constexpr double aspectForAnglesOfView(double horizontal,
                                                              double vertical) noexcept {
    return (std::numbers::pi - horizontal) / (std::numbers::pi - vertical);
  }
};

// --- Hyperplanes and frustum -------------------------------------------------------------------

/// The plane a*x + b*y + c*z + d*w = 0 of projective 3-space. The coefficients are never
/// normalised; their sign decides which side is visible.
struct ProjectiveHyperplane {
  double a;
  double b;
  double c;
  double d;

  [[nodiscard]] static constexpr ProjectiveHyperplane init(double a_, double b_, double c_,
                                                           double d_) noexcept {
    return {a_, b_, c_, d_};
  }

  /// ((a*x + b*y) + c*z) + d*w.
  [[nodiscard]] constexpr double evaluate(const HomVec4& p) const noexcept {
    return ((a * p.x + b * p.y) + c * p.z) + d * p.w;
  }

  /// True when `evaluate(p) >= 0`: a point on the plane (either zero) is visible, NaN is not.
  [[nodiscard]] constexpr bool isVisible(const HomVec4& p) const noexcept {
    return evaluate(p) >= 0.0;
  }

  /// The coefficient vector (a, b, c, d) multiplied by `m` exactly as `m.apply` multiplies a point:
  /// a' = m(0,0)*a + m(0,1)*b + m(0,2)*c + m(0,3)*d and so on. The matrix is used as given, neither
  /// inverted nor transposed. A plane moves with the points it contains only under the inverse
  /// transpose of their transform, so this agrees with moving the plane along with `m` only where
  /// that equals `m` (orthogonal transforms such as rotations). The result is not normalised.
  [[nodiscard]] constexpr ProjectiveHyperplane transformBy(const PGL4& m) const noexcept {
    const HomVec4 r = m.apply(HomVec4::init(a, b, c, d));
    return {r.x, r.y, r.z, r.w};
  }

  friend constexpr bool operator==(const ProjectiveHyperplane&,
                                   const ProjectiveHyperplane&) = default;
};

/// The viewing volume of a camera: four side planes through the observer, in the order left,
/// right, top, bottom, with the camera's near and far Fubini-Study limits.
struct OrvFrustum {
  std::array<ProjectiveHyperplane, 4> planes;
  double near_fs;
  double far_fs;
  HomVec4 observer;

  /// Builds the side planes from the camera's frame as stored (its `view_pgl4` and `dirty` take no
  /// part). With tan_h = tan(fov / 2) and tan_v = tan(fov / 2 / aspect), the plane normals are
  /// forward + tan_h*right, forward - tan_h*right, forward - tan_v*up and forward + tan_v*up; each
  /// plane's d is minus the 4-dot product of its normal with the position.
  ///
  /// For an orthonormal frame tangent at the position, a direction at angle a from forward in the
  /// forward-right plane is kept while |a| <= pi/2 - fov/2, and in the forward-up plane while
  /// |a| <= pi/2 - fov/(2 aspect): the angles of view are pi - fov across and pi - fov/aspect from
  /// top to bottom (see `OrvCamera::fovForAngleOfView`). Away from (0, 0, 0, +-1) `init`'s right
  /// vector is not tangent and after a move the frame is no longer tangent, so the planes then do
  /// not pass through the observer; the observer frame in `Observer` has no such limits.
  [[nodiscard]] static OrvFrustum fromCamera(const OrvCamera& camera) noexcept;

  /// True when `point` is visible for all four side planes; the near and far limits take no part.
  [[nodiscard]] bool isVisibleFast(const HomVec4& point) const noexcept {
    return planes[0].isVisible(point) && planes[1].isVisible(point) &&
           planes[2].isVisible(point) && planes[3].isVisible(point);
  }

  /// Whether a sphere of angular radius `fs_radius` around `center` can be seen: rejected when its
  /// centre lies more than fs_radius * |plane| on the wrong side of a plane, or when its extent
  /// [d - fs_radius, d + fs_radius] around the distance d from the observer misses [near, far].
  /// Comparisons are strict and a NaN never rejects.
  [[nodiscard]] bool isSphereVisible(const HomVec4& center, double fs_radius) const noexcept;

  /// Every plane through `ProjectiveHyperplane::transformBy(m)` (the matrix as given, not its
  /// inverse transpose), the observer through `m.apply` (not renormalised), the limits unchanged.
  [[nodiscard]] OrvFrustum transformBy(const PGL4& m) const noexcept;
};

// --- Observer ----------------------------------------------------------------------------------

/// Why `Observer::init` refused its input.
enum class ObserverError : std::uint8_t {
  non_finite = 0,                    ///< a coordinate of position, forward or up is infinite or NaN
  zero_position = 1,                 ///< the position is the zero vector
  forward_parallel_to_position = 2,  ///< forward has no part orthogonal to the position
  up_parallel_to_forward = 3,        ///< up has no part orthogonal to position and forward
};

/// One line saying what the error means, without a trailing newline; "unknown observer error" for
/// a value outside the enumerators.
[[nodiscard]] std::string_view describe(ObserverError error) noexcept;

/// An observer on the 3-sphere: its position and an orthonormal frame of the tangent space there
/// (forward, up, right), four unit vectors orthogonal to each other, with right chosen so that
/// `view` is a rotation (determinant +1). At (0, 0, 0, 1) with forward (0, 0, -1, 0) and up
/// (0, 1, 0, 0), right is (1, 0, 0, 0); `Observer{}` is that observer.
///
/// Moves carry the whole frame along a great circle (parallel transport), turns rotate it in place;
/// both are rotations of the frame in one of its planes, followed by one Gram-Schmidt pass in the
/// fixed order position, forward, up, right, so the frame stays orthonormal to a few units in the
/// last place however many operations run, and the same calls give the same frame to the bit.
/// Angles are radians. A non-finite angle leaves the observer as it was.
///
/// The frame belongs to the representative of the position it was given: the negated position with
/// the same forward and up is the same projective point, looking the opposite way, upside down.
class Observer {
 public:
  /// The observer at (0, 0, 0, 1) looking along (0, 0, -1, 0), up (0, 1, 0, 0), right (1, 0, 0, 0).
  constexpr Observer() noexcept = default;

  /// The observer at `position` (any non-zero finite vector: its direction is kept, its length and
  /// scale are not) looking along `forward` with `up` up. Forward keeps only its part orthogonal to
  /// the position, up only its part orthogonal to position and forward, each then made unit; right
  /// completes the frame. Every vector is first scaled by a power of two, so tiny and huge vectors
  /// count as much as unit ones. A part counts as missing when it is at most 1e-12 of its vector's
  /// length (the vector within about 1e-12 rad of the line or plane removed): below that, the
  /// rounding of the input would decide the direction. Errors are checked in the order of the
  /// enumerators of `ObserverError`.
  [[nodiscard]] static std::expected<Observer, ObserverError> init(const HomVec4& position,
                                                                   const HomVec4& forward,
                                                                   const HomVec4& up) noexcept;

  /// The point the observer stands on, a unit vector.
  [[nodiscard]] constexpr HomVec4 position() const noexcept { return position_; }
  /// The viewing direction, a unit tangent vector at the position.
  [[nodiscard]] constexpr HomVec4 forward() const noexcept { return forward_; }
  /// The up direction, a unit tangent vector orthogonal to forward.
  [[nodiscard]] constexpr HomVec4 up() const noexcept { return up_; }
  /// The right direction, the unit tangent vector orthogonal to forward and up.
  [[nodiscard]] constexpr HomVec4 right() const noexcept { return right_; }

  /// Moves by `angle` along the great circle through the position in the direction of forward
  /// (backward for a negative angle), carrying the frame along: position and forward turn in their
  /// plane, up and right do not change. Moving by pi comes back to the same projective point (the
  /// negated vector) looking the same way, with the picture turned by half a turn.
  void moveForward(double angle) noexcept;
  /// As `moveForward`, toward right (left for a negative angle); forward and up do not change.
  void moveRight(double angle) noexcept;
  /// As `moveForward`, toward up (down for a negative angle); forward and right do not change.
  void moveUp(double angle) noexcept;

  /// Turns forward toward right by `angle` in place (to the left for a negative angle).
  void yaw(double angle) noexcept;
  /// Turns forward toward up by `angle` in place: a positive angle looks up.
  void pitch(double angle) noexcept;
  /// Turns up toward right by `angle` in place: a positive angle tilts the observer's head to the
  /// right (clockwise as the observer sees it), so the image turns counterclockwise.
  void roll(double angle) noexcept;

  /// The rotation taking the observer to (0, 0, 0, 1), forward to (0, 0, -1, 0), up to (0, 1, 0, 0)
  /// and right to (1, 0, 0, 0): the matrix with the rows right, up, -forward, position. Its
  /// determinant is 1 and its exact inverse is `inverseOrthogonal`. Moving the world by it shows,
  /// from `Observer{}` at the origin, what this observer sees.
  [[nodiscard]] PGL4 view() const noexcept;

  /// The frustum of the directions within `horizontal_angle` and `vertical_angle` of forward (full
  /// angles of view, radians): a point ahead is kept when the angle between forward and its
  /// direction, projected on the plane of forward and right, is at most half the horizontal angle,
  /// and projected on the plane of forward and up at most half the vertical angle. The canonical
  /// frustum at (0, 0, 0, 1) has the unit normals (c_h, 0, -s_h, 0), (-c_h, 0, -s_h, 0),
  /// (0, -c_v, -s_v, 0), (0, c_v, -s_v, 0) for left, right, top, bottom, with c and s the cosine
  /// and sine of the half angles; it is carried to the observer by `OrvFrustum::transformBy` of
  /// the transpose of `view`, so culling from here equals culling the world moved by `view` from
  /// the origin. The frustum's observer is the position; `near_fs` and `far_fs` (radians) are
  /// stored unchanged.
  ///
  /// Each angle is valid in (0, pi); outside, it is clamped to [0, pi], NaN counting as 0. At pi
  /// the view takes in everything ahead in that direction; at 0 only what lies straight ahead in it
  /// (for the horizontal angle, nothing right or left of the plane of forward and up), and with
  /// both angles 0 the whole great circle along forward, behind included.
  [[nodiscard]] OrvFrustum frustum(double horizontal_angle, double vertical_angle,
                                   double near_fs = 0.01,
                                   double far_fs = std::numbers::pi / 2) const noexcept;

 private:
  // The matrix with the columns right, up, -forward, position: the transpose of `view`.
  [[nodiscard]] PGL4 frame() const noexcept;
  // Turns frame vector `a` toward frame vector `b` by `angle` in their plane, then makes the frame
  // orthonormal again by one Gram-Schmidt pass; a non-finite angle changes nothing.
  void rotateFrame(HomVec4& a, HomVec4& b, double angle) noexcept;

  HomVec4 position_ = HomVec4::init(0, 0, 0, 1);
  HomVec4 forward_ = HomVec4::init(0, 0, -1, 0);
  HomVec4 up_ = HomVec4::init(0, 1, 0, 0);
  HomVec4 right_ = HomVec4::init(1, 0, 0, 0);
};

/// The vertical angle of view matching `horizontal_angle` on an image `aspect` times as wide as it
/// is high, with square pixels: 2 * atan(tan(horizontal_angle / 2) / aspect), radians. The
/// horizontal angle is valid in (0, pi) and clamped to [0, pi] as `Observer::frustum` clamps it
/// (NaN counting as 0); `aspect` is valid when positive and finite, and gives 0 when it is not
/// positive or NaN.
[[nodiscard]] double verticalAngleOfView(double horizontal_angle, double aspect) noexcept;

// --- Depth and W-visibility --------------------------------------------------------------------

/// Where a point lies by the sign of its w coordinate.
enum class WVisibilityClass : std::uint8_t {
  in_front = 0,     ///< w > W_EPS
  behind = 1,       ///< w < -W_EPS
  at_infinity = 2,  ///< every other w, NaN included
};

/// Fubini-Study depth of `point` seen from `observer`, in [0, 1]: 0 when the distance d is at most
/// `near_fs`, else 1 when d is at least `far_fs`, else (d - near_fs) / (far_fs - near_fs).
[[nodiscard]] double fsDepth(const HomVec4& observer, const HomVec4& point, double near_fs,
                             double far_fs) noexcept;

/// The depth of a point at Fubini-Study distance `distance`, as `fsDepth` computes it from the
/// distance it measures: `fsDepth(o, p, n, f)` is `fsDepthOfDistance(kernel::fsDistance(o, p), n, f)`
/// to the bit. For distances a caller already has, such as those `sortByFSDepth` hands back.
[[nodiscard]] double fsDepthOfDistance(double distance, double near_fs, double far_fs) noexcept;

/// The distance a depth value stands for: near_fs + depth * (far_fs - near_fs), unclamped.
[[nodiscard]] double fsDepthToDistance(double depth, double near_fs, double far_fs) noexcept;

/// The class of `point` by its w coordinate alone; the point is not normalised, so a point and its
/// negation fall on different sides.
[[nodiscard]] WVisibilityClass wVisibility(const HomVec4& point) noexcept;

// --- Culling, clipping and depth sorting -------------------------------------------------------

/// The representative of `point` that faces `observer`: `point` itself, or its exact negation where
/// its 4-dot product with the observer is negative (a NaN product keeps `point`). Both vectors are
/// one point of projective space, but only this one reaches the observer by the shorter of the two
/// geodesics between them (length d rather than pi - d), which is the one the side planes of a
/// frustum and a depth order by Fubini-Study distance describe.
[[nodiscard]] constexpr HomVec4 facing(const HomVec4& observer, const HomVec4& point) noexcept {
  if (point.dot(observer) < 0.0) return HomVec4::init(-point.x, -point.y, -point.z, -point.w);
  return point;
}

/// The representative of `point` that the view `frustum` sees, the same for a vector and its
/// negation: as `facing(frustum.observer, point)` where the 4-dot product with the observer is not
/// zero (the point itself where it is NaN). Where it is zero, exactly on the hyperplane orthogonal
/// to the observer, both representatives lie pi/2 away along geodesics of equal length; of those
/// the one ahead is chosen, whose values l, r, t, b of the four side planes
/// (`ProjectiveHyperplane::evaluate`) give a positive l + r, or where that is zero a positive t + b,
/// else a positive l, else a positive t; where all four are zero, the one whose first non-zero
/// coordinate is positive. So a point in view there is kept whatever its sign (for the observer at
/// the origin that is every point at infinity ahead). The devices choose the representatives of
/// what they draw in exactly this way.
[[nodiscard]] constexpr HomVec4 facing(const OrvFrustum& frustum, const HomVec4& point) noexcept {
  const HomVec4 negation = HomVec4::init(-point.x, -point.y, -point.z, -point.w);
  const double toward = point.dot(frustum.observer);
  if (toward < 0.0) return negation;
  if (!(toward == 0.0)) return point;
  const double l = frustum.planes[0].evaluate(point);
  const double r = frustum.planes[1].evaluate(point);
  const double t = frustum.planes[2].evaluate(point);
  const double b = frustum.planes[3].evaluate(point);
  for (const double ahead : {l + r, t + b, l, t, point.x, point.y, point.z, point.w}) {
    if (ahead < 0.0) return negation;
    if (ahead > 0.0) return point;
  }
  return point;
}

/// Writes into `out[i]` the representative of `points[i]` that faces `observer` (`facing`): the
/// exact negation where the 4-dot product with the observer is negative, else the point unchanged
/// (a zero or NaN product included), nothing normalised. Only i below min(points, out) is written;
/// entries of `out` beyond are left untouched. `out` may be `points` itself (in place), but must not
/// overlap it otherwise. The culling functions and the depth sort below expect such points.
///
/// A point whose product with the observer is exactly zero keeps the sign it was given, so a vector
/// and its negation are culled differently there. The overload taking the frustum does not.
void faceObserver(const HomVec4& observer, std::span<const HomVec4> points,
                  std::span<HomVec4> out) noexcept;

/// As `faceObserver`, choosing the representatives the view `frustum` sees (`facing` with the
/// frustum): the same wherever the 4-dot product with the observer is not zero, and on the
/// hyperplane orthogonal to the observer the one ahead, whatever the sign given. Culling these with
/// the same frustum keeps exactly the points a device draws inside the image through the
/// `device::ViewUniform` built from it.
void faceObserver(const OrvFrustum& frustum, std::span<const HomVec4> points,
                  std::span<HomVec4> out) noexcept;

/// Marks in `visible_mask` which points lie inside the frustum's four side planes and returns how
/// many do. Only the first min(positions, mask) points are examined; mask entries beyond them are
/// left untouched. The caller keeps that count below 2^32. Every instruction-set path the library
/// chooses from at run time gives the same mask and count to the bit.
///
/// Expects points facing the frustum's observer (`faceObserver`, best its overload taking this
/// frustum). A vector and its negation are one point, but they fall on opposite sides of the side
/// planes, which pass through the observer; the facing one is the point as the frustum describes
/// it, seen along the shorter geodesic.
std::uint32_t frustumCull(const OrvFrustum& frustum, std::span<const HomVec4> positions,
                          std::span<bool> visible_mask) noexcept;

/// Faces, culls and compacts in one pass: writes to the front of `indices`, in increasing order,
/// the index of every point whose representative the view sees (`facing` with the frustum) lies
/// inside the frustum's four side planes, and returns how many there are. These are exactly the
/// points, on every instruction-set path, that `faceObserver` with the frustum followed by
/// `frustumCull` with the same frustum marks, so exactly the points a device draws inside the image
/// through the `device::ViewUniform` built from it; no array of facing points or mask is needed.
///
/// Only the first n = min(points, indices) points are examined, so `indices` as long as `points`
/// always holds the result; the caller keeps n below 2^32. Entries of `indices` from the returned
/// count up to n may be overwritten with unspecified values; entries beyond n are left untouched.
/// Allocates nothing.
std::uint32_t visibleIndices(const OrvFrustum& frustum, std::span<const HomVec4> points,
                             std::span<std::uint32_t> indices) noexcept;

/// As `visibleIndices`, also writing the facing representative of each point listed to the same
/// position of `visible`: `visible[k]` is `facing(frustum, points[indices[k]])`, ready for
/// `sortByFSDepth`, whose order then names positions in `indices`. Examines the first
/// min(points, indices, visible) points; entries of `visible` from the count up to that number may
/// be overwritten, those beyond are left untouched. `visible` may be `points` itself, which
/// compacts the array in place, but must not overlap it otherwise.
std::uint32_t visibleIndices(const OrvFrustum& frustum, std::span<const HomVec4> points,
                             std::span<std::uint32_t> indices, std::span<HomVec4> visible) noexcept;

/// As `frustumCull`, with the single criterion `plane.isVisible`. Nothing is moved or split. A
/// vector and its negation fall on opposite sides of any plane, so where the plane bounds what an
/// observer sees, pass the points facing that observer (`faceObserver`).
std::uint32_t projectiveClip(const ProjectiveHyperplane& plane,
                             std::span<const HomVec4> positions,
                             std::span<bool> visible_mask) noexcept;

/// A back-to-front drawing order: the indices of `positions` by decreasing Fubini-Study distance
/// from `observer`, points at equal distance (as doubles) in input order. Points are ordered by the
/// cosine of their distance, and by the distance itself (an arc cosine) only where cosines lie so
/// close that their distances could be equal; the time is O(n) for fewer than 2^32 points and
/// O(n log n) distance look-ups beyond. The list, allocated from `resource`, is the only memory
/// taken: no scratch from the resource or the global heap, and a small fixed amount of stack. When the resource refuses the list the result is
/// `Error::OutOfMemory` and nothing stays allocated. An empty point array gives an empty list.
///
/// Meant for the points facing `observer` that the culling functions took (`faceObserver`), so that
/// the indices name the same array as their mask. Its order does not depend on that choice:
/// the Fubini-Study distance ignores sign and scale, and is the length of the shorter geodesic,
/// the one along which the facing representative reaches the observer.
[[nodiscard]] std::expected<std::pmr::vector<std::size_t>, Error> sortByFSDepth(
    std::pmr::memory_resource& resource, const HomVec4& observer,
    std::span<const HomVec4> positions);

/// The same order, the same memory, and every point's distance, each computed once and keyed on:
/// `distances[i]` receives `kernel::fsDistance(observer, positions[i])` (observer first, radians in
/// [0, pi/2]), in input order, so a caller that needs them does not compute them again. `distances` must be at least as
/// long as `positions` (checked in debug builds); entries beyond its end are never written, and a
/// shorter span still gets a complete order. On `Error::OutOfMemory` its content is unspecified.
[[nodiscard]] std::expected<std::pmr::vector<std::size_t>, Error> sortByFSDepth(
    std::pmr::memory_resource& resource, const HomVec4& observer,
    std::span<const HomVec4> positions, std::span<double> distances);

// --- Pipeline descriptions ---------------------------------------------------------------------

/// Configuration of the forward-plus (tiled forward) pipeline.
struct ForwardPlusConfig {
  std::uint32_t tile_size = 16;             ///< edge of a screen tile, pixels
  std::uint32_t max_lights_per_tile = 256;  ///< light list capacity of one tile
  std::uint32_t msaa_samples = 1;           ///< samples per pixel
  bool z_prepass = true;                    ///< a depth-only pass runs before shading
  bool fs_depth = true;                     ///< depth is Fubini-Study depth
  bool chart_switching = true;              ///< points may change affine chart
};

/// A forward-plus pipeline bound to a camera and the frustum built from it.
struct ForwardPlusPipeline {
  OrvCamera camera;
  OrvFrustum frustum;
  std::uint64_t frame_index;
  ForwardPlusConfig config;

  /// Stores copies of `camera` (unchanged, not refreshed) and `config`, builds the frustum from the
  /// camera and starts at frame 0.
  [[nodiscard]] static ForwardPlusPipeline init(const OrvCamera& camera,
                                                const ForwardPlusConfig& config) noexcept;

  /// 4 render passes with a Z prepass, 3 without.
  [[nodiscard]] constexpr std::uint32_t passCount() const noexcept {
    std::uint32_t passes = 1;
    if (config.z_prepass) passes += 1;
    passes += 1;
    passes += 1;
    return passes;
  }
};

/// Formats of the five G-buffer targets of the deferred pipeline.
struct GBufferLayout {
  rhi::Format position_format = rhi::Format::rgba32_float;
  rhi::Format normal_format = rhi::Format::rgba32_float;
  rhi::Format albedo_format = rhi::Format::rgba8_unorm;
  rhi::Format material_format = rhi::Format::rgba32_float;
  rhi::Format depth_format = rhi::Format::depth32_float;

  /// Bytes per pixel over the five targets; 56 for the default layout.
  [[nodiscard]] constexpr std::uint32_t bytesPerPixel() const noexcept {
    return size(position_format) + size(normal_format) + size(albedo_format) +
           size(material_format) + size(depth_format);
  }
};

/// Configuration of the deferred pipeline.
struct DeferredConfig {
  std::uint32_t tile_size = 16;    ///< edge of a screen tile, pixels
  std::uint32_t max_lights = 1024; ///< light capacity
  GBufferLayout gbuffer{};         ///< G-buffer formats
  bool fs_depth = true;            ///< depth is Fubini-Study depth
  bool orv_normals = true;         ///< normals are stored in projective form
  bool tiled = true;               ///< lighting is done per screen tile
  bool chart_switching = true;     ///< points may change affine chart
};

/// A deferred pipeline bound to a camera and the frustum built from it.
struct DeferredPipeline {
  OrvCamera camera;
  OrvFrustum frustum;
  std::uint64_t frame_index;
  DeferredConfig config;

  /// Stores copies of `camera` (unchanged, not refreshed) and `config`, builds the frustum from the
  /// camera and starts at frame 0.
  [[nodiscard]] static DeferredPipeline init(const OrvCamera& camera,
                                             const DeferredConfig& config) noexcept;

  /// Always 3, whatever the configuration.
  [[nodiscard]] constexpr std::uint32_t passCount() const noexcept { return 3; }
};

enum class PipelineMode : std::uint8_t {
  forward_plus = 0,
  deferred = 1,
  hybrid = 2,
};

/// Render passes a pipeline mode needs: 4 for forward-plus (with its Z prepass), 3 for deferred,
/// 5 for hybrid.
[[nodiscard]] constexpr std::uint32_t passCountHint(PipelineMode mode) noexcept {
  switch (mode) {
    case PipelineMode::forward_plus: return 4;
    case PipelineMode::deferred: return 3;
    case PipelineMode::hybrid: return 5;
  }
  return 0;  // not one of the three modes
}

}  // namespace orv::renderer
