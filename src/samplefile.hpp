// Sample files: headerless arrays of IEEE 754 binary32 values in host byte order.
#pragma once

#include <cstdint>
#include <cstdio>

/// The two input arrays, both `count` values long and zero-filled beyond what was read.
struct SamplePair {
  float *data1;
  float *data2;
  int64_t count;
};

/// Opens a sample file for reading; gives none, with errno set, when the path can't be opened or
/// is a directory.
FILE *open_input(const char *path);

/// Reads both inputs into two arrays sized by the first input, closes both streams, and ends the
/// process with status 9 when an array can't be allocated or either input can't be read.
SamplePair load_input_pair(FILE *in1, const char *name1, FILE *in2, const char *name2,
                           const char *progname);

/// Creates or truncates the output; ends the process with status 9 when it can't be opened.
FILE *open_output(const char *path);

/// Starts writing `count` values to `out` on another thread, when there are enough of them to
/// pay for it; write_output then waits for that write instead of making its own.
void begin_output(FILE *out, const float *data, int64_t count);

/// Announces and writes `count` values, closes the stream; gives 0, or -1 when anything was lost.
int write_output(FILE *out, const char *path, const float *data, int64_t count);
