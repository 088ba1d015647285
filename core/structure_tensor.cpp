// The tensor's passes and their threads; the per-voxel arithmetic lives in
// core/tensor_kernel_body.h. Each pass is split into ranges of independent
// items (lines, voxels or planes), and no item reads what another item of
// the same pass writes, so neither the thread count nor the vector path can
// change a bit. Workers are std::threads started for a pass and joined
// before it ends, each under its own FloatEnvironmentGuard.
#include "core/structure_tensor.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>

#include "core/float_environment.h"
#include "core/tensor_kernels.h"
#include "core/threaded_sweep.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quillmere {
namespace tensor {
namespace {

#include "core/tensor_kernel_body.h"

}  // namespace

void smoothOneLane(const SmoothPass& pass, std::int64_t begin, std::int64_t end, double* buffer) {
  smoothLines<Lane1>(pass, begin, end, buffer);
}

void mapOneLane(const MapPass& pass, std::int64_t begin, std::int64_t end) {
  mapVoxels<Lane1>(pass, begin, end);
}

double radiusOneLane(const RadiusPass& pass, const RadiusDeltas& deltas, std::int64_t e,
                     std::int32_t count) {
  return radiusRun<Lane1>(pass, deltas, e, count);
}

std::int64_t smoothItemCount(const SmoothPass& pass) {
  const VolumeDims d = pass.dims;
  if (pass.axis == 1) return static_cast<std::int64_t>(d.n2) * d.n3;
  const std::int64_t blocks = (d.n1 + kBlockColumns - 1) / kBlockColumns;
  return blocks * (pass.axis == 2 ? d.n3 : d.n2);
}

std::int64_t lineBufferDoubles(VolumeDims dims, std::int64_t radius) {
  const std::int64_t along1 = dims.n1 + 2 * radius;
  const std::int64_t longest = dims.n2 > dims.n3 ? dims.n2 : dims.n3;
  const std::int64_t across = kBlockColumns * (longest + 2 * radius);
  return along1 > across ? along1 : across;
}

TensorKernels tensorKernelsFor(SweepPath path) {
  if (path == SweepPath::Automatic) path = selectedSweepPath();
  if (path == SweepPath::Avx512 && !sweepPathSupported(path)) path = SweepPath::Avx2;
  if (path == SweepPath::Avx2 && !sweepPathSupported(path)) path = SweepPath::Baseline;
  switch (path) {
    case SweepPath::Baseline:
      return {smoothBaseline, mapBaseline, radiusBaseline};
    case SweepPath::Avx2:
      return {smoothAvx2, mapAvx2, radiusAvx2};
    case SweepPath::Avx512:
      return {smoothAvx512, mapAvx512, radiusAvx512};
    default:
      return {smoothOneLane, mapOneLane, radiusOneLane};
  }
}

}  // namespace tensor

namespace {

int clampThreads(int threads) {
  return threads < 1 ? 1 : (threads > kMaxSweepThreads ? kMaxSweepThreads : threads);
}

// Runs work(begin, end, worker) over [0, items): the workers (the calling
// thread is worker 0) take chunks of about 1/16 of their share in turn from
// a shared counter, so a worker that the system slows down takes fewer. A
// thread that cannot be started leaves its share to the others. Items are
// independent, so who runs which changes no bit.
template <class Work>
void runParallel(int threads, std::int64_t items, const Work& work) {
  std::int64_t workers = clampThreads(threads);
  if (workers > items) workers = items;
  if (workers <= 1) {
    if (items > 0) {
      const FloatEnvironmentGuard environment;
      work(std::int64_t{0}, items, 0);
    }
    return;
  }
  const std::int64_t chunk = items / (16 * workers) > 0 ? items / (16 * workers) : 1;
  std::atomic<std::int64_t> next{0};
  auto body = [&](int t) {
    const FloatEnvironmentGuard environment;
    for (;;) {
      const std::int64_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= items) break;
      work(begin, begin + chunk < items ? begin + chunk : items, t);
    }
  };
  std::thread pool[kMaxSweepThreads];
  int started = 1;
  for (; started < workers; ++started) {
    try {
      pool[started] = std::thread(body, started);
    } catch (const std::system_error&) {
      break;
    }
  }
  body(0);
  for (int t = 1; t < started; ++t) pool[t].join();
}

// The sampled Gaussian of std. dev. s samples, radius r: w[t] for
// t = 0..r, normalised so that the 2r+1 taps sum to 1 (summed from -r up).
void gaussianWeights(double s, std::int64_t r, double* w) {
  for (std::int64_t t = 0; t <= r; ++t) {
    const double x = static_cast<double>(t);
    w[t] = expNonPositive(-((x * x) / (2.0 * (s * s))));
  }
  double sum = 0.0;
  for (std::int64_t x = -r; x <= r; ++x) sum += w[x < 0 ? -x : x];
  for (std::int64_t t = 0; t <= r; ++t) w[t] = w[t] / sum;
}

std::int64_t largestRadius(const TensorParameters& p) {
  std::int64_t r = 0;
  for (int a = 0; a < 3; ++a) {
    const std::int64_t rs = gaussianRadius(p.sigma, p.spacing[a]);
    const std::int64_t rr = gaussianRadius(p.rho, p.spacing[a]);
    if (rs > r) r = rs;
    if (rr > r) r = rr;
  }
  return r;
}

// The three passes of a Gaussian of std. dev. `scale` (length units) over a
// volume; their weights go to weights + (axis - 1) weightStride. False (and
// nothing set) when scale <= 0: no smoothing.
bool gaussianPasses(VolumeDims dims, const double* spacing, double scale, double* weights,
                    std::int64_t weightStride, tensor::SmoothPass (&passes)[3]) {
  if (!(scale > 0.0)) return false;
  for (int axis = 1; axis <= 3; ++axis) {
    const std::int64_t r = gaussianRadius(scale, spacing[axis - 1]);
    double* w = weights + (axis - 1) * weightStride;
    gaussianWeights(scale / spacing[axis - 1], r, w);
    passes[axis - 1] = {nullptr, dims, axis, w, static_cast<std::int32_t>(r)};
  }
  return true;
}

// Smooths `count` volumes (consecutive, n doubles apart) along axes 1 and 2,
// plane by plane, so that a plane is read from memory once for both: the
// lines of plane i3 along axis 1 are items [i3 n2, (i3 + 1) n2), its column
// groups along axis 2 the items [i3 blocks, (i3 + 1) blocks).
void smoothPlanes(const tensor::TensorKernels& kernels, const tensor::SmoothPass (&passes)[3],
                  double* first, std::int64_t n, int count, double* buffers,
                  std::int64_t bufferDoubles, int threads) {
  const VolumeDims dims = passes[0].dims;
  const std::int64_t planes = dims.n3;
  const std::int64_t blocks = tensor::smoothItemCount(passes[1]) / planes;
  runParallel(threads, planes * count, [&](std::int64_t begin, std::int64_t end, int worker) {
    double* buffer = buffers + worker * bufferDoubles;
    for (std::int64_t item = begin; item < end; ++item) {
      const std::int64_t volume = item / planes, i3 = item % planes;
      tensor::SmoothPass along1 = passes[0], along2 = passes[1];
      along1.data = along2.data = first + volume * n;
      kernels.smooth(along1, i3 * dims.n2, (i3 + 1) * dims.n2, buffer);
      kernels.smooth(along2, i3 * blocks, (i3 + 1) * blocks, buffer);
    }
  });
}

}  // namespace

std::int64_t gaussianRadius(double sigma, double h) {
  if (!(sigma > 0.0)) return 0;
  const double r = std::ceil(3.0 * (sigma / h));
  if (!(r < 4.0e18)) return INT64_MAX;
  return static_cast<std::int64_t>(r);
}

double expNonPositive(double x) { return tensor::expNonPositiveV(tensor::Lane1{x}).v; }

std::size_t tensorScratchDoubles(VolumeDims dims, const TensorParameters& parameters, int threads) {
  const std::int64_t n = static_cast<std::int64_t>(dims.n1) * dims.n2 * dims.n3;
  const std::int64_t r = largestRadius(parameters);
  return static_cast<std::size_t>(7 * n + 3 * (r + 1) +
                                  clampThreads(threads) * tensor::lineBufferDoubles(dims, r));
}

double* allocateTensorScratch(std::size_t doubles) {
  if (doubles == 0 || doubles > SIZE_MAX / sizeof(double)) return nullptr;
  const std::size_t bytes = doubles * sizeof(double);
#if defined(__linux__)
  constexpr std::size_t kHugePage = std::size_t{1} << 21;
  if (bytes >= kHugePage && bytes <= SIZE_MAX - kHugePage) {
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = nullptr;
    if (posix_memalign(&block, kHugePage, rounded) == 0) {
      madvise(block, rounded, MADV_HUGEPAGE);  // a hint: refused, it is still memory
      return static_cast<double*>(block);
    }
    return nullptr;
  }
#endif
  return static_cast<double*>(std::malloc(bytes));
}

void freeTensorScratch(double* scratch) { std::free(scratch); }

void computeTensor(const float* u, VolumeDims dims, const TensorParameters& parameters,
                   float* const out[6], double* scratch, int threads, SweepPath path) {
  if (dims.n1 <= 0 || dims.n2 <= 0 || dims.n3 <= 0) return;
  // The weights are computed here, on the calling thread.
  const FloatEnvironmentGuard environment;
  threads = clampThreads(threads);
  const std::int64_t n = static_cast<std::int64_t>(dims.n1) * dims.n2 * dims.n3;
  const std::int64_t r = largestRadius(parameters);
  double* volumes[7];
  for (int k = 0; k < 7; ++k) volumes[k] = scratch + k * n;
  double* weights = scratch + 7 * n;
  double* buffers = weights + 3 * (r + 1);
  const std::int64_t bufferDoubles = tensor::lineBufferDoubles(dims, r);
  const tensor::TensorKernels kernels = tensor::tensorKernelsFor(path);
  const double* h = parameters.spacing;

  // u_sigma in volume 6.
  double* const smoothed = volumes[6];
  runParallel(threads, n, [&](std::int64_t begin, std::int64_t end, int) {
    for (std::int64_t e = begin; e < end; ++e) smoothed[e] = static_cast<double>(u[e]);
  });
  tensor::SmoothPass passes[3];
  if (gaussianPasses(dims, h, parameters.sigma, weights, r + 1, passes)) {
    smoothPlanes(kernels, passes, smoothed, n, 1, buffers, bufferDoubles, threads);
    tensor::SmoothPass along3 = passes[2];
    along3.data = smoothed;
    runParallel(threads, tensor::smoothItemCount(along3),
                [&](std::int64_t begin, std::int64_t end, int worker) {
                  kernels.smooth(along3, begin, end, buffers + worker * bufferDoubles);
                });
  }

  // Its gradient and the six products of it in volumes 0..5, by planes.
  const std::int64_t n1 = dims.n1, n2 = dims.n2, n3 = dims.n3;
  runParallel(threads, n3, [&](std::int64_t begin, std::int64_t end, int) {
    const double* s = smoothed;
    for (std::int64_t i3 = begin; i3 < end; ++i3) {
      const std::int64_t up3 = i3 + 1 < n3 ? i3 + 1 : i3, dn3 = i3 > 0 ? i3 - 1 : 0;
      for (std::int64_t i2 = 0; i2 < n2; ++i2) {
        const std::int64_t up2 = i2 + 1 < n2 ? i2 + 1 : i2, dn2 = i2 > 0 ? i2 - 1 : 0;
        const std::int64_t row = n1 * (i2 + n2 * i3);
        const std::int64_t rowUp2 = n1 * (up2 + n2 * i3), rowDn2 = n1 * (dn2 + n2 * i3);
        const std::int64_t rowUp3 = n1 * (i2 + n2 * up3), rowDn3 = n1 * (i2 + n2 * dn3);
        for (std::int64_t i1 = 0; i1 < n1; ++i1) {
          const std::int64_t up1 = i1 + 1 < n1 ? i1 + 1 : i1, dn1 = i1 > 0 ? i1 - 1 : 0;
          const double g1 = ((s[row + up1] - s[row + dn1]) / 2.0) / h[0];
          const double g2 = ((s[rowUp2 + i1] - s[rowDn2 + i1]) / 2.0) / h[1];
          const double g3 = ((s[rowUp3 + i1] - s[rowDn3 + i1]) / 2.0) / h[2];
          const std::int64_t e = row + i1;
          volumes[0][e] = g1 * g1;
          volumes[1][e] = g1 * g2;
          volumes[2][e] = g1 * g3;
          volumes[3][e] = g2 * g2;
          volumes[4][e] = g2 * g3;
          volumes[5][e] = g3 * g3;
        }
      }
    }
  });

  tensor::MapPass map{};
  for (int k = 0; k < 6; ++k) {
    map.j[k] = volumes[k];
    map.out[k] = out[k];
  }
  map.kind = parameters.kind;
  map.alpha = parameters.alpha;
  map.oneMinusAlpha = 1.0 - parameters.alpha;
  map.c = parameters.c;
  map.lambdaSquared = parameters.lambda * parameters.lambda;

  // The products smoothed, then mapped.
  tensor::SmoothPass along3{};
  if (gaussianPasses(dims, h, parameters.rho, weights, r + 1, passes)) {
    smoothPlanes(kernels, passes, volumes[0], n, 6, buffers, bufferDoubles, threads);
    along3 = passes[2];
    const std::int64_t perVolume = tensor::smoothItemCount(along3);
    runParallel(threads, perVolume * 6, [&](std::int64_t begin, std::int64_t end, int worker) {
      double* buffer = buffers + worker * bufferDoubles;
      // Ranges may straddle volumes: cut them at the seams.
      while (begin < end) {
        const std::int64_t volume = begin / perVolume;
        const std::int64_t stop = end < (volume + 1) * perVolume ? end : (volume + 1) * perVolume;
        tensor::SmoothPass one = along3;
        one.data = volumes[volume];
        kernels.smooth(one, begin - volume * perVolume, stop - volume * perVolume, buffer);
        begin = stop;
      }
    });
  }
  runParallel(threads, n,
              [&](std::int64_t begin, std::int64_t end, int) { kernels.map(map, begin, end); });
}

double stableStepRadius(const TensorField& tensor, const GradientStencils& gradientStencils,
                        const HessianStencils& hessianStencils, VolumeDims dims, int threads,
                        SweepPath path) {
  if (dims.n1 <= 0 || dims.n2 <= 0 || dims.n3 <= 0) return 0.0;
  const FloatEnvironmentGuard environment;
  const float* hess[6] = {hessianStencils.k11, hessianStencils.k22, hessianStencils.k33,
                          hessianStencils.k12, hessianStencils.k13, hessianStencils.k23};
  const float* grad[3] = {gradientStencils.k1, gradientStencils.k2, gradientStencils.k3};

  // About 12 KB on the calling thread's stack; the workers only read it.
  tensor::RadiusPass pass{};
  const float* t[6] = {tensor.t11.samples, tensor.t12.samples, tensor.t13.samples,
                       tensor.t22.samples, tensor.t23.samples, tensor.t33.samples};
  for (int k = 0; k < 6; ++k) pass.t[k] = t[k];
  for (int m = 0; m < kHessianTaps; ++m) {
    tensor::RadiusTap tap{};
    const int o1 = m % 5 - 2, o2 = (m / 5) % 5 - 2, o3 = m / 25 - 2;
    for (int k = 0; k < 6; ++k) {
      if (hess[k][m] != 0.0f) {
        tap.source[tap.termCount] = k;
        tap.weight[tap.termCount++] = hess[k][m];
      }
    }
    // First-derivative stencils sit in the middle 3x3x3 of the 5x5x5 offsets.
    if (o1 >= -1 && o1 <= 1 && o2 >= -1 && o2 <= 1 && o3 >= -1 && o3 <= 1) {
      const int g = (o1 + 1) + 3 * (o2 + 1) + 9 * (o3 + 1);
      for (int i = 0; i < 3; ++i) {
        if (grad[i][g] != 0.0f) {
          tap.source[tap.termCount] = 6 + i;
          tap.weight[tap.termCount++] = grad[i][g];
        }
      }
    }
    if (tap.termCount > 0) pass.taps[pass.tapCount++] = tap;
  }
  for (int j = 0; j < 3; ++j) {
    for (int g = 0; g < kGradientTaps; ++g) {
      if (grad[j][g] != 0.0f) {
        pass.gradientTap[j][pass.gradientTapCount[j]] = g;
        pass.gradientWeight[j][pass.gradientTapCount[j]++] = grad[j][g];
      }
    }
  }
  const tensor::RadiusPass& shared = pass;
  const tensor::TensorKernels kernels = tensor::tensorKernelsFor(path);

  double partial[kMaxSweepThreads];
  for (double& p : partial) p = -1.0;
  const std::int32_t n1 = dims.n1, n2 = dims.n2, n3 = dims.n3;
  runParallel(threads, n3, [&](std::int64_t begin, std::int64_t end, int worker) {
    double best = partial[worker];
    // The taps' offsets from voxel (i1, i2, i3), clamped at the faces
    // (along axis 1 only when `clamp1`: voxels 1 .. n1 - 2 need none).
    auto setDeltas = [&](tensor::RadiusDeltas& deltas, std::int32_t i1, std::int32_t i2,
                         std::int32_t i3, bool clamp1) {
      for (int j = 0; j < 3; ++j) {
        for (int k = 0; k < shared.gradientTapCount[j]; ++k) {
          const int g = shared.gradientTap[j][k];
          const std::int32_t o1 = g % 3 - 1, o2 = (g / 3) % 3 - 1, o3 = g / 9 - 1;
          const std::int64_t d1 = clamp1 ? clampIndex(i1 + o1, n1 - 1) - i1 : o1;
          const std::int64_t d2 = clampIndex(i2 + o2, n2 - 1) - i2;
          const std::int64_t d3 = clampIndex(i3 + o3, n3 - 1) - i3;
          deltas.delta[j][k] = d1 + static_cast<std::int64_t>(n1) * (d2 + n2 * d3);
        }
      }
    };
    tensor::RadiusDeltas inside, deltas;
    if (n2 > 2 && n3 > 2) setDeltas(inside, 1, 1, 1, false);
    auto take = [&](double radius) { best = radius > best ? radius : best; };
    for (std::int32_t i3 = static_cast<std::int32_t>(begin); i3 < end; ++i3) {
      for (std::int32_t i2 = 0; i2 < n2; ++i2) {
        const std::int64_t row = linearIndex(0, i2, i3, dims);
        setDeltas(deltas, 0, i2, i3, true);
        take(kernels.radius(shared, deltas, row, 1));
        if (n1 > 2) {
          const bool faceRow = i2 == 0 || i2 == n2 - 1 || i3 == 0 || i3 == n3 - 1;
          if (faceRow) setDeltas(deltas, 1, i2, i3, false);
          take(kernels.radius(shared, faceRow ? deltas : inside, row + 1, n1 - 2));
        }
        if (n1 > 1) {
          setDeltas(deltas, n1 - 1, i2, i3, true);
          take(kernels.radius(shared, deltas, row + n1 - 1, 1));
        }
      }
    }
    partial[worker] = best;  // a worker runs several chunks: keep the largest
  });
  double best = -1.0;
  for (double p : partial) best = p > best ? p : best;
  return best >= 0.0 ? best : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace quillmere
