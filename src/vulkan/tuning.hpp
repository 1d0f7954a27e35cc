#pragma once

// What a Vulkan device may be made with beyond its public options: the size of its host
// transfers, a smaller memory than the GPU's, and a look at every entry point it loads. The
// public makeDevice uses the defaults; tests shrink the sizes to reach the device's bounds in
// little memory and time, and wrap the entry points to fail them. Internal to orv_vulkan.

#include <cstdint>
#include <functional>
#include <memory>

#include "api.hpp"
#include "orv/device.hpp"
#include "orv/vulkan.hpp"

namespace orv::vulkan::detail {

struct Tuning {
  /// The most bytes one submission moves between host and device, and so the most staging
  /// memory the device holds at a time.
  std::uint64_t transfer_chunk = std::uint64_t{64} << 20;
  /// Each memory heap of the GPU is taken to hold at most this many bytes.
  std::uint64_t heap_budget = UINT64_MAX;
  /// Called with the entry points each time more of them are loaded (the loader's, the
  /// instance's, the device's), before any of the new ones is called; it may replace them.
  std::function<void(Api&)> on_load;
};

/// `orv::vulkan::makeDevice(options)` made with `tuning`.
[[nodiscard]] device::Result<std::unique_ptr<device::Device>> makeDevice(
    const DeviceOptions& options, const Tuning& tuning);
/// `orv::vulkan::makeVulkanDevice(options)` made with `tuning`.
[[nodiscard]] device::Result<std::unique_ptr<vulkan::Device>> makeVulkanDevice(
    const DeviceOptions& options, const Tuning& tuning);

}  // namespace orv::vulkan::detail
