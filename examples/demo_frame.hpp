#pragma once

// The demo's per-frame path, shared by the orv-demo program and its tests: the scene (the 600-cell
// and a star field on the 3-sphere), the observer's flight, culling and sorting through orv, the
// frame graph that draws it, executed by an orv device, and the PNG encoder.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "orv/device.hpp"
#include "orv/kernel.hpp"
#include "orv/renderer.hpp"
#include "orv/rhi.hpp"

namespace orv::demo {

using kernel::HomVec4;
using renderer::Observer;

// --- Scene ---------------------------------------------------------------------------------------

/// An edge between two vertices, by their indices.
struct Edge {
  std::uint32_t a;
  std::uint32_t b;
};

/// The 120 vertices of the regular 600-cell as unit quaternions (x, y, z, w): the 8 permutations
/// of (+-1, 0, 0, 0), the 16 points (+-1/2, +-1/2, +-1/2, +-1/2) and the 96 even permutations of
/// (+-phi/2, +-1/2, +-1/(2 phi), 0).
[[nodiscard]] std::vector<HomVec4> cell600Vertices();

/// The pairs of vertices at angle pi/5, the edges of the 600-cell (720 of them for its vertices),
/// each with a < b, in lexicographic order.
[[nodiscard]] std::vector<Edge> cell600Edges(std::span<const HomVec4> vertices);

/// `count` points uniformly distributed on the 3-sphere, with a brightness in [0.25, 1] each. The
/// same seed gives the same points bit for bit with any standard library: only the raw output of
/// std::mt19937_64 is used, never a library distribution.
struct StarField {
  std::vector<HomVec4> positions;
  std::vector<float> brightness;
};
[[nodiscard]] StarField starField(std::size_t count, std::uint64_t seed);

/// Everything the demo draws. `edge_indices` holds the two vertex indices of every edge in turn,
/// the index buffer of a draw of geodesic segments.
struct Scene {
  std::vector<HomVec4> vertices;
  std::vector<Edge> edges;
  std::vector<std::uint32_t> edge_indices;
  StarField stars;
};

/// The 600-cell and a star field of `star_count` points.
[[nodiscard]] Scene makeScene(std::size_t star_count, std::uint64_t seed);

// --- Flight --------------------------------------------------------------------------------------

/// The observer before the first frame: at (0, 0, 0, 1), a vertex of the 600-cell, looking down
/// -z turned a little right and up, then moved off the vertex to the right and forward.
[[nodiscard]] Observer startObserver();

/// One frame of the fly-through: a short step forward and to the right, and a slight turn.
void flyStep(Observer& observer);

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

// --- Frame ---------------------------------------------------------------------------------------

/// A frame as it is written out: linear RGB in [0, 1], row 0 at the top.
struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<float> rgb;  ///< 3 values per pixel
};

/// The stars of one frame in drawing order, back to front.
struct DrawList {
  std::vector<HomVec4> positions;     ///< facing representatives, farthest first
  std::vector<std::uint32_t> source;  ///< index of each into the star field
  std::vector<double> depth;          ///< Fubini-Study depth, 0 at the near limit, 1 at the far
  std::vector<renderer::WVisibilityClass> classes;
};

/// What one frame did.
struct FrameStats {
  std::size_t points = 0;     ///< stars in the scene
  std::uint32_t visible = 0;  ///< stars inside the frustum
  std::uint32_t passes = 0;   ///< passes of the frame graph
  double cull_ms = 0;         ///< facing and frustum culling of the stars
  double sort_ms = 0;         ///< depth sort, depths, classes and colours
  double draw_ms = 0;         ///< recording the frame graph, executing it and reading the image
};

/// Stars nearer than this depth are drawn larger.
inline constexpr double kNearStarDepth = 0.25;

/// Renders frames of one scene at one size on one device. Per frame it follows the renderer's
/// chain: the observer's frustum, facing representatives, `frustumCull`, `sortByFSDepth`,
/// `fsDepth` and `wVisibility` per visible star, then a frame graph that uploads the positions,
/// clears the targets, draws the 600-cell's edges as geodesics with its vertices as points, and
/// the stars back to front, executed by the device.
class FrameRenderer {
 public:
  /// Creates the device resources for `scene` at `width` x `height`; the renderer destroys them.
  /// `scene`, `device` and `resource` must outlive the renderer; the depth sort and the frame graph
  /// draw their memory from `resource`.
  [[nodiscard]] static device::Result<std::unique_ptr<FrameRenderer>> create(
      const Scene& scene, device::Device& device, std::uint32_t width, std::uint32_t height,
      std::pmr::memory_resource& resource);

  FrameRenderer(const FrameRenderer&) = delete;
  FrameRenderer& operator=(const FrameRenderer&) = delete;
  ~FrameRenderer();

  /// Renders one frame seen by `observer`. Fails when `resource` refuses memory
  /// (`out_of_memory`) or the device refuses the frame; what the accessors below show is then no
  /// complete frame.
  [[nodiscard]] device::Result<FrameStats> render(const Observer& observer);

  /// The last frame's pixels.
  [[nodiscard]] const Image& image() const noexcept { return image_; }
  /// The last frame's stars in drawing order.
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
    std::array<rhi::BufferId, 2> stars{};        // far, near
    std::array<rhi::BufferId, 2> star_colors{};  // far, near
    rhi::PipelineId edges{};
    rhi::PipelineId corners{};
    std::array<rhi::PipelineId, 2> star_pipelines{};
  };

  FrameRenderer(const Scene& scene, device::Device& device, std::uint32_t width,
                std::uint32_t height, std::pmr::memory_resource& resource);

  [[nodiscard]] device::Result<void> createResources();
  [[nodiscard]] device::Result<void> sortStars(const Observer& observer);
  [[nodiscard]] device::Result<void> writeColors(const Observer& observer);
  [[nodiscard]] device::Result<void> recordFrame();
  [[nodiscard]] device::Result<void> readImage();

  const Scene& scene_;
  device::Device& device_;
  std::pmr::memory_resource& resource_;
  std::uint32_t width_;
  std::uint32_t height_;
  ViewAngles angles_;
  Resources res_{};

  // Culling scratch, kept across frames.
  std::vector<HomVec4> star_facing_;
  std::unique_ptr<bool[]> star_mask_;
  std::vector<HomVec4> visible_;
  std::vector<std::uint32_t> visible_source_;
  std::vector<double> distances_;  // of the visible stars, from the depth sort

  // The last frame.
  Image image_;
  DrawList draw_;
  std::size_t near_first_ = 0;  // first star of the draw list drawn large
  std::vector<std::array<float, 4>> star_colors_;
  std::vector<std::array<float, 4>> vertex_colors_;
  std::vector<std::array<float, 4>> corner_colors_;
  std::vector<std::uint16_t> texels_;
  device::ViewUniform view_{};
  std::array<rhi::ImageId, 2> targets_{};
  std::vector<rhi::GpuCommand> upload_commands_;
  std::vector<rhi::GpuCommand> clear_commands_;
  std::vector<rhi::GpuCommand> geodesic_commands_;
  std::vector<rhi::GpuCommand> star_commands_;
  std::optional<rhi::FrameGraph> graph_;
};

// --- Output --------------------------------------------------------------------------------------

/// The image as an 8-bit RGB PNG, gamma-encoded, written by libpng; an error message when libpng
/// refuses.
[[nodiscard]] std::expected<std::vector<unsigned char>, std::string> encodePng(const Image& image);

/// Writes `bytes` to `path` through a temporary file beside it that is renamed over `path` once
/// complete, so `path` never holds a partial file; on failure the temporary file is removed and
/// the message says what failed.
[[nodiscard]] std::expected<void, std::string> writeFileReplacing(
    const std::filesystem::path& path, std::span<const unsigned char> bytes);

}  // namespace orv::demo
