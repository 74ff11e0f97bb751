// Runs the built quarvel in a fresh folder and captures everything it does.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <dirent.h>

struct RunResult {
  std::string out, err;
  int status;  // exit status, or 1000 + signal number
};

inline std::string read_file(const std::string &path) {
  std::string s;
  if (FILE *f = fopen(path.c_str(), "rb")) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
  }
  return s;
}

inline void write_file(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) abort();
}

inline std::string float_bytes(const std::vector<float> &v) {
  return std::string(reinterpret_cast<const char *>(v.data()), v.size() * 4);
}

// Random values in [-4, 4) with one in `one_in` special, of the first `kinds` kinds: any bits
// at all, zeros, infinities, subnormals, 3e38, 1, then NaNs (one signalling, with a payload).
inline std::string sample_bytes(size_t count, unsigned seed, unsigned one_in = 50,
                                unsigned kinds = 11) {
  const uint32_t special[] = {0x00000000, 0x80000000, 0x7f800000, 0xff800000, 0x00000001,
                              0x807fffff, 0x7f61b1e6, 0x3f800000, 0x7fc00000, 0xff812345,
                              0xffc54321};
  std::mt19937 rng(seed);
  std::vector<float> v(count);
  for (float &x : v) {
    if (rng() % one_in != 0) {
      x = std::uniform_real_distribution<float>(-4.0f, 4.0f)(rng);
      continue;
    }
    const uint32_t kind = rng() % kinds, b = kind ? special[kind - 1] : static_cast<uint32_t>(rng());
    memcpy(&x, &b, 4);
  }
  return float_bytes(v);
}

// Names of the entries in `dir`, with the contents of the regular files ("<dir>" otherwise).
inline std::map<std::string, std::string> folder_contents(const std::string &dir) {
  std::map<std::string, std::string> m;
  DIR *d = opendir(dir.c_str());
  while (dirent *e = d ? readdir(d) : nullptr) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    lstat((dir + "/" + name).c_str(), &st);
    m[name] = S_ISREG(st.st_mode) ? read_file(dir + "/" + name) : "<other>";
  }
  if (d) closedir(d);
  return m;
}

// Removes `path` and all below it.
inline void remove_tree(const std::string &path) {
  if (system(("rm -rf '" + path + "'").c_str()) != 0) fprintf(stderr, "cannot remove %s\n", path.c_str());
}

// The scratch folders alive, by the process that made them: a death test's child ends with
// exit() before its folders' destructors run, and removes its own at exit instead.
inline std::map<std::string, pid_t> &live_scratch() {
  static std::map<std::string, pid_t> live;
  static const bool registered = atexit([] {
    for (const auto &[path, maker] : live_scratch())
      if (maker == getpid()) remove_tree(path);
  }) == 0;
  (void)registered;
  return live;
}

// The folder that scratch folders are made in: QUARVEL_TEST_DIR (a file system to test on),
// else the system's temporary folder.
inline std::string scratch_root() {
  const char *dir = getenv("QUARVEL_TEST_DIR");
  return dir && *dir ? dir : "/tmp";
}

// A fresh empty folder under scratch_root(), or under `root`, removed by the destructor.
struct ScratchDir {
  std::string path;
  explicit ScratchDir(const std::string &root = scratch_root()) {
    std::string tmpl = root + "/quarvel-test-XXXXXX";
    if (!mkdtemp(&tmpl[0])) abort();
    path = tmpl;
    live_scratch()[path] = getpid();
  }
  ~ScratchDir() {  // in a child that exits, the parent's folders stay
    const auto it = live_scratch().find(path);
    const bool mine = it != live_scratch().end() && it->second == getpid();
    live_scratch().erase(path);
    if (mine) remove_tree(path);
  }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// How the program is started.
struct RunOptions {
  std::string argv0 = "quarvel";
  const char *binary = QUARVEL_BINARY;  // QUARVEL_HOOKED reads the test settings
  rlim_t as_limit = 0;                  // bytes of address space, if set
  rlim_t file_limit = 0;                // the largest file it may write, if set
  const char *stdout_path = nullptr;    // standard output to this file (then not captured)
  const char *stderr_path = nullptr;    // standard error likewise
  uid_t uid = 0;                        // run as this user, if set (needs root)
  std::vector<int> closed;              // standard descriptors closed for the run
  std::vector<std::pair<std::string, std::string>> env;  // set for the run
  std::vector<int> ignored;             // signals ignored from the start
  bool native = false;                  // built for this machine: never under the emulator
};

// A program started by spawn_quarvel, and where its output goes.
struct Spawned {
  pid_t pid;
  std::string out, err;
  bool capture_out, capture_err;
  std::shared_ptr<struct ScratchDir> capture;
};

// A copy of `binary` in a folder that every user may enter, made once: the build's own folder
// may be private.
inline const char *reachable_copy(const char *binary) {
  static std::map<std::string, std::string> copies;
  static ScratchDir folder("/tmp");
  std::string &copy = copies[binary];
  if (copy.empty()) {
    copy = folder / std::to_string(copies.size());
    write_file(copy, read_file(binary));
    if (chmod(folder.path.c_str(), 0755) != 0 || chmod(copy.c_str(), 0755) != 0) abort();
  }
  return copy.c_str();
}

// Starts the program with `args` in `dir`.
inline Spawned spawn_quarvel(const std::string &dir, const std::vector<std::string> &args,
                             const RunOptions &o = {}) {
  auto capture = std::make_shared<ScratchDir>("/tmp");
  const char *binary = o.uid ? reachable_copy(o.binary) : o.binary;
  const std::string out = o.stdout_path ? o.stdout_path : *capture / "stdout";
  const std::string err = o.stderr_path ? o.stderr_path : *capture / "stderr";
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> argv;
    const char *program = binary;
#if defined(QUARVEL_EMULATOR)
    // A program built for another machine starts under the emulator, which names it argv0.
    if (!o.native) {
      for (const char *word : {QUARVEL_EMULATOR, "-L", QUARVEL_EMULATOR_ROOT, "-0"})
        argv.push_back(const_cast<char *>(word));
      program = QUARVEL_EMULATOR;
    }
#endif
    argv.push_back(const_cast<char *>(o.argv0.c_str()));
    if (program != binary) argv.push_back(const_cast<char *>(binary));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    // Standard input is a pipe whose writer stays open: a stream that can't be positioned.
    int pipefd[2];
    if (pipe(pipefd) != 0 || dup2(pipefd[0], 0) < 0) _exit(127);
    const int fo = open(out.c_str(), O_WRONLY | O_CREAT | (o.stdout_path ? 0 : O_TRUNC), 0600);
    const int fe = open(err.c_str(), O_WRONLY | (o.stderr_path ? 0 : O_CREAT | O_TRUNC), 0600);
    if (fo < 0 || fe < 0 || dup2(fo, 1) < 0 || dup2(fe, 2) < 0 || chdir(dir.c_str()) != 0)
      _exit(127);
    for (int fd : o.closed) close(fd);
    if (o.as_limit) {
      const rlimit lim = {o.as_limit, o.as_limit};
      setrlimit(RLIMIT_AS, &lim);
    }
    if (o.file_limit) {
      const rlimit lim = {o.file_limit, o.file_limit};
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    for (int sig : o.ignored) signal(sig, SIG_IGN);
    for (const auto &[name, value] : o.env) setenv(name.c_str(), value.c_str(), 1);
    if (o.uid && (setgid(o.uid) != 0 || setuid(o.uid) != 0)) _exit(127);
    execv(program, argv.data());
    _exit(127);
  }
  return {pid, out, err, !o.stdout_path, !o.stderr_path, capture};
}

// Waits for a program started by spawn_quarvel and gives what it did.
inline RunResult wait_quarvel(const Spawned &s) {
  int ws = 0;
  waitpid(s.pid, &ws, 0);
  return {s.capture_out ? read_file(s.out) : "", s.capture_err ? read_file(s.err) : "",
          WIFEXITED(ws) ? WEXITSTATUS(ws) : 1000 + WTERMSIG(ws)};
}

inline RunResult run_quarvel(const std::string &dir, const std::vector<std::string> &args,
                             const RunOptions &o) {
  return wait_quarvel(spawn_quarvel(dir, args, o));
}

// Runs QUARVEL_BINARY with `argv0` and `args` in `dir`; `as_limit` bytes of address space if set,
// standard output to `stdout_path` if set (and then not captured).
inline RunResult run_quarvel(const std::string &dir, const std::vector<std::string> &args,
                             const std::string &argv0 = "quarvel", rlim_t as_limit = 0,
                             const char *stdout_path = nullptr) {
  RunOptions o;
  o.argv0 = argv0, o.as_limit = as_limit, o.stdout_path = stdout_path;
  return run_quarvel(dir, args, o);
}
