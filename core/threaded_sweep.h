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
                                const HessianStencils& hessianStencils, float dt, VolumeDims dims,
                                int threadCount);

// One step from u into out: out receives u's samples, then the same sweep as
// updateVolumeThreaded, with the same bits, but with work in proportion to
// the stencils' non-zero weights: products with a weight of +0 or -0 are
// left out where that cannot change a bit. If the sweep meets an infinite
// or NaN value (in u, in the tensor, or made on the way), it starts again
// from u with every tap, so such steps cost about twice a dense one. u is
// only read; u and out must not overlap unless they are the same array, in
// which case every tap is run (there is no copy to start again from). Sets
// the floating-point environment it needs (FloatEnvironmentGuard) itself.
void stepVolumeThreaded(VolumeView u, MutableVolumeView out, const TensorField& tensor,
                        const GradientStencils& gradientStencils,
                        const HessianStencils& hessianStencils, float dt, VolumeDims dims,
                        int threadCount);

// The same on a chosen path (see updateVolumeOnPath; Plain runs the lists on
// one lane).
void stepVolumeThreadedOnPath(SweepPath path, VolumeView u, MutableVolumeView out,
                              const TensorField& tensor, const GradientStencils& gradientStencils,
                              const HessianStencils& hessianStencils, float dt, VolumeDims dims,
                              int threadCount);

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
// processorsAvailable() (more threads than processors wait on each other);
// when it is below 1, NaN or infinite (no usable setting),
// processorsAvailable().
int threadsForHostSetting(double setting);

}  // namespace quillmere

#endif  // QUILLMERE_CORE_THREADED_SWEEP_H
