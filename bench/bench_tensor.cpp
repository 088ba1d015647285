// The tensor ('ced', sigma 1, rho 3, as quillmere_tensor's defaults) and the
// step-size bound at 128^3, by vector path and thread count, beside two
// floors: memory (one pass that reads and writes a volume of doubles; the
// plane pipeline moves about 12 such passes' traffic past the second-level
// cache: the product rings written (and first read for ownership), read
// again about 2.1 times by the axis-3 pass, u and the outputs; J and the
// in-plane rows stay in it) and the divider (the square roots
// and divisions of four full Jacobi sweeps alone, which the closed-form
// solve avoids wherever J is not nearly isotropic). 'structure' runs the
// passes without the eigen-decomposition; runMapAlone the eigen-solve and
// map without the passes; the fresh-scratch cases take the scratch on every
// call, as the module does.
//
//   build/linux/bench/bench_tensor --benchmark_enable_random_interleaving=true
//
// The machine is shared: compare ratios within one run.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/structure_tensor.h"
#include "core/tensor_kernels.h"
#include "core/update_sweep.h"
#include "tests/support/stencil_families.h"

namespace {

using quillmere::SweepPath;
using quillmere::VolumeDims;

constexpr VolumeDims kDims{128, 128, 128};
constexpr std::size_t kVoxels = 128u * 128u * 128u;

const std::vector<float>& volume() {
  static const std::vector<float> u = [] {
    std::vector<float> v(kVoxels);
    std::mt19937 rng(7u);
    std::normal_distribution<float> noise(0.0f, 0.3f);
    for (std::size_t e = 0; e < v.size(); ++e) {
      const std::size_t i1 = e % 128, i3 = e / (128 * 128);
      v[e] = (i1 > 40 && i1 < 80 && i3 > 50 ? 1.0f : 0.0f) + noise(rng);
    }
    return v;
  }();
  return u;
}

quillmere::TensorParameters cedParameters() {
  return {quillmere::TensorKind::Coherence, 1.0, 3.0, {1.0, 1.0, 1.0}, 0.001, 1e-8, 0.1};
}

void runTensor(benchmark::State& state, SweepPath path, int threads,
               quillmere::TensorKind kind = quillmere::TensorKind::Coherence) {
  if (!quillmere::sweepPathSupported(path)) {
    state.SkipWithError("path not supported here");
    return;
  }
  quillmere::TensorParameters p = cedParameters();
  p.kind = kind;
  std::vector<double> scratch(quillmere::tensorScratchDoubles(kDims, p, threads));
  std::vector<float> out(6 * kVoxels);
  float* const outs[6] = {&out[0],           &out[kVoxels],     &out[2 * kVoxels],
                          &out[3 * kVoxels], &out[4 * kVoxels], &out[5 * kVoxels]};
  for (auto _ : state) {
    quillmere::computeTensor(volume().data(), kDims, p, outs, scratch.data(), threads, path);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["Mvoxel/s"] = benchmark::Counter(
      static_cast<double>(kVoxels) * static_cast<double>(state.iterations()) / 1e6,
      benchmark::Counter::kIsRate);
}

// As the module runs it: the scratch taken and given back on every call,
// so the first touch of its pages is part of each call's cost.
void runTensorFreshScratch(benchmark::State& state, bool huge) {
  const quillmere::TensorParameters p = cedParameters();
  const std::size_t doubles = quillmere::tensorScratchDoubles(kDims, p, 1);
  std::vector<float> out(6 * kVoxels);
  float* const outs[6] = {&out[0],           &out[kVoxels],     &out[2 * kVoxels],
                          &out[3 * kVoxels], &out[4 * kVoxels], &out[5 * kVoxels]};
  for (auto _ : state) {
    double* scratch = huge ? quillmere::allocateTensorScratch(doubles)
                           : static_cast<double*>(std::malloc(doubles * sizeof(double)));
    quillmere::computeTensor(volume().data(), kDims, p, outs, scratch, 1);
    huge ? quillmere::freeTensorScratch(scratch) : std::free(scratch);
    benchmark::DoNotOptimize(out.data());
  }
}

void runRadius(benchmark::State& state, int threads) {
  const quillmere::TensorParameters p = cedParameters();
  std::vector<double> scratch(quillmere::tensorScratchDoubles(kDims, p, 1));
  std::vector<float> out(6 * kVoxels);
  float* const outs[6] = {&out[0],           &out[kVoxels],     &out[2 * kVoxels],
                          &out[3 * kVoxels], &out[4 * kVoxels], &out[5 * kVoxels]};
  quillmere::computeTensor(volume().data(), kDims, p, outs, scratch.data(), 1);
  // The 'central' family of the shared stencil families.
  quillmere::testing::SweepProblem central({0, 0, 0});
  std::mt19937 unused;
  quillmere::testing::setStencils(central, quillmere::testing::StencilFamily::Central, unused);
  std::vector<float> k[9];
  for (int i = 0; i < 3; ++i) k[i] = central.k[i];
  for (int i = 0; i < 6; ++i) k[3 + i] = central.h[i];
  const quillmere::TensorField t{{outs[0], kDims}, {outs[1], kDims}, {outs[2], kDims},
                                 {outs[3], kDims}, {outs[4], kDims}, {outs[5], kDims}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(quillmere::stableStepRadius(
        t, {k[0].data(), k[1].data(), k[2].data()},
        {k[3].data(), k[4].data(), k[5].data(), k[6].data(), k[7].data(), k[8].data()}, kDims,
        threads));
  }
}

// The eigen-solve and map alone, as the pipeline runs them (runs of 1024
// voxels whose J is in the cache): 16 runs of J spread over the volume
// ('structure' of the bench volume, widened to double), mapped to 'ced'
// 128 times over, the work of one 128^3 volume. The share of lanes that
// take Jacobi rather than the closed form is counted as "jacobi".
void runMapAlone(benchmark::State& state, SweepPath path) {
  if (!quillmere::sweepPathSupported(path)) {
    state.SkipWithError("path not supported here");
    return;
  }
  constexpr std::int64_t kRun = 1024, kRuns = 16;
  quillmere::TensorParameters p = cedParameters();
  p.kind = quillmere::TensorKind::Structure;
  std::vector<double> scratch(quillmere::tensorScratchDoubles(kDims, p, 1));
  std::vector<float> structure(6 * kVoxels);
  float* const outs[6] = {&structure[0],           &structure[kVoxels],
                          &structure[2 * kVoxels], &structure[3 * kVoxels],
                          &structure[4 * kVoxels], &structure[5 * kVoxels]};
  quillmere::computeTensor(volume().data(), kDims, p, outs, scratch.data(), 1);
  std::vector<double> j(6 * kRun * kRuns);
  std::vector<float> out(6 * kRun * kRuns);
  double jacobi = 0;
  for (std::int64_t run = 0; run < kRuns; ++run) {
    const std::int64_t from = run * static_cast<std::int64_t>(kVoxels / kRuns);
    for (std::int64_t x = 0; x < kRun; ++x) {
      double voxel[6];
      for (int k = 0; k < 6; ++k) {
        voxel[k] = j[(k * kRuns + run) * kRun + x] = outs[k][from + x];
      }
      jacobi += quillmere::tensor::mapTakesClosedForm(voxel) ? 0 : 1;
    }
  }
  const auto mapRuns = [&](quillmere::tensor::MapKernel map, std::vector<float>& to) {
    for (std::int64_t run = 0; run < kRuns; ++run) {
      quillmere::tensor::MapPass pass{};
      for (int k = 0; k < 6; ++k) {
        pass.j[k] = &j[(k * kRuns + run) * kRun];
        pass.out[k] = &to[(k * kRuns + run) * kRun];
      }
      pass.kind = quillmere::TensorKind::Coherence;
      pass.alpha = p.alpha;
      pass.oneMinusAlpha = 1.0 - p.alpha;
      pass.c = p.c;
      pass.lambdaSquared = p.lambda * p.lambda;
      map(pass, 0, kRun);
    }
  };
  const quillmere::tensor::MapKernel map = quillmere::tensor::tensorKernelsFor(path).map;
  for (auto _ : state) {
    for (std::int64_t repeat = 0; repeat < static_cast<std::int64_t>(kVoxels) / (kRun * kRuns);
         ++repeat) {
      mapRuns(map, out);
    }
    benchmark::DoNotOptimize(out.data());
  }
  // The plain path's bits, checked after timing.
  std::vector<float> plain(out.size());
  mapRuns(quillmere::tensor::tensorKernelsFor(SweepPath::Plain).map, plain);
  if (std::memcmp(plain.data(), out.data(), out.size() * sizeof(float)) != 0) {
    state.SkipWithError("the map differs from the plain path");
  }
  state.counters["jacobi"] = jacobi / static_cast<double>(kRun * kRuns);
}

// The floor of one smoothing pass: read and write 128^3 doubles once.
void runCopyFloor(benchmark::State& state) {
  std::vector<double> a(kVoxels, 1.0), b(kVoxels, 2.0);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), kVoxels * sizeof(double));
    benchmark::DoNotOptimize(b.data());
    std::swap(a, b);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 *
                          static_cast<std::int64_t>(kVoxels * sizeof(double)));
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// GCC 12's avx512fintrin.h fills don't-care inputs with self-initialised
// variables and then warns about them here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The floor of the eigen-decomposition: the 24 square roots and 12
// divisions of its 12 rotations per voxel, 128^3 voxels eight at a time on
// AVX-512, in independent chains (the divider's throughput, not its
// latency). Nothing else of the rotation is counted.
__attribute__((target("avx512f"))) double dividerWork(std::size_t vectors, double seed) {
  __m512d x[8];
  for (int k = 0; k < 8; ++k) x[k] = _mm512_set1_pd(seed + k);
  const __m512d one = _mm512_set1_pd(1.0);
  for (std::size_t v = 0; v < vectors; v += 8) {
    for (int rotation = 0; rotation < 12; ++rotation) {
      for (int k = 0; k < 8; ++k) x[k] = _mm512_sqrt_pd(x[k]);
      for (int k = 0; k < 8; ++k) x[k] = _mm512_div_pd(one, _mm512_add_pd(x[k], one));
      for (int k = 0; k < 8; ++k) x[k] = _mm512_sqrt_pd(_mm512_add_pd(x[k], one));
    }
  }
  double sum = 0.0;
  for (int k = 0; k < 8; ++k) sum += _mm512_reduce_add_pd(x[k]);
  return sum;
}

void runDividerFloor(benchmark::State& state) {
  if (!quillmere::sweepPathSupported(SweepPath::Avx512)) {
    state.SkipWithError("AVX-512 not supported here");
    return;
  }
  double seed = 1.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(seed);
    benchmark::DoNotOptimize(dividerWork(kVoxels / 8, seed));
  }
}
BENCHMARK(runDividerFloor)->Unit(benchmark::kMillisecond);

// The arithmetic floor of the passes: as many vector operations as the
// passes of the bench parameters take (each output of a pass of radius r
// is w0 x + sum_t w_t (a_t + b_t): 3 r + 1 operations; u along three axes
// with sigma's radius, the six products along three axes with rho's, and
// 12 for the gradient and products), in the passes' own shape on data in
// the first-level cache, sixteen sums side by side, eight voxels at a
// time. What the passes take beyond it is memory and bookkeeping.
__attribute__((target("avx512f"))) double passArithmetic(std::size_t vectors, std::int64_t ops,
                                                         const double* data) {
  __m512d acc[16];
  const __m512d w = _mm512_set1_pd(0.25);
  for (int k = 0; k < 16; ++k) acc[k] = _mm512_setzero_pd();
  // Rounds of 3 operations per sum; the 16 sums cover 16 vectors.
  const std::int64_t rounds = ops / 3;
  for (std::size_t v = 0; v < vectors; v += 16) {
    for (std::int64_t t = 0; t < rounds; ++t) {
      const double* a = data + (t & 7);
      const double* b = data + 256 + (t & 7);
#pragma GCC unroll 16
      for (int k = 0; k < 16; ++k) {
        const __m512d pair = _mm512_add_pd(_mm512_loadu_pd(a + 8 * k), _mm512_loadu_pd(b + 8 * k));
        acc[k] = _mm512_add_pd(acc[k], _mm512_mul_pd(w, pair));
      }
    }
  }
  double sum = 0.0;
  for (int k = 0; k < 16; ++k) {
    alignas(64) double lanes[8];
    _mm512_store_pd(lanes, acc[k]);
    sum += lanes[0];
  }
  return sum;
}

void runPassArithmeticFloor(benchmark::State& state) {
  if (!quillmere::sweepPathSupported(SweepPath::Avx512)) {
    state.SkipWithError("AVX-512 not supported here");
    return;
  }
  const quillmere::TensorParameters p = cedParameters();
  const std::int64_t rs = quillmere::gaussianRadius(p.sigma, 1.0);
  const std::int64_t rr = quillmere::gaussianRadius(p.rho, 1.0);
  const std::int64_t ops = 3 * (3 * rs + 1) + 6 * 3 * (3 * rr + 1) + 12;
  std::vector<double> data(512 + 16 * 8, 1.0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(passArithmetic(kVoxels / 8, ops, data.data()));
  }
  state.counters["ops_per_voxel_vector"] = static_cast<double>(ops);
}
BENCHMARK(runPassArithmeticFloor)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_CAPTURE(runTensor, plain_1, SweepPath::Plain, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runTensor, baseline_1, SweepPath::Baseline, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runTensor, avx2_1, SweepPath::Avx2, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runTensor, avx512_1, SweepPath::Avx512, 1)->Unit(benchmark::kMillisecond);
// 'structure': the same passes without the eigen-decomposition and map.
BENCHMARK_CAPTURE(runTensor, structure_avx512_1, SweepPath::Avx512, 1,
                  quillmere::TensorKind::Structure)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runTensor, automatic_2, SweepPath::Automatic, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runTensor, structure_automatic_2, SweepPath::Automatic, 2,
                  quillmere::TensorKind::Structure)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runMapAlone, avx512, SweepPath::Avx512)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runMapAlone, avx2, SweepPath::Avx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runTensorFreshScratch, malloc_1, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runTensorFreshScratch, huge_pages_1, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runRadius, threads_1, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(runRadius, threads_2, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(runCopyFloor)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
