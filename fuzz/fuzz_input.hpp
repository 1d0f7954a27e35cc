#pragma once

// Shared by the fuzz targets: reading typed values out of the fuzzer's raw bytes, and the check
// that stops the run when an invariant does not hold.

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <source_location>
#include <span>

#include "orv/kernel.hpp"

namespace orv::fuzz {

/// Stops the run with a message when an invariant is violated. libFuzzer sees the abort as a
/// crash and keeps the input that caused it.
inline void require(bool holds, const char* what,
                    std::source_location where = std::source_location::current()) {
  if (holds) return;
  std::fprintf(stderr, "invariant violated: %s (%s:%u)\n", what, where.file_name(),
               static_cast<unsigned>(where.line()));
  std::abort();
}

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

/// The same double to the bit, or NaN on both sides (the payload of a NaN carries no meaning).
inline bool sameValue(double a, double b) {
  return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}

inline bool sameBits(const kernel::HomVec4& a, const kernel::HomVec4& b) {
  return bits(a.x) == bits(b.x) && bits(a.y) == bits(b.y) && bits(a.z) == bits(b.z) &&
         bits(a.w) == bits(b.w);
}

inline bool isFinite(const kernel::HomVec4& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
}

/// Every coordinate times 2^k (exact unless it overflows or becomes subnormal), negated on request.
inline kernel::HomVec4 scaled(const kernel::HomVec4& v, int k, bool negate) {
  const double sign = negate ? -1.0 : 1.0;
  return kernel::HomVec4::init(sign * std::ldexp(v.x, k), sign * std::ldexp(v.y, k),
                               sign * std::ldexp(v.z, k), sign * std::ldexp(v.w, k));
}

/// Reads values from the fuzzer's bytes. Past the end every byte reads as 0, so any input decodes.
///
/// A number starts with a tag byte that says how to read it: its raw 64-bit pattern (every NaN,
/// infinity, subnormal and huge value), a small fraction, a small integer times a power of two
/// (ordinary coordinates, exact ties) or one value from a table of edge values. Mutating the tag
/// alone moves between these kinds.
class FuzzInput {
 public:
  explicit FuzzInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] bool empty() const { return next_ >= bytes_.size(); }

  std::uint8_t byte() { return next_ < bytes_.size() ? bytes_[next_++] : std::uint8_t{0}; }

  /// An integer in [0, bound), bound > 0.
  std::size_t below(std::size_t bound) { return byte() % bound; }

  /// An integer in [lo, hi] from one byte.
  int between(int lo, int hi) {
    return lo + static_cast<int>(byte() % static_cast<unsigned>(hi - lo + 1));
  }

  std::uint64_t word() {
    std::uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = (w << 8) | byte();
    return w;
  }

  double number() {
    const std::uint8_t tag = byte();
    const unsigned selector = tag / 4u;  // 0 to 63
    switch (tag % 4u) {
      case 0:
        return std::bit_cast<double>(word());
      case 1: {  // a fraction with 15 bits, in (-2, 2)
        const auto high = static_cast<std::int8_t>(byte());
        return (static_cast<double>(high) * 256.0 + static_cast<double>(byte())) / 16384.0;
      }
      case 2: {  // a small integer times 2^(selector - 32)
        const auto mantissa = static_cast<std::int8_t>(byte());
        return std::ldexp(static_cast<double>(mantissa), static_cast<int>(selector) - 32);
      }
      default:
        return kEdges[selector % kEdges.size()];
    }
  }

  kernel::HomVec4 point() {
    const double x = number();
    const double y = number();
    const double z = number();
    const double w = number();
    return kernel::HomVec4::init(x, y, z, w);
  }

  kernel::PGL4 matrix() {
    kernel::PGL4 m{};
    for (double& v : m.data) v = number();
    return m;
  }

 private:
  static constexpr double kInf = std::numeric_limits<double>::infinity();
  static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  static constexpr double kMax = std::numeric_limits<double>::max();
  static constexpr double kMin = std::numeric_limits<double>::min();
  static constexpr double kTiny = std::numeric_limits<double>::denorm_min();
  static constexpr std::array<double, 32> kEdges{
      0.0,  -0.0,   1.0,   -1.0,  0.5,   2.0,    kInf,   -kInf,  kNaN,  -kNaN, kMax,
      -kMax, kMin,  -kMin, kTiny, -kTiny, 1e-15, -1e-15, 9e-16,  kernel::W_EPS, -kernel::W_EPS,
      std::numbers::pi / 2, std::numbers::pi, 1e154, 1e-154, 0x1p1000, 0x1p-1000, 1e300,
      1e-300, std::numeric_limits<double>::epsilon(), 1.0 - 0x1p-53, 3.0};

  std::span<const std::uint8_t> bytes_;
  std::size_t next_ = 0;
};

}  // namespace orv::fuzz
