#pragma once

#include <cstdint>

namespace orv {

/// The error of orv's allocating operations: only the two operations that allocate through a
/// caller's `std::pmr::memory_resource` (adding a pass to a frame graph, sorting points by depth)
/// can run out of memory, and they report it as this value inside a `std::expected`, never as an
/// exception. Geometry never fails, with one exception: `renderer::Observer::init` refuses a
/// degenerate frame with its own `renderer::ObserverError`.
enum class Error : std::uint8_t {
  OutOfMemory,  ///< The caller's memory resource refused a request.
};

}  // namespace orv
