#pragma once

// The device layer: what executes the work that orv records. A `Device` owns buffers, images and
// pipelines, named by the generation-counted handles of `orv::rhi`, and runs whole frame graphs.
// Every device checks a graph completely before it runs any of it, so a graph either runs in full
// or is refused with a `Failure` that names the pass, the command and what is wrong, and changes
// nothing.
//
// `makeCpuDevice` gives the reference device: host memory, single-threaded, deterministic, and
// bit-exact where the kernel is. Other devices run the same graphs with the same rules.
//
// What the commands mean on a device
// ----------------------------------
// Passes run in the order they were added, commands in the order listed. Bound state (pipeline,
// vertex buffer, uniform ranges) starts empty in every pass of the graph and lasts to the end of
// that pass. A render pass is the span between `begin_pass` and `end_pass` inside one pass of the
// graph; it loads its attachments as they are and stores what it draws.
//
// - `clear`: inside a render pass, fills `color_attachment` (one of the render pass's colour
//   attachments, or the invalid handle for none) with (r, g, b, a) and the render pass's depth
//   attachment, if it has one, with `depth` (which must lie in [0, 1]). Outside a render pass it
//   fills the colour image only. Values are converted to the image's format as a draw's are.
// - `orv_upload_positions`, `orv_upload_pgl4`: copy the borrowed array to the start of the buffer,
//   outside render passes.
// - `orv_compute_fs_distance`: element i of `results` (doubles) becomes the Fubini-Study distance
//   of element i of `positions_a` and of `positions_b`, for i below `count`; outside render passes.
// - `bind_uniform` at binding 0 hands projective pipelines their `ViewUniform`, read from the
//   buffer when each draw runs. A draw is refused when that view holds a number that is not
//   finite, or maps onto an image of another width or height than its render pass's attachments.
// - `draw_indexed`, inside a render pass, with the pipeline bound by `bind_pipeline` (which must be
//   the draw's `pipeline`): vertex k of instance j is the position `positions[index[k]]` of
//   `orv_position_buffer` (or `positions[k]` when `index_buffer` is none), moved by
//   `transforms[j]` of `orv_transform_buffer` (unmoved when none), coloured with the rgba32_float
//   colour of the same position index from the draw's `vertex_buffer`, or else from the buffer
//   bound by `bind_vertex_buffer` at its offset (white when neither). A primitive with an index
//   beyond the position buffer is skipped. The topology decides what is drawn:
//   - `point_list`: each vertex a square (see "Rasterisation").
//   - `line_list` / `line_strip`: the segment between the two vertices' representatives facing the
//     view (every vector s*a + t*b with s, t >= 0), as a band of the pipeline's `line_width`.
//   - `geodesic_list`: the shortest great-circle arc between two vertices (at most pi/2 long; for
//     vertices exactly pi/2 apart, the arc between their representatives facing the view), drawn
//     like a line; where it crosses the hyperplane orthogonal to the observer it continues
//     through the other representative, so both of its pieces are drawn facing the observer. An
//     arc lying in that hyperplane is split likewise where it passes from ahead of the observer
//     to behind it (the choice of `renderer::facing` with the view's planes).
//   - `triangle_list` / `triangle_strip`: the triangle spanned by the three vertices'
//     representatives facing the view.
// - `orv_render_geodesics`, inside a render pass with a pipeline bound: the arcs between
//   consecutive positions 0-1, 1-2, ..., of the first `count` positions of the buffer, as
//   `geodesic_list` draws them, in the command's colour (alpha 1), with the bound pipeline's line
//   width, depth and blend state.
// - `dispatch` names a compute pipeline, and devices create none: a graph holding one is refused.
//
// What bounds the work of a graph
// -------------------------------
// Validation bounds what each command asks for before anything runs: a `draw_indexed` at most
// `max_draw_vertices` vertices (`index_count` times `instance_count`), an `orv_render_geodesics`
// no more arcs than its buffer holds positions, an upload or distance computation no more elements
// than its buffers hold (each at most `max_buffer_size` bytes), and every primitive covers at most
// the pixels of its render pass (at most `max_image_dimension_2d` squared). A graph's work is
// bounded by these times the number of its commands.
//
// Projection and depth
// --------------------
// A projective pipeline sees the world through the `ViewUniform` at binding 0: four side planes
// (left, right, top, bottom), the observer, the near and far Fubini-Study limits and the image
// size. Each point is first replaced by its representative facing the view: `renderer::facing`
// with the frustum of the view's planes and observer, the one whose 4-dot product with the observer
// is positive, and where that is exactly zero (pi/2 away along both geodesics; from the origin,
// every point at infinity) the one ahead, so that a vector and its negation are drawn alike. With
// l, r, t, b its four plane values (`ProjectiveHyperplane::evaluate`),
// the point is inside the view exactly when all four are >= 0 (exactly `frustumCull`'s test); its
// image position is
//     x = ((l - r) / (l + r) + 1) * 0.5 * width,    y = ((t - b) / (t + b) + 1) * 0.5 * height
// in pixels from the top-left corner, (width/2, height/2) where a denominator is 0. For a point
// inside the view both ratios lie in [-1, 1], so it lands in the image. Triangles are clipped to
// the view in four dimensions before they are projected. Lines and geodesic arcs are clipped
// likewise to the view widened by half the line width beyond each edge of the image (a guard
// band: the planes l + k r, r + k l, t + k' b, b + k' t with k = g / (2 + g), g = line_width /
// width, and k' likewise with the height), so that a band leaving the image at a slant is drawn up
// to its edge rather than cut square inside it. Both interpolate their attributes
// perspective-correctly (with weight l + r per vertex). The depth of a fragment is
// `renderer::fsDepth(observer, q, near_fs, far_fs)` of its point q in four dimensions, stored as a
// 32-bit float; a point's depth is exactly that of its position.
//
// Rasterisation
// -------------
// Pixel (i, j) covers [i, i+1) x [j, j+1) and is sampled at its centre (i + 0.5, j + 0.5); one
// sample per pixel. Triangles cover the pixels whose centres lie inside them, with the top-left
// rule deciding centres on an edge (an edge that is a top edge or a left edge owns its centres);
// they are never culled by winding. A point is the axis-aligned square of side `point_size`
// centred on its image position and covers the centres in [x - s/2, x + s/2) x [y - s/2, y + s/2);
// a point whose centre falls outside the view draws nothing, however large it is. A line is the
// rectangle of width `line_width` centred on its projected segment, ends not extended, drawn as
// two triangles. Fragments outside the attachments are dropped.
//
// A fragment passes the depth test when the pipeline tests depth and its depth compares true
// against the stored one with `depth_compare` (then it is written when `depth_write` is set), or
// when the pipeline does not test depth. Passing fragments write their colour, blended when the
// pipeline blends: result = source * src_color_factor + destination * dst_color_factor for every
// channel, alpha included, in single precision. Colours are stored rounded to nearest (even) in
// `rgba16_float` and `rgba32_float`, and clamped to [0, 1] then rounded in `rgba8_unorm`.
//
// Depth cueing
// ------------
// A pipeline made with `PipelineOptions::depth_cue` enabled darkens its fragments with their depth
// before the depth test and blending: with d the fragment's depth as stored (the 32-bit float),
// n = 1 - d in double precision and c the cue's coefficients, the factor
//     k = (((c[4] * n + c[3]) * n + c[2]) * n + c[1]) * n + c[0]
// is evaluated in double precision, step by step as written (no fused multiply-add), and each of
// the red, green and blue channels v of the fragment's colour becomes the float nearest v * k
// (taken in double precision); alpha is kept. Disabled (the default), colours are drawn as given.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "orv/kernel.hpp"
#include "orv/renderer.hpp"
#include "orv/rhi.hpp"

namespace orv::device {

/// What kind of thing went wrong.
enum class ErrorCode : std::uint8_t {
  out_of_memory,       ///< the host or the device ran out of memory; nothing was changed
  invalid_handle,      ///< a handle names no live resource of this device (never made, destroyed)
  invalid_descriptor,  ///< a descriptor is inconsistent (zero size, wrong stride, odd usage)
  limit_exceeded,      ///< a value is beyond the device's `DeviceLimits`
  invalid_command,     ///< a command or call is malformed or does not fit its resources
  unsupported,         ///< well-formed, but this device does not do it
  device_lost,         ///< the device stopped working; it must be made anew
};

/// The name of `code` as written above, e.g. "invalid_handle".
[[nodiscard]] std::string_view toString(ErrorCode code) noexcept;

/// What went wrong, and where. `message` is one line a person can act on; inside `execute` it
/// starts with the pass's index and name and the command's index and kind.
struct Failure {
  ErrorCode code;
  std::uint32_t pass;     ///< index of the pass, or UINT32_MAX outside `execute`
  std::uint32_t command;  ///< index of the command in that pass, or UINT32_MAX
  std::string message;
};

template <class T>
using Result = std::expected<T, Failure>;

/// Where a point lands in the image of a view (`ViewUniform::project`).
struct ImagePoint {
  double x;      ///< pixels from the left edge of the image
  double y;      ///< pixels from the top edge of the image
  double depth;  ///< `renderer::fsDepth` of the point from the view's observer, 0 to 1
};

/// What a projective pipeline reads at uniform binding 0: how the world maps onto the image. The
/// layout is fixed (192 bytes of doubles, also the std140 layout of the shader block), so the
/// record is written to a uniform buffer as it is.
struct ViewUniform {
  /// Side planes in the order left, right, top, bottom: a point is in view when all four evaluate
  /// to >= 0 at its representative facing the view (`renderer::facing` with these planes and
  /// `observer`).
  std::array<renderer::ProjectiveHyperplane, 4> planes;
  kernel::HomVec4 observer;  ///< where depth is measured from; with the planes, picks the facing one
  double near_fs;            ///< near limit of depth, radians
  double far_fs;             ///< far limit of depth, radians
  double width;              ///< image width in pixels
  double height;             ///< image height in pixels

  /// The view of `camera` onto a `width` x `height` image, depth between `near_fs` and `far_fs`.
  /// The planes are exactly those of `OrvFrustum::fromCamera(camera)` and the observer is the
  /// camera's position, so a point lands inside the image exactly when `frustumCull` with that
  /// frustum marks it as `renderer::faceObserver` with the frustum gives it, for every camera,
  /// moved or not. The camera's `view_pgl4` takes no part.
  [[nodiscard]] static ViewUniform fromCamera(const renderer::OrvCamera& camera, std::uint32_t width,
                                              std::uint32_t height, double near_fs,
                                              double far_fs) noexcept;

  /// The view of `observer` with full angles of view `horizontal_angle` and `vertical_angle`
  /// (radians) onto a `width` x `height` image, depth between `near_fs` and `far_fs`. The planes
  /// are exactly those of `observer.frustum(horizontal_angle, vertical_angle, near_fs, far_fs)`,
  /// so a point lands inside the image exactly when `frustumCull` with that frustum marks it as
  /// `renderer::faceObserver` with the frustum gives it. The image is a pinhole picture: its
  /// pixels are square when tan(horizontal_angle / 2) / width equals tan(vertical_angle / 2) /
  /// height (see `renderer::verticalAngleOfView`).
  [[nodiscard]] static ViewUniform fromObserver(const renderer::Observer& observer,
                                                double horizontal_angle, double vertical_angle,
                                                std::uint32_t width, std::uint32_t height,
                                                double near_fs, double far_fs) noexcept;

  /// The view through `frustum` (its planes and observer; its near and far limits) onto a
  /// `width` x `height` image.
  [[nodiscard]] static ViewUniform fromFrustum(const renderer::OrvFrustum& frustum,
                                               std::uint32_t width, std::uint32_t height) noexcept;

  /// Where `point` (any representative) lands in the image, exactly as the devices place a point
  /// they draw: its representative facing the view (see "Projection and depth") is inside the view when all four plane
  /// values are >= 0 (the test of `frustumCull`), and then lands at x, y as "Projection and depth"
  /// above says, with the depth a point drawn there is given. Nothing when the point is outside the
  /// view or its image position is not finite. The pixel it lies in is (floor(x), floor(y)), but
  /// on the right and bottom edges of the view x may equal `width` and y `height`. For labels,
  /// picking, and tests of what a device drew.
  [[nodiscard]] std::optional<ImagePoint> project(const kernel::HomVec4& point) const noexcept;
};

static_assert(sizeof(ViewUniform) == 192 && std::is_trivially_copyable_v<ViewUniform>);

/// Fragments drawn darker with their depth: see "Depth cueing" above.
struct DepthCue {
  bool enabled = false;
  /// The factor as a polynomial of nearness n = 1 - depth: c[0] + c[1] n + ... + c[4] n^4. Every
  /// coefficient must be finite.
  std::array<double, 5> coefficients{1.0, 0.0, 0.0, 0.0, 0.0};

  friend constexpr bool operator==(const DepthCue&, const DepthCue&) = default;
};

/// What a pipeline does beyond its `rhi::GraphicsPipelineDescriptor`, the same on every device.
struct PipelineOptions {
  DepthCue depth_cue{};  ///< off unless enabled

  friend constexpr bool operator==(const PipelineOptions&, const PipelineOptions&) = default;
};

/// A device that executes frame graphs. Not thread-safe: use one device from one thread at a time.
/// No call throws; every failure is a `Failure`, and a failed call changes nothing.
///
/// Handles count from 1 and carry a generation that starts at 1 and grows each time a slot is
/// reused, so a handle kept after `destroy` is refused (`invalid_handle`), never taken for a newer
/// resource. A `PipelineId` carries its slot in the low 32 bits of its number and its generation in
/// the high 32 bits. Handles carry no mark of the device that made them: one from another device is
/// refused unless it happens to equal a live handle of this one. The none handle is `{0, 0}`.
///
/// Resources start zero-filled. Images hold 2D, single-layer, single-level data in `rgba8_unorm`,
/// `rgba16_float`, `rgba32_float` (colour) or `depth32_float` (depth).
class Device {
 public:
  virtual ~Device() = default;

  /// The limits descriptors and commands are checked against.
  [[nodiscard]] virtual const rhi::DeviceLimits& limits() const noexcept = 0;
  /// "cpu" for the reference device, else the driver's name of the device.
  [[nodiscard]] virtual std::string_view name() const noexcept = 0;

  /// A zero-filled buffer. Refused when the size is 0 or beyond `max_buffer_size`, or when the type,
  /// stride and format disagree: projective positions need `homvec4_f64` and stride 32, transforms
  /// `pgl4_f64` and 128, index buffers u32 (stride 4 or 0, `r32_uint` or `undefined`), vertex
  /// buffers rgba32_float colours (stride 16 or 0, `rgba32_float` or `undefined`), uniform buffers
  /// stride 0.
  [[nodiscard]] virtual Result<rhi::BufferId> createBuffer(const rhi::BufferDescriptor&) = 0;
  /// A zero-filled image; see the class comment for what is supported. `color_target` needs a
  /// colour format, `depth_target` and `orv_fs_depth` a depth format, `orv_projective` the
  /// `color_target` usage (else `invalid_descriptor`); other colour and depth formats than those
  /// the device holds, such as `rgba8_srgb`, are `unsupported`.
  [[nodiscard]] virtual Result<rhi::ImageId> createImage(const rhi::ImageDescriptor&) = 0;
  /// A pipeline of type `orv_projective` (plain graphics and compute pipelines are `unsupported`):
  /// vertex format `homvec4_f64`, a colour format an image can have, depth format `depth32_float`
  /// or `undefined` (then it may not test or write depth), depth tests of Fubini-Study depth
  /// (`depth.fs_depth`), one sample, point size and line width in (0, the limit]. `options` add
  /// what the descriptor does not say (a depth cue, whose coefficients must be finite, else
  /// `invalid_descriptor`).
  [[nodiscard]] virtual Result<rhi::PipelineId> createPipeline(
      const rhi::GraphicsPipelineDescriptor&, const PipelineOptions& options = {}) = 0;

  /// Destroys a resource; its handle, and every copy of it, is refused from then on.
  [[nodiscard]] virtual Result<void> destroy(rhi::BufferId) = 0;
  [[nodiscard]] virtual Result<void> destroy(rhi::ImageId) = 0;
  [[nodiscard]] virtual Result<void> destroy(rhi::PipelineId) = 0;

  /// Copies `bytes` into the buffer from byte `offset`; the range must lie within the buffer.
  [[nodiscard]] virtual Result<void> writeBuffer(rhi::BufferId, std::uint64_t offset,
                                                 std::span<const std::byte> bytes) = 0;
  /// Copies the buffer's bytes from `offset` into `bytes`; the range must lie within the buffer.
  [[nodiscard]] virtual Result<void> readBuffer(rhi::BufferId, std::uint64_t offset,
                                                std::span<std::byte> bytes) = 0;
  /// Copies the whole image into `bytes`, rows top to bottom, packed, in the image's format:
  /// `bytes` must hold exactly width * height * texel size bytes.
  [[nodiscard]] virtual Result<void> readImage(rhi::ImageId, std::span<std::byte> bytes) = 0;

  /// Checks the whole graph, then runs it. When the check fails nothing runs: every buffer and
  /// image keeps its contents. `advanceFrame` stays the caller's.
  [[nodiscard]] virtual Result<void> execute(const rhi::FrameGraph&) = 0;
};

/// The IEEE binary16 value `bits` as a float, exactly: how to read `rgba16_float` texels that
/// `readImage` returns.
[[nodiscard]] float halfToFloat(std::uint16_t bits) noexcept;

/// The reference device: everything in host memory, executed on the calling thread. `limits` are
/// the limits it enforces (the defaults unless given); it never needs more than they allow. Fails
/// when memory runs out, and refuses limits it cannot keep: `limit_exceeded` where they admit an
/// image (of `max_image_dimension_2d` squared rgba32_float texels) or a buffer larger than the
/// host can address, `invalid_descriptor` where `max_point_size` or `max_line_width` is not finite.
[[nodiscard]] Result<std::unique_ptr<Device>> makeCpuDevice(const rhi::DeviceLimits& limits = {});

/// The graph in Graphviz's dot language: each pass a box labelled with its index, name, type and
/// command count; each image an ellipse; an edge from each image a pass reads to the pass, from
/// each pass to each image it writes, and a dotted edge from each pass to the next, the order they
/// run in. Render it with `dot -Tsvg`.
[[nodiscard]] std::string toDot(const rhi::FrameGraph& graph);

}  // namespace orv::device
