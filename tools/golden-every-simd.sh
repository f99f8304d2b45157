#!/usr/bin/env bash
# The golden result files on every instruction set the ray searches run on
# here (quillet --version lists them), one at a time through QUILLET_SIMD:
# each must give the approved files byte for byte, serially and threaded.
#
#   tools/golden-every-simd.sh [--binary QUILLET] [--skip-default] [DECK...]
#
#   --binary FILE    the quillet program (default build/quillet)
#   --skip-default   leave out the processor's default, which the plain
#                    golden check (tools/approve-golden.sh --check) covers
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
binary="$root/build/quillet"
skip_default=0
decks=()
while [ $# -gt 0 ]; do
  case "$1" in
    --binary) [ -n "${2-}" ] || { echo "golden-every-simd.sh: --binary needs a file" >&2; exit 2; }; binary="$2"; shift ;;
    --skip-default) skip_default=1 ;;
    -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    -*) echo "golden-every-simd.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
    *) decks+=("$1") ;;
  esac
  shift
done
[ -x "$binary" ] || { echo "golden-every-simd.sh: no quillet program at $binary" >&2; exit 2; }
line="$(env -u QUILLET_SIMD "$binary" --version | sed -n 's/^ray searches: \([^ ]*\) (this processor runs: \(.*\))$/\1 \2/p')"
[ -n "$line" ] || { echo "golden-every-simd.sh: $binary --version names no instruction sets" >&2; exit 2; }
read -r default targets <<<"$line"
status=0
for t in $targets; do
  [ "$skip_default" -eq 1 ] && [ "$t" = "$default" ] && continue
  echo "golden: instruction set $t"
  QUILLET_SIMD="$t" bash "$root/tools/approve-golden.sh" --check --binary "$binary" ${decks[@]+"${decks[@]}"} || status=1
done
exit $status
