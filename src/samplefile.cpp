#include "samplefile.hpp"

#include "messages.hpp"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

FILE *open_input(const char *path) {
  FILE *f = fopen(path, "rb");
  struct stat st;
  if (f && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    fclose(f);
    errno = EISDIR;
    return nullptr;
  }
  return f;
}

// Arrays of this size and more come from an anonymous mapping that may use huge pages: first
// touching 4 KiB pages costs more than reading the data into them. Outputs of this size and
// more are written on a thread of their own. (The benchmarks' baseline build, QUARVEL_PLAIN_IO,
// does neither.)
#ifdef QUARVEL_PLAIN_IO
static const int64_t kLarge = INT64_MAX;
#else
static const int64_t kLarge = int64_t{1} << 21;
#endif

// Gives `bytes` zero-filled bytes, or none with errno set; a negative size is out of memory.
static float *alloc_samples(int64_t bytes) {
  if (bytes < 0) {
    errno = ENOMEM;
    return nullptr;
  }
  if (bytes < kLarge) return static_cast<float *>(calloc(1, bytes ? bytes : 1));
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    errno = ENOMEM;
    return nullptr;
  }
  madvise(p, bytes, MADV_HUGEPAGE);  // only a hint: without huge pages the mapping still works
  return static_cast<float *>(p);
}

static float *alloc_or_die(int64_t bytes, const char *progname) {
  printf("allocating %lld bytes\n", static_cast<long long>(bytes));
  float *p = alloc_samples(bytes);
  if (!p) {
    perror(progname);
    exit(9);
  }
  return p;
}

// Reads up to `bytes` bytes and closes the stream; a short file leaves zeros. False on a read
// error.
static bool read_fully(FILE *in, float *data, int64_t bytes) {
  if (bytes > 0 && fread(data, 1, bytes, in) < static_cast<size_t>(bytes) && ferror(in))
    return false;
  fclose(in);
  return true;
}

static void die_unreadable(const char *name) {
  printf("ERROR: unable to read %s\n", name);
  exit(9);
}

SamplePair load_input_pair(FILE *in1, const char *name1, FILE *in2, const char *name2,
                           const char *progname) {
  int64_t bytes = -1;
  if (fseeko(in1, 0, SEEK_END) == 0) bytes = ftello(in1);
  if (bytes >= 0 && fseeko(in1, 0, SEEK_SET) != 0) bytes = -1;
  SamplePair pair;
  pair.data1 = alloc_or_die(bytes, progname);
  pair.data2 = alloc_or_die(bytes, progname);
  pair.count = bytes / 4;
  // Large inputs are read side by side; a read error of the first is reported before one of
  // the second, as when they are read in turn.
  bool read2 = false;
  std::thread second;
  if (bytes >= kLarge) {
    try {
      second = std::thread([&] { read2 = read_fully(in2, pair.data2, bytes); });
    } catch (const std::system_error &) {
      // No thread to be had: one after the other.
    }
  }
  const bool side_by_side = second.joinable();
  const bool read1 = read_fully(in1, pair.data1, bytes);
  if (side_by_side) second.join();
  if (!read1) die_unreadable(name1);
  if (!side_by_side) read2 = read_fully(in2, pair.data2, bytes);
  if (!read2) die_unreadable(name2);
  return pair;
}

FILE *open_output(const char *path) {
  FILE *f = fopen(path, "wb");
  if (!f) {
    printf("ERROR: unable to open %s\n", path);
    exit(9);
  }
  return f;
}

// glibc may report a failed large write only from fwrite and not again when closing, so a
// short write fails the run just as a failed close does. Gives 0, or the write's errno.
static int write_error(FILE *out, const float *data, int64_t count) {
  errno = 0;
  if (fwrite(data, 4, count, out) == static_cast<size_t>(count)) return 0;
  return errno ? errno : EIO;
}

// The write begun in the background, if any; there is one output per run.
static std::thread writer;
static int writer_error;

void begin_output(FILE *out, const float *data, int64_t count) {
  if (count * 4 < kLarge) return;
  try {
    writer = std::thread([=] { writer_error = write_error(out, data, count); });
  } catch (const std::system_error &) {
    // No thread to be had (say, under an address-space limit): write_output writes instead.
  }
}

int write_output(FILE *out, const char *path, const float *data, int64_t count) {
  printf("writing %s as %lld %d-byte floats\n", path, static_cast<long long>(count), 4);
  int error;
  if (writer.joinable()) {
    writer.join();
    error = writer_error;
  } else {
    error = write_error(out, data, count);
  }
  errno = 0;
  if (fclose(out) != 0 && !error) error = errno ? errno : EIO;
  if (!error) return 0;
  warn("%s: %s", path, strerror(error));
  return -1;
}
