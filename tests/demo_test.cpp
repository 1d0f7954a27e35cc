// The demo's per-frame path and command line, exercised as the orv-demo program runs them.

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "demo_cli.hpp"
#include "demo_frame.hpp"
#include "support/counting_resource.hpp"

namespace {

namespace fs = std::filesystem;
using namespace orv::demo;
using orv::kernel::fsDistance;
using orv::renderer::OrvFrustum;
using orv::rhi::GpuCommand;

constexpr double kPi = std::numbers::pi;

HomVec4 negated(const HomVec4& v) { return HomVec4::init(-v.x, -v.y, -v.z, -v.w); }

bool sameBits(const HomVec4& a, const HomVec4& b) {
  return std::bit_cast<std::array<std::uint64_t, 4>>(a) ==
         std::bit_cast<std::array<std::uint64_t, 4>>(b);
}

// An empty folder of this test's own, removed when the test ends.
class Scratch {
 public:
  Scratch() {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    path_ = fs::current_path() / ("demo_test_" + name + "_" + std::to_string(::getpid()));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome runWith(std::vector<std::string> args) {
  const std::vector<std::string_view> views(args.begin(), args.end());
  std::ostringstream out;
  std::ostringstream err;
  const int status = runDemo(views, out, err);
  return {status, out.str(), err.str()};
}

std::vector<unsigned char> readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A camera at (0, 0, 0, 1) looking along `forward`, with the demo's field of view and limits.
OrvCamera cameraAtOrigin(const HomVec4& forward, std::uint32_t width, std::uint32_t height) {
  const OrvCamera start = startCamera(width, height);
  return OrvCamera::init(HomVec4::init(0, 0, 0, 1), forward, HomVec4::init(0, 1, 0, 0), start.fov,
                         start.aspect, start.near_fs, start.far_fs);
}

// The point reached from the camera by a geodesic of length `length` along its forward direction.
HomVec4 straightAhead(const OrvCamera& camera, double length) {
  const HomVec4& p = camera.position;
  const HomVec4& f = camera.forward;
  const double c = std::cos(length);
  const double s = std::sin(length);
  return HomVec4::init(c * p.x + s * f.x, c * p.y + s * f.y, c * p.z + s * f.z, c * p.w + s * f.w);
}

Scene sceneOfStars(std::vector<HomVec4> stars) {
  Scene scene;
  scene.stars.brightness.assign(stars.size(), 1.0f);
  scene.stars.positions = std::move(stars);
  return scene;
}

// --- Scene -------------------------------------------------------------------------------------

TEST(Scene, The600CellHas120VerticesAnd720EdgesOfLengthPiOver5) {
  const Scene scene = makeScene(0, 1);
  ASSERT_EQ(scene.vertices.size(), 120u);
  ASSERT_EQ(scene.edges.size(), 720u);
  std::vector<int> degree(120, 0);
  for (const Edge& e : scene.edges) {
    EXPECT_NEAR(std::acos(scene.vertices[e.a].dot(scene.vertices[e.b])), kPi / 5, 1e-12);
    ++degree[e.a];
    ++degree[e.b];
  }
  EXPECT_TRUE(std::all_of(degree.begin(), degree.end(), [](int d) { return d == 12; }));
  const auto has = [&](const HomVec4& v) {
    return std::any_of(scene.vertices.begin(), scene.vertices.end(),
                       [&](const HomVec4& u) { return u.dot(v) > 1 - 1e-12; });
  };
  for (const HomVec4& v : scene.vertices) {
    EXPECT_NEAR(v.norm(), 1.0, 1e-15);
    EXPECT_TRUE(has(negated(v)));  // 60 points of projective space, each twice
  }
  // Even permutations of (phi/2, 1/2, 1/(2 phi), 0) only: the identity is one, a swap is not.
  const double phi = (1 + std::sqrt(5.0)) / 2;
  EXPECT_TRUE(has(HomVec4::init(phi / 2, 0.5, 0.5 / phi, 0)));
  EXPECT_FALSE(has(HomVec4::init(0.5, phi / 2, 0.5 / phi, 0)));

  // Samples run from one end of each edge to the other in equal steps, on the sphere.
  ASSERT_EQ(scene.edge_samples.size(), 720u * (kEdgeSegments + 1));
  ASSERT_EQ(scene.edge_endpoints.size(), 1440u);
  for (std::size_t e = 0; e < scene.edges.size(); e += 97) {
    const HomVec4* s = &scene.edge_samples[e * (kEdgeSegments + 1)];
    EXPECT_GT(s[0].dot(scene.vertices[scene.edges[e].a]), 1 - 1e-15);
    EXPECT_GT(s[kEdgeSegments].dot(scene.vertices[scene.edges[e].b]), 1 - 1e-15);
    for (std::uint32_t k = 0; k < kEdgeSegments; ++k) {
      EXPECT_NEAR(std::acos(std::min(1.0, s[k].dot(s[k + 1]))), kPi / 5 / kEdgeSegments, 1e-7);
    }
  }
}

TEST(Scene, StarsAreUniformOnTheSphereAndFollowTheSeed) {
  const StarField a = starField(20000, 7);
  const StarField b = starField(20000, 7);
  const StarField c = starField(20000, 8);
  ASSERT_EQ(a.positions.size(), 20000u);
  ASSERT_EQ(a.brightness.size(), 20000u);
  EXPECT_TRUE(std::equal(a.positions.begin(), a.positions.end(), b.positions.begin(), sameBits));
  EXPECT_FALSE(sameBits(a.positions[0], c.positions[0]));
  double mean_x = 0;
  double mean_w4 = 0;
  for (std::size_t i = 0; i < a.positions.size(); ++i) {
    const HomVec4& p = a.positions[i];
    EXPECT_NEAR(p.norm(), 1.0, 1e-15);
    EXPECT_TRUE(a.brightness[i] >= 0.25f && a.brightness[i] <= 1.0f);
    mean_x += p.x / 20000;
    mean_w4 += p.w * p.w * p.w * p.w / 20000;
  }
  // On the 3-sphere E[x] = 0 and E[w^4] = 1/8; a cube pushed out to the sphere gives about 0.11.
  EXPECT_NEAR(mean_x, 0.0, 0.015);
  EXPECT_NEAR(mean_w4, 0.125, 0.006);
}

// --- Screen ------------------------------------------------------------------------------------

TEST(Screen, FrustumKeepsExactlyThePointsThatLandOnTheImage) {
  OrvCamera camera = startCamera(1280, 720);
  for (int i = 0; i < 20; ++i) flyStep(camera);
  camera.updateViewMatrix();
  const OrvFrustum frustum = OrvFrustum::fromCamera(camera);
  const ScreenMapping screen = ScreenMapping::fromCamera(camera, 1280, 720);
  std::mt19937_64 rng(3);
  std::normal_distribution<double> gauss;
  int kept = 0;
  for (int i = 0; i < 100000; ++i) {
    const double x = gauss(rng);
    const double y = gauss(rng);
    const double z = gauss(rng);
    const double w = gauss(rng);
    const HomVec4 q = facing(camera.position, HomVec4::init(x, y, z, w).normalize());
    const auto ndc = screen.toNdc(q);
    const double edge = ndc ? std::max(std::fabs((*ndc)[0]), std::fabs((*ndc)[1])) : 2.0;
    if (std::fabs(edge - 1.0) < 1e-9) continue;  // on the boundary, either answer is right
    EXPECT_EQ(frustum.isVisibleFast(q), edge < 1.0) << i;
    kept += frustum.isVisibleFast(q) ? 1 : 0;
  }
  EXPECT_GT(kept, 4000);  // about a twelfth of all directions

  // 75 degrees across the shorter side, square pixels: the edge of the image is 37.5 degrees off
  // the view axis across a landscape image and up a portrait one.
  const double half = 37.5 * kPi / 180;
  for (const auto& [w, h] : {std::pair{1280u, 720u}, std::pair{300u, 500u}}) {
    OrvCamera c = cameraAtOrigin(HomVec4::init(0, 0, -1, 0), w, h);
    c.updateViewMatrix();
    const OrvFrustum f = OrvFrustum::fromCamera(c);
    const ScreenMapping s = ScreenMapping::fromCamera(c, w, h);
    const bool landscape = w >= h;
    for (const double sign : {-1.0, 1.0}) {
      for (const double delta : {-1e-6, 1e-6}) {
        const double a = sign * (half + delta);
        const HomVec4 dir = landscape ? HomVec4::init(std::sin(a), 0, -std::cos(a), 0)
                                      : HomVec4::init(0, std::sin(a), -std::cos(a), 0);
        const HomVec4 q = HomVec4::init(0.6 * dir.x, 0.6 * dir.y, 0.6 * dir.z, 0.8);
        EXPECT_EQ(f.isVisibleFast(q), delta < 0) << w << "x" << h << " " << a;
      }
    }
    EXPECT_NEAR(1 / s.tan_h / (1 / s.tan_v), static_cast<double>(w) / h, 1e-12);
    const auto corner = s.toPixel(HomVec4::init(std::tan(half), 0, -1, 1).normalize());
    ASSERT_TRUE(corner.has_value());
    if (landscape) {
      EXPECT_NEAR((*corner)[0], w, 1e-6);
    }
  }
}

// --- The per-frame path ------------------------------------------------------------------------

TEST(Frame, ShortPathImageDrawsTheNearerOfTwoPointsAheadLast) {
  orv::testing::CountingResource resource;
  OrvCamera moved = startCamera(320, 180);
  flyStep(moved);
  for (OrvCamera camera : {cameraAtOrigin(HomVec4::init(0, 0, -1, 0), 320, 180), moved}) {
    // Ahead at 0.8 pi is 0.2 pi behind: the facing representative of that point lies behind the
    // observer, so looking forward it is culled and can never cover the point ahead at 0.4 pi.
    const HomVec4 far_ahead = straightAhead(camera, 0.8 * kPi);
    const HomVec4 ahead = straightAhead(camera, 0.4 * kPi);
    EXPECT_NEAR(fsDistance(camera.position, far_ahead), 0.2 * kPi, 1e-12);
    const Scene both = sceneOfStars({far_ahead, ahead});
    const Scene alone = sceneOfStars({ahead});
    FrameRenderer with_both(both, 320, 180, resource);
    FrameRenderer with_one(alone, 320, 180, resource);
    ASSERT_TRUE(with_both.render(camera).has_value());
    ASSERT_TRUE(with_one.render(camera).has_value());
    EXPECT_EQ(with_both.drawList().source, std::vector<std::uint32_t>{1});
    EXPECT_EQ(with_both.image().rgb, with_one.image().rgb);

    // Turned around, the same two points: now only the one 0.2 pi away is in view.
    OrvCamera back = OrvCamera::init(camera.position, negated(camera.forward), camera.up,
                                     camera.fov, camera.aspect, camera.near_fs, camera.far_fs);
    ASSERT_TRUE(with_both.render(back).has_value());
    EXPECT_EQ(with_both.drawList().source, std::vector<std::uint32_t>{0});
    EXPECT_TRUE(sameBits(with_both.drawList().positions[0], facing(camera.position, far_ahead)));
  }

  // Two points ahead that are both visible: the farther first, whatever their input order.
  OrvCamera camera = cameraAtOrigin(HomVec4::init(0, 0, -1, 0), 320, 180);
  const Scene two =
      sceneOfStars({straightAhead(camera, 0.1 * kPi), straightAhead(camera, 0.3 * kPi)});
  FrameRenderer renderer(two, 320, 180, resource);
  ASSERT_TRUE(renderer.render(camera).has_value());
  EXPECT_EQ(renderer.drawList().source, (std::vector<std::uint32_t>{1, 0}));
  EXPECT_GT(renderer.drawList().depth[0], renderer.drawList().depth[1]);
}

TEST(Frame, StarsComeOutFacingCulledAndBackToFront) {
  orv::testing::CountingResource resource;
  const Scene scene = makeScene(5000, 2);
  OrvCamera camera = startCamera(160, 90);
  flyStep(camera);
  FrameRenderer renderer(scene, 160, 90, resource);
  const auto stats = renderer.render(camera);
  ASSERT_TRUE(stats.has_value());
  const OrvFrustum frustum = OrvFrustum::fromCamera(camera);
  const DrawList& draw = renderer.drawList();
  std::uint32_t expected_visible = 0;
  for (const HomVec4& star : scene.stars.positions) {
    expected_visible += frustum.isVisibleFast(facing(camera.position, star)) ? 1u : 0u;
  }
  EXPECT_EQ(stats->visible, expected_visible);
  EXPECT_EQ(stats->points, 5000u);
  ASSERT_EQ(draw.positions.size(), expected_visible);
  ASSERT_GT(expected_visible, 100u);
  for (std::size_t k = 0; k < draw.positions.size(); ++k) {
    const HomVec4& p = draw.positions[k];
    EXPECT_TRUE(sameBits(p, facing(camera.position, scene.stars.positions[draw.source[k]])));
    EXPECT_GE(p.dot(camera.position), 0.0);
    EXPECT_EQ(draw.classes[k], orv::renderer::wVisibility(p));
    EXPECT_EQ(draw.depth[k],
              orv::renderer::fsDepth(camera.position, p, camera.near_fs, camera.far_fs));
    if (k > 0) {
      EXPECT_LE(draw.depth[k], draw.depth[k - 1]);
    }
  }
}

TEST(Frame, FrameGraphDescribesWhatIsDrawnAndReturnsItsMemory) {
  orv::testing::CountingResource resource;
  const Scene scene = makeScene(3000, 5);
  OrvCamera camera = startCamera(64, 36);
  {
    FrameRenderer renderer(scene, 64, 36, resource);
    for (std::uint32_t frame = 1; frame <= 2; ++frame) {
      flyStep(camera);
      const auto stats = renderer.render(camera);
      ASSERT_TRUE(stats.has_value());
      const auto& graph = renderer.frameGraph();
      ASSERT_EQ(graph.passCount(), 3u);
      EXPECT_EQ(stats->passes, 3u);
      EXPECT_EQ(graph.frameIndex(), 1u);
      const auto passes = graph.passes();
      EXPECT_EQ(passes[0].pass_type, orv::rhi::PassType::clear);
      EXPECT_EQ(passes[1].pass_type, orv::rhi::PassType::orv_geodesic);
      EXPECT_EQ(passes[2].pass_type, orv::rhi::PassType::geometry);

      const auto& geodesic = passes[1].commands;
      ASSERT_EQ(geodesic.size(), 6u);
      EXPECT_EQ(geodesic[4].tag(), GpuCommand::Tag::orv_render_geodesics);
      const auto& view = std::get<GpuCommand::OrvUploadPgl4>(geodesic[2].payload);
      ASSERT_EQ(view.transforms.size(), 1u);
      EXPECT_EQ(view.transforms[0].data, camera.view_pgl4.data);
      EXPECT_EQ(view.buffer.generation, frame);
      const auto& edges = std::get<GpuCommand::OrvUploadPositions>(geodesic[3].payload);
      EXPECT_EQ(edges.positions.data(), scene.edge_endpoints.data());
      EXPECT_EQ(edges.positions.size(), 1440u);
      EXPECT_EQ(std::get<GpuCommand::OrvRenderGeodesics>(geodesic[4].payload).count, 1440u);

      const auto& points = passes[2].commands;
      ASSERT_EQ(points.size(), 5u);
      const auto& stars = std::get<GpuCommand::OrvUploadPositions>(points[2].payload);
      EXPECT_EQ(stars.positions.data(), renderer.drawList().positions.data());
      EXPECT_EQ(stars.positions.size(), stats->visible);
      const auto& draw = std::get<orv::rhi::DrawCommand>(points[3].payload);
      EXPECT_EQ(draw.index_count, stats->visible);
      EXPECT_EQ(draw.orv_position_buffer, stars.buffer);
      EXPECT_EQ(draw.orv_transform_buffer, view.buffer);

      const auto& buffers = renderer.buffers();
      EXPECT_EQ(buffers[0].size, 128u);
      EXPECT_EQ(buffers[1].size, 1440u * 32);
      EXPECT_EQ(buffers[2].size, std::uint64_t{stats->visible} * 32);
      // Between frames only the graph's pass array is held; the sort's list went back.
      EXPECT_EQ(resource.blocksInUse(), 1u);
    }
    resource.failEverything();
    const auto refused = renderer.render(camera);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), orv::Error::OutOfMemory);
  }
  EXPECT_EQ(resource.bytesInUse(), 0u);
  EXPECT_EQ(resource.mismatchedReleases(), 0u);
}

// --- The program -------------------------------------------------------------------------------

TEST(Program, RendersTheSameBytesTwiceAndADecodablePicture) {
  const Scratch scratch;
  const fs::path a = scratch.path() / "a";
  const fs::path b = scratch.path() / "b";
  const Outcome run_a = runWith({"--size", "320x180", "--points", "10000", "--out", a.string()});
  const Outcome run_b =
      runWith({"--out=" + b.string(), "--seed", "1", "--points=10000", "--size", "320x180"});
  ASSERT_EQ(run_a.status, 0) << run_a.err;
  ASSERT_EQ(run_b.status, 0) << run_b.err;
  EXPECT_EQ(run_a.err, "");  // one frame: no progress bar
  EXPECT_NE(run_a.out.find((a / "orv-demo-0000.png").string()), std::string::npos);
  EXPECT_EQ(std::count(run_a.out.begin(), run_a.out.end(), '\n'), 2);  // header and one frame

  const std::vector<unsigned char> bytes = readFile(a / "orv-demo-0000.png");
  EXPECT_EQ(bytes, readFile(b / "orv-demo-0000.png"));
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_memory(&png, bytes.data(), bytes.size()), 0) << png.message;
  EXPECT_EQ(png.width, 320u);
  EXPECT_EQ(png.height, 180u);
  png.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(png));
  ASSERT_NE(png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr), 0) << png.message;
  // Edges are warm, stars white or bluish: count the clearly lit pixels of each.
  std::size_t warm = 0;
  std::size_t cool = 0;
  for (std::size_t i = 0; i < pixels.size(); i += 3) {
    const int red = pixels[i];
    const int blue = pixels[i + 2];
    if (std::max({pixels[i], pixels[i + 1], pixels[i + 2]}) < 48) continue;
    warm += red > blue + 24 ? 1u : 0u;
    cool += blue >= red ? 1u : 0u;
  }
  // Of the 57,600 pixels, the edges light several thousand and the stars some hundreds.
  EXPECT_GT(warm, 3000u);
  EXPECT_LT(warm, 20000u);
  EXPECT_GT(cool, 200u);
  EXPECT_LT(cool, 3000u);
  EXPECT_EQ(scratch.entries(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(a), fs::directory_iterator()), 1);

  // A fly-through: one different image per frame, a row each, a progress bar on stderr.
  const fs::path fly_dir = scratch.path() / "fly";
  const Outcome fly = runWith(
      {"--size", "64x36", "--points", "500", "--frames", "3", "--out", fly_dir.string()});
  ASSERT_EQ(fly.status, 0) << fly.err;
  EXPECT_EQ(std::count(fly.out.begin(), fly.out.end(), '\n'), 4);
  EXPECT_NE(fly.err.find("3/3 frames"), std::string::npos);
  EXPECT_NE(readFile(fly_dir / "orv-demo-0000.png"), readFile(fly_dir / "orv-demo-0002.png"));
  EXPECT_EQ(std::distance(fs::directory_iterator(fly_dir), fs::directory_iterator()), 3);
}

TEST(Program, BadArgumentsGiveOneLineAndStatus2) {
  const Scratch scratch;
  const fs::path file = scratch.path() / "not-a-folder";
  std::ofstream(file) << "x";
  const fs::path out = scratch.path() / "out";
  const std::vector<std::vector<std::string>> cases{
      {"--bogus"},
      {"--points", "-3"},
      {"--points", "33554433"},
      {"--size", "0x0"},
      {"--size", "640"},
      {"--size", "16385x10"},
      {"--frames", "0"},
      {"--seed", "1e3"},
      {"--points"},
      {"stray"},
      {"--out", (file / "images").string()},
      {"--out", file.string()},
  };
  for (auto args : cases) {
    if (args[0] != "--out") args.insert(args.begin(), {"--out", out.string()});
    const Outcome run = runWith(args);
    EXPECT_EQ(run.status, 2) << args.back();
    EXPECT_EQ(run.out, "") << args.back();
    EXPECT_TRUE(run.err.starts_with("orv-demo: ")) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(scratch.entries(), std::vector<std::string>{"not-a-folder"}) << args.back();
  }

  const Outcome help = runWith({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("usage: orv-demo")) << help.out;

  const std::vector<std::string_view> good{"--points=0", "--size", "3x2", "--frames", "12000",
                                           "--seed", "18446744073709551615", "--out", "x"};
  const auto options = parseOptions(good);
  ASSERT_TRUE(options.has_value()) << options.error();
  EXPECT_EQ(options->points, 0u);
  EXPECT_EQ(options->width, 3u);
  EXPECT_EQ(options->height, 2u);
  EXPECT_EQ(options->seed, 18446744073709551615u);
  EXPECT_EQ(frameFileName(7, 12000), "orv-demo-00007.png");
  EXPECT_EQ(frameFileName(7, 10000), "orv-demo-0007.png");
}

TEST(Program, AnImageThatCannotBeWrittenLeavesNoPartialFile) {
  const Scratch scratch;
  // A folder where the image should go: the finished file cannot be renamed over it.
  fs::create_directories(scratch.path() / "orv-demo-0000.png" / "keep");
  const Outcome run =
      runWith({"--size", "32x18", "--points", "100", "--out", scratch.path().string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(run.err.starts_with("orv-demo: cannot rename")) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_EQ(scratch.entries(), std::vector<std::string>{"orv-demo-0000.png"});
  EXPECT_TRUE(fs::exists(scratch.path() / "orv-demo-0000.png" / "keep"));

  // An existing file is replaced whole.
  const fs::path target = scratch.path() / "replaced.bin";
  std::ofstream(target) << "old contents, longer than the new";
  const std::vector<unsigned char> bytes{1, 2, 3};
  ASSERT_TRUE(writeFileReplacing(target, bytes).has_value());
  EXPECT_EQ(readFile(target), bytes);
  EXPECT_FALSE(fs::exists(scratch.path() / "replaced.bin.partial"));
}

}  // namespace
