#!/usr/bin/env bash
# Builds quillet, runs the shipped example deck and the example study, and
# draws their pictures; everything lands in examples/out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quillet
mkdir -p examples/out
(cd examples && ../build/quillet < example.deck | tee out/example.report)
/usr/bin/python3 tools/quillet-plot examples/out/example.dir examples/out/example.esc \
    examples/out/example.hist examples/out/example.TESTIMAGE examples/ring.pos -o examples/out
QUILLET_BINARY="$PWD/build/quillet" /usr/bin/python3 tools/quillet-study examples/study.toml \
    -o examples/out/study.nc --jobs 2
/usr/bin/python3 tools/quillet-plot examples/out/study.nc -o examples/out
