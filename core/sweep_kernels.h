// Internal to the core: the vector sweep's units of work and its per-ISA
// kernels. Not part of the public interface (core/update_sweep.h is).
//
// Why the vector sweep gives the plain sweep's bits (rows side by side in
// the lanes, the level order of units, the transposed stage) and why the tap
// lists may skip zero weights: docs/design.md. Each call of a kernel keeps
// its working stage on its own stack and allocates nothing.
#ifndef QUILLMERE_CORE_SWEEP_KERNELS_H
#define QUILLMERE_CORE_SWEEP_KERNELS_H

#include <cstdint>
#include <memory>

#include "core/sweep_geometry.h"
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

// Stage geometry shared by the tap lists and the kernel body: 25 neighbour
// rows (d2, d3) in [-2, 2]^2, slot (d2 + 2) + 5 * (d3 + 2); 16 staged columns
// c0 - 2 .. c0 + 13 per unit.
constexpr int kSlots = 25;
constexpr int kSelfSlot = 12;
constexpr int kWindow = 16;
constexpr int kHalo = 2;

// The stencils' non-zero weights, in weight order, for sweeps that skip the
// zero ones (see buildSparseTaps and docs/design.md for why that keeps the
// bits). Built once per call, on the caller's stack (about 7 KB). A tap is a
// stage position slot * kWindow + column offset (0..4 for the 5x5x5 taps,
// 1..3 for the 3x3x3 ones): the sample of step t sits at position + t.
// The six second-order lists run side by side, so each is padded to the
// longest with weight +0 at the voxel itself; likewise the three gradients.
struct SparseTaps {
  int hessianLength;
  int gradientLength;
  // Bit j of hessianLive[i] (gradientLive[i]): list j has a weight of its
  // own at place i, not padding. The kernels skip the padding; the padding
  // stays for callers that run the lists side by side in full.
  std::uint8_t hessianLive[kHessianTaps];
  std::uint8_t gradientLive[kGradientTaps];
  std::int16_t hessianAt[6][kHessianTaps];
  float hessianWeight[6][kHessianTaps];
  std::int16_t gradientAt[3][kGradientTaps];
  float gradientWeight[3][kGradientTaps];
  // Taps of the tensor divergences with any non-zero k1, k2 or k3 weight.
  // `count` directions have a non-zero weight there; with one or two, the
  // tap term of row r is t_(r+1)j * k_j (+ the second such product), the
  // n-th non-zero direction's weight being weight[n] and its component
  // component[n][r] (in the order t11, t12, t13, t22, t23, t33). With three,
  // the term is formed in full from weight[0..2].
  struct TensorTap {
    std::int8_t aa, row;  // column 0..2; neighbour row (d2 + 1) + 3 * (d3 + 1)
    std::int8_t count;
    std::int8_t component[2][3];
    float weight[3];
  };
  int tensorTapCount;
  TensorTap tensorTaps[kGradientTaps];
  bool tensorRowUsed[9];                // neighbour rows any tensor tap reads
  std::uint8_t tensorRowComponents[9];  // bit t: some tap reads component t there
  bool slotUsed[kSlots];                // stage rows any list reads (the own row always)
  // The same two sets as lists, in increasing order, so per-unit loops
  // visit only what the lists read.
  int tensorRowCount;
  std::int8_t tensorRows[9];
  int slotCount;
  std::int8_t slots[kSlots];
  // Of those, the stage row and the tensor row (the own row counted) that
  // the wavefront reaches first: the unit reading them is the first to
  // read them, every other row having been read by an earlier unit.
  int leadingSlot;
  int leadingTensorRow;
};

struct SweepContext;

// Fills `taps` from the context's stencils. A weight is zero when its bits
// are +0 or -0: subnormal, infinite and NaN weights are always kept.
void buildSparseTaps(const SweepContext& context, SparseTaps& taps);

// Whether sparse taps pay on these stencils: the vector loop over lists costs
// more per product than the dense loop, so nearly full stencils stay dense.
bool sparseTapsPay(const SparseTaps& taps);

// Raw pointers of one sweep: the stepped volume, the tensor in the order
// t11, t12, t13, t22, t23, t33, the stencils and dt. Extents all >= 1. Built
// once from the public entry's records (makeSweepContext) and the only form
// of a call's inputs from there to the kernels.
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
  // Non-null: run only these taps and report any non-finite value met (a
  // sweep that reports one must be redone with every tap). Null: every tap.
  const SparseTaps* taps;
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
//
// divergenceRows, when not null, is scratch for the region's planes
// (divergenceRowFloats(dims, planeEnd - planeBegin) floats, zeroed before
// the first call) where sparse sweeps keep each row's divergences from its
// first chunk to its last. The caller passes the same scratch for every
// call on the same planes, all rows, in level order from the planes' first
// level, as runWavefront and sweepWholeVolume do; null: every unit computes
// its own.
struct SweepRegion {
  std::int32_t planeBegin, planeEnd;
  std::int32_t rowBegin, rowEnd;
  std::int64_t levelBegin, levelEnd;
  float* divergenceRows = nullptr;
};

// Scratch for the kept divergence rows of a band of `planes` planes, zeroed;
// null (each unit then computes its own) when the lists read no tensor, or
// the rows are too long to be worth keeping, or memory is short.
std::unique_ptr<float[]> divergenceScratch(const SweepContext& context, std::int32_t planes);

// Returns true when a sweep with sparse taps met a non-finite value (the
// old or new value of a voxel, or the tensor at a voxel): its result may then
// differ from the plain sweep's. Always false with every tap.
using SweepRegionKernel = bool (*)(const SweepContext& context, const SweepRegion& region);

struct SweepKernels {
  SweepPath path;  // the concrete path: never Automatic
  int lanes;       // rows side by side in one vector (1 for Plain)
  SweepRegionKernel sweepRegion;
};

// The kernels of a path, with Automatic and unsupported paths resolved as in
// updateVolumeOnPath. Resolve once, then call sweepRegion as often as needed.
// Plain's sweepRegion runs updateVolumePlain when the region is the whole
// volume and every tap is asked for, and the one-lane kernel (same bits,
// wavefront order) otherwise; updateVolumeOnPath calls updateVolumePlain
// itself, with the caller's records, when it runs the plain path.
SweepKernels sweepKernelsFor(SweepPath path);

SweepContext makeSweepContext(MutableVolumeView out, const TensorField& tensor,
                              const GradientStencils& gradientStencils,
                              const HessianStencils& hessianStencils, float dt, VolumeDims dims);

SweepRegion wholeVolume(VolumeDims dims);

// The whole volume through `kernels` on the calling thread (band after
// band of planes on the vector paths); returns what sweepRegion reports.
bool sweepWholeVolume(const SweepKernels& kernels, const SweepContext& context);

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
bool runUnitsOneByOne(const SweepContext& context, const SweepUnit* units, int count);

// The same body on one lane for any region; builds on every processor.
bool sweepRegionOneLane(const SweepContext& context, const SweepRegion& region);

// The stream sweep (AVX-512F only): one step from `source` into context.out,
// which must not overlap, with context.taps' lists, rows side by side in
// lanes that run along whole rows rather than a wavefront of chunks (see
// docs/design.md). probe: report a non-finite value met, as the sparse
// kernels do (needed whenever the lists skip zero weights). NotRun, with
// nothing written, when the rows are too short for its skewed lanes or its
// ring of steps would be too large; the caller then uses the wavefront
// kernels.
enum class StreamOutcome { NotRun, Done, Tripped };
StreamOutcome streamStepAvx512(const SweepContext& context, const float* source, bool probe);

// The per-ISA kernels, each in its own file (sweep_kernel_<isa>.cpp) built
// with that ISA's flags; only call one the processor supports.
bool sweepRegionBaseline(const SweepContext& context, const SweepRegion& region);
bool sweepRegionAvx2(const SweepContext& context, const SweepRegion& region);
bool sweepRegionAvx512(const SweepContext& context, const SweepRegion& region);

// Runs the whole volume of `context` through `kernels` on `threads` threads
// (the caller's thread is one of them; never more than there are bands or
// kMaxSweepThreads), in bands of planesPerBand planes (0: the default,
// n3 / (8 * threads) between 1 and 16), with no size threshold: for
// updateVolumeThreaded, and for tests that must reach every thread count
// and band size on any shape. Extents all >= 1. Returns true when any
// sweepRegion call reported a non-finite value.
bool runWavefront(const SweepKernels& kernels, const SweepContext& context, int threads,
                  int planesPerBand);

// Which taps runStep runs: Automatic (the lists where they pay, see
// sparseTapsPay), Sparse (the lists whatever they cost, for tests) or Every.
enum class TapUse { Automatic, Sparse, Every };

// One step from `source` into context.out (context.taps is ignored): copies,
// sweeps on `threads` threads (runWavefront, or sweepWholeVolume for 1) with
// the stencils' tap lists, and copies and sweeps again with every tap when
// the sweep reports a non-finite value. source == context.out: in place,
// every tap. Runs under its own FloatEnvironmentGuard.
void runStep(const SweepKernels& kernels, SweepContext context, const float* source, int threads,
             int planesPerBand, TapUse use);

}  // namespace quillmere::sweep

#endif  // QUILLMERE_CORE_SWEEP_KERNELS_H
