// The summary's passes in vectors of 8 doubles, built with the flags for AVX-512 (see
// CMakeLists.txt).
#include "summary_kernel.hpp"

float summary_pass8(float total, const float *data, int64_t count, Term term, float mean,
                    float *max, float *min) {
  return any_pass(total, data, count, term, mean, max, min);
}
