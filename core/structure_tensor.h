// The structure tensor of a volume, the diffusion tensors built on it, and
// the step-size bound of a step: the heavy work behind quillmere_tensor and
// quillmere_max_dt, host-free.
//
// Tensor, in this order (all arithmetic in double, one rounding to single at
// the end):
//   1. u_sigma: u smoothed with a sampled Gaussian of std. dev. sigma / h_a
//      along axes 1, 2, 3 in turn (radius ceil(3 sigma / h_a), weights
//      normalised to sum 1, taps past a face repeat the edge sample);
//   2. g_a = (u_sigma(+1) - u_sigma(-1)) (0.5 / h_a), the edge sample
//      repeated past each face;
//   3. the six products g_a g_b, each smoothed like step 1 with rho;
//   4. per voxel: 'structure' stores J as it is; 'ced' and 'eed' take the
//      eigen-decomposition of J and store sum_k f(mu_k) P_k with the
//      eigenvalue maps of toolbox/quillmere_tensor.m. Where the eigenvalues
//      are spread out (p > 2^-10 of the power of two at or below J's largest
//      entry, p the deviator's spread) in closed form: the eigenvalue at the better separated end
//      of the spectrum from the characteristic cubic, its projector from
//      the adjugate of J - mu I, the other two through the rest of J
//      without eigenvectors; elsewhere (near-isotropic J) by four sweeps of
//      cyclic Jacobi, each rotation by one of three rules chosen per voxel
//      (see core/tensor_kernel_body.h). The rule is the voxel's own. The
//      map is a function of the eigenvalues applied to the projectors, so
//      neither the sign nor the order of eigenvectors, nor the basis chosen
//      within a repeated eigenvalue, changes the result beyond rounding.
// The volume is taken plane by plane along axis 3 (see tensorScratchDoubles).
//
// Every voxel's result is computed by one fixed sequence of IEEE operations
// (+, -, *, /, sqrt and comparisons; exp and cos(acos(x) / 3) are our own
// polynomials, never the platform's), so the bits do not depend on the thread count, the vector
// path or the platform. Runs under FloatEnvironmentGuard on every thread. A
// NaN result is stored as the canonical quiet NaN.
#ifndef QUILLMERE_CORE_STRUCTURE_TENSOR_H
#define QUILLMERE_CORE_STRUCTURE_TENSOR_H

#include <cstddef>
#include <cstdint>

#include "core/update_sweep.h"
#include "core/volume_grid.h"

namespace quillmere {

enum class TensorKind { Structure, Coherence, Edge };

struct TensorParameters {
  TensorKind kind;
  double sigma;       // pre-smoothing scale (length units); <= 0: none
  double rho;         // integration scale (length units); <= 0: none
  double spacing[3];  // grid spacing h_1, h_2, h_3, each > 0
  double alpha;       // 'ced': smallest eigenvalue
  double c;           // 'ced': coherence threshold
  double lambda;      // 'eed': contrast
};

// Largest Gaussian radius (in samples) the core accepts: the line buffers
// grow with it, and a wider kernel is the same as a constant on any volume
// that fits in memory.
constexpr std::int64_t kMaxGaussianRadius = 1 << 20;

// ceil(3 * sigma / h): the taps on each side of the sampled Gaussian; 0 when
// sigma <= 0 (no smoothing). May exceed kMaxGaussianRadius (callers refuse).
std::int64_t gaussianRadius(double sigma, double h);

// exp(x) for x <= 0 from +, -, * only (exact on no platform, identical on
// all): relative error below 1e-13; arguments below -200 give exp(-200).
double expNonPositive(double x);

// The one scratch computeTensor needs, in doubles: the Gaussian weights of
// sigma and rho along the three axes, and per worker (one per thread, each
// taking a slab of planes along axis 3 at least as thick as its product
// rings and within it a band of rows along axis 2 at least twice as wide as
// the passes' reach along axis 2, so small volumes get fewer) rings of
// planes (of the band and the rows its passes reach), each stage keeping
// only the planes the next one still reads:
// u smoothed along axes 1 and 2 (2 r_sigma + 1 planes, r_sigma the radius
// along axis 3), u_sigma (3 planes), the six products smoothed along axes 1
// and 2 (2 r_rho + 16 planes each); J for 512 samples of 16 planes; and the
// in-plane passes' lines and rings of rows (2 r + 16 rows of the six
// products, r their radius along axis 2). With several slabs, also the
// r_rho planes of the six smoothed products each side of each boundary
// between slabs, which one worker computes and both read (13.8 MB per
// boundary at 128^3 with the 'ced' defaults, about half a worker's own
// rings). No ring holds more planes
// than the volume. At 128^3 with the defaults of 'ced' (sigma 1, rho 3)
// about 28.7 MB per worker (the seven whole volumes taken before the rings
// were 118 MB). Any alignment; the workers' share starts on a cache line. Extents
// >= 1 and radii within kMaxGaussianRadius.
std::size_t tensorScratchDoubles(VolumeDims dims, const TensorParameters& parameters, int threads);

// Takes and returns the scratch. On Linux the block is aligned to 2 MB and
// offered to the kernel for huge pages: the scratch is fresh memory on every
// call, and touching it in 4 KB pages costs page faults. Elsewhere plain
// malloc. Null when the
// memory is not there (or the size overflows).
double* allocateTensorScratch(std::size_t doubles);
void freeTensorScratch(double* scratch);

// Writes the six components t11, t12, t13, t22, t23, t33 of the tensor of
// `u` into out[0..5] (each n1*n2*n3 floats, not overlapping u). `scratch`
// holds tensorScratchDoubles(dims, parameters, threads) doubles. threads < 1
// counts as 1. `path` chooses the vector code as for updateVolumeOnPath
// (Automatic: the fastest supported); every path gives the same bits.
void computeTensor(const float* u, VolumeDims dims, const TensorParameters& parameters,
                   float* const out[6], double* scratch, int threads,
                   SweepPath path = SweepPath::Automatic);

// The bound R of quillmere_max_dt: the largest, over voxels, of
// sum_o |w(o)| with w(o) = sum_{i<=j} c_ij T_ij k_ij(o) + sum_i q_i k_i(o)
// (c_ii = 1, c_ij = 2, q_i = sum_j of stencil k_j correlated with T_ij, taps
// clamped), in double. Weights that are zero take no part; the offsets o
// whose w has one term are summed per term (core/tensor_kernels.h). Voxels where the
// sum is NaN are left out: NaN when every voxel's is; 0 for an empty volume.
// Each voxel's sum is one fixed sequence of operations and the maximum is
// exact, so neither the thread count nor the path can change the result.
double stableStepRadius(const TensorField& tensor, const GradientStencils& gradientStencils,
                        const HessianStencils& hessianStencils, VolumeDims dims, int threads,
                        SweepPath path = SweepPath::Automatic);

// The data range max(u) - min(u) behind the default C and lambda of
// quillmere_tensor, as its M-code takes it: double(max) - double(min) over
// the samples that are not NaN (as the hosts' max and min skip NaN); NaN when
// every sample is NaN, 0 when there is none. Ties among zeros of either sign
// cannot change it (equal extremes are one sample, and x - x is +0).
double dataRange(const float* u, std::size_t count);

}  // namespace quillmere

#endif  // QUILLMERE_CORE_STRUCTURE_TENSOR_H
