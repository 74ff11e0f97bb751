#include "power.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>

#include "nans.hpp"
#include "power_kernel.hpp"
#include "cpu.hpp"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

// glibc's powf (2.28 and later) forms x^y in double as 2^(y·log2 x) and rounds that double to
// float once; its source states the relative error of the double as at most about
//   E_glibc(t) = |t|·ln2·1.83·2^-33 + 1.69·2^-34,   t = y·log2 x.
// This unit forms x^y in double too, with a relative error of at most E(t) (derived below).
// Both doubles then lie within (E_glibc + E)·|x^y| of x^y, and of each other; where ours lies
// further than twice that from every float rounding midpoint, both round to the same float,
// which is therefore powf's. Everything else goes to powf. The factor 2 is the margin for
// trusting glibc's bound: over every float raised to 2.5, -1.3, 7.25, 1/3, 3, -0.5 and 0.001,
// glibc's float lies on the other side of a midpoint than x^y's for about 0.06% of them, and
// its double never went past the midpoint by more than 0.99 of the bound (near |t| = 0, where
// the bound is nearly reached; above |t| = 32, by 0.03 of it at most).
//
// log2 x, for a positive normal float x = 2^k · z, z in [0.734375, 1.46875), cut into 16
// intervals (1/32 wide below 0.984375, 1/16 above; interval 8 is [0.984375, 1.03125)):
//   c is the middle of z's interval (1 for interval 8), invc = 1/c rounded to float (a table of
//   floats can hold it), logc = -log2 invc rounded (2^-53 relative). r = z·invc - 1 in one fused
//   rounding: |dr| <= 2^-53·|r|, and |r| <= R = 2^-5 (interval 8's top; the others stay below
//   0.0295). Then
//   log2 z = logc + log2(1 + r), since log2(z·invc) - log2 invc is log2 z for any invc.
//   log2(1 + r) = r·sum over j of (-1)^j r^j / ((j + 1) ln2); kept to j = 7, the tail is at
//   most R^8/9/((1 - R)(1 - R/2)) < 2^-43.1 of |log2(1 + r)|. The sum p, by Horner's scheme
//   of fused steps, stays within 1.6% of its first coefficient: the rounded coefficients and
//   the seven roundings add at most 2.2·2^-53 < 2^-51.8 relative. s = r·p + logc and
//   L = s + k are rounded once each. With q = |log2(1 + r)|:
//     |dL| <= q·(2^-43.1 + 2^-51.8 + 2^-53) + 2^-53·(|logc| + |s| + |L|).
//   k = 0, interval 8: logc = 0, s = L, so |dL| <= 2^-43.0·|L|, relative even as x nears 1.
//   k = 0, another interval: |L| >= log2(1/0.984375) and q <= 1.033·|L| (interval 7, the
//   worst), |logc|, |s| <= 2.04·|L|: |dL| <= 2^-42.9·|L|. k != 0: |L| >= 0.445 and q <= 0.043,
//   far less. So |dL| <= 2^-42.9·|L| throughout, and t = y·L, one more rounding, is formed
//   within |dt| <= 2^-42.8·|t|.
// 2^t:
//   t + 1.5·2^48 rounds 16·t to a whole n (RNE), so f = t - n/16 is exact (f = t when n = 0,
//   else n/16 and t are both whole multiples of t's last place) and |f| <= 1/32. With
//   j = n mod 16, 2^t = 2^((n - j)/16) · 2^(j/16) · 2^f: the table holds 2^(j/16) rounded
//   (2^-53) and adding (n - j)/16 to its exponent is exact for a normal result.
//   2^f - 1 = f·sum over j of ln2^(j+1) f^j/(j + 1)!; kept to j = 4, the tail is at most
//   (ln2/32)^6/6!·2^(1/32) < 2^-42.6. The sum h, by Horner's scheme, stays within 1.2% of
//   ln2: 2^-51.8 relative again; scale·f and the last fused step scale·f·h + scale add one
//   rounding each. |scale·f·h| <= 0.022·scale, so 2^t is formed within
//   (2^-42.6 + 0.022·2^-51 + 2^-53)/0.978 + 2^-53 < 2^-42.5 relative (2^f >= 0.978).
// The error dt in t moves 2^t by a factor 2^dt: relative error |dt|·ln2·(1 + 2^-40). Altogether
//   E(t) <= 2^-42.5 + 0.694·2^-42.8·|t| < 2^-42·(1 + |t|),
// which the tests check against 80-bit powl on random values; it is a thousandth of
// E_glibc(t) or less. The window is W = 2·(E_glibc(t) + E(t)), and the fast path decides where
// v - W·v and v + W·v, each rounded to double and then to float, give the same float: rounding
// is monotonic, so every value between them rounds to it too, and the interval holds x^y and
// glibc's double. The threshold a·|t| + b is W raised by 2^-52 (window() below): forming it
// and its product by v rounds each by 2^-53 of itself (under 2^-72·v, as W < 2^-20 for
// |t| < 120), the sum and the difference by 2^-53·v at most, so the rounded bounds still lie
// outside [v - W·v, v + W·v].

namespace {

PowerTables filled_tables() {
  PowerTables t;
  for (uint32_t i = 0; i < 16; i++) {
    const long double low = float_of_bits(kLogOffset + (i << 19)),
                      high = float_of_bits(kLogOffset + ((i + 1) << 19));
    t.invc[i] = i == 8 ? 1.0f : static_cast<float>(2 / (low + high));
    t.logc[i] = static_cast<double>(-log2l(t.invc[i]));
    t.scale[i] = bits_of(static_cast<double>(exp2l(i / 16.0L))) - (static_cast<uint64_t>(i) << 48);
  }
  const long double ln2 = logl(2.0L);
  for (int j = 0; j < 8; j++) t.log_coef[j] = static_cast<double>((j % 2 ? -1 : 1) / ((j + 1) * ln2));
  long double power = 1, factorial = 1;
  for (int j = 0; j < 5; j++) {
    power *= ln2, factorial *= j + 1;
    t.exp_coef[j] = static_cast<double>(power / factorial);
  }
  return t;
}

// The window: twice E_glibc(t) + E(t), relative, plus 2^-52 (a unit in the last place of a
// double with significand 1) for the rounding of the threshold, of its product by v and of v
// less and plus that.
Window window() {
  return {2 * (0.6931471805599453 * 1.83 * 0x1p-33 + 0x1p-42),
          2 * (1.69 * 0x1p-34 + 0x1p-42) + 0x1p-52};
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

// Counted by each thread for itself, and added to the totals when it ends: an atomic add for
// each piece moved the totals' cache line between the cores that share the work.
struct Counts {
  uint64_t raised = 0, to_powf = 0;
  ~Counts() {
    values_raised.fetch_add(raised, std::memory_order_relaxed);
    values_to_powf.fetch_add(to_powf, std::memory_order_relaxed);
  }
};
thread_local Counts counts;

}  // namespace

const PowerTables power_tables = filled_tables();

// A NaN exponent gives the NaN x, else y, quieted, but 1 where x is 1 and y quiet; an exponent
// of ±0 gives 1 for a quiet NaN x, and a signalling x quieted; any other exponent gives x
// quieted, positive where the exponent is an odd whole number.
float power_of_nan(float x, float y) {
  if (std::isnan(y)) {
    if (bits_of_float(x) == 0x3f800000 && quiet_nan(y)) return 1;
    return quieted(std::isnan(x) ? x : y);
  }
  if (y == 0 && quiet_nan(x)) return 1;
  const bool odd = std::fabs(y) < 0x1p24f && y == std::trunc(y) &&
                   static_cast<int32_t>(y) % 2 != 0;
  return float_of_bits(bits_of_float(quieted(x)) & ~(uint32_t{odd} << 31));
}

void power_piece2(const float *x, float y, const Window &w, float *out, uint16_t *undecided,
                  int n, bool guarded) {
  any_piece(x, y, w, out, undecided, n, guarded);
}

bool fast_powers_allowed() {
  static const bool allowed = glibc_forms_powf_in_double();
  return allowed;
}

namespace {

// The lanes to use when `asked` for: the widest vectors the path runs on here (8 with AVX-512,
// 4 with AVX2 and FMA, else 2, the portable code) when `asked` is 0 or more than that.
int lanes_for(int asked) {
  const int wide = power_lanes();
  return asked <= 0 || asked > wide ? wide : asked;
}

// Puts powf(x[i], y) in out[i] where bit i % 16 of undecided[i / 16] is set; gives how many.
// Four groups' bits at a time: the loop over the set bits ends once per 64 values, each end a
// branch the processor seldom foresees.
int to_powf(const float *x, float y, float *out, const uint16_t *undecided, int n) {
  int slow = 0;
  const int groups = (n + 15) / 16;
  for (int g = 0; g < groups; g += 4) {
    uint64_t open = 0;
    for (int h = 0; h < 4 && g + h < groups; h++) open |= uint64_t{undecided[g + h]} << (16 * h);
    for (; open != 0; open &= open - 1) {
      const int i = g * 16 + __builtin_ctzll(open);
      out[i] = x86_powf(x[i], y), slow++;
    }
  }
  return slow;
}

}  // namespace

void decide_powers(const float *x, float y, float *out, uint16_t *undecided, int n, int lanes,
                   bool guarded) {
  static const Window w = window();
  lanes = lanes_for(lanes);
#if QUARVEL_X86
  if (lanes == 8)
    power_piece8(x, y, w, out, undecided, n, guarded);
  else if (lanes == 4)
    power_piece4(x, y, w, out, undecided, n, guarded);
  else
#endif
    power_piece2(x, y, w, out, undecided, n, guarded);
}

int power_piece(const float *x, float y, float *out, int n, int lanes, bool guarded) {
  // Without AVX2 and FMA the path costs far more than powf itself (measured with SSE2 alone,
  // its fused steps calls to fma: 37 against 4.5 ns a value); it is still built, for the tests
  // to hold it to powf's bits.
  if (!fast_powers_allowed() || !std::isfinite(y) || n > 1024 || lanes_for(0) == 2) {
    for (int i = 0; i < n; i++) out[i] = x86_powf(x[i], y);
    return n;
  }
  uint16_t undecided[64];
  decide_powers(x, y, out, undecided, n, lanes, guarded);
  const int slow = to_powf(x, y, out, undecided, n);
  counts.raised += n, counts.to_powf += slow;
  return slow;
}

void shortcut_piece2(Shortcut s, const float *x, float *out, uint16_t *undecided, int n,
                     bool guarded) {
  shortcut_for(s, x, out, undecided, n, guarded);
}

void combine_piece4(float *a, float *b, const float *pa, const float *pb, const Guards &g,
                    int n) {
  combine_any(a, b, pa, pb, g, n);
}

void decide_shortcut(Shortcut s, const float *x, float *out, uint16_t *undecided, int n,
                     int lanes, bool guarded) {
  lanes = lanes_for(lanes);
#if QUARVEL_X86
  if (lanes == 8)
    shortcut_piece8(s, x, out, undecided, n, guarded);
  else if (lanes == 4)
    shortcut_piece4(s, x, out, undecided, n, guarded);
  else
#endif
    shortcut_piece2(s, x, out, undecided, n, guarded);
}

int shortcut_piece(Shortcut s, const float *x, float *out, int n, int lanes, bool guarded) {
  uint16_t undecided[64];
  decide_shortcut(s, x, out, undecided, n, lanes, guarded);
  const float y = s == Shortcut::kSquare ? 2.0f : s == Shortcut::kInverse ? -1.0f : 0.5f;
  return to_powf(x, y, out, undecided, n);
}

bool plain_piece4(float *a, const float *b, int n) { return plain_any(a, b, n); }

bool plain_product(float *a, const float *b, int n, int lanes) {
  lanes = lanes_for(lanes);
#if QUARVEL_X86
  if (lanes == 8) return plain_piece16(a, b, n);
  if (lanes == 4) return plain_piece8(a, b, n);
#endif
  return plain_piece4(a, b, n);
}

void combine_piece(float *a, float *b, const float *pa, const float *pb, const Guards &g, int n,
                   int lanes) {
  lanes = lanes_for(lanes);
#if QUARVEL_X86
  if (lanes == 8)
    combine_piece16(a, b, pa, pb, g, n);
  else if (lanes == 4)
    combine_piece8(a, b, pa, pb, g, n);
  else
#endif
    combine_piece4(a, b, pa, pb, g, n);
}

void power_counts(uint64_t *raised, uint64_t *to_powf) {
  *raised = values_raised + counts.raised, *to_powf = values_to_powf + counts.to_powf;
}

double power_in_double(float x, float y, double *t) {
  *t = power_exponent(x, y);
  return power_of_two(*t);
}

double power_error_bound(double t) { return 0x1p-42 * (1 + std::fabs(t)); }
