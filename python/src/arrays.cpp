#include "arrays.hpp"

#include <cstring>
#include <string>

namespace orv::python {

namespace {

// What NumPy reads in place: C order, aligned, and (through the dtype) native byte order.
constexpr int kInPlace =
    py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_;

std::string shapeText(const py::array& a) {
  std::string text = "(";
  for (py::ssize_t d = 0; d < a.ndim(); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(a.shape(d));
  }
  return text + (a.ndim() == 1 ? ",)" : ")");
}

std::string typeName(py::handle h) { return Py_TYPE(h.ptr())->tp_name; }

// `arg` as an array, made by NumPy where it is not one; what it holds is not checked yet.
py::array asArray(py::handle arg, const char* name, const std::string& expected) {
  if (py::isinstance<py::array>(arg)) return py::reinterpret_borrow<py::array>(arg);
  py::array array = py::array::ensure(arg);
  if (!array) {
    throw py::type_error(std::string(name) + ": expected " + expected + ", got " + typeName(arg) +
                         ", of which NumPy makes no array");
  }
  return array;
}

// Refuses an array whose values are not of a kind in `kinds`.
void checkKind(const py::array& array, py::handle arg, const char* name, const char* kinds,
               const std::string& expected) {
  const char kind = array.dtype().kind();
  if (std::strchr(kinds, kind) != nullptr) return;
  std::string got = "dtype " + std::string(py::str(array.dtype()));
  if (!py::isinstance<py::array>(arg)) got = typeName(arg) + " of " + got;
  throw py::type_error(std::string(name) + ": expected " + expected + ", got " + got);
}

// `array` in C order, aligned and as `dtype`: itself where it is all that, else one converted
// copy.
py::array inPlaceOrConverted(const py::array& array, const py::dtype& dtype) {
  PyObject* converted = py::detail::npy_api::get().PyArray_FromAny_(
      array.ptr(), dtype.inc_ref().ptr(), 0, 0,
      py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_ | kInPlace, nullptr);
  if (converted == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::array>(converted);
}

}  // namespace

Points readPoints(py::handle arg, const char* name, Shape shape) {
  const bool one_allowed = shape == Shape::one_or_many;
  const std::string expected_shape = one_allowed ? "shape (N, 4) or (4,)" : "shape (N, 4)";
  const std::string expected = "points of " + expected_shape + ", float64";
  const py::array array = asArray(arg, name, expected);
  checkKind(array, arg, name, "fiu",
            "real numbers (float64; integers and other floats are converted)");
  const bool single = one_allowed && array.ndim() == 1 && array.shape(0) == 4;
  if (!single && !(array.ndim() == 2 && array.shape(1) == 4)) {
    throw py::value_error(std::string(name) + ": expected " + expected_shape + ", got " +
                          shapeText(array));
  }
  Points read;
  read.array = inPlaceOrConverted(array, py::dtype::of<double>());
  read.single = single;
  // Each row of four doubles in C order is a HomVec4: the same 32 bytes, the same alignment.
  static_assert(sizeof(kernel::HomVec4) == 4 * sizeof(double) &&
                alignof(kernel::HomVec4) == alignof(double));
  read.points = {reinterpret_cast<const kernel::HomVec4*>(read.array.data()),
                 static_cast<std::size_t>(read.array.size() / 4)};
  return read;
}

kernel::HomVec4 readPoint(py::handle arg, const char* name) {
  const Points read = readPoints(arg, name, Shape::one_or_many);
  if (!read.single) {
    throw py::value_error(std::string(name) + ": expected one point, shape (4,), got " +
                          shapeText(read.array));
  }
  return read.points[0];
}

py::array readTable(py::handle arg, const char* name, const py::dtype& dtype, const char* kinds,
                    py::ssize_t min_columns, py::ssize_t max_columns, const char* what) {
  const std::string columns = min_columns == max_columns ? std::to_string(min_columns)
                                                         : std::to_string(min_columns) + " or " +
                                                               std::to_string(max_columns);
  const std::string expected_shape = "shape (N, " + columns + ")";
  const py::array array = asArray(arg, name, std::string(what) + " of " + expected_shape);
  checkKind(array, arg, name, kinds, what);
  if (array.ndim() != 2 || array.shape(1) < min_columns || array.shape(1) > max_columns) {
    throw py::value_error(std::string(name) + ": expected " + expected_shape + ", got " +
                          shapeText(array));
  }
  return inPlaceOrConverted(array, dtype);
}

py::array_t<double> pointsLike(const Points& like) {
  if (like.single) return py::array_t<double>(4);
  return py::array_t<double>({static_cast<py::ssize_t>(like.points.size()), py::ssize_t{4}});
}

std::size_t pairCount(const Points& a, const Points& b) {
  const std::size_t na = a.points.size();
  const std::size_t nb = b.points.size();
  if (na == nb || nb == 1) return na;
  if (na == 1) return nb;
  throw py::value_error("a and b: expected as many points in each, or a single point in one, got " +
                        std::to_string(na) + " and " + std::to_string(nb));
}

}  // namespace orv::python
