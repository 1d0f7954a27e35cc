#pragma once

// The renderer's instruction-set and size paths, for the tests and benchmarks that compare them. Not
// part of the installed interface: the library itself always runs the path the machine and the
// input call for.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <span>
#include <vector>

#include "orv/renderer.hpp"

namespace orv::renderer {

/// Instruction-set paths of `frustumCull` and `projectiveClip`. Every path gives bit-identical
/// masks and counts, since each SIMD lane does exactly the scalar operations in the scalar order.
enum class BatchPath : std::uint8_t {
  baseline = 0,  ///< portable code, always available
  avx2 = 1,      ///< four points per 256-bit register (x86-64 with AVX2)
  avx512 = 2,    ///< eight points per 512-bit register (x86-64 with AVX-512F and BMI2)
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

/// `visibleIndices` on a chosen path; `visible` may be empty (then only indices are written).
[[nodiscard]] std::uint32_t visibleIndicesOn(BatchPath path, const OrvFrustum& frustum,
                                             std::span<const HomVec4> points,
                                             std::span<std::uint32_t> indices,
                                             std::span<HomVec4> visible) noexcept;

/// `sortByFSDepth` on the path taken for 2^32 points or more (a comparison sort on distance, then
/// index), which tests compare with the path of smaller counts.
[[nodiscard]] std::expected<std::pmr::vector<std::size_t>, Error> sortByFSDepthByComparison(
    std::pmr::memory_resource& resource, const HomVec4& observer,
    std::span<const HomVec4> positions, std::span<double> distances);
}  // namespace detail

}  // namespace orv::renderer
