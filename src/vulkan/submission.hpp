#pragma once

// Submission: work is recorded into frames, a ring of `frames_in_flight` command buffers, each
// with its fence, its staging buffer for data crossing from the host and its ring of per-draw
// views: each draw reads the view as it was when the draw was recorded from its frame's own
// memory, never the uniform buffer itself, which the next frame's writeBuffer may overwrite while
// this frame runs. A call takes the next frame of the ring, waiting first for the work it ran
// last, records, submits, and returns; it waits for its own work only where the host needs the
// result (reads, and the zero-filling of new resources). One queue runs every submission in order,
// so a read sees everything submitted before it. Staging is at most one transfer chunk per
// submission: larger transfers, and graphs whose uploads together are larger, run in several
// submissions. A failure that says the device was lost is remembered: the device stays lost.
// Internal to orv_vulkan.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

#include "api.hpp"
#include "context.hpp"
#include "orv/device.hpp"
#include "resources.hpp"

namespace orv::vulkan::detail {

/// Staging buffers kept between calls, when every call waits for its work, are at most this
/// large: a larger transfer's is given back when the call ends.
inline constexpr std::uint64_t kKeptStaging = std::uint64_t{1} << 20;

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

/// Semaphores a submission waits for (at a stage) and signals.
struct Signals {
  VkSemaphore wait;
  VkPipelineStageFlags wait_stage;
  VkSemaphore signal;
};

/// The ring of frames, their submission to the queue and the waits for their work, and whether
/// the device was lost.
class Submission {
 public:
  /// `exact` says which path's views the frames' rings hold.
  Submission(const Context& context, Resources& resources, std::uint32_t frames_in_flight,
             std::uint64_t transfer_chunk, bool exact);
  Submission(const Submission&) = delete;
  Submission& operator=(const Submission&) = delete;
  /// Destroys the frames' memory, fences and semaphores and the pools; `finish` came first.
  ~Submission();

  /// The command pool, and each frame's command buffer and fence.
  [[nodiscard]] device::Result<void> init();
  /// On the fast path (`layout` is the layout of its view sets, else VK_NULL_HANDLE), a
  /// descriptor set for each frame, through which its draws read their views.
  [[nodiscard]] device::Result<void> makeViewSets(VkDescriptorSetLayout layout);
  /// Waits for each frame (unless the device hung) and for the whole device: what either sees
  /// ended may be destroyed.
  void finish() noexcept;

  /// The device was lost: every call but destroying refuses to run.
  [[nodiscard]] bool lost() const noexcept { return lost_; }
  /// Submitted work may still be running, and the GPU can no longer be waited for: what the work
  /// may use is kept until the device is destroyed. A hung device is lost too.
  [[nodiscard]] bool hung() const noexcept { return hung_; }
  /// The most bytes one submission moves to or from the host.
  [[nodiscard]] std::uint64_t transferChunk() const noexcept { return transfer_chunk_; }
  /// The bytes of one draw's view in a frame's ring: on the fast path a FastView at an offset a
  /// uniform buffer may start at.
  [[nodiscard]] std::uint64_t viewSize() const noexcept;

  /// `result`, noting a lost device where it says so.
  template <class T>
  T track(T result) {
    if (!result && result.error().code == device::ErrorCode::device_lost) lost_ = true;
    return result;
  }
  /// `call` failed because the Vulkan call `what` gave `result`, noting a lost device.
  [[nodiscard]] std::unexpected<device::Failure> vulkanFailure(std::string_view call,
                                                               std::string_view what,
                                                               VkResult result);
  /// `call` refused because the device was lost.
  [[nodiscard]] std::unexpected<device::Failure> deviceLost(std::string_view call) const;

  /// Waits for every frame.
  [[nodiscard]] device::Result<void> waitAll(std::string_view call);

  /// The next frame of the ring, once the work it ran last has ended, with room for `staging`
  /// bytes of transfers and `views` views, recording behind a barrier that orders what follows
  /// behind everything submitted before.
  [[nodiscard]] device::Result<Frame*> beginFrame(std::string_view call, std::uint64_t staging,
                                                  std::uint64_t views);
  /// Ends the recording of `f` and submits it (waiting for and signalling `signals`' semaphores
  /// where given); with `wait_for_it`, or when every call is to wait for its work, waits for it.
  [[nodiscard]] device::Result<void> submitFrame(std::string_view call, Frame& f,
                                                 bool wait_for_it,
                                                 const Signals* signals = nullptr);
  /// The semaphore `f` waits for before copying into a swapchain image, made where missing.
  [[nodiscard]] device::Result<void> makeAcquired(std::string_view call, Frame& f);

  /// Records `body` in a frame of its own, submits it, and with `wait_for_it` waits for it.
  template <class Body>
  device::Result<void> submit(std::string_view call, bool wait_for_it, Body&& body) {
    auto frame = beginFrame(call, 0, 0);
    if (!frame) return std::unexpected(frame.error());
    body((*frame)->commands);
    return submitFrame(call, **frame, wait_for_it);
  }

  /// Runs `body`, a call that moves data through staging, then, where every call waits for its
  /// work, gives back staging larger than the device keeps between calls. With frames in flight
  /// each frame keeps what its transfers needed (at most one transfer chunk), so that a loop of
  /// frames allocates nothing.
  template <class Body>
  device::Result<void> staged(Body&& body) {
    device::Result<void> done = body();
    if (frames_.size() == 1 && !hung_) {
      for (Frame& f : frames_) {
        if (!f.pending && f.staging.size > kKeptStaging) resources_.release(f.staging);
      }
    }
    return done;
  }

 private:
  /// Waits for the work `f` ran last.
  device::Result<void> wait(std::string_view call, Frame& f);
  /// The host buffer `b` grown to at least `bytes`.
  device::Result<void> reserve(std::string_view call, HostBuffer& b, std::uint64_t bytes,
                               bool addressable);

  const Context& context_;
  const Api& vk_;
  VkDevice device_;
  Resources& resources_;
  std::uint64_t transfer_chunk_;
  bool exact_;
  bool lost_ = false;
  bool hung_ = false;
  VkCommandPool pool_ = VK_NULL_HANDLE;
  VkDescriptorPool view_pool_ = VK_NULL_HANDLE;  ///< the fast path's frames' view sets
  std::vector<Frame> frames_;
  std::size_t next_frame_ = 0;
};

}  // namespace orv::vulkan::detail
