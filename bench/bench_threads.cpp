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
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/sweep_kernels.h"
#include "core/threaded_sweep.h"
#include "core/update_sweep.h"
#include "tests/sweep_problem.h"

namespace {

using quillmere::VolumeDims;
using quillmere::testing::SweepProblem;

enum class Runner { Fast, Wave1, Wave2, Threaded2 };
const char* const kRunnerNames[] = {"fast", "wave1", "wave2", "threaded2"};

struct Case {
  std::unique_ptr<SweepProblem> problem;
  std::vector<float> plainResult;
};

Case& caseFor(VolumeDims d) {
  static std::map<std::string, Case> cases;
  char key[48];
  std::snprintf(key, sizeof key, "%dx%dx%d", d.n1, d.n2, d.n3);
  Case& c = cases[key];
  if (!c.problem) {
    c.problem = std::make_unique<SweepProblem>(d);
    std::mt19937 rng(2024u);
    quillmere::testing::fillRandom(*c.problem, rng);
  }
  return c;
}

void runSweep(benchmark::State& state, Runner runner, VolumeDims d) {
  Case& c = caseFor(d);
  const SweepProblem& p = *c.problem;
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
  if (c.plainResult.empty()) c.plainResult = p.stepPlain();
  if (std::memcmp(out.data(), c.plainResult.data(), out.size() * sizeof(float)) != 0)
    state.SkipWithError("result differs from the plain sweep");
}

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const bool best = r.run_type == Run::RT_Aggregate && r.aggregate_name == "min";
      if (r.run_type == Run::RT_Aggregate && !best) continue;
      const std::string name = r.run_name.function_name;
      const std::size_t slash = name.find('/');
      auto& slot = ms_[name.substr(slash + 1)];
      const std::string runner = name.substr(0, slash);
      if (best || slot.find(runner) == slot.end()) slot[runner] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void printSummary(const std::vector<std::string>& shapes) const {
    std::printf("\nms per sweep, fastest of the repetitions (speed-up over fast)\n");
    std::printf("%-14s %10s %18s %18s %18s\n", "shape", "fast", "wave1", "wave2", "threaded2");
    for (const std::string& shape : shapes) {
      const auto row = ms_.find(shape);
      if (row == ms_.end()) continue;
      const auto fast = row->second.find("fast");
      std::printf("%-14s", shape.c_str());
      for (const char* runner : kRunnerNames) {
        const auto it = row->second.find(runner);
        if (it == row->second.end()) {
          std::printf(" %18s", "-");
        } else if (fast != row->second.end() && it != fast) {
          std::printf(" %9.3f (%5.2fx)", it->second, fast->second / it->second);
        } else {
          std::printf(" %10.3f", it->second);
        }
      }
      std::printf("\n");
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> ms_;
};

}  // namespace

int main(int argc, char** argv) {
  const VolumeDims shapes[] = {
      {128, 128, 128}, {256, 256, 64},                              // the targets
      {16, 16, 16},    {24, 24, 24},   {32, 32, 32}, {48, 48, 48},  // where threads
      {64, 64, 64},    {128, 128, 4},  {256, 256, 2}, {64, 64, 8},  // start to pay
  };
  std::vector<std::string> shapeNames;
  for (VolumeDims d : shapes) {
    char label[48];
    std::snprintf(label, sizeof label, "%dx%dx%d", d.n1, d.n2, d.n3);
    shapeNames.push_back(label);
    for (Runner runner : {Runner::Fast, Runner::Wave1, Runner::Wave2, Runner::Threaded2}) {
      const std::string name = std::string(kRunnerNames[static_cast<int>(runner)]) + "/" + label;
      // The fastest of five repetitions, interleaved at random with the
      // other benchmarks: on a shared machine, other work only adds time.
      benchmark::RegisterBenchmark(name.c_str(), runSweep, runner, d)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(0.1)
          ->Repetitions(5)
          ->ComputeStatistics("min",
                              [](const std::vector<double>& v) {
                                double m = v.front();
                                for (double x : v) m = x < m ? x : m;
                                return m;
                              })
          ->ReportAggregatesOnly(true);
    }
  }
  std::printf("path: %s, hardware threads: %u\n",
              quillmere::sweepPathName(quillmere::selectedSweepPath()),
              std::thread::hardware_concurrency());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printSummary(shapeNames);
  benchmark::Shutdown();
  return 0;
}
