// The five-number summary of a sample array.
#pragma once

#include <cstdint>

/// Largest and smallest value, mean, root mean square and root mean square deviation.
struct Summary {
  float max, min, mean, rms, rmsd;
};

/// Summarises `count` values; running totals are rounded to float after every element. The
/// extremes and the sum of squares may run on a second thread, and vectors of `lanes` doubles
/// (2, 4 or 8; 0 for the widest this CPU runs) may be used; the same bits come out either way.
Summary summarize(const float *data, int64_t count, bool threaded = true, int lanes = 0);

/// The widest vectors, in doubles, that this CPU runs: 8, 4 or 2.
int widest_lanes();

/// Prints the two summary lines on standard output.
void print_summary(const Summary &s);
