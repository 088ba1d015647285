// The one place where a sweep path is chosen: processor features are read
// once, and updateVolume and updateVolumeOnPath go through sweepKernelsFor.
#include "core/sweep_kernels.h"

#include <cstring>
#include <memory>
#include <new>

#ifdef QUILLMERE_SWEEP_X86
#if defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace quillmere {
namespace {

struct CpuFeatures {
  bool avx2 = false;
  bool avx512 = false;
};

#ifdef QUILLMERE_SWEEP_X86
void cpuid(unsigned leaf, unsigned sub, unsigned r[4]) {
#if defined(_MSC_VER) && !defined(__clang__)
  int regs[4];
  __cpuidex(regs, static_cast<int>(leaf), static_cast<int>(sub));
  for (int i = 0; i < 4; ++i) r[i] = static_cast<unsigned>(regs[i]);
#else
  __cpuid_count(leaf, sub, r[0], r[1], r[2], r[3]);
#endif
}

unsigned long long enabledRegisterState() {
#if defined(_MSC_VER) && !defined(__clang__)
  return _xgetbv(0);
#else
  unsigned lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<unsigned long long>(hi) << 32) | lo;
#endif
}

// An instruction set counts only when the operating system also saves its
// registers across context switches (XCR0), or the first switch would
// corrupt them.
CpuFeatures detectCpuFeatures() {
  CpuFeatures f;
  unsigned r[4];
  cpuid(0, 0, r);
  const unsigned maxLeaf = r[0];
  if (maxLeaf < 7) return f;
  cpuid(1, 0, r);
  const bool osxsave = (r[2] >> 27) & 1u;
  const bool avx = (r[2] >> 28) & 1u;
  if (!osxsave || !avx) return f;
  const unsigned long long xcr0 = enabledRegisterState();
  const bool ymmState = (xcr0 & 0x6u) == 0x6u;    // xmm, ymm upper halves
  const bool zmmState = (xcr0 & 0xe6u) == 0xe6u;  // + opmask, zmm 0-15 upper, zmm 16-31
  cpuid(7, 0, r);
  f.avx2 = ymmState && ((r[1] >> 5) & 1u);
  f.avx512 = f.avx2 && zmmState && ((r[1] >> 16) & 1u);  // AVX512F
  return f;
}

// Read once; immutable afterwards.
const CpuFeatures& cpuFeatures() {
  static const CpuFeatures features = detectCpuFeatures();
  return features;
}
#endif

// Regions on one lane; the whole volume with every tap through
// updateVolumePlain, for runStep on shapes the vector sweep cannot fill:
// there the one-lane kernel's staging costs more than the literal loops
// (2.2x on rows of one voxel). The plain sweep takes the public records,
// so they are formed here again; every other caller passes the context.
bool sweepRegionPlain(const sweep::SweepContext& c, const sweep::SweepRegion& r) {
  const VolumeDims d = c.dims;
  const bool whole = r.planeBegin <= 0 && r.planeEnd >= d.n3 && r.rowBegin <= 0 &&
                     r.rowEnd >= d.n2 && r.levelBegin <= 0 && r.levelEnd >= sweep::levelCount(d);
  if (!whole || c.taps != nullptr) return sweep::sweepRegionOneLane(c, r);
  const TensorField tensor{{c.tensor[0], d}, {c.tensor[1], d}, {c.tensor[2], d},
                           {c.tensor[3], d}, {c.tensor[4], d}, {c.tensor[5], d}};
  updateVolumePlain(
      {c.out, d}, tensor, {c.gradient[0], c.gradient[1], c.gradient[2]},
      {c.hessian[0], c.hessian[1], c.hessian[2], c.hessian[3], c.hessian[4], c.hessian[5]}, c.dt,
      d);
  return false;
}

bool isZeroWeight(float w) {
  std::uint32_t bits;
  std::memcpy(&bits, &w, sizeof bits);
  return (bits & 0x7fffffffu) == 0;
}

}  // namespace

bool sweepPathSupported(SweepPath path) {
  switch (path) {
    case SweepPath::Automatic:
    case SweepPath::Plain:
      return true;
#ifdef QUILLMERE_SWEEP_X86
    case SweepPath::Baseline:
      return true;
    case SweepPath::Avx2:
      return cpuFeatures().avx2;
    case SweepPath::Avx512:
      return cpuFeatures().avx512;
#endif
    default:
      return false;
  }
}

SweepPath selectedSweepPath() {
  if (sweepPathSupported(SweepPath::Avx512)) return SweepPath::Avx512;
  if (sweepPathSupported(SweepPath::Avx2)) return SweepPath::Avx2;
  if (sweepPathSupported(SweepPath::Baseline)) return SweepPath::Baseline;
  return SweepPath::Plain;
}

const char* sweepPathName(SweepPath path) {
  switch (path) {
    case SweepPath::Automatic:
      return "automatic";
    case SweepPath::Plain:
      return "plain";
    case SweepPath::Baseline:
      return "baseline";
    case SweepPath::Avx2:
      return "avx2";
    case SweepPath::Avx512:
      return "avx512";
  }
  return "unknown";
}

namespace sweep {

SweepKernels sweepKernelsFor(SweepPath path) {
  if (path == SweepPath::Automatic) path = selectedSweepPath();
  if (path == SweepPath::Avx512 && !sweepPathSupported(path)) path = SweepPath::Avx2;
  if (path == SweepPath::Avx2 && !sweepPathSupported(path)) path = SweepPath::Baseline;
  if (path == SweepPath::Baseline && !sweepPathSupported(path)) path = SweepPath::Plain;
  switch (path) {
#ifdef QUILLMERE_SWEEP_X86
    case SweepPath::Avx512:
      return {path, 16, sweepRegionAvx512};
    case SweepPath::Avx2:
      return {path, 8, sweepRegionAvx2};
    case SweepPath::Baseline:
      return {path, 4, sweepRegionBaseline};
#endif
    default:
      return {SweepPath::Plain, 1, sweepRegionPlain};
  }
}

SweepContext makeSweepContext(MutableVolumeView out, const TensorField& tensor,
                              const GradientStencils& gradientStencils,
                              const HessianStencils& hessianStencils, float dt, VolumeDims dims) {
  return SweepContext{out.samples,
                      {tensor.t11.samples, tensor.t12.samples, tensor.t13.samples,
                       tensor.t22.samples, tensor.t23.samples, tensor.t33.samples},
                      {gradientStencils.k1, gradientStencils.k2, gradientStencils.k3},
                      {hessianStencils.k11, hessianStencils.k22, hessianStencils.k33,
                       hessianStencils.k12, hessianStencils.k13, hessianStencils.k23},
                      dt,
                      dims,
                      kOneByOneBelowVoxels,
                      nullptr};
}

// Why a sweep may leave out the products of zero weights and keep the
// plain sweep's bits, under round-to-nearest with subnormals kept (the
// guarded environment every sweep runs in):
//   1. x + y is -0 only when x and y are both -0, so an accumulator that
//      starts at +0 (g1..g3, s11..s23, q1..q3) is never -0.
//   2. Adding +0 or -0 to a value that is not -0 leaves its bits unchanged
//      (inf stays inf, NaN stays NaN and is stored canonical anyway).
//   3. w * x with w = +-0 is +-0 for every finite x, subnormal or not.
// So a product with a zero weight adds a zero to its accumulator, which
// changes nothing, as long as the sample it reads is finite. Within a
// tensor tap term ((t*k1 + t*k2) + t*k3), which starts from its first
// product rather than from +0, dropping zero products changes at most the
// sign of a zero term, and a zero term of either sign leaves the q
// accumulator unchanged by 1 and 2. The padding of the lists adds +0 * (the
// voxel's own old value): a zero again. Every sample a sweep reads is the
// old or the new value of some voxel (through the volume or a clamped copy)
// or the tensor at some voxel, and the sparse kernels check each of these
// for inf and NaN at its own voxel; the caller redoes the step with every
// tap when one is found. Zero is decided from the bits, never under the
// caller's flush-to-zero: a subnormal weight is not zero.
void buildSparseTaps(const SweepContext& context, SparseTaps& taps) {
  const float* const* hessian = context.hessian;
  const float* const* gradient = context.gradient;
  constexpr std::int16_t kVoxelItself = kSelfSlot * kWindow + kHalo;
  for (int slot = 0; slot < kSlots; ++slot) taps.slotUsed[slot] = slot == kSelfSlot;

  for (std::uint8_t& live : taps.hessianLive) live = 0;
  for (std::uint8_t& live : taps.gradientLive) live = 0;
  int longest = 0;
  for (int j = 0; j < 6; ++j) {
    int n = 0;
    for (int m = 0; m < kHessianTaps; ++m) {
      if (isZeroWeight(hessian[j][m])) continue;
      const int a = m % 5, b = m / 5 % 5, c = m / 25;
      const int slot = b + 5 * c;
      taps.slotUsed[slot] = true;
      taps.hessianLive[n] = static_cast<std::uint8_t>(taps.hessianLive[n] | (1u << j));
      taps.hessianAt[j][n] = static_cast<std::int16_t>(slot * kWindow + a);
      taps.hessianWeight[j][n++] = hessian[j][m];
    }
    for (int i = n; i < kHessianTaps; ++i) {
      taps.hessianAt[j][i] = kVoxelItself;
      taps.hessianWeight[j][i] = 0.0f;
    }
    if (n > longest) longest = n;
  }
  taps.hessianLength = longest;

  longest = 0;
  for (int j = 0; j < 3; ++j) {
    int n = 0;
    for (int m = 0; m < kGradientTaps; ++m) {
      if (isZeroWeight(gradient[j][m])) continue;
      const int a = m % 3, b = m / 3 % 3, c = m / 9;
      const int slot = (b + 1) + 5 * (c + 1);
      taps.slotUsed[slot] = true;
      taps.gradientLive[n] = static_cast<std::uint8_t>(taps.gradientLive[n] | (1u << j));
      taps.gradientAt[j][n] = static_cast<std::int16_t>(slot * kWindow + a + 1);
      taps.gradientWeight[j][n++] = gradient[j][m];
    }
    for (int i = n; i < kGradientTaps; ++i) {
      taps.gradientAt[j][i] = kVoxelItself;
      taps.gradientWeight[j][i] = 0.0f;
    }
    if (n > longest) longest = n;
  }
  taps.gradientLength = longest;

  // Component t_(r+1)(j+1) of the symmetric tensor, in the order t11, t12,
  // t13, t22, t23, t33.
  static constexpr std::int8_t kComponent[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
  taps.tensorTapCount = 0;
  for (bool& used : taps.tensorRowUsed) used = false;
  for (std::uint8_t& used : taps.tensorRowComponents) used = 0;
  for (int m = 0; m < kGradientTaps; ++m) {
    SparseTaps::TensorTap tap{};
    int nonZero = 0;
    for (int j = 0; j < 3; ++j) {
      if (isZeroWeight(gradient[j][m])) continue;
      if (nonZero < 2)
        for (int r = 0; r < 3; ++r) tap.component[nonZero][r] = kComponent[r][j];
      tap.weight[nonZero++] = gradient[j][m];
    }
    if (nonZero == 0) continue;
    if (nonZero == 3)
      for (int j = 0; j < 3; ++j) tap.weight[j] = gradient[j][m];
    tap.count = static_cast<std::int8_t>(nonZero);
    tap.aa = static_cast<std::int8_t>(m % 3);
    tap.row = static_cast<std::int8_t>(m / 3);  // (b) + 3 * (c), both 0..2
    taps.tensorRowUsed[tap.row] = true;
    for (int n = 0; n < (nonZero == 3 ? 0 : nonZero); ++n)
      for (int r = 0; r < 3; ++r)
        taps.tensorRowComponents[tap.row] = static_cast<std::uint8_t>(
            taps.tensorRowComponents[tap.row] | (1u << tap.component[n][r]));
    if (nonZero == 3) taps.tensorRowComponents[tap.row] = 0x3f;
    taps.tensorTaps[taps.tensorTapCount++] = tap;
  }
  taps.tensorRowCount = 0;
  for (int r = 0; r < 9; ++r)
    if (taps.tensorRowUsed[r]) taps.tensorRows[taps.tensorRowCount++] = static_cast<std::int8_t>(r);
  taps.slotCount = 0;
  for (int slot = 0; slot < kSlots; ++slot)
    if (taps.slotUsed[slot]) taps.slots[taps.slotCount++] = static_cast<std::int8_t>(slot);
  // Row offsets (d2, d3) reach the wavefront at level 2*d2 + 6*d3 relative
  // to the unit: the highest is read first by this unit.
  taps.leadingSlot = kSelfSlot;
  for (int n = 0; n < taps.slotCount; ++n) {
    const int slot = taps.slots[n], lead = taps.leadingSlot;
    if (2 * (slot % 5) + 6 * (slot / 5) > 2 * (lead % 5) + 6 * (lead / 5)) taps.leadingSlot = slot;
  }
  taps.leadingTensorRow = 4;  // the own row: the tensor at the voxel
  for (int n = 0; n < taps.tensorRowCount; ++n) {
    const int r = taps.tensorRows[n], lead = taps.leadingTensorRow;
    if (2 * (r % 3) + 6 * (r / 3) > 2 * (lead % 3) + 6 * (lead / 3)) taps.leadingTensorRow = r;
  }
}

bool sparseTapsPay(const SparseTaps& taps) {
  // The list loop loads a position and a weight per product where the dense
  // loop shares one sample load among six or nine products. Measured on
  // bench_sweep, lists at a quarter of the dense products (Sobel-type) are
  // 1.3x faster; a third is kept as the limit so no stencil gets slower.
  const int products = 6 * taps.hessianLength + 3 * taps.gradientLength;
  return 3 * products <= 6 * kHessianTaps + 3 * kGradientTaps;
}

std::unique_ptr<float[]> divergenceScratch(const SweepContext& context, std::int32_t planes) {
  if (context.taps == nullptr || context.taps->tensorTapCount == 0) return nullptr;
  // Kept rows past a few MB no longer stay in cache from one chunk to the
  // next (rows of thousands of voxels): each unit computes its own there.
  constexpr std::size_t kMostFloats = std::size_t{1} << 20;
  const std::size_t floats = divergenceRowFloats(context.dims, planes);
  if (floats > kMostFloats) return nullptr;
  return std::unique_ptr<float[]>(new (std::nothrow) float[floats]());
}

bool sweepWholeVolume(const SweepKernels& kernels, const SweepContext& context) {
  const VolumeDims dims = context.dims;
  if (kernels.path == SweepPath::Plain) return kernels.sweepRegion(context, wholeVolume(dims));
  // Band after band of planes: each band's wavefront touches less memory
  // than the whole volume's, and every band is done before the next starts.
  const std::int32_t band = bandPlanes(dims, kernels.lanes);
  const std::int64_t levels = levelCount(dims);
  // One scratch serves every band in turn: a band computes each row's
  // divergences before it reads them.
  const std::unique_ptr<float[]> scratch = divergenceScratch(context, band);
  bool tripped = false;
  for (std::int32_t first = 0; first < dims.n3; first += band) {
    const std::int32_t end = dims.n3 - first > band ? first + band : dims.n3;
    if (kernels.sweepRegion(context, {first, end, 0, dims.n2, 0, levels, scratch.get()}))
      tripped = true;
  }
  return tripped;
}

bool vectorSweepPays(VolumeDims dims) {
  if (dims.n1 <= 4) return false;
  const double voxels = static_cast<double>(dims.n1) * dims.n2 * dims.n3;
  return voxels >= 16.0 * static_cast<double>(levelCount(dims));
}

std::int32_t bandPlanes(VolumeDims dims, int lanes) {
  // Enough units per level for about three full vectors; more only spreads
  // a level over more memory.
  const std::int64_t wanted = 3 * static_cast<std::int64_t>(lanes);
  const std::int64_t perPlane = static_cast<std::int64_t>(chunkCount(dims)) * dims.n2;
  std::int32_t planes = 1;
  while (planes < dims.n3) {
    const std::int64_t levels = lastLevel(dims, dims.n2, planes) + 1;
    if (perPlane * planes >= wanted * levels) break;
    planes = planes < dims.n3 / 2 ? planes * 2 : dims.n3;
  }
  return planes < 4 && dims.n3 >= 4 ? 4 : planes;
}

SweepRegion wholeVolume(VolumeDims dims) { return {0, dims.n3, 0, dims.n2, 0, levelCount(dims)}; }

}  // namespace sweep

void updateVolumeOnPath(SweepPath path, MutableVolumeView out, const TensorField& tensor,
                        const GradientStencils& gradientStencils,
                        const HessianStencils& hessianStencils, float dt, VolumeDims dims) {
  if (dims.n1 <= 0 || dims.n2 <= 0 || dims.n3 <= 0) return;
  const sweep::SweepKernels kernels = sweep::vectorSweepPays(dims)
                                          ? sweep::sweepKernelsFor(path)
                                          : sweep::sweepKernelsFor(SweepPath::Plain);
  if (kernels.path == SweepPath::Plain) {
    updateVolumePlain(out, tensor, gradientStencils, hessianStencils, dt, dims);
    return;
  }
  const sweep::SweepContext context =
      sweep::makeSweepContext(out, tensor, gradientStencils, hessianStencils, dt, dims);
  sweep::sweepWholeVolume(kernels, context);
}

void updateVolume(MutableVolumeView out, const TensorField& tensor,
                  const GradientStencils& gradientStencils, const HessianStencils& hessianStencils,
                  float dt, VolumeDims dims) {
  updateVolumeOnPath(SweepPath::Automatic, out, tensor, gradientStencils, hessianStencils, dt,
                     dims);
}

}  // namespace quillmere
