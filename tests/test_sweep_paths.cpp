// Every sweep path this processor can run gives the plain sweep's bits: on
// every shape with extents 1..9, on long, flat and larger volumes, with
// ordinary values and with signed zeros, subnormals, huge values, infinities
// and NaN in the volume, the tensor and the stencils.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/sweep_kernels.h"
#include "core/update_sweep.h"
#include "tests/support/exact_bits.h"
#include "tests/support/sweep_problem.h"

namespace quillmere {
namespace {

using testing::bitsOf;
using testing::floatOf;
using testing::SweepProblem;

// Same bits everywhere, NaN included (every NaN result is the canonical
// one), with the first difference named by its voxel.
::testing::AssertionResult sameBits(const std::vector<float>& expected,
                                    const std::vector<float>& actual, VolumeDims d) {
  const std::string difference = testing::bitDifference(expected, actual, d);
  if (difference.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "shape " << d.n1 << "x" << d.n2 << "x" << d.n3 << " " << difference;
}

// How a test runs a path: through updateVolumeOnPath (which takes the plain
// sweep on shapes vectors cannot fill), or through the path's kernel with
// every group in vectors, or with every unit on one lane.
enum class Mode { Public, Vectors, OneByOne };

std::vector<float> stepOnPath(const SweepProblem& p, SweepPath path, Mode mode = Mode::Vectors) {
  return p.step([path, mode](MutableVolumeView out, const TensorField& t, const GradientStencils& g,
                             const HessianStencils& h, float dt, VolumeDims d) {
    if (mode == Mode::Public) {
      updateVolumeOnPath(path, out, t, g, h, dt, d);
      return;
    }
    sweep::SweepContext c = sweep::makeSweepContext(out, t, g, h, dt, d);
    c.oneByOneBelowVoxels = mode == Mode::Vectors ? 0 : std::numeric_limits<int>::max();
    sweep::sweepKernelsFor(path).sweepRegion(c, sweep::wholeVolume(d));
  });
}

void fillAllNasty(SweepProblem& p, std::mt19937& rng, int volumePercent, int otherPercent) {
  testing::fillNasty(p.u, rng, volumePercent);
  for (auto& c : p.t) testing::fillNasty(c, rng, otherPercent);
  for (auto& s : p.k) testing::fillNasty(s, rng, otherPercent);
  for (auto& s : p.h) testing::fillNasty(s, rng, otherPercent);
}

// Finite values that trip fast paths without turning the volume into NaN:
// signed zeros, subnormals of both signs and tiny normals, so the bits of
// most results are still compared.
void fillFiniteEdgeValues(std::vector<float>& v, std::mt19937& rng, int percent) {
  std::uniform_int_distribution<int> pick(0, 99), kind(0, 4);
  std::uniform_int_distribution<std::uint32_t> mantissa(1, 0x7fffffu);
  for (float& x : v) {
    if (pick(rng) >= percent) continue;
    switch (kind(rng)) {
      case 0:
        x = 0.0f;
        break;
      case 1:
        x = -0.0f;
        break;
      case 2:
        x = floatOf(mantissa(rng));
        break;
      case 3:
        x = floatOf(0x80000000u | mantissa(rng));
        break;
      default:
        x = (pick(rng) & 1 ? 1.0f : -1.0f) * 1.0e-38f;
        break;
    }
  }
}

void fillAllFiniteEdgeValues(SweepProblem& p, std::mt19937& rng, int percent) {
  fillFiniteEdgeValues(p.u, rng, percent);
  for (auto& c : p.t) fillFiniteEdgeValues(c, rng, percent);
  for (auto& s : p.k) fillFiniteEdgeValues(s, rng, percent);
  for (auto& s : p.h) fillFiniteEdgeValues(s, rng, percent);
}

std::size_t nanCount(const std::vector<float>& v) {
  std::size_t n = 0;
  for (float x : v) n += testing::isNaNBits(bitsOf(x)) ? 1 : 0;
  return n;
}

class SweepPathTest : public ::testing::TestWithParam<SweepPath> {
 protected:
  void SetUp() override {
    if (!sweepPathSupported(GetParam()))
      GTEST_SKIP() << sweepPathName(GetParam()) << " not supported on this processor";
  }
  void expectPlainBits(const SweepProblem& p, Mode mode = Mode::Vectors) {
    EXPECT_TRUE(sameBits(p.stepPlain(), stepOnPath(p, GetParam(), mode), p.dims));
  }
};

// Every extent 1..9 along each axis: every border case of the clamp (a face
// within two voxels of another), partial chunks and partly filled vectors;
// in vectors, one unit at a time, and as updateVolumeOnPath runs them.
TEST_P(SweepPathTest, EverySmallShapeRandom) {
  std::mt19937 rng(101u);
  for (int n3 = 1; n3 <= 9; ++n3)
    for (int n2 = 1; n2 <= 9; ++n2)
      for (int n1 = 1; n1 <= 9; ++n1) {
        SweepProblem p({n1, n2, n3});
        testing::fillRandom(p, rng);
        const std::vector<float> plain = p.stepPlain();
        for (Mode mode : {Mode::Vectors, Mode::OneByOne, Mode::Public})
          EXPECT_TRUE(sameBits(plain, stepOnPath(p, GetParam(), mode), p.dims))
              << "mode " << static_cast<int>(mode);
      }
}

// The same shapes with signed zeros, subnormals and tiny values sprinkled
// over the volume, the tensor and the stencils.
TEST_P(SweepPathTest, EverySmallShapeEdgeValues) {
  std::mt19937 rng(202u);
  for (int n3 = 1; n3 <= 9; ++n3)
    for (int n2 = 1; n2 <= 9; ++n2)
      for (int n1 = 1; n1 <= 9; ++n1) {
        SweepProblem p({n1, n2, n3});
        testing::fillRandom(p, rng);
        fillAllFiniteEdgeValues(p, rng, 10);
        expectPlainBits(p, Mode::Vectors);
        expectPlainBits(p, Mode::OneByOne);
      }
}

// An infinity or NaN in one sample of the volume or the tensor: where it
// spreads through the in-place reads must be exactly the plain sweep's.
TEST_P(SweepPathTest, OneNonFiniteSampleSpreadsAsInPlain) {
  std::mt19937 rng(212u);
  const VolumeDims d{14, 9, 7};
  const float specials[] = {std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), floatOf(0x7fc12345u), 3.0e38f};
  for (int trial = 0; trial < 24; ++trial) {
    SweepProblem p(d);
    testing::fillRandom(p, rng);
    std::vector<float>& target = trial % 3 == 0 ? p.u : p.t[trial % 6];
    std::uniform_int_distribution<std::size_t> at(target.size() / 2, target.size() - 1);
    target[at(rng)] = specials[trial % 4];
    const std::vector<float> plain = p.stepPlain();
    EXPECT_LT(nanCount(plain), plain.size() * 3 / 4);
    EXPECT_TRUE(sameBits(plain, stepOnPath(p, GetParam()), d)) << "trial " << trial;
  }
}

// Special values of every kind everywhere at a low rate; most results end
// up NaN, but where they do not, the bits (signed infinities included) must
// match.
TEST_P(SweepPathTest, EverySmallShapeNonFinite) {
  std::mt19937 rng(222u);
  for (int n3 = 1; n3 <= 9; n3 += 2)
    for (int n2 = 1; n2 <= 9; ++n2)
      for (int n1 = 1; n1 <= 9; ++n1) {
        SweepProblem p({n1, n2, n3});
        testing::fillRandom(p, rng);
        fillAllNasty(p, rng, 2, 1);
        expectPlainBits(p);
      }
}

// Chunk counts with every remainder, rows longer than a stage, and enough
// rows per level to fill several vectors.
TEST_P(SweepPathTest, LargerShapes) {
  std::mt19937 rng(303u);
  for (VolumeDims d :
       {VolumeDims{37, 29, 11}, VolumeDims{64, 5, 3}, VolumeDims{3, 64, 5}, VolumeDims{1, 1, 200},
        VolumeDims{200, 1, 1}, VolumeDims{130, 2, 2}, VolumeDims{25, 24, 23}, VolumeDims{13, 40, 1},
        VolumeDims{1, 50, 30}, VolumeDims{2, 3, 70}}) {
    SweepProblem p(d);
    testing::fillRandom(p, rng);
    expectPlainBits(p, Mode::Vectors);
    expectPlainBits(p, Mode::Public);
    fillAllFiniteEdgeValues(p, rng, 5);
    expectPlainBits(p, Mode::Vectors);
  }
}

// Dense special values: most sums meet infinities of both signs and NaN.
TEST_P(SweepPathTest, DenseSpecialValues) {
  std::mt19937 rng(404u);
  for (VolumeDims d : {VolumeDims{7, 6, 5}, VolumeDims{17, 3, 4}, VolumeDims{30, 9, 2}}) {
    SweepProblem p(d);
    fillAllNasty(p, rng, 40, 40);
    p.dt = 0.5f;
    expectPlainBits(p);
  }
}

// Subnormal sums and products everywhere: nothing may be flushed to zero.
TEST_P(SweepPathTest, TinyValues) {
  std::mt19937 rng(505u);
  SweepProblem p({19, 7, 6});
  testing::fillRandom(p, rng);
  for (float& x : p.u) x *= 1e-37f;
  for (auto& c : p.t)
    for (float& x : c) x *= 1e-3f;
  p.dt = floatOf(3u);
  expectPlainBits(p);
  for (auto& s : p.h)
    for (float& x : s) x *= 1e-5f;
  p.dt = 0.5f;
  expectPlainBits(p);
}

TEST_P(SweepPathTest, StepSizes) {
  std::mt19937 rng(606u);
  SweepProblem p({14, 6, 5});
  testing::fillRandom(p, rng);
  fillAllFiniteEdgeValues(p, rng, 5);
  for (float dt :
       {0.0f, -0.0f, -0.75f, floatOf(1u), floatOf(0x80000005u), 3.0e38f,
        std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
    p.dt = dt;
    expectPlainBits(p);
  }
}

// Host arrays need not be aligned to any vector size: every array one float
// off its allocation's alignment.
TEST_P(SweepPathTest, MisalignedArrays) {
  std::mt19937 rng(616u);
  SweepProblem p({29, 7, 6});
  testing::fillRandom(p, rng);
  const std::vector<float> plain = p.stepPlain();
  const std::size_t n = p.sampleCount();
  std::vector<float> out(n + 1), t[6];
  std::copy(p.u.begin(), p.u.end(), out.begin() + 1);
  for (int c = 0; c < 6; ++c) {
    t[c].assign(n + 1, 0.0f);
    std::copy(p.t[c].begin(), p.t[c].end(), t[c].begin() + 1);
  }
  const VolumeDims d = p.dims;
  const TensorField tensor{{t[0].data() + 1, d}, {t[1].data() + 1, d}, {t[2].data() + 1, d},
                           {t[3].data() + 1, d}, {t[4].data() + 1, d}, {t[5].data() + 1, d}};
  sweep::SweepContext c =
      sweep::makeSweepContext({out.data() + 1, d}, tensor, p.gradient(), p.hessian(), p.dt, d);
  c.oneByOneBelowVoxels = 0;
  sweep::sweepKernelsFor(GetParam()).sweepRegion(c, sweep::wholeVolume(d));
  EXPECT_TRUE(sameBits(plain, std::vector<float>(out.begin() + 1, out.end()), d));
}

// Null pointers everywhere: any read or write would fault.
TEST_P(SweepPathTest, ZeroExtentReadsAndWritesNothing) {
  const VolumeView none{nullptr, {0, 0, 0}};
  const TensorField tensor{none, none, none, none, none, none};
  const GradientStencils g{nullptr, nullptr, nullptr};
  const HessianStencils h{nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  for (VolumeDims d : {VolumeDims{0, 3, 2}, VolumeDims{3, 0, 2}, VolumeDims{3, 2, 0},
                       VolumeDims{-1, 2, 2}, VolumeDims{40, 30, 0}}) {
    updateVolumeOnPath(GetParam(), {nullptr, d}, tensor, g, h, 1.0f, d);
  }
}

// The kernels run any region whose wavefront preconditions hold: here plane
// by plane, each plane in two bands of rows, as a threaded caller would.
TEST_P(SweepPathTest, PlaneByPlaneRegions) {
  std::mt19937 rng(707u);
  SweepProblem p({29, 11, 6});
  testing::fillRandom(p, rng);
  const sweep::SweepKernels kernels = sweep::sweepKernelsFor(GetParam());
  ASSERT_NE(kernels.path, SweepPath::Plain);
  const std::vector<float> out =
      p.step([&](MutableVolumeView o, const TensorField& t, const GradientStencils& g,
                 const HessianStencils& h, float dt, VolumeDims d) {
        sweep::SweepContext c = sweep::makeSweepContext(o, t, g, h, dt, d);
        c.oneByOneBelowVoxels = 0;
        const std::int64_t levels = sweep::levelCount(d);
        for (std::int32_t i3 = 0; i3 < d.n3; ++i3) {
          kernels.sweepRegion(c, {i3, i3 + 1, 0, 4, 0, levels});
          kernels.sweepRegion(c, {i3, i3 + 1, 4, d.n2, 0, levels});
        }
      });
  EXPECT_TRUE(sameBits(p.stepPlain(), out, p.dims));
  // Bands of three planes, as updateVolumeOnPath runs large volumes.
  const std::vector<float> banded =
      p.step([&](MutableVolumeView o, const TensorField& t, const GradientStencils& g,
                 const HessianStencils& h, float dt, VolumeDims d) {
        const sweep::SweepContext c = sweep::makeSweepContext(o, t, g, h, dt, d);
        for (std::int32_t i3 = 0; i3 < d.n3; i3 += 3)
          kernels.sweepRegion(c, {i3, i3 + 3, 0, d.n2, 0, sweep::levelCount(d)});
      });
  EXPECT_TRUE(sameBits(p.stepPlain(), banded, p.dims));
}

// The Plain path runs regions too (through the one-lane kernel), so a
// threaded caller can use any path the same way.
TEST(SweepPathChoice, PlainPathRunsRegions) {
  std::mt19937 rng(909u);
  SweepProblem p({17, 9, 7});
  testing::fillRandom(p, rng);
  const sweep::SweepKernels plain = sweep::sweepKernelsFor(SweepPath::Plain);
  const std::vector<float> out =
      p.step([&](MutableVolumeView o, const TensorField& t, const GradientStencils& g,
                 const HessianStencils& h, float dt, VolumeDims d) {
        const sweep::SweepContext c = sweep::makeSweepContext(o, t, g, h, dt, d);
        for (std::int32_t i3 = 0; i3 < d.n3; ++i3)
          plain.sweepRegion(c, {i3, i3 + 1, 0, d.n2, 0, sweep::levelCount(d)});
      });
  EXPECT_TRUE(sameBits(p.stepPlain(), out, p.dims));
  EXPECT_GE(sweep::bandPlanes({256, 256, 64}, 16), 4);
  EXPECT_EQ(sweep::bandPlanes({9, 9, 3}, 16), 3);
}

INSTANTIATE_TEST_SUITE_P(Paths, SweepPathTest,
                         ::testing::Values(SweepPath::Baseline, SweepPath::Avx2, SweepPath::Avx512),
                         [](const ::testing::TestParamInfo<SweepPath>& param) {
                           return std::string(sweepPathName(param.param));
                         });

TEST(SweepPathChoice, AutomaticIsTheFastestSupportedPath) {
  const SweepPath chosen = selectedSweepPath();
  EXPECT_NE(chosen, SweepPath::Automatic);
  EXPECT_TRUE(sweepPathSupported(chosen));
  EXPECT_EQ(sweep::sweepKernelsFor(SweepPath::Automatic).path, chosen);
  if (sweepPathSupported(SweepPath::Avx512)) {
    EXPECT_EQ(chosen, SweepPath::Avx512);
  }
  // An unsupported request falls back to a path that runs.
  EXPECT_TRUE(sweepPathSupported(sweep::sweepKernelsFor(SweepPath::Avx512).path));
  EXPECT_STREQ(sweepPathName(SweepPath::Avx2), "avx2");
}

// The plain sweep is taken only where vectors cannot be filled.
TEST(SweepPathChoice, VectorsOnlyWhereTheyPay) {
  EXPECT_TRUE(sweep::vectorSweepPays({64, 64, 64}));
  EXPECT_TRUE(sweep::vectorSweepPays({256, 256, 1}));
  EXPECT_TRUE(sweep::vectorSweepPays({128, 1, 128}));
  EXPECT_FALSE(sweep::vectorSweepPays({4, 128, 128}));
  EXPECT_FALSE(sweep::vectorSweepPays({1, 1, 4096}));
  EXPECT_FALSE(sweep::vectorSweepPays({24, 1, 200}));
}

// updateVolume itself, on the path it picks.
TEST(SweepPathChoice, UpdateVolumeMatchesPlain) {
  std::mt19937 rng(808u);
  SweepProblem p({23, 17, 9});
  testing::fillRandom(p, rng);
  fillAllFiniteEdgeValues(p, rng, 5);
  EXPECT_TRUE(sameBits(p.stepPlain(), p.step(updateVolume), p.dims));
}

}  // namespace
}  // namespace quillmere
