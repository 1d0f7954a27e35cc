#pragma once

#include <cstdint>

namespace orv {

/// The one error of orv. Geometry never fails; only the two operations that allocate through a
/// caller's `std::pmr::memory_resource` (adding a pass to a frame graph, sorting points by depth)
/// can, and they report it as this value inside a `std::expected`, never as an exception.
enum class Error : std::uint8_t {
  OutOfMemory,  ///< The caller's memory resource refused a request.
};

}  // namespace orv
