// Scenes made from nothing: the 600-cell, random stars, the Clifford torus, fibres of the Hopf
// fibration; and the point a given distance away in a given direction.

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include "orv/io.hpp"

namespace orv::io {

namespace {

constexpr double kPi = std::numbers::pi;

HomVec4 fromArray(const std::array<double, 4>& c) noexcept {
  return HomVec4::init(c[0], c[1], c[2], c[3]);
}

bool isEvenPermutation(const std::array<std::size_t, 4>& p) noexcept {
  std::size_t inversions = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = i + 1; j < 4; ++j) inversions += p[i] > p[j] ? 1u : 0u;
  }
  return inversions % 2 == 0;
}

// A uniform double in [0, 1) from the top 53 bits of one draw.
double uniform01(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

// The colour of hue `hue` (turns), saturation and value as a picture shows them, in linear light:
// the inverse of the transfer curve of `encodeChannel`.
Color fromHsv(double hue, double saturation, double value) noexcept {
  const double h = 6.0 * (hue - std::floor(hue));
  const auto sector = static_cast<int>(std::min(h, 5.999999));
  const double f = h - sector;
  const double p = value * (1.0 - saturation);
  const double q = value * (1.0 - saturation * f);
  const double t = value * (1.0 - saturation * (1.0 - f));
  std::array<double, 3> rgb{};
  switch (sector) {
    case 0: rgb = {value, t, p}; break;
    case 1: rgb = {q, value, p}; break;
    case 2: rgb = {p, value, t}; break;
    case 3: rgb = {p, q, value}; break;
    case 4: rgb = {t, p, value}; break;
    default: rgb = {value, p, q}; break;
  }
  Color color{0.0f, 0.0f, 0.0f, 1.0f};
  for (std::size_t c = 0; c < 3; ++c) color[c] = static_cast<float>(std::pow(rgb[c], 2.2));
  return color;
}

}  // namespace

PointSet cell600() {
  PointSet cell;
  std::vector<HomVec4>& vertices = cell.positions;
  vertices.reserve(120);
  for (std::size_t axis = 0; axis < 4; ++axis) {
    for (const double sign : {1.0, -1.0}) {
      std::array<double, 4> c{0.0, 0.0, 0.0, 0.0};
      c[axis] = sign;
      vertices.push_back(fromArray(c));
    }
  }
  for (unsigned signs = 0; signs < 16; ++signs) {
    std::array<double, 4> c{};
    for (unsigned k = 0; k < 4; ++k) c[k] = ((signs >> k) & 1u) != 0 ? -0.5 : 0.5;
    vertices.push_back(fromArray(c));
  }
  const double phi = (1.0 + std::sqrt(5.0)) / 2.0;
  const std::array<double, 3> base{phi / 2.0, 0.5, 0.5 / phi};
  std::array<std::size_t, 4> slot{0, 1, 2, 3};  // slot[k]: the coordinate that receives value k
  do {
    if (!isEvenPermutation(slot)) continue;
    for (unsigned signs = 0; signs < 8; ++signs) {
      std::array<double, 4> c{};
      for (unsigned k = 0; k < 3; ++k) c[slot[k]] = ((signs >> k) & 1u) != 0 ? -base[k] : base[k];
      c[slot[3]] = 0.0;
      vertices.push_back(fromArray(c));
    }
  } while (std::next_permutation(slot.begin(), slot.end()));

  // Neighbours are pi/5 apart, cos(pi/5) = phi/2; the next nearest pairs are pi/3 apart.
  const double edge_cosine = std::cos(kPi / 5.0);
  for (std::size_t i = 0; i < vertices.size(); ++i) {
    for (std::size_t j = i + 1; j < vertices.size(); ++j) {
      if (std::fabs(vertices[i].dot(vertices[j]) - edge_cosine) < 1e-9) {
        cell.edges.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
      }
    }
  }
  return cell;
}

StarField randomStars(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  StarField stars;
  stars.positions.reserve(count);
  stars.brightness.reserve(count);
  // A point drawn uniformly from the 4-ball, pushed out to the sphere, is uniform on the sphere.
  // Each coordinate is its own statement: the order of draws must not depend on the compiler.
  while (stars.positions.size() < count) {
    const double x = 2.0 * uniform01(rng) - 1.0;
    const double y = 2.0 * uniform01(rng) - 1.0;
    const double z = 2.0 * uniform01(rng) - 1.0;
    const double w = 2.0 * uniform01(rng) - 1.0;
    const double r2 = ((x * x + y * y) + z * z) + w * w;
    if (r2 > 1.0 || r2 < 1e-6) continue;
    const double u = uniform01(rng);
    stars.positions.push_back(HomVec4::init(x, y, z, w).normalize());
    stars.brightness.push_back(static_cast<float>(0.25 + 0.75 * (u * u * u)));
  }
  return stars;
}

PointSet cliffordTorus(std::uint32_t around, std::uint32_t along) {
  around = std::clamp<std::uint32_t>(around, 4, 4096);
  around += around % 2;
  along = std::clamp<std::uint32_t>(along, 2, 4096);
  PointSet torus;
  const std::size_t count = std::size_t{around} * along;
  torus.positions.reserve(count);
  torus.colors.reserve(count);
  torus.edges.reserve(2 * count);
  const auto index = [&](std::uint32_t i, std::uint32_t j) { return i * along + j; };
  for (std::uint32_t i = 0; i < around; ++i) {
    const double a = 2.0 * kPi * i / around;
    for (std::uint32_t j = 0; j < along; ++j) {
      const double b = kPi * j / along;
      torus.positions.push_back(
          HomVec4::init(std::cos(a), std::sin(a), std::cos(b), std::sin(b)).normalize());
      // a + b and a - b are the same for (a, b) and (a + pi, b + pi), one point of projective space.
      torus.colors.push_back(
          fromHsv((a + b) / (2.0 * kPi), 0.7, 0.55 + 0.45 * (0.5 + 0.5 * std::cos(a - b))));
      torus.edges.push_back({index(i, j), index((i + 1) % around, j)});
      // Past b = pi the circle of b comes back at b = 0, with a turned by pi.
      torus.edges.push_back({index(i, j), j + 1 < along ? index(i, j + 1)
                                                        : index((i + around / 2) % around, 0)});
    }
  }
  return torus;
}

PointSet hopfFibres(std::uint32_t fibres, std::uint32_t segments) {
  fibres = std::clamp<std::uint32_t>(fibres, 1, 65536);
  segments = std::clamp<std::uint32_t>(segments, 3, 256);
  PointSet set;
  const std::size_t count = std::size_t{fibres} * segments;
  set.positions.reserve(count);
  set.colors.reserve(count);
  set.edges.reserve(count);
  const double golden_angle = kPi * (3.0 - std::sqrt(5.0));
  for (std::uint32_t k = 0; k < fibres; ++k) {
    // The base point (r cos(longitude), r sin(longitude), z) of a spiral that covers the 2-sphere
    // evenly.
    const double z = 1.0 - (2.0 * k + 1.0) / fibres;
    const double longitude = std::remainder(golden_angle * k, 2.0 * kPi);
    // The Hopf map takes (z1, z2) to (2 z1 conj(z2), |z1|^2 - |z2|^2): its fibre over the base
    // point is e^(i theta) (c1 e^(i longitude), c2) with c1^2 = (1 + z) / 2, c2^2 = (1 - z) / 2.
    const double c1 = std::sqrt((1.0 + z) / 2.0);
    const double c2 = std::sqrt((1.0 - z) / 2.0);
    const Color color = fromHsv(longitude / (2.0 * kPi), 0.75, 0.5 + 0.25 * (1.0 + z));
    const auto first = static_cast<std::uint32_t>(set.positions.size());
    for (std::uint32_t j = 0; j < segments; ++j) {
      // Half a turn of theta runs once along the line of projective space; the last arc joins
      // theta = pi, which is the first point negated.
      const double theta = kPi * j / segments;
      set.positions.push_back(HomVec4::init(c1 * std::cos(theta + longitude),
                                            c1 * std::sin(theta + longitude), c2 * std::cos(theta),
                                            c2 * std::sin(theta))
                                  .normalize());
      set.colors.push_back(color);
      set.edges.push_back({first + j, first + (j + 1) % segments});
    }
  }
  return set;
}

HomVec4 pointAt(const HomVec4& from, const HomVec4& direction, double distance) noexcept {
  const bool finite = std::isfinite(from.x) && std::isfinite(from.y) && std::isfinite(from.z) &&
                      std::isfinite(from.w) && std::isfinite(direction.x) &&
                      std::isfinite(direction.y) && std::isfinite(direction.z) &&
                      std::isfinite(direction.w) && std::isfinite(distance);
  if (!finite) return from;
  const HomVec4 f = from.normalize();
  if (!(direction.norm() >= 1e-15)) return f;
  const HomVec4 d = direction.normalize();
  const double along = d.dot(f);
  const HomVec4 across =
      HomVec4::init(d.x - along * f.x, d.y - along * f.y, d.z - along * f.z, d.w - along * f.w);
  if (!(across.norm() > 1e-12)) return f;
  const HomVec4 t = across.normalize();
  const double c = std::cos(distance);
  const double s = std::sin(distance);
  return HomVec4::init(c * f.x + s * t.x, c * f.y + s * t.y, c * f.z + s * t.z, c * f.w + s * t.w);
}

}  // namespace orv::io
