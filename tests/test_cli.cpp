// End to end: the built program in a fresh folder per case; stdout, stderr, exit status and
// every file left behind are checked separately.
#include <gtest/gtest.h>

#include <algorithm>

#include "run_quarvel.hpp"

namespace {

const std::string kUsage =
    "usage: quarvel file1.bin file2.bin [outfile.bin] -power1 1.0 -power2 1.0\noptions:\n";
const std::string kNeeded = "quarvel: two readable input files are needed; try 'quarvel --help'\n";

std::string names(std::initializer_list<const char *> files) {
  std::string s;
  for (const char *f : files) s += std::string("filename: ") + f + "\n";
  return s;
}

std::string alloc(long long bytes) {
  const std::string line = "allocating " + std::to_string(bytes) + " bytes\n";
  return line + line;
}

std::string writing(const std::string &name, long long count) {
  return "writing " + name + " as " + std::to_string(count) + " 4-byte floats\n";
}

// Summaries of the products that the cases below produce from a.bin and b.bin.
const std::string kTimes = "max = 8 min = 2\nmean = 5 rms = 5.47723 rmsd = 2.23607\n";
const std::string kTwos = "max = 2 min = 2\nmean = 2 rms = 2 rmsd = 0\n";

struct Case {
  const char *name;
  std::vector<std::string> args;
  std::string out;
  int status;
  std::map<std::string, std::vector<float>> written;  // files the run creates or replaces
  std::string err = "";
};

// Every case starts from a.bin = 1 2 3 4 and b.bin = 2 2 2 2; the folder afterwards must hold
// exactly those files, the ones in `written`, and nothing else.
void run_cases(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file(dir / "a.bin", float_bytes({1, 2, 3, 4}));
    write_file(dir / "b.bin", float_bytes({2, 2, 2, 2}));
    auto want = folder_contents(dir.path);
    for (const auto &[file, values] : c.written) want[file] = float_bytes(values);
    const RunResult r = run_quarvel(dir.path, c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(folder_contents(dir.path), want);
  }
}

std::string ignoring(std::initializer_list<const char *> words) {
  std::string s;
  for (const char *w : words) s += std::string("quarvel: ignoring argument '") + w + "'\n";
  return s;
}

std::string cannot_open(const std::string &name, const std::string &reason) {
  return "quarvel: cannot open " + name + ": " + reason + "\n";
}

std::string not_a_number(const std::string &option, const std::string &word,
                         const std::string &used) {
  return "quarvel: " + option + ": '" + word + "' is not a number; using " + used + "\n";
}

TEST(CommandLine, RolesAndMissingInputs) {
  const std::string ok = alloc(16) + kTimes;
  run_cases({
      {"no arguments", {}, kUsage, 9, {}, kNeeded},
      {"one input", {"a.bin"}, names({"a.bin"}) + kUsage, 9, {}, kNeeded},
      {"second input missing", {"a.bin", "none.bin"}, names({"a.bin", "none.bin"}) + kUsage, 9, {},
       cannot_open("none.bin", "No such file or directory") + kNeeded},
      {"default output", {"a.bin", "b.bin"}, names({"a.bin", "b.bin"}) + ok +
           writing("output.bin", 4), 0, {{"output.bin", {2, 4, 6, 8}}}},
      {"last file names the output", {"a.bin", "b.bin", "c.bin", "d.bin"},
       names({"a.bin", "b.bin", "c.bin", "d.bin"}) + ok + writing("d.bin", 4), 0,
       {{"d.bin", {2, 4, 6, 8}}}},
      {"failed open takes no role", {"none.bin", "a.bin", "b.bin"},
       names({"none.bin", "a.bin", "b.bin"}) + ok + writing("output.bin", 4), 0,
       {{"output.bin", {2, 4, 6, 8}}}, cannot_open("none.bin", "No such file or directory")},
      {"a mistyped second input shifts the roles, and is named", {"a.bin", "typo.bin", "b.bin"},
       names({"a.bin", "typo.bin", "b.bin"}) + ok + writing("output.bin", 4), 0,
       {{"output.bin", {2, 4, 6, 8}}}, cannot_open("typo.bin", "No such file or directory")},
      {"suffix is case-sensitive and needs a name", {"A.BIN", ".bin", "a.bin", "b.bin", "o.bin"},
       names({"a.bin", "b.bin", "o.bin"}) + ok + writing("o.bin", 4), 0, {{"o.bin", {2, 4, 6, 8}}},
       ignoring({"A.BIN", ".bin"})},
      {"other suffixes are no files", {"a.bin", "b.bin", "result.f32"},
       names({"a.bin", "b.bin"}) + ok + writing("output.bin", 4), 0,
       {{"output.bin", {2, 4, 6, 8}}}, ignoring({"result.f32"})},
      {"output may replace an input", {"a.bin", "b.bin", "a.bin"},
       names({"a.bin", "b.bin", "a.bin"}) + ok + writing("a.bin", 4), 0, {{"a.bin", {2, 4, 6, 8}}}},
  });
}

TEST(CommandLine, Options) {
  const std::string in = names({"a.bin", "b.bin"}) + alloc(16);
  run_cases({
      {"option as last word", {"a.bin", "b.bin", "-power1"}, in + kTimes + writing("output.bin", 4),
       0, {{"output.bin", {2, 4, 6, 8}}}, ignoring({"-power1"})},
      {"near misses of option words", {"a.bin", "b.bin", "-power", "2", "-Power1", "3", "-p1", "4"},
       in + kTimes + writing("output.bin", 4), 0, {{"output.bin", {2, 4, 6, 8}}},
       ignoring({"-power", "2", "-Power1", "3", "-p1", "4"})},
      {"help and version beside other words are words", {"a.bin", "b.bin", "--help", "--version"},
       in + kTimes + writing("output.bin", 4), 0, {{"output.bin", {2, 4, 6, 8}}},
       ignoring({"--help", "--version"})},
      {"no number gives 0", {"a.bin", "b.bin", "-power1", "abc"}, in + kTwos +
           writing("output.bin", 4), 0, {{"output.bin", {2, 2, 2, 2}}},
       not_a_number("-power1", "abc", "0")},
      {"value not consumed", {"a.bin", "b.bin", "-power1", "-power2", "3"},
       in + "max = 8 min = 8\nmean = 8 rms = 8 rmsd = 0\n" + writing("output.bin", 4), 0,
       {{"output.bin", {8, 8, 8, 8}}}, not_a_number("-power1", "-power2", "0")},
      {"containment, double dash", {"a.bin", "b.bin", "--power1", "2"},
       in + "max = 32 min = 2\nmean = 15 rms = 18.8149 rmsd = 11.3578\n" +
           writing("output.bin", 4), 0, {{"output.bin", {2, 8, 18, 32}}}},
      {"containment, trailing digits", {"a.bin", "b.bin", "-power12", "2e0"},
       in + "max = 32 min = 2\nmean = 15 rms = 18.8149 rmsd = 11.3578\n" +
           writing("output.bin", 4), 0, {{"output.bin", {2, 8, 18, 32}}}},
      {"both in one word", {"a.bin", "b.bin", "-power1-power2", "2"},
       in + "max = 64 min = 4\nmean = 30 rms = 37.6298 rmsd = 22.7156\n" +
           writing("output.bin", 4), 0, {{"output.bin", {4, 16, 36, 64}}}},
      {"later value wins", {"a.bin", "b.bin", "-power2", "2", "-power2", "  4xyz"},
       in + "max = 64 min = 16\nmean = 40 rms = 43.8178 rmsd = 17.8885\n" +
           writing("output.bin", 4), 0, {{"output.bin", {16, 32, 48, 64}}},
       not_a_number("-power2", "  4xyz", "4")},
      {"option without dash ignored", {"a.bin", "b.bin", "power1", "3"},
       in + kTimes + writing("output.bin", 4), 0, {{"output.bin", {2, 4, 6, 8}}},
       ignoring({"power1", "3"})},
      {"value that is also a file", {"a.bin", "-power1", "b.bin"},
       names({"a.bin", "b.bin"}) + alloc(16) + kTwos + writing("output.bin", 4), 0,
       {{"output.bin", {2, 2, 2, 2}}}, not_a_number("-power1", "b.bin", "0")},
      {"a decimal comma, a unit, an overflow; numbers in full are taken silently",
       {"a.bin", "b.bin", "-power1", "2,5", "-power2", "2x", "-power1", "1e400", "-power1",
        "1e39", "-power1", "-inf", "-power1", "0x1p1", "-power2", "nan", "-power2", "1e-50"},
       in + "max = 16 min = 1\nmean = 7.5 rms = 9.40744 rmsd = 5.67891\n" +
           writing("output.bin", 4), 0, {{"output.bin", {1, 4, 9, 16}}},
       not_a_number("-power1", "2,5", "2") + not_a_number("-power2", "2x", "2") +
           not_a_number("-power1", "1e400", "inf") + not_a_number("-power1", "1e39", "inf")},
      {"option that is also a file", {"a.bin", "b.bin", "-power1.bin", "3"},
       names({"a.bin", "b.bin", "-power1.bin"}) + alloc(16) +
           "max = 128 min = 2\nmean = 50 rms = 69.9285 rmsd = 48.8876\n" +
           writing("-power1.bin", 4), 0, {{"-power1.bin", {2, 16, 54, 128}}}},
  });
}

TEST(CommandLine, HelpAndVersion) {
  const std::string help = std::string(kUsage) +
      "  -power1 P   raise each value of file1.bin to P (1.0 unless given)\n"
      "  -power2 P   raise each value of file2.bin to P (1.0 unless given)\n"
      "  -h, --help  print this help and exit\n"
      "  --version   print the version and exit\n";
  run_cases({
      {"--help", {"--help"}, help, 0, {}},
      {"-h", {"-h"}, help, 0, {}},
      {"--version", {"--version"}, "quarvel " QUARVEL_VERSION "\n", 0, {}},
      {"help with a second word", {"-h", "x"}, kUsage, 9, {}, ignoring({"-h", "x"}) + kNeeded},
  });
}

// Standard output on a full device, or closed: the lost summary is said on standard error, and
// a run that would have succeeded fails; a failing run keeps its own status. A closed standard
// output's number is no file's: the first input is not taken for it.
TEST(CommandLine, StandardOutputCannotBeWritten) {
  const std::string lost = "quarvel: write error on standard output: No space left on device\n";
  struct { std::vector<std::string> args; bool closed; int status; std::string err; } cases[] = {
      {{"a.bin", "b.bin"}, false, 255, lost},
      {{"a.bin"}, false, 9, kNeeded + lost},
      {{"--version"}, false, 255, lost},
      {{"a.bin", "b.bin", "full.bin"}, false, 255,
       "quarvel: full.bin: No space left on device\n" + lost},
      {{"a.bin", "b.bin", "a.bin"}, true, 255,
       "quarvel: write error on standard output: Bad file descriptor\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0] + " ... " + c.args.back() + (c.closed ? ", closed" : ""));
    ScratchDir dir;
    write_file(dir / "a.bin", float_bytes({1, 2, 3, 4}));
    write_file(dir / "b.bin", float_bytes({2, 2, 2, 2}));
    ASSERT_EQ(symlink("/dev/full", (dir / "full.bin").c_str()), 0);
    RunOptions o;
    o.stdout_path = c.closed ? nullptr : "/dev/full";
    if (c.closed) o.closed = {1};
    const RunResult r = run_quarvel(dir.path, c.args, o);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    if (c.closed) {
      EXPECT_TRUE(read_file(dir / "a.bin") == float_bytes({2, 4, 6, 8}));
    }
  }
}

struct FileCase {
  const char *name;
  std::string first, second;  // raw bytes of a.bin and b.bin
  std::string out;
  std::vector<float> output;
};

TEST(SampleFiles, Sizes) {
  const std::string ab = names({"a.bin", "b.bin"});
  const FileCase cases[] = {
      {"empty first input", "", float_bytes({1}),
       ab + alloc(0) + "max = -inf min = inf\nmean = -nan rms = -nan rmsd = -nan\n" +
           writing("output.bin", 0), {}},
      {"trailing bytes ignored", float_bytes({1, 2}) + "xy", float_bytes({2, 2, 2}),
       ab + alloc(10) + "max = 4 min = 2\nmean = 3 rms = 3.16228 rmsd = 1\n" +
           writing("output.bin", 2), {2, 4}},
      {"short second input reads as zeros", float_bytes({1, 2, 3, 4}), float_bytes({3}),
       ab + alloc(16) + "max = 3 min = 0\nmean = 0.75 rms = 1.5 rmsd = 1.29904\n" +
           writing("output.bin", 4), {3, 0, 0, 0}},
      {"long second input cut", float_bytes({1, 2}), float_bytes({2, 2, 9, 9, 9}),
       ab + alloc(8) + "max = 4 min = 2\nmean = 3 rms = 3.16228 rmsd = 1\n" +
           writing("output.bin", 2), {2, 4}},
  };
  for (const FileCase &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file(dir / "a.bin", c.first);
    write_file(dir / "b.bin", c.second);
    write_file(dir / "output.bin", std::string(100, 'z'));  // replaced whole, never appended to
    const RunResult r = run_quarvel(dir.path, {"a.bin", "b.bin"});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir / "output.bin"), float_bytes(c.output));
    EXPECT_EQ(read_file(dir / "a.bin"), c.first);
    EXPECT_EQ(read_file(dir / "b.bin"), c.second);
  }
}

}  // namespace

namespace {

// A sparse first input just over 2 GiB: counts beyond 32 bits are processed and printed whole.
TEST(SampleFiles, FirstInputOverTwoGiB) {
#if defined(QUARVEL_EMULATOR)
  GTEST_SKIP() << "2 GiB take minutes under the emulator; the native build runs this";
#endif
  ScratchDir dir;
  const long long bytes = (1LL << 31) + 10, count = bytes / 4;
  FILE *f = fopen((dir / "a.bin").c_str(), "wb");
  ASSERT_TRUE(f && ftruncate(fileno(f), bytes) == 0 && fclose(f) == 0);
  write_file(dir / "b.bin", float_bytes({1, 2}));
  const RunResult r = run_quarvel(dir.path, {"a.bin", "b.bin"});
  EXPECT_EQ(r.out, names({"a.bin", "b.bin"}) + alloc(bytes) +
                       "max = 0 min = 0\nmean = 0 rms = 0 rmsd = 0\n" +
                       writing("output.bin", count));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  struct stat st;
  ASSERT_EQ(stat((dir / "output.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, count * 4);
}

}  // namespace

namespace {

// The same runs under a memory budget that two arrays don't fit (inputs read twice, in chunks
// of 16 values) and one that they do (chunks of 96): everything seen is the same as without one.
TEST(SampleFiles, RunsUnderAMemoryBudget) {
  struct Case {
    const char *name;
    size_t first, second;  // sizes in bytes of a.bin and b.bin
    std::vector<std::string> args;
  } cases[] = {
      {"default output", 4000, 4000, {"a.bin", "b.bin"}},
      {"output over the first input", 4002, 4000, {"a.bin", "b.bin", "a.bin", "-power2", "0.5"}},
      {"output over the second input", 4000, 6000, {"a.bin", "b.bin", "b.bin", "-power1", "3"}},
      {"output over a hard link to the second input", 4000, 2000, {"a.bin", "b.bin", "l.bin"}},
      {"second input shorter, ending inside a value", 4000, 1001, {"a.bin", "b.bin", "o.bin"}},
      {"empty first input", 0, 400, {"a.bin", "b.bin", "o.bin"}},
      {"full device", 4000, 4000, {"a.bin", "b.bin", "full.bin"}},
  };
  for (const Case &c : cases) {
    std::vector<RunResult> results;
    std::vector<std::map<std::string, std::string>> folders;
    for (const char *budget : {"", "64", "100000"}) {
      SCOPED_TRACE(std::string(c.name) + ", budget '" + budget + "'");
      ScratchDir dir;
      std::vector<float> a(c.first / 4 + 1), b(c.second / 4 + 1);
      for (size_t i = 0; i < a.size(); i++) a[i] = float(int(i % 97) - 40) / 8;
      for (size_t i = 0; i < b.size(); i++) b[i] = float(int(i % 89) - 30) / 4;
      write_file(dir / "a.bin", float_bytes(a).substr(0, c.first));
      write_file(dir / "b.bin", float_bytes(b).substr(0, c.second));
      ASSERT_EQ(link((dir / "b.bin").c_str(), (dir / "l.bin").c_str()), 0);
      ASSERT_EQ(symlink("/dev/full", (dir / "full.bin").c_str()), 0);
      RunOptions o;
      o.binary = QUARVEL_HOOKED;
      if (*budget) o.env = {{"QUARVEL_TEST_MEMORY", budget}};
      results.push_back(run_quarvel(dir.path, c.args, o));
      folders.push_back(folder_contents(dir.path));
      EXPECT_EQ(results.back().out, results[0].out);
      EXPECT_EQ(results.back().err, results[0].err);
      EXPECT_EQ(results.back().status, results[0].status);
      EXPECT_TRUE(folders.back() == folders[0]) << "the files left behind differ";
    }
    EXPECT_EQ(results[0].status, std::string(c.name) == "full device" ? 255 : 0) << c.name;
  }
}

// Built for another machine (64-bit ARM, under qemu-user), the program gives the same bytes,
// lines and statuses as the build for the machine that builds, on inputs full of what machines
// treat differently: NaNs of every sign and payload, infinities, zeros, subnormals, any bits.
TEST(Machines, SameBytesAsTheNativeBuild) {
#if !defined(QUARVEL_NATIVE_BINARY)
  GTEST_SKIP() << "only a cross build has a native build beside it to compare with";
#else
  // A file's 4-byte words in the byte order of the machine that builds (x86-64's).
  auto native_order = [](const std::string &path) {
    std::string bytes = read_file(path);
    if (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
      for (size_t i = 0; i + 4 <= bytes.size(); i += 4) std::reverse(&bytes[i], &bytes[i + 4]);
    return bytes;
  };
  const char *powers[][2] = {{"1", "1"}, {"2", "0.5"}, {"2.5", "-1.3"}, {"-1", "0"},
                             {"0.5", "2"}, {"1", "-1"}, {"3", "0.001"}, {"nan", "1"},
                             {"-nan(0x7654321076543)", "-3"}};
  // Any bits (huge and tiny values, whose powers overflow and underflow), then every kind but
  // NaNs (so that infinities and zeros meet), then every kind, NaNs with payloads too, often.
  for (auto [one_in, kinds] : {std::pair{8u, 1u}, {8u, 9u}, {2u, 12u}})
    for (const auto &p : powers) {
      ScratchDir dir, there;  // each build reads the same values in its own byte order
      write_file(dir / "a.bin", sample_bytes(3000, 20, one_in, kinds));
      write_file(dir / "b.bin", sample_bytes(2500, 21, one_in, kinds));
      for (const char *name : {"a.bin", "b.bin"})
        write_file(there / name, native_order(dir / name));
      const std::vector<std::string> args = {"a.bin", "b.bin", "o.bin", "-power1", p[0],
                                             "-power2", p[1]};
      RunOptions native;
      native.binary = QUARVEL_NATIVE_BINARY, native.native = true;
      const RunResult want = run_quarvel(there.path, args, native);
      const std::string want_bytes = native_order(there / "o.bin");
      const RunResult got = run_quarvel(dir.path, args, RunOptions());
      SCOPED_TRACE(std::string("powers ") + p[0] + " " + p[1] + ", one in " +
                   std::to_string(one_in) + " of " + std::to_string(kinds) + " kinds");
      EXPECT_EQ(got.out, want.out);
      EXPECT_EQ(got.err, want.err);
      EXPECT_EQ(got.status, want.status);
      EXPECT_TRUE(read_file(dir / "o.bin") == want_bytes) << "outputs differ";
    }
#endif
}

}  // namespace
