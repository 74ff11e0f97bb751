#include "summary.hpp"

#include <cmath>
#include <cstdio>

#include "float_ties.hpp"

// Every running total is defined as a float that, element by element, has its term added in
// the 80-bit format and is rounded back to float:
//   total = (float)((long double)total + term)
// Long arrays therefore lose low-order contributions exactly as float accumulation does. The
// loops below get the same bits faster in double precision and fall back to this definition
// for the rare elements where double precision can't decide the rounding.
namespace {

// A float in the 80-bit format, converted before any arithmetic sees it: a signalling NaN
// turns quiet here, and of two NaNs meeting in the 80-bit format the one with the larger
// significand wins, so the NaN a total ends with does not depend on the operand forms that the
// compiler happens to choose.
inline long double widen(float x) {
  long double w = x;
  __asm__("" : "+t"(w));
  return w;
}

inline float add_extended(float total, long double term) { return widen(total) + term; }

// `t` is a non-negative total computed in double within 8 units in its last place of the exact
// total, and the 80-bit total is closer still. Both round to the same float unless a tie lies
// near `t`. A total of 0 or infinity is exact in both formats; NaNs and totals below the
// normal float range are left to the 80-bit step.
inline bool rounds_like_exact(double t) {
  return far_from_float_tie(t, 64) || t == 0 || std::isinf(t);
}

}  // namespace

Summary summarize(const float *data, int64_t count) {
  Summary s;
  s.max = -INFINITY;
  s.min = INFINITY;
  float sum = 0, sumsq = 0, sumdev = 0;
  for (int64_t i = 0; i < count; i++) {
    const float x = data[i];
    if (x > s.max) s.max = x;
    if (x < s.min) s.min = x;
    if (std::isnan(x)) {  // which NaN survives a meeting of two differs between x87 and SSE
      sum = add_extended(sum, widen(x));
      sumsq = add_extended(sumsq, widen(x) * widen(x));
      continue;
    }
    sum += x;  // float addition of non-NaN operands equals the 80-bit sum rounded to float
    const double t = static_cast<double>(sumsq) + static_cast<double>(x) * x;  // x*x is exact
    sumsq = rounds_like_exact(t) ? static_cast<float>(t)
                                 : add_extended(sumsq, widen(x) * widen(x));
  }
  // An empty array divides 0 by 0, giving the default NaN (sign bit set on x86).
  const long double n = count;
  s.mean = widen(sum) / n;
  s.rms = std::sqrt(static_cast<double>(widen(sumsq) / n));
  const double mean = s.mean;
  for (int64_t j = 0; j < count; j++) {
    const double d = data[j] - mean;
    const double t = static_cast<double>(sumdev) + d * d;
    if (rounds_like_exact(t)) {
      sumdev = static_cast<float>(t);
    } else {
      const long double e = widen(data[j]) - widen(s.mean);
      sumdev = add_extended(sumdev, e * e);
    }
  }
  s.rmsd = std::sqrt(static_cast<double>(widen(sumdev) / n));
  return s;
}

void print_summary(const Summary &s) {
  printf("max = %g min = %g\n", s.max, s.min);
  printf("mean = %g rms = %g rmsd = %g\n", s.mean, s.rms, s.rmsd);
}
