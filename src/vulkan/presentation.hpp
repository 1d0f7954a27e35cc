#pragma once

// Presentation: a surface the application made with the device's instance, the swapchain the
// device keeps for it, and the conversion of an orv image into its next image (shaders/
// present.comp: the image copied into a buffer, converted through the transfer curve of
// io::toDisplay and scaled into a buffer of the window's pixels, which is copied into the swapchain
// image). Internal to orv_vulkan.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "api.hpp"
#include "context.hpp"
#include "orv/device.hpp"
#include "resources.hpp"

namespace orv::vulkan::detail {

/// The swapchain image a present copies into, and the semaphore the GPU signals when it may be
/// shown.
struct Target {
  std::uint32_t index;
  VkImage image;
  VkExtent2D extent;
  VkSemaphore ready;
};

/// Push constants of the presenting shader: the block `Present` of shaders/present.comp.
struct PresentConstants {
  VkDeviceAddress texels;  ///< the image's texels, rows packed
  VkDeviceAddress pixels;  ///< the window's pixels, rows packed, four bytes each
  VkDeviceAddress table;   ///< the transfer curve's tables (presentTable)
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t target_width;
  std::uint32_t target_height;
  std::uint32_t format;  ///< 0: rgba8_unorm, 1: rgba16_float, 2: rgba32_float
  std::uint32_t bgra;    ///< 1 where the swapchain's pixels store blue first
};
static_assert(sizeof(PresentConstants) == 48);

/// The words of the presenting shader's table, made by device::detail::displayChannel: the 8-bit
/// value of each of the 65536 half floats and of each of the 256 rgba8_unorm values (four to a
/// word, the first in the low byte), then for k = 1 to 255 the bit pattern of the least positive
/// float that the curve takes to k or more.
[[nodiscard]] std::vector<std::uint32_t> presentTable();

/// The widest and tallest images and windows presented: the shader's products of pixel and texel
/// coordinates stay within 32 bits.
inline constexpr std::uint32_t kMostPresented = 32768;

/// The presenting shader's code for an image of `format`, or -1 where it cannot show one.
[[nodiscard]] int presentFormat(rhi::Format format) noexcept;

/// A surface and its swapchain, made anew when the surface's size changes or the swapchain is out
/// of date, and what converts images into its pixels.
class Presenter {
 public:
  Presenter(const Context& context, Resources& resources) noexcept
      : context_(context), vk_(context.api), resources_(resources) {}
  Presenter(const Presenter&) = delete;
  Presenter& operator=(const Presenter&) = delete;
  /// Destroys the swapchain, the surface and the converting pipeline and buffers; the caller has
  /// waited for the device.
  ~Presenter();

  /// Takes `surface` in place of the one held (which is destroyed, with its swapchain). Fails with
  /// `unsupported` where the device's queue cannot present to it.
  [[nodiscard]] device::Result<void> attach(VkSurfaceKHR surface);
  [[nodiscard]] bool attached() const noexcept { return surface_ != VK_NULL_HANDLE; }

  /// The next swapchain image, once the GPU has waited for `acquired` to be signalled; the
  /// swapchain is made first where there is none or it no longer fits the surface.
  [[nodiscard]] device::Result<Target> acquire(std::string_view call, VkSemaphore acquired);
  /// Queues `target` for display once its `ready` semaphore is signalled. A swapchain out of date
  /// is made anew at the next acquire.
  [[nodiscard]] device::Result<void> present(std::string_view call, const Target& target);

  /// Whether the buffer an image's texels are copied into holds `bytes` already: where it does
  /// not, `prepare` replaces it, and the caller waits for the work in flight first.
  [[nodiscard]] bool holds(std::uint64_t bytes) const noexcept {
    return texels_.desc.size >= bytes;
  }
  /// The converting pipeline, its table and a buffer for `bytes` of texels, made where missing.
  [[nodiscard]] device::Result<void> prepare(std::string_view call, std::uint64_t bytes);
  /// Records `image` converted into `target`'s swapchain image, left ready to be presented: after
  /// everything before, and before `target.ready` is signalled. `prepare` came first, for the
  /// image's texels.
  void record(VkCommandBuffer cmd, const GpuImage& image, const Target& target) const noexcept;
  /// After the submission of what `record` recorded: the table it copied (once, into a new
  /// buffer) is on the device, and later presents copy it no more.
  void submitted() noexcept { table_on_device_ = true; }

 private:
  device::Result<void> makeSwapchain(std::string_view call);
  void releaseSwapchain(VkSwapchainKHR& swapchain) noexcept;

  const Context& context_;
  const Api& vk_;
  Resources& resources_;
  VkSurfaceKHR surface_ = VK_NULL_HANDLE;
  VkSwapchainKHR swapchain_ = VK_NULL_HANDLE;
  VkExtent2D extent_{};
  bool bgra_ = false;  ///< the swapchain's pixels store blue first
  bool stale_ = false;
  std::vector<VkImage> images_;
  std::vector<VkSemaphore> ready_;  ///< one per swapchain image

  VkShaderModule module_ = VK_NULL_HANDLE;
  VkPipelineLayout layout_ = VK_NULL_HANDLE;
  VkPipeline pipeline_ = VK_NULL_HANDLE;
  HostBuffer table_host_;  ///< presentTable(), copied into table_ by the first present
  GpuBuffer table_{};
  bool table_on_device_ = false;  ///< table_ holds the table (a present that copied it was submitted)
  GpuBuffer texels_{};  ///< the image being shown, as its texels lie
  GpuBuffer pixels_{};  ///< the swapchain image's pixels, made as large as the swapchain's images
};

}  // namespace orv::vulkan::detail
