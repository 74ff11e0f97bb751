// Arithmetic in x87's 80-bit extended format (64-bit significand, round to nearest even), the
// format the summary's running totals are defined in: the hardware's on x86, elsewhere carried
// out exactly in software, with x87's NaNs.
#pragma once

#include <cstdint>

#include "cpu.hpp"

/// A number of the 80-bit format held in software. Finite values are
/// (-1)^negative × significand × 2^(exponent - 63), the significand's top bit set unless zero;
/// a NaN keeps the 80-bit significand (quiet bit 62 set). The exponent is not bounded: the
/// summary's values, formed from floats, never reach the format's own limits.
struct SoftExtended {
  enum Kind : uint8_t { kFinite, kInfinite, kNan };
  uint64_t significand;
  int32_t exponent;
  bool negative;
  Kind kind;
};

/// The float x in the 80-bit format, exactly; a signalling NaN turns quiet, as x87's load does.
SoftExtended soft_widen(float x);

/// The integer n in the 80-bit format, exactly.
SoftExtended soft_of_integer(int64_t n);

/// a + b, a - b, a × b and a / b rounded to the 80-bit format as x87 rounds them: of two NaNs
/// the larger significand wins (the positive between equals), an invalid operation gives x87's
/// default NaN (negative, quiet, no payload).
SoftExtended soft_add(SoftExtended a, SoftExtended b);
SoftExtended soft_subtract(SoftExtended a, SoftExtended b);
SoftExtended soft_multiply(SoftExtended a, SoftExtended b);
SoftExtended soft_divide(SoftExtended a, SoftExtended b);

/// a rounded to float, and to double, as x87's stores round it.
float soft_to_float(SoftExtended a);
double soft_to_double(SoftExtended a);

#if QUARVEL_X86

using Extended = long double;

/// A float in the 80-bit format, converted before any arithmetic sees it: a signalling NaN turns
/// quiet here, and of two NaNs meeting in the 80-bit format the one with the larger significand
/// wins, so a NaN result does not depend on the operand forms that the compiler happens to choose.
inline Extended widen(float x) {
  long double w = x;
  __asm__("" : "+t"(w));
  return w;
}

/// The count n in the 80-bit format (exact).
inline Extended extended_of(int64_t n) { return static_cast<long double>(n); }

/// x rounded to float, and to double.
inline float to_float(Extended x) { return static_cast<float>(x); }
inline double to_double(Extended x) { return static_cast<double>(x); }

#else

struct Extended {
  SoftExtended v;
};

inline Extended widen(float x) { return {soft_widen(x)}; }
inline Extended extended_of(int64_t n) { return {soft_of_integer(n)}; }
inline float to_float(Extended x) { return soft_to_float(x.v); }
inline double to_double(Extended x) { return soft_to_double(x.v); }
inline Extended operator+(Extended a, Extended b) { return {soft_add(a.v, b.v)}; }
inline Extended operator-(Extended a, Extended b) { return {soft_subtract(a.v, b.v)}; }
inline Extended operator*(Extended a, Extended b) { return {soft_multiply(a.v, b.v)}; }
inline Extended operator/(Extended a, Extended b) { return {soft_divide(a.v, b.v)}; }

#endif
