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

using renderer::OrvFrustum;
using renderer::WVisibilityClass;

namespace {

constexpr double kPi = std::numbers::pi;

// The view: 75 degrees across the shorter side of the image, from 0.01 to pi/2 (the largest
// Fubini-Study distance there is).
constexpr double kViewAngle = kPi * 5.0 / 12.0;
constexpr double kNear = 0.01;
constexpr double kFar = kPi / 2.0;

// The first camera starts at (0, 0, 0, 1), a vertex of the 600-cell, looking down -z turned
// kStartYaw to the right and kStartPitch up, and moves off the vertex by kStartRight and then
// kStartForward radians. Each frame of the flight then moves it by kStepForward and kStepRight.
constexpr double kStartYaw = kPi / 6.0;
constexpr double kStartPitch = kPi / 9.0;
constexpr double kStartRight = 0.15;
constexpr double kStartForward = 0.1;
constexpr double kStepForward = 0.004;
constexpr double kStepRight = 0.006;

// Colours, linear RGB.
constexpr std::array<float, 3> kEdgeColor{1.0f, 0.68f, 0.28f};
constexpr std::array<float, 3> kStarInFront{0.80f, 0.88f, 1.0f};
constexpr std::array<float, 3> kStarBehind{1.0f, 0.80f, 0.62f};
constexpr std::array<float, 3> kStarAtInfinity{0.72f, 1.0f, 0.76f};

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

double clampUnit(double v) noexcept { return v < -1.0 ? -1.0 : (v > 1.0 ? 1.0 : v); }

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

// --- CPU rasteriser ----------------------------------------------------------------------------

class Canvas {
 public:
  explicit Canvas(Image& image) noexcept
      : image_(image),
        width_(static_cast<int>(image.width)),
        height_(static_cast<int>(image.height)) {}

  // A disc of radius `radius` around (x, y), antialiased, composited over what is there where
  // its depth is nearer than the depth already stored; `write_depth` stores its own depth.
  void disc(double x, double y, double radius, double depth, const std::array<float, 3>& color,
            double intensity, bool write_depth) noexcept {
    if (!(std::isfinite(x) && std::isfinite(y))) return;
    const double reach = radius + 1.0;
    if (x < -reach || y < -reach || x > width_ + reach || y > height_ + reach) return;
    const int x0 = std::max(0, static_cast<int>(std::floor(x - reach)));
    const int x1 = std::min(width_ - 1, static_cast<int>(std::floor(x + reach)));
    const int y0 = std::max(0, static_cast<int>(std::floor(y - reach)));
    const int y1 = std::min(height_ - 1, static_cast<int>(std::floor(y + reach)));
    const auto d = static_cast<float>(depth);
    for (int py = y0; py <= y1; ++py) {
      for (int px = x0; px <= x1; ++px) {
        const double dx = (px + 0.5) - x;
        const double dy = (py + 0.5) - y;
        const double coverage = std::clamp(radius + 0.5 - std::sqrt(dx * dx + dy * dy), 0.0, 1.0);
        if (coverage <= 0.0) continue;
        const std::size_t i = index(px, py);
        if (!(d < image_.depth[i])) continue;
        const auto a = static_cast<float>(coverage);
        for (std::size_t c = 0; c < 3; ++c) {
          const auto source = static_cast<float>(color[c] * intensity);
          float& target = image_.rgb[3 * i + c];
          target = target * (1.0f - a) + source * a;
        }
        if (write_depth && coverage >= 0.5) image_.depth[i] = d;
      }
    }
  }

  // A line from a to b, `half_width` pixels to each side, its depth and brightness interpolated
  // along it. Overlapping lines keep the brighter value per channel, so their order does not
  // matter; pixels the line covers by at least half take its depth.
  void line(std::array<double, 2> a, double depth_a, std::array<double, 2> b, double depth_b,
            double half_width, const std::array<float, 3>& color) noexcept {
    if (!(std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(b[0]) &&
          std::isfinite(b[1]))) {
      return;
    }
    // Clip to the image plus a margin (Liang-Barsky), so a line reaching far outside costs nothing.
    const double margin = half_width + 2.0;
    double t0 = 0.0;
    double t1 = 1.0;
    const double dx = b[0] - a[0];
    const double dy = b[1] - a[1];
    const std::array<std::pair<double, double>, 4> bounds{{{-dx, a[0] + margin},
                                                           {dx, width_ + margin - a[0]},
                                                           {-dy, a[1] + margin},
                                                           {dy, height_ + margin - a[1]}}};
    for (const auto& [p, q] : bounds) {
      if (p == 0.0) {
        if (q < 0.0) return;
        continue;
      }
      const double t = q / p;
      if (p < 0.0) {
        t0 = std::max(t0, t);
      } else {
        t1 = std::min(t1, t);
      }
      if (t0 > t1) return;
    }
    const double length = std::hypot(dx, dy) * (t1 - t0);
    if (!std::isfinite(length)) return;
    const int steps = std::max(1, static_cast<int>(std::ceil(length * 2.0)));
    for (int s = 0; s <= steps; ++s) {
      const double t = t0 + (t1 - t0) * s / steps;
      const double depth = depth_a + (depth_b - depth_a) * t;
      brighten(a[0] + dx * t, a[1] + dy * t, half_width, depth, color, falloff(depth));
    }
  }

 private:
  std::size_t index(int px, int py) const noexcept {
    return static_cast<std::size_t>(py) * image_.width + static_cast<std::size_t>(px);
  }

  void brighten(double x, double y, double half_width, double depth,
                const std::array<float, 3>& color, double intensity) noexcept {
    const int x0 = std::max(0, static_cast<int>(std::floor(x - half_width - 1.0)));
    const int x1 = std::min(width_ - 1, static_cast<int>(std::floor(x + half_width + 1.0)));
    const int y0 = std::max(0, static_cast<int>(std::floor(y - half_width - 1.0)));
    const int y1 = std::min(height_ - 1, static_cast<int>(std::floor(y + half_width + 1.0)));
    const auto d = static_cast<float>(depth);
    for (int py = y0; py <= y1; ++py) {
      for (int px = x0; px <= x1; ++px) {
        const double ddx = (px + 0.5) - x;
        const double ddy = (py + 0.5) - y;
        const double coverage =
            std::clamp(half_width + 0.5 - std::sqrt(ddx * ddx + ddy * ddy), 0.0, 1.0);
        if (coverage <= 0.0) continue;
        const std::size_t i = index(px, py);
        for (std::size_t c = 0; c < 3; ++c) {
          const auto value = static_cast<float>(color[c] * intensity * coverage);
          float& target = image_.rgb[3 * i + c];
          target = std::max(target, value);
        }
        if (coverage >= 0.5) image_.depth[i] = std::min(image_.depth[i], d);
      }
    }
  }

  Image& image_;
  int width_;
  int height_;
};

const std::array<float, 3>& starTint(WVisibilityClass c) noexcept {
  switch (c) {
    case WVisibilityClass::in_front: return kStarInFront;
    case WVisibilityClass::behind: return kStarBehind;
    case WVisibilityClass::at_infinity: return kStarAtInfinity;
  }
  return kStarInFront;
}

unsigned char toByte(float linear) noexcept {
  const double v = linear > 0.0f ? std::min(1.0, static_cast<double>(linear)) : 0.0;
  return static_cast<unsigned char>(std::pow(v, 1.0 / 2.2) * 255.0 + 0.5);
}

std::string describeErrno(const char* what, const std::filesystem::path& path, int error) {
  return std::string(what) + " '" + path.string() + "': " + std::strerror(error);
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

std::vector<HomVec4> sampleEdges(std::span<const HomVec4> vertices, std::span<const Edge> edges) {
  std::vector<HomVec4> samples;
  samples.reserve(edges.size() * (kEdgeSegments + 1));
  for (const Edge& e : edges) {
    const HomVec4& a = vertices[e.a];
    const HomVec4& b = vertices[e.b];
    const double angle = std::acos(clampUnit(a.dot(b)));
    const double s = std::sin(angle);
    for (std::uint32_t k = 0; k <= kEdgeSegments; ++k) {
      const double t = static_cast<double>(k) / kEdgeSegments;
      const double wa = std::sin((1.0 - t) * angle) / s;
      const double wb = std::sin(t * angle) / s;
      samples.push_back(HomVec4::init(wa * a.x + wb * b.x, wa * a.y + wb * b.y,
                                      wa * a.z + wb * b.z, wa * a.w + wb * b.w)
                            .normalize());
    }
  }
  return samples;
}

Scene makeScene(std::size_t star_count, std::uint64_t seed) {
  Scene scene;
  scene.vertices = cell600Vertices();
  scene.edges = cell600Edges(scene.vertices);
  scene.edge_samples = sampleEdges(scene.vertices, scene.edges);
  scene.edge_endpoints.reserve(2 * scene.edges.size());
  for (const Edge& e : scene.edges) {
    scene.edge_endpoints.push_back(scene.vertices[e.a]);
    scene.edge_endpoints.push_back(scene.vertices[e.b]);
  }
  scene.stars = starField(star_count, seed);
  return scene;
}

// --- Camera --------------------------------------------------------------------------------------

OrvCamera startCamera(std::uint32_t width, std::uint32_t height) {
  const double aspect = static_cast<double>(width) / static_cast<double>(height);
  // Half-angles of the view: half of kViewAngle across the shorter side, the other side from
  // square pixels.
  const double half = kViewAngle / 2.0;
  const double half_across = aspect >= 1.0 ? half : std::atan(std::tan(half) * aspect);
  const double half_up = aspect >= 1.0 ? std::atan(std::tan(half) / aspect) : half;
  // The frustum's left and right planes, with normals forward +- tan(fov/2) right, keep the
  // directions within pi/2 - fov/2 of forward; its top and bottom planes, with tan(fov/2/aspect),
  // those within pi/2 - fov/2/aspect. These fov and aspect give the half-angles above.
  const double fov = kPi - 2.0 * half_across;
  const double frustum_aspect = fov / (kPi - 2.0 * half_up);
  const double cy = std::cos(kStartYaw);
  const double sy = std::sin(kStartYaw);
  const double cp = std::cos(kStartPitch);
  const double sp = std::sin(kStartPitch);
  OrvCamera camera = OrvCamera::init(HomVec4::init(0, 0, 0, 1),
                                     HomVec4::init(sy * cp, sp, -cy * cp, 0),
                                     HomVec4::init(-sy * sp, cp, cy * sp, 0), fov, frustum_aspect,
                                     kNear, kFar);
  moveRightKeepingFrame(camera, kStartRight);
  moveForwardKeepingFrame(camera, kStartForward);
  return camera;
}

void moveForwardKeepingFrame(OrvCamera& camera, double ds) {
  const HomVec4 p = camera.position;
  const HomVec4 f = camera.forward;
  camera.moveForward(ds);
  const double c = std::cos(ds);
  const double s = std::sin(ds);
  const HomVec4 carried =
      HomVec4::init(c * f.x - s * p.x, c * f.y - s * p.y, c * f.z - s * p.z, c * f.w - s * p.w);
  camera = OrvCamera::init(camera.position, carried, camera.up, camera.fov, camera.aspect,
                           camera.near_fs, camera.far_fs);
}

void moveRightKeepingFrame(OrvCamera& camera, double ds) {
  camera.moveRight(ds);
  camera = OrvCamera::init(camera.position, camera.forward, camera.up, camera.fov, camera.aspect,
                           camera.near_fs, camera.far_fs);
}

void flyStep(OrvCamera& camera) {
  moveForwardKeepingFrame(camera, kStepForward);
  moveRightKeepingFrame(camera, kStepRight);
}

// --- Screen --------------------------------------------------------------------------------------

ScreenMapping ScreenMapping::fromCamera(const OrvCamera& camera, std::uint32_t width,
                                        std::uint32_t height) noexcept {
  // The same expressions as the frustum's, so that the boundaries agree to the last bit of tan.
  const double half_fov = camera.fov / 2.0;
  const double half_fov_ver = half_fov / camera.aspect;
  return {camera.view_pgl4, std::tan(half_fov), std::tan(half_fov_ver),
          static_cast<double>(width), static_cast<double>(height)};
}

std::optional<std::array<double, 2>> ScreenMapping::toNdc(const HomVec4& point) const noexcept {
  const HomVec4 v = view.apply(point);
  const double ahead = -v.z;
  if (!(ahead > 0.0)) return std::nullopt;
  return std::array<double, 2>{v.x * tan_h / ahead, v.y * tan_v / ahead};
}

std::optional<std::array<double, 2>> ScreenMapping::toPixel(const HomVec4& point) const noexcept {
  const auto ndc = toNdc(point);
  if (!ndc) return std::nullopt;
  return std::array<double, 2>{((*ndc)[0] + 1.0) * 0.5 * width, (1.0 - (*ndc)[1]) * 0.5 * height};
}

// --- Frame ---------------------------------------------------------------------------------------

HomVec4 facing(const HomVec4& observer, const HomVec4& point) noexcept {
  if (point.dot(observer) < 0.0) return HomVec4::init(-point.x, -point.y, -point.z, -point.w);
  return point;
}

FrameRenderer::FrameRenderer(const Scene& scene, std::uint32_t width, std::uint32_t height,
                             std::pmr::memory_resource& resource)
    : scene_(scene),
      resource_(resource),
      star_facing_(scene.stars.positions.size()),
      star_mask_(std::make_unique<bool[]>(scene.stars.positions.size())),
      vertex_facing_(scene.vertices.size()),
      vertex_mask_(std::make_unique<bool[]>(scene.vertices.size())),
      sample_facing_(scene.edge_samples.size()),
      sample_mask_(std::make_unique<bool[]>(scene.edge_samples.size())) {
  image_.width = width;
  image_.height = height;
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  image_.rgb.assign(3 * pixels, 0.0f);
  image_.depth.assign(pixels, 1.0f);
}

std::expected<FrameStats, Error> FrameRenderer::render(OrvCamera& camera) {
  ++frame_;
  camera.updateViewMatrix();
  const OrvFrustum frustum = OrvFrustum::fromCamera(camera);
  const HomVec4& observer = camera.position;
  FrameStats stats;
  stats.points = scene_.stars.positions.size();

  auto start = std::chrono::steady_clock::now();
  const std::span<const HomVec4> stars = scene_.stars.positions;
  for (std::size_t i = 0; i < stars.size(); ++i) star_facing_[i] = facing(observer, stars[i]);
  stats.visible = renderer::frustumCull(frustum, star_facing_, {star_mask_.get(), stars.size()});
  visible_.clear();
  visible_source_.clear();
  visible_.reserve(stats.visible);
  visible_source_.reserve(stats.visible);
  for (std::size_t i = 0; i < stars.size(); ++i) {
    if (!star_mask_[i]) continue;
    visible_.push_back(star_facing_[i]);
    visible_source_.push_back(static_cast<std::uint32_t>(i));
  }
  cullEdges(frustum, observer);
  stats.cull_ms = millisecondsSince(start);

  start = std::chrono::steady_clock::now();
  if (auto sorted = sortStars(camera); !sorted) return std::unexpected(sorted.error());
  stats.sort_ms = millisecondsSince(start);

  start = std::chrono::steady_clock::now();
  if (auto recorded = recordFrame(camera); !recorded) return std::unexpected(recorded.error());
  rasterise(camera);
  stats.draw_ms = millisecondsSince(start);
  stats.passes = graph_->passCount();
  return stats;
}

void FrameRenderer::cullEdges(const OrvFrustum& frustum, const HomVec4& observer) {
  for (std::size_t i = 0; i < scene_.vertices.size(); ++i) {
    vertex_facing_[i] = facing(observer, scene_.vertices[i]);
  }
  renderer::frustumCull(frustum, vertex_facing_, {vertex_mask_.get(), vertex_facing_.size()});
  for (std::size_t i = 0; i < scene_.edge_samples.size(); ++i) {
    sample_facing_[i] = facing(observer, scene_.edge_samples[i]);
  }
  renderer::frustumCull(frustum, sample_facing_, {sample_mask_.get(), sample_facing_.size()});
}

std::expected<void, Error> FrameRenderer::sortStars(const OrvCamera& camera) {
  auto order = renderer::sortByFSDepth(resource_, camera.position, visible_);
  if (!order) return std::unexpected(order.error());
  const std::size_t n = order->size();
  draw_.positions.resize(n);
  draw_.source.resize(n);
  draw_.depth.resize(n);
  draw_.classes.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = (*order)[k];
    draw_.positions[k] = visible_[i];
    draw_.source[k] = visible_source_[i];
    draw_.depth[k] = renderer::fsDepth(camera.position, visible_[i], camera.near_fs, camera.far_fs);
    draw_.classes[k] = renderer::wVisibility(visible_[i]);
  }
  return {};
}

std::expected<void, Error> FrameRenderer::recordFrame(const OrvCamera& camera) {
  using rhi::GpuCommand;
  // A new generation of each buffer every frame: the star buffer changes size from frame to frame.
  const rhi::BufferId view_buffer{1, frame_};
  const rhi::BufferId edge_buffer{2, frame_};
  const rhi::BufferId star_buffer{3, frame_};
  const auto edge_positions = static_cast<std::uint32_t>(scene_.edge_endpoints.size());
  const auto star_count = static_cast<std::uint32_t>(draw_.positions.size());
  view_ = camera.view_pgl4;
  buffers_ = {rhi::BufferDescriptor::initOrvTransforms(1),
              rhi::BufferDescriptor::initOrvPositions(edge_positions),
              rhi::BufferDescriptor::initOrvPositions(star_count)};

  const std::span<const rhi::ImageId> color(targets_.data(), 1);
  const std::span<const rhi::ImageId> depth(targets_.data() + 1, 1);
  clear_commands_ = {{GpuCommand::Clear{kColorTarget, 0.0f, 0.0f, 0.0f, 1.0f, 1.0f}}};
  geodesic_commands_ = {
      {GpuCommand::BeginPass{color, kDepthTarget}},
      {kGeodesicPipeline},
      {GpuCommand::OrvUploadPgl4{view_buffer, {&view_, 1}}},
      {GpuCommand::OrvUploadPositions{edge_buffer, scene_.edge_endpoints}},
      // The end points in pairs, one geodesic segment per pair.
      {GpuCommand::OrvRenderGeodesics{edge_buffer, edge_positions, kEdgeColor[0], kEdgeColor[1],
                                      kEdgeColor[2]}},
      {GpuCommand::EndPass{}},
  };
  point_commands_ = {
      {GpuCommand::BeginPass{color, kDepthTarget}},
      {kPointPipeline},
      {GpuCommand::OrvUploadPositions{star_buffer, draw_.positions}},
      // Drawn in buffer order, which is back to front.
      {rhi::DrawCommand{kPointPipeline, {}, {}, view_buffer, star_buffer, star_count, 1}},
      {GpuCommand::EndPass{}},
  };

  graph_.reset();
  graph_.emplace(resource_);
  const rhi::FramePass passes[] = {
      {"clear", {}, targets_, clear_commands_, rhi::PassType::clear},
      {"geodesics", {}, targets_, geodesic_commands_, rhi::PassType::orv_geodesic},
      {"stars", depth, color, point_commands_, rhi::PassType::geometry},
  };
  for (const rhi::FramePass& pass : passes) {
    if (auto added = graph_->addPass(pass); !added) return std::unexpected(added.error());
  }
  graph_->advanceFrame();
  return {};
}

void FrameRenderer::rasterise(const OrvCamera& camera) {
  const ScreenMapping screen = ScreenMapping::fromCamera(camera, image_.width, image_.height);
  const HomVec4& observer = camera.position;
  std::fill(image_.rgb.begin(), image_.rgb.end(), 0.0f);
  std::fill(image_.depth.begin(), image_.depth.end(), 1.0f);
  Canvas canvas(image_);
  const auto depthOf = [&](const HomVec4& p) {
    return renderer::fsDepth(observer, p, camera.near_fs, camera.far_fs);
  };

  // Geodesic pass. Consecutive samples are joined where at least one is inside the frustum, both
  // are in front of the projection centre, and their facing representatives are neighbours: where
  // the arc crosses the hyperplane orthogonal to the observer, one of the two is negated, and the
  // rest of the arc is nearer the other way round.
  constexpr std::size_t per_edge = kEdgeSegments + 1;
  for (std::size_t e = 0; e < scene_.edges.size(); ++e) {
    for (std::size_t k = 0; k < kEdgeSegments; ++k) {
      const std::size_t i = e * per_edge + k;
      const std::size_t j = i + 1;
      if (!sample_mask_[i] && !sample_mask_[j]) continue;
      if (!(sample_facing_[i].dot(sample_facing_[j]) > 0.0)) continue;
      const auto a = screen.toPixel(sample_facing_[i]);
      const auto b = screen.toPixel(sample_facing_[j]);
      if (!a || !b) continue;
      canvas.line(*a, depthOf(sample_facing_[i]), *b, depthOf(sample_facing_[j]), 1.0, kEdgeColor);
    }
  }
  for (std::size_t v = 0; v < scene_.vertices.size(); ++v) {
    if (!vertex_mask_[v]) continue;
    const auto p = screen.toPixel(vertex_facing_[v]);
    if (!p) continue;
    const double depth = depthOf(vertex_facing_[v]);
    canvas.disc((*p)[0], (*p)[1], 1.0 + 3.0 * falloff(depth), depth, kEdgeColor, falloff(depth),
                true);
  }

  // Point pass: the stars back to front, nearer ones larger and brighter, hidden behind edges
  // that are nearer still.
  for (std::size_t k = 0; k < draw_.positions.size(); ++k) {
    const auto p = screen.toPixel(draw_.positions[k]);
    if (!p) continue;  // the projection centre itself
    const double depth = draw_.depth[k];
    const double near = falloff(depth);
    canvas.disc((*p)[0], (*p)[1], 0.3 + 1.5 * near * near, depth, starTint(draw_.classes[k]),
                scene_.stars.brightness[draw_.source[k]] * (0.02 + 0.98 * near * near), false);
  }
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
