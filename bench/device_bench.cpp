// The device layer against the work it replaces: the CPU device executing the demo's default frame
// (1,000,000 stars at 1280x720) against the rasteriser the demo drew that frame with before it had
// a device, kept here as the peer; and the device's Fubini-Study distances against a plain loop of
// fsDistance.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <memory_resource>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "demo_scene.hpp"
#include "orv/device.hpp"
#include "ratio.hpp"
#if ORV_BENCH_HAVE_VULKAN
#include "orv/vulkan.hpp"
#endif

namespace {

using namespace orv;
using frame::DrawList;
using kernel::HomVec4;

constexpr std::uint32_t kWidth = 1280;
constexpr std::uint32_t kHeight = 720;

// --- the peer: the demo's rasteriser before the device ----------------------------------------

double falloff(double depth) noexcept {
  const double nearness = 1.0 - depth;
  return nearness * (0.5 + 0.5 * nearness);
}

// An image with a depth per pixel, 1 where nothing was drawn.
struct OldImage {
  std::uint32_t width = kWidth;
  std::uint32_t height = kHeight;
  std::vector<float> rgb;
  std::vector<float> depth;
};

class Canvas {
 public:
  explicit Canvas(OldImage& image) noexcept
      : image_(image),
        width_(static_cast<int>(image.width)),
        height_(static_cast<int>(image.height)) {}

  // A disc of radius `radius` around (x, y), antialiased, composited over what is there where
  // its depth is nearer than the depth already stored; `write_depth` stores its own depth.
  void disc(double x, double y, double radius, double depth, const std::array<float, 3>& color,
            double intensity, bool write_depth) noexcept {
    if (!(std::isfinite(x) && std::isfinite(y))) return;
    const double reach = radius + 1.0;
    if (x < -reach || y < -reach || x > width_ + reach || y > height_ + reach) return;
    const int x0 = std::max(0, static_cast<int>(std::floor(x - reach)));
    const int x1 = std::min(width_ - 1, static_cast<int>(std::floor(x + reach)));
    const int y0 = std::max(0, static_cast<int>(std::floor(y - reach)));
    const int y1 = std::min(height_ - 1, static_cast<int>(std::floor(y + reach)));
    const auto d = static_cast<float>(depth);
    for (int py = y0; py <= y1; ++py) {
      for (int px = x0; px <= x1; ++px) {
        const double dx = (px + 0.5) - x;
        const double dy = (py + 0.5) - y;
        const double coverage = std::clamp(radius + 0.5 - std::sqrt(dx * dx + dy * dy), 0.0, 1.0);
        if (coverage <= 0.0) continue;
        const std::size_t i = index(px, py);
        if (!(d < image_.depth[i])) continue;
        const auto a = static_cast<float>(coverage);
        for (std::size_t c = 0; c < 3; ++c) {
          const auto source = static_cast<float>(color[c] * intensity);
          float& target = image_.rgb[3 * i + c];
          target = target * (1.0f - a) + source * a;
        }
        if (write_depth && coverage >= 0.5) image_.depth[i] = d;
      }
    }
  }

  // A line from a to b, `half_width` pixels to each side, its depth and brightness interpolated
  // along it. Overlapping lines keep the brighter value per channel, so their order does not
  // matter; pixels the line covers by at least half take its depth.
  void line(std::array<double, 2> a, double depth_a, std::array<double, 2> b, double depth_b,
            double half_width, const std::array<float, 3>& color) noexcept {
    if (!(std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(b[0]) &&
          std::isfinite(b[1]))) {
      return;
    }
    // Clip to the image plus a margin (Liang-Barsky), so a line reaching far outside costs nothing.
    const double margin = half_width + 2.0;
    double t0 = 0.0;
    double t1 = 1.0;
    const double dx = b[0] - a[0];
    const double dy = b[1] - a[1];
    const std::array<std::pair<double, double>, 4> bounds{{{-dx, a[0] + margin},
                                                           {dx, width_ + margin - a[0]},
                                                           {-dy, a[1] + margin},
                                                           {dy, height_ + margin - a[1]}}};
    for (const auto& [p, q] : bounds) {
      if (p == 0.0) {
        if (q < 0.0) return;
        continue;
      }
      const double t = q / p;
      if (p < 0.0) {
        t0 = std::max(t0, t);
      } else {
        t1 = std::min(t1, t);
      }
      if (t0 > t1) return;
    }
    const double length = std::hypot(dx, dy) * (t1 - t0);
    if (!std::isfinite(length)) return;
    const int steps = std::max(1, static_cast<int>(std::ceil(length * 2.0)));
    for (int s = 0; s <= steps; ++s) {
      const double t = t0 + (t1 - t0) * s / steps;
      const double depth = depth_a + (depth_b - depth_a) * t;
      brighten(a[0] + dx * t, a[1] + dy * t, half_width, depth, color, falloff(depth));
    }
  }

 private:
  std::size_t index(int px, int py) const noexcept {
    return static_cast<std::size_t>(py) * image_.width + static_cast<std::size_t>(px);
  }

  void brighten(double x, double y, double half_width, double depth,
                const std::array<float, 3>& color, double intensity) noexcept {
    const int x0 = std::max(0, static_cast<int>(std::floor(x - half_width - 1.0)));
    const int x1 = std::min(width_ - 1, static_cast<int>(std::floor(x + half_width + 1.0)));
    const int y0 = std::max(0, static_cast<int>(std::floor(y - half_width - 1.0)));
    const int y1 = std::min(height_ - 1, static_cast<int>(std::floor(y + half_width + 1.0)));
    const auto d = static_cast<float>(depth);
    for (int py = y0; py <= y1; ++py) {
      for (int px = x0; px <= x1; ++px) {
        const double ddx = (px + 0.5) - x;
        const double ddy = (py + 0.5) - y;
        const double coverage =
            std::clamp(half_width + 0.5 - std::sqrt(ddx * ddx + ddy * ddy), 0.0, 1.0);
        if (coverage <= 0.0) continue;
        const std::size_t i = index(px, py);
        for (std::size_t c = 0; c < 3; ++c) {
          const auto value = static_cast<float>(color[c] * intensity * coverage);
          float& target = image_.rgb[3 * i + c];
          target = std::max(target, value);
        }
        if (coverage >= 0.5) image_.depth[i] = std::min(image_.depth[i], d);
      }
    }
  }

  OldImage& image_;
  int width_;
  int height_;
};


// Where the view puts a point on the image, in pixels, or nothing at or behind its centre: the
// old demo's mapping, written with the view's planes.
std::optional<std::array<double, 2>> toPixel(const device::ViewUniform& view, const HomVec4& q) {
  const double l = view.planes[0].evaluate(q);
  const double r = view.planes[1].evaluate(q);
  const double t = view.planes[2].evaluate(q);
  const double b = view.planes[3].evaluate(q);
  if (!(l + r > 0.0) || !(t + b > 0.0)) return std::nullopt;
  return std::array<double, 2>{((l - r) / (l + r) + 1.0) * 0.5 * view.width,
                               ((t - b) / (t + b) + 1.0) * 0.5 * view.height};
}

constexpr std::uint32_t kEdgeSegments = 32;
constexpr std::array<float, 3> kEdgeColor{1.0f, 0.68f, 0.28f};
constexpr std::array<float, 3> kStarColor{0.80f, 0.88f, 1.0f};

// The frame the device draws, prepared as the old demo prepared it: its edges sampled at 33
// points each, every sample and vertex facing the observer and culled.
struct OldFrame {
  device::ViewUniform view{};
  std::vector<HomVec4> samples;
  std::vector<char> sample_in;
  std::vector<HomVec4> vertices;
  std::vector<char> vertex_in;
  const DrawList* stars = nullptr;
  const std::vector<float>* brightness = nullptr;
};

OldFrame prepareOldFrame(const frame::Scene& scene, const frame::FrameRenderer& renderer) {
  OldFrame frame;
  frame.view = renderer.view();
  const HomVec4 eye = frame.view.observer;
  const auto inside = [&](const HomVec4& q) {
    return std::all_of(frame.view.planes.begin(), frame.view.planes.end(),
                       [&](const renderer::ProjectiveHyperplane& p) { return p.isVisible(q); });
  };
  for (const io::Edge& e : scene.figure.edges) {
    const HomVec4& a = scene.figure.positions[e.a];
    const HomVec4& b = scene.figure.positions[e.b];
    const double angle = std::acos(std::clamp(a.dot(b), -1.0, 1.0));
    for (std::uint32_t k = 0; k <= kEdgeSegments; ++k) {
      const double t = static_cast<double>(k) / kEdgeSegments;
      const double wa = std::sin((1.0 - t) * angle) / std::sin(angle);
      const double wb = std::sin(t * angle) / std::sin(angle);
      const HomVec4 q = renderer::facing(
          eye, HomVec4::init(wa * a.x + wb * b.x, wa * a.y + wb * b.y, wa * a.z + wb * b.z,
                             wa * a.w + wb * b.w));
      frame.samples.push_back(q);
      frame.sample_in.push_back(inside(q) ? 1 : 0);
    }
  }
  for (const HomVec4& v : scene.figure.positions) {
    frame.vertices.push_back(renderer::facing(eye, v));
    frame.vertex_in.push_back(inside(frame.vertices.back()) ? 1 : 0);
  }
  frame.stars = &renderer.drawList();
  frame.brightness = &scene.brightness;
  return frame;
}

// The old demo's draw: arcs as chains of antialiased lines, vertices and stars as discs.
void drawOldFrame(const OldFrame& frame, OldImage& image) {
  std::fill(image.rgb.begin(), image.rgb.end(), 0.0f);
  std::fill(image.depth.begin(), image.depth.end(), 1.0f);
  Canvas canvas(image);
  const device::ViewUniform& view = frame.view;
  const auto depthOf = [&](const HomVec4& p) {
    return renderer::fsDepth(view.observer, p, view.near_fs, view.far_fs);
  };
  constexpr std::size_t per_edge = kEdgeSegments + 1;
  for (std::size_t e = 0; e < frame.samples.size() / per_edge; ++e) {
    for (std::size_t k = 0; k < kEdgeSegments; ++k) {
      const std::size_t i = e * per_edge + k;
      if (!frame.sample_in[i] && !frame.sample_in[i + 1]) continue;
      if (!(frame.samples[i].dot(frame.samples[i + 1]) > 0.0)) continue;
      const auto a = toPixel(view, frame.samples[i]);
      const auto b = toPixel(view, frame.samples[i + 1]);
      if (!a || !b) continue;
      canvas.line(*a, depthOf(frame.samples[i]), *b, depthOf(frame.samples[i + 1]), 1.0, kEdgeColor);
    }
  }
  for (std::size_t v = 0; v < frame.vertices.size(); ++v) {
    if (!frame.vertex_in[v]) continue;
    const auto p = toPixel(view, frame.vertices[v]);
    if (!p) continue;
    const double depth = depthOf(frame.vertices[v]);
    canvas.disc((*p)[0], (*p)[1], 1.0 + 3.0 * falloff(depth), depth, kEdgeColor, falloff(depth), true);
  }
  const DrawList& stars = *frame.stars;
  for (std::size_t k = 0; k < stars.positions.size(); ++k) {
    const auto p = toPixel(view, stars.positions[k]);
    if (!p) continue;
    const double near = falloff(stars.depth[k]);
    canvas.disc((*p)[0], (*p)[1], 0.3 + 1.5 * near * near, stars.depth[k], kStarColor,
                (*frame.brightness)[stars.source[k]] * (0.02 + 0.98 * near * near), false);
  }
}

// --- the demo's default frame ----------------------------------------------------------------------

const frame::Scene& demoScene() {
  static const frame::Scene scene = demo::makeScene(1'000'000, 1);
  return scene;
}

// The demo's default frame recorded for `device`, or nothing where it cannot be drawn there.
struct DemoFrame {
  std::unique_ptr<device::Device> device;
  std::unique_ptr<frame::FrameRenderer> renderer;
  rhi::BufferId scratch{};  // a small uniform buffer of its own, written and read between frames

  explicit DemoFrame(std::unique_ptr<device::Device> on) : device(std::move(on)) {
    if (device == nullptr) return;
    scratch = device->createBuffer(rhi::BufferDescriptor::initUniform(256)).value_or(rhi::BufferId{});
    auto made = frame::FrameRenderer::create(demoScene(), *device, kWidth, kHeight,
                                            *std::pmr::new_delete_resource());
    renderer::Observer observer = demo::startObserver();
    demo::flyStep(observer);
    if (!made || !(*made)->render(observer)) {
      std::fprintf(stderr, "the demo's frame cannot be drawn on %s\n",
                   std::string(device->name()).c_str());
      return;
    }
    renderer = std::move(*made);
  }
};

DemoFrame& demoFrame() {
  static DemoFrame frame(std::move(*device::makeCpuDevice()));
  return frame;
}

const OldFrame& oldFrame() {
  static const OldFrame frame = prepareOldFrame(demoScene(), *demoFrame().renderer);
  return frame;
}

// The Vulkan device that orv::vulkan picks (ORV_VULKAN_DEVICE chooses another), if there is one,
// on its exact path or its fast path.
DemoFrame& gpuFrame(bool exact) {
#if ORV_BENCH_HAVE_VULKAN
  const auto make = [](bool exact_path) {
    vulkan::DeviceOptions options;
    options.exact = exact_path;
    auto made = vulkan::makeDevice(options);
    if (!made) std::fprintf(stderr, "no Vulkan device: %s\n", made.error().message.c_str());
    return made ? std::move(*made) : nullptr;
  };
  static DemoFrame exact_frame(make(true));
  static DemoFrame fast_frame(make(false));
  return exact ? exact_frame : fast_frame;
#else
  (void)exact;
  static DemoFrame frame(nullptr);
  return frame;
#endif
}

// The device executes the frame graph the demo recorded: uploads, clears, edges, vertices and
// stars into its render target, and the host waits for it (a read of a few bytes, which waits for
// everything before it): the device's whole time for a frame.
void executeDemoFrame(benchmark::State& state, DemoFrame& frame) {
  if (frame.renderer == nullptr) {
    state.SkipWithError("no such device");
    return;
  }
  state.SetLabel(std::string(frame.device->name()));
  // The first frame makes the pipelines: not timed.
  (void)frame.device->execute(frame.renderer->frameGraph());
  std::array<std::byte, 8> some{};
  for (auto _ : state) {
    const auto executed = frame.device->execute(frame.renderer->frameGraph());
    if (!executed) state.SkipWithError(executed.error().message.c_str());
    if (!frame.device->readBuffer(frame.scratch, 0, some)) {
      state.SkipWithError("the read failed");
    }
  }
  state.counters["stars"] = static_cast<double>(frame.renderer->drawList().positions.size());
}

void BM_cpuDeviceExecutesTheDemoFrame(benchmark::State& state) {
  executeDemoFrame(state, demoFrame());
}

// The same graph on the Vulkan device's two paths, the CPU device as their peer.
void BM_vulkanExactPathExecutesTheDemoFrame(benchmark::State& state) {
  executeDemoFrame(state, gpuFrame(true));
}

void BM_vulkanFastPathExecutesTheDemoFrame(benchmark::State& state) {
  executeDemoFrame(state, gpuFrame(false));
}

// What a program does on the host for each frame of the demo: the stars' facing representatives,
// the frustum's cull and the sort by depth, as the frame renderer does them.
struct HostWork {
  std::vector<HomVec4> facing;
  std::unique_ptr<bool[]> mask;
  std::vector<HomVec4> visible;
  std::vector<double> distances;

  void run(const renderer::OrvFrustum& frustum) {
    const std::span<const HomVec4> points = demoScene().points.positions;
    facing.resize(points.size());
    if (mask == nullptr) mask = std::make_unique<bool[]>(points.size());
    renderer::faceObserver(frustum, points, facing);
    renderer::frustumCull(frustum, facing, std::span(mask.get(), points.size()));
    visible.clear();
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (mask[i]) visible.push_back(facing[i]);
    }
    distances.resize(visible.size());
    auto order = renderer::sortByFSDepth(*std::pmr::new_delete_resource(), frustum.observer,
                                         visible, distances);
    benchmark::DoNotOptimize(order);
  }
};

renderer::OrvFrustum demoFrustum() {
  renderer::Observer observer = demo::startObserver();
  demo::flyStep(observer);
  const frame::ViewAngles angles = frame::viewAngles(kWidth, kHeight);
  return observer.frustum(angles.horizontal, angles.vertical, frame::kNear, frame::kFar);
}

void BM_hostWorkOfADemoFrame(benchmark::State& state) {
  HostWork work;
  const renderer::OrvFrustum frustum = demoFrustum();
  for (auto _ : state) work.run(frustum);
}

// A loop of frames on the fast path, each the host's work and then the graph handed to the device,
// which runs it while the host works on the next: frames in flight. Against the sum of the two.
void BM_vulkanFastPathLoopOfFrames(benchmark::State& state) {
  DemoFrame& frame = gpuFrame(false);
  if (frame.renderer == nullptr) {
    state.SkipWithError("no such device");
    return;
  }
  state.SetLabel(std::string(frame.device->name()));
  HostWork work;
  const renderer::OrvFrustum frustum = demoFrustum();
  const device::ViewUniform view = frame.renderer->view();
  for (auto _ : state) {
    work.run(frustum);
    if (!frame.device->writeBuffer(frame.scratch, 0,
                                   std::as_bytes(std::span(&view, 1))) ||
        !frame.device->execute(frame.renderer->frameGraph())) {
      state.SkipWithError("the frame was refused");
    }
  }
  std::array<std::byte, 8> some{};
  (void)frame.device->readBuffer(frame.scratch, 0, some);
}

// The peer: the same frame drawn by the demo's former rasteriser.
void BM_formerRasteriserDrawsTheDemoFrame(benchmark::State& state) {
  const OldFrame& frame = oldFrame();
  OldImage image;
  image.rgb.assign(3 * std::size_t{kWidth} * kHeight, 0.0f);
  image.depth.assign(std::size_t{kWidth} * kHeight, 1.0f);
  for (auto _ : state) {
    drawOldFrame(frame, image);
    benchmark::DoNotOptimize(image.rgb.data());
  }
}

// --- the demo's frame, from the observer's pose to the image in host memory ---------------------

// Everything the demo and the viewer do per frame on the CPU device: the renderer's per-frame work,
// the device executing the frame and the image read back. Two poses of the flight in turn, so that
// nothing of one frame is the next one's; the milliseconds of each stage (FrameStats) are
// counters, and `visible` the stars handed to the device.
void BM_demoFrameOnTheCpuDevice(benchmark::State& state) {
  auto device = std::move(*device::makeCpuDevice());
  auto made = frame::FrameRenderer::create(demoScene(), *device, kWidth, kHeight,
                                           *std::pmr::new_delete_resource());
  if (!made) {
    state.SkipWithError(made.error().message.c_str());
    return;
  }
  frame::FrameRenderer& renderer = **made;
  std::array<renderer::Observer, 2> poses{demo::startObserver(), demo::startObserver()};
  demo::flyStep(poses[0]);
  demo::flyStep(poses[1]);
  demo::flyStep(poses[1]);
  std::array<double, 5> stage_ms{};
  double visible = 0;
  std::size_t frames = 0;
  for (auto _ : state) {
    const auto stats = renderer.render(poses[frames % 2]);
    if (!stats) {
      state.SkipWithError(stats.error().message.c_str());
      return;
    }
    stage_ms[0] += stats->cull_ms;
    stage_ms[1] += stats->sort_ms;
    stage_ms[2] += stats->draw_ms;
    stage_ms[3] += stats->read_ms;
    stage_ms[4] += stats->upload_ms;
    visible += stats->visible;
    ++frames;
  }
  const double n = static_cast<double>(std::max<std::size_t>(frames, 1));
  state.counters["cull_ms"] = stage_ms[0] / n;
  state.counters["sort_ms"] = stage_ms[1] / n;
  state.counters["draw_ms"] = stage_ms[2] / n;
  state.counters["read_ms"] = stage_ms[3] / n;
  state.counters["upload_ms"] = stage_ms[4] / n;
  state.counters["visible"] = visible / n;
}

// The peer: one `frustumCull` of the same 1,000,000 stars through the frame's frustum.
void BM_frustumCullOfTheStars(benchmark::State& state) {
  const frame::Scene& scene = demoScene();
  renderer::Observer observer = demo::startObserver();
  demo::flyStep(observer);
  const frame::ViewAngles angles = frame::viewAngles(kWidth, kHeight);
  const renderer::OrvFrustum frustum =
      observer.frustum(angles.horizontal, angles.vertical, frame::kNear, frame::kFar);
  const std::span<const HomVec4> stars = scene.points.positions;
  const auto mask = std::make_unique<bool[]>(stars.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        renderer::frustumCull(frustum, stars, std::span(mask.get(), stars.size())));
    benchmark::ClobberMemory();
  }
}

// --- Fubini-Study distances -----------------------------------------------------------------------

constexpr std::uint32_t kPairs = 1'000'000;

const std::vector<HomVec4>& randomPoints(std::uint64_t seed) {
  static std::vector<std::vector<HomVec4>> sets(2);
  std::vector<HomVec4>& points = sets[seed];
  if (points.empty()) {
    std::mt19937_64 rng(seed + 1);
    std::normal_distribution<double> gauss;
    for (std::uint32_t i = 0; i < kPairs; ++i) {
      points.push_back(HomVec4::init(gauss(rng), gauss(rng), gauss(rng), gauss(rng)));
    }
  }
  return points;
}

void BM_cpuDeviceComputesDistances(benchmark::State& state) {
  auto device = std::move(*device::makeCpuDevice());
  const rhi::BufferId a = *device->createBuffer(rhi::BufferDescriptor::initOrvPositions(kPairs));
  const rhi::BufferId b = *device->createBuffer(rhi::BufferDescriptor::initOrvPositions(kPairs));
  const rhi::BufferId results = *device->createBuffer(
      {std::uint64_t{kPairs} * 8, 8, rhi::BufferType::storage, rhi::Format::undefined,
       rhi::HeapType::readback, false});
  (void)device->writeBuffer(a, 0, std::as_bytes(std::span(randomPoints(0))));
  (void)device->writeBuffer(b, 0, std::as_bytes(std::span(randomPoints(1))));
  const std::array<rhi::GpuCommand, 1> commands{
      {rhi::GpuCommand::OrvComputeFsDistance{a, b, results, kPairs}}};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  (void)graph.addPass({"distances", {}, {}, commands, rhi::PassType::orv_fs_compute});
  for (auto _ : state) {
    if (!device->execute(graph)) state.SkipWithError("the graph was refused");
  }
}

// The peer: fsDistance over the same pairs, into an array.
void BM_loopOfFsDistance(benchmark::State& state) {
  const auto& a = randomPoints(0);
  const auto& b = randomPoints(1);
  std::vector<double> results(kPairs);
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < kPairs; ++i) results[i] = kernel::fsDistance(a[i], b[i]);
    benchmark::DoNotOptimize(results.data());
  }
}

ORV_BENCHMARK(BM_cpuDeviceExecutesTheDemoFrame)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_formerRasteriserDrawsTheDemoFrame)->Unit(benchmark::kMillisecond);
#if ORV_BENCH_HAVE_VULKAN
ORV_BENCHMARK(BM_vulkanExactPathExecutesTheDemoFrame)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_vulkanFastPathExecutesTheDemoFrame)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_hostWorkOfADemoFrame)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_vulkanFastPathLoopOfFrames)->Unit(benchmark::kMillisecond);
#endif
ORV_BENCHMARK(BM_demoFrameOnTheCpuDevice)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_frustumCullOfTheStars)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_cpuDeviceComputesDistances)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_loopOfFsDistance)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  using orv::bench::Comparison;
  // Mesa's Vulkan drivers run a submission on the thread that submits it unless this is set, so
  // that frames cannot be in flight; set, a thread of the driver's runs them, as a GPU's queue
  // does. (Other drivers ignore it; a value already set is kept.)
  setenv("MESA_VK_ENABLE_SUBMIT_THREAD", "1", 0);
  std::vector<Comparison> comparisons{
      {"BM_cpuDeviceExecutesTheDemoFrame", "BM_formerRasteriserDrawsTheDemoFrame", 1.25,
       "CPU device executing the demo's frame / the demo's former rasteriser"},
      {"BM_demoFrameOnTheCpuDevice", "BM_frustumCullOfTheStars", 3.0,
       "the demo's frame on the CPU device, pose to image in host memory / one frustumCull of its "
       "1M stars"},
      {"BM_cpuDeviceComputesDistances", "BM_loopOfFsDistance", 1.10,
       "orv_compute_fs_distance on the CPU device / a loop of fsDistance"}};
#if ORV_BENCH_HAVE_VULKAN
  // The fast path against the exact one and the CPU device, the device named in every line. On a
  // GPU the fast path's target is a tenth of the CPU device's time; on a software device, which
  // runs on the same processor, faster than the CPU device.
  const DemoFrame& fast = gpuFrame(false);
  const DemoFrame& exact = gpuFrame(true);
  if (fast.renderer != nullptr) {
    const std::string name(fast.device->name());
    const bool software = name.find("llvmpipe") != std::string::npos ||
                          name.find("SwiftShader") != std::string::npos;
    if (exact.renderer != nullptr) {
      comparisons.push_back({"BM_vulkanExactPathExecutesTheDemoFrame",
                             "BM_cpuDeviceExecutesTheDemoFrame", 0.0,
                             "Vulkan exact path (" + name + ") executing the demo's frame / the CPU device"});
      comparisons.push_back({"BM_vulkanFastPathExecutesTheDemoFrame",
                             "BM_vulkanExactPathExecutesTheDemoFrame", 0.10,
                             "Vulkan fast path (" + name + ") executing the demo's frame / the exact path"});
    }
    comparisons.push_back({"BM_vulkanFastPathExecutesTheDemoFrame",
                           "BM_cpuDeviceExecutesTheDemoFrame", software ? 1.0 : 0.10,
                           "Vulkan fast path (" + name + ") executing the demo's frame / the CPU device"});
    Comparison loop{"BM_vulkanFastPathLoopOfFrames", "BM_hostWorkOfADemoFrame", 1.0,
                    "Vulkan fast path (" + name + "), a loop of frames in flight / host work plus device work"};
    loop.peer_plus = "BM_vulkanFastPathExecutesTheDemoFrame";
    comparisons.push_back(loop);
  }
#endif
  return orv::bench::runWithRatios(argc, argv, comparisons);
}
