// Device images as 8-bit pictures: the transfer curve, the conversion of each texel format, PNG
// encoding by libpng, and files written whole or not at all.

#include <png.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>

#include "display_curve.hpp"
#include "orv/io.hpp"

namespace orv::io {

namespace {

std::uint8_t encodeAlpha(float alpha) noexcept {
  const double a = alpha > 0.0f ? std::min(1.0, static_cast<double>(alpha)) : 0.0;
  return static_cast<std::uint8_t>(a * 255.0 + 0.5);
}

// Every half float's 8-bit colour value, and the alpha value of every one: a half float has 65536
// bit patterns, so a table gives exactly what `encodeChannel` of its exact float value gives.
struct HalfTables {
  std::array<std::uint8_t, 65536> color{};
  std::array<std::uint8_t, 65536> alpha{};
  HalfTables() noexcept {
    for (std::size_t h = 0; h < color.size(); ++h) {
      const float value = device::halfToFloat(static_cast<std::uint16_t>(h));
      color[h] = encodeChannel(value);
      alpha[h] = encodeAlpha(value);
    }
  }
};

const HalfTables& halfTables() noexcept {
  static const HalfTables tables;
  return tables;
}

// The 256 values of an rgba8_unorm channel through the transfer curve.
const std::array<std::uint8_t, 256>& unormTable() noexcept {
  static const std::array<std::uint8_t, 256> table = [] {
    std::array<std::uint8_t, 256> t{};
    for (std::size_t v = 0; v < t.size(); ++v) {
      t[v] = encodeChannel(static_cast<float>(v) / 255.0f);
    }
    return t;
  }();
  return table;
}

std::string describeErrno(const char* what, const std::filesystem::path& path, int error) {
  return std::string(what) + " '" + path.string() + "': " + std::strerror(error);
}

}  // namespace

std::uint8_t encodeChannel(float linear) noexcept { return device::detail::displayChannel(linear); }

std::expected<void, std::string> toDisplay(const ImageView& image, Channels channels,
                                           std::span<std::uint8_t> out, std::size_t row_bytes) {
  const rhi::Format format = image.format;
  if (format != rhi::Format::rgba8_unorm && format != rhi::Format::rgba16_float &&
      format != rhi::Format::rgba32_float) {
    return std::unexpected(std::string(
        "only rgba8_unorm, rgba16_float and rgba32_float images can be converted to a picture"));
  }
  const std::size_t texel = rhi::size(format);
  const std::size_t width = image.width;
  const std::size_t height = image.height;
  const auto kept = static_cast<std::size_t>(channels);
  constexpr std::size_t most = std::numeric_limits<std::size_t>::max();
  if (height != 0 && width > most / height / texel) {
    return std::unexpected(std::string("the image is larger than memory can hold"));
  }
  if (image.texels.size() != width * height * texel) {
    return std::unexpected("a " + std::to_string(width) + "x" + std::to_string(height) +
                           " image holds " + std::to_string(width * height * texel) +
                           " bytes of texels, not " + std::to_string(image.texels.size()));
  }
  if (row_bytes < width * kept) {
    return std::unexpected("rows of " + std::to_string(row_bytes) + " bytes cannot hold " +
                           std::to_string(width) + " pixels");
  }
  if (height != 0 && (height - 1 > (most - width * kept) / row_bytes ||
                      out.size() < (height - 1) * row_bytes + width * kept)) {
    return std::unexpected(std::string("the picture does not fit the space given for it"));
  }
  const std::byte* texels = image.texels.data();
  // One loop per format, so that the format is not decided again for every texel.
  const auto convert = [&](auto&& pixel) {
    for (std::size_t y = 0; y < height; ++y) {
      std::uint8_t* row = out.data() + y * row_bytes;
      for (std::size_t x = 0; x < width; ++x) pixel(texels + (y * width + x) * texel, row + x * kept);
    }
  };
  if (format == rhi::Format::rgba8_unorm) {
    const std::array<std::uint8_t, 256>& table = unormTable();
    convert([&](const std::byte* from, std::uint8_t* to) {
      std::array<std::uint8_t, 4> in{};
      std::memcpy(in.data(), from, 4);
      for (std::size_t c = 0; c < 3; ++c) to[c] = table[in[c]];
      if (kept == 4) to[3] = in[3];
    });
  } else if (format == rhi::Format::rgba16_float) {
    const HalfTables& tables = halfTables();
    convert([&](const std::byte* from, std::uint8_t* to) {
      std::array<std::uint16_t, 4> in{};
      std::memcpy(in.data(), from, 8);
      for (std::size_t c = 0; c < 3; ++c) to[c] = tables.color[in[c]];
      if (kept == 4) to[3] = tables.alpha[in[3]];
    });
  } else {
    convert([&](const std::byte* from, std::uint8_t* to) {
      std::array<float, 4> in{};
      std::memcpy(in.data(), from, 16);
      for (std::size_t c = 0; c < 3; ++c) to[c] = encodeChannel(in[c]);
      if (kept == 4) to[3] = encodeAlpha(in[3]);
    });
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, std::string> encodePng(const ImageView& image,
                                                                Channels channels) {
  if (image.width == 0 || image.height == 0) {
    return std::unexpected(std::string("an image without pixels cannot be a PNG file"));
  }
  const std::size_t row_bytes = std::size_t{image.width} * static_cast<std::size_t>(channels);
  std::vector<std::uint8_t> pixels;
  if (image.texels.size() == std::size_t{image.width} * image.height * rhi::size(image.format)) {
    pixels.resize(row_bytes * image.height);
  }
  if (auto converted = toDisplay(image, channels, pixels, row_bytes); !converted) {
    return std::unexpected(converted.error());
  }
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = image.width;
  png.height = image.height;
  png.format = channels == Channels::rgba ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (png_image_write_get_memory_size(png, size, 0, pixels.data(), 0, nullptr) == 0) {
    return std::unexpected(std::string("PNG encoding failed: ") + png.message);
  }
  std::vector<std::uint8_t> bytes(size);
  if (png_image_write_to_memory(&png, bytes.data(), &size, 0, pixels.data(), 0, nullptr) == 0) {
    return std::unexpected(std::string("PNG encoding failed: ") + png.message);
  }
  bytes.resize(size);
  return bytes;
}

std::expected<void, std::string> writeFileReplacing(const std::filesystem::path& path,
                                                    std::span<const std::uint8_t> bytes) {
  std::filesystem::path temporary = path;
  temporary += ".partial";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return std::unexpected(describeErrno("cannot create", temporary, errno));
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int write_error = errno;
  const bool closed = std::fclose(file) == 0;
  const int close_error = errno;
  std::error_code ignored;
  if (!written || !closed) {
    std::filesystem::remove(temporary, ignored);
    return std::unexpected(
        describeErrno("cannot write", temporary, written ? close_error : write_error));
  }
  std::error_code renamed;
  std::filesystem::rename(temporary, path, renamed);
  if (renamed) {
    std::filesystem::remove(temporary, ignored);
    return std::unexpected("cannot rename '" + temporary.string() + "' to '" + path.string() +
                           "': " + renamed.message());
  }
  return {};
}

std::expected<void, std::string> writePng(const std::filesystem::path& path,
                                          const ImageView& image, Channels channels) {
  const auto png = encodePng(image, channels);
  if (!png) return std::unexpected(png.error());
  return writeFileReplacing(path, *png);
}

std::expected<void, std::string> writePng(const std::filesystem::path& path,
                                          device::Device& device, rhi::ImageId image,
                                          std::uint32_t width, std::uint32_t height,
                                          rhi::Format format, Channels channels) {
  const std::uint64_t texel = rhi::size(format);
  const std::uint64_t bytes = std::uint64_t{width} * height * texel;
  if (texel == 0 || (height != 0 && bytes / height / texel != width) ||
      bytes > std::numeric_limits<std::size_t>::max()) {
    return std::unexpected(std::string("the image is larger than memory can hold"));
  }
  std::vector<std::byte> texels(static_cast<std::size_t>(bytes));
  if (auto read = device.readImage(image, texels); !read) {
    return std::unexpected("cannot read the image: " + read.error().message);
  }
  return writePng(path, ImageView{width, height, format, texels}, channels);
}

}  // namespace orv::io
