// Proves the exponent shortcuts of the product: over all 2^32 floats, the fast path for each
// special exponent gives exactly what the platform's powf gives.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "product.hpp"
#include "reference.hpp"

namespace {

// Counts the inputs where power_product with `p` differs from powf, over all 2^32 bit patterns,
// in blocks of 2^16 values raised as the first factor (the second factor is 1).
uint64_t mismatches(float p) {
  std::atomic<uint32_t> next{0};
  std::atomic<uint64_t> bad{0};
  auto work = [&] {
    std::vector<float> a(1 << 16), b(1 << 16);
    for (uint32_t block; (block = next.fetch_add(1)) < (1u << 16);) {
      for (uint32_t k = 0; k < (1u << 16); k++) a[k] = from_bits(block << 16 | k), b[k] = 1.0f;
      power_product(a.data(), b.data(), a.size(), p, 1.0f, 1);
      for (uint32_t k = 0; k < (1u << 16); k++) {
        float x = from_bits(block << 16 | k);
        if (x < 0 && !reference_whole(p)) x = 0;
        if (bits(a[k]) != bits(powf(x, p) * 1.0f)) bad++;
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); t++)
    pool.emplace_back(work);
  for (std::thread &t : pool) t.join();
  return bad;
}

class Exhaustive : public testing::TestWithParam<float> {};

TEST_P(Exhaustive, FastPathEqualsPowf) { EXPECT_EQ(mismatches(GetParam()), 0u); }

INSTANTIATE_TEST_SUITE_P(SpecialExponents, Exhaustive,
                         testing::Values(1.0f, 0.0f, -0.0f, 2.0f, -1.0f, 0.5f));

}  // namespace
