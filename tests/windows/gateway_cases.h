// The fixed, generated set of good calls the native build records and the
// Windows module must reproduce bit for bit, made by case_random.h's
// generator so that they are the same on every platform.
#ifndef QUILLMERE_TESTS_WINDOWS_GATEWAY_CASES_H
#define QUILLMERE_TESTS_WINDOWS_GATEWAY_CASES_H

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

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_WINDOWS_GATEWAY_CASES_H
