#pragma once

// Pipelines and shaders of the Vulkan device, for its two paths. The exact path's shaders
// (raster.vert, raster.frag, fs_distance.comp) repeat the CPU device's arithmetic in double
// precision; the fast path's (fast.vert, fast.frag, fs_distance_fast.comp) work in single
// precision and leave clipping, rasterisation and the depth test to the GPU. Both share the
// pipeline state but for their shaders and the topology. Internal to orv_vulkan.

#include <array>
#include <cstddef>
#include <cstdint>

#include "api.hpp"
#include "context.hpp"
#include "orv/device.hpp"
#include "orv/rhi.hpp"

namespace orv::vulkan::detail {

inline constexpr std::uint32_t kMaxColorAttachments = 8;

/// What a raster pipeline draws: the specialisation constant kKind of the shaders. kPointQuads
/// (fast path only) draws points as two triangles each, for sizes the GPU's points do not reach.
enum Kind : std::uint32_t { kPoints = 0, kLines = 1, kGeodesics = 2, kTriangles = 3, kPointQuads = 4 };
inline constexpr std::size_t kKinds = 5;

/// The bits of the draws' flags (shaders/raster.glsl, shaders/fast.glsl).
inline constexpr std::uint32_t kStrip = 4;
inline constexpr std::uint32_t kIndexed = 8;
inline constexpr std::uint32_t kTransformed = 16;
inline constexpr std::uint32_t kColored = 32;
inline constexpr std::uint32_t kStoreUnorm8 = 64;
inline constexpr std::uint32_t kStoreHalf = 128;

/// Push constants of the exact path's raster shaders: the block `Draw` of shaders/raster.glsl.
struct DrawConstants {
  VkDeviceAddress view;
  VkDeviceAddress positions;
  VkDeviceAddress indices;
  VkDeviceAddress transforms;
  VkDeviceAddress colors;
  std::uint32_t position_count;
  std::uint32_t flags;
  std::uint32_t first_primitive;
  std::uint32_t width;
  std::uint32_t height;
  float point_size;
  float line_width;
  std::uint32_t padding[3];
  std::array<float, 4> color;
};
static_assert(sizeof(DrawConstants) == 96 && offsetof(DrawConstants, color) == 80);

/// Push constants of the fast path's raster shaders: the block `Draw` of shaders/fast.glsl. The
/// view is not among them: it is a uniform buffer (binding 0 of set 0, see viewSetLayout).
struct FastConstants {
  VkDeviceAddress positions;
  VkDeviceAddress indices;
  VkDeviceAddress transforms;
  VkDeviceAddress colors;
  std::uint32_t position_count;
  std::uint32_t flags;
  std::uint32_t first_primitive;
  std::uint32_t padding;
  std::array<float, 4> color;
};
static_assert(sizeof(FastConstants) == 64 && offsetof(FastConstants, color) == 48);

/// The view as the fast path's shaders read it, in single precision: the uniform block FastView
/// of shaders/fast.glsl.
struct FastView {
  std::array<std::array<float, 4>, 4> planes;  ///< l, r, t, b, scaled alike by a power of two
  std::array<float, 4> observer;               ///< of unit length
  float near_fs;
  float far_fs;
  float width;
  float height;
  float guard_x;  ///< the guard band's share k across the image (see orv/device.hpp)
  float guard_y;  ///< and k' down it
  float point_size;
  float line_width;
  float y_scale;  ///< (l + r) / (t + b) as functions of the point, where they are proportional
  float padding[3];

  /// The view of `view` for a pipeline of `desc`.
  [[nodiscard]] static FastView of(const device::ViewUniform& view,
                                   const rhi::GraphicsPipelineDescriptor& desc) noexcept;
};
static_assert(sizeof(FastView) == 128);

/// Push constants of the distance shaders: the block `Dispatch` of shaders/fs_distance.comp.
struct DistanceConstants {
  VkDeviceAddress a;
  VkDeviceAddress b;
  VkDeviceAddress results;
  std::uint32_t first;
  std::uint32_t count;
};
static_assert(sizeof(DistanceConstants) == 32);
inline constexpr std::uint32_t kDistanceGroup = 64;  // local_size_x of the distance shaders

/// The shader modules, layouts and the distance pipeline of one path, and the raster pipelines
/// made from them.
class Pipelines {
 public:
  Pipelines(const Context& context, bool exact) noexcept
      : context_(context), vk_(context.api), device_(context.device), exact_(exact) {}
  Pipelines(const Pipelines&) = delete;
  Pipelines& operator=(const Pipelines&) = delete;
  ~Pipelines();

  /// Makes the modules, the layouts and the distance pipeline.
  [[nodiscard]] device::Result<void> init();

  [[nodiscard]] bool exact() const noexcept { return exact_; }
  [[nodiscard]] VkPipelineLayout rasterLayout() const noexcept { return raster_layout_; }
  /// On the fast path, the layout of the descriptor set of the raster shaders' view: one uniform
  /// buffer with a dynamic offset, a FastView (shaders read a uniform at less cost than memory
  /// through an address, which a software device reads lane by lane); VK_NULL_HANDLE on the exact
  /// path, whose shaders read their view through its address.
  [[nodiscard]] VkDescriptorSetLayout viewSetLayout() const noexcept { return view_set_layout_; }
  [[nodiscard]] VkPipelineLayout distanceLayout() const noexcept { return distance_layout_; }
  [[nodiscard]] VkPipeline distancePipeline() const noexcept { return distance_pipeline_; }
  /// The bytes of the raster shaders' push constants.
  [[nodiscard]] std::uint32_t rasterConstantsSize() const noexcept {
    return exact_ ? sizeof(DrawConstants) : sizeof(FastConstants);
  }

  /// What a pipeline of `desc` draws with `topology`'s primitives on this path.
  [[nodiscard]] Kind kindOf(const rhi::GraphicsPipelineDescriptor& desc,
                            rhi::PrimitiveTopology topology) const noexcept;
  /// Vertices the raster vertex shader spends on one primitive of `kind`.
  [[nodiscard]] std::uint32_t verticesPerPrimitive(Kind kind) const noexcept;

  /// A raster pipeline for `desc` with `options` drawing primitives of `kind` in render passes of
  /// `colors` colour attachments; on the fast path for draws `moved` by transforms, or for draws
  /// without, whose shaders leave out reading transforms (the exact path's read them where given).
  [[nodiscard]] device::Result<VkPipeline> make(const rhi::GraphicsPipelineDescriptor& desc,
                                                const device::PipelineOptions& options,
                                                std::uint32_t colors, Kind kind, bool moved);
  void destroy(VkPipeline pipeline) noexcept;

 private:
  const Context& context_;
  const Api& vk_;
  VkDevice device_;
  bool exact_;
  // The vertex shader; the fragment shaders for 0 to 8 colour attachments (on the fast path, of
  // points and then of the primitives with a depth per fragment); on the fast path the vertex
  // shader of points; the distance shader.
  std::array<VkShaderModule, 21> modules_{};
  VkDescriptorSetLayout view_set_layout_ = VK_NULL_HANDLE;
  VkPipelineLayout raster_layout_ = VK_NULL_HANDLE;
  VkPipelineLayout distance_layout_ = VK_NULL_HANDLE;
  VkPipeline distance_pipeline_ = VK_NULL_HANDLE;
};

}  // namespace orv::vulkan::detail
