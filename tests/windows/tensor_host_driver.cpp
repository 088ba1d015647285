// Drives the tensor module (quillmere_tensor_mex) through the stand-in host:
//
//   quillmere_tensor_host_driver [MODULE] write FILE   record the output bits
//   quillmere_tensor_host_driver [MODULE] check FILE   compare, bit for bit
//
// MODULE is given on Windows only (module_loading.h). The native build
// writes the file (results_file.h) and the Windows build checks it under
// Wine: no platform math function enters the results, so the two must agree
// to the bit. Every call runs on one and on three host threads, which must
// agree too, and one refused call must raise its identifier.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "standin_host.h"
#include "tests/support/standin_arrays.h"
#include "tests/support/stencil_families.h"
#include "tests/windows/case_random.h"
#include "tests/windows/module_loading.h"
#include "tests/windows/results_file.h"

namespace {

using namespace quillmere::testing;

ArrayPtr doubles(const std::vector<double>& values) {
  ArrayPtr a = makeArray({1, static_cast<int>(values.size())}, mxDOUBLE_CLASS);
  std::memcpy(mxGetData(a.get()), values.data(), values.size() * sizeof(double));
  return a;
}

struct Case {
  int n1, n2, n3;
  double kind, sigma, rho, alpha, c, lambda;
  int scaleExponent;  // samples times 2^scaleExponent
};

const Case kCases[] = {
    {13, 11, 9, 1, 1.0, 2.0, 0.001, 1e-4, 0.1, 0},
    {13, 11, 9, 2, 1.0, 2.0, 0.001, 1e-4, 0.1, 0},
    {13, 11, 9, 3, 1.0, 0.0, 0.001, 1e-4, 0.1, 0},
    {9, 1, 17, 2, 0.5, 3.0, 0.01, 1e-8, 0.1, 0},
    {10, 10, 10, 2, 1.0, 1.0, 0.001, 1e40, 0.1, 60},
    {10, 10, 10, 3, 1.0, 1.0, 0.001, 0, 1e-20, -60},
};
constexpr int kCaseCount = sizeof kCases / sizeof kCases[0];

// The tensor call of each case, its volume drawn from one generator in case
// order.
std::vector<std::vector<ArrayPtr>> tensorCalls() {
  CaseRandom r(42);
  std::vector<std::vector<ArrayPtr>> calls;
  for (const Case& c : kCases) {
    std::vector<float> u(static_cast<std::size_t>(c.n1) * c.n2 * c.n3);
    for (float& x : u) {
      x = r.between(-1.0f, 1.0f);
      for (int s = 0; s < (c.scaleExponent > 0 ? c.scaleExponent : -c.scaleExponent); ++s) {
        x *= c.scaleExponent > 0 ? 2.0f : 0.5f;
      }
    }
    std::vector<ArrayPtr> in;
    in.push_back(doubles({1}));
    in.push_back(makeSingle({c.n1, c.n2, c.n3}, u));
    for (const std::vector<double>& v : std::vector<std::vector<double>>{
             {c.kind}, {c.sigma}, {c.rho}, {1.0, 0.8, 1.25}, {c.alpha}, {c.c}, {c.lambda}})
      in.push_back(doubles(v));
    calls.push_back(std::move(in));
  }
  return calls;
}

// The bits of a case's outputs on `threads` host threads: the six tensor
// components, then the bound of the 'central' stencils on them and the data
// range of u (doubles, as two words each, low first). Empty, with the reason
// on stderr, when a call raised.
std::vector<std::uint32_t> runCase(StandinMexFunction module, const std::vector<ArrayPtr>& call,
                                   const std::vector<ArrayPtr>& stencils, int threads) {
  standinSetComputeThreads(STANDIN_ANSWER_NUMBER, threads);
  std::vector<const mxArray*> in = pointersOf(call);
  mxArray* out[6] = {};
  StandinCallResult result;
  if (standinCall(module, 6, out, static_cast<int>(in.size()), in.data(), &result)) {
    std::fprintf(stderr, "tensor call raised %s: %s\n", result.identifier, result.message);
    return {};
  }
  std::vector<ArrayPtr> components(out, out + 6);
  std::vector<std::uint32_t> bits;
  for (mxArray* o : out) {
    if (!o || mxGetClassID(o) != mxSINGLE_CLASS) {
      std::fprintf(stderr, "the tensor call did not return six single arrays\n");
      return {};
    }
    const std::size_t n = mxGetNumberOfElements(o);
    const std::size_t at = bits.size();
    bits.resize(at + n);
    std::memcpy(bits.data() + at, mxGetData(o), n * sizeof(float));
  }
  const ArrayPtr boundKind = doubles({2});
  std::vector<const mxArray*> boundIn{boundKind.get()};
  for (const ArrayPtr& t : components) boundIn.push_back(t.get());
  for (const ArrayPtr& k : stencils) boundIn.push_back(k.get());
  mxArray* bound[1] = {};
  if (standinCall(module, 1, bound, static_cast<int>(boundIn.size()), boundIn.data(), &result)) {
    std::fprintf(stderr, "bound call raised %s: %s\n", result.identifier, result.message);
    return {};
  }
  const ArrayPtr boundOut(bound[0]);
  const ArrayPtr rangeKind = doubles({3});
  const mxArray* rangeIn[2] = {rangeKind.get(), call[1].get()};
  mxArray* range[1] = {};
  if (standinCall(module, 1, range, 2, rangeIn, &result)) {
    std::fprintf(stderr, "range call raised %s: %s\n", result.identifier, result.message);
    return {};
  }
  const ArrayPtr rangeOut(range[0]);
  for (const mxArray* d : {bound[0], range[0]}) {
    if (!d || mxGetClassID(d) != mxDOUBLE_CLASS || mxGetNumberOfElements(d) != 1) {
      std::fprintf(stderr, "the bound or range call did not return a double\n");
      return {};
    }
    std::uint64_t b;
    std::memcpy(&b, mxGetData(d), sizeof b);
    bits.push_back(static_cast<std::uint32_t>(b));
    bits.push_back(static_cast<std::uint32_t>(b >> 32));
  }
  return bits;
}

// A double u must be refused with its identifier.
bool refusesDoubleU(StandinMexFunction module) {
  std::vector<ArrayPtr> bad;
  for (const std::vector<double>& v :
       std::vector<std::vector<double>>{{1}, {1, 2, 3}, {2}, {1}, {1}, {1, 1, 1}, {0.1}, {1}, {1}})
    bad.push_back(doubles(v));
  std::vector<const mxArray*> in = pointersOf(bad);
  mxArray* none[6] = {};
  StandinCallResult refused;
  if (!standinCall(module, 6, none, static_cast<int>(in.size()), in.data(), &refused) ||
      std::strcmp(refused.identifier, "quillmere:tensor:notRealSingle") != 0) {
    std::fprintf(stderr, "a double u was not refused with quillmere:tensor:notRealSingle\n");
    return false;
  }
  return true;
}

// Every case, run on one and on three threads, which must agree.
bool runAll(StandinMexFunction module, std::vector<RecordedCall>* results) {
  SweepProblem central({0, 0, 0});
  std::mt19937 unused;
  setStencils(central, StencilFamily::Central, unused);
  std::vector<ArrayPtr> stencils;
  for (const auto& k : central.k) stencils.push_back(makeSingle({3, 3, 3}, k));
  for (const auto& k : central.h) stencils.push_back(makeSingle({5, 5, 5}, k));
  const std::vector<std::vector<ArrayPtr>> calls = tensorCalls();
  for (int i = 0; i < kCaseCount; ++i) {
    const std::vector<std::uint32_t> one = runCase(module, calls[i], stencils, 1);
    const std::vector<std::uint32_t> three = runCase(module, calls[i], stencils, 3);
    if (one.empty() || three.empty()) return false;
    if (one != three) {
      std::fprintf(stderr, "case %d: one and three threads differ\n", i);
      return false;
    }
    const Case& c = kCases[i];
    results->push_back(
        {static_cast<std::uint32_t>(i), hashInputs(pointersOf(calls[i])), {c.n1, c.n2, c.n3}, one});
  }
  return refusesDoubleU(module);
}

int check(const std::vector<RecordedCall>& results, const char* path) {
  std::vector<RecordedCall> recorded;
  const std::string error = readResults(path, &recorded);
  if (!error.empty() || recorded.size() != results.size()) {
    std::fprintf(stderr, "%s: %s; the native ci build records the %zu calls of this driver\n", path,
                 error.empty() ? "other calls" : error.c_str(), results.size());
    return 1;
  }
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (!recorded[i].sameCall(results[i]) || recorded[i].bits != results[i].bits) {
      std::fprintf(stderr, "case %zu: %s from %s\n", i,
                   recorded[i].sameCall(results[i]) ? "results differ" : "inputs differ", path);
      return 1;
    }
  }
  std::printf("all %zu calls match %s bit for bit\n", results.size(), path);
  return 0;
}

int usage() {
  std::fprintf(stderr, "usage: quillmere_tensor_host_driver %s(write | check) FILE\n",
               kModuleOnCommandLine ? "MODULE.mexw64 " : "");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  if (kModuleOnCommandLine && argc < 2) return usage();
  const StandinMexFunction module = loadModule(kModuleOnCommandLine ? argv[arg++] : nullptr);
  if (!module) return 1;
  if (argc != arg + 2) return usage();
  const std::string mode = argv[arg];
  const char* path = argv[arg + 1];
  if (mode != "write" && mode != "check") return usage();
  std::vector<RecordedCall> results;
  if (!runAll(module, &results)) return 1;
  if (mode == "check") return check(results, path);
  ResultsWriter out(static_cast<std::uint32_t>(results.size()));
  for (const RecordedCall& r : results) out.add(r);
  const std::string error = out.save(path);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("recorded %zu calls to %s\n", results.size(), path);
  return 0;
}
