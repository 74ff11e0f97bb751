// What the CPU offers the vector paths; the paths for one architecture live in files named for
// it (power_avx2.cpp, summary_avx512.cpp, ...), and only x86-64 has any.
#pragma once

// x86 (64- or 32-bit): the only machines with vector paths of their own and with x87.
#if defined(__x86_64__) || defined(__i386__)
#define QUARVEL_X86 1
#else
#define QUARVEL_X86 0
#endif

/// The widest vectors, in doubles, that this CPU runs: 8 (AVX-512), 4 (AVX2) or 2 (any other,
/// the portable code), or fewer where the tests' build is asked (test_width_cap).
int widest_lanes();

/// As widest_lanes, for the power's vector path, which needs fused multiply-adds as well: 2,
/// every value to powf, where a CPU has AVX2 without FMA.
int power_lanes();

/// True where the float and double arithmetic itself gives x86's NaNs: a NaN operand passed on
/// quieted, and for an invalid operation (0 × inf, inf - inf) a negative quiet NaN without
/// payload, as x87's. Elsewhere the code forms them on bits (nans.hpp).
constexpr bool kX86Nans = QUARVEL_X86;
