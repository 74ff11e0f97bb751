// The vector path of the power, compiled once for each width of vectors. Everything here has
// internal linkage, so that no code built for one width is shared with another. Every width
// performs the same IEEE operations in the same order (fused multiply-adds spelled out), so
// each gives the same double for each value, and the same decision.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cmath>
#include <cstdint>
#include <cstring>

#include "cpu.hpp"
#include "float_ties.hpp"
#include "nans.hpp"
#include "power.hpp"

// x = 2^k · z with z in [0.734375, 1.46875): the bits of x less kLogOffset give k in their top
// nine bits and, in the next four, which of 16 intervals z lies in. Interval 8, around 1, is
// [0.984375, 1.03125).
const uint32_t kLogOffset = 0x3f3c0000;
// t + kExpShift keeps t rounded to a multiple of 1/16 in its low bits.
const double kExpShift = 0x1.8p48;

struct PowerTables {
  double invc[16];     // 1/c rounded to float, c the middle of interval i (1 for interval 8)
  double logc[16];     // log2 c, of the c that invc is the rounded inverse of
  uint64_t scale[16];  // the bits of 2^(j/16), less j << 48
  double log_coef[8];  // log2(1 + r) = r · sum of log_coef[j] · r^j, j = 0..7
  double exp_coef[5];  // 2^f - 1 = f · sum of exp_coef[j] · f^j, j = 0..4
};

/// The tables and coefficients, filled before main runs.
extern const PowerTables power_tables;

/// The window around a float tie, relative to the double v at hand: (a·|t| + b)·v.
struct Window {
  double a, b;
};

static inline uint64_t bits_of(double x) {
  uint64_t u;
  memcpy(&u, &x, 8);
  return u;
}

static inline double double_of(uint64_t u) {
  double x;
  memcpy(&x, &u, 8);
  return x;
}

// t = y·log2 x, as derived in power.cpp; meaningful for positive normal x.
static inline __attribute__((always_inline)) double power_exponent(float x, double y) {
  const PowerTables &T = power_tables;
  uint32_t u;
  memcpy(&u, &x, 4);
  const uint32_t tmp = u - kLogOffset;
  const int i = (tmp >> 19) & 15;
  const int32_t k = static_cast<int32_t>(tmp) >> 23;
  const uint32_t zb = u - (tmp & 0xff800000);
  float zf;
  memcpy(&zf, &zb, 4);
  const double r = std::fma(static_cast<double>(zf), T.invc[i], -1.0);
  const double *a = T.log_coef;
  double p = a[7];
  for (int j = 6; j >= 0; j--) p = std::fma(p, r, a[j]);
  return (std::fma(r, p, T.logc[i]) + static_cast<double>(k)) * y;
}

// 2^t in double, as derived in power.cpp; meaningful where the result is a normal double.
static inline __attribute__((always_inline)) double power_of_two(double t) {
  const PowerTables &T = power_tables;
  const double kd = t + kExpShift;
  const uint64_t n = bits_of(kd);  // t·16 rounded, in the low bits
  const double f = t - (kd - kExpShift);
  const double scale = double_of(T.scale[n & 15] + (n << 48));
  const double *b = T.exp_coef;
  double h = b[4];
  for (int j = 3; j >= 0; j--) h = std::fma(h, f, b[j]);
  return std::fma(scale * f, h, scale);
}

// |t| < kPowerReach stands for v in range: below it v is a normal double (2^t >= 2^-120, within
// an error far smaller), its float is normal and its error bound holds.
constexpr double kPowerReach = 120;

// The double v = x^y less the window, rounded to float (+0 where |t| >= kPowerReach), in *f;
// true where v plus the window rounds to the same float and x is positive and normal. Rounding
// is monotonic, so every value between the two, x^y and glibc's double among them, rounds to
// that float: no float tie lies in the window.
static inline __attribute__((always_inline)) bool power_decided(float x, double t, double v,
                                                                const Window &w, float *f) {
  uint32_t u;
  memcpy(&u, &x, 4);
  const bool reach = std::fabs(t) < kPowerReach;
  const double window = std::fma(w.a, std::fabs(t), w.b) * v;
  const float below = static_cast<float>(reach ? v - window : 0.0),
              above = static_cast<float>(v + window);
  *f = below;
  uint32_t b, a;
  memcpy(&b, &below, 4), memcpy(&a, &above, 4);
  // Bitwise: no branch for the compiler to make of it.
  return (u - 0x00800000u < 0x7f000000u) & reach & (b == a);
}

// Bit i % 16 of undecided[i / 16] set where open[i] is 1, for i < n; open has room for n
// rounded up to 16, and is cleared past n here.
static inline __attribute__((always_inline)) void pack_flags(uint8_t *open, uint16_t *undecided,
                                                             int n) {
  for (int i = n; i % 16 != 0; i++) open[i] = 0;
  for (int g = 0; g * 16 < n; g++) {
#if defined(__SSE2__)
    const __m128i flags = _mm_loadu_si128(reinterpret_cast<const __m128i *>(open + g * 16));
    undecided[g] = static_cast<uint16_t>(_mm_movemask_epi8(_mm_sub_epi8(_mm_setzero_si128(), flags)));
#else
    unsigned bits = 0;
    for (int i = 0; i < 16; i++) bits |= unsigned{open[g * 16 + i]} << i;
    undecided[g] = static_cast<uint16_t>(bits);
#endif
  }
}

// True for a negative x, which with a guard counts as +0: -0 and NaNs are not negative.
static inline __attribute__((always_inline)) bool negative(float x) {
  uint32_t u;
  memcpy(&u, &x, 4);
  return u - 0x80000001u < 0x7f800000u;
}

// out[i] = x[i]^y where the double decides the float; bit i % 16 of undecided[i / 16] set
// where it does not, unless x[i] is negative and `guarded`. In two loops, the exponents t
// first, so that each loop's chains of dependent steps are short.
static inline __attribute__((always_inline)) void any_piece(const float *x, float y,
                                                            const Window &w, float *out,
                                                            uint16_t *undecided, int n,
                                                            bool guarded) {
  const double yd = y;
  double t[1024];
  uint8_t open[1024];
  for (int i = 0; i < n; i++) t[i] = power_exponent(x[i], yd);
  for (int i = 0; i < n; i++) {
    const bool decided = power_decided(x[i], t[i], power_of_two(t[i]), w, &out[i]);
    open[i] = int{!decided} & !(int{guarded} & int{negative(x[i])});
  }
  pack_flags(open, undecided, n);
}

// Where fused multiply-adds are instructions of their own (not in the portable x86-64 build).
#ifdef __FP_FAST_FMAF
constexpr bool kFastFma = true;
#else
constexpr bool kFastFma = false;
#endif

// out[i] = x[i]^y for y = 2, -1 or 1/2, formed in double (x·x exactly, 1/x rounded once) and
// rounded to float where no float tie is within 2^21 units of it, the root (and, with fused
// multiply-adds, the square) in float where the exact power is as far from a tie; bit i % 16
// of undecided[i / 16] set elsewhere, and for NaNs.
template <Shortcut S, bool guarded>
static inline __attribute__((always_inline)) void shortcut_any(const float *x, float *out,
                                                               uint16_t *undecided, int n) {
  uint8_t open[1024];
  for (int i = 0; i < n; i++) {
    const double xd = x[i];
    if constexpr (S == Shortcut::kRoot) {
      // The float root s = 2^k·(1 + f), correctly rounded, decides where the exact root r
      // lies further than (2^-31 + 2^-51)·2^k from both float ties beside s: s - half the
      // spacing below s (a quarter below a power of two) and s + half the spacing above. That
      // is more than 2^21 + 1/2 units in the last place of the double root (whose binade is
      // s's or the one below), the window of the other shortcuts: the double root too is
      // further than 2^21 units from every tie, and rounds to s. For a tie m, m·m and x - m·m
      // are exact in double (m has at most 26 bits, and x lies within a factor 2 of m·m), and
      // r lies (x - m·m)/(r + m) from m, with r + m below twice the upper tie.
      // powf(-0, 0.5) is +0. A guarded negative value needs no root, and the root of its
      // magnitude costs less than a NaN.
      const float xf = guarded ? std::fabs(x[i]) : x[i];
      const float root = std::sqrt(xf) + 0.0f;
      uint32_t rb;
      memcpy(&rb, &root, 4);
      // 2^k, and the same or half as much below a power of two, in integers: no operation
      // under a condition for the vectorizer to refuse.
      const uint32_t scale_bits = rb & 0x7f800000,
                     lower_bits = scale_bits - (uint32_t{(rb & 0x7fffff) == 0} << 23);
      float scale, lower;
      memcpy(&scale, &scale_bits, 4);
      memcpy(&lower, &lower_bits, 4);
      const double up = scale * 0x1p-24, down = lower * 0x1p-24;
      const double r = root, xr = xf, below = r - down, above = r + up;
      const double window = scale * (0x1p-30 + 0x1p-49) * above;
      out[i] = root;
      open[i] = !(((xr - below * below > window) & (above * above - xr > window)) |
                  (root == 0) | (root == INFINITY) | (guarded & (xd < 0)));
    } else if constexpr (S == Shortcut::kSquare && kFastFma) {
      // In floats, twice as many to a vector: the square s and its error e = x·x - s, exact by
      // a fused multiply-add while s >= 2^-100. The exact square then lies half the spacing of
      // floats less |e| from the nearest tie, the spacing below s where it is a power of two
      // and the square lies below it; the window of 2^21 units of the double square is 2^-8 of
      // that spacing.
      const float xf = x[i];
      const float s = xf * xf, e = std::fma(xf, xf, -s);
      uint32_t sb;
      memcpy(&sb, &s, 4);
      const uint32_t below = ((sb & 0x7fffff) == 0) & (e < 0);
      const uint32_t spacing_bits = (sb & 0x7f800000) - (23u << 23) - (below << 23);
      float spacing;
      memcpy(&spacing, &spacing_bits, 4);
      out[i] = s;
      open[i] = !(((std::fabs(e) < spacing * (0.5f - 0x1p-8f)) & (sb >= 0x0d800000) &
                   (sb < 0x7f800000)) |
                  (xf == 0) | (std::fabs(xf) == INFINITY));
    } else {
      const double e = S == Shortcut::kSquare ? xd * xd : 1.0 / xd;
      out[i] = static_cast<float>(e);
      open[i] = !(far_from_float_tie(e, 1 << 21) | (e == 0) | (std::fabs(e) == INFINITY) |
                  (guarded & (xd < 0)));
    }
  }
  pack_flags(open, undecided, n);
}

/// shortcut_any at each width of vectors: 8, 4 and 2 doubles.
void shortcut_piece8(Shortcut s, const float *x, float *out, uint16_t *undecided, int n,
                     bool guarded);
void shortcut_piece4(Shortcut s, const float *x, float *out, uint16_t *undecided, int n,
                     bool guarded);
void shortcut_piece2(Shortcut s, const float *x, float *out, uint16_t *undecided, int n,
                     bool guarded);

// shortcut_any for the shortcut s.
static inline __attribute__((always_inline)) void shortcut_for(Shortcut s, const float *x,
                                                               float *out, uint16_t *undecided,
                                                               int n, bool guarded) {
  // Only the root's exponent is not whole, so only it can be guarded.
  if (s == Shortcut::kSquare) return shortcut_any<Shortcut::kSquare, false>(x, out, undecided, n);
  if (s == Shortcut::kInverse)
    return shortcut_any<Shortcut::kInverse, false>(x, out, undecided, n);
  if (guarded) return shortcut_any<Shortcut::kRoot, true>(x, out, undecided, n);
  return shortcut_any<Shortcut::kRoot, false>(x, out, undecided, n);
}

// combine_piece, in a loop without branches that the compiler vectorizes.
static inline __attribute__((always_inline)) void combine_any(float *__restrict a,
                                                              float *__restrict b,
                                                              const float *__restrict pa,
                                                              const float *__restrict pb,
                                                              const Guards &g, int n) {
  const bool guard1 = g.guard1, guard2 = g.guard2;
  const float zero_power1 = g.zero_power1, zero_power2 = g.zero_power2;
  for (int i = 0; i < n; i++) {
    // Every operand loaded whatever is chosen: a load under a condition is control flow, which
    // the compiler does not vectorize. Nor, without masked operations (AVX2, SSE2), does it
    // vectorize two choices on one condition: the guards, the same for the whole loop, are
    // tested first (it then makes a loop for each pair of them), and the last choices are
    // made on bits.
    const float ai = a[i], bi = b[i], pai = pa[i], pbi = pb[i];
    const bool g1 = guard1 && ai < 0, g2 = guard2 && bi < 0;
    const float p = g1 ? zero_power1 : pai, q = g2 ? zero_power2 : pbi;
    // Of two NaNs the first, whichever operand the compiler puts first; a NaN that the multiply
    // makes (0 × inf) is x86's default one, negative, on every machine.
    const float product = p * q, invalid = std::isnan(q) ? quieted(q) : default_nan();
    const float r = !kX86Nans && std::isnan(product) ? invalid : product;
    uint32_t p_bits, r_bits, b_bits;
    memcpy(&p_bits, &p, 4);
    memcpy(&r_bits, &r, 4);
    memcpy(&b_bits, &bi, 4);
    const uint32_t p_nan = 0u - uint32_t{(p_bits & 0x7fffffff) > 0x7f800000};
    r_bits = (p_bits & p_nan) | (r_bits & ~p_nan);  // p where it is NaN
    b_bits &= 0u - uint32_t{!g2};                   // +0 where guarded
    memcpy(a + i, &r_bits, 4);
    memcpy(b + i, &b_bits, 4);
  }
}

// Both exponents 1: without NaNs every power is the value itself and the product a plain
// multiply, a[i] × b[i] into a[i]; gives false, changing nothing, where a value is a NaN. A NaN
// product is then one the multiply made (0 × inf): x86's default NaN on every machine.
static inline __attribute__((always_inline)) bool plain_any(float *__restrict a,
                                                            const float *__restrict b, int n) {
  uint32_t nan = 0;
  for (int i = 0; i < n; i++) {
    uint32_t u, v;
    memcpy(&u, a + i, 4);
    memcpy(&v, b + i, 4);
    nan |= ((u & 0x7fffffff) > 0x7f800000) | ((v & 0x7fffffff) > 0x7f800000);
  }
  if (nan) return false;
  for (int i = 0; i < n; i++) {
    const float product = a[i] * b[i];
    a[i] = kX86Nans || !std::isnan(product) ? product : default_nan();
  }
  return true;
}

/// plain_any at each width of vectors: 16, 8 and 4 floats.
bool plain_piece16(float *a, const float *b, int n);
bool plain_piece8(float *a, const float *b, int n);
bool plain_piece4(float *a, const float *b, int n);

/// combine_any at each width of vectors: 16, 8 and 4 floats.
void combine_piece16(float *a, float *b, const float *pa, const float *pb, const Guards &g,
                     int n);
void combine_piece8(float *a, float *b, const float *pa, const float *pb, const Guards &g,
                    int n);
void combine_piece4(float *a, float *b, const float *pa, const float *pb, const Guards &g,
                    int n);

/// any_piece at each width of vectors: 8, 4 and 2 doubles.
void power_piece8(const float *x, float y, const Window &w, float *out, uint16_t *undecided,
                  int n, bool guarded);
void power_piece4(const float *x, float y, const Window &w, float *out, uint16_t *undecided,
                  int n, bool guarded);
void power_piece2(const float *x, float y, const Window &w, float *out, uint16_t *undecided,
                  int n, bool guarded);
