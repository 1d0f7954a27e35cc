// Fuzzes the CPU device with random frame graphs. The input makes resources (some descriptors
// refused), fills them with any bytes (NaN, infinite and huge coordinates, indices out of range,
// nonsense views), destroys some, and records passes whose commands name live, destroyed, forged
// and foreign handles, with counts and offsets of any size. Whatever the graph, executing it must
// either run or be refused with a well-formed Failure that changed nothing; a graph with a fault
// the generator knows it put there must be refused. Crashes, hangs and sanitizer findings fail.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_input.hpp"
#include "orv/device.hpp"

namespace {

using namespace orv;
using fuzz::FuzzInput;
using fuzz::require;
using rhi::BufferId;
using rhi::GpuCommand;
using rhi::ImageId;
using rhi::PipelineId;

constexpr std::size_t kMaxPasses = 4;
constexpr std::size_t kMaxCommands = 12;

// Small limits keep every run fast: no buffer beyond 16 KiB, no image beyond 48 x 48.
rhi::DeviceLimits smallLimits() {
  rhi::DeviceLimits limits{};
  limits.max_buffer_size = 16384;
  limits.max_image_dimension_2d = 48;
  limits.max_color_attachments = 2;
  return limits;
}

struct Pools {
  std::vector<BufferId> buffers;  // live
  std::vector<std::size_t> buffer_bytes;
  std::vector<ImageId> images;
  std::vector<std::size_t> image_bytes;
  std::vector<PipelineId> pipelines;
  std::vector<BufferId> dead_buffers;  // destroyed or forged: never live here
  std::vector<ImageId> dead_images;
  std::vector<PipelineId> dead_pipelines;
};

// A handle from the pools: live, none, or (setting `bad`) one that names nothing live.
template <class Id>
Id pick(FuzzInput& in, const std::vector<Id>& live, const std::vector<Id>& dead, bool& bad) {
  const std::size_t choice = in.below(8);
  if (choice == 0 && !dead.empty()) {
    bad = true;
    return dead[in.below(dead.size())];
  }
  if (choice == 1 || live.empty()) return Id{};
  return live[in.below(live.size())];
}

rhi::BufferDescriptor bufferDescriptor(FuzzInput& in) {
  const auto count = static_cast<std::uint32_t>(in.below(64) == 0 ? in.word() : in.below(300));
  switch (in.below(7)) {
    case 0: return rhi::BufferDescriptor::initOrvPositions(count);
    case 1: return rhi::BufferDescriptor::initOrvTransforms(count % 40);
    case 2: return rhi::BufferDescriptor::initUniform(in.below(2) == 0 ? 512 : in.word() % 20000);
    case 3: return {std::uint64_t{count} * 4, 4, rhi::BufferType::index, rhi::Format::r32_uint,
                    rhi::HeapType::upload, false};
    case 4: return {std::uint64_t{count} * 16, 16, rhi::BufferType::vertex,
                    rhi::Format::rgba32_float, rhi::HeapType::upload, false};
    case 5: return {std::uint64_t{count} * 8, 8, rhi::BufferType::storage, rhi::Format::undefined,
                    rhi::HeapType::readback, false};
    default: {  // anything at all, enumerators out of range included
      return {in.word() % 20000, in.word() % 300, static_cast<rhi::BufferType>(in.byte()),
              static_cast<rhi::Format>(in.byte()), static_cast<rhi::HeapType>(in.byte()),
              in.below(2) == 0};
    }
  }
}

rhi::ImageDescriptor imageDescriptor(FuzzInput& in) {
  constexpr std::array<rhi::Format, 5> kFormats{rhi::Format::rgba16_float, rhi::Format::rgba8_unorm,
                                                rhi::Format::rgba32_float, rhi::Format::depth32_float,
                                                rhi::Format::r8_unorm};
  const auto side = [&] { return static_cast<std::uint32_t>(in.below(8) == 0 ? in.word() : 1 + in.below(40)); };
  const std::uint32_t width = side();
  const std::uint32_t height = in.below(4) == 0 ? side() : width;
  const rhi::Format format = kFormats[in.below(kFormats.size())];
  auto usage = static_cast<rhi::ImageUsage>(in.byte());
  if (in.below(2) == 0) {
    usage = format == rhi::Format::depth32_float ? rhi::ImageUsage::depth_target
                                                 : rhi::ORV_RENDER_TARGET_USAGE;
  }
  return rhi::ImageDescriptor::init2D(format, width, height, usage);
}

rhi::GraphicsPipelineDescriptor pipelineDescriptor(FuzzInput& in) {
  rhi::GraphicsPipelineDescriptor d{};
  d.type = in.below(8) == 0 ? static_cast<rhi::PipelineType>(in.byte()) : rhi::PipelineType::orv_projective;
  d.topology = static_cast<rhi::PrimitiveTopology>(in.below(7));
  d.color_format = in.below(4) == 0 ? rhi::Format::rgba8_unorm : rhi::Format::rgba16_float;
  d.depth_format = in.below(4) == 0 ? rhi::Format::undefined : rhi::Format::depth32_float;
  d.depth.depth_test = in.below(4) != 0;
  d.depth.depth_write = in.below(2) == 0;
  d.depth.depth_compare = static_cast<rhi::CompareOp>(in.below(8));
  d.depth.fs_depth = in.below(8) != 0;
  d.blend_enabled = in.below(2) == 0;
  d.src_color_factor = static_cast<rhi::BlendFactor>(in.below(4));
  d.dst_color_factor = static_cast<rhi::BlendFactor>(in.below(4));
  d.sample_count = in.below(8) == 0 ? static_cast<std::uint32_t>(in.byte()) : 1;
  d.point_size = static_cast<float>(in.number());
  d.line_width = static_cast<float>(in.number());
  return d;
}

// A point of the scene: mostly modest coordinates, sometimes any double at all.
kernel::HomVec4 scenePoint(FuzzInput& in) {
  if (in.below(8) == 0) return in.point();
  const auto coordinate = [&] { return (static_cast<double>(in.byte()) - 127.5) / 64.0; };
  const double x = coordinate();
  const double y = coordinate();
  const double z = coordinate();
  const double w = coordinate();
  return kernel::HomVec4::init(x, y, z, w);
}

// Resources made valid on purpose, so that most graphs get past the checks into the rasteriser.
struct Kit {
  ImageId color{};
  ImageId depth{};
  BufferId view{};
  BufferId positions{};
  BufferId colors{};
  BufferId indices{};
  BufferId transforms{};
  BufferId results{};
  std::vector<PipelineId> pipelines;
  std::size_t image_bytes = 0;  // of the colour image; the depth image holds 4 bytes a texel
  std::size_t texels = 0;
  std::uint32_t position_count = 0;
  std::uint32_t index_count = 0;
  std::uint32_t transform_count = 0;
};

template <class T>
T made(const device::Result<T>& result) {
  require(result.has_value(), "a resource of the kit is made");
  return *result;
}

Kit makeKit(FuzzInput& in, device::Device& dev) {
  Kit kit;
  constexpr std::array<rhi::Format, 3> kColors{rhi::Format::rgba16_float, rhi::Format::rgba8_unorm,
                                               rhi::Format::rgba32_float};
  const rhi::Format format = kColors[in.below(kColors.size())];
  const auto width = static_cast<std::uint32_t>(1 + in.below(32));
  const auto height = static_cast<std::uint32_t>(1 + in.below(32));
  kit.color = made(dev.createImage(
      rhi::ImageDescriptor::init2D(format, width, height, rhi::ORV_RENDER_TARGET_USAGE)));
  kit.depth = made(dev.createImage(rhi::ImageDescriptor::init2D(
      rhi::Format::depth32_float, width, height, rhi::ImageUsage::depth_target)));
  kit.texels = std::size_t{width} * height;
  kit.image_bytes = kit.texels * rhi::size(format);

  // The view: an observer somewhere, looking some way, or nonsense.
  kit.view = made(dev.createBuffer(rhi::BufferDescriptor::initUniform(512)));
  device::ViewUniform view{};
  if (in.below(8) == 0) {
    std::array<double, sizeof(view) / 8> raw{};
    for (double& v : raw) v = in.number();
    std::memcpy(&view, raw.data(), sizeof view);
  } else {
    renderer::Observer observer;
    for (std::size_t k = in.below(4); k > 0; --k) {
      observer.moveForward(in.number());
      observer.yaw(static_cast<double>(in.byte()) / 40.0);
      observer.roll(static_cast<double>(in.byte()) / 40.0);
    }
    const auto angle = [&] { return in.below(8) == 0 ? in.number() : 0.2 + static_cast<double>(in.byte()) / 90.0; };
    view = device::ViewUniform::fromObserver(observer, angle(), angle(), width, height,
                                             in.below(4) == 0 ? in.number() : 0.01,
                                             in.below(4) == 0 ? in.number() : 2.0);
  }
  require(dev.writeBuffer(kit.view, 0, std::as_bytes(std::span(&view, 1))).has_value(), "the view is written");

  kit.position_count = static_cast<std::uint32_t>(1 + in.below(200));
  std::vector<kernel::HomVec4> points(kit.position_count);
  for (kernel::HomVec4& q : points) q = scenePoint(in);
  kit.positions = made(dev.createBuffer(rhi::BufferDescriptor::initOrvPositions(kit.position_count)));
  require(dev.writeBuffer(kit.positions, 0, std::as_bytes(std::span(points))).has_value(), "positions are written");

  std::vector<std::array<float, 4>> colors(kit.position_count);
  for (auto& c : colors) {
    for (float& v : c) v = in.below(16) == 0 ? static_cast<float>(in.number()) : static_cast<float>(in.byte()) / 255.0f;
  }
  kit.colors = made(dev.createBuffer({std::uint64_t{kit.position_count} * 16, 16, rhi::BufferType::vertex,
                                      rhi::Format::rgba32_float, rhi::HeapType::upload, true}));
  require(dev.writeBuffer(kit.colors, 0, std::as_bytes(std::span(colors))).has_value(), "colours are written");

  kit.index_count = static_cast<std::uint32_t>(1 + in.below(200));
  std::vector<std::uint32_t> indices(kit.index_count);
  for (std::uint32_t& i : indices) i = static_cast<std::uint32_t>(in.below(kit.position_count + 4));
  kit.indices = made(dev.createBuffer({std::uint64_t{kit.index_count} * 4, 4, rhi::BufferType::index,
                                       rhi::Format::r32_uint, rhi::HeapType::upload, false}));
  require(dev.writeBuffer(kit.indices, 0, std::as_bytes(std::span(indices))).has_value(), "indices are written");

  kit.transform_count = static_cast<std::uint32_t>(1 + in.below(4));
  std::vector<kernel::PGL4> transforms(kit.transform_count);
  for (kernel::PGL4& m : transforms) {
    m = in.below(4) == 0 ? in.matrix()
                         : kernel::pglRotate(static_cast<kernel::RotationPlane>(in.below(6)), in.number());
  }
  kit.transforms = made(dev.createBuffer(rhi::BufferDescriptor::initOrvTransforms(kit.transform_count)));
  require(dev.writeBuffer(kit.transforms, 0, std::as_bytes(std::span(transforms))).has_value(), "transforms are written");
  kit.results = made(dev.createBuffer({std::uint64_t{kit.position_count} * 8, 8, rhi::BufferType::storage,
                                       rhi::Format::undefined, rhi::HeapType::readback, false}));

  for (std::size_t t = 0; t < 6; ++t) {
    rhi::GraphicsPipelineDescriptor d{};
    d.type = rhi::PipelineType::orv_projective;
    d.topology = static_cast<rhi::PrimitiveTopology>(t);
    d.color_format = format;
    d.depth.depth_test = in.below(4) != 0;
    d.depth.depth_write = in.below(2) == 0;
    d.depth.depth_compare = static_cast<rhi::CompareOp>(in.below(8));
    d.depth.fs_depth = true;
    d.blend_enabled = in.below(2) == 0;
    d.src_color_factor = static_cast<rhi::BlendFactor>(in.below(4));
    d.dst_color_factor = static_cast<rhi::BlendFactor>(in.below(4));
    d.point_size = 0.25f + static_cast<float>(in.below(32)) / 4.0f;
    d.line_width = 0.25f + static_cast<float>(in.below(16)) / 4.0f;
    kit.pipelines.push_back(made(dev.createPipeline(d)));
  }
  return kit;
}

// Everything the device holds, to check that a refused graph changed nothing.
std::vector<std::byte> snapshot(device::Device& dev, const Pools& pools) {
  std::vector<std::byte> all;
  for (std::size_t i = 0; i < pools.buffers.size(); ++i) {
    std::vector<std::byte> bytes(pools.buffer_bytes[i]);
    require(dev.readBuffer(pools.buffers[i], 0, bytes).has_value(), "a live buffer reads back");
    all.insert(all.end(), bytes.begin(), bytes.end());
  }
  for (std::size_t i = 0; i < pools.images.size(); ++i) {
    std::vector<std::byte> bytes(pools.image_bytes[i]);
    require(dev.readImage(pools.images[i], bytes).has_value(), "a live image reads back");
    all.insert(all.end(), bytes.begin(), bytes.end());
  }
  return all;
}

// Records a render pass as a renderer would: clear, then draws and geodesics with the kit's
// pipelines and view, counts mostly within the kit's buffers. Now and then a dead handle stands in
// for a live one, which makes the graph one that must be refused.
void wellFormedPass(FuzzInput& in, const Kit& kit, const Pools& pools,
                    std::vector<GpuCommand>& list, std::deque<std::vector<ImageId>>& lists,
                    bool& bad) {
  const auto maybeDead = [&](BufferId id) {
    if (in.below(32) != 0 || pools.dead_buffers.empty()) return id;
    bad = true;
    return pools.dead_buffers[in.below(pools.dead_buffers.size())];
  };
  const auto count = [&](std::uint32_t limit) {
    return in.below(16) == 0 ? static_cast<std::uint32_t>(in.word())
                             : static_cast<std::uint32_t>(in.below(limit + 1));
  };
  if (in.below(4) == 0) {
    list.push_back({GpuCommand::OrvComputeFsDistance{kit.positions, maybeDead(kit.positions),
                                                     kit.results, count(kit.position_count)}});
  }
  std::vector<ImageId>& colors = lists.emplace_back(std::vector<ImageId>{kit.color});
  list.push_back({GpuCommand::BeginPass{colors, kit.depth}});
  if (in.below(2) == 0) {
    list.push_back({GpuCommand::Clear{in.below(4) == 0 ? ImageId::invalid() : kit.color,
                                      static_cast<float>(in.byte()) / 255.0f, 0.5f, 0.25f, 1.0f,
                                      static_cast<float>(in.byte()) / 255.0f}});
  }
  for (std::size_t k = 1 + in.below(3); k > 0; --k) {
    const PipelineId pipeline = kit.pipelines[in.below(kit.pipelines.size())];
    list.push_back({pipeline});
    list.push_back({GpuCommand::BindUniform{kit.view, 0, sizeof(device::ViewUniform), 0}});
    if (in.below(3) == 0) list.push_back({GpuCommand::BindVertexBuffer{kit.colors, 0}});
    if (in.below(4) == 0) {
      list.push_back({GpuCommand::OrvRenderGeodesics{maybeDead(kit.positions),
                                                     count(kit.position_count), 1.0f, 0.5f, 0.25f}});
      continue;
    }
    const bool indexed = in.below(2) == 0;
    const bool moved = in.below(2) == 0;
    const BufferId colors_of = in.below(2) == 0 ? maybeDead(kit.colors) : BufferId{};
    const BufferId index = indexed ? maybeDead(kit.indices) : BufferId{};
    const BufferId transform = moved ? maybeDead(kit.transforms) : BufferId{};
    const BufferId position = maybeDead(kit.positions);
    const std::uint32_t vertices = count(indexed ? kit.index_count : kit.position_count);
    // Instances without a transform buffer each draw everything again: keep them few.
    const std::uint32_t instances =
        moved ? count(kit.transform_count) : static_cast<std::uint32_t>(in.below(3));
    list.push_back({rhi::DrawCommand{pipeline, colors_of, index, transform, position, vertices,
                                     instances}});
  }
  list.push_back({GpuCommand::EndPass{}});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(std::span(data, size));
  auto device_made = device::makeCpuDevice(smallLimits());
  require(device_made.has_value(), "the CPU device is made");
  device::Device& dev = **device_made;
  auto other = device::makeCpuDevice(smallLimits());
  require(other.has_value(), "a second CPU device is made");

  const Kit kit = makeKit(in, dev);
  Pools pools;
  pools.images = {kit.color, kit.depth};
  pools.image_bytes = {kit.image_bytes, 4 * kit.texels};
  pools.buffers = {kit.view, kit.positions, kit.colors, kit.indices, kit.transforms, kit.results};
  pools.buffer_bytes = {512, std::size_t{kit.position_count} * 32, std::size_t{kit.position_count} * 16,
                        std::size_t{kit.index_count} * 4, std::size_t{kit.transform_count} * 128,
                        std::size_t{kit.position_count} * 8};
  pools.pipelines = kit.pipelines;

  // More resources from any descriptor, some refused; one of them destroyed again.
  for (std::size_t r = in.below(6); r > 0; --r) {
    switch (in.below(3)) {
      case 0: {
        const rhi::BufferDescriptor desc = bufferDescriptor(in);
        if (auto b = dev.createBuffer(desc)) {
          pools.buffers.push_back(*b);
          pools.buffer_bytes.push_back(static_cast<std::size_t>(desc.size));
          std::vector<std::uint8_t> bytes(static_cast<std::size_t>(desc.size));
          for (std::uint8_t& byte : bytes) byte = in.byte();
          require(dev.writeBuffer(*b, 0, std::as_bytes(std::span(bytes))).has_value(), "a new buffer is written");
        } else {
          require(!b.error().message.empty() && b.error().pass == UINT32_MAX, "a refusal says why");
        }
        break;
      }
      case 1: {
        const rhi::ImageDescriptor desc = imageDescriptor(in);
        if (auto i = dev.createImage(desc)) {
          pools.images.push_back(*i);
          pools.image_bytes.push_back(std::size_t{desc.width} * desc.height * rhi::size(desc.format));
        }
        break;
      }
      default:
        if (auto p = dev.createPipeline(pipelineDescriptor(in))) pools.pipelines.push_back(*p);
        break;
    }
  }
  if (pools.buffers.size() > 6 && in.below(2) == 0) {
    const BufferId gone = pools.buffers.back();
    require(dev.destroy(gone).has_value(), "a live buffer is destroyed");
    require(!dev.destroy(gone).has_value(), "a destroyed buffer is refused");
    pools.dead_buffers.push_back(gone);
    pools.buffers.pop_back();
    pools.buffer_bytes.pop_back();
  }
  // Forged handles, beyond any id this device gave out, a pipeline number of another kind, and a
  // buffer of the other device whose id names nothing here.
  pools.dead_buffers.push_back(BufferId{1000 + in.below(8), 1});
  pools.dead_images.push_back(ImageId{2000, static_cast<std::uint32_t>(in.below(3))});
  pools.dead_pipelines.push_back(PipelineId::compute(1));
  pools.dead_pipelines.push_back(PipelineId::orvProjective(0xffff'0000'0000'0001u));
  for (std::size_t k = 0; k < 40; ++k) (void)(*other)->createBuffer(rhi::BufferDescriptor::initOrvPositions(1));
  if (auto far = (*other)->createBuffer(rhi::BufferDescriptor::initOrvPositions(1))) {
    pools.dead_buffers.push_back(*far);
  }

  // The graph: passes recorded as a renderer would, or commands of any kind in any order.
  std::vector<std::vector<GpuCommand>> commands(kMaxPasses);
  std::deque<std::vector<ImageId>> lists;  // stays put as it grows
  std::vector<kernel::HomVec4> positions(in.below(300));
  for (kernel::HomVec4& p : positions) p = scenePoint(in);
  std::vector<kernel::PGL4> transforms(in.below(6));
  for (kernel::PGL4& m : transforms) m = in.matrix();
  bool bad = false;  // a fault the device must refuse
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  const std::size_t passes = 1 + in.below(kMaxPasses);
  for (std::size_t p = 0; p < passes; ++p) {
    std::vector<GpuCommand>& list = commands[p];
    std::vector<ImageId>& writes = lists.emplace_back();
    std::vector<ImageId>& reads = lists.emplace_back();
    if (in.below(4) != 0) {
      writes = {kit.color, kit.depth};
      if (in.below(4) == 0) list.push_back({GpuCommand::OrvUploadPositions{kit.positions, positions}});
      wellFormedPass(in, kit, pools, list, lists, bad);
    } else {
      for (std::size_t k = in.below(4); k > 0; --k) writes.push_back(pick(in, pools.images, pools.dead_images, bad));
      if (in.below(4) == 0) reads.push_back(pick(in, pools.images, pools.dead_images, bad));
      for (std::size_t c = in.below(kMaxCommands + 1); c > 0; --c) {
        const auto buffer = [&] { return pick(in, pools.buffers, pools.dead_buffers, bad); };
        const auto image = [&] { return pick(in, pools.images, pools.dead_images, bad); };
        const auto small = [&] { return static_cast<std::uint32_t>(in.below(16) == 0 ? in.word() : in.below(300)); };
        switch (in.below(12)) {
          case 0: list.push_back({GpuCommand::Clear{image(), static_cast<float>(in.number()), 0.5f, 0.25f, 1.0f,
                                                    static_cast<float>(in.number())}}); break;
          case 1: {
            std::vector<ImageId>& colors = lists.emplace_back();
            for (std::size_t k = in.below(3); k > 0; --k) colors.push_back(image());
            std::optional<ImageId> depth;
            if (in.below(2) == 0) depth = image();
            list.push_back({GpuCommand::BeginPass{colors, depth}});
            break;
          }
          case 2: list.push_back({GpuCommand::EndPass{}}); break;
          case 3: list.push_back({pick(in, pools.pipelines, pools.dead_pipelines, bad)}); break;
          case 4: list.push_back({GpuCommand::BindVertexBuffer{buffer(), in.below(4) * 16}}); break;
          case 5: list.push_back({GpuCommand::BindUniform{buffer(), in.below(3) * 256, 1 + in.word() % 600,
                                                          static_cast<std::uint32_t>(in.below(3))}}); break;
          case 6: {
            const BufferId vertex = buffer();
            const BufferId index = buffer();
            const BufferId transform = buffer();
            const BufferId position = buffer();
            list.push_back({rhi::DrawCommand{pick(in, pools.pipelines, pools.dead_pipelines, bad), vertex,
                                             index, transform, position, small(),
                                             static_cast<std::uint32_t>(in.below(4))}});
            break;
          }
          case 7:
            bad = true;  // devices make no compute pipelines
            list.push_back({rhi::DispatchCommand{PipelineId::compute(in.below(3)), 1, 1, 1}});
            break;
          case 8: list.push_back({GpuCommand::OrvUploadPgl4{buffer(), transforms}}); break;
          case 9: list.push_back({GpuCommand::OrvUploadPositions{buffer(), positions}}); break;
          case 10: list.push_back({GpuCommand::OrvComputeFsDistance{buffer(), buffer(), buffer(), small()}}); break;
          default: list.push_back({GpuCommand::OrvRenderGeodesics{buffer(), small(), 1.0f, 0.5f,
                                                                   static_cast<float>(in.number())}}); break;
        }
      }
    }
    constexpr std::string_view kNames = "upload clear \"stars\" geo\ndesics";
    const std::size_t from = in.below(kNames.size());
    require(graph.addPass({kNames.substr(from, in.below(kNames.size() - from + 1)), reads, writes,
                           list, static_cast<rhi::PassType>(in.below(10))})
                .has_value(),
            "passes are added");
  }

  const std::vector<std::byte> before = snapshot(dev, pools);
  const auto result = dev.execute(graph);
  if (!result) {
    const device::Failure& f = result.error();
    require(f.code != device::ErrorCode::out_of_memory && f.code != device::ErrorCode::device_lost,
            "a graph is refused for what it holds");
    require(f.pass < graph.passCount(), "a refusal names its pass");
    require(f.command == UINT32_MAX || f.command < graph.passes()[f.pass].commands.size(),
            "a refusal names a command of that pass");
    require(!f.message.empty() && f.message.find('\n') == std::string::npos,
            "a refusal says why on one line");
    require(snapshot(dev, pools) == before, "a refused graph changes nothing");
  } else {
    require(!bad, "a graph with a dead handle or a dispatch is refused");
  }
  return 0;
}
