#!/usr/bin/env bash
# Reproducible throughput benchmark of quillet: the deck bench/bench.deck on
# the field bench/field.pos (10^4 spheres, tau 0.5, D 0.1, 50 x 50 search
# grid), run with the straightforward scan over every grid cell
# (quillet --full-scan) and with the fast grid candidate search (the
# default), each on one core (the serial run, no --threads) and on all cores
# (--threads 0). Prints one table row per case and the speed-ups; checks that
# the straightforward and the fast search give the same results. With a
# quillet that keeps checkpoints, the fast search runs again with a
# checkpoint at the default interval and after every block, and the cost in
# photons/s and the checkpoint's size are printed.
#
#   bench/bench.sh [--quick] [--photons N] [--full-photons N] [--repeat N]
#                  [--build-dir DIR] [--no-build] [--keep]
#
#   --photons N       photons of the fast-search cases (default 1500000)
#   --full-photons N  photons of the straightforward-scan cases (default: a
#                     twentieth of the fast count); the scan is about 20 times
#                     slower, so both kinds run for a similar time
#   --quick           20000 and 5000 photons, one run per case (smoke test)
#   --repeat N        runs per case, the fastest counts (default 2)
#   --build-dir DIR   build directory (default: $QUILLET_BUILD_DIR, else
#                     build/); quillet is configured (Release) and built there
#   --no-build        time the quillet already built in DIR as it is
#   --keep            keep the run folder DIR/bench-run.XXXXXX (decks,
#                     reports, direction files)
#
# Exit status: 0 when every case that could run ran and every comparison
# agreed; 1 on a failed run or a difference between the two searches.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUILLET_BUILD_DIR:-$root/build}"
photons=1500000
full_photons=""
repeat=2
keep=0
build_it=1

usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; }
need_int() {
  case "$2" in '' | *[!0-9]*) echo "bench.sh: $1 needs a positive whole number, got '$2'" >&2; exit 2 ;; esac
  [ "$2" -ge 1 ] || { echo "bench.sh: $1 needs a positive whole number, got '$2'" >&2; exit 2; }
}
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) photons=20000; full_photons=5000; repeat=1 ;;
    --photons) need_int "$1" "${2-}"; photons="$2"; shift ;;
    --full-photons) need_int "$1" "${2-}"; full_photons="$2"; shift ;;
    --repeat) need_int "$1" "${2-}"; repeat="$2"; shift ;;
    --build-dir) [ -n "${2-}" ] || { echo "bench.sh: --build-dir needs a folder" >&2; exit 2; }; build="$2"; shift ;;
    --no-build) build_it=0 ;;
    --keep) keep=1 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "bench.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$full_photons" ] || full_photons=$(( photons / 20 > 0 ? photons / 20 : 1 ))

# --- build ------------------------------------------------------------------
if [ "$build_it" = 1 ] && [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
targets=(--target quillet)
[ -f "$root/bench/field.pos" ] || targets+=(--target quillet-field)
if [ "$build_it" = 1 ] && ! cmake --build "$build" -j"$(nproc)" "${targets[@]}" >"$build/bench-build.log" 2>&1; then
  cat "$build/bench-build.log" >&2
  echo "bench.sh: building quillet in $build failed" >&2
  exit 1
fi
build="$(cd "$build" && pwd)"  # the runs start in their own folders
quillet="$build/quillet"
[ -x "$quillet" ] || { echo "bench.sh: no quillet program in $build" >&2; exit 1; }
build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
[ "$build_type" = Release ] || echo "bench.sh: warning: $build is a '$build_type' build, not Release"

# --- run folder: the deck with the photon count rewritten, the field --------
work="$(mktemp -d "$build/bench-run.XXXXXX")"
[ "$keep" = 1 ] || trap 'rm -rf "$work"' EXIT
if [ -f "$root/bench/field.pos" ]; then
  ln -s "$root/bench/field.pos" "$work/field.pos"
else
  echo "bench.sh: bench/field.pos missing; generating it in $work"
  QUILLET_FIELD="$build/tools/quillet-field" bash "$root/bench/make-field.sh" "$work/field.pos"
fi

# Writes the deck for N photons to stdout: record 8 (nxphot nyphot mx my) is
# the line after the ntest direction lines, one record per line; it becomes
# "N 1 mx my", the rest of the line (the comment) is dropped.
deck_for() {
  awk -v n="$1" '
    NR == 3 { ntest = $1 + 0; if (ntest < 0) { print "bench.sh: bench.deck must list its directions (ntest > 0)" > "/dev/stderr"; exit 1 } }
    NR == 3 + ntest + 1 && NR > 3 { print n, 1, $3, $4, "  8  nxphot, nyphot, mx, my (set by bench.sh)"; next }
    { print }' "$root/bench/bench.deck"
}

help_text="$("$quillet" --help 2>&1 || true)"
has_full=0; has_threads=0; has_checkpoint=0
grep -q -- '--full-scan' <<<"$help_text" && has_full=1
grep -q -- '--threads' <<<"$help_text" && has_threads=1
grep -q -- '--checkpoint-every' <<<"$help_text" && has_checkpoint=1
cores="$(nproc)"

# Runs quillet in its own folder: run NAME PHOTONS [OPTION...]. Leaves
# NAME/report and NAME/bench.dir; prints the wall seconds.
run() {
  local name="$1" n="$2"; shift 2
  local dir="$work/$name"
  mkdir -p "$dir"
  ln -sf "$(readlink -f "$work/field.pos")" "$dir/field.pos"
  deck_for "$n" >"$dir/deck"
  local t0 t1
  t0=$(date +%s.%N)
  if ! (cd "$dir" && "$quillet" "$@" <deck >report 2>stderr); then
    echo "bench.sh: quillet $* failed on $n photons:" >&2
    cat "$dir/stderr" >&2
    return 1
  fi
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
}

# The report's search counts: "searches: nslice,nseg,npot_mean" and three
# numbers; "n/a" when the engine does not print the line. The candidate mean
# falls back to the summary line "mx,my,npart,npot".
searches_of() { awk '/^searches:/ { print $(NF-2), $(NF-1), $NF; found = 1; exit } END { if (!found) print "n/a n/a n/a" }' "$1"; }
npot_of() { awk '/^mx,my,npart,npot/ { print $NF; exit }' "$1"; }

rows=()
declare -A rate
status=0
# Table row: case, photons, wall s, photons/s, searches/s, cand/search.
row() { printf '%-26s %9s %9s %12s %16s %12s\n' "$@"; }

# One case: bench_case LABEL KEY PHOTONS [OPTION...]; the fastest of $repeat
# runs counts.
bench_case() {
  local label="$1" key="$2" n="$3"; shift 3
  local best="" t i
  for ((i = 1; i <= repeat; i++)); do
    t=$(run "$key.$i" "$n" "$@") || { status=1; rows+=("$(row "$label" "$n" failed - - -)"); return; }
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best="$t"
      cp "$work/$key.$i/report" "$work/$key.report"
      cp "$work/$key.$i/bench.dir" "$work/$key.dir"
    fi
  done
  local nslice npot pps sps
  read -r nslice _ npot < <(searches_of "$work/$key.report")
  [ "$npot" != n/a ] || npot="$(npot_of "$work/$key.report")"
  [ -n "$npot" ] || npot=n/a
  pps=$(awk -v n="$n" -v t="$best" 'BEGIN { printf "%.0f", n / t }')
  sps=n/a
  [ "$nslice" = n/a ] || sps=$(awk -v n="$nslice" -v t="$best" 'BEGIN { printf "%.4g", n / t }')
  rate[$key]="$pps"
  rows+=("$(row "$label" "$n" "$best" "$pps" "$sps" "$npot")")
}

skip_row() { rows+=("$(printf '%-26s   not run: %s\n' "$1" "$2")"); }

echo "quillet throughput benchmark: bench/bench.deck on bench/field.pos"
echo "quillet: $quillet ($build_type)"
echo "machine: $cores cores, $(uptime | sed 's/.*load average/load average/')"
echo "runs per case: $repeat (fastest counts)"
echo

if [ "$has_full" = 1 ]; then
  bench_case "full scan, 1 core" full1 "$full_photons" --full-scan
else
  skip_row "full scan, 1 core" "quillet has no --full-scan option"
fi
bench_case "fast search, 1 core" fast1 "$photons"
if [ "$has_threads" = 1 ]; then
  if [ "$has_full" = 1 ]; then
    bench_case "full scan, $cores cores" fullN "$full_photons" --full-scan --threads 0
  else
    skip_row "full scan, $cores cores" "quillet has no --full-scan option"
  fi
  bench_case "fast search, $cores cores" fastN "$photons" --threads 0
else
  skip_row "full scan, $cores cores" "quillet has no --threads option"
  skip_row "fast search, $cores cores" "quillet has no --threads option"
fi

if [ "$has_checkpoint" = 1 ]; then
  bench_case "fast, 1 core, ckpt/block" ck1 "$photons" --checkpoint ck --checkpoint-every 0
  if [ "$has_threads" = 1 ]; then
    bench_case "fast, $cores cores, ckpt 60 s" ckN60 "$photons" --threads 0 --checkpoint ck
    bench_case "fast, $cores cores, ckpt/block" ckN "$photons" --threads 0 --checkpoint ck --checkpoint-every 0
  fi
fi

row case photons "wall s" photons/s "searches/s" cand/search
printf '%s\n' "${rows[@]}"
echo
echo "searches/s: slice searches (grid candidate searches) per wall second;"
echo "cand/search: mean candidates tested per slice search."
echo

ratio() { awk -v a="$1" -v b="$2" -v c="${3:-1}" 'BEGIN { printf "%.2f", a / (b * c) }'; }
if [ -n "${rate[full1]-}" ] && [ -n "${rate[fast1]-}" ]; then
  echo "speed-up of fast over full scan, 1 core: $(ratio "${rate[fast1]}" "${rate[full1]}")x"
fi
if [ -n "${rate[fullN]-}" ] && [ -n "${rate[fastN]-}" ]; then
  echo "speed-up of fast over full scan, $cores cores: $(ratio "${rate[fastN]}" "${rate[fullN]}")x"
fi
if [ -n "${rate[fast1]-}" ] && [ -n "${rate[fastN]-}" ]; then
  echo "parallel efficiency, fast search: $(ratio "${rate[fastN]}" "${rate[fast1]}" "$cores") (photons/s on $cores cores / ($cores x 1 core))"
fi
if [ -n "${rate[full1]-}" ] && [ -n "${rate[fullN]-}" ]; then
  echo "parallel efficiency, full scan: $(ratio "${rate[fullN]}" "${rate[full1]}" "$cores")"
fi

cost() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.1f %%", 100 * (b - a) / a }'; }
if [ -n "${rate[fast1]-}" ] && [ -n "${rate[ck1]-}" ]; then
  echo "checkpoint after every block, 1 core: photons/s $(cost "${rate[fast1]}" "${rate[ck1]}")"
fi
if [ -n "${rate[fastN]-}" ] && [ -n "${rate[ckN60]-}" ]; then
  echo "checkpoint every 60 s, $cores cores: photons/s $(cost "${rate[fastN]}" "${rate[ckN60]}")"
fi
if [ -n "${rate[fastN]-}" ] && [ -n "${rate[ckN]-}" ]; then
  echo "checkpoint after every block, $cores cores: photons/s $(cost "${rate[fastN]}" "${rate[ckN]}")"
fi
for k in ck1 ckN; do
  for f in "$work/$k".*/ck; do
    [ -f "$f" ] && { echo "checkpoint size ($k): $(wc -c <"$f") bytes"; break; }
  done
done

# --- the two searches must give the same results ------------------------------
# The direction file less its CPU-time record (second last) and the candidate
# mean (second value of the sixth record from the end), and the report's I/F
# lines. The fast search runs again at the full-scan photon count for this.
dir_body() {
  awk '{ line[NR] = $0 } END {
    for (i = 1; i <= NR; i++) {
      if (i == NR - 1) continue
      if (i == NR - 5) { $0 = line[i]; $2 = "*"; print; continue }
      print line[i] } }' "$1"
}
compare() {
  local what="$1" a="$2" b="$3"
  if [ ! -f "$work/$a.report" ] || [ ! -f "$work/$b.report" ]; then return; fi
  local same=1
  if ! cmp -s <(grep '^I/F:' "$work/$a.report") <(grep '^I/F:' "$work/$b.report"); then
    same=0; echo "MISMATCH ($what): the reports' I/F lines differ"
    diff <(grep '^I/F:' "$work/$a.report") <(grep '^I/F:' "$work/$b.report") | head -6
  fi
  if ! cmp -s <(dir_body "$work/$a.dir") <(dir_body "$work/$b.dir"); then
    same=0; echo "MISMATCH ($what): the direction files differ (CPU time and candidate mean left out)"
  fi
  local ma mb
  ma="$(npot_of "$work/$a.report")"; mb="$(npot_of "$work/$b.report")"
  if [ "$same" = 1 ]; then
    echo "check ($what): I/F lines and direction file identical; candidate mean $ma / $mb"
  else
    status=1
  fi
}
if [ -f "$work/full1.report" ]; then
  t=$(run check1 "$full_photons") && { cp "$work/check1/report" "$work/check1.report"; cp "$work/check1/bench.dir" "$work/check1.dir"; compare "full scan vs fast, 1 core, $full_photons photons" full1 check1; } || status=1
fi
if [ -f "$work/fullN.report" ]; then
  t=$(run checkN "$full_photons" --threads 0) && { cp "$work/checkN/report" "$work/checkN.report"; cp "$work/checkN/bench.dir" "$work/checkN.dir"; compare "full scan vs fast, $cores cores, $full_photons photons" fullN checkN; } || status=1
fi
if [ ! -f "$work/full1.report" ] && [ ! -f "$work/fullN.report" ]; then
  echo "check (full scan vs fast): not run: no full-scan case ran"
fi
[ "$keep" = 1 ] && echo "runs kept in $work"
exit "$status"
