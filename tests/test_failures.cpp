// Failures: each ends with its message and status, and leaves every input as it was.
#include <gtest/gtest.h>

#include <unistd.h>

#include "run_quarvel.hpp"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // the sanitizer reserves terabytes of address space
#else
constexpr bool kSanitized = false;
#endif
#if defined(QUARVEL_EMULATOR)
constexpr bool kEmulated = true;  // a limit on address space binds the emulator, not the program
#else
constexpr bool kEmulated = false;
#endif

const std::string kInputs = "filename: a.bin\nfilename: b.bin\n";

std::string alloc_line(long long bytes) {
  return "allocating " + std::to_string(bytes) + " bytes\n";
}

struct FailCase {
  const char *name;
  std::vector<std::string> args;
  std::string first_bytes;  // a.bin; b.bin is 1 2 3 4
  std::string argv0;
  rlim_t as_limit;
  std::string out, err;
  int status;
  std::map<std::string, std::string> created;  // files the run may leave besides the inputs
};

void run_failures(const std::vector<FailCase> &cases) {
  for (const FailCase &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.as_limit && kSanitized) continue;
    ScratchDir dir;
    write_file(dir / "a.bin", c.first_bytes);
    write_file(dir / "b.bin", float_bytes({1, 2, 3, 4}));
    if (symlink("/dev/full", (dir / "full.bin").c_str()) != 0 ||
        symlink("/proc/self/mem", (dir / "mem.bin").c_str()) != 0 ||
        symlink("/proc/self/fd/0", (dir / "pipe.bin").c_str()) != 0 ||
        mkdir((dir / "dir.bin").c_str(), 0755) != 0)
      FAIL() << "cannot prepare " << dir.path;
    auto want = folder_contents(dir.path);
    for (const auto &[file, bytes] : c.created) want[file] = bytes;
    const RunResult r = run_quarvel(dir.path, c.args, c.argv0, c.as_limit);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(folder_contents(dir.path), want);
  }
}

const std::string kSmall = float_bytes({1, 2, 3, 4});
const std::string kNoSize =
    "pipe.bin: cannot take the size of a pipe or device; the first input must be a file\n";
const std::string kSmallSummary = "max = 16 min = 1\nmean = 7.5 rms = 9.40744 rmsd = 5.67891\n";

TEST(Failures, OutputCannotBeWritten) {
  const std::string big(8 << 20, '\0');  // 8 MiB: written past the stream's buffer at once
  run_failures({
      {"missing folder", {"a.bin", "b.bin", "none/o.bin"}, kSmall, "quarvel", 0,
       "filename: a.bin\nfilename: b.bin\nfilename: none/o.bin\n" + alloc_line(16) +
           alloc_line(16) + "ERROR: unable to open none/o.bin\n",
       "quarvel: none/o.bin: No such file or directory\n", 9, {}},
      {"folder as output", {"a.bin", "b.bin", "dir.bin"}, kSmall, "quarvel", 0,
       kInputs + "filename: dir.bin\n" + alloc_line(16) + alloc_line(16) +
           "ERROR: unable to open dir.bin\n", "quarvel: dir.bin: Is a directory\n", 9, {}},
      {"full device, small write", {"a.bin", "b.bin", "full.bin"}, kSmall, "quarvel", 0,
       kInputs + "filename: full.bin\n" + alloc_line(16) + alloc_line(16) + kSmallSummary +
           "writing full.bin as 4 4-byte floats\n", "quarvel: full.bin: No space left on device\n",
       255, {}},
      {"full device, large write", {"a.bin", "b.bin", "full.bin"}, big, "quarvel", 0,
       kInputs + "filename: full.bin\n" + alloc_line(8 << 20) + alloc_line(8 << 20) +
           "max = 0 min = 0\nmean = 0 rms = 0 rmsd = 0\n"
           "writing full.bin as 2097152 4-byte floats\n",
       "quarvel: full.bin: No space left on device\n", 255, {}},
  });
}

TEST(Failures, InputsThatCannotBeUsed) {
  run_failures({
      {"folder as input takes no role", {"dir.bin", "a.bin", "b.bin"}, kSmall, "quarvel", 0,
       "filename: dir.bin\n" + kInputs + alloc_line(16) + alloc_line(16) + kSmallSummary +
           "writing output.bin as 4 4-byte floats\n", "quarvel: cannot open dir.bin: Is a directory\n",
       0, {{"output.bin", float_bytes({1, 4, 9, 16})}}},
      {"folders only", {"dir.bin", "a.bin"}, kSmall, "quarvel", 0,
       "filename: dir.bin\nfilename: a.bin\nusage: quarvel file1.bin file2.bin [outfile.bin] "
       "-power1 1.0 -power2 1.0\noptions:\n", "quarvel: cannot open dir.bin: Is a directory\n"
       "quarvel: two readable input files are needed; try 'quarvel --help'\n", 9, {}},
      {"size can't be taken", {"pipe.bin", "b.bin"}, kSmall, "quarvel", 0,
       "filename: pipe.bin\nfilename: b.bin\n" + alloc_line(-1), "quarvel: " + kNoSize +
       "quarvel: Cannot allocate memory\n", 9, {}},
      {"size can't be taken, empty invocation name", {"pipe.bin", "b.bin"}, kSmall, "", 0,
       "filename: pipe.bin\nfilename: b.bin\n" + alloc_line(-1), kNoSize + "Cannot allocate memory\n",
       9, {}},
      {"second input can't be read", {"a.bin", "mem.bin"}, kSmall, "quarvel", 0,
       "filename: a.bin\nfilename: mem.bin\n" + alloc_line(16) + alloc_line(16) +
           "ERROR: unable to read mem.bin\n", "quarvel: mem.bin: Input/output error\n", 9, {}},
      {"second input can't be read in the bytes past the last value", {"a.bin", "mem.bin"}, "x",
       "quarvel", 0, "filename: a.bin\nfilename: mem.bin\n" + alloc_line(1) + alloc_line(1) +
           "ERROR: unable to read mem.bin\n", "quarvel: mem.bin: Input/output error\n", 9, {}},
  });
}

// Writes a.bin and b.bin of `count1` and `count2` values into `dir` and runs `args` there
// without a limit: gives the run, and the output o.bin (then removed) in `output`.
RunResult unlimited_run(const ScratchDir &dir, size_t count1, size_t count2,
                        const std::vector<std::string> &args, std::string *output) {
  std::vector<float> a(count1), b(count2);
  for (size_t i = 0; i < a.size(); i++) a[i] = float(i % 1000) / 7 - 50;
  for (size_t i = 0; i < b.size(); i++) b[i] = float(i % 777) / 3;
  write_file(dir / "a.bin", float_bytes(a));
  write_file(dir / "b.bin", float_bytes(b));
  const RunResult r = run_quarvel(dir.path, args);
  *output = read_file(dir / "o.bin");
  unlink((dir / "o.bin").c_str());
  return r;
}

// Under an address-space limit that two arrays of the first input's size would not fit, the run
// streams both inputs instead, and gives what it gives without a limit.
TEST(Failures, InputsLargerThanTheAddressSpaceLimit) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer reserves terabytes of address space";
  if (kEmulated) GTEST_SKIP() << "the limit would bind the emulator, whose own needs differ";
  ScratchDir dir;
  const std::vector<std::string> args = {"a.bin", "b.bin", "o.bin", "-power2", "1.5"};
  std::string want;
  const RunResult free_run = unlimited_run(dir, 16 << 20, 8 << 20, args, &want);
  ASSERT_EQ(free_run.status, 0);
  const RunResult limited = run_quarvel(dir.path, args, "quarvel", 56 << 20);  // a is 64 MiB
  EXPECT_EQ(limited.status, 0) << limited.err;
  EXPECT_EQ(limited.out, free_run.out);
  EXPECT_TRUE(read_file(dir / "o.bin") == want);
}

// Under any address-space limit a run either fails cleanly for want of its arrays, or succeeds
// with the same output as without a limit: threads it can't have are done without.
TEST(Failures, AnyAddressSpaceLimit) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer reserves terabytes of address space";
  if (kEmulated) GTEST_SKIP() << "the limit would bind the emulator, whose own needs differ";
  ScratchDir dir;
  const std::vector<std::string> args = {"a.bin", "b.bin", "o.bin", "-power1", "2.5"};
  std::string want;
  const RunResult free_run = unlimited_run(dir, 4 << 20, 4 << 20, args, &want);
  ASSERT_EQ(free_run.status, 0);
  int succeeded = 0;
  for (rlim_t mib = 30; mib <= 80; mib += 2) {
    SCOPED_TRACE(std::to_string(mib) + " MiB");
    unlink((dir / "o.bin").c_str());
    const RunResult r = run_quarvel(dir.path, args, "quarvel", mib << 20);
    if (r.status == 9) {
      EXPECT_EQ(r.err, "quarvel: Cannot allocate memory\n");
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, free_run.out);
    EXPECT_EQ(read_file(dir / "o.bin"), want);
    succeeded++;
  }
  EXPECT_GT(succeeded, 0);
}

}  // namespace
