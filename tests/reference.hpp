// The straightforward computation, element by element: the oracle for every faster kernel.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "extended.hpp"
#include "summary.hpp"

inline uint32_t bits(float x) {
  uint32_t u;
  memcpy(&u, &x, 4);
  return u;
}

inline float from_bits(uint32_t u) {
  float x;
  memcpy(&x, &u, 4);
  return x;
}

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
  return std::isnan(a) ? a * 1.0f : std::isnan(b) || !std::isnan(product) ? product
                                                                          : from_bits(0xffc00000);
}

inline void reference_power_product(float *data1, float *data2, int64_t count, float power1,
                                    float power2) {
  for (int64_t i = 0; i < count; i++) {
    if (data1[i] < 0 && !reference_whole(power1)) data1[i] = 0.0f;
    if (data2[i] < 0 && !reference_whole(power2)) data2[i] = 0.0f;
    const float a = powf(data1[i], power1);
    const float b = powf(data2[i], power2);
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
  const float rms = (float)std::sqrt(to_double(widen(sumsq) / n));
  for (int64_t j = 0; j < count; j++) {
    const Extended d = widen(data[j]) - widen(mean);
    sumdev = to_float(widen(sumdev) + d * d);
  }
  const float rmsd = (float)std::sqrt(to_double(widen(sumdev) / n));
  return {max, min, mean, rms, rmsd};
}

// The widths of vectors that this CPU lacks, and so the tests can't run here; empty if none.
inline std::string lacking_widths() {
  std::string lacking;
  if (widest_lanes() < 8) lacking += " 8 (AVX-512)";
  if (power_lanes() < 4) lacking += widest_lanes() < 4 ? " 4 (AVX2)" : " 4 (the power's: FMA)";
  return lacking.empty() ? "" : "this CPU lacks the widths (doubles a vector):" + lacking;
}
