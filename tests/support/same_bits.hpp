#pragma once

// Bit-for-bit comparisons for tests: where results are promised exact, a tolerance would hide a
// wrong evaluation order or a wrong sign of zero.

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>

#include "orv/kernel.hpp"

namespace orv::testing {

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }
inline std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

inline ::testing::AssertionResult sameBits(const kernel::HomVec4& a, const kernel::HomVec4& b) {
  if (bits(a.x) == bits(b.x) && bits(a.y) == bits(b.y) && bits(a.z) == bits(b.z) &&
      bits(a.w) == bits(b.w)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "(" << a.x << ", " << a.y << ", " << a.z << ", " << a.w
                                       << ") vs (" << b.x << ", " << b.y << ", " << b.z << ", "
                                       << b.w << ")";
}

inline ::testing::AssertionResult sameBits(const kernel::PGL4& a, const kernel::PGL4& b) {
  for (std::size_t i = 0; i < 16; ++i) {
    if (bits(a.data[i]) != bits(b.data[i])) {
      return ::testing::AssertionFailure() << "entry " << i << ": " << a.data[i] << " vs "
                                           << b.data[i];
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace orv::testing
