#!/bin/sh
# Names the CPU that the figures come from, and the widest vectors it has.
model=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
if grep -qw avx512f /proc/cpuinfo; then width="AVX-512"
elif grep -qw avx2 /proc/cpuinfo && grep -qw fma /proc/cpuinfo; then
  width="AVX2 and FMA, no AVX-512"
else width="no AVX2"; fi
echo "CPU: $model ($(nproc) cores; $width); $(date +%Y-%m-%d)"
