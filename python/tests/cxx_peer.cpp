// The C++ side of the Python tests: computes on shared vectors and renders scenes through the C++
// library, and writes into the folder named by its one argument the inputs and results as raw
// arrays (name.bin) and manifest.json, which says what each array holds (dtype, shape) and how each
// result was made. The pytest suite repeats every step through the module and compares the bytes.

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <memory_resource>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "frame_renderer.hpp"
#include "orv/io.hpp"
#include "orv/kernel.hpp"
#include "orv/renderer.hpp"
#ifdef ORV_FRAME_HAVE_VULKAN
#include "orv/vulkan.hpp"
#endif

namespace {

namespace fs = std::filesystem;
using orv::kernel::HomVec4;
using orv::renderer::Observer;

constexpr double kPi = std::numbers::pi;

std::string number(double v) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, v).ptr;  // shortest, exact round trip
  return {text, end};
}

std::string numbers(std::span<const double> values) {
  std::string text = "[";
  for (std::size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + number(values[i]);
  return text + "]";
}

// A JSON string.
std::string jsonString(const std::string& s) {
  std::string text = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text + '"';
}

// Raw arrays with their description for the manifest.
class Arrays {
 public:
  explicit Arrays(fs::path folder) : folder_(std::move(folder)) {}

  template <class T>
  void add(const std::string& name, std::span<const T> values, std::size_t columns,
           const char* kind) {
    std::ofstream(folder_ / (name + ".bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(values.data()),
               static_cast<std::streamsize>(values.size_bytes()));
    const char order = sizeof(T) == 1                               ? '|'
                       : std::endian::native == std::endian::little ? '<'
                                                                    : '>';
    const std::size_t rows = values.size() / columns;
    const std::string shape =
        columns == 1 ? "[" + std::to_string(rows) + "]"
                     : "[" + std::to_string(rows) + ", " + std::to_string(columns) + "]";
    entries_ += std::string(entries_.empty() ? "" : ",\n    ") + jsonString(name) +
                ": {\"dtype\": \"" + order + kind + std::to_string(sizeof(T)) +
                "\", \"shape\": " + shape + "}";
  }
  void add(const std::string& name, std::span<const HomVec4> points) {
    add(name, std::span(&points.data()->x, 4 * points.size()), 4, "f");
  }

  [[nodiscard]] const std::string& entries() const { return entries_; }

 private:
  fs::path folder_;
  std::string entries_;
};

// The observer both sides build: from three vectors, then moved and turned.
struct ObserverRecipe {
  std::array<double, 4> position{0.1, -0.2, 0.3, 1.0};
  std::array<double, 4> forward{0.0, 0.0, -1.0, 0.0};
  std::array<double, 4> up{0.0, 1.0, 0.0, 0.1};
  std::vector<std::pair<std::string, double>> moves{{"yaw", kPi / 6},     {"pitch", kPi / 9},
                                                    {"move_right", 0.15}, {"move_forward", 0.1},
                                                    {"move_up", -0.02},   {"roll", 0.05}};

  [[nodiscard]] Observer make() const {
    const auto vec = [](const std::array<double, 4>& a) {
      return HomVec4::init(a[0], a[1], a[2], a[3]);
    };
    Observer o = *Observer::init(vec(position), vec(forward), vec(up));
    for (const auto& [move, angle] : moves) {
      if (move == "yaw") o.yaw(angle);
      if (move == "pitch") o.pitch(angle);
      if (move == "roll") o.roll(angle);
      if (move == "move_forward") o.moveForward(angle);
      if (move == "move_right") o.moveRight(angle);
      if (move == "move_up") o.moveUp(angle);
    }
    return o;
  }

  [[nodiscard]] std::string json() const {
    std::string steps;
    for (const auto& [move, angle] : moves) {
      steps += (steps.empty() ? "" : ", ") + ("[" + jsonString(move) + ", " + number(angle) + "]");
    }
    return "{\"position\": " + numbers(position) + ", \"forward\": " + numbers(forward) +
           ", \"up\": " + numbers(up) + ", \"moves\": [" + steps + "]}";
  }
};

// Points with the cases that take other branches: zero, tiny, huge, NaN and infinite
// coordinates, scaled and negated copies, and exact duplicates (ties of the depth sort).
std::vector<HomVec4> sharedPoints(std::uint64_t seed) {
  std::vector<HomVec4> points = orv::io::randomStars(997, seed).positions;
  const double nan = std::nan("");
  const double inf = INFINITY;
  const HomVec4 p = points[0];
  for (const HomVec4& q :
       {HomVec4::init(0, 0, 0, 0), HomVec4::init(1e-300, 0, 0, 1e-300),
        HomVec4::init(1e300, -1e300, 3e299, 1e300), HomVec4::init(nan, 0, 0, 1),
        HomVec4::init(inf, 0, 0, 1), HomVec4::init(-3 * p.x, -3 * p.y, -3 * p.z, -3 * p.w), p, p,
        HomVec4::init(0.5, 0.5, -0.5, 0.5), HomVec4::init(0, 0, -1, 0)}) {
    points.push_back(q);
  }
  return points;
}

// One scene rendered by the frame renderer, with how the module is to be called for it.
struct RenderCase {
  std::string name{};
  orv::io::PointSet set{};
  bool cloud = true;
  std::uint32_t width = 160;
  std::uint32_t height = 90;
  std::optional<double> horizontal_angle{};
  std::optional<double> point_size{};
  double line_width = 2.0;
  bool depth_cue = true;
  std::string device = "cpu";
};

// Renders `c` as orv.render does, or returns why the device cannot be had.
std::optional<std::string> renderCase(const RenderCase& c, orv::device::Device& device,
                                      const Observer& observer, Arrays& arrays, std::string& json) {
  orv::frame::Scene scene;
  (c.cloud ? scene.points : scene.figure) = c.set;
  orv::frame::Style style;
  style.edge_width = static_cast<float>(c.line_width);
  style.horizontal_angle = c.horizontal_angle;
  style.depth_cue = c.depth_cue;
  if (c.point_size && c.cloud) {
    style.point_size = {static_cast<float>(*c.point_size), static_cast<float>(2 * *c.point_size)};
  } else if (c.point_size) {
    style.corner_size = static_cast<float>(*c.point_size);
  }
  auto renderer = orv::frame::FrameRenderer::create(scene, device, c.width, c.height,
                                                    *std::pmr::new_delete_resource(), style);
  if (!renderer) return renderer.error().message;
  if (auto rendered = (*renderer)->render(observer); !rendered) return rendered.error().message;
  std::vector<std::uint8_t> image(std::size_t{4} * c.width * c.height);
  if (auto shown = orv::io::toDisplay((*renderer)->image(), orv::io::Channels::rgba, image,
                                      std::size_t{4} * c.width);
      !shown) {
    return shown.error();
  }
  arrays.add(c.name + "_points", std::span<const HomVec4>(c.set.positions));
  std::string colors = "null";
  std::string edges = "null";
  if (!c.set.colors.empty()) {
    arrays.add(c.name + "_colors", std::span(c.set.colors.data()->data(), 4 * c.set.colors.size()),
               4, "f");
    colors = jsonString(c.name + "_colors");
  }
  if (!c.cloud) {
    arrays.add(c.name + "_edges", std::span(&c.set.edges.data()->a, 2 * c.set.edges.size()), 2,
               "u");
    edges = jsonString(c.name + "_edges");
  }
  arrays.add(c.name + "_image", std::span<const std::uint8_t>(image), 1, "u");
  const auto optional = [](const std::optional<double>& v) { return v ? number(*v) : "null"; };
  json += std::string(json.empty() ? "" : ",\n    ") + "{\"name\": " + jsonString(c.name) +
          ", \"points\": " + jsonString(c.name + "_points") + ", \"colors\": " + colors +
          ", \"edges\": " + edges + ", \"size\": [" + std::to_string(c.width) + ", " +
          std::to_string(c.height) + "], \"horizontal_angle\": " + optional(c.horizontal_angle) +
          ", \"point_size\": " + optional(c.point_size) +
          ", \"line_width\": " + number(c.line_width) +
          ", \"depth_cue\": " + (c.depth_cue ? "true" : "false") +
          ", \"device\": " + jsonString(c.device) +
          ", \"image\": " + jsonString(c.name + "_image") + "}";
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: orv_python_peer FOLDER\n";
    return 2;
  }
  const fs::path folder = argv[1];
  fs::create_directories(folder);
  Arrays arrays(folder);
  const ObserverRecipe recipe;
  const Observer observer = recipe.make();
  const HomVec4 eye = observer.position();

  // The observer's frame and view, its frustum, and the batch operations on shared points.
  const std::array<HomVec4, 4> frame{observer.position(), observer.forward(), observer.up(),
                                     observer.right()};
  arrays.add("frame", std::span<const HomVec4>(frame));
  std::array<double, 16> view{};
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) view[r * 4 + c] = observer.view().get(r, c);
  }
  arrays.add("view", std::span<const double>(view), 4, "f");
  const double h = 1.2;
  const double v = orv::renderer::verticalAngleOfView(h, 16.0 / 9.0);
  const orv::renderer::OrvFrustum frustum = observer.frustum(h, v, 0.02, 1.4);
  std::array<double, 16> planes{};
  for (std::size_t k = 0; k < 4; ++k) {
    const auto& p = frustum.planes[k];
    std::copy_n(std::array{p.a, p.b, p.c, p.d}.begin(), 4, planes.begin() + 4 * k);
  }
  arrays.add("planes", std::span<const double>(planes), 4, "f");

  const std::vector<HomVec4> points = sharedPoints(11);
  std::vector<HomVec4> others = sharedPoints(12);
  for (std::size_t i = 0; i < others.size(); i += 3) {  // the same points, scaled and negated
    others[i] =
        HomVec4::init(-2 * points[i].x, -2 * points[i].y, -2 * points[i].z, -2 * points[i].w);
  }
  const std::size_t n = points.size();
  const double tol = 1e-12;
  std::vector<double> distances(n), pair_distances(n);
  std::vector<std::uint8_t> same(n), mask(n);
  std::vector<HomVec4> normalized(n), facing(n);
  for (std::size_t i = 0; i < n; ++i) {
    distances[i] = orv::kernel::fsDistance(eye, points[i]);
    pair_distances[i] = orv::kernel::fsDistance(points[i], others[i]);
    same[i] = points[i].isSamePoint(others[i], tol);
    normalized[i] = points[i].normalize();
  }
  orv::renderer::faceObserver(eye, points, facing);
  const auto visible = std::make_unique<bool[]>(n);
  orv::renderer::frustumCull(frustum, facing, {visible.get(), n});
  for (std::size_t i = 0; i < n; ++i) mask[i] = visible[i];
  std::vector<double> sorted_distances(n);
  const auto order = *orv::renderer::sortByFSDepth(*std::pmr::new_delete_resource(), eye, facing,
                                                   sorted_distances);
  arrays.add("points", std::span<const HomVec4>(points));
  arrays.add("others", std::span<const HomVec4>(others));
  arrays.add("distances", std::span<const double>(distances), 1, "f");
  arrays.add("pair_distances", std::span<const double>(pair_distances), 1, "f");
  arrays.add("same", std::span<const std::uint8_t>(same), 1, "u");
  arrays.add("normalized", std::span<const HomVec4>(normalized));
  arrays.add("facing", std::span<const HomVec4>(facing));
  arrays.add("mask", std::span<const std::uint8_t>(mask), 1, "u");
  arrays.add("order", std::span<const std::size_t>(order), 1, "u");
  arrays.add("sorted_distances", std::span<const double>(sorted_distances), 1, "f");

  // Scenes: clouds with and without colours, figures with and without colours, on the CPU
  // device and, where it can be had, the Vulkan device.
  orv::io::PointSet stars{orv::io::randomStars(3000, 5).positions, {}, {}};
  orv::io::PointSet colored_stars = stars;
  for (std::size_t i = 0; i < stars.positions.size(); ++i) {
    const auto f = static_cast<float>(i % 97) / 96.0f;
    colored_stars.colors.push_back({f, 1.0f - f, 0.25f + 0.5f * f, 1.0f});
  }
  std::vector<RenderCase> cases{
      {.name = "cloud", .set = stars},
      {.name = "cloud_styled",
       .set = colored_stars,
       .width = 90,
       .height = 160,
       .horizontal_angle = 1.0,
       .point_size = 2.5,
       .depth_cue = false},
      {.name = "torus",
       .set = orv::io::cliffordTorus(24, 12),
       .cloud = false,
       .width = 200,
       .height = 120,
       .point_size = 0.0,
       .line_width = 1.5},
      {.name = "cell600", .set = orv::io::cell600(), .cloud = false, .horizontal_angle = 2.0},
  };
  for (const std::size_t k : {std::size_t{0}, std::size_t{3}}) {
    RenderCase on_gpu = cases[k];
    on_gpu.name += "_vulkan";
    on_gpu.device = "vulkan";
    cases.push_back(on_gpu);
  }
  std::string renders;
  std::string vulkan_missing = "null";
  auto cpu = orv::device::makeCpuDevice();
  if (!cpu) {
    std::cerr << cpu.error().message << '\n';
    return 1;
  }
#ifdef ORV_FRAME_HAVE_VULKAN
  auto gpu = orv::vulkan::makeDevice();
  if (!gpu) vulkan_missing = jsonString(gpu.error().message);
#else
  const std::optional<std::unique_ptr<orv::device::Device>> gpu;
  vulkan_missing = jsonString("this build of orv has no Vulkan device");
#endif
  for (const RenderCase& c : cases) {
    if (c.device == "vulkan" && !gpu) continue;
    if (auto failed = renderCase(c, c.device == "cpu" ? **cpu : **gpu, observer, arrays, renders)) {
      std::cerr << c.name << ": " << *failed << '\n';
      return 1;
    }
  }

  std::ofstream(folder / "manifest.json")
      << "{\n  \"arrays\": {\n    " << arrays.entries() << "\n  },\n"
      << "  \"observer\": " << recipe.json() << ",\n"
      << "  \"frustum\": [" << number(h) << ", " << number(v) << ", 0.02, 1.4],\n"
      << "  \"aspect\": " << number(16.0 / 9.0) << ",\n"
      << "  \"tol\": " << number(tol) << ",\n"
      << "  \"renders\": [\n    " << renders << "\n  ],\n"
      << "  \"vulkan_missing\": " << vulkan_missing << "\n}\n";
  return 0;
}
