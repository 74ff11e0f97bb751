#include "summary.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

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

// Adds a term to a float total and gives the new total. `q` is the term in double precision,
// within a few units in its last place of the exact term; `exact` gives the 80-bit step. The
// guess, a float addition of the rounded term, keeps the chain of dependent steps to one float
// addition; a double-precision sum beside it confirms the guess or decides otherwise.
//
// NaNs: a single NaN operand passes through both formats unchanged (quieted), so only two NaNs
// meeting in one operation need the 80-bit step, where the larger significand wins.
template <class Exact>
inline float add_term(float total, double q, bool term_is_exact_nan, Exact exact) {
  const float guess = total + static_cast<float>(q);
  const double t = static_cast<double>(total) + q;
  if (__builtin_expect(static_cast<float>(t) == guess && rounds_like_exact(t), 1)) return guess;
  if (rounds_like_exact(t)) return static_cast<float>(t);
  if (std::isnan(total) && !std::isnan(q)) return total;
  if (!std::isnan(total) && std::isnan(q) && term_is_exact_nan) return static_cast<float>(q);
  return exact();
}

float sum_of_squares(const float *data, int64_t count) {
  float sumsq = 0;
  for (int64_t i = 0; i < count; i++) {
    const float x = data[i];
    // x*x is exact, and a NaN x gives x quieted in either format.
    sumsq = add_term(sumsq, static_cast<double>(x) * x, true,
                     [&] { return add_extended(sumsq, widen(x) * widen(x)); });
  }
  return sumsq;
}

float sum_of_squared_deviations(const float *data, int64_t count, float mean) {
  float sumdev = 0;
  const double m = mean;
  // With a NaN mean every term is NaN, and for every x that is not NaN the same one; so the
  // 80-bit step for such an x depends on the total alone, and is remembered.
  uint32_t seen = 0, seen_result = 0;
  bool remembered = false;
  for (int64_t j = 0; j < count; j++) {
    const float x = data[j];
    const double d = x - m;
    // A NaN term is the same in both formats unless x and the mean are both NaN.
    sumdev = add_term(sumdev, d * d, !(std::isnan(x) && std::isnan(mean)), [&] {
      uint32_t in;
      memcpy(&in, &sumdev, 4);
      const bool reuse = !std::isnan(x) && remembered && in == seen;
      if (!reuse) {
        const long double e = widen(x) - widen(mean);
        const float out = add_extended(sumdev, e * e);
        if (std::isnan(x)) return out;
        seen = in, remembered = true;
        memcpy(&seen_result, &out, 4);
      }
      float out;
      memcpy(&out, &seen_result, 4);
      return out;
    });
  }
  return sumdev;
}

// Below this many values a second thread costs more than it saves.
const int64_t kThreadedCount = 1 << 18;

}  // namespace

Summary summarize(const float *data, int64_t count, bool threaded) {
  Summary s;
  s.max = -INFINITY;
  s.min = INFINITY;
  float sum = 0;
  for (int64_t i = 0; i < count; i++) {
    const float x = data[i];
    if (x > s.max) s.max = x;
    if (x < s.min) s.min = x;
    // Float addition of non-NaN operands equals the 80-bit sum rounded to float; of two NaNs,
    // x87 and SSE keep different ones.
    sum = std::isnan(x) ? add_extended(sum, widen(x)) : sum + x;
  }
  // An empty array divides 0 by 0, giving the default NaN (sign bit set on x86).
  const long double n = count;
  s.mean = widen(sum) / n;
  // The two quadratic totals depend on each other not at all: each is one long chain of
  // dependent steps, so they run side by side.
  float sumsq = 0, sumdev = 0;
  std::thread squares;
  if (threaded && count >= kThreadedCount) {
    try {
      squares = std::thread([&] { sumsq = sum_of_squares(data, count); });
    } catch (const std::system_error &) {
      // No thread to be had: both totals on this one.
    }
  }
  if (squares.joinable()) {
    sumdev = sum_of_squared_deviations(data, count, s.mean);
    squares.join();
  } else {
    sumsq = sum_of_squares(data, count);
    sumdev = sum_of_squared_deviations(data, count, s.mean);
  }
  s.rms = std::sqrt(static_cast<double>(widen(sumsq) / n));
  s.rmsd = std::sqrt(static_cast<double>(widen(sumdev) / n));
  return s;
}

void print_summary(const Summary &s) {
  printf("max = %g min = %g\n", s.max, s.min);
  printf("mean = %g rms = %g rmsd = %g\n", s.mean, s.rms, s.rmsd);
}
