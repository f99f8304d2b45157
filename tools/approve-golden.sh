#!/usr/bin/env bash
# Golden result files: runs every deck of tests/golden/decks serially and on
# 1, 2 and 3 threads (decks named *-serial only serially) and compares the report, standard error and every file
# the run writes, byte for byte, with the approved copies in
# tests/golden/expected/DECK/serial and .../threads (the threaded results do
# not depend on the number of threads, so the three threaded runs share one
# copy). The measured CPU time is left out of the comparison: the `cpu
# cpu_comp` record (the last but one) of the escape, histogram and direction
# files, the report's "cpu, cpu_comp" line, the CPU time at the end of its
# "SATURN:" line and its two date lines.
#
#   tools/approve-golden.sh [--check] [--binary QUILLET] [DECK...]
#
#   --check          compare with the approved files (what the test suite runs);
#                    without it the approved files are replaced by this build's
#   --binary FILE    the quillet program (default build/quillet)
#   DECK             only these decks (names without .deck)
#
# Re-approve only when a result is meant to change (a deliberate change of the
# physics, of a draw or of a file layout): run without --check, look at
# `git diff --stat tests/golden/expected` and say in the commit why the
# results moved. Histogram files are stored gzip-compressed (-n: no name or
# time in the archive, so the same file gives the same bytes).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
golden="$root/tests/golden"
binary="$root/build/quillet"
check=0
decks=()
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check=1 ;;
    --binary) [ -n "${2-}" ] || { echo "approve-golden.sh: --binary needs a file" >&2; exit 2; }; binary="$2"; shift ;;
    -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    -*) echo "approve-golden.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
    *) decks+=("$1") ;;
  esac
  shift
done
[ -x "$binary" ] || { echo "approve-golden.sh: no quillet program at $binary" >&2; exit 2; }
binary="$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")"
if [ ${#decks[@]} -eq 0 ]; then
  for d in "$golden"/decks/*.deck; do decks+=("$(basename "$d" .deck)"); done
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/quillet-golden.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# The run's files less the CPU time, into folder $2 (from run folder $1).
strip_run() {
  local from="$1" to="$2" f name
  mkdir -p "$to"
  grep -v -e '^cpu, cpu_comp ' -e '^ [0-9][0-9][0-9][0-9]-[ 0-9][0-9]-[ 0-9][0-9]  ' "$from/report" |
    sed -e 's/^\(SATURN: fii,flux,nphot,cpu .*\) [^ ]*$/\1/' >"$to/report"
  cp "$from/stderr" "$to/stderr"
  for f in "$from"/*; do
    name="$(basename "$f")"
    case "$name" in report | stderr | deck) continue ;; esac
    [ -e "$golden/inputs/$name" ] && continue
    case "$name" in
      *.esc | *.hist | *.dir)
        # The last but one record holds cpu and cpu_comp, and nothing else.
        local n
        n=$(wc -l <"$f")
        if [ "$(sed -n "$((n - 1))p" "$f" | wc -w)" != 2 ]; then
          echo "approve-golden.sh: $name: the last but one record is not 'cpu cpu_comp'" >&2
          return 1
        fi
        sed "$((n - 1))d" "$f" >"$to/$name" ;;
      *) cp "$f" "$to/$name" ;;
    esac
    case "$name" in *.hist) gzip -9n "$to/$name" ;; esac
  done
}

# Compares folder $1 (this run) with the approved folder $2; prints what differs.
same_run() {
  local got="$1" want="$2" label="$3" ok=0 f name
  [ -d "$want" ] || { echo "FAIL $label: no approved files ($want)"; return 1; }
  for f in "$want"/* "$got"/*; do
    name="$(basename "$f")"
    if [ ! -e "$got/$name" ]; then echo "FAIL $label: $name not written"; ok=1; continue; fi
    if [ ! -e "$want/$name" ]; then echo "FAIL $label: $name written but not approved"; ok=1; continue; fi
    [ "$f" = "$got/$name" ] && continue
    local a="$want/$name" b="$got/$name"
    case "$name" in
      *.gz) if ! cmp -s <(gzip -dc "$a") <(gzip -dc "$b"); then echo "FAIL $label: $name differs"; ok=1; fi ;;
      *) if ! cmp -s "$a" "$b"; then
           echo "FAIL $label: $name differs:"
           diff "$a" "$b" | head -6 | cut -c1-200
           ok=1
         fi ;;
    esac
  done
  return $ok
}

# Progress lines (standard error not a terminal) carry rates and times: a
# quillet that writes them runs with --quiet, so that standard error holds
# only what the run must say.
quiet=()
"$binary" --help 2>/dev/null | grep -q -- '--quiet' && quiet=(--quiet)

failed=0
runs=0
start=$(date +%s)
for deck in "${decks[@]}"; do
  [ -f "$golden/decks/$deck.deck" ] || { echo "approve-golden.sh: no deck $golden/decks/$deck.deck" >&2; exit 2; }
  modes=(serial 1 2 3)
  # Per-photon traces (icheck >= 1) are written by the serial run only.
  case "$deck" in *-serial) modes=(serial) ;; esac
  for mode in "${modes[@]}"; do
    dir="$work/$deck.$mode"
    mkdir -p "$dir"
    cp "$golden"/inputs/* "$dir/"
    opts=("${quiet[@]}")
    [ "$mode" = serial ] || opts+=(--threads "$mode")
    rc=0
    (cd "$dir" && "$binary" "${opts[@]}" <"$golden/decks/$deck.deck" >report 2>stderr) || rc=$?
    runs=$((runs + 1))
    if [ $rc -ne 0 ]; then
      echo "FAIL $deck ($mode): quillet exited with status $rc:"
      head -5 "$dir/stderr"
      failed=1
      continue
    fi
    kind=threads
    [ "$mode" = serial ] && kind=serial
    strip_run "$dir" "$work/got/$deck.$mode"
    want="$golden/expected/$deck/$kind"
    if [ $check = 1 ]; then
      same_run "$work/got/$deck.$mode" "$want" "$deck ($mode)" || failed=1
    elif [ "$mode" = serial ] || [ "$mode" = 1 ]; then
      rm -rf "$want"
      mkdir -p "$want"
      cp "$work/got/$deck.$mode"/* "$want/"
    else
      # Approving: the threaded runs must agree with each other before
      # their copy is stored.
      same_run "$work/got/$deck.$mode" "$want" "$deck ($mode threads against 1 thread)" || failed=1
    fi
  done
done
secs=$(( $(date +%s) - start ))
if [ $failed = 0 ]; then
  if [ $check = 1 ]; then echo "golden: $runs runs of ${#decks[@]} decks agree with the approved files ($secs s)"
  else echo "golden: approved the files of $runs runs of ${#decks[@]} decks in tests/golden/expected ($secs s)"; fi
else
  echo "golden: some runs differ from the approved files (see FAIL lines above)"
  exit 1
fi
