#pragma once

// The Vulkan device: the frame graphs of orv executed on a GPU through Vulkan 1.2 or newer, with
// the meaning, checks and resource rules of orv/device.hpp. The system's Vulkan loader
// (libvulkan.so.1) is opened when a device is made, so a program linked with orv::vulkan starts,
// and makes its CPU device, on machines without Vulkan.
//
// How close it comes to the CPU device
// ------------------------------------
// Clears, uploads and copies are byte for byte those of the CPU device. Fubini-Study distances
// follow the kernel's evaluation order in double precision, with an arc cosine of the shader's
// own; where the device's double arithmetic is IEEE (Mesa's software device's is) they lie within
// 4 units in the last place of the kernel's. Rasterisation is the CPU device's: the GPU rasterises
// a triangle a little larger than each primitive, and each fragment repeats the CPU device's
// coverage test, interpolation and depth in double precision. Pixels and depths are therefore the
// CPU device's, but for blended colours, which the GPU's blending rounds its own way (by 1/255 in
// 8 bits at most on Mesa's software device), and for triangles so thin (an inscribed circle of a
// hundredth of a pixel or less) that the GPU's snapping of vertex positions may miss one of their
// pixel centres.
//
// Memory
// ------
// Each buffer and image has memory of its own, counted against the heap it comes from: what a
// heap no longer has room for is refused with `out_of_memory`, and an image larger than one
// allocation may hold with `limit_exceeded`, before the driver is asked. Data crosses between host
// and GPU through a staging buffer of at most 64 MiB, given back after any call that needed more
// than 1 MiB of it. So a larger `writeBuffer`, or a graph whose uploads together are larger, runs
// in several submissions; should the driver fail between them (out of memory while submitting, or
// the device lost), the earlier ones have taken effect, and the failure's message says so.
//
// Failures of the driver
// ----------------------
// A Vulkan call that runs out of memory fails the device's call with `out_of_memory`, and the call
// changes nothing (but for the parts above). A lost GPU gives `device_lost`, then and from every
// later call but `destroy`. A wait for submitted work that fails otherwise is made good by waiting
// for the whole GPU; should that fail too, the device counts as lost, and until it is destroyed it
// keeps everything the work may still use: `destroy` is refused then as well.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "orv/device.hpp"

namespace orv::vulkan {

/// How `makeDevice` chooses and sets up its GPU.
struct DeviceOptions {
  /// Which device: a decimal index into the loader's list of devices, or part of a device's name
  /// (case-insensitive, e.g. "llvmpipe"). Empty: the environment variable ORV_VULKAN_DEVICE says,
  /// and when that is unset or empty too, the first device that can run orv, discrete GPUs before
  /// integrated, virtual and software ones.
  std::string device;
  /// Enables the Khronos validation layer (VK_LAYER_KHRONOS_validation); every warning and error
  /// it reports goes to `on_validation_message`, or to stderr when that is empty.
  bool validation = false;
  /// Called with each validation message, one line, on the thread making the Vulkan call.
  std::function<void(std::string_view message)> on_validation_message;
  /// The exact path (true): every fragment repeats the CPU device's rasterisation in double
  /// precision, so pixels and depths are the CPU device's (see "How close it comes to the CPU
  /// device"); it needs shaderFloat64. The fast path (false): single precision throughout, the
  /// GPU's own clipper, rasteriser and depth test (see "The fast path"); shaderFloat64 is neither
  /// needed nor enabled.
  bool exact = true;
  /// How many graphs `execute` may leave running on the GPU before it waits for the oldest, at
  /// least 1 (1: every execute waits for its graph). See "Frames in flight".
  std::uint32_t frames_in_flight = 2;
};

/// A device executing frame graphs on the GPU `options` choose; `name()` is the driver's name of
/// it. Fails with `unsupported`, saying which, when there is no Vulkan loader, no device, no device
/// matching the choice, or the device lacks what orv needs (Vulkan 1.2, double precision in
/// shaders, buffer device addresses, dynamic rendering), or when validation is asked for and the
/// layer is not installed; with `out_of_memory` when the host or the GPU runs out of memory, and
/// `device_lost` when the GPU is lost, while the device is made.
[[nodiscard]] device::Result<std::unique_ptr<device::Device>> makeDevice(
    const DeviceOptions& options = {});

}  // namespace orv::vulkan
