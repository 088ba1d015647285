// MATLAB's 32-bit-extent functions over Octave's interface, whose extents are
// 64-bit. Each extent is checked to fit in int before it is handed on, so the
// gateway never sees a wrapped value.
#include <climits>
#include <cstdint>
#include <cstdio>

#include "mex.h"

namespace {

struct Extents {
  mwSize n[16];
};

Extents hostExtents(int ndim, const int* dims) {
  if (ndim < 0 || ndim > 16) {
    mexErrMsgIdAndTxt("quillmere:tooLarge", "cannot create an array of %d dimensions", ndim);
  }
  Extents e{};
  for (int i = 0; i < ndim; ++i) e.n[i] = dims[i] < 0 ? 0 : dims[i];
  return e;
}

}  // namespace

extern "C" {

int mxGetNumberOfDimensions_700(const mxArray* array) {
  const mwSize ndim = mxGetNumberOfDimensions(array);
  if (ndim > INT_MAX) {
    mexErrMsgIdAndTxt("quillmere:tooLarge",
                      "an array has %lld dimensions; at most %d are supported",
                      static_cast<long long>(ndim), INT_MAX);
  }
  return static_cast<int>(ndim);
}

const int* mxGetDimensions_700(const mxArray* array) {
  const int ndim = mxGetNumberOfDimensions_700(array);
  const mwSize* dims = mxGetDimensions(array);
  for (int i = 0; i < ndim; ++i) {
    if (dims[i] > INT_MAX) {
      mexErrMsgIdAndTxt(
          "quillmere:tooLarge",
          "an argument has extent %lld along dimension %d; extents must be below 2^31",
          static_cast<long long>(dims[i]), i + 1);
    }
  }
  // Octave frees memory from mxMalloc when the call returns, raised or not.
  int* extents = static_cast<int*>(mxMalloc(sizeof(int) * static_cast<std::size_t>(ndim)));
  for (int i = 0; i < ndim; ++i) extents[i] = static_cast<int>(dims[i]);
  return extents;
}

mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid, mxComplexity flag) {
  Extents e = hostExtents(ndim, dims);
  return mxCreateNumericArray(static_cast<mwSize>(ndim), e.n, classid, flag);
}

#if defined(QUILLMERE_HOST_UNFILLED_ARRAYS)
mxArray* mxCreateUninitNumericArray_700(int ndim, const int* dims, mxClassID classid,
                                        mxComplexity flag) {
  Extents e = hostExtents(ndim, dims);
  return mxCreateUninitNumericArray(static_cast<mwSize>(ndim), e.n, classid, flag);
}
#endif

}  // extern "C"
