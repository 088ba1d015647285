// The gateway's call rules as one ordered table: what is refused, with which
// identifier, in which order (the first rule a call breaks decides). The
// stand-in tests and the Windows driver check every refusal example against
// it, and the fuzz target judges its random calls by it. A new refusal is
// one more row, at the place in the order where the gateway checks it.
#ifndef QUILLMERE_TESTS_SUPPORT_CALL_RULES_H
#define QUILLMERE_TESTS_SUPPORT_CALL_RULES_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "core/update_sweep.h"
#include "standin_host.h"

namespace quillmere::testing {

// Input slots, in call order.
enum Slot { U, T11, T12, T13, T22, T23, T33, K1, K2, K3, K11, K22, K33, K12, K13, K23, DT };
constexpr int kSlotCount = DT + 1;
// How error messages name each slot: "argument 5 (t22)".
constexpr const char* kSlotNames[kSlotCount] = {"u",   "t11", "t12", "t13", "t22", "t23",
                                                "t33", "k1",  "k2",  "k3",  "k11", "k22",
                                                "k33", "k12", "k13", "k23", "dt"};

// One input as the rules see it.
struct ArgShape {
  mxClassID classId;
  bool complex;
  std::vector<int> dims;
  double elements;

  // The first three extents, 1 past the last one given.
  VolumeDims firstThree() const {
    const auto at = [this](std::size_t i) { return i < dims.size() ? dims[i] : 1; };
    return {at(0), at(1), at(2)};
  }
};

// A call as the rules see it: counts, and every input given.
struct CallShape {
  int nlhs;
  int nrhs;
  std::vector<ArgShape> args;

  const ArgShape& arg(int slot) const { return args[static_cast<std::size_t>(slot)]; }
};

inline CallShape shapeOf(int nlhs, int nrhs, const mxArray* const* prhs) {
  CallShape c{nlhs, nrhs, {}};
  for (int i = 0; i < nrhs; ++i) {
    const int* d = mxGetDimensions_700(prhs[i]);
    c.args.push_back({mxGetClassID(prhs[i]), mxIsComplex(prhs[i]) != 0,
                      std::vector<int>(d, d + mxGetNumberOfDimensions_700(prhs[i])),
                      static_cast<double>(mxGetNumberOfElements(prhs[i]))});
  }
  return c;
}

// What a broken rule blames: the whole call, or one argument (1-based).
constexpr int kRuleHolds = -1;
constexpr int kWholeCall = 0;

struct CallRule {
  const char* identifier;
  int (*culprit)(const CallShape&);  // kRuleHolds, kWholeCall or an argument
  bool aboutOutputs = false;         // a whole-call refusal quotes the outputs asked for
};

namespace rules {

inline double samplesOfU(const CallShape& c) {
  const VolumeDims u = c.arg(U).firstThree();
  return static_cast<double>(u.n1) * static_cast<double>(u.n2) * static_cast<double>(u.n3);
}

inline int firstIn(int first, int last, const CallShape& c, bool (*broken)(const CallShape&, int)) {
  for (int i = first; i <= last; ++i)
    if (broken(c, i)) return i + 1;
  return kRuleHolds;
}

}  // namespace rules

// In the order the gateway checks them. The rows after the first may assume
// the ones before hold (seventeen inputs, all real single, ...).
inline const std::vector<CallRule>& callRules() {
  using namespace rules;
  static const std::vector<CallRule> table = {
      {"quillmere:nargin",
       [](const CallShape& c) { return c.nrhs < kSlotCount ? kWholeCall : kRuleHolds; }},
      {"quillmere:nargout", [](const CallShape& c) { return c.nlhs > 1 ? kWholeCall : kRuleHolds; },
       true},
      {"quillmere:notRealSingle",
       [](const CallShape& c) {
         return firstIn(U, DT, c, [](const CallShape& s, int i) {
           return s.arg(i).classId != mxSINGLE_CLASS || s.arg(i).complex;
         });
       }},
      {"quillmere:volumeSize",
       [](const CallShape& c) {
         const VolumeDims u = c.arg(U).firstThree();
         return u.n1 < 0 || u.n2 < 0 || u.n3 < 0 ? U + 1 : kRuleHolds;
       }},
      {"quillmere:tooLarge",
       [](const CallShape& c) { return samplesOfU(c) >= 2147483648.0 ? U + 1 : kRuleHolds; }},
      // A non-empty volume whose coordinate plus a tap offset could pass 2^31 - 1.
      {"quillmere:tooLarge",
       [](const CallShape& c) {
         const VolumeDims u = c.arg(U).firstThree();
         const bool empty = u.n1 == 0 || u.n2 == 0 || u.n3 == 0;
         return !empty && (u.n1 > kMaxExtent || u.n2 > kMaxExtent || u.n3 > kMaxExtent)
                    ? U + 1
                    : kRuleHolds;
       }},
      {"quillmere:volumeSize",
       [](const CallShape& c) { return c.arg(U).elements < samplesOfU(c) ? U + 1 : kRuleHolds; }},
      {"quillmere:tensorSize",
       [](const CallShape& c) {
         return firstIn(T11, T33, c, [](const CallShape& s, int i) {
           const VolumeDims u = s.arg(U).firstThree(), t = s.arg(i).firstThree();
           return t.n1 != u.n1 || t.n2 != u.n2 || t.n3 != u.n3 || s.arg(i).elements < samplesOfU(s);
         });
       }},
      {"quillmere:stencilSize",
       [](const CallShape& c) {
         return firstIn(K1, K23, c, [](const CallShape& s, int i) {
           return s.arg(i).elements < (i <= K3 ? kGradientTaps : kHessianTaps);
         });
       }},
      {"quillmere:emptyDt",
       [](const CallShape& c) { return c.arg(DT).elements == 0 ? DT + 1 : kRuleHolds; }},
  };
  return table;
}

struct Verdict {
  const char* identifier;  // "" when the call is well formed
  int culprit;             // kWholeCall or the 1-based argument
  bool aboutOutputs;
};

inline Verdict judge(const CallShape& c) {
  for (const CallRule& rule : callRules()) {
    const int culprit = rule.culprit(c);
    if (culprit != kRuleHolds) return {rule.identifier, culprit, rule.aboutOutputs};
  }
  return {"", kRuleHolds, false};
}

// The words a refusal's message must hold to name its culprit.
inline std::string culpritText(const Verdict& v, int nlhs, int nrhs) {
  char text[48];
  if (v.culprit == kWholeCall) {
    if (v.aboutOutputs) {
      std::snprintf(text, sizeof text, "%d were requested", nlhs);
    } else {
      std::snprintf(text, sizeof text, "given %d", nrhs);
    }
  } else {
    std::snprintf(text, sizeof text, "argument %d (%s)", v.culprit, kSlotNames[v.culprit - 1]);
  }
  return text;
}

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_SUPPORT_CALL_RULES_H
