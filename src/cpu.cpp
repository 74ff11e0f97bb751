#include "cpu.hpp"

#include "hooks.hpp"

namespace {

#if QUARVEL_X86
int cpu_lanes() {
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw"))
    return 8;
  return __builtin_cpu_supports("avx2") ? 4 : 2;
}
bool cpu_fma() { return __builtin_cpu_supports("fma"); }
#else
int cpu_lanes() { return 2; }
bool cpu_fma() { return false; }
#endif

}  // namespace

int widest_lanes() {
  static const int widest = [] {
    const int cpu = cpu_lanes(), cap = test_width_cap();
    return cap >= 2 && cap < cpu ? cap : cpu;
  }();
  return widest;
}

int power_lanes() {
  static const int lanes = widest_lanes() == 4 && !cpu_fma() ? 2 : widest_lanes();
  return lanes;
}
