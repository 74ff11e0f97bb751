#include "summary.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "messages.hpp"
#include "nans.hpp"
#include "summary_kernel.hpp"

namespace {

float pass([[maybe_unused]] int lanes, float total, const float *data, int64_t count, Term term,
           float mean = 0, float *max = nullptr, float *min = nullptr) {
#if QUARVEL_X86
  if (lanes == 8) return summary_pass8(total, data, count, term, mean, max, min);
  if (lanes == 4) return summary_pass4(total, data, count, term, mean, max, min);
#endif
  return summary_pass2(total, data, count, term, mean, max, min);
}

int lanes_to_use(int lanes) {
  return lanes <= 0 || lanes > widest_lanes() ? widest_lanes() : lanes;
}

// The mean, rounded as the summary defines it: an empty array divides 0 by 0, giving the
// default NaN, negative, on every machine.
float mean_of_sum(float sum, int64_t count) { return to_float(widen(sum) / extended_of(count)); }

// The root of a NaN is the NaN itself, quiet already.
float root_mean(float total, int64_t count) {
  const double square = to_double(widen(total) / extended_of(count));
  return narrowed(std::isnan(square) ? square : std::sqrt(square));
}

// Below this many values a second thread costs more than it saves.
const int64_t kThreadedCount = 1 << 18;

}  // namespace

float summary_pass2(float total, const float *data, int64_t count, Term term, float mean,
                    float *max, float *min) {
  return any_pass(total, data, count, term, mean, max, min);
}

Summary summarize(const float *data, int64_t count, bool threaded, int lanes) {
  lanes = lanes_to_use(lanes);
  Summary s = {-INFINITY, INFINITY, 0, 0, 0};
  // The extremes and the sum of squares need nothing but the data, so they run beside the
  // sum and then the deviations from the mean, one after the other.
  float sumsq = 0;
  std::thread squares;
  if (threaded && count >= kThreadedCount) {
    try {
      squares =
          std::thread([&] { sumsq = pass(lanes, 0, data, count, kSquare, 0, &s.max, &s.min); });
    } catch (const std::system_error &) {
      // No thread to be had: all on this one.
    }
  }
  s.mean = mean_of_sum(pass(lanes, 0, data, count, kValue), count);
  const float sumdev = pass(lanes, 0, data, count, kDeviation, s.mean);
  if (squares.joinable())
    squares.join();
  else
    sumsq = pass(lanes, 0, data, count, kSquare, 0, &s.max, &s.min);
  s.rms = root_mean(sumsq, count);
  s.rmsd = root_mean(sumdev, count);
  return s;
}

void add_values(Totals &t, const float *data, int64_t count, int lanes) {
  lanes = lanes_to_use(lanes);
  t.sum = pass(lanes, t.sum, data, count, kValue);
  t.sumsq = pass(lanes, t.sumsq, data, count, kSquare, 0, &t.max, &t.min);
}

float mean_of(const Totals &t, int64_t count) { return mean_of_sum(t.sum, count); }

void add_deviations(Totals &t, const float *data, int64_t count, float mean, int lanes) {
  t.sumdev = pass(lanes_to_use(lanes), t.sumdev, data, count, kDeviation, mean);
}

Summary summary_of(const Totals &t, int64_t count) {
  return {t.max, t.min, mean_of(t, count), root_mean(t.sumsq, count), root_mean(t.sumdev, count)};
}

void print_summary(const Summary &s) {
  say("max = %g min = %g\n", widened(s.max), widened(s.min));
  say("mean = %g rms = %g rmsd = %g\n", widened(s.mean), widened(s.rms), widened(s.rmsd));
}
