#pragma once

// What the Vulkan device stands on: the loader, an instance (with the Khronos validation layer when
// asked), the chosen physical device, a logical device and its queue. Internal to orv_vulkan.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "api.hpp"
#include "orv/device.hpp"
#include "orv/vulkan.hpp"
#include "tuning.hpp"

namespace orv::vulkan::detail {

/// Components of the flat interface between the raster shaders' stages (raster.vert): three
/// dvec4 points, three screen positions as dvec3 and three colours.
inline constexpr std::uint32_t kInterfaceComponents = 3 * 8 + 3 * 6 + 3 * 4;

struct Context {
  Api api;
  VkInstance instance = VK_NULL_HANDLE;
  VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
  VkPhysicalDevice physical = VK_NULL_HANDLE;
  VkDevice device = VK_NULL_HANDLE;
  VkQueue queue = VK_NULL_HANDLE;
  std::uint32_t queue_family = 0;
  VkPhysicalDeviceProperties properties{};
  VkPhysicalDeviceMemoryProperties memory{};  ///< with each heap's size within the budget
  std::uint64_t max_allocation = 0;  ///< maxMemoryAllocationSize
  std::uint64_t max_buffer = 0;      ///< maxBufferSize where Vulkan 1.3 states it, else unbounded
  std::string name;                  ///< the driver's name of the device
  bool exact = true;                 ///< DeviceOptions::exact: shaderFloat64 is enabled
  bool surfaces = false;             ///< the instance has VK_KHR_surface
  bool swapchains = false;           ///< the device has VK_KHR_swapchain
  /// The sizes of the GPU's point primitives, smallest and largest (1 and 1 without largePoints).
  std::array<float, 2> point_sizes{1.0f, 1.0f};
  /// Receives the validation layer's warnings and errors; the messenger points at this record.
  std::function<void(std::string_view)> on_message;

  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  /// Destroys the device, the messenger and the instance, in that order.
  ~Context();
};

/// What a failed Vulkan call means for orv: `out_of_memory` for the results that say memory (or
/// room for objects) ran out, `device_lost` for a lost device, else `unsupported`.
[[nodiscard]] device::ErrorCode errorCodeOf(VkResult result) noexcept;

/// The context `options` ask for, or an `unsupported` failure saying what is missing (no loader,
/// no device, no device matching the choice, an exact device without double precision in
/// shaders, ...);
/// `out_of_memory` or `device_lost` when a call fails for that. `tuning` sees the entry points as
/// they are loaded and bounds the heaps.
[[nodiscard]] device::Result<std::unique_ptr<Context>> makeContext(const DeviceOptions& options,
                                                                   const Tuning& tuning);

}  // namespace orv::vulkan::detail
