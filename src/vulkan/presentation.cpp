#include "presentation.hpp"

#include <algorithm>
#include <string>

#include "resources.hpp"
#include "validation.hpp"

namespace orv::vulkan::detail {

using device::ErrorCode;
using device::Result;

Presenter::~Presenter() {
  releaseSwapchain(swapchain_);
  if (surface_ != VK_NULL_HANDLE) vk_.vkDestroySurfaceKHR(context_.instance, surface_, nullptr);
}

void Presenter::releaseSwapchain(VkSwapchainKHR& swapchain) noexcept {
  for (VkSemaphore s : ready_) vk_.vkDestroySemaphore(context_.device, s, nullptr);
  ready_.clear();
  images_.clear();
  if (swapchain != VK_NULL_HANDLE) vk_.vkDestroySwapchainKHR(context_.device, swapchain, nullptr);
  swapchain = VK_NULL_HANDLE;
}

Result<void> Presenter::attach(VkSurfaceKHR surface) {
  VkBool32 supported = VK_FALSE;
  if (VkResult r = vk_.vkGetPhysicalDeviceSurfaceSupportKHR(context_.physical, context_.queue_family,
                                                            surface, &supported);
      r != VK_SUCCESS) {
    return vulkanFailure("attachSurface", "vkGetPhysicalDeviceSurfaceSupportKHR", r);
  }
  if (supported != VK_TRUE) {
    return std::unexpected(device::detail::failure(
        ErrorCode::unsupported,
        "attachSurface: the queue of " + context_.name + " cannot present to this surface"));
  }
  if (swapchain_ != VK_NULL_HANDLE) vk_.vkDeviceWaitIdle(context_.device);
  releaseSwapchain(swapchain_);
  if (surface_ != VK_NULL_HANDLE) vk_.vkDestroySurfaceKHR(context_.instance, surface_, nullptr);
  surface_ = surface;
  stale_ = false;
  return {};
}

Result<void> Presenter::makeSwapchain(std::string_view call) {
  VkSurfaceCapabilitiesKHR caps{};
  if (VkResult r =
          vk_.vkGetPhysicalDeviceSurfaceCapabilitiesKHR(context_.physical, surface_, &caps);
      r != VK_SUCCESS) {
    return vulkanFailure(call, "vkGetPhysicalDeviceSurfaceCapabilitiesKHR", r);
  }
  if ((caps.supportedUsageFlags & VK_IMAGE_USAGE_TRANSFER_DST_BIT) == 0) {
    return std::unexpected(device::detail::failure(
        ErrorCode::unsupported, std::string(call) + ": the surface's images cannot be copied into"));
  }
  std::uint32_t count = 0;
  if (VkResult r = vk_.vkGetPhysicalDeviceSurfaceFormatsKHR(context_.physical, surface_, &count,
                                                            nullptr);
      r != VK_SUCCESS) {
    return vulkanFailure(call, "vkGetPhysicalDeviceSurfaceFormatsKHR", r);
  }
  std::vector<VkSurfaceFormatKHR> formats(count);
  if (VkResult r = vk_.vkGetPhysicalDeviceSurfaceFormatsKHR(context_.physical, surface_, &count,
                                                            formats.data());
      r < 0) {
    return vulkanFailure(call, "vkGetPhysicalDeviceSurfaceFormatsKHR", r);
  }
  formats.resize(count);
  if (formats.empty()) {
    return std::unexpected(device::detail::failure(
        ErrorCode::unsupported, std::string(call) + ": the surface offers no format"));
  }
  // Linear 8-bit colour where offered: orv's colours are linear.
  const auto linear = std::find_if(formats.begin(), formats.end(), [](const VkSurfaceFormatKHR& f) {
    return f.format == VK_FORMAT_B8G8R8A8_UNORM || f.format == VK_FORMAT_R8G8B8A8_UNORM;
  });
  const VkSurfaceFormatKHR format = linear != formats.end() ? *linear : formats.front();
  VkExtent2D extent = caps.currentExtent;
  if (extent.width == UINT32_MAX) extent = caps.minImageExtent;  // the surface takes our size
  if (extent.width == 0 || extent.height == 0) {
    return std::unexpected(device::detail::failure(
        ErrorCode::invalid_command, std::string(call) + ": the surface has no area (a minimised window)"));
  }
  std::uint32_t images = caps.minImageCount + 1;
  if (caps.maxImageCount != 0) images = std::min(images, caps.maxImageCount);
  VkCompositeAlphaFlagBitsKHR alpha = VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR;
  for (const VkCompositeAlphaFlagBitsKHR each :
       {VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR, VK_COMPOSITE_ALPHA_INHERIT_BIT_KHR,
        VK_COMPOSITE_ALPHA_PRE_MULTIPLIED_BIT_KHR, VK_COMPOSITE_ALPHA_POST_MULTIPLIED_BIT_KHR}) {
    if ((caps.supportedCompositeAlpha & static_cast<VkCompositeAlphaFlagsKHR>(each)) != 0) {
      alpha = each;
      break;
    }
  }
  VkSwapchainCreateInfoKHR info{};
  info.sType = VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR;
  info.surface = surface_;
  info.minImageCount = images;
  info.imageFormat = format.format;
  info.imageColorSpace = format.colorSpace;
  info.imageExtent = extent;
  info.imageArrayLayers = 1;
  info.imageUsage = VK_IMAGE_USAGE_TRANSFER_DST_BIT;
  info.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
  info.preTransform = caps.currentTransform;
  info.compositeAlpha = alpha;
  info.presentMode = VK_PRESENT_MODE_FIFO_KHR;  // the one every surface offers
  info.clipped = VK_TRUE;
  info.oldSwapchain = swapchain_;
  VkSwapchainKHR made = VK_NULL_HANDLE;
  if (VkResult r = vk_.vkCreateSwapchainKHR(context_.device, &info, nullptr, &made);
      r != VK_SUCCESS) {
    return vulkanFailure(call, "vkCreateSwapchainKHR", r);
  }
  // The old swapchain's images and semaphores may still be in use by presents queued before.
  if (swapchain_ != VK_NULL_HANDLE) vk_.vkDeviceWaitIdle(context_.device);
  releaseSwapchain(swapchain_);
  swapchain_ = made;
  extent_ = extent;
  stale_ = false;
  if (VkResult r = vk_.vkGetSwapchainImagesKHR(context_.device, swapchain_, &count, nullptr);
      r != VK_SUCCESS) {
    releaseSwapchain(swapchain_);
    return vulkanFailure(call, "vkGetSwapchainImagesKHR", r);
  }
  images_.resize(count);
  if (VkResult r = vk_.vkGetSwapchainImagesKHR(context_.device, swapchain_, &count, images_.data());
      r < 0) {
    releaseSwapchain(swapchain_);
    return vulkanFailure(call, "vkGetSwapchainImagesKHR", r);
  }
  images_.resize(count);
  for (std::size_t i = 0; i < images_.size(); ++i) {
    VkSemaphoreCreateInfo semaphore{};
    semaphore.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
    VkSemaphore ready = VK_NULL_HANDLE;
    if (VkResult r = vk_.vkCreateSemaphore(context_.device, &semaphore, nullptr, &ready);
        r != VK_SUCCESS) {
      releaseSwapchain(swapchain_);
      return vulkanFailure(call, "vkCreateSemaphore", r);
    }
    ready_.push_back(ready);
  }
  return {};
}

Result<Target> Presenter::acquire(std::string_view call, VkSemaphore acquired) {
  if (swapchain_ != VK_NULL_HANDLE && !stale_) {
    // A window resized since: a swapchain of the new size.
    VkSurfaceCapabilitiesKHR caps{};
    if (VkResult r =
            vk_.vkGetPhysicalDeviceSurfaceCapabilitiesKHR(context_.physical, surface_, &caps);
        r != VK_SUCCESS) {
      return std::unexpected(vulkanFailure(call, "vkGetPhysicalDeviceSurfaceCapabilitiesKHR", r).error());
    }
    stale_ = caps.currentExtent.width != UINT32_MAX &&
             (caps.currentExtent.width != extent_.width || caps.currentExtent.height != extent_.height);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (swapchain_ == VK_NULL_HANDLE || stale_) {
      if (auto ok = makeSwapchain(call); !ok) return std::unexpected(ok.error());
    }
    std::uint32_t index = 0;
    const VkResult r = vk_.vkAcquireNextImageKHR(context_.device, swapchain_, UINT64_MAX, acquired,
                                                 VK_NULL_HANDLE, &index);
    if (r == VK_SUCCESS || r == VK_SUBOPTIMAL_KHR) {
      stale_ = r == VK_SUBOPTIMAL_KHR;
      return Target{index, images_[index], extent_, ready_[index]};
    }
    if (r != VK_ERROR_OUT_OF_DATE_KHR) {
      return std::unexpected(vulkanFailure(call, "vkAcquireNextImageKHR", r).error());
    }
    stale_ = true;
  }
  return std::unexpected(device::detail::failure(
      ErrorCode::unsupported, std::string(call) + ": the surface's swapchain stays out of date"));
}

Result<void> Presenter::present(std::string_view call, const Target& target) {
  VkPresentInfoKHR info{};
  info.sType = VK_STRUCTURE_TYPE_PRESENT_INFO_KHR;
  info.waitSemaphoreCount = 1;
  info.pWaitSemaphores = &target.ready;
  info.swapchainCount = 1;
  info.pSwapchains = &swapchain_;
  info.pImageIndices = &target.index;
  const VkResult r = vk_.vkQueuePresentKHR(context_.queue, &info);
  if (r == VK_SUBOPTIMAL_KHR || r == VK_ERROR_OUT_OF_DATE_KHR) {
    stale_ = true;
    return {};
  }
  if (r != VK_SUCCESS) return vulkanFailure(call, "vkQueuePresentKHR", r);
  return {};
}

}  // namespace orv::vulkan::detail
