// The tensor's plane pipeline and the bound's passes, and their threads;
// the per-voxel arithmetic lives in core/tensor_kernel_body.h. The tensor's
// workers each take a slab of planes along axis 3; the smoothed products
// at a slab's edges are computed once and handed to the neighbour, the
// earlier stages' edge planes (one component, cheap) by both, the same
// way. The bound's workers take
// ranges of planes: every value is computed by one fixed sequence of
// operations wherever it is computed, so neither the thread count nor the
// vector path can change a bit. Workers are std::threads started for a pass
// and joined before it ends, each under its own FloatEnvironmentGuard.
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

void planeOneLane(const PlanePass& pass) { smoothPlane<Lane1>(pass); }

void acrossOneLane(const AcrossPass& pass, double* target) { acrossPlanes<Lane1>(pass, target); }

void mapOneLane(const MapPass& pass, std::int64_t begin, std::int64_t end) {
  mapVoxels<Lane1>(pass, begin, end);
}

bool mapTakesClosedForm(const double* j) {
  const Lane1 products[6] = {{j[0]}, {j[1]}, {j[2]}, {j[3]}, {j[4]}, {j[5]}};
  Lane1 scale, a[3][3];
  mapStart<Lane1>(products, scale, a);
  ClosedForm<Lane1> cf;
  closedFormSpread<Lane1>(a, cf);
  return cf.applies;
}

double radiusOneLane(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                     std::int32_t n1) {
  return radiusRow<Lane1>(pass, deltas, row, n1);
}

std::int64_t planeRingRows(std::int64_t n2, std::int64_t r2) {
  const std::int64_t rows = 2 * r2 + kAcrossPlanes;
  return rows < n2 ? rows : n2;
}

std::int64_t alignedDoubles(std::int64_t n) {
  return (n + kAlignDoubles - 1) / kAlignDoubles * kAlignDoubles;
}

std::int64_t planeScratchDoubles(std::int64_t n1, std::int64_t n2, std::int64_t r1,
                                 std::int64_t r2) {
  return 6 * alignedDoubles(n1 + 2 * r1) + 6 * planeRingRows(n2, r2) * alignedDoubles(n1);
}

TensorKernels tensorKernelsFor(SweepPath path) {
  if (path == SweepPath::Automatic) path = selectedSweepPath();
  if (path == SweepPath::Avx512 && !sweepPathSupported(path)) path = SweepPath::Avx2;
  if (path == SweepPath::Avx2 && !sweepPathSupported(path)) path = SweepPath::Baseline;
  switch (path) {
    case SweepPath::Baseline:
      return {planeBaseline, acrossBaseline, mapBaseline, radiusBaseline};
    case SweepPath::Avx2:
      return {planeAvx2, acrossAvx2, mapAvx2, radiusAvx2};
    case SweepPath::Avx512:
      return {planeAvx512, acrossAvx512, mapAvx512, radiusAvx512};
    default:
      return {planeOneLane, acrossOneLane, mapOneLane, radiusOneLane};
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

// The sampled Gaussian of std. dev. s samples, radius r, not normalised:
// w[t] = exp(-t^2 / (2 s^2)) for t = 0..r (w[0] = 1). Returns the sum of
// the 2r+1 taps (summed from -r up).
double gaussianWeights(double s, std::int64_t r, double* w) {
  for (std::int64_t t = 0; t <= r; ++t) {
    const double x = static_cast<double>(t);
    w[t] = expNonPositive(-((x * x) / (2.0 * (s * s))));
  }
  double sum = 0.0;
  for (std::int64_t x = -r; x <= r; ++x) sum += w[x < 0 ? -x : x];
  return sum;
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

// A Gaussian of std. dev. `scale` (length units) along each axis: its
// weights (w[t], t = 0..radius) at weights + (axis - 1) (r + 1), r the
// largest radius. The passes run along axes 1, 2 and 3 in turn, so the
// normalisation of all three is applied once, in axis 3's weights: axes 1
// and 2 keep their centre weight 1, and a pass with centre weight 1 takes
// the centre sample as it is instead of multiplying it (one operation of
// the 3 r + 1 of an output). When scale <= 0 (no smoothing) radius 0 and
// w[0] = 1 along every axis: the passes then give each sample as it is
// (also zeros of either sign, inf and NaN).
struct Gaussian {
  const double* weights[3];
  std::int32_t radius[3];
};

Gaussian gaussian(const double* spacing, double scale, double* weights, std::int64_t r) {
  Gaussian g{};
  double sum[3] = {1.0, 1.0, 1.0};
  for (int a = 0; a < 3; ++a) {
    double* w = weights + a * (r + 1);
    g.weights[a] = w;
    if (scale > 0.0) {
      g.radius[a] = static_cast<std::int32_t>(gaussianRadius(scale, spacing[a]));
      sum[a] = gaussianWeights(scale / spacing[a], g.radius[a], w);
    } else {
      w[0] = 1.0;
    }
  }
  if (scale > 0.0) {
    double* w3 = weights + 2 * (r + 1);
    const double all = (sum[0] * sum[1]) * sum[2];
    for (std::int32_t t = 0; t <= g.radius[2]; ++t) w3[t] = w3[t] / all;
  }
  return g;
}

// Samples of J along a plane computed and mapped at a time: small enough
// that J stays in the second-level cache between the two (6 components of
// 16 planes: 384 KB).
constexpr std::int64_t kMapRun = 512;

double* alignedUp(double* p) {
  const std::uintptr_t line = sizeof(double) * tensor::kAlignDoubles;
  const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
  return p + ((line - a % line) % line) / sizeof(double);
}

// Rows at least this long are interleaved in the rings the axis-3 pass
// reads (see AcrossPass): one contiguous block per row instead of a stream
// per ring plane, which the hardware prefetchers do not follow past a few
// dozen. Shorter rows keep planar rings, whose pass runs over whole planes
// in vectors instead of row by row.
constexpr std::int64_t kInterleavedRow = 32;

// How the volume is shared among workers, and what one worker's share of
// the scratch holds, in doubles. The tensor is computed plane by plane
// along axis 3, each stage keeping only the planes the next one still
// reads, in rings (plane k in slot k % planes):
//   smoothed: u smoothed along axes 1 and 2 (2 r_sigma + 1 planes, r_sigma
//             the radius along axis 3; one without sigma);
//   uSigma:   u_sigma, three planes (the gradient's reach), planar;
//   products: the six products smoothed along axes 1 and 2,
//             2 r_rho + kAcrossPlanes planes each;
//   j:        the six components of J for kMapRun samples of kAcrossPlanes
//             planes;
//   plane:    the in-plane passes' lines and rings of rows (PlanePass).
// No ring holds more planes than the volume has. Each worker takes a slab
// of planes along axis 3 and, within it, a band of rows along axis 2; it
// computes the planes and rows its passes reach beyond them too (the halo:
// along axis 2 the sigma and rho radii and the gradient's row), the same
// way as their own worker does, so every value it keeps has the same bits,
// except the r_rho product planes each side of a boundary between slabs,
// which the slab owning them computes once into an exchange that both read
// (the work repeated on two threads was about a tenth of a slab's).
// A slab is at least as thick as the product rings and a band holds at
// least twice its halo (and 8 rows), so the work done twice stays below a
// worker's own; more threads than that leaves idle.
struct WorkerLayout {
  std::int64_t slabs, bands, halo;
  std::int64_t rowPitch;   // of the interleaved rings, n1 rounded up to whole lines
  std::int64_t planeSize;  // of a band and its halo, the most of any band, whole lines
  std::int64_t smoothedPlanes, sigmaPlanes, productPlanes, planeDoubles;
  bool interleaved;
  // Product planes each side of a boundary between slabs that the slab
  // owning them computes once and hands over (r_rho; 0 with one slab).
  std::int64_t exchangePlanes;
  std::int64_t workers() const { return slabs * bands; }
  // One side of one boundary within one band: the six components of its
  // planes, each plane `planeSize` doubles.
  std::int64_t exchangeSide() const { return 6 * exchangePlanes * planeSize; }
  std::int64_t exchangeDoubles() const { return (slabs - 1) * bands * 2 * exchangeSide(); }
  std::int64_t doubles() const {
    return planeSize * (smoothedPlanes + sigmaPlanes + 6 * productPlanes) +
           6 * tensor::kAcrossPlanes * kMapRun + planeDoubles;
  }
};

WorkerLayout workerLayout(VolumeDims dims, const TensorParameters& p, int threads) {
  const std::int64_t n2 = dims.n2, n3 = dims.n3;
  // Planes a stage keeps when the next one reads `reach` planes on each side
  // of `together` neighbouring planes at once.
  auto ring = [&](std::int64_t reach, std::int64_t together) {
    const std::int64_t planes = 2 * reach + together;
    return planes < n3 ? planes : n3;
  };
  WorkerLayout l{};
  l.smoothedPlanes = ring(gaussianRadius(p.sigma, p.spacing[2]), 1);
  l.sigmaPlanes = ring(1, 1);
  l.productPlanes = ring(gaussianRadius(p.rho, p.spacing[2]), tensor::kAcrossPlanes);
  const std::int64_t t = clampThreads(threads);
  const std::int64_t mostSlabs = n3 / l.productPlanes > 1 ? n3 / l.productPlanes : 1;
  l.halo = gaussianRadius(p.sigma, p.spacing[1]) + 1 + gaussianRadius(p.rho, p.spacing[1]);
  const std::int64_t leastRows = 2 * l.halo > 8 ? 2 * l.halo : 8;
  const std::int64_t mostBands = n2 / leastRows > 1 ? n2 / leastRows : 1;
  // The most workers, and of those the most slabs (a slab repeats fewer
  // values than a band): 4 threads on 3 possible slabs take 2 slabs of 2
  // bands rather than 3 slabs.
  l.slabs = l.bands = 1;
  for (std::int64_t slabs = mostSlabs < t ? mostSlabs : t; slabs >= 1; --slabs) {
    const std::int64_t bands = t / slabs < mostBands ? t / slabs : mostBands;
    if (slabs * bands > l.slabs * l.bands) {
      l.slabs = slabs;
      l.bands = bands;
    }
  }
  const std::int64_t rows = l.bands == 1 ? n2 : (n2 + l.bands - 1) / l.bands + 2 * l.halo;
  l.interleaved = dims.n1 >= kInterleavedRow;
  l.rowPitch = l.interleaved ? tensor::alignedDoubles(dims.n1) : dims.n1;
  l.planeSize = tensor::alignedDoubles(l.rowPitch * (rows < n2 ? rows : n2));
  l.exchangePlanes = l.slabs > 1 ? gaussianRadius(p.rho, p.spacing[2]) : 0;
  const std::int64_t r = largestRadius(p);
  l.planeDoubles =
      tensor::alignedDoubles(tensor::planeScratchDoubles(dims.n1, rows < n2 ? rows : n2, r, r));
  return l;
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
  const std::int64_t r = largestRadius(parameters);
  const WorkerLayout layout = workerLayout(dims, parameters, threads);
  // Room to start the workers' share on a whole cache line.
  return static_cast<std::size_t>(6 * (r + 1) + tensor::kAlignDoubles - 1 +
                                  layout.workers() * layout.doubles() + layout.exchangeDoubles());
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
  const std::int64_t r = largestRadius(parameters);
  const double* h = parameters.spacing;
  const Gaussian sigma = gaussian(h, parameters.sigma, scratch, r);
  const Gaussian rho = gaussian(h, parameters.rho, scratch + 3 * (r + 1), r);
  const WorkerLayout layout = workerLayout(dims, parameters, threads);
  // Every worker's rings, runs of J and rows start on a cache line (when
  // rows are whole lines, so do their rows): a vector load that straddles
  // two lines costs two.
  double* const workerScratch = alignedUp(scratch + 6 * (r + 1));
  const tensor::TensorKernels kernels = tensor::tensorKernelsFor(path);
  const std::int64_t workers = layout.workers();
  const std::int64_t n1 = dims.n1, n2 = dims.n2, n3 = dims.n3;
  const std::int64_t volumePlane = n1 * n2, stride = layout.planeSize;

  tensor::MapPass mapTemplate{};
  mapTemplate.kind = parameters.kind;
  mapTemplate.alpha = parameters.alpha;
  mapTemplate.oneMinusAlpha = 1.0 - parameters.alpha;
  mapTemplate.c = parameters.c;
  mapTemplate.lambdaSquared = parameters.lambda * parameters.lambda;

  // The hand-over between neighbouring slabs: side 2 (b bands + band) of
  // boundary b (between slabs b and b + 1) holds the r_rho product planes
  // below it, side 2 (...) + 1 those above it, each computed once (by
  // whichever worker claims it first: the owning slab at its start, or a
  // neighbour that finds it unclaimed) and read by both. State 0: free, 1:
  // being computed, 2: ready. A worker waits only on a side another is
  // computing, and computing one waits on nothing, so none waits forever.
  double* const exchange = workerScratch + workers * layout.doubles();
  std::atomic<int> sideState[2 * kMaxSweepThreads];
  for (auto& state : sideState) state.store(0, std::memory_order_relaxed);

  // One item per worker: its slab of planes [z0, z1) and band of rows
  // [y0, y1), computed over rows [ya, yb) (the band and its halo).
  runParallel(
      static_cast<int>(workers), workers, [&](std::int64_t begin, std::int64_t end, int worker) {
        double* base = workerScratch + worker * layout.doubles();
        double* smoothedRing = base;
        double* sigmaRing = smoothedRing + layout.smoothedPlanes * stride;
        double* productRing = sigmaRing + layout.sigmaPlanes * stride;
        double* jRuns = productRing + 6 * layout.productPlanes * stride;
        static_assert(kMapRun % tensor::kAlignDoubles == 0, "runs of J on whole lines");
        double* planeScratch = jRuns + 6 * tensor::kAcrossPlanes * kMapRun;
        auto clampPlane = [&](std::int64_t k) { return k < 0 ? 0 : (k >= n3 ? n3 - 1 : k); };

        for (std::int64_t item = begin; item < end; ++item) {
          const std::int64_t slab = item / layout.bands, band = item % layout.bands;
          const std::int64_t z0 = n3 * slab / layout.slabs, z1 = n3 * (slab + 1) / layout.slabs;
          const std::int64_t y0 = n2 * band / layout.bands, y1 = n2 * (band + 1) / layout.bands;
          const std::int64_t ya = y0 - layout.halo > 0 ? y0 - layout.halo : 0;
          const std::int64_t yb = y1 + layout.halo < n2 ? y1 + layout.halo : n2;
          const std::int64_t ps = n1 * (yb - ya);
          // Where plane k's rows go in a ring of `planes` read by the axis-3
          // pass: its start, and the distance between its rows.
          auto ringSlot = [&](double* ring, std::int64_t planes, std::int64_t k) {
            return ring + (k % planes) * (layout.interleaved ? layout.rowPitch : stride);
          };
          auto ringRowStride = [&](std::int64_t planes) {
            return layout.interleaved ? planes * layout.rowPitch : n1;
          };
          // Smooths rows [ya, yb) of one plane along axes 1 and 2 into
          // target (rows targetRowStride apart): of u (plane k), or, without
          // u, the products of the gradient of the u_sigma plane k.
          auto smoothInPlane = [&](const Gaussian& g, const float* from, std::int64_t k,
                                   double* const* target, std::int64_t targetRowStride) {
            tensor::PlanePass pass{};
            pass.u = from;
            if (!from) {
              pass.plane = sigmaRing + (k % layout.sigmaPlanes) * stride;
              pass.below = sigmaRing + (clampPlane(k - 1) % layout.sigmaPlanes) * stride;
              pass.above = sigmaRing + (clampPlane(k + 1) % layout.sigmaPlanes) * stride;
              pass.sourceRowStride = n1;
              for (int a = 0; a < 3; ++a) pass.scale[a] = 0.5 / h[a];
            }
            pass.n1 = n1;
            pass.n2 = yb - ya;
            for (int a = 0; a < 2; ++a) {
              pass.weights[a] = g.weights[a];
              pass.radius[a] = g.radius[a];
            }
            for (int c = 0; c < (from ? 1 : 6); ++c) pass.target[c] = target[c];
            pass.targetRowStride = targetRowStride;
            pass.scratch = planeScratch;
            kernels.plane(pass);
          };
          // Planes k .. k + count - 1 along axis 3, samples [from, to) of each,
          // to target + b targetStride + (x - from).
          auto across = [&](const Gaussian& g, const double* ring, std::int64_t planes,
                            std::int64_t k, int count, std::int64_t from, std::int64_t to,
                            std::int64_t targetStride, double* target) {
            const tensor::AcrossPass pass{ring,
                                          layout.interleaved ? layout.rowPitch : stride,
                                          planes,
                                          n3,
                                          k,
                                          count,
                                          g.weights[2],
                                          g.radius[2],
                                          from,
                                          to,
                                          n1,
                                          ringRowStride(planes),
                                          targetStride};
            kernels.across(pass, target);
          };

          // The next plane each stage computes; u_sigma and u smoothed start
          // where the first product plane computed here first needs them.
          std::int64_t nextProduct = clampPlane(z0 - rho.radius[2]);
          std::int64_t nextSigma = 0, nextSmoothed = 0;
          bool sigmaStarted = false;
          auto startSigma = [&](std::int64_t k) {
            nextSigma = clampPlane(k - 1);
            nextSmoothed = clampPlane(nextSigma - sigma.radius[2]);
            sigmaStarted = true;
          };
          auto ensureSmoothed = [&](std::int64_t k) {
            for (; nextSmoothed <= k; ++nextSmoothed) {
              double* const plane[1] = {
                  ringSlot(smoothedRing, layout.smoothedPlanes, nextSmoothed)};
              smoothInPlane(sigma, u + nextSmoothed * volumePlane + ya * n1, nextSmoothed, plane,
                            ringRowStride(layout.smoothedPlanes));
            }
          };
          // u_sigma up to plane k, one plane at a time.
          auto ensureSigma = [&](std::int64_t k) {
            for (; nextSigma <= k; ++nextSigma) {
              ensureSmoothed(clampPlane(nextSigma + sigma.radius[2]));
              across(sigma, smoothedRing, layout.smoothedPlanes, nextSigma, 1, 0, ps, ps,
                     sigmaRing + (nextSigma % layout.sigmaPlanes) * stride);
            }
          };
          // The gradient of u_sigma at plane k and its six products, smoothed
          // along axes 1 and 2, into target[c] (rows targetRowStride apart).
          auto productsInto = [&](std::int64_t k, double* const* target,
                                  std::int64_t targetRowStride) {
            if (!sigmaStarted) startSigma(k);
            ensureSigma(clampPlane(k + 1));
            smoothInPlane(rho, nullptr, k, target, targetRowStride);
          };
          // The exchange side holding plane k for this band, and its first
          // plane; index -1 where k is computed here.
          const std::int64_t e = layout.exchangePlanes;
          struct Side {
            std::int64_t index, first;
          };
          auto sideOf = [&](std::int64_t k) -> Side {
            if (e == 0) return {-1, 0};
            if (slab > 0 && k >= z0 - e && k < z0 + e) {
              const std::int64_t b = slab - 1;
              return {2 * (b * layout.bands + band) + (k < z0 ? 0 : 1), k < z0 ? z0 - e : z0};
            }
            if (slab + 1 < layout.slabs && k >= z1 - e && k < z1 + e) {
              return {2 * (slab * layout.bands + band) + (k < z1 ? 0 : 1), k < z1 ? z1 - e : z1};
            }
            return {-1, 0};
          };
          auto sidePlanes = [&](const Side& side) {
            return exchange + side.index * layout.exchangeSide();
          };
          // Computes a side's planes into the exchange (they do not go through
          // this worker's rings, whose next planes start again afterwards).
          auto computeSide = [&](const Side& side) {
            sigmaStarted = false;
            for (std::int64_t k = side.first; k < side.first + e; ++k) {
              double* target[6];
              for (int c = 0; c < 6; ++c) {
                target[c] = sidePlanes(side) + (c * e + (k - side.first)) * stride;
              }
              productsInto(k, target, n1);
            }
            sigmaStarted = false;
            sideState[side.index].store(2, std::memory_order_release);
          };
          // Makes a side ready: computes it when nobody has claimed it,
          // waits while another worker computes it.
          auto obtainSide = [&](const Side& side) {
            int expected = 0;
            if (sideState[side.index].compare_exchange_strong(expected, 1,
                                                              std::memory_order_acq_rel)) {
              computeSide(side);
              return;
            }
            while (sideState[side.index].load(std::memory_order_acquire) != 2) {
              std::this_thread::yield();
            }
          };
          // This slab's own planes that its neighbours read, computed first:
          // the top ones (the slab above reads them first thing, and computes
          // its bottom ones meanwhile), then the bottom ones (the slab below
          // reads them last).
          if (e > 0) {
            if (slab + 1 < layout.slabs) obtainSide(sideOf(z1 - 1));
            if (slab > 0) obtainSide(sideOf(z0));
          }
          auto ensureProducts = [&](std::int64_t k) {
            for (; nextProduct <= k; ++nextProduct) {
              double* p[6];
              for (int c = 0; c < 6; ++c) {
                p[c] = ringSlot(productRing + c * layout.productPlanes * stride,
                                layout.productPlanes, nextProduct);
              }
              const std::int64_t rowStride = ringRowStride(layout.productPlanes);
              const Side side = sideOf(nextProduct);
              if (side.index < 0) {
                productsInto(nextProduct, p, rowStride);
                continue;
              }
              obtainSide(side);
              for (int c = 0; c < 6; ++c) {
                const double* from =
                    sidePlanes(side) + (c * e + (nextProduct - side.first)) * stride;
                for (std::int64_t i = 0; i < yb - ya; ++i) {
                  std::memcpy(p[c] + i * rowStride, from + i * n1,
                              static_cast<std::size_t>(n1) * sizeof(double));
                }
              }
            }
          };
          // The band's own rows, as samples of the computed plane.
          const std::int64_t keptBegin = n1 * (y0 - ya), keptEnd = n1 * (y1 - ya);
          for (std::int64_t z = z0; z < z1; z += tensor::kAcrossPlanes) {
            const int count =
                static_cast<int>(z1 - z < tensor::kAcrossPlanes ? z1 - z : tensor::kAcrossPlanes);
            ensureProducts(clampPlane(z + count - 1 + rho.radius[2]));
            // J a run of samples at a time, mapped while it is in the cache.
            for (std::int64_t x0 = keptBegin; x0 < keptEnd; x0 += kMapRun) {
              const std::int64_t x1 = keptEnd - x0 < kMapRun ? keptEnd : x0 + kMapRun;
              for (int c = 0; c < 6; ++c) {
                const double* ring = productRing + c * layout.productPlanes * stride;
                across(rho, ring, layout.productPlanes, z, count, x0, x1, kMapRun,
                       jRuns + c * tensor::kAcrossPlanes * kMapRun);
              }
              for (int b = 0; b < count; ++b) {
                tensor::MapPass map = mapTemplate;
                for (int c = 0; c < 6; ++c) {
                  map.j[c] = jRuns + (c * tensor::kAcrossPlanes + b) * kMapRun;
                  map.out[c] = out[c] + (z + b) * volumePlane + ya * n1 + x0;
                }
                kernels.map(map, 0, x1 - x0);
              }
            }
          }
        }
      });
}

double dataRange(const float* u, std::size_t count) {
  if (count == 0) return 0.0;
  const FloatEnvironmentGuard environment;
  // Lanes of running extremes, started where every sample replaces them; a
  // NaN compares false and never does. Both extremes are exact, so the lanes
  // and their order cannot change them.
  constexpr std::size_t kLanes = 16;
  float high[kLanes], low[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) {
    high[l] = -std::numeric_limits<float>::infinity();
    low[l] = std::numeric_limits<float>::infinity();
  }
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const float x = u[i + l];
      high[l] = x > high[l] ? x : high[l];
      low[l] = x < low[l] ? x : low[l];
    }
  }
  for (std::size_t l = 0; i < count; ++i, ++l) {
    high[l] = u[i] > high[l] ? u[i] : high[l];
    low[l] = u[i] < low[l] ? u[i] : low[l];
  }
  float top = high[0], bottom = low[0];
  for (std::size_t l = 1; l < kLanes; ++l) {
    top = high[l] > top ? high[l] : top;
    bottom = low[l] < bottom ? low[l] : bottom;
  }
  // Only an all-NaN volume leaves the maximum below the minimum.
  if (top < bottom) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(top) - static_cast<double>(bottom);
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
    if (tap.termCount == 1) {
      pass.single[tap.source[0]] += std::fabs(tap.weight[0]);
    } else if (tap.termCount > 1) {
      pass.taps[pass.tapCount++] = tap;
    }
  }
  for (int k = 0; k < 9; ++k) {
    if (pass.single[k] != 0.0) pass.singleSource[pass.singleCount++] = k;
  }
  for (int j = 0; j < 3; ++j) {
    for (int g = 0; g < kGradientTaps; ++g) {
      if (grad[j][g] != 0.0f) {
        pass.gradientTap[j][pass.gradientTapCount[j]] = g;
        pass.gradientWeight[j][pass.gradientTapCount[j]++] = grad[j][g];
      }
    }
  }
  pass.difference = true;
  for (int j = 0; j < 3; ++j) {
    int exponent = 0;
    const double w = pass.gradientWeight[j][1];
    pass.difference = pass.difference && pass.gradientTapCount[j] == 2 &&
                      pass.gradientWeight[j][0] == -w && w > 0.0 && std::frexp(w, &exponent) == 0.5;
  }
  // |-w| is |w|: a tap whose first weight is negative takes every weight
  // negated (each exact product and each sum is negated exactly), so that
  // terms of weight -1 below subtract.
  for (int m = 0; m < pass.tapCount; ++m) {
    tensor::RadiusTap& tap = pass.taps[m];
    if (tap.weight[0] < 0.0) {
      for (int k = 0; k < tap.termCount; ++k) tap.weight[k] = -tap.weight[k];
    }
  }
  // With differences, q_i is taken times the power of two m that every tap
  // term reading it carries as +-m (not a single): the scaling is exact and
  // commutes with every rounding of q_i, so (+-m) q_i is +-(m q_i), and
  // those terms' weights become +-1.
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) pass.differenceWeight[i][j] = pass.gradientWeight[j][1];
    if (!pass.difference || pass.single[6 + i] != 0.0) continue;
    double scale = 0.0;
    bool common = true;
    for (int m = 0; m < pass.tapCount; ++m) {
      const tensor::RadiusTap& tap = pass.taps[m];
      for (int k = 0; k < tap.termCount; ++k) {
        if (tap.source[k] != 6 + i) continue;
        const double a = std::fabs(tap.weight[k]);
        common = common && (scale == 0.0 || a == scale);
        scale = a;
      }
    }
    int exponent = 0;
    if (!common || scale == 0.0 || std::frexp(scale, &exponent) != 0.5) continue;
    for (int j = 0; j < 3; ++j) pass.differenceWeight[i][j] = pass.gradientWeight[j][1] * scale;
    for (int m = 0; m < pass.tapCount; ++m) {
      tensor::RadiusTap& tap = pass.taps[m];
      for (int k = 0; k < tap.termCount; ++k) {
        if (tap.source[k] == 6 + i) tap.weight[k] = tap.weight[k] > 0.0 ? 1.0 : -1.0;
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
    // Rows away from the faces of axes 2 and 3 share their offsets: set once.
    tensor::RadiusDeltas inside[3], face[3];
    if (n2 > 2 && n3 > 2) {
      setDeltas(inside[0], 0, 1, 1, true);
      setDeltas(inside[1], 1, 1, 1, false);
      setDeltas(inside[2], n1 - 1, 1, 1, true);
    }
    auto take = [&](double radius) { best = radius > best ? radius : best; };
    for (std::int32_t i3 = static_cast<std::int32_t>(begin); i3 < end; ++i3) {
      for (std::int32_t i2 = 0; i2 < n2; ++i2) {
        const std::int64_t row = linearIndex(0, i2, i3, dims);
        const bool faceRow = i2 == 0 || i2 == n2 - 1 || i3 == 0 || i3 == n3 - 1;
        const tensor::RadiusDeltas* deltas = inside;
        if (faceRow) {
          setDeltas(face[0], 0, i2, i3, true);
          if (n1 > 2) setDeltas(face[1], 1, i2, i3, false);
          if (n1 > 1) setDeltas(face[2], n1 - 1, i2, i3, true);
          deltas = face;
        }
        take(kernels.radius(shared, deltas, row, n1));
      }
    }
    partial[worker] = best;  // a worker runs several chunks: keep the largest
  });
  double best = -1.0;
  for (double p : partial) best = p > best ? p : best;
  return best >= 0.0 ? best : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace quillmere
