// The vector path of the power for AVX2, built with the flags for it (see CMakeLists.txt): the
// same operations as any_piece, eight values at a time, with each 16-entry table held in
// registers as 32-bit words and looked up by permutes instead of gathers, which many CPUs with
// AVX2 and no AVX-512 run slowly (AMD's before Zen 4; Intel's with the microcode that closes
// the gather data leak).
#include <immintrin.h>

#include <cstring>

#include "power_kernel.hpp"

namespace {

// A table of 16 words in two registers: entries 0-7 and 8-15.
struct Words16 {
  __m256 low, high;
};

// Entry i & 15 for each 32-bit lane of i, where `upper` has bit 3 of i in each lane's sign bit.
inline __attribute__((always_inline)) __m256 lookup(const Words16 &t, __m256i i, __m256 upper) {
  const __m256 low = _mm256_permutevar8x32_ps(t.low, i), high = _mm256_permutevar8x32_ps(t.high, i);
  // The blend by hand: GCC 12 makes _mm256_blendv_ps a choice on upper < 0, and then a full mask
  // of it by one more comparison.
  __m256 r;
  asm("vblendvps %3, %2, %1, %0" : "=x"(r) : "x"(low), "x"(high), "x"(upper));
  return r;
}

// The doubles of power_tables as 32-bit words: the table of 1/c in floats (each 1/c is one),
// and those of log2 c and of the scales split into their low and high words.
struct Tables {
  Words16 invc, logc_low, logc_high, scale_low, scale_high;
};

Tables tables() {
  const PowerTables &P = power_tables;
  alignas(32) uint32_t w[5][16];
  for (int j = 0; j < 16; j++) {
    const float invc = static_cast<float>(P.invc[j]);
    memcpy(&w[0][j], &invc, 4);
    const uint64_t logc = bits_of(P.logc[j]), scale = P.scale[j];
    w[1][j] = static_cast<uint32_t>(logc), w[2][j] = static_cast<uint32_t>(logc >> 32);
    w[3][j] = static_cast<uint32_t>(scale), w[4][j] = static_cast<uint32_t>(scale >> 32);
  }
  auto words = [&](int k) {
    return Words16{_mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<__m256i *>(w[k]))),
                   _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<__m256i *>(w[k] + 8)))};
  };
  return {words(0), words(1), words(2), words(3), words(4)};
}

// Doubles from the low words of `low` and the high words of `high`, lanes 0, 1, 4 and 5 (first)
// and 2, 3, 6 and 7 (second): the order in which _mm256_unpack*_ps takes them.
inline __attribute__((always_inline)) void doubles(__m256 low, __m256 high, __m256d *first,
                                                   __m256d *second) {
  *first = _mm256_castps_pd(_mm256_unpacklo_ps(low, high));
  *second = _mm256_castps_pd(_mm256_unpackhi_ps(low, high));
}

// t = y·log2 x for four values, as power_exponent forms it.
inline __attribute__((always_inline)) __m256d exponent4(const PowerTables &P, __m128 z,
                                                        __m128 invc, __m128i k, __m256d logc,
                                                        __m256d y) {
  const __m256d r =
      _mm256_fmsub_pd(_mm256_cvtps_pd(z), _mm256_cvtps_pd(invc), _mm256_set1_pd(1.0));
  __m256d p = _mm256_set1_pd(P.log_coef[7]);
  for (int j = 6; j >= 0; j--) p = _mm256_fmadd_pd(p, r, _mm256_set1_pd(P.log_coef[j]));
  const __m256d l = _mm256_add_pd(_mm256_fmadd_pd(r, p, logc), _mm256_cvtepi32_pd(k));
  return _mm256_mul_pd(l, y);
}

// 2^t for four values, as power_of_two forms it, from the scale its table gives, and the
// floats to which the double less and plus the window round: where they are the same float,
// it is x^y's (the values being positive and normal). Where |t| >= kPowerReach, *below is +0
// and *above a NaN, never the same.
inline __attribute__((always_inline)) void power4(const PowerTables &P, __m256d t, __m256d kd,
                                                  __m256d scale_bits, const Window &w,
                                                  __m128 *below, __m128 *above) {
  const __m256d shift = _mm256_set1_pd(kExpShift);
  const __m256d f = _mm256_sub_pd(t, _mm256_sub_pd(kd, shift));
  const __m256d scale = _mm256_castsi256_pd(_mm256_add_epi64(
      _mm256_castpd_si256(scale_bits), _mm256_slli_epi64(_mm256_castpd_si256(kd), 48)));
  __m256d h = _mm256_set1_pd(P.exp_coef[4]);
  for (int j = 3; j >= 0; j--) h = _mm256_fmadd_pd(h, f, _mm256_set1_pd(P.exp_coef[j]));
  const __m256d v = _mm256_fmadd_pd(_mm256_mul_pd(scale, f), h, scale);
  const __m256d abs_t = _mm256_andnot_pd(_mm256_set1_pd(-0.0), t);
  const __m256d window = _mm256_mul_pd(
      _mm256_fmadd_pd(_mm256_set1_pd(w.a), abs_t, _mm256_set1_pd(w.b)), v);
  const __m256d out = _mm256_cmp_pd(abs_t, _mm256_set1_pd(kPowerReach), _CMP_NLT_UQ);
  *below = _mm256_cvtpd_ps(_mm256_andnot_pd(out, _mm256_sub_pd(v, window)));
  *above = _mm256_cvtpd_ps(_mm256_or_pd(out, _mm256_add_pd(v, window)));
}

// Unsigned u - low < count for each 32-bit lane, in a signed comparison: flipping the sign bit
// of u - low is adding 2^31, the same as subtracting low ^ 2^31.
inline __attribute__((always_inline)) __m256i within(__m256i u, uint32_t low, uint32_t count) {
  return _mm256_cmpgt_epi32(
      _mm256_set1_epi32(static_cast<int>(count ^ 0x80000000u)),
      _mm256_sub_epi32(u, _mm256_set1_epi32(static_cast<int>(low ^ 0x80000000u))));
}

// The first loop's work for eight values from `from`: their t into t[0..7], and bit i of
// *normal and *kept for value i positive and normal, and not skipped for the guard.
inline __attribute__((always_inline)) void exponents8(const Tables &T, const PowerTables &P,
                                                      const float *from, __m256d y,
                                                      bool guarded, double *t, uint8_t *normal,
                                                      uint8_t *kept) {
  const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
  *normal = static_cast<uint8_t>(
      _mm256_movemask_ps(_mm256_castsi256_ps(within(u, 0x00800000, 0x7f000000))));
  // A negative value, which with a guard counts as +0: -0 and NaNs are not negative.
  *kept = guarded ? static_cast<uint8_t>(~_mm256_movemask_ps(
                        _mm256_castsi256_ps(within(u, 0x80000001u, 0x7f800000))))
                  : 0xff;
  const __m256i tmp = _mm256_sub_epi32(u, _mm256_set1_epi32(static_cast<int>(kLogOffset)));
  const __m256i interval = _mm256_srli_epi32(tmp, 19);  // bits 19-22 of tmp, 22 being bit 3
  const __m256i upper = _mm256_slli_epi32(tmp, 9);
  const __m256i k = _mm256_srai_epi32(tmp, 23);
  const __m256 z = _mm256_castsi256_ps(_mm256_sub_epi32(
      u, _mm256_and_si256(tmp, _mm256_set1_epi32(static_cast<int>(0xff800000)))));
  const __m256 invc = lookup(T.invc, interval, _mm256_castsi256_ps(upper));
  // log2 c as doubles in the order of z: its words looked up for lanes 0, 1, 4, 5, 2, 3, 6, 7.
  const __m256i order = _mm256_permute4x64_epi64(interval, 0xd8);
  const __m256 order_upper = _mm256_castsi256_ps(_mm256_permute4x64_epi64(upper, 0xd8));
  __m256d logc0, logc1;
  doubles(lookup(T.logc_low, order, order_upper), lookup(T.logc_high, order, order_upper), &logc0,
          &logc1);
  _mm256_store_pd(t, exponent4(P, _mm256_castps256_ps128(z), _mm256_castps256_ps128(invc),
                               _mm256_castsi256_si128(k), logc0, y));
  _mm256_store_pd(t + 4, exponent4(P, _mm256_extractf128_ps(z, 1), _mm256_extractf128_ps(invc, 1),
                                   _mm256_extracti128_si256(k, 1), logc1, y));
}

// The second loop's work for eight values: their floats from their t, and bit i of the result
// set where value i's double decides its float.
inline __attribute__((always_inline)) uint8_t powers8(const Tables &T, const PowerTables &P,
                                                      const double *t, const Window &w,
                                                      float *to) {
  const __m256d shift = _mm256_set1_pd(kExpShift);
  const __m256d t0 = _mm256_load_pd(t), t1 = _mm256_load_pd(t + 4);
  const __m256d kd0 = _mm256_add_pd(t0, shift), kd1 = _mm256_add_pd(t1, shift);
  // The low words of kd, 16·t rounded, for lanes 0, 1, 4, 5, 2, 3, 6, 7: the order in which
  // `doubles` gives back the scales of lanes 0-3 and 4-7.
  const __m256i i = _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castpd_ps(kd0), _mm256_castpd_ps(kd1), 0x88));
  const __m256 upper = _mm256_castsi256_ps(_mm256_slli_epi32(i, 28));
  __m256d scale0, scale1;
  doubles(lookup(T.scale_low, i, upper), lookup(T.scale_high, i, upper), &scale0, &scale1);
  __m128 below0, above0, below1, above1;
  power4(P, t0, kd0, scale0, w, &below0, &above0);
  power4(P, t1, kd1, scale1, w, &below1, &above1);
  const __m256 below = _mm256_insertf128_ps(_mm256_castps128_ps256(below0), below1, 1);
  const __m256 above = _mm256_insertf128_ps(_mm256_castps128_ps256(above0), above1, 1);
  _mm256_storeu_ps(to, below);
  return static_cast<uint8_t>(_mm256_movemask_ps(_mm256_castsi256_ps(
      _mm256_cmpeq_epi32(_mm256_castps_si256(below), _mm256_castps_si256(above)))));
}

}  // namespace

// In two loops, the exponents t first, so that each loop's chains of dependent steps are short
// enough for the processor to overlap several groups of values.
void power_piece4(const float *x, float y, const Window &w, float *out, uint16_t *undecided,
                  int n, bool guarded) {
  static const Tables T = tables();
  const PowerTables &P = power_tables;
  const __m256d yd = _mm256_set1_pd(y);
  alignas(32) double t[1024];
  // Per 8 values, bit i for value i: positive and normal; not skipped for the guard.
  uint8_t normal[128], kept[128];
  // Left to powf: not skipped, and not positive, normal and decided; a byte per 8 values, in
  // the order of the bits of `undecided` on this little-endian machine.
  uint8_t *open = reinterpret_cast<uint8_t *>(undecided);
  const int whole = n / 8, left = n - whole * 8;
  alignas(32) float tail[8] = {1, 1, 1, 1, 1, 1, 1, 1};  // the last, partial group; 1 past n
  memcpy(tail, x + whole * 8, left * 4);
  for (int g = 0; g < whole; g++)
    exponents8(T, P, x + g * 8, yd, guarded, t + g * 8, normal + g, kept + g);
  if (left) exponents8(T, P, tail, yd, guarded, t + whole * 8, normal + whole, kept + whole);
  for (int g = 0; g < whole; g++)
    open[g] = kept[g] & ~(normal[g] & powers8(T, P, t + g * 8, w, out + g * 8));
  if (left) {
    const uint8_t decided = powers8(T, P, t + whole * 8, w, tail);
    open[whole] = kept[whole] & ~(normal[whole] & decided) & ((1u << left) - 1);
    memcpy(out + whole * 8, tail, left * 4);
  }
  const int groups = whole + (left > 0);
  if (groups % 2) open[groups] = 0;  // the rest of the last 16 values' bits
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
