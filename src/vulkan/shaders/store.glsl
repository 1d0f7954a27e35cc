// How a fragment shader hands an unblended colour to its attachment, in single precision: the
// value the CPU device stores, which every conversion to the format keeps as it is. The bits
// kStoreUnorm8 and kStoreHalf of `flags`, defined where this is included, say the format.

// Stored unblended, a colour is rounded to its attachment's format as the CPU device rounds it:
// the shader writes that rounded value, which every conversion to the format keeps as it is.

// v clamped to [0, 1] (NaN to 0) and rounded to a multiple of 1/255.
float unorm8Value(float v) {
  precise float clamped = v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0;
  precise float steps = floor(clamped * 255.0 + 0.5);
  return steps / 255.0;
}

// The binary16 nearest to v, ties to even (infinity beyond the largest, NaN kept quiet), as bits.
uint halfBits(float v) {
  const uint bits = floatBitsToUint(v);
  const uint sign = (bits >> 16) & 0x8000u;
  const uint magnitude = bits & 0x7fffffffu;
  if (magnitude >= 0x7f800000u) {
    return sign | 0x7c00u | (magnitude > 0x7f800000u ? 0x200u | ((magnitude >> 13) & 0x3ffu) : 0u);
  }
  if (magnitude >= 0x47800000u) return sign | 0x7c00u;
  if (magnitude < 0x38800000u) {  // a subnormal half, or zero
    if (magnitude < 0x33000000u) return sign;
    const uint significand = (magnitude & 0x7fffffu) | 0x800000u;
    const uint shift = 126u - (magnitude >> 23);
    const uint kept = significand >> shift;
    const uint rest = significand & ((1u << shift) - 1u);
    const uint half_way = 1u << (shift - 1u);
    return sign | (kept + (rest > half_way || (rest == half_way && (kept & 1u) != 0u) ? 1u : 0u));
  }
  const uint rebiased = magnitude - 0x38000000u;
  const uint kept = rebiased >> 13;
  const uint rest = rebiased & 0x1fffu;
  return sign | (kept + (rest > 0x1000u || (rest == 0x1000u && (kept & 1u) != 0u) ? 1u : 0u));
}

// The float that the binary16 `h` stands for.
float halfValue(uint h) {
  const uint sign = (h & 0x8000u) << 16;
  const uint exponent = (h >> 10) & 0x1fu;
  const uint significand = h & 0x3ffu;
  if (exponent == 0x1fu) return uintBitsToFloat(sign | 0x7f800000u | (significand << 13));
  if (exponent == 0u) {
    precise float magnitude = float(significand) * 5.9604644775390625e-8;  // * 2^-24, exact
    return sign != 0u ? -magnitude : magnitude;
  }
  return uintBitsToFloat(sign | ((exponent + 112u) << 23) | (significand << 13));
}

vec4 stored(vec4 c, uint flags) {
  if ((flags & kStoreUnorm8) != 0u) {
    return vec4(unorm8Value(c.x), unorm8Value(c.y), unorm8Value(c.z), unorm8Value(c.w));
  }
  if ((flags & kStoreHalf) != 0u) {
    return vec4(halfValue(halfBits(c.x)), halfValue(halfBits(c.y)), halfValue(halfBits(c.z)),
                halfValue(halfBits(c.w)));
  }
  return c;
}
