#include "api.hpp"

#include <dlfcn.h>
#include <link.h>

#include <string>
#include <vector>

namespace orv::vulkan::detail {

Api::~Api() {
  if (library != nullptr) dlclose(library);
}

std::string Api::loadGlobal() {
  // Once opened the loader stays in the process: unloading it unloads the drivers it opened while
  // their own globals may still be referenced (Mesa's are), which sanitizers report as leaks and a
  // later dlopen could trip over. Closing the handle then only drops our reference.
  library = dlopen("libvulkan.so.1", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (library == nullptr) {
    const char* why = dlerror();
    return std::string("no Vulkan loader: libvulkan.so.1 could not be opened (") +
           (why != nullptr ? why : "no reason given") + ")";
  }
  vkGetInstanceProcAddr =
      reinterpret_cast<PFN_vkGetInstanceProcAddr>(dlsym(library, "vkGetInstanceProcAddr"));
  if (vkGetInstanceProcAddr == nullptr) {
    return "no Vulkan loader: libvulkan.so.1 has no vkGetInstanceProcAddr";
  }
#define ORV_VK_LOAD(name)                                                            \
  name = reinterpret_cast<PFN_##name>(vkGetInstanceProcAddr(VK_NULL_HANDLE, #name)); \
  if (name == nullptr) return "the Vulkan loader lacks " #name " (it predates Vulkan 1.1)";
  ORV_VK_GLOBAL_FUNCTIONS(ORV_VK_LOAD)
#undef ORV_VK_LOAD
  return {};
}

std::string Api::loadInstance(VkInstance instance, bool debug, bool surfaces) {
#define ORV_VK_LOAD(name)                                                      \
  name = reinterpret_cast<PFN_##name>(vkGetInstanceProcAddr(instance, #name)); \
  if (name == nullptr) return #name;
  ORV_VK_INSTANCE_FUNCTIONS(ORV_VK_LOAD)
  if (debug) {
    ORV_VK_DEBUG_FUNCTIONS(ORV_VK_LOAD)
  }
  if (surfaces) {
    ORV_VK_SURFACE_FUNCTIONS(ORV_VK_LOAD)
  }
#undef ORV_VK_LOAD
  return {};
}

std::string Api::loadDevice(VkDevice device, bool khr_rendering, bool swapchains) {
#define ORV_VK_LOAD(name)                                                  \
  name = reinterpret_cast<PFN_##name>(vkGetDeviceProcAddr(device, #name)); \
  if (name == nullptr) return #name;
  ORV_VK_DEVICE_FUNCTIONS(ORV_VK_LOAD)
  if (swapchains) {
    ORV_VK_SWAPCHAIN_FUNCTIONS(ORV_VK_LOAD)
  }
#undef ORV_VK_LOAD
  const char* begin = khr_rendering ? "vkCmdBeginRenderingKHR" : "vkCmdBeginRendering";
  const char* end = khr_rendering ? "vkCmdEndRenderingKHR" : "vkCmdEndRendering";
  vkCmdBeginRendering =
      reinterpret_cast<PFN_vkCmdBeginRendering>(vkGetDeviceProcAddr(device, begin));
  if (vkCmdBeginRendering == nullptr) return begin;
  vkCmdEndRendering = reinterpret_cast<PFN_vkCmdEndRendering>(vkGetDeviceProcAddr(device, end));
  if (vkCmdEndRendering == nullptr) return end;
  return {};
}

void keepLoadedLibraries() {
  // Collected first: dlopen is not to be called from inside dl_iterate_phdr's callback.
  std::vector<std::string> names;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) -> int {
        if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
          static_cast<std::vector<std::string>*>(out)->emplace_back(info->dlpi_name);
        }
        return 0;
      },
      &names);
  for (const std::string& name : names) {
    // RTLD_NOLOAD opens nothing new; RTLD_NODELETE marks what is open to stay.
    if (void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) {
      dlclose(handle);
    }
  }
}

std::string resultName(VkResult result) {
  switch (result) {
    case VK_SUCCESS: return "VK_SUCCESS";
    case VK_NOT_READY: return "VK_NOT_READY";
    case VK_TIMEOUT: return "VK_TIMEOUT";
    case VK_INCOMPLETE: return "VK_INCOMPLETE";
    case VK_ERROR_OUT_OF_HOST_MEMORY: return "VK_ERROR_OUT_OF_HOST_MEMORY";
    case VK_ERROR_OUT_OF_DEVICE_MEMORY: return "VK_ERROR_OUT_OF_DEVICE_MEMORY";
    case VK_ERROR_INITIALIZATION_FAILED: return "VK_ERROR_INITIALIZATION_FAILED";
    case VK_ERROR_DEVICE_LOST: return "VK_ERROR_DEVICE_LOST";
    case VK_ERROR_MEMORY_MAP_FAILED: return "VK_ERROR_MEMORY_MAP_FAILED";
    case VK_ERROR_LAYER_NOT_PRESENT: return "VK_ERROR_LAYER_NOT_PRESENT";
    case VK_ERROR_EXTENSION_NOT_PRESENT: return "VK_ERROR_EXTENSION_NOT_PRESENT";
    case VK_ERROR_FEATURE_NOT_PRESENT: return "VK_ERROR_FEATURE_NOT_PRESENT";
    case VK_ERROR_INCOMPATIBLE_DRIVER: return "VK_ERROR_INCOMPATIBLE_DRIVER";
    case VK_ERROR_TOO_MANY_OBJECTS: return "VK_ERROR_TOO_MANY_OBJECTS";
    case VK_ERROR_FORMAT_NOT_SUPPORTED: return "VK_ERROR_FORMAT_NOT_SUPPORTED";
    case VK_ERROR_FRAGMENTED_POOL: return "VK_ERROR_FRAGMENTED_POOL";
    case VK_ERROR_OUT_OF_POOL_MEMORY: return "VK_ERROR_OUT_OF_POOL_MEMORY";
    case VK_ERROR_INVALID_EXTERNAL_HANDLE: return "VK_ERROR_INVALID_EXTERNAL_HANDLE";
    case VK_ERROR_FRAGMENTATION: return "VK_ERROR_FRAGMENTATION";
    case VK_ERROR_INVALID_OPAQUE_CAPTURE_ADDRESS: return "VK_ERROR_INVALID_OPAQUE_CAPTURE_ADDRESS";
    default: return "VkResult " + std::to_string(static_cast<int>(result));
  }
}

}  // namespace orv::vulkan::detail
