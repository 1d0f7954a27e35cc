#include "validation.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <optional>
#include <span>
#include <utility>
#include <variant>

namespace orv::device::detail {

using rhi::BufferDescriptor;
using rhi::BufferId;
using rhi::BufferType;
using rhi::Format;
using rhi::GpuCommand;
using rhi::GraphicsPipelineDescriptor;
using rhi::ImageDescriptor;
using rhi::ImageId;
using rhi::ImageUsage;
using rhi::PipelineId;

namespace {

constexpr BufferId kNoBuffer{0, 0};
constexpr std::uint64_t kPositionBytes = sizeof(kernel::HomVec4);
constexpr std::uint64_t kTransformBytes = sizeof(kernel::PGL4);
constexpr std::uint64_t kIndexBytes = sizeof(std::uint32_t);
constexpr std::uint64_t kDistanceBytes = sizeof(double);

std::string number(std::uint64_t v) { return std::to_string(v); }

// `v` in the fewest digits that read back as it.
template <class Float>
std::string decimal(Float v) {
  std::array<char, 32> text{};
  const auto end = std::to_chars(text.data(), text.data() + text.size(), v).ptr;
  return std::string(text.data(), end);
}

// a * b, or nothing where it does not fit 64 bits.
std::optional<std::uint64_t> product(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t p = 0;
  if (__builtin_mul_overflow(a, b, &p)) return std::nullopt;
  return p;
}

// Whether [offset, offset + bytes) lies within a buffer of `size` bytes.
bool fits(std::uint64_t size, std::uint64_t offset, std::uint64_t bytes) noexcept {
  return offset <= size && bytes <= size - offset;
}

std::string_view bufferTypeName(BufferType type) noexcept {
  switch (type) {
    case BufferType::vertex: return "vertex";
    case BufferType::index: return "index";
    case BufferType::uniform: return "uniform";
    case BufferType::storage: return "storage";
    case BufferType::orv_positions: return "orv_positions";
    case BufferType::orv_transforms: return "orv_transforms";
  }
  return "unknown";
}

bool validFormat(Format f) noexcept { return static_cast<std::uint8_t>(f) <= 20; }

// The formats orv defines for colour (r8_unorm to rgba32_uint) and for depth, whether or not a
// device renders into them.
bool orvColorFormat(Format f) noexcept { return f >= Format::r8_unorm && f <= Format::rgba32_uint; }
bool orvDepthFormat(Format f) noexcept {
  return f >= Format::depth16_unorm && f <= Format::depth32_float_stencil8_uint;
}

// The colour formats devices render into (`isColorFormat`), for messages.
constexpr std::string_view kColorFormats = "rgba8_unorm, rgba16_float and rgba32_float";

std::string size2d(const ImageDescriptor& d) {
  return number(d.width) + "x" + number(d.height);
}

// --- descriptors --------------------------------------------------------------------------------

Failure descriptorFailure(std::string_view call, ErrorCode code, const std::string& what) {
  return failure(code, std::string(call) + ": " + what);
}

}  // namespace

Failure failure(ErrorCode code, std::string message) {
  return Failure{code, kNoIndex, kNoIndex, std::move(message)};
}

Failure outOfMemory(std::string_view call) {
  return failure(ErrorCode::out_of_memory, std::string(call) + ": out of host memory");
}

std::unexpected<Failure> notLive(std::string_view call, const std::string& what) {
  return std::unexpected(failure(ErrorCode::invalid_handle,
                                 std::string(call) + ": " + what +
                                     " is not a live resource of this device (never made, or destroyed)"));
}

bool isColorFormat(Format format) noexcept {
  return format == Format::rgba8_unorm || format == Format::rgba16_float ||
         format == Format::rgba32_float;
}

bool isDepthFormat(Format format) noexcept { return format == Format::depth32_float; }

Result<void> checkBufferDescriptor(const BufferDescriptor& d, const rhi::DeviceLimits& limits) {
  constexpr std::string_view call = "createBuffer";
  const auto refuse = [&](ErrorCode code, const std::string& what) {
    return std::unexpected(descriptorFailure(call, code, what));
  };
  if (static_cast<std::uint8_t>(d.type) > 5 || static_cast<std::uint8_t>(d.heap) > 2 ||
      !validFormat(d.format)) {
    return refuse(ErrorCode::invalid_descriptor, "the type, heap or format is not one orv defines");
  }
  if (d.size == 0) return refuse(ErrorCode::invalid_descriptor, "size is 0; a buffer holds at least one byte");
  if (d.size > limits.max_buffer_size) {
    return refuse(ErrorCode::limit_exceeded, "size " + number(d.size) +
                                                 " bytes is beyond max_buffer_size " +
                                                 number(limits.max_buffer_size));
  }
  const auto element = [&](Format format, std::uint64_t stride, bool untyped_ok) -> Result<void> {
    const bool format_ok = d.format == format || (untyped_ok && d.format == Format::undefined);
    const bool stride_ok = d.stride == stride || (untyped_ok && d.stride == 0);
    if (format_ok && stride_ok) return {};
    return refuse(ErrorCode::invalid_descriptor,
                  "a " + std::string(bufferTypeName(d.type)) + " buffer holds " +
                      std::string(formatName(format)) + " elements of stride " + number(stride) +
                      ", not " + std::string(formatName(d.format)) + " of stride " +
                      number(d.stride));
  };
  switch (d.type) {
    case BufferType::orv_positions: return element(Format::homvec4_f64, kPositionBytes, false);
    case BufferType::orv_transforms: return element(Format::pgl4_f64, kTransformBytes, false);
    case BufferType::index: return element(Format::r32_uint, kIndexBytes, true);
    case BufferType::vertex:
      if (d.stride > limits.max_vertex_stride) {
        return refuse(ErrorCode::limit_exceeded, "stride " + number(d.stride) +
                                                     " is beyond max_vertex_stride " +
                                                     number(limits.max_vertex_stride));
      }
      return element(Format::rgba32_float, kColorBytes, true);
    case BufferType::uniform:
      if (d.stride != 0) {
        return refuse(ErrorCode::invalid_descriptor,
                      "a uniform buffer has no element stride; got " + number(d.stride));
      }
      return {};
    case BufferType::storage: return {};
  }
  return {};
}

Result<void> checkImageDescriptor(const ImageDescriptor& d, const rhi::DeviceLimits& limits) {
  constexpr std::string_view call = "createImage";
  const auto refuse = [&](ErrorCode code, const std::string& what) {
    return std::unexpected(descriptorFailure(call, code, what));
  };
  if (static_cast<std::uint8_t>(d.dimension) > 3 || !validFormat(d.format)) {
    return refuse(ErrorCode::invalid_descriptor, "the dimension or format is not one orv defines");
  }
  if (d.width == 0 || d.height == 0 || d.depth == 0 || d.mip_levels == 0 || d.array_layers == 0) {
    return refuse(ErrorCode::invalid_descriptor,
                  "width, height, depth, mip levels and array layers must each be at least 1");
  }
  if (d.width > limits.max_image_dimension_2d || d.height > limits.max_image_dimension_2d) {
    return refuse(ErrorCode::limit_exceeded, "size " + size2d(d) +
                                                 " is beyond max_image_dimension_2d " +
                                                 number(limits.max_image_dimension_2d));
  }
  if (!imageBytes(d)) {
    return refuse(ErrorCode::limit_exceeded, "size " + size2d(d) + " of " +
                                                 std::string(formatName(d.format)) +
                                                 " texels is more than 2^64 bytes");
  }
  if (d.array_layers > limits.max_image_array_layers) {
    return refuse(ErrorCode::limit_exceeded, number(d.array_layers) +
                                                 " array layers are beyond max_image_array_layers " +
                                                 number(limits.max_image_array_layers));
  }
  const auto usage = static_cast<std::uint8_t>(d.usage);
  if (usage == 0) return refuse(ErrorCode::invalid_descriptor, "usage is empty");
  if (rhi::hasAll(d.usage, ImageUsage::color_target) && !isColorFormat(d.format)) {
    if (orvColorFormat(d.format)) {
      return refuse(ErrorCode::unsupported, "usage color_target: this device renders colour into " +
                                                std::string(kColorFormats) + " only, not " +
                                                std::string(formatName(d.format)));
    }
    return refuse(ErrorCode::invalid_descriptor,
                  "usage color_target needs a colour format, not " +
                      std::string(formatName(d.format)));
  }
  if (rhi::hasAll(d.usage, ImageUsage::depth_target) && !isDepthFormat(d.format)) {
    if (orvDepthFormat(d.format)) {
      return refuse(ErrorCode::unsupported, "usage depth_target: this device keeps depth in "
                                            "depth32_float only, not " +
                                                std::string(formatName(d.format)));
    }
    return refuse(ErrorCode::invalid_descriptor,
                  "usage depth_target needs a depth format, not " +
                      std::string(formatName(d.format)));
  }
  if (rhi::hasAll(d.usage, ImageUsage::orv_fs_depth) &&
      !rhi::hasAll(d.usage, ImageUsage::depth_target)) {
    return refuse(ErrorCode::invalid_descriptor, "usage orv_fs_depth needs depth_target as well");
  }
  if (rhi::hasAll(d.usage, ImageUsage::orv_projective) &&
      !rhi::hasAll(d.usage, ImageUsage::color_target)) {
    return refuse(ErrorCode::invalid_descriptor, "usage orv_projective needs color_target as well");
  }
  if (d.dimension != rhi::ImageDimension::dim_2d || d.depth != 1 || d.mip_levels != 1 ||
      d.array_layers != 1) {
    return refuse(ErrorCode::unsupported,
                  "this device holds 2D images of depth 1, one mip level and one array layer");
  }
  if (!isColorFormat(d.format) && !isDepthFormat(d.format)) {
    return refuse(ErrorCode::unsupported,
                  "this device holds images of rgba8_unorm, rgba16_float, rgba32_float and "
                  "depth32_float, not " + std::string(formatName(d.format)));
  }
  return {};
}

Result<void> checkPipelineOptions(const PipelineOptions& options) {
  if (!options.depth_cue.enabled) return {};
  for (const double c : options.depth_cue.coefficients) {
    if (!std::isfinite(c)) {
      return std::unexpected(descriptorFailure("createPipeline", ErrorCode::invalid_descriptor,
                                               "the depth cue's coefficients must be finite"));
    }
  }
  return {};
}

Result<void> checkPipelineDescriptor(const GraphicsPipelineDescriptor& d,
                                     const rhi::DeviceLimits& limits) {
  constexpr std::string_view call = "createPipeline";
  const auto refuse = [&](ErrorCode code, const std::string& what) {
    return std::unexpected(descriptorFailure(call, code, what));
  };
  if (static_cast<std::uint8_t>(d.type) > 2 || static_cast<std::uint8_t>(d.topology) > 5 ||
      !validFormat(d.color_format) || !validFormat(d.depth_format) ||
      !validFormat(d.vertex_format) || static_cast<std::uint8_t>(d.depth.depth_compare) > 7 ||
      static_cast<std::uint8_t>(d.src_color_factor) > 3 ||
      static_cast<std::uint8_t>(d.dst_color_factor) > 3) {
    return refuse(ErrorCode::invalid_descriptor,
                  "the type, topology, a format, the compare op or a blend factor is not one orv "
                  "defines");
  }
  if (d.type != rhi::PipelineType::orv_projective) {
    return refuse(ErrorCode::unsupported,
                  "this device makes orv_projective pipelines only (plain graphics and compute "
                  "pipelines have no shaders here)");
  }
  if (d.vertex_format != Format::homvec4_f64) {
    return refuse(ErrorCode::invalid_descriptor,
                  "a projective pipeline reads homvec4_f64 vertices, not " +
                      std::string(formatName(d.vertex_format)));
  }
  if (!isColorFormat(d.color_format)) {
    return refuse(ErrorCode::invalid_descriptor,
                  "color_format must be rgba8_unorm, rgba16_float or rgba32_float, not " +
                      std::string(formatName(d.color_format)));
  }
  if (d.depth_format != Format::undefined && !isDepthFormat(d.depth_format)) {
    return refuse(ErrorCode::invalid_descriptor, "depth_format must be depth32_float or undefined, not " +
                                                     std::string(formatName(d.depth_format)));
  }
  const bool uses_depth = d.depth.depth_test || d.depth.depth_write;
  if (uses_depth && d.depth_format == Format::undefined) {
    return refuse(ErrorCode::invalid_descriptor,
                  "the depth state tests or writes depth but depth_format is undefined");
  }
  if (uses_depth && !d.depth.fs_depth) {
    return refuse(ErrorCode::invalid_descriptor,
                  "projective pipelines test Fubini-Study depth: set depth.fs_depth");
  }
  if (d.sample_count == 0 || (d.sample_count & (d.sample_count - 1)) != 0) {
    return refuse(ErrorCode::invalid_descriptor,
                  "sample_count " + number(d.sample_count) + " is not a power of two");
  }
  if (d.sample_count > limits.max_sample_count) {
    return refuse(ErrorCode::limit_exceeded, "sample_count " + number(d.sample_count) +
                                                 " is beyond max_sample_count " +
                                                 number(limits.max_sample_count));
  }
  if (d.sample_count != 1) {
    return refuse(ErrorCode::unsupported, "this device renders one sample per pixel");
  }
  if (!(d.point_size > 0.0f) || !(d.line_width > 0.0f)) {
    return refuse(ErrorCode::invalid_descriptor, "point_size and line_width must be above 0");
  }
  if (!(d.point_size <= limits.max_point_size)) {
    return refuse(ErrorCode::limit_exceeded, "point_size " + decimal(d.point_size) +
                                                 " is beyond max_point_size " +
                                                 decimal(limits.max_point_size));
  }
  if (!(d.line_width <= limits.max_line_width)) {
    return refuse(ErrorCode::limit_exceeded, "line_width " + decimal(d.line_width) +
                                                 " is beyond max_line_width " +
                                                 decimal(limits.max_line_width));
  }
  return {};
}

Result<void> checkBufferRange(std::string_view call, BufferId buffer, std::uint64_t size,
                              std::uint64_t offset, std::uint64_t bytes) {
  if (fits(size, offset, bytes)) return {};
  return std::unexpected(failure(
      ErrorCode::invalid_command, std::string(call) + ": " + number(bytes) + " bytes from offset " +
                                      number(offset) + " do not fit " + describe(buffer) +
                                      ", which holds " + number(size) + " bytes"));
}

std::optional<std::uint64_t> imageBytes(const ImageDescriptor& d) noexcept {
  const std::optional<std::uint64_t> texels = product(d.width, d.height);
  return texels ? product(*texels, rhi::size(d.format)) : std::nullopt;
}

Result<void> checkImageReadback(ImageId image, const ImageDescriptor& d, std::size_t bytes) {
  const std::uint64_t needed = imageBytes(d).value_or(0);  // a live image has a size
  if (needed != 0 && bytes == needed) return {};
  return std::unexpected(failure(
      ErrorCode::invalid_command, "readImage: " + describe(image) + " is " + size2d(d) + " " +
                                      std::string(formatName(d.format)) + ", " + number(needed) +
                                      " bytes, but the destination holds " + number(bytes)));
}

// --- frame graph --------------------------------------------------------------------------------

namespace {

// The checks of one pass of a graph, command by command, with the state the commands build up.
class PassChecker {
 public:
  PassChecker(std::uint32_t pass_index, const rhi::FramePass& pass, const ResourceLookup& resources,
              const rhi::DeviceLimits& limits)
      : pass_index_(pass_index), pass_(pass), resources_(resources), limits_(limits) {}

  Result<void> run() {
    if (pass_.commands.size() >= kNoIndex) {
      return fail(ErrorCode::limit_exceeded, "the pass holds " + number(pass_.commands.size()) +
                                                 " commands, more than a 32-bit index counts");
    }
    if (static_cast<std::uint8_t>(pass_.pass_type) > 8) {
      return fail(ErrorCode::invalid_command, "the pass type is not one orv defines");
    }
    for (const ImageId image : pass_.reads) {
      if (resources_.image(image) == nullptr) {
        return fail(ErrorCode::invalid_handle, "reads " + describe(image) + ", which is not live");
      }
    }
    for (const ImageId image : pass_.writes) {
      if (resources_.image(image) == nullptr) {
        return fail(ErrorCode::invalid_handle, "writes " + describe(image) + ", which is not live");
      }
    }
    for (std::size_t i = 0; i < pass_.commands.size(); ++i) {
      command_ = static_cast<std::uint32_t>(i);
      tag_ = pass_.commands[i].tag();
      if (auto checked = std::visit([this](const auto& c) { return check(c); },
                                    pass_.commands[i].payload);
          !checked) {
        return checked;
      }
    }
    if (open_) {
      command_ = begin_command_;
      tag_ = GpuCommand::Tag::begin_pass;
      return fail(ErrorCode::invalid_command, "the render pass it begins has no end_pass in this pass");
    }
    return {};
  }

 private:
  // --- commands -----------------------------------------------------------------------------

  Result<void> check(const GpuCommand::Clear& c) {
    if (open_) {
      const bool none = c.color_attachment == ImageId::invalid();
      if (!none && std::find(colors_.begin(), colors_.end(), c.color_attachment) == colors_.end()) {
        return fail(ErrorCode::invalid_command,
                    describe(c.color_attachment) +
                        " is not a colour attachment of the open render pass (use the invalid "
                        "handle to clear depth only)");
      }
      if (depth_ && !(c.depth >= 0.0f && c.depth <= 1.0f)) {
        return fail(ErrorCode::invalid_command, "depth " + std::to_string(c.depth) + " is outside [0, 1]");
      }
      return {};
    }
    const ImageDescriptor* image = liveImage(c.color_attachment);
    if (image == nullptr) return handleFailure(describe(c.color_attachment));
    if (!rhi::hasAll(image->usage, ImageUsage::color_target) &&
        !rhi::hasAll(image->usage, ImageUsage::transfer_dst)) {
      return fail(ErrorCode::invalid_command,
                  describe(c.color_attachment) +
                      " has neither color_target nor transfer_dst usage and cannot be cleared");
    }
    if (!isColorFormat(image->format)) {
      return fail(ErrorCode::invalid_command,
                  describe(c.color_attachment) +
                      " is a depth image; clear depth inside a render pass that has it as its depth "
                      "attachment");
    }
    return inWrites(c.color_attachment);
  }

  Result<void> check(const GpuCommand::BeginPass& c) {
    if (open_) {
      return fail(ErrorCode::invalid_command, "a render pass is already open since command " +
                                                  number(begin_command_) +
                                                  "; render passes do not nest");
    }
    if (c.color_attachments.size() > limits_.max_color_attachments) {
      return fail(ErrorCode::limit_exceeded,
                  number(c.color_attachments.size()) +
                      " colour attachments are beyond max_color_attachments " +
                      number(limits_.max_color_attachments));
    }
    if (c.color_attachments.empty() && !c.depth_attachment) {
      return fail(ErrorCode::invalid_command, "a render pass needs at least one attachment");
    }
    const ImageDescriptor* first = nullptr;
    ImageId first_id{};
    const auto attach = [&](ImageId id, ImageUsage usage, std::string_view role) -> Result<void> {
      const ImageDescriptor* image = liveImage(id);
      if (image == nullptr) return handleFailure(describe(id));
      if (!rhi::hasAll(image->usage, usage)) {
        return fail(ErrorCode::invalid_command,
                    describe(id) + " is a " + std::string(role) + " attachment but lacks " +
                        (usage == ImageUsage::color_target ? "color_target" : "depth_target") +
                        " usage");
      }
      if (first == nullptr) {
        first = image;
        first_id = id;
      } else if (image->width != first->width || image->height != first->height) {
        return fail(ErrorCode::invalid_command, "attachments differ in size: " + describe(first_id) +
                                                    " is " + size2d(*first) + ", " + describe(id) +
                                                    " is " + size2d(*image));
      }
      return inWrites(id);
    };
    for (std::size_t i = 0; i < c.color_attachments.size(); ++i) {
      const ImageId id = c.color_attachments[i];
      if (std::find(c.color_attachments.begin(), c.color_attachments.begin() + static_cast<std::ptrdiff_t>(i), id) !=
          c.color_attachments.begin() + static_cast<std::ptrdiff_t>(i)) {
        return fail(ErrorCode::invalid_command, describe(id) + " is attached twice");
      }
      if (auto ok = attach(id, ImageUsage::color_target, "colour"); !ok) return ok;
    }
    if (c.depth_attachment) {
      const ImageId id = *c.depth_attachment;
      if (std::find(c.color_attachments.begin(), c.color_attachments.end(), id) !=
          c.color_attachments.end()) {
        return fail(ErrorCode::invalid_command, describe(id) + " is both a colour and the depth attachment");
      }
      if (auto ok = attach(id, ImageUsage::depth_target, "depth"); !ok) return ok;
    }
    open_ = true;
    begin_command_ = command_;
    colors_ = c.color_attachments;
    depth_ = c.depth_attachment;
    width_ = first->width;
    height_ = first->height;
    return {};
  }

  Result<void> check(const GpuCommand::EndPass&) {
    if (!open_) return fail(ErrorCode::invalid_command, "no render pass is open");
    open_ = false;
    return {};
  }

  Result<void> check(const GpuCommand::BindPipeline& c) {
    const GraphicsPipelineDescriptor* pipeline = resources_.pipeline(c);
    if (pipeline == nullptr) return handleFailure(describe(c));
    pipeline_ = pipeline;
    pipeline_id_ = c;
    return {};
  }

  Result<void> check(const GpuCommand::BindVertexBuffer& c) {
    const BufferDescriptor* buffer = liveBuffer(c.buffer);
    if (buffer == nullptr) return handleFailure(describe(c.buffer));
    if (auto ok = bufferType(c.buffer, *buffer, BufferType::vertex, "bind_vertex_buffer"); !ok) return ok;
    if (c.offset % kColorBytes != 0 || c.offset > buffer->size) {
      return fail(ErrorCode::invalid_command, "offset " + number(c.offset) +
                                                  " is not a multiple of 16 within " +
                                                  describe(c.buffer) + " (" + number(buffer->size) +
                                                  " bytes)");
    }
    vertex_ = c.buffer;
    vertex_offset_ = c.offset;
    return {};
  }

  Result<void> check(const GpuCommand::BindUniform& c) {
    const BufferDescriptor* buffer = liveBuffer(c.buffer);
    if (buffer == nullptr) return handleFailure(describe(c.buffer));
    if (auto ok = bufferType(c.buffer, *buffer, BufferType::uniform, "bind_uniform"); !ok) return ok;
    if (c.binding >= limits_.max_uniform_bindings) {
      return fail(ErrorCode::limit_exceeded, "binding " + number(c.binding) +
                                                 " is beyond max_uniform_bindings " +
                                                 number(limits_.max_uniform_bindings));
    }
    if (limits_.min_uniform_offset_alignment != 0 &&
        c.offset % limits_.min_uniform_offset_alignment != 0) {
      return fail(ErrorCode::invalid_command, "offset " + number(c.offset) +
                                                  " is not a multiple of min_uniform_offset_alignment " +
                                                  number(limits_.min_uniform_offset_alignment));
    }
    if (c.size == 0) return fail(ErrorCode::invalid_command, "the bound range is empty");
    if (c.size > limits_.max_uniform_range) {
      return fail(ErrorCode::limit_exceeded, "range of " + number(c.size) +
                                                 " bytes is beyond max_uniform_range " +
                                                 number(limits_.max_uniform_range));
    }
    if (!fits(buffer->size, c.offset, c.size)) {
      return fail(ErrorCode::invalid_command, number(c.size) + " bytes from offset " +
                                                  number(c.offset) + " do not fit " +
                                                  describe(c.buffer) + ", which holds " +
                                                  number(buffer->size) + " bytes");
    }
    if (c.binding == kViewBinding) {
      view_bytes_ = c.size;
      view_buffer_ = c.buffer;
      view_offset_ = c.offset;
      view_.reset();
    }
    return {};
  }

  Result<void> check(const rhi::DrawCommand& c) {
    if (auto ok = drawState(c.pipeline); !ok) return ok;
    if (const std::uint64_t vertices = std::uint64_t{c.index_count} * c.instance_count;
        vertices > limits_.max_draw_vertices) {
      return fail(ErrorCode::limit_exceeded,
                  "index_count " + number(c.index_count) + " x instance_count " +
                      number(c.instance_count) + " = " + number(vertices) +
                      " vertices are beyond max_draw_vertices " + number(limits_.max_draw_vertices));
    }
    const Result<std::uint64_t> positions = positionCount(c.orv_position_buffer);
    if (!positions) return std::unexpected(positions.error());
    if (c.index_buffer == kNoBuffer) {
      if (c.index_count > *positions) {
        return fail(ErrorCode::invalid_command,
                    "index_count " + number(c.index_count) + " without an index buffer reads " +
                        number(c.index_count) + " positions, but " +
                        describe(c.orv_position_buffer) + " holds " + number(*positions));
      }
    } else {
      const BufferDescriptor* index = liveBuffer(c.index_buffer);
      if (index == nullptr) return handleFailure(describe(c.index_buffer));
      if (auto ok = bufferType(c.index_buffer, *index, BufferType::index, "index_buffer"); !ok) return ok;
      if (auto ok = holds(c.index_buffer, *index, c.index_count, kIndexBytes, "index_count"); !ok) {
        return ok;
      }
    }
    if (c.orv_transform_buffer != kNoBuffer) {
      const BufferDescriptor* transforms = liveBuffer(c.orv_transform_buffer);
      if (transforms == nullptr) return handleFailure(describe(c.orv_transform_buffer));
      if (auto ok = bufferType(c.orv_transform_buffer, *transforms, BufferType::orv_transforms,
                               "orv_transform_buffer");
          !ok) {
        return ok;
      }
      if (auto ok = holds(c.orv_transform_buffer, *transforms, c.instance_count, kTransformBytes,
                          "instance_count");
          !ok) {
        return ok;
      }
    }
    // Colours: one per position the draw can reach.
    const std::optional<std::uint64_t> color_bytes = product(*positions, kColorBytes);
    if (c.vertex_buffer != kNoBuffer) {
      const BufferDescriptor* colors = liveBuffer(c.vertex_buffer);
      if (colors == nullptr) return handleFailure(describe(c.vertex_buffer));
      if (auto ok = bufferType(c.vertex_buffer, *colors, BufferType::vertex, "vertex_buffer"); !ok) return ok;
      if (!color_bytes || *color_bytes > colors->size) {
        return fail(ErrorCode::invalid_command, describe(c.vertex_buffer) + " holds " +
                                                    number(colors->size / kColorBytes) +
                                                    " colours, fewer than the " + number(*positions) +
                                                    " positions of " +
                                                    describe(c.orv_position_buffer));
      }
    } else if (vertex_) {
      const BufferDescriptor* colors = liveBuffer(*vertex_);  // live: checked when bound
      if (!color_bytes || !fits(colors->size, vertex_offset_, *color_bytes)) {
        return fail(ErrorCode::invalid_command,
                    "the bound " + describe(*vertex_) + " holds " +
                        number((colors->size - vertex_offset_) / kColorBytes) +
                        " colours from offset " + number(vertex_offset_) + ", fewer than the " +
                        number(*positions) + " positions of " + describe(c.orv_position_buffer));
      }
    }
    return {};
  }

  Result<void> check(const GpuCommand::Dispatch& c) {
    return fail(ErrorCode::unsupported, "dispatch of " + describe(c.pipeline) +
                                            ": devices make no compute pipelines");
  }

  Result<void> check(const GpuCommand::OrvUploadPgl4& c) {
    return upload(c.buffer, BufferType::orv_transforms, c.transforms.size(), kTransformBytes);
  }

  Result<void> check(const GpuCommand::OrvUploadPositions& c) {
    return upload(c.buffer, BufferType::orv_positions, c.positions.size(), kPositionBytes);
  }

  Result<void> check(const GpuCommand::OrvComputeFsDistance& c) {
    if (open_) return outsideRenderPass();
    for (const BufferId id : {c.positions_a, c.positions_b}) {
      const Result<std::uint64_t> positions = positionCount(id);
      if (!positions) return std::unexpected(positions.error());
      if (c.count > *positions) {
        return fail(ErrorCode::invalid_command, "count " + number(c.count) + " is beyond the " +
                                                    number(*positions) + " positions of " +
                                                    describe(id));
      }
    }
    const BufferDescriptor* results = liveBuffer(c.results);
    if (results == nullptr) return handleFailure(describe(c.results));
    if (auto ok = bufferType(c.results, *results, BufferType::storage, "results"); !ok) return ok;
    return holds(c.results, *results, c.count, kDistanceBytes, "count");
  }

  Result<void> check(const GpuCommand::OrvRenderGeodesics& c) {
    if (auto ok = drawState(pipeline_ != nullptr ? pipeline_id_ : PipelineId{}); !ok) return ok;
    const Result<std::uint64_t> positions = positionCount(c.positions);
    if (!positions) return std::unexpected(positions.error());
    if (c.count > *positions) {
      return fail(ErrorCode::invalid_command, "count " + number(c.count) + " is beyond the " +
                                                  number(*positions) + " positions of " +
                                                  describe(c.positions));
    }
    return {};
  }

  // --- shared checks --------------------------------------------------------------------------

  // What a draw needs: an open render pass, the bound pipeline (the one named), attachments of its
  // formats and a ViewUniform at binding 0.
  Result<void> drawState(PipelineId named) {
    if (!open_) {
      return fail(ErrorCode::invalid_command, "draws run inside a render pass (begin_pass ... end_pass)");
    }
    if (pipeline_ == nullptr) return fail(ErrorCode::invalid_command, "no pipeline is bound");
    if (!(named == pipeline_id_)) {
      return fail(ErrorCode::invalid_command, "names " + describe(named) + " but " +
                                                  describe(pipeline_id_) + " is bound");
    }
    for (const ImageId id : colors_) {
      const ImageDescriptor* image = liveImage(id);  // live: checked at begin_pass
      if (image->format != pipeline_->color_format) {
        return fail(ErrorCode::invalid_command,
                    describe(pipeline_id_) + " renders " +
                        std::string(formatName(pipeline_->color_format)) + " but colour attachment " +
                        describe(id) + " is " + std::string(formatName(image->format)));
      }
    }
    const Format depth = depth_ ? liveImage(*depth_)->format : Format::undefined;
    if (depth != pipeline_->depth_format) {
      return fail(ErrorCode::invalid_command,
                  describe(pipeline_id_) + " has depth format " +
                      std::string(formatName(pipeline_->depth_format)) +
                      " but the render pass's depth attachment is " +
                      (depth_ ? std::string(formatName(depth)) : std::string("absent")));
    }
    if (view_bytes_ < sizeof(ViewUniform)) {
      return fail(ErrorCode::invalid_command,
                  "projective pipelines read a ViewUniform (" + number(sizeof(ViewUniform)) +
                      " bytes) at uniform binding 0; " +
                      (view_bytes_ == 0 ? std::string("none is bound")
                                        : "only " + number(view_bytes_) + " bytes are bound"));
    }
    return viewFits();
  }

  // The bound ViewUniform must map onto the render pass it draws into: finite numbers, and the
  // attachments' size. It is read once per binding, and what is read is what the draws see when
  // the graph runs: no command writes a uniform buffer (uploads write positions and transforms,
  // distance computations a storage buffer), and nothing else runs while a graph does.
  Result<void> viewFits() {
    if (!view_) {
      std::array<std::byte, sizeof(ViewUniform)> bytes{};
      if (auto read = resources_.read(view_buffer_, view_offset_, bytes); !read) {
        return fail(read.error().code, "reading the bound ViewUniform failed: " + read.error().message);
      }
      view_ = std::bit_cast<ViewUniform>(bytes);
    }
    const std::string where = "the ViewUniform at offset " + number(view_offset_) + " of " +
                              describe(view_buffer_) + ", bound at binding 0,";
    const auto numbers =
        std::bit_cast<std::array<double, sizeof(ViewUniform) / sizeof(double)>>(*view_);
    if (!std::all_of(numbers.begin(), numbers.end(), [](double v) { return std::isfinite(v); })) {
      return fail(ErrorCode::invalid_command, where + " holds a number that is not finite");
    }
    if (view_->width != width_ || view_->height != height_) {
      return fail(ErrorCode::invalid_command,
                  where + " maps onto a " + decimal(view_->width) + "x" + decimal(view_->height) +
                      " image, but the render pass's attachments are " + number(width_) + "x" +
                      number(height_) +
                      (view_->width == 0 && view_->height == 0 ? " (a view never written is all 0)"
                                                               : ""));
    }
    return {};
  }

  Result<void> upload(BufferId id, BufferType type, std::size_t count, std::uint64_t element) {
    if (open_) return outsideRenderPass();
    const BufferDescriptor* buffer = liveBuffer(id);
    if (buffer == nullptr) return handleFailure(describe(id));
    if (auto ok = bufferType(id, *buffer, type, "buffer"); !ok) return ok;
    return holds(id, *buffer, count, element, "the array");
  }

  // The number of positions a live projective position buffer holds.
  Result<std::uint64_t> positionCount(BufferId id) {
    const BufferDescriptor* buffer = liveBuffer(id);
    if (buffer == nullptr) return std::unexpected(handleFailure(describe(id)).error());
    if (auto ok = bufferType(id, *buffer, BufferType::orv_positions, "positions"); !ok) {
      return std::unexpected(ok.error());
    }
    return buffer->size / kPositionBytes;
  }

  Result<void> holds(BufferId id, const BufferDescriptor& buffer, std::uint64_t count,
                     std::uint64_t element, std::string_view what) {
    const std::optional<std::uint64_t> bytes = product(count, element);
    if (bytes && *bytes <= buffer.size) return {};
    return fail(ErrorCode::invalid_command,
                std::string(what) + " of " + number(count) + " needs " +
                    (bytes ? number(*bytes) : std::string("more than 2^64")) + " bytes but " +
                    describe(id) + " holds " + number(buffer.size));
  }

  Result<void> bufferType(BufferId id, const BufferDescriptor& buffer, BufferType type,
                          std::string_view role) {
    if (buffer.type == type) return {};
    return fail(ErrorCode::invalid_command,
                std::string(role) + " " + describe(id) + " is a " +
                    std::string(bufferTypeName(buffer.type)) + " buffer, not " +
                    std::string(bufferTypeName(type)));
  }

  Result<void> inWrites(ImageId id) {
    if (std::find(pass_.writes.begin(), pass_.writes.end(), id) != pass_.writes.end()) return {};
    return fail(ErrorCode::invalid_command, describe(id) + " is written but not listed in the pass's writes");
  }

  Result<void> outsideRenderPass() {
    return fail(ErrorCode::invalid_command,
                "copies and computations run outside render passes; this one is inside the render "
                "pass begun at command " + number(begin_command_));
  }

  const BufferDescriptor* liveBuffer(BufferId id) const { return resources_.buffer(id); }
  const ImageDescriptor* liveImage(ImageId id) const { return resources_.image(id); }

  Result<void> handleFailure(const std::string& what) {
    return fail(ErrorCode::invalid_handle,
                what + " is not a live resource of this device (never made, or destroyed)");
  }

  std::unexpected<Failure> fail(ErrorCode code, const std::string& what) const {
    std::string message = "pass " + number(pass_index_) + " " + quoted(pass_.name);
    std::uint32_t command = kNoIndex;
    if (command_ != kNoIndex) {
      command = command_;
      message += ", command " + number(command_) + " (" + std::string(commandName(tag_)) + ")";
    }
    message += ": " + what;
    return std::unexpected(Failure{code, pass_index_, command, std::move(message)});
  }

  std::uint32_t pass_index_;
  const rhi::FramePass& pass_;
  const ResourceLookup& resources_;
  const rhi::DeviceLimits& limits_;

  std::uint32_t command_ = kNoIndex;
  GpuCommand::Tag tag_ = GpuCommand::Tag::clear;

  bool open_ = false;
  std::uint32_t begin_command_ = 0;
  std::span<const ImageId> colors_;
  std::optional<ImageId> depth_;
  const GraphicsPipelineDescriptor* pipeline_ = nullptr;
  PipelineId pipeline_id_{};
  std::optional<BufferId> vertex_;
  std::uint64_t vertex_offset_ = 0;
  std::uint32_t width_ = 0;  // of the open render pass's attachments
  std::uint32_t height_ = 0;
  std::uint64_t view_bytes_ = 0;
  BufferId view_buffer_{};
  std::uint64_t view_offset_ = 0;
  std::optional<ViewUniform> view_;  // read at the first draw after it was bound
};

}  // namespace

Result<void> validateGraph(const rhi::FrameGraph& graph, const ResourceLookup& resources,
                           const rhi::DeviceLimits& limits) {
  const std::span<const rhi::FramePass> passes = graph.passes();
  for (std::size_t i = 0; i < passes.size(); ++i) {
    PassChecker checker(static_cast<std::uint32_t>(i), passes[i], resources, limits);
    if (auto checked = checker.run(); !checked) return checked;
  }
  return {};
}

// --- names --------------------------------------------------------------------------------------

std::string_view formatName(Format format) noexcept {
  switch (format) {
    case Format::undefined: return "undefined";
    case Format::r8_unorm: return "r8_unorm";
    case Format::rg8_unorm: return "rg8_unorm";
    case Format::rgba8_unorm: return "rgba8_unorm";
    case Format::rgba8_srgb: return "rgba8_srgb";
    case Format::r16_float: return "r16_float";
    case Format::rg16_float: return "rg16_float";
    case Format::rgba16_float: return "rgba16_float";
    case Format::r32_float: return "r32_float";
    case Format::rg32_float: return "rg32_float";
    case Format::rgb32_float: return "rgb32_float";
    case Format::rgba32_float: return "rgba32_float";
    case Format::r32_uint: return "r32_uint";
    case Format::rg32_uint: return "rg32_uint";
    case Format::rgba32_uint: return "rgba32_uint";
    case Format::depth16_unorm: return "depth16_unorm";
    case Format::depth24_unorm_stencil8_uint: return "depth24_unorm_stencil8_uint";
    case Format::depth32_float: return "depth32_float";
    case Format::depth32_float_stencil8_uint: return "depth32_float_stencil8_uint";
    case Format::homvec4_f64: return "homvec4_f64";
    case Format::pgl4_f64: return "pgl4_f64";
  }
  return "unknown format";
}

std::string_view commandName(GpuCommand::Tag tag) noexcept {
  using Tag = GpuCommand::Tag;
  switch (tag) {
    case Tag::clear: return "clear";
    case Tag::begin_pass: return "begin_pass";
    case Tag::end_pass: return "end_pass";
    case Tag::bind_pipeline: return "bind_pipeline";
    case Tag::bind_vertex_buffer: return "bind_vertex_buffer";
    case Tag::bind_uniform: return "bind_uniform";
    case Tag::draw_indexed: return "draw_indexed";
    case Tag::dispatch: return "dispatch";
    case Tag::orv_upload_pgl4: return "orv_upload_pgl4";
    case Tag::orv_upload_positions: return "orv_upload_positions";
    case Tag::orv_compute_fs_distance: return "orv_compute_fs_distance";
    case Tag::orv_render_geodesics: return "orv_render_geodesics";
  }
  return "unknown command";
}

std::string_view passTypeName(rhi::PassType type) noexcept {
  using rhi::PassType;
  switch (type) {
    case PassType::clear: return "clear";
    case PassType::geometry: return "geometry";
    case PassType::lighting: return "lighting";
    case PassType::post_process: return "post_process";
    case PassType::ui: return "ui";
    case PassType::orv_geodesic: return "orv_geodesic";
    case PassType::orv_fs_compute: return "orv_fs_compute";
    case PassType::orv_idempotent: return "orv_idempotent";
    case PassType::orv_dehomogenize: return "orv_dehomogenize";
  }
  return "unknown pass type";
}

std::string describe(BufferId id) {
  return "buffer " + number(id.id) + ":" + number(id.generation);
}

std::string describe(ImageId id) { return "image " + number(id.id) + ":" + number(id.generation); }

std::string describe(PipelineId id) {
  return "pipeline " + number(pipelineSlot(id.number)) + ":" +
         number(pipelineGeneration(id.number));
}

std::string quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (byte < 0x20 || byte >= 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

}  // namespace orv::device::detail
