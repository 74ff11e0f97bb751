#include "hooks.hpp"

#include <cstdlib>

#ifdef QUARVEL_TEST_HOOKS
int64_t test_memory() {
  const char *v = getenv("QUARVEL_TEST_MEMORY");
  return v ? strtoll(v, nullptr, 10) : -1;
}

bool test_named_temp() { return getenv("QUARVEL_TEST_NAMED_TEMP") != nullptr; }

int test_width_cap() {
  const char *v = getenv("QUARVEL_TEST_WIDTH");
  return v ? atoi(v) : 0;
}
#else
int64_t test_memory() { return -1; }

bool test_named_temp() { return false; }

int test_width_cap() { return 0; }
#endif
