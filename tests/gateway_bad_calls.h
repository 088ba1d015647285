// The malformed calls the gateway must refuse, as one table: the C++ gateway
// tests run it through the stand-in host, and the Windows host driver replays
// it against the cross-built module under Wine.
#ifndef QUILLMERE_TESTS_GATEWAY_BAD_CALLS_H
#define QUILLMERE_TESTS_GATEWAY_BAD_CALLS_H

#include <vector>

#include "core/volume_grid.h"
#include "standin_host.h"

namespace quillmere::testing {

// Input slots, in call order.
enum Slot { U, T11, T12, T13, T22, T23, T33, K1, K2, K3, K11, K22, K33, K12, K13, K23, DT };
constexpr int kSlotCount = DT + 1;
// How error messages name each slot: "argument 5 (t22)".
constexpr const char* kSlotNames[kSlotCount] = {"u",   "t11", "t12", "t13", "t22", "t23",
                                                "t33", "k1",  "k2",  "k3",  "k11", "k22",
                                                "k33", "k12", "k13", "k23", "dt"};

// One malformed call: the argument in `slot` of a good call replaced by a
// zeroed array of the given extents and class (or, with no slot, only nrhs
// inputs given), with nlhs outputs asked for.
struct BadCall {
  const char* what;
  int slot;
  std::vector<int> dims;
  mxClassID classId;
  mxComplexity complexity;
  int nrhs;
  const char* identifier;
  const char* messagePart;
  int nlhs = 1;
};

constexpr int kNoSlot = -1;

// The good call the table edits has a u of these extents (the messages
// quote them).
constexpr VolumeDims kBadCallVolume{4, 3, 2};

inline std::vector<BadCall> malformedCalls() {
  const mxClassID single = mxSINGLE_CLASS;
  // clang-format off
  return {
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
}

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_GATEWAY_BAD_CALLS_H
