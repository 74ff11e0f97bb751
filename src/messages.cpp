#include "messages.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

static const char *name = "";
static bool stdout_checked;
static int lost;  // errno of the first failed write of standard output, or 0

void set_program_name(const char *n) {
  name = n ? n : "";
  stdout_checked = false;
  lost = 0;
}

const char *program_name() { return name; }

// A closed standard output would otherwise be the first file opened, and get the printed lines.
void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; fd++)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
      open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);  // takes the lowest free number: fd
}

// The error is remembered when it happens: a later flush of a stream in error may succeed.
static void note_stdout(int error) {
  if (!lost && ferror(stdout)) lost = error ? error : EIO;
}

void say(const char *format, ...) {
  va_list args;
  va_start(args, format);
  errno = 0;
  vprintf(format, args);
  va_end(args);
  note_stdout(errno);
}

void warn(const char *format, ...) {
  if (*name) fprintf(stderr, "%s: ", name);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
}

void flush_stdout() {
  errno = 0;
  fflush(stdout);
  note_stdout(errno);
}

// A summary lost on a full device is a failure like a lost output: the buffered lines are only
// written, and their errors only seen, when flushed.
int check_stdout(int status) {
  if (stdout_checked) return status;
  stdout_checked = true;
  flush_stdout();
  if (!lost) return status;
  warn("write error on standard output: %s", strerror(lost));
  return status == 0 ? 255 : status;
}
