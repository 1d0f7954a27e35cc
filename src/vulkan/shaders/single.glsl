// Doubles read and written in single precision, with no 64-bit arithmetic anywhere, so that the
// fast path's shaders run on GPUs without double precision. Positions and transforms stay
// doubles in their buffers; a shader reads each double as its two 32-bit words and rounds it to a
// float with integer operations, after scaling the whole vector (or matrix) by the power of two
// that brings its largest coordinate into [1, 2). That scaling changes no projective point, keeps
// every finite vector in range however large or small, and leaves each coordinate within half a
// unit in the last place of a float of the largest one.

#extension GL_EXT_buffer_reference : require

layout(buffer_reference, std430, buffer_reference_align = 8) readonly buffer DoubleWords {
  uvec2 v[];  // each double as (low word, high word)
};

// The exponent field of a double from its high word: 0 for zero (and subnormals), 2047 for
// infinities and NaN.
uint exponentOf(uvec2 d) { return (d.y >> 20) & 0x7ffu; }

// The double d times 2^(1023 - top), rounded to the nearest float (ties to even), where `top` is
// at least d's exponent field: 0 where that is below the float range (d is less than 2^-126 of
// the largest coordinate, or subnormal).
float scaledFloat(uvec2 d, uint top) {
  const uint e = exponentOf(d);
  if (e == 0u || e + 126u < top) return 0.0;
  const uint fraction = ((d.y & 0xfffffu) << 3) | (d.x >> 29);
  const uint rest = d.x & 0x1fffffffu;
  uint bits = (d.y & 0x80000000u) | ((e + 127u - top) << 23) | fraction;
  // A carry out of the fraction moves into the exponent, as rounding up should.
  if (rest > 0x10000000u || (rest == 0x10000000u && (fraction & 1u) != 0u)) bits += 1u;
  return uintBitsToFloat(bits);
}

// The HomVec4 at element i of `p`, scaled to floats; false when a coordinate is not finite.
// `top` receives the largest exponent field (0: the zero vector, or one too small to scale).
bool loadPoint(DoubleWords p, uint i, out vec4 v, out uint top) {
  const uvec2 x = p.v[4u * i];
  const uvec2 y = p.v[4u * i + 1u];
  const uvec2 z = p.v[4u * i + 2u];
  const uvec2 w = p.v[4u * i + 3u];
  top = max(max(exponentOf(x), exponentOf(y)), max(exponentOf(z), exponentOf(w)));
  v = vec4(scaledFloat(x, top), scaledFloat(y, top), scaledFloat(z, top), scaledFloat(w, top));
  return top != 0x7ffu;
}

// The float f as the bits of a double (low word, high word), exactly.
uvec2 doubleWords(float f) {
  const uint bits = floatBitsToUint(f);
  const uint e = (bits >> 23) & 0xffu;
  if (e == 0u) return uvec2(0u, bits & 0x80000000u);  // zero (subnormals flush to zero)
  const uint fraction = bits & 0x7fffffu;
  return uvec2((fraction & 7u) << 29, (bits & 0x80000000u) | ((e + 896u) << 20) | (fraction >> 3));
}

// asin(x) for x in [0, 1] within a few units in the last place, whatever the GPU's own asin
// gives (GLSL leaves its precision open). Below 1/2, x + x z P(z) with z = x^2 and P the Taylor
// series of asin to the term z^11 (exact to 1e-9 for z <= 1/4); above, pi/2 - 2 asin(s) with
// s = sqrt((1 - x) / 2) <= 1/2.
float asinSeries(float x) {
  const float z = x * x;
  const float c[11] = float[](0.16666667, 0.075, 0.044642857, 0.030381944, 0.022372159, 0.017352764,
                              0.013964844, 0.011551801, 0.0097616095, 0.0083903358, 0.0073125259);
  float p = c[10];
  for (int i = 9; i >= 0; --i) p = c[i] + z * p;
  return x + x * (z * p);
}

// One series for either half, its argument and result chosen without branching: where lanes of
// a GPU run both sides of a branch, that halves the work.
float asinUnit(float x) {
  const bool low = x <= 0.5;
  const float r = asinSeries(low ? x : sqrt((1.0 - min(x, 1.0)) * 0.5));
  return low ? r : 1.5707964 - 2.0 * r;
}

// The angle between two unit vectors whose dot product is not negative: 2 asin(|a - b| / 2),
// which keeps its precision near 0 where acos(a.b) loses it.
float angleBetween(vec4 a, vec4 b) { return 2.0 * asinUnit(0.5 * length(a - b)); }

