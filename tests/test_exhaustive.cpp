// Proves the product's fast paths: over all 2^32 floats, the shortcut for each special exponent
// and the vector path of powf for others give exactly what the platform's powf gives; random
// pairs of every exponent do too, and the vector path's error stays within its bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "power.hpp"
#include "product.hpp"
#include "reference.hpp"
#include "summary.hpp"

namespace {

// The widths below the widest that this CPU has, where each path of the power has code of its
// own: the shortcuts at every width, the vector path of powf where it runs (4 lanes: at 2, a
// CPU sends every value to powf).
std::vector<int> narrower_widths(bool shortcut) {
  std::vector<int> w;
  for (int lanes : {4, 2})
    if (lanes < widest_lanes() && (shortcut || (lanes <= power_lanes() && lanes > 2 &&
                                                fast_powers_allowed())))
      w.push_back(lanes);
  return w;
}

// Counts the inputs where power_product with `p` differs from powf, over all 2^32 bit patterns,
// in blocks of 2^16 values raised as the first factor (the second factor is 1); and those that
// the power's path decides at a narrower width, differently from powf.
uint64_t mismatches(float p) {
  const Shortcut shortcut = p == 2 ? Shortcut::kSquare : p == -1 ? Shortcut::kInverse
                                                                 : Shortcut::kRoot;
  const bool is_shortcut = p == 2 || p == -1 || p == 0.5f, is_trivial = p == 0 || p == 1;
  const std::vector<int> widths = is_trivial ? std::vector<int>() : narrower_widths(is_shortcut);
  // A negative value counts as +0 for an exponent that is not whole: it takes powf(0, p) in the
  // product, and never a power of its own on any path (so a path that decides it is caught).
  const bool guarded = !reference_whole(p);
  const float zero_power = powf(0.0f, p);
  std::atomic<uint32_t> next{0};
  std::atomic<uint64_t> bad{0};
  auto work = [&] {
    std::vector<float> a(1 << 16), b(1 << 16), x(1 << 16), want(1 << 16), out(1024);
    uint16_t undecided[64];
    uint64_t wrong = 0;
    for (uint32_t block; (block = next.fetch_add(1)) < (1u << 16);) {
      for (uint32_t k = 0; k < (1u << 16); k++) {
        x[k] = from_bits(block << 16 | k), a[k] = x[k], b[k] = 1.0f;
        want[k] = guarded && x[k] < 0 ? zero_power : powf(x[k], p);
      }
      power_product(a.data(), b.data(), a.size(), p, 1.0f, 1);
      for (uint32_t k = 0; k < (1u << 16); k++) wrong += bits(a[k]) != bits(want[k] * 1.0f);
      for (int lanes : widths)
        for (uint32_t k = 0; k < (1u << 16); k += 1024) {
          if (is_shortcut)
            decide_shortcut(shortcut, x.data() + k, out.data(), undecided, 1024, lanes);
          else
            decide_powers(x.data() + k, p, out.data(), undecided, 1024, lanes);
          for (int g = 0; g < 64; g++) {  // what the path leaves open, powf itself gives
            unsigned differ = 0;
            for (int i = 0; i < 16; i++)
              differ |= unsigned{bits(out[g * 16 + i]) != bits(want[k + g * 16 + i])} << i;
            wrong += __builtin_popcount(differ & ~unsigned{undecided[g]});
          }
        }
    }
    bad += wrong;
  };
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); t++)
    pool.emplace_back(work);
  for (std::thread &t : pool) t.join();
  return bad;
}

// QUARVEL_PROOFS=all (make proofs) runs every proof at full length; otherwise (make check)
// the exponents marked for it are left to that run, and the random checks are shorter.
bool all_proofs() {
  const char *which = getenv("QUARVEL_PROOFS");
  return which && strcmp(which, "all") == 0;
}

class Exhaustive : public testing::TestWithParam<float> {};

TEST_P(Exhaustive, FastPathEqualsPowf) { EXPECT_EQ(mismatches(GetParam()), 0u); }

// Exponents whose paths the others share, proven by make proofs alone.
class ExhaustiveMore : public testing::TestWithParam<float> {};

TEST_P(ExhaustiveMore, FastPathEqualsPowf) {
  if (!all_proofs()) GTEST_SKIP() << "proven by make proofs (QUARVEL_PROOFS=all)";
  EXPECT_EQ(mismatches(GetParam()), 0u);
}

// The widths the proofs can't reach on this CPU, reported rather than passed in silence.
TEST(ExhaustiveWidths, EveryWidthIsProven) {
  if (!lacking_widths().empty()) GTEST_SKIP() << lacking_widths();
}

INSTANTIATE_TEST_SUITE_P(SpecialExponents, Exhaustive,
                         testing::Values(1.0f, 0.0f, 2.0f, -1.0f, 0.5f));
// -0 takes the path of 0.
INSTANTIATE_TEST_SUITE_P(SpecialExponents, ExhaustiveMore, testing::Values(-0.0f));

}  // namespace

namespace {

// Exponents that go to the vector path of powf: every float raised to each, against powf; a
// whole one (3, whose negative values go to powf), small and large |t| among the others.
INSTANTIATE_TEST_SUITE_P(PowfExponents, Exhaustive, testing::Values(2.5f, -1.3f, 7.25f));
INSTANTIATE_TEST_SUITE_P(PowfExponents, ExhaustiveMore,
                         testing::Values(1.0f / 3, 3.0f, -0.5f, 0.001f));

// Raises `ppm` to `share` in millionths, where that is larger: the worst over all threads.
void keep_largest(std::atomic<uint64_t> &ppm, double share) {
  uint64_t mine = static_cast<uint64_t>(share * 1e6), seen = ppm;
  while (mine > seen && !ppm.compare_exchange_weak(seen, mine)) {
  }
}

// The error of the vector path's double against 80-bit powl, on random x across every binade and
// y with |y·log2 x| up to about 150, stays within the bound that its decisions rely on.
TEST(PowerBound, WithinTheDerivedBoundOfPowl) {
  std::atomic<uint64_t> worst_ppm{0}, checked{0};
  const int per_thread = all_proofs() ? 54000000 : 13500000;
  auto work = [&](unsigned seed) {
    std::mt19937_64 rng(seed);
    double worst = 0;
    for (int i = 0; i < per_thread; i++) {
      const uint64_t bits64 = rng();
      const float x = from_bits(0x00800000u + static_cast<uint32_t>(bits64 % 0x7f000000u));
      const float l = std::log2(x);
      // y spread so that |t| runs from tiny to about 150, both signs.
      const float y = static_cast<float>((bits64 >> 32 & 1 ? 1 : -1) *
                                         std::ldexp(1.0 + (bits64 >> 40 & 0xfff) / 4096.0,
                                                    static_cast<int>(bits64 >> 52 & 31) - 23) /
                                         (std::fabs(l) > 0x1p-20f ? std::fabs(l) : 1.0f));
      double t;
      const double v = power_in_double(x, y, &t);
      if (!(std::fabs(t) < 140)) continue;
      const long double exact = powl(static_cast<long double>(x), static_cast<long double>(y));
      if (exact < 0x1p-1022L || exact > 0x1p1000L) continue;
      const double error = static_cast<double>(std::fabs((v - exact) / exact));
      const double ratio = error / power_error_bound(t);
      if (ratio > worst) worst = ratio;
      checked++;
    }
    keep_largest(worst_ppm, worst);
  };
  std::thread other(work, 1);
  work(2);
  other.join();
  EXPECT_GT(checked.load(), static_cast<uint64_t>(per_thread) * 2 * 9 / 10);  // 94% are in range
  EXPECT_LT(worst_ppm, 1000000u) << "error over the bound: " << worst_ppm / 1e6 << " of it";
  RecordProperty("worst_error_share_of_bound_ppm", static_cast<int>(worst_ppm));
  printf("checked %llu pairs; worst error %.3f of the bound\n",
         static_cast<unsigned long long>(checked), worst_ppm / 1e6);
}

// The window's margin over glibc's stated bound rests on the bound holding: wherever powf's
// float is not x^y's correctly rounded one, glibc's double went past the midpoint between
// them, by no more than that bound. Over every positive normal float raised to y, against
// 80-bit powl.
double largest_crossing(float y) {
  std::atomic<uint32_t> next{0x00800000u >> 16};
  std::atomic<uint64_t> worst_ppm{0};
  auto work = [&] {
    double worst = 0;
    for (uint32_t block; (block = next.fetch_add(1)) < (0x7f800000u >> 16);)
      for (uint32_t k = 0; k < (1u << 16); k++) {
        const float x = from_bits(block << 16 | k), p = powf(x, y);
        const double d = pow(static_cast<double>(x), static_cast<double>(y));
        if (!(d >= 0x1p-126 && d < 0x1p127)) continue;
        const double bound = glibc_powf_bound(y * std::log2(static_cast<double>(x)));
        // The float nearest x^y and the midpoint on x^y's side of it, from double pow (within
        // 2^-52) first: far from that midpoint, powf's float must be the nearest one.
        const float f = static_cast<float>(d);
        const double side = (f + static_cast<double>(nextafterf(f, d > f ? INFINITY : 0))) / 2;
        if (p == f && std::fabs(d - side) > 2 * bound * d) continue;
        const long double exact = powl(static_cast<long double>(x), static_cast<long double>(y));
        const float nearest = static_cast<float>(exact);
        if (p == nearest) continue;
        const long double mid = (static_cast<long double>(nearest) + p) / 2;
        worst = std::max(worst, static_cast<double>(fabsl(exact - mid) / exact) / bound);
      }
    keep_largest(worst_ppm, worst);
  };
  std::thread other(work);
  work();
  other.join();
  return worst_ppm / 1e6;
}

TEST(PowerBound, GlibcStaysWithinItsStatedBound) {
  if (!all_proofs()) GTEST_SKIP() << "checked by make proofs (QUARVEL_PROOFS=all)";
  if (!fast_powers_allowed()) GTEST_SKIP() << "this platform's powf carries no known bound";
  for (float y : {2.5f, -1.3f}) {
    const double crossing = largest_crossing(y);
    EXPECT_LT(crossing, 1.0) << "y = " << y;
    printf("y = %g: powf's double went past a midpoint by %.3f of glibc's bound at most\n", y,
           crossing);
  }
}

// Random (x, y) pairs, QUARVEL_RANDOM_PAIRS of them (10^9 for all the proofs, else 2.5·10^8),
// y spread so that |y·log2 x| runs up to about 150: the product's power equals powf's, bit for
// bit.
TEST(PowerRandom, RandomPairsEqualPowf) {
  const char *pairs = getenv("QUARVEL_RANDOM_PAIRS");
  const double count = pairs ? atof(pairs) : all_proofs() ? 1e9 : 2.5e8;
  const uint64_t kBlocks = static_cast<uint64_t>(count) / (1 << 16) + 1;
  std::atomic<uint64_t> next{0}, bad{0};
  auto work = [&] {
    std::vector<float> a(1 << 16), b(1 << 16), x(1 << 16);
    for (uint64_t block; (block = next.fetch_add(1)) < kBlocks;) {
      std::mt19937_64 rng(block);
      const uint64_t r = rng();
      const float y = static_cast<float>((r & 1 ? 1 : -1) *
                                         std::ldexp(1.0 + (r >> 8 & 0xffff) / 65536.0,
                                                    static_cast<int>(r >> 32 & 15) - 8));
      for (uint32_t k = 0; k < (1u << 16); k++) {
        x[k] = from_bits(static_cast<uint32_t>(rng()));
        a[k] = x[k], b[k] = 1.0f;
      }
      power_product(a.data(), b.data(), a.size(), y, 1.0f, 1);
      for (uint32_t k = 0; k < (1u << 16); k++) {
        float v = x[k];
        if (v < 0 && !reference_whole(y)) v = 0;
        if (bits(a[k]) != bits(powf(v, y) * 1.0f)) bad++;
      }
    }
  };
  std::thread other(work);
  work();
  other.join();
  EXPECT_EQ(bad, 0u);
  printf("%llu pairs\n", static_cast<unsigned long long>(kBlocks << 16));
}

}  // namespace
