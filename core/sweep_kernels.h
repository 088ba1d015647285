// Internal to the core: the vector sweep's units of work and its per-ISA
// kernels. Not part of the public interface (core/update_sweep.h is).
//
// How the vector sweep keeps the plain sweep's bits
// -------------------------------------------------
// Each voxel's sums are serial chains in weight order, and a voxel reads its
// row's two previous voxels as already updated, so the voxels of one row must
// be done one after the other. The vector sweep therefore puts different rows
// side by side in the lanes of a vector, never neighbouring voxels of a row:
// every lane runs exactly the plain sequence of operations for its own voxel.
//
// A row is cut into chunks of kChunkColumns voxels; a unit of work is one
// chunk of one row, (k, i2, i3). The unit needs rows i2-2..i2+2 of planes
// i3-2..i3+2 over columns [k*C - 2, k*C + C + 2): earlier rows already
// updated there, later rows not yet touched. Giving each unit the level
//
//     level = k + 2*i2 + 6*i3
//
// orders every unit after all units it must see updated, and before all
// units that must see it unchanged, while units of one level never read what
// another writes (C >= 2 suffices; the proof is one line per neighbour: the
// nearest dependent unit, (k+1, i2+2, i3-1), sits at level - 1). Running the
// levels in increasing order, the units of each level in any order and any
// grouping, reproduces the plain sweep bit for bit.
//
// A group of W units (the lanes) reads its rows into a transposed stage
// (column by column, lanes innermost), runs its C voxels on it, writes each
// lane's freshly updated values back into the stage as it goes (the only
// values a unit reads that change under it), and finally stores its row
// chunks. Clamped taps at the faces read the stage copies of the edge
// samples, which are kept current the same way: a neighbour row that clamps
// onto the lane's own row, and columns -2 and -1, which clamp onto column 0.
// The divergences q1..q3 read only the tensor; they are computed along each
// unit's row (neighbouring voxels side by side) and transposed into the
// stage. A group with fewer than oneByOneBelowVoxels voxels runs unit by
// unit through the same body on a one-lane "vector" (a float).
//
// Using the kernels from a threaded caller: resolve once with
// sweepKernelsFor(path), build one SweepContext, then call sweepRegion for
// pieces of the wavefront (see SweepRegion). Each call keeps its working
// stage on its own stack (about 100 KB for AVX-512, 30 KB for AVX2) and
// allocates nothing.
#ifndef QUILLMERE_CORE_SWEEP_KERNELS_H
#define QUILLMERE_CORE_SWEEP_KERNELS_H

#include <cstdint>

#include "core/update_sweep.h"

// The vector kernels exist on x86-64 only; elsewhere (or when built with
// QUILLMERE_NO_X86_KERNELS) every path is the plain sweep.
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(QUILLMERE_NO_X86_KERNELS)
#define QUILLMERE_SWEEP_X86 1
#endif

// For the per-ISA vector wrappers: keeps small register shuffles out of
// memory when the compiler would rather not inline them.
#if defined(__GNUC__)
#define QUILLMERE_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QUILLMERE_ALWAYS_INLINE __forceinline
#endif

namespace quillmere::sweep {

constexpr std::int32_t kChunkColumns = 12;

// One unit of work: chunk k of row (i2, i3).
struct SweepUnit {
  std::int32_t k, i2, i3;
};

// Raw pointers of one sweep: the stepped volume, the tensor in the order
// t11, t12, t13, t22, t23, t33, the stencils and dt. Extents all >= 1.
struct SweepContext {
  float* out;
  const float* tensor[6];
  const float* gradient[3];  // k1, k2, k3
  const float* hessian[6];   // k11, k22, k33, k12, k13, k23
  float dt;
  VolumeDims dims;
  // A group of units holding fewer voxels than this runs unit by unit on one
  // lane (runUnitsOneByOne) instead of in vectors. makeSweepContext sets
  // kOneByOneBelowVoxels; tests set 0 (always vectors) or a huge value
  // (always one by one) to reach both ways on any shape.
  int oneByOneBelowVoxels;
};

constexpr int kOneByOneBelowVoxels = 16;

// The units to run: planes [planeBegin, planeEnd), rows [rowBegin, rowEnd)
// of each, levels [levelBegin, levelEnd). A kernel runs them level by level.
//
// Its preconditions are the wavefront's: every unit of a lower level that a
// unit in the region depends on is done, and no unit of a higher level that
// must see the region unchanged has started. Examples:
//   - the whole volume: wholeVolume(dims);
//   - rows [a, b) of plane i3 (with planes < i3 and rows < a done, nothing
//     later touched): {i3, i3 + 1, a, b, 0, levelCount(dims)};
//   - a multi-threaded wavefront: each thread owns a band of at least two
//     planes and runs its band one level at a time ({bandBegin, bandEnd, 0,
//     n2, L, L + 1}), starting level L only when the bands just below and
//     just above have finished level L - 1 (per-band atomic level counters).
struct SweepRegion {
  std::int32_t planeBegin, planeEnd;
  std::int32_t rowBegin, rowEnd;
  std::int64_t levelBegin, levelEnd;
};

using SweepRegionKernel = void (*)(const SweepContext& context, const SweepRegion& region);

struct SweepKernels {
  SweepPath path;            // the concrete path: never Automatic
  int lanes;                 // rows side by side in one vector (1 for Plain)
  SweepRegionKernel sweepRegion;
};

// The kernels of a path, with Automatic and unsupported paths resolved as in
// updateVolumeOnPath. Resolve once, then call sweepRegion as often as needed.
// Plain's sweepRegion runs updateVolumePlain when the region is the whole
// volume, and the one-lane kernel (same bits, wavefront order) otherwise.
SweepKernels sweepKernelsFor(SweepPath path);

SweepContext makeSweepContext(MutableVolumeView out, const TensorField& tensor,
                              const GradientStencils& gradientStencils,
                              const HessianStencils& hessianStencils, float dt, VolumeDims dims);

std::int32_t chunkCount(VolumeDims dims);   // chunks per row
std::int64_t levelCount(VolumeDims dims);   // levels of the whole volume
SweepRegion wholeVolume(VolumeDims dims);

// Planes per band when updateVolumeOnPath sweeps a volume band after band:
// the fewest (at least 4, at most n3) whose levels hold about three vectors
// of units each on average, so the working set of a level stays small.
std::int32_t bandPlanes(VolumeDims dims, int lanes);

// Whether the vector sweep beats the plain one on this shape. It pays per
// group for transposes and per unit for clamped copies of the rows, so it
// loses on rows of at most 4 voxels (every unit is all border) and when a
// level holds fewer than about 16 voxels (groups stay nearly empty, as in a
// 1 x 1 x n3 column). updateVolumeOnPath runs the plain sweep there.
bool vectorSweepPays(VolumeDims dims);

// Runs units one at a time on one lane (plain scalar instructions): for
// groups too sparse to pay for the transposes of a vector group, such as the
// single-voxel rows of a 1 x n2 x n3 volume. Same bits as every path.
void runUnitsOneByOne(const SweepContext& context, const SweepUnit* units, int count);

// The same body on one lane for any region; builds on every processor.
void sweepRegionOneLane(const SweepContext& context, const SweepRegion& region);

// The per-ISA kernels, each in its own file (sweep_kernel_<isa>.cpp) built
// with that ISA's flags; only call one the processor supports.
void sweepRegionBaseline(const SweepContext& context, const SweepRegion& region);
void sweepRegionAvx2(const SweepContext& context, const SweepRegion& region);
void sweepRegionAvx512(const SweepContext& context, const SweepRegion& region);

}  // namespace quillmere::sweep

#endif  // QUILLMERE_CORE_SWEEP_KERNELS_H
