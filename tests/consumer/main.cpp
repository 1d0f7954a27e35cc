// Uses one operation of each orv library and checks its result; exits 0 when all agree. Where orv
// has its Vulkan device the checks link it too (ORV_CONSUMER_VULKAN).

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <memory_resource>
#include <numbers>
#include <span>

#include <orv/device.hpp>
#include <orv/kernel.hpp>
#include <orv/renderer.hpp>
#include <orv/rhi.hpp>
#ifdef ORV_CONSUMER_VULKAN
#include <orv/vulkan.hpp>
#endif

// A memory resource of the program's own, compiled with the program's flags (one check builds them
// with -fno-rtti, which leaves this class without type information).
class ForwardingResource final : public std::pmr::memory_resource {
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
};

int main() {
  using orv::kernel::HomVec4;
  const double right_angle =
      orv::kernel::fsDistance(HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 1, 0, 1));

  orv::renderer::OrvCamera camera = orv::renderer::OrvCamera::makeDefault();
  camera.updateViewMatrix();
  const std::array<HomVec4, 3> points{HomVec4::fromCartesian(0, 0, -1).normalize(),
                                      HomVec4::fromCartesian(0, 0, -3).normalize(),
                                      HomVec4::fromCartesian(0, 0, -2).normalize()};
  const auto order =
      orv::renderer::sortByFSDepth(*std::pmr::new_delete_resource(), camera.position, points);

  ForwardingResource resource;
  orv::rhi::FrameGraph graph(resource);
  const bool added = graph.addPass({"clear", {}, {}, {}, orv::rhi::PassType::clear}).has_value() &&
                     graph.addPass({"draw", {}, {}, {}, orv::rhi::PassType::geometry}).has_value();

  // The CPU device clears a one-pixel image.
  auto device = orv::device::makeCpuDevice();
  if (!device) return 1;
  const auto image = (*device)->createImage(orv::rhi::ImageDescriptor::initOrvRenderTarget(1, 1));
  if (!image) return 1;
  const std::array<orv::rhi::ImageId, 1> writes{*image};
  const std::array<orv::rhi::GpuCommand, 1> clear{
      {orv::rhi::GpuCommand::Clear{*image, 1.0f, 0.0f, 0.0f, 1.0f, 1.0f}}};
  orv::rhi::FrameGraph clearing(resource);
  const bool recorded =
      clearing.addPass({"clear", {}, writes, clear, orv::rhi::PassType::clear}).has_value();
  std::array<unsigned short, 4> texel{};
  const bool cleared = recorded && (*device)->execute(clearing).has_value() &&
                       (*device)->readImage(*image, std::as_writable_bytes(std::span(texel))) &&
                       texel[0] == 0x3c00 && texel[1] == 0;  // 1.0 and 0.0 as half floats

  bool ok = std::fabs(right_angle - std::numbers::pi / 2) < 1e-15 && order.has_value() &&
            (*order)[0] == 1 && (*order)[1] == 2 && (*order)[2] == 0 && added &&
            graph.passCount() == 2 && cleared;
#ifdef ORV_CONSUMER_VULKAN
  // Linked, not run: a machine building orv need not have a Vulkan device.
  auto* volatile make_vulkan = &orv::vulkan::makeDevice;
  ok = ok && make_vulkan != nullptr;
#endif
  std::puts(ok ? "orv consumer: ok" : "orv consumer: wrong results");
  return ok ? 0 : 1;
}
