// Volume layout, views and the clamped-tap rule shared by the whole core.
//
// Volumes are column-major single-precision arrays: the sample of voxel
// (i1, i2, i3) lies at i1 + N1*i2 + (N1*N2)*i3, axis 1 fastest. All index
// arithmetic is signed 32-bit, so a volume must hold fewer than 2^31 samples,
// and no extent may exceed kMaxExtent.
//
// Stencils are flat runs of weights laid out like small column-major volumes
// with the centre in the middle: weight m = a + 3b + 9c of a 3x3x3 stencil
// belongs to offset (a-1, b-1, c-1); weight m = a + 5b + 25c of a 5x5x5
// stencil to offset (a-2, b-2, c-2). Stencils are applied as correlations.
#ifndef QUILLMERE_CORE_VOLUME_GRID_H
#define QUILLMERE_CORE_VOLUME_GRID_H

#include <cstdint>

#include "core/arithmetic_rules.h"

namespace quillmere {

// Extents along axes 1 (fastest), 2 and 3 (slowest).
struct VolumeDims {
  std::int32_t n1;
  std::int32_t n2;
  std::int32_t n3;
};

// Read-only, non-owning view of n1*n2*n3 samples.
struct VolumeView {
  const float* samples;
  VolumeDims dims;
};

// The one writable view of a call: the volume being stepped.
struct MutableVolumeView {
  float* samples;
  VolumeDims dims;
};

// The six distinct components of a symmetric 3x3 tensor per voxel;
// t12, t13, t23 also stand for t21, t31, t32. Every view has the extents of
// the stepped volume.
struct TensorField {
  VolumeView t11;
  VolumeView t12;
  VolumeView t13;
  VolumeView t22;
  VolumeView t23;
  VolumeView t33;
};

// First-derivative stencils of directions 1, 2, 3: 27 weights each.
struct GradientStencils {
  const float* k1;
  const float* k2;
  const float* k3;
};

// Second-derivative stencils, 125 weights each. Note the order: the diagonal
// pairs first, unlike the tensor components.
struct HessianStencils {
  const float* k11;
  const float* k22;
  const float* k33;
  const float* k12;
  const float* k13;
  const float* k23;
};

// Largest extent along any axis. Every path forms a coordinate plus a tap
// offset or a short look-ahead along a row (a few dozen at most) in 32 bits;
// this leaves that room below 2^31. The gateway refuses longer axes.
constexpr std::int32_t kMaxExtent = 2147483647 - 64;

constexpr int kGradientTaps = 27;
constexpr int kHessianTaps = 125;

// Edge rule: hi when i > hi, else 0 when i < 0, else i. hi is the extent of
// the axis minus one. The upper bound is tested first, which only shows on an
// empty axis (hi = -1), where no tap is ever addressed.
inline std::int32_t clampIndex(std::int32_t i, std::int32_t hi) {
  return i > hi ? hi : (i < 0 ? 0 : i);
}

// Column-major index i1 + N1*i2 + (N1*N2)*i3, in signed 32-bit arithmetic.
inline std::int32_t linearIndex(std::int32_t i1, std::int32_t i2, std::int32_t i3,
                                VolumeDims dims) {
  return i1 + dims.n1 * i2 + (dims.n1 * dims.n2) * i3;
}

// clampIndex(i + d, hi), with the sum formed in 64 bits: on an axis close to
// 2^31 long, i + d would pass the largest 32-bit integer.
inline std::int32_t clampTap(std::int32_t i, std::int32_t d, std::int32_t hi) {
  const std::int64_t j = static_cast<std::int64_t>(i) + d;
  return j > hi ? hi : (j < 0 ? 0 : static_cast<std::int32_t>(j));
}

// Index of the sample read by the tap at offset (d1, d2, d3) from voxel
// (i1, i2, i3): each axis clamped on its own, so a tap past a corner reads
// the corner.
inline std::int32_t tapIndex(std::int32_t i1, std::int32_t i2, std::int32_t i3, std::int32_t d1,
                             std::int32_t d2, std::int32_t d3, VolumeDims dims) {
  return linearIndex(clampTap(i1, d1, dims.n1 - 1), clampTap(i2, d2, dims.n2 - 1),
                     clampTap(i3, d3, dims.n3 - 1), dims);
}

}  // namespace quillmere

#endif  // QUILLMERE_CORE_VOLUME_GRID_H
