#!/usr/bin/env bash
# Photons per second with 1, 10 and 100 observer directions, serially and on
# 2 threads, for one or more quillet programs run in turn (so that programs
# measured in one sitting share the machine's state): the benchmark deck with
# its first direction (400,000 photons), its ten (200,000), and 100
# directions at elevations 15 to 80 degrees and azimuths 0 to 180 degrees from
# the Sun (40,000). Each figure is the best of ROUNDS runs (wall time of the
# whole process, reading the field included).
#
#   bench/directions.sh [--rounds N] [--keep] QUILLET [QUILLET...]
#
#   --rounds N   runs per program and case (default 4)
#   --keep       keep the decks and run folder (printed at the end)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/bench/programs.sh"
rounds=4
keep=0
bins=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) need_count directions.sh "$1" "${2-}"; rounds="$2"; shift ;;
    --keep) keep=1 ;;
    -h | --help) print_help "$0"; exit 0 ;;
    -*) echo "directions.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
    *) add_program directions.sh "$1" ;;
  esac
  shift
done
need_programs directions.sh

work="$(mktemp -d "${TMPDIR:-/tmp}/quillet-directions.XXXXXX")"
[ "$keep" -eq 1 ] || trap 'rm -rf "$work"' EXIT
cp "$root/bench/field.pos" "$work/"
deck="$root/bench/bench.deck"

# deck NAME PHOTONS DIRECTION... : the benchmark deck with these directions.
make_deck() {
  local name=$1 photons=$2
  shift 2
  {
    sed -n 1,2p "$deck"
    echo "$#                       3  ntest"
    printf '%s                4\n' "$@"
    echo "$photons 1 50 50         8  nxphot, nyphot, mx, my"
    sed -n '/^junk  *9 /,$p' "$deck" | sed "s/'bench.dir'/'$name.dir'/"
  } >"$work/$name.deck"
}
make_deck d1 400000 "30.0 0.0"
mapfile -t ten < <(awk '$3 == 4 { print $1, $2 }' "$deck")
make_deck d10 200000 "${ten[@]}"
hundred=()
for i in $(seq 0 9); do
  for j in $(seq 0 9); do
    hundred+=("$(awk -v i="$i" -v j="$j" 'BEGIN { printf "%.1f %.1f", 15 + 65 * i / 9, 1000 + 180 * j / 9 }')")
  done
done
make_deck d100 40000 "${hundred[@]}"

# photons/s of one run of program $1 on deck $2 with $3 threads.
rate() {
  local n start end
  n=$(awk '$5 == 8 { print $1; exit }' "$work/$2.deck")
  start=$(date +%s.%N)
  (cd "$work" && "$1" --threads "$3" <"$2.deck" >/dev/null 2>&1) || { echo "directions.sh: $1 failed on $2" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v n="$n" -v s="$start" -v e="$end" 'BEGIN { printf "%.0f", n / (e - s) }'
}

echo "load average $(cut -d' ' -f1-3 /proc/loadavg), $rounds rounds, $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '%-11s %7s' directions threads
for b in "${bins[@]}"; do printf ' %14s' "$(basename "$(dirname "$(dirname "$b")")")"; done
echo
for d in d1 d10 d100; do
  for th in 1 2; do
    best=()
    for _ in $(seq "$rounds"); do
      for k in "${!bins[@]}"; do
        v=$(rate "${bins[$k]}" "$d" "$th")
        [ "${best[$k]:-0}" -lt "$v" ] && best[$k]=$v
      done
    done
    printf '%-11s %7s' "${d#d}" "$th"
    for k in "${!bins[@]}"; do printf ' %14s' "${best[$k]}"; done
    echo
  done
done
[ "$keep" -eq 0 ] || echo "decks and results in $work"
