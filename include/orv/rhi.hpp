#pragma once

// The render hardware interface data model: what a renderer hands a graphics device, described as
// plain values. Nothing here talks to a device.

#include "orv/error.hpp"
#include "orv/kernel.hpp"

namespace orv::rhi {}  // namespace orv::rhi
