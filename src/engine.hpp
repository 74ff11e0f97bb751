// The run's engine: both inputs stream through in chunks, the products and the summary are
// formed as they arrive, and a second pass takes the deviations from the mean. Products go to a
// new output file as they are formed, and are read back from it; an output that is written
// otherwise gets them in the second pass.
#pragma once

#include <cstdint>
#include <cstdio>

#include "summary.hpp"

/// What the run may use: memory, and how the values are cut into chunks.
struct Budget {
  int64_t available;  // bytes the process may still take
  int64_t chunk;      // values per chunk of each input
};

/// The least of the system's available memory, the cgroup's limit less what it uses and the
/// address-space limit less what is mapped, or the tests' budget (test_memory). Chunks are
/// smaller under a small budget.
Budget memory_budget();

/// A run under way.
struct Run {
  FILE *in1, *in2;
  const char *name1, *name2;
  int64_t bytes, count;    // the first input's size, and the values it holds
  float power1, power2;
  int64_t chunk;           // values per chunk
  int threads;
  int early;               // the new output file that the first pass writes, or -1
  int early_error;         // errno of its first failed write, or 0
  bool early_in_order;     // its chunks are written in order, each at its end (see start_run)
  bool twice;              // both inputs can be read again: files or block devices
  bool uncached;           // the inputs' pages leave the file cache once read, for the early
                           // file's to stay there: all three files would not fit in it
  float *products;         // without one: all the products, when two arrays' worth fit in
                           // memory and they cost more to form than to keep; else none, and the
                           // second pass reads the inputs again
  float *buffers;           // two chunks per worker
  uint64_t *fingerprints;   // two per chunk when products are formed again: the products' and
                            // the first input's
  Totals totals;
};

/// Takes the first input's size, prints the two allocating lines with it, and sets the run up
/// within `budget`, to write the products to `early` (a new file, read back later) if it is
/// not -1. Ends the process with status 9 when the size can't be taken or the memory can't be
/// had (perror), or, without `early`, when an input can't be read twice (it is no file or block
/// device) and the products don't fit in memory.
Run start_run(FILE *in1, const char *name1, FILE *in2, const char *name2, float power1,
              float power2, const char *progname, const Budget &budget, int threads = 0,
              int early = -1);

/// Reads both inputs for the first input's size in bytes, forming the products and the
/// extremes, the sum and the sum of squares. Ends the process with status 9 when an input can't
/// be read (the first input's error named before the second's).
void first_pass(Run &run);

/// True when `path` names an input that the second pass still reads: an output written over it
/// in place must not be cut before.
bool overwrites_input(const Run &run, const char *path);

/// What the second pass met.
struct Outcome {
  int write_error;      // errno of the first failed write, or 0
  const char *changed;  // an input whose products differ from the first pass's, or none
};

/// Writes the products to `out` (none: nowhere) and, with `deviations`, adds their deviations
/// from the mean; it may be run again to write them after the summary. With an early file the
/// products are read back from it, and `out` is that file. Ends the process with status 255 when
/// an input can't be read again, or the early file could not be written and the inputs can't
/// be read again.
Outcome second_pass(Run &run, FILE *out, bool deviations = true);

/// Closes the inputs, if the run still has them open.
void end_run(Run &run);
