// Known answers for the order of the update at one voxel:
//
//   firstOrderTerm  = ((q1*g1) + (q2*g2)) + (q3*g3)
//   secondOrderTerm = s11*t11 + s22*t22 + s33*t33 + (2*t12)*s12 + (2*t13)*s13 + (2*t23)*s23
//   new             = (secondOrderTerm + firstOrderTerm) * dt + u
//
// The numbers are chosen so that every product is exact and the only
// roundings are those of the sums, at magnitudes where the spacing of
// floats is 1, 2 or 4; each expected value below is worked out by hand. The
// volume is uniform and every stencil weight sits on a tap ahead of the
// voxel (+1 along one axis), which no earlier voxel has written, so every
// voxel of any shape gets the same known answer and the vector paths can be
// held to it on shapes that fill their vectors.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "core/update_sweep.h"
#include "tests/support/sweep_problem.h"

namespace quillmere {
namespace {

using testing::bitsOf;
using testing::floatOf;
using testing::SweepProblem;

// Taps one step ahead of the voxel: +1 along axis 1, 2, 3 of a 3x3x3
// stencil, and +1 along axis 1 of a 5x5x5 stencil.
constexpr int kAheadAxis1 = 14;
constexpr int kAheadAxis2 = 16;
constexpr int kAheadAxis3 = 22;
constexpr int kAheadWide = 63;

struct OrderCase {
  const char* what;
  float u;          // every sample
  float tensor[6];  // t11, t12, t13, t22, t23, t33 at every voxel
  float k[3];       // k1 on kAheadAxis1, k2 on kAheadAxis2, k3 on kAheadAxis3
  float h[6];       // k11, k22, k33, k12, k13, k23 on kAheadWide
  float dt;
  std::uint32_t expected;
};

// Main case, by hand (u = 0.5 everywhere, so g = k*u and s = h*u):
//   g = (-3, 0.375, 1500)
//   q1 = (1*-6 + 0.25*0.75) + 4*3000        = 11994.1875   (all exact)
//   q2 = (0.25*-6 + 0.5*0.75) + 0.125*3000  = 373.875
//   q3 = (4*-6 + 0.125*0.75) + 2*3000       = 5976.09375
//   q1*g1 = -35982.5625, q2*g2 = 140.203125, q3*g3 = 8964140.625 -> 8964141
//     (spacing 1 in [2^23, 2^24); .625 rounds up)
//   (q1g1 + q2g2) = -35842.359375 (exact); + 8964141 = 8928298.640625
//     -> firstOrderTerm = 8928299
//   second-order items, in order: 5, 0.5, -2^25, -2^23, 2^25, -5
//     5 + 0.5 = 5.5; 5.5 - 33554432 = -33554426.5 -> -33554426 (spacing 2)
//     - 8388608 = -41943034 -> tie between -41943032 and -41943036 (spacing
//     4), to even: -41943032; + 33554432 = -8388600; - 5 = -8388605
//   total = -8388605 + 8928299 = 539694 (exact)
//   new = 539694 * 5 + 0.5 = 2698470.5 (exact: spacing 0.25)
//
// Subnormal case: the doubled component first. t12 = 3*2^-20, s12 = u =
// 2^-130: (2*t12)*s12 = 3*2^-149 exactly, while 2*(t12*s12) would round
// 1.5*2^-149 to 2^-148 first and give 2^-147. new = 3*2^-149 + 2^-130.
const OrderCase kCases[] = {
    {"every grouping told apart",
     0.5f,
     {1.0f, 0.25f, 4.0f, 0.5f, 0.125f, 2.0f},
     {-6.0f, 0.75f, 3000.0f},
     {10.0f, 2.0f, -33554432.0f, -33554432.0f, 8388608.0f, -40.0f},
     5.0f,
     0x4a24b39au},  // 2698470.5
    {"doubled component before the product",
     floatOf(0x00080000u),  // 2^-130
     {0.0f, 3.0f / 1048576.0f, 0.0f, 0.0f, 0.0f, 0.0f},
     {0.0f, 0.0f, 0.0f},
     {0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f},
     1.0f,
     0x00080003u},  // 2^-130 + 3*2^-149
};

SweepProblem problemFor(const OrderCase& c, VolumeDims dims) {
  SweepProblem p(dims);
  p.u.assign(p.sampleCount(), c.u);
  for (int i = 0; i < 6; ++i) p.t[i].assign(p.sampleCount(), c.tensor[i]);
  p.k[0][kAheadAxis1] = c.k[0];
  p.k[1][kAheadAxis2] = c.k[1];
  p.k[2][kAheadAxis3] = c.k[2];
  for (int i = 0; i < 6; ++i) p.h[i][kAheadWide] = c.h[i];
  p.dt = c.dt;
  return p;
}

// A single voxel (every tap clamps onto it), short rows the vector paths
// leave to the plain sweep, and blocks long enough to fill 16-lane vectors.
const VolumeDims kShapes[] = {{1, 1, 1}, {2, 1, 1}, {3, 2, 2}, {40, 9, 7}, {67, 5, 11}};

void expectKnownAnswer(const char* path, const std::vector<float>& out, const OrderCase& c) {
  for (std::size_t e = 0; e < out.size(); ++e) {
    if (bitsOf(out[e]) != c.expected) {
      ADD_FAILURE() << path << ", voxel " << e << ": got bits " << std::hex << bitsOf(out[e])
                    << ", expected " << c.expected;
      return;  // one voxel says it; the others would repeat it
    }
  }
}

TEST(UpdateOrder, PlainSweepGivesTheKnownAnswers) {
  for (const OrderCase& c : kCases) {
    for (const VolumeDims& d : kShapes) {
      SCOPED_TRACE(::testing::Message() << c.what << ", " << d.n1 << "x" << d.n2 << "x" << d.n3);
      expectKnownAnswer("plain", problemFor(c, d).stepPlain(), c);
    }
  }
}

TEST(UpdateOrder, EveryPathGivesTheKnownAnswers) {
  const SweepPath paths[] = {SweepPath::Automatic, SweepPath::Baseline, SweepPath::Avx2,
                             SweepPath::Avx512};
  for (const SweepPath path : paths) {
    if (!sweepPathSupported(path)) continue;
    for (const OrderCase& c : kCases) {
      for (const VolumeDims& d : kShapes) {
        SCOPED_TRACE(::testing::Message() << c.what << ", " << d.n1 << "x" << d.n2 << "x" << d.n3);
        const std::vector<float> out = problemFor(c, d).step(
            [path](MutableVolumeView o, const TensorField& t, const GradientStencils& g,
                   const HessianStencils& h, float dt,
                   VolumeDims dims) { updateVolumeOnPath(path, o, t, g, h, dt, dims); });
        expectKnownAnswer(sweepPathName(path), out, c);
      }
    }
  }
}

// Every way of adding up `items` as a binary tree (commuted pairs count
// once: they give the same bits), keyed by a bracketed description.
std::map<std::string, float> everySum(const std::vector<float>& items, unsigned mask) {
  std::map<std::string, float> sums;
  if ((mask & (mask - 1)) == 0) {
    unsigned i = 0;
    while (!(mask & (1u << i))) ++i;
    sums[std::to_string(i + 1)] = items[i];
    return sums;
  }
  const unsigned lowest = mask & (~mask + 1);
  for (unsigned left = (mask - 1) & mask; left != 0; left = (left - 1) & mask) {
    if (!(left & lowest)) continue;
    for (const auto& [l, a] : everySum(items, left)) {
      for (const auto& [r, b] : everySum(items, mask ^ left)) sums["(" + l + "+" + r + ")"] = a + b;
    }
  }
  return sums;
}

// The main case only tests the order if no other way of doing the
// arithmetic gives its bits: checked here over every grouping and order of
// the six second-order items, and over the other ways of forming the first-
// order term, of joining the two and of applying dt.
TEST(UpdateOrder, TheMainCaseTellsEveryOtherOrderApart) {
  const OrderCase& c = kCases[0];
  const float t11 = c.tensor[0], t12 = c.tensor[1], t13 = c.tensor[2];
  const float t22 = c.tensor[3], t23 = c.tensor[4], t33 = c.tensor[5];
  const float g1 = c.k[0] * c.u, g2 = c.k[1] * c.u, g3 = c.k[2] * c.u;
  const float q1 = (t11 * c.k[0] + t12 * c.k[1]) + t13 * c.k[2];
  const float q2 = (t12 * c.k[0] + t22 * c.k[1]) + t23 * c.k[2];
  const float q3 = (t13 * c.k[0] + t23 * c.k[1]) + t33 * c.k[2];
  float s[6];
  for (int i = 0; i < 6; ++i) s[i] = c.h[i] * c.u;  // s11, s22, s33, s12, s13, s23
  const std::vector<float> items = {s[0] * t11,          s[1] * t22,          s[2] * t33,
                                    (2.0f * t12) * s[3], (2.0f * t13) * s[4], (2.0f * t23) * s[5]};
  const float f1 = q1 * g1, f2 = q2 * g2, f3 = q3 * g3;
  const float first = (f1 + f2) + f3;
  const float dt = c.dt, u = c.u;

  const std::map<std::string, float> seconds = everySum(items, 0x3fu);
  ASSERT_EQ(seconds.size(), 945u);  // 9!!: every tree over six items
  const float second = seconds.at("(((((1+2)+3)+4)+5)+6)");
  ASSERT_EQ(bitsOf((second + first) * dt + u), c.expected);
  for (const auto& [grouping, value] : seconds) {
    if (grouping == "(((((1+2)+3)+4)+5)+6)") continue;
    EXPECT_NE(bitsOf((value + first) * dt + u), c.expected) << grouping;
  }

  // s22 and s33 paired with each other's tensor component.
  float swapped = items[0] + s[2] * t22;
  swapped = swapped + s[1] * t33;
  for (int i = 3; i < 6; ++i) swapped = swapped + items[static_cast<std::size_t>(i)];
  EXPECT_NE(bitsOf((swapped + first) * dt + u), c.expected);

  const std::pair<const char*, float> others[] = {
      {"q1g1 + (q2g2 + q3g3)", (second + (f1 + (f2 + f3))) * dt + u},
      {"(q1g1 + q3g3) + q2g2", (second + ((f1 + f3) + f2)) * dt + u},
      {"first-order products added one by one", (((second + f1) + f2) + f3) * dt + u},
      {"first-order products before the second-order term", ((f1 + f2) + (f3 + second)) * dt + u},
      {"dt on each term", (second * dt + first * dt) + u},
      {"dt on each term, u between", (second * dt + u) + first * dt},
      {"dt on each term, u first", (first * dt + u) + second * dt},
      {"u added before dt", (second + first) + u * dt},
      {"no dt", (second + first) + u},
  };
  for (const auto& [what, value] : others) EXPECT_NE(bitsOf(value), c.expected) << what;
}

}  // namespace
}  // namespace quillmere
