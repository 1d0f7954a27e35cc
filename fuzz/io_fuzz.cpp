// Fuzzes the readers of orv::io with any bytes as a file. The first byte picks the reader (points,
// colours or edges), the rest is the file. Each reader must either give what it promises (unit,
// finite points; finite colours; no more rows than a file may hold) or refuse with one line of
// printable text; crashes, hangs, sanitizer findings and allocations beyond what the input holds
// (libFuzzer's -malloc_limit_mb) fail.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_input.hpp"
#include "orv/io.hpp"

namespace {

using orv::fuzz::require;

void requireOneLine(const std::string& message) {
  require(!message.empty(), "a refusal says why");
  for (const char c : message) require(c >= 0x20 && c < 0x7f, "a refusal is one line of plain text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::byte> file(reinterpret_cast<const std::byte*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0: {
      const auto set = orv::io::parsePoints(file);
      if (!set) {
        requireOneLine(set.error());
        break;
      }
      require(set->positions.size() <= orv::io::kMaxRows, "no more points than a file may hold");
      require(set->colors.empty() || set->colors.size() == set->positions.size(),
              "no colours or one per point");
      require(set->edges.empty(), "points come without edges");
      require(orv::io::check(*set).has_value(), "a point set read holds together");
      for (const auto& p : set->positions) {
        require(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z) && std::isfinite(p.w),
                "points are finite");
        require(std::fabs(p.norm() - 1.0) < 1e-14, "points are unit vectors");
      }
      for (const auto& c : set->colors) {
        require(std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]) && c[3] == 1.0f,
                "text colours are finite and opaque");
      }
      break;
    }
    case 1: {
      const auto colors = orv::io::parseColors(file);
      if (!colors) {
        requireOneLine(colors.error());
        break;
      }
      require(colors->size() <= orv::io::kMaxRows, "no more colours than a file may hold");
      for (const auto& c : *colors) {
        require(std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]) &&
                    std::isfinite(c[3]),
                "colours are finite");
      }
      break;
    }
    default: {
      const auto edges = orv::io::parseEdges(file);
      if (!edges) {
        requireOneLine(edges.error());
        break;
      }
      require(edges->size() <= orv::io::kMaxRows, "no more edges than a file may hold");
      break;
    }
  }
  return 0;
}
