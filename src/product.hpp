// The element-wise product of two powers.
#pragma once

#include <cstdint>

/// True when `p` is a whole exponent: not NaN, in [-2^31, 2^31) and equal to its truncation.
bool is_whole_exponent(float p);

/// True when both exponents are 1 or 0, whose products cost less to form than to keep.
bool cheap_powers(float power1, float power2);

/// The number of CPUs this process may run on (its affinity mask).
int usable_cpus();

/// Replaces each data1[i] with powf(data1[i], power1) * powf(data2[i], power2), where a negative
/// value whose exponent is not whole first becomes +0 (stored back into its array). Spreads the
/// work over `threads` threads, or over the usable CPUs when `threads` is 0; the result is the
/// same bit for bit either way.
void power_product(float *data1, float *data2, int64_t count, float power1, float power2,
                   int threads = 0);
