// Fuzz target: one whole quarvel run per input, in a scratch folder.
//
// Input layout: three length bytes, then the contents of a.bin, b.bin and c.bin (lengths taken
// modulo what is left), then the command-line words separated by newlines. Words never contain
// "/", so every path stays in the scratch folder, which also holds the folder d.bin. The third
// length byte's two high bits also choose the memory budget: none, one that two arrays fit
// (products kept, in chunks of 16 values), or one that they don't (inputs read twice).
//
// The program ends failed runs with exit(); the link wraps exit, fopen, fdopen, fclose, calloc,
// malloc and mmap so that such an exit returns here and whatever the run left open or allocated
// is released.
// Checked on every run: the exit status is 0, 9 or 255; every input other than the output is
// unchanged; no file appears but the output; a failed run changes no file; on status 0 the
// output holds the first input's element count × 4 bytes, or, for --help and --version, that no
// file changes.
#include <dirent.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

int quarvel_main(int argc, char **argv);
extern FILE *infile1, *infile2, *outfile;
extern const char *infile1name, *infile2name, *outfilename;

extern "C" {
void __real_exit(int status) __attribute__((noreturn));
FILE *__real_fopen(const char *path, const char *mode);
FILE *__real_fdopen(int fd, const char *mode);
int __real_fclose(FILE *f);
void *__real_calloc(size_t n, size_t size);
void *__real_malloc(size_t size);
void *__real_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
}

static bool in_run;
static jmp_buf run_end;
static std::set<FILE *> open_streams;
static std::vector<void *> blocks;
static std::vector<std::pair<void *, size_t>> mappings;

extern "C" {
void __wrap_exit(int status) {
  if (!in_run) __real_exit(status);
  in_run = false;
  longjmp(run_end, 1000 + status);
}
FILE *__wrap_fopen(const char *path, const char *mode) {
  FILE *f = __real_fopen(path, mode);
  if (in_run && f) open_streams.insert(f);
  return f;
}
FILE *__wrap_fdopen(int fd, const char *mode) {
  FILE *f = __real_fdopen(fd, mode);
  if (in_run && f) open_streams.insert(f);
  return f;
}
int __wrap_fclose(FILE *f) {
  open_streams.erase(f);
  return __real_fclose(f);
}
void *__wrap_calloc(size_t n, size_t size) {
  void *p = __real_calloc(n, size);
  if (in_run && p) blocks.push_back(p);
  return p;
}
void *__wrap_malloc(size_t size) {
  void *p = __real_malloc(size);
  if (in_run && p) blocks.push_back(p);
  return p;
}
void *__wrap_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
  void *p = __real_mmap(addr, length, prot, flags, fd, offset);
  if (in_run && p != MAP_FAILED) mappings.push_back({p, length});
  return p;
}
}

static std::string slurp(const std::string &path) {
  std::string s;
  if (FILE *f = __real_fopen(path.c_str(), "rb")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    __real_fclose(f);
  }
  return s;
}

static std::map<std::string, std::string> files_here() {
  std::map<std::string, std::string> m;
  DIR *d = opendir(".");
  while (dirent *e = readdir(d)) {
    struct stat st;
    if (e->d_name[0] == '.' && (!e->d_name[1] || (e->d_name[1] == '.' && !e->d_name[2]))) continue;
    if (stat(e->d_name, &st) == 0 && S_ISREG(st.st_mode)) m[e->d_name] = slurp(e->d_name);
    else m[e->d_name] = "<dir>";
  }
  closedir(d);
  return m;
}

static char scratch[] = "/tmp/quarvel-fuzz-XXXXXX";

static void remove_scratch() {
  if (chdir("/") == 0) system((std::string("rm -rf ") + scratch).c_str());
}

// Paths on the fuzzer's command line must be absolute: the target works in its scratch folder.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (!mkdtemp(scratch) || chdir(scratch) != 0 || mkdir("d.bin", 0755) != 0) abort();
  atexit(remove_scratch);
  if (!freopen("/dev/null", "w", stdout)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  // Lay out the scratch folder: d.bin and up to three sample files, nothing else.
  for (const auto &[name, bytes] : files_here())
    if (name != "d.bin") unlink(name.c_str());
  size_t at = 3;
  const char *names[3] = {"a.bin", "b.bin", "c.bin"};
  for (int k = 0; k < 3; k++) {
    const size_t n = std::min<size_t>(data[k], size - at);
    if (n > 0 || data[k] % 2) {  // an odd length byte with nothing left still makes the file
      FILE *f = __real_fopen(names[k], "wb");
      if (!f || fwrite(data + at, 1, n, f) != n || __real_fclose(f) != 0) abort();
    }
    at += n;
  }
  const char *budgets[] = {nullptr, "20000", "64", nullptr};
  if (const char *budget = budgets[data[2] >> 6])
    setenv("QUARVEL_TEST_MEMORY", budget, 1);
  else
    unsetenv("QUARVEL_TEST_MEMORY");
  std::vector<std::string> words = {"quarvel"};
  std::string word;
  for (size_t i = at; i <= size && words.size() < 16; i++) {
    if (i == size || data[i] == '\n') {
      if (i > at || i < size) words.push_back(word);
      word.clear();
    } else {
      word += data[i] == '/' || data[i] == 0 ? '_' : static_cast<char>(data[i]);
    }
  }
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  const std::map<std::string, std::string> before = files_here();
  infile1 = infile2 = outfile = nullptr;
  infile1name = infile2name = nullptr;
  outfilename = "output.bin";
  int status;
  const int jumped = setjmp(run_end);
  if (jumped == 0) {
    in_run = true;
    status = quarvel_main(static_cast<int>(argv.size()) - 1, argv.data()) & 0xff;
    in_run = false;
  } else {
    status = jumped - 1000;
  }
  for (FILE *f : open_streams) __real_fclose(f);
  open_streams.clear();
  for (void *p : blocks) free(p);
  blocks.clear();
  for (auto [p, length] : mappings) munmap(p, length);
  mappings.clear();

  if (status != 0 && status != 9 && status != 255) abort();
  if (status != 0 && files_here() != before) abort();
  const std::map<std::string, std::string> after = files_here();
  const std::string out = outfilename;
  for (const auto &[name, bytes] : after)
    if (name != out && (!before.count(name) || before.at(name) != bytes)) abort();
  for (const auto &[name, bytes] : before)
    if (name != out && !after.count(name)) abort();
  if (status == 0 && !infile1name) {  // --help or --version: nothing is read or written
    if (after != before) abort();
  } else if (status == 0) {
    const size_t first = before.at(infile1name).size();
    if (!after.count(out) || after.at(out).size() != first / 4 * 4) abort();
  }
  return 0;
}
