#!/usr/bin/env bash
# Builds quillet and runs the shipped example deck; results land in examples/out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quillet
mkdir -p examples/out
cd examples
../build/quillet < example.deck | tee out/example.report
