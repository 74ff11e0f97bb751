// quarvel: raises the values of one sample file to one exponent and those of a second file to
// another, multiplies the two powers element by element, prints a summary of the result and
// writes it as a sample file.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine.hpp"
#include "interrupt.hpp"
#include "messages.hpp"
#include "nans.hpp"
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

static bool is_option(const char *word) {
  return word[0] == '-' && (strstr(word, "-power1") || strstr(word, "-power2"));
}

// Opens a file word as an input, or says why it takes no role.
static FILE *try_input(const char *word) {
  FILE *f = open_input(word);
  if (!f) warn("cannot open %s: %s", word, strerror(errno));
  return f;
}

// The exponent `option` sets from `word`, as atof reads it; a word that is not wholly a number,
// or one too large for a float, is named with the value it gives.
static float exponent(const char *option, const char *word) {
  char *end;
  errno = 0;
  const double whole = strtod(word, &end);
  // A NaN's bits as x86-64 forms them, on every machine.
  const float value = std::isnan(whole) ? nan_of_word(word) : static_cast<float>(whole);
  if (end == word || *end || (std::isinf(value) && (errno == ERANGE || !std::isinf(whole))))
    warn("%s: '%s' is not a number; using %g", option, word, widened(value));
  return value;
}

// A file argument takes the first free role: first input, else (once both inputs are open) the
// output, else second input. An input that can't be opened takes no role. A word beginning with
// "-" that contains "-power1" or "-power2" sets that exponent from the next word, which is still
// examined as a word of its own. Every word that plays no part is named on standard error.
static void scan_arguments(int argc, char **argv, float &power1, float &power2) {
  bool value_word = false;  // the word follows an option word
  for (int i = 1; i < argc; i++) {
    const char *word = argv[i];
    const bool file = is_file_argument(word);
    if (file) {
      say("filename: %s\n", word);
      if (!infile1) {
        if ((infile1 = try_input(word))) infile1name = word;
      } else if (infile2) {
        outfilename = word;
      } else if ((infile2 = try_input(word))) {
        infile2name = word;
      }
    }
    const bool option = is_option(word) && i + 1 < argc;
    if (option) {
      if (strstr(word, "-power1")) power1 = exponent("-power1", argv[i + 1]);
      if (strstr(word, "-power2")) power2 = exponent("-power2", argv[i + 1]);
    }
    if (!file && !option && !value_word) warn("ignoring argument '%s'", word);
    value_word = option;
  }
}

static const char kUsage[] =
    "usage: quarvel file1.bin file2.bin [outfile.bin] -power1 1.0 -power2 1.0\noptions:\n";

// --help or --version as the only word: the program says what it is and does nothing else.
static bool asked_about_itself(int argc, char **argv) {
  if (argc != 2) return false;
  const char *word = argv[1];
  if (strcmp(word, "--version") == 0) {
    say("quarvel %s\n", QUARVEL_VERSION);
    return true;
  }
  if (strcmp(word, "--help") != 0 && strcmp(word, "-h") != 0) return false;
  say("%s", kUsage);
  say("  -power1 P   raise each value of file1.bin to P (1.0 unless given)\n");
  say("  -power2 P   raise each value of file2.bin to P (1.0 unless given)\n");
  say("  -h, --help  print this help and exit\n");
  say("  --version   print the version and exit\n");
  return true;
}

int main(int argc, char **argv) {
  hold_standard_descriptors();
  set_program_name(argv[0]);
  static bool registered;  // the failures end the process with exit(9): stdout is checked then
  if (!registered) registered = atexit([] { check_stdout(9); }) == 0;
  if (asked_about_itself(argc, argv)) return check_stdout(0);
  float power1 = 1.0f, power2 = 1.0f;
  scan_arguments(argc, argv, power1, power2);
  if (!infile1 || !infile2) {
    say("%s", kUsage);
    warn("two readable input files are needed; try '%s --help'",
         *program_name() ? program_name() : "quarvel");
    exit(9);
  }
  catch_signals();
  // A new file that replaces the output only at the end takes the products as they are formed;
  // any other output is opened only once both inputs were read to their end.
  Output out;
  const bool early = open_replacement(outfilename, &out);
  Run run = start_run(infile1, infile1name, infile2, infile2name, power1, power2, argv[0],
                      memory_budget(), 0, early ? fileno(out.file) : -1);
  first_pass(run);
  if (!early) out = open_output(outfilename, overwrites_input(run, outfilename));
  outfile = out.file;
  if (run.early_error && !run.twice) {  // the products are lost, and can't be formed again
    end_run(run);
    return check_stdout(close_output(out, run.count, run.early_error));
  }
  // Standard output as the output gets the products after the lines, as a reader expects.
  Outcome done = second_pass(run, out.after_lines ? nullptr : outfile);
  print_summary(summary_of(run.totals, run.count));
  announce_output(outfilename, run.count);
  if (out.after_lines && !done.changed) {
    flush_stdout();
    const Outcome again = second_pass(run, outfile, false);
    done = {again.write_error, again.changed};
  }
  end_run(run);
  if (done.changed && out.way == Output::kReplace)
    warn("%s changed while it was read; %s was not written", done.changed, outfilename);
  else if (done.changed)
    warn("%s changed while it was read; the output does not match the summary", done.changed);
  const int status = close_output(out, run.count, done.write_error, done.changed != nullptr);
  return check_stdout(done.changed ? -1 : status);
}
