#!/bin/sh
# A build folder configured by hand without the tests (as for an install) must not leave
# `make check` running stale test binaries: the make targets set what they need themselves.
# usage: check_configure.sh SOURCE_DIR
set -eu
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake -S "$src" -B "$tmp/build" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
make -s -C "$src" configure BUILD="$tmp/build" >/dev/null
grep -q '^BUILD_TESTING:BOOL=ON$' "$tmp/build/CMakeCache.txt" || fail "tests stay switched off"
grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$tmp/build/CMakeCache.txt" || fail "not a release build"
grep -q 'quarvel_tests' "$tmp/build/tests/CTestTestfile.cmake" 2>/dev/null ||
  grep -rq 'quarvel_tests' "$tmp/build/tests/" || fail "no tests registered"
echo "make configure switches the tests back on"
