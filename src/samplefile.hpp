// Sample files: headerless arrays of IEEE 754 binary32 values in host byte order.
#pragma once

#include <cstdint>
#include <cstdio>

/// Opens a sample file for reading; gives none, with errno set, when the path can't be opened or
/// is a directory.
FILE *open_input(const char *path);

/// Creates or truncates the output, or with `in_place` opens it to be written over from its
/// start; ends the process with status 9 when it can't be opened.
FILE *open_output(const char *path, bool in_place = false);

/// Announces the `count` values written to `out`, cuts a file written in place to their length
/// and closes it. Gives 0, or -1 after naming on standard error what was lost: `write_error`
/// (an errno), or a failure to cut or close.
int close_output(FILE *out, const char *path, int64_t count, int write_error, bool in_place);
