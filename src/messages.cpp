#include "messages.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

static const char *name = "";
static bool stdout_checked;
static int lost;  // errno of the first failed write of standard output, -1 for none known

void set_program_name(const char *n) {
  name = n ? n : "";
  stdout_checked = false;
  lost = 0;
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

void flush_stdout() {
  errno = 0;
  if ((fflush(stdout) != 0 || ferror(stdout)) && !lost) lost = errno ? errno : -1;
}

// A summary lost on a full device is a failure like a lost output: the buffered lines are only
// written, and their errors only seen, when flushed.
int check_stdout(int status) {
  if (stdout_checked) return status;
  stdout_checked = true;
  flush_stdout();
  if (!lost) return status;
  if (lost > 0)
    warn("write error on standard output: %s", strerror(lost));
  else
    warn("write error on standard output");
  return status == 0 ? 255 : status;
}
