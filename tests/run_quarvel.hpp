// Runs the built quarvel in a fresh folder and captures everything it does.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
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

// A fresh empty folder under the system's temporary folder, removed by the destructor.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    char tmpl[] = "/tmp/quarvel-test-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~ScratchDir() {
    if (system(("rm -rf '" + path + "'").c_str()) != 0) fprintf(stderr, "cannot remove %s\n", path.c_str());
  }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// Runs QUARVEL_BINARY with `argv0` and `args` in `dir`; `as_limit` bytes of address space if set,
// standard output to `stdout_path` if set (and then not captured).
inline RunResult run_quarvel(const std::string &dir, const std::vector<std::string> &args,
                             const std::string &argv0 = "quarvel", rlim_t as_limit = 0,
                             const char *stdout_path = nullptr) {
  ScratchDir capture;
  const std::string out = stdout_path ? stdout_path : capture / "stdout";
  const std::string err = capture / "stderr";
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(argv0.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    // Standard input is a pipe whose writer stays open: a stream that can't be positioned.
    int pipefd[2];
    if (pipe(pipefd) != 0 || dup2(pipefd[0], 0) < 0) _exit(127);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | (stdout_path ? 0 : O_TRUNC), 0600);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(dir.c_str()) != 0) _exit(127);
    if (as_limit) {
      const rlimit lim = {as_limit, as_limit};
      setrlimit(RLIMIT_AS, &lim);
    }
    execv(QUARVEL_BINARY, argv.data());
    _exit(127);
  }
  int ws = 0;
  waitpid(pid, &ws, 0);
  return {stdout_path ? "" : read_file(out), read_file(err), WIFEXITED(ws) ? WEXITSTATUS(ws) : 1000 + WTERMSIG(ws)};
}
