// The straightforward kernels linked into the program in place of the fast ones: the baseline
// that the benchmarks compare against, computing exactly what the tests' oracle computes.
#include "product.hpp"
#include "reference.hpp"
#include "summary.hpp"

#include <cstdio>

void power_product(float *data1, float *data2, int64_t count, float power1, float power2, int) {
  reference_power_product(data1, data2, count, power1, power2);
}

Summary summarize(const float *data, int64_t count, bool, int) {
  return reference_summarize(data, count);
}

void print_summary(const Summary &s) {
  printf("max = %g min = %g\n", s.max, s.min);
  printf("mean = %g rms = %g rmsd = %g\n", s.mean, s.rms, s.rmsd);
}
