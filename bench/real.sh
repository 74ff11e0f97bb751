#!/bin/sh
# A real pair larger than the file cache: two inputs of GIB GiB of random values each, made once
# in DIR (outside the repository: about 3 x GIB GiB of disk with the output), then one cold run
# of quarvel and one of the streaming floor. Fails unless quarvel's peak RSS stays within
# 256 MiB. Off by default: `make bench REAL_PAIR_DIR=/some/disk/folder`.
# usage: bench/real.sh BUILD_DIR DIR [GIB]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd) dir=$2 gib=${3:-12}
mkdir -p "$dir" && cd "$dir"
for f in a b; do
  [ "$(stat -c %s "$f.bin" 2>/dev/null || echo 0)" = $((gib << 30)) ] && continue
  rm -f "$f.bin"
  odd=0; [ "$f" = b ] && odd=1
  for k in $(seq "$gib"); do  # a GiB at a time, each from a seed of its own
    "$build/mksamples" random piece.bin 268435456 $((k * 2 + odd))
    cat piece.bin >> "$f.bin"
  done
  rm -f piece.bin
done
"$here/cpu.sh" 2>/dev/null || true
echo "memory: $(grep MemTotal /proc/meminfo | awk '{printf "%.1f GiB", $2 / 1048576}'), inputs: 2 x $gib GiB"
for prog in floor quarvel; do
  rm -f out.bin; sync
  [ -w /proc/sys/vm/drop_caches ] && echo 3 > /proc/sys/vm/drop_caches
  if [ $prog = quarvel ]; then
    /usr/bin/time -f "quarvel: %e s wall, %U s user, %S s system, peak RSS %M KB" -o q.time \
      "$build/quarvel" a.bin b.bin out.bin >/dev/null
    cat q.time
  else
    /usr/bin/time -f "floor: %e s wall, %U s user, %S s system" "$build/bench/quarvel_floor" \
      a.bin b.bin out.bin
  fi
done
rm -f out.bin
rss=$(sed 's/.*peak RSS \([0-9]*\) KB/\1/' q.time)
[ "$rss" -le $((256 * 1024)) ] || { echo "FAIL: peak RSS over 256 MiB"; exit 1; }
