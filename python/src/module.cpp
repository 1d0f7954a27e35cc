// The extension module orv._orv, which the package orv presents: the kernel's and the renderer's
// batch operations on NumPy arrays, the observer and its frustum, and `render` (render.cpp).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <memory_resource>
#include <new>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "orv/error.hpp"
#include "orv/kernel.hpp"
#include "orv/renderer.hpp"
#include "render.hpp"

namespace orv::python {

namespace {

using kernel::HomVec4;
using renderer::Observer;
using renderer::OrvFrustum;

// What every function taking points says about them.
#define ORV_POINTS_NOTE                                                                           \
  "Points are NumPy arrays of shape (N, 4), or (4,) for one point. Arrays of float64 in C order " \
  "are read where they are, without copying; other real dtypes and layouts are converted to "     \
  "that once, and anything else is refused with a TypeError (dtype) or ValueError (shape) "       \
  "naming the argument. "

py::array_t<double> toArray(const HomVec4& p) {
  py::array_t<double> out(4);
  double* d = out.mutable_data();
  d[0] = p.x;
  d[1] = p.y;
  d[2] = p.z;
  d[3] = p.w;
  return out;
}

// Calls f(a_i, b_i, i) for the n pairs of `pairCount`: a single point pairs with every point.
template <class F>
void forPairs(std::span<const HomVec4> a, std::span<const HomVec4> b, std::size_t n, F&& f) {
  if (b.size() == 1) {
    for (std::size_t i = 0; i < n; ++i) f(a[i], b[0], i);
  } else if (a.size() == 1) {
    for (std::size_t i = 0; i < n; ++i) f(a[0], b[i], i);
  } else {
    for (std::size_t i = 0; i < n; ++i) f(a[i], b[i], i);
  }
}

// One result per pair of `a` and `b` from `pairResult(a_i, b_i)`: a scalar for two single
// points, else an array, filled with the GIL released.
template <class T, class F>
py::object pairwise(py::handle a_arg, py::handle b_arg, F pairResult) {
  const Points a = readPoints(a_arg, "a", Shape::one_or_many);
  const Points b = readPoints(b_arg, "b", Shape::one_or_many);
  if (a.single && b.single) return py::cast(pairResult(a.points[0], b.points[0]));
  const std::size_t n = pairCount(a, b);
  py::array_t<T> out(static_cast<py::ssize_t>(n));
  T* results = out.mutable_data();
  {
    py::gil_scoped_release release;
    forPairs(a.points, b.points, n, [&](const HomVec4& p, const HomVec4& q, std::size_t i) {
      results[i] = pairResult(p, q);
    });
  }
  return out;
}

// The C++ index list as an int64 array that owns it: nothing is copied.
py::array indexArray(std::pmr::vector<std::size_t>&& indices) {
  static_assert(sizeof(std::size_t) == sizeof(std::int64_t));
  using List = std::pmr::vector<std::size_t>;
  auto list = std::make_unique<List>(std::move(indices));
  const auto n = static_cast<py::ssize_t>(list->size());
  std::size_t* data = list->data();
  py::capsule owner(list.get(), [](void* p) { delete static_cast<List*>(p); });
  list.release();
  // Indices stay below 2^63, so the bytes of each std::size_t read as int64 are its value.
  return py::array(py::dtype::of<std::int64_t>(), {n}, {py::ssize_t{8}}, data, owner);
}

std::pair<py::array, py::array_t<double>> sortByFsDepth(const py::object& position_arg,
                                                        const py::object& points_arg) {
  const HomVec4 position = readPoint(position_arg, "position");
  const Points points = readPoints(points_arg, "points", Shape::many);
  py::array_t<double> distances(static_cast<py::ssize_t>(points.points.size()));
  const std::span<double> out(distances.mutable_data(), points.points.size());
  std::optional<std::expected<std::pmr::vector<std::size_t>, Error>> order;
  {
    py::gil_scoped_release release;
    order.emplace(
        renderer::sortByFSDepth(*std::pmr::new_delete_resource(), position, points.points, out));
  }
  if (!*order) throw std::bad_alloc();
  return {indexArray(std::move(**order)), std::move(distances)};
}

// --- The C++ calls alone, for bench/python_bench.py -------------------------------------------

// Seconds on a steady clock that `work` takes to make its result, which is freed after the clock
// stops, as a Python caller frees a result after its call returns.
template <class Work>
double secondsOf(Work&& work) {
  py::gil_scoped_release release;
  const auto start = std::chrono::steady_clock::now();
  [[maybe_unused]] const auto result = work();
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  return seconds.count();
}

void defineTiming(py::module_& m) {
  py::module_ timing = m.def_submodule(
      "_timing",
      "Internal: the C++ calls that orv's functions make, each timed in C++ on the same arrays, "
      "its outputs allocated uninitialised, as NumPy allocates them. For bench/python_bench.py.");
  timing.def("fs_distance", [](const py::object& a_arg, const py::object& b_arg) {
    const Points a = readPoints(a_arg, "a", Shape::many);
    const HomVec4 b = readPoint(b_arg, "b");
    return secondsOf([&] {
      auto d = std::make_unique_for_overwrite<double[]>(a.points.size());
      for (std::size_t i = 0; i < a.points.size(); ++i) d[i] = kernel::fsDistance(a.points[i], b);
      return d;
    });
  });
  timing.def("frustum_cull", [](const OrvFrustum& frustum, const py::object& points_arg) {
    const Points points = readPoints(points_arg, "points", Shape::many);
    return secondsOf([&] {
      auto mask = std::make_unique_for_overwrite<bool[]>(points.points.size());
      renderer::frustumCull(frustum, points.points, {mask.get(), points.points.size()});
      return mask;
    });
  });
  timing.def("sort_by_fs_depth", [](const py::object& position_arg, const py::object& points_arg) {
    const HomVec4 position = readPoint(position_arg, "position");
    const Points points = readPoints(points_arg, "points", Shape::many);
    return secondsOf([&] {
      const std::size_t n = points.points.size();
      auto distances = std::make_unique_for_overwrite<double[]>(n);
      auto order = renderer::sortByFSDepth(*std::pmr::new_delete_resource(), position,
                                           points.points, {distances.get(), n});
      return std::make_pair(std::move(order), std::move(distances));
    });
  });
}

// --- Observer and frustum ---------------------------------------------------------------------

void defineObserver(py::module_& m) {
  py::class_<OrvFrustum>(
      m, "Frustum",
      "The viewing volume of an observer (Observer.frustum): four side planes through the "
      "observer, left, right, top and bottom, a point being inside where all four evaluate to "
      ">= 0 at it, with near and far limits of Fubini-Study distance (radians) that culling "
      "ignores.")
      .def_property_readonly(
          "planes",
          [](const OrvFrustum& f) {
            py::array_t<double> out({py::ssize_t{4}, py::ssize_t{4}});
            double* d = out.mutable_data();
            for (const renderer::ProjectiveHyperplane& p : f.planes) {
              *d++ = p.a;
              *d++ = p.b;
              *d++ = p.c;
              *d++ = p.d;
            }
            return out;
          },
          "The side planes as a (4, 4) array, one row (a, b, c, d) per plane a*x + b*y + c*z + "
          "d*w = 0, in the order left, right, top, bottom; not normalised.")
      .def_property_readonly(
          "observer", [](const OrvFrustum& f) { return toArray(f.observer); },
          "The observer's position, shape (4,).")
      .def_readonly("near", &OrvFrustum::near_fs, "Near limit, a Fubini-Study distance (radians).")
      .def_readonly("far", &OrvFrustum::far_fs, "Far limit, a Fubini-Study distance (radians).");

  py::class_<Observer>(
      m, "Observer",
      "An observer on the 3-sphere: its position and an orthonormal frame of directions there "
      "(forward, up, right), four unit vectors orthogonal to each other, with right chosen so that "
      "`view` is a rotation. Moves carry the whole frame along a great circle, turns rotate it in "
      "place; the frame stays orthonormal however many run, and the same calls give the same "
      "frame to the bit, as in C++. Angles are radians; a non-finite angle changes nothing.\n\n"
      "The frame belongs to the representative of the position it was given: the negated "
      "position with the same forward and up is the same projective point, looking the opposite "
      "way, upside down.")
      .def(
          py::init([](const py::object& position, const py::object& forward, const py::object& up) {
            auto made = Observer::init(readPoint(position, "position"),
                                       readPoint(forward, "forward"), readPoint(up, "up"));
            if (!made) {
              throw py::value_error("Observer: " + std::string(renderer::describe(made.error())));
            }
            return *made;
          }),
          py::arg("position") = py::make_tuple(0.0, 0.0, 0.0, 1.0),
          py::arg("forward") = py::make_tuple(0.0, 0.0, -1.0, 0.0),
          py::arg("up") = py::make_tuple(0.0, 1.0, 0.0, 0.0),
          "The observer at `position` (any non-zero finite vector: its direction is kept, not its "
          "length or sign) looking along `forward` with `up` up, each of shape (4,). Forward "
          "keeps only its part orthogonal to the position, up only its part orthogonal to "
          "position and forward, each then made unit; right completes the frame. The defaults "
          "stand at (0, 0, 0, 1) looking down -z with +y up, right being +x.\n\n"
          "Raises ValueError, saying why, for a non-finite coordinate, a zero position, a forward "
          "along the position or an up in the plane of position and forward (a part counts as "
          "missing when it is at most 1e-12 of its vector's length).")
      .def("move_forward", &Observer::moveForward, py::arg("angle"),
           "Moves by `angle` radians along the great circle toward forward (backward for a "
           "negative angle), carrying the frame along. Moving by pi comes back to the same "
           "projective point, looking the same way, the picture turned by half a turn.")
      .def("move_right", &Observer::moveRight, py::arg("angle"),
           "Moves by `angle` radians toward right (left for a negative angle); forward and up "
           "stay as they are.")
      .def("move_up", &Observer::moveUp, py::arg("angle"),
           "Moves by `angle` radians toward up (down for a negative angle); forward and right "
           "stay as they are.")
      .def("yaw", &Observer::yaw, py::arg("angle"),
           "Turns forward toward right by `angle` radians in place (left for a negative angle).")
      .def("pitch", &Observer::pitch, py::arg("angle"),
           "Turns forward toward up by `angle` radians in place: a positive angle looks up.")
      .def("roll", &Observer::roll, py::arg("angle"),
           "Turns up toward right by `angle` radians in place: a positive angle tilts the head to "
           "the right, so the picture turns counterclockwise.")
      .def_property_readonly(
          "position", [](const Observer& o) { return toArray(o.position()); },
          "The point the observer stands on, a unit vector, shape (4,).")
      .def_property_readonly(
          "forward", [](const Observer& o) { return toArray(o.forward()); },
          "The viewing direction, a unit vector orthogonal to the position, shape (4,).")
      .def_property_readonly(
          "up", [](const Observer& o) { return toArray(o.up()); },
          "The up direction, a unit vector orthogonal to position and forward, shape (4,).")
      .def_property_readonly(
          "right", [](const Observer& o) { return toArray(o.right()); },
          "The right direction, the unit vector completing the frame, shape (4,).")
      .def_property_readonly(
          "view",
          [](const Observer& o) {
            const kernel::PGL4 view = o.view();
            py::array_t<double> out({py::ssize_t{4}, py::ssize_t{4}});
            auto rows = out.mutable_unchecked<2>();
            for (py::ssize_t r = 0; r < 4; ++r) {
              for (py::ssize_t c = 0; c < 4; ++c) {
                rows(r, c) = view.get(static_cast<std::size_t>(r), static_cast<std::size_t>(c));
              }
            }
            return out;
          },
          "The rotation taking the observer to (0, 0, 0, 1), forward to (0, 0, -1, 0), up to "
          "(0, 1, 0, 0) and right to (1, 0, 0, 0), a (4, 4) array acting on column vectors: its "
          "rows are right, up, -forward and position. Its transpose is its inverse.")
      .def("frustum", &Observer::frustum, py::arg("horizontal"), py::arg("vertical"),
           py::arg("near") = 0.01, py::arg("far") = std::numbers::pi / 2,
           "The frustum of the directions within the full angles of view `horizontal` and "
           "`vertical` (radians) of forward: a point ahead is inside when the angle between "
           "forward and its direction, projected on the plane of forward and right, is at most "
           "half the horizontal angle, and projected on the plane of forward and up at most half "
           "the vertical one. `near` and `far` (Fubini-Study distances, radians) are kept as "
           "they are.\n\n"
           "Each angle is meant to lie in (0, pi); outside it is clamped to [0, pi], NaN counting "
           "as 0. At pi the view takes in everything ahead in that direction; with both angles 0, "
           "the great circle along forward.")
      .def("__copy__", [](const Observer& o) { return o; })
      .def(
          "__deepcopy__", [](const Observer& o, const py::object&) { return o; }, py::arg("memo"))
      .def("__repr__", [](const Observer& o) {
        const auto text = [](const HomVec4& p) {
          return std::string(py::repr(py::make_tuple(p.x, p.y, p.z, p.w)));
        };
        return "orv.Observer(position=" + text(o.position()) + ", forward=" + text(o.forward()) +
               ", up=" + text(o.up()) + ")";
      });

  m.def("vertical_angle_of_view", &renderer::verticalAngleOfView, py::arg("horizontal"),
        py::arg("aspect"),
        "The vertical angle of view matching the horizontal one on an image `aspect` times as "
        "wide as it is high, with square pixels: 2 * atan(tan(horizontal / 2) / aspect), radians. "
        "The horizontal angle is clamped to [0, pi] as Observer.frustum clamps it (NaN counting "
        "as 0); an aspect that is not positive, or NaN, gives 0.");
}

// --- Points -----------------------------------------------------------------------------------

void definePoints(py::module_& m) {
  m.def(
      "fs_distance",
      [](const py::object& a, const py::object& b) {
        return pairwise<double>(
            a, b, [](const HomVec4& p, const HomVec4& q) { return kernel::fsDistance(p, q); });
      },
      py::arg("a"), py::arg("b"),
      "The Fubini-Study distance between the points `a` and `b`: the angle in radians, 0 to "
      "pi/2, between the lines the vectors span, bit for bit that of the C++ library. It depends "
      "only on the projective points (not on sign or scale), is symmetric, is pi/2 for "
      "orthogonal vectors, and 0 where either vector is shorter than 1e-15 or the cosine is NaN "
      "(a NaN or infinite coordinate).\n\n"
      "Two single points give a float; otherwise one distance per pair, an array of N: both "
      "hold N points, or one is a single point (or an array of one), paired with each point of "
      "the other; other counts raise ValueError. " ORV_POINTS_NOTE
      "The GIL is released while the distances are computed.");

  m.def(
      "is_same_point",
      [](const py::object& a, const py::object& b, double tol) {
        return pairwise<bool>(
            a, b, [tol](const HomVec4& p, const HomVec4& q) { return p.isSamePoint(q, tol); });
      },
      py::arg("a"), py::arg("b"), py::arg("tol") = 1e-12,
      "Whether `a` and `b` are the same projective point whatever their sign and scale: both "
      "vectors at least `tol` long and the absolute cosine of the angle between them above "
      "1 - tol (for a small tol, lines within about sqrt(2 * tol) radians of each other). A NaN "
      "coordinate never matches.\n\n"
      "Pairs points as fs_distance does: a bool for two single points, else a bool "
      "array. " ORV_POINTS_NOTE);

  m.def(
      "normalize",
      [](const py::object& points_arg) {
        const Points points = readPoints(points_arg, "points", Shape::one_or_many);
        py::array_t<double> out = pointsLike(points);
        auto* result = reinterpret_cast<HomVec4*>(out.mutable_data());
        {
          py::gil_scoped_release release;
          for (std::size_t i = 0; i < points.points.size(); ++i) {
            result[i] = points.points[i].normalize();
          }
        }
        return out;
      },
      py::arg("points"),
      "The representatives on the unit 3-sphere, a new array of the same shape: each vector "
      "divided by its 4-norm (huge coordinates are scaled first, so nothing overflows), or the "
      "Cartesian origin (0, 0, 0, 1) where the norm is below 1e-15. Non-finite coordinates are "
      "not screened: a NaN makes its vector all NaN, and an infinite coordinate becomes NaN and "
      "the finite ones beside it 0. " ORV_POINTS_NOTE);

  m.def(
      "face_observer",
      [](const py::object& position_arg, const py::object& points_arg) {
        const HomVec4 position = readPoint(position_arg, "position");
        const Points points = readPoints(points_arg, "points", Shape::one_or_many);
        py::array_t<double> out = pointsLike(points);
        const std::span<HomVec4> result(reinterpret_cast<HomVec4*>(out.mutable_data()),
                                        points.points.size());
        {
          py::gil_scoped_release release;
          renderer::faceObserver(position, points.points, result);
        }
        return out;
      },
      py::arg("position"), py::arg("points"),
      "The representatives of `points` that face an observer at `position`, a new array of the "
      "same shape: each point itself, or its exact negation where its 4-dot product with the "
      "position is negative (a zero or NaN product keeps the point); nothing is normalised. A "
      "vector and its negation are one point, but only the facing one reaches the observer "
      "along the shorter geodesic, the one frustum_cull and sort_by_fs_depth "
      "describe. " ORV_POINTS_NOTE);

  m.def(
      "frustum_cull",
      [](const OrvFrustum& frustum, const py::object& points_arg) -> py::object {
        const Points points = readPoints(points_arg, "points", Shape::one_or_many);
        py::array_t<bool> mask(static_cast<py::ssize_t>(points.points.size()));
        const std::span<bool> out(mask.mutable_data(), points.points.size());
        {
          py::gil_scoped_release release;
          renderer::frustumCull(frustum, points.points, out);
        }
        if (points.single) return py::bool_(out[0]);
        return mask;
      },
      py::arg("frustum"), py::arg("points"),
      "Which points lie inside the frustum's four side planes (its near and far limits take no "
      "part): a bool array, one per point, or a bool for a single point. A point on a plane is "
      "inside, one with a NaN coordinate outside. Expects the points facing the frustum's "
      "observer (face_observer): a vector and its negation fall on opposite sides of the planes, "
      "which pass through the observer. " ORV_POINTS_NOTE
      "The GIL is released while the points are tested.");

  m.def(
      "visible_indices",
      [](const OrvFrustum& frustum, const py::object& points_arg) {
        const Points points = readPoints(points_arg, "points", Shape::many);
        const std::size_t n = points.points.size();
        if (n > std::numeric_limits<std::uint32_t>::max()) {
          throw py::value_error("points: at most 2**32 - 1 points, got " + std::to_string(n));
        }
        py::array_t<std::uint32_t> indices(static_cast<py::ssize_t>(n));
        py::array_t<double> visible({static_cast<py::ssize_t>(n), py::ssize_t{4}});
        std::uint32_t count = 0;
        {
          py::gil_scoped_release release;
          count = renderer::visibleIndices(
              frustum, points.points, {indices.mutable_data(), n},
              {reinterpret_cast<HomVec4*>(visible.mutable_data()), n});
        }
        indices.resize({static_cast<py::ssize_t>(count)}, false);
        visible.resize({static_cast<py::ssize_t>(count), py::ssize_t{4}}, false);
        return std::make_pair(std::move(indices), std::move(visible));
      },
      py::arg("frustum"), py::arg("points"),
      "The points the frustum's view sees, in one pass: `(indices, visible)`, the indices "
      "(uint32, increasing) of the points, shape (N, 4), whose representative the view sees lies "
      "inside the frustum's four side planes, and those representatives, shape (K, 4). The "
      "representative is the point or its exact negation: the one facing the frustum's observer, "
      "and where the point is square to it (4-dot product zero) the one ahead. So these are "
      "exactly the points the devices and render draw inside the image, with no face_observer "
      "needed first. " ORV_POINTS_NOTE "The GIL is released while the points are tested.");

  m.def("sort_by_fs_depth", &sortByFsDepth, py::arg("position"), py::arg("points"),
        "A back-to-front drawing order: `(indices, distances)`, the indices (int64) of `points`, "
        "shape (N, 4), by decreasing Fubini-Study distance from `position`, points at equal "
        "distance (as doubles) in input order, exactly the C++ library's order; and "
        "`distances[i]`, fs_distance(position, points[i]) in radians, in input order. No points "
        "give two empty arrays. The index array is the list the C++ library made, handed over "
        "without copying. Meant for the points facing `position` (face_observer), though the "
        "order does not depend on that. Raises MemoryError where memory runs out. " ORV_POINTS_NOTE
        "The GIL is released while the points are sorted.");
}

#undef ORV_POINTS_NOTE

}  // namespace

}  // namespace orv::python

PYBIND11_MODULE(_orv, m) {
  namespace op = orv::python;
  m.doc() =
      "orv: points of real projective 3-space as homogeneous 4-vectors on the unit 3-sphere, a "
      "vector and its negation one point; Fubini-Study distances; an observer with its frustum; "
      "culling, depth sorting and rendering on NumPy arrays.";
  m.attr("__version__") = ORV_VERSION;
  op::definePoints(m);
  op::defineObserver(m);
  op::defineRender(m);
  op::defineTiming(m);
}
