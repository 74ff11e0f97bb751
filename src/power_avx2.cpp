// The vector path of the power for AVX2, built with the flags for it (see CMakeLists.txt).
#include "power_kernel.hpp"

void power_piece4(const float *x, float y, const Window &w, float *out, uint16_t *undecided,
                  int n, bool guarded) {
  any_piece(x, y, w, out, undecided, n, guarded);
}

void shortcut_piece4(Shortcut s, const float *x, float *out, uint16_t *undecided, int n,
                     bool guarded) {
  shortcut_for(s, x, out, undecided, n, guarded);
}

void combine_piece8(float *a, float *b, const float *pa, const float *pb, const Guards &g,
                    int n) {
  combine_any(a, b, pa, pb, g, n);
}

bool plain_piece8(float *a, const float *b, int n) { return plain_any(a, b, n); }
