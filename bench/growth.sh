#!/usr/bin/env bash
# How the cost of a photon grows with the field: the engine's own CPU time of
# the photon loop (the CPU-time record of the direction file, which starts
# once the field is read and the grids are built) on the benchmark field
# (10^4 spheres, grid 50 x 50) and on fields of more spheres of the same
# density, shear and seed (half-widths 741.47 sqrt(N / 3.5 10^5), shear a
# third of that, a grid of about 4 spheres a cell: 296 x 296 for 3.5 10^5),
# all with the benchmark deck's ten directions (or the number asked for) and one worker thread (each
# photon drawing from its own stream) or the threads asked for. The programs
# run in turn, round after round, so that programs measured in one sitting
# share the machine's state; for each field and program it prints the least
# and the median loop time per photon, and the field's time over the
# benchmark field's three ways: by the least, by the medians, and the median
# of each round's own ratio (a round's runs of a program come one after the
# other, so its ratio is spared the drift of the machine's speed between
# rounds), and the photons per second of loop CPU (by the median). Per field
# and program it also prints the CPU time of the rest of
# the run (reading the field and building the grids, almost all of it), the
# peak memory of the process, and, where the program's build has
# bench/bench_load beside it, the bytes per table entry of the field's tables
# and grids and bench_load's CPU time of the load (once per field and
# program, after the rounds). It also checks that all programs give the same
# result files, but for the CPU time and the candidate mean.
#
#   bench/growth.sh [--rounds N] [--photons N] [--sizes LIST] [--threads N] [--directions N] [--keep]
#                   QUILLET [QUILLET...]
#
#   --rounds N    rounds (default 10)
#   --photons N   photons per run (default 200000)
#   --sizes LIST  the fields' numbers of spheres, comma-separated (default
#                 1e4,3.5e5); 1e4 is the benchmark field itself
#   --threads N   worker threads of each run (default 1)
#   --directions N  observer directions of each run (default 10: the
#                 benchmark deck's own; otherwise N directions at elevations
#                 15 to 80 degrees and azimuths 0 to 180 from the Sun)
#   --keep        keep the fields, decks and run folder (printed at the end)
#
# The fields are made by $QUILLET_FIELD, else build/tools/quillet-field,
# which is built first when it is missing. Fields of 10^7 spheres take about
# 2.5 GB of memory a run and 15 s of CPU to load.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/bench/programs.sh"
rounds=10
photons=200000
sizes=1e4,3.5e5
threads=1
directions=10
keep=0
bins=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) need_count growth.sh "$1" "${2-}"; rounds="$2"; shift ;;
    --photons) need_count growth.sh "$1" "${2-}"; photons="$2"; shift ;;
    --sizes)
      [[ "${2-}" =~ ^[0-9.eE+]+(,[0-9.eE+]+)*$ ]] || { echo "growth.sh: --sizes needs numbers of spheres, comma-separated" >&2; exit 2; }
      sizes="$2"; shift ;;
    --threads) need_count growth.sh "$1" "${2-}"; threads="$2"; shift ;;
    --directions) need_count growth.sh "$1" "${2-}"; directions="$2"; shift ;;
    --keep) keep=1 ;;
    -h | --help) print_help "$0"; exit 0 ;;
    -*) echo "growth.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
    *) add_program growth.sh "$1" ;;
  esac
  shift
done
need_programs growth.sh

field="${QUILLET_FIELD:-$root/build/tools/quillet-field}"
if [ ! -x "$field" ]; then
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build" -j"$(nproc)" --target quillet-field >/dev/null
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/quillet-growth.XXXXXX")"
trap '[ "$keep" -eq 1 ] || rm -rf "$work"' EXIT
# deck NAME GRID: the benchmark deck on field NAME.pos with a GRID x GRID grid.
make_deck() {
  sed -e "s/^'field.pos' /'$1.pos' /" -e "s/^[0-9]* 1 50 50 /$photons 1 $2 $2 /" \
    -e "s/^'bench.dir' /'$1.dir' /" "$root/bench/bench.deck" |
    if [ "$directions" -eq 10 ]; then cat; else
      # Records 3 and 4 (lines 3 to 13) give way to $directions directions.
      awk -v n="$directions" 'NR == 3 {
          print n
          for (k = 0; k < n; k++)
            printf "%.4f %.4f\n", 15 + 65 * (k % 97) / 96, 1000 + 180 * int(k / 97) / (n > 97 ? int((n - 1) / 97) : 1)
          next }
        NR >= 4 && NR <= 13 { next }
        { print }'
    fi >"$work/$1.deck"
}
# The fields: n<count> with count the whole number of spheres. The benchmark
# field is 10^4 spheres; the others have its density (optical depth 0.5,
# filling factor 0.1) and shear (about a third of the half-width), over a
# cell count/10^4 times its area.
names=()
for size in ${sizes//,/ }; do
  read -r count xl sy grid < <(/usr/bin/python3 -c "
import math, sys
n = round(float(sys.argv[1]))
xl = 741.47 * math.sqrt(n / 3.5e5)
print(n, f'{xl:.2f}', f'{xl / 3:.1f}', max(2, round(math.sqrt(n / 4))))" "$size")
  name="n$count"
  if [ "$count" -eq 10000 ]; then
    cp "$root/bench/field.pos" "$work/$name.pos"
  else
    "$field" --title "quillet growth field" --xl "$xl" --yl "$xl" --sy "$sy" \
      --radius 1 --tau 0.5 --filling 0.1 --seed 2025 -o "$work/$name.pos" 2>/dev/null
  fi
  make_deck "$name" "$grid"
  names+=("$name")
done
[ "${names[0]}" = n10000 ] || { echo "growth.sh: --sizes must start with 1e4, the benchmark field" >&2; exit 2; }

echo "load average $(cut -d' ' -f1-3 /proc/loadavg), $rounds rounds of $photons photons with $directions directions on $threads thread(s), $(date -u '+%Y-%m-%d %H:%M UTC')"
: >"$work/times"
for r in $(seq "$rounds"); do
  for f in "${names[@]}"; do
    for k in "${!bins[@]}"; do
      (cd "$work" && /usr/bin/time -f "%U %S %M" -o "$f.$k.time" "${bins[$k]}" --threads "$threads" \
        <"$f.deck" >"$f.$k.report" 2>&1) ||
        { echo "growth.sh: ${bins[$k]} failed on the field $f (report: $work/$f.$k.report)" >&2; keep=1; exit 1; }
      mv "$work/$f.dir" "$work/$f.$k.dir"
      echo "$r $k $f $(tail -n 2 "$work/$f.$k.dir" | head -n 1 | awk '{ print $1 }') $(tail -n 1 "$work/$f.$k.time")" \
        >>"$work/times"
    done
  done
done
# The tables' bytes per entry and bench_load's load time, per field and program.
: >"$work/loads"
for f in "${names[@]}"; do
  for k in "${!bins[@]}"; do
    load="$(dirname "${bins[$k]}")/bench/bench_load"
    [ -x "$load" ] || continue
    QUILLET_LOAD_FIELD="$work/$f.pos" "$load" --benchmark_filter=BM_load --benchmark_out_format=json \
      --benchmark_out="$work/$f.$k.load.json" >/dev/null 2>&1 || continue
    echo "$k $f $work/$f.$k.load.json" >>"$work/loads"
  done
done

/usr/bin/python3 - "$work" "$photons" "${bins[@]}" <<'PY'
import json
import os
import statistics
import sys

work, photons, bins = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
loop, rest, peak, order = {}, {}, {}, []
for line in open(os.path.join(work, "times")):
    r, k, f, t, user, system, rss = line.split()
    key = (int(k), f)
    if f not in order:
        order.append(f)
    loop.setdefault(key, []).append(float(t))
    rest.setdefault(key, []).append(float(user) + float(system) - float(t))
    peak[key] = max(peak.get(key, 0), int(rss))
loads = {}
for line in open(os.path.join(work, "loads")):
    k, f, path = line.split()
    b = json.load(open(path))["benchmarks"][0]
    loads[(int(k), f)] = (b["cpu_time"] / 1000.0, b["bytes/entry"], b["entries"])


def answers(path):
    """The direction file without its CPU-time record and candidate mean."""
    lines = open(path).read().splitlines()
    means = lines[-6].split()
    lines[-6] = " ".join([means[0], "*", means[-1]])
    return lines[:-2] + lines[-1:]


us = 1.0e6 / photons
print(f"{'field':>9} {'program':>28} {'loop us/photon: least':>21} {'median':>7} {'/ 10^4: least':>13}"
      f" {'medians':>8} {'rounds':>7} {'photons/s':>9} {'rest CPU s':>10} {'peak MB':>8} {'load s':>7}"
      f" {'bytes/entry':>11}")
base = order[0]
for f in order:
    for k, b in enumerate(bins):
        t, s0 = loop[(k, f)], loop[(k, base)]
        ratio = statistics.median(y / x for x, y in zip(s0, t))
        name = b if len(b) <= 28 else "..." + b[-25:]
        load_s, bpe, _ = loads.get((k, f), (float("nan"),) * 3)
        print(f"{f:>9} {name:>28} {min(t) * us:21.3f} {statistics.median(t) * us:7.3f}"
              f" {min(t) / min(s0):13.3f} {statistics.median(t) / statistics.median(s0):8.3f} {ratio:7.3f}"
              f" {photons / statistics.median(t):9.0f} {statistics.median(rest[(k, f)]):10.2f} {peak[(k, f)] / 1024:8.0f} {load_s:7.2f} {bpe:11.1f}")
for f in order:
    first = answers(os.path.join(work, f"{f}.0.dir"))
    for k in range(1, len(bins)):
        if answers(os.path.join(work, f"{f}.{k}.dir")) != first:
            print(f"growth.sh: {bins[k]} gives other results than {bins[0]} on the field {f}")
            sys.exit(1)
if len(bins) > 1:
    print("results: the same for every program (but for the CPU time and the candidate mean)")
PY
[ "$keep" -eq 0 ] || echo "fields, decks and results in $work"
