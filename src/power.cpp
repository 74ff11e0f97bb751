#include "power.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>

#include "power_kernel.hpp"
#include "summary.hpp"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

// glibc's powf (2.28 and later) forms x^y in double as 2^(y·log2 x) and rounds that double to
// float once; its source states the relative error of the double as at most about
//   E_glibc(t) = |t|·ln2·1.83·2^-33 + 1.69·2^-34,   t = y·log2 x.
// This unit forms x^y in double too, with a relative error of at most E(t, y) (derived below).
// Both doubles then lie within (E_glibc + E)·|x^y| of x^y, and of each other; where ours lies
// further than four times that from every float rounding midpoint, and in the normal float
// range, both round to the same float, which is therefore powf's. Everything else goes to powf.
//
// log2 x, for a positive normal float x = 2^k · z, z = 1.m, halved (and k raised by one) when
// z >= sqrt(2), so that z lies in [0.7071067, 1.4142136):
//   r = (z - 1)/(z + 1): z - 1 and z + 1 are exact (z has 24 bits), the quotient is rounded,
//   |dr| <= 2^-53·|r|, and |r| <= 0.1715729, r^2 <= 0.0294373 < 2^-5.08.
//   log2 z = (2/ln2)·atanh(r) = r·sum over j of r^2j·2/((2j + 1) ln2). Kept to j = 9, the tail
//   is at most |log2 z|·(r^2)^10/21/(1 - r^2) < 2^-55.2·|log2 z|. The sum, by Estrin's scheme,
//   is within 3% of its first coefficient all along: rounded coefficients (2^-53 each), powers
//   of r^2 (r's error included) and four additions on the way to the total add at most
//   5.5·2^-53 < 2^-50.5 relative, and the product with r 2^-53: l = log2 z is formed within
//   2^-50.2·|l| (|l| <= 0.5).
//   t = y·k + y·l: y·k is exact (24 bits times 8), y·l and the sum are rounded, so
//   |dt| <= |y·l|·(2^-50.2 + 2^-53) + 2^-53·|t| <= |y|·2^-51 + 2^-53·|t|.
//   Near x = 1 this is relative to t: k is 0 and t = y·l.
// 2^t, for |t| < 140:
//   N = t rounded to a whole, f = t - N, exact (Sterbenz, or f = t when N = 0), |f| <= 1/2;
//   2^t = 2^N · 2^f, and 2^f - 1 = sum of (f ln2)^j / j! for j = 1..13: the tail is at most
//   (ln2/2)^14/14!·1.01 < 2^-57.7. The sum q/f by Estrin's scheme stays within 30% of its first
//   coefficient; rounded coefficients, powers of f and four additions add at most 6·2^-53
//   relative to q, |q| <= 0.415, so q is within 2^-52.3 + 2^-57.7 absolute, and 1 + q one
//   rounding of 2^-53: 2^f is formed within 2^-51.1 relative (2^f >= 0.707). Scaling by 2^N
//   is exact for normal results.
// The error dt in t moves 2^t by a factor 2^dt: relative error |dt|·ln2·1.001. Altogether
//   E(t, y) <= 2^-51.1 + 0.694·(|y|·2^-51 + 2^-53·|t|) < 2^-50·(1 + |y| + |t|),
// which is below 2^-41 for |y| <= 10 and |t| <= 140: the tests check it against 80-bit powl on
// random values. The window is then 4·(E_glibc(t) + E(t, y)), and the fast path decides where
// a float tie lies further than that from the double.

namespace {

PowerTables filled_tables() {
  PowerTables t;
  const long double ln2 = logl(2.0L);
  for (int j = 0; j < 10; j++) t.log_coef[j] = static_cast<double>(2 / ((2 * j + 1) * ln2));
  long double power = 1, factorial = 1;
  for (int j = 1; j <= 13; j++) {
    power *= ln2, factorial *= j;
    t.exp_coef[j - 1] = static_cast<double>(power / factorial);
  }
  return t;
}

// The window for exponent y: four times E_glibc(t) + E(t, y), relative, in ulps of a double
// (a relative error w is at most w·2^53 ulps), plus one for the comparison's rounding.
Window window(float y) {
  const double ulps = 4 * 0x1p53;
  return {ulps * (0.6931471805599453 * 1.83 * 0x1p-33 + 0x1p-50),
          ulps * (1.69 * 0x1p-34 + 0x1p-50 * (1 + std::fabs(static_cast<double>(y)))) + 1};
}

bool glibc_forms_powf_in_double() {
#if defined(__GLIBC__)
  int major = 0, minor = 0;
  return sscanf(gnu_get_libc_version(), "%d.%d", &major, &minor) == 2 &&
         (major > 2 || (major == 2 && minor >= 28));
#else
  return false;
#endif
}

std::atomic<uint64_t> values_raised{0}, values_to_powf{0};

}  // namespace

const PowerTables power_tables = filled_tables();

void power_piece2(const float *x, float y, const Window &w, float *out, uint32_t *undecided,
                  int n) {
  any_piece(x, y, w, out, undecided, n);
}

bool fast_powers_allowed() {
  static const bool allowed = glibc_forms_powf_in_double();
  return allowed;
}

int power_piece(const float *x, float y, float *out, int n, int lanes) {
  // Without AVX2 the path costs more than powf itself (9.4 against 4.8 ns a value measured with
  // SSE2 alone); it is still built, for the tests to hold it to powf's bits.
  static const int wide = widest_lanes();
  if (lanes <= 0 || lanes > wide) lanes = wide;
  if (!fast_powers_allowed() || !std::isfinite(y) || n > 1024 || (lanes == 2 && wide == 2)) {
    for (int i = 0; i < n; i++) out[i] = powf(x[i], y);
    return n;
  }
  const Window w = window(y);
  uint32_t undecided[1024];
  if (lanes == 8)
    power_piece8(x, y, w, out, undecided, n);
  else if (lanes == 4)
    power_piece4(x, y, w, out, undecided, n);
  else
    power_piece2(x, y, w, out, undecided, n);
  int slow = 0;
  for (int i = 0; i < n; i++)
    if (undecided[i]) out[i] = powf(x[i], y), slow++;
  values_raised.fetch_add(n, std::memory_order_relaxed);
  values_to_powf.fetch_add(slow, std::memory_order_relaxed);
  return slow;
}

void power_counts(uint64_t *raised, uint64_t *to_powf) {
  *raised = values_raised, *to_powf = values_to_powf;
}

double power_in_double(float x, float y, double *t) {
  *t = power_exponent(x, y);
  return power_of_two(*t);
}

double power_error_bound(double t, float y) {
  return 0x1p-50 * (1 + std::fabs(static_cast<double>(y)) + std::fabs(t));
}
