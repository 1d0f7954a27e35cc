// The Vulkan device: buffers and images in device memory, one command buffer per frame graph, and
// shaders that repeat the CPU device's arithmetic (shaders/raster.vert, raster.frag,
// fs_distance.comp).
//
// Every buffer is reached from shaders through its device address, so draws and distance
// computations need no descriptors: their push constants carry the addresses. Every image stays in
// the GENERAL layout for its whole life, and a global memory barrier separates each command that
// runs outside a render pass from what came before it (including earlier submissions), which keeps
// the order of the graph without tracking who wrote what. Data crosses between host and device
// through one host-visible staging buffer of at most one transfer chunk: larger transfers, and
// graphs whose uploads together are larger, run in several submissions. Memory is counted against
// each heap's size, so that what a heap cannot hold is refused before Vulkan is asked.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "api.hpp"
#include "context.hpp"
#include "cpu_raster.hpp"
#include "orv/vulkan.hpp"
#include "resource_table.hpp"
#include "validation.hpp"

namespace orv::vulkan {

namespace {

using device::ErrorCode;
using device::Failure;
using device::Result;
using orv::device::detail::guarded;
using orv::device::detail::handleOf;
using orv::device::detail::notLive;
using orv::device::detail::outOfMemory;
using rhi::BufferId;
using rhi::Format;
using rhi::GpuCommand;
using rhi::ImageId;
using rhi::PipelineId;

// --- shaders, compiled by glslc while orv is built -----------------------------------------------

constexpr std::uint32_t kRasterVertex[] = {
#include "raster.vert.inc"
};
constexpr std::uint32_t kRasterFragment0[] = {
#include "raster.frag.0.inc"
};
constexpr std::uint32_t kRasterFragment1[] = {
#include "raster.frag.1.inc"
};
constexpr std::uint32_t kRasterFragment2[] = {
#include "raster.frag.2.inc"
};
constexpr std::uint32_t kRasterFragment3[] = {
#include "raster.frag.3.inc"
};
constexpr std::uint32_t kRasterFragment4[] = {
#include "raster.frag.4.inc"
};
constexpr std::uint32_t kRasterFragment5[] = {
#include "raster.frag.5.inc"
};
constexpr std::uint32_t kRasterFragment6[] = {
#include "raster.frag.6.inc"
};
constexpr std::uint32_t kRasterFragment7[] = {
#include "raster.frag.7.inc"
};
constexpr std::uint32_t kRasterFragment8[] = {
#include "raster.frag.8.inc"
};
constexpr std::uint32_t kFsDistance[] = {
#include "fs_distance.comp.inc"
};

/// The fragment shader writing `n` colour attachments, for n from 0 to 8.
constexpr std::array<std::span<const std::uint32_t>, 9> kRasterFragments{
    kRasterFragment0, kRasterFragment1, kRasterFragment2, kRasterFragment3, kRasterFragment4,
    kRasterFragment5, kRasterFragment6, kRasterFragment7, kRasterFragment8};

constexpr std::uint32_t kMaxColorAttachments = 8;

// Push constants of the raster shaders: the block `Draw` of shaders/raster.glsl.
struct DrawConstants {
  VkDeviceAddress view;
  VkDeviceAddress positions;
  VkDeviceAddress indices;
  VkDeviceAddress transforms;
  VkDeviceAddress colors;
  std::uint32_t position_count;
  std::uint32_t flags;
  std::uint32_t first_primitive;
  std::uint32_t width;
  std::uint32_t height;
  float point_size;
  float line_width;
  std::uint32_t padding[3];
  std::array<float, 4> color;
};
static_assert(sizeof(DrawConstants) == 96 && offsetof(DrawConstants, color) == 80);

// What a raster pipeline draws: the specialisation constant kKind of shaders/raster.glsl.
enum Kind : std::uint32_t { kPoints = 0, kLines = 1, kGeodesics = 2, kTriangles = 3 };
constexpr std::size_t kKinds = 4;

// The bits of DrawConstants::flags (shaders/raster.glsl).
constexpr std::uint32_t kStrip = 4;
constexpr std::uint32_t kIndexed = 8;
constexpr std::uint32_t kTransformed = 16;
constexpr std::uint32_t kColored = 32;
constexpr std::uint32_t kStoreUnorm8 = 64;
constexpr std::uint32_t kStoreHalf = 128;

// Push constants of the distance shader: the block `Dispatch` of shaders/fs_distance.comp.
struct DistanceConstants {
  VkDeviceAddress a;
  VkDeviceAddress b;
  VkDeviceAddress results;
  std::uint32_t first;
  std::uint32_t count;
};
static_assert(sizeof(DistanceConstants) == 32);
constexpr std::uint32_t kDistanceGroup = 64;  // local_size_x of fs_distance.comp

// --- resources -----------------------------------------------------------------------------------

/// An allocation of device memory, and what it takes from its heap.
struct Memory {
  VkDeviceMemory memory = VK_NULL_HANDLE;
  std::uint64_t size = 0;
  std::uint32_t heap = 0;
};

struct GpuBuffer {
  rhi::BufferDescriptor desc;
  VkBuffer buffer;
  Memory memory;
  VkDeviceAddress address;
};

struct GpuImage {
  rhi::ImageDescriptor desc;
  VkImage image;
  VkImageView view;
  Memory memory;
};

/// Staging buffers kept between calls are at most this large: a larger transfer's is given back
/// when the call ends.
constexpr std::uint64_t kKeptStaging = std::uint64_t{1} << 20;

/// "2 GiB", "768 MiB", else a count of bytes.
std::string bytesText(std::uint64_t bytes) {
  if (bytes >= (std::uint64_t{1} << 30) && bytes % (std::uint64_t{1} << 30) == 0)
    return std::to_string(bytes >> 30) + " GiB";
  if (bytes >= (std::uint64_t{1} << 20) && bytes % (std::uint64_t{1} << 20) == 0)
    return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

struct GpuPipeline {
  rhi::GraphicsPipelineDescriptor desc;
  device::PipelineOptions options;
  /// Made when first drawn with: variants[n][kind] draws primitives of `kind` in render passes of
  /// n colour attachments.
  std::array<std::array<VkPipeline, kKinds>, kMaxColorAttachments + 1> variants{};
};

VkFormat vkFormat(Format format) noexcept {
  switch (format) {
    case Format::rgba8_unorm: return VK_FORMAT_R8G8B8A8_UNORM;
    case Format::rgba16_float: return VK_FORMAT_R16G16B16A16_SFLOAT;
    case Format::rgba32_float: return VK_FORMAT_R32G32B32A32_SFLOAT;
    case Format::depth32_float: return VK_FORMAT_D32_SFLOAT;
    default: return VK_FORMAT_UNDEFINED;  // refused by the descriptor checks
  }
}

VkCompareOp vkCompare(rhi::CompareOp op) noexcept {
  switch (op) {
    case rhi::CompareOp::never: return VK_COMPARE_OP_NEVER;
    case rhi::CompareOp::less: return VK_COMPARE_OP_LESS;
    case rhi::CompareOp::equal: return VK_COMPARE_OP_EQUAL;
    case rhi::CompareOp::less_equal: return VK_COMPARE_OP_LESS_OR_EQUAL;
    case rhi::CompareOp::greater: return VK_COMPARE_OP_GREATER;
    case rhi::CompareOp::not_equal: return VK_COMPARE_OP_NOT_EQUAL;
    case rhi::CompareOp::greater_equal: return VK_COMPARE_OP_GREATER_OR_EQUAL;
    case rhi::CompareOp::always: return VK_COMPARE_OP_ALWAYS;
  }
  return VK_COMPARE_OP_NEVER;
}

VkBlendFactor vkBlend(rhi::BlendFactor factor) noexcept {
  switch (factor) {
    case rhi::BlendFactor::zero: return VK_BLEND_FACTOR_ZERO;
    case rhi::BlendFactor::one: return VK_BLEND_FACTOR_ONE;
    case rhi::BlendFactor::src_alpha: return VK_BLEND_FACTOR_SRC_ALPHA;
    case rhi::BlendFactor::one_minus_src_alpha: return VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
  }
  return VK_BLEND_FACTOR_ZERO;
}

// The clear value that stores exactly the texel the CPU device stores for `color` in `format`:
// the texel converted back to floats, which every conversion to the format keeps as they are.
VkClearColorValue clearValue(Format format, const device::detail::Rgba& color) noexcept {
  std::array<std::byte, 16> texel{};
  device::detail::storeColor(texel.data(), format, 0, color);
  const device::detail::Rgba exact = device::detail::loadColor(texel.data(), format, 0);
  VkClearColorValue value{};
  std::copy(exact.begin(), exact.end(), value.float32);
  return value;
}

// The primitives a draw of `count` indices makes with `topology`, as the CPU device counts them.
std::uint64_t primitiveCount(rhi::PrimitiveTopology topology, std::uint32_t count) noexcept {
  using rhi::PrimitiveTopology;
  switch (topology) {
    case PrimitiveTopology::point_list: return count;
    case PrimitiveTopology::line_list:
    case PrimitiveTopology::geodesic_list: return count / 2;
    case PrimitiveTopology::line_strip: return count >= 2 ? count - 1 : 0;
    case PrimitiveTopology::triangle_list: return count / 3;
    case PrimitiveTopology::triangle_strip: return count >= 3 ? count - 2 : 0;
  }
  return 0;
}

Kind kindOf(rhi::PrimitiveTopology topology) noexcept {
  using rhi::PrimitiveTopology;
  switch (topology) {
    case PrimitiveTopology::point_list: return kPoints;
    case PrimitiveTopology::line_list:
    case PrimitiveTopology::line_strip: return kLines;
    case PrimitiveTopology::triangle_list:
    case PrimitiveTopology::triangle_strip: return kTriangles;
    case PrimitiveTopology::geodesic_list: return kGeodesics;
  }
  return kPoints;
}

bool isStrip(rhi::PrimitiveTopology topology) noexcept {
  return topology == rhi::PrimitiveTopology::line_strip ||
         topology == rhi::PrimitiveTopology::triangle_strip;
}

// Vertices the raster vertex shader spends on one primitive of each kind.
std::uint32_t verticesPerPrimitive(Kind kind) noexcept {
  switch (kind) {
    case kGeodesics: return 6;
    case kTriangles: return 15;
    default: return 3;
  }
}

class VulkanDevice final : public device::Device {
 public:
  VulkanDevice(std::unique_ptr<detail::Context> context, const detail::Tuning& tuning) noexcept
      : context_(std::move(context)),
        vk_(context_->api),
        device_(context_->device),
        transfer_chunk_(std::max<std::uint64_t>(tuning.transfer_chunk, 1)) {}

  VulkanDevice(const VulkanDevice&) = delete;
  VulkanDevice& operator=(const VulkanDevice&) = delete;

  ~VulkanDevice() override {
    vk_.vkDeviceWaitIdle(device_);
    buffers_.forEach([&](GpuBuffer& b) { release(b); });
    images_.forEach([&](GpuImage& i) { release(i); });
    if (abandoned_buffer_) release(*abandoned_buffer_);
    if (abandoned_image_) release(*abandoned_image_);
    pipelines_.forEach([&](GpuPipeline& p) { release(p); });
    releaseStaging();
    if (distance_pipeline_ != VK_NULL_HANDLE)
      vk_.vkDestroyPipeline(device_, distance_pipeline_, nullptr);
    for (VkPipelineLayout layout : {raster_layout_, distance_layout_}) {
      if (layout != VK_NULL_HANDLE) vk_.vkDestroyPipelineLayout(device_, layout, nullptr);
    }
    for (VkShaderModule module : modules_) {
      if (module != VK_NULL_HANDLE) vk_.vkDestroyShaderModule(device_, module, nullptr);
    }
    if (fence_ != VK_NULL_HANDLE) vk_.vkDestroyFence(device_, fence_, nullptr);
    if (pool_ != VK_NULL_HANDLE) vk_.vkDestroyCommandPool(device_, pool_, nullptr);
    // context_ then destroys the device and the instance.
  }

  // Everything made once: commands, shaders, layouts, the distance pipeline, and the limits.
  Result<void> init() {
    VkCommandPoolCreateInfo pool_info{};
    pool_info.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    pool_info.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    pool_info.queueFamilyIndex = context_->queue_family;
    if (VkResult r = vk_.vkCreateCommandPool(device_, &pool_info, nullptr, &pool_);
        r != VK_SUCCESS) {
      pool_ = VK_NULL_HANDLE;
      return vulkanFailure("makeDevice", "vkCreateCommandPool", r);
    }
    VkCommandBufferAllocateInfo command_info{};
    command_info.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    command_info.commandPool = pool_;
    command_info.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    command_info.commandBufferCount = 1;
    if (VkResult r = vk_.vkAllocateCommandBuffers(device_, &command_info, &commands_);
        r != VK_SUCCESS) {
      return vulkanFailure("makeDevice", "vkAllocateCommandBuffers", r);
    }
    VkFenceCreateInfo fence_info{};
    fence_info.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
    if (VkResult r = vk_.vkCreateFence(device_, &fence_info, nullptr, &fence_); r != VK_SUCCESS) {
      fence_ = VK_NULL_HANDLE;
      return vulkanFailure("makeDevice", "vkCreateFence", r);
    }

    const auto module = [&](std::span<const std::uint32_t> code,
                            VkShaderModule& out) -> Result<void> {
      VkShaderModuleCreateInfo info{};
      info.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
      info.codeSize = code.size_bytes();
      info.pCode = code.data();
      if (VkResult r = vk_.vkCreateShaderModule(device_, &info, nullptr, &out); r != VK_SUCCESS) {
        out = VK_NULL_HANDLE;
        return vulkanFailure("makeDevice", "vkCreateShaderModule", r);
      }
      return {};
    };
    if (auto ok = module(kRasterVertex, modules_[0]); !ok) return ok;
    for (std::size_t n = 0; n < kRasterFragments.size(); ++n) {
      if (auto ok = module(kRasterFragments[n], modules_[1 + n]); !ok) return ok;
    }
    if (auto ok = module(kFsDistance, modules_[10]); !ok) return ok;

    const auto layout = [&](VkShaderStageFlags stages, std::uint32_t bytes,
                            VkPipelineLayout& out) -> Result<void> {
      const VkPushConstantRange range{stages, 0, bytes};
      VkPipelineLayoutCreateInfo info{};
      info.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
      info.pushConstantRangeCount = 1;
      info.pPushConstantRanges = &range;
      if (VkResult r = vk_.vkCreatePipelineLayout(device_, &info, nullptr, &out); r != VK_SUCCESS) {
        out = VK_NULL_HANDLE;
        return vulkanFailure("makeDevice", "vkCreatePipelineLayout", r);
      }
      return {};
    };
    if (auto ok = layout(VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT,
                         sizeof(DrawConstants), raster_layout_);
        !ok) {
      return ok;
    }
    if (auto ok = layout(VK_SHADER_STAGE_COMPUTE_BIT, sizeof(DistanceConstants), distance_layout_);
        !ok) {
      return ok;
    }
    VkComputePipelineCreateInfo compute{};
    compute.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
    compute.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    compute.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    compute.stage.module = modules_[10];
    compute.stage.pName = "main";
    compute.layout = distance_layout_;
    if (VkResult r = vk_.vkCreateComputePipelines(device_, VK_NULL_HANDLE, 1, &compute, nullptr,
                                                  &distance_pipeline_);
        r != VK_SUCCESS) {
      distance_pipeline_ = VK_NULL_HANDLE;
      return vulkanFailure("makeDevice", "vkCreateComputePipelines", r);
    }
    limits_ = measuredLimits();
    return {};
  }

  const rhi::DeviceLimits& limits() const noexcept override { return limits_; }
  std::string_view name() const noexcept override { return context_->name; }

  Result<BufferId> createBuffer(const rhi::BufferDescriptor& desc) override {
    return guarded([&]() -> Result<BufferId> {
      if (lost_) return deviceLost("createBuffer");
      if (auto ok = device::detail::checkBufferDescriptor(desc, limits_); !ok) {
        return std::unexpected(ok.error());
      }
      GpuBuffer buffer{desc, VK_NULL_HANDLE, {}, 0};
      // Shaders read every kind of buffer, the ViewUniform included, through its address.
      const VkBufferUsageFlags usage =
          VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT |
          VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT;
      // vkCmdFillBuffer fills whole 4-byte words: the buffer gets the bytes that complete its
      // last word, so that the fill reaches every byte of it.
      const std::uint64_t words = (desc.size + 3) & ~std::uint64_t{3};
      if (auto ok = makeBuffer("createBuffer", words, usage, true, buffer.buffer, buffer.memory);
          !ok) {
        return std::unexpected(ok.error());
      }
      VkBufferDeviceAddressInfo address{};
      address.sType = VK_STRUCTURE_TYPE_BUFFER_DEVICE_ADDRESS_INFO;
      address.buffer = buffer.buffer;
      buffer.address = vk_.vkGetBufferDeviceAddress(device_, &address);
      auto zeroed = submit("createBuffer", [&](VkCommandBuffer cmd) {
        vk_.vkCmdFillBuffer(cmd, buffer.buffer, 0, VK_WHOLE_SIZE, 0);
      });
      const auto handle = zeroed ? buffers_.insert(GpuBuffer(buffer)) : std::nullopt;
      if (!handle) {
        if (hung_) {
          abandoned_buffer_ = buffer;
        } else {
          release(buffer);
        }
        if (!zeroed) return std::unexpected(zeroed.error());
        return std::unexpected(outOfMemory("createBuffer"));
      }
      return BufferId{handle->id, handle->generation};
    });
  }

  Result<ImageId> createImage(const rhi::ImageDescriptor& desc) override {
    return guarded([&]() -> Result<ImageId> {
      if (lost_) return deviceLost("createImage");
      if (auto ok = device::detail::checkImageDescriptor(desc, limits_); !ok) {
        return std::unexpected(ok.error());
      }
      const bool depth = device::detail::isDepthFormat(desc.format);
      if (!formatSupported(desc.format, false)) {
        return std::unexpected(device::detail::failure(
            ErrorCode::unsupported, "createImage: " + context_->name + " cannot render into " +
                                        std::string(device::detail::formatName(desc.format))));
      }
      // What no heap can hold is refused before Vulkan is asked. The product is kept within 64
      // bits by dividing the bound instead.
      const std::uint64_t texel = rhi::size(desc.format);
      const std::uint64_t most = largestAllocation();
      if (desc.width > most / texel / std::max<std::uint64_t>(desc.height, 1)) {
        return std::unexpected(device::detail::failure(
            ErrorCode::limit_exceeded,
            "createImage: a " + std::to_string(desc.width) + "x" + std::to_string(desc.height) +
                " " + std::string(device::detail::formatName(desc.format)) +
                " image is larger than " + context_->name + " can hold in one allocation (" +
                bytesText(most) + ")"));
      }
      GpuImage image{desc, VK_NULL_HANDLE, VK_NULL_HANDLE, {}};
      if (auto ok = makeImage(image); !ok) {
        release(image);
        return std::unexpected(ok.error());
      }
      auto zeroed = submit("createImage", [&](VkCommandBuffer cmd) {
        relayout(cmd, image.image, depth, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_GENERAL);
        const VkImageSubresourceRange range = wholeImage(depth);
        if (depth) {
          const VkClearDepthStencilValue zero{0.0f, 0};
          vk_.vkCmdClearDepthStencilImage(cmd, image.image, VK_IMAGE_LAYOUT_GENERAL, &zero, 1,
                                          &range);
        } else {
          const VkClearColorValue zero{};
          vk_.vkCmdClearColorImage(cmd, image.image, VK_IMAGE_LAYOUT_GENERAL, &zero, 1, &range);
        }
      });
      const auto handle = zeroed ? images_.insert(GpuImage(image)) : std::nullopt;
      if (!handle) {
        if (hung_) {
          abandoned_image_ = image;
        } else {
          release(image);
        }
        if (!zeroed) return std::unexpected(zeroed.error());
        return std::unexpected(outOfMemory("createImage"));
      }
      return ImageId{handle->id, handle->generation};
    });
  }

  Result<PipelineId> createPipeline(const rhi::GraphicsPipelineDescriptor& desc,
                                    const device::PipelineOptions& options = {}) override {
    return guarded([&]() -> Result<PipelineId> {
      if (lost_) return deviceLost("createPipeline");
      if (auto ok = device::detail::checkPipelineDescriptor(desc, limits_); !ok) {
        return std::unexpected(ok.error());
      }
      if (auto ok = device::detail::checkPipelineOptions(options); !ok) {
        return std::unexpected(ok.error());
      }
      if (desc.blend_enabled && !formatSupported(desc.color_format, true)) {
        return std::unexpected(device::detail::failure(
            ErrorCode::unsupported,
            "createPipeline: " + context_->name + " cannot blend into " +
                std::string(device::detail::formatName(desc.color_format))));
      }
      const auto handle = pipelines_.insert(GpuPipeline{desc, options, {}});
      if (!handle) {
        return std::unexpected(outOfMemory("createPipeline"));
      }
      return PipelineId::orvProjective(
          device::detail::pipelineNumber(handle->id, handle->generation));
    });
  }

  Result<void> destroy(BufferId id) override {
    return guarded([&]() -> Result<void> {
      if (hung_) return deviceLost("destroy");
      std::optional<GpuBuffer> buffer = buffers_.erase(handleOf(id));
      if (!buffer) return notLive("destroy", device::detail::describe(id));
      release(*buffer);
      return {};
    });
  }

  Result<void> destroy(ImageId id) override {
    return guarded([&]() -> Result<void> {
      if (hung_) return deviceLost("destroy");
      std::optional<GpuImage> image = images_.erase(handleOf(id));
      if (!image) return notLive("destroy", device::detail::describe(id));
      release(*image);
      return {};
    });
  }

  Result<void> destroy(PipelineId id) override {
    return guarded([&]() -> Result<void> {
      if (hung_) return deviceLost("destroy");
      std::optional<GpuPipeline> pipeline;
      if (lookup().pipeline(id) != nullptr) pipeline = pipelines_.erase(handleOf(id));
      if (!pipeline) return notLive("destroy", device::detail::describe(id));
      release(*pipeline);
      return {};
    });
  }

  Result<void> writeBuffer(BufferId id, std::uint64_t offset,
                           std::span<const std::byte> bytes) override {
    return guarded([&]() -> Result<void> {
      if (lost_) return deviceLost("writeBuffer");
      const GpuBuffer* buffer = buffers_.find(handleOf(id));
      if (buffer == nullptr) return notLive("writeBuffer", device::detail::describe(id));
      if (auto ok = device::detail::checkBufferRange("writeBuffer", id, buffer->desc.size, offset,
                                                     bytes.size());
          !ok) {
        return ok;
      }
      return staged([&]() -> Result<void> {
        for (std::uint64_t done = 0; done < bytes.size();) {
          const std::uint64_t chunk = std::min<std::uint64_t>(bytes.size() - done, transfer_chunk_);
          if (auto ok = reserveStaging("writeBuffer", chunk); !ok) return ok;
          std::memcpy(staging_.mapped, bytes.data() + done, chunk);
          const VkBufferCopy region{0, offset + done, chunk};
          auto copied = submit("writeBuffer", [&](VkCommandBuffer cmd) {
            vk_.vkCmdCopyBuffer(cmd, staging_.buffer, buffer->buffer, 1, &region);
          });
          if (!copied && done > 0) {
            copied.error().message += " (the write ran in parts, and its first " +
                                      std::to_string(done) + " bytes were written)";
          }
          if (!copied) return copied;
          done += chunk;
        }
        return {};
      });
    });
  }

  Result<void> readBuffer(BufferId id, std::uint64_t offset, std::span<std::byte> bytes) override {
    return guarded([&]() -> Result<void> {
      if (lost_) return deviceLost("readBuffer");
      const GpuBuffer* buffer = buffers_.find(handleOf(id));
      if (buffer == nullptr) return notLive("readBuffer", device::detail::describe(id));
      if (auto ok = device::detail::checkBufferRange("readBuffer", id, buffer->desc.size, offset,
                                                     bytes.size());
          !ok) {
        return ok;
      }
      return staged([&]() -> Result<void> {
        for (std::uint64_t done = 0; done < bytes.size();) {
          const std::uint64_t chunk = std::min<std::uint64_t>(bytes.size() - done, transfer_chunk_);
          if (auto ok = reserveStaging("readBuffer", chunk); !ok) return ok;
          const VkBufferCopy region{offset + done, 0, chunk};
          const auto copied = submit("readBuffer", [&](VkCommandBuffer cmd) {
            vk_.vkCmdCopyBuffer(cmd, buffer->buffer, staging_.buffer, 1, &region);
            toHost(cmd);
          });
          if (!copied) return copied;
          std::memcpy(bytes.data() + done, staging_.mapped, chunk);
          done += chunk;
        }
        return {};
      });
    });
  }

  Result<void> readImage(ImageId id, std::span<std::byte> bytes) override {
    return guarded([&]() -> Result<void> {
      if (lost_) return deviceLost("readImage");
      const GpuImage* image = images_.find(handleOf(id));
      if (image == nullptr) return notLive("readImage", device::detail::describe(id));
      if (auto ok = device::detail::checkImageReadback(id, image->desc, bytes.size()); !ok)
        return ok;
      // A band of whole rows at a time.
      const std::uint64_t row = std::uint64_t{image->desc.width} * rhi::size(image->desc.format);
      const std::uint32_t rows_per_chunk =
          static_cast<std::uint32_t>(std::max<std::uint64_t>(1, transfer_chunk_ / row));
      const bool depth = device::detail::isDepthFormat(image->desc.format);
      return staged([&]() -> Result<void> {
        for (std::uint32_t first = 0; first < image->desc.height;) {
          const std::uint32_t rows = std::min(rows_per_chunk, image->desc.height - first);
          if (auto ok = reserveStaging("readImage", row * rows); !ok) return ok;
          VkBufferImageCopy region{};
          region.imageSubresource = {wholeImage(depth).aspectMask, 0, 0, 1};
          region.imageOffset = {0, static_cast<std::int32_t>(first), 0};
          region.imageExtent = {image->desc.width, rows, 1};
          const auto copied = submit("readImage", [&](VkCommandBuffer cmd) {
            constexpr VkImageLayout kCopying = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
            relayout(cmd, image->image, depth, VK_IMAGE_LAYOUT_GENERAL, kCopying);
            vk_.vkCmdCopyImageToBuffer(cmd, image->image, kCopying, staging_.buffer, 1, &region);
            relayout(cmd, image->image, depth, kCopying, VK_IMAGE_LAYOUT_GENERAL);
            toHost(cmd);
          });
          if (!copied) return copied;
          std::memcpy(bytes.data() + row * first, staging_.mapped, row * rows);
          first += rows;
        }
        return {};
      });
    });
  }

  Result<void> execute(const rhi::FrameGraph& graph) override {
    return guarded([&]() -> Result<void> {
      if (lost_) return deviceLost("execute");
      if (auto ok = device::detail::validateGraph(graph, lookup(), limits_); !ok) return ok;
      return staged([&]() -> Result<void> {
        if (auto ok = prepare(graph); !ok) return ok;
        Recording r{commands_, 0, 0, {}};
        auto ran = record(graph, r);
        if (ran) ran = runCommands("execute");
        if (!ran && r.submitted > 0) {
          ran.error().message += " (the graph ran in parts, and its first " +
                                 std::to_string(r.submitted) + " had run)";
        }
        return ran;
      });
    });
  }

 private:
  // What validation looks up.
  [[nodiscard]] device::detail::TableLookup<GpuBuffer, GpuImage, GpuPipeline> lookup() noexcept {
    return {*this, buffers_, images_, pipelines_};
  }

  // --- the device's limits --------------------------------------------------------------------

  rhi::DeviceLimits measuredLimits() const noexcept {
    const VkPhysicalDeviceLimits& d = context_->properties.limits;
    rhi::DeviceLimits l{};
    l.max_image_dimension_2d =
        std::min({d.maxImageDimension2D, d.maxFramebufferWidth, d.maxFramebufferHeight,
                  d.maxViewportDimensions[0], d.maxViewportDimensions[1]});
    l.max_image_array_layers = d.maxImageArrayLayers;
    l.max_color_attachments =
        std::min({d.maxColorAttachments, d.maxFragmentOutputAttachments, kMaxColorAttachments});
    // The largest single allocation and buffer, within what 32-bit element indices in the
    // shaders reach, in whole 4-byte words (createBuffer rounds sizes up to them).
    l.max_buffer_size =
        std::min({largestAllocation(), context_->max_buffer, std::uint64_t{1} << 32}) &
        ~std::uint64_t{3};
    l.max_uniform_range = d.maxUniformBufferRange;
    // Shaders read the ViewUniform's doubles at the bound offset.
    l.min_uniform_offset_alignment =
        static_cast<std::uint32_t>(std::max<VkDeviceSize>(d.minUniformBufferOffsetAlignment, 8));
    l.max_uniform_bindings =
        std::min(l.max_uniform_bindings, d.maxPerStageDescriptorUniformBuffers);
    l.max_vertex_stride = std::min(l.max_vertex_stride, d.maxVertexInputBindingStride);
    l.max_compute_group_count = d.maxComputeWorkGroupCount[0];
    l.max_compute_group_size = d.maxComputeWorkGroupInvocations;
    const VkSampleCountFlags samples =
        d.framebufferColorSampleCounts & d.framebufferDepthSampleCounts;
    l.max_sample_count = 1;  // the largest count both kinds of attachment support
    for (std::uint32_t n = 64; n > 1; n >>= 1) {
      if ((samples & n) != 0) {
        l.max_sample_count = n;
        break;
      }
    }
    l.shader_f64 = true;
    // Points and lines are triangles built by the shaders: the limits of the CPU device hold.
    // One draw asks for at most the default number of vertices, and no more than the indices of
    // the largest index buffer: draw() splits what one vkCmdDraw cannot count into runs, but a
    // draw that runs for long ends in the loss of the device.
    l.max_draw_vertices = std::min(l.max_draw_vertices, l.max_buffer_size / sizeof(std::uint32_t));
    return l;
  }

  // Whether images of `format` can be rendered into (and, with `blend`, blended into) and copied.
  bool formatSupported(Format format, bool blend) const noexcept {
    VkFormatProperties properties{};
    context_->api.vkGetPhysicalDeviceFormatProperties(context_->physical, vkFormat(format),
                                                      &properties);
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

  // --- memory and resources -------------------------------------------------------------------

  // A memory type `allowed` allows with all of `required`, one with `preferred` as well if any.
  std::optional<std::uint32_t> memoryType(std::uint32_t allowed, VkMemoryPropertyFlags required,
                                          VkMemoryPropertyFlags preferred) const noexcept {
    std::optional<std::uint32_t> found;
    const VkPhysicalDeviceMemoryProperties& memory = context_->memory;
    for (std::uint32_t i = 0; i < memory.memoryTypeCount; ++i) {
      const VkMemoryPropertyFlags flags = memory.memoryTypes[i].propertyFlags;
      if ((allowed & (1u << i)) == 0 || (flags & required) != required) continue;
      if ((flags & preferred) == preferred) return i;
      if (!found) found = i;
    }
    return found;
  }

  // The most one allocation of device-local memory may hold: the driver's bound, within the
  // largest device-local heap.
  std::uint64_t largestAllocation() const noexcept {
    std::uint64_t heap = 0;
    for (std::uint32_t i = 0; i < context_->memory.memoryHeapCount; ++i) {
      const VkMemoryHeap& h = context_->memory.memoryHeaps[i];
      if ((h.flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT) != 0) heap = std::max(heap, h.size);
    }
    return std::min(context_->max_allocation, heap);
  }

  // Memory for `needs`, taken from the heap of a fitting type. What the heap no longer has room
  // for, counting what this device holds of it, is refused before Vulkan is asked.
  Result<Memory> allocate(std::string_view call, const VkMemoryRequirements& needs,
                          VkMemoryPropertyFlags required, VkMemoryPropertyFlags preferred,
                          bool addressable) {
    const std::optional<std::uint32_t> type = memoryType(needs.memoryTypeBits, required, preferred);
    if (!type) {
      return std::unexpected(device::detail::failure(
          ErrorCode::unsupported,
          std::string(call) + ": " + context_->name + " has no fitting memory type"));
    }
    const std::uint32_t heap = context_->memory.memoryTypes[*type].heapIndex;
    const std::uint64_t size = context_->memory.memoryHeaps[heap].size;
    if (needs.size > size - heap_used_[heap]) {
      return std::unexpected(device::detail::failure(
          ErrorCode::out_of_memory, std::string(call) + ": " + bytesText(needs.size) +
                                        " of memory are needed, and heap " + std::to_string(heap) +
                                        " of " + context_->name + " has " +
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

  void free(Memory& memory) noexcept {
    if (memory.memory == VK_NULL_HANDLE) return;
    vk_.vkFreeMemory(device_, memory.memory, nullptr);
    heap_used_[memory.heap] -= memory.size;
    memory = Memory{};
  }

  // A buffer of `size` bytes bound to memory of its own: device-local and addressable by shaders,
  // or host-visible for staging. On failure nothing is left behind.
  Result<void> makeBuffer(std::string_view call, std::uint64_t size, VkBufferUsageFlags usage,
                          bool device_local, VkBuffer& buffer, Memory& memory) {
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
                       VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, true)
            : allocate(call, needs,
                       VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT,
                       VK_MEMORY_PROPERTY_HOST_CACHED_BIT, false);
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

  // The image, its memory and its view for `image.desc`; what was made is left in `image` for the
  // caller to release on failure.
  Result<void> makeImage(GpuImage& image) {
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

  static VkImageSubresourceRange wholeImage(bool depth) noexcept {
    return {depth ? VkImageAspectFlags{VK_IMAGE_ASPECT_DEPTH_BIT}
                  : VkImageAspectFlags{VK_IMAGE_ASPECT_COLOR_BIT},
            0, 1, 0, 1};
  }

  void release(GpuBuffer& b) noexcept {
    if (b.buffer != VK_NULL_HANDLE) vk_.vkDestroyBuffer(device_, b.buffer, nullptr);
    free(b.memory);
    b.buffer = VK_NULL_HANDLE;
  }

  void release(GpuImage& i) noexcept {
    if (i.view != VK_NULL_HANDLE) vk_.vkDestroyImageView(device_, i.view, nullptr);
    if (i.image != VK_NULL_HANDLE) vk_.vkDestroyImage(device_, i.image, nullptr);
    free(i.memory);
    i.view = VK_NULL_HANDLE;
    i.image = VK_NULL_HANDLE;
  }

  void release(GpuPipeline& p) noexcept {
    for (auto& kinds : p.variants) {
      for (VkPipeline& variant : kinds) {
        if (variant != VK_NULL_HANDLE) vk_.vkDestroyPipeline(device_, variant, nullptr);
        variant = VK_NULL_HANDLE;
      }
    }
  }

  // The staging buffer, grown to at least `bytes` (one transfer chunk, or one row of an image, at
  // most); its old contents do not survive growth.
  Result<void> reserveStaging(std::string_view call, std::uint64_t bytes) {
    if (bytes <= staging_.size) return {};
    releaseStaging();
    const std::uint64_t size = std::max(bytes, std::min(kKeptStaging, transfer_chunk_));
    if (auto ok = makeBuffer(call, size,
                             VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT,
                             false, staging_.buffer, staging_.memory);
        !ok) {
      return ok;
    }
    void* mapped = nullptr;
    if (VkResult r =
            vk_.vkMapMemory(device_, staging_.memory.memory, 0, VK_WHOLE_SIZE, 0, &mapped);
        r != VK_SUCCESS) {
      releaseStaging();
      return vulkanFailure(call, "vkMapMemory", r);
    }
    staging_.mapped = static_cast<std::byte*>(mapped);
    staging_.size = size;
    return {};
  }

  void releaseStaging() noexcept {
    if (staging_.buffer != VK_NULL_HANDLE) vk_.vkDestroyBuffer(device_, staging_.buffer, nullptr);
    free(staging_.memory);
    staging_ = Staging{};
  }

  // Runs `body`, a call that moves data through the staging buffer, then gives back a staging
  // buffer larger than the device keeps between calls.
  template <class Body>
  Result<void> staged(Body&& body) {
    Result<void> done = body();
    if (staging_.size > kKeptStaging && !hung_) releaseStaging();
    return done;
  }

  // --- submissions ----------------------------------------------------------------------------

  // Records `body` after a barrier that orders it behind everything submitted before, runs it and
  // waits for it.
  template <class Body>
  Result<void> submit(std::string_view call, Body&& body) {
    if (auto ok = beginCommands(call); !ok) return ok;
    body(commands_);
    return runCommands(call);
  }

  // Starts recording the command buffer, behind a barrier that orders what follows behind
  // everything submitted before.
  Result<void> beginCommands(std::string_view call) {
    if (VkResult r = vk_.vkResetCommandBuffer(commands_, 0); r != VK_SUCCESS) {
      return vulkanFailure(call, "vkResetCommandBuffer", r);
    }
    VkCommandBufferBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    if (VkResult r = vk_.vkBeginCommandBuffer(commands_, &begin); r != VK_SUCCESS) {
      return vulkanFailure(call, "vkBeginCommandBuffer", r);
    }
    barrier(commands_);
    return {};
  }

  // Ends the recording, runs it and waits for it.
  Result<void> runCommands(std::string_view call) {
    if (VkResult r = vk_.vkEndCommandBuffer(commands_); r != VK_SUCCESS) {
      return vulkanFailure(call, "vkEndCommandBuffer", r);
    }
    if (VkResult r = vk_.vkResetFences(device_, 1, &fence_); r != VK_SUCCESS) {
      return vulkanFailure(call, "vkResetFences", r);
    }
    VkSubmitInfo info{};
    info.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    info.commandBufferCount = 1;
    info.pCommandBuffers = &commands_;
    if (VkResult r = vk_.vkQueueSubmit(context_->queue, 1, &info, fence_); r != VK_SUCCESS) {
      return vulkanFailure(call, "vkQueueSubmit", r);
    }
    if (VkResult r = vk_.vkWaitForFences(device_, 1, &fence_, VK_TRUE, UINT64_MAX);
        r != VK_SUCCESS) {
      // The work may still run, and what it uses may be neither reused nor freed before it ends:
      // wait for the whole device instead. Should that fail too, the device is of no more use.
      const VkResult idle = vk_.vkDeviceWaitIdle(device_);
      if (idle == VK_SUCCESS && r != VK_ERROR_DEVICE_LOST) return {};
      if (r == VK_ERROR_DEVICE_LOST || idle == VK_ERROR_DEVICE_LOST) {
        return vulkanFailure(call, "vkWaitForFences", VK_ERROR_DEVICE_LOST);
      }
      lost_ = true;
      hung_ = true;
      return std::unexpected(device::detail::failure(
          ErrorCode::device_lost,
          std::string(call) + ": vkWaitForFences gave " + detail::resultName(r) +
              " and vkDeviceWaitIdle " + detail::resultName(idle) + ": " + context_->name +
              " can no longer be waited for; make a new device"));
    }
    return {};
  }

  // Every write before it, on the device, is visible to every access after it.
  void barrier(VkCommandBuffer cmd) const noexcept {
    VkMemoryBarrier all{};
    all.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    all.srcAccessMask = VK_ACCESS_MEMORY_WRITE_BIT;
    all.dstAccessMask = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT;
    vk_.vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT,
                             VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, 0, 1, &all, 0, nullptr, 0,
                             nullptr);
  }

  // Moves `image` from layout `from` to layout `to`, after everything before and before
  // everything after.
  void relayout(VkCommandBuffer cmd, VkImage image, bool depth, VkImageLayout from,
                VkImageLayout to) const noexcept {
    VkImageMemoryBarrier barrier{};
    barrier.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
    barrier.srcAccessMask = VK_ACCESS_MEMORY_WRITE_BIT;
    barrier.dstAccessMask = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT;
    barrier.oldLayout = from;
    barrier.newLayout = to;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.image = image;
    barrier.subresourceRange = wholeImage(depth);
    vk_.vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT,
                             VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, 0, 0, nullptr, 0, nullptr, 1,
                             &barrier);
  }

  // Copies into the staging buffer are visible to the host once the submission is waited for.
  void toHost(VkCommandBuffer cmd) const noexcept {
    VkMemoryBarrier host{};
    host.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    host.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
    host.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    vk_.vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 1,
                             &host, 0, nullptr, 0, nullptr);
  }

  // `call` failed because the Vulkan call `what` gave `result`; a lost device stays lost.
  std::unexpected<Failure> vulkanFailure(std::string_view call, std::string_view what,
                                         VkResult result) {
    const ErrorCode code = detail::errorCodeOf(result);
    if (code == ErrorCode::device_lost) lost_ = true;
    return std::unexpected(device::detail::failure(
        code,
        std::string(call) + ": " + std::string(what) + " gave " + detail::resultName(result)));
  }

  std::unexpected<Failure> deviceLost(std::string_view call) const {
    return std::unexpected(device::detail::failure(
        ErrorCode::device_lost,
        std::string(call) + ": " + context_->name + " was lost; make a new device"));
  }

  // --- running a validated graph --------------------------------------------------------------

  // Before anything is recorded: room in the staging buffer for every upload (one transfer chunk
  // at most), and a pipeline for every draw's render pass. Failing here leaves every resource as
  // it was.
  Result<void> prepare(const rhi::FrameGraph& graph) {
    std::uint64_t uploads = 0;
    for (const rhi::FramePass& pass : graph.passes()) {
      std::uint32_t colors = 0;
      GpuPipeline* bound = nullptr;
      for (const GpuCommand& command : pass.commands) {
        if (const auto* begin = std::get_if<GpuCommand::BeginPass>(&command.payload)) {
          colors = static_cast<std::uint32_t>(begin->color_attachments.size());
        } else if (const auto* pipe = std::get_if<GpuCommand::BindPipeline>(&command.payload)) {
          bound = pipelines_.find(handleOf(*pipe));
        } else if (command.tag() == GpuCommand::Tag::draw_indexed) {
          if (auto ok = variant(*bound, colors, kindOf(bound->desc.topology)); !ok) {
            return std::unexpected(ok.error());
          }
        } else if (command.tag() == GpuCommand::Tag::orv_render_geodesics) {
          if (auto ok = variant(*bound, colors, kGeodesics); !ok)
            return std::unexpected(ok.error());
        } else if (const auto* points =
                       std::get_if<GpuCommand::OrvUploadPositions>(&command.payload)) {
          uploads = std::min(uploads + stagedSize(points->positions.size_bytes()), transfer_chunk_);
        } else if (const auto* moves = std::get_if<GpuCommand::OrvUploadPgl4>(&command.payload)) {
          uploads = std::min(uploads + stagedSize(moves->transforms.size_bytes()), transfer_chunk_);
        }
      }
    }
    return reserveStaging("execute", uploads);
  }

  static std::uint64_t stagedSize(std::uint64_t bytes) noexcept {
    return (bytes + 15) & ~std::uint64_t{15};
  }

  // The Vulkan pipeline of `p` drawing primitives of `kind` in render passes of `colors` colour
  // attachments, made when first asked for.
  Result<VkPipeline> variant(GpuPipeline& p, std::uint32_t colors, Kind kind) {
    VkPipeline& made = p.variants[colors][kind];
    if (made != VK_NULL_HANDLE) return made;
    const rhi::GraphicsPipelineDescriptor& d = p.desc;
    const bool depth = d.depth_format == Format::depth32_float;

    // The kind of primitive, then the depth cue (a 32-bit boolean and five doubles).
    struct Constants {
      std::uint32_t kind;
      std::uint32_t depth_cue;
      std::array<double, 5> cue;
    };
    const Constants constants{kind, p.options.depth_cue.enabled ? 1u : 0u,
                              p.options.depth_cue.coefficients};
    const std::array<VkSpecializationMapEntry, 7> entries{{
        {0, offsetof(Constants, kind), sizeof(std::uint32_t)},
        {1, offsetof(Constants, depth_cue), sizeof(std::uint32_t)},
        {2, offsetof(Constants, cue) + 0 * sizeof(double), sizeof(double)},
        {3, offsetof(Constants, cue) + 1 * sizeof(double), sizeof(double)},
        {4, offsetof(Constants, cue) + 2 * sizeof(double), sizeof(double)},
        {5, offsetof(Constants, cue) + 3 * sizeof(double), sizeof(double)},
        {6, offsetof(Constants, cue) + 4 * sizeof(double), sizeof(double)},
    }};
    const VkSpecializationInfo specialization{static_cast<std::uint32_t>(entries.size()),
                                              entries.data(), sizeof(Constants), &constants};
    const std::array<VkPipelineShaderStageCreateInfo, 2> stages{{
        {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO, nullptr, 0,
         VK_SHADER_STAGE_VERTEX_BIT, modules_[0], "main", &specialization},
        {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO, nullptr, 0,
         VK_SHADER_STAGE_FRAGMENT_BIT, modules_[1 + colors], "main", &specialization},
    }};
    VkPipelineVertexInputStateCreateInfo input{};
    input.sType = VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO;
    VkPipelineInputAssemblyStateCreateInfo assembly{};
    assembly.sType = VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO;
    assembly.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
    VkPipelineViewportStateCreateInfo viewport{};
    viewport.sType = VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO;
    viewport.viewportCount = 1;
    viewport.scissorCount = 1;
    VkPipelineRasterizationStateCreateInfo raster{};
    raster.sType = VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO;
    raster.polygonMode = VK_POLYGON_MODE_FILL;
    raster.cullMode = VK_CULL_MODE_NONE;
    raster.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
    raster.lineWidth = 1.0f;
    VkPipelineMultisampleStateCreateInfo multisample{};
    multisample.sType = VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO;
    multisample.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
    VkPipelineDepthStencilStateCreateInfo depth_state{};
    depth_state.sType = VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO;
    depth_state.depthTestEnable = depth && d.depth.depth_test ? VK_TRUE : VK_FALSE;
    depth_state.depthWriteEnable =
        depth && d.depth.depth_test && d.depth.depth_write ? VK_TRUE : VK_FALSE;
    depth_state.depthCompareOp = vkCompare(d.depth.depth_compare);
    depth_state.maxDepthBounds = 1.0f;
    VkPipelineColorBlendAttachmentState blend{};
    blend.blendEnable = d.blend_enabled ? VK_TRUE : VK_FALSE;
    blend.srcColorBlendFactor = vkBlend(d.src_color_factor);
    blend.dstColorBlendFactor = vkBlend(d.dst_color_factor);
    blend.colorBlendOp = VK_BLEND_OP_ADD;
    blend.srcAlphaBlendFactor = vkBlend(d.src_color_factor);
    blend.dstAlphaBlendFactor = vkBlend(d.dst_color_factor);
    blend.alphaBlendOp = VK_BLEND_OP_ADD;
    blend.colorWriteMask = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT |
                           VK_COLOR_COMPONENT_B_BIT | VK_COLOR_COMPONENT_A_BIT;
    std::array<VkPipelineColorBlendAttachmentState, kMaxColorAttachments> blends{};
    std::array<VkFormat, kMaxColorAttachments> formats{};
    std::fill_n(blends.begin(), colors, blend);
    std::fill_n(formats.begin(), colors, vkFormat(d.color_format));
    VkPipelineColorBlendStateCreateInfo blending{};
    blending.sType = VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO;
    blending.attachmentCount = colors;
    blending.pAttachments = blends.data();
    const std::array<VkDynamicState, 2> dynamic_states{VK_DYNAMIC_STATE_VIEWPORT,
                                                       VK_DYNAMIC_STATE_SCISSOR};
    VkPipelineDynamicStateCreateInfo dynamic{};
    dynamic.sType = VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO;
    dynamic.dynamicStateCount = static_cast<std::uint32_t>(dynamic_states.size());
    dynamic.pDynamicStates = dynamic_states.data();
    VkPipelineRenderingCreateInfo rendering{};
    rendering.sType = VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO;
    rendering.colorAttachmentCount = colors;
    rendering.pColorAttachmentFormats = formats.data();
    rendering.depthAttachmentFormat = depth ? VK_FORMAT_D32_SFLOAT : VK_FORMAT_UNDEFINED;

    VkGraphicsPipelineCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO;
    info.pNext = &rendering;
    info.stageCount = static_cast<std::uint32_t>(stages.size());
    info.pStages = stages.data();
    info.pVertexInputState = &input;
    info.pInputAssemblyState = &assembly;
    info.pViewportState = &viewport;
    info.pRasterizationState = &raster;
    info.pMultisampleState = &multisample;
    info.pDepthStencilState = &depth_state;
    info.pColorBlendState = &blending;
    info.pDynamicState = &dynamic;
    info.layout = raster_layout_;
    if (VkResult r =
            vk_.vkCreateGraphicsPipelines(device_, VK_NULL_HANDLE, 1, &info, nullptr, &made);
        r != VK_SUCCESS) {
      made = VK_NULL_HANDLE;
      return vulkanFailure("execute", "vkCreateGraphicsPipelines", r);
    }
    return made;
  }

  // What the commands of one pass have set up so far.
  struct PassState {
    bool open = false;
    std::span<const ImageId> colors;
    bool depth = false;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    GpuPipeline* pipeline = nullptr;
    VkDeviceAddress vertex_colors = 0;  // the bound vertex buffer at its offset, or 0
    VkDeviceAddress view = 0;           // the ViewUniform bound at binding 0
  };

  // Where a graph is being recorded: the command buffer, how far the staging buffer is filled, how
  // many parts of the graph have run, and the state of the pass.
  struct Recording {
    VkCommandBuffer cmd;
    std::uint64_t staged;
    std::uint32_t submitted;
    PassState pass;
  };

  // Records the validated `graph` from its start. Its uploads pass through the staging buffer;
  // when that is full, what is recorded runs, and recording goes on in a new submission.
  Result<void> record(const rhi::FrameGraph& graph, Recording& r) {
    if (auto ok = beginCommands("execute"); !ok) return ok;
    for (const rhi::FramePass& pass : graph.passes()) {
      r.pass = PassState{};
      for (const GpuCommand& command : pass.commands) {
        auto ok = std::visit(
            [&](const auto& c) -> Result<void> {
              if constexpr (std::is_void_v<decltype(apply(r, c))>) {
                apply(r, c);
                return {};
              } else {
                return apply(r, c);
              }
            },
            command.payload);
        if (!ok) return ok;
      }
    }
    return {};
  }

  void apply(Recording& r, const GpuCommand::Clear& c) {
    const device::detail::Rgba color{c.r, c.g, c.b, c.a};
    if (!r.pass.open) {
      const GpuImage& image = *images_.find(handleOf(c.color_attachment));
      barrier(r.cmd);
      const VkClearColorValue value = clearValue(image.desc.format, color);
      const VkImageSubresourceRange range = wholeImage(false);
      vk_.vkCmdClearColorImage(r.cmd, image.image, VK_IMAGE_LAYOUT_GENERAL, &value, 1, &range);
      return;
    }
    std::array<VkClearAttachment, 2> clears{};
    std::uint32_t count = 0;
    const auto at = std::find(r.pass.colors.begin(), r.pass.colors.end(), c.color_attachment);
    if (at != r.pass.colors.end()) {
      const Format format = images_.find(handleOf(c.color_attachment))->desc.format;
      clears[count++] = {VK_IMAGE_ASPECT_COLOR_BIT,
                         static_cast<std::uint32_t>(at - r.pass.colors.begin()),
                         VkClearValue{clearValue(format, color)}};
    }
    if (r.pass.depth) {
      VkClearValue depth{};
      depth.depthStencil = {c.depth, 0};
      clears[count++] = {VK_IMAGE_ASPECT_DEPTH_BIT, 0, depth};
    }
    const VkClearRect rect{{{0, 0}, {r.pass.width, r.pass.height}}, 0, 1};
    if (count > 0) vk_.vkCmdClearAttachments(r.cmd, count, clears.data(), 1, &rect);
  }

  void apply(Recording& r, const GpuCommand::BeginPass& c) {
    std::array<VkRenderingAttachmentInfo, kMaxColorAttachments> colors{};
    for (std::size_t i = 0; i < c.color_attachments.size(); ++i) {
      const GpuImage& image = *images_.find(handleOf(c.color_attachments[i]));
      colors[i] = attachment(image.view);
      r.pass.width = image.desc.width;
      r.pass.height = image.desc.height;
    }
    VkRenderingAttachmentInfo depth{};
    if (c.depth_attachment) {
      const GpuImage& image = *images_.find(handleOf(*c.depth_attachment));
      depth = attachment(image.view);
      r.pass.width = image.desc.width;
      r.pass.height = image.desc.height;
    }
    r.pass.open = true;
    r.pass.colors = c.color_attachments;
    r.pass.depth = c.depth_attachment.has_value();
    barrier(r.cmd);
    VkRenderingInfo info{};
    info.sType = VK_STRUCTURE_TYPE_RENDERING_INFO;
    info.renderArea = {{0, 0}, {r.pass.width, r.pass.height}};
    info.layerCount = 1;
    info.colorAttachmentCount = static_cast<std::uint32_t>(c.color_attachments.size());
    info.pColorAttachments = colors.data();
    info.pDepthAttachment = r.pass.depth ? &depth : nullptr;
    vk_.vkCmdBeginRendering(r.cmd, &info);
    const VkViewport viewport{
        0.0f, 0.0f, static_cast<float>(r.pass.width), static_cast<float>(r.pass.height),
        0.0f, 1.0f};
    const VkRect2D scissor{{0, 0}, {r.pass.width, r.pass.height}};
    vk_.vkCmdSetViewport(r.cmd, 0, 1, &viewport);
    vk_.vkCmdSetScissor(r.cmd, 0, 1, &scissor);
  }

  static VkRenderingAttachmentInfo attachment(VkImageView view) noexcept {
    VkRenderingAttachmentInfo info{};
    info.sType = VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO;
    info.imageView = view;
    info.imageLayout = VK_IMAGE_LAYOUT_GENERAL;
    info.loadOp = VK_ATTACHMENT_LOAD_OP_LOAD;
    info.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
    return info;
  }

  void apply(Recording& r, const GpuCommand::EndPass&) {
    vk_.vkCmdEndRendering(r.cmd);
    r.pass.open = false;
  }

  void apply(Recording& r, const GpuCommand::BindPipeline& c) {
    r.pass.pipeline = pipelines_.find(handleOf(c));
  }

  void apply(Recording& r, const GpuCommand::BindVertexBuffer& c) {
    r.pass.vertex_colors = buffers_.find(handleOf(c.buffer))->address + c.offset;
  }

  void apply(Recording& r, const GpuCommand::BindUniform& c) {
    if (c.binding != device::detail::kViewBinding) return;  // nothing here reads other bindings
    r.pass.view = buffers_.find(handleOf(c.buffer))->address + c.offset;
  }

  void apply(Recording& r, const rhi::DrawCommand& c) {
    constexpr BufferId kNone{0, 0};
    const GpuBuffer& positions = *buffers_.find(handleOf(c.orv_position_buffer));
    const rhi::PrimitiveTopology topology = r.pass.pipeline->desc.topology;
    DrawConstants constants = drawConstants(r.pass, positions);
    if (isStrip(topology)) constants.flags |= kStrip;
    if (!(c.index_buffer == kNone)) {
      constants.indices = buffers_.find(handleOf(c.index_buffer))->address;
      constants.flags |= kIndexed;
    }
    if (!(c.orv_transform_buffer == kNone)) {
      constants.transforms = buffers_.find(handleOf(c.orv_transform_buffer))->address;
      constants.flags |= kTransformed;
    }
    constants.colors = !(c.vertex_buffer == kNone)
                           ? buffers_.find(handleOf(c.vertex_buffer))->address
                           : r.pass.vertex_colors;
    if (constants.colors != 0) constants.flags |= kColored;
    draw(r, constants, kindOf(topology), primitiveCount(topology, c.index_count), c.instance_count);
  }

  void apply(Recording&, const GpuCommand::Dispatch&) {}  // refused

  Result<void> apply(Recording& r, const GpuCommand::OrvUploadPgl4& c) {
    return upload(r, c.buffer, std::as_bytes(c.transforms));
  }

  Result<void> apply(Recording& r, const GpuCommand::OrvUploadPositions& c) {
    return upload(r, c.buffer, std::as_bytes(c.positions));
  }

  void apply(Recording& r, const GpuCommand::OrvComputeFsDistance& c) {
    if (c.count == 0) return;
    barrier(r.cmd);
    vk_.vkCmdBindPipeline(r.cmd, VK_PIPELINE_BIND_POINT_COMPUTE, distance_pipeline_);
    DistanceConstants constants{buffers_.find(handleOf(c.positions_a))->address,
                                buffers_.find(handleOf(c.positions_b))->address,
                                buffers_.find(handleOf(c.results))->address, 0, c.count};
    const std::uint64_t groups = (std::uint64_t{c.count} + kDistanceGroup - 1) / kDistanceGroup;
    const std::uint64_t most = limits_.max_compute_group_count;
    for (std::uint64_t first = 0; first < groups; first += most) {
      constants.first = static_cast<std::uint32_t>(first * kDistanceGroup);
      vk_.vkCmdPushConstants(r.cmd, distance_layout_, VK_SHADER_STAGE_COMPUTE_BIT, 0,
                             sizeof(constants), &constants);
      vk_.vkCmdDispatch(r.cmd, static_cast<std::uint32_t>(std::min(most, groups - first)), 1, 1);
    }
  }

  void apply(Recording& r, const GpuCommand::OrvRenderGeodesics& c) {
    DrawConstants constants = drawConstants(r.pass, *buffers_.find(handleOf(c.positions)));
    constants.flags |= kStrip;
    constants.color = {c.color_r, c.color_g, c.color_b, 1.0f};
    draw(r, constants, kGeodesics, c.count >= 2 ? c.count - 1 : 0, 1);
  }

  // What every draw of the pass's pipeline shares: view, positions, attachments, sizes, how colours
  // are stored, white.
  static DrawConstants drawConstants(const PassState& state, const GpuBuffer& positions) noexcept {
    const rhi::GraphicsPipelineDescriptor& desc = state.pipeline->desc;
    DrawConstants constants{};
    if (!desc.blend_enabled && desc.color_format == Format::rgba8_unorm)
      constants.flags = kStoreUnorm8;
    if (!desc.blend_enabled && desc.color_format == Format::rgba16_float)
      constants.flags = kStoreHalf;
    constants.view = state.view;
    constants.positions = positions.address;
    constants.position_count =
        static_cast<std::uint32_t>(positions.desc.size / sizeof(kernel::HomVec4));
    constants.width = state.width;
    constants.height = state.height;
    constants.point_size = desc.point_size;
    constants.line_width = desc.line_width;
    constants.color = {1.0f, 1.0f, 1.0f, 1.0f};
    return constants;
  }

  // Draws `primitives` primitives of `kind` of `instances` instances: one vkCmdDraw when their
  // vertices fit its 32-bit count, else runs of primitives, instance by instance so that instances
  // stay in order.
  void draw(Recording& r, DrawConstants& constants, Kind kind, std::uint64_t primitives,
            std::uint32_t instances) {
    if (primitives == 0 || instances == 0) return;
    vk_.vkCmdBindPipeline(
        r.cmd, VK_PIPELINE_BIND_POINT_GRAPHICS,
        r.pass.pipeline->variants[r.pass.colors.size()][kind]);  // made by prepare()
    const std::uint32_t per = verticesPerPrimitive(kind);
    const std::uint64_t most = UINT32_MAX / per;
    const auto run = [&](std::uint64_t first, std::uint64_t count, std::uint32_t instance_count,
                         std::uint32_t first_instance) {
      constants.first_primitive = static_cast<std::uint32_t>(first);
      vk_.vkCmdPushConstants(r.cmd, raster_layout_,
                             VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0,
                             sizeof(constants), &constants);
      vk_.vkCmdDraw(r.cmd, static_cast<std::uint32_t>(count * per), instance_count, 0,
                    first_instance);
    };
    if (primitives <= most) {
      run(0, primitives, instances, 0);
      return;
    }
    for (std::uint32_t instance = 0; instance < instances; ++instance) {
      for (std::uint64_t first = 0; first < primitives; first += most) {
        run(first, std::min(most, primitives - first), 1, instance);
      }
    }
  }

  // Copies `bytes` to the start of `target` through the staging buffer (made by prepare()), in
  // as many pieces as it takes. Uploads run outside render passes, so a full staging buffer can
  // be emptied by running what is recorded so far.
  Result<void> upload(Recording& r, BufferId target, std::span<const std::byte> bytes) {
    const VkBuffer buffer = buffers_.find(handleOf(target))->buffer;
    for (std::uint64_t done = 0; done < bytes.size();) {
      if (r.staged >= staging_.size) {
        if (auto ok = runCommands("execute"); !ok) return ok;
        ++r.submitted;
        if (auto ok = beginCommands("execute"); !ok) return ok;
        r.staged = 0;
      }
      const std::uint64_t piece = std::min(bytes.size() - done, staging_.size - r.staged);
      std::memcpy(staging_.mapped + r.staged, bytes.data() + done, piece);
      barrier(r.cmd);
      const VkBufferCopy region{r.staged, done, piece};
      vk_.vkCmdCopyBuffer(r.cmd, staging_.buffer, buffer, 1, &region);
      r.staged = stagedSize(r.staged + piece);
      done += piece;
    }
    return {};
  }

  // --- state ------------------------------------------------------------------------------------

  struct Staging {
    VkBuffer buffer = VK_NULL_HANDLE;
    Memory memory;
    std::byte* mapped = nullptr;
    std::uint64_t size = 0;
  };

  std::unique_ptr<detail::Context> context_;
  const detail::Api& vk_;
  VkDevice device_;
  std::uint64_t transfer_chunk_;  ///< the most bytes one submission moves to or from the host
  rhi::DeviceLimits limits_{};
  bool lost_ = false;
  /// Submitted work may still be running, and the GPU can no longer be waited for: what the work
  /// may use is kept until the device is destroyed. A hung device is lost too.
  bool hung_ = false;
  /// What a call that found the device hung had made for itself, kept for the same reason.
  std::optional<GpuBuffer> abandoned_buffer_;
  std::optional<GpuImage> abandoned_image_;
  VkCommandPool pool_ = VK_NULL_HANDLE;
  VkCommandBuffer commands_ = VK_NULL_HANDLE;
  VkFence fence_ = VK_NULL_HANDLE;
  // The raster vertex shader, the fragment shaders for 0 to 8 colour attachments, the distance
  // shader.
  std::array<VkShaderModule, 11> modules_{};
  VkPipelineLayout raster_layout_ = VK_NULL_HANDLE;
  VkPipelineLayout distance_layout_ = VK_NULL_HANDLE;
  VkPipeline distance_pipeline_ = VK_NULL_HANDLE;
  Staging staging_;
  /// Bytes of each memory heap this device holds.
  std::array<std::uint64_t, VK_MAX_MEMORY_HEAPS> heap_used_{};
  device::detail::ResourceTable<GpuBuffer> buffers_;
  device::detail::ResourceTable<GpuImage> images_;
  device::detail::ResourceTable<GpuPipeline> pipelines_;
};

}  // namespace

device::Result<std::unique_ptr<device::Device>> detail::makeDevice(const DeviceOptions& options,
                                                                    const Tuning& tuning) {
  return guarded([&]() -> device::Result<std::unique_ptr<device::Device>> {
    auto context = makeContext(options, tuning);
    if (!context) return std::unexpected(context.error());
    auto made = std::make_unique<VulkanDevice>(std::move(*context), tuning);
    if (auto ok = made->init(); !ok) return std::unexpected(ok.error());
    return std::unique_ptr<device::Device>(std::move(made));
  });
}

device::Result<std::unique_ptr<device::Device>> makeDevice(const DeviceOptions& options) {
  return detail::makeDevice(options, {});
}

}  // namespace orv::vulkan
