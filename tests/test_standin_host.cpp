// The stand-in host behaves as the gateway's tests assume MATLAB does:
// extents kept the MATLAB way, errors that do not return, arrays counted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/standin_arrays.h"

namespace quillmere {
namespace {

using namespace quillmere::testing;

TEST(StandinHost, KeepsExtentsTheWayMatlabDoes) {
  EXPECT_EQ(dimsOf(makeArray({4, 5, 1}).get()), (std::vector<int>{4, 5}));
  EXPECT_EQ(dimsOf(makeArray({4, 1, 1, 1}).get()), (std::vector<int>{4, 1}));
  EXPECT_EQ(dimsOf(makeArray({4, 5, 1, 2}).get()), (std::vector<int>{4, 5, 1, 2}));
  EXPECT_EQ(dimsOf(makeArray({7}).get()), (std::vector<int>{7, 1}));
  EXPECT_EQ(dimsOf(makeArray({}).get()), (std::vector<int>{1, 1}));
  EXPECT_EQ(dimsOf(makeArray({3, -2}).get()), (std::vector<int>{3, 0}));
  EXPECT_EQ(mxGetNumberOfElements(makeArray({4, 5, 1, 2}).get()), 40u);
  EXPECT_EQ(mxGetData(makeArray({0, 3, 2}).get()), nullptr);
}

// Empty however large the other extents: such arrays are how a call states a
// volume of 2^31 samples or more without holding it.
TEST(StandinHost, MakesEmptyArraysWithHugeExtents) {
  const int big = 2147483647;
  for (const std::vector<int>& dims : std::vector<std::vector<int>>{
           {big, big, big, 0}, {0, big, big, big}, {big, 0, big}, {65536, 65536, 1, 0}}) {
    const ArrayPtr a = makeArray(dims, mxDOUBLE_CLASS, mxCOMPLEX);
    ASSERT_NE(a, nullptr) << dims.size();
    EXPECT_EQ(dimsOf(a.get()), dims);
    EXPECT_EQ(mxGetNumberOfElements(a.get()), 0u);
    EXPECT_EQ(mxGetData(a.get()), nullptr);
  }
}

TEST(StandinHost, KeepsClassAndComplexity) {
  const ArrayPtr a = makeArray({2, 2}, mxINT16_CLASS, mxCOMPLEX);
  EXPECT_EQ(mxGetClassID(a.get()), mxINT16_CLASS);
  EXPECT_TRUE(mxIsComplex(a.get()));
  EXPECT_EQ(standinGetElementSize(a.get()), 2u);
  EXPECT_NE(standinGetImagData(a.get()), nullptr);
  EXPECT_EQ(static_cast<int>(mxSINGLE_CLASS), 7);
  EXPECT_EQ(static_cast<int>(mxREAL), 0);
}

// Made here so the helper has something to run.
void makeThenRaise(int, mxArray* plhs[], int nrhs, const mxArray**) {
  const int dims[2] = {2, 3};
  plhs[0] = mxCreateNumericArray_700(2, dims, mxSINGLE_CLASS, mxREAL);
  if (nrhs > 0) mexErrMsgIdAndTxt("test:raised", "raised after %d of %s", 1, "two");
}

TEST(StandinHost, RaisedErrorReturnsToTheCallerWithIdAndMessage) {
  const long live = standinLiveArrayCount();
  mxArray* plhs[1] = {nullptr};
  StandinCallResult r;
  EXPECT_EQ(standinCall(makeThenRaise, 1, plhs, 1, nullptr, &r), 1);
  EXPECT_STREQ(r.identifier, "test:raised");
  EXPECT_STREQ(r.message, "raised after 1 of two");
  EXPECT_EQ(r.arraysCreated, 1);
  ASSERT_NE(plhs[0], nullptr);  // left alive for the test to see
  EXPECT_EQ(standinLiveArrayCount(), live + 1);
  standinDestroyArray(plhs[0]);
  EXPECT_EQ(standinLiveArrayCount(), live);

  // The helper is usable again afterwards, and a clean call says so.
  mxArray* again[1] = {nullptr};
  EXPECT_EQ(standinCall(makeThenRaise, 1, again, 0, nullptr, &r), 0);
  EXPECT_EQ(r.identifier[0], '\0');
  EXPECT_EQ(r.arraysCreated, 1);
  standinDestroyArray(again[0]);
  EXPECT_EQ(standinLiveArrayCount(), live);
}

TEST(StandinHost, CreatingANonNumericArrayRaises) {
  mxArray* plhs[1] = {nullptr};
  StandinCallResult r;
  standinCall(
      [](int, mxArray* out[], int, const mxArray**) {
        const int dims[2] = {1, 1};
        out[0] = mxCreateNumericArray_700(2, dims, mxCELL_CLASS, mxREAL);
      },
      1, plhs, 0, nullptr, &r);
  EXPECT_STREQ(r.identifier, "standin:badClass");
  EXPECT_EQ(plhs[0], nullptr);
}

}  // namespace
}  // namespace quillmere
