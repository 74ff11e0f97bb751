// The five-number summary of a sample array.
#pragma once

#include <cmath>
#include <cstdint>

#include "cpu.hpp"

/// Largest and smallest value, mean, root mean square and root mean square deviation.
struct Summary {
  float max, min, mean, rms, rmsd;
};

/// Summarises `count` values; running totals are rounded to float after every element. The
/// extremes and the sum of squares may run on a second thread, and vectors of `lanes` doubles
/// (2, 4 or 8; 0 for the widest this CPU runs) may be used; the same bits come out either way.
Summary summarize(const float *data, int64_t count, bool threaded = true, int lanes = 0);

/// The running totals of a summary taken piece by piece: the extremes, the sum and the sum of
/// squares from a first pass, the squared deviations from the mean from a second.
struct Totals {
  float max = -INFINITY, min = INFINITY, sum = 0, sumsq = 0, sumdev = 0;
};

/// Adds `count` more values to the extremes, the sum and the sum of squares, as if they followed
/// the values already counted in the same array.
void add_values(Totals &t, const float *data, int64_t count, int lanes = 0);

/// The mean of `count` values whose sum is in `t`, rounded as the summary rounds it.
float mean_of(const Totals &t, int64_t count);

/// Adds `count` more values' squared deviations from `mean` to the second pass's total.
void add_deviations(Totals &t, const float *data, int64_t count, float mean, int lanes = 0);

/// The summary of `count` values from the totals of both passes.
Summary summary_of(const Totals &t, int64_t count);

/// Prints the two summary lines on standard output.
void print_summary(const Summary &s);
