#include "core/stencil_sums.h"

namespace quillmere {

FirstOrderSums evaluateFirstOrderSums(VolumeView u, const TensorField& tensor,
                                      const GradientStencils& stencils, std::int32_t i1,
                                      std::int32_t i2, std::int32_t i3) {
  FirstOrderSums f{0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  const VolumeDims dims = u.dims;
  int m = 0;
  for (std::int32_t c = 0; c < 3; ++c) {
    for (std::int32_t b = 0; b < 3; ++b) {
      for (std::int32_t a = 0; a < 3; ++a, ++m) {
        const std::int32_t e = tapIndex(i1, i2, i3, a - 1, b - 1, c - 1, dims);
        const float U = u.samples[e];
        const float w1 = stencils.k1[m];
        const float w2 = stencils.k2[m];
        const float w3 = stencils.k3[m];
        const float t11 = tensor.t11.samples[e];
        const float t12 = tensor.t12.samples[e];
        const float t13 = tensor.t13.samples[e];
        const float t22 = tensor.t22.samples[e];
        const float t23 = tensor.t23.samples[e];
        const float t33 = tensor.t33.samples[e];
        f.g1 += U * w1;
        f.g2 += U * w2;
        f.g3 += U * w3;
        // Each tap term is formed in full before it meets its accumulator.
        f.q1 += (t11 * w1 + t12 * w2) + t13 * w3;
        f.q2 += (t12 * w1 + t22 * w2) + t23 * w3;
        f.q3 += (t13 * w1 + t23 * w2) + t33 * w3;
      }
    }
  }
  return f;
}

SecondOrderSums evaluateSecondOrderSums(VolumeView u, const HessianStencils& stencils,
                                        std::int32_t i1, std::int32_t i2, std::int32_t i3) {
  SecondOrderSums s{0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  const VolumeDims dims = u.dims;
  int m = 0;
  for (std::int32_t c = 0; c < 5; ++c) {
    for (std::int32_t b = 0; b < 5; ++b) {
      for (std::int32_t a = 0; a < 5; ++a, ++m) {
        const float U = u.samples[tapIndex(i1, i2, i3, a - 2, b - 2, c - 2, dims)];
        s.s11 += U * stencils.k11[m];
        s.s22 += U * stencils.k22[m];
        s.s33 += U * stencils.k33[m];
        s.s12 += U * stencils.k12[m];
        s.s13 += U * stencils.k13[m];
        s.s23 += U * stencils.k23[m];
      }
    }
  }
  return s;
}

}  // namespace quillmere
