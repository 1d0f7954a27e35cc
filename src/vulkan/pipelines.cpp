#include "pipelines.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "resources.hpp"

namespace orv::vulkan::detail {

namespace {

// --- shaders, compiled by glslc while orv is built -----------------------------------------------

constexpr std::uint32_t kRasterVertex[] = {
#include "raster.vert.inc"
};
constexpr std::uint32_t kRasterFragment0[] = {
#include "raster.frag.0.inc"
};
constexpr std::uint32_t kRasterFragment1[] = {
#include "raster.frag.1.inc"
};
constexpr std::uint32_t kRasterFragment2[] = {
#include "raster.frag.2.inc"
};
constexpr std::uint32_t kRasterFragment3[] = {
#include "raster.frag.3.inc"
};
constexpr std::uint32_t kRasterFragment4[] = {
#include "raster.frag.4.inc"
};
constexpr std::uint32_t kRasterFragment5[] = {
#include "raster.frag.5.inc"
};
constexpr std::uint32_t kRasterFragment6[] = {
#include "raster.frag.6.inc"
};
constexpr std::uint32_t kRasterFragment7[] = {
#include "raster.frag.7.inc"
};
constexpr std::uint32_t kRasterFragment8[] = {
#include "raster.frag.8.inc"
};
constexpr std::uint32_t kFsDistance[] = {
#include "fs_distance.comp.inc"
};
constexpr std::uint32_t kFastVertex[] = {
#include "fast.vert.inc"
};
constexpr std::uint32_t kFastFlat0[] = {
#include "fast.frag.flat.0.inc"
};
constexpr std::uint32_t kFastFlat1[] = {
#include "fast.frag.flat.1.inc"
};
constexpr std::uint32_t kFastFlat2[] = {
#include "fast.frag.flat.2.inc"
};
constexpr std::uint32_t kFastFlat3[] = {
#include "fast.frag.flat.3.inc"
};
constexpr std::uint32_t kFastFlat4[] = {
#include "fast.frag.flat.4.inc"
};
constexpr std::uint32_t kFastFlat5[] = {
#include "fast.frag.flat.5.inc"
};
constexpr std::uint32_t kFastFlat6[] = {
#include "fast.frag.flat.6.inc"
};
constexpr std::uint32_t kFastFlat7[] = {
#include "fast.frag.flat.7.inc"
};
constexpr std::uint32_t kFastFlat8[] = {
#include "fast.frag.flat.8.inc"
};
constexpr std::uint32_t kFastDepth0[] = {
#include "fast.frag.depth.0.inc"
};
constexpr std::uint32_t kFastDepth1[] = {
#include "fast.frag.depth.1.inc"
};
constexpr std::uint32_t kFastDepth2[] = {
#include "fast.frag.depth.2.inc"
};
constexpr std::uint32_t kFastDepth3[] = {
#include "fast.frag.depth.3.inc"
};
constexpr std::uint32_t kFastDepth4[] = {
#include "fast.frag.depth.4.inc"
};
constexpr std::uint32_t kFastDepth5[] = {
#include "fast.frag.depth.5.inc"
};
constexpr std::uint32_t kFastDepth6[] = {
#include "fast.frag.depth.6.inc"
};
constexpr std::uint32_t kFastDepth7[] = {
#include "fast.frag.depth.7.inc"
};
constexpr std::uint32_t kFastDepth8[] = {
#include "fast.frag.depth.8.inc"
};
constexpr std::uint32_t kFastPointsVertex[] = {
#include "fast.vert.points.inc"
};
constexpr std::uint32_t kFsDistanceFast[] = {
#include "fs_distance_fast.comp.inc"
};

using Code = std::span<const std::uint32_t>;

// The modules of each path, in the order of Pipelines::modules_: vertex, fragments, distance.
constexpr std::array<Code, 11> kExactModules{
    kRasterVertex,    kRasterFragment0, kRasterFragment1, kRasterFragment2,
    kRasterFragment3, kRasterFragment4, kRasterFragment5, kRasterFragment6,
    kRasterFragment7, kRasterFragment8, kFsDistance};
constexpr std::array<Code, 21> kFastModules{
    kFastVertex, kFastFlat0,  kFastFlat1,  kFastFlat2,  kFastFlat3,  kFastFlat4,
    kFastFlat5,  kFastFlat6,  kFastFlat7,  kFastFlat8,  kFastDepth0, kFastDepth1,
    kFastDepth2, kFastDepth3, kFastDepth4, kFastDepth5, kFastDepth6, kFastDepth7,
    kFastDepth8, kFastPointsVertex, kFsDistanceFast};

VkCompareOp vkCompare(rhi::CompareOp op) noexcept {
  switch (op) {
    case rhi::CompareOp::never: return VK_COMPARE_OP_NEVER;
    case rhi::CompareOp::less: return VK_COMPARE_OP_LESS;
    case rhi::CompareOp::equal: return VK_COMPARE_OP_EQUAL;
    case rhi::CompareOp::less_equal: return VK_COMPARE_OP_LESS_OR_EQUAL;
    case rhi::CompareOp::greater: return VK_COMPARE_OP_GREATER;
    case rhi::CompareOp::not_equal: return VK_COMPARE_OP_NOT_EQUAL;
    case rhi::CompareOp::greater_equal: return VK_COMPARE_OP_GREATER_OR_EQUAL;
    case rhi::CompareOp::always: return VK_COMPARE_OP_ALWAYS;
  }
  return VK_COMPARE_OP_NEVER;
}

VkBlendFactor vkBlend(rhi::BlendFactor factor) noexcept {
  switch (factor) {
    case rhi::BlendFactor::zero: return VK_BLEND_FACTOR_ZERO;
    case rhi::BlendFactor::one: return VK_BLEND_FACTOR_ONE;
    case rhi::BlendFactor::src_alpha: return VK_BLEND_FACTOR_SRC_ALPHA;
    case rhi::BlendFactor::one_minus_src_alpha: return VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
  }
  return VK_BLEND_FACTOR_ZERO;
}

}  // namespace

FastView FastView::of(const device::ViewUniform& view,
                      const rhi::GraphicsPipelineDescriptor& desc) noexcept {
  FastView out{};
  // The planes scaled by one power of two that brings their largest coefficient near 1: the same
  // planes, within the range of floats.
  double largest = 0.0;
  for (const renderer::ProjectiveHyperplane& p : view.planes) {
    largest = std::max({largest, std::abs(p.a), std::abs(p.b), std::abs(p.c), std::abs(p.d)});
  }
  int exponent = 0;
  if (largest > 0.0) std::frexp(largest, &exponent);
  std::array<std::array<double, 4>, 4> planes{};
  for (std::size_t k = 0; k < 4; ++k) {
    const renderer::ProjectiveHyperplane& p = view.planes[k];
    planes[k] = {std::ldexp(p.a, -exponent), std::ldexp(p.b, -exponent),
                 std::ldexp(p.c, -exponent), std::ldexp(p.d, -exponent)};
    for (std::size_t i = 0; i < 4; ++i) out.planes[k][i] = static_cast<float>(planes[k][i]);
  }
  const kernel::HomVec4& o = view.observer;
  const double norm = std::sqrt(((o.x * o.x + o.y * o.y) + o.z * o.z) + o.w * o.w);
  if (norm > 0.0) {
    out.observer = {static_cast<float>(o.x / norm), static_cast<float>(o.y / norm),
                    static_cast<float>(o.z / norm), static_cast<float>(o.w / norm)};
  }
  out.near_fs = static_cast<float>(view.near_fs);
  out.far_fs = static_cast<float>(view.far_fs);
  out.width = static_cast<float>(view.width);
  out.height = static_cast<float>(view.height);
  const auto share = [&](double extent) {
    const double g = static_cast<double>(desc.line_width) / extent;
    return static_cast<float>(g / (2.0 + g));
  };
  out.guard_x = share(view.width);
  out.guard_y = share(view.height);
  out.point_size = desc.point_size;
  out.line_width = desc.line_width;
  // t + b = alpha (l + r), alpha by least squares; the views orv makes have it exactly.
  double uu = 0.0;
  double uv = 0.0;
  for (std::size_t i = 0; i < 4; ++i) {
    const double u = planes[0][i] + planes[1][i];
    const double v = planes[2][i] + planes[3][i];
    uu += u * u;
    uv += u * v;
  }
  const double y_scale = uu / uv;
  out.y_scale = std::isfinite(y_scale) && y_scale != 0.0 ? static_cast<float>(y_scale) : 1.0f;
  return out;
}

Pipelines::~Pipelines() {
  if (distance_pipeline_ != VK_NULL_HANDLE) vk_.vkDestroyPipeline(device_, distance_pipeline_, nullptr);
  for (VkPipelineLayout layout : {raster_layout_, distance_layout_}) {
    if (layout != VK_NULL_HANDLE) vk_.vkDestroyPipelineLayout(device_, layout, nullptr);
  }
  if (view_set_layout_ != VK_NULL_HANDLE) {
    vk_.vkDestroyDescriptorSetLayout(device_, view_set_layout_, nullptr);
  }
  for (VkShaderModule module : modules_) {
    if (module != VK_NULL_HANDLE) vk_.vkDestroyShaderModule(device_, module, nullptr);
  }
}

device::Result<void> Pipelines::init() {
  const std::span<const Code> codes = exact_ ? std::span<const Code>(kExactModules)
                                             : std::span<const Code>(kFastModules);
  for (std::size_t i = 0; i < codes.size(); ++i) {
    VkShaderModuleCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
    info.codeSize = codes[i].size_bytes();
    info.pCode = codes[i].data();
    if (VkResult r = vk_.vkCreateShaderModule(device_, &info, nullptr, &modules_[i]);
        r != VK_SUCCESS) {
      modules_[i] = VK_NULL_HANDLE;
      return vulkanFailure("makeDevice", "vkCreateShaderModule", r);
    }
  }
  const VkShaderStageFlags raster_stages =
      VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT;
  if (!exact_) {
    const VkDescriptorSetLayoutBinding view{0, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER_DYNAMIC, 1,
                                            raster_stages, nullptr};
    VkDescriptorSetLayoutCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
    info.bindingCount = 1;
    info.pBindings = &view;
    if (VkResult r = vk_.vkCreateDescriptorSetLayout(device_, &info, nullptr, &view_set_layout_);
        r != VK_SUCCESS) {
      view_set_layout_ = VK_NULL_HANDLE;
      return vulkanFailure("makeDevice", "vkCreateDescriptorSetLayout", r);
    }
  }
  const auto layout = [&](VkShaderStageFlags stages, std::uint32_t bytes, VkDescriptorSetLayout set,
                          VkPipelineLayout& out) -> device::Result<void> {
    const VkPushConstantRange range{stages, 0, bytes};
    VkPipelineLayoutCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
    info.setLayoutCount = set != VK_NULL_HANDLE ? 1 : 0;
    info.pSetLayouts = &set;
    info.pushConstantRangeCount = 1;
    info.pPushConstantRanges = &range;
    if (VkResult r = vk_.vkCreatePipelineLayout(device_, &info, nullptr, &out); r != VK_SUCCESS) {
      out = VK_NULL_HANDLE;
      return vulkanFailure("makeDevice", "vkCreatePipelineLayout", r);
    }
    return {};
  };
  if (auto ok = layout(raster_stages, rasterConstantsSize(), view_set_layout_, raster_layout_);
      !ok) {
    return ok;
  }
  if (auto ok = layout(VK_SHADER_STAGE_COMPUTE_BIT, sizeof(DistanceConstants), VK_NULL_HANDLE,
                       distance_layout_);
      !ok) {
    return ok;
  }
  VkComputePipelineCreateInfo compute{};
  compute.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
  compute.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
  compute.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
  compute.stage.module = modules_[codes.size() - 1];
  compute.stage.pName = "main";
  compute.layout = distance_layout_;
  if (VkResult r = vk_.vkCreateComputePipelines(device_, VK_NULL_HANDLE, 1, &compute, nullptr,
                                                &distance_pipeline_);
      r != VK_SUCCESS) {
    distance_pipeline_ = VK_NULL_HANDLE;
    return vulkanFailure("makeDevice", "vkCreateComputePipelines", r);
  }
  return {};
}

Kind Pipelines::kindOf(const rhi::GraphicsPipelineDescriptor& desc,
                       rhi::PrimitiveTopology topology) const noexcept {
  using rhi::PrimitiveTopology;
  switch (topology) {
    case PrimitiveTopology::point_list:
      if (exact_) return kPoints;
      // The GPU's points where they reach the size, two triangles each where they do not, and
      // below a pixel, where GPUs' points need not keep to the centres they hold.
      return desc.point_size >= std::max(1.0f, context_.point_sizes[0]) &&
                     desc.point_size <= context_.point_sizes[1]
                 ? kPoints
                 : kPointQuads;
    case PrimitiveTopology::line_list:
    case PrimitiveTopology::line_strip: return kLines;
    case PrimitiveTopology::triangle_list:
    case PrimitiveTopology::triangle_strip: return kTriangles;
    case PrimitiveTopology::geodesic_list: return kGeodesics;
  }
  return kPoints;
}

std::uint32_t Pipelines::verticesPerPrimitive(Kind kind) const noexcept {
  if (exact_) {
    switch (kind) {
      case kGeodesics: return 6;
      case kTriangles: return 15;
      default: return 3;
    }
  }
  switch (kind) {
    case kPoints: return 1;
    case kGeodesics: return 12;
    case kTriangles: return 3;
    default: return 6;
  }
}

void Pipelines::destroy(VkPipeline pipeline) noexcept {
  if (pipeline != VK_NULL_HANDLE) vk_.vkDestroyPipeline(device_, pipeline, nullptr);
}

device::Result<VkPipeline> Pipelines::make(const rhi::GraphicsPipelineDescriptor& d,
                                           const device::PipelineOptions& options,
                                           std::uint32_t colors, Kind kind, bool moved) {
  const bool depth = d.depth_format == rhi::Format::depth32_float;
  // The kind of primitive, then the depth cue: a 32-bit boolean and five coefficients, doubles on
  // the exact path and floats on the fast one; on the fast path whether draws are moved.
  struct Constants {
    std::uint32_t kind;
    std::uint32_t depth_cue;
    std::array<double, 5> cue;
    std::array<float, 5> cue_single;
    std::uint32_t moved;
  };
  Constants constants{kind, options.depth_cue.enabled ? 1u : 0u, options.depth_cue.coefficients,
                      {}, moved ? 1u : 0u};
  for (std::size_t i = 0; i < 5; ++i) {
    constants.cue_single[i] = static_cast<float>(options.depth_cue.coefficients[i]);
  }
  std::array<VkSpecializationMapEntry, 8> entries{{
      {0, offsetof(Constants, kind), sizeof(std::uint32_t)},
      {1, offsetof(Constants, depth_cue), sizeof(std::uint32_t)},
  }};
  for (std::uint32_t i = 0; i < 5; ++i) {
    entries[2 + i] = exact_ ? VkSpecializationMapEntry{2 + i,
                                                       static_cast<std::uint32_t>(
                                                           offsetof(Constants, cue) +
                                                           i * sizeof(double)),
                                                       sizeof(double)}
                            : VkSpecializationMapEntry{2 + i,
                                                       static_cast<std::uint32_t>(
                                                           offsetof(Constants, cue_single) +
                                                           i * sizeof(float)),
                                                       sizeof(float)};
  }
  entries[7] = {7, offsetof(Constants, moved), sizeof(std::uint32_t)};
  const VkSpecializationInfo specialization{static_cast<std::uint32_t>(entries.size()),
                                            entries.data(), sizeof(Constants), &constants};
  // The fast path's points have shaders of their own and take their depth from the vertex,
  // everything else from the fragment.
  const bool points = !exact_ && (kind == kPoints || kind == kPointQuads);
  const std::size_t vertex = points ? 19 : 0;
  const std::size_t fragment = 1 + colors + (!exact_ && !points ? 9 : 0);
  const std::array<VkPipelineShaderStageCreateInfo, 2> stages{{
      {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO, nullptr, 0,
       VK_SHADER_STAGE_VERTEX_BIT, modules_[vertex], "main", &specialization},
      {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO, nullptr, 0,
       VK_SHADER_STAGE_FRAGMENT_BIT, modules_[fragment], "main", &specialization},
  }};
  VkPipelineVertexInputStateCreateInfo input{};
  input.sType = VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO;
  VkPipelineInputAssemblyStateCreateInfo assembly{};
  assembly.sType = VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO;
  assembly.topology = !exact_ && kind == kPoints ? VK_PRIMITIVE_TOPOLOGY_POINT_LIST
                                                 : VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  VkPipelineViewportStateCreateInfo viewport{};
  viewport.sType = VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO;
  viewport.viewportCount = 1;
  viewport.scissorCount = 1;
  VkPipelineRasterizationStateCreateInfo raster{};
  raster.sType = VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO;
  raster.polygonMode = VK_POLYGON_MODE_FILL;
  raster.cullMode = VK_CULL_MODE_NONE;
  raster.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
  raster.lineWidth = 1.0f;
  VkPipelineMultisampleStateCreateInfo multisample{};
  multisample.sType = VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO;
  multisample.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
  VkPipelineDepthStencilStateCreateInfo depth_state{};
  depth_state.sType = VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO;
  depth_state.depthTestEnable = depth && d.depth.depth_test ? VK_TRUE : VK_FALSE;
  depth_state.depthWriteEnable =
      depth && d.depth.depth_test && d.depth.depth_write ? VK_TRUE : VK_FALSE;
  depth_state.depthCompareOp = vkCompare(d.depth.depth_compare);
  depth_state.maxDepthBounds = 1.0f;
  VkPipelineColorBlendAttachmentState blend{};
  blend.blendEnable = d.blend_enabled ? VK_TRUE : VK_FALSE;
  blend.srcColorBlendFactor = vkBlend(d.src_color_factor);
  blend.dstColorBlendFactor = vkBlend(d.dst_color_factor);
  blend.colorBlendOp = VK_BLEND_OP_ADD;
  blend.srcAlphaBlendFactor = vkBlend(d.src_color_factor);
  blend.dstAlphaBlendFactor = vkBlend(d.dst_color_factor);
  blend.alphaBlendOp = VK_BLEND_OP_ADD;
  blend.colorWriteMask = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT |
                         VK_COLOR_COMPONENT_B_BIT | VK_COLOR_COMPONENT_A_BIT;
  std::array<VkPipelineColorBlendAttachmentState, kMaxColorAttachments> blends{};
  std::array<VkFormat, kMaxColorAttachments> formats{};
  std::fill_n(blends.begin(), colors, blend);
  std::fill_n(formats.begin(), colors, vkFormat(d.color_format));
  VkPipelineColorBlendStateCreateInfo blending{};
  blending.sType = VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO;
  blending.attachmentCount = colors;
  blending.pAttachments = blends.data();
  const std::array<VkDynamicState, 2> dynamic_states{VK_DYNAMIC_STATE_VIEWPORT,
                                                     VK_DYNAMIC_STATE_SCISSOR};
  VkPipelineDynamicStateCreateInfo dynamic{};
  dynamic.sType = VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO;
  dynamic.dynamicStateCount = static_cast<std::uint32_t>(dynamic_states.size());
  dynamic.pDynamicStates = dynamic_states.data();
  VkPipelineRenderingCreateInfo rendering{};
  rendering.sType = VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO;
  rendering.colorAttachmentCount = colors;
  rendering.pColorAttachmentFormats = formats.data();
  rendering.depthAttachmentFormat = depth ? VK_FORMAT_D32_SFLOAT : VK_FORMAT_UNDEFINED;

  VkGraphicsPipelineCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO;
  info.pNext = &rendering;
  info.stageCount = static_cast<std::uint32_t>(stages.size());
  info.pStages = stages.data();
  info.pVertexInputState = &input;
  info.pInputAssemblyState = &assembly;
  info.pViewportState = &viewport;
  info.pRasterizationState = &raster;
  info.pMultisampleState = &multisample;
  info.pDepthStencilState = &depth_state;
  info.pColorBlendState = &blending;
  info.pDynamicState = &dynamic;
  info.layout = raster_layout_;
  VkPipeline made = VK_NULL_HANDLE;
  if (VkResult r = vk_.vkCreateGraphicsPipelines(device_, VK_NULL_HANDLE, 1, &info, nullptr, &made);
      r != VK_SUCCESS) {
    return vulkanFailure("execute", "vkCreateGraphicsPipelines", r);
  }
  return made;
}

}  // namespace orv::vulkan::detail
