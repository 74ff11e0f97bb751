// The 80-bit arithmetic done in software, against the x87 hardware, on the operations and the
// operands the summary has: floats, their products and differences, sums of those, counts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "extended.hpp"
#include "nans.hpp"
#include "reference.hpp"

namespace {

#if defined(__x86_64__) || defined(__i386__)

SoftExtended soft_of(long double x) {
  uint64_t significand;
  uint16_t top;
  memcpy(&significand, &x, 8);
  memcpy(&top, reinterpret_cast<const char *>(&x) + 8, 2);
  const bool negative = top >> 15;
  const int biased = top & 0x7fff;
  if (biased == 0x7fff)
    return {significand, 0, negative,
            significand << 1 ? SoftExtended::kNan : SoftExtended::kInfinite};
  if (significand == 0) return {0, 0, negative, SoftExtended::kFinite};
  return {significand, biased - 16383, negative, SoftExtended::kFinite};
}

std::string text(SoftExtended a) {
  char s[80];
  snprintf(s, sizeof s, "%s%s %016llx p%d", a.negative ? "-" : "+",
           a.kind == SoftExtended::kNan ? "nan" : a.kind == SoftExtended::kInfinite ? "inf" : "",
           static_cast<unsigned long long>(a.significand), a.exponent);
  return s;
}

bool same(SoftExtended a, SoftExtended b) {
  if (a.kind != b.kind || a.negative != b.negative) return false;
  if (a.kind == SoftExtended::kInfinite) return true;
  return a.significand == b.significand && (a.significand == 0 || a.exponent == b.exponent);
}

// A float drawn so that sums and products of a few of them often land on or next to a rounding
// tie: few significant bits, exponents close together; or any bits at all, NaNs included.
float draw(std::mt19937_64 &rng) {
  const uint64_t r = rng();
  switch (r % 4) {
    case 0: return from_bits(static_cast<uint32_t>(r >> 32));
    case 1: return std::ldexp(static_cast<float>(r >> 40 & 0xff) - 128, (r >> 8 & 31) - 16);
    case 2: return std::ldexp(1.0f + (r >> 40 & 0x7fffff) * 0x1p-23f, (r >> 8 & 63) - 32);
    default: return from_bits((r >> 32 & 0x80000000) | (r >> 8 & 3 ? 0 : 0x7f800000) |
                              static_cast<uint32_t>(r >> 16 & 7));  // zeros, subnormals, inf, NaN
  }
}

// Every step of the summary's arithmetic, software and hardware side by side, on random operands.
TEST(Extended, SoftwareStepsEqualTheHardwareOnes) {
  std::mt19937_64 rng(19);
  const int64_t counts[] = {1, 3, 7, 100, 1 << 24, 3000000001, INT64_MAX};
  for (int i = 0; i < 2000000; i++) {
    const float f[5] = {draw(rng), draw(rng), draw(rng), draw(rng), draw(rng)};
    const long double a = widen(f[0]), d = widen(f[3]) - widen(f[4]);
    const long double steps[] = {a, widen(f[1]) * widen(f[2]), d, d * d, a + d * d,
                                 (a + d * d) / extended_of(counts[i % 7])};
    const SoftExtended sa = soft_widen(f[0]), sd = soft_subtract(soft_widen(f[3]), soft_widen(f[4]));
    const SoftExtended ssq = soft_multiply(sd, sd), ssum = soft_add(sa, ssq);
    const SoftExtended soft[] = {sa, soft_multiply(soft_widen(f[1]), soft_widen(f[2])), sd, ssq,
                                 ssum, soft_divide(ssum, soft_of_integer(counts[i % 7]))};
    for (int k = 0; k < 6; k++) {
      ASSERT_TRUE(same(soft[k], soft_of(steps[k])))
          << "step " << k << ": " << text(soft[k]) << " against " << text(soft_of(steps[k]))
          << " for " << f[0] << " " << f[1] << " " << f[2] << " " << f[3] << " " << f[4];
      ASSERT_EQ(bits(soft_to_float(soft[k])), bits(to_float(steps[k]))) << "step " << k;
      const double sd64 = soft_to_double(soft[k]), hd64 = to_double(steps[k]);
      ASSERT_EQ(0, memcmp(&sd64, &hd64, 8)) << "step " << k;
    }
  }
}

// The cases random operands seldom meet: ties in the 64th bit and in float's and double's last,
// results just inside and outside float's range, and NaNs against NaNs.
TEST(Extended, EdgesEqualTheHardware) {
  const float nan1 = from_bits(0x7fc00001), nan1n = from_bits(0xffc00001),
              snan = from_bits(0x7f800002), nan2n = from_bits(0xffd00000);
  const struct {
    float a, b, c;  // a + b·c
  } cases[] = {
      {1, 0x1p-32f, 0x1p-32f},           // a tie in the 64th bit: to even
      {1, 0x1.8p-32f, 0x1p-32f},         // a tie, rounded up to even
      {-1, 0x1p-33f, 0x1p-32f},          // just under a power of two
      {1, -0x1p-40f, 0x1p-24f},          // a difference that loses the leading bit
      {0x1p24f, 1, 0.5f},                // float's tie, to even
      {0x1.fffffep127f, 0x1p103f, 1},    // float's largest, and its overflow tie
      {0x1p-126f, -0x1p-149f, 1},        // into float's subnormals
      {0x1p-149f, -0x1p-149f, 0.5f},     // half the smallest subnormal
      {INFINITY, -INFINITY, 1}, {0, INFINITY, 0}, {-0.0f, -0.0f, 1}, {1, -1, 1},
      {nan1, nan1n, 1}, {nan1n, nan1, 1}, {nan1, snan, 1}, {nan2n, 1, nan1},
      {1, nan1n, nan1}, {snan, 1, 1},
  };
  for (const auto &k : cases) {
    const long double h = widen(k.a) + widen(k.b) * widen(k.c);
    const SoftExtended s = soft_add(soft_widen(k.a), soft_multiply(soft_widen(k.b), soft_widen(k.c)));
    EXPECT_TRUE(same(s, soft_of(h))) << k.a << " + " << k.b << " × " << k.c << ": " << text(s)
                                     << " against " << text(soft_of(h));
    EXPECT_EQ(bits(soft_to_float(s)), bits(to_float(h))) << k.a << " + " << k.b << " × " << k.c;
  }
  // A difference whose smaller operand loses bits on alignment, next to a tie: full 64-bit
  // operands, as a deviation's square is.
  const long double full[][2] = {{-1, 0x1.0000000000000006p-65L}, {1, -0x1.0000000000000006p-65L},
                                 {1, 0x1.0000000000000006p-65L}, {0x1p63L, -0x1.fffffffffffffffep-3L}};
  for (const auto &k : full)
    EXPECT_TRUE(same(soft_add(soft_of(k[0]), soft_of(k[1])), soft_of(k[0] + k[1])))
        << static_cast<double>(k[0]) << " + " << static_cast<double>(k[1]);
  for (float x : {0.0f, -0.0f, 1.0f, INFINITY, nan1n}) {
    const long double h = widen(x) / extended_of(0);
    EXPECT_TRUE(same(soft_divide(soft_widen(x), soft_of_integer(0)), soft_of(h))) << x << " / 0";
  }
}

// The NaNs formed on bits for other machines, against x86's own: its conversions both ways,
// and its atof on words for NaNs, with payloads too large, too small, not numbers or unclosed.
TEST(Nans, OnBitsEqualTheHardwareOnes) {
  for (uint32_t n : {0x7fc00000u, 0xffc00000u, 0x7fc12345u, 0xff812345u, 0x7f800001u}) {
    const volatile float x = from_bits(n);
    const double wide = x;
    const double bits_wide = widened_nan(x);
    EXPECT_EQ(memcmp(&wide, &bits_wide, 8), 0) << std::hex << n;
    EXPECT_EQ(bits(quieted(x)), bits(x + 0.0f)) << std::hex << n;
  }
  for (uint64_t w : {0x7ff0000000000001ull, 0xfff4000020000000ull, 0x7ffabcdef0123456ull}) {
    volatile double d;
    memcpy(const_cast<double *>(&d), &w, 8);
    EXPECT_EQ(bits(narrowed_nan(d)), bits(static_cast<float>(d))) << std::hex << w;
  }
  for (const char *word : {"nan", " -NaN", "+nan()", "nan(0x20000000)", "NAN(0xABCDEF0123456)",
                           "-nan(0x3fffffe0000000)", "nan(0x10000000000000)", "nan(010000000000)",
                           "nan(99999999999999999999)", "nan(0x)", "nan(1_2)", "nan(0x20000000",
                           "nan(-1)", "nanq"})
    EXPECT_EQ(bits(nan_of_word(word)), bits(static_cast<float>(atof(word)))) << word;
}

#else

TEST(Extended, SoftwareStepsEqualTheHardwareOnes) {
  GTEST_SKIP() << "no 80-bit hardware here to compare with; the x86-64 build compares";
}

TEST(Nans, OnBitsEqualTheHardwareOnes) {
  GTEST_SKIP() << "x86's NaNs are what these follow; the x86-64 build compares";
}

#endif

}  // namespace
