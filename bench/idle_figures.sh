#!/usr/bin/env bash
# The speed figures of bench/README.md in one run, for a machine otherwise idle.
# Takes about 10 minutes on the 2-core development machine (the default search
# of (c) alone about 6 of them); plan for 12.
#
#   bash bench/idle_figures.sh [BUILD_DIR] [OUT_DIR]
#
# BUILD_DIR (default build-bench) holds bench/search_bench and
# bench/search_bench_floor, built with -DQARN_BUILD_BENCH=ON (see
# bench/README.md). OUT_DIR (default a new folder under /tmp) receives every
# run's full output. Prints:
#   1. (a), (b), (c) at the default settings (max_complexity 10, 7 for (b);
#      beam_width 1000), two threads: wall time, CPU time (user + sys) and
#      peak RSS as GNU time measures them, and each level's counts, seconds
#      and retained digest;
#   2. the floor ratio of (a) at max_complexity 6, one thread;
#   3. seconds per level of (a)'s formula and noise at 100, 1,000 and 10,000
#      rows (max_complexity 6, two threads; the scored/s column gives the cost
#      per candidate at each size).
# Needs GNU time at /usr/bin/time (Debian: apt-get install time).
set -euo pipefail

build=${1:-build-bench}
out=${2:-$(mktemp -d /tmp/idle_figures.XXXXXX)}
bench=$build/bench/search_bench
floor=$build/bench/search_bench_floor
for program in "$bench" "$floor" /usr/bin/time; do
  if [[ ! -x $program ]]; then
    echo "missing $program (see the comment at the top of $0)" >&2
    exit 1
  fi
done
mkdir -p "$out"

# Runs one benchmark under GNU time; prints the level table, the bench's own
# summary and GNU time's wall, CPU and peak RSS.
measure() {
  local name=$1
  shift
  /usr/bin/time -v -o "$out/$name.time" "$@" >"$out/$name.txt" 2>"$out/$name.err"
  echo "== $name: $*"
  sed -n '/^ *level/,/^total/p' "$out/$name.txt"
  awk -F': ' '
    /Elapsed \(wall clock\)/ { wall = $2 }
    /User time/ { user = $2 }
    /System time/ { sys = $2 }
    /Maximum resident set size/ { rss = $2 }
    END { printf "GNU time: wall %s, CPU %.2f s (user %.2f + sys %.2f), peak RSS %.1f MiB\n\n",
                 wall, user + sys, user, sys, rss / 1024 }' "$out/$name.time"
}

echo "# build $build, output in $out, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs"
echo "# load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
measure a_default "$bench" a --threads 2
measure b_default "$bench" b --max-complexity 7 --threads 2
measure c_default "$bench" c --threads 2

"$floor" a --max-complexity 6 --threads 1 >"$out/floor.txt" 2>/dev/null
echo "== floor: $floor a --max-complexity 6 --threads 1"
grep -E '^(libm|atan2|hypot|log|exp|sin|cos|sincos|sinh|cosh) |^floor' "$out/floor.txt"
echo

for rows in 100 1000 10000; do
  measure "rows_$rows" "$bench" a --rows "$rows" --max-complexity 6 --threads 2
done
echo "# load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
