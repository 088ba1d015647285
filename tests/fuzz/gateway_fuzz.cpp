// Fuzz target: random calls of the gateway through the stand-in host.
//
// The input bytes describe one call: the number of inputs (0..20) and of
// outputs, the caller's floating-point mode, and for every input its class,
// complexity, extents and values. Each call must end in one of two ways:
//   - it is refused with the identifier that the call rules predict, before
//     anything is made, with a message naming the culprit;
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
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "core/update_sweep.h"
#include "standin_host.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define QUILLMERE_FUZZ_MXCSR 1
#endif

namespace {

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

constexpr int kInputs = 17;
constexpr int kMaxInputs = 20;
constexpr int kU = 0, kT11 = 1, kT33 = 6, kK1 = 7, kK3 = 9, kK23 = 15, kDt = 16;

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
    case 1: return uDims;
    case 2: return {3, 3, 3};
    case 3: return {5, 5, 5};
    case 4: return {1, 1};
    case 5: {
      std::vector<int> dims(static_cast<std::size_t>(in.next() % 6));
      for (int& e : dims) e = in.next() % 7;
      return dims;
    }
    case 6: return {1, in.next()};
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

std::vector<unsigned char> bytesOf(const mxArray* a) {
  const std::size_t n = mxGetNumberOfElements(a) * standinGetElementSize(a);
  std::vector<unsigned char> bytes;
  for (const void* part : {static_cast<const void*>(mxGetData(a)),
                           static_cast<const void*>(standinGetImagData(a))}) {
    if (part) {
      const auto* p = static_cast<const unsigned char*>(part);
      bytes.insert(bytes.end(), p, p + n);
    }
  }
  return bytes;
}

quillmere::VolumeDims firstThree(const mxArray* a) {
  const int ndim = mxGetNumberOfDimensions_700(a);
  const int* d = mxGetDimensions_700(a);
  return {ndim > 0 ? d[0] : 1, ndim > 1 ? d[1] : 1, ndim > 2 ? d[2] : 1};
}

struct Verdict {
  const char* identifier;  // "" when the call is well formed
  int argument;            // 1-based culprit, 0 for none, -1 for the outputs
};

// The call rules, stated on their own: the first rule broken, in the order
// the gateway documents, decides the identifier.
Verdict judge(int nlhs, int nrhs, const mxArray* const* prhs) {
  if (nrhs < kInputs) return {"quillmere:nargin", 0};
  if (nlhs > 1) return {"quillmere:nargout", -1};
  for (int i = 0; i < kInputs; ++i) {
    if (mxGetClassID(prhs[i]) != mxSINGLE_CLASS || mxIsComplex(prhs[i])) {
      return {"quillmere:notRealSingle", i + 1};
    }
  }
  const quillmere::VolumeDims u = firstThree(prhs[kU]);
  const double samples = static_cast<double>(u.n1) * u.n2 * u.n3;
  if (samples >= 2147483648.0) return {"quillmere:tooLarge", 1};
  const bool empty = u.n1 == 0 || u.n2 == 0 || u.n3 == 0;
  if (!empty && (u.n1 > quillmere::kMaxExtent || u.n2 > quillmere::kMaxExtent ||
                 u.n3 > quillmere::kMaxExtent)) {
    return {"quillmere:tooLarge", 1};
  }
  if (static_cast<double>(mxGetNumberOfElements(prhs[kU])) < samples) {
    return {"quillmere:volumeSize", 1};
  }
  for (int i = kT11; i <= kT33; ++i) {
    const quillmere::VolumeDims t = firstThree(prhs[i]);
    if (t.n1 != u.n1 || t.n2 != u.n2 || t.n3 != u.n3 ||
        static_cast<double>(mxGetNumberOfElements(prhs[i])) < samples) {
      return {"quillmere:tensorSize", i + 1};
    }
  }
  for (int i = kK1; i <= kK23; ++i) {
    const std::size_t needed = i <= kK3 ? 27 : 125;
    if (mxGetNumberOfElements(prhs[i]) < needed) return {"quillmere:stencilSize", i + 1};
  }
  if (mxGetNumberOfElements(prhs[kDt]) == 0) return {"quillmere:emptyDt", 17};
  return {"", 0};
}

// The caller's floating-point mode for the call: 0 the default, 1 flush to
// zero and denormals are zero, 2 rounding toward zero, 3 both with rounding
// upward. QUILLMERE_FUZZ_DEFAULT_FENV=1 keeps the default (valgrind does not
// model FTZ, DAZ or directed rounding).
struct CallerMode {
  int rounding = FE_TONEAREST;
  bool flush = false;
};

CallerMode callerModeOf(int code) {
  static const bool keepDefault = [] {
    const char* v = std::getenv("QUILLMERE_FUZZ_DEFAULT_FENV");
    return v && v[0] == '1';
  }();
  CallerMode m;
  if (keepDefault) return m;
  if (code == 1 || code == 3) m.flush = true;
  if (code == 2) m.rounding = FE_TOWARDZERO;
  if (code == 3) m.rounding = FE_UPWARD;
  return m;
}

// The control bits of the caller's environment; status flags are left out,
// as checks before the sweep may raise "inexact" like any caller code.
std::uint64_t controlState() {
  std::uint64_t state = static_cast<std::uint64_t>(std::fegetround()) << 32;
#if defined(QUILLMERE_FUZZ_MXCSR)
  state |= _mm_getcsr() & ~0x3Fu;
#endif
  return state;
}

void enterMode(const CallerMode& m) {
  std::fesetround(m.rounding);
#if defined(QUILLMERE_FUZZ_MXCSR)
  if (m.flush) _mm_setcsr(_mm_getcsr() | 0x8040u);
#endif
}

void leaveMode() {
  std::fesetround(FE_TONEAREST);
#if defined(QUILLMERE_FUZZ_MXCSR)
  _mm_setcsr(_mm_getcsr() & ~0x8040u);
#endif
}

std::vector<int> reportedExtents(quillmere::VolumeDims d) {
  std::vector<int> dims{d.n1, d.n2, d.n3};
  if (dims[2] == 1) dims.pop_back();  // the host drops a trailing 1
  return dims;
}

void checkAccepted(const mxArray* const* prhs, mxArray* out, long made) {
  require(made == 1, "a good call made other than one array");
  require(out != nullptr, "a good call stored no output");
  require(mxGetClassID(out) == mxSINGLE_CLASS && !mxIsComplex(out), "output not real single");
  const quillmere::VolumeDims dims = firstThree(prhs[kU]);
  const std::vector<int> expected = reportedExtents(dims);
  const int* got = mxGetDimensions_700(out);
  require(std::vector<int>(got, got + mxGetNumberOfDimensions_700(out)) == expected,
          "output extents are not u's first three");

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
  quillmere::updateVolumePlain(quillmere::MutableVolumeView{reference.data(), dims},
                               {view(1), view(2), view(3), view(4), view(5), view(6)},
                               {weights(7), weights(8), weights(9)},
                               {weights(10), weights(11), weights(12), weights(13), weights(14),
                                weights(15)},
                               dt, dims);
  require(std::memcmp(reference.data(), mxGetData(out), count * sizeof(float)) == 0,
          "output differs from the plain sweep");
}

void checkRefused(const StandinCallResult& r, const Verdict& v, mxArray* out, int nlhs,
                  int nrhs) {
  require(std::strcmp(r.identifier, v.identifier) == 0, "wrong identifier", r.identifier);
  require(r.arraysCreated == 0 && out == nullptr, "a refused call made an array");
  char culprit[64];
  if (v.argument > 0) {
    std::snprintf(culprit, sizeof culprit, "argument %d (", v.argument);
  } else if (v.argument < 0) {
    std::snprintf(culprit, sizeof culprit, "%d were requested", nlhs);
  } else {
    std::snprintf(culprit, sizeof culprit, "given %d", nrhs);
  }
  require(std::strstr(r.message, culprit) != nullptr, "message does not name the culprit",
          r.message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const int nrhs = in.next() % (kMaxInputs + 1);
  const int flags = in.next();
  const int nlhs = flags & 3;
  const CallerMode mode = callerModeOf((flags >> 2) & 3);

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
  for (const mxArray* a : inputs) before.push_back(bytesOf(a));
  const Verdict verdict = judge(nlhs, nrhs, prhs);

  mxArray* plhs[3] = {nullptr, nullptr, nullptr};
  StandinCallResult result;
  enterMode(mode);
  const std::uint64_t callerState = controlState();
  standinCall(mexFunction, nlhs, plhs, nrhs, const_cast<const mxArray**>(prhs), &result);
  const std::uint64_t stateAfter = controlState();
  leaveMode();

  require(stateAfter == callerState, "the caller's floating-point mode changed");
  require(plhs[1] == nullptr && plhs[2] == nullptr, "something stored past the first output");
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    require(bytesOf(inputs[i]) == before[i], "an input changed");
  }
  if (verdict.identifier[0] == '\0') {
    require(result.raised == 0, "a well-formed call was refused", result.message);
    checkAccepted(prhs, plhs[0], result.arraysCreated);
  } else {
    require(result.raised == 1, "a malformed call was accepted", verdict.identifier);
    checkRefused(result, verdict, plhs[0], nlhs, nrhs);
  }

  standinDestroyArray(plhs[0]);
  for (mxArray* a : inputs) standinDestroyArray(a);
  require(standinLiveArrayCount() == liveBefore, "arrays left alive");
  return 0;
}
