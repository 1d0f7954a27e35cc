#pragma once

// The Vulkan device: the frame graphs of orv executed on a GPU through Vulkan 1.2 or newer, with
// the meaning, checks and resource rules of orv/device.hpp. The system's Vulkan loader
// (libvulkan.so.1) is opened when a device is made, so a program linked with orv::vulkan starts,
// and makes its CPU device, on machines without Vulkan.
//
// It has two paths, chosen when it is made (`DeviceOptions::exact`): the exact path, a reference
// that reproduces the CPU device, and the fast path, for drawing in real time on any GPU.
//
// How close the exact path comes to the CPU device
// ------------------------------------------------
// Clears, uploads and copies are byte for byte those of the CPU device. Fubini-Study distances
// follow the kernel's evaluation order in double precision, with an arc cosine of the shader's
// own; where the device's double arithmetic is IEEE (Mesa's software device's is) they lie within
// 4 units in the last place of the kernel's. Rasterisation is the CPU device's: the GPU rasterises
// a triangle a little larger than each primitive, and each fragment repeats the CPU device's
// coverage test, interpolation and depth in double precision. Pixels and depths are therefore the
// CPU device's, but for blended colours, which the GPU's blending rounds its own way (by 1/255 in
// 8 bits at most on Mesa's software device), and for triangles so thin (an inscribed circle of a
// hundredth of a pixel or less) that the GPU's snapping of vertex positions may miss one of their
// pixel centres. It needs double precision in shaders (shaderFloat64), which consumer GPUs run at
// a small fraction of their single-precision rate.
//
// The fast path
// -------------
// Single precision throughout, and no 64-bit arithmetic in any shader: shaderFloat64 is neither
// needed nor enabled. Positions and transforms stay doubles in their buffers; a shader reads each
// double as two 32-bit words and rounds it to a float with integer operations, after scaling the
// vector (or matrix) by the power of two that brings its largest coordinate into [1, 2): a
// projective point keeps its direction within 2^-24 of its largest coordinate (about 1.2e-7 rad),
// whatever its scale, and coordinates below 2^-126 of the largest count as 0. The view goes to the
// shaders in floats. Each vertex is put in clip space by the view's planes, x = l - r,
// y = (t - b) (l + r) / (t + b), w = l + r (for points and bands, their image position exactly so),
// and the GPU's clipper (triangles), rasteriser and depth test do the rest: a point is the GPU's
// point primitive of the pipeline's size (two triangles where the GPU's points do not reach that
// size), a line or arc the two triangles of its band, clipped to the guard band in the shader, a
// triangle itself. Depth is the Fubini-Study depth: a point's from its vertex, a fragment of a band
// or a triangle from its own point in four dimensions, found from the pixel's centre as the CPU
// device finds it, each with an arc sine of the shader's own, in single precision. Colours are
// interpolated and stored (rounded to the attachment's format) by the GPU, and the depth cue is
// evaluated in single precision. `orv_compute_fs_distance` runs in single precision too, as
// 2 asin(|a - b| / 2) of the unit vectors: within 1e-6 rad of the kernel's (measured on Mesa's
// software device over a million pairs of every kind: 4.8e-7 rad).
//
// What it gives up: pixels and depths to the byte. Measured on the device's tests and the demo's
// frame against the CPU device, at least 99% of the pixels (99.3% where blending, 99.7% of the
// demo's frame) are within 2/255; every point lands on the CPU device's pixel or a neighbouring
// one (99.5% on the same pixel), lines within a pixel; depths lie within 2e-6 rad of the CPU
// device's, so two depths further apart than that keep their order (in the tests, none 1e-6 rad
// apart changed it); an edge that falls on a pixel centre may be drawn by the other side's rule.
// Views whose planes l + r and t + b are not proportional (no view orv makes) bend the sides of
// clipped triangles a little.
//
// Frames in flight
// ----------------
// `execute` and `writeBuffer` submit their work and return before the GPU has run it; up to
// `DeviceOptions::frames_in_flight` submissions run at once, and the next waits for the oldest.
// What they read of the host (the bytes written, a graph's borrowed arrays, the bound views) is
// copied before they return, so the caller may change or free it at once.
// Reads (`readBuffer`, `readImage`) wait for everything submitted before them; `destroy` waits for
// all the work in flight; submissions run in the order made, so the same calls give the same
// images however many frames are in flight. Each frame of the ring keeps its own command buffer,
// staging buffer and views of its draws, grown to what its largest submission needed and kept, so
// a loop of frames allocates nothing. A uniform buffer keeps its bytes on the host as well:
// checking a draw's view waits for no GPU work, and each draw reads the view as it was when the
// graph was executed, from its frame's own copy, so writing the uniform for the next frame never
// reaches a frame still drawing. With one frame in flight every call waits
// for its work, as before frames were in flight. Mesa's drivers (its software device included)
// run each submission on the thread that submits it unless the environment variable
// MESA_VK_ENABLE_SUBMIT_THREAD is 1: a program that wants its host work to overlap the device's
// there sets it before making the device.
//
// Memory
// ------
// Each buffer and image has memory of its own, counted against the heap it comes from: what a
// heap no longer has room for is refused with `out_of_memory`, and an image larger than one
// allocation may hold with `limit_exceeded`, before the driver is asked. Data crosses between host
// and GPU through staging of at most 64 MiB per submission: with one frame in flight it is given
// back after any call that needed more than 1 MiB of it; with more, each frame keeps its own (so
// at most frames_in_flight times 64 MiB). So a larger `writeBuffer`, or a graph whose uploads
// together are larger, runs in several submissions; should the driver fail between them (out of
// memory while submitting, or the device lost), the earlier ones have taken effect, and the
// failure's message says so. A failure of the GPU while work ran unwaited for is reported by the
// call that next waits for it.
//
// Presenting to a window
// ----------------------
// A program that shows its frames in a window makes its device with `makeVulkanDevice`, naming in
// `DeviceOptions::instance_extensions` the extensions its window system's surfaces need (those
// SDL_Vulkan_GetInstanceExtensions lists, say), makes a surface for its window with the device's
// `instance()` (SDL_Vulkan_CreateSurface), and hands it to the device (`attachSurface`). Each
// `present(image)` then converts a colour image into the window's pixels on the GPU and copies
// them into the next image of a swapchain the device keeps for the surface (made anew when the
// window's size changes), after all the work submitted before, and queues it for display: the
// picture never passes through host memory, and present returns without waiting for it.
//
// The window shows exactly the bytes io::toDisplay makes of the same image (orv/io.hpp): each
// colour channel through the one transfer curve of io::encodeChannel, 255 * v^(1/2.2) rounded after
// clamping v to [0, 1], NaN counting as 0; rgba8_unorm values as v / 255, half floats exactly.
// The device converts through tables made on the host by that very function (a byte for each half
// float and each 8-bit value, and the least float reaching each of the 255 steps), so no value,
// NaNs, infinities and subnormals included, comes out otherwise. Alpha is not shown: the window's
// pixels are opaque. An image of another size than the window is scaled to it by nearest texel:
// the window's pixel (x, y) shows the image's texel (floor((2x + 1) W / (2w)), likewise down), W
// being the image's width and w the window's. rgba8_unorm, rgba16_float and rgba32_float images
// are shown; a surface must offer 8-bit RGBA or BGRA pixels (UNORM or SRGB: the bytes are copied as
// they are, and shown as sRGB-encoded values, as a PNG file of io::toDisplay's is marked), and
// images and windows at most 32768 pixels wide and tall. The swapchain presents in mailbox mode
// where the surface offers it (the newest frame replaces one not yet shown, and presenting never
// waits for the display), else immediately, else in the order queued (FIFO).
//
// Failures of the driver
// ----------------------
// A Vulkan call that runs out of memory fails the device's call with `out_of_memory`, and the call
// changes nothing (but for the parts above). A lost GPU gives `device_lost`, then and from every
// later call but `destroy`. A wait for submitted work that fails otherwise is made good by waiting
// for the whole GPU; should that fail too, the device counts as lost, and until it is destroyed it
// keeps everything the work may still use: `destroy` is refused then as well.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orv/device.hpp"

namespace orv::vulkan {

/// How `makeDevice` chooses and sets up its GPU.
struct DeviceOptions {
  /// Which device: a decimal index into the loader's list of devices, or part of a device's name
  /// (case-insensitive, e.g. "llvmpipe"). Empty: the environment variable ORV_VULKAN_DEVICE says,
  /// and when that is unset or empty too, the first device that can run orv, discrete GPUs before
  /// integrated, virtual and software ones.
  std::string device;
  /// Enables the Khronos validation layer (VK_LAYER_KHRONOS_validation), with its checks of
  /// synchronisation; every warning and error it reports goes to `on_validation_message`, or to
  /// stderr when that is empty.
  bool validation = false;
  /// Called with each validation message, one line, on the thread making the Vulkan call.
  std::function<void(std::string_view message)> on_validation_message;
  /// The exact path (true): every fragment repeats the CPU device's rasterisation in double
  /// precision, so pixels and depths are the CPU device's (see "How close the exact path comes to
  /// the CPU device"); it needs shaderFloat64. The fast path (false): single precision throughout, the
  /// GPU's own clipper, rasteriser and depth test (see "The fast path"); shaderFloat64 is neither
  /// needed nor enabled.
  bool exact = true;
  /// How many graphs `execute` may leave running on the GPU before it waits for the oldest, at
  /// least 1 (1: every execute waits for its graph). See "Frames in flight".
  std::uint32_t frames_in_flight = 2;
  /// Instance extensions the application needs besides orv's own, such as those of its window
  /// system's surfaces ("VK_KHR_surface", "VK_KHR_xlib_surface", ...). One the loader does not
  /// offer fails `makeDevice` with `unsupported`. With VK_KHR_surface the device is made with
  /// VK_KHR_swapchain where it offers it, and can present (see "Presenting to a window").
  std::vector<std::string> instance_extensions;
};

/// The Vulkan device with what only it does: presenting images to a window's surface.
class Device : public device::Device {
 public:
  /// The VkInstance the device was made with (as a pointer), for making surfaces with.
  [[nodiscard]] virtual void* instance() const noexcept = 0;
  /// Hands the device `surface`, a VkSurfaceKHR made with `instance()`; the device owns it from
  /// then on and destroys it with itself, or when another surface is attached. Fails with
  /// `unsupported` when the device was made without VK_KHR_surface among the instance extensions,
  /// or offers no swapchains, or its queue cannot present to the surface (the surface then stays
  /// the caller's).
  [[nodiscard]] virtual device::Result<void> attachSurface(std::uint64_t surface) = 0;
  /// Shows the colour image `image` in the attached surface's next swapchain image, converted as
  /// io::toDisplay converts it and scaled to the window's size by nearest texel (see "Presenting
  /// to a window"), after everything submitted before, and queues it for display. Fails with
  /// `invalid_handle` for an image that is not live; `invalid_command` for a depth image or one of
  /// another format than rgba8_unorm, rgba16_float and rgba32_float, none attached, or a window of
  /// no area; `unsupported` for a surface without 8-bit RGBA or BGRA pixels; `limit_exceeded` for
  /// an image or window wider or taller than 32768 pixels; and as the other calls do when the
  /// driver fails.
  [[nodiscard]] virtual device::Result<void> present(rhi::ImageId image) = 0;
};

/// A device executing frame graphs on the GPU `options` choose; `name()` is the driver's name of
/// it. Fails with `unsupported`, saying which, when there is no Vulkan loader, no device, no device
/// matching the choice, or the device lacks what orv needs (Vulkan 1.2, buffer device addresses,
/// dynamic rendering, and on the exact path double precision in shaders: the message then says to
/// make the device with `exact = false`), or when validation is asked for and the layer is not
/// installed; with `out_of_memory` when the host or the GPU runs out of memory, and
/// `device_lost` when the GPU is lost, while the device is made.
[[nodiscard]] device::Result<std::unique_ptr<device::Device>> makeDevice(
    const DeviceOptions& options = {});

/// `makeDevice(options)` as the Vulkan device it is, with its calls for presenting.
[[nodiscard]] device::Result<std::unique_ptr<Device>> makeVulkanDevice(
    const DeviceOptions& options = {});

}  // namespace orv::vulkan
