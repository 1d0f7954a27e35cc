// viewer_frame OUT.ppm [orv-view options]: renders the first frame orv-view shows for those
// options, at the scene's start pose, through the same frame renderer and device, and writes it as
// a binary PPM file of the 8-bit pixels a window shows (io::toDisplay), and beside it as the PNG
// file orv-view's --screenshot writes (OUT.png). Prints the pose as --pose does.
// Exit status 2 with one line where the options, the scene or the device cannot be had.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "frame_renderer.hpp"
#include "orv/io.hpp"
#include "viewer.hpp"

int main(int argc, char** argv) {
  namespace view = orv::view;
  if (argc < 2) {
    std::cerr << "usage: viewer_frame OUT.ppm [orv-view options]\n";
    return 2;
  }
  const std::vector<std::string_view> args(argv + 2, argv + argc);
  const auto options = view::parseOptions(args);
  if (!options) {
    std::cerr << "viewer_frame: " << options.error() << '\n';
    return 2;
  }
  const auto scene = view::loadScene(*options);
  if (!scene) {
    std::cerr << "viewer_frame: " << scene.error() << '\n';
    return 2;
  }
  auto device = orv::frame::openDevice(options->device, options->exact);
  if (!device) {
    std::cerr << "viewer_frame: " << device.error() << '\n';
    return 2;
  }
  const view::Observer observer = view::startPose(options->scene, *scene);
  auto renderer = orv::frame::FrameRenderer::create(*scene, **device, options->width,
                                                    options->height,
                                                    *std::pmr::new_delete_resource(),
                                                    view::styleOf(options->scene));
  if (!renderer) {
    std::cerr << "viewer_frame: " << renderer.error().message << '\n';
    return 1;
  }
  if (auto rendered = (*renderer)->render(observer); !rendered) {
    std::cerr << "viewer_frame: " << rendered.error().message << '\n';
    return 1;
  }
  const std::size_t row = std::size_t{options->width} * 3;
  std::vector<std::uint8_t> pixels(row * options->height);
  if (auto shown = orv::io::toDisplay((*renderer)->image(), orv::io::Channels::rgb, pixels, row);
      !shown) {
    std::cerr << "viewer_frame: " << shown.error() << '\n';
    return 1;
  }
  std::ofstream out(argv[1], std::ios::binary);
  out << "P6\n" << options->width << ' ' << options->height << "\n255\n";
  out.write(reinterpret_cast<const char*>(pixels.data()),
            static_cast<std::streamsize>(pixels.size()));
  if (!out) {
    std::cerr << "viewer_frame: cannot write " << argv[1] << '\n';
    return 1;
  }
  std::filesystem::path png(argv[1]);
  png.replace_extension(".png");
  if (auto written = orv::io::writePng(png, (*renderer)->image()); !written) {
    std::cerr << "viewer_frame: " << written.error() << '\n';
    return 1;
  }
  std::cout << view::poseLine(observer) << '\n';
  return 0;
}
