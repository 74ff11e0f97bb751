// The vector path of the power for AVX-512, built with the flags for it (see CMakeLists.txt):
// the same operations as any_piece, 16 values at a time, with each 16-entry table held in two
// registers and looked up by a two-register permute instead of a gather.
// GCC 12 warns of the intrinsics' own undefined-vector idiom (fixed in GCC 13).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "power_kernel.hpp"

namespace {

struct Tables {
  __m512d invc0, invc1, logc0, logc1, coef[8], exp[5];
  __m512i scale0, scale1;
};

inline __attribute__((always_inline)) __m512d from_table(__m512d t0, __m512d t1, __m512i i) {
  return _mm512_permutex2var_pd(t0, i, t1);  // entry i & 15
}

// t = y·log2 x for eight of the values, from their 32-bit lanes z and k, with the interval in
// `interval`.
inline __attribute__((always_inline)) __m512d exponent8(const Tables &T, __m256 z, __m256i k,
                                                        __m256i interval, __m512d y) {
  const __m512i i = _mm512_cvtepu32_epi64(interval);
  const __m512d r = _mm512_fmsub_pd(_mm512_cvtps_pd(z), from_table(T.invc0, T.invc1, i),
                                    _mm512_set1_pd(1.0));
  __m512d p = T.coef[7];
  for (int j = 6; j >= 0; j--) p = _mm512_fmadd_pd(p, r, T.coef[j]);
  const __m512d l = _mm512_add_pd(_mm512_fmadd_pd(r, p, from_table(T.logc0, T.logc1, i)),
                                  _mm512_cvtepi32_pd(k));
  return _mm512_mul_pd(l, y);
}

// x^y as a float for eight values, and which of them it decides (the values being positive
// and normal).
inline __attribute__((always_inline)) __m256 power8(const Tables &T, __m512d t, const Window &w,
                                                    __mmask8 *decided) {
  const __m512d shift = _mm512_set1_pd(kExpShift);
  const __m512d kd = _mm512_add_pd(t, shift);
  const __m512i n = _mm512_castpd_si512(kd);
  const __m512d f = _mm512_sub_pd(t, _mm512_sub_pd(kd, shift));
  const __m512d scale = _mm512_castsi512_pd(_mm512_add_epi64(
      _mm512_permutex2var_epi64(T.scale0, n, T.scale1), _mm512_slli_epi64(n, 48)));
  __m512d h = T.exp[4];
  for (int j = 3; j >= 0; j--) h = _mm512_fmadd_pd(h, f, T.exp[j]);
  const __m512d v = _mm512_fmadd_pd(_mm512_mul_pd(scale, f), h, scale);

  // As power_decided tells: v less and plus the window, rounded to floats, the same float.
  const __m512d abs_t = _mm512_abs_pd(t);
  const __m512d window = _mm512_mul_pd(
      _mm512_fmadd_pd(_mm512_set1_pd(w.a), abs_t, _mm512_set1_pd(w.b)), v);
  const __mmask8 reach = _mm512_cmp_pd_mask(abs_t, _mm512_set1_pd(kPowerReach), _CMP_LT_OQ);
  const __m256 below = _mm512_cvtpd_ps(_mm512_maskz_sub_pd(reach, v, window));
  const __m256 above = _mm512_cvtpd_ps(_mm512_add_pd(v, window));
  *decided = _mm256_mask_cmpeq_epi32_mask(reach, _mm256_castps_si256(below),
                                          _mm256_castps_si256(above));
  return below;
}

}  // namespace

// In two loops, the exponents t first, so that each loop's chains of dependent steps are short
// enough for the processor to overlap several groups of values.
void power_piece8(const float *x, float y, const Window &w, float *out, uint16_t *undecided,
                  int n, bool guarded) {
  const PowerTables &P = power_tables;
  Tables T;
  T.invc0 = _mm512_loadu_pd(P.invc), T.invc1 = _mm512_loadu_pd(P.invc + 8);
  T.logc0 = _mm512_loadu_pd(P.logc), T.logc1 = _mm512_loadu_pd(P.logc + 8);
  T.scale0 = _mm512_loadu_si512(P.scale), T.scale1 = _mm512_loadu_si512(P.scale + 8);
  for (int j = 0; j < 8; j++) T.coef[j] = _mm512_set1_pd(P.log_coef[j]);
  for (int j = 0; j < 5; j++) T.exp[j] = _mm512_set1_pd(P.exp_coef[j]);
  const __m512d yd = _mm512_set1_pd(y);
  double t[1024];
  uint16_t skip[64];  // negative values that count as +0
  for (int g = 0; g * 16 < n; g++) {
    const int left = n - g * 16;
    const __mmask16 lanes = left >= 16 ? 0xffff : static_cast<__mmask16>((1u << left) - 1);
    const __m512i u = _mm512_maskz_loadu_epi32(lanes, x + g * 16);
    // x positive and normal
    const __mmask16 normal = _mm512_mask_cmplt_epu32_mask(
        lanes, _mm512_sub_epi32(u, _mm512_set1_epi32(0x00800000)),
        _mm512_set1_epi32(0x7f000000));
    skip[g] = guarded ? _mm512_mask_cmplt_epu32_mask(
                            lanes, _mm512_sub_epi32(u, _mm512_set1_epi32(0x80000001u)),
                            _mm512_set1_epi32(0x7f800000))
                      : 0;
    undecided[g] = static_cast<uint16_t>(~(normal | skip[g]) & lanes);
    const __m512i tmp = _mm512_sub_epi32(u, _mm512_set1_epi32(kLogOffset));
    const __m512i interval = _mm512_srli_epi32(tmp, 19);
    const __m512i k = _mm512_srai_epi32(tmp, 23);
    const __m512 z = _mm512_castsi512_ps(_mm512_sub_epi32(
        u, _mm512_and_si512(tmp, _mm512_set1_epi32(static_cast<int>(0xff800000)))));
    _mm512_storeu_pd(t + g * 16, exponent8(T, _mm512_castps512_ps256(z),
                                           _mm512_castsi512_si256(k),
                                           _mm512_castsi512_si256(interval), yd));
    _mm512_storeu_pd(t + g * 16 + 8,
                     exponent8(T, _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(z), 1)),
                               _mm512_extracti64x4_epi64(k, 1),
                               _mm512_extracti64x4_epi64(interval, 1), yd));
  }
  for (int g = 0; g * 16 < n; g++) {
    const int left = n - g * 16;
    const __mmask16 lanes = left >= 16 ? 0xffff : static_cast<__mmask16>((1u << left) - 1);
    __mmask8 d0, d1;
    const __m256 v0 = power8(T, _mm512_loadu_pd(t + g * 16), w, &d0);
    const __m256 v1 = power8(T, _mm512_loadu_pd(t + g * 16 + 8), w, &d1);
    const __m512 v = _mm512_insertf32x8(_mm512_castps256_ps512(v0), v1, 1);
    _mm512_mask_storeu_ps(out + g * 16, lanes, v);
    undecided[g] |= static_cast<uint16_t>(~(d0 | (d1 << 8) | skip[g]) & lanes);
  }
}

void shortcut_piece8(Shortcut s, const float *x, float *out, uint16_t *undecided, int n,
                     bool guarded) {
  shortcut_for(s, x, out, undecided, n, guarded);
}

void combine_piece16(float *a, float *b, const float *pa, const float *pb, const Guards &g,
                     int n) {
  combine_any(a, b, pa, pb, g, n);
}

bool plain_piece16(float *a, const float *b, int n) { return plain_any(a, b, n); }
