// Sweeps that leave out the products of zero weights give the plain sweep's
// bits: for every stencil family, on every path, one lane or in vectors, on
// 1 to 8 threads, on shapes with extents 1 to 9 and larger, with inf and NaN
// where only zero weights reach them, overflow in the middle of a sweep,
// signed-zero, subnormal, infinite and NaN weights, and the caller's
// flush-to-zero set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/sweep_kernels.h"
#include "core/threaded_sweep.h"
#include "tests/support/exact_bits.h"
#include "tests/support/hostile_fp.h"
#include "tests/support/stencil_families.h"
#include "tests/support/sweep_problem.h"

namespace quillmere {
namespace {

using testing::bitsOf;
using testing::floatOf;
using testing::StencilFamily;
using testing::SweepProblem;

// What the row does to the family's zero weights.
enum class Twist { None, NegativeZeros, Subnormals, NanWeight, InfWeight };
// What the row puts in the data.
enum class Data { Finite, SignedZeros, NanInU, InfInU, NanInTensor, Overflow, CallerFlushesToZero };

struct Row {
  StencilFamily family;
  Twist twist;
  Data data;
};

const Row kRows[] = {
    {StencilFamily::Central, Twist::None, Data::Finite},
    {StencilFamily::Scharr, Twist::None, Data::Finite},
    {StencilFamily::Sobel, Twist::None, Data::Finite},
    {StencilFamily::DenseRandom, Twist::None, Data::Finite},
    {StencilFamily::SingleWeight, Twist::None, Data::Finite},
    {StencilFamily::AllZero, Twist::None, Data::Finite},
    {StencilFamily::Central, Twist::None, Data::SignedZeros},
    {StencilFamily::Scharr, Twist::None, Data::SignedZeros},
    {StencilFamily::Sobel, Twist::NegativeZeros, Data::SignedZeros},
    {StencilFamily::SingleWeight, Twist::None, Data::SignedZeros},
    {StencilFamily::Central, Twist::None, Data::NanInU},
    {StencilFamily::Central, Twist::None, Data::InfInU},
    {StencilFamily::Central, Twist::None, Data::NanInTensor},
    {StencilFamily::Central, Twist::None, Data::Overflow},
    {StencilFamily::Sobel, Twist::None, Data::InfInU},
    {StencilFamily::Scharr, Twist::None, Data::Overflow},
    {StencilFamily::SingleWeight, Twist::None, Data::NanInTensor},
    {StencilFamily::SingleWeight, Twist::None, Data::Overflow},
    {StencilFamily::AllZero, Twist::None, Data::NanInU},
    {StencilFamily::AllZero, Twist::None, Data::NanInTensor},
    {StencilFamily::DenseRandom, Twist::None, Data::NanInTensor},
    {StencilFamily::Central, Twist::NegativeZeros, Data::Finite},
    {StencilFamily::AllZero, Twist::NegativeZeros, Data::Finite},
    {StencilFamily::Central, Twist::Subnormals, Data::CallerFlushesToZero},
    {StencilFamily::AllZero, Twist::Subnormals, Data::CallerFlushesToZero},
    {StencilFamily::Central, Twist::NanWeight, Data::Finite},
    {StencilFamily::Sobel, Twist::InfWeight, Data::Finite},
};

void twistZeros(SweepProblem& p, Twist twist, std::mt19937& rng) {
  std::vector<float*> zeros;
  for (auto& s : p.k)
    for (float& w : s)
      if (w == 0.0f) zeros.push_back(&w);
  for (auto& s : p.h)
    for (float& w : s)
      if (w == 0.0f) zeros.push_back(&w);
  if (zeros.empty() || twist == Twist::None) return;
  std::uniform_int_distribution<std::size_t> pick(0, zeros.size() - 1);
  switch (twist) {
    case Twist::NegativeZeros:
      for (float* w : zeros) *w = -0.0f;
      break;
    case Twist::Subnormals:
      for (int i = 0; i < 12; ++i)
        *zeros[pick(rng)] = floatOf((i & 1 ? 0x80000000u : 0u) | (1u + i));
      break;
    case Twist::NanWeight:
      *zeros[pick(rng)] = std::numeric_limits<float>::quiet_NaN();
      break;
    case Twist::InfWeight:
      *zeros[pick(rng)] = -std::numeric_limits<float>::infinity();
      break;
    case Twist::None:
      break;
  }
}

void fillData(SweepProblem& p, Data data, std::mt19937& rng) {
  testing::fillUniform(p.u, rng, -1.0f, 1.0f);
  for (auto& c : p.t) testing::fillUniform(c, rng, -1.0f, 1.0f);
  p.dt = 0.1f;
  std::uniform_int_distribution<std::size_t> voxel(0, p.sampleCount() - 1);
  const float inf = std::numeric_limits<float>::infinity();
  switch (data) {
    case Data::Finite:
      break;
    case Data::SignedZeros:
      // Zero products of both signs inside tap terms and sums.
      for (auto* v : {&p.u, &p.t[0], &p.t[1], &p.t[2], &p.t[3], &p.t[4], &p.t[5]})
        for (float& x : *v)
          if (voxel(rng) % 3 == 0) x = voxel(rng) % 2 ? 0.0f : -0.0f;
      break;
    case Data::NanInU:
      p.u[voxel(rng)] = floatOf(0xffc01234u);
      break;
    case Data::InfInU:
      p.u[voxel(rng)] = -inf;
      break;
    case Data::NanInTensor:
      p.t[voxel(rng) % 6][voxel(rng)] = floatOf(0x7fa00001u);
      break;
    case Data::Overflow: {
      // Finite inputs; the step at this voxel overflows, and later voxels
      // read the infinity, most of them through zero weights only.
      const std::size_t e = voxel(rng);
      p.u[e] = 3.0e38f;
      for (auto& c : p.t) c[e] = 3.0e38f;
      p.dt = 1.0e30f;
      break;
    }
    case Data::CallerFlushesToZero:
      for (float& x : p.u) x *= 1.0e-37f;  // subnormal samples and products
      break;
  }
}

enum class Lanes { Vectors, OneByOne };

std::vector<SweepPath> supportedPaths() {
  std::vector<SweepPath> paths;
  for (SweepPath p : {SweepPath::Plain, SweepPath::Baseline, SweepPath::Avx2, SweepPath::Avx512})
    if (sweepPathSupported(p) && sweep::sweepKernelsFor(p).path == p) paths.push_back(p);
  return paths;
}

sweep::SweepContext contextFor(const SweepProblem& p, std::vector<float>& out, Lanes lanes) {
  sweep::SweepContext c = sweep::makeSweepContext({out.data(), p.dims}, p.tensor(), p.gradient(),
                                                  p.hessian(), p.dt, p.dims);
  c.oneByOneBelowVoxels = lanes == Lanes::Vectors ? 0 : std::numeric_limits<int>::max();
  return c;
}

// The step from p.u through runStep with the lists forced on, under the
// caller's flush-to-zero if asked.
std::vector<float> sparseStep(const SweepProblem& p, SweepPath path, Lanes lanes, int threads,
                              bool flushToZero) {
  std::vector<float> out(p.u.size(), 7.0f);
  const sweep::SweepContext c = contextFor(p, out, lanes);
  // The caller's flush-to-zero and denormals-are-zero where the processor has them.
  const testing::FpSetting flush{"FTZ and DAZ", FE_TONEAREST, true};
  const testing::FpSetting plain{"default", FE_TONEAREST, false};
  const testing::FpEnvironmentScope scope(flushToZero ? flush : plain);
  sweep::runStep(sweep::sweepKernelsFor(path), c, p.u.data(), threads, threads > 1 ? 1 : 0,
                 sweep::TapUse::Sparse);
  return out;
}

// The strict comparison: same bits, and NaN only as the canonical quiet NaN.
::testing::AssertionResult sameBits(const std::vector<float>& expected,
                                    const std::vector<float>& actual) {
  const std::string difference = testing::bitDifference(expected, actual);
  if (difference.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << difference;
}

bool anyNonFinite(const std::vector<float>& v) {
  for (float x : v)
    if (!std::isfinite(x)) return true;
  return false;
}

std::vector<VolumeDims> shapes() {
  std::vector<VolumeDims> s;
  for (std::int32_t n1 : {1, 2, 3, 4, 5, 7, 9})
    for (VolumeDims d : {VolumeDims{0, 1, 1}, VolumeDims{0, 3, 2}, VolumeDims{0, 5, 5},
                         VolumeDims{0, 9, 4}, VolumeDims{0, 2, 9}})
      s.push_back({n1, d.n2, d.n3});
  // Rows of 6, 10, 18 and 66 voxels: the shortest rows whose divergences
  // are kept whole (SSE2, AVX2, AVX-512), and the shortest that fill a block
  // of four AVX-512 vectors.
  for (VolumeDims d :
       {VolumeDims{40, 17, 13}, VolumeDims{64, 12, 20}, VolumeDims{13, 30, 9}, VolumeDims{6, 7, 5},
        VolumeDims{10, 6, 5}, VolumeDims{18, 5, 6}, VolumeDims{66, 4, 5}})
    s.push_back(d);
  // The stream sweep's rows: one too short for its skewed lanes (43), the
  // shortest it takes (44), with single rows and planes, where every ghost
  // row and plane is a copy of the one real one, and more rows than lanes.
  for (VolumeDims d : {VolumeDims{43, 3, 2}, VolumeDims{44, 1, 1}, VolumeDims{45, 2, 3},
                       VolumeDims{47, 19, 1}, VolumeDims{50, 1, 18}})
    s.push_back(d);
  return s;
}

// Under the sanitizers, which run this table some twenty times slower, one
// threaded count stands for the others (3: more threads than bands on the
// small shapes, and uneven bands on the large ones).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kThreadCounts[] = {1, 3};
#else
constexpr int kThreadCounts[] = {1, 2, 3, 8};
#endif

TEST(SparseSweep, EveryFamilyPathLaneAndThreadCountGivesPlainBits) {
  std::mt19937 rng(11);
  const std::vector<SweepPath> paths = supportedPaths();
  for (const Row& row : kRows) {
    for (VolumeDims d : shapes()) {
      SweepProblem p(d);
      testing::setStencils(p, row.family, rng);
      twistZeros(p, row.twist, rng);
      fillData(p, row.data, rng);
      const std::vector<float> source = p.u;
      const std::vector<float> expected = p.stepPlain();
      // The lists alone, without the dense redo: exact on finite data, and
      // any inf or NaN read or made is reported.
      const bool finiteInputs = !anyNonFinite(p.u) && !anyNonFinite(p.t[0]) &&
                                !anyNonFinite(p.t[1]) && !anyNonFinite(p.t[2]) &&
                                !anyNonFinite(p.t[3]) && !anyNonFinite(p.t[4]) &&
                                !anyNonFinite(p.t[5]);
      const bool flush = row.data == Data::CallerFlushesToZero;
      for (SweepPath path : paths) {
        for (Lanes lanes : {Lanes::Vectors, Lanes::OneByOne}) {
          if (path == SweepPath::Plain && lanes == Lanes::OneByOne) continue;
          SCOPED_TRACE(::testing::Message()
                       << testing::familyName(row.family) << " twist "
                       << static_cast<int>(row.twist) << " data " << static_cast<int>(row.data)
                       << " " << d.n1 << "x" << d.n2 << "x" << d.n3 << " " << sweepPathName(path)
                       << (lanes == Lanes::Vectors ? " vectors" : " one"));
          if (!flush) {
            std::vector<float> out = p.u;
            sweep::SparseTaps taps;
            sweep::SweepContext c = contextFor(p, out, lanes);
            buildSparseTaps(c, taps);
            c.taps = &taps;
            const bool tripped = sweep::sweepWholeVolume(sweep::sweepKernelsFor(path), c);
            EXPECT_EQ(tripped, !finiteInputs || anyNonFinite(expected));
            if (!tripped) {
              ASSERT_TRUE(sameBits(expected, out));
            }
          }
#ifdef QUILLMERE_SWEEP_X86
          if (!flush && path == SweepPath::Avx512 && lanes == Lanes::Vectors) {
            // The stream sweep alone, likewise.
            std::vector<float> out(p.u.size(), 7.0f);
            sweep::SparseTaps taps;
            sweep::SweepContext c = contextFor(p, out, lanes);
            buildSparseTaps(c, taps);
            c.taps = &taps;
            const sweep::StreamOutcome outcome = sweep::streamStepAvx512(c, p.u.data(), true);
            if (d.n1 < 44) {
              EXPECT_EQ(outcome, sweep::StreamOutcome::NotRun);
            } else {
              EXPECT_EQ(outcome == sweep::StreamOutcome::Tripped,
                        !finiteInputs || anyNonFinite(expected));
              if (outcome == sweep::StreamOutcome::Done) {
                ASSERT_TRUE(sameBits(expected, out));
              }
            }
          }
#endif
          for (int threads : kThreadCounts) {
            SCOPED_TRACE(::testing::Message() << threads << " threads");
            ASSERT_TRUE(sameBits(expected, sparseStep(p, path, lanes, threads, flush)));
          }
          // The caller's u is only read (its NaN need not be canonical).
          ASSERT_EQ(std::memcmp(source.data(), p.u.data(), source.size() * sizeof(float)), 0);
        }
      }
    }
  }
}

#ifdef QUILLMERE_SWEEP_X86
TEST(SparseSweep, StreamSweepDeclinesWhatItCannotRun) {
  if (!sweepPathSupported(SweepPath::Avx512)) GTEST_SKIP() << "no AVX-512";
  // Empty volumes and rows shorter than its lanes' skew: nothing written.
  for (VolumeDims d :
       {VolumeDims{50, 0, 3}, VolumeDims{50, 3, 0}, VolumeDims{0, 5, 5}, VolumeDims{43, 9, 9}}) {
    SweepProblem p({d.n1 > 0 ? d.n1 : 1, d.n2 > 0 ? d.n2 : 1, d.n3 > 0 ? d.n3 : 1});
    std::vector<float> out(p.u.size(), 7.0f);
    sweep::SweepContext c = contextFor(p, out, Lanes::Vectors);
    c.dims = d;
    sweep::SparseTaps taps;
    buildSparseTaps(c, taps);
    c.taps = &taps;
    EXPECT_EQ(sweep::streamStepAvx512(c, p.u.data(), true), sweep::StreamOutcome::NotRun);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float x) { return x == 7.0f; }));
  }
}
#endif

TEST(SparseSweep, NanResultsAreTheCanonicalQuietNan) {
  SweepProblem p({20, 6, 7});
  std::mt19937 rng(3);
  testing::setStencils(p, StencilFamily::Central, rng);
  fillData(p, Data::NanInU, rng);
  p.u[p.at(3, 2, 1)] = floatOf(0xfff00001u);  // a signalling NaN with the sign set
  std::vector<float> out(p.u.size());
  stepVolumeThreaded(p.view(p.u), {out.data(), p.dims}, p.tensor(), p.gradient(), p.hessian(), p.dt,
                     p.dims, 2);
  int nans = 0;
  for (float x : out) {
    if (x != x) {
      ++nans;
      ASSERT_EQ(bitsOf(x), 0x7fc00000u);
    }
  }
  EXPECT_GT(nans, 1);  // spread to the neighbours, through zero weights too
}

// The public entry: every thread count and the in-place call (u == out),
// which has nothing to start again from and runs every tap.
TEST(SparseSweep, PublicEntryMatchesPlain) {
  std::mt19937 rng(5);
  for (Data data : {Data::Finite, Data::NanInTensor, Data::Overflow}) {
    SweepProblem p({48, 40, 40});
    testing::setStencils(p, StencilFamily::Central, rng);
    fillData(p, data, rng);
    const std::vector<float> expected = p.stepPlain();
    for (int threads : {1, 2, 4}) {
      std::vector<float> out(p.u.size());
      stepVolumeThreaded(p.view(p.u), {out.data(), p.dims}, p.tensor(), p.gradient(), p.hessian(),
                         p.dt, p.dims, threads);
      EXPECT_TRUE(sameBits(expected, out)) << threads << " threads";
    }
    std::vector<float> inPlace = p.u;
    stepVolumeThreaded({inPlace.data(), p.dims}, {inPlace.data(), p.dims}, p.tensor(), p.gradient(),
                       p.hessian(), p.dt, p.dims, 2);
    EXPECT_TRUE(sameBits(expected, inPlace));
  }
  std::vector<float> none(4, 1.0f);
  SweepProblem p({2, 2, 1});
  stepVolumeThreaded({none.data(), {0, 2, 2}}, {none.data(), {0, 2, 2}}, p.tensor(), p.gradient(),
                     p.hessian(), 0.1f, {0, 2, 2}, 4);
  EXPECT_EQ(none, std::vector<float>(4, 1.0f));
}

// Zero is read from the bits: +0 and -0 are left out, nothing else is.
TEST(SparseSweep, TapListsKeepEveryWeightThatIsNotZero) {
  SweepProblem p({1, 1, 1});
  p.h[0][0] = -0.0f;
  p.h[0][5] = floatOf(1u);  // the smallest subnormal
  p.h[0][124] = std::numeric_limits<float>::quiet_NaN();
  p.h[3][62] = 1.0f;
  p.k[1][13] = -std::numeric_limits<float>::infinity();
  p.k[0][4] = 2.0f;
  p.k[1][4] = 3.0f;
  sweep::SparseTaps taps;
  std::vector<float> out = p.u;
  buildSparseTaps(contextFor(p, out, Lanes::Vectors), taps);
  EXPECT_EQ(taps.hessianLength, 2);
  EXPECT_EQ(taps.hessianAt[0][0], 1 * sweep::kWindow + 0);   // m = 5: b = 1
  EXPECT_EQ(taps.hessianAt[0][1], 24 * sweep::kWindow + 4);  // m = 124
  EXPECT_EQ(bitsOf(taps.hessianWeight[3][1]), 0u);           // padding: +0 ...
  EXPECT_EQ(taps.hessianAt[3][1], sweep::kSelfSlot * sweep::kWindow + sweep::kHalo);  // at self
  EXPECT_EQ(taps.gradientLength, 2);
  ASSERT_EQ(taps.tensorTapCount, 2);
  const sweep::SparseTaps::TensorTap& two = taps.tensorTaps[0];  // m = 4: k1 and k2
  EXPECT_EQ(two.count, 2);
  EXPECT_EQ(two.weight[0], 2.0f);
  EXPECT_EQ(two.weight[1], 3.0f);
  EXPECT_EQ(two.component[1][0], 1);                             // t12 * k2 in row 1
  const sweep::SparseTaps::TensorTap& one = taps.tensorTaps[1];  // m = 13: k2 alone
  EXPECT_EQ(one.count, 1);
  EXPECT_EQ(one.component[0][0], 1);  // t12
  EXPECT_EQ(one.component[0][1], 3);  // t22
  EXPECT_EQ(one.component[0][2], 4);  // t23
  // Rows read, in order, and the one the wavefront reaches first: slot 24
  // (d2 = d3 = +2) for u; for the tensor, row 4 (m = 13: d2 = d3 = 0) and
  // row 1 (m = 4: d2 = 0, d3 = -1) lead to the own row.
  ASSERT_EQ(taps.slotCount, 4);
  const std::int8_t slots[] = {1, 7, 12, 24};  // h11 at m = 0 is -0: not read
  EXPECT_TRUE(std::equal(slots, slots + 4, taps.slots));
  EXPECT_EQ(taps.leadingSlot, 24);
  ASSERT_EQ(taps.tensorRowCount, 2);
  EXPECT_EQ(taps.tensorRows[0], 1);
  EXPECT_EQ(taps.tensorRows[1], 4);
  EXPECT_EQ(taps.leadingTensorRow, 4);
  // Components read in each: k1 and k2 at m = 4 read t11 t12 t13 and t12
  // t22 t23; k2 alone at m = 13, t12 t22 t23.
  EXPECT_EQ(taps.tensorRowComponents[1], 0x1f);
  EXPECT_EQ(taps.tensorRowComponents[4], (1 << 1) | (1 << 3) | (1 << 4));
  EXPECT_EQ(taps.tensorRowComponents[0], 0);
}

// The leading rows: the highest 2*d2 + 6*d3 among the rows read, not the
// highest slot or row number (d2 = +2, d3 = 0 comes before d2 = -2, d3 = +1;
// d2 = -1, d3 = +1 before d2 = +1, d3 = 0).
TEST(SparseSweep, LeadingRowIsTheOneTheWavefrontReachesFirst) {
  SweepProblem p({1, 1, 1});
  p.h[0][2 + 5 * 4 + 25 * 2] = 1.0f;  // slot 14: d2 = +2, d3 = 0
  p.h[1][2 + 5 * 0 + 25 * 3] = 1.0f;  // slot 15: d2 = -2, d3 = +1
  p.k[0][1 + 3 * 2 + 9 * 1] = 1.0f;   // row 5: d2 = +1, d3 = 0
  p.k[1][1 + 3 * 0 + 9 * 2] = 1.0f;   // row 6: d2 = -1, d3 = +1
  sweep::SparseTaps taps;
  std::vector<float> out = p.u;
  buildSparseTaps(contextFor(p, out, Lanes::Vectors), taps);
  EXPECT_EQ(taps.leadingSlot, 14);
  EXPECT_EQ(taps.leadingTensorRow, 6);
}

}  // namespace
}  // namespace quillmere
