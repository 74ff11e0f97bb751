// The vector path of the power for AVX-512, built with the flags for it (see CMakeLists.txt).
#include "power_kernel.hpp"

void power_piece8(const float *x, float y, const Window &w, float *out, uint32_t *undecided,
                  int n) {
  any_piece(x, y, w, out, undecided, n);
}
