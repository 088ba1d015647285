// The malformed calls the gateway must refuse, as one table of examples:
// the C++ gateway tests run it through the stand-in host, and the Windows
// host driver replays it against the cross-built module under Wine. Each
// example must also be refused the way the call rules (call_rules.h) say.
#ifndef QUILLMERE_TESTS_SUPPORT_GATEWAY_BAD_CALLS_H
#define QUILLMERE_TESTS_SUPPORT_GATEWAY_BAD_CALLS_H

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/volume_grid.h"
#include "standin_host.h"
#include "tests/support/call_rules.h"
#include "tests/support/standin_arrays.h"
#include "tests/support/sweep_problem.h"

namespace quillmere::testing {

// One malformed call: the argument in `slot` of a good call replaced by a
// zeroed array of the given extents (none given: the extents it replaces)
// and class, or, with no slot, only nrhs inputs given; nlhs outputs asked.
struct BadCall {
  std::string what;
  int slot;
  std::vector<int> dims;
  mxClassID classId;
  mxComplexity complexity;
  int nrhs;
  const char* identifier;
  std::string messagePart;
  int nlhs = 1;
};

constexpr int kNoSlot = -1;

// The good call the table edits has a u of these extents (the messages
// quote them).
constexpr VolumeDims kBadCallVolume{4, 3, 2};

inline std::vector<BadCall> malformedCalls() {
  const mxClassID single = mxSINGLE_CLASS;
  // clang-format off
  std::vector<BadCall> calls = {
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
      // An axis so long that a coordinate plus a tap offset would pass 2^31 - 1.
      {"u of extent 2^31 - 2", U, {2147483646, 1, 1, 0}, single, mxREAL, 17, "quillmere:tooLarge",
       "must have extents of at most 2147483583 in its first three dimensions; "
       "given 2147483646x1x1"},
      {"u with a third extent one past the limit", U, {1, 1, 2147483584, 0}, single, mxREAL, 17,
       "quillmere:tooLarge", "given 1x1x2147483584"},
      // The longest axis passes the extent check and fails only for its samples.
      {"u of the longest extent", U, {2147483583, 1, 1, 0}, single, mxREAL, 17,
       "quillmere:volumeSize", "2147483583 samples"},
      // Refused before the sweep, not by the host after it.
      {"two outputs", kNoSlot, {}, single, mxREAL, 17, "quillmere:nargout",
       "quillmere returns one output; 2 were requested", 2},
      {"three outputs", kNoSlot, {}, single, mxREAL, 17, "quillmere:nargout", "3 were requested",
       3},
  };
  // clang-format on
  // Each of the seventeen slots is checked, and named by position and name.
  for (int slot = U; slot <= DT; ++slot) {
    const std::string name = "argument " + std::to_string(slot + 1) + " (" + kSlotNames[slot] + ")";
    calls.push_back({"double " + std::string(kSlotNames[slot]),
                     slot,
                     {},
                     mxDOUBLE_CLASS,
                     mxREAL,
                     kSlotCount,
                     "quillmere:notRealSingle",
                     name + " must be a real single array; given an array of class double"});
  }
  return calls;
}

// The good call every example edits: random data of kBadCallVolume.
inline SweepProblem badCallBase() {
  SweepProblem p(kBadCallVolume);
  std::mt19937 rng(51);
  fillRandom(p, rng);
  return p;
}

inline CallInputs inputsOf(const BadCall& bad, const SweepProblem& base) {
  CallInputs in(base);
  if (bad.slot != kNoSlot) {
    ArrayPtr& arg = in.args[static_cast<std::size_t>(bad.slot)];
    arg = makeArray(bad.dims.empty() ? dimsOf(arg.get()) : bad.dims, bad.classId, bad.complexity);
  }
  return in;
}

// "" when the call is refused as it must be: with the example's identifier,
// which the call rules predict too, a message holding the example's text and
// naming the culprit, nothing made and no input changed. Otherwise what went
// wrong.
inline std::string refusalProblems(const BadCall& bad, const CallInputs& in,
                                   StandinMexFunction module = mexFunction) {
  const std::vector<const mxArray*> prhs = in.pointers();
  const Verdict predicted = judge(shapeOf(bad.nlhs, bad.nrhs, prhs.data()));
  if (std::strcmp(predicted.identifier, bad.identifier) != 0)
    return bad.what + ": the call rules predict \"" + predicted.identifier + "\", the example " +
           bad.identifier;
  const auto before = in.snapshot();
  const long live = standinLiveArrayCount();
  const CallOutcome o = callGateway(in, bad.nlhs, bad.nrhs, module);
  std::string problems;
  if (!o.result.raised || std::strcmp(o.result.identifier, bad.identifier) != 0) {
    problems += "; expected " + std::string(bad.identifier) + ", got " +
                (o.result.raised ? o.result.identifier : "no error");
  } else {
    const std::string message = o.result.message;
    for (const std::string& part : {bad.messagePart, culpritText(predicted, bad.nlhs, bad.nrhs)})
      if (message.find(part) == std::string::npos)
        problems += "; message \"" + message + "\" lacks \"" + part + "\"";
  }
  if (o.result.arraysCreated != 0 || o.out || standinLiveArrayCount() != live)
    problems += "; the refused call made an array";
  if (in.snapshot() != before) problems += "; the refused call changed its inputs";
  return problems.empty() ? problems : bad.what + problems;
}

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_SUPPORT_GATEWAY_BAD_CALLS_H
