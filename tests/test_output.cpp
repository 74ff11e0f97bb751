// The output is replaced whole or not at all: what a run leaves behind when it succeeds, fails
// or is interrupted, for every kind of output.
#include <gtest/gtest.h>

#include <pty.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "reference.hpp"
#include "run_quarvel.hpp"
#include "summary.hpp"

namespace {

constexpr uid_t kNobody = 65534;
const std::string kOld = "old output";
const std::vector<float> kProducts = {2, 4, 6, 8};  // of a.bin = 1 2 3 4 and b.bin = 2 2 2 2

std::string file(unsigned mode, unsigned uid, unsigned links, const std::string &bytes) {
  char text[64];
  snprintf(text, sizeof text, "%04o uid %u links %u: ", mode, uid, links);
  return text + bytes;
}

// What a path is: a file's mode, owner, link count and bytes, or a link's target.
std::string describe(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "missing";
  if (S_ISLNK(st.st_mode)) {
    char text[128];
    const ssize_t n = readlink(path.c_str(), text, sizeof text - 1);
    return "link to " + std::string(text, n > 0 ? n : 0);
  }
  return file(st.st_mode & 07777, st.st_uid, st.st_nlink, read_file(path));
}

struct ReplaceCase {
  const char *name;
  std::vector<std::string> setup;  // shell commands run in the folder first
  std::vector<std::string> args;
  RunOptions options;
  int status;
  std::string err;
  std::map<std::string, std::string> after;  // every entry of the folder, described
};

RunOptions as(uid_t uid) {
  RunOptions o;
  o.uid = uid;
  return o;
}

RunOptions hooked(std::vector<std::pair<std::string, std::string>> env) {
  RunOptions o;
  o.binary = QUARVEL_HOOKED;
  o.env = std::move(env);
  return o;
}

// What a file system gives a new file, and whether it keeps permission bits at all.
struct FileSystem {
  unsigned fresh;  // a new file's permission bits
  bool bits;
};

FileSystem probe_file_system() {
  ScratchDir dir;
  write_file(dir / "f", "");
  struct stat st;
  const bool bits = chmod((dir / "f").c_str(), 0604) == 0 && stat((dir / "f").c_str(), &st) == 0 &&
                    (st.st_mode & 07777) == 0604;
  write_file(dir / "g", "");
  stat((dir / "g").c_str(), &st);
  return {st.st_mode & 07777u, bits};
}

// On a file system other than the usual one (QUARVEL_TEST_DIR), a case whose set-up it can't
// do (hard or symbolic links, permission bits) is left out; elsewhere that is a failure.
TEST(Output, ReplacingKeepsWhatCallersSee) {
  const FileSystem fs = probe_file_system();
  const unsigned me = geteuid(), m = fs.fresh;
  const bool foreign = getenv("QUARVEL_TEST_DIR") != nullptr;
  const std::string a = float_bytes({1, 2, 3, 4}), b = float_bytes({2, 2, 2, 2});
  const std::string out = float_bytes(kProducts);
  const std::vector<std::string> ab = {"a.bin", "b.bin"};
  auto with = [&](std::string o) { return std::vector<std::string>{"a.bin", "b.bin", o}; };
  const std::map<std::string, std::string> inputs = {{"a.bin", file(m, me, 1, a)},
                                                     {"b.bin", file(m, me, 1, b)}};
  auto plus = [&](std::map<std::string, std::string> more) {
    more.insert(inputs.begin(), inputs.end());
    return more;
  };
  const RunOptions plain;
  const RunOptions named = hooked({{"QUARVEL_TEST_NAMED_TEMP", "1"}});
  const RunOptions twice = hooked({{"QUARVEL_TEST_MEMORY", "64"}});  // inputs read twice
  const std::string denied = "Permission denied\n";
  const ReplaceCase cases[] = {
      {"an old output is replaced", {}, with("o.bin"), plain, 0, "",
       plus({{"o.bin", file(m, me, 1, out)}})},
      {"permission bits kept", {"chmod 0604 o.bin"}, with("o.bin"), plain, 0, "",
       plus({{"o.bin", file(0604, me, 1, out)}})},
      {"permission bits kept, under a hidden name", {"chmod 0604 o.bin"}, with("o.bin"), named,
       0, "", plus({{"o.bin", file(0604, me, 1, out)}})},
      {"a new name gets what creating it gives", {}, with("n.bin"), named, 0, "",
       plus({{"o.bin", file(m, me, 1, kOld)}, {"n.bin", file(m, me, 1, out)}})},
      {"a symbolic link stays one; its target is replaced", {"ln -s sub/t.bin l.bin", "mkdir sub",
       "cp o.bin sub/t.bin"}, with("l.bin"), plain, 0, "",
       plus({{"o.bin", file(m, me, 1, kOld)}, {"l.bin", "link to sub/t.bin"},
             {"sub/t.bin", file(m, me, 1, out)}})},
      {"a link to nowhere: its target is made", {"ln -s t.bin l.bin"}, with("l.bin"), named, 0,
       "", plus({{"o.bin", file(m, me, 1, kOld)}, {"l.bin", "link to t.bin"},
                 {"t.bin", file(m, me, 1, out)}})},
      {"other hard links: written in place", {"ln o.bin h.bin"}, with("o.bin"), plain, 0, "",
       plus({{"o.bin", file(m, me, 2, out)}, {"h.bin", file(m, me, 2, out)}})},
      {"the first input, read twice", {}, with("a.bin"), twice, 0, "",
       {{"a.bin", file(m, me, 1, out)}, {"b.bin", file(m, me, 1, b)},
        {"o.bin", file(m, me, 1, kOld)}}},
      {"a hard link to the second input, read twice: in place", {"ln b.bin h.bin"}, with("h.bin"),
       twice, 0, "", {{"a.bin", file(m, me, 1, a)}, {"b.bin", file(m, me, 2, out)},
                      {"h.bin", file(m, me, 2, out)}, {"o.bin", file(m, me, 1, kOld)}}},
      {"another user's file: written in place, its owner kept", {"chmod 0666 o.bin"},
       with("o.bin"), as(kNobody), 0, "", plus({{"o.bin", file(0666, me, 1, out)}})},
      {"a folder where nothing can be made: written in place", {"chmod 0666 o.bin", "chmod 0755 ."},
       with("o.bin"), as(kNobody), 0, "", plus({{"o.bin", file(0666, me, 1, out)}})},
      {"a new name where nothing can be made", {"chmod 0755 ."}, with("n.bin"), as(kNobody), 9,
       "quarvel: n.bin: " + denied, plus({{"o.bin", file(m, me, 1, kOld)}})},
      {"a file the user may not write", {"chmod 0644 o.bin"}, with("o.bin"), as(kNobody), 9,
       "quarvel: o.bin: " + denied, plus({{"o.bin", file(0644, me, 1, kOld)}})},
      {"the default output", {}, ab, plain, 0, "",
       plus({{"o.bin", file(m, me, 1, kOld)}, {"output.bin", file(m, me, 1, out)}})},
  };
  std::string left_out;
  for (const ReplaceCase &c : cases) {
    SCOPED_TRACE(c.name);
    const bool needs_bits = std::any_of(c.setup.begin(), c.setup.end(), [](const std::string &s) {
      return s.rfind("chmod", 0) == 0;
    });
    if ((c.options.uid && me != 0) || (needs_bits && !fs.bits)) {
      left_out += std::string("\n") + c.name + (c.options.uid && me != 0 ? ": needs root to run "
                  "as another user" : ": the file system keeps no permission bits");
      continue;
    }
    ScratchDir dir;
    if (c.options.uid) chmod(dir.path.c_str(), 0777);
    write_file(dir / "a.bin", a);
    write_file(dir / "b.bin", b);
    write_file(dir / "o.bin", kOld);
    bool done = true;
    for (const std::string &command : c.setup) {
      done = done && system(("cd '" + dir.path + "' && " + command + " 2>/dev/null").c_str()) == 0;
      if (!foreign) {
        ASSERT_TRUE(done) << command;
      }
    }
    if (!done) {
      left_out += std::string("\n") + c.name + ": the file system can't take its set-up";
      continue;
    }
    const RunResult r = run_quarvel(dir.path, c.args, c.options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    std::map<std::string, std::string> seen;
    for (const auto &[name, bytes] : folder_contents(dir.path)) seen[name] = describe(dir / name);
    if (seen.count("sub"))
      for (const auto &[name, bytes] : folder_contents(dir / "sub"))
        seen["sub/" + name] = describe(dir / ("sub/" + name));
    seen.erase("sub");
    EXPECT_EQ(seen, c.after);
  }
  if (!left_out.empty()) GTEST_SKIP() << "cases left out:" << left_out;
}

// Writes zeros to `path` until the file system holding it is full.
void fill(const std::string &path) {
  const std::string zeros(1 << 16, '\0');
  FILE *f = fopen(path.c_str(), "wb");
  for (size_t n = zeros.size(); f && n > 0; n /= 2)
    while (fwrite(zeros.data(), 1, n, f) == n && fflush(f) == 0) {
    }
  if (f) fclose(f);
}

// A failed write leaves the old output: a file size limit stops the new file partway, with the
// signal it sends ignored (a failed write) or caught (the run dies of it); a full file system
// (one of its own: QUARVEL_TEST_DIR) stops the new file, or keeps it from being made.
TEST(Output, AFailedWriteLeavesTheOldOutput) {
  const std::vector<float> a(4000, 1.5f), b(4000, 2.0f);
  struct Case {
    const char *name;
    rlim_t file_limit;
    std::vector<int> ignored;
    bool full;
    std::vector<int> statuses;
    std::string err;  // where the file system is full, how it says so is its own
  } cases[] = {
      {"SIGXFSZ ignored", 8192, {SIGXFSZ}, false, {255}, "quarvel: o.bin: File too large\n"},
      {"SIGXFSZ caught", 8192, {}, false, {1000 + SIGXFSZ}, ""},
      {"a full file system", 0, {}, true, {255, 9}, "quarvel: o.bin: "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.full && !getenv("QUARVEL_TEST_DIR")) {
      GTEST_SKIP() << "a full file system needs one of its own (QUARVEL_TEST_DIR) to fill";
    }
    ScratchDir dir;
    write_file(dir / "a.bin", float_bytes(a));
    write_file(dir / "b.bin", float_bytes(b));
    write_file(dir / "o.bin", kOld);
    const auto before = folder_contents(dir.path);
    if (c.full) fill(dir / "filler");
    RunOptions o;
    o.file_limit = c.file_limit;  // the products are 16000 bytes; the lines on standard output fit
    o.ignored = c.ignored;
    const RunResult r = run_quarvel(dir.path, {"a.bin", "b.bin", "o.bin"}, o);
    if (c.full) unlink((dir / "filler").c_str());
    EXPECT_NE(std::find(c.statuses.begin(), c.statuses.end(), r.status), c.statuses.end())
        << r.status;
    EXPECT_EQ(c.full ? r.err.substr(0, c.err.size()) : r.err, c.err) << r.err;
    EXPECT_EQ(folder_contents(dir.path), before);
  }
}

// Signals at random moments of runs long enough to be caught in every stage: each run leaves
// the old output, or the new one whole, and the inputs as they were, and nothing else.
TEST(Output, InterruptedRunsLeaveTheOldOutputOrTheNewOneWhole) {
  const size_t count = 4 << 20;
  std::mt19937 rng(17);
  std::vector<float> a(count), b(count);
  for (size_t i = 0; i < count; i++)
    a[i] = std::uniform_real_distribution<float>(-2, 2)(rng), b[i] = float(i % 1000) / 10;
  const std::string first = float_bytes(a), second = float_bytes(b);
  struct Case {
    const char *name;
    std::vector<std::string> args;
    RunOptions options;
  } cases[] = {
      {"over an old output", {"a.bin", "b.bin", "o.bin", "-power1", "2.5", "-power2", "-1.3"}, {}},
      {"over the first input", {"a.bin", "b.bin", "a.bin"}, {}},
      {"under a hidden name, over the second", {"a.bin", "b.bin", "b.bin", "-power2", "0.5"},
       hooked({{"QUARVEL_TEST_NAMED_TEMP", "1"}, {"QUARVEL_TEST_MEMORY", "100000000"}})},
  };
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    auto lay_out = [&] {  // as new files: fusefat can't write over one
      for (const char *name : {"a.bin", "b.bin", "o.bin"}) unlink((dir / name).c_str());
      write_file(dir / "a.bin", first);
      write_file(dir / "b.bin", second);
      write_file(dir / "o.bin", kOld);
    };
    lay_out();
    const auto before = folder_contents(dir.path);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_quarvel(dir.path, c.args, c.options).status, 0);
    const auto took = std::chrono::steady_clock::now() - start;
    const auto complete = folder_contents(dir.path);
    ASSERT_NE(complete, before);
    int interrupted = 0;
    for (int k = 0; k < 12; k++) {
      lay_out();
      const Spawned s = spawn_quarvel(dir.path, c.args, c.options);
      std::this_thread::sleep_for(took * std::uniform_real_distribution<double>(0, 1.1)(rng));
      const int sig = signals[k % 3];
      kill(s.pid, sig);
      const RunResult r = wait_quarvel(s);
      ASSERT_TRUE(r.status == 0 || r.status == 1000 + sig) << r.status << " " << r.err;
      interrupted += r.status != 0;
      const auto after = folder_contents(dir.path);
      EXPECT_TRUE(after == before || after == complete) << "after a signal " << sig << " at run "
                                                        << k;
    }
    EXPECT_GT(interrupted, 0);
  }
}

// On a terminal, a signal erases the progress line before the run dies of it.
TEST(Output, ASignalErasesTheProgressLine) {
  ScratchDir dir;
  FILE *f = fopen((dir / "a.bin").c_str(), "wb");
  ASSERT_TRUE(f && ftruncate(fileno(f), 1 << 30) == 0 && fclose(f) == 0);  // sparse
  write_file(dir / "b.bin", float_bytes({1, 2}));
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
    GTEST_SKIP() << "no pseudo-terminal to be had here (/dev/pts): " << strerror(errno);
  RunOptions o;
  const std::string tty = ttyname(slave);
  o.stderr_path = tty.c_str();
  const Spawned s = spawn_quarvel(dir.path, {"a.bin", "b.bin"}, o);
  close(slave);
  std::string screen;
  char buf[4096];
  bool signalled = false;
  for (pollfd p = {master, POLLIN, 0}; poll(&p, 1, 20000) > 0;) {
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // the program is gone
    screen.append(buf, n);
    if (!signalled && screen.find("GiB/s") != std::string::npos)
      signalled = kill(s.pid, SIGINT) == 0;
  }
  close(master);
  const RunResult r = wait_quarvel(s);
  ASSERT_TRUE(signalled) << screen;
  EXPECT_EQ(r.status, 1000 + SIGINT);
  EXPECT_EQ(screen.substr(screen.size() - 4), "\r\033[K");
  EXPECT_EQ(read_file(dir / "output.bin"), "");
}

// Outputs that are not files are written as they are, never cut; the output that is standard
// output gets the products after the lines.
TEST(Output, DevicesAndStandardOutput) {
  std::vector<float> many(1500);
  for (size_t i = 0; i < many.size(); i++) many[i] = float(i);
  const std::string a = float_bytes(many), b = float_bytes(std::vector<float>(1500, 1.0f));
  const std::string lines = "filename: a.bin\nfilename: b.bin\nfilename: so.bin\n"
                            "allocating 6000 bytes\nallocating 6000 bytes\n"
                            "max = 1499 min = 0\nmean = 749.5 rms = 865.592 rmsd = 433.013\n"
                            "writing so.bin as 1500 4-byte floats\n";
  const std::string empty = "max = -inf min = inf\nmean = -nan rms = -nan rmsd = -nan\n";
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::string out;  // standard output, to a file
  } cases[] = {
      {"/dev/null as both inputs and the output", {"n.bin", "n.bin", "n.bin"},
       "filename: n.bin\nfilename: n.bin\nfilename: n.bin\nallocating 0 bytes\n"
       "allocating 0 bytes\n" + empty + "writing n.bin as 0 4-byte floats\n"},
      {"/dev/zero as the second input and the output", {"a.bin", "z.bin", "z.bin"},
       "filename: a.bin\nfilename: z.bin\nfilename: z.bin\nallocating 6000 bytes\n"
       "allocating 6000 bytes\nmax = 0 min = 0\nmean = 0 rms = 0 rmsd = 0\n"
       "writing z.bin as 1500 4-byte floats\n"},
      {"standard output as the output, inputs read twice", {"a.bin", "b.bin", "so.bin"},
       lines + a},
      {"standard output as the output, products kept", {"a.bin", "b.bin", "so.bin", "-power2",
       "0.5"}, lines + a},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir, capture;
    write_file(dir / "a.bin", a);
    write_file(dir / "b.bin", b);
    ASSERT_EQ(symlink("/dev/null", (dir / "n.bin").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "z.bin").c_str()), 0);
    ASSERT_EQ(symlink("/proc/self/fd/1", (dir / "so.bin").c_str()), 0);
    const auto before = folder_contents(dir.path);
    RunOptions o;
    const std::string out = capture / "stdout";
    o.stdout_path = out.c_str();
    const RunResult r = run_quarvel(dir.path, c.args, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(out) == c.out) << read_file(out).substr(0, 400);
    EXPECT_EQ(folder_contents(dir.path), before);
  }
}

// A second input that can be positioned but not read twice is read once, its products kept.
TEST(Output, ASecondInputThatGivesOtherBytesEachTime) {
  ScratchDir dir;
  write_file(dir / "a.bin", float_bytes(std::vector<float>(5000, 1.0f)));
  ASSERT_EQ(symlink("/dev/urandom", (dir / "r.bin").c_str()), 0);
  const RunResult r = run_quarvel(dir.path, {"a.bin", "r.bin", "o.bin"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir / "o.bin").size(), 20000u);
}

// A pipe as the second input, when the products would not fit in memory: a new output takes
// them as they are formed, and needs no second reading; an output written directly would need
// one, and the run is refused before anything is written.
TEST(Output, APipeAsTheSecondInputWhateverTheMemory) {
  std::vector<float> a(20000), b(20000);
  for (size_t i = 0; i < a.size(); i++) a[i] = float(i % 101) / 7, b[i] = float(i % 13) - 3;
  struct Case {
    const char *output;
    int status;
  } cases[] = {{"o.bin", 0}, {"n.bin", 9}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.output);
    ScratchDir dir;
    write_file(dir / "a.bin", float_bytes(a));
    write_file(dir / "f.bin", float_bytes(b));
    ASSERT_EQ(symlink("/dev/null", (dir / "n.bin").c_str()), 0);
    const RunResult from_file = run_quarvel(dir.path, {"a.bin", "f.bin", "x.bin", "-power2", "3"});
    ASSERT_EQ(from_file.status, 0);
    ASSERT_EQ(mkfifo((dir / "b.bin").c_str(), 0600), 0);
    const pid_t writer = fork();
    if (writer == 0) {  // feeds the pipe, then closes it
      FILE *f = fopen((dir / "b.bin").c_str(), "wb");
      const std::string bytes = float_bytes(b);
      _exit(f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && fclose(f) == 0 ? 0
                                                                                            : 1);
    }
    const RunResult r = run_quarvel(dir.path, {"a.bin", "b.bin", c.output, "-power2", "3"},
                                    hooked({{"QUARVEL_TEST_MEMORY", "64"}}));
    if (c.status != 0) kill(writer, SIGTERM);  // nothing reads the pipe
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status == 0) {
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(read_file(dir / "o.bin") == read_file(dir / "x.bin"));
    } else {
      EXPECT_EQ(r.err, "quarvel: b.bin can't be read twice, and the products of these inputs "
                       "don't fit in memory\n");
    }
  }
}

// The whole program gives the same bytes at every width of vectors the CPU has, the plain one
// (which leaves every general power to powf) included; widths it lacks are reported skipped.
TEST(Output, EveryWidthWritesTheSameBytes) {
  std::mt19937 rng(21);
  std::vector<float> a(5000), b(5000);
  for (size_t i = 0; i < a.size(); i++) {
    const uint32_t bits = rng();
    a[i] = i % 97 == 0 ? from_bits(bits) : std::uniform_real_distribution<float>(-4, 4)(rng);
    b[i] = i % 89 == 0 ? from_bits(~bits) : std::uniform_real_distribution<float>(0, 4)(rng);
  }
  ScratchDir dir;
  write_file(dir / "a.bin", float_bytes(a));
  write_file(dir / "b.bin", float_bytes(b));
  const std::vector<std::vector<std::string>> powers = {{"-power1", "2.5", "-power2", "-1.3"},
                                                        {"-power1", "2", "-power2", "0.5"},
                                                        {},
                                                        {"-power1", "-1", "-power2", "3"}};
  for (const auto &p : powers) {
    std::vector<std::string> args = {"a.bin", "b.bin", "o.bin"};
    args.insert(args.end(), p.begin(), p.end());
    std::string first_out, first_bytes;
    for (int width : {8, 4, 2}) {
      if (width > widest_lanes()) continue;
      SCOPED_TRACE(std::to_string(width) + " lanes, " + (p.empty() ? "1 1" : p[1] + " " + p[3]));
      const RunResult r =
          run_quarvel(dir.path, args, hooked({{"QUARVEL_TEST_WIDTH", std::to_string(width)}}));
      ASSERT_EQ(r.status, 0) << r.err;
      if (first_out.empty()) first_out = r.out, first_bytes = read_file(dir / "o.bin");
      EXPECT_EQ(r.out, first_out);
      EXPECT_TRUE(read_file(dir / "o.bin") == first_bytes) << "the outputs differ";
    }
  }
  if (!lacking_widths().empty()) GTEST_SKIP() << lacking_widths();
}

}  // namespace
