// Sample files: headerless arrays of IEEE 754 binary32 values in host byte order.
#pragma once

#include <limits.h>

#include <cstdint>
#include <cstdio>

/// Opens a sample file for reading; gives none, with errno set, when the path can't be opened or
/// is a directory.
FILE *open_input(const char *path);

/// True when a stream gives the same bytes when read again: a regular file or a block device.
bool rereadable(FILE *f);

/// The output as it is being written.
struct Output {
  FILE *file;
  const char *name;    // as named on the command line
  enum Way {
    kReplace,  // a new file that takes the name of `target` at the end, if all went well
    kInPlace,  // the existing file, written over from its start
    kDirect,   // a device, pipe or other special file: written as it is, never cut
  } way;
  bool cut;            // in place over an input that is read again: cut to length at the end
  bool after_lines;    // the output is standard output: the products follow the printed lines
  // Held in place, so that an exit() leaves nothing allocated behind.
  char target[PATH_MAX];  // the path that symbolic links lead to
  char temp[PATH_MAX];    // the hidden name of the new file, while it has one, else empty
};

/// Opens the output at `path`: a regular file, or a name that is none yet, is replaced by a new
/// file in the same folder; where that would change what other users of the file see (other hard
/// links, an owner that can't be kept, a folder where nothing can be made) it is written in
/// place, and `over_input` says it is an input still to be read. Ends the process with status 9
/// when the output can't be opened, as opening it for writing would fail.
Output open_output(const char *path, bool over_input = false);

/// Makes, before the inputs are read, the new file that is to replace the output at `path`, so
/// that the products can be written to it as they are formed; false, with nothing made or
/// changed, where the output is to be written otherwise or can't be opened (open_output then
/// opens it, or says why not).
bool open_replacement(const char *path, Output *out);

/// Prints the line that announces the `count` values written to the output.
void announce_output(const char *name, int64_t count);

/// Finishes the output that holds `count` values: on success a new file takes its name, a file
/// written in place over an input is cut to length; with `discard` or a `write_error` (an errno)
/// a new file is removed and the old output stays. Gives 0, or -1 after naming on standard error
/// what was lost.
int close_output(Output &out, int64_t count, int write_error, bool discard = false);
