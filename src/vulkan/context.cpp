#include "context.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "validation.hpp"

namespace orv::vulkan::detail {

namespace {

using device::ErrorCode;
using device::Failure;

constexpr const char* kValidationLayer = "VK_LAYER_KHRONOS_validation";

std::unexpected<Failure> unsupported(const std::string& message) {
  return std::unexpected(device::detail::failure(ErrorCode::unsupported, "makeDevice: " + message));
}

// `call` gave `result`: out of memory, lost, or else, in words, `why` the device cannot be made.
std::unexpected<Failure> failed(std::string_view call, VkResult result, const std::string& why) {
  const ErrorCode code = errorCodeOf(result);
  std::string message = std::string(call) + " gave " + resultName(result);
  if (code == ErrorCode::unsupported) message = why + ": " + message;
  return std::unexpected(device::detail::failure(code, "makeDevice: " + message));
}

// All that a Vulkan enumeration lists: `list(&count, nullptr)` counts, `list(&count, items)`
// fills. What the list lost between the two calls is left out, what it gained waits for the next
// time (VK_INCOMPLETE).
template <class T, class List>
device::Result<std::vector<T>> enumerate(std::string_view call, const std::string& why, List list) {
  std::uint32_t count = 0;
  if (VkResult r = list(&count, nullptr); r < 0) return failed(call, r, why);
  std::vector<T> items(count);
  if (VkResult r = list(&count, items.data()); r < 0) return failed(call, r, why);
  items.resize(count);
  return items;
}

std::string versionText(std::uint32_t version) {
  return std::to_string(VK_API_VERSION_MAJOR(version)) + "." +
         std::to_string(VK_API_VERSION_MINOR(version));
}

VKAPI_ATTR VkBool32 VKAPI_CALL onDebugMessage(VkDebugUtilsMessageSeverityFlagBitsEXT,
                                              VkDebugUtilsMessageTypeFlagsEXT,
                                              const VkDebugUtilsMessengerCallbackDataEXT* data,
                                              void* user) {
  try {
    std::string text = data->pMessageIdName != nullptr ? data->pMessageIdName : "validation";
    text += ": ";
    text += data->pMessage != nullptr ? data->pMessage : "";
    std::replace(text.begin(), text.end(), '\n', ' ');
    const auto* context = static_cast<const Context*>(user);
    if (context->on_message) {
      context->on_message(text);
    } else {
      std::fprintf(stderr, "orv vulkan validation: %s\n", text.c_str());
    }
  } catch (...) {
    // Nothing may unwind into the driver.
  }
  return VK_FALSE;
}

// The messages that count: warnings and errors about the use of Vulkan, not the loader's notes.
VkDebugUtilsMessengerCreateInfoEXT messengerInfo(Context& context) {
  VkDebugUtilsMessengerCreateInfoEXT info{};
  info.sType = VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT;
  info.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT |
                         VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
  info.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                     VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
  info.pfnUserCallback = onDebugMessage;
  info.pUserData = &context;
  return info;
}

bool hasExtension(const std::vector<VkExtensionProperties>& extensions, const char* name) {
  return std::any_of(extensions.begin(), extensions.end(), [&](const VkExtensionProperties& e) {
    return std::strcmp(e.extensionName, name) == 0;
  });
}

// A physical device and whether orv can run on it.
struct Candidate {
  VkPhysicalDevice physical;
  VkPhysicalDeviceProperties properties;
  std::uint32_t queue_family;
  bool khr_rendering;   // dynamic rendering from the extension rather than Vulkan 1.3
  bool large_points;    // point primitives larger than one pixel
  bool swapchains;      // VK_KHR_swapchain
  std::string lacking;  // what it lacks, in words; empty when it is usable
};

device::Result<Candidate> examine(const Api& api, VkPhysicalDevice physical,
                                  std::uint32_t instance_version, bool exact) {
  Candidate c{physical, {}, 0, false, false, false, {}};
  api.vkGetPhysicalDeviceProperties(physical, &c.properties);
  const std::uint32_t version = std::min(c.properties.apiVersion, instance_version);
  if (version < VK_API_VERSION_1_2) {
    c.lacking = "supports Vulkan " + versionText(version) + " only, and orv needs 1.2";
    return c;
  }
  const auto listed_extensions = enumerate<VkExtensionProperties>(
      "vkEnumerateDeviceExtensionProperties",
      std::string(c.properties.deviceName) + " lists no extensions",
      [&](std::uint32_t* count, VkExtensionProperties* items) {
        return api.vkEnumerateDeviceExtensionProperties(physical, nullptr, count, items);
      });
  if (!listed_extensions) return std::unexpected(listed_extensions.error());
  const std::vector<VkExtensionProperties>& extensions = *listed_extensions;

  VkPhysicalDeviceDynamicRenderingFeatures rendering{};
  rendering.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DYNAMIC_RENDERING_FEATURES;
  VkPhysicalDeviceVulkan12Features features12{};
  features12.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES;
  features12.pNext = &rendering;
  VkPhysicalDeviceFeatures2 features{};
  features.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2;
  features.pNext = &features12;
  c.khr_rendering = version < VK_API_VERSION_1_3;
  if (c.khr_rendering && !hasExtension(extensions, VK_KHR_DYNAMIC_RENDERING_EXTENSION_NAME)) {
    features12.pNext = nullptr;
  }
  api.vkGetPhysicalDeviceFeatures2(physical, &features);

  const VkPhysicalDeviceLimits& limits = c.properties.limits;
  c.large_points = features.features.largePoints == VK_TRUE;
  c.swapchains = hasExtension(extensions, VK_KHR_SWAPCHAIN_EXTENSION_NAME);
  if (exact && features.features.shaderFloat64 != VK_TRUE) {
    c.lacking =
        "lacks shaderFloat64 (double precision in shaders), which the exact path needs; make the "
        "device with DeviceOptions::exact = false for the single-precision path";
  } else if (features12.bufferDeviceAddress != VK_TRUE) {
    c.lacking = "lacks bufferDeviceAddress";
  } else if (rendering.dynamicRendering != VK_TRUE) {
    c.lacking = "lacks dynamic rendering (Vulkan 1.3 or VK_KHR_dynamic_rendering)";
  } else if (exact && (limits.maxVertexOutputComponents < kInterfaceComponents ||
                        limits.maxFragmentInputComponents < kInterfaceComponents)) {
    c.lacking = "passes fewer than " + std::to_string(kInterfaceComponents) +
                " components from vertex to fragment shaders";
  } else {
    std::uint32_t families = 0;
    api.vkGetPhysicalDeviceQueueFamilyProperties(physical, &families, nullptr);
    std::vector<VkQueueFamilyProperties> properties(families);
    api.vkGetPhysicalDeviceQueueFamilyProperties(physical, &families, properties.data());
    constexpr VkQueueFlags kNeeded = VK_QUEUE_GRAPHICS_BIT | VK_QUEUE_COMPUTE_BIT;
    const auto family =
        std::find_if(properties.begin(), properties.end(), [](const VkQueueFamilyProperties& p) {
          return (p.queueFlags & kNeeded) == kNeeded && p.queueCount > 0;
        });
    if (family == properties.end()) {
      c.lacking = "has no queue for both graphics and compute";
    } else {
      c.queue_family = static_cast<std::uint32_t>(family - properties.begin());
    }
  }
  return c;
}

// Discrete GPUs first, software devices last.
int preference(VkPhysicalDeviceType type) {
  switch (type) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return 0;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return 1;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return 2;
    case VK_PHYSICAL_DEVICE_TYPE_CPU: return 4;
    default: return 3;
  }
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

std::string listed(const std::vector<Candidate>& candidates) {
  std::string out;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    out += (i == 0 ? "" : ", ") + std::to_string(i) + " \"" + candidates[i].properties.deviceName +
           "\"";
  }
  return out;
}

// The candidate `choice` names (an index or part of a name), the preferred usable one when `choice`
// is empty, or why there is none.
device::Result<const Candidate*> choose(const std::vector<Candidate>& candidates,
                                        const std::string& choice, std::string_view source) {
  if (candidates.empty()) return unsupported("no Vulkan device: the loader lists none");
  const Candidate* chosen = nullptr;
  if (choice.empty()) {
    for (const Candidate& c : candidates) {
      if (c.lacking.empty() &&
          (chosen == nullptr ||
           preference(c.properties.deviceType) < preference(chosen->properties.deviceType))) {
        chosen = &c;
      }
    }
    if (chosen == nullptr) {
      std::string why;
      for (const Candidate& c : candidates) {
        why += (why.empty() ? "" : "; ") + std::string(c.properties.deviceName) + " " + c.lacking;
      }
      return unsupported("no Vulkan device can run orv: " + why);
    }
    return chosen;
  }
  if (std::all_of(choice.begin(), choice.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
    const unsigned long index = choice.size() <= 9 ? std::stoul(choice) : candidates.size();
    if (index >= candidates.size()) {
      return unsupported("no Vulkan device number " + choice + " (" + std::string(source) +
                         "); the devices are " + listed(candidates));
    }
    chosen = &candidates[index];
  } else {
    const std::string wanted = lower(choice);
    for (const Candidate& c : candidates) {
      if (lower(c.properties.deviceName).find(wanted) != std::string::npos) {
        chosen = &c;
        break;
      }
    }
    if (chosen == nullptr) {
      return unsupported("no Vulkan device's name contains \"" + choice + "\" (" +
                         std::string(source) + "); the devices are " + listed(candidates));
    }
  }
  if (!chosen->lacking.empty()) {
    return unsupported(std::string(chosen->properties.deviceName) + " " + chosen->lacking);
  }
  return chosen;
}

}  // namespace

device::ErrorCode errorCodeOf(VkResult result) noexcept {
  switch (result) {
    case VK_ERROR_OUT_OF_HOST_MEMORY:
    case VK_ERROR_OUT_OF_DEVICE_MEMORY:
    case VK_ERROR_TOO_MANY_OBJECTS:
    case VK_ERROR_MEMORY_MAP_FAILED:
    case VK_ERROR_FRAGMENTATION:
    case VK_ERROR_FRAGMENTED_POOL:
    case VK_ERROR_OUT_OF_POOL_MEMORY: return ErrorCode::out_of_memory;
    case VK_ERROR_DEVICE_LOST: return ErrorCode::device_lost;
    default: return ErrorCode::unsupported;
  }
}

Context::~Context() {
  if (device != VK_NULL_HANDLE) api.vkDestroyDevice(device, nullptr);
  if (messenger != VK_NULL_HANDLE)
    api.vkDestroyDebugUtilsMessengerEXT(instance, messenger, nullptr);
  if (instance != VK_NULL_HANDLE) api.vkDestroyInstance(instance, nullptr);
}

device::Result<std::unique_ptr<Context>> makeContext(const DeviceOptions& options,
                                                     const Tuning& tuning) {
  auto context = std::make_unique<Context>();
  context->on_message = options.on_validation_message;
  Api& api = context->api;
  const auto loaded = [&] {
    if (tuning.on_load) tuning.on_load(api);
  };
  if (std::string why = api.loadGlobal(); !why.empty()) return unsupported(why);
  loaded();

  std::uint32_t loader_version = 0;
  if (VkResult r = api.vkEnumerateInstanceVersion(&loader_version); r != VK_SUCCESS) {
    return failed("vkEnumerateInstanceVersion", r, "the Vulkan loader gives no version");
  }
  if (loader_version < VK_API_VERSION_1_2) {
    return unsupported("the Vulkan loader supports Vulkan " + versionText(loader_version) +
                       " only, and orv needs 1.2");
  }
  const std::uint32_t instance_version =
      loader_version >= VK_API_VERSION_1_3 ? VK_API_VERSION_1_3 : VK_API_VERSION_1_2;

  // Validation: the layer, and the extension through which it reports.
  std::vector<const char*> layers;
  std::vector<const char*> extensions;
  VkDebugUtilsMessengerCreateInfoEXT messenger_info = messengerInfo(*context);
  if (options.validation) {
    const auto available = enumerate<VkLayerProperties>(
        "vkEnumerateInstanceLayerProperties", "the Vulkan loader lists no layers",
        [&](std::uint32_t* count, VkLayerProperties* items) {
          return api.vkEnumerateInstanceLayerProperties(count, items);
        });
    if (!available) return std::unexpected(available.error());
    if (std::none_of(available->begin(), available->end(), [](const VkLayerProperties& l) {
          return std::strcmp(l.layerName, kValidationLayer) == 0;
        })) {
      return unsupported(std::string("validation was asked for but ") + kValidationLayer +
                         " is not installed (Debian: vulkan-validationlayers)");
    }
    layers.push_back(kValidationLayer);
    extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
    extensions.push_back(VK_EXT_VALIDATION_FEATURES_EXTENSION_NAME);
  }

  // The layer checks synchronisation too: hazards between commands and submissions are reported
  // like any other misuse.
  const VkValidationFeatureEnableEXT enabled_checks[] = {
      VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT};
  VkValidationFeaturesEXT checks{};
  checks.sType = VK_STRUCTURE_TYPE_VALIDATION_FEATURES_EXT;
  checks.pNext = &messenger_info;
  checks.enabledValidationFeatureCount = 1;
  checks.pEnabledValidationFeatures = enabled_checks;

  // What the application asks for, such as the extensions of its window system's surfaces.
  if (!options.instance_extensions.empty()) {
    const auto available = enumerate<VkExtensionProperties>(
        "vkEnumerateInstanceExtensionProperties", "the Vulkan loader lists no extensions",
        [&](std::uint32_t* count, VkExtensionProperties* items) {
          return api.vkEnumerateInstanceExtensionProperties(nullptr, count, items);
        });
    if (!available) return std::unexpected(available.error());
    for (const std::string& name : options.instance_extensions) {
      if (!hasExtension(*available, name.c_str())) {
        return unsupported("the instance extension " + name + " is not available");
      }
      if (std::none_of(extensions.begin(), extensions.end(),
                       [&](const char* e) { return name == e; })) {
        extensions.push_back(name.c_str());
      }
      context->surfaces = context->surfaces || name == VK_KHR_SURFACE_EXTENSION_NAME;
    }
  }

  VkApplicationInfo app{};
  app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
  app.pApplicationName = "orv";
  app.pEngineName = "orv";
  app.apiVersion = instance_version;
  VkInstanceCreateInfo instance_info{};
  instance_info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
  instance_info.pNext = options.validation ? &checks : nullptr;
  instance_info.pApplicationInfo = &app;
  instance_info.enabledLayerCount = static_cast<std::uint32_t>(layers.size());
  instance_info.ppEnabledLayerNames = layers.data();
  instance_info.enabledExtensionCount = static_cast<std::uint32_t>(extensions.size());
  instance_info.ppEnabledExtensionNames = extensions.data();
  if (VkResult r = api.vkCreateInstance(&instance_info, nullptr, &context->instance);
      r != VK_SUCCESS) {
    context->instance = VK_NULL_HANDLE;
    if (r == VK_ERROR_INCOMPATIBLE_DRIVER) {
      return unsupported("no Vulkan device: the loader found no driver for Vulkan " +
                         versionText(instance_version) + " (vkCreateInstance gave " +
                         resultName(r) + ")");
    }
    return failed("vkCreateInstance", r, "no Vulkan instance");
  }
  if (std::string missing =
          api.loadInstance(context->instance, options.validation, context->surfaces);
      !missing.empty()) {
    return unsupported("the Vulkan instance lacks " + missing);
  }
  loaded();
  if (options.validation) {
    if (VkResult r = api.vkCreateDebugUtilsMessengerEXT(context->instance, &messenger_info, nullptr,
                                                        &context->messenger);
        r != VK_SUCCESS) {
      context->messenger = VK_NULL_HANDLE;
      return failed("vkCreateDebugUtilsMessengerEXT", r,
                    "the validation layer's messenger could not be made");
    }
  }

  // The device.
  const auto physicals = enumerate<VkPhysicalDevice>(
      "vkEnumeratePhysicalDevices", "no Vulkan device",
      [&](std::uint32_t* count, VkPhysicalDevice* items) {
        return api.vkEnumeratePhysicalDevices(context->instance, count, items);
      });
  keepLoadedLibraries();
  if (!physicals) return std::unexpected(physicals.error());
  std::vector<Candidate> candidates;
  for (const VkPhysicalDevice physical : *physicals) {
    auto candidate = examine(api, physical, instance_version, options.exact);
    if (!candidate) return std::unexpected(candidate.error());
    candidates.push_back(*candidate);
  }
  std::string choice = options.device;
  std::string_view source = "the device option";
  if (choice.empty()) {
    const char* env = std::getenv("ORV_VULKAN_DEVICE");
    choice = env != nullptr ? env : "";
    source = "ORV_VULKAN_DEVICE";
  }
  const auto chosen = choose(candidates, choice, source);
  if (!chosen) return std::unexpected(chosen.error());
  const Candidate& c = **chosen;
  context->physical = c.physical;
  context->properties = c.properties;
  context->queue_family = c.queue_family;
  context->name = c.properties.deviceName;
  context->exact = options.exact;
  if (c.large_points && !options.exact) {  // the fast path draws points as the GPU's points
    context->point_sizes = {c.properties.limits.pointSizeRange[0],
                            c.properties.limits.pointSizeRange[1]};
  }
  api.vkGetPhysicalDeviceMemoryProperties(c.physical, &context->memory);
  for (std::uint32_t i = 0; i < context->memory.memoryHeapCount; ++i) {
    VkDeviceSize& size = context->memory.memoryHeaps[i].size;
    size = std::min<VkDeviceSize>(size, tuning.heap_budget);
  }

  VkPhysicalDeviceMaintenance4Properties maintenance4{};
  maintenance4.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MAINTENANCE_4_PROPERTIES;
  VkPhysicalDeviceMaintenance3Properties maintenance3{};
  maintenance3.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MAINTENANCE_3_PROPERTIES;
  maintenance3.pNext = c.khr_rendering ? nullptr : &maintenance4;  // 1.3 states maxBufferSize
  VkPhysicalDeviceProperties2 properties2{};
  properties2.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2;
  properties2.pNext = &maintenance3;
  api.vkGetPhysicalDeviceProperties2(c.physical, &properties2);
  context->max_allocation = maintenance3.maxMemoryAllocationSize;
  context->max_buffer = c.khr_rendering ? UINT64_MAX : maintenance4.maxBufferSize;

  const float priority = 1.0f;
  VkDeviceQueueCreateInfo queue_info{};
  queue_info.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
  queue_info.queueFamilyIndex = c.queue_family;
  queue_info.queueCount = 1;
  queue_info.pQueuePriorities = &priority;
  VkPhysicalDeviceDynamicRenderingFeatures rendering{};
  rendering.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DYNAMIC_RENDERING_FEATURES;
  rendering.dynamicRendering = VK_TRUE;
  VkPhysicalDeviceVulkan12Features features12{};
  features12.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES;
  features12.pNext = &rendering;
  features12.bufferDeviceAddress = VK_TRUE;
  VkPhysicalDeviceFeatures2 features{};
  features.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2;
  features.pNext = &features12;
  features.features.shaderFloat64 = options.exact ? VK_TRUE : VK_FALSE;
  features.features.largePoints = c.large_points && !options.exact ? VK_TRUE : VK_FALSE;
  std::vector<const char*> device_extensions;
  if (c.khr_rendering) device_extensions.push_back(VK_KHR_DYNAMIC_RENDERING_EXTENSION_NAME);
  context->swapchains = context->surfaces && c.swapchains;
  if (context->swapchains) device_extensions.push_back(VK_KHR_SWAPCHAIN_EXTENSION_NAME);
  VkDeviceCreateInfo device_info{};
  device_info.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
  device_info.pNext = &features;
  device_info.queueCreateInfoCount = 1;
  device_info.pQueueCreateInfos = &queue_info;
  device_info.enabledExtensionCount = static_cast<std::uint32_t>(device_extensions.size());
  device_info.ppEnabledExtensionNames = device_extensions.data();
  if (VkResult r = api.vkCreateDevice(c.physical, &device_info, nullptr, &context->device);
      r != VK_SUCCESS) {
    context->device = VK_NULL_HANDLE;
    return failed("vkCreateDevice", r, context->name + " could not be opened");
  }
  if (std::string missing = api.loadDevice(context->device, c.khr_rendering, context->swapchains);
      !missing.empty()) {
    return unsupported(context->name + " lacks " + missing);
  }
  loaded();
  api.vkGetDeviceQueue(context->device, c.queue_family, 0, &context->queue);
  return context;
}

}  // namespace orv::vulkan::detail
