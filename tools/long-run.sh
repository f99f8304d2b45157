#!/usr/bin/env bash
# Long-run check, outside the normal test suite: the example field with 10^6
# photons (the most a run launches) under AddressSanitizer and
# UndefinedBehaviorSanitizer must finish clean, with status 0, nothing on
# standard error and every result file written.
#
#   tools/long-run.sh            build in build-asan/ (as tools/test.sh does)
#   BUILD=dir tools/long-run.sh  build in another folder
#
# Takes a few minutes on one core; the run's report is kept in
# <build>/long-run/report for a look afterwards.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$root/build-asan}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON -DQUILLET_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target quillet >/dev/null

work="$build/long-run"
rm -rf "$work"
mkdir -p "$work/out"
cp "$root/examples/ring.pos" "$work/"
# The example deck with a 1000 x 1000 photon grid.
sed 's/^200 200 20 20 /1000 1000 20 20/' "$root/examples/example.deck" >"$work/long.deck"
grep -q '^1000 1000 20 20 ' "$work/long.deck" || { echo "long-run: the example deck's photon grid has changed" >&2; exit 1; }

echo "long-run: 10^6 photons on the example field under ASan and UBSan ($build)"
start=$(date +%s)
status=0
(cd "$work" &&
  ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  "$build/quillet" <long.deck >report 2>errors) || status=$?
seconds=$(( $(date +%s) - start ))

fail=0
if [ "$status" -ne 0 ]; then echo "long-run: exit status $status" >&2; fail=1; fi
if [ -s "$work/errors" ]; then echo "long-run: standard error was not empty:" >&2; head -n 40 "$work/errors" >&2; fail=1; fi
for f in example.esc example.hist example.dir example.TESTIMAGE; do
  [ -s "$work/out/$f" ] || { echo "long-run: result file out/$f missing" >&2; fail=1; }
done
if ls "$work/out" | grep -q '\.part'; then echo "long-run: temporary files left in out/" >&2; fail=1; fi
grep -q '^NORI,TAU' "$work/report" || { echo "long-run: the report has no closing summary" >&2; fail=1; }
[ "$fail" -eq 0 ] || exit 1
echo "long-run: clean, $seconds s"
