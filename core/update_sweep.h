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
// with the tensor read at the voxel itself. No allocation, no validation.
#ifndef QUILLMERE_CORE_UPDATE_SWEEP_H
#define QUILLMERE_CORE_UPDATE_SWEEP_H

#include "core/stencil_sums.h"

namespace quillmere {

// Steps `out` (which holds u on entry) by dt. Preconditions: out and every
// tensor component have extents `dims`, with fewer than 2^31 samples; the
// stencils hold 27 / 125 weights. Any extent <= 0 reads and writes nothing.
void updateVolume(MutableVolumeView out, const TensorField& tensor,
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
