#pragma once

// A table of resources named by generation-counted handles, shared by the devices. Slot k holds
// the resource with id k + 1; destroying it frees the slot, and the next resource placed there gets
// a generation one higher, so handles of the destroyed one no longer match. A slot whose
// generation would wrap is retired instead of reused.

#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace orv::device::detail {

/// A handle's two numbers, whatever its type.
struct Handle {
  std::uint64_t id;
  std::uint32_t generation;
};

template <class Entry>
class ResourceTable {
 public:
  /// Places `entry` in a free slot and returns its handle, or nothing when memory runs out or the
  /// table already holds every id a 32-bit slot number can name.
  std::optional<Handle> insert(Entry&& entry) noexcept {
    if (!free_.empty()) {
      const std::uint32_t index = free_.back();
      free_.pop_back();
      Slot& slot = slots_[index];
      ++slot.generation;
      slot.entry.emplace(std::move(entry));
      return Handle{std::uint64_t{index} + 1, slot.generation};
    }
    if (slots_.size() >= kMaxSlots) return std::nullopt;
    try {
      // Reserve room for the slot to come back to the free list, so `erase` never allocates.
      if (free_.capacity() < slots_.size() + 1) free_.reserve(2 * slots_.size() + 8);
      slots_.push_back(Slot{1, std::move(entry)});
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
    return Handle{slots_.size(), 1};
  }

  /// The live entry `handle` names, or null.
  [[nodiscard]] Entry* find(Handle handle) noexcept {
    if (handle.id == 0 || handle.id > slots_.size()) return nullptr;
    Slot& slot = slots_[handle.id - 1];
    if (slot.generation != handle.generation || !slot.entry) return nullptr;
    return &*slot.entry;
  }
  [[nodiscard]] const Entry* find(Handle handle) const noexcept {
    return const_cast<ResourceTable*>(this)->find(handle);
  }

  /// Takes the live entry `handle` names out of the table, or nothing when there is none.
  std::optional<Entry> erase(Handle handle) noexcept {
    Entry* entry = find(handle);
    if (entry == nullptr) return std::nullopt;
    Slot& slot = slots_[handle.id - 1];
    std::optional<Entry> taken(std::move(*entry));
    slot.entry.reset();
    if (slot.generation != std::numeric_limits<std::uint32_t>::max()) {
      free_.push_back(static_cast<std::uint32_t>(handle.id - 1));  // capacity reserved by insert
    }
    return taken;
  }

  /// Calls `f` on every live entry.
  template <class F>
  void forEach(F&& f) {
    for (Slot& slot : slots_) {
      if (slot.entry) f(*slot.entry);
    }
  }

 private:
  static constexpr std::size_t kMaxSlots = std::numeric_limits<std::uint32_t>::max();

  struct Slot {
    std::uint32_t generation;
    std::optional<Entry> entry;
  };

  std::vector<Slot> slots_;
  std::vector<std::uint32_t> free_;
};

}  // namespace orv::device::detail
