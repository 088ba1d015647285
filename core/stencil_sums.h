// The twelve stencil sums of one voxel.
//
// Every product and sum is a separately rounded single-precision operation,
// taken strictly in weight order m, accumulators starting at +0.0. Zero
// weights are still multiplied, so a NaN or infinity under a zero weight
// still reaches the sum. Nothing is validated: the views must share extents
// that are all at least 1, and the stencils must hold 27 / 125 weights.
#ifndef QUILLMERE_CORE_STENCIL_SUMS_H
#define QUILLMERE_CORE_STENCIL_SUMS_H

#include "core/volume_grid.h"

namespace quillmere {

// g_i = sum_m k_i[m] * u(tap m)
// q_r = sum_m ((t_r1*k1[m] + t_r2*k2[m]) + t_r3*k3[m]) at tap m
struct FirstOrderSums {
  float g1, g2, g3;
  float q1, q2, q3;
};

// s_ij = sum_m k_ij[m] * u(tap m) over the 125 taps of the 5x5x5 stencil.
struct SecondOrderSums {
  float s11, s22, s33;
  float s12, s13, s23;
};

// The 27-tap pass at voxel (i1, i2, i3): derivatives of u and the
// divergences of the three tensor rows, all read at the same clamped taps.
FirstOrderSums evaluateFirstOrderSums(VolumeView u, const TensorField& tensor,
                                      const GradientStencils& stencils, std::int32_t i1,
                                      std::int32_t i2, std::int32_t i3);

// The 125-tap pass at voxel (i1, i2, i3): second derivatives of u only.
SecondOrderSums evaluateSecondOrderSums(VolumeView u, const HessianStencils& stencils,
                                        std::int32_t i1, std::int32_t i2, std::int32_t i3);

}  // namespace quillmere

#endif  // QUILLMERE_CORE_STENCIL_SUMS_H
