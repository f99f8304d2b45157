#!/usr/bin/env bash
# How the cost of a photon grows with the field: the engine's own CPU time of
# the photon loop (the CPU-time record of the direction file, which starts
# once the field is read and the grids are built) on the benchmark field
# (10^4 spheres, grid 50 x 50) and on a field of 3.5 10^5 spheres of the same
# density, shear and seed (grid 296 x 296, about 4 spheres a cell), both with
# the benchmark deck's ten directions and one worker thread (each photon
# drawing from its own stream). The programs run in turn, round after round,
# so that programs measured in one sitting share the machine's state; for
# each program it prints the least and the median time on each field and the
# large field's time over the small one's three ways: by the least, by the
# medians, and the median of each round's own ratio (a round's two runs come
# one after the other, so its ratio is spared the drift of the machine's
# speed between rounds). It also checks that all programs give the same
# result files, but for the CPU time and the candidate mean.
#
#   bench/growth.sh [--rounds N] [--photons N] [--keep] QUILLET [QUILLET...]
#
#   --rounds N    rounds (default 10)
#   --photons N   photons per run (default 200000)
#   --keep        keep the fields, decks and run folder (printed at the end)
#
# The large field is made by $QUILLET_FIELD, else build/tools/quillet-field,
# which is built first when it is missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/bench/programs.sh"
rounds=10
photons=200000
keep=0
bins=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) need_count growth.sh "$1" "${2-}"; rounds="$2"; shift ;;
    --photons) need_count growth.sh "$1" "${2-}"; photons="$2"; shift ;;
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
cp "$root/bench/field.pos" "$work/small.pos"
# The benchmark field's density (optical depth 0.5, filling factor 0.1) and
# shear (about a third of the half-width) over a cell 35 times its area:
# half-widths sqrt(3.5e5 pi / 0.5 / 4).
"$field" --title "quillet growth field" --xl 741.47 --yl 741.47 --sy 247.2 \
  --radius 1 --tau 0.5 --filling 0.1 --seed 2025 -o "$work/large.pos" 2>/dev/null

# deck NAME GRID: the benchmark deck on field NAME.pos with a GRID x GRID grid.
make_deck() {
  sed -e "s/^'field.pos' /'$1.pos' /" -e "s/^[0-9]* 1 50 50 /$photons 1 $2 $2 /" \
    -e "s/^'bench.dir' /'$1.dir' /" "$root/bench/bench.deck" >"$work/$1.deck"
}
make_deck small 50
make_deck large 296

echo "load average $(cut -d' ' -f1-3 /proc/loadavg), $rounds rounds of $photons photons, $(date -u '+%Y-%m-%d %H:%M UTC')"
: >"$work/times"
for r in $(seq "$rounds"); do
  for k in "${!bins[@]}"; do
    for f in small large; do
      (cd "$work" && "${bins[$k]}" --threads 1 <"$f.deck" >"$f.$k.report" 2>&1) ||
        { echo "growth.sh: ${bins[$k]} failed on the $f field (report: $work/$f.$k.report)" >&2; keep=1; exit 1; }
      mv "$work/$f.dir" "$work/$f.$k.dir"
      echo "$r $k $f $(tail -n 2 "$work/$f.$k.dir" | head -n 1 | awk '{ print $1 }')" >>"$work/times"
    done
  done
done

/usr/bin/python3 - "$work" "${bins[@]}" <<'PY'
import os
import statistics
import sys

work, bins = sys.argv[1], sys.argv[2:]
times = {}
for line in open(os.path.join(work, "times")):
    r, k, f, t = line.split()
    times.setdefault((int(k), f), []).append(float(t))


def answers(path):
    """The direction file without its CPU-time record and candidate mean."""
    lines = open(path).read().splitlines()
    means = lines[-6].split()
    lines[-6] = " ".join([means[0], "*", means[-1]])
    return lines[:-2] + lines[-1:]


print(f"{'program':>28} {'small least':>11} {'median':>8} {'large least':>11} {'median':>8}"
      f" {'large/small least':>17} {'medians':>8} {'rounds':>7}")
for k, b in enumerate(bins):
    s, l = times[(k, "small")], times[(k, "large")]
    rounds = statistics.median(y / x for x, y in zip(s, l))
    name = b if len(b) <= 28 else "..." + b[-25:]
    print(f"{name:>28} {min(s):11.3f} {statistics.median(s):8.3f} {min(l):11.3f} {statistics.median(l):8.3f}"
          f" {min(l) / min(s):17.3f} {statistics.median(l) / statistics.median(s):8.3f} {rounds:7.3f}")
for f in ("small", "large"):
    first = answers(os.path.join(work, f"{f}.0.dir"))
    for k in range(1, len(bins)):
        if answers(os.path.join(work, f"{f}.{k}.dir")) != first:
            print(f"growth.sh: {bins[k]} gives other results than {bins[0]} on the {f} field")
            sys.exit(1)
if len(bins) > 1:
    print("results: the same for every program (but for the CPU time and the candidate mean)")
PY
[ "$keep" -eq 0 ] || echo "fields, decks and results in $work"
