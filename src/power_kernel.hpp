// The vector path of the power, compiled once for each width of vectors. Everything here has
// internal linkage, so that no code built for one width is shared with another.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

struct PowerTables {
  double log_coef[10];  // 2 / ((2j + 1) ln2), j = 0..9: log2 z = r·sum of log_coef[j]·r^2j
  double exp_coef[13];  // ln2^j / j!, j = 1..13: 2^f - 1 = sum of exp_coef[j-1]·f^j
};

/// The coefficients, filled before main runs.
extern const PowerTables power_tables;

/// The window around a float tie, in units in the last place of a double: at most a·|t| + b.
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

// t = y·log2 x, as derived in power.cpp; meaningful for positive normal x. Straight-line
// code, no tables and no branches, so that it vectorizes at any width; the polynomials are
// summed by Estrin's scheme, whose short chains of dependent steps keep the vector units busy.
static inline __attribute__((always_inline)) double power_exponent(float x, double y) {
  const double *a = power_tables.log_coef;
  uint32_t u;
  memcpy(&u, &x, 4);
  const uint32_t m = u & 0x7fffff;
  const uint32_t halve = m >= 0x3504f3;  // 1.m >= sqrt(2): z = 1.m / 2, one more in k
  const int32_t k = static_cast<int32_t>(u >> 23) - 127 + static_cast<int32_t>(halve);
  const uint32_t zb = m | (0x3f800000 - (halve << 23));
  float zf;
  memcpy(&zf, &zb, 4);
  const double z = zf;
  const double r = (z - 1.0) / (z + 1.0);
  const double s = r * r, s2 = s * s, s4 = s2 * s2, s8 = s4 * s4;
  const double p03 = (a[0] + a[1] * s) + s2 * (a[2] + a[3] * s);
  const double p47 = (a[4] + a[5] * s) + s2 * (a[6] + a[7] * s);
  const double l = r * ((p03 + s4 * p47) + s8 * (a[8] + a[9] * s));
  return y * static_cast<double>(k) + y * l;
}

// 2^t in double, as derived in power.cpp; meaningful for |t| < 140.
static inline __attribute__((always_inline)) double power_of_two(double t) {
  const double *b = power_tables.exp_coef;
  const double shift = 0x1.8p52;  // t + shift holds t rounded to a whole in its low bits
  const double kd = t + shift;
  const int64_t n = static_cast<int64_t>(bits_of(kd) - bits_of(shift));
  const double f = t - (kd - shift);
  const double f2 = f * f, f4 = f2 * f2, f8 = f4 * f4;
  const double e03 = (b[0] + b[1] * f) + f2 * (b[2] + b[3] * f);
  const double e47 = (b[4] + b[5] * f) + f2 * (b[6] + b[7] * f);
  const double e811 = (b[8] + b[9] * f) + f2 * (b[10] + b[11] * f);
  const double q = f * ((e03 + f4 * e47) + f8 * (e811 + f4 * b[12]));
  return double_of(bits_of(1.0 + q) + (static_cast<uint64_t>(n) << 52));
}

// out[i] = x[i]^y where the double decides the float, undecided[i] set where it does not. In
// two loops, the exponents t first, so that each loop's chains of dependent steps are short.
static inline __attribute__((always_inline)) void any_piece(const float *x, float y,
                                                            const Window &w, float *out,
                                                            uint32_t *undecided, int n) {
  const double yd = y;
  double t[1024];
  for (int i = 0; i < n; i++) t[i] = power_exponent(x[i], yd);
  for (int i = 0; i < n; i++) {
    uint32_t u;
    memcpy(&u, x + i, 4);
    const double v = power_of_two(t[i]);
    const uint64_t vb = bits_of(v);
    const uint64_t exponent = (vb >> 52) & 0x7ff;
    const int32_t below = static_cast<int32_t>(vb & 0x1fffffff) - 0x10000000;  // to the tie
    const int32_t from_tie = below < 0 ? -below : below;
    const double at = std::fabs(t[i]);
    // Bitwise: no branch for the compiler to make of it.
    const bool decided = (u - 0x00800000u < 0x7f000000u) &  // x positive and normal
                         (at < 140) & (exponent >= 1023 - 126) & (exponent < 1023 + 128) &
                         (static_cast<double>(from_tie) > w.a * at + w.b);
    out[i] = static_cast<float>(v);
    undecided[i] = !decided;
  }
}

/// any_piece at each width of vectors: 8, 4 and 2 doubles.
void power_piece8(const float *x, float y, const Window &w, float *out, uint32_t *undecided,
                  int n);
void power_piece4(const float *x, float y, const Window &w, float *out, uint32_t *undecided,
                  int n);
void power_piece2(const float *x, float y, const Window &w, float *out, uint32_t *undecided,
                  int n);
