#pragma once

// The renderer's instruction-set paths, for the tests and benchmarks that compare them. Not part of
// the installed interface: the library itself always runs the best path the machine supports.

#include <cstdint>
#include <span>

#include "orv/renderer.hpp"

namespace orv::renderer {

/// Instruction-set paths of `frustumCull` and `projectiveClip`. Every path gives bit-identical
/// masks and counts, since each SIMD lane does exactly the scalar operations in the scalar order.
enum class BatchPath : std::uint8_t {
  baseline = 0,  ///< portable code, always available
  avx2 = 1,      ///< four points per 256-bit register (x86-64 with AVX2)
};

/// Whether this machine (and this build) can run `path`.
[[nodiscard]] bool isSupported(BatchPath path) noexcept;

namespace detail {
/// `frustumCull` and `projectiveClip` on a chosen path. `path` must be supported; an unsupported
/// one runs the baseline.
[[nodiscard]] std::uint32_t frustumCullOn(BatchPath path, const OrvFrustum& frustum,
                                          std::span<const HomVec4> positions,
                                          std::span<bool> visible_mask) noexcept;
[[nodiscard]] std::uint32_t projectiveClipOn(BatchPath path, const ProjectiveHyperplane& plane,
                                             std::span<const HomVec4> positions,
                                             std::span<bool> visible_mask) noexcept;
}  // namespace detail

}  // namespace orv::renderer
