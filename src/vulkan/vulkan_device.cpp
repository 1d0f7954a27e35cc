// The Vulkan device: recording and submission. Resources live in resources.cpp, pipelines and
// shaders in pipelines.cpp; this file turns calls and frame graphs into command buffers.
//
// Every buffer is reached from shaders through its device address, so draws and distance
// computations need no descriptors: their push constants carry the addresses. Every image stays in
// the GENERAL layout for its whole life, and a global memory barrier separates each command that
// runs outside a render pass from what came before it (including earlier submissions), which keeps
// the order of the graph without tracking who wrote what.
//
// Work is recorded into frames: a ring of `frames_in_flight` command buffers, each with its fence,
// its staging buffer for data crossing from the host and its ring of per-draw views: each draw
// reads the view as it was when the draw was recorded from its frame's own memory, never the
// uniform buffer itself, which the next frame's writeBuffer may overwrite while this frame runs. A call takes the next frame of the ring, waiting first for the work it ran last, records,
// submits, and returns; it waits for its own work only where the host needs the result (reads,
// and the zero-filling of new resources). `destroy` waits for every frame. One queue runs every
// submission in order, so a read sees everything submitted before it. Staging is at most one
// transfer chunk per submission: larger transfers, and graphs whose uploads together are larger,
// run in several submissions.

#include <algorithm>
#include <array>
#include <bit>
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
#include "pipelines.hpp"
#include "presentation.hpp"
#include "resource_table.hpp"
#include "resources.hpp"
#include "validation.hpp"

namespace orv::vulkan {

namespace {

using detail::DistanceConstants;
using detail::DrawConstants;
using detail::FastConstants;
using detail::FastView;
using detail::GpuBuffer;
using detail::GpuImage;
using detail::HostBuffer;
using detail::Kind;
using detail::kMaxColorAttachments;
using detail::wholeImage;
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

/// Staging buffers kept between calls, when every call waits for its work, are at most this
/// large: a larger transfer's is given back when the call ends.
constexpr std::uint64_t kKeptStaging = std::uint64_t{1} << 20;

/// The most points one draw call of the fast path draws (see VulkanDevice::draw).
constexpr std::uint64_t kPointRun = 1024;

struct GpuPipeline {
  rhi::GraphicsPipelineDescriptor desc;
  device::PipelineOptions options;
  /// Made when first drawn with: variants[n][kind][moved] draws primitives of `kind` in render
  /// passes of n colour attachments, on the fast path with (moved 1) or without (0) transforms
  /// (the exact path's are all moved 0).
  std::array<std::array<std::array<VkPipeline, 2>, detail::kKinds>, kMaxColorAttachments + 1>
      variants{};
};

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

bool isStrip(rhi::PrimitiveTopology topology) noexcept {
  return topology == rhi::PrimitiveTopology::line_strip ||
         topology == rhi::PrimitiveTopology::triangle_strip;
}

/// One frame of the ring: a command buffer, its fence, and the host memory its work reads.
struct Frame {
  VkCommandBuffer commands = VK_NULL_HANDLE;
  VkFence fence = VK_NULL_HANDLE;
  bool pending = false;  ///< submitted and not yet waited for
  HostBuffer staging;    ///< data on its way to the GPU, or back
  HostBuffer views;      ///< the views of its draws: ViewUniforms, or the fast path's FastViews
  VkDescriptorSet view_set = VK_NULL_HANDLE;  ///< the fast path's: `views` as a uniform buffer
  VkSemaphore acquired = VK_NULL_HANDLE;  ///< signalled when a swapchain image may be copied into
};

class VulkanDevice final : public vulkan::Device {
 public:
  VulkanDevice(std::unique_ptr<detail::Context> context, const DeviceOptions& options,
               const detail::Tuning& tuning) noexcept
      : context_(std::move(context)),
        vk_(context_->api),
        device_(context_->device),
        resources_(*context_),
        pipelines_(*context_, options.exact),
        presenter_(*context_, resources_),
        transfer_chunk_(std::max<std::uint64_t>(tuning.transfer_chunk, 1)),
        frames_(std::max<std::uint32_t>(options.frames_in_flight, 1)) {}

  VulkanDevice(const VulkanDevice&) = delete;
  VulkanDevice& operator=(const VulkanDevice&) = delete;

  ~VulkanDevice() override {
    // Each frame waited for, and the whole device: what either sees ended may be destroyed.
    if (!hung_) {
      for (Frame& f : frames_) {
        if (f.pending) vk_.vkWaitForFences(device_, 1, &f.fence, VK_TRUE, UINT64_MAX);
      }
    }
    vk_.vkDeviceWaitIdle(device_);
    buffers_.forEach([&](GpuBuffer& b) { resources_.release(b); });
    images_.forEach([&](GpuImage& i) { resources_.release(i); });
    if (abandoned_buffer_) resources_.release(*abandoned_buffer_);
    if (abandoned_image_) resources_.release(*abandoned_image_);
    pipelines_table_.forEach([&](GpuPipeline& p) { release(p); });
    for (Frame& f : frames_) {
      resources_.release(f.staging);
      resources_.release(f.views);
      if (f.fence != VK_NULL_HANDLE) vk_.vkDestroyFence(device_, f.fence, nullptr);
      if (f.acquired != VK_NULL_HANDLE) vk_.vkDestroySemaphore(device_, f.acquired, nullptr);
    }
    if (pool_ != VK_NULL_HANDLE) vk_.vkDestroyCommandPool(device_, pool_, nullptr);
    if (view_pool_ != VK_NULL_HANDLE) vk_.vkDestroyDescriptorPool(device_, view_pool_, nullptr);
    // pipelines_ then destroys the shaders, and context_ the device and the instance.
  }

  // Everything made once: the frames, shaders, layouts, the distance pipeline, and the limits.
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
    for (Frame& f : frames_) {
      VkCommandBufferAllocateInfo command_info{};
      command_info.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
      command_info.commandPool = pool_;
      command_info.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
      command_info.commandBufferCount = 1;
      if (VkResult r = vk_.vkAllocateCommandBuffers(device_, &command_info, &f.commands);
          r != VK_SUCCESS) {
        return vulkanFailure("makeDevice", "vkAllocateCommandBuffers", r);
      }
      VkFenceCreateInfo fence_info{};
      fence_info.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
      if (VkResult r = vk_.vkCreateFence(device_, &fence_info, nullptr, &f.fence);
          r != VK_SUCCESS) {
        f.fence = VK_NULL_HANDLE;
        return vulkanFailure("makeDevice", "vkCreateFence", r);
      }
    }
    if (auto ok = pipelines_.init(); !ok) return track(ok);
    if (auto ok = makeViewSets(); !ok) return ok;
    limits_ = measuredLimits();
    return {};
  }

  // On the fast path, a descriptor set for each frame, through which its draws read their views.
  Result<void> makeViewSets() {
    const VkDescriptorSetLayout layout = pipelines_.viewSetLayout();
    if (layout == VK_NULL_HANDLE) return {};
    const auto frames = static_cast<std::uint32_t>(frames_.size());
    const VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER_DYNAMIC, frames};
    VkDescriptorPoolCreateInfo pool_info{};
    pool_info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
    pool_info.maxSets = frames;
    pool_info.poolSizeCount = 1;
    pool_info.pPoolSizes = &size;
    if (VkResult r = vk_.vkCreateDescriptorPool(device_, &pool_info, nullptr, &view_pool_);
        r != VK_SUCCESS) {
      view_pool_ = VK_NULL_HANDLE;
      return vulkanFailure("makeDevice", "vkCreateDescriptorPool", r);
    }
    for (Frame& f : frames_) {
      VkDescriptorSetAllocateInfo set_info{};
      set_info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
      set_info.descriptorPool = view_pool_;
      set_info.descriptorSetCount = 1;
      set_info.pSetLayouts = &layout;
      if (VkResult r = vk_.vkAllocateDescriptorSets(device_, &set_info, &f.view_set);
          r != VK_SUCCESS) {
        f.view_set = VK_NULL_HANDLE;
        return vulkanFailure("makeDevice", "vkAllocateDescriptorSets", r);
      }
    }
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
      GpuBuffer buffer{desc, VK_NULL_HANDLE, {}, 0, {}};
      if (desc.type == rhi::BufferType::uniform) buffer.host.assign(desc.size, std::byte{0});
      // Shaders read every kind of buffer, the ViewUniform included, through its address.
      const VkBufferUsageFlags usage =
          VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT |
          VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT;
      // vkCmdFillBuffer fills whole 4-byte words: the buffer gets the bytes that complete its
      // last word, so that the fill reaches every byte of it.
      const std::uint64_t words = (desc.size + 3) & ~std::uint64_t{3};
      if (auto ok = resources_.makeBuffer("createBuffer", words, usage, true, true, buffer.buffer,
                                          buffer.memory);
          !ok) {
        return track(Result<BufferId>(std::unexpected(ok.error())));
      }
      buffer.address = resources_.addressOf(buffer.buffer);
      auto zeroed = submit("createBuffer", true, [&](VkCommandBuffer cmd) {
        vk_.vkCmdFillBuffer(cmd, buffer.buffer, 0, VK_WHOLE_SIZE, 0);
      });
      const auto handle = zeroed ? buffers_.insert(GpuBuffer(buffer)) : std::nullopt;
      if (!handle) {
        if (hung_) {
          abandoned_buffer_ = buffer;
        } else {
          resources_.release(buffer);
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
      if (!resources_.formatSupported(desc.format, false)) {
        return std::unexpected(device::detail::failure(
            ErrorCode::unsupported, "createImage: " + context_->name + " cannot render into " +
                                        std::string(device::detail::formatName(desc.format))));
      }
      // What no heap can hold is refused before Vulkan is asked. The product is kept within 64
      // bits by dividing the bound instead.
      const std::uint64_t texel = rhi::size(desc.format);
      const std::uint64_t most = resources_.largestAllocation();
      if (desc.width > most / texel / std::max<std::uint64_t>(desc.height, 1)) {
        return std::unexpected(device::detail::failure(
            ErrorCode::limit_exceeded,
            "createImage: a " + std::to_string(desc.width) + "x" + std::to_string(desc.height) +
                " " + std::string(device::detail::formatName(desc.format)) +
                " image is larger than " + context_->name + " can hold in one allocation (" +
                detail::bytesText(most) + ")"));
      }
      GpuImage image{desc, VK_NULL_HANDLE, VK_NULL_HANDLE, {}};
      if (auto ok = resources_.makeImage(image); !ok) {
        resources_.release(image);
        return track(Result<ImageId>(std::unexpected(ok.error())));
      }
      auto zeroed = submit("createImage", true, [&](VkCommandBuffer cmd) {
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
          resources_.release(image);
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
      if (desc.blend_enabled && !resources_.formatSupported(desc.color_format, true)) {
        return std::unexpected(device::detail::failure(
            ErrorCode::unsupported,
            "createPipeline: " + context_->name + " cannot blend into " +
                std::string(device::detail::formatName(desc.color_format))));
      }
      const auto handle = pipelines_table_.insert(GpuPipeline{desc, options, {}});
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
      if (buffers_.find(handleOf(id)) == nullptr) {
        return notLive("destroy", device::detail::describe(id));
      }
      if (auto idle = waitAll("destroy"); !idle && hung_) return idle;
      std::optional<GpuBuffer> buffer = buffers_.erase(handleOf(id));
      resources_.release(*buffer);
      return {};
    });
  }

  Result<void> destroy(ImageId id) override {
    return guarded([&]() -> Result<void> {
      if (hung_) return deviceLost("destroy");
      if (images_.find(handleOf(id)) == nullptr) {
        return notLive("destroy", device::detail::describe(id));
      }
      if (auto idle = waitAll("destroy"); !idle && hung_) return idle;
      std::optional<GpuImage> image = images_.erase(handleOf(id));
      resources_.release(*image);
      return {};
    });
  }

  Result<void> destroy(PipelineId id) override {
    return guarded([&]() -> Result<void> {
      if (hung_) return deviceLost("destroy");
      if (lookup().pipeline(id) == nullptr) {
        return notLive("destroy", device::detail::describe(id));
      }
      if (auto idle = waitAll("destroy"); !idle && hung_) return idle;
      std::optional<GpuPipeline> pipeline = pipelines_table_.erase(handleOf(id));
      release(*pipeline);
      return {};
    });
  }

  Result<void> writeBuffer(BufferId id, std::uint64_t offset,
                           std::span<const std::byte> bytes) override {
    return guarded([&]() -> Result<void> {
      if (lost_) return deviceLost("writeBuffer");
      GpuBuffer* buffer = buffers_.find(handleOf(id));
      if (buffer == nullptr) return notLive("writeBuffer", device::detail::describe(id));
      if (auto ok = device::detail::checkBufferRange("writeBuffer", id, buffer->desc.size, offset,
                                                     bytes.size());
          !ok) {
        return ok;
      }
      return staged([&]() -> Result<void> {
        for (std::uint64_t done = 0; done < bytes.size();) {
          const std::uint64_t chunk = std::min<std::uint64_t>(bytes.size() - done, transfer_chunk_);
          auto frame = beginFrame("writeBuffer", chunk, 0);
          if (!frame) return std::unexpected(frame.error());
          Frame& f = **frame;
          std::memcpy(f.staging.mapped, bytes.data() + done, chunk);
          const VkBufferCopy region{0, offset + done, chunk};
          vk_.vkCmdCopyBuffer(f.commands, f.staging.buffer, buffer->buffer, 1, &region);
          auto copied = submitFrame("writeBuffer", f, false);
          if (!copied && done > 0) {
            copied.error().message += " (the write ran in parts, and its first " +
                                      std::to_string(done) + " bytes were written)";
          }
          if (!copied) return copied;
          if (!buffer->host.empty()) {
            std::memcpy(buffer->host.data() + offset + done, bytes.data() + done, chunk);
          }
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
          auto frame = beginFrame("readBuffer", chunk, 0);
          if (!frame) return std::unexpected(frame.error());
          Frame& f = **frame;
          const VkBufferCopy region{offset + done, 0, chunk};
          vk_.vkCmdCopyBuffer(f.commands, buffer->buffer, f.staging.buffer, 1, &region);
          toHost(f.commands);
          if (auto copied = submitFrame("readBuffer", f, true); !copied) return copied;
          std::memcpy(bytes.data() + done, f.staging.mapped, chunk);
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
          auto frame = beginFrame("readImage", row * rows, 0);
          if (!frame) return std::unexpected(frame.error());
          Frame& f = **frame;
          VkBufferImageCopy region{};
          region.imageSubresource = {wholeImage(depth).aspectMask, 0, 0, 1};
          region.imageOffset = {0, static_cast<std::int32_t>(first), 0};
          region.imageExtent = {image->desc.width, rows, 1};
          constexpr VkImageLayout kCopying = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
          relayout(f.commands, image->image, depth, VK_IMAGE_LAYOUT_GENERAL, kCopying);
          vk_.vkCmdCopyImageToBuffer(f.commands, image->image, kCopying, f.staging.buffer, 1,
                                     &region);
          relayout(f.commands, image->image, depth, kCopying, VK_IMAGE_LAYOUT_GENERAL);
          toHost(f.commands);
          if (auto copied = submitFrame("readImage", f, true); !copied) return copied;
          std::memcpy(bytes.data() + row * first, f.staging.mapped, row * rows);
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
        auto needs = prepare(graph);
        if (!needs) return std::unexpected(needs.error());
        Recording r{nullptr, *needs, 0, 0, 0, {}};
        auto ran = record(graph, r);
        if (ran) ran = submitFrame("execute", *r.frame, false);
        if (!ran && r.submitted > 0) {
          ran.error().message += " (the graph ran in parts, and its first " +
                                 std::to_string(r.submitted) + " had run)";
        }
        return ran;
      });
    });
  }

  void* instance() const noexcept override { return context_->instance; }

  Result<void> attachSurface(std::uint64_t surface) override {
    return guarded([&]() -> Result<void> {
      if (lost_) return deviceLost("attachSurface");
      if (!context_->swapchains) {
        return std::unexpected(device::detail::failure(
            ErrorCode::unsupported,
            std::string("attachSurface: ") +
                (context_->surfaces ? context_->name + " offers no swapchains (VK_KHR_swapchain)"
                                    : "the device was made without VK_KHR_surface among "
                                      "DeviceOptions::instance_extensions")));
      }
      if (auto idle = waitAll("attachSurface"); !idle) return idle;
      return track(presenter_.attach(std::bit_cast<VkSurfaceKHR>(surface)));
    });
  }

  Result<void> present(ImageId id) override {
    return guarded([&]() -> Result<void> {
      if (lost_) return deviceLost("present");
      const GpuImage* image = images_.find(handleOf(id));
      if (image == nullptr) return notLive("present", device::detail::describe(id));
      if (device::detail::isDepthFormat(image->desc.format)) {
        return std::unexpected(device::detail::failure(
            ErrorCode::invalid_command, "present: " + device::detail::describe(id) +
                                            " is a depth image; only colour images are shown"));
      }
      if (detail::presentFormat(image->desc.format) < 0) {
        return std::unexpected(device::detail::failure(
            ErrorCode::invalid_command,
            "present: " + device::detail::describe(id) + " is " +
                std::string(device::detail::formatName(image->desc.format)) +
                "; only rgba8_unorm, rgba16_float and rgba32_float images are shown"));
      }
      if (!presenter_.attached()) {
        return std::unexpected(device::detail::failure(
            ErrorCode::invalid_command, "present: no surface is attached (attachSurface)"));
      }
      if (std::max(image->desc.width, image->desc.height) > detail::kMostPresented) {
        return std::unexpected(device::detail::failure(
            ErrorCode::limit_exceeded,
            "present: images wider or taller than " + std::to_string(detail::kMostPresented) +
                " pixels are not shown"));
      }
      // The buffer the texels are copied into is made larger only after the work that may use it.
      const std::uint64_t bytes = std::uint64_t{image->desc.width} * image->desc.height *
                                  rhi::size(image->desc.format);
      if (!presenter_.holds(bytes)) {
        if (auto idle = waitAll("present"); !idle) return idle;
      }
      if (auto ok = track(presenter_.prepare("present", bytes)); !ok) return ok;
      auto frame = beginFrame("present", 0, 0);
      if (!frame) return std::unexpected(frame.error());
      Frame& f = **frame;
      if (f.acquired == VK_NULL_HANDLE) {
        VkSemaphoreCreateInfo info{};
        info.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
        if (VkResult r = vk_.vkCreateSemaphore(device_, &info, nullptr, &f.acquired);
            r != VK_SUCCESS) {
          f.acquired = VK_NULL_HANDLE;
          return vulkanFailure("present", "vkCreateSemaphore", r);
        }
      }
      const auto target = track(presenter_.acquire("present", f.acquired));
      if (!target) return std::unexpected(target.error());
      presenter_.record(f.commands, *image, *target);
      const Signals signals{f.acquired, VK_PIPELINE_STAGE_TRANSFER_BIT, target->ready};
      if (auto ok = submitFrame("present", f, false, &signals); !ok) return ok;
      presenter_.submitted();
      return track(presenter_.present("present", *target));
    });
  }

 private:
  // What validation looks up: the tables, and the bytes of uniform buffers as the host keeps
  // them, so that checking a draw's view waits for no GPU work.
  class Lookup final : public device::detail::ResourceLookup {
   public:
    explicit Lookup(VulkanDevice& device) noexcept : device_(device) {}
    const rhi::BufferDescriptor* buffer(BufferId id) const noexcept override {
      const GpuBuffer* b = device_.buffers_.find(handleOf(id));
      return b != nullptr ? &b->desc : nullptr;
    }
    const rhi::ImageDescriptor* image(ImageId id) const noexcept override {
      const GpuImage* i = device_.images_.find(handleOf(id));
      return i != nullptr ? &i->desc : nullptr;
    }
    const rhi::GraphicsPipelineDescriptor* pipeline(PipelineId id) const noexcept override {
      if (id.tag != rhi::PipelineType::orv_projective) return nullptr;
      const GpuPipeline* p = device_.pipelines_table_.find(handleOf(id));
      return p != nullptr ? &p->desc : nullptr;
    }
    Result<void> read(BufferId id, std::uint64_t offset, std::span<std::byte> out) const override {
      const GpuBuffer* b = device_.buffers_.find(handleOf(id));
      if (b != nullptr && !b->host.empty() && offset <= b->host.size() &&
          out.size() <= b->host.size() - offset) {
        std::memcpy(out.data(), b->host.data() + offset, out.size());
        return {};
      }
      return device_.readBuffer(id, offset, out);
    }

   private:
    VulkanDevice& device_;
  };

  [[nodiscard]] Lookup lookup() noexcept { return Lookup(*this); }

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
        std::min({resources_.largestAllocation(), context_->max_buffer, std::uint64_t{1} << 32}) &
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
    // Positions stay doubles in buffers on both paths; the fast path reads them without double
    // arithmetic.
    l.shader_f64 = true;
    // Points and lines are triangles built by the shaders (or points of the GPU within their
    // sizes): the limits of the CPU device hold. One draw asks for at most the default number of
    // vertices, and no more than the indices of the largest index buffer: draw() splits what one
    // vkCmdDraw cannot count into runs, but a draw that runs for long ends in the loss of the
    // device.
    l.max_draw_vertices = std::min(l.max_draw_vertices, l.max_buffer_size / sizeof(std::uint32_t));
    return l;
  }

  void release(GpuPipeline& p) noexcept {
    for (auto& kinds : p.variants) {
      for (auto& moved : kinds) {
        for (VkPipeline& variant : moved) {
          pipelines_.destroy(variant);
          variant = VK_NULL_HANDLE;
        }
      }
    }
  }

  // --- frames and submissions -------------------------------------------------------------------

  // A failure of the driver; a lost device stays lost.
  template <class T>
  T track(T result) {
    if (!result && result.error().code == ErrorCode::device_lost) lost_ = true;
    return result;
  }

  std::unexpected<Failure> vulkanFailure(std::string_view call, std::string_view what,
                                         VkResult result) {
    if (detail::errorCodeOf(result) == ErrorCode::device_lost) lost_ = true;
    return detail::vulkanFailure(call, what, result);
  }

  std::unexpected<Failure> deviceLost(std::string_view call) const {
    return std::unexpected(device::detail::failure(
        ErrorCode::device_lost,
        std::string(call) + ": " + context_->name + " was lost; make a new device"));
  }

  // Waits for the work `f` ran last. A wait that fails otherwise than by a lost device is made
  // good by waiting for the whole device; should that fail too, the device is of no more use.
  Result<void> wait(std::string_view call, Frame& f) {
    if (!f.pending) return {};
    if (VkResult r = vk_.vkWaitForFences(device_, 1, &f.fence, VK_TRUE, UINT64_MAX);
        r != VK_SUCCESS) {
      const VkResult idle = vk_.vkDeviceWaitIdle(device_);
      if (idle != VK_SUCCESS || r == VK_ERROR_DEVICE_LOST) {
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
      for (Frame& each : frames_) each.pending = false;  // the whole device is idle
      return {};
    }
    f.pending = false;
    return {};
  }

  // Waits for every frame.
  Result<void> waitAll(std::string_view call) {
    for (Frame& f : frames_) {
      if (auto ok = wait(call, f); !ok) return ok;
    }
    return {};
  }

  // The host buffer `b` of `f` grown to at least `bytes`; its old contents do not survive growth.
  Result<void> reserve(std::string_view call, HostBuffer& b, std::uint64_t bytes,
                       bool addressable) {
    if (bytes <= b.size) return {};
    resources_.release(b);
    const std::uint64_t size = std::max(bytes, std::min(kKeptStaging, transfer_chunk_));
    return track(resources_.makeHostBuffer(call, size, addressable, b));
  }

  // The next frame of the ring, once the work it ran last has ended, with room for `staging`
  // bytes of transfers and `views` FastViews, recording behind a barrier that orders what
  // follows behind everything submitted before.
  Result<Frame*> beginFrame(std::string_view call, std::uint64_t staging, std::uint64_t views) {
    Frame& f = frames_[next_frame_];
    if (auto ok = wait(call, f); !ok) return std::unexpected(ok.error());
    if (staging > 0) {
      if (auto ok = reserve(call, f.staging, staging, false); !ok) return std::unexpected(ok.error());
    }
    if (views > 0) {
      const std::uint64_t before = f.views.size;
      if (auto ok = reserve(call, f.views, views * viewSize(), true); !ok) {
        return std::unexpected(ok.error());
      }
      if (f.view_set != VK_NULL_HANDLE && f.views.size != before) {
        // A new buffer (reserve makes one only to grow): the set names it. The frame's work has
        // ended, so the set is not in use.
        const VkDescriptorBufferInfo buffer{f.views.buffer, 0, sizeof(FastView)};
        VkWriteDescriptorSet write{};
        write.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
        write.dstSet = f.view_set;
        write.descriptorCount = 1;
        write.descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER_DYNAMIC;
        write.pBufferInfo = &buffer;
        vk_.vkUpdateDescriptorSets(device_, 1, &write, 0, nullptr);
      }
    }
    if (VkResult r = vk_.vkResetCommandBuffer(f.commands, 0); r != VK_SUCCESS) {
      return vulkanFailure(call, "vkResetCommandBuffer", r);
    }
    VkCommandBufferBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    if (VkResult r = vk_.vkBeginCommandBuffer(f.commands, &begin); r != VK_SUCCESS) {
      return vulkanFailure(call, "vkBeginCommandBuffer", r);
    }
    barrier(f.commands);
    return &f;
  }

  // Semaphores a submission waits for (at a stage) and signals.
  struct Signals {
    VkSemaphore wait;
    VkPipelineStageFlags wait_stage;
    VkSemaphore signal;
  };

  // Ends the recording of `f` and submits it (waiting for and signalling `signals`' semaphores
  // where given); with `wait_for_it`, or when every call is to wait for its work, waits for it.
  Result<void> submitFrame(std::string_view call, Frame& f, bool wait_for_it,
                           const Signals* signals = nullptr) {
    if (VkResult r = vk_.vkEndCommandBuffer(f.commands); r != VK_SUCCESS) {
      return vulkanFailure(call, "vkEndCommandBuffer", r);
    }
    if (VkResult r = vk_.vkResetFences(device_, 1, &f.fence); r != VK_SUCCESS) {
      return vulkanFailure(call, "vkResetFences", r);
    }
    VkSubmitInfo info{};
    info.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    info.commandBufferCount = 1;
    info.pCommandBuffers = &f.commands;
    if (signals != nullptr) {
      info.waitSemaphoreCount = 1;
      info.pWaitSemaphores = &signals->wait;
      info.pWaitDstStageMask = &signals->wait_stage;
      info.signalSemaphoreCount = 1;
      info.pSignalSemaphores = &signals->signal;
    }
    if (VkResult r = vk_.vkQueueSubmit(context_->queue, 1, &info, f.fence); r != VK_SUCCESS) {
      return vulkanFailure(call, "vkQueueSubmit", r);
    }
    f.pending = true;
    next_frame_ = (next_frame_ + 1) % frames_.size();
    if (wait_for_it || frames_.size() == 1) return wait(call, f);
    return {};
  }

  // Records `body` in a frame of its own, submits it, and with `wait_for_it` waits for it.
  template <class Body>
  Result<void> submit(std::string_view call, bool wait_for_it, Body&& body) {
    auto frame = beginFrame(call, 0, 0);
    if (!frame) return std::unexpected(frame.error());
    body((*frame)->commands);
    return submitFrame(call, **frame, wait_for_it);
  }

  // Runs `body`, a call that moves data through staging, then, where every call waits for its
  // work, gives back staging larger than the device keeps between calls. With frames in flight
  // each frame keeps what its transfers needed (at most one transfer chunk), so that a loop of
  // frames allocates nothing.
  template <class Body>
  Result<void> staged(Body&& body) {
    Result<void> done = body();
    if (frames_.size() == 1 && !hung_) {
      for (Frame& f : frames_) {
        if (!f.pending && f.staging.size > kKeptStaging) resources_.release(f.staging);
      }
    }
    return done;
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

  // --- running a validated graph --------------------------------------------------------------

  // What a graph needs of its frames.
  struct Needs {
    std::uint64_t staging = 0;  ///< bytes of uploads, at most one transfer chunk
    std::uint64_t views = 0;    ///< draws, each with its view
  };

  // Before anything is recorded: a pipeline for every draw's render pass, and what the graph
  // needs of its frames. Failing here leaves every resource as it was.
  Result<Needs> prepare(const rhi::FrameGraph& graph) {
    Needs needs;
    for (const rhi::FramePass& pass : graph.passes()) {
      std::uint32_t colors = 0;
      GpuPipeline* bound = nullptr;
      for (const GpuCommand& command : pass.commands) {
        if (const auto* begin = std::get_if<GpuCommand::BeginPass>(&command.payload)) {
          colors = static_cast<std::uint32_t>(begin->color_attachments.size());
        } else if (const auto* pipe = std::get_if<GpuCommand::BindPipeline>(&command.payload)) {
          bound = pipelines_table_.find(handleOf(*pipe));
        } else if (command.tag() == GpuCommand::Tag::draw_indexed ||
                   command.tag() == GpuCommand::Tag::orv_render_geodesics) {
          const auto* draw = std::get_if<rhi::DrawCommand>(&command.payload);
          const rhi::PrimitiveTopology topology =
              draw != nullptr ? bound->desc.topology : rhi::PrimitiveTopology::geodesic_list;
          const bool moved = draw != nullptr && !(draw->orv_transform_buffer == BufferId{0, 0});
          if (auto ok = variant(*bound, colors, pipelines_.kindOf(bound->desc, topology), moved);
              !ok) {
            return std::unexpected(ok.error());
          }
          ++needs.views;
        } else if (const auto* points =
                       std::get_if<GpuCommand::OrvUploadPositions>(&command.payload)) {
          needs.staging =
              std::min(needs.staging + stagedSize(points->positions.size_bytes()), transfer_chunk_);
        } else if (const auto* moves = std::get_if<GpuCommand::OrvUploadPgl4>(&command.payload)) {
          needs.staging =
              std::min(needs.staging + stagedSize(moves->transforms.size_bytes()), transfer_chunk_);
        }
      }
    }
    return needs;
  }

  // The bytes of one draw's view in a frame's ring: on the fast path a FastView at an offset a
  // uniform buffer may start at.
  std::uint64_t viewSize() const noexcept {
    if (pipelines_.exact()) return sizeof(device::ViewUniform);
    const std::uint64_t align =
        std::max<std::uint64_t>(context_->properties.limits.minUniformBufferOffsetAlignment, 1);
    return (sizeof(FastView) + align - 1) / align * align;
  }

  static std::uint64_t stagedSize(std::uint64_t bytes) noexcept {
    return (bytes + 15) & ~std::uint64_t{15};
  }

  // The Vulkan pipeline of `p` drawing primitives of `kind` in render passes of `colors` colour
  // attachments, `moved` by transforms or not (on the fast path; the exact path has one for
  // both), made when first asked for.
  Result<VkPipeline> variant(GpuPipeline& p, std::uint32_t colors, Kind kind, bool moved) {
    moved = moved && !pipelines_.exact();
    VkPipeline& made = p.variants[colors][kind][moved ? 1 : 0];
    if (made != VK_NULL_HANDLE) return made;
    auto created = track(pipelines_.make(p.desc, p.options, colors, kind, moved));
    if (created) made = *created;
    return created;
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
    const GpuBuffer* view_buffer = nullptr;  // the buffer bound at binding 0, and where
    std::uint64_t view_offset = 0;
  };

  // Where a graph is being recorded: the frame, what the graph needs of a frame, how far the
  // frame's staging and views are filled, how many parts of the graph have run, the state of the
  // pass, and the attachments of the Vulkan rendering left open after the last pass ended (see
  // apply(EndPass)), if one is.
  struct Recording {
    Frame* frame;
    Needs needs;
    std::uint64_t staged;
    std::uint64_t views;
    std::uint32_t submitted;
    PassState pass;
    std::optional<GpuCommand::BeginPass> rendering = std::nullopt;
  };

  // Records the validated `graph` from its start. Its uploads pass through the frame's staging;
  // when that is full, what is recorded is submitted, and recording goes on in the next frame.
  Result<void> record(const rhi::FrameGraph& graph, Recording& r) {
    auto frame = beginFrame("execute", r.needs.staging, r.needs.views);
    if (!frame) return std::unexpected(frame.error());
    r.frame = *frame;
    for (const rhi::FramePass& pass : graph.passes()) {
      r.pass = PassState{};
      for (const GpuCommand& command : pass.commands) {
        if (r.rendering && !r.pass.open && !continues(*r.rendering, command)) endRendering(r);
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
    if (r.rendering) endRendering(r);
    return {};
  }

  VkCommandBuffer cmd(const Recording& r) const noexcept { return r.frame->commands; }

  // Whether `command` begins a pass on the attachments of `open`, so that it may go on drawing
  // in the same Vulkan rendering: in one rendering the GPU keeps the order of draws and clears on
  // each pixel by itself, where two would need a barrier between them (a wait for all the work
  // before on some devices, Mesa's software device among them).
  static bool continues(const GpuCommand::BeginPass& open, const GpuCommand& command) noexcept {
    const auto* begin = std::get_if<GpuCommand::BeginPass>(&command.payload);
    return begin != nullptr && begin->depth_attachment == open.depth_attachment &&
           std::equal(begin->color_attachments.begin(), begin->color_attachments.end(),
                      open.color_attachments.begin(), open.color_attachments.end());
  }

  void endRendering(Recording& r) {
    vk_.vkCmdEndRendering(cmd(r));
    r.rendering.reset();
  }

  void apply(Recording& r, const GpuCommand::Clear& c) {
    const device::detail::Rgba color{c.r, c.g, c.b, c.a};
    if (!r.pass.open) {
      const GpuImage& image = *images_.find(handleOf(c.color_attachment));
      barrier(cmd(r));
      const VkClearColorValue value = clearValue(image.desc.format, color);
      const VkImageSubresourceRange range = wholeImage(false);
      vk_.vkCmdClearColorImage(cmd(r), image.image, VK_IMAGE_LAYOUT_GENERAL, &value, 1, &range);
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
    if (count > 0) vk_.vkCmdClearAttachments(cmd(r), count, clears.data(), 1, &rect);
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
    if (r.rendering) return;  // the last pass's rendering goes on (see continues())
    r.rendering = c;
    barrier(cmd(r));
    VkRenderingInfo info{};
    info.sType = VK_STRUCTURE_TYPE_RENDERING_INFO;
    info.renderArea = {{0, 0}, {r.pass.width, r.pass.height}};
    info.layerCount = 1;
    info.colorAttachmentCount = static_cast<std::uint32_t>(c.color_attachments.size());
    info.pColorAttachments = colors.data();
    info.pDepthAttachment = r.pass.depth ? &depth : nullptr;
    vk_.vkCmdBeginRendering(cmd(r), &info);
    const VkViewport viewport{
        0.0f, 0.0f, static_cast<float>(r.pass.width), static_cast<float>(r.pass.height),
        0.0f, 1.0f};
    const VkRect2D scissor{{0, 0}, {r.pass.width, r.pass.height}};
    vk_.vkCmdSetViewport(cmd(r), 0, 1, &viewport);
    vk_.vkCmdSetScissor(cmd(r), 0, 1, &scissor);
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

  // The rendering stays open until a command that does not begin a pass on the same attachments
  // (see record()).
  void apply(Recording& r, const GpuCommand::EndPass&) { r.pass.open = false; }

  void apply(Recording& r, const GpuCommand::BindPipeline& c) {
    r.pass.pipeline = pipelines_table_.find(handleOf(c));
  }

  void apply(Recording& r, const GpuCommand::BindVertexBuffer& c) {
    r.pass.vertex_colors = buffers_.find(handleOf(c.buffer))->address + c.offset;
  }

  void apply(Recording& r, const GpuCommand::BindUniform& c) {
    if (c.binding != device::detail::kViewBinding) return;  // nothing here reads other bindings
    r.pass.view_buffer = buffers_.find(handleOf(c.buffer));
    r.pass.view_offset = c.offset;
  }

  // What a draw reads: the buffers, and the flags saying which are there.
  struct DrawInputs {
    VkDeviceAddress positions = 0;
    std::uint32_t position_count = 0;
    VkDeviceAddress indices = 0;
    VkDeviceAddress transforms = 0;
    VkDeviceAddress colors = 0;
    std::uint32_t flags = 0;
    std::array<float, 4> color{1.0f, 1.0f, 1.0f, 1.0f};
  };

  void apply(Recording& r, const rhi::DrawCommand& c) {
    constexpr BufferId kNone{0, 0};
    const GpuBuffer& positions = *buffers_.find(handleOf(c.orv_position_buffer));
    const rhi::PrimitiveTopology topology = r.pass.pipeline->desc.topology;
    DrawInputs in = inputs(positions);
    if (isStrip(topology)) in.flags |= detail::kStrip;
    if (!(c.index_buffer == kNone)) {
      in.indices = buffers_.find(handleOf(c.index_buffer))->address;
      in.flags |= detail::kIndexed;
    }
    if (!(c.orv_transform_buffer == kNone)) {
      in.transforms = buffers_.find(handleOf(c.orv_transform_buffer))->address;
      in.flags |= detail::kTransformed;
    }
    in.colors = !(c.vertex_buffer == kNone) ? buffers_.find(handleOf(c.vertex_buffer))->address
                                            : r.pass.vertex_colors;
    if (in.colors != 0) in.flags |= detail::kColored;
    draw(r, in, pipelines_.kindOf(r.pass.pipeline->desc, topology),
         primitiveCount(topology, c.index_count), c.instance_count);
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
    barrier(cmd(r));
    vk_.vkCmdBindPipeline(cmd(r), VK_PIPELINE_BIND_POINT_COMPUTE, pipelines_.distancePipeline());
    DistanceConstants constants{buffers_.find(handleOf(c.positions_a))->address,
                                buffers_.find(handleOf(c.positions_b))->address,
                                buffers_.find(handleOf(c.results))->address, 0, c.count};
    const std::uint64_t groups =
        (std::uint64_t{c.count} + detail::kDistanceGroup - 1) / detail::kDistanceGroup;
    const std::uint64_t most = limits_.max_compute_group_count;
    for (std::uint64_t first = 0; first < groups; first += most) {
      constants.first = static_cast<std::uint32_t>(first * detail::kDistanceGroup);
      vk_.vkCmdPushConstants(cmd(r), pipelines_.distanceLayout(), VK_SHADER_STAGE_COMPUTE_BIT, 0,
                             sizeof(constants), &constants);
      vk_.vkCmdDispatch(cmd(r), static_cast<std::uint32_t>(std::min(most, groups - first)), 1, 1);
    }
  }

  void apply(Recording& r, const GpuCommand::OrvRenderGeodesics& c) {
    DrawInputs in = inputs(*buffers_.find(handleOf(c.positions)));
    in.flags |= detail::kStrip;
    in.color = {c.color_r, c.color_g, c.color_b, 1.0f};
    draw(r, in, detail::kGeodesics, c.count >= 2 ? c.count - 1 : 0, 1);
  }

  // What every draw of the pipeline of `state` shares: positions, how colours are stored, white.
  DrawInputs inputs(const GpuBuffer& positions) const noexcept {
    DrawInputs in;
    in.positions = positions.address;
    in.position_count = static_cast<std::uint32_t>(positions.desc.size / sizeof(kernel::HomVec4));
    return in;
  }

  static std::uint32_t storeFlags(const rhi::GraphicsPipelineDescriptor& desc) noexcept {
    if (!desc.blend_enabled && desc.color_format == Format::rgba8_unorm) return detail::kStoreUnorm8;
    if (!desc.blend_enabled && desc.color_format == Format::rgba16_float) return detail::kStoreHalf;
    return 0;
  }

  // Draws `primitives` primitives of `kind` of `instances` instances: one vkCmdDraw when their
  // vertices fit its 32-bit count, else runs of primitives, instance by instance so that instances
  // stay in order.
  void draw(Recording& r, const DrawInputs& in, Kind kind, std::uint64_t primitives,
            std::uint32_t instances) {
    const rhi::GraphicsPipelineDescriptor& desc = r.pass.pipeline->desc;
    // The constants of either path; only the first and the primitive change between runs.
    DrawConstants exact{};
    FastConstants fast{};
    // The view of this draw, in the frame's ring: the host's copy of the uniform buffer as it is
    // now, so that a later writeBuffer to the uniform cannot reach a draw still in flight.
    const std::byte* bound_view = r.pass.view_buffer->host.data() + r.pass.view_offset;
    const std::uint64_t view_offset = r.views * viewSize();
    const VkDeviceAddress view_address = r.frame->views.address + view_offset;
    std::byte* view_bytes = r.frame->views.mapped + view_offset;
    ++r.views;
    if (pipelines_.exact()) {
      std::memcpy(view_bytes, bound_view, sizeof(device::ViewUniform));
      exact = {view_address,
               in.positions,
               in.indices,
               in.transforms,
               in.colors,
               in.position_count,
               in.flags | storeFlags(desc),
               0,
               r.pass.width,
               r.pass.height,
               desc.point_size,
               desc.line_width,
               {},
               in.color};
    } else {
      // In single precision.
      device::ViewUniform view{};
      std::memcpy(&view, bound_view, sizeof(view));
      const FastView fast_view = FastView::of(view, desc);
      std::memcpy(view_bytes, &fast_view, sizeof(FastView));
      fast = {in.positions,
              in.indices,
              in.transforms,
              in.colors,
              in.position_count,
              in.flags,  // the GPU's conversion stores the colour
              0,
              {},
              in.color};
    }
    if (primitives == 0 || instances == 0) return;
    const bool moved = in.transforms != 0 && !pipelines_.exact();
    const auto& made = r.pass.pipeline->variants[r.pass.colors.size()][kind];  // by prepare()
    vk_.vkCmdBindPipeline(cmd(r), VK_PIPELINE_BIND_POINT_GRAPHICS, made[moved ? 1 : 0]);
    if (!pipelines_.exact()) {
      const auto offset = static_cast<std::uint32_t>(view_offset);
      vk_.vkCmdBindDescriptorSets(cmd(r), VK_PIPELINE_BIND_POINT_GRAPHICS,
                                  pipelines_.rasterLayout(), 0, 1, &r.frame->view_set, 1, &offset);
    }
    const std::uint32_t per = pipelines_.verticesPerPrimitive(kind);
    // The fast path's points go in runs of kPointRun: Mesa's software device, where a batch of
    // points holds one out of view, goes over all the vertices of the draw so far each time it
    // passes a batch on, so that its cost grows faster than the draw (on the demo's frame, runs of
    // 1024 took its clipping code from 18% of the samples of its thread to 13%). A GPU pays a few
    // more draw calls.
    const std::uint64_t most =
        !pipelines_.exact() && kind == detail::kPoints ? kPointRun : UINT32_MAX / per;
    const auto run = [&](std::uint64_t first, std::uint64_t count, std::uint32_t instance_count,
                         std::uint32_t first_instance) {
      exact.first_primitive = static_cast<std::uint32_t>(first);
      fast.first_primitive = static_cast<std::uint32_t>(first);
      const void* constants = pipelines_.exact() ? static_cast<const void*>(&exact) : &fast;
      vk_.vkCmdPushConstants(cmd(r), pipelines_.rasterLayout(),
                             VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0,
                             pipelines_.rasterConstantsSize(), constants);
      vk_.vkCmdDraw(cmd(r), static_cast<std::uint32_t>(count * per), instance_count, 0,
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

  // Copies `bytes` to the start of `target` through the frame's staging (made by
  // beginFrame()), in as many pieces as it takes. Uploads run outside render passes, so a full
  // staging buffer can be emptied by submitting what is recorded so far.
  Result<void> upload(Recording& r, BufferId target, std::span<const std::byte> bytes) {
    const VkBuffer buffer = buffers_.find(handleOf(target))->buffer;
    for (std::uint64_t done = 0; done < bytes.size();) {
      if (r.staged >= r.frame->staging.size) {
        if (auto ok = submitFrame("execute", *r.frame, false); !ok) return ok;
        ++r.submitted;
        auto frame = beginFrame("execute", r.needs.staging, r.needs.views);
        if (!frame) return std::unexpected(frame.error());
        r.frame = *frame;
        r.staged = 0;
        r.views = 0;
      }
      const std::uint64_t piece = std::min(bytes.size() - done, r.frame->staging.size - r.staged);
      std::memcpy(r.frame->staging.mapped + r.staged, bytes.data() + done, piece);
      barrier(cmd(r));
      const VkBufferCopy region{r.staged, done, piece};
      vk_.vkCmdCopyBuffer(cmd(r), r.frame->staging.buffer, buffer, 1, &region);
      r.staged = stagedSize(r.staged + piece);
      done += piece;
    }
    return {};
  }

  // --- state ------------------------------------------------------------------------------------

  std::unique_ptr<detail::Context> context_;
  const detail::Api& vk_;
  VkDevice device_;
  detail::Resources resources_;
  detail::Pipelines pipelines_;
  detail::Presenter presenter_;
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
  VkDescriptorPool view_pool_ = VK_NULL_HANDLE;  ///< the fast path's frames' view sets
  std::vector<Frame> frames_;
  std::size_t next_frame_ = 0;
  device::detail::ResourceTable<GpuBuffer> buffers_;
  device::detail::ResourceTable<GpuImage> images_;
  device::detail::ResourceTable<GpuPipeline> pipelines_table_;
};

}  // namespace

device::Result<std::unique_ptr<vulkan::Device>> detail::makeVulkanDevice(
    const DeviceOptions& options, const Tuning& tuning) {
  return guarded([&]() -> device::Result<std::unique_ptr<vulkan::Device>> {
    auto context = makeContext(options, tuning);
    if (!context) return std::unexpected(context.error());
    auto made = std::make_unique<VulkanDevice>(std::move(*context), options, tuning);
    if (auto ok = made->init(); !ok) return std::unexpected(ok.error());
    return std::unique_ptr<vulkan::Device>(std::move(made));
  });
}

device::Result<std::unique_ptr<device::Device>> detail::makeDevice(const DeviceOptions& options,
                                                                    const Tuning& tuning) {
  auto made = makeVulkanDevice(options, tuning);
  if (!made) return std::unexpected(made.error());
  return std::unique_ptr<device::Device>(std::move(*made));
}

device::Result<std::unique_ptr<device::Device>> makeDevice(const DeviceOptions& options) {
  return detail::makeDevice(options, {});
}

device::Result<std::unique_ptr<vulkan::Device>> makeVulkanDevice(const DeviceOptions& options) {
  return detail::makeVulkanDevice(options, {});
}

}  // namespace orv::vulkan
