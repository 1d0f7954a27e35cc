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
  std::vector<ImageId> images;
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

// Fills a buffer with bytes from the input: coordinates for position and transform buffers, a
// view that may or may not make sense for uniform buffers, anything for the rest.
void fill(FuzzInput& in, device::Device& dev, BufferId id, std::size_t bytes) {
  std::vector<double> values((bytes + 7) / 8);
  for (double& v : values) v = in.number();
  if (in.below(2) == 0) {  // indices, colours and sizes: small integers read as any type
    auto* words = reinterpret_cast<std::uint32_t*>(values.data());
    for (std::size_t i = 0; i < bytes / 4; ++i) words[i] = static_cast<std::uint32_t>(in.below(64));
  }
  if (bytes >= sizeof(device::ViewUniform) && in.below(2) == 0) {
    const device::ViewUniform view = device::ViewUniform::fromObserver(
        renderer::Observer{}, in.number(), in.number(), static_cast<std::uint32_t>(in.below(64)),
        static_cast<std::uint32_t>(in.below(64)), in.number(), in.number());
    std::memcpy(values.data(), &view, sizeof view);
  }
  (void)dev.writeBuffer(id, 0, std::as_bytes(std::span(values)).first(bytes));
}

// Everything the device holds, to check that a refused graph changed nothing.
std::vector<std::byte> snapshot(device::Device& dev, const Pools& pools,
                                const std::vector<std::size_t>& buffer_bytes,
                                const std::vector<std::size_t>& image_bytes) {
  std::vector<std::byte> all;
  for (std::size_t i = 0; i < pools.buffers.size(); ++i) {
    std::vector<std::byte> b(buffer_bytes[i]);
    require(dev.readBuffer(pools.buffers[i], 0, b).has_value(), "a live buffer reads back");
    all.insert(all.end(), b.begin(), b.end());
  }
  for (std::size_t i = 0; i < pools.images.size(); ++i) {
    std::vector<std::byte> b(image_bytes[i]);
    require(dev.readImage(pools.images[i], b).has_value(), "a live image reads back");
    all.insert(all.end(), b.begin(), b.end());
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(std::span(data, size));
  auto made = device::makeCpuDevice(smallLimits());
  require(made.has_value(), "the CPU device is made");
  device::Device& dev = **made;
  auto other = device::makeCpuDevice(smallLimits());
  require(other.has_value(), "a second CPU device is made");

  // Resources, some refused, some destroyed again.
  Pools pools;
  std::vector<std::size_t> buffer_bytes;
  std::vector<std::size_t> image_bytes;
  const std::size_t resources = in.below(16);
  for (std::size_t r = 0; r < resources; ++r) {
    switch (in.below(3)) {
      case 0: {
        const rhi::BufferDescriptor desc = bufferDescriptor(in);
        if (auto b = dev.createBuffer(desc)) {
          pools.buffers.push_back(*b);
          buffer_bytes.push_back(static_cast<std::size_t>(desc.size));
          fill(in, dev, *b, buffer_bytes.back());
        } else {
          require(!b.error().message.empty() && b.error().pass == UINT32_MAX, "a refusal says why");
        }
        break;
      }
      case 1: {
        const rhi::ImageDescriptor desc = imageDescriptor(in);
        if (auto i = dev.createImage(desc)) {
          pools.images.push_back(*i);
          image_bytes.push_back(std::size_t{desc.width} * desc.height * rhi::size(desc.format));
        }
        break;
      }
      default:
        if (auto p = dev.createPipeline(pipelineDescriptor(in))) pools.pipelines.push_back(*p);
        break;
    }
  }
  if (!pools.buffers.empty() && in.below(3) == 0) {
    const std::size_t k = in.below(pools.buffers.size());
    require(dev.destroy(pools.buffers[k]).has_value(), "a live buffer is destroyed");
    require(!dev.destroy(pools.buffers[k]).has_value(), "a destroyed buffer is refused");
    pools.dead_buffers.push_back(pools.buffers[k]);
    pools.buffers.erase(pools.buffers.begin() + static_cast<std::ptrdiff_t>(k));
    buffer_bytes.erase(buffer_bytes.begin() + static_cast<std::ptrdiff_t>(k));
  }
  if (!pools.images.empty() && in.below(4) == 0) {
    const std::size_t k = in.below(pools.images.size());
    require(dev.destroy(pools.images[k]).has_value(), "a live image is destroyed");
    pools.dead_images.push_back(pools.images[k]);
    pools.images.erase(pools.images.begin() + static_cast<std::ptrdiff_t>(k));
    image_bytes.erase(image_bytes.begin() + static_cast<std::ptrdiff_t>(k));
  }
  // Forged handles, beyond any id this device gave out, and a pipeline number of another kind.
  pools.dead_buffers.push_back(BufferId{1000 + in.below(8), 1});
  pools.dead_images.push_back(ImageId{2000, static_cast<std::uint32_t>(in.below(3))});
  pools.dead_pipelines.push_back(PipelineId::compute(1));
  pools.dead_pipelines.push_back(PipelineId::orvProjective(0xffff'0000'0000'0001u));
  if (auto foreign = (*other)->createBuffer(rhi::BufferDescriptor::initOrvPositions(4))) {
    for (std::size_t k = 0; k < 40; ++k) (void)(*other)->createBuffer(rhi::BufferDescriptor::initOrvPositions(1));
    if (auto far = (*other)->createBuffer(rhi::BufferDescriptor::initOrvPositions(1))) {
      pools.dead_buffers.push_back(*far);  // id 42 of the other device names nothing here
    }
  }

  // The graph.
  std::vector<std::vector<GpuCommand>> commands(kMaxPasses);
  std::vector<std::vector<ImageId>> lists(2 * kMaxPasses);
  std::vector<kernel::HomVec4> positions(in.below(600));
  for (kernel::HomVec4& p : positions) p = in.point();
  std::vector<kernel::PGL4> transforms(in.below(4));
  for (kernel::PGL4& m : transforms) m = in.matrix();
  bool bad = false;  // a fault the device must refuse
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  const std::size_t passes = 1 + in.below(kMaxPasses);
  for (std::size_t p = 0; p < passes; ++p) {
    std::vector<ImageId>& writes = lists[2 * p];
    std::vector<ImageId>& reads = lists[2 * p + 1];
    for (std::size_t k = in.below(4); k > 0; --k) writes.push_back(pick(in, pools.images, pools.dead_images, bad));
    if (in.below(4) == 0) reads.push_back(pick(in, pools.images, pools.dead_images, bad));
    std::vector<GpuCommand>& list = commands[p];
    const std::size_t count = in.below(kMaxCommands + 1);
    for (std::size_t c = 0; c < count; ++c) {
      const auto buffer = [&] { return pick(in, pools.buffers, pools.dead_buffers, bad); };
      const auto image = [&] { return pick(in, pools.images, pools.dead_images, bad); };
      const auto small = [&] { return static_cast<std::uint32_t>(in.below(16) == 0 ? in.word() : in.below(700)); };
      switch (in.below(12)) {
        case 0: list.push_back({GpuCommand::Clear{image(), static_cast<float>(in.number()), 0.5f, 0.25f, 1.0f,
                                                  static_cast<float>(in.number())}}); break;
        case 1: {
          const std::size_t n = in.below(3);
          std::vector<ImageId>& colors = lists.emplace_back();
          for (std::size_t k = 0; k < n; ++k) colors.push_back(image());
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
          // Instances without a transform buffer each draw everything again: keep them few.
          const std::uint32_t instances = static_cast<std::uint32_t>(in.below(4));
          list.push_back({rhi::DrawCommand{pick(in, pools.pipelines, pools.dead_pipelines, bad), vertex,
                                           index, transform, position, small(), instances}});
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
    constexpr std::string_view kNames = "upload clear \"stars\" geo\ndesics";
    const std::size_t from = in.below(kNames.size());
    require(graph.addPass({kNames.substr(from, in.below(kNames.size() - from + 1)), reads, writes,
                           list, static_cast<rhi::PassType>(in.below(10))})
                .has_value(),
            "passes are added");
  }

  const std::vector<std::byte> before = snapshot(dev, pools, buffer_bytes, image_bytes);
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
    require(snapshot(dev, pools, buffer_bytes, image_bytes) == before, "a refused graph changes nothing");
  } else {
    require(!bad, "a graph with a dead handle or a dispatch is refused");
  }
  return 0;
}
