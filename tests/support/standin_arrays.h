// Owned stand-in host arrays, the one way to call the gateway through the
// stand-in host and the one check of a call that must succeed, for the
// gateway's tests, the fuzz target and the host drivers (which hand in the
// module they loaded instead of the linked-in gateway).
#ifndef QUILLMERE_TESTS_SUPPORT_STANDIN_ARRAYS_H
#define QUILLMERE_TESTS_SUPPORT_STANDIN_ARRAYS_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "standin_host.h"
#include "tests/support/sweep_problem.h"

namespace quillmere::testing {

struct ArrayDeleter {
  void operator()(mxArray* a) const { standinDestroyArray(a); }
};
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

inline ArrayPtr makeArray(const std::vector<int>& dims, mxClassID id = mxSINGLE_CLASS,
                          mxComplexity flag = mxREAL) {
  return ArrayPtr(standinCreateArray(static_cast<int>(dims.size()), dims.data(), id, flag));
}

// A single array of the given extents whose leading samples are `values`
// (the rest stay zero, or are filled with `rest` when given).
inline ArrayPtr makeSingle(const std::vector<int>& dims, const std::vector<float>& values,
                           float rest = 0.0f) {
  ArrayPtr a = makeArray(dims);
  auto* data = static_cast<float*>(mxGetData(a.get()));
  const std::size_t n = mxGetNumberOfElements(a.get());
  for (std::size_t i = 0; i < n; ++i) data[i] = i < values.size() ? values[i] : rest;
  return a;
}

inline std::vector<int> dimsOf(const mxArray* a) {
  const int* d = mxGetDimensions_700(a);
  return std::vector<int>(d, d + mxGetNumberOfDimensions_700(a));
}

inline std::vector<float> samplesOf(const mxArray* a) {
  const auto* data = static_cast<const float*>(mxGetData(a));
  return data ? std::vector<float>(data, data + mxGetNumberOfElements(a)) : std::vector<float>();
}

// Every byte an array holds, imaginary part included: to see that nothing
// was written.
inline std::vector<unsigned char> bytesOf(const mxArray* a) {
  const std::size_t n = mxGetNumberOfElements(a) * standinGetElementSize(a);
  std::vector<unsigned char> bytes;
  for (const void* part :
       {static_cast<const void*>(mxGetData(a)), static_cast<const void*>(standinGetImagData(a))}) {
    if (part) {
      const auto* p = static_cast<const unsigned char*>(part);
      bytes.insert(bytes.end(), p, p + n);
    }
  }
  return bytes;
}

inline std::vector<std::uint32_t> bitsOfAll(const std::vector<float>& v) {
  std::vector<std::uint32_t> bits;
  for (float x : v) bits.push_back(bitsOf(x));
  return bits;
}

inline std::vector<const mxArray*> pointersOf(const std::vector<ArrayPtr>& arrays) {
  std::vector<const mxArray*> ptrs;
  for (const auto& a : arrays) ptrs.push_back(a.get());
  return ptrs;
}

// The seventeen inputs of a call, in input order, made from a problem.
struct CallInputs {
  std::vector<ArrayPtr> args;

  explicit CallInputs(const SweepProblem& p) {
    const std::vector<int> dims{p.dims.n1, p.dims.n2, p.dims.n3};
    args.push_back(makeSingle(dims, p.u));
    for (const auto& c : p.t) args.push_back(makeSingle(dims, c));
    for (const auto& s : p.k) args.push_back(makeSingle({3, 3, 3}, s));
    for (const auto& s : p.h) args.push_back(makeSingle({5, 5, 5}, s));
    args.push_back(makeSingle({1, 1}, {p.dt}));
  }

  std::vector<const mxArray*> pointers() const { return pointersOf(args); }
  std::vector<std::vector<unsigned char>> snapshot() const {
    std::vector<std::vector<unsigned char>> all;
    for (const auto& a : args) all.push_back(bytesOf(a.get()));
    return all;
  }
};

struct CallOutcome {
  StandinCallResult result;
  ArrayPtr out;
};

// One call as MATLAB makes it: nlhs outputs asked, the first nrhs inputs
// given (all of them by default).
inline CallOutcome callGateway(const CallInputs& in, int nlhs = 1, int nrhs = -1,
                               StandinMexFunction module = mexFunction) {
  std::vector<const mxArray*> prhs = in.pointers();
  if (nrhs < 0) nrhs = static_cast<int>(prhs.size());
  std::vector<mxArray*> plhs(nlhs > 1 ? static_cast<std::size_t>(nlhs) : 1, nullptr);
  CallOutcome outcome{};
  standinCall(module, nlhs, plhs.data(), nrhs, prhs.data(), &outcome.result);
  outcome.out.reset(plhs[0]);
  return outcome;
}

// The extents the host reports for an array of u's first three extents: a
// trailing 1 dropped, as MATLAB does.
inline std::vector<int> reportedExtents(VolumeDims d) {
  std::vector<int> dims{d.n1, d.n2, d.n3};
  if (d.n3 == 1) dims.pop_back();
  return dims;
}

inline std::string extentsText(const std::vector<int>& dims) {
  std::string text;
  for (int e : dims) text += (text.empty() ? "" : "x") + std::to_string(e);
  return text;
}

// "" when a call that must succeed did: no error, exactly one array made
// and stored in the first output slot, real single of the given extents.
// Otherwise what went wrong.
inline std::string goodCallProblems(const StandinCallResult& r, const mxArray* out,
                                    const std::vector<int>& dims) {
  if (r.raised) return std::string("raised ") + r.identifier + ": " + r.message;
  if (r.arraysCreated != 1 || !out)
    return "expected exactly one new array in the first output slot";
  if (mxGetClassID(out) != mxSINGLE_CLASS || mxIsComplex(out))
    return "the output is not a real single array";
  if (dimsOf(out) != dims)
    return "the output's extents are " + extentsText(dimsOf(out)) + ", expected " +
           extentsText(dims);
  return "";
}

// A good call through callGateway, checked as above, and also for leaving
// exactly one more live array and every input as it was.
struct GoodCallOutcome : CallOutcome {
  std::string problems;
};

inline GoodCallOutcome callGood(const CallInputs& in, const std::vector<int>& dims, int nlhs = 1,
                                StandinMexFunction module = mexFunction) {
  const auto before = in.snapshot();
  const long live = standinLiveArrayCount();
  GoodCallOutcome g{callGateway(in, nlhs, -1, module), ""};
  g.problems = goodCallProblems(g.result, g.out.get(), dims);
  if (g.problems.empty() && standinLiveArrayCount() != live + 1)
    g.problems = "the live array count did not grow by exactly one";
  if (g.problems.empty() && in.snapshot() != before) g.problems = "the call changed its inputs";
  return g;
}

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_SUPPORT_STANDIN_ARRAYS_H
