#include "samplefile.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "messages.hpp"

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

FILE *open_output(const char *path, bool in_place) {
  FILE *f = fopen(path, in_place ? "r+b" : "wb");
  if (!f) {
    printf("ERROR: unable to open %s\n", path);
    exit(9);
  }
  return f;
}

int close_output(FILE *out, const char *path, int64_t count, int write_error, bool in_place) {
  printf("writing %s as %lld %d-byte floats\n", path, static_cast<long long>(count), 4);
  int error = write_error;
  errno = 0;
  if (!error && in_place && (fflush(out) != 0 || ftruncate(fileno(out), count * 4) != 0))
    error = errno ? errno : EIO;
  errno = 0;
  if (fclose(out) != 0 && !error) error = errno ? errno : EIO;
  if (!error) return 0;
  warn("%s: %s", path, strerror(error));
  return -1;
}
