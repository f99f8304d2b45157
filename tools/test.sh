#!/usr/bin/env bash
# Builds quillet twice and runs the whole test suite on each build:
#   build/       optimised (Release), every test including the long physics runs;
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer, every test but
#                those labelled "long", "physics" (the whole-run comparisons,
#                which test physics, not memory), "python", "golden" (the
#                golden result files, compared on the optimised build) and
#                "structure" (the kernel's objects, read from the optimised
#                library);
#   build-mpi/   the program for distributed runs (Open MPI), checked on two and
#                three processes against the one-process threaded run;
# then fuzzes the readers (tools/fuzz.sh: clang, libFuzzer, both sanitizers, in
# build-fuzz/): stored inputs replayed, then $FUZZ_SECONDS (15) s per target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
jobs=$(nproc)
# Objects of sources compiled before, in any checkout, come from ccache's
# store (paths under the checkout are hashed relative to it).
launch=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$PWD"
  launch=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${launch[@]}" >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON -DQUILLET_BENCH=OFF "${launch[@]}" >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" -LE "long|physics|python|golden|structure")

cmake -S . -B build-mpi -DCMAKE_BUILD_TYPE=Release -DQUILLET_MPI=ON -DQUILLET_TESTS=ON -DQUILLET_BENCH=OFF "${launch[@]}" >/dev/null
cmake --build build-mpi -j"$jobs" --target quillet
(cd build-mpi && ctest --output-on-failure -L mpi)

bash tools/fuzz.sh "${FUZZ_SECONDS:-15}"
