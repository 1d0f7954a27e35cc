// Batch paths of the renderer against the plain work they replace.

#include <algorithm>
#include <cstddef>
#include <memory_resource>
#include <numeric>
#include <random>
#include <vector>

#include "orv/renderer.hpp"
#include "ratio.hpp"

namespace {

using orv::kernel::HomVec4;

// Random points uniformly distributed on the 3-sphere, the same every run.
const std::vector<HomVec4>& pointsOnSphere(std::size_t n) {
  static std::vector<HomVec4> points;
  if (points.size() != n) {
    std::mt19937_64 rng(12345);
    std::normal_distribution<double> gauss;
    points.clear();
    for (std::size_t i = 0; i < n; ++i) {
      points.push_back(HomVec4::init(gauss(rng), gauss(rng), gauss(rng), gauss(rng)).normalize());
    }
  }
  return points;
}

const HomVec4 kObserver = HomVec4::init(0.1, -0.2, 0.3, 0.9).normalize();

void BM_sortByFSDepth(benchmark::State& state) {
  const auto& points = pointsOnSphere(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto order = orv::renderer::sortByFSDepth(*std::pmr::new_delete_resource(), kObserver, points);
    benchmark::DoNotOptimize(order->data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The peer: every distance computed into an array, then a stable sort of indices by it, farthest
// first. It gives the same order as sortByFSDepth.
void BM_stableSortOfPrecomputedDistances(benchmark::State& state) {
  const auto& points = pointsOnSphere(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::vector<double> distance(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
      distance[i] = orv::kernel::fsDistance(kObserver, points[i]);
    }
    std::vector<std::size_t> order(points.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return distance[a] > distance[b]; });
    benchmark::DoNotOptimize(order.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_sortByFSDepth)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_stableSortOfPrecomputedDistances)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return orv::bench::runWithRatios(
      argc, argv,
      {{"BM_sortByFSDepth/1000000", "BM_stableSortOfPrecomputedDistances/1000000", 1.0,
        "sortByFSDepth, 1M points / fsDistance into an array + std::stable_sort of indices"}});
}
