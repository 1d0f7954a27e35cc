// The Vulkan device: what orv::vulkan::Device promises, composed of its parts. The context
// (context.cpp) holds the instance, the device and its queue; resources.cpp makes memory, buffers
// and images; pipelines.cpp the shaders and pipelines of the exact or the fast path; submission.cpp
// runs the ring of frames in flight and the waits for their work; recording.cpp turns validated
// frame graphs into command buffers; presentation.cpp shows images in a window's surface. This
// file checks each call, keeps the tables of buffers, images and pipelines, and moves data between
// the host and the device; `destroy` waits for every frame.

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "api.hpp"
#include "context.hpp"
#include "orv/vulkan.hpp"
#include "pipelines.hpp"
#include "presentation.hpp"
#include "recording.hpp"
#include "resource_table.hpp"
#include "resources.hpp"
#include "submission.hpp"
#include "validation.hpp"

namespace orv::vulkan {

namespace {

using detail::Frame;
using detail::GpuBuffer;
using detail::GpuImage;
using detail::GpuPipeline;
using detail::kMaxColorAttachments;
using detail::wholeImage;
using device::ErrorCode;
using device::Result;
using orv::device::detail::guarded;
using orv::device::detail::handleOf;
using orv::device::detail::notLive;
using orv::device::detail::outOfMemory;
using rhi::BufferId;
using rhi::ImageId;
using rhi::PipelineId;

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
        submission_(*context_, resources_, options.frames_in_flight, tuning.transfer_chunk,
                    options.exact),
        recorder_(vk_, pipelines_, submission_, buffers_, images_, pipelines_table_, limits_) {}

  VulkanDevice(const VulkanDevice&) = delete;
  VulkanDevice& operator=(const VulkanDevice&) = delete;

  ~VulkanDevice() override {
    // Each frame waited for, and the whole device: what either sees ended may be destroyed.
    submission_.finish();
    buffers_.forEach([&](GpuBuffer& b) { resources_.release(b); });
    images_.forEach([&](GpuImage& i) { resources_.release(i); });
    if (abandoned_buffer_) resources_.release(*abandoned_buffer_);
    if (abandoned_image_) resources_.release(*abandoned_image_);
    pipelines_table_.forEach([&](GpuPipeline& p) { release(p); });
    // submission_ then destroys the frames, pipelines_ the shaders, and context_ the device
    // and the instance.
  }

  // Everything made once: the frames, shaders, layouts, the distance pipeline, and the limits.
  Result<void> init() {
    if (auto ok = submission_.init(); !ok) return ok;
    if (auto ok = pipelines_.init(); !ok) return submission_.track(ok);
    if (auto ok = submission_.makeViewSets(pipelines_.viewSetLayout()); !ok) return ok;
    limits_ = measuredLimits();
    return {};
  }

  const rhi::DeviceLimits& limits() const noexcept override { return limits_; }
  std::string_view name() const noexcept override { return context_->name; }

  Result<BufferId> createBuffer(const rhi::BufferDescriptor& desc) override {
    return guarded([&]() -> Result<BufferId> {
      if (submission_.lost()) return submission_.deviceLost("createBuffer");
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
        return submission_.track(Result<BufferId>(std::unexpected(ok.error())));
      }
      buffer.address = resources_.addressOf(buffer.buffer);
      auto zeroed = submission_.submit("createBuffer", true, [&](VkCommandBuffer cmd) {
        vk_.vkCmdFillBuffer(cmd, buffer.buffer, 0, VK_WHOLE_SIZE, 0);
      });
      const auto handle = zeroed ? buffers_.insert(GpuBuffer(buffer)) : std::nullopt;
      if (!handle) {
        if (submission_.hung()) {
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
      if (submission_.lost()) return submission_.deviceLost("createImage");
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
        return submission_.track(Result<ImageId>(std::unexpected(ok.error())));
      }
      auto zeroed = submission_.submit("createImage", true, [&](VkCommandBuffer cmd) {
        detail::relayout(vk_, cmd, image.image, depth, VK_IMAGE_LAYOUT_UNDEFINED,
                         VK_IMAGE_LAYOUT_GENERAL);
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
        if (submission_.hung()) {
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
      if (submission_.lost()) return submission_.deviceLost("createPipeline");
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
      if (submission_.hung()) return submission_.deviceLost("destroy");
      if (buffers_.find(handleOf(id)) == nullptr) {
        return notLive("destroy", device::detail::describe(id));
      }
      if (auto idle = submission_.waitAll("destroy"); !idle && submission_.hung()) {
        return idle;
      }
      std::optional<GpuBuffer> buffer = buffers_.erase(handleOf(id));
      resources_.release(*buffer);
      return {};
    });
  }

  Result<void> destroy(ImageId id) override {
    return guarded([&]() -> Result<void> {
      if (submission_.hung()) return submission_.deviceLost("destroy");
      if (images_.find(handleOf(id)) == nullptr) {
        return notLive("destroy", device::detail::describe(id));
      }
      if (auto idle = submission_.waitAll("destroy"); !idle && submission_.hung()) {
        return idle;
      }
      std::optional<GpuImage> image = images_.erase(handleOf(id));
      resources_.release(*image);
      return {};
    });
  }

  Result<void> destroy(PipelineId id) override {
    return guarded([&]() -> Result<void> {
      if (submission_.hung()) return submission_.deviceLost("destroy");
      if (lookup().pipeline(id) == nullptr) {
        return notLive("destroy", device::detail::describe(id));
      }
      if (auto idle = submission_.waitAll("destroy"); !idle && submission_.hung()) {
        return idle;
      }
      std::optional<GpuPipeline> pipeline = pipelines_table_.erase(handleOf(id));
      release(*pipeline);
      return {};
    });
  }

  Result<void> writeBuffer(BufferId id, std::uint64_t offset,
                           std::span<const std::byte> bytes) override {
    return guarded([&]() -> Result<void> {
      if (submission_.lost()) return submission_.deviceLost("writeBuffer");
      GpuBuffer* buffer = buffers_.find(handleOf(id));
      if (buffer == nullptr) return notLive("writeBuffer", device::detail::describe(id));
      if (auto ok = device::detail::checkBufferRange("writeBuffer", id, buffer->desc.size, offset,
                                                     bytes.size());
          !ok) {
        return ok;
      }
      return submission_.staged([&]() -> Result<void> {
        for (std::uint64_t done = 0; done < bytes.size();) {
          const std::uint64_t chunk =
              std::min<std::uint64_t>(bytes.size() - done, submission_.transferChunk());
          auto frame = submission_.beginFrame("writeBuffer", chunk, 0);
          if (!frame) return std::unexpected(frame.error());
          Frame& f = **frame;
          std::memcpy(f.staging.mapped, bytes.data() + done, chunk);
          const VkBufferCopy region{0, offset + done, chunk};
          vk_.vkCmdCopyBuffer(f.commands, f.staging.buffer, buffer->buffer, 1, &region);
          auto copied = submission_.submitFrame("writeBuffer", f, false);
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
      if (submission_.lost()) return submission_.deviceLost("readBuffer");
      const GpuBuffer* buffer = buffers_.find(handleOf(id));
      if (buffer == nullptr) return notLive("readBuffer", device::detail::describe(id));
      if (auto ok = device::detail::checkBufferRange("readBuffer", id, buffer->desc.size, offset,
                                                     bytes.size());
          !ok) {
        return ok;
      }
      return submission_.staged([&]() -> Result<void> {
        for (std::uint64_t done = 0; done < bytes.size();) {
          const std::uint64_t chunk =
              std::min<std::uint64_t>(bytes.size() - done, submission_.transferChunk());
          auto frame = submission_.beginFrame("readBuffer", chunk, 0);
          if (!frame) return std::unexpected(frame.error());
          Frame& f = **frame;
          const VkBufferCopy region{offset + done, 0, chunk};
          vk_.vkCmdCopyBuffer(f.commands, buffer->buffer, f.staging.buffer, 1, &region);
          detail::toHost(vk_, f.commands);
          if (auto copied = submission_.submitFrame("readBuffer", f, true); !copied) return copied;
          std::memcpy(bytes.data() + done, f.staging.mapped, chunk);
          done += chunk;
        }
        return {};
      });
    });
  }

  Result<void> readImage(ImageId id, std::span<std::byte> bytes) override {
    return guarded([&]() -> Result<void> {
      if (submission_.lost()) return submission_.deviceLost("readImage");
      const GpuImage* image = images_.find(handleOf(id));
      if (image == nullptr) return notLive("readImage", device::detail::describe(id));
      if (auto ok = device::detail::checkImageReadback(id, image->desc, bytes.size()); !ok)
        return ok;
      // A band of whole rows at a time.
      const std::uint64_t row = std::uint64_t{image->desc.width} * rhi::size(image->desc.format);
      const std::uint64_t chunk = submission_.transferChunk();
      const std::uint32_t rows_per_chunk =
          static_cast<std::uint32_t>(std::max<std::uint64_t>(1, chunk / row));
      const bool depth = device::detail::isDepthFormat(image->desc.format);
      return submission_.staged([&]() -> Result<void> {
        for (std::uint32_t first = 0; first < image->desc.height;) {
          const std::uint32_t rows = std::min(rows_per_chunk, image->desc.height - first);
          auto frame = submission_.beginFrame("readImage", row * rows, 0);
          if (!frame) return std::unexpected(frame.error());
          Frame& f = **frame;
          VkBufferImageCopy region{};
          region.imageSubresource = {wholeImage(depth).aspectMask, 0, 0, 1};
          region.imageOffset = {0, static_cast<std::int32_t>(first), 0};
          region.imageExtent = {image->desc.width, rows, 1};
          constexpr VkImageLayout kCopying = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
          detail::relayout(vk_, f.commands, image->image, depth, VK_IMAGE_LAYOUT_GENERAL,
                           kCopying);
          vk_.vkCmdCopyImageToBuffer(f.commands, image->image, kCopying, f.staging.buffer, 1,
                                     &region);
          detail::relayout(vk_, f.commands, image->image, depth, kCopying,
                           VK_IMAGE_LAYOUT_GENERAL);
          detail::toHost(vk_, f.commands);
          if (auto copied = submission_.submitFrame("readImage", f, true); !copied) return copied;
          std::memcpy(bytes.data() + row * first, f.staging.mapped, row * rows);
          first += rows;
        }
        return {};
      });
    });
  }

  Result<void> execute(const rhi::FrameGraph& graph) override {
    return guarded([&]() -> Result<void> {
      if (submission_.lost()) return submission_.deviceLost("execute");
      if (auto ok = device::detail::validateGraph(graph, lookup(), limits_); !ok) return ok;
      return submission_.staged([&]() -> Result<void> { return recorder_.run(graph); });
    });
  }

  void* instance() const noexcept override { return context_->instance; }

  Result<void> attachSurface(std::uint64_t surface) override {
    return guarded([&]() -> Result<void> {
      if (submission_.lost()) return submission_.deviceLost("attachSurface");
      if (!context_->swapchains) {
        return std::unexpected(device::detail::failure(
            ErrorCode::unsupported,
            std::string("attachSurface: ") +
                (context_->surfaces ? context_->name + " offers no swapchains (VK_KHR_swapchain)"
                                    : "the device was made without VK_KHR_surface among "
                                      "DeviceOptions::instance_extensions")));
      }
      if (auto idle = submission_.waitAll("attachSurface"); !idle) return idle;
      return submission_.track(presenter_.attach(std::bit_cast<VkSurfaceKHR>(surface)));
    });
  }

  Result<void> present(ImageId id) override {
    return guarded([&]() -> Result<void> {
      if (submission_.lost()) return submission_.deviceLost("present");
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
        if (auto idle = submission_.waitAll("present"); !idle) return idle;
      }
      if (auto ok = submission_.track(presenter_.prepare("present", bytes)); !ok) return ok;
      auto frame = submission_.beginFrame("present", 0, 0);
      if (!frame) return std::unexpected(frame.error());
      Frame& f = **frame;
      if (auto ok = submission_.makeAcquired("present", f); !ok) return ok;
      const auto target = submission_.track(presenter_.acquire("present", f.acquired));
      if (!target) return std::unexpected(target.error());
      presenter_.record(f.commands, *image, *target);
      const detail::Signals signals{f.acquired, VK_PIPELINE_STAGE_TRANSFER_BIT, target->ready};
      if (auto ok = submission_.submitFrame("present", f, false, &signals); !ok) return ok;
      presenter_.submitted();
      return submission_.track(presenter_.present("present", *target));
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
    // vertices, and no more than the indices of the largest index buffer: recording splits what one
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

  // --- state ------------------------------------------------------------------------------------

  std::unique_ptr<detail::Context> context_;
  const detail::Api& vk_;
  VkDevice device_;
  detail::Resources resources_;
  detail::Pipelines pipelines_;
  detail::Presenter presenter_;
  detail::Submission submission_;
  rhi::DeviceLimits limits_{};
  /// What a call that found the device hung had made for itself, kept until the device is
  /// destroyed: submitted work may still use it.
  std::optional<GpuBuffer> abandoned_buffer_;
  std::optional<GpuImage> abandoned_image_;
  device::detail::ResourceTable<GpuBuffer> buffers_;
  device::detail::ResourceTable<GpuImage> images_;
  device::detail::ResourceTable<GpuPipeline> pipelines_table_;
  detail::Recorder recorder_;
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
