#include "orv/rhi.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace orv::rhi {

FrameGraph::~FrameGraph() { release(); }

FrameGraph::FrameGraph(FrameGraph&& other) noexcept
    : resource_(other.resource_),
      resizable_(other.resizable_),
      passes_(std::exchange(other.passes_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      frame_index_(std::exchange(other.frame_index_, 0)) {}

FrameGraph& FrameGraph::operator=(FrameGraph&& other) noexcept {
  if (this != &other) {
    release();
    resource_ = other.resource_;
    resizable_ = other.resizable_;
    passes_ = std::exchange(other.passes_, nullptr);
    count_ = std::exchange(other.count_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    frame_index_ = std::exchange(other.frame_index_, 0);
  }
  return *this;
}

void FrameGraph::release() noexcept {
  if (passes_ != nullptr) {
    resource_->deallocate(passes_, capacity_ * sizeof(FramePass), alignof(FramePass));
    passes_ = nullptr;
    count_ = 0;
    capacity_ = 0;
  }
}

std::expected<void, Error> FrameGraph::addPass(FramePass pass) {
  // The largest array whose size in bytes is representable; passCount() answers in 32 bits.
  constexpr std::size_t kMaxCapacity = std::numeric_limits<std::size_t>::max() / sizeof(FramePass);
  constexpr std::size_t kMaxPasses =
      std::min<std::size_t>(kMaxCapacity, std::numeric_limits<std::uint32_t>::max());
  if (count_ >= kMaxPasses) return std::unexpected(Error::OutOfMemory);

  if (count_ == capacity_) {
    std::size_t grown = capacity_;
    while (grown < count_ + 1) {
      const std::size_t step = grown / 2 + 1;
      grown = grown > kMaxCapacity - step ? kMaxCapacity : grown + step;
    }
    const std::size_t old_bytes = capacity_ * sizeof(FramePass);
    const std::size_t new_bytes = grown * sizeof(FramePass);

    if (passes_ != nullptr && resizable_ != nullptr &&
        resizable_->resizeInPlace(passes_, old_bytes, new_bytes, alignof(FramePass))) {
      capacity_ = grown;
    } else {
      void* storage = nullptr;
      try {
        storage = resource_->allocate(new_bytes, alignof(FramePass));
      } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
      }
      auto* moved = static_cast<FramePass*>(storage);
      std::uninitialized_copy_n(passes_, count_, moved);
      if (passes_ != nullptr) resource_->deallocate(passes_, old_bytes, alignof(FramePass));
      passes_ = moved;
      capacity_ = grown;
    }
  }

  std::construct_at(passes_ + count_, pass);
  ++count_;
  return {};
}

}  // namespace orv::rhi
