#pragma once

// NumPy arguments of the module's functions: points read in place where their memory already has
// the layout of `kernel::HomVec4`, converted once where it does not, refused with a `TypeError` or
// `ValueError` that names the argument where they cannot be points at all.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <span>

#include "orv/kernel.hpp"

namespace orv::python {

namespace py = pybind11;

/// Which shapes an argument of points may have.
enum class Shape {
  one_or_many,  ///< (N, 4), or (4,) for a single point
  many,         ///< (N, 4) only
};

/// Points read from an argument.
struct Points {
  /// The array `points` reads, which keeps its memory alive: the argument itself where it is a
  /// C-contiguous, aligned float64 array in native byte order, else its one converted copy.
  py::array array;
  std::span<const kernel::HomVec4> points;
  bool single = false;  ///< the argument had shape (4,)
};

/// The points of `arg`, an array or anything NumPy makes one of, whose values are real numbers:
/// integers and floating-point numbers of other widths are converted to float64; booleans,
/// complex numbers, strings and objects are refused with a `TypeError`, and other shapes than
/// `shape` allows with a `ValueError`. Messages start with `name`.
[[nodiscard]] Points readPoints(py::handle arg, const char* name, Shape shape);

/// A single point, shape (4,), as `readPoints` reads it.
[[nodiscard]] kernel::HomVec4 readPoint(py::handle arg, const char* name);

/// The values of `arg` as a C-contiguous array of `dtype` of shape (N, C), C from `min_columns` to
/// `max_columns`: converted where needed from a number kind listed in `kinds` (NumPy's kind
/// characters: "f" floating point, "iu" integers), refused otherwise. `what` names the values for
/// messages, e.g. "floating-point colours".
[[nodiscard]] py::array readTable(py::handle arg, const char* name, const py::dtype& dtype,
                                  const char* kinds, py::ssize_t min_columns,
                                  py::ssize_t max_columns, const char* what);

/// A new float64 array shaped as `like`: (N, 4), or (4,) where `like.single`.
[[nodiscard]] py::array_t<double> pointsLike(const Points& like);

/// The number of results of an operation on `a` and `b` pair by pair: both hold N points, or one
/// holds a single point ((4,) or (1, 4)), which is paired with every point of the other. Refused
/// with a `ValueError` otherwise.
[[nodiscard]] std::size_t pairCount(const Points& a, const Points& b);

}  // namespace orv::python
