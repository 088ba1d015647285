#include "core/threaded_sweep.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
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

// The dependency rule, in short: plane i3 may run level L once planes i3-1
// and i3-2 have finished every level below L (units of plane i3-1 that
// conflict sit at level L - 1 at most, of plane i3-2 at L - 7;
// tests/test_threaded_sweep.cpp checks this pair by pair). The schedule is a
// pipeline of bands of P planes dealt out to the threads in turn, band j
// running level L once band j-1 (and band j-2 when P = 1) has finished level
// L - 1; progress is one growing counter per thread,
// j * (levels + 1) + levels done in band j. The derivation, the alternatives
// measured and the scaling estimate: docs/design.md.

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
  const std::int64_t v =
      waitUntil(w.progress[band % count].done, [need](std::int64_t x) { return x >= need; });
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
  // The thread's bands in turn share one scratch for kept divergence rows.
  const std::unique_ptr<float[]> scratch = sweep::divergenceScratch(*w->context, planes);
  for (std::int64_t j = t; j < bands; j += count) {
    const std::int32_t first = static_cast<std::int32_t>(j * planes);
    const std::int32_t end = d.n3 - first > planes ? first + planes : d.n3;
    sweep::SweepRegion region{first, end, 0, d.n2, 0, 0, scratch.get()};
    // The band's units lie in levels [6 * first, last].
    std::int64_t level = sweep::firstLevel(0, first);
    const std::int64_t last = sweep::lastLevel(d, d.n2, end);
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
    } catch (...) {
      // std::system_error when the system refuses a thread, std::bad_alloc
      // when its start-up state cannot be allocated, anything else a library
      // may throw: run on the threads we have (every started one is joined
      // below); bands are dealt out among them.
      break;
    }
  }
  w.threads.store(started, std::memory_order_release);
  runWorker(&w, 0);
  for (int t = 1; t < started; ++t) workers[t].join();
  bool tripped = false;
  for (int t = 0; t < started; ++t) tripped = tripped || w.tripped[t];
  return tripped;
}

void runStep(const SweepKernels& kernels, SweepContext context, const float* source, int threads,
             int planesPerBand, TapUse use) {
  const FloatEnvironmentGuard environment;
  const VolumeDims d = context.dims;
  const std::size_t bytes = static_cast<std::size_t>(d.n1) * static_cast<std::size_t>(d.n2) *
                            static_cast<std::size_t>(d.n3) * sizeof(float);
  SparseTaps taps;
  context.taps = nullptr;
  // In place there is nothing to redo from: every tap, as updateVolume.
  if (source != context.out && use != TapUse::Every) {
    buildSparseTaps(context, taps);
    if (use == TapUse::Sparse || sparseTapsPay(taps)) context.taps = &taps;
  }
#ifdef QUILLMERE_SWEEP_X86
  // One thread on AVX-512 with the lists: the stream sweep, where the shape
  // allows it. With every tap the wavefront kernels are faster (their dense
  // loop shares each sample among the six sums); on more threads the
  // wavefront's bands run side by side.
  if (threads <= 1 && kernels.path == SweepPath::Avx512 && context.taps != nullptr) {
    const StreamOutcome outcome = streamStepAvx512(context, source, true);
    if (outcome == StreamOutcome::Done) return;
    // An inf or NaN may have been read through a skipped zero weight.
    if (outcome == StreamOutcome::Tripped) context.taps = nullptr;
  }
#endif
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
    return count > kMaxSweepThreads ? kMaxSweepThreads : count;
  }
#elif defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
    return CPU_COUNT(&set) > kMaxSweepThreads ? kMaxSweepThreads : CPU_COUNT(&set);
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : (n > kMaxSweepThreads ? kMaxSweepThreads : static_cast<int>(n));
}

int threadsForHostSetting(double setting) {
  const int available = processorsAvailable();
  // NaN fails both tests.
  if (!(setting >= 1.0) || !(setting <= 1.0e300)) return available;
  // More threads than processors only wait for each other (bench_thread_cap).
  return setting >= available ? available : static_cast<int>(setting);
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
                                const HessianStencils& hessianStencils, float dt, VolumeDims dims,
                                int threadCount) {
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
  stepVolumeThreadedOnPath(SweepPath::Automatic, u, out, tensor, gradientStencils, hessianStencils,
                           dt, dims, threadCount);
}

void updateVolumeThreaded(MutableVolumeView out, const TensorField& tensor,
                          const GradientStencils& gradientStencils,
                          const HessianStencils& hessianStencils, float dt, VolumeDims dims,
                          int threadCount) {
  updateVolumeThreadedOnPath(SweepPath::Automatic, out, tensor, gradientStencils, hessianStencils,
                             dt, dims, threadCount);
}

}  // namespace quillmere
