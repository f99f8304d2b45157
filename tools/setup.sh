#!/usr/bin/env bash
# Installs what quillet's build, tests and plots need from Debian's packages,
# once: packages already present are left alone.
set -euo pipefail
# clang and its runtime libraries (libFuzzer, the sanitizers) build the fuzz
# targets of tools/fuzz.sh; Open MPI builds and runs the distributed program;
# Highway gives the ray searches portable SIMD with run-time dispatch; xarray,
# netCDF4, astropy and tqdm serve the Python studies (datasets, FITS maps,
# progress over runs); ccache keeps the objects of earlier builds of the same
# sources (tools/test.sh builds four times); pybind11 and the Python headers
# build the module quillet._engine (runs in the interpreter); HDF5's C library
# and h5py read and write the HDF5 form of the particle files.
need=(g++ cmake make ccache libgtest-dev libbenchmark-dev python3-numpy python3-matplotlib python3-pytest clang
      libclang-rt-14-dev libopenmpi-dev openmpi-bin libhwy-dev
      python3-xarray python3-netcdf4 python3-astropy python3-tqdm
      pybind11-dev python3-pybind11 python3-dev libhdf5-dev python3-h5py)
missing=()
for p in "${need[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# Optional: Intel Embree 3 (libembree-dev) builds bench/bench_embree, which
# times quillet's searches against Embree's on the same rays; the build and
# the tests do without it, so a system without the package only warns.
if ! dpkg -s libembree-dev >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libembree-dev >/dev/null; } ||
    echo "setup.sh: libembree-dev not installed: bench_embree will not be built" >&2
fi
