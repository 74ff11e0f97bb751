#include "interrupt.hpp"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

// The handler may read these at any moment: a name is complete before `named` is set.
static char doomed[PATH_MAX];
static volatile sig_atomic_t named, progress_shown;
static const int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGXFSZ};

static void undo() {
  if (named) unlink(doomed);
  named = 0;
}

static void on_signal(int sig) {
  if (progress_shown && write(2, "\r\033[K", 4) < 0) {
    // nothing more can be said
  }
  undo();
  signal(sig, SIG_DFL);
  raise(sig);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);  // the signal, pending since raise(), ends us here
  _exit(128 + sig);
}

void catch_signals() {
  static bool done;
  if (done) return;
  done = true;
  atexit(undo);
  for (int sig : kSignals) {
    struct sigaction old, act;
    memset(&act, 0, sizeof act);
    act.sa_handler = on_signal;
    sigfillset(&act.sa_mask);
    // A signal ignored from the start (a background job's SIGINT) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
      sigaction(sig, &act, nullptr);
  }
}

bool remove_on_exit(const char *path) {
  HoldSignals hold;
  named = 0;
  if (!path) return true;
  if (strlen(path) >= sizeof doomed) return false;
  strcpy(doomed, path);
  named = 1;
  return true;
}

void set_progress_line(bool shown) { progress_shown = shown; }

HoldSignals::HoldSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kSignals) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, &saved);
}

HoldSignals::~HoldSignals() { pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
