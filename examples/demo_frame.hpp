#pragma once

// The demo's per-frame path, shared by the orv-demo program and its tests: the scene (the 600-cell
// and a star field on the 3-sphere), the camera's flight, culling and sorting through orv, the
// frame graph a device would be handed, a small CPU rasteriser standing in for that device, and
// the PNG encoder.

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

#include "orv/error.hpp"
#include "orv/kernel.hpp"
#include "orv/renderer.hpp"
#include "orv/rhi.hpp"

namespace orv::demo {

using kernel::HomVec4;
using kernel::PGL4;
using renderer::OrvCamera;

// --- Scene ---------------------------------------------------------------------------------------

/// An edge between two vertices, by their indices.
struct Edge {
  std::uint32_t a;
  std::uint32_t b;
};

/// Straight pieces each edge is drawn with: the arc is sampled at this many + 1 points.
inline constexpr std::uint32_t kEdgeSegments = 32;

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

/// Everything the demo draws. The edge samples are kEdgeSegments + 1 points per edge along its
/// great-circle arc, end points included; the edge end points are the pairs (a, b) of every edge,
/// as uploaded for the device to draw geodesics through.
struct Scene {
  std::vector<HomVec4> vertices;
  std::vector<Edge> edges;
  std::vector<HomVec4> edge_samples;
  std::vector<HomVec4> edge_endpoints;
  StarField stars;
};

/// The 600-cell with its sampled edges and a star field of `star_count` points.
[[nodiscard]] Scene makeScene(std::size_t star_count, std::uint64_t seed);

/// The samples of `edges` as `Scene::edge_samples` holds them.
[[nodiscard]] std::vector<HomVec4> sampleEdges(std::span<const HomVec4> vertices,
                                               std::span<const Edge> edges);

// --- Camera --------------------------------------------------------------------------------------

/// The camera before the first frame, for an image of `width` x `height` pixels: a little off
/// (0, 0, 0, 1), looking roughly down -z, near limit 0.01 and far limit pi/2 (the largest
/// Fubini-Study distance). Its field of view and aspect are chosen so that the frustum keeps a
/// 75-degree-wide view (75 degrees tall for portrait images) with square pixels; see
/// `ScreenMapping`.
[[nodiscard]] OrvCamera startCamera(std::uint32_t width, std::uint32_t height);

/// Moves the camera by `ds` radians along its forward great circle and rebuilds its frame there:
/// forward is carried along the circle (f' = -sin(ds) p + cos(ds) f), up stays as it is.
void moveForwardKeepingFrame(OrvCamera& camera, double ds);

/// Moves the camera by `ds` radians toward its right and rebuilds its frame there; forward and up
/// are orthogonal to the plane of the move, so they stay as they are.
void moveRightKeepingFrame(OrvCamera& camera, double ds);

/// One frame of the fly-through: a short step forward and to the right.
void flyStep(OrvCamera& camera);

// --- Screen --------------------------------------------------------------------------------------

/// Where the camera's view transform puts a point on the image. With x', y', z' the first three
/// coordinates of `view_pgl4` applied to a point and F = -z', the frustum's side planes evaluate
/// to F + tan_h x', F - tan_h x', F - tan_v y' and F + tan_v y' (tan_h = tan(fov/2),
/// tan_v = tan(fov/2/aspect)) for a camera whose forward and up are orthogonal to its position, as
/// after `OrvCamera::init`. The frustum therefore keeps exactly the points with F > 0 whose
/// x' * tan_h / F and y' * tan_v / F lie in [-1, 1] (and the projection centre, where all four
/// are 0), and those two numbers, scaled to the image, are the pixel position.
struct ScreenMapping {
  PGL4 view;
  double tan_h;
  double tan_v;
  double width;
  double height;

  /// The mapping of `camera`, whose view transform must be up to date.
  [[nodiscard]] static ScreenMapping fromCamera(const OrvCamera& camera, std::uint32_t width,
                                                std::uint32_t height) noexcept;

  /// Normalised device coordinates (x to the right, y up, the frustum is [-1, 1] on both), or
  /// nothing for a point at or behind the projection centre (F <= 0).
  [[nodiscard]] std::optional<std::array<double, 2>> toNdc(const HomVec4& point) const noexcept;

  /// Pixel coordinates (x to the right from the left edge, y down from the top edge; the image
  /// covers [0, width] x [0, height]), or nothing as for `toNdc`.
  [[nodiscard]] std::optional<std::array<double, 2>> toPixel(const HomVec4& point) const noexcept;
};

// --- Frame ---------------------------------------------------------------------------------------

/// The representative of `point` that faces `observer`: `point` itself, or its negation where its
/// 4-dot product with the observer is negative. Both are one point of projective space, but only
/// this one reaches the observer by the shorter of the two geodesics (length d rather than pi - d),
/// so that the frustum test and the back-to-front order by Fubini-Study distance agree.
[[nodiscard]] HomVec4 facing(const HomVec4& observer, const HomVec4& point) noexcept;

/// A frame as the CPU rasteriser leaves it: linear RGB in [0, 1] and a Fubini-Study depth per
/// pixel, row 0 at the top.
struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<float> rgb;    ///< 3 values per pixel
  std::vector<float> depth;  ///< 1 where nothing was drawn
};

/// The stars of one frame in drawing order, back to front.
struct DrawList {
  std::vector<HomVec4> positions;  ///< facing representatives, farthest first
  std::vector<std::uint32_t> source;  ///< index of each into the star field
  std::vector<double> depth;       ///< Fubini-Study depth, 0 at the near limit, 1 at the far
  std::vector<renderer::WVisibilityClass> classes;
};

/// What one frame did.
struct FrameStats {
  std::size_t points = 0;      ///< stars in the scene
  std::uint32_t visible = 0;   ///< stars inside the frustum
  std::uint32_t passes = 0;    ///< passes of the frame graph
  double cull_ms = 0;          ///< facing and frustum culling of stars, vertices and edge samples
  double sort_ms = 0;          ///< depth sort, depths and classes
  double draw_ms = 0;          ///< recording the frame graph and rasterising
};

/// Handles of the buffers and images the frame graph refers to.
inline constexpr rhi::ImageId kColorTarget{1, 1};
inline constexpr rhi::ImageId kDepthTarget{2, 1};
inline constexpr rhi::PipelineId kGeodesicPipeline = rhi::PipelineId::orvProjective(1);
inline constexpr rhi::PipelineId kPointPipeline = rhi::PipelineId::orvProjective(2);

/// Renders frames of one scene at one size. Per frame it follows the renderer's chain: view
/// transform, frustum, facing representatives, `frustumCull`, `sortByFSDepth`, `fsDepth` and
/// `wVisibility` per visible star, buffer descriptions, a frame graph of a clear pass, a geodesic
/// pass and a point pass, then draws that frame on the CPU.
class FrameRenderer {
 public:
  /// `scene` and `resource` must outlive the renderer; the depth sort and the frame graph draw
  /// their memory from `resource`.
  FrameRenderer(const Scene& scene, std::uint32_t width, std::uint32_t height,
                std::pmr::memory_resource& resource);

  /// Renders one frame seen by `camera`, bringing its view transform up to date first. Fails only
  /// when `resource` refuses memory; what the accessors below show is then no complete frame.
  [[nodiscard]] std::expected<FrameStats, Error> render(OrvCamera& camera);

  /// The last frame's pixels.
  [[nodiscard]] const Image& image() const noexcept { return image_; }
  /// The last frame's stars in drawing order.
  [[nodiscard]] const DrawList& drawList() const noexcept { return draw_; }
  /// The last frame's graph. A graph only accumulates passes and its passes borrow this frame's
  /// arrays, so each frame records into a graph of its own.
  [[nodiscard]] const rhi::FrameGraph& frameGraph() const noexcept { return *graph_; }
  /// The last frame's buffers: view transform, edge end points, visible stars.
  [[nodiscard]] const std::array<rhi::BufferDescriptor, 3>& buffers() const noexcept {
    return buffers_;
  }

 private:
  void cullEdges(const renderer::OrvFrustum& frustum, const HomVec4& observer);
  [[nodiscard]] std::expected<void, Error> sortStars(const OrvCamera& camera);
  [[nodiscard]] std::expected<void, Error> recordFrame(const OrvCamera& camera);
  void rasterise(const OrvCamera& camera);

  const Scene& scene_;
  std::pmr::memory_resource& resource_;
  std::uint32_t frame_ = 0;

  // Culling scratch, kept across frames.
  std::vector<HomVec4> star_facing_;
  std::unique_ptr<bool[]> star_mask_;
  std::vector<HomVec4> visible_;
  std::vector<std::uint32_t> visible_source_;
  std::vector<HomVec4> vertex_facing_;
  std::unique_ptr<bool[]> vertex_mask_;
  std::vector<HomVec4> sample_facing_;
  std::unique_ptr<bool[]> sample_mask_;

  // The last frame.
  Image image_;
  DrawList draw_;
  PGL4 view_{};
  std::array<rhi::ImageId, 2> targets_{kColorTarget, kDepthTarget};
  std::array<rhi::BufferDescriptor, 3> buffers_{};
  std::vector<rhi::GpuCommand> clear_commands_;
  std::vector<rhi::GpuCommand> geodesic_commands_;
  std::vector<rhi::GpuCommand> point_commands_;
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
