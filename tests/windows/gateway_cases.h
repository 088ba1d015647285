// The fixed, generated set of good calls the native build records and the
// Windows module must reproduce bit for bit.
//
// The calls come from a generator of our own (splitmix64 and exact integer
// to float steps), not the standard distributions, whose output the C++
// standard leaves to each library: both builds must make the same inputs,
// and the results file carries a hash of each call's inputs to prove it.
#ifndef QUILLMERE_TESTS_WINDOWS_GATEWAY_CASES_H
#define QUILLMERE_TESTS_WINDOWS_GATEWAY_CASES_H

#include <cstdint>
#include <vector>

#include "tests/support/standin_arrays.h"

namespace quillmere::testing {

constexpr int kSmallCases = 240;
constexpr int kLargeCases = 8;
constexpr int kCaseCount = kSmallCases + kLargeCases;

// One good call: the inputs, and the extents the output must have.
struct GoodCase {
  CallInputs inputs;
  std::vector<int> outputDims;
  int nlhs;
};

// Case `index` (0 .. kCaseCount-1), the same on every platform.
GoodCase makeCase(int index);

// FNV-1a over everything a call is given: class, extents and bytes.
std::uint64_t hashInputs(const CallInputs& in);

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_WINDOWS_GATEWAY_CASES_H
