// Deciding, from a double approximation, how a value rounds to float.
#pragma once

#include <cstdint>
#include <cstring>

/// True when `t` lies in the normal float range and no float tie (a midpoint between two
/// adjacent floats) is within `slack` units in the last place of `t`: then every value that
/// close to `t` rounds to the same float as `t`.
inline bool far_from_float_tie(double t, uint64_t slack) {
  uint64_t u;
  memcpy(&u, &t, sizeof u);
  const uint64_t exponent = (u >> 52) & 0x7ff;
  const uint64_t below_float = u & 0x1fffffff;  // the 29 low bits that a float does not keep
  // Bitwise: no branch for the compiler to make of it.
  return (exponent >= 1023 - 126) & (exponent < 1023 + 128) &
         (below_float - (0x10000000 - slack) > 2 * slack);  // unsigned: |low - tie| > slack
}
