#pragma once

// The render hardware interface data model: the formats, resource descriptors, handles, pipeline
// identifiers, fixed-function state, GPU commands and frame graph with which a renderer describes
// its work to a graphics device. Everything here is a plain value; nothing talks to a device. The
// frame graph is the only object that allocates, through a memory resource its caller supplies.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <optional>
#include <ranges>
#include <span>
#include <string_view>
#include <type_traits>
#include <variant>

#include "orv/error.hpp"
#include "orv/kernel.hpp"

namespace orv::rhi {

using kernel::HomVec4;
using kernel::PGL4;

// --- Formats -------------------------------------------------------------------------------------

/// Element and pixel formats. The two projective formats come last: one `HomVec4` and one `PGL4`
/// stored as doubles.
enum class Format : std::uint8_t {
  undefined = 0,
  r8_unorm = 1,
  rg8_unorm = 2,
  rgba8_unorm = 3,
  rgba8_srgb = 4,
  r16_float = 5,
  rg16_float = 6,
  rgba16_float = 7,
  r32_float = 8,
  rg32_float = 9,
  rgb32_float = 10,
  rgba32_float = 11,
  r32_uint = 12,
  rg32_uint = 13,
  rgba32_uint = 14,
  depth16_unorm = 15,
  depth24_unorm_stencil8_uint = 16,
  depth32_float = 17,
  depth32_float_stencil8_uint = 18,
  homvec4_f64 = 19,
  pgl4_f64 = 20,
};

/// Size in bytes of one element or texel of `format`; 0 for `undefined`. Combined depth-stencil
/// formats count their padded size (4 and 8 bytes).
[[nodiscard]] constexpr std::uint32_t size(Format format) noexcept {
  switch (format) {
    case Format::undefined: return 0;
    case Format::r8_unorm: return 1;
    case Format::rg8_unorm: return 2;
    case Format::rgba8_unorm: return 4;
    case Format::rgba8_srgb: return 4;
    case Format::r16_float: return 2;
    case Format::rg16_float: return 4;
    case Format::rgba16_float: return 8;
    case Format::r32_float: return 4;
    case Format::rg32_float: return 8;
    case Format::rgb32_float: return 12;
    case Format::rgba32_float: return 16;
    case Format::r32_uint: return 4;
    case Format::rg32_uint: return 8;
    case Format::rgba32_uint: return 16;
    case Format::depth16_unorm: return 2;
    case Format::depth24_unorm_stencil8_uint: return 4;
    case Format::depth32_float: return 4;
    case Format::depth32_float_stencil8_uint: return 8;
    case Format::homvec4_f64: return 32;
    case Format::pgl4_f64: return 128;
  }
  return 0;  // not one of the 21 formats
}

/// True for the two projective formats, `homvec4_f64` and `pgl4_f64`.
[[nodiscard]] constexpr bool isOrv(Format format) noexcept {
  return format == Format::homvec4_f64 || format == Format::pgl4_f64;
}

static_assert(size(Format::homvec4_f64) == sizeof(HomVec4));
static_assert(size(Format::pgl4_f64) == sizeof(PGL4));

// --- Buffers -----------------------------------------------------------------------------------

/// What a buffer holds.
enum class BufferType : std::uint8_t {
  vertex = 0,
  index = 1,
  uniform = 2,
  storage = 3,
  orv_positions = 4,   ///< an array of `HomVec4`
  orv_transforms = 5,  ///< an array of `PGL4`
};

/// The memory a buffer lives in.
enum class HeapType : std::uint8_t {
  device_local = 0,
  upload = 1,
  readback = 2,
};

/// Description of a GPU buffer.
struct BufferDescriptor {
  std::uint64_t size;    ///< total size in bytes
  std::uint64_t stride;  ///< bytes per element; 0 for a buffer without a fixed element
  BufferType type;
  Format format;  ///< format of one element; `undefined` for untyped contents
  HeapType heap;
  bool dynamic;  ///< contents are updated while the buffer is in use

  /// A device-local, dynamic buffer of `count` projective positions (32 bytes each). The size is
  /// computed in 64 bits, so every `count` gives its true size.
  [[nodiscard]] static constexpr BufferDescriptor initOrvPositions(std::uint32_t count) noexcept {
    return {std::uint64_t{count} * 32u, 32, BufferType::orv_positions, Format::homvec4_f64,
            HeapType::device_local, true};
  }

  /// A device-local, dynamic buffer of `count` projective transforms (128 bytes each). The size is
  /// computed in 64 bits, so every `count` gives its true size.
  [[nodiscard]] static constexpr BufferDescriptor initOrvTransforms(std::uint32_t count) noexcept {
    return {std::uint64_t{count} * 128u, 128, BufferType::orv_transforms, Format::pgl4_f64,
            HeapType::device_local, true};
  }

  /// A dynamic uniform buffer of `size_bytes` bytes in upload memory, without a fixed element.
  [[nodiscard]] static constexpr BufferDescriptor initUniform(std::uint64_t size_bytes) noexcept {
    return {size_bytes, 0, BufferType::uniform, Format::undefined, HeapType::upload, true};
  }
};

// --- Images ------------------------------------------------------------------------------------

enum class ImageDimension : std::uint8_t {
  dim_1d = 0,
  dim_2d = 1,
  dim_3d = 2,
  cube = 3,
};

/// How an image may be used: a set of one-bit flags stored as one byte. Combine flags with `|`,
/// test them with `hasAll`. Every projective render target carries `color_target` and
/// `orv_projective`.
enum class ImageUsage : std::uint8_t {
  none = 0,
  sampled = 1u << 0,         ///< shaders read it through a sampler
  storage = 1u << 1,         ///< shaders read and write its texels directly
  transfer_src = 1u << 2,    ///< it is the source of copies
  transfer_dst = 1u << 3,    ///< it is the destination of copies and uploads
  color_target = 1u << 4,    ///< passes render colour into it
  depth_target = 1u << 5,    ///< passes test and write depth (and stencil) in it
  orv_fs_depth = 1u << 6,    ///< its depth values are Fubini-Study depths
  orv_projective = 1u << 7,  ///< it is written by the projective pipeline
};

[[nodiscard]] constexpr ImageUsage operator|(ImageUsage a, ImageUsage b) noexcept {
  return static_cast<ImageUsage>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}
[[nodiscard]] constexpr ImageUsage operator&(ImageUsage a, ImageUsage b) noexcept {
  return static_cast<ImageUsage>(static_cast<std::uint8_t>(a) & static_cast<std::uint8_t>(b));
}
/// True when `usage` carries every flag of `flags`.
[[nodiscard]] constexpr bool hasAll(ImageUsage usage, ImageUsage flags) noexcept {
  return (usage & flags) == flags;
}

/// The usage of the projective pipeline's colour render target: 0x95.
inline constexpr ImageUsage ORV_RENDER_TARGET_USAGE = ImageUsage::sampled |
                                                      ImageUsage::transfer_src |
                                                      ImageUsage::color_target |
                                                      ImageUsage::orv_projective;
static_assert(static_cast<std::uint8_t>(ORV_RENDER_TARGET_USAGE) == 0x95);

/// Description of a GPU image.
struct ImageDescriptor {
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t depth;
  std::uint32_t mip_levels;
  std::uint32_t array_layers;
  ImageDimension dimension;
  Format format;
  ImageUsage usage;

  /// A single 2D image: depth 1, one mip level, one array layer.
  [[nodiscard]] static constexpr ImageDescriptor init2D(Format format_, std::uint32_t width_,
                                                        std::uint32_t height_,
                                                        ImageUsage usage_) noexcept {
    return {width_, height_, 1, 1, 1, ImageDimension::dim_2d, format_, usage_};
  }

  /// The colour render target of the projective pipeline: a 2D `rgba16_float` image with usage
  /// `ORV_RENDER_TARGET_USAGE` (0x95).
  [[nodiscard]] static constexpr ImageDescriptor initOrvRenderTarget(std::uint32_t width_,
                                                                     std::uint32_t height_) noexcept {
    return init2D(Format::rgba16_float, width_, height_, ORV_RENDER_TARGET_USAGE);
  }
};

// --- Handles and pipeline identifiers ----------------------------------------------------------

/// Handle of a buffer. `generation` tells apart successive buffers that reuse one `id`.
struct BufferId {
  std::uint64_t id;
  std::uint32_t generation;

  friend constexpr bool operator==(const BufferId&, const BufferId&) = default;
};

/// Handle of an image; a type of its own, not convertible to or from `BufferId`.
struct ImageId {
  std::uint64_t id;
  std::uint32_t generation;

  /// The invalid image handle: id 0, generation 0.
  [[nodiscard]] static constexpr ImageId invalid() noexcept { return {0, 0}; }

  friend constexpr bool operator==(const ImageId&, const ImageId&) = default;
};

enum class PipelineType : std::uint8_t {
  graphics = 0,
  compute = 1,
  orv_projective = 2,  ///< a pipeline of the projective path
};

/// Identifier of a pipeline: which kind it is and its number.
struct PipelineId {
  PipelineType tag;
  std::uint64_t number;

  [[nodiscard]] static constexpr PipelineId graphics(std::uint64_t n) noexcept {
    return {PipelineType::graphics, n};
  }
  [[nodiscard]] static constexpr PipelineId compute(std::uint64_t n) noexcept {
    return {PipelineType::compute, n};
  }
  [[nodiscard]] static constexpr PipelineId orvProjective(std::uint64_t n) noexcept {
    return {PipelineType::orv_projective, n};
  }

  /// True when the pipeline number is not 0, whatever the kind.
  [[nodiscard]] constexpr bool isValid() const noexcept { return number != 0; }

  friend constexpr bool operator==(const PipelineId&, const PipelineId&) = default;
};

// --- Fixed-function state ----------------------------------------------------------------------

enum class PrimitiveTopology : std::uint8_t {
  point_list = 0,
  line_list = 1,
  line_strip = 2,
  triangle_list = 3,
  triangle_strip = 4,
  geodesic_list = 5,  ///< pairs of points joined by geodesic segments of the 3-sphere
};

enum class BlendFactor : std::uint8_t {
  zero = 0,
  one = 1,
  src_alpha = 2,
  one_minus_src_alpha = 3,
};

enum class CompareOp : std::uint8_t {
  never = 0,
  less = 1,
  equal = 2,
  less_equal = 3,
  greater = 4,
  not_equal = 5,
  greater_equal = 6,
  always = 7,
};

/// Depth test state. The default tests and writes with `less`; set `fs_depth` when the depth values
/// are Fubini-Study depths rather than ordinary ones.
struct DepthState {
  bool depth_test = true;
  bool depth_write = true;
  CompareOp depth_compare = CompareOp::less;
  bool fs_depth = false;

  friend constexpr bool operator==(const DepthState&, const DepthState&) = default;
};

static_assert(sizeof(DepthState) == 4);

/// Fixed-function description of a graphics pipeline. The defaults describe an opaque pipeline
/// drawing triangles into the projective render target with ordinary depth.
struct GraphicsPipelineDescriptor {
  PipelineType type = PipelineType::graphics;
  PrimitiveTopology topology = PrimitiveTopology::triangle_list;
  Format color_format = Format::rgba16_float;  // the projective render target's format
  Format depth_format = Format::depth32_float;
  Format vertex_format = Format::homvec4_f64;  // vertices are homogeneous points
  DepthState depth{};
  bool blend_enabled = false;  // opaque: the source replaces the destination
  BlendFactor src_color_factor = BlendFactor::one;
  BlendFactor dst_color_factor = BlendFactor::zero;
  std::uint32_t sample_count = 1;  // no multisampling unless asked for
  float point_size = 1.0f;  // side of the square a point covers, in pixels
  float line_width = 1.0f;  // width of the band a line or geodesic covers, in pixels

  friend constexpr bool operator==(const GraphicsPipelineDescriptor&,
                                   const GraphicsPipelineDescriptor&) = default;
};

/// Limits of a graphics device. The defaults are the floor that desktop-class devices commonly
/// guarantee, so a renderer that respects them runs anywhere such a device is found.
struct DeviceLimits {
  std::uint32_t max_image_dimension_2d = 16384;  // widest 2D image, in texels
  std::uint32_t max_image_array_layers = 2048;
  std::uint32_t max_color_attachments = 8;  // colour targets bound by one pass
  std::uint64_t max_buffer_size = std::uint64_t{1} << 30;  // 1 GiB: 33,554,432 positions
  std::uint64_t max_uniform_range = 65536;               // 64 KiB bound at once
  std::uint32_t min_uniform_offset_alignment = 256;      // bytes; binding offsets are multiples
  std::uint32_t max_uniform_bindings = 16;
  std::uint32_t max_vertex_stride = 2048;  // bytes; fits 16 transforms per vertex
  std::uint32_t max_compute_group_count = 65535;  // per dimension
  std::uint32_t max_compute_group_size = 1024;    // invocations in one work group
  std::uint32_t max_sample_count = 8;
  bool shader_f64 = true;  // the projective formats need double precision in shaders
  float max_point_size = 64.0f;  // largest GraphicsPipelineDescriptor::point_size, pixels
  float max_line_width = 16.0f;  // largest GraphicsPipelineDescriptor::line_width, pixels
  /// Vertices one draw may ask for, `index_count` times `instance_count`: the work of a draw is
  /// bounded even where no buffer bounds its instances. The default lets one draw read every index
  /// of an index buffer of `max_buffer_size` bytes once.
  std::uint64_t max_draw_vertices = std::uint64_t{1} << 28;

  friend constexpr bool operator==(const DeviceLimits&, const DeviceLimits&) = default;
};

// --- GPU commands ------------------------------------------------------------------------------

/// An indexed draw of the projective path.
struct DrawCommand {
  PipelineId pipeline;
  BufferId vertex_buffer;
  BufferId index_buffer;
  BufferId orv_transform_buffer;  ///< the `PGL4` transforms used by the draw
  BufferId orv_position_buffer;   ///< the `HomVec4` positions used by the draw
  std::uint32_t index_count;
  std::uint32_t instance_count;
};

/// A compute dispatch of `group_count_x * group_count_y * group_count_z` work groups.
struct DispatchCommand {
  PipelineId pipeline;
  std::uint32_t group_count_x;
  std::uint32_t group_count_y;
  std::uint32_t group_count_z;
};

/// One recorded GPU command: a closed set of twelve variants. The active variant is `tag()`; its
/// payload is read through that variant only (`std::get<GpuCommand::Clear>(cmd.payload)`). Spans
/// inside payloads are borrowed: whoever builds the command keeps the elements alive.
struct GpuCommand {
  enum class Tag : std::uint8_t {
    clear = 0,
    begin_pass = 1,
    end_pass = 2,
    bind_pipeline = 3,
    bind_vertex_buffer = 4,
    bind_uniform = 5,
    draw_indexed = 6,
    dispatch = 7,
    orv_upload_pgl4 = 8,
    orv_upload_positions = 9,
    orv_compute_fs_distance = 10,
    orv_render_geodesics = 11,
  };

  /// Clears a colour attachment to (r, g, b, a) and depth to `depth`.
  struct Clear {
    ImageId color_attachment;
    float r;
    float g;
    float b;
    float a;
    float depth;
  };
  /// Starts a render pass on these attachments.
  struct BeginPass {
    std::span<const ImageId> color_attachments;
    std::optional<ImageId> depth_attachment;  ///< empty when the pass has no depth attachment
  };
  struct EndPass {};
  using BindPipeline = PipelineId;
  /// Binds a vertex buffer from a byte offset.
  struct BindVertexBuffer {
    BufferId buffer;
    std::uint64_t offset;
  };
  /// Binds the byte range [offset, offset + size) of a buffer to a uniform slot.
  struct BindUniform {
    BufferId buffer;
    std::uint64_t offset;
    std::uint64_t size;
    std::uint32_t binding;
  };
  using DrawIndexed = DrawCommand;
  using Dispatch = DispatchCommand;
  /// Uploads projective transforms into a buffer.
  struct OrvUploadPgl4 {
    BufferId buffer;
    std::span<const PGL4> transforms;
  };
  /// Uploads projective positions into a buffer.
  struct OrvUploadPositions {
    BufferId buffer;
    std::span<const HomVec4> positions;
  };
  /// Computes on the device one Fubini-Study distance per pair of positions.
  struct OrvComputeFsDistance {
    BufferId positions_a;
    BufferId positions_b;
    BufferId results;
    std::uint32_t count;
  };
  /// Draws geodesics through `count` positions of a buffer in one colour.
  struct OrvRenderGeodesics {
    BufferId positions;
    std::uint32_t count;
    float color_r;
    float color_g;
    float color_b;
  };

  /// The alternatives in tag order: the variant's index is the tag.
  using Payload = std::variant<Clear, BeginPass, EndPass, BindPipeline, BindVertexBuffer,
                               BindUniform, DrawIndexed, Dispatch, OrvUploadPgl4,
                               OrvUploadPositions, OrvComputeFsDistance, OrvRenderGeodesics>;

  Payload payload;

  /// Which variant this command is.
  [[nodiscard]] constexpr Tag tag() const noexcept { return static_cast<Tag>(payload.index()); }
};

static_assert(std::variant_size_v<GpuCommand::Payload> == 12);
static_assert(std::is_trivially_copyable_v<GpuCommand>);

// --- Frame graph -------------------------------------------------------------------------------

enum class PassType : std::uint8_t {
  clear = 0,
  geometry = 1,
  lighting = 2,
  post_process = 3,
  ui = 4,
  orv_geodesic = 5,
  orv_fs_compute = 6,
  orv_idempotent = 7,
  orv_dehomogenize = 8,
};

namespace detail {
/// A temporary that owns the elements a view of it would show (a vector, an array, a string):
/// they are freed when the statement that made it ends.
template <class T>
concept OwningTemporary = std::ranges::range<T> && !std::ranges::borrowed_range<T>;
}  // namespace detail

/// A named pass: the images it reads and writes and its commands. Every view is borrowed: the
/// frame graph copies the pass record, never what it points to, so whoever builds the pass keeps
/// its name, image lists and commands (and the arrays the commands view) alive and unchanged for
/// as long as a graph holding the pass is executed or read.
struct FramePass {
  std::string_view name;
  std::span<const ImageId> reads;
  std::span<const ImageId> writes;
  std::span<const GpuCommand> commands;
  PassType pass_type;

  /// A pass of these views. Members may be left out from the end, as in aggregate initialisation:
  /// `{"clear", {}, writes, commands}` is a pass of type `clear`.
  constexpr FramePass(std::string_view name_ = {}, std::span<const ImageId> reads_ = {},
                      std::span<const ImageId> writes_ = {},
                      std::span<const GpuCommand> commands_ = {},
                      PassType pass_type_ = PassType::clear) noexcept
      : name(name_), reads(reads_), writes(writes_), commands(commands_), pass_type(pass_type_) {}

  /// Refused at compile time: a pass viewing a temporary container, such as a vector of commands
  /// returned by a call or a `std::string` name, would view freed memory once its statement ends.
  template <class Name, class Reads = std::span<const ImageId>,
            class Writes = std::span<const ImageId>, class Commands = std::span<const GpuCommand>>
    requires(detail::OwningTemporary<Name> || detail::OwningTemporary<Reads> ||
             detail::OwningTemporary<Writes> || detail::OwningTemporary<Commands>)
  FramePass(Name&&, Reads&& = {}, Writes&& = {}, Commands&& = {}, PassType = PassType::clear) = delete;
};

static_assert(std::is_trivially_copyable_v<FramePass>);

/// A memory resource that can also grow or shrink, without moving it, a block it handed out. A frame
/// graph constructed from one uses this, and otherwise moves its passes to a new block.
class ResizableMemoryResource : public std::pmr::memory_resource {
 public:
  /// Resizes the block `p` of `old_bytes`, allocated with `alignment`, to `new_bytes` in place.
  /// Returns false, changing nothing, when that is not possible.
  [[nodiscard]] bool resizeInPlace(void* p, std::size_t old_bytes, std::size_t new_bytes,
                                   std::size_t alignment) noexcept {
    return do_resize_in_place(p, old_bytes, new_bytes, alignment);
  }

 private:
  virtual bool do_resize_in_place(void* p, std::size_t old_bytes, std::size_t new_bytes,
                                  std::size_t alignment) noexcept = 0;
};

/// The passes of a frame, in the order they were added, and a frame counter.
///
/// The graph owns only the storage of its pass array, which comes from the memory resource given at
/// construction and goes back to it on destruction. Passes only accumulate; `advanceFrame` counts
/// frames and leaves them as they are. The array grows to capacities 1, 2, 4, 7, 11, ... (c becomes
/// c + c/2 + 1), resized in place when the graph was constructed from a `ResizableMemoryResource`
/// that can, else moved to a new block.
class FrameGraph {
 public:
  /// An empty graph drawing memory from `resource`, which must outlive it. Allocates nothing.
  explicit FrameGraph(std::pmr::memory_resource& resource) noexcept : resource_(&resource) {}
  /// As above, and growth first asks `resource` to resize the pass array in place. (The graph tells
  /// the two kinds of resource apart by this overload, not at run time: orv needs no RTTI.)
  explicit FrameGraph(ResizableMemoryResource& resource) noexcept
      : resource_(&resource), resizable_(&resource) {}

  /// Returns the pass array to the resource; what the passes point to is the caller's.
  ~FrameGraph();

  FrameGraph(const FrameGraph&) = delete;
  FrameGraph& operator=(const FrameGraph&) = delete;
  /// Takes over the passes, storage and resource of `other`, which is left empty.
  FrameGraph(FrameGraph&& other) noexcept;
  /// Releases this graph's storage, then takes over the passes, storage and resource of `other`.
  FrameGraph& operator=(FrameGraph&& other) noexcept;

  /// Appends a copy of `pass` after the passes already present. The record is taken by value, so it
  /// may be one of this graph's own passes (`graph.addPass(graph.passes()[0])`); what it views is
  /// not copied and stays the caller's to keep alive (see `FramePass`). When the resource
  /// refuses memory (or the graph already holds 2^32 - 1 passes) returns `Error::OutOfMemory` and
  /// leaves the passes, capacity and storage exactly as they were.
  [[nodiscard]] std::expected<void, Error> addPass(FramePass pass);

  /// Counts one more frame.
  void advanceFrame() noexcept { ++frame_index_; }

  /// The number of passes added so far.
  [[nodiscard]] std::uint32_t passCount() const noexcept {
    return static_cast<std::uint32_t>(count_);
  }
  /// The passes in the order they were added. A successful `addPass` that grows the array may move
  /// it, after which spans returned earlier no longer point at the passes.
  [[nodiscard]] std::span<const FramePass> passes() const noexcept { return {passes_, count_}; }
  /// The number of frames advanced since construction.
  [[nodiscard]] std::uint64_t frameIndex() const noexcept { return frame_index_; }
  /// The number of passes the current storage holds.
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  /// The resource the pass array comes from.
  [[nodiscard]] std::pmr::memory_resource& resource() const noexcept { return *resource_; }

 private:
  void release() noexcept;

  std::pmr::memory_resource* resource_;
  ResizableMemoryResource* resizable_ = nullptr;  // the same resource, where it can resize
  FramePass* passes_ = nullptr;
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;
  std::uint64_t frame_index_ = 0;
};

}  // namespace orv::rhi
