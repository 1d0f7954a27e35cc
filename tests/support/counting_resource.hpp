#pragma once

// A memory resource for tests: it counts what it hands out, checks that every block comes back with
// the size and alignment it was handed out with, can be told to refuse its k-th allocation, and can
// optionally resize blocks in place within a fixed reserve (or be told to refuse that too).

#include <cstddef>
#include <new>
#include <unordered_map>
#include <vector>

#include "orv/rhi.hpp"

namespace orv::testing {

class CountingResource final : public rhi::ResizableMemoryResource {
 public:
  /// `in_place_reserve` > 0 lets every block grow in place up to that many bytes.
  explicit CountingResource(std::size_t in_place_reserve = 0) : reserve_(in_place_reserve) {}
  ~CountingResource() override {
    for (auto& [p, block] : blocks_) ::operator delete(p, std::align_val_t{block.alignment});
  }

  /// Refuse the k-th allocation counted from construction (1-based); 0 refuses none.
  void failAllocation(std::size_t k) { fail_at_ = k; }
  /// Refuse every allocation from now on.
  void failEverything() { fail_all_ = true; }
  /// Refuse (or allow again) every in-place resize; allocations are not affected.
  void refuseResizes(bool refuse) { refuse_resizes_ = refuse; }

  std::size_t bytesInUse() const { return in_use_; }
  std::size_t blocksInUse() const { return blocks_.size(); }
  std::size_t allocations() const { return allocations_; }        // requests, refused ones included
  std::size_t deallocations() const { return deallocations_; }
  std::size_t mismatchedReleases() const { return mismatched_; }  // wrong size or alignment
  const std::vector<std::size_t>& allocationSizes() const { return sizes_; }  // granted only
  const std::vector<std::size_t>& resizeSizes() const { return resizes_; }    // granted only

 private:
  struct Block {
    std::size_t bytes;
    std::size_t alignment;
  };

  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    ++allocations_;
    if (fail_all_ || allocations_ == fail_at_) throw std::bad_alloc();
    const std::size_t reserved = bytes > reserve_ ? bytes : reserve_;
    void* p = ::operator new(reserved == 0 ? 1 : reserved, std::align_val_t{alignment});
    blocks_[p] = Block{bytes, alignment};
    in_use_ += bytes;
    sizes_.push_back(bytes);
    return p;
  }

  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    ++deallocations_;
    const auto found = blocks_.find(p);
    if (found == blocks_.end() || found->second.bytes != bytes ||
        found->second.alignment != alignment) {
      ++mismatched_;
      return;
    }
    in_use_ -= bytes;
    ::operator delete(p, std::align_val_t{alignment});
    blocks_.erase(found);
  }

  bool do_resize_in_place(void* p, std::size_t old_bytes, std::size_t new_bytes,
                          std::size_t alignment) noexcept override {
    const auto found = blocks_.find(p);
    if (found == blocks_.end() || found->second.bytes != old_bytes ||
        found->second.alignment != alignment) {
      ++mismatched_;
      return false;
    }
    if (fail_all_ || refuse_resizes_ || new_bytes > reserve_) return false;
    in_use_ = in_use_ - old_bytes + new_bytes;
    found->second.bytes = new_bytes;
    resizes_.push_back(new_bytes);
    return true;
  }

  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::size_t reserve_;
  std::size_t fail_at_ = 0;
  bool fail_all_ = false;
  bool refuse_resizes_ = false;
  std::unordered_map<void*, Block> blocks_;
  std::size_t in_use_ = 0;
  std::size_t allocations_ = 0;
  std::size_t deallocations_ = 0;
  std::size_t mismatched_ = 0;
  std::vector<std::size_t> sizes_;
  std::vector<std::size_t> resizes_;
};

}  // namespace orv::testing
