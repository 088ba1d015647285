// The gateway driven through the stand-in host: what a good call returns,
// what callers may rely on, and that every bad call is refused before
// anything is made or changed.
#include <gtest/gtest.h>

#include <cfenv>
#include <limits>
#include <random>
#include <string>

#include "core/update_sweep.h"
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

// Input slots, in call order.
enum Slot { U, T11, T12, T13, T22, T23, T33, K1, K2, K3, K11, K22, K33, K12, K13, K23, DT };

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

// One malformed call: the argument in `slot` replaced by a zeroed array of
// the given extents and class (or, with no slot, only nrhs inputs given).
struct BadCall {
  const char* what;
  int slot;
  std::vector<int> dims;
  mxClassID classId;
  mxComplexity complexity;
  int nrhs;
  const char* identifier;
  const char* messagePart;
};

constexpr int kNoSlot = -1;

// Every malformed call raises its identifier with a message naming the
// argument, creates nothing, stores nothing and changes no input.
TEST(Gateway, RefusesMalformedCallsBeforeMakingAnything) {
  const mxClassID single = mxSINGLE_CLASS;
  // clang-format off
  const std::vector<BadCall> cases = {
      {"no inputs", kNoSlot, {}, single, mxREAL, 0, "quillmere:nargin", "expected 17 inputs"},
      {"sixteen inputs", kNoSlot, {}, single, mxREAL, 16, "quillmere:nargin", "given 16"},
      {"complex u", U, {4, 3, 2}, single, mxCOMPLEX, 17, "quillmere:notRealSingle",
       "argument 1 (u) must be a real single array; given a complex array of class single"},
      {"int32 k3", K3, {3, 3, 3}, mxINT32_CLASS, mxREAL, 17, "quillmere:notRealSingle",
       "argument 10 (k3) must be a real single array; given an array of class int32"},
      {"cell t33", T33, {4, 3, 2}, mxCELL_CLASS, mxREAL, 17, "quillmere:notRealSingle",
       "given an array of class cell"},
      {"t22 of another third extent", T22, {4, 3, 3}, single, mxREAL, 17, "quillmere:tensorSize",
       "argument 5 (t22) must have the extents of u (4x3x2)"},
      {"t11 as one plane", T11, {4, 3}, single, mxREAL, 17, "quillmere:tensorSize",
       "argument 2 (t11)"},
      {"t13 transposed", T13, {3, 4, 2}, single, mxREAL, 17, "quillmere:tensorSize",
       "given 3x4x2"},
      {"t23 with an empty fourth extent", T23, {4, 3, 2, 0}, single, mxREAL, 17,
       "quillmere:tensorSize", "given 4x3x2x0"},
      {"u with an empty fourth extent", U, {4, 3, 2, 0}, single, mxREAL, 17,
       "quillmere:volumeSize", "argument 1 (u) must hold the 24 samples"},
      {"k1 of 26 weights", K1, {26, 1}, single, mxREAL, 17, "quillmere:stencilSize",
       "argument 8 (k1) must hold at least 27 weights (a 3x3x3 stencil); given 26"},
      {"k12 of 3x3x3", K12, {3, 3, 3}, single, mxREAL, 17, "quillmere:stencilSize",
       "argument 14 (k12) must hold at least 125 weights (a 5x5x5 stencil); given 27"},
      {"k13 of 124", K13, {124, 1}, single, mxREAL, 17, "quillmere:stencilSize",
       "argument 15 (k13)"},
      {"empty dt", DT, {0, 0}, single, mxREAL, 17, "quillmere:emptyDt",
       "argument 17 (dt) must hold at least one sample; given an empty 0x0 array"},
      {"1x0 dt", DT, {1, 0}, single, mxREAL, 17, "quillmere:emptyDt", "1x0"},
      // No samples anywhere, yet 2^31 or more promised by the first three.
      {"u of 2^31 samples", U, {65536, 32768, 1, 0}, single, mxREAL, 17, "quillmere:tooLarge",
       "fewer than 2^31 samples"},
      {"u of 2^32 samples", U, {65536, 65536, 1, 0}, single, mxREAL, 17, "quillmere:tooLarge",
       "given 65536x65536x1, 4294967296 samples"},
      // Just below the limit the size passes and the missing samples are caught.
      {"u just below 2^31", U, {46340, 46340, 1, 0}, single, mxREAL, 17, "quillmere:volumeSize",
       "2147395600 samples"},
  };
  // clang-format on

  const SweepProblem p = randomProblem({4, 3, 2}, 51);
  for (const BadCall& bad : cases) {
    SCOPED_TRACE(bad.what);
    CallInputs in(p);
    if (bad.slot != kNoSlot) {
      in.args[static_cast<std::size_t>(bad.slot)] =
          makeArray(bad.dims, bad.classId, bad.complexity);
    }
    const auto before = in.snapshot();
    const long live = standinLiveArrayCount();
    const CallOutcome c = callGateway(in, 1, bad.nrhs);
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
  const char* const names[] = {"u",  "t11", "t12", "t13", "t22", "t23", "t33", "k1", "k2",
                               "k3", "k11", "k22", "k33", "k12", "k13", "k23", "dt"};
  const SweepProblem p = randomProblem({2, 2, 2}, 61);
  for (int slot = U; slot <= DT; ++slot) {
    CallInputs in(p);
    in.args[static_cast<std::size_t>(slot)] =
        makeArray(dimsOf(in.args[static_cast<std::size_t>(slot)].get()), mxDOUBLE_CLASS);
    const CallOutcome c = callGateway(in);
    const std::string expected = "argument " + std::to_string(slot + 1) + " (" + names[slot] + ")";
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
