// Time per voxel of every sweep path this processor can run, the plain sweep
// included, in one run: the cubes and slabs users step, and awkward shapes
// (extents 1, 2, 3 along an axis, flat and long thin volumes) that give the
// vector sweep few rows to put side by side. Each path's result is checked
// against the plain sweep after timing, so a fast but wrong path cannot
// report a figure. A summary of ns per voxel and speed-up over the plain
// sweep closes the run.
//
//   build/linux/bench/bench_sweep --benchmark_enable_random_interleaving=true
//   build/linux/bench/bench_sweep --benchmark_filter=128x128x128
//
// Paths that cannot fill their vectors on a shape (rows of at most 4
// voxels, thin columns) run the plain sweep there, as updateVolume does, so
// their figures on those shapes are the plain sweep's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "core/update_sweep.h"

namespace {

using quillmere::SweepPath;
using quillmere::VolumeDims;
using quillmere::bench::Case;

void runSweep(benchmark::State& state, SweepPath path, VolumeDims d) {
  Case& c = quillmere::bench::caseFor(d);
  const quillmere::testing::SweepProblem& p = *c.problem;
  std::vector<float> out(p.u.size());
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(out.data(), p.u.data(), out.size() * sizeof(float));
    state.ResumeTiming();
    quillmere::updateVolumeOnPath(path, {out.data(), d}, p.tensor(), p.gradient(), p.hessian(),
                                  p.dt, d);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  const double voxels = static_cast<double>(p.u.size());
  state.counters["ns_per_voxel"] = benchmark::Counter(
      voxels * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  if (path == SweepPath::Plain) {
    if (c.plainResult.empty()) c.plainResult = out;
    return;
  }
  quillmere::bench::checkAgainstPlain(state, c, out);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<SweepPath> paths;
  for (SweepPath p : {SweepPath::Plain, SweepPath::Baseline, SweepPath::Avx2, SweepPath::Avx512})
    if (quillmere::sweepPathSupported(p)) paths.push_back(p);

  const VolumeDims shapes[] = {
      {64, 64, 64},  {128, 128, 128}, {256, 256, 64},  // users' volumes
      {1, 128, 128}, {2, 128, 128},   {3, 128, 128},  {128, 1, 128}, {128, 2, 128},  // thin along
      {128, 3, 128}, {128, 128, 1},   {128, 128, 2},  {128, 128, 3},                 // one axis
      {256, 256, 1}, {4096, 1, 1},    {1, 4096, 1},   {1, 1, 4096},  {2, 2, 1024},   // flat, long
  };
  std::vector<std::string> names, shapeNames;
  for (VolumeDims d : shapes) shapeNames.push_back(quillmere::bench::shapeName(d));
  for (SweepPath path : paths) {
    names.push_back(quillmere::sweepPathName(path));
    for (VolumeDims d : shapes)
      quillmere::bench::registerFastestOfFive(names.back() + "/" + quillmere::bench::shapeName(d),
                                              runSweep, path, d);
  }
  std::printf("automatic path on this processor: %s\n",
              quillmere::sweepPathName(quillmere::selectedSweepPath()));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quillmere::bench::SummaryReporter reporter("ns_per_voxel");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printSummary("ns per voxel", shapeNames, names, "plain", 1);
  benchmark::Shutdown();
  return 0;
}
