// The straightforward program, the baseline that the benchmarks compare against: both inputs
// read whole into zero-filled arrays, the product and the summary computed exactly as the
// tests' oracle computes them, the result written in one request.
//   quarvel_straightforward a.bin b.bin out.bin -power1 P1 -power2 P2
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reference.hpp"

int main(int argc, char **argv) {
  if (argc != 8 || strcmp(argv[4], "-power1") != 0 || strcmp(argv[6], "-power2") != 0) {
    fprintf(stderr, "usage: %s a.bin b.bin out.bin -power1 P1 -power2 P2\n", argv[0]);
    return 2;
  }
  FILE *in1 = fopen(argv[1], "rb"), *in2 = fopen(argv[2], "rb");
  if (!in1 || !in2 || fseeko(in1, 0, SEEK_END) != 0) return 9;
  const long long bytes = ftello(in1);
  rewind(in1);
  printf("allocating %lld bytes\nallocating %lld bytes\n", bytes, bytes);
  float *data1 = static_cast<float *>(calloc(1, bytes + 1));
  float *data2 = static_cast<float *>(calloc(1, bytes + 1));
  if (!data1 || !data2) return 9;
  if (fread(data1, 1, bytes, in1) < static_cast<size_t>(bytes) && ferror(in1)) return 9;
  if (fread(data2, 1, bytes, in2) < static_cast<size_t>(bytes) && ferror(in2)) return 9;
  fclose(in1);
  fclose(in2);
  const long long count = bytes / 4;
  FILE *out = fopen(argv[3], "wb");
  if (!out) return 9;
  reference_power_product(data1, data2, count, static_cast<float>(atof(argv[5])),
                          static_cast<float>(atof(argv[7])));
  const Summary s = reference_summarize(data1, count);
  printf("max = %g min = %g\n", s.max, s.min);
  printf("mean = %g rms = %g rmsd = %g\n", s.mean, s.rms, s.rmsd);
  printf("writing %s as %lld %d-byte floats\n", argv[3], count, 4);
  const bool lost = fwrite(data1, 4, count, out) < static_cast<size_t>(count);
  return fclose(out) != 0 || lost ? 255 : 0;
}
