#pragma once

// The per-frame path that orv-demo and orv-view share: a scene of a figure (points joined by
// geodesic edges, drawn whole every frame) and a cloud of points (culled, sorted back to front and
// drawn by depth), rendered through orv's renderer into a frame graph that a device executes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <vector>

#include "orv/device.hpp"
#include "orv/io.hpp"
#include "orv/kernel.hpp"
#include "orv/renderer.hpp"
#include "orv/rhi.hpp"

namespace orv::frame {

using kernel::HomVec4;
using renderer::Observer;

/// What the frames show.
struct Scene {
  /// Drawn whole every frame: its edges as geodesic arcs and its positions as points, shaded by
  /// their depth; coloured by its colours, or by the style's where it has none.
  io::PointSet figure;
  /// The cloud: points culled against the view, sorted back to front and drawn by depth, the
  /// nearest larger. Coloured by their colours (their edges are not drawn), or where they have none
  /// tinted by the side of w = 0 their facing representative lies on.
  io::PointSet points;
  /// Empty, or a brightness per point of the cloud (1 where empty).
  std::vector<float> brightness;
};

/// How a scene is drawn: sizes in pixels, colours linear.
struct Style {
  float edge_width = 2.0f;   ///< the figure's edges, as bands
  float corner_size = 5.0f;  ///< the figure's positions, as squares; 0 draws none
  std::array<float, 3> edge_color{1.0f, 0.68f, 0.28f};    ///< where the figure has no colours
  std::array<float, 3> corner_color{1.0f, 0.86f, 0.62f};  ///< likewise
  std::array<float, 2> point_size{1.5f, 3.0f};  ///< the cloud's points: far, and near
  /// Full angle of view across the image, radians, in (0, pi), the vertical one from square
  /// pixels; empty: 75 degrees across the longer side of the image (`viewAngles`).
  std::optional<double> horizontal_angle;
  /// Nearer things drawn brighter, by their depth: the figure from 0.2 of its colour at the far
  /// limit to all of it at the near limit, the cloud from 0.02 to all. Without it every colour is
  /// drawn whole (times the cloud's brightness).
  bool depth_cue = true;
};

/// Full angles of view for a `width` x `height` image: 75 degrees across its longer side, the
/// other from square pixels.
struct ViewAngles {
  double horizontal;
  double vertical;
};
[[nodiscard]] ViewAngles viewAngles(std::uint32_t width, std::uint32_t height);

/// Near and far limits of depth, radians: from 0.01 to pi/2, the largest distance there is.
inline constexpr double kNear = 0.01;
inline constexpr double kFar = 1.5707963267948966;

/// Points of the cloud nearer than this depth are drawn larger.
inline constexpr double kNearPointDepth = 0.25;

/// The points of the cloud one frame draws, in drawing order: back to front.
struct DrawList {
  std::vector<HomVec4> positions;     ///< facing representatives, farthest first
  std::vector<std::uint32_t> source;  ///< index of each into the cloud
  std::vector<double> depth;          ///< Fubini-Study depth, 0 at the near limit, 1 at the far
  std::vector<renderer::WVisibilityClass> classes;
};

/// What one frame did, and the milliseconds of its stages.
struct FrameStats {
  std::size_t points = 0;            ///< points in the cloud
  std::uint32_t visible = 0;         ///< points of the cloud inside the view
  std::uint32_t figure_visible = 0;  ///< positions of the figure inside the view
  std::uint32_t passes = 0;          ///< passes of the frame graph
  double cull_ms = 0;                ///< facing and frustum culling
  double sort_ms = 0;                ///< depth sort, depths, classes and colours of the cloud
  double draw_ms = 0;                ///< the figure's colours, recording and executing the graph
  double read_ms = 0;                ///< reading the image back from the device
};

/// Renders frames of one scene at one size on one device. Per frame it follows the renderer's
/// chain: the observer's frustum, facing representatives, `frustumCull`, `sortByFSDepth`,
/// `fsDepth` and `wVisibility` per visible point, then a frame graph that uploads the cloud's
/// visible points, clears the targets, draws the figure's edges as geodesics with its positions as
/// points, and the cloud back to front, executed by the device, whose image is then read back.
class FrameRenderer {
 public:
  /// Creates the device resources for `scene` at `width` x `height`; the renderer destroys them.
  /// `scene`, `device` and `resource` must outlive the renderer; the depth sort and the frame graph
  /// draw their memory from `resource`. The scene must hold together (`io::check` of both sets,
  /// and no brightness or one per point).
  [[nodiscard]] static device::Result<std::unique_ptr<FrameRenderer>> create(
      const Scene& scene, device::Device& device, std::uint32_t width, std::uint32_t height,
      std::pmr::memory_resource& resource, const Style& style = {});

  FrameRenderer(const FrameRenderer&) = delete;
  FrameRenderer& operator=(const FrameRenderer&) = delete;
  ~FrameRenderer();

  /// Renders one frame seen by `observer`. Fails when `resource` refuses memory
  /// (`out_of_memory`) or the device refuses the frame; what the accessors below show is then no
  /// complete frame.
  [[nodiscard]] device::Result<FrameStats> render(const Observer& observer);

  /// The last frame's picture as the device made it: rgba16_float texels, linear.
  [[nodiscard]] io::ImageView image() const noexcept {
    return {width_, height_, rhi::Format::rgba16_float, std::as_bytes(std::span(texels_))};
  }
  /// The last frame's points of the cloud in drawing order.
  [[nodiscard]] const DrawList& drawList() const noexcept { return draw_; }
  /// The last frame's graph. A graph only accumulates passes and its passes borrow this frame's
  /// arrays, so each frame records into a graph of its own.
  [[nodiscard]] const rhi::FrameGraph& frameGraph() const noexcept { return *graph_; }
  /// The view the last frame was drawn with.
  [[nodiscard]] const device::ViewUniform& view() const noexcept { return view_; }

 private:
  struct Resources {
    rhi::ImageId color{};
    rhi::ImageId depth{};
    rhi::BufferId view{};
    rhi::BufferId vertices{};
    rhi::BufferId vertex_colors{};
    rhi::BufferId corner_colors{};
    rhi::BufferId edge_indices{};
    std::array<rhi::BufferId, 2> points{};        // far, near
    std::array<rhi::BufferId, 2> point_colors{};  // far, near
    rhi::PipelineId edges{};
    rhi::PipelineId corners{};
    std::array<rhi::PipelineId, 2> point_pipelines{};
  };

  FrameRenderer(const Scene& scene, device::Device& device, std::uint32_t width,
                std::uint32_t height, std::pmr::memory_resource& resource, const Style& style);

  [[nodiscard]] device::Result<void> createResources();
  [[nodiscard]] device::Result<void> sortPoints(const Observer& observer);
  [[nodiscard]] device::Result<void> writeColors(const Observer& observer);
  [[nodiscard]] device::Result<void> recordFrame();

  const Scene& scene_;
  device::Device& device_;
  std::pmr::memory_resource& resource_;
  std::uint32_t width_;
  std::uint32_t height_;
  Style style_;
  ViewAngles angles_;
  Resources res_{};
  std::vector<std::uint32_t> edge_indices_;  // the two ends of every edge of the figure in turn

  // Culling scratch, kept across frames.
  std::vector<HomVec4> facing_;
  std::unique_ptr<bool[]> mask_;  // as long as the cloud or the figure, whichever is longer
  std::vector<HomVec4> visible_;
  std::vector<std::uint32_t> visible_source_;
  std::vector<double> distances_;  // of the visible points, from the depth sort

  // The last frame.
  std::vector<std::uint16_t> texels_;
  DrawList draw_;
  std::size_t near_first_ = 0;  // first point of the draw list drawn large
  std::vector<std::array<float, 4>> point_colors_;
  std::vector<std::array<float, 4>> vertex_colors_;
  std::vector<std::array<float, 4>> corner_colors_;
  device::ViewUniform view_{};
  std::array<rhi::ImageId, 2> targets_{};
  std::vector<rhi::GpuCommand> upload_commands_;
  std::vector<rhi::GpuCommand> clear_commands_;
  std::vector<rhi::GpuCommand> figure_commands_;
  std::vector<rhi::GpuCommand> point_commands_;
  std::optional<rhi::FrameGraph> graph_;
};

/// The device `name` names, "cpu" or "vulkan" (where this build has the Vulkan device; the
/// environment variable ORV_VULKAN_DEVICE picks one of several), or one line saying why there is
/// none.
[[nodiscard]] std::expected<std::unique_ptr<device::Device>, std::string> openDevice(
    const std::string& name);

}  // namespace orv::frame
