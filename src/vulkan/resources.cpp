#include "resources.hpp"

#include <algorithm>

#include "validation.hpp"

namespace orv::vulkan::detail {

using device::ErrorCode;
using device::Result;

std::string bytesText(std::uint64_t bytes) {
  if (bytes >= (std::uint64_t{1} << 30) && bytes % (std::uint64_t{1} << 30) == 0)
    return std::to_string(bytes >> 30) + " GiB";
  if (bytes >= (std::uint64_t{1} << 20) && bytes % (std::uint64_t{1} << 20) == 0)
    return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

VkFormat vkFormat(rhi::Format format) noexcept {
  switch (format) {
    case rhi::Format::rgba8_unorm: return VK_FORMAT_R8G8B8A8_UNORM;
    case rhi::Format::rgba16_float: return VK_FORMAT_R16G16B16A16_SFLOAT;
    case rhi::Format::rgba32_float: return VK_FORMAT_R32G32B32A32_SFLOAT;
    case rhi::Format::depth32_float: return VK_FORMAT_D32_SFLOAT;
    default: return VK_FORMAT_UNDEFINED;  // refused by the descriptor checks
  }
}

VkImageSubresourceRange wholeImage(bool depth) noexcept {
  return {depth ? VkImageAspectFlags{VK_IMAGE_ASPECT_DEPTH_BIT}
                : VkImageAspectFlags{VK_IMAGE_ASPECT_COLOR_BIT},
          0, 1, 0, 1};
}

std::unexpected<device::Failure> vulkanFailure(std::string_view call, std::string_view what,
                                               VkResult result) {
  return std::unexpected(device::detail::failure(
      errorCodeOf(result),
      std::string(call) + ": " + std::string(what) + " gave " + resultName(result)));
}

std::uint64_t Resources::largestAllocation() const noexcept {
  std::uint64_t heap = 0;
  for (std::uint32_t i = 0; i < context_.memory.memoryHeapCount; ++i) {
    const VkMemoryHeap& h = context_.memory.memoryHeaps[i];
    if ((h.flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT) != 0) heap = std::max(heap, h.size);
  }
  return std::min(context_.max_allocation, heap);
}

bool Resources::formatSupported(rhi::Format format, bool blend) const noexcept {
  VkFormatProperties properties{};
  vk_.vkGetPhysicalDeviceFormatProperties(context_.physical, vkFormat(format), &properties);
  VkFormatFeatureFlags needed =
      VK_FORMAT_FEATURE_TRANSFER_SRC_BIT | VK_FORMAT_FEATURE_TRANSFER_DST_BIT;
  if (device::detail::isDepthFormat(format)) {
    needed |= VK_FORMAT_FEATURE_DEPTH_STENCIL_ATTACHMENT_BIT;
  } else {
    needed |= VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BIT;
    if (blend) needed |= VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BLEND_BIT;
  }
  return (properties.optimalTilingFeatures & needed) == needed;
}

// A memory type `allowed` allows with all of `required`, one with `preferred` as well if any.
std::optional<std::uint32_t> Resources::memoryType(std::uint32_t allowed,
                                                   VkMemoryPropertyFlags required,
                                                   VkMemoryPropertyFlags preferred) const noexcept {
  std::optional<std::uint32_t> found;
  const VkPhysicalDeviceMemoryProperties& memory = context_.memory;
  for (std::uint32_t i = 0; i < memory.memoryTypeCount; ++i) {
    const VkMemoryPropertyFlags flags = memory.memoryTypes[i].propertyFlags;
    if ((allowed & (1u << i)) == 0 || (flags & required) != required) continue;
    if ((flags & preferred) == preferred) return i;
    if (!found) found = i;
  }
  return found;
}

// Memory for `needs`, taken from the heap of a fitting type. What the heap no longer has room
// for, counting what this device holds of it, is refused before Vulkan is asked.
Result<Memory> Resources::allocate(std::string_view call, const VkMemoryRequirements& needs,
                                   VkMemoryPropertyFlags required, VkMemoryPropertyFlags preferred,
                                   bool addressable) {
  const std::optional<std::uint32_t> type = memoryType(needs.memoryTypeBits, required, preferred);
  if (!type) {
    return std::unexpected(device::detail::failure(
        ErrorCode::unsupported,
        std::string(call) + ": " + context_.name + " has no fitting memory type"));
  }
  const std::uint32_t heap = context_.memory.memoryTypes[*type].heapIndex;
  const std::uint64_t size = context_.memory.memoryHeaps[heap].size;
  if (needs.size > size - heap_used_[heap]) {
    return std::unexpected(device::detail::failure(
        ErrorCode::out_of_memory, std::string(call) + ": " + bytesText(needs.size) +
                                      " of memory are needed, and heap " + std::to_string(heap) +
                                      " of " + context_.name + " has " +
                                      bytesText(size - heap_used_[heap]) + " of its " +
                                      bytesText(size) + " left"));
  }
  VkMemoryAllocateFlagsInfo flags{};
  flags.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_FLAGS_INFO;
  flags.flags = VK_MEMORY_ALLOCATE_DEVICE_ADDRESS_BIT;
  VkMemoryAllocateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  info.pNext = addressable ? &flags : nullptr;
  info.allocationSize = needs.size;
  info.memoryTypeIndex = *type;
  Memory memory{VK_NULL_HANDLE, needs.size, heap};
  if (VkResult r = vk_.vkAllocateMemory(device_, &info, nullptr, &memory.memory);
      r != VK_SUCCESS) {
    return vulkanFailure(call, "vkAllocateMemory", r);
  }
  heap_used_[heap] += needs.size;
  return memory;
}

void Resources::free(Memory& memory) noexcept {
  if (memory.memory == VK_NULL_HANDLE) return;
  vk_.vkFreeMemory(device_, memory.memory, nullptr);
  heap_used_[memory.heap] -= memory.size;
  memory = Memory{};
}

Result<void> Resources::makeBuffer(std::string_view call, std::uint64_t size,
                                   VkBufferUsageFlags usage, bool device_local, bool addressable,
                                   VkBuffer& buffer, Memory& memory) {
  VkBufferCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
  info.size = size;
  info.usage = usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  if (VkResult r = vk_.vkCreateBuffer(device_, &info, nullptr, &buffer); r != VK_SUCCESS) {
    buffer = VK_NULL_HANDLE;
    return vulkanFailure(call, "vkCreateBuffer", r);
  }
  VkMemoryRequirements needs{};
  vk_.vkGetBufferMemoryRequirements(device_, buffer, &needs);
  auto allocated =
      device_local
          ? allocate(call, needs, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT,
                     VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, addressable)
          : allocate(call, needs,
                     VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT,
                     VK_MEMORY_PROPERTY_HOST_CACHED_BIT, addressable);
  if (allocated) {
    memory = *allocated;
    if (VkResult r = vk_.vkBindBufferMemory(device_, buffer, memory.memory, 0); r == VK_SUCCESS)
      return {};
    else
      allocated = vulkanFailure(call, "vkBindBufferMemory", r);
  }
  free(memory);
  vk_.vkDestroyBuffer(device_, buffer, nullptr);
  buffer = VK_NULL_HANDLE;
  return std::unexpected(allocated.error());
}

Result<void> Resources::makeHostBuffer(std::string_view call, std::uint64_t size, bool addressable,
                                       HostBuffer& out) {
  VkBufferUsageFlags usage = VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT;
  if (addressable) {
    usage |= VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT |
             VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT;
  }
  HostBuffer made;
  if (auto ok = makeBuffer(call, size, usage, false, addressable, made.buffer, made.memory); !ok) {
    return ok;
  }
  void* mapped = nullptr;
  if (VkResult r = vk_.vkMapMemory(device_, made.memory.memory, 0, VK_WHOLE_SIZE, 0, &mapped);
      r != VK_SUCCESS) {
    release(made);
    return vulkanFailure(call, "vkMapMemory", r);
  }
  made.mapped = static_cast<std::byte*>(mapped);
  made.size = size;
  if (addressable) made.address = addressOf(made.buffer);
  out = made;
  return {};
}

VkDeviceAddress Resources::addressOf(VkBuffer buffer) const noexcept {
  VkBufferDeviceAddressInfo address{};
  address.sType = VK_STRUCTURE_TYPE_BUFFER_DEVICE_ADDRESS_INFO;
  address.buffer = buffer;
  return vk_.vkGetBufferDeviceAddress(device_, &address);
}

Result<void> Resources::makeImage(GpuImage& image) {
  const bool depth = device::detail::isDepthFormat(image.desc.format);
  VkImageCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
  info.imageType = VK_IMAGE_TYPE_2D;
  info.format = vkFormat(image.desc.format);
  info.extent = {image.desc.width, image.desc.height, 1};
  info.mipLevels = 1;
  info.arrayLayers = 1;
  info.samples = VK_SAMPLE_COUNT_1_BIT;
  info.tiling = VK_IMAGE_TILING_OPTIMAL;
  info.usage =
      VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT |
      (depth ? VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT : VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT);
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  if (VkResult r = vk_.vkCreateImage(device_, &info, nullptr, &image.image); r != VK_SUCCESS) {
    image.image = VK_NULL_HANDLE;
    return vulkanFailure("createImage", "vkCreateImage", r);
  }
  VkMemoryRequirements needs{};
  vk_.vkGetImageMemoryRequirements(device_, image.image, &needs);
  auto memory = allocate("createImage", needs, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT,
                         VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, false);
  if (!memory) return std::unexpected(memory.error());
  image.memory = *memory;
  if (VkResult r = vk_.vkBindImageMemory(device_, image.image, image.memory.memory, 0);
      r != VK_SUCCESS) {
    return vulkanFailure("createImage", "vkBindImageMemory", r);
  }
  VkImageViewCreateInfo view{};
  view.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  view.image = image.image;
  view.viewType = VK_IMAGE_VIEW_TYPE_2D;
  view.format = info.format;
  view.subresourceRange = wholeImage(depth);
  if (VkResult r = vk_.vkCreateImageView(device_, &view, nullptr, &image.view); r != VK_SUCCESS) {
    image.view = VK_NULL_HANDLE;
    return vulkanFailure("createImage", "vkCreateImageView", r);
  }
  return {};
}

void Resources::release(GpuBuffer& b) noexcept {
  if (b.buffer != VK_NULL_HANDLE) vk_.vkDestroyBuffer(device_, b.buffer, nullptr);
  free(b.memory);
  b.buffer = VK_NULL_HANDLE;
}

void Resources::release(GpuImage& i) noexcept {
  if (i.view != VK_NULL_HANDLE) vk_.vkDestroyImageView(device_, i.view, nullptr);
  if (i.image != VK_NULL_HANDLE) vk_.vkDestroyImage(device_, i.image, nullptr);
  free(i.memory);
  i.view = VK_NULL_HANDLE;
  i.image = VK_NULL_HANDLE;
}

void Resources::release(HostBuffer& b) noexcept {
  if (b.buffer != VK_NULL_HANDLE) vk_.vkDestroyBuffer(device_, b.buffer, nullptr);
  free(b.memory);  // unmaps it too
  b = HostBuffer{};
}

}  // namespace orv::vulkan::detail
