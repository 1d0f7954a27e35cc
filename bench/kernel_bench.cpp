// Small kernel operations against the libraries a user would otherwise pick (GLM's dmat4, Eigen's
// Matrix4d) and against minimal hand-written loops, each on the same data in the same run.

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>

#include "orv/kernel.hpp"
#include "ratio.hpp"

#if ORV_BENCH_HAVE_GLM
#include <glm/glm.hpp>
#include <glm/gtc/type_ptr.hpp>
#endif
#if ORV_BENCH_HAVE_EIGEN
#include <Eigen/Dense>
#endif

namespace {

using orv::kernel::HomVec4;
using orv::kernel::PGL4;

constexpr std::size_t kCount = 256;  // operands per batch: the working set stays in cache

// Where data sits changes timings (4K aliasing between loads and stores, cache-set conflicts), so
// every library gets its operands and results at the same place: page-aligned blocks, each role
// (first operand, second operand, vector operand, result) at the same offset into its block.
enum class Role : std::size_t { first = 0, second = 1, vector = 2, result = 3 };

template <class T>
class Placed {
 public:
  explicit Placed(Role role) {
    const std::size_t offset = static_cast<std::size_t>(role) * 192;
    const std::size_t bytes = (offset + kCount * sizeof(T) + 4095) / 4096 * 4096;
    block_ = static_cast<std::byte*>(std::aligned_alloc(4096, bytes));
    if (block_ == nullptr) throw std::bad_alloc();
    data_ = reinterpret_cast<T*>(block_ + offset);
    std::uninitialized_value_construct_n(data_, kCount);
  }
  ~Placed() {
    std::destroy_n(data_, kCount);
    std::free(block_);
  }
  Placed(const Placed&) = delete;
  Placed& operator=(const Placed&) = delete;
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* data() { return data_; }

 private:
  std::byte* block_;
  T* data_;
};

struct Data {
  Placed<PGL4> a{Role::first}, b{Role::second};
  Placed<HomVec4> p{Role::vector}, q{Role::second};
  Data() {
    std::mt19937_64 rng(2026);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (std::size_t i = 0; i < kCount; ++i) {
      for (double& v : a[i].data) v = u(rng);
      for (double& v : b[i].data) v = u(rng);
      // Diagonally dominant: well conditioned, so every inverse converges.
      for (std::size_t k = 0; k < 4; ++k) a[i].set(k, k, a[i].get(k, k) + 4.0);
      p[i] = HomVec4::init(u(rng), u(rng), u(rng), u(rng));
      q[i] = HomVec4::init(u(rng), u(rng), u(rng), u(rng));
    }
  }
};

const Data& data() {
  static const Data d;
  return d;
}

template <class Body>
void batch(benchmark::State& state, Body body) {
  for (auto _ : state) {
    for (std::size_t i = 0; i < kCount; ++i) body(i);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kCount));
}

// --- orv -----------------------------------------------------------------------------------------

void BM_orv_mul(benchmark::State& state) {
  const Data& d = data();
  Placed<PGL4> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.a[i].mul(d.b[i]); });
  benchmark::DoNotOptimize(out.data());
}
void BM_orv_apply(benchmark::State& state) {
  const Data& d = data();
  Placed<HomVec4> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.a[i].apply(d.p[i]); });
  benchmark::DoNotOptimize(out.data());
}
void BM_orv_transpose(benchmark::State& state) {
  const Data& d = data();
  Placed<PGL4> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.a[i].transpose(); });
  benchmark::DoNotOptimize(out.data());
}
void BM_orv_det(benchmark::State& state) {
  const Data& d = data();
  Placed<double> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.a[i].det(); });
  benchmark::DoNotOptimize(out.data());
}
void BM_orv_inverse(benchmark::State& state) {
  const Data& d = data();
  Placed<PGL4> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.a[i].inverse(0.0, 30); });
  benchmark::DoNotOptimize(out.data());
}
// Newton-Schulz steps without early stop: a translation by 1e3 needs far more than 8 steps.
void BM_orv_inverse_steps(benchmark::State& state) {
  const auto steps = static_cast<std::uint32_t>(state.range(0));
  const PGL4 slow = orv::kernel::pglTranslate(1e3, -2e3, 3e3);
  Placed<PGL4> out{Role::result};
  batch(state, [&](std::size_t i) {
    PGL4 m = slow;
    m.data[0] += static_cast<double>(i) * 1e-9;
    out[i] = m.inverse(0.0, steps);
  });
  benchmark::DoNotOptimize(out.data());
}
void BM_orv_fsDistance(benchmark::State& state) {
  const Data& d = data();
  Placed<double> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = orv::kernel::fsDistance(d.p[i], d.q[i]); });
  benchmark::DoNotOptimize(out.data());
}
void BM_orv_fsDistancePrecise(benchmark::State& state) {
  const Data& d = data();
  Placed<double> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = orv::kernel::fsDistancePrecise(d.p[i], d.q[i]); });
  benchmark::DoNotOptimize(out.data());
}
void BM_orv_normalize(benchmark::State& state) {
  const Data& d = data();
  Placed<HomVec4> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.p[i].normalize(); });
  benchmark::DoNotOptimize(out.data());
}
void BM_orv_dot(benchmark::State& state) {
  const Data& d = data();
  Placed<double> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.p[i].dot(d.q[i]); });
  benchmark::DoNotOptimize(out.data());
}

ORV_BENCHMARK(BM_orv_mul);
ORV_BENCHMARK(BM_orv_apply);
ORV_BENCHMARK(BM_orv_transpose);
ORV_BENCHMARK(BM_orv_det);
ORV_BENCHMARK(BM_orv_inverse);
ORV_BENCHMARK(BM_orv_inverse_steps)->Arg(0)->Arg(8);
ORV_BENCHMARK(BM_orv_fsDistance);
ORV_BENCHMARK(BM_orv_fsDistancePrecise);
ORV_BENCHMARK(BM_orv_normalize);
ORV_BENCHMARK(BM_orv_dot);

// --- minimal hand-written loops: the same formulas, written plainly ------------------------------

double handDot(const HomVec4& a, const HomVec4& b) {
  return ((a.x * b.x + a.y * b.y) + a.z * b.z) + a.w * b.w;
}
void BM_hand_fsDistance(benchmark::State& state) {
  const Data& d = data();
  Placed<double> out{Role::result};
  batch(state, [&](std::size_t i) {
    const HomVec4& a = d.p[i];
    const HomVec4& b = d.q[i];
    const double na = std::sqrt(handDot(a, a));
    const double nb = std::sqrt(handDot(b, b));
    if (na < 1e-15 || nb < 1e-15) {
      out[i] = 0.0;
      return;
    }
    const double c = std::fabs(handDot(a, b)) / (na * nb);
    out[i] = std::acos(c < 1.0 ? c : 1.0);
  });
  benchmark::DoNotOptimize(out.data());
}
void BM_hand_normalize(benchmark::State& state) {
  const Data& d = data();
  Placed<HomVec4> out{Role::result};
  batch(state, [&](std::size_t i) {
    const HomVec4& v = d.p[i];
    const double n = std::sqrt(handDot(v, v));
    out[i] = n < 1e-15 ? HomVec4{0, 0, 0, 1} : HomVec4{v.x / n, v.y / n, v.z / n, v.w / n};
  });
  benchmark::DoNotOptimize(out.data());
}
void BM_hand_dot(benchmark::State& state) {
  const Data& d = data();
  Placed<double> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = handDot(d.p[i], d.q[i]); });
  benchmark::DoNotOptimize(out.data());
}

ORV_BENCHMARK(BM_hand_fsDistance);
ORV_BENCHMARK(BM_hand_normalize);
ORV_BENCHMARK(BM_hand_dot);

// --- single precision: F32x4 against a native vector ---------------------------------------------
//
// F32x4 is a record of four floats; the same arithmetic on the compiler's native 4-lane type, which
// lives and crosses calls in one 128-bit register, measures what the record costs where it is used:
// simdDot4 inlined into a loop, simdNormalize3 called out of line.

#if defined(__GNUC__) || defined(__clang__)
using orv::kernel::F32x4;
using NativeF32x4 = float __attribute__((vector_size(16)));

struct SingleData {
  Placed<F32x4> u{Role::first}, v{Role::second};
  SingleData() {
    std::mt19937_64 rng(2027);
    std::uniform_real_distribution<float> f(-1.0f, 1.0f);
    for (std::size_t i = 0; i < kCount; ++i) {
      u[i] = orv::kernel::f32x4(f(rng), f(rng), f(rng), f(rng));
      v[i] = orv::kernel::f32x4(f(rng), f(rng), f(rng), f(rng));
    }
  }
};
const SingleData& singleData() {
  static const SingleData d;
  return d;
}
NativeF32x4 native(const F32x4& v) { return std::bit_cast<NativeF32x4>(v); }

void BM_orv_simdDot4(benchmark::State& state) {
  const SingleData& d = singleData();
  Placed<float> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = orv::kernel::simdDot4(d.u[i], d.v[i]); });
  benchmark::DoNotOptimize(out.data());
}
void BM_native_simdDot4(benchmark::State& state) {
  const SingleData& d = singleData();
  Placed<float> out{Role::result};
  batch(state, [&](std::size_t i) {
    const NativeF32x4 p = native(d.u[i]) * native(d.v[i]);
    out[i] = ((p[0] + p[1]) + p[2]) + p[3];
  });
  benchmark::DoNotOptimize(out.data());
}
void BM_orv_simdNormalize3(benchmark::State& state) {
  const SingleData& d = singleData();
  Placed<F32x4> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = orv::kernel::simdNormalize3(d.u[i]); });
  benchmark::DoNotOptimize(out.data());
}
// simdNormalize3's work, with its rare overflow branch, out of line like it.
[[gnu::noinline]] NativeF32x4 nativeNormalize3(NativeF32x4 v) {
  const NativeF32x4 p = v * v;
  const float d = ((p[0] + p[1]) + p[2]) + p[3];
  if (d < 1e-15f) return NativeF32x4{0.0f, 0.0f, 0.0f, 1.0f};
  if (std::isinf(d)) [[unlikely]] {
    return native(orv::kernel::simdNormalize3(std::bit_cast<F32x4>(v)));
  }
  const float len = std::sqrt(d);
  return v / NativeF32x4{len, len, len, len};
}
void BM_native_simdNormalize3(benchmark::State& state) {
  const SingleData& d = singleData();
  Placed<F32x4> out{Role::result};
  batch(state, [&](std::size_t i) {
    out[i] = std::bit_cast<F32x4>(nativeNormalize3(native(d.u[i])));
  });
  benchmark::DoNotOptimize(out.data());
}

ORV_BENCHMARK(BM_orv_simdDot4);
ORV_BENCHMARK(BM_native_simdDot4);
ORV_BENCHMARK(BM_orv_simdNormalize3);
ORV_BENCHMARK(BM_native_simdNormalize3);
#endif

// --- GLM -----------------------------------------------------------------------------------------

#if ORV_BENCH_HAVE_GLM
glm::dmat4 toGlm(const PGL4& m) { return glm::make_mat4(m.data.data()); }  // both column-major

struct GlmData {
  Placed<glm::dmat4> a{Role::first}, b{Role::second};
  Placed<glm::dvec4> p{Role::vector};
  GlmData() {
    for (std::size_t i = 0; i < kCount; ++i) {
      a[i] = toGlm(data().a[i]);
      b[i] = toGlm(data().b[i]);
      const HomVec4& v = data().p[i];
      p[i] = glm::dvec4(v.x, v.y, v.z, v.w);
    }
  }
};
const GlmData& glmData() {
  static const GlmData d;
  return d;
}

void BM_glm_mul(benchmark::State& state) {
  const GlmData& d = glmData();
  Placed<glm::dmat4> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.a[i] * d.b[i]; });
  benchmark::DoNotOptimize(out.data());
}
void BM_glm_apply(benchmark::State& state) {
  const GlmData& d = glmData();
  Placed<glm::dvec4> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.a[i] * d.p[i]; });
  benchmark::DoNotOptimize(out.data());
}
void BM_glm_transpose(benchmark::State& state) {
  const GlmData& d = glmData();
  Placed<glm::dmat4> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = glm::transpose(d.a[i]); });
  benchmark::DoNotOptimize(out.data());
}
void BM_glm_det(benchmark::State& state) {
  const GlmData& d = glmData();
  Placed<double> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = glm::determinant(d.a[i]); });
  benchmark::DoNotOptimize(out.data());
}
void BM_glm_inverse(benchmark::State& state) {
  const GlmData& d = glmData();
  Placed<glm::dmat4> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = glm::inverse(d.a[i]); });
  benchmark::DoNotOptimize(out.data());
}
ORV_BENCHMARK(BM_glm_mul);
ORV_BENCHMARK(BM_glm_apply);
ORV_BENCHMARK(BM_glm_transpose);
ORV_BENCHMARK(BM_glm_det);
ORV_BENCHMARK(BM_glm_inverse);
#endif

// --- Eigen ---------------------------------------------------------------------------------------

#if ORV_BENCH_HAVE_EIGEN
struct EigenData {
  Placed<Eigen::Matrix4d> a{Role::first}, b{Role::second};
  Placed<Eigen::Vector4d> p{Role::vector};
  EigenData() {
    for (std::size_t i = 0; i < kCount; ++i) {
      a[i] = Eigen::Map<const Eigen::Matrix4d>(data().a[i].data.data());  // column-major
      b[i] = Eigen::Map<const Eigen::Matrix4d>(data().b[i].data.data());
      const HomVec4& v = data().p[i];
      p[i] = Eigen::Vector4d(v.x, v.y, v.z, v.w);
    }
  }
};
const EigenData& eigenData() {
  static const EigenData d;
  return d;
}

void BM_eigen_mul(benchmark::State& state) {
  const EigenData& d = eigenData();
  Placed<Eigen::Matrix4d> out{Role::result};
  batch(state, [&](std::size_t i) { out[i].noalias() = d.a[i] * d.b[i]; });
  benchmark::DoNotOptimize(out.data());
}
void BM_eigen_apply(benchmark::State& state) {
  const EigenData& d = eigenData();
  Placed<Eigen::Vector4d> out{Role::result};
  batch(state, [&](std::size_t i) { out[i].noalias() = d.a[i] * d.p[i]; });
  benchmark::DoNotOptimize(out.data());
}
void BM_eigen_transpose(benchmark::State& state) {
  const EigenData& d = eigenData();
  Placed<Eigen::Matrix4d> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.a[i].transpose(); });
  benchmark::DoNotOptimize(out.data());
}
void BM_eigen_det(benchmark::State& state) {
  const EigenData& d = eigenData();
  Placed<double> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.a[i].determinant(); });
  benchmark::DoNotOptimize(out.data());
}
void BM_eigen_inverse(benchmark::State& state) {
  const EigenData& d = eigenData();
  Placed<Eigen::Matrix4d> out{Role::result};
  batch(state, [&](std::size_t i) { out[i] = d.a[i].inverse(); });
  benchmark::DoNotOptimize(out.data());
}
ORV_BENCHMARK(BM_eigen_mul);
ORV_BENCHMARK(BM_eigen_apply);
ORV_BENCHMARK(BM_eigen_transpose);
ORV_BENCHMARK(BM_eigen_det);
ORV_BENCHMARK(BM_eigen_inverse);
#endif

// Where the evaluation orders agree the results must too: GLM multiplies and applies in orv's order.
void checkAgreement() {
#if ORV_BENCH_HAVE_GLM
  std::size_t differ = 0;
  for (std::size_t i = 0; i < kCount; ++i) {
    const PGL4 m = data().a[i].mul(data().b[i]);
    const glm::dmat4 g = glmData().a[i] * glmData().b[i];
    for (std::size_t k = 0; k < 16; ++k) differ += m.data[k] != glm::value_ptr(g)[k];
  }
  std::printf("orv and GLM products: %zu of %zu entries differ\n", differ, 16 * kCount);
#endif
}

}  // namespace

int main(int argc, char** argv) {
#if !ORV_BENCH_HAVE_GLM
  std::printf("GLM is not installed (Debian: libglm-dev): its comparisons are skipped\n");
#endif
#if !ORV_BENCH_HAVE_EIGEN
  std::printf("Eigen is not installed (Debian: libeigen3-dev): its comparisons are skipped\n");
#endif
  checkAgreement();
  using orv::bench::Comparison;
  return orv::bench::runWithRatios(
      argc, argv,
      {
          {"BM_orv_mul", "BM_glm_mul", 1.0, "PGL4 mul / GLM dmat4 *"},
          {"BM_orv_mul", "BM_eigen_mul", 1.0, "PGL4 mul / Eigen Matrix4d *"},
          {"BM_orv_apply", "BM_glm_apply", 1.0, "PGL4 apply / GLM dmat4 * dvec4"},
          {"BM_orv_apply", "BM_eigen_apply", 1.0, "PGL4 apply / Eigen Matrix4d * Vector4d"},
          {"BM_orv_transpose", "BM_glm_transpose", 1.0, "PGL4 transpose / GLM transpose"},
          {"BM_orv_transpose", "BM_eigen_transpose", 1.0, "PGL4 transpose / Eigen transpose"},
          {"BM_orv_det", "BM_glm_det", 1.5, "PGL4 det (first-row expansion) / GLM determinant"},
          {"BM_orv_det", "BM_eigen_det", 1.5, "PGL4 det (first-row expansion) / Eigen determinant"},
          {"BM_orv_inverse", "BM_glm_inverse", 0, "PGL4 inverse (Newton-Schulz) / GLM inverse"},
          {"BM_orv_inverse", "BM_eigen_inverse", 0, "PGL4 inverse (Newton-Schulz) / Eigen inverse"},
          {"BM_orv_inverse_steps/8", "BM_orv_mul", 1.0, "one Newton-Schulz step / three PGL4 mul",
           "BM_orv_inverse_steps/0", 8.0, 3.0},
          {"BM_orv_fsDistance", "BM_hand_fsDistance", 1.1, "fsDistance / hand-written loop"},
          {"BM_orv_fsDistancePrecise", "BM_orv_fsDistance", 0,
           "fsDistancePrecise / fsDistance (what full precision at small angles costs)"},
          {"BM_orv_normalize", "BM_hand_normalize", 1.1, "HomVec4 normalize / hand-written loop"},
          {"BM_orv_dot", "BM_hand_dot", 1.1, "HomVec4 dot / hand-written loop"},
          {"BM_orv_simdDot4", "BM_native_simdDot4", 1.1, "simdDot4 / the same on a native vector"},
          {"BM_orv_simdNormalize3", "BM_native_simdNormalize3", 0,
           "simdNormalize3 / the same taking and returning a native vector (the call boundary)"},
      });
}
