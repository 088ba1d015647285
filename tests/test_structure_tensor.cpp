// The tensor and the step-size bound: the same bits on every vector path and
// thread count and under any caller floating-point state, known answers on
// volumes whose tensor is known, and the exp that replaces the platform's.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/structure_tensor.h"
#include "core/tensor_kernels.h"
#include "core/update_sweep.h"
#include "tests/support/stencil_families.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace {

using quillmere::SweepPath;
using quillmere::TensorKind;
using quillmere::TensorParameters;
using quillmere::VolumeDims;

std::size_t voxels(VolumeDims d) {
  return static_cast<std::size_t>(d.n1) * static_cast<std::size_t>(d.n2) *
         static_cast<std::size_t>(d.n3);
}

// The six components of one run, back to back; the scratch starts
// `offset` doubles into its block (its alignment is the caller's).
std::vector<float> runTensor(const std::vector<float>& u, VolumeDims d, const TensorParameters& p,
                             int threads, SweepPath path, std::size_t offset = 0) {
  const std::size_t n = voxels(d);
  std::vector<float> out(6 * n, -1.0f);
  std::vector<double> scratch(offset + quillmere::tensorScratchDoubles(d, p, threads));
  float* outs[6];
  for (int k = 0; k < 6; ++k) outs[k] = out.data() + k * n;
  quillmere::computeTensor(u.data(), d, p, outs, scratch.data() + offset, threads, path);
  return out;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

enum class Fill { Random, Zero, Huge, Tiny, WithNaN, Sheet, HalfFlat };

std::vector<float> makeVolume(VolumeDims d, Fill fill) {
  std::vector<float> u(voxels(d));
  std::mt19937 rng(11u);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  for (std::size_t e = 0; e < u.size(); ++e) {
    const float x = noise(rng);
    switch (fill) {
      case Fill::Random:
        u[e] = x;
        break;
      case Fill::Zero:
        u[e] = 0.0f;
        break;
      case Fill::Huge:
        u[e] = 1e30f * x;
        break;
      case Fill::Tiny:
        u[e] = 1e-40f * x;
        break;  // subnormal
      case Fill::WithNaN:
        u[e] = e == u.size() / 2 ? std::nanf("") : x;
        break;
      case Fill::Sheet:
        u[e] = (e / static_cast<std::size_t>(d.n1)) % 4 < 2 ? 1.0f : 0.0f;
        break;
      case Fill::HalfFlat:  // flat lanes (J = 0) beside structured ones
        u[e] = e % static_cast<std::size_t>(d.n1) < static_cast<std::size_t>(d.n1) / 2 ? 0.0f : x;
        break;
    }
  }
  return u;
}

TensorParameters parameters(TensorKind kind, double sigma, double rho) {
  return {kind, sigma, rho, {1.0, 1.3, 0.8}, 0.01, 1e-4, 0.5};
}

const SweepPath kPaths[] = {SweepPath::Plain, SweepPath::Baseline, SweepPath::Avx2,
                            SweepPath::Avx512};

// Every supported path and 1..8 threads against the plain path on one
// thread, bit for bit: shapes with vector tails, single voxels and planes;
// every kind; data that is flat, huge, subnormal or holds a NaN; rows long
// enough for the rings interleaved by row and short ones; a scratch on
// any alignment.
TEST(StructureTensor, SameBitsOnEveryPathAndThreadCount) {
  struct Case {
    VolumeDims dims;
    Fill fill;
    TensorKind kind;
    double sigma, rho;
  };
  const Case cases[] = {
      {{13, 9, 11}, Fill::Random, TensorKind::Coherence, 1.0, 2.0},
      {{13, 9, 11}, Fill::Random, TensorKind::Edge, 1.0, 0.0},
      {{13, 9, 11}, Fill::Random, TensorKind::Structure, 0.7, 1.5},
      {{17, 3, 5}, Fill::Sheet, TensorKind::Coherence, 0.0, 1.0},
      {{8, 8, 8}, Fill::Zero, TensorKind::Coherence, 1.0, 3.0},
      {{9, 7, 6}, Fill::Huge, TensorKind::Coherence, 1.0, 1.0},
      {{9, 7, 6}, Fill::Tiny, TensorKind::Edge, 1.0, 1.0},
      {{9, 7, 6}, Fill::WithNaN, TensorKind::Coherence, 1.0, 1.0},
      {{1, 1, 1}, Fill::Random, TensorKind::Coherence, 1.0, 3.0},
      {{1, 12, 10}, Fill::Random, TensorKind::Edge, 2.0, 1.0},
      {{30, 1, 1}, Fill::Random, TensorKind::Coherence, 1.0, 1.0},
      {{19, 6, 9}, Fill::HalfFlat, TensorKind::Coherence, 1.0, 1.0},
      // Fewer planes than the rings hold; one plane more than the threads.
      {{7, 6, 2}, Fill::Random, TensorKind::Coherence, 1.0, 1.0},
      {{5, 4, 3}, Fill::Random, TensorKind::Edge, 0.0, 2.0},
      // Thick enough for slabs on several threads (two for 'ced', five for
      // 'eed'): their edge planes computed on both sides.
      {{9, 7, 40}, Fill::Random, TensorKind::Coherence, 1.0, 1.0},
      {{9, 7, 40}, Fill::Random, TensorKind::Edge, 1.0, 0.0},
      // Slabs that hand their edge product planes over (three slabs from
      // three threads on; two slabs of two bands each from four threads on).
      {{9, 7, 70}, Fill::Random, TensorKind::Coherence, 1.0, 1.0},
      {{12, 40, 48}, Fill::Random, TensorKind::Structure, 0.5, 0.5},
      // Wide enough along axis 2 for bands of rows (a plane; a thin stack;
      // slabs and bands together).
      {{33, 64, 1}, Fill::Random, TensorKind::Edge, 1.0, 0.0},
      {{10, 40, 3}, Fill::Random, TensorKind::Coherence, 1.0, 1.0},
      {{9, 30, 32}, Fill::Random, TensorKind::Edge, 1.0, 0.0},
      // A reach along axis 3 past the planes listed at once (36 > 32).
      {{6, 5, 40}, Fill::Random, TensorKind::Coherence, 0.5, 9.6},
      // Rows interleaved in the rings, of a length that is not whole cache
      // lines: slabs and bands; one plane; reaches past every extent (along
      // axis 2 beyond the ring of rows, along axis 3 past the listed planes).
      {{37, 30, 40}, Fill::Random, TensorKind::Coherence, 1.0, 1.0},
      {{40, 20, 1}, Fill::HalfFlat, TensorKind::Edge, 1.0, 2.0},
      {{32, 2, 3}, Fill::Random, TensorKind::Structure, 1.0, 14.0},
  };
  for (const Case& c : cases) {
    const std::vector<float> u = makeVolume(c.dims, c.fill);
    const TensorParameters p = parameters(c.kind, c.sigma, c.rho);
    const std::vector<float> reference = runTensor(u, c.dims, p, 1, SweepPath::Plain);
    for (SweepPath path : kPaths) {
      if (!quillmere::sweepPathSupported(path)) continue;
      for (int threads = 1; threads <= 8; ++threads) {
        // Every second run on a scratch off the cache lines.
        const std::size_t offset = static_cast<std::size_t>(threads % 2);
        EXPECT_TRUE(sameBits(runTensor(u, c.dims, p, threads, path, offset), reference))
            << quillmere::sweepPathName(path) << ", " << threads << " threads, " << c.dims.n1 << "x"
            << c.dims.n2 << "x" << c.dims.n3 << ", fill " << static_cast<int>(c.fill);
      }
    }
  }
}

#if defined(__x86_64__) || defined(_M_X64)
// Flush-to-zero, denormals-are-zero and rounding towards zero in the caller
// change nothing, and are all still set afterwards.
TEST(StructureTensor, CallerFloatingPointStateDoesNotMatter) {
  const VolumeDims d{9, 7, 6};
  const std::vector<float> u = makeVolume(d, Fill::Tiny);
  const TensorParameters p = parameters(TensorKind::Coherence, 1.0, 1.0);
  const std::vector<float> reference = runTensor(u, d, p, 1, SweepPath::Automatic);
  const unsigned saved = _mm_getcsr();
  const int savedRounding = std::fegetround();
  _mm_setcsr(saved | 0x8040u);  // FTZ and DAZ
  std::fesetround(FE_TOWARDZERO);
  const unsigned hostile = _mm_getcsr();
  std::vector<float> runs[2];
  runs[0] = runTensor(u, d, p, 1, SweepPath::Automatic);
  runs[1] = runTensor(u, d, p, 3, SweepPath::Automatic);
  const unsigned after = _mm_getcsr();
  std::fesetround(savedRounding);
  _mm_setcsr(saved);
  EXPECT_TRUE(sameBits(runs[0], reference));
  EXPECT_TRUE(sameBits(runs[1], reference));
  EXPECT_EQ(after & ~0x3fu, hostile & ~0x3fu);  // control bits kept; flags may differ
}
#endif

// A constant volume has no structure: J = 0, and the Jacobi rotations leave
// the unit frame exactly, so the tensors are exact multiples of I.
TEST(StructureTensor, FlatVolumeGivesExactMultiplesOfIdentity) {
  struct Case {
    TensorKind kind;
    float diagonal;
  };
  const Case cases[] = {
      {TensorKind::Structure, 0.0f}, {TensorKind::Coherence, 0.01f}, {TensorKind::Edge, 1.0f}};
  const VolumeDims d{5, 4, 3};
  const std::vector<float> u(voxels(d), 3.5f);
  for (const Case& c : cases) {
    const std::vector<float> t =
        runTensor(u, d, parameters(c.kind, 1.0, 2.0), 2, SweepPath::Automatic);
    const std::size_t n = voxels(d);
    for (std::size_t e = 0; e < n; ++e) {
      ASSERT_EQ(t[0 * n + e], c.diagonal);
      ASSERT_EQ(t[3 * n + e], c.diagonal);
      ASSERT_EQ(t[5 * n + e], c.diagonal);
      ASSERT_EQ(t[1 * n + e], 0.0f);
      ASSERT_EQ(t[2 * n + e], 0.0f);
      ASSERT_EQ(t[4 * n + e], 0.0f);
    }
  }
}

// A ramp along one axis, no smoothing: away from the faces the gradient is
// the slope s along that axis, J = s^2 e e', and the maps are known. Each
// axis in turn, so the eigenvector order cannot hide behind the first.
TEST(StructureTensor, RampHasTheKnownTensor) {
  const VolumeDims d{6, 6, 6};
  const double slope = 0.3, alpha = 0.01, c = 1e-4, lambda = 0.5;
  const double across[3] = {
      0.0, alpha, 1.0 - std::exp(-3.31488 / std::pow(slope * slope / (lambda * lambda), 4))};
  const double along[3] = {0.0, alpha + (1 - alpha) * std::exp(-c / std::pow(slope, 4)), 1.0};
  const TensorKind kinds[3] = {TensorKind::Structure, TensorKind::Coherence, TensorKind::Edge};
  const int diagonal[3] = {0, 3, 5};
  for (int axis = 0; axis < 3; ++axis) {
    std::vector<float> u(voxels(d));
    for (int i3 = 0; i3 < 6; ++i3)
      for (int i2 = 0; i2 < 6; ++i2)
        for (int i1 = 0; i1 < 6; ++i1) {
          const int i[3] = {i1, i2, i3};
          u[static_cast<std::size_t>(i1 + 6 * (i2 + 6 * i3))] = static_cast<float>(slope * i[axis]);
        }
    for (int k = 0; k < 3; ++k) {
      TensorParameters p{kinds[k], 0.0, 0.0, {1.0, 1.0, 1.0}, alpha, c, lambda};
      const std::vector<float> t = runTensor(u, d, p, 1, SweepPath::Automatic);
      const std::size_t e = 2 + 6 * (3 + 6 * 2), n = voxels(d);
      for (int a = 0; a < 3; ++a) {
        const double want = a == axis ? (k == 0 ? slope * slope : across[k]) : along[k];
        EXPECT_NEAR(t[diagonal[a] * n + e], want, 1e-6) << "axis " << axis << " kind " << k;
      }
      EXPECT_NEAR(t[1 * n + e], 0.0, 1e-7);
      EXPECT_NEAR(t[2 * n + e], 0.0, 1e-7);
      EXPECT_NEAR(t[4 * n + e], 0.0, 1e-7);
    }
  }
}

// The eigenvalue maps on tensors built from known eigenvalues and a random
// frame, J = Q diag(mu) Q': every path gives Q diag(f(mu)) Q' to within the
// documented 1e-6 of the largest entry, and the plain path's bits, where
// eigenvalues are distinct, repeated, nearly repeated, and at huge and tiny
// scales. Each row also says which solve its lanes take: the closed form
// for a spread-out spectrum (p > 2^-10 of the largest entry), Jacobi for a
// near-isotropic one, both side by side in one vector where the spread is
// at the threshold and the frames differ (scaling by the largest entry
// moves p with the frame).
TEST(StructureTensor, EigenMapsMatchBuiltTensors) {
  enum class Solve { Closed, Jacobi, Both };
  struct Case {
    double mu[3];
    TensorKind kind;
    Solve solve;
    bool someAligned = false;  // every third voxel's frame the axes: lanes
                               // with nothing to turn beside turning ones
  };
  constexpr double kAbove = 3 * 0x1p-10 * (1 + 0x1p-20), kBelow = 3 * 0x1p-10 * (1 - 0x1p-20);
  const Case cases[] = {
      {{3.0, 2.0, 1.0}, TensorKind::Coherence, Solve::Closed},
      {{3.0, 2.0, 1.0}, TensorKind::Coherence, Solve::Closed, true},
      {{3.0, 3.0, 1.0}, TensorKind::Edge, Solve::Closed, true},
      {{3.0, 3.0, 1.0}, TensorKind::Coherence, Solve::Closed},
      {{3.0, 1.0, 1.0}, TensorKind::Coherence, Solve::Closed},
      {{2.0, 2.0, 2.0}, TensorKind::Coherence, Solve::Jacobi},
      {{2.0, 2.0 - 1e-9, 0.5}, TensorKind::Coherence, Solve::Closed},
      {{3.0, 1.0, 1.0 - 1e-9}, TensorKind::Edge, Solve::Closed},
      {{1.0, 0.3, 0.0}, TensorKind::Coherence, Solve::Closed},
      {{3e30, 1e30, 2e29}, TensorKind::Coherence, Solve::Closed},
      {{3e-30, 1e-30, 2e-31}, TensorKind::Coherence, Solve::Closed},
      // Beyond the bounds of the power-of-two scale (2^1000 and 2^-1000),
      // and subnormal, where a reciprocal of the largest entry overflows.
      {{3e305, 1e305, 2e304}, TensorKind::Edge, Solve::Closed},
      {{3e-305, 1e-305, 2e-306}, TensorKind::Edge, Solve::Jacobi},
      {{3e-305, 1e-305, 2e-306}, TensorKind::Coherence, Solve::Jacobi},
      {{3e-310, 1e-310, 2e-311}, TensorKind::Edge, Solve::Jacobi},
      {{3.0, 2.0, 1.0}, TensorKind::Edge, Solve::Closed},
      {{1.0, 1.0, 1e-3}, TensorKind::Edge, Solve::Closed},
      // Rank one, as 'eed' gives by default (rho = 0).
      {{1.0, 0.0, 0.0}, TensorKind::Edge, Solve::Closed, true},
      {{1.0, 0.0, 0.0}, TensorKind::Coherence, Solve::Closed},
      // A tube and a sheet with p just above the threshold in every frame,
      // and just below it in the axes' frame only.
      {{1.0, 1.0 - kAbove, 1.0 - kAbove}, TensorKind::Coherence, Solve::Closed},
      {{1.0, 1.0, 1.0 - kAbove}, TensorKind::Edge, Solve::Closed},
      {{1.0, 1.0 - kBelow, 1.0 - kBelow}, TensorKind::Coherence, Solve::Both, true},
      {{1.0, 1.0, 1.0 - kBelow}, TensorKind::Edge, Solve::Both, true},
      {{1.0, 1.0 - 1e-6, 1.0 - 2e-6}, TensorKind::Coherence, Solve::Jacobi},
  };
  constexpr int kVoxels = 37;  // vectors and a tail on every path
  std::mt19937 rng(5u);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const Case& c : cases) {
    const double top = c.mu[0];
    const double cc = 1e-2 * top * top, lambda = std::sqrt(0.5 * top), alpha = 0.01;
    auto f = [&](int k) {
      if (c.kind == TensorKind::Edge) {
        return c.mu[k] > 0 ? 1.0 - std::exp(-3.31488 / std::pow(c.mu[k] / (lambda * lambda), 4))
                           : 1.0;
      }
      const double gap = top - c.mu[k];
      return alpha + (1 - alpha) * (gap > 0 ? std::exp(-cc / (gap * gap)) : 0.0);
    };
    std::vector<double> j[6];
    double want[kVoxels][6];
    int closed = 0;
    for (int e = 0; e < kVoxels; ++e) {
      // Q from a random unit quaternion (w, x, y, z).
      double q[4], norm = 0;
      for (double& v : q) {
        v = normal(rng);
        norm += v * v;
      }
      for (double& v : q) v /= std::sqrt(norm);
      if (c.someAligned && e % 3 == 0) q[0] = 1, q[1] = q[2] = q[3] = 0;
      const double w = q[0], x = q[1], y = q[2], z = q[3];
      const double rot[3][3] = {
          {1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
          {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
          {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
      constexpr int kRow[6] = {0, 0, 0, 1, 1, 2}, kCol[6] = {0, 1, 2, 1, 2, 2};
      double voxel[6];
      for (int k = 0; k < 6; ++k) {
        double sum = 0, mapped = 0;
        for (int m = 0; m < 3; ++m) {
          sum += c.mu[m] * rot[kRow[k]][m] * rot[kCol[k]][m];
          mapped += f(m) * rot[kRow[k]][m] * rot[kCol[k]][m];
        }
        j[k].push_back(sum);
        voxel[k] = sum;
        want[e][k] = mapped;
      }
      closed += quillmere::tensor::mapTakesClosedForm(voxel) ? 1 : 0;
    }
    const char* row = c.kind == TensorKind::Edge ? "eed" : "ced";
    switch (c.solve) {
      case Solve::Closed:
        EXPECT_EQ(closed, kVoxels) << row << " " << c.mu[0] << " " << c.mu[1] << " " << c.mu[2];
        break;
      case Solve::Jacobi:
        EXPECT_EQ(closed, 0) << row << " " << c.mu[0] << " " << c.mu[1] << " " << c.mu[2];
        break;
      case Solve::Both:
        EXPECT_GT(closed, 0) << row << " " << c.mu[0] << " " << c.mu[1] << " " << c.mu[2];
        EXPECT_LT(closed, kVoxels) << row << " " << c.mu[0] << " " << c.mu[1] << " " << c.mu[2];
        break;
    }
    std::vector<float> plain;
    for (SweepPath path : kPaths) {
      if (!quillmere::sweepPathSupported(path)) continue;
      std::vector<float> out(6 * kVoxels);
      quillmere::tensor::MapPass map{};
      for (int k = 0; k < 6; ++k) {
        map.j[k] = j[k].data();
        map.out[k] = out.data() + k * kVoxels;
      }
      map.kind = c.kind;
      map.alpha = alpha;
      map.oneMinusAlpha = 1 - alpha;
      map.c = cc;
      map.lambdaSquared = lambda * lambda;
      quillmere::tensor::tensorKernelsFor(path).map(map, 0, kVoxels);
      double largest = 0, worst = 0;
      for (int e = 0; e < kVoxels; ++e) {
        for (int k = 0; k < 6; ++k) {
          largest = std::fmax(largest, std::fabs(want[e][k]));
          worst = std::fmax(worst, std::fabs(out[k * kVoxels + e] - want[e][k]));
        }
      }
      EXPECT_LE(worst, 1e-6 * largest) << quillmere::sweepPathName(path) << ", " << row << " mu "
                                       << c.mu[0] << " " << c.mu[1] << " " << c.mu[2];
      if (path == SweepPath::Plain) plain = out;
      EXPECT_TRUE(sameBits(out, plain)) << quillmere::sweepPathName(path) << ", " << row << " mu "
                                        << c.mu[0] << " " << c.mu[1] << " " << c.mu[2];
    }
  }
}

TEST(StructureTensor, ExpMatchesTheLibraryToThirteenDigits) {
  const double points[] = {0.0, -1e-300, -1e-12, -0.5, -1.0, -2.302585, -10.0, -87.3, -199.0};
  for (double x : points) {
    EXPECT_NEAR(quillmere::expNonPositive(x) / std::exp(x), 1.0, 1e-13) << x;
  }
  EXPECT_EQ(quillmere::expNonPositive(-1e6), quillmere::expNonPositive(-200.0));
  EXPECT_EQ(quillmere::expNonPositive(-std::numeric_limits<double>::infinity()),
            quillmere::expNonPositive(-200.0));
}

// The scratch allocator: null where nothing can be given, otherwise every
// double of the block writable (the huge-page hint must not shorten it).
TEST(StructureTensor, ScratchAllocator) {
  struct Case {
    std::size_t doubles;
    bool given;
  };
  const Case cases[] = {
      {0, false},
      {1, true},
      {(std::size_t{1} << 18) - 1, true},  // just under one 2 MB page
      {(std::size_t{1} << 18) + 1, true},  // just over: rounded up inside
      {SIZE_MAX / sizeof(double) + 1, false},
      {SIZE_MAX, false},
  };
  for (const Case& c : cases) {
    double* p = quillmere::allocateTensorScratch(c.doubles);
    EXPECT_EQ(p != nullptr, c.given) << c.doubles;
    if (p) {
      p[c.doubles - 1] = 2.0;
      p[0] = 1.0;  // the same double when there is one
      EXPECT_EQ(p[c.doubles - 1], c.doubles == 1 ? 1.0 : 2.0);
    }
    quillmere::freeTensorScratch(p);
  }
}

// The stencils of one of the shared families; by default 'central': c = 1/2,
// second differences 1 -2 1, mixed 1/4.
struct CentralStencils {
  std::vector<float> k[9];
  explicit CentralStencils(
      quillmere::testing::StencilFamily family = quillmere::testing::StencilFamily::Central) {
    quillmere::testing::SweepProblem problem({0, 0, 0});
    std::mt19937 random(5);
    quillmere::testing::setStencils(problem, family, random);
    for (int i = 0; i < 3; ++i) k[i] = problem.k[i];
    for (int i = 0; i < 6; ++i) k[3 + i] = problem.h[i];
  }
  double radius(const std::vector<float>* t, VolumeDims d, int threads,
                SweepPath path = SweepPath::Automatic) const {
    const quillmere::TensorField field{{t[0].data(), d}, {t[1].data(), d}, {t[2].data(), d},
                                       {t[3].data(), d}, {t[4].data(), d}, {t[5].data(), d}};
    return quillmere::stableStepRadius(
        field, {k[0].data(), k[1].data(), k[2].data()},
        {k[3].data(), k[4].data(), k[5].data(), k[6].data(), k[7].data(), k[8].data()}, d, threads,
        path);
  }
};

// Known answers of the bound, and the same value on every thread count.
TEST(StableStepRadius, KnownAnswersAndThreadCounts) {
  const CentralStencils s;
  struct Case {
    VolumeDims dims;
    float diagonal, offDiagonal;
    int nanAt;  // voxel of t11 set to NaN, -1 none
    double want;
  };
  const Case cases[] = {
      {{6, 5, 7}, 1.0f, 0.0f, -1, 12.0},  // the 7-point Laplacian: 6 + 6 * 1
      {{6, 5, 7}, 2.0f, 0.0f, -1, 24.0},
      {{6, 5, 7}, 1.0f, 0.5f, -1, 12.0 + 3 * 4 * 0.5 * 2 * 0.25},
      {{6, 5, 7}, 1.0f, 0.0f, 17, 12.0},  // the NaN voxel is left out
      {{1, 1, 1}, 1.0f, 0.0f, 0, std::numeric_limits<double>::quiet_NaN()},
      {{1, 4, 3}, 1.0f, 0.0f, -1, 12.0},  // rows of one voxel, two, and faces only
      {{2, 1, 5}, 1.0f, 0.0f, -1, 12.0},
      {{3, 3, 3}, 1.0f, 0.0f, 13, 12.0},  // the NaN at the one inner voxel
      {{0, 5, 7}, 1.0f, 0.0f, -1, 0.0},
  };
  for (const Case& c : cases) {
    const std::size_t n = voxels(c.dims);
    std::vector<float> t[6];
    for (int k = 0; k < 6; ++k) {
      const bool diagonal = k == 0 || k == 3 || k == 5;
      t[k].assign(n > 0 ? n : 1, diagonal ? c.diagonal : c.offDiagonal);
    }
    if (c.nanAt >= 0) t[0][static_cast<std::size_t>(c.nanAt)] = std::nanf("");
    for (int threads = 1; threads <= 4; ++threads) {
      const double r = s.radius(t, c.dims, threads);
      if (std::isnan(c.want)) {
        EXPECT_TRUE(std::isnan(r));
      } else {
        EXPECT_DOUBLE_EQ(r, c.want) << threads << " threads";
      }
    }
  }
}

// On a varying tensor each voxel's sum is one fixed sequence of operations
// and the bound their exact maximum: every path and thread count gives the
// same double, with the unrolled two-tap derivatives ('central') and any
// other count, on rows shorter than a vector, a vector and a bit, several.
TEST(StableStepRadius, SameValueOnEveryPathAndThreadCount) {
  using quillmere::testing::StencilFamily;
  const StencilFamily families[] = {StencilFamily::Central, StencilFamily::Sobel,
                                    StencilFamily::DenseRandom, StencilFamily::SingleWeight};
  const VolumeDims shapes[] = {{11, 9, 13}, {37, 4, 5}, {3, 6, 4}};
  for (StencilFamily family : families) {
    const CentralStencils s(family);
    for (const VolumeDims& d : shapes) {
      const std::vector<float> u = makeVolume(d, Fill::Random);
      const std::vector<float> all =
          runTensor(u, d, parameters(TensorKind::Coherence, 1.0, 1.0), 1, SweepPath::Automatic);
      std::vector<float> t[6];
      const std::size_t n = voxels(d);
      for (int k = 0; k < 6; ++k) t[k].assign(all.begin() + k * n, all.begin() + (k + 1) * n);
      const double one = s.radius(t, d, 1, SweepPath::Plain);
      EXPECT_GT(one, 0.0) << quillmere::testing::familyName(family);
      for (SweepPath path : kPaths) {
        if (!quillmere::sweepPathSupported(path)) continue;
        for (int threads = 1; threads <= 8; threads += 3) {
          EXPECT_EQ(s.radius(t, d, threads, path), one)
              << quillmere::testing::familyName(family) << " " << d.n1 << " "
              << quillmere::sweepPathName(path) << " " << threads;
        }
      }
    }
  }
}

// The bound as its definition reads (core/tensor_kernels.h), voxel by voxel
// with every tap clamped, in double: the kernels' shortcuts (central
// differences as (b - a) w, q scaled by its taps' factor, taps' signs
// turned, weights of +-1 not multiplied, rows in segments and padded
// vectors) must give the same bits, also where the tensor holds inf, NaN,
// signed zeros and tiny or huge samples.
double definedRadius(const CentralStencils& s, const std::vector<float>* t, VolumeDims d) {
  constexpr int kRow[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
  const std::int64_t n1 = d.n1, n2 = d.n2, n3 = d.n3;
  auto at = [&](int k, std::int64_t i1, std::int64_t i2, std::int64_t i3) {
    auto clamp = [](std::int64_t i, std::int64_t n) { return i < 0 ? 0 : i >= n ? n - 1 : i; };
    return static_cast<double>(
        t[k][static_cast<std::size_t>(clamp(i1, n1) + n1 * (clamp(i2, n2) + n2 * clamp(i3, n3)))]);
  };
  double single[9] = {};
  for (int m = 0; m < 125; ++m) {
    int terms = 0, source = 0;
    double weight = 0.0;
    for (int k = 0; k < 6; ++k) {
      if (s.k[3 + k][m] != 0.0f) ++terms, source = k, weight = s.k[3 + k][m];
    }
    const int o1 = m % 5 - 2, o2 = (m / 5) % 5 - 2, o3 = m / 25 - 2;
    const bool inner = o1 >= -1 && o1 <= 1 && o2 >= -1 && o2 <= 1 && o3 >= -1 && o3 <= 1;
    for (int i = 0; inner && i < 3; ++i) {
      const float w = s.k[i][(o1 + 1) + 3 * (o2 + 1) + 9 * (o3 + 1)];
      if (w != 0.0f) ++terms, source = 6 + i, weight = w;
    }
    if (terms == 1) single[source] += std::fabs(weight);
  }
  double best = -1.0;
  for (std::int64_t i3 = 0; i3 < n3; ++i3)
    for (std::int64_t i2 = 0; i2 < n2; ++i2)
      for (std::int64_t i1 = 0; i1 < n1; ++i1) {
        double src[9] = {at(0, i1, i2, i3),     at(3, i1, i2, i3),     at(5, i1, i2, i3),
                         2 * at(1, i1, i2, i3), 2 * at(2, i1, i2, i3), 2 * at(4, i1, i2, i3)};
        for (int i = 0; i < 3; ++i) {
          double c[3] = {};
          for (int j = 0; j < 3; ++j) {
            bool started = false;
            for (int g = 0; g < 27; ++g) {
              if (s.k[j][g] == 0.0f) continue;
              const double p =
                  s.k[j][g] * at(kRow[i][j], i1 + g % 3 - 1, i2 + (g / 3) % 3 - 1, i3 + g / 9 - 1);
              c[j] = started ? c[j] + p : p;
              started = true;
            }
          }
          src[6 + i] = (c[0] + c[1]) + c[2];
        }
        double radius = 0.0;
        bool first = true;
        for (int m = 0; m < 125; ++m) {
          double w = 0.0;
          int terms = 0;
          auto term = [&](float weight, int source) {
            if (weight == 0.0f) return;
            const double p = weight * src[source];
            w = terms++ > 0 ? w + p : p;
          };
          for (int k = 0; k < 6; ++k) term(s.k[3 + k][m], k);
          const int o1 = m % 5 - 2, o2 = (m / 5) % 5 - 2, o3 = m / 25 - 2;
          if (o1 >= -1 && o1 <= 1 && o2 >= -1 && o2 <= 1 && o3 >= -1 && o3 <= 1) {
            for (int i = 0; i < 3; ++i) term(s.k[i][(o1 + 1) + 3 * (o2 + 1) + 9 * (o3 + 1)], 6 + i);
          }
          if (terms < 2) continue;
          radius = first ? std::fabs(w) : radius + std::fabs(w);
          first = false;
        }
        for (int k = 0; k < 9; ++k) {
          if (single[k] != 0.0) radius = radius + std::fabs(src[k]) * single[k];
        }
        best = radius > best ? radius : best;
      }
  if (n1 * n2 * n3 == 0) return 0.0;
  return best >= 0.0 ? best : std::numeric_limits<double>::quiet_NaN();
}

TEST(StableStepRadius, SameBitsAsItsDefinition) {
  using quillmere::testing::StencilFamily;
  const StencilFamily families[] = {StencilFamily::Central, StencilFamily::Sobel,
                                    StencilFamily::DenseRandom, StencilFamily::SingleWeight};
  // Rows of 1, 2, about a vector (3, 4, 5; 7, 8, 9 lanes) and a segment of
  // 64 (63, 65, 129), one plane, one row.
  const VolumeDims shapes[] = {{1, 3, 4}, {2, 4, 3},  {3, 3, 3},  {5, 2, 4},   {7, 3, 2},
                               {9, 2, 3}, {63, 2, 2}, {65, 3, 2}, {129, 2, 1}, {40, 1, 1}};
  std::mt19937 random(11);
  for (StencilFamily family : families) {
    const CentralStencils s(family);
    for (const VolumeDims& d : shapes) {
      for (int data = 0; data < 3; ++data) {
        const std::size_t n = voxels(d);
        std::vector<float> t[6];
        std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
        const float special[] = {std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::nanf(""),
                                 -0.0f,
                                 0.0f,
                                 1e-40f,
                                 3e38f};
        for (auto& component : t) {
          component.resize(n);
          for (float& x : component) {
            x = uniform(random);
            if (data == 1 && random() % 5 == 0) x = special[random() % 7];
            if (data == 2) x *= 1e30f;
          }
        }
        const double want = definedRadius(s, t, d);
        for (SweepPath path : kPaths) {
          if (!quillmere::sweepPathSupported(path)) continue;
          const double got = s.radius(t, d, 2, path);
          EXPECT_TRUE(std::memcmp(&got, &want, sizeof got) == 0 ||
                      (std::isnan(got) && std::isnan(want)))
              << quillmere::testing::familyName(family) << " " << d.n1 << "x" << d.n2 << "x" << d.n3
              << " data " << data << " " << quillmere::sweepPathName(path) << ": " << got
              << " against " << want;
        }
      }
    }
  }
}

}  // namespace
