// Drives the module through the stand-in host the way MATLAB would, over a
// fixed, generated set of calls (gateway_cases.h):
//
//   quillmere_host_driver [MODULE] write FILE   record the output bits of every good call
//   quillmere_host_driver [MODULE] check FILE   compare with a recorded file, bit for bit
//   quillmere_host_driver [MODULE] refusals     every malformed call raises its identifier
//
// MODULE is given on Windows only (module_loading.h). The native build
// writes the file and the Windows build checks it under Wine: the two builds
// must agree to the bit on every call.
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "standin_host.h"
#include "tests/support/exact_bits.h"
#include "tests/support/gateway_bad_calls.h"
#include "tests/support/hostile_fp.h"
#include "tests/support/standin_arrays.h"
#include "tests/windows/gateway_cases.h"
#include "tests/windows/module_loading.h"
#include "tests/windows/results_file.h"

namespace {

using namespace quillmere;
using namespace quillmere::testing;

// The large calls are checked again with the host allowing these many
// threads (the recorded run had the stand-in's default, 2): the last shape
// is big enough for the sweep to use up to 3 of them.
const double kThreadSettings[] = {1.0, 3.0, 8.0};
// Every this many cases, the call is repeated under each hostile FP setting.
constexpr int kEnvironmentStride = 8;

int failures = 0;

#if defined(__GNUC__)
__attribute__((format(gnu_printf, 1, 2)))
#endif
void fail(const char* format, ...) {
  ++failures;
  if (failures > 20) return;  // enough to see the pattern
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// Runs a good call and checks what does not depend on the numbers; returns
// the output's bits (empty on failure).
std::vector<std::uint32_t> runGoodCase(StandinMexFunction module, int index, const GoodCase& c) {
  const GoodCallOutcome o = callGood(c.inputs, c.outputDims, c.nlhs, module);
  if (!o.problems.empty()) {
    fail("case %d: %s", index, o.problems.c_str());
    return {};
  }
  return bitsOfAll(samplesOf(o.out.get()));
}

VolumeDims dimsOfOutput(const std::vector<int>& dims) {
  return {dims[0], dims.size() > 1 ? dims[1] : 1, dims.size() > 2 ? dims[2] : 1};
}

int writeResults(StandinMexFunction module, const char* path) {
  ResultsWriter out(kCaseCount);
  for (int i = 0; i < kCaseCount; ++i) {
    const GoodCase c = makeCase(i);
    out.add({static_cast<std::uint32_t>(i), hashInputs(c.inputs.pointers()), c.outputDims,
             runGoodCase(module, i, c)});
  }
  if (failures) return 1;
  const std::string error = out.save(path);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("wrote %d calls to %s\n", kCaseCount, path);
  return 0;
}

// Runs the call under every hostile FP setting, and checks that the bits are
// the recorded ones and that the caller's environment came back.
void checkUnderHostileEnvironments(StandinMexFunction module, int index, const GoodCase& c,
                                   const std::vector<std::uint32_t>& expected) {
  for (const FpSetting& s : hostileFpSettings()) {
    std::uint64_t set = 0, after = 0;
    std::vector<std::uint32_t> got;
    {
      const FpEnvironmentScope hostile(s);
      set = fpControlState();
      got = runGoodCase(module, index, c);
      after = fpControlState();
    }
    if (after != set)
      fail("case %d under %s: control state %#" PRIx64 " on return, %#" PRIx64 " before", index,
           s.name, after, set);
    const std::string difference = bitDifference(expected, got, dimsOfOutput(c.outputDims));
    if (!difference.empty()) fail("case %d under %s: %s", index, s.name, difference.c_str());
  }
}

int checkResults(StandinMexFunction module, const char* path) {
  std::vector<RecordedCall> calls;
  const std::string error = readResults(path, &calls);
  if (!error.empty()) {
    std::fprintf(stderr,
                 "%s\nThey are written by the native build: run `cmake --preset ci && cmake "
                 "--build --preset ci` first (./run test does), or point "
                 "QUILLMERE_GATEWAY_CASES at them.\n",
                 error.c_str());
    return 1;
  }
  if (calls.size() != static_cast<std::size_t>(kCaseCount)) {
    std::fprintf(stderr, "%s holds %zu calls, this driver makes %d: rebuild the native build\n",
                 path, calls.size(), kCaseCount);
    return 1;
  }
  int environmentRuns = 0, threadRuns = 0;
  std::uint64_t voxels = 0;
  for (int i = 0; i < kCaseCount; ++i) {
    const RecordedCall& recorded = calls[static_cast<std::size_t>(i)];
    const GoodCase c = makeCase(i);
    if (recorded.index != static_cast<std::uint32_t>(i) ||
        recorded.hash != hashInputs(c.inputs.pointers())) {
      fail("case %d: the recorded inputs differ from this driver's: rebuild the native build", i);
      continue;
    }
    const std::vector<std::uint32_t> got = runGoodCase(module, i, c);
    if (recorded.dims != c.outputDims) {
      fail("case %d: recorded extents differ from the case's", i);
      continue;
    }
    const std::string difference = bitDifference(recorded.bits, got, dimsOfOutput(c.outputDims));
    if (!difference.empty()) fail("case %d: %s", i, difference.c_str());
    voxels += got.size();
    if (i >= kSmallCases) {
      for (double threads : kThreadSettings) {
        standinSetComputeThreads(STANDIN_ANSWER_NUMBER, threads);
        if (runGoodCase(module, i, c) != recorded.bits)
          fail("case %d: bits differ with the host allowing %.0f threads", i, threads);
        ++threadRuns;
      }
      standinSetComputeThreads(STANDIN_ANSWER_NUMBER, 2.0);
    }
    if (i % kEnvironmentStride == 0) {
      checkUnderHostileEnvironments(module, i, c, recorded.bits);
      ++environmentRuns;
    }
  }
  if (failures) {
    std::fprintf(stderr, "%d failures against %s\n", failures, path);
    return 1;
  }
  std::printf("%d calls (%" PRIu64
              " samples) match %s bit for bit; %d of them also under %zu "
              "hostile FP environments; %d runs under other thread settings\n",
              kCaseCount, voxels, path, environmentRuns, hostileFpSettings().size(), threadRuns);
  return 0;
}

// Each malformed call must come back as a host error with its identifier,
// having made nothing and changed nothing; the host goes on after them.
int checkRefusals(StandinMexFunction module) {
  const SweepProblem base = badCallBase();
  int refused = 0;
  for (const BadCall& bad : malformedCalls()) {
    const std::string problems = refusalProblems(bad, inputsOf(bad, base), module);
    if (!problems.empty()) fail("%s", problems.c_str());
    ++refused;
  }
  const CallOutcome o = callGateway(CallInputs(base), 1, -1, module);
  if (o.result.raised || !o.out)
    fail("a good call after the refusals failed: %s", o.result.message);

  if (failures) return 1;
  std::printf("%d malformed calls refused with their identifiers\n", refused);
  return 0;
}

int usage() {
  std::fprintf(stderr, "usage: quillmere_host_driver %s(write FILE | check FILE | refusals)\n",
               kModuleOnCommandLine ? "MODULE.mexw64 " : "");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  if (kModuleOnCommandLine && argc < 2) return usage();
  const StandinMexFunction module = loadModule(kModuleOnCommandLine ? argv[arg++] : nullptr);
  if (!module) return 1;
  if (argc <= arg) return usage();
  const std::string mode = argv[arg++];
  if (mode == "write" && argc == arg + 1) return writeResults(module, argv[arg]);
  if (mode == "check" && argc == arg + 1) return checkResults(module, argv[arg]);
  if (mode == "refusals" && argc == arg) return checkRefusals(module);
  return usage();
}
