// The floating-point environment guard: inside it the sweep runs in the
// default environment whatever the caller set; after it the caller's state
// is back, bit for bit.
#include <gtest/gtest.h>

#include <cfenv>
#include <random>

#include "core/float_environment.h"
#include "core/update_sweep.h"
#include "tests/support/exact_bits.h"
#include "tests/support/hostile_fp.h"
#include "tests/support/sweep_problem.h"

namespace quillmere {
namespace {

using testing::bitDifference;
using testing::FpEnvironmentScope;
using testing::FpSetting;
using testing::sameBits;
using testing::SweepProblem;

// Data whose step goes through subnormal operands and results, so that
// flushing or another rounding mode shows in the bits.
SweepProblem subnormalProblem() {
  SweepProblem p({7, 6, 5});
  std::mt19937 rng(3);
  testing::fillRandom(p, rng);
  for (float& x : p.u) x *= 1.0e-37f;
  p.dt = 0.3f;
  return p;
}

// Every hostile setting: the sweep's bits differ under it unguarded (so the
// data shows the setting), and inside a guard they are the default's, with
// round-to-nearest in force; after the guard the setting is back.
TEST(FloatEnvironment, HostileSettingsArePinnedInsideAndRestoredAfter) {
  const SweepProblem p = subnormalProblem();
  const std::vector<float> expected = p.step(updateVolume);
  for (const FpSetting& s : testing::hostileFpSettings()) {
    SCOPED_TRACE(s.name);
    const FpEnvironmentScope hostile(s);
    const std::uint64_t set = testing::fpControlState();
    const std::vector<float> unguarded = p.step(updateVolume);
    int inside = -1;
    std::vector<float> guarded;
    {
      const FloatEnvironmentGuard guard;
      inside = std::fegetround();
      guarded = p.step(updateVolume);
    }
    EXPECT_EQ(testing::fpControlState(), set);
    EXPECT_EQ(inside, FE_TONEAREST);
    EXPECT_FALSE(sameBits(unguarded, expected)) << "data does not show the setting";
    EXPECT_EQ(bitDifference(expected, guarded, p.dims), "");
  }
}

TEST(FloatEnvironment, ExceptionFlagsOfTheCallerSurviveAndTheSweepsDoNot) {
  std::feclearexcept(FE_ALL_EXCEPT);
  std::feraiseexcept(FE_UNDERFLOW);
  {
    const FloatEnvironmentGuard guard;
    EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT), 0);  // the sweep starts clean
    volatile float big = 3.0e38f;
    volatile float overflow = big * 10.0f;  // raises overflow and inexact inside
    (void)overflow;
  }
  EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT), FE_UNDERFLOW);
  std::feclearexcept(FE_ALL_EXCEPT);
}

#if defined(QUILLMERE_TEST_MXCSR)
// Past the flush bits and rounding, everything else a host might leave in
// MXCSR: a sticky precision flag and the divide-by-zero trap unmasked (the
// sweep never divides, so it cannot fire in the test itself). Inside, every
// exception is masked; after, the caller's word is back, bit for bit.
TEST(FloatEnvironment, WholeMxcsrIsDefaultInsideAndBackAfter) {
  constexpr unsigned int kMasks = 0x1F80u, kRounding = 0x6000u;
  const SweepProblem p = subnormalProblem();
  const std::vector<float> expected = p.step(updateVolume);
  const FpEnvironmentScope hostile({"FTZ and DAZ, rounding toward zero", FE_TOWARDZERO, true});
  _mm_setcsr((_mm_getcsr() | 0x0020u) & ~0x0200u);
  const unsigned int set = _mm_getcsr();
  unsigned int inside = 0;
  std::vector<float> guarded;
  {
    const FloatEnvironmentGuard guard;
    inside = _mm_getcsr();
    guarded = p.step(updateVolume);
  }
  EXPECT_EQ(_mm_getcsr(), set);
  EXPECT_EQ(inside & (testing::kMxcsrFlushToZero | testing::kMxcsrDenormalsAreZero | kRounding),
            0u);
  EXPECT_EQ(inside & kMasks, kMasks);
  EXPECT_EQ(bitDifference(expected, guarded, p.dims), "");
}
#endif

// Guards nest: each restores what it found.
TEST(FloatEnvironment, NestedGuardsRestoreInTurn) {
  ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
  {
    const FloatEnvironmentGuard outer;
    std::fesetround(FE_DOWNWARD);
    {
      const FloatEnvironmentGuard inner;
      EXPECT_EQ(std::fegetround(), FE_TONEAREST);
    }
    EXPECT_EQ(std::fegetround(), FE_DOWNWARD);
  }
  EXPECT_EQ(std::fegetround(), FE_UPWARD);
  std::fesetround(FE_TONEAREST);
}

}  // namespace
}  // namespace quillmere
