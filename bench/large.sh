#!/bin/sh
# A pair of inputs larger than this machine's memory: sparse files of GIB GiB each, holding a
# few 1 MiB blocks of real data between holes that read as zeros. The result goes to /dev/null,
# so that the run needs no disk. Checks that the run succeeds in bounded memory, and that its
# extremes are those of the real blocks run on their own.
# usage: bench/large.sh BUILD_DIR [GIB]     (default: 13, a pair of 26 GiB)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd) gib=${2:-13}
dir=${BENCH_DIR:-/tmp/quarvel-bench}/large
mkdir -p "$dir" && cd "$dir"
rm -f a.bin b.bin
truncate -s "${gib}G" a.bin b.bin
"$build/mksamples" random blocks_a.bin 1048576 7   # 4 MiB: four blocks
"$build/mksamples" positive blocks_b.bin 1048576 8
for k in 0 1 2 3; do  # the blocks at the start, a third, two thirds and the end
  at=$(( k * (gib * 1024 - 1) / 3 ))
  dd if=blocks_a.bin of=a.bin bs=1M skip="$k" seek="$at" count=1 conv=notrunc status=none
  dd if=blocks_b.bin of=b.bin bs=1M skip="$k" seek="$at" count=1 conv=notrunc status=none
done
ln -sf /dev/null out.bin
"$here/cpu.sh"
echo "memory: $(grep MemTotal /proc/meminfo | awk '{printf "%.1f GiB", $2 / 1048576}'), inputs: 2 x $gib GiB"
/usr/bin/time -f "%e s wall, %U s user, %S s system, peak RSS %M KB" -o time.txt \
  "$build/quarvel" a.bin b.bin out.bin -power1 1 -power2 1 | tee run.txt
cat time.txt
rss=$(sed 's/.*peak RSS \([0-9]*\) KB/\1/' time.txt)
[ "$rss" -le $((256 * 1024)) ] || { echo "FAIL: peak RSS over 256 MiB"; exit 1; }
# Between the blocks lie zeros, whose products are 0: the largest product is a block's positive
# one and the smallest a block's negative one, so the extremes are those of the blocks alone.
"$build/quarvel" blocks_a.bin blocks_b.bin out.bin >blocks.txt
want=$(grep '^max' blocks.txt) got=$(grep '^max' run.txt)
[ "$got" = "$want" ] || { echo "FAIL: extremes '$got', the blocks give '$want'"; exit 1; }
echo "extremes as the blocks give them; peak RSS within 256 MiB"
rm -f a.bin b.bin
