// The gateway driven through the stand-in host: what a good call returns,
// what callers may rely on, and that every bad call is refused before
// anything is made or changed.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "core/update_sweep.h"
#include "tests/support/call_rules.h"
#include "tests/support/exact_bits.h"
#include "tests/support/gateway_bad_calls.h"
#include "tests/support/hostile_fp.h"
#include "tests/support/standin_arrays.h"
#include "tests/support/sweep_problem.h"

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

TEST(Gateway, StepsLikeTheCoreOnSmallAndUnevenShapes) {
  const VolumeDims shapes[] = {{1, 1, 1}, {2, 1, 1}, {1, 2, 1}, {1, 1, 2}, {2, 2, 2},
                               {1, 3, 2}, {5, 1, 4}, {3, 4, 1}, {7, 5, 6}};
  unsigned seed = 1;
  for (const VolumeDims& d : shapes) {
    SCOPED_TRACE(::testing::Message() << d.n1 << "x" << d.n2 << "x" << d.n3);
    const SweepProblem p = randomProblem(d, seed++);
    // The output has u's extents, with a trailing 1 dropped as MATLAB does.
    const GoodCallOutcome c = callGood(CallInputs(p), reportedExtents(d));
    ASSERT_EQ(c.problems, "");
    EXPECT_EQ(bitDifference(expectedStep(p), samplesOf(c.out.get()), p.dims), "");
  }
}

TEST(Gateway, LeavesInputsAloneAndRepeatsItsBits) {
  SweepProblem p({6, 5, 4});
  std::mt19937 rng(7);
  fillRandom(p, rng);
  fillNasty(p.u, rng, 20);  // subnormals, infinities and NaN in u
  const CallInputs in(p);
  // Each call makes one array and leaves its inputs alone.
  const GoodCallOutcome first = callGood(in, reportedExtents(p.dims));
  const GoodCallOutcome second = callGood(in, reportedExtents(p.dims));
  ASSERT_EQ(first.problems, "");
  ASSERT_EQ(second.problems, "");
  EXPECT_EQ(bitsOfAll(samplesOf(first.out.get())), bitsOfAll(samplesOf(second.out.get())));
  EXPECT_EQ(bitDifference(expectedStep(p), samplesOf(first.out.get()), p.dims), "");
}

TEST(Gateway, EmptyVolumeGivesEmptySingleOfItsExtents) {
  const SweepProblem p({0, 3, 2});
  const GoodCallOutcome c = callGood(CallInputs(p), {0, 3, 2});
  ASSERT_EQ(c.problems, "");
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
    const GoodCallOutcome c = callGood(in, dims);
    ASSERT_EQ(c.problems, "");
    EXPECT_EQ(mxGetNumberOfElements(c.out.get()), 0u);
  }
}

TEST(Gateway, MakesTheOutputWhenNoneIsAskedFor) {
  const SweepProblem p = randomProblem({3, 2, 2}, 11);
  const GoodCallOutcome c = callGood(CallInputs(p), {3, 2, 2}, 0);
  ASSERT_EQ(c.problems, "");
  EXPECT_EQ(bitDifference(expectedStep(p), samplesOf(c.out.get()), p.dims), "");
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
  const GoodCallOutcome c = callGood(in, {4, 3, 2});
  ASSERT_EQ(c.problems, "");
  EXPECT_EQ(bitDifference(expectedStep(p), samplesOf(c.out.get()), p.dims), "");
}

// Samples past u's first three extents are never read, nor written back.
TEST(Gateway, StepsTheFirstThreeExtentsOfALongerU) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const SweepProblem p = randomProblem({3, 4, 2}, 31);
  CallInputs in(p);
  in.args[U] = makeSingle({3, 4, 2, 3}, p.u, nan);
  in.args[T22] = makeSingle({3, 4, 2, 2}, p.t[3], nan);  // tensors may be longer too
  const GoodCallOutcome c = callGood(in, {3, 4, 2});
  ASSERT_EQ(c.problems, "");
  EXPECT_EQ(bitDifference(expectedStep(p), samplesOf(c.out.get()), p.dims), "");
}

// MATLAB and Octave report a single plane with two extents.
TEST(Gateway, StepsAPlaneGivenWithTwoExtents) {
  const SweepProblem p = randomProblem({5, 4, 1}, 41);
  CallInputs in(p);
  ASSERT_EQ(mxGetNumberOfDimensions_700(in.args[U].get()), 2);
  const GoodCallOutcome c = callGood(in, {5, 4});
  ASSERT_EQ(c.problems, "");
  EXPECT_EQ(bitDifference(expectedStep(p), samplesOf(c.out.get()), p.dims), "");

  // A row or a column is a plane too.
  const SweepProblem row = randomProblem({1, 6, 1}, 42);
  const GoodCallOutcome r = callGood(CallInputs(row), {1, 6});
  ASSERT_EQ(r.problems, "");
  EXPECT_EQ(bitDifference(expectedStep(row), samplesOf(r.out.get()), row.dims), "");
}

// Every malformed call raises its identifier with a message naming the
// argument, creates nothing, stores nothing and changes no input.
TEST(Gateway, RefusesMalformedCallsBeforeMakingAnything) {
  const SweepProblem base = badCallBase();
  for (const BadCall& bad : malformedCalls()) {
    EXPECT_EQ(refusalProblems(bad, inputsOf(bad, base)), "");
  }
}

// A call that breaks several rules is refused for the first of them, in the
// order of the rules table; a good call breaks none.
TEST(Gateway, RefusesForTheFirstRuleBroken) {
  const SweepProblem base = badCallBase();
  struct Edit {
    int slot;
    std::vector<int> dims;
    mxClassID classId;
  };
  struct Case {
    const char* what;
    std::vector<Edit> edits;
    const char* identifier;
    int culprit;  // 1-based argument
  };
  const mxClassID single = mxSINGLE_CLASS;
  const Case cases[] = {
      {"double dt and an empty one", {{DT, {0, 0}, mxDOUBLE_CLASS}}, "quillmere:notRealSingle", 17},
      {"short k2 and empty dt",
       {{K2, {26, 1}, single}, {DT, {0, 0}, single}},
       "quillmere:stencilSize",
       9},
      {"wrong t33 and short k1",
       {{T33, {4, 3, 3}, single}, {K1, {2, 1}, single}},
       "quillmere:tensorSize",
       7},
      {"t12 and t11 wrong",
       {{T12, {1, 1}, single}, {T11, {2, 2}, single}},
       "quillmere:tensorSize",
       2},
      {"k23 and k1 short",
       {{K23, {124, 1}, single}, {K1, {26, 1}, single}},
       "quillmere:stencilSize",
       8},
      {"huge empty u and double k11",
       {{U, {65536, 32768, 1, 0}, single}, {K11, {5, 5, 5}, mxDOUBLE_CLASS}},
       "quillmere:notRealSingle",
       11},
      {"huge empty u and wrong t11",
       {{U, {65536, 32768, 1, 0}, single}, {T11, {1}, single}},
       "quillmere:tooLarge",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CallInputs in(base);
    for (const Edit& e : c.edits)
      in.args[static_cast<std::size_t>(e.slot)] = makeArray(e.dims, e.classId);
    const std::vector<const mxArray*> prhs = in.pointers();
    const Verdict v = judge(shapeOf(1, kSlotCount, prhs.data()));
    EXPECT_STREQ(v.identifier, c.identifier);
    EXPECT_EQ(v.culprit, c.culprit);
    const CallOutcome o = callGateway(in);
    EXPECT_STREQ(o.result.identifier, c.identifier);
    EXPECT_NE(std::string(o.result.message).find(culpritText(v, 1, kSlotCount)), std::string::npos)
        << o.result.message;
  }
  const CallInputs good(base);
  const std::vector<const mxArray*> prhs = good.pointers();
  EXPECT_STREQ(judge(shapeOf(1, kSlotCount, prhs.data())).identifier, "");
  EXPECT_EQ(callGood(good, reportedExtents(kBadCallVolume)).problems, "");
}

// A caller running with flush-to-zero, denormals-are-zero or any rounding
// mode gets the bits of a default-environment call, and gets its own
// environment back.
TEST(Gateway, ResultIgnoresAndKeepsTheCallersFloatEnvironment) {
  SweepProblem p({6, 5, 4});
  std::mt19937 rng(71);
  fillRandom(p, rng);
  // Tiny values make subnormal operands, products and sums everywhere.
  for (float& x : p.u) x *= 1.0e-37f;
  p.dt = 0.3f;
  const CallInputs in(p);
  const std::vector<float> expected = expectedStep(p);
  for (const FpSetting& s : hostileFpSettings()) {
    SCOPED_TRACE(s.name);
    std::uint64_t set = 0, after = 0;
    GoodCallOutcome c;
    {
      const FpEnvironmentScope hostile(s);
      set = fpControlState();
      c = callGood(in, {6, 5, 4});
      after = fpControlState();
    }
    ASSERT_EQ(c.problems, "");
    EXPECT_EQ(after, set);
    EXPECT_EQ(bitDifference(expected, samplesOf(c.out.get()), p.dims), "");
  }
}

}  // namespace
}  // namespace quillmere
