#include "hooks.hpp"

#include <cstdlib>

#ifdef QUARVEL_TEST_HOOKS
int64_t test_memory() {
  const char *v = getenv("QUARVEL_TEST_MEMORY");
  return v ? strtoll(v, nullptr, 10) : -1;
}

bool test_named_temp() { return getenv("QUARVEL_TEST_NAMED_TEMP") != nullptr; }
#else
int64_t test_memory() { return -1; }

bool test_named_temp() { return false; }
#endif
