// The reference device: buffers and images in host memory, every command run on the calling
// thread in the order of the graph.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cpu_raster.hpp"
#include "orv/device.hpp"
#include "resource_table.hpp"
#include "validation.hpp"

namespace orv::device {

namespace {

using detail::ColorAttachment;
using detail::guarded;
using detail::handleOf;
using detail::notLive;
using detail::outOfMemory;
using detail::Rasteriser;
using detail::RenderTarget;
using detail::Rgba;
using kernel::HomVec4;
using kernel::PGL4;
using rhi::BufferId;
using rhi::GpuCommand;
using rhi::ImageId;
using rhi::PipelineId;

constexpr Rgba kWhite{1.0f, 1.0f, 1.0f, 1.0f};

struct CpuBuffer {
  rhi::BufferDescriptor desc;
  std::unique_ptr<std::byte[]> bytes;
};

struct CpuImage {
  rhi::ImageDescriptor desc;
  std::unique_ptr<std::byte[]> bytes;

  [[nodiscard]] std::size_t texels() const noexcept {
    return std::size_t{desc.width} * desc.height;
  }
};

struct CpuPipeline {
  rhi::GraphicsPipelineDescriptor desc;
  PipelineOptions options;
};

// Zero-filled host memory, or null when there is none to be had.
std::unique_ptr<std::byte[]> zeroed(std::uint64_t bytes) noexcept {
  if (bytes > std::numeric_limits<std::size_t>::max()) return nullptr;
  return std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[static_cast<std::size_t>(bytes)]());
}

template <class T>
T load(const std::byte* bytes) noexcept {
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

class CpuDevice final : public Device {
 public:
  explicit CpuDevice(const rhi::DeviceLimits& limits) noexcept : limits_(limits) {}

  const rhi::DeviceLimits& limits() const noexcept override { return limits_; }
  std::string_view name() const noexcept override { return "cpu"; }

  Result<BufferId> createBuffer(const rhi::BufferDescriptor& desc) override {
    return guarded([&]() -> Result<BufferId> {
      if (auto ok = detail::checkBufferDescriptor(desc, limits_); !ok) {
        return std::unexpected(ok.error());
      }
      auto bytes = zeroed(desc.size);
      if (bytes == nullptr) return std::unexpected(outOfMemory("createBuffer"));
      const auto handle = buffers_.insert(CpuBuffer{desc, std::move(bytes)});
      if (!handle) return std::unexpected(outOfMemory("createBuffer"));
      return BufferId{handle->id, handle->generation};
    });
  }

  Result<ImageId> createImage(const rhi::ImageDescriptor& desc) override {
    return guarded([&]() -> Result<ImageId> {
      if (auto ok = detail::checkImageDescriptor(desc, limits_); !ok) {
        return std::unexpected(ok.error());
      }
      auto bytes = zeroed(*detail::imageBytes(desc));  // a size, since the descriptor passed
      if (bytes == nullptr) return std::unexpected(outOfMemory("createImage"));
      const auto handle = images_.insert(CpuImage{desc, std::move(bytes)});
      if (!handle) return std::unexpected(outOfMemory("createImage"));
      return ImageId{handle->id, handle->generation};
    });
  }

  Result<PipelineId> createPipeline(const rhi::GraphicsPipelineDescriptor& desc,
                                    const PipelineOptions& options = {}) override {
    return guarded([&]() -> Result<PipelineId> {
      if (auto ok = detail::checkPipelineDescriptor(desc, limits_); !ok) {
        return std::unexpected(ok.error());
      }
      if (auto ok = detail::checkPipelineOptions(options); !ok) return std::unexpected(ok.error());
      const auto handle = pipelines_.insert(CpuPipeline{desc, options});
      if (!handle) return std::unexpected(outOfMemory("createPipeline"));
      return PipelineId::orvProjective(detail::pipelineNumber(handle->id, handle->generation));
    });
  }

  Result<void> destroy(BufferId id) override {
    return guarded([&]() -> Result<void> {
      if (!buffers_.erase(handleOf(id))) return notLive("destroy", detail::describe(id));
      return {};
    });
  }

  Result<void> destroy(ImageId id) override {
    return guarded([&]() -> Result<void> {
      if (!images_.erase(handleOf(id))) return notLive("destroy", detail::describe(id));
      return {};
    });
  }

  Result<void> destroy(PipelineId id) override {
    return guarded([&]() -> Result<void> {
      if (lookup().pipeline(id) == nullptr || !pipelines_.erase(handleOf(id))) {
        return notLive("destroy", detail::describe(id));
      }
      return {};
    });
  }

  Result<void> writeBuffer(BufferId id, std::uint64_t offset,
                           std::span<const std::byte> bytes) override {
    return guarded([&]() -> Result<void> {
      CpuBuffer* buffer = buffers_.find(handleOf(id));
      if (buffer == nullptr) return notLive("writeBuffer", detail::describe(id));
      if (auto ok = detail::checkBufferRange("writeBuffer", id, buffer->desc.size, offset, bytes.size());
          !ok) {
        return ok;
      }
      if (!bytes.empty()) std::memcpy(buffer->bytes.get() + offset, bytes.data(), bytes.size());
      return {};
    });
  }

  Result<void> readBuffer(BufferId id, std::uint64_t offset, std::span<std::byte> bytes) override {
    return guarded([&]() -> Result<void> {
      const CpuBuffer* buffer = buffers_.find(handleOf(id));
      if (buffer == nullptr) return notLive("readBuffer", detail::describe(id));
      if (auto ok = detail::checkBufferRange("readBuffer", id, buffer->desc.size, offset, bytes.size());
          !ok) {
        return ok;
      }
      if (!bytes.empty()) std::memcpy(bytes.data(), buffer->bytes.get() + offset, bytes.size());
      return {};
    });
  }

  Result<void> readImage(ImageId id, std::span<std::byte> bytes) override {
    return guarded([&]() -> Result<void> {
      const CpuImage* image = images_.find(handleOf(id));
      if (image == nullptr) return notLive("readImage", detail::describe(id));
      if (auto ok = detail::checkImageReadback(id, image->desc, bytes.size()); !ok) return ok;
      if (!bytes.empty()) std::memcpy(bytes.data(), image->bytes.get(), bytes.size());
      return {};
    });
  }

  Result<void> execute(const rhi::FrameGraph& graph) override {
    return guarded([&]() -> Result<void> {
      if (auto ok = detail::validateGraph(graph, lookup(), limits_); !ok) return ok;
      // The one allocation of a run, made before anything runs.
      std::size_t most_attachments = 0;
      for (const rhi::FramePass& pass : graph.passes()) {
        for (const GpuCommand& command : pass.commands) {
          if (const auto* begin = std::get_if<GpuCommand::BeginPass>(&command.payload)) {
            most_attachments = std::max(most_attachments, begin->color_attachments.size());
          }
        }
      }
      attachments_.reserve(most_attachments);
      for (const rhi::FramePass& pass : graph.passes()) run(pass);
      return {};
    });
  }

 private:
  // What validation looks up.
  [[nodiscard]] detail::TableLookup<CpuBuffer, CpuImage, CpuPipeline> lookup() noexcept {
    return {*this, buffers_, images_, pipelines_};
  }

  // --- running a validated graph --------------------------------------------------------------

  // What the commands of one pass have set up so far.
  struct PassState {
    bool open = false;
    RenderTarget target{};
    const CpuPipeline* pipeline = nullptr;
    const CpuBuffer* vertex = nullptr;
    std::uint64_t vertex_offset = 0;
    const CpuBuffer* view = nullptr;
    std::uint64_t view_offset = 0;
  };

  void run(const rhi::FramePass& pass) {
    PassState state;
    for (const GpuCommand& command : pass.commands) {
      std::visit([&](const auto& c) { apply(state, c); }, command.payload);
    }
  }

  void apply(PassState& state, const GpuCommand::Clear& c) {
    const Rgba color{c.r, c.g, c.b, c.a};
    if (!state.open) {
      fill(*images_.find(handleOf(c.color_attachment)), color);
      return;
    }
    if (!(c.color_attachment == ImageId::invalid())) fill(*images_.find(handleOf(c.color_attachment)), color);
    if (state.target.depth != nullptr) {
      std::memcpy(state.target.depth, &c.depth, sizeof(float));
      repeatFirst(reinterpret_cast<std::byte*>(state.target.depth), sizeof(float),
                  std::size_t{state.target.width} * state.target.height);
    }
  }

  void apply(PassState& state, const GpuCommand::BeginPass& c) {
    attachments_.clear();
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    for (const ImageId id : c.color_attachments) {
      CpuImage& image = *images_.find(handleOf(id));
      attachments_.push_back(ColorAttachment{image.bytes.get(), image.desc.format});  // reserved
      width = image.desc.width;
      height = image.desc.height;
    }
    float* depth = nullptr;
    if (c.depth_attachment) {
      CpuImage& image = *images_.find(handleOf(*c.depth_attachment));
      depth = reinterpret_cast<float*>(image.bytes.get());  // an array of floats, zero-filled
      width = image.desc.width;
      height = image.desc.height;
    }
    state.open = true;
    state.target = RenderTarget{width, height, attachments_, depth};
  }

  void apply(PassState& state, const GpuCommand::EndPass&) {
    state.open = false;
    state.target = RenderTarget{};
  }

  void apply(PassState& state, const GpuCommand::BindPipeline& c) {
    state.pipeline = pipelines_.find(handleOf(c));
  }

  void apply(PassState& state, const GpuCommand::BindVertexBuffer& c) {
    state.vertex = buffers_.find(handleOf(c.buffer));
    state.vertex_offset = c.offset;
  }

  void apply(PassState& state, const GpuCommand::BindUniform& c) {
    if (c.binding != detail::kViewBinding) return;  // nothing here reads other bindings
    state.view = buffers_.find(handleOf(c.buffer));
    state.view_offset = c.offset;
  }

  void apply(PassState& state, const rhi::DrawCommand& c) {
    const CpuBuffer& positions = *buffers_.find(handleOf(c.orv_position_buffer));
    const std::uint64_t position_count = positions.desc.size / sizeof(HomVec4);
    const CpuBuffer* indices = c.index_buffer == BufferId{0, 0} ? nullptr : buffers_.find(handleOf(c.index_buffer));
    const CpuBuffer* transforms =
        c.orv_transform_buffer == BufferId{0, 0} ? nullptr : buffers_.find(handleOf(c.orv_transform_buffer));
    const std::byte* colors = nullptr;
    if (!(c.vertex_buffer == BufferId{0, 0})) {
      colors = buffers_.find(handleOf(c.vertex_buffer))->bytes.get();
    } else if (state.vertex != nullptr) {
      colors = state.vertex->bytes.get() + state.vertex_offset;
    }
    Rasteriser raster(state.target, viewOf(state), state.pipeline->desc, state.pipeline->options);

    for (std::uint32_t instance = 0; instance < c.instance_count; ++instance) {
      std::optional<PGL4> moved;
      if (transforms != nullptr) {
        moved = load<PGL4>(transforms->bytes.get() + std::size_t{instance} * sizeof(PGL4));
      }
      // Vertex k of the draw, or nothing where its index is beyond the positions.
      const auto fetch = [&](std::uint32_t k, HomVec4& point, Rgba& color) {
        const std::uint64_t i =
            indices != nullptr ? load<std::uint32_t>(indices->bytes.get() + std::size_t{k} * 4) : k;
        if (i >= position_count) return false;
        point = load<HomVec4>(positions.bytes.get() + i * sizeof(HomVec4));
        if (moved) point = moved->apply(point);
        color = colors != nullptr ? load<Rgba>(colors + i * sizeof(Rgba)) : kWhite;
        return true;
      };
      drawPrimitives(raster, state.pipeline->desc.topology, c.index_count, fetch);
    }
  }

  template <class Fetch>
  static void drawPrimitives(Rasteriser& raster, rhi::PrimitiveTopology topology,
                             std::uint32_t count, const Fetch& fetch) {
    using rhi::PrimitiveTopology;
    HomVec4 p[3];
    Rgba c[3];
    switch (topology) {
      case PrimitiveTopology::point_list:
        for (std::uint32_t k = 0; k < count; ++k) {
          if (fetch(k, p[0], c[0])) raster.point(p[0], c[0]);
        }
        return;
      case PrimitiveTopology::line_list:
      case PrimitiveTopology::line_strip:
      case PrimitiveTopology::geodesic_list: {
        const std::uint32_t step = topology == PrimitiveTopology::line_strip ? 1 : 2;
        for (std::uint32_t k = 0; k + 1 < count; k += step) {
          if (!fetch(k, p[0], c[0]) || !fetch(k + 1, p[1], c[1])) continue;
          if (topology == PrimitiveTopology::geodesic_list) {
            raster.geodesic(p[0], c[0], p[1], c[1]);
          } else {
            raster.line(p[0], c[0], p[1], c[1]);
          }
        }
        return;
      }
      case PrimitiveTopology::triangle_list:
      case PrimitiveTopology::triangle_strip: {
        const std::uint32_t step = topology == PrimitiveTopology::triangle_strip ? 1 : 3;
        for (std::uint32_t k = 0; k + 2 < count; k += step) {
          if (!fetch(k, p[0], c[0]) || !fetch(k + 1, p[1], c[1]) || !fetch(k + 2, p[2], c[2])) {
            continue;
          }
          raster.triangle(p[0], c[0], p[1], c[1], p[2], c[2]);
        }
        return;
      }
    }
  }

  void apply(PassState&, const GpuCommand::Dispatch&) {}  // refused by validation

  void apply(PassState&, const GpuCommand::OrvUploadPgl4& c) {
    if (c.transforms.empty()) return;
    std::memcpy(buffers_.find(handleOf(c.buffer))->bytes.get(), c.transforms.data(),
                c.transforms.size_bytes());
  }

  void apply(PassState&, const GpuCommand::OrvUploadPositions& c) {
    if (c.positions.empty()) return;
    std::memcpy(buffers_.find(handleOf(c.buffer))->bytes.get(), c.positions.data(),
                c.positions.size_bytes());
  }

  void apply(PassState&, const GpuCommand::OrvComputeFsDistance& c) {
    const std::byte* a = buffers_.find(handleOf(c.positions_a))->bytes.get();
    const std::byte* b = buffers_.find(handleOf(c.positions_b))->bytes.get();
    std::byte* results = buffers_.find(handleOf(c.results))->bytes.get();
    for (std::size_t i = 0; i < c.count; ++i) {
      const double d = kernel::fsDistance(load<HomVec4>(a + i * sizeof(HomVec4)),
                                          load<HomVec4>(b + i * sizeof(HomVec4)));
      std::memcpy(results + i * sizeof(double), &d, sizeof(double));
    }
  }

  void apply(PassState& state, const GpuCommand::OrvRenderGeodesics& c) {
    const std::byte* positions = buffers_.find(handleOf(c.positions))->bytes.get();
    Rasteriser raster(state.target, viewOf(state), state.pipeline->desc, state.pipeline->options);
    const Rgba color{c.color_r, c.color_g, c.color_b, 1.0f};
    for (std::size_t i = 0; i + 1 < c.count; ++i) {
      raster.geodesic(load<HomVec4>(positions + i * sizeof(HomVec4)), color,
                      load<HomVec4>(positions + (i + 1) * sizeof(HomVec4)), color);
    }
  }

  static ViewUniform viewOf(const PassState& state) noexcept {
    return load<ViewUniform>(state.view->bytes.get() + state.view_offset);
  }

  static void fill(CpuImage& image, const Rgba& color) noexcept {
    detail::storeColor(image.bytes.get(), image.desc.format, 0, color);
    repeatFirst(image.bytes.get(), rhi::size(image.desc.format), image.texels());
  }

  // Copies the first `size` bytes at `bytes` over the `count` - 1 places after it, doubling the
  // filled part with each copy.
  static void repeatFirst(std::byte* bytes, std::size_t size, std::size_t count) noexcept {
    const std::size_t total = size * count;
    for (std::size_t filled = size; filled < total; filled *= 2) {
      std::memcpy(bytes + filled, bytes, std::min(filled, total - filled));
    }
  }

  rhi::DeviceLimits limits_;
  detail::ResourceTable<CpuBuffer> buffers_;
  detail::ResourceTable<CpuImage> images_;
  detail::ResourceTable<CpuPipeline> pipelines_;
  std::vector<ColorAttachment> attachments_;
};

// Whether the device can keep `limits`: every image and buffer they admit must be one object of
// host memory (at most PTRDIFF_MAX bytes), and the largest point and line a finite size.
Result<void> checkLimits(const rhi::DeviceLimits& limits) {
  constexpr std::uint64_t kMostBytes = std::numeric_limits<std::ptrdiff_t>::max();
  const auto refuse = [](ErrorCode code, const std::string& what) {
    return std::unexpected(detail::failure(code, "makeCpuDevice: " + what));
  };
  const std::uint64_t side = limits.max_image_dimension_2d;
  const std::uint64_t widest_texel = rhi::size(rhi::Format::rgba32_float);
  if (side * side > kMostBytes / widest_texel) {  // side * side fits 64 bits
    return refuse(ErrorCode::limit_exceeded,
                  "max_image_dimension_2d " + std::to_string(side) +
                      " admits rgba32_float images larger than this host can address (" +
                      std::to_string(kMostBytes) + " bytes)");
  }
  if (limits.max_buffer_size > kMostBytes) {
    return refuse(ErrorCode::limit_exceeded, "max_buffer_size " +
                                                 std::to_string(limits.max_buffer_size) +
                                                 " is more than this host can address (" +
                                                 std::to_string(kMostBytes) + " bytes)");
  }
  if (!(std::isfinite(limits.max_point_size) && std::isfinite(limits.max_line_width))) {
    return refuse(ErrorCode::invalid_descriptor,
                  "max_point_size and max_line_width must be finite numbers of pixels");
  }
  return {};
}

}  // namespace

Result<std::unique_ptr<Device>> makeCpuDevice(const rhi::DeviceLimits& limits) {
  if (auto ok = guarded([&] { return checkLimits(limits); }); !ok) return std::unexpected(ok.error());
  std::unique_ptr<Device> device(new (std::nothrow) CpuDevice(limits));
  if (device == nullptr) return std::unexpected(outOfMemory("makeCpuDevice"));
  return device;
}

}  // namespace orv::device
