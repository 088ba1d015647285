// Drives the module through the stand-in host the way MATLAB would, over a
// fixed, generated set of calls:
//
//   quillmere_host_driver [MODULE] write FILE   record the output bits of every good call
//   quillmere_host_driver [MODULE] check FILE   compare with a recorded file, bit for bit
//   quillmere_host_driver [MODULE] refusals     every malformed call raises its identifier
//
// On Windows MODULE is the quillmere.mexw64 to load: LoadLibrary, then
// GetProcAddress("mexFunction"). Its libmx.dll and libmex.dll imports bind
// to the stand-in host DLLs this program itself runs on. Elsewhere the
// gateway is linked in and no MODULE is given. The native build writes the
// file and the Windows build checks it under Wine: the two builds must agree
// to the bit on every call.
//
// The calls come from a generator of our own (splitmix64 and exact integer
// to float steps), not the standard distributions, whose output the C++
// standard leaves to each library: both builds must make the same inputs,
// and the file carries a hash of each call's inputs to prove it.
#include <cfenv>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "standin_host.h"
#include "tests/gateway_bad_calls.h"
#include "tests/standin_arrays.h"
#include "tests/sweep_problem.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define QUILLMERE_DRIVER_MXCSR 1
#endif

namespace {

using namespace quillmere;
using namespace quillmere::testing;

constexpr char kMagic[8] = {'Q', 'M', 'G', 'W', 'C', 'A', 'S', 'E'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::uint64_t kSeed = 0x5eed0f9a1e77a7e5u;
constexpr int kSmallCases = 240;
// Past the small shapes: long runs along each axis and a few thousand voxels.
const VolumeDims kLargeShapes[] = {{40, 33, 21}, {97, 3, 2},   {1, 1, 300}, {2, 150, 3},
                                   {64, 1, 1},   {17, 17, 17}, {9, 70, 9},  {64, 48, 64}};
// The large calls are checked again with the host allowing these many
// threads (the recorded run had the stand-in's default, 2): the last shape
// is big enough for the sweep to use up to 3 of them.
const double kThreadSettings[] = {1.0, 3.0, 8.0};
constexpr int kLargeCases = static_cast<int>(sizeof kLargeShapes / sizeof kLargeShapes[0]);
constexpr int kCaseCount = kSmallCases + kLargeCases;
// Every this many cases, the call is repeated under a hostile FP environment.
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

// splitmix64: fully specified, so every platform draws the same numbers.
// Callers take at most one draw per full expression (or sequence them, as
// ?: and braced lists do): the order of operands is each compiler's choice.
class CaseRandom {
 public:
  explicit CaseRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  std::uint32_t bits() { return static_cast<std::uint32_t>(next() >> 32); }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
  // 24 random bits scaled by 2^-24: exact, so no rounding choices differ.
  float unit() { return static_cast<float>(bits() >> 8) * 0x1p-24f; }
  float between(float lo, float hi) { return lo + (hi - lo) * unit(); }
  float sign() { return (bits() & 1u) ? -1.0f : 1.0f; }

 private:
  std::uint64_t state_;
};

// The values fast paths and careless builds get wrong. Overflow, infinities
// and NaN spread through the rest of an in-place sweep (inf - inf, 0 * inf),
// so they come on their own switches, to keep the other kinds visible in
// the results.
enum class Specials { kSmall, kFinite, kAll };

float specialValue(CaseRandom& r, Specials kinds) {
  switch (r.below(kinds == Specials::kAll ? 9 : kinds == Specials::kFinite ? 7 : 6)) {
    case 0:
      return 0.0f;
    case 1:
      return -0.0f;
    case 2:
      return floatOf(1u + r.bits() % 0x7fffffu);  // +subnormal
    case 3:
      return floatOf(0x80000000u | (1u + r.bits() % 0x7fffffu));  // -subnormal
    case 4: {
      const float sign = r.sign();
      return sign * floatOf(0x00800000u + r.bits() % 1024u);  // smallest normals
    }
    case 5:
      return r.sign();
    case 6: {
      const float sign = r.sign();
      return sign * r.between(1.0e38f, 3.4e38f);  // near overflow
    }
    case 7:
      return r.sign() * floatOf(0x7f800000u);  // infinity
    default: {
      const std::uint32_t b = r.bits();
      return floatOf((b & 0x80000000u) | 0x7fc00000u | (b & 0x3fffffu));  // NaN, any payload
    }
  }
}

void fill(std::vector<float>& v, CaseRandom& r, float scale, int specialPercent,
          Specials kinds = Specials::kSmall) {
  for (float& x : v) {
    x = r.below(100) < specialPercent ? specialValue(r, kinds) : scale * r.between(-1.0f, 1.0f);
  }
}

// Replaces about `percent` of the values with +0 or -0.
void sprinkleZeros(std::vector<float>& v, CaseRandom& r, int percent) {
  for (float& x : v) {
    if (r.below(100) < percent) x = r.sign() * 0.0f;
  }
}

float pickDt(CaseRandom& r) {
  const float choices[] = {0.01f,
                           0.1f,
                           1.0f,
                           0.3f,
                           -0.05f,
                           0.0f,
                           -0.0f,
                           1.0e-40f,
                           floatOf(0x7f800000u),
                           floatOf(0x7fc00000u)};
  const int n = static_cast<int>(sizeof choices / sizeof choices[0]);
  // Mostly a random ordinary step; now and then one of the odd ones.
  return r.below(3) == 0 ? choices[r.below(n)] : r.between(0.0f, 0.2f);
}

VolumeDims pickShape(int index, CaseRandom& r) {
  if (index >= kSmallCases) return kLargeShapes[index - kSmallCases];
  VolumeDims d{1 + r.below(9), 1 + r.below(9), 1 + r.below(9)};
  // Now and then a plane (the host reports it with two extents), a line, or
  // an empty volume.
  switch (r.below(12)) {
    case 0:
      d.n3 = 1;
      break;
    case 1:
      d.n2 = 1;
      d.n3 = 1;
      break;
    case 2:
      (r.below(3) == 0 ? d.n1 : r.below(2) == 0 ? d.n2 : d.n3) = 0;
      break;
    default:
      break;
  }
  return d;
}

// One good call: the inputs, and the extents the output must have.
struct GoodCase {
  CallInputs inputs;
  std::vector<int> outputDims;
  int nlhs;
};

GoodCase makeCase(int index) {
  CaseRandom r(kSeed ^ (0x100000001b3u * static_cast<std::uint64_t>(index + 1)));
  const VolumeDims d = pickShape(index, r);
  SweepProblem p(d);
  int stencilSpecials = 0;
  switch (index % 6) {
    case 0:  // ordinary data
      fill(p.u, r, 1.0f, 0);
      for (auto& c : p.t) fill(c, r, 1.0f, 0);
      break;
    case 1:  // small specials in u: signed zeros, subnormals, smallest normals
      fill(p.u, r, 1.0f, 25);
      for (auto& c : p.t) fill(c, r, 1.0f, 0);
      break;
    case 2:  // a few infinities and NaN anywhere
      fill(p.u, r, 2.0f, 2, Specials::kAll);
      for (auto& c : p.t) fill(c, r, 1.0f, 1, Specials::kAll);
      stencilSpecials = 2;
      break;
    case 3:  // subnormal samples, sums and products
      fill(p.u, r, 1.0e-38f, 10);
      for (auto& c : p.t) fill(c, r, 1.0f, 10);
      break;
    case 4:  // mostly zeros of either sign: signed-zero arithmetic
      fill(p.u, r, 1.0f, 10);
      sprinkleZeros(p.u, r, 70);
      for (auto& c : p.t) {
        fill(c, r, 1.0f, 0);
        sprinkleZeros(c, r, 50);
      }
      break;
    default:  // overflow on the way
      fill(p.u, r, 1.0e26f, 2, Specials::kFinite);
      for (auto& c : p.t) fill(c, r, 1.0e10f, 0);
      break;
  }
  for (auto& s : p.k) fill(s, r, 0.5f, stencilSpecials, Specials::kAll);
  for (auto& s : p.h) fill(s, r, 0.25f, stencilSpecials, Specials::kAll);
  p.dt = pickDt(r);

  GoodCase c{CallInputs(p), {d.n1, d.n2, d.n3}, index % 3 == 0 ? 0 : 1};
  if (d.n3 == 1) c.outputDims.pop_back();  // the host drops a trailing extent of 1

  // What callers may rely on: a longer u and tensor, longer stencils and dt.
  // Whatever lies past the part that is read is NaN, so reading it shows.
  const float nan = floatOf(0x7fc00000u);
  if (index % 11 == 5) {
    c.inputs.args[U] = makeSingle({d.n1, d.n2, d.n3, 2}, p.u, nan);
    c.inputs.args[T12] = makeSingle({d.n1, d.n2, d.n3, 3}, p.t[1], nan);
  }
  if (index % 7 == 3) {
    c.inputs.args[K2] = makeSingle({1, 30}, p.k[1], nan);
    c.inputs.args[K13] = makeSingle({5, 5, 5, 2}, p.h[4], nan);
    c.inputs.args[DT] = makeSingle({3, 1}, {p.dt}, nan);
  }
  return c;
}

// FNV-1a over everything the call is given: class, extents and bytes.
std::uint64_t hashInputs(const CallInputs& in) {
  std::uint64_t h = 0xcbf29ce484222325u;
  auto mix = [&h](std::uint32_t word) {
    for (int i = 0; i < 4; ++i) {
      h ^= (word >> (8 * i)) & 0xffu;
      h *= 0x100000001b3u;
    }
  };
  for (const auto& a : in.args) {
    mix(static_cast<std::uint32_t>(mxGetClassID(a.get())));
    for (int e : dimsOf(a.get())) mix(static_cast<std::uint32_t>(e));
    for (unsigned char b : bytesOf(a.get())) mix(b);
  }
  return h;
}

// One call of the module as MATLAB makes it.
CallOutcome callModule(StandinMexFunction module, const CallInputs& in, int nlhs, int nrhs) {
  std::vector<const mxArray*> prhs = in.pointers();
  std::vector<mxArray*> plhs(nlhs > 1 ? static_cast<std::size_t>(nlhs) : 1, nullptr);
  CallOutcome outcome{};
  standinCall(module, nlhs, plhs.data(), nrhs, prhs.data(), &outcome.result);
  outcome.out.reset(plhs[0]);
  return outcome;
}

// Runs a good call and checks what does not depend on the numbers; returns
// the output's bits (empty on failure).
std::vector<std::uint32_t> runGoodCase(StandinMexFunction module, int index, const GoodCase& c) {
  const auto before = c.inputs.snapshot();
  const long live = standinLiveArrayCount();
  const CallOutcome o =
      callModule(module, c.inputs, c.nlhs, static_cast<int>(c.inputs.args.size()));
  if (o.result.raised) {
    fail("case %d: raised %s: %s", index, o.result.identifier, o.result.message);
    return {};
  }
  if (!o.out || o.result.arraysCreated != 1 || standinLiveArrayCount() != live + 1) {
    fail("case %d: expected exactly one new array in the first output slot", index);
    return {};
  }
  if (mxGetClassID(o.out.get()) != mxSINGLE_CLASS || mxIsComplex(o.out.get()) ||
      dimsOf(o.out.get()) != c.outputDims) {
    fail("case %d: output is not a real single array of the input's extents", index);
    return {};
  }
  if (c.inputs.snapshot() != before) {
    fail("case %d: the call changed its inputs", index);
    return {};
  }
  return bitsOfAll(samplesOf(o.out.get()));
}

// ---- the results file: little-endian words, written the same everywhere ----

void put32(std::vector<unsigned char>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void put64(std::vector<unsigned char>& out, std::uint64_t v) {
  put32(out, static_cast<std::uint32_t>(v));
  put32(out, static_cast<std::uint32_t>(v >> 32));
}

class Reader {
 public:
  explicit Reader(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}
  bool ok() const { return ok_; }
  std::uint32_t get32() {
    if (at_ + 4 > bytes_.size()) {
      ok_ = false;
      return 0;
    }
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(bytes_[at_++]) << (8 * i);
    return v;
  }
  std::uint64_t get64() {
    const std::uint64_t lo = get32();
    return lo | (static_cast<std::uint64_t>(get32()) << 32);
  }
  bool magic() {
    if (bytes_.size() < sizeof kMagic || std::memcmp(bytes_.data(), kMagic, sizeof kMagic) != 0)
      return false;
    at_ = sizeof kMagic;
    return true;
  }
  bool atEnd() const { return at_ == bytes_.size(); }

 private:
  std::vector<unsigned char> bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

void putCase(std::vector<unsigned char>& out, int index, std::uint64_t hash,
             const std::vector<int>& dims, const std::vector<std::uint32_t>& bits) {
  put32(out, static_cast<std::uint32_t>(index));
  put64(out, hash);
  put32(out, static_cast<std::uint32_t>(dims.size()));
  for (int e : dims) put32(out, static_cast<std::uint32_t>(e));
  put32(out, static_cast<std::uint32_t>(bits.size()));
  for (std::uint32_t b : bits) put32(out, b);
}

int writeResults(StandinMexFunction module, const char* path) {
  std::vector<unsigned char> out(kMagic, kMagic + sizeof kMagic);
  put32(out, kFormatVersion);
  put32(out, kCaseCount);
  for (int i = 0; i < kCaseCount; ++i) {
    const GoodCase c = makeCase(i);
    putCase(out, i, hashInputs(c.inputs), c.outputDims, runGoodCase(module, i, c));
  }
  if (failures) return 1;
  std::FILE* f = std::fopen(path, "wb");
  if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "cannot write %s\n", path);
    return 1;
  }
  std::printf("wrote %d calls to %s\n", kCaseCount, path);
  return 0;
}

bool readFile(const char* path, std::vector<unsigned char>& bytes) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  unsigned char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(f);
  return true;
}

// Sets a hostile FP environment, runs the call, and checks that the bits
// are the recorded ones and that the caller's environment came back.
void checkUnderHostileEnvironment(StandinMexFunction module, int index, const GoodCase& c,
                                  const std::vector<std::uint32_t>& expected) {
  struct Setting {
    const char* name;
    int rounding;
    unsigned int mxcsrBits;  // FTZ 0x8000, DAZ 0x0040, rounding field 0x6000
  };
  const Setting settings[] = {
    {"rounding upward", FE_UPWARD, 0},
    {"rounding toward zero", FE_TOWARDZERO, 0},
#if defined(QUILLMERE_DRIVER_MXCSR)
    {"flush-to-zero, denormals-are-zero, toward zero", FE_TONEAREST, 0x8000u | 0x0040u | 0x6000u},
#endif
  };
  for (const Setting& s : settings) {
    std::fesetround(s.rounding);
#if defined(QUILLMERE_DRIVER_MXCSR)
    const unsigned int saved = _mm_getcsr();
    _mm_setcsr(saved | s.mxcsrBits);
    const unsigned int set = _mm_getcsr();
#endif
    const int roundingSet = std::fegetround();
    const std::vector<std::uint32_t> got = runGoodCase(module, index, c);
    const int roundingAfter = std::fegetround();
#if defined(QUILLMERE_DRIVER_MXCSR)
    const unsigned int after = _mm_getcsr();
    _mm_setcsr(saved);
    if (after != set)
      fail("case %d under %s: MXCSR %#x on return, %#x before", index, s.name, after, set);
#endif
    std::fesetround(FE_TONEAREST);
    if (roundingAfter != roundingSet)
      fail("case %d under %s: rounding mode not restored", index, s.name);
    if (got != expected)
      fail("case %d under %s: bits differ from the default environment", index, s.name);
  }
}

int checkResults(StandinMexFunction module, const char* path) {
  std::vector<unsigned char> bytes;
  if (!readFile(path, bytes)) {
    std::fprintf(
        stderr,
        "cannot read the recorded results %s\n"
        "They are written by the native build: run `cmake --preset ci && cmake --build "
        "--preset ci` first (./run test does), or point QUILLMERE_GATEWAY_CASES at them.\n",
        path);
    return 1;
  }
  Reader in(std::move(bytes));
  if (!in.magic() || in.get32() != kFormatVersion) {
    std::fprintf(stderr, "%s is not a results file of this driver's format\n", path);
    return 1;
  }
  const std::uint32_t count = in.get32();
  if (count != static_cast<std::uint32_t>(kCaseCount)) {
    std::fprintf(stderr,
                 "%s holds %" PRIu32 " calls, this driver makes %d: rebuild the native build\n",
                 path, count, kCaseCount);
    return 1;
  }
  int environmentRuns = 0, threadRuns = 0;
  std::uint64_t voxels = 0;
  for (int i = 0; i < kCaseCount; ++i) {
    const std::uint32_t index = in.get32();
    const std::uint64_t hash = in.get64();
    std::vector<int> dims(in.get32());
    for (int& e : dims) e = static_cast<int>(in.get32());
    std::vector<std::uint32_t> expected(in.get32());
    if (!in.ok() || expected.size() > (1u << 24)) break;
    for (std::uint32_t& b : expected) b = in.get32();
    if (!in.ok()) break;

    const GoodCase c = makeCase(i);
    if (index != static_cast<std::uint32_t>(i) || hash != hashInputs(c.inputs)) {
      fail("case %d: the recorded inputs differ from this driver's: rebuild the native build", i);
      continue;
    }
    const std::vector<std::uint32_t> got = runGoodCase(module, i, c);
    if (got.size() != expected.size() || dims != c.outputDims) {
      fail("case %d: %zu samples, %zu recorded", i, got.size(), expected.size());
      continue;
    }
    for (std::size_t v = 0; v < got.size(); ++v) {
      if (got[v] != expected[v]) {
        // IEEE 754 leaves the sign and payload of a NaN result open, and
        // compilers use that freedom (swapping the operands of a sum, folding
        // a negation): name such a difference, it is not a wrong number.
        const bool bothNaN =
            (got[v] & 0x7fffffffu) > 0x7f800000u && (expected[v] & 0x7fffffffu) > 0x7f800000u;
        fail("case %d (%dx%dx%d): first difference at sample %zu: %08" PRIx32
             ", recorded %08" PRIx32 "%s",
             i, c.outputDims[0], c.outputDims[1], c.outputDims.size() > 2 ? c.outputDims[2] : 1, v,
             got[v], expected[v], bothNaN ? " (both NaN: sign or payload differ)" : "");
        break;
      }
    }
    voxels += got.size();
    if (i >= kSmallCases) {
      for (double threads : kThreadSettings) {
        standinSetComputeThreads(STANDIN_ANSWER_NUMBER, threads);
        if (runGoodCase(module, i, c) != expected)
          fail("case %d: bits differ with the host allowing %.0f threads", i, threads);
        ++threadRuns;
      }
      standinSetComputeThreads(STANDIN_ANSWER_NUMBER, 2.0);
    }
    if (i % kEnvironmentStride == 0) {
      checkUnderHostileEnvironment(module, i, c, expected);
      ++environmentRuns;
    }
  }
  if (!in.ok() || !in.atEnd()) {
    std::fprintf(stderr, "%s is truncated or has trailing bytes\n", path);
    return 1;
  }
  if (failures) {
    std::fprintf(stderr, "%d failures against %s\n", failures, path);
    return 1;
  }
  std::printf("%d calls (%" PRIu64
              " samples) match %s bit for bit; %d of them also under "
              "hostile FP environments; %d runs under other thread settings\n",
              kCaseCount, voxels, path, environmentRuns, threadRuns);
  return 0;
}

// Each malformed call must come back as a host error with its identifier,
// having made nothing and changed nothing.
void checkRefusal(StandinMexFunction module, const char* what, const CallInputs& in, int nlhs,
                  int nrhs, const char* identifier, const std::string& messagePart) {
  const auto before = in.snapshot();
  const long live = standinLiveArrayCount();
  const CallOutcome o = callModule(module, in, nlhs, nrhs);
  if (!o.result.raised || std::strcmp(o.result.identifier, identifier) != 0) {
    fail("%s: expected %s, got %s", what, identifier,
         o.result.raised ? o.result.identifier : "no error");
  } else if (std::string(o.result.message).find(messagePart) == std::string::npos) {
    fail("%s: message \"%s\" lacks \"%s\"", what, o.result.message, messagePart.c_str());
  }
  if (o.result.arraysCreated != 0 || o.out || standinLiveArrayCount() != live) {
    fail("%s: the refused call made an array", what);
  }
  if (in.snapshot() != before) fail("%s: the refused call changed its inputs", what);
}

int checkRefusals(StandinMexFunction module) {
  CaseRandom r(kSeed);
  SweepProblem p(kBadCallVolume);
  fill(p.u, r, 1.0f, 0);
  for (auto& c : p.t) fill(c, r, 1.0f, 0);
  for (auto& s : p.k) fill(s, r, 0.5f, 0);
  for (auto& s : p.h) fill(s, r, 0.25f, 0);
  p.dt = 0.01f;

  int refused = 0;
  for (const BadCall& bad : malformedCalls()) {
    CallInputs in(p);
    if (bad.slot != kNoSlot) {
      in.args[static_cast<std::size_t>(bad.slot)] =
          makeArray(bad.dims, bad.classId, bad.complexity);
    }
    checkRefusal(module, bad.what, in, bad.nlhs, bad.nrhs, bad.identifier, bad.messagePart);
    ++refused;
  }
  for (int slot = U; slot <= DT; ++slot) {
    CallInputs in(p);
    auto& arg = in.args[static_cast<std::size_t>(slot)];
    arg = makeArray(dimsOf(arg.get()), mxDOUBLE_CLASS);
    const std::string what = std::string("double ") + kSlotNames[slot];
    checkRefusal(module, what.c_str(), in, 1, kSlotCount, "quillmere:notRealSingle",
                 "argument " + std::to_string(slot + 1) + " (" + kSlotNames[slot] + ")");
    ++refused;
  }
  // The host goes on after refusals: a good call still works.
  const CallOutcome o = callModule(module, CallInputs(p), 1, kSlotCount);
  if (o.result.raised || !o.out)
    fail("a good call after the refusals failed: %s", o.result.message);

  if (failures) return 1;
  std::printf("%d malformed calls refused with their identifiers\n", refused);
  return 0;
}

#if defined(_WIN32)
StandinMexFunction loadModule(const char* path) {
  HMODULE module = LoadLibraryA(path);
  if (!module) {
    std::fprintf(stderr, "cannot load %s (Windows error %lu)\n", path, GetLastError());
    return nullptr;
  }
  FARPROC entry = GetProcAddress(module, "mexFunction");
  if (!entry) {
    std::fprintf(stderr, "%s exports no mexFunction\n", path);
    return nullptr;
  }
  // Through void(*)(void), the one function type any other converts to
  // without a warning.
  return reinterpret_cast<StandinMexFunction>(reinterpret_cast<void (*)(void)>(entry));
}
#endif

int usage() {
  std::fprintf(stderr,
#if defined(_WIN32)
               "usage: quillmere_host_driver MODULE.mexw64 (write FILE | check FILE | refusals)\n"
#else
               "usage: quillmere_host_driver (write FILE | check FILE | refusals)\n"
#endif
  );
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
#if defined(_WIN32)
  if (argc < 2) return usage();
  const StandinMexFunction module = loadModule(argv[arg++]);
  if (!module) return 1;
#else
  const StandinMexFunction module = mexFunction;
#endif
  if (argc <= arg) return usage();
  const std::string mode = argv[arg++];
  if (mode == "write" && argc == arg + 1) return writeResults(module, argv[arg]);
  if (mode == "check" && argc == arg + 1) return checkResults(module, argv[arg]);
  if (mode == "refusals" && argc == arg) return checkRefusals(module);
  return usage();
}
