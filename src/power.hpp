// powf at vector speed: x^y formed in double and rounded to float only where the platform's
// powf is proven to give the same float; every other value goes to powf itself.
#pragma once

#include <cmath>
#include <cstdint>

#include "cpu.hpp"

/// powf(x, y) for a NaN x or y, as x86-64's glibc gives it.
float power_of_nan(float x, float y);

/// powf(x, y), with x86-64's NaNs on every machine: only where a NaN meets it does the
/// platform's powf differ from x86-64's.
inline float x86_powf(float x, float y) {
  return kX86Nans || !(std::isnan(x) || std::isnan(y)) ? powf(x, y) : power_of_nan(x, y);
}

/// True when the platform's powf forms its result in double with the error bound this unit
/// relies on (glibc 2.28 and later), checked once, when the program runs.
bool fast_powers_allowed();

/// Sets out[i] = powf(x[i], y) for i < n (n at most 1024), by the vector path where it decides
/// and by powf elsewhere, using vectors of `lanes` doubles (8, 4 or 2; 0 for the widest this
/// CPU runs; a CPU without AVX2 and FMA sends every value to powf, whatever is asked). When
/// `guarded`, a negative x[i] (which counts as +0) gets no power: its out[i] means nothing.
/// Gives how many values went to powf.
int power_piece(const float *x, float y, float *out, int n, int lanes = 0, bool guarded = false);

/// Exponents with a cheaper way than the vector path to powf's bits: 2, -1 and 1/2.
enum class Shortcut { kSquare, kInverse, kRoot };

/// As power_piece, for the exponent that `s` names (not counted by power_counts).
int shortcut_piece(Shortcut s, const float *x, float *out, int n, int lanes = 0,
                   bool guarded = false);

/// The vector paths alone, for the proofs: as power_piece and shortcut_piece, but where a value
/// would go to powf, bit i % 16 of undecided[i / 16] is set instead (out[i] then means nothing).
/// Assumes fast_powers_allowed() and a finite y.
void decide_powers(const float *x, float y, float *out, uint16_t *undecided, int n, int lanes,
                   bool guarded = false);
void decide_shortcut(Shortcut s, const float *x, float *out, uint16_t *undecided, int n,
                     int lanes, bool guarded = false);

/// The guards of a product: whether a negative value of each input counts as +0, and the
/// power of +0 that such a value then takes.
struct Guards {
  bool guard1, guard2;
  float zero_power1, zero_power2;
};

/// The product's last step for a piece of n values (at most 1024): a[i] = pa[i] × pb[i], the
/// powers of a[i] and b[i], where a guarded value takes the power of +0 instead, and a
/// guarded b[i] becomes +0. A NaN factor gives the first NaN, as x86's multiply does.
void combine_piece(float *a, float *b, const float *pa, const float *pb, const Guards &g, int n,
                   int lanes = 0);

/// The product for both exponents 1 where it is the multiply itself: a[i] = a[i] × b[i] for
/// i < n when no value is a NaN (then true), else nothing changed (false).
bool plain_product(float *a, const float *b, int n, int lanes = 0);

/// How many values power_piece was given so far, and how many of them went to powf, by this
/// thread and by the threads that have ended.
void power_counts(uint64_t *raised, uint64_t *to_powf);

/// The vector path for one value, as a scalar: x^y in double for a positive normal x, and
/// t = y·log2(x) as it was formed. For the tests of the error bound.
double power_in_double(float x, float y, double *t);

/// The bound on the relative error of power_in_double, given its t.
double power_error_bound(double t);
