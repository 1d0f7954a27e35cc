// Batch paths of the renderer against the plain work they replace.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#include "orv/renderer.hpp"
#include "ratio.hpp"
#include "renderer_internal.hpp"

namespace {

using orv::kernel::HomVec4;

// Random points uniformly distributed on the 3-sphere, the same every run.
const std::vector<HomVec4>& pointsOnSphere(std::size_t n) {
  static std::map<std::size_t, std::vector<HomVec4>> sets;
  std::vector<HomVec4>& points = sets[n];
  if (points.empty()) {
    std::mt19937_64 rng(12345);
    std::normal_distribution<double> gauss;
    points.reserve(n);
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

// --- Culling and clipping against the memory they read ------------------------------------------

constexpr std::size_t kCullPoints = 10'000'000;

const orv::renderer::OrvFrustum& defaultFrustum() {
  static const auto frustum = orv::renderer::OrvFrustum::fromCamera(orv::renderer::OrvCamera::makeDefault());
  return frustum;
}

// The peer: one pass reading every point, summing w.
void BM_streamingRead(benchmark::State& state) {
  const auto& points = pointsOnSphere(kCullPoints);
  for (auto _ : state) {
    double sum = 0.0;
    for (const HomVec4& p : points) sum += p.w;
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kCullPoints * sizeof(HomVec4)));
}

template <class Cull>
void cullBenchmark(benchmark::State& state, Cull cull) {
  const auto& points = pointsOnSphere(kCullPoints);
  std::vector<char> mask_storage(kCullPoints);
  const std::span<bool> mask(reinterpret_cast<bool*>(mask_storage.data()), kCullPoints);
  for (auto _ : state) {
    benchmark::DoNotOptimize(cull(points, mask));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kCullPoints * sizeof(HomVec4)));
}

void BM_frustumCull(benchmark::State& state) {
  cullBenchmark(state, [](const auto& points, std::span<bool> mask) {
    return orv::renderer::frustumCull(defaultFrustum(), points, mask);
  });
}
void BM_frustumCull_avx2(benchmark::State& state) {
  if (!orv::renderer::isSupported(orv::renderer::BatchPath::avx2)) {
    state.SkipWithError("no AVX2 on this machine");
    return;
  }
  cullBenchmark(state, [](const auto& points, std::span<bool> mask) {
    return orv::renderer::detail::frustumCullOn(orv::renderer::BatchPath::avx2, defaultFrustum(),
                                                points, mask);
  });
}
void BM_frustumCull_baseline(benchmark::State& state) {
  cullBenchmark(state, [](const auto& points, std::span<bool> mask) {
    return orv::renderer::detail::frustumCullOn(orv::renderer::BatchPath::baseline, defaultFrustum(),
                                                points, mask);
  });
}
// A straightforward loop: one branch per plane, stopping at the first failed one.
void BM_frustumCull_perPointBranches(benchmark::State& state) {
  cullBenchmark(state, [](const auto& points, std::span<bool> mask) {
    std::uint32_t count = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      mask[i] = defaultFrustum().isVisibleFast(points[i]);
      if (mask[i]) ++count;
    }
    return count;
  });
}
void BM_projectiveClip(benchmark::State& state) {
  const auto plane = orv::renderer::ProjectiveHyperplane::init(0.3, -0.2, 0.5, 0.1);
  cullBenchmark(state, [&](const auto& points, std::span<bool> mask) {
    return orv::renderer::projectiveClip(plane, points, mask);
  });
}

// --- Facing, culling and compacting ---------------------------------------------------------------

// The peer: the calls a user writes without visibleIndices, as the frame renderer of the examples
// did: the facing points into an array, the mask, then the indices and the facing points of the
// mask's true entries.
void BM_faceCullCompact(benchmark::State& state) {
  const auto& points = pointsOnSphere(kCullPoints);
  std::vector<HomVec4> facing(kCullPoints);
  std::vector<char> mask_storage(kCullPoints);
  const std::span<bool> mask(reinterpret_cast<bool*>(mask_storage.data()), kCullPoints);
  std::vector<std::uint32_t> indices(kCullPoints);
  std::vector<HomVec4> visible(kCullPoints);
  for (auto _ : state) {
    orv::renderer::faceObserver(defaultFrustum(), points, facing);
    (void)orv::renderer::frustumCull(defaultFrustum(), facing, mask);
    std::size_t count = 0;
    for (std::size_t i = 0; i < kCullPoints; ++i) {
      if (!mask[i]) continue;
      indices[count] = static_cast<std::uint32_t>(i);
      visible[count] = facing[i];
      ++count;
    }
    benchmark::DoNotOptimize(count);
    benchmark::ClobberMemory();
  }
}
void BM_visibleIndicesWithPoints(benchmark::State& state) {
  const auto& points = pointsOnSphere(kCullPoints);
  std::vector<std::uint32_t> indices(kCullPoints);
  std::vector<HomVec4> visible(kCullPoints);
  for (auto _ : state) {
    benchmark::DoNotOptimize(orv::renderer::visibleIndices(defaultFrustum(), points, indices, visible));
    benchmark::ClobberMemory();
  }
}
void BM_visibleIndices(benchmark::State& state) {
  const auto& points = pointsOnSphere(kCullPoints);
  std::vector<std::uint32_t> indices(kCullPoints);
  for (auto _ : state) {
    benchmark::DoNotOptimize(orv::renderer::visibleIndices(defaultFrustum(), points, indices));
    benchmark::ClobberMemory();
  }
}

ORV_BENCHMARK(BM_streamingRead)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_frustumCull)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_frustumCull_avx2)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_frustumCull_baseline)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_frustumCull_perPointBranches)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_projectiveClip)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_faceCullCompact)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_visibleIndicesWithPoints)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_visibleIndices)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_sortByFSDepth)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
ORV_BENCHMARK(BM_stableSortOfPrecomputedDistances)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return orv::bench::runWithRatios(
      argc, argv,
      {
          {"BM_frustumCull", "BM_streamingRead", 1.1,
           "frustumCull, 10M points / streaming read of the same points"},
          {"BM_projectiveClip", "BM_streamingRead", 1.1,
           "projectiveClip, 10M points / streaming read of the same points"},
          {"BM_frustumCull_avx2", "BM_streamingRead", 1.1,
           "frustumCull on the AVX2 path / streaming read"},
          {"BM_frustumCull_baseline", "BM_streamingRead", 0,
           "frustumCull on the baseline path / streaming read"},
          {"BM_frustumCull_perPointBranches", "BM_streamingRead", 0,
           "per-point loop with a branch per plane / streaming read"},
          {"BM_visibleIndicesWithPoints", "BM_faceCullCompact", 0.5,
           "visibleIndices with the facing points, 10M points / faceObserver + frustumCull + "
           "compacting by hand"},
          {"BM_visibleIndices", "BM_streamingRead", 0,
           "visibleIndices alone, 10M points / streaming read of the same points"},
          {"BM_sortByFSDepth/1000000", "BM_stableSortOfPrecomputedDistances/1000000", 0.2,
           "sortByFSDepth, 1M points / fsDistance into an array + std::stable_sort of indices"},
      });
}
