// Compiled by the test suite once per case: a pass may view what outlives it, never a temporary
// container, whose elements are freed when the statement that made the pass ends.
#include <array>
#include <memory_resource>
#include <span>
#include <string>
#include <vector>

#include "orv/rhi.hpp"

using namespace orv::rhi;

std::vector<GpuCommand> recorded() { return {{GpuCommand::EndPass{}}}; }

int main() {
  FrameGraph graph(*std::pmr::new_delete_resource());
  const std::vector<GpuCommand> commands = recorded();
  const std::array<ImageId, 1> writes{ImageId{1, 1}};
#if defined(ORV_TEMPORARY_commands)
  (void)graph.addPass({"draw", {}, writes, recorded(), PassType::geometry});
#elif defined(ORV_TEMPORARY_writes)
  const FramePass pass{"draw", writes, std::vector<ImageId>{ImageId{1, 1}}, commands, PassType::geometry};
  (void)graph.addPass(pass);
#elif defined(ORV_TEMPORARY_name)
  (void)graph.addPass({std::string("dr") + "aw", {}, writes, commands, PassType::geometry});
#else
  // Views of what outlives the graph, spans of it, and members left out from the end.
  (void)graph.addPass({"draw", {}, writes, commands, PassType::geometry});
  (void)graph.addPass({"first", {}, writes, std::span(commands).first(1)});
  (void)graph.addPass(FramePass{});
#endif
  return 0;
}
