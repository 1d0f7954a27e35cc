// orv's geometry in double precision, shared by the raster and distance shaders. Every operation
// follows the kernel's evaluation order (sums left to right, each product rounded before it is
// added) and is declared precise, so that no compiler fuses a multiply and an add or reorders a
// sum. Tests of NaN and infinity read the bits, which no optimiser folds away.

const double kDegenerateNorm = 1e-15lf;  // vectors shorter than this are the zero vector

bool finite(double v) { return (unpackDouble2x32(v).y & 0x7ff00000u) != 0x7ff00000u; }

bool finite(dvec4 v) { return finite(v.x) && finite(v.y) && finite(v.z) && finite(v.w); }

bool isNaN(double v) {
  const uvec2 bits = unpackDouble2x32(v);
  return (bits.y & 0x7ff00000u) == 0x7ff00000u && ((bits.y & 0x000fffffu) | bits.x) != 0u;
}

// The smaller and larger of a and b, as std::min and std::max choose them: a NaN b gives a.
precise double minOf(double a, double b) { return b < a ? b : a; }
precise double maxOf(double a, double b) { return a < b ? b : a; }

// min(a, 1) where a NaN `a` is ignored and 1 returned.
precise double atMostOne(double a) { return isNaN(a) ? 1.0lf : (a < 1.0lf ? a : 1.0lf); }

// ((a.x*b.x + a.y*b.y) + a.z*b.z) + a.w*b.w: the kernel's dot product, and the value of the plane
// a at the point b.
precise double dot4(dvec4 a, dvec4 b) {
  precise double r = ((a.x * b.x + a.y * b.y) + a.z * b.z) + a.w * b.w;
  return r;
}

// v times 2^-e, e the exponent of its largest coordinate, which then lies in [1, 2); the zero
// vector unchanged with e = 0. For finite vectors whose sums of squares overflowed.
dvec4 rescaled(dvec4 v, out int e) {
  const double largest = maxOf(maxOf(abs(v.x), abs(v.y)), maxOf(abs(v.z), abs(v.w)));
  e = 0;
  if (largest == 0.0lf) return v;
  int exponent;
  frexp(largest, exponent);  // largest = m * 2^exponent with m in [0.5, 1)
  e = exponent - 1;
  return ldexp(v, ivec4(-e));
}

// The Euclidean 4-norm, rescaling a finite vector whose sum of squares overflowed.
precise double norm(dvec4 v) {
  precise double s = dot4(v, v);
  if (!finite(s) && finite(v)) {
    int e;
    const dvec4 r = rescaled(v, e);
    precise double n = ldexp(sqrt(dot4(r, r)), e);
    return n;
  }
  precise double n = sqrt(s);
  return n;
}

// |a.b| / (|a| |b|) given the norms, rescaling finite vectors where a product overflowed.
precise double absCosine(dvec4 a, dvec4 b, double na, double nb) {
  precise double dp = dot4(a, b);
  precise double nn = na * nb;
  if (!(finite(dp) && finite(nn)) && finite(a) && finite(b)) {
    int ea;
    int eb;
    const dvec4 as = rescaled(a, ea);
    const dvec4 bs = rescaled(b, eb);
    precise double c = abs(dot4(as, bs)) / (norm(as) * norm(bs));
    return c;
  }
  precise double c = abs(dp) / nn;
  return c;
}

// acos(x) for x in [0, 1], within 1 unit in the last place. asin(x) = x + x z P(z), z = x^2,
// with P the Taylor series of asin to the term z^25, exact to 1e-18 for z <= 1/4. Below 1/2,
// acos(x) = pi/2 - asin(x); above, acos(x) = 2 asin(s) with s = sqrt((1 - x) / 2), s carried as
// a high part with 26 significant bits plus a correction so that its rounding does not count.
precise double asinSeries(double z) {
  const double c[26] = double[](
      0.16666666666666666lf, 0.074999999999999997lf, 0.044642857142857144lf,
      0.030381944444444444lf, 0.022372159090909092lf, 0.017352764423076924lf,
      0.013964843750000001lf, 0.011551800896139705lf, 0.0097616095291940784lf,
      0.0083903358096168151lf, 0.0073125258735988454lf, 0.0064472103118896487lf,
      0.0057400376708419236lf, 0.0051533096823199046lf, 0.0046601434869150962lf,
      0.0042409070936793632lf, 0.0038809645588376691lf, 0.0035692053938259347lf,
      0.0032970595034734849lf, 0.0030578216492580306lf, 0.0028461784011089421lf,
      0.0026578706382072901lf, 0.0024894486782468836lf, 0.002338091892111975lf,
      0.0022014739737101384lf, 0.0020776610325181676lf);
  precise double p = c[25];
  for (int i = 24; i >= 0; --i) p = c[i] + z * p;
  return p;
}

precise double acosUnit(double x) {
  const double half_pi_high = 1.57079632679489655800lf;  // pi/2 rounded to a double
  const double half_pi_low = 6.12323399573676603587e-17lf;  // pi/2 - half_pi_high
  if (x <= 0.5lf) {
    precise double z = x * x;
    precise double r = x * (z * asinSeries(z));
    precise double a = half_pi_high - (x - (half_pi_low - r));
    return a;
  }
  if (x == 1.0lf) return 0.0lf;
  precise double z = (1.0lf - x) * 0.5lf;  // exact
  precise double s = sqrt(z);
  precise double high = packDouble2x32(uvec2(0u, unpackDouble2x32(s).y));
  precise double low = (z - high * high) / (s + high);  // s_true - high
  precise double w = s * (z * asinSeries(z)) + low;
  precise double a = 2.0lf * (high + w);
  return a;
}

// The Fubini-Study distance of a and b in radians, as kernel::fsDistance computes it: 0 when
// either is shorter than 1e-15; a NaN cosine counts as 1, so NaN coordinates give 0.
precise double fsDistance(dvec4 a, dvec4 b) {
  precise double sa = dot4(a, a);
  precise double sb = dot4(b, b);
  precise double dp = dot4(a, b);
  if (!(finite(sa) && finite(sb) && finite(dp))) {
    precise double na = norm(a);
    precise double nb = norm(b);
    if (na < kDegenerateNorm || nb < kDegenerateNorm) return 0.0lf;
    return acosUnit(atMostOne(absCosine(a, b, na, nb)));
  }
  precise double na = sqrt(sa);
  precise double nb = sqrt(sb);
  if (na < kDegenerateNorm || nb < kDegenerateNorm) return 0.0lf;
  precise double c = abs(dp) / (na * nb);
  return acosUnit(atMostOne(c));
}
