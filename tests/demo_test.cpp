// The demo's per-frame path and command line, exercised as the orv-demo program runs them.

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "demo_cli.hpp"
#ifdef ORV_FRAME_HAVE_VULKAN
#include "orv/vulkan.hpp"
#endif
#include "demo_scene.hpp"
#include "frame_renderer.hpp"
#include "orv/io.hpp"
#include "support/counting_resource.hpp"

// Every allocation of the program is counted, so that a test can tell that a stretch of work
// allocated nothing.
namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
// The library makes some objects with new (std::nothrow): they must come from the same heap.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return ::operator new(size, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace fs = std::filesystem;
using namespace orv::demo;
using namespace orv::frame;
using orv::kernel::fsDistance;
using orv::renderer::OrvFrustum;
using orv::renderer::facing;
using orv::rhi::GpuCommand;

constexpr double kPi = std::numbers::pi;

bool sameBits(const HomVec4& a, const HomVec4& b) {
  return std::bit_cast<std::array<std::uint64_t, 4>>(a) ==
         std::bit_cast<std::array<std::uint64_t, 4>>(b);
}

// An empty folder of this test's own, removed when the test ends.
class Scratch {
 public:
  Scratch() {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    path_ = fs::current_path() / ("demo_test_" + name + "_" + std::to_string(::getpid()));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome runWith(std::vector<std::string> args) {
  const std::vector<std::string_view> views(args.begin(), args.end());
  std::ostringstream out;
  std::ostringstream err;
  const int status = runDemo(views, out, err);
  return {status, out.str(), err.str()};
}

std::vector<unsigned char> readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// An observer at (0, 0, 0, 1) looking along `forward`.
Observer observerAtOrigin(const HomVec4& forward) {
  return *Observer::init(HomVec4::init(0, 0, 0, 1), forward, HomVec4::init(0, 1, 0, 0));
}

// The point reached from the observer by a geodesic of length `length` along its forward direction.
HomVec4 straightAhead(const Observer& observer, double length) {
  const HomVec4 p = observer.position();
  const HomVec4 f = observer.forward();
  const double c = std::cos(length);
  const double s = std::sin(length);
  return HomVec4::init(c * p.x + s * f.x, c * p.y + s * f.y, c * p.z + s * f.z, c * p.w + s * f.w);
}

std::unique_ptr<orv::device::Device> cpuDevice() { return std::move(*orv::device::makeCpuDevice()); }

std::unique_ptr<FrameRenderer> rendererFor(const Scene& scene, orv::device::Device& device,
                                           std::uint32_t width, std::uint32_t height,
                                           std::pmr::memory_resource& resource) {
  auto made = FrameRenderer::create(scene, device, width, height, resource);
  EXPECT_TRUE(made.has_value()) << made.error().message;
  return made ? std::move(*made) : nullptr;
}

Scene sceneOfStars(std::vector<HomVec4> stars) {
  Scene scene;
  scene.brightness.assign(stars.size(), 1.0f);
  scene.points.positions = std::move(stars);
  return scene;
}

// The picture's texels as half floats.
std::vector<std::uint16_t> texelsOf(const FrameRenderer& renderer) {
  const auto bytes = renderer.image().texels;
  std::vector<std::uint16_t> texels(bytes.size() / 2);
  std::memcpy(texels.data(), bytes.data(), bytes.size());
  return texels;
}

// --- View ----------------------------------------------------------------------------------------

TEST(View, SeventyFiveDegreesAcrossTheLongerSideWithSquarePixels) {
  const double full = 75 * kPi / 180;
  for (const auto& [w, h] : {std::pair{1280u, 720u}, std::pair{300u, 500u}}) {
    const ViewAngles a = viewAngles(w, h);
    EXPECT_NEAR(w >= h ? a.horizontal : a.vertical, full, 1e-15) << w << "x" << h;
    // Square pixels: the tangents of the half angles are in the ratio of the sides.
    EXPECT_NEAR(std::tan(a.horizontal / 2) / std::tan(a.vertical / 2), static_cast<double>(w) / h,
                1e-12);
    // A point just inside the horizontal half angle is kept, one just outside is not.
    const OrvFrustum f = Observer{}.frustum(a.horizontal, a.vertical, kNear, kFar);
    for (const double delta : {-1e-9, 1e-9}) {
      const double angle = a.horizontal / 2 + delta;
      const HomVec4 q = HomVec4::init(0.6 * std::sin(angle), 0, -0.6 * std::cos(angle), 0.8);
      EXPECT_EQ(f.isVisibleFast(q), delta < 0);
    }
  }
}

// --- The per-frame path ------------------------------------------------------------------------

TEST(Frame, ShortPathImageDrawsTheNearerOfTwoPointsAheadLast) {
  orv::testing::CountingResource resource;
  const auto device = cpuDevice();
  Observer moved = startObserver();
  flyStep(moved);
  for (const Observer& observer : {observerAtOrigin(HomVec4::init(0, 0, -1, 0)), moved}) {
    // Ahead at 0.8 pi is 0.2 pi behind: the facing representative of that point lies behind the
    // observer, so looking forward it is culled and can never cover the point ahead at 0.4 pi.
    const HomVec4 far_ahead = straightAhead(observer, 0.8 * kPi);
    const HomVec4 ahead = straightAhead(observer, 0.4 * kPi);
    EXPECT_NEAR(fsDistance(observer.position(), far_ahead), 0.2 * kPi, 1e-12);
    const Scene both = sceneOfStars({far_ahead, ahead});
    const Scene alone = sceneOfStars({ahead});
    auto with_both = rendererFor(both, *device, 320, 180, resource);
    auto with_one = rendererFor(alone, *device, 320, 180, resource);
    ASSERT_TRUE(with_both->render(observer).has_value());
    ASSERT_TRUE(with_one->render(observer).has_value());
    EXPECT_EQ(with_both->drawList().source, std::vector<std::uint32_t>{1});
    EXPECT_EQ(texelsOf(*with_both), texelsOf(*with_one));
    const std::vector<std::uint16_t> drawn = texelsOf(*with_one);
    EXPECT_GT(std::count_if(drawn.begin(), drawn.end(), [](std::uint16_t t) { return t != 0 && t != 0x3c00; }), 0);

    // Turned around, the same two points: now only the one 0.2 pi away is in view.
    Observer back = observer;
    back.yaw(kPi);
    ASSERT_TRUE(with_both->render(back).has_value());
    EXPECT_EQ(with_both->drawList().source, std::vector<std::uint32_t>{0});
    EXPECT_TRUE(sameBits(with_both->drawList().positions[0], facing(observer.position(), far_ahead)));
  }

  // Two points ahead that are both visible: the farther first, whatever their input order.
  const Observer observer = observerAtOrigin(HomVec4::init(0, 0, -1, 0));
  // A star at infinity, pi/2 from the observer at the origin both ways, given behind it: its
  // negation is ahead in view, as the device draws either, so the frame keeps and draws it.
  const Scene at_infinity = sceneOfStars({HomVec4::init(-0.125, 0.0625, 1, 0)});
  auto sky = rendererFor(at_infinity, *device, 320, 180, resource);
  ASSERT_TRUE(sky->render(observer).has_value());
  EXPECT_EQ(sky->drawList().source, std::vector<std::uint32_t>{0});
  const std::vector<std::uint16_t> sky_texels = texelsOf(*sky);
  EXPECT_GT(std::count_if(sky_texels.begin(), sky_texels.end(),
                          [](std::uint16_t t) { return t != 0 && t != 0x3c00; }),
            0);

  const Scene two =
      sceneOfStars({straightAhead(observer, 0.1 * kPi), straightAhead(observer, 0.3 * kPi)});
  auto renderer = rendererFor(two, *device, 320, 180, resource);
  ASSERT_TRUE(renderer->render(observer).has_value());
  EXPECT_EQ(renderer->drawList().source, (std::vector<std::uint32_t>{1, 0}));
  EXPECT_GT(renderer->drawList().depth[0], renderer->drawList().depth[1]);
}

TEST(Frame, StarsComeOutFacingCulledAndBackToFront) {
  orv::testing::CountingResource resource;
  const auto device = cpuDevice();
  const Scene scene = makeScene(5000, 2);
  Observer observer = startObserver();
  flyStep(observer);
  auto renderer = rendererFor(scene, *device, 160, 90, resource);
  const auto stats = renderer->render(observer);
  ASSERT_TRUE(stats.has_value());
  const ViewAngles angles = viewAngles(160, 90);
  const OrvFrustum frustum = observer.frustum(angles.horizontal, angles.vertical, kNear, kFar);
  const DrawList& draw = renderer->drawList();
  const HomVec4 eye = observer.position();
  std::uint32_t expected_visible = 0;
  for (const HomVec4& star : scene.points.positions) {
    expected_visible += frustum.isVisibleFast(facing(frustum, star)) ? 1u : 0u;
  }
  // The device is handed the points of the cells that may be in view: all those inside it.
  EXPECT_GE(stats->visible, expected_visible);
  EXPECT_LT(stats->visible, 5000u / 2);
  EXPECT_EQ(stats->points, 5000u);
  ASSERT_EQ(draw.positions.size(), expected_visible);
  ASSERT_GT(expected_visible, 100u);
  for (std::size_t k = 0; k < draw.positions.size(); ++k) {
    const HomVec4& p = draw.positions[k];
    EXPECT_TRUE(sameBits(p, facing(frustum, scene.points.positions[draw.source[k]])));
    EXPECT_EQ(draw.classes[k], orv::renderer::wVisibility(p));
    EXPECT_EQ(draw.depth[k], orv::renderer::fsDepth(eye, p, kNear, kFar));
    if (k > 0) {
      EXPECT_LE(draw.depth[k], draw.depth[k - 1]);
    }
  }
}

TEST(Frame, TheCellsHandTheDeviceEveryStarInView) {
  // The frame draws what drawing each star of the draw list by itself draws, to the bit: no star
  // in view is lost with its cell, each is tinted by its facing side and sized by its depth. Poses
  // along the flight and turned every way, so that cells reach the near depth and straddle the
  // hyperplane orthogonal to the observer.
  orv::testing::CountingResource resource;
  const auto device = cpuDevice();
  Scene scene = makeScene(20000, 3);
  scene.figure = {};
  constexpr std::uint32_t kW = 320;
  constexpr std::uint32_t kH = 180;
  Style style;
  style.depth_cue = false;
  auto made = FrameRenderer::create(scene, *device, kW, kH, resource, style);
  ASSERT_TRUE(made.has_value());
  FrameRenderer& renderer = **made;

  using namespace orv::rhi;
  const ImageId color = *device->createImage(ImageDescriptor::initOrvRenderTarget(kW, kH));
  const ImageId depth = *device->createImage(
      ImageDescriptor::init2D(Format::depth32_float, kW, kH, ImageUsage::depth_target));
  const BufferId view = *device->createBuffer(BufferDescriptor::initUniform(256));
  const BufferId positions = *device->createBuffer(BufferDescriptor::initOrvPositions(20000));
  const BufferId colors = *device->createBuffer(
      {20000 * 16, 16, BufferType::vertex, Format::rgba32_float, HeapType::upload, true});
  GraphicsPipelineDescriptor desc{};
  desc.type = PipelineType::orv_projective;
  desc.topology = PrimitiveTopology::point_list;
  desc.depth.fs_depth = true;
  desc.depth.depth_compare = CompareOp::less_equal;
  std::array<PipelineId, 2> sizes{};
  for (std::size_t k = 0; k < 2; ++k) {
    desc.point_size = Style{}.point_size[k];
    sizes[k] = *device->createPipeline(desc);
  }

  Observer observer = startObserver();
  std::uint32_t near_total = 0;
  for (int pose = 0; pose < 8; ++pose) {
    flyStep(observer);
    observer.yaw(pose * 0.8);
    observer.pitch(pose % 3 == 0 ? 0.9 : -0.3);
    const auto stats = renderer.render(observer);
    ASSERT_TRUE(stats.has_value());
    const DrawList& list = renderer.drawList();
    EXPECT_GE(stats->visible, list.positions.size());
    // The reference: far stars, then near ones, each its own colour, farthest first.
    std::vector<HomVec4> far_first;
    std::vector<std::array<float, 4>> tints;
    std::size_t far_count = 0;
    for (const bool near : {false, true}) {
      for (std::size_t k = 0; k < list.positions.size(); ++k) {
        if ((list.depth[k] < kNearPointDepth) != near) continue;
        const auto& t = pointTint(list.classes[k]);
        const float b = scene.brightness[list.source[k]];
        far_first.push_back(list.positions[k]);
        tints.push_back({t[0] * b, t[1] * b, t[2] * b, 1.0f});
      }
      if (!near) far_count = far_first.size();
    }
    near_total += static_cast<std::uint32_t>(far_first.size() - far_count);
    ASSERT_TRUE(device->writeBuffer(view, 0, std::as_bytes(std::span(&renderer.view(), 1))));
    ASSERT_TRUE(device->writeBuffer(positions, 0, std::as_bytes(std::span(far_first))));
    ASSERT_TRUE(device->writeBuffer(colors, 0, std::as_bytes(std::span(tints))));
    const std::array<ImageId, 1> attachments{color};
    const std::array<ImageId, 2> targets{color, depth};
    // Each star by itself: one draw of one point per star, from the buffer's start.
    std::vector<GpuCommand> commands{{GpuCommand::BeginPass{attachments, depth}},
                                     {GpuCommand::Clear{color, 0, 0, 0, 1, 1}},
                                     {GpuCommand::BindUniform{view, 0, sizeof(orv::device::ViewUniform), 0}}};
    const std::array<std::uint32_t, 2> counts{static_cast<std::uint32_t>(far_count),
                                              static_cast<std::uint32_t>(far_first.size() - far_count)};
    std::vector<HomVec4> near_only(far_first.begin() + static_cast<std::ptrdiff_t>(far_count), far_first.end());
    std::vector<std::array<float, 4>> near_tints(tints.begin() + static_cast<std::ptrdiff_t>(far_count), tints.end());
    const BufferId near_positions = *device->createBuffer(BufferDescriptor::initOrvPositions(std::max<std::uint32_t>(counts[1], 1)));
    const BufferId near_colors = *device->createBuffer(
        {std::max<std::uint64_t>(counts[1], 1) * 16, 16, BufferType::vertex, Format::rgba32_float, HeapType::upload, true});
    if (counts[1] > 0) {
      ASSERT_TRUE(device->writeBuffer(near_positions, 0, std::as_bytes(std::span(near_only))));
      ASSERT_TRUE(device->writeBuffer(near_colors, 0, std::as_bytes(std::span(near_tints))));
    }
    commands.push_back({sizes[0]});
    commands.push_back({DrawCommand{sizes[0], colors, {0, 0}, {0, 0}, positions, counts[0], 1}});
    commands.push_back({sizes[1]});
    commands.push_back({DrawCommand{sizes[1], near_colors, {0, 0}, {0, 0}, near_positions, counts[1], 1}});
    commands.push_back({GpuCommand::EndPass{}});
    FrameGraph graph(*std::pmr::new_delete_resource());
    ASSERT_TRUE(graph.addPass({"reference", {}, targets, commands, PassType::geometry}));
    ASSERT_TRUE(device->execute(graph));
    std::vector<std::uint16_t> reference(4 * std::size_t{kW} * kH);
    ASSERT_TRUE(device->readImage(color, std::as_writable_bytes(std::span(reference))));
    EXPECT_EQ(texelsOf(renderer), reference) << "pose " << pose;
    ASSERT_TRUE(device->destroy(near_positions));
    ASSERT_TRUE(device->destroy(near_colors));
  }
  EXPECT_GT(near_total, 10u);
}

TEST(Frame, FramesAfterTheFirstAllocateNothing) {
  orv::testing::CountingResource resource;
  const auto device = cpuDevice();
  const Scene scene = makeScene(20000, 4);
  auto renderer = rendererFor(scene, *device, 320, 180, resource);
  Observer observer = startObserver();
  flyStep(observer);
  ASSERT_TRUE(renderer->render(observer).has_value());
  const std::size_t before = allocations.load();
  for (int frame = 0; frame < 4; ++frame) {
    flyStep(observer);
    observer.yaw(1.3);  // every way round: the lists' lengths change
    const auto stats = renderer->render(observer);
    ASSERT_TRUE(stats.has_value());
    EXPECT_GT(stats->visible, 0u);
  }
  EXPECT_EQ(allocations.load(), before);
  EXPECT_EQ(resource.blocksInUse(), 1u);
}

TEST(Frame, TheFrameGraphDrawsTheFrameAndReturnsItsMemory) {
  orv::testing::CountingResource resource;
  const auto device = cpuDevice();
  const Scene scene = makeScene(3000, 5);
  Observer observer = startObserver();
  {
    auto renderer = rendererFor(scene, *device, 64, 36, resource);
    // Recorded once: every frame executes the same graph, its draws' lengths set anew.
    const orv::rhi::FrameGraph* const recorded = &renderer->frameGraph();
    for (std::uint32_t frame = 1; frame <= 2; ++frame) {
      flyStep(observer);
      const auto stats = renderer->render(observer);
      ASSERT_TRUE(stats.has_value()) << stats.error().message;
      const auto& graph = renderer->frameGraph();
      EXPECT_EQ(&graph, recorded);
      EXPECT_EQ(stats->passes, graph.passCount());
      EXPECT_EQ(graph.frameIndex(), 1u);
      const auto passes = graph.passes();
      ASSERT_EQ(passes.size(), 3u);
      EXPECT_EQ(passes[0].pass_type, orv::rhi::PassType::clear);
      EXPECT_EQ(passes[1].pass_type, orv::rhi::PassType::orv_geodesic);
      EXPECT_EQ(passes[2].pass_type, orv::rhi::PassType::geometry);

      // The stars are drawn through four index lists holding every star handed over once.
      std::uint32_t drawn = 0;
      std::uint32_t draws = 0;
      for (const GpuCommand& command : passes[2].commands) {
        if (command.tag() == GpuCommand::Tag::draw_indexed) {
          drawn += std::get<orv::rhi::DrawCommand>(command.payload).index_count;
          ++draws;
        }
      }
      EXPECT_EQ(draws, 4u);
      EXPECT_EQ(drawn, stats->visible);
      EXPECT_GE(stats->visible, renderer->drawList().positions.size());
      EXPECT_GT(stats->cells, 0u);
      // The edges are 720 geodesic segments between indexed vertices.
      const auto& edges = std::get<orv::rhi::DrawCommand>(passes[1].commands[3].payload);
      EXPECT_EQ(edges.index_count, 1440u);
      // Between frames only the graph's pass array is held; the draw list's sort gave its back.
      EXPECT_EQ(resource.blocksInUse(), 1u);
    }
    // The device executes what was recorded: the same graph again gives the same image.
    const std::vector<std::uint16_t> before = texelsOf(*renderer);
    const auto again = device->execute(renderer->frameGraph());
    ASSERT_TRUE(again.has_value()) << again.error().message;
    std::vector<std::uint16_t> after(before.size());
    ASSERT_TRUE(device->readImage(renderer->frameGraph().passes()[0].writes[0],
                                  std::as_writable_bytes(std::span(after))));
    EXPECT_EQ(after, before);
    // A frame needs no memory of the resource; the draw list, which does, comes out empty.
    resource.failEverything();
    flyStep(observer);
    ASSERT_TRUE(renderer->render(observer).has_value());
    EXPECT_TRUE(renderer->drawList().positions.empty());
  }
  EXPECT_EQ(resource.bytesInUse(), 0u);
  EXPECT_EQ(resource.mismatchedReleases(), 0u);
}

#ifdef ORV_FRAME_HAVE_VULKAN
TEST(Frame, TheVulkanDeviceDrawsTheDemoFrameAsTheCpuDeviceDoes) {
  const char* skip = std::getenv("ORV_SKIP_VULKAN");
  if (skip != nullptr && std::string_view(skip) == "1") GTEST_SKIP() << "ORV_SKIP_VULKAN=1";
  std::vector<std::string> messages;
  orv::vulkan::DeviceOptions options;
  options.validation = true;
  options.on_validation_message = [&](std::string_view m) { messages.emplace_back(m); };
  auto gpu = orv::vulkan::makeDevice(options);
  if (!gpu) {
    const char* require = std::getenv("ORV_REQUIRE_VULKAN");
    if (require != nullptr && std::string_view(require) == "1") FAIL() << gpu.error().message;
    GTEST_SKIP() << "no Vulkan device: " << gpu.error().message;
  }
  const auto cpu = cpuDevice();
  const Scene scene = makeScene(1'000'000, 1);  // the demo's default scene, at 320x180
  Observer observer = startObserver();
  flyStep(observer);
  auto on_cpu = rendererFor(scene, *cpu, 320, 180, *std::pmr::new_delete_resource());
  auto on_gpu = rendererFor(scene, **gpu, 320, 180, *std::pmr::new_delete_resource());
  ASSERT_TRUE(on_cpu->render(observer).has_value());
  const auto drawn = on_gpu->render(observer);
  ASSERT_TRUE(drawn.has_value()) << drawn.error().message;

  // Pixels within 2/255 on every channel once both are converted to 8 bits.
  const auto eight = [](float v) { return std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f); };
  const std::vector<std::uint16_t> a = texelsOf(*on_cpu);
  const std::vector<std::uint16_t> b = texelsOf(*on_gpu);
  ASSERT_EQ(a.size(), b.size());
  std::size_t close = 0;
  std::size_t same = 0;
  for (std::size_t i = 0; i < a.size(); i += 4) {
    long worst = 0;
    for (std::size_t c = 0; c < 3; ++c) {
      const long difference = eight(orv::device::halfToFloat(a[i + c])) -
                              eight(orv::device::halfToFloat(b[i + c]));
      worst = std::max(worst, std::labs(difference));
    }
    close += worst <= 2 ? 1 : 0;
    same += worst == 0 ? 1 : 0;
  }
  const double pixels = static_cast<double>(a.size() / 4);
  std::printf("demo frame at 320x180 on %s: %.3f%% of pixels within 2/255, %.3f%% identical\n",
              std::string((*gpu)->name()).c_str(), 100.0 * static_cast<double>(close) / pixels,
              100.0 * static_cast<double>(same) / pixels);
  EXPECT_GE(static_cast<double>(close), 0.995 * pixels);
  EXPECT_TRUE(messages.empty()) << messages.front();
}

// The fast path (single precision, the GPU's own rasteriser): at least 99% of the pixels within
// 2/255, and every pixel it draws otherwise has its colour within a pixel in the CPU device's image.
TEST(Frame, TheVulkanFastPathDrawsTheDemoFrameWithinAPixelOfTheCpuDevice) {
  const char* skip = std::getenv("ORV_SKIP_VULKAN");
  if (skip != nullptr && std::string_view(skip) == "1") GTEST_SKIP() << "ORV_SKIP_VULKAN=1";
  std::vector<std::string> messages;
  orv::vulkan::DeviceOptions options;
  options.exact = false;
  options.validation = true;
  options.on_validation_message = [&](std::string_view m) { messages.emplace_back(m); };
  auto gpu = orv::vulkan::makeDevice(options);
  if (!gpu) {
    const char* require = std::getenv("ORV_REQUIRE_VULKAN");
    if (require != nullptr && std::string_view(require) == "1") FAIL() << gpu.error().message;
    GTEST_SKIP() << "no Vulkan device: " << gpu.error().message;
  }
  const auto cpu = cpuDevice();
  const Scene scene = makeScene(1'000'000, 1);
  Observer observer = startObserver();
  flyStep(observer);
  constexpr std::uint32_t kWidth = 320;
  constexpr std::uint32_t kHeight = 180;
  auto on_cpu = rendererFor(scene, *cpu, kWidth, kHeight, *std::pmr::new_delete_resource());
  auto on_gpu = rendererFor(scene, **gpu, kWidth, kHeight, *std::pmr::new_delete_resource());
  ASSERT_TRUE(on_cpu->render(observer).has_value());
  const auto drawn = on_gpu->render(observer);
  ASSERT_TRUE(drawn.has_value()) << drawn.error().message;
  const auto eight = [](std::uint16_t h) {
    return std::lround(std::clamp(orv::device::halfToFloat(h), 0.0f, 1.0f) * 255.0f);
  };
  const std::vector<std::uint16_t> a = texelsOf(*on_cpu);
  const std::vector<std::uint16_t> b = texelsOf(*on_gpu);
  ASSERT_EQ(a.size(), b.size());
  // Whether pixel i of `x` and pixel j of `y` are within 2/255 on every channel.
  const auto close = [&](const std::vector<std::uint16_t>& x, std::size_t i,
                         const std::vector<std::uint16_t>& y, std::size_t j) {
    for (std::size_t c = 0; c < 3; ++c) {
      if (std::labs(eight(x[4 * i + c]) - eight(y[4 * j + c])) > 2) return false;
    }
    return true;
  };
  std::size_t same = 0;
  std::size_t far = 0;
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      const std::size_t i = std::size_t{y} * kWidth + x;
      if (close(a, i, b, i)) {
        ++same;
        continue;
      }
      bool near = false;
      for (std::uint32_t v = y > 0 ? y - 1 : 0; v <= std::min(y + 1, kHeight - 1); ++v) {
        for (std::uint32_t u = x > 0 ? x - 1 : 0; u <= std::min(x + 1, kWidth - 1); ++u) {
          near = near || close(b, i, a, std::size_t{v} * kWidth + u);
        }
      }
      far += near ? 0 : 1;
    }
  }
  const double pixels = double{kWidth} * kHeight;
  std::printf("demo frame at 320x180 on the fast path of %s: %.3f%% of pixels within 2/255, %zu "
              "not within a pixel\n",
              std::string((*gpu)->name()).c_str(), 100.0 * static_cast<double>(same) / pixels, far);
  EXPECT_GE(static_cast<double>(same), 0.99 * pixels);
  EXPECT_LE(static_cast<double>(far), 0.001 * pixels);
  EXPECT_TRUE(messages.empty()) << messages.front();
}
#endif

// --- The program -------------------------------------------------------------------------------

TEST(Program, RendersTheSameBytesTwiceAndADecodablePicture) {
  const Scratch scratch;
  const fs::path a = scratch.path() / "a";
  const fs::path b = scratch.path() / "b";
  const Outcome run_a = runWith({"--size", "320x180", "--points", "10000", "--out", a.string()});
  const Outcome run_b =
      runWith({"--out=" + b.string(), "--seed", "1", "--points=10000", "--size", "320x180"});
  ASSERT_EQ(run_a.status, 0) << run_a.err;
  ASSERT_EQ(run_b.status, 0) << run_b.err;
  EXPECT_EQ(run_a.err, "");  // one frame: no progress bar
  EXPECT_NE(run_a.out.find((a / "orv-demo-0000.png").string()), std::string::npos);
  EXPECT_TRUE(run_a.out.starts_with("device: cpu\n")) << run_a.out;
  EXPECT_EQ(std::count(run_a.out.begin(), run_a.out.end(), '\n'), 3);  // device, header, frame

  const std::vector<unsigned char> bytes = readFile(a / "orv-demo-0000.png");
  EXPECT_EQ(bytes, readFile(b / "orv-demo-0000.png"));
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_memory(&png, bytes.data(), bytes.size()), 0) << png.message;
  EXPECT_EQ(png.width, 320u);
  EXPECT_EQ(png.height, 180u);
  png.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(png));
  ASSERT_NE(png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr), 0) << png.message;
  // Edges are warm, stars white or bluish: count the clearly lit pixels of each.
  std::size_t warm = 0;
  std::size_t cool = 0;
  for (std::size_t i = 0; i < pixels.size(); i += 3) {
    const int red = pixels[i];
    const int blue = pixels[i + 2];
    if (std::max({pixels[i], pixels[i + 1], pixels[i + 2]}) < 48) continue;
    warm += red > blue + 24 ? 1u : 0u;
    cool += blue >= red ? 1u : 0u;
  }
  // Of the 57,600 pixels, the edges light several thousand and the stars some hundreds.
  EXPECT_GT(warm, 3000u);
  EXPECT_LT(warm, 20000u);
  EXPECT_GT(cool, 200u);
  EXPECT_LT(cool, 3000u);
  EXPECT_EQ(scratch.entries(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(a), fs::directory_iterator()), 1);

  // A fly-through: one different image per frame, a row each, progress on stderr as plain lines
  // (the stream is no terminal), and the first frame's graph in dot.
  const fs::path fly_dir = scratch.path() / "fly";
  const fs::path dot = scratch.path() / "frame.dot";
  const Outcome fly = runWith({"--size", "64x36", "--points", "500", "--frames", "3", "--out",
                               fly_dir.string(), "--dot", dot.string()});
  ASSERT_EQ(fly.status, 0) << fly.err;
  EXPECT_EQ(std::count(fly.out.begin(), fly.out.end(), '\n'), 5);
  EXPECT_EQ(fly.err, "orv-demo: 1/3 frames\norv-demo: 2/3 frames\norv-demo: 3/3 frames\n");
  const std::vector<unsigned char> graph = readFile(dot);
  EXPECT_NE(std::string(graph.begin(), graph.end()).find("label=\"2: points\\ngeometry"),
            std::string::npos);
  EXPECT_NE(readFile(fly_dir / "orv-demo-0000.png"), readFile(fly_dir / "orv-demo-0002.png"));
  EXPECT_EQ(std::distance(fs::directory_iterator(fly_dir), fs::directory_iterator()), 3);
}

TEST(Program, BadArgumentsGiveOneLineAndStatus2) {
  const Scratch scratch;
  const fs::path file = scratch.path() / "not-a-folder";
  std::ofstream(file) << "x";
  const fs::path out = scratch.path() / "out";
  const std::vector<std::vector<std::string>> cases{
      {"--bogus"},
      {"--points", "-3"},
      {"--points", "33554433"},
      {"--size", "0x0"},
      {"--size", "640"},
      {"--size", "16385x10"},
      {"--frames", "0"},
      {"--seed", "1e3"},
      {"--points"},
      {"stray"},
      {"--out", (file / "images").string()},
      {"--out", file.string()},
      {"--device", "gpu"},
      {"--dot", ""},
  };
  for (auto args : cases) {
    if (args[0] != "--out") args.insert(args.begin(), {"--out", out.string()});
    const Outcome run = runWith(args);
    EXPECT_EQ(run.status, 2) << args.back();
    EXPECT_EQ(run.out, "") << args.back();
    EXPECT_TRUE(run.err.starts_with("orv-demo: ")) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(scratch.entries(), std::vector<std::string>{"not-a-folder"}) << args.back();
  }

  // A device that cannot be had (no Vulkan in this build, or none by that name): the reason on one
  // line, status 2, and nothing written.
  const char* chosen = std::getenv("ORV_VULKAN_DEVICE");
  const std::string before = chosen != nullptr ? chosen : "";
  ::setenv("ORV_VULKAN_DEVICE", "no device has this name", 1);
  const Outcome no_device = runWith({"--out", out.string(), "--device", "vulkan", "--points", "10"});
  if (chosen != nullptr) {
    ::setenv("ORV_VULKAN_DEVICE", before.c_str(), 1);
  } else {
    ::unsetenv("ORV_VULKAN_DEVICE");
  }
  EXPECT_EQ(no_device.status, 2);
  EXPECT_TRUE(no_device.err.starts_with("orv-demo: --device vulkan: ")) << no_device.err;
  EXPECT_EQ(std::count(no_device.err.begin(), no_device.err.end(), '\n'), 1) << no_device.err;
  EXPECT_FALSE(fs::exists(out));

  const Outcome help = runWith({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("usage: orv-demo")) << help.out;

  const std::vector<std::string_view> good{"--points=0", "--size", "3x2", "--frames", "12000",
                                           "--seed", "18446744073709551615", "--out", "x"};
  const auto options = parseOptions(good);
  ASSERT_TRUE(options.has_value()) << options.error();
  EXPECT_EQ(options->points, 0u);
  EXPECT_EQ(options->width, 3u);
  EXPECT_EQ(options->height, 2u);
  EXPECT_EQ(options->seed, 18446744073709551615u);
  EXPECT_EQ(frameFileName(7, 12000), "orv-demo-00007.png");
  EXPECT_EQ(frameFileName(7, 10000), "orv-demo-0007.png");
}

TEST(Program, AnImageThatCannotBeWrittenLeavesNoPartialFile) {
  const Scratch scratch;
  // A folder where the image should go: the finished file cannot be renamed over it.
  fs::create_directories(scratch.path() / "orv-demo-0000.png" / "keep");
  const Outcome run =
      runWith({"--size", "32x18", "--points", "100", "--out", scratch.path().string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(run.err.starts_with("orv-demo: cannot rename")) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_EQ(scratch.entries(), std::vector<std::string>{"orv-demo-0000.png"});
  EXPECT_TRUE(fs::exists(scratch.path() / "orv-demo-0000.png" / "keep"));

  // An existing file is replaced whole.
  const fs::path target = scratch.path() / "replaced.bin";
  std::ofstream(target) << "old contents, longer than the new";
  const std::vector<std::uint8_t> bytes{1, 2, 3};
  ASSERT_TRUE(orv::io::writeFileReplacing(target, bytes).has_value());
  EXPECT_EQ(readFile(target), bytes);
  EXPECT_FALSE(fs::exists(scratch.path() / "replaced.bin.partial"));
}

}  // namespace
