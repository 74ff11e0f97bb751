// The summary's passes over an array, compiled once for each width of vectors (2, 4 and 8
// doubles). Everything here but the entry points has internal linkage, so that no code built
// for one width is shared with another.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cpu.hpp"
#include "extended.hpp"
#include "float_ties.hpp"

enum Term { kValue, kSquare, kDeviation };

/// Adds the terms of kind `term` of data[0..count) to `total` and gives the new total; merges
/// the extremes into *max and *min when max is not null. One per width: 8, 4 and 2 doubles.
float summary_pass8(float total, const float *data, int64_t count, Term term, float mean,
                    float *max, float *min);
float summary_pass4(float total, const float *data, int64_t count, Term term, float mean,
                    float *max, float *min);
float summary_pass2(float total, const float *data, int64_t count, Term term, float mean,
                    float *max, float *min);

// Every running total is defined as a float that, element by element, has its term added in
// the 80-bit format and is rounded back to float:
//   total = (float)((long double)total + term)
// Long arrays therefore lose low-order contributions exactly as float accumulation does. The
// loops below get the same bits faster: mostly a block of elements at a time, else element by
// element in double precision, and by this definition itself for the rare elements where
// double precision can't decide the rounding.
namespace {

inline float add_extended(float total, Extended term) { return to_float(widen(total) + term); }

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

// Blocks of terms at once.
//
// While a float total s stays inside one binade [2^e, 2^(e+1)) (or its negative), where floats
// lie u = 2^(e-23) apart, a step rounds s + q to a multiple of u; s is one already, so the step
// adds q rounded to a multiple of u, whatever s is. That fails only where q lies at or next to
// the midpoint of two multiples (the parity of s and the 80-bit roundings then decide) or where
// the total leaves the binade. So for a block of terms, each at least 2^-20 u from such a
// midpoint, whose partial totals all stay inside the binade, the new total is s plus the sum of
// the rounded terms: whole numbers of units u, summed exactly as integers in any order.
//
// The terms q are formed in double within 2^-50 |q| of the 80-bit term, and the 80-bit sum is
// within 2^-40 u of exact; inside the binade |q| < 2^24 u, so the value that is rounded to float
// lies within 0.5 - 2^-20 + 2^-26 + 2^-40 < 0.5 units of the chosen multiple.
#define ALWAYS_INLINE inline __attribute__((always_inline))

const int kBlock = 256;

inline uint64_t bits_of(double x) {
  uint64_t u;
  memcpy(&u, &x, 8);
  return u;
}

// NaN totals. A NaN total stays the same NaN through every term that is not NaN; of two NaNs
// meeting in the 80-bit format the larger significand (quieted) wins, and between equal ones
// the positive. That is a total order, so after a block the total is the greatest of itself
// and the block's NaN terms. A NaN term is a NaN value, quieted, except for the deviations:
// - from a NaN mean every term is NaN, the mean or a NaN value, whichever is greater; the
//   total took the mean's rank or more at the first element;
// - from a mean that is not NaN (so the values hold no NaN), the only NaN terms are infinity
//   minus the same infinity, the default NaN, which the total then already is.
// So for every total the block's NaN values are what counts.
inline uint32_t nan_rank(uint32_t nan_bits) {
  return (((nan_bits & 0x7fffffff) | 0x400000) << 1) | (~nan_bits >> 31);
}

ALWAYS_INLINE void add_block_to_nan(float &total, const float *x) {
  uint32_t best;
  memcpy(&best, &total, 4);
  best = nan_rank(best);
  for (int i = 0; i < kBlock; i++) {
    uint32_t xb;
    memcpy(&xb, x + i, 4);
    const uint32_t nan = 0 - static_cast<uint32_t>((xb & 0x7fffffff) > 0x7f800000);
    best = std::max(best, nan_rank(xb) & nan);
  }
  best = (best >> 1) | (~best << 31);
  memcpy(&total, &best, 4);
}

// The term of x in double precision: NaN, infinite or within 2^-50 of the 80-bit term.
template <Term K>
ALWAYS_INLINE double term(float x, double mean) {
  double q = x;
  if constexpr (K == kSquare) q = q * q;
  if constexpr (K == kDeviation) q = (q - mean) * (q - mean);
  return q;
}

// An infinite total stays the same through every term but a NaN or the opposite infinity.
template <Term K>
ALWAYS_INLINE bool add_block_to_infinity(float total, const float *x, double mean) {
  const double t = total;
  uint64_t moved = 0;
  for (int i = 0; i < kBlock; i++) moved |= bits_of(t + term<K>(x[i], mean)) ^ bits_of(t);
  return moved == 0;
}

// Adds the kBlock terms of x[0..kBlock) to `total`, or leaves it and gives false when the
// block can't be decided this way. Written as plain loops for the compiler to vectorize at the
// width of the function it is inlined into.
template <Term K>
ALWAYS_INLINE bool add_block(float &total, const float *x, double mean) {
  uint32_t b;
  memcpy(&b, &total, 4);
  const uint32_t biased = (b >> 23) & 0xff;
  if (biased == 0xff && (b & 0x7fffff)) {
    add_block_to_nan(total, x);
    return true;
  }
  if (biased == 0xff) return add_block_to_infinity<K>(total, x, mean);
  if (biased == 0) return false;  // zero or below normal
  const uint64_t inverse_bits = uint64_t{1023 + 150 - biased} << 52;  // 1/u
  double inverse;
  memcpy(&inverse, &inverse_bits, 8);
  const double magic = 0x1.8p52;  // v + magic holds v rounded to a whole in its low bits
  // Unsigned, so that the garbage of undecided terms wraps harmlessly until the check.
  uint64_t sum = 0, size = 0;
  uint64_t fine = ~uint64_t{0};  // the sign bit stays set while every term is decided
  uint64_t below = 0, above = 0;  // some term is below zero, above zero
  for (int i = 0; i < kBlock; i++) {
    const double v = term<K>(x[i], mean) * inverse;
    const double z = v + magic;
    const uint64_t k = bits_of(z) - bits_of(magic);  // for |v| < 2^51, v to the nearest whole
    const double r = v - (z - magic);                 // exact
    // Negative while |r| < 0.5 - 2^-20 and |v| < 2^30; never for NaNs.
    fine &= bits_of(std::fabs(r) - (0.5 - 0x1p-20)) & bits_of(std::fabs(v) - 0x1p30);
    sum += k;
    if constexpr (K == kValue) {
      const uint64_t negative = 0 - (k >> 63);
      size += (k ^ negative) - negative;
      below |= v < 0, above |= v > 0;
    }
  }
  if constexpr (K != kValue) size = sum;  // squares are never negative
  if (static_cast<int64_t>(fine) >= 0) return false;
  // Every partial total lies within `size` units of the first, p0, whose sign is the total's.
  // Terms of the total's sign never take its magnitude down: a total resting on a power of two,
  // as a long sum of such terms does once they fall below half a unit, stays in its binade.
  // (A term of the other sign may, even one that rounds to no unit: below 2^k units halve.)
  const int64_t p0 = (b & 0x7fffff) | 0x800000;
  const int64_t terms = static_cast<int64_t>(sum), spread = static_cast<int64_t>(size);
  const bool falls = K == kValue && (b >> 31 ? above : below);
  if ((falls && p0 - spread < (1 << 23) + 1) || p0 + spread > (1 << 24) - 1) return false;
  const int64_t p = p0 + (b >> 31 ? -terms : terms);  // in the same binade: only the fraction moves
  b = (b & 0xff800000) | (static_cast<uint32_t>(p) & 0x7fffff);
  memcpy(&total, &b, 4);
  return true;
}

// Gives the float total of the terms of x[0..count), block by block, and by `step` (one exact
// step per element) for blocks that can't be decided whole and for the last few elements. After
// a block fails, the next few go straight to `step` (twice as many after each failure in a row),
// so data on which blocks always fail costs little more than stepping alone.
template <Term K, class Step>
ALWAYS_INLINE float accumulate(float total, const float *x, int64_t count, double mean,
                               Step step) {
  int64_t i = 0, skip = 0, penalty = 0;
  for (; i + kBlock <= count; i += kBlock) {
    if (skip > 0) {
      skip--;
    } else if (add_block<K>(total, x + i, mean)) {
      penalty = 0;
      continue;
    } else {
      skip = penalty;
      penalty = std::min<int64_t>(penalty ? 2 * penalty : 1, 64);
    }
    for (int64_t j = i; j < i + kBlock; j++) total = step(total, x[j]);
  }
  for (; i < count; i++) total = step(total, x[i]);
  return total;
}

ALWAYS_INLINE float sum_of_values(float total, const float *data, int64_t count) {
  return accumulate<kValue>(total, data, count, 0, [](float sum, float x) {
    // Float addition of non-NaN operands equals the 80-bit sum rounded to float, where the
    // arithmetic makes x87's NaN for inf - inf; of two NaNs, x87 and SSE keep different ones.
    const bool exact = std::isnan(x) || (!kX86Nans && std::isinf(x));
    return exact ? add_extended(sum, widen(x)) : sum + x;
  });
}

ALWAYS_INLINE float sum_of_squares(float total, const float *data, int64_t count) {
  return accumulate<kSquare>(total, data, count, 0, [](float sumsq, float x) {
    // x*x is exact, and a NaN x gives x quieted in either format.
    return add_term(sumsq, term<kSquare>(x, 0), true,
                    [&] { return add_extended(sumsq, widen(x) * widen(x)); });
  });
}

ALWAYS_INLINE float sum_of_squared_deviations(float total, const float *data, int64_t count,
                                              float mean) {
  const double m = mean;
  return accumulate<kDeviation>(total, data, count, m, [=](float sumdev, float x) {
    // A NaN term is the same in both formats unless x and the mean are both NaN, or, where the
    // arithmetic does not make x87's NaN, x is the infinity that the mean is: inf - inf.
    const bool same = !(std::isnan(x) && std::isnan(mean)) && (kX86Nans || !std::isinf(x));
    return add_term(sumdev, term<kDeviation>(x, m), same, [=] {
      const Extended e = widen(x) - widen(mean);
      return add_extended(sumdev, e * e);
    });
  });
}

// Floats as integers in the same order (NaNs aside), -0 just below +0.
inline int32_t ordered(uint32_t float_bits) {
  return static_cast<int32_t>(float_bits ^ ((0 - (float_bits >> 31)) & 0x7fffffff));
}

// Largest and smallest value, the first met among equals, NaNs never, merged into `max` and
// `min` as the values that came before them: a value replaces an extreme only when it is
// strictly beyond it. Equal values have equal bits except zeros, so a zero extreme of these
// values is the first zero among them.
ALWAYS_INLINE void extremes(const float *data, int64_t count, float &max_before,
                            float &min_before) {
  int32_t hi = INT32_MIN, lo = INT32_MAX;  // below and above every float that is not NaN
  for (int64_t i = 0; i < count; i++) {
    uint32_t xb;
    memcpy(&xb, data + i, 4);
    const int32_t key = ordered(xb);
    const int32_t nan = -static_cast<int32_t>((xb & 0x7fffffff) > 0x7f800000);  // all ones
    hi = std::max(hi, (key & ~nan) | (INT32_MIN & nan));
    lo = std::min(lo, (key & ~nan) | (INT32_MAX & nan));
  }
  float max = -INFINITY, min = INFINITY;
  if (hi != INT32_MIN) {
    const uint32_t hb = ordered(hi), lb = ordered(lo);  // ordering is its own inverse
    memcpy(&max, &hb, 4);
    memcpy(&min, &lb, 4);
  }
  for (float *extreme : {&max, &min}) {
    if (*extreme != 0) continue;
    int64_t i = 0;
    while (data[i] != 0) i++;
    *extreme = data[i];
  }
  if (max > max_before) max_before = max;
  if (min < min_before) min_before = min;
}

// The passes over the array, as summary_pass8, 4 and 2 give them.
ALWAYS_INLINE float any_pass(float total, const float *data, int64_t count, Term term,
                             float mean, float *max, float *min) {
  if (max) extremes(data, count, *max, *min);
  if (term == kValue) return sum_of_values(total, data, count);
  if (term == kSquare) return sum_of_squares(total, data, count);
  return sum_of_squared_deviations(total, data, count, mean);
}

}  // namespace
