// Time per voxel of the sweep on random data. Each benchmark re-checks its
// last result against a fresh run of the plain sweep after timing, so a fast
// but wrong path cannot report a figure.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/update_sweep.h"
#include "tests/sweep_problem.h"

namespace {

using quillmere::VolumeDims;
using quillmere::testing::SweepProblem;

using SweepFn = void (*)(quillmere::MutableVolumeView, const quillmere::TensorField&,
                         const quillmere::GradientStencils&, const quillmere::HessianStencils&,
                         float, VolumeDims);

const SweepProblem& problemFor(VolumeDims d) {
  static std::vector<std::unique_ptr<SweepProblem>> cache;
  for (const auto& p : cache)
    if (p->dims.n1 == d.n1 && p->dims.n2 == d.n2 && p->dims.n3 == d.n3) return *p;
  auto p = std::make_unique<SweepProblem>(d);
  std::mt19937 rng(2024u);
  quillmere::testing::fillRandom(*p, rng);
  cache.push_back(std::move(p));
  return *cache.back();
}

void runSweep(benchmark::State& state, SweepFn sweep, VolumeDims d) {
  const SweepProblem& p = problemFor(d);
  std::vector<float> out(p.u.size());
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(out.data(), p.u.data(), out.size() * sizeof(float));
    state.ResumeTiming();
    sweep({out.data(), d}, p.tensor(), p.gradient(), p.hessian(), p.dt, d);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  const double voxels = static_cast<double>(p.u.size());
  state.counters["ns_per_voxel"] = benchmark::Counter(
      voxels * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  if (out != p.stepPlain()) state.SkipWithError("result differs from the plain sweep");
}

void registerSweep(const char* name, SweepFn sweep) {
  for (VolumeDims d : {VolumeDims{64, 64, 64}, VolumeDims{128, 128, 128}}) {
    char label[96];
    std::snprintf(label, sizeof label, "%s/%dx%dx%d", name, d.n1, d.n2, d.n3);
    benchmark::RegisterBenchmark(label, runSweep, sweep, d)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(1.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  registerSweep("plain", quillmere::updateVolumePlain);
  registerSweep("updateVolume", quillmere::updateVolume);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
