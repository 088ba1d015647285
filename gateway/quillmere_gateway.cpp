// The module's one entry point:
//
//   out = quillmere(u, t11, t12, t13, t22, t23, t33, k1, k2, k3,
//                   k11, k22, k33, k12, k13, k23, dt)
//
// It checks the call, creates the output, copies u into it and runs one
// in-place sweep of the core over it. Nothing numerical happens here.
//
// Host functions called, the complete list (the Windows import files name
// exactly these, so keep it in step with the code):
//   libmx:  mxGetData, mxGetDimensions_700, mxCreateNumericArray_700,
//           mxGetNumberOfDimensions_700, mxGetNumberOfElements,
//           mxGetClassID, mxIsComplex
//           mxDestroyArray
//   libmex: mexErrMsgIdAndTxt, mexCallMATLABWithTrap
//
// Errors are raised before anything is created. mexErrMsgIdAndTxt does not
// return (the host unwinds or jumps back to itself), so nothing that needs a
// destructor may be alive where it can be called; messages are built in
// plain char buffers for that reason.
//
// What callers may rely on beyond the checks: u with more than three extents
// is stepped over its first three (which must then hold their samples: a
// later extent of 0 is refused); a u reported with two extents is a single
// plane N1xN2x1; tensor components need u's first three extents and may have
// more; stencils longer than 27 / 125 weights and a dt with several elements
// contribute their leading elements in storage order; extra inputs are
// ignored; the output goes to the first slot when none or one output is
// asked for (none makes it `ans`); more than one is refused.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "mex.h"

#include "gateway/output_arrays.h"

#include "core/float_environment.h"
#include "core/threaded_sweep.h"
#include "core/update_sweep.h"

// The host function that says how many compute threads a call may use:
// MATLAB's maxNumCompThreads (1 on a parallel pool worker that MATLAB holds
// to one thread); the Octave build names nproc in its mex.h.
#ifndef QUILLMERE_COMPUTE_THREADS_FUNCTION
#define QUILLMERE_COMPUTE_THREADS_FUNCTION "maxNumCompThreads"
#endif

namespace {

enum Input {
  IN_U,
  IN_T11,
  IN_T12,
  IN_T13,
  IN_T22,
  IN_T23,
  IN_T33,
  IN_K1,
  IN_K2,
  IN_K3,
  IN_K11,
  IN_K22,
  IN_K33,
  IN_K12,
  IN_K13,
  IN_K23,
  IN_DT,
  IN_COUNT
};

const char* const kInputNames[IN_COUNT] = {"u",   "t11", "t12", "t13", "t22", "t23",
                                           "t33", "k1",  "k2",  "k3",  "k11", "k22",
                                           "k33", "k12", "k13", "k23", "dt"};

// Limit on the samples of one volume: the core indexes in signed 32 bits.
constexpr double kSampleLimit = 2147483648.0;

constexpr std::size_t kMessageSize = 512;
constexpr std::size_t kExtentsSize = 128;

// Class names by MATLAB's class code (the same codes in every host).
const char* classNameOf(mxClassID id) {
  static const char* const names[] = {"unknown", "cell",           "struct", "logical", "char",
                                      "void",    "double",         "single", "int8",    "uint8",
                                      "int16",   "uint16",         "int32",  "uint32",  "int64",
                                      "uint64",  "function_handle"};
  const int code = static_cast<int>(id);
  return code >= 0 && code < static_cast<int>(sizeof names / sizeof names[0]) ? names[code]
                                                                              : "unknown";
}

void raiseError(const char* identifier, const char* message) {
  mexErrMsgIdAndTxt(identifier, "%s", message);
}

// The first three extents as the host reports them, 1 for any it does not
// report: hosts drop trailing extents of 1.
quillmere::VolumeDims firstThreeExtents(const mxArray* array) {
  const int ndim = mxGetNumberOfDimensions_700(array);
  const int* dims = mxGetDimensions_700(array);
  return {ndim > 0 ? dims[0] : 1, ndim > 1 ? dims[1] : 1, ndim > 2 ? dims[2] : 1};
}

// "4x5x6x2": every extent the host reports, shortened with "..." if long.
void formatExtents(const mxArray* array, char* text, std::size_t size) {
  const int ndim = mxGetNumberOfDimensions_700(array);
  const int* dims = mxGetDimensions_700(array);
  std::size_t used = 0;
  text[0] = '\0';
  for (int i = 0; i < ndim; ++i) {
    const int n = std::snprintf(text + used, size - used, i == 0 ? "%d" : "x%d", dims[i]);
    if (n < 0 || static_cast<std::size_t>(n) >= size - used) {
      std::snprintf(text + (size > 4 ? size - 4 : 0), size > 4 ? 4 : size, "...");
      return;
    }
    used += static_cast<std::size_t>(n);
  }
}

bool sameDims(quillmere::VolumeDims a, quillmere::VolumeDims b) {
  return a.n1 == b.n1 && a.n2 == b.n2 && a.n3 == b.n3;
}

// Raises the first rule the call breaks; on success fills *dims with the
// extents to step. Returns false only if a raise ever came back.
bool checkCall(int nlhs, int nrhs, const mxArray* prhs[], quillmere::VolumeDims* dims) {
  char message[kMessageSize];
  char given[kExtentsSize];

  if (nrhs < IN_COUNT) {
    std::snprintf(message, sizeof message,
                  "expected %d inputs (u, t11, t12, t13, t22, t23, t33, k1, k2, k3, "
                  "k11, k22, k33, k12, k13, k23, dt); given %d",
                  static_cast<int>(IN_COUNT), nrhs);
    raiseError("quillmere:nargin", message);
    return false;
  }

  // Refused here, before the sweep: the host would only fail after it, on
  // the second output slot left empty.
  if (nlhs > 1) {
    std::snprintf(message, sizeof message, "quillmere returns one output; %d were requested", nlhs);
    raiseError("quillmere:nargout", message);
    return false;
  }

  for (int i = 0; i < IN_COUNT; ++i) {
    const mxClassID id = mxGetClassID(prhs[i]);
    const bool complex = mxIsComplex(prhs[i]);
    if (id != mxSINGLE_CLASS || complex) {
      std::snprintf(message, sizeof message,
                    "argument %d (%s) must be a real single array; given %s of class %s", i + 1,
                    kInputNames[i], complex ? "a complex array" : "an array", classNameOf(id));
      raiseError("quillmere:notRealSingle", message);
      return false;
    }
  }

  const quillmere::VolumeDims u = firstThreeExtents(prhs[IN_U]);
  // No host makes a negative extent, but one reported would turn every size
  // below into nonsense.
  if (u.n1 < 0 || u.n2 < 0 || u.n3 < 0) {
    formatExtents(prhs[IN_U], given, sizeof given);
    std::snprintf(message, sizeof message,
                  "argument 1 (u) must have extents of at least 0; given %s", given);
    raiseError("quillmere:volumeSize", message);
    return false;
  }
  const double samples =
      static_cast<double>(u.n1) * static_cast<double>(u.n2) * static_cast<double>(u.n3);
  if (samples >= kSampleLimit) {
    std::snprintf(message, sizeof message,
                  "argument 1 (u) must hold fewer than 2^31 samples in its first three "
                  "dimensions; given %dx%dx%d, %.0f samples",
                  u.n1, u.n2, u.n3, samples);
    raiseError("quillmere:tooLarge", message);
    return false;
  }
  // An empty volume addresses no tap, so its other extents may be anything.
  const bool empty = u.n1 == 0 || u.n2 == 0 || u.n3 == 0;
  if (!empty && (u.n1 > quillmere::kMaxExtent || u.n2 > quillmere::kMaxExtent ||
                 u.n3 > quillmere::kMaxExtent)) {
    std::snprintf(message, sizeof message,
                  "argument 1 (u) must have extents of at most %d in its first three "
                  "dimensions; given %dx%dx%d",
                  static_cast<int>(quillmere::kMaxExtent), u.n1, u.n2, u.n3);
    raiseError("quillmere:tooLarge", message);
    return false;
  }

  // A trailing extent of 0 past the third leaves an array with no samples
  // even though its first three extents promise some.
  const std::size_t count = static_cast<std::size_t>(samples);
  if (mxGetNumberOfElements(prhs[IN_U]) < count) {
    formatExtents(prhs[IN_U], given, sizeof given);
    std::snprintf(message, sizeof message,
                  "argument 1 (u) must hold the %.0f samples of its first three dimensions; "
                  "given %s, %.0f samples",
                  samples, given, static_cast<double>(mxGetNumberOfElements(prhs[IN_U])));
    raiseError("quillmere:volumeSize", message);
    return false;
  }

  for (int i = IN_T11; i <= IN_T33; ++i) {
    if (!sameDims(firstThreeExtents(prhs[i]), u) || mxGetNumberOfElements(prhs[i]) < count) {
      formatExtents(prhs[i], given, sizeof given);
      std::snprintf(message, sizeof message,
                    "argument %d (%s) must have the extents of u (%dx%dx%d) in its first "
                    "three dimensions and hold their samples; given %s",
                    i + 1, kInputNames[i], u.n1, u.n2, u.n3, given);
      raiseError("quillmere:tensorSize", message);
      return false;
    }
  }

  for (int i = IN_K1; i <= IN_K23; ++i) {
    const bool gradient = i <= IN_K3;
    const int needed = gradient ? quillmere::kGradientTaps : quillmere::kHessianTaps;
    const std::size_t weights = mxGetNumberOfElements(prhs[i]);
    if (weights < static_cast<std::size_t>(needed)) {
      std::snprintf(message, sizeof message,
                    "argument %d (%s) must hold at least %d weights (a %s stencil); given %.0f",
                    i + 1, kInputNames[i], needed, gradient ? "3x3x3" : "5x5x5",
                    static_cast<double>(weights));
      raiseError("quillmere:stencilSize", message);
      return false;
    }
  }

  if (mxGetNumberOfElements(prhs[IN_DT]) == 0) {
    formatExtents(prhs[IN_DT], given, sizeof given);
    std::snprintf(message, sizeof message,
                  "argument 17 (dt) must hold at least one sample; given an empty %s array", given);
    raiseError("quillmere:emptyDt", message);
    return false;
  }

  *dims = u;
  return true;
}

quillmere::VolumeView viewOf(const mxArray* array, quillmere::VolumeDims dims) {
  return {static_cast<const float*>(mxGetData(array)), dims};
}

const float* weightsOf(const mxArray* array) { return static_cast<const float*>(mxGetData(array)); }

// Asks the host, once per call, for its compute-thread setting; when the
// question fails or the answer is no real double, the setting counts as
// none (see threadsForHostSetting). The call is trapped, so an error in the
// host function comes back here instead of jumping out, and it happens
// before the output exists, with no guard or thread alive.
int computeThreads() {
  mxArray* answer[1] = {nullptr};
  mxArray* failure =
      mexCallMATLABWithTrap(1, answer, 0, nullptr, QUILLMERE_COMPUTE_THREADS_FUNCTION);
  double setting = 0.0;  // none
  if (!failure && answer[0] && mxGetClassID(answer[0]) == mxDOUBLE_CLASS &&
      !mxIsComplex(answer[0]) && mxGetNumberOfElements(answer[0]) >= 1) {
    setting = *static_cast<const double*>(mxGetData(answer[0]));
  }
  if (failure) mxDestroyArray(failure);
  if (answer[0]) mxDestroyArray(answer[0]);
  return quillmere::threadsForHostSetting(setting);
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  // The output is made even when no output was asked for: it becomes `ans`.
  quillmere::VolumeDims dims{0, 0, 0};
  if (!checkCall(nlhs, nrhs, prhs, &dims)) return;
  const int threads = computeThreads();

  const int extents[3] = {dims.n1, dims.n2, dims.n3};
  // Every sample is written: the step starts by copying u into it.
  mxArray* out = quillmere::createWrittenSingleVolume(extents);
  plhs[0] = out;

  float* outSamples = static_cast<float*>(mxGetData(out));
  // Checked above to be below 2^31, so the 32-bit product is exact, except
  // that with an empty axis the other two may multiply past 2^31 on their
  // own (0x65536x46340): such a volume has nothing to copy.
  const bool empty = dims.n1 <= 0 || dims.n2 <= 0 || dims.n3 <= 0;
  const std::int32_t count = empty ? 0 : (dims.n3 * dims.n2) * dims.n1;
  // Nothing to step. Returning here also spares an empty volume with huge
  // extents (0x65536x46340) the sweep's billions of empty outer iterations.
  if (count == 0) return;
  const float dt = *static_cast<const float*>(mxGetData(prhs[IN_DT]));

  const quillmere::TensorField tensor{viewOf(prhs[IN_T11], dims), viewOf(prhs[IN_T12], dims),
                                      viewOf(prhs[IN_T13], dims), viewOf(prhs[IN_T22], dims),
                                      viewOf(prhs[IN_T23], dims), viewOf(prhs[IN_T33], dims)};
  const quillmere::GradientStencils gradient{weightsOf(prhs[IN_K1]), weightsOf(prhs[IN_K2]),
                                             weightsOf(prhs[IN_K3])};
  const quillmere::HessianStencils hessian{weightsOf(prhs[IN_K11]), weightsOf(prhs[IN_K22]),
                                           weightsOf(prhs[IN_K33]), weightsOf(prhs[IN_K12]),
                                           weightsOf(prhs[IN_K13]), weightsOf(prhs[IN_K23])};
  // No host call happens while the guard is alive, so no raise can skip its
  // destructor; the sweep's threads are all joined before it returns.
  {
    const quillmere::FloatEnvironmentGuard environment;
    // Copies u into the output, then steps it (starting again from u should
    // an inf or NaN turn up where zero weights were skipped).
    quillmere::stepVolumeThreaded(viewOf(prhs[IN_U], dims),
                                  quillmere::MutableVolumeView{outSamples, dims}, tensor, gradient,
                                  hessian, dt, dims, threads);
  }
}
