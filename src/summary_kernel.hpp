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
// NaNs: on x86 a single NaN operand passes through both formats unchanged (quieted), so only
// two NaNs meeting in one operation need the 80-bit step, where the larger significand wins;
// elsewhere `term_is_exact_nan` is false, and every NaN term takes that step.
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
// Terms q formed in double are within 2^-50 |q| of the 80-bit term, and the 80-bit sum is
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

// The new total p0 ± `terms` units of a block whose partial totals lie p0 ± [lo, hi] units
// (lo <= 0 <= hi), p0 being the first, whose sign is the total's; false where they may leave
// its binade. Terms of the total's sign never take its magnitude down: a total resting on a
// power of two, as a long sum of such terms does once they fall below half a unit, stays in its
// binade. Where one of the other sign `falls` among them, even one that rounds to no unit, it
// may (below 2^k units halve), so the totals must then stay a unit above.
ALWAYS_INLINE bool move_in_binade(float &total, uint32_t b, int64_t terms, int64_t lo,
                                  int64_t hi, bool falls) {
  const int64_t p0 = (b & 0x7fffff) | 0x800000;
  const bool negative = b >> 31;
  const int64_t least = p0 + (negative ? -hi : lo), most = p0 + (negative ? -lo : hi);
  if ((falls && least < (1 << 23) + 1) || most > (1 << 24) - 1) return false;
  const int64_t p = p0 + (negative ? -terms : terms);  // in the same binade: only the fraction moves
  b = (b & 0xff800000) | (static_cast<uint32_t>(p) & 0x7fffff);
  memcpy(&total, &b, 4);
  return true;
}

// The sums of values and of squares take them in floats, twice as many to a vector as doubles;
// the values' in 16 lanes that each keep a running sum of their terms, so that the partial
// totals are bounded by the sums of the lanes' extremes.
const int kLanes = 16;

// v + magic holds v rounded to a whole in its low bits, for |v| < 2^22.
const float kMagic = 0x1.8p23f;
const uint32_t kMagicBits = 0x4b400000;

// 1/u for a total with biased exponent 23 to 254, a float.
inline float float_inverse(uint32_t biased) {
  const uint32_t bits = (127 + 150 - biased) << 23;
  float inverse;
  memcpy(&inverse, &bits, 4);
  return inverse;
}

// The terms of a block of values in whole units u of the total.
struct Units {
  int64_t sum, lo, hi;  // their sum, and bounds on their partial sums: lo <= 0 <= hi
  bool below, above;    // one is below zero, above zero
  bool fine;            // every one was decided; the sign bit of decided[i] tells for term i
};

// The units of x[0..n), n a multiple of kLanes: v = x/u is exact (or, below the normal range,
// far below half a unit, as is the exact v, so both round to no unit), and so is its distance r
// from the nearest whole while |v| < 2^22.
ALWAYS_INLINE Units value_units(const float *x, int n, float inverse, uint32_t *decided) {
  // 32 bits: |k| < 2^22, kBlock / kLanes of them to a lane. Sums unsigned, so that undecided
  // terms wrap harmlessly.
  uint32_t sum[kLanes] = {}, fine[kLanes];
  int32_t lo[kLanes] = {}, hi[kLanes] = {};
  float least[kLanes] = {}, most[kLanes] = {};
  for (int l = 0; l < kLanes; l++) fine[l] = ~uint32_t{0};
  for (int i = 0; i < n; i += kLanes)
    for (int l = 0; l < kLanes; l++) {
      const float v = x[i + l] * inverse;
      const float z = v + kMagic;
      uint32_t zb, r_bits;
      memcpy(&zb, &z, 4);
      const float r = v - (z - kMagic);  // exact
      // Negative while |r| < 0.5 - 2^-20; never for NaNs.
      const float rr = std::fabs(r) - (0.5f - 0x1p-20f);
      memcpy(&r_bits, &rr, 4);
      decided[i + l] = r_bits;
      fine[l] &= r_bits;
      sum[l] += zb - kMagicBits;  // v to the nearest whole
      const int32_t partial = static_cast<int32_t>(sum[l]);
      lo[l] = std::min(lo[l], partial), hi[l] = std::max(hi[l], partial);
      least[l] = std::min(least[l], v), most[l] = std::max(most[l], v);  // NaNs aside
    }
  // Whole vectors folded at once: below 2^30 in magnitude, and so are their sums where every
  // term was decided (unsigned, so that others wrap harmlessly).
  uint32_t all_sum = 0, all_lo = 0, all_hi = 0, all_fine = ~uint32_t{0};
  float all_least = 0, all_most = 0;
  for (int l = 0; l < kLanes; l++) {
    all_sum += sum[l], all_fine &= fine[l];
    all_lo += static_cast<uint32_t>(lo[l]), all_hi += static_cast<uint32_t>(hi[l]);
    all_least = std::min(all_least, least[l]), all_most = std::max(all_most, most[l]);
  }
  return {static_cast<int32_t>(all_sum), static_cast<int32_t>(all_lo),
          static_cast<int32_t>(all_hi), all_least < 0, all_most > 0,
          static_cast<int32_t>(all_fine) < 0 && all_least > -0x1p22f && all_most < 0x1p22f};
}

// Adds the kBlock values of x[0..kBlock) to a total with bits b, biased exponent 23 to 254,
// and gives how many it added: all; or, where a term lies next to the midpoint of two units, a
// multiple of kLanes of those before it, the next kLanes holding it; or -1, leaving the total
// as it was, where a term is too large or the totals may leave the binade.
ALWAYS_INLINE int add_value_block(float &total, uint32_t b, uint32_t biased, const float *x) {
  const float inverse = float_inverse(biased);
  uint32_t decided[kBlock];
  Units u = value_units(x, kBlock, inverse, decided);
  int n = kBlock;
  if (!u.fine) {
    n = 0;
    while (n < kBlock && static_cast<int32_t>(decided[n]) < 0) n++;
    n -= n % kLanes;
    if (n == 0) return 0;
    u = value_units(x, n, inverse, decided);
    if (!u.fine) return -1;  // a term too large
  }
  const bool falls = b >> 31 ? u.above : u.below;
  return move_in_binade(total, b, u.sum, u.lo, u.hi, falls) ? n : -1;
}

// Adds the squares of x[0..kBlock) to a total with bits b, biased exponent 23 to 254, or gives
// -1 where they can't be decided so. v = s/u, s the square rounded to float, and its distance r
// from the nearest whole are exact while v < 2^22. Half units then lie on s's grid of floats
// (spaced at most 2^-2 units, 2^-22 below the normal range), and rounding is monotonic, so the
// exact square lies on the same side of each as v, or v on one, which the test rejects: both
// round to the same whole, the exact one more than 2^-23 units (a quarter of v's last place,
// or 2^-20 less its half) from the tie, far beyond the 80-bit sum's error.
ALWAYS_INLINE int add_square_block(float &total, uint32_t b, uint32_t biased, const float *x) {
  const float inverse = float_inverse(biased);
  uint32_t sum = 0, fine = ~uint32_t{0};  // as in value_units
  for (int i = 0; i < kBlock; i++) {
    const float v = x[i] * x[i] * inverse;
    const float z = v + kMagic;
    uint32_t zb, r_bits, v_bits;
    memcpy(&zb, &z, 4);
    // Negative while |r| < 0.5 - 2^-20 and v < 2^22; never for NaNs.
    const float rr = std::fabs(v - (z - kMagic)) - (0.5f - 0x1p-20f), vv = v - 0x1p22f;
    memcpy(&r_bits, &rr, 4);
    memcpy(&v_bits, &vv, 4);
    fine &= r_bits & v_bits;
    sum += zb - kMagicBits;
  }
  if (static_cast<int32_t>(fine) >= 0) return -1;
  // Squares are never negative: the partial totals only grow.
  return move_in_binade(total, b, sum, 0, sum, false) ? kBlock : -1;
}

// Adds the squared deviations of x[0..kBlock) from `mean` to a total with bits b, biased
// exponent 1 to 254, or gives -1 where they can't be decided so; in doubles, as above.
ALWAYS_INLINE int add_deviation_block(float &total, uint32_t b, uint32_t biased, const float *x,
                                      double mean) {
  const uint64_t inverse_bits = uint64_t{1023 + 150 - biased} << 52;  // 1/u
  double inverse;
  memcpy(&inverse, &inverse_bits, 8);
  const double magic = 0x1.8p52;  // v + magic holds v rounded to a whole in its low bits
  // Unsigned, so that the garbage of undecided terms wraps harmlessly until the check.
  uint64_t sum = 0;
  uint64_t fine = ~uint64_t{0};  // the sign bit stays set while every term is decided
  for (int i = 0; i < kBlock; i++) {
    const double v = term<kDeviation>(x[i], mean) * inverse;
    const double z = v + magic;
    sum += bits_of(z) - bits_of(magic);  // for v < 2^51, v to the nearest whole
    // Negative while |r| < 0.5 - 2^-20 (r exact) and v < 2^30; never for NaNs.
    fine &= bits_of(std::fabs(v - (z - magic)) - (0.5 - 0x1p-20)) & bits_of(v - 0x1p30);
  }
  if (static_cast<int64_t>(fine) >= 0) return -1;
  // Squares are never negative: the partial totals only grow.
  const int64_t terms = static_cast<int64_t>(sum);
  return move_in_binade(total, b, terms, 0, terms, false) ? kBlock : -1;
}

// Adds the kBlock terms of x[0..kBlock) to `total` and gives how many it added, as
// add_value_block does. Written as plain loops for the compiler to vectorize at the width of
// the function it is inlined into.
template <Term K>
ALWAYS_INLINE int add_block(float &total, const float *x, double mean) {
  uint32_t b;
  memcpy(&b, &total, 4);
  const uint32_t biased = (b >> 23) & 0xff;
  if (biased == 0xff && (b & 0x7fffff)) {
    add_block_to_nan(total, x);
    return kBlock;
  }
  if (biased == 0xff) return add_block_to_infinity<K>(total, x, mean) ? kBlock : -1;
  if (biased == 0) return -1;  // zero or below normal
  if constexpr (K == kDeviation) return add_deviation_block(total, b, biased, x, mean);
  if (biased < 23) return -1;  // below 2^-104, 1/u is beyond the float range
  if constexpr (K == kValue) return add_value_block(total, b, biased, x);
  return add_square_block(total, b, biased, x);
}

// Gives the float total of the terms of x[0..count), block by block, and by `step` (one exact
// step per element) for the few terms around one that a block can't decide, for blocks that
// fail and for the last few elements. Each block in a row that fails, or decides fewer than a
// quarter of its terms, doubles the count of blocks stepped before the next try, up to 64, so
// that data on which blocks fail costs little more than stepping alone.
template <Term K, class Step>
ALWAYS_INLINE float accumulate(float total, const float *x, int64_t count, double mean,
                               Step step) {
  int64_t i = 0, penalty = 0;
  while (i + kBlock <= count) {
    const int added = add_block<K>(total, x + i, mean);
    if (added == kBlock) {
      penalty = 0;
      i += kBlock;
      continue;
    }
    // The undecided term is among the next kLanes, or the block failed.
    if (added >= 0) i += added;
    int64_t steps = added >= 0 ? kLanes : kBlock;
    if (added < kBlock / 4) {
      steps += kBlock * penalty;
      penalty = std::min<int64_t>(penalty ? 2 * penalty : 1, 64);
    } else {
      penalty = 0;
    }
    for (const int64_t end = std::min(i + steps, count); i < end; i++) total = step(total, x[i]);
  }
  for (; i < count; i++) total = step(total, x[i]);
  return total;
}

ALWAYS_INLINE float sum_of_values(float total, const float *data, int64_t count) {
  return accumulate<kValue>(total, data, count, 0, [](float sum, float x) {
    // Float addition of non-NaN operands equals the 80-bit sum rounded to float, where the
    // arithmetic makes x87's NaN for inf - inf and passes a NaN total on; of two NaNs, x87 and
    // SSE keep different ones.
    const bool exact = std::isnan(x) || (!kX86Nans && (std::isinf(x) || std::isnan(sum)));
    return exact ? add_extended(sum, widen(x)) : sum + x;
  });
}

ALWAYS_INLINE float sum_of_squares(float total, const float *data, int64_t count) {
  return accumulate<kSquare>(total, data, count, 0, [](float sumsq, float x) {
    // x*x is exact, and on x86 a NaN x gives x quieted in either format.
    return add_term(sumsq, term<kSquare>(x, 0), kX86Nans,
                    [&] { return add_extended(sumsq, widen(x) * widen(x)); });
  });
}

ALWAYS_INLINE float sum_of_squared_deviations(float total, const float *data, int64_t count,
                                              float mean) {
  const double m = mean;
  return accumulate<kDeviation>(total, data, count, m, [=](float sumdev, float x) {
    // On x86 a NaN term is the same in both formats unless x and the mean are both NaN.
    const bool same = kX86Nans && !(std::isnan(x) && std::isnan(mean));
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
