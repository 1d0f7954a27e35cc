// orv::io: pictures of device images, point sets from files, the scenes, and the two helpers that
// place points (pointAt, and ViewUniform::project of the device layer, checked against what the CPU
// device draws).

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory_resource>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "orv/io.hpp"
#include "support/same_bits.hpp"

namespace {

namespace fs = std::filesystem;
namespace io = orv::io;
namespace rhi = orv::rhi;
using orv::kernel::HomVec4;
using orv::kernel::fsDistance;
using orv::testing::sameBits;

constexpr double kPi = std::numbers::pi;

std::vector<std::byte> bytesOf(std::string_view text) {
  const auto* first = reinterpret_cast<const std::byte*>(text.data());
  return {first, first + text.size()};
}

// A string literal's bytes, NUL bytes inside it included.
template <std::size_t N>
std::vector<std::byte> bytesOf(const char (&text)[N]) {
  return bytesOf(std::string_view(text, N - 1));
}

// A .npy file as NumPy writes one: magic, version, header length, the dictionary padded with spaces
// to a multiple of 64 bytes and ended by a newline, then `data`.
std::vector<std::byte> npy(std::string_view descr, std::string_view shape,
                           const std::vector<std::byte>& data, int major = 1,
                           std::string_view fortran = "False") {
  std::string header = "{'descr': '" + std::string(descr) + "', 'fortran_order': " +
                       std::string(fortran) + ", 'shape': " + std::string(shape) + ", }";
  const std::size_t prefix = major == 1 ? 10 : 12;
  while ((prefix + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  std::string head = "\x93NUMPY";
  head += static_cast<char>(major);
  head += '\0';
  const std::size_t n = header.size();
  head += static_cast<char>(n & 0xff);
  head += static_cast<char>(n >> 8);
  if (major != 1) head += std::string(2, '\0');
  std::vector<std::byte> file = bytesOf(head + header);
  file.insert(file.end(), data.begin(), data.end());
  return file;
}

template <class T>
std::vector<std::byte> raw(const std::vector<T>& values, bool big_endian = false) {
  std::vector<std::byte> out(values.size() * sizeof(T));
  std::memcpy(out.data(), values.data(), out.size());
  if (big_endian) {
    for (std::size_t i = 0; i < out.size(); i += sizeof(T)) {
      std::reverse(out.begin() + static_cast<std::ptrdiff_t>(i),
                   out.begin() + static_cast<std::ptrdiff_t>(i + sizeof(T)));
    }
  }
  return out;
}

// The RGB or RGBA pixels of a PNG file's bytes, decoded by libpng.
std::vector<std::uint8_t> decodePng(const std::vector<std::uint8_t>& bytes, std::uint32_t& width,
                                    std::uint32_t& height, bool alpha) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  EXPECT_NE(png_image_begin_read_from_memory(&png, bytes.data(), bytes.size()), 0) << png.message;
  width = png.width;
  height = png.height;
  png.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(png));
  EXPECT_NE(png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr), 0) << png.message;
  return pixels;
}

// A file of this test's own, removed when it goes out of scope.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& name, const std::vector<std::byte>& contents = {})
      : path_(fs::temp_directory_path() / ("io_test_" + std::to_string(::getpid()) + "_" + name)) {
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(contents.data()),
               static_cast<std::streamsize>(contents.size()));
  }
  ~ScratchFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// --- Pictures ----------------------------------------------------------------------------------

TEST(Picture, OneTransferCurveForEveryFormatWithHalfFloatsConvertedExactly) {
  // Values worked out by hand: 255 * v^(1/2.2), rounded; out of range and NaN clamp.
  EXPECT_EQ(io::encodeChannel(0.5f), 186);
  EXPECT_EQ(io::encodeChannel(0.25f), 136);
  EXPECT_EQ(io::encodeChannel(0.01f), 31);
  EXPECT_EQ(io::encodeChannel(1.0f), 255);
  EXPECT_EQ(io::encodeChannel(7.0f), 255);
  EXPECT_EQ(io::encodeChannel(-0.5f), 0);
  EXPECT_EQ(io::encodeChannel(std::nanf("")), 0);

  // Every half float, as rgba16_float texels and as the same values in rgba32_float: the pictures
  // agree byte for byte, alpha included (linear: 0.5 is 128, not 186).
  std::vector<std::uint16_t> halves(4 * 65536);
  std::vector<float> floats(4 * 65536);
  for (std::size_t h = 0; h < 65536; ++h) {
    const std::array<std::uint16_t, 4> texel{static_cast<std::uint16_t>(h),
                                             static_cast<std::uint16_t>(h ^ 0x8000u), 0x3800,
                                             static_cast<std::uint16_t>(65535 - h)};
    for (std::size_t c = 0; c < 4; ++c) {
      halves[4 * h + c] = texel[c];
      floats[4 * h + c] = orv::device::halfToFloat(texel[c]);
    }
  }
  const io::ImageView half_image{256, 256, rhi::Format::rgba16_float, std::as_bytes(std::span(halves))};
  const io::ImageView float_image{256, 256, rhi::Format::rgba32_float, std::as_bytes(std::span(floats))};
  std::vector<std::uint8_t> from_halves(4 * 65536);
  std::vector<std::uint8_t> from_floats(4 * 65536);
  ASSERT_TRUE(io::toDisplay(half_image, io::Channels::rgba, from_halves, 4 * 256).has_value());
  ASSERT_TRUE(io::toDisplay(float_image, io::Channels::rgba, from_floats, 4 * 256).has_value());
  EXPECT_EQ(from_halves, from_floats);
  EXPECT_EQ(from_halves[4 * 0x3800 + 0], 186);  // 0.5 in colour
  EXPECT_EQ(from_halves[4 * 0x3800 + 1], 0);    // -0.5
  EXPECT_EQ(from_halves[2], 186);
  EXPECT_EQ(from_halves[4 * (65535 - 0x3800) + 3], 128);  // 0.5 as alpha

  // rgba8_unorm texels v stand for v / 255; rows land at their stride, the padding untouched.
  const std::vector<std::uint8_t> unorm{0, 128, 255, 77, 255, 0, 0, 255};
  const io::ImageView small{1, 2, rhi::Format::rgba8_unorm, std::as_bytes(std::span(unorm))};
  std::vector<std::uint8_t> rows(8, 0xee);
  ASSERT_TRUE(io::toDisplay(small, io::Channels::rgb, rows, 5).has_value());
  EXPECT_EQ(rows, (std::vector<std::uint8_t>{0, io::encodeChannel(128.0f / 255.0f), 255, 0xee, 0xee,
                                             255, 0, 0}));

  // Refusals change nothing: a format that is no colour, texels of the wrong size, short rows.
  std::vector<std::uint8_t> untouched(64, 0xab);
  const auto refuse = [&](const io::ImageView& image, std::size_t row_bytes) {
    EXPECT_FALSE(io::toDisplay(image, io::Channels::rgb, untouched, row_bytes).has_value());
  };
  refuse({1, 2, rhi::Format::depth32_float, std::as_bytes(std::span(unorm))}, 3);
  refuse({2, 2, rhi::Format::rgba8_unorm, std::as_bytes(std::span(unorm))}, 6);
  refuse({1, 2, rhi::Format::rgba8_unorm, std::as_bytes(std::span(unorm))}, 2);
  refuse({1, 30, rhi::Format::rgba8_unorm, {}}, 3);
  EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](auto v) { return v == 0xab; }));
}

TEST(Picture, PngFilesDecodeToThePictureAndComeStraightFromADevice) {
  const std::vector<float> texels{1, 0, 0, 1, 0, 0.5f, 0, 0.25f, 0, 0, 1, 0, 0.2f, 0.2f, 0.2f, 1};
  const io::ImageView image{2, 2, rhi::Format::rgba32_float, std::as_bytes(std::span(texels))};
  for (const io::Channels channels : {io::Channels::rgb, io::Channels::rgba}) {
    const auto png = io::encodePng(image, channels);
    ASSERT_TRUE(png.has_value()) << png.error();
    std::uint32_t w = 0;
    std::uint32_t h = 0;
    const bool alpha = channels == io::Channels::rgba;
    const std::vector<std::uint8_t> pixels = decodePng(*png, w, h, alpha);
    std::vector<std::uint8_t> expected(alpha ? 16 : 12);
    ASSERT_TRUE(io::toDisplay(image, channels, expected, alpha ? 8 : 6).has_value());
    EXPECT_EQ(w, 2u);
    EXPECT_EQ(h, 2u);
    EXPECT_EQ(pixels, expected);
  }
  EXPECT_FALSE(io::encodePng({0, 4, rhi::Format::rgba32_float, {}}).has_value());

  // A device's render target, cleared, written to a file, read back.
  auto device = std::move(*orv::device::makeCpuDevice());
  const rhi::ImageId color = *device->createImage(rhi::ImageDescriptor::initOrvRenderTarget(3, 2));
  const std::array<rhi::ImageId, 1> writes{color};
  const std::array<rhi::GpuCommand, 1> clear{{{rhi::GpuCommand::Clear{color, 0.5f, 0, 1, 1, 1}}}};
  rhi::FrameGraph graph(*std::pmr::new_delete_resource());
  ASSERT_TRUE(graph.addPass({"clear", {}, writes, clear, rhi::PassType::clear}).has_value());
  ASSERT_TRUE(device->execute(graph).has_value());
  const ScratchFile file("device.png");
  const auto written = io::writePng(file.path(), *device, color, 3, 2, rhi::Format::rgba16_float);
  ASSERT_TRUE(written.has_value()) << written.error();
  std::ifstream in(file.path(), std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  std::uint32_t w = 0;
  std::uint32_t h = 0;
  const std::vector<std::uint8_t> pixels = decodePng(bytes, w, h, false);
  EXPECT_EQ(pixels, (std::vector<std::uint8_t>{186, 0, 255, 186, 0, 255, 186, 0, 255,
                                               186, 0, 255, 186, 0, 255, 186, 0, 255}));
  // The device refuses a size the image does not have; the message says so and no file appears.
  const ScratchFile refused("refused.png");
  fs::remove(refused.path());
  const auto wrong = io::writePng(refused.path(), *device, color, 4, 2, rhi::Format::rgba16_float);
  ASSERT_FALSE(wrong.has_value());
  EXPECT_TRUE(wrong.error().starts_with("cannot read the image: ")) << wrong.error();
  EXPECT_FALSE(fs::exists(refused.path()));
}

// --- Point sets from files ---------------------------------------------------------------------

TEST(Files, NpyPointsColoursAndEdgesInEveryByteOrderTypeAndLayout) {
  // Two points, float64 little-endian and float32 big-endian, C order and Fortran order.
  const std::vector<double> c_order{0, 0, 0, 2, 3, 0, 4, 0};
  const std::vector<float> fortran{0, 3, 0, 0, 0, 4, 2, 0};  // column by column
  const auto a = io::parsePoints(npy("<f8", "(2, 4)", raw(c_order)));
  const auto b = io::parsePoints(npy(">f4", "(2, 4)", raw(fortran, true), 2, "True"));
  ASSERT_TRUE(a.has_value()) << a.error();
  ASSERT_TRUE(b.has_value()) << b.error();
  for (const io::PointSet* set : {&*a, &*b}) {
    ASSERT_EQ(set->positions.size(), 2u);
    EXPECT_TRUE(sameBits(set->positions[0], HomVec4::init(0, 0, 0, 1)));
    EXPECT_TRUE(sameBits(set->positions[1], HomVec4::init(0.6, 0, 0.8, 0)));
    EXPECT_TRUE(set->colors.empty() && set->edges.empty());
  }
  // Colours with three channels get alpha 1.
  const auto rgb = io::parseColors(npy("<f4", "(2, 3)", raw(std::vector<float>{1, 0.5f, 0, 0, 0, 0.25f})));
  ASSERT_TRUE(rgb.has_value()) << rgb.error();
  EXPECT_EQ(*rgb, (std::vector<io::Color>{{1, 0.5f, 0, 1}, {0, 0, 0.25f, 1}}));
  const auto rgba = io::parseColors(npy("<f8", "(1, 4)", raw(std::vector<double>{0.1, 0.2, 0.3, 0.4})));
  ASSERT_TRUE(rgba.has_value()) << rgba.error();
  EXPECT_EQ(*rgba, (std::vector<io::Color>{{0.1f, 0.2f, 0.3f, 0.4f}}));
  // Edges of any integer width and signedness, either byte order.
  const std::vector<io::Edge> expected{{0, 1}, {1, 258}};
  for (const auto& file :
       {npy("<i8", "(2, 2)", raw(std::vector<std::int64_t>{0, 1, 1, 258})),
        npy(">u2", "(2, 2)", raw(std::vector<std::uint16_t>{0, 1, 1, 258}, true)),
        npy("<u4", "(2, 2)", raw(std::vector<std::uint32_t>{0, 1, 1, 258}), 3),
        npy("<i2", "(2, 2)", raw(std::vector<std::int16_t>{0, 1, 1, 258}), 1, "False")}) {
    const auto edges = io::parseEdges(file);
    ASSERT_TRUE(edges.has_value()) << edges.error();
    EXPECT_EQ(*edges, expected);
  }
  const auto empty = io::parsePoints(npy("<f8", "(0, 4)", {}));
  ASSERT_TRUE(empty.has_value()) << empty.error();
  EXPECT_TRUE(empty->positions.empty());
}

TEST(Files, MalformedTruncatedMisShapedAndHostileNpyFilesAreRefusedInOneLine) {
  const std::vector<std::byte> four = raw(std::vector<double>{1, 0, 0, 0});
  std::vector<std::byte> truncated = npy("<f8", "(1, 4)", four);
  truncated.resize(truncated.size() - 1);
  std::vector<std::byte> short_header = npy("<f8", "(1, 4)", four);
  short_header.resize(40);
  std::vector<std::byte> huge_header = npy("<f8", "(1, 4)", four);
  huge_header[8] = std::byte{0xff};
  huge_header[9] = std::byte{0xff};
  std::vector<std::byte> version = npy("<f8", "(1, 4)", four);
  version[6] = std::byte{4};
  // What each refusal says, by a few words of it.
  const std::vector<std::pair<std::vector<std::byte>, std::string>> points{
      {bytesOf("\x93NUMP"), "magic"},
      {truncated, "needs 32 bytes of data, the file holds 31"},
      {short_header, "ends inside its header"},
      {huge_header, "more than a header has"},
      {version, "version 4"},
      {npy("<f8", "(1, 5)", raw(std::vector<double>(5, 1.0))), "(1, 5) is not N x 4"},
      {npy("<f8", "(4,)", four), "(4,) is not N x 4"},
      {npy("<f8", "(1, 4, 1)", four), "is not N x 4"},
      // A header that claims a trillion points, in a file of a few bytes: refused before any
      // memory is taken for them.
      {npy("<f8", "(1000000000000, 4)", four), "more than the 33554432"},
      {npy("<f8", "(18446744073709551615, 4)", four), "more than the 33554432"},
      {npy("<f8", "(99999999999999999999999, 4)", four), "shape is not a tuple"},
      {npy("<f8", "(2, 4)", four), "needs 64 bytes"},
      {npy("<c16", "(1, 4)", four), "not a plain number type"},
      {npy("<f2", "(1, 4)", four), "not a plain number type"},
      {npy("|f8", "(1, 4)", four), "not a plain number type"},
      {npy("<i8", "(1, 4)", raw(std::vector<std::int64_t>{1, 0, 0, 0})), "float64 or float32"},
      {npy("<f8", "(1, 4)", raw(std::vector<double>{0, 0, 0, 0})), "row 0: the point is the zero"},
      {npy("<f8", "(1, 4)", raw(std::vector<double>{1e-300, 0, 0, 0})), "zero vector"},
      {npy("<f8", "(1, 4)", raw(std::vector<double>{1, NAN, 0, 0})), "not finite"},
      {bytesOf("\x93NUMPY\x01\x00\x10\x00{'descr': '<f8'}"), "not a dictionary"},
      {bytesOf("\x93NUMPY\x01\x00\x39\x00{'descr':'<f8','fortran_order':False,'shape':(0,4),'x':1}"),
       "not a dictionary"},
      {bytesOf("\x93NUMPY\x01\x00\x3d\x00{'descr':'<f8','descr':'<f8','shape':(0,4),'fortran_order':0}"),
       "not a dictionary"},
  };
  for (const auto& [file, words] : points) {
    const auto parsed = io::parsePoints(file);
    ASSERT_FALSE(parsed.has_value()) << words;
    EXPECT_NE(parsed.error().find(words), std::string::npos) << parsed.error();
    EXPECT_EQ(parsed.error().find('\n'), std::string::npos) << parsed.error();
  }
  const auto floats = io::parseEdges(npy("<f8", "(1, 2)", raw(std::vector<double>{0, 1})));
  const auto negative = io::parseEdges(npy("<i4", "(1, 2)", raw(std::vector<std::int32_t>{0, -1})));
  const auto beyond = io::parseEdges(npy("<u8", "(1, 2)", raw(std::vector<std::uint64_t>{0, 1ull << 32})));
  // Finite as a double, infinite as the float a colour is.
  const auto infinite = io::parseColors(npy("<f8", "(1, 3)", raw(std::vector<double>{0, 1e300, 0})));
  const auto text_colors = io::parseColors(bytesOf("1 0 0\n"));
  for (const auto& [message, words] :
       std::vector<std::pair<std::string, std::string>>{
           {floats.error(), "integer indices"}, {negative.error(), "row 0: -1 is no point index"},
           {beyond.error(), "4294967296 is no point index"}, {infinite.error(), "not finite"},
           {text_colors.error(), "not a .npy file"}}) {
    EXPECT_NE(message.find(words), std::string::npos) << message;
  }
}

TEST(Files, TextPointsWithColoursCommentsAndTheirMistakesByLine) {
  const auto set = io::parsePoints(bytesOf(
      "\xEF\xBB\xBF# x y z w r g b\n\n0 0 0 2 1 0.5 0\r\n  3,0,4,0, 0,0,+1  \n# the end"));
  ASSERT_TRUE(set.has_value()) << set.error();
  ASSERT_EQ(set->positions.size(), 2u);
  EXPECT_TRUE(sameBits(set->positions[1], HomVec4::init(0.6, 0, 0.8, 0)));
  EXPECT_EQ(set->colors, (std::vector<io::Color>{{1, 0.5f, 0, 1}, {0, 0, 1, 1}}));
  const auto plain = io::parsePoints(bytesOf("1e0 -0 0 0"));
  ASSERT_TRUE(plain.has_value()) << plain.error();
  EXPECT_TRUE(plain->colors.empty());

  const std::vector<std::pair<std::string, std::string>> mistakes{
      {"0 0 0 1\n0 0 1\n", "line 2: 3 numbers, where a point has 4"},
      {"0 0 0 1\n0 0 1 0 1 1 1\n", "line 2: 7 numbers, where the first point has 4"},
      {"0 0 0 1 1 1 1 1\n", "line 1: more than 7 numbers"},
      {"\n\n0 0 x\x1b[2J 1\n", "line 3: 'x?[2J' is not a number"},
      {"0 0 0 nan\n", "line 1: the point is not finite"},
      {"0 0 0 0\n", "line 1: the point is the zero vector"},
      {"0 0 0 1 inf 0 0\n", "line 1: the colour is not finite"},
      {"0 0 0 1 0 1e40 0\n", "line 1: the colour is not finite"},
      {"0 0 0 1e999\n", "'1e999' is not a number"},
  };
  for (const auto& [text, words] : mistakes) {
    const auto parsed = io::parsePoints(bytesOf(text));
    ASSERT_FALSE(parsed.has_value()) << text;
    EXPECT_NE(parsed.error().find(words), std::string::npos) << parsed.error();
  }
}

TEST(Files, ReadByPathAndCheckedTogether) {
  const ScratchFile text("points.txt", bytesOf("0 0 0 1\n1 0 0 0\n0 1 0 0\n"));
  const ScratchFile edges("edges.npy", npy("<i8", "(2, 2)", raw(std::vector<std::int64_t>{0, 1, 1, 3})));
  const ScratchFile not_npy("points.npy", bytesOf("0 0 0 1\n"));
  auto set = io::readPoints(text.path());
  ASSERT_TRUE(set.has_value()) << set.error();
  ASSERT_EQ(set->positions.size(), 3u);
  auto read_edges = io::readEdges(edges.path());
  ASSERT_TRUE(read_edges.has_value()) << read_edges.error();
  set->edges = *read_edges;
  // Edge 1 ends at point 3 of 3: refused by the check, not by the reader.
  const auto checked = io::check(*set);
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(checked.error(), "edge 1 ends at point 3, but there are 3 points");
  set->edges.pop_back();
  EXPECT_TRUE(io::check(*set).has_value());
  set->colors.assign(2, io::Color{});
  EXPECT_EQ(io::check(*set).error(), "2 colours for 3 points");

  // A name ending in .npy must hold a .npy file; messages start with the path.
  const auto wrong = io::readPoints(not_npy.path());
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error(), "'" + not_npy.path().string() +
                               "': not a .npy file: it does not start with the .npy magic");
  const auto missing = io::readColors(text.path().string() + ".missing");
  ASSERT_FALSE(missing.has_value());
  EXPECT_TRUE(missing.error().starts_with("cannot read '")) << missing.error();
  const auto folder = io::readPoints(fs::temp_directory_path());
  ASSERT_FALSE(folder.has_value());
  EXPECT_TRUE(folder.error().ends_with("it is a folder")) << folder.error();
}

// --- Scenes ------------------------------------------------------------------------------------

// The degree of every point of `set` through its edges.
std::vector<int> degrees(const io::PointSet& set) {
  std::vector<int> degree(set.positions.size(), 0);
  for (const io::Edge& e : set.edges) {
    ++degree[e.a];
    ++degree[e.b];
  }
  return degree;
}

TEST(Scenes, The600CellHas120VerticesAnd720EdgesOfLengthPiOver5) {
  const io::PointSet cell = io::cell600();
  ASSERT_EQ(cell.positions.size(), 120u);
  ASSERT_EQ(cell.edges.size(), 720u);
  EXPECT_TRUE(cell.colors.empty());
  for (const io::Edge& e : cell.edges) {
    EXPECT_LT(e.a, e.b);
    EXPECT_NEAR(std::acos(cell.positions[e.a].dot(cell.positions[e.b])), kPi / 5, 1e-12);
  }
  const std::vector<int> degree = degrees(cell);
  EXPECT_TRUE(std::all_of(degree.begin(), degree.end(), [](int d) { return d == 12; }));
  const auto has = [&](const HomVec4& v) {
    return std::any_of(cell.positions.begin(), cell.positions.end(),
                       [&](const HomVec4& u) { return u.dot(v) > 1 - 1e-12; });
  };
  for (const HomVec4& v : cell.positions) {
    EXPECT_NEAR(v.norm(), 1.0, 1e-15);
    EXPECT_TRUE(has(HomVec4::init(-v.x, -v.y, -v.z, -v.w)));  // 60 points of projective space
  }
  // Even permutations of (phi/2, 1/2, 1/(2 phi), 0) only: the identity is one, a swap is not.
  const double phi = (1 + std::sqrt(5.0)) / 2;
  EXPECT_TRUE(has(HomVec4::init(phi / 2, 0.5, 0.5 / phi, 0)));
  EXPECT_FALSE(has(HomVec4::init(0.5, phi / 2, 0.5 / phi, 0)));
}

TEST(Scenes, StarsAreUniformOnTheSphereAndFollowTheSeed) {
  const io::StarField a = io::randomStars(20000, 7);
  const io::StarField b = io::randomStars(20000, 7);
  const io::StarField c = io::randomStars(20000, 8);
  ASSERT_EQ(a.positions.size(), 20000u);
  ASSERT_EQ(a.brightness.size(), 20000u);
  for (std::size_t i = 0; i < a.positions.size(); ++i) {
    ASSERT_TRUE(sameBits(a.positions[i], b.positions[i]));
  }
  EXPECT_FALSE(sameBits(a.positions[0], c.positions[0]));
  double mean_x = 0;
  double mean_w4 = 0;
  for (std::size_t i = 0; i < a.positions.size(); ++i) {
    const HomVec4& p = a.positions[i];
    EXPECT_NEAR(p.norm(), 1.0, 1e-15);
    EXPECT_TRUE(a.brightness[i] >= 0.25f && a.brightness[i] <= 1.0f);
    mean_x += p.x / 20000;
    mean_w4 += p.w * p.w * p.w * p.w / 20000;
  }
  // On the 3-sphere E[x] = 0 and E[w^4] = 1/8; a cube pushed out to the sphere gives about 0.11.
  EXPECT_NEAR(mean_x, 0.0, 0.015);
  EXPECT_NEAR(mean_w4, 0.125, 0.006);
}

TEST(Scenes, TheCliffordTorusIsAClosedGridOfDistinctPointsOfProjectiveSpace) {
  const io::PointSet torus = io::cliffordTorus(11, 6);  // 11 around is made 12
  ASSERT_EQ(torus.positions.size(), 72u);
  ASSERT_EQ(torus.colors.size(), 72u);
  ASSERT_EQ(torus.edges.size(), 144u);
  for (std::size_t i = 0; i < torus.positions.size(); ++i) {
    const HomVec4& p = torus.positions[i];
    // pi/4 from the circle of the xy plane and from that of the zw plane.
    EXPECT_NEAR(p.x * p.x + p.y * p.y, 0.5, 1e-15);
    EXPECT_NEAR(p.z * p.z + p.w * p.w, 0.5, 1e-15);
    for (std::size_t j = 0; j < i; ++j) EXPECT_GT(fsDistance(p, torus.positions[j]), 0.1);
  }
  // Every point has four neighbours, each one grid step away: pi/6 around, pi/6 along (seam
  // included), seen as the distance between the points.
  const std::vector<int> degree = degrees(torus);
  EXPECT_TRUE(std::all_of(degree.begin(), degree.end(), [](int d) { return d == 4; }));
  const double step = std::acos(0.5 + 0.5 * std::cos(kPi / 6));
  for (const io::Edge& e : torus.edges) {
    EXPECT_NEAR(fsDistance(torus.positions[e.a], torus.positions[e.b]), step, 1e-12);
    EXPECT_EQ(torus.colors[e.a][3], 1.0f);
  }
}

TEST(Scenes, HopfFibresAreDisjointGreatCirclesOverTheirBasePoints) {
  const io::PointSet hopf = io::hopfFibres(40, 5);
  ASSERT_EQ(hopf.positions.size(), 200u);
  ASSERT_EQ(hopf.edges.size(), 200u);
  // The Hopf map of (x, y, z, w) = (z1, z2): (2 z1 conj(z2), |z1|^2 - |z2|^2).
  const auto base = [](const HomVec4& p) {
    return std::array<double, 3>{2 * (p.x * p.z + p.y * p.w), 2 * (p.y * p.z - p.x * p.w),
                                 p.x * p.x + p.y * p.y - p.z * p.z - p.w * p.w};
  };
  std::vector<std::array<double, 3>> bases;
  for (std::size_t k = 0; k < 40; ++k) {
    const std::array<double, 3> b = base(hopf.positions[5 * k]);
    EXPECT_NEAR(std::hypot(b[0], b[1], b[2]), 1.0, 1e-12);
    for (std::size_t j = 1; j < 5; ++j) {
      const std::array<double, 3> other = base(hopf.positions[5 * k + j]);
      for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(other[c], b[c], 1e-12) << k << " " << j;
      EXPECT_EQ(hopf.colors[5 * k + j], hopf.colors[5 * k]);
    }
    for (const auto& seen : bases) {
      EXPECT_GT(std::hypot(seen[0] - b[0], seen[1] - b[1], seen[2] - b[2]), 0.1);
    }
    bases.push_back(b);
  }
  // Each fibre closes: five arcs of pi/5, the last back to the first point.
  for (const io::Edge& e : hopf.edges) {
    EXPECT_EQ(e.a / 5, e.b / 5);
    EXPECT_NEAR(fsDistance(hopf.positions[e.a], hopf.positions[e.b]), kPi / 5, 1e-12);
  }
}

// --- Placing points ----------------------------------------------------------------------------

TEST(Placing, PointAtGoesTheDistanceAndProjectIsWhereTheCpuDeviceDraws) {
  orv::renderer::Observer observer;
  observer.moveForward(0.4);
  observer.yaw(0.3);
  observer.roll(-0.2);
  // Straight ahead, the given distance away; a direction with no part across the point gives it.
  const HomVec4 ahead = io::pointAt(observer.position(), observer.forward(), 0.7);
  EXPECT_NEAR(fsDistance(observer.position(), ahead), 0.7, 1e-15);
  EXPECT_NEAR(ahead.dot(observer.up()), 0.0, 1e-15);
  EXPECT_TRUE(sameBits(io::pointAt(HomVec4::init(0, 0, 0, 2), HomVec4::init(0, 0, 0, -5), 1.0),
                       HomVec4::init(0, 0, 0, 1)));
  const HomVec4 odd = HomVec4::init(1, 2, 3, 4);
  EXPECT_TRUE(sameBits(io::pointAt(odd, HomVec4::init(1, 0, 0, NAN), 1.0), odd));
  // Scaled and tilted inputs give the same point.
  const HomVec4 scaled = io::pointAt(
      HomVec4::init(3 * observer.position().x, 3 * observer.position().y, 3 * observer.position().z,
                    3 * observer.position().w),
      HomVec4::init(observer.forward().x + 0.5 * observer.position().x,
                    observer.forward().y + 0.5 * observer.position().y,
                    observer.forward().z + 0.5 * observer.position().z,
                    observer.forward().w + 0.5 * observer.position().w),
      0.7);
  EXPECT_NEAR(fsDistance(scaled, ahead), 0.0, 1e-7);

  // Points ahead land where the CPU device draws them: a point of size 1 lights exactly the pixel
  // project names. The centre of the view is the image's centre; a point outside the view is
  // nowhere and draws nothing.
  constexpr std::uint32_t width = 64;
  constexpr std::uint32_t height = 48;
  const double across = 1.2;
  const orv::device::ViewUniform view = orv::device::ViewUniform::fromObserver(
      observer, across, orv::renderer::verticalAngleOfView(across, 4.0 / 3.0), width, height, 0.01,
      kPi / 2);
  const auto centre = view.project(ahead);
  ASSERT_TRUE(centre.has_value());
  EXPECT_NEAR(centre->x, width / 2.0, 1e-12);
  EXPECT_NEAR(centre->y, height / 2.0, 1e-12);
  EXPECT_EQ(centre->depth, orv::renderer::fsDepth(observer.position(), ahead, 0.01, kPi / 2));
  EXPECT_FALSE(view.project(io::pointAt(observer.position(), observer.forward(), -0.5)));

  auto device = std::move(*orv::device::makeCpuDevice());
  const rhi::ImageId color = *device->createImage(rhi::ImageDescriptor::initOrvRenderTarget(width, height));
  const rhi::BufferId view_buffer = *device->createBuffer(rhi::BufferDescriptor::initUniform(sizeof view));
  const rhi::BufferId point = *device->createBuffer(rhi::BufferDescriptor::initOrvPositions(1));
  rhi::GraphicsPipelineDescriptor pipeline{};
  pipeline.type = rhi::PipelineType::orv_projective;
  pipeline.topology = rhi::PrimitiveTopology::point_list;
  pipeline.depth_format = rhi::Format::undefined;
  pipeline.depth.depth_test = false;
  pipeline.depth.depth_write = false;
  const rhi::PipelineId dots = *device->createPipeline(pipeline);
  ASSERT_TRUE(device->writeBuffer(view_buffer, 0, std::as_bytes(std::span(&view, 1))).has_value());
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> angle(-0.7, 0.7);
  std::size_t inside = 0;
  for (int trial = 0; trial < 40; ++trial) {
    orv::renderer::Observer turned = observer;
    turned.yaw(angle(rng));
    turned.pitch(angle(rng));
    const HomVec4 p = io::pointAt(turned.position(), turned.forward(), 0.3);
    const std::array<HomVec4, 1> positions{p};
    const std::array<rhi::ImageId, 1> targets{color};
    const std::vector<rhi::GpuCommand> commands{
        {rhi::GpuCommand::OrvUploadPositions{point, positions}},
        {rhi::GpuCommand::BeginPass{targets, {}}},
        {rhi::GpuCommand::Clear{color, 0, 0, 0, 0, 1}},
        {rhi::GpuCommand::BindUniform{view_buffer, 0, sizeof view, 0}},
        {dots},
        {rhi::DrawCommand{dots, {}, {}, {}, point, 1, 1}},
        {rhi::GpuCommand::EndPass{}}};
    rhi::FrameGraph graph(*std::pmr::new_delete_resource());
    ASSERT_TRUE(graph.addPass({"point", {}, targets, commands, rhi::PassType::geometry}).has_value());
    const auto executed = device->execute(graph);
    ASSERT_TRUE(executed.has_value()) << executed.error().message;
    std::vector<std::uint16_t> texels(4 * width * height);
    ASSERT_TRUE(device->readImage(color, std::as_writable_bytes(std::span(texels))).has_value());
    std::vector<std::size_t> lit;
    for (std::size_t i = 0; i < width * height; ++i) {
      if (texels[4 * i] != 0) lit.push_back(i);
    }
    const auto at = view.project(p);
    if (!at) {
      EXPECT_TRUE(lit.empty());
      continue;
    }
    ++inside;
    ASSERT_EQ(lit.size(), 1u);
    EXPECT_EQ(lit[0], static_cast<std::size_t>(std::floor(at->y)) * width +
                          static_cast<std::size_t>(std::floor(at->x)));
  }
  EXPECT_GT(inside, 10u);
  EXPECT_LT(inside, 40u);
}

}  // namespace
