#!/usr/bin/env bash
# Makes the seed corpus of the state-file target, fuzz/corpus/state_file/:
# real state files of the small run in fuzz/state_run/ (1001 photons, two
# directions, escape file and a 4 x 3 test image), written by the
# quillet program and stamped with the version "fuzz" that the target runs as.
#
#   fuzz/make-state-seeds.sh [QUILLET_BINARY]     (default build/quillet)
#
# checkpoint-serial    the serial run's checkpoint after 1000 photons
# checkpoint-threaded  the threaded run's checkpoint after block 1 of 2
# partial-1-of-1       the whole run as one part (both blocks)
# partial-2-of-2       the second of two parts (its one photon)
#
# A finished run removes its checkpoint; here the escape file cannot be
# written (a folder holds its name), so the run fails after its last
# checkpoint and keeps it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-$root/build/quillet}")"
run="$root/fuzz/state_run"
out="$root/fuzz/corpus/state_file"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/quillet-seeds-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
cp "$run/fz.pos" .
mkdir fz.esc

kept_checkpoint() {  # NAME OPTIONS...
  local name="$1"
  shift
  if "$binary" --quiet "$@" --checkpoint "$name" --checkpoint-every 0 <"$run/fz.deck" >/dev/null 2>err; then
    echo "make-state-seeds: the run that should fail at its escape file ended well" >&2
    exit 1
  fi
  grep -q "fz.esc" err || { cat err >&2; exit 1; }
}
kept_checkpoint checkpoint-serial
kept_checkpoint checkpoint-threaded --threads 1
"$binary" --quiet --threads 1 --part 1/1 --partial partial-1-of-1 <"$run/fz.deck" >/dev/null
"$binary" --quiet --threads 1 --part 2/2 --partial partial-2-of-2 <"$run/fz.deck" >/dev/null

mkdir -p "$out"
/usr/bin/python3 - "$out" checkpoint-serial checkpoint-threaded partial-1-of-1 partial-2-of-2 <<'PY'
# The version text after the magic, the total length and the layout version
# replaced by "fuzz"; the total length and the checksum made anew.
import hashlib, struct, sys
out = sys.argv[1]
for name in sys.argv[2:]:
    data = open(name, "rb").read()
    (n,) = struct.unpack_from("<I", data, 20)
    version = b"fuzz"
    body = data[:20] + struct.pack("<I", len(version)) + version + data[24 + n:-32]
    body = body[:8] + struct.pack("<Q", len(body) + 32) + body[16:]
    open(f"{out}/{name}", "wb").write(body + hashlib.sha256(body).digest())
PY
ls -l "$out"
