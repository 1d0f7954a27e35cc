#include "render.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <numbers>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "frame_renderer.hpp"
#include "orv/device.hpp"
#include "orv/io.hpp"
#ifdef ORV_FRAME_HAVE_VULKAN
#include "orv/vulkan.hpp"
#endif

namespace orv::python {

namespace {

using renderer::Observer;

std::string number(double v) { return py::repr(py::float_(v)); }

[[noreturn]] void refuse(const std::string& name, const std::string& expected, double got) {
  throw py::value_error(name + ": expected " + expected + ", got " + number(got));
}

// The device `name` names.
std::unique_ptr<device::Device> openDevice(const std::string& name) {
  device::Result<std::unique_ptr<device::Device>> made;
  if (name == "cpu") {
    made = device::makeCpuDevice();
  } else if (name == "vulkan") {
#ifdef ORV_FRAME_HAVE_VULKAN
    made = vulkan::makeDevice();
#else
    throw std::runtime_error(
        "device 'vulkan': this build of orv has no Vulkan device (it was built without the "
        "Vulkan headers and glslc)");
#endif
  } else {
    throw py::value_error("device: expected 'cpu' or 'vulkan', got " +
                          std::string(py::repr(py::str(name))));
  }
  if (!made) throw std::runtime_error("device '" + name + "': " + made.error().message);
  return std::move(*made);
}

// Colours, one per point: N x 3 or N x 4 floating-point values, linear, made float32.
std::vector<io::Color> readColors(py::handle arg, std::size_t count) {
  const py::array table = readTable(arg, "colors", py::dtype::of<float>(), "f", 3, 4,
                                    "floating-point colours, linear, 0 to 1");
  const auto rows = static_cast<std::size_t>(table.shape(0));
  const auto columns = static_cast<std::size_t>(table.shape(1));
  if (rows != count) {
    throw py::value_error("colors: expected one colour per point, " + std::to_string(count) +
                          ", got " + std::to_string(rows));
  }
  const auto* values = static_cast<const float*>(table.data());
  std::vector<io::Color> colors(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t c = 0; c < columns; ++c) {
      const float v = values[i * columns + c];
      if (!std::isfinite(v)) {
        throw py::value_error("colors: expected finite values, got " + number(v) + " in row " +
                              std::to_string(i));
      }
      colors[i][c] = v;
    }
    if (columns == 3) colors[i][3] = 1.0f;
  }
  return colors;
}

// Edges: M x 2 integer indices of points.
std::vector<io::Edge> readEdges(py::handle arg, std::size_t count) {
  const py::array table = readTable(arg, "edges", py::dtype::of<std::int64_t>(), "iu", 2, 2,
                                    "integer indices of points");
  const auto* ends = static_cast<const std::int64_t*>(table.data());
  std::vector<io::Edge> edges(static_cast<std::size_t>(table.shape(0)));
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const std::int64_t a = ends[2 * i];
    const std::int64_t b = ends[2 * i + 1];
    for (const std::int64_t end : {a, b}) {
      if (end < 0 || static_cast<std::uint64_t>(end) >= count) {
        throw py::value_error("edges: expected indices from 0 to " + std::to_string(count) +
                              " - 1, got " + std::to_string(end) + " in row " + std::to_string(i));
      }
    }
    edges[i] = {static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b)};
  }
  return edges;
}

// (width, height): two positive integers.
std::pair<std::uint32_t, std::uint32_t> readSize(py::handle arg, std::uint32_t largest) {
  const std::string expected =
      "size: expected (width, height), two integers from 1 to " + std::to_string(largest);
  if (!py::isinstance<py::sequence>(arg) || py::len(arg) != 2) {
    throw py::type_error(expected + ", got " + std::string(py::repr(arg)));
  }
  std::uint32_t sides[2];
  for (std::size_t k = 0; k < 2; ++k) {
    const py::object side = py::reinterpret_borrow<py::sequence>(arg)[k];
    if (!PyIndex_Check(side.ptr()) || PyBool_Check(side.ptr())) {
      throw py::type_error(expected + ", got " + std::string(py::repr(arg)));
    }
    const auto value = side.cast<long long>();
    if (value < 1 || value > largest) {
      throw py::value_error(expected + ", got " + std::string(py::repr(arg)));
    }
    sides[k] = static_cast<std::uint32_t>(value);
  }
  return {sides[0], sides[1]};
}

py::array_t<std::uint8_t> render(const Observer& observer, const py::object& points_arg,
                                 const py::object& colors_arg, const py::object& edges_arg,
                                 const py::object& size_arg, std::optional<double> horizontal_angle,
                                 std::optional<double> point_size, double line_width,
                                 bool depth_cue, const std::string& device_name) {
  const Points points = readPoints(points_arg, "points", Shape::one_or_many);
  const std::size_t count = points.points.size();
  frame::Scene scene;
  const bool cloud = edges_arg.is_none();
  io::PointSet& set = cloud ? scene.points : scene.figure;
  if (!colors_arg.is_none()) set.colors = readColors(colors_arg, count);
  if (!cloud) set.edges = readEdges(edges_arg, count);
  if (horizontal_angle && !(*horizontal_angle > 0.0 && *horizontal_angle < std::numbers::pi)) {
    refuse("horizontal_angle", "an angle in (0, pi) radians", *horizontal_angle);
  }
  const std::unique_ptr<device::Device> device = openDevice(device_name);
  const rhi::DeviceLimits& limits = device->limits();
  const auto [width, height] = readSize(size_arg, limits.max_image_dimension_2d);
  if (!(line_width > 0.0 && line_width <= limits.max_line_width)) {
    refuse("line_width", "a width in (0, " + number(limits.max_line_width) + "] pixels",
           line_width);
  }
  frame::Style style;
  style.edge_width = static_cast<float>(line_width);
  style.horizontal_angle = horizontal_angle;
  style.depth_cue = depth_cue;
  if (point_size && cloud) {
    // The points nearer than a quarter of the depth range are drawn twice as large.
    const double largest = limits.max_point_size / 2.0;
    if (!(*point_size > 0.0 && *point_size <= largest)) {
      refuse("point_size",
             "a size in (0, " + number(largest) +
                 "] pixels for points without edges, the nearer ones being drawn twice as large",
             *point_size);
    }
    style.point_size = {static_cast<float>(*point_size), static_cast<float>(2.0 * *point_size)};
  } else if (point_size) {
    if (!(*point_size >= 0.0 && *point_size <= limits.max_point_size)) {
      refuse("point_size", "a size in [0, " + number(limits.max_point_size) + "] pixels",
             *point_size);
    }
    style.corner_size = static_cast<float>(*point_size);
  }
  const std::uint64_t most_points = limits.max_buffer_size / sizeof(kernel::HomVec4);
  if (count > most_points) {
    throw py::value_error("points: expected at most " + std::to_string(most_points) +
                          " points, got " + std::to_string(count));
  }
  set.positions.assign(points.points.begin(), points.points.end());

  py::array_t<std::uint8_t> image({py::ssize_t{height}, py::ssize_t{width}, py::ssize_t{4}});
  const std::span<std::uint8_t> pixels(image.mutable_data(), std::size_t{4} * width * height);
  const Observer seen = observer;  // the caller's may change while the GIL is released
  std::optional<device::Failure> failure;
  std::string unshown;
  {
    py::gil_scoped_release release;
    auto renderer = frame::FrameRenderer::create(scene, *device, width, height,
                                                 *std::pmr::new_delete_resource(), style);
    auto rendered = renderer ? (*renderer)->render(seen)
                             : device::Result<frame::FrameStats>(std::unexpected(renderer.error()));
    if (!rendered) {
      failure = std::move(rendered.error());
    } else if (auto shown = io::toDisplay((*renderer)->image(), io::Channels::rgba, pixels,
                                          std::size_t{4} * width);
               !shown) {
      unshown = std::move(shown.error());
    }
  }
  if (failure && failure->code == device::ErrorCode::out_of_memory) throw std::bad_alloc();
  if (failure) throw std::runtime_error("device '" + device_name + "': " + failure->message);
  if (!unshown.empty()) throw std::runtime_error(unshown);
  return image;
}

}  // namespace

void defineRender(py::module_& m) {
  m.def("render", &render, py::arg("observer"), py::arg("points"), py::kw_only(),
        py::arg("colors") = py::none(), py::arg("edges") = py::none(),
        py::arg("size") = py::make_tuple(1280, 720), py::arg("horizontal_angle") = py::none(),
        py::arg("point_size") = py::none(), py::arg("line_width") = 2.0,
        py::arg("depth_cue") = true, py::arg("device") = "cpu",
        "The picture `observer` sees of `points`: an array of shape (height, width, 4), uint8, "
        "red, green, blue and alpha, rows top to bottom, the same pixels as the C++ devices "
        "draw for the same scene, through orv's one transfer curve (255 * v^(1/2.2) of a linear "
        "value v, clamped to [0, 1]; alpha 255 everywhere: the picture is opaque). Black where "
        "nothing is.\n\n"
        "`points`, shape (N, 4) or (4,), any representatives, not necessarily unit: without "
        "`edges`, a cloud, culled against the view, sorted back to front by Fubini-Study "
        "distance and drawn as squares, those nearer than a quarter of the depth range twice as "
        "large; with `edges`, shape (M, 2), integer indices of points, a figure: each edge "
        "drawn as the shorter great-circle arc between its ends, a band `line_width` pixels "
        "wide, and each point as a square. Points with a NaN coordinate are not drawn.\n\n"
        "`colors`: None, or one colour per point, shape (N, 3) or (N, 4), linear in light, 0 to "
        "1 (alpha is ignored). Without colours a cloud's points are tinted by the side of w = 0 "
        "they lie on, a figure amber. `depth_cue`: nearer things brighter, by their depth from "
        "0.01 to pi/2 radians away (a figure from 0.2 of its colour far to all of it near, a "
        "cloud from 0.02); False draws every colour whole. `size`: (width, height) in pixels. "
        "`horizontal_angle`: the full angle of view across the image, radians, in (0, pi), the "
        "vertical one from square pixels; None: 75 degrees across the longer side. "
        "`point_size`: the side of the squares in pixels; None: 1.5 for a cloud (3 near), 5 for "
        "a figure, whose points 0 leaves out. `device`: 'cpu', or 'vulkan' where orv was built "
        "with its Vulkan device and a Vulkan device is present (the environment variable "
        "ORV_VULKAN_DEVICE picks one of several).\n\n"
        "The arrays are copied into the scene (colours to float32, edges to 32-bit indices); "
        "float64 points in C order are read in place for that. Bad shapes and dtypes raise "
        "TypeError or ValueError naming the argument, as do sizes beyond the device's limits, "
        "edges naming no point and colours that are not finite. RuntimeError says why a device "
        "cannot be had or refused the frame. The GIL is released while the frame is drawn.");
}

}  // namespace orv::python
