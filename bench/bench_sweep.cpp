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

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "core/sweep_kernels.h"
#include "core/threaded_sweep.h"
#include "core/update_sweep.h"
#include "tests/support/stencil_families.h"
#include "tests/support/sweep_problem.h"

namespace {

using quillmere::SweepPath;
using quillmere::VolumeDims;
using quillmere::bench::Case;
using quillmere::testing::SweepProblem;

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

// The stencil families: a whole step (copy of u included, as the gateway
// runs it) with every tap against the same step with the tap lists, on the
// automatic path and 1 or 2 threads; the sparse result is checked against
// the dense one after timing. Timed by hand so the fastest call of all
// repetitions can be shown beside the memory floor.
using quillmere::sweep::TapUse;
using quillmere::testing::StencilFamily;

std::map<std::string, double>& bestNsPerVoxel() {
  static std::map<std::string, double> best;
  return best;
}

struct FamilyCase {
  std::unique_ptr<SweepProblem> problem;
  std::vector<float> dense;  // the every-tap result, once timed
};

double processSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

FamilyCase& familyCase(StencilFamily f, VolumeDims d) {
  static std::map<std::string, FamilyCase> cases;
  char key[64];
  std::snprintf(key, sizeof key, "%s/%dx%dx%d", quillmere::testing::familyName(f), d.n1, d.n2,
                d.n3);
  FamilyCase& c = cases[key];
  if (!c.problem) {
    c.problem = std::make_unique<SweepProblem>(d);
    std::mt19937 rng(7u);
    quillmere::testing::fillRandom(*c.problem, rng);
    quillmere::testing::setStencils(*c.problem, f, rng);
  }
  return c;
}

void runFamily(benchmark::State& state, StencilFamily f, VolumeDims d, int threads, TapUse use,
               std::string label) {
  FamilyCase& c = familyCase(f, d);
  const SweepProblem& p = *c.problem;
  std::vector<float> out(p.u.size());
  const quillmere::sweep::SweepKernels kernels =
      quillmere::sweep::sweepKernelsFor(SweepPath::Automatic);
  const quillmere::sweep::SweepContext context = quillmere::sweep::makeSweepContext(
      {out.data(), d}, p.tensor(), p.gradient(), p.hessian(), p.dt, d);
  const double voxels = static_cast<double>(p.u.size());
  double& best = bestNsPerVoxel()[label];
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = processSeconds();
    quillmere::sweep::runStep(kernels, context, p.u.data(), threads, 0, use);
    const double cpu = processSeconds() - cpuStart;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    // One thread: its processor time, which time spent waiting for a core on
    // a shared machine does not inflate. Two: the wall clock.
    const double ns = (threads == 1 ? cpu : took.count()) * 1e9 / voxels;
    if (best == 0.0 || ns < best) best = ns;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (use == TapUse::Every) {
    if (c.dense.empty()) c.dense = out;
    return;
  }
  if (c.dense.empty()) {
    c.dense.resize(out.size());
    quillmere::sweep::runStep(
        kernels,
        quillmere::sweep::makeSweepContext({c.dense.data(), d}, p.tensor(), p.gradient(),
                                           p.hessian(), p.dt, d),
        p.u.data(), 1, 0, TapUse::Every);
  }
  if (std::memcmp(out.data(), c.dense.data(), out.size() * sizeof(float)) != 0)
    state.SkipWithError("tap lists give other bits than every tap");
}

// Copy bandwidth (bytes read plus bytes written per ns) of a 64 MB memcpy,
// the fastest of a few: the memory floor of a step is the bytes it must move
// (read u, write out, read the six tensor components: 32 per voxel) over it.
double copyBytesPerNs() {
  std::vector<float> a(16u << 20, 1.0f), b(a.size());
  double best = 0.0;
  for (int i = 0; i < 8; ++i) {
    const auto start = std::chrono::steady_clock::now();
    std::memcpy(b.data(), a.data(), a.size() * sizeof(float));
    benchmark::DoNotOptimize(b.data());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const double rate = 2.0 * static_cast<double>(a.size() * sizeof(float)) / (took.count() * 1e9);
    if (rate > best) best = rate;
  }
  return best;
}

void printFamilySummary(const std::vector<std::string>& families,
                        const std::vector<std::string>& shapes, double bytesPerNs) {
  const double floor = 32.0 / bytesPerNs;
  std::printf(
      "\nStencil families, ns per voxel of a whole step, fastest call (one run;\n"
      "1 thread: processor time, 2 threads: wall clock).\n"
      "copy bandwidth %.1f GB/s (read + write); memory floor %.2f ns/voxel "
      "(32 bytes a voxel)\n",
      bytesPerNs, floor);
  std::printf("%-8s %-12s %9s %9s %7s %9s %9s %7s %7s %7s\n", "family", "shape", "dense1", "lists1",
              "x", "dense2", "lists2", "x", "2/1 d", "2/1 l");
  const auto& best = bestNsPerVoxel();
  auto get = [&](const std::string& key) {
    const auto it = best.find(key);
    return it == best.end() ? 0.0 : it->second;
  };
  for (const std::string& f : families) {
    for (const std::string& shape : shapes) {
      const double d1 = get(f + "/" + shape + "/1t/dense"), l1 = get(f + "/" + shape + "/1t/lists");
      const double d2 = get(f + "/" + shape + "/2t/dense"), l2 = get(f + "/" + shape + "/2t/lists");
      if (d1 == 0.0 && l1 == 0.0) continue;
      std::printf("%-8s %-12s %9.2f %9.2f %6.2fx %9.2f %9.2f %6.2fx %6.2fx %6.2fx\n", f.c_str(),
                  shape.c_str(), d1, l1, l1 > 0 ? d1 / l1 : 0.0, d2, l2, l2 > 0 ? d2 / l2 : 0.0,
                  d2 > 0 ? d1 / d2 : 0.0, l2 > 0 ? l1 / l2 : 0.0);
    }
  }
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
  const StencilFamily families[] = {StencilFamily::Central,      StencilFamily::Scharr,
                                    StencilFamily::Sobel,        StencilFamily::DenseRandom,
                                    StencilFamily::SingleWeight, StencilFamily::AllZero};
  const VolumeDims familyShapes[] = {{64, 64, 64}, {128, 128, 128}, {256, 256, 64}};
  std::vector<std::string> familyNames, familyShapeNames;
  for (VolumeDims d : familyShapes) {
    char label[48];
    std::snprintf(label, sizeof label, "%dx%dx%d", d.n1, d.n2, d.n3);
    familyShapeNames.push_back(label);
  }
  for (StencilFamily f : families) {
    familyNames.push_back(quillmere::testing::familyName(f));
    for (VolumeDims d : familyShapes) {
      for (int threads : {1, 2}) {
        for (TapUse use : {TapUse::Every, TapUse::Automatic}) {
          char label[96];
          std::snprintf(label, sizeof label, "%s/%dx%dx%d/%dt/%s",
                        quillmere::testing::familyName(f), d.n1, d.n2, d.n3, threads,
                        use == TapUse::Every ? "dense" : "lists");
          benchmark::RegisterBenchmark(label, runFamily, f, d, threads, use, std::string(label))
              ->Unit(benchmark::kMillisecond)
              ->UseManualTime()
              ->MinTime(0.1)
              ->Repetitions(5)
              ->ReportAggregatesOnly(true);
        }
      }
    }
  }
  std::printf("automatic path on this processor: %s\n",
              quillmere::sweepPathName(quillmere::selectedSweepPath()));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quillmere::bench::SummaryReporter reporter("ns_per_voxel");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printSummary("ns per voxel", shapeNames, names, "plain", 1);
  printFamilySummary(familyNames, familyShapeNames, copyBytesPerNs());
  benchmark::Shutdown();
  return 0;
}
