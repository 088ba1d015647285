#include "core/update_sweep.h"

namespace quillmere {

void updateVolumePlain(MutableVolumeView out, const TensorField& tensor,
                       const GradientStencils& gradientStencils,
                       const HessianStencils& hessianStencils, float dt, VolumeDims dims) {
  // An empty axis anywhere means no voxel: return before walking the empty
  // loops of the other two (a 0 x 65536 x 46340 volume would spin for seconds).
  if (dims.n1 <= 0 || dims.n2 <= 0 || dims.n3 <= 0) {
    return;
  }
  const VolumeView current{out.samples, dims};
  for (std::int32_t i3 = 0; i3 < dims.n3; ++i3) {
    for (std::int32_t i2 = 0; i2 < dims.n2; ++i2) {
      for (std::int32_t i1 = 0; i1 < dims.n1; ++i1) {
        const std::int32_t e = linearIndex(i1, i2, i3, dims);
        const FirstOrderSums f =
            evaluateFirstOrderSums(current, tensor, gradientStencils, i1, i2, i3);
        // Starts from the products themselves, not from +0.0.
        const float firstOrderTerm = ((f.q1 * f.g1) + (f.q2 * f.g2)) + (f.q3 * f.g3);
        const SecondOrderSums s = evaluateSecondOrderSums(current, hessianStencils, i1, i2, i3);
        float secondOrderTerm = s.s11 * tensor.t11.samples[e];
        secondOrderTerm = secondOrderTerm + s.s22 * tensor.t22.samples[e];
        secondOrderTerm = secondOrderTerm + s.s33 * tensor.t33.samples[e];
        // The doubled component is formed first; 2*(t12*s12) can differ when
        // the product is subnormal.
        secondOrderTerm = secondOrderTerm + (2.0f * tensor.t12.samples[e]) * s.s12;
        secondOrderTerm = secondOrderTerm + (2.0f * tensor.t13.samples[e]) * s.s13;
        secondOrderTerm = secondOrderTerm + (2.0f * tensor.t23.samples[e]) * s.s23;
        const float total = secondOrderTerm + firstOrderTerm;
        out.samples[e] = canonicalizeNaN(total * dt + out.samples[e]);
      }
    }
  }
}

}  // namespace quillmere
