#include "recording.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>

#include "cpu_raster.hpp"
#include "validation.hpp"

namespace orv::vulkan::detail {

using device::Result;
using orv::device::detail::handleOf;
using rhi::BufferId;
using rhi::Format;
using rhi::GpuCommand;
using rhi::ImageId;

namespace {

/// The most points one draw call of the fast path draws (see Recorder::Run::draw).
constexpr std::uint64_t kPointRun = 1024;

// The clear value that stores exactly the texel the CPU device stores for `color` in `format`:
// the texel converted back to floats, which every conversion to the format keeps as they are.
VkClearColorValue clearValue(Format format, const device::detail::Rgba& color) noexcept {
  std::array<std::byte, 16> texel{};
  device::detail::storeColor(texel.data(), format, 0, color);
  const device::detail::Rgba exact = device::detail::loadColor(texel.data(), format, 0);
  VkClearColorValue value{};
  std::copy(exact.begin(), exact.end(), value.float32);
  return value;
}

// The primitives a draw of `count` indices makes with `topology`, as the CPU device counts them.
std::uint64_t primitiveCount(rhi::PrimitiveTopology topology, std::uint32_t count) noexcept {
  using rhi::PrimitiveTopology;
  switch (topology) {
    case PrimitiveTopology::point_list: return count;
    case PrimitiveTopology::line_list:
    case PrimitiveTopology::geodesic_list: return count / 2;
    case PrimitiveTopology::line_strip: return count >= 2 ? count - 1 : 0;
    case PrimitiveTopology::triangle_list: return count / 3;
    case PrimitiveTopology::triangle_strip: return count >= 3 ? count - 2 : 0;
  }
  return 0;
}

bool isStrip(rhi::PrimitiveTopology topology) noexcept {
  return topology == rhi::PrimitiveTopology::line_strip ||
         topology == rhi::PrimitiveTopology::triangle_strip;
}

std::uint64_t stagedSize(std::uint64_t bytes) noexcept { return (bytes + 15) & ~std::uint64_t{15}; }

VkRenderingAttachmentInfo attachment(VkImageView view) noexcept {
  VkRenderingAttachmentInfo info{};
  info.sType = VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO;
  info.imageView = view;
  info.imageLayout = VK_IMAGE_LAYOUT_GENERAL;
  info.loadOp = VK_ATTACHMENT_LOAD_OP_LOAD;
  info.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
  return info;
}

// Whether `command` begins a pass on the attachments of `open`, so that it may go on drawing in
// the same Vulkan rendering: in one rendering the GPU keeps the order of draws and clears on each
// pixel by itself, where two would need a barrier between them (a wait for all the work before on
// some devices, Mesa's software device among them).
bool continues(const GpuCommand::BeginPass& open, const GpuCommand& command) noexcept {
  const auto* begin = std::get_if<GpuCommand::BeginPass>(&command.payload);
  return begin != nullptr && begin->depth_attachment == open.depth_attachment &&
         std::equal(begin->color_attachments.begin(), begin->color_attachments.end(),
                    open.color_attachments.begin(), open.color_attachments.end());
}

std::uint32_t storeFlags(const rhi::GraphicsPipelineDescriptor& desc) noexcept {
  if (!desc.blend_enabled && desc.color_format == Format::rgba8_unorm) return kStoreUnorm8;
  if (!desc.blend_enabled && desc.color_format == Format::rgba16_float) return kStoreHalf;
  return 0;
}

}  // namespace

void barrier(const Api& vk, VkCommandBuffer cmd) noexcept {
  VkMemoryBarrier all{};
  all.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
  all.srcAccessMask = VK_ACCESS_MEMORY_WRITE_BIT;
  all.dstAccessMask = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT;
  vk.vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT,
                          VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, 0, 1, &all, 0, nullptr, 0, nullptr);
}

void relayout(const Api& vk, VkCommandBuffer cmd, VkImage image, bool depth, VkImageLayout from,
              VkImageLayout to) noexcept {
  VkImageMemoryBarrier barrier{};
  barrier.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  barrier.srcAccessMask = VK_ACCESS_MEMORY_WRITE_BIT;
  barrier.dstAccessMask = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT;
  barrier.oldLayout = from;
  barrier.newLayout = to;
  barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  barrier.image = image;
  barrier.subresourceRange = wholeImage(depth);
  vk.vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT,
                          VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, 0, 0, nullptr, 0, nullptr, 1,
                          &barrier);
}

void toHost(const Api& vk, VkCommandBuffer cmd) noexcept {
  VkMemoryBarrier host{};
  host.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
  host.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  host.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
  vk.vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 1,
                          &host, 0, nullptr, 0, nullptr);
}

/// The recorder of one graph, and where it is being recorded: the frame, what the graph needs of
/// a frame, how far the frame's staging and views are filled, how many parts of the graph have
/// run, the state of the pass, and the attachments of the Vulkan rendering left open after the
/// last pass ended (see apply(EndPass)), if one is.
class Recorder::Run : Recorder {
 public:
  explicit Run(const Recorder& recorder) noexcept : Recorder(recorder) {}

  // Before anything is recorded: a pipeline for every draw's render pass, and what the graph
  // needs of its frames. Failing here leaves every resource as it was.
  Result<void> prepare(const rhi::FrameGraph& graph) {
    for (const rhi::FramePass& pass : graph.passes()) {
      std::uint32_t colors = 0;
      GpuPipeline* bound = nullptr;
      for (const GpuCommand& command : pass.commands) {
        if (const auto* begin = std::get_if<GpuCommand::BeginPass>(&command.payload)) {
          colors = static_cast<std::uint32_t>(begin->color_attachments.size());
        } else if (const auto* pipe = std::get_if<GpuCommand::BindPipeline>(&command.payload)) {
          bound = pipelines_table_.find(handleOf(*pipe));
        } else if (command.tag() == GpuCommand::Tag::draw_indexed ||
                   command.tag() == GpuCommand::Tag::orv_render_geodesics) {
          const auto* draw = std::get_if<rhi::DrawCommand>(&command.payload);
          const rhi::PrimitiveTopology topology =
              draw != nullptr ? bound->desc.topology : rhi::PrimitiveTopology::geodesic_list;
          const bool moved = draw != nullptr && !(draw->orv_transform_buffer == BufferId{0, 0});
          if (auto ok = variant(*bound, colors, pipelines_.kindOf(bound->desc, topology), moved);
              !ok) {
            return std::unexpected(ok.error());
          }
          ++needs_.views;
        } else if (const auto* points =
                       std::get_if<GpuCommand::OrvUploadPositions>(&command.payload)) {
          needs_.staging = std::min(needs_.staging + stagedSize(points->positions.size_bytes()),
                                    submission_.transferChunk());
        } else if (const auto* moves = std::get_if<GpuCommand::OrvUploadPgl4>(&command.payload)) {
          needs_.staging = std::min(needs_.staging + stagedSize(moves->transforms.size_bytes()),
                                    submission_.transferChunk());
        }
      }
    }
    return {};
  }

  // Records the validated `graph` from its start, after prepare(). Its uploads pass through the
  // frame's staging; when that is full, what is recorded is submitted, and recording goes on in
  // the next frame.
  Result<void> record(const rhi::FrameGraph& graph) {
    auto frame = submission_.beginFrame("execute", needs_.staging, needs_.views);
    if (!frame) return std::unexpected(frame.error());
    frame_ = *frame;
    for (const rhi::FramePass& pass : graph.passes()) {
      pass_ = PassState{};
      for (const GpuCommand& command : pass.commands) {
        if (rendering_ && !pass_.open && !continues(*rendering_, command)) endRendering();
        auto ok = std::visit(
            [&](const auto& c) -> Result<void> {
              if constexpr (std::is_void_v<decltype(apply(c))>) {
                apply(c);
                return {};
              } else {
                return apply(c);
              }
            },
            command.payload);
        if (!ok) return ok;
      }
    }
    if (rendering_) endRendering();
    return {};
  }

  /// The frame being recorded into, once record() has begun one.
  [[nodiscard]] Frame* frame() const noexcept { return frame_; }
  /// How many parts of the graph have been submitted.
  [[nodiscard]] std::uint32_t submitted() const noexcept { return submitted_; }

 private:
  // What a graph needs of its frames.
  struct Needs {
    std::uint64_t staging = 0;  ///< bytes of uploads, at most one transfer chunk
    std::uint64_t views = 0;    ///< draws, each with its view
  };

  // What the commands of one pass have set up so far.
  struct PassState {
    bool open = false;
    std::span<const ImageId> colors;
    bool depth = false;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    GpuPipeline* pipeline = nullptr;
    VkDeviceAddress vertex_colors = 0;  // the bound vertex buffer at its offset, or 0
    const GpuBuffer* view_buffer = nullptr;  // the buffer bound at binding 0, and where
    std::uint64_t view_offset = 0;
  };

  // What a draw reads: the buffers, and the flags saying which are there.
  struct DrawInputs {
    VkDeviceAddress positions = 0;
    std::uint32_t position_count = 0;
    VkDeviceAddress indices = 0;
    VkDeviceAddress transforms = 0;
    VkDeviceAddress colors = 0;
    std::uint32_t flags = 0;
    std::array<float, 4> color{1.0f, 1.0f, 1.0f, 1.0f};
  };

  // The Vulkan pipeline of `p` drawing primitives of `kind` in render passes of `colors` colour
  // attachments, `moved` by transforms or not (on the fast path; the exact path has one for
  // both), made when first asked for.
  Result<VkPipeline> variant(GpuPipeline& p, std::uint32_t colors, Kind kind, bool moved) {
    moved = moved && !pipelines_.exact();
    VkPipeline& made = p.variants[colors][kind][moved ? 1 : 0];
    if (made != VK_NULL_HANDLE) return made;
    auto created = submission_.track(pipelines_.make(p.desc, p.options, colors, kind, moved));
    if (created) made = *created;
    return created;
  }

  VkCommandBuffer cmd() const noexcept { return frame_->commands; }

  void endRendering() {
    vk_.vkCmdEndRendering(cmd());
    rendering_.reset();
  }

  void apply(const GpuCommand::Clear& c) {
    const device::detail::Rgba color{c.r, c.g, c.b, c.a};
    if (!pass_.open) {
      const GpuImage& image = *images_.find(handleOf(c.color_attachment));
      barrier(vk_, cmd());
      const VkClearColorValue value = clearValue(image.desc.format, color);
      const VkImageSubresourceRange range = wholeImage(false);
      vk_.vkCmdClearColorImage(cmd(), image.image, VK_IMAGE_LAYOUT_GENERAL, &value, 1, &range);
      return;
    }
    std::array<VkClearAttachment, 2> clears{};
    std::uint32_t count = 0;
    const auto at = std::find(pass_.colors.begin(), pass_.colors.end(), c.color_attachment);
    if (at != pass_.colors.end()) {
      const Format format = images_.find(handleOf(c.color_attachment))->desc.format;
      clears[count++] = {VK_IMAGE_ASPECT_COLOR_BIT,
                         static_cast<std::uint32_t>(at - pass_.colors.begin()),
                         VkClearValue{clearValue(format, color)}};
    }
    if (pass_.depth) {
      VkClearValue depth{};
      depth.depthStencil = {c.depth, 0};
      clears[count++] = {VK_IMAGE_ASPECT_DEPTH_BIT, 0, depth};
    }
    const VkClearRect rect{{{0, 0}, {pass_.width, pass_.height}}, 0, 1};
    if (count > 0) vk_.vkCmdClearAttachments(cmd(), count, clears.data(), 1, &rect);
  }

  void apply(const GpuCommand::BeginPass& c) {
    std::array<VkRenderingAttachmentInfo, kMaxColorAttachments> colors{};
    for (std::size_t i = 0; i < c.color_attachments.size(); ++i) {
      const GpuImage& image = *images_.find(handleOf(c.color_attachments[i]));
      colors[i] = attachment(image.view);
      pass_.width = image.desc.width;
      pass_.height = image.desc.height;
    }
    VkRenderingAttachmentInfo depth{};
    if (c.depth_attachment) {
      const GpuImage& image = *images_.find(handleOf(*c.depth_attachment));
      depth = attachment(image.view);
      pass_.width = image.desc.width;
      pass_.height = image.desc.height;
    }
    pass_.open = true;
    pass_.colors = c.color_attachments;
    pass_.depth = c.depth_attachment.has_value();
    if (rendering_) return;  // the last pass's rendering goes on (see continues())
    rendering_ = c;
    barrier(vk_, cmd());
    VkRenderingInfo info{};
    info.sType = VK_STRUCTURE_TYPE_RENDERING_INFO;
    info.renderArea = {{0, 0}, {pass_.width, pass_.height}};
    info.layerCount = 1;
    info.colorAttachmentCount = static_cast<std::uint32_t>(c.color_attachments.size());
    info.pColorAttachments = colors.data();
    info.pDepthAttachment = pass_.depth ? &depth : nullptr;
    vk_.vkCmdBeginRendering(cmd(), &info);
    const VkViewport viewport{
        0.0f, 0.0f, static_cast<float>(pass_.width), static_cast<float>(pass_.height),
        0.0f, 1.0f};
    const VkRect2D scissor{{0, 0}, {pass_.width, pass_.height}};
    vk_.vkCmdSetViewport(cmd(), 0, 1, &viewport);
    vk_.vkCmdSetScissor(cmd(), 0, 1, &scissor);
  }

  // The rendering stays open until a command that does not begin a pass on the same attachments
  // (see record()).
  void apply(const GpuCommand::EndPass&) { pass_.open = false; }

  void apply(const GpuCommand::BindPipeline& c) {
    pass_.pipeline = pipelines_table_.find(handleOf(c));
  }

  void apply(const GpuCommand::BindVertexBuffer& c) {
    pass_.vertex_colors = buffers_.find(handleOf(c.buffer))->address + c.offset;
  }

  void apply(const GpuCommand::BindUniform& c) {
    if (c.binding != device::detail::kViewBinding) return;  // nothing here reads other bindings
    pass_.view_buffer = buffers_.find(handleOf(c.buffer));
    pass_.view_offset = c.offset;
  }

  void apply(const rhi::DrawCommand& c) {
    constexpr BufferId kNone{0, 0};
    const GpuBuffer& positions = *buffers_.find(handleOf(c.orv_position_buffer));
    const rhi::PrimitiveTopology topology = pass_.pipeline->desc.topology;
    DrawInputs in = inputs(positions);
    if (isStrip(topology)) in.flags |= kStrip;
    if (!(c.index_buffer == kNone)) {
      in.indices = buffers_.find(handleOf(c.index_buffer))->address;
      in.flags |= kIndexed;
    }
    if (!(c.orv_transform_buffer == kNone)) {
      in.transforms = buffers_.find(handleOf(c.orv_transform_buffer))->address;
      in.flags |= kTransformed;
    }
    in.colors = !(c.vertex_buffer == kNone) ? buffers_.find(handleOf(c.vertex_buffer))->address
                                            : pass_.vertex_colors;
    if (in.colors != 0) in.flags |= kColored;
    draw(in, pipelines_.kindOf(pass_.pipeline->desc, topology),
         primitiveCount(topology, c.index_count), c.instance_count);
  }

  void apply(const GpuCommand::Dispatch&) {}  // refused

  Result<void> apply(const GpuCommand::OrvUploadPgl4& c) {
    return upload(c.buffer, std::as_bytes(c.transforms));
  }

  Result<void> apply(const GpuCommand::OrvUploadPositions& c) {
    return upload(c.buffer, std::as_bytes(c.positions));
  }

  void apply(const GpuCommand::OrvComputeFsDistance& c) {
    if (c.count == 0) return;
    barrier(vk_, cmd());
    vk_.vkCmdBindPipeline(cmd(), VK_PIPELINE_BIND_POINT_COMPUTE, pipelines_.distancePipeline());
    DistanceConstants constants{buffers_.find(handleOf(c.positions_a))->address,
                                buffers_.find(handleOf(c.positions_b))->address,
                                buffers_.find(handleOf(c.results))->address, 0, c.count};
    const std::uint64_t groups = (std::uint64_t{c.count} + kDistanceGroup - 1) / kDistanceGroup;
    const std::uint64_t most = limits_.max_compute_group_count;
    for (std::uint64_t first = 0; first < groups; first += most) {
      constants.first = static_cast<std::uint32_t>(first * kDistanceGroup);
      vk_.vkCmdPushConstants(cmd(), pipelines_.distanceLayout(), VK_SHADER_STAGE_COMPUTE_BIT, 0,
                             sizeof(constants), &constants);
      vk_.vkCmdDispatch(cmd(), static_cast<std::uint32_t>(std::min(most, groups - first)), 1, 1);
    }
  }

  void apply(const GpuCommand::OrvRenderGeodesics& c) {
    DrawInputs in = inputs(*buffers_.find(handleOf(c.positions)));
    in.flags |= kStrip;
    in.color = {c.color_r, c.color_g, c.color_b, 1.0f};
    draw(in, kGeodesics, c.count >= 2 ? c.count - 1 : 0, 1);
  }

  // What every draw of the pipeline of `state` shares: positions, how colours are stored, white.
  static DrawInputs inputs(const GpuBuffer& positions) noexcept {
    DrawInputs in;
    in.positions = positions.address;
    in.position_count = static_cast<std::uint32_t>(positions.desc.size / sizeof(kernel::HomVec4));
    return in;
  }

  // Draws `primitives` primitives of `kind` of `instances` instances: one vkCmdDraw when their
  // vertices fit its 32-bit count, else runs of primitives, instance by instance so that instances
  // stay in order.
  void draw(const DrawInputs& in, Kind kind, std::uint64_t primitives, std::uint32_t instances) {
    const rhi::GraphicsPipelineDescriptor& desc = pass_.pipeline->desc;
    // The constants of either path; only the first and the primitive change between runs.
    DrawConstants exact{};
    FastConstants fast{};
    // The view of this draw, in the frame's ring: the host's copy of the uniform buffer as it is
    // now, so that a later writeBuffer to the uniform cannot reach a draw still in flight.
    const std::byte* bound_view = pass_.view_buffer->host.data() + pass_.view_offset;
    const std::uint64_t view_offset = views_ * submission_.viewSize();
    const VkDeviceAddress view_address = frame_->views.address + view_offset;
    std::byte* view_bytes = frame_->views.mapped + view_offset;
    ++views_;
    if (pipelines_.exact()) {
      std::memcpy(view_bytes, bound_view, sizeof(device::ViewUniform));
      exact = {view_address,
               in.positions,
               in.indices,
               in.transforms,
               in.colors,
               in.position_count,
               in.flags | storeFlags(desc),
               0,
               pass_.width,
               pass_.height,
               desc.point_size,
               desc.line_width,
               {},
               in.color};
    } else {
      // In single precision.
      device::ViewUniform view{};
      std::memcpy(&view, bound_view, sizeof(view));
      const FastView fast_view = FastView::of(view, desc);
      std::memcpy(view_bytes, &fast_view, sizeof(FastView));
      fast = {in.positions,
              in.indices,
              in.transforms,
              in.colors,
              in.position_count,
              in.flags,  // the GPU's conversion stores the colour
              0,
              {},
              in.color};
    }
    if (primitives == 0 || instances == 0) return;
    const bool moved = in.transforms != 0 && !pipelines_.exact();
    const auto& made = pass_.pipeline->variants[pass_.colors.size()][kind];  // by prepare()
    vk_.vkCmdBindPipeline(cmd(), VK_PIPELINE_BIND_POINT_GRAPHICS, made[moved ? 1 : 0]);
    if (!pipelines_.exact()) {
      const auto offset = static_cast<std::uint32_t>(view_offset);
      vk_.vkCmdBindDescriptorSets(cmd(), VK_PIPELINE_BIND_POINT_GRAPHICS,
                                  pipelines_.rasterLayout(), 0, 1, &frame_->view_set, 1, &offset);
    }
    const std::uint32_t per = pipelines_.verticesPerPrimitive(kind);
    // The fast path's points go in runs of kPointRun: Mesa's software device, where a batch of
    // points holds one out of view, goes over all the vertices of the draw so far each time it
    // passes a batch on, so that its cost grows faster than the draw (on the demo's frame, runs of
    // 1024 took its clipping code from 18% of the samples of its thread to 13%). A GPU pays a few
    // more draw calls.
    const std::uint64_t most =
        !pipelines_.exact() && kind == kPoints ? kPointRun : UINT32_MAX / per;
    const auto run = [&](std::uint64_t first, std::uint64_t count, std::uint32_t instance_count,
                         std::uint32_t first_instance) {
      exact.first_primitive = static_cast<std::uint32_t>(first);
      fast.first_primitive = static_cast<std::uint32_t>(first);
      const void* constants = pipelines_.exact() ? static_cast<const void*>(&exact) : &fast;
      vk_.vkCmdPushConstants(cmd(), pipelines_.rasterLayout(),
                             VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0,
                             pipelines_.rasterConstantsSize(), constants);
      vk_.vkCmdDraw(cmd(), static_cast<std::uint32_t>(count * per), instance_count, 0,
                    first_instance);
    };
    if (primitives <= most) {
      run(0, primitives, instances, 0);
      return;
    }
    for (std::uint32_t instance = 0; instance < instances; ++instance) {
      for (std::uint64_t first = 0; first < primitives; first += most) {
        run(first, std::min(most, primitives - first), 1, instance);
      }
    }
  }

  // Copies `bytes` to the start of `target` through the frame's staging (made by beginFrame()),
  // in as many pieces as it takes. Uploads run outside render passes, so a full staging buffer
  // can be emptied by submitting what is recorded so far.
  Result<void> upload(BufferId target, std::span<const std::byte> bytes) {
    const VkBuffer buffer = buffers_.find(handleOf(target))->buffer;
    for (std::uint64_t done = 0; done < bytes.size();) {
      if (staged_ >= frame_->staging.size) {
        if (auto ok = submission_.submitFrame("execute", *frame_, false); !ok) return ok;
        ++submitted_;
        auto frame = submission_.beginFrame("execute", needs_.staging, needs_.views);
        if (!frame) return std::unexpected(frame.error());
        frame_ = *frame;
        staged_ = 0;
        views_ = 0;
      }
      const std::uint64_t piece = std::min(bytes.size() - done, frame_->staging.size - staged_);
      std::memcpy(frame_->staging.mapped + staged_, bytes.data() + done, piece);
      barrier(vk_, cmd());
      const VkBufferCopy region{staged_, done, piece};
      vk_.vkCmdCopyBuffer(cmd(), frame_->staging.buffer, buffer, 1, &region);
      staged_ = stagedSize(staged_ + piece);
      done += piece;
    }
    return {};
  }

  Frame* frame_ = nullptr;
  Needs needs_;
  std::uint64_t staged_ = 0;
  std::uint64_t views_ = 0;
  std::uint32_t submitted_ = 0;
  PassState pass_;
  std::optional<GpuCommand::BeginPass> rendering_;
};

Result<void> Recorder::run(const rhi::FrameGraph& graph) {
  Run run(*this);
  if (auto ok = run.prepare(graph); !ok) return ok;
  auto ran = run.record(graph);
  if (ran) ran = submission_.submitFrame("execute", *run.frame(), false);
  if (!ran && run.submitted() > 0) {
    ran.error().message += " (the graph ran in parts, and its first " +
                           std::to_string(run.submitted()) + " had run)";
  }
  return ran;
}

}  // namespace orv::vulkan::detail
