// The sweep on several threads, with the plain sweep's bits.
//
// Threads take the planes of the volume in turn (thread t of T owns planes
// t, t + T, t + 2T, ...) and each runs its planes through the vector sweep's
// levels (core/sweep_kernels.h), waiting only on the progress counters of the
// threads that own the one or two planes before each of its own. Every voxel
// reads exactly the values it reads in the plain sweep, whatever the thread
// count, the shape or the path.
//
// Workers are std::threads started by the call and joined before it returns;
// nothing outlives the call (no pool, no static state), so the library may
// be unloaded at any time between calls. Each worker sweeps under its own
// FloatEnvironmentGuard: round to nearest, subnormals kept, whatever state
// it inherited. Allocates nothing beyond the thread objects themselves.
#ifndef QUILLMERE_CORE_THREADED_SWEEP_H
#define QUILLMERE_CORE_THREADED_SWEEP_H

#include "core/sweep_kernels.h"
#include "core/update_sweep.h"

namespace quillmere {

// Most threads one sweep will use, whatever it is asked for.
constexpr int kMaxSweepThreads = 64;

// updateVolume on up to threadCount threads (values below 1 count as 1).
// Uses fewer where threads do not pay: see sweepThreadCount. Same contract
// and same bits as updateVolumePlain.
void updateVolumeThreaded(MutableVolumeView out, const TensorField& tensor,
                          const GradientStencils& gradientStencils,
                          const HessianStencils& hessianStencils, float dt, VolumeDims dims,
                          int threadCount);

// The same on a chosen path (see updateVolumeOnPath).
void updateVolumeThreadedOnPath(SweepPath path, MutableVolumeView out, const TensorField& tensor,
                                const GradientStencils& gradientStencils,
                                const HessianStencils& hessianStencils, float dt,
                                VolumeDims dims, int threadCount);

// How many threads updateVolumeThreaded uses on this shape when allowed
// `requested`: 1 for small volumes and for shapes the vector sweep leaves to
// the plain one, otherwise at most one thread per plane and per
// kMinVoxelsPerThread voxels, and never more than kMaxSweepThreads.
int sweepThreadCount(VolumeDims dims, int requested);

// The processors this process may run on (its affinity mask on Linux and
// Windows, else what the standard library reports), at least 1, at most
// kMaxSweepThreads: the thread count when the host has no setting.
int processorsAvailable();

// The threads to use under a host's compute-thread setting (MATLAB's
// maxNumCompThreads, Octave's nproc): the setting rounded down, at most
// kMaxSweepThreads; when it is below 1, NaN or infinite (no usable setting),
// processorsAvailable().
int threadsForHostSetting(double setting);

namespace sweep {

// Planes dealt out to a thread at a time (see core/threaded_sweep.cpp).
constexpr int kPlanesPerRun = 1;

// Runs the whole volume of `context` through `kernels` on `threads` threads
// (the caller's thread is one of them; fewer when there are fewer runs of
// planesPerRun planes than threads, never more than kMaxSweepThreads), with
// no size threshold: for updateVolumeThreaded, and for tests that must reach
// every thread count and run length on any shape. Extents all >= 1.
void runWavefront(const SweepKernels& kernels, const SweepContext& context, int threads,
                  int planesPerRun);

}  // namespace sweep
}  // namespace quillmere

#endif  // QUILLMERE_CORE_THREADED_SWEEP_H
