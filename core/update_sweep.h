// One explicit step of tensor-driven diffusion, in place:
//
//   new u = u + dt * ( sum_ij T_ij d_i d_j u + sum_i (sum_j d_j T_ij) d_i u )
//
// with every derivative a caller-supplied stencil and taps clamped at the
// faces. Voxels are updated in increasing linear index and each one reads the
// volume as it stands at that moment, so taps behind the current voxel see
// already-updated values. At each voxel:
//
//   firstOrderTerm  = ((q1*g1) + (q2*g2)) + (q3*g3)
//   secondOrderTerm = s11*t11 + s22*t22 + s33*t33
//                     + (2*t12)*s12 + (2*t13)*s13 + (2*t23)*s23   (left to right)
//   out[e]          = (secondOrderTerm + firstOrderTerm) * dt + out[e]
//
// with the tensor read at the voxel itself. A new value that is NaN is stored
// as the one quiet NaN kCanonicalNaNBits: which NaN an x86 operation passes on
// depends on operand order, and compilers swap the operands of commutative
// operations at will, so without this the payload and sign of a NaN result
// would differ between builds. No allocation, no validation.
#ifndef QUILLMERE_CORE_UPDATE_SWEEP_H
#define QUILLMERE_CORE_UPDATE_SWEEP_H

#include <cstdint>
#include <cstring>

#include "core/stencil_sums.h"

namespace quillmere {

// The quiet NaN every NaN result is stored as (the host's own NaN).
constexpr std::uint32_t kCanonicalNaNBits = 0x7fc00000u;

// x, or the canonical quiet NaN when x is NaN.
inline float canonicalizeNaN(float x) {
  if (x != x) {
    float nan;
    std::memcpy(&nan, &kCanonicalNaNBits, sizeof nan);
    return nan;
  }
  return x;
}

// Steps `out` (which holds u on entry) by dt. Preconditions: out and every
// tensor component have extents `dims`, with fewer than 2^31 samples; the
// stencils hold 27 / 125 weights. Any extent <= 0 reads and writes nothing.
//
// Runs the fastest sweep this processor supports (see SweepPath); every path
// gives the same bits as updateVolumePlain. Allocates nothing.
void updateVolume(MutableVolumeView out, const TensorField& tensor,
                  const GradientStencils& gradientStencils, const HessianStencils& hessianStencils,
                  float dt, VolumeDims dims);

// The ways the sweep can be run. All give the same bits; they differ only in
// speed and in the instructions they need.
//   Automatic: the fastest path the processor and operating system support.
//   Plain:     updateVolumePlain, voxel by voxel.
//   Baseline:  the vector sweep on SSE2, which every x86-64 processor has.
//   Avx2:      the vector sweep on 256-bit AVX2 registers.
//   Avx512:    the vector sweep on 512-bit AVX-512F registers.
// Off x86-64 only Plain exists, and the vector paths fall back to it.
//
// updateVolume runs Automatic: the path is chosen at run time, in one place
// (sweepKernelsFor). Tests reach every path through updateVolumeOnPath.
enum class SweepPath { Automatic, Plain, Baseline, Avx2, Avx512 };

// Whether this processor can run the path (Automatic and Plain always can;
// the vector paths also need the operating system to save their registers).
bool sweepPathSupported(SweepPath path);

// The concrete path that Automatic stands for on this processor.
SweepPath selectedSweepPath();

// "automatic", "plain", "baseline", "avx2" or "avx512".
const char* sweepPathName(SweepPath path);

// updateVolume on a chosen path. A path this processor cannot run is replaced
// by the fastest supported path below it (Avx512 -> Avx2 -> Baseline), so the
// call always completes; tests ask sweepPathSupported first. On shapes where
// vectors cannot be filled (rows of at most 4 voxels, or a thin column or
// line with only a few voxels per wavefront step) every vector path runs the
// plain sweep, which is faster there.
void updateVolumeOnPath(SweepPath path, MutableVolumeView out, const TensorField& tensor,
                        const GradientStencils& gradientStencils,
                        const HessianStencils& hessianStencils, float dt, VolumeDims dims);

// The plain voxel-by-voxel sweep, written to mirror the definition above
// line for line. It is the reference every faster path must match bit for
// bit; same contract as updateVolume.
void updateVolumePlain(MutableVolumeView out, const TensorField& tensor,
                       const GradientStencils& gradientStencils,
                       const HessianStencils& hessianStencils, float dt, VolumeDims dims);

}  // namespace quillmere

#endif  // QUILLMERE_CORE_UPDATE_SWEEP_H
