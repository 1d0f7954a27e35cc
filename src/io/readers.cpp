// Point sets, colours and edges from NumPy .npy files and from text files. Every input is
// untrusted: each size a header states is checked against the bytes that are there before any
// memory is taken for it, and each refusal is one line that shows no raw bytes of the file.

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "orv/io.hpp"

namespace orv::io {

namespace {

constexpr std::string_view kMagic = "\x93NUMPY";
// The largest file read: the largest .npy file of kMaxRows points with room for its header, or a
// text file of points with long numbers.
constexpr std::uintmax_t kMaxFileBytes = std::uintmax_t{2} << 30;
// Headers are padded to a few dozen bytes; NumPy itself refuses those over 10,000 by default.
constexpr std::size_t kMaxHeaderBytes = 16384;
constexpr std::size_t kMaxDimensions = 32;  // as NumPy

template <class T>
using Parsed = std::expected<T, std::string>;

// `text` for a message: at most 24 characters, anything but printable ASCII shown as '?'.
std::string shown(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 24)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
  if (text.size() > 24) out += "...";
  return "'" + out + "'";
}

// --- The .npy header --------------------------------------------------------------------------------

enum class Kind : std::uint8_t { floating, signed_integer, unsigned_integer };

struct Npy {
  Kind kind = Kind::floating;
  std::size_t item = 0;  // bytes per element
  bool swap = false;     // stored in the other byte order than this machine's
  bool fortran = false;  // column-major
  std::array<std::uint64_t, kMaxDimensions> shape{};
  std::size_t dimensions = 0;
  std::span<const std::byte> data;
};

// A reader of the header's Python dictionary literal.
class Literal {
 public:
  explicit Literal(std::string_view text) : text_(text) {}

  void skipSpace() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) ++at_;
  }
  bool take(char c) {
    skipSpace();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool takeWord(std::string_view word) {
    skipSpace();
    if (text_.substr(at_).starts_with(word)) {
      at_ += word.size();
      return true;
    }
    return false;
  }
  std::optional<std::string_view> string() {
    skipSpace();
    if (at_ >= text_.size() || (text_[at_] != '\'' && text_[at_] != '"')) return std::nullopt;
    const char quote = text_[at_];
    const std::size_t end = text_.find(quote, at_ + 1);
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view value = text_.substr(at_ + 1, end - at_ - 1);
    if (value.find('\\') != std::string_view::npos) return std::nullopt;
    at_ = end + 1;
    return value;
  }
  std::optional<std::uint64_t> integer() {
    skipSpace();
    std::uint64_t value = 0;
    const char* first = text_.data() + at_;
    const auto [stop, error] = std::from_chars(first, text_.data() + text_.size(), value);
    if (error != std::errc{} || stop == first) return std::nullopt;
    at_ += static_cast<std::size_t>(stop - first);
    if (at_ < text_.size() && text_[at_] == 'L') ++at_;  // written by NumPy under Python 2
    return value;
  }
  // Only spaces and line ends left.
  bool atEnd() const {
    return text_.find_first_not_of(" \t\r\n", at_) == std::string_view::npos;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

Parsed<void> parseDescr(std::string_view descr, Npy& npy) {
  const std::string bad = "the element type " + shown(descr) +
                          " is not a plain number type (such as '<f8', '<f4' or '<i8')";
  if (descr.size() < 3) return std::unexpected(bad);
  const char order = descr[0];
  const char kind = descr[1];
  std::size_t item = 0;
  const auto [stop, error] = std::from_chars(descr.data() + 2, descr.data() + descr.size(), item);
  if (error != std::errc{} || stop != descr.data() + descr.size()) return std::unexpected(bad);
  if (kind == 'f' && (item == 4 || item == 8)) {
    npy.kind = Kind::floating;
  } else if ((kind == 'i' || kind == 'u') && (item == 1 || item == 2 || item == 4 || item == 8)) {
    npy.kind = kind == 'i' ? Kind::signed_integer : Kind::unsigned_integer;
  } else {
    return std::unexpected(bad);
  }
  constexpr bool little = std::endian::native == std::endian::little;
  if (order == '<') {
    npy.swap = !little;
  } else if (order == '>') {
    npy.swap = little;
  } else if (order == '=' || (order == '|' && item == 1)) {
    npy.swap = false;
  } else {
    return std::unexpected(bad);
  }
  npy.item = item;
  return {};
}

Parsed<void> parseShape(Literal& literal, Npy& npy) {
  const std::string bad = "the header's shape is not a tuple of sizes";
  if (!literal.take('(')) return std::unexpected(bad);
  npy.dimensions = 0;
  if (literal.take(')')) return {};
  while (true) {
    const auto n = literal.integer();
    if (!n || npy.dimensions == kMaxDimensions) return std::unexpected(bad);
    npy.shape[npy.dimensions++] = *n;
    const bool comma = literal.take(',');
    if (literal.take(')')) return {};
    if (!comma) return std::unexpected(bad);
  }
}

Parsed<Npy> parseNpy(std::span<const std::byte> bytes) {
  const auto* chars = reinterpret_cast<const char*>(bytes.data());
  if (bytes.size() < 10 || std::string_view(chars, kMagic.size()) != kMagic) {
    return std::unexpected(std::string("not a .npy file: it does not start with the .npy magic"));
  }
  const auto major = std::to_integer<unsigned>(bytes[6]);
  std::size_t header_at = 0;
  std::size_t header_size = 0;
  if (major == 1) {
    header_at = 10;
    header_size = std::to_integer<std::size_t>(bytes[8]) | std::to_integer<std::size_t>(bytes[9]) << 8;
  } else if ((major == 2 || major == 3) && bytes.size() >= 12) {
    header_at = 12;
    for (std::size_t k = 0; k < 4; ++k) header_size |= std::to_integer<std::size_t>(bytes[8 + k]) << (8 * k);
  } else if (major == 2 || major == 3) {
    return std::unexpected(std::string("the .npy file ends inside its header"));
  } else {
    return std::unexpected("the .npy format version " + std::to_string(major) +
                           " is not one of 1, 2 and 3");
  }
  if (header_size > kMaxHeaderBytes) {
    return std::unexpected("the .npy header claims " + std::to_string(header_size) +
                           " bytes, more than a header has");
  }
  if (header_size > bytes.size() - header_at) {
    return std::unexpected(std::string("the .npy file ends inside its header"));
  }

  Npy npy;
  Literal literal(std::string_view(chars + header_at, header_size));
  bool descr = false;
  bool fortran = false;
  bool shape = false;
  const std::string bad = "the .npy header is not a dictionary of descr, fortran_order and shape";
  if (!literal.take('{')) return std::unexpected(bad);
  while (!literal.take('}')) {
    const auto key = literal.string();
    if (!key || !literal.take(':')) return std::unexpected(bad);
    if (*key == "descr" && !descr) {
      const auto value = literal.string();
      if (!value) return std::unexpected(bad);
      if (auto ok = parseDescr(*value, npy); !ok) return std::unexpected(ok.error());
      descr = true;
    } else if (*key == "fortran_order" && !fortran) {
      if (literal.takeWord("True")) {
        npy.fortran = true;
      } else if (!literal.takeWord("False")) {
        return std::unexpected(bad);
      }
      fortran = true;
    } else if (*key == "shape" && !shape) {
      if (auto ok = parseShape(literal, npy); !ok) return std::unexpected(ok.error());
      shape = true;
    } else {
      return std::unexpected(bad);
    }
    if (!literal.take(',')) {
      if (!literal.take('}')) return std::unexpected(bad);
      break;
    }
  }
  if (!descr || !fortran || !shape || !literal.atEnd()) return std::unexpected(bad);
  npy.data = bytes.subspan(header_at + header_size);
  return npy;
}

std::string shapeText(const Npy& npy) {
  std::string text = "(";
  for (std::size_t k = 0; k < npy.dimensions; ++k) {
    if (k > 0) text += ", ";
    text += std::to_string(npy.shape[k]);
  }
  return text + (npy.dimensions == 1 ? ",)" : ")");
}

// Checks that the array is rows x one of `columns`, holds no more than kMaxRows rows and that the
// file holds exactly its bytes; returns the number of columns.
Parsed<std::size_t> checkTable(const Npy& npy, std::initializer_list<std::uint64_t> columns,
                               std::string_view what) {
  const bool fits = npy.dimensions == 2 &&
                    std::find(columns.begin(), columns.end(), npy.shape[1]) != columns.end();
  if (!fits) {
    std::string wanted;
    for (const std::uint64_t c : columns) {
      wanted += (wanted.empty() ? "N x " : " or N x ") + std::to_string(c);
    }
    return std::unexpected("the array's shape " + shapeText(npy) + " is not " + wanted + " " +
                           std::string(what));
  }
  if (npy.shape[0] > kMaxRows) {
    return std::unexpected("the array has " + std::to_string(npy.shape[0]) +
                           " rows, more than the " + std::to_string(kMaxRows) + " a file may hold");
  }
  const std::uint64_t expected = npy.shape[0] * npy.shape[1] * npy.item;
  if (npy.data.size() != expected) {
    return std::unexpected("the array's shape " + shapeText(npy) + " needs " +
                           std::to_string(expected) + " bytes of data, the file holds " +
                           std::to_string(npy.data.size()));
  }
  return static_cast<std::size_t>(npy.shape[1]);
}

// Element (row, column) of a checked table, as a double or as an integer.
std::array<std::byte, 8> elementBytes(const Npy& npy, std::size_t row, std::size_t column) {
  const std::size_t rows = static_cast<std::size_t>(npy.shape[0]);
  const std::size_t columns = static_cast<std::size_t>(npy.shape[1]);
  const std::size_t index = npy.fortran ? column * rows + row : row * columns + column;
  std::array<std::byte, 8> raw{};
  std::memcpy(raw.data(), npy.data.data() + index * npy.item, npy.item);
  if (npy.swap) std::reverse(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(npy.item));
  return raw;
}

double floatAt(const Npy& npy, std::size_t row, std::size_t column) {
  const std::array<std::byte, 8> raw = elementBytes(npy, row, column);
  if (npy.item == 4) {
    float value = 0;
    std::memcpy(&value, raw.data(), 4);
    return static_cast<double>(value);
  }
  double value = 0;
  std::memcpy(&value, raw.data(), 8);
  return value;
}

// The element as a signed value where it is one, else unsigned; nothing beyond 64 bits.
struct Integer {
  bool negative;
  std::uint64_t magnitude;
};

Integer integerAt(const Npy& npy, std::size_t row, std::size_t column) {
  const std::array<std::byte, 8> raw = elementBytes(npy, row, column);
  std::uint64_t bits = 0;
  std::memcpy(&bits, raw.data(), 8);  // the low npy.item bytes, on a little-endian machine
  if constexpr (std::endian::native == std::endian::big) bits >>= 8 * (8 - npy.item);
  const unsigned width = static_cast<unsigned>(8 * npy.item);
  if (width < 64) bits &= (std::uint64_t{1} << width) - 1;
  if (npy.kind == Kind::signed_integer && (bits >> (width - 1)) != 0) {
    // Two's complement: the magnitude of a negative value of `width` bits.
    const std::uint64_t magnitude = (width < 64 ? (std::uint64_t{1} << width) : 0) - bits;
    return {true, magnitude};
  }
  return {false, bits};
}

Parsed<HomVec4> pointOf(double x, double y, double z, double w) {
  if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z) && std::isfinite(w))) {
    return std::unexpected(std::string("is not finite"));
  }
  const HomVec4 p = HomVec4::init(x, y, z, w);
  // As everywhere in orv, a vector shorter than 1e-15 counts as the zero vector.
  if (!(p.norm() >= 1e-15)) return std::unexpected(std::string("is the zero vector, which is no point"));
  return p.normalize();
}

// A colour's channels as floats, which must be finite.
Parsed<Color> colorOf(const std::array<double, 4>& channels) {
  Color color{};
  for (std::size_t c = 0; c < 4; ++c) {
    color[c] = static_cast<float>(channels[c]);
    if (!std::isfinite(color[c])) return std::unexpected(std::string("the colour is not finite"));
  }
  return color;
}

Parsed<PointSet> pointsFromNpy(const Npy& npy) {
  if (npy.kind != Kind::floating) {
    return std::unexpected(std::string("points need float64 or float32 values"));
  }
  const auto columns = checkTable(npy, {4}, "(x, y, z, w per point)");
  if (!columns) return std::unexpected(columns.error());
  PointSet set;
  const auto rows = static_cast<std::size_t>(npy.shape[0]);
  set.positions.reserve(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const auto p = pointOf(floatAt(npy, r, 0), floatAt(npy, r, 1), floatAt(npy, r, 2),
                           floatAt(npy, r, 3));
    if (!p) return std::unexpected("row " + std::to_string(r) + ": the point " + p.error());
    set.positions.push_back(*p);
  }
  return set;
}

// --- Text files -------------------------------------------------------------------------------------

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == ',' || c == '\r'; }

Parsed<PointSet> pointsFromText(std::string_view text) {
  PointSet set;
  std::size_t numbers_per_line = 0;
  std::size_t line_number = 0;
  std::size_t at = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;  // a byte order mark
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++line_number;
    const std::size_t first = line.find_first_not_of(" \t\r,");
    if (first == std::string_view::npos || line[first] == '#') continue;
    const std::string where = "line " + std::to_string(line_number) + ": ";
    std::array<double, 7> values{};
    std::size_t count = 0;
    std::size_t k = first;
    while (k < line.size()) {
      std::size_t stop = k;
      while (stop < line.size() && !isSeparator(line[stop])) ++stop;
      std::string_view token = line.substr(k, stop - k);
      if (count == values.size()) {
        return std::unexpected(where + "more than 7 numbers (x y z w r g b)");
      }
      const std::string_view number = token.starts_with('+') ? token.substr(1) : token;
      const auto [end_of_number, error] =
          std::from_chars(number.data(), number.data() + number.size(), values[count]);
      if (number.empty() || error != std::errc{} ||
          end_of_number != number.data() + number.size()) {
        return std::unexpected(where + shown(token) + " is not a number");
      }
      ++count;
      k = stop;
      while (k < line.size() && isSeparator(line[k])) ++k;
    }
    if (count != 4 && count != 7) {
      return std::unexpected(where + std::to_string(count) +
                             " numbers, where a point has 4 (x y z w) or 7 (x y z w r g b)");
    }
    if (numbers_per_line == 0) numbers_per_line = count;
    if (count != numbers_per_line) {
      return std::unexpected(where + std::to_string(count) + " numbers, where the first point has " +
                             std::to_string(numbers_per_line));
    }
    if (set.positions.size() == kMaxRows) {
      return std::unexpected(where + "more than the " + std::to_string(kMaxRows) +
                             " points a file may hold");
    }
    const auto p = pointOf(values[0], values[1], values[2], values[3]);
    if (!p) return std::unexpected(where + "the point " + p.error());
    set.positions.push_back(*p);
    if (count == 7) {
      const auto color = colorOf({values[4], values[5], values[6], 1.0});
      if (!color) return std::unexpected(where + color.error());
      set.colors.push_back(*color);
    }
  }
  return set;
}

// --- Files ----------------------------------------------------------------------------------------

Parsed<std::vector<std::byte>> readFile(const std::filesystem::path& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    return std::unexpected(std::string("it is a folder"));
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::unexpected(std::string(std::strerror(errno)));
  std::vector<std::byte> bytes;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (!error && size > kMaxFileBytes) {
    std::fclose(file);
    return std::unexpected("it holds " + std::to_string(size) + " bytes, more than the " +
                           std::to_string(kMaxFileBytes) + " a file may hold");
  }
  if (!error) bytes.reserve(static_cast<std::size_t>(size));
  // Read in blocks whatever the size said (a pipe has none), and never beyond the limit.
  std::array<std::byte, 1 << 16> block{};
  while (true) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file);
    if (bytes.size() + got > kMaxFileBytes) {
      std::fclose(file);
      return std::unexpected("it holds more than the " + std::to_string(kMaxFileBytes) +
                             " bytes a file may hold");
    }
    bytes.insert(bytes.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got));
    if (got < block.size()) break;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::unexpected(std::string("it cannot be read"));
  return bytes;
}

template <class T>
Parsed<T> fromFile(const std::filesystem::path& path, Parsed<T> (*parse)(std::span<const std::byte>)) {
  // The messages are built by appending: GCC 12 at -O3 misreads `"..." + std::string&&` as an
  // overlapping copy (-Wrestrict).
  const auto bytes = readFile(path);
  if (!bytes) {
    std::string message = "cannot read '";
    message.append(path.string()).append("': ").append(bytes.error());
    return std::unexpected(std::move(message));
  }
  auto parsed = parse(*bytes);
  if (!parsed) {
    std::string message = "'";
    message.append(path.string()).append("': ").append(parsed.error());
    return std::unexpected(std::move(message));
  }
  return parsed;
}

bool namedNpy(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return extension == ".npy";
}

}  // namespace

Parsed<PointSet> parsePoints(std::span<const std::byte> bytes) {
  if (!bytes.empty() && bytes[0] == std::byte{0x93}) {
    const auto npy = parseNpy(bytes);
    if (!npy) return std::unexpected(npy.error());
    return pointsFromNpy(*npy);
  }
  return pointsFromText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Parsed<std::vector<Color>> parseColors(std::span<const std::byte> bytes) {
  const auto npy = parseNpy(bytes);
  if (!npy) return std::unexpected(npy.error());
  if (npy->kind != Kind::floating) {
    return std::unexpected(std::string("colours need float64 or float32 values"));
  }
  const auto columns = checkTable(*npy, {3, 4}, "(r, g, b or r, g, b, a per point)");
  if (!columns) return std::unexpected(columns.error());
  std::vector<Color> colors;
  const auto rows = static_cast<std::size_t>(npy->shape[0]);
  colors.reserve(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    std::array<double, 4> channels{0.0, 0.0, 0.0, 1.0};
    for (std::size_t c = 0; c < *columns; ++c) channels[c] = floatAt(*npy, r, c);
    const auto color = colorOf(channels);
    if (!color) return std::unexpected("row " + std::to_string(r) + ": " + color.error());
    colors.push_back(*color);
  }
  return colors;
}

Parsed<std::vector<Edge>> parseEdges(std::span<const std::byte> bytes) {
  const auto npy = parseNpy(bytes);
  if (!npy) return std::unexpected(npy.error());
  if (npy->kind == Kind::floating) {
    return std::unexpected(std::string("edges need integer indices, the file holds floats"));
  }
  const auto columns = checkTable(*npy, {2}, "(two point indices per edge)");
  if (!columns) return std::unexpected(columns.error());
  std::vector<Edge> edges;
  const auto rows = static_cast<std::size_t>(npy->shape[0]);
  edges.reserve(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    std::array<std::uint32_t, 2> ends{};
    for (std::size_t c = 0; c < 2; ++c) {
      const Integer index = integerAt(*npy, r, c);
      if (index.negative || index.magnitude > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected("row " + std::to_string(r) + ": " + (index.negative ? "-" : "") +
                               std::to_string(index.magnitude) + " is no point index");
      }
      ends[c] = static_cast<std::uint32_t>(index.magnitude);
    }
    edges.push_back({ends[0], ends[1]});
  }
  return edges;
}

Parsed<PointSet> readPoints(const std::filesystem::path& path) {
  if (namedNpy(path)) {
    return fromFile<PointSet>(path, [](std::span<const std::byte> bytes) -> Parsed<PointSet> {
      const auto npy = parseNpy(bytes);
      if (!npy) return std::unexpected(npy.error());
      return pointsFromNpy(*npy);
    });
  }
  return fromFile<PointSet>(path, parsePoints);
}

Parsed<std::vector<Color>> readColors(const std::filesystem::path& path) {
  return fromFile<std::vector<Color>>(path, parseColors);
}

Parsed<std::vector<Edge>> readEdges(const std::filesystem::path& path) {
  return fromFile<std::vector<Edge>>(path, parseEdges);
}

Parsed<void> check(const PointSet& set) {
  if (!set.colors.empty() && set.colors.size() != set.positions.size()) {
    return std::unexpected(std::to_string(set.colors.size()) + " colours for " +
                           std::to_string(set.positions.size()) + " points");
  }
  for (std::size_t e = 0; e < set.edges.size(); ++e) {
    const std::uint32_t end = std::max(set.edges[e].a, set.edges[e].b);
    if (end >= set.positions.size()) {
      return std::unexpected("edge " + std::to_string(e) + " ends at point " + std::to_string(end) +
                             ", but there are " + std::to_string(set.positions.size()) + " points");
    }
  }
  return {};
}

}  // namespace orv::io
