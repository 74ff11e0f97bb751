// What the program says on standard error, and the last check of standard output.
#pragma once

/// Sets the name that messages begin with: the invocation name, as perror uses it.
void set_program_name(const char *name);

/// The name set by set_program_name.
const char *program_name();

/// Opens each of standard input, output and error that is closed on /dev/null the other way
/// round, so that no file opened later takes its number and every use of it fails.
void hold_standard_descriptors();

/// Prints on standard output, remembering why it failed for check_stdout.
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

/// Prints "NAME: " (nothing when the name is empty), the formatted text and a newline on stderr.
void warn(const char *format, ...) __attribute__((format(printf, 1, 2)));

/// Flushes standard output, remembering why it failed for check_stdout.
void flush_stdout();

/// Flushes standard output once per run; when it can't be written, says so on standard error and
/// gives 255 in place of a status of 0. Later calls give `status` unchanged.
int check_stdout(int status);
