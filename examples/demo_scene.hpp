#pragma once

// The demo's scene and flight, shared by the orv-demo program, its tests and orv-view: the
// 600-cell and a star field on the 3-sphere, and the observer that flies through them.

#include <cstddef>
#include <cstdint>

#include "frame_renderer.hpp"
#include "orv/renderer.hpp"

namespace orv::demo {

using renderer::Observer;

/// The 600-cell (`io::cell600`) as the figure and `star_count` stars (`io::randomStars`) as the
/// cloud, each with its brightness.
[[nodiscard]] frame::Scene makeScene(std::size_t star_count, std::uint64_t seed);

/// The observer before the first frame: at (0, 0, 0, 1), a vertex of the 600-cell, looking down
/// -z turned a little right and up, then moved off the vertex to the right and forward.
[[nodiscard]] Observer startObserver();

/// One frame of the fly-through: a short step forward and to the right, and a slight turn.
void flyStep(Observer& observer);

}  // namespace orv::demo
