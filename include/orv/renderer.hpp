#pragma once

// The renderer: camera, frustum, depth and the batch paths over point sets in elliptic space.

#include "orv/error.hpp"
#include "orv/kernel.hpp"
#include "orv/rhi.hpp"

namespace orv::renderer {}  // namespace orv::renderer
