#include "product.hpp"

#include <cmath>

bool is_whole_exponent(float p) {
  return p >= -2147483648.0f && p < 2147483648.0f && p == std::trunc(p);
}

void power_product(float *data1, float *data2, int64_t count, float power1, float power2) {
  // powf gives NaN for a negative base and a non-integral exponent; such bases count as +0.
  const bool guard1 = !is_whole_exponent(power1);
  const bool guard2 = !is_whole_exponent(power2);
  for (int64_t i = 0; i < count; i++) {
    if (guard1 && data1[i] < 0) data1[i] = 0.0f;
    if (guard2 && data2[i] < 0) data2[i] = 0.0f;
    data1[i] = powf(data1[i], power1) * powf(data2[i], power2);
  }
}
