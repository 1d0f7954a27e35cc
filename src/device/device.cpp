// What every device shares: error names, the view a projective pipeline reads, the Graphviz export.

#include <algorithm>
#include <bit>
#include <string>
#include <utility>
#include <vector>

#include "orv/device.hpp"
#include "validation.hpp"

namespace orv::device {

std::string_view toString(ErrorCode code) noexcept {
  switch (code) {
    case ErrorCode::out_of_memory: return "out_of_memory";
    case ErrorCode::invalid_handle: return "invalid_handle";
    case ErrorCode::invalid_descriptor: return "invalid_descriptor";
    case ErrorCode::limit_exceeded: return "limit_exceeded";
    case ErrorCode::invalid_command: return "invalid_command";
    case ErrorCode::unsupported: return "unsupported";
    case ErrorCode::device_lost: return "device_lost";
  }
  return "unknown";
}

float halfToFloat(std::uint16_t half) noexcept {
  const std::uint32_t sign = std::uint32_t{half & 0x8000u} << 16;
  const std::uint32_t exponent = (half >> 10) & 0x1fu;
  const std::uint32_t significand = half & 0x3ffu;
  if (exponent == 0x1f) {
    return std::bit_cast<float>(sign | 0x7f80'0000u | (significand << 13));
  }
  if (exponent == 0) {  // zero or subnormal: significand * 2^-24, exact in float
    const float magnitude = static_cast<float>(significand) * 0x1p-24f;
    return sign != 0 ? -magnitude : magnitude;
  }
  return std::bit_cast<float>(sign | ((exponent + 112u) << 23) | (significand << 13));
}

// --- ViewUniform ----------------------------------------------------------------------------------

ViewUniform ViewUniform::fromFrustum(const renderer::OrvFrustum& frustum, std::uint32_t width,
                                     std::uint32_t height) noexcept {
  return {frustum.planes,  frustum.observer,           frustum.near_fs,
          frustum.far_fs,  static_cast<double>(width), static_cast<double>(height)};
}

ViewUniform ViewUniform::fromObserver(const renderer::Observer& observer, double horizontal_angle,
                                      double vertical_angle, std::uint32_t width,
                                      std::uint32_t height, double near_fs,
                                      double far_fs) noexcept {
  return fromFrustum(observer.frustum(horizontal_angle, vertical_angle, near_fs, far_fs), width,
                     height);
}

ViewUniform ViewUniform::fromCamera(const renderer::OrvCamera& camera, std::uint32_t width,
                                    std::uint32_t height, double near_fs, double far_fs) noexcept {
  ViewUniform view = fromFrustum(renderer::OrvFrustum::fromCamera(camera), width, height);
  view.near_fs = near_fs;
  view.far_fs = far_fs;
  return view;
}

// --- Graphviz -------------------------------------------------------------------------------------

namespace {

// `text` inside a dot string: quotes and backslashes escaped, control bytes shown as '?'.
std::string dotText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (byte < 0x20 || byte == 0x7f) {
      out += '?';
    } else {
      out += ch;
    }
  }
  return out;
}

std::string imageNode(rhi::ImageId id) {
  return "image_" + std::to_string(id.id) + "_" + std::to_string(id.generation);
}

}  // namespace

std::string toDot(const rhi::FrameGraph& graph) {
  const std::span<const rhi::FramePass> passes = graph.passes();
  std::string out = "digraph frame_graph {\n  rankdir=LR;\n  node [fontname=\"Helvetica\"];\n";
  std::vector<rhi::ImageId> images;
  const auto addImage = [&](rhi::ImageId id) {
    if (std::find(images.begin(), images.end(), id) != images.end()) return;
    images.push_back(id);
    out += "  " + imageNode(id) + " [shape=ellipse, label=\"" + detail::describe(id) + "\"];\n";
  };
  for (std::size_t i = 0; i < passes.size(); ++i) {
    const rhi::FramePass& pass = passes[i];
    const std::size_t commands = pass.commands.size();
    out += "  pass" + std::to_string(i) + " [shape=box, label=\"" + std::to_string(i) + ": " +
           dotText(pass.name) + "\\n" + std::string(detail::passTypeName(pass.pass_type)) + ", " +
           std::to_string(commands) + (commands == 1 ? " command" : " commands") + "\"];\n";
    for (const rhi::ImageId id : pass.reads) {
      addImage(id);
      out += "  " + imageNode(id) + " -> pass" + std::to_string(i) + " [label=\"reads\"];\n";
    }
    for (const rhi::ImageId id : pass.writes) {
      addImage(id);
      out += "  pass" + std::to_string(i) + " -> " + imageNode(id) + " [label=\"writes\"];\n";
    }
    if (i > 0) {
      out += "  pass" + std::to_string(i - 1) + " -> pass" + std::to_string(i) +
             " [style=dotted, arrowhead=empty];\n";
    }
  }
  out += "}\n";
  return out;
}

}  // namespace orv::device
