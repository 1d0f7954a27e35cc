#pragma once

// The per-frame path that orv-demo and orv-view share: a scene of a figure (points joined by
// geodesic edges, drawn whole every frame) and a cloud of points, rendered through orv's renderer
// into a frame graph that a device executes. Everything that does not change between frames is
// uploaded once: the cloud is kept on the device grouped in cells of the 3-sphere, each frame hands
// the device the cells that may be in view and the device's depth test and depth cue do the rest,
// so that a frame costs what is visible rather than what was uploaded.

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
  /// The cloud: points drawn where they are in view, the nearer in front (by the depth test), the
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
  /// Nearer things drawn brighter, by the depth of each fragment (the pipelines' depth cue): the
  /// figure from 0.2 of its colour at the far limit to all of it at the near limit, the cloud from
  /// 0.02 to all. Without it every colour is drawn whole (times the cloud's brightness).
  bool depth_cue = true;
};

/// Full angles of view for a `width` x `height` image: 75 degrees across its longer side, the
/// other from square pixels.
struct ViewAngles {
  double horizontal;
  double vertical;
};
[[nodiscard]] ViewAngles viewAngles(std::uint32_t width, std::uint32_t height);

/// The tint of the cloud's points that have no colours, by the side of w = 0 their facing
/// representative lies on.
[[nodiscard]] const std::array<float, 3>& pointTint(renderer::WVisibilityClass side) noexcept;

/// Near and far limits of depth, radians: from 0.01 to pi/2, the largest distance there is.
inline constexpr double kNear = 0.01;
inline constexpr double kFar = 1.5707963267948966;

/// Points of the cloud nearer than this depth are drawn larger.
inline constexpr double kNearPointDepth = 0.25;

/// The points of the cloud inside the view of a frame, back to front (`FrameRenderer::drawList`).
struct DrawList {
  std::vector<HomVec4> positions;     ///< facing representatives, farthest first
  std::vector<std::uint32_t> source;  ///< index of each into the cloud
  std::vector<double> depth;          ///< Fubini-Study depth, 0 at the near limit, 1 at the far
  std::vector<renderer::WVisibilityClass> classes;
};

/// What one frame did, and the milliseconds of its stages.
struct FrameStats {
  std::size_t points = 0;  ///< points in the cloud
  /// Points of the cloud handed to the device: those of the cells that may be in view, of which
  /// the device draws the ones inside it (`drawList` has exactly those).
  std::uint32_t visible = 0;
  std::uint32_t figure_visible = 0;  ///< positions of the figure inside the view
  std::uint32_t passes = 0;          ///< passes of the frame graph
  std::uint32_t cells = 0;           ///< cells of the cloud that may be in view
  double cull_ms = 0;                ///< the view, the figure's culling and the cells' tests
  double sort_ms = 0;                ///< nothing is sorted any more: always 0
  double upload_ms = 0;              ///< writing the view and the cloud's draw lists
  double draw_ms = 0;                ///< executing the frame graph
  double read_ms = 0;                ///< reading the image back from the device
};

/// Renders frames of one scene at one size on one device. Made, it uploads the figure and the
/// cloud (grouped in cells of the 3-sphere, each with a cap that holds its points), their colours
/// and the edges, makes depth-cued pipelines and records the frame graph once: a pass that clears
/// the targets, one that draws the figure's edges as geodesics with its positions as points, and
/// one that draws the cloud through four index lists (far and near points, in the tints of either
/// side of the observer). Per frame it writes the observer's view, tests the cells' caps against
/// the view, writes the indices of the points of the cells that may be in view (deciding point by
/// point only in cells that reach the near depth or the hyperplane orthogonal to the observer),
/// executes the graph and reads the image back. Once the first frame has run, a frame allocates
/// nothing.
class FrameRenderer {
 public:
  /// Creates the device resources for `scene` at `width` x `height`; the renderer destroys them.
  /// `scene`, `device` and `resource` must outlive the renderer; the frame graph and `drawList`'s
  /// depth sort draw their memory from `resource`. The scene must hold together (`io::check` of both sets,
  /// and no brightness or one per point).
  [[nodiscard]] static device::Result<std::unique_ptr<FrameRenderer>> create(
      const Scene& scene, device::Device& device, std::uint32_t width, std::uint32_t height,
      std::pmr::memory_resource& resource, const Style& style = {});

  FrameRenderer(const FrameRenderer&) = delete;
  FrameRenderer& operator=(const FrameRenderer&) = delete;
  ~FrameRenderer();

  /// Renders one frame seen by `observer`, and with `read_back` reads its image back. Fails when
  /// `resource` refuses memory (`out_of_memory`) or the device refuses the frame; what the
  /// accessors below show is then no complete frame.
  [[nodiscard]] device::Result<FrameStats> render(const Observer& observer, bool read_back = true);
  /// Reads the last frame's image back, for a frame rendered without.
  [[nodiscard]] device::Result<void> readBack();

  /// The last frame's picture as the device made it and it was last read back: rgba16_float
  /// texels, linear.
  [[nodiscard]] io::ImageView image() const noexcept {
    return {width_, height_, rhi::Format::rgba16_float, std::as_bytes(std::span(texels_))};
  }
  /// The device's image of the frame, which a window may be shown straight from.
  [[nodiscard]] rhi::ImageId colorImage() const noexcept { return res_.color; }
  /// The last frame's points of the cloud inside its view, farthest first: facing
  /// representatives through `frustumCull`, `sortByFSDepth`, `fsDepth` and `wVisibility`. Not part
  /// of drawing a frame: worked out when first asked for after a frame (empty when `resource`
  /// refuses memory).
  [[nodiscard]] const DrawList& drawList() const;
  /// The frame graph, recorded once: executing it again draws the last frame again.
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
    rhi::BufferId points{};                       // the cloud, cell by cell
    std::array<rhi::BufferId, 2> point_colors{};  // tints facing as uploaded, and negated
    std::array<rhi::BufferId, 4> point_lists{};   // far, near (each in either tint)
    rhi::PipelineId edges{};
    rhi::PipelineId corners{};
    std::array<rhi::PipelineId, 2> point_pipelines{};  // far, near
  };

  // A cell of the cloud: its points are `cell_points_` [first, end), every one within `radius`
  // (radians) of `centre` (unit length, on the side of each of them). A group of cells is a Cell
  // whose [first, end) index `cells_`.
  struct Cell {
    HomVec4 centre;
    double reach;  // 2 sin(radius / 2): how far a point of the cap lies from its centre
    double radius;
    double near_cos;  // beyond this cosine of the distance from the observer none of it is near
    std::uint32_t first;
    std::uint32_t end;
  };

  FrameRenderer(const Scene& scene, device::Device& device, std::uint32_t width,
                std::uint32_t height, std::pmr::memory_resource& resource, const Style& style);

  void buildCells();
  // The cell of `cell_points_` [first, end): its centre and the cap that holds them.
  [[nodiscard]] Cell makeCell(std::uint32_t first, std::uint32_t end) const;
  [[nodiscard]] device::Result<void> createResources();
  [[nodiscard]] device::Result<void> recordFrame();
  // The draw lists of `frustum`'s view; returns how many points they hold.
  std::uint32_t listPoints(const renderer::OrvFrustum& frustum, FrameStats& stats);

  const Scene& scene_;
  device::Device& device_;
  std::pmr::memory_resource& resource_;
  std::uint32_t width_;
  std::uint32_t height_;
  Style style_;
  ViewAngles angles_;
  Resources res_{};
  std::vector<std::uint32_t> edge_indices_;  // the two ends of every edge of the figure in turn

  // The cloud as uploaded: cell by cell, each point the representative on its cell's side.
  std::vector<Cell> cells_;
  std::vector<Cell> groups_;  // eight cells each, tested first
  std::vector<HomVec4> cell_points_;
  std::vector<std::uint32_t> cell_source_;  // index into the scene's cloud of each

  // Per frame, kept across frames.
  std::array<std::vector<std::uint32_t>, 4> lists_;  // far, near; each as uploaded, and negated
  std::unique_ptr<HomVec4[]> facing_;  // the figure's positions facing the view
  std::unique_ptr<bool[]> mask_;
  renderer::Observer observer_{};

  // The last frame.
  std::vector<std::uint16_t> texels_;
  mutable std::optional<DrawList> draw_;  // worked out when asked for
  device::ViewUniform view_{};
  std::array<rhi::ImageId, 2> targets_{};
  std::vector<rhi::GpuCommand> clear_commands_;
  std::vector<rhi::GpuCommand> figure_commands_;
  std::vector<rhi::GpuCommand> point_commands_;
  std::array<std::size_t, 4> list_draws_{};  // where each list's draw is in point_commands_
  std::optional<rhi::FrameGraph> graph_;
};

/// The device `name` names, "cpu" or "vulkan" (where this build has the Vulkan device; the
/// environment variable ORV_VULKAN_DEVICE picks one of several), or one line saying why there is
/// none. `exact` picks the Vulkan device's path: exact (the CPU device's pixels) or fast (single
/// precision, within a pixel of them).
[[nodiscard]] std::expected<std::unique_ptr<device::Device>, std::string> openDevice(
    const std::string& name, bool exact = true);

}  // namespace orv::frame
