#include "extended.hpp"

#include <cmath>
#include <cstring>

namespace {

#if defined(__SIZEOF_INT128__) && !defined(QUARVEL_NO_INT128)
using Wide = unsigned __int128;

uint64_t high(Wide m) { return static_cast<uint64_t>(m >> 64); }
#else
// An unsigned 128-bit integer from two 64-bit halves, for machines without one (32-bit ones):
// just the operations used below, with shifts of 0 to 127.
struct Wide {
  uint64_t hi, lo;
  Wide(uint64_t x = 0) : hi(0), lo(x) {}
  Wide(uint64_t h, uint64_t l) : hi(h), lo(l) {}
  explicit operator uint64_t() const { return lo; }
  friend Wide operator<<(Wide a, int n) {
    if (n >= 64) return {a.lo << (n - 64), 0};
    return n ? Wide{a.hi << n | a.lo >> (64 - n), a.lo << n} : a;
  }
  friend Wide operator>>(Wide a, int n) {
    if (n >= 64) return {0, a.hi >> (n - 64)};
    return n ? Wide{a.hi >> n, a.lo >> n | a.hi << (64 - n)} : a;
  }
  friend Wide operator+(Wide a, Wide b) {
    return {a.hi + b.hi + (a.lo + b.lo < a.lo), a.lo + b.lo};
  }
  friend Wide operator-(Wide a, Wide b) { return {a.hi - b.hi - (a.lo < b.lo), a.lo - b.lo}; }
  friend Wide operator&(Wide a, Wide b) { return {a.hi & b.hi, a.lo & b.lo}; }
  friend Wide operator|(Wide a, Wide b) { return {a.hi | b.hi, a.lo | b.lo}; }
  friend bool operator==(Wide a, Wide b) { return a.hi == b.hi && a.lo == b.lo; }
  friend bool operator!=(Wide a, Wide b) { return !(a == b); }
  friend bool operator<(Wide a, Wide b) { return a.hi < b.hi || (a.hi == b.hi && a.lo < b.lo); }
  friend bool operator>(Wide a, Wide b) { return b < a; }
  friend bool operator>=(Wide a, Wide b) { return !(a < b); }
  // The product of the low halves: the full 128 bits of a 64 x 64-bit product.
  friend Wide operator*(Wide a, Wide b) {
    const uint64_t a0 = a.lo & 0xffffffff, a1 = a.lo >> 32, b0 = b.lo & 0xffffffff, b1 = b.lo >> 32;
    const uint64_t low = a0 * b0, middle1 = a1 * b0, middle2 = a0 * b1;
    const uint64_t carry = ((low >> 32) + (middle1 & 0xffffffff) + (middle2 & 0xffffffff)) >> 32;
    return {a1 * b1 + (middle1 >> 32) + (middle2 >> 32) + carry,
            low + (middle1 << 32) + (middle2 << 32)};
  }
  // Division by a 64-bit divisor, a bit at a time: only the mean's and averages' few quotients.
  friend Wide operator/(Wide a, uint64_t d) { return divide(a, d, nullptr); }
  friend Wide operator%(Wide a, uint64_t d) {
    Wide r;
    divide(a, d, &r);
    return r;
  }
  static Wide divide(Wide a, uint64_t d, Wide *remainder) {
    Wide q, r;
    for (int i = 127; i >= 0; i--) {
      r = r << 1 | ((a >> i).lo & 1);
      q = q << 1;
      if (r >= d) r = r - d, q.lo |= 1;
    }
    if (remainder) *remainder = r;
    return q;
  }
};

uint64_t high(Wide m) { return m.hi; }
#endif

using S = SoftExtended;

const uint64_t kTop = uint64_t{1} << 63, kQuiet = uint64_t{1} << 62;

// x87's answer to an invalid operation (inf - inf, 0 × inf, 0 / 0, inf / inf).
S default_nan() { return {kTop | kQuiet, 0, true, S::kNan}; }

S zero(bool negative) { return {0, 0, negative, S::kFinite}; }
S infinity(bool negative) { return {0, 0, negative, S::kInfinite}; }

int top_bit(Wide m) {
  const uint64_t h = high(m);
  return h ? 127 - __builtin_clzll(h) : 63 - __builtin_clzll(static_cast<uint64_t>(m));
}

// m · 2^e, m > 0, rounded to 64 bits, nearest even; `sticky` says that nonzero bits lie below
// m's last. Exact when m has at most 64 bits; otherwise m must hold at least one bit below the
// 64 kept, so that a tie can be told from the values around it.
S rounded(bool negative, Wide m, int e, bool sticky) {
  const int top = top_bit(m), shift = top - 63;
  if (shift <= 0) return {static_cast<uint64_t>(m) << -shift, e + top, negative, S::kFinite};
  const Wide rest = m & ((Wide{1} << shift) - 1), half = Wide{1} << (shift - 1);
  uint64_t q = static_cast<uint64_t>(m >> shift);
  int exponent = e + top;
  if (rest > half || (rest == half && (sticky || (q & 1)))) {
    if (++q == 0) q = kTop, exponent++;
  }
  return {q, exponent, negative, S::kFinite};
}

// Of two NaNs, the larger significand, quieted; between equal ones the positive.
S either_nan(S a, S b) {
  if (a.kind == S::kNan && b.kind == S::kNan) {
    const uint64_t qa = a.significand | kQuiet, qb = b.significand | kQuiet;
    S r = qa > qb || (qa == qb && !a.negative) ? a : b;
    r.significand |= kQuiet;
    return r;
  }
  S r = a.kind == S::kNan ? a : b;
  r.significand |= kQuiet;
  return r;
}

bool is_zero(S a) { return a.kind == S::kFinite && a.significand == 0; }

// a rounded to p significant bits with a smallest exponent emin (below it the format's
// subnormals keep fewer bits), as the whole number q and the power of two that scales it; then
// ldexp builds the result exactly, or the infinity it overflows to.
template <class F>
F narrowed(S a, int p, int emin) {
  if (a.kind == S::kInfinite) return a.negative ? -INFINITY : INFINITY;
  if (a.significand == 0) return a.negative ? F(-0.0) : F(0.0);
  const int keep = p - (a.exponent < emin ? emin - a.exponent : 0);
  if (keep < 0) return a.negative ? F(-0.0) : F(0.0);  // below half the smallest subnormal
  const int shift = 64 - keep;                          // 11 to 64
  const Wide m = a.significand;
  const Wide rest = m & ((Wide{1} << shift) - 1), half = Wide{1} << (shift - 1);
  uint64_t q = static_cast<uint64_t>(m >> shift);
  if (rest > half || (rest == half && (q & 1))) q++;
  const F magnitude = std::ldexp(static_cast<F>(q), a.exponent - 63 + shift);
  return a.negative ? -magnitude : magnitude;
}

}  // namespace

S soft_widen(float x) {
  uint32_t u;
  memcpy(&u, &x, 4);
  const bool negative = u >> 31;
  const uint32_t biased = (u >> 23) & 0xff, fraction = u & 0x7fffff;
  if (biased == 0xff && fraction != 0)
    return {kTop | kQuiet | uint64_t{fraction} << 40, 0, negative, S::kNan};
  if (biased == 0xff) return infinity(negative);
  if (biased == 0 && fraction == 0) return zero(negative);
  if (biased == 0) return rounded(negative, fraction, -149, false);
  return rounded(negative, fraction | 0x800000, static_cast<int>(biased) - 150, false);
}

S soft_of_integer(int64_t n) {
  if (n == 0) return zero(false);
  const uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  return rounded(n < 0, magnitude, 0, false);
}

S soft_add(S a, S b) {
  if (a.kind == S::kNan || b.kind == S::kNan) return either_nan(a, b);
  if (a.kind == S::kInfinite && b.kind == S::kInfinite)
    return a.negative == b.negative ? a : default_nan();
  if (a.kind == S::kInfinite) return a;
  if (b.kind == S::kInfinite) return b;
  if (is_zero(a) && is_zero(b)) return zero(a.negative && b.negative);
  if (is_zero(a)) return b;
  if (is_zero(b)) return a;
  if (a.exponent < b.exponent || (a.exponent == b.exponent && a.significand < b.significand)) {
    const S t = a;
    a = b, b = t;
  }
  // |a| >= |b|. Both carry 62 bits below their significands; b's lost bits go to `sticky`.
  const int d = a.exponent - b.exponent;
  const Wide ma = Wide{a.significand} << 62, wb = Wide{b.significand} << 62;
  const Wide mb = d < 126 ? wb >> d : 0;
  const bool sticky = d >= 126 || (mb << d) != wb;
  const int e = a.exponent - 125;
  if (a.negative == b.negative) return rounded(a.negative, ma + mb, e, sticky);
  if (ma == mb && !sticky) return zero(false);
  // A nonzero remainder of b below mb makes the exact difference lie inside (m - 1, m).
  return rounded(a.negative, ma - mb - sticky, e, sticky);
}

S soft_subtract(S a, S b) {
  if (b.kind != S::kNan) b.negative = !b.negative;
  return soft_add(a, b);
}

S soft_multiply(S a, S b) {
  if (a.kind == S::kNan || b.kind == S::kNan) return either_nan(a, b);
  const bool negative = a.negative != b.negative;
  if ((a.kind == S::kInfinite && is_zero(b)) || (b.kind == S::kInfinite && is_zero(a)))
    return default_nan();
  if (a.kind == S::kInfinite || b.kind == S::kInfinite) return infinity(negative);
  if (is_zero(a) || is_zero(b)) return zero(negative);
  return rounded(negative, Wide{a.significand} * b.significand, a.exponent + b.exponent - 126,
                 false);
}

S soft_divide(S a, S b) {
  if (a.kind == S::kNan || b.kind == S::kNan) return either_nan(a, b);
  const bool negative = a.negative != b.negative;
  if ((a.kind == S::kInfinite && b.kind == S::kInfinite) || (is_zero(a) && is_zero(b)))
    return default_nan();
  if (a.kind == S::kInfinite || is_zero(b)) return infinity(negative);
  if (b.kind == S::kInfinite || is_zero(a)) return zero(negative);
  // 65 or 66 quotient bits, so at least one below the 64 kept, and the remainder's sticky bit.
  const Wide numerator = Wide{a.significand} << 64;
  const Wide q = numerator / b.significand, r = numerator % b.significand;
  const bool next = (r << 1) >= b.significand;
  const Wide rest = (r << 1) - (next ? Wide{b.significand} : 0);
  return rounded(negative, q << 1 | next, a.exponent - b.exponent - 65, rest != 0);
}

float soft_to_float(S a) {
  if (a.kind != S::kNan) return narrowed<float>(a, 24, -126);
  const uint32_t u = (a.negative ? 0x80000000u : 0) | 0x7f800000u |
                     static_cast<uint32_t>(a.significand >> 40 & 0x7fffff);
  float x;
  memcpy(&x, &u, 4);
  return x;
}

double soft_to_double(S a) {
  if (a.kind != S::kNan) return narrowed<double>(a, 53, -1022);
  const uint64_t u = (a.negative ? uint64_t{1} << 63 : 0) | uint64_t{0x7ff} << 52 |
                     (a.significand >> 11 & 0xfffffffffffff);
  double x;
  memcpy(&x, &u, 8);
  return x;
}
