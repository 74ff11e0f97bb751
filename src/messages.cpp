#include "messages.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

static const char *name = "";
static bool stdout_checked;

void set_program_name(const char *n) {
  name = n ? n : "";
  stdout_checked = false;
}

const char *program_name() { return name; }

void warn(const char *format, ...) {
  if (*name) fprintf(stderr, "%s: ", name);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
}

// A summary lost on a full device is a failure like a lost output: the buffered lines are only
// written, and their errors only seen, here.
int check_stdout(int status) {
  if (stdout_checked) return status;
  stdout_checked = true;
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout)) return status;
  if (errno)
    warn("write error on standard output: %s", strerror(errno));
  else
    warn("write error on standard output");
  return status == 0 ? 255 : status;
}
