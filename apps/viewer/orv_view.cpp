// orv-view: flies through a scene of elliptic space in a window, every frame rendered live through
// orv's device layer, on the CPU device or the Vulkan device. Run with --help for its options and
// controls.

#include <SDL.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <memory_resource>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "frame_renderer.hpp"
#include "orv/io.hpp"
#include "viewer.hpp"

namespace {

using namespace orv;
using Clock = std::chrono::steady_clock;

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Stage times summed over the frames since the title last changed.
struct Tally {
  std::uint64_t frames = 0;
  double cull = 0, sort = 0, draw = 0, read = 0, convert = 0, present = 0;
  std::uint64_t in_view = 0;
  Clock::time_point since = Clock::now();

  void add(const frame::FrameStats& s, double convert_ms, double present_ms) {
    ++frames;
    cull += s.cull_ms;
    sort += s.sort_ms;
    draw += s.draw_ms;
    read += s.read_ms;
    convert += convert_ms;
    present += present_ms;
    in_view = std::uint64_t{s.visible} + s.figure_visible;
  }
  // "58.3 fps, 12345 points in view, cpu, cull 1.20 sort ... present 0.50 ms"
  std::string describe(std::string_view device, Clock::time_point now) const {
    const double n = static_cast<double>(frames);
    const double seconds = millisecondsBetween(since, now) / 1000.0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%.1f fps, %llu points in view, %.*s, cull %.2f sort %.2f draw %.2f read %.2f "
                  "convert %.2f present %.2f ms",
                  n / seconds, static_cast<unsigned long long>(in_view),
                  static_cast<int>(device.size()), device.data(), cull / n, sort / n, draw / n,
                  read / n, convert / n, present / n);
    return text;
  }
};

// The first orv-view-NNNN.png that does not exist in the current folder.
std::filesystem::path freeScreenshotName() {
  for (unsigned n = 0;; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "orv-view-%04u.png", n);
    std::error_code error;
    if (!std::filesystem::exists(name, error) || n == 99999) return name;
  }
}

// The 8-bit value io::toDisplay gives a colour channel, for each of the 65536 half floats: made
// once by toDisplay itself, so the window shows exactly its pixels at one lookup per channel.
std::vector<std::uint8_t> halfFloatTable() {
  constexpr std::uint32_t kSide = 256;
  constexpr std::uint16_t kOne = 0x3c00;
  std::vector<std::uint16_t> texels(std::size_t{kSide} * kSide * 4);
  for (std::size_t i = 0; i < std::size_t{kSide} * kSide; ++i) {
    const auto h = static_cast<std::uint16_t>(i);
    texels[4 * i] = texels[4 * i + 1] = texels[4 * i + 2] = h;
    texels[4 * i + 3] = kOne;
  }
  std::vector<std::uint8_t> rgb(std::size_t{kSide} * kSide * 3);
  const io::ImageView all{kSide, kSide, rhi::Format::rgba16_float,
                          std::as_bytes(std::span(texels))};
  std::vector<std::uint8_t> table;
  if (io::toDisplay(all, io::Channels::rgb, rgb, kSide * 3)) {
    table.resize(std::size_t{kSide} * kSide);
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = rgb[3 * i];
  }
  return table;
}

class Viewer {
 public:
  Viewer(const view::Options& options, const frame::Scene& scene, device::Device& device,
         SDL_Window* window)
      : options_(options),
        scene_(scene),
        device_(device),
        window_(window),
        style_(view::styleOf(options.scene)),
        start_(view::startPose(options.scene, scene)),
        observer_(start_) {
    for (const view::Binding& b : view::bindings()) {
      std::string name(b.key);
      // SDL names letter keys by their lower case.
      if (name.size() == 1) {
        name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
      }
      const SDL_Keycode key = SDL_GetKeyFromName(name.c_str());
      if (key != SDLK_UNKNOWN) keys_.emplace(key, b);
    }
  }

  // Runs until the window closes, Escape, or the frames asked for; the exit status.
  int run() {
    Clock::time_point last = Clock::now();
    std::uint64_t frames = 0;
    while (!quit_) {
      if (!handleEvents()) break;
      const Clock::time_point now = Clock::now();
      flight_.step(observer_, held_, millisecondsBetween(last, now) / 1000.0);
      last = now;
      if (auto shown = frame(); shown != 0) return shown;
      ++frames;
      if (options_.pose) {
        const std::string line = view::poseLine(observer_) + '\n';
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
      }
      if (options_.frames && frames >= *options_.frames) break;
    }
    if (!options_.screenshot.empty() && renderer_) {
      if (auto written = io::writePng(options_.screenshot, renderer_->image()); !written) {
        std::cerr << "orv-view: " << written.error() << '\n';
        return 2;
      }
    }
    return 0;
  }

 private:
  // Handles what happened since the last frame; false where the program is to stop at once.
  bool handleEvents() {
    SDL_Event e;
    // A minimised window waits for events instead of drawing.
    if ((SDL_GetWindowFlags(window_) & (SDL_WINDOW_MINIMIZED | SDL_WINDOW_HIDDEN)) != 0) {
      if (SDL_WaitEvent(&e) != 0) handle(e);
    }
    while (SDL_PollEvent(&e) != 0) handle(e);
    return !quit_;
  }

  void handle(const SDL_Event& e) {
    switch (e.type) {
      case SDL_QUIT: quit_ = true; break;
      case SDL_WINDOWEVENT:
        if (e.window.event == SDL_WINDOWEVENT_CLOSE) quit_ = true;
        if (e.window.event == SDL_WINDOWEVENT_FOCUS_LOST) held_ = {};  // its key-ups go elsewhere
        break;
      case SDL_KEYDOWN:
      case SDL_KEYUP: {
        const auto found = keys_.find(e.key.keysym.sym);
        if (found == keys_.end()) break;
        const view::Binding& b = found->second;
        const bool down = e.type == SDL_KEYDOWN;
        if (b.action) held_[static_cast<std::size_t>(*b.action)] = down;
        if (b.command && down && e.key.repeat == 0) command(*b.command);
        break;
      }
      case SDL_MOUSEMOTION:
        if ((e.motion.state & SDL_BUTTON_LMASK) != 0) {
          view::Flight::drag(observer_, e.motion.xrel, e.motion.yrel,
                             view::radiansPerPixel(style_, width_, height_));
        }
        break;
      case SDL_MOUSEWHEEL:
        if (e.wheel.y > 0) flight_.faster();
        if (e.wheel.y < 0) flight_.slower();
        break;
      default: break;
    }
  }

  void command(view::Command c) {
    switch (c) {
      case view::Command::faster: flight_.faster(); break;
      case view::Command::slower: flight_.slower(); break;
      case view::Command::reset:
        observer_ = start_;
        flight_.resetSpeed();
        break;
      case view::Command::screenshot:
        if (renderer_) {
          const std::filesystem::path path = freeScreenshotName();
          if (auto written = io::writePng(path, renderer_->image()); !written) {
            std::cerr << "orv-view: " << written.error() << '\n';
          } else {
            std::cerr << "orv-view: wrote " << path.string() << '\n';
          }
        }
        break;
      case view::Command::quit: quit_ = true; break;
    }
  }

  // Renders a frame at the window's size and shows it; 0, or the exit status of a failure.
  int frame() {
    SDL_Surface* surface = SDL_GetWindowSurface(window_);
    if (surface == nullptr) {
      std::cerr << "orv-view: the window has no surface: " << SDL_GetError() << '\n';
      return 1;
    }
    const auto width = static_cast<std::uint32_t>(surface->w);
    const auto height = static_cast<std::uint32_t>(surface->h);
    if (width == 0 || height == 0) return 0;  // nothing to show in a window of no pixels
    if (!renderer_ || width != width_ || height != height_) {
      // A new size, the first frame's or the window's after a resize: the image follows.
      renderer_.reset();
      width_ = width;
      height_ = height;
      auto made = frame::FrameRenderer::create(scene_, device_, width, height,
                                               *std::pmr::new_delete_resource(), style_);
      if (!made) {
        std::cerr << "orv-view: " << made.error().message << '\n';
        return 1;
      }
      renderer_ = std::move(*made);
      pixels_.assign(std::size_t{width} * height * 3, 0);
    }
    const auto stats = renderer_->render(observer_);
    if (!stats) {
      std::cerr << "orv-view: " << stats.error().message << '\n';
      return 1;
    }
    const Clock::time_point start = Clock::now();
    if (SDL_MUSTLOCK(surface)) SDL_LockSurface(surface);
    const int converted = show(*surface);
    if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
    if (converted < 0) return 1;
    const Clock::time_point presenting = Clock::now();
    if (converted != 0 || SDL_UpdateWindowSurface(window_) != 0) {
      std::cerr << "orv-view: cannot show the frame: " << SDL_GetError() << '\n';
      return 1;
    }
    const Clock::time_point now = Clock::now();
    tally_.add(*stats, millisecondsBetween(start, presenting),
               millisecondsBetween(presenting, now));
    if (millisecondsBetween(tally_.since, now) >= 1000.0) {
      const std::string text = tally_.describe(device_.name(), now);
      SDL_SetWindowTitle(window_, ("orv-view: " + text).c_str());
      if (options_.stats) {
        std::fputs((text + '\n').c_str(), stdout);
        std::fflush(stdout);
      }
      tally_ = Tally{};
      tally_.since = now;
    }
    return 0;
  }

  // Puts the last frame into `surface`, as io::toDisplay makes its pixels: 0, SDL's failure (1)
  // or ours (-1, said on stderr).
  int show(SDL_Surface& surface) {
    const io::ImageView image = renderer_->image();
    const SDL_PixelFormat& f = *surface.format;
    if (f.BytesPerPixel == 4 && image.format == rhi::Format::rgba16_float &&
        table_.size() == 65536) {
      // Straight into a surface of 32-bit pixels.
      const auto* texel = reinterpret_cast<const std::uint16_t*>(image.texels.data());
      for (std::uint32_t y = 0; y < image.height; ++y) {
        const std::size_t offset = std::size_t{y} * static_cast<std::size_t>(surface.pitch);
        auto* row =
            reinterpret_cast<std::uint32_t*>(static_cast<std::uint8_t*>(surface.pixels) + offset);
        for (std::uint32_t x = 0; x < image.width; ++x, texel += 4) {
          row[x] = (std::uint32_t{table_[texel[0]]} << f.Rshift) |
                   (std::uint32_t{table_[texel[1]]} << f.Gshift) |
                   (std::uint32_t{table_[texel[2]]} << f.Bshift) | f.Amask;
        }
      }
      return 0;
    }
    if (auto shown = io::toDisplay(image, io::Channels::rgb, pixels_, width_ * 3); !shown) {
      std::cerr << "orv-view: " << shown.error() << '\n';
      return -1;
    }
    return SDL_ConvertPixels(surface.w, surface.h, SDL_PIXELFORMAT_RGB24, pixels_.data(),
                             static_cast<int>(width_ * 3), f.format, surface.pixels,
                             surface.pitch) == 0
               ? 0
               : 1;
  }

  const view::Options& options_;
  const frame::Scene& scene_;
  device::Device& device_;
  SDL_Window* window_;
  frame::Style style_;
  view::Observer start_;
  view::Observer observer_;
  view::Flight flight_;
  view::Held held_{};
  std::unordered_map<SDL_Keycode, view::Binding> keys_;
  std::unique_ptr<frame::FrameRenderer> renderer_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::vector<std::uint8_t> pixels_;
  std::vector<std::uint8_t> table_ = halfFloatTable();
  Tally tally_;
  bool quit_ = false;
};

// Runs `call` with what is written to the standard error stream going to `held` instead.
template <class Call>
bool whileHoldingStderr(std::string& held, Call call) {
  std::FILE* scratch = std::tmpfile();
  const int saved = scratch != nullptr ? ::dup(STDERR_FILENO) : -1;
  if (saved < 0) {
    if (scratch != nullptr) std::fclose(scratch);
    return call();
  }
  std::fflush(stderr);
  ::dup2(::fileno(scratch), STDERR_FILENO);
  const bool result = call();
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::rewind(scratch);
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, scratch)) > 0;) held.append(chunk, n);
  std::fclose(scratch);
  return result;
}

int run(const view::Options& options) {
  const auto scene = view::loadScene(options);
  if (!scene) {
    std::cerr << "orv-view: " << scene.error() << '\n';
    return 2;
  }
  if (!options.screenshot.empty()) {
    // Refused now rather than after the flight.
    const std::filesystem::path folder = options.screenshot.has_parent_path()
                                             ? options.screenshot.parent_path()
                                             : std::filesystem::path(".");
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
      std::cerr << "orv-view: --screenshot: there is no folder '" << folder.string() << "'\n";
      return 2;
    }
  }
  auto device = frame::openDevice(options.device, options.exact);
  if (!device) {
    std::cerr << "orv-view: " << device.error() << '\n';
    return 2;
  }
  // Where no video driver is asked for and there is neither an X display nor a Wayland one, SDL
  // would probe and fall back to a driver that shows nothing.
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
  };
  if (!set("SDL_VIDEODRIVER") && !set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
    std::cerr << "orv-view: no display to open a window on (neither DISPLAY nor WAYLAND_DISPLAY "
                 "is set)\n";
    return 2;
  }
  // What the X and Wayland libraries print while SDL looks for a display is held back, and shown
  // only where one is found: without one, the one line below says so.
  std::string said;
  const bool started = whileHoldingStderr(said, [] { return SDL_Init(SDL_INIT_VIDEO) == 0; });
  if (!started) {
    std::cerr << "orv-view: no display to open a window on (" << SDL_GetError() << ")\n";
    return 2;
  }
  // SDL falls back to drivers that show nothing where there is no display.
  const std::string driver = SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
  if (driver == "offscreen" || driver == "dummy" || driver == "evdev") {
    std::cerr << "orv-view: no display to open a window on (SDL's video driver is '" << driver
              << "')\n";
    SDL_Quit();
    return 2;
  }
  std::cerr << said;
  SDL_Window* window = SDL_CreateWindow("orv-view", SDL_WINDOWPOS_UNDEFINED,
                                        SDL_WINDOWPOS_UNDEFINED, static_cast<int>(options.width),
                                        static_cast<int>(options.height), SDL_WINDOW_RESIZABLE);
  if (window == nullptr) {
    std::cerr << "orv-view: cannot open a window: " << SDL_GetError() << '\n';
    SDL_Quit();
    return 2;
  }
  int status = 0;
  {
    Viewer viewer(options, *scene, **device, window);
    status = viewer.run();
  }
  SDL_DestroyWindow(window);
  SDL_Quit();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  namespace view = orv::view;
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto options = view::parseOptions(args);
  if (!options) {
    std::cerr << "orv-view: " << options.error() << '\n';
    return 2;
  }
  if (options->help) {
    std::cout << view::usage();
    return 0;
  }
  try {
    return run(*options);
  } catch (const std::bad_alloc&) {
    std::cerr << "orv-view: out of memory\n";
    return 1;
  }
}
