// The C++ side of the Python tests: computes on shared vectors and renders scenes through the C++
// library, and writes each input and result into the folder named by its one argument as the raw
// bytes of an array, NAME.bin in native byte order, for test_geometry.py and test_render.py to
// compare with what the module gives for the same calls. Where the Vulkan device cannot be had,
// its renders are left out and the reason is written to vulkan-missing.txt.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <memory_resource>
#include <numbers>
#include <optional>
#include <span>
#include <string>
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

fs::path folder;

template <class T>
void write(const std::string& name, std::span<const T> values) {
  const std::span<const std::byte> bytes = std::as_bytes(values);
  std::ofstream(folder / (name + ".bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}
template <class T>
void write(const std::string& name, const std::vector<T>& values) {
  write(name, std::span<const T>(values));
}

// The observer of every test: made from three vectors, then moved and turned.
Observer theObserver() {
  Observer o = *Observer::init(HomVec4::init(0.1, -0.2, 0.3, 1.0), HomVec4::init(0, 0, -1, 0),
                               HomVec4::init(0.0, 1.0, 0.0, 0.1));
  o.yaw(std::numbers::pi / 6);
  o.pitch(std::numbers::pi / 9);
  o.moveRight(0.15);
  o.moveForward(0.1);
  o.moveUp(-0.02);
  o.roll(0.05);
  return o;
}

// Random points with the cases that take other branches: zero, tiny, huge, NaN and infinite
// coordinates, a scaled and negated copy, and exact duplicates (ties of the depth sort).
std::vector<HomVec4> sharedPoints(std::uint64_t seed) {
  std::vector<HomVec4> points = orv::io::randomStars(997, seed).positions;
  const HomVec4 p = points[0];
  for (const HomVec4& q :
       {HomVec4::init(0, 0, 0, 0), HomVec4::init(1e-300, 0, 0, 1e-300),
        HomVec4::init(1e300, -1e300, 3e299, 1e300), HomVec4::init(std::nan(""), 0, 0, 1),
        HomVec4::init(INFINITY, 0, 0, 1), HomVec4::init(-3 * p.x, -3 * p.y, -3 * p.z, -3 * p.w),
        p, p, HomVec4::init(0.5, 0.5, -0.5, 0.5), HomVec4::init(0, 0, -1, 0)}) {
    points.push_back(q);
  }
  return points;
}

void computeOnSharedPoints(const Observer& observer) {
  const HomVec4 eye = observer.position();
  write("frame", std::vector{eye, observer.forward(), observer.up(), observer.right()});
  std::vector<double> view(16);
  for (std::size_t i = 0; i < 16; ++i) view[i] = observer.view().get(i / 4, i % 4);
  write("view", view);
  const double vertical = orv::renderer::verticalAngleOfView(1.2, 16.0 / 9.0);
  write("vertical", std::vector{vertical});
  const orv::renderer::OrvFrustum frustum = observer.frustum(1.2, vertical, 0.02, 1.4);
  write("planes", std::span<const orv::renderer::ProjectiveHyperplane>(frustum.planes));

  const std::vector<HomVec4> points = sharedPoints(11);
  std::vector<HomVec4> others = sharedPoints(12);
  for (std::size_t i = 0; i < others.size(); i += 3) {  // some the same points, scaled and negated
    const HomVec4& p = points[i];
    others[i] = HomVec4::init(-2 * p.x, -2 * p.y, -2 * p.z, -2 * p.w);
  }
  const std::size_t n = points.size();
  std::vector<double> distances(n), pair_distances(n);
  std::vector<std::uint8_t> same(n), mask(n);
  std::vector<HomVec4> normalized(n), facing(n);
  for (std::size_t i = 0; i < n; ++i) {
    distances[i] = orv::kernel::fsDistance(eye, points[i]);
    pair_distances[i] = orv::kernel::fsDistance(points[i], others[i]);
    same[i] = points[i].isSamePoint(others[i], 1e-12);
    normalized[i] = points[i].normalize();
  }
  orv::renderer::faceObserver(eye, points, facing);
  const auto visible = std::make_unique<bool[]>(n);
  orv::renderer::frustumCull(frustum, facing, {visible.get(), n});
  for (std::size_t i = 0; i < n; ++i) mask[i] = visible[i];
  std::vector<double> sorted_distances(n);
  const auto order = *orv::renderer::sortByFSDepth(*std::pmr::new_delete_resource(), eye, facing,
                                                   sorted_distances);
  write("points", points);
  write("others", others);
  write("distances", distances);
  write("pair_distances", pair_distances);
  write("same", same);
  write("normalized", normalized);
  write("facing", facing);
  write("mask", mask);
  write("order", std::span<const std::size_t>(order));
  write("sorted_distances", sorted_distances);
}

// A scene drawn as orv.render draws it: `set` a cloud, or with edges a figure.
struct RenderCase {
  std::string name{};
  orv::io::PointSet set{};
  std::uint32_t width = 160;
  std::uint32_t height = 90;
  std::optional<double> horizontal_angle{};
  std::optional<double> point_size{};
  double line_width = 2.0;
  bool depth_cue = true;
};

// Renders `c` on `device` and writes its scene and image; false where the device fails.
bool render(const RenderCase& c, orv::device::Device& device, const Observer& observer) {
  const bool cloud = c.set.edges.empty();
  orv::frame::Scene scene;
  (cloud ? scene.points : scene.figure) = c.set;
  orv::frame::Style style;
  style.edge_width = static_cast<float>(c.line_width);
  style.horizontal_angle = c.horizontal_angle;
  style.depth_cue = c.depth_cue;
  if (c.point_size && cloud) {
    style.point_size = {static_cast<float>(*c.point_size), static_cast<float>(2 * *c.point_size)};
  } else if (c.point_size) {
    style.corner_size = static_cast<float>(*c.point_size);
  }
  auto renderer = orv::frame::FrameRenderer::create(scene, device, c.width, c.height,
                                                    *std::pmr::new_delete_resource(), style);
  std::vector<std::uint8_t> image(std::size_t{4} * c.width * c.height);
  if (!renderer || !(*renderer)->render(observer) ||
      !orv::io::toDisplay((*renderer)->image(), orv::io::Channels::rgba, image,
                          std::size_t{4} * c.width)) {
    std::cerr << c.name << ": the frame failed\n";
    return false;
  }
  write(c.name + "_points", c.set.positions);
  if (!c.set.colors.empty()) write(c.name + "_colors", c.set.colors);
  if (!cloud) write(c.name + "_edges", c.set.edges);
  write(c.name + "_image", image);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: orv_python_peer FOLDER\n";
    return 2;
  }
  folder = argv[1];
  fs::create_directories(folder);
  const Observer observer = theObserver();
  computeOnSharedPoints(observer);

  // Clouds with and without colours, figures with and without colours: test_render.py calls
  // orv.render for each with the same arguments.
  orv::io::PointSet stars{orv::io::randomStars(3000, 5).positions, {}, {}};
  orv::io::PointSet colored_stars = stars;
  for (std::size_t i = 0; i < stars.positions.size(); ++i) {
    const auto f = static_cast<float>(i % 97) / 96.0f;
    colored_stars.colors.push_back({f, 1.0f - f, 0.25f + 0.5f * f, 1.0f});
  }
  const std::vector<RenderCase> cases{
      {.name = "cloud", .set = stars},
      {.name = "cloud_styled", .set = colored_stars, .width = 90, .height = 160,
       .horizontal_angle = 1.0, .point_size = 2.5, .depth_cue = false},
      {.name = "torus", .set = orv::io::cliffordTorus(24, 12), .width = 200, .height = 120,
       .point_size = 0.0, .line_width = 1.5},
      {.name = "cell600", .set = orv::io::cell600(), .horizontal_angle = 2.0},
  };
  auto cpu = orv::device::makeCpuDevice();
  for (const RenderCase& c : cases) {
    if (!cpu || !render(c, **cpu, observer)) return 1;
  }
  // The first and the last again on the Vulkan device.
#ifdef ORV_FRAME_HAVE_VULKAN
  auto gpu = orv::vulkan::makeDevice();
  const std::string missing = gpu ? "" : gpu.error().message;
#else
  const std::optional<std::unique_ptr<orv::device::Device>> gpu;
  const std::string missing = "this build of orv has no Vulkan device";
#endif
  if (!gpu) {
    std::ofstream(folder / "vulkan-missing.txt") << missing << '\n';
    return 0;
  }
  for (RenderCase c : {cases.front(), cases.back()}) {
    c.name += "_vulkan";
    if (!render(c, **gpu, observer)) return 1;
  }
  return 0;
}
