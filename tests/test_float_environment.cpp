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

#if defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#include <cstdint>
#define QUILLMERE_TEST_FPCR 1
#endif

namespace quillmere {
namespace {

using testing::bitDifference;
using testing::bitsOf;
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
  // Some libraries raise underflow by an operation that is inexact too.
  const int callers = std::fetestexcept(FE_ALL_EXCEPT);
  ASSERT_NE(callers & FE_UNDERFLOW, 0);
  {
    const FloatEnvironmentGuard guard;
    EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT), 0);  // the sweep starts clean
    volatile float big = 3.0e38f;
    volatile float overflow = big * 10.0f;  // raises overflow and inexact inside
    (void)overflow;
  }
  EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT), callers);
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

#if defined(QUILLMERE_TEST_FPCR)
std::uint64_t readFpcr() {
  std::uint64_t v;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(v));
  return v;
}
void writeFpcr(std::uint64_t v) { __asm__ __volatile__("msr fpcr, %0" : : "r"(v) : "memory"); }

constexpr std::uint64_t kFlushToZero = 1u << 24;
constexpr std::uint64_t kHalfFlushToZero = 1u << 19;
constexpr std::uint64_t kTowardZero = 3u << 22;

// The emulator and the processor honour FZ: a subnormal product is flushed
// without the guard, and kept with it.
TEST(FloatEnvironment, FlushToZeroIsOffInsideAndBackAfter) {
  const SweepProblem p = subnormalProblem();
  const std::vector<float> expected = p.step(updateVolume);

  const std::uint64_t saved = readFpcr();
  volatile float tiny = 1.0e-39f;
  volatile float half = 0.5f;
  volatile float keptProduct = tiny * half;  // volatile: stays on its side of the change
  const std::uint64_t hostile = saved | kFlushToZero | kHalfFlushToZero | kTowardZero;
  writeFpcr(hostile);
  volatile float flushedProduct = tiny * half;
  const std::vector<float> unguarded = p.step(updateVolume);
  std::uint64_t inside = 0;
  volatile float guardedProduct = 0.0f;
  std::vector<float> guarded;
  {
    const FloatEnvironmentGuard guard;
    inside = readFpcr();
    guardedProduct = tiny * half;
    guarded = p.step(updateVolume);
  }
  const std::uint64_t after = readFpcr();
  writeFpcr(saved);

  EXPECT_EQ(bitsOf(flushedProduct), 0u) << "FZ is not honoured here";
  EXPECT_NE(bitsOf(keptProduct), 0u);
  EXPECT_EQ(bitsOf(guardedProduct), bitsOf(keptProduct));
  EXPECT_EQ(inside & (kFlushToZero | kHalfFlushToZero | kTowardZero), 0u);
  EXPECT_EQ(after, hostile);
  EXPECT_FALSE(sameBits(unguarded, expected)) << "data does not show FZ";
  EXPECT_TRUE(sameBits(guarded, expected));
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
