#include "submission.hpp"

#include <algorithm>
#include <string>

#include "pipelines.hpp"
#include "recording.hpp"
#include "validation.hpp"

namespace orv::vulkan::detail {

using device::ErrorCode;
using device::Failure;
using device::Result;

Submission::Submission(const Context& context, Resources& resources,
                       std::uint32_t frames_in_flight, std::uint64_t transfer_chunk, bool exact)
    : context_(context),
      vk_(context.api),
      device_(context.device),
      resources_(resources),
      transfer_chunk_(std::max<std::uint64_t>(transfer_chunk, 1)),
      exact_(exact),
      frames_(std::max<std::uint32_t>(frames_in_flight, 1)) {}

Submission::~Submission() {
  for (Frame& f : frames_) {
    resources_.release(f.staging);
    resources_.release(f.views);
    if (f.fence != VK_NULL_HANDLE) vk_.vkDestroyFence(device_, f.fence, nullptr);
    if (f.acquired != VK_NULL_HANDLE) vk_.vkDestroySemaphore(device_, f.acquired, nullptr);
  }
  if (pool_ != VK_NULL_HANDLE) vk_.vkDestroyCommandPool(device_, pool_, nullptr);
  if (view_pool_ != VK_NULL_HANDLE) vk_.vkDestroyDescriptorPool(device_, view_pool_, nullptr);
}

Result<void> Submission::init() {
  VkCommandPoolCreateInfo pool_info{};
  pool_info.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
  pool_info.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
  pool_info.queueFamilyIndex = context_.queue_family;
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
  return {};
}

Result<void> Submission::makeViewSets(VkDescriptorSetLayout layout) {
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

void Submission::finish() noexcept {
  if (!hung_) {
    for (Frame& f : frames_) {
      if (f.pending) vk_.vkWaitForFences(device_, 1, &f.fence, VK_TRUE, UINT64_MAX);
    }
  }
  vk_.vkDeviceWaitIdle(device_);
}

std::uint64_t Submission::viewSize() const noexcept {
  if (exact_) return sizeof(device::ViewUniform);
  const std::uint64_t align =
      std::max<std::uint64_t>(context_.properties.limits.minUniformBufferOffsetAlignment, 1);
  return (sizeof(FastView) + align - 1) / align * align;
}

std::unexpected<Failure> Submission::vulkanFailure(std::string_view call, std::string_view what,
                                                   VkResult result) {
  if (errorCodeOf(result) == ErrorCode::device_lost) lost_ = true;
  return detail::vulkanFailure(call, what, result);
}

std::unexpected<Failure> Submission::deviceLost(std::string_view call) const {
  return std::unexpected(device::detail::failure(
      ErrorCode::device_lost,
      std::string(call) + ": " + context_.name + " was lost; make a new device"));
}

// A wait that fails otherwise than by a lost device is made good by waiting for the whole device;
// should that fail too, the device is of no more use.
Result<void> Submission::wait(std::string_view call, Frame& f) {
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
          std::string(call) + ": vkWaitForFences gave " + resultName(r) + " and vkDeviceWaitIdle " +
              resultName(idle) + ": " + context_.name +
              " can no longer be waited for; make a new device"));
    }
    for (Frame& each : frames_) each.pending = false;  // the whole device is idle
    return {};
  }
  f.pending = false;
  return {};
}

Result<void> Submission::waitAll(std::string_view call) {
  for (Frame& f : frames_) {
    if (auto ok = wait(call, f); !ok) return ok;
  }
  return {};
}

// The host buffer `b` grown to at least `bytes`; its old contents do not survive growth.
Result<void> Submission::reserve(std::string_view call, HostBuffer& b, std::uint64_t bytes,
                                 bool addressable) {
  if (bytes <= b.size) return {};
  resources_.release(b);
  const std::uint64_t size = std::max(bytes, std::min(kKeptStaging, transfer_chunk_));
  return track(resources_.makeHostBuffer(call, size, addressable, b));
}

Result<Frame*> Submission::beginFrame(std::string_view call, std::uint64_t staging,
                                      std::uint64_t views) {
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
  barrier(vk_, f.commands);
  return &f;
}

Result<void> Submission::submitFrame(std::string_view call, Frame& f, bool wait_for_it,
                                     const Signals* signals) {
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
  if (VkResult r = vk_.vkQueueSubmit(context_.queue, 1, &info, f.fence); r != VK_SUCCESS) {
    return vulkanFailure(call, "vkQueueSubmit", r);
  }
  f.pending = true;
  next_frame_ = (next_frame_ + 1) % frames_.size();
  if (wait_for_it || frames_.size() == 1) return wait(call, f);
  return {};
}

Result<void> Submission::makeAcquired(std::string_view call, Frame& f) {
  if (f.acquired != VK_NULL_HANDLE) return {};
  VkSemaphoreCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
  if (VkResult r = vk_.vkCreateSemaphore(device_, &info, nullptr, &f.acquired); r != VK_SUCCESS) {
    f.acquired = VK_NULL_HANDLE;
    return vulkanFailure(call, "vkCreateSemaphore", r);
  }
  return {};
}

}  // namespace orv::vulkan::detail
