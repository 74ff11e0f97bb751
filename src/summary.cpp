#include "summary.hpp"

#include <cmath>
#include <cstdio>

// Each total is kept in float and every step is done in the 80-bit format before rounding
// back, so long arrays lose low-order contributions exactly as float accumulation does.
Summary summarize(const float *data, int64_t count) {
  Summary s;
  s.max = -INFINITY;
  s.min = INFINITY;
  float sum = 0, sumsq = 0, sumdev = 0;
  for (int64_t i = 0; i < count; i++) {
    const float x = data[i];
    if (x > s.max) s.max = x;
    if (x < s.min) s.min = x;
    sum = static_cast<long double>(sum) + x;
    sumsq = static_cast<long double>(sumsq) + static_cast<long double>(x) * x;
  }
  // An empty array divides 0 by 0, giving the default NaN (sign bit set on x86).
  const long double n = count;
  s.mean = sum / n;
  s.rms = std::sqrt(static_cast<double>(sumsq / n));
  for (int64_t j = 0; j < count; j++) {
    const long double d = data[j] - static_cast<long double>(s.mean);
    sumdev = sumdev + d * d;
  }
  s.rmsd = std::sqrt(static_cast<double>(sumdev / n));
  return s;
}

void print_summary(const Summary &s) {
  printf("max = %g min = %g\n", s.max, s.min);
  printf("mean = %g rms = %g rmsd = %g\n", s.mean, s.rms, s.rmsd);
}
