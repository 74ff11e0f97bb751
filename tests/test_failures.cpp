// Failures: each ends with its message and status, and leaves every input as it was.
#include <gtest/gtest.h>

#include <unistd.h>

#include "run_quarvel.hpp"
#include "samplefile.hpp"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // the sanitizer reserves terabytes of address space
#else
constexpr bool kSanitized = false;
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
const std::string kSmallSummary = "max = 16 min = 1\nmean = 7.5 rms = 9.40744 rmsd = 5.67891\n";

TEST(Failures, OutputCannotBeWritten) {
  const std::string big(8 << 20, '\0');  // 8 MiB: written past the stream's buffer at once
  run_failures({
      {"missing folder", {"a.bin", "b.bin", "none/o.bin"}, kSmall, "quarvel", 0,
       "filename: a.bin\nfilename: b.bin\nfilename: none/o.bin\n" + alloc_line(16) +
           alloc_line(16) + "ERROR: unable to open none/o.bin\n", "", 9, {}},
      {"folder as output", {"a.bin", "b.bin", "dir.bin"}, kSmall, "quarvel", 0,
       kInputs + "filename: dir.bin\n" + alloc_line(16) + alloc_line(16) +
           "ERROR: unable to open dir.bin\n", "", 9, {}},
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
       "-power1 1.0 -power2 1.0\noptions:\n", "quarvel: cannot open dir.bin: Is a directory\n", 9, {}},
      {"size can't be taken", {"pipe.bin", "b.bin"}, kSmall, "quarvel", 0,
       "filename: pipe.bin\nfilename: b.bin\n" + alloc_line(-1), "quarvel: Cannot allocate memory\n",
       9, {}},
      {"second input can't be read", {"a.bin", "mem.bin"}, kSmall, "quarvel", 0,
       "filename: a.bin\nfilename: mem.bin\n" + alloc_line(16) + alloc_line(16) +
           "ERROR: unable to read mem.bin\n", "", 9, {}},
  });
}

TEST(Failures, AllocationUnderAddressSpaceLimit) {
  const std::string first(64 << 20, '\0'), second(32 << 20, '\0');
  run_failures({
      {"first array", {"a.bin", "b.bin"}, first, "quarvel", 56 << 20,
       kInputs + alloc_line(64 << 20), "quarvel: Cannot allocate memory\n", 9, {}},
      {"second array", {"a.bin", "b.bin"}, second, "/usr/bin/quarvel", 56 << 20,
       kInputs + alloc_line(32 << 20) + alloc_line(32 << 20),
       "/usr/bin/quarvel: Cannot allocate memory\n", 9, {}},
      {"empty invocation name", {"a.bin", "b.bin"}, first, "", 56 << 20,
       kInputs + alloc_line(64 << 20), "Cannot allocate memory\n", 9, {}},
  });
}

// Under any address-space limit a run either fails cleanly for want of its arrays, or succeeds
// with the same output as without a limit: threads it can't have are done without.
TEST(Failures, AnyAddressSpaceLimit) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer reserves terabytes of address space";
  ScratchDir dir;
  std::vector<float> a(4 << 20), b(4 << 20);
  for (size_t i = 0; i < a.size(); i++) a[i] = float(i % 1000) / 7, b[i] = float(i % 777) / 3;
  write_file(dir / "a.bin", float_bytes(a));
  write_file(dir / "b.bin", float_bytes(b));
  const std::vector<std::string> args = {"a.bin", "b.bin", "o.bin", "-power1", "2.5"};
  const RunResult free_run = run_quarvel(dir.path, args);
  ASSERT_EQ(free_run.status, 0);
  const std::string want = read_file(dir / "o.bin");
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

// A stream whose every read fails, like a disk that returns I/O errors.
struct Position {
  off64_t size, at;
};

FILE *failing_stream(off64_t size) {
  cookie_io_functions_t io = {};
  io.read = [](void *, char *, size_t) -> ssize_t { return -1; };
  io.seek = [](void *c, off64_t *offset, int whence) -> int {
    Position *p = static_cast<Position *>(c);
    p->at = *offset + (whence == SEEK_END ? p->size : whence == SEEK_CUR ? p->at : 0);
    *offset = p->at;
    return 0;
  };
  return fopencookie(new Position{size, 0}, "r", io);
}

// Small inputs are read in turn and large ones side by side; either way a failing first input
// is the one reported, and nothing is reported for a short one.
TEST(LoadInputPairDeathTest, ReadErrorOnEitherInput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string dir = testing::TempDir();
  for (off64_t size : {off64_t{16}, off64_t{8} << 20}) {
    write_file(dir + "/good.bin", std::string(size, '\1'));
    auto good = [&] { return fopen((dir + "/good.bin").c_str(), "rb"); };
    const std::string allocated = alloc_line(size) + alloc_line(size);
    EXPECT_EXIT(
        {
          dup2(2, 1);  // the death test reads the child's standard error
          load_input_pair(failing_stream(size), "bad1.bin", good(), "good.bin", "quarvel");
        },
        testing::ExitedWithCode(9), allocated + "ERROR: unable to read bad1.bin\n$");
    EXPECT_EXIT(
        {
          dup2(2, 1);
          load_input_pair(good(), "good.bin", failing_stream(size), "bad2.bin", "quarvel");
        },
        testing::ExitedWithCode(9), allocated + "ERROR: unable to read bad2.bin\n$");
    EXPECT_EXIT(
        {
          dup2(2, 1);
          load_input_pair(failing_stream(size), "bad1.bin", failing_stream(size), "bad2.bin",
                          "quarvel");
        },
        testing::ExitedWithCode(9), allocated + "ERROR: unable to read bad1.bin\n$");
  }
}

}  // namespace
