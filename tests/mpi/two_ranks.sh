#!/usr/bin/env bash
# A distributed run on two MPI processes gives the same result files, byte
# for byte apart from the measured CPU time, as the one-process threaded run;
# a failure on the processes ends the run with one message and a non-zero
# status; a distributed run without --threads is refused.
#
#   two_ranks.sh QUILLET MPIEXEC EXAMPLES_DIR
set -euo pipefail
quillet="$1" mpiexec="$2" examples="$3"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mpirun=("$mpiexec" --oversubscribe --mca btl self,vader)

fail() { echo "FAIL: $*" >&2; exit 1; }

# The example deck, 12,000 photons (twelve blocks) written into run folder $1.
deck() {
  mkdir -p "$work/$1"
  sed -e "s#^'ring.pos'#'$examples/ring.pos'#" -e "s#'out/#'$work/$1/#" \
      -e "s#^200 200 20 20#120 100 20 20#" "$examples/example.deck" > "$work/$1/deck"
}
# A result file without its cpu record (the next-to-last line of the files
# whose first record is 7.0 or 5.0: escape, histogram and direction files).
nocpu() {
  case "$(head -n 1 "$1")" in
    7.0 | 5.0) awk -v n="$(wc -l < "$1")" 'NR != n - 1' "$1" ;;
    *) cat "$1" ;;
  esac
}
# Every result file of run folder $1 is in folder $2, the same but for the
# cpu record, and $2 has no other (the deck, report, standard error and
# checkpoints aside).
same_files() {
  local from="$1" to="$2" label="$3" f name
  for f in "$from"/* "$to"/*; do
    name="$(basename "$f")"
    case "$name" in deck | report | err | taken | state) continue ;; esac
    [ -f "$from/$name" ] || fail "$label: $name is not in the one-process run"
    [ -f "$to/$name" ] || fail "$label: $name is missing"
    cmp -s <(nocpu "$from/$name") <(nocpu "$to/$name") || fail "$label: $name differs from the one-process run"
  done
}

deck one;   "$quillet" --threads 2 < "$work/one/deck" > "$work/one/report"
grep -q "^I/F: mu0,nphot .* 12000$" "$work/one/report" || fail "the reference run launched no 12000 photons"
for run in "2 1" "2 2" "3 1"; do
  set -- $run
  name="np$1-t$2"
  deck "$name"
  "${mpirun[@]}" -np "$1" "$quillet" --threads "$2" < "$work/$name/deck" > "$work/$name/report" 2> "$work/$name/err" \
    || { cat "$work/$name/err" >&2; fail "$name: mpirun failed"; }
  # Only the first process writes: no stray temporary files.
  same_files "$work/one" "$work/$name" "$name"
  cmp -s <(grep '^I/F' "$work/one/report") <(grep '^I/F' "$work/$name/report") || fail "$name: I/F lines differ"
  echo "ok: $name matches the one-process run"
done

# The CPU time counts every process: two processes of one thread each spend
# about what one process of two threads spends (the first alone would report
# about half). 240,000 photons take a few tenths of a CPU second.
cpu_of() { awk '/^cpu, cpu_comp/ {print $3}' "$1"; }
for name in cpu1 cpu2; do
  deck "$name"
  sed -i "s#^120 100 20 20#600 400 20 20#; s#^'$work/$name/example.esc'#junk#" "$work/$name/deck"
done
"$quillet" --threads 2 < "$work/cpu1/deck" > "$work/cpu1/report"
"${mpirun[@]}" -np 2 "$quillet" --threads 1 < "$work/cpu2/deck" > "$work/cpu2/report" 2> "$work/cpu2/err" \
  || { cat "$work/cpu2/err" >&2; fail "cpu2: mpirun failed"; }
awk -v one="$(cpu_of "$work/cpu1/report")" -v two="$(cpu_of "$work/cpu2/report")" \
  'BEGIN { if (!(one > 0) || !(two > 0.75 * one)) { print "one process " one " s, two processes " two " s"; exit 1 } }' \
  || fail "the distributed run's CPU time leaves out the other process"
echo "ok: the distributed run's CPU time counts both processes"

# A particle file that does not exist: every process fails, one status.
deck missing
sed -i "1s#.*#'$work/no-such.pos'#" "$work/missing/deck"
if "${mpirun[@]}" -np 2 "$quillet" --threads 1 < "$work/missing/deck" > /dev/null 2> "$work/missing/err"; then
  fail "a missing particle file was reported as success"
fi
grep -q "quillet: .*no-such.pos" "$work/missing/err" || { cat "$work/missing/err" >&2; fail "no message names the file"; }
echo "ok: a failing distributed run ends with a message and a failure status"

# Two processes without --threads: refused.
deck serial
if "${mpirun[@]}" -np 2 "$quillet" < "$work/serial/deck" > /dev/null 2> "$work/serial/err"; then
  fail "a distributed serial run was accepted"
fi
grep -q "needs --threads" "$work/serial/err" || { cat "$work/serial/err" >&2; fail "no message asks for --threads"; }
echo "ok: a distributed run without --threads is refused"

# Checkpoints of a distributed run: the first process writes them (after
# every block here) and removes the last once the run is done; a checkpoint
# taken while it ran (a second name for the file, made as each new one is
# renamed into place), resumed on three processes or in one process, gives
# the same files. (One deck and folder for all: the checkpoint holds the
# deck's digest.)
same_as_one() {
  same_files "$work/one" "$work/ck" "$1"
  cmp -s <(grep '^I/F' "$work/one/report") <(grep '^I/F' "$work/ck/report") || fail "$1: I/F lines differ"
}
deck ck
for try in 1 2 3; do
  "${mpirun[@]}" -np 2 "$quillet" --threads 1 --checkpoint "$work/ck/state" --checkpoint-every 0 --quiet \
    < "$work/ck/deck" > "$work/ck/report" 2> "$work/ck/err" &
  run_pid=$!
  while kill -0 "$run_pid" 2> /dev/null; do
    ln -f "$work/ck/state" "$work/ck/taken" 2> /dev/null || true
    sleep 0.002
  done
  wait "$run_pid" || { cat "$work/ck/err" >&2; fail "checkpointed run failed"; }
  [ -f "$work/ck/taken" ] && break
done
[ -f "$work/ck/taken" ] || fail "the distributed run wrote no checkpoint while it ran"
[ -e "$work/ck/state" ] && fail "the finished distributed run kept its checkpoint"
ls "$work/ck" | grep -q '\.part' && fail "stray temporary files: $(ls "$work/ck")"
same_as_one "checkpointed distributed run"
rm "$work/ck"/example.*
"${mpirun[@]}" -np 3 "$quillet" --threads 2 --resume "$work/ck/taken" < "$work/ck/deck" > "$work/ck/report" \
  2> "$work/ck/err" || { cat "$work/ck/err" >&2; fail "resumed on 3 processes: failed"; }
same_as_one "resumed on 3 processes"
echo "ok: a distributed checkpoint resumed on 3 processes gives the same files"
rm "$work/ck"/example.*
"$quillet" --threads 2 --resume "$work/ck/taken" < "$work/ck/deck" > "$work/ck/report" 2> "$work/ck/err" \
  || { cat "$work/ck/err" >&2; fail "resumed in one process: failed"; }
same_as_one "resumed in one process"
echo "ok: a distributed checkpoint resumed in one process gives the same files"

# A field beyond the old fixed tables: 422,500 spheres (a jittered 650 x 650
# lattice of radius 0.4, every sphere of the first row and column with an
# edge copy) on a 450 x 450 grid, 120 observer directions, 3,000 photons
# (three blocks), on two processes against the one-process threaded run.
awk 'BEGIN {
  side = 650; xl = side / 2
  printf "lattice\n1\n0 %.17g %.17g 0\n%d\n", xl, xl, side * side
  for (i = 0; i < side; i++)
    for (j = 0; j < side; j++)
      printf "0.4 %.17g %.17g %.17g\n", -xl + 0.2 + i + 0.01 * ((i * 7 + j * 13) % 11 - 5),
             -xl + 0.2 + j + 0.01 * ((i * 5 + j * 3) % 11 - 5), 0.1 * ((i * 3 + j * 7) % 9 - 4)
}' > "$work/lattice.pos"
big_deck() {
  mkdir -p "$work/$1"
  awk -v field="$work/lattice.pos" -v out="$work/$1" '
    NR == 1 { print "'\''" field "'\''"; next }
    NR == 3 { print 120; for (a = 0; a < 120; a++) printf "%g %g\n", 20 + 25 * int(a / 40), 1000 + 4.5 * (a % 40); next }
    NR >= 4 && NR <= 8 { next }
    NR == 9 { print "30 100 450 450"; next }
    NR == 11 || NR == 12 || NR == 31 { print "junk"; next }
    NR == 13 { print "'\''" out "/big.dir'\''"; next }
    NR == 32 { print "0 0"; next }
    { print }' "$examples/example.deck" > "$work/$1/deck"
}
big_deck big-one
"$quillet" --threads 2 < "$work/big-one/deck" > "$work/big-one/report"
grep -q "^mx,my,npart,npot *450 *450 *423801 " "$work/big-one/report" \
  || { grep "^mx,my" "$work/big-one/report" >&2; fail "the large field was not read whole"; }
big_deck big-np2
"${mpirun[@]}" -np 2 "$quillet" --threads 1 < "$work/big-np2/deck" > "$work/big-np2/report" 2> "$work/big-np2/err" \
  || { cat "$work/big-np2/err" >&2; fail "big-np2: mpirun failed"; }
cmp -s <(nocpu "$work/big-one/big.dir") <(nocpu "$work/big-np2/big.dir") \
  || fail "the large field on two processes: the direction file differs from the one-process run"
cmp -s <(grep '^I/F' "$work/big-one/report") <(grep '^I/F' "$work/big-np2/report") \
  || fail "the large field on two processes: I/F lines differ"
echo "ok: a field of 422,500 particles with 120 directions on two processes matches the one-process run"
