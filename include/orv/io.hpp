#pragma once

// Images, point sets and scenes for programs built on orv: device images written as PNG files,
// point sets read from NumPy .npy files and text files, the scenes of orv's demo and viewer made
// from nothing (the 600-cell, a Clifford torus, fibres of the Hopf fibration, random stars), and the
// point a given distance away in a given direction. Where a point lands in an image is the device
// layer's `ViewUniform::project`.
//
// Nothing here throws but what the standard library throws when memory runs out
// (`std::bad_alloc`); every other failure is a one-line message a person can act on.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "orv/device.hpp"
#include "orv/kernel.hpp"
#include "orv/rhi.hpp"

namespace orv::io {

using kernel::HomVec4;

/// A colour as the devices take one per vertex (rgba32_float): red, green, blue and alpha, linear
/// in light, 0 to 1.
using Color = std::array<float, 4>;

/// An edge between two points, by their indices: drawn as the shorter great-circle arc between
/// them.
struct Edge {
  std::uint32_t a;
  std::uint32_t b;
  friend bool operator==(const Edge&, const Edge&) = default;
};

/// Points of the 3-sphere with, where they have them, a colour each and edges between them.
struct PointSet {
  std::vector<HomVec4> positions;  ///< unit vectors
  std::vector<Color> colors;       ///< empty, or one per position
  std::vector<Edge> edges;         ///< each end an index into `positions`
};

/// Points with a brightness each, 0.25 to 1.
struct StarField {
  std::vector<HomVec4> positions;  ///< unit vectors
  std::vector<float> brightness;   ///< one per position
};

// --- Images --------------------------------------------------------------------------------------

/// A device image as `device::Device::readImage` returns it: `width` x `height` texels of `format`,
/// rows top to bottom, packed. The texels are borrowed.
struct ImageView {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  rhi::Format format = rhi::Format::rgba16_float;
  std::span<const std::byte> texels;
};

/// The one transfer curve of every 8-bit picture made here: a colour channel's value v, linear in
/// light, is clamped to [0, 1] (NaN counting as 0) and stored as floor(255 * v^(1/2.2) + 0.5),
/// computed in double precision. A gamma of 2.2, close to the sRGB curve, which is what PNG files
/// are marked as.
[[nodiscard]] std::uint8_t encodeChannel(float linear) noexcept;

/// What a picture keeps of each texel.
enum class Channels : std::uint8_t {
  rgb = 3,   ///< red, green, blue
  rgba = 4,  ///< and alpha, which is coverage rather than light: floor(255 * a + 0.5), clamped
};

/// The picture of `image`, 8 bits per channel: colour channels through `encodeChannel`, alpha as
/// `Channels::rgba` says. `out` receives `image.height` rows of `row_bytes` bytes each (the last
/// row may stop after its pixels); each row's pixels are packed at its start, the rest of the row
/// untouched. The image may be `rgba8_unorm` (each value v/255), `rgba16_float` (each half float
/// converted exactly) or `rgba32_float`. Refused, with nothing written, when the format is another,
/// the texels are not width * height of that format, `row_bytes` is less than width * channels or
/// `out` is too short.
[[nodiscard]] std::expected<void, std::string> toDisplay(const ImageView& image, Channels channels,
                                                         std::span<std::uint8_t> out,
                                                         std::size_t row_bytes);

/// `image` as an 8-bit PNG file's bytes (written by libpng, marked sRGB), converted as `toDisplay`
/// converts it; refused for what `toDisplay` refuses and for an image without pixels.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> encodePng(
    const ImageView& image, Channels channels = Channels::rgb);

/// Writes `bytes` to `path` through a temporary file beside it (the path with ".partial" added)
/// that is renamed over `path` once complete, so `path` never holds a partial file. On failure the
/// temporary file is removed and the message says what failed and where.
[[nodiscard]] std::expected<void, std::string> writeFileReplacing(
    const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

/// `encodePng(image, channels)` written to `path` by `writeFileReplacing`.
[[nodiscard]] std::expected<void, std::string> writePng(const std::filesystem::path& path,
                                                        const ImageView& image,
                                                        Channels channels = Channels::rgb);

/// Reads `image` from `device` (it is `width` x `height` texels of `format`, as it was created)
/// and writes it to `path` as `writePng` does. A refusal of the device is reported with its message.
[[nodiscard]] std::expected<void, std::string> writePng(const std::filesystem::path& path,
                                                        device::Device& device,
                                                        rhi::ImageId image, std::uint32_t width,
                                                        std::uint32_t height, rhi::Format format,
                                                        Channels channels = Channels::rgb);

// --- Point sets from files -----------------------------------------------------------------------
//
// Points come from a NumPy .npy file, N x 4 of float64 or float32 in C order (`np.save` of such an
// array), or from a text file with one point per line: x y z w, optionally followed by the colour
// r g b (linear, 0 to 1), numbers separated by spaces, tabs or commas; empty lines and lines
// starting with '#' are skipped, and every point line has as many numbers as the first. Each point
// is made a unit vector; a point that is not finite or is the zero vector is refused, and so is a
// colour that is not finite as a float. Colours come
// from a .npy file of N x 3 or N x 4 float64 or float32 values (alpha 1 where there are three),
// edges from a .npy file of M x 2 integers of any width, signed or not, each an index of a point.
//
// A malformed, truncated or mis-shaped file, one that holds more than `kMaxRows` rows or a header
// that promises more data than the file holds, is refused with one line saying what is wrong;
// memory is taken only for what the file holds, never for what a header claims.

/// Most rows a file may hold (points, colours or edges): as many positions as one buffer of the
/// default device limits holds (1 GiB of 32-byte positions).
inline constexpr std::uint64_t kMaxRows = 33'554'432;

/// Points from the bytes of a .npy file, or of a text file where the first byte is not that of the
/// .npy magic string (0x93, which starts no text). Colours of a text file go to `colors`; `edges`
/// is empty.
[[nodiscard]] std::expected<PointSet, std::string> parsePoints(std::span<const std::byte> bytes);
/// Colours from the bytes of a .npy file.
[[nodiscard]] std::expected<std::vector<Color>, std::string> parseColors(
    std::span<const std::byte> bytes);
/// Edges from the bytes of a .npy file. Their indices are checked against no point set here: see
/// `check`.
[[nodiscard]] std::expected<std::vector<Edge>, std::string> parseEdges(
    std::span<const std::byte> bytes);

/// The file at `path` through `parsePoints` (a name ending in ".npy" must hold a .npy file); a
/// message starts with the path.
[[nodiscard]] std::expected<PointSet, std::string> readPoints(const std::filesystem::path& path);
/// The file at `path` through `parseColors`; a message starts with the path.
[[nodiscard]] std::expected<std::vector<Color>, std::string> readColors(
    const std::filesystem::path& path);
/// The file at `path` through `parseEdges`; a message starts with the path.
[[nodiscard]] std::expected<std::vector<Edge>, std::string> readEdges(
    const std::filesystem::path& path);

/// Whether `set` holds together: no colours or one per position, and every edge's ends below the
/// number of positions. The message names the first thing that does not.
[[nodiscard]] std::expected<void, std::string> check(const PointSet& set);

// --- Scenes --------------------------------------------------------------------------------------

/// The regular 600-cell: its 120 vertices as unit quaternions (x, y, z, w) — the 8 permutations of
/// (+-1, 0, 0, 0), the 16 points (+-1/2, +-1/2, +-1/2, +-1/2) and the 96 even permutations of
/// (+-phi/2, +-1/2, +-1/(2 phi), 0) — and its 720 edges, the pairs of vertices pi/5 apart, each
/// with a < b, in lexicographic order. No colours. Each point of projective space is two of the
/// vertices, v and -v.
[[nodiscard]] PointSet cell600();

/// `count` points uniformly distributed on the 3-sphere, with a brightness each from 0.25 to 1,
/// most of them dim. The same seed gives the same points bit for bit with any standard library:
/// only the raw output of std::mt19937_64 is used, never a library distribution.
[[nodiscard]] StarField randomStars(std::size_t count, std::uint64_t seed);

/// The Clifford torus, the points (cos a, sin a, cos b, sin b) / sqrt 2 at equal distance from the
/// circles of the xy and the zw planes, on a grid of `around` steps of a over a full turn and
/// `along` steps of b over half a turn (the other half holds the same points of projective space,
/// negated), with its grid lines as edges between neighbours: point (i, j) at a = 2 pi i / around,
/// b = pi j / along is index i * along + j. The last step of b closes onto the first with a turned
/// by pi, which is why `around` is made even (one more when odd). Colours follow a + b and a - b
/// around the torus. `around` is taken from 4 to 4096 and `along` from 2 to 4096.
[[nodiscard]] PointSet cliffordTorus(std::uint32_t around = 96, std::uint32_t along = 48);

/// Fibres of the Hopf fibration: for `fibres` base points spread evenly over the 2-sphere, the
/// great circle of the unit quaternions that the Hopf map takes there, drawn as `segments` arcs
/// between as many points (a great circle is a line of projective space, pi long, so each arc is
/// pi / segments). Fibre k holds the points k * segments to k * segments + segments - 1 and is
/// coloured by its base point: its hue by longitude, its lightness by latitude. `fibres` is taken
/// from 1 to 65536 and `segments` from 3 to 256.
[[nodiscard]] PointSet hopfFibres(std::uint32_t fibres = 240, std::uint32_t segments = 12);

/// The point `distance` radians from `from` along the great circle leaving it toward `direction`:
/// cos(distance) f + sin(distance) t with f the unit vector of `from` and t the unit vector of
/// the part of `direction` orthogonal to f. From an observer, `pointAt(o.position(), o.forward(),
/// d)` is straight ahead at distance d. Where `direction` has no part orthogonal to `from` (at most
/// 1e-12 of its length) the result is f; where anything is not finite, `from` as given.
[[nodiscard]] HomVec4 pointAt(const HomVec4& from, const HomVec4& direction,
                              double distance) noexcept;

}  // namespace orv::io
