// The gateway driven through the stand-in host: what a good call returns,
// what callers may rely on, and that every bad call is refused before
// anything is made or changed.
#include <gtest/gtest.h>

#include <cfenv>
#include <limits>
#include <random>
#include <string>

#include "core/update_sweep.h"
#include "tests/gateway_bad_calls.h"
#include "tests/standin_arrays.h"
#include "tests/sweep_problem.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define QUILLMERE_TEST_MXCSR 1
#endif

namespace quillmere {
namespace {

using namespace quillmere::testing;

SweepProblem randomProblem(VolumeDims dims, unsigned seed) {
  SweepProblem p(dims);
  std::mt19937 rng(seed);
  fillRandom(p, rng);
  return p;
}

std::vector<float> expectedStep(const SweepProblem& p) { return p.step(updateVolume); }

void expectGoodCall(const CallOutcome& c) {
  ASSERT_EQ(c.result.raised, 0) << c.result.identifier << ": " << c.result.message;
  ASSERT_NE(c.out, nullptr);
  EXPECT_EQ(mxGetClassID(c.out.get()), mxSINGLE_CLASS);
  EXPECT_FALSE(mxIsComplex(c.out.get()));
}

TEST(Gateway, StepsLikeTheCoreOnSmallAndUnevenShapes) {
  const VolumeDims shapes[] = {{1, 1, 1}, {2, 1, 1}, {1, 2, 1}, {1, 1, 2}, {2, 2, 2},
                               {1, 3, 2}, {5, 1, 4}, {3, 4, 1}, {7, 5, 6}};
  unsigned seed = 1;
  for (const VolumeDims& d : shapes) {
    SCOPED_TRACE(::testing::Message() << d.n1 << "x" << d.n2 << "x" << d.n3);
    const SweepProblem p = randomProblem(d, seed++);
    const CallInputs in(p);
    const CallOutcome c = callGateway(in);
    expectGoodCall(c);
    // The host drops a trailing extent of 1, as MATLAB does.
    std::vector<int> shown{d.n1, d.n2, d.n3};
    if (d.n3 == 1) shown.pop_back();
    EXPECT_EQ(dimsOf(c.out.get()), shown);
    EXPECT_EQ(bitsOfAll(samplesOf(c.out.get())), bitsOfAll(expectedStep(p)));
  }
}

TEST(Gateway, LeavesInputsAloneAndRepeatsItsBits) {
  SweepProblem p({6, 5, 4});
  std::mt19937 rng(7);
  fillRandom(p, rng);
  fillNasty(p.u, rng, 20);  // subnormals, infinities and NaN in u
  const CallInputs in(p);
  const auto before = in.snapshot();
  const long live = standinLiveArrayCount();
  const CallOutcome first = callGateway(in);
  const CallOutcome second = callGateway(in);
  expectGoodCall(first);
  expectGoodCall(second);
  EXPECT_EQ(in.snapshot(), before);
  EXPECT_EQ(first.result.arraysCreated, 1);
  EXPECT_EQ(standinLiveArrayCount(), live + 2);
  EXPECT_EQ(bitsOfAll(samplesOf(first.out.get())), bitsOfAll(samplesOf(second.out.get())));
  EXPECT_EQ(bitsOfAll(samplesOf(first.out.get())), bitsOfAll(expectedStep(p)));
}

TEST(Gateway, EmptyVolumeGivesEmptySingleOfItsExtents) {
  const SweepProblem p({0, 3, 2});
  const CallInputs in(p);
  const CallOutcome c = callGateway(in);
  expectGoodCall(c);
  EXPECT_EQ(dimsOf(c.out.get()), (std::vector<int>{0, 3, 2}));
  EXPECT_EQ(mxGetNumberOfElements(c.out.get()), 0u);
}

// Empty, yet two extents multiply past 2^31: the 32-bit sample count must not
// be formed from them (found by the fuzz target as a signed overflow).
TEST(Gateway, EmptyVolumeWithHugeExtentsGivesEmptyOutput) {
  const SweepProblem p = randomProblem({2, 2, 2}, 91);
  for (const std::vector<int>& dims : std::vector<std::vector<int>>{
           {0, 65536, 46340}, {65536, 0, 46341}, {46341, 46341, 0}, {0, 2147483647, 2}}) {
    CallInputs in(p);
    for (int slot = 0; slot < 7; ++slot) in.args[static_cast<std::size_t>(slot)] = makeArray(dims);
    const CallOutcome c = callGateway(in);
    expectGoodCall(c);
    EXPECT_EQ(dimsOf(c.out.get()), dims);
    EXPECT_EQ(mxGetNumberOfElements(c.out.get()), 0u);
  }
}

TEST(Gateway, MakesTheOutputWhenNoneIsAskedFor) {
  const SweepProblem p = randomProblem({3, 2, 2}, 11);
  const CallInputs in(p);
  const CallOutcome c = callGateway(in, 0);
  expectGoodCall(c);
  EXPECT_EQ(bitsOfAll(samplesOf(c.out.get())), bitsOfAll(expectedStep(p)));
}

// Lengths callers may rely on: the leading 27 / 125 stencil weights, the
// first dt, and inputs past the seventeenth ignored.
TEST(Gateway, UsesLeadingElementsOfLongerArguments) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const SweepProblem p = randomProblem({4, 3, 2}, 21);
  CallInputs in(p);
  in.args[K2] = makeSingle({30, 1}, p.k[1], nan);
  in.args[K13] = makeSingle({5, 5, 5, 2}, p.h[4], nan);
  in.args[K33] = makeSingle({1, 200}, p.h[2], nan);
  in.args[DT] = makeSingle({1, 3}, {p.dt}, nan);
  in.args.push_back(makeArray({2, 2}, mxDOUBLE_CLASS));  // an eighteenth input
  const CallOutcome c = callGateway(in);
  expectGoodCall(c);
  EXPECT_EQ(bitsOfAll(samplesOf(c.out.get())), bitsOfAll(expectedStep(p)));
}

// Samples past u's first three extents are never read, nor written back.
TEST(Gateway, StepsTheFirstThreeExtentsOfALongerU) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const SweepProblem p = randomProblem({3, 4, 2}, 31);
  CallInputs in(p);
  in.args[U] = makeSingle({3, 4, 2, 3}, p.u, nan);
  in.args[T22] = makeSingle({3, 4, 2, 2}, p.t[3], nan);  // tensors may be longer too
  const CallOutcome c = callGateway(in);
  expectGoodCall(c);
  EXPECT_EQ(dimsOf(c.out.get()), (std::vector<int>{3, 4, 2}));
  EXPECT_EQ(bitsOfAll(samplesOf(c.out.get())), bitsOfAll(expectedStep(p)));
}

// MATLAB and Octave report a single plane with two extents.
TEST(Gateway, StepsAPlaneGivenWithTwoExtents) {
  const SweepProblem p = randomProblem({5, 4, 1}, 41);
  CallInputs in(p);
  ASSERT_EQ(mxGetNumberOfDimensions_700(in.args[U].get()), 2);
  const CallOutcome c = callGateway(in);
  expectGoodCall(c);
  EXPECT_EQ(dimsOf(c.out.get()), (std::vector<int>{5, 4}));
  EXPECT_EQ(bitsOfAll(samplesOf(c.out.get())), bitsOfAll(expectedStep(p)));

  // A row or a column is a plane too.
  const SweepProblem row = randomProblem({1, 6, 1}, 42);
  const CallOutcome r = callGateway(CallInputs(row));
  expectGoodCall(r);
  EXPECT_EQ(bitsOfAll(samplesOf(r.out.get())), bitsOfAll(expectedStep(row)));
}

// Every malformed call raises its identifier with a message naming the
// argument, creates nothing, stores nothing and changes no input.
TEST(Gateway, RefusesMalformedCallsBeforeMakingAnything) {
  const std::vector<BadCall> cases = malformedCalls();
  const SweepProblem p = randomProblem(kBadCallVolume, 51);
  for (const BadCall& bad : cases) {
    SCOPED_TRACE(bad.what);
    CallInputs in(p);
    if (bad.slot != kNoSlot) {
      in.args[static_cast<std::size_t>(bad.slot)] =
          makeArray(bad.dims, bad.classId, bad.complexity);
    }
    const auto before = in.snapshot();
    const long live = standinLiveArrayCount();
    const CallOutcome c = callGateway(in, bad.nlhs, bad.nrhs);
    EXPECT_EQ(c.result.raised, 1);
    EXPECT_STREQ(c.result.identifier, bad.identifier);
    EXPECT_NE(std::string(c.result.message).find(bad.messagePart), std::string::npos)
        << c.result.message;
    EXPECT_EQ(c.result.arraysCreated, 0);
    EXPECT_EQ(standinLiveArrayCount(), live);
    EXPECT_EQ(c.out, nullptr);
    EXPECT_EQ(in.snapshot(), before);
  }
}

// Each of the seventeen slots is checked, and named by position and name.
TEST(Gateway, NamesEverySlotThatHoldsTheWrongClass) {
  const SweepProblem p = randomProblem({2, 2, 2}, 61);
  for (int slot = U; slot <= DT; ++slot) {
    CallInputs in(p);
    in.args[static_cast<std::size_t>(slot)] =
        makeArray(dimsOf(in.args[static_cast<std::size_t>(slot)].get()), mxDOUBLE_CLASS);
    const CallOutcome c = callGateway(in);
    const std::string expected =
        "argument " + std::to_string(slot + 1) + " (" + kSlotNames[slot] + ")";
    EXPECT_STREQ(c.result.identifier, "quillmere:notRealSingle");
    EXPECT_EQ(std::string(c.result.message).find(expected), 0u) << c.result.message;
  }
}

#if defined(QUILLMERE_TEST_MXCSR)
// A caller running with flush-to-zero, denormals-are-zero and rounding
// toward zero gets the bits of a default-environment call, and gets its own
// environment back.
TEST(Gateway, ResultIgnoresAndKeepsTheCallersFloatEnvironment) {
  SweepProblem p({6, 5, 4});
  std::mt19937 rng(71);
  fillRandom(p, rng);
  // Tiny values make subnormal operands, products and sums everywhere.
  for (float& x : p.u) x *= 1.0e-37f;
  p.dt = 0.3f;
  const CallInputs in(p);
  const CallOutcome reference = callGateway(in);
  expectGoodCall(reference);

  const unsigned int saved = _mm_getcsr();
  const unsigned int hostile = saved | 0x8000u | 0x0040u | 0x6000u;  // FTZ, DAZ, toward zero
  _mm_setcsr(hostile);
  const CallOutcome c = callGateway(in);
  const unsigned int after = _mm_getcsr();
  _mm_setcsr(saved);

  expectGoodCall(c);
  EXPECT_EQ(after, hostile);
  EXPECT_EQ(bitsOfAll(samplesOf(c.out.get())), bitsOfAll(samplesOf(reference.out.get())));
  EXPECT_EQ(bitsOfAll(samplesOf(c.out.get())), bitsOfAll(expectedStep(p)));
}
#endif

// The same through <cfenv> alone, on any machine.
TEST(Gateway, ResultIgnoresAndKeepsTheCallersRoundingMode) {
  const SweepProblem p = randomProblem({5, 4, 3}, 81);
  const CallInputs in(p);
  const std::vector<float> expected = expectedStep(p);
  for (int mode : {FE_TOWARDZERO, FE_UPWARD, FE_DOWNWARD}) {
    ASSERT_EQ(std::fesetround(mode), 0);
    const CallOutcome c = callGateway(in);
    const int after = std::fegetround();
    std::fesetround(FE_TONEAREST);
    expectGoodCall(c);
    EXPECT_EQ(after, mode);
    EXPECT_EQ(bitsOfAll(samplesOf(c.out.get())), bitsOfAll(expected));
  }
}

}  // namespace
}  // namespace quillmere
