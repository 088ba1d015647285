// Fuzz target: random calls of the gateway through the stand-in host.
//
// The input bytes describe one call: the number of inputs (0..20) and of
// outputs, the caller's floating-point mode, and for every input its class,
// complexity, extents and values. Each call must end in one of two ways:
//   - it is refused with the identifier that the call rules
//     (tests/support/call_rules.h) predict, before anything is made, with a
//     message naming the culprit;
//   - it is accepted and the output is the plain sweep of the same data, bit
//     for bit, with u's first three extents.
// Either way every input keeps its bytes and the caller's floating-point mode
// comes back. Anything else aborts, and so does any sanitizer report.
//
// Input layout (bytes past the end read as 0):
//   [0] number of inputs, mod 21
//   [1] bits 0-1: number of outputs; bits 2-3: caller's floating-point mode
//   then per input: a class byte, a shape byte (+ shape operands), a fill
//   byte (+ fill operands); see the readers below. make_corpus.py writes
//   the seeds in this layout.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/update_sweep.h"
#include "standin_host.h"
#include "tests/support/call_rules.h"
#include "tests/support/exact_bits.h"
#include "tests/support/hostile_fp.h"
#include "tests/support/standin_arrays.h"

namespace {

using quillmere::testing::Slot;

void fail(const char* what, const char* detail) {
  std::fprintf(stderr, "gateway fuzz: %s%s%s\n", what, detail[0] ? ": " : "", detail);
  std::abort();
}

void require(bool ok, const char* what, const char* detail = "") {
  if (!ok) fail(what, detail);
}

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint32_t next32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | next();
    return v;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

constexpr int kMaxInputs = 20;
constexpr int kU = Slot::U, kT11 = Slot::T11, kT33 = Slot::T33, kK1 = Slot::K1, kK3 = Slot::K3,
              kK23 = Slot::K23, kDt = Slot::DT;

// Values a sweep gets wrong first: signed zeros, subnormals, extremes,
// infinities and NaN with payloads.
float valueOf(std::uint8_t v) {
  static const std::uint32_t specials[] = {
      0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u, 0x007fffffu, 0x00800000u,
      0x7f7fffffu, 0xff7fffffu, 0x7f800000u, 0xff800000u, 0x7fc00000u, 0xffc00001u,
      0x7fa00000u, 0x3f800000u, 0xbf800000u, 0x3dcccccdu, 0x0f800000u, 0x70000000u};
  if (v < 0xC0) return static_cast<float>(static_cast<int>(v) - 96) / 32.0f;
  const std::uint32_t bits = specials[(v - 0xC0) % (sizeof specials / sizeof specials[0])];
  float x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

// Class byte: mostly real single; the top 32 values pick any class code
// (0..16) real, or a numeric class complex.
void readClass(ByteReader& in, mxClassID* id, mxComplexity* flag) {
  const int c = in.next();
  *id = mxSINGLE_CLASS;
  *flag = mxREAL;
  if (c < 0xE0) return;
  const int k = c - 0xE0;
  if (k < 17) {
    *id = static_cast<mxClassID>(k);
  } else {
    *id = static_cast<mxClassID>(mxDOUBLE_CLASS + (k - 17) % 10);
    *flag = mxCOMPLEX;
  }
}

// Shape byte, mod 8: 0 the usual shape for the position, 1 u's extents as
// the host reports them, 2 3x3x3, 3 5x5x5, 4 1x1, 5 up to five extents of
// 0..6 each, 6 a 1xN row of N = 0..255, 7 four extents whose last is 0 and
// whose first three may promise 2^31 samples or more.
std::vector<int> readShape(ByteReader& in, int position, const mxArray* u) {
  std::vector<int> uDims{2, 2, 2};
  if (u) {
    const int* d = mxGetDimensions_700(u);
    uDims.assign(d, d + mxGetNumberOfDimensions_700(u));
  }
  int mode = in.next() % 8;
  if (mode == 0) {
    if (position == kU) {
      mode = 5;
    } else if (position >= kT11 && position <= kT33) {
      mode = 1;
    } else if (position >= kK1 && position <= kK3) {
      mode = 2;
    } else if (position > kK3 && position <= kK23) {
      mode = 3;
    } else {
      mode = 4;
    }
    if (mode == 5) {  // a u is always three extents here, for the seeds' sake
      return {in.next() % 7, in.next() % 7, in.next() % 7};
    }
  }
  switch (mode) {
    case 1:
      return uDims;
    case 2:
      return {3, 3, 3};
    case 3:
      return {5, 5, 5};
    case 4:
      return {1, 1};
    case 5: {
      std::vector<int> dims(static_cast<std::size_t>(in.next() % 6));
      for (int& e : dims) e = in.next() % 7;
      return dims;
    }
    case 6:
      return {1, in.next()};
    default: {
      static const int huge[] = {0, 1, 2, 46340, 46341, 32768, 65536, 2147483647};
      return {huge[in.next() % 8], huge[in.next() % 8], huge[in.next() % 8], 0};
    }
  }
}

std::uint32_t xorshift(std::uint32_t& s) {
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s;
}

// Fill byte, mod 4: 0 one value byte per sample from the input, 1 one value
// everywhere, 2 values from a generator seeded by four input bytes, 3 zeros.
// Only numeric data is filled: cell and struct slots stay null.
void fill(ByteReader& in, mxArray* a) {
  const mxClassID id = mxGetClassID(a);
  const int mode = in.next() % 4;
  if (id < mxDOUBLE_CLASS || id > mxUINT64_CLASS || mode == 3) return;
  const std::size_t n = mxGetNumberOfElements(a);
  const std::uint8_t constant = mode == 1 ? in.next() : 0;
  std::uint32_t state = mode == 2 ? (in.next32() | 1u) : 1u;
  for (void* part : {mxGetData(a), standinGetImagData(a)}) {
    if (!part) continue;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint8_t v = constant;
      if (mode == 0) v = in.next();
      if (mode == 2) v = static_cast<std::uint8_t>(xorshift(state) >> 24);
      if (id == mxSINGLE_CLASS) {
        static_cast<float*>(part)[i] = valueOf(v);
      } else {
        // Other classes are refused before their data is read: any bytes do.
        std::memset(static_cast<unsigned char*>(part) + i * standinGetElementSize(a), v,
                    standinGetElementSize(a));
      }
    }
  }
}

quillmere::VolumeDims firstThree(const mxArray* a) {
  const int ndim = mxGetNumberOfDimensions_700(a);
  const int* d = mxGetDimensions_700(a);
  return {ndim > 0 ? d[0] : 1, ndim > 1 ? d[1] : 1, ndim > 2 ? d[2] : 1};
}

// The caller's floating-point mode for the call: 0 the default, 1 flush to
// zero and denormals are zero, 2 rounding toward zero, 3 both with rounding
// upward. QUILLMERE_FUZZ_DEFAULT_FENV=1 keeps the default (valgrind does not
// model FTZ, DAZ or directed rounding).
quillmere::testing::FpSetting callerModeOf(int code) {
  static const bool keepDefault = [] {
    const char* v = std::getenv("QUILLMERE_FUZZ_DEFAULT_FENV");
    return v && v[0] == '1';
  }();
  static const quillmere::testing::FpSetting modes[] = {
      {"default", FE_TONEAREST, false},
      {"FTZ and DAZ", FE_TONEAREST, true},
      {"rounding toward zero", FE_TOWARDZERO, false},
      {"FTZ and DAZ, rounding upward", FE_UPWARD, true}};
  return modes[keepDefault ? 0 : code];
}

void checkAccepted(const mxArray* const* prhs, mxArray* out, const StandinCallResult& r) {
  const quillmere::VolumeDims dims = firstThree(prhs[kU]);
  const std::string problems =
      quillmere::testing::goodCallProblems(r, out, quillmere::testing::reportedExtents(dims));
  require(problems.empty(), "a well-formed call went wrong", problems.c_str());

  const std::size_t count = mxGetNumberOfElements(out);
  // Empty volumes can have huge extents: the plain sweep would spend seconds
  // on its empty outer loops, and there is nothing to compare.
  if (count == 0) return;
  std::vector<float> reference(count);
  std::memcpy(reference.data(), mxGetData(prhs[kU]), count * sizeof(float));
  auto view = [&](int i) {
    return quillmere::VolumeView{static_cast<const float*>(mxGetData(prhs[i])), dims};
  };
  auto weights = [&](int i) { return static_cast<const float*>(mxGetData(prhs[i])); };
  const float dt = *static_cast<const float*>(mxGetData(prhs[kDt]));
  quillmere::updateVolumePlain(
      quillmere::MutableVolumeView{reference.data(), dims},
      {view(1), view(2), view(3), view(4), view(5), view(6)}, {weights(7), weights(8), weights(9)},
      {weights(10), weights(11), weights(12), weights(13), weights(14), weights(15)}, dt, dims);
  const auto* samples = static_cast<const float*>(mxGetData(out));
  require(quillmere::testing::bitDifference(reference, std::vector<float>(samples, samples + count),
                                            dims)
              .empty(),
          "output differs from the plain sweep");
}

void checkRefused(const StandinCallResult& r, const quillmere::testing::Verdict& v, mxArray* out,
                  int nlhs, int nrhs) {
  require(std::strcmp(r.identifier, v.identifier) == 0, "wrong identifier", r.identifier);
  require(r.arraysCreated == 0 && out == nullptr, "a refused call made an array");
  require(std::strstr(r.message, quillmere::testing::culpritText(v, nlhs, nrhs).c_str()) != nullptr,
          "message does not name the culprit", r.message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const int nrhs = in.next() % (kMaxInputs + 1);
  const int flags = in.next();
  const int nlhs = flags & 3;
  const quillmere::testing::FpSetting mode = callerModeOf((flags >> 2) & 3);

  const long liveBefore = standinLiveArrayCount();
  std::vector<mxArray*> inputs;
  for (int i = 0; i < nrhs; ++i) {
    mxClassID id;
    mxComplexity flag;
    readClass(in, &id, &flag);
    const std::vector<int> dims = readShape(in, i, inputs.empty() ? nullptr : inputs[0]);
    mxArray* a = standinCreateArray(static_cast<int>(dims.size()), dims.data(), id, flag);
    require(a != nullptr, "the stand-in host could not make a small or empty array");
    fill(in, a);
    inputs.push_back(a);
  }
  const mxArray* const* prhs = const_cast<const mxArray* const*>(inputs.data());
  std::vector<std::vector<unsigned char>> before;
  for (const mxArray* a : inputs) before.push_back(quillmere::testing::bytesOf(a));
  const quillmere::testing::Verdict verdict =
      quillmere::testing::judge(quillmere::testing::shapeOf(nlhs, nrhs, prhs));

  mxArray* plhs[3] = {nullptr, nullptr, nullptr};
  StandinCallResult result;
  std::uint64_t callerState = 0, stateAfter = 0;
  {
    const quillmere::testing::FpEnvironmentScope caller(mode);
    callerState = quillmere::testing::fpControlState();
    standinCall(mexFunction, nlhs, plhs, nrhs, const_cast<const mxArray**>(prhs), &result);
    stateAfter = quillmere::testing::fpControlState();
  }

  require(stateAfter == callerState, "the caller's floating-point mode changed");
  require(plhs[1] == nullptr && plhs[2] == nullptr, "something stored past the first output");
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    require(quillmere::testing::bytesOf(inputs[i]) == before[i], "an input changed");
  }
  if (verdict.identifier[0] == '\0') {
    checkAccepted(prhs, plhs[0], result);
  } else {
    require(result.raised == 1, "a malformed call was accepted", verdict.identifier);
    checkRefused(result, verdict, plhs[0], nlhs, nrhs);
  }

  standinDestroyArray(plhs[0]);
  for (mxArray* a : inputs) standinDestroyArray(a);
  require(standinLiveArrayCount() == liveBefore, "arrays left alive");
  return 0;
}
