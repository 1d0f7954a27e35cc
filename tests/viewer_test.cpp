// The viewer's logic that needs no window: its command line, its scenes and where they start, its
// key bindings, and how held keys and drags move the observer.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "orv/io.hpp"
#include "viewer.hpp"

namespace {

namespace fs = std::filesystem;
using namespace orv::view;
using orv::kernel::HomVec4;

bool sameBits(const HomVec4& a, const HomVec4& b) {
  return std::bit_cast<std::array<std::uint64_t, 4>>(a) ==
         std::bit_cast<std::array<std::uint64_t, 4>>(b);
}

bool samePose(const Observer& a, const Observer& b) {
  return sameBits(a.position(), b.position()) && sameBits(a.forward(), b.forward()) &&
         sameBits(a.up(), b.up()) && sameBits(a.right(), b.right());
}

std::expected<Options, std::string> parse(std::vector<std::string_view> args) {
  return parseOptions(args);
}

// A file of this test's own, removed when the test ends.
class ScratchFile {
 public:
  ScratchFile(std::string_view name, std::string_view bytes)
      : path_((fs::temp_directory_path() /
              ("viewer_test_" + std::to_string(::getpid()) + "_" + std::string(name))).string()) {
    std::ofstream(path_, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~ScratchFile() { fs::remove(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A version 1 .npy file of `rows` x `cols` values of `dtype` ('<i8', ...), `data` their bytes.
std::string npy(std::string_view dtype, std::size_t rows, std::size_t cols, const void* data,
                std::size_t bytes) {
  std::string header = "{'descr': '" + std::string(dtype) +
                       "', 'fortran_order': False, 'shape': (" + std::to_string(rows) + ", " +
                       std::to_string(cols) + "), }";
  header.append(63 - (10 + header.size()) % 64, ' ').push_back('\n');
  std::string file = "\x93NUMPY\x01";
  file.push_back('\0');
  file.push_back(static_cast<char>(header.size() & 0xff));
  file.push_back(static_cast<char>(header.size() >> 8));
  return file + header + std::string(static_cast<const char*>(data), bytes);
}

TEST(ViewerOptions, ReadsEveryOptionAndRefusesWhatIsWrongInOneLine) {
  const auto all = parse({"--scene", "cloud.npy", "--colors=c.npy", "--edges", "e.npy",
                          "--points", "5", "--device", "vulkan", "--size", "320x180",
                          "--frames=7", "--screenshot", "out.png", "--pose", "--stats", "--exact"});
  ASSERT_TRUE(all) << all.error();
  EXPECT_EQ(all->scene, SceneKind::file);
  EXPECT_EQ(all->points_file, "cloud.npy");
  EXPECT_EQ(all->colors_file, "c.npy");
  EXPECT_EQ(all->edges_file, "e.npy");
  EXPECT_EQ(all->stars, 5u);
  EXPECT_EQ(all->device, "vulkan");
  EXPECT_EQ(all->width, 320u);
  EXPECT_EQ(all->height, 180u);
  EXPECT_EQ(all->frames, 7u);
  EXPECT_EQ(all->screenshot, "out.png");
  EXPECT_TRUE(all->pose && all->stats && all->exact && !all->help);
  EXPECT_EQ(parse({"--scene", "hopf"})->scene, SceneKind::hopf);
  EXPECT_EQ(parse({"--scene", "torus"})->scene, SceneKind::torus);
  EXPECT_EQ(parse({})->scene, SceneKind::demo);
  EXPECT_FALSE(parse({})->frames);
  EXPECT_FALSE(parse({"--device", "vulkan"})->exact);  // the fast path unless asked

  const std::vector<std::pair<std::vector<std::string_view>, std::string_view>> wrong{
      {{"--size", "16385x10"}, "--size"},
      {{"--frames", "0"}, "--frames"},
      {{"--scene"}, "--scene needs a value"},
      {{"--scene", "hopf", "--edges", "e.npy"}, "--colors and --edges go with --scene FILE"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"--exact"}, "--exact goes with --device vulkan"},
  };
  for (const auto& [args, message] : wrong) {
    const auto parsed = parse(args);
    ASSERT_FALSE(parsed) << args[0];
    EXPECT_NE(parsed.error().find(message), std::string::npos) << parsed.error();
    EXPECT_EQ(parsed.error().find('\n'), std::string::npos);
  }
}

TEST(ViewerFlight, HeldKeysMoveByRateTimesSecondsAlongTheObserversFrame) {
  const Observer start = startPose(SceneKind::demo, {});
  Flight flight;
  Held held{};
  held[static_cast<std::size_t>(Action::forward)] = true;
  held[static_cast<std::size_t>(Action::left)] = true;
  held[static_cast<std::size_t>(Action::yaw_right)] = true;
  held[static_cast<std::size_t>(Action::roll_left)] = true;
  held[static_cast<std::size_t>(Action::pitch_up)] = true;
  held[static_cast<std::size_t>(Action::pitch_down)] = true;  // cancels pitch_up
  Observer moved = start;
  flight.step(moved, held, 0.5);
  Observer expected = start;
  expected.moveForward(Flight::kStartSpeed * 0.5);
  expected.moveRight(-Flight::kStartSpeed * 0.5);
  expected.yaw(Flight::kTurnRate * 0.5);
  expected.roll(-Flight::kRollRate * 0.5);
  EXPECT_TRUE(samePose(moved, expected));

  // Twice the speed covers twice the way; a stretch of no time, or none that is a time, nothing.
  flight.faster();
  EXPECT_EQ(flight.speed(), 2 * Flight::kStartSpeed);
  Held up{};
  up[static_cast<std::size_t>(Action::up)] = true;
  moved = start;
  flight.step(moved, up, 0.25);
  expected = start;
  expected.moveUp(2 * Flight::kStartSpeed * 0.25);
  EXPECT_TRUE(samePose(moved, expected));
  for (const double seconds : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity()}) {
    moved = start;
    flight.step(moved, up, seconds);
    EXPECT_TRUE(samePose(moved, start)) << seconds;
  }
  for (int i = 0; i < 20; ++i) flight.faster();
  EXPECT_EQ(flight.speed(), Flight::kMaxSpeed);
  for (int i = 0; i < 40; ++i) flight.slower();
  EXPECT_EQ(flight.speed(), Flight::kMinSpeed);
  flight.resetSpeed();
  EXPECT_EQ(flight.speed(), Flight::kStartSpeed);
}

TEST(ViewerScenes, FileScenesStartLookingAtTheirMiddle) {
  // Four points around (0, 0, -1, 1), one given by its negation: the middle is straight ahead.
  const ScratchFile text("points.txt",
                         "# x y z w r g b\n"
                         "0.1 0 -1 1 1 0 0\n"
                         "-0.1 0 -1 1 0 1 0\n"
                         "0 -0.1 1 -1 0 0 1\n"
                         "0 -0.1 -1 1 1 1 1\n");
  const auto cloud = loadScene(*parse({"--scene", text.path()}));
  ASSERT_TRUE(cloud) << cloud.error();
  EXPECT_EQ(cloud->points.positions.size(), 4u);
  EXPECT_EQ(cloud->points.colors.size(), 4u);
  EXPECT_TRUE(cloud->figure.positions.empty());
  const Observer start = startPose(SceneKind::file, *cloud);
  EXPECT_TRUE(sameBits(start.position(), HomVec4::init(0, 0, 0, 1)));
  EXPECT_LT(orv::kernel::fsDistance(start.forward(), HomVec4::init(0, 0, -1, 0)), 1e-7);
  EXPECT_LT(start.forward().z, 0.0);

  // Where the middle is the start point itself, toward the nearest point: the first of two as near,
  // given by its negation, passing over one too near to look at.
  orv::frame::Scene symmetric;
  symmetric.figure.positions = {
      HomVec4::init(0, 0, 0, 1), HomVec4::init(0.6, 0, 0, 0.8), HomVec4::init(-0.6, 0, 0, 0.8),
      HomVec4::init(0, 0.1, 0, -0.99).normalize(), HomVec4::init(0, -0.1, 0, -0.99).normalize()};
  const Observer toward = startPose(SceneKind::file, symmetric);
  const HomVec4 nearest = HomVec4::init(0, -0.1, 0, 0.99).normalize();
  const double d = orv::kernel::fsDistance(toward.position(), nearest);
  EXPECT_LT(orv::kernel::fsDistance(orv::io::pointAt(toward.position(), toward.forward(), d),
                                    nearest),
            1e-12);
  EXPECT_LT(toward.forward().y, 0.0);
  EXPECT_TRUE(samePose(startPose(SceneKind::file, {}), Observer{}));

  // With edges the points are a figure.
  const std::int64_t pairs[] = {0, 1, 1, 2};
  const ScratchFile edges("edges.npy", npy("<i8", 2, 2, pairs, sizeof pairs));
  const auto figure = loadScene(*parse({"--scene", text.path(), "--edges", edges.path()}));
  ASSERT_TRUE(figure) << figure.error();
  EXPECT_EQ(figure->figure.edges.size(), 2u);
  EXPECT_TRUE(figure->points.positions.empty());
}

TEST(ViewerScenes, TheNamedScenesAreMadeAndPosesPrintedReadBackToTheBit) {
  Options options;
  options.stars = 1000;
  EXPECT_EQ(loadScene(options)->points.positions.size(), 1000u);
  EXPECT_EQ(loadScene(options)->figure.positions.size(), 120u);
  options.scene = SceneKind::torus;
  EXPECT_FALSE(loadScene(options)->figure.edges.empty());
  options.scene = SceneKind::hopf;
  EXPECT_FALSE(loadScene(options)->figure.colors.empty());

  Observer observer = startPose(SceneKind::hopf, {});
  observer.moveForward(0.1);
  observer.roll(1.0 / 3.0);
  std::istringstream line(poseLine(observer));
  std::array<double, 12> read{};
  for (double& v : read) ASSERT_TRUE(line >> v);
  EXPECT_TRUE(line.eof());
  const auto at = [&](std::size_t i) {
    return HomVec4::init(read[i], read[i + 1], read[i + 2], read[i + 3]);
  };
  EXPECT_TRUE(sameBits(at(0), observer.position()));
  EXPECT_TRUE(sameBits(at(4), observer.forward()));
  EXPECT_TRUE(sameBits(at(8), observer.up()));
}

}  // namespace
