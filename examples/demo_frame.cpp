#include "demo_frame.hpp"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <random>
#include <system_error>
#include <utility>

namespace orv::demo {

using renderer::WVisibilityClass;
using rhi::BufferDescriptor;
using rhi::BufferId;
using rhi::Format;
using rhi::GpuCommand;
using rhi::ImageDescriptor;
using rhi::ImageUsage;

namespace {

constexpr double kPi = std::numbers::pi;

// 75 degrees across the longer side of the image.
constexpr double kViewAngle = kPi * 5.0 / 12.0;

// The first observer starts at (0, 0, 0, 1), a vertex of the 600-cell, looking down -z turned
// kStartYaw to the right and kStartPitch up, and moves off the vertex by kStartRight and then
// kStartForward radians. Each frame of the flight then moves it by kStepForward and kStepRight and
// turns it by kStepYaw and kStepRoll.
constexpr double kStartYaw = kPi / 6.0;
constexpr double kStartPitch = kPi / 9.0;
constexpr double kStartRight = 0.15;
constexpr double kStartForward = 0.1;
constexpr double kStepForward = 0.004;
constexpr double kStepRight = 0.006;
constexpr double kStepYaw = -0.002;
constexpr double kStepRoll = 0.001;

// Colours, linear RGB.
constexpr std::array<float, 3> kEdgeColor{1.0f, 0.68f, 0.28f};
constexpr std::array<float, 3> kCornerColor{1.0f, 0.86f, 0.62f};
constexpr std::array<float, 3> kStarInFront{0.80f, 0.88f, 1.0f};
constexpr std::array<float, 3> kStarBehind{1.0f, 0.80f, 0.62f};
constexpr std::array<float, 3> kStarAtInfinity{0.72f, 1.0f, 0.76f};

// Sizes in pixels: edges as bands, vertices and stars as squares.
constexpr float kEdgeWidth = 2.0f;
constexpr float kCornerSize = 5.0f;
constexpr std::array<float, 2> kStarSize{1.5f, 3.0f};  // far, near

HomVec4 fromArray(const std::array<double, 4>& c) noexcept {
  return HomVec4::init(c[0], c[1], c[2], c[3]);
}

bool isEvenPermutation(const std::array<std::size_t, 4>& p) noexcept {
  std::size_t inversions = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = i + 1; j < 4; ++j) inversions += p[i] > p[j] ? 1u : 0u;
  }
  return inversions % 2 == 0;
}

// A uniform double in [0, 1) from the top 53 bits of one draw.
double uniform01(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// How bright something at Fubini-Study depth `depth` (0 near, 1 far) is drawn.
double falloff(double depth) noexcept {
  const double nearness = 1.0 - depth;
  return nearness * (0.5 + 0.5 * nearness);
}


unsigned char toByte(float linear) noexcept {
  const double v = linear > 0.0f ? std::min(1.0, static_cast<double>(linear)) : 0.0;
  return static_cast<unsigned char>(std::pow(v, 1.0 / 2.2) * 255.0 + 0.5);
}

std::string describeErrno(const char* what, const std::filesystem::path& path, int error) {
  return std::string(what) + " '" + path.string() + "': " + std::strerror(error);
}

const std::array<float, 3>& starTint(WVisibilityClass c) noexcept {
  switch (c) {
    case WVisibilityClass::in_front: return kStarInFront;
    case WVisibilityClass::behind: return kStarBehind;
    case WVisibilityClass::at_infinity: return kStarAtInfinity;
  }
  return kStarInFront;
}

// `color` times `intensity`, opaque.
std::array<float, 4> shaded(const std::array<float, 3>& color, double intensity) noexcept {
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

}  // namespace

// --- Scene ---------------------------------------------------------------------------------------

std::vector<HomVec4> cell600Vertices() {
  std::vector<HomVec4> vertices;
  vertices.reserve(120);
  for (std::size_t axis = 0; axis < 4; ++axis) {
    for (const double sign : {1.0, -1.0}) {
      std::array<double, 4> c{0.0, 0.0, 0.0, 0.0};
      c[axis] = sign;
      vertices.push_back(fromArray(c));
    }
  }
  for (unsigned signs = 0; signs < 16; ++signs) {
    std::array<double, 4> c{};
    for (unsigned k = 0; k < 4; ++k) c[k] = ((signs >> k) & 1u) != 0 ? -0.5 : 0.5;
    vertices.push_back(fromArray(c));
  }
  const double phi = (1.0 + std::sqrt(5.0)) / 2.0;
  const std::array<double, 3> base{phi / 2.0, 0.5, 0.5 / phi};
  std::array<std::size_t, 4> slot{0, 1, 2, 3};  // slot[k]: the coordinate that receives value k
  do {
    if (!isEvenPermutation(slot)) continue;
    for (unsigned signs = 0; signs < 8; ++signs) {
      std::array<double, 4> c{};
      for (unsigned k = 0; k < 3; ++k) c[slot[k]] = ((signs >> k) & 1u) != 0 ? -base[k] : base[k];
      c[slot[3]] = 0.0;
      vertices.push_back(fromArray(c));
    }
  } while (std::next_permutation(slot.begin(), slot.end()));
  return vertices;
}

std::vector<Edge> cell600Edges(std::span<const HomVec4> vertices) {
  // Neighbours are pi/5 apart, cos(pi/5) = phi/2; the next nearest pairs are pi/3 apart.
  const double edge_cosine = std::cos(kPi / 5.0);
  std::vector<Edge> edges;
  for (std::size_t i = 0; i < vertices.size(); ++i) {
    for (std::size_t j = i + 1; j < vertices.size(); ++j) {
      if (std::fabs(vertices[i].dot(vertices[j]) - edge_cosine) < 1e-9) {
        edges.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
      }
    }
  }
  return edges;
}

StarField starField(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  StarField stars;
  stars.positions.reserve(count);
  stars.brightness.reserve(count);
  // A point drawn uniformly from the 4-ball, pushed out to the sphere, is uniform on the sphere.
  // Each coordinate is its own statement: the order of draws must not depend on the compiler.
  while (stars.positions.size() < count) {
    const double x = 2.0 * uniform01(rng) - 1.0;
    const double y = 2.0 * uniform01(rng) - 1.0;
    const double z = 2.0 * uniform01(rng) - 1.0;
    const double w = 2.0 * uniform01(rng) - 1.0;
    const double r2 = ((x * x + y * y) + z * z) + w * w;
    if (r2 > 1.0 || r2 < 1e-6) continue;
    const double u = uniform01(rng);
    stars.positions.push_back(HomVec4::init(x, y, z, w).normalize());
    stars.brightness.push_back(static_cast<float>(0.25 + 0.75 * (u * u * u)));
  }
  return stars;
}

Scene makeScene(std::size_t star_count, std::uint64_t seed) {
  Scene scene;
  scene.vertices = cell600Vertices();
  scene.edges = cell600Edges(scene.vertices);
  scene.edge_indices.reserve(2 * scene.edges.size());
  for (const Edge& e : scene.edges) {
    scene.edge_indices.push_back(e.a);
    scene.edge_indices.push_back(e.b);
  }
  scene.stars = starField(star_count, seed);
  return scene;
}

// --- Flight --------------------------------------------------------------------------------------

Observer startObserver() {
  Observer observer;
  observer.yaw(kStartYaw);
  observer.pitch(kStartPitch);
  observer.moveRight(kStartRight);
  observer.moveForward(kStartForward);
  return observer;
}

void flyStep(Observer& observer) {
  observer.moveForward(kStepForward);
  observer.moveRight(kStepRight);
  observer.yaw(kStepYaw);
  observer.roll(kStepRoll);
}

ViewAngles viewAngles(std::uint32_t width, std::uint32_t height) {
  const double aspect = static_cast<double>(width) / static_cast<double>(height);
  if (aspect >= 1.0) return {kViewAngle, renderer::verticalAngleOfView(kViewAngle, aspect)};
  // Portrait: kViewAngle from top to bottom; across, the angle whose tangent is aspect times as
  // large.
  return {2.0 * std::atan(std::tan(kViewAngle / 2.0) * aspect), kViewAngle};
}

// --- Frame ---------------------------------------------------------------------------------------

FrameRenderer::FrameRenderer(const Scene& scene, device::Device& device, std::uint32_t width,
                             std::uint32_t height, std::pmr::memory_resource& resource)
    : scene_(scene),
      device_(device),
      resource_(resource),
      width_(width),
      height_(height),
      angles_(viewAngles(width, height)),
      star_facing_(scene.stars.positions.size()),
      star_mask_(std::make_unique<bool[]>(scene.stars.positions.size())) {
  image_.width = width;
  image_.height = height;
  image_.rgb.assign(3 * std::size_t{width} * height, 0.0f);
  texels_.assign(4 * std::size_t{width} * height, 0);
}

device::Result<std::unique_ptr<FrameRenderer>> FrameRenderer::create(
    const Scene& scene, device::Device& device, std::uint32_t width, std::uint32_t height,
    std::pmr::memory_resource& resource) {
  std::unique_ptr<FrameRenderer> renderer(new FrameRenderer(scene, device, width, height, resource));
  if (auto made = renderer->createResources(); !made) return std::unexpected(made.error());
  return renderer;
}

FrameRenderer::~FrameRenderer() {
  // Handles that were never made are {0, 0}, which the device refuses without harm.
  (void)device_.destroy(res_.color);
  (void)device_.destroy(res_.depth);
  for (const BufferId b : {res_.view, res_.vertices, res_.vertex_colors, res_.corner_colors,
                           res_.edge_indices,
                           res_.stars[0], res_.stars[1], res_.star_colors[0], res_.star_colors[1]}) {
    (void)device_.destroy(b);
  }
  for (const rhi::PipelineId p : {res_.edges, res_.corners, res_.star_pipelines[0], res_.star_pipelines[1]}) {
    (void)device_.destroy(p);
  }
}

device::Result<void> FrameRenderer::createResources() {
  const auto make = [](auto made, auto& into) -> device::Result<void> {
    if (!made) return std::unexpected(made.error());
    into = *made;
    return {};
  };
  const std::size_t stars = scene_.stars.positions.size();
  const auto star_slots = static_cast<std::uint32_t>(std::max<std::size_t>(stars, 1));
  // Every buffer holds at least one element, so that a scene without stars or vertices has its
  // buffers too.
  const auto vertex_count = static_cast<std::uint32_t>(std::max<std::size_t>(scene_.vertices.size(), 1));
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
    const std::uint64_t bytes =
        std::max<std::size_t>(scene_.edge_indices.size(), 1) * sizeof(std::uint32_t);
    made = make(device_.createBuffer({bytes, 4, rhi::BufferType::index, Format::r32_uint,
                                      rhi::HeapType::upload, false}),
                res_.edge_indices);
  }
  for (std::size_t k = 0; k < 2 && made; ++k) {
    made = make(device_.createBuffer(BufferDescriptor::initOrvPositions(star_slots)), res_.stars[k]);
    if (made) made = make(device_.createBuffer(colorBuffer(stars)), res_.star_colors[k]);
  }
  if (made) {
    pipeline.topology = rhi::PrimitiveTopology::geodesic_list;
    pipeline.line_width = kEdgeWidth;
    made = make(device_.createPipeline(pipeline), res_.edges);
  }
  if (made) {
    pipeline.topology = rhi::PrimitiveTopology::point_list;
    pipeline.depth.depth_compare = rhi::CompareOp::less_equal;
    pipeline.point_size = kCornerSize;
    made = make(device_.createPipeline(pipeline), res_.corners);
  }
  for (std::size_t k = 0; k < 2 && made; ++k) {
    pipeline.point_size = kStarSize[k];
    made = make(device_.createPipeline(pipeline), res_.star_pipelines[k]);
  }
  if (made) {
    made = device_.writeBuffer(res_.vertices, 0,
                               std::as_bytes(std::span(scene_.vertices)));
  }
  if (made) {
    made = device_.writeBuffer(res_.edge_indices, 0,
                               std::as_bytes(std::span(scene_.edge_indices)));
  }
  targets_ = {res_.color, res_.depth};
  return made;
}

device::Result<FrameStats> FrameRenderer::render(const Observer& observer) {
  const renderer::OrvFrustum frustum =
      observer.frustum(angles_.horizontal, angles_.vertical, kNear, kFar);
  view_ = device::ViewUniform::fromFrustum(frustum, width_, height_);
  FrameStats stats;
  stats.points = scene_.stars.positions.size();

  auto start = std::chrono::steady_clock::now();
  const std::span<const HomVec4> stars = scene_.stars.positions;
  // The representatives the view sees, also of stars exactly pi/2 away: culled as drawn.
  renderer::faceObserver(frustum, stars, star_facing_);
  const std::span<bool> mask(star_mask_.get(), stars.size());
  stats.visible = renderer::frustumCull(frustum, star_facing_, mask);
  visible_.clear();
  visible_source_.clear();
  visible_.reserve(stats.visible);
  visible_source_.reserve(stats.visible);
  for (std::size_t i = 0; i < stars.size(); ++i) {
    if (!mask[i]) continue;
    visible_.push_back(star_facing_[i]);
    visible_source_.push_back(static_cast<std::uint32_t>(i));
  }
  stats.cull_ms = millisecondsSince(start);

  start = std::chrono::steady_clock::now();
  if (auto sorted = sortStars(observer); !sorted) return std::unexpected(sorted.error());
  stats.sort_ms = millisecondsSince(start);

  start = std::chrono::steady_clock::now();
  if (auto written = writeColors(observer); !written) return std::unexpected(written.error());
  if (auto recorded = recordFrame(); !recorded) return std::unexpected(recorded.error());
  if (auto executed = device_.execute(*graph_); !executed) return std::unexpected(executed.error());
  if (auto read = readImage(); !read) return std::unexpected(read.error());
  stats.draw_ms = millisecondsSince(start);
  stats.passes = graph_->passCount();
  return stats;
}

device::Result<void> FrameRenderer::sortStars(const Observer& observer) {
  const HomVec4 eye = observer.position();
  distances_.resize(visible_.size());
  auto order = renderer::sortByFSDepth(resource_, eye, visible_, distances_);
  if (!order) return std::unexpected(outOfMemory());
  const std::size_t n = order->size();
  draw_.positions.resize(n);
  draw_.source.resize(n);
  draw_.depth.resize(n);
  draw_.classes.resize(n);
  star_colors_.resize(n);
  near_first_ = n;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = (*order)[k];
    const double depth = renderer::fsDepthOfDistance(distances_[i], kNear, kFar);
    draw_.positions[k] = visible_[i];
    draw_.source[k] = visible_source_[i];
    draw_.depth[k] = depth;
    draw_.classes[k] = renderer::wVisibility(visible_[i]);
    // Nearer stars are brighter; the nearest, at the end of the back-to-front list, larger too.
    const double near = falloff(depth);
    star_colors_[k] = shaded(starTint(draw_.classes[k]),
                             scene_.stars.brightness[draw_.source[k]] * (0.02 + 0.98 * near * near));
    if (near_first_ == n && depth < kNearStarDepth) near_first_ = k;
  }
  return {};
}

device::Result<void> FrameRenderer::writeColors(const Observer& observer) {
  // The edges take their brightness from the depth of their ends, interpolated along them; the
  // vertices are drawn a little lighter where the edges meet.
  vertex_colors_.resize(scene_.vertices.size());
  corner_colors_.resize(scene_.vertices.size());
  for (std::size_t v = 0; v < scene_.vertices.size(); ++v) {
    const double depth = renderer::fsDepth(observer.position(), scene_.vertices[v], kNear, kFar);
    const double intensity = 0.2 + 0.8 * falloff(depth);
    vertex_colors_[v] = shaded(kEdgeColor, intensity);
    corner_colors_[v] = shaded(kCornerColor, intensity);
  }
  const std::span<const std::array<float, 4>> colors(star_colors_);
  if (auto ok = device_.writeBuffer(res_.view, 0, std::as_bytes(std::span(&view_, 1))); !ok) return ok;
  if (auto ok = device_.writeBuffer(res_.vertex_colors, 0,
                                    std::as_bytes(std::span(vertex_colors_)));
      !ok) {
    return ok;
  }
  if (auto ok = device_.writeBuffer(res_.corner_colors, 0,
                                    std::as_bytes(std::span(corner_colors_)));
      !ok) {
    return ok;
  }
  if (auto ok = device_.writeBuffer(res_.star_colors[0], 0, std::as_bytes(colors.first(near_first_))); !ok) {
    return ok;
  }
  return device_.writeBuffer(res_.star_colors[1], 0, std::as_bytes(colors.subspan(near_first_)));
}

device::Result<void> FrameRenderer::recordFrame() {
  const std::span<const HomVec4> stars(draw_.positions);
  const std::array<std::span<const HomVec4>, 2> groups{stars.first(near_first_),
                                                       stars.subspan(near_first_)};
  const std::span<const rhi::ImageId> color(targets_.data(), 1);
  const GpuCommand bind_view{GpuCommand::BindUniform{res_.view, 0, sizeof(device::ViewUniform), 0}};
  const BufferId none{0, 0};

  upload_commands_ = {{GpuCommand::OrvUploadPositions{res_.stars[0], groups[0]}},
                      {GpuCommand::OrvUploadPositions{res_.stars[1], groups[1]}}};
  clear_commands_ = {{GpuCommand::BeginPass{color, res_.depth}},
                     {GpuCommand::Clear{res_.color, 0.0f, 0.0f, 0.0f, 1.0f, 1.0f}},
                     {GpuCommand::EndPass{}}};
  geodesic_commands_ = {
      {GpuCommand::BeginPass{color, res_.depth}},
      {res_.edges},
      bind_view,
      // The edges as geodesic segments between the vertices their indices name, in pairs.
      {rhi::DrawCommand{res_.edges, res_.vertex_colors, res_.edge_indices, none, res_.vertices,
                        static_cast<std::uint32_t>(scene_.edge_indices.size()), 1}},
      {res_.corners},
      {rhi::DrawCommand{res_.corners, res_.corner_colors, none, none, res_.vertices,
                        static_cast<std::uint32_t>(scene_.vertices.size()), 1}},
      {GpuCommand::EndPass{}},
  };
  star_commands_ = {{GpuCommand::BeginPass{color, res_.depth}}, bind_view};
  for (std::size_t k = 0; k < 2; ++k) {
    // In buffer order, which is back to front.
    star_commands_.push_back({res_.star_pipelines[k]});
    star_commands_.push_back({rhi::DrawCommand{res_.star_pipelines[k], res_.star_colors[k], none,
                                               none, res_.stars[k],
                                               static_cast<std::uint32_t>(groups[k].size()), 1}});
  }
  star_commands_.push_back({GpuCommand::EndPass{}});

  graph_.reset();
  graph_.emplace(resource_);
  const rhi::FramePass passes[] = {
      {"upload stars", {}, {}, upload_commands_, rhi::PassType::orv_idempotent},
      {"clear", {}, targets_, clear_commands_, rhi::PassType::clear},
      {"600-cell", {}, targets_, geodesic_commands_, rhi::PassType::orv_geodesic},
      {"stars", {}, targets_, star_commands_, rhi::PassType::geometry},
  };
  for (const rhi::FramePass& pass : passes) {
    if (auto added = graph_->addPass(pass); !added) return std::unexpected(outOfMemory());
  }
  graph_->advanceFrame();
  return {};
}

device::Result<void> FrameRenderer::readImage() {
  if (auto read = device_.readImage(res_.color, std::as_writable_bytes(std::span(texels_))); !read) {
    return read;
  }
  const std::size_t pixels = std::size_t{width_} * height_;
  for (std::size_t i = 0; i < pixels; ++i) {
    for (std::size_t c = 0; c < 3; ++c) image_.rgb[3 * i + c] = device::halfToFloat(texels_[4 * i + c]);
  }
  return {};
}

// --- Output --------------------------------------------------------------------------------------

std::expected<std::vector<unsigned char>, std::string> encodePng(const Image& image) {
  std::vector<unsigned char> pixels(image.rgb.size());
  std::transform(image.rgb.begin(), image.rgb.end(), pixels.begin(), toByte);
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = image.width;
  png.height = image.height;
  png.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (png_image_write_get_memory_size(png, size, 0, pixels.data(), 0, nullptr) == 0) {
    return std::unexpected(std::string("PNG encoding failed: ") + png.message);
  }
  std::vector<unsigned char> bytes(size);
  if (png_image_write_to_memory(&png, bytes.data(), &size, 0, pixels.data(), 0, nullptr) == 0) {
    return std::unexpected(std::string("PNG encoding failed: ") + png.message);
  }
  bytes.resize(size);
  return bytes;
}

std::expected<void, std::string> writeFileReplacing(const std::filesystem::path& path,
                                                    std::span<const unsigned char> bytes) {
  std::filesystem::path temporary = path;
  temporary += ".partial";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return std::unexpected(describeErrno("cannot create", temporary, errno));
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int write_error = errno;
  const bool closed = std::fclose(file) == 0;
  const int close_error = errno;
  std::error_code ignored;
  if (!written || !closed) {
    std::filesystem::remove(temporary, ignored);
    return std::unexpected(
        describeErrno("cannot write", temporary, written ? close_error : write_error));
  }
  std::error_code renamed;
  std::filesystem::rename(temporary, path, renamed);
  if (renamed) {
    std::filesystem::remove(temporary, ignored);
    return std::unexpected("cannot rename '" + temporary.string() + "' to '" + path.string() +
                           "': " + renamed.message());
  }
  return {};
}

}  // namespace orv::demo
