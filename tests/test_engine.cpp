// The engine against the straightforward computation, bit for bit, with the products kept in
// memory and formed again, across chunk boundaries and thread counts; and what it does when
// inputs fail or change under it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "engine.hpp"
#include "messages.hpp"
#include "reference.hpp"
#include "run_quarvel.hpp"
#include "samplefile.hpp"

namespace {

const Budget kKeep = {int64_t{1} << 30, 64};  // two arrays fit: the products stay in memory
const Budget kStream = {0, 64};               // nothing fits: the second pass reads again

// Standard output to /dev/null while it lives: the engine prints its allocation lines.
struct Quiet {
  int saved;
  Quiet() {
    fflush(stdout);
    saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~Quiet() {
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
  }
};

struct Result {
  std::string output;
  Summary summary;
  Outcome outcome;
  int status;
};

// One whole run of the engine on the files a.bin and b.bin in `dir`, written to `out`, as
// the program runs it: `early`, the products go to a new file as they are formed (where the
// output is one to be replaced); `between` runs after the first pass.
template <class Between>
Result run_engine(const ScratchDir &dir, const std::string &out, float p1, float p2,
                  const Budget &budget, int threads, bool early, Between between) {
  Quiet quiet;
  FILE *in1 = fopen((dir / "a.bin").c_str(), "rb"), *in2 = fopen((dir / "b.bin").c_str(), "rb");
  Output o;
  early = early && open_replacement((dir / out).c_str(), &o);
  ::Run run = start_run(in1, "a.bin", in2, "b.bin", p1, p2, "quarvel", budget, threads,
                        early ? fileno(o.file) : -1);
  first_pass(run);
  between();
  if (!early) o = open_output((dir / out).c_str(), overwrites_input(run, (dir / out).c_str()));
  const Outcome outcome = second_pass(run, o.file);
  end_run(run);
  const int status = close_output(o, run.count, outcome.write_error);
  return {read_file(dir / out), summary_of(run.totals, run.count), outcome, status};
}

Result run_engine(const ScratchDir &dir, float p1, float p2, const Budget &budget, int threads,
                  bool early) {
  return run_engine(dir, "out.bin", p1, p2, budget, threads, early, [] {});
}

// What the straightforward computation gives for these input bytes.
Result oracle(const std::string &first, const std::string &second, float p1, float p2) {
  const size_t count = first.size() / 4;
  std::vector<float> a(count + 1), b(count + 1);  // never empty: memcpy wants real pointers
  memcpy(a.data(), first.data(), count * 4);
  memcpy(b.data(), second.data(), std::min(second.size(), count * 4));
  a.pop_back();
  reference_power_product(a.data(), b.data(), count, p1, p2);
  return {float_bytes(a), reference_summarize(a.data(), count), {0, nullptr}, 0};
}

void expect_same(const Result &got, const Result &want) {
  EXPECT_TRUE(got.output == want.output) << "outputs differ";
  const Summary &g = got.summary, &w = want.summary;
  EXPECT_EQ(bits(g.max), bits(w.max));
  EXPECT_EQ(bits(g.min), bits(w.min));
  EXPECT_EQ(bits(g.mean), bits(w.mean));
  EXPECT_EQ(bits(g.rms), bits(w.rms));
  EXPECT_EQ(bits(g.rmsd), bits(w.rmsd));
  EXPECT_EQ(got.outcome.write_error, 0);
  EXPECT_EQ(got.outcome.changed, nullptr);
  EXPECT_EQ(got.status, 0);
}

TEST(Engine, MatchesTheOracleAcrossChunksThreadsAndModes) {
  struct Case {
    const char *name;
    size_t first_bytes, second_bytes;
  } cases[] = {
      {"empty first input", 0, 40},
      {"one value", 4, 4},
      {"just under a chunk", 63 * 4, 63 * 4},
      {"exactly a chunk", 64 * 4, 64 * 4},
      {"just over a chunk", 65 * 4, 65 * 4},
      {"many chunks, 1 to 3 trailing bytes", 1000 * 4 + 3, 1000 * 4},
      {"second input shorter, ending inside a value", 700 * 4, 300 * 4 + 2},
      {"second input longer", 500 * 4, 900 * 4},
      {"second input empty", 300 * 4, 0},
  };
  const std::pair<float, float> powers[] = {{1, 1}, {2, 0.5f}, {2.5f, -1.3f}, {-1, 0}};
  for (const Case &c : cases)
    for (auto [p1, p2] : powers) {
      ScratchDir dir;
      const std::string first = sample_bytes(c.first_bytes / 4 + 1, 1).substr(0, c.first_bytes);
      const std::string second = sample_bytes(c.second_bytes / 4 + 1, 2).substr(0, c.second_bytes);
      write_file(dir / "a.bin", first);
      write_file(dir / "b.bin", second);
      const Result want = oracle(first, second, p1, p2);
      for (const Budget &budget : {kKeep, kStream, Budget{0, 100}, Budget{1 << 30, 16}})
        for (int threads : {1, 2, 3})
          for (bool early : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + ", powers " + std::to_string(p1) + " " +
                         std::to_string(p2) + ", chunk " + std::to_string(budget.chunk) +
                         (early                ? " written early"
                          : budget.available ? " in memory"
                                             : " read twice") +
                         ", " + std::to_string(threads) + " threads");
            expect_same(run_engine(dir, p1, p2, budget, threads, early), want);
          }
    }
}

// The summary taken piece by piece, at any cut, is the summary of the whole.
TEST(Engine, SummaryInPiecesEqualsTheWhole) {
  const std::string bytes = sample_bytes(5000, 3);
  const float *v = reinterpret_cast<const float *>(bytes.data());
  const Summary want = reference_summarize(v, 5000);
  for (int64_t piece : {1, 7, 255, 256, 257, 1000, 4999}) {
    Totals t;
    for (int64_t i = 0; i < 5000; i += piece) add_values(t, v + i, std::min<int64_t>(piece, 5000 - i));
    const float mean = mean_of(t, 5000);
    for (int64_t i = 0; i < 5000; i += piece)
      add_deviations(t, v + i, std::min<int64_t>(piece, 5000 - i), mean);
    const Summary got = summary_of(t, 5000);
    EXPECT_EQ(bits(got.max), bits(want.max)) << piece;
    EXPECT_EQ(bits(got.min), bits(want.min)) << piece;
    EXPECT_EQ(bits(got.rms), bits(want.rms)) << piece;
    EXPECT_EQ(bits(got.rmsd), bits(want.rmsd)) << piece;
  }
}

// Only the second pass over inputs read again can see a change; the first input is named when
// both changed. Products are kept when they fit, except those of exponents 1 and 0, which cost
// less to form again than to keep; products written early to a new output are read back.
TEST(Engine, InputChangedBetweenPasses) {
  struct Case {
    const char *name;
    Budget budget;
    float power1;
    bool change1, change2;
    const char *named;
    bool early;
  } cases[] = {
      {"first input, read twice", kStream, 1.5f, true, false, "a.bin", false},
      {"second input, read twice", kStream, 1.5f, false, true, "b.bin", false},
      {"both, read twice", kStream, 1.5f, true, true, "a.bin", false},
      {"first input, kept in memory", kKeep, 1.5f, true, false, nullptr, false},
      {"first input, cheaper to form again", kKeep, 1, true, false, "a.bin", false},
      {"both, written early", kStream, 1, true, true, nullptr, true},
  };
  const std::string first = sample_bytes(1000, 4), second = sample_bytes(1000, 5);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file(dir / "a.bin", first);
    write_file(dir / "b.bin", second);
    // One value in a chunk in the middle, and the last one, whose products the change moves:
    // both factors ordinary and positive.
    const float *x = reinterpret_cast<const float *>(first.data());
    const float *y = reinterpret_cast<const float *>(second.data());
    int middle = 500;
    while (!(x[middle] > 0.01f && x[middle] < 4 && y[middle] > 0.01f && y[middle] < 4)) middle++;
    std::string changed_first = first;
    changed_first[4 * middle + 1] ^= 0x10;
    int last = 999;
    while (!(x[last] > 0.01f && x[last] < 4 && y[last] > 0.01f && y[last] < 4)) last--;
    std::string changed_second = second;
    changed_second[4 * last] ^= 0x01;
    const Result r = run_engine(dir, "out.bin", c.power1, 1, c.budget, 2, c.early, [&] {
      if (c.change1) write_file(dir / "a.bin", changed_first);
      if (c.change2) write_file(dir / "b.bin", changed_second);
    });
    if (c.named) {
      ASSERT_NE(r.outcome.changed, nullptr);
      EXPECT_STREQ(r.outcome.changed, c.named);
    } else {
      expect_same(r, oracle(first, second, c.power1, 1));  // the first pass's products were kept
    }
  }
}

// An output that is one of the inputs, read twice: it is written over in place, each chunk after
// it was read, and cut to the result's length.
TEST(Engine, OutputOverAnInputReadTwice) {
  const std::string first = sample_bytes(900, 6) + "xy", second = sample_bytes(1300, 7);
  for (const char *out : {"a.bin", "b.bin", "link.bin"}) {
    SCOPED_TRACE(out);
    ScratchDir dir;
    write_file(dir / "a.bin", first);
    write_file(dir / "b.bin", second);
    ASSERT_EQ(link((dir / "b.bin").c_str(), (dir / "link.bin").c_str()), 0);
    const Result want = oracle(first, second, 2, 0.5f);
    expect_same(run_engine(dir, out, 2, 0.5f, kStream, 2, false, [] {}), want);
  }
}

// Death tests start this program again, unless under an emulator, which can't: there they fork.
#if defined(QUARVEL_EMULATOR)
const char *const kDeathTestStyle = "fast";
#else
const char *const kDeathTestStyle = "threadsafe";
#endif

// A pipe as the second input works while the products fit in memory, and fails before anything
// is read or written when they would have to be formed again.
TEST(EngineDeathTest, SecondInputThatCanOnlyBeReadOnce) {
  GTEST_FLAG_SET(death_test_style, kDeathTestStyle);
  set_program_name("quarvel");
  const std::string first = sample_bytes(300, 8), second = sample_bytes(300, 9);
  auto pipe_of = [&](const std::string &bytes) {
    int fds[2];
    if (pipe(fds) != 0 || write(fds[1], bytes.data(), bytes.size()) != ssize_t(bytes.size()))
      abort();
    close(fds[1]);
    return fdopen(fds[0], "rb");
  };
  ScratchDir dir;
  write_file(dir / "a.bin", first);
  {
    Quiet quiet;
    ::Run run = start_run(fopen((dir / "a.bin").c_str(), "rb"), "a.bin", pipe_of(second), "pipe",
                        1, 2, "quarvel", kKeep, 2);
    first_pass(run);
    Output o = open_output((dir / "out.bin").c_str());
    second_pass(run, o.file);
    EXPECT_EQ(close_output(o, run.count, 0), 0);
    EXPECT_TRUE(read_file(dir / "out.bin") == oracle(first, second, 1, 2).output);
  }
  EXPECT_EXIT(start_run(fopen((dir / "a.bin").c_str(), "rb"), "a.bin", pipe_of(second), "pipe",
                        1, 2, "quarvel", kStream, 2),
              testing::ExitedWithCode(9),
              "quarvel: pipe can't be read twice, and the products of these inputs don't fit "
              "in memory\n$");
}

// Reads that fail: in the first pass the run ends before the output is touched (status 9), the
// first input's error named before the second's; in the second pass, after it (status 255).
TEST(EngineDeathTest, ReadErrors) {
  GTEST_FLAG_SET(death_test_style, kDeathTestStyle);
  ScratchDir dir;
  write_file(dir / "a.bin", sample_bytes(1000, 10));
  write_file(dir / "b.bin", sample_bytes(1000, 11));
  // Makes a stream's reads fail as a failing disk's do, once its size was taken.
  auto fail_reads = [](FILE *f) {
    const int bad = open("/proc/self/mem", O_RDONLY);
    dup2(bad, fileno(f));
    close(bad);
  };
  struct Case {
    const char *name;
    Budget budget;
    bool fail1, fail2, in_second_pass;
    std::string out;
    int status;
  } cases[] = {
      {"first input", kKeep, true, false, false, "ERROR: unable to read a.bin\n", 9},
      {"second input", kStream, false, true, false, "ERROR: unable to read b.bin\n", 9},
      {"both", kStream, true, true, false, "ERROR: unable to read a.bin\n", 9},
      {"first input, second pass", kStream, true, false, true, "ERROR: unable to read a.bin\n", 255},
      {"second input, second pass", kStream, false, true, true, "ERROR: unable to read b.bin\n", 255},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          dup2(2, 1);  // the death test reads the child's standard error
          FILE *in1 = fopen((dir / "a.bin").c_str(), "rb");
          FILE *in2 = fopen((dir / "b.bin").c_str(), "rb");
          ::Run run = start_run(in1, "a.bin", in2, "b.bin", 1, 1, "quarvel", c.budget, 2);
          if (c.in_second_pass) first_pass(run);
          if (c.fail1) fail_reads(in1);
          if (c.fail2) fail_reads(in2);
          if (!c.in_second_pass) first_pass(run);
          second_pass(run, open_output((dir / "out.bin").c_str()).file);
          exit(0);
        },
        testing::ExitedWithCode(c.status),
        "allocating 4000 bytes\nallocating 4000 bytes\n" + c.out + "$");
  }
}

}  // namespace
