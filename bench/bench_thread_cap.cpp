// The host's thread setting with and without the cap at the processors this
// process may use, at 128^3:
//
//   asked/N   updateVolumeThreaded given the setting N itself
//   capped/N  given threadsForHostSetting(N), which caps N at
//             processorsAvailable()
//
// for N = 1, 2, 16, 32. Waiting threads spin, so threads beyond the
// processors cost time rather than save it; on a machine with fewer than 16
// processors capped/16 and capped/32 should match capped/<processors>. Each
// result is checked against the plain sweep after timing.
//
//   build/ci/bench/bench_thread_cap --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/threaded_sweep.h"
#include "core/update_sweep.h"
#include "tests/support/sweep_problem.h"

namespace {

using quillmere::MutableVolumeView;
using quillmere::testing::SweepProblem;

struct Problem {
  SweepProblem problem{{128, 128, 128}};
  std::vector<float> plainResult;
  Problem() {
    std::mt19937 rng(2026u);
    quillmere::testing::fillRandom(problem, rng);
    plainResult = problem.stepPlain();
  }
};

const Problem& problem() {
  static const Problem p;
  return p;
}

void runThreads(benchmark::State& state, bool capped) {
  const Problem& c = problem();
  const SweepProblem& p = c.problem;
  const int setting = static_cast<int>(state.range(0));
  const int threads = capped ? quillmere::threadsForHostSetting(setting) : setting;
  std::vector<float> out(p.u.size());
  for (auto _ : state) {
    state.PauseTiming();
    out = p.u;
    state.ResumeTiming();
    quillmere::updateVolumeThreaded(MutableVolumeView{out.data(), p.dims}, p.tensor(), p.gradient(),
                                    p.hessian(), p.dt, p.dims, threads);
    benchmark::ClobberMemory();
  }
  state.counters["threads"] = quillmere::sweepThreadCount(p.dims, threads);
  if (std::memcmp(out.data(), c.plainResult.data(), out.size() * sizeof(float)) != 0) {
    state.SkipWithError("result differs from the plain sweep");
  }
}

void asked(benchmark::State& state) { runThreads(state, false); }
void capped(benchmark::State& state) { runThreads(state, true); }

BENCHMARK(asked)->Arg(1)->Arg(2)->Arg(16)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(capped)->Arg(1)->Arg(2)->Arg(16)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
