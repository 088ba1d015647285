// The compiled part of quillmere_tensor and quillmere_max_dt, one module
// with a mode code as its first input. The M-files parse and check the
// options and call it; users never need to:
//
//   [t11, t12, t13, t22, t23, t33] = quillmere_tensor_mex(1, u, kind, sigma, rho,
//                                                         spacing, alpha, C, lambda)
//       kind 1 'structure', 2 'ced', 3 'eed'; spacing three values; every
//       other option one real double.
//   R = quillmere_tensor_mex(2, t11, t12, t13, t22, t23, t33, k1, k2, k3,
//                            k11, k22, k33, k12, k13, k23)
//       the bound of quillmere_max_dt (a double), every input real single.
//   R = quillmere_tensor_mex(3, u)
//       the data range behind the default C and lambda (a double; NaN when
//       every sample is NaN, 0 for an empty u), u real single.
//
// Host functions called, the complete list (the Windows import files name
// these and more; keep it in step with the code):
//   libmx:  mxGetData, mxGetDimensions_700, mxCreateNumericArray_700,
//           mxGetNumberOfDimensions_700, mxGetNumberOfElements,
//           mxGetClassID, mxIsComplex, mxDestroyArray
//   libmex: mexErrMsgIdAndTxt, mexCallMATLABWithTrap
//
// Errors are raised before any scratch exists; messages are built in plain
// char buffers, since mexErrMsgIdAndTxt does not return. The one scratch
// (core/structure_tensor.h) is taken by allocateTensorScratch after the
// outputs exist and freed before returning; nothing between can raise.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "mex.h"

#include "gateway/output_arrays.h"

#include "core/float_environment.h"
#include "core/structure_tensor.h"
#include "core/threaded_sweep.h"

#ifndef QUILLMERE_COMPUTE_THREADS_FUNCTION
#define QUILLMERE_COMPUTE_THREADS_FUNCTION "maxNumCompThreads"
#endif

namespace {

constexpr double kSampleLimit = 2147483648.0;
constexpr std::size_t kMessageSize = 512;

void raiseError(const char* identifier, const char* message) {
  mexErrMsgIdAndTxt(identifier, "%s", message);
}

bool isRealOfClass(const mxArray* array, mxClassID id) {
  return mxGetClassID(array) == id && !mxIsComplex(array);
}

// A real double with exactly `count` elements, copied to values.
bool readDoubles(const mxArray* array, std::size_t count, double* values) {
  if (!isRealOfClass(array, mxDOUBLE_CLASS) || mxGetNumberOfElements(array) != count) {
    return false;
  }
  const double* data = static_cast<const double*>(mxGetData(array));
  for (std::size_t i = 0; i < count; ++i) values[i] = data[i];
  return true;
}

// Extents 1..3 when the array has at most three (hosts drop trailing 1s).
bool threeExtents(const mxArray* array, quillmere::VolumeDims* dims) {
  const int ndim = mxGetNumberOfDimensions_700(array);
  if (ndim > 3) return false;
  const int* d = mxGetDimensions_700(array);
  *dims = {ndim > 0 ? d[0] : 1, ndim > 1 ? d[1] : 1, ndim > 2 ? d[2] : 1};
  return true;
}

int computeThreads() {
  mxArray* answer[1] = {nullptr};
  mxArray* failure =
      mexCallMATLABWithTrap(1, answer, 0, nullptr, QUILLMERE_COMPUTE_THREADS_FUNCTION);
  double setting = 0.0;
  if (!failure && answer[0] && mxGetClassID(answer[0]) == mxDOUBLE_CLASS &&
      !mxIsComplex(answer[0]) && mxGetNumberOfElements(answer[0]) >= 1) {
    setting = *static_cast<const double*>(mxGetData(answer[0]));
  }
  if (failure) mxDestroyArray(failure);
  if (answer[0]) mxDestroyArray(answer[0]);
  return quillmere::threadsForHostSetting(setting);
}

// computeTensor writes every sample of all six.
mxArray* createSingleVolume(quillmere::VolumeDims dims) {
  const int extents[3] = {dims.n1, dims.n2, dims.n3};
  return quillmere::createWrittenSingleVolume(extents);
}

void tensorMode(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  char message[kMessageSize];
  if (nrhs != 9) {
    raiseError("quillmere:tensor:nargin",
               "mode 1 takes u, kind, sigma, rho, spacing, alpha, "
               "C and lambda");
    return;
  }
  const mxArray* u = prhs[1];
  quillmere::VolumeDims dims{0, 0, 0};
  if (!isRealOfClass(u, mxSINGLE_CLASS)) {
    raiseError("quillmere:tensor:notRealSingle", "U must be a real single array");
    return;
  }
  if (!threeExtents(u, &dims)) {
    raiseError("quillmere:tensor:volume", "U must be a real 3-D array");
    return;
  }
  const double samples = static_cast<double>(dims.n1) * dims.n2 * dims.n3;
  if (samples >= kSampleLimit) {
    raiseError("quillmere:tensor:tooLarge", "U must hold fewer than 2^31 samples");
    return;
  }
  double kind = 0.0, sigma = 0.0, rho = 0.0, alpha = 0.0, c = 0.0, lambda = 0.0;
  double spacing[3] = {0.0, 0.0, 0.0};
  if (!readDoubles(prhs[2], 1, &kind) || !(kind == 1.0 || kind == 2.0 || kind == 3.0)) {
    raiseError("quillmere:tensor:kind", "KIND must be structure, ced or eed");
    return;
  }
  if (!readDoubles(prhs[3], 1, &sigma) || !readDoubles(prhs[4], 1, &rho) || !(sigma >= 0.0) ||
      !(rho >= 0.0)) {
    raiseError("quillmere:tensor:scale", "sigma and rho must be real scalars >= 0 (not NaN)");
    return;
  }
  if (!readDoubles(prhs[5], 3, spacing) || !(spacing[0] > 0.0) || !(spacing[1] > 0.0) ||
      !(spacing[2] > 0.0)) {
    raiseError("quillmere:tensor:spacing", "spacing must be one or three positive values");
    return;
  }
  if (!readDoubles(prhs[6], 1, &alpha) || !readDoubles(prhs[7], 1, &c) ||
      !readDoubles(prhs[8], 1, &lambda)) {
    raiseError("quillmere:tensor:options", "alpha, C and lambda must be real scalars");
    return;
  }
  const quillmere::TensorParameters parameters{
      kind == 1.0 ? quillmere::TensorKind::Structure
                  : (kind == 2.0 ? quillmere::TensorKind::Coherence : quillmere::TensorKind::Edge),
      sigma,
      rho,
      {spacing[0], spacing[1], spacing[2]},
      alpha,
      c,
      lambda};
  for (int a = 0; a < 3; ++a) {
    if (quillmere::gaussianRadius(sigma, spacing[a]) > quillmere::kMaxGaussianRadius ||
        quillmere::gaussianRadius(rho, spacing[a]) > quillmere::kMaxGaussianRadius) {
      std::snprintf(message, sizeof message,
                    "sigma and rho must span at most %lld samples (3 standard deviations) "
                    "along each axis",
                    static_cast<long long>(quillmere::kMaxGaussianRadius));
      raiseError("quillmere:tensor:scale", message);
      return;
    }
  }
  const int threads = computeThreads();

  // The host gives max(nlhs, 1) output slots; components nobody asked for
  // are still computed (they come from the same eigenvectors) into arrays
  // destroyed at the end.
  const int kept = nlhs < 1 ? 1 : (nlhs > 6 ? 6 : nlhs);
  mxArray* arrays[6];
  float* out[6];
  for (int k = 0; k < 6; ++k) {
    arrays[k] = createSingleVolume(dims);
    if (k < kept) plhs[k] = arrays[k];
    out[k] = static_cast<float*>(mxGetData(arrays[k]));
  }
  if (samples == 0) {
    for (int k = kept; k < 6; ++k) mxDestroyArray(arrays[k]);
    return;
  }
  const std::size_t doubles = quillmere::tensorScratchDoubles(dims, parameters, threads);
  double* scratch = quillmere::allocateTensorScratch(doubles);
  if (!scratch) {
    for (int k = kept; k < 6; ++k) mxDestroyArray(arrays[k]);
    std::snprintf(message, sizeof message, "out of memory: the tensor needs %.0f MB of scratch",
                  static_cast<double>(doubles) * sizeof(double) / 1e6);
    raiseError("quillmere:tensor:outOfMemory", message);
    return;
  }
  quillmere::computeTensor(static_cast<const float*>(mxGetData(u)), dims, parameters, out, scratch,
                           threads);
  quillmere::freeTensorScratch(scratch);
  for (int k = kept; k < 6; ++k) mxDestroyArray(arrays[k]);
}

void radiusMode(mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs != 16) {
    raiseError("quillmere:maxdt:nargin", "mode 2 takes six tensor components and nine stencils");
    return;
  }
  quillmere::VolumeDims dims{0, 0, 0};
  for (int i = 1; i <= 15; ++i) {
    if (!isRealOfClass(prhs[i], mxSINGLE_CLASS)) {
      raiseError("quillmere:maxdt:notRealSingle", "every input must be a real single array");
      return;
    }
  }
  if (!threeExtents(prhs[1], &dims)) {
    raiseError("quillmere:maxdt:tensorSize", "the tensor components must be 3-D arrays");
    return;
  }
  const std::size_t count = static_cast<std::size_t>(dims.n1) * static_cast<std::size_t>(dims.n2) *
                            static_cast<std::size_t>(dims.n3);
  if (static_cast<double>(count) >= kSampleLimit) {
    raiseError("quillmere:maxdt:tooLarge", "the tensor must hold fewer than 2^31 samples");
    return;
  }
  const float* t[6];
  for (int i = 0; i < 6; ++i) {
    quillmere::VolumeDims di{0, 0, 0};
    if (!threeExtents(prhs[1 + i], &di) || di.n1 != dims.n1 || di.n2 != dims.n2 ||
        di.n3 != dims.n3) {
      raiseError("quillmere:maxdt:tensorSize", "All tensor components must have one size.");
      return;
    }
    t[i] = static_cast<const float*>(mxGetData(prhs[1 + i]));
  }
  const float* k[9];
  for (int i = 0; i < 9; ++i) {
    const std::size_t want = i < 3 ? quillmere::kGradientTaps : quillmere::kHessianTaps;
    if (mxGetNumberOfElements(prhs[7 + i]) < want) {
      raiseError("quillmere:maxdt:stencilSize", "a stencil has too few weights");
      return;
    }
    k[i] = static_cast<const float*>(mxGetData(prhs[7 + i]));
  }
  const int threads = computeThreads();
  const int one[2] = {1, 1};
  plhs[0] = mxCreateNumericArray_700(2, one, mxDOUBLE_CLASS, mxREAL);
  double radius = 0.0;
  {
    const quillmere::FloatEnvironmentGuard environment;
    const quillmere::TensorField tensor{{t[0], dims}, {t[1], dims}, {t[2], dims},
                                        {t[3], dims}, {t[4], dims}, {t[5], dims}};
    radius = quillmere::stableStepRadius(tensor, {k[0], k[1], k[2]},
                                         {k[3], k[4], k[5], k[6], k[7], k[8]}, dims, threads);
  }
  *static_cast<double*>(mxGetData(plhs[0])) = radius;
}

void rangeMode(mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs != 2) {
    raiseError("quillmere:tensor:nargin", "mode 3 takes u");
    return;
  }
  if (!isRealOfClass(prhs[1], mxSINGLE_CLASS)) {
    raiseError("quillmere:tensor:notRealSingle", "U must be a real single array");
    return;
  }
  const std::size_t count = mxGetNumberOfElements(prhs[1]);
  const int one[2] = {1, 1};
  plhs[0] = mxCreateNumericArray_700(2, one, mxDOUBLE_CLASS, mxREAL);
  *static_cast<double*>(mxGetData(plhs[0])) =
      quillmere::dataRange(static_cast<const float*>(mxGetData(prhs[1])), count);
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  double mode = 0.0;
  if (nrhs < 1 || !readDoubles(prhs[0], 1, &mode) || !(mode == 1.0 || mode == 2.0 || mode == 3.0)) {
    raiseError("quillmere:tensor:mode",
               "quillmere_tensor_mex is the compiled part of quillmere_tensor and "
               "quillmere_max_dt: call those");
    return;
  }
  if (mode == 1.0) {
    tensorMode(nlhs, plhs, nrhs, prhs);
  } else if (mode == 2.0) {
    radiusMode(plhs, nrhs, prhs);
  } else {
    rangeMode(plhs, nrhs, prhs);
  }
}
