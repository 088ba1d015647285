// The in-place sweep: update rule, order of arithmetic and what each voxel
// reads.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "core/update_sweep.h"
#include "tests/support/sweep_problem.h"

namespace quillmere {
namespace {

using testing::bitsOf;
using testing::floatOf;
using testing::SweepProblem;

// Voxel 1 reads the 0.75 already written at voxel 0; a two-buffer update
// would give (0.75, 0.25, 0).
TEST(UpdateSweep, InPlaceSecondDifferenceAlongAxisOne) {
  SweepProblem p({3, 1, 1});
  p.u = {1.0f, 0.0f, 0.0f};
  p.t[0].assign(3, 1.0f);
  p.h[0][61] = 1.0f;
  p.h[0][62] = -2.0f;
  p.h[0][63] = 1.0f;
  p.dt = 0.25f;
  const std::vector<float> out = p.stepPlain();
  EXPECT_EQ(bitsOf(out[0]), bitsOf(0.75f));
  EXPECT_EQ(bitsOf(out[1]), bitsOf(0.1875f));
  EXPECT_EQ(bitsOf(out[2]), bitsOf(0.046875f));
  EXPECT_EQ(p.stepPlain(), p.step(updateVolume));
}

// Every term starts from its first product, so all-negative-zero products
// keep the sign: each voxel of a -0 volume stays -0. A term that started
// from a +0.0 accumulator would turn some of them into +0.
TEST(UpdateSweep, TermsStartFromTheirFirstProduct) {
  SweepProblem p({4, 3, 3});
  p.u.assign(p.u.size(), -0.0f);
  for (int i3 = 0; i3 < 3; ++i3)
    for (int i2 = 0; i2 < 3; ++i2)
      for (int i1 = 0; i1 < 4; ++i1) {
        const float ramp = -static_cast<float>(i1 + 1);  // makes q1 = q2 = q3 < 0
        p.t[0][p.at(i1, i2, i3)] = ramp;                 // t11
        p.t[1][p.at(i1, i2, i3)] = ramp;                 // t12
        p.t[2][p.at(i1, i2, i3)] = ramp;                 // t13
      }
  p.t[3].assign(p.u.size(), -1.0f);
  p.t[4].assign(p.u.size(), -1.0f);
  p.t[5].assign(p.u.size(), -1.0f);
  p.k[0][12] = -0.5f;
  p.k[0][14] = 0.5f;
  p.dt = 0.5f;
  for (float v : p.stepPlain()) EXPECT_EQ(bitsOf(v), 0x80000000u);
}

// (2*t12)*s12 with the product in the subnormal range: 2^-125 * 0.625*2^-23
// rounds to 2^-149, while 2*(t12*s12) would give 2^-148. Also shows that
// subnormal results are kept.
TEST(UpdateSweep, DoubledOffDiagonalIsFormedFirst) {
  for (int pair = 0; pair < 3; ++pair) {
    SweepProblem p({2, 1, 1});
    p.u = {0.0f, 1.0f};
    p.t[pair == 0 ? 1 : (pair == 1 ? 2 : 4)].assign(2, floatOf(0x00800000u));  // 2^-126
    p.h[3 + pair][63] = 0.625f * std::ldexp(1.0f, -23);  // offset +1 along axis 1
    p.dt = 1.0f;
    EXPECT_EQ(bitsOf(p.stepPlain()[0]), 1u) << "pair " << pair;
  }
}

// The tensor is read at the 27 first-order taps and at the voxel only: a
// NaN two voxels away does not reach voxel (0,0,0), while a NaN sample of
// the volume two voxels away does, even under zero weights.
TEST(UpdateSweep, WhatTheFirstVoxelReads) {
  for (int c = 0; c < 6; ++c) {
    SweepProblem p({4, 1, 1});
    std::mt19937 rng(7u + static_cast<unsigned>(c));
    testing::fillRandom(p, rng);
    p.t[c][2] = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> out = p.stepPlain();
    EXPECT_TRUE(std::isfinite(out[0])) << "component " << c;
    EXPECT_TRUE(std::isnan(out[1])) << "component " << c;
  }
  SweepProblem p({4, 1, 1});
  p.u = {1.0f, 2.0f, std::numeric_limits<float>::quiet_NaN(), 3.0f};
  p.dt = 0.5f;
  EXPECT_TRUE(std::isnan(p.stepPlain()[0]));
  p.u[2] = std::numeric_limits<float>::infinity();  // inf * 0 weight is NaN
  EXPECT_TRUE(std::isnan(p.stepPlain()[0]));
}

// inf - inf makes x86's default NaN (sign set); a NaN sample carries its
// own payload. Either way the stored result is the one canonical quiet NaN,
// on every path.
TEST(UpdateSweep, NaNResultsAreStoredCanonical) {
  SweepProblem p({6, 5, 4});
  std::mt19937 rng(5u);
  testing::fillRandom(p, rng);
  p.u[p.at(3, 2, 1)] = floatOf(0xffc12345u);
  p.t[0][p.at(1, 1, 1)] = std::numeric_limits<float>::infinity();
  p.t[3][p.at(1, 1, 1)] = -std::numeric_limits<float>::infinity();
  for (SweepPath path :
       {SweepPath::Plain, SweepPath::Baseline, SweepPath::Avx2, SweepPath::Avx512}) {
    const std::vector<float> out =
        p.step([path](MutableVolumeView o, const TensorField& t, const GradientStencils& g,
                      const HessianStencils& h, float dt,
                      VolumeDims d) { updateVolumeOnPath(path, o, t, g, h, dt, d); });
    int nans = 0;
    for (float v : out) {
      if (std::isnan(v)) {
        EXPECT_EQ(bitsOf(v), kCanonicalNaNBits) << sweepPathName(path);
        ++nans;
      }
    }
    EXPECT_GT(nans, 0);
  }
}

TEST(UpdateSweep, ZeroStepOrZeroTensorLeavesFiniteVolumesUnchanged) {
  std::mt19937 rng(11u);
  for (VolumeDims d : {VolumeDims{5, 4, 3}, VolumeDims{1, 1, 1}, VolumeDims{2, 7, 1}}) {
    SweepProblem p(d);
    testing::fillRandom(p, rng);
    p.dt = 0.0f;
    EXPECT_EQ(p.stepPlain(), p.u);
    p.dt = 0.3f;
    for (auto& c : p.t) c.assign(c.size(), 0.0f);
    EXPECT_EQ(p.stepPlain(), p.u);
  }
}

// Null pointers everywhere: any read or write would fault.
TEST(UpdateSweep, ZeroExtentReadsAndWritesNothing) {
  const VolumeView none{nullptr, {0, 0, 0}};
  const TensorField tensor{none, none, none, none, none, none};
  const GradientStencils g{nullptr, nullptr, nullptr};
  const HessianStencils h{nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  for (VolumeDims d : {VolumeDims{0, 3, 2}, VolumeDims{3, 0, 2}, VolumeDims{3, 2, 0},
                       VolumeDims{0, 0, 0}, VolumeDims{-1, 2, 2}}) {
    updateVolumePlain({nullptr, d}, tensor, g, h, 1.0f, d);
    updateVolume({nullptr, d}, tensor, g, h, 1.0f, d);
  }
}

}  // namespace
}  // namespace quillmere
