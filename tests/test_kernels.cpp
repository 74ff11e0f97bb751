// power_product and summarize against the straightforward computation, bit for bit.
#include <gtest/gtest.h>

#include <cfloat>
#include <random>
#include <string>
#include <vector>

#include "product.hpp"
#include "reference.hpp"
#include "summary.hpp"

namespace {

const std::vector<float> kSpecialValues = {
    0.0f, -0.0f, INFINITY, -INFINITY,
    from_bits(0x7fc00000), from_bits(0xffc00000),   // quiet NaNs
    from_bits(0x7fa00001), from_bits(0xff812345),   // signalling NaNs
    from_bits(0x00000001), from_bits(0x807fffff),   // subnormals
    FLT_MIN, -FLT_MIN, 1.0f, -1.0f, FLT_MAX, -FLT_MAX,
    -3.0f, -4.0f, 2.0f, 0.5f, -0.75f, 3.14159f, -1e-20f, 7e30f};

const std::vector<float> kSpecialExponents = {
    0.0f, -0.0f, 1.0f, -1.0f, 2.0f, -2.0f, 3.0f, 0.5f, -0.5f, 2.5f, -1.3f, 3e9f,
    -2147483648.0f, 2147483648.0f, 16777217.0f, kQuietNan, INFINITY, -INFINITY};

// Every special value meets every other, so each array sees all of them.
void special_pairs(std::vector<float> &a, std::vector<float> &b) {
  for (float x : kSpecialValues)
    for (float y : kSpecialValues) a.push_back(x), b.push_back(y);
}

void expect_same_bits(const std::vector<float> &got, const std::vector<float> &want,
                      const std::string &what) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); i++)
    ASSERT_EQ(bits(got[i]), bits(want[i])) << what << " at " << i << ": " << got[i] << " vs "
                                           << want[i];
}

TEST(WholeExponent, Boundaries) {
  struct { float p; bool whole; } cases[] = {
      {0.0f, true}, {-0.0f, true}, {1.0f, true}, {-7.0f, true}, {0.5f, false}, {-2.5f, false},
      {-2147483648.0f, true}, {2147483648.0f, false}, {-2147483904.0f, false}, {3e9f, false},
      {2147483520.0f, true}, {kQuietNan, false}, {default_nan(), false}, {INFINITY, false},
      {-INFINITY, false}};
  for (auto c : cases) EXPECT_EQ(is_whole_exponent(c.p), c.whole) << c.p;
}

TEST(PowerProduct, SpecialValuesCrossSpecialExponents) {
  std::vector<float> a0, b0;
  special_pairs(a0, b0);
  for (float p1 : kSpecialExponents)
    for (float p2 : kSpecialExponents) {
      std::vector<float> a = a0, b = b0, ra = a0, rb = b0;
      power_product(a.data(), b.data(), a.size(), p1, p2);
      reference_power_product(ra.data(), rb.data(), ra.size(), p1, p2);
      const std::string what = "powers " + std::to_string(p1) + ", " + std::to_string(p2);
      expect_same_bits(a, ra, what + " product");
      expect_same_bits(b, rb, what + " guarded second array");
    }
}

TEST(PowerProduct, WorkedExamples) {
  struct { float x, y, p1, p2; uint32_t want; } cases[] = {
      {-3, 5, 1, 1, bits(-15.0f)},             // plain product, sign kept
      {-3, 1, 2, 1, bits(9.0f)},               // whole exponents never guard
      {-4, -2, 0.5f, 1, bits(-0.0f)},          // guarded to +0, sign of the second factor
      {-4, INFINITY, 0.5f, 1, 0xffc00000},     // +0 times infinity: the default NaN
      {3, -4, 1, -0.5f, bits(INFINITY)},       // powf(+0, -0.5) is +inf
      {-0.0f, 2, 0.5f, 1, bits(0.0f)},         // -0 is not guarded; powf gives +0
      {kQuietNan, 2, 0, 1, bits(2.0f)},        // anything to the 0 is 1
      {-5, 2, 3e9f, 1, bits(0.0f)},            // beyond 32 bits: not whole
      {-1, 2, -2147483648.0f, 1, bits(2.0f)},  // exactly -2^31: whole
      {1, 2, kQuietNan, 1, bits(2.0f)},        // 1 to anything is 1
  };
  for (auto c : cases) {
    float x = c.x, y = c.y;
    power_product(&x, &y, 1, c.p1, c.p2);
    EXPECT_EQ(bits(x), c.want) << c.x << "^" << c.p1 << " * " << c.y << "^" << c.p2;
  }
}

// Random values from every class: ordinary, tiny, huge, zeros, infinities and NaNs of both signs.
std::vector<float> random_values(size_t n, uint32_t seed, bool with_nans) {
  std::mt19937 rng(seed);
  std::vector<float> v(n);
  for (float &x : v) {
    const uint32_t r = rng();
    switch (r % 16) {
      case 0: x = from_bits(rng()); break;  // any pattern, NaNs included
      case 1: x = kSpecialValues[rng() % kSpecialValues.size()]; break;
      case 2: x = std::ldexp(float(rng() % 1000), -140); break;  // subnormal range
      default: x = std::ldexp(float(int32_t(rng()) >> 8), int(rng() % 40) - 30);
    }
    if (!with_nans && std::isnan(x)) x = 1.5f;
  }
  return v;
}

// Lengths around the product's chunks of 2^16 values and the summary's threading threshold of
// 2^18, over thread counts of one, two and more than there are CPUs.
TEST(PowerProduct, ChunkAndThreadBoundaries) {
  const int64_t chunk = 1 << 16;
  const std::vector<float> a0 = random_values(4 * chunk + 3, 5, true);
  const std::vector<float> b0 = random_values(4 * chunk + 3, 6, true);
  for (int64_t n : {int64_t{0}, int64_t{1}, chunk - 1, chunk, chunk + 1, 2 * chunk + 1,
                    3 * chunk - 1, 4 * chunk, 4 * chunk + 3}) {
    for (auto [p1, p2] : {std::pair{1.0f, 1.0f}, {2.0f, 0.5f}, {2.5f, -1.3f}}) {
      std::vector<float> ra(a0.begin(), a0.begin() + n), rb(b0.begin(), b0.begin() + n);
      reference_power_product(ra.data(), rb.data(), n, p1, p2);
      for (int threads : {1, 2, 3, 2 * usable_cpus() + 1}) {
        std::vector<float> a(a0.begin(), a0.begin() + n), b(b0.begin(), b0.begin() + n);
        power_product(a.data(), b.data(), n, p1, p2, threads);
        expect_same_bits(a, ra, std::to_string(n) + " values on " + std::to_string(threads) +
                                    " threads");
        if (HasFailure()) return;
      }
    }
  }
}

void expect_same_summary(const Summary &got, const Summary &want, const std::string &what) {
  EXPECT_EQ(bits(got.max), bits(want.max)) << what << " max";
  EXPECT_EQ(bits(got.min), bits(want.min)) << what << " min";
  EXPECT_EQ(bits(got.mean), bits(want.mean)) << what << " mean";
  EXPECT_EQ(bits(got.rms), bits(want.rms)) << what << " rms";
  EXPECT_EQ(bits(got.rmsd), bits(want.rmsd)) << what << " rmsd";
}

// Every way the summary can be computed here (vectors of 2, 4 and 8 doubles where the CPU runs
// them; one thread or two) against the straightforward computation.
void expect_summary_matches(const std::vector<float> &v, const std::string &what) {
  const Summary want = reference_summarize(v.data(), v.size());
  for (int lanes = 2; lanes <= widest_lanes(); lanes *= 2)
    for (bool threaded : {false, true})
      expect_same_summary(summarize(v.data(), v.size(), threaded, lanes), want,
                          what + ", " + std::to_string(lanes) + " lanes" +
                              (threaded ? ", threaded" : ""));
}

TEST(Summarize, RandomArraysMatchReference) {
  for (uint32_t seed = 1; seed <= 40; seed++) {
    const size_t n = (seed * 7919) % 5000;
    for (bool nans : {false, true}) {
      const std::vector<float> v = random_values(n, seed, nans);
      expect_summary_matches(v, "seed " + std::to_string(seed));
    }
  }
}

TEST(Summarize, ThreadedEqualsSequential) {
  for (int64_t n : {(1 << 18) - 1, 1 << 18, (1 << 18) + 1, 3 << 17}) {
    const std::vector<float> v = random_values(n, 8, n % 2);
    const Summary want = reference_summarize(v.data(), n);
    expect_same_summary(summarize(v.data(), n, true), want, "threaded " + std::to_string(n));
    expect_same_summary(summarize(v.data(), n, false), want, "sequential " + std::to_string(n));
  }
}

// Pairs [a, x] where a*a + x*x falls next to the midpoint of two adjacent floats, the case where
// rounding twice (to 64 bits, then to 24) decides the last bit of the sum of squares.
// Many NaNs of a few payloads, both signs of the same significand among them, and infinities:
// the cases where a NaN total meets NaN terms.
TEST(Summarize, NanHeavyArraysMatchReference) {
  const float nans[] = {from_bits(0x7fc00000), from_bits(0xffc00000), from_bits(0x7fc00001),
                        from_bits(0xffc00001), from_bits(0x7fa00000), from_bits(0xff800001),
                        from_bits(0x7fffffff)};
  for (uint32_t seed = 1; seed <= 60; seed++) {
    std::vector<float> v = random_values(3000 + seed, seed, false);
    std::mt19937 rng(seed);
    for (float &x : v) {
      const uint32_t r = rng() % 100;
      if (r < 30) x = nans[rng() % 7];
      else if (r < 33) x = r == 30 ? INFINITY : -INFINITY;
    }
    if (seed % 3 == 0) v.erase(v.begin() + 1, v.begin() + 1 + v.size() / 2);  // NaNs later on
    if (seed % 5 == 0) std::fill(v.begin(), v.begin() + v.size() / 3, 1.0f);
    expect_summary_matches(v, "seed " + std::to_string(seed));
  }
}

// Totals are added a block of values at a time while they stay within one binade and no term
// lies next to a rounding tie. Data that takes them through binades both ways, across zero,
// onto ties, through huge and tiny terms, and long stretches where every block is decided.
TEST(Summarize, BlocksThroughBinadesTiesAndSigns) {
  struct Case {
    const char *name;
    size_t n;
    float (*value)(std::mt19937 &, size_t);
  };
  const Case cases[] = {
      {"products of uniform values", 100000 + 77,
       [](std::mt19937 &r, size_t) { return float(r() % (1 << 24)) * 0x1p-20f; }},
      {"coarse grid", 30011,
       [](std::mt19937 &r, size_t) { return std::ldexp(float(r() % 7 + 1), int(r() % 7) - 3); }},
      {"coarse grid, signed", 30011,
       [](std::mt19937 &r, size_t) {
         const float x = std::ldexp(float(r() % 7 + 1), int(r() % 7) - 3);
         return r() % 3 ? x : -x;
       }},
      {"small integers", 40000, [](std::mt19937 &r, size_t) { return float(r() % 10); }},
      {"signed, around zero", 30000,
       [](std::mt19937 &r, size_t) { return float(int(r() % 2001) - 1000) * 0.001f; }},
      {"2^24 then ones", 20000, [](std::mt19937 &, size_t i) { return i ? 1.0f : 0x1p24f; }},
      {"sums resting on 2^24 and -2^24, a term of the other sign now and then", 40000,
       [](std::mt19937 &r, size_t i) {
         const float sign = i < 20000 ? 1.0f : -1.0f;
         if (i % 20000 == 0) return sign * 0x1p24f - (i ? 0x1p24f : 0.0f);
         return sign * (i % 3001 == 0 ? -0.6f : i % 4001 == 0 ? 1.5f : float(r() % 1000) * 0.001f);
       }},
      {"squares resting on 2^24, now and then climbing off it", 40000,
       [](std::mt19937 &r, size_t i) {
         return i == 0 ? 4096.0f : i % 7001 == 0 ? 1.5f : float(r() % 1000) * 0.001f;
       }},
      {"hovering at 2^20", 30000,
       [](std::mt19937 &r, size_t i) {
         return i == 0 ? 0x1p20f : float(int(r() % 65) - 32) * 0x1p-4f;
       }},
      {"dipping below 2^20 and back within blocks", 30000,
       [](std::mt19937 &r, size_t i) {
         const float sign = i % 256 < 128 ? -1.0f : 1.0f;
         return i == 0 ? 0x1p20f + 150 : sign * (1 + float(r() % (1 << 20)) * 0x1p-21f);
       }},
      {"rising above -2^20 and back within blocks", 30000,
       [](std::mt19937 &r, size_t i) {
         const float sign = i % 256 < 128 ? 1.0f : -1.0f;
         return i == 0 ? -0x1p20f - 150 : sign * (1 + float(r() % (1 << 20)) * 0x1p-21f);
       }},
      {"hovering at -2^20", 30000,
       [](std::mt19937 &r, size_t i) {
         return i == 0 ? -0x1p20f : float(int(r() % 65) - 32) * 0x1p-4f;
       }},
      {"rare huge, infinite and NaN terms", 30000,
       [](std::mt19937 &r, size_t i) {
         if (i % 4099 == 4000) return i % 3 ? 1e30f : i % 2 ? INFINITY : kQuietNan;
         return float(r() % 1000) * 0.01f;
       }},
      {"tiny", 20000,
       [](std::mt19937 &r, size_t) { return std::ldexp(float(r() % 1000), int(r() % 40) - 150); }},
      {"totals below the normal range", 20000,
       [](std::mt19937 &r, size_t) { return std::ldexp(float(r() % 16), int(r() % 8) - 149); }},
      {"negative and falling", 30000,
       [](std::mt19937 &r, size_t i) {
         return i == 0 ? -1000.0f : float(int(r() % (3 << 16)) - (2 << 16)) * 0x1p-16f;
       }},
      {"falling through 2^10", 30000,
       [](std::mt19937 &r, size_t i) {
         return i == 0 ? 1100.0f : float(int(r() % (3 << 16)) - (2 << 16)) * 0x1p-20f;
       }},
      {"a few units above 1", 60000,
       [](std::mt19937 &r, size_t i) {
         const float steps[] = {-0x1p-23f, -0x3p-26f, 0x3p-26f, 0x1p-23f};
         return i == 0 ? 1.0f + 0x1p-22f : r() % 64 ? 0.0f : steps[r() % 4];
       }},
      {"a few units below 1", 60000,
       [](std::mt19937 &r, size_t i) {
         const float steps[] = {-0x1p-24f, -0x3p-27f, 0x3p-27f, 0x1p-24f};
         return i == 0 ? 1.0f - 0x1p-23f : r() % 64 ? 0.0f : steps[r() % 4];
       }},
      {"down onto 1, then below it", 1000,
       [](std::mt19937 &, size_t i) {
         return i == 0 ? 1.0f + 0x1p-23f : i == 256 ? -0x1p-23f : i == 257 ? -0x3p-26f : 0.0f;
       }},
      {"runs of huge values of both signs", 30000,
       [](std::mt19937 &r, size_t i) {
         if (i % 1000 < 4) return i % 2000 < 1000 ? -1e30f : 1e30f;
         return float(r() % 1000) * 0.01f;
       }},
      {"an infinity among values, then NaNs", 20000,
       [](std::mt19937 &r, size_t i) {
         if (i == 3000) return INFINITY;
         if (i > 9000 && r() % 50 == 0) return from_bits(0x7fc00000 | (r() % 8) | (r() & 1) << 31);
         return i % 5000 == 7 ? INFINITY : float(r() % 1000);
       }},
      {"one infinity, then the other", 20000,
       [](std::mt19937 &r, size_t i) {
         return i == 3000 ? INFINITY : i == 7001 ? -INFINITY : float(r() % 1000);
       }},
      {"zeros of both signs, and negatives", 20000,
       [](std::mt19937 &r, size_t) { return r() % 3 == 0 ? -1.0f : r() % 2 ? 0.0f : -0.0f; }},
      {"zeros of both signs, and positives", 20000,
       [](std::mt19937 &r, size_t) { return r() % 3 == 0 ? 1.0f : r() % 2 ? -0.0f : 0.0f; }},
      // Values and squares 2^22 to 2^23 units large, too large for a block: values before a tie,
      // squares each 0.6 of the sum of those before.
      {"a large value before a tie", 30000,
       [](std::mt19937 &r, size_t i) {
         if (i == 0) return 1.0f;
         if (i % 300 == 100) return i / 300 % 2 ? -0.75f : 0.75f;
         return i % 300 == 150 ? 0x1p-24f : float(r() % 64) * 0x1p-40f;
       }},
      {"large squares", 40000,
       [](std::mt19937 &r, size_t i) {
         if (i % 1000 == 0) return float(std::sqrt((i ? 0.6 : 1) * std::pow(1.6, i / 1000)));
         return float(r() % 64) * 0x1p-40f;
       }},
  };
  for (const Case &c : cases) {
    std::mt19937 rng(42);
    std::vector<float> v(c.n);
    for (size_t i = 0; i < c.n; i++) v[i] = c.value(rng, i);
    expect_summary_matches(v, c.name);
    if (HasFailure()) return;
  }
}

TEST(Summarize, SquaresNextToMidpoints) {
  std::mt19937 rng(7);
  std::vector<float> v;
  for (int k = 0; k < 20000; k++) {
    const float a = std::ldexp(1.0f + float(rng() % (1u << 23)) / (1u << 23), int(rng() % 20) - 10);
    const float s = (long double)a * a;
    const float up = std::nextafter(s * (1.0f + float(rng() % 64) / 32.0f), INFINITY);
    const long double mid = ((long double)up + std::nextafter(up, INFINITY)) / 2;
    const float x = std::sqrt((double)(mid - s));
    for (float y : {std::nextafter(x, 0.0f), x, std::nextafter(x, INFINITY)}) {
      v = {a, y};
      expect_same_summary(summarize(v.data(), 2), reference_summarize(v.data(), 2), "pair");
      v = {a, y, -y, a};
      expect_same_summary(summarize(v.data(), 4), reference_summarize(v.data(), 4), "four");
    }
    if (HasFailure()) return;
  }
}

// The hard case for a faster sum of squares: a square that is exactly a float tie (an odd
// integer of 25 bits) meeting a tiny total, so that rounding to double lands on the tie while
// the 80-bit sum stays above it. Pairs [a, x] meet it in the first pass; [e, d, -d, -e] meets
// it in the second, where the mean is near 0.
TEST(Summarize, SquaresThatAreExactTies) {
  std::mt19937 rng(11);
  for (int k = 0; k < 4000; k++) {
    const float x = float(4097 + 2 * (rng() % 700));  // x*x is odd and below 2^25
    const float a = std::ldexp(1.0f + float(rng() % 4096) / 4096, -int(rng() % 36) - 8);
    for (const std::vector<float> &v : {std::vector<float>{a, x}, std::vector<float>{a, -x},
                                        std::vector<float>{a, x, -x, -a}}) {
      expect_summary_matches(v, "a " + std::to_string(a) + " x " + std::to_string(x));
    }
    if (HasFailure()) return;
  }
}

std::string printed(const std::vector<float> &v) {
  testing::internal::CaptureStdout();
  print_summary(summarize(v.data(), v.size()));
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(Summarize, PrintedExamples) {
  struct { std::vector<float> values; const char *text; } cases[] = {
      {{}, "max = -inf min = inf\nmean = -nan rms = -nan rmsd = -nan\n"},
      {std::vector<float>(1000, 2.0f), "max = 2 min = 2\nmean = 2 rms = 2 rmsd = 0\n"},
      {{1, 2, 3, 4}, "max = 4 min = 1\nmean = 2.5 rms = 2.73861 rmsd = 1.11803\n"},
      {{1, kQuietNan, 3}, "max = 3 min = 1\nmean = nan rms = nan rmsd = nan\n"},
      {{1, INFINITY, 3}, "max = inf min = 1\nmean = inf rms = inf rmsd = -nan\n"},
      {{-0.0f, 0.0f}, "max = -0 min = -0\nmean = 0 rms = 0 rmsd = 0\n"},
      {{0.0f, -0.0f}, "max = 0 min = 0\nmean = 0 rms = 0 rmsd = 0\n"},
      {{2.0f, -0.0f}, "max = 2 min = -0\nmean = 1 rms = 1.41421 rmsd = 1\n"},
  };
  for (const auto &c : cases) EXPECT_EQ(printed(c.values), c.text);
}

// The bits of the x86-64 build, where the summary carried out in another format differs in the
// last place: in IEEE binary128, as long double is on 64-bit ARM, this rms is 0x45351044.
TEST(Summarize, LastBitsAsOnX86) {
  const std::vector<float> v = {1e-10f, 4097};
  EXPECT_EQ(bits(summarize(v.data(), v.size()).rms), 0x45351043u);
  EXPECT_EQ(bits(reference_summarize(v.data(), v.size()).rms), 0x45351043u);
}

// Float accumulation stops the sum at 2^24 and the total of squared deviations at 2^22.
TEST(Summarize, LongArraysAccumulateInFloat) {
  const std::vector<float> ones(size_t{1} << 25, 1.0f);
  EXPECT_EQ(printed(ones), "max = 1 min = 1\nmean = 0.5 rms = 0.707107 rmsd = 0.353553\n");
}

}  // namespace
