#!/usr/bin/env bash
# Builds the sweep benchmark with g++ alone (no CMake, no CTest) and runs it:
# every path this processor supports and the plain sweep, in one run, with a
# closing table of ns per voxel and speed-ups. Extra arguments go to Google
# Benchmark, e.g. --benchmark_filter=128x128x128.
# The flags mirror core/CMakeLists.txt: baseline x86-64 everywhere, ISA flags
# on the per-ISA kernel files only, no contraction into FMA.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${QUILLMERE_BENCH_DIR:-${TMPDIR:-/tmp}/quillmere-bench}
mkdir -p "$out"
common=(-std=c++17 -O2 -g -ffp-contract=off -fno-fast-math -DNDEBUG -I"$root")
build() {  # source, extra flags...
  local src=$1
  shift
  g++ "${common[@]}" "$@" -c "$root/$src" -o "$out/$(basename "$src" .cpp).o"
}
build core/stencil_sums.cpp
build core/update_sweep.cpp
build core/sweep_dispatch.cpp
build core/threaded_sweep.cpp
build core/float_environment.cpp
build core/sweep_kernel_baseline.cpp -mno-fma
build core/sweep_kernel_avx2.cpp -mavx2 -mno-fma
build core/sweep_kernel_avx512.cpp -mavx512f -mno-fma
g++ "${common[@]}" "$root/bench/bench_sweep.cpp" "$out"/*.o -lbenchmark -lpthread \
  -o "$out/bench_sweep"
exec "$out/bench_sweep" --benchmark_enable_random_interleaving=true "$@"
