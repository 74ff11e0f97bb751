// The five-number summary of a sample array.
#pragma once

#include <cstdint>

/// Largest and smallest value, mean, root mean square and root mean square deviation.
struct Summary {
  float max, min, mean, rms, rmsd;
};

/// Summarises `count` values; running totals are rounded to float after every element. The two
/// quadratic totals may run on a second thread; the result is the same bit for bit either way.
Summary summarize(const float *data, int64_t count, bool threaded = true);

/// Prints the two summary lines on standard output.
void print_summary(const Summary &s);
