#pragma once

// The CPU device's rasteriser: projective points, lines, geodesic arcs and triangles seen through a
// `ViewUniform`, depth-tested with Fubini-Study depth, written into the attachments of a render
// pass. The rules are those stated in orv/device.hpp.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "orv/device.hpp"
#include "orv/kernel.hpp"
#include "orv/renderer.hpp"
#include "orv/rhi.hpp"

namespace orv::device::detail {

/// Four single-precision channels.
using Rgba = std::array<float, 4>;

/// One colour attachment: its texels in its format, row-major, rows packed.
struct ColorAttachment {
  std::byte* texels;
  rhi::Format format;
};

/// Where a render pass draws.
struct RenderTarget {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::span<const ColorAttachment> colors;
  float* depth = nullptr;  ///< null when the render pass has no depth attachment
};

/// Stores `color` at texel `index` of an image of `format`.
void storeColor(std::byte* texels, rhi::Format format, std::size_t index, const Rgba& color) noexcept;
/// The colour at texel `index` of an image of `format`.
[[nodiscard]] Rgba loadColor(const std::byte* texels, rhi::Format format, std::size_t index) noexcept;

/// `color` darkened by `cue` at `depth`, as "Depth cueing" in orv/device.hpp says; `color` itself
/// when the cue is disabled.
[[nodiscard]] Rgba depthCued(const DepthCue& cue, float depth, const Rgba& color) noexcept;

/// The IEEE binary16 nearest to `value` (ties to even); `device::halfToFloat` goes back.
[[nodiscard]] std::uint16_t floatToHalf(float value) noexcept;

/// Where a rasteriser keeps the points of a draw until it draws them, tile by tile of the image:
/// kept by the device from draw to draw, so that its memory is reused.
struct PointQueue {
  /// A point's depth, the pixels its square covers, [x0, x1) x [y0, y1), and its colour.
  struct Record {
    float depth;
    std::uint32_t x0, x1, y0, y1;
    Rgba color;
  };
  /// The points gathered and their colours, the first `gathered` of `capacity` places of each.
  std::vector<kernel::HomVec4> positions;
  std::vector<Rgba> colors;
  std::size_t gathered = 0;
  std::size_t capacity = 0;  // places in `positions`, `colors` and `records` alike
  std::vector<Record> records;  // the records of the gathered points that are drawn, in order
  std::vector<Record> binned;  // the records, tile by tile, each tile's in draw order
  std::vector<std::uint32_t> starts;  // where each tile's records start in `binned`, then the end
};

/// Draws primitives of one pipeline through one view into one render target.
class Rasteriser {
 public:
  /// With `queue`, points are gathered and drawn by `flush` (or before any other primitive).
  Rasteriser(const RenderTarget& target, const ViewUniform& view,
             const rhi::GraphicsPipelineDescriptor& pipeline, const PipelineOptions& options = {},
             PointQueue* queue = nullptr) noexcept;

  /// A point at `position` (any representative), in `color`. Drawn at once, or with a queue
  /// gathered and drawn by `flush`: the pixels come out as drawing each at once gives them.
  void point(const kernel::HomVec4& position, const Rgba& color) noexcept {
    if (queue_ != nullptr && queue_->gathered < queue_->capacity) {
      queue_->positions[queue_->gathered] = position;
      queue_->colors[queue_->gathered] = color;
      ++queue_->gathered;
      return;
    }
    pointWithoutRoom(position, color);
  }
  /// Draws the points gathered so far: tile by tile of the image, in their order within each tile,
  /// so that every pixel sees its fragments in the order the points came.
  void flush() noexcept;
  /// The segment between the representatives of `a` and `b` facing the view.
  void line(const kernel::HomVec4& a, const Rgba& color_a, const kernel::HomVec4& b,
            const Rgba& color_b) noexcept;
  /// The shortest great-circle arc between `a` and `b` (for ends pi/2 apart, the one between their
  /// representatives facing the view), split where it crosses the hyperplane orthogonal to the
  /// observer so that each piece is drawn facing it.
  void geodesic(const kernel::HomVec4& a, const Rgba& color_a, const kernel::HomVec4& b,
                const Rgba& color_b) noexcept;
  /// The triangle spanned by the representatives of `a`, `b` and `c` facing the view.
  void triangle(const kernel::HomVec4& a, const Rgba& color_a, const kernel::HomVec4& b,
                const Rgba& color_b, const kernel::HomVec4& c, const Rgba& color_c) noexcept;

  /// A vertex after facing: its point, its four plane values and its colour.
  struct Vertex {
    kernel::HomVec4 q;
    std::array<double, 4> planes;  // left, right, top, bottom
    Rgba color;
  };

  /// What the pixels of a band are shaded by: its ends' points and colours, where they land and
  /// their weights of perspective-correct interpolation, and the segment between them on the image
  /// (dx, dy) with its length squared.
  struct BandShading {
    kernel::HomVec4 q0, q1;
    Rgba c0, c1;
    double x0, y0, inv_w0, inv_w1;
    double dx, dy, length_sq;
  };

 private:
  [[nodiscard]] Vertex vertex(const kernel::HomVec4& facing_point, const Rgba& color) const noexcept;
  /// The representative of `p` the view sees (`renderer::facing` with the view's planes).
  [[nodiscard]] kernel::HomVec4 facing(const kernel::HomVec4& p) const noexcept;
  /// The values at the ends of an arc of the linear function whose sign picks the representative
  /// facing the view: the 4-dot product with the observer, or for an arc lying in the hyperplane
  /// orthogonal to the observer the first of l + r, t + b, l, t that is not zero at both ends.
  [[nodiscard]] std::array<double, 2> sides(const kernel::HomVec4& a,
                                            const kernel::HomVec4& b) const noexcept;
  /// The plane values l, r, t, b of the view widened by the guard band: l + k r, r + k l,
  /// t + k' b, b + k' t.
  [[nodiscard]] std::array<double, 4> guarded(const std::array<double, 4>& planes) const noexcept;
  void segment(const Vertex& a, const Vertex& b) noexcept;
  /// Stores the fragments of a band at the `count` (at most 4) pixels (x[k], y[k]), in order: each
  /// the point and colour at the pixel centre's place along the segment, at its depth.
  void bandFragments(const BandShading& band, const std::array<std::size_t, 4>& x,
                     const std::array<std::size_t, 4>& y, std::size_t count) noexcept;
  /// The depth a fragment at `q` stores: float(renderer::fsDepth(observer, q, near, far)), exactly.
  [[nodiscard]] float pointDepth(const kernel::HomVec4& q) const noexcept;
  /// `pointDepth` of `count` points, several at a time where the processor allows.
  void pointDepths(const kernel::HomVec4* q, float* out, std::size_t count) const noexcept;
  /// The record of a point but its depth, and in `q` its representative facing the view; false
  /// where it draws nothing.
  [[nodiscard]] bool pointRecord(const kernel::HomVec4& position, const Rgba& color,
                                 PointQueue::Record& out, kernel::HomVec4& q) const noexcept;
  /// `point` where the queue has no room for it, or there is no queue.
  void pointWithoutRoom(const kernel::HomVec4& position, const Rgba& color) noexcept;
  /// Makes room in the queue for one more point: on first use by making its places, later by
  /// drawing what it holds. False, with what it held drawn and the queue given up, where there is
  /// no memory for its places.
  [[nodiscard]] bool makeRoom() noexcept;
  /// Places the gathered points, in their order, into the queue's records with their depths;
  /// returns how many are drawn.
  std::size_t placeGathered() noexcept;
  /// Draws the queued points tile by tile.
  void drawQueue() noexcept;
  /// Asks for the depth and first texel of each row of `records` within the tile from `left`,
  /// `top` to `bottom`.
  void prefetchPoints(std::span<const PointQueue::Record> records, std::uint32_t left,
                      std::uint32_t top, std::uint32_t bottom) const noexcept;
  /// Whether points go to drawPointHalf: unblended into one rgba16_float attachment, depth-tested
  /// by less_equal.
  [[nodiscard]] bool halfPoints() const noexcept;
  void drawPointHalf(const PointQueue::Record& r, std::uint32_t x0, std::uint32_t x1,
                     std::uint32_t y0, std::uint32_t y1) noexcept;
  /// The fragments of `r` within [x0, x1) x [y0, y1).
  void drawPoint(const PointQueue::Record& r, std::uint32_t x0, std::uint32_t x1, std::uint32_t y0,
                 std::uint32_t y1) noexcept;
  /// The fragment at (x, y) of the point `q` of a line or triangle: kept until its depth is taken
  /// with the next ones' (`resolveFragments`), which each primitive ends with.
  void fragment(std::size_t x, std::size_t y, const kernel::HomVec4& q, const Rgba& color) noexcept;
  /// Draws the fragments kept, in the order they came.
  void resolveFragments() noexcept;
  void fragment(std::size_t x, std::size_t y, float depth, const Rgba& color) noexcept;

  RenderTarget target_;
  ViewUniform view_;
  renderer::OrvFrustum frustum_;  // the view's planes and observer, for `facing`
  std::array<double, 2> guard_;    // k and k' of `guarded`, across and down
  rhi::GraphicsPipelineDescriptor pipeline_;
  DepthCue cue_;
  bool test_depth_;
  bool write_depth_;
  PointQueue* queue_;
  double observer_norm2_;  // for pointDepth
  double depth_scale_;     // 1 / (far - near)
  bool depth_fast_;        // whether pointDepth may take its fast path

  struct PendingFragment {
    std::size_t x, y;
    Rgba color;
  };
  static constexpr std::size_t kPending = 4;
  std::array<kernel::HomVec4, kPending> pending_q_{};
  std::array<PendingFragment, kPending> pending_{};
  std::size_t pending_count_ = 0;
};

}  // namespace orv::device::detail
