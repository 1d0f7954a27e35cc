// orv-view: flies through a scene of elliptic space in a window, every frame rendered live through
// orv's device layer, on the CPU device or the Vulkan device. Run with --help for its options and
// controls. The Vulkan device shows its frames in the window straight from the GPU, through a
// surface of the window, where it can; otherwise, and on the CPU device, each frame is read back
// and converted into the window's pixels.

#include <SDL.h>
#include <unistd.h>

#include <bit>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <memory_resource>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "frame_renderer.hpp"
#include "orv/io.hpp"
#include "viewer.hpp"

#ifdef ORV_FRAME_HAVE_VULKAN
#include <SDL_vulkan.h>

#include "orv/vulkan.hpp"
#endif

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

// What shows the frames of a device in a window straight from the device: the Vulkan device with
// the window's surface attached. Present fails as vulkan::Device::present does.
struct Presenting {
  std::function<device::Result<void>(rhi::ImageId)> present;
};

class Viewer {
 public:
  // With `presenting`, frames are shown through it, until it first fails, and otherwise read back
  // into the window's pixels.
  Viewer(const view::Options& options, const frame::Scene& scene, device::Device& device,
         SDL_Window* window, std::optional<Presenting> presenting)
      : options_(options),
        scene_(scene),
        device_(device),
        window_(window),
        presenting_(std::move(presenting)),
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
      if (auto written = writeFrame(options_.screenshot); !written) {
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
          if (auto written = writeFrame(path); !written) {
            std::cerr << "orv-view: " << written.error() << '\n';
          } else {
            std::cerr << "orv-view: wrote " << path.string() << '\n';
          }
        }
        break;
      case view::Command::quit: quit_ = true; break;
    }
  }

  // The last frame as a PNG file at `path`, read back from the device first where it was shown
  // straight from it.
  std::expected<void, std::string> writeFrame(const std::filesystem::path& path) {
    if (presenting_) {
      if (auto read = renderer_->readBack(); !read) return std::unexpected(read.error().message);
    }
    return io::writePng(path, renderer_->image());
  }

  // Renders a frame at the window's size and shows it; 0, or the exit status of a failure.
  int frame() {
    SDL_Surface* surface = nullptr;
    int w = 0;
    int h = 0;
    if (presenting_) {
      SDL_GetWindowSizeInPixels(window_, &w, &h);
    } else {
      surface = SDL_GetWindowSurface(window_);
      if (surface == nullptr) {
        std::cerr << "orv-view: the window has no surface: " << SDL_GetError() << '\n';
        return 1;
      }
      w = surface->w;
      h = surface->h;
    }
    if (w <= 0 || h <= 0) return 0;  // nothing to show in a window of no pixels
    const auto width = static_cast<std::uint32_t>(w);
    const auto height = static_cast<std::uint32_t>(h);
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
    const auto stats = renderer_->render(observer_, !presenting_);
    if (!stats) {
      std::cerr << "orv-view: " << stats.error().message << '\n';
      return 1;
    }
    if (presenting_) {
      const Clock::time_point start = Clock::now();
      if (auto shown = presenting_->present(renderer_->colorImage()); !shown) {
        if (presented_) {
          std::cerr << "orv-view: " << shown.error().message << '\n';
          return 1;
        }
        // The window's surface cannot show the first frame: this one and the next go through
        // host memory.
        std::cerr << "orv-view: showing frames through host memory (" << shown.error().message
                  << ")\n";
        presenting_.reset();
        if (auto read = renderer_->readBack(); !read) {
          std::cerr << "orv-view: " << read.error().message << '\n';
          return 1;
        }
        return frameShown(*stats, 0, 0);
      }
      presented_ = true;
      return frameShown(*stats, 0, millisecondsBetween(start, Clock::now()));
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
    return frameShown(*stats, millisecondsBetween(start, presenting),
                      millisecondsBetween(presenting, now));
  }

  // Counts a frame shown, and once a second shows the tally in the title (and with --stats on
  // stdout); 0.
  int frameShown(const frame::FrameStats& stats, double convert_ms, double present_ms) {
    const Clock::time_point now = Clock::now();
    tally_.add(stats, convert_ms, present_ms);
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
  std::optional<Presenting> presenting_;
  bool presented_ = false;  // a frame was shown through presenting_
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

// A window of `options`' size with SDL's `flags` added, or null with SDL's error.
SDL_Window* openWindow(const view::Options& options, Uint32 flags) {
  return SDL_CreateWindow("orv-view", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                          static_cast<int>(options.width), static_cast<int>(options.height),
                          SDL_WINDOW_RESIZABLE | flags);
}

// The device, the window and, where the device shows frames in the window itself, how.
struct Shown {
  std::unique_ptr<device::Device> device;
  SDL_Window* window = nullptr;
  std::optional<Presenting> presenting;
};

#ifdef ORV_FRAME_HAVE_VULKAN
// The Vulkan device, showing its frames in a window of its own surface: a window made for Vulkan,
// the device made with the instance extensions SDL names for its surfaces, the surface made with
// the device's instance and handed to it. Where any of that fails the device is made (or kept)
// without, to have its frames read back into a window's pixels, and one line on stderr says why.
// ORV_VULKAN_VALIDATION=1 turns the validation layer on, its messages going to stderr.
std::expected<Shown, std::string> openVulkan(const view::Options& options) {
  vulkan::DeviceOptions made_with;
  made_with.exact = options.exact;
  const char* validation = std::getenv("ORV_VULKAN_VALIDATION");
  made_with.validation = validation != nullptr && std::string_view(validation) == "1";
  std::string why_not;
  std::unique_ptr<vulkan::Device> device;
  SDL_Window* window = openWindow(options, SDL_WINDOW_VULKAN);
  if (window == nullptr) {
    why_not = std::string("no window for Vulkan: ") + SDL_GetError();
  } else if (unsigned count = 0; !SDL_Vulkan_GetInstanceExtensions(window, &count, nullptr)) {
    why_not = std::string("no Vulkan surface extensions: ") + SDL_GetError();
  } else {
    std::vector<const char*> names(count);
    if (!SDL_Vulkan_GetInstanceExtensions(window, &count, names.data())) {
      why_not = std::string("no Vulkan surface extensions: ") + SDL_GetError();
    } else {
      made_with.instance_extensions.assign(names.begin(), names.begin() + count);
      if (auto made = vulkan::makeVulkanDevice(made_with); !made) {
        why_not = made.error().message;
      } else {
        device = std::move(*made);
      }
    }
  }
  if (device) {
    const auto instance = static_cast<VkInstance>(device->instance());
    VkSurfaceKHR surface{};
    if (!SDL_Vulkan_CreateSurface(window, instance, &surface)) {
      why_not = std::string("no Vulkan surface for the window: ") + SDL_GetError();
    } else if (auto attached = device->attachSurface(std::bit_cast<std::uint64_t>(surface));
               !attached) {
      why_not = attached.error().message;
      // Refused, the surface is still ours.
      using GetProcAddr = void (*(*)(VkInstance, const char*))();
      using DestroySurface = void (*)(VkInstance, VkSurfaceKHR, const void*);
      const auto get = std::bit_cast<GetProcAddr>(SDL_Vulkan_GetVkGetInstanceProcAddr());
      if (get != nullptr) {
        const auto destroy =
            std::bit_cast<DestroySurface>(get(instance, "vkDestroySurfaceKHR"));
        if (destroy != nullptr) destroy(instance, surface, nullptr);
      }
    } else {
      vulkan::Device& shown = *device;
      return Shown{std::move(device), window,
                   Presenting{[&shown](rhi::ImageId image) { return shown.present(image); }}};
    }
  }
  if (window != nullptr) SDL_DestroyWindow(window);
  if (!device) {
    made_with.instance_extensions.clear();
    auto made = vulkan::makeVulkanDevice(made_with);
    if (!made) return std::unexpected("--device vulkan: " + made.error().message);
    device = std::move(*made);
  }
  std::cerr << "orv-view: showing frames through host memory (" << why_not << ")\n";
  window = openWindow(options, 0);
  if (window == nullptr) {
    return std::unexpected(std::string("cannot open a window: ") + SDL_GetError());
  }
  return Shown{std::move(device), window, std::nullopt};
}
#endif

// The device `options` ask for and the window its frames are shown in, or why there are none.
std::expected<Shown, std::string> openShown(const view::Options& options) {
#ifdef ORV_FRAME_HAVE_VULKAN
  if (options.device == "vulkan") return openVulkan(options);
#endif
  auto device = frame::openDevice(options.device, options.exact);
  if (!device) return std::unexpected(device.error());
  SDL_Window* window = openWindow(options, 0);
  if (window == nullptr) {
    return std::unexpected(std::string("cannot open a window: ") + SDL_GetError());
  }
  return Shown{std::move(*device), window, std::nullopt};
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
  auto shown = openShown(options);
  if (!shown) {
    std::cerr << "orv-view: " << shown.error() << '\n';
    SDL_Quit();
    return 2;
  }
  int status = 0;
  {
    Viewer viewer(options, *scene, *shown->device, shown->window, std::move(shown->presenting));
    status = viewer.run();
  }
  // The device, and the surface it holds, before the window.
  shown->device.reset();
  SDL_DestroyWindow(shown->window);
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
