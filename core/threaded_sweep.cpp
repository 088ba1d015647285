#include "core/threaded_sweep.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#elif defined(__linux__)
#include <sched.h>
#endif

#include "core/float_environment.h"
#include "core/sweep_kernels.h"

#ifdef QUILLMERE_SWEEP_X86
#include <emmintrin.h>
#endif

namespace quillmere {
namespace {

// Scheduling the wavefront on threads
// -----------------------------------
// The dependency rule. A unit (k, i2, i3) of level L = k + 2*i2 + 6*i3 reads
// rows i2-2..i2+2 of planes i3-2..i3+2 over chunks k-1..k+1 (columns kC-2 to
// kC+C+1, C = 12) and writes chunk k of its own row; clamped taps only move
// closer to the unit, so they add no pair. Two units conflict when one
// writes what the other reads, and must then run in sweep order. For a
// conflicting unit in an earlier plane the level is at most
//   plane i3-1: (k+1) + 2*(i2+2) + 6*(i3-1) = L - 1,
//   plane i3-2: (k+1) + 2*(i2+2) + 6*(i3-2) = L - 7,
// and for one in a later plane at least L + 1 (i3+1) and L + 7 (i3+2)
// (tests/test_threaded_sweep.cpp checks this pair by pair). So:
//
//   plane i3 may run level L as soon as planes i3-1 and i3-2 have finished
//   every level below L. It never waits for a later plane, and an earlier
//   plane may be any number of levels ahead: its units of level >= L touch
//   nothing that plane i3's units of level L touch.
//
// The schedule: a pipeline of bands. The planes are cut into bands of P
// planes; band j goes to thread j mod T, and each thread runs its bands in
// turn, each band level by level (one sweepRegion call per level, so the
// band's units of a level fill vectors together). Band j runs level L once
// the band holding plane a-1 (a = its first plane) and the one holding plane
// a-2 have finished level L - 1: band j-1 for both when P >= 2, bands j-1
// and j-2 when P = 1. Planes inside a band are ordered by the band's own
// level loop. Waits only ever point to earlier bands, so there is no cycle
// and band 0 never waits: no deadlock, and a band may run any number of
// levels ahead of the bands after it. Progress is one counter per thread,
// j * (levels + 1) + levels done in band j, which only grows, so "band j has
// finished level L - 1" reads "counter of thread j mod T >= j*(levels+1) + L".
//
// Why this and not the alternatives (measured here at 128^3, 2 threads):
//   - one band of n3/T planes per thread: planes start 6 levels apart but
//     each spans chunks + 2*(n2-1) levels (265 at 128^3), so the second band
//     could not start before the first had done about two thirds of its
//     work;
//   - planes (or runs of planes) dealt out in turn with each thread running
//     one level of all its planes at once: balanced at every level, but the
//     threads wait on each other round a ring, i.e. in lock step, and every
//     unit reads planes the other core has just written. 1.5 to 1.6x;
//   - this pipeline: cross-core traffic only at band edges, and a band that
//     gets ahead stays ahead. 1.83x at P = 8 (1.51x at P = 2, 1.74x at 16);
//     256x256x64: 1.95x at P = 4, 1.86x at 8.
// P = n3 / (8T), between 1 and 16, follows those figures: about eight bands
// per thread keep the pipeline's start-up (band j starts when band j-1 is
// 6P levels in) and drain short, and bands of 4 to 16 planes keep the
// vectors filled and the traffic at band edges low.
//
// Scaling estimate for 8 and 16 cores, from the measured costs (one thread,
// AVX-512, 128^3: ~47 ns a voxel, ~0.56 us a unit of 12 voxels, 1027 levels,
// a plane's units spread over ~265 levels, 6 levels between planes):
//   - start-up and drain: band j can start once band j-1 is 6P levels in,
//     a delay of ~6P/265 of a band's time per band; across T threads the
//     last thread starts ~(T-1)*6P levels late and the first finishes as
//     early, which costs about (T-1)*6P/(levels) of the run: ~6% at T = 8,
//     P = 2 and ~9% at T = 16, P = 1 for 128^3.
//   - the trailing band of each pair waits on the band before it through
//     its first 6P levels and runs at its leader's pace while the leader's
//     levels hold more units: a simulation of the level profile gives 7.5x
//     for 8 threads (P = 2) and 14.5x for 16 (P = 1) at 128^3, 7.7x and 14.9x
//     at 256x256x64, before memory effects.
//   - bands of 1 or 2 planes hold ~6 to 22 units a level at 128^3, under
//     one or two AVX-512 groups of 16 lanes: vectors run partly empty, which
//     on the measured group-fill cost (+5% for single planes) and the
//     cross-core traffic at every band edge (the ring schedule above lost
//     ~18% CPU to it with single planes) takes 128^3 to roughly 6 to 6.5x on
//     8 cores and 9 to 11x on 16. Larger volumes (256^3: 45 bands of 3
//     planes per thread at 16 threads, ~33 units a level) come nearer the
//     simulated figures, ~7x and ~12 to 13x.

// Per-thread progress, each on its own cache line so that a thread's
// publishing does not slow its neighbours' polling.
struct alignas(64) Progress {
  std::atomic<std::int64_t> done{0};
};

struct Wavefront {
  const sweep::SweepKernels* kernels;
  const sweep::SweepContext* context;
  std::int64_t levels;
  std::int32_t bandPlanes;
  // 0 until every worker has been started, then the thread count (which is
  // lower than planned if the system refused a thread).
  std::atomic<int> threads{0};
  Progress progress[kMaxSweepThreads];
  // Per worker: a sparse sweep met a non-finite value. Read after the join.
  bool tripped[kMaxSweepThreads] = {};
};

inline void relax() {
#ifdef QUILLMERE_SWEEP_X86
  _mm_pause();
#endif
}

// Spins briefly (a band's hand-over is usually a few microseconds), then
// gives the core away: the machine may run more threads than it has cores.
template <class T, class Ready>
T waitUntil(const std::atomic<T>& value, Ready ready) {
  constexpr int kSpins = 2000;
  int spins = 0;
  T v = value.load(std::memory_order_acquire);
  while (!ready(v)) {
    if (++spins < kSpins) {
      relax();
    } else {
      std::this_thread::yield();
    }
    v = value.load(std::memory_order_acquire);
  }
  return v;
}

// Waits until band `band` (owned by thread band mod count) has finished
// every level below `level`; returns the last level it has finished.
std::int64_t waitForBand(const Wavefront& w, std::int64_t band, int count, std::int64_t level) {
  const std::int64_t base = band * (w.levels + 1);
  const std::int64_t need = base + level;
  const std::int64_t v = waitUntil(w.progress[band % count].done,
                                   [need](std::int64_t x) { return x >= need; });
  // A counter past this band's slot means the band is done.
  return v - base > w.levels ? w.levels - 1 : v - base - 1;
}

void runWorker(Wavefront* w, int t) {
  const FloatEnvironmentGuard environment;
  const int count = waitUntil(w->threads, [](int n) { return n != 0; });
  const VolumeDims d = w->context->dims;
  const std::int64_t stride = w->levels + 1;
  const std::int32_t planes = w->bandPlanes;
  const std::int64_t bands = (static_cast<std::int64_t>(d.n3) + planes - 1) / planes;
  for (std::int64_t j = t; j < bands; j += count) {
    const std::int32_t first = static_cast<std::int32_t>(j * planes);
    const std::int32_t end = d.n3 - first > planes ? first + planes : d.n3;
    sweep::SweepRegion region{first, end, 0, d.n2, 0, 0};
    // The band's units lie in levels [6 * first, last].
    std::int64_t level = 6 * static_cast<std::int64_t>(first);
    const std::int64_t last = sweep::chunkCount(d) - 1 + 2 * static_cast<std::int64_t>(d.n2 - 1) +
                              6 * static_cast<std::int64_t>(end - 1);
    while (level <= last) {
      std::int64_t ready = last;
      if (j >= 1) {
        const std::int64_t r = waitForBand(*w, j - 1, count, level);
        if (r + 1 < ready) ready = r + 1;
      }
      if (j >= 2 && planes == 1) {
        const std::int64_t r = waitForBand(*w, j - 2, count, level);
        if (r + 1 < ready) ready = r + 1;
      }
      for (; level <= ready; ++level) {
        region.levelBegin = level;
        region.levelEnd = level + 1;
        if (w->kernels->sweepRegion(*w->context, region)) w->tripped[t] = true;
        w->progress[t].done.store(j * stride + level + 1, std::memory_order_release);
      }
    }
    // Done: every level counts as finished for the bands after it.
    w->progress[t].done.store(j * stride + w->levels, std::memory_order_release);
  }
}

// The fewest voxels that pay for one more thread. Measured here (2 cores,
// AVX-512, bench/bench_threads.cpp), the wavefront on 2 threads against the
// single-thread fast sweep: 32^3 0.75x, 64x64x8 0.70x, 128x128x4 0.99x,
// 48^3 0.93x, 256x256x2 1.39x, 64^3 1.41x, 128^3 1.83x. Below ~130k voxels
// a band's level holds a few units, too few to fill vectors or to cover
// the hand-over between bands; so one thread per 65536 voxels.
constexpr double kMinVoxelsPerThread = 65536.0;

}  // namespace

namespace sweep {

bool runWavefront(const SweepKernels& kernels, const SweepContext& context, int threads,
                  int planesPerBand) {
  const VolumeDims d = context.dims;
  const std::int64_t levels = levelCount(d);
  std::int64_t planes = planesPerBand;
  if (planes < 1) {
    planes = d.n3 / (8 * static_cast<std::int64_t>(threads < 1 ? 1 : threads));
    planes = planes < 1 ? 1 : (planes > 16 ? 16 : planes);
  }
  const std::int64_t bands = (d.n3 + planes - 1) / planes;
  std::int64_t planned = threads < 1 ? 1 : threads;
  if (planned > kMaxSweepThreads) planned = kMaxSweepThreads;
  if (planned > bands) planned = bands;  // every thread owns a band
  // The progress counters count to bands * (levels + 1); a volume that
  // long and thin (never one that pays for threads) runs on one.
  if (planned <= 1 || bands > INT64_MAX / 2 / (levels + 1)) {
    const FloatEnvironmentGuard environment;
    return kernels.sweepRegion(context, wholeVolume(d));
  }
  Wavefront w;
  w.kernels = &kernels;
  w.context = &context;
  w.levels = levels;
  w.bandPlanes = static_cast<std::int32_t>(planes);
  std::thread workers[kMaxSweepThreads];
  int started = 1;  // the calling thread is worker 0
  for (; started < planned; ++started) {
    try {
      workers[started] = std::thread(runWorker, &w, started);
    } catch (const std::system_error&) {
      break;  // run on the threads we have; bands are dealt out among them
    }
  }
  w.threads.store(started, std::memory_order_release);
  runWorker(&w, 0);
  for (int t = 1; t < started; ++t) workers[t].join();
  bool tripped = false;
  for (int t = 0; t < started; ++t) tripped = tripped || w.tripped[t];
  return tripped;
}

void runStep(const SweepKernels& kernels, SweepContext context, const float* source,
             int threads, int planesPerBand, TapUse use) {
  const FloatEnvironmentGuard environment;
  const VolumeDims d = context.dims;
  const std::size_t bytes = static_cast<std::size_t>(d.n1) * static_cast<std::size_t>(d.n2) *
                            static_cast<std::size_t>(d.n3) * sizeof(float);
  SparseTaps taps;
  context.taps = nullptr;
  // In place there is nothing to redo from: every tap, as updateVolume.
  if (source != context.out && use != TapUse::Every) {
    buildSparseTaps({context.gradient[0], context.gradient[1], context.gradient[2]},
                    {context.hessian[0], context.hessian[1], context.hessian[2],
                     context.hessian[3], context.hessian[4], context.hessian[5]},
                    taps);
    if (use == TapUse::Sparse || sparseTapsPay(taps)) context.taps = &taps;
  }
  auto sweepOnce = [&]() {
    if (source != context.out) std::memcpy(context.out, source, bytes);
    return threads <= 1 ? sweepWholeVolume(kernels, context)
                        : runWavefront(kernels, context, threads, planesPerBand);
  };
  if (sweepOnce() && context.taps != nullptr) {
    // An inf or NaN may have been read through a skipped zero weight.
    context.taps = nullptr;
    sweepOnce();
  }
}

}  // namespace sweep

int processorsAvailable() {
#if defined(_WIN32)
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    int count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
  }
#elif defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : (n > kMaxSweepThreads ? kMaxSweepThreads : static_cast<int>(n));
}

int threadsForHostSetting(double setting) {
  // NaN fails both tests.
  if (!(setting >= 1.0) || !(setting <= 1.0e300)) return processorsAvailable();
  return setting >= kMaxSweepThreads ? kMaxSweepThreads : static_cast<int>(setting);
}

int sweepThreadCount(VolumeDims dims, int requested) {
  if (dims.n1 <= 0 || dims.n2 <= 0 || dims.n3 <= 0) return 1;
  if (!sweep::vectorSweepPays(dims)) return 1;
  int threads = requested < 1 ? 1 : requested;
  if (threads > kMaxSweepThreads) threads = kMaxSweepThreads;
  if (threads > dims.n3) threads = dims.n3;
  const double voxels = static_cast<double>(dims.n1) * dims.n2 * dims.n3;
  const double affordable = voxels / kMinVoxelsPerThread;
  if (affordable < threads) threads = affordable < 1.0 ? 1 : static_cast<int>(affordable);
  return threads;
}

void updateVolumeThreadedOnPath(SweepPath path, MutableVolumeView out, const TensorField& tensor,
                                const GradientStencils& gradientStencils,
                                const HessianStencils& hessianStencils, float dt,
                                VolumeDims dims, int threadCount) {
  const int threads = sweepThreadCount(dims, threadCount);
  if (threads <= 1) {
    const FloatEnvironmentGuard environment;
    updateVolumeOnPath(path, out, tensor, gradientStencils, hessianStencils, dt, dims);
    return;
  }
  const sweep::SweepKernels kernels = sweep::sweepKernelsFor(path);
  const sweep::SweepContext context =
      sweep::makeSweepContext(out, tensor, gradientStencils, hessianStencils, dt, dims);
  sweep::runWavefront(kernels, context, threads, 0);
}

void stepVolumeThreadedOnPath(SweepPath path, VolumeView u, MutableVolumeView out,
                              const TensorField& tensor, const GradientStencils& gradientStencils,
                              const HessianStencils& hessianStencils, float dt, VolumeDims dims,
                              int threadCount) {
  if (dims.n1 <= 0 || dims.n2 <= 0 || dims.n3 <= 0) return;
  const int threads = sweepThreadCount(dims, threadCount);
  const sweep::SweepKernels kernels = sweep::vectorSweepPays(dims)
                                          ? sweep::sweepKernelsFor(path)
                                          : sweep::sweepKernelsFor(SweepPath::Plain);
  const sweep::SweepContext context =
      sweep::makeSweepContext(out, tensor, gradientStencils, hessianStencils, dt, dims);
  sweep::runStep(kernels, context, u.samples, threads, 0, sweep::TapUse::Automatic);
}

void stepVolumeThreaded(VolumeView u, MutableVolumeView out, const TensorField& tensor,
                        const GradientStencils& gradientStencils,
                        const HessianStencils& hessianStencils, float dt, VolumeDims dims,
                        int threadCount) {
  stepVolumeThreadedOnPath(SweepPath::Automatic, u, out, tensor, gradientStencils,
                           hessianStencils, dt, dims, threadCount);
}

void updateVolumeThreaded(MutableVolumeView out, const TensorField& tensor,
                          const GradientStencils& gradientStencils,
                          const HessianStencils& hessianStencils, float dt, VolumeDims dims,
                          int threadCount) {
  updateVolumeThreadedOnPath(SweepPath::Automatic, out, tensor, gradientStencils,
                             hessianStencils, dt, dims, threadCount);
}

}  // namespace quillmere
