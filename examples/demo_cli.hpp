#pragma once

// The orv-demo command line: its options and the whole run, written against streams so that tests
// can run it as the program does.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace orv::demo {

/// Most stars a run takes: as many positions as one buffer of the default device limits holds
/// (1 GiB of 32-byte positions), so every frame's stars fit one upload.
inline constexpr std::uint64_t kMaxPoints = 33'554'432;
/// Most frames a run takes.
inline constexpr std::uint32_t kMaxFrames = 100'000;

/// The settings of one run.
struct Options {
  std::uint64_t points = 1'000'000;  ///< stars, 0 to kMaxPoints
  std::uint32_t frames = 1;          ///< 1 to kMaxFrames, one image each
  std::uint32_t width = 1280;        ///< pixels, 1 to the largest 2D image of the default limits
  std::uint32_t height = 720;        ///< pixels, likewise
  std::uint64_t seed = 1;            ///< seed of the star field
  std::filesystem::path out = ".";   ///< folder the images go to
  std::string device = "cpu";        ///< "cpu" or "vulkan"
  std::filesystem::path dot;         ///< where to write the frame graph in dot, empty for nowhere
  bool help = false;                 ///< print the usage and stop
};

/// The options given by `args` (the program name not included), or one line saying what is wrong.
[[nodiscard]] std::expected<Options, std::string> parseOptions(
    std::span<const std::string_view> args);

/// The file name of frame `frame` in a run of `frames` frames: orv-demo-0000.png and so on, with
/// as many digits as the last frame needs, at least four.
[[nodiscard]] std::string frameFileName(std::uint32_t frame, std::uint32_t frames);

/// Runs orv-demo with `args` (the program name not included): the device's name and the summary
/// table go to `out`, progress and errors to `err`. The progress bar redraws itself when
/// `err_is_terminal`; otherwise progress is one plain line per frame. Returns the exit status: 0
/// on success, 2 for bad arguments, an output file or folder that cannot be written or a device
/// that cannot be had, 1 when memory runs out or the device fails.
int runDemo(std::span<const std::string_view> args, std::ostream& out, std::ostream& err,
            bool err_is_terminal = false);

}  // namespace orv::demo
