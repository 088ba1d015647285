// The threaded sweep against the single-thread fast sweep, in one run:
//
//   fast       updateVolume (one thread, the fastest path)
//   wave2      the wavefront on exactly 2 threads, whatever the size
//   threaded2  updateVolumeThreaded allowed 2 threads (small volumes stay on
//              one: the threshold in core/threaded_sweep.cpp)
//
// at the users' volumes (128^3, 256x256x64) and at small and flat ones that
// place the one-thread threshold. Each result is checked against the plain
// sweep after timing; the closing table gives ms per sweep and the speed-up
// of the 2-thread runs over `fast`, from the fastest of the repetitions.
//
//   build/linux/bench/bench_threads --benchmark_enable_random_interleaving=true
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "core/sweep_kernels.h"
#include "core/threaded_sweep.h"
#include "core/update_sweep.h"

namespace {

using quillmere::VolumeDims;
using quillmere::bench::Case;

enum class Runner { Fast, Wave1, Wave2, Threaded2 };
const char* const kRunnerNames[] = {"fast", "wave1", "wave2", "threaded2"};

void runSweep(benchmark::State& state, Runner runner, VolumeDims d) {
  Case& c = quillmere::bench::caseFor(d);
  const quillmere::testing::SweepProblem& p = *c.problem;
  std::vector<float> out(p.u.size());
  const quillmere::sweep::SweepKernels kernels =
      quillmere::sweep::sweepKernelsFor(quillmere::SweepPath::Automatic);
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(out.data(), p.u.data(), out.size() * sizeof(float));
    state.ResumeTiming();
    const quillmere::MutableVolumeView view{out.data(), d};
    switch (runner) {
      case Runner::Fast:
        quillmere::updateVolume(view, p.tensor(), p.gradient(), p.hessian(), p.dt, d);
        break;
      case Runner::Wave1:
      case Runner::Wave2: {
        const auto context = quillmere::sweep::makeSweepContext(view, p.tensor(), p.gradient(),
                                                                p.hessian(), p.dt, d);
        quillmere::sweep::runWavefront(kernels, context, runner == Runner::Wave1 ? 1 : 2, 0);
        break;
      }
      case Runner::Threaded2:
        quillmere::updateVolumeThreaded(view, p.tensor(), p.gradient(), p.hessian(), p.dt, d, 2);
        break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  quillmere::bench::checkAgainstPlain(state, c, out);
}

}  // namespace

int main(int argc, char** argv) {
  const VolumeDims shapes[] = {
      {128, 128, 128}, {256, 256, 64},                               // the targets
      {16, 16, 16},    {24, 24, 24},   {32, 32, 32},  {48, 48, 48},  // where threads
      {64, 64, 64},    {128, 128, 4},  {256, 256, 2}, {64, 64, 8},   // start to pay
  };
  std::vector<std::string> shapeNames;
  for (VolumeDims d : shapes) {
    shapeNames.push_back(quillmere::bench::shapeName(d));
    for (Runner runner : {Runner::Fast, Runner::Wave1, Runner::Wave2, Runner::Threaded2})
      quillmere::bench::registerFastestOfFive(
          std::string(kRunnerNames[static_cast<int>(runner)]) + "/" + shapeNames.back(), runSweep,
          runner, d);
  }
  std::printf("path: %s, hardware threads: %u\n",
              quillmere::sweepPathName(quillmere::selectedSweepPath()),
              std::thread::hardware_concurrency());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quillmere::bench::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printSummary("ms per sweep", shapeNames,
                        std::vector<std::string>(std::begin(kRunnerNames), std::end(kRunnerNames)),
                        "fast", 3);
  benchmark::Shutdown();
  return 0;
}
