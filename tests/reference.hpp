// The straightforward computation, element by element: the oracle for every faster kernel.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "extended.hpp"
#include "nans.hpp"
#include "power.hpp"
#include "summary.hpp"

inline uint32_t bits(float x) { return bits_of_float(x); }
inline float from_bits(uint32_t u) { return float_of_bits(u); }

// x86's quiet NaN, positive, without payload (NAN is another NaN on some machines: on mips, a
// signalling one to x86).
const float kQuietNan = from_bits(0x7fc00000);

// glibc's powf's stated bound on the relative error of its double, given t = y·log2 x.
inline double glibc_powf_bound(double t) {
  return std::fabs(t) * 0.6931471805599453 * 1.83 * 0x1p-33 + 1.69 * 0x1p-34;
}

inline bool reference_whole(float p) {
  return !std::isnan(p) && p >= -2147483648.0f && p < 2147483648.0f && p == std::trunc(p);
}

// a × b as x86's multiply gives it: of two NaNs the first, quieted; an invalid product (0 × inf)
// its default NaN, negative.
inline float x86_product(float a, float b) {
  const float product = a * b;
  return std::isnan(a) ? quieted(a) : std::isnan(b) ? quieted(b)
       : std::isnan(product) ? from_bits(0xffc00000) : product;
}

// The root as x86 takes it: a NaN stays itself, quieted.
inline float x86_root(Extended square) {
  const double d = to_double(square);
  return std::isnan(d) ? narrowed_nan(d) : static_cast<float>(std::sqrt(d));
}

inline void reference_power_product(float *data1, float *data2, int64_t count, float power1,
                                    float power2) {
  for (int64_t i = 0; i < count; i++) {
    if (data1[i] < 0 && !reference_whole(power1)) data1[i] = 0.0f;
    if (data2[i] < 0 && !reference_whole(power2)) data2[i] = 0.0f;
    const float a = x86_powf(data1[i], power1);
    const float b = x86_powf(data2[i], power2);
    data1[i] = x86_product(a, b);
  }
}

inline Summary reference_summarize(const float *data, int64_t count) {
  float max = -INFINITY, min = INFINITY, sum = 0, sumsq = 0, sumdev = 0;
  for (int64_t i = 0; i < count; i++) {
    const float x = data[i];
    if (x > max) max = x;
    if (x < min) min = x;
    sum = to_float(widen(sum) + widen(x));
    sumsq = to_float(widen(sumsq) + widen(x) * widen(x));
  }
  const Extended n = extended_of(count);
  const float mean = to_float(widen(sum) / n);
  const float rms = x86_root(widen(sumsq) / n);
  for (int64_t j = 0; j < count; j++) {
    const Extended d = widen(data[j]) - widen(mean);
    sumdev = to_float(widen(sumdev) + d * d);
  }
  const float rmsd = x86_root(widen(sumdev) / n);
  return {max, min, mean, rms, rmsd};
}

// The widths of vectors that this CPU lacks, and so the tests can't run here; empty if none.
inline std::string lacking_widths() {
  std::string lacking;
  if (widest_lanes() < 8) lacking += " 8 (AVX-512)";
  if (power_lanes() < 4) lacking += widest_lanes() < 4 ? " 4 (AVX2)" : " 4 (the power's: FMA)";
  return lacking.empty() ? "" : "this CPU lacks the widths (doubles a vector):" + lacking;
}
