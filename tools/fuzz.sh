#!/usr/bin/env bash
# Fuzzes quillet's readers with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer: the parameter deck, the Particle position and
# haze files (text and HDF5 forms), the engine parameter file, the
# phase-function tables, and the checkpoint and partial file (decoded and
# restored into a small run).
#
#   tools/fuzz.sh [SECONDS]      seconds per target (default 45, or $FUZZ_SECONDS)
#   tools/fuzz.sh 0              only build and replay the seeds and regressions
#
# Builds the targets in build-fuzz/ with clang (fuzz/CMakeLists.txt), replays
# every input of fuzz/regressions/<target>/ and fuzz/corpus/<target>/ once,
# then fuzzes each target for SECONDS starting from its seed corpus. Any crash,
# hang (-timeout), sanitizer report or target check stops the script with a
# failure; the input is kept under build-fuzz/artifacts/<target>/ and belongs,
# once the fault is fixed, in fuzz/regressions/<target>/. New corpus entries
# stay in a scratch folder: the seed corpus in the repository changes only by
# hand. The last lines give executions per second and in total per target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-${FUZZ_SECONDS:-45}}"
build="$root/build-fuzz"
targets=(deck particles particles_hdf5 engine_parameters phase_table state_file)

# The state files of the seed run are 0.6 to 16 kB, the HDF5 particle files
# of fuzz/make-hdf5-seeds.py 6 to 9 kB.
declare -A max_len=([deck]=8192 [particles]=8192 [particles_hdf5]=12288 [engine_parameters]=512 [phase_table]=8192
                    [state_file]=40000)

launch=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$root"
  launch=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ "${launch[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

# The targets write their input files into the current folder.
scratch="$(mktemp -d "${TMPDIR:-/tmp}/quillet-fuzz-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
summary=()

for t in "${targets[@]}"; do
  bin="$build/fuzz_$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$artifacts" "$scratch/corpus-$t"
  # Every input that once failed, and every seed, run once.
  replay=()
  for dir in "$root/fuzz/regressions/$t" "$root/fuzz/corpus/$t"; do
    [ -d "$dir" ] || continue
    while IFS= read -r -d '' f; do replay+=("$f"); done < <(find "$dir" -type f -print0 | sort -z)
  done
  if ((${#replay[@]})); then
    echo "== $t: replaying ${#replay[@]} inputs"
    "$bin" -runs=1 "${replay[@]}" >"$scratch/replay-$t.log" 2>&1 || {
      cat "$scratch/replay-$t.log"
      echo "fuzz: $t fails on a stored input (see above)" >&2
      exit 1
    }
  fi
  if [ "$seconds" = 0 ]; then continue; fi
  echo "== $t: fuzzing for $seconds s"
  log="$scratch/fuzz-$t.log"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="${max_len[$t]}" \
      -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$scratch/corpus-$t" "$root/fuzz/corpus/$t" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $t failed; the input is in $artifacts/ (keep it in fuzz/regressions/$t/ once fixed)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  summary+=("$(printf '%-18s %10s executions  %8s per second  in %s s' "$t" "$runs" "$rate" "$seconds")")
done

if ((${#summary[@]})); then
  echo "== fuzz summary"
  printf '%s\n' "${summary[@]}"
fi
echo "fuzz: no fault found"
