// Fuzzes the frame graph. Two graphs on two memory resources take a sequence of operations chosen
// by the input: adding passes, advancing frames, moving graphs into each other, and making a
// resource refuse its next request or its in-place resizes. After every operation each graph must
// hold exactly the passes a plain model holds, grow by the documented rule, keep everything as it
// was when an addition fails, and hold exactly its capacity's worth of bytes from its resource;
// when the graphs are gone, every byte must be back.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "orv/rhi.hpp"
#include "support/counting_resource.hpp"

namespace {

using namespace orv::rhi;
using orv::fuzz::FuzzInput;
using orv::fuzz::require;
using orv::testing::CountingResource;

constexpr std::size_t kMaxPasses = 300;  // per graph, so one input runs in microseconds
constexpr int kMaxOperations = 400;

// What passes point to: borrowed, never copied element by element, so the pointers must survive.
constexpr std::string_view kNames = "clear geometry lighting post ui geodesic fs idempotent";
constexpr std::array<ImageId, 4> kImages{{{1, 0}, {2, 1}, {3, 7}, {0, 0}}};
const std::array<GpuCommand, 3> kCommands{{{GpuCommand::EndPass{}},
                                           {PipelineId::orvProjective(1)},
                                           {GpuCommand::Clear{ImageId::invalid(), 0, 0, 0, 1, 1}}}};

FramePass passFrom(FuzzInput& in) {
  const std::size_t start = in.below(kNames.size() + 1);
  const std::string_view name = kNames.substr(start, in.below(kNames.size() - start + 1));
  const std::size_t reads = in.below(kImages.size() + 1);
  const std::size_t writes = in.below(kImages.size() + 1);
  const std::size_t commands = in.below(kCommands.size() + 1);
  return {name, std::span(kImages).first(reads), std::span(kImages).last(writes),
          std::span(kCommands).first(commands), static_cast<PassType>(in.below(9))};
}

bool samePass(const FramePass& a, const FramePass& b) {
  return a.name.data() == b.name.data() && a.name.size() == b.name.size() &&
         a.reads.data() == b.reads.data() && a.reads.size() == b.reads.size() &&
         a.writes.data() == b.writes.data() && a.writes.size() == b.writes.size() &&
         a.commands.data() == b.commands.data() && a.commands.size() == b.commands.size() &&
         a.pass_type == b.pass_type;
}

// A graph beside the plain record of what it must hold.
struct Modelled {
  FrameGraph graph;
  std::vector<FramePass> passes;
  std::uint64_t frames = 0;
};

void checkModel(const Modelled& m) {
  const auto held = m.graph.passes();
  require(held.size() == m.passes.size() && m.graph.passCount() == m.passes.size(),
          "the graph holds as many passes as were added");
  for (std::size_t i = 0; i < held.size(); ++i) {
    require(samePass(held[i], m.passes[i]), "passes stay as added, in order");
  }
  require(m.graph.frameIndex() == m.frames, "frameIndex counts advanceFrame calls");
  require(m.graph.capacity() >= m.passes.size(), "capacity covers the passes");
  require((m.graph.capacity() == 0) == (held.data() == nullptr), "storage exists with capacity");
}

// Each resource holds exactly the storage of the graphs drawing from it, in one block per graph.
void checkResources(const std::array<Modelled*, 2>& graphs,
                    const std::array<CountingResource*, 2>& resources) {
  for (const CountingResource* r : resources) {
    std::size_t bytes = 0;
    std::size_t blocks = 0;
    for (const Modelled* m : graphs) {
      if (&m->graph.resource() != r) continue;
      bytes += m->graph.capacity() * sizeof(FramePass);
      blocks += m->graph.capacity() > 0 ? 1 : 0;
    }
    require(r->bytesInUse() == bytes && r->blocksInUse() == blocks,
            "a resource holds exactly the graphs' storage");
    require(r->mismatchedReleases() == 0, "blocks go back with the size they were handed out with");
  }
}

std::size_t grownCapacity(std::size_t c) { return c + c / 2 + 1; }

void add(Modelled& m, const FramePass& pass) {
  const std::size_t capacity = m.graph.capacity();
  const FramePass* storage = m.graph.passes().data();
  const auto result = m.graph.addPass(pass);
  if (!result) {
    require(result.error() == orv::Error::OutOfMemory, "the only error is OutOfMemory");
    require(m.passes.size() == capacity, "only a full graph asks for memory");
    require(m.graph.capacity() == capacity && m.graph.passes().data() == storage,
            "a failed addPass keeps capacity and storage");
    return;
  }
  m.passes.push_back(pass);
  if (m.passes.size() - 1 == capacity) {
    require(m.graph.capacity() == grownCapacity(capacity), "a full graph grows by half plus one");
  } else {
    require(m.graph.capacity() == capacity && m.graph.passes().data() == storage,
            "a graph with room neither grows nor moves");
  }
}

void run(FuzzInput& in, CountingResource& first, CountingResource& second) {
  Modelled a{FrameGraph(first), {}, 0};
  Modelled b{FrameGraph(second), {}, 0};
  const std::array<Modelled*, 2> graphs{&a, &b};
  const std::array<CountingResource*, 2> resources{&first, &second};

  for (int op = 0; op < kMaxOperations && !in.empty(); ++op) {
    const std::uint8_t code = in.byte();
    Modelled& m = *graphs[code & 1];
    Modelled& other = *graphs[1 - (code & 1)];
    CountingResource& resource = *resources[(code >> 1) & 1];
    switch ((code >> 2) % 8) {
      case 0:
      case 1:
      case 2:
        if (m.passes.size() < kMaxPasses) add(m, passFrom(in));
        break;
      case 3: resource.failAllocation(resource.allocations() + 1); break;  // refuse the next one
      case 4: resource.refuseResizes(in.byte() % 2 == 0); break;
      case 5:
        m.graph.advanceFrame();
        ++m.frames;
        break;
      case 6: {  // through a temporary and back
        FrameGraph moved(std::move(m.graph));
        require(m.graph.passCount() == 0 && m.graph.capacity() == 0 && m.graph.frameIndex() == 0,
                "a moved-from graph is empty");
        require(moved.passCount() == m.passes.size(), "a move takes the passes along");
        m.graph = std::move(moved);
        break;
      }
      default:  // the other graph's passes, storage and resource replace this graph's
        m.graph = std::move(other.graph);
        m.passes = std::exchange(other.passes, {});
        m.frames = std::exchange(other.frames, 0);
        break;
    }
    checkModel(a);
    checkModel(b);
    checkResources(graphs, resources);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(std::span(data, size));
  const std::size_t reserve = in.below(2) == 0 ? 0 : 64 * in.below(64);
  CountingResource first(reserve);
  CountingResource second(in.below(2) == 0 ? 0 : 4096);
  run(in, first, second);
  require(first.bytesInUse() == 0 && second.bytesInUse() == 0, "every byte is returned");
  require(first.blocksInUse() == 0 && second.blocksInUse() == 0, "every block is returned");
  require(first.mismatchedReleases() == 0 && second.mismatchedReleases() == 0,
          "every block is returned with its size");
  return 0;
}
