#!/usr/bin/env bash
# Builds quillet and quillet-field, runs the shipped example deck and the example studies, and
# draws their pictures; everything lands in examples/out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quillet quillet-field
mkdir -p examples/out
(cd examples && ../build/quillet < example.deck | tee out/example.report)
/usr/bin/python3 tools/quillet-plot examples/out/example.dir examples/out/example.esc \
    examples/out/example.hist examples/out/example.TESTIMAGE examples/ring.pos -o examples/out
QUILLET_BINARY="$PWD/build/quillet" /usr/bin/python3 tools/quillet-study examples/study.toml \
    -o examples/out/study.nc --jobs 2
/usr/bin/python3 tools/quillet-plot examples/out/study.nc -o examples/out
# The studies of docs/figures.md: opposition and tilt effects (paired Sun and
# observer elevations), and an observation table on three fields.
for study in opposition tilt observation-table; do
    QUILLET_BINARY="$PWD/build/quillet" /usr/bin/python3 tools/quillet-study \
        examples/"$study".toml -o examples/out/"$study".nc --jobs 2
done
/usr/bin/python3 tools/quillet-plot --log-phase examples/out/opposition.nc \
    examples/out/observation-table.nc -o examples/out
/usr/bin/python3 tools/quillet-plot --x bsun examples/out/tilt.nc -o examples/out
/usr/bin/python3 tools/quillet-plot --deck examples/example.deck examples/out/example.hist -o examples/out
