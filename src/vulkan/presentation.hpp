#pragma once

// Presentation: a surface the application made with the device's instance, the swapchain the
// device keeps for it, and the copy of an orv image into its next image. Internal to orv_vulkan.

#include <cstdint>
#include <string_view>
#include <vector>

#include "api.hpp"
#include "context.hpp"
#include "orv/device.hpp"

namespace orv::vulkan::detail {

/// The swapchain image a present copies into, and the semaphore the GPU signals when it may be
/// shown.
struct Target {
  std::uint32_t index;
  VkImage image;
  VkExtent2D extent;
  VkSemaphore ready;
};

/// A surface and its swapchain, made anew when the surface's size changes or the swapchain is out
/// of date.
class Presenter {
 public:
  explicit Presenter(const Context& context) noexcept : context_(context), vk_(context.api) {}
  Presenter(const Presenter&) = delete;
  Presenter& operator=(const Presenter&) = delete;
  /// Destroys the swapchain and the surface; the caller has waited for the device.
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

 private:
  device::Result<void> makeSwapchain(std::string_view call);
  void releaseSwapchain(VkSwapchainKHR& swapchain) noexcept;

  const Context& context_;
  const Api& vk_;
  VkSurfaceKHR surface_ = VK_NULL_HANDLE;
  VkSwapchainKHR swapchain_ = VK_NULL_HANDLE;
  VkExtent2D extent_{};
  bool stale_ = false;
  std::vector<VkImage> images_;
  std::vector<VkSemaphore> ready_;  ///< one per swapchain image
};

}  // namespace orv::vulkan::detail
