#version 460
// Presenting: the pixel (x, y) of a window's image of target_width x target_height, from the texel
// of the shown image nearest to the pixel's centre, (floor((2x + 1) width / (2 target_width)),
// likewise down), through the transfer curve of io::toDisplay, exactly: tables made on the host by
// the same function. The image's texels arrive in a buffer as readImage gives them (rows packed);
// each pixel leaves as four bytes, red (or blue) first and alpha 255.

#extension GL_EXT_buffer_reference : require

layout(local_size_x = 8, local_size_y = 8) in;

layout(buffer_reference, std430, buffer_reference_align = 4) readonly buffer Words {
  uint w[];
};

layout(buffer_reference, std430, buffer_reference_align = 4) writeonly buffer Pixels {
  uint p[];
};

// The table's words: the 8-bit value of each of the 65536 half floats (four to a word), of each of
// the 256 rgba8_unorm values (likewise), then the 255 thresholds of single floats: threshold k - 1
// is the bit pattern of the least positive float that the curve takes to k or more.
const uint kUnormTable = 16384u;
const uint kThresholds = kUnormTable + 64u;

layout(push_constant, std430) uniform Present {
  Words texels;
  Pixels pixels;
  Words table;
  uint width;  // of the image
  uint height;
  uint target_width;
  uint target_height;
  uint format;  // 0: rgba8_unorm, 1: rgba16_float, 2: rgba32_float
  uint bgra;    // 1 where the window's pixels store blue first
} pc;

uint tableByte(uint first_word, uint i) {
  return (pc.table.w[first_word + (i >> 2u)] >> ((i & 3u) * 8u)) & 0xffu;
}

// The curve's value of the float of bit pattern `bits`: 0 for NaN and below 0 (the sign bit set,
// -0 included), else the count of thresholds at or below it, found in eight steps alike for every
// value (bit patterns of positive floats order as the floats do).
uint curve(uint bits) {
  if (bits > 0x7f800000u) return 0u;
  uint below = 0u;
  for (uint step = 128u; step > 0u; step >>= 1u) {
    if (pc.table.w[kThresholds + below + step - 1u] <= bits) below += step;
  }
  return below;
}

void main() {
  const uvec2 at = gl_GlobalInvocationID.xy;
  if (at.x >= pc.target_width || at.y >= pc.target_height) return;
  // The host keeps these products within 32 bits.
  const uint x = ((2u * at.x + 1u) * pc.width) / (2u * pc.target_width);
  const uint y = ((2u * at.y + 1u) * pc.height) / (2u * pc.target_height);
  const uint i = y * pc.width + x;
  uvec3 rgb;
  if (pc.format == 0u) {
    const uint t = pc.texels.w[i];
    rgb = uvec3(tableByte(kUnormTable, t & 0xffu), tableByte(kUnormTable, (t >> 8u) & 0xffu),
                tableByte(kUnormTable, (t >> 16u) & 0xffu));
  } else if (pc.format == 1u) {
    const uint rg = pc.texels.w[2u * i];
    const uint ba = pc.texels.w[2u * i + 1u];
    rgb = uvec3(tableByte(0u, rg & 0xffffu), tableByte(0u, rg >> 16u), tableByte(0u, ba & 0xffffu));
  } else {
    rgb = uvec3(curve(pc.texels.w[4u * i]), curve(pc.texels.w[4u * i + 1u]),
                curve(pc.texels.w[4u * i + 2u]));
  }
  if (pc.bgra != 0u) rgb = rgb.bgr;
  pc.pixels.p[at.y * pc.target_width + at.x] = rgb.r | (rgb.g << 8u) | (rgb.b << 16u) | 0xff000000u;
}
