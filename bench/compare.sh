#!/bin/sh
# End-to-end comparison on large inputs: quarvel, the straightforward program and the streaming
# floor, alternated run by run with nothing run beforehand to put memory in a kind state; prints
# per workload the median wall, user and system time and peak RSS of each, and the ratios.
# usage: bench/compare.sh BUILD_DIR [COUNT] [RUNS]     (BUILD_DIR configured with -DQUARVEL_BENCH=ON)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd) count=${2:-100000000} runs=${3:-6}
dir=${BENCH_DIR:-/tmp/quarvel-bench}
mkdir -p "$dir" && cd "$dir"
[ -f "a$count.bin" ] || "$build/mksamples" random "a$count.bin" "$count" 1
[ -f "b$count.bin" ] || "$build/mksamples" random "b$count.bin" "$count" 2
[ -f "p$count.bin" ] || "$build/mksamples" positive "p$count.bin" "$count" 3
[ -f "q$count.bin" ] || "$build/mksamples" positive "q$count.bin" "$count" 4
"$here/cpu.sh"

# run NAME ARGS...: one timed run; appends "wall user system kilobytes" to NAME.times.
run() {
  name=$1; shift
  rm -f out.bin
  /usr/bin/time -f "%e %U %S %M" -o t "$@" >/dev/null
  cat t >> "$name.times"
}
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
col() { cut -d' ' -f"$2" "$1.times" | median; }

printf '%-20s %-26s %-26s %-26s %7s %7s\n' workload "quarvel wall/user/sys RSS" \
  "plain wall/user/sys RSS" "floor wall/user/sys RSS" "plain/q" "q/floor"
# Each workload is POWER1:POWER2:FIRST:SECOND. Inputs a, b hold values in [-4, 4), so non-whole
# exponents meet negative values (+0, infinities and NaNs follow); p, q hold values in [0, 4).
workloads=${WORKLOADS:-"1:1:a:b 2:0.5:a:b 2.5:-1.3:a:b 1:1:p:q 2:0.5:p:q 2.5:-1.3:p:q"}
for w in $workloads; do
  IFS=: read -r p1 p2 f1 f2 <<EOW
$w
EOW
  set -- "$p1" "$p2" "$f1" "$f2"
  rm -f q.times s.times f.times
  # The rounds go through all six orders of the three programs.
  for i in $(seq "$runs"); do
    order=$(echo fsq fqs sfq sqf qfs qsf | cut -d' ' -f$(( (i - 1) % 6 + 1 )))
    for prog in $(echo "$order" | sed 's/./& /g'); do
      case $prog in
        f) run f "$build/bench/quarvel_floor" "$3$count.bin" "$4$count.bin" out.bin ;;
        s) run s "$build/bench/quarvel_straightforward" "$3$count.bin" "$4$count.bin" out.bin \
             -power1 "$1" -power2 "$2"
           mv out.bin plain.bin ;;
        q) run q "$build/quarvel" "$3$count.bin" "$4$count.bin" out.bin -power1 "$1" -power2 "$2"
           mv out.bin quarvel.bin ;;
      esac
    done
    cmp -s quarvel.bin plain.bin || { echo "outputs differ for $w"; exit 1; }
  done
  line=""
  for p in q s f; do
    line="$line $(printf '%5.2f/%4.2f/%4.2f %5dM' "$(col $p 1)" "$(col $p 2)" "$(col $p 3)" \
      $(( $(col $p 4) / 1024 )))"
  done
  printf '%-20s %s %6.1fx %6.2fx\n' "($1, $2) $3,$4" "$line" \
    "$(echo "$(col s 1) $(col q 1)" | awk '{print $1/$2}')" \
    "$(echo "$(col q 1) $(col f 1)" | awk '{print $1/$2}')"
done
rm -f out.bin plain.bin quarvel.bin t
