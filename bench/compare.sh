#!/bin/sh
# End-to-end comparison on large inputs: quarvel, the straightforward build and the I/O floor,
# alternated run by run; prints the median wall time, peak RSS and the ratios per workload.
# usage: bench/compare.sh BUILD_DIR [COUNT] [RUNS]     (BUILD_DIR configured with -DQUARVEL_BENCH=ON)
set -eu
build=$(cd "$1" && pwd) count=${2:-100000000} runs=${3:-6}
dir=${BENCH_DIR:-/tmp/quarvel-bench}
mkdir -p "$dir" && cd "$dir"
[ -f "a$count.bin" ] || "$build/mksamples" random "a$count.bin" "$count" 1
[ -f "b$count.bin" ] || "$build/mksamples" random "b$count.bin" "$count" 2
[ -f "p$count.bin" ] || "$build/mksamples" positive "p$count.bin" "$count" 3
[ -f "q$count.bin" ] || "$build/mksamples" positive "q$count.bin" "$count" 4

# run NAME ARGS...: one timed run; appends "seconds kilobytes" to NAME.times. Each run starts
# from the same memory state: an untimed run of the floor program first leaves free huge pages
# behind, rather than memory fragmented by whichever program ran last (the kernel would compact
# it during the timed run, adding up to seconds of system time; see bench/README.md).
run() {
  name=$1; shift
  "$build/bench/quarvel_floor" "$prime1" "$prime2" out.bin
  rm -f out.bin; sync
  start=$(date +%s%N)
  /usr/bin/time -f "%M" -o rss "$@" >/dev/null
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000 )) $(cat rss)" | awk '{printf "%.4f %s\n", $1 / 1e6, $2}' >> "$name.times"
}
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

printf '%-22s %9s %9s %9s %10s %10s %8s %8s %8s\n' workload quarvel plain floor "vs plain" "vs floor" "RSS q" "RSS p" "RSS f"
# Each workload is POWER1:POWER2:FIRST:SECOND. Inputs a, b hold values in [-4, 4), so non-whole
# exponents meet negative values (+0, infinities and NaNs follow); p, q hold values in [0, 4).
workloads=${WORKLOADS:-"1:1:a:b 2:0.5:a:b 2.5:-1.3:a:b 1:1:p:q 2:0.5:p:q 2.5:-1.3:p:q"}
for w in $workloads; do
  IFS=: read -r p1 p2 f1 f2 <<EOW
$w
EOW
  set -- "$p1" "$p2" "$f1" "$f2"
  prime1=$3$count.bin prime2=$4$count.bin
  rm -f q.times s.times f.times
  # The rounds go through all six orders of the three programs.
  for i in $(seq "$runs"); do
    order=$(echo fsq fqs sfq sqf qfs qsf | cut -d' ' -f$(( (i - 1) % 6 + 1 )))
    for prog in $(echo "$order" | sed 's/./& /g'); do
      case $prog in
        f) run f "$build/bench/quarvel_floor" "$3$count.bin" "$4$count.bin" out.bin ;;
        s) run s "$build/bench/quarvel_straightforward" "$3$count.bin" "$4$count.bin" out.bin \
             -power1 "$1" -power2 "$2"
           cp out.bin plain.bin ;;
        q) run q "$build/quarvel" "$3$count.bin" "$4$count.bin" out.bin -power1 "$1" -power2 "$2"
           cp out.bin quarvel.bin ;;
      esac
    done
    cmp -s quarvel.bin plain.bin || { echo "outputs differ for $w"; exit 1; }
  done
  tq=$(cut -d' ' -f1 q.times | median) ts=$(cut -d' ' -f1 s.times | median) tf=$(cut -d' ' -f1 f.times | median)
  mq=$(cut -d' ' -f2 q.times | median) ms=$(cut -d' ' -f2 s.times | median) mf=$(cut -d' ' -f2 f.times | median)
  printf '%-22s %8.3fs %8.3fs %8.3fs %9sx %9sx %7sM %7sM %7sM\n' "($1, $2) $3,$4" "$tq" "$ts" "$tf" \
    "$(echo "$ts $tq" | awk '{printf "%.1f", $1/$2}')" "$(echo "$tq $tf" | awk '{printf "%.2f", $1/$2}')" \
    $((mq / 1024)) $((ms / 1024)) $((mf / 1024))
done
rm -f out.bin plain.bin quarvel.bin
