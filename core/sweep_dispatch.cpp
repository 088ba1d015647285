// The one place where a sweep path is chosen: processor features are read
// once, and updateVolume and updateVolumeOnPath go through sweepKernelsFor.
#include "core/sweep_kernels.h"

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
  const bool ymmState = (xcr0 & 0x6u) == 0x6u;            // xmm, ymm upper halves
  const bool zmmState = (xcr0 & 0xe6u) == 0xe6u;          // + opmask, zmm 0-15 upper, zmm 16-31
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

// The whole volume through the reference code; any smaller region through
// the one-lane kernel, which runs the same operations in wavefront order.
void sweepRegionPlain(const sweep::SweepContext& c, const sweep::SweepRegion& r) {
  const VolumeDims d = c.dims;
  const bool whole = r.planeBegin <= 0 && r.planeEnd >= d.n3 && r.rowBegin <= 0 &&
                     r.rowEnd >= d.n2 && r.levelBegin <= 0 &&
                     r.levelEnd >= sweep::levelCount(d);
  if (!whole) {
    sweep::sweepRegionOneLane(c, r);
    return;
  }
  const TensorField tensor{{c.tensor[0], d}, {c.tensor[1], d}, {c.tensor[2], d},
                           {c.tensor[3], d}, {c.tensor[4], d}, {c.tensor[5], d}};
  const GradientStencils g{c.gradient[0], c.gradient[1], c.gradient[2]};
  const HessianStencils h{c.hessian[0], c.hessian[1], c.hessian[2],
                          c.hessian[3], c.hessian[4], c.hessian[5]};
  updateVolumePlain({c.out, d}, tensor, g, h, c.dt, d);
}

#ifdef QUILLMERE_DEFAULT_SWEEP_PATH
constexpr SweepPath kDefaultPath = SweepPath::QUILLMERE_DEFAULT_SWEEP_PATH;
#else
constexpr SweepPath kDefaultPath = SweepPath::Automatic;
#endif

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
    case SweepPath::Automatic: return "automatic";
    case SweepPath::Plain: return "plain";
    case SweepPath::Baseline: return "baseline";
    case SweepPath::Avx2: return "avx2";
    case SweepPath::Avx512: return "avx512";
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
    case SweepPath::Avx512: return {path, 16, sweepRegionAvx512};
    case SweepPath::Avx2: return {path, 8, sweepRegionAvx2};
    case SweepPath::Baseline: return {path, 4, sweepRegionBaseline};
#endif
    default: return {SweepPath::Plain, 1, sweepRegionPlain};
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
                      kOneByOneBelowVoxels};
}

std::int32_t chunkCount(VolumeDims dims) {
  return dims.n1 / kChunkColumns + (dims.n1 % kChunkColumns != 0 ? 1 : 0);
}

std::int64_t levelCount(VolumeDims dims) {
  return chunkCount(dims) + 2 * static_cast<std::int64_t>(dims.n2 - 1) +
         6 * static_cast<std::int64_t>(dims.n3 - 1);
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
    const std::int64_t levels = chunkCount(dims) + 2 * static_cast<std::int64_t>(dims.n2 - 1) +
                                6 * static_cast<std::int64_t>(planes - 1);
    if (perPlane * planes >= wanted * levels) break;
    planes = planes < dims.n3 / 2 ? planes * 2 : dims.n3;
  }
  return planes < 4 && dims.n3 >= 4 ? 4 : planes;
}

SweepRegion wholeVolume(VolumeDims dims) {
  return {0, dims.n3, 0, dims.n2, 0, levelCount(dims)};
}

}  // namespace sweep

void updateVolumeOnPath(SweepPath path, MutableVolumeView out, const TensorField& tensor,
                        const GradientStencils& gradientStencils,
                        const HessianStencils& hessianStencils, float dt, VolumeDims dims) {
  if (dims.n1 <= 0 || dims.n2 <= 0 || dims.n3 <= 0) return;
  const sweep::SweepKernels kernels =
      sweep::vectorSweepPays(dims) ? sweep::sweepKernelsFor(path)
                                   : sweep::sweepKernelsFor(SweepPath::Plain);
  const sweep::SweepContext context =
      sweep::makeSweepContext(out, tensor, gradientStencils, hessianStencils, dt, dims);
  if (kernels.path == SweepPath::Plain) {
    kernels.sweepRegion(context, sweep::wholeVolume(dims));
    return;
  }
  // Band after band of planes: each band's wavefront touches less memory
  // than the whole volume's, and every band is done before the next starts.
  const std::int32_t band = sweep::bandPlanes(dims, kernels.lanes);
  const std::int64_t levels = sweep::levelCount(dims);
  for (std::int32_t first = 0; first < dims.n3; first += band) {
    const std::int32_t end = dims.n3 - first > band ? first + band : dims.n3;
    kernels.sweepRegion(context, {first, end, 0, dims.n2, 0, levels});
  }
}

void updateVolume(MutableVolumeView out, const TensorField& tensor,
                  const GradientStencils& gradientStencils,
                  const HessianStencils& hessianStencils, float dt, VolumeDims dims) {
  updateVolumeOnPath(kDefaultPath, out, tensor, gradientStencils, hessianStencils, dt, dims);
}

}  // namespace quillmere
