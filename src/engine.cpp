#include "engine.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "cpu.hpp"
#include "hooks.hpp"
#include "interrupt.hpp"
#include "messages.hpp"
#include "product.hpp"
#include "samplefile.hpp"

// The run in two passes over chunks of both inputs:
// - first, each chunk is read and its products formed, on as many workers as there are cores,
//   and the chunks' values are added to the extremes, the sum and the sum of squares in order;
//   where the output is a new file that replaces the old only at the end, the products are
//   written to it at their place as they are formed;
// - then their deviations from the mean are added in order, from the products read back from
//   that file (the file cache holds them: where the three files would not all fit there, the
//   inputs' pages leave it once read). Any other output (in place, a device) is opened only
//   now and written in this pass. The products then come from memory when they fit there
//   (unless they cost less to form again than to keep); otherwise the chunks are read and
//   their products formed again, and fingerprints of each chunk's products and first input,
//   taken in the first pass, tell whether an input changed in between, and which.
// Every buffer is allocated once, before the first pass, and reused for every chunk.

namespace {

constexpr long kFuseMagic = 0x65735546;  // statfs's f_type of every FUSE file system

// ---- memory --------------------------------------------------------------------------------

int64_t number_in(const char *path) {
  FILE *f = fopen(path, "r");
  long long v = -1;
  if (f) {
    if (fscanf(f, "%lld", &v) != 1) v = -1;
    fclose(f);
  }
  return v;
}

// The value of `key` (a line "key value") in a file, times `unit`; -1 when absent.
int64_t field_in(const char *path, const char *key, int64_t unit) {
  FILE *f = fopen(path, "r");
  if (!f) return -1;
  char name[64];
  long long v;
  int64_t found = -1;
  while (fscanf(f, "%63s %lld%*[^\n]", name, &v) == 2)
    if (strcmp(name, key) == 0) found = v * unit;
  fclose(f);
  return found;
}

// What the cgroup's limit leaves, counting the file cache it may drop as free.
int64_t cgroup_available() {
  struct Layout {
    const char *limit, *usage, *stat, *inactive;
  } layouts[] = {
      {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current", "/sys/fs/cgroup/memory.stat",
       "inactive_file"},
      {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "/sys/fs/cgroup/memory/memory.usage_in_bytes",
       "/sys/fs/cgroup/memory/memory.stat", "total_inactive_file"},
  };
  for (const Layout &l : layouts) {
    const int64_t limit = number_in(l.limit), usage = number_in(l.usage);
    if (limit <= 0 || usage < 0) continue;  // "max" reads as no number
    const int64_t inactive = std::max<int64_t>(0, field_in(l.stat, l.inactive, 1));
    return std::max<int64_t>(0, limit - usage + std::min(inactive, usage));
  }
  return INT64_MAX;
}

int64_t address_space_available() {
  rlimit lim;
  if (getrlimit(RLIMIT_AS, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return INT64_MAX;
  const int64_t mapped = number_in("/proc/self/statm") * sysconf(_SC_PAGESIZE);
  return std::max<int64_t>(0, static_cast<int64_t>(lim.rlim_cur) - std::max<int64_t>(0, mapped));
}

// Fingerprints are taken only where the second pass forms the products again.
bool fingerprinted(const Run &run) { return !run.products && run.early < 0; }

// Workers' buffers: two chunks each.
int64_t buffer_bytes(int64_t chunk, int threads) { return 2 * threads * chunk * 4; }

float *buffer(const Run &run, int worker, int which) {
  return run.buffers + (2 * worker + which) * run.chunk;
}

// ---- reading -------------------------------------------------------------------------------

// Reads up to `n` bytes at `offset` (or, at -1, from where the stream is) until the end of the
// file, and zero-fills what is left. Gives false, with errno set, on a read error.
bool read_chunk(int fd, void *buf, int64_t n, int64_t offset) {
  char *p = static_cast<char *>(buf);
  int64_t done = 0;
  while (done < n) {
    const ssize_t r = offset < 0 ? read(fd, p + done, n - done)
                                 : pread(fd, p + done, n - done, offset + done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    done += r;
  }
  memset(p + done, 0, n - done);
  return true;
}

// Writes n bytes at `offset`; false, with errno set, when they can't all be written.
bool write_at(int fd, const void *buf, int64_t n, int64_t offset) {
  const char *p = static_cast<const char *>(buf);
  for (int64_t done = 0; done < n;) {
    errno = 0;
    const ssize_t w = pwrite(fd, p + done, n - done, offset + done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += w;
  }
  return true;
}

// Reads a whole stream from its start, for errors only.
bool readable_to_end(int fd, float *buf, int64_t chunk) {
  for (int64_t offset = 0;;) {
    const ssize_t r = pread(fd, buf, chunk * 4, offset);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return r == 0;
    offset += r;
  }
}

// ---- fingerprints --------------------------------------------------------------------------

// A fingerprint of n values' bits, in 64 lanes that vectorize (and hide the multiplies' latency). Each step maps a lane one to one,
// for any value and for any lane, and so does folding the lanes together: a change of one value
// always changes the fingerprint, and more changes almost always do.
#if QUARVEL_X86
__attribute__((target_clones("avx2", "default")))
#endif
uint64_t fingerprint(const float *x, int64_t n) {
  uint32_t lane[64];
  for (int l = 0; l < 64; l++) lane[l] = l;
  int64_t i = 0;
  for (; i + 64 <= n; i += 64)
    for (int l = 0; l < 64; l++) {
      uint32_t v;
      memcpy(&v, x + i + l, 4);
      lane[l] = (lane[l] ^ v) * 0x9E3779B1u;
    }
  for (int l = 0; i < n; i++, l++) {
    uint32_t v;
    memcpy(&v, x + i, 4);
    lane[l] = (lane[l] ^ v) * 0x9E3779B1u;
  }
  uint64_t h = static_cast<uint64_t>(n);
  for (uint32_t l : lane) h = (h ^ l) * 0x9E3779B97F4A7C15u;
  return h ^ (h >> 31);
}

// ---- progress ------------------------------------------------------------------------------

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// The bytes read and written over both passes, on a line of standard error rewritten in
// place while it is a terminal and the inputs hold more than 1 GiB, and erased at the end.
// Callers take turns; there is one run per process.
struct Progress {
  bool shown = false;
  double total = 0, done = 0, start = 0, last = 0;

  void begin(const Run &run) {
    shown = 2 * run.bytes > (int64_t{1} << 30) && isatty(2);
    set_progress_line(shown);
    total = run.bytes * (run.early >= 0 || run.products ? 4.0 : 5.0), done = 0;
    start = last = now();
  }
  void add(double bytes) {
    done += bytes;
    const double t = now();
    if (!shown || t - last < 0.25) return;
    last = t;
    const double rate = done / (t - start), left = (total - done) / rate;
    const double gib = 1 << 30;
    fprintf(stderr, "\r%s%s%.1f of %.1f GiB, %.2f GiB/s, %d:%02d left\033[K", program_name(),
            *program_name() ? ": " : "", done / gib, total / gib, rate / gib,
            static_cast<int>(left) / 60, static_cast<int>(left) % 60);
  }
  void end() {
    if (shown) fprintf(stderr, "\r\033[K");
    shown = false;
    set_progress_line(false);
  }
} progress;

// ---- the pipeline --------------------------------------------------------------------------

// Runs parallel(k, w) for every chunk k on up to `threads` workers (w: the worker's index),
// each followed on the same worker by ordered(k, w) once ordered() is done for every earlier
// chunk. A worker takes its next chunk only after its last one's ordered step, so its buffers
// serve every chunk it takes.
template <class Parallel, class Ordered>
void for_each_chunk(int64_t chunks, int threads, Parallel parallel, Ordered ordered) {
  std::atomic<int64_t> next{0};
  std::mutex m;
  std::condition_variable turn;
  int64_t committed = 0;
  auto work = [&](int w) {
    for (int64_t k; (k = next.fetch_add(1)) < chunks;) {
      parallel(k, w);
      std::unique_lock<std::mutex> lock(m);
      turn.wait(lock, [&] { return committed == k; });
      lock.unlock();
      ordered(k, w);
      lock.lock();
      committed = k + 1;
      turn.notify_all();
    }
  };
  std::vector<std::thread> pool;
  try {
    for (int w = 1; w < threads && w < chunks; w++) pool.emplace_back(work, w);
  } catch (const std::system_error &) {
    // Fewer threads than asked for (none to be had): the chunks go to those there are.
  }
  work(0);
  for (std::thread &t : pool) t.join();
}

// Turns taken in chunk order, for reading a stream that can only be read from where it is.
struct Turns {
  std::mutex m;
  std::condition_variable cv;
  int64_t next = 0;
  void wait(int64_t k) {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return next == k; });
  }
  void pass(int64_t k) {
    std::lock_guard<std::mutex> lock(m);
    next = k + 1;
    cv.notify_all();
  }
};

// A failure met by a worker: the first in chunk order is the one that counts.
struct Failure {
  std::mutex m;
  int64_t chunk = INT64_MAX;
  const char *name = nullptr;
  int error = 0;
  std::atomic<bool> any{false};
  void set(int64_t k, const char *what, int errnum = errno) {
    std::lock_guard<std::mutex> lock(m);
    if (k < chunk) chunk = k, name = what, error = errnum ? errnum : EIO;
    any = true;
  }
};

[[noreturn]] void die_unreadable(const Failure &f, int status) {
  progress.end();
  say("ERROR: unable to read %s\n", f.name);
  warn("%s: %s", f.name, strerror(f.error));
  exit(status);
}

// Reads the 1 to 3 bytes past the last whole value, where they can fail like any others.
bool read_tail(int fd, int64_t bytes, bool in_turn) {
  char tail[4];
  return read_chunk(fd, tail, bytes % 4, in_turn ? -1 : bytes / 4 * 4);
}

}  // namespace

Budget memory_budget() {
  // A working set of about a thousandth of what is available, in chunks of 64 KiB to 1 MiB;
  // the tests' budget may make them as small as 64 bytes, so that small inputs cross them.
  int64_t available, smallest = int64_t{1} << 14;
  if ((available = test_memory()) >= 0) {
    smallest = 16;
  } else {
    available = field_in("/proc/meminfo", "MemAvailable:", 1024);
    if (available < 0) available = INT64_MAX;
    available = std::min({available, cgroup_available(), address_space_available()});
  }
  const int64_t chunk = std::clamp<int64_t>(available / 1024, smallest, int64_t{1} << 18);
  return {available, chunk / 16 * 16};
}

Run start_run(FILE *in1, const char *name1, FILE *in2, const char *name2, float power1,
              float power2, const char *progname, const Budget &budget, int threads,
              int early) {
  Run run;
  run.in1 = in1, run.in2 = in2, run.name1 = name1, run.name2 = name2;
  run.early = early, run.early_error = 0;
  // A file system in user space may lose writes made past the file's end (fusefat's vfat
  // does): there the early file grows one chunk after another.
  struct statfs fs;
  run.early_in_order = early >= 0 && fstatfs(early, &fs) == 0 && fs.f_type == kFuseMagic;
  run.power1 = power1, run.power2 = power2;
  run.bytes = -1;
  if (fseeko(in1, 0, SEEK_END) == 0) run.bytes = ftello(in1);
  if (run.bytes >= 0 && fseeko(in1, 0, SEEK_SET) != 0) run.bytes = -1;
  // The lines name the size of the first input, which is what two arrays in memory would each
  // take; what is really allocated depends on the memory there is.
  if (run.bytes < 0)
    warn("%s: cannot take the size of a pipe or device; the first input must be a file", name1);
  say("allocating %lld bytes\n", static_cast<long long>(run.bytes));
  if (run.bytes < 0) {
    errno = ENOMEM;
    perror(progname);
    exit(9);
  }
  say("allocating %lld bytes\n", static_cast<long long>(run.bytes));
  run.count = run.bytes / 4;
  run.threads = threads > 0 ? threads : usable_cpus();
  run.chunk = std::max<int64_t>(1, std::min(budget.chunk, run.count));

  const int64_t working = buffer_bytes(run.chunk, run.threads);
  // Products kept in memory cost a fresh page every 1024 of them, which costs more than reading
  // both inputs again from the file cache and forming them anew, unless forming them costs
  // more than the pages (measured: for every exponent but 1 and 0).
  // Only files and block devices give the same bytes again (a device such as /dev/urandom can be
  // positioned, yet not read twice).
  const bool twice = run.twice = rereadable(in1) && rereadable(in2);
  // The second pass reads the early file back from its start, which the file cache holds only
  // when the inputs, read once, have not pushed it out; their pages would be gone by then
  // anyway. Where all three fit, nothing is dropped: the inputs may be read again by others.
  run.uncached = early >= 0 && twice && run.bytes > (budget.available - working) / 3;
  const bool again = cheap_powers(power1, power2) && twice;
  run.products = nullptr;
  if (run.bytes <= (budget.available - working) / 2 && run.count > 0 && !again && early < 0) {
    void *p = mmap(nullptr, run.count * 4, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
    if (p != MAP_FAILED) run.products = static_cast<float *>(p);
  }
  if (!run.products && run.count > 0 && !twice && early < 0) {
    warn("%s can't be read twice, and the products of these inputs don't fit in memory",
         rereadable(in1) ? name2 : name1);
    exit(9);
  }
  const int64_t chunks = (run.count + run.chunk - 1) / run.chunk;
  // Pages of their own: the kernel copies file data into a buffer that starts a few bytes past
  // a page boundary, where malloc puts large blocks, up to six times slower on some CPUs.
  void *buffers =
      mmap(nullptr, working, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  run.buffers = buffers == MAP_FAILED ? nullptr : static_cast<float *>(buffers);
  run.fingerprints = static_cast<uint64_t *>(calloc(fingerprinted(run) ? 2 * chunks + 1 : 1, 8));
  if (!run.buffers || !run.fingerprints) {
    perror(progname);
    exit(9);
  }
  return run;
}

void first_pass(Run &run) {
  const int fd1 = fileno(run.in1), fd2 = fileno(run.in2);
  // A pipe or device is read where it is, one chunk after another.
  const bool in_turn = !rereadable(run.in2);
  const int64_t chunks = (run.count + run.chunk - 1) / run.chunk;
  Turns turns;
  Failure failed1, failed2, early_failed;
  int64_t dropped = 0;  // the inputs' bytes before this have left the file cache
  progress.begin(run);
  auto chunk_of = [&](int64_t k, int w) {
    return run.products ? run.products + k * run.chunk : buffer(run, w, 0);
  };
  auto length = [&](int64_t k) { return std::min(run.chunk, run.count - k * run.chunk); };
  auto write_early = [&](int64_t k, const float *a) {
    if (!early_failed.any && !write_at(run.early, a, length(k) * 4, k * run.chunk * 4))
      early_failed.set(k, nullptr);
  };
  for_each_chunk(
      chunks, run.threads,
      [&](int64_t k, int w) {
        float *a = chunk_of(k, w), *b = buffer(run, w, 1);
        const int64_t n = length(k), offset = k * run.chunk * 4;
        if (in_turn) turns.wait(k);
        const bool read2 =
            failed1.any || failed2.any || read_chunk(fd2, b, n * 4, in_turn ? -1 : offset);
        if (in_turn) turns.pass(k);
        if (!read2) failed2.set(k, run.name2);
        if (failed1.any || failed2.any) return;
        if (!read_chunk(fd1, a, n * 4, offset)) return failed1.set(k, run.name1);
        if (fingerprinted(run)) run.fingerprints[2 * k + 1] = fingerprint(a, n);
        power_product(a, b, n, run.power1, run.power2, 1);
        if (fingerprinted(run)) run.fingerprints[2 * k] = fingerprint(a, n);
        if (run.early >= 0 && !run.early_in_order) write_early(k, a);
      },
      [&](int64_t k, int w) {
        if (failed1.any || failed2.any) return;
        if (run.uncached) {
          // Only pages wholly inside the range go, and the file cache holds them in pieces of
          // up to 2 MiB: one across `end` goes the next time.
          const int64_t end = (k * run.chunk + length(k)) * 4;
          for (int fd : {fd1, fd2}) posix_fadvise(fd, dropped, end - dropped, POSIX_FADV_DONTNEED);
          dropped = end / (2 << 20) * (2 << 20);
        }
        if (run.early_in_order) write_early(k, chunk_of(k, w));
        add_values(run.totals, chunk_of(k, w), length(k));
        progress.add((run.early >= 0 ? 3.0 : 2.0) * length(k) * 4);
      });
  // Each input is read for the first input's size in bytes, its bytes past the last value too.
  if (!failed1.any && !failed2.any && !read_tail(fd1, run.bytes, false))
    failed1.set(chunks, run.name1);
  if (!failed1.any && !failed2.any && !read_tail(fd2, run.bytes, in_turn))
    failed2.set(chunks, run.name2);
  // As when the inputs are read one after the other: an error anywhere in the first is the
  // one reported.
  if (failed2.any && !failed1.any && !readable_to_end(fd1, run.buffers, run.chunk))
    failed1.set(0, run.name1);
  if (failed1.any) die_unreadable(failed1, 9);
  if (failed2.any) die_unreadable(failed2, 9);
  if (early_failed.any) run.early_error = early_failed.error;
  // The second pass reads the inputs again only when it must form the products again.
  if (run.products || (run.early >= 0 && !run.early_error)) end_run(run);
}

bool overwrites_input(const Run &run, const char *path) {
  struct stat out, in;
  if (run.products || stat(path, &out) != 0) return false;
  for (FILE *f : {run.in1, run.in2})
    if (fstat(fileno(f), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
      return true;
  return false;
}

Outcome second_pass(Run &run, FILE *out, bool deviations) {
  Outcome outcome = {0, nullptr};
  const float mean = mean_of(run.totals, run.count);
  const int64_t chunks = (run.count + run.chunk - 1) / run.chunk;
  auto length = [&](int64_t k) { return std::min(run.chunk, run.count - k * run.chunk); };
  if (run.early >= 0 && !run.early_error) {
    // Read back through a descriptor opened after the writes: a file system may give its
    // writer's descriptor what the file held when it was opened (fusefat's vfat does).
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", run.early);
    const int reopened = open(proc, O_RDONLY | O_CLOEXEC);
    const int back = reopened >= 0 ? reopened : run.early;
    Failure unreadable;
    for_each_chunk(
        chunks, run.threads,
        [&](int64_t k, int w) {
          if (!unreadable.any &&
              !read_chunk(back, buffer(run, w, 0), length(k) * 4, k * run.chunk * 4))
            unreadable.set(k, nullptr);
        },
        [&](int64_t k, int w) {
          if (unreadable.any) return;
          if (deviations) add_deviations(run.totals, buffer(run, w, 0), length(k), mean);
          progress.add(length(k) * 4.0);
        });
    progress.end();
    if (reopened >= 0) close(reopened);
    outcome.write_error = unreadable.error;
    return outcome;
  }
  if (run.early >= 0) {
    // Its writes failed: the products are formed again, for the deviations alone.
    outcome.write_error = run.early_error;
    out = nullptr;
  }
  auto write = [&](const float *data, int64_t n) {
    errno = 0;
    if (out && !outcome.write_error && fwrite(data, 4, n, out) < static_cast<size_t>(n))
      outcome.write_error = errno ? errno : EIO;
  };
  auto add = [&](const float *data, int64_t n) {
    if (deviations) add_deviations(run.totals, data, n, mean);
  };
  if (run.products) {
    // Written on a thread of its own while the deviations are added on this one.
    auto write_all = [&] {
      for (int64_t i = 0; i < run.count; i += run.chunk) {
        const int64_t n = std::min(run.chunk, run.count - i);
        write(run.products + i, n);
        progress.add(n * 4.0);
      }
    };
    std::thread writer;
    try {
      if (out && deviations) writer = std::thread(write_all);
    } catch (const std::system_error &) {
    }
    if (!writer.joinable()) write_all();  // nothing to do beside it, or no thread to be had
    add(run.products, run.count);
    if (writer.joinable()) writer.join();
    progress.end();
    return outcome;
  }
  const int fd1 = fileno(run.in1), fd2 = fileno(run.in2);
  // A file written from its start is written by every worker at once, each chunk after it was
  // read, so that an output over an input is read before it is written over. Anything else (a
  // pipe, a device, standard output after its lines) is written in order.
  struct stat st;
  const bool anywhere = out && fstat(fileno(out), &st) == 0 && S_ISREG(st.st_mode) &&
                        lseek(fileno(out), 0, SEEK_CUR) == 0;
  std::atomic<int> write_error{0};
  Failure unreadable, changed;
  for_each_chunk(
      chunks, run.threads,
      [&](int64_t k, int w) {
        float *a = buffer(run, w, 0), *b = buffer(run, w, 1);
        const int64_t n = length(k), offset = k * run.chunk * 4;
        if (unreadable.any) return;
        if (!read_chunk(fd1, a, n * 4, offset)) return unreadable.set(k, run.name1);
        if (!read_chunk(fd2, b, n * 4, offset)) return unreadable.set(k, run.name2);
        // Products that differ come from a changed input: the first, unless it is the same.
        const bool checked = fingerprinted(run);
        const bool same1 = !checked || fingerprint(a, n) == run.fingerprints[2 * k + 1];
        power_product(a, b, n, run.power1, run.power2, 1);
        if (checked && fingerprint(a, n) != run.fingerprints[2 * k])
          changed.set(k, same1 ? run.name2 : run.name1);
        if (anywhere && !write_error && !write_at(fileno(out), a, n * 4, offset))
          write_error = errno ? errno : EIO;
      },
      [&](int64_t k, int w) {
        if (unreadable.any) return;
        add(buffer(run, w, 0), length(k));
        if (!anywhere) write(buffer(run, w, 0), length(k));
        progress.add(3.0 * length(k) * 4);
      });
  if (unreadable.any) die_unreadable(unreadable, 255);
  progress.end();
  if (!outcome.write_error) outcome.write_error = write_error;
  outcome.changed = changed.name;
  return outcome;
}

void end_run(Run &run) {
  if (run.in1) fclose(run.in1);
  if (run.in2) fclose(run.in2);
  run.in1 = run.in2 = nullptr;
}
