#include "orv/rhi.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "support/counting_resource.hpp"

namespace {

using namespace orv::rhi;
using orv::testing::CountingResource;

// --- Formats and descriptors -------------------------------------------------------------------

TEST(Format, EveryValueHasItsTableSizeAndProjectiveFlag) {
  struct Row {
    Format format;
    std::uint8_t value;
    std::uint32_t bytes;
    bool orv;
  };
  constexpr std::array<Row, 21> table{{
      {Format::undefined, 0, 0, false},
      {Format::r8_unorm, 1, 1, false},
      {Format::rg8_unorm, 2, 2, false},
      {Format::rgba8_unorm, 3, 4, false},
      {Format::rgba8_srgb, 4, 4, false},
      {Format::r16_float, 5, 2, false},
      {Format::rg16_float, 6, 4, false},
      {Format::rgba16_float, 7, 8, false},
      {Format::r32_float, 8, 4, false},
      {Format::rg32_float, 9, 8, false},
      {Format::rgb32_float, 10, 12, false},
      {Format::rgba32_float, 11, 16, false},
      {Format::r32_uint, 12, 4, false},
      {Format::rg32_uint, 13, 8, false},
      {Format::rgba32_uint, 14, 16, false},
      {Format::depth16_unorm, 15, 2, false},
      {Format::depth24_unorm_stencil8_uint, 16, 4, false},
      {Format::depth32_float, 17, 4, false},
      {Format::depth32_float_stencil8_uint, 18, 8, false},
      {Format::homvec4_f64, 19, 32, true},
      {Format::pgl4_f64, 20, 128, true},
  }};
  static_assert(sizeof(Format) == 1);
  for (const Row& row : table) {
    EXPECT_EQ(static_cast<std::uint8_t>(row.format), row.value);
    EXPECT_EQ(size(row.format), row.bytes) << int{row.value};
    EXPECT_EQ(isOrv(row.format), row.orv) << int{row.value};
  }
  static_assert(size(Format::rgba32_float) == 16 && isOrv(Format::pgl4_f64));
}

TEST(BufferDescriptor, ConstructorsFillEveryField) {
  constexpr BufferDescriptor positions = BufferDescriptor::initOrvPositions(1000);
  static_assert(positions.size == 32000 && positions.stride == 32);
  EXPECT_EQ(positions.type, BufferType::orv_positions);
  EXPECT_EQ(positions.format, Format::homvec4_f64);
  EXPECT_EQ(positions.heap, HeapType::device_local);
  EXPECT_TRUE(positions.dynamic);
  EXPECT_EQ(positions.stride, size(positions.format));

  constexpr BufferDescriptor transforms = BufferDescriptor::initOrvTransforms(100);
  EXPECT_EQ(transforms.size, 12800u);
  EXPECT_EQ(transforms.stride, 128u);
  EXPECT_EQ(transforms.type, BufferType::orv_transforms);
  EXPECT_EQ(transforms.format, Format::pgl4_f64);
  EXPECT_EQ(transforms.heap, HeapType::device_local);
  EXPECT_TRUE(transforms.dynamic);

  constexpr BufferDescriptor uniform = BufferDescriptor::initUniform(256);
  EXPECT_EQ(uniform.size, 256u);
  EXPECT_EQ(uniform.stride, 0u);
  EXPECT_EQ(uniform.type, BufferType::uniform);
  EXPECT_EQ(uniform.format, Format::undefined);
  EXPECT_EQ(uniform.heap, HeapType::upload);
  EXPECT_TRUE(uniform.dynamic);
  EXPECT_EQ(BufferDescriptor::initUniform(UINT64_MAX).size, UINT64_MAX);
}

TEST(BufferDescriptor, ProjectiveSizesAreTrueIn64Bits) {
  EXPECT_EQ(BufferDescriptor::initOrvPositions(0).size, 0u);
  EXPECT_EQ(BufferDescriptor::initOrvPositions(0).stride, 32u);
  EXPECT_EQ(BufferDescriptor::initOrvPositions(134'217'727).size, 4'294'967'264u);
  EXPECT_EQ(BufferDescriptor::initOrvTransforms(33'554'431).size, 4'294'967'168u);
  // Beyond the 32-bit range a 32-bit product would wrap to 0 or to a small buffer.
  EXPECT_EQ(BufferDescriptor::initOrvPositions(134'217'728).size, 4'294'967'296u);
  EXPECT_EQ(BufferDescriptor::initOrvPositions(UINT32_MAX).size, 137'438'953'440u);
  EXPECT_EQ(BufferDescriptor::initOrvTransforms(33'554'432).size, 4'294'967'296u);
  EXPECT_EQ(BufferDescriptor::initOrvTransforms(UINT32_MAX).size, 549'755'813'760u);
}

TEST(ImageDescriptor, ConstructorsFillEveryField) {
  constexpr ImageDescriptor target = ImageDescriptor::initOrvRenderTarget(1920, 1080);
  EXPECT_EQ(target.width, 1920u);
  EXPECT_EQ(target.height, 1080u);
  EXPECT_EQ(target.depth, 1u);
  EXPECT_EQ(target.mip_levels, 1u);
  EXPECT_EQ(target.array_layers, 1u);
  EXPECT_EQ(target.dimension, ImageDimension::dim_2d);
  EXPECT_EQ(target.format, Format::rgba16_float);
  const auto usage = static_cast<std::uint8_t>(target.usage);
  EXPECT_EQ(usage, 0x95);
  EXPECT_TRUE((usage & (1u << 4)) && (usage & (1u << 7)));
  EXPECT_TRUE(hasAll(target.usage, ImageUsage::color_target | ImageUsage::orv_projective));
  EXPECT_FALSE(hasAll(target.usage, ImageUsage::depth_target));

  constexpr ImageDescriptor plain = ImageDescriptor::init2D(
      Format::depth32_float, 640, 480, ImageUsage::depth_target | ImageUsage::orv_fs_depth);
  EXPECT_EQ(plain.width, 640u);
  EXPECT_EQ(plain.height, 480u);
  EXPECT_EQ(plain.depth, 1u);
  EXPECT_EQ(plain.mip_levels, 1u);
  EXPECT_EQ(plain.array_layers, 1u);
  EXPECT_EQ(plain.dimension, ImageDimension::dim_2d);
  EXPECT_EQ(plain.format, Format::depth32_float);
  EXPECT_EQ(static_cast<std::uint8_t>(plain.usage), 0x60);
  static_assert(sizeof(ImageUsage) == 1 && static_cast<int>(ImageDimension::cube) == 3);
}

// --- Handles and state -------------------------------------------------------------------------

TEST(Handles, AreDistinctTypesWithTheirValidityRules) {
  static_assert(!std::is_convertible_v<BufferId, ImageId> && !std::is_convertible_v<ImageId, BufferId>);
  constexpr ImageId invalid = ImageId::invalid();
  static_assert(invalid.id == 0 && invalid.generation == 0);
  EXPECT_EQ(invalid, (ImageId{0, 0}));
  EXPECT_NE(invalid, (ImageId{0, 1}));

  for (const auto make : {&PipelineId::graphics, &PipelineId::compute, &PipelineId::orvProjective}) {
    EXPECT_TRUE(make(1).isValid());
    EXPECT_TRUE(make(UINT64_MAX).isValid());
    EXPECT_FALSE(make(0).isValid());
  }
  EXPECT_EQ(PipelineId::graphics(3).tag, PipelineType::graphics);
  EXPECT_EQ(PipelineId::compute(3).tag, PipelineType::compute);
  EXPECT_EQ(PipelineId::orvProjective(3).tag, PipelineType::orv_projective);
  EXPECT_NE(PipelineId::graphics(3), PipelineId::compute(3));
  static_assert(static_cast<int>(PipelineType::orv_projective) == 2);
  static_assert(static_cast<int>(PrimitiveTopology::geodesic_list) == 5);
  static_assert(static_cast<int>(BlendFactor::one_minus_src_alpha) == 3);
  static_assert(static_cast<int>(CompareOp::always) == 7 && static_cast<int>(CompareOp::greater) == 4);
}

TEST(DepthState, DefaultsAndTheFubiniStudyConfiguration) {
  DepthState state{};
  EXPECT_TRUE(state.depth_test);
  EXPECT_TRUE(state.depth_write);
  EXPECT_EQ(state.depth_compare, CompareOp::less);
  EXPECT_FALSE(state.fs_depth);
  state.fs_depth = true;
  EXPECT_EQ(state, (DepthState{true, true, CompareOp::less, true}));

  constexpr GraphicsPipelineDescriptor pipeline{};
  EXPECT_EQ(pipeline.depth, DepthState{});
  EXPECT_EQ(pipeline.color_format, ImageDescriptor::initOrvRenderTarget(1, 1).format);
  constexpr DeviceLimits limits{};
  EXPECT_GE(limits.max_buffer_size, BufferDescriptor::initOrvPositions(1'000'000).size);
  EXPECT_GE(limits.max_vertex_stride, size(Format::pgl4_f64));
}

// --- GPU commands ------------------------------------------------------------------------------

TEST(GpuCommand, VariantIndexIsTheTag) {
  const std::array<ImageId, 2> targets{ImageId{1, 1}, ImageId{2, 1}};
  const std::array<PGL4, 1> transforms{PGL4::identity()};
  const std::array<HomVec4, 3> points{};
  const std::array<GpuCommand, 12> commands{{
      {GpuCommand::Clear{ImageId::invalid(), 0, 0, 0, 1, 1}},
      {GpuCommand::BeginPass{targets, std::nullopt}},
      {GpuCommand::EndPass{}},
      {PipelineId::orvProjective(4)},
      {GpuCommand::BindVertexBuffer{BufferId{1, 0}, 64}},
      {GpuCommand::BindUniform{BufferId{2, 0}, 0, 256, 3}},
      {DrawCommand{PipelineId::graphics(1), {}, {}, {}, {}, 36, 1}},
      {DispatchCommand{PipelineId::compute(2), 8, 4, 1}},
      {GpuCommand::OrvUploadPgl4{BufferId{1, 1}, transforms}},
      {GpuCommand::OrvUploadPositions{BufferId{3, 1}, points}},
      {GpuCommand::OrvComputeFsDistance{BufferId{3, 1}, BufferId{4, 1}, BufferId{5, 1}, 3}},
      {GpuCommand::OrvRenderGeodesics{BufferId{3, 1}, 3, 1.0f, 0.5f, 0.25f}},
  }};
  for (std::size_t i = 0; i < commands.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(commands[i].tag()), i);
  }
  EXPECT_EQ(commands[0].tag(), GpuCommand::Tag::clear);
  EXPECT_EQ(commands[8].tag(), GpuCommand::Tag::orv_upload_pgl4);
  EXPECT_EQ(commands[11].tag(), GpuCommand::Tag::orv_render_geodesics);
  static_assert(sizeof(GpuCommand::Tag) == 1);

  // Payloads borrow the caller's arrays.
  const auto& upload = std::get<GpuCommand::OrvUploadPgl4>(commands[8].payload);
  EXPECT_EQ(upload.transforms.data(), transforms.data());
  EXPECT_EQ(upload.buffer, (BufferId{1, 1}));
  const auto& begin = std::get<GpuCommand::BeginPass>(commands[1].payload);
  EXPECT_EQ(begin.color_attachments.data(), targets.data());
  EXPECT_FALSE(begin.depth_attachment.has_value());
  EXPECT_EQ(std::get<GpuCommand::OrvUploadPositions>(commands[9].payload).positions.size(), 3u);
  EXPECT_EQ(std::get<PipelineId>(commands[3].payload), PipelineId::orvProjective(4));
}

// --- Frame graph -------------------------------------------------------------------------------

FramePass namedPass(std::string_view name, PassType type) { return {name, {}, {}, {}, type}; }

TEST(FrameGraph, KeepsPassesInOrderAndCountsFrames) {
  CountingResource resource;
  {
    FrameGraph graph(resource);
    EXPECT_EQ(graph.passCount(), 0u);
    EXPECT_EQ(graph.frameIndex(), 0u);
    EXPECT_EQ(resource.allocations(), 0u);

    const std::array<ImageId, 1> reads{ImageId{7, 1}};
    const std::array<GpuCommand, 1> commands{{{GpuCommand::EndPass{}}}};
    const std::string name = "geodesic_pass";
    ASSERT_TRUE(graph.addPass(namedPass("clear_pass", PassType::clear)).has_value());
    ASSERT_TRUE(graph.addPass({name, reads, {}, commands, PassType::orv_geodesic}).has_value());
    EXPECT_EQ(graph.passCount(), 2u);
    graph.advanceFrame();
    EXPECT_EQ(graph.frameIndex(), 1u);
    EXPECT_EQ(graph.passCount(), 2u);

    const auto passes = graph.passes();
    EXPECT_EQ(passes[0].name, "clear_pass");
    EXPECT_EQ(passes[0].pass_type, PassType::clear);
    EXPECT_EQ(passes[1].pass_type, PassType::orv_geodesic);
    // The graph copies the record, never what it points to.
    EXPECT_EQ(passes[1].name.data(), name.data());
    EXPECT_EQ(passes[1].reads.data(), reads.data());
    EXPECT_EQ(passes[1].commands.data(), commands.data());
  }
  EXPECT_EQ(resource.bytesInUse(), 0u);
  EXPECT_EQ(resource.blocksInUse(), 0u);
  EXPECT_EQ(resource.mismatchedReleases(), 0u);
}

std::vector<std::size_t> bytesFor(std::initializer_list<std::size_t> capacities) {
  std::vector<std::size_t> bytes;
  for (const std::size_t c : capacities) bytes.push_back(c * sizeof(FramePass));
  return bytes;
}

TEST(FrameGraph, GrowsByHalfPlusOneMovingOrResizingInPlace) {
  // A resource that cannot resize: every growth allocates, copies and releases the old block.
  CountingResource moving;
  {
    FrameGraph graph(moving);
    std::vector<std::size_t> capacities;
    for (int i = 0; i < 12; ++i) {
      ASSERT_TRUE(graph.addPass(namedPass("p", PassType::geometry)).has_value());
      if (capacities.empty() || capacities.back() != graph.capacity()) capacities.push_back(graph.capacity());
    }
    EXPECT_EQ(capacities, (std::vector<std::size_t>{1, 2, 4, 7, 11, 17}));
    EXPECT_EQ(moving.allocationSizes(), bytesFor({1, 2, 4, 7, 11, 17}));
    EXPECT_EQ(moving.blocksInUse(), 1u);
    EXPECT_EQ(moving.deallocations(), 5u);
  }
  EXPECT_EQ(moving.bytesInUse(), 0u);

  // A resource that resizes in place up to 4096 bytes: one allocation, then resizes, then a move
  // once the block is exhausted.
  CountingResource growing(4096);
  {
    FrameGraph graph(growing);
    std::vector<std::string> names;
    for (int i = 0; i < 45; ++i) names.push_back("pass " + std::to_string(i));
    for (const std::string& n : names) ASSERT_TRUE(graph.addPass(namedPass(n, PassType::ui)).has_value());
    EXPECT_EQ(growing.resizeSizes(), bytesFor({2, 4, 7, 11, 17, 26, 40}));
    ASSERT_GT(61 * sizeof(FramePass), 4096u);
    EXPECT_EQ(growing.allocationSizes(), bytesFor({1, 61}));
    EXPECT_EQ(graph.capacity(), 61u);
    for (std::size_t i = 0; i < names.size(); ++i) ASSERT_EQ(graph.passes()[i].name, names[i]);
  }
  EXPECT_EQ(growing.bytesInUse(), 0u);
  EXPECT_EQ(growing.mismatchedReleases(), 0u);
}

// Each addPass below gets the graph's own last pass while the array is full, so the argument lives
// in the block that growth releases: it must be read before that.
TEST(FrameGraph, AddsACopyOfOneOfItsOwnPasses) {
  CountingResource resource;
  FrameGraph graph(resource);
  const std::array<ImageId, 1> reads{ImageId{3, 1}};
  ASSERT_TRUE(graph.addPass({"first", reads, {}, {}, PassType::geometry}));
  for (int i = 0; i < 11; ++i) ASSERT_TRUE(graph.addPass(graph.passes()[graph.passCount() - 1]));
  EXPECT_EQ(graph.capacity(), 17u);
  for (const FramePass& pass : graph.passes()) {
    EXPECT_EQ(pass.name, "first");
    EXPECT_EQ(pass.reads.data(), reads.data());
    EXPECT_EQ(pass.pass_type, PassType::geometry);
  }
}

TEST(FrameGraph, RefusedMemoryLeavesTheGraphAsItWas) {
  constexpr int kPasses = 20;
  for (const std::size_t reserve : {std::size_t{0}, std::size_t{512}}) {
    std::size_t requests = 0;  // allocation requests of a run where nothing fails
    {
      CountingResource clean(reserve);
      FrameGraph graph(clean);
      for (int i = 0; i < kPasses; ++i) ASSERT_TRUE(graph.addPass(namedPass("p", PassType::ui)));
      requests = clean.allocations();
    }
    ASSERT_GE(requests, 4u);
    for (std::size_t k = 1; k <= requests; ++k) {
      CountingResource resource(reserve);
      resource.failAllocation(k);
      {
        FrameGraph graph(resource);
        std::size_t added = 0;
        for (int i = 0; i < kPasses; ++i) {
          const auto before = graph.passes();
          const std::size_t capacity = graph.capacity();
          const auto result = graph.addPass(namedPass("p", PassType::lighting));
          if (result) {
            ++added;
            continue;
          }
          EXPECT_EQ(result.error(), orv::Error::OutOfMemory);
          EXPECT_EQ(graph.passCount(), added);
          EXPECT_EQ(graph.capacity(), capacity);
          EXPECT_EQ(graph.passes().data(), before.data());
        }
        // Exactly one request failed, so exactly one pass is missing.
        EXPECT_EQ(added, kPasses - 1u) << "reserve " << reserve << ", failing request " << k;
      }
      EXPECT_EQ(resource.bytesInUse(), 0u);
      EXPECT_EQ(resource.mismatchedReleases(), 0u);
    }
  }

  CountingResource empty;
  empty.failEverything();
  FrameGraph graph(empty);
  EXPECT_EQ(graph.addPass(namedPass("p", PassType::clear)).error(), orv::Error::OutOfMemory);
  EXPECT_EQ(graph.passCount(), 0u);
  EXPECT_EQ(graph.capacity(), 0u);
}

TEST(FrameGraph, MovesTakeOverStorageAndResource) {
  CountingResource first;
  CountingResource second;
  {
    FrameGraph a(first);
    ASSERT_TRUE(a.addPass(namedPass("one", PassType::clear)).has_value());
    a.advanceFrame();
    FrameGraph b(std::move(a));
    EXPECT_EQ(b.passCount(), 1u);
    EXPECT_EQ(b.frameIndex(), 1u);
    EXPECT_EQ(&b.resource(), &first);
    EXPECT_EQ(a.passCount(), 0u);  // NOLINT(bugprone-use-after-move): moved-from is empty

    FrameGraph c(second);
    ASSERT_TRUE(c.addPass(namedPass("two", PassType::ui)).has_value());
    c = std::move(b);
    EXPECT_EQ(second.bytesInUse(), 0u);  // c released its own storage first
    EXPECT_EQ(&c.resource(), &first);
    EXPECT_EQ(c.passes()[0].name, "one");
  }
  EXPECT_EQ(first.bytesInUse(), 0u);
  EXPECT_EQ(first.mismatchedReleases(), 0u);
  EXPECT_EQ(second.mismatchedReleases(), 0u);
}

// --- Fault injection -----------------------------------------------------------------------------

// A long run of additions with frames in between, where the resource refuses its k-th request.
// Every k from 1 on is tried until a run asks for fewer than k blocks: after each refusal the graph
// must hold exactly what it held before, with the same storage and the bytes of that storage only;
// the refused pass is then added again, so every run ends with the same passes, and when the
// graph is gone every byte is back.
TEST(FrameGraphFaults, EveryRefusedRequestOfALongRunLeavesTheGraphAsItWas) {
  constexpr std::size_t kPasses = 3000;
  const std::string_view names = "abcdefghijklmnopqrstuvwxyz";
  const std::array<ImageId, 3> images{ImageId{1, 0}, ImageId{2, 0}, ImageId{3, 1}};
  const auto passAt = [&](std::size_t i) {
    return FramePass{names.substr(i % names.size(), 1 + i % 5), std::span(images).first(i % 4),
                     std::span(images).last(i % 3), {}, static_cast<PassType>(i % 9)};
  };
  const auto samePass = [](const FramePass& a, const FramePass& b) {
    return a.name.data() == b.name.data() && a.name.size() == b.name.size() &&
           a.reads.data() == b.reads.data() && a.reads.size() == b.reads.size() &&
           a.writes.data() == b.writes.data() && a.writes.size() == b.writes.size() &&
           a.pass_type == b.pass_type;
  };

  // Without resizing in place every growth is a request; with it only the first and those past
  // the reserve are.
  std::size_t failure_points = 0;
  for (const std::size_t reserve : {std::size_t{0}, std::size_t{4096}}) {
    bool refused_in_run = true;
    for (std::size_t k = 1; refused_in_run; ++k) {
      CountingResource resource(reserve);
      resource.failAllocation(k);
      refused_in_run = false;
      {
        FrameGraph graph(resource);
        std::uint64_t frames = 0;
        for (std::size_t i = 0; i < kPasses; ++i) {
          const FramePass pass = passAt(i);
          const std::size_t capacity = graph.capacity();
          const FramePass* storage = graph.passes().data();
          const auto result = graph.addPass(pass);
          if (!result) {
            ASSERT_FALSE(refused_in_run) << "only one request is refused";
            refused_in_run = true;
            EXPECT_EQ(result.error(), orv::Error::OutOfMemory);
            ASSERT_EQ(graph.passCount(), i);
            ASSERT_EQ(graph.capacity(), capacity);
            ASSERT_EQ(graph.passes().data(), storage);
            ASSERT_EQ(graph.frameIndex(), frames);
            ASSERT_EQ(resource.bytesInUse(), capacity * sizeof(FramePass));
            for (std::size_t j = 0; j < i; ++j) ASSERT_TRUE(samePass(graph.passes()[j], passAt(j))) << j;
            ASSERT_TRUE(graph.addPass(pass).has_value()) << "the resource refuses only once";
          }
          ASSERT_EQ(resource.bytesInUse(), graph.capacity() * sizeof(FramePass));
          if (i % 7 == 0) {
            graph.advanceFrame();
            ++frames;
          }
        }
        ASSERT_EQ(graph.passCount(), kPasses);
        ASSERT_EQ(graph.frameIndex(), frames);
        for (std::size_t j = 0; j < kPasses; ++j) ASSERT_TRUE(samePass(graph.passes()[j], passAt(j))) << j;
      }
      EXPECT_EQ(resource.bytesInUse(), 0u) << "reserve " << reserve << ", request " << k;
      EXPECT_EQ(resource.blocksInUse(), 0u);
      EXPECT_EQ(resource.mismatchedReleases(), 0u);
      if (refused_in_run) ++failure_points;
    }
  }
  // 3000 passes need about 18 growths without the reserve, and a handful with it.
  EXPECT_GE(failure_points, 20u);
  RecordProperty("failure_points", static_cast<int>(failure_points));
}

}  // namespace
