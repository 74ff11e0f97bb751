#!/bin/sh
# Whole runs from a cold file cache: the cache is dropped before every run (root only), and
# quarvel and the streaming floor alternate; prints the median wall, user and system seconds.
# usage: bench/cold.sh BUILD_DIR [COUNT] [RUNS]     (the inputs of compare.sh)
set -eu
build=$(cd "$1" && pwd) count=${2:-100000000} runs=${3:-5}
cd "${BENCH_DIR:-/tmp/quarvel-bench}"
if [ "$(id -u)" != 0 ] || ! [ -w /proc/sys/vm/drop_caches ]; then
  echo "cold runs skipped: dropping the file cache needs root"; exit 0
fi
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
for w in 1:1:a:b 2.5:-1.3:p:q; do
  IFS=: read -r p1 p2 f1 f2 <<EOW
$w
EOW
  rm -f q.cold f.cold
  for i in $(seq "$runs"); do
    for prog in $( [ $((i % 2)) = 1 ] && echo q f || echo f q); do
      rm -f out.bin; sync; echo 3 > /proc/sys/vm/drop_caches
      if [ "$prog" = q ]; then
        /usr/bin/time -f "%e %U %S" -a -o q.cold "$build/quarvel" "$f1$count.bin" "$f2$count.bin" \
          out.bin -power1 "$p1" -power2 "$p2" >/dev/null
      else
        /usr/bin/time -f "%e %U %S" -a -o f.cold "$build/bench/quarvel_floor" "$f1$count.bin" \
          "$f2$count.bin" out.bin
      fi
    done
  done
  q=$(cut -d' ' -f1 q.cold | median) f=$(cut -d' ' -f1 f.cold | median)
  printf '(%s, %s) %s,%s cold: quarvel %s/%s/%s  floor %s/%s/%s  %sx the floor\n' "$p1" "$p2" \
    "$f1" "$f2" "$q" "$(cut -d' ' -f2 q.cold | median)" "$(cut -d' ' -f3 q.cold | median)" \
    "$f" "$(cut -d' ' -f2 f.cold | median)" "$(cut -d' ' -f3 f.cold | median)" \
    "$(echo "$q $f" | awk '{printf "%.2f", $1 / $2}')"
done
rm -f out.bin q.cold f.cold
