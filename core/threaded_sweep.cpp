#include "core/threaded_sweep.h"

#include <atomic>
#include <cstdint>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#elif defined(__linux__)
#include <sched.h>
#endif

#include "core/float_environment.h"

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
// and for one in a later plane at least L + 1 (i3+1) and L + 7 (i3+2). So:
//
//   plane i3 may run level L as soon as planes i3-1 and i3-2 have finished
//   every level below L. It never waits for a later plane, and an earlier
//   plane may be any number of levels ahead: its units of level >= L touch
//   nothing that plane i3's units of level L touch.
//
// Units of one plane are ordered by running that plane's levels in turn on
// one thread. Thread t of T owns planes t, t + T, ...; plane i3-1 of each of
// its planes belongs to thread t-1 (mod T), plane i3-2 to thread t-2 (mod T),
// so thread t runs its level L once those two threads have finished level
// L - 1 (for T = 2 the second is t itself; for T = 1 nothing is waited for).
// Waiting for whole threads is coarser than the rule (plane 0 waits needlessly,
// plane i3-2 only needs L - 7) but never wrong, and a thread is never waited
// for by one that it waits for at the same level, so the slowest thread can
// always run: no deadlock. Thread counts above n3 are cut to n3, so every
// thread owns a plane and "the planes before" are always someone's.
//
// Why planes in turn and not one band of planes per thread: planes start 6
// levels apart but each spans chunks + 2*(n2-1) levels (265 at 128^3), so a
// second band of 64 planes could not start before the first had done about
// two thirds of its work. Dealt out in turn, the ~44 planes a level of 128^3
// touches are split evenly at every level, and each thread still fills its
// vectors with one level of all its planes in a single sweepRegion call. The
// price is that T threads move in near lock step (thread t needs t-1's last
// level, t-1 needs t-2's, ... round the ring), so a level costs the slower
// thread's share plus a wake-up.
//
// Scaling estimate (measured here, 2 cores, AVX-512, 128^3): the sweep takes
// about 47 ns per voxel, 99 ms over 1027 levels, ~96 us a level, ~0.56 us a
// unit. A level's work is 1 to 6 units per active plane, ~242 units in mid
// volume; per level the threads lose the imbalance of their shares (about
// one unit each) and the hand-over (~1 us). Start-up and drain: the first and
// last ~260 levels touch fewer planes (the wavefront enters and leaves the
// volume 6 levels a plane), about 10% of the work with T = 16 idle threads
// down to 1 at the very ends. Estimates for 128^3 (256x256x64 is better: its
// levels hold ~64 planes):
//   T = 8: ~30 units per thread per level, loss ~1 unit + 1 us per level and
//          ~5% start-up/drain: about 6.5x (vectors of 16 lanes in 2 groups
//          still nearly filled once a level is split 8 ways).
//   T = 16: ~15 units per thread per level, fewer than one full group of
//          32 on AVX-512, so vectors run half empty; with ~10% start-up and
//          drain: about 9 to 10x, and 256^3 (~88 planes a level) near 12x.
// Beyond that the level work per thread, not the synchronisation, limits.

// Per-thread progress, each on its own cache line so that a thread's
// publishing does not slow its neighbours' polling.
struct alignas(64) Progress {
  std::atomic<std::int64_t> levelsDone{0};
};

struct Wavefront {
  const sweep::SweepKernels* kernels;
  const sweep::SweepContext* context;
  std::int64_t levels;
  int planeRun;  // planes dealt out at a time
  // 0 until every worker has been started, then the thread count (which is
  // lower than planned if the system refused a thread).
  std::atomic<int> threads{0};
  Progress progress[kMaxSweepThreads];
};

inline void relax() {
#ifdef QUILLMERE_SWEEP_X86
  _mm_pause();
#endif
}

// Spins briefly (a level's hand-over is usually a few microseconds), then
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

void runWorker(Wavefront* w, int t) {
  const FloatEnvironmentGuard environment;
  const int count = waitUntil(w->threads, [](int n) { return n != 0; });
  const VolumeDims d = w->context->dims;
  const int run = w->planeRun;
  const int before1 = (t + count - 1) % count;
  const int before2 = run >= 2 ? before1 : (t + count - 2) % count;
  sweep::SweepRegion region{t * run, d.n3, 0, d.n2, 0, 0};
  region.planeStep = count * run;
  region.planeRun = run;
  std::int64_t level = 0;
  while (level < w->levels) {
    // Levels up to `ready` may run now: the threads owning the planes before
    // ours have finished every level below it.
    std::int64_t ready = w->levels - 1;
    if (count > 1) {
      const auto past = [level](std::int64_t done) { return done >= level; };
      const std::int64_t a = waitUntil(w->progress[before1].levelsDone, past);
      const std::int64_t b =
          before2 == t ? a : waitUntil(w->progress[before2].levelsDone, past);
      ready = a < b ? a : b;
      if (ready > w->levels - 1) ready = w->levels - 1;
    }
    for (; level <= ready; ++level) {
      region.levelBegin = level;
      region.levelEnd = level + 1;
      w->kernels->sweepRegion(*w->context, region);
      w->progress[t].levelsDone.store(level + 1, std::memory_order_release);
    }
  }
}

// The fewest voxels that pay for one more thread. Measured on this machine
// (2 cores, AVX-512, fast sweep ~47-57 ns per voxel), 1 thread against 2:
// see bench/bench_threads.cpp for the figures this comes from.
#ifdef QUILLMERE_DEFAULT_SWEEP_PATH
constexpr SweepPath kDefaultPath = SweepPath::QUILLMERE_DEFAULT_SWEEP_PATH;  // as updateVolume
#else
constexpr SweepPath kDefaultPath = SweepPath::Automatic;
#endif

constexpr double kMinVoxelsPerThread = 32768.0;

}  // namespace

namespace sweep {

void runWavefront(const SweepKernels& kernels, const SweepContext& context, int threads,
                  int planesPerRun) {
  const VolumeDims d = context.dims;
  const int run = planesPerRun < 1 ? 1 : planesPerRun;
  int planned = threads < 1 ? 1 : threads;
  if (planned > kMaxSweepThreads) planned = kMaxSweepThreads;
  // Every thread owns at least one plane.
  const std::int64_t runs = (static_cast<std::int64_t>(d.n3) + run - 1) / run;
  if (planned > runs) planned = static_cast<int>(runs);
  if (planned <= 1) {
    const FloatEnvironmentGuard environment;
    kernels.sweepRegion(context, wholeVolume(d));
    return;
  }
  Wavefront w;
  w.kernels = &kernels;
  w.context = &context;
  w.levels = levelCount(d);
  w.planeRun = run;
  std::thread workers[kMaxSweepThreads];
  int started = 1;  // the calling thread is worker 0
  for (; started < planned; ++started) {
    try {
      workers[started] = std::thread(runWorker, &w, started);
    } catch (const std::system_error&) {
      break;  // run on the threads we have; the planes are dealt out below
    }
  }
  w.threads.store(started, std::memory_order_release);
  runWorker(&w, 0);
  for (int t = 1; t < started; ++t) workers[t].join();
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
  sweep::runWavefront(kernels, context, threads, sweep::kPlanesPerRun);
}

void updateVolumeThreaded(MutableVolumeView out, const TensorField& tensor,
                          const GradientStencils& gradientStencils,
                          const HessianStencils& hessianStencils, float dt, VolumeDims dims,
                          int threadCount) {
  updateVolumeThreadedOnPath(kDefaultPath, out, tensor, gradientStencils,
                             hessianStencils, dt, dims, threadCount);
}

}  // namespace quillmere
