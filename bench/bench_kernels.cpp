// Kernels against their straightforward versions, per element, on 1M-value arrays.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "power.hpp"
#include "product.hpp"
#include "reference.hpp"
#include "summary.hpp"

namespace {

const size_t kN = 1 << 20;

// Positive values, as in images and most measurements; `negative_share` of them negated.
std::vector<float> values(uint32_t seed, double negative_share) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, 4.0f);
  std::bernoulli_distribution neg(negative_share);
  std::vector<float> v(kN);
  for (float &x : v) x = neg(rng) ? -u(rng) : u(rng);
  return v;
}

void product(benchmark::State &state, float p1, float p2, bool straightforward, int threads,
             double negative_share = 0) {
  const std::vector<float> a0 = values(1, negative_share), b0 = values(2, negative_share);
  std::vector<float> a(kN), b(kN);
  uint64_t raised0, slow0, raised, slow;
  power_counts(&raised0, &slow0);
  for (auto _ : state) {
    state.PauseTiming();
    a = a0, b = b0;
    state.ResumeTiming();
    if (straightforward)
      reference_power_product(a.data(), b.data(), kN, p1, p2);
    else
      power_product(a.data(), b.data(), kN, p1, p2, threads);
    benchmark::DoNotOptimize(a.data());
  }
  state.SetItemsProcessed(state.iterations() * kN);
  power_counts(&raised, &slow);
  if (raised > raised0) state.counters["to_powf"] = double(slow - slow0) / (raised - raised0);
}

// The powers alone, a 1024-value piece at a time, against powf on one core: per value.
void power(benchmark::State &state, float y, bool plain, float low, float high, int lanes) {
  std::mt19937 rng(6);
  std::uniform_real_distribution<float> u(low, high);
  std::vector<float> x(1024), out(1024);
  for (float &v : x) v = u(rng);
  uint64_t raised0, slow0, raised, slow;
  power_counts(&raised0, &slow0);
  for (auto _ : state) {
    if (plain)
      for (int i = 0; i < 1024; i++) out[i] = powf(x[i], y);
    else
      power_piece(x.data(), y, out.data(), 1024, lanes);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 1024);
  power_counts(&raised, &slow);
  if (raised > raised0) state.counters["to_powf"] = double(slow - slow0) / (raised - raised0);
}

void summary(benchmark::State &state, double nan_share, bool straightforward,
             bool threaded = true, int lanes = 0, double negative_share = 0) {
  std::vector<float> a = values(3, negative_share), b = values(4, 0);
  power_product(a.data(), b.data(), kN, 1.0f, 0.5f);
  std::mt19937 rng(5);
  std::bernoulli_distribution nan(nan_share);
  for (float &x : a)
    if (nan(rng)) x = -NAN;
  for (auto _ : state) {
    Summary s = straightforward ? reference_summarize(a.data(), kN)
                                : summarize(a.data(), kN, threaded, lanes);
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(state.iterations() * kN);
}

}  // namespace

BENCHMARK_CAPTURE(product, one_one_plain, 1.0f, 1.0f, true, 1);
BENCHMARK_CAPTURE(product, one_one_fast_1thread, 1.0f, 1.0f, false, 1);
BENCHMARK_CAPTURE(product, one_one_fast, 1.0f, 1.0f, false, 0);
BENCHMARK_CAPTURE(product, two_half_plain, 2.0f, 0.5f, true, 1);
BENCHMARK_CAPTURE(product, two_half_fast_1thread, 2.0f, 0.5f, false, 1);
BENCHMARK_CAPTURE(product, two_half_fast, 2.0f, 0.5f, false, 0);
BENCHMARK_CAPTURE(product, two_half_signed_fast_1thread, 2.0f, 0.5f, false, 1, 0.5);
BENCHMARK_CAPTURE(product, inverse_zero_fast_1thread, -1.0f, 0.0f, false, 1);
BENCHMARK_CAPTURE(product, general_plain, 2.5f, -1.3f, true, 1);
BENCHMARK_CAPTURE(product, general_fast_1thread, 2.5f, -1.3f, false, 1);
BENCHMARK_CAPTURE(product, general_fast, 2.5f, -1.3f, false, 0);
BENCHMARK_CAPTURE(product, general_signed_plain, 2.5f, -1.3f, true, 1, 0.5);
BENCHMARK_CAPTURE(product, general_signed_fast_1thread, 2.5f, -1.3f, false, 1, 0.5);
BENCHMARK_CAPTURE(power, powf_2_5, 2.5f, true, 0.0f, 4.0f, 0);
BENCHMARK_CAPTURE(power, fast_2_5, 2.5f, false, 0.0f, 4.0f, 0);
BENCHMARK_CAPTURE(power, fast_2_5_avx2, 2.5f, false, 0.0f, 4.0f, 4);
BENCHMARK_CAPTURE(power, fast_2_5_plain, 2.5f, false, 0.0f, 4.0f, 2);
BENCHMARK_CAPTURE(power, fast_minus_1_3, -1.3f, false, 0.0f, 4.0f, 0);
BENCHMARK_CAPTURE(power, fast_2_5_near_1, 2.5f, false, 0.99f, 1.01f, 0);
BENCHMARK_CAPTURE(power, fast_2_5_near_0, 2.5f, false, 0.0f, 1e-6f, 0);
BENCHMARK_CAPTURE(power, fast_large_exponent_40, 40.0f, false, 0.0f, 4.0f, 0);
BENCHMARK_CAPTURE(summary, no_nans_plain, 0.0, true);
BENCHMARK_CAPTURE(summary, no_nans_fast, 0.0, false);
BENCHMARK_CAPTURE(summary, no_nans_fast_1thread, 0.0, false, false);
BENCHMARK_CAPTURE(summary, no_nans_fast_1thread_2lanes, 0.0, false, false, 2);
BENCHMARK_CAPTURE(summary, no_nans_fast_1thread_4lanes, 0.0, false, false, 4);
BENCHMARK_CAPTURE(summary, signed_fast_1thread, 0.0, false, false, 0, 0.5);
BENCHMARK_CAPTURE(summary, signed_fast_1thread_4lanes, 0.0, false, false, 4, 0.5);
BENCHMARK_CAPTURE(summary, tenth_nans_plain, 0.1, true);
BENCHMARK_CAPTURE(summary, tenth_nans_fast, 0.1, false);

BENCHMARK_MAIN();
