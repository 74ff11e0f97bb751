// Settings that only the tests' build of the program takes from the environment; the program
// that is installed reads none of them.
#pragma once

#include <cstdint>

/// The bytes of memory a run may take as QUARVEL_TEST_MEMORY sets them in the tests' build, or
/// -1: always -1 in the installed program.
int64_t test_memory();

/// True when the tests' build is asked (QUARVEL_TEST_NAMED_TEMP) to write a new output under a
/// hidden name even where the file system offers unnamed files; always false when installed.
bool test_named_temp();

/// The widest vectors, in doubles (2, 4 or 8), that the tests' build is asked to use at most
/// (QUARVEL_TEST_WIDTH), so that a CPU's narrower paths run too; 0, no cap: always 0 installed.
int test_width_cap();
