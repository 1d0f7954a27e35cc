#include "presentation.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "display_curve.hpp"
#include "orv/vulkan.hpp"
#include "resources.hpp"
#include "validation.hpp"

namespace orv::vulkan::detail {

namespace {

constexpr std::uint32_t kPresentShader[] = {
#include "present.comp.inc"
};
constexpr std::uint32_t kPresentGroup = 8;  // local_size_x and _y of present.comp

constexpr std::uint32_t kHalves = 65536;
constexpr std::uint32_t kUnorms = 256;
constexpr std::uint32_t kTableWords = kHalves / 4 + kUnorms / 4 + 255;

void putByte(std::vector<std::uint32_t>& words, std::size_t i, std::uint8_t value) {
  words[i / 4] |= std::uint32_t{value} << (8 * (i % 4));
}

}  // namespace

std::vector<std::uint32_t> presentTable() {
  std::vector<std::uint32_t> words(kTableWords, 0);
  for (std::uint32_t h = 0; h < kHalves; ++h) {
    const float value = device::halfToFloat(static_cast<std::uint16_t>(h));
    putByte(words, h, device::detail::displayChannel(value));
  }
  for (std::uint32_t v = 0; v < kUnorms; ++v) {
    putByte(words, kHalves + v, device::detail::displayChannel(static_cast<float>(v) / 255.0f));
  }
  // The curve rises with its argument, and bit patterns of floats from +0 to +infinity order as
  // the floats do: the least pattern reaching each value is found by bisection.
  const auto at = [](std::uint32_t bits) {
    return device::detail::displayChannel(std::bit_cast<float>(bits));
  };
  for (std::uint32_t k = 1; k <= 255; ++k) {
    std::uint32_t low = 0;             // the curve is below k here
    std::uint32_t high = 0x7f800000u;  // +infinity, which it takes to 255
    while (high - low > 1) {
      const std::uint32_t middle = low + (high - low) / 2;
      if (at(middle) >= k) {
        high = middle;
      } else {
        low = middle;
      }
    }
    words[(kHalves + kUnorms) / 4 + k - 1] = high;
  }
  return words;
}

int presentFormat(rhi::Format format) noexcept {
  switch (format) {
    case rhi::Format::rgba8_unorm: return 0;
    case rhi::Format::rgba16_float: return 1;
    case rhi::Format::rgba32_float: return 2;
    default: return -1;
  }
}

using device::ErrorCode;
using device::Result;

Presenter::~Presenter() {
  releaseSwapchain(swapchain_);
  if (surface_ != VK_NULL_HANDLE) vk_.vkDestroySurfaceKHR(context_.instance, surface_, nullptr);
  if (pipeline_ != VK_NULL_HANDLE) vk_.vkDestroyPipeline(context_.device, pipeline_, nullptr);
  if (layout_ != VK_NULL_HANDLE) vk_.vkDestroyPipelineLayout(context_.device, layout_, nullptr);
  if (module_ != VK_NULL_HANDLE) vk_.vkDestroyShaderModule(context_.device, module_, nullptr);
  resources_.release(table_host_);
  resources_.release(table_);
  resources_.release(texels_);
  resources_.release(pixels_);
}

Result<void> Presenter::prepare(std::string_view call, std::uint64_t bytes) {
  if (pipeline_ == VK_NULL_HANDLE) {
    if (module_ == VK_NULL_HANDLE) {
      VkShaderModuleCreateInfo info{};
      info.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
      info.codeSize = sizeof kPresentShader;
      info.pCode = kPresentShader;
      if (VkResult r = vk_.vkCreateShaderModule(context_.device, &info, nullptr, &module_);
          r != VK_SUCCESS) {
        module_ = VK_NULL_HANDLE;
        return vulkanFailure(call, "vkCreateShaderModule", r);
      }
    }
    if (layout_ == VK_NULL_HANDLE) {
      const VkPushConstantRange range{VK_SHADER_STAGE_COMPUTE_BIT, 0, sizeof(PresentConstants)};
      VkPipelineLayoutCreateInfo info{};
      info.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
      info.pushConstantRangeCount = 1;
      info.pPushConstantRanges = &range;
      if (VkResult r = vk_.vkCreatePipelineLayout(context_.device, &info, nullptr, &layout_);
          r != VK_SUCCESS) {
        layout_ = VK_NULL_HANDLE;
        return vulkanFailure(call, "vkCreatePipelineLayout", r);
      }
    }
    VkComputePipelineCreateInfo compute{};
    compute.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
    compute.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    compute.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    compute.stage.module = module_;
    compute.stage.pName = "main";
    compute.layout = layout_;
    if (VkResult r = vk_.vkCreateComputePipelines(context_.device, VK_NULL_HANDLE, 1, &compute,
                                                  nullptr, &pipeline_);
        r != VK_SUCCESS) {
      pipeline_ = VK_NULL_HANDLE;
      return vulkanFailure(call, "vkCreateComputePipelines", r);
    }
  }
  constexpr VkBufferUsageFlags kUsage =
      VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT |
      VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT;
  // A device-local buffer of at least `size` bytes in `b`, made anew where smaller.
  const auto grow = [&](GpuBuffer& b, std::uint64_t size) -> Result<void> {
    if (b.buffer != VK_NULL_HANDLE && b.desc.size >= size) return {};
    resources_.release(b);
    b.desc.size = 0;
    if (auto ok = resources_.makeBuffer(call, size, kUsage, true, true, b.buffer, b.memory); !ok) {
      return ok;
    }
    b.desc.size = size;
    b.address = resources_.addressOf(b.buffer);
    return {};
  };
  if (table_host_.buffer == VK_NULL_HANDLE) {
    const std::vector<std::uint32_t> words = presentTable();
    const std::uint64_t size = words.size() * sizeof(std::uint32_t);
    if (auto ok = resources_.makeHostBuffer(call, size, false, table_host_); !ok) return ok;
    std::memcpy(table_host_.mapped, words.data(), size);
  }
  if (table_.buffer == VK_NULL_HANDLE) table_on_device_ = false;  // a new buffer, to be filled
  if (auto ok = grow(table_, kTableWords * sizeof(std::uint32_t)); !ok) return ok;
  return grow(texels_, bytes);
}

void Presenter::record(VkCommandBuffer cmd, const GpuImage& image,
                       const Target& target) const noexcept {
  const auto memoryBarrier = [&](VkPipelineStageFlags from, VkAccessFlags written,
                                 VkPipelineStageFlags to, VkAccessFlags read) {
    VkMemoryBarrier barrier{};
    barrier.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    barrier.srcAccessMask = written;
    barrier.dstAccessMask = read;
    vk_.vkCmdPipelineBarrier(cmd, from, to, 0, 1, &barrier, 0, nullptr, 0, nullptr);
  };
  const auto transition = [&](VkImage of, VkImageLayout from, VkImageLayout to,
                              VkAccessFlags src_access, VkAccessFlags dst_access,
                              VkPipelineStageFlags src_stage, VkPipelineStageFlags dst_stage) {
    VkImageMemoryBarrier barrier{};
    barrier.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
    barrier.srcAccessMask = src_access;
    barrier.dstAccessMask = dst_access;
    barrier.oldLayout = from;
    barrier.newLayout = to;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.image = of;
    barrier.subresourceRange = wholeImage(false);
    vk_.vkCmdPipelineBarrier(cmd, src_stage, dst_stage, 0, 0, nullptr, 0, nullptr, 1, &barrier);
  };
  // The image's texels as they lie, and the first time the table. The image is a copy's source
  // for the copy only, and back in the GENERAL layout, which orv's images keep, after everything
  // it did.
  constexpr VkImageLayout kCopying = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
  constexpr VkAccessFlags kAll = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT;
  transition(image.image, VK_IMAGE_LAYOUT_GENERAL, kCopying, VK_ACCESS_MEMORY_WRITE_BIT,
             VK_ACCESS_TRANSFER_READ_BIT, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT,
             VK_PIPELINE_STAGE_TRANSFER_BIT);
  VkBufferImageCopy region{};
  region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  region.imageExtent = {image.desc.width, image.desc.height, 1};
  vk_.vkCmdCopyImageToBuffer(cmd, image.image, kCopying, texels_.buffer, 1, &region);
  transition(image.image, kCopying, VK_IMAGE_LAYOUT_GENERAL, 0, kAll,
             VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT);
  if (!table_on_device_) {
    const VkBufferCopy table{0, 0, table_.desc.size};
    vk_.vkCmdCopyBuffer(cmd, table_host_.buffer, table_.buffer, 1, &table);
  }
  memoryBarrier(VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_WRITE_BIT,
                VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_READ_BIT);
  // Converted and scaled into the window's pixels.
  const PresentConstants constants{
      texels_.address,      pixels_.address,       table_.address,
      image.desc.width,     image.desc.height,     target.extent.width,
      target.extent.height, static_cast<std::uint32_t>(presentFormat(image.desc.format)),
      bgra_ ? 1u : 0u};
  vk_.vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline_);
  vk_.vkCmdPushConstants(cmd, layout_, VK_SHADER_STAGE_COMPUTE_BIT, 0, sizeof constants,
                         &constants);
  vk_.vkCmdDispatch(cmd, (target.extent.width + kPresentGroup - 1) / kPresentGroup,
                    (target.extent.height + kPresentGroup - 1) / kPresentGroup, 1);
  // The swapchain image from whatever it held to a copy's destination (once it may be written,
  // at the transfer stage the submission waits at), the pixels copied in, then to presentation.
  transition(target.image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 0,
             VK_ACCESS_TRANSFER_WRITE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT,
             VK_PIPELINE_STAGE_TRANSFER_BIT);
  memoryBarrier(VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_WRITE_BIT,
                VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_READ_BIT);
  VkBufferImageCopy pixels{};
  pixels.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  pixels.imageExtent = {target.extent.width, target.extent.height, 1};
  vk_.vkCmdCopyBufferToImage(cmd, pixels_.buffer, target.image,
                             VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &pixels);
  transition(target.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_PRESENT_SRC_KHR,
             VK_ACCESS_TRANSFER_WRITE_BIT, 0, VK_PIPELINE_STAGE_TRANSFER_BIT,
             VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT);
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
  // Pixels of four bytes, red, green, blue and alpha in either order of the colours: the shader
  // writes the bytes of the transfer curve, and copies store them as they are, so the window shows
  // them (UNORM formats first, where the bytes are the values; SRGB formats show the same bytes).
  const auto eight_bit = [&](bool srgb) {
    return std::find_if(formats.begin(), formats.end(), [&](const VkSurfaceFormatKHR& f) {
      return srgb ? f.format == VK_FORMAT_B8G8R8A8_SRGB || f.format == VK_FORMAT_R8G8B8A8_SRGB
                  : f.format == VK_FORMAT_B8G8R8A8_UNORM || f.format == VK_FORMAT_R8G8B8A8_UNORM;
    });
  };
  auto found = eight_bit(false);
  if (found == formats.end()) found = eight_bit(true);
  if (found == formats.end()) {
    return std::unexpected(device::detail::failure(
        ErrorCode::unsupported, std::string(call) + ": the surface offers no format of 8-bit "
                                                    "RGBA or BGRA pixels to show images in"));
  }
  const VkSurfaceFormatKHR format = *found;
  VkExtent2D extent = caps.currentExtent;
  if (extent.width == UINT32_MAX) extent = caps.minImageExtent;  // the surface takes our size
  if (extent.width == 0 || extent.height == 0) {
    return std::unexpected(device::detail::failure(
        ErrorCode::invalid_command, std::string(call) + ": the surface has no area (a minimised window)"));
  }
  if (extent.width > kMostPresented || extent.height > kMostPresented) {
    return std::unexpected(device::detail::failure(
        ErrorCode::limit_exceeded, std::string(call) + ": windows wider or taller than " +
                                       std::to_string(kMostPresented) + " pixels are not shown"));
  }
  // The words the converted pixels pass through, made larger (after the work that may use them)
  // where the swapchain's images are.
  const std::uint64_t pixel_bytes = std::uint64_t{extent.width} * extent.height * 4;
  if (pixels_.desc.size < pixel_bytes) {
    if (pixels_.buffer != VK_NULL_HANDLE) vk_.vkDeviceWaitIdle(context_.device);
    resources_.release(pixels_);
    pixels_.desc.size = 0;
    if (auto ok = resources_.makeBuffer(
            call, pixel_bytes,
            VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_STORAGE_BUFFER_BIT |
                VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT,
            true, true, pixels_.buffer, pixels_.memory);
        !ok) {
      return ok;
    }
    pixels_.desc.size = pixel_bytes;
    pixels_.address = resources_.addressOf(pixels_.buffer);
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
  // A mode in which presenting never waits for the display and shows no torn frames where offered
  // (the newest image queued replaces one not yet shown), else one that shows each image at once,
  // else the one every surface offers, which waits for the display.
  if (VkResult r = vk_.vkGetPhysicalDeviceSurfacePresentModesKHR(context_.physical, surface_,
                                                                 &count, nullptr);
      r != VK_SUCCESS) {
    return vulkanFailure(call, "vkGetPhysicalDeviceSurfacePresentModesKHR", r);
  }
  std::vector<VkPresentModeKHR> modes(count);
  if (VkResult r = vk_.vkGetPhysicalDeviceSurfacePresentModesKHR(context_.physical, surface_,
                                                                 &count, modes.data());
      r < 0) {
    return vulkanFailure(call, "vkGetPhysicalDeviceSurfacePresentModesKHR", r);
  }
  modes.resize(count);
  VkPresentModeKHR mode = VK_PRESENT_MODE_FIFO_KHR;
  for (const VkPresentModeKHR each : {VK_PRESENT_MODE_MAILBOX_KHR, VK_PRESENT_MODE_IMMEDIATE_KHR}) {
    if (std::find(modes.begin(), modes.end(), each) != modes.end()) {
      mode = each;
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
  info.presentMode = mode;
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
  bgra_ = format.format == VK_FORMAT_B8G8R8A8_UNORM || format.format == VK_FORMAT_B8G8R8A8_SRGB;
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
