#pragma once

// What orv-view does that needs no window: its command line, its scenes and where each starts, the
// key bindings and how held keys and mouse drags move and turn the observer, per second of time
// and per pixel of motion. The SDL program in orv_view.cpp feeds it events and shows its frames.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "frame_renderer.hpp"
#include "orv/renderer.hpp"

namespace orv::view {

using renderer::Observer;

/// The scenes the viewer shows.
enum class SceneKind : std::uint8_t {
  demo,   ///< the 600-cell and random stars
  torus,  ///< the Clifford torus with its grid lines
  hopf,   ///< fibres of the Hopf fibration, great circles coloured by their base point
  file,   ///< points (and colours and edges) read from files
};

/// The command line of orv-view.
struct Options {
  SceneKind scene = SceneKind::demo;
  std::filesystem::path points_file;  ///< the points of a file scene
  std::filesystem::path colors_file;  ///< empty, or its colours (.npy)
  std::filesystem::path edges_file;   ///< empty, or its edges (.npy)
  std::size_t stars = 1'000'000;      ///< stars of the demo scene
  std::string device = "cpu";         ///< "cpu" or "vulkan"
  /// With the Vulkan device, its exact path (the CPU device's pixels, double precision in every
  /// fragment) instead of the fast single-precision path.
  bool exact = false;
  std::uint32_t width = 1280;         ///< of the window's image, pixels
  std::uint32_t height = 720;
  std::optional<std::uint64_t> frames;   ///< quit after this many frames
  std::filesystem::path screenshot;      ///< written after the last frame, when not empty
  bool pose = false;                     ///< print the pose after every frame
  bool stats = false;                    ///< print frame rate and stage times every second
  bool help = false;
};

/// Most stars of the demo scene, and longest side of the window.
inline constexpr std::size_t kMaxStars = 33'554'432;
inline constexpr std::uint32_t kMaxSide = 16384;

/// The options `args` (the arguments after the program name) give, or one line saying what is
/// wrong with them.
[[nodiscard]] std::expected<Options, std::string> parseOptions(
    std::span<const std::string_view> args);

/// What --help prints: the options, the controls and the file formats.
[[nodiscard]] std::string usage();

/// The scene `options` name: made, or read from its files and checked. A file that cannot be read
/// or does not hold together is refused with one line.
[[nodiscard]] std::expected<frame::Scene, std::string> loadScene(const Options& options);

/// How the scene `kind` is drawn.
[[nodiscard]] frame::Style styleOf(SceneKind kind);

/// Where the observer starts in `scene` (and returns to on reset). The demo starts where orv-demo
/// starts; the torus and the Hopf fibres from chosen points; a file scene at (0, 0, 0, 1) looking
/// toward the middle of the scene, the mean of the points' representatives with w >= 0, or where
/// that is not at least 1e-6 rad away, toward the nearest point that is (none: as `Observer{}`),
/// with +y up where that is not ahead, else +x, else +z.
[[nodiscard]] Observer startPose(SceneKind kind, const frame::Scene& scene);

// --- Controls --------------------------------------------------------------------------------

/// What a held key does. Each moves or turns the observer along its own frame at a rate per second.
enum class Action : std::uint8_t {
  forward,
  back,
  left,
  right,
  up,
  down,
  yaw_left,
  yaw_right,
  pitch_up,
  pitch_down,
  roll_left,
  roll_right,
  count,
};
inline constexpr std::size_t kActionCount = static_cast<std::size_t>(Action::count);

/// What a pressed key does once.
enum class Command : std::uint8_t { faster, slower, reset, screenshot, quit };

/// A key as SDL names it (SDL_GetKeyFromName), and what it does.
struct Binding {
  std::string_view key;
  std::optional<Action> action;    ///< while held
  std::optional<Command> command;  ///< when pressed
};

/// Every key the viewer knows, in the order --help lists them.
[[nodiscard]] std::span<const Binding> bindings() noexcept;

/// Keys held during a stretch of time.
using Held = std::array<bool, kActionCount>;

/// Moving speed and turning rates, and how held keys and drags move the observer.
class Flight {
 public:
  static constexpr double kStartSpeed = 0.25;  ///< radians per second
  static constexpr double kMinSpeed = 1.0 / 1024.0;
  static constexpr double kMaxSpeed = 4.0;
  static constexpr double kTurnRate = 1.0;  ///< radians per second, arrow keys
  static constexpr double kRollRate = 1.0;  ///< radians per second

  /// Radians per second along the observer's frame.
  [[nodiscard]] double speed() const noexcept { return speed_; }
  /// Doubles or halves the speed, within kMinSpeed to kMaxSpeed.
  void faster() noexcept;
  void slower() noexcept;
  /// Back to kStartSpeed.
  void resetSpeed() noexcept { speed_ = kStartSpeed; }

  /// Moves and turns `observer` as `held` keys do over `seconds`: first along forward, right and up
  /// (each by speed * seconds, opposite keys cancelling), then yaw, pitch and roll (each by its
  /// rate * seconds). Nothing happens for a stretch that is not positive and finite.
  void step(Observer& observer, const Held& held, double seconds) const noexcept;

  /// Turns `observer` as a mouse drag by `dx`, `dy` pixels does (y down, as screens count): by
  /// `radians_per_pixel` each, yaw toward the drag across and pitch up for a drag upward, so the
  /// view turns toward where the mouse goes.
  static void drag(Observer& observer, double dx, double dy, double radians_per_pixel) noexcept;

 private:
  double speed_ = kStartSpeed;
};

/// Radians a drag turns per pixel of a `width` x `height` image: its horizontal angle of view
/// over its width, so a drag across the image turns by the angle it shows.
[[nodiscard]] double radiansPerPixel(const frame::Style& style, std::uint32_t width,
                                     std::uint32_t height);

/// One line of --pose: position, forward and up, twelve numbers printed with %.17g, which read back
/// as the same doubles.
[[nodiscard]] std::string poseLine(const Observer& observer);

}  // namespace orv::view
