// The device layer on the CPU device: resources and their handles, each command's meaning on small
// hand-made scenes, the refusal of bad graphs with nothing executed, and agreement of the
// projection with culling.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "orv/device.hpp"
#include "support/same_bits.hpp"

namespace {

using namespace orv;
using device::Device;
using device::ErrorCode;
using device::ViewUniform;
using kernel::HomVec4;
using rhi::BufferDescriptor;
using rhi::BufferId;
using rhi::Format;
using rhi::FramePass;
using rhi::GpuCommand;
using rhi::ImageDescriptor;
using rhi::ImageId;
using rhi::ImageUsage;
using rhi::PipelineId;
using rhi::PrimitiveTopology;
using orv::testing::bits;

constexpr BufferId kNone{0, 0};

std::unique_ptr<Device> cpu(const rhi::DeviceLimits& limits = {}) {
  auto made = device::makeCpuDevice(limits);
  EXPECT_TRUE(made.has_value());
  return std::move(*made);
}

template <class T>
std::span<const std::byte> asBytes(const T& value) {
  return std::as_bytes(std::span(&value, 1));
}

// A view whose planes are x + w, w - x, y + w, w - y seen from (0, 0, 0, 1): the point
// (x, y, z, 1) lands at pixel ((x + 1) / 2 * width, (y + 1) / 2 * height), so scenes can be placed
// on exact pixel positions.
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

// The point of the flat view at pixel (px, py), `ahead` radians away along z.
HomVec4 atPixel(double px, double py, std::uint32_t width, std::uint32_t height, double ahead = 0) {
  return HomVec4::init(2.0 * px / width - 1.0, 2.0 * py / height - 1.0, std::tan(ahead), 1.0);
}

// A small render setup: an rgba32_float colour target, a depth target, a uniform buffer holding a
// view, and room for positions and colours.
struct Rig {
  std::unique_ptr<Device> device = cpu();
  std::uint32_t width;
  std::uint32_t height;
  ImageId color{};
  ImageId depth{};
  BufferId view{};
  BufferId positions{};
  BufferId colors{};
  std::array<ImageId, 2> targets{};
  Format format;

  Rig(std::uint32_t w, std::uint32_t h, std::uint32_t capacity = 64,
      Format color_format = Format::rgba32_float)
      : width(w), height(h), format(color_format) {
    color = *device->createImage(ImageDescriptor::init2D(format, w, h, ImageUsage::color_target));
    depth = *device->createImage(
        ImageDescriptor::init2D(Format::depth32_float, w, h, ImageUsage::depth_target));
    view = *device->createBuffer(BufferDescriptor::initUniform(256));
    positions = *device->createBuffer(BufferDescriptor::initOrvPositions(capacity));
    colors = *device->createBuffer(
        {std::uint64_t{capacity} * 16, 16, rhi::BufferType::vertex, Format::rgba32_float,
         rhi::HeapType::upload, true});
    targets = {color, depth};
    setView(flatView(w, h));
  }

  void setView(const ViewUniform& v) { ASSERT_TRUE(device->writeBuffer(view, 0, asBytes(v))); }

  PipelineId pipeline(PrimitiveTopology topology, bool blend = false, float size = 1.0f,
                      const device::PipelineOptions& options = {}) {
    rhi::GraphicsPipelineDescriptor desc{};
    desc.type = rhi::PipelineType::orv_projective;
    desc.topology = topology;
    desc.color_format = format;
    desc.depth.fs_depth = true;
    desc.blend_enabled = blend;
    desc.dst_color_factor = blend ? rhi::BlendFactor::one : rhi::BlendFactor::zero;
    desc.point_size = size;
    desc.line_width = std::min(size, 16.0f);
    const auto made = device->createPipeline(desc, options);
    EXPECT_TRUE(made);
    return made.value_or(PipelineId{});
  }

  // Uploads `points` with their colours, clears to black and depth 1, and draws them once.
  device::Result<void> draw(PipelineId pipe, std::span<const HomVec4> points,
                            std::span<const std::array<float, 4>> point_colors) {
    if (!point_colors.empty()) {
      EXPECT_TRUE(device->writeBuffer(colors, 0, std::as_bytes(point_colors)));
    }
    const std::array<ImageId, 1> attachments{color};
    commands = {
        {GpuCommand::OrvUploadPositions{positions, points}},
        {GpuCommand::BeginPass{attachments, depth}},
        {GpuCommand::Clear{color, 0, 0, 0, 0, 1}},
        {pipe},
        {GpuCommand::BindUniform{view, 0, sizeof(ViewUniform), 0}},
        {rhi::DrawCommand{pipe, point_colors.empty() ? kNone : colors, kNone, kNone, positions,
                          static_cast<std::uint32_t>(points.size()), 1}},
        {GpuCommand::EndPass{}},
    };
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    EXPECT_TRUE(graph.addPass({"draw", {}, targets, commands, rhi::PassType::geometry}));
    return device->execute(graph);
  }

  // Clears as `draw` does, then draws points [0, count) of the positions and colours uploaded,
  // `part` at a time: one draw each, through an index buffer of its own.
  device::Result<void> drawInParts(PipelineId pipe, std::uint32_t count, std::uint32_t part) {
    const std::array<ImageId, 1> attachments{color};
    commands = {{GpuCommand::BeginPass{attachments, depth}},
                {GpuCommand::Clear{color, 0, 0, 0, 0, 1}},
                {pipe},
                {GpuCommand::BindUniform{view, 0, sizeof(ViewUniform), 0}}};
    std::vector<BufferId> parts;
    for (std::uint32_t first = 0; first < count; first += part) {
      const std::uint32_t size = std::min(part, count - first);
      std::vector<std::uint32_t> indices(size);
      for (std::uint32_t k = 0; k < size; ++k) indices[k] = first + k;
      parts.push_back(*device->createBuffer(
          {size * 4, 4, rhi::BufferType::index, Format::r32_uint, rhi::HeapType::upload, false}));
      EXPECT_TRUE(device->writeBuffer(parts.back(), 0, std::as_bytes(std::span(indices))));
      commands.push_back({rhi::DrawCommand{pipe, colors, parts.back(), kNone, positions, size, 1}});
    }
    commands.push_back({GpuCommand::EndPass{}});
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    EXPECT_TRUE(graph.addPass({"in parts", {}, targets, commands, rhi::PassType::geometry}));
    const device::Result<void> executed = device->execute(graph);
    for (const BufferId b : parts) EXPECT_TRUE(device->destroy(b));
    return executed;
  }

  std::vector<float> depths() {
    std::vector<float> out(std::size_t{width} * height);
    EXPECT_TRUE(device->readImage(depth, std::as_writable_bytes(std::span(out))));
    return out;
  }

  std::vector<float> pixels() {
    std::vector<float> out(std::size_t{width} * height * 4);
    if (format == Format::rgba16_float) {
      std::vector<std::uint16_t> halfs(out.size());
      EXPECT_TRUE(device->readImage(color, std::as_writable_bytes(std::span(halfs))));
      for (std::size_t i = 0; i < out.size(); ++i) out[i] = device::halfToFloat(halfs[i]);
      return out;
    }
    EXPECT_TRUE(device->readImage(color, std::as_writable_bytes(std::span(out))));
    return out;
  }

  std::vector<GpuCommand> commands;
};

// --- resources ------------------------------------------------------------------------------------

TEST(Resources, HandlesCountFromOneAndStaleOnesAreRefused) {
  auto dev = cpu();
  const BufferId a = *dev->createBuffer(BufferDescriptor::initOrvPositions(4));
  const BufferId b = *dev->createBuffer(BufferDescriptor::initOrvPositions(4));
  EXPECT_EQ(a, (BufferId{1, 1}));
  EXPECT_EQ(b, (BufferId{2, 1}));
  ASSERT_TRUE(dev->destroy(a));
  const BufferId again = *dev->createBuffer(BufferDescriptor::initOrvPositions(4));
  EXPECT_EQ(again, (BufferId{1, 2}));  // the slot comes back one generation on

  std::array<std::byte, 8> bytes{};
  for (const auto& result : {dev->destroy(a), dev->writeBuffer(a, 0, bytes),
                             dev->readBuffer(BufferId{0, 0}, 0, bytes),
                             dev->readBuffer(BufferId{9, 1}, 0, bytes)}) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, ErrorCode::invalid_handle);
    EXPECT_EQ(result.error().pass, UINT32_MAX);
  }
  EXPECT_TRUE(dev->writeBuffer(again, 0, bytes));

  // Pipelines carry slot and generation in their number.
  Rig rig(4, 4);
  const PipelineId p = rig.pipeline(PrimitiveTopology::point_list);
  ASSERT_TRUE(rig.device->destroy(p));
  EXPECT_EQ(rig.device->destroy(p).error().code, ErrorCode::invalid_handle);
  EXPECT_NE(rig.pipeline(PrimitiveTopology::point_list), p);
}

TEST(Resources, DescriptorsAreCheckedAgainstTheLimits) {
  rhi::DeviceLimits limits{};
  limits.max_buffer_size = 1024;
  auto dev = cpu(limits);
  const auto code = [](const auto& result) { return result.error().code; };

  EXPECT_EQ(code(dev->createBuffer(BufferDescriptor::initOrvPositions(0))), ErrorCode::invalid_descriptor);
  EXPECT_EQ(code(dev->createBuffer(BufferDescriptor::initOrvPositions(33))), ErrorCode::limit_exceeded);
  BufferDescriptor odd = BufferDescriptor::initOrvPositions(4);
  odd.stride = 16;
  EXPECT_EQ(code(dev->createBuffer(odd)), ErrorCode::invalid_descriptor);

  EXPECT_EQ(code(dev->createImage(ImageDescriptor::init2D(Format::rgba16_float, 0, 4,
                                                          ImageUsage::color_target))),
            ErrorCode::invalid_descriptor);
  EXPECT_EQ(code(dev->createImage(ImageDescriptor::init2D(Format::rgba16_float, 16385, 4,
                                                          ImageUsage::color_target))),
            ErrorCode::limit_exceeded);
  EXPECT_EQ(code(dev->createImage(ImageDescriptor::init2D(Format::depth32_float, 4, 4,
                                                          ImageUsage::color_target))),
            ErrorCode::invalid_descriptor);
  EXPECT_EQ(code(dev->createImage(ImageDescriptor::init2D(Format::r8_unorm, 4, 4,
                                                          ImageUsage::sampled))),
            ErrorCode::unsupported);
  // A colour format the device does not render is unsupported, and the refusal says what is.
  const auto srgb = dev->createImage(
      ImageDescriptor::init2D(Format::rgba8_srgb, 4, 4, ImageUsage::color_target));
  EXPECT_EQ(srgb.error().code, ErrorCode::unsupported);
  EXPECT_NE(srgb.error().message.find("rgba8_unorm, rgba16_float and rgba32_float"), std::string::npos)
      << srgb.error().message;

  rhi::GraphicsPipelineDescriptor pipeline{};  // a plain graphics pipeline
  EXPECT_EQ(code(dev->createPipeline(pipeline)), ErrorCode::unsupported);
  pipeline.type = rhi::PipelineType::orv_projective;
  EXPECT_EQ(code(dev->createPipeline(pipeline)), ErrorCode::invalid_descriptor);  // no fs_depth
  pipeline.depth.fs_depth = true;
  pipeline.sample_count = 16;
  EXPECT_EQ(code(dev->createPipeline(pipeline)), ErrorCode::limit_exceeded);
  pipeline.sample_count = 1;
  EXPECT_TRUE(dev->createPipeline(pipeline));
  // Sizes beyond their limits are named with the limit.
  pipeline.point_size = 64.5f;
  EXPECT_EQ(dev->createPipeline(pipeline).error().message,
            "createPipeline: point_size 64.5 is beyond max_point_size 64");
  pipeline.point_size = 1.0f;
  pipeline.line_width = 16.25f;
  EXPECT_EQ(dev->createPipeline(pipeline).error().message,
            "createPipeline: line_width 16.25 is beyond max_line_width 16");

  // Nothing refused took a handle.
  EXPECT_EQ(*dev->createBuffer(BufferDescriptor::initOrvPositions(1)), (BufferId{1, 1}));
}

TEST(Resources, LimitsTheDeviceCannotHonourAreRefusedWhenItIsMade) {
  const auto refusal = [](auto change) {
    rhi::DeviceLimits limits{};
    change(limits);
    const auto made = device::makeCpuDevice(limits);
    return made ? std::optional<ErrorCode>() : made.error().code;
  };
  // Every image the limits admit must fit the host's address space: 16 * 759250124^2 is just
  // below 2^63. At 2^31 a side, rgba8_unorm images were 2^64 bytes, wrapped to none at all.
  EXPECT_EQ(refusal([](auto& l) { l.max_image_dimension_2d = 759'250'124; }), std::nullopt);
  EXPECT_EQ(refusal([](auto& l) { l.max_image_dimension_2d = 759'250'125; }), ErrorCode::limit_exceeded);
  EXPECT_EQ(refusal([](auto& l) { l.max_image_dimension_2d = 1u << 31; }), ErrorCode::limit_exceeded);
  EXPECT_EQ(refusal([](auto& l) { l.max_buffer_size = std::uint64_t{1} << 63; }), ErrorCode::limit_exceeded);
  EXPECT_EQ(refusal([](auto& l) { l.max_buffer_size = (std::uint64_t{1} << 63) - 1; }), std::nullopt);
  // A line of infinite width has no edges to draw; a size that is not a number admits nothing.
  EXPECT_EQ(refusal([](auto& l) { l.max_line_width = std::numeric_limits<float>::infinity(); }),
            ErrorCode::invalid_descriptor);
  EXPECT_EQ(refusal([](auto& l) { l.max_point_size = std::numeric_limits<float>::quiet_NaN(); }),
            ErrorCode::invalid_descriptor);
}

TEST(Resources, BufferRangesAreChecked) {
  auto dev = cpu();
  const BufferId b = *dev->createBuffer(BufferDescriptor::initUniform(16));
  const std::array<std::byte, 4> in{std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4}};
  ASSERT_TRUE(dev->writeBuffer(b, 12, in));
  std::array<std::byte, 16> out{};
  ASSERT_TRUE(dev->readBuffer(b, 0, out));
  EXPECT_EQ(out[12], std::byte{1});
  EXPECT_EQ(out[15], std::byte{4});
  EXPECT_EQ(out[0], std::byte{0});  // buffers start zero-filled
  EXPECT_EQ(dev->writeBuffer(b, 13, in).error().code, ErrorCode::invalid_command);
  EXPECT_EQ(dev->writeBuffer(b, UINT64_MAX - 1, in).error().code, ErrorCode::invalid_command);
  EXPECT_EQ(dev->readBuffer(b, 17, std::span(out).first(0)).error().code, ErrorCode::invalid_command);
}

// --- commands ---------------------------------------------------------------------------------------

TEST(Commands, ClearsWriteTheImageFormatRoundedToNearest) {
  auto dev = cpu();
  const ImageId half = *dev->createImage(ImageDescriptor::initOrvRenderTarget(3, 2));
  const ImageId depth = *dev->createImage(
      ImageDescriptor::init2D(Format::depth32_float, 3, 2, ImageUsage::depth_target));
  const std::array<ImageId, 1> colors{half};
  const std::array<ImageId, 2> writes{half, depth};
  const std::array<GpuCommand, 4> commands{{
      {GpuCommand::Clear{half, 0.1f, 1e-6f, -2.5f, 65520.0f, 0.0f}},  // outside: colour only
      {GpuCommand::BeginPass{colors, depth}},
      {GpuCommand::Clear{ImageId::invalid(), 0, 0, 0, 0, 0.25f}},  // depth only
      {GpuCommand::EndPass{}},
  }};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"clear", {}, writes, commands, rhi::PassType::clear}));
  ASSERT_TRUE(dev->execute(graph));

  std::array<std::uint16_t, 24> texels{};
  ASSERT_TRUE(dev->readImage(half, std::as_writable_bytes(std::span(texels))));
  // 0.1 -> 0x2e66, 1e-6 -> the subnormal 17 * 2^-24, -2.5 -> 0xc100, 65520 rounds up to infinity.
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(texels[4 * i + 0], 0x2e66);
    EXPECT_EQ(texels[4 * i + 1], 0x0011);
    EXPECT_EQ(texels[4 * i + 2], 0xc100);
    EXPECT_EQ(texels[4 * i + 3], 0x7c00);
  }
  std::array<float, 6> depths{};
  ASSERT_TRUE(dev->readImage(depth, std::as_writable_bytes(std::span(depths))));
  for (const float d : depths) EXPECT_EQ(d, 0.25f);
  std::array<std::byte, 5> wrong{};
  EXPECT_EQ(dev->readImage(depth, wrong).error().code, ErrorCode::invalid_command);
}

// Whether `h` is the half nearest `v`, ties to even, judged by its neighbours.
::testing::AssertionResult isNearestHalf(float v, std::uint16_t h) {
  const double value = std::fabs(static_cast<double>(v));
  const double got = std::fabs(static_cast<double>(device::halfToFloat(h)));
  const auto fail = [&] { return ::testing::AssertionFailure() << v << " stored as " << h; };
  if ((h >> 15) != (std::signbit(v) ? 1 : 0)) return fail();
  if (std::isinf(got)) return value >= 65520.0 ? ::testing::AssertionSuccess() : fail();  // 65504 + half a step
  const double below = (h & 0x7fffu) == 0 ? 0.0 : std::fabs(device::halfToFloat(h - 1));
  const double above = std::fabs(device::halfToFloat(h + 1));
  const double error = std::fabs(value - got);
  if (error > std::fabs(value - below) || error > std::fabs(value - above)) return fail();
  const bool tie = error == std::fabs(value - below) || error == std::fabs(value - above);
  return tie && (h & 1u) != 0 ? fail() : ::testing::AssertionSuccess();
}

TEST(Commands, HalfFloatTexelsHoldTheNearestHalfTiesToEven) {
  // Floats of every magnitude a half reaches (subnormal halfs, ties between neighbours, values
  // that round up to infinity), checked against the neighbouring halfs rather than a conversion.
  auto dev = cpu();
  const ImageId half = *dev->createImage(ImageDescriptor::initOrvRenderTarget(1, 1));
  const std::array<ImageId, 1> writes{half};
  std::mt19937 rng(5);
  std::uniform_int_distribution<std::uint32_t> pick(0x3000'0000u, 0x4790'0000u);
  std::uniform_int_distribution<std::uint32_t> low_bits(0, 7);
  for (int round = 0; round < 3000; ++round) {
    std::array<float, 4> v{};
    for (float& c : v) {
      std::uint32_t b = pick(rng);
      if (low_bits(rng) == 0) b = (b & ~0x1fffu) | 0x1000u;  // half way between two normal halfs
      c = std::bit_cast<float>(b | (low_bits(rng) < 4 ? 0x8000'0000u : 0u));
    }
    const std::array<GpuCommand, 1> commands{{{GpuCommand::Clear{half, v[0], v[1], v[2], v[3], 0}}}};
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    ASSERT_TRUE(graph.addPass({"clear", {}, writes, commands, rhi::PassType::clear}));
    ASSERT_TRUE(dev->execute(graph));
    std::array<std::uint16_t, 4> texel{};
    ASSERT_TRUE(dev->readImage(half, std::as_writable_bytes(std::span(texel))));
    for (std::size_t c = 0; c < 4; ++c) ASSERT_TRUE(isNearestHalf(v[c], texel[c]));
  }
}

TEST(Commands, UploadsAndDistancesAreExact) {
  auto dev = cpu();
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<HomVec4> a;
  std::vector<HomVec4> b;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const HomVec4 p = HomVec4::init(0.3, -0.2, 0.9, 0.1);
  // Near-equal, orthogonal, negated, huge, tiny, zero and NaN pairs, then random ones.
  for (const auto& [x, y] : std::vector<std::pair<HomVec4, HomVec4>>{
           {p, HomVec4::init(0.3, -0.2, 0.9, 0.1 + 1e-12)},
           {HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 1, 0, 0)},
           {p, HomVec4::init(-0.3, 0.2, -0.9, -0.1)},
           {HomVec4::init(1e300, 1e300, 0, 0), HomVec4::init(1e300, 0, 0, 0)},
           {HomVec4::init(1e-300, 0, 0, 2e-300), p},
           {HomVec4::init(0, 0, 0, 0), p},
           {HomVec4::init(nan, 0, 0, 1), p}}) {
    a.push_back(x);
    b.push_back(y);
  }
  while (a.size() < 1000) {
    a.push_back(HomVec4::init(u(rng), u(rng), u(rng), u(rng)));
    b.push_back(HomVec4::init(u(rng), u(rng), u(rng), u(rng)));
  }
  const auto n = static_cast<std::uint32_t>(a.size());
  const BufferId pa = *dev->createBuffer(BufferDescriptor::initOrvPositions(n));
  const BufferId pb = *dev->createBuffer(BufferDescriptor::initOrvPositions(n));
  const BufferId results = *dev->createBuffer(
      {std::uint64_t{n} * 8, 8, rhi::BufferType::storage, Format::undefined,
       rhi::HeapType::readback, false});
  const std::array<GpuCommand, 3> commands{{
      {GpuCommand::OrvUploadPositions{pa, a}},
      {GpuCommand::OrvUploadPositions{pb, b}},
      {GpuCommand::OrvComputeFsDistance{pa, pb, results, n}},
  }};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"distances", {}, {}, commands, rhi::PassType::orv_fs_compute}));
  ASSERT_TRUE(dev->execute(graph));

  std::vector<HomVec4> uploaded(n);
  ASSERT_TRUE(dev->readBuffer(pa, 0, std::as_writable_bytes(std::span(uploaded))));
  EXPECT_EQ(std::memcmp(uploaded.data(), a.data(), a.size() * sizeof(HomVec4)), 0);
  std::vector<double> d(n);
  ASSERT_TRUE(dev->readBuffer(results, 0, std::as_writable_bytes(std::span(d))));
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(bits(d[i]), bits(kernel::fsDistance(a[i], b[i]))) << "pair " << i;
  }
}

TEST(Commands, PointsAreSquaresAtTheirPixelAndTheNearerOneCovers) {
  Rig rig(8, 8);
  const PipelineId points = rig.pipeline(PrimitiveTopology::point_list, false, 2.0f);
  // A 2-pixel square centred on (3.0, 5.0) covers the centres 2.5 and 3.5 across, 4.5 and 5.5 down.
  const std::array<HomVec4, 1> one{atPixel(3.0, 5.0, 8, 8)};
  const std::array<std::array<float, 4>, 1> red{{{1, 0, 0, 1}}};
  ASSERT_TRUE(rig.draw(points, one, red));
  std::vector<float> px = rig.pixels();
  for (std::size_t y = 0; y < 8; ++y) {
    for (std::size_t x = 0; x < 8; ++x) {
      const bool lit = (x == 2 || x == 3) && (y == 4 || y == 5);
      EXPECT_EQ(px[(y * 8 + x) * 4], lit ? 1.0f : 0.0f) << x << "," << y;
    }
  }

  // Two points on one line of sight, 0.2 and 0.6 rad away: the nearer (green) wins in either order.
  const HomVec4 near = atPixel(4.5, 4.5, 8, 8, 0.2);
  const HomVec4 far = atPixel(4.5, 4.5, 8, 8, 0.6);
  const std::array<float, 4> green{0, 1, 0, 1};
  const std::array<float, 4> blue{0, 0, 1, 1};
  for (const bool near_first : {true, false}) {
    const std::array<HomVec4, 2> pair{near_first ? near : far, near_first ? far : near};
    const std::array<std::array<float, 4>, 2> tint{near_first ? green : blue, near_first ? blue : green};
    ASSERT_TRUE(rig.draw(points, pair, tint));
    px = rig.pixels();
    EXPECT_EQ(px[(4 * 8 + 4) * 4 + 1], 1.0f);
    EXPECT_EQ(px[(4 * 8 + 4) * 4 + 2], 0.0f);
  }

  // Non-finite positions draw nothing.
  const double inf = std::numeric_limits<double>::infinity();
  const std::array<HomVec4, 3> broken{HomVec4::init(std::nan(""), 0, 0, 1), HomVec4::init(inf, 0, 0, 1),
                                      HomVec4::init(0, 0, 0, inf)};
  ASSERT_TRUE(rig.draw(points, broken, {}));
  for (const float v : rig.pixels()) EXPECT_EQ(v, 0.0f);
}

TEST(Commands, TrianglesFollowTheTopLeftRule) {
  Rig rig(8, 8);
  // A square whose edges run through pixel centres, split along its diagonal, drawn additively:
  // the top and left edges own their centres, the right and bottom ones do not, and no centre is
  // drawn twice.
  const PipelineId triangles = rig.pipeline(PrimitiveTopology::triangle_list, true);
  const HomVec4 a = atPixel(0.5, 0.5, 8, 8);
  const HomVec4 b = atPixel(4.5, 0.5, 8, 8);
  const HomVec4 c = atPixel(4.5, 4.5, 8, 8);
  const HomVec4 d = atPixel(0.5, 4.5, 8, 8);
  const std::array<HomVec4, 6> square{a, b, c, a, c, d};
  const std::array<float, 4> quarter{0.25f, 0.25f, 0.25f, 0.25f};
  const std::array<std::array<float, 4>, 6> colors{quarter, quarter, quarter, quarter, quarter, quarter};
  ASSERT_TRUE(rig.draw(triangles, square, colors));
  const std::vector<float> px = rig.pixels();
  for (std::size_t y = 0; y < 8; ++y) {
    for (std::size_t x = 0; x < 8; ++x) {
      EXPECT_EQ(px[(y * 8 + x) * 4], x < 4 && y < 4 ? 0.25f : 0.0f) << x << "," << y;
    }
  }

  // Quads split along a diagonal that runs through pixel centres at a slant, from ends that are
  // not exact in binary: each centre on the diagonal goes to exactly one of the two triangles.
  std::mt19937_64 rng(5);
  for (int quad = 0; quad < 40; ++quad) {
    const double x0 = 0.5 + static_cast<double>(rng() % 3);
    const double y0 = 0.5 + static_cast<double>(rng() % 3);
    const double dx = 1.0 + static_cast<double>(rng() % 2);  // the centres stay in the image
    const double dy = 1.0 + static_cast<double>(rng() % 2);
    const double reach = 0.1 + 0.01 * static_cast<double>(rng() % 9);  // beyond both centres
    const HomVec4 p = atPixel(x0 - reach * dx, y0 - reach * dy, 8, 8);
    const HomVec4 q = atPixel(x0 + (2 + reach) * dx, y0 + (2 + reach) * dy, 8, 8);
    const HomVec4 left = atPixel(x0 - 2.0, y0 + 5.0, 8, 8);
    const HomVec4 right = atPixel(x0 + 7.0, y0 - 3.0, 8, 8);
    const std::array<HomVec4, 6> halves{p, q, left, p, right, q};
    ASSERT_TRUE(rig.draw(triangles, halves, colors));
    const std::vector<float> quad_px = rig.pixels();
    for (int k = 0; k <= 2; ++k) {
      const auto x = static_cast<std::size_t>(x0 + k * dx);
      const auto y = static_cast<std::size_t>(y0 + k * dy);
      EXPECT_EQ(quad_px[(y * 8 + x) * 4], 0.25f) << "quad " << quad << ", centre " << k;
    }
    EXPECT_EQ(*std::max_element(quad_px.begin(), quad_px.end()), 0.25f) << "quad " << quad;
  }
}

TEST(Commands, AGeodesicLiesOnTheImageLineBetweenItsEnds) {
  Rig rig(64, 48);
  const renderer::OrvCamera camera = renderer::OrvCamera::makeDefault();
  rig.setView(ViewUniform::fromCamera(camera, 64, 48, 0.01, std::numbers::pi / 2));
  const PipelineId geodesics = rig.pipeline(PrimitiveTopology::geodesic_list);
  const HomVec4 a = HomVec4::init(-0.5, 0.3, -1.0, 1.0).normalize();
  const HomVec4 b = HomVec4::init(0.6, -0.4, -0.7, 0.4).normalize();
  const std::array<HomVec4, 2> ends{a, b};
  ASSERT_TRUE(rig.draw(geodesics, ends, {}));

  // The ends' image positions by the projection the device states.
  const ViewUniform view = ViewUniform::fromCamera(camera, 64, 48, 0.01, std::numbers::pi / 2);
  const auto project = [&](const HomVec4& q) {
    const double l = view.planes[0].evaluate(q), r = view.planes[1].evaluate(q);
    const double t = view.planes[2].evaluate(q), bo = view.planes[3].evaluate(q);
    return std::array<double, 2>{((l - r) / (l + r) + 1.0) * 0.5 * 64, ((t - bo) / (t + bo) + 1.0) * 0.5 * 48};
  };
  const auto pa = project(a);
  const auto pb = project(b);
  const double dx = pb[0] - pa[0];
  const double dy = pb[1] - pa[1];
  const double length = std::hypot(dx, dy);
  const std::vector<float> px = rig.pixels();
  std::size_t lit = 0;
  for (std::size_t y = 0; y < 48; ++y) {
    for (std::size_t x = 0; x < 64; ++x) {
      if (px[(y * 64 + x) * 4] == 0.0f) continue;
      ++lit;
      const double cx = static_cast<double>(x) + 0.5 - pa[0];
      const double cy = static_cast<double>(y) + 0.5 - pa[1];
      EXPECT_LE(std::abs(cx * dy - cy * dx) / length, 0.5 + 1e-9) << x << "," << y;  // in the band
      const double along = (cx * dx + cy * dy) / (length * length);
      EXPECT_TRUE(along >= -1e-9 && along <= 1 + 1e-9) << x << "," << y;
    }
  }
  EXPECT_GE(lit, static_cast<std::size_t>(std::max(std::abs(dx), std::abs(dy))));
}

TEST(Commands, EachPixelOfALineOrTriangleShowsThePointSeenThroughIt) {
  // Vertices of different w and depth: the point of a line or triangle seen through a pixel's
  // centre is not where screen-space weights would put it. Depth and colour are those of that
  // point (its colour the mix of the vertices' with its weights in four dimensions), to a few
  // float ulps, far tighter than a missing perspective step would miss by.
  Rig rig(16, 8);
  const PipelineId lines = rig.pipeline(PrimitiveTopology::line_list);
  const PipelineId triangles = rig.pipeline(PrimitiveTopology::triangle_list);
  const HomVec4 observer = HomVec4::init(0, 0, 0, 1);
  const auto scaled = [](double s, double x, double y, double z) {
    return HomVec4::init(s * x, s * y, s * z, s);
  };
  // The point s * a + t * b (+ u * c) that projects onto the image point (nx, ny) of the flat
  // view, as weights summing to 1: the weights make its x - nx * w and y - ny * w vanish.
  const auto weights = [](const std::array<HomVec4, 3>& v, double nx, double ny) {
    std::array<double, 3> r1{}, r2{};
    for (std::size_t k = 0; k < 3; ++k) {
      r1[k] = v[k].x - nx * v[k].w;
      r2[k] = v[k].y - ny * v[k].w;
    }
    std::array<double, 3> w{r1[1] * r2[2] - r1[2] * r2[1], r1[2] * r2[0] - r1[0] * r2[2],
                            r1[0] * r2[1] - r1[1] * r2[0]};
    const double sum = w[0] + w[1] + w[2];
    for (double& x : w) x /= sum;
    return w;
  };
  const std::array<std::array<float, 4>, 3> rgb{{{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}}};
  const auto check = [&](const std::array<HomVec4, 3>& v, std::size_t least) {
    const std::vector<float> px = rig.pixels();
    std::vector<float> depth(std::size_t{16} * 8);
    ASSERT_TRUE(rig.device->readImage(rig.depth, std::as_writable_bytes(std::span(depth))));
    std::size_t covered = 0;
    for (std::size_t y = 0; y < 8; ++y) {
      for (std::size_t x = 0; x < 16; ++x) {
        const std::size_t i = y * 16 + x;
        if (px[4 * i + 3] == 0.0f) continue;
        ++covered;
        const auto w = weights(v, (static_cast<double>(x) + 0.5) / 8 - 1,
                               (static_cast<double>(y) + 0.5) / 4 - 1);
        const HomVec4 q = HomVec4::init(w[0] * v[0].x + w[1] * v[1].x + w[2] * v[2].x,
                                        w[0] * v[0].y + w[1] * v[1].y + w[2] * v[2].y,
                                        w[0] * v[0].z + w[1] * v[1].z + w[2] * v[2].z,
                                        w[0] * v[0].w + w[1] * v[1].w + w[2] * v[2].w);
        EXPECT_NEAR(depth[i], renderer::fsDepth(observer, q, 0.0, std::numbers::pi / 2), 1e-6)
            << x << "," << y;
        for (std::size_t c = 0; c < 3; ++c) {
          EXPECT_NEAR(px[4 * i + c], w[0] * rgb[0][c] + w[1] * rgb[1][c] + w[2] * rgb[2][c], 1e-6)
              << x << "," << y << " channel " << c;
        }
      }
    }
    EXPECT_GE(covered, least);
  };

  // A line along the centres of row 3, from (2, 3.5) at w = 1 to (14, 3.5) at w = 3; for a line
  // the third vertex is off it, and its weight 0.
  const std::array<HomVec4, 3> line{scaled(1, -0.75, -0.125, 0.2), scaled(3, 0.75, -0.125, 0.9),
                                    scaled(1, 0, 0.5, 0)};
  ASSERT_TRUE(rig.draw(lines, std::span(line).first(2), rgb));
  check(line, 12);
  const std::array<HomVec4, 3> triangle{scaled(1, -0.9, -0.8, 0.1), scaled(2, 0.8, -0.6, 0.5),
                                        scaled(4, -0.1, 0.9, 1.2)};
  ASSERT_TRUE(rig.draw(triangles, triangle, rgb));
  check(triangle, 40);
}

TEST(Commands, ADepthCueScalesEachFragmentsColourByItsStoredDepth) {
  // A triangle and points at several depths, drawn plainly and with a cue: every pixel keeps its
  // coverage, depth and alpha, and its red, green and blue are the plain ones times the cue's
  // polynomial of 1 - depth, evaluated as written in double precision, to the bit.
  Rig rig(16, 8);
  device::PipelineOptions cued;
  cued.depth_cue = {true, {0.02, 0.125, 0.245, 0.49, 0.245}};
  const std::array<HomVec4, 3> triangle{HomVec4::init(-0.9, -0.8, 0.1, 1),
                                        HomVec4::init(1.6, -1.2, 1.0, 2),
                                        HomVec4::init(-0.4, 3.6, 4.8, 4)};
  const std::array<HomVec4, 3> points{atPixel(3, 2, 16, 8, 0.1), atPixel(8, 4, 16, 8, 0.7),
                                      atPixel(12, 6, 16, 8, 1.3)};
  const std::array<std::array<float, 4>, 3> rgb{{{1, 0.3f, 0.1f, 0.5f}, {0.2f, 1, 0.7f, 1}, {0.1f, 0.4f, 1, 0.25f}}};
  for (const auto& [topology, where] :
       {std::pair{PrimitiveTopology::triangle_list, std::span<const HomVec4>(triangle)},
        std::pair{PrimitiveTopology::point_list, std::span<const HomVec4>(points)}}) {
    ASSERT_TRUE(rig.draw(rig.pipeline(topology, false, 3.0f), where, rgb));
    const std::vector<float> plain = rig.pixels();
    ASSERT_TRUE(rig.draw(rig.pipeline(topology, false, 3.0f, cued), where, rgb));
    const std::vector<float> px = rig.pixels();
    std::vector<float> depth(std::size_t{16} * 8);
    ASSERT_TRUE(rig.device->readImage(rig.depth, std::as_writable_bytes(std::span(depth))));
    std::size_t drawn = 0;
    for (std::size_t i = 0; i < depth.size(); ++i) {
      EXPECT_EQ(px[4 * i + 3], plain[4 * i + 3]);
      if (depth[i] == 1.0f) continue;
      ++drawn;
      const auto& c = cued.depth_cue.coefficients;
      const double n = 1.0 - static_cast<double>(depth[i]);
      const double k = (((c[4] * n + c[3]) * n + c[2]) * n + c[1]) * n + c[0];
      for (std::size_t ch = 0; ch < 3; ++ch) {
        EXPECT_EQ(px[4 * i + ch], static_cast<float>(static_cast<double>(plain[4 * i + ch]) * k))
            << i << " channel " << ch;
      }
    }
    EXPECT_GE(drawn, 20u);
  }
  // Into half-float targets, lines and points included, each texel is the nearest half of the
  // float one.
  const std::array<HomVec4, 4> band{atPixel(1, 1, 16, 8, 0.2), atPixel(14, 6, 16, 8, 1.1),
                                    atPixel(2, 7, 16, 8, 0.4), atPixel(13, 0, 16, 8, 0.9)};
  const std::array<std::array<float, 4>, 4> tints{{rgb[0], rgb[1], rgb[2], {0.9f, 0.6f, 1e-5f, 1}}};
  Rig half(16, 8, 64, Format::rgba16_float);
  for (const auto& [topology, where] :
       {std::pair{PrimitiveTopology::triangle_list, std::span<const HomVec4>(triangle)},
        std::pair{PrimitiveTopology::line_list, std::span<const HomVec4>(band)},
        std::pair{PrimitiveTopology::point_list, std::span<const HomVec4>(points)}}) {
    const auto colors = std::span(tints).first(where.size());
    ASSERT_TRUE(rig.draw(rig.pipeline(topology, false, 3.0f, cued), where, colors));
    ASSERT_TRUE(half.draw(half.pipeline(topology, false, 3.0f, cued), where, colors));
    std::vector<std::uint16_t> texels(std::size_t{16} * 8 * 4);
    ASSERT_TRUE(half.device->readImage(half.color, std::as_writable_bytes(std::span(texels))));
    const std::vector<float> px = rig.pixels();
    for (std::size_t i = 0; i < px.size(); ++i) EXPECT_TRUE(isNearestHalf(px[i], texels[i])) << i;
  }
  // Coefficients that are not finite are refused; a disabled cue may hold anything.
  rhi::GraphicsPipelineDescriptor desc{};
  desc.type = rhi::PipelineType::orv_projective;
  desc.depth.fs_depth = true;
  ASSERT_TRUE(rig.device->createPipeline(desc));
  cued.depth_cue.coefficients[3] = std::numeric_limits<double>::infinity();
  EXPECT_EQ(rig.device->createPipeline(desc, cued).error().code, ErrorCode::invalid_descriptor);
  cued.depth_cue.enabled = false;
  EXPECT_TRUE(rig.device->createPipeline(desc, cued));
}

TEST(Commands, EveryPointStoresTheFloatOfItsFubiniStudyDepth) {
  // Points at every distance, close to the observer and the near limit too, of every scale (down
  // to norms the kernel takes for no point at all, at distance 0): each
  // pixel's depth is the least float(depth) of the points that land in it, as
  // ViewUniform::project gives it, to the bit.
  constexpr std::uint32_t kW = 256;
  constexpr std::uint32_t kH = 128;
  constexpr std::uint32_t kCount = 40000;
  Rig rig(kW, kH, kCount);
  renderer::OrvCamera camera = renderer::OrvCamera::makeDefault();
  camera.moveForward(0.2);
  const ViewUniform view = ViewUniform::fromCamera(camera, kW, kH, 0.01, 1.5);
  rig.setView(view);
  std::mt19937_64 rng(23);
  std::normal_distribution<double> g;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<HomVec4> points;
  const HomVec4 eye = view.observer;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    const HomVec4 dir = HomVec4::init(g(rng), g(rng), g(rng) - 2.0, g(rng));
    // A third close to the observer: within 0.05 of it, the near limit among them.
    const double near_mix = i % 3 == 0 ? 0.05 * u(rng) * u(rng) : 1.0;
    const double scale = std::ldexp(1.0, static_cast<int>(i % 121) - 60);  // 2^-60 is degenerate
    points.push_back(HomVec4::init(scale * (eye.x + near_mix * dir.x), scale * (eye.y + near_mix * dir.y),
                                   scale * (eye.z + near_mix * dir.z), scale * (eye.w + near_mix * dir.w)));
  }
  std::vector<float> expected(std::size_t{kW} * kH, 1.0f);
  std::size_t landed = 0;
  for (const HomVec4& p : points) {
    const auto at = view.project(p);
    if (!at) continue;
    const auto x = static_cast<std::size_t>(std::ceil(at->x - 1.0));  // the centre in [x - .5, x + .5)
    const auto y = static_cast<std::size_t>(std::ceil(at->y - 1.0));
    if (x >= kW || y >= kH) continue;
    ++landed;
    float& e = expected[y * kW + x];
    e = std::min(e, static_cast<float>(at->depth));
  }
  ASSERT_GT(landed, kCount / 4);
  ASSERT_TRUE(rig.draw(rig.pipeline(PrimitiveTopology::point_list), points, {}));
  std::vector<float> depth(std::size_t{kW} * kH);
  ASSERT_TRUE(rig.device->readImage(rig.depth, std::as_writable_bytes(std::span(depth))));
  EXPECT_EQ(depth, expected);
}

TEST(Commands, ManyPointsInOneDrawComeOutAsEachDrawnByItself) {
  // Points crossing the edges of the tiles the device draws them by, overlapping at equal depths
  // (where the later one wins with less_equal, and blending depends on the order too): one draw
  // of them all leaves every pixel and depth as one draw per point does, to the bit.
  constexpr std::uint32_t kW = 300;
  constexpr std::uint32_t kH = 140;
  constexpr std::uint32_t kCount = 3000;
  Rig rig(kW, kH, kCount);
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> u(-1.1, 1.1);
  std::uniform_real_distribution<float> c(0.0f, 1.0f);
  std::vector<HomVec4> points;
  std::vector<std::array<float, 4>> tints;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    // A few depths only, so that overlapping points tie.
    const double ahead = 0.1 * static_cast<double>(i % 4);
    points.push_back(HomVec4::init(u(rng), u(rng), std::tan(ahead), 1.0));
    tints.push_back({c(rng), c(rng), c(rng), c(rng)});
  }
  for (const bool blend : {false, true}) {
    const PipelineId pipe = rig.pipeline(PrimitiveTopology::point_list, blend, 7.5f);
    ASSERT_TRUE(rig.draw(pipe, points, tints));
    const std::vector<float> together = rig.pixels();
    const std::vector<float> depth_together = rig.depths();
    // One draw per point, through an index buffer holding its index alone.
    ASSERT_TRUE(rig.drawInParts(pipe, kCount, 1));
    EXPECT_EQ(rig.pixels(), together) << (blend ? "blended" : "opaque");
    EXPECT_EQ(rig.depths(), depth_together);
  }
}

TEST(Commands, OneDrawOfMorePointsThanAQueueHoldsComesOutAsItsPartsDrawnInTurn) {
  // More points than the device gathers before drawing, into a half-float target with a depth cue
  // and less_equal, among them points on the hyperplane orthogonal to the observer and points next
  // to it (which take the slow ways of placing a point and of taking its depth): one draw of them
  // all leaves every pixel and depth as draws of 997 each in turn do, whose points the device
  // takes in other groups.
  constexpr std::uint32_t kW = 256;
  constexpr std::uint32_t kH = 128;
  constexpr std::uint32_t kPart = 997;
  constexpr std::uint32_t kCount = 40000;
  Rig rig(kW, kH, kCount, Format::rgba16_float);
  std::mt19937_64 rng(29);
  std::uniform_real_distribution<double> u(-1.1, 1.1);
  std::uniform_real_distribution<float> c(0.0f, 1.0f);
  std::vector<HomVec4> points;
  std::vector<std::array<float, 4>> tints;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    if (i % 7 == 3) {
      points.push_back(HomVec4::init(i % 2 == 0 ? 0.0 : u(rng), 0.0, 1.0, 0.0));
    } else if (i % 11 == 5) {
      points.push_back(HomVec4::init(1e-7 * u(rng), 1e-7 * u(rng), 1e-7, 1.0));
    } else {
      points.push_back(HomVec4::init(u(rng), u(rng), std::tan(0.1 * static_cast<double>(i % 5)), 1.0));
    }
    tints.push_back({c(rng), c(rng), c(rng), 1.0f});
  }
  rhi::GraphicsPipelineDescriptor desc{};
  desc.type = rhi::PipelineType::orv_projective;
  desc.topology = PrimitiveTopology::point_list;
  desc.color_format = Format::rgba16_float;
  desc.depth.fs_depth = true;
  desc.depth.depth_compare = rhi::CompareOp::less_equal;
  desc.point_size = 1.5f;
  device::PipelineOptions options;
  options.depth_cue = {true, {0.2, 0.8, 0.0, 0.0, 0.0}};
  const PipelineId pipe = *rig.device->createPipeline(desc, options);
  ASSERT_TRUE(rig.draw(pipe, points, tints));
  const std::vector<float> together = rig.pixels();
  const std::vector<float> depth_together = rig.depths();
  ASSERT_TRUE(rig.drawInParts(pipe, kCount, kPart));
  EXPECT_EQ(rig.pixels(), together);
  EXPECT_EQ(rig.depths(), depth_together);
}

TEST(Commands, IndexedInstancedBlendedDrawsReadEachOperandInItsPlace) {
  // Nothing here is symmetric: the image is wider than tall, the indices skip and reorder the
  // positions, the second instance is moved, and the blend weighs the source by its alpha and the
  // background by one minus it, so width cannot pass for height, a vertex's place in the draw for
  // its position index, an instance for another, or the source for the destination.
  Rig rig(8, 4, 3);
  rhi::GraphicsPipelineDescriptor desc{};
  desc.type = rhi::PipelineType::orv_projective;
  desc.topology = PrimitiveTopology::point_list;
  desc.color_format = Format::rgba32_float;
  desc.depth.fs_depth = true;
  desc.blend_enabled = true;
  desc.src_color_factor = rhi::BlendFactor::src_alpha;
  desc.dst_color_factor = rhi::BlendFactor::one_minus_src_alpha;
  const PipelineId over = *rig.device->createPipeline(desc);
  const BufferId indices = *rig.device->createBuffer(
      {8, 4, rhi::BufferType::index, Format::r32_uint, rhi::HeapType::upload, false});
  const BufferId transforms = *rig.device->createBuffer(BufferDescriptor::initOrvTransforms(2));

  // Positions 0, 1, 2 at pixels (1, 3), (0, 2), (2, 0); the draw reads 2, then 0; instance 1 is
  // moved half the image's width (4 pixels) to the right.
  const std::array<HomVec4, 3> points{atPixel(1.5, 3.5, 8, 4), atPixel(0.5, 2.5, 8, 4),
                                      atPixel(2.5, 0.5, 8, 4)};
  const std::array<std::array<float, 4>, 3> tints{
      {{1, 0, 0, 0.25f}, {0, 1, 0, 1}, {0, 0, 1, 0.75f}}};
  const std::array<std::uint32_t, 2> order{2, 0};
  const std::array<kernel::PGL4, 2> moves{kernel::PGL4::identity(),
                                          kernel::pglTranslate(1.0, 0, 0)};
  ASSERT_TRUE(rig.device->writeBuffer(rig.colors, 0, std::as_bytes(std::span(tints))));
  ASSERT_TRUE(rig.device->writeBuffer(indices, 0, std::as_bytes(std::span(order))));
  const std::array<ImageId, 1> attachments{rig.color};
  const std::array<GpuCommand, 8> commands{{
      {GpuCommand::OrvUploadPositions{rig.positions, points}},
      {GpuCommand::OrvUploadPgl4{transforms, moves}},
      {GpuCommand::BeginPass{attachments, rig.depth}},
      {GpuCommand::Clear{rig.color, 0.5f, 0.5f, 0.5f, 0.5f, 1}},
      {over},
      {GpuCommand::BindUniform{rig.view, 0, sizeof(ViewUniform), 0}},
      {rhi::DrawCommand{over, rig.colors, indices, transforms, rig.positions, 2, 2}},
      {GpuCommand::EndPass{}},
  }};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"draw", {}, rig.targets, commands, rhi::PassType::geometry}));
  const auto ran = rig.device->execute(graph);
  ASSERT_TRUE(ran) << ran.error().message;

  // source * alpha + 0.5 * (1 - alpha), exactly, where a point is; the background elsewhere.
  const auto blended = [](const std::array<float, 4>& c) {
    std::array<float, 4> out{};
    for (std::size_t k = 0; k < 4; ++k) out[k] = c[k] * c[3] + 0.5f * (1.0f - c[3]);
    return out;
  };
  const std::vector<float> px = rig.pixels();
  for (std::size_t y = 0; y < 4; ++y) {
    for (std::size_t x = 0; x < 8; ++x) {
      std::array<float, 4> expected{0.5f, 0.5f, 0.5f, 0.5f};
      if (y == 3 && (x == 1 || x == 5)) expected = blended(tints[0]);
      if (y == 0 && (x == 2 || x == 6)) expected = blended(tints[2]);
      for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(bits(px[(y * 8 + x) * 4 + k]), bits(expected[k]))
            << x << "," << y << " channel " << k;
      }
    }
  }
}

// A wide band leaving the image at a slant is drawn up to the image's edge: it is clipped beyond
// the view by half its width, never cut square across inside. A 16-pixel arc leaves the bottom
// edge at 15 degrees; every pixel centre inside the image within its half width, past its first
// end, is drawn, and none farther off.
TEST(Commands, AWideBandLeavingTheImageAtASlantReachesTheEdge) {
  Rig rig(96, 48);
  const PipelineId arcs = rig.pipeline(PrimitiveTopology::geodesic_list, false, 16.0f);
  const double angle = 15.0 * std::numbers::pi / 180.0;
  const std::array<double, 2> start{8.0, 36.0};
  const std::array<double, 2> direction{std::cos(angle), std::sin(angle)};
  const std::array<HomVec4, 2> ends{
      atPixel(start[0], start[1], 96, 48),
      atPixel(start[0] + 120.0 * direction[0], start[1] + 120.0 * direction[1], 96, 48)};
  ASSERT_TRUE(rig.draw(arcs, ends, {}));
  const std::vector<float> px = rig.pixels();
  std::size_t missing = 0;
  std::size_t stray = 0;
  for (std::size_t y = 0; y < 48; ++y) {
    for (std::size_t x = 0; x < 96; ++x) {
      const double cx = static_cast<double>(x) + 0.5 - start[0];
      const double cy = static_cast<double>(y) + 0.5 - start[1];
      const double across = std::abs(cx * direction[1] - cy * direction[0]);
      const double along = cx * direction[0] + cy * direction[1];
      const bool lit = px[(y * 96 + x) * 4] != 0.0f;
      missing += !lit && across < 8.0 - 1e-9 && along > 1e-9 ? 1u : 0u;
      stray += lit && (across > 8.0 + 1e-9 || along < -1e-9) ? 1u : 0u;
    }
  }
  EXPECT_EQ(missing, 0u);
  EXPECT_EQ(stray, 0u);
}

TEST(Projection, LandsInsideTheImageExactlyWhenCullingKeepsThePoint) {
  // Views of cameras at and away from the origin, moved without rebuilding their frame, and
  // turned, and of an observer that moved and turned, each beside the frustum culling uses.
  std::vector<std::pair<ViewUniform, renderer::OrvFrustum>> views;
  std::vector<renderer::OrvCamera> cameras{renderer::OrvCamera::makeDefault()};
  cameras.push_back(renderer::OrvCamera::init(HomVec4::init(1, 2, 3, 1), HomVec4::init(0, 0, -1, 0),
                                              HomVec4::init(0, 1, 0, 0), 1.2, 1.5, 0.01, 1.5));
  cameras.push_back(cameras[0]);
  cameras.back().moveForward(0.8);
  cameras.back().moveRight(-0.4);
  cameras.push_back(renderer::OrvCamera::init(HomVec4::init(0.2, -0.1, 0.3, 1), HomVec4::init(1, 0.5, -0.2, 0.1),
                                              HomVec4::init(0.1, 1, 0.3, 0), 2.0, 0.7, 0.01, 1.5));
  for (const renderer::OrvCamera& camera : cameras) {
    // Far beyond pi/2, so that every point is nearer than the far limit.
    views.emplace_back(ViewUniform::fromCamera(camera, 8, 8, 0.01, 2.0),
                       renderer::OrvFrustum::fromCamera(camera));
  }
  renderer::Observer observer;
  observer.yaw(0.7);  // turned in place, still at the origin
  observer.roll(0.5);
  views.emplace_back(ViewUniform::fromObserver(observer, 1.4, 0.9, 8, 8, 0.01, 2.0),
                     observer.frustum(1.4, 0.9, 0.01, 2.0));
  observer.moveForward(1.1);
  observer.moveUp(-0.3);
  views.emplace_back(ViewUniform::fromObserver(observer, 1.4, 0.9, 8, 8, 0.01, 2.0),
                     observer.frustum(1.4, 0.9, 0.01, 2.0));

  // Each point is drawn as given, in either sign, and culled as faceObserver with the frustum
  // gives it. Every third is a point at infinity: from the observers at the origin (the first
  // camera and the turned observer) it lies on the hyperplane orthogonal to them, pi/2 away in both
  // directions, where only the view's direction ahead tells the representatives apart.
  Rig rig(8, 8, 1);
  const PipelineId big = rig.pipeline(PrimitiveTopology::point_list, false, 64.0f);
  std::mt19937_64 rng(11);
  std::normal_distribution<double> g;
  std::size_t kept = 0;
  for (const auto& [view, frustum] : views) {
    rig.setView(view);
    for (int i = 0; i < 250; ++i) {
      const std::array<double, 4> c{g(rng), g(rng), g(rng), i % 3 == 0 ? 0.0 : g(rng)};
      const double sign = rng() % 2 == 0 ? 1.0 : -1.0;
      const std::array<HomVec4, 1> point{
          HomVec4::init(sign * c[0], sign * c[1], sign * c[2], sign * c[3])};
      std::array<HomVec4, 1> faced{};
      renderer::faceObserver(frustum, point, faced);
      bool mask = false;
      renderer::frustumCull(frustum, faced, std::span(&mask, 1));
      const auto drew = rig.draw(big, point, {});
      ASSERT_TRUE(drew) << drew.error().message;
      const std::vector<float> px = rig.pixels();
      const bool drawn = std::any_of(px.begin(), px.end(), [](float v) { return v != 0.0f; });
      ASSERT_EQ(drawn, mask) << "point " << i;
      kept += mask ? 1 : 0;
    }
  }
  EXPECT_GT(kept, 300u);  // both answers were exercised
}

// A vector and its negation on that hyperplane are one point: every primitive with corners there
// draws the same pixels whichever sign they are given. From the origin those are the points at
// infinity: ahead in view, given as its negation behind, and beside the line of sight.
TEST(Projection, PrimitivesWithCornersOnTheHyperplaneOrthogonalToTheObserverDrawAlikeInEitherSign) {
  Rig rig(32, 24);
  rig.setView(ViewUniform::fromCamera(renderer::OrvCamera::makeDefault(), 32, 24, 0.01, 2.0));
  const HomVec4 near = HomVec4::init(0, 0, -1, 1);                  // finite, at the centre
  const HomVec4 sky = HomVec4::init(0.25, -0.125, -1, 0);           // at infinity, in view
  const HomVec4 behind = HomVec4::init(0.375, 0.125, 1, 0);         // its negation is in view
  const HomVec4 beside = HomVec4::init(1, 0.25, 0, 0);              // l + r = 0
  const HomVec4 square_to_sky = HomVec4::init(0.5, 1, 0, 0);        // pi/2 from sky
  struct Case {
    PrimitiveTopology topology;
    std::vector<HomVec4> corners;
  };
  const std::array<Case, 4> cases{{
      {PrimitiveTopology::point_list, {sky, behind}},
      {PrimitiveTopology::line_list, {near, sky, near, behind, near, beside}},
      {PrimitiveTopology::geodesic_list, {sky, behind, near, beside, sky, square_to_sky}},
      {PrimitiveTopology::triangle_list, {near, sky, behind, near, behind, beside}},
  }};
  for (const Case& c : cases) {
    const PipelineId pipeline = rig.pipeline(c.topology, false, 3.0f);
    std::vector<HomVec4> negated = c.corners;
    for (HomVec4& v : negated) {
      if (v.w == 0.0) v = HomVec4::init(-v.x, -v.y, -v.z, -v.w);
    }
    ASSERT_TRUE(rig.draw(pipeline, c.corners, {}));
    const std::vector<float> given = rig.pixels();
    ASSERT_TRUE(rig.draw(pipeline, negated, {}));
    const std::vector<float> flipped = rig.pixels();
    std::size_t lit = 0;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < given.size(); ++i) {
      lit += given[i] != 0.0f ? 1u : 0u;
      differing += bits(given[i]) != bits(flipped[i]) ? 1u : 0u;
    }
    EXPECT_GT(lit, 0u) << "topology " << static_cast<int>(c.topology);
    EXPECT_EQ(differing, 0u) << "topology " << static_cast<int>(c.topology);
  }
}

// --- boundaries ------------------------------------------------------------------------------------

TEST(Boundaries, ValuesAtTheirLimitsAndPointsOnTheViewsPlanesAreInside) {
  rhi::DeviceLimits limits{};
  limits.max_buffer_size = 4096;
  limits.max_image_dimension_2d = 8;
  limits.max_uniform_range = 256;
  limits.max_uniform_bindings = 2;
  limits.max_vertex_stride = 16;
  limits.max_draw_vertices = 5;
  auto dev = cpu(limits);
  const auto code = [](const auto& result) {
    return result ? std::optional<ErrorCode>() : result.error().code;
  };
  const auto vertexBuffer = [](std::uint64_t size, std::uint64_t stride) {
    return BufferDescriptor{size, stride, rhi::BufferType::vertex, Format::rgba32_float,
                            rhi::HeapType::upload, false};
  };
  const auto target2D = [](std::uint32_t w, std::uint32_t h) {
    return ImageDescriptor::init2D(Format::rgba32_float, w, h, ImageUsage::color_target);
  };
  // Descriptors at a limit pass (`value()` throws where they do not), one beyond it do not.
  EXPECT_EQ(code(dev->createBuffer(BufferDescriptor::initUniform(4097))), ErrorCode::limit_exceeded);
  EXPECT_EQ(code(dev->createBuffer(vertexBuffer(64, 32))), ErrorCode::limit_exceeded);
  EXPECT_EQ(code(dev->createImage(target2D(9, 8))), ErrorCode::limit_exceeded);
  EXPECT_EQ(code(dev->createImage(target2D(8, 9))), ErrorCode::limit_exceeded);
  const ImageId color = dev->createImage(target2D(8, 8)).value();
  const BufferId view = dev->createBuffer(BufferDescriptor::initUniform(4096)).value();
  const BufferId colors = dev->createBuffer(vertexBuffer(80, 16)).value();
  ASSERT_TRUE(dev->writeBuffer(view, 0, asBytes(flatView(8, 8))));

  // A graph at every limit at once: a uniform range of max_uniform_range at the last binding, a
  // vertex buffer bound at its very end, index and colour buffers exactly full, max_draw_vertices,
  // arcs through every position of their buffer (black on black: they leave no trace).
  const BufferId positions = *dev->createBuffer(BufferDescriptor::initOrvPositions(5));
  const BufferId indices = *dev->createBuffer(
      {20, 4, rhi::BufferType::index, Format::r32_uint, rhi::HeapType::upload, false});
  rhi::GraphicsPipelineDescriptor desc{};
  desc.type = rhi::PipelineType::orv_projective;
  desc.topology = PrimitiveTopology::point_list;
  desc.color_format = Format::rgba32_float;
  desc.depth_format = Format::undefined;
  desc.depth = {false, false, rhi::CompareOp::less, true};
  desc.point_size = 2.0f;
  const PipelineId points = *dev->createPipeline(desc);

  // One point on each side plane of the view (its plane value exactly 0) is inside and covers the
  // pixels its square reaches; one just beyond the left plane is not, though its square would.
  const double beyond = std::nextafter(-1.0, -2.0);
  const std::array<HomVec4, 5> on_planes{
      HomVec4::init(-1, 0, 0, 1),       // left, at (0, 4): column 0, rows 3 and 4
      HomVec4::init(1, -0.5, 0, 1),     // right, at (8, 2): column 7, rows 1 and 2
      HomVec4::init(0.25, -1, 0, 1),    // top, at (5, 0): columns 4 and 5, row 0
      HomVec4::init(-0.5, 1, 0, 1),     // bottom, at (2, 8): columns 1 and 2, row 7
      HomVec4::init(beyond, 0.5, 0, 1)  // beyond the left plane, at (0, 6)
  };
  const std::array<std::uint32_t, 5> order{4, 3, 2, 1, 0};
  const std::vector<std::array<float, 4>> white(5, {1, 1, 1, 1});
  ASSERT_TRUE(dev->writeBuffer(positions, 0, std::as_bytes(std::span(on_planes))));
  ASSERT_TRUE(dev->writeBuffer(indices, 0, std::as_bytes(std::span(order))));
  ASSERT_TRUE(dev->writeBuffer(colors, 0, std::as_bytes(std::span(white))));
  const std::array<ImageId, 1> target{color};
  const auto run = [&](std::uint32_t binding) {
    const std::array<GpuCommand, 8> commands{{
        {GpuCommand::BeginPass{target, std::nullopt}},
        {points},
        {GpuCommand::BindUniform{view, 0, 256, 0}},
        {GpuCommand::BindUniform{view, 0, 256, binding}},
        {GpuCommand::BindVertexBuffer{colors, 80}},
        {GpuCommand::OrvRenderGeodesics{positions, 5, 0, 0, 0}},
        {rhi::DrawCommand{points, colors, indices, kNone, positions, 5, 1}},
        {GpuCommand::EndPass{}},
    }};
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    EXPECT_TRUE(graph.addPass({"edges", {}, target, commands, rhi::PassType::geometry}));
    return dev->execute(graph);
  };
  EXPECT_EQ(code(run(2)), ErrorCode::limit_exceeded);  // one binding beyond the last
  const auto ran = run(1);
  ASSERT_TRUE(ran) << ran.error().message;
  std::array<std::array<float, 4>, 64> px{};
  ASSERT_TRUE(dev->readImage(color, std::as_writable_bytes(std::span(px))));
  const std::array<std::pair<int, int>, 8> lit{
      {{0, 3}, {0, 4}, {7, 1}, {7, 2}, {4, 0}, {5, 0}, {1, 7}, {2, 7}}};
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      const bool expected = std::find(lit.begin(), lit.end(), std::pair{x, y}) != lit.end();
      EXPECT_EQ(px[static_cast<std::size_t>(y * 8 + x)][0], expected ? 1.0f : 0.0f)
          << x << "," << y;
    }
  }
}

// --- validation -------------------------------------------------------------------------------------

TEST(Validation, EachBadGraphIsRefusedWithNothingExecuted) {
  rhi::DeviceLimits limits{};
  limits.max_color_attachments = 1;
  limits.max_uniform_range = 4096;
  limits.max_draw_vertices = 8;
  auto dev = cpu(limits);
  const ImageId color = *dev->createImage(ImageDescriptor::initOrvRenderTarget(4, 4));
  const ImageId depth = *dev->createImage(
      ImageDescriptor::init2D(Format::depth32_float, 4, 4, ImageUsage::depth_target));
  const ImageId low = *dev->createImage(ImageDescriptor::initOrvRenderTarget(4, 2));
  const ImageId narrow = *dev->createImage(ImageDescriptor::initOrvRenderTarget(2, 4));
  const ImageId sampled = *dev->createImage(
      ImageDescriptor::init2D(Format::rgba16_float, 4, 4, ImageUsage::sampled));
  // Views at offsets 0 (of the render pass's 4x4), 256 (of 8x4), 512 (a NaN), 768 (never
  // written) and 1024 (of 4x8).
  const BufferId view = *dev->createBuffer(BufferDescriptor::initUniform(1280));
  ViewUniform not_a_number = flatView(4, 4);
  not_a_number.planes[2].c = std::numeric_limits<double>::quiet_NaN();
  for (const auto& [offset, v] : {std::pair{0u, flatView(4, 4)}, {256u, flatView(8, 4)},
                                  {512u, not_a_number}, {1024u, flatView(4, 8)}}) {
    ASSERT_TRUE(dev->writeBuffer(view, offset, asBytes(v)));
  }
  const BufferId positions = *dev->createBuffer(BufferDescriptor::initOrvPositions(2));
  const BufferId stale = *dev->createBuffer(BufferDescriptor::initOrvPositions(2));
  ASSERT_TRUE(dev->destroy(stale));
  rhi::GraphicsPipelineDescriptor desc{};
  desc.type = rhi::PipelineType::orv_projective;
  desc.topology = PrimitiveTopology::point_list;
  desc.depth.fs_depth = true;
  const PipelineId pipe = *dev->createPipeline(desc);
  auto other = cpu();  // a handle of another device that names nothing here
  for (int i = 0; i < 8; ++i) (void)other->createBuffer(BufferDescriptor::initOrvPositions(2));
  const BufferId foreign = *other->createBuffer(BufferDescriptor::initOrvPositions(2));

  const std::array<HomVec4, 2> two{HomVec4::init(0, 0, -1, 1), HomVec4::init(0, 0, -2, 1)};
  const std::array<HomVec4, 3> three{};
  const std::array<ImageId, 1> target{color};
  const std::array<ImageId, 1> lower{low};
  const std::array<ImageId, 1> narrower{narrow};
  const std::array<ImageId, 1> unrenderable{sampled};
  const std::array<ImageId, 2> both{color, low};
  const std::array<ImageId, 4> writes{color, depth, low, narrow};
  const std::array<ImageId, 1> only_depth{depth};
  const GpuCommand begin{GpuCommand::BeginPass{target, depth}};
  const GpuCommand bind{pipe};
  const GpuCommand uniform{GpuCommand::BindUniform{view, 0, sizeof(ViewUniform), 0}};
  const GpuCommand draw{rhi::DrawCommand{pipe, kNone, kNone, kNone, positions, 2, 1}};
  const GpuCommand end{GpuCommand::EndPass{}};
  const auto viewAt = [&](std::uint64_t offset) {
    return GpuCommand{GpuCommand::BindUniform{view, offset, sizeof(ViewUniform), 0}};
  };

  struct Case {
    const char* what;
    std::vector<GpuCommand> commands;
    std::span<const ImageId> writes;
    ErrorCode code;
    std::uint32_t command;
  };
  const std::vector<Case> cases{
      {"stale handle", {begin, bind, uniform,
                        {rhi::DrawCommand{pipe, kNone, kNone, kNone, stale, 2, 1}}, end},
       writes, ErrorCode::invalid_handle, 3},
      {"another device's handle", {{GpuCommand::OrvUploadPositions{foreign, two}}}, writes,
       ErrorCode::invalid_handle, 0},
      {"draw outside a pass", {bind, uniform, draw}, writes, ErrorCode::invalid_command, 2},
      {"unended pass", {begin, bind}, writes, ErrorCode::invalid_command, 0},
      {"end without begin", {end}, writes, ErrorCode::invalid_command, 0},
      {"nested passes", {begin, begin}, writes, ErrorCode::invalid_command, 1},
      {"attachments of different heights", {{GpuCommand::BeginPass{lower, depth}}, end}, writes,
       ErrorCode::invalid_command, 0},
      {"attachments of different widths", {{GpuCommand::BeginPass{narrower, depth}}, end}, writes,
       ErrorCode::invalid_command, 0},
      {"too many attachments", {{GpuCommand::BeginPass{both, std::nullopt}}, end}, writes,
       ErrorCode::limit_exceeded, 0},
      {"attachment not in writes", {begin, end}, only_depth, ErrorCode::invalid_command, 0},
      {"attachment without color_target", {{GpuCommand::BeginPass{unrenderable, std::nullopt}}, end},
       unrenderable, ErrorCode::invalid_command, 0},
      {"no pipeline bound", {begin, uniform, draw, end}, writes, ErrorCode::invalid_command, 2},
      {"no view bound", {begin, bind, draw, end}, writes, ErrorCode::invalid_command, 2},
      {"misaligned uniform", {{GpuCommand::BindUniform{view, 8, 192, 0}}}, writes,
       ErrorCode::invalid_command, 0},
      {"uniform range beyond the limit", {{GpuCommand::BindUniform{view, 0, 8192, 0}}}, writes,
       ErrorCode::limit_exceeded, 0},
      {"uniform range overflowing 64 bits",
       {{GpuCommand::BindUniform{view, 0xffff'ffff'ffff'ff00u, 512, 0}}}, writes,
       ErrorCode::invalid_command, 0},
      {"upload larger than its buffer", {{GpuCommand::OrvUploadPositions{positions, three}}}, writes,
       ErrorCode::invalid_command, 0},
      {"upload inside a render pass", {begin, {GpuCommand::OrvUploadPositions{positions, two}}, end},
       writes, ErrorCode::invalid_command, 1},
      {"draw reading beyond its positions", {begin, bind, uniform,
                                             {rhi::DrawCommand{pipe, kNone, kNone, kNone, positions, 3, 1}},
                                             end},
       writes, ErrorCode::invalid_command, 3},
      {"instances beyond max_draw_vertices", {begin, bind, uniform,
                                              {rhi::DrawCommand{pipe, kNone, kNone, kNone, positions, 2, 5}},
                                              end},
       writes, ErrorCode::limit_exceeded, 3},
      {"distances beyond the buffers", {{GpuCommand::OrvComputeFsDistance{positions, positions, view, 3}}},
       writes, ErrorCode::invalid_command, 0},
      {"view of another width", {begin, bind, viewAt(256), draw, end}, writes,
       ErrorCode::invalid_command, 3},
      {"view of another height", {begin, bind, viewAt(1024), draw, end}, writes,
       ErrorCode::invalid_command, 3},
      {"view with a NaN", {begin, bind, viewAt(512), draw, end}, writes,
       ErrorCode::invalid_command, 3},
      {"view never written", {begin, bind, viewAt(768), draw, end}, writes,
       ErrorCode::invalid_command, 3},
      // Were a graph able to write a uniform buffer, checking its view before the graph runs
      // would not be enough.
      {"upload into the view's buffer", {{GpuCommand::OrvUploadPositions{view, two}}}, writes,
       ErrorCode::invalid_command, 0},
      {"dispatch", {{rhi::DispatchCommand{PipelineId::compute(1), 1, 1, 1}}}, writes,
       ErrorCode::unsupported, 0},
  };
  const std::array<GpuCommand, 2> first{{{GpuCommand::OrvUploadPositions{positions, two}},
                                         {GpuCommand::Clear{color, 1, 1, 1, 1, 1}}}};
  const std::array<ImageId, 1> first_writes{color};
  const auto run = [&](std::span<const GpuCommand> commands, std::span<const ImageId> pass_writes) {
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    EXPECT_TRUE(graph.addPass({"prepare", {}, first_writes, first, rhi::PassType::clear}));
    EXPECT_TRUE(graph.addPass({"bad \"one\"", {}, pass_writes, commands, rhi::PassType::geometry}));
    return dev->execute(graph);
  };
  for (const Case& c : cases) {
    const auto result = run(c.commands, c.writes);
    ASSERT_FALSE(result) << c.what;
    EXPECT_EQ(result.error().code, c.code) << c.what << ": " << result.error().message;
    EXPECT_EQ(result.error().pass, 1u) << c.what;
    EXPECT_EQ(result.error().command, c.command) << c.what << ": " << result.error().message;
    EXPECT_EQ(result.error().message.rfind("pass 1 \"bad \\\"one\\\"\"", 0), 0u)
        << result.error().message;
    EXPECT_EQ(result.error().message.find('\n'), std::string::npos);

    // The first pass, good as it is, did not run either.
    std::array<HomVec4, 2> stored{};
    ASSERT_TRUE(dev->readBuffer(positions, 0, std::as_writable_bytes(std::span(stored))));
    EXPECT_EQ(stored[0].z, 0.0) << c.what;
    std::array<std::uint16_t, 64> texels{};
    ASSERT_TRUE(dev->readImage(color, std::as_writable_bytes(std::span(texels))));
    EXPECT_EQ(texels[0], 0) << c.what;
  }
  // The same scaffolding around a good pass runs, its draw at max_draw_vertices.
  const std::array<GpuCommand, 5> good{
      begin, bind, uniform, {rhi::DrawCommand{pipe, kNone, kNone, kNone, positions, 2, 4}}, end};
  const auto result = run(good, writes);
  ASSERT_TRUE(result) << result.error().message;
}

TEST(Graphviz, PassesAndImagesAreNodesReadsAndWritesAreEdges) {
  const std::array<ImageId, 1> color{ImageId{1, 1}};
  const std::array<ImageId, 1> depth{ImageId{2, 3}};
  const std::array<GpuCommand, 2> commands{{{GpuCommand::EndPass{}}, {GpuCommand::EndPass{}}}};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"clear", {}, color, std::span(commands).first(1), rhi::PassType::clear}));
  ASSERT_TRUE(graph.addPass({"st\"ars", depth, color, commands, rhi::PassType::geometry}));
  const std::string dot = device::toDot(graph);
  EXPECT_EQ(dot.rfind("digraph", 0), 0u);
  for (const char* part : {"pass0 [shape=box, label=\"0: clear\\nclear, 1 command\"]",
                           "pass1 [shape=box, label=\"1: st\\\"ars\\ngeometry, 2 commands\"]",
                           "image_1_1 [shape=ellipse", "pass0 -> image_1_1", "image_2_3 -> pass1",
                           "pass1 -> image_1_1", "pass0 -> pass1 [style=dotted"}) {
    EXPECT_NE(dot.find(part), std::string::npos) << part << "\n" << dot;
  }
}

}  // namespace
