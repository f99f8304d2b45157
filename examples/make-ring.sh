#!/usr/bin/env bash
# Regenerates the example particle field examples/ring.pos: 3119 spheres of
# radius 1 in a cell of half-widths 70 by 70 with a shear of 20 between cell
# columns, optical depth 0.5, volume filling factor 0.07 (a slab about 9.5
# radii thick), seed 2024. The same command always writes the same file, byte
# for byte.
#
#   examples/make-ring.sh [OUTPUT]      (default OUTPUT: examples/ring.pos)
#
# The generator is taken from $QUILLET_FIELD, else build/tools/quillet-field,
# which is built first when it is missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/examples/ring.pos}"
field="${QUILLET_FIELD:-$root/build/tools/quillet-field}"
if [ ! -x "$field" ]; then
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build" -j"$(nproc)" --target quillet-field
fi
"$field" --title "quillet example ring field" \
  --xl 70 --yl 70 --sy 20 \
  --radius 1 --tau 0.5 --filling 0.07 \
  --seed 2024 -o "$out"
