#include "viewer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <utility>

#include "cli_text.hpp"
#include "demo_scene.hpp"
#include "orv/io.hpp"
#include "orv/kernel.hpp"

namespace orv::view {

namespace {

using kernel::HomVec4;

using cli::inQuotes;
using cli::parseWhole;

// Options that take a value, and those that do not.
constexpr std::array<std::string_view, 8> kValued{"--scene", "--colors", "--edges",
                                                  "--points", "--device", "--size",
                                                  "--frames", "--screenshot"};

std::expected<void, std::string> applyOption(Options& options, std::string_view name,
                                             std::string_view value) {
  const auto path = [&](std::filesystem::path& into,
                        std::string_view what) -> std::expected<void, std::string> {
    if (value.empty()) return std::unexpected(std::string(name) + " expects " + std::string(what));
    into = std::filesystem::path(value);
    return {};
  };
  if (name == "--scene") {
    if (value == "demo") {
      options.scene = SceneKind::demo;
    } else if (value == "torus") {
      options.scene = SceneKind::torus;
    } else if (value == "hopf") {
      options.scene = SceneKind::hopf;
    } else {
      options.scene = SceneKind::file;
      return path(options.points_file, "demo, torus, hopf or a file of points");
    }
  } else if (name == "--colors") {
    return path(options.colors_file, "a .npy file of colours");
  } else if (name == "--edges") {
    return path(options.edges_file, "a .npy file of edges");
  } else if (name == "--points") {
    const auto n = parseWhole<std::uint64_t>(value);
    if (!n || *n > kMaxStars) {
      return std::unexpected(std::string(name) + " expects a whole number from 0 to " +
                             std::to_string(kMaxStars) + ", got " + inQuotes(value));
    }
    options.stars = static_cast<std::size_t>(*n);
  } else if (name == "--device") {
    if (value != "cpu" && value != "vulkan") {
      return std::unexpected("--device expects cpu or vulkan, got " + inQuotes(value));
    }
    options.device = std::string(value);
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
  } else if (name == "--frames") {
    const auto n = parseWhole<std::uint64_t>(value);
    if (!n || *n < 1) {
      return std::unexpected("--frames expects a whole number from 1, got " + inQuotes(value));
    }
    options.frames = *n;
  } else {  // --screenshot
    return path(options.screenshot, "a file to write the last frame to");
  }
  return {};
}

// Observer::init with the first of +y, +x and +z that is not ahead as up.
Observer lookingAt(const HomVec4& position, const HomVec4& target) {
  for (const HomVec4& up : {HomVec4::init(0, 1, 0, 0), HomVec4::init(1, 0, 0, 0),
                            HomVec4::init(0, 0, 1, 0)}) {
    if (auto made = Observer::init(position, target, up)) return *made;
  }
  return Observer{};
}

struct Described {
  Binding binding;
  std::string_view help;
};

constexpr std::array<Described, 20> kBindings{{
    {{"W", Action::forward, {}}, "move forward"},
    {{"S", Action::back, {}}, "move back"},
    {{"A", Action::left, {}}, "move left"},
    {{"D", Action::right, {}}, "move right"},
    {{"Space", Action::up, {}}, "move up"},
    {{"C", Action::down, {}}, "move down"},
    {{"Left", Action::yaw_left, {}}, "turn left (or drag the mouse)"},
    {{"Right", Action::yaw_right, {}}, "turn right"},
    {{"Up", Action::pitch_up, {}}, "look up"},
    {{"Down", Action::pitch_down, {}}, "look down"},
    {{"Q", Action::roll_left, {}}, "roll left"},
    {{"E", Action::roll_right, {}}, "roll right"},
    {{"=", {}, Command::faster}, "twice as fast (or the mouse wheel up)"},
    {{"Keypad +", {}, Command::faster}, "twice as fast"},
    {{"-", {}, Command::slower}, "half as fast (or the mouse wheel down)"},
    {{"Keypad -", {}, Command::slower}, "half as fast"},
    {{"R", {}, Command::reset}, "back to the start, at the starting speed"},
    {{"P", {}, Command::screenshot}, "write orv-view-NNNN.png into the current folder"},
    {{"F12", {}, Command::screenshot}, "likewise"},
    {{"Escape", {}, Command::quit}, "quit (so does closing the window)"},
}};

constexpr std::array<Binding, kBindings.size()> kPlainBindings = [] {
  std::array<Binding, kBindings.size()> plain{};
  for (std::size_t i = 0; i < kBindings.size(); ++i) plain[i] = kBindings[i].binding;
  return plain;
}();

}  // namespace

std::expected<Options, std::string> parseOptions(std::span<const std::string_view> args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--pose") {
      options.pose = true;
      continue;
    }
    if (arg == "--stats") {
      options.stats = true;
      continue;
    }
    if (arg == "--exact") {
      options.exact = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    if (std::find(kValued.begin(), kValued.end(), name) == kValued.end()) {
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
  if (options.scene != SceneKind::file &&
      (!options.colors_file.empty() || !options.edges_file.empty())) {
    return std::unexpected(std::string("--colors and --edges go with --scene FILE"));
  }
  if (options.exact && options.device != "vulkan") {
    return std::unexpected(std::string("--exact goes with --device vulkan"));
  }
  return options;
}

std::string usage() {
  std::string text =
      "usage: orv-view [--scene demo|torus|hopf|FILE] [--colors FILE.npy] [--edges FILE.npy]\n"
      "                [--points N] [--device cpu|vulkan] [--exact] [--size WxH] [--frames N]\n"
      "                [--screenshot FILE.png] [--pose] [--stats]\n"
      "Opens a window and flies through a scene of elliptic space, every frame rendered live\n"
      "through orv's device layer.\n"
      "  --scene S        demo: the 600-cell and random stars (default); torus: the Clifford\n"
      "                   torus and its grid lines; hopf: fibres of the Hopf fibration, great\n"
      "                   circles coloured by their base point; or a file of points (below)\n"
      "  --colors F.npy   colours of the file's points, N x 3 or N x 4 (linear, 0 to 1)\n"
      "  --edges F.npy    edges between the file's points, M x 2 integer indices: drawn as\n"
      "                   great-circle arcs (without edges the points are a sorted cloud)\n"
      "  --points N       stars of the demo scene (default 1000000, at most 33554432)\n"
      "  --device D       cpu (default) or vulkan: the device that executes each frame's graph\n"
      "  --exact          with vulkan, its exact path (the CPU device's pixels, double precision\n"
      "                   in every fragment) instead of its fast single-precision path\n"
      "  --size WxH       size of the window's image in pixels (default 1280x720)\n"
      "  --frames N       quit after N frames\n"
      "  --screenshot F   after the last frame, write what the window shows to F as PNG\n"
      "  --pose           after every frame print the observer's position, forward and up\n"
      "                   (x y z w of each, twelve numbers, %.17g) on a line of its own\n"
      "  --stats          every second print the frame rate and the milliseconds of each stage\n"
      "Controls (motion is per second, along the observer's own frame):\n";
  for (const Described& d : kBindings) {
    std::string key(d.binding.key);
    key.resize(std::max<std::size_t>(key.size(), 10), ' ');
    text += "  " + key + "  " + std::string(d.help) + "\n";
  }
  text +=
      "  mouse drag  turn toward where the mouse goes\n"
      "The window title shows frames per second, points in view, the device and the milliseconds\n"
      "of the frame's stages: cull, sort, draw (record and execute), read back, convert to the\n"
      "window's pixels and present. The Vulkan device shows its frames through a Vulkan surface\n"
      "of the window, where it can (else it says so and reads them back);\n"
      "ORV_VULKAN_VALIDATION=1 runs it under the validation layer, its messages on stderr.\n"
      "Files of points: NumPy .npy, N x 4 (x y z w) of float64 or float32 in C order, or text,\n"
      "one point per line, x y z w optionally followed by r g b. A bad file or option gives one\n"
      "line on stderr and exit status 2; so does a missing display.\n";
  return text;
}

std::expected<frame::Scene, std::string> loadScene(const Options& options) {
  frame::Scene scene;
  switch (options.scene) {
    case SceneKind::demo: return demo::makeScene(options.stars, 1);
    case SceneKind::torus: scene.figure = io::cliffordTorus(); return scene;
    case SceneKind::hopf: scene.figure = io::hopfFibres(); return scene;
    case SceneKind::file: break;
  }
  auto points = io::readPoints(options.points_file);
  if (!points) return std::unexpected(points.error());
  if (!options.colors_file.empty()) {
    auto colors = io::readColors(options.colors_file);
    if (!colors) return std::unexpected(colors.error());
    points->colors = std::move(*colors);
  }
  if (!options.edges_file.empty()) {
    auto edges = io::readEdges(options.edges_file);
    if (!edges) return std::unexpected(edges.error());
    points->edges = std::move(*edges);
  }
  if (auto whole = io::check(*points); !whole) {
    return std::unexpected(options.points_file.string() + ": " + whole.error());
  }
  // With edges the points are a figure drawn whole; without, a cloud culled and sorted.
  (points->edges.empty() ? scene.points : scene.figure) = std::move(*points);
  return scene;
}

frame::Style styleOf(SceneKind kind) {
  frame::Style style;
  switch (kind) {
    case SceneKind::demo: break;
    case SceneKind::torus:
      style.edge_width = 1.5f;
      style.corner_size = 0.0f;
      break;
    case SceneKind::hopf:
      style.edge_width = 1.5f;
      style.corner_size = 0.0f;
      break;
    case SceneKind::file:
      style.corner_size = 3.0f;
      break;
  }
  return style;
}

Observer startPose(SceneKind kind, const frame::Scene& scene) {
  switch (kind) {
    case SceneKind::demo: return demo::startObserver();
    case SceneKind::torus: {
      // On the circle of the zw plane, inside the torus, looking along it a little upward: the
      // grid lines run ahead as the walls of a tunnel that closes on itself.
      Observer observer;
      observer.moveUp(0.3);
      observer.pitch(-0.6);
      return observer;
    }
    case SceneKind::hopf: {
      Observer observer;
      observer.moveRight(0.3);
      observer.yaw(-0.4);
      return observer;
    }
    case SceneKind::file: break;
  }
  const HomVec4 origin = HomVec4::init(0, 0, 0, 1);
  constexpr double kApart = 1e-6;
  const std::vector<HomVec4>& figure = scene.figure.positions;
  const std::vector<HomVec4>& cloud = scene.points.positions;
  // The middle: the mean of the representatives on the side w >= 0.
  HomVec4 sum = HomVec4::init(0, 0, 0, 0);
  std::optional<HomVec4> nearest;
  double best = 0;
  for (const std::vector<HomVec4>* set : {&figure, &cloud}) {
    for (const HomVec4& given : *set) {
      const HomVec4 p = given.w < 0 ? HomVec4::init(-given.x, -given.y, -given.z, -given.w) : given;
      sum = HomVec4::init(sum.x + p.x, sum.y + p.y, sum.z + p.z, sum.w + p.w);
      const double d = kernel::fsDistance(origin, p);
      if (!(d >= kApart) || (nearest && !(d < best))) continue;
      best = d;
      nearest = p;
    }
  }
  if (kernel::fsDistance(origin, sum) >= kApart) return lookingAt(origin, sum);
  return nearest ? lookingAt(origin, *nearest) : Observer{};
}

std::span<const Binding> bindings() noexcept { return kPlainBindings; }

void Flight::faster() noexcept { speed_ = std::min(speed_ * 2.0, kMaxSpeed); }
void Flight::slower() noexcept { speed_ = std::max(speed_ / 2.0, kMinSpeed); }

void Flight::step(Observer& observer, const Held& held, double seconds) const noexcept {
  if (!(seconds > 0.0) || !std::isfinite(seconds)) return;
  const auto axis = [&](Action plus, Action minus) {
    return static_cast<double>(held[static_cast<std::size_t>(plus)]) -
           static_cast<double>(held[static_cast<std::size_t>(minus)]);
  };
  const double travel = speed_ * seconds;
  const double turn = kTurnRate * seconds;
  const double spin = kRollRate * seconds;
  if (const double a = axis(Action::forward, Action::back); a != 0.0) {
    observer.moveForward(a * travel);
  }
  if (const double a = axis(Action::right, Action::left); a != 0.0) observer.moveRight(a * travel);
  if (const double a = axis(Action::up, Action::down); a != 0.0) observer.moveUp(a * travel);
  if (const double a = axis(Action::yaw_right, Action::yaw_left); a != 0.0) observer.yaw(a * turn);
  if (const double a = axis(Action::pitch_up, Action::pitch_down); a != 0.0) {
    observer.pitch(a * turn);
  }
  if (const double a = axis(Action::roll_right, Action::roll_left); a != 0.0) {
    observer.roll(a * spin);
  }
}

void Flight::drag(Observer& observer, double dx, double dy, double radians_per_pixel) noexcept {
  if (dx != 0.0) observer.yaw(dx * radians_per_pixel);
  if (dy != 0.0) observer.pitch(-dy * radians_per_pixel);
}

double radiansPerPixel(const frame::Style& style, std::uint32_t width, std::uint32_t height) {
  const double across = style.horizontal_angle ? *style.horizontal_angle
                                               : frame::viewAngles(width, height).horizontal;
  return across / static_cast<double>(width);
}

std::string poseLine(const Observer& observer) {
  std::string line;
  char number[32];
  for (const HomVec4& v : {observer.position(), observer.forward(), observer.up()}) {
    for (const double c : {v.x, v.y, v.z, v.w}) {
      std::snprintf(number, sizeof number, "%.17g", c);
      if (!line.empty()) line += ' ';
      line += number;
    }
  }
  return line;
}

}  // namespace orv::view
