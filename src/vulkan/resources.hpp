#pragma once

// Memory and resources of the Vulkan device: allocations counted against each heap's size, so
// that what a heap cannot hold is refused before Vulkan is asked; buffers (device-local and
// addressable by shaders, or host-visible and mapped) and images with their views. Internal to
// orv_vulkan.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api.hpp"
#include "context.hpp"
#include "orv/device.hpp"
#include "orv/rhi.hpp"

namespace orv::vulkan::detail {

/// An allocation of device memory, and what it takes from its heap.
struct Memory {
  VkDeviceMemory memory = VK_NULL_HANDLE;
  std::uint64_t size = 0;
  std::uint32_t heap = 0;
};

/// A buffer of orv: device-local, reached by shaders through its address. A uniform buffer also
/// keeps its bytes on the host, where draws of the fast path and validation read the view.
struct GpuBuffer {
  rhi::BufferDescriptor desc;
  VkBuffer buffer = VK_NULL_HANDLE;
  Memory memory;
  VkDeviceAddress address = 0;
  std::vector<std::byte> host;  ///< the bytes of a uniform buffer; empty for other kinds
};

struct GpuImage {
  rhi::ImageDescriptor desc;
  VkImage image = VK_NULL_HANDLE;
  VkImageView view = VK_NULL_HANDLE;
  Memory memory;
};

/// A host-visible buffer, mapped for its whole life: staging for transfers, and the rings of
/// per-draw data of the frames in flight.
struct HostBuffer {
  VkBuffer buffer = VK_NULL_HANDLE;
  Memory memory;
  std::byte* mapped = nullptr;
  std::uint64_t size = 0;
  VkDeviceAddress address = 0;  ///< where shaders read it, when made addressable
};

/// "2 GiB", "768 MiB", else a count of bytes.
[[nodiscard]] std::string bytesText(std::uint64_t bytes);

[[nodiscard]] VkFormat vkFormat(rhi::Format format) noexcept;
[[nodiscard]] VkImageSubresourceRange wholeImage(bool depth) noexcept;

/// `call` failed because the Vulkan call `what` gave `result`.
[[nodiscard]] std::unexpected<device::Failure> vulkanFailure(std::string_view call,
                                                             std::string_view what,
                                                             VkResult result);

/// Makes and frees the device's memory and resources, counting what each heap holds.
class Resources {
 public:
  explicit Resources(const Context& context) noexcept
      : context_(context), vk_(context.api), device_(context.device) {}

  /// The most one allocation of device-local memory may hold: the driver's bound, within the
  /// largest device-local heap.
  [[nodiscard]] std::uint64_t largestAllocation() const noexcept;
  /// Whether images of `format` can be rendered into (and, with `blend`, blended into) and copied.
  [[nodiscard]] bool formatSupported(rhi::Format format, bool blend) const noexcept;

  /// A buffer of `size` bytes bound to memory of its own: device-local and addressable by shaders,
  /// or host-visible for staging (addressable too with `addressable`). On failure nothing is left.
  [[nodiscard]] device::Result<void> makeBuffer(std::string_view call, std::uint64_t size,
                                                VkBufferUsageFlags usage, bool device_local,
                                                bool addressable, VkBuffer& buffer, Memory& memory);
  /// A host-visible buffer of `size` bytes, mapped; with `addressable`, shaders may read it,
  /// through its address or as a uniform buffer.
  [[nodiscard]] device::Result<void> makeHostBuffer(std::string_view call, std::uint64_t size,
                                                    bool addressable, HostBuffer& out);
  /// The image, its memory and its view for `image.desc`; what was made is left in `image` for
  /// the caller to release on failure.
  [[nodiscard]] device::Result<void> makeImage(GpuImage& image);

  [[nodiscard]] VkDeviceAddress addressOf(VkBuffer buffer) const noexcept;

  void release(GpuBuffer& b) noexcept;
  void release(GpuImage& i) noexcept;
  void release(HostBuffer& b) noexcept;

 private:
  std::optional<std::uint32_t> memoryType(std::uint32_t allowed, VkMemoryPropertyFlags required,
                                          VkMemoryPropertyFlags preferred) const noexcept;
  device::Result<Memory> allocate(std::string_view call, const VkMemoryRequirements& needs,
                                  VkMemoryPropertyFlags required, VkMemoryPropertyFlags preferred,
                                  bool addressable);
  void free(Memory& memory) noexcept;

  const Context& context_;
  const Api& vk_;
  VkDevice device_;
  /// Bytes of each memory heap this device holds.
  std::array<std::uint64_t, VK_MAX_MEMORY_HEAPS> heap_used_{};
};

}  // namespace orv::vulkan::detail
