// Internal to the core: the tensor's units of work and their per-ISA
// kernels. Not part of the public interface (core/structure_tensor.h is).
//
// Each kernel is written once, in core/tensor_kernel_body.h, as a template
// over a small vector of doubles; the per-ISA files instantiate it with
// their vector type, and the one-lane form (a double for a vector) runs the
// tails and the Plain path. Every lane runs the same operations in the same
// order, so all paths give the same bits.
#ifndef QUILLMERE_CORE_TENSOR_KERNELS_H
#define QUILLMERE_CORE_TENSOR_KERNELS_H

#include <cstdint>

#include "core/structure_tensor.h"
#include "core/sweep_kernels.h"

namespace quillmere::tensor {

// Columns of axis 1 that one line group of an axis-2 or axis-3 pass carries
// side by side (one cache line of doubles).
constexpr int kBlockColumns = 8;

// One separable Gaussian pass, in place, along `axis` (1, 2 or 3) of `data`:
// out(j) = w[0] x(j) + sum_{t=1..radius} w[t] (x(j-t) + x(j+t)), the edge
// sample repeated past each face. Its items are the lines along axis 1, or
// the groups of kBlockColumns lines along axis 2 or 3; a kernel smooths
// items [begin, end) with a line buffer of lineBufferDoubles doubles.
struct SmoothPass {
  double* data;
  VolumeDims dims;
  int axis;
  const double* weights;  // radius + 1 weights, w[0] the centre
  std::int32_t radius;
};

std::int64_t smoothItemCount(const SmoothPass& pass);
std::int64_t lineBufferDoubles(VolumeDims dims, std::int64_t radius);

using SmoothKernel = void (*)(const SmoothPass& pass, std::int64_t begin, std::int64_t end,
                              double* buffer);

// Per voxel: the smoothed products j[0..5] (J11, J12, J13, J22, J23, J33)
// mapped to the tensor of `kind` and rounded to single into out[0..5].
struct MapPass {
  const double* j[6];
  float* out[6];
  TensorKind kind;
  double alpha;
  double oneMinusAlpha;
  double c;
  double lambdaSquared;
};

using MapKernel = void (*)(const MapPass& pass, std::int64_t begin, std::int64_t end);

struct TensorKernels {
  SmoothKernel smooth;
  MapKernel map;
};

// The kernels of a path, resolved as updateVolumeOnPath resolves it.
TensorKernels tensorKernelsFor(SweepPath path);

void smoothOneLane(const SmoothPass& pass, std::int64_t begin, std::int64_t end, double* buffer);
void mapOneLane(const MapPass& pass, std::int64_t begin, std::int64_t end);
void smoothBaseline(const SmoothPass& pass, std::int64_t begin, std::int64_t end, double* buffer);
void mapBaseline(const MapPass& pass, std::int64_t begin, std::int64_t end);
void smoothAvx2(const SmoothPass& pass, std::int64_t begin, std::int64_t end, double* buffer);
void mapAvx2(const MapPass& pass, std::int64_t begin, std::int64_t end);
void smoothAvx512(const SmoothPass& pass, std::int64_t begin, std::int64_t end, double* buffer);
void mapAvx512(const MapPass& pass, std::int64_t begin, std::int64_t end);

}  // namespace quillmere::tensor

#endif  // QUILLMERE_CORE_TENSOR_KERNELS_H
