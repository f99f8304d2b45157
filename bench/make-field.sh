#!/usr/bin/env bash
# Regenerates the benchmark particle field bench/field.pos: 10^4 spheres of
# radius 1 in a square cell of half-widths 125.3314 (4 xl yl = 10^4 pi / 0.5,
# so optical depth 0.5 is exactly 10000 particles), shear 41.7 between cell
# columns (about a third of yl, not a simple fraction of it), volume filling
# factor 0.1 (a slab about 6.7 radii thick), seed 2025. The same command
# always writes the same file, byte for byte.
#
#   bench/make-field.sh [OUTPUT]      (default OUTPUT: bench/field.pos)
#
# The generator is taken from $QUILLET_FIELD, else build/tools/quillet-field,
# which is built first when it is missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/bench/field.pos}"
field="${QUILLET_FIELD:-$root/build/tools/quillet-field}"
if [ ! -x "$field" ]; then
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build" -j"$(nproc)" --target quillet-field
fi
"$field" --title "quillet benchmark field" \
  --xl 125.3314 --yl 125.3314 --sy 41.7 \
  --radius 1 --tau 0.5 --filling 0.1 \
  --seed 2025 -o "$out"
