// Clamped taps, tap order and the arithmetic of the two stencil passes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/stencil_sums.h"
#include "tests/support/sweep_problem.h"

namespace quillmere {
namespace {

using testing::bitsOf;
using testing::floatOf;
using testing::SweepProblem;

TEST(VolumeGrid, ClampAndColumnMajorIndex) {
  EXPECT_EQ(clampIndex(-2, 4), 0);
  EXPECT_EQ(clampIndex(3, 4), 3);
  EXPECT_EQ(clampIndex(6, 4), 4);
  EXPECT_EQ(clampIndex(0, -1), -1);  // upper bound tested first
  const VolumeDims d{4, 3, 2};
  EXPECT_EQ(linearIndex(0, 0, 0, d), 0);
  EXPECT_EQ(linearIndex(1, 0, 0, d), 1);
  EXPECT_EQ(linearIndex(0, 1, 0, d), 4);
  EXPECT_EQ(linearIndex(0, 0, 1, d), 12);
  EXPECT_EQ(linearIndex(3, 2, 1, d), 23);
}

// g1 with a one-hot k1 reads exactly one sample: which one shows the tap
// order and the clamp. u[e] = e + 1 makes every sample distinct.
float firstTap(SweepProblem& p, int m, int i1, int i2, int i3) {
  for (std::size_t e = 0; e < p.u.size(); ++e) p.u[e] = static_cast<float>(e + 1);
  p.k[0].assign(27, 0.0f);
  p.k[0][static_cast<std::size_t>(m)] = 1.0f;
  return evaluateFirstOrderSums(p.view(p.u), p.tensor(), p.gradient(), i1, i2, i3).g1;
}
float secondTap(SweepProblem& p, int m, int i1, int i2, int i3) {
  for (std::size_t e = 0; e < p.u.size(); ++e) p.u[e] = static_cast<float>(e + 1);
  p.h[0].assign(125, 0.0f);
  p.h[0][static_cast<std::size_t>(m)] = 1.0f;
  return evaluateSecondOrderSums(p.view(p.u), p.hessian(), i1, i2, i3).s11;
}

TEST(StencilSums, TapOrderAndCornerClamp) {
  SweepProblem p({3, 3, 3});
  // At the origin, offset (-1,-1,-1) and (0,-1,-1) both clamp to the voxel.
  EXPECT_EQ(firstTap(p, 0, 0, 0, 0), 1.0f);
  EXPECT_EQ(firstTap(p, 1, 0, 0, 0), 1.0f);
  EXPECT_EQ(firstTap(p, 2, 0, 0, 0), 2.0f);    // (+1,-1,-1) -> (1,0,0)
  EXPECT_EQ(firstTap(p, 26, 0, 0, 0), 14.0f);  // (+1,+1,+1) -> (1,1,1)
  EXPECT_EQ(firstTap(p, 26, 2, 2, 2), 27.0f);  // clamps back to the far corner
  EXPECT_EQ(firstTap(p, 0, 1, 1, 1), 1.0f);    // (0,0,0), no clamping
  EXPECT_EQ(firstTap(p, 3, 1, 1, 1), 4.0f);    // (-1,0,-1) -> (0,1,0): axis 2 is m/3
  EXPECT_EQ(firstTap(p, 9, 1, 1, 1), 10.0f);   // (-1,-1,0) -> (0,0,1): axis 3 is m/9
  // The 5x5x5 pass clamps one voxel further in.
  EXPECT_EQ(secondTap(p, 0, 1, 1, 1), 1.0f);            // (-1,-1,-1) -> (0,0,0)
  EXPECT_EQ(secondTap(p, 124, 1, 1, 1), 27.0f);         // (3,3,3) -> (2,2,2)
  EXPECT_EQ(secondTap(p, 5, 1, 1, 1), 1.0f);            // (-1,0,-1) -> (0,0,0)
  EXPECT_EQ(secondTap(p, 25 * 3 + 4, 0, 2, 1), 21.0f);  // (+2,-2,+1) -> (2,0,2)
}

TEST(StencilSums, ExtentTwoAndOneAlongAxes) {
  // Extent 2, 5-wide stencil: at coordinate 0 offsets -2,-1,0 read sample 0
  // and +1,+2 read sample 1; at coordinate 1 offsets -2,-1 read sample 0.
  SweepProblem p({2, 1, 1});
  const float at0[5] = {1, 1, 1, 2, 2}, at1[5] = {1, 1, 2, 2, 2};
  for (int a = 0; a < 5; ++a) {
    EXPECT_EQ(secondTap(p, 60 + a, 0, 0, 0), at0[a]) << "a=" << a;
    EXPECT_EQ(secondTap(p, 60 + a, 1, 0, 0), at1[a]) << "a=" << a;
  }
  // Same along axis 3 on a 1x1x2 volume (stride 25 in the stencil).
  SweepProblem q({1, 1, 2});
  for (int c = 0; c < 5; ++c) {
    EXPECT_EQ(secondTap(q, 12 + 25 * c, 0, 0, 0), at0[c]) << "c=" << c;
  }
  // Extent 1 everywhere: every tap reads the one sample, and the taps are
  // added in weight order: 1 + 1e8 - 1e8 is 0 that way, 1 in any other.
  SweepProblem one({1, 1, 1});
  one.u[0] = 1.0f;
  one.k[0][0] = 1.0f;
  one.k[0][1] = 1.0e8f;
  one.k[0][2] = -1.0e8f;
  EXPECT_EQ(evaluateFirstOrderSums(one.view(one.u), one.tensor(), one.gradient(), 0, 0, 0).g1,
            0.0f);
  one.h[4][0] = 1.0f;
  one.h[4][60] = 1.0e8f;
  one.h[4][124] = -1.0e8f;
  EXPECT_EQ(evaluateSecondOrderSums(one.view(one.u), one.hessian(), 0, 0, 0).s13, 0.0f);
}

TEST(StencilSums, CentralDifferenceOfRampHalvesAtEdges) {
  SweepProblem p({6, 2, 1});
  for (int i2 = 0; i2 < 2; ++i2)
    for (int i1 = 0; i1 < 6; ++i1) p.u[p.at(i1, i2, 0)] = static_cast<float>(i1);
  p.k[0][12] = -0.5f;
  p.k[0][14] = 0.5f;
  for (int i1 = 0; i1 < 6; ++i1) {
    const float g1 = evaluateFirstOrderSums(p.view(p.u), p.tensor(), p.gradient(), i1, 1, 0).g1;
    EXPECT_EQ(g1, (i1 == 0 || i1 == 5) ? 0.5f : 1.0f) << "i1=" << i1;
  }
}

TEST(StencilSums, TensorRowsAndTapTermGrouping) {
  // On a single voxel each tap reads the same tensor, so a one-hot k_j
  // picks column j of the tensor into (q1, q2, q3).
  SweepProblem p({1, 1, 1});
  const float comp[6] = {1, 2, 4, 8, 16, 32};  // t11 t12 t13 t22 t23 t33
  for (int c = 0; c < 6; ++c) p.t[c][0] = comp[c];
  const float column[3][3] = {{1, 2, 4}, {2, 8, 16}, {4, 16, 32}};
  for (int j = 0; j < 3; ++j) {
    for (auto& s : p.k) s.assign(27, 0.0f);
    p.k[j][7] = 1.0f;
    const FirstOrderSums f = evaluateFirstOrderSums(p.view(p.u), p.tensor(), p.gradient(), 0, 0, 0);
    EXPECT_EQ(f.q1, column[j][0]);
    EXPECT_EQ(f.q2, column[j][1]);
    EXPECT_EQ(f.q3, column[j][2]);
  }
  // ((1e8 - 1e8) + 1) = 1, whereas 1e8 + (-1e8 + 1) would be 0.
  p.t[0][0] = 1.0e8f;   // t11
  p.t[1][0] = -1.0e8f;  // t12
  p.t[2][0] = 1.0f;     // t13
  for (auto& s : p.k) s.assign(27, 0.0f);
  p.k[0][0] = p.k[1][0] = p.k[2][0] = 1.0f;
  EXPECT_EQ(evaluateFirstOrderSums(p.view(p.u), p.tensor(), p.gradient(), 0, 0, 0).q1, 1.0f);
}

TEST(StencilSums, ZerosSignsSubnormalsAndNonFinite) {
  SweepProblem p({3, 3, 3});
  // All products -0 (negative samples, zero weights): sums start at +0.0.
  for (float& x : p.u) x = -1.0f;
  for (auto& c : p.t) c.assign(p.u.size(), -1.0f);
  const FirstOrderSums f = evaluateFirstOrderSums(p.view(p.u), p.tensor(), p.gradient(), 1, 1, 1);
  const SecondOrderSums s = evaluateSecondOrderSums(p.view(p.u), p.hessian(), 1, 1, 1);
  for (float v : {f.g1, f.g2, f.g3, f.q1, f.q2, f.q3, s.s11, s.s22, s.s33, s.s12, s.s13, s.s23}) {
    EXPECT_EQ(bitsOf(v), 0u);
  }
  // Subnormal products and sums are kept, never flushed.
  const float tiny = floatOf(0x00000003u);
  p.u.assign(p.u.size(), tiny);
  p.k[1].assign(27, 0.0f);
  p.k[1][13] = 1.0f;
  p.h[5].assign(125, 0.0f);
  p.h[5][62] = 0.5f;  // 3 * 2^-149 * 0.5 rounds to even: 2 * 2^-149
  EXPECT_EQ(bitsOf(evaluateFirstOrderSums(p.view(p.u), p.tensor(), p.gradient(), 1, 1, 1).g2), 3u);
  EXPECT_EQ(bitsOf(evaluateSecondOrderSums(p.view(p.u), p.hessian(), 1, 1, 1).s23), 2u);
  // A NaN or infinity under a zero weight still poisons the sum.
  p.u.assign(p.u.size(), 1.0f);
  p.u[p.at(0, 0, 0)] = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(
      std::isnan(evaluateFirstOrderSums(p.view(p.u), p.tensor(), p.gradient(), 1, 1, 1).g1));
  EXPECT_TRUE(std::isnan(evaluateSecondOrderSums(p.view(p.u), p.hessian(), 2, 2, 2).s11));
  p.u[p.at(0, 0, 0)] = 1.0f;
  p.t[4][p.at(2, 2, 2)] = std::numeric_limits<float>::quiet_NaN();  // t23
  const FirstOrderSums n = evaluateFirstOrderSums(p.view(p.u), p.tensor(), p.gradient(), 1, 1, 1);
  EXPECT_FALSE(std::isnan(n.q1));  // row 1 does not hold t23
  EXPECT_TRUE(std::isnan(n.q2));
  EXPECT_TRUE(std::isnan(n.q3));
}

}  // namespace
}  // namespace quillmere
