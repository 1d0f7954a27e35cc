// The Vulkan device against the CPU device: the same calls and graphs on both, compared byte for
// byte where the CPU device is exact (clears, uploads, refusals), within a stated bound for
// distances and pixels. Every test runs with the Khronos validation layer, and any message it
// reports fails the test. Without a Vulkan device the tests skip, unless ORV_REQUIRE_VULKAN=1;
// ORV_SKIP_VULKAN=1 skips them always (the sanitizer build does not run the driver).

#include "orv/vulkan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <numbers>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "orv/device.hpp"

namespace {

using namespace orv;
using device::Device;
using device::ErrorCode;
using device::ViewUniform;
using kernel::HomVec4;
using rhi::BufferDescriptor;
using rhi::BufferId;
using rhi::Format;
using rhi::GpuCommand;
using rhi::ImageDescriptor;
using rhi::ImageId;
using rhi::ImageUsage;
using rhi::PipelineId;
using rhi::PrimitiveTopology;

constexpr BufferId kNone{0, 0};
using Rgba = std::array<float, 4>;

bool envIs(const char* name, const char* value) {
  const char* set = std::getenv(name);
  return set != nullptr && std::string(set) == value;
}

template <class T>
std::span<const std::byte> asBytes(const T& value) {
  return std::as_bytes(std::span(&value, 1));
}

// Texels of an image in `format` as 8-bit channels: clamped to [0, 1] and rounded.
std::vector<std::uint8_t> eightBits(std::span<const std::byte> texels, Format format) {
  std::vector<std::uint8_t> out;
  const auto push = [&](float v) {
    out.push_back(static_cast<std::uint8_t>(std::lround((v > 0 ? (v < 1 ? v : 1) : 0) * 255.0f)));
  };
  for (std::size_t i = 0; i < texels.size(); i += rhi::size(format) / 4) {
    if (format == Format::rgba8_unorm) {
      out.push_back(static_cast<std::uint8_t>(texels[i]));
    } else if (format == Format::rgba16_float) {
      std::uint16_t h = 0;
      std::memcpy(&h, &texels[i], 2);
      push(device::halfToFloat(h));
    } else {
      float f = 0;
      std::memcpy(&f, &texels[i], 4);
      push(f);
    }
  }
  return out;
}

// Calls `f` on both devices, which must give the same value, and returns it.
template <class F>
auto onBoth(const std::array<Device*, 2>& devices, F f) {
  auto a = f(*devices[0]);
  auto b = f(*devices[1]);
  EXPECT_TRUE(a.has_value() && b.has_value());
  if (a && b) {
    EXPECT_EQ(*a, *b);
  }
  return a.value_or(typename decltype(a)::value_type{});
}

// A render setup made alike on both devices: a colour target, a depth target, a view, and room for
// positions, colours, indices and transforms. Both devices number their resources alike, so one
// graph serves both.
struct Scene {
  std::array<Device*, 2> devices;  // the CPU device, then the Vulkan device
  std::uint32_t width;
  std::uint32_t height;
  Format format;
  ImageId color{};
  ImageId depth{};
  BufferId view{};
  BufferId positions{};
  BufferId colors{};
  BufferId indices{};
  BufferId transforms{};
  Rgba cleared{};  // the background of the last render

  Scene(Device& cpu, Device& gpu, std::uint32_t w, std::uint32_t h, Format f,
        std::uint32_t capacity)
      : devices{&cpu, &gpu}, width(w), height(h), format(f) {
    color = onBoth(devices, [&](Device& d) {
      return d.createImage(ImageDescriptor::init2D(f, w, h, ImageUsage::color_target));
    });
    depth = onBoth(devices, [&](Device& d) {
      return d.createImage(
          ImageDescriptor::init2D(Format::depth32_float, w, h, ImageUsage::depth_target));
    });
    view = onBoth(devices,
                  [&](Device& d) { return d.createBuffer(BufferDescriptor::initUniform(256)); });
    positions = onBoth(devices, [&](Device& d) {
      return d.createBuffer(BufferDescriptor::initOrvPositions(capacity));
    });
    colors = onBoth(devices, [&](Device& d) {
      return d.createBuffer({std::uint64_t{capacity} * 16, 16, rhi::BufferType::vertex,
                             Format::rgba32_float, rhi::HeapType::upload, true});
    });
    indices = onBoth(devices, [&](Device& d) {
      return d.createBuffer({std::uint64_t{capacity} * 4, 4, rhi::BufferType::index,
                             Format::r32_uint, rhi::HeapType::upload, false});
    });
    transforms = onBoth(
        devices, [&](Device& d) { return d.createBuffer(BufferDescriptor::initOrvTransforms(4)); });
  }

  template <class F>
  auto same(F f) {
    return onBoth(devices, f);
  }

  template <class T>
  void write(BufferId buffer, std::span<const T> values) {
    for (Device* d : devices) ASSERT_TRUE(d->writeBuffer(buffer, 0, std::as_bytes(values)));
  }

  PipelineId pipeline(PrimitiveTopology topology, float size, bool blend = false,
                      rhi::BlendFactor src = rhi::BlendFactor::one,
                      rhi::BlendFactor dst = rhi::BlendFactor::zero) {
    rhi::GraphicsPipelineDescriptor desc{};
    desc.type = rhi::PipelineType::orv_projective;
    desc.topology = topology;
    desc.color_format = format;
    desc.depth.fs_depth = true;
    desc.blend_enabled = blend;
    desc.src_color_factor = src;
    desc.dst_color_factor = dst;
    desc.point_size = size;
    desc.line_width = size;
    return same([&](Device& d) { return d.createPipeline(desc); });
  }

  // Runs `draws` between a clear to `background` and the end of a render pass, on both devices.
  void render(const ViewUniform& v, std::span<const GpuCommand> draws, const Rgba& background) {
    cleared = background;
    for (Device* d : devices) ASSERT_TRUE(d->writeBuffer(view, 0, asBytes(v)));
    const std::array<ImageId, 1> attachments{color};
    const std::array<ImageId, 2> writes{color, depth};
    std::vector<GpuCommand> commands{
        {GpuCommand::BeginPass{attachments, depth}},
        {GpuCommand::Clear{color, background[0], background[1], background[2], background[3], 1}},
        {GpuCommand::BindUniform{view, 0, sizeof(ViewUniform), 0}},
    };
    commands.insert(commands.end(), draws.begin(), draws.end());
    commands.push_back({GpuCommand::EndPass{}});
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    ASSERT_TRUE(graph.addPass({"scene", {}, writes, commands, rhi::PassType::geometry}));
    for (Device* d : devices) {
      const auto ran = d->execute(graph);
      ASSERT_TRUE(ran) << d->name() << ": " << ran.error().message;
    }
  }

  std::vector<std::byte> pixels(Device& d, ImageId image, Format f) const {
    std::vector<std::byte> out(std::size_t{width} * height * rhi::size(f));
    EXPECT_TRUE(d.readImage(image, out));
    return out;
  }

  // The two devices' images after the last render: at least 99.5% of the colour pixels within
  // 2/255 in every channel in 8 bits, and at least 99.5% of the depths identical. Prints what was
  // measured.
  void expectAgreement(const std::string& what) const {
    const auto a = pixels(*devices[0], color, format);
    const auto b = pixels(*devices[1], color, format);
    const auto a8 = eightBits(a, format);
    const auto b8 = eightBits(b, format);
    const auto background8 = eightBits(std::as_bytes(std::span(cleared)), Format::rgba32_float);
    const std::size_t count = std::size_t{width} * height;
    const std::size_t texel = rhi::size(format);
    std::size_t within = 0;
    std::size_t identical = 0;
    std::size_t drawn = 0;  // pixels a draw changed: an empty scene must not pass for agreement
    int worst = 0;
    for (std::size_t i = 0; i < count; ++i) {
      bool close = true;
      bool changed = false;
      for (std::size_t c = 0; c < 4; ++c) {
        const int difference = std::abs(a8[4 * i + c] - b8[4 * i + c]);
        worst = std::max(worst, difference);
        close = close && difference <= 2;
        changed = changed || std::abs(a8[4 * i + c] - background8[c]) > 2;
      }
      if (close) ++within;
      if (changed) ++drawn;
      if (std::memcmp(&a[i * texel], &b[i * texel], texel) == 0) ++identical;
    }
    const auto da = pixels(*devices[0], depth, Format::depth32_float);
    const auto db = pixels(*devices[1], depth, Format::depth32_float);
    std::size_t same_depth = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (std::memcmp(&da[4 * i], &db[4 * i], 4) == 0) ++same_depth;
    }
    const auto share = [&](std::size_t n) {
      return static_cast<double>(n) / static_cast<double>(count);
    };
    std::cout << what << ": " << share(within) * 100 << "% of pixels within 2/255, "
              << share(identical) * 100 << "% identical (at most " << worst << "/255 apart), "
              << share(same_depth) * 100 << "% of depths identical; " << share(drawn) * 100
              << "% drawn\n";
    EXPECT_GE(share(within), 0.995) << what;
    EXPECT_GE(share(same_depth), 0.995) << what;
    EXPECT_GT(share(drawn), 0.02) << what << ": the scene is nearly empty";
  }
};

// A point of four successive draws of `next`, taken in order (the arguments of a call are not).
template <class Next>
HomVec4 inOrder(Next next) {
  const std::array<double, 4> v{next(), next(), next(), next()};
  return HomVec4::init(v[0], v[1], v[2], v[3]);
}

// A view whose planes are x + w, w - x, y + w, w - y seen from (0, 0, 0, 1): the point
// (x, y, z, 1) lands at pixel ((x + 1) / 2 * width, (y + 1) / 2 * height).
ViewUniform flatView(std::uint32_t width, std::uint32_t height) {
  using renderer::ProjectiveHyperplane;
  return {{ProjectiveHyperplane::init(1, 0, 0, 1), ProjectiveHyperplane::init(-1, 0, 0, 1),
           ProjectiveHyperplane::init(0, 1, 0, 1), ProjectiveHyperplane::init(0, -1, 0, 1)},
          HomVec4::init(0, 0, 0, 1),
          0.0,
          std::numbers::pi / 2,
          static_cast<double>(width),
          static_cast<double>(height)};
}

class VulkanDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (envIs("ORV_SKIP_VULKAN", "1")) GTEST_SKIP() << "ORV_SKIP_VULKAN=1: Vulkan tests skipped";
    auto made = vulkan::makeDevice(options());
    if (!made) {
      if (envIs("ORV_REQUIRE_VULKAN", "1")) {
        FAIL() << "ORV_REQUIRE_VULKAN=1 but no Vulkan device: " << made.error().message;
      }
      GTEST_SKIP() << "no Vulkan device, Vulkan tests skipped: " << made.error().message;
    }
    gpu = std::move(*made);
    auto reference = device::makeCpuDevice(gpu->limits());
    ASSERT_TRUE(reference);
    cpu = std::move(*reference);
  }

  void TearDown() override {
    gpu.reset();  // the layer reports what the device leaves behind as it goes
    for (const std::string& message : messages) ADD_FAILURE() << "validation: " << message;
  }

  // Options with validation on and its messages kept.
  vulkan::DeviceOptions options() {
    vulkan::DeviceOptions o;
    o.validation = true;
    o.on_validation_message = [this](std::string_view m) { messages.emplace_back(m); };
    return o;
  }

  std::vector<std::string> messages;
  std::unique_ptr<Device> cpu;
  std::unique_ptr<Device> gpu;
};

// --- the device itself --------------------------------------------------------------------------

TEST_F(VulkanDevice, IsChosenByIndexOrNameAndReportsTheDriversLimits) {
  const std::string name(gpu->name());
  EXPECT_FALSE(name.empty());
  EXPECT_NE(name, "cpu");
  const rhi::DeviceLimits& limits = gpu->limits();
  const rhi::DeviceLimits floor{};
  EXPECT_TRUE(limits.shader_f64);
  EXPECT_GT(limits.max_buffer_size, 0u);
  EXPECT_LE(limits.max_color_attachments, 8u);
  EXPECT_GE(limits.min_uniform_offset_alignment, 8u);
  EXPECT_LE(limits.max_image_dimension_2d, 65536u);
  EXPECT_EQ(limits.max_point_size, floor.max_point_size);
  // A buffer beyond the device's limit is refused before the driver sees it.
  if (limits.max_buffer_size < UINT64_MAX) {
    EXPECT_EQ(gpu->createBuffer({limits.max_buffer_size + 1, 0, rhi::BufferType::storage,
                                 Format::undefined, rhi::HeapType::device_local, false})
                  .error()
                  .code,
              ErrorCode::limit_exceeded);
  }

  vulkan::DeviceOptions o = options();
  for (const std::string& choice : {name.substr(0, 4), std::string("0")}) {
    o.device = choice;
    const auto again = vulkan::makeDevice(o);
    ASSERT_TRUE(again) << choice << ": " << again.error().message;
    if (choice != "0") {
      EXPECT_EQ((*again)->name(), name);
    }
  }
  // A choice that names nothing is refused, saying so; the option wins over the variable.
  const char* outer = std::getenv("ORV_VULKAN_DEVICE");
  const std::string kept = outer != nullptr ? outer : "";
  ASSERT_EQ(setenv("ORV_VULKAN_DEVICE", "no such device", 1), 0);
  const auto by_variable = vulkan::makeDevice(options());
  o.device = "99";
  const auto by_number = vulkan::makeDevice(o);
  o.device = name;
  const auto by_option = vulkan::makeDevice(o);
  if (outer != nullptr) {
    setenv("ORV_VULKAN_DEVICE", kept.c_str(), 1);
  } else {
    unsetenv("ORV_VULKAN_DEVICE");
  }
  ASSERT_FALSE(by_variable);
  EXPECT_EQ(by_variable.error().code, ErrorCode::unsupported);
  EXPECT_NE(by_variable.error().message.find("\"no such device\" (ORV_VULKAN_DEVICE)"),
            std::string::npos)
      << by_variable.error().message;
  ASSERT_FALSE(by_number);
  EXPECT_NE(by_number.error().message.find("no Vulkan device number 99"), std::string::npos);
  EXPECT_TRUE(by_option) << by_option.error().message;
}

TEST_F(VulkanDevice, HandlesRangesAndDescriptorsAreCheckedAsOnTheCpuDevice) {
  Scene s(*cpu, *gpu, 4, 4, Format::rgba8_unorm, 4);
  std::array<std::byte, 8> bytes{};
  for (Device* d : s.devices) {
    ASSERT_TRUE(d->destroy(s.positions));
    const BufferId again = *d->createBuffer(BufferDescriptor::initOrvPositions(4));
    EXPECT_EQ(again, (BufferId{s.positions.id, s.positions.generation + 1}));
    EXPECT_TRUE(d->writeBuffer(again, 0, bytes));
  }
  rhi::GraphicsPipelineDescriptor plain{};
  rhi::GraphicsPipelineDescriptor many = plain;
  many.type = rhi::PipelineType::orv_projective;
  many.depth.fs_depth = true;
  many.sample_count = 4;
  std::array<std::byte, 3> odd{};
  const auto refusals = [&](Device& d) {
    std::vector<device::Result<void>> r;
    r.push_back(d.destroy(s.positions));
    r.push_back(d.writeBuffer(s.positions, 0, bytes));
    r.push_back(d.readBuffer(BufferId{0, 0}, 0, bytes));
    r.push_back(d.readBuffer(s.view, 250, bytes));
    r.push_back(d.writeBuffer(s.view, UINT64_MAX - 2, bytes));
    r.push_back(d.readImage(s.color, odd));
    r.push_back(d.destroy(PipelineId::compute(1)));
    const auto code = [](const auto& made) -> device::Result<void> {
      if (made) return {};
      return std::unexpected(made.error());
    };
    r.push_back(code(d.createBuffer(BufferDescriptor::initOrvPositions(0))));
    r.push_back(code(d.createBuffer({64, 16, rhi::BufferType::orv_positions, Format::homvec4_f64,
                                     rhi::HeapType::device_local, false})));
    r.push_back(code(d.createImage(
        ImageDescriptor::init2D(Format::depth32_float, 4, 4, ImageUsage::color_target))));
    r.push_back(
        code(d.createImage(ImageDescriptor::init2D(Format::r8_unorm, 4, 4, ImageUsage::sampled))));
    r.push_back(code(d.createImage(ImageDescriptor::init2D(
        Format::rgba8_unorm, d.limits().max_image_dimension_2d + 1, 4, ImageUsage::color_target))));
    r.push_back(code(d.createPipeline(plain)));
    r.push_back(code(d.createPipeline(many)));
    return r;
  };
  const auto on_cpu = refusals(*cpu);
  const auto on_gpu = refusals(*gpu);
  ASSERT_EQ(on_cpu.size(), on_gpu.size());
  for (std::size_t i = 0; i < on_cpu.size(); ++i) {
    ASSERT_FALSE(on_cpu[i]) << "case " << i;
    ASSERT_FALSE(on_gpu[i]) << "case " << i;
    EXPECT_EQ(on_gpu[i].error().code, on_cpu[i].error().code) << on_gpu[i].error().message;
    EXPECT_EQ(on_gpu[i].error().message, on_cpu[i].error().message);
  }
}

// --- commands ------------------------------------------------------------------------------------

TEST_F(VulkanDevice, ClearsAndUploadsAreByteIdentical) {
  const std::array<Format, 3> formats{Format::rgba8_unorm, Format::rgba16_float,
                                      Format::rgba32_float};
  std::array<ImageId, 3> images{};
  std::vector<HomVec4> points;
  for (int i = 0; i < 300; ++i) points.push_back(HomVec4::init(i, -0.5 * i, 1e300 / (i + 1), -0.0));
  std::vector<kernel::PGL4> moves(3, kernel::PGL4::identity());
  moves[1].data[13] = 2.5;
  Scene s(*cpu, *gpu, 5, 3, Format::rgba8_unorm, 300);
  for (std::size_t i = 0; i < formats.size(); ++i) {
    images[i] = s.same([&](Device& d) {
      return d.createImage(ImageDescriptor::init2D(
          formats[i], 5, 3, ImageUsage::color_target | ImageUsage::transfer_src));
    });
  }
  // Fresh resources are zero, then each format is cleared with values that round, clamp and
  // overflow, and the depth target inside a render pass.
  const std::array<ImageId, 1> target{images[1]};
  const std::array<GpuCommand, 8> commands{{
      {GpuCommand::Clear{images[0], 0.1f, 1.2f, -0.3f, 0.50196f, 0}},
      {GpuCommand::Clear{images[2], 0.1f, -1e30f, 3.0f, 1e-40f, 0}},
      {GpuCommand::OrvUploadPositions{s.positions, points}},
      {GpuCommand::OrvUploadPgl4{s.transforms, moves}},
      {GpuCommand::BeginPass{target, s.depth}},
      {GpuCommand::Clear{images[1], 0.1f, 1e-6f, -2.5f, 65520.0f, 0.3f}},
      {GpuCommand::EndPass{}},
      {GpuCommand::Clear{s.color, 1.0f / 3, 2.0f / 3, 0.5f, 0.998f, 0}},
  }};
  const std::array<ImageId, 5> all_writes{images[0], images[1], images[2], s.depth, s.color};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"clear", {}, all_writes, commands, rhi::PassType::clear}));
  for (Device* d : s.devices) {
    std::vector<std::byte> zero(5 * 3 * 16, std::byte{1});
    ASSERT_TRUE(d->readImage(images[2], zero));
    EXPECT_EQ(std::count(zero.begin(), zero.end(), std::byte{0}), 5 * 3 * 16) << d->name();
    ASSERT_TRUE(d->execute(graph));
  }
  for (const ImageId image : {images[0], images[1], images[2], s.depth, s.color}) {
    const Format f = image == s.depth   ? Format::depth32_float
                     : image == s.color ? Format::rgba8_unorm
                                        : formats[image.id - images[0].id];
    EXPECT_EQ(s.pixels(*cpu, image, f), s.pixels(*gpu, image, f)) << "image " << image.id;
  }
  std::vector<std::byte> a(300 * 32);
  std::vector<std::byte> b(300 * 32);
  ASSERT_TRUE(cpu->readBuffer(s.positions, 0, a));
  ASSERT_TRUE(gpu->readBuffer(s.positions, 0, b));
  EXPECT_EQ(a, b);
  ASSERT_TRUE(gpu->readBuffer(s.transforms, 128, std::span(b).first(128)));
  EXPECT_EQ(std::memcmp(b.data(), &moves[1], 128), 0);
}

TEST_F(VulkanDevice, DistancesAreWithinFourUlpOfTheKernel) {
  // Pairs of every kind: random, near-equal, negated, near-orthogonal, huge, tiny and mixed in
  // scale, and degenerate (zero, NaN, infinite) ones.
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> kind(0, 6);
  const auto random = [&] { return inOrder([&] { return u(rng); }); };
  const auto scaled = [](const HomVec4& v, double k) {
    return HomVec4::init(v.x * k, v.y * k, v.z * k, v.w * k);
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<HomVec4> a{HomVec4::init(0, 0, 0, 0), HomVec4::init(nan, 0, 0, 1),
                         HomVec4::init(inf, 1, 0, 0), HomVec4::init(1e-300, 0, 0, 2e-300),
                         HomVec4::init(1, 0, 0, 0)};
  std::vector<HomVec4> b{random(), random(), random(), random(), HomVec4::init(0, 1, 0, 0)};
  constexpr std::size_t kPairs = std::size_t{1} << 20;
  while (a.size() < kPairs) {
    const HomVec4 p = random();
    HomVec4 q = random();
    const double scale = u(rng);
    const double tiny = std::ldexp(scale, -static_cast<int>(rng() % 50) - 3);
    switch (kind(rng)) {
      case 0: break;
      case 1: q = HomVec4::init(p.x + tiny, p.y - tiny, p.z, p.w + tiny * u(rng)); break;
      case 2: q = HomVec4::init(-p.x, -p.y + tiny, -p.z, -p.w); break;
      case 3: {  // q made orthogonal to p, then tilted by `tiny`
        const double k = q.dot(p) / p.dot(p);
        q = HomVec4::init(q.x - k * p.x + tiny * p.x, q.y - k * p.y, q.z - k * p.z, q.w - k * p.w);
        break;
      }
      case 4: q = scaled(q, std::ldexp(1.0, 400 + static_cast<int>(rng() % 620))); break;
      case 5: q = scaled(q, std::ldexp(1.0, -400 - static_cast<int>(rng() % 640))); break;
      case 6: q = scaled(p, std::ldexp(1.0, static_cast<int>(rng() % 2000) - 1000)); break;
    }
    a.push_back(rng() % 2 == 0 ? p
                               : scaled(p, std::ldexp(1.0, static_cast<int>(rng() % 1600) - 800)));
    b.push_back(q);
  }
  const auto n = static_cast<std::uint32_t>(a.size());
  const auto results = [&](Device& d) {
    const BufferId pa = *d.createBuffer(BufferDescriptor::initOrvPositions(n));
    const BufferId pb = *d.createBuffer(BufferDescriptor::initOrvPositions(n));
    const BufferId out = *d.createBuffer({std::uint64_t{n} * 8, 8, rhi::BufferType::storage,
                                          Format::undefined, rhi::HeapType::readback, false});
    const std::array<GpuCommand, 3> commands{{{GpuCommand::OrvUploadPositions{pa, a}},
                                              {GpuCommand::OrvUploadPositions{pb, b}},
                                              {GpuCommand::OrvComputeFsDistance{pa, pb, out, n}}}};
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    EXPECT_TRUE(graph.addPass({"distances", {}, {}, commands, rhi::PassType::orv_fs_compute}));
    EXPECT_TRUE(d.execute(graph));
    std::vector<double> d_out(n);
    EXPECT_TRUE(d.readBuffer(out, 0, std::as_writable_bytes(std::span(d_out))));
    return d_out;
  };
  const std::vector<double> expected = results(*cpu);
  const std::vector<double> got = results(*gpu);
  std::uint64_t worst_ulp = 0;
  double worst_abs = 0;
  std::size_t exact = 0;
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_FALSE(std::isnan(got[i])) << "pair " << i;
    const auto ea = std::bit_cast<std::int64_t>(expected[i]);
    const auto ga = std::bit_cast<std::int64_t>(got[i]);
    const std::uint64_t ulp =
        ea > ga ? static_cast<std::uint64_t>(ea - ga) : static_cast<std::uint64_t>(ga - ea);
    ASSERT_LE(ulp, 4u) << "pair " << i << ": " << got[i] << " against " << expected[i];
    worst_ulp = std::max(worst_ulp, ulp);
    worst_abs = std::max(worst_abs, std::abs(got[i] - expected[i]));
    exact += ulp == 0;
  }
  std::cout << n << " pairs: at most " << worst_ulp << " ulp, " << worst_abs << " rad apart; "
            << exact << " identical\n";
}

TEST_F(VulkanDevice, OverlappingPointsAgree) {
  Scene s(*cpu, *gpu, 96, 64, Format::rgba16_float, 2048);
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.2, 1.2);
  std::uniform_real_distribution<float> c(0.0f, 1.0f);
  std::vector<HomVec4> points;
  std::vector<Rgba> tints;
  for (int i = 0; i < 2048; ++i) {
    // Inside, outside and behind the view, at many depths, some on exact pixel centres.
    const double ahead = 1.5 * c(rng);
    const double x = u(rng);
    HomVec4 p = HomVec4::init(x, u(rng), std::tan(ahead), 1.0);
    if (i % 7 == 0) p = HomVec4::init(std::round(p.x * 48) / 48 + 1.0 / 96, p.y, p.z, 1.0);
    if (i % 5 == 0) p = HomVec4::init(-p.x, -p.y, -p.z, -p.w);
    points.push_back(p);
    tints.push_back({c(rng), c(rng), c(rng), 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(points));
  s.write(s.colors, std::span<const Rgba>(tints));
  const PipelineId small = s.pipeline(PrimitiveTopology::point_list, 3.0f);
  const PipelineId large = s.pipeline(PrimitiveTopology::point_list, 6.5f);
  const std::array<GpuCommand, 4> draws{{
      {small},
      {rhi::DrawCommand{small, s.colors, kNone, kNone, s.positions, 1024, 1}},
      {large},
      {rhi::DrawCommand{large, kNone, kNone, kNone, s.positions, 300, 1}},
  }};
  s.render(flatView(96, 64), draws, {0.1f, 0.2f, 0.3f, 1.0f});
  s.expectAgreement("points");
}

TEST_F(VulkanDevice, GeodesicsAgreeWhereTheyCrossTheHyperplaneOrthogonalToTheObserver) {
  Scene s(*cpu, *gpu, 160, 90, Format::rgba8_unorm, 64);
  renderer::OrvCamera camera = renderer::OrvCamera::makeDefault();
  camera.moveForward(0.3);
  const ViewUniform view = ViewUniform::fromCamera(camera, 160, 90, 0.01, 1.5);
  std::mt19937_64 rng(9);
  std::normal_distribution<double> g;
  std::vector<HomVec4> ends;
  std::vector<Rgba> tints;
  for (int i = 0; i < 64; ++i) {
    const HomVec4 v = inOrder([&] { return g(rng); });
    ends.push_back(HomVec4::init(v.x, v.y, v.z - 1.5, v.w).normalize());
    tints.push_back({i % 2 == 0 ? 1.0f : 0.2f, 0.5f, i % 3 == 0 ? 1.0f : 0.0f, 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(ends));
  s.write(s.colors, std::span<const Rgba>(tints));
  std::size_t crossing = 0;
  for (std::size_t i = 0; i + 1 < ends.size(); i += 2) {
    const HomVec4 end = ends[i].dot(ends[i + 1]) < 0 ? HomVec4::init(-ends[i + 1].x, -ends[i + 1].y,
                                                                     -ends[i + 1].z, -ends[i + 1].w)
                                                     : ends[i + 1];
    crossing += (ends[i].dot(view.observer) < 0) != (end.dot(view.observer) < 0);
  }
  EXPECT_GE(crossing, 3u);  // arcs that split into two pieces are drawn
  const PipelineId arcs = s.pipeline(PrimitiveTopology::geodesic_list, 2.0f);
  const PipelineId thin = s.pipeline(PrimitiveTopology::line_strip, 1.0f);
  const std::array<GpuCommand, 5> draws{{
      {arcs},
      {rhi::DrawCommand{arcs, s.colors, kNone, kNone, s.positions, 64, 1}},
      {thin},
      {rhi::DrawCommand{thin, kNone, kNone, kNone, s.positions, 12, 1}},
      {GpuCommand::OrvRenderGeodesics{s.positions, 20, 0.9f, 0.1f, 0.6f}},
  }};
  s.render(view, draws, {0, 0, 0, 1});
  s.expectAgreement("geodesics and lines");
}

// Corners exactly pi/2 from the observer at the origin (points at infinity) have two
// representatives as far from it; the Vulkan device picks the one ahead as the CPU device does, so
// both draw every primitive alike whichever sign its corners are given, to the byte.
TEST_F(VulkanDevice, CornersOnTheHyperplaneOrthogonalToTheObserverDrawAsOnTheCpuInEitherSign) {
  Scene s(*cpu, *gpu, 48, 32, Format::rgba32_float, 8);
  const ViewUniform view =
      ViewUniform::fromCamera(renderer::OrvCamera::makeDefault(), 48, 32, 0.01, 2.0);
  const HomVec4 near = HomVec4::init(0, 0, -1, 1);
  const HomVec4 sky = HomVec4::init(0.25, -0.125, -1, 0);    // in view
  const HomVec4 behind = HomVec4::init(0.375, 0.125, 1, 0);  // its negation is in view
  const HomVec4 beside = HomVec4::init(1, 0.25, 0, 0);       // square to the line of sight
  const HomVec4 square_to_sky = HomVec4::init(0.5, 1, 0, 0);
  const std::array<std::pair<PrimitiveTopology, std::vector<HomVec4>>, 4> cases{{
      {PrimitiveTopology::point_list, {sky, behind}},
      {PrimitiveTopology::line_list, {near, sky, near, behind, near, beside}},
      {PrimitiveTopology::geodesic_list, {sky, behind, near, beside, sky, square_to_sky}},
      {PrimitiveTopology::triangle_list, {near, sky, behind, near, behind, beside}},
  }};
  for (const auto& [topology, corners] : cases) {
    const PipelineId pipeline = s.pipeline(topology, 3.0f);
    std::vector<std::byte> first;
    for (const bool negate : {false, true}) {
      std::vector<HomVec4> given = corners;
      for (HomVec4& v : given) {
        if (negate && v.w == 0.0) v = HomVec4::init(-v.x, -v.y, -v.z, -v.w);
      }
      s.write(s.positions, std::span<const HomVec4>(given));
      const std::array<GpuCommand, 2> draws{{
          {pipeline},
          {rhi::DrawCommand{pipeline, kNone, kNone, kNone, s.positions,
                            static_cast<std::uint32_t>(given.size()), 1}},
      }};
      s.render(view, draws, {0, 0, 0, 0});
      const auto on_cpu = s.pixels(*cpu, s.color, s.format);
      EXPECT_EQ(on_cpu, s.pixels(*gpu, s.color, s.format))
          << "topology " << static_cast<int>(topology) << (negate ? ", negated" : "");
      if (negate) {
        EXPECT_EQ(on_cpu, first) << "topology " << static_cast<int>(topology);
      }
      first = on_cpu;
    }
    EXPECT_TRUE(std::any_of(first.begin(), first.end(), [](std::byte b) { return b != std::byte{0}; }));
  }
}

// Wide bands leaving the image through every edge and corner at slants, and one running just
// outside an edge, are clipped beyond the view by half their width on both devices alike: the same
// bytes.
TEST_F(VulkanDevice, WideBandsLeavingTheImageAreClippedBeyondItAsOnTheCpu) {
  Scene s(*cpu, *gpu, 80, 60, Format::rgba8_unorm, 64);
  const auto at = [](double px, double py) {  // pixel (px, py) of flatView(80, 60)
    return HomVec4::init(2.0 * px / 80 - 1.0, 2.0 * py / 60 - 1.0, 0.0, 1.0);
  };
  const std::vector<HomVec4> ends{
      at(10, 45), at(60, 75),   at(70, 40), at(95, 20),   at(40, 12), at(20, -15),
      at(12, 20), at(-20, 32),  at(60, 50), at(100, 80),  at(30, -4), at(70, -5),
      at(50, 30), at(170, 140), at(15, 58), at(-40, 70),
  };
  std::vector<Rgba> tints;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    tints.push_back({0.2f + 0.05f * static_cast<float>(i), 0.9f - 0.05f * static_cast<float>(i),
                     0.5f, 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(ends));
  s.write(s.colors, std::span<const Rgba>(tints));
  const PipelineId lines = s.pipeline(PrimitiveTopology::line_list, 14.0f);
  const PipelineId arcs = s.pipeline(PrimitiveTopology::geodesic_list, 9.5f);
  const std::array<GpuCommand, 4> draws{{
      {lines},
      {rhi::DrawCommand{lines, s.colors, kNone, kNone, s.positions, 8, 1}},
      {arcs},
      {rhi::DrawCommand{arcs, s.colors, kNone, kNone, s.positions, 16, 1}},
  }};
  s.render(flatView(80, 60), draws, {0, 0, 0, 1});
  EXPECT_EQ(s.pixels(*cpu, s.color, s.format), s.pixels(*gpu, s.color, s.format));
  EXPECT_EQ(s.pixels(*cpu, s.depth, Format::depth32_float),
            s.pixels(*gpu, s.depth, Format::depth32_float));
  s.expectAgreement("wide bands leaving the image");
}

TEST_F(VulkanDevice, ClippedIndexedInstancedTrianglesAgree) {
  Scene s(*cpu, *gpu, 120, 80, Format::rgba32_float, 64);
  const renderer::OrvCamera camera = renderer::OrvCamera::makeDefault();
  std::mt19937_64 rng(3);
  std::normal_distribution<double> g;
  std::uniform_real_distribution<float> c(0.0f, 1.0f);
  std::vector<HomVec4> corners;
  std::vector<Rgba> tints;
  std::vector<std::uint32_t> order;
  for (std::uint32_t i = 0; i < 48; ++i) {
    // Corners around the line of sight, some far off to the side or behind, so that triangles
    // are clipped by the view's planes.
    const HomVec4 v = inOrder([&] { return g(rng); });
    corners.push_back(HomVec4::init(v.x, v.y, -1.5 + v.z, 1.0 + 0.3 * v.w));
    tints.push_back({c(rng), c(rng), c(rng), 1.0f});
    order.push_back((i * 7) % 48);
  }
  order[40] = 1000;  // beyond the positions: its triangle is skipped
  s.write(s.positions, std::span<const HomVec4>(corners));
  s.write(s.colors, std::span<const Rgba>(tints));
  s.write(s.indices, std::span<const std::uint32_t>(order));
  std::array<kernel::PGL4, 2> moves{kernel::PGL4::identity(), kernel::pglRotateZ(0.4)};
  s.write(s.transforms, std::span<const kernel::PGL4>(moves));
  const PipelineId list = s.pipeline(PrimitiveTopology::triangle_list, 1.0f);
  const PipelineId strip = s.pipeline(PrimitiveTopology::triangle_strip, 1.0f);
  const std::array<GpuCommand, 4> draws{{
      {list},
      {rhi::DrawCommand{list, s.colors, s.indices, s.transforms, s.positions, 36, 2}},
      {strip},
      {rhi::DrawCommand{strip, s.colors, kNone, kNone, s.positions, 48, 1}},
  }};
  s.render(ViewUniform::fromCamera(camera, 120, 80, 0.01, 2.0), draws, {0, 0, 0, 0});
  s.expectAgreement("triangles");
}

TEST_F(VulkanDevice, RenderPassesWithoutOrWithSeveralColourAttachmentsAgree) {
  Scene s(*cpu, *gpu, 40, 30, Format::rgba16_float, 64);
  const ImageId second = s.same([](Device& d) {
    return d.createImage(ImageDescriptor::init2D(Format::rgba16_float, 40, 30, ImageUsage::color_target));
  });
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_real_distribution<float> c(0.0f, 1.0f);
  std::vector<HomVec4> points;
  std::vector<Rgba> tints;
  for (int i = 0; i < 64; ++i) {
    const HomVec4 v = inOrder([&] { return u(rng); });
    points.push_back(HomVec4::init(v.x, v.y, 1.0 + v.z, 1.0));
    tints.push_back({c(rng), c(rng), c(rng), 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(points));
  s.write(s.colors, std::span<const Rgba>(tints));
  const ViewUniform view = flatView(40, 30);
  for (Device* d : s.devices) ASSERT_TRUE(d->writeBuffer(s.view, 0, asBytes(view)));
  // The first half of the points only into depth, then all of them into two colour targets: where
  // a point of the first half lies nearer, the second half's are hidden.
  rhi::GraphicsPipelineDescriptor desc{};
  desc.type = rhi::PipelineType::orv_projective;
  desc.topology = PrimitiveTopology::point_list;
  desc.color_format = Format::rgba16_float;
  desc.depth.fs_depth = true;
  desc.point_size = 6.0f;
  const PipelineId big = s.same([&](Device& d) { return d.createPipeline(desc); });
  desc.point_size = 4.0f;
  const PipelineId small = s.same([&](Device& d) { return d.createPipeline(desc); });
  const std::array<ImageId, 2> both{s.color, second};
  const std::array<ImageId, 3> writes{s.color, second, s.depth};
  const GpuCommand view_binding{GpuCommand::BindUniform{s.view, 0, sizeof(ViewUniform), 0}};
  const std::array<GpuCommand, 12> commands{{
      {GpuCommand::BeginPass{{}, s.depth}},
      {GpuCommand::Clear{ImageId::invalid(), 0, 0, 0, 0, 1}},
      {big},
      view_binding,
      {rhi::DrawCommand{big, kNone, kNone, kNone, s.positions, 32, 1}},
      {GpuCommand::EndPass{}},
      {GpuCommand::BeginPass{both, s.depth}},
      {GpuCommand::Clear{second, 0.5f, 0.5f, 0.5f, 1, 1}},
      {small},
      view_binding,
      {rhi::DrawCommand{small, s.colors, kNone, kNone, s.positions, 64, 1}},
      {GpuCommand::EndPass{}},
  }};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"attachments", {}, writes, commands, rhi::PassType::geometry}));
  for (Device* d : s.devices) {
    const auto ran = d->execute(graph);
    ASSERT_TRUE(ran) << d->name() << ": " << ran.error().message;
  }
  s.expectAgreement("no, then two colour attachments");
  EXPECT_EQ(s.pixels(*cpu, second, Format::rgba16_float), s.pixels(*gpu, second, Format::rgba16_float));
}

TEST_F(VulkanDevice, BlendingAgreesInEveryColourFormat) {
  for (const auto& [format, name] : {std::pair{Format::rgba8_unorm, "rgba8_unorm"},
                                     {Format::rgba16_float, "rgba16_float"},
                                     {Format::rgba32_float, "rgba32_float"}}) {
    Scene s(*cpu, *gpu, 48, 32, format, 16);
    std::vector<HomVec4> points;
    std::vector<Rgba> tints;
    for (int i = 0; i < 12; ++i) {
      points.push_back(HomVec4::init(-0.8 + 0.13 * i, -0.5 + 0.09 * i, 0.1 * i, 1.0));
      tints.push_back({0.9f, 0.3f + 0.05f * static_cast<float>(i), 0.1f,
                       0.35f + 0.05f * static_cast<float>(i)});
    }
    // A square whose edges run through pixel centres, split along its diagonal and added twice
    // over: a centre that both halves, or neither, claim shows.
    for (const auto& [px, py] : {std::pair{8.5, 8.5}, {24.5, 8.5}, {24.5, 24.5}, {8.5, 24.5}}) {
      points.push_back(HomVec4::init(2.0 * px / 48 - 1.0, 2.0 * py / 32 - 1.0, 0.0, 1.0));
      tints.push_back({0.25f, 0.25f, 0.25f, 0.25f});
    }
    const std::array<std::uint32_t, 6> square{12, 13, 14, 12, 14, 15};
    s.write(s.positions, std::span<const HomVec4>(points));
    s.write(s.colors, std::span<const Rgba>(tints));
    s.write(s.indices, std::span<const std::uint32_t>(square));
    const PipelineId over =
        s.pipeline(PrimitiveTopology::triangle_strip, 1.0f, true, rhi::BlendFactor::src_alpha,
                   rhi::BlendFactor::one_minus_src_alpha);
    const PipelineId add = s.pipeline(PrimitiveTopology::point_list, 9.0f, true,
                                      rhi::BlendFactor::one, rhi::BlendFactor::one);
    const PipelineId sum = s.pipeline(PrimitiveTopology::triangle_list, 1.0f, true,
                                      rhi::BlendFactor::one, rhi::BlendFactor::one);
    const std::array<GpuCommand, 6> draws{{
        {over},
        {rhi::DrawCommand{over, s.colors, kNone, kNone, s.positions, 12, 1}},
        {add},
        {rhi::DrawCommand{add, s.colors, kNone, kNone, s.positions, 12, 1}},
        {sum},
        {rhi::DrawCommand{sum, s.colors, s.indices, kNone, s.positions, 6, 2}},
    }};
    s.render(flatView(48, 32), draws, {0.2f, 0.4f, 0.6f, 0.5f});
    s.expectAgreement(std::string("blending into ") + name);
  }
}

// --- validation ----------------------------------------------------------------------------------

TEST_F(VulkanDevice, BadGraphsAreRefusedAsOnTheCpuDeviceWithNothingRun) {
  Scene s(*cpu, *gpu, 4, 4, Format::rgba16_float, 2);
  const PipelineId points = s.pipeline(PrimitiveTopology::point_list, 1.0f);
  const BufferId stale =
      s.same([](Device& d) { return d.createBuffer(BufferDescriptor::initOrvPositions(2)); });
  for (Device* d : s.devices) ASSERT_TRUE(d->destroy(stale));
  const std::array<HomVec4, 2> two{HomVec4::init(0, 0, 1, 1), HomVec4::init(0, 1, 1, 1)};
  const std::array<HomVec4, 3> three{};
  const std::array<ImageId, 1> target{s.color};
  const std::array<ImageId, 2> writes{s.color, s.depth};
  const GpuCommand begin{GpuCommand::BeginPass{target, s.depth}};
  const GpuCommand uniform{GpuCommand::BindUniform{s.view, 0, sizeof(ViewUniform), 0}};
  const GpuCommand end{GpuCommand::EndPass{}};
  const std::vector<std::vector<GpuCommand>> bad{
      {begin, {points}, uniform, {rhi::DrawCommand{points, kNone, kNone, kNone, stale, 2, 1}}, end},
      {begin, uniform, {rhi::DrawCommand{points, kNone, kNone, kNone, s.positions, 2, 1}}, end},
      {{GpuCommand::OrvUploadPositions{s.positions, three}}},
      {begin, {GpuCommand::OrvComputeFsDistance{s.positions, s.positions, s.view, 1}}, end},
      {{GpuCommand::BindUniform{s.view, 4, 192, 0}}},
      {begin},
      {{rhi::DispatchCommand{PipelineId::compute(1), 1, 1, 1}}},
  };
  const std::array<GpuCommand, 2> good{{{GpuCommand::OrvUploadPositions{s.positions, two}},
                                        {GpuCommand::Clear{s.color, 1, 1, 1, 1, 1}}}};
  for (const auto& commands : bad) {
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    ASSERT_TRUE(graph.addPass({"good", {}, writes, good, rhi::PassType::clear}));
    ASSERT_TRUE(graph.addPass({"bad", {}, writes, commands, rhi::PassType::geometry}));
    const auto on_cpu = cpu->execute(graph);
    const auto on_gpu = gpu->execute(graph);
    ASSERT_FALSE(on_cpu);
    ASSERT_FALSE(on_gpu);
    EXPECT_EQ(on_gpu.error().code, on_cpu.error().code);
    EXPECT_EQ(on_gpu.error().pass, 1u);
    EXPECT_EQ(on_gpu.error().command, on_cpu.error().command);
    EXPECT_EQ(on_gpu.error().message, on_cpu.error().message);
  }
  // Nothing of the good pass ran either.
  std::array<std::byte, 64> positions{};
  ASSERT_TRUE(gpu->readBuffer(s.positions, 0, positions));
  EXPECT_EQ(std::count(positions.begin(), positions.end(), std::byte{0}), 64);
  const auto texels = s.pixels(*gpu, s.color, Format::rgba16_float);
  EXPECT_EQ(std::count(texels.begin(), texels.end(), std::byte{0}), 4 * 4 * 8);
}

}  // namespace
