// The vector path of the power against the platform's powf, at every width this CPU runs.
#include <gtest/gtest.h>

#include <cfloat>
#include <random>

#include "power.hpp"
#include "product.hpp"
#include "reference.hpp"
#include "summary.hpp"

namespace {

std::vector<int> widths() {
  std::vector<int> w = {2};
  if (widest_lanes() >= 4) w.push_back(4);
  if (widest_lanes() >= 8) w.push_back(8);
  return w;
}

// The widths this CPU lacks go untested by every test here: said so, not passed in silence.
TEST(Power, ThisCpuRunsEveryWidth) {
  if (!lacking_widths().empty()) GTEST_SKIP() << lacking_widths();
}

// The NaNs of powf as the other machines form them, on bits, held to x86-64's powf itself:
// quiet and signalling NaNs of both signs, with payloads, against zeros, odd and even whole
// exponents (below and at 2^24), fractions, infinities and NaNs, both ways round.
TEST(Power, NanRulesAreX86s) {
#if !QUARVEL_X86
  GTEST_SKIP() << "x86's powf is what the rules follow; here its outputs are compared instead";
#else
  const uint32_t nans[] = {0x7fc00000, 0xffc00000, 0x7fc12345, 0xffc54321,
                           0x7f812345, 0xff812345, 0x7f800001, 0xffbfffff};
  const float others[] = {0.0f, -0.0f, 1.0f, -1.0f, 2.0f, -2.0f, 3.0f, -3.0f, 0.5f, -0.5f,
                          16777215.0f, 16777216.0f, -16777215.0f, 1e30f, 1e-45f,
                          INFINITY, -INFINITY};
  for (uint32_t n : nans) {
    const float nan = from_bits(n);
    for (float y : others)
      EXPECT_EQ(bits(power_of_nan(nan, y)), bits(powf(nan, y))) << std::hex << n << "^" << y;
    for (float x : others)
      EXPECT_EQ(bits(power_of_nan(x, nan)), bits(powf(x, nan))) << x << "^" << std::hex << n;
    for (uint32_t m : nans)
      EXPECT_EQ(bits(power_of_nan(nan, from_bits(m))), bits(powf(nan, from_bits(m))))
          << std::hex << n << "^" << m;
  }
#endif
}

// Every width gives powf's bits, on values the vector path decides and on those it leaves to
// powf: zeros, negatives, subnormals, infinities, NaNs, 1, the largest float, and results that
// overflow, underflow or come out subnormal.
TEST(Power, EveryWidthGivesPowfsBits) {
  std::vector<float> x = {0.0f, -0.0f, -2.0f, -0.5f, from_bits(1), from_bits(0x007fffff),
                          FLT_MIN, 1.0f, FLT_MAX, INFINITY, -INFINITY, kQuietNan,
                          from_bits(0x7fa00001), 2.0f, 0.5f, 3.0f, 1e-30f, 1e30f};
  std::mt19937 rng(12);
  while (x.size() < 1024) x.push_back(from_bits(rng()));  // every kind of float
  // Values just off 1, where t is tiny and the power leans on the logarithm's relative error.
  for (int i = 0; i < 64; i++) x[100 + i] = from_bits(0x3f800000 + (i % 2 ? i : -i) * 977);
  const float ys[] = {2.5f, -1.3f, 1.0f / 3, 7.25f, 0.001f, -0.5f, 3.0f, 100.0f, -150.0f,
                      1e-9f, 1e9f, 0.75f, 1e5f};
  const int n = static_cast<int>(x.size());
  int negatives = 0;
  for (float v : x) negatives += v < 0;
  for (int lanes : widths()) {
    for (float y : ys) {
      std::vector<float> out(x.size());
      const int slow = power_piece(x.data(), y, out.data(), n, lanes);
      for (int i = 0; i < n; i++)
        ASSERT_EQ(bits(out[i]), bits(x86_powf(x[i], y)))
            << x[i] << "^" << y << " with " << lanes << " lanes";
      // Guarded, negative values get no power, and cost no call of powf; the rest are as before.
      if (!fast_powers_allowed() || lanes == 2) continue;
      EXPECT_EQ(power_piece(x.data(), y, out.data(), n, lanes, true), slow - negatives) << y;
      for (int i = 0; i < n; i++) {
        if (!(x[i] < 0)) {
          ASSERT_EQ(bits(out[i]), bits(x86_powf(x[i], y))) << x[i] << "^" << y;
        }
      }
    }
    const std::pair<Shortcut, float> shortcuts[] = {
        {Shortcut::kSquare, 2.0f}, {Shortcut::kInverse, -1.0f}, {Shortcut::kRoot, 0.5f}};
    for (auto [s, y] : shortcuts) {
      std::vector<float> out(x.size());
      // The piece's tail, shorter than a vector, too.
      for (int m : {n, 37}) {
        const int slow = shortcut_piece(s, x.data(), out.data(), m, lanes);
        for (int i = 0; i < m; i++)
          ASSERT_EQ(bits(out[i]), bits(x86_powf(x[i], y)))
              << x[i] << "^" << y << " with " << lanes << " lanes";
        if (s != Shortcut::kRoot) continue;  // the one exponent that is not whole
        int skipped = 0;
        for (int i = 0; i < m; i++) skipped += x[i] < 0;
        EXPECT_EQ(shortcut_piece(s, x.data(), out.data(), m, lanes, true), slow - skipped);
        for (int i = 0; i < m; i++) {
          if (!(x[i] < 0)) {
            ASSERT_EQ(bits(out[i]), bits(x86_powf(x[i], y))) << x[i] << " with " << lanes << " lanes";
          }
        }
      }
    }
  }
}

// Where the powers cross the edges of the normal floats (the smallest normal, the largest
// float, the subnormal spacing below) the path must leave the decision to powf or make the
// same one: x stepped a float at a time across each edge, in pieces whose lengths are not
// whole vectors.
TEST(Power, EveryWidthAgreesAcrossTheEdgesOfTheFloats) {
  const float ys[] = {2.5f, -1.3f, 7.25f, 0.75f, -3.5f, 40.0f, 1.0f / 3};
  const long double edges[] = {0x1p-126L, 0x1p-127L, 0x1p-149L, 0x1p128L, 0x1.fffffep127L};
  for (float y : ys)
    for (long double edge : edges) {
      const float middle = static_cast<float>(powl(edge, 1.0L / y));
      std::vector<float> x;
      for (int k = -200; k <= 200; k++) x.push_back(from_bits(bits(middle) + k));
      for (int lanes : widths())
        for (int n : {401, 17, 1}) {
          std::vector<float> out(n);
          power_piece(x.data(), y, out.data(), n, lanes);
          for (int i = 0; i < n; i++)
            ASSERT_EQ(bits(out[i]), bits(x86_powf(x[i], y)))
                << x[i] << "^" << y << " near " << static_cast<double>(edge) << ", " << lanes
                << " lanes, " << n << " values";
        }
    }
}

// Pieces of every length up to two vectors and around a whole piece, in buffers of exactly that
// length (the sanitizers' build catches a read or write past them), guarded or not: each width
// gives powf's bits, and guarded negative values cost no call of powf.
TEST(Power, EveryWidthHandlesEveryPieceLength) {
  std::mt19937 rng(16);
  std::uniform_real_distribution<float> u(-4.0f, 4.0f);
  for (int lanes : widths())
    for (int n = 1; n <= 1024; n = n == 40 ? 1000 : n + 1) {
      std::vector<float> x(n), out(n);
      for (float &v : x) v = u(rng);
      for (bool guarded : {false, true}) {
        int negatives = 0;
        for (float v : x) negatives += v < 0;
        const int slow = power_piece(x.data(), 2.5f, out.data(), n, lanes, guarded);
        for (int i = 0; i < n; i++)
          if (!(guarded && x[i] < 0)) {
            ASSERT_EQ(bits(out[i]), bits(x86_powf(x[i], 2.5f))) << i << " of " << n << ", " << lanes;
          }
        if (guarded && fast_powers_allowed() && lanes > 2) {
          EXPECT_LE(slow, n - negatives) << n;
        }
      }
    }
}

// The product's last step at every width against the plain one: a guarded value takes the
// power of +0 and a guarded second value becomes +0; NaN factors give the first NaN, and 0 × inf
// x86's default NaN.
TEST(Power, EveryWidthCombinesAsThePlainProduct) {
  const float special[] = {0.0f, -0.0f, -2.0f, 3.0f, INFINITY, -INFINITY, kQuietNan,
                           default_nan(), from_bits(0x7fc12345), from_bits(0xffc54321),
                           1e-45f, 5.0f};
  const int n = 700;  // a tail shorter than a vector, too
  std::vector<float> a0(n), b0(n), pa(n), pb(n);
  for (int i = 0; i < n; i++) {
    a0[i] = special[i % 12], b0[i] = special[i / 12 % 12];
    pa[i] = special[(i * 5 + 3) % 12], pb[i] = special[(i * 7 + 1) % 12];
  }
  for (const Guards g : {Guards{false, false, 0, 0}, Guards{true, true, INFINITY, 0.0f},
                         Guards{true, false, kQuietNan, 1.0f},
                         Guards{false, true, 0.0f, default_nan()}})
    for (int lanes : widths()) {
      std::vector<float> a = a0, b = b0;
      combine_piece(a.data(), b.data(), pa.data(), pb.data(), g, n, lanes);
      for (int i = 0; i < n; i++) {
        const bool g1 = g.guard1 && a0[i] < 0, g2 = g.guard2 && b0[i] < 0;
        const float p = g1 ? g.zero_power1 : pa[i], q = g2 ? g.zero_power2 : pb[i];
        ASSERT_EQ(bits(a[i]), bits(x86_product(p, q))) << i << " with " << lanes;
        ASSERT_EQ(bits(b[i]), bits(g2 ? 0.0f : b0[i])) << i << " with " << lanes;
      }
    }
}

// Every width forms the same double for each value by the same operations, so each leaves the
// same values to powf; a width whose window or tables drifted would leave another set, often
// while its floats still agree with powf's.
TEST(Power, EveryWidthLeavesTheSameValuesToPowf) {
  if (!fast_powers_allowed()) GTEST_SKIP() << "this platform's powf carries no known bound";
  std::mt19937 rng(14);
  std::uniform_real_distribution<float> u(0.0f, 4.0f);
  std::vector<float> x(1024), out(1024);
  for (float y : {2.5f, -1.3f, 1.0f / 3, 7.25f, 0.001f, 30.0f}) {
    std::vector<int> slow;
    for (int lanes : widths()) {
      int count = 0;
      for (int rep = 0; rep < 64; rep++) {
        for (float &v : x) v = u(rng);
        count += power_piece(x.data(), y, out.data(), 1024, lanes);
      }
      slow.push_back(count);
      rng.seed(14);
    }
    for (size_t w = 1; w < slow.size(); w++) EXPECT_EQ(slow[w], slow[0]) << y;
  }
}

// The counts behind the benchmarks' share of values sent to powf take in every thread's, those
// of the threads that have ended as well as this one's.
TEST(Power, CountsTheValuesOfEveryThread) {
  if (!fast_powers_allowed() || power_lanes() == 2) GTEST_SKIP() << "no vector path counts here";
  const int64_t n = 1 << 18;  // four chunks: two threads
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> u(0.0f, 4.0f);
  std::vector<float> a(n), b(n);
  for (int64_t i = 0; i < n; i++) a[i] = u(rng), b[i] = u(rng);
  uint64_t raised0, slow0, raised, slow;
  power_counts(&raised0, &slow0);
  power_product(a.data(), b.data(), n, 2.5f, -1.3f, 2);
  power_counts(&raised, &slow);
  EXPECT_EQ(raised - raised0, uint64_t{2} * n);
  EXPECT_GT(slow - slow0, 0u);
  EXPECT_LT(slow - slow0, (raised - raised0) / 10);
}

// Where the path decides, it decides most values: on values in (0, 4), as in the benchmarks, it
// leaves under 5% to powf (about 2.8% for 2.5, 1.7% for -1.3).
TEST(Power, DecidesMostOrdinaryValues) {
  if (!fast_powers_allowed()) GTEST_SKIP() << "this platform's powf carries no known bound";
  if (power_lanes() == 2) GTEST_SKIP() << "no vector path on this CPU: every value goes to powf";
  std::mt19937 rng(13);
  std::uniform_real_distribution<float> u(0.0f, 4.0f);
  std::vector<float> x(1024), out(1024);
  for (float y : {2.5f, -1.3f}) {
    int slow = 0;
    for (int rep = 0; rep < 100; rep++) {
      for (float &v : x) v = u(rng);
      slow += power_piece(x.data(), y, out.data(), 1024);
    }
    EXPECT_LT(slow, 100 * 1024 / 20) << y;
  }
}

// How far the vector path's double for x^y lies from the nearest float tie, in units of the
// window that the derivation in power.cpp allows: 2·(glibc's stated error + the path's own).
// Found here from the floats around the double, not as the path finds it.
double window_ratio(float x, float y) {
  double t;
  const double v = power_in_double(x, y, &t);
  // The ties on either side of the float nearest v (just above a power of two, the one below
  // is the nearer); their distances are exact, floats having 24 bits.
  const double f = static_cast<float>(v);
  const double up = (f + nextafterf(f, INFINITY)) / 2, down = (f + nextafterf(f, 0.0f)) / 2;
  const double from_tie = std::min(std::fabs(v - up), std::fabs(v - down));
  return from_tie / (2 * (glibc_powf_bound(t) + power_error_bound(t)) * v);
}

// The values that the window must leave to powf, and those it must decide, by their ratio
// above; both are found by search, among ordinary values and just above powers of two, where
// the nearest tie lies below the binade and a large |t| makes the window nearly that wide.
TEST(Power, DecidesExactlyOutsideTheDerivedWindow) {
  if (!fast_powers_allowed()) GTEST_SKIP() << "this platform's powf carries no known bound";
  float probe = 1.5f;
  if (power_piece(&probe, 2.5f, &probe, 1) != 0) GTEST_SKIP() << "no vector path on this CPU";
  std::mt19937 rng(15);
  size_t above = 0;
  for (float y : {2.5f, -1.3f, 3.0f, 7.25f, 0.001f}) {
    std::vector<float> inside, outside, above_power_of_two;
    auto sort = [&](float x) {
      double t;
      const double v = power_in_double(x, y, &t);
      if (!(v >= 0x1p-120 && v < 0x1p120)) return;
      const double ratio = window_ratio(x, y);
      if (ratio < 0.9 && inside.size() < 900) inside.push_back(x);
      if (ratio > 1.1 && ratio < 4 && outside.size() < 1024) outside.push_back(x);
    };
    for (int i = 0; i < 400000 && inside.size() < 900; i++)
      sort(std::uniform_real_distribution<float>(0.01f, 4.0f)(rng));
    // x^y just above 2^k for |k| from 100 to 119: below 120 values decide, and from about 110
    // the window reaches past the tie below 2^k. The floats nearest 2^(k/y).
    for (int k = -119; k <= 119; k++) {
      if (std::abs(k) < 100) continue;
      const float x0 = static_cast<float>(exp2l(k / static_cast<long double>(y)));
      if (!(x0 >= FLT_MIN && x0 < 1e30f)) continue;
      float x = x0;
      for (int j = 0; j < 40; j++, x = nextafterf(x, INFINITY)) {
        double t;
        const double v = power_in_double(x, y, &t);
        const double power_of_two = ldexp(1.0, ilogb(v));
        if (v - power_of_two < ldexp(v, -26) && window_ratio(x, y) < 0.9)
          above_power_of_two.push_back(x);
      }
      x = x0;
      for (int j = 0; j < 40; j++, x = nextafterf(x, 0.0f)) sort(x);
    }
    ASSERT_GT(inside.size(), 100u) << y;
    ASSERT_GT(outside.size(), 100u) << y;
    above += above_power_of_two.size();
    for (size_t i = 0; i < above_power_of_two.size() && inside.size() < 1024; i++)
      inside.push_back(above_power_of_two[i]);
    for (int lanes : widths()) {
      std::vector<float> out(1024);
      EXPECT_EQ(power_piece(inside.data(), y, out.data(), static_cast<int>(inside.size()), lanes),
                static_cast<int>(inside.size()))
          << "values inside the window decided, y = " << y << ", " << lanes << " lanes";
      EXPECT_EQ(power_piece(outside.data(), y, out.data(), static_cast<int>(outside.size()), lanes),
                0)
          << "values outside the window left to powf, y = " << y << ", " << lanes << " lanes";
    }
  }
  EXPECT_GT(above, 0u) << "no value found just above a power of two";
}

}  // namespace
