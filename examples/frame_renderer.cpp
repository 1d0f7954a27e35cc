#include "frame_renderer.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <span>
#include <utility>

#ifdef ORV_FRAME_HAVE_VULKAN
#include "orv/vulkan.hpp"
#endif

namespace orv::frame {

using renderer::WVisibilityClass;
using rhi::BufferDescriptor;
using rhi::BufferId;
using rhi::Format;
using rhi::GpuCommand;
using rhi::ImageDescriptor;
using rhi::ImageUsage;

namespace {

// 75 degrees across the longer side of the image.
constexpr double kViewAngle = std::numbers::pi * 5.0 / 12.0;

// Tints of the cloud's points that have no colours of their own.
constexpr std::array<float, 3> kInFront{0.80f, 0.88f, 1.0f};
constexpr std::array<float, 3> kBehind{1.0f, 0.80f, 0.62f};
constexpr std::array<float, 3> kAtInfinity{0.72f, 1.0f, 0.76f};

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// How bright something at Fubini-Study depth `depth` (0 near, 1 far) is drawn.
double falloff(double depth) noexcept {
  const double nearness = 1.0 - depth;
  return nearness * (0.5 + 0.5 * nearness);
}

const std::array<float, 3>& tint(WVisibilityClass c) noexcept {
  switch (c) {
    case WVisibilityClass::in_front: return kInFront;
    case WVisibilityClass::behind: return kBehind;
    case WVisibilityClass::at_infinity: return kAtInfinity;
  }
  return kInFront;
}

// The red, green and blue of `color` times `intensity`, opaque.
std::array<float, 4> shaded(const float* color, double intensity) noexcept {
  return {static_cast<float>(color[0] * intensity), static_cast<float>(color[1] * intensity),
          static_cast<float>(color[2] * intensity), 1.0f};
}

// A buffer of `count` rgba32_float colours, at least one.
BufferDescriptor colorBuffer(std::size_t count) noexcept {
  const std::uint64_t n = std::max<std::uint64_t>(count, 1);
  return {n * 16, 16, rhi::BufferType::vertex, Format::rgba32_float, rhi::HeapType::upload, true};
}

device::Failure outOfMemory() {
  return {device::ErrorCode::out_of_memory, UINT32_MAX, UINT32_MAX, "out of memory"};
}

std::uint32_t count32(std::size_t n) noexcept { return static_cast<std::uint32_t>(n); }

// The style's angles of view: its horizontal one with the vertical one from square pixels, or
// `viewAngles`.
ViewAngles styleAngles(const Style& style, std::uint32_t width, std::uint32_t height) {
  if (!style.horizontal_angle) return viewAngles(width, height);
  const double aspect = static_cast<double>(width) / static_cast<double>(height);
  return {*style.horizontal_angle, renderer::verticalAngleOfView(*style.horizontal_angle, aspect)};
}

}  // namespace

ViewAngles viewAngles(std::uint32_t width, std::uint32_t height) {
  const double aspect = static_cast<double>(width) / static_cast<double>(height);
  if (aspect >= 1.0) return {kViewAngle, renderer::verticalAngleOfView(kViewAngle, aspect)};
  // Portrait: kViewAngle from top to bottom; across, the angle whose tangent is aspect times as
  // large.
  return {2.0 * std::atan(std::tan(kViewAngle / 2.0) * aspect), kViewAngle};
}

FrameRenderer::FrameRenderer(const Scene& scene, device::Device& device, std::uint32_t width,
                             std::uint32_t height, std::pmr::memory_resource& resource,
                             const Style& style)
    : scene_(scene),
      device_(device),
      resource_(resource),
      width_(width),
      height_(height),
      style_(style),
      angles_(styleAngles(style, width, height)),
      facing_(std::max(scene.points.positions.size(), scene.figure.positions.size())),
      mask_(std::make_unique<bool[]>(facing_.size())),
      texels_(4 * std::size_t{width} * height, 0) {
  edge_indices_.reserve(2 * scene.figure.edges.size());
  for (const io::Edge& e : scene.figure.edges) {
    edge_indices_.push_back(e.a);
    edge_indices_.push_back(e.b);
  }
}

device::Result<std::unique_ptr<FrameRenderer>> FrameRenderer::create(
    const Scene& scene, device::Device& device, std::uint32_t width, std::uint32_t height,
    std::pmr::memory_resource& resource, const Style& style) {
  std::unique_ptr<FrameRenderer> renderer(
      new FrameRenderer(scene, device, width, height, resource, style));
  if (auto made = renderer->createResources(); !made) return std::unexpected(made.error());
  return renderer;
}

FrameRenderer::~FrameRenderer() {
  // Handles that were never made are {0, 0}, which the device refuses without harm.
  (void)device_.destroy(res_.color);
  (void)device_.destroy(res_.depth);
  for (const BufferId b : {res_.view, res_.vertices, res_.vertex_colors, res_.corner_colors,
                           res_.edge_indices, res_.points[0], res_.points[1], res_.point_colors[0],
                           res_.point_colors[1]}) {
    (void)device_.destroy(b);
  }
  for (const rhi::PipelineId p :
       {res_.edges, res_.corners, res_.point_pipelines[0], res_.point_pipelines[1]}) {
    (void)device_.destroy(p);
  }
}

device::Result<void> FrameRenderer::createResources() {
  const auto make = [](auto made, auto& into) -> device::Result<void> {
    if (!made) return std::unexpected(made.error());
    into = *made;
    return {};
  };
  const std::size_t points = scene_.points.positions.size();
  // Every buffer holds at least one element, so that a scene without points or a figure has its
  // buffers too.
  const auto point_slots = count32(std::max<std::size_t>(points, 1));
  const auto vertex_count = count32(std::max<std::size_t>(scene_.figure.positions.size(), 1));
  rhi::GraphicsPipelineDescriptor pipeline{};
  pipeline.type = rhi::PipelineType::orv_projective;
  pipeline.depth.fs_depth = true;
  device::Result<void> made =
      make(device_.createImage(ImageDescriptor::initOrvRenderTarget(width_, height_)), res_.color);
  if (made) {
    made = make(device_.createImage(ImageDescriptor::init2D(
                    Format::depth32_float, width_, height_,
                    ImageUsage::depth_target | ImageUsage::orv_fs_depth)),
                res_.depth);
  }
  if (made) made = make(device_.createBuffer(BufferDescriptor::initUniform(sizeof(device::ViewUniform))), res_.view);
  if (made) made = make(device_.createBuffer(BufferDescriptor::initOrvPositions(vertex_count)), res_.vertices);
  if (made) made = make(device_.createBuffer(colorBuffer(vertex_count)), res_.vertex_colors);
  if (made) made = make(device_.createBuffer(colorBuffer(vertex_count)), res_.corner_colors);
  if (made) {
    const std::uint64_t bytes = std::max<std::size_t>(edge_indices_.size(), 1) * sizeof(std::uint32_t);
    made = make(device_.createBuffer({bytes, 4, rhi::BufferType::index, Format::r32_uint,
                                      rhi::HeapType::upload, false}),
                res_.edge_indices);
  }
  for (std::size_t k = 0; k < 2 && made; ++k) {
    made = make(device_.createBuffer(BufferDescriptor::initOrvPositions(point_slots)), res_.points[k]);
    if (made) made = make(device_.createBuffer(colorBuffer(points)), res_.point_colors[k]);
  }
  if (made) {
    pipeline.topology = rhi::PrimitiveTopology::geodesic_list;
    pipeline.line_width = style_.edge_width;
    made = make(device_.createPipeline(pipeline), res_.edges);
  }
  pipeline.topology = rhi::PrimitiveTopology::point_list;
  pipeline.depth.depth_compare = rhi::CompareOp::less_equal;
  if (made && style_.corner_size > 0.0f) {
    pipeline.point_size = style_.corner_size;
    made = make(device_.createPipeline(pipeline), res_.corners);
  }
  for (std::size_t k = 0; k < 2 && made; ++k) {
    pipeline.point_size = style_.point_size[k];
    made = make(device_.createPipeline(pipeline), res_.point_pipelines[k]);
  }
  if (made) {
    made = device_.writeBuffer(res_.vertices, 0, std::as_bytes(std::span(scene_.figure.positions)));
  }
  if (made) made = device_.writeBuffer(res_.edge_indices, 0, std::as_bytes(std::span(edge_indices_)));
  targets_ = {res_.color, res_.depth};
  return made;
}

device::Result<FrameStats> FrameRenderer::render(const Observer& observer) {
  const renderer::OrvFrustum frustum =
      observer.frustum(angles_.horizontal, angles_.vertical, kNear, kFar);
  view_ = device::ViewUniform::fromFrustum(frustum, width_, height_);
  FrameStats stats;
  stats.points = scene_.points.positions.size();

  auto start = std::chrono::steady_clock::now();
  // The figure is drawn whole; how much of it is in view is counted only.
  const std::span<const HomVec4> figure = scene_.figure.positions;
  const std::span<HomVec4> figure_facing = std::span(facing_).first(figure.size());
  // The representatives the view sees, also of points exactly pi/2 away: culled as drawn.
  renderer::faceObserver(frustum, figure, figure_facing);
  stats.figure_visible =
      renderer::frustumCull(frustum, figure_facing, std::span(mask_.get(), figure.size()));
  const std::span<const HomVec4> points = scene_.points.positions;
  const std::span<HomVec4> facing = std::span(facing_).first(points.size());
  renderer::faceObserver(frustum, points, facing);
  const std::span<bool> mask(mask_.get(), points.size());
  stats.visible = renderer::frustumCull(frustum, facing, mask);
  visible_.clear();
  visible_source_.clear();
  visible_.reserve(stats.visible);
  visible_source_.reserve(stats.visible);
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!mask[i]) continue;
    visible_.push_back(facing[i]);
    visible_source_.push_back(count32(i));
  }
  stats.cull_ms = millisecondsSince(start);

  start = std::chrono::steady_clock::now();
  if (auto sorted = sortPoints(observer); !sorted) return std::unexpected(sorted.error());
  stats.sort_ms = millisecondsSince(start);

  start = std::chrono::steady_clock::now();
  if (auto written = writeColors(observer); !written) return std::unexpected(written.error());
  if (auto recorded = recordFrame(); !recorded) return std::unexpected(recorded.error());
  if (auto executed = device_.execute(*graph_); !executed) return std::unexpected(executed.error());
  stats.draw_ms = millisecondsSince(start);

  start = std::chrono::steady_clock::now();
  if (auto read = device_.readImage(res_.color, std::as_writable_bytes(std::span(texels_))); !read) {
    return std::unexpected(read.error());
  }
  stats.read_ms = millisecondsSince(start);
  stats.passes = graph_->passCount();
  return stats;
}

device::Result<void> FrameRenderer::sortPoints(const Observer& observer) {
  const HomVec4 eye = observer.position();
  distances_.resize(visible_.size());
  auto order = renderer::sortByFSDepth(resource_, eye, visible_, distances_);
  if (!order) return std::unexpected(outOfMemory());
  const std::size_t n = order->size();
  draw_.positions.resize(n);
  draw_.source.resize(n);
  draw_.depth.resize(n);
  draw_.classes.resize(n);
  point_colors_.resize(n);
  near_first_ = n;
  const std::vector<io::Color>& colors = scene_.points.colors;
  const std::vector<float>& brightness = scene_.brightness;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = (*order)[k];
    const double depth = renderer::fsDepthOfDistance(distances_[i], kNear, kFar);
    const std::uint32_t source = visible_source_[i];
    draw_.positions[k] = visible_[i];
    draw_.source[k] = source;
    draw_.depth[k] = depth;
    draw_.classes[k] = renderer::wVisibility(visible_[i]);
    // Nearer points are brighter; the nearest, at the end of the back-to-front list, larger too.
    const double near = falloff(depth);
    const double light = style_.depth_cue ? 0.02 + 0.98 * near * near : 1.0;
    point_colors_[k] = shaded(colors.empty() ? tint(draw_.classes[k]).data() : colors[source].data(),
                              brightness.empty() ? light : brightness[source] * light);
    if (near_first_ == n && depth < kNearPointDepth) near_first_ = k;
  }
  return {};
}

device::Result<void> FrameRenderer::writeColors(const Observer& observer) {
  // The edges take their brightness from the depth of their ends, interpolated along them; the
  // positions are drawn in the corner colour where the figure has no colours.
  const std::vector<HomVec4>& positions = scene_.figure.positions;
  const std::vector<io::Color>& colors = scene_.figure.colors;
  const bool corners = style_.corner_size > 0.0f;
  vertex_colors_.resize(positions.size());
  corner_colors_.resize(corners ? positions.size() : 0);
  for (std::size_t v = 0; v < positions.size(); ++v) {
    const double depth = renderer::fsDepth(observer.position(), positions[v], kNear, kFar);
    const double intensity = style_.depth_cue ? 0.2 + 0.8 * falloff(depth) : 1.0;
    vertex_colors_[v] = shaded(colors.empty() ? style_.edge_color.data() : colors[v].data(), intensity);
    if (corners) {
      corner_colors_[v] =
          shaded(colors.empty() ? style_.corner_color.data() : colors[v].data(), intensity);
    }
  }
  const std::span<const std::array<float, 4>> point_colors(point_colors_);
  const std::array<std::pair<BufferId, std::span<const std::byte>>, 5> writes{{
      {res_.view, std::as_bytes(std::span(&view_, 1))},
      {res_.vertex_colors, std::as_bytes(std::span(vertex_colors_))},
      {res_.corner_colors, std::as_bytes(std::span(corner_colors_))},
      {res_.point_colors[0], std::as_bytes(point_colors.first(near_first_))},
      {res_.point_colors[1], std::as_bytes(point_colors.subspan(near_first_))},
  }};
  for (const auto& [buffer, bytes] : writes) {
    if (auto written = device_.writeBuffer(buffer, 0, bytes); !written) return written;
  }
  return {};
}

device::Result<void> FrameRenderer::recordFrame() {
  const std::span<const HomVec4> points(draw_.positions);
  const std::array<std::span<const HomVec4>, 2> groups{points.first(near_first_),
                                                       points.subspan(near_first_)};
  const std::span<const rhi::ImageId> color(targets_.data(), 1);
  const GpuCommand bind_view{GpuCommand::BindUniform{res_.view, 0, sizeof(device::ViewUniform), 0}};
  const BufferId none{0, 0};

  upload_commands_ = {{GpuCommand::OrvUploadPositions{res_.points[0], groups[0]}},
                      {GpuCommand::OrvUploadPositions{res_.points[1], groups[1]}}};
  clear_commands_ = {{GpuCommand::BeginPass{color, res_.depth}},
                     {GpuCommand::Clear{res_.color, 0.0f, 0.0f, 0.0f, 1.0f, 1.0f}},
                     {GpuCommand::EndPass{}}};
  figure_commands_ = {
      {GpuCommand::BeginPass{color, res_.depth}},
      {res_.edges},
      bind_view,
      // The edges as geodesic segments between the positions their indices name, in pairs.
      {rhi::DrawCommand{res_.edges, res_.vertex_colors, res_.edge_indices, none, res_.vertices,
                        count32(edge_indices_.size()), 1}},
  };
  if (style_.corner_size > 0.0f) {
    figure_commands_.push_back({res_.corners});
    figure_commands_.push_back({rhi::DrawCommand{res_.corners, res_.corner_colors, none, none,
                                                 res_.vertices,
                                                 count32(scene_.figure.positions.size()), 1}});
  }
  figure_commands_.push_back({GpuCommand::EndPass{}});
  point_commands_ = {{GpuCommand::BeginPass{color, res_.depth}}, bind_view};
  for (std::size_t k = 0; k < 2; ++k) {
    // In buffer order, which is back to front.
    point_commands_.push_back({res_.point_pipelines[k]});
    point_commands_.push_back({rhi::DrawCommand{res_.point_pipelines[k], res_.point_colors[k], none,
                                                none, res_.points[k], count32(groups[k].size()), 1}});
  }
  point_commands_.push_back({GpuCommand::EndPass{}});

  graph_.reset();
  graph_.emplace(resource_);
  const rhi::FramePass passes[] = {
      {"upload points", {}, {}, upload_commands_, rhi::PassType::orv_idempotent},
      {"clear", {}, targets_, clear_commands_, rhi::PassType::clear},
      {"figure", {}, targets_, figure_commands_, rhi::PassType::orv_geodesic},
      {"points", {}, targets_, point_commands_, rhi::PassType::geometry},
  };
  for (const rhi::FramePass& pass : passes) {
    if (auto added = graph_->addPass(pass); !added) return std::unexpected(outOfMemory());
  }
  graph_->advanceFrame();
  return {};
}

std::expected<std::unique_ptr<device::Device>, std::string> openDevice(const std::string& name) {
  if (name == "vulkan") {
#ifdef ORV_FRAME_HAVE_VULKAN
    auto made = vulkan::makeDevice();
    if (!made) return std::unexpected("--device vulkan: " + made.error().message);
    return std::move(*made);
#else
    return std::unexpected(std::string(
        "--device vulkan: this build has no Vulkan device (it was built without the Vulkan "
        "headers and glslc)"));
#endif
  }
  auto made = device::makeCpuDevice();
  if (!made) return std::unexpected("the CPU device: " + made.error().message);
  return std::move(*made);
}

}  // namespace orv::frame
