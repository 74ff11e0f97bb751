// The vector path of the power for AVX2, built with the flags for it (see CMakeLists.txt).
#include "power_kernel.hpp"

void power_piece4(const float *x, float y, const Window &w, float *out, uint16_t *undecided,
                  int n) {
  any_piece(x, y, w, out, undecided, n);
}

void shortcut_piece4(Shortcut s, const float *x, float *out, uint16_t *undecided, int n) {
  shortcut_for(s, x, out, undecided, n);
}
