#pragma once

// The Vulkan entry points the device uses, loaded at run time from the system's loader, so that a
// machine without Vulkan gets an `unsupported` failure from makeDevice instead of a program that
// cannot start. Internal to orv_vulkan.

#define VK_NO_PROTOTYPES
#include <vulkan/vulkan.h>

#include <string>
#include <string_view>

namespace orv::vulkan::detail {

// Entry points of the loader itself, usable before an instance exists.
#define ORV_VK_GLOBAL_FUNCTIONS(X)        \
  X(vkCreateInstance)                     \
  X(vkEnumerateInstanceVersion)           \
  X(vkEnumerateInstanceLayerProperties)   \
  X(vkEnumerateInstanceExtensionProperties)

// Entry points of an instance and its physical devices.
#define ORV_VK_INSTANCE_FUNCTIONS(X)           \
  X(vkDestroyInstance)                         \
  X(vkEnumeratePhysicalDevices)                \
  X(vkGetPhysicalDeviceProperties)             \
  X(vkGetPhysicalDeviceProperties2)            \
  X(vkGetPhysicalDeviceFeatures2)              \
  X(vkGetPhysicalDeviceQueueFamilyProperties)  \
  X(vkGetPhysicalDeviceMemoryProperties)       \
  X(vkGetPhysicalDeviceFormatProperties)       \
  X(vkEnumerateDeviceExtensionProperties)      \
  X(vkCreateDevice)                            \
  X(vkGetDeviceProcAddr)

// Entry points of the debug-utils extension, present only when validation was asked for.
#define ORV_VK_DEBUG_FUNCTIONS(X)     \
  X(vkCreateDebugUtilsMessengerEXT)   \
  X(vkDestroyDebugUtilsMessengerEXT)

// Entry points of surfaces, present when the instance was made with VK_KHR_surface.
#define ORV_VK_SURFACE_FUNCTIONS(X)              \
  X(vkDestroySurfaceKHR)                         \
  X(vkGetPhysicalDeviceSurfaceSupportKHR)        \
  X(vkGetPhysicalDeviceSurfaceCapabilitiesKHR)   \
  X(vkGetPhysicalDeviceSurfaceFormatsKHR)        \
  X(vkGetPhysicalDeviceSurfacePresentModesKHR)

// Entry points of swapchains, present when the device was made with VK_KHR_swapchain.
#define ORV_VK_SWAPCHAIN_FUNCTIONS(X) \
  X(vkCreateSwapchainKHR)             \
  X(vkDestroySwapchainKHR)            \
  X(vkGetSwapchainImagesKHR)          \
  X(vkAcquireNextImageKHR)            \
  X(vkQueuePresentKHR)

// Entry points of a logical device (dynamic rendering is loaded apart: its names depend on the
// version).
#define ORV_VK_DEVICE_FUNCTIONS(X)      \
  X(vkDestroyDevice)                    \
  X(vkGetDeviceQueue)                   \
  X(vkDeviceWaitIdle)                   \
  X(vkQueueSubmit)                      \
  X(vkCreateFence)                      \
  X(vkDestroyFence)                     \
  X(vkResetFences)                      \
  X(vkWaitForFences)                    \
  X(vkCreateCommandPool)                \
  X(vkDestroyCommandPool)               \
  X(vkAllocateCommandBuffers)           \
  X(vkResetCommandBuffer)               \
  X(vkBeginCommandBuffer)               \
  X(vkEndCommandBuffer)                 \
  X(vkAllocateMemory)                   \
  X(vkFreeMemory)                       \
  X(vkMapMemory)                        \
  X(vkUnmapMemory)                      \
  X(vkCreateBuffer)                     \
  X(vkDestroyBuffer)                    \
  X(vkGetBufferMemoryRequirements)      \
  X(vkBindBufferMemory)                 \
  X(vkGetBufferDeviceAddress)           \
  X(vkCreateImage)                      \
  X(vkDestroyImage)                     \
  X(vkGetImageMemoryRequirements)       \
  X(vkBindImageMemory)                  \
  X(vkCreateImageView)                  \
  X(vkDestroyImageView)                 \
  X(vkCreateShaderModule)               \
  X(vkDestroyShaderModule)              \
  X(vkCreatePipelineLayout)             \
  X(vkDestroyPipelineLayout)            \
  X(vkCreateDescriptorSetLayout)        \
  X(vkDestroyDescriptorSetLayout)       \
  X(vkCreateDescriptorPool)             \
  X(vkDestroyDescriptorPool)            \
  X(vkAllocateDescriptorSets)           \
  X(vkUpdateDescriptorSets)             \
  X(vkCmdBindDescriptorSets)            \
  X(vkCreateGraphicsPipelines)          \
  X(vkCreateComputePipelines)           \
  X(vkDestroyPipeline)                  \
  X(vkCmdPipelineBarrier)               \
  X(vkCmdFillBuffer)                    \
  X(vkCmdCopyBuffer)                    \
  X(vkCmdCopyImageToBuffer)             \
  X(vkCmdClearColorImage)               \
  X(vkCmdClearDepthStencilImage)        \
  X(vkCmdClearAttachments)              \
  X(vkCmdBindPipeline)                  \
  X(vkCmdPushConstants)                 \
  X(vkCmdSetViewport)                   \
  X(vkCmdSetScissor)                    \
  X(vkCmdDraw)                          \
  X(vkCmdDispatch)                      \
  X(vkCmdCopyBufferToImage)             \
  X(vkCreateSemaphore)                  \
  X(vkDestroySemaphore)

#define ORV_VK_DECLARE(name) PFN_##name name = nullptr;

/// The loader, opened with dlopen, and the entry points taken from it.
struct Api {
  void* library = nullptr;
  PFN_vkGetInstanceProcAddr vkGetInstanceProcAddr = nullptr;
  ORV_VK_GLOBAL_FUNCTIONS(ORV_VK_DECLARE)
  ORV_VK_INSTANCE_FUNCTIONS(ORV_VK_DECLARE)
  ORV_VK_DEBUG_FUNCTIONS(ORV_VK_DECLARE)
  ORV_VK_SURFACE_FUNCTIONS(ORV_VK_DECLARE)
  ORV_VK_DEVICE_FUNCTIONS(ORV_VK_DECLARE)
  ORV_VK_SWAPCHAIN_FUNCTIONS(ORV_VK_DECLARE)
  // Core in Vulkan 1.3, else from VK_KHR_dynamic_rendering under the same signature.
  PFN_vkCmdBeginRendering vkCmdBeginRendering = nullptr;
  PFN_vkCmdEndRendering vkCmdEndRendering = nullptr;

  Api() = default;
  Api(const Api&) = delete;
  Api& operator=(const Api&) = delete;
  ~Api();

  /// Opens the loader and takes its global entry points. On failure returns why, in words.
  [[nodiscard]] std::string loadGlobal();
  /// Takes the entry points of `instance`; `debug` adds those of VK_EXT_debug_utils, `surfaces`
  /// those of VK_KHR_surface. Returns the name of the first one missing, or an empty string.
  [[nodiscard]] std::string loadInstance(VkInstance instance, bool debug, bool surfaces);
  /// Takes the entry points of `device`; `khr_rendering` takes dynamic rendering under its
  /// extension names, `swapchains` adds those of VK_KHR_swapchain. Returns the name of the first
  /// one missing, or an empty string.
  [[nodiscard]] std::string loadDevice(VkDevice device, bool khr_rendering, bool swapchains);
};

#undef ORV_VK_DECLARE

/// Keeps every shared library loaded now in the process for good. Called once the loader has
/// opened its drivers: the loader closes them again when the instance goes, and a driver unloaded
/// while its own globals are still referenced (Mesa's software device's are) loses that memory
/// where leak checkers see it, and may trip up the next driver load.
void keepLoadedLibraries();

/// "VK_ERROR_OUT_OF_DEVICE_MEMORY" and so on; the number for results without a name here.
[[nodiscard]] std::string resultName(VkResult result);

}  // namespace orv::vulkan::detail
