// The sweep on several threads, with the plain sweep's bits.
//
// The planes are cut into bands, dealt out to the threads in turn; each
// thread runs its bands through the vector sweep's levels
// (core/sweep_kernels.h), a band's level once the band before it has
// finished the level before (a pipeline; the rule is written out in
// core/threaded_sweep.cpp). Every voxel reads exactly the values it reads in
// the plain sweep, whatever the thread count, the shape or the path.
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

// Runs the whole volume of `context` through `kernels` on `threads` threads
// (the caller's thread is one of them; never more than there are bands or
// kMaxSweepThreads), in bands of planesPerBand planes (0: the default,
// n3 / (8 * threads) between 1 and 16), with no size threshold: for
// updateVolumeThreaded, and for tests that must reach every thread count
// and band size on any shape. Extents all >= 1.
void runWavefront(const SweepKernels& kernels, const SweepContext& context, int threads,
                  int planesPerBand);

}  // namespace sweep
}  // namespace quillmere

#endif  // QUILLMERE_CORE_THREADED_SWEEP_H
