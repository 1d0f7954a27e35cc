// The Vulkan device against the CPU device: the same calls and graphs on both, compared byte for
// byte where the CPU device is exact (clears, uploads, refusals), within a stated bound for
// distances and pixels. Every test runs with the Khronos validation layer, and any message it
// reports fails the test. Without a Vulkan device the tests skip, unless ORV_REQUIRE_VULKAN=1;
// ORV_SKIP_VULKAN=1 skips them always (the sanitizer build does not run the driver).

#include "orv/vulkan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "orv/device.hpp"
#include "tuning.hpp"
#if ORV_TEST_HAVE_SDL2
#include <SDL2/SDL.h>
#include <SDL2/SDL_vulkan.h>
#endif
#if ORV_TEST_HAVE_SDL2 && ORV_TEST_HAVE_X11 && ORV_TEST_HAVE_IO
#include <SDL2/SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <thread>

#include "orv/io.hpp"
#endif

namespace {

using namespace orv;
using device::Device;
using device::ErrorCode;
using device::ViewUniform;
using kernel::HomVec4;
using rhi::BufferDescriptor;
using rhi::BufferId;
using rhi::Format;
using rhi::GpuCommand;
using rhi::ImageDescriptor;
using rhi::ImageId;
using rhi::ImageUsage;
using rhi::PipelineId;
using rhi::PrimitiveTopology;

constexpr BufferId kNone{0, 0};
using Rgba = std::array<float, 4>;

bool envIs(const char* name, const char* value) {
  const char* set = std::getenv(name);
  return set != nullptr && std::string(set) == value;
}

template <class T>
std::span<const std::byte> asBytes(const T& value) {
  return std::as_bytes(std::span(&value, 1));
}

// Texels of an image in `format` as 8-bit channels: clamped to [0, 1] and rounded.
std::vector<std::uint8_t> eightBits(std::span<const std::byte> texels, Format format) {
  std::vector<std::uint8_t> out;
  const auto push = [&](float v) {
    out.push_back(static_cast<std::uint8_t>(std::lround((v > 0 ? (v < 1 ? v : 1) : 0) * 255.0f)));
  };
  for (std::size_t i = 0; i < texels.size(); i += rhi::size(format) / 4) {
    if (format == Format::rgba8_unorm) {
      out.push_back(static_cast<std::uint8_t>(texels[i]));
    } else if (format == Format::rgba16_float) {
      std::uint16_t h = 0;
      std::memcpy(&h, &texels[i], 2);
      push(device::halfToFloat(h));
    } else {
      float f = 0;
      std::memcpy(&f, &texels[i], 4);
      push(f);
    }
  }
  return out;
}

// Units in the last place between two doubles of one sign.
std::uint64_t ulpsApart(double a, double b) {
  const auto ia = std::bit_cast<std::int64_t>(a);
  const auto ib = std::bit_cast<std::int64_t>(b);
  return ia > ib ? static_cast<std::uint64_t>(ia - ib) : static_cast<std::uint64_t>(ib - ia);
}

// Calls `f` on both devices, which must give the same value, and returns it.
template <class F>
auto onBoth(const std::array<Device*, 2>& devices, F f) {
  auto a = f(*devices[0]);
  auto b = f(*devices[1]);
  EXPECT_TRUE(a.has_value() && b.has_value())
      << (a ? "" : a.error().message) << (b ? "" : b.error().message);
  if (a && b) {
    EXPECT_EQ(*a, *b);
  }
  return a.value_or(typename decltype(a)::value_type{});
}

// A render setup made alike on both devices: a colour target, a depth target, a view, and room for
// positions, colours, indices and transforms. Both devices number their resources alike, so one
// graph serves both.
struct Scene {
  std::array<Device*, 2> devices;  // the CPU device, then the Vulkan device
  std::uint32_t width;
  std::uint32_t height;
  Format format;
  ImageId color{};
  ImageId depth{};
  BufferId view{};
  BufferId positions{};
  BufferId colors{};
  BufferId indices{};
  BufferId transforms{};
  Rgba cleared{};  // the background of the last render
  ViewUniform last_view{};
  bool fast;  // the Vulkan device runs the fast path: agreement within a pixel, not to the byte

  Scene(Device& cpu, Device& gpu, std::uint32_t w, std::uint32_t h, Format f,
        std::uint32_t capacity, bool fast_path = false)
      : devices{&cpu, &gpu}, width(w), height(h), format(f), fast(fast_path) {
    color = onBoth(devices, [&](Device& d) {
      return d.createImage(ImageDescriptor::init2D(f, w, h, ImageUsage::color_target));
    });
    depth = onBoth(devices, [&](Device& d) {
      return d.createImage(
          ImageDescriptor::init2D(Format::depth32_float, w, h, ImageUsage::depth_target));
    });
    view = onBoth(devices,
                  [&](Device& d) { return d.createBuffer(BufferDescriptor::initUniform(256)); });
    positions = onBoth(devices, [&](Device& d) {
      return d.createBuffer(BufferDescriptor::initOrvPositions(capacity));
    });
    colors = onBoth(devices, [&](Device& d) {
      return d.createBuffer({std::uint64_t{capacity} * 16, 16, rhi::BufferType::vertex,
                             Format::rgba32_float, rhi::HeapType::upload, true});
    });
    indices = onBoth(devices, [&](Device& d) {
      return d.createBuffer({std::uint64_t{capacity} * 4, 4, rhi::BufferType::index,
                             Format::r32_uint, rhi::HeapType::upload, false});
    });
    transforms = onBoth(
        devices, [&](Device& d) { return d.createBuffer(BufferDescriptor::initOrvTransforms(4)); });
  }

  template <class F>
  auto same(F f) {
    return onBoth(devices, f);
  }

  template <class T>
  void write(BufferId buffer, std::span<const T> values) {
    for (Device* d : devices) ASSERT_TRUE(d->writeBuffer(buffer, 0, std::as_bytes(values)));
  }

  PipelineId pipeline(PrimitiveTopology topology, float size, bool blend = false,
                      rhi::BlendFactor src = rhi::BlendFactor::one,
                      rhi::BlendFactor dst = rhi::BlendFactor::zero,
                      const device::PipelineOptions& options = {}) {
    rhi::GraphicsPipelineDescriptor desc{};
    desc.type = rhi::PipelineType::orv_projective;
    desc.topology = topology;
    desc.color_format = format;
    desc.depth.fs_depth = true;
    desc.blend_enabled = blend;
    desc.src_color_factor = src;
    desc.dst_color_factor = dst;
    desc.point_size = size;
    desc.line_width = size;
    return same([&](Device& d) { return d.createPipeline(desc, options); });
  }

  // Runs `draws` between a clear to `background` and the end of a render pass, on both devices.
  void render(const ViewUniform& v, std::span<const GpuCommand> draws, const Rgba& background) {
    cleared = background;
    last_view = v;
    for (Device* d : devices) ASSERT_TRUE(d->writeBuffer(view, 0, asBytes(v)));
    const std::array<ImageId, 1> attachments{color};
    const std::array<ImageId, 2> writes{color, depth};
    std::vector<GpuCommand> commands{
        {GpuCommand::BeginPass{attachments, depth}},
        {GpuCommand::Clear{color, background[0], background[1], background[2], background[3], 1}},
        {GpuCommand::BindUniform{view, 0, sizeof(ViewUniform), 0}},
    };
    commands.insert(commands.end(), draws.begin(), draws.end());
    commands.push_back({GpuCommand::EndPass{}});
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    ASSERT_TRUE(graph.addPass({"scene", {}, writes, commands, rhi::PassType::geometry}));
    for (Device* d : devices) {
      const auto ran = d->execute(graph);
      ASSERT_TRUE(ran) << d->name() << ": " << ran.error().message;
    }
  }

  std::vector<std::byte> pixels(Device& d, ImageId image, Format f) const {
    std::vector<std::byte> out(std::size_t{width} * height * rhi::size(f));
    EXPECT_TRUE(d.readImage(image, out));
    return out;
  }

  // The two devices' images after the last render: at least 99.5% of the colour pixels within
  // 2/255 in every channel in 8 bits, and at least 99.5% of the depths identical; with `exact`,
  // what the Vulkan device promises where nothing is blended and no triangle drawn, every pixel
  // and every depth identical. Prints what was measured.
  void expectAgreement(const std::string& what, bool exact) const {
    if (fast) {
      expectNear(what, color, format);
      return;
    }
    const auto a = pixels(*devices[0], color, format);
    const auto b = pixels(*devices[1], color, format);
    const auto a8 = eightBits(a, format);
    const auto b8 = eightBits(b, format);
    const auto background8 = eightBits(std::as_bytes(std::span(cleared)), Format::rgba32_float);
    const std::size_t count = std::size_t{width} * height;
    const std::size_t texel = rhi::size(format);
    std::size_t within = 0;
    std::size_t identical = 0;
    std::size_t drawn = 0;  // pixels a draw changed: an empty scene must not pass for agreement
    int worst = 0;
    for (std::size_t i = 0; i < count; ++i) {
      bool close = true;
      bool changed = false;
      for (std::size_t c = 0; c < 4; ++c) {
        const int difference = std::abs(a8[4 * i + c] - b8[4 * i + c]);
        worst = std::max(worst, difference);
        close = close && difference <= 2;
        changed = changed || std::abs(a8[4 * i + c] - background8[c]) > 2;
      }
      if (close) ++within;
      if (changed) ++drawn;
      if (std::memcmp(&a[i * texel], &b[i * texel], texel) == 0) ++identical;
    }
    const auto da = pixels(*devices[0], depth, Format::depth32_float);
    const auto db = pixels(*devices[1], depth, Format::depth32_float);
    std::size_t same_depth = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (std::memcmp(&da[4 * i], &db[4 * i], 4) == 0) ++same_depth;
    }
    const auto share = [&](std::size_t n) {
      return static_cast<double>(n) / static_cast<double>(count);
    };
    std::cout << what << ": " << share(within) * 100 << "% of pixels within 2/255, "
              << share(identical) * 100 << "% identical (at most " << worst << "/255 apart), "
              << share(same_depth) * 100 << "% of depths identical; " << share(drawn) * 100
              << "% drawn\n";
    EXPECT_GE(share(within), 0.995) << what;
    EXPECT_GE(share(same_depth), 0.995) << what;
    if (exact) {
      EXPECT_EQ(identical, count) << what;
      EXPECT_EQ(same_depth, count) << what;
    }
    EXPECT_GT(share(drawn), 0.02) << what << ": the scene is nearly empty";
  }

  // The images of `image` (in `f`) and of the depth target after the last render, the Vulkan
  // device on its fast path: at least 99% of the pixels within 2/255 in every channel, every
  // other pixel of the fast path's matched by one of its eight neighbours in the CPU device's
  // image (what it draws lands within a pixel of the CPU device's) or by a depth there within
  // 1e-6 rad (two depths that close may be drawn in the other order), and inside what both drew
  // alike, depths within 2e-6 rad. (Where an edge moved by a pixel hides a small point, the CPU device's
  // pixel has no match: that direction is not required.)
  void expectNear(const std::string& what, ImageId image, Format f) const {
    const auto a8 = eightBits(pixels(*devices[0], image, f), f);
    const auto b8 = eightBits(pixels(*devices[1], image, f), f);
    const auto da = pixels(*devices[0], depth, Format::depth32_float);
    const auto db = pixels(*devices[1], depth, Format::depth32_float);
    const auto close = [&](const std::vector<std::uint8_t>& x, std::size_t i,
                           const std::vector<std::uint8_t>& y, std::size_t j) {
      for (std::size_t c = 0; c < 4; ++c) {
        if (std::abs(x[4 * i + c] - y[4 * j + c]) > 2) return false;
      }
      return true;
    };
    // Whether pixel (x, y) of `from` has its colour at or next to (x, y) in `in`.
    const auto matched = [&](const std::vector<std::uint8_t>& from,
                             const std::vector<std::uint8_t>& in, std::uint32_t x,
                             std::uint32_t y) {
      for (std::uint32_t v = y > 0 ? y - 1 : 0; v <= std::min(y + 1, height - 1); ++v) {
        for (std::uint32_t u = x > 0 ? x - 1 : 0; u <= std::min(x + 1, width - 1); ++u) {
          if (close(from, std::size_t{y} * width + x, in, std::size_t{v} * width + u)) return true;
        }
      }
      return false;
    };
    // Whether (x, y) and its eight neighbours show one colour in both images: a pixel inside what
    // one primitive drew, where its depth is compared.
    const auto interior = [&](std::uint32_t x, std::uint32_t y) {
      const std::size_t i = std::size_t{y} * width + x;
      for (std::uint32_t v = y > 0 ? y - 1 : 0; v <= std::min(y + 1, height - 1); ++v) {
        for (std::uint32_t u = x > 0 ? x - 1 : 0; u <= std::min(x + 1, width - 1); ++u) {
          const std::size_t k = std::size_t{v} * width + u;
          if (!close(a8, k, a8, i) || !close(b8, k, a8, i)) return false;
        }
      }
      return true;
    };
    const double radians = last_view.far_fs - last_view.near_fs;
    const auto depthAt = [](const std::vector<std::byte>& z, std::size_t i) {
      float v = 0;
      std::memcpy(&v, &z[4 * i], 4);
      return v;
    };
    std::size_t same = 0;
    std::size_t unmatched = 0;
    std::size_t inside = 0;  // pixels inside what both drew alike
    std::size_t others = 0;  // of them, showing different primitives
    double worst_depth = 0;  // radians
    for (std::uint32_t y = 0; y < height; ++y) {
      for (std::uint32_t x = 0; x < width; ++x) {
        const std::size_t i = std::size_t{y} * width + x;
        if (close(a8, i, b8, i)) {
          ++same;
          const float za = depthAt(da, i);
          const float zb = depthAt(db, i);
          if (za < 1.0f && zb < 1.0f && interior(x, y)) {
            // Beyond 1e-4 rad the two pixels show different primitives of one colour, one of
            // them moved by an edge.
            const double apart = std::abs(double{za} - double{zb}) * radians;
            ++inside;
            if (apart < 1e-4) {
              worst_depth = std::max(worst_depth, apart);
            } else {
              ++others;
            }
          }
        } else if (!matched(b8, a8, x, y) &&
                   !(depthAt(da, i) < 1.0f &&
                     std::abs(double{depthAt(da, i)} - double{depthAt(db, i)}) * radians <=
                         1e-6)) {
          // Not excused as two depths within 1e-6 rad drawn in the other order.
          ++unmatched;
        }
      }
    }
    const double share = static_cast<double>(same) / (double{1} * width * height);
    std::cout << what << " (fast path): " << share * 100 << "% of pixels within 2/255, "
              << unmatched << " not within a pixel; depths within " << worst_depth << " rad\n";
    EXPECT_GE(share, 0.99) << what;
    EXPECT_EQ(unmatched, 0u) << what;
    EXPECT_LE(worst_depth, 2e-6) << what;
    EXPECT_LE(others, inside / 100) << what;
  }
};

// A point of four successive draws of `next`, taken in order (the arguments of a call are not).
template <class Next>
HomVec4 inOrder(Next next) {
  const std::array<double, 4> v{next(), next(), next(), next()};
  return HomVec4::init(v[0], v[1], v[2], v[3]);
}

// A view whose planes are x + w, w - x, y + w, w - y seen from (0, 0, 0, 1): the point
// (x, y, z, 1) lands at pixel ((x + 1) / 2 * width, (y + 1) / 2 * height).
ViewUniform flatView(std::uint32_t width, std::uint32_t height) {
  using renderer::ProjectiveHyperplane;
  return {{ProjectiveHyperplane::init(1, 0, 0, 1), ProjectiveHyperplane::init(-1, 0, 0, 1),
           ProjectiveHyperplane::init(0, 1, 0, 1), ProjectiveHyperplane::init(0, -1, 0, 1)},
          HomVec4::init(0, 0, 0, 1),
          0.0,
          std::numbers::pi / 2,
          static_cast<double>(width),
          static_cast<double>(height)};
}

// --- a device whose Vulkan entry points are wrapped -------------------------------------------

using vulkan::detail::Api;

// What the wrapped entry points of a tuned device have seen, and which calls they fail. One tuned
// device is made at a time.
struct Calls {
  std::uint64_t counted = 0;     // calls that could fail (those returning a VkResult) so far
  std::uint64_t fail_from = 0;   // the first of them to fail, counting from 1; 0: none
  std::uint64_t fail_count = 1;  // how many in a row fail from there
  VkResult failure = VK_ERROR_OUT_OF_HOST_MEMORY;
  std::function<bool(std::string_view)> counts;  // which calls count; empty: every one
  std::string failed;                            // the name of the call failed last
  std::map<VkDeviceMemory, VkDeviceSize> allocations;  // memory allocated and not freed
  VkDeviceSize live = 0;                               // their bytes
  VkDeviceSize peak = 0;                               // the most they ever were
  std::uint32_t max_groups = 0;  // maxComputeWorkGroupCount[0] reported instead of the driver's
  bool no_float64 = false;       // devices report no shaderFloat64
  bool float64_enabled = false;  // the last device was made with shaderFloat64

  // Whether the call `name` fails.
  bool fails(std::string_view name) {
    if (counts && !counts(name)) return false;
    ++counted;
    if (fail_from == 0 || counted < fail_from || counted - fail_from >= fail_count) return false;
    failed = name;
    return true;
  }
};
Calls calls;

template <auto Entry, class Function>
struct HookOf;

// Stands in for the entry point `Entry` of the Api table: fails the calls `calls` says, and passes
// the others on.
template <auto Entry, class R, class... A>
struct HookOf<Entry, R(A...)> {
  static inline R (*real)(A...) = nullptr;
  static inline R (*installed)(A...) = nullptr;
  static inline const char* name = "";

  static R call(A... args) {
    if constexpr (std::is_same_v<R, VkResult>) {
      if (calls.fails(name)) return calls.failure;
    }
    return real(args...);
  }

  // Puts `wrapper` in place of the entry point once it is loaded, and once only.
  static void wrap(Api& api, const char* entry_name, R (*wrapper)(A...) = &call) {
    auto& entry = api.*Entry;
    if (entry == nullptr || entry == installed) return;
    real = entry;
    installed = wrapper;
    name = entry_name;
    entry = wrapper;
  }
};

template <auto Entry>
using Hook = HookOf<Entry, std::remove_pointer_t<std::remove_reference_t<
                               decltype(std::declval<Api&>().*Entry)>>>;

VkResult allocateMemory(VkDevice device, const VkMemoryAllocateInfo* info,
                        const VkAllocationCallbacks* host, VkDeviceMemory* memory) {
  const VkResult r = Hook<&Api::vkAllocateMemory>::call(device, info, host, memory);
  if (r == VK_SUCCESS) {
    calls.allocations[*memory] = info->allocationSize;
    calls.live += info->allocationSize;
    calls.peak = std::max(calls.peak, calls.live);
  }
  return r;
}

void freeMemory(VkDevice device, VkDeviceMemory memory, const VkAllocationCallbacks* host) {
  if (const auto it = calls.allocations.find(memory); it != calls.allocations.end()) {
    calls.live -= it->second;
    calls.allocations.erase(it);
  }
  Hook<&Api::vkFreeMemory>::call(device, memory, host);
}

void physicalDeviceProperties(VkPhysicalDevice physical, VkPhysicalDeviceProperties* properties) {
  Hook<&Api::vkGetPhysicalDeviceProperties>::call(physical, properties);
  if (calls.max_groups != 0) properties->limits.maxComputeWorkGroupCount[0] = calls.max_groups;
}

// The features a device reports, without double precision in shaders when `calls.no_float64`.
void physicalDeviceFeatures(VkPhysicalDevice physical, VkPhysicalDeviceFeatures2* features) {
  Hook<&Api::vkGetPhysicalDeviceFeatures2>::call(physical, features);
  if (calls.no_float64) features->features.shaderFloat64 = VK_FALSE;
}

// Notes whether the device is made with double precision in shaders enabled.
VkResult createDevice(VkPhysicalDevice physical, const VkDeviceCreateInfo* info,
                      const VkAllocationCallbacks* host, VkDevice* device) {
  for (auto* next = static_cast<const VkBaseInStructure*>(info->pNext); next != nullptr;
       next = next->pNext) {
    if (next->sType == VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2) {
      calls.float64_enabled =
          reinterpret_cast<const VkPhysicalDeviceFeatures2*>(next)->features.shaderFloat64 ==
          VK_TRUE;
    }
  }
  return Hook<&Api::vkCreateDevice>::call(physical, info, host, device);
}

// Tuning::on_load: every entry point loaded so far goes through a hook.
void wrapEntryPoints(Api& api) {
  Hook<&Api::vkGetPhysicalDeviceFeatures2>::wrap(api, "vkGetPhysicalDeviceFeatures2",
                                                 &physicalDeviceFeatures);
  Hook<&Api::vkCreateDevice>::wrap(api, "vkCreateDevice", &createDevice);
  Hook<&Api::vkAllocateMemory>::wrap(api, "vkAllocateMemory", &allocateMemory);
  Hook<&Api::vkFreeMemory>::wrap(api, "vkFreeMemory", &freeMemory);
  Hook<&Api::vkGetPhysicalDeviceProperties>::wrap(api, "vkGetPhysicalDeviceProperties",
                                                  &physicalDeviceProperties);
#define ORV_TEST_WRAP(name) Hook<&Api::name>::wrap(api, #name);
  ORV_VK_GLOBAL_FUNCTIONS(ORV_TEST_WRAP)
  ORV_VK_INSTANCE_FUNCTIONS(ORV_TEST_WRAP)
  ORV_VK_DEBUG_FUNCTIONS(ORV_TEST_WRAP)
  ORV_VK_DEVICE_FUNCTIONS(ORV_TEST_WRAP)
#undef ORV_TEST_WRAP
}

class VulkanDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (envIs("ORV_SKIP_VULKAN", "1")) GTEST_SKIP() << "ORV_SKIP_VULKAN=1: Vulkan tests skipped";
    auto made = vulkan::makeDevice(options());
    if (!made) {
      if (envIs("ORV_REQUIRE_VULKAN", "1")) {
        FAIL() << "ORV_REQUIRE_VULKAN=1 but no Vulkan device: " << made.error().message;
      }
      GTEST_SKIP() << "no Vulkan device, Vulkan tests skipped: " << made.error().message;
    }
    gpu = std::move(*made);
    auto reference = device::makeCpuDevice(gpu->limits());
    ASSERT_TRUE(reference);
    cpu = std::move(*reference);
    calls = Calls{};
  }

  void TearDown() override {
    gpu.reset();  // the layer reports what the device leaves behind as it goes
    for (const std::string& message : messages) ADD_FAILURE() << "validation: " << message;
  }

  // A device made with `tuning`, every entry point it loads wrapped by a hook (see `calls`), with
  // `frames` frames in flight (1: every call waits for its work).
  device::Result<std::unique_ptr<Device>> tuned(vulkan::detail::Tuning tuning = {},
                                                std::uint32_t frames = 2) {
    tuning.on_load = wrapEntryPoints;
    vulkan::DeviceOptions o = options();
    o.frames_in_flight = frames;
    return vulkan::detail::makeDevice(o, tuning);
  }

  // Options with validation on and its messages kept, on the path `exact_path` says.
  vulkan::DeviceOptions options() {
    vulkan::DeviceOptions o;
    o.exact = exact_path;
    o.validation = true;
    o.on_validation_message = [this](std::string_view m) { messages.emplace_back(m); };
    return o;
  }

  bool exact_path = true;
  std::vector<std::string> messages;
  std::unique_ptr<Device> cpu;
  std::unique_ptr<Device> gpu;
};

// The tests of drawing, run on both paths: the exact path to the byte (but where blending or
// triangles are drawn), the fast path within a pixel (Scene::expectNear).
class VulkanPaths : public VulkanDevice, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    exact_path = GetParam();
    VulkanDevice::SetUp();
  }
};

INSTANTIATE_TEST_SUITE_P(BothPaths, VulkanPaths, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return std::string(param.param ? "exact" : "fast");
                         });

// --- the device itself --------------------------------------------------------------------------

TEST_F(VulkanDevice, IsChosenByIndexOrNameAndReportsTheDriversLimits) {
  const std::string name(gpu->name());
  EXPECT_FALSE(name.empty());
  EXPECT_NE(name, "cpu");
  const rhi::DeviceLimits& limits = gpu->limits();
  const rhi::DeviceLimits floor{};
  EXPECT_TRUE(limits.shader_f64);
  EXPECT_GT(limits.max_buffer_size, 0u);
  EXPECT_LE(limits.max_color_attachments, 8u);
  EXPECT_GE(limits.min_uniform_offset_alignment, 8u);
  EXPECT_LE(limits.max_image_dimension_2d, 65536u);
  EXPECT_EQ(limits.max_point_size, floor.max_point_size);
  EXPECT_LE(limits.max_draw_vertices, floor.max_draw_vertices);
  // A buffer beyond the device's limit is refused before the driver sees it.
  if (limits.max_buffer_size < UINT64_MAX) {
    EXPECT_EQ(gpu->createBuffer({limits.max_buffer_size + 1, 0, rhi::BufferType::storage,
                                 Format::undefined, rhi::HeapType::device_local, false})
                  .error()
                  .code,
              ErrorCode::limit_exceeded);
  }

  vulkan::DeviceOptions o = options();
  for (const std::string& choice : {name.substr(0, 4), std::string("0")}) {
    o.device = choice;
    const auto again = vulkan::makeDevice(o);
    ASSERT_TRUE(again) << choice << ": " << again.error().message;
    if (choice != "0") {
      EXPECT_EQ((*again)->name(), name);
    }
  }
  // A choice that names nothing is refused, saying so; the option wins over the variable.
  const char* outer = std::getenv("ORV_VULKAN_DEVICE");
  const std::string kept = outer != nullptr ? outer : "";
  ASSERT_EQ(setenv("ORV_VULKAN_DEVICE", "no such device", 1), 0);
  const auto by_variable = vulkan::makeDevice(options());
  o.device = "99";
  const auto by_number = vulkan::makeDevice(o);
  o.device = name;
  const auto by_option = vulkan::makeDevice(o);
  if (outer != nullptr) {
    setenv("ORV_VULKAN_DEVICE", kept.c_str(), 1);
  } else {
    unsetenv("ORV_VULKAN_DEVICE");
  }
  ASSERT_FALSE(by_variable);
  EXPECT_EQ(by_variable.error().code, ErrorCode::unsupported);
  EXPECT_NE(by_variable.error().message.find("\"no such device\" (ORV_VULKAN_DEVICE)"),
            std::string::npos)
      << by_variable.error().message;
  ASSERT_FALSE(by_number);
  EXPECT_NE(by_number.error().message.find("no Vulkan device number 99"), std::string::npos);
  EXPECT_TRUE(by_option) << by_option.error().message;
}

TEST_F(VulkanDevice, HandlesRangesAndDescriptorsAreCheckedAsOnTheCpuDevice) {
  Scene s(*cpu, *gpu, 4, 4, Format::rgba8_unorm, 4);
  std::array<std::byte, 8> bytes{};
  for (Device* d : s.devices) {
    ASSERT_TRUE(d->destroy(s.positions));
    const BufferId again = *d->createBuffer(BufferDescriptor::initOrvPositions(4));
    EXPECT_EQ(again, (BufferId{s.positions.id, s.positions.generation + 1}));
    EXPECT_TRUE(d->writeBuffer(again, 0, bytes));
  }
  rhi::GraphicsPipelineDescriptor plain{};
  rhi::GraphicsPipelineDescriptor many = plain;
  many.type = rhi::PipelineType::orv_projective;
  many.depth.fs_depth = true;
  many.sample_count = 4;
  std::array<std::byte, 3> odd{};
  const auto refusals = [&](Device& d) {
    std::vector<device::Result<void>> r;
    r.push_back(d.destroy(s.positions));
    r.push_back(d.writeBuffer(s.positions, 0, bytes));
    r.push_back(d.readBuffer(BufferId{0, 0}, 0, bytes));
    r.push_back(d.readBuffer(s.view, 250, bytes));
    r.push_back(d.writeBuffer(s.view, UINT64_MAX - 2, bytes));
    r.push_back(d.readImage(s.color, odd));
    r.push_back(d.destroy(PipelineId::compute(1)));
    const auto code = [](const auto& made) -> device::Result<void> {
      if (made) return {};
      return std::unexpected(made.error());
    };
    r.push_back(code(d.createBuffer(BufferDescriptor::initOrvPositions(0))));
    r.push_back(code(d.createBuffer({64, 16, rhi::BufferType::orv_positions, Format::homvec4_f64,
                                     rhi::HeapType::device_local, false})));
    r.push_back(code(d.createImage(
        ImageDescriptor::init2D(Format::depth32_float, 4, 4, ImageUsage::color_target))));
    r.push_back(
        code(d.createImage(ImageDescriptor::init2D(Format::r8_unorm, 4, 4, ImageUsage::sampled))));
    r.push_back(code(d.createImage(ImageDescriptor::init2D(
        Format::rgba8_unorm, d.limits().max_image_dimension_2d + 1, 4, ImageUsage::color_target))));
    r.push_back(code(d.createPipeline(plain)));
    r.push_back(code(d.createPipeline(many)));
    return r;
  };
  const auto on_cpu = refusals(*cpu);
  const auto on_gpu = refusals(*gpu);
  ASSERT_EQ(on_cpu.size(), on_gpu.size());
  for (std::size_t i = 0; i < on_cpu.size(); ++i) {
    ASSERT_FALSE(on_cpu[i]) << "case " << i;
    ASSERT_FALSE(on_gpu[i]) << "case " << i;
    EXPECT_EQ(on_gpu[i].error().code, on_cpu[i].error().code) << on_gpu[i].error().message;
    EXPECT_EQ(on_gpu[i].error().message, on_cpu[i].error().message);
  }
}

// --- commands ------------------------------------------------------------------------------------

TEST_F(VulkanDevice, ClearsAndUploadsAreByteIdentical) {
  const std::array<Format, 3> formats{Format::rgba8_unorm, Format::rgba16_float,
                                      Format::rgba32_float};
  std::array<ImageId, 3> images{};
  std::vector<HomVec4> points;
  for (int i = 0; i < 300; ++i) points.push_back(HomVec4::init(i, -0.5 * i, 1e300 / (i + 1), -0.0));
  std::vector<kernel::PGL4> moves(3, kernel::PGL4::identity());
  moves[1].data[13] = 2.5;
  Scene s(*cpu, *gpu, 5, 3, Format::rgba8_unorm, 300);
  for (std::size_t i = 0; i < formats.size(); ++i) {
    images[i] = s.same([&](Device& d) {
      return d.createImage(ImageDescriptor::init2D(
          formats[i], 5, 3, ImageUsage::color_target | ImageUsage::transfer_src));
    });
  }
  // Fresh resources are zero, then each format is cleared with values that round, clamp and
  // overflow, and the depth target inside a render pass.
  const std::array<ImageId, 1> target{images[1]};
  const std::array<GpuCommand, 8> commands{{
      {GpuCommand::Clear{images[0], 0.1f, 1.2f, -0.3f, 0.50196f, 0}},
      {GpuCommand::Clear{images[2], 0.1f, -1e30f, 3.0f, 1e-40f, 0}},
      {GpuCommand::OrvUploadPositions{s.positions, points}},
      {GpuCommand::OrvUploadPgl4{s.transforms, moves}},
      {GpuCommand::BeginPass{target, s.depth}},
      {GpuCommand::Clear{images[1], 0.1f, 1e-6f, -2.5f, 65520.0f, 0.3f}},
      {GpuCommand::EndPass{}},
      {GpuCommand::Clear{s.color, 1.0f / 3, 2.0f / 3, 0.5f, 0.998f, 0}},
  }};
  const std::array<ImageId, 5> all_writes{images[0], images[1], images[2], s.depth, s.color};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"clear", {}, all_writes, commands, rhi::PassType::clear}));
  for (Device* d : s.devices) {
    std::vector<std::byte> zero(5 * 3 * 16, std::byte{1});
    ASSERT_TRUE(d->readImage(images[2], zero));
    EXPECT_EQ(std::count(zero.begin(), zero.end(), std::byte{0}), 5 * 3 * 16) << d->name();
    ASSERT_TRUE(d->execute(graph));
  }
  for (const ImageId image : {images[0], images[1], images[2], s.depth, s.color}) {
    const Format f = image == s.depth   ? Format::depth32_float
                     : image == s.color ? Format::rgba8_unorm
                                        : formats[image.id - images[0].id];
    EXPECT_EQ(s.pixels(*cpu, image, f), s.pixels(*gpu, image, f)) << "image " << image.id;
  }
  std::vector<std::byte> a(300 * 32);
  std::vector<std::byte> b(300 * 32);
  ASSERT_TRUE(cpu->readBuffer(s.positions, 0, a));
  ASSERT_TRUE(gpu->readBuffer(s.positions, 0, b));
  EXPECT_EQ(a, b);
  ASSERT_TRUE(gpu->readBuffer(s.transforms, 128, std::span(b).first(128)));
  EXPECT_EQ(std::memcmp(b.data(), &moves[1], 128), 0);
}

TEST_F(VulkanDevice, NewBuffersOfEverySizeAreZeroToTheirLastByte) {
  // Each size is made, filled and destroyed first, so that memory the driver hands out again
  // holds something other than zero.
  for (const std::uint64_t size : {1u, 7u, 193u, 4095u, 65535u, 65536u}) {
    const BufferDescriptor desc{size, 0, rhi::BufferType::storage, Format::undefined,
                                rhi::HeapType::device_local, false};
    const std::vector<std::byte> dirt(size, std::byte{0xa5});
    for (int round = 0; round < 2; ++round) {
      const BufferId used = *gpu->createBuffer(desc);
      ASSERT_TRUE(gpu->writeBuffer(used, 0, dirt));
      ASSERT_TRUE(gpu->destroy(used));
    }
    std::array<std::vector<std::byte>, 2> fresh;
    for (std::size_t i = 0; i < 2; ++i) {
      Device& d = i == 0 ? *cpu : *gpu;
      const BufferId made = *d.createBuffer(desc);
      fresh[i].assign(size, std::byte{0x5a});
      ASSERT_TRUE(d.readBuffer(made, 0, fresh[i]));
    }
    const auto differing = std::mismatch(fresh[1].begin(), fresh[1].end(), fresh[0].begin());
    EXPECT_TRUE(differing.first == fresh[1].end())
        << size << " bytes: byte " << differing.first - fresh[1].begin() << " is "
        << static_cast<int>(*differing.first) << ", not " << static_cast<int>(*differing.second);
  }
}

TEST_F(VulkanDevice, TransfersRunInBoundedStagingAndWhatNoHeapHoldsIsRefused) {
  // A device whose heaps hold 14 MiB and whose transfers move 1.5 MB at a time; the hooks count
  // every byte it allocates. Every call waits for its work, so staging is given back as it ends.
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  constexpr std::uint64_t kBudget = 14 * kMiB;
  vulkan::detail::Tuning tuning;
  tuning.transfer_chunk = 1'500'000;
  tuning.heap_budget = kBudget;
  auto made = tuned(tuning, 1);
  ASSERT_TRUE(made) << made.error().message;
  Device& small = **made;
  Scene s(*cpu, small, 600, 700, Format::rgba8_unorm, 4);  // images of 1.6 MiB
  constexpr std::uint32_t kCount = 65536;                  // 2 MiB of positions
  std::array<BufferId, 3> positions{};
  for (BufferId& p : positions) {
    p = s.same(
        [](Device& d) { return d.createBuffer(BufferDescriptor::initOrvPositions(kCount)); });
  }
  const BufferId distances = s.same([](Device& d) {
    return d.createBuffer({kCount * 8, 8, rhi::BufferType::storage, Format::undefined,
                           rhi::HeapType::readback, false});
  });
  const VkDeviceSize resources = calls.live;

  // Three uploads of 2 MiB in one graph, and distances computed from what they left.
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::array<std::vector<HomVec4>, 3> arrays;
  for (auto& a : arrays) {
    while (a.size() < kCount) a.push_back(inOrder([&] { return u(rng); }));
  }
  const std::array<GpuCommand, 4> commands{{
      {GpuCommand::OrvUploadPositions{positions[0], arrays[0]}},
      {GpuCommand::OrvUploadPositions{positions[1], arrays[1]}},
      {GpuCommand::OrvUploadPositions{positions[2], arrays[2]}},
      {GpuCommand::OrvComputeFsDistance{positions[0], positions[2], distances, kCount}},
  }};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"uploads", {}, {}, commands, rhi::PassType::orv_fs_compute}));
  for (Device* d : s.devices) ASSERT_TRUE(d->execute(graph)) << d->name();
  EXPECT_LE(calls.live, resources + kMiB) << "the staging memory of the uploads was kept";
  // A write and reads whose pieces begin and end at odd offsets.
  const std::vector<std::byte> bytes(2'000'000, std::byte{0x3c});
  for (Device* d : s.devices) ASSERT_TRUE(d->writeBuffer(positions[1], 7, bytes));
  for (const BufferId p : positions) {
    std::array<std::vector<std::byte>, 2> read;
    for (std::size_t i = 0; i < 2; ++i) {
      read[i].resize(kCount * 32 - 5);
      ASSERT_TRUE(s.devices[i]->readBuffer(p, 5, read[i]));
    }
    EXPECT_TRUE(read[0] == read[1]) << "positions " << p.id;
  }
  std::array<std::vector<double>, 2> fs;
  for (std::size_t i = 0; i < 2; ++i) {
    fs[i].resize(kCount);
    ASSERT_TRUE(s.devices[i]->readBuffer(distances, 0, std::as_writable_bytes(std::span(fs[i]))));
  }
  for (std::uint32_t i = 0; i < kCount; ++i) ASSERT_LE(ulpsApart(fs[0][i], fs[1][i]), 4u) << i;
  // Large points across the rows where one band of a read ends and the next begins.
  const std::array<HomVec4, 4> points{
      HomVec4::init(-0.5, 0.78, 0.5, 1), HomVec4::init(0.2, 0.8, 0.3, 1),
      HomVec4::init(0.6, -0.3, 0.2, 1), HomVec4::init(-0.1, 0.75, 0.1, 1)};
  s.write(s.positions, std::span<const HomVec4>(points));
  const PipelineId big = s.pipeline(PrimitiveTopology::point_list, 16.0f);
  const std::array<GpuCommand, 2> draws{
      {{big}, {rhi::DrawCommand{big, kNone, kNone, kNone, s.positions, 4, 1}}}};
  s.render(flatView(600, 700), draws, {0.1f, 0.2f, 0.3f, 1.0f});
  EXPECT_EQ(s.pixels(*cpu, s.color, s.format), s.pixels(small, s.color, s.format));
  EXPECT_EQ(s.pixels(*cpu, s.depth, Format::depth32_float),
            s.pixels(small, s.depth, Format::depth32_float));
  EXPECT_LE(calls.live, resources + kMiB) << "the staging memory of the reads was kept";

  // What no heap holds is refused before memory is asked for, and what is left is counted.
  const auto huge = small.createImage(
      ImageDescriptor::init2D(Format::rgba32_float, 2048, 2048, ImageUsage::color_target));
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().code, ErrorCode::limit_exceeded) << huge.error().message;
  const BufferDescriptor six_mib{6 * kMiB, 0, rhi::BufferType::storage, Format::undefined,
                                 rhi::HeapType::device_local, false};
  const auto beyond = small.createBuffer(six_mib);
  ASSERT_FALSE(beyond);
  EXPECT_EQ(beyond.error().code, ErrorCode::out_of_memory) << beyond.error().message;
  for (const BufferId p : positions) ASSERT_TRUE(small.destroy(p));
  EXPECT_TRUE(small.createBuffer(six_mib));
  EXPECT_LE(calls.peak, kBudget);
}

TEST_F(VulkanDevice, DistancesAreWithinFourUlpOfTheKernel) {
  // Pairs of every kind: random, near-equal, negated, near-orthogonal, huge, tiny and mixed in
  // scale, and degenerate (zero, NaN, infinite) ones.
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> kind(0, 6);
  const auto random = [&] { return inOrder([&] { return u(rng); }); };
  const auto scaled = [](const HomVec4& v, double k) {
    return HomVec4::init(v.x * k, v.y * k, v.z * k, v.w * k);
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<HomVec4> a{HomVec4::init(0, 0, 0, 0), HomVec4::init(nan, 0, 0, 1),
                         HomVec4::init(inf, 1, 0, 0), HomVec4::init(1e-300, 0, 0, 2e-300),
                         HomVec4::init(1, 0, 0, 0)};
  std::vector<HomVec4> b{random(), random(), random(), random(), HomVec4::init(0, 1, 0, 0)};
  constexpr std::size_t kPairs = std::size_t{1} << 20;
  while (a.size() < kPairs) {
    const HomVec4 p = random();
    HomVec4 q = random();
    const double scale = u(rng);
    const double tiny = std::ldexp(scale, -static_cast<int>(rng() % 50) - 3);
    switch (kind(rng)) {
      case 0: break;
      case 1: q = HomVec4::init(p.x + tiny, p.y - tiny, p.z, p.w + tiny * u(rng)); break;
      case 2: q = HomVec4::init(-p.x, -p.y + tiny, -p.z, -p.w); break;
      case 3: {  // q made orthogonal to p, then tilted by `tiny`
        const double k = q.dot(p) / p.dot(p);
        q = HomVec4::init(q.x - k * p.x + tiny * p.x, q.y - k * p.y, q.z - k * p.z, q.w - k * p.w);
        break;
      }
      case 4: q = scaled(q, std::ldexp(1.0, 400 + static_cast<int>(rng() % 620))); break;
      case 5: q = scaled(q, std::ldexp(1.0, -400 - static_cast<int>(rng() % 640))); break;
      case 6: q = scaled(p, std::ldexp(1.0, static_cast<int>(rng() % 2000) - 1000)); break;
    }
    a.push_back(rng() % 2 == 0 ? p
                               : scaled(p, std::ldexp(1.0, static_cast<int>(rng() % 1600) - 800)));
    b.push_back(q);
  }
  // The distances of the first n pairs on `d`.
  const auto results = [&](Device& d, std::uint32_t n) {
    const BufferId pa = *d.createBuffer(BufferDescriptor::initOrvPositions(n));
    const BufferId pb = *d.createBuffer(BufferDescriptor::initOrvPositions(n));
    const BufferId out = *d.createBuffer({std::uint64_t{n} * 8, 8, rhi::BufferType::storage,
                                          Format::undefined, rhi::HeapType::readback, false});
    const std::array<GpuCommand, 3> commands{{
        {GpuCommand::OrvUploadPositions{pa, std::span(a).first(n)}},
        {GpuCommand::OrvUploadPositions{pb, std::span(b).first(n)}},
        {GpuCommand::OrvComputeFsDistance{pa, pb, out, n}},
    }};
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    EXPECT_TRUE(graph.addPass({"distances", {}, {}, commands, rhi::PassType::orv_fs_compute}));
    EXPECT_TRUE(d.execute(graph));
    std::vector<double> d_out(n);
    EXPECT_TRUE(d.readBuffer(out, 0, std::as_writable_bytes(std::span(d_out))));
    return d_out;
  };
  const auto n = static_cast<std::uint32_t>(a.size());
  const std::vector<double> expected = results(*cpu, n);
  const std::vector<double> got = results(*gpu, n);
  std::uint64_t worst_ulp = 0;
  double worst_abs = 0;
  std::size_t exact = 0;
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_FALSE(std::isnan(got[i])) << "pair " << i;
    const std::uint64_t ulp = ulpsApart(expected[i], got[i]);
    ASSERT_LE(ulp, 4u) << "pair " << i << ": " << got[i] << " against " << expected[i];
    worst_ulp = std::max(worst_ulp, ulp);
    worst_abs = std::max(worst_abs, std::abs(got[i] - expected[i]));
    exact += ulp == 0;
  }
  std::cout << n << " pairs: at most " << worst_ulp << " ulp, " << worst_abs << " rad apart; "
            << exact << " identical\n";

  // Split into several dispatches by the device's limit of work groups: a device told it may
  // dispatch two groups at a time gives the same bits, to the last pair of the last group.
  calls.max_groups = 2;
  auto split = tuned();
  ASSERT_TRUE(split) << split.error().message;
  ASSERT_EQ((*split)->limits().max_compute_group_count, 2u);
  constexpr std::uint32_t kSplit = 4 * 64 + 37;  // five groups: dispatches of 2, 2 and 1
  const std::vector<double> in_parts = results(**split, kSplit);
  EXPECT_TRUE(std::equal(in_parts.begin(), in_parts.end(), got.begin(), [](double x, double y) {
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
  }));

  // The fast path, in single precision, over the same pairs: within 1e-6 rad of the kernel.
  exact_path = false;
  auto fast = vulkan::makeDevice(options());
  ASSERT_TRUE(fast) << fast.error().message;
  const std::vector<double> single = results(**fast, n);
  double worst_single = 0;
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_LE(std::abs(single[i] - expected[i]), 1e-6)
        << "pair " << i << ": " << single[i] << " against " << expected[i];
    worst_single = std::max(worst_single, std::abs(single[i] - expected[i]));
  }
  std::cout << "fast path: at most " << worst_single << " rad apart\n";
}

TEST_P(VulkanPaths, OverlappingPointsAgree) {
  Scene s(*cpu, *gpu, 96, 64, Format::rgba16_float, 2048, !exact_path);
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.2, 1.2);
  std::uniform_real_distribution<float> c(0.0f, 1.0f);
  std::vector<HomVec4> points;
  std::vector<Rgba> tints;
  for (int i = 0; i < 2048; ++i) {
    // Inside, outside and behind the view, at many depths, some on exact pixel centres, some
    // exactly on the planes of the view's sides.
    const double ahead = 1.5 * c(rng);
    const double x = u(rng);
    HomVec4 p = HomVec4::init(x, u(rng), std::tan(ahead), 1.0);
    if (i % 7 == 0) p = HomVec4::init(std::round(p.x * 48) / 48 + 1.0 / 96, p.y, p.z, 1.0);
    if (i % 11 == 3) p = HomVec4::init(i % 2 == 0 ? 1.0 : -1.0, p.y, p.z, 1.0);
    if (i % 13 == 4) p = HomVec4::init(p.x, i % 2 == 0 ? 1.0 : -1.0, p.z, 1.0);
    if (i % 5 == 0) p = HomVec4::init(-p.x, -p.y, -p.z, -p.w);
    points.push_back(p);
    tints.push_back({c(rng), c(rng), c(rng), 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(points));
  s.write(s.colors, std::span<const Rgba>(tints));
  const PipelineId small = s.pipeline(PrimitiveTopology::point_list, 3.0f);
  const PipelineId large = s.pipeline(PrimitiveTopology::point_list, 6.5f);
  // Smaller than a pixel: below the sizes of GPUs' points, so drawn as squares of two triangles on
  // the fast path, covering only the centres they hold.
  const PipelineId tiny = s.pipeline(PrimitiveTopology::point_list, 0.75f);
  const std::array<GpuCommand, 6> draws{{
      {small},
      {rhi::DrawCommand{small, s.colors, kNone, kNone, s.positions, 1024, 1}},
      {large},
      {rhi::DrawCommand{large, kNone, kNone, kNone, s.positions, 300, 1}},
      {tiny},
      {rhi::DrawCommand{tiny, s.colors, kNone, kNone, s.positions, 2048, 1}},
  }};
  s.render(flatView(96, 64), draws, {0.1f, 0.2f, 0.3f, 1.0f});
  s.expectAgreement("points", true);
}

// Passes on the same attachments, one after another, draw in their order (the Vulkan device
// draws them in one rendering): a clear, points, then more points, the first of them at the same
// depths as before, which the depth test keeps out.
TEST_P(VulkanPaths, ConsecutivePassesOnTheSameAttachmentsDrawInOrder) {
  Scene s(*cpu, *gpu, 64, 48, Format::rgba8_unorm, 256, !exact_path);
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_real_distribution<float> c(0.0f, 1.0f);
  std::vector<HomVec4> points;
  std::vector<Rgba> tints;
  for (int i = 0; i < 256; ++i) {
    points.push_back(HomVec4::init(u(rng), u(rng), std::tan(1.4 * c(rng)), 1.0));
    tints.push_back({c(rng), c(rng), c(rng), 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(points));
  s.write(s.colors, std::span<const Rgba>(tints));
  const PipelineId dots = s.pipeline(PrimitiveTopology::point_list, 3.0f);
  for (Device* d : s.devices) ASSERT_TRUE(d->writeBuffer(s.view, 0, asBytes(flatView(64, 48))));
  const std::array<ImageId, 1> target{s.color};
  const std::array<ImageId, 2> writes{s.color, s.depth};
  const GpuCommand begin{GpuCommand::BeginPass{target, s.depth}};
  const GpuCommand bind{GpuCommand::BindUniform{s.view, 0, sizeof(ViewUniform), 0}};
  const std::array<GpuCommand, 3> clear{
      {begin, {GpuCommand::Clear{s.color, 0.2f, 0.1f, 0.3f, 1.0f, 1.0f}}, {GpuCommand::EndPass{}}}};
  const std::array<GpuCommand, 5> first{
      {begin, {dots}, bind, {rhi::DrawCommand{dots, s.colors, kNone, kNone, s.positions, 128, 1}},
       {GpuCommand::EndPass{}}}};
  const std::array<GpuCommand, 5> second{
      {begin, {dots}, bind, {rhi::DrawCommand{dots, kNone, kNone, kNone, s.positions, 256, 1}},
       {GpuCommand::EndPass{}}}};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"clear", {}, writes, clear, rhi::PassType::clear}));
  ASSERT_TRUE(graph.addPass({"first", {}, writes, first, rhi::PassType::geometry}));
  ASSERT_TRUE(graph.addPass({"second", {}, writes, second, rhi::PassType::geometry}));
  for (Device* d : s.devices) {
    const auto ran = d->execute(graph);
    ASSERT_TRUE(ran) << d->name() << ": " << ran.error().message;
  }
  s.cleared = {0.2f, 0.1f, 0.3f, 1.0f};
  s.last_view = flatView(64, 48);
  s.expectAgreement("passes in order", true);
}

TEST_P(VulkanPaths, GeodesicsAgreeWhereTheyCrossTheHyperplaneOrthogonalToTheObserver) {
  Scene s(*cpu, *gpu, 160, 90, Format::rgba8_unorm, 64, !exact_path);
  renderer::OrvCamera camera = renderer::OrvCamera::makeDefault();
  camera.moveForward(0.3);
  const ViewUniform view = ViewUniform::fromCamera(camera, 160, 90, 0.01, 1.5);
  std::mt19937_64 rng(9);
  std::normal_distribution<double> g;
  std::vector<HomVec4> ends;
  std::vector<Rgba> tints;
  for (int i = 0; i < 64; ++i) {
    const HomVec4 v = inOrder([&] { return g(rng); });
    ends.push_back(HomVec4::init(v.x, v.y, v.z - 1.5, v.w).normalize());
    tints.push_back({i % 2 == 0 ? 1.0f : 0.2f, 0.5f, i % 3 == 0 ? 1.0f : 0.0f, 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(ends));
  s.write(s.colors, std::span<const Rgba>(tints));
  std::size_t crossing = 0;
  for (std::size_t i = 0; i + 1 < ends.size(); i += 2) {
    const HomVec4 end = ends[i].dot(ends[i + 1]) < 0 ? HomVec4::init(-ends[i + 1].x, -ends[i + 1].y,
                                                                     -ends[i + 1].z, -ends[i + 1].w)
                                                     : ends[i + 1];
    crossing += (ends[i].dot(view.observer) < 0) != (end.dot(view.observer) < 0);
  }
  EXPECT_GE(crossing, 3u);  // arcs that split into two pieces are drawn
  const PipelineId arcs = s.pipeline(PrimitiveTopology::geodesic_list, 2.0f);
  const PipelineId thin = s.pipeline(PrimitiveTopology::line_strip, 1.0f);
  const std::array<GpuCommand, 5> draws{{
      {arcs},
      {rhi::DrawCommand{arcs, s.colors, kNone, kNone, s.positions, 64, 1}},
      {thin},
      {rhi::DrawCommand{thin, kNone, kNone, kNone, s.positions, 12, 1}},
      {GpuCommand::OrvRenderGeodesics{s.positions, 20, 0.9f, 0.1f, 0.6f}},
  }};
  s.render(view, draws, {0, 0, 0, 1});
  s.expectAgreement("geodesics and lines", true);
}

TEST_P(VulkanPaths, DepthCuedPointsAndGeodesicsAgreeToTheByte) {
  Scene s(*cpu, *gpu, 160, 90, Format::rgba16_float, 256, !exact_path);
  renderer::OrvCamera camera = renderer::OrvCamera::makeDefault();
  camera.moveForward(0.3);
  const ViewUniform view = ViewUniform::fromCamera(camera, 160, 90, 0.01, 1.5);
  std::mt19937_64 rng(12);
  std::normal_distribution<double> g;
  std::uniform_real_distribution<float> c(0.0f, 1.0f);
  std::vector<HomVec4> points;
  std::vector<Rgba> tints;
  for (int i = 0; i < 256; ++i) {
    const HomVec4 v = inOrder([&] { return g(rng); });
    points.push_back(HomVec4::init(v.x, v.y, v.z - 1.5, v.w).normalize());
    tints.push_back({c(rng), c(rng), c(rng), 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(points));
  s.write(s.colors, std::span<const Rgba>(tints));
  device::PipelineOptions cued;
  cued.depth_cue = {true, {0.02, 0.125, 0.245, 0.49, 0.245}};
  const PipelineId dots = s.pipeline(PrimitiveTopology::point_list, 3.0f, false,
                                     rhi::BlendFactor::one, rhi::BlendFactor::zero, cued);
  cued.depth_cue = {true, {0.2, 0.4, 0.4, 0.0, 0.0}};
  const PipelineId arcs = s.pipeline(PrimitiveTopology::geodesic_list, 2.0f, false,
                                     rhi::BlendFactor::one, rhi::BlendFactor::zero, cued);
  const std::array<GpuCommand, 4> draws{{
      {arcs},
      {rhi::DrawCommand{arcs, s.colors, kNone, kNone, s.positions, 64, 1}},
      {dots},
      {rhi::DrawCommand{dots, s.colors, kNone, kNone, s.positions, 256, 1}},
  }};
  s.render(view, draws, {0, 0, 0, 1});
  s.expectAgreement("depth-cued points and geodesics", true);
}

// Corners exactly pi/2 from the observer at the origin (points at infinity) have two
// representatives as far from it; the Vulkan device picks the one ahead as the CPU device does, so
// both draw every primitive alike whichever sign its corners are given, to the byte.
TEST_P(VulkanPaths, CornersOnTheHyperplaneOrthogonalToTheObserverDrawAsOnTheCpuInEitherSign) {
  Scene s(*cpu, *gpu, 48, 32, Format::rgba32_float, 8, !exact_path);
  const ViewUniform view =
      ViewUniform::fromCamera(renderer::OrvCamera::makeDefault(), 48, 32, 0.01, 2.0);
  const HomVec4 near = HomVec4::init(0, 0, -1, 1);
  const HomVec4 sky = HomVec4::init(0.25, -0.125, -1, 0);    // in view
  const HomVec4 behind = HomVec4::init(0.375, 0.125, 1, 0);  // its negation is in view
  const HomVec4 beside = HomVec4::init(1, 0.25, 0, 0);       // square to the line of sight
  const HomVec4 square_to_sky = HomVec4::init(0.5, 1, 0, 0);
  const std::array<std::pair<PrimitiveTopology, std::vector<HomVec4>>, 4> cases{{
      {PrimitiveTopology::point_list, {sky, behind}},
      {PrimitiveTopology::line_list, {near, sky, near, behind, near, beside}},
      {PrimitiveTopology::geodesic_list, {sky, behind, near, beside, sky, square_to_sky}},
      {PrimitiveTopology::triangle_list, {near, sky, behind, near, behind, beside}},
  }};
  for (const auto& [topology, corners] : cases) {
    const PipelineId pipeline = s.pipeline(topology, 3.0f);
    std::vector<std::byte> first;
    for (const bool negate : {false, true}) {
      std::vector<HomVec4> given = corners;
      for (HomVec4& v : given) {
        if (negate && v.w == 0.0) v = HomVec4::init(-v.x, -v.y, -v.z, -v.w);
      }
      s.write(s.positions, std::span<const HomVec4>(given));
      const std::array<GpuCommand, 2> draws{{
          {pipeline},
          {rhi::DrawCommand{pipeline, kNone, kNone, kNone, s.positions,
                            static_cast<std::uint32_t>(given.size()), 1}},
      }};
      s.render(view, draws, {0, 0, 0, 0});
      const auto on_cpu = s.pixels(*cpu, s.color, s.format);
      if (exact_path) {
        EXPECT_EQ(on_cpu, s.pixels(*gpu, s.color, s.format))
            << "topology " << static_cast<int>(topology) << (negate ? ", negated" : "");
      } else {
        s.expectNear("topology " + std::to_string(static_cast<int>(topology)) +
                         (negate ? ", negated" : ""),
                     s.color, s.format);
      }
      if (negate) {
        EXPECT_EQ(on_cpu, first) << "topology " << static_cast<int>(topology);
      }
      first = on_cpu;
    }
    EXPECT_TRUE(std::any_of(first.begin(), first.end(), [](std::byte b) { return b != std::byte{0}; }));
  }
}

// Wide bands leaving the image through every edge and corner at slants, and one running just
// outside an edge, are clipped beyond the view by half their width on both devices alike: the same
// bytes.
TEST_P(VulkanPaths, WideBandsLeavingTheImageAreClippedBeyondItAsOnTheCpu) {
  Scene s(*cpu, *gpu, 80, 60, Format::rgba8_unorm, 64, !exact_path);
  const auto at = [](double px, double py) {  // pixel (px, py) of flatView(80, 60)
    return HomVec4::init(2.0 * px / 80 - 1.0, 2.0 * py / 60 - 1.0, 0.0, 1.0);
  };
  const std::vector<HomVec4> ends{
      at(10, 45), at(60, 75),   at(70, 40), at(95, 20),   at(40, 12), at(20, -15),
      at(12, 20), at(-20, 32),  at(60, 50), at(100, 80),  at(30, -4), at(70, -5),
      at(50, 30), at(170, 140), at(15, 58), at(-40, 70),
  };
  std::vector<Rgba> tints;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    tints.push_back({0.2f + 0.05f * static_cast<float>(i), 0.9f - 0.05f * static_cast<float>(i),
                     0.5f, 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(ends));
  s.write(s.colors, std::span<const Rgba>(tints));
  const PipelineId lines = s.pipeline(PrimitiveTopology::line_list, 14.0f);
  const PipelineId arcs = s.pipeline(PrimitiveTopology::geodesic_list, 9.5f);
  const std::array<GpuCommand, 4> draws{{
      {lines},
      {rhi::DrawCommand{lines, s.colors, kNone, kNone, s.positions, 8, 1}},
      {arcs},
      {rhi::DrawCommand{arcs, s.colors, kNone, kNone, s.positions, 16, 1}},
  }};
  s.render(flatView(80, 60), draws, {0, 0, 0, 1});
  if (exact_path) {
    EXPECT_EQ(s.pixels(*cpu, s.color, s.format), s.pixels(*gpu, s.color, s.format));
    EXPECT_EQ(s.pixels(*cpu, s.depth, Format::depth32_float),
              s.pixels(*gpu, s.depth, Format::depth32_float));
  }
  s.expectAgreement("wide bands leaving the image", true);
}

TEST_P(VulkanPaths, ClippedIndexedInstancedTrianglesAgree) {
  Scene s(*cpu, *gpu, 120, 80, Format::rgba32_float, 64, !exact_path);
  const renderer::OrvCamera camera = renderer::OrvCamera::makeDefault();
  std::mt19937_64 rng(3);
  std::normal_distribution<double> g;
  std::uniform_real_distribution<float> c(0.0f, 1.0f);
  std::vector<HomVec4> corners;
  std::vector<Rgba> tints;
  std::vector<std::uint32_t> order;
  for (std::uint32_t i = 0; i < 48; ++i) {
    // Corners around the line of sight, some far off to the side or behind, so that triangles
    // are clipped by the view's planes.
    const HomVec4 v = inOrder([&] { return g(rng); });
    corners.push_back(HomVec4::init(v.x, v.y, -1.5 + v.z, 1.0 + 0.3 * v.w));
    tints.push_back({c(rng), c(rng), c(rng), 1.0f});
    order.push_back((i * 7) % 48);
  }
  order[40] = 1000;  // beyond the positions: its triangle is skipped
  s.write(s.positions, std::span<const HomVec4>(corners));
  s.write(s.colors, std::span<const Rgba>(tints));
  s.write(s.indices, std::span<const std::uint32_t>(order));
  std::array<kernel::PGL4, 2> moves{kernel::PGL4::identity(), kernel::pglRotateZ(0.4)};
  s.write(s.transforms, std::span<const kernel::PGL4>(moves));
  const PipelineId list = s.pipeline(PrimitiveTopology::triangle_list, 1.0f);
  const PipelineId strip = s.pipeline(PrimitiveTopology::triangle_strip, 1.0f);
  const std::array<GpuCommand, 4> draws{{
      {list},
      {rhi::DrawCommand{list, s.colors, s.indices, s.transforms, s.positions, 36, 2}},
      {strip},
      {rhi::DrawCommand{strip, s.colors, kNone, kNone, s.positions, 48, 1}},
  }};
  s.render(ViewUniform::fromCamera(camera, 120, 80, 0.01, 2.0), draws, {0, 0, 0, 0});
  s.expectAgreement("triangles", false);
}

TEST_P(VulkanPaths, RenderPassesWithoutOrWithAsManyColourAttachmentsAsAllowedAgree) {
  Scene s(*cpu, *gpu, 40, 30, Format::rgba16_float, 64, !exact_path);
  // As many colour targets as a pass may have, each but the first cleared to a colour of its own
  // (outside the pass, so that the depth the first pass leaves stays).
  std::vector<ImageId> targets{s.color};
  while (targets.size() < gpu->limits().max_color_attachments) {
    targets.push_back(s.same([](Device& d) {
      return d.createImage(
          ImageDescriptor::init2D(Format::rgba16_float, 40, 30, ImageUsage::color_target));
    }));
  }
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_real_distribution<float> c(0.0f, 1.0f);
  std::vector<HomVec4> points;
  std::vector<Rgba> tints;
  for (int i = 0; i < 64; ++i) {
    const HomVec4 v = inOrder([&] { return u(rng); });
    points.push_back(HomVec4::init(v.x, v.y, 1.0 + v.z, 1.0));
    tints.push_back({c(rng), c(rng), c(rng), 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(points));
  s.write(s.colors, std::span<const Rgba>(tints));
  const ViewUniform view = flatView(40, 30);
  s.last_view = view;
  for (Device* d : s.devices) ASSERT_TRUE(d->writeBuffer(s.view, 0, asBytes(view)));
  // The first half of the points only into depth, then all of them into every colour target:
  // where a point of the first half lies nearer, the second half's are hidden.
  rhi::GraphicsPipelineDescriptor desc{};
  desc.type = rhi::PipelineType::orv_projective;
  desc.topology = PrimitiveTopology::point_list;
  desc.color_format = Format::rgba16_float;
  desc.depth.fs_depth = true;
  desc.point_size = 6.0f;
  const PipelineId big = s.same([&](Device& d) { return d.createPipeline(desc); });
  desc.point_size = 4.0f;
  const PipelineId small = s.same([&](Device& d) { return d.createPipeline(desc); });
  std::vector<ImageId> writes = targets;
  writes.push_back(s.depth);
  const GpuCommand view_binding{GpuCommand::BindUniform{s.view, 0, sizeof(ViewUniform), 0}};
  std::vector<GpuCommand> commands{
      {GpuCommand::BeginPass{{}, s.depth}},
      {GpuCommand::Clear{ImageId::invalid(), 0, 0, 0, 0, 1}},
      {big},
      view_binding,
      {rhi::DrawCommand{big, kNone, kNone, kNone, s.positions, 32, 1}},
      {GpuCommand::EndPass{}},
  };
  for (std::size_t i = 1; i < targets.size(); ++i) {
    const float k = static_cast<float>(i) / 8.0f;
    commands.push_back({GpuCommand::Clear{targets[i], k, 0.5f, 1.0f - k, 1.0f, 1.0f}});
  }
  commands.insert(commands.end(),
                  {{GpuCommand::BeginPass{targets, s.depth}},
                   {small},
                   view_binding,
                   {rhi::DrawCommand{small, s.colors, kNone, kNone, s.positions, 64, 1}},
                   {GpuCommand::EndPass{}}});
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"attachments", {}, writes, commands, rhi::PassType::geometry}));
  for (Device* d : s.devices) {
    const auto ran = d->execute(graph);
    ASSERT_TRUE(ran) << d->name() << ": " << ran.error().message;
  }
  s.expectAgreement("no, then " + std::to_string(targets.size()) + " colour attachments", true);
  for (std::size_t i = 1; i < targets.size(); ++i) {
    if (exact_path) {
      EXPECT_EQ(s.pixels(*cpu, targets[i], Format::rgba16_float),
                s.pixels(*gpu, targets[i], Format::rgba16_float))
          << "target " << i;
    } else {
      s.expectNear("target " + std::to_string(i), targets[i], Format::rgba16_float);
    }
  }
}

TEST_P(VulkanPaths, BlendingAgreesInEveryColourFormat) {
  for (const auto& [format, name] : {std::pair{Format::rgba8_unorm, "rgba8_unorm"},
                                     {Format::rgba16_float, "rgba16_float"},
                                     {Format::rgba32_float, "rgba32_float"}}) {
    Scene s(*cpu, *gpu, 48, 32, format, 16, !exact_path);
    std::vector<HomVec4> points;
    std::vector<Rgba> tints;
    for (int i = 0; i < 12; ++i) {
      points.push_back(HomVec4::init(-0.8 + 0.13 * i, -0.5 + 0.09 * i, 0.1 * i, 1.0));
      tints.push_back({0.9f, 0.3f + 0.05f * static_cast<float>(i), 0.1f,
                       0.35f + 0.05f * static_cast<float>(i)});
    }
    // A square whose edges run through pixel centres, split along its diagonal and added twice
    // over: a centre that both halves, or neither, claim shows.
    for (const auto& [px, py] : {std::pair{8.5, 8.5}, {24.5, 8.5}, {24.5, 24.5}, {8.5, 24.5}}) {
      points.push_back(HomVec4::init(2.0 * px / 48 - 1.0, 2.0 * py / 32 - 1.0, 0.0, 1.0));
      tints.push_back({0.25f, 0.25f, 0.25f, 0.25f});
    }
    const std::array<std::uint32_t, 6> square{12, 13, 14, 12, 14, 15};
    s.write(s.positions, std::span<const HomVec4>(points));
    s.write(s.colors, std::span<const Rgba>(tints));
    s.write(s.indices, std::span<const std::uint32_t>(square));
    const PipelineId over =
        s.pipeline(PrimitiveTopology::triangle_strip, 1.0f, true, rhi::BlendFactor::src_alpha,
                   rhi::BlendFactor::one_minus_src_alpha);
    const PipelineId add = s.pipeline(PrimitiveTopology::point_list, 9.0f, true,
                                      rhi::BlendFactor::one, rhi::BlendFactor::one);
    const PipelineId sum = s.pipeline(PrimitiveTopology::triangle_list, 1.0f, true,
                                      rhi::BlendFactor::one, rhi::BlendFactor::one);
    const std::array<GpuCommand, 6> draws{{
        {over},
        {rhi::DrawCommand{over, s.colors, kNone, kNone, s.positions, 12, 1}},
        {add},
        {rhi::DrawCommand{add, s.colors, kNone, kNone, s.positions, 12, 1}},
        {sum},
        {rhi::DrawCommand{sum, s.colors, s.indices, kNone, s.positions, 6, 2}},
    }};
    s.render(flatView(48, 32), draws, {0.2f, 0.4f, 0.6f, 0.5f});
    s.expectAgreement(std::string("blending into ") + name, false);
  }
}

// A device without double precision in shaders: the exact path is refused, saying to use the fast
// path, which is made without it and draws with the validation layer on (a shader module using
// 64-bit floats without the feature, its distance shader's included, is a validation error).
TEST_F(VulkanDevice, TheFastPathNeedsNoDoublePrecision) {
  calls.no_float64 = true;
  const auto refused = tuned();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, ErrorCode::unsupported);
  EXPECT_NE(refused.error().message.find("exact = false"), std::string::npos)
      << refused.error().message;
  exact_path = false;
  auto made = tuned();
  ASSERT_TRUE(made) << made.error().message;
  EXPECT_FALSE(calls.float64_enabled);
  Scene s(*cpu, **made, 32, 24, Format::rgba8_unorm, 4, true);
  const std::array<HomVec4, 4> corners{HomVec4::init(-0.5, -0.5, 0.2, 1), HomVec4::init(0.5, -0.4, 0.3, 1),
                                       HomVec4::init(0.1, 0.6, 0.1, 1), HomVec4::init(0.7, 0.7, 0, 1)};
  s.write(s.positions, std::span<const HomVec4>(corners));
  const PipelineId triangles = s.pipeline(PrimitiveTopology::triangle_strip, 1.0f);
  const std::array<GpuCommand, 3> draws{{
      {triangles},
      {rhi::DrawCommand{triangles, kNone, kNone, kNone, s.positions, 4, 1}},
      {GpuCommand::OrvRenderGeodesics{s.positions, 4, 0.9f, 0.1f, 0.6f}},
  }};
  s.render(flatView(32, 24), draws, {0, 0, 0, 1});
  s.expectNear("without double precision", s.color, s.format);
}

// Every point of the fast path lands on the CPU device's pixel or next to it, at least 99% of them
// on it: points of one pixel, each coloured with its own number, found in both images.
TEST_F(VulkanDevice, TheFastPathPutsEveryPointWithinAPixelOfTheCpuDevice) {
  exact_path = false;
  auto made = vulkan::makeDevice(options());
  ASSERT_TRUE(made) << made.error().message;
  constexpr std::uint32_t kCount = 4000;
  Scene s(*cpu, **made, 320, 180, Format::rgba32_float, kCount, true);
  renderer::OrvCamera camera = renderer::OrvCamera::makeDefault();
  camera.moveForward(0.2);
  const ViewUniform view = ViewUniform::fromCamera(camera, 320, 180, 0.01, 1.5);
  std::mt19937_64 rng(31);
  std::normal_distribution<double> g;
  std::vector<HomVec4> points;
  std::vector<Rgba> numbers;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    const HomVec4 v = inOrder([&] { return g(rng); });
    points.push_back(HomVec4::init(v.x, v.y, v.z - 2.0, v.w).normalize());
    numbers.push_back({static_cast<float>(i + 1), 0.0f, 0.0f, 1.0f});
  }
  s.write(s.positions, std::span<const HomVec4>(points));
  s.write(s.colors, std::span<const Rgba>(numbers));
  const PipelineId dots = s.pipeline(PrimitiveTopology::point_list, 1.0f);
  const std::array<GpuCommand, 2> draws{
      {{dots}, {rhi::DrawCommand{dots, s.colors, kNone, kNone, s.positions, kCount, 1}}}};
  s.render(view, draws, {0, 0, 0, 0});
  const auto numberAt = [&](const std::vector<std::byte>& texels, std::int64_t x, std::int64_t y) {
    if (x < 0 || y < 0 || x >= 320 || y >= 180) return 0.0f;
    float red = 0;
    std::memcpy(&red, &texels[(static_cast<std::size_t>(y) * 320 + static_cast<std::size_t>(x)) * 16], 4);
    return red;
  };
  const auto on_cpu = s.pixels(*cpu, s.color, s.format);
  const auto on_gpu = s.pixels(**made, s.color, s.format);
  std::size_t seen = 0;
  std::size_t same = 0;
  std::size_t next = 0;
  std::size_t covered = 0;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    const auto at = view.project(points[i]);
    if (!at) continue;
    const auto x = static_cast<std::int64_t>(std::min(std::floor(at->x), 319.0));
    const auto y = static_cast<std::int64_t>(std::min(std::floor(at->y), 179.0));
    const auto number = static_cast<float>(i + 1);
    if (numberAt(on_cpu, x, y) != number) continue;  // hidden by a nearer point
    ++seen;
    if (numberAt(on_gpu, x, y) == number) {
      ++same;
      continue;
    }
    bool found = false;
    for (std::int64_t dy = -1; dy <= 1; ++dy) {
      for (std::int64_t dx = -1; dx <= 1; ++dx) found = found || numberAt(on_gpu, x + dx, y + dy) == number;
    }
    next += found;
    if (found) continue;
    // Else hidden by a point no farther (within 1e-6 rad) that moved onto its pixel.
    const auto other = static_cast<std::uint32_t>(numberAt(on_gpu, x, y));
    const auto there = other > 0 ? view.project(points[other - 1]) : std::nullopt;
    const bool hidden = there && (there->depth - at->depth) * (1.5 - 0.01) <= 1e-6;
    covered += hidden;
    EXPECT_TRUE(hidden) << "point " << i << " at (" << at->x << ", " << at->y << ")";
  }
  std::cout << seen << " points seen: " << 100.0 * static_cast<double>(same) / static_cast<double>(seen)
            << "% on the same pixel, " << next << " on a neighbouring one, " << covered
            << " hidden by a point moved onto theirs\n";
  EXPECT_GT(seen, kCount / 4);
  EXPECT_GE(static_cast<double>(same), 0.99 * static_cast<double>(seen));
}

// Graphs left running while the next ones are recorded give the images of graphs waited for one
// by one: each frame uploads its own points through its frame's staging, writes its own view into
// the one uniform buffer, and draws into an image of its own; nothing is read until the end.
TEST_P(VulkanPaths, FramesInFlightGiveTheImagesOfFramesWaitedFor) {
  vulkan::DeviceOptions one_at_a_time = options();
  one_at_a_time.frames_in_flight = 1;
  auto waiting = vulkan::makeDevice(one_at_a_time);
  ASSERT_TRUE(waiting) << waiting.error().message;
  constexpr std::size_t kFrames = 5;
  constexpr std::uint32_t kPoints = 3000;
  Scene s(*gpu, **waiting, 64, 48, Format::rgba8_unorm, kPoints, false);
  std::vector<ImageId> images;
  for (std::size_t f = 0; f < kFrames; ++f) {
    images.push_back(s.same([](Device& d) {
      return d.createImage(ImageDescriptor::init2D(Format::rgba8_unorm, 64, 48, ImageUsage::color_target));
    }));
  }
  std::mt19937_64 rng(77);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::array<std::vector<HomVec4>, kFrames> points;
  for (auto& frame : points) {
    while (frame.size() < kPoints) frame.push_back(HomVec4::init(u(rng), u(rng), u(rng) + 1.5, 1.0));
  }
  const PipelineId dots = s.pipeline(PrimitiveTopology::point_list, 2.0f);
  const PipelineId arcs = s.pipeline(PrimitiveTopology::geodesic_list, 1.5f);
  // Each device runs its frames back to back, so that the one in flight starts a frame (and
  // writes the view) while the one before is still drawing.
  for (std::size_t at = 0; at < kFrames * s.devices.size(); ++at) {
    Device& d = *s.devices[at / kFrames];
    const std::size_t f = at % kFrames;
    ViewUniform view = flatView(64, 48);
    view.far_fs = 1.0 + 0.1 * static_cast<double>(f);
    const std::array<ImageId, 1> target{images[f]};
    const std::array<ImageId, 2> writes{images[f], s.depth};
    const std::array<GpuCommand, 9> commands{{
        {GpuCommand::OrvUploadPositions{s.positions, points[f]}},
        {GpuCommand::BeginPass{target, s.depth}},
        {GpuCommand::Clear{images[f], 0.1f, 0.1f, 0.2f * static_cast<float>(f), 1, 1}},
        {GpuCommand::BindUniform{s.view, 0, sizeof(ViewUniform), 0}},
        {dots},
        {rhi::DrawCommand{dots, kNone, kNone, kNone, s.positions, kPoints, 1}},
        {arcs},
        {rhi::DrawCommand{arcs, kNone, kNone, kNone, s.positions, 200, 1}},
        {GpuCommand::EndPass{}},
    }};
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    ASSERT_TRUE(graph.addPass({"frame", {}, writes, commands, rhi::PassType::geometry}));
    ASSERT_TRUE(d.writeBuffer(s.view, 0, asBytes(view)));
    ASSERT_TRUE(d.execute(graph));
  }
  for (std::size_t f = 0; f < kFrames; ++f) {
    const auto in_flight = s.pixels(*gpu, images[f], Format::rgba8_unorm);
    EXPECT_EQ(in_flight, s.pixels(**waiting, images[f], Format::rgba8_unorm)) << "frame " << f;
    EXPECT_GT(std::count(in_flight.begin(), in_flight.end(), std::byte{255}), 100) << "frame " << f;
  }
}

#if ORV_TEST_HAVE_SDL2
// Adds to `o` the instance extensions SDL names for the surfaces of `window`; false where it names
// none.
bool addSurfaceExtensions(SDL_Window* window, vulkan::DeviceOptions& o) {
  unsigned count = 0;
  if (!SDL_Vulkan_GetInstanceExtensions(window, &count, nullptr)) return false;
  std::vector<const char*> names(count);
  if (!SDL_Vulkan_GetInstanceExtensions(window, &count, names.data())) return false;
  o.instance_extensions.assign(names.begin(), names.begin() + count);
  return true;
}

// Frames shown in a window through its surface, on both paths: a window made by SDL, its surface
// made with the device's instance and handed to the device, images presented (one after the
// window is resized, so that the swapchain is made anew), with the validation layer on. In an X
// display only (xvfb-run gives one); refusals need none.
TEST_P(VulkanPaths, PresentsImagesToAWindowsSurface) {
  {
    // Without VK_KHR_surface among the instance extensions there is nothing to present to.
    auto plain = vulkan::makeVulkanDevice(options());
    ASSERT_TRUE(plain) << plain.error().message;
    EXPECT_EQ((*plain)->attachSurface(0).error().code, ErrorCode::unsupported);
  }
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display (DISPLAY is unset)";
  ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
  SDL_Window* window = SDL_CreateWindow("orv", 0, 0, 96, 64, SDL_WINDOW_VULKAN);
  ASSERT_NE(window, nullptr) << SDL_GetError();
  vulkan::DeviceOptions o = options();
  ASSERT_TRUE(addSurfaceExtensions(window, o)) << SDL_GetError();
  {
    auto made = vulkan::makeVulkanDevice(o);
    ASSERT_TRUE(made) << made.error().message;
    vulkan::Device& d = **made;
    const ImageId picture = *d.createImage(
        ImageDescriptor::init2D(Format::rgba16_float, 96, 64, ImageUsage::color_target));
    const ImageId depth = *d.createImage(
        ImageDescriptor::init2D(Format::depth32_float, 96, 64, ImageUsage::depth_target));
    EXPECT_EQ(d.present(picture).error().code, ErrorCode::invalid_command);  // no surface yet
    VkSurfaceKHR surface = VK_NULL_HANDLE;
    ASSERT_TRUE(SDL_Vulkan_CreateSurface(window, static_cast<VkInstance>(d.instance()), &surface))
        << SDL_GetError();
    ASSERT_TRUE(d.attachSurface(std::bit_cast<std::uint64_t>(surface)));
    EXPECT_EQ(d.present(depth).error().code, ErrorCode::invalid_command);
    EXPECT_EQ(d.present(ImageId{9, 1}).error().code, ErrorCode::invalid_handle);
    const std::array<ImageId, 1> writes{picture};
    for (int frame = 0; frame < 4; ++frame) {
      if (frame == 2) SDL_SetWindowSize(window, 120, 80);
      const float k = static_cast<float>(frame) / 4.0f;
      const std::array<GpuCommand, 1> clear{{{GpuCommand::Clear{picture, k, 0.5f, 1.0f - k, 1, 0}}}};
      rhi::FrameGraph graph(*std::pmr::new_delete_resource());
      ASSERT_TRUE(graph.addPass({"clear", {}, writes, clear, rhi::PassType::clear}));
      ASSERT_TRUE(d.execute(graph));
      const auto shown = d.present(picture);
      ASSERT_TRUE(shown) << shown.error().message;
    }
    // The picture is untouched by being shown.
    std::vector<std::byte> texels(96 * 64 * 8);
    ASSERT_TRUE(d.readImage(picture, texels));
    std::uint16_t red = 0;
    std::memcpy(&red, texels.data(), 2);
    EXPECT_EQ(device::halfToFloat(red), 0.75f);
  }
  SDL_DestroyWindow(window);
  SDL_Quit();
}
#endif

#if ORV_TEST_HAVE_SDL2 && ORV_TEST_HAVE_X11 && ORV_TEST_HAVE_IO
// The window shows exactly the bytes io::toDisplay makes of the presented image, read back from
// the X server: for every half float, every rgba8_unorm value, floats on either side of each step
// of the transfer curve, NaNs, infinities, zeros of either sign and subnormals; and a small image
// fills the window by nearest scaling, the pixel (x, y) showing the texel nearest its centre.
TEST_F(VulkanDevice, PresentShowsExactlyThePixelsOfToDisplay) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display (DISPLAY is unset)";
  constexpr std::uint32_t kW = 192;
  constexpr std::uint32_t kH = 128;  // 73728 channels: every half float has one
  ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
  SDL_Window* window = SDL_CreateWindow("orv", 0, 0, kW, kH, SDL_WINDOW_VULKAN);
  ASSERT_NE(window, nullptr) << SDL_GetError();
  SDL_SysWMinfo wm;
  SDL_VERSION(&wm.version);
  ASSERT_TRUE(SDL_GetWindowWMInfo(window, &wm)) << SDL_GetError();
  ASSERT_EQ(wm.subsystem, SDL_SYSWM_X11);
  vulkan::DeviceOptions o = options();
  ASSERT_TRUE(addSurfaceExtensions(window, o)) << SDL_GetError();
  auto made = vulkan::makeVulkanDevice(o);
  ASSERT_TRUE(made) << made.error().message;
  vulkan::Device& d = **made;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  ASSERT_TRUE(SDL_Vulkan_CreateSurface(window, static_cast<VkInstance>(d.instance()), &surface));
  ASSERT_TRUE(d.attachSurface(std::bit_cast<std::uint64_t>(surface)));

  // The window's pixels as red, green, blue bytes, once they are `expected` (the present is
  // displayed some time after it returns), or as they are after two seconds.
  const auto shown = [&](const std::vector<std::uint8_t>& expected) {
    std::vector<std::uint8_t> rgb(std::size_t{kW} * kH * 3);
    for (int attempt = 0; attempt < 200; ++attempt) {
      XSync(wm.info.x11.display, False);
      XImage* grab = XGetImage(wm.info.x11.display, wm.info.x11.window, 0, 0, kW, kH, AllPlanes,
                               ZPixmap);
      if (grab == nullptr) break;
      const auto channel = [](unsigned long pixel, unsigned long mask) {
        return static_cast<std::uint8_t>((pixel & mask) >> std::countr_zero(mask));
      };
      for (std::uint32_t y = 0; y < kH; ++y) {
        for (std::uint32_t x = 0; x < kW; ++x) {
          const unsigned long pixel = XGetPixel(grab, static_cast<int>(x), static_cast<int>(y));
          std::uint8_t* at = &rgb[(std::size_t{y} * kW + x) * 3];
          at[0] = channel(pixel, grab->red_mask);
          at[1] = channel(pixel, grab->green_mask);
          at[2] = channel(pixel, grab->blue_mask);
        }
      }
      XDestroyImage(grab);
      if (rgb == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return rgb;
  };
  // An image of `format`, w x h, cleared to `background`, each pixel then drawn by a point of size
  // 1 of the next colour of `values` (three channels each, alpha 1) while they last; the pixels
  // toDisplay makes of the image as the device holds it, once presented.
  const renderer::OrvCamera camera = renderer::OrvCamera::makeDefault();
  const auto present = [&](Format format, std::uint32_t w, std::uint32_t h, const Rgba& background,
                           std::span<const float> values) {
    const ViewUniform v = ViewUniform::fromCamera(camera, w, h, 0.01, 2.0);
    // On the plane z = -1 image positions are linear in x and y: each pixel's centre is found by
    // inverting that, and kept where the point lands in that pixel.
    const auto at = [&](double x, double y) {
      return *v.project(HomVec4::fromCartesian(x, y, -1));
    };
    const device::ImagePoint origin = at(0, 0);
    const double across = (at(0.01, 0).x - origin.x) / 0.01;
    const double down = (at(0, 0.01).y - origin.y) / 0.01;
    std::vector<HomVec4> points;
    std::vector<Rgba> colours;
    for (std::uint32_t y = 0; y < h && 3 * colours.size() < values.size(); ++y) {
      for (std::uint32_t x = 0; x < w && 3 * colours.size() < values.size(); ++x) {
        const HomVec4 p =
            HomVec4::fromCartesian((x + 0.5 - origin.x) / across, (y + 0.5 - origin.y) / down, -1);
        const auto lands = v.project(p);
        if (!lands || std::floor(lands->x) != x || std::floor(lands->y) != y) continue;
        const std::size_t i = 3 * colours.size();
        points.push_back(p);
        colours.push_back({values[i], i + 1 < values.size() ? values[i + 1] : 0.0f,
                           i + 2 < values.size() ? values[i + 2] : 0.0f, 1.0f});
      }
    }
    // Nearly every pixel holds a point, or every value was drawn.
    EXPECT_GE(points.size(), std::min<std::size_t>(std::size_t{w} * h * 9 / 10, values.size() / 3));
    const auto capacity = static_cast<std::uint32_t>(std::max<std::size_t>(points.size(), 1));
    const ImageId image =
        *d.createImage(ImageDescriptor::init2D(format, w, h, ImageUsage::color_target));
    const ImageId depth = *d.createImage(
        ImageDescriptor::init2D(Format::depth32_float, w, h, ImageUsage::depth_target));
    const BufferId view = *d.createBuffer(BufferDescriptor::initUniform(256));
    const BufferId positions = *d.createBuffer(BufferDescriptor::initOrvPositions(capacity));
    const BufferId colour_buffer =
        *d.createBuffer({std::uint64_t{capacity} * 16, 16, rhi::BufferType::vertex,
                         Format::rgba32_float, rhi::HeapType::upload, true});
    rhi::GraphicsPipelineDescriptor desc{};
    desc.type = rhi::PipelineType::orv_projective;
    desc.topology = PrimitiveTopology::point_list;
    desc.color_format = format;
    desc.depth.fs_depth = true;
    desc.point_size = 1.0f;
    const PipelineId pipeline = *d.createPipeline(desc);
    EXPECT_TRUE(d.writeBuffer(view, 0, asBytes(v)));
    EXPECT_TRUE(d.writeBuffer(positions, 0, std::as_bytes(std::span(points))));
    EXPECT_TRUE(d.writeBuffer(colour_buffer, 0, std::as_bytes(std::span(colours))));
    const std::array<ImageId, 1> attachments{image};
    const std::array<ImageId, 2> writes{image, depth};
    const std::array<GpuCommand, 6> commands{{
        {GpuCommand::BeginPass{attachments, depth}},
        {GpuCommand::Clear{image, background[0], background[1], background[2], background[3], 1}},
        {GpuCommand::BindUniform{view, 0, sizeof(ViewUniform), 0}},
        {pipeline},
        {rhi::DrawCommand{pipeline, colour_buffer, kNone, kNone, positions,
                          static_cast<std::uint32_t>(points.size()), 1}},
        {GpuCommand::EndPass{}},
    }};
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    EXPECT_TRUE(graph.addPass({"points", {}, writes, commands, rhi::PassType::geometry}));
    const auto ran = d.execute(graph);
    EXPECT_TRUE(ran) << ran.error().message;
    const auto presented = d.present(image);
    EXPECT_TRUE(presented) << presented.error().message;
    std::vector<std::byte> texels(std::size_t{w} * h * rhi::size(format));
    EXPECT_TRUE(d.readImage(image, texels));
    std::vector<std::uint8_t> rgb(std::size_t{w} * h * 3);
    EXPECT_TRUE(io::toDisplay({w, h, format, texels}, io::Channels::rgb, rgb, std::size_t{w} * 3));
    return rgb;
  };
  const auto differing = [&](const std::vector<std::uint8_t>& expected) {
    const std::vector<std::uint8_t> rgb = shown(expected);
    std::size_t differ = 0;
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
      differ += !std::equal(&rgb[i], &rgb[i] + 3, &expected[i]);
    }
    return differ;
  };

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // Every half float: their float values, drawn into an rgba16_float image, are stored exactly.
  std::vector<float> halves(65536);
  for (std::size_t h = 0; h < halves.size(); ++h) {
    halves[h] = device::halfToFloat(static_cast<std::uint16_t>(h));
  }
  EXPECT_EQ(differing(present(Format::rgba16_float, kW, kH, {nan, -0.0f, inf, 1}, halves)), 0u)
      << "rgba16_float";
  // Every rgba8_unorm value.
  std::vector<float> unorms(768);
  for (std::size_t c = 0; c < unorms.size(); ++c) unorms[c] = static_cast<float>(c % 256) / 255.0f;
  EXPECT_EQ(differing(present(Format::rgba8_unorm, kW, kH, {0.5f, 0.25f, 1, 1}, unorms)), 0u)
      << "rgba8_unorm";
  // Floats: 16 on either side of each of the 255 steps of the curve, found here from
  // io::encodeChannel by bisection, subnormals, the largest float, then random ones over
  // [-0.1, 1.1]; NaN, -0 and infinity in the background.
  std::vector<float> floats;
  for (std::uint32_t k = 1; k <= 255; ++k) {
    std::uint32_t low = 0;
    std::uint32_t high = 0x7f800000u;
    while (high - low > 1) {
      const std::uint32_t middle = low + (high - low) / 2;
      (io::encodeChannel(std::bit_cast<float>(middle)) >= k ? high : low) = middle;
    }
    for (std::uint32_t step = high - 16; step < high + 16; ++step) {
      floats.push_back(std::bit_cast<float>(step));
    }
  }
  for (const std::uint32_t bits :
       {0x00000001u, 0x007fffffu, 0x80000001u, 0x3f800001u, 0x7f7fffffu}) {
    floats.push_back(std::bit_cast<float>(bits));
  }
  std::mt19937 random(7);
  std::uniform_real_distribution<float> spread(-0.1f, 1.1f);
  while (floats.size() < std::size_t{kW} * kH * 3) floats.push_back(spread(random));
  EXPECT_EQ(differing(present(Format::rgba32_float, kW, kH, {nan, -0.0f, inf, 1}, floats)), 0u)
      << "rgba32_float";
  // Scaled: a 7x5 image of distinct colours fills the window, each pixel (x, y) showing the texel
  // (floor((2x + 1) 7 / (2 * 192)), floor((2y + 1) 5 / (2 * 128))).
  constexpr std::uint32_t kSmallW = 7;
  constexpr std::uint32_t kSmallH = 5;
  std::vector<float> distinct(kSmallW * kSmallH * 3);
  for (std::size_t c = 0; c < distinct.size(); ++c) distinct[c] = static_cast<float>(c) / 104.0f;
  const std::vector<std::uint8_t> small =
      present(Format::rgba32_float, kSmallW, kSmallH, {0, 0, 0, 1}, distinct);
  std::vector<std::uint8_t> scaled(std::size_t{kW} * kH * 3);
  for (std::uint32_t y = 0; y < kH; ++y) {
    for (std::uint32_t x = 0; x < kW; ++x) {
      const std::uint32_t tx = (2 * x + 1) * kSmallW / (2 * kW);
      const std::uint32_t ty = (2 * y + 1) * kSmallH / (2 * kH);
      std::copy_n(&small[(std::size_t{ty} * kSmallW + tx) * 3], 3,
                  &scaled[(std::size_t{y} * kW + x) * 3]);
    }
  }
  EXPECT_EQ(differing(scaled), 0u) << "7x5 scaled to " << kW << "x" << kH;
  made->reset();
  SDL_DestroyWindow(window);
  SDL_Quit();
}
#endif

// --- validation ----------------------------------------------------------------------------------

TEST_F(VulkanDevice, BadGraphsAreRefusedAsOnTheCpuDeviceWithNothingRun) {
  Scene s(*cpu, *gpu, 4, 4, Format::rgba16_float, 2);
  const PipelineId points = s.pipeline(PrimitiveTopology::point_list, 1.0f);
  const BufferId stale =
      s.same([](Device& d) { return d.createBuffer(BufferDescriptor::initOrvPositions(2)); });
  for (Device* d : s.devices) ASSERT_TRUE(d->destroy(stale));
  const std::array<HomVec4, 2> two{HomVec4::init(0, 0, 1, 1), HomVec4::init(0, 1, 1, 1)};
  const std::array<HomVec4, 3> three{};
  const std::array<ImageId, 1> target{s.color};
  const std::array<ImageId, 2> writes{s.color, s.depth};
  const GpuCommand begin{GpuCommand::BeginPass{target, s.depth}};
  const GpuCommand uniform{GpuCommand::BindUniform{s.view, 0, sizeof(ViewUniform), 0}};
  const GpuCommand end{GpuCommand::EndPass{}};
  const ViewUniform view = flatView(4, 4);
  for (Device* d : s.devices) ASSERT_TRUE(d->writeBuffer(s.view, 0, asBytes(view)));
  const BufferId wider = s.same([](Device& d) { return d.createBuffer(BufferDescriptor::initUniform(256)); });
  const ViewUniform wider_view = flatView(8, 4);
  for (Device* d : s.devices) ASSERT_TRUE(d->writeBuffer(wider, 0, asBytes(wider_view)));
  const std::vector<std::vector<GpuCommand>> bad{
      {begin, {points}, {GpuCommand::BindUniform{wider, 0, sizeof(ViewUniform), 0}},
       {rhi::DrawCommand{points, kNone, kNone, kNone, s.positions, 2, 1}}, end},
      {begin, {points}, uniform, {rhi::DrawCommand{points, kNone, kNone, kNone, stale, 2, 1}}, end},
      {begin, uniform, {rhi::DrawCommand{points, kNone, kNone, kNone, s.positions, 2, 1}}, end},
      {begin, {points}, uniform,
       {rhi::DrawCommand{points, kNone, kNone, kNone, s.positions, 1, UINT32_MAX}}, end},
      {{GpuCommand::OrvUploadPositions{s.positions, three}}},
      {begin, {GpuCommand::OrvComputeFsDistance{s.positions, s.positions, s.view, 1}}, end},
      {{GpuCommand::BindUniform{s.view, 4, 192, 0}}},
      {begin},
      {{rhi::DispatchCommand{PipelineId::compute(1), 1, 1, 1}}},
  };
  const std::array<GpuCommand, 2> good{{{GpuCommand::OrvUploadPositions{s.positions, two}},
                                        {GpuCommand::Clear{s.color, 1, 1, 1, 1, 1}}}};
  for (const auto& commands : bad) {
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    ASSERT_TRUE(graph.addPass({"good", {}, writes, good, rhi::PassType::clear}));
    ASSERT_TRUE(graph.addPass({"bad", {}, writes, commands, rhi::PassType::geometry}));
    const auto on_cpu = cpu->execute(graph);
    const auto on_gpu = gpu->execute(graph);
    ASSERT_FALSE(on_cpu);
    ASSERT_FALSE(on_gpu);
    EXPECT_EQ(on_gpu.error().code, on_cpu.error().code);
    EXPECT_EQ(on_gpu.error().pass, 1u);
    EXPECT_EQ(on_gpu.error().command, on_cpu.error().command);
    EXPECT_EQ(on_gpu.error().message, on_cpu.error().message);
  }
  // Nothing of the good pass ran either.
  std::array<std::byte, 64> positions{};
  ASSERT_TRUE(gpu->readBuffer(s.positions, 0, positions));
  EXPECT_EQ(std::count(positions.begin(), positions.end(), std::byte{0}), 64);
  const auto texels = s.pixels(*gpu, s.color, Format::rgba16_float);
  EXPECT_EQ(std::count(texels.begin(), texels.end(), std::byte{0}), 4 * 4 * 8);
}

// --- failures of the driver ----------------------------------------------------------------------

TEST_F(VulkanDevice, EveryFailingVulkanCallIsReportedAndChangesAndLeaksNothing) {
  // The life of a small graph: make the device, make buffers, an image and a pipeline, write,
  // execute, read, destroy. Run once for each call that may fail, failing that call: the step
  // that made it fails with its code, what it leaves is as it was, and once nothing fails any more
  // the life ends as a life without failures does. The layer reports what a device leaks.
  const std::array<HomVec4, 4> a{HomVec4::init(1, 2, 3, 4), HomVec4::init(-1, 0.5, 0, 2),
                                 HomVec4::init(0, 0, 1, 0), HomVec4::init(3, -2, 1, 1)};
  const std::array<HomVec4, 4> b{HomVec4::init(2, 1, 0, 1), HomVec4::init(0, 1, 1, 1),
                                 HomVec4::init(1, 0, 1, 0), HomVec4::init(-3, 2, 1, -1)};
  const BufferDescriptor results_desc{32, 8, rhi::BufferType::storage, Format::undefined,
                                      rhi::HeapType::readback, false};
  rhi::GraphicsPipelineDescriptor points{};
  points.type = rhi::PipelineType::orv_projective;
  points.depth.fs_depth = true;
  struct Reads {
    std::vector<std::byte> distances = std::vector<std::byte>(32);
    std::vector<std::byte> pixels = std::vector<std::byte>(4 * 4 * 4);
  };
  // Which failures a step may hide: a wait the device makes good by waiting for the whole GPU.
  const auto recoverable = [](std::string_view call) {
    return call == "vkWaitForFences" || call == "vkDeviceWaitIdle";
  };
  const auto zero = [](const std::vector<std::byte>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::byte x) { return x == std::byte{0}; });
  };

  // One life; what it read, or nothing when the device was lost.
  const auto life = [&]() -> std::optional<Reads> {
    bool lost = false;
    // Runs `step` (named `what`); a failure must be that of the call failed in it, with its code.
    // `kept` then checks that nothing changed, and the step runs again, to succeed.
    const auto attempt = [&](std::string_view what, auto step, auto kept) {
      const std::uint64_t before = calls.counted;
      auto result = step();
      const bool fired = calls.fail_from > before && calls.fail_from <= calls.counted;
      if (result) {
        EXPECT_TRUE(!fired || recoverable(calls.failed))
            << what << " succeeded though " << calls.failed << " failed";
        return result;
      }
      const ErrorCode code = calls.failure == VK_ERROR_DEVICE_LOST ? ErrorCode::device_lost
                                                                   : ErrorCode::out_of_memory;
      EXPECT_TRUE(fired) << what << " failed with no call failing: " << result.error().message;
      EXPECT_EQ(device::toString(result.error().code), device::toString(code))
          << what << ", " << calls.failed << " failing: " << result.error().message;
      if (result.error().code == ErrorCode::device_lost) {
        lost = true;
        return result;
      }
      kept();
      result = step();
      EXPECT_TRUE(result) << what << " again: " << result.error().message;
      return result;
    };
    const auto nothing = [] {};
    auto made = attempt("makeDevice", [&] { return tuned(); }, nothing);
    if (!made) return std::nullopt;
    Device& d = **made;
    std::vector<BufferId> buffers;
    std::optional<ImageId> image;
    std::optional<PipelineId> pipeline;
    // After a loss every call is refused as lost, but for destroy.
    const auto endLost = [&]() -> std::optional<Reads> {
      std::array<std::byte, 8> some{};
      const auto refused = d.writeBuffer(buffers.empty() ? BufferId{1, 1} : buffers[0], 0, some);
      EXPECT_EQ(refused ? ErrorCode::unsupported : refused.error().code, ErrorCode::device_lost);
      for (const BufferId id : buffers) EXPECT_TRUE(d.destroy(id));
      if (image) {
        EXPECT_TRUE(d.destroy(*image));
      }
      if (pipeline) {
        EXPECT_TRUE(d.destroy(*pipeline));
      }
      made->reset();
      return std::nullopt;
    };

    // A failed create takes no slot: the next one made gets the handle it would have had.
    for (std::uint64_t n = 1; n <= 3; ++n) {
      const auto made_buffer = attempt(
          "createBuffer",
          [&] {
            return d.createBuffer(n < 3 ? BufferDescriptor::initOrvPositions(4) : results_desc);
          },
          nothing);
      if (lost) return endLost();
      buffers.push_back(*made_buffer);
      EXPECT_EQ(buffers.back(), (BufferId{n, 1}));
    }
    const auto made_image = attempt(
        "createImage",
        [&] {
          return d.createImage(
              ImageDescriptor::init2D(Format::rgba8_unorm, 4, 4, ImageUsage::color_target));
        },
        nothing);
    if (lost) return endLost();
    image = *made_image;
    EXPECT_EQ(*image, (ImageId{1, 1}));
    pipeline = *attempt("createPipeline", [&] { return d.createPipeline(points); }, nothing);

    const auto contents = [&](BufferId id) {
      std::vector<std::byte> bytes(id == buffers[2] ? 32 : 128, std::byte{1});
      EXPECT_TRUE(d.readBuffer(id, 0, bytes));
      return bytes;
    };
    Reads reads;
    attempt(
        "writeBuffer", [&] { return d.writeBuffer(buffers[0], 0, std::as_bytes(std::span(a))); },
        [&] { EXPECT_TRUE(zero(contents(buffers[0]))) << "a failed write wrote"; });
    if (lost) return endLost();
    const std::array<ImageId, 1> writes{*image};
    const std::array<GpuCommand, 3> commands{{
        {GpuCommand::OrvUploadPositions{buffers[1], b}},
        {GpuCommand::OrvComputeFsDistance{buffers[0], buffers[1], buffers[2], 4}},
        {GpuCommand::Clear{*image, 0.25f, 0.5f, 0.75f, 1.0f, 0.0f}},
    }};
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    EXPECT_TRUE(graph.addPass({"work", {}, writes, commands, rhi::PassType::clear}));
    attempt("execute", [&] { return d.execute(graph); },
            [&] {
              EXPECT_TRUE(zero(contents(buffers[1])) && zero(contents(buffers[2])))
                  << "a failed execute ran";
              EXPECT_TRUE(d.readImage(*image, reads.pixels));
              EXPECT_TRUE(zero(reads.pixels)) << "a failed execute cleared";
            });
    if (lost) return endLost();
    attempt("readBuffer", [&] { return d.readBuffer(buffers[2], 0, reads.distances); }, nothing);
    if (lost) return endLost();
    attempt("readImage", [&] { return d.readImage(*image, reads.pixels); }, nothing);
    if (lost) return endLost();
    for (const BufferId id : buffers) EXPECT_TRUE(d.destroy(id));
    EXPECT_TRUE(d.destroy(*image));
    EXPECT_TRUE(d.destroy(*pipeline));
    made->reset();
    return reads;
  };

  const std::optional<Reads> clean = life();
  ASSERT_TRUE(clean);
  const std::uint64_t count = calls.counted;
  std::cout << "a life makes " << count << " calls that may fail\n";
  // Out of memory in every call that may fail; the device lost in every call that may lose it.
  const auto loses = [](std::string_view call) {
    return call == "vkCreateDevice" || call == "vkQueueSubmit" || call == "vkWaitForFences" ||
           call == "vkDeviceWaitIdle";
  };
  for (const VkResult failure : {VK_ERROR_OUT_OF_HOST_MEMORY, VK_ERROR_DEVICE_LOST}) {
    for (std::uint64_t k = 1;; ++k) {
      calls = Calls{};
      calls.fail_from = k;
      calls.failure = failure == VK_ERROR_OUT_OF_HOST_MEMORY && k % 2 == 0
                          ? VK_ERROR_OUT_OF_DEVICE_MEMORY
                          : failure;
      if (failure == VK_ERROR_DEVICE_LOST) calls.counts = loses;
      const std::optional<Reads> reads = life();
      if (calls.counted < k) break;  // the life ran out of calls before the k-th
      SCOPED_TRACE(calls.failed + " failing");
      if (reads) {
        EXPECT_EQ(reads->distances, clean->distances);
        EXPECT_EQ(reads->pixels, clean->pixels);
      }
      if (HasFailure()) return;
    }
  }

  // Graphics pipelines are made when a graph first draws with them: failing there runs nothing.
  calls = Calls{};
  calls.counts = [](std::string_view call) { return call == "vkCreateGraphicsPipelines"; };
  calls.fail_from = 1;
  auto drawing = tuned();
  ASSERT_TRUE(drawing) << drawing.error().message;
  {
    Device& d = **drawing;
    Scene s(*cpu, d, 4, 4, Format::rgba8_unorm, 4);
    s.write(s.positions, std::span<const HomVec4>(a));
    const ViewUniform view = flatView(4, 4);
    for (Device* each : s.devices) ASSERT_TRUE(each->writeBuffer(s.view, 0, asBytes(view)));
    const PipelineId pipe = s.pipeline(PrimitiveTopology::point_list, 2.0f);
    const std::array<ImageId, 1> colors{s.color};
    const std::array<ImageId, 2> writes{s.color, s.depth};
    const std::array<GpuCommand, 6> commands{{
        {GpuCommand::BeginPass{colors, s.depth}},
        {GpuCommand::Clear{s.color, 0.5f, 0.5f, 0.5f, 1.0f, 1.0f}},
        {pipe},
        {GpuCommand::BindUniform{s.view, 0, sizeof(ViewUniform), 0}},
        {rhi::DrawCommand{pipe, kNone, kNone, kNone, s.positions, 4, 1}},
        {GpuCommand::EndPass{}},
    }};
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    ASSERT_TRUE(graph.addPass({"draw", {}, writes, commands, rhi::PassType::geometry}));
    const auto failed = d.execute(graph);
    ASSERT_FALSE(failed);
    EXPECT_EQ(device::toString(failed.error().code), "out_of_memory") << failed.error().message;
    EXPECT_TRUE(zero(s.pixels(d, s.color, Format::rgba8_unorm))) << "a failed execute cleared";
    for (Device* each : s.devices) ASSERT_TRUE(each->execute(graph)) << each->name();
    EXPECT_EQ(s.pixels(*cpu, s.color, Format::rgba8_unorm),
              s.pixels(d, s.color, Format::rgba8_unorm));
  }
  drawing->reset();

  // A wait that fails, and then the wait for the whole GPU too: the device cannot tell when its
  // work ends any more, so it is lost, and it keeps what the work may use until it goes: the
  // buffer being made, the staging memory of a write, a buffer written. (A device whose every
  // call waits for its work, so that the write is what waits.)
  for (const std::uint64_t hang_at : {1u, 2u}) {
    calls = Calls{};
    calls.counts = [](std::string_view call) {
      return call == "vkWaitForFences" || call == "vkDeviceWaitIdle";
    };
    calls.fail_from = hang_at;
    calls.fail_count = 2;
    auto hung = tuned({}, 1);
    ASSERT_TRUE(hung) << hung.error().message;
    Device& d = **hung;
    const auto buffer = d.createBuffer(BufferDescriptor::initOrvPositions(4));
    ASSERT_EQ(buffer.has_value(), hang_at == 2);
    const device::Result<void> failed =
        buffer ? d.writeBuffer(*buffer, 0, std::as_bytes(std::span(a)))
               : device::Result<void>(std::unexpected(buffer.error()));
    ASSERT_FALSE(failed);
    EXPECT_EQ(device::toString(failed.error().code), "device_lost") << failed.error().message;
    if (buffer) {
      const auto destroyed = d.destroy(*buffer);
      EXPECT_EQ(destroyed ? "destroyed" : device::toString(destroyed.error().code), "device_lost");
    }
    hung->reset();
  }
}

}  // namespace
