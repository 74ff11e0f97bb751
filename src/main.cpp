// quarvel: raises the values of one sample file to one exponent and those of a second file to
// another, multiplies the two powers element by element, prints a summary of the result and
// writes it as a sample file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "product.hpp"
#include "samplefile.hpp"
#include "summary.hpp"

// The run configuration, filled by the argument scan; a stream that is not open is null.
FILE *infile1, *infile2, *outfile;
const char *infile1name, *infile2name;
const char *outfilename = "output.bin";

static bool is_file_argument(const char *word) {
  const size_t n = strlen(word);
  return n >= 5 && memcmp(word + n - 4, ".bin", 4) == 0;
}

// A file argument takes the first free role: first input, else (once both inputs are open) the
// output, else second input. An input that can't be opened takes no role. A word beginning with
// "-" that contains "-power1" or "-power2" sets that exponent from the next word, which is still
// examined as a word of its own.
static void scan_arguments(int argc, char **argv, float &power1, float &power2) {
  for (int i = 1; i < argc; i++) {
    const char *word = argv[i];
    if (is_file_argument(word)) {
      printf("filename: %s\n", word);
      if (!infile1) {
        if ((infile1 = open_input(word))) infile1name = word;
      } else if (infile2) {
        outfilename = word;
      } else if ((infile2 = open_input(word))) {
        infile2name = word;
      }
    }
    if (word[0] == '-' && i + 1 < argc) {
      if (strstr(word, "-power1")) power1 = static_cast<float>(atof(argv[i + 1]));
      if (strstr(word, "-power2")) power2 = static_cast<float>(atof(argv[i + 1]));
    }
  }
}

int main(int argc, char **argv) {
  float power1 = 1.0f, power2 = 1.0f;
  scan_arguments(argc, argv, power1, power2);
  if (!infile1 || !infile2) {
    printf("usage: quarvel file1.bin file2.bin [outfile.bin] -power1 1.0 -power2 1.0\n");
    printf("options:\n");
    exit(9);
  }
  const SamplePair in = load_input_pair(infile1, infile1name, infile2, infile2name, argv[0]);
  outfile = open_output(outfilename);
  power_product(in.data1, in.data2, in.count, power1, power2);
  begin_output(outfile, in.data1, in.count);  // the bytes go out while the summary is computed
  print_summary(summarize(in.data1, in.count));
  return write_output(outfile, outfilename, in.data1, in.count);
}
