// x86-64's NaNs on every machine. Its arithmetic passes a NaN operand on with its sign and
// payload, its quiet bit (22 of a float, 51 of a double) set, and answers an invalid operation
// (0 × inf, inf - inf, 0 / 0) with a negative quiet NaN without payload. Other machines answer
// otherwise (riscv64 drops sign and payload; mips without NaN2008 reads the quiet bit the other
// way round), so wherever a NaN can arise the code forms it here, on bits, unless the machine
// is x86.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "cpu.hpp"

/// The bits of a float, and the float of bits.
inline uint32_t bits_of_float(float x) {
  uint32_t u;
  memcpy(&u, &x, 4);
  return u;
}

inline float float_of_bits(uint32_t u) {
  float x;
  memcpy(&x, &u, 4);
  return x;
}

/// x86's answer to an invalid operation: negative, quiet, no payload.
inline float default_nan() { return float_of_bits(0xffc00000); }

/// The NaN x quieted, as an x86 operation with x as its only NaN operand gives it.
inline float quieted(float nan) { return float_of_bits(bits_of_float(nan) | 0x400000); }

/// True for a NaN that x86 takes for a quiet one.
inline bool quiet_nan(float x) { return (bits_of_float(x) & 0x7fc00000) == 0x7fc00000; }

/// The NaN x in double, as x86 converts it: sign and payload kept, quieted.
inline double widened_nan(float nan) {
  const uint32_t u = bits_of_float(nan);
  const uint64_t w = uint64_t{u >> 31} << 63 | uint64_t{0x7ff8} << 48 |
                     uint64_t{u & 0x3fffff} << 29;
  double x;
  memcpy(&x, &w, 8);
  return x;
}

/// The NaN x rounded to float, as x86 rounds it: sign and the payload's top 22 bits kept,
/// quieted.
inline float narrowed_nan(double nan) {
  uint64_t w;
  memcpy(&w, &nan, 8);
  return float_of_bits(static_cast<uint32_t>(w >> 63) << 31 | 0x7fc00000 |
                      (static_cast<uint32_t>(w >> 29) & 0x3fffff));
}

/// x in double (for printf, say), with x86's NaNs.
inline double widened(float x) { return kX86Nans || !std::isnan(x) ? x : widened_nan(x); }

/// x rounded to float, with x86's NaNs.
inline float narrowed(double x) {
  return kX86Nans || !std::isnan(x) ? static_cast<float>(x) : narrowed_nan(x);
}

/// The float that x86-64's glibc atof gives, narrowed, for a word that it reads as a NaN
/// ("nan", "-NaN", "nan(0x20000000)", ...).
float nan_of_word(const char *word);
