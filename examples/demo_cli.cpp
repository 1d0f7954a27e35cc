#include "demo_cli.hpp"

#include <charconv>
#include <cstdio>
#include <memory_resource>
#include <new>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>

#include "cli_text.hpp"
#include "demo_scene.hpp"
#include "frame_renderer.hpp"
#include "orv/device.hpp"
#include "orv/io.hpp"
#include "orv/rhi.hpp"

namespace orv::demo {

namespace {

constexpr std::uint32_t kMaxSide = rhi::DeviceLimits{}.max_image_dimension_2d;
constexpr int kProgressWidth = 30;

constexpr std::string_view kUsage =
    "usage: orv-demo [--points N] [--frames N] [--size WxH] [--seed S] [--out DIR]\n"
    "                [--device cpu|vulkan] [--dot FILE]\n"
    "Renders the 600-cell and a field of random stars in elliptic space through orv and writes\n"
    "one PNG per frame, orv-demo-0000.png and on, moving the observer a little every frame.\n"
    "  --points N   stars, random points on the 3-sphere (default 1000000, at most 33554432)\n"
    "  --frames N   frames of the fly-through, one image each (default 1, at most 100000)\n"
    "  --size WxH   image size in pixels (default 1280x720, each side 1 to 16384)\n"
    "  --seed S     seed of the star field (default 1)\n"
    "  --out DIR    folder for the images, created if missing (default: the current folder)\n"
    "  --device D   the device that executes the frame graph: cpu (default) or vulkan\n"
    "  --dot FILE   also write the first frame's graph to FILE in Graphviz's dot language\n";

using cli::inQuotes;
using cli::parseWhole;

std::expected<void, std::string> applyOption(Options& options, std::string_view name,
                                             std::string_view value) {
  if (name == "--points") {
    const auto n = parseWhole<std::uint64_t>(value);
    if (!n || *n > kMaxPoints) {
      return std::unexpected("--points expects a whole number from 0 to " +
                             std::to_string(kMaxPoints) + ", got " + inQuotes(value));
    }
    options.points = *n;
  } else if (name == "--frames") {
    const auto n = parseWhole<std::uint32_t>(value);
    if (!n || *n < 1 || *n > kMaxFrames) {
      return std::unexpected("--frames expects a whole number from 1 to " +
                             std::to_string(kMaxFrames) + ", got " + inQuotes(value));
    }
    options.frames = *n;
  } else if (name == "--size") {
    const std::size_t x = value.find('x');
    const auto w = parseWhole<std::uint32_t>(value.substr(0, x));
    const auto h = x == std::string_view::npos ? std::nullopt
                                               : parseWhole<std::uint32_t>(value.substr(x + 1));
    if (!w || !h || *w < 1 || *h < 1 || *w > kMaxSide || *h > kMaxSide) {
      return std::unexpected("--size expects WIDTHxHEIGHT, each from 1 to " +
                             std::to_string(kMaxSide) + ", got " + inQuotes(value));
    }
    options.width = *w;
    options.height = *h;
  } else if (name == "--seed") {
    const auto n = parseWhole<std::uint64_t>(value);
    if (!n) return std::unexpected("--seed expects a whole number, got " + inQuotes(value));
    options.seed = *n;
  } else if (name == "--device") {
    if (value != "cpu" && value != "vulkan") {
      return std::unexpected("--device expects cpu or vulkan, got " + inQuotes(value));
    }
    options.device = std::string(value);
  } else if (name == "--dot") {
    if (value.empty()) return std::unexpected(std::string("--dot expects a file, got ''"));
    options.dot = std::filesystem::path(value);
  } else {  // --out
    if (value.empty()) return std::unexpected(std::string("--out expects a folder, got ''"));
    options.out = std::filesystem::path(value);
  }
  return {};
}

// Creates the output folder if it is missing and makes sure a file can be written into it.
std::expected<void, std::string> prepareOutputFolder(const std::filesystem::path& folder) {
  const std::string what = "cannot write to the output folder " + inQuotes(folder.string()) + ": ";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return std::unexpected(what + error.message());
  if (!std::filesystem::is_directory(folder, error)) {
    return std::unexpected(what + "it is not a folder");
  }
  const std::filesystem::path probe = folder / ".orv-demo-probe";
  if (auto written = io::writeFileReplacing(probe, {}); !written) {
    return std::unexpected(what + written.error());
  }
  std::filesystem::remove(probe, error);
  return {};
}

// Progress on a terminal: a bar that redraws itself in place.
void showProgress(std::ostream& err, std::uint32_t done, std::uint32_t total) {
  const auto filled = static_cast<std::size_t>(std::uint64_t{done} * kProgressWidth / total);
  err << "\r[" << std::string(filled, '#')
      << std::string(static_cast<std::size_t>(kProgressWidth) - filled, '.') << "] " << done << '/'
      << total << " frames" << std::flush;
}

void clearProgress(std::ostream& err) {
  err << '\r' << std::string(kProgressWidth + 30, ' ') << '\r' << std::flush;
}

std::string summaryRow(std::uint32_t frame, const frame::FrameStats& stats,
                       const std::string& path) {
  char row[160];
  std::snprintf(row, sizeof row, "%5u %10zu %9u %9.1f %9.1f %9.1f %9.1f %7u  ", frame,
                stats.points, stats.visible, stats.cull_ms, stats.upload_ms, stats.draw_ms,
                stats.read_ms, stats.passes);
  return row + path + "\n";
}

int run(const Options& options, std::ostream& out, std::ostream& err, bool err_is_terminal) {
  auto device = frame::openDevice(options.device);
  if (!device) {
    err << "orv-demo: " << device.error() << '\n';
    return 2;
  }
  if (auto ready = prepareOutputFolder(options.out); !ready) {
    err << "orv-demo: " << ready.error() << '\n';
    return 2;
  }
  const frame::Scene scene = makeScene(options.points, options.seed);
  Observer observer = startObserver();
  auto renderer = frame::FrameRenderer::create(scene, **device, options.width, options.height,
                                               *std::pmr::new_delete_resource());
  if (!renderer) {
    err << "orv-demo: " << renderer.error().message << '\n';
    return 1;
  }
  const bool bar = options.frames > 1 && err_is_terminal;
  const bool lines = options.frames > 1 && !err_is_terminal;

  out << "device: " << (*device)->name() << '\n';
  out << "frame     points    handed   cull ms upload ms   draw ms   read ms  passes  output\n"
      << std::flush;
  for (std::uint32_t frame = 0; frame < options.frames; ++frame) {
    flyStep(observer);
    const auto stats = (*renderer)->render(observer);
    const auto stop = [&](const std::string& message, int status) {
      if (bar) clearProgress(err);
      err << "orv-demo: " << message << '\n';
      return status;
    };
    if (!stats) return stop(stats.error().message, 1);
    if (frame == 0 && !options.dot.empty()) {
      const std::string dot = device::toDot((*renderer)->frameGraph());
      const auto* first = reinterpret_cast<const std::uint8_t*>(dot.data());
      if (auto written = io::writeFileReplacing(options.dot, {first, dot.size()}); !written) {
        return stop(written.error(), 2);
      }
    }
    const auto png = io::encodePng((*renderer)->image());
    if (!png) return stop(png.error(), 1);
    const std::filesystem::path path = options.out / frameFileName(frame, options.frames);
    const auto written = io::writeFileReplacing(path, *png);
    if (bar) clearProgress(err);
    if (!written) return stop(written.error(), 2);
    out << summaryRow(frame, *stats, path.string()) << std::flush;
    if (bar) showProgress(err, frame + 1, options.frames);
    if (lines) err << "orv-demo: " << frame + 1 << '/' << options.frames << " frames\n" << std::flush;
  }
  if (bar) err << '\n';
  return 0;
}

}  // namespace

std::expected<Options, std::string> parseOptions(std::span<const std::string_view> args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    if (name != "--points" && name != "--frames" && name != "--size" && name != "--seed" &&
        name != "--out" && name != "--device" && name != "--dot") {
      if (!arg.starts_with("-")) return std::unexpected("unexpected argument " + inQuotes(arg));
      return std::unexpected("unknown option " + inQuotes(arg) + " (see --help)");
    }
    std::string_view value;
    if (equals != std::string_view::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return std::unexpected(std::string(name) + " needs a value");
    }
    if (auto applied = applyOption(options, name, value); !applied) {
      return std::unexpected(applied.error());
    }
  }
  return options;
}

std::string frameFileName(std::uint32_t frame, std::uint32_t frames) {
  int digits = 4;
  for (std::uint32_t last = frames > 0 ? frames - 1 : 0; last >= 10000; last /= 10) ++digits;
  char name[32];
  std::snprintf(name, sizeof name, "orv-demo-%0*u.png", digits, frame);
  return name;
}

int runDemo(std::span<const std::string_view> args, std::ostream& out, std::ostream& err,
            bool err_is_terminal) {
  const auto options = parseOptions(args);
  if (!options) {
    err << "orv-demo: " << options.error() << '\n';
    return 2;
  }
  if (options->help) {
    out << kUsage;
    return 0;
  }
  try {
    return run(*options, out, err, err_is_terminal);
  } catch (const std::bad_alloc&) {
    err << "orv-demo: out of memory\n";
    return 1;
  }
}

}  // namespace orv::demo
