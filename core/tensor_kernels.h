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

// The Gaussian pass along axis 3 from a ring of planes: plane k of the
// volume (k clamped to 0 .. n3 - 1, the edge plane repeated past each face)
// is slot k % ringPlanes of the ring, and the pass writes, for the planes
// c = centre .. centre + count - 1 and the samples x in [begin, end),
// target(c)(x) = w[0] P_c(x) + sum_{t=1..radius} w[t] (P_{c-t}(x) + P_{c+t}(x))
// to target[(c - centre) targetStride + x - begin]. Sample x = i1 + rowLength
// i2 of a slot is at ring + slot slotStride + i2 rowStride + i1: a planar
// ring has rowStride = rowLength and slotStride its plane, an interleaved
// one holds row i2 of every slot together (slotStride = rowLength,
// rowStride = ringPlanes rowLength), so that the pass reads one contiguous
// block per row rather than a stream per plane. Neighbouring planes are done
// together, so that each plane of the ring is read from memory once for
// all of them. The
// same pass smooths along axis 2 over a ring of rows (one row per slot, a
// row of samples [0, rowLength)).
constexpr int kAcrossPlanes = 16;

struct AcrossPass {
  const double* ring;
  std::int64_t slotStride;
  std::int64_t ringPlanes;
  std::int64_t n3;
  std::int64_t centre;
  int count;              // 1 .. kAcrossPlanes
  const double* weights;  // radius + 1 weights, w[0] the centre
  std::int32_t radius;
  std::int64_t begin, end;
  std::int64_t rowLength, rowStride;
  std::int64_t targetStride;
};

using AcrossKernel = void (*)(const AcrossPass& pass, double* target);

// One plane of rows [0, n2) of n1 samples each, smoothed along axis 1 and
// then along axis 2 by the Gaussian passes (out(j) = w[0] x(j) +
// sum_{t=1..radius} w[t] (x(j-t) + x(j+t)), the edge sample repeated past
// each face; radius 0 with w[0] = 1 leaves a sample as it is), from one of
// two sources:
//  - u != null: the plane of u (rows n1 apart), widened to double; one
//    component, to target[0];
//  - otherwise the gradient of u_sigma at the plane (central differences,
//    the edge sample repeated past each face; g_a = (s(+1) - s(-1)) scale[a]
//    with scale[a] = 0.5 / h_a) and its six products g1 g1, g1 g2, g1 g3,
//    g2 g2, g2 g3, g3 g3, to target[0..5]; below and above are the planes
//    either side along axis 3 (the plane itself at a face), rows
//    sourceRowStride apart.
// Rows of the targets are targetRowStride apart. A row is produced, then
// smoothed along axis 1 from a line in `scratch` into a ring of rows in
// `scratch`, and the ring is smoothed along axis 2 (an AcrossPass) into the
// target, kAcrossPlanes rows at a time, so that a plane's intermediate
// values stay in the cache. `scratch` holds planeScratchDoubles doubles.
struct PlanePass {
  const float* u;
  const double* plane;
  const double* below;
  const double* above;
  std::int64_t sourceRowStride;
  double scale[3];
  std::int64_t n1, n2;
  const double* weights[2];  // along axes 1 and 2, radius + 1 weights each
  std::int32_t radius[2];
  double* target[6];
  std::int64_t targetRowStride;
  double* scratch;
};

// Doubles in a cache line, and n rounded up to whole lines.
constexpr std::int64_t kAlignDoubles = 8;
std::int64_t alignedDoubles(std::int64_t n);

// The rows of the ring along axis 2 and the scratch of a PlanePass of six
// components with radii up to r1 and r2 along axes 1 and 2 (the ring's rows
// on whole cache lines when the scratch starts on one).
std::int64_t planeRingRows(std::int64_t n2, std::int64_t r2);
std::int64_t planeScratchDoubles(std::int64_t n1, std::int64_t n2, std::int64_t r1,
                                 std::int64_t r2);

using PlaneKernel = void (*)(const PlanePass& pass);

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

// The exponent field of a double; and the sum of the bits of 2^k and 2^-k
// (biased exponents 1023 + k and 1023 - k), so that 1 / 2^k is this less
// the bits of 2^k, exactly and without a division, for |k| < 1023.
constexpr std::uint64_t kExponentBits = 0x7FF0000000000000u;
constexpr std::uint64_t kReciprocalBits = std::uint64_t{2046} << 52;

// Whether the map takes the closed-form eigen-solve for the products
// j[0..5] (rather than Jacobi); the rule is the same on every path.
bool mapTakesClosedForm(const double* j);

// The step-size bound's sum at a voxel: with src = (t11, t22, t33, 2 t12,
// 2 t13, 2 t23 at the voxel, q1, q2, q3), each tap's weight is
// w = sum of weight * src[source] over the tap's terms (the nonzero
// second-derivative weights first, then the first-derivative ones, each in
// the order of src). The sum of |w| is taken over the taps of two or more
// terms in order, then, for k = 0..8, |src[k]| single[k] where single[k] is
// the sum of |weight| over the taps whose one term reads src[k] (|a b| =
// |a| |b| exactly; only the rounding of the sum differs from tap by tap).
// q_i = (c_i1 + c_i2) + c_i3, c_ij the sum over the nonzero weights of
// first-derivative stencil j, in tap order, of weight * T_ij at the tap.
// stableStepRadius may rewrite a tap's weights and q_i's scale only where
// every |w| keeps its bits (see the rules there).
struct RadiusTap {
  int termCount;
  int source[9];
  double weight[9];
};

struct RadiusPass {
  const float* t[6];             // t11, t12, t13, t22, t23, t33
  RadiusTap taps[kHessianTaps];  // those of two or more terms
  int tapCount;
  double single[9];
  int singleSource[9];  // the k with single[k] != 0, ascending
  int singleCount;
  double gradientWeight[3][kGradientTaps];  // the nonzero weights of stencil j
  int gradientTap[3][kGradientTaps];        // and their 3x3x3 taps
  int gradientTapCount[3];
  // Every stencil has two taps, weights -w and w with w > 0 a power of two
  // (central differences): see radiusSources.
  bool difference;
  // With it, w of stencil j for q_i (w times a power of two where every tap
  // reading q_i carries that factor; see stableStepRadius).
  double differenceWeight[3][3];
};

// Linear offsets of the first-derivative taps of a run of voxels, as
// gradientTap lists them, with the faces' clamping applied.
struct RadiusDeltas {
  std::int64_t delta[3][kGradientTaps];
};

// Voxels whose sum is NaN are left out: the largest sum of the n1 voxels of
// the row from linear index `row` on, or -1 when every one is NaN. Voxel 0
// takes deltas[0], voxels 1 .. n1 - 2 deltas[1], voxel n1 - 1 deltas[2].
using RadiusKernel = double (*)(const RadiusPass& pass, const RadiusDeltas* deltas,
                                std::int64_t row, std::int32_t n1);

struct TensorKernels {
  PlaneKernel plane;
  AcrossKernel across;
  MapKernel map;
  RadiusKernel radius;
};

// The kernels of a path, resolved as updateVolumeOnPath resolves it.
TensorKernels tensorKernelsFor(SweepPath path);

void planeOneLane(const PlanePass& pass);
void acrossOneLane(const AcrossPass& pass, double* target);
void mapOneLane(const MapPass& pass, std::int64_t begin, std::int64_t end);
double radiusOneLane(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                     std::int32_t n1);
void planeBaseline(const PlanePass& pass);
void acrossBaseline(const AcrossPass& pass, double* target);
void mapBaseline(const MapPass& pass, std::int64_t begin, std::int64_t end);
double radiusBaseline(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                      std::int32_t n1);
void planeAvx2(const PlanePass& pass);
void acrossAvx2(const AcrossPass& pass, double* target);
void mapAvx2(const MapPass& pass, std::int64_t begin, std::int64_t end);
double radiusAvx2(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                  std::int32_t n1);
void planeAvx512(const PlanePass& pass);
void acrossAvx512(const AcrossPass& pass, double* target);
void mapAvx512(const MapPass& pass, std::int64_t begin, std::int64_t end);
double radiusAvx512(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                    std::int32_t n1);

}  // namespace quillmere::tensor

#endif  // QUILLMERE_CORE_TENSOR_KERNELS_H
