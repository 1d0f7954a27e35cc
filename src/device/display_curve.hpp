#pragma once

// The transfer curve of every 8-bit picture orv makes of a linear colour: io::encodeChannel's,
// and the Vulkan device's when it presents an image to a window, which builds its tables from
// this one definition so that the window shows exactly the bytes io::toDisplay gives. Internal.

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace orv::device::detail {

/// A colour channel's value v, linear in light, clamped to [0, 1] (NaN counting as 0), stored as
/// floor(255 * v^(1/2.2) + 0.5), computed in double precision.
[[nodiscard]] inline std::uint8_t displayChannel(float linear) noexcept {
  const double v = linear > 0.0f ? std::min(1.0, static_cast<double>(linear)) : 0.0;
  return static_cast<std::uint8_t>(std::pow(v, 1.0 / 2.2) * 255.0 + 0.5);
}

}  // namespace orv::device::detail
