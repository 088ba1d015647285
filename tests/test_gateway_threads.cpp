// The gateway's thread question, answered by the stand-in host: it asks
// once per good call (never for a refused one), destroys the answer, and
// gives the plain sweep's bits whatever the host answers, one thread, many,
// or something unusable (then the processors the process may run on).
#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "core/update_sweep.h"
#include "standin_host.h"
#include "tests/support/exact_bits.h"
#include "tests/support/standin_arrays.h"
#include "tests/support/sweep_problem.h"

namespace quillmere {
namespace {

using namespace quillmere::testing;

struct Answer {
  StandinAnswerKind kind;
  double value;
  const char* what;
};

class GatewayThreads : public ::testing::Test {
 protected:
  void TearDown() override { standinSetComputeThreads(STANDIN_ANSWER_NUMBER, 2.0); }
};

// Big enough that up to 3 threads pay (see sweepThreadCount).
TEST_F(GatewayThreads, SameBitsWhateverTheHostAnswers) {
  SweepProblem p({64, 48, 64});
  std::mt19937 rng(61);
  fillRandom(p, rng);
  const std::vector<float> expected = p.stepPlain();
  const CallInputs in(p);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Answer answers[] = {
      {STANDIN_ANSWER_NUMBER, 1.0, "one thread (a pool worker)"},
      {STANDIN_ANSWER_NUMBER, 3.0, "three"},
      {STANDIN_ANSWER_NUMBER, 8.0, "more than the cores"},
      {STANDIN_ANSWER_NUMBER, 2.5, "not whole"},
      {STANDIN_ANSWER_NUMBER, 0.0, "zero"},
      {STANDIN_ANSWER_NUMBER, -2.0, "negative"},
      {STANDIN_ANSWER_NUMBER, nan, "NaN"},
      {STANDIN_ANSWER_NUMBER, 1.0e12, "huge"},
      {STANDIN_ANSWER_EMPTY, 0.0, "empty"},
      {STANDIN_ANSWER_TEXT, 0.0, "text"},
      {STANDIN_ANSWER_ERROR, 0.0, "an error in the host function"},
  };
  for (const Answer& a : answers) {
    SCOPED_TRACE(a.what);
    standinSetComputeThreads(a.kind, a.value);
    const long asked = standinComputeThreadQueries();
    const long live = standinLiveArrayCount();
    const CallOutcome c = callGateway(in);
    ASSERT_EQ(c.result.raised, 0) << c.result.identifier << ": " << c.result.message;
    EXPECT_EQ(standinComputeThreadQueries(), asked + 1);
    EXPECT_EQ(c.result.arraysCreated, 1);
    EXPECT_EQ(standinLiveArrayCount(), live + 1);  // the answer is gone, the output stays
    EXPECT_EQ(bitDifference(expected, samplesOf(c.out.get()), p.dims), "");
  }
}

TEST_F(GatewayThreads, RefusedCallAsksNothing) {
  SweepProblem p({8, 4, 4});
  const CallInputs in(p);
  const long asked = standinComputeThreadQueries();
  const CallOutcome c = callGateway(in, 1, 16);
  EXPECT_EQ(c.result.raised, 1);
  EXPECT_EQ(standinComputeThreadQueries(), asked);
}

}  // namespace
}  // namespace quillmere
