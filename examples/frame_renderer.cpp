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

const std::array<float, 3>& pointTint(WVisibilityClass side) noexcept {
  switch (side) {
    case WVisibilityClass::in_front: return kInFront;
    case WVisibilityClass::behind: return kBehind;
    case WVisibilityClass::at_infinity: return kAtInfinity;
  }
  return kInFront;
}

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
      facing_(std::make_unique<HomVec4[]>(scene.figure.positions.size())),
      mask_(std::make_unique<bool[]>(scene.figure.positions.size())),
      texels_(4 * std::size_t{width} * height, 0) {
  edge_indices_.reserve(2 * scene.figure.edges.size());
  for (const io::Edge& e : scene.figure.edges) {
    edge_indices_.push_back(e.a);
    edge_indices_.push_back(e.b);
  }
  for (std::vector<std::uint32_t>& list : lists_) list.reserve(scene.points.positions.size());
  buildCells();
}

device::Result<std::unique_ptr<FrameRenderer>> FrameRenderer::create(
    const Scene& scene, device::Device& device, std::uint32_t width, std::uint32_t height,
    std::pmr::memory_resource& resource, const Style& style) {
  std::unique_ptr<FrameRenderer> renderer(
      new FrameRenderer(scene, device, width, height, resource, style));
  if (auto made = renderer->createResources(); !made) return std::unexpected(made.error());
  if (auto recorded = renderer->recordFrame(); !recorded) return std::unexpected(recorded.error());
  return renderer;
}

FrameRenderer::~FrameRenderer() {
  // Handles that were never made are {0, 0}, which the device refuses without harm.
  (void)device_.destroy(res_.color);
  (void)device_.destroy(res_.depth);
  for (const BufferId b : {res_.view, res_.vertices, res_.vertex_colors, res_.corner_colors,
                           res_.edge_indices, res_.points, res_.point_colors[0],
                           res_.point_colors[1], res_.point_lists[0], res_.point_lists[1],
                           res_.point_lists[2], res_.point_lists[3]}) {
    (void)device_.destroy(b);
  }
  for (const rhi::PipelineId p :
       {res_.edges, res_.corners, res_.point_pipelines[0], res_.point_pipelines[1]}) {
    (void)device_.destroy(p);
  }
}

namespace {

// Each face of the cube the 3-sphere is projected onto from its centre is cut into 2^kCellBits
// cells along each of its three axes, and each cell into 2^(kPlaceBits - kCellBits) places along
// each, whose order along a Z curve orders the cloud: points drawn one after another lie close
// together on the image, so the device finds their pixels in its caches.
constexpr std::uint32_t kCellBits = 5;
// Cells are tested in groups, each the 8 cells of one cell of half the resolution (consecutive
// on the Z curve): a group wholly outside the view, or wholly inside, needs no test of its cells.
constexpr std::uint32_t kGroupBits = kCellBits - 1;
constexpr std::uint32_t kPlaceBits = 10;
// Cells wider than this (radians; only where points are scattered oddly) are looked at point by
// point whatever their side.
constexpr double kWideCell = 0.5;
// Slack for rounding in the cells' tests, far beyond the error of the products they take.
constexpr double kSlack = 1e-9;

// The place of `point` on the cube: the coordinate of largest magnitude picks the face (a point
// and its negation share it), the other three divided by it the place on the face, as the face in
// the top bits and the Z curve's index below. Points that are not finite, or zero, go to the first
// place.
std::uint64_t placeOf(const HomVec4& point, bool& negate) noexcept {
  const std::array<double, 4> c{point.x, point.y, point.z, point.w};
  std::size_t axis = 0;
  for (std::size_t k = 1; k < 4; ++k) {
    if (std::abs(c[k]) > std::abs(c[axis])) axis = k;
  }
  negate = c[axis] < 0.0;
  const double scale = std::abs(c[axis]);
  if (!(scale > 0.0) || !std::isfinite(scale)) return 0;
  constexpr std::uint32_t kPlaces = 1u << kPlaceBits;
  std::uint64_t z = 0;
  std::uint32_t bit_of = 0;
  std::array<std::uint32_t, 3> at{};
  for (std::size_t k = 0; k < 4; ++k) {
    if (k == axis) continue;
    const double u = (c[k] / c[axis] + 1.0) * 0.5 * kPlaces;  // in [0, kPlaces]
    at[bit_of++] = u >= 0.0 ? std::min(static_cast<std::uint32_t>(u), kPlaces - 1) : 0u;
  }
  for (std::uint32_t b = kPlaceBits; b-- > 0;) {
    for (const std::uint32_t a : at) z = (z << 1) | ((a >> b) & 1u);
  }
  return (std::uint64_t{axis} << (3 * kPlaceBits)) | z;
}

// The tint of a point of the cloud that has no colour, as the side of w = 0 `point` lies on.
std::array<float, 4> tinted(const HomVec4& point, const Scene& scene, std::uint32_t source) noexcept {
  const float light = scene.brightness.empty() ? 1.0f : scene.brightness[source];
  const float* color = scene.points.colors.empty() ? pointTint(renderer::wVisibility(point)).data()
                                                   : scene.points.colors[source].data();
  return {color[0] * light, color[1] * light, color[2] * light, 1.0f};
}

HomVec4 negated(const HomVec4& p) noexcept { return HomVec4::init(-p.x, -p.y, -p.z, -p.w); }

double norm(const renderer::ProjectiveHyperplane& p) noexcept {
  return std::sqrt(p.a * p.a + p.b * p.b + p.c * p.c + p.d * p.d);
}

}  // namespace

void FrameRenderer::buildCells() {
  const std::vector<HomVec4>& points = scene_.points.positions;
  const std::size_t n = points.size();
  std::vector<std::pair<std::uint64_t, std::uint32_t>> order(n);
  std::vector<char> negate(n);
  for (std::size_t i = 0; i < n; ++i) {
    bool flip = false;
    order[i] = {placeOf(points[i], flip), count32(i)};
    negate[i] = flip ? 1 : 0;
  }
  std::sort(order.begin(), order.end());
  cell_points_.resize(n);
  cell_source_.resize(n);
  std::vector<std::uint32_t> start;  // the first point of each cell, then n
  constexpr std::uint32_t kShift = 3 * (kPlaceBits - kCellBits);
  constexpr std::uint32_t kGroupShift = 3 * (kPlaceBits - kGroupBits);
  std::vector<std::uint32_t> group_start;  // the first cell of each group
  for (std::size_t at = 0; at < n; ++at) {
    const std::uint32_t i = order[at].second;
    cell_points_[at] = negate[i] != 0 ? negated(points[i]) : points[i];
    cell_source_[at] = i;
    if (at == 0 || (order[at].first >> kShift) != (order[at - 1].first >> kShift)) {
      if (at == 0 || (order[at].first >> kGroupShift) != (order[at - 1].first >> kGroupShift)) {
        group_start.push_back(count32(start.size()));
      }
      start.push_back(count32(at));
    }
  }
  group_start.push_back(count32(start.size()));
  start.push_back(count32(n));
  for (std::size_t k = 0; k + 1 < start.size(); ++k) cells_.push_back(makeCell(start[k], start[k + 1]));
  for (std::size_t g = 0; g + 1 < group_start.size(); ++g) {
    Cell group = makeCell(start[group_start[g]], start[group_start[g + 1]]);
    group.first = group_start[g];  // of cells_, not of points
    group.end = group_start[g + 1];
    groups_.push_back(group);
  }
}

FrameRenderer::Cell FrameRenderer::makeCell(std::uint32_t first, std::uint32_t end) const {
  const double near_distance = renderer::fsDepthToDistance(kNearPointDepth, kNear, kFar);
  {
    Cell cell{HomVec4::init(0, 0, 0, 0), 0.0, 0.0, 0.0, first, end};
    double sx = 0, sy = 0, sz = 0, sw = 0;
    bool finite = true;
    for (std::uint32_t i = cell.first; i < cell.end; ++i) {
      const HomVec4 q = cell_points_[i].normalize();
      finite = finite && std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z) &&
               std::isfinite(q.w);
      sx += q.x;
      sy += q.y;
      sz += q.z;
      sw += q.w;
    }
    cell.centre = HomVec4::init(sx, sy, sz, sw).normalize();
    double radius = 0.0;
    for (std::uint32_t i = cell.first; i < cell.end && finite; ++i) {
      const double along = cell.centre.dot(cell_points_[i].normalize());
      radius = std::max(radius, std::acos(std::clamp(along, -1.0, 1.0)));
    }
    if (!finite || !std::isfinite(radius) || !std::isfinite(cell.centre.x)) {
      radius = std::numbers::pi;  // looked at point by point
      cell.centre = HomVec4::init(0, 0, 0, 1);
    }
    cell.radius = radius + kSlack;
    cell.reach = 2.0 * std::sin(std::min(cell.radius, std::numbers::pi) / 2.0) + kSlack;
    cell.near_cos = std::cos(std::min(near_distance + cell.radius + kSlack, std::numbers::pi / 2));
    return cell;
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
  // The figure from 0.2 of its colour at the far limit, 0.2 + 0.8 n (0.5 + 0.5 n) with nearness
  // n; the cloud from 0.02, 0.02 + 0.98 (n (0.5 + 0.5 n))^2.
  device::PipelineOptions figure_cue;
  device::PipelineOptions cloud_cue;
  figure_cue.depth_cue = {style_.depth_cue, {0.2, 0.4, 0.4, 0.0, 0.0}};
  cloud_cue.depth_cue = {style_.depth_cue, {0.02, 0.0, 0.245, 0.49, 0.245}};
  const rhi::BufferDescriptor list{std::uint64_t{point_slots} * 4, 4, rhi::BufferType::index,
                                   Format::r32_uint, rhi::HeapType::upload, false};
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
  if (made) made = make(device_.createBuffer(BufferDescriptor::initOrvPositions(point_slots)), res_.points);
  for (std::size_t k = 0; k < 2 && made; ++k) {
    made = make(device_.createBuffer(colorBuffer(points)), res_.point_colors[k]);
  }
  for (std::size_t k = 0; k < 4 && made; ++k) {
    made = make(device_.createBuffer(list), res_.point_lists[k]);
  }
  if (made) {
    pipeline.topology = rhi::PrimitiveTopology::geodesic_list;
    pipeline.line_width = style_.edge_width;
    made = make(device_.createPipeline(pipeline, figure_cue), res_.edges);
  }
  pipeline.topology = rhi::PrimitiveTopology::point_list;
  pipeline.depth.depth_compare = rhi::CompareOp::less_equal;
  if (made && style_.corner_size > 0.0f) {
    pipeline.point_size = style_.corner_size;
    made = make(device_.createPipeline(pipeline, figure_cue), res_.corners);
  }
  for (std::size_t k = 0; k < 2 && made; ++k) {
    pipeline.point_size = style_.point_size[k];
    made = make(device_.createPipeline(pipeline, cloud_cue), res_.point_pipelines[k]);
  }
  // What never changes goes up now: the figure, its colours and edges, the cloud and its tints.
  const std::vector<HomVec4>& positions = scene_.figure.positions;
  const std::vector<io::Color>& colors = scene_.figure.colors;
  std::vector<std::array<float, 4>> vertex_colors(positions.size());
  std::vector<std::array<float, 4>> corner_colors(positions.size());
  for (std::size_t v = 0; v < positions.size(); ++v) {
    vertex_colors[v] = shaded(colors.empty() ? style_.edge_color.data() : colors[v].data(), 1.0);
    corner_colors[v] = shaded(colors.empty() ? style_.corner_color.data() : colors[v].data(), 1.0);
  }
  std::array<std::vector<std::array<float, 4>>, 2> point_colors;
  for (std::size_t side = 0; side < 2; ++side) {
    point_colors[side].resize(points);
    for (std::size_t i = 0; i < points; ++i) {
      const HomVec4& q = cell_points_[i];
      point_colors[side][i] = tinted(side == 0 ? q : negated(q), scene_, cell_source_[i]);
    }
  }
  const std::array<std::pair<BufferId, std::span<const std::byte>>, 7> writes{{
      {res_.vertices, std::as_bytes(std::span(positions))},
      {res_.edge_indices, std::as_bytes(std::span(edge_indices_))},
      {res_.vertex_colors, std::as_bytes(std::span(vertex_colors))},
      {res_.corner_colors, std::as_bytes(std::span(corner_colors))},
      {res_.points, std::as_bytes(std::span(cell_points_))},
      {res_.point_colors[0], std::as_bytes(std::span(point_colors[0]))},
      {res_.point_colors[1], std::as_bytes(std::span(point_colors[1]))},
  }};
  for (const auto& [buffer, bytes] : writes) {
    if (made && !bytes.empty()) made = device_.writeBuffer(buffer, 0, bytes);
  }
  targets_ = {res_.color, res_.depth};
  return made;
}

device::Result<FrameStats> FrameRenderer::render(const Observer& observer, bool read_back) {
  observer_ = observer;
  draw_.reset();
  FrameStats stats;
  stats.points = scene_.points.positions.size();

  auto start = std::chrono::steady_clock::now();
  const renderer::OrvFrustum frustum =
      observer.frustum(angles_.horizontal, angles_.vertical, kNear, kFar);
  view_ = device::ViewUniform::fromFrustum(frustum, width_, height_);
  // The figure is drawn whole; how much of it is in view is counted only.
  const std::span<const HomVec4> figure = scene_.figure.positions;
  const std::span<HomVec4> figure_facing(facing_.get(), figure.size());
  // The representatives the view sees, also of points exactly pi/2 away: culled as drawn.
  renderer::faceObserver(frustum, figure, figure_facing);
  stats.figure_visible =
      renderer::frustumCull(frustum, figure_facing, std::span(mask_.get(), figure.size()));
  stats.visible = listPoints(frustum, stats);
  stats.cull_ms = millisecondsSince(start);

  start = std::chrono::steady_clock::now();
  if (auto written = device_.writeBuffer(res_.view, 0, std::as_bytes(std::span(&view_, 1)));
      !written) {
    return std::unexpected(written.error());
  }
  for (std::size_t k = 0; k < lists_.size(); ++k) {
    std::get<rhi::DrawCommand>(point_commands_[list_draws_[k]].payload).index_count =
        count32(lists_[k].size());
    if (lists_[k].empty()) continue;
    if (auto written = device_.writeBuffer(res_.point_lists[k], 0, std::as_bytes(std::span(lists_[k])));
        !written) {
      return std::unexpected(written.error());
    }
  }
  stats.upload_ms = millisecondsSince(start);

  start = std::chrono::steady_clock::now();
  if (auto executed = device_.execute(*graph_); !executed) return std::unexpected(executed.error());
  stats.draw_ms = millisecondsSince(start);

  start = std::chrono::steady_clock::now();
  if (read_back) {
    if (auto read = readBack(); !read) return std::unexpected(read.error());
  }
  stats.read_ms = millisecondsSince(start);
  stats.passes = graph_->passCount();
  return stats;
}

device::Result<void> FrameRenderer::readBack() {
  return device_.readImage(res_.color, std::as_writable_bytes(std::span(texels_)));
}

std::uint32_t FrameRenderer::listPoints(const renderer::OrvFrustum& frustum, FrameStats& stats) {
  for (std::vector<std::uint32_t>& list : lists_) list.clear();
  const HomVec4 eye = frustum.observer;
  std::array<double, 4> plane_norm{};
  for (std::size_t k = 0; k < 4; ++k) plane_norm[k] = norm(frustum.planes[k]);
  // Whether the cap of `cell` around `centre` lies wholly outside one of the side planes.
  const auto outside = [&](const Cell& cell, const HomVec4& centre) {
    for (std::size_t k = 0; k < 4; ++k) {
      if (frustum.planes[k].evaluate(centre) + plane_norm[k] * cell.reach < 0.0) return true;
    }
    return false;
  };
  // Whether the cap lies wholly inside every side plane, on the centre's side of the observer.
  const auto inside = [&](const Cell& cell, const HomVec4& centre) {
    for (std::size_t k = 0; k < 4; ++k) {
      if (!(frustum.planes[k].evaluate(centre) - plane_norm[k] * cell.reach > 0.0)) return false;
    }
    return true;
  };
  std::uint32_t listed = 0;
  // Lists the points of `cell`; `tested`: the cell is known to reach into the view.
  const auto take = [&](const Cell& cell, bool tested) {
    const double side = cell.centre.dot(eye);
    const bool mixed = cell.radius > kWideCell || std::abs(side) <= cell.reach;
    const HomVec4 centre = side < 0.0 ? negated(cell.centre) : cell.centre;
    if (!tested && (mixed ? outside(cell, cell.centre) && outside(cell, negated(cell.centre))
                          : outside(cell, centre))) {
      return;
    }
    ++stats.cells;
    listed += cell.end - cell.first;
    const bool may_be_near = std::abs(side) > cell.near_cos;
    if (!mixed && !may_be_near) {
      // Every point faces the view on the centre's side, and is far.
      std::vector<std::uint32_t>& list = lists_[side < 0.0 ? 1 : 0];
      for (std::uint32_t i = cell.first; i < cell.end; ++i) list.push_back(i);
      return;
    }
    for (std::uint32_t i = cell.first; i < cell.end; ++i) {
      const HomVec4& q = cell_points_[i];
      std::size_t tint_side = side < 0.0 ? 1 : 0;
      if (mixed) {
        const HomVec4 f = renderer::facing(frustum, q);
        tint_side = f.x == q.x && f.y == q.y && f.z == q.z && f.w == q.w ? 0 : 1;
      }
      const bool near =
          may_be_near && renderer::fsDepth(eye, q, kNear, kFar) < kNearPointDepth;
      lists_[(near ? 2 : 0) + tint_side].push_back(i);
    }
  };
  for (const Cell& group : groups_) {
    const double side = group.centre.dot(eye);
    const bool mixed = group.radius > kWideCell || std::abs(side) <= group.reach;
    const HomVec4 centre = side < 0.0 ? negated(group.centre) : group.centre;
    if (mixed ? outside(group, group.centre) && outside(group, negated(group.centre))
              : outside(group, centre)) {
      continue;
    }
    const bool within = !mixed && inside(group, centre);
    for (std::uint32_t c = group.first; c < group.end; ++c) take(cells_[c], within);
  }
  return listed;
}

const DrawList& FrameRenderer::drawList() const {
  if (draw_) return *draw_;
  DrawList& draw = draw_.emplace();
  const renderer::OrvFrustum frustum =
      observer_.frustum(angles_.horizontal, angles_.vertical, kNear, kFar);
  const std::span<const HomVec4> points = scene_.points.positions;
  std::vector<HomVec4> facing(points.size());
  const auto mask = std::make_unique<bool[]>(points.size());
  renderer::faceObserver(frustum, points, facing);
  renderer::frustumCull(frustum, facing, std::span(mask.get(), points.size()));
  std::vector<HomVec4> visible;
  std::vector<std::uint32_t> source;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!mask[i]) continue;
    visible.push_back(facing[i]);
    source.push_back(count32(i));
  }
  std::vector<double> distances(visible.size());
  auto order = renderer::sortByFSDepth(resource_, observer_.position(), visible, distances);
  if (!order) return draw;
  for (const std::size_t i : *order) {
    draw.positions.push_back(visible[i]);
    draw.source.push_back(source[i]);
    draw.depth.push_back(renderer::fsDepthOfDistance(distances[i], kNear, kFar));
    draw.classes.push_back(renderer::wVisibility(visible[i]));
  }
  return draw;
}

device::Result<void> FrameRenderer::recordFrame() {
  const std::span<const rhi::ImageId> color(targets_.data(), 1);
  const GpuCommand bind_view{GpuCommand::BindUniform{res_.view, 0, sizeof(device::ViewUniform), 0}};
  const BufferId none{0, 0};

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
  // The cloud through its four lists, whose lengths each frame sets.
  point_commands_ = {{GpuCommand::BeginPass{color, res_.depth}}, bind_view};
  for (std::size_t size = 0; size < 2; ++size) {
    point_commands_.push_back({res_.point_pipelines[size]});
    for (std::size_t side = 0; side < 2; ++side) {
      list_draws_[2 * size + side] = point_commands_.size();
      point_commands_.push_back({rhi::DrawCommand{res_.point_pipelines[size],
                                                  res_.point_colors[side],
                                                  res_.point_lists[2 * size + side], none,
                                                  res_.points, 0, 1}});
    }
  }
  point_commands_.push_back({GpuCommand::EndPass{}});

  graph_.emplace(resource_);
  const rhi::FramePass passes[] = {
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

std::expected<std::unique_ptr<device::Device>, std::string> openDevice(
    const std::string& name, [[maybe_unused]] bool exact) {
  if (name == "vulkan") {
#ifdef ORV_FRAME_HAVE_VULKAN
    vulkan::DeviceOptions options;
    options.exact = exact;
    auto made = vulkan::makeDevice(options);
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
