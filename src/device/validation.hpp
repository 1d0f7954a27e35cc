#pragma once

// The checks every device makes, in one place so that all devices refuse the same things with the
// same words: descriptors against the limits, ranges of buffer calls, and a whole frame graph
// before any of it runs. Internal to the device libraries; not installed.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "orv/device.hpp"
#include "orv/rhi.hpp"
#include "resource_table.hpp"

namespace orv::device::detail {

inline constexpr std::uint32_t kNoIndex = std::numeric_limits<std::uint32_t>::max();

/// The uniform binding projective pipelines read their `ViewUniform` from.
inline constexpr std::uint32_t kViewBinding = 0;

/// Bytes of one colour in a vertex buffer: an rgba32_float.
inline constexpr std::uint64_t kColorBytes = 16;

/// A failure outside `execute`.
[[nodiscard]] Failure failure(ErrorCode code, std::string message);

/// `call` ("createBuffer", ...) ran out of host memory.
[[nodiscard]] Failure outOfMemory(std::string_view call);

/// `call` ("destroy", "readBuffer", ...) named a handle, described by `what`, that is not live.
[[nodiscard]] std::unexpected<Failure> notLive(std::string_view call, const std::string& what);

/// Runs `body`, turning a failed allocation into `out_of_memory`: nothing throws across the
/// interface. The message is short enough to need no allocation of its own.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return std::unexpected(Failure{ErrorCode::out_of_memory, kNoIndex, kNoIndex, "out of memory"});
  }
}

/// What validation asks a device about its resources: the descriptor of a live resource, or null;
/// and the bytes of a buffer, for the views that draws read.
class ResourceLookup {
 public:
  [[nodiscard]] virtual const rhi::BufferDescriptor* buffer(rhi::BufferId) const noexcept = 0;
  [[nodiscard]] virtual const rhi::ImageDescriptor* image(rhi::ImageId) const noexcept = 0;
  [[nodiscard]] virtual const rhi::GraphicsPipelineDescriptor* pipeline(
      rhi::PipelineId) const noexcept = 0;
  /// Copies the bytes of a live buffer from `offset` into `out`, a range within the buffer; fails
  /// only as the device's `readBuffer` does.
  [[nodiscard]] virtual Result<void> read(rhi::BufferId, std::uint64_t offset,
                                          std::span<std::byte> out) const = 0;

 protected:
  ~ResourceLookup() = default;
};

[[nodiscard]] Result<void> checkBufferDescriptor(const rhi::BufferDescriptor& desc,
                                                 const rhi::DeviceLimits& limits);
[[nodiscard]] Result<void> checkImageDescriptor(const rhi::ImageDescriptor& desc,
                                                const rhi::DeviceLimits& limits);
[[nodiscard]] Result<void> checkPipelineDescriptor(const rhi::GraphicsPipelineDescriptor& desc,
                                                   const rhi::DeviceLimits& limits);
/// `createPipeline`'s checks of the options beyond the descriptor.
[[nodiscard]] Result<void> checkPipelineOptions(const PipelineOptions& options);

/// `call` ("writeBuffer", "readBuffer") on `bytes` bytes from `offset` of a buffer of `size` bytes.
[[nodiscard]] Result<void> checkBufferRange(std::string_view call, rhi::BufferId buffer,
                                            std::uint64_t size, std::uint64_t offset,
                                            std::uint64_t bytes);
/// Bytes of an image's texels, width x height x texel size, or nothing where that passes 2^64.
[[nodiscard]] std::optional<std::uint64_t> imageBytes(const rhi::ImageDescriptor& desc) noexcept;
/// `readImage` of `image` into `bytes` bytes.
[[nodiscard]] Result<void> checkImageReadback(rhi::ImageId image, const rhi::ImageDescriptor& desc,
                                              std::size_t bytes);

/// Checks every pass and command of `graph`; the first problem found, in running order, is the
/// failure.
[[nodiscard]] Result<void> validateGraph(const rhi::FrameGraph& graph,
                                         const ResourceLookup& resources,
                                         const rhi::DeviceLimits& limits);

/// Formats an image can have on a device, and which of them are colour or depth.
[[nodiscard]] bool isColorFormat(rhi::Format format) noexcept;
[[nodiscard]] bool isDepthFormat(rhi::Format format) noexcept;

/// The number a pipeline handle carries for a table slot, and back.
[[nodiscard]] constexpr std::uint64_t pipelineNumber(std::uint64_t slot_id,
                                                     std::uint32_t generation) noexcept {
  return (std::uint64_t{generation} << 32) | slot_id;
}
[[nodiscard]] constexpr std::uint64_t pipelineSlot(std::uint64_t number) noexcept {
  return number & 0xffff'ffffu;
}
[[nodiscard]] constexpr std::uint32_t pipelineGeneration(std::uint64_t number) noexcept {
  return static_cast<std::uint32_t>(number >> 32);
}

/// The slot and generation a handle names in a `ResourceTable`.
[[nodiscard]] constexpr Handle handleOf(rhi::BufferId id) noexcept { return {id.id, id.generation}; }
[[nodiscard]] constexpr Handle handleOf(rhi::ImageId id) noexcept { return {id.id, id.generation}; }
[[nodiscard]] constexpr Handle handleOf(rhi::PipelineId id) noexcept {
  return {pipelineSlot(id.number), pipelineGeneration(id.number)};
}

/// What validation looks up, for a device whose resources sit in three `ResourceTable`s of entries
/// that each hold their descriptor as `desc`, and whose `readBuffer` reads buffers. Made when
/// needed; it refers to the device and its tables.
template <class Buffer, class Image, class Pipeline>
class TableLookup final : public ResourceLookup {
 public:
  TableLookup(Device& device, const ResourceTable<Buffer>& buffers,
              const ResourceTable<Image>& images, const ResourceTable<Pipeline>& pipelines) noexcept
      : device_(device), buffers_(buffers), images_(images), pipelines_(pipelines) {}

  [[nodiscard]] const rhi::BufferDescriptor* buffer(rhi::BufferId id) const noexcept override {
    const Buffer* b = buffers_.find(handleOf(id));
    return b != nullptr ? &b->desc : nullptr;
  }
  [[nodiscard]] const rhi::ImageDescriptor* image(rhi::ImageId id) const noexcept override {
    const Image* i = images_.find(handleOf(id));
    return i != nullptr ? &i->desc : nullptr;
  }
  /// Devices make projective pipelines only: a number of another kind names none.
  [[nodiscard]] const rhi::GraphicsPipelineDescriptor* pipeline(
      rhi::PipelineId id) const noexcept override {
    if (id.tag != rhi::PipelineType::orv_projective) return nullptr;
    const Pipeline* p = pipelines_.find(handleOf(id));
    return p != nullptr ? &p->desc : nullptr;
  }
  [[nodiscard]] Result<void> read(rhi::BufferId id, std::uint64_t offset,
                                  std::span<std::byte> out) const override {
    return device_.readBuffer(id, offset, out);
  }

 private:
  Device& device_;
  const ResourceTable<Buffer>& buffers_;
  const ResourceTable<Image>& images_;
  const ResourceTable<Pipeline>& pipelines_;
};

/// Names for messages and for the Graphviz export.
[[nodiscard]] std::string_view formatName(rhi::Format format) noexcept;
[[nodiscard]] std::string_view commandName(rhi::GpuCommand::Tag tag) noexcept;
[[nodiscard]] std::string_view passTypeName(rhi::PassType type) noexcept;
/// "buffer 3:1", "image 1:2", "pipeline 4:1" (id or slot, then generation).
[[nodiscard]] std::string describe(rhi::BufferId id);
[[nodiscard]] std::string describe(rhi::ImageId id);
[[nodiscard]] std::string describe(rhi::PipelineId id);
/// `text` in double quotes, with quotes, backslashes and bytes outside printable ASCII escaped, so
/// that it stays on one line.
[[nodiscard]] std::string quoted(std::string_view text);

}  // namespace orv::device::detail
