// What a run undoes when it ends early, by a signal or a failure: the progress line on the
// terminal and a hidden file that was to become the output.
#pragma once

#include <signal.h>

/// Catches the signals that end a run (those not ignored when the program started): the handler
/// erases the progress line, removes the file named by remove_on_exit and dies of the signal.
void catch_signals();

/// Names a file to remove when the process ends by a signal or exit() before it is named
/// again; nullptr names none. The path is copied; false when it is too long to be.
bool remove_on_exit(const char *path);

/// Tells the signal handler whether the progress line is on standard error.
void set_progress_line(bool shown);

/// Holds back the caught signals while it lives, so that a file and its removal are named
/// together.
struct HoldSignals {
  sigset_t saved;
  HoldSignals();
  ~HoldSignals();
};
