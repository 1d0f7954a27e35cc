#pragma once

// Recording: a validated frame graph turned into command buffers, on either path. Every buffer is
// reached from shaders through its device address, so draws and distance computations need no
// descriptors: their push constants carry the addresses. Every image stays in the GENERAL layout
// for its whole life, and a global memory barrier separates each command that runs outside a
// render pass from what came before it (including earlier submissions), which keeps the order of
// the graph without tracking who wrote what. The two paths record alike; they differ only in
// their pipelines and in the constants and views their shaders read. Internal to orv_vulkan.

#include <array>
#include <cstdint>

#include "api.hpp"
#include "orv/device.hpp"
#include "orv/rhi.hpp"
#include "pipelines.hpp"
#include "resource_table.hpp"
#include "resources.hpp"
#include "submission.hpp"

namespace orv::vulkan::detail {

/// A pipeline of orv, and the Vulkan pipelines made from it.
struct GpuPipeline {
  rhi::GraphicsPipelineDescriptor desc;
  device::PipelineOptions options;
  /// Made when first drawn with: variants[n][kind][moved] draws primitives of `kind` in render
  /// passes of n colour attachments, on the fast path with (moved 1) or without (0) transforms
  /// (the exact path's are all moved 0).
  std::array<std::array<std::array<VkPipeline, 2>, kKinds>, kMaxColorAttachments + 1> variants{};
};

/// Every write before it, on the device, is visible to every access after it.
void barrier(const Api& vk, VkCommandBuffer cmd) noexcept;
/// Moves `image` from layout `from` to layout `to`, after everything before and before everything
/// after.
void relayout(const Api& vk, VkCommandBuffer cmd, VkImage image, bool depth, VkImageLayout from,
              VkImageLayout to) noexcept;
/// Copies into a staging buffer are visible to the host once the submission is waited for.
void toHost(const Api& vk, VkCommandBuffer cmd) noexcept;

/// Records validated frame graphs into the frames of `submission`, reading the device's tables.
class Recorder {
 public:
  Recorder(const Api& vk, Pipelines& pipelines, Submission& submission,
           const device::detail::ResourceTable<GpuBuffer>& buffers,
           const device::detail::ResourceTable<GpuImage>& images,
           device::detail::ResourceTable<GpuPipeline>& pipelines_table,
           const rhi::DeviceLimits& limits) noexcept
      : vk_(vk),
        pipelines_(pipelines),
        submission_(submission),
        buffers_(buffers),
        images_(images),
        pipelines_table_(pipelines_table),
        limits_(limits) {}

  /// Records and submits the validated `graph`: first the pipelines its draws need (failing there
  /// leaves every resource as it was), then its commands. Its uploads pass through the frames'
  /// staging; when that is full, what is recorded is submitted and recording goes on in the next
  /// frame, and a failure after that says how many parts had run.
  [[nodiscard]] device::Result<void> run(const rhi::FrameGraph& graph);

 private:
  class Run;  // the recording of one graph (recording.cpp)

  const Api& vk_;
  Pipelines& pipelines_;
  Submission& submission_;
  const device::detail::ResourceTable<GpuBuffer>& buffers_;
  const device::detail::ResourceTable<GpuImage>& images_;
  device::detail::ResourceTable<GpuPipeline>& pipelines_table_;
  const rhi::DeviceLimits& limits_;
};

}  // namespace orv::vulkan::detail
